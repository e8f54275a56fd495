#include "engine/MedianTiledEngine.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <utility>
#include <vector>

#include "color/SettingsKeys.h"

namespace {

const char* const kFilterKey = SettingsKeys::kArtifactFilter;

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

std::shared_ptr<TileProcess> MedianTiledEngine::runProcessToCompletion(const TileRegion& region) {
    halo_.clear();
    auto result = TiledEngine::runProcessToCompletion(region);
    halo_.clear();  // tiles canceled between the phases
    return result;
}

void MedianTiledEngine::processTile(int colStart, int colEnd, int rowStart, int rowEnd,
                                    ImageBuffer* srcBuffer, ImageBuffer* destBuffer, int pass) {
    processTileInPhase(0, colStart, colEnd, rowStart, rowEnd, srcBuffer, destBuffer, pass);
    processTileInPhase(1, colStart, colEnd, rowStart, rowEnd, srcBuffer, destBuffer, pass);
}

void MedianTiledEngine::processTileInPhase(int phase, int colStart, int colEnd, int rowStart,
                                           int rowEnd, ImageBuffer* srcBuffer,
                                           ImageBuffer* destBuffer, int pass) {
    if (!usable(destBuffer) || pass != 0) return;
    ImageBuffer* src = usable(srcBuffer) ? srcBuffer : destBuffer;
    if (src->imageWidth() != destBuffer->imageWidth() ||
        src->imageHeight() != destBuffer->imageHeight())
        return;
    const Area a = tileArea(*this, colStart, colEnd, rowStart, rowEnd, *destBuffer);
    const int passes = medianFilterPasses_;
    const bool inPlace = src == destBuffer;
    if (passes <= 0) {
        // A copy; in place there is nothing to do.
        if (phase == 0 && !inPlace)
            copyTile(a.colStart, a.colEnd, a.rowStart, a.rowEnd, src, destBuffer);
        return;
    }
    const int W = destBuffer->imageWidth(), H = destBuffer->imageHeight();
    if (inPlace && phase == 0) {
        halo_.keep(*this, a.colStart, a.colEnd, a.rowStart, a.rowEnd, passes, src, destBuffer);
        return;
    }
    if (!inPlace && phase != 0) return;
    PixelPatch out(a.colStart, a.colEnd, a.rowStart, a.rowEnd);
    bool done;
    if (inPlace) {
        PixelPatch input;
        if (!halo_.take(*this, a.colStart, a.colEnd, a.rowStart, a.rowEnd, passes, src, destBuffer,
                        input))
            return;
        done = filterInto([&](int row, int col) -> const uint16_t* { return input.at(col, row); },
                          passes, W, H, out);
    } else {
        done = filterInto(
            [&](int row, int col) -> const uint16_t* { return src->bufferU16ForRow(row, col); },
            passes, W, H, out);
    }
    if (!done) return;
    for (int row = out.rowStart; row < out.rowEnd; ++row)
        std::memcpy(destBuffer->bufferU16ForRow(row, out.colStart), out.at(out.colStart, row),
                    size_t(out.width()) * 8);
}

bool MedianTiledEngine::renderArea(PixelPatch& out) {
    if (out.empty()) return true;
    const int passes = medianFilterPasses_;
    if (passes <= 0)
        return sourceOutputBetweenRuns(out, out.colStart, out.colEnd, out.rowStart, out.rowEnd);
    const int W = int(outputSize().width), H = int(outputSize().height);
    PixelPatch input =
        HaloInput::widened(out.colStart, out.colEnd, out.rowStart, out.rowEnd, passes, W, H);
    if (!sourceOutputBetweenRuns(input, input.colStart, input.colEnd, input.rowStart, input.rowEnd))
        return false;
    return filterInto([&](int row, int col) -> const uint16_t* { return input.at(col, row); },
                      passes, W, H, out);
}

template <class Input>
bool MedianTiledEngine::filterInto(const Input& input, int passes, int width, int height,
                                   PixelPatch& out) {
    const int X = colorToProcess_;
    // The filtered pixels: inside the border bands, with a neighbour on every side.
    const int hb = horizontalBorder(), vb = verticalBorder();
    const int fc0 = std::max(hb, 1), fc1 = std::min(width - hb, width - 1);
    const int fr0 = std::max(vb, 1), fr1 = std::min(height - vb, height - 1);
    // X - G and G over the widened area, the values of the last pass in
    // `now` and of the one before it in `before`.
    const int ec0 = std::max(out.colStart - passes, 0), ec1 = std::min(out.colEnd + passes, width);
    const int er0 = std::max(out.rowStart - passes, 0), er1 = std::min(out.rowEnd + passes, height);
    const size_t ew = size_t(ec1 - ec0), eh = size_t(er1 - er0);
    std::vector<int32_t> green(ew * eh), now(ew * eh);
    for (int row = er0; row < er1; ++row) {
        const uint16_t* p = input(row, ec0);
        int32_t* g = &green[size_t(row - er0) * ew];
        int32_t* d = &now[size_t(row - er0) * ew];
        for (size_t i = 0; i < ew; ++i, p += 4) {
            g[i] = p[1];
            d[i] = int32_t(p[X]) - int32_t(p[1]);
        }
    }
    std::vector<int32_t> before = now, medians(ew);
    auto at = [&](std::vector<int32_t>& v, int row, int col) {
        return v.data() + size_t(row - er0) * ew + size_t(col - ec0);
    };
    for (int pass = 0; pass < passes; ++pass) {
        // Pass p is needed over the output area widened by the passes left after it.
        const int grow = passes - 1 - pass;
        const int c0 = std::max(out.colStart - grow, fc0), c1 = std::min(out.colEnd + grow, fc1);
        const int r0 = std::max(out.rowStart - grow, fr0), r1 = std::min(out.rowEnd + grow, fr1);
        // `before` becomes this pass's output; pixels left unfiltered hold
        // the input in both.
        for (int row = r0; row < r1 && c0 < c1; ++row) {
            if (isCanceled()) return false;
            const size_t n = size_t(c1 - c0);
            const int32_t* __restrict a = at(now, row - 1, c0 - 1);
            const int32_t* __restrict h = at(now, row, c0 - 1);
            const int32_t* __restrict b = at(now, row + 1, c0 - 1);
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
            const int32_t* g = at(green, row, c0);
            int32_t* next = at(before, row, c0);
            for (size_t j = 0; j < n; ++j) next[j] = clamp16(g[j] + m[j]) - g[j];
        }
        std::swap(now, before);
    }
    // X from the last pass, A (the copy of X the last pass read) from the one before.
    for (int row = out.rowStart; row < out.rowEnd; ++row) {
        const uint16_t* p = input(row, out.colStart);
        uint16_t* o = out.at(out.colStart, row);
        const int32_t* g = at(green, row, out.colStart);
        const int32_t* last = at(now, row, out.colStart);
        const int32_t* previous = at(before, row, out.colStart);
        for (int i = 0; i < out.width(); ++i, p += 4, o += 4) {
            o[0] = p[0];
            o[1] = p[1];
            o[2] = p[2];
            o[X] = uint16_t(g[i] + last[i]);
            o[3] = uint16_t(g[i] + previous[i]);
        }
    }
    return true;
}
