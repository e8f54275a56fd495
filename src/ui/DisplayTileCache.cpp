#include "ui/DisplayTileCache.h"

#include <algorithm>
#include <cstdlib>

#include "platform/Log.h"

void DisplayTileCache::insertLocked(const TilePtr& tile) {
    cache_[0].insert(tile);
    if (int(cache_[0].size()) >= cacheSize_) {
        cache_[3] = std::move(cache_[2]);
        cache_[2] = std::move(cache_[1]);
        cache_[1] = std::move(cache_[0]);
        cache_[0] = Generation();
    }
}

void DisplayTileCache::insertItem(const TilePtr& tile) {
    std::lock_guard lock(mutex_);
    insertLocked(tile);
}

DisplayTileCache::TilePtr DisplayTileCache::checkCache(uint32_t row, uint32_t column,
                                                       int resolution) {
    std::lock_guard lock(mutex_);
    const auto key = std::make_shared<DisplayRawTile>(row, column, uint32_t(std::abs(resolution)),
                                                      imageTileSize_);
    for (const auto& generation : cache_) {
        auto found = generation.find(key);
        if (found != generation.end()) {
            TilePtr tile = *found;
            insertLocked(tile);
            return tile;
        }
    }
    return nullptr;
}

DisplayTileCache::TilePtr DisplayTileCache::tileForDisplayRow(uint32_t row, uint32_t column,
                                                              int resolution) {
    if (auto tile = checkCache(row, column, resolution)) return tile;
    const uint64_t m = uint64_t(displayTileMultiple_) * imageTileSize_;
    const unsigned shift = unsigned(-resolution) % 32u;
    const int64_t W = int32_t(cacheImage_["width"].integerValue()) >> shift;
    const int64_t H = int32_t(cacheImage_["height"].integerValue()) >> shift;
    if (std::min(uint64_t(W - int64_t(column * m)), m) == 0 ||
        std::min(uint64_t(H - int64_t(row * m)), m) == 0)
        platform::log("zero value: %s", "cacheImage");
    return nullptr;
}

void DisplayTileCache::clearCache() {
    std::lock_guard lock(mutex_);
    for (auto& g : cache_) g.clear();
}

DisplayTileCache::Generation DisplayTileCache::generation(int index) const {
    std::lock_guard lock(mutex_);
    return index >= 0 && index < 4 ? cache_[index] : Generation();
}
