// Mutexes for code that may run on dispatch pool threads: a contended lock()
// tells the pool the thread is blocked (see BlockingScope), so waiting tasks
// never starve the pool. Both meet the standard Lockable requirements, so
// std::lock_guard / std::unique_lock work with them.
#pragma once

#include <atomic>
#include <mutex>
#include <utility>

namespace platform {

// std::call_once without the C library's once: an exception thrown by the
// callable (std::bad_alloc when memory is short) unwinds through
// pthread_once, which has to load the unwinder then and ends the program when
// it cannot. As with call_once, a callable that throws leaves the flag unset.
class OnceFlag {
public:
    template <class F>
    void call(F&& f) {
        if (done_.load(std::memory_order_acquire)) return;
        std::lock_guard lock(mutex_);
        if (done_.load(std::memory_order_relaxed)) return;
        f();
        done_.store(true, std::memory_order_release);
    }

private:
    std::mutex mutex_;
    std::atomic<bool> done_{false};
};

template <class F>
void callOnce(OnceFlag& flag, F&& f) {
    flag.call(std::forward<F>(f));
}

class Mutex {
public:
    void lock();
    void unlock() { m_.unlock(); }
    bool tryLock() { return m_.try_lock(); }
    bool try_lock() { return tryLock(); }

private:
    std::mutex m_;
};

class RecursiveMutex {
public:
    void lock();
    void unlock() { m_.unlock(); }
    bool tryLock() { return m_.try_lock(); }
    bool try_lock() { return tryLock(); }

private:
    std::recursive_mutex m_;
};

// A process-wide object made on first use, thread-safely, and never destroyed
// (so it outlives every thread that might still use it at exit). Typical use
// inside a class with a private constructor:
//     static Foo& sharedFoo() {
//         static platform::LazySingleton<Foo> instance;
//         return instance.get([] { return new Foo; });
//     }
template <class T>
class LazySingleton {
public:
    template <class Make>
    T& get(Make make) {
        callOnce(once_, [&] { instance_ = make(); });
        return *instance_;
    }

private:
    OnceFlag once_;
    T* instance_ = nullptr;
};

}  // namespace platform
