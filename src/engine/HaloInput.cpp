#include "engine/HaloInput.h"

#include <algorithm>

#include "engine/TiledEngine.h"

void HaloInput::clear() {
    std::lock_guard<std::mutex> guard(lock_);
    bands_.clear();
}

PixelPatch HaloInput::widened(int c0, int c1, int r0, int r1, int halo, int width, int height) {
    return PixelPatch(std::max(c0 - halo, 0), std::min(c1 + halo, width), std::max(r0 - halo, 0),
                      std::min(r1 + halo, height));
}

void HaloInput::keep(TiledEngine& stage, int c0, int c1, int r0, int r1, int halo, ImageBuffer* src,
                     ImageBuffer* dest) {
    if (!dest) return;
    const PixelPatch e = widened(c0, c1, r0, r1, halo, dest->imageWidth(), dest->imageHeight());
    std::vector<PixelPatch> bands;
    bands.emplace_back(e.colStart, e.colEnd, e.rowStart, std::max(r0, e.rowStart));  // above
    bands.emplace_back(e.colStart, e.colEnd, std::min(r1, e.rowEnd), e.rowEnd);      // below
    bands.emplace_back(e.colStart, c0, r0, r1);                                      // left
    bands.emplace_back(c1, e.colEnd, r0, r1);                                        // right
    std::erase_if(bands, [](const PixelPatch& b) { return b.empty(); });
    for (PixelPatch& band : bands)
        stage.sourceOutputInRun(band, band.colStart, band.colEnd, band.rowStart, band.rowEnd, src,
                                dest);
    std::lock_guard<std::mutex> guard(lock_);
    bands_[{r0, c0}] = std::move(bands);
}

bool HaloInput::take(TiledEngine& stage, int c0, int c1, int r0, int r1, int halo, ImageBuffer* src,
                     ImageBuffer* dest, PixelPatch& input) {
    if (!dest) return false;
    std::vector<PixelPatch> bands;
    {
        std::lock_guard<std::mutex> guard(lock_);
        auto it = bands_.find({r0, c0});
        if (it == bands_.end()) return false;
        bands = std::move(it->second);
        bands_.erase(it);
    }
    input = widened(c0, c1, r0, r1, halo, dest->imageWidth(), dest->imageHeight());
    for (const PixelPatch& band : bands) input.copyFrom(band);
    // Nothing but this tile writes its own area.
    stage.sourceOutputInRun(input, c0, c1, r0, r1, src, dest);
    return true;
}
