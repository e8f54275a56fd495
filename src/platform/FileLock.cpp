#include "platform/FileLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <set>
#include <sstream>
#include <system_error>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "platform/Log.h"
#include "platform/UserWarning.h"

namespace platform {

namespace {

// A wait this long is told, whatever the holder does.
constexpr std::chrono::milliseconds kNoticeAfter{500};
// How often a wait looks whether the lock moved.
constexpr std::chrono::milliseconds kStep{100};
// How often it looks whether the holder works, far within the wait's bound.
constexpr std::chrono::milliseconds kWorkLook{400};

std::atomic<int64_t> waitLimitMs{FileLock::kWaitLimit.count()};

std::chrono::milliseconds noticeAfter() {
    return std::min(kNoticeAfter, FileLock::waitLimit() / 2);
}

std::string secondsText(std::chrono::milliseconds time) {
    if (time.count() % 1000 != 0) {
        char text[32];
        std::snprintf(text, sizeof text, "%.1f seconds", double(time.count()) / 1000);
        return text;
    }
    const auto seconds = time.count() / 1000;
    return std::to_string(seconds) + (seconds == 1 ? " second" : " seconds");
}

// The processes (not this one) that hold a lock on the file, from the
// kernel's table of locks (those queued for it are left out).
std::vector<long> holderPids(dev_t dev, ino_t ino) {
    std::vector<long> pids;
    std::ifstream locks("/proc/locks");
    const unsigned major = ::major(dev), minor = ::minor(dev);
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
            dmajor != major || dminor != minor || inode != ino || pid == ::getpid())
            continue;
        pids.push_back(pid);
    }
    std::sort(pids.begin(), pids.end());
    return pids;
}

std::vector<long> holderPids(int fd) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) return {};
    return holderPids(st.st_dev, st.st_ino);
}

// "process 1234, \"name\"" for a holder; empty when none is found.
std::string holderOf(int fd) {
    const std::vector<long> pids = holderPids(fd);
    if (pids.empty()) return {};
    const std::string pid = std::to_string(pids.front());
    std::string name;
    std::getline(std::ifstream("/proc/" + pid + "/comm"), name);
    return "process " + pid + (name.empty() ? "" : ", \"" + name + "\"");
}

// The processor time (user and system, reaped children's included, in clock
// ticks) of each process, and who started whom, from /proc.
struct ProcessTimes {
    std::map<long, long long> time;
    std::multimap<long, long> children;
};

ProcessTimes processTimes() {
    ProcessTimes all;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator("/proc", ec)) {
        const std::string name = entry.path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos) continue;
        std::string line;
        std::getline(std::ifstream(entry.path() / "stat"), line);
        // The name in parentheses may hold spaces; the fields after it are plain.
        const size_t nameEnd = line.rfind(')');
        if (nameEnd == std::string::npos) continue;
        std::istringstream fields(line.substr(nameEnd + 1));
        std::string skipped;
        long parent = 0;
        fields >> skipped >> parent;
        for (int field = 5; field < 14; ++field) fields >> skipped;
        long long user = 0, system = 0, childUser = 0, childSystem = 0;
        if (!(fields >> user >> system >> childUser >> childSystem)) continue;
        const long pid = std::strtol(name.c_str(), nullptr, 10);
        all.time[pid] = user + system + childUser + childSystem;
        all.children.emplace(parent, pid);
    }
    return all;
}

// The processor time the holders and every process they started have spent:
// a holder may work through another (`flock FILE command`).
long long workOf(const std::vector<long>& holders) {
    if (holders.empty()) return 0;
    const ProcessTimes all = processTimes();
    long long total = 0;
    std::vector<long> pending = holders;
    std::set<long> counted;
    while (!pending.empty()) {
        const long pid = pending.back();
        pending.pop_back();
        if (!counted.insert(pid).second) continue;
        if (const auto time = all.time.find(pid); time != all.time.end()) total += time->second;
        for (auto [child, end] = all.children.equal_range(pid); child != end; ++child)
            pending.push_back(child->second);
    }
    return total;
}

// Who holds the lock, and the lock file's time (the catalog counts its
// changes in it).
struct LockState {
    std::vector<long> holders;
    int64_t modifiedNs = 0;
    bool operator==(const LockState&) const = default;
};

LockState stateOf(int fd) {
    LockState state;
    state.holders = holderPids(fd);
    struct stat st {};
    ::fstat(fd, &st);
    state.modifiedNs = int64_t(st.st_mtim.tv_sec) * 1'000'000'000 + st.st_mtim.tv_nsec;
    return state;
}

// Set while a FileLock::StopWhen lives on the thread.
thread_local const std::atomic<bool>* stopFlag = nullptr;
// Set while a FileLock::Purpose lives on the thread.
thread_local const std::string* purposeOfThread = nullptr;

// The locks this process holds, by lock file, with what each is for: the
// kernel names no holder of our own to a wait of ours.
struct OwnHolders {
    std::mutex mutex;
    std::multimap<std::pair<dev_t, ino_t>, std::pair<const void*, std::string>> held;
};

OwnHolders& ownHolders() {
    static auto* all = new OwnHolders;
    return *all;
}

std::optional<std::pair<dev_t, ino_t>> lockFileId(int fd) {
    struct stat st {};
    if (fd < 0 || ::fstat(fd, &st) != 0) return std::nullopt;
    return std::pair{st.st_dev, st.st_ino};
}

// What a holder of this process other than `self` holds the lock for; empty
// when none does.
std::optional<std::string> ownHolderOf(int fd, const void* self) {
    const auto id = lockFileId(fd);
    if (!id) return std::nullopt;
    std::lock_guard lock(ownHolders().mutex);
    for (auto [at, end] = ownHolders().held.equal_range(*id); at != end; ++at)
        if (at->second.first != self) return at->second.second;
    return std::nullopt;
}
// Set while a FileLock::NoticeWatch lives on the thread.
thread_local FileLock::NoticeWatch* noticeWatch = nullptr;

// The word that a wait ran out stays while it holds: until the holders it
// names let go of the lock. One thread looks, while there is a word to look
// after.
struct RanOutNotice {
    std::string text;
    dev_t dev;
    ino_t ino;
    std::vector<long> holders;
};

struct RanOutNotices {
    std::mutex mutex;
    std::vector<RanOutNotice> notices;
    bool watching = false;
};

RanOutNotices& ranOutNotices() {
    static auto* all = new RanOutNotices;
    return *all;
}

bool stillHeld(const RanOutNotice& notice) {
    const std::vector<long> now = holderPids(notice.dev, notice.ino);
    if (notice.holders.empty()) return !now.empty();
    return std::any_of(notice.holders.begin(), notice.holders.end(),
                       [&](long pid) { return std::binary_search(now.begin(), now.end(), pid); });
}

void watchRanOut() {
    for (;;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
        std::vector<RanOutNotice> pending;
        {
            std::lock_guard lock(ranOutNotices().mutex);
            pending = ranOutNotices().notices;
        }
        std::vector<std::string> over;
        for (const RanOutNotice& notice : pending)
            if (!stillHeld(notice)) over.push_back(notice.text);
        std::lock_guard lock(ranOutNotices().mutex);
        auto& notices = ranOutNotices().notices;
        for (const std::string& text : over) {
            std::erase_if(notices, [&](const RanOutNotice& n) { return n.text == text; });
            withdrawUserWarning(text);
        }
        if (notices.empty()) {
            ranOutNotices().watching = false;
            return;
        }
    }
}

void lookAfterRanOut(RanOutNotice notice) {
    std::lock_guard lock(ranOutNotices().mutex);
    auto& all = ranOutNotices();
    std::erase_if(all.notices, [&](const RanOutNotice& n) { return n.text == notice.text; });
    all.notices.push_back(std::move(notice));
    if (all.watching) return;
    try {
        std::thread(watchRanOut).detach();
        all.watching = true;
    } catch (const std::system_error&) {
        // No thread to spare: the word stays until the person dismisses it.
        all.notices.clear();
    }
}

void tell(const std::string& notice, bool ranOut) {
    // The watch first: it may show the notice together with what it asks.
    if (noticeWatch) noticeWatch->told()(notice, ranOut);
    warnUser(notice);
}

// Waits of this process behind the same holder tell the same words: they
// are withdrawn once none of those waits goes on.
struct WaitNotices {
    std::mutex mutex;
    std::map<std::string, int> waits;
};

WaitNotices& waitNotices() {
    static auto* all = new WaitNotices;
    return *all;
}

void tellWait(const std::string& notice) {
    if (noticeWatch) noticeWatch->told()(notice, false);
    bool first;
    {
        std::lock_guard lock(waitNotices().mutex);
        first = ++waitNotices().waits[notice] == 1;
    }
    if (first) warnUser(notice);
}

void withdrawWait(const std::string& notice) {
    {
        std::lock_guard lock(waitNotices().mutex);
        const auto found = waitNotices().waits.find(notice);
        if (found != waitNotices().waits.end() && --found->second > 0) return;
        if (found != waitNotices().waits.end()) waitNotices().waits.erase(found);
    }
    withdrawUserWarning(notice);
}

int tryLock(int fd, int operation) {
    int result;
    while ((result = ::flock(fd, operation | LOCK_NB)) != 0 && errno == EINTR) continue;
    return result;
}

// A wait for the lock in the kernel's queue, on a descriptor and a thread of
// its own. Blocked there, the wait gets the lock as soon as it is let go
// (one that polled would lose it to every run taking it in a loop). When it
// runs out the wait stays queued, left for the next attempt of the process
// to join; if none has by the time it gets the lock, it lets it go at once.
struct QueuedWait {
    std::condition_variable changed;
    bool done = false;
    bool abandoned = false;
    int fd = -1;  // holding the lock once had
    int error = 0;
};

using WaitKey = std::tuple<dev_t, ino_t, int>;  // the lock file and the operation

struct Waits {
    std::mutex mutex;  // also guards every QueuedWait
    std::map<WaitKey, std::shared_ptr<QueuedWait>> left;
    // The lock file's time when a wait for it last ran out, by lock file and
    // operation: a shared lock had since says nothing of an exclusive one
    // (readers at work keep out a change that waits as a read).
    std::map<WaitKey, int64_t> keptAt;
};

Waits& waits() {
    static auto* all = new Waits;
    return *all;
}

// The lock was had: waits for it and, for an exclusive one, for any other
// start afresh. Call with waits().mutex held.
void forgetKeptLocked(const WaitKey& key) {
    const auto [device, inode, operation] = key;
    waits().keptAt.erase({device, inode, LOCK_SH});
    if (operation == LOCK_EX) waits().keptAt.erase(key);
}

// A wait left by an attempt that ran out, taken over; null when none.
std::shared_ptr<QueuedWait> joinLeftWait(const WaitKey& key) {
    std::lock_guard lock(waits().mutex);
    const auto found = waits().left.find(key);
    if (found == waits().left.end()) return nullptr;
    auto wait = std::move(found->second);
    waits().left.erase(found);
    wait->abandoned = false;
    return wait;
}

// Null with errno set when the wait cannot be started (short of memory).
std::shared_ptr<QueuedWait> startWait(const std::filesystem::path& file, const WaitKey& key) {
    const int waitFd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (waitFd < 0) return nullptr;
    try {
        auto wait = std::make_shared<QueuedWait>();
        std::thread([wait, waitFd, key] {
            int result;
            while ((result = ::flock(waitFd, std::get<2>(key))) != 0 && errno == EINTR) continue;
            const int failure = result == 0 ? 0 : errno;
            std::lock_guard lock(waits().mutex);
            wait->done = true;
            wait->error = failure;
            if (result == 0 && !wait->abandoned) {
                wait->fd = waitFd;
            } else {
                ::close(waitFd);
                const auto found = waits().left.find(key);
                if (found != waits().left.end() && found->second == wait) waits().left.erase(found);
            }
            wait->changed.notify_all();
        }).detach();
        return wait;
    } catch (const std::exception&) {
        ::close(waitFd);
        errno = ENOMEM;
        return nullptr;
    }
}

}  // namespace

std::chrono::milliseconds FileLock::waitLimit() {
    return std::chrono::milliseconds(waitLimitMs.load());
}

void FileLock::setWaitLimit(std::chrono::milliseconds limit) { waitLimitMs = limit.count(); }

std::string FileLock::waitLimitText() { return secondsText(waitLimit()); }

FileLock::FileLock(const std::filesystem::path& lockFile, Mode mode, std::string guarded, Wait wait)
    : file_(lockFile),
      guarded_(std::move(guarded)),
      mode_(mode),
      wait_(wait),
      purpose_(purposeOfThread ? *purposeOfThread : std::string()) {
    if (guarded_.empty()) guarded_ = "\"" + lockFile.string() + "\"";
    if (purpose_.empty()) purpose_ = "use of " + guarded_;
    fd_ = ::open(lockFile.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0644);
    if (fd_ < 0) fd_ = ::open(lockFile.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd_ < 0) {
        log("No lock %s (%s): going on without it", lockFile.c_str(), std::strerror(errno));
        return;
    }
    held_ = acquire();
    if (held_) noteHeld();
}

FileLock::~FileLock() {
    forgetHeld();
    if (fd_ >= 0) ::close(fd_);  // lets the lock go
}

void FileLock::noteHeld() {
    const auto id = lockFileId(fd_);
    if (!id || noted_) return;
    try {
        std::lock_guard lock(ownHolders().mutex);
        ownHolders().held.emplace(*id, std::pair{static_cast<const void*>(this), purpose_});
        noted_ = true;
    } catch (const std::bad_alloc&) {
        // A wait behind it then names no holder.
    }
}

void FileLock::forgetHeld() {
    if (!std::exchange(noted_, false)) return;
    std::lock_guard lock(ownHolders().mutex);
    std::erase_if(ownHolders().held,
                  [this](const auto& entry) { return entry.second.first == this; });
}

bool FileLock::acquire() {
    const int operation = mode_ == Mode::Exclusive ? LOCK_EX : LOCK_SH;
    struct stat st {};
    ::fstat(fd_, &st);
    const WaitKey key{st.st_dev, st.st_ino, operation};
    const auto noteKept = [&](std::optional<LockState> at) {
        std::lock_guard lock(waits().mutex);
        if (at)
            waits().keptAt[key] = at->modifiedNs;
        else
            forgetKeptLocked(key);
    };
    if (tryLock(fd_, operation) == 0) {
        noteKept(std::nullopt);
        return keepTaken();
    }
    if (errno != EWOULDBLOCK) {
        log("No lock on %s (%s): going on without it", file_.c_str(), std::strerror(errno));
        return false;
    }
    if (wait_ == Wait::Never) {
        timedOut_ = true;
        keptBy_ = holderText();
        return false;
    }
    // The wait starts here for the person told: the looks at the holders
    // below read /proc, which on a busy machine takes a while.
    const auto start = std::chrono::steady_clock::now();
    LockState seen = stateOf(fd_);
    // A read goes on without the lock anyway, and waits the bound in all: it
    // does not wait again for one kept, untouched, since a wait for it ran
    // out (a batch reads the presets once per file), whoever keeps it now.
    // A change always waits.
    if (boundedWait()) {
        std::lock_guard lock(waits().mutex);
        const auto keptAsItWas = [&](int kind) {
            const auto kept = waits().keptAt.find({st.st_dev, st.st_ino, kind});
            return kept != waits().keptAt.end() && kept->second == seen.modifiedNs;
        };
        if (keptAsItWas(LOCK_SH) || keptAsItWas(LOCK_EX)) {
            timedOut_ = true;
            log("The lock %s is still kept as it was: read without it", file_.c_str());
            return false;
        }
    }
    // A shared lock being made exclusive lets go first, or it would wait for itself.
    ::flock(fd_, LOCK_UN);
    // One queued wait per lock in this process: a second would take the lock
    // from the first, or the first from this attempt.
    std::shared_ptr<QueuedWait> wait = joinLeftWait(key);
    if (!wait && !(wait = startWait(file_, key)))
        log("Cannot queue a wait for the lock %s (%s): trying it in turn", file_.c_str(),
            std::strerror(errno));

    auto still = std::chrono::steady_clock::now();
    auto workLooked = still;
    long long work = boundedWait() ? 0 : workOf(seen.holders);
    std::string notice;
    const auto withdrawNotice = [&] {
        if (!notice.empty()) withdrawWait(std::exchange(notice, {}));
    };
    // A read waits the bound in all; a change as long as the holder works.
    enum class Outcome { Waiting, RanOut, Stopped };
    const auto outcome = [&] {
        if (stopFlag && stopFlag->load()) return Outcome::Stopped;
        // Told before the holders are looked at, which may take long.
        if (notice.empty() && std::chrono::steady_clock::now() - start >= noticeAfter()) {
            notice = waitNotice();
            tellWait(notice);
        }
        const auto now = std::chrono::steady_clock::now();
        if (LockState state = stateOf(fd_); !(state == seen)) {
            seen = std::move(state);
            still = now;
        }
        // Every process's times are read: not at every step, which would
        // keep a core busy on a machine of many processes.
        if (!boundedWait() && now - workLooked >= kWorkLook) {
            workLooked = now;
            if (const long long spent = workOf(seen.holders); spent != work) {
                work = spent;
                still = now;
            }
        }
        return now - (boundedWait() ? start : still) >= waitLimit() ? Outcome::RanOut
                                                                    : Outcome::Waiting;
    };
    const auto endWithout = [&](Outcome why) {
        withdrawNotice();
        if (why == Outcome::RanOut) return givenUp();
        timedOut_ = true;
        keptBy_ = holderText();
        log("Stopped waiting for the lock %s", file_.c_str());
        return false;
    };
    if (!wait) {
        Outcome why;
        do {
            std::this_thread::sleep_for(kStep / 5);
            if (tryLock(fd_, operation) == 0) {
                if (!keepTaken()) {
                    withdrawNotice();
                    return false;
                }
                noteKept(std::nullopt);
                withdrawNotice();
                return true;
            }
        } while ((why = outcome()) == Outcome::Waiting);
        noteKept(seen);
        return endWithout(why);
    }
    std::unique_lock lock(waits().mutex);
    while (!wait->changed.wait_for(lock, kStep, [&] { return wait->done; })) {
        lock.unlock();
        const Outcome why = outcome();
        lock.lock();
        if (why != Outcome::Waiting && !wait->done) {
            wait->abandoned = true;
            waits().left[key] = wait;
            waits().keptAt[key] = seen.modifiedNs;
            lock.unlock();
            return endWithout(why);
        }
    }
    if (wait->fd < 0) {
        lock.unlock();
        withdrawNotice();
        log("No lock on %s (%s): going on without it", file_.c_str(), std::strerror(wait->error));
        return false;
    }
    forgetKeptLocked(key);
    lock.unlock();
    ::close(fd_);
    fd_ = std::exchange(wait->fd, -1);
    if (!keepTaken()) {
        withdrawNotice();
        return false;
    }
    if (!notice.empty()) log("Got the lock %s after waiting for it", file_.c_str());
    withdrawNotice();
    return true;
}

std::string FileLock::holderText() const {
    if (const std::string other = holderOf(fd_); !other.empty())
        return "another program (" + other + ")";
    if (const auto own = ownHolderOf(fd_, this)) return "this program's own " + *own;
    return "another program";
}

std::string FileLock::waitNotice() const {
    std::string holder = holderText();
    // The process is said after the lock, as it always was.
    if (holder.starts_with("another program")) holder = "another program";
    return "Waiting for " + holder + " to let go of " + guarded_ + " (" + lockAndHolder() + "); " +
           (boundedWait()
                ? "if it still holds it in " + secondsText(waitLimit() - noticeAfter()) +
                      ", this run goes on without it."
                : "the change waits while that program, or one it started, is at work, and is "
                  "not saved if they do nothing for " +
                      waitLimitText() + ".");
}

bool FileLock::givenUp() {
    timedOut_ = true;
    keptBy_ = holderText();
    std::string who = keptBy_.starts_with("another program") ? "another program" : keptBy_;
    who[0] = char(std::toupper(static_cast<unsigned char>(who[0])));
    const std::string notice =
        boundedWait()
            ? who + " kept " + guarded_ + " (" + lockAndHolder() + ") for " + waitLimitText() +
                  "; going on without it" + (mode_ == Mode::Shared ? ": it is read as it is." : ".")
            : who + " keeps " + guarded_ + " (" + lockAndHolder() + ") and has done nothing for " +
                  waitLimitText() +
                  "; going on without it: what cannot be saved safely is not saved.";
    tell(notice, true);
    struct stat st {};
    if (::fstat(fd_, &st) == 0)
        lookAfterRanOut(RanOutNotice{notice, st.st_dev, st.st_ino, holderPids(fd_)});
    return false;
}

bool FileLock::keepTaken() {
    // Got in the moment the person chose not to wait: what they chose holds.
    if (!stopFlag || !stopFlag->load()) return true;
    ::flock(fd_, LOCK_UN);
    timedOut_ = true;
    log("Stopped waiting for the lock %s", file_.c_str());
    return false;
}

std::string FileLock::lockAndHolder() const {
    const std::string holder = holderOf(fd_);
    return "its lock \"" + file_.string() + "\"" + (holder.empty() ? "" : " is held by " + holder);
}

FileLock::StopWhen::StopWhen(const std::atomic<bool>& stop) : previous_(stopFlag) {
    stopFlag = &stop;
}

FileLock::StopWhen::~StopWhen() { stopFlag = previous_; }

FileLock::Purpose::Purpose(std::string what) : what_(std::move(what)), previous_(purposeOfThread) {
    purposeOfThread = &what_;
}

FileLock::Purpose::~Purpose() { purposeOfThread = previous_; }

FileLock::NoticeWatch::NoticeWatch(Told told) : told_(std::move(told)), previous_(noticeWatch) {
    noticeWatch = this;
}

FileLock::NoticeWatch::~NoticeWatch() { noticeWatch = previous_; }

void FileLock::makeExclusive() {
    if (mode_ == Mode::Exclusive || fd_ < 0) return;
    mode_ = Mode::Exclusive;
    timedOut_ = false;
    forgetHeld();
    held_ = acquire();
    if (held_) noteHeld();
}

}  // namespace platform
