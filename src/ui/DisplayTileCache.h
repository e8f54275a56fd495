// A four-generation cache of display tiles keyed by DisplayRawTile (row,
// column, resolution). Inserting into a full newest generation shifts the
// generations and drops the oldest; a tile found in any generation is
// inserted again into the newest. Nothing in the application creates one.
// Thread-safe: generation changes and lookups run under the cache's lock.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <unordered_set>

#include "platform/BitmapImage.h"
#include "platform/Value.h"

class DisplayRawTile {
public:
    DisplayRawTile(uint32_t row, uint32_t column, uint32_t resolution, uint64_t tileSize)
        : imageTileSize(tileSize),
          rowLocal(row),
          columnLocal(column),
          resolutionLocal(resolution) {}
    uint64_t width = 0, height = 0, imageTileSize = 0;
    uint32_t rowLocal, columnLocal, resolutionLocal;

    uint64_t hash() const {
        return uint64_t(resolutionLocal) << 24 | uint64_t(columnLocal) << 12 | rowLocal;
    }
    bool isEqual(const DisplayRawTile& o) const {
        return rowLocal == o.rowLocal && columnLocal == o.columnLocal &&
               resolutionLocal == o.resolutionLocal;
    }
    bool logThisObject() const { return false; }

    // A new context of the integral new size with the image's sample format,
    // colour space and bitmap information, rows of width x samples per pixel
    // x bytes per sample (samples by the alpha information: 4 for
    // premultiplied alpha, 1 for alpha only, else 3; never shorter than a
    // row of the image's pixels), the image drawn into it at the quality,
    // into a rectangle with width and height exchanged when transposed.
    // Null when the context cannot be made.
    static std::unique_ptr<platform::BitmapContext> createResizedImageBitmap(
        const platform::BitmapImage& image, platform::Size newSize, bool drawTransposed,
        platform::BitmapInterpolation quality);
    static std::shared_ptr<const platform::BitmapImage> createResizedImage(
        const platform::BitmapImage& image, platform::Size newSize, bool drawTransposed,
        platform::BitmapInterpolation quality);
};

class DisplayTileCache {
public:
    using TilePtr = std::shared_ptr<DisplayRawTile>;
    struct Hash {
        size_t operator()(const TilePtr& t) const { return size_t(t->hash()); }
    };
    struct Equal {
        bool operator()(const TilePtr& a, const TilePtr& b) const { return a->isEqual(*b); }
    };
    using Generation = std::unordered_set<TilePtr, Hash, Equal>;

    DisplayTileCache(int displayTileMultiple, uint64_t tileSize, int tileCacheSizePerQuad)
        : cacheSize_(tileCacheSizePerQuad),
          imageTileSize_(tileSize),
          displayTileMultiple_(displayTileMultiple) {}

    void insertItem(const TilePtr& tile);
    TilePtr checkCache(uint32_t row, uint32_t column, int resolution);
    // A cached tile, or null (a miss makes no tile; an empty image is logged).
    TilePtr tileForDisplayRow(uint32_t row, uint32_t column, int resolution);
    void clearCache();

    // Copies of the generations, newest first (0, 1, 2, N).
    Generation generation(int index) const;
    platform::Dictionary& cacheImage() { return cacheImage_; }
    int displayTileMultiple() const { return displayTileMultiple_; }
    uint64_t imageTileSize() const { return imageTileSize_; }
    void setImageTileSize(uint64_t s) { imageTileSize_ = s; }
    bool logThisObject() const { return true; }

private:
    void insertLocked(const TilePtr& tile);
    mutable std::mutex mutex_;
    Generation cache_[4];
    platform::Dictionary cacheImage_;
    int cacheSize_;
    uint64_t imageTileSize_;
    int displayTileMultiple_;
};
