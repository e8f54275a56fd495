#include "platform/Locks.h"

#include "platform/Dispatch.h"

namespace platform {

void Mutex::lock() {
    if (m_.try_lock()) return;
    BlockingScope blocking;
    m_.lock();
}

void RecursiveMutex::lock() {
    if (m_.try_lock()) return;
    BlockingScope blocking;
    m_.lock();
}

}  // namespace platform
