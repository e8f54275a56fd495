// Opening a file to read it without ever blocking on what the path names: a
// FIFO, a device or a socket under a file's name would hang the first read
// (or the open itself), so the file is opened non-blocking, checked to be a
// regular file, and only then handed over as a blocking stream.
#pragma once

#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>

namespace platform {

// A "rb" stream on the regular file at `path`; null otherwise, with errno set
// (EINVAL when the path names something other than a regular file).
std::FILE* openRegularFile(const std::filesystem::path& path);

// What an open or read that failed with `error` (an errno value) says of the
// file, as a clause after its path: "it cannot be read: permission to read
// it is denied." A file that could not be read is never called damaged:
// whoever reports such a failure says this instead.
std::string unreadableFileReason(int error);
// Opens the regular file at `path` and reads its first bytes: nullopt when
// that works (or the path names no regular file, or nothing, which others
// say), else unreadableFileReason's clause.
std::optional<std::string> whyUnreadable(const std::filesystem::path& path);
// The same for a folder whose names are to be read: nullopt when they can
// be (or it is no folder), else the clause ("permission to read it is
// denied" for a folder one may enter but not list).
std::optional<std::string> whyFolderUnreadable(const std::filesystem::path& folder);

// Which file a path named when a read began (device, inode, size and time),
// so that a read that failed can tell a damaged file from one that another
// program cut, replaced or removed meanwhile.
class FileIdentity {
public:
    explicit FileIdentity(const std::filesystem::path& path);
    // Nullopt when the path still names the same, unchanged file (or named
    // none at the start); else a clause saying what happened to it.
    std::optional<std::string> changedSince(const std::filesystem::path& path) const;

private:
    bool known_ = false;
    unsigned long long device_ = 0, inode_ = 0;
    long long size_ = 0, seconds_ = 0, nanoseconds_ = 0;
};

}  // namespace platform
