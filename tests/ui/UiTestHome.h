// A private home for one GUI test: HOME, XDG_* and TMPDIR point into a
// scratch folder, and the process-wide stores that cache folders look again.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <QApplication>
#include <QCoreApplication>
#include <QMessageBox>
#include <QPointer>
#include <QTest>
#include <QTimer>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <utility>

#include "document/PresetManager.h"
#include "engine/DataStoreItem.h"
#include "platform/Dispatch.h"
#include "platform/UserDefaults.h"
#include "platform/UserWarning.h"
#include "support/TestSupport.h"
#include "ui/AlertPresenter.h"
#include "ui/MessageBar.h"

namespace uitest {

class UiTestHome : public testsupport::ScopedHome {
public:
    UiTestHome()
        : ScopedHome([] {
              platform::UserDefaults::resetStandardForEnvironment();
              DataStoreItem::forgetCatalogDirectory();
              PresetManager::sharedPresetManager().forgetPresetDirectory();
          }) {}
};

// Runs the event loop (and so the main queue) until done() or the timeout.
inline bool spinUntil(const std::function<bool()>& done,
                      std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
#if defined(__SANITIZE_THREAD__)
    // ThreadSanitizer runs everything several times slower; a wait only
    // lasts this long when what it waits for fails to come.
    timeout *= 5;
#endif
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

// The alert box the real presenter has open (null: none).
inline QMessageBox* openAlert() {
    for (QWidget* widget : QApplication::topLevelWidgets())
        if (auto* box = qobject_cast<QMessageBox*>(widget); box && box->isVisible()) return box;
    return nullptr;
}

// Answers every alert with a fixed button and keeps what it was shown.
class ScriptedAlerts : public platform::AlertPresenter {
public:
    explicit ScriptedAlerts(int answer = 0) : answer_(answer) { setCurrent(this); }
    ~ScriptedAlerts() override { setCurrent(nullptr); }
    void present(const platform::Alert& alert, QWidget* parent, Answer answer) override {
        shown.push_back(alert);
        parents.push_back(parent);
        if (answer) answer(answer_);
    }
    void answerWith(int answer) { answer_ = answer; }
    std::vector<platform::Alert> shown;
    std::vector<QPointer<QWidget>> parents;  // the window each alert was shown over

private:
    int answer_;
};

// Holds the catalog's lock as another program would while `act` runs, letting
// go once `bar` shows the wait notice, which must come within 2 seconds and
// after `act` returned: nothing waits with the person's input held.
inline ::testing::AssertionResult noticedWhileCatalogHeld(const std::filesystem::path& catalogFile,
                                                          MessageBar* bar,
                                                          const std::function<void()>& act) {
    const auto previous = MessageBar::installInUserWarnings();
    const auto lock = catalogFile.parent_path() / ".QuorvexCatalog.plist.lock";
    int other = ::open(lock.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    std::optional<std::chrono::steady_clock::duration> noticed;
    bool toldInside = false;
    if (::flock(other, LOCK_EX) == 0) {
        const auto start = std::chrono::steady_clock::now();
        QTimer watch;
        QObject::connect(&watch, &QTimer::timeout, [&] {
            if (noticed || !bar->isVisible() ||
                !bar->messages().join("").contains("Waiting for another program to let go of"))
                return;
            noticed = std::chrono::steady_clock::now() - start;
            ::close(std::exchange(other, -1));
        });
        watch.start(20);
        act();
        // Told inside the call that began the wait: it held input meanwhile.
        toldInside = noticed.has_value();
        spinUntil([&] { return noticed.has_value(); }, std::chrono::seconds(3));
    }
    if (other >= 0) ::close(other);
    platform::setUserWarningHandler(previous);
    if (toldInside) return ::testing::AssertionFailure() << "the wait was told before act returned";
    if (noticed && *noticed < std::chrono::seconds(2)) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure()
           << "the wait notice " << (noticed ? "came late" : "never came");
}

}  // namespace uitest
