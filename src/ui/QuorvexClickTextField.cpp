#include "ui/QuorvexClickTextField.h"

#include <QMouseEvent>

void QuorvexClickTextField::mouseDoubleClickEvent(QMouseEvent* event) {
    if (delegate_) delegate_->lablelDoubleClicked(this);
    emit doubleClicked();
    QLabel::mouseDoubleClickEvent(event);
}
