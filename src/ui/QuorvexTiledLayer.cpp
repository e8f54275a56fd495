#include "ui/QuorvexTiledLayer.h"

#include <cmath>

#include "engine/CGImageBitMap.h"
#include "platform/Dispatch.h"
#include "platform/Log.h"
#include "ui/DisplayColor.h"

void QuorvexTiledLayer::powerOfTwoScale(double a, int* n, double* s) {
    *n = 3;
    if (a >= 6) {
        *s = 8;
        return;
    }
    double x = a;
    do {
        *n -= 1;
        x *= 2;
    } while (x < 6 && *n > -64);
    *s = std::ldexp(1.0, *n);
}

void QuorvexTiledLayer::setImage(TiledEngine::Ptr stage) {
    {
        std::lock_guard lock(mutex_);
        theImage_ = std::move(stage);
        if (theImage_) {
            const platform::Rect e = theImage_->extent();
            bounds_ = QRectF(0, 0, e.width, e.height);
        }
        levelsOfDetail_ = uint64_t(-3);  // as many as there are
        levelsOfDetailBias_ = 0;
        tileSize_ = QSize(256, 256);
        opaque_ = true;
        anchorPoint_ = QPointF(0, 0);
        magnificationFilter_ = minificationFilter_ = Filter::Nearest;
        statusTrack_ = ReadWriteLock::init();
    }
    std::weak_ptr<QuorvexTiledLayer> weak = weak_from_this();
    if (weak.expired()) return;
    platform::DispatchQueue::main()->asyncAfter(std::chrono::seconds(1), [weak] {
        if (auto self = weak.lock()) self->updateTimeout();
    });
}

void QuorvexTiledLayer::updateTimeout() {
    std::lock_guard lock(mutex_);
    if (delegate_) delegate_(*this);
}

void QuorvexTiledLayer::QuorvexTiledLayerHasUpdatedMain() {
    Delegate d;
    {
        std::lock_guard lock(mutex_);
        d = std::move(delegate_);
        delegate_ = nullptr;
    }
    if (d) d(*this);
}

void QuorvexTiledLayer::startTileDraw() {
    std::shared_ptr<ReadWriteLock> track;
    {
        std::lock_guard lock(mutex_);
        if (!statusTrack_) statusTrack_ = ReadWriteLock::init();
        track = statusTrack_;
    }
    if (track) track->lockForRead();
}

void QuorvexTiledLayer::endTileDraw() {
    std::shared_ptr<ReadWriteLock> track;
    {
        std::lock_guard lock(mutex_);
        track = statusTrack_;
    }
    if (!track) return;
    track->unlock();
    // The last tile to finish tells the delegate, once, on the main queue.
    if (track->canWriteLock()) {
        std::weak_ptr<QuorvexTiledLayer> weak = weak_from_this();
        if (weak.expired()) {
            QuorvexTiledLayerHasUpdatedMain();
        } else {
            platform::DispatchQueue::main()->async([weak] {
                if (auto self = weak.lock()) self->QuorvexTiledLayerHasUpdatedMain();
            });
        }
        track->unlock();
    }
}

void QuorvexTiledLayer::drawLayerWithContext(QPainter& painter, const QRectF& clip) {
    static const char* kName = "-[QuorvexTiledLayer drawLayerWithContext:]";
    startTileDraw();
    const QTransform t = painter.transform();
    platform::log("%s %f %f %f %f %f %f", kName, t.m11(), t.m12(), t.m21(), t.m22(), t.dx(),
                  t.dy());
    int n = 0;
    double s = 1;
    powerOfTwoScale(t.m11(), &n, &s);
    if (t.m11() != s || t.m22() != s) {
        platform::log(">>>>> BUGFIX %f %f: %f", t.m11(), t.m22(), s);
        tiledLayerScaleAdjust_ = s / t.m11();
        painter.setTransform(QTransform(s, t.m12(), t.m21(), s, t.dx(), t.dy()));
    }
    TiledEngine::Ptr stage;
    {
        std::lock_guard lock(mutex_);
        stage = theImage_;
        const double a = t.m11();
        for (double f : {1.0, a, s})
            platform::log("%s - %f : %i : %f %f %f %f", "QuorvexTiledLayer", s, n, clip.x() * f,
                          clip.y() * f, clip.width() * f, clip.height() * f);
    }
    auto picture =
        stage ? stage->imageTile(n, s,
                                 platform::Rect{clip.x(), clip.y(), clip.width(), clip.height()},
                                 nullptr, nullptr, false, 0)
              : nullptr;
    QImage image;
    if (picture && picture->getImageRef())
        image = platform::DisplayColor::screenImage(*picture->getImageRef(),
                                                    platform::DisplayColor::screenProfile());
    if (!image.isNull())
        painter.drawImage(clip, image);
    else
        platform::log("%s Tile not rendered", kName);
    endTileDraw();
}
