#include "ui/MainQueueWaker.h"

#include <QCoreApplication>
#include <QEvent>
#include <QObject>
#include <atomic>
#include <memory>
#include <mutex>

#include "platform/Dispatch.h"

namespace platform {

namespace {

const QEvent::Type kWakeEvent = static_cast<QEvent::Type>(QEvent::registerEventType());

struct WakeState;

class WakeTarget : public QObject {
public:
    explicit WakeTarget(WakeState* state) : state_(state) {}
    bool event(QEvent* event) override;

private:
    WakeState* state_;  // outlives the target
};

struct WakeState {
    std::mutex mutex;              // guards target against uninstall
    WakeTarget* target = nullptr;  // GUI thread object, null once uninstalled
    std::atomic<bool> pending{false};
    bool draining = false;  // GUI thread only
    bool deferred = false;  // GUI thread only

    void post() {
        std::lock_guard lock(mutex);
        if (target) QCoreApplication::postEvent(target, new QEvent(kWakeEvent));
    }
    void wake() {
        if (!pending.exchange(true)) post();
    }
};

bool WakeTarget::event(QEvent* event) {
    if (event->type() != kWakeEvent) return QObject::event(event);
    if (state_->draining) {
        // A nested event loop opened by a task: the outer drain wakes again.
        state_->deferred = true;
        return true;
    }
    state_->pending.store(false);
    state_->draining = true;
    MainRunLoop::shared().drain();
    state_->draining = false;
    if (state_->deferred) {
        state_->deferred = false;
        state_->pending.store(true);
        state_->post();
    }
    return true;
}

std::shared_ptr<WakeState>& current() {
    static auto* state = new std::shared_ptr<WakeState>;
    return *state;
}

}  // namespace

void MainQueueWaker::install() {
    if (current() || !QCoreApplication::instance()) return;
    auto state = std::make_shared<WakeState>();
    state->target = new WakeTarget(state.get());
    current() = state;
    MainRunLoop::shared().setWakeHook([state] { state->wake(); });
    state->wake();
}

void MainQueueWaker::uninstall() {
    std::shared_ptr<WakeState> state = std::move(current());
    if (!state) return;
    MainRunLoop::shared().setWakeHook(nullptr);
    WakeTarget* target = nullptr;
    {
        std::lock_guard lock(state->mutex);
        std::swap(target, state->target);
    }
    delete target;  // drops its posted events
}

bool MainQueueWaker::installed() { return current() != nullptr; }

}  // namespace platform
