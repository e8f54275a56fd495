// The queue and task count on which stage workers run. A process-wide
// singleton; every method is thread-safe.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

#include "platform/Dispatch.h"

class QueueEngine {
public:
    static QueueEngine& sharedQueueEngine();

    // The global concurrent queue of default priority.
    platform::QueuePtr sharedQueue();
    // Worker blocks per pass: the number of processors this process may use.
    uint64_t optimalNumberOfTasks();
    // A serial queue made on first call (currently unused by the engine).
    platform::QueuePtr slowSerialQueue();

    QueueEngine(const QueueEngine&) = delete;
    QueueEngine& operator=(const QueueEngine&) = delete;

private:
    QueueEngine();

    std::mutex mutex_;
    platform::QueuePtr _dQueue;
    platform::QueuePtr _sQueue;
    std::atomic<uint64_t> pCount{0};
};
