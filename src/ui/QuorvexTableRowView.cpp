#include "ui/QuorvexTableRowView.h"

#include <QPainter>

void QuorvexTableRowView::paint(QPainter* painter, const QStyleOptionViewItem& option,
                                const QModelIndex& index) const {
    const QColor background = bgOveride_ ? *bgOveride_ : option.palette.color(QPalette::Base);
    painter->fillRect(option.rect, background);
    QStyleOptionViewItem plain(option);
    plain.state &= ~(QStyle::State_Selected | QStyle::State_HasFocus);
    plain.backgroundBrush = Qt::NoBrush;
    QStyledItemDelegate::paint(painter, plain, index);
}
