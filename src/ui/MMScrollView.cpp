#include "ui/MMScrollView.h"

#include <QScrollBar>

#include "ui/MMScroller.h"

MMScrollView::MMScrollView(QWidget* parent) : QScrollArea(parent) {
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setFrameShape(QFrame::NoFrame);
    scroller_ = new MMScroller(Qt::Vertical, this);
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

void MMScrollView::tile() {
    const QRect bounds = viewport()->geometry();
    scroller_->setGeometry(bounds.right() + 1 - MMScroller::kWidth, bounds.top(),
                           MMScroller::kWidth, bounds.height());
    scroller_->raise();
}

void MMScrollView::resizeEvent(QResizeEvent* event) {
    QScrollArea::resizeEvent(event);
    tile();
}
