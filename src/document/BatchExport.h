// The batch export's worker: each file, in order, is opened as a document
// through the document controller, given the preset, exported beside its
// source (or into the export folder) and closed; the batch stops at the first
// error (or, when failures are reported through didFail, goes on with the
// next file) or when cancelled. Names never replace an existing file unless
// "SilentlyOverwrite" is set, and then only an earlier export of this program
// (its Software tag says so) under exactly that name: "a.jpg" exists, so
// "a_1.jpg", "a_2.jpg" ... up to "a_99999.jpg", and when all of those exist
// too the file fails instead of replacing one. A camera's JPEG or a raw file
// is never replaced: the next number is taken. A name differing from an existing file's only in
// letter case or Unicode normalisation is taken as well, whatever the setting
// ("IMG_0001_1.jpg" beside the camera's "IMG_0001.JPG"): on a card or another
// system the two are one file. The name is settled as the finished file is put in place,
// so a file that appeared meanwhile (another batch into the same folder) is
// not replaced either, and a file this run wrote is never replaced, whatever
// the setting: a second source of the same name gets the next number. The
// file given, the raw file found for it and an external editor's file it
// came from are never replaced, whatever the setting.
//
// The worker runs on whatever thread calls run() (the browser starts a thread
// of its own; the command line calls it directly). Its callbacks are called on
// that thread. The cancel flag may be set from any thread.
#pragma once

#include <atomic>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/CaselessNames.h"
#include "platform/Error.h"
#include "platform/Value.h"

class BatchExport {
public:
    struct Options {
        std::vector<std::filesystem::path> files;
        // The preset applied to every document (none: the documents' own settings).
        std::optional<platform::Dictionary> preset;
        // Export into this folder instead of beside each source.
        std::optional<std::filesystem::path> exportLocation;
        bool silentlyOverwrite = false;
        // Called as each file starts, with its source path.
        std::function<void(const std::filesystem::path&)> progressUpdate;
        // Called after each file was written, with the written path.
        std::function<void(const std::filesystem::path&)> didExport;
        // When set, called for each file that failed, with its source path
        // and the reason, and the batch goes on with the next file.
        std::function<void(const std::filesystem::path&, const platform::Error&)> didFail;
        // Without didFail: called with the source the batch stopped at.
        std::function<void(const std::filesystem::path&)> didStop;
        const std::atomic<bool>* userDidCancel = nullptr;
    };

    // The type ("public.jpeg" ...) the preset asks for.
    static std::string exportTypeForPreset(const std::optional<platform::Dictionary>& preset);
    // The file to write for `source`: its name with the type's extension, in
    // the export folder or beside the source, numbered when taken, also by a
    // name differing only in letter case ("IMG_0001_1.jpg" beside
    // "IMG_0001.JPG"); silentlyOverwrite keeps an exact name that is free or
    // holds an earlier export of this program. Nullopt with
    // the -1 error when every numbered name is taken. `names` are the
    // folder's (listed here when null).
    static std::optional<std::filesystem::path> destinationFor(
        const std::filesystem::path& source, const std::optional<std::filesystem::path>& folder,
        const std::string& type, bool silentlyOverwrite, platform::Error* error,
        const platform::CaselessNames* names = nullptr);

    // The files of `folder` the browser shows (its filter, no hidden files),
    // without sub-folders, in the browser's name order.
    static std::vector<std::filesystem::path> imageFilesInFolder(
        const std::filesystem::path& folder);
    // What filesToDevelop did: names compared and files opened.
    struct PassOverWork {
        size_t nameComparisons = 0;
        size_t filesOpened = 0;
    };
    // A folder's `files` (imageFilesInFolder) less those a folder run passes
    // over, in order:
    // - a JPEG or TIFF file beside its own raw file, the one the raw search's
    //   name rule finds there, its own name preferred to the rule's shorter
    //   base ("IMG_0002.jpg", "IMG_0002-edit.jpg" ... for "IMG_0002.dng");
    //   a JPEG or TIFF file is never a raw file itself;
    // - a JPEG, TIFF or DNG file whose Software tag names this program and
    //   whose raw file, by that rule or as an export is numbered ("a_1.dng"
    //   for "a.dng"), is beside it: an earlier run's export.
    // The names are indexed once (n log n comparisons) and only files of the
    // second kind are opened.
    static std::vector<std::filesystem::path> filesToDevelop(
        const std::vector<std::filesystem::path>& files, PassOverWork* work = nullptr);

    // Runs the batch; the first error (the one that stopped it, without
    // didFail), or nullopt when every file was written (or the batch was
    // cancelled without an error).
    static std::optional<platform::Error> run(const Options& options);
};
