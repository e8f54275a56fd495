#include "ui/SpinningProgressIndicator.h"

#include <QEvent>
#include <QMetaObject>
#include <QPainter>
#include <QPainterPath>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <cmath>

#include "platform/Log.h"

namespace {
constexpr int kFrameMs = 50;
constexpr double kTurn = 6.282185;  // the fins' full turn, as drawn
thread_local bool tlsAnimationThread = false;
}  // namespace

SpinningProgressIndicator::SpinningProgressIndicator(QWidget* parent) : QWidget(parent) {
    setAttribute(Qt::WA_TranslucentBackground);
}

SpinningProgressIndicator::~SpinningProgressIndicator() {
    cancelled_ = true;
    if (animationThread_.joinable()) animationThread_.join();
}

bool SpinningProgressIndicator::inWindow() const { return window()->isVisible(); }

void SpinningProgressIndicator::requestRepaint() {
    // The thread never paints; the GUI thread does, when it gets to it.
    if (tlsAnimationThread)
        QMetaObject::invokeMethod(this, qOverload<>(&QWidget::update), Qt::QueuedConnection);
    else
        update();
}

void SpinningProgressIndicator::startAnimation() {
    {
        std::lock_guard lock(mutex_);
        if (!isIndeterminate_) return;
        if (isAnimating_ && !isFadingOut_) return;  // a fading spinner starts again
    }
    actuallyStartAnimation();
}

void SpinningProgressIndicator::stopAnimation() {
    std::lock_guard lock(mutex_);
    isFadingOut_ = true;
}

void SpinningProgressIndicator::setStyle(int style) {
    if (style != kSpinningStyle) platform::log("Non-spinning styles not available.");
}

void SpinningProgressIndicator::actuallyStartAnimation() {
    actuallyStopAnimation();
    {
        std::lock_guard lock(mutex_);
        isAnimating_ = true;
        isFadingOut_ = false;
        position_ = 1;
    }
    if (!displayedWhenStopped_) {
        changingVisibility_ = true;
        show();
        changingVisibility_ = false;
    }
    if (!inWindow()) return;
    ++generation_;
    if (usesThreadedAnimation_) {
        cancelled_ = false;
        animationThread_ = std::thread([this] {
            tlsAnimationThread = true;
            animateInBackgroundThread();
        });
    } else {
        if (!animationTimer_) {
            animationTimer_ = new QTimer(this);
            animationTimer_->setInterval(kFrameMs);
            connect(animationTimer_, &QTimer::timeout, this,
                    &SpinningProgressIndicator::updateFrame);
        }
        animationTimer_->start();
    }
}

void SpinningProgressIndicator::actuallyStopAnimation() {
    {
        std::lock_guard lock(mutex_);
        isAnimating_ = false;
        isFadingOut_ = false;
    }
    if (!displayedWhenStopped_) {
        changingVisibility_ = true;
        hide();
        changingVisibility_ = false;
    }
    if (animationThread_.joinable()) {
        cancelled_ = true;
        animationThread_.join();
    } else if (animationTimer_) {
        animationTimer_->stop();
    }
    update();
}

bool SpinningProgressIndicator::advanceFrameLocked() {
    position_ = (position_ < 1 ? kNumFins : position_) - 1;
    const double floor = displayedWhenStopped_ ? 0.15 : 0.01;
    for (double& opacity : finOpacity_) opacity = std::max(floor, opacity * 0.85);
    if (isFadingOut_) {
        return std::all_of(finOpacity_.begin(), finOpacity_.end(),
                           [floor](double o) { return std::fabs(o - floor) <= 0.01; });
    }
    finOpacity_[size_t(position_)] = 1.0;
    return false;
}

void SpinningProgressIndicator::updateFrame() {
    bool faded;
    {
        std::lock_guard lock(mutex_);
        faded = advanceFrameLocked();
    }
    if (faded) {
        if (tlsAnimationThread) {
            cancelled_ = true;  // the GUI thread stops and joins, unless restarted meanwhile
            const int generation = generation_;
            QMetaObject::invokeMethod(
                this,
                [this, generation] {
                    if (generation == generation_) actuallyStopAnimation();
                },
                Qt::QueuedConnection);
        } else {
            actuallyStopAnimation();
        }
    }
    requestRepaint();
}

void SpinningProgressIndicator::animateInBackgroundThread() {
    const auto frame = std::chrono::microseconds(600000 / kNumFins);
    while (!cancelled_) {
        updateFrame();
        std::this_thread::sleep_for(frame);
    }
}

void SpinningProgressIndicator::viewDidMoveToWindow() {
    bool animating;
    {
        std::lock_guard lock(mutex_);
        animating = isAnimating_;
    }
    if (!inWindow() && !parentWidget())
        actuallyStopAnimation();
    else if (animating && inWindow() && !animationThread_.joinable() &&
             !(animationTimer_ && animationTimer_->isActive()))
        actuallyStartAnimation();
}

bool SpinningProgressIndicator::event(QEvent* event) {
    const bool handled = QWidget::event(event);
    if (!changingVisibility_ &&
        (event->type() == QEvent::ParentChange || event->type() == QEvent::Show))
        viewDidMoveToWindow();
    return handled;
}

QColor SpinningProgressIndicator::color() const {
    std::lock_guard lock(mutex_);
    return foreColor_;
}

void SpinningProgressIndicator::setColor(const QColor& color) {
    {
        std::lock_guard lock(mutex_);
        if (foreColor_ == color) return;
        foreColor_ = color;  // fins keep their opacities
    }
    update();
}

QColor SpinningProgressIndicator::backgroundColor() const {
    std::lock_guard lock(mutex_);
    return backColor_;
}

void SpinningProgressIndicator::setBackgroundColor(const QColor& color) {
    {
        std::lock_guard lock(mutex_);
        if (backColor_ == color) return;
        backColor_ = color;
    }
    update();
}

bool SpinningProgressIndicator::drawsBackground() const {
    std::lock_guard lock(mutex_);
    return drawsBackground_;
}

void SpinningProgressIndicator::setDrawsBackground(bool draws) {
    {
        std::lock_guard lock(mutex_);
        drawsBackground_ = draws;
    }
    update();
}

bool SpinningProgressIndicator::isIndeterminate() const {
    std::lock_guard lock(mutex_);
    return isIndeterminate_;
}

void SpinningProgressIndicator::setIndeterminate(bool indeterminate) {
    bool stop;
    {
        std::lock_guard lock(mutex_);
        isIndeterminate_ = indeterminate;
        stop = !indeterminate && isAnimating_;
    }
    if (stop) stopAnimation();
    update();
}

double SpinningProgressIndicator::doubleValue() const {
    std::lock_guard lock(mutex_);
    return currentValue_;
}

void SpinningProgressIndicator::setDoubleValue(double value) {
    if (isIndeterminate()) setIndeterminate(false);
    {
        std::lock_guard lock(mutex_);
        currentValue_ = value;
    }
    update();
}

double SpinningProgressIndicator::maxValue() const {
    std::lock_guard lock(mutex_);
    return maxValue_;
}

void SpinningProgressIndicator::setMaxValue(double value) {
    {
        std::lock_guard lock(mutex_);
        maxValue_ = value;
    }
    update();
}

void SpinningProgressIndicator::setUsesThreadedAnimation(bool threaded) {
    if (usesThreadedAnimation_ == threaded) return;
    usesThreadedAnimation_ = threaded;
    if (isAnimating()) {
        // Restart with the other mechanism.
        actuallyStopAnimation();
        actuallyStartAnimation();
    }
}

bool SpinningProgressIndicator::isDisplayedWhenStopped() const {
    std::lock_guard lock(mutex_);
    return displayedWhenStopped_;
}

void SpinningProgressIndicator::setDisplayedWhenStopped(bool displayed) {
    bool animating;
    {
        std::lock_guard lock(mutex_);
        displayedWhenStopped_ = displayed;
        animating = isAnimating_;
    }
    if (!animating) setVisible(displayed);
}

bool SpinningProgressIndicator::isAnimating() const {
    std::lock_guard lock(mutex_);
    return isAnimating_;
}

bool SpinningProgressIndicator::isFadingOut() const {
    std::lock_guard lock(mutex_);
    return isFadingOut_;
}

int SpinningProgressIndicator::position() const {
    std::lock_guard lock(mutex_);
    return position_;
}

double SpinningProgressIndicator::finOpacity(int fin) const {
    std::lock_guard lock(mutex_);
    return fin >= 0 && fin < kNumFins ? finOpacity_[size_t(fin)] : 0.0;
}

void SpinningProgressIndicator::paintEvent(QPaintEvent*) {
    std::unique_lock lock(mutex_);
    const auto opacities = finOpacity_;
    const QColor fore = foreColor_, back = backColor_;
    const bool animating = isAnimating_, indeterminate = isIndeterminate_,
               background = drawsBackground_;
    const double value = currentValue_, maximum = maxValue_;
    lock.unlock();

    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const double size = std::min(width(), height());
    if (background) painter.fillRect(rect(), back);
    painter.translate(width() / 2.0, height() / 2.0);
    if (indeterminate) {
        QPen pen;
        pen.setWidthF(0.0859375 * size);
        pen.setCapStyle(Qt::RoundCap);
        // With y running up, as the fins were first laid out: the first fin points to 12 o'clock.
        const QLineF fin(0, -0.234375 * size, 0, -0.421875 * size);
        for (int i = 0; i < kNumFins; ++i) {
            QColor colour = fore;
            colour.setAlphaF(float(animating ? opacities[size_t(i)] : 0.15));
            pen.setColor(colour);
            painter.setPen(pen);
            painter.drawLine(fin);
            painter.rotate(-kTurn / kNumFins * 180.0 / M_PI);
        }
    } else {
        const double lineWidth = 1 + 0.01 * size;
        const double radius = (size - lineWidth) / 2.1;
        painter.setPen(QPen(fore, lineWidth));
        painter.setBrush(Qt::NoBrush);
        painter.drawEllipse(QPointF(0, 0), radius, radius);
        const double fraction = maximum != 0 ? value / maximum : 0;
        QPainterPath pie;
        pie.moveTo(0, 0);
        // From 12 o'clock clockwise (Qt's angles run counter-clockwise).
        pie.arcTo(QRectF(-radius, -radius, 2 * radius, 2 * radius), 90, -360.0 * fraction);
        pie.closeSubpath();
        painter.setPen(Qt::NoPen);
        painter.setBrush(fore);
        painter.drawPath(pie);
    }
}
