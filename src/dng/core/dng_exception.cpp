#include "dng/core/dng_exception.h"

dng_exception::dng_exception(dng_error_code code, const char* message) noexcept
    : fErrorCode(code), fMessage{} {
    if (!message) return;
    for (unsigned i = 0; i < kMaxMessage && message[i]; ++i) fMessage[i] = message[i];
}

dng_exception::~dng_exception() = default;

const char* dng_exception::what() const noexcept {
    switch (fErrorCode) {
        case dng_error_user_canceled:
            return "dng_exception: stopped by request";
        case dng_error_memory:
            return "dng_exception: out of memory";
        case dng_error_bad_format:
            return "dng_exception: file format is not valid";
        case dng_error_matrix_math:
            return "dng_exception: bad matrix";
        case dng_error_open_file:
            return "dng_exception: could not open file";
        case dng_error_read_file:
            return "dng_exception: error reading file";
        case dng_error_write_file:
            return "dng_exception: error writing file";
        case dng_error_end_of_file:
            return "dng_exception: unexpected end of file";
        case dng_error_overflow:
            return "dng_exception: arithmetic overflow";
        default:
            return "dng_exception";
    }
}

void ThrowDNGError(dng_error_code code, const char* message) { throw dng_exception(code, message); }

void ThrowProgramError(const char* m) { ThrowDNGError(dng_error_unknown, m); }
void ThrowNotYetImplemented(const char* m) { ThrowDNGError(dng_error_not_yet_implemented, m); }
void ThrowUserCanceled(const char* m) { ThrowDNGError(dng_error_user_canceled, m); }
void ThrowMemoryFull(const char* m) { ThrowDNGError(dng_error_memory, m); }
void ThrowBadFormat(const char* m) { ThrowDNGError(dng_error_bad_format, m); }
void ThrowMatrixMath(const char* m) { ThrowDNGError(dng_error_matrix_math, m); }
void ThrowOpenFile(const char* m) { ThrowDNGError(dng_error_open_file, m); }
void ThrowReadFile(const char* m) { ThrowDNGError(dng_error_read_file, m); }
void ThrowWriteFile(const char* m) { ThrowDNGError(dng_error_write_file, m); }
void ThrowEndOfFile(const char* m) { ThrowDNGError(dng_error_end_of_file, m); }
void ThrowFileIsDamaged(const char* m) { ThrowDNGError(dng_error_file_is_damaged, m); }
void ThrowOverflow(const char* m) { ThrowDNGError(dng_error_overflow, m); }
