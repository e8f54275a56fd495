// Texts for status codes, for logs. There is no system status service here:
// a small table of the codes the application knows, the C library's text
// for positive (errno) codes, and "Unknown Error" for the rest. Stateless and
// thread-safe; nothing in the program calls it yet.
#pragma once

#include <optional>
#include <string>

class MacOSStatusHelper {
public:
    // The code's text behind the prefix (if any).
    static std::string getErrorString(long code, const std::optional<std::string>& prefix = {});
    // The code's longer comment from its first letter on, behind the prefix.
    static std::string getErrorDescription(long code,
                                           const std::optional<std::string>& prefix = {});
    // prefix (default "Application Error "), function, text, ": ", description.
    static std::string getLogString(long code, const std::string& calledFunction,
                                    const std::optional<std::string>& prefix = {});
    // Logs getLogString's line for a non-zero code.
    static void outputLogString(long code, const std::string& calledFunction);
};
