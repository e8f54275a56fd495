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
// One object per holder; not shared between threads. Two objects on the same
// lock file exclude each other also within one process.
#pragma once

#include <filesystem>

namespace platform {

class FileLock {
public:
    enum class Mode { Shared, Exclusive };

    FileLock(const std::filesystem::path& lockFile, Mode mode);
    ~FileLock();
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;

    bool held() const { return held_; }
    Mode mode() const { return mode_; }
    // Turns a shared lock into an exclusive one. Not atomic: another holder
    // may change things in between, so read again after.
    void makeExclusive();

private:
    int fd_ = -1;
    bool held_ = false;
    Mode mode_;
};

}  // namespace platform
