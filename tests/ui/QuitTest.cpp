#include <gtest/gtest.h>

#include <QApplication>
#include <atomic>
#include <chrono>
#include <fstream>
#include <iterator>
#include <thread>

#include "UiTestHome.h"
#include "document/ApplicationDefaults.h"
#include "document/DocumentController.h"
#include "engine/MultiDataStore.h"
#include "platform/UserDefaults.h"
#include "ui/ApplicationShell.h"
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
    shell.setBrowserHooks({nullptr, nullptr, [&] { order.push_back("batch stopped"); }, nullptr});
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

}  // namespace
