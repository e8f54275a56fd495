// A tiled layer that draws its tiles straight from the engine stage with a
// painter, at a power-of-two scale: the tile's scale a is corrected to the
// power of two at or above it (up to 8), the correction logged and kept. A
// read-write lock counts the tiles drawing, so the last one to finish tells
// the delegate once. Nothing in the application creates one; the live
// display is TiledContentLayer. UnfadedTiledLayer is a tiled layer without fading.
#pragma once

#include <QPainter>
#include <QRectF>
#include <functional>
#include <memory>
#include <mutex>

#include "engine/ReadWriteLock.h"
#include "engine/TiledEngine.h"

class QuorvexTiledLayer {
public:
    using Delegate = std::function<void(QuorvexTiledLayer&)>;
    static double fadeDuration() { return 0.0; }

    // The resolution level n and power-of-two scale s for a transform scale a.
    static void powerOfTwoScale(double a, int* n, double* s);

    void setImage(TiledEngine::Ptr stage);
    QRectF bounds() const { return bounds_; }
    void setTiledLayerDelegate(Delegate d) { delegate_ = std::move(d); }
    bool hasDelegate() const { return bool(delegate_); }
    double tiledLayerScaleAdjust() const { return tiledLayerScaleAdjust_; }
    void updateTimeout();
    void startTileDraw();
    void endTileDraw();
    // Draws the tile under `clip` (layer coordinates) at the painter's scale.
    void drawLayerWithContext(QPainter& painter, const QRectF& clip);

private:
    std::mutex mutex_;
    std::shared_ptr<ReadWriteLock> statusTrack_;
    TiledEngine::Ptr theImage_;
    Delegate delegate_;
    double tiledLayerScaleAdjust_ = 1;
    QRectF bounds_;
};

class UnfadedTiledLayer {
public:
    static double fadeDuration() { return 0.0; }
};
