#include "platform/NotificationCenter.h"

#include <atomic>
#include <mutex>
#include <vector>

namespace platform {

namespace {

struct Observer {
    NotificationCenter::Token token;
    std::string name;
    const void* object;
    QueuePtr queue;
    NotificationCenter::Callback callback;
    std::atomic<bool> alive{true};
};

}  // namespace

struct NotificationCenter::Impl {
    std::mutex mutex;
    std::vector<std::shared_ptr<Observer>> observers;
    Token nextToken = 1;

    static void post(Impl& impl, const Notification& notification);
};

NotificationCenter& NotificationCenter::defaultCenter() {
    static NotificationCenter* center = new NotificationCenter;
    return *center;
}

NotificationCenter::NotificationCenter() : impl_(std::make_shared<Impl>()) {}
NotificationCenter::~NotificationCenter() = default;

NotificationCenter::Token NotificationCenter::addObserver(std::string name, Callback callback,
                                                          const void* object, QueuePtr queue) {
    auto observer = std::make_shared<Observer>();
    observer->name = std::move(name);
    observer->object = object;
    observer->queue = std::move(queue);
    observer->callback = std::move(callback);
    std::lock_guard lock(impl_->mutex);
    observer->token = impl_->nextToken++;
    impl_->observers.push_back(observer);
    return observer->token;
}

void NotificationCenter::removeObserver(Token token) {
    std::lock_guard lock(impl_->mutex);
    auto& list = impl_->observers;
    for (auto it = list.begin(); it != list.end(); ++it) {
        if ((*it)->token == token) {
            (*it)->alive = false;
            list.erase(it);
            return;
        }
    }
}

void NotificationCenter::post(const Notification& notification) {
    Impl::post(*impl_, notification);
}

void NotificationCenter::Impl::post(Impl& impl, const Notification& notification) {
    std::vector<std::shared_ptr<Observer>> matching;
    {
        std::lock_guard lock(impl.mutex);
        for (const auto& o : impl.observers) {
            if (!o->name.empty() && o->name != notification.name) continue;
            if (o->object && o->object != notification.object.get()) continue;
            matching.push_back(o);
        }
    }
    for (const auto& o : matching) {
        if (!o->alive) continue;
        if (o->queue && !o->queue->isCurrent()) {
            o->queue->async([o, notification] {
                if (o->alive) o->callback(notification);
            });
        } else {
            o->callback(notification);
        }
    }
}

void NotificationCenter::post(std::string name, std::shared_ptr<void> object, Value userInfo) {
    post(Notification{std::move(name), std::move(object), std::move(userInfo)});
}

void NotificationCenter::postOnMainQueue(Notification notification) {
    // The queued task keeps the observers alive even if the center goes away.
    auto impl = impl_;
    DispatchQueue::main()->async([impl, n = std::move(notification)] { Impl::post(*impl, n); });
}

}  // namespace platform
