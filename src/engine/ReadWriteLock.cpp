#include "engine/ReadWriteLock.h"

#include <cstring>

#include "platform/Dispatch.h"
#include "platform/Log.h"

ReadWriteLock::ReadWriteLock() {
    pthread_rwlockattr_t attributes;
    bool ok = pthread_rwlockattr_init(&attributes) == 0;
    if (ok) {
        pthread_rwlockattr_setkind_np(&attributes, PTHREAD_RWLOCK_PREFER_WRITER_NONRECURSIVE_NP);
        ok = pthread_rwlock_init(&theLock, &attributes) == 0;
        pthread_rwlockattr_destroy(&attributes);
    }
    valid_ = ok;
    if (!valid_) platform::log("ERROR: could not initialise pthread_rwlock_init");
}

std::shared_ptr<ReadWriteLock> ReadWriteLock::init() {
    auto lock = std::make_shared<ReadWriteLock>();
    return lock->isValid() ? lock : nullptr;
}

ReadWriteLock::~ReadWriteLock() {
    if (valid_) pthread_rwlock_destroy(&theLock);
}

void ReadWriteLock::lockForRead() {
    if (!valid_ || pthread_rwlock_tryrdlock(&theLock) == 0) return;
    platform::BlockingScope blocking;
    int err = pthread_rwlock_rdlock(&theLock);
    if (err) platform::log("ReadWriteLock lockForRead failed: %s", std::strerror(err));
}

void ReadWriteLock::lockForWrite() {
    if (!valid_ || pthread_rwlock_trywrlock(&theLock) == 0) return;
    platform::BlockingScope blocking;
    int err = pthread_rwlock_wrlock(&theLock);
    if (err) platform::log("ReadWriteLock lockForWrite failed: %s", std::strerror(err));
}

void ReadWriteLock::unlock() {
    if (valid_) pthread_rwlock_unlock(&theLock);
}

bool ReadWriteLock::canReadLock() { return valid_ && pthread_rwlock_tryrdlock(&theLock) == 0; }

bool ReadWriteLock::canWriteLock() { return valid_ && pthread_rwlock_trywrlock(&theLock) == 0; }
