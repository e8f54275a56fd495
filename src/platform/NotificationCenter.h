// Named notifications with an object and user info, delivered to observers.
//
// post() calls the matching observers on the caller's thread, in the order
// they were added; postOnMainQueue() does the same later on the main queue.
// An observer added with a queue is always called through that queue.
// Everything is thread-safe; once removeObserver() returns, no new call of
// that observer starts (one already running may still finish). Observers may
// add or remove observers and post from inside their callback.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/Dispatch.h"
#include "platform/Value.h"

namespace platform {

struct Notification {
    std::string name;
    std::shared_ptr<void> object;
    Value userInfo;
};

class NotificationCenter {
public:
    using Token = uint64_t;  // 0 is never a valid token
    using Callback = std::function<void(const Notification&)>;

    static NotificationCenter& defaultCenter();
    NotificationCenter();
    ~NotificationCenter();
    NotificationCenter(const NotificationCenter&) = delete;
    NotificationCenter& operator=(const NotificationCenter&) = delete;

    // name empty: every name. object null: any object, else only
    // notifications whose object is that same pointer.
    Token addObserver(std::string name, Callback callback, const void* object = nullptr,
                      QueuePtr queue = nullptr);
    void removeObserver(Token token);

    void post(const Notification& notification);
    void post(std::string name, std::shared_ptr<void> object = nullptr, Value userInfo = {});
    void postOnMainQueue(Notification notification);

private:
    struct Impl;
    std::shared_ptr<Impl> impl_;
};

}  // namespace platform
