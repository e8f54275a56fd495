// The display's tile grid, without a layer tree: plain objects that the image
// view paints.
//
// TiledContentLayer owns a grid of tiles sized for the current display scale (256
// device pixels a side), marks the visible ones for display, frees the
// pictures of the hidden ones and records the union of the visible tiles
// (the engine's work area). Its coordinates are image pixels with the origin
// at the image's bottom-left and y upward; `transform` maps them into the
// view (points, origin bottom-left) about `position`.
//
// TileContentSublayer fetches its picture from the engine stage on a serial
// queue of its own, converts it to the screen's colours there, and sets it on
// the main queue. TileDrawSublayer is drawn by the layer's draw delegate
// (the crop overlay).
//
// Ownership: the layer holds its tiles and its stage by shared_ptr; a fetch
// holds its tile, and the layer only weakly, so the grid may be rebuilt or
// the layer dropped while a fetch runs. Threads: everything but the fetch
// runs on the GUI thread; `contentIsDirty` and `activeTileArea` are atomic.
#pragma once

#include <QImage>
#include <QPainter>
#include <QRectF>
#include <QTransform>
#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "engine/TiledEngine.h"
#include "platform/Dispatch.h"
#include "platform/IccProfile.h"

class TiledContentLayer;

class TileSublayer : public std::enable_shared_from_this<TileSublayer> {
public:
    virtual ~TileSublayer() = default;
    int resolution() const { return resolution_; }
    void setResolution(int r) { resolution_ = r; }
    double scale() const { return scale_; }
    void setScale(double s) { scale_ = s; }
    bool contentIsDirty() const { return contentIsDirty_.load(); }
    void setContentIsDirty(bool d) { contentIsDirty_.store(d); }
    const QRectF& frame() const { return frame_; }
    void setFrame(const QRectF& f) { frame_ = f; }
    // Smooth (thumbnail-backed) or nearest magnification.
    bool smoothMagnification() const { return smooth_; }
    void setSmoothMagnification(bool smooth) { smooth_ = smooth; }
    std::weak_ptr<TiledContentLayer> delegate() const;
    void setDelegate(std::weak_ptr<TiledContentLayer> d);
    virtual bool hasContents() const { return false; }
    virtual void setNeedsDisplay() {}
    virtual void freeVRAM() {}

protected:
    int resolution_ = 0;
    double scale_ = 1;
    std::atomic<bool> contentIsDirty_{true};
    QRectF frame_;
    bool smooth_ = false;
    mutable std::mutex delegateMutex_;
    std::weak_ptr<TiledContentLayer> delegate_;
};

class TileContentSublayer : public TileSublayer {
public:
    // Starts a fetch (the tile's display).
    void setNeedsDisplay() override;
    void freeVRAM() override;
    bool hasContents() const override { return !contents_.isNull(); }
    const QImage& contents() const { return contents_; }
    // A null picture also marks the tile dirty.
    void setContents(const QImage& picture);

private:
    void fetch();
    QImage contents_;  // GUI thread only
    platform::QueuePtr serialQueue_;
};

class TileDrawSublayer : public TileSublayer {};

class TiledContentLayer : public std::enable_shared_from_this<TiledContentLayer> {
public:
    // Draws one tile of a drawn layer in layer coordinates.
    using DrawDelegate = std::function<void(TileSublayer& tile, QPainter& painter)>;

    static std::shared_ptr<TiledContentLayer> create(bool useTiledEngine);

    uint64_t levelsOfDetail() const { return levelsOfDetail_; }
    void setLevelsOfDetail(uint64_t v) { levelsOfDetail_ = v; }
    uint64_t levelsOfDetailBias() const { return levelsOfDetailBias_; }
    void setLevelsOfDetailBias(uint64_t v) { levelsOfDetailBias_ = v; }
    QSizeF tileSize() const;
    void setTileSize(QSizeF size);
    bool useTiledEngine() const { return useTiledEngine_; }
    int savedResolution() const { return savedResolution_; }
    QRectF activeTileArea() const;
    void setActiveTileArea(const QRectF& r);

    const QRectF& bounds() const { return bounds_; }
    void setBounds(const QRectF& bounds);
    const QTransform& transform() const { return transform_; }
    void setTransform(const QTransform& t) { transform_ = t; }
    QPointF position() const { return position_; }
    void setPosition(QPointF p) { position_ = p; }
    double contentsScale() const { return contentsScale_; }
    // Rebuilds the grid.
    void setContentsScale(double scale);
    // The superlayer's (view's) visible rectangle, in view coordinates.
    void setVisibleRect(const QRectF& r) { visibleRect_ = r; }
    bool hidden() const { return hidden_; }
    void setHidden(bool h) { hidden_ = h; }

    // Drops the grid; its tiles stop fetching.
    void removeSublayers();
    // Only for content layers.
    void setImage(TiledEngine::Ptr stage);
    TiledEngine::Ptr image() const;
    // The layout and visibility pass.
    void setNeedsDisplay();
    QRectF activeArea() const;

    // Layer <-> superlayer (view) coordinates.
    QPointF toSuperlayer(QPointF p) const { return transform_.map(p) + position_; }
    QPointF fromSuperlayer(QPointF p) const;
    QRectF rectToSuperlayer(const QRectF& r) const {
        return transform_.mapRect(r).translated(position_);
    }
    QRectF rectFromSuperlayer(const QRectF& r) const;

    // Called on a tile's queue.
    std::shared_ptr<CGImageBitMap> imageTile(TileSublayer& tile, int resolution, double scale,
                                             const QRectF& rect, bool* tileIsThumbnail);
    void drawLayerTile(TileSublayer& tile, QPainter& painter);
    void setDrawDelegate(DrawDelegate d) { drawDelegate_ = std::move(d); }

    // The profile pictures are converted to (the screen's).
    std::shared_ptr<const platform::IccProfile> displayProfile() const;
    void setDisplayProfile(std::shared_ptr<const platform::IccProfile> p);
    // Told on the GUI thread when a tile's picture changed.
    void setContentsChanged(std::function<void()> f) { contentsChanged_ = std::move(f); }
    void tileContentsChanged() {
        if (contentsChanged_) contentsChanged_();
    }

    const std::vector<std::shared_ptr<TileSublayer>>& sublayers() const { return sublayers_; }
    // Tiles fetched (engine asked) since creation; for tests.
    uint64_t fetchCount() const { return fetches_.load(); }
    void countFetch() { fetches_.fetch_add(1); }

    static double fadeDuration() { return 0.0; }

private:
    explicit TiledContentLayer(bool useTiledEngine) : useTiledEngine_(useTiledEngine) {}

    uint64_t levelsOfDetail_ = 4;
    uint64_t levelsOfDetailBias_ = 2;
    mutable std::mutex valueMutex_;  // tileSize, activeTileArea, stage, profile
    QSizeF tileSize_{512, 512};
    QRectF activeTileArea_;
    bool useTiledEngine_;
    int savedResolution_ = 0;
    TiledEngine::Ptr theImage_;
    std::shared_ptr<const platform::IccProfile> displayProfile_;
    std::mutex tileLock_;
    std::vector<std::shared_ptr<TileSublayer>> sublayers_;
    QRectF bounds_;
    QTransform transform_;
    QPointF position_;
    double contentsScale_ = 1;
    QRectF visibleRect_;
    bool hidden_ = false;
    DrawDelegate drawDelegate_;
    std::function<void()> contentsChanged_;
    std::atomic<uint64_t> fetches_{0};
};

// The tile's resolution level for a display scale S (device pixels per image
// pixel): 0 for S >= 0.5, -1 below, and so on, bounded by levelsOfDetail.
int TileResolutionForScale(double S, uint64_t levelsOfDetail);
// The grid's key: floor(100 / S) as the layout computes it.
int TileScaleKey(double S);
