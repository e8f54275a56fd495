// Opening a file to read it without ever blocking on what the path names: a
// FIFO, a device or a socket under a file's name would hang the first read
// (or the open itself), so the file is opened non-blocking, checked to be a
// regular file, and only then handed over as a blocking stream.
#pragma once

#include <cstdio>
#include <filesystem>

namespace platform {

// A "rb" stream on the regular file at `path`; null otherwise, with errno set
// (EINVAL when the path names something other than a regular file).
std::FILE* openRegularFile(const std::filesystem::path& path);

}  // namespace platform
