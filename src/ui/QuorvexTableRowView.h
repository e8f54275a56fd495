// The source list's row look as an item delegate: the row's background is
// the overriding colour (none: the view's base colour) and selection draws
// no highlight. GUI thread only.
#pragma once

#include <QColor>
#include <QStyledItemDelegate>
#include <optional>

class QuorvexTableRowView : public QStyledItemDelegate {
    Q_OBJECT
public:
    using QStyledItemDelegate::QStyledItemDelegate;
    std::optional<QColor> bgOveride() const { return bgOveride_; }
    void setBgOveride(std::optional<QColor> colour) { bgOveride_ = colour; }

    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override;

private:
    std::optional<QColor> bgOveride_;
};
