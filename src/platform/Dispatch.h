// Dispatch queues on a shared thread pool.
//
// - Serial queues run their tasks one at a time, in order, on pool threads.
// - The global concurrent queues (high, default, low, background priority)
//   run tasks in parallel; a free pool thread takes the highest priority first.
// - The main queue runs on the thread that drives MainRunLoop (run, drain,
//   runUntil); a GUI back-end installs a wake hook that schedules drain().
//
// Everything here is thread-safe. Tasks must not throw; an escaping exception
// is caught and logged so it never crosses a thread. Short of memory, a
// submission throws std::bad_alloc and queues nothing; the pool goes on with
// the threads it has when it cannot start more.
//
// Blocking inside a task does not starve the pool: while a pool thread waits
// (DispatchGroup::wait, sync, platform::Mutex, BlockingScope) the pool starts
// another thread when work is pending. DispatchGroup::wait() may also run, on
// the waiting thread, tasks that the waiting task itself submitted and that no
// other thread has started yet (never unrelated work, which could re-enter
// locks the waiter holds).
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>

namespace platform {

using Task = std::function<void()>;

enum class QueuePriority { High = 0, Default = 1, Low = 2, Background = 3 };

class DispatchQueue {
public:
    enum class Kind { Serial, Concurrent, Main };

    static std::shared_ptr<DispatchQueue> createSerial(
        std::string label, QueuePriority priority = QueuePriority::Default);
    // The process-wide concurrent queue of a priority; never destroyed.
    static std::shared_ptr<DispatchQueue> global(QueuePriority priority = QueuePriority::Default);
    static std::shared_ptr<DispatchQueue> main();

    void async(Task task);
    // Runs the task and returns when it has finished. On a concurrent queue it
    // runs on the caller's thread; on a serial queue after the earlier tasks.
    // Called from a task of the same serial queue it runs at once (instead of
    // the deadlock that waiting would be).
    void sync(Task task);
    void asyncAfter(std::chrono::nanoseconds delay, Task task);

    const std::string& label() const { return label_; }
    Kind kind() const { return kind_; }
    QueuePriority priority() const { return priority_; }
    // True while the calling thread runs a task of this queue.
    bool isCurrent() const;

    ~DispatchQueue();
    DispatchQueue(const DispatchQueue&) = delete;
    DispatchQueue& operator=(const DispatchQueue&) = delete;

    struct SerialState;  // internal

private:
    DispatchQueue(Kind kind, std::string label, QueuePriority priority);
    Kind kind_;
    std::string label_;
    QueuePriority priority_;
    std::shared_ptr<SerialState> serial_;
};

using QueuePtr = std::shared_ptr<DispatchQueue>;

// A set of tasks to wait for. Copies share the same group.
class DispatchGroup {
public:
    DispatchGroup();
    void enter();
    void leave();
    void async(const QueuePtr& queue, Task task);
    void wait();
    // False when the timeout passed with tasks still outstanding.
    bool waitFor(std::chrono::nanoseconds timeout);
    // Submits task to queue once the group is empty (at once if it is now).
    void notify(const QueuePtr& queue, Task task);

    struct State;  // internal

private:
    std::shared_ptr<State> state_;
};

// Runs body(0) ... body(iterations - 1) in parallel on queue (serially when the
// queue is serial) and returns when all have finished. The caller takes part.
// The first exception an iteration throws stops the iterations not yet begun
// and is rethrown to the caller once no other thread runs `body` any more.
void apply(size_t iterations, const QueuePtr& queue, const std::function<void(size_t)>& body);

// The number of processors this process may run on (its affinity mask).
unsigned processorCount();

// Marks the calling pool thread as blocked for the scope's lifetime so the pool
// can start another thread. Harmless on other threads. Use it around waits on
// primitives other than the ones in this layer.
class BlockingScope {
public:
    BlockingScope() noexcept;
    ~BlockingScope();
    BlockingScope(const BlockingScope&) = delete;
    BlockingScope& operator=(const BlockingScope&) = delete;

private:
    bool active_;
};

// True on the process's initial thread.
bool isMainThread();

// The main queue's run loop. Headless code drives it itself; a GUI back-end
// sets a wake hook (called from any thread whenever a main-queue task becomes
// due) and calls drain() from its own event loop.
class MainRunLoop {
public:
    static MainRunLoop& shared();

    // Runs main-queue tasks until stop() is called. A stop() with no run()
    // active makes the next run() return at once.
    void run();
    void stop();
    // Runs the tasks queued now (tasks they add wait for the next call);
    // returns how many ran.
    size_t drain();
    // Runs tasks until done() is true (checked after each task and at least
    // every 10 ms) or the timeout passes; returns done().
    bool runUntil(const std::function<bool()>& done, std::chrono::nanoseconds timeout);

    void setWakeHook(std::function<void()> hook);

    void enqueue(Task task);  // used by the main queue

private:
    MainRunLoop() = default;
    struct State;
    State& state();
};

}  // namespace platform
