// An error a call reports instead of throwing: which subsystem (domain), a
// code within it, and a sentence for the user. Plain value, freely copied.
#pragma once

#include <string>

namespace platform {

inline constexpr const char* QuorvexErrorDomain = "QuorvexErrorDomain";
inline constexpr const char* RawOpenErrorDomain = "RawOpenErrorDomain";
// errno values from file and system calls.
inline constexpr const char* PosixErrorDomain = "PosixErrorDomain";
// Malformed or unsupported property-list files.
inline constexpr const char* PropertyListErrorDomain = "PropertyListErrorDomain";

struct Error {
    std::string domain;
    long code = 0;
    std::string failureReason;

    // "domain code: reason", for logs.
    std::string description() const;
    bool operator==(const Error&) const = default;
};

// Fills *out (when not null) with {domain, code, reason}; returns false so a
// failing function can `return setError(error, ...);`.
bool setError(Error* out, std::string domain, long code, std::string failureReason);
// The system's words for an errno value (strerror), EFBIG's made plain:
// "File too large for this file system or limit".
std::string systemErrorText(int err);
// An errno failure: the reason is "<what>: <systemErrorText(err)>".
bool setPosixError(Error* out, int err, const std::string& what);

}  // namespace platform
