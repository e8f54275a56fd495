#include "ui/DisplayTileCache.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <string>

#include "platform/Log.h"

namespace {

// "{width = 512; height = 0}": the image description as the log shows it.
std::string describe(const platform::Dictionary& d) {
    std::string text = "{";
    for (const std::string& key : d.keys()) {
        const platform::Value& v = d[key];
        std::string value;
        if (v.isString())
            value = v.stringValue();
        else if (v.isNumber())
            value =
                v.isInteger() ? std::to_string(v.integerValue()) : std::to_string(v.realValue());
        else
            value = "...";
        text += (text.size() > 1 ? "; " : "") + key + " = " + value;
    }
    return text + "}";
}

}  // namespace

std::unique_ptr<platform::BitmapContext> DisplayRawTile::createResizedImageBitmap(
    const platform::BitmapImage& image, platform::Size newSize, bool drawTransposed,
    platform::BitmapInterpolation quality) {
    const double w = std::floor(newSize.width), h = std::floor(newSize.height);
    if (!(w >= 1 && h >= 1) || w > 65535 * 4 || h > 65535 * 4) return nullptr;
    size_t samples = 3;
    switch (image.alphaInfo()) {
        case platform::kBitmapAlphaPremultipliedLast:
        case platform::kBitmapAlphaPremultipliedFirst:
            samples = 4;
            break;
        case platform::kBitmapAlphaOnly:
            samples = 1;
            break;
        default:
            break;
    }
    // Three samples would cut short the rows of a four-component pixel.
    const size_t row = std::max(size_t(w) * samples * (image.bitsPerComponent() / 8),
                                (size_t(w) * image.bitsPerPixel() + 7) / 8);
    auto context = platform::BitmapContext::create(size_t(w), size_t(h), image.bitsPerComponent(),
                                                   image.bitsPerPixel(), row, image.colorSpace(),
                                                   image.bitmapInfo());
    if (!context) return nullptr;
    context->setInterpolationQuality(quality);
    context->drawImage(drawTransposed ? platform::Rect{0, 0, h, w} : platform::Rect{0, 0, w, h},
                       image);
    return context;
}

std::shared_ptr<const platform::BitmapImage> DisplayRawTile::createResizedImage(
    const platform::BitmapImage& image, platform::Size newSize, bool drawTransposed,
    platform::BitmapInterpolation quality) {
    auto context = createResizedImageBitmap(image, newSize, drawTransposed, quality);
    return context ? context->makeImage() : nullptr;
}

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
        platform::log("zero value: %s", describe(cacheImage_).c_str());
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
