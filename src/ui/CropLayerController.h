// The crop overlay: shades everything outside the crop rectangle and, while
// the user crops, draws a frame, a rule-of-thirds grid and corner marks. Its
// layer is a drawn TiledContentLayer cut like the image's, following the image
// layer's position and transform; the image view paints its tiles through
// drawLayer().
//
// The crop is in unflipped image pixels (origin top-left, y downward); a
// width below 0 means no crop. The drag rules are plain functions so that the
// view and the tests share them. GUI thread only.
#pragma once

#include <QPainter>
#include <QRectF>
#include <memory>

#include "ui/TiledContentLayer.h"

class CropLayerController {
public:
    // Which edges a drag moves.
    struct Edges {
        bool left = false, right = false, top = false, bottom = false;
    };

    // Null without a settings layer.
    static std::unique_ptr<CropLayerController> initReadyToAdjust(
        bool adjust, const std::shared_ptr<TiledContentLayer>& settings);

    void setupLayer();
    void setSize(const QRectF& extent);
    void setShowCropArea(bool show) { ourLayer_->setHidden(!show); }
    bool showCropArea() const { return !ourLayer_->hidden(); }
    void setForAdjusting(bool adjust);
    bool areAdjusting() const { return adjustable_; }
    const QRectF& cropArea() const { return cropArea_; }
    void setCropArea(const QRectF& crop) { cropArea_ = crop; }
    const std::shared_ptr<TiledContentLayer>& ourLayer() const { return ourLayer_; }

    // Draws one tile in layer coordinates; `pointsPerImagePixel` is the
    // on-screen size of an image pixel. The caller clips to the tile: the
    // shade reaches past its frame.
    void drawLayer(TileSublayer& tile, QPainter& painter, double pointsPerImagePixel) const;

    // The crop in layer coordinates (origin bottom-left) as drawn: rounded to
    // whole pixels; empty when nothing is drawn (no crop, 1 pixel or less).
    static QRectF layerRect(const QRectF& crop, double imageHeight);
    // The frame's width in image pixels: 1.5 points on screen, at least 2.
    static float frameWidth(double pointsPerImagePixel);
    // The nearest corner's edges for a click at p (unflipped image pixels).
    static Edges chooseEdges(const QRectF& crop, QPointF p);
    // One drag step from a to b (unflipped image pixels): the moved edges stop
    // 100 pixels from the opposite ones, the result is clipped to the image.
    static QRectF moveCrop(const QRectF& crop, const Edges& edges, QPointF a, QPointF b,
                           QSizeF imageSize);
    // The crop a click into crop mode makes: the middle half of what shows.
    static QRectF entryCrop(const QRectF& displayed);
    // The rectangle handed to the document: each component rounded up.
    static QRectF roundedUp(const QRectF& crop);

private:
    CropLayerController() = default;
    QRectF cropArea_{-1, -1, -1, -1};
    std::shared_ptr<TiledContentLayer> ourLayer_;
    bool adjustable_ = false;
    uint64_t levelsOfDetail_ = 0, levelsOfDetailBias_ = 0;
    QSizeF tileSize_;
};
