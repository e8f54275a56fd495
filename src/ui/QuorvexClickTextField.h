// A label that reports double clicks to its delegate (the document window
// resets the setting whose label was double-clicked). GUI thread only.
#pragma once

#include <QLabel>

class QuorvexClickTextField;

class QuorvexClickTextFieldDelegate {
public:
    virtual ~QuorvexClickTextFieldDelegate() = default;
    virtual void labelDoubleClicked(QuorvexClickTextField* field) = 0;
};

class QuorvexClickTextField : public QLabel {
    Q_OBJECT
public:
    using QLabel::QLabel;
    void setDelegate(QuorvexClickTextFieldDelegate* delegate) { delegate_ = delegate; }
    QuorvexClickTextFieldDelegate* delegate() const { return delegate_; }

signals:
    void doubleClicked();

protected:
    void mouseDoubleClickEvent(QMouseEvent* event) override;

private:
    QuorvexClickTextFieldDelegate* delegate_ = nullptr;  // not owned
};
