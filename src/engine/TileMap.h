// The grid of 512-pixel tiles over a stage's output and the conversions
// between pixel rectangles and TileRegion index ranges.
//
// Ownership: the map owns its trackers; tileMap() hands out a snapshot of the
// tracker array (shared), so a reset never pulls trackers from under a reader.
// Thread safety: every method may be called from any thread. tileLock is a
// recursive lock that serialises whole-map marking (a stage's preparation,
// markAllDirty, resetTiles, tracker creation); workers never wait for it
// while claiming tiles.
#pragma once

#include <memory>
#include <mutex>
#include <vector>

#include "engine/TileRegion.h"
#include "engine/TileTracker.h"
#include "platform/BitmapGeometry.h"

class TileMap {
public:
    static constexpr int kTileSize = 512;
    using Trackers = std::vector<std::shared_ptr<TileTracker>>;

    explicit TileMap(platform::Size size);
    // A copy of another map with trackers of their own.
    static std::shared_ptr<TileMap> initWithMap(TileMap& other);

    // The trackers, row by row, made (all dirty) when there are none.
    std::shared_ptr<const Trackers> tileMap();
    std::recursive_mutex& tileLock() { return tileLock_; }
    // Drops the trackers; the next use makes fresh ones, all dirty.
    void resetTiles();
    // Null outside the grid.
    std::shared_ptr<TileTracker> getTileTracker(int x, int y);

    TileRegion regionForRect(const platform::Rect& rect, int resolution) const;
    // Null for a region with a negative bound.
    platform::Rect rectForRegion(const TileRegion& region) const;

    bool isClean();
    bool isCleanInRect(const platform::Rect& rect);
    // Every tracker that is not clean, row by row.
    Trackers dirtyList();
    // Dirty and edge-dirty tiles counted (and logged); 1000 for any other state.
    int dirtyCount();
    void dumpMap();

    platform::Size imageSize() const { return imageSize_; }
    int xTiles() const { return xTiles_; }
    int yTiles() const { return yTiles_; }
    std::shared_ptr<const Trackers> _tileMap();
    void set_tileMap(std::shared_ptr<const Trackers> trackers);

private:
    platform::Size imageSize_;
    int xTiles_ = 0;
    int yTiles_ = 0;
    std::recursive_mutex tileLock_;
    std::shared_ptr<const Trackers> trackers_;  // guarded by tileLock_
};
