// Shared machinery of the tiled interpolators: tiles inside a row band
// (platform/RowBands.h runs the bands), and padded float copies of the mosaic
// around a tile.
//
// An interpolator whose output at a pixel depends only on the mosaic within
// `pad` pixels of it gives the same result for any band count, because every
// tile reads its halo from the image itself (mirrored at the image's edges,
// never at a band's edge). The tile callbacks own their scratch memory.
#pragma once

#include <array>
#include <cmath>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <vector>

#include "platform/WideLoops.h"
#include "raw/CFAPattern.h"

// Marks a loop over one row of distinct scratch planes as free of
// loop-carried dependences, which the compiler cannot prove for row pointers
// into one allocation.
#if defined(__clang__)
#define DEMOSAIC_ROW_LOOP _Pragma("clang loop vectorize(assume_safety)")
#elif defined(__GNUC__)
#define DEMOSAIC_ROW_LOOP _Pragma("GCC ivdep")
#else
#define DEMOSAIC_ROW_LOOP
#endif

namespace platform {

// Mirror index i into [0, n) without repeating the edge sample. For n >= 2 the
// mapping keeps the parity of i, so a Bayer colour stays a Bayer colour.
inline int Reflect101(int i, int n) {
    const int period = 2 * (n - 1);
    i %= period;
    if (i < 0) i += period;
    return i < n ? i : period - i;
}

// A tile of output pixels [x0, x0 + width) × [y0, y0 + height) with `pad`
// pixels of halo on every side, held in planes of `stride` floats per row.
struct DemosaicTile {
    int x0 = 0;
    int y0 = 0;
    int width = 0;
    int height = 0;
    int pad = 0;
    int stride = 0;
    int paddedWidth() const { return width + 2 * pad; }
    int paddedHeight() const { return height + 2 * pad; }
    // Parity of the image row/column at scratch position 0.
    int rowParity() const { return (y0 - pad) & 1; }
    int colParity() const { return (x0 - pad) & 1; }
};

// Cuts rows [firstRow, endRow) of an image `width` pixels wide into tiles of
// at most maxWidth × maxHeight and calls process for each, in raster order.
// Tiles of a row (and rows of tiles) are of near-equal size, so that no thin
// remnant pays a whole halo; every tile's stride is maxWidth + 2 × pad.
void ForEachTile(uint32_t width, uint32_t firstRow, uint32_t endRow, int maxWidth, int maxHeight,
                 int pad, const std::function<void(const DemosaicTile&)>& process);
// The same over columns [firstCol, endCol) only.
void ForEachTile(uint32_t firstCol, uint32_t endCol, uint32_t firstRow, uint32_t endRow,
                 int maxWidth, int maxHeight, int pad,
                 const std::function<void(const DemosaicTile&)>& process);

// Runs a tiled interpolator over the whole image in row bands. makeBand is
// called once per band, on the band's thread, and returns what interpolates
// one tile (holding the band's scratch); `colour`, when given, is the matrix
// the tiles convert their samples with. Planes under 2 × 2 pixels take the
// bilinear fallback. Throws std::invalid_argument for bad arguments.
void DemosaicInTiles(const CFAPlane& cfa, uint16_t* rgb, unsigned bands,
                     const std::array<std::array<float, 3>, 3>* colour, int tileWidth,
                     int tileHeight, int pad,
                     const std::function<std::function<void(const DemosaicTile&)>()>& makeBand);

// The row bands for an area of a plane: no more than the area's rows hold
// tiles of tileHeight (at least one). Throws std::invalid_argument unless
// the plane is at least 2 × 2 and holds the area.
unsigned AreaBands(uint32_t planeWidth, uint32_t planeHeight, uint32_t left, uint32_t top,
                   uint32_t width, uint32_t height, unsigned bands, int tileHeight);

// DemosaicInTiles over the pixels [left, left + width) × [top, top + height)
// of the plane only, each as a whole-image run makes it (the halo still
// read from the image), in AreaBands. The tiles store themselves.
void DemosaicAreaInTiles(const CFAPlane& cfa, uint32_t left, uint32_t top, uint32_t width,
                         uint32_t height, unsigned bands, int tileWidth, int tileHeight, int pad,
                         const std::function<std::function<void(const DemosaicTile&)>()>& makeBand);

// Copies the mosaic under a tile and its halo into dst (tile.stride floats per
// row), mirroring at the image's edges. Needs a plane at least 2×2.
void LoadPaddedMosaic(const CFAPlane& cfa, const DemosaicTile& tile, float* dst);

// Per-pixel masks (1 or 0) for a scratch row of the given image-row parity:
// which positions hold red, green and blue samples.
struct CFARowMasks {
    const float* red;
    const float* green;
    const float* blue;
};

// Mask rows for both row parities of a tile, built once per tile.
class CFAMaskSet {
public:
    CFAMaskSet(const CFAPattern& pattern, const DemosaicTile& tile);
    CFARowMasks forRow(int scratchRow) const;
    // True when scratch row r holds red samples (its other samples are green).
    bool isRedRow(int scratchRow) const { return redRowParity_ == ((rowParity_ + scratchRow) & 1); }

private:
    int rowParity_;
    int redRowParity_;
    std::vector<float> masks_;  // [parity][colour][column]
    int width_;
};

// Writes a tile's interior from three planes into packed 16-bit RGB,
// rounding and clamping to 0..65535. With a colour matrix, each pixel so
// rounded is then multiplied by it and rounded again: the same samples as
// storing first and converting the stored image afterwards, in one pass.
void StoreTileRGB(const DemosaicTile& tile, const float* r, const float* g, const float* b,
                  uint16_t* rgb, uint32_t imageWidth,
                  const std::array<std::array<float, 3>, 3>* colour = nullptr);

// Selections on values rather than references, so that loops using them
// if-convert and vectorise.
inline float MinOf(float a, float b) { return b < a ? b : a; }
inline float MaxOf(float a, float b) { return a < b ? b : a; }
// For lo <= hi this is v < lo ? lo : (hi < v ? hi : v), NaN passing through,
// written as two selections that map onto single min and max instructions.
inline float ClampTo(float v, float lo, float hi) { return MinOf(MaxOf(v, lo), hi); }

// How far a neighbour's colour difference is to be trusted less than the
// others' in an interpolation (its weight goes as the inverse), from how much
// the image changes on the way to that neighbour and the least such change
// among the neighbours taking part (scale 65535); 1 and up. Where some
// neighbours continue the pixel smoothly, one across a sharp edge gets almost
// no weight, so that no colour is carried over an edge from its other side.
// Changes that exceed the least by no more than a smooth gradient's
// curvature does count as equal, so that flat areas and smooth gradients keep
// a plain average; where all neighbours change much (fine texture, in which
// one-sided estimates would only add false colour) the spreads stay near
// equal too.
inline float EdgeSpread(float change, float least) {
    constexpr float kFlat = 256.0f;
    constexpr float kTexture = 8.0f;
    constexpr float kEven = 576.0f;
    const float t =
        1.0f + (kTexture * least + MaxOf(change - least - kEven, 0.0f)) * (1.0f / kFlat);
    return t * t;
}

// Where red and blue alone carry detail (`k` near 1), green says nothing of
// which diagonal runs along an edge: the pair whose colour differences
// (d..) disagree more lies across it, and both its directions cost more.
inline void WeighDiagonalsAcross(float k, float dnw, float dne, float dsw, float dse, float& anw,
                                 float& ane, float& asw, float& ase) {
    const float pairNW = std::fabs(dnw - dse), pairNE = std::fabs(dne - dsw);
    const float acrossNW = k * MaxOf(pairNW - pairNE, 0.0f);
    const float acrossNE = k * MaxOf(pairNE - pairNW, 0.0f);
    anw += acrossNW;
    ane += acrossNE;
    asw += acrossNE;
    ase += acrossNW;
}

// How far the detail around a pixel is in red and blue alone, from the
// ranges of the colour samples and of the green ones nearby (scale 65535):
// 0 where green changes with them, as it does in anything short of a
// saturated colour, and mostly in noise; 1 where green is flat and they are
// not, as by a colour on a grey of the same green, however faint the colour
// (from a step of two levels). There, green shows neither edges nor
// texture, and the interpolators must look at red and blue. The ratio of the
// ranges alone decides, whatever their size, so that weak edges are told
// alike with strong ones; the one level keeps it defined where green is
// perfectly flat. Above 0 exactly where colourRange exceeds
// ColourOnlyFloor(greenRange).
inline float ColourOnlyFloor(float greenRange) {
    constexpr float kGreenShare = 6.0f;
    return kGreenShare * greenRange + 1.0f;
}
inline float ColourOnlyDetail(float colourRange, float greenRange) {
    const float floor = ColourOnlyFloor(greenRange);
    return ClampTo((colourRange - floor) / floor, 0.0f, 1.0f);
}

// ColourOnlyDetail for every pixel of a tile's scratch rows and columns
// [m, size - m), m at least 3, from the padded mosaic (`tile.stride` floats
// per row). Each 2×2 cell of the image's own grid gets one value, from the
// ranges of each colour's samples over the 6×6 around it, so that the pixels
// of a cell, whatever their colour, see an edge alike, and cells along a
// straight edge do too. Green lies where the image's row plus column has
// parity `greenParity`. Sets rowFlags[r] (one per scratch row) where row r
// has a value above 0 and says whether any has; only flagged rows are
// written, and those may be from row m - 1 and column m - 1 to row and
// column size - m. `scratch` holds 9 × stride floats. `keep`, when given,
// keeps what was found for the tile.
class ColourOnlyCells;
bool ColourOnlyDetailPlane(const float* mosaic, const DemosaicTile& tile, int m, int greenParity,
                           float* out, float* scratch, uint8_t* rowFlags,
                           ColourOnlyCells* keep = nullptr);

// ColourOnlyDetailPlane through `cells`, when given: taken from what another
// interpolation of the same image kept there where that covers this tile's
// cells, else worked out and kept there.
bool SharedColourOnlyDetailPlane(const float* mosaic, const DemosaicTile& tile, int m,
                                 int greenParity, float* out, float* scratch, uint8_t* rowFlags,
                                 ColourOnlyCells* cells);

// What ColourOnlyDetailPlane found in the tiles of one interpolation of an
// image, kept so that another of the same image need not work it out again
// for a tile of the same place and size: per tile, the values of each row of
// cells that has one above 0, by image position. Every method may be called
// from any thread.
class ColourOnlyCells {
public:
    // ColourOnlyDetailPlane's result for `tile` at margin m, from what was
    // kept for the same tile: 1 or 0 for whether any row has such detail, or
    // -1 when nothing kept covers the tile's rows and columns (the caller
    // then works it out).
    int fill(const DemosaicTile& tile, int m, float* out, uint8_t* rowFlags) const;

    // What ColourOnlyDetailPlane keeps: `rows` rows of `cells` cells from
    // image row firstY and column firstX (both even), a row's values at
    // `offsets[i]` in `values`, or none (-1) where all are 0.
    struct Tile {
        int firstX = 0;
        int firstY = 0;
        int cells = 0;
        int rows = 0;
        std::vector<int> offsets;
        std::vector<float> values;
    };
    // Keeps nothing when memory runs out: what is kept is only a saving.
    void keep(const DemosaicTile& tile, Tile found) noexcept;

private:
    mutable std::mutex mutex_;
    std::map<std::array<int, 4>, Tile> tiles_;
};

// Averages of colour differences d weighted by the inverses of their spreads
// s, written with one division: each weight is the product of the others'
// spreads (at most about 1e7 each, so the products stay finite).
inline float EdgeAverage(float d1, float s1, float d2, float s2) {
    return (s2 * d1 + s1 * d2) / (s1 + s2);
}
inline float EdgeAverage(float d1, float s1, float d2, float s2, float d3, float s3, float d4,
                         float s4) {
    const float p12 = s1 * s2, p34 = s3 * s4;
    const float w1 = s2 * p34, w2 = s1 * p34, w3 = s4 * p12, w4 = s3 * p12;
    return (w1 * d1 + w2 * d2 + w3 * d3 + w4 * d4) / (w1 + w2 + w3 + w4);
}

// What DiagonalDifference reads around a site of red or blue: its colour c
// and green g; the other colour and green at the four diagonal neighbours;
// and its own colour two rows up or down and two columns to either side.
struct DiagonalSamples {
    float c, g;
    float cNW, cNE, cSW, cSE;
    float gNW, gNE, gSW, gSE;
    float cNNW, cNNE, cSSW, cSSE;
};

// The colour missing at a site of red or blue: the diagonal neighbours'
// colour differences, each weighted by how much green and this site's colour
// change on the way to it; with `kColourOnly`, also by WeighDiagonalsAcross
// with the site's ColourOnlyDetail k. Returns what is added to green.
template <bool kColourOnly>
inline float DiagonalDifference(const DiagonalSamples& s, float k) {
    const float dnw = s.cNW - s.gNW, dne = s.cNE - s.gNE;
    const float dsw = s.cSW - s.gSW, dse = s.cSE - s.gSE;
    float anw = std::fabs(s.g - s.gNW) + std::fabs(s.c - s.cNNW);
    float ane = std::fabs(s.g - s.gNE) + std::fabs(s.c - s.cNNE);
    float asw = std::fabs(s.g - s.gSW) + std::fabs(s.c - s.cSSW);
    float ase = std::fabs(s.g - s.gSE) + std::fabs(s.c - s.cSSE);
    if constexpr (kColourOnly) WeighDiagonalsAcross(k, dnw, dne, dsw, dse, anw, ane, asw, ase);
    const float least = MinOf(MinOf(anw, ane), MinOf(asw, ase));
    return EdgeAverage(dnw, EdgeSpread(anw, least), dne, EdgeSpread(ane, least), dsw,
                       EdgeSpread(asw, least), dse, EdgeSpread(ase, least));
}

// The same at column x, from mosaic rows cuu..cdd around it, green rows gu,
// gd above and below and green g here.
template <bool kColourOnly>
inline float DiagonalDifference(const float* cuu, const float* cu, const float* c0, const float* cd,
                                const float* cdd, const float* gu, float g, const float* gd,
                                float k, int x) {
    return DiagonalDifference<kColourOnly>(
        DiagonalSamples{c0[x], g, cu[x - 1], cu[x + 1], cd[x - 1], cd[x + 1], gu[x - 1], gu[x + 1],
                        gd[x - 1], gd[x + 1], cuu[x - 2], cuu[x + 2], cdd[x - 2], cdd[x + 2]},
        k);
}

// At a green site, where red and blue alone carry detail (ColourOnlyDetail
// k): how much the colour sampled beside the site steps between here and
// beyond each axial neighbour, added to that neighbour's change, so that it
// tells the side of an edge as the other sites tell it.
inline void WeighAxialsAcross(const float* cuu, const float* cu, const float* c0, const float* cd,
                              const float* cdd, float k, int x, float& al, float& ar, float& au,
                              float& ad) {
    const float half = 0.5f * k;
    const float beside = cu[x] + cd[x], inRow = c0[x - 1] + c0[x + 1];
    al += half * std::fabs(beside - cu[x - 2] - cd[x - 2]);
    ar += half * std::fabs(beside - cu[x + 2] - cd[x + 2]);
    au += half * std::fabs(inRow - cuu[x - 1] - cuu[x + 1]);
    ad += half * std::fabs(inRow - cdd[x - 1] - cdd[x + 1]);
}

// Rounds and clamps a float sample to the 16-bit range.
inline uint16_t ClampToU16(float v) {
    return static_cast<uint16_t>(ClampTo(v, 0.0f, 65535.0f) + 0.5f);
}

// Clamp bounds the compiler cannot see as constants. Constant bounds make it
// build vector clamps from compares and masks; these compile to one min and
// one max instruction. Fetch them once per row, outside the pixel loop.
struct ClampBounds {
    float lowest;
    float highest;
};
ClampBounds U16Bounds();  // 0 and 65535

// ClampToU16 with bounds from U16Bounds(): the same result.
inline uint16_t ClampToU16(float v, const ClampBounds& bounds) {
    return static_cast<uint16_t>(ClampTo(v, bounds.lowest, bounds.highest) + 0.5f);
}

// The parity of row plus column at the pattern's green sites.
inline int GreenParity(const CFAPattern& pattern) {
    return static_cast<int>((pattern.redRow() + pattern.redCol() + 1) & 1);
}

// Checks the plane and the output buffer; throws std::invalid_argument.
void CheckDemosaicArguments(const CFAPlane& cfa, const uint16_t* rgb);

}  // namespace platform
