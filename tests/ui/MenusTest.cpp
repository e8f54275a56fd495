// Every top-level window carries the application's menus and their keys: a
// user who starts without files meets only the browser.
#include <gtest/gtest.h>

#include <QApplication>
#include <QDialog>
#include <QMainWindow>
#include <QMenu>
#include <QMenuBar>
#include <QTest>
#include <QTextBrowser>

#include "UiTestHome.h"
#include "ui/ApplicationShell.h"
#include "ui/BrowserWindowController.h"
#include "ui/InspectorController.h"

namespace {

QSet<QAction*> menuBarActions(const QMenuBar* bar) {
    QSet<QAction*> found;
    for (QAction* title : bar->actions())
        if (title->menu())
            for (QAction* item : title->menu()->actions())
                if (!item->isSeparator()) found.insert(item);
    return found;
}

// Windows a user works in; dialogs, menus, popovers and the splash are not.
bool isWorkWindow(const QWidget* widget) {
    return widget->isVisible() && !qobject_cast<const QDialog*>(widget) &&
           !qobject_cast<const QMenu*>(widget) &&
           !(widget->windowFlags() & Qt::FramelessWindowHint);
}

void pressInto(QWidget* window, int key, Qt::KeyboardModifiers modifiers) {
    window->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(window));
    const QString text = QString(QChar(key)).toLower();
    QTest::sendKeyEvent(QTest::Press, window, Qt::Key(key), text, modifiers);
    QTest::sendKeyEvent(QTest::Release, window, Qt::Key(key), text, modifiers);
    uitest::settle();
}

TEST(Menus, EveryTopLevelWindowCarriesTheMenusAndTheirKeys) {
    uitest::UiTestHome home;
    BrowserWindowController::installBrowserHooks();
    InspectorController::installInspectorHooks();
    auto& shell = platform::ApplicationShell::shared();
    shell.showBrowser();
    shell.showPreferences();
    shell.showPresets();
    shell.showProfiles();
    shell.showInspector();
    shell.showQuickReference();
    shell.showHelp();
    uitest::settle();

    const QList<QAction*> all = shell.actions();
    ASSERT_FALSE(all.isEmpty());
    QStringList checked;
    for (QWidget* window : QApplication::topLevelWidgets()) {
        if (!isWorkWindow(window)) continue;
        checked << window->objectName();
        const QMenuBar* bar = window->findChild<QMenuBar*>();
        ASSERT_TRUE(bar) << window->objectName().toStdString();
        EXPECT_TRUE(bar->isVisibleTo(window)) << window->objectName().toStdString();
        const QSet<QAction*> inBar = menuBarActions(bar);
        const QList<QAction*> keys = window->actions();
        for (QAction* action : all) {
            EXPECT_TRUE(inBar.contains(action))
                << window->objectName().toStdString() << " " << action->objectName().toStdString();
            EXPECT_TRUE(keys.contains(action))
                << window->objectName().toStdString() << " " << action->objectName().toStdString();
        }
    }
    checked.sort();
    EXPECT_EQ(checked, (QStringList{"Browser", "Inspector", "Preferences", "PresetWindow",
                                    "ProfileWindow", "QuickReference", "UserGuide"}));

    // The launch window's keys reach the items.
    for (QWidget* window : QApplication::topLevelWidgets())
        if (window != &BrowserWindowController::shared()) window->hide();
    QWidget* browser = &BrowserWindowController::shared();
    pressInto(browser, Qt::Key_Comma, Qt::ControlModifier);
    EXPECT_TRUE(shell.preferences().isVisible());
    shell.preferences().hide();
    pressInto(browser, Qt::Key_I, Qt::ControlModifier);
    EXPECT_TRUE(InspectorController::shared(false)->isVisible());
    InspectorController::shared(false)->hide();
    pressInto(browser, Qt::Key_F1, Qt::NoModifier);
    EXPECT_TRUE(shell.quickReferenceView()->window()->isVisible());
    for (QWidget* window : QApplication::topLevelWidgets()) window->hide();
}

// Help shows the guide shipped inside the program; no item leads to an
// address that does not exist.
TEST(Menus, HelpShowsTheShippedGuideAndNoPlaceholderAddresses) {
    auto& shell = platform::ApplicationShell::shared();
    EXPECT_FALSE(shell.action("showWebSite:"));
    EXPECT_FALSE(shell.action("showContactUs:"));
    ASSERT_TRUE(shell.sendAction("showHelp:"));
    ASSERT_TRUE(shell.helpView());
    EXPECT_TRUE(shell.helpView()->window()->isVisible());
    const QString text = shell.helpView()->toPlainText();
    EXPECT_TRUE(text.contains("Quorvex user guide")) << text.left(200).toStdString();
    EXPECT_TRUE(text.contains("Exporting"));
    EXPECT_FALSE(text.contains("example.org"));
    // Cropping as the overlay does it: the corner nearest the press moves.
    EXPECT_FALSE(text.contains("drag inside it to move it"));
    EXPECT_TRUE(text.contains("corner of the frame nearest to where you"));
    shell.helpView()->window()->hide();
}

}  // namespace
