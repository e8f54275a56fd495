#include "ui/AlertPresenter.h"

#include <QAbstractButton>
#include <QMessageBox>
#include <QPushButton>

#include "platform/Log.h"

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
        for (int i = 0; i < alert.buttons.size(); ++i)
            buttons.append(box->addButton(alert.buttons[i], i == alert.cancelButton
                                                                ? QMessageBox::RejectRole
                                                                : QMessageBox::AcceptRole));
        if (alert.cancelButton >= 0 && alert.cancelButton < buttons.size()) {
            auto* cancel = qobject_cast<QPushButton*>(buttons[alert.cancelButton]);
            box->setDefaultButton(cancel);
            box->setEscapeButton(cancel);
        }
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
    alert.critical = true;
    log("alert: %s", error.description().c_str());
    return alert;
}

void AlertPresenter::presentError(const Error& error, QWidget* parent, Answer answer) {
    current().present(alertForError(error), parent, std::move(answer));
}

}  // namespace platform
