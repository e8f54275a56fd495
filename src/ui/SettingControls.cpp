#include "ui/SettingControls.h"

#include <QKeyEvent>
#include <QMouseEvent>
#include <QWheelEvent>
#include <algorithm>
#include <cmath>

#include "ui/DocumentWindowController.h"
#include "ui/QuorvexNumberFormatter.h"

namespace {

// Without the focus the wheel goes on to the scrolling panel. The focus
// policy keeps the wheel itself from giving the focus.
bool passWheelOn(QWidget* control, QWheelEvent* event) {
    if (control->hasFocus()) return false;
    event->ignore();
    return true;
}

}  // namespace

SettingField::SettingField(double minimum, double maximum, double scale,
                           std::function<void(QObject*, double)> commit)
    : minimum_(minimum * scale),
      maximum_(maximum * scale),
      scale_(scale),
      lowest_(minimum),
      highest_(maximum),
      commit_(std::move(commit)) {
    auto* formatter = new QuorvexNumberFormatter(this);
    formatter->setMinimum(minimum_);
    formatter->setMaximum(maximum_);
    formatter_ = formatter;
    setValidator(formatter);
    setFixedWidth(64);
    connect(this, &QLineEdit::editingFinished, this, [this] {
        double v = 0;
        formatter_->getObjectValue(&v, text());
        commitShown(v);
    });
}

void SettingField::showValue(double v) { setText(QString::number(v * scale_, 'f', 2)); }

void SettingField::stepBy(double steps) {
    double v = 0;
    formatter_->getObjectValue(&v, text());
    v = std::clamp(v + steps * DocumentWindowController::keyboardStep(minimum_, maximum_), minimum_,
                   maximum_);
    setText(QString::number(v, 'f', 2));
    commitShown(v);
}

void SettingField::commitShown(double shown) {
    // The ends are stored exactly, whatever the display rounding.
    double v = shown / scale_;
    if (shown >= maximum_) v = highest_;
    if (shown <= minimum_) v = lowest_;
    commit_(this, v);
}

void SettingField::keyPressEvent(QKeyEvent* event) {
    const bool shift = event->modifiers() & Qt::ShiftModifier;
    switch (event->key()) {
        case Qt::Key_Up:
            stepBy(shift ? 10 : 1);
            break;
        case Qt::Key_Down:
            stepBy(shift ? -10 : -1);
            break;
        case Qt::Key_PageUp:
            stepBy(10);
            break;
        case Qt::Key_PageDown:
            stepBy(-10);
            break;
        default:
            QLineEdit::keyPressEvent(event);
            return;
    }
    event->accept();
}

SettingSlider::SettingSlider(double minimum, double maximum,
                             std::function<void(QObject*)> doubleClicked)
    : QSlider(Qt::Horizontal),
      minimum_(minimum),
      maximum_(maximum),
      doubleClicked_(std::move(doubleClicked)) {
    setRange(0, kSteps);
    setMinimumWidth(90);
    setFocusPolicy(Qt::StrongFocus);
}

double SettingSlider::value() const {
    return minimum_ + (maximum_ - minimum_) * QSlider::value() / double(kSteps);
}

void SettingSlider::showValue(double v) {
    setValue(int(std::lround((v - minimum_) / (maximum_ - minimum_) * kSteps)));
}

void SettingSlider::mouseDoubleClickEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton)
        doubleClicked_(this);
    else
        QSlider::mouseDoubleClickEvent(event);
}

void SettingSlider::wheelEvent(QWheelEvent* event) {
    if (!passWheelOn(this, event)) QSlider::wheelEvent(event);
}

SettingStepper::SettingStepper(std::function<void(int)> step) : step_(std::move(step)) {
    // Only the arrows show.
    setFixedWidth(20);
    setButtonSymbols(UpDownArrows);
    setFocusPolicy(Qt::StrongFocus);
}

void SettingStepper::wheelEvent(QWheelEvent* event) {
    if (!passWheelOn(this, event)) QAbstractSpinBox::wheelEvent(event);
}

SettingPopUp::SettingPopUp() { setFocusPolicy(Qt::StrongFocus); }

void SettingPopUp::wheelEvent(QWheelEvent* event) {
    if (!passWheelOn(this, event)) QComboBox::wheelEvent(event);
}
