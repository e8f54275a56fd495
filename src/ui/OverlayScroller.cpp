#include "ui/OverlayScroller.h"

#include <QPainter>
#include <QStyleOptionSlider>
#include <QTimer>

#include "ui/RoundedRect.h"

OverlayScroller::OverlayScroller(Qt::Orientation orientation, QWidget* parent)
    : QScrollBar(orientation, parent) {
    setMouseTracking(true);
    setAttribute(Qt::WA_TranslucentBackground);
    setAutoFillBackground(false);
    showTimer_ = new QTimer(this);
    showTimer_->setSingleShot(true);
    showTimer_->setInterval(500);
    connect(showTimer_, &QTimer::timeout, this, &OverlayScroller::showKnobAfterDelay);
    stepTimer_ = new QTimer(this);
    stepTimer_->setSingleShot(true);
    stepTimer_->setInterval(30);
    connect(stepTimer_, &QTimer::timeout, this, &OverlayScroller::updateKnobAfterDelay);
    connect(this, &QScrollBar::valueChanged, this, &OverlayScroller::valueDidChange);
}

void OverlayScroller::valueDidChange(int value) {
    if (float(value) == oldValue_) return;
    oldValue_ = float(value);
    showKnob();
}

void OverlayScroller::showKnob() {
    animationStep_ = 10;
    disableFade_ = true;
    updateKnob();
    showTimer_->start();  // cancels the pending one
}

void OverlayScroller::showKnobAfterDelay() {
    disableFade_ = false;
    animationStep_ = 10;
    if (!scheduled_) updateKnob();
}

void OverlayScroller::updateKnob() {
    update();
    if (animationStep_ > 0 && !disableFade_ && !scheduled_) {
        scheduled_ = true;
        stepTimer_->start();
        --animationStep_;
    }
}

void OverlayScroller::updateKnobAfterDelay() {
    scheduled_ = false;
    updateKnob();
}

void OverlayScroller::enterEvent(QEnterEvent* event) {
    QScrollBar::enterEvent(event);
    animationStep_ = 10;
    disableFade_ = true;
    updateKnob();
}

void OverlayScroller::leaveEvent(QEvent* event) {
    QScrollBar::leaveEvent(event);
    showKnob();
}

void OverlayScroller::mouseMoveEvent(QMouseEvent* event) {
    QScrollBar::mouseMoveEvent(event);
    showKnob();
}

QRect OverlayScroller::knobRect() const {
    QStyleOptionSlider option;
    initStyleOption(&option);
    const QRect k =
        style()->subControlRect(QStyle::CC_ScrollBar, &option, QStyle::SC_ScrollBarSlider, this);
    if (orientation() == Qt::Vertical) return QRect(k.x() + 6, k.y(), 6, k.height());
    return QRect(k.x(), k.y() + 6, k.width(), 6);
}

void OverlayScroller::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    if (shouldClearBackground_) {
        painter.setCompositionMode(QPainter::CompositionMode_Clear);
        painter.fillRect(rect(), Qt::transparent);
        painter.setCompositionMode(QPainter::CompositionMode_SourceOver);
    }
    painter.setRenderHint(QPainter::Antialiasing);
    QColor knob(Qt::black);
    knob.setAlphaF(float(knobOpacity()));
    painter.setBrush(knob);
    FillRoundedRect(painter, knobRect(), 4, 4);
}
