// File names as a file system that ignores letter case and Unicode
// normalisation sees them (a camera card's exFAT or FAT, and most disks of
// other systems): "IMG_0001.jpg" and "IMG_0001.JPG" are one name there, and
// so are "Café.jpg" written precomposed (NFC) and decomposed (NFD). A file
// copied there under a name another file has replaces it or fails, so new
// files never take such a name.
//
// Two names match when their keys do: the canonical caseless form (full case
// folding and canonical decomposition, repeated until stable) in UTF-8, made
// with utf8proc, whose tables cost nothing at start (the command line runs
// under small memory limits). ASCII names take a quick path with the same
// result. Bytes that are not UTF-8 stay as they are, their ASCII letters
// lowered.
//
// A listing also keeps the folder's modification time as it was before the
// names were read, so a caller can tell whether anyone changed the folder
// since.
//
// Thread safety: key() from any thread; an object is used by one thread.
#pragma once

#include <sys/types.h>
#include <time.h>

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

namespace platform {

class CaselessNames {
public:
    // Throws std::bad_alloc when memory runs out.
    static std::string key(std::string_view name);

    // The names in a folder now. A folder that cannot be listed gives an
    // empty set (the exact name is still checked where a file is written).
    static CaselessNames ofFolder(int folderFd);
    static CaselessNames ofFolder(const std::filesystem::path& folder);
    // Only the names that may match a name beginning with `stem` ("a.jpg",
    // "A_1.JPG" ... for "a"), for a caller that writes one file there: a
    // folder of many thousand names costs little more than reading them.
    static CaselessNames ofFolderFor(int folderFd, std::string_view stem);
    static CaselessNames ofFolderFor(const std::filesystem::path& folder, std::string_view stem);
    // The folder's names now, as this set was made (all, or a stem's).
    void listAgain(int folderFd);

    // The name a file in the set has that matches `name` (itself, when it is
    // there), or nullopt.
    std::optional<std::string> nameLike(std::string_view name) const;
    // A name in the set that matches `name` but is not byte for byte the
    // same: on a card the two are one file.
    std::optional<std::string> otherNameLike(std::string_view name) const;
    // Whether the set holds exactly this name.
    bool hasExactly(std::string_view name) const;
    bool holds(std::string_view name) const { return keys_.count(key(name)) != 0; }
    void add(std::string_view name);

    // Whether the folder's modification time differs from the one seen when
    // it was listed (or when noteOwnChange() last moved it on); true for a
    // set made by hand or a folder that cannot be read.
    bool folderChangedSince(int folderFd) const;
    // Our own change to the folder moved its time from `before` to `after`:
    // when `before` is the time the set knows, nobody else changed the folder
    // meanwhile, and `after` becomes the time known.
    void noteOwnChange(const timespec& before, const timespec& after);
    // Whether the listing saw a hidden name ("." first), whatever the stem.
    bool sawHiddenNames() const { return sawHidden_; }
    // The folder's modification time, nullopt when it cannot be read.
    static std::optional<timespec> folderTime(int folderFd);

private:
    // key -> the names having it, '/'-separated (no name holds a '/').
    std::unordered_map<std::string, std::string> keys_;
    std::optional<timespec> listedAt_;
    // The key every name kept begins with; empty: all names.
    std::string prefix_;
    bool sawHidden_ = false;
};

}  // namespace platform
