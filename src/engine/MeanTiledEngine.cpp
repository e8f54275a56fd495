#include "engine/MeanTiledEngine.h"

#include <algorithm>
#include <cstdio>

#include "color/SettingsKeys.h"
#include "engine/MedianTiledEngine.h"

namespace {

const char* const kFilterKey = SettingsKeys::kArtifactFilter;
constexpr int kHalo = 2;

inline uint16_t clamp16(int v) {
    if (v <= 0) return 0;
    return v >= 65535 ? 65535 : uint16_t(v);
}

bool usable(const ImageBuffer* b) { return b && !b->isFloat() && b->pixelBase(); }

}  // namespace

MeanTiledEngine::MeanTiledEngine(platform::Size size, std::optional<std::string> imageID,
                                 bool releasePrecursors)
    : TiledEngine(size, std::move(imageID), releasePrecursors) {
    stageToKey().set(kFilterKey, 2);
    setTilePhases(2);
}

MeanTiledEngine::MeanTiledEngine(Ptr source, std::optional<std::string> imageID,
                                 bool releasePrecursors)
    : TiledEngine(std::move(source), std::move(imageID), releasePrecursors) {
    stageToKey().set(kFilterKey, 2);
    setTilePhases(2);
}

std::shared_ptr<MeanTiledEngine> MeanTiledEngine::initWithSize(platform::Size size,
                                                               std::optional<std::string> imageID,
                                                               bool releasePrecursors) {
    if (!ImageBuffer::sizeFits(size)) return nullptr;
    return std::make_shared<MeanTiledEngine>(size, std::move(imageID), releasePrecursors);
}

std::shared_ptr<MeanTiledEngine> MeanTiledEngine::initWithImage(Ptr source,
                                                                std::optional<std::string> imageID,
                                                                bool releasePrecursors) {
    return std::make_shared<MeanTiledEngine>(std::move(source), std::move(imageID),
                                             releasePrecursors);
}

std::string MeanTiledEngine::engineName() const {
    char name[96];
    std::snprintf(name, sizeof name, "QuorvexMeanEngine_%p", static_cast<const void*>(this));
    return name;
}

void MeanTiledEngine::setParameters(const std::optional<std::string>& key,
                                    const platform::Dictionary& parameters) {
    if (key && !stageToKey().contains(*key)) {
        TiledEngine::setParameters(key, parameters);
        return;
    }
    static constexpr int kPasses[7] = {0, 0, 0, 0, 2, 4, 6};
    const int step = MedianTiledEngine::artifactFilterStep(parameters[kFilterKey]);
    if (step >= 0) numberOfFilterPasses_ = kPasses[step];  // out of range keeps the passes
    markAllDirty();
    TiledEngine::setParameters(key, parameters);
}

std::shared_ptr<TileProcess> MeanTiledEngine::runProcessToCompletion(const TileRegion& region) {
    halo_.clear();
    auto result = TiledEngine::runProcessToCompletion(region);
    halo_.clear();  // tiles canceled between the phases
    if (result)
        if (auto buffer = result->buffer()) buffer->setBufferOwner(stageId());
    return result;
}

MeanTiledEngine::Window MeanTiledEngine::filterWindow(int colStart, int colEnd, int rowStart,
                                                      int rowEnd, const ImageBuffer& buffer) const {
    // The window needs two pixels on every side.
    return Window{std::max(colStart, kHalo), std::min(colEnd, int(buffer.imageWidth()) - kHalo),
                  std::max(rowStart, kHalo), std::min(rowEnd, int(buffer.imageHeight()) - kHalo)};
}

void MeanTiledEngine::processTile(int colStart, int colEnd, int rowStart, int rowEnd,
                                  ImageBuffer* srcBuffer, ImageBuffer* destBuffer, int pass) {
    processTileInPhase(0, colStart, colEnd, rowStart, rowEnd, srcBuffer, destBuffer, pass);
    processTileInPhase(1, colStart, colEnd, rowStart, rowEnd, srcBuffer, destBuffer, pass);
}

void MeanTiledEngine::processTileInPhase(int phase, int colStart, int colEnd, int rowStart,
                                         int rowEnd, ImageBuffer* srcBuffer,
                                         ImageBuffer* destBuffer, int) {
    if (!usable(destBuffer)) return;
    // The stage is made to filter in place; another source is read as it is
    // and its pixels copied (border included) before the filter writes.
    ImageBuffer* from = usable(srcBuffer) ? srcBuffer : destBuffer;
    if (from->imageWidth() != destBuffer->imageWidth() ||
        from->imageHeight() != destBuffer->imageHeight())
        return;
    const bool inPlace = from == destBuffer;
    const Window w = filterWindow(colStart, colEnd, rowStart, rowEnd, *destBuffer);
    const bool filtering = numberOfFilterPasses_ > 0 && !w.empty();
    if (phase == 0) {
        if (!inPlace) {
            const auto a =
                MedianTiledEngine::tileArea(*this, colStart, colEnd, rowStart, rowEnd, *destBuffer);
            copyTile(a.colStart, a.colEnd, a.rowStart, a.rowEnd, from, destBuffer);
        } else if (filtering) {
            halo_.keep(*this, w.c0, w.c1, w.r0, w.r1, kHalo, from, destBuffer);
        }
        return;
    }
    if (!filtering) return;
    if (!inPlace) {
        filter(
            w, [&](int row, int col) { return from->bufferU16ForRow(row, col); }, *destBuffer);
        return;
    }
    PixelPatch input;
    if (halo_.take(*this, w.c0, w.c1, w.r0, w.r1, kHalo, from, destBuffer, input))
        filter(
            w, [&](int row, int col) { return input.at(col, row); }, *destBuffer);
}

template <class Input>
void MeanTiledEngine::filter(const Window& w, const Input& input, ImageBuffer& dest) {
    const int lw = w.c1 - w.c0 + 2 * kHalo, lh = w.r1 - w.r0 + 2 * kHalo;
    // X - G of red and blue over the window and its band: the band as it was
    // before the run, the window as it is (and as it changes below).
    std::vector<int32_t> diff[2], green(size_t(w.c1 - w.c0) * size_t(w.r1 - w.r0));
    diff[0].resize(size_t(lw) * size_t(lh));
    diff[1].resize(size_t(lw) * size_t(lh));
    for (int ly = 0; ly < lh; ++ly) {
        const int y = w.r0 - kHalo + ly;
        const uint16_t* p = input(y, w.c0 - kHalo);
        for (int lx = 0; lx < lw; ++lx, p += 4) {
            const size_t i = size_t(ly) * lw + lx;
            diff[0][i] = int32_t(p[0]) - p[1];
            diff[1][i] = int32_t(p[2]) - p[1];
        }
        if (ly < kHalo || ly >= lh - kHalo) continue;
        p = input(y, w.c0);
        int32_t* g = &green[size_t(ly - kHalo) * size_t(w.c1 - w.c0)];
        for (int x = w.c0; x < w.c1; ++x, p += 4) *g++ = p[1];
    }
    std::vector<int32_t> columnSums(size_t(lw), 0);
    const int passes = numberOfFilterPasses_;
    for (int pass = 0; pass < passes; ++pass)
        for (int c = 0; c < 2; ++c) {
            const int sample = c == 0 ? 0 : 2;
            int32_t* d = diff[c].data();
            // Five-row sums per column, kept current as pixels change and
            // moved down a row by adding the new row and dropping the oldest.
            for (int lx = 0; lx < lw; ++lx) {
                int32_t sum = 0;
                for (int k = 0; k < 2 * kHalo + 1; ++k) sum += d[size_t(k) * lw + lx];
                columnSums[size_t(lx)] = sum;
            }
            for (int ly = kHalo; ly < lh - kHalo; ++ly) {
                if (isCanceled()) return;
                if (ly > kHalo)
                    for (int lx = 0; lx < lw; ++lx)
                        columnSums[size_t(lx)] +=
                            d[size_t(ly + kHalo) * lw + lx] - d[size_t(ly - kHalo - 1) * lw + lx];
                const int y = w.r0 - kHalo + ly;
                const int32_t* g = &green[size_t(ly - kHalo) * size_t(w.c1 - w.c0)];
                uint16_t* out = dest.bufferU16ForRow(y, w.c0);
                int32_t* row = d + size_t(ly) * lw;
                int32_t* cs = columnSums.data();
                int32_t s = cs[0] + cs[1] + cs[2] + cs[3];  // the window left of the first pixel
                for (int lx = kHalo; lx < lw - kHalo; ++lx, ++g, out += 4) {
                    s += cs[lx + kHalo];
                    const int green = *g;
                    const uint16_t v = clamp16(green + s / 25);
                    out[sample] = v;
                    const int32_t changed = int32_t(v) - green;
                    const int32_t delta = changed - row[lx];
                    row[lx] = changed;
                    cs[lx] += delta;
                    s += delta - cs[lx - kHalo];
                }
            }
        }
}
