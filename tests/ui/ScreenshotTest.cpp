// Pictures of the shell's windows for a person to look at, saved as PNG in
// $QUORVEX_SCREENSHOTS. Under Xvfb (scripts/screenshots.sh, platform xcb)
// they are the X server's pixels of the real windows; offscreen, the
// widgets' own rendering.
#include <gtest/gtest.h>

#include <QGuiApplication>
#include <QLabel>
#include <QPixmap>
#include <QScreen>
#include <QScrollBar>
#include <QSet>
#include <QTableWidget>
#include <QTest>
#include <QTextBrowser>
#include <QWidget>
#include <cstdlib>
#include <filesystem>

#include "UiTestHome.h"
#include "ui/ApplicationShell.h"
#include "ui/BackGroundView.h"
#include "ui/OverlayScrollView.h"
#include "ui/QuorvexClickTextField.h"
#include "ui/SpinningProgressIndicator.h"
#include "ui/SplashScreenPanel.h"

namespace fs = std::filesystem;

namespace {

QPixmap capture(QWidget& window) {
    window.show();
    window.raise();
    EXPECT_TRUE(QTest::qWaitForWindowExposed(&window));
    QTest::qWait(200);
    if (QGuiApplication::platformName() == QLatin1String("xcb"))
        return window.screen()->grabWindow(window.winId());
    return window.grab();
}

void save(QWidget& window, const char* name) {
    const QPixmap picture = capture(window);
    ASSERT_FALSE(picture.isNull()) << name;
    EXPECT_GT(picture.width(), 200);
    // Something is drawn: text and controls give many colours.
    const QImage image = picture.toImage();
    QSet<QRgb> colours;
    for (int y = 0; y < image.height(); y += 2)
        for (int x = 0; x < image.width(); x += 2) colours.insert(image.pixel(x, y));
    EXPECT_GT(colours.size(), 16) << name;
    const char* folder = std::getenv("QUORVEX_SCREENSHOTS");
    if (!folder) return;
    fs::create_directories(folder);
    EXPECT_TRUE(picture.save(QString::fromLocal8Bit(folder) + "/" + name + ".png")) << name;
}

TEST(Screenshots, ShellWindows) {
    uitest::UiTestHome home;
    auto& shell = platform::ApplicationShell::shared();

    SplashScreenPanel splash;
    save(splash, "splash");
    splash.close();

    PreferencesController& preferences = shell.preferences();
    preferences.selectTab0();
    save(preferences, "preferences-general");
    preferences.selectTab4();
    save(preferences, "preferences-advanced");
    preferences.close();

    PresetWindowController& presets = shell.presets();
    presets.loadTable();
    save(presets, "presets");
    presets.close();

    // The screen at launch: the splash over the first window (real X pixels only).
    if (QGuiApplication::platformName() == QLatin1String("xcb")) {
        presets.move(40, 40);
        presets.show();
        SplashScreenPanel launchSplash;
        launchSplash.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&launchSplash));
        QTest::qWait(300);
        const QPixmap screen = QGuiApplication::primaryScreen()->grabWindow(0, 0, 0, 1400, 900);
        if (const char* folder = std::getenv("QUORVEX_SCREENSHOTS")) {
            EXPECT_TRUE(screen.save(QString::fromLocal8Bit(folder) + "/launch.png"));
        }
        presets.close();
    }

    shell.showQuickReference();
    save(*shell.quickReferenceView()->window(), "quick-reference");
    shell.quickReferenceView()->window()->close();
    shell.showHelp();
    save(*shell.helpView()->window(), "user-guide");
    shell.helpView()->window()->close();

    ProfileController& profiles = shell.profiles();
    QStringList files;
    for (const auto& entry : fs::directory_iterator(testsupport::testdataDir() / "dcp" / "set-a"))
        files << QString::fromStdString(entry.path().string());
    files.sort();
    profiles.importFiles(files);
    profiles.table()->selectRow(1);
    save(profiles, "profiles");
    profiles.close();
}

TEST(Screenshots, SmallControls) {
    QWidget board;
    board.setWindowTitle(QStringLiteral("Controls"));
    board.resize(420, 200);
    auto* background = new BackGroundView(&board);
    background->setBg(QColor(40, 44, 52));
    background->setGeometry(0, 0, 420, 200);

    auto* spinning = new SpinningProgressIndicator(&board);
    spinning->setGeometry(20, 20, 80, 80);
    auto* determinate = new SpinningProgressIndicator(&board);
    determinate->setGeometry(120, 20, 80, 80);
    determinate->setDoubleValue(25);

    auto* scroll = new OverlayScrollView(&board);
    auto* content = new QLabel;
    content->setText(QStringLiteral("Scrolled text\n").repeated(60));
    content->setStyleSheet(QStringLiteral("background: white; padding: 6px"));
    scroll->setWidget(content);
    scroll->setGeometry(220, 20, 180, 160);

    auto* label = new QuorvexClickTextField(QStringLiteral("Double-click resets"), &board);
    label->setStyleSheet(QStringLiteral("color: white"));
    label->setGeometry(20, 130, 180, 20);

    board.show();
    spinning->startAnimation();
    for (int i = 0; i < 8; ++i) spinning->updateFrame();
    scroll->verticalScrollBar()->setValue(200);  // the knob shows
    save(board, "controls");
    spinning->actuallyStopAnimation();
}

}  // namespace
