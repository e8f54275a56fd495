#include <gtest/gtest.h>

#include <QApplication>
#include <QItemSelectionModel>
#include <QListView>
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
#include "engine/MultiDataStore.h"
#include "platform/UserDefaults.h"
#include "support/ShortLockWait.h"
#include "ui/ApplicationShell.h"
#include "ui/BrowserItemModel.h"
#include "ui/BrowserWindowController.h"
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

}  // namespace
