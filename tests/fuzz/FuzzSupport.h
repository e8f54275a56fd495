// What several fuzz targets share: inputs handed to readers that open a path
// live in anonymous memory files (nothing lands in the temporary folder, and
// nothing is left behind), and the system log is kept quiet, since millions
// of inputs would otherwise write gigabytes of it.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/Log.h"

namespace fuzzsupport {

// One in-memory file, rewritten for every input; path() opens it afresh.
class MemoryFile {
public:
    explicit MemoryFile(const char* name) : fd_(::memfd_create(name, MFD_CLOEXEC)) {}
    ~MemoryFile() {
        if (fd_ >= 0) ::close(fd_);
    }
    MemoryFile(const MemoryFile&) = delete;
    MemoryFile& operator=(const MemoryFile&) = delete;

    bool set(const uint8_t* data, size_t size) {
        if (fd_ < 0 || ::ftruncate(fd_, 0) != 0) return false;
        size_t done = 0;
        while (done < size) {
            const ssize_t n = ::pwrite(fd_, data + done, size - done, off_t(done));
            if (n <= 0) return false;
            done += size_t(n);
        }
        return true;
    }
    std::string path() const { return "/proc/self/fd/" + std::to_string(fd_); }

private:
    int fd_;
};

// Captures the log for the whole run and drops what each input wrote.
inline void quietLog() {
    static platform::LogCapture* capture = new platform::LogCapture;
    capture->clear();
}

}  // namespace fuzzsupport
