#include "platform/UserWarning.h"

#include <mutex>
#include <regex>

#include "platform/Log.h"

namespace platform {

namespace {

struct Handler {
    std::mutex mutex;
    UserWarningHandler handler;
};

Handler& shared() {
    static Handler* h = new Handler;
    return *h;
}

// Error domains and codes are for the log; the person reads words. A
// parenthesised error report goes whole (the sentence says what happened and
// what was done); elsewhere only the domain and code go.
std::string inWords(const std::string& warning) {
    static const std::regex report(R"( \([A-Za-z]+ErrorDomain -?[0-9]+: [^()]*\))");
    static const std::regex code(R"([A-Za-z]+ErrorDomain -?[0-9]+: )");
    return std::regex_replace(std::regex_replace(warning, report, ""), code, "");
}

}  // namespace

UserWarningHandler setUserWarningHandler(UserWarningHandler handler) {
    Handler& h = shared();
    std::lock_guard lock(h.mutex);
    std::swap(h.handler, handler);
    return handler;
}

void warnUser(const std::string& warning) {
    log("Warning: %s", warning.c_str());
    UserWarningHandler handler;
    {
        Handler& h = shared();
        std::lock_guard lock(h.mutex);
        handler = h.handler;
    }
    if (handler) handler(inWords(warning));
}

}  // namespace platform
