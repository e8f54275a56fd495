#include "platform/FileLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <mutex>
#include <set>
#include <sstream>
#include <thread>

#include "platform/Log.h"
#include "platform/UserWarning.h"

namespace platform {

namespace {

// Once a wait lasts this long the person is told what is waited for.
constexpr std::chrono::milliseconds kNoticeAfter{500};

// "process 1234, \"name\"" for a process that holds a lock on the file, from
// the kernel's table of locks; empty when none is found.
std::string holderOf(int fd) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) return {};
    std::ifstream locks("/proc/locks");
    const unsigned major = ::major(st.st_dev), minor = ::minor(st.st_dev);
    for (std::string line; std::getline(locks, line);) {
        std::istringstream fields(line);
        std::string number, kind, advisory, access, device;
        long pid = 0;
        if (!(fields >> number >> kind) || kind == "->" ||
            !(fields >> advisory >> access >> pid >> device))
            continue;
        unsigned dmajor = 0, dminor = 0;
        unsigned long long inode = 0;
        if (std::sscanf(device.c_str(), "%x:%x:%llu", &dmajor, &dminor, &inode) != 3 ||
            dmajor != major || dminor != minor || inode != st.st_ino || pid == ::getpid())
            continue;
        std::string name;
        std::getline(std::ifstream("/proc/" + std::to_string(pid) + "/comm"), name);
        return "process " + std::to_string(pid) + (name.empty() ? "" : ", \"" + name + "\"");
    }
    return {};
}

// Locks another program kept past the wait: this process does not wait for
// them again (a menu listing the presets would hang each time) until it gets
// them once.
struct KeptLocks {
    std::mutex mutex;
    std::set<std::string> files;
    bool contains(const std::filesystem::path& file) {
        std::lock_guard lock(mutex);
        return files.contains(file.string());
    }
    void note(const std::filesystem::path& file, bool kept) {
        std::lock_guard lock(mutex);
        if (kept)
            files.insert(file.string());
        else
            files.erase(file.string());
    }
};

KeptLocks& keptLocks() {
    static auto* kept = new KeptLocks;
    return *kept;
}

}  // namespace

FileLock::FileLock(const std::filesystem::path& lockFile, Mode mode, std::string guarded)
    : file_(lockFile), guarded_(std::move(guarded)), mode_(mode) {
    if (guarded_.empty()) guarded_ = "\"" + lockFile.string() + "\"";
    fd_ = ::open(lockFile.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0644);
    if (fd_ < 0) fd_ = ::open(lockFile.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd_ < 0) {
        log("No lock %s (%s): going on without it", lockFile.c_str(), std::strerror(errno));
        return;
    }
    held_ = acquire();
}

FileLock::~FileLock() {
    if (fd_ >= 0) ::close(fd_);  // lets the lock go
}

bool FileLock::acquire() {
    const int operation = (mode_ == Mode::Exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB;
    const auto start = std::chrono::steady_clock::now();
    const bool keptBefore = keptLocks().contains(file_);
    auto pause = std::chrono::milliseconds(2);
    bool told = false;
    for (;;) {
        if (::flock(fd_, operation) == 0) {
            if (told || keptBefore) log("Got the lock %s after waiting for it", file_.c_str());
            if (keptBefore) keptLocks().note(file_, false);
            return true;
        }
        if (errno == EINTR) continue;
        if (errno != EWOULDBLOCK) {
            log("No lock on %s (%s): going on without it", file_.c_str(), std::strerror(errno));
            return false;
        }
        if (keptBefore) {
            timedOut_ = true;
            log("The lock %s is still kept by another program: going on without it", file_.c_str());
            return false;
        }
        const auto waited = std::chrono::steady_clock::now() - start;
        if (waited >= kWaitLimit) break;
        if (!told && waited >= kNoticeAfter) {
            told = true;
            warnUser("Waiting for another program to let go of " + guarded_ + " (" +
                     lockAndHolder() + "); waiting at most " +
                     std::to_string(kWaitLimit.count() / 1000) + " seconds.");
        }
        std::this_thread::sleep_for(pause);
        pause = std::min(pause * 2, std::chrono::milliseconds(50));
    }
    timedOut_ = true;
    keptLocks().note(file_, true);
    warnUser("Another program still holds " + guarded_ + " (" + lockAndHolder() + ") after " +
             std::to_string(kWaitLimit.count() / 1000) + " seconds; going on without it: " +
             (mode_ == Mode::Exclusive ? "what cannot be saved safely is not saved."
                                       : "it is read as it is."));
    return false;
}

std::string FileLock::lockAndHolder() const {
    const std::string holder = holderOf(fd_);
    return "its lock \"" + file_.string() + "\"" + (holder.empty() ? "" : " is held by " + holder);
}

void FileLock::makeExclusive() {
    if (mode_ == Mode::Exclusive || fd_ < 0) return;
    mode_ = Mode::Exclusive;
    timedOut_ = false;
    held_ = acquire();
}

}  // namespace platform
