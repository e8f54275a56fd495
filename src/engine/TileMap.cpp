#include "engine/TileMap.h"

#include <algorithm>
#include <cmath>

#include "platform/Log.h"

namespace {

int tilesFor(double pixels) {
    if (!(pixels > 0)) return 0;
    return static_cast<int>(std::trunc((pixels + TileMap::kTileSize - 1) / TileMap::kTileSize));
}

}  // namespace

TileMap::TileMap(platform::Size size)
    : imageSize_(size), xTiles_(tilesFor(size.width)), yTiles_(tilesFor(size.height)) {}

std::shared_ptr<TileMap> TileMap::initWithMap(TileMap& other) {
    std::lock_guard<std::recursive_mutex> guard(other.tileLock_);
    auto map = std::make_shared<TileMap>(other.imageSize_);
    auto copy = std::make_shared<Trackers>();
    for (const auto& t : *other.tileMap()) copy->push_back(TileTracker::initWithTracker(*t));
    map->trackers_ = std::move(copy);
    return map;
}

std::shared_ptr<const TileMap::Trackers> TileMap::tileMap() {
    std::lock_guard<std::recursive_mutex> guard(tileLock_);
    if (!trackers_) {
        auto made = std::make_shared<Trackers>();
        made->reserve(size_t(xTiles_) * size_t(yTiles_));
        const platform::Rect image{0, 0, imageSize_.width, imageSize_.height};
        for (int y = 0; y < yTiles_; ++y)
            for (int x = 0; x < xTiles_; ++x) {
                auto t = std::make_shared<TileTracker>();
                t->setLocation(platform::Rect{double(x) * kTileSize, double(y) * kTileSize,
                                              kTileSize, kTileSize}
                                   .intersection(image));
                made->push_back(std::move(t));
            }
        trackers_ = std::move(made);
    }
    return trackers_;
}

void TileMap::resetTiles() {
    std::lock_guard<std::recursive_mutex> guard(tileLock_);
    trackers_.reset();
}

std::shared_ptr<TileTracker> TileMap::getTileTracker(int x, int y) {
    if (x < 0 || y < 0 || x >= xTiles_ || y >= yTiles_) return nullptr;
    auto trackers = tileMap();
    size_t index = size_t(y) * size_t(xTiles_) + size_t(x);
    return index < trackers->size() ? (*trackers)[index] : nullptr;
}

TileRegion TileMap::regionForRect(const platform::Rect& rect, int resolution) const {
    TileRegion r;
    r.resolution = resolution;
    if (rect.isNull() || rect.isEmpty() || rect.isInfinite()) {
        r.xMin = r.yMin = r.xMax = r.yMax = -1;
        return r;
    }
    const double tile = kTileSize;
    r.xMin = static_cast<int32_t>(std::max(rect.x / tile, 0.0));
    r.yMin = static_cast<int32_t>(std::max(rect.y / tile, 0.0));
    r.xMax =
        static_cast<int32_t>(std::min(double(xTiles_ - 1), (rect.x + rect.width + 1.0) / tile));
    r.yMax =
        static_cast<int32_t>(std::min(double(yTiles_ - 1), (rect.y + rect.height + 1.0) / tile));
    return r;
}

platform::Rect TileMap::rectForRegion(const TileRegion& region) const {
    if (region.xMin < 0 || region.yMin < 0 || region.xMax < 0 || region.yMax < 0)
        return platform::Rect::null();
    const double t = kTileSize;
    platform::Rect r{region.xMin * t, region.yMin * t, (region.xMax * t + t) - region.xMin * t,
                     (region.yMax * t + t) - region.yMin * t};
    return r.intersection(platform::Rect{0, 0, imageSize_.width, imageSize_.height});
}

bool TileMap::isClean() {
    std::lock_guard<std::recursive_mutex> guard(tileLock_);
    auto trackers = tileMap();
    return std::all_of(trackers->begin(), trackers->end(),
                       [](const auto& t) { return t->state() == tileIsClean; });
}

bool TileMap::isCleanInRect(const platform::Rect& rect) {
    std::lock_guard<std::recursive_mutex> guard(tileLock_);
    TileRegion r = regionForRect(rect, 0);
    if (r.xMin > r.xMax) return true;
    for (int y = r.yMin; y <= r.yMax; ++y)
        for (int x = r.xMin; x <= r.xMax; ++x) {
            auto t = getTileTracker(x, y);
            if (!t || t->state() != tileIsClean) return false;
        }
    return true;
}

TileMap::Trackers TileMap::dirtyList() {
    std::lock_guard<std::recursive_mutex> guard(tileLock_);
    Trackers list;
    for (const auto& t : *tileMap())
        if (t->state() != tileIsClean) list.push_back(t);
    return list;
}

int TileMap::dirtyCount() {
    std::lock_guard<std::recursive_mutex> guard(tileLock_);
    int count = 0;
    for (int y = 0; y < yTiles_; ++y)
        for (int x = 0; x < xTiles_; ++x) {
            auto t = getTileTracker(x, y);
            int s = t ? t->state() : -1;
            if (s == tileIsDirty) {
                platform::log("tileIsDirty %i %i", x, y);
                ++count;
            } else if (s == tileIsEdgeDirty) {
                platform::log("tileIsEdgeDirty %i %i", x, y);
                ++count;
            } else if (s != tileIsClean) {
                count += 1000;
            }
        }
    return count;
}

void TileMap::dumpMap() {
    std::lock_guard<std::recursive_mutex> guard(tileLock_);
    for (int y = 0; y < yTiles_; ++y)
        for (int x = 0; x < xTiles_; ++x) {
            auto t = getTileTracker(x, y);
            switch (t ? t->state() : -1) {
                case tileIsDirty:
                    platform::log("Tile %i %i state is tileIsDirty", x, y);
                    break;
                case tileIsEdgeDirty:
                    platform::log("Tile %i %i state is tileIsEdgeDirty", x, y);
                    break;
                case tileIsClean:
                    platform::log("Tile %i %i state is tileIsClean", x, y);
                    break;
                default:
                    platform::log("Tile %i %i state is undefined", x, y);
                    break;
            }
        }
}

std::shared_ptr<const TileMap::Trackers> TileMap::_tileMap() {
    std::lock_guard<std::recursive_mutex> guard(tileLock_);
    return trackers_;
}

void TileMap::set_tileMap(std::shared_ptr<const Trackers> trackers) {
    std::lock_guard<std::recursive_mutex> guard(tileLock_);
    trackers_ = std::move(trackers);
}
