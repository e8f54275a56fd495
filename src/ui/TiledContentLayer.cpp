#include "ui/TiledContentLayer.h"

#include <chrono>
#include <cmath>
#include <limits>

#include "engine/CGImageBitMap.h"
#include "platform/Log.h"
#include "ui/DisplayColor.h"

int TileResolutionForScale(double S, uint64_t levelsOfDetail) {
    double x = 1.0;
    uint64_t k = 1;
    for (;; ++k) {
        x *= 0.5;
        if (x <= S || k - 1 > levelsOfDetail) break;
    }
    return int(1 - int64_t(k));
}

int TileScaleKey(double S) { return int(std::floor(float(100.0 / S))); }

// ---------------------------------------------------------------- tiles

std::weak_ptr<TiledContentLayer> TileSublayer::delegate() const {
    std::lock_guard lock(delegateMutex_);
    return delegate_;
}

void TileSublayer::setDelegate(std::weak_ptr<TiledContentLayer> d) {
    std::lock_guard lock(delegateMutex_);
    delegate_ = std::move(d);
}

void TileContentSublayer::setContents(const QImage& picture) {
    if (picture.isNull()) setContentIsDirty(true);
    contents_ = picture;
}

void TileContentSublayer::freeVRAM() {
    contents_ = QImage();
    setContentIsDirty(true);
}

void TileContentSublayer::setNeedsDisplay() {
    if (!serialQueue_)
        serialQueue_ =
            platform::DispatchQueue::createSerial("org.quorvex.tovrelink.quorvex.display");
    auto self = std::static_pointer_cast<TileContentSublayer>(shared_from_this());
    if (!serialQueue_) {
        platform::log("%s warning - no serial queue", "-[TileContentSublayer display]");
        fetch();
        return;
    }
    serialQueue_->async([self] { self->fetch(); });
}

void TileContentSublayer::fetch() {
    std::shared_ptr<TiledContentLayer> layer = delegate().lock();
    if (!layer) return;
    auto self = std::static_pointer_cast<TileContentSublayer>(shared_from_this());
    std::weak_ptr<TiledContentLayer> weakLayer = layer;
    while (contentIsDirty()) {
        setContentIsDirty(false);
        bool isThumbnail = false;
        layer->countFetch();
        auto picture = layer->imageTile(*this, resolution_, scale_, frame_, &isThumbnail);
        QImage image;
        if (picture && picture->getImageRef())
            image = platform::DisplayColor::screenImage(*picture->getImageRef(),
                                                        layer->displayProfile());
        if (!image.isNull()) {
            platform::DispatchQueue::main()->async([self, image, isThumbnail, weakLayer] {
                self->setSmoothMagnification(isThumbnail);
                self->setContents(image);
                if (auto l = weakLayer.lock()) l->tileContentsChanged();
            });
        } else {
            platform::DispatchQueue::main()->asyncAfter(std::chrono::milliseconds(5), [self] {
                // A tile dropped from its grid stops asking.
                if (self->delegate().expired()) return;
                self->setContentIsDirty(true);
                self->setNeedsDisplay();
            });
        }
        if (delegate().expired()) break;
    }
}

// ---------------------------------------------------------------- the layer

std::shared_ptr<TiledContentLayer> TiledContentLayer::create(bool useTiledEngine) {
    return std::shared_ptr<TiledContentLayer>(new TiledContentLayer(useTiledEngine));
}

QSizeF TiledContentLayer::tileSize() const {
    std::lock_guard lock(valueMutex_);
    return tileSize_;
}

void TiledContentLayer::setTileSize(QSizeF size) {
    std::lock_guard lock(valueMutex_);
    tileSize_ = size;
}

QRectF TiledContentLayer::activeTileArea() const {
    std::lock_guard lock(valueMutex_);
    return activeTileArea_;
}

void TiledContentLayer::setActiveTileArea(const QRectF& r) {
    std::lock_guard lock(valueMutex_);
    activeTileArea_ = r;
}

TiledEngine::Ptr TiledContentLayer::image() const {
    std::lock_guard lock(valueMutex_);
    return theImage_;
}

std::shared_ptr<const platform::IccProfile> TiledContentLayer::displayProfile() const {
    std::lock_guard lock(valueMutex_);
    return displayProfile_;
}

void TiledContentLayer::setDisplayProfile(std::shared_ptr<const platform::IccProfile> p) {
    std::lock_guard lock(valueMutex_);
    displayProfile_ = std::move(p);
}

QPointF TiledContentLayer::fromSuperlayer(QPointF p) const {
    bool ok = false;
    const QTransform inverse = transform_.inverted(&ok);
    return ok ? inverse.map(p - position_) : p - position_;
}

QRectF TiledContentLayer::rectFromSuperlayer(const QRectF& r) const {
    bool ok = false;
    const QTransform inverse = transform_.inverted(&ok);
    const QRectF moved = r.translated(-position_);
    return ok ? inverse.mapRect(moved) : moved;
}

void TiledContentLayer::setBounds(const QRectF& bounds) {
    if (bounds == bounds_) return;
    levelsOfDetail_ = std::numeric_limits<uint64_t>::max() - 2;  // -3 stored unsigned
    levelsOfDetailBias_ = 0;
    setTileSize(QSizeF(256, 256));
    removeSublayers();
    bounds_ = bounds;
    setNeedsDisplay();
}

void TiledContentLayer::removeSublayers() {
    std::lock_guard lock(tileLock_);
    for (auto& tile : sublayers_) tile->setDelegate({});
    sublayers_.clear();
}

void TiledContentLayer::setContentsScale(double scale) {
    contentsScale_ = scale;
    removeSublayers();
    setNeedsDisplay();
}

void TiledContentLayer::setImage(TiledEngine::Ptr stage) {
    if (!useTiledEngine_) {
        platform::log("assertion failed: useTiledEngine");
        std::abort();
    }
    platform::Rect extent;
    {
        std::lock_guard lock(valueMutex_);
        theImage_ = std::move(stage);
        if (theImage_) extent = theImage_->extent();
    }
    setBounds(QRectF(0, 0, extent.width, extent.height));
    {
        std::lock_guard lock(tileLock_);
        for (auto& tile : sublayers_) tile->setContentIsDirty(true);
    }
    setNeedsDisplay();
}

QRectF TiledContentLayer::activeArea() const {
    if (visibleRect_.isEmpty()) return {};
    return rectFromSuperlayer(visibleRect_).intersected(bounds_);
}

void TiledContentLayer::setNeedsDisplay() {
    const QRectF A = activeArea();
    const double S =
        std::max(std::abs(transform_.m11()), std::abs(transform_.m12())) * contentsScale_;
    // A scale that is not a positive number lays out nothing: the loops
    // below would never end.
    if (!(S > 0) || !std::isfinite(S) || bounds_.width() <= 0 || bounds_.height() <= 0) return;
    const int r = TileResolutionForScale(S, levelsOfDetail_);
    const int key = TileScaleKey(S);
    const QSizeF size = tileSize();
    const double tw = size.width() / S, th = size.height() / S;
    const double W = bounds_.width(), H = bounds_.height();
    std::weak_ptr<TiledContentLayer> self = weak_from_this();

    std::lock_guard lock(tileLock_);
    if (!sublayers_.empty() && key != savedResolution_) {
        for (auto& tile : sublayers_) tile->setDelegate({});
        sublayers_.clear();
        savedResolution_ = key;
    }
    if (sublayers_.empty()) {
        for (double x = 0; x < W; x += tw) {
            for (double y = H - th; y >= 1 - th; y -= th) {
                const QRectF frame(x, std::max(y, 0.0), std::min(tw, W - x - double(0.01f)),
                                   std::min(th, y + th));
                std::shared_ptr<TileSublayer> tile;
                if (useTiledEngine_)
                    tile = std::make_shared<TileContentSublayer>();
                else
                    tile = std::make_shared<TileDrawSublayer>();
                tile->setFrame(frame);
                tile->setResolution(r);
                tile->setScale(S);
                tile->setContentIsDirty(true);
                tile->setDelegate(self);
                sublayers_.push_back(std::move(tile));
            }
        }
    }
    QRectF active;
    for (auto& tile : sublayers_) {
        if (!A.isEmpty() && tile->frame().intersects(A)) {
            active = active.isNull() ? tile->frame() : active.united(tile->frame());
            tile->setNeedsDisplay();
        } else if (tile->hasContents()) {
            tile->freeVRAM();
        }
    }
    setActiveTileArea(active);
}

std::shared_ptr<CGImageBitMap> TiledContentLayer::imageTile(TileSublayer&, int resolution,
                                                            double scale, const QRectF& rect,
                                                            bool* tileIsThumbnail) {
    auto stage = image();
    if (!stage) return nullptr;
    return stage->imageTile(resolution, scale,
                            platform::Rect{rect.x(), rect.y(), rect.width(), rect.height()},
                            nullptr, tileIsThumbnail, false, 0);
}

void TiledContentLayer::drawLayerTile(TileSublayer& tile, QPainter& painter) {
    if (drawDelegate_) drawDelegate_(tile, painter);
}
