// The tiled image view of a document window: a widget that paints the
// image's tile grid (TiledContentLayer) and the crop overlay above it. It keeps the
// zoom and the image point shown at the centre, applies the orientation as
// the layers' transform, pans with the mouse and the wheel, runs the cursor
// modes (0 pan, 1 crop, 2 eyedropper), reports the visible tile area that
// becomes the engine's work area and the pointer's position in image pixels.
//
// Coordinates: "view" points have their origin at the widget's bottom-left
// with y upward (Qt's widget points flipped); layer image coordinates have
// the origin at the image's bottom-left; unflipped image coordinates (crop,
// centre, eyedropper, readout) at its top-left with y downward.
//
// GUI thread only, except sharedActiveTiledRect(), which any thread may read.
#pragma once

#include <QPointF>
#include <QRectF>
#include <QTransform>
#include <QWidget>
#include <memory>
#include <mutex>

#include "engine/TiledEngine.h"
#include "ui/CropLayerController.h"
#include "ui/TiledContentLayer.h"

// The eyedropper and crop delegate of the view.
class RizuDavazORAredOreDurirodIrivirar {
public:
    virtual ~RizuDavazORAredOreDurirodIrivirar() = default;
    virtual void eyedropperWasClicked(QWidget* view, QPointF point) = 0;
    virtual void cropRectChanged(const QRectF& rect) = 0;
};

// The visible tile area in unflipped image pixels, stored at each layout and
// read from any thread.
class SharedTiledRect {
public:
    QRectF get() const {
        std::lock_guard lock(mutex_);
        return rect_;
    }
    void set(const QRectF& r) {
        std::lock_guard lock(mutex_);
        rect_ = r;
    }

private:
    mutable std::mutex mutex_;
    QRectF rect_;
};

class DocumentImageView : public QWidget {
    Q_OBJECT
public:
    explicit DocumentImageView(QWidget* parent = nullptr);
    ~DocumentImageView() override;

    bool setImage(TiledEngine::Ptr stage, int orientation, int imageNum);
    void setOrientation(int orientation);
    int imageOrientation() const { return imageOrientation_; }
    const QRectF& imageSize() const { return imageSize_; }
    QPointF imageCenter() const { return imageCenter_; }

    float pixelScaleFactor() const;
    void setPixelScaleFactor(float f);
    // Zooms to fit, and keeps the whole picture shown as the view's size or
    // the picture's orientation changes, until another zoom is chosen.
    void setScaleFactorToFit();
    bool fitted() const { return fitted_; }
    // The scale setScaleFactorToFit would set (at most 1; 1 without an image).
    float fitScaleFactor() const;
    static float roundedScaleFactor(float f);
    double backingScaleFactor() const;

    QPointF viewPointFromImagePoint(QPointF p) const;
    QRectF viewRectFromImageRect(const QRectF& r) const;
    QPointF viewPointToUnflippedImage(QPointF p, bool clipToImage) const;
    QRectF viewRectToUnflippedImage(const QRectF& r) const;
    QRectF displayedImageRect() const;
    QRectF activeArea() const;
    QRectF activeTiledRect() const;
    QPointF getPixelUnrotatedLocation() const;
    static QTransform imageTransformForOrientation(int code, double W, double H);
    // The layers' transform for a scale in points per image pixel.
    QTransform layerTransform(float s) const;

    void updateLayerPosition();
    void markLocationChanged();
    void panImage(QPointF from, QPointF to);

    uint64_t cursorTrackingMode() const { return trackingMode_; }
    void setCursorTrackingMode(uint64_t mode);
    void setCropRect(const QRectF& rect);
    QRectF savedCropRect() const { return savedCropRect_; }
    void moveCrop(QPointF last, QPointF location);

    void setEyeDropperDelegate(RizuDavazORAredOreDurirodIrivirar* d) { eyeDropperDelegate_ = d; }
    RizuDavazORAredOreDurirodIrivirar* eyeDropperDelegate() const { return eyeDropperDelegate_; }
    CropLayerController* cropLayerCntrl() const { return cropLayerCntrl_.get(); }
    const std::shared_ptr<TiledContentLayer>& tiledLayer() const { return tiledLayer_; }
    const std::shared_ptr<SharedTiledRect>& sharedActiveTiledRect() const { return shared_; }

    bool getDrawInProgress() const { return false; }
    void doneWithView();
    // Qt point (widget, y down) <-> view point (y up).
    QPointF viewPointFromWidget(QPointF p) const { return QPointF(p.x(), height() - p.y()); }
    QPointF widgetPointFromView(QPointF p) const { return QPointF(p.x(), height() - p.y()); }
    // The pointer, for tests that cannot move a real one.
    void setCurrentCursorLocation(QPointF viewPoint, bool inView);
    void viewDidChangeBackingProperties();

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;
    bool event(QEvent* event) override;

private:
    void layerForImage(TiledEngine::Ptr stage);
    void layoutLayers();
    void resetCursorRects();
    void endCropDrag();

    QRectF imageSize_;
    QPointF imageCenter_;
    bool cursorIsInView_ = false;
    QPointF currentCursorLocation_;
    bool noScaleYet_ = true;
    bool fitted_ = false;
    RizuDavazORAredOreDurirodIrivirar* eyeDropperDelegate_ = nullptr;
    uint64_t trackingMode_ = 0;
    QRectF cropPort_v_;
    CropLayerController::Edges dragEdges_;
    int imageOrientation_ = 0;
    std::shared_ptr<TiledContentLayer> tiledLayer_;
    std::unique_ptr<CropLayerController> cropLayerCntrl_;
    QRectF savedCropRect_{-1, -1, -1, -1};
    std::shared_ptr<SharedTiledRect> shared_ = std::make_shared<SharedTiledRect>();
    double backing_ = 1;
    // The gesture in progress.
    bool pressed_ = false, dragged_ = false, ignoreGesture_ = false;
    QPointF last_;
};
