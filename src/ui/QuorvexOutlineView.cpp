#include "ui/QuorvexOutlineView.h"

#include <QAbstractSpinBox>
#include <QEvent>
#include <QLineEdit>

QuorvexOutlineView::QuorvexOutlineView(QWidget* parent) : QTreeWidget(parent) {}

bool QuorvexOutlineView::validateProposedFirstResponder(const QWidget* responder) {
    return qobject_cast<const QAbstractSpinBox*>(responder) ||
           qobject_cast<const QLineEdit*>(responder);
}

void QuorvexOutlineView::setItemWidget(QTreeWidgetItem* item, int column, QWidget* widget) {
    QTreeWidget::setItemWidget(item, column, widget);
    if (!widget) return;
    // Every focusable control inside the item, however deep, takes the focus.
    QList<QWidget*> controls = widget->findChildren<QWidget*>();
    controls.prepend(widget);
    for (QWidget* control : controls) {
        if (!validateProposedFirstResponder(control)) continue;
        control->setFocusPolicy(Qt::StrongFocus);
        control->installEventFilter(this);
    }
}

bool QuorvexOutlineView::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::MouseButtonPress) {
        auto* control = qobject_cast<QWidget*>(watched);
        if (control && validateProposedFirstResponder(control))
            control->setFocus(Qt::MouseFocusReason);
    }
    return QTreeWidget::eventFilter(watched, event);
}
