#include "ui/SaveWhileDrawing.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QTimer>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>

#include "platform/FileLock.h"

struct SettingsSave::State {
    mutable std::mutex mutex;
    std::condition_variable changed;
    std::optional<bool> saved;
    platform::Error error;
    std::atomic<bool> stop{false};
    std::function<void()> then;  // main thread only
};

SettingsSave::Ptr SettingsSave::start(const MyDocument::Ptr& document) {
    auto save = std::make_shared<SettingsSave>();
    save->state_ = std::make_shared<State>();
    save->started_ = std::chrono::steady_clock::now();
    const auto finish = [state = save->state_](bool saved, platform::Error why) {
        std::lock_guard lock(state->mutex);
        state->saved = saved;
        state->error = std::move(why);
        state->changed.notify_all();
    };
    try {
        std::thread([state = save->state_, document, finish] {
            platform::Error why;
            bool saved;
            {
                const platform::FileLock::StopWhen stop(state->stop);
                saved = document->saveSettingsToCatalog(&why);
            }
            finish(saved, std::move(why));
            // Wakes the loop, and tells who waits.
            QMetaObject::invokeMethod(
                qApp,
                [state] {
                    if (auto then = std::exchange(state->then, {})) then();
                },
                Qt::QueuedConnection);
        }).detach();
    } catch (const std::system_error&) {
        platform::Error why;  // no thread to spare: here
        const bool saved = document->saveSettingsToCatalog(&why);
        finish(saved, std::move(why));
    }
    return save;
}

bool SettingsSave::done() const {
    std::lock_guard lock(state_->mutex);
    return state_->saved.has_value();
}

bool SettingsSave::saved() const {
    std::lock_guard lock(state_->mutex);
    return state_->saved.value_or(false);
}

platform::Error SettingsSave::error() const {
    std::lock_guard lock(state_->mutex);
    return state_->error;
}

void SettingsSave::stop() { state_->stop = true; }

void SettingsSave::whenDone(std::function<void()> then) {
    if (done()) {
        QMetaObject::invokeMethod(qApp, std::move(then), Qt::QueuedConnection);
        return;
    }
    state_->then = std::move(then);
}

bool SettingsSave::waitWhileDrawing(std::chrono::milliseconds limit) {
    const auto deadline = started_ + limit;
    const auto finished = [this] { return state_->saved.has_value(); };
    std::unique_lock lock(state_->mutex);
    if (state_->changed.wait_until(
            lock, std::min(deadline, started_ + std::chrono::milliseconds(100)), finished))
        return true;
    lock.unlock();
    QTimer tick;  // wakes the loop at the bound
    tick.start(50);
    while (!done() && std::chrono::steady_clock::now() < deadline)
        QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents |
                                        QEventLoop::WaitForMoreEvents);
    return done();
}

bool saveSettingsWhileDrawing(const MyDocument::Ptr& document, platform::Error& error) {
    const SettingsSave::Ptr save = SettingsSave::start(document);
    if (!save->waitWhileDrawing(platform::FileLock::waitLimit())) {
        save->stop();
        while (!save->waitWhileDrawing(std::chrono::hours(1))) continue;
    }
    error = save->error();
    return save->saved();
}
