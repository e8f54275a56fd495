// The error code a piece of DNG code throws, for tests that check refusals.
#pragma once

#include "dng/core/dng_exception.h"

namespace testsupport {

// dng_error_none when f returns normally.
template <typename F>
dng_error_code CodeOf(F&& f) {
    try {
        f();
    } catch (const dng_exception& e) {
        return e.ErrorCode();
    }
    return dng_error_none;
}

}  // namespace testsupport
