#include "dng/core/dng_mutex.h"

#include <sys/time.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <ctime>

#include "dng/core/dng_exception.h"

dng_mutex::dng_mutex(const char* name, uint32 level) : fLevel(level), fName(name) {
    pthread_mutexattr_t attr;
    if (pthread_mutexattr_init(&attr) != 0) ThrowMemoryFull("dng_mutex");
    const bool ok = pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE) == 0 &&
                    pthread_mutex_init(&fPthreadMutex, &attr) == 0;
    pthread_mutexattr_destroy(&attr);
    if (!ok) ThrowMemoryFull("dng_mutex");
}

dng_mutex::~dng_mutex() { pthread_mutex_destroy(&fPthreadMutex); }

void dng_mutex::Lock() {
    if (pthread_mutex_lock(&fPthreadMutex) != 0) ThrowProgramError("dng_mutex::Lock");
}

void dng_mutex::Unlock() { pthread_mutex_unlock(&fPthreadMutex); }

const char* dng_mutex::Name() const { return fName ? fName : "< unknown >"; }

dng_lock_mutex::dng_lock_mutex(dng_mutex* mutex) : fMutex(mutex) {
    if (fMutex) fMutex->Lock();
}

dng_lock_mutex::~dng_lock_mutex() {
    if (fMutex) fMutex->Unlock();
}

dng_scoped_unlock::dng_scoped_unlock(dng_mutex* mutex) : fMutex(mutex) {
    if (fMutex) fMutex->Unlock();
}

dng_scoped_unlock::~dng_scoped_unlock() {
    if (fMutex && pthread_mutex_lock(&fMutex->fPthreadMutex) != 0) {
        // Going on without the lock the caller holds would corrupt shared state.
        std::abort();
    }
}

dng_condition::dng_condition() {
    if (pthread_cond_init(&fPthreadCondition, nullptr) != 0) ThrowProgramError("dng_condition");
}

dng_condition::~dng_condition() { pthread_cond_destroy(&fPthreadCondition); }

bool dng_condition::Wait(dng_mutex& mutex, real64 timeoutSeconds) {
    if (timeoutSeconds < 0.0) {
        pthread_cond_wait(&fPthreadCondition, &mutex.fPthreadMutex);
        return true;
    }
    dng_time_spec now;
    GetCurrentTimeSpec(&now);
    const real64 total =
        static_cast<real64>(now.tv_sec) + timeoutSeconds + static_cast<real64>(now.tv_nsec) / 1e9;
    // Far-future deadlines are capped rather than overflowing time_t.
    const real64 capped = std::min(total, 4.0e18);
    const real64 whole = std::trunc(capped);
    timespec deadline;
    deadline.tv_sec = static_cast<time_t>(whole);
    deadline.tv_nsec = static_cast<long>((capped - whole) * 1e9);
    if (deadline.tv_nsec >= 1000000000L) deadline.tv_nsec = 999999999L;
    const int result = pthread_cond_timedwait(&fPthreadCondition, &mutex.fPthreadMutex, &deadline);
    return result != ETIMEDOUT;
}

void dng_condition::Signal() {
    if (pthread_cond_signal(&fPthreadCondition) != 0) ThrowProgramError("dng_condition::Signal");
}

void dng_condition::Broadcast() {
    if (pthread_cond_broadcast(&fPthreadCondition) != 0)
        ThrowProgramError("dng_condition::Broadcast");
}

int GetCurrentTimeSpec(dng_time_spec* spec) {
    if (!spec) return -1;
    timeval tv;
    if (gettimeofday(&tv, nullptr) != 0) return errno;
    spec->tv_sec = tv.tv_sec;
    spec->tv_nsec = static_cast<int64>(tv.tv_usec) * 1000;
    return 0;
}
