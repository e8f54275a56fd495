// A reader-writer lock: many readers or one writer. Writers are preferred:
// once a writer waits, new readers wait too, so a stream of tile requests
// cannot hold off a settings change forever. Consequently a thread must not
// take the read lock twice. Not recursive for writers either.
//
// Every method is thread-safe. A blocking acquisition on a dispatch pool
// thread lets the pool start another thread meanwhile.
#pragma once

#include <pthread.h>

#include <memory>

class ReadWriteLock {
public:
    // Logs "ERROR: could not initialise pthread_rwlock_init" on failure; such
    // a lock refuses every acquisition (see isValid()).
    ReadWriteLock();
    // nullptr when the lock cannot be initialised.
    static std::shared_ptr<ReadWriteLock> init();
    ~ReadWriteLock();
    ReadWriteLock(const ReadWriteLock&) = delete;
    ReadWriteLock& operator=(const ReadWriteLock&) = delete;

    void lockForRead();
    void lockForWrite();
    void unlock();
    // True when acquired (the caller then holds the lock and must unlock()).
    bool canReadLock();
    bool canWriteLock();

    bool isValid() const { return valid_; }

private:
    pthread_rwlock_t theLock;
    bool valid_ = false;
};

// Scoped holders: the lock is released on every way out of the scope.
class ReadLocker {
public:
    explicit ReadLocker(ReadWriteLock& lock) : lock_(lock) { lock_.lockForRead(); }
    ~ReadLocker() { lock_.unlock(); }
    ReadLocker(const ReadLocker&) = delete;
    ReadLocker& operator=(const ReadLocker&) = delete;

private:
    ReadWriteLock& lock_;
};

class WriteLocker {
public:
    explicit WriteLocker(ReadWriteLock& lock) : lock_(lock) { lock_.lockForWrite(); }
    ~WriteLocker() { lock_.unlock(); }
    WriteLocker(const WriteLocker&) = delete;
    WriteLocker& operator=(const WriteLocker&) = delete;

private:
    ReadWriteLock& lock_;
};
