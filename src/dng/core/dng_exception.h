// The one exception type of the DNG library and its throwers. An exception
// carries only its code; the message given at the throw site documents the
// failure for a reader of the code and is not kept.
#pragma once

#include <exception>

#include "dng/core/dng_errors.h"

class dng_exception : public std::exception {
public:
    explicit dng_exception(dng_error_code code) : fErrorCode(code) {}
    virtual ~dng_exception();

    dng_error_code ErrorCode() const { return fErrorCode; }
    const char* what() const noexcept override;

private:
    dng_error_code fErrorCode;
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
