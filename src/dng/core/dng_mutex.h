// A recursive mutex with a name and level, its scope lock and scope unlock,
// and a condition variable with a timed wait. All methods are thread-safe; the
// level and name are reported only, no lock-order checking uses them.
#pragma once

#include <pthread.h>

#include "dng/core/dng_types.h"

class dng_mutex {
public:
    // dng_error_memory when the mutex cannot be made.
    explicit dng_mutex(const char* name = nullptr, uint32 level = 0);
    virtual ~dng_mutex();
    dng_mutex(const dng_mutex&) = delete;
    dng_mutex& operator=(const dng_mutex&) = delete;

    // The owning thread may lock again. dng_error_unknown on failure.
    void Lock();
    void Unlock();

    // The name, or "< unknown >".
    const char* Name() const;
    uint32 Level() const { return fLevel; }

private:
    friend class dng_condition;
    friend class dng_scoped_unlock;
    pthread_mutex_t fPthreadMutex;
    uint32 fLevel;
    const char* fName;
};

// Locks a mutex (when not null) for a scope.
class dng_lock_mutex {
public:
    explicit dng_lock_mutex(dng_mutex* mutex);
    ~dng_lock_mutex();
    dng_lock_mutex(const dng_lock_mutex&) = delete;
    dng_lock_mutex& operator=(const dng_lock_mutex&) = delete;

private:
    dng_mutex* fMutex;
};

// Unlocks a held mutex (when not null) for a scope and locks it again after.
class dng_scoped_unlock {
public:
    explicit dng_scoped_unlock(dng_mutex* mutex);
    ~dng_scoped_unlock();
    dng_scoped_unlock(const dng_scoped_unlock&) = delete;
    dng_scoped_unlock& operator=(const dng_scoped_unlock&) = delete;

private:
    dng_mutex* fMutex;
};

class dng_condition {
public:
    dng_condition();
    ~dng_condition();
    dng_condition(const dng_condition&) = delete;
    dng_condition& operator=(const dng_condition&) = delete;

    // Call with the mutex held (locked once). A negative timeout waits without
    // limit. False only when the time ran out.
    bool Wait(dng_mutex& mutex, real64 timeoutSeconds = -1.0);
    void Signal();
    void Broadcast();

private:
    pthread_cond_t fPthreadCondition;
};

struct dng_time_spec {
    int64 tv_sec = 0;
    int64 tv_nsec = 0;
};

// The wall clock: 0 on success, -1 for a null output, else the system error.
int GetCurrentTimeSpec(dng_time_spec* spec);
