// Alerts go through one presenter so tests can answer them. The default
// presenter shows a window-modal (or application-modal without a parent)
// QMessageBox opened with open(), never exec(): a task of the main queue must
// not start a nested event loop. The answer arrives later, with the index of
// the button chosen (in the order given), on the GUI thread. Return and
// Escape choose the alert's cancel button (the only one when there is one),
// so a key pressed without reading never runs the destructive choice.
#pragma once

#include <QString>
#include <QStringList>
#include <functional>

#include "platform/Error.h"

class QWidget;

namespace platform {

struct Alert {
    QString messageText;
    QString informativeText;
    QStringList buttons{QStringLiteral("OK")};
    // The button Return and Escape choose: never a destructive one.
    int cancelButton = 0;
    bool critical = false;
};

class AlertPresenter {
public:
    using Answer = std::function<void(int buttonIndex)>;
    virtual ~AlertPresenter() = default;
    virtual void present(const Alert& alert, QWidget* parent, Answer answer) = 0;

    // The presenter in use (the QMessageBox one unless a test set another).
    static AlertPresenter& current();
    // Not owned; null restores the default.
    static void setCurrent(AlertPresenter* presenter);

    // An alert made from an error: its reason as message. The domain and
    // code mean nothing to the user; they go to the log.
    static Alert alertForError(const Error& error);
    static void presentError(const Error& error, QWidget* parent = nullptr,
                             Answer answer = nullptr);
};

}  // namespace platform
