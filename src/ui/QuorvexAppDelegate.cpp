#include "ui/QuorvexAppDelegate.h"

#include <QApplication>
#include <QFileInfo>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <string>

#include "document/ApplicationDefaults.h"
#include "document/DocumentController.h"
#include "document/PendingEdits.h"
#include "platform/FileLock.h"
#include "platform/Log.h"
#include "platform/Paths.h"
#include "platform/UserWarning.h"
#include "ui/ApplicationShell.h"
#include "ui/BrowserWindowController.h"
#include "ui/DocumentWindowController.h"
#include "ui/InspectorController.h"
#include "ui/MessageBar.h"
#include "ui/PresetWindowController.h"
#include "ui/QuorvexApplication.h"
#include "ui/SplashScreenPanel.h"

QuorvexAppDelegate::QuorvexAppDelegate(QObject* parent) : QObject(parent) {}

QuorvexAppDelegate::~QuorvexAppDelegate() { stopMerging(); }

void QuorvexAppDelegate::mergeKeptEdits() {
    if (merging_ || terminated_) return;
    if (merger_.joinable()) merger_.join();  // done: its result was handed over
    merging_ = true;
    QPointer<QuorvexAppDelegate> self(this);
    // A later try waits for no holder: it would tell its wait at every try.
    merger_ = std::thread([self, stop = mergeStop_, quietly = !refusalTold_.empty()] {
        const auto merged =
            PendingEdits::merge(platform::FileLock::waitLimit(), stop.get(), quietly);
        if (!*stop && qApp)
            QMetaObject::invokeMethod(
                qApp,
                [self, merged] {
                    if (self)
                        self->mergeDone(merged.merged, merged.older, merged.left, merged.told);
                },
                Qt::QueuedConnection);
    });
}

void QuorvexAppDelegate::mergeDone(size_t merged, size_t older, size_t left,
                                   const std::string& told) {
    merging_ = false;
    if (terminated_ || *mergeStop_) return;
    // The word that they must wait goes once they are in; it is not said
    // again at every try.
    if (merged + older > 0 || refusalTold_.empty()) {
        if (merged + older > 0 && !refusalTold_.empty())
            platform::withdrawUserWarning(std::exchange(refusalTold_, {}));
        if (!told.empty()) platform::warnUser(told);
        if (left > 0) refusalTold_ = told;
    }
    if (left == 0) return;
    if (!mergeRetry_) {
        mergeRetry_ = new QTimer(this);
        mergeRetry_->setSingleShot(true);
        connect(mergeRetry_, &QTimer::timeout, this, &QuorvexAppDelegate::mergeKeptEdits);
    }
    mergeRetry_->start(mergeRetryMs_);
}

void QuorvexAppDelegate::stopMerging() {
    *mergeStop_ = true;
    if (mergeRetry_) mergeRetry_->stop();
    if (merger_.joinable()) merger_.join();
}

QString QuorvexAppDelegate::keepLog(bool verbose) {
    std::string whyNot;
    if (verbose || platform::logToFile(platform::stateDirectory(false) / "quorvex.log", &whyNot))
        return {};
    const std::string told =
        "the log cannot be kept: " + whyNot + "; it goes to standard error instead";
    std::fprintf(stderr, "quorvex-gui: %s\n", told.c_str());
    QString sentence = QString::fromStdString(told);
    sentence[0] = sentence[0].toUpper();
    // Queued: the bars take it once the event loop runs, whichever window
    // shows first (one that opens later takes what waits).
    QMetaObject::invokeMethod(
        qApp, [sentence] { MessageBar::post(sentence); }, Qt::QueuedConnection);
    return sentence;
}

void QuorvexAppDelegate::launch(QuorvexApplication& application, const QStringList& files) {
    // Warnings that change a result come from any thread; they show in a
    // window's message bar, never in an alert that stops the user's work.
    // Installed first: making the shell reads the preferences and presets,
    // which may have been set aside.
    MessageBar::installInUserWarnings();
    auto& shell = platform::ApplicationShell::shared();
    application.setQuitOnLastWindowClosed(false);
    application.watchTerminationSignals();
    connect(&application, &QuorvexApplication::terminationRequested, this,
            &QuorvexAppDelegate::endSession);
    connect(&application, &QGuiApplication::lastWindowClosed, this, &QuorvexAppDelegate::terminate);
    connect(&application, &QCoreApplication::aboutToQuit, this, &QuorvexAppDelegate::terminate);
    connect(&shell, &platform::ApplicationShell::terminateRequested, this,
            &QuorvexAppDelegate::terminate);

    mergeKeptEdits();
    DocumentWindowController::installDocumentWindowFactory();
    BrowserWindowController::installBrowserHooks();
    InspectorController::installInspectorHooks();
    applicationDidFinishLaunching();
    if (!files.isEmpty()) {
        openPaths(files);
    } else if (shell.browserHooks().showBrowser) {
        shell.showBrowser();
    } else {
        // Without a browser some window must carry the menus.
        shell.showPresets();
    }
}

void QuorvexAppDelegate::openPaths(const QStringList& paths) {
    auto& shell = platform::ApplicationShell::shared();
    QStringList files;
    for (const QString& path : paths) {
        const auto& showFolder = shell.browserHooks().showFolder;
        if (showFolder && QFileInfo(path).isDir())
            showFolder(QFileInfo(path).absoluteFilePath());
        else
            files << path;
    }
    if (!files.isEmpty()) shell.openFiles(files);
}

void QuorvexAppDelegate::applicationDidFinishLaunching() {
    QTimer::singleShot(kSplashDelayMs, this, &QuorvexAppDelegate::startSplashScreenPanel);
    // The guard's switches stay until the user clears them: say so, once.
    if (ApplicationDefaults::applicationDidFinishLaunching())
        platform::warnUser(
            "Quorvex did not end normally last time, so it has turned off its image cache and "
            "frame buffer, which can make it slower. To turn them back on, clear \"Disable the "
            "image "
            "cache\" and \"Disable the frame buffer\" in Preferences › Advanced.");
}

void QuorvexAppDelegate::startSplashScreenPanel() {
    if (!splashScreenPanel_) splashScreenPanel_ = new SplashScreenPanel;
    splashScreenPanel_->setWindowOpacity(1.0);
    // An alert already open (a refused file of the command line) would be
    // hidden under the panel, which floats above every window.
    if (!SplashScreenPanel::dialogIsOpen()) {
        splashScreenPanel_->show();
        splashScreenPanel_->raise();
    }
    splashScreenCountDown_ = kSplashTicks;
    splashCanFade_ = SplashScreenPanel::windowsCanBeTranslucent();
    if (!splashScreenTimer_) {
        splashScreenTimer_ = new QTimer(this);
        splashScreenTimer_->setInterval(kSplashTickMs);
        connect(splashScreenTimer_, &QTimer::timeout, this,
                &QuorvexAppDelegate::splashTimerFireMethod);
    }
    splashScreenTimer_->start();
}

void QuorvexAppDelegate::splashTimerFireMethod() {
    // Without translucency the fade would keep the panel opaque over the
    // windows for seven more seconds: it ends with its opaque part instead.
    const bool ended = splashScreenCountDown_ < 1 ||
                       (!splashCanFade_ && splashScreenCountDown_ <= kSplashFadeTicks);
    if (ended) {
        if (splashScreenTimer_) splashScreenTimer_->stop();
        if (splashScreenPanel_) {
            splashScreenPanel_->close();
            delete splashScreenPanel_.data();
        }
        return;
    }
    const int before = splashScreenCountDown_--;
    if (before <= kSplashFadeTicks && splashScreenPanel_)
        splashScreenPanel_->setWindowOpacity(double(splashScreenCountDown_) / kSplashFadeTicks);
}

void QuorvexAppDelegate::applicationWillTerminate() {
    ApplicationDefaults::applicationWillTerminate();
}

void QuorvexAppDelegate::terminate() {
    if (terminated_) return;
    if (terminating_) return quitOnceWindowsClosed();
    terminating_ = true;
    keptOpen_.clear();
    auto& shell = platform::ApplicationShell::shared();
    if (const auto& stop = shell.browserHooks().stopBatchAndWait) stop();
    if (splashScreenTimer_) splashScreenTimer_->stop();
    delete splashScreenPanel_.data();
    // A window the person keeps open stays; the quit goes on for the others.
    DocumentWindowController::setKeptOpenHandler(
        [self = QPointer(this)](DocumentWindowController* controller) {
            if (!self || !self->terminating_ || self->sessionEnding_) return;
            self->keptOpen_.push_back(controller->window());
            controller->messageBar()->postHere(
                tr("Kept open: Quorvex quits without this window. Close it to quit."));
            self->quitOnceWindowsClosed();
        });
    // Windows first, so a document window closes its own document. Every
    // one is asked, whatever another answers: one whose save waits closes
    // once it is done, or as the person chooses in it.
    for (QWidget* widget : QApplication::topLevelWidgets())
        if (auto* window = qobject_cast<QuorvexDocumentWindow*>(widget);
            window && window->isVisible()) {
            connect(
                window, &QObject::destroyed, this,
                [this] {
                    if (terminating_) quitOnceWindowsClosed();
                },
                Qt::QueuedConnection);
            window->close();
        }
    quitOnceWindowsClosed();
}

void QuorvexAppDelegate::endSession() {
    if (terminated_) return;
    if (!std::exchange(sessionEnding_, true)) {
        platform::log("Asked to end: edits not saved within %s are kept for the next start",
                      platform::FileLock::waitLimitText().c_str());
        QTimer::singleShot(platform::FileLock::waitLimit(), this, [this] {
            if (terminated_) return;
            DocumentWindowController::endSessionNow();
            terminating_ = true;
            quitOnceWindowsClosed();
        });
    }
    terminate();
}

void QuorvexAppDelegate::quitOnceWindowsClosed() {
    if (terminated_ || !terminating_) return;
    std::erase_if(keptOpen_,
                  [](const QPointer<QWidget>& window) { return !window || !window->isVisible(); });
    const auto kept = [this](QWidget* window) {
        return std::find(keptOpen_.begin(), keptOpen_.end(), window) != keptOpen_.end();
    };
    for (QWidget* window : QApplication::topLevelWidgets())
        if (qobject_cast<QuorvexDocumentWindow*>(window) && window->isVisible() && !kept(window))
            return;
    if (!keptOpen_.empty() && !sessionEnding_) {
        // The quit ends with the kept windows: what else it asked closes.
        terminating_ = false;
        for (QWidget* window : QApplication::topLevelWidgets())
            if (!window->parentWidget() && window->isVisible() && !kept(window)) window->close();
        keptOpen_.clear();
        return;
    }
    terminated_ = true;
    stopMerging();
    QApplication::closeAllWindows();
    auto& controller = DocumentController::sharedDocumentController();
    for (const MyDocument::Ptr& document : controller.documents()) {
        // A logout waits for no catalog: what is not saved is kept for it.
        if (sessionEnding_ && document->keepSettingsPending()) document->discardSettingsOnClose();
        document->close();
        controller.removeDocument(document);
    }
    platform::ApplicationShell::shared().windowExports().wait();
    applicationWillTerminate();
    emit didTerminate();
    QCoreApplication::exit(0);
}
