#include "platform/FileLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <set>
#include <sstream>
#include <system_error>
#include <thread>

#include "platform/Log.h"
#include "platform/UserWarning.h"

namespace platform {

namespace {

// Once the lock stays still this long the person is told what is waited for.
constexpr std::chrono::milliseconds kNoticeAfter{1000};

// A process (not this one) that holds a lock on the file, from the kernel's
// table of locks; 0 when none is found.
long holderPid(int fd) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) return 0;
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
        return pid;
    }
    return 0;
}

// "process 1234, \"name\"" for the holder; empty when none is found.
std::string holderOf(int fd) {
    const long pid = holderPid(fd);
    if (pid == 0) return {};
    std::string name;
    std::getline(std::ifstream("/proc/" + std::to_string(pid) + "/comm"), name);
    return "process " + std::to_string(pid) + (name.empty() ? "" : ", \"" + name + "\"");
}

// What moves while the lock changes hands: its holder, and the lock file's
// time (the catalog counts its changes in it). A wait is bounded by the
// time the lock stays still, so runs taking it in turn are waited for.
struct LockProgress {
    long holder = 0;
    int64_t modifiedNs = 0;
    bool operator==(const LockProgress&) const = default;
};

LockProgress progressOf(int fd) {
    struct stat st {};
    ::fstat(fd, &st);
    return {holderPid(fd), int64_t(st.st_mtim.tv_sec) * 1'000'000'000 + st.st_mtim.tv_nsec};
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

// A wait for the lock in the kernel's queue, on a descriptor and a thread of
// its own. Blocked there, the wait gets the lock as soon as it is let go
// (one that polled would lose it to every run taking it in a loop, and give
// up though nobody keeps it long); and the thread can be left behind when
// the wait runs out, letting the lock go as soon as it has it.
struct QueuedWait : std::enable_shared_from_this<QueuedWait> {
    std::mutex mutex;
    std::condition_variable changed;
    bool done = false;
    bool abandoned = false;
    int fd = -1;  // holding the lock once had
    int error = 0;

    // False with errno set when the wait cannot be started.
    bool start(const std::filesystem::path& file, int operation) {
        const int waitFd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
        if (waitFd < 0) return false;
        try {
            std::thread([self = shared_from_this(), waitFd, operation] {
                int result;
                while ((result = ::flock(waitFd, operation)) != 0 && errno == EINTR) continue;
                const int failure = result == 0 ? 0 : errno;
                std::lock_guard lock(self->mutex);
                self->done = true;
                self->error = failure;
                if (result == 0 && !self->abandoned)
                    self->fd = waitFd;
                else
                    ::close(waitFd);
                self->changed.notify_all();
            }).detach();
        } catch (const std::system_error& e) {
            ::close(waitFd);
            errno = e.code().value();
            return false;
        }
        return true;
    }
};

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
    const int operation = mode_ == Mode::Exclusive ? LOCK_EX : LOCK_SH;
    const bool keptBefore = keptLocks().contains(file_);
    int result;
    while ((result = ::flock(fd_, operation | LOCK_NB)) != 0 && errno == EINTR) continue;
    if (result == 0) {
        if (keptBefore) {
            log("Got the lock %s, kept by another program before", file_.c_str());
            keptLocks().note(file_, false);
        }
        return true;
    }
    if (errno != EWOULDBLOCK) {
        log("No lock on %s (%s): going on without it", file_.c_str(), std::strerror(errno));
        return false;
    }
    if (keptBefore) {
        timedOut_ = true;
        log("The lock %s is still kept by another program: going on without it", file_.c_str());
        return false;
    }
    // A shared lock being made exclusive lets go first, or it would wait for itself.
    ::flock(fd_, LOCK_UN);
    const auto start = std::chrono::steady_clock::now();
    auto wait = std::make_shared<QueuedWait>();
    if (!wait->start(file_, operation)) {
        timedOut_ = true;
        log("Cannot wait for the lock %s (%s): going on without it", file_.c_str(),
            std::strerror(errno));
        return false;
    }
    // The wait is bounded by the time the lock stays still.
    LockProgress seen = progressOf(fd_);
    auto still = start;
    bool told = false;
    std::unique_lock lock(wait->mutex);
    const auto done = [&] { return wait->done; };
    while (!wait->changed.wait_for(lock, std::chrono::milliseconds(100), done)) {
        lock.unlock();
        const auto now = std::chrono::steady_clock::now();
        if (const LockProgress moved = progressOf(fd_); !(moved == seen)) {
            seen = moved;
            still = now;
        }
        if (!told && now - still >= kNoticeAfter) {
            told = true;
            warnUser("Waiting for another program to let go of " + guarded_ + " (" +
                     lockAndHolder() + "); if it keeps it " +
                     std::to_string((kWaitLimit - kNoticeAfter).count() / 1000) +
                     " seconds more, this run goes on without it.");
        }
        const bool givenUp = now - still >= kWaitLimit;
        lock.lock();
        if (givenUp) break;
    }
    if (wait->done) {
        if (wait->fd < 0) {
            log("No lock on %s (%s): going on without it", file_.c_str(),
                std::strerror(wait->error));
            return false;
        }
        ::close(fd_);
        fd_ = wait->fd;
        if (told) log("Got the lock %s after waiting for it", file_.c_str());
        return true;
    }
    wait->abandoned = true;
    lock.unlock();
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
