#include "platform/UserWarning.h"

#include <mutex>

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
    if (handler) handler(warning);
}

}  // namespace platform
