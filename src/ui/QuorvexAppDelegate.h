// The application delegate: launch (clean-up, crash guard and running flag
// through ApplicationDefaults; the splash 1.0 s later), the splash's fade
// (or its end after the opaque part where windows cannot be translucent),
// the opening of the command line's files, and quitting in order.
//
// Quitting (the Quit item, the last window closed, SIGTERM, SIGINT, SIGHUP):
// a running batch is stopped (a wait of its own ends at once) and waited
// for, and every document window is asked to close. One whose save waits
// for the catalog stays until it is saved or let go by the person's choice;
// once every one has closed, the other windows close, every open document
// is closed (its catalog entry written), window exports are waited for, and
// only then is "QuorvexIsRunning" cleared and the event loop left. A window
// the person keeps open stays, with a word in its bar: the quit goes on for
// every other window and ends with the kept ones open (closing the last of
// them quits then).
//
// A termination signal (a logout) quits the same way, but no save waits
// longer than FileLock::waitLimit() after it: then every window closes at
// once, kept open or not, and edits not in the catalog are kept in the
// pending edits, which the next start puts in the catalog.
//
// Edits kept when the program last ended go into the catalog at launch on a
// thread of their own (the windows show meanwhile, and a document opened
// meanwhile reads them where they are kept); those the catalog cannot take
// yet are tried again every 20 seconds while the program runs.
// GUI thread only.
#pragma once

#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

class QTimer;
class QuorvexApplication;
#include "ui/SplashScreenPanel.h"

class QuorvexAppDelegate : public QObject {
    Q_OBJECT
public:
    static constexpr int kSplashDelayMs = 1000;
    static constexpr int kSplashTickMs = 50;
    static constexpr int kSplashTicks = 230;
    static constexpr int kSplashFadeTicks = 140;

    explicit QuorvexAppDelegate(QObject* parent = nullptr);
    ~QuorvexAppDelegate() override;

    // Sends the log to its file in the state folder unless `verbose`. When it
    // cannot be kept there it stays on stderr, and why is said there and,
    // once, in the message bar of the first window that shows, in the same
    // words; answers that sentence (empty when the log is kept).
    static QString keepLog(bool verbose);

    // Connects the application's quit sources to terminate() and runs the
    // launch; `files` (the command line's) are opened, else the browser.
    void launch(QuorvexApplication& application, const QStringList& files);

    // Files open as documents; a folder shows the browser on it.
    void openPaths(const QStringList& paths);
    void applicationDidFinishLaunching();
    void startSplashScreenPanel();
    void splashTimerFireMethod();
    void applicationWillTerminate();
    bool applicationShouldOpenUntitledFile() const { return false; }
    bool logThisObject() const { return false; }

    SplashScreenPanel* splashScreenPanel() const { return splashScreenPanel_; }
    QTimer* splashScreenTimer() const { return splashScreenTimer_; }
    int splashScreenCountDown() const { return splashScreenCountDown_; }
    // Whether the splash fades (set when it starts, from
    // SplashScreenPanel::windowsCanBeTranslucent) or ends after its opaque part.
    bool splashCanFade() const { return splashCanFade_; }
    void setSplashCanFade(bool fades) { splashCanFade_ = fades; }
    bool isTerminating() const { return terminating_; }
    // Puts the kept edits in the catalog off this thread, unless that runs.
    void mergeKeptEdits();
    bool mergingKeptEdits() const { return merging_; }
    void setMergeRetryInterval(int ms) { mergeRetryMs_ = ms; }

public slots:
    void terminate();
    // terminate() for a termination signal.
    void endSession();

signals:
    void didTerminate();

private:
    QPointer<SplashScreenPanel> splashScreenPanel_;
    QTimer* splashScreenTimer_ = nullptr;
    int splashScreenCountDown_ = 0;
    bool splashCanFade_ = true;
    void quitOnceWindowsClosed();

    bool terminating_ = false;                 // a quit under way
    bool sessionEnding_ = false;               // a termination signal came
    std::vector<QPointer<QWidget>> keptOpen_;  // document windows kept during the quit
    bool terminated_ = false;

    void mergeDone(size_t merged, size_t older, size_t left, const std::string& told);
    void stopMerging();
    std::thread merger_;
    bool merging_ = false;
    std::shared_ptr<std::atomic<bool>> mergeStop_ = std::make_shared<std::atomic<bool>>(false);
    std::string refusalTold_;  // the word that kept edits must wait, while it stands
    QTimer* mergeRetry_ = nullptr;
    int mergeRetryMs_ = 20'000;
};
