#include "ui/AlertPresenter.h"

#include <QAbstractButton>
#include <QMessageBox>
#include <QPushButton>

namespace platform {

namespace {

class MessageBoxPresenter : public AlertPresenter {
public:
    void present(const Alert& alert, QWidget* parent, Answer answer) override {
        auto* box = new QMessageBox(parent);
        box->setAttribute(Qt::WA_DeleteOnClose);
        box->setIcon(alert.critical ? QMessageBox::Critical : QMessageBox::Warning);
        box->setText(alert.messageText);
        box->setInformativeText(alert.informativeText);
        box->setWindowModality(parent ? Qt::WindowModal : Qt::ApplicationModal);
        QList<QAbstractButton*> buttons;
        for (const QString& title : alert.buttons)
            buttons.append(box->addButton(title, QMessageBox::AcceptRole));
        if (!buttons.isEmpty()) box->setDefaultButton(qobject_cast<QPushButton*>(buttons.last()));
        QObject::connect(box, &QMessageBox::finished, box, [box, buttons, answer](int) {
            if (answer) answer(static_cast<int>(buttons.indexOf(box->clickedButton())));
        });
        box->open();
    }
};

AlertPresenter*& override() {
    static AlertPresenter* presenter = nullptr;
    return presenter;
}

}  // namespace

AlertPresenter& AlertPresenter::current() {
    static auto* standard = new MessageBoxPresenter;
    return override() ? *override() : *standard;
}

void AlertPresenter::setCurrent(AlertPresenter* presenter) { override() = presenter; }

Alert AlertPresenter::alertForError(const Error& error) {
    Alert alert;
    alert.messageText = QString::fromStdString(error.failureReason);
    alert.informativeText =
        QStringLiteral("%1 (%2)").arg(QString::fromStdString(error.domain)).arg(error.code);
    alert.critical = true;
    return alert;
}

void AlertPresenter::presentError(const Error& error, QWidget* parent, Answer answer) {
    current().present(alertForError(error), parent, std::move(answer));
}

}  // namespace platform
