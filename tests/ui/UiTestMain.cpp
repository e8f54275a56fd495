// The GUI suite's entry: one QuorvexApplication for every test, on the
// offscreen platform unless the caller chose another (screenshots under
// Xvfb use xcb), inside a private home.
#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QPointer>
#include <QPushButton>
#include <QWidget>
#include <QtGlobal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "document/DocumentController.h"
#include "platform/UserDefaults.h"
#include "support/TestSupport.h"
#include "ui/DocumentWindowController.h"
#include "ui/MessageBar.h"
#include "ui/QuorvexApplication.h"

namespace {

// The offscreen platform warns about every window feature it lacks.
QtMessageHandler standardHandler = nullptr;

void quietHandler(QtMsgType type, const QMessageLogContext& context, const QString& message) {
    if (message.startsWith(QStringLiteral("This plugin does not support"))) return;
    standardHandler(type, context, message);
}

// Runs what closing posted, deferred deletes included.
void drainEvents() {
    for (int i = 0; i < 5; ++i) {
        QCoreApplication::processEvents();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
}

// A document window that would not close (its save waits, or its edits
// could not be saved) is closed as the person would: without its edits.
void closeWithoutSaving() {
    auto& controller = DocumentController::sharedDocumentController();
    for (const auto& document : controller.documents()) {
        document->discardSettingsOnClose();
        QPointer<DocumentWindowController> w =
            DocumentWindowController::windowForDocument(document.get());
        if (!w) {
            document->close();
            controller.removeDocument(document);
            continue;
        }
        // A close under way is stopped as the person stops it.
        for (auto* button : w->messageBar()->findChildren<QPushButton*>())
            if (button->isVisible() && button->text() == QStringLiteral("Close Without Saving"))
                button->click();
        if (w && !w->windowHasClosed()) w->window()->close();
    }
}

// After each test, pass or fail, the windows it left showing are closed
// (dialogs and alerts first), and the documents it left open, so that a test
// that stops half-way fails alone rather than again in the tests that count
// windows or documents after it.
class CloseWhatTheTestLeftOpen : public ::testing::EmptyTestEventListener {
    void OnTestEnd(const ::testing::TestInfo& test) override {
        for (int round = 0; round < 4; ++round) {
            QList<QPointer<QWidget>> showing;
            for (QWidget* window : QApplication::topLevelWidgets())
                if (window->isVisible()) showing.append(window);
            if (showing.isEmpty() &&
                DocumentController::sharedDocumentController().documents().empty())
                return;
            for (int i = 0; i < 10 && QApplication::activeModalWidget(); ++i)
                QApplication::activeModalWidget()->close();
            if (round == 0) {
                for (const auto& window : showing)
                    if (window) window->close();
            } else {
                closeWithoutSaving();
            }
            drainEvents();
            // A close waiting for its save answers at once; give it a moment.
            QElapsedTimer waited;
            waited.start();
            while (waited.elapsed() < 500 &&
                   !DocumentController::sharedDocumentController().documents().empty()) {
                QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
                drainEvents();
            }
        }
        // A window that refuses to close (its edits could not be saved) is
        // hidden, and named.
        for (QWidget* window : QApplication::topLevelWidgets())
            if (window->isVisible()) {
                std::fprintf(stderr, "%s.%s left \"%s\" open; hidden\n", test.test_suite_name(),
                             test.name(), qPrintable(window->windowTitle()));
                window->hide();
            }
        drainEvents();
    }
};

}  // namespace

int main(int argc, char** argv) {
    standardHandler = qInstallMessageHandler(quietHandler);
    testsupport::ScratchDir home;
    home.becomeHome();
    platform::UserDefaults::resetStandardForEnvironment();
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    const auto runtime = home.path() / "runtime";
    std::filesystem::create_directories(runtime);
    std::filesystem::permissions(runtime, std::filesystem::perms::owner_all);
    setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
    QuorvexApplication application(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::UnitTest::GetInstance()->listeners().Append(new CloseWhatTheTestLeftOpen);
    return RUN_ALL_TESTS();
}
