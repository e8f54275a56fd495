#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QKeyEvent>
#include <QLabel>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPushButton>
#include <QTest>
#include <QTextBrowser>
#include <QTimer>
#include <filesystem>
#include <fstream>

#include "UiTestHome.h"
#include "document/ApplicationDefaults.h"
#include "document/PresetManager.h"
#include "engine/MultiDataStore.h"
#include "platform/UserDefaults.h"
#include "platform/UserWarning.h"
#include "ui/ApplicationShell.h"
#include "ui/QuorvexAppDelegate.h"
#include "ui/SplashScreenPanel.h"

namespace fs = std::filesystem;

namespace {

platform::UserDefaults& defaults() { return platform::UserDefaults::standard(); }

TEST(Launch, CrashGuardOverTwoLaunchesAndTheRunningFlag) {
    uitest::UiTestHome home;
    ApplicationDefaults::registerDefaults();
    QuorvexAppDelegate delegate;
    std::vector<std::string> told;
    const auto previous = platform::setUserWarningHandler(
        [&](const std::string& warning) { told.push_back(warning); });

    // A clean first launch only sets the running flag.
    delegate.applicationDidFinishLaunching();
    EXPECT_TRUE(defaults().boolForKey("QuorvexIsRunning"));
    EXPECT_FALSE(defaults().boolForKey("DisableFrameBuffer"));
    EXPECT_FALSE(defaults().boolForKey("DisableImageCache"));
    EXPECT_TRUE(told.empty());

    // The run "crashed" (flag still set): the next launch turns both off and
    // tells the user how to turn them back on.
    delegate.applicationDidFinishLaunching();
    EXPECT_TRUE(defaults().boolForKey("DisableFrameBuffer"));
    EXPECT_TRUE(defaults().boolForKey("DisableImageCache"));
    ASSERT_EQ(told.size(), 1u);
    EXPECT_NE(told[0].find("Preferences › Advanced"), std::string::npos) << told[0];
    EXPECT_NE(told[0].find("Disable the image cache"), std::string::npos) << told[0];

    // The user clears the cache switch; another crashed launch changes nothing more.
    defaults().setBool(false, "DisableImageCache");
    delegate.applicationDidFinishLaunching();
    EXPECT_TRUE(defaults().boolForKey("DisableFrameBuffer"));
    EXPECT_FALSE(defaults().boolForKey("DisableImageCache"));
    EXPECT_EQ(told.size(), 1u);
    platform::setUserWarningHandler(previous);

    delegate.applicationWillTerminate();
    EXPECT_FALSE(defaults().boolForKey("QuorvexIsRunning"));
    EXPECT_FALSE(delegate.applicationShouldOpenUntitledFile());
}

TEST(Launch, SplashFadesOnItsTicksAndIsReleasedAfterThem) {
    QuorvexAppDelegate delegate;
    delegate.startSplashScreenPanel();
    delegate.splashScreenTimer()->stop();  // the test ticks by hand
    delegate.setSplashCanFade(true);       // as under a compositor
    QPointer<SplashScreenPanel> panel = delegate.splashScreenPanel();
    ASSERT_TRUE(panel);
    EXPECT_TRUE(panel->isVisible());
    EXPECT_TRUE(panel->windowFlags() & Qt::FramelessWindowHint);
    EXPECT_TRUE(panel->windowFlags() & Qt::WindowStaysOnTopHint);
    EXPECT_EQ(panel->productText()->text(), QStringLiteral("Quorvex"));
    EXPECT_TRUE(panel->versionText()->text().contains(QApplication::applicationVersion()));
    EXPECT_TRUE(panel->creditsText()->toPlainText().contains("Qt"));

    // Window opacity is kept in 1/255 steps.
    constexpr double kStep = 1.0 / 255;
    for (int tick = 1; tick <= 90; ++tick) delegate.splashTimerFireMethod();
    EXPECT_DOUBLE_EQ(panel->windowOpacity(), 1.0);
    delegate.splashTimerFireMethod();  // 91
    EXPECT_NEAR(panel->windowOpacity(), 139.0 / 140, kStep);
    for (int tick = 92; tick <= 160; ++tick) delegate.splashTimerFireMethod();
    EXPECT_NEAR(panel->windowOpacity(), 70.0 / 140, kStep);
    for (int tick = 161; tick <= 230; ++tick) delegate.splashTimerFireMethod();
    EXPECT_EQ(delegate.splashScreenCountDown(), 0);
    EXPECT_NEAR(panel->windowOpacity(), 0.0, kStep);
    ASSERT_TRUE(panel);
    delegate.splashTimerFireMethod();  // 231
    EXPECT_FALSE(panel);
    EXPECT_FALSE(delegate.splashScreenTimer()->isActive());
}

// The offscreen platform cannot show translucency, as an X server without a
// compositor cannot: an opaque panel fading for seven seconds would only hide
// the windows, so it goes after its opaque part.
TEST(Launch, WithoutTranslucencyTheSplashEndsAfterItsOpaquePart) {
    QuorvexAppDelegate delegate;
    delegate.startSplashScreenPanel();
    delegate.splashScreenTimer()->stop();
    EXPECT_FALSE(SplashScreenPanel::windowsCanBeTranslucent());
    EXPECT_FALSE(delegate.splashCanFade());
    QPointer<SplashScreenPanel> panel = delegate.splashScreenPanel();
    for (int tick = 1; tick <= 90; ++tick) delegate.splashTimerFireMethod();
    ASSERT_TRUE(panel);
    EXPECT_TRUE(panel->isVisible());
    EXPECT_DOUBLE_EQ(panel->windowOpacity(), 1.0);
    delegate.splashTimerFireMethod();  // 91
    EXPECT_FALSE(panel);
    EXPECT_FALSE(delegate.splashScreenTimer()->isActive());
}

// The splash floats above every window: an alert opening under it would look
// like a hung program.
TEST(Launch, AnAlertOrdersTheSplashOut) {
    QuorvexAppDelegate delegate;
    delegate.startSplashScreenPanel();
    delegate.splashScreenTimer()->stop();
    QPointer<SplashScreenPanel> panel = delegate.splashScreenPanel();
    ASSERT_TRUE(panel && panel->isVisible());
    platform::AlertPresenter::presentError({"QuorvexErrorDomain", -4, "Refused."});
    QMessageBox* box = uitest::openAlert();
    ASSERT_TRUE(box);
    EXPECT_FALSE(panel->isVisible());

    // Nor does it come over an alert that opened before it.
    delegate.startSplashScreenPanel();
    delegate.splashScreenTimer()->stop();
    ASSERT_TRUE(panel);
    EXPECT_FALSE(panel->isVisible());
    EXPECT_EQ(uitest::openAlert(), box);
    box->close();
    uitest::settle();
    delete panel.data();
}

TEST(Launch, SplashIsScheduledOneSecondAfterLaunch) {
    uitest::UiTestHome home;
    QuorvexAppDelegate delegate;
    QElapsedTimer clock;
    clock.start();
    delegate.applicationDidFinishLaunching();
    EXPECT_FALSE(delegate.splashScreenPanel());
    QTest::qWait(700);
    if (clock.elapsed() < 950) {
        EXPECT_FALSE(delegate.splashScreenPanel());
    }
    ASSERT_TRUE(uitest::spinUntil([&] { return delegate.splashScreenPanel() != nullptr; },
                                  std::chrono::seconds(3)));
    EXPECT_TRUE(delegate.splashScreenTimer()->isActive());
    delegate.splashScreenTimer()->stop();
    delete delegate.splashScreenPanel();
}

TEST(Launch, ClickOrKeyOrdersTheSplashOut) {
    for (int how = 0; how < 3; ++how) {
        SplashScreenPanel panel;
        panel.show();
        ASSERT_TRUE(panel.isVisible());
        if (how == 0)
            QTest::mouseClick(&panel, Qt::LeftButton);
        else if (how == 1)
            QTest::keyClick(&panel, Qt::Key_A);
        else  // on the credits, a child of the panel
            QTest::mouseClick(panel.creditsText()->viewport(), Qt::RightButton);
        EXPECT_FALSE(panel.isVisible()) << how;
    }
    // A plain move over it does not.
    SplashScreenPanel panel;
    panel.show();
    QTest::mouseMove(&panel, QPoint(10, 10));
    EXPECT_TRUE(panel.isVisible());
}

TEST(Launch, MissingCreditsGiveTheOneLineCredit) {
    SplashScreenPanel panel(QStringLiteral(":/NoSuchCredits.html"));
    EXPECT_EQ(panel.creditsText()->toPlainText(), SplashScreenPanel::oneLineCredit());
    EXPECT_NE(SplashScreenPanel::creditsHtml(), SplashScreenPanel::oneLineCredit());
}

class Reset : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(PresetManager::sharedPresetManager().presetDirectory());
        ASSERT_EQ(PresetManager::sharedPresetManager().presetList(false).size(), 4u);
        auto catalog = MultiDataStore::sharedMultiDataStore().dataStoreForStore("Catalog");
        catalogFile = *catalog->storeFilePath();
        fs::create_directories(catalogFile.parent_path());
        std::ofstream(catalogFile) << "<plist/>";
    }
    void reset() {
        platform::ApplicationShell::shared().resetQuorvex();
        uitest::settle();
    }
    uitest::UiTestHome home;
    fs::path catalogFile;
};

TEST_F(Reset, CancelDeletesNothing) {
    uitest::ScriptedAlerts alerts(0);
    reset();
    ASSERT_EQ(alerts.shown.size(), 1u);
    const platform::Alert& alert = alerts.shown[0];
    EXPECT_EQ(alert.messageText, QStringLiteral("Warning: resetting can't be undone"));
    EXPECT_EQ(alert.informativeText,
              QStringLiteral("Resetting will delete the image catalog, losing all of your "
                             "previous edits, and delete all existing presets."));
    EXPECT_EQ(alert.buttons, (QStringList{"Cancel", "Go ahead and reset"}));
    EXPECT_EQ(PresetManager::sharedPresetManager().presetList(false).size(), 4u);
    EXPECT_TRUE(fs::exists(catalogFile));
}

// Through the real alert box: a key pressed without reading never resets.
TEST_F(Reset, ReturnAndEscapeChooseCancel) {
    for (const Qt::Key key : {Qt::Key_Return, Qt::Key_Enter, Qt::Key_Escape}) {
        reset();
        QMessageBox* box = uitest::openAlert();
        ASSERT_TRUE(box);
        EXPECT_EQ(box->defaultButton()->text(), QStringLiteral("Cancel"));
        QTest::keyClick(box, key);
        uitest::settle();
        EXPECT_FALSE(uitest::openAlert()) << key;
        EXPECT_EQ(PresetManager::sharedPresetManager().presetList(false).size(), 4u) << key;
        EXPECT_TRUE(fs::exists(catalogFile)) << key;
    }
    reset();
    QMessageBox* box = uitest::openAlert();
    ASSERT_TRUE(box);
    for (QAbstractButton* button : box->buttons())
        if (button->text() == QStringLiteral("Go ahead and reset")) button->click();
    uitest::settle();
    EXPECT_TRUE(PresetManager::sharedPresetManager().presetList(false).empty());
    EXPECT_FALSE(fs::exists(catalogFile));
}

TEST_F(Reset, GoAheadDeletesPresetsAndCatalog) {
    uitest::ScriptedAlerts alerts(1);
    reset();
    EXPECT_EQ(alerts.shown.size(), 1u);  // no error alert
    EXPECT_TRUE(PresetManager::sharedPresetManager().presetList(false).empty());
    EXPECT_FALSE(fs::exists(catalogFile));
}

TEST_F(Reset, AFailureIsAlertedAndThePresetsStillGo) {
    // A catalog that cannot be removed: a folder with something in it.
    fs::remove(catalogFile);
    fs::create_directories(catalogFile / "inside");
    uitest::ScriptedAlerts alerts(1);
    reset();
    ASSERT_EQ(alerts.shown.size(), 2u);
    EXPECT_TRUE(alerts.shown[1].messageText.contains("Could not remove"));
    EXPECT_TRUE(PresetManager::sharedPresetManager().presetList(false).empty());
}

}  // namespace
