#include "ui/DocumentImageView.h"

#include <QCursor>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>
#include <QPointer>
#include <QWheelEvent>
#include <algorithm>
#include <cmath>

#include "platform/Log.h"
#include "ui/DisplayColor.h"

namespace {

bool turns(int code) { return code == 0 || code == 1 || code == 3 || code == 6 || code == 8; }

void logInvalidRotate(int code, const char* method) {
    platform::log("Invalid image rotate %i in %s", code, method);
}

// The eyedropper: a pipette drawn from its tip at the bottom left.
QCursor eyedropperCursor() {
    QPixmap pixmap(24, 24);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(Qt::black, 3, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(2, 21), QPointF(17, 6));
    p.setPen(QPen(Qt::white, 1.2, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(2, 21), QPointF(17, 6));
    p.setBrush(Qt::black);
    p.setPen(Qt::NoPen);
    p.drawEllipse(QPointF(18.5, 5.5), 4, 4);
    p.end();
    return QCursor(pixmap, 1, 20);
}

}  // namespace

DocumentImageView::DocumentImageView(QWidget* parent) : QWidget(parent) {
    setMouseTracking(true);
    setAttribute(Qt::WA_OpaquePaintEvent);
    setFocusPolicy(Qt::ClickFocus);
    setMinimumSize(120, 120);
    backing_ = devicePixelRatioF();
}

DocumentImageView::~DocumentImageView() {
    if (tiledLayer_) tiledLayer_->removeSublayers();
    if (cropLayerCntrl_) cropLayerCntrl_->ourLayer()->removeSublayers();
}

double DocumentImageView::backingScaleFactor() const { return backing_; }

void DocumentImageView::viewDidChangeBackingProperties() {
    backing_ = devicePixelRatioF();
    if (tiledLayer_) tiledLayer_->setContentsScale(backing_);
    if (cropLayerCntrl_) cropLayerCntrl_->ourLayer()->setContentsScale(backing_);
    layoutLayers();
}

bool DocumentImageView::setImage(TiledEngine::Ptr stage, int orientation, int) {
    if (!stage) return false;
    const platform::Rect extent = stage->extent();
    imageSize_ = QRectF(0, 0, extent.width, extent.height);
    layerForImage(std::move(stage));
    if (!tiledLayer_) return false;
    setOrientation(orientation);
    if (noScaleYet_) setScaleFactorToFit();
    if (cropLayerCntrl_) cropLayerCntrl_->setSize(imageSize_);
    layoutLayers();
    return true;
}

void DocumentImageView::layerForImage(TiledEngine::Ptr stage) {
    if (!tiledLayer_) {
        tiledLayer_ = TiledContentLayer::create(true);
        tiledLayer_->setContentsScale(backing_);
        tiledLayer_->setDisplayProfile(platform::DisplayColor::screenProfile());
        QPointer<DocumentImageView> self(this);
        tiledLayer_->setContentsChanged([self] {
            if (self) self->update();
        });
    }
    tiledLayer_->setImage(std::move(stage));
    if (!cropLayerCntrl_) {
        cropLayerCntrl_ = CropLayerController::initReadyToAdjust(false, tiledLayer_);
        if (cropLayerCntrl_) {
            cropLayerCntrl_->ourLayer()->setContentsScale(backing_);
            cropLayerCntrl_->setCropArea(savedCropRect_);
            cropLayerCntrl_->setShowCropArea(true);
        }
    }
}

void DocumentImageView::setOrientation(int orientation) {
    imageOrientation_ = orientation;
    if (fitted_)
        setScaleFactorToFit();
    else
        setPixelScaleFactor(-1);
}

// ---------------------------------------------------------------- zoom

float DocumentImageView::pixelScaleFactor() const {
    if (!tiledLayer_) return 1.0f;
    const QTransform& t = tiledLayer_->transform();
    return float(std::max(std::abs(t.m11()), std::abs(t.m12())) * backing_);
}

float DocumentImageView::roundedScaleFactor(float f) {
    if (f > 1) f = std::min(std::trunc(f + 0.99f), 8.0f);
    return f;
}

QTransform DocumentImageView::layerTransform(float s) const {
    const double W = imageSize_.width(), H = imageSize_.height();
    switch (imageOrientation_) {
        case 0:
        case 1:
            return QTransform(s, 0, 0, s, 0, 0);
        case 3:
            return QTransform(-s, 0, 0, -s, s * W, s * H);
        case 6:
            return QTransform(0, -s, s, 0, 0, s * W);
        case 8:
            return QTransform(0, s, -s, 0, s * H, 0);
        default:
            logInvalidRotate(imageOrientation_, "-[DocumentImageView setPixelScaleFactor:]");
            return QTransform(s, 0, 0, s, 0, 0);
    }
}

void DocumentImageView::setPixelScaleFactor(float f) {
    if (f < 0)
        f = pixelScaleFactor();
    else
        fitted_ = false;
    f = roundedScaleFactor(f);
    if (!tiledLayer_) return;
    const float s = float(f / backing_);
    const QTransform t = layerTransform(s);
    tiledLayer_->setTransform(t);
    if (cropLayerCntrl_) cropLayerCntrl_->ourLayer()->setTransform(t);
    updateLayerPosition();
}

void DocumentImageView::setScaleFactorToFit() {
    noScaleYet_ = false;
    const double W = imageSize_.width(), H = imageSize_.height();
    imageCenter_ = QPointF(W / 2, H / 2);
    if (imageOrientation_ != 6 && imageOrientation_ != 8 && !turns(imageOrientation_))
        logInvalidRotate(imageOrientation_, "-[DocumentImageView setScaleFactorToFit]");
    if (W <= 0 || H <= 0) return;
    setPixelScaleFactor(fitScaleFactor());
    fitted_ = true;
}

float DocumentImageView::fitScaleFactor() const {
    const double W = imageSize_.width(), H = imageSize_.height();
    if (W <= 0 || H <= 0) return 1.0f;
    double bw = width() * backing_, bh = height() * backing_;
    if (imageOrientation_ == 6 || imageOrientation_ == 8) std::swap(bw, bh);
    return std::min({1.0f, float(bw / W), float(bh / H)});
}

QTransform DocumentImageView::imageTransformForOrientation(int code, double Wd, double Hd) {
    const float W = float(Wd), H = float(Hd);
    // Codes outside 1..8 use the upright row (no read past the table).
    switch (code) {
        case 2:
            return QTransform(-1, 0, 0, 1, W, 0);
        case 3:
            return QTransform(-1, 0, 0, -1, W, H);
        case 4:
            return QTransform(1, 0, 0, -1, 0, H);
        case 5:
            return QTransform(0, -1, -1, 0, H, W);
        case 6:
            return QTransform(0, -1, 1, 0, 0, W);
        case 7:
            return QTransform(0, 1, 1, 0, 0, 0);
        case 8:
            return QTransform(0, 1, -1, 0, H, 0);
        default:
            return QTransform(1, 0, 0, 1, 0, 0);
    }
}

// ---------------------------------------------------------------- coordinates

QPointF DocumentImageView::viewPointFromImagePoint(QPointF p) const {
    if (!tiledLayer_) return p;
    return tiledLayer_->toSuperlayer(QPointF(p.x(), imageSize_.height() - p.y()));
}

QRectF DocumentImageView::viewRectFromImageRect(const QRectF& r) const {
    if (!tiledLayer_) return r;
    return tiledLayer_->rectToSuperlayer(
        QRectF(r.x(), imageSize_.height() - r.y() - r.height(), r.width(), r.height()));
}

QPointF DocumentImageView::viewPointToUnflippedImage(QPointF p, bool clip) const {
    if (!tiledLayer_) return p;
    const QPointF q = tiledLayer_->fromSuperlayer(p);
    const QPointF r(q.x(), imageSize_.height() - q.y());
    if (clip &&
        !(r.x() >= 0 && r.x() < imageSize_.width() && r.y() >= 0 && r.y() < imageSize_.height()))
        return QPointF(-1, -1);
    return r;
}

QRectF DocumentImageView::viewRectToUnflippedImage(const QRectF& r) const {
    if (!tiledLayer_) return r;
    QRectF q = tiledLayer_->rectFromSuperlayer(r).intersected(imageSize_);
    q.moveTop(imageSize_.height() - (q.y() + q.height()));
    return q;
}

QRectF DocumentImageView::displayedImageRect() const {
    return viewRectToUnflippedImage(QRectF(0, 0, width(), height()));
}

QRectF DocumentImageView::activeArea() const {
    if (!tiledLayer_) return {};
    return tiledLayer_->rectFromSuperlayer(QRectF(0, 0, width(), height()))
        .intersected(tiledLayer_->bounds());
}

QRectF DocumentImageView::activeTiledRect() const {
    if (!tiledLayer_) return {};
    const QRectF a = tiledLayer_->activeTileArea();
    if (a.isNull()) return {};
    return QRectF(a.x(), imageSize_.height() - a.y() - a.height(), a.width(), a.height());
}

QPointF DocumentImageView::getPixelUnrotatedLocation() const {
    if (!cursorIsInView_) return QPointF(-1, -1);
    return viewPointToUnflippedImage(currentCursorLocation_, true);
}

void DocumentImageView::setCurrentCursorLocation(QPointF viewPoint, bool inView) {
    currentCursorLocation_ = viewPoint;
    cursorIsInView_ = inView;
}

// ---------------------------------------------------------------- placement

void DocumentImageView::updateLayerPosition() {
    if (!tiledLayer_) return;
    const QPointF v = viewPointFromImagePoint(imageCenter_);
    const QPointF moved =
        tiledLayer_->position() + QPointF(width() / 2.0 - v.x(), height() / 2.0 - v.y());
    tiledLayer_->setPosition(moved);
    if (cropLayerCntrl_) {
        cropLayerCntrl_->ourLayer()->setPosition(moved);
        const QRectF r = viewRectFromImageRect(cropLayerCntrl_->cropArea());
        if (r != cropPort_v_) {
            cropPort_v_ = r;
            resetCursorRects();
        }
    }
    markLocationChanged();
}

void DocumentImageView::markLocationChanged() {
    update();
    layoutLayers();
}

void DocumentImageView::layoutLayers() {
    const QRectF visible(0, 0, width(), height());
    if (cropLayerCntrl_) {
        cropLayerCntrl_->ourLayer()->setVisibleRect(visible);
        cropLayerCntrl_->ourLayer()->setNeedsDisplay();
    }
    if (tiledLayer_) {
        tiledLayer_->setVisibleRect(visible);
        tiledLayer_->setNeedsDisplay();
    }
    shared_->set(activeTiledRect());
}

void DocumentImageView::panImage(QPointF from, QPointF to) {
    const QPointF a = viewPointToUnflippedImage(from, false);
    const QPointF b = viewPointToUnflippedImage(to, false);
    imageCenter_ += a - b;
    imageCenter_.setX(std::clamp(imageCenter_.x(), 0.0, std::max(0.0, imageSize_.width() - 1)));
    imageCenter_.setY(std::clamp(imageCenter_.y(), 0.0, std::max(0.0, imageSize_.height() - 1)));
    updateLayerPosition();
}

// ---------------------------------------------------------------- modes and crop

void DocumentImageView::setCursorTrackingMode(uint64_t mode) {
    trackingMode_ = mode;
    if (mode == 1 && cropLayerCntrl_ && cropLayerCntrl_->cropArea().width() < 0) {
        const QRectF crop = CropLayerController::entryCrop(displayedImageRect());
        cropLayerCntrl_->setShowCropArea(true);
        setCropRect(crop);
        if (eyeDropperDelegate_)
            eyeDropperDelegate_->cropRectChanged(
                CropLayerController::roundedUp(cropLayerCntrl_->cropArea()));
    }
    if (cropLayerCntrl_ && cropLayerCntrl_->areAdjusting() != (mode == 1)) {
        cropLayerCntrl_->setForAdjusting(mode == 1);
        update();
    }
    resetCursorRects();
}

void DocumentImageView::setCropRect(const QRectF& rect) {
    savedCropRect_ = rect;
    if (!cropLayerCntrl_) return;
    cropLayerCntrl_->setCropArea(rect);
    updateLayerPosition();
    cropLayerCntrl_->ourLayer()->setNeedsDisplay();
    update();
}

void DocumentImageView::moveCrop(QPointF last, QPointF location) {
    if (!cropLayerCntrl_) return;
    const QPointF a = viewPointToUnflippedImage(last, false);
    const QPointF b = viewPointToUnflippedImage(location, false);
    cropLayerCntrl_->setCropArea(CropLayerController::moveCrop(
        cropLayerCntrl_->cropArea(), dragEdges_, a, b, imageSize_.size()));
    cropLayerCntrl_->ourLayer()->setNeedsDisplay();
    update();
}

void DocumentImageView::endCropDrag() {
    if (!cropLayerCntrl_) return;
    const QRectF r = CropLayerController::roundedUp(cropLayerCntrl_->cropArea());
    updateLayerPosition();
    if (eyeDropperDelegate_) eyeDropperDelegate_->cropRectChanged(r);
}

void DocumentImageView::doneWithView() {}

void DocumentImageView::resetCursorRects() {
    switch (trackingMode_) {
        case 1: {
            QCursor cursor(Qt::CrossCursor);
            // The crop's corners, 100-point squares around them.
            if (cropLayerCntrl_ && float(cropLayerCntrl_->cropArea().x()) > -0.1f &&
                cursorIsInView_) {
                const QRectF c = cropPort_v_;
                const QPointF p = currentCursorLocation_;
                auto near = [&](double x, double y) {
                    return std::abs(p.x() - x) < 50 && std::abs(p.y() - y) < 50;
                };
                if (near(c.left(), c.top()) || near(c.right(), c.bottom()))
                    cursor = QCursor(Qt::SizeBDiagCursor);
                else if (near(c.left(), c.bottom()) || near(c.right(), c.top()))
                    cursor = QCursor(Qt::SizeFDiagCursor);
            }
            setCursor(cursor);
            break;
        }
        case 2: {
            static const QCursor eyedropper = eyedropperCursor();
            setCursor(eyedropper);
            break;
        }
        default:
            setCursor(Qt::ArrowCursor);
    }
}

// ---------------------------------------------------------------- painting

void DocumentImageView::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.fillRect(rect(), Qt::black);
    if (!tiledLayer_) return;
    if (devicePixelRatioF() != backing_) {
        viewDidChangeBackingProperties();
        setPixelScaleFactor(-1);
    }
    const QTransform flip(1, 0, 0, -1, 0, height());
    const QTransform toWidget =
        tiledLayer_->transform() *
        QTransform::fromTranslate(tiledLayer_->position().x(), tiledLayer_->position().y()) * flip;
    // Upright images: each tile goes to its rectangle snapped to device
    // pixels, which neighbours share, so a picture of that size is copied
    // without resampling. Turned images go through the full transform, its
    // corners snapped as well: a turned tile on fractional edges left a
    // line of background between two tiles.
    const bool upright = toWidget.m12() == 0 && toWidget.m21() == 0 && toWidget.m11() > 0;
    const double dpr = backing_;
    auto snap = [dpr](double v) { return std::round(v * dpr) / dpr; };
    // A tile's rectangle in the widget, its edges on device pixels.
    auto snapped = [&](const QRectF& frame) {
        const QRectF r = toWidget.mapRect(frame);
        return QRectF(QPointF(snap(r.left()), snap(r.top())),
                      QPointF(snap(r.right()), snap(r.bottom())));
    };
    for (const auto& tile : tiledLayer_->sublayers()) {
        auto* content = static_cast<TileContentSublayer*>(tile.get());
        const QRectF f = content->frame();
        if (!content->hasContents() || f.isEmpty()) continue;
        painter.setRenderHint(QPainter::SmoothPixmapTransform, content->smoothMagnification());
        if (upright) {
            painter.resetTransform();
            painter.drawImage(snapped(f), content->contents());
            continue;
        }
        // Tile pictures have their top row first; layer y points up.
        const QTransform full = QTransform(1, 0, 0, -1, f.x(), f.y() + f.height()) * toWidget;
        const auto snapPoint = [&](QPointF p) { return QPointF(snap(p.x()), snap(p.y())); };
        const QPointF origin = snapPoint(full.map(QPointF(0, 0)));
        const QPointF across = snapPoint(full.map(QPointF(f.width(), 0))) - origin;
        const QPointF down = snapPoint(full.map(QPointF(0, f.height()))) - origin;
        painter.setTransform(QTransform(across.x() / f.width(), across.y() / f.width(),
                                        down.x() / f.height(), down.y() / f.height(), origin.x(),
                                        origin.y()));
        painter.drawImage(QRectF(0, 0, f.width(), f.height()), content->contents());
    }
    if (!cropLayerCntrl_ || !cropLayerCntrl_->showCropArea()) return;
    const auto& cropLayer = cropLayerCntrl_->ourLayer();
    const QRectF active = cropLayer->activeArea();
    const double s = pixelScaleFactor() / backing_;
    painter.setRenderHint(QPainter::Antialiasing, false);
    for (const auto& tile : cropLayer->sublayers()) {
        if (!tile->frame().intersects(active)) continue;
        painter.save();
        // Clipped on whole device pixels, whose edges neighbouring tiles
        // share: a clip on the fractional frame rounds by other rules than
        // the shade's fill and left a row between two tiles unshaded.
        painter.resetTransform();
        painter.setClipRect(snapped(tile->frame()));
        painter.setTransform(toWidget);
        cropLayerCntrl_->drawLayer(*tile, painter, s);
        painter.restore();
    }
}

void DocumentImageView::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    // Fit shows the whole picture at any size of the view (a message bar
    // that comes or goes, a resized window).
    if (fitted_)
        setScaleFactorToFit();
    else
        updateLayerPosition();
}

bool DocumentImageView::event(QEvent* event) {
    if (event->type() == QEvent::ScreenChangeInternal && devicePixelRatioF() != backing_) {
        viewDidChangeBackingProperties();
        setPixelScaleFactor(-1);
    }
    return QWidget::event(event);
}

// ---------------------------------------------------------------- pointer

void DocumentImageView::mousePressEvent(QMouseEvent* event) {
    const QPointF p = viewPointFromWidget(event->position());
    pressed_ = true;
    dragged_ = false;
    ignoreGesture_ = (event->modifiers() & Qt::AltModifier) != 0;
    last_ = p;
    if (ignoreGesture_) return;
    if (trackingMode_ == 1 && event->button() == Qt::LeftButton && cropLayerCntrl_)
        dragEdges_ = CropLayerController::chooseEdges(cropLayerCntrl_->cropArea(),
                                                      viewPointToUnflippedImage(p, false));
}

void DocumentImageView::mouseMoveEvent(QMouseEvent* event) {
    const QPointF p = viewPointFromWidget(event->position());
    currentCursorLocation_ = p;
    cursorIsInView_ = true;
    if (!pressed_ || ignoreGesture_ || !(event->buttons() & Qt::LeftButton)) {
        if (trackingMode_ == 1) resetCursorRects();
        return;
    }
    if (trackingMode_ == 1)
        moveCrop(last_, p);
    else
        panImage(last_, p);
    last_ = p;
    dragged_ = true;
}

void DocumentImageView::mouseReleaseEvent(QMouseEvent*) {
    if (!pressed_) return;
    pressed_ = false;
    if (ignoreGesture_) return;
    if (!dragged_ && trackingMode_ == 2) {
        const QPointF q = viewPointToUnflippedImage(last_, false);
        if (eyeDropperDelegate_) eyeDropperDelegate_->eyedropperWasClicked(this, q);
    } else if (dragged_ && trackingMode_ == 1) {
        endCropDrag();
    }
}

void DocumentImageView::wheelEvent(QWheelEvent* event) {
    event->accept();
    if (!tiledLayer_) return;
    const QPointF from(width() / 2.0, height() / 2.0);
    double dx = event->angleDelta().x() / 120.0, dy = event->angleDelta().y() / 120.0;
    // The wheel scrolls only what does not fit: at Fit it would slide the
    // whole picture out of view, leaving black behind.
    const QSizeF shown = viewRectFromImageRect(imageSize_).size();
    if (shown.width() <= width() + 0.5) dx = 0;
    if (shown.height() <= height() + 0.5) dy = 0;
    if (dx == 0 && dy == 0) return;
    panImage(from, QPointF(from.x() + 20 * dx, from.y() - 20 * dy));
}

void DocumentImageView::enterEvent(QEnterEvent* event) {
    cursorIsInView_ = true;
    currentCursorLocation_ = viewPointFromWidget(event->position());
    setFocus(Qt::MouseFocusReason);
}

void DocumentImageView::leaveEvent(QEvent*) { cursorIsInView_ = false; }
