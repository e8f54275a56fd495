// A band at the top of a window for warnings that change a result (a tag,
// preset, catalog or camera profile set aside): shown without blocking
// work, until the user dismisses it or the warning is withdrawn (the notice
// of a wait that ended). Each warning is shown once while it holds, in the
// window of the file it names, else in the active window; one that comes
// while no window has a bar waits for the next. A question with buttons may
// stand below the warnings until it is answered or withdrawn.
// GUI thread only, except the handler installInUserWarnings installs.
#pragma once

#include <QFrame>
#include <QString>
#include <QStringList>
#include <functional>

#include "platform/UserWarning.h"

class QLabel;

class MessageBar : public QFrame {
public:
    // `subjectPath`: the file the window shows (empty: none).
    explicit MessageBar(QString subjectPath, QWidget* parent = nullptr);
    ~MessageBar() override;

    QStringList messages() const { return messages_; }
    void addMessage(const QString& text);
    // Hides the bar and forgets its messages.
    void dismiss();
    // One question at a time; `answer` gets the index of the button chosen.
    void ask(const QString& text, const QStringList& buttons, std::function<void(int)> answer);
    void withdrawQuestion();
    bool asking() const;

    // Routes one warning to a bar (see above).
    static void post(const QString& text);
    // Shows a warning in this bar (once), also when another bar shows it:
    // a post of it later finds it shown.
    void postHere(const QString& text);
    // Takes a warning away from this bar only (what it said no longer
    // holds here; another window may still wait for the same).
    void removeMessage(const QString& text);
    // Takes a warning away from every bar.
    static void withdraw(const QString& text);
    // Makes warnUser and withdrawUserWarning, from any thread, post and
    // withdraw on the GUI thread; answers the warning handler it replaces.
    static platform::UserWarningHandler installInUserWarnings();

private:
    bool names(const QString& text) const;
    void showMessages();

    QString subjectPath_;
    QStringList messages_;
    QLabel* text_ = nullptr;
    QWidget* question_ = nullptr;
};
