#include <gtest/gtest.h>

#include <QApplication>
#include <QItemSelectionModel>
#include <QListView>
#include <QPushButton>
#include <QSignalSpy>
#include <atomic>
#include <chrono>
#include <fstream>
#include <iterator>
#include <thread>

#include "DocumentWindowSupport.h"
#include "UiTestHome.h"
#include "dng/image/HandMadeDng.h"
#include "document/ApplicationDefaults.h"
#include "document/DocumentController.h"
#include "document/PendingEdits.h"
#include "engine/MultiDataStore.h"
#include "platform/UserDefaults.h"
#include "support/ShortLockWait.h"
#include "ui/ApplicationShell.h"
#include "ui/BrowserItemModel.h"
#include "ui/BrowserWindowController.h"
#include "ui/MessageBar.h"
#include "ui/QuorvexAppDelegate.h"

namespace {

TEST(Quit, StopsTheBatchClosesDocumentsWaitsForExportsThenClearsTheFlag) {
    uitest::UiTestHome home;
    uitest::ScriptedAlerts alerts;
    auto& shell = platform::ApplicationShell::shared();
    auto& controller = DocumentController::sharedDocumentController();
    auto& defaults = platform::UserDefaults::standard();
    ApplicationDefaults::registerDefaults();
    QuorvexAppDelegate delegate;
    delegate.applicationDidFinishLaunching();
    ASSERT_TRUE(defaults.boolForKey("QuorvexIsRunning"));

    // A command-line file opens through the controller and gets its window first.
    std::vector<MyDocument::Ptr> windows;
    shell.setDocumentWindowFactory([&](const MyDocument::Ptr& document) {
        EXPECT_FALSE(document->isClosed());
        windows.push_back(document);
    });
    const auto file =
        testsupport::testdataDir() / "raw" / "dng" / "rpi-1920x1200_10bit-packed_single-tile.dng";
    shell.openFiles({QString::fromStdString(file.string())});
    ASSERT_TRUE(alerts.shown.empty()) << alerts.shown[0].messageText.toStdString();
    ASSERT_EQ(windows.size(), 1u);
    MyDocument::Ptr document = windows[0];
    EXPECT_EQ(controller.documents().size(), 1u);

    // What quitting has to wait for.
    std::vector<std::string> order;
    std::atomic<bool> exportDone{false};
    shell.setBrowserHooks(
        {nullptr, nullptr, [&] { order.push_back("batch stopped"); }, nullptr, nullptr});
    shell.windowExports().enter();
    std::thread exporter([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        exportDone = true;
        shell.windowExports().leave();
    });

    delegate.terminate();
    exporter.join();
    EXPECT_EQ(order, std::vector<std::string>{"batch stopped"});
    EXPECT_TRUE(exportDone);  // terminate returned only after the export
    EXPECT_TRUE(document->isClosed());
    EXPECT_TRUE(controller.documents().empty());
    EXPECT_FALSE(defaults.boolForKey("QuorvexIsRunning"));

    // The closed document wrote its settings to the catalog.
    auto catalog = MultiDataStore::sharedMultiDataStore().dataStoreForStore("Catalog");
    const auto catalogFile = catalog->storeFilePath();
    ASSERT_TRUE(catalogFile && std::filesystem::exists(*catalogFile));
    std::ifstream in(*catalogFile);
    const std::string text((std::istreambuf_iterator<char>(in)), {});
    EXPECT_NE(text.find(file.filename().string()), std::string::npos);

    // A second request changes nothing.
    delegate.terminate();
    shell.setBrowserHooks({});
    shell.setDocumentWindowFactory(nullptr);
}

// Quit (as SIGTERM asks it) while another program at work holds the
// catalog: the batch waiting to save an open window's edits stops at once,
// every window is asked and waits for its save, and once the holder lets go
// both close with their edits saved and the program quits.
TEST(Quit, StopsAWaitingBatchAtOnceAndQuitsOnceEveryWaitingWindowClosed) {
    uitest::UiTestHome home;
    uitest::ScriptedAlerts alerts;
    const testsupport::ShortLockWait shortWait;
    auto& shell = platform::ApplicationShell::shared();
    ApplicationDefaults::registerDefaults();
    QuorvexAppDelegate delegate;
    delegate.applicationDidFinishLaunching();
    std::vector<std::filesystem::path> photos;
    std::vector<QPointer<DocumentWindowController>> windows;
    for (const char* name : {"a.dng", "b.dng"}) {
        photos.push_back(home.path() / name);
        handdng::Write(photos.back().string(), handdng::Build(handdng::SharedDeflateTiles(32, 32)));
        windows.emplace_back(uitest::openWindow(photos.back()));
        ASSERT_TRUE(windows.back());
        windows.back()->document()->setValueForKey(platform::Value(0.25f * float(windows.size())),
                                                   "Quorvex_Filter_inputEV");
    }
    BrowserWindowController browser;
    shell.setBrowserHooks(
        {nullptr, nullptr, [&] { browser.stopBatchAndWait(); }, nullptr, nullptr});
    auto catalog = MultiDataStore::sharedMultiDataStore().dataStoreForStore("Catalog");
    testsupport::LockHolder holder(catalog->storeFilePath()->parent_path() /
                                   ".QuorvexCatalog.plist.lock");
    ASSERT_TRUE(holder.hold("burn", false, 8000));
    browser.changeDirectory(home.path(), 0);
    const int row = browser.model()->rowForPath(QString::fromStdString(photos[0].string()));
    ASSERT_GE(row, 0);
    browser.imageBrowser()->selectionModel()->select(browser.model()->index(row),
                                                     QItemSelectionModel::Select);
    browser.popAction(std::nullopt);
    ASSERT_TRUE(browser.batchRunning());
    QTest::qWait(300);

    QSignalSpy quit(&delegate, &QuorvexAppDelegate::didTerminate);
    const auto start = std::chrono::steady_clock::now();
    delegate.terminate();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1000));
    EXPECT_FALSE(browser.batchRunning());
    EXPECT_TRUE(uitest::spinUntil([&] {
        return windows[0] && windows[0]->messageBar()->asking() && windows[1] &&
               windows[1]->messageBar()->asking();
    }));
    EXPECT_EQ(quit.count(), 0);
    holder.letGo();
    EXPECT_TRUE(uitest::spinUntil([&] { return !windows[0] && !windows[1] && quit.count() == 1; }));
    EXPECT_FALSE(platform::UserDefaults::standard().boolForKey("QuorvexIsRunning"));
    for (size_t i = 0; i < photos.size(); ++i) {
        const auto entry = catalog->getItemForUUID(photos[i].string());
        ASSERT_TRUE(entry) << photos[i];
        EXPECT_FLOAT_EQ((*entry)["Quorvex_Filter_inputEV"].floatValue(), 0.25f * float(i + 1));
    }
    shell.setBrowserHooks({});
}

// Photos of their own, each open in a window with an edit, and another
// program that holds the catalog's lock on demand.
struct WindowsBehindAHolder {
    explicit WindowsBehindAHolder(std::initializer_list<const char*> names) {
        ApplicationDefaults::registerDefaults();
        delegate.applicationDidFinishLaunching();
        for (const char* name : names) {
            photos.push_back(home.path() / name);
            handdng::Write(photos.back().string(),
                           handdng::Build(handdng::SharedDeflateTiles(32, 32)));
            windows.emplace_back(uitest::openWindow(photos.back()));
            EXPECT_TRUE(windows.back());
            if (windows.back())
                windows.back()->document()->setValueForKey(platform::Value(ev(windows.size() - 1)),
                                                           "Quorvex_Filter_inputEV");
        }
    }
    static float ev(size_t i) { return 0.25f * float(i + 1); }
    std::optional<float> savedEv(size_t i) {
        const auto entry = catalog->getItemForUUID(photos[i].string());
        if (!entry) return std::nullopt;
        return (*entry)["Quorvex_Filter_inputEV"].floatValue();
    }
    bool allAsking() {
        for (const auto& w : windows)
            if (!w || !w->messageBar()->asking()) return false;
        return true;
    }
    uitest::UiTestHome home;
    uitest::ScriptedAlerts alerts;
    const testsupport::ShortLockWait shortWait;
    QuorvexAppDelegate delegate;
    QSignalSpy quit{&delegate, &QuorvexAppDelegate::didTerminate};
    std::vector<std::filesystem::path> photos;
    std::vector<QPointer<DocumentWindowController>> windows;
    std::shared_ptr<DataStoreItem> catalog =
        MultiDataStore::sharedMultiDataStore().dataStoreForStore("Catalog");
    testsupport::LockHolder holder{catalog->storeFilePath()->parent_path() /
                                   ".QuorvexCatalog.plist.lock"};
};

// Quit with three windows waiting behind a holder at work; Keep Open in the
// third: it stays, saying so in its bar, while the quit goes on for the
// others, which close with their edits saved; the program keeps running
// for the kept window, and closing it then quits.
TEST(Quit, KeepOpenInOneWindowKeepsItAndTheQuitGoesOnForTheOthers) {
    WindowsBehindAHolder held{"a.dng", "b.dng", "c.dng"};
    auto& windows = held.windows;
    ASSERT_EQ(windows.size(), 3u);
    auto& delegate = held.delegate;
    auto& quit = held.quit;
    ASSERT_TRUE(held.holder.hold("burn", false, 8000));
    delegate.terminate();
    ASSERT_TRUE(uitest::spinUntil([&] { return held.allAsking(); }));
    DocumentWindowController* kept = windows[2];
    for (auto* button : kept->messageBar()->findChildren<QPushButton*>())
        if (button->isVisible() && button->text() == "Keep Open") button->click();
    EXPECT_TRUE(kept->messageBar()->messages().join("").contains("Kept open: Quorvex quits"))
        << kept->messageBar()->messages().join("\n").toStdString();
    held.holder.letGo();
    EXPECT_TRUE(uitest::spinUntil([&] { return !windows[0] && !windows[1]; }));
    QTest::qWait(300);
    ASSERT_TRUE(windows[2] && windows[2]->window()->isVisible());
    EXPECT_EQ(quit.count(), 0);
    EXPECT_FALSE(delegate.isTerminating());
    EXPECT_EQ(held.savedEv(0), held.ev(0));
    EXPECT_EQ(held.savedEv(1), held.ev(1));
    EXPECT_FALSE(held.savedEv(2));

    // Its edits stay; closing it is quitting now.
    windows[2]->window()->close();
    EXPECT_TRUE(uitest::spinUntil([&] { return !windows[2]; }));
    EXPECT_EQ(held.savedEv(2), held.ev(2));
    delegate.terminate();
    EXPECT_EQ(quit.count(), 1);
}

// A termination signal while the closes wait behind a holder that never
// lets go: within the bound every window closes, a kept one too, and the
// program quits; the edits are in the pending file, not lost, and the next
// start puts them in the catalog once the holder is gone.
TEST(Quit, ASignalEndsWithinTheBoundAndKeepsTheEditsForTheNextStart) {
    WindowsBehindAHolder held{"a.dng", "b.dng"};
    auto& windows = held.windows;
    ASSERT_EQ(windows.size(), 2u);
    auto& delegate = held.delegate;
    auto& quit = held.quit;
    // A shown document without a window keeps its edits too.
    const auto windowless = held.home.path() / "c.dng";
    handdng::Write(windowless.string(), handdng::Build(handdng::SharedDeflateTiles(32, 32)));
    DocumentController::sharedDocumentController().openDocumentWithContentsOfURL(
        windowless.string(), true, [](const MyDocument::Ptr& document, bool, const auto&) {
            document->setValueForKey(platform::Value(0.9f), "Quorvex_Filter_inputEV");
        });
    ASSERT_TRUE(held.holder.hold("burn"));
    delegate.terminate();
    ASSERT_TRUE(uitest::spinUntil([&] { return held.allAsking(); }));
    for (auto* button : windows[1]->messageBar()->findChildren<QPushButton*>())
        if (button->isVisible() && button->text() == "Keep Open") button->click();
    const auto start = std::chrono::steady_clock::now();
    delegate.endSession();
    ASSERT_TRUE(uitest::spinUntil([&] { return quit.count() == 1; }, std::chrono::seconds(8)));
    EXPECT_LT(std::chrono::steady_clock::now() - start,
              testsupport::ShortLockWait::kLimit + std::chrono::seconds(1));
    EXPECT_TRUE(uitest::spinUntil([&] { return !windows[0] && !windows[1]; }));
    EXPECT_FALSE(held.savedEv(0) || held.savedEv(1));

    const auto pending = PendingEdits::pendingFile();
    ASSERT_TRUE(std::filesystem::exists(pending));
    EXPECT_EQ(PendingEdits::mergeIntoCatalog(std::chrono::milliseconds(300)).find("now in"),
              std::string::npos);  // still held: kept for a later start
    EXPECT_TRUE(std::filesystem::exists(pending));
    held.holder.letGo();
    const std::string told = PendingEdits::mergeIntoCatalog(std::chrono::seconds(4));
    EXPECT_NE(told.find("The edits of 3 photos"), std::string::npos) << told;
    EXPECT_EQ(held.savedEv(0), held.ev(0));
    EXPECT_EQ(held.savedEv(1), held.ev(1));
    EXPECT_FLOAT_EQ(
        (*held.catalog->getItemForUUID(windowless.string()))["Quorvex_Filter_inputEV"].floatValue(),
        0.9f);
    EXPECT_FALSE(std::filesystem::exists(pending));
}

// What is in the windows' bars.
QString textOfBars(std::initializer_list<QPointer<DocumentWindowController>> windows) {
    QString text;
    for (const auto& window : windows)
        if (window) text += window->messageBar()->messages().join("\n");
    return text;
}

// At a start behind a held catalog the merge runs off the window's thread:
// a photo opens at once with its kept edit; the bar says the edits wait and
// names a damaged file set aside; once the holder lets go a later try
// during the run puts the edit in, and the word that it waits goes.
TEST(Quit, KeptEditsMergeOffTheWindowsThreadAndAgainDuringTheRun) {
    WindowsBehindAHolder held{"a.dng"};
    const auto previous = MessageBar::installInUserWarnings();
    const auto kept = held.home.path() / "kept.dng";
    handdng::Write(kept.string(), handdng::Build(handdng::SharedDeflateTiles(32, 32)));
    ASSERT_TRUE(
        PendingEdits::keep(platform::Dictionary{{"Quorvex_UUID", platform::Value(kept.string())},
                                                {"Quorvex_Filter_inputEV", platform::Value(0.8f)}},
                           std::nullopt, nullptr));
    const auto damaged = PendingEdits::pendingFiles().back();
    std::filesystem::create_directories(damaged.parent_path());
    std::ofstream(damaged) << "\x01\x02 not a list";
    ASSERT_TRUE(held.holder.hold("burn"));
    held.delegate.setMergeRetryInterval(200);

    const auto start = std::chrono::steady_clock::now();
    held.delegate.mergeKeptEdits();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));
    EXPECT_TRUE(held.delegate.mergingKeptEdits());
    QPointer<DocumentWindowController> window(uitest::openWindow(kept));
    ASSERT_TRUE(window);
    const auto barsText = [&] { return textOfBars({window, held.windows[0]}); };
    EXPECT_FLOAT_EQ(window->document()->valueForKey("Quorvex_Filter_inputEV").floatValue(), 0.8f);
    ASSERT_TRUE(uitest::spinUntil([&] {
        return barsText().contains("cannot be put in the catalog yet");
    })) << barsText().toStdString();
    EXPECT_TRUE(barsText().contains(QString::fromStdString(damaged.string() + ".damaged")))
        << barsText().toStdString();
    EXPECT_TRUE(std::filesystem::exists(damaged.string() + ".damaged"));

    held.holder.letGo();
    EXPECT_TRUE(uitest::spinUntil([&] { return barsText().contains("are now in the catalog"); }))
        << barsText().toStdString();
    EXPECT_FALSE(barsText().contains("cannot be put in the catalog yet"));
    const auto entry = held.catalog->getItemForUUID(kept.string());
    ASSERT_TRUE(entry);
    EXPECT_FLOAT_EQ((*entry)["Quorvex_Filter_inputEV"].floatValue(), 0.8f);
    EXPECT_FALSE(PendingEdits::anyKept());
    platform::setUserWarningHandler(previous);
}

}  // namespace
