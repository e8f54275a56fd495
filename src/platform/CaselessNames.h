// File names as a file system that ignores letter case and Unicode
// normalisation sees them (a camera card's exFAT or FAT, and most disks of
// other systems): "IMG_0001.jpg" and "IMG_0001.JPG" are one name there, and
// so are "Café.jpg" written precomposed (NFC) and decomposed (NFD). A file
// copied there under a name another file has replaces it or fails, so new
// files never take such a name.
//
// Two names match when their keys do: the canonical caseless form (NFD,
// full case folding, NFD again) in UTF-8, made with ICU's normalisation and
// case-folding tables. ASCII names take a quick path with the same result.
// Bytes that are not UTF-8 stay as they are, their ASCII letters lowered.
//
// Thread safety: key() from any thread; an object is used by one thread.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

namespace platform {

class CaselessNames {
public:
    static std::string key(std::string_view name);

    // The names in a folder now. A folder that cannot be listed gives an
    // empty set (the exact name is still checked where a file is written).
    static CaselessNames ofFolder(int folderFd);
    static CaselessNames ofFolder(const std::filesystem::path& folder);

    // The name a file in the set has that matches `name` (itself, when it is
    // there), or nullopt.
    std::optional<std::string> nameLike(std::string_view name) const;
    bool holds(std::string_view name) const { return keys_.count(key(name)) != 0; }
    void add(std::string_view name);

private:
    std::unordered_map<std::string, std::string> keys_;  // key -> a name having it
};

}  // namespace platform
