#include "document/BatchExport.h"

#include <algorithm>
#include <map>
#include <new>
#include <set>
#include <system_error>
#include <utility>

#include "color/SettingsKeys.h"
#include "document/DocumentController.h"
#include "document/DocumentExport.h"
#include "document/FSNodeInfo.h"
#include "document/MyDocument.h"
#include "document/QuorvexErrors.h"
#include "document/RawFileSearch.h"
#include "platform/AsciiCase.h"
#include "platform/FileLock.h"
#include "platform/ImageReader.h"
#include "platform/Log.h"
#include "platform/OutputFile.h"
#include "platform/Version.h"

namespace {

platform::Error noMemoryFor(const std::filesystem::path& source) {
    platform::Error error = quorvexError(kQuorvexErrorNoMemory);
    error.failureReason =
        "There is not enough memory to develop " + source.filename().string() + ".";
    return error;
}

std::string withoutExtension(const std::filesystem::path& p) {
    return (p.parent_path() / p.stem()).string();
}

// "a" for "a" and "a_1" ... "a_99999", the names an export numbers.
std::string unnumbered(const std::string& stem) {
    const size_t mark = stem.rfind('_');
    if (mark == std::string::npos || mark + 1 == stem.size() || stem.size() - mark > 6 ||
        stem[mark + 1] == '0')
        return stem;
    for (size_t i = mark + 1; i < stem.size(); ++i)
        if (stem[i] < '0' || stem[i] > '9') return stem;
    return stem.substr(0, mark);
}

// This program's exports say "Quorvex V<version>"; its tools (the test
// chart's maker) name themselves after it.
bool writtenByThisProgram(const std::filesystem::path& file) {
    const auto software = platform::imageSoftware(file);
    const std::string name = platform::kProgramName;
    return software && software->starts_with(name) &&
           (software->size() == name.size() || software->compare(name.size(), 2, " V") == 0);
}

// The source's name with the type's extension, in `folder` or beside it.
std::filesystem::path plainDestination(const std::filesystem::path& source,
                                       const std::optional<std::filesystem::path>& folder,
                                       const std::string& type) {
    std::filesystem::path base = folder ? *folder / source.filename() : source;
    return base.replace_extension(DocumentExport::extensionForType(type));
}

}  // namespace

std::string BatchExport::exportTypeForPreset(const std::optional<platform::Dictionary>& preset) {
    if (!preset) return DocumentExport::kTypeJPEG;
    const platform::Value* v = preset->find(SettingsKeys::kExportFileType);
    return DocumentExport::typeForExportFileType(v ? *v : platform::Value());
}

std::optional<std::filesystem::path> BatchExport::destinationFor(
    const std::filesystem::path& source, const std::optional<std::filesystem::path>& folder,
    const std::string& type, bool silentlyOverwrite, platform::Error* error,
    const platform::CaselessNames* names) {
    const std::filesystem::path destination = plainDestination(source, folder, type);
    std::optional<platform::CaselessNames> listed;
    if (!names)
        names = &listed.emplace(platform::CaselessNames::ofFolder(destination.parent_path()));
    // Overwriting replaces only an earlier export of ours under the exact
    // name; one that differs in case, or any other file, is passed over, as
    // when the file is put in place.
    for (int i = 0; silentlyOverwrite && i <= platform::OutputFile::kMaxNumberedName; ++i) {
        auto candidate = platform::OutputFile::numberedName(destination, i);
        const std::string name = candidate.filename().string();
        if (names->otherNameLike(name)) continue;
        if (!names->hasExactly(name) || writtenByThisProgram(candidate)) return candidate;
    }
    if (auto free = platform::OutputFile::firstFreeName(destination, true, names)) return free;
    if (error) *error = quorvexError(kQuorvexErrorExportFile, withoutExtension(destination));
    return std::nullopt;
}

std::vector<std::filesystem::path> BatchExport::imageFilesInFolder(
    const std::filesystem::path& folder) {
    std::vector<std::filesystem::path> files;
    auto node = FSNodeInfo::initWithURL(folder, {});
    for (const auto& child : node->subNodes())
        if (!child->isDirectory()) files.push_back(child->getURL());
    return files;
}

namespace {

// One folder's files by name (any case) and rank, as the raw search ranks
// them; every look-up is a binary search, its comparisons counted.
class NameIndex {
public:
    NameIndex(const std::vector<std::filesystem::path>& files, size_t& comparisons)
        : comparisons_(comparisons) {
        const auto ranks = RawFileSearch::extensionPriorityTable();
        entries_.reserve(files.size());
        for (const auto& file : files) {
            const int rank = RawFileSearch::extensionRank(file, ranks);
            if (rank < RawFileSearch::kNeverChosen)
                entries_.push_back({keyOf(file, file.stem().string()), rank, &file});
        }
        std::sort(entries_.begin(), entries_.end(), [&](const Entry& a, const Entry& b) {
            ++comparisons_;
            return a.key != b.key ? a.key < b.key : a.rank < b.rank;
        });
    }

    // Names as the card's file system compares them (any case, either
    // Unicode normalisation).
    static std::string keyOf(const std::filesystem::path& file, const std::string& name) {
        return file.parent_path().string() + '\0' + platform::CaselessNames::key(name);
    }

    // The best-ranked file named `name` beside `file`, other than `file`.
    const std::filesystem::path* best(const std::filesystem::path& file,
                                      const std::string& name) const {
        const std::string key = keyOf(file, name);
        auto at = std::lower_bound(entries_.begin(), entries_.end(), key,
                                   [&](const Entry& entry, const std::string& wanted) {
                                       ++comparisons_;
                                       return entry.key < wanted;
                                   });
        for (; at != entries_.end() && at->key == key; ++at)
            if (at->file != &file) return at->file;
        return nullptr;
    }

private:
    struct Entry {
        std::string key;
        int rank;
        const std::filesystem::path* file;
    };
    std::vector<Entry> entries_;
    size_t& comparisons_;
};

// A raw file, as the raw search takes one: a JPEG or TIFF file never is.
bool isRawFile(const std::filesystem::path* file) {
    return file && !RawFileSearch::isExternalEditorFile(*file);
}

// The names a JPEG or TIFF file's own raw file may have, longest first: its
// own (the camera's pair), then the base the raw search's rule gives, unless
// the rule cut off a camera's own number ("IMG_0001" is no copy of "IMG").
std::vector<std::string> ownRawNames(const std::string& stem) {
    std::vector<std::string> names{stem};
    const auto base = RawFileSearch::parseToBaseName(stem);
    if (!base) return names;
    const std::string cut = stem.substr(base->size());
    const bool cameraNumber = cut.size() >= 5 && (cut[0] == '_' || cut[0] == ' ') &&
                              cut.find_first_not_of("0123456789", 1) == std::string::npos;
    if (!cameraNumber) names.push_back(*base);
    return names;
}

}  // namespace

std::vector<std::filesystem::path> BatchExport::filesToDevelop(
    const std::vector<std::filesystem::path>& files, PassOverWork* work) {
    PassOverWork counted;
    const NameIndex index(files, counted.nameComparisons);
    // A JPEG or TIFF file beside its own raw file: the camera's, an editor's.
    const auto besideItsRawFile = [&](const std::filesystem::path& file) {
        if (!RawFileSearch::isExternalEditorFile(file)) return false;
        for (const std::string& name : ownRawNames(file.stem().string()))
            if (const auto* found = index.best(file, name)) return isRawFile(found);
        return false;
    };
    // A file this program wrote whose raw file is beside it, by the raw
    // search's rule or as an export is numbered ("a_1.dng" for "a.dng"):
    // only such files are opened to read their Software tag.
    const auto ownExport = [&](const std::filesystem::path& file) {
        const std::string extension = platform::lowercaseExtension(file);
        if (extension != "dng" && !RawFileSearch::isExternalEditorFile(file)) return false;
        const std::string stem = file.stem().string();
        auto names = RawFileSearch::rawFileNamesFor(stem);
        names.push_back(unnumbered(stem));
        const bool rawBeside = std::any_of(names.begin(), names.end(), [&](const auto& name) {
            return isRawFile(index.best(file, name));
        });
        if (!rawBeside) return false;
        ++counted.filesOpened;
        return writtenByThisProgram(file);
    };
    std::vector<std::filesystem::path> kept;
    for (const auto& file : files)
        if (!besideItsRawFile(file) && !ownExport(file)) kept.push_back(file);
    platform::log("%s: %zu files, %zu kept, %zu name comparisons, %zu files opened", __func__,
                  files.size(), kept.size(), counted.nameComparisons, counted.filesOpened);
    if (work) *work = counted;
    return kept;
}

std::optional<platform::Error> BatchExport::run(const Options& options) {
    auto cancelled = [&] { return options.userDidCancel && options.userDidCancel->load(); };
    // A cancel also ends a wait for another program's lock (presets, catalog).
    std::optional<platform::FileLock::StopWhen> stopWaits;
    if (options.userDidCancel) stopWaits.emplace(*options.userDidCancel);
    const std::string type = exportTypeForPreset(options.preset);
    auto& controller = DocumentController::sharedDocumentController();
    std::optional<platform::Error> firstError;
    // Whether the batch stops at this failure: only when nobody takes reports.
    auto failed = [&](const std::filesystem::path& source, const platform::Error& error) {
        if (!firstError) firstError = error;
        if (!options.didFail) {
            if (options.didStop) options.didStop(source);
            return true;
        }
        options.didFail(source, error);
        return false;
    };

    // What this run wrote, by path: even a run that replaces files never
    // replaces its own. Looked up by name, so a long run stays linear.
    std::set<std::string> written;
    // Each destination folder's names, listed once: a card of many files
    // is not listed again for each.
    std::map<std::filesystem::path, platform::CaselessNames> folderNames;
    // A folder that takes one file has only that file's names listed.
    std::map<std::filesystem::path, size_t> filesPerFolder;
    for (const auto& source : options.files)
        if (!source.empty())
            ++filesPerFolder[plainDestination(source, options.exportLocation, type).parent_path()];
    for (const auto& source : options.files) {
        if (cancelled()) return firstError;
        if (source.empty()) continue;
        platform::Error error;
        const auto base = plainDestination(source, options.exportLocation, type);
        auto names = folderNames.find(base.parent_path());
        if (names == folderNames.end()) {
            const auto& folder = base.parent_path();
            names = folderNames
                        .emplace(folder, filesPerFolder[folder] == 1
                                             ? platform::CaselessNames::ofFolderFor(
                                                   folder, base.stem().string())
                                             : platform::CaselessNames::ofFolder(folder))
                        .first;
        }
        // A first look saves the decode when every numbered name is taken;
        // the name itself is settled when the file is put in place.
        auto destination = destinationFor(source, options.exportLocation, type,
                                          options.silentlyOverwrite, &error, &names->second);
        if (!destination) {
            if (failed(source, error)) return firstError;
            continue;
        }
        if (options.progressUpdate) options.progressUpdate(source);

        bool exported = false;
        bool haveError = false;
        MyDocument::Ptr document;
        try {
            document = controller.makeDocumentForURL(source.string(), &error);
            if (document) {
                controller.addDocument(document);
                // The document closes after its export: no edit follows.
                if (auto engine = document->displayEngine())
                    engine->setEvictsCachedStagesOnExport(true);
                document->addSettingValues(options.preset);
                if (!cancelled()) {
                    // Never over the file the batch was given, the raw file
                    // found for it or the editor's file it came from.
                    platform::OutputFile::Policy policy;
                    policy.replace = options.silentlyOverwrite;
                    policy.numbered = true;
                    policy.mayReplace = writtenByThisProgram;
                    policy.protect = {source, document->fileURL()};
                    policy.folderNames = &names->second;
                    if (auto edited = document->extEditorURL()) policy.protect.push_back(*edited);
                    const std::string prefix = (base.parent_path() / base.stem()).string();
                    for (auto mine = written.lower_bound(prefix);
                         mine != written.end() && mine->starts_with(prefix); ++mine)
                        if (std::filesystem::path(*mine).parent_path() == base.parent_path())
                            policy.passOver.emplace_back(*mine);
                    exported = document->exportToURL(base, type, {-1, -1, -1, -1}, true, policy,
                                                     &*destination, &error);
                    haveError = !exported;
                }
            } else {
                haveError = !error.domain.empty();
            }
        } catch (const std::bad_alloc&) {
            // This file needs more than there is; the next may fit.
            exported = false;
            haveError = true;
            try {
                error = noMemoryFor(source);
            } catch (const std::bad_alloc&) {
                // Said below, once the document has let its memory go.
                error = {};
                error.code = kQuorvexErrorNoMemory;
            }
        }
        if (document) {
            try {
                document->close();
            } catch (const std::bad_alloc&) {
                platform::log("%s: not enough memory to close %s", __func__, source.c_str());
            }
            controller.removeDocument(document);
            document.reset();
        }
        // Only the domain, code and reason travel back to the caller.
        if (haveError) error = {error.domain, error.code, error.failureReason};

        if (cancelled()) {
            if (haveError && !firstError) firstError = error;
            return firstError;
        }
        if (exported) {
            written.insert(destination->string());
            if (options.didExport) options.didExport(*destination);
            continue;
        }
        if (haveError && error.domain.empty() && error.code == kQuorvexErrorNoMemory)
            error = noMemoryFor(source);
        else if (!haveError || error.domain.empty())
            error = quorvexError(kQuorvexErrorExportFile, withoutExtension(*destination));
        if (failed(source, error)) return firstError;
    }
    return firstError;
}
