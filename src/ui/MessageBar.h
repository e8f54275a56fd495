// A band at the top of a window for warnings that change a result (a tag,
// preset, catalog or camera profile set aside): shown without blocking
// work, until the user dismisses it. Each warning is shown once while the
// program runs, in the window of the file it names, else in the active
// window; one that comes while no window has a bar waits for the next.
// GUI thread only, except the handler installInUserWarnings installs.
#pragma once

#include <QFrame>
#include <QString>
#include <QStringList>

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

    // Routes one warning to a bar (see above).
    static void post(const QString& text);
    // Makes warnUser, from any thread, post on the GUI thread; answers the
    // handler it replaces.
    static platform::UserWarningHandler installInUserWarnings();

private:
    bool names(const QString& text) const;

    QString subjectPath_;
    QStringList messages_;
    QLabel* text_ = nullptr;
};
