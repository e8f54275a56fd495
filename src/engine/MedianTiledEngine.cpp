#include "engine/MedianTiledEngine.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <utility>
#include <vector>

namespace {

const char* const kFilterKey = "Quorvex_ArtifactFilter";

// Branch-free, so that a row of windows vectorises.
[[gnu::always_inline]] inline void exchange(int& a, int& b) {
    const int lo = std::min(a, b);
    b = std::max(a, b);
    a = lo;
}

// The nineteen-step exchange network; the median ends in w[4].
[[gnu::always_inline]] inline int median9(int* w) {
    exchange(w[1], w[2]);
    exchange(w[4], w[5]);
    exchange(w[7], w[8]);
    exchange(w[0], w[1]);
    exchange(w[3], w[4]);
    exchange(w[6], w[7]);
    exchange(w[1], w[2]);
    exchange(w[4], w[5]);
    exchange(w[7], w[8]);
    exchange(w[0], w[3]);
    exchange(w[5], w[8]);
    exchange(w[4], w[7]);
    exchange(w[3], w[6]);
    exchange(w[1], w[4]);
    exchange(w[2], w[5]);
    exchange(w[4], w[7]);
    exchange(w[4], w[2]);
    exchange(w[6], w[4]);
    exchange(w[4], w[2]);
    return w[4];
}

inline uint16_t clamp16(int v) {
    if (v <= 0) return 0;
    return v >= 65535 ? 65535 : uint16_t(v);
}

bool usable(const ImageBuffer* b) { return b && !b->isFloat() && b->pixelBase(); }

}  // namespace

MedianTiledEngine::MedianTiledEngine(platform::Size size, std::optional<std::string> imageID,
                                     bool releasePrecursors)
    : TiledEngine(size, std::move(imageID), releasePrecursors) {
    stageToKey().set(kFilterKey, 2);
    setTilePhases(2);
}

MedianTiledEngine::MedianTiledEngine(Ptr source, std::optional<std::string> imageID,
                                     bool releasePrecursors)
    : TiledEngine(std::move(source), std::move(imageID), releasePrecursors) {
    stageToKey().set(kFilterKey, 2);
    setTilePhases(2);
}

std::shared_ptr<MedianTiledEngine> MedianTiledEngine::initWithSize(
    platform::Size size, std::optional<std::string> imageID, bool releasePrecursors) {
    if (!ImageBuffer::sizeFits(size)) return nullptr;
    return std::make_shared<MedianTiledEngine>(size, std::move(imageID), releasePrecursors);
}

std::shared_ptr<MedianTiledEngine> MedianTiledEngine::initWithImage(
    Ptr source, std::optional<std::string> imageID, bool releasePrecursors) {
    return std::make_shared<MedianTiledEngine>(std::move(source), std::move(imageID),
                                               releasePrecursors);
}

int MedianTiledEngine::artifactFilterStep(const platform::Value& value) {
    const float scaled = value.floatValue(0) * 6.0f;
    if (!(scaled > -1.0f && scaled < 7.0f)) return -1;  // also NaN
    return int(scaled);
}

std::string MedianTiledEngine::engineName() const {
    char name[96];
    std::snprintf(name, sizeof name, "QuorvexMedianEngine_%p_%i", static_cast<const void*>(this),
                  int(colorToProcess_));
    return name;
}

void MedianTiledEngine::setParameters(const std::optional<std::string>& key,
                                      const platform::Dictionary& parameters) {
    if (key && !stageToKey().contains(*key)) {
        TiledEngine::setParameters(key, parameters);
        return;
    }
    static constexpr int kPasses[7] = {0, 2, 4, 6, 6, 6, 6};
    const int step = artifactFilterStep(parameters[kFilterKey]);
    const int passes = step < 0 ? 0 : kPasses[step];
    medianFilterPasses_ = passes;
    setNumberOfPasses(passes == 0 ? 1 : passes);
    markAllDirty();
    TiledEngine::setParameters(key, parameters);
}

MedianTiledEngine::Area MedianTiledEngine::tileArea(TiledEngine& stage, int colStart, int colEnd,
                                                    int rowStart, int rowEnd,
                                                    const ImageBuffer& buffer) {
    Area area{colStart, colEnd, rowStart, rowEnd};
    if (colStart >= 0 && rowStart >= 0 && stage.mainMap()) {
        const int tx = colStart / TileMap::kTileSize, ty = rowStart / TileMap::kTileSize;
        if (auto t = stage.mainMap()->getTileTracker(tx, ty)) {
            const platform::Rect L = t->location();
            const int x0 = int(L.x), x1 = int(L.x + L.width);
            const int y0 = int(L.y), y1 = int(L.y + L.height);
            const bool colsInside = colEnd <= colStart || (x0 <= colStart && colEnd <= x1);
            const bool rowsInside = rowEnd <= rowStart || (y0 <= rowStart && rowEnd <= y1);
            if (colsInside && rowsInside) area = Area{x0, x1, y0, y1};
        }
    }
    area.colStart = std::max(area.colStart, 0);
    area.rowStart = std::max(area.rowStart, 0);
    area.colEnd = std::min(area.colEnd, int(buffer.imageWidth()));
    area.rowEnd = std::min(area.rowEnd, int(buffer.imageHeight()));
    return area;
}

void MedianTiledEngine::processTile(int colStart, int colEnd, int rowStart, int rowEnd,
                                    ImageBuffer* srcBuffer, ImageBuffer* destBuffer, int pass) {
    if (!usable(destBuffer)) return;
    const Area a = tileArea(*this, colStart, colEnd, rowStart, rowEnd, *destBuffer);
    if (medianFilterPasses_ <= 0) {
        if (srcBuffer && srcBuffer != destBuffer)
            copyTile(a.colStart, a.colEnd, a.rowStart, a.rowEnd, srcBuffer, destBuffer);
        return;
    }
    copyToScratch(a.colStart, a.colEnd, a.rowStart, a.rowEnd,
                  pass == 0 && srcBuffer ? srcBuffer : destBuffer, destBuffer);
    filter(colStart, colEnd, rowStart, rowEnd, destBuffer, 3, colorToProcess_);
}

void MedianTiledEngine::processTileInPhase(int phase, int colStart, int colEnd, int rowStart,
                                           int rowEnd, ImageBuffer* srcBuffer,
                                           ImageBuffer* destBuffer, int pass) {
    if (!usable(destBuffer)) return;
    if (medianFilterPasses_ <= 0) {
        if (phase == 0)
            processTile(colStart, colEnd, rowStart, rowEnd, srcBuffer, destBuffer, pass);
        return;
    }
    if (phase == 0) {
        // X and its copy in A agree before the first pass; after it the
        // passes take turns reading one and writing the other, the last one
        // writing X, which saves a copy of the image per pass.
        if (pass != 0) return;
        const Area a = tileArea(*this, colStart, colEnd, rowStart, rowEnd, *destBuffer);
        copyToScratch(a.colStart, a.colEnd, a.rowStart, a.rowEnd,
                      srcBuffer ? srcBuffer : destBuffer, destBuffer);
        return;
    }
    const int X = colorToProcess_;
    const bool writesX = (numberOfPasses() - 1 - pass) % 2 == 0;
    filter(colStart, colEnd, rowStart, rowEnd, destBuffer, writesX ? 3 : X, writesX ? X : 3);
}

void MedianTiledEngine::copyToScratch(int colStart, int colEnd, int rowStart, int rowEnd,
                                      ImageBuffer* from, ImageBuffer* dest) {
    if (!usable(from)) return;
    colEnd = std::min(colEnd, int(from->imageWidth()));
    rowEnd = std::min(rowEnd, int(from->imageHeight()));
    const int X = colorToProcess_;
    for (int row = rowStart; row < rowEnd; ++row) {
        if (isCanceled()) return;
        const uint16_t* s = from->bufferU16ForRow(row, colStart);
        uint16_t* d = dest->bufferU16ForRow(row, colStart);
        if (!s || !d) continue;
        if (from == dest) {
            for (int col = colStart; col < colEnd; ++col, d += 4) d[3] = d[X];
        } else {
            for (int col = colStart; col < colEnd; ++col, s += 4, d += 4) {
                d[0] = s[0];
                d[1] = s[1];
                d[2] = s[2];
                d[3] = s[X];
            }
        }
    }
}

void MedianTiledEngine::filter(int colStart, int colEnd, int rowStart, int rowEnd,
                               ImageBuffer* dest, int readSample, int writeSample) {
    // The window needs a pixel on every side.
    colStart = std::max(colStart, 1);
    rowStart = std::max(rowStart, 1);
    colEnd = std::min(colEnd, int(dest->imageWidth()) - 1);
    rowEnd = std::min(rowEnd, int(dest->imageHeight()) - 1);
    if (colStart >= colEnd || rowStart >= rowEnd) return;
    const size_t n = size_t(colEnd - colStart);
    // Read sample - G of three rows (from one column left to one right of the area),
    // rolled down a row at a time, and the medians of one row.
    std::vector<int32_t> rows[3], medians(n);
    auto differences = [&](int row, std::vector<int32_t>& d) {
        d.resize(n + 2);
        const uint16_t* p = dest->bufferU16ForRow(row, colStart - 1);
        for (size_t i = 0; i < n + 2; ++i, p += 4) d[i] = int32_t(p[readSample]) - int32_t(p[1]);
    };
    differences(rowStart - 1, rows[0]);
    differences(rowStart, rows[1]);
    for (int row = rowStart; row < rowEnd; ++row) {
        if (isCanceled()) return;
        differences(row + 1, rows[2]);
        const int32_t* __restrict a = rows[0].data();
        const int32_t* __restrict h = rows[1].data();
        const int32_t* __restrict b = rows[2].data();
        int32_t* __restrict m = medians.data();
        auto window = [&](size_t i) __attribute__((always_inline)) {
            int w[9] = {a[i],     a[i + 1], a[i + 2], h[i],    h[i + 1],
                        h[i + 2], b[i],     b[i + 1], b[i + 2]};
            return median9(w);
        };
        size_t i = 0;
        for (; i + 8 <= n; i += 8)  // a fixed count the compiler turns into vectors
            for (size_t k = 0; k < 8; ++k) m[i + k] = window(i + k);
        for (; i < n; ++i) m[i] = window(i);
        uint16_t* p = dest->bufferU16ForRow(row, colStart);
        for (size_t i = 0; i < n; ++i, p += 4) p[writeSample] = clamp16(p[1] + medians[i]);
        std::swap(rows[0], rows[1]);
        std::swap(rows[1], rows[2]);
    }
}
