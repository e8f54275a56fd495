// A spinning progress indicator: twelve fins whose brightest one steps round
// every 50 ms while the others fade, or, when determinate, a circle with a
// pie of the current value. Stopping lets the fins fade out first.
//
// Animation runs on a 50 ms QTimer, or, with threaded animation, on a thread
// of its own that advances the frames under the view's lock and asks the GUI
// thread to repaint (it never paints itself). Stopping joins that thread. A
// fade that ends on the thread hands the final stop to the GUI thread.
//
// Only the spinning style exists: setStyle() with another logs "Non-spinning
// styles not available." and keeps spinning. GUI thread only, except for the
// animation thread described above.
#pragma once

#include <QColor>
#include <QWidget>
#include <array>
#include <atomic>
#include <mutex>
#include <thread>

class QTimer;

class SpinningProgressIndicator : public QWidget {
    Q_OBJECT
public:
    static constexpr int kNumFins = 12;
    static constexpr int kSpinningStyle = 1;

    explicit SpinningProgressIndicator(QWidget* parent = nullptr);
    ~SpinningProgressIndicator() override;

    void startAnimation();
    void stopAnimation();
    void setStyle(int style);

    QColor color() const;
    void setColor(const QColor& color);
    QColor backgroundColor() const;
    void setBackgroundColor(const QColor& color);
    bool drawsBackground() const;
    void setDrawsBackground(bool draws);
    bool isIndeterminate() const;
    void setIndeterminate(bool indeterminate);
    double doubleValue() const;
    void setDoubleValue(double value);
    double maxValue() const;
    void setMaxValue(double value);
    bool usesThreadedAnimation() const { return usesThreadedAnimation_; }
    void setUsesThreadedAnimation(bool threaded);
    bool isDisplayedWhenStopped() const;
    void setDisplayedWhenStopped(bool displayed);

    bool isAnimating() const;
    bool isFadingOut() const;
    int position() const;
    double finOpacity(int fin) const;
    bool animationThreadRunning() const { return animationThread_.joinable(); }

    // One animation frame (the timer's and the thread's step).
    void updateFrame();

public slots:
    void actuallyStartAnimation();
    void actuallyStopAnimation();

protected:
    void paintEvent(QPaintEvent* event) override;
    bool event(QEvent* event) override;

private:
    // The frame's work under the lock; answers whether the fade has ended.
    bool advanceFrameLocked();
    void viewDidMoveToWindow();
    bool inWindow() const;
    void requestRepaint();
    void animateInBackgroundThread();

    mutable std::mutex mutex_;  // guards the fields below shared with the thread
    int position_ = 0;
    std::array<double, kNumFins> finOpacity_{};
    bool isAnimating_ = false;
    bool isFadingOut_ = false;
    QColor foreColor_ = Qt::white;
    QColor backColor_ = Qt::transparent;
    bool drawsBackground_ = false;
    bool displayedWhenStopped_ = true;
    bool isIndeterminate_ = true;
    double currentValue_ = 0;
    double maxValue_ = 100;

    bool usesThreadedAnimation_ = false;  // GUI thread only
    bool changingVisibility_ = false;     // our own show()/hide() is no move to a window
    QTimer* animationTimer_ = nullptr;
    std::thread animationThread_;
    std::atomic<bool> cancelled_{false};
    std::atomic<int> generation_{0};  // counts starts, so a late stop spares a new run
};
