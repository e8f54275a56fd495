#include "ui/BrowserItemDelegate.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QImage>
#include <QPainter>

#include "ui/BrowserItemModel.h"

namespace {

QSize iconSide(const QStyleOptionViewItem& option) {
    auto* view = qobject_cast<const QAbstractItemView*>(option.widget);
    return view ? view->iconSize() : QSize(128, 128);
}

}  // namespace

QSize BrowserItemDelegate::sizeHint(const QStyleOptionViewItem& option, const QModelIndex&) const {
    const QSize icon = iconSide(option);
    const QFontMetrics metrics(option.font);
    return {icon.width() + 16, icon.height() + 12 + 2 * metrics.height()};
}

void BrowserItemDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option,
                                const QModelIndex& index) const {
    painter->save();
    const QRect cell = option.rect;
    const QSize icon = iconSide(option);
    const QRect square(cell.left() + (cell.width() - icon.width()) / 2, cell.top() + 4,
                       icon.width(), icon.height());
    const bool selected = option.state & QStyle::State_Selected;
    if (selected)
        painter->fillRect(square.adjusted(-3, -3, 3, 3),
                          option.palette.color(QPalette::Highlight).lighter(150));

    const QImage image = index.data(Qt::DecorationRole).value<QImage>();
    if (!image.isNull()) {
        QSize fitted = image.size().scaled(square.size(), Qt::KeepAspectRatio);
        QRect target(square.left() + (square.width() - fitted.width()) / 2,
                     square.bottom() + 1 - fitted.height(), fitted.width(), fitted.height());
        painter->setRenderHint(QPainter::SmoothPixmapTransform);
        painter->drawImage(target, image);
    }

    const QFontMetrics metrics(option.font);
    QRect text(cell.left() + 2, square.bottom() + 6, cell.width() - 4, metrics.height());
    const QString title = index.data(BrowserItemModel::TitleRole).toString();
    painter->setFont(option.font);
    painter->setPen(selected ? option.palette.color(QPalette::HighlightedText)
                             : option.palette.color(QPalette::Text));
    if (selected) {
        const int w = std::min(text.width(), metrics.horizontalAdvance(title) + 8);
        painter->fillRect(QRect(text.center().x() - w / 2, text.top(), w, text.height()),
                          option.palette.color(QPalette::Highlight));
    }
    painter->drawText(text, Qt::AlignHCenter | Qt::AlignVCenter,
                      metrics.elidedText(title, Qt::ElideRight, text.width()));
    const QString subtitle = index.data(BrowserItemModel::SubtitleRole).toString();
    if (!subtitle.isEmpty()) {
        QFont small = option.font;
        small.setPointSizeF(std::max(6.0, small.pointSizeF() - 1));
        painter->setFont(small);
        painter->setPen(option.palette.color(QPalette::PlaceholderText));
        text.translate(0, metrics.height());
        painter->drawText(text, Qt::AlignHCenter | Qt::AlignVCenter,
                          QFontMetrics(small).elidedText(subtitle, Qt::ElideRight, text.width()));
    }
    painter->restore();
}
