// While it lives, a kept lock is waited for 2 seconds, not the program's bound.
#pragma once

#include <chrono>

#include "platform/FileLock.h"

namespace testsupport {

struct ShortLockWait {
    static constexpr std::chrono::milliseconds kLimit{2000};
    ShortLockWait() { platform::FileLock::setWaitLimit(kLimit); }
    ~ShortLockWait() { platform::FileLock::setWaitLimit(platform::FileLock::kWaitLimit); }
};

}  // namespace testsupport
