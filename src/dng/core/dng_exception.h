// The one exception type of the DNG library and its throwers. An exception
// carries its code and a short copy of the thrower's text saying what failed,
// so that a refusal can be told apart from the many others under one code.
#pragma once

#include <exception>

#include "dng/core/dng_errors.h"

class dng_exception : public std::exception {
public:
    // message may be null; it is copied (cut at kMaxMessage bytes).
    explicit dng_exception(dng_error_code code, const char* message = nullptr) noexcept;
    virtual ~dng_exception();

    dng_error_code ErrorCode() const { return fErrorCode; }
    // What failed, in the thrower's words; empty when it gave none.
    const char* Message() const noexcept { return fMessage; }
    const char* what() const noexcept override;

    static constexpr unsigned kMaxMessage = 119;

private:
    dng_error_code fErrorCode;
    // A fixed copy: throwing must not allocate (out-of-memory errors use it
    // too) and copies of the exception must not throw.
    char fMessage[kMaxMessage + 1];
};

[[noreturn]] void ThrowDNGError(dng_error_code code, const char* message = nullptr);

[[noreturn]] void ThrowProgramError(const char* message = nullptr);
[[noreturn]] void ThrowNotYetImplemented(const char* message = nullptr);
[[noreturn]] void ThrowUserCanceled(const char* message = nullptr);
[[noreturn]] void ThrowMemoryFull(const char* message = nullptr);
[[noreturn]] void ThrowBadFormat(const char* message = nullptr);
[[noreturn]] void ThrowMatrixMath(const char* message = nullptr);
[[noreturn]] void ThrowOpenFile(const char* message = nullptr);
[[noreturn]] void ThrowReadFile(const char* message = nullptr);
[[noreturn]] void ThrowWriteFile(const char* message = nullptr);
[[noreturn]] void ThrowEndOfFile(const char* message = nullptr);
[[noreturn]] void ThrowFileIsDamaged(const char* message = nullptr);
[[noreturn]] void ThrowOverflow(const char* message = nullptr);
