// An advisory lock (flock) on a small file beside what it guards, shared by
// every process of the user: changes to a settings file are a
// read-modify-write under the exclusive lock, so concurrent changes from any
// number of processes all survive. Readers of a file replaced by rename need
// no lock; those that list a folder being filled take the shared one.
//
// Where the lock file cannot be made (a read-only folder) or the file system
// keeps no locks, the lock is not held and the caller goes on without it:
// what it writes there fails or races as before, nothing waits forever.
//
// A wait is bounded by stillness: while the lock changes hands, its file
// changes, or its holder works (its processor time grows) the wait goes on;
// a lock kept by a holder that is stopped or sleeps (a stopped batch, a hung
// window, a sync tool) is waited for at most waitLimit() of stillness, the
// person told early what is waited for. Then the lock is not held and
// timedOut() is true: the caller reads without it and reports a change it
// cannot make safely as not saved. Each later change waits again with the
// same bound (a read does not while the lock stays as it was when its wait
// ran out); a wait that ran out stays queued and the next attempt of this
// process joins it, so it never holds the lock against its own process.
//
// One object per holder; not shared between threads. Two objects on the same
// lock file exclude each other also within one process.
#pragma once

#include <chrono>
#include <filesystem>
#include <string>

namespace platform {

class FileLock {
public:
    enum class Mode { Shared, Exclusive };
    static constexpr std::chrono::milliseconds kWaitLimit{4000};
    // The bound in force: kWaitLimit unless tests shortened it.
    static std::chrono::milliseconds waitLimit();
    static void setWaitLimit(std::chrono::milliseconds limit);  // any thread
    // "4 seconds", "1.5 seconds": the bound for the person told.
    static std::string waitLimitText();

    // `guarded` names what the lock guards for the person told about a wait
    // ("the catalog \"…\""); empty: the lock file's path.
    FileLock(const std::filesystem::path& lockFile, Mode mode, std::string guarded = {});
    ~FileLock();
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;

    bool held() const { return held_; }
    // Another program kept the lock still past the wait limit.
    bool timedOut() const { return timedOut_; }
    Mode mode() const { return mode_; }
    // Turns a shared lock into an exclusive one. Not atomic: another holder
    // may change things in between, so read again after.
    void makeExclusive();

private:
    bool acquire();
    // Tells that the wait ran out; false.
    bool givenUp();
    std::string lockAndHolder() const;

    std::filesystem::path file_;
    std::string guarded_;
    int fd_ = -1;
    bool held_ = false;
    bool timedOut_ = false;
    Mode mode_;
};

}  // namespace platform
