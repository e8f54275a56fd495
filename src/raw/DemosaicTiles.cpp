#include "raw/DemosaicTiles.h"

#include <algorithm>
#include <exception>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

namespace platform {

void ForEachTile(uint32_t width, uint32_t firstRow, uint32_t endRow, int tileSize, int pad,
                 const std::function<void(const DemosaicTile&)>& process) {
    for (uint32_t y = firstRow; y < endRow; y += static_cast<uint32_t>(tileSize)) {
        for (uint32_t x = 0; x < width; x += static_cast<uint32_t>(tileSize)) {
            DemosaicTile tile;
            tile.x0 = static_cast<int>(x);
            tile.y0 = static_cast<int>(y);
            tile.width = static_cast<int>(std::min<uint32_t>(tileSize, width - x));
            tile.height = static_cast<int>(std::min<uint32_t>(tileSize, endRow - y));
            tile.pad = pad;
            tile.stride = tileSize + 2 * pad;
            process(tile);
        }
    }
}

void LoadPaddedMosaic(const CFAPlane& cfa, const DemosaicTile& tile, float* dst) {
    const int w = static_cast<int>(cfa.width);
    const int h = static_cast<int>(cfa.height);
    const int pw = tile.paddedWidth();
    const int ph = tile.paddedHeight();
    const int left = tile.x0 - tile.pad;
    const bool interiorColumns = left >= 0 && left + pw <= w;
    for (int r = 0; r < ph; ++r) {
        const int y = Reflect101(tile.y0 - tile.pad + r, h);
        const uint16_t* src = cfa.samples + static_cast<size_t>(y) * cfa.rowStride;
        float* out = dst + static_cast<size_t>(r) * tile.stride;
        if (interiorColumns) {
            for (int c = 0; c < pw; ++c) out[c] = src[left + c];
        } else {
            for (int c = 0; c < pw; ++c) out[c] = src[Reflect101(left + c, w)];
        }
    }
}

CFAMaskSet::CFAMaskSet(const CFAPattern& pattern, const DemosaicTile& tile)
    : rowParity_(tile.rowParity()),
      redRowParity_(static_cast<int>(pattern.redRow())),
      masks_(static_cast<size_t>(2 * 3 * tile.stride), 0.0f),
      width_(tile.stride) {
    for (int parity = 0; parity < 2; ++parity) {
        for (int c = 0; c < width_; ++c) {
            const int col = (tile.colParity() + c) & 1;
            const auto colour = static_cast<int>(
                pattern.colorAt(static_cast<uint32_t>(parity), static_cast<uint32_t>(col)));
            masks_[static_cast<size_t>((parity * 3 + colour) * width_ + c)] = 1.0f;
        }
    }
}

CFARowMasks CFAMaskSet::forRow(int scratchRow) const {
    const int parity = (rowParity_ + scratchRow) & 1;
    const float* base = masks_.data() + static_cast<size_t>(parity * 3 * width_);
    return {base, base + width_, base + 2 * width_};
}

void StoreTileRGB(const DemosaicTile& tile, const float* r, const float* g, const float* b,
                  uint16_t* rgb, uint32_t imageWidth) {
    for (int y = 0; y < tile.height; ++y) {
        const size_t offset = static_cast<size_t>(y + tile.pad) * tile.stride + tile.pad;
        const float* rr = r + offset;
        const float* gg = g + offset;
        const float* bb = b + offset;
        uint16_t* out =
            rgb +
            (static_cast<size_t>(tile.y0 + y) * imageWidth + static_cast<size_t>(tile.x0)) * 3;
        for (int x = 0; x < tile.width; ++x) {
            out[3 * x] = ClampToU16(rr[x]);
            out[3 * x + 1] = ClampToU16(gg[x]);
            out[3 * x + 2] = ClampToU16(bb[x]);
        }
    }
}

void CheckDemosaicArguments(const CFAPlane& cfa, const uint16_t* rgb) {
    if (cfa.width == 0 || cfa.height == 0) throw std::invalid_argument("demosaic: empty image");
    if (!cfa.samples || !rgb) throw std::invalid_argument("demosaic: missing pixel buffer");
    if (cfa.rowStride < cfa.width)
        throw std::invalid_argument("demosaic: row stride shorter than the width");
    if (cfa.width > 0x7fff0000u / 3 || cfa.height > 0x7fff0000u)
        throw std::invalid_argument("demosaic: image too large");
}

}  // namespace platform
