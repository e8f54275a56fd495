#include "ui/SettingsSave.h"

#include <QCoreApplication>
#include <QMetaObject>
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
    std::vector<std::string> ranOut;
    std::atomic<bool> stop{false};
    std::atomic<bool> waitTold{false};
    std::function<void()> then;                    // main thread only
    std::string notice;                            // once waitTold
    std::function<void(const std::string&)> told;  // main thread only
};

namespace {

void onMainThread(std::function<void()> block) {
    QMetaObject::invokeMethod(qApp, std::move(block), Qt::QueuedConnection);
}

}  // namespace

SettingsSave::Ptr SettingsSave::start(const MyDocument::Ptr& document) {
    auto save = std::make_shared<SettingsSave>();
    save->state_ = std::make_shared<State>();
    save->started_ = std::chrono::steady_clock::now();
    const auto run = [state = save->state_, document] {
        platform::Error why;
        bool saved;
        {
            const platform::FileLock::StopWhen stop(state->stop);
            const platform::FileLock::NoticeWatch watch(
                [state](const std::string& notice, bool ranOut) {
                    if (ranOut) {
                        std::lock_guard lock(state->mutex);
                        state->ranOut.push_back(notice);
                    } else if (!state->waitTold) {
                        {
                            std::lock_guard lock(state->mutex);
                            state->notice = notice;
                        }
                        state->waitTold = true;
                        onMainThread([state, notice] {
                            if (auto told = std::exchange(state->told, {})) told(notice);
                        });
                    }
                });
            saved = document->saveSettingsToCatalog(&why);
        }
        {
            std::lock_guard lock(state->mutex);
            state->saved = saved;
            state->error = std::move(why);
            state->changed.notify_all();
        }
        onMainThread([state] {
            if (auto then = std::exchange(state->then, {})) then();
        });
    };
    try {
        std::thread(run).detach();
    } catch (const std::system_error&) {
        run();  // no thread to spare: here
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

std::vector<std::string> SettingsSave::ranOutNotices() const {
    std::lock_guard lock(state_->mutex);
    return state_->ranOut;
}

void SettingsSave::stop() { state_->stop = true; }

void SettingsSave::whenDone(std::function<void()> then) {
    if (done()) {
        onMainThread(std::move(then));
        return;
    }
    // The save posts its own call after it is done, which finds this.
    state_->then = std::move(then);
}

void SettingsSave::whenWaitTold(std::function<void(const std::string&)> told) {
    if (state_->waitTold) {
        std::lock_guard lock(state_->mutex);
        onMainThread([told = std::move(told), notice = state_->notice] { told(notice); });
        return;
    }
    state_->told = std::move(told);
}

bool SettingsSave::waitFor(std::chrono::milliseconds limit, const std::atomic<bool>* cancel) {
    const auto deadline = started_ + limit;
    const auto finished = [this] { return state_->saved.has_value(); };
    std::unique_lock lock(state_->mutex);
    while (!finished() && std::chrono::steady_clock::now() < deadline &&
           !(cancel && cancel->load()))
        state_->changed.wait_until(
            lock, std::min(deadline, std::chrono::steady_clock::now() +
                                         std::chrono::milliseconds(cancel ? 50 : 1000)));
    return finished();
}

bool saveSettingsWithin(const MyDocument::Ptr& document, std::chrono::milliseconds limit,
                        const std::atomic<bool>* cancel, platform::Error& error) {
    const SettingsSave::Ptr save = SettingsSave::start(document);
    if (!save->waitFor(limit, cancel)) {
        save->stop();
        save->waitFor(std::chrono::hours(24 * 365));
    }
    error = save->error();
    return save->saved();
}
