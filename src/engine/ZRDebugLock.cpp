#include "engine/ZRDebugLock.h"

#include "platform/Log.h"

void ZRDebugLock::lock() {
    mutex_.lock();
    platform::log("%s", "-[ZRDebugLock lock]");
}

void ZRDebugLock::unlock() {
    platform::log("%s", "-[ZRDebugLock unlock]");
    mutex_.unlock();
}
