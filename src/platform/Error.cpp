#include "platform/Error.h"

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

bool setPosixError(Error* out, int err, const std::string& what) {
    char buffer[256];
    // The GNU strerror_r may return a static string instead of filling buffer.
    const char* text = strerror_r(err, buffer, sizeof buffer);
    return setError(out, PosixErrorDomain, err, what + ": " + text);
}

}  // namespace platform
