// The two controls of one adjustable setting in the document window: the
// numeric field and the slider over the setting's range. Each reports the
// user's edits through the function it is made with; showing a value never
// reports it. GUI thread only.
//
// The panel around them scrolls with the wheel: a slider, stepper or pop-up
// takes the wheel only once the user has clicked or tabbed into it, so that
// scrolling past a control never changes its setting.
#pragma once

#include <QAbstractSpinBox>
#include <QComboBox>
#include <QLineEdit>
#include <QSlider>
#include <functional>

class QuorvexNumberFormatter;

// A numeric field: arrow keys step by the range's rule, page keys and
// shift-arrows by ten steps. It shows and takes values in display units
// (stored value times `scale`) and commits stored values.
class SettingField : public QLineEdit {
public:
    SettingField(double minimum, double maximum, double scale,
                 std::function<void(QObject*, double)> commit);
    // `v` in stored units.
    void showValue(double v);
    // Moves the shown value by `steps` arrow-key steps within the range and
    // commits it.
    void stepBy(double steps);

protected:
    void keyPressEvent(QKeyEvent* event) override;

private:
    void commitShown(double shown);
    double minimum_, maximum_, scale_;  // display units
    double lowest_, highest_;           // stored units
    std::function<void(QObject*, double)> commit_;
    QuorvexNumberFormatter* formatter_;
};

// A slider over minimum..maximum whose double click restores the default.
class SettingSlider : public QSlider {
public:
    static constexpr int kSteps = 1000;
    SettingSlider(double minimum, double maximum, std::function<void(QObject*)> doubleClicked);
    // The stored value of the knob's position.
    double value() const;
    void showValue(double v);

protected:
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;

private:
    double minimum_, maximum_;
    std::function<void(QObject*)> doubleClicked_;
};

// Up and down arrows beside a field; each click calls `step` with +1 or -1.
class SettingStepper : public QAbstractSpinBox {
public:
    explicit SettingStepper(std::function<void(int)> step);
    void stepBy(int steps) override { step_(steps); }

protected:
    StepEnabled stepEnabled() const override { return StepUpEnabled | StepDownEnabled; }
    void wheelEvent(QWheelEvent* event) override;

private:
    std::function<void(int)> step_;
};

// A pop-up of the settings panel.
class SettingPopUp : public QComboBox {
public:
    SettingPopUp();

protected:
    void wheelEvent(QWheelEvent* event) override;
};
