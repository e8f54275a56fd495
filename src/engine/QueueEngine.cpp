#include "engine/QueueEngine.h"

#include "platform/Locks.h"

QueueEngine::QueueEngine() = default;

QueueEngine& QueueEngine::sharedQueueEngine() {
    static platform::LazySingleton<QueueEngine> instance;
    return instance.get([] { return new QueueEngine; });
}

platform::QueuePtr QueueEngine::sharedQueue() {
    std::lock_guard lock(mutex_);
    if (!_dQueue) _dQueue = platform::DispatchQueue::global(platform::QueuePriority::Default);
    return _dQueue;
}

uint64_t QueueEngine::optimalNumberOfTasks() {
    uint64_t count = pCount.load();
    if (count == 0) {
        count = platform::processorCount();
        pCount.store(count);
    }
    return count;
}

platform::QueuePtr QueueEngine::slowSerialQueue() {
    std::lock_guard lock(mutex_);
    if (!_sQueue)
        _sQueue = platform::DispatchQueue::createSerial("com.tovrelink.quorvex.slowSerialQueue");
    return _sQueue;
}
