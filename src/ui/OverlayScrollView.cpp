#include "ui/OverlayScrollView.h"

#include <QScrollBar>

#include "ui/OverlayScroller.h"

OverlayScrollView::OverlayScrollView(QWidget* parent) : QScrollArea(parent) {
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setFrameShape(QFrame::NoFrame);
    scroller_ = new OverlayScroller(Qt::Vertical, this);
    QScrollBar* inner = verticalScrollBar();
    connect(inner, &QScrollBar::rangeChanged, scroller_, [this](int minimum, int maximum) {
        scroller_->setRange(minimum, maximum);
        scroller_->setPageStep(verticalScrollBar()->pageStep());
        scroller_->setVisible(maximum > minimum);
    });
    connect(inner, &QScrollBar::valueChanged, scroller_, &QScrollBar::setValue);
    connect(scroller_, &QScrollBar::valueChanged, inner, &QScrollBar::setValue);
    scroller_->setVisible(false);
}

void OverlayScrollView::tile() {
    const QRect bounds = viewport()->geometry();
    scroller_->setGeometry(bounds.right() + 1 - OverlayScroller::kWidth, bounds.top(),
                           OverlayScroller::kWidth, bounds.height());
    scroller_->raise();
}

void OverlayScrollView::resizeEvent(QResizeEvent* event) {
    QScrollArea::resizeEvent(event);
    tile();
}
