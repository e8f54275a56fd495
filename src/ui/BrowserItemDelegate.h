// Draws one browser cell: the picture fitted (either way) into a square of
// the view's icon size, centred, a link badge included as the model gives
// it, then the title and, smaller and greyed, the subtitle, both centred
// and cut at the tail. Selected cells get a highlight behind the picture.
#pragma once

#include <QStyledItemDelegate>

class BrowserItemDelegate : public QStyledItemDelegate {
    Q_OBJECT
public:
    using QStyledItemDelegate::QStyledItemDelegate;
    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override;
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;
};
