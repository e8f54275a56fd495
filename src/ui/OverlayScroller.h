// An overlay scroll bar that draws only its knob: a thin black rounded bar
// at half opacity that shows for 0.5 s after the value changes or the
// pointer moves over it, then fades out in 10 steps of 0.03 s, and stays
// while the pointer is over it. OverlayScrollView lays it over its content.
// GUI thread only.
#pragma once

#include <QScrollBar>

class QTimer;

class OverlayScroller : public QScrollBar {
    Q_OBJECT
public:
    static constexpr int kWidth = 15;

    explicit OverlayScroller(Qt::Orientation orientation, QWidget* parent = nullptr);

    bool shouldClearBackground() const { return shouldClearBackground_; }
    void setShouldClearBackground(bool clear) { shouldClearBackground_ = clear; }
    int animationStep() const { return animationStep_; }
    bool fadeDisabled() const { return disableFade_; }
    // The knob's opacity: step × 0.5 ÷ 10.
    double knobOpacity() const { return animationStep_ * 0.5 / 10; }
    QRect knobRect() const;

    void showScroller() { showKnob(); }

protected:
    void paintEvent(QPaintEvent* event) override;
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;

private:
    void valueDidChange(int value);
    void showKnob();
    void showKnobAfterDelay();
    void updateKnob();
    void updateKnobAfterDelay();

    int animationStep_ = 0;
    float oldValue_ = -1.0f;
    bool scheduled_ = false;
    bool disableFade_ = false;
    bool shouldClearBackground_ = false;
    QTimer* showTimer_ = nullptr;
    QTimer* stepTimer_ = nullptr;
};
