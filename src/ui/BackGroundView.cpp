#include "ui/BackGroundView.h"

#include <QEvent>
#include <QPaintEvent>
#include <QPainter>

BackGroundView::BackGroundView(QWidget* parent) : QWidget(parent) {}

void BackGroundView::setBg(std::optional<QColor> colour) {
    bg_ = colour;
    update();
}

QColor BackGroundView::fillColour() const { return bg_ ? *bg_ : palette().color(QPalette::Window); }

void BackGroundView::paintEvent(QPaintEvent* event) {
    QPainter(this).fillRect(event->rect(), fillColour());
}

void BackGroundView::changeEvent(QEvent* event) {
    QWidget::changeEvent(event);
    if (event->type() == QEvent::ActivationChange) update();
}

void BlackBackGroundView::paintEvent(QPaintEvent* event) {
    QPainter(this).fillRect(event->rect(), Qt::black);
}

void BackGroundViewFlipped::paintEvent(QPaintEvent* event) {
    QPainter(this).fillRect(event->rect(), Qt::lightGray);
}
