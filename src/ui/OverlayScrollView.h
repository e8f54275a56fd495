// A scroll area whose content runs under an OverlayScroller laid over its right
// edge (15 pixels wide, above the content), in place of the usual vertical
// scroll bar; the two stay in step. GUI thread only.
#pragma once

#include <QScrollArea>

class OverlayScroller;

class OverlayScrollView : public QScrollArea {
    Q_OBJECT
public:
    explicit OverlayScrollView(QWidget* parent = nullptr);
    OverlayScroller* overlayScroller() const { return scroller_; }
    // Places the scroller over the content's right edge.
    void tile();

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    OverlayScroller* scroller_ = nullptr;
};
