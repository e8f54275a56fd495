#include "ui/QuorvexApplication.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QAction>
#include <QKeyEvent>
#include <QSocketNotifier>
#include <QWidget>
#include <csignal>

#include "platform/Dispatch.h"
#include "platform/Log.h"
#include "platform/Version.h"
#include "ui/ApplicationShell.h"
#include "ui/KeyEquivalents.h"
#include "ui/MainQueueWaker.h"

namespace {

int signalPipe[2] = {-1, -1};

void onTerminationSignal(int) {
    const char byte = 1;
    const int saved = errno;
    [[maybe_unused]] const ssize_t written = ::write(signalPipe[1], &byte, 1);
    errno = saved;
}

}  // namespace

QuorvexApplication::QuorvexApplication(int& argc, char** argv) : QApplication(argc, argv) {
    if (!platform::isMainThread())
        platform::log("%s warning - not on the initial thread", "QuorvexApplication");
    setApplicationName(QStringLiteral("Quorvex"));
    setApplicationDisplayName(QStringLiteral("Quorvex"));
    setApplicationVersion(QString::fromLatin1(platform::kProgramVersion));
    setOrganizationName(QStringLiteral("Quorvex"));
    setAttribute(Qt::AA_DontUseNativeDialogs);
    platform::MainQueueWaker::install();
}

QuorvexApplication::~QuorvexApplication() {
    platform::MainQueueWaker::uninstall();
    if (signalNotifier_) {
        for (int sig : {SIGTERM, SIGINT, SIGHUP}) std::signal(sig, SIG_DFL);
        delete signalNotifier_;
        ::close(signalPipe[0]);
        ::close(signalPipe[1]);
        signalPipe[0] = signalPipe[1] = -1;
    }
}

void QuorvexApplication::watchTerminationSignals() {
    if (signalNotifier_) return;
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, signalPipe) != 0) {
        platform::log("%s cannot watch signals", "QuorvexApplication");
        return;
    }
    signalNotifier_ = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, this);
    connect(signalNotifier_, &QSocketNotifier::activated, this, [this] {
        char buffer[16];
        while (::read(signalPipe[0], buffer, sizeof buffer) > 0) {
        }
        emit terminationRequested();
    });
    struct sigaction action = {};
    action.sa_handler = onTerminationSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int sig : {SIGTERM, SIGINT, SIGHUP}) ::sigaction(sig, &action, nullptr);
}

// A menu's Ctrl chord goes to its action even in a text field, where the
// platform's key bindings may take it as a cursor move (Ctrl+E: to the end of
// the line). The field still gets chords no enabled action carries.
bool QuorvexApplication::menuTakesChord(const QKeyEvent& key) {
    if (!(key.modifiers() & Qt::ControlModifier)) return false;
    const QKeySequence chord(key.keyCombination());
    for (const QAction* action : platform::ApplicationShell::shared().actions())
        if (action->isEnabled() && action->shortcuts().contains(chord)) return true;
    return false;
}

bool QuorvexApplication::notify(QObject* receiver, QEvent* event) {
    if (event->type() == QEvent::ShortcutOverride && receiver->isWidgetType() &&
        menuTakesChord(*static_cast<QKeyEvent*>(event))) {
        event->ignore();
        return false;
    }
    if (event->type() == QEvent::KeyPress && receiver->isWidgetType()) {
        auto* key = static_cast<QKeyEvent*>(event);
        const auto rewritten = platform::rewriteKeyEquivalent({key->key(), key->modifiers()});
        if (rewritten) {
            // The incoming key becomes the text; the table's key the key code.
            const QString text = QString(QChar(key->key())).toLower();
            QKeyEvent replacement(QEvent::KeyPress, rewritten->key, rewritten->modifiers,
                                  key->nativeScanCode(), key->nativeVirtualKey(),
                                  key->nativeModifiers(), text, key->isAutoRepeat(),
                                  static_cast<quint16>(key->count()), key->device());
            replacement.setTimestamp(key->timestamp());
            replacement.setAccepted(key->isAccepted());
            const bool handled = QApplication::notify(receiver, &replacement);
            key->setAccepted(replacement.isAccepted());
            return handled;
        }
    }
    return QApplication::notify(receiver, event);
}
