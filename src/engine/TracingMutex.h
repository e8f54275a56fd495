// A mutex that logs every lock and unlock, for tracing lock traffic.
// Thread-safe like any mutex; not recursive.
#pragma once

#include "platform/Locks.h"

class TracingMutex {
public:
    void lock();
    void unlock();
    bool tryLock() { return mutex_.tryLock(); }

private:
    platform::Mutex mutex_;
};
