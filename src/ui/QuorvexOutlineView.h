// A tree whose item widgets may take the keyboard focus: steppers (spin
// boxes) and text fields are accepted as first responders, so a click on one
// focuses it instead of selecting the row. GUI thread only.
#pragma once

#include <QTreeWidget>

class QuorvexOutlineView : public QTreeWidget {
    Q_OBJECT
public:
    explicit QuorvexOutlineView(QWidget* parent = nullptr);
    // True for spin boxes and line edits (and their subclasses).
    static bool validateProposedFirstResponder(const QWidget* responder);
    void setItemWidget(QTreeWidgetItem* item, int column, QWidget* widget);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
};
