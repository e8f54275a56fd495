// While it lives, a lock kept still is waited for 2 seconds instead of the
// program's bound, so tests of kept locks stay short.
#pragma once

#include <chrono>

#include "platform/FileLock.h"

namespace testsupport {

struct ShortLockWait {
    static constexpr std::chrono::milliseconds kLimit{2000};
    ShortLockWait() { platform::FileLock::setWaitLimit(kLimit); }
    ~ShortLockWait() { platform::FileLock::setWaitLimit(platform::FileLock::kWaitLimit); }
    ShortLockWait(const ShortLockWait&) = delete;
    ShortLockWait& operator=(const ShortLockWait&) = delete;
};

}  // namespace testsupport
