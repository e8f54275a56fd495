// The clamps in the pixel loops only if-convert (and so vectorise) when
// comparisons may be assumed not to trap.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC optimize("no-trapping-math")
#endif

#include "raw/DemosaicTiles.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <type_traits>
#include <vector>

#include "platform/RowBands.h"
#include "raw/DemosaicBilinear.h"
#include "raw/RawColor.h"

namespace platform {

void ForEachTile(uint32_t width, uint32_t firstRow, uint32_t endRow, int maxWidth, int maxHeight,
                 int pad, const std::function<void(const DemosaicTile&)>& process) {
    ForEachTile(0, width, firstRow, endRow, maxWidth, maxHeight, pad, process);
}

void ForEachTile(uint32_t firstCol, uint32_t endCol, uint32_t firstRow, uint32_t endRow,
                 int maxWidth, int maxHeight, int pad,
                 const std::function<void(const DemosaicTile&)>& process) {
    if (endRow <= firstRow || endCol <= firstCol) return;
    const uint32_t width = endCol - firstCol;
    const uint32_t rows = endRow - firstRow;
    const uint32_t across = (width + uint32_t(maxWidth) - 1) / uint32_t(maxWidth);
    const uint32_t down = (rows + uint32_t(maxHeight) - 1) / uint32_t(maxHeight);
    // Tile i of n spans [n0 + total·i/n, n0 + total·(i+1)/n): at most the maximum.
    auto edge = [](uint32_t total, uint32_t count, uint32_t i) {
        return static_cast<uint32_t>(uint64_t(total) * i / count);
    };
    for (uint32_t ty = 0; ty < down; ++ty) {
        const uint32_t y0 = firstRow + edge(rows, down, ty);
        const uint32_t y1 = firstRow + edge(rows, down, ty + 1);
        for (uint32_t tx = 0; tx < across; ++tx) {
            const uint32_t x0 = firstCol + edge(width, across, tx);
            const uint32_t x1 = firstCol + edge(width, across, tx + 1);
            DemosaicTile tile;
            tile.x0 = static_cast<int>(x0);
            tile.y0 = static_cast<int>(y0);
            tile.width = static_cast<int>(x1 - x0);
            tile.height = static_cast<int>(y1 - y0);
            tile.pad = pad;
            tile.stride = maxWidth + 2 * pad;
            process(tile);
        }
    }
}

QUORVEX_WIDE_LOOPS
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
            // Only the columns beyond the image's edges are mirrored.
            const int first = std::clamp(-left, 0, pw);
            const int end = std::clamp(w - left, first, pw);
            for (int c = 0; c < first; ++c) out[c] = src[Reflect101(left + c, w)];
            for (int c = first; c < end; ++c) out[c] = src[left + c];
            for (int c = end; c < pw; ++c) out[c] = src[Reflect101(left + c, w)];
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

namespace {

constexpr int kStoreChunk = 256;

// Interleaves n 16-bit samples of three planes into RGB triplets.
[[gnu::always_inline]] inline void InterleaveRGB(const uint16_t* r, const uint16_t* g,
                                                 const uint16_t* b, uint16_t* __restrict rgb,
                                                 int n) {
    int x = 0;
#if defined(__GNUC__)
    // Eight pixels at a time by shuffles, each output vector from two: the
    // compiler does not vectorise a store of three interleaved streams by
    // itself. (0 marks a lane the second shuffle fills.)
    typedef uint16_t V8 __attribute__((vector_size(16)));
#if defined(__clang__)
#define DEMOSAIC_SHUFFLE(a, b, ...) __builtin_shufflevector(a, b, __VA_ARGS__)
#else
#define DEMOSAIC_SHUFFLE(a, b, ...) __builtin_shuffle(a, b, V8{__VA_ARGS__})
#endif
    for (; x + 8 <= n; x += 8) {
        V8 vr, vg, vb;
        std::memcpy(&vr, r + x, sizeof vr);
        std::memcpy(&vg, g + x, sizeof vg);
        std::memcpy(&vb, b + x, sizeof vb);
        const V8 rg0 = DEMOSAIC_SHUFFLE(vr, vg, 0, 8, 0, 1, 9, 0, 2, 10);   // r0 g0 . r1 g1 . r2 g2
        const V8 rg1 = DEMOSAIC_SHUFFLE(vr, vg, 0, 3, 11, 0, 4, 12, 0, 5);  // . r3 g3 . r4 g4 . r5
        const V8 rg2 = DEMOSAIC_SHUFFLE(vr, vg, 13, 0, 6, 14, 0, 7, 15, 0);  // g5 . r6 g6 . r7 g7 .
        const V8 out[3] = {
            DEMOSAIC_SHUFFLE(rg0, vb, 0, 1, 8, 3, 4, 9, 6, 7),     // r0 g0 b0 r1 g1 b1 r2 g2
            DEMOSAIC_SHUFFLE(rg1, vb, 10, 1, 2, 11, 4, 5, 12, 7),  // b2 r3 g3 b3 r4 g4 b4 r5
            DEMOSAIC_SHUFFLE(rg2, vb, 0, 13, 2, 3, 14, 5, 6, 15),  // g5 b5 r6 g6 b6 r7 g7 b7
        };
        std::memcpy(rgb + 3 * x, out, sizeof out);
    }
#undef DEMOSAIC_SHUFFLE
#endif
    for (; x < n; ++x) {
        rgb[3 * x] = r[x];
        rgb[3 * x + 1] = g[x];
        rgb[3 * x + 2] = b[x];
    }
}

// Rounds three planes' samples into packed 16-bit RGB: rounded plane by plane
// first, in a flat loop that vectorises, then interleaved.
QUORVEX_WIDE_LOOPS
void StoreRGB(const float* r, const float* g, const float* b, uint16_t* __restrict out, int n) {
    uint16_t planes[3][kStoreChunk];
    const ClampBounds u16 = U16Bounds();
    for (int x = 0; x < n; ++x) {
        planes[0][x] = ClampToU16(r[x], u16);
        planes[1][x] = ClampToU16(g[x], u16);
        planes[2][x] = ClampToU16(b[x], u16);
    }
    InterleaveRGB(planes[0], planes[1], planes[2], out, n);
}

// ClampToU16 as a float: the same value, without narrowing to 16 bits.
inline float RoundToU16Value(float v, const ClampBounds& bounds) {
    return static_cast<float>(
        static_cast<int32_t>(ClampTo(v, bounds.lowest, bounds.highest) + 0.5f));
}

// Where row y of a tile starts in its scratch planes and in the image.
size_t TileRowOffset(const DemosaicTile& tile, int y) {
    return static_cast<size_t>(y + tile.pad) * tile.stride + tile.pad;
}

uint16_t* ImageRowAt(const DemosaicTile& tile, int y, uint16_t* rgb, uint32_t imageWidth) {
    return rgb + (static_cast<size_t>(tile.y0 + y) * imageWidth + static_cast<size_t>(tile.x0)) * 3;
}

QUORVEX_WIDE_LOOPS
void StoreTileConverted(const DemosaicTile& tile, const float* r, const float* g, const float* b,
                        uint16_t* rgb, uint32_t imageWidth,
                        const std::array<std::array<float, 3>, 3>& m) {
    const float m00 = m[0][0], m01 = m[0][1], m02 = m[0][2];
    const float m10 = m[1][0], m11 = m[1][1], m12 = m[1][2];
    const float m20 = m[2][0], m21 = m[2][1], m22 = m[2][2];
    float cr[kStoreChunk], cg[kStoreChunk], cb[kStoreChunk];
    for (int y = 0; y < tile.height; ++y) {
        const size_t offset = TileRowOffset(tile, y);
        uint16_t* out = ImageRowAt(tile, y, rgb, imageWidth);
        for (int first = 0; first < tile.width; first += kStoreChunk) {
            const int n = std::min(kStoreChunk, tile.width - first);
            const float* __restrict rr = r + offset + first;
            const float* __restrict gg = g + offset + first;
            const float* __restrict bb = b + offset + first;
            const ClampBounds u16 = U16Bounds();
            for (int x = 0; x < n; ++x) {
                // The samples as a stored 16-bit image would hold them (the
                // round trip through int is exact in this range).
                const float red = RoundToU16Value(rr[x], u16);
                const float green = RoundToU16Value(gg[x], u16);
                const float blue = RoundToU16Value(bb[x], u16);
                cr[x] = m00 * red + m01 * green + m02 * blue;
                cg[x] = m10 * red + m11 * green + m12 * blue;
                cb[x] = m20 * red + m21 * green + m22 * blue;
            }
            StoreRGB(cr, cg, cb, out + static_cast<size_t>(first) * 3, n);
        }
    }
}

}  // namespace

QUORVEX_WIDE_LOOPS
void StoreTileRGB(const DemosaicTile& tile, const float* r, const float* g, const float* b,
                  uint16_t* rgb, uint32_t imageWidth,
                  const std::array<std::array<float, 3>, 3>* colour) {
    if (colour) {
        StoreTileConverted(tile, r, g, b, rgb, imageWidth, *colour);
        return;
    }
    for (int y = 0; y < tile.height; ++y) {
        const size_t offset = TileRowOffset(tile, y);
        uint16_t* out = ImageRowAt(tile, y, rgb, imageWidth);
        for (int first = 0; first < tile.width; first += kStoreChunk) {
            const size_t at = offset + static_cast<size_t>(first);
            StoreRGB(r + at, g + at, b + at, out + static_cast<size_t>(first) * 3,
                     std::min(kStoreChunk, tile.width - first));
        }
    }
}

ClampBounds U16Bounds() {
    static const volatile float lowest = 0.0f, highest = 65535.0f;
    return {lowest, highest};
}

void DemosaicInTiles(const CFAPlane& cfa, uint16_t* rgb, unsigned bands,
                     const std::array<std::array<float, 3>, 3>* colour, int tileWidth,
                     int tileHeight, int pad,
                     const std::function<std::function<void(const DemosaicTile&)>()>& makeBand) {
    CheckDemosaicArguments(cfa, rgb);
    if (cfa.width < 2 || cfa.height < 2) {
        DemosaicBilinear(cfa, rgb);
        if (colour) RawConvertInPlace(rgb, size_t(cfa.width) * cfa.height, *colour, 1);
        return;
    }
    RunInRowBands(cfa.height, bands, [&](uint32_t first, uint32_t end) {
        ForEachTile(cfa.width, first, end, tileWidth, tileHeight, pad, makeBand());
    });
}

unsigned AreaBands(uint32_t planeWidth, uint32_t planeHeight, uint32_t left, uint32_t top,
                   uint32_t width, uint32_t height, unsigned bands, int tileHeight) {
    if (planeWidth < 2 || planeHeight < 2 || left > planeWidth || width > planeWidth - left ||
        top > planeHeight || height > planeHeight - top)
        throw std::invalid_argument("demosaic area outside the plane");
    // A band of a thin area would pay its halo for very few rows.
    return std::min(bands, std::max(1u, height / uint32_t(tileHeight)));
}

void DemosaicAreaInTiles(
    const CFAPlane& cfa, uint32_t left, uint32_t top, uint32_t width, uint32_t height,
    unsigned bands, int tileWidth, int tileHeight, int pad,
    const std::function<std::function<void(const DemosaicTile&)>()>& makeBand) {
    bands = AreaBands(cfa.width, cfa.height, left, top, width, height, bands, tileHeight);
    RunInRowBands(height, bands, [&](uint32_t first, uint32_t end) {
        ForEachTile(left, left + width, top + first, top + end, tileWidth, tileHeight, pad,
                    makeBand());
    });
}

void CheckDemosaicArguments(const CFAPlane& cfa, const uint16_t* rgb) {
    if (cfa.width == 0 || cfa.height == 0) throw std::invalid_argument("demosaic: empty image");
    if (!cfa.samples || !rgb) throw std::invalid_argument("demosaic: missing pixel buffer");
    if (cfa.rowStride < cfa.width)
        throw std::invalid_argument("demosaic: row stride shorter than the width");
    if (cfa.width > 0x7fff0000u / 3 || cfa.height > 0x7fff0000u)
        throw std::invalid_argument("demosaic: image too large");
}

namespace {

// Where a tile's cells lie in its scratch planes at margin m. Cells start on
// even image rows and columns: the first column at x0, which is m - 1 or m,
// `cells` of them in [x0, w - m); likewise rows from firstRow, `rows` of them.
struct CellGrid {
    int x0, cells, firstRow, rows;
    CellGrid(const DemosaicTile& tile, int m)
        : x0(m - 1 + ((m - 1 + tile.colParity()) & 1)),
          cells((tile.paddedWidth() - m - x0 + 1) / 2),
          firstRow(m - ((tile.rowParity() + m) & 1)),
          rows((tile.paddedHeight() - m - firstRow + 1) / 2) {}
    int imageX(const DemosaicTile& tile) const { return tile.x0 - tile.pad + x0; }
    int imageY(const DemosaicTile& tile) const { return tile.y0 - tile.pad + firstRow; }
};

// Writes the cells of one row of cells (cell row r, from column x0) to both
// of its rows of the plane and flags them.
void WriteCellRow(const float* __restrict k, int cells, int r, int x0, int stride, float* out,
                  uint8_t* rowFlags) {
    rowFlags[r] = 1;
    rowFlags[r + 1] = 1;
    float* __restrict top = out + static_cast<size_t>(r) * stride + x0;
    float* __restrict bottom = top + stride;
    DEMOSAIC_ROW_LOOP
    for (int c = 0; c < cells; ++c) {
        top[2 * c] = top[2 * c + 1] = k[c];
        bottom[2 * c] = bottom[2 * c + 1] = k[c];
    }
}

std::array<int, 4> TileKey(const DemosaicTile& tile) {
    return {tile.x0, tile.y0, tile.width, tile.height};
}

// What is kept is only a saving: where memory runs out a tile goes unkept and
// the other interpolation works it out again. So no allocation for it may
// throw out of the pixel loops, which run on the decoder's worker threads.
[[gnu::noinline]] bool StartKeeping(ColourOnlyCells::Tile& found, int rows) noexcept {
    try {
        found.offsets.assign(static_cast<size_t>(rows), -1);
        return true;
    } catch (...) {
        return false;
    }
}

[[gnu::noinline]] bool KeepRow(ColourOnlyCells::Tile& found, size_t row, const float* values,
                               int cells) noexcept {
    try {
        found.offsets[row] = static_cast<int>(found.values.size());
        found.values.insert(found.values.end(), values, values + cells);
        return true;
    } catch (...) {
        return false;
    }
}

}  // namespace

void ColourOnlyCells::keep(const DemosaicTile& tile, Tile found) noexcept {
    try {
        std::lock_guard lock(mutex_);
        tiles_[TileKey(tile)] = std::move(found);
    } catch (...) {
        // Not kept: see StartKeeping.
    }
}

int ColourOnlyCells::fill(const DemosaicTile& tile, int m, float* out, uint8_t* rowFlags) const {
    const CellGrid grid(tile, m);
    const Tile* kept = nullptr;
    {
        std::lock_guard lock(mutex_);
        const auto at = tiles_.find(TileKey(tile));
        if (at != tiles_.end()) kept = &at->second;
    }
    if (!kept || grid.cells <= 0) return -1;
    const int column = (grid.imageX(tile) - kept->firstX) / 2;
    const int firstRow = (grid.imageY(tile) - kept->firstY) / 2;
    if (column < 0 || column + grid.cells > kept->cells || firstRow < 0 ||
        firstRow + grid.rows > kept->rows)
        return -1;
    for (int r = 0; r < tile.paddedHeight(); ++r) rowFlags[r] = 0;
    bool any = false;
    for (int i = 0; i < grid.rows; ++i) {
        const int offset = kept->offsets[static_cast<size_t>(firstRow + i)];
        if (offset < 0) continue;
        const float* k = kept->values.data() + offset + column;
        int positive = 0;
        DEMOSAIC_ROW_LOOP
        for (int c = 0; c < grid.cells; ++c) positive |= k[c] > 0.0f;
        if (positive == 0) continue;
        any = true;
        WriteCellRow(k, grid.cells, grid.firstRow + 2 * i, grid.x0, tile.stride, out, rowFlags);
    }
    return any ? 1 : 0;
}

bool SharedColourOnlyDetailPlane(const float* mosaic, const DemosaicTile& tile, int m,
                                 int greenParity, float* out, float* scratch, uint8_t* rowFlags,
                                 ColourOnlyCells* cells) {
    if (cells) {
        const int found = cells->fill(tile, m, out, rowFlags);
        if (found >= 0) return found > 0;
    }
    return ColourOnlyDetailPlane(mosaic, tile, m, greenParity, out, scratch, rowFlags, cells);
}

QUORVEX_WIDE_LOOPS
bool ColourOnlyDetailPlane(const float* mosaic, const DemosaicTile& tile, int m, int greenParity,
                           float* out, float* scratch, uint8_t* rowFlags, ColourOnlyCells* keep) {
    const int stride = tile.stride, h = tile.paddedHeight();
    for (int r = 0; r < h; ++r) rowFlags[r] = 0;
    const CellGrid grid(tile, m);
    const int x0 = grid.x0, cells = grid.cells;
    if (cells <= 0) return false;
    ColourOnlyCells::Tile found;
    if (keep) {
        found.firstX = grid.imageX(tile);
        found.firstY = grid.imageY(tile);
        found.cells = cells;
        found.rows = grid.rows;
        if (!StartKeeping(found, grid.rows)) keep = nullptr;
    }
    // Per cell, from cell -1 to cell `cells`, over the three cell rows of the
    // window: the range of both greens, and of each of the two colours, so
    // that a cell's 6×6 window is three neighbouring entries. Within a cell,
    // the sample at row a, column b is green where a + b is `greenParity`.
    const int span = cells + 2, part = stride / 2 + 3;
    float* __restrict gLo = scratch;
    float* __restrict gHi = scratch + part;
    float* __restrict c0Lo = scratch + 2 * part;  // the colour on the cell's first row
    float* __restrict c0Hi = scratch + 3 * part;
    float* __restrict c1Lo = scratch + 4 * part;  // and on its second
    float* __restrict c1Hi = scratch + 5 * part;
    float* __restrict colourRange = scratch + 6 * part;
    float* __restrict greenRange = scratch + 7 * part;
    float* __restrict detail = scratch + 8 * part;
    bool any = false;
    for (int r = grid.firstRow; r < h - m; r += 2) {
        const size_t first = static_cast<size_t>(r - 2) * stride + static_cast<size_t>(x0 - 2);
        const float* __restrict a0 = mosaic + first;
        const float* __restrict a1 = a0 + stride;
        const float* __restrict a2 = a1 + stride;
        const float* __restrict a3 = a2 + stride;
        const float* __restrict a4 = a3 + stride;
        const float* __restrict a5 = a4 + stride;
        // Green's column on the cell's first row is a constant to the
        // compiler, so that each row is loaded and split once.
        const auto vertical = [&](auto greenFirst) {
            constexpr int kG = decltype(greenFirst)::value, kC = 1 - kG;
            DEMOSAIC_ROW_LOOP
            for (int j = 0; j < span; ++j) {
                const int ga = 2 * j + kG, gb = 2 * j + kC;  // green on the first and second rows
                const int ca = 2 * j + kC, cb = 2 * j + kG;
                gLo[j] = MinOf(MinOf(MinOf(a0[ga], a2[ga]), a4[ga]),
                               MinOf(MinOf(a1[gb], a3[gb]), a5[gb]));
                gHi[j] = MaxOf(MaxOf(MaxOf(a0[ga], a2[ga]), a4[ga]),
                               MaxOf(MaxOf(a1[gb], a3[gb]), a5[gb]));
                c0Lo[j] = MinOf(MinOf(a0[ca], a2[ca]), a4[ca]);
                c0Hi[j] = MaxOf(MaxOf(a0[ca], a2[ca]), a4[ca]);
                c1Lo[j] = MinOf(MinOf(a1[cb], a3[cb]), a5[cb]);
                c1Hi[j] = MaxOf(MaxOf(a1[cb], a3[cb]), a5[cb]);
            }
        };
        if (greenParity == 0)
            vertical(std::integral_constant<int, 0>{});
        else
            vertical(std::integral_constant<int, 1>{});
        int positive = 0;
        DEMOSAIC_ROW_LOOP
        for (int c = 0; c < cells; ++c) {
            const auto least = [c](const float* v) {
                return MinOf(MinOf(v[c], v[c + 1]), v[c + 2]);
            };
            const auto most = [c](const float* v) {
                return MaxOf(MaxOf(v[c], v[c + 1]), v[c + 2]);
            };
            colourRange[c] = MaxOf(most(c0Hi) - least(c0Lo), most(c1Hi) - least(c1Lo));
            greenRange[c] = most(gHi) - least(gLo);
        }
        DEMOSAIC_ROW_LOOP
        for (int c = 0; c < cells; ++c) positive |= colourRange[c] > ColourOnlyFloor(greenRange[c]);
        // Rows without such detail are left unwritten: their flag keeps
        // every reader away from them.
        if (positive == 0) continue;
        any = true;
        DEMOSAIC_ROW_LOOP
        for (int c = 0; c < cells; ++c) detail[c] = ColourOnlyDetail(colourRange[c], greenRange[c]);
        WriteCellRow(detail, cells, r, x0, stride, out, rowFlags);
        if (keep && !KeepRow(found, static_cast<size_t>((r - grid.firstRow) / 2), detail, cells))
            keep = nullptr;
    }
    if (keep) keep->keep(tile, std::move(found));
    return any;
}

}  // namespace platform
