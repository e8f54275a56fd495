// Mutexes for code that may run on dispatch pool threads: a contended lock()
// tells the pool the thread is blocked (see BlockingScope), so waiting tasks
// never starve the pool. Both meet the standard Lockable requirements, so
// std::lock_guard / std::unique_lock work with them.
#pragma once

#include <mutex>

namespace platform {

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
        std::call_once(once_, [&] { instance_ = make(); });
        return *instance_;
    }

private:
    std::once_flag once_;
    T* instance_ = nullptr;
};

}  // namespace platform
