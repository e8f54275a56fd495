// A private home for one GUI test: HOME, XDG_* and TMPDIR point into a
// scratch folder, and the process-wide stores that cache folders look again.
#pragma once

#include <QCoreApplication>
#include <QTest>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <optional>
#include <string>

#include "document/PresetManager.h"
#include "engine/DataStoreItem.h"
#include "platform/Dispatch.h"
#include "platform/UserDefaults.h"
#include "support/TestSupport.h"
#include "ui/AlertPresenter.h"

namespace uitest {

class UiTestHome {
public:
    UiTestHome() {
        scratch_.emplace();
        scratch_->becomeHome();
        forget();
    }
    ~UiTestHome() {
        scratch_.reset();
        saved_.restore();
        forget();
    }
    const std::filesystem::path& path() const { return scratch_->path(); }

private:
    static void forget() {
        platform::UserDefaults::resetStandardForEnvironment();
        DataStoreItem::forgetCatalogDirectory();
        PresetManager::sharedPresetManager().forgetPresetDirectory();
    }
    struct Saved {
        static constexpr const char* kNames[] = {"HOME", "XDG_CONFIG_HOME", "XDG_DATA_HOME",
                                                 "TMPDIR"};
        std::optional<std::string> values[4];
        Saved() {
            for (int i = 0; i < 4; ++i)
                if (const char* v = std::getenv(kNames[i])) values[i] = v;
        }
        void restore() const {
            for (int i = 0; i < 4; ++i) {
                if (values[i])
                    setenv(kNames[i], values[i]->c_str(), 1);
                else
                    unsetenv(kNames[i]);
            }
        }
    };
    Saved saved_;
    std::optional<testsupport::ScratchDir> scratch_;
};

// Runs the event loop (and so the main queue) until done() or the timeout.
inline bool spinUntil(const std::function<bool()>& done,
                      std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    return true;
}

// Lets the main queue run what is queued now.
inline void settle() {
    for (int i = 0; i < 5; ++i) QCoreApplication::processEvents();
}

// Answers every alert with a fixed button and keeps what it was shown.
class ScriptedAlerts : public platform::AlertPresenter {
public:
    explicit ScriptedAlerts(int answer = 0) : answer_(answer) { setCurrent(this); }
    ~ScriptedAlerts() override { setCurrent(nullptr); }
    void present(const platform::Alert& alert, QWidget*, Answer answer) override {
        shown.push_back(alert);
        if (answer) answer(answer_);
    }
    std::vector<platform::Alert> shown;

private:
    int answer_;
};

}  // namespace uitest
