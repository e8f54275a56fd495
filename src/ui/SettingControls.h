// The two controls of one adjustable setting in the document window: the
// numeric field and the slider over the setting's range. Each reports the
// user's edits through the function it is made with; showing a value never
// reports it. GUI thread only.
#pragma once

#include <QLineEdit>
#include <QSlider>
#include <functional>

class QuorvexNumberFormatter;

// A numeric field: arrow keys step by the range's rule, page keys and
// shift-arrows by ten steps.
class SettingField : public QLineEdit {
public:
    SettingField(double minimum, double maximum, std::function<void(QObject*, double)> commit);
    void showValue(double v);

protected:
    void keyPressEvent(QKeyEvent* event) override;

private:
    double minimum_, maximum_;
    std::function<void(QObject*, double)> commit_;
    QuorvexNumberFormatter* formatter_;
};

// A slider over minimum..maximum whose double click restores the default.
class SettingSlider : public QSlider {
public:
    SettingSlider(double minimum, double maximum, std::function<void(QObject*)> doubleClicked);
    double value() const;
    void showValue(double v);

protected:
    void mouseDoubleClickEvent(QMouseEvent* event) override;

private:
    double minimum_, maximum_;
    std::function<void(QObject*)> doubleClicked_;
};
