#include "platform/Error.h"

#include <cerrno>
#include <cstring>

namespace platform {

std::string Error::description() const {
    return domain + " " + std::to_string(code) + ": " + failureReason;
}

bool setError(Error* out, std::string domain, long code, std::string failureReason) {
    if (out) {
        out->domain = std::move(domain);
        out->code = code;
        out->failureReason = std::move(failureReason);
    }
    return false;
}

std::string systemErrorText(int err) {
    char buffer[256];
    // The GNU strerror_r may return a static string instead of filling buffer.
    std::string text = strerror_r(err, buffer, sizeof buffer);
    // "File too large" alone reads as a fault of the file; the limit may
    // be the file system's or one set for the process (ulimit -f).
    if (err == EFBIG) text += " for this file system or limit";
    return text;
}

bool setPosixError(Error* out, int err, const std::string& what) {
    return setError(out, PosixErrorDomain, err, what + ": " + systemErrorText(err));
}

}  // namespace platform
