#include "platform/FileLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/Log.h"

namespace platform {

namespace {

bool lock(int fd, FileLock::Mode mode) {
    const int operation = mode == FileLock::Mode::Exclusive ? LOCK_EX : LOCK_SH;
    while (::flock(fd, operation) != 0)
        if (errno != EINTR) return false;
    return true;
}

}  // namespace

FileLock::FileLock(const std::filesystem::path& lockFile, Mode mode) : mode_(mode) {
    fd_ = ::open(lockFile.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0644);
    if (fd_ < 0) fd_ = ::open(lockFile.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd_ < 0) {
        log("No lock %s (%s): going on without it", lockFile.c_str(), std::strerror(errno));
        return;
    }
    held_ = lock(fd_, mode);
    if (!held_)
        log("No lock on %s (%s): going on without it", lockFile.c_str(), std::strerror(errno));
}

FileLock::~FileLock() {
    if (fd_ >= 0) ::close(fd_);  // lets the lock go
}

void FileLock::makeExclusive() {
    if (mode_ == Mode::Exclusive || fd_ < 0) return;
    mode_ = Mode::Exclusive;
    held_ = lock(fd_, mode_);
}

}  // namespace platform
