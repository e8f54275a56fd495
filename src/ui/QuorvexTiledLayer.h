// A tiled layer that draws its tiles straight from the engine stage with a
// painter, at a power-of-two scale: the tile's scale a is corrected to the
// power of two at or above it (up to 8), the correction logged and kept. A
// read-write lock counts the tiles drawing, so the last one to finish tells
// the delegate once. Nothing in the application creates one; the live
// display is TiledContentLayer. UnfadedTiledLayer is a tiled layer without fading.
#pragma once

#include <QPainter>
#include <QPointF>
#include <QRectF>
#include <QSize>
#include <functional>
#include <memory>
#include <mutex>

#include "engine/ReadWriteLock.h"
#include "engine/TiledEngine.h"

// Owned through a shared_ptr: the delayed update and the main-queue notice
// hold it weakly. Tiles may draw on several threads at once.
class QuorvexTiledLayer : public std::enable_shared_from_this<QuorvexTiledLayer> {
public:
    using Delegate = std::function<void(QuorvexTiledLayer&)>;
    enum class Filter { Linear, Nearest };
    static double fadeDuration() { return 0.0; }
    static std::shared_ptr<QuorvexTiledLayer> create() {
        return std::shared_ptr<QuorvexTiledLayer>(new QuorvexTiledLayer);
    }

    // The resolution level n and power-of-two scale s for a transform scale a.
    static void powerOfTwoScale(double a, int* n, double* s);

    // Takes the stage and sets the layer up for it: bounds its extent, every
    // level of detail, 256-pixel opaque tiles anchored at the origin,
    // nearest-neighbour filters, a new draw count; updateTimeout follows
    // 1.0 s later on the main queue.
    void setImage(TiledEngine::Ptr stage);
    QRectF bounds() const { return bounds_; }
    uint64_t levelsOfDetail() const { return levelsOfDetail_; }
    int levelsOfDetailBias() const { return levelsOfDetailBias_; }
    QSize tileSize() const { return tileSize_; }
    bool isOpaque() const { return opaque_; }
    QPointF anchorPoint() const { return anchorPoint_; }
    Filter magnificationFilter() const { return magnificationFilter_; }
    Filter minificationFilter() const { return minificationFilter_; }
    void setTiledLayerDelegate(Delegate d) { delegate_ = std::move(d); }
    bool hasDelegate() const { return bool(delegate_); }
    double tiledLayerScaleAdjust() const { return tiledLayerScaleAdjust_; }
    void updateTimeout();
    // The delegate hears of the update, then is dropped; the last tile to
    // finish drawing posts this to the main queue.
    void QuorvexTiledLayerHasUpdatedMain();
    void startTileDraw();
    void endTileDraw();
    // Draws the tile under `clip` (layer coordinates) at the painter's scale.
    void drawLayerWithContext(QPainter& painter, const QRectF& clip);

private:
    QuorvexTiledLayer() = default;
    std::recursive_mutex mutex_;  // the delegate may ask the layer back
    std::shared_ptr<ReadWriteLock> statusTrack_;
    TiledEngine::Ptr theImage_;
    Delegate delegate_;
    double tiledLayerScaleAdjust_ = 1;
    QRectF bounds_;
    uint64_t levelsOfDetail_ = 1;
    int levelsOfDetailBias_ = 0;
    QSize tileSize_{256, 256};
    bool opaque_ = false;
    QPointF anchorPoint_{0.5, 0.5};
    Filter magnificationFilter_ = Filter::Linear, minificationFilter_ = Filter::Linear;
};

class UnfadedTiledLayer {
public:
    static double fadeDuration() { return 0.0; }
};
