// Finding the raw file of an image that an external editor wrote: the raw
// search folder kept in the user defaults as a bookmark (the folder path's
// bytes), the base-name rule that turns the edited file's name back into the
// raw file's, and the recursive search ranked by extension. Also the two
// folder helpers other parts share: emptying a folder and path containment.
//
// Everything here is stateless and may be called from any thread (the batch
// export opens documents on its own thread).
#pragma once

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/Error.h"
#include "platform/UserDefaults.h"

class RawFileSearch {
public:
    // Lower-case extension to rank; lower ranks first, missing ones rank 50.
    using ExtensionPriorities = std::map<std::string, int>;

    // Raw extensions 0, "dng" 1, "tif"/"tiff" 98, other sidecar and image
    // types 99 (never chosen).
    static ExtensionPriorities extensionPriorityTable();
    // A file's rank by its extension; one ranked kNeverChosen is never the answer.
    static constexpr int kNeverChosen = 99;
    static int extensionRank(const std::filesystem::path& file,
                             const ExtensionPriorities& priorities);

    // The raw file's name from an edited file's name (without extension), or
    // nullopt when its suffix does not follow the rule.
    static std::optional<std::string> parseToBaseName(const std::string& name);
    // The names (without extension) the raw file of an edited file may have,
    // in the order they are searched: the base name, when the rule gives
    // one, then the whole name.
    static std::vector<std::string> rawFileNamesFor(const std::string& editedName);

    // The best-ranked file below `folder` whose name less extension equals
    // `name` (any case); hidden folders are not entered and `excluded` (the
    // edited file itself) is never the answer.
    static std::optional<std::filesystem::path> searchDirectory(
        const std::filesystem::path& folder, const std::string& name,
        const ExtensionPriorities& priorities, const std::filesystem::path& excluded = {});

    // The raw file of an edited JPEG or TIFF file, searched in the raw search
    // folder: by the base name first, then by the whole name. Fails with -15
    // when there is no folder, -17 when nothing matches; when the file's
    // contents are not what its name says, the failure says that instead.
    static std::optional<std::filesystem::path> findRawFileForEditedFile(
        const std::filesystem::path& editedFile,
        const std::optional<std::filesystem::path>& searchFolder, platform::Error* error);
    // Whether the extension ("jpg", "jpeg", "tif", "tiff", any case) marks an
    // external editor's file.
    static bool isExternalEditorFile(const std::filesystem::path& file);
    // When a file holds another image type than its extension names (a DNG
    // raw file named .jpg), a clause saying so ("its contents are a DNG raw
    // file but its name says it is a JPEG file; give it ..."); nullopt when
    // they agree, the extension names no image type or the contents none.
    static std::optional<std::string> misnamedContents(const std::filesystem::path& file);
    // When `file` is missing or no regular file (a link to nothing, a loop of
    // links, a FIFO, a device), a clause saying what it is; nullopt for a
    // regular file. Never opens it.
    static std::optional<std::string> notARegularFile(const std::filesystem::path& file);
    // How a content type reads in a sentence ("a JPEG file", "a DNG raw file").
    static std::string kindOfImage(const std::string& type);

    // The raw search folder from "rawSearchDirectoryBookmark"; nullopt when
    // the default is missing, not data, or names no folder any more.
    static std::optional<std::filesystem::path> rawSearch(
        platform::UserDefaults& defaults = platform::UserDefaults::standard());
    // Stores the folder's bookmark and writes the defaults to disk.
    static bool setRawSearch(const std::filesystem::path& folder,
                             platform::UserDefaults& defaults = platform::UserDefaults::standard());

    // Removes everything inside an existing folder; anything else is left alone.
    static void cleanDirectory(const std::filesystem::path& folder);

    // Component-wise, case-insensitive containment of absolute paths: `outer`
    // has fewer components than `inner` and they match. containsOrIs also
    // accepts equal paths.
    static bool containsURL(const std::filesystem::path& outer, const std::filesystem::path& inner);
    static bool containsOrIsURL(const std::filesystem::path& outer,
                                const std::filesystem::path& inner);
};
