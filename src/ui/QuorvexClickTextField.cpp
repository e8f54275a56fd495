#include "ui/QuorvexClickTextField.h"

#include <QMouseEvent>

void QuorvexClickTextField::mouseDoubleClickEvent(QMouseEvent* event) {
    if (delegate_) delegate_->labelDoubleClicked(this);
    emit doubleClicked();
    QLabel::mouseDoubleClickEvent(event);
}
