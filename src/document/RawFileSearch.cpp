#include "document/RawFileSearch.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <functional>
#include <vector>

#include "document/FSNodeInfo.h"
#include "document/QuorvexErrors.h"
#include "platform/AsciiCase.h"
#include "platform/ImageReader.h"
#include "platform/InputFile.h"
#include "platform/Log.h"
#include "platform/Paths.h"

namespace {

constexpr const char* kBookmarkKey = "rawSearchDirectoryBookmark";
constexpr int kRankUnlisted = 50;

bool endsWithEdit(const std::string& name) {
    if (name.size() < 5) return false;
    std::string tail = platform::asciiLowercase(name.substr(name.size() - 5));
    return tail == "-edit" || tail == ".edit";
}

std::vector<std::string> components(const std::filesystem::path& p) {
    std::vector<std::string> out;
    for (const auto& part : p.lexically_normal()) {
        std::string s = part.string();
        if (!s.empty()) out.push_back(s);
    }
    // A trailing separator leaves an empty last element, dropped above.
    return out;
}

bool contains(const std::filesystem::path& outer, const std::filesystem::path& inner,
              bool allowEqual) {
    auto a = components(outer), b = components(inner);
    if (a.empty()) return true;
    if (a.size() > b.size() || (!allowEqual && a.size() == b.size())) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (!platform::equalsIgnoringAsciiCase(a[i], b[i])) return false;
    return true;
}

}  // namespace

RawFileSearch::ExtensionPriorities RawFileSearch::extensionPriorityTable() {
    ExtensionPriorities table{{"tiff", 98}, {"tif", 98}};
    for (const char* ext :
         {"jpeg", "jpg", "png", "bmp", "xml", "xmp", "bak", "cof", "cop", "cos", "txt", "db", "vg"})
        table[ext] = 99;
    table["dng"] = 1;
    for (const auto& ext : FSNodeInfo::rawExts())
        if (ext != "dng") table[ext] = 0;
    return table;
}

int RawFileSearch::extensionRank(const std::filesystem::path& file,
                                 const ExtensionPriorities& priorities) {
    const auto found = priorities.find(platform::lowercaseExtension(file));
    return found == priorities.end() ? kRankUnlisted : found->second;
}

std::optional<std::string> RawFileSearch::parseToBaseName(const std::string& name) {
    if (endsWithEdit(name)) return name.substr(0, name.size() - 5);
    // Read from the end: 0 nothing yet, 1 only digits, 2 something else,
    // 3 digits and then a "v".
    int state = 0;
    for (size_t i = name.size(); i-- > 0;) {
        char c = name[i];
        bool accepted;
        if (std::isdigit(static_cast<unsigned char>(c))) {
            if (state == 2 || state == 3) return std::nullopt;
            state = 1;
            continue;
        } else if (c == 'v' || c == 'V') {
            state = state == 1 ? 3 : 2;
            continue;
        } else if (c == '_' || c == ' ') {
            accepted = state == 1 || state == 3;
        } else if (c == '-') {
            accepted = state == 1 || state == 2;
        } else {
            state = 2;
            continue;
        }
        if (!accepted || i < 2) return std::nullopt;
        std::string base = name.substr(0, i);
        if (endsWithEdit(base)) base.resize(base.size() - 5);
        return base;
    }
    return std::nullopt;
}

std::vector<std::string> RawFileSearch::rawFileNamesFor(const std::string& editedName) {
    std::vector<std::string> names;
    if (auto base = parseToBaseName(editedName)) names.push_back(std::move(*base));
    names.push_back(editedName);
    return names;
}

namespace {

// Depth first, each folder's entries in the order the file system gives
// them, folders not followed through links, hidden ones skipped. Listed with
// platform::folderEntries: short of memory this throws instead of ending the
// program, as the standard library's iterator would. `visit` returns false to
// stop the walk.
bool walkFolder(const std::filesystem::path& folder,
                const std::function<bool(const std::filesystem::path&,
                                         const std::filesystem::file_status&)>& visit) {
    std::error_code ec;
    for (const auto& path : platform::folderEntries(folder, ec)) {
        std::error_code statError;
        const auto status = std::filesystem::status(path, statError);
        if (statError || !std::filesystem::exists(status)) continue;
        if (!visit(path, status)) return false;
        const std::string stem = path.stem().string();
        if (std::filesystem::is_directory(status) && !(!stem.empty() && stem[0] == '.') &&
            std::filesystem::is_directory(std::filesystem::symlink_status(path, statError)) &&
            !walkFolder(path, visit))
            return false;
    }
    return true;
}

}  // namespace

std::optional<std::filesystem::path> RawFileSearch::searchDirectory(
    const std::filesystem::path& folder, const std::string& name,
    const ExtensionPriorities& priorities, const std::filesystem::path& excluded) {
    std::error_code ec;
    if (!std::filesystem::is_directory(folder, ec)) return std::nullopt;
    std::optional<std::filesystem::path> answer;
    int best = kNeverChosen;
    walkFolder(folder,
               [&](const std::filesystem::path& path, const std::filesystem::file_status& status) {
                   const std::string itemName = path.stem().string();
                   if (!std::filesystem::is_regular_file(status) ||
                       !platform::equalsIgnoringAsciiCase(itemName, name))
                       return true;
                   std::error_code statError;
                   if (!excluded.empty() && std::filesystem::equivalent(path, excluded, statError))
                       return true;
                   const int rank = extensionRank(path, priorities);
                   platform::log("%s 1 : %s %s %d", "searchDirectory", name.c_str(),
                                 path.lexically_relative(folder).c_str(), rank);
                   if (rank < best) {
                       best = rank;
                       answer = path;
                       platform::log("%s 2 : %s %i", "searchDirectory", answer->c_str(), best);
                   }
                   return best != 0;
               });
    return answer;
}

bool RawFileSearch::isExternalEditorFile(const std::filesystem::path& file) {
    std::string ext = platform::lowercaseExtension(file);
    return ext == "jpg" || ext == "jpeg" || ext == "tif" || ext == "tiff";
}

std::string RawFileSearch::kindOfImage(const std::string& type) {
    if (type == platform::kImageTypeJPEG) return "a JPEG file";
    if (type == platform::kImageTypeTIFF) return "a TIFF file";
    if (type == platform::kImageTypePNG) return "a PNG file";
    if (type == platform::kImageTypeDNG) return "a DNG raw file";
    return "an image file";
}

namespace {

std::string kindOfSpecialFile(const std::filesystem::file_status& status) {
    switch (status.type()) {
        case std::filesystem::file_type::directory:
            return "a folder";
        case std::filesystem::file_type::fifo:
            return "a FIFO (a named pipe)";
        case std::filesystem::file_type::character:
        case std::filesystem::file_type::block:
            return "a device";
        case std::filesystem::file_type::socket:
            return "a socket";
        default:
            return "something";
    }
}

}  // namespace

std::optional<std::string> RawFileSearch::notARegularFile(const std::filesystem::path& file) {
    std::error_code ec;
    const auto own = std::filesystem::symlink_status(file, ec);
    // A folder on the way that may not be searched hides whether anything is there.
    if (ec == std::errc::permission_denied)
        return "it cannot be reached: permission to search a folder on its path is denied.";
    if (ec || !std::filesystem::exists(own)) return "there is no file at that path.";
    if (!std::filesystem::is_symlink(own)) {
        if (std::filesystem::is_regular_file(own)) return std::nullopt;
        return "it is " + kindOfSpecialFile(own) + ", not a regular file.";
    }
    const auto target = std::filesystem::read_symlink(file, ec);
    const std::string to = ec ? std::string() : " \"" + target.string() + "\"";
    const auto status = std::filesystem::status(file, ec);
    if (ec && ec == std::errc::too_many_symbolic_link_levels)
        return "it is a link in a loop of links, which leads to no file.";
    if (ec || !std::filesystem::exists(status))
        return "it is a link to nothing: its target" + to + " does not exist.";
    if (std::filesystem::is_regular_file(status)) return std::nullopt;
    return "it is a link to" + to + ", " + kindOfSpecialFile(status) + ", not a regular file.";
}

std::optional<std::string> RawFileSearch::misnamedContents(const std::filesystem::path& file) {
    const std::string extension = file.extension().string();
    const auto named =
        platform::imageTypeForExtension(extension.empty() ? "" : extension.substr(1));
    if (!named) return std::nullopt;
    const auto contents = platform::imageTypeOfContents(file);
    if (!contents || contents == named) return std::nullopt;
    const std::string name = "its name says it is " + kindOfImage(*named);
    if (contents == platform::kImageTypeDNG)
        return "its contents are a DNG raw file but " + name +
               "; give it the extension .dng to develop it.";
    return "its contents are " + kindOfImage(*contents) + " but " + name + ".";
}

std::optional<std::filesystem::path> RawFileSearch::findRawFileForEditedFile(
    const std::filesystem::path& editedFile,
    const std::optional<std::filesystem::path>& searchFolder, platform::Error* error) {
    // A raw file misnamed as an edited one has no raw file to find, and one
    // that cannot be read is no wrong name: say what it is.
    auto fail = [&](platform::Error e) -> std::optional<std::filesystem::path> {
        platform::log("%s Error: %s", "findRawFileForEditedFile", e.description().c_str());
        auto said = platform::whyUnreadable(editedFile);
        if (!said) said = misnamedContents(editedFile);
        if (said) {
            (*said)[0] = char(std::toupper(static_cast<unsigned char>((*said)[0])));
            e.failureReason = *said;
        }
        if (error) *error = std::move(e);
        return std::nullopt;
    };
    if (!searchFolder) return fail(quorvexError(kQuorvexErrorNoRawSearchLocation));
    const auto names = rawFileNamesFor(editedFile.stem().string());
    auto table = extensionPriorityTable();
    std::optional<std::filesystem::path> hit;
    for (size_t i = 0; i < names.size() && !hit; ++i)
        hit = searchDirectory(*searchFolder, names[i], table, editedFile);
    if (!hit) return fail(quorvexRawFileNotFoundError(names.front(), searchFolder->string()));
    platform::log("%s raw file found: %s", __func__, hit->c_str());
    return hit;
}

std::optional<std::filesystem::path> RawFileSearch::rawSearch(platform::UserDefaults& defaults) {
    platform::Value value = defaults.objectForKey(kBookmarkKey);
    if (!value.isData() || value.data().empty()) return std::nullopt;
    std::filesystem::path folder(std::string(value.data().begin(), value.data().end()));
    std::error_code ec;
    if (!folder.is_absolute() || !std::filesystem::is_directory(folder, ec)) return std::nullopt;
    return folder;
}

bool RawFileSearch::setRawSearch(const std::filesystem::path& folder,
                                 platform::UserDefaults& defaults) {
    std::error_code ec;
    auto absolute = std::filesystem::absolute(folder, ec);
    bool ok = !ec && !folder.empty();
    if (ok) {
        std::string bytes = absolute.lexically_normal().string();
        defaults.setData(platform::Value::Data(bytes.begin(), bytes.end()), kBookmarkKey);
        platform::log("rawSearchDirectoryBookmark set to %s", bytes.c_str());
    } else {
        platform::log("ERROR settingrawSearchDirectoryBookmark to %s : %s", folder.c_str(),
                      ec ? ec.message().c_str() : "empty path");
    }
    defaults.synchronize();
    return ok;
}

void RawFileSearch::cleanDirectory(const std::filesystem::path& folder) {
    std::error_code ec;
    if (!std::filesystem::is_directory(std::filesystem::symlink_status(folder, ec))) return;
    for (const auto& path : platform::folderEntries(folder, ec)) {
        std::error_code removeError;
        std::filesystem::remove_all(path, removeError);
        if (removeError) platform::log("cleanDirectory oops: %s", removeError.message().c_str());
    }
}

bool RawFileSearch::containsURL(const std::filesystem::path& outer,
                                const std::filesystem::path& inner) {
    return contains(outer, inner, false);
}

bool RawFileSearch::containsOrIsURL(const std::filesystem::path& outer,
                                    const std::filesystem::path& inner) {
    return contains(outer, inner, true);
}
