#include "platform/InputFile.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <memory>

namespace platform {

std::FILE* openRegularFile(const std::filesystem::path& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return nullptr;
    struct stat st {};
    const bool stated = ::fstat(fd, &st) == 0;
    if (!stated || !S_ISREG(st.st_mode)) {
        const int err = stated ? EINVAL : errno;
        ::close(fd);
        errno = err;
        return nullptr;
    }
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    std::FILE* file = ::fdopen(fd, "rb");
    if (!file) {
        const int err = errno;
        ::close(fd);
        errno = err;
    }
    return file;
}

std::string unreadableFileReason(int error) {
    switch (error) {
        case EACCES:
        case EPERM:
            return "it cannot be read: permission to read it is denied.";
        case EIO:
            return "it cannot be read: the device reports an input/output error (the disk or "
                   "card may be failing).";
        case ENOENT:
        case ENOTDIR:
            return "it vanished: it was moved or deleted before it could be read.";
        case ENODEV:
        case ENXIO:
        case ESTALE:
        case ENOMEDIUM:
            return "it vanished: the disk or share it was on is no longer there.";
        default: {
            std::string text = std::strerror(error);
            if (!text.empty()) text[0] = char(std::tolower(static_cast<unsigned char>(text[0])));
            return "it cannot be read: " + text + ".";
        }
    }
}

std::optional<std::string> whyFolderUnreadable(const std::filesystem::path& folder) {
    DIR* dir = ::opendir(folder.c_str());
    if (!dir) {
        if (errno == ENOENT || errno == ENOTDIR) return std::nullopt;
        return unreadableFileReason(errno);
    }
    errno = 0;
    const bool read = ::readdir(dir) != nullptr || errno == 0;
    const int err = errno;
    ::closedir(dir);
    if (read) return std::nullopt;
    return unreadableFileReason(err);
}

std::optional<std::string> whyUnreadable(const std::filesystem::path& path) {
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(openRegularFile(path), std::fclose);
    if (!file) {
        if (errno == EINVAL || errno == ENOENT || errno == ENOTDIR) return std::nullopt;
        return unreadableFileReason(errno);
    }
    char first[16];
    errno = 0;
    if (std::fread(first, 1, sizeof first, file.get()) == 0 && std::ferror(file.get()))
        return unreadableFileReason(errno ? errno : EIO);
    return std::nullopt;
}

FileIdentity::FileIdentity(const std::filesystem::path& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return;
    known_ = true;
    device_ = st.st_dev;
    inode_ = st.st_ino;
    size_ = st.st_size;
    seconds_ = st.st_mtim.tv_sec;
    nanoseconds_ = st.st_mtim.tv_nsec;
}

std::optional<std::string> FileIdentity::changedSince(const std::filesystem::path& path) const {
    if (!known_) return std::nullopt;
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
        return errno == ENOENT || errno == ENOTDIR
                   ? "it vanished while it was being read: it was moved or deleted."
                   : unreadableFileReason(errno);
    if (st.st_dev != device_ || st.st_ino != inode_)
        return "it was replaced by another file while it was being read.";
    if (st.st_size != size_ || st.st_mtim.tv_sec != seconds_ || st.st_mtim.tv_nsec != nanoseconds_)
        return "it changed while it was being read (another program wrote to it); try again "
               "once that is done.";
    return std::nullopt;
}

}  // namespace platform
