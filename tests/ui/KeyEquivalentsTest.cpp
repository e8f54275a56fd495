#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMainWindow>
#include <QSignalSpy>
#include <QTest>

#include "UiTestHome.h"
#include "document/DocumentController.h"
#include "platform/NotificationCenter.h"
#include "ui/ApplicationShell.h"
#include "ui/KeyEquivalents.h"
#include "ui/QuorvexApplication.h"

namespace {

using platform::KeyChord;
using platform::rewriteKeyEquivalent;

constexpr auto kCtrl = Qt::ControlModifier;
constexpr auto kAlt = Qt::AltModifier;
constexpr auto kMeta = Qt::MetaModifier;

TEST(KeyEquivalents, TablesRewriteOnlyTheirChords) {
    EXPECT_EQ(rewriteKeyEquivalent({Qt::Key_0, kCtrl | kAlt}), (KeyChord{Qt::Key_1, kCtrl}));
    EXPECT_EQ(rewriteKeyEquivalent({Qt::Key_S, kCtrl}), (KeyChord{Qt::Key_E, kCtrl}));
    EXPECT_EQ(rewriteKeyEquivalent({Qt::Key_0, kCtrl}), (KeyChord{Qt::Key_F, kCtrl}));
    for (int dash : {int(Qt::Key_Underscore), int(Qt::Key_macron), 0x2013, 0x2014, 0x2012, 0x2212})
        EXPECT_EQ(rewriteKeyEquivalent({dash, kCtrl}), (KeyChord{Qt::Key_Minus, kCtrl})) << dash;
    // Other modifiers ride along; Shift typed for "_" stays.
    EXPECT_EQ(rewriteKeyEquivalent({Qt::Key_Underscore, kCtrl | Qt::ShiftModifier}),
              (KeyChord{Qt::Key_Minus, kCtrl | Qt::ShiftModifier}));
    // Control (Meta) is not Command; Option without Command does nothing;
    // Command-Option only knows "0".
    EXPECT_FALSE(rewriteKeyEquivalent({Qt::Key_S, kMeta}));
    EXPECT_FALSE(rewriteKeyEquivalent({Qt::Key_0, kAlt}));
    EXPECT_FALSE(rewriteKeyEquivalent({Qt::Key_S, kCtrl | kAlt}));
    EXPECT_FALSE(rewriteKeyEquivalent({Qt::Key_A, kCtrl}));
    EXPECT_FALSE(rewriteKeyEquivalent({Qt::Key_0, Qt::NoModifier}));

    const auto minus = platform::keyEquivalentSources(QKeySequence(Qt::CTRL | Qt::Key_Minus));
    EXPECT_EQ(minus.size(), 6);
    EXPECT_TRUE(minus.contains(QKeySequence(QKeyCombination(kCtrl, Qt::Key(0x2013)))));
    EXPECT_EQ(platform::keyEquivalentSources(QKeySequence(Qt::CTRL | Qt::Key_1)),
              QList<QKeySequence>{QKeySequence(Qt::CTRL | Qt::ALT | Qt::Key_0)});
    EXPECT_TRUE(platform::keyEquivalentSources(QKeySequence(Qt::CTRL | Qt::Key_Q)).isEmpty());
}

// A document-like window that answers the view and export actions.
class Responder : public QMainWindow {
    Q_OBJECT
public:
    QStringList calls;
public slots:
    void zoomImageToActualSize() { calls << "actual"; }
    void exportAsSelected() { calls << "export"; }
    void zoomIn() { calls << "in"; }
    void zoomOut() { calls << "out"; }
    void zoomImageToFit() { calls << "fit"; }
};

// A plain widget that records the key presses that reach it.
class KeyRecorder : public QWidget {
public:
    QList<QPair<int, Qt::KeyboardModifiers>> keys;
    QStringList texts;

protected:
    void keyPressEvent(QKeyEvent* event) override {
        keys.append({event->key(), event->modifiers()});
        texts.append(event->text());
    }
};

// A field whose key bindings take every Ctrl chord, as the X11 ones take
// Ctrl+E (to the end of the line).
class GreedyField : public QLineEdit {
public:
    using QLineEdit::QLineEdit;

protected:
    bool event(QEvent* event) override {
        if (event->type() == QEvent::ShortcutOverride &&
            (static_cast<QKeyEvent*>(event)->modifiers() & Qt::ControlModifier)) {
            event->accept();
            return true;
        }
        return QLineEdit::event(event);
    }
};

class ShellKeys : public ::testing::Test {
protected:
    void SetUp() override {
        auto& shell = platform::ApplicationShell::shared();
        shell.installMenuBar(&window);
        window.resize(300, 200);
        window.show();
        window.activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
        window.setFocus();
    }
    void TearDown() override {
        platform::NotificationCenter::defaultCenter().post("TARNWisp_EnableMenus");
        uitest::settle();
    }
    // Through the shortcut map as a real key press goes (ShortcutOverride first).
    void press(int key, Qt::KeyboardModifiers modifiers) {
        const QString text = QString(QChar(key)).toLower();
        QTest::sendKeyEvent(QTest::Press, &window, Qt::Key(key), text, modifiers);
        QTest::sendKeyEvent(QTest::Release, &window, Qt::Key(key), text, modifiers);
    }
    Responder window;
};

TEST_F(ShellKeys, RewrittenKeysReachTheMenuActions) {
    press(Qt::Key_0, kCtrl | kAlt);
    press(Qt::Key_1, kCtrl);
    press(Qt::Key_S, kCtrl);
    press(Qt::Key_E, kCtrl);
    press(0x2013, kCtrl);
    press(Qt::Key_Minus, kCtrl);
    press(Qt::Key_0, kCtrl);
    press(Qt::Key_S, kMeta);  // Control-S: nothing
    EXPECT_EQ(window.calls,
              (QStringList{"actual", "actual", "export", "export", "out", "out", "fit"}));
}

// After a value typed into a field and Return, Ctrl+E exports as Ctrl+S
// does, though a text field's own bindings would take it as a cursor move;
// a chord no menu carries still reaches the field.
TEST_F(ShellKeys, MenuChordsReachTheirActionsFromATextField) {
    auto* field = new GreedyField(&window);
    window.setCentralWidget(field);
    field->setFocus();
    uitest::settle();
    QTest::keyClicks(field, QStringLiteral("0.50"));
    QTest::keyClick(field, Qt::Key_Return);
    for (int key : {Qt::Key_E, Qt::Key_S}) {
        QTest::sendKeyEvent(QTest::Press, field, Qt::Key(key), QString(QChar(key)).toLower(),
                            kCtrl);
        QTest::sendKeyEvent(QTest::Release, field, Qt::Key(key), QString(QChar(key)).toLower(),
                            kCtrl);
    }
    EXPECT_EQ(window.calls, (QStringList{"export", "export"}));
    field->setCursorPosition(4);
    QTest::keyClick(field, Qt::Key_Home);
    QTest::keyClick(field, Qt::Key_A, kCtrl);  // select all: no menu's
    EXPECT_EQ(field->selectedText(), QStringLiteral("0.50"));
    EXPECT_EQ(window.calls.size(), 2);
}

// Zoom takes the platform's keys: "+" and "=" with Ctrl, keypad ones too.
TEST_F(ShellKeys, ZoomTakesPlusEqualsAndTheKeypad) {
    press(Qt::Key_Equal, kCtrl);
    press(Qt::Key_Plus, kCtrl);
    press(Qt::Key_Plus, kCtrl | Qt::KeypadModifier);
    press(Qt::Key_Minus, kCtrl | Qt::KeypadModifier);
    const auto zoomIn = QKeySequence::keyBindings(QKeySequence::ZoomIn);
    for (const QKeySequence& keys : zoomIn) press(keys[0].key(), keys[0].keyboardModifiers());
    EXPECT_EQ(window.calls,
              QStringList({"in", "in", "in", "out"}) + QStringList(zoomIn.size(), "in"));
}

// No window with menu actions is active here, so no shortcut takes the keys.
TEST(KeyEquivalents, NotifyRewritesKeyPressesThatReachWidgets) {
    KeyRecorder recorder;
    QKeyEvent commandS(QEvent::KeyPress, Qt::Key_S, kCtrl, QStringLiteral("\x13"));
    QApplication::sendEvent(&recorder, &commandS);
    QKeyEvent commandOption0(QEvent::KeyPress, Qt::Key_0, kCtrl | kAlt, QString());
    QApplication::sendEvent(&recorder, &commandOption0);
    QKeyEvent controlS(QEvent::KeyPress, Qt::Key_S, kMeta, QString());
    QApplication::sendEvent(&recorder, &controlS);
    ASSERT_EQ(recorder.keys.size(), 3);
    EXPECT_EQ(recorder.keys[0], qMakePair(int(Qt::Key_E), Qt::KeyboardModifiers(kCtrl)));
    EXPECT_EQ(recorder.texts[0], QStringLiteral("s"));
    EXPECT_EQ(recorder.keys[1], qMakePair(int(Qt::Key_1), Qt::KeyboardModifiers(kCtrl)));
    EXPECT_EQ(recorder.keys[2], qMakePair(int(Qt::Key_S), Qt::KeyboardModifiers(kMeta)));
}

TEST_F(ShellKeys, DisabledMenusLeaveOnlyQuitAndAbout) {
    auto& shell = platform::ApplicationShell::shared();
    QSignalSpy quit(&shell, &platform::ApplicationShell::terminateRequested);
    auto& center = platform::NotificationCenter::defaultCenter();

    center.post("TARNWisp_DisableMenus");
    uitest::settle();
    EXPECT_FALSE(DocumentController::sharedDocumentController().menusActive());
    for (QAction* action : shell.actions()) {
        const bool always = action->objectName() == "terminate:" ||
                            action->objectName() == "orderFrontStandardAboutPanel:";
        EXPECT_EQ(action->isEnabled(), always) << action->objectName().toStdString();
    }
    press(Qt::Key_1, kCtrl);
    press(Qt::Key_0, kCtrl | kAlt);
    shell.action("exportAsSelected:")->trigger();
    EXPECT_TRUE(window.calls.isEmpty());
    press(Qt::Key_Q, kCtrl);
    shell.action("terminate:")->trigger();
    EXPECT_EQ(quit.count(), 2);

    center.post("TARNWisp_EnableMenus");
    uitest::settle();
    // Enabled again, each item that some responder here implements.
    for (QAction* action : shell.actions())
        EXPECT_EQ(action->isEnabled(), shell.responderFor(action->objectName()) != nullptr ||
                                           action->objectName() == "performClose:")
            << action->objectName().toStdString();
    EXPECT_TRUE(shell.action("exportAsSelected:")->isEnabled());
    press(Qt::Key_1, kCtrl);
    shell.action("exportAsSelected:")->trigger();
    EXPECT_EQ(window.calls, (QStringList{"actual", "export"}));
}

}  // namespace

#include "KeyEquivalentsTest.moc"
