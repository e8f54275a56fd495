#include "engine/TracingMutex.h"

#include "platform/Log.h"

void TracingMutex::lock() {
    mutex_.lock();
    platform::log("%s", "-[TracingMutex lock]");
}

void TracingMutex::unlock() {
    platform::log("%s", "-[TracingMutex unlock]");
    mutex_.unlock();
}
