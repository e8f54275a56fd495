#include "ui/SettingControls.h"

#include <QKeyEvent>
#include <QMouseEvent>
#include <algorithm>
#include <cmath>

#include "ui/DocumentWindowController.h"
#include "ui/QuorvexNumberFormatter.h"

namespace {
constexpr int kSliderSteps = 1000;
}  // namespace

SettingField::SettingField(double minimum, double maximum,
                           std::function<void(QObject*, double)> commit)
    : minimum_(minimum), maximum_(maximum), commit_(std::move(commit)) {
    auto* formatter = new QuorvexNumberFormatter(this);
    formatter->setMinimum(minimum);
    formatter->setMaximum(maximum);
    formatter_ = formatter;
    setValidator(formatter);
    setFixedWidth(64);
    connect(this, &QLineEdit::editingFinished, this, [this] {
        double v = 0;
        formatter_->getObjectValue(&v, text());
        commit_(this, v);
    });
}

void SettingField::showValue(double v) { setText(QString::number(v, 'f', 2)); }

void SettingField::keyPressEvent(QKeyEvent* event) {
    const double step = DocumentWindowController::keyboardStep(minimum_, maximum_);
    const bool shift = event->modifiers() & Qt::ShiftModifier;
    double delta = 0;
    switch (event->key()) {
        case Qt::Key_Up:
            delta = shift ? 10 * step : step;
            break;
        case Qt::Key_Down:
            delta = shift ? -10 * step : -step;
            break;
        case Qt::Key_PageUp:
            delta = 10 * step;
            break;
        case Qt::Key_PageDown:
            delta = -10 * step;
            break;
        default:
            QLineEdit::keyPressEvent(event);
            return;
    }
    double v = 0;
    formatter_->getObjectValue(&v, text());
    v = std::clamp(v + delta, minimum_, maximum_);
    showValue(v);
    commit_(this, v);
    event->accept();
}

SettingSlider::SettingSlider(double minimum, double maximum,
                             std::function<void(QObject*)> doubleClicked)
    : QSlider(Qt::Horizontal),
      minimum_(minimum),
      maximum_(maximum),
      doubleClicked_(std::move(doubleClicked)) {
    setRange(0, kSliderSteps);
    setMinimumWidth(90);
}

double SettingSlider::value() const {
    return minimum_ + (maximum_ - minimum_) * QSlider::value() / double(kSliderSteps);
}

void SettingSlider::showValue(double v) {
    setValue(int(std::lround((v - minimum_) / (maximum_ - minimum_) * kSliderSteps)));
}

void SettingSlider::mouseDoubleClickEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton)
        doubleClicked_(this);
    else
        QSlider::mouseDoubleClickEvent(event);
}
