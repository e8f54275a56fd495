#include "engine/FileBackedDataManager.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>

#include "platform/Dispatch.h"
#include "platform/Locks.h"
#include "platform/Log.h"
#include "platform/Paths.h"

namespace {

// Reserves the file's blocks so that a full disk is reported here instead of
// as a fault when a page of the mapping is first written.
// (fallocate rather than posix_fallocate, whose emulation would write every block.)
bool reserveFileSpace(int fd, uint64_t size) {
    if (::fallocate(fd, 0, 0, static_cast<off_t>(size)) == 0) return true;
    if (errno != EOPNOTSUPP && errno != ENOSYS) return false;
    // No reservation on this file system: at least refuse what cannot fit now.
    struct statvfs fs {};
    if (::fstatvfs(fd, &fs) == 0 && size / fs.f_frsize >= fs.f_bavail) {
        errno = ENOSPC;
        return false;
    }
    return ::ftruncate(fd, static_cast<off_t>(size)) == 0;
}

}  // namespace

FileBackedDataManager::FileBackedDataManager() = default;

FileBackedDataManager& FileBackedDataManager::sharedFileBackedDataManager() {
    static platform::LazySingleton<FileBackedDataManager> instance;
    return instance.get([] { return new FileBackedDataManager; });
}

void* FileBackedDataManager::allocVM(uint64_t size) {
    if (size == 0 || size > static_cast<uint64_t>(std::numeric_limits<off_t>::max()))
        return nullptr;
    std::lock_guard lock(monitor_);
    std::filesystem::path folder = platform::temporaryDirectory();
    if (folder.empty()) return nullptr;
    std::string path = (folder / "quorvextempfile.XXXXXX").string();
    auto owned = std::make_unique<char[]>(path.size() + 1);
    std::memcpy(owned.get(), path.c_str(), path.size() + 1);

    int fd = ::mkostemp(owned.get(), O_CLOEXEC);
    if (fd < 0) {
        platform::log("%s cannot create %s: %s", __PRETTY_FUNCTION__, owned.get(),
                      std::strerror(errno));
        return nullptr;
    }
    auto abandon = [&](const char* step) -> void* {
        platform::log("%s %s failed for %s: %s", __PRETTY_FUNCTION__, step, owned.get(),
                      std::strerror(errno));
        ::close(fd);
        ::unlink(owned.get());
        return nullptr;
    };
    if (!reserveFileSpace(fd, size)) return abandon("reserving space");
    void* address = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (address == MAP_FAILED) return abandon("mmap");
    // A newly extended file reads as zeros, so the mapping is already zero-filled;
    // writing the zeros would only cost disk traffic.

    auto* record = new Mapping;
    record->address = address;
    record->fd = fd;
    record->length = size;
    record->path = std::move(owned);
    Mapping** tail = &head_;
    while (*tail) tail = &(*tail)->next;
    *tail = record;
    return address;
}

void FileBackedDataManager::deallocVM(void* address) {
    if (!address) return;
    Mapping* found = nullptr;
    {
        std::lock_guard lock(monitor_);
        for (Mapping** link = &head_; *link; link = &(*link)->next) {
            if ((*link)->address == address) {
                found = *link;
                *link = found->next;
                found->next = nullptr;
                break;
            }
        }
    }
    if (!found) {
        std::free(address);
        return;
    }
    platform::DispatchQueue::global(platform::QueuePriority::Background)->async([found] {
        if (::ftruncate(found->fd, 0) != 0) {
            // Nothing to do: the file is removed below anyway.
        }
        ::munmap(found->address, found->length);
        ::close(found->fd);
        ::unlink(found->path.get());
        delete found;
    });
}
