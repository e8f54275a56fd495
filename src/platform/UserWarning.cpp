#include "platform/UserWarning.h"

#include <cctype>
#include <mutex>
#include <string_view>
#include <utility>

#include "platform/Log.h"

namespace platform {

namespace {

struct Handler {
    std::mutex mutex;
    UserWarningHandler handler;
    WithdrawnWarningHandler withdrawn;
};

Handler& shared() {
    static Handler* h = new Handler;
    return *h;
}

// Error domains and codes are for the log; the person reads words. A
// parenthesised error report goes whole (the sentence says what happened and
// what was done); elsewhere only the domain and code go.
std::string inWords(std::string text) {
    static constexpr std::string_view kDomain = "ErrorDomain ";
    size_t from = 0;
    for (size_t at; (at = text.find(kDomain, from)) != std::string::npos;) {
        size_t begin = at;
        while (begin > 0 && std::isalpha(static_cast<unsigned char>(text[begin - 1]))) --begin;
        size_t end = at + kDomain.size();
        if (end < text.size() && text[end] == '-') ++end;
        const size_t digits = end;
        while (end < text.size() && std::isdigit(static_cast<unsigned char>(text[end]))) ++end;
        if (begin == at || end == digits || text.compare(end, 2, ": ") != 0) {
            from = at + kDomain.size();
            continue;
        }
        end += 2;
        const size_t close = text.find_first_of("()", end);
        if (begin >= 2 && text.compare(begin - 2, 2, " (") == 0 && close != std::string::npos &&
            text[close] == ')') {
            begin -= 2;
            end = close + 1;
        }
        text.erase(begin, end - begin);
        from = begin;
    }
    return text;
}

}  // namespace

namespace {

// Both handlers have the same type; the one a call uses is named by member.
using Slot = UserWarningHandler Handler::*;

UserWarningHandler swapHandler(Slot slot, UserWarningHandler handler) {
    Handler& h = shared();
    std::lock_guard lock(h.mutex);
    std::swap(h.*slot, handler);
    return handler;
}

// Called outside the lock: a handler may set handlers.
void callHandler(Slot slot, const std::string& warning) {
    UserWarningHandler handler;
    {
        Handler& h = shared();
        std::lock_guard lock(h.mutex);
        handler = h.*slot;
    }
    if (handler) handler(inWords(warning));
}

}  // namespace

UserWarningHandler setUserWarningHandler(UserWarningHandler handler) {
    return swapHandler(&Handler::handler, std::move(handler));
}

void warnUser(const std::string& warning) {
    log("Warning: %s", warning.c_str());
    callHandler(&Handler::handler, warning);
}

WithdrawnWarningHandler setWithdrawnWarningHandler(WithdrawnWarningHandler handler) {
    return swapHandler(&Handler::withdrawn, std::move(handler));
}

void withdrawUserWarning(const std::string& warning) { callHandler(&Handler::withdrawn, warning); }

}  // namespace platform
