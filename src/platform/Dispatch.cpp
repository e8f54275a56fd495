#include "platform/Dispatch.h"

#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <exception>
#include <map>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

#include "platform/Log.h"

namespace platform {

namespace {

// The queues whose tasks the current thread is running, innermost first: a
// list through the scopes on its stack. Thread-locals stay trivially
// destructible, since registering a destructor is an allocation the C library
// aborts on when memory is short.
struct QueueScope;
thread_local const QueueScope* tlsQueueTop = nullptr;
thread_local bool tlsOnMainQueue = false;

struct QueueScope {
    explicit QueueScope(const void* id) : id(id), outer(tlsQueueTop) { tlsQueueTop = this; }
    ~QueueScope() { tlsQueueTop = outer; }
    QueueScope(const QueueScope&) = delete;
    QueueScope& operator=(const QueueScope&) = delete;
    const void* const id;
    const QueueScope* const outer;
};

inline void cpuRelax() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#else
    std::this_thread::yield();
#endif
}

// The handlers only log, and log() never throws: nothing escapes a worker.
void runGuarded(const Task& task, const char* where) noexcept {
    try {
        task();
    } catch (const std::exception& e) {
        log("uncaught exception in a task on %s: %s", where, e.what());
    } catch (...) {
        log("uncaught exception in a task on %s", where);
    }
}

// ---------------------------------------------------------------------------
// The pool behind every queue except the main one.

struct Job {
    Task fn;
    const void* queueId = nullptr;  // set for concurrent-queue tasks
    const char* label = "";
    uint64_t frame = 0;  // frame of the submitting task (local jobs only)
    int priority = 1;    // QueuePriority as an index, 0 highest
};

struct Worker {
    std::deque<Job> local;      // jobs this thread submitted, newest last
    uint64_t frameCounter = 0;  // touched only by the owning thread
    uint64_t currentFrame = 0;  // id of the task this thread runs now
    int helpDepth = 0;
};

thread_local Worker* tlsWorker = nullptr;

class Pool {
public:
    static Pool& shared() {
        static Pool* pool = new Pool;  // never destroyed: detached threads use it
        return *pool;
    }

    // Throws std::bad_alloc when the job cannot be queued, or when no thread
    // could ever run it: none could be started and every one there is waits.
    void submit(Job job, QueuePriority priority) {
        job.priority = static_cast<int>(priority);
        std::lock_guard lock(mutex_);
        auto& list = tlsWorker ? tlsWorker->local : global_[static_cast<int>(priority)];
        if (tlsWorker) job.frame = tlsWorker->currentFrame;
        list.push_back(std::move(job));
        ++pending_;
        wakeLocked();
        if (threads_ <= blocked_ && spawnFailed_) {
            // Nobody has taken it: the lock was held throughout.
            list.pop_back();
            --pending_;
            throw std::bad_alloc();
        }
    }

    // Runs one not-yet-started job that the calling task (or a task it ran)
    // submitted. False when there is none or this is not a pool thread.
    bool helpOnce() {
        Worker* self = tlsWorker;
        if (!self || self->helpDepth >= kMaxHelpDepth) return false;
        Job job;
        {
            std::lock_guard lock(mutex_);
            // Only concurrent-queue tasks: a serial queue's drain would also run
            // tasks that others submitted to that queue.
            if (self->local.empty() || self->local.back().frame < self->currentFrame ||
                !self->local.back().queueId)
                return false;
            job = std::move(self->local.back());
            self->local.pop_back();
            --pending_;
        }
        ++self->helpDepth;
        execute(self, job);
        --self->helpDepth;
        return true;
    }

    bool blockBegin() noexcept {
        if (!tlsWorker) return false;
        std::lock_guard lock(mutex_);
        ++blocked_;
        if (pending_ > 0) wakeLocked();
        return true;
    }

    void blockEnd() noexcept {
        std::lock_guard lock(mutex_);
        --blocked_;
    }

    // Gives each serial task its own frame so that waits inside it only help
    // with what it submitted.
    static uint64_t beginFrame() {
        Worker* self = tlsWorker;
        if (!self) return 0;
        uint64_t saved = self->currentFrame;
        self->currentFrame = ++self->frameCounter;
        return saved;
    }
    static void endFrame(uint64_t saved) {
        if (tlsWorker) tlsWorker->currentFrame = saved;
    }

private:
    static constexpr int kMaxHelpDepth = 32;

    Pool() {
        target_ = std::max(2u, processorCount());
        cap_ = std::max<size_t>(256, size_t(target_) * 8);
    }

    void wakeLocked() noexcept {
        // Idle threads already woken but not yet running don't count: two
        // submissions must not both rely on the same sleeper.
        if (idle_ > signalled_) {
            ++signalled_;
            cv_.notify_one();
        } else if (threads_ - blocked_ < target_) {
            if (threads_ < cap_) {
                spawnLocked();
            } else if (!warnedCap_) {
                warnedCap_ = true;
                log("Dispatch: %zu pool threads are blocked; waiting tasks may stall", threads_);
            }
        }
    }

    // Short of memory or threads, the pool goes on with the threads it has:
    // a submission that cannot wake a new one is taken by a running one.
    void spawnLocked() noexcept {
        Worker* worker = nullptr;
        try {
            // Room in the list first: once the thread runs, nothing may fail.
            workers_.reserve(workers_.size() + 1);
            worker = new Worker;
            std::thread([this, worker] { workerMain(worker); }).detach();
        } catch (const std::exception& e) {
            delete worker;
            log("Dispatch: cannot start a pool thread: %s", e.what());
            spawnFailed_ = true;
            return;
        }
        workers_.push_back(worker);
        ++threads_;
        spawnFailed_ = false;
    }

    // Own newest job unless a global list holds a more urgent one; then the
    // global lists by priority; then the oldest job of another thread.
    bool pickLocked(Worker* self, Job& job) {
        int urgent = 0;
        while (urgent < 4 && global_[urgent].empty()) ++urgent;
        if (!self->local.empty() && self->local.back().priority <= urgent) {
            job = std::move(self->local.back());
            self->local.pop_back();
        } else {
            bool found = false;
            if (urgent < 4) {
                job = std::move(global_[urgent].front());
                global_[urgent].pop_front();
                found = true;
            }
            if (!found) {
                for (Worker* other : workers_) {
                    if (other != self && !other->local.empty()) {
                        job = std::move(other->local.front());
                        other->local.pop_front();
                        found = true;
                        break;
                    }
                }
            }
            if (!found) return false;
        }
        --pending_;
        return true;
    }

    static void execute(Worker* self, const Job& job) noexcept {
        uint64_t saved = self->currentFrame;
        self->currentFrame = ++self->frameCounter;
        if (job.queueId) {
            QueueScope scope(job.queueId);
            runGuarded(job.fn, job.label);
        } else {
            runGuarded(job.fn, job.label);
        }
        self->currentFrame = saved;
    }

    bool spinForWork() {
        auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(50);
        do {
            for (int i = 0; i < 64; ++i) {
                if (pending_.load(std::memory_order_relaxed) > 0) return true;
                cpuRelax();
            }
        } while (std::chrono::steady_clock::now() < until);
        return false;
    }

    void workerMain(Worker* self) {
        tlsWorker = self;
        std::unique_lock lock(mutex_);
        bool spun = false;
        for (;;) {
            Job job;
            if (pickLocked(self, job)) {
                lock.unlock();
                execute(self, job);
                job = Job{};  // release captures outside the lock
                lock.lock();
                spun = false;
                continue;
            }
            if (threads_ - blocked_ > target_) break;  // a surplus thread retires
            if (!spun) {
                // Spin briefly before sleeping: short gaps between tasks are common
                // and a sleeping thread costs the submitter a wake-up call. Then
                // look again under the lock, since a submitter saw no idle thread.
                lock.unlock();
                spinForWork();
                lock.lock();
                spun = true;
                continue;
            }
            spun = false;
            ++idle_;
            cv_.wait(lock);
            --idle_;
            if (signalled_ > 0) --signalled_;
        }
        workers_.erase(std::find(workers_.begin(), workers_.end(), self));
        --threads_;
        lock.unlock();
        tlsWorker = nullptr;
        delete self;
    }

    std::mutex mutex_;
    std::condition_variable cv_;
    std::deque<Job> global_[4];
    std::vector<Worker*> workers_;
    size_t threads_ = 0, idle_ = 0, signalled_ = 0, blocked_ = 0;
    std::atomic<size_t> pending_{0};  // changed under mutex_, read without it while spinning
    size_t target_ = 2, cap_ = 256;
    bool warnedCap_ = false;
    bool spawnFailed_ = false;  // the last attempt to start a thread failed
};

// ---------------------------------------------------------------------------
// Delayed submission: one timer thread, started on first use.

class Timer {
    static constexpr std::chrono::milliseconds kRetryDelay{20};

public:
    static Timer& shared() {
        static Timer* timer = new Timer;
        return *timer;
    }

    // Queues the entry or throws (std::bad_alloc). When the system refuses a
    // thread (little memory left) the entry waits, and the next schedule
    // tries to start the thread again.
    void schedule(std::chrono::steady_clock::time_point when, QueuePtr queue, Task task) {
        std::lock_guard lock(mutex_);
        entries_.emplace(when, std::make_pair(std::move(queue), std::move(task)));
        if (!started_) {
            try {
                std::thread([this] { loop(); }).detach();
                started_ = true;
            } catch (const std::exception& e) {
                log("Dispatch: cannot start the timer thread yet: %s", e.what());
            }
        }
        cv_.notify_one();
    }

private:
    void loop() {
        std::unique_lock lock(mutex_);
        for (;;) {
            if (entries_.empty()) {
                cv_.wait(lock);
                continue;
            }
            auto first = entries_.begin();
            if (first->first > std::chrono::steady_clock::now()) {
                cv_.wait_until(lock, first->first);
                continue;
            }
            auto entry = std::move(first->second);
            entries_.erase(first);
            lock.unlock();
            bool queued = true;
            try {
                entry.first->async(entry.second);  // a copy: kept if it cannot be queued
            } catch (const std::bad_alloc&) {
                queued = false;
            }
            lock.lock();
            if (!queued) {
                // Short of memory or threads: try again shortly rather than end the timer
                // thread. Re-inserting needs memory as well; what cannot wait is lost.
                try {
                    entries_.emplace(std::chrono::steady_clock::now() + kRetryDelay,
                                     std::move(entry));
                } catch (const std::bad_alloc&) {
                    log("Dispatch: a delayed task was dropped for want of memory");
                }
            }
            lock.unlock();
            entry = {};
            lock.lock();
        }
    }

    std::mutex mutex_;
    std::condition_variable cv_;
    std::multimap<std::chrono::steady_clock::time_point, std::pair<QueuePtr, Task>> entries_;
    bool started_ = false;
};

}  // namespace

// ---------------------------------------------------------------------------

struct DispatchQueue::SerialState {
    std::mutex mutex;
    std::deque<Task> tasks;
    bool scheduled = false;
    std::string label;
    QueuePriority priority = QueuePriority::Default;

    static void drain(const std::shared_ptr<SerialState>& self) {
        for (;;) {
            Task task;
            {
                std::lock_guard lock(self->mutex);
                if (self->tasks.empty()) {
                    self->scheduled = false;
                    return;
                }
                task = std::move(self->tasks.front());
                self->tasks.pop_front();
            }
            uint64_t saved = Pool::beginFrame();
            {
                QueueScope scope(self.get());
                runGuarded(task, self->label.c_str());
            }
            Pool::endFrame(saved);
        }
    }
};

DispatchQueue::DispatchQueue(Kind kind, std::string label, QueuePriority priority)
    : kind_(kind), label_(std::move(label)), priority_(priority) {
    if (kind_ == Kind::Serial) {
        serial_ = std::make_shared<SerialState>();
        serial_->label = label_;
        serial_->priority = priority;
    }
}

DispatchQueue::~DispatchQueue() = default;

std::shared_ptr<DispatchQueue> DispatchQueue::createSerial(std::string label,
                                                           QueuePriority priority) {
    return std::shared_ptr<DispatchQueue>(
        new DispatchQueue(Kind::Serial, std::move(label), priority));
}

std::shared_ptr<DispatchQueue> DispatchQueue::global(QueuePriority priority) {
    static const std::shared_ptr<DispatchQueue>* queues = [] {
        auto* q = new std::shared_ptr<DispatchQueue>[4];
        const char* names[4] = {"global.high", "global.default", "global.low", "global.background"};
        for (int i = 0; i < 4; ++i)
            q[i].reset(new DispatchQueue(Kind::Concurrent, names[i], QueuePriority(i)));
        return q;
    }();
    return queues[std::clamp(static_cast<int>(priority), 0, 3)];
}

std::shared_ptr<DispatchQueue> DispatchQueue::main() {
    static const auto* queue = new std::shared_ptr<DispatchQueue>(
        new DispatchQueue(Kind::Main, "main", QueuePriority::High));
    return *queue;
}

bool DispatchQueue::isCurrent() const {
    if (kind_ == Kind::Main) return tlsOnMainQueue;
    const void* id = kind_ == Kind::Serial ? static_cast<const void*>(serial_.get())
                                           : static_cast<const void*>(this);
    for (const QueueScope* scope = tlsQueueTop; scope; scope = scope->outer)
        if (scope->id == id) return true;
    return false;
}

void DispatchQueue::async(Task task) {
    switch (kind_) {
        case Kind::Main:
            MainRunLoop::shared().enqueue(std::move(task));
            return;
        case Kind::Concurrent:
            Pool::shared().submit(Job{std::move(task), this, label_.c_str(), 0}, priority_);
            return;
        case Kind::Serial: {
            bool schedule = false;
            size_t mine = 0;
            {
                std::lock_guard lock(serial_->mutex);
                mine = serial_->tasks.size();
                serial_->tasks.push_back(std::move(task));
                schedule = !serial_->scheduled;
                serial_->scheduled = true;
            }
            if (schedule) {
                try {
                    auto state = serial_;
                    Pool::shared().submit(Job{[state] { SerialState::drain(state); }, nullptr,
                                              serial_->label.c_str(), 0},
                                          priority_);
                } catch (...) {
                    // The task must not run later behind the caller's back
                    // (sync's task points into its frame). No drain runs, so
                    // it is where it was put; tasks others added meanwhile
                    // stay for the next submission's drain.
                    std::lock_guard lock(serial_->mutex);
                    serial_->tasks.erase(serial_->tasks.begin() + std::ptrdiff_t(mine));
                    serial_->scheduled = false;
                    throw;
                }
            }
            return;
        }
    }
}

void DispatchQueue::sync(Task task) {
    bool inline_ =
        kind_ == Kind::Concurrent || isCurrent() || (kind_ == Kind::Main && isMainThread());
    if (inline_) {
        if (kind_ == Kind::Concurrent) {
            QueueScope scope(this);
            task();
        } else if (kind_ == Kind::Main && !tlsOnMainQueue) {
            tlsOnMainQueue = true;
            struct Reset {
                ~Reset() { tlsOnMainQueue = false; }
            } reset;
            task();
        } else {
            task();
        }
        return;
    }
    std::mutex mutex;
    std::condition_variable cv;
    bool done = false;
    async([&] {
        struct Signal {
            std::mutex& m;
            std::condition_variable& cv;
            bool& done;
            ~Signal() {
                std::lock_guard lock(m);
                done = true;
                cv.notify_all();
            }
        } signal{mutex, cv, done};
        task();
    });
    BlockingScope blocking;
    std::unique_lock lock(mutex);
    cv.wait(lock, [&] { return done; });
}

void DispatchQueue::asyncAfter(std::chrono::nanoseconds delay, Task task) {
    if (delay <= std::chrono::nanoseconds::zero()) {
        async(std::move(task));
        return;
    }
    std::shared_ptr<DispatchQueue> self;
    if (kind_ == Kind::Main) {
        self = main();
    } else if (kind_ == Kind::Concurrent) {
        self = global(priority_);
    } else {
        // Keep the serial state alive through a private handle with the same state.
        auto handle =
            std::shared_ptr<DispatchQueue>(new DispatchQueue(Kind::Serial, label_, priority_));
        handle->serial_ = serial_;
        self = std::move(handle);
    }
    Timer::shared().schedule(std::chrono::steady_clock::now() + delay, std::move(self),
                             std::move(task));
}

// ---------------------------------------------------------------------------

struct DispatchGroup::State {
    std::atomic<long> count{0};
    std::mutex mutex;  // guards notifications and pairs with cv
    std::condition_variable cv;
    std::vector<std::pair<QueuePtr, Task>> notifications;

    static void leave(State& s);
};

DispatchGroup::DispatchGroup() : state_(std::make_shared<State>()) {}

void DispatchGroup::enter() { state_->count.fetch_add(1, std::memory_order_relaxed); }

void DispatchGroup::leave() { State::leave(*state_); }

void DispatchGroup::State::leave(State& s) {
    long before = s.count.load(std::memory_order_relaxed);
    do {
        if (before <= 0) {
            log("DispatchGroup: leave() without a matching enter() ignored");
            return;
        }
    } while (!s.count.compare_exchange_weak(before, before - 1, std::memory_order_acq_rel));
    if (before != 1) return;
    std::vector<std::pair<QueuePtr, Task>> ready;
    {
        // Taking the mutex orders this wake-up after a waiter's check of count.
        std::lock_guard lock(s.mutex);
        ready.swap(s.notifications);
        s.cv.notify_all();
    }
    for (auto& [queue, task] : ready) {
        try {
            queue->async(task);  // a copy: the task is still here if this fails
        } catch (...) {
            // Memory short: late on this thread rather than never (a leave()
            // runs in destructors and must not throw).
            if (queue->kind() == DispatchQueue::Kind::Main)
                log("DispatchGroup: a notification for the main queue was dropped");
            else
                runGuarded(task, queue->label().c_str());
        }
    }
}

void DispatchGroup::async(const QueuePtr& queue, Task task) {
    enter();
    try {
        queue->async([state = state_, task = std::move(task)]() mutable {
            struct Leave {
                std::shared_ptr<State>& state;
                ~Leave() { State::leave(*state); }
            } leave{state};
            task();
        });
    } catch (...) {
        // Nothing was queued: a waiter must not wait for it.
        leave();
        throw;
    }
}

void DispatchGroup::wait() {
    auto outstanding = [this] { return state_->count.load(std::memory_order_acquire) > 0; };
    while (outstanding() && Pool::shared().helpOnce()) {
    }
    if (!outstanding()) return;
    BlockingScope blocking;
    std::unique_lock lock(state_->mutex);
    state_->cv.wait(lock, [&] { return !outstanding(); });
}

bool DispatchGroup::waitFor(std::chrono::nanoseconds timeout) {
    auto outstanding = [this] { return state_->count.load(std::memory_order_acquire) > 0; };
    if (!outstanding()) return true;
    BlockingScope blocking;
    std::unique_lock lock(state_->mutex);
    return state_->cv.wait_for(lock, timeout, [&] { return !outstanding(); });
}

void DispatchGroup::notify(const QueuePtr& queue, Task task) {
    {
        std::lock_guard lock(state_->mutex);
        if (state_->count.load(std::memory_order_acquire) > 0) {
            state_->notifications.emplace_back(queue, std::move(task));
            return;
        }
    }
    queue->async(std::move(task));
}

// ---------------------------------------------------------------------------

void apply(size_t iterations, const QueuePtr& queue, const std::function<void(size_t)>& body) {
    if (iterations == 0) return;
    if (!queue || queue->kind() != DispatchQueue::Kind::Concurrent || iterations == 1) {
        for (size_t i = 0; i < iterations; ++i) body(i);
        return;
    }
    struct Shared {
        std::atomic<size_t> next{0};
        size_t total = 0;
        std::mutex mutex;
        std::condition_variable cv;
        size_t finished = 0;  // indices taken and done with, under mutex
        const std::function<void(size_t)>* body = nullptr;
        std::atomic<bool> failed{false};
        std::exception_ptr firstError;  // under mutex
    };
    auto shared = std::make_shared<Shared>();
    shared->total = iterations;
    shared->body = &body;
    // A late helper finds no index left and never touches `body`. After a
    // failure the remaining indices are only counted off. Keeping the
    // exception allocates nothing.
    auto loop = [](Shared& s) noexcept {
        size_t done = 0;
        for (size_t i; (i = s.next.fetch_add(1)) < s.total; ++done) {
            if (s.failed.load(std::memory_order_relaxed)) continue;
            try {
                (*s.body)(i);
            } catch (...) {
                std::lock_guard lock(s.mutex);
                if (!s.firstError) s.firstError = std::current_exception();
                s.failed = true;
            }
        }
        if (done) {
            std::lock_guard lock(s.mutex);
            s.finished += done;
            if (s.finished == s.total) s.cv.notify_all();
        }
    };
    // Helpers that cannot be queued (memory short) leave more to the caller.
    size_t helpers = std::min<size_t>(iterations, processorCount()) - 1;
    try {
        for (size_t h = 0; h < helpers; ++h) queue->async([shared, loop] { loop(*shared); });
    } catch (...) {
    }
    loop(*shared);
    std::unique_lock lock(shared->mutex);
    if (shared->finished != shared->total) {
        lock.unlock();
        BlockingScope blocking;
        lock.lock();
        shared->cv.wait(lock, [&] { return shared->finished == shared->total; });
    }
    // Every helper is done with `body`: the run's first error is the caller's.
    if (shared->firstError) std::rethrow_exception(shared->firstError);
}

unsigned processorCount() {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) == 0) {
        int n = CPU_COUNT(&set);
        if (n > 0) return static_cast<unsigned>(n);
    }
    unsigned n = std::thread::hardware_concurrency();
    return n ? n : 1;
}

BlockingScope::BlockingScope() noexcept : active_(tlsWorker && Pool::shared().blockBegin()) {}

BlockingScope::~BlockingScope() {
    if (active_) Pool::shared().blockEnd();
}

bool isMainThread() { return gettid() == getpid(); }

// ---------------------------------------------------------------------------

struct MainRunLoop::State {
    std::mutex mutex;
    std::condition_variable cv;
    std::deque<Task> tasks;
    bool stopRequested = false;
    std::function<void()> hook;
};

MainRunLoop& MainRunLoop::shared() {
    static MainRunLoop* loop = new MainRunLoop;
    return *loop;
}

MainRunLoop::State& MainRunLoop::state() {
    static State* s = new State;
    return *s;
}

void MainRunLoop::enqueue(Task task) {
    State& s = state();
    std::function<void()> hook;
    {
        std::lock_guard lock(s.mutex);
        s.tasks.push_back(std::move(task));
        hook = s.hook;
        s.cv.notify_all();
    }
    if (hook) hook();
}

void MainRunLoop::setWakeHook(std::function<void()> hook) {
    State& s = state();
    std::lock_guard lock(s.mutex);
    s.hook = std::move(hook);
}

size_t MainRunLoop::drain() {
    State& s = state();
    std::deque<Task> batch;
    {
        std::lock_guard lock(s.mutex);
        batch.swap(s.tasks);
    }
    bool outer = !tlsOnMainQueue;
    tlsOnMainQueue = true;
    for (Task& task : batch) {
        runGuarded(task, "main");
        task = nullptr;
    }
    if (outer) tlsOnMainQueue = false;
    return batch.size();
}

void MainRunLoop::run() {
    State& s = state();
    for (;;) {
        drain();
        std::unique_lock lock(s.mutex);
        if (s.stopRequested) {
            s.stopRequested = false;
            return;
        }
        s.cv.wait(lock, [&] { return s.stopRequested || !s.tasks.empty(); });
    }
}

void MainRunLoop::stop() {
    State& s = state();
    std::lock_guard lock(s.mutex);
    s.stopRequested = true;
    s.cv.notify_all();
}

bool MainRunLoop::runUntil(const std::function<bool()>& done, std::chrono::nanoseconds timeout) {
    State& s = state();
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (done()) return true;
        if (drain() > 0) continue;
        auto now = std::chrono::steady_clock::now();
        if (now >= deadline) return done();
        std::unique_lock lock(s.mutex);
        s.cv.wait_until(lock, std::min(deadline, now + std::chrono::milliseconds(10)),
                        [&] { return !s.tasks.empty(); });
    }
}

}  // namespace platform
