#include "document/BatchExport.h"

#include <algorithm>
#include <new>
#include <system_error>
#include <unordered_map>
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

bool writtenByThisProgram(const std::filesystem::path& file) {
    const auto software = platform::imageSoftware(file);
    const std::string name = platform::kProgramName;
    return software && software->starts_with(name) &&
           (software->size() == name.size() || (*software)[name.size()] == ' ');
}

}  // namespace

std::string BatchExport::exportTypeForPreset(const std::optional<platform::Dictionary>& preset) {
    if (!preset) return DocumentExport::kTypeJPEG;
    const platform::Value* v = preset->find(SettingsKeys::kExportFileType);
    return DocumentExport::typeForExportFileType(v ? *v : platform::Value());
}

std::optional<std::filesystem::path> BatchExport::destinationFor(
    const std::filesystem::path& source, const std::optional<std::filesystem::path>& folder,
    const std::string& type, bool silentlyOverwrite, platform::Error* error) {
    std::filesystem::path base = folder ? *folder / source.filename() : source;
    std::filesystem::path destination =
        base.replace_extension(DocumentExport::extensionForType(type));
    if (silentlyOverwrite) return destination;
    if (auto free = platform::OutputFile::firstFreeName(destination, true)) return free;
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

bool BatchExport::isOwnExport(const std::filesystem::path& file,
                              const std::vector<std::filesystem::path>& files) {
    // A DNG export is a raw file itself: only a numbered one ("a_1.dng"
    // beside "a.dng") can be an earlier run's, else runs would develop
    // their own exports again and again.
    const bool dng = platform::lowercaseExtension(file) == "dng";
    if (!dng && !RawFileSearch::isExternalEditorFile(file)) return false;
    const std::string stem = file.stem().string(), unnumberedStem = unnumbered(stem);
    const bool besideItsSource =
        std::any_of(files.begin(), files.end(), [&](const std::filesystem::path& other) {
            const std::string otherStem = other.stem().string();
            return other != file && other.parent_path() == file.parent_path() &&
                   !RawFileSearch::isExternalEditorFile(other) &&
                   (otherStem == unnumberedStem || (!dng && otherStem == stem));
        });
    return besideItsSource && writtenByThisProgram(file);
}

std::vector<std::filesystem::path> BatchExport::lessFilesBesideTheirRawFiles(
    const std::vector<std::filesystem::path>& files) {
    // The best-ranked file of each folder and name (any case), as the raw
    // search ranks them. A JPEG or TIFF file is never its own raw file: when
    // it ranks best under its own name, it is no raw file either.
    const auto ranks = RawFileSearch::extensionPriorityTable();
    const auto keyOf = [](const std::filesystem::path& folder, const std::string& name) {
        return folder.string() + '\0' + platform::asciiLowercase(name);
    };
    std::unordered_map<std::string, std::pair<int, const std::filesystem::path*>> best;
    for (const auto& file : files) {
        const int rank = RawFileSearch::extensionRank(file, ranks);
        if (rank >= RawFileSearch::kNeverChosen) continue;
        auto [found, added] =
            best.try_emplace(keyOf(file.parent_path(), file.stem().string()), rank, &file);
        if (!added && rank < found->second.first) found->second = {rank, &file};
    }
    const auto besideItsRawFile = [&](const std::filesystem::path& file) {
        if (!RawFileSearch::isExternalEditorFile(file)) return false;
        for (const std::string& name : RawFileSearch::rawFileNamesFor(file.stem().string()))
            if (const auto found = best.find(keyOf(file.parent_path(), name)); found != best.end())
                return !RawFileSearch::isExternalEditorFile(*found->second.second);
        return false;
    };
    std::vector<std::filesystem::path> kept;
    for (const auto& file : files)
        if (!besideItsRawFile(file)) kept.push_back(file);
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

    // What this run wrote: even a run that replaces files never replaces its own.
    std::vector<std::filesystem::path> written;
    for (const auto& source : options.files) {
        if (cancelled()) return firstError;
        if (source.empty()) continue;
        platform::Error error;
        // A first look saves the decode when every numbered name is taken;
        // the name itself is settled when the file is put in place.
        auto destination =
            destinationFor(source, options.exportLocation, type, options.silentlyOverwrite, &error);
        if (!destination) {
            if (failed(source, error)) return firstError;
            continue;
        }
        const auto base = *destinationFor(source, options.exportLocation, type, true, nullptr);
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
                    policy.numbered = !options.silentlyOverwrite;
                    policy.protect = {source, document->fileURL()};
                    if (auto edited = document->extEditorURL()) policy.protect.push_back(*edited);
                    for (const auto& mine : written)
                        if (mine.parent_path() == base.parent_path() &&
                            mine.filename().string().starts_with(base.stem().string()))
                            policy.passOver.push_back(mine);
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
            written.push_back(*destination);
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
