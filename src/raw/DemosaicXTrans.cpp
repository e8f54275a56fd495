// The pixel loops only vectorise when asked to at any level, with square
// roots that need not set errno and comparisons that may be assumed not to
// trap.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC optimize("tree-vectorize", "vect-cost-model=dynamic", "no-math-errno", \
                     "no-trapping-math")
#endif

#include "raw/DemosaicXTrans.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <utility>
#include <stdexcept>
#include <vector>

#include "platform/RowBands.h"
#include "raw/DemosaicTiles.h"

// The pixel loops again for processors with 256-bit vectors, chosen when the
// program starts; no operation is fused or reordered, so both give the same
// samples. Not under the sanitizers: the loader runs the choosing resolvers
// before a sanitizer's runtime is up, and an instrumented one then crashes.
#if defined(__GNUC__) && !defined(__clang__) && defined(__x86_64__) && \
    !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
#define XTRANS_WIDE_LOOPS [[gnu::target_clones("avx2", "default")]]
#else
#define XTRANS_WIDE_LOOPS
#endif

namespace {

using platform::DemosaicTile;

constexpr int kTileSize = 256;
constexpr int kGreen = 1;
// How far along a direction the master looks for the nearest green.
constexpr int kSearch = 3;
// Four directions and the smooth rendering.
constexpr int kCandidates = 5;
// Above any sample, for minima over the sites of one colour.
constexpr float kAboveWhite = 1.0e9f;
// How far around a pixel the final clamp looks for samples of its red and
// blue (see ClampToSamples).
constexpr int kClampRadius = 3;
// The radius of the guided average's window (GuidedColourDifferences).
constexpr int kGuidedRadius = 2;
// The radius of the window over which red and blue are fitted to green
// (FitToSamples): the least that holds enough sites of each colour.
constexpr int kFitRadius = 2;

// The radius of the isotropic interpolations: the least at which every
// window holds every colour (1 for X-Trans); wider ones blur colour edges.
int SmoothRadius(const CFALayout& layout) { return std::max(1, layout.coverRadius()); }
int SmoothHalo(const CFALayout& layout) { return 4 * SmoothRadius(layout); }
int Halo(const CFALayout& layout) {
    // The candidates' greens (from the mosaic, else the smooth rendering),
    // their red and blue, the variation, its window, the median and the
    // guided average, the fit. The clamp to the samples' range reads the
    // mosaic alone, within the halo.
    const int radius = SmoothRadius(layout);
    static_assert(kClampRadius <= 3 + kFitRadius);
    return std::max(SmoothHalo(layout), kSearch) + radius + 1 + 2 + 1 + 2 + kFitRadius;
}

int Mirror(int i, int n) { return n == 1 ? 0 : platform::Reflect101(i, n); }

// A tile's planes, each tile.stride × paddedHeight floats, and its colours.
// Left unset: every pass writes what it reads first (zeroing ten
// megabytes for each band cost more than a candidate's pass).
class TileScratch {
public:
    TileScratch(int stride, int rows, int planes)
        : size_(size_t(stride) * size_t(rows)),
          store_(new float[size_ * size_t(planes)]),
          colour_(size_) {}
    float* plane(int i) { return store_.get() + size_ * size_t(i); }
    uint8_t* colour() { return colour_.data(); }

private:
    size_t size_;
    std::unique_ptr<float[]> store_;
    std::vector<uint8_t> colour_;
};

// Planes of the scratch.
enum Plane {
    kMosaic,
    kMaskR,  // 1 where the colour was sampled, else 0
    kMaskG,
    kMaskB,
    kSmoothR,
    kSmoothG,
    kSmoothB,
    kNumerator,
    kDenominator,
    kDifference,
    kFull,
    kRefined,
    kFirstCandidate,  // four directions × R, G, B
    kFirstScore = kFirstCandidate + 12,
    // The guided average's pull at each pixel, for the clamp, in a candidate's
    // plane spent by then (the ranges take the first six).
    kPull = kFirstCandidate + 6,
    kLightness = kFirstScore + 5,
    kChromaA,
    kChromaB,
    kAlternateR,
    kAlternateG,
    kAlternateB,
    kPlaneCount,
    // The tent's weights over the sites of red, green and blue (SiteWeights),
    // until the blend writes the alternate there.
    kFirstWeights = kAlternateR,
};

struct Frame {
    int stride;  // floats per row
    int width;   // padded columns in use
    int height;  // padded rows in use
    // The image's noise, a variance on the square-root tone (ImageNoise).
    float noise = 0;
    // The same, read where detail that changes smoothly cancels (a zone
    // plate's rings count as none): the gates on green taking a red or blue
    // site's own sample, and beside the first on the fitted lines.
    float sampleNoise = 0;
    size_t at(int y, int x) const { return size_t(y) * size_t(stride) + size_t(x); }
    // Where a pass whose output is read `reach` pixels beyond a tile's
    // inside (`margin` in from each side; 0: the whole frame) must write, no
    // nearer the frame's edge than `border`.
    int first(int margin, int reach, int border) const {
        return margin > 0 ? std::max(margin - reach, border) : border;
    }
    int endRow(int margin, int reach, int border) const {
        return margin > 0 ? std::min(height - margin + reach, height - border) : height - border;
    }
    int endColumn(int margin, int reach, int border) const {
        return margin > 0 ? std::min(width - margin + reach, width - border) : width - border;
    }
};

// Rows [y0, y1) and columns [x0, x1) of a frame.
struct Window {
    int y0, y1, x0, x1;
};
Window Inside(const Frame& f, int margin, int reach, int border) {
    return {f.first(margin, reach, border), f.endRow(margin, reach, border),
            f.first(margin, reach, border), f.endColumn(margin, reach, border)};
}

// How far beyond a tile's inside each stage's output is read: the guided
// average's by the fit, the median's by the guided average, the blend's and
// the scores by the median, the candidates by the variation's window.
constexpr int kGuidedReach = kFitRadius;
constexpr int kMedianReach = kGuidedReach + kGuidedRadius;
constexpr int kScoreReach = kMedianReach + 1;
constexpr int kCandidateReach = kScoreReach + 3;

XTRANS_WIDE_LOOPS
void LoadTile(const MosaicPlane& mosaic, const DemosaicTile& tile, TileScratch& s) {
    const int w = int(mosaic.width), h = int(mosaic.height);
    float* m = s.plane(kMosaic);
    uint8_t* colour = s.colour();
    float* masks[3] = {s.plane(kMaskR), s.plane(kMaskG), s.plane(kMaskB)};
    // The mirrored columns, and each row of the layout's repeat along them,
    // once for the tile.
    const int columns = tile.paddedWidth();
    const uint32_t repeat = mosaic.layout.rows();
    std::vector<int> source(static_cast<size_t>(columns));
    std::vector<uint8_t> codes(size_t(repeat) * size_t(columns));
    for (int c = 0; c < columns; ++c) {
        source[size_t(c)] = Mirror(tile.x0 - tile.pad + c, w);
        for (uint32_t r = 0; r < repeat; ++r)
            codes[size_t(r) * size_t(columns) + size_t(c)] =
                mosaic.layout.colorAt(r, uint32_t(source[size_t(c)]));
    }
    // No mirrored column: the samples are read in a run.
    const int first = source[0];
    const bool run = source[size_t(columns - 1)] == first + columns - 1 && first <= w - columns;
    for (int r = 0; r < tile.paddedHeight(); ++r) {
        const int y = Mirror(tile.y0 - tile.pad + r, h);
        const uint16_t* src = mosaic.samples + size_t(y) * mosaic.rowStride;
        const size_t row = size_t(r) * size_t(tile.stride);
        float* __restrict mr = m + row;
        if (run) {
            const uint16_t* __restrict from = src + first;
            DEMOSAIC_ROW_LOOP
            for (int c = 0; c < columns; ++c) mr[c] = from[c];
        } else {
            for (int c = 0; c < columns; ++c) mr[c] = src[source[size_t(c)]];
        }
        std::copy_n(codes.data() + size_t(uint32_t(y) % repeat) * size_t(columns), columns,
                    colour + row);
        for (int k = 0; k < 3; ++k) {
            float* __restrict mask = masks[k] + row;
            const uint8_t* __restrict code = colour + row;
            DEMOSAIC_ROW_LOOP
            for (int c = 0; c < columns; ++c) mask[c] = code[c] == k ? 1.0f : 0.0f;
        }
    }
}

// Where an image's mirrored edge leaves no site of a colour within the
// radius: the plain mean of the nearest ring of windows that holds one.
float WiderMean(const Frame& f, const float* values, const uint8_t* colour, int c, int radius,
                int y, int x, float empty) {
    for (int r = radius + 1; r <= radius + 4; ++r) {
        float n = 0;
        int count = 0;
        for (int yy = std::max(y - r, 0); yy <= std::min(y + r, f.height - 1); ++yy)
            for (int xx = std::max(x - r, 0); xx <= std::min(x + r, f.width - 1); ++xx) {
                const size_t i = f.at(yy, xx);
                if (c >= 0 && colour[i] != c) continue;
                n += values[i];
                count++;
            }
        if (count > 0) return n / float(count);
    }
    return empty;
}

// The tent's weights summed over the sites of a colour (mask 1 there, else
// 0) around each pixel, for rows and columns [radius, size - radius): the
// denominator of SiteMean, the same for every mean over that colour in a
// tile, so made once. `rows` is scratch.
template <int kRadius>
XTRANS_WIDE_LOOPS void SiteWeightsOf(const Frame& f, const float* mask, int runtimeRadius,
                                     float* out, float* rows) {
    // kRadius 0: the radius known only at run time.
    const int radius = kRadius > 0 ? kRadius : runtimeRadius;
    const int x0 = radius, x1 = f.width - radius;
    if (x1 <= x0) return;
    for (int y = 0; y < f.height; ++y) {
        const float* __restrict k = mask + f.at(y, 0);
        float* __restrict d = rows + f.at(y, 0);
        DEMOSAIC_ROW_LOOP
        for (int x = x0; x < x1; ++x) {
            float sd = 0;
            for (int j = -radius; j <= radius; ++j)
                sd += float(radius + 1 - std::abs(j)) * k[x + j];
            d[x] = sd;
        }
    }
    for (int y = radius; y < f.height - radius; ++y) {
        float* __restrict o = out + f.at(y, 0);
        DEMOSAIC_ROW_LOOP
        for (int x = x0; x < x1; ++x) {
            float sd = 0;
            for (int j = -radius; j <= radius; ++j)
                sd += float(radius + 1 - std::abs(j)) * rows[f.at(y + j, x)];
            o[x] = sd;
        }
    }
}

void SiteWeights(const Frame& f, const float* mask, int radius, float* out, float* rows) {
    switch (radius) {
        case 1:
            return SiteWeightsOf<1>(f, mask, 1, out, rows);
        case 2:
            return SiteWeightsOf<2>(f, mask, 2, out, rows);
        default:
            return SiteWeightsOf<0>(f, mask, radius, out, rows);
    }
}

// Normalised convolution with a separable tent of the given radius over the
// sites of colour c (mask 1 there, else 0; `weights` from SiteWeights): the
// weighted mean of `values` there, or the plain mean of a wider window where
// this one holds none, or `empty` where that holds none either. Written for
// rows and columns [radius, size - radius); what lies outside keeps older
// values, in the halo that no output depends on. kZeroOff: `values` are 0
// off the sites already, so the mask need not be read.
template <int kRadius, bool kZeroOff>
XTRANS_WIDE_LOOPS void SiteMeanOf(const Frame& f, const float* values, const float* mask,
                                  const float* weights, const uint8_t* colour, int c,
                                  int runtimeRadius, float* out, float empty, float* num,
                                  int margin, int reach) {
    const int radius = kRadius > 0 ? kRadius : runtimeRadius;
    const Window inside = Inside(f, margin, reach, radius);
    const int x0 = inside.x0, x1 = inside.x1;
    if (x1 <= x0) return;
    for (int y = inside.y0 - radius; y < inside.y1 + radius; ++y) {
        const float* __restrict v = values + f.at(y, 0);
        const float* __restrict k = mask + f.at(y, 0);
        float* __restrict n = num + f.at(y, 0);
        DEMOSAIC_ROW_LOOP
        for (int x = x0; x < x1; ++x) {
            float sn = 0;
            for (int j = -radius; j <= radius; ++j) {
                const float wj = float(radius + 1 - std::abs(j));
                // A site's mask is 1, so leaving it out changes no bit.
                sn += kZeroOff ? wj * v[x + j] : wj * v[x + j] * k[x + j];
            }
            n[x] = sn;
        }
    }
    for (int y = inside.y0; y < inside.y1; ++y) {
        float* __restrict o = out + f.at(y, 0);
        const float* __restrict w = weights + f.at(y, 0);
        int lacking = 0;
        DEMOSAIC_ROW_LOOP
        for (int x = x0; x < x1; ++x) {
            float sn = 0;
            for (int j = -radius; j <= radius; ++j) {
                const float wj = float(radius + 1 - std::abs(j));
                sn += wj * num[f.at(y + j, x)];
            }
            const float sd = w[x];
            o[x] = sn / (sd > 0 ? sd : 1.0f);
            lacking |= sd <= 0;
        }
        if (!lacking) continue;
        // Rare: only where a mirrored edge leaves a colour out.
        for (int x = x0; x < x1; ++x)
            if (w[x] <= 0) o[x] = WiderMean(f, values, colour, c, radius, y, x, empty);
    }
}

// Written where read `reach` beyond a tile's inside `margin` in (0: all).
template <bool kZeroOff>
void SiteMean(const Frame& f, const float* values, const float* mask, const float* weights,
              const uint8_t* colour, int c, int radius, float* out, float empty, float* num,
              int margin = 0, int reach = 0) {
    switch (radius) {
        case 1:
            return SiteMeanOf<1, kZeroOff>(f, values, mask, weights, colour, c, 1, out, empty, num,
                                           margin, reach);
        case 2:
            return SiteMeanOf<2, kZeroOff>(f, values, mask, weights, colour, c, 2, out, empty, num,
                                           margin, reach);
        default:
            return SiteMeanOf<0, kZeroOff>(f, values, mask, weights, colour, c, radius, out, empty,
                                           num, margin, reach);
    }
}

constexpr int kDirections[4][2] = {{0, 1}, {1, 0}, {1, 1}, {1, -1}};  // (dy, dx)

// A directional candidate's red and blue take this share of their colour
// difference from the sites along its direction, the rest from all around:
// along a slanted edge between saturated colours the sites along it lie on
// the pixel's own side, where the isotropic mean mixes both sides' colours
// into a coloured fringe; in fine saturated texture (a red knit) the few
// sites along one line alias, and the isotropic share keeps that down.
constexpr float kAlongShare = 0.75f;

// For rows and columns [kSearch, size - kSearch): the mean of `values` at
// the nearest sites of `mask` (mask > 0) before and after each pixel along
// the direction, within kSearch, weighted by nearness (one side alone where
// the other has none), or `fallback` where neither has one. kColour false,
// the directional green: a site of the mask keeps its own value. kColour
// true, a colour from the colour differences `values`: `green` plus the mean
// taken by kAlongShare, `fallback` the rest; the sample at a site.
template <bool kColour>
XTRANS_WIDE_LOOPS void AlongInside(const Frame& f, int direction, const float* values,
                                   const float* mask, const float* fallback, float* out,
                                   const Window& inside, const float* mosaic = nullptr,
                                   const float* green = nullptr) {
    static_assert(kSearch == 3);
    const ptrdiff_t o = ptrdiff_t(kDirections[direction][0]) * f.stride + kDirections[direction][1];
    const float share = kColour ? kAlongShare : 1.0f;
    for (int y = inside.y0; y < inside.y1; ++y) {
        const size_t row = f.at(y, 0);
        float* __restrict g = out + row;
        const float* __restrict v = values + row;
        const float* __restrict k = mask + row;
        const float* __restrict fb = fallback + row;
        const float* __restrict mr = kColour ? mosaic + row : nullptr;
        const float* __restrict gr = kColour ? green + row : nullptr;
        DEMOSAIC_ROW_LOOP
        for (int x = inside.x0; x < inside.x1; ++x) {
            // Every value is read, then chosen: a read under a condition
            // keeps the loop from vectorising.
            const float m1 = v[x + o], m2 = v[x + 2 * o], m3 = v[x + 3 * o];
            const float n1 = v[x - o], n2 = v[x - 2 * o], n3 = v[x - 3 * o];
            const float none = fb[x];
            const bool a1 = k[x + o] > 0, a2 = k[x + 2 * o] > 0, a3 = k[x + 3 * o] > 0;
            const float after = a1 ? m1 : a2 ? m2 : m3;
            const float afterSteps = a1 ? 1.0f : a2 ? 2.0f : a3 ? 3.0f : 0.0f;
            const bool b1 = k[x - o] > 0, b2 = k[x - 2 * o] > 0, b3 = k[x - 3 * o] > 0;
            const float before = b1 ? n1 : b2 ? n2 : n3;
            const float beforeSteps = b1 ? 1.0f : b2 ? 2.0f : b3 ? 3.0f : 0.0f;
            const float both = (beforeSteps * after + afterSteps * before) /
                               platform::MaxOf(afterSteps + beforeSteps, 1.0f);
            const float one = afterSteps > 0 ? after : before;
            const float along = afterSteps > 0 && beforeSteps > 0   ? both
                                : afterSteps > 0 || beforeSteps > 0 ? one
                                                                    : none;
            const float mixed = share * along + (1.0f - share) * none;
            if constexpr (kColour)
                g[x] = k[x] > 0 ? mr[x] : gr[x] + mixed;
            else
                g[x] = k[x] > 0 ? v[x] : mixed;
        }
    }
}

// The same for a direction that steps down a row (and across a column or
// none): the nearest site after each pixel, and its distance (kSearch + 1:
// none within kSearch), from the one after the pixel below, row by row up
// the frame, and the nearest before from the pixel above down it, so that
// each row's loop is a few operations on whole rows rather than three
// reads and tests of the mask each side. The same sites are found, so the
// same samples come out. Uses the numerator, denominator and refined planes.
// The mean is written out again rather than shared with AlongInside: GCC
// leaves the loops scalar when it comes from an inline function.
template <bool kColour>
XTRANS_WIDE_LOOPS void AlongRows(const Frame& f, TileScratch& s, int direction, const float* values,
                                 const float* mask, const float* fallback, float* out,
                                 const Window& inside, const float* mosaic = nullptr,
                                 const float* green = nullptr) {
    static_assert(kSearch == 3);
    constexpr float kNone = float(kSearch + 1);
    const int dx = kDirections[direction][1];
    const float share = kColour ? kAlongShare : 1.0f;
    if (inside.y1 <= inside.y0 || inside.x1 <= inside.x0) return;
    float* afterValue = s.plane(kNumerator);
    float* afterSteps = s.plane(kDenominator);
    // Before's value and steps for two rows, the last and this one.
    float* const rows = s.plane(kRefined);
    float* beforeValue[2] = {rows, rows + f.stride};
    float* beforeSteps[2] = {rows + 2 * size_t(f.stride), rows + 3 * size_t(f.stride)};
    auto none = [&](float* value, float* steps, int x0, int x1) {
        for (int x = x0; x < x1; ++x) value[x] = 0.0f, steps[x] = kNone;
    };
    // A row's nearest sites from the next row's, `dx` across.
    auto step = [&](const float* __restrict k, const float* __restrict v,
                    const float* __restrict lastValue, const float* __restrict lastSteps,
                    float* __restrict value, float* __restrict steps, int from) {
        const int x0 = std::max(0, -from), x1 = std::min(f.width, f.width - from);
        none(value, steps, 0, x0);
        DEMOSAIC_ROW_LOOP
        for (int x = x0; x < x1; ++x) {
            const bool site = k[x + from] > 0;
            value[x] = site ? v[x + from] : lastValue[x + from];
            steps[x] = site ? 1.0f : platform::MinOf(lastSteps[x + from] + 1.0f, kNone);
        }
        none(value, steps, x1, f.width);
    };
    // After, up from a row kSearch below the last written, where none holds.
    const int bottom = inside.y1 - 1 + kSearch;
    none(afterValue + f.at(bottom, 0), afterSteps + f.at(bottom, 0), 0, f.width);
    for (int y = bottom - 1; y >= inside.y0; --y)
        step(mask + f.at(y + 1, 0), values + f.at(y + 1, 0), afterValue + f.at(y + 1, 0),
             afterSteps + f.at(y + 1, 0), afterValue + f.at(y, 0), afterSteps + f.at(y, 0), dx);
    // Before, down from kSearch above the first, and the mean.
    int current = 0;
    none(beforeValue[0], beforeSteps[0], 0, f.width);
    for (int y = inside.y0 - kSearch + 1; y < inside.y1; ++y) {
        const int last = current;
        current ^= 1;
        step(mask + f.at(y - 1, 0), values + f.at(y - 1, 0), beforeValue[last], beforeSteps[last],
             beforeValue[current], beforeSteps[current], -dx);
        if (y < inside.y0) continue;
        const size_t row = f.at(y, 0);
        float* __restrict g = out + row;
        const float* __restrict v = values + row;
        const float* __restrict k = mask + row;
        const float* __restrict fb = fallback + row;
        const float* __restrict av = afterValue + row;
        const float* __restrict as = afterSteps + row;
        const float* __restrict bv = beforeValue[current];
        const float* __restrict bs = beforeSteps[current];
        const float* __restrict mr = kColour ? mosaic + row : nullptr;
        const float* __restrict gr = kColour ? green + row : nullptr;
        DEMOSAIC_ROW_LOOP
        for (int x = inside.x0; x < inside.x1; ++x) {
            const float none = fb[x];
            const float after = av[x], afterSteps = as[x] < kNone ? as[x] : 0.0f;
            const float before = bv[x], beforeSteps = bs[x] < kNone ? bs[x] : 0.0f;
            const float both = (beforeSteps * after + afterSteps * before) /
                               platform::MaxOf(afterSteps + beforeSteps, 1.0f);
            const float one = afterSteps > 0 ? after : before;
            const float along = afterSteps > 0 && beforeSteps > 0   ? both
                                : afterSteps > 0 || beforeSteps > 0 ? one
                                                                    : none;
            const float mixed = share * along + (1.0f - share) * none;
            if constexpr (kColour)
                g[x] = k[x] > 0 ? mr[x] : gr[x] + mixed;
            else
                g[x] = k[x] > 0 ? v[x] : mixed;
        }
    }
}

template <bool kColour>
void Along(const Frame& f, TileScratch& s, int direction, const float* values, const float* mask,
           const float* fallback, float* out, const Window& inside, const float* mosaic = nullptr,
           const float* green = nullptr) {
    if (kDirections[direction][0] == 1)
        AlongRows<kColour>(f, s, direction, values, mask, fallback, out, inside, mosaic, green);
    else
        AlongInside<kColour>(f, direction, values, mask, fallback, out, inside, mosaic, green);
}

// Red (c 0) or blue (c 2) everywhere as green plus the mean colour
// difference at the sites of c, all around or, for a directional candidate,
// kAlongShare of it from the sites along its direction (all around alone in
// the ring where that search would leave the frame); the samples themselves
// where they are.
XTRANS_WIDE_LOOPS
void ColourFromGreen(const Frame& f, TileScratch& s, const float* green, int c, int radius,
                     float* out, int direction = -1, int margin = 0) {
    const float* m = s.plane(kMosaic);
    const uint8_t* colour = s.colour();
    // The colour's mask rather than the colour codes: bytes among the
    // floats would widen the loops to 32 pixels.
    const float* mask = s.plane(kMaskR + c);
    float* diff = s.plane(kDifference);
    float* full = s.plane(kFull);
    // The differences where the mean (its wider fallback too) and the
    // search along read them.
    const Window read = Inside(f, margin, kCandidateReach + std::max(radius + 4, kSearch), 0);
    for (int y = read.y0; y < read.y1; ++y) {
        const size_t row = f.at(y, 0);
        const float* __restrict mr = m + row;
        const float* __restrict kr = mask + row;
        const float* __restrict gr = green + row;
        float* __restrict dr = diff + row;
        DEMOSAIC_ROW_LOOP
        for (int x = read.x0; x < read.x1; ++x) dr[x] = kr[x] > 0 ? mr[x] - gr[x] : 0.0f;
    }
    SiteMean<true>(f, diff, mask, s.plane(kFirstWeights + c), colour, c, radius, full, 0.0f,
                   s.plane(kNumerator), margin, kCandidateReach);
    const Window written = Inside(f, margin, kCandidateReach, 0);
    // A directional candidate's search along writes where it stays in the
    // frame; the mean all around alone is written in the ring left.
    Window along = Inside(f, margin, kCandidateReach, kSearch);
    if (direction < 0 || along.y1 <= along.y0 || along.x1 <= along.x0) along = {0, 0, 0, 0};
    for (int y = written.y0; y < written.y1; ++y) {
        const size_t row = f.at(y, 0);
        const float* __restrict mr = m + row;
        const float* __restrict kr = mask + row;
        const float* __restrict gr = green + row;
        const float* __restrict fr = full + row;
        float* __restrict o = out + row;
        const bool searched = y >= along.y0 && y < along.y1;
        const int skip0 = searched ? along.x0 : written.x1,
                  skip1 = searched ? along.x1 : written.x1;
        DEMOSAIC_ROW_LOOP
        for (int x = written.x0; x < skip0; ++x) o[x] = kr[x] > 0 ? mr[x] : gr[x] + fr[x];
        DEMOSAIC_ROW_LOOP
        for (int x = skip1; x < written.x1; ++x) o[x] = kr[x] > 0 ? mr[x] : gr[x] + fr[x];
    }
    if (along.y1 > along.y0) Along<true>(f, s, direction, diff, mask, full, out, along, m, green);
}

// How far beyond the image's noise (Frame::sampleNoise) a step of green
// towards a red or blue site's own sample must stand to be taken: by the
// median step, by the guided average's pull at a fine line and by the smooth
// rendering. Within the noise the step would carry that one sample's noise
// into green and so into the lightness, which counts for more in the error
// than the colour it is left in instead (a little more colour noise).
constexpr float kMedianNoiseWeight = 16.0f;
constexpr float kPullNoiseWeight = 16.0f;
constexpr float kSmoothNoiseWeight = 3.0f;

// The share of a step of green towards a red or blue site's own sample that
// is taken under `noise` (a multiple of Frame::noise): all of it where the
// step, on the square-root tone, stands well beyond the noise, little within
// it. All of it on a clean image.
[[gnu::always_inline]] inline float BeyondNoise(float step, float noise) {
    return 1.0f - noise / (step * step + noise + 1.0e-6f);
}

// The alternate's rendering into the smooth planes.
XTRANS_WIDE_LOOPS
void SmoothTile(const Frame& f, TileScratch& s, int radius) {
    const float* m = s.plane(kMosaic);
    const uint8_t* colour = s.colour();
    float* green = s.plane(kSmoothG);
    float* red = s.plane(kSmoothR);
    float* blue = s.plane(kSmoothB);
    // Green from green's neighbours; where none are near, the sample as grey.
    constexpr float kNone = -1.0f;
    for (int c = 0; c < 3; ++c)
        SiteWeights(f, s.plane(kMaskR + c), radius, s.plane(kFirstWeights + c),
                    s.plane(kDenominator));
    SiteMean<false>(f, m, s.plane(kMaskG), s.plane(kFirstWeights + kGreen), colour, kGreen, radius,
                    green, kNone, s.plane(kNumerator));
    for (int y = 0; y < f.height; ++y) {
        const size_t row = f.at(y, 0);
        const float* __restrict mr = m + row;
        const uint8_t* __restrict cr = colour + row;
        float* __restrict gr = green + row;
        DEMOSAIC_ROW_LOOP
        for (int x = 0; x < f.width; ++x) gr[x] = cr[x] == kGreen || gr[x] == kNone ? mr[x] : gr[x];
    }
    ColourFromGreen(f, s, green, 0, radius, red);
    ColourFromGreen(f, s, green, 2, radius, blue);
    // Green again at red and blue sites: the sample less the colour
    // difference the green sites around it show.
    float* refined = s.plane(kRefined);
    std::copy(green, green + f.at(f.height, 0), refined);
    const float noise = kSmoothNoiseWeight * f.sampleNoise;
    for (int c : {0, 2}) {
        const float* estimate = c == 0 ? red : blue;
        float* diff = s.plane(kDifference);
        float* full = s.plane(kFull);
        for (int y = 0; y < f.height; ++y) {
            const size_t row = f.at(y, 0);
            const float* __restrict mr = m + row;
            const float* __restrict er = estimate + row;
            const uint8_t* __restrict cr = colour + row;
            float* __restrict dr = diff + row;
            DEMOSAIC_ROW_LOOP
            for (int x = 0; x < f.width; ++x) dr[x] = cr[x] == kGreen ? er[x] - mr[x] : 0.0f;
        }
        SiteMean<true>(f, diff, s.plane(kMaskG), s.plane(kFirstWeights + kGreen), colour, kGreen,
                       radius, full, 0.0f, s.plane(kNumerator));
        for (int y = 0; y < f.height; ++y) {
            const size_t row = f.at(y, 0);
            const float* __restrict mr = m + row;
            const float* __restrict fr = full + row;
            const uint8_t* __restrict cr = colour + row;
            float* __restrict rr = refined + row;
            DEMOSAIC_ROW_LOOP
            for (int x = 0; x < f.width; ++x) {
                const float g0 = rr[x], step = mr[x] - fr[x];
                const float d = std::sqrt(platform::MaxOf(step, 0.0f)) -
                                std::sqrt(platform::MaxOf(g0, 0.0f));
                // Written from the step so that a clean image's comes out as it was.
                const float within = 1.0f - BeyondNoise(d, noise);
                rr[x] = cr[x] == c ? step + within * (g0 - step) : g0;
            }
        }
    }
    std::copy(refined, refined + f.at(f.height, 0), green);
    ColourFromGreen(f, s, green, 0, radius, red);
    ColourFromGreen(f, s, green, 2, radius, blue);
}

// Green at red and blue sites along one direction: the nearest greens before
// and after it, weighted by nearness. Along an edge this is the green of the
// pixel's own side, which a colour-difference estimate from the smooth
// rendering (blurred across the edge) is not.
[[gnu::always_inline]] inline void DirectionalGreenAt(const Frame& f, TileScratch& s, int direction,
                                                      int y, int x, float* out) {
    const float* m = s.plane(kMosaic);
    const uint8_t* colour = s.colour();
    const int dy = kDirections[direction][0], dx = kDirections[direction][1];
    const size_t i = f.at(y, x);
    if (colour[i] == kGreen) {
        out[i] = m[i];
        return;
    }
    float green[2] = {0, 0};
    int steps[2] = {0, 0};
    for (int side = 0; side < 2; ++side) {
        const int sign = side == 0 ? 1 : -1;
        for (int k = 1; k <= kSearch; ++k) {
            const int yy = y + sign * k * dy, xx = x + sign * k * dx;
            if (yy < 0 || yy >= f.height || xx < 0 || xx >= f.width) break;
            const size_t j = f.at(yy, xx);
            if (colour[j] != kGreen) continue;
            green[side] = m[j];
            steps[side] = k;
            break;
        }
    }
    if (steps[0] && steps[1])
        out[i] =
            (float(steps[1]) * green[0] + float(steps[0]) * green[1]) / float(steps[0] + steps[1]);
    else if (steps[0] || steps[1])
        out[i] = steps[0] ? green[0] : green[1];
    else
        out[i] = s.plane(kSmoothG)[i];
}

// The same for a whole tile: the ring where the search would leave the
// frame pixel by pixel as above, the inside branch-free on the green mask,
// so that it vectorises.
XTRANS_WIDE_LOOPS
void DirectionalGreen(const Frame& f, TileScratch& s, int direction, float* out) {
    static_assert(kSearch == 3);
    for (int y = 0; y < f.height; ++y) {
        const bool ring = y < kSearch || y >= f.height - kSearch;
        for (int x = 0; x < f.width; ++x) {
            if (!ring && x == kSearch) x = std::max(x, f.width - kSearch);
            DirectionalGreenAt(f, s, direction, y, x, out);
        }
    }
    Along<false>(f, s, direction, s.plane(kMosaic), s.plane(kMaskG), s.plane(kSmoothG), out,
                 Inside(f, 0, 0, kSearch));
}

float Tone(float v) { return std::sqrt(std::max(v, 0.0f)); }

// How much a candidate rendering varies around each pixel, in lightness and
// two colour differences on a square-root tone, summed over a 5 × 5 window;
// for rows and columns [3, size - 3), or where the blend reads it.
XTRANS_WIDE_LOOPS
void Variation(const Frame& f, TileScratch& s, const float* r, const float* g, const float* b,
               float* score, int margin) {
    float* L = s.plane(kLightness);
    float* A = s.plane(kChromaA);
    float* B = s.plane(kChromaB);
    const Window tones = Inside(f, margin, kScoreReach + 3, 0);
    for (int y = tones.y0; y < tones.y1; ++y) {
        const size_t row = f.at(y, 0);
        DEMOSAIC_ROW_LOOP
        for (int x = tones.x0; x < tones.x1; ++x) {
            const size_t i = row + size_t(x);
            const float tg = Tone(g[i]);
            L[i] = Tone(0.25f * r[i] + 0.5f * g[i] + 0.25f * b[i]);
            A[i] = Tone(r[i]) - tg;
            B[i] = Tone(b[i]) - tg;
        }
    }
    float* local = s.plane(kNumerator);
    const size_t up = size_t(f.stride);
    const Window steps = Inside(f, margin, kScoreReach + 2, 1);
    for (int y = steps.y0; y < steps.y1; ++y) {
        const size_t row = f.at(y, 0);
        DEMOSAIC_ROW_LOOP
        for (int x = steps.x0; x < steps.x1; ++x) {
            const size_t i = row + size_t(x);
            const float l = L[i], a = A[i], bb = B[i];
            local[i] =
                std::fabs(l - L[i - 1]) + std::fabs(l - L[i + 1]) + std::fabs(l - L[i - up]) +
                std::fabs(l - L[i + up]) + std::fabs(a - A[i - 1]) + std::fabs(a - A[i + 1]) +
                std::fabs(a - A[i - up]) + std::fabs(a - A[i + up]) + std::fabs(bb - B[i - 1]) +
                std::fabs(bb - B[i + 1]) + std::fabs(bb - B[i - up]) + std::fabs(bb - B[i + up]);
        }
    }
    float* rows = s.plane(kDenominator);
    const Window scores = Inside(f, margin, kScoreReach, 3);
    for (int y = steps.y0; y < steps.y1; ++y) {
        const size_t row = f.at(y, 0);
        DEMOSAIC_ROW_LOOP
        for (int x = scores.x0; x < scores.x1; ++x) {
            const size_t i = row + size_t(x);
            rows[i] = local[i - 2] + local[i - 1] + local[i] + local[i + 1] + local[i + 2];
        }
    }
    for (int y = scores.y0; y < scores.y1; ++y) {
        const size_t row = f.at(y, 0);
        DEMOSAIC_ROW_LOOP
        for (int x = scores.x0; x < scores.x1; ++x) {
            const size_t i = row + size_t(x);
            score[i] = rows[i - 2 * up] + rows[i - up] + rows[i] + rows[i + up] + rows[i + 2 * up];
        }
    }
}

// The median of nine by a fixed network of minima and maxima.
[[gnu::always_inline]] inline void Order(float& a, float& b) {
    const float lo = platform::MinOf(a, b), hi = platform::MaxOf(a, b);
    a = lo;
    b = hi;
}
[[gnu::always_inline]] inline float Median9(float p0, float p1, float p2, float p3, float p4,
                                            float p5, float p6, float p7, float p8) {
    Order(p1, p2), Order(p4, p5), Order(p7, p8);
    Order(p0, p1), Order(p3, p4), Order(p6, p7);
    Order(p1, p2), Order(p4, p5), Order(p7, p8);
    Order(p0, p3), Order(p5, p8), Order(p4, p7);
    Order(p3, p6), Order(p1, p4), Order(p2, p5);
    Order(p4, p7), Order(p4, p2), Order(p6, p4);
    Order(p4, p2);
    return p4;
}

[[gnu::always_inline]] inline float Least3(float a, float b, float c) {
    return platform::MinOf(platform::MinOf(a, b), c);
}
[[gnu::always_inline]] inline float Most3(float a, float b, float c) {
    return platform::MaxOf(platform::MaxOf(a, b), c);
}
[[gnu::always_inline]] inline float Median3(float a, float b, float c) {
    return platform::MaxOf(platform::MinOf(a, b), platform::MinOf(platform::MaxOf(a, b), c));
}

// The least and most of d over the eight neighbours of i, with what is
// given.
[[gnu::always_inline]] inline void RangeAround(const float* d, size_t i, size_t up, float& least,
                                               float& most) {
    const float a = platform::MinOf(platform::MinOf(d[i - up - 1], d[i - up]),
                                    platform::MinOf(d[i - up + 1], d[i - 1]));
    const float b = platform::MinOf(platform::MinOf(d[i + 1], d[i + up - 1]),
                                    platform::MinOf(d[i + up], d[i + up + 1]));
    const float c = platform::MaxOf(platform::MaxOf(d[i - up - 1], d[i - up]),
                                    platform::MaxOf(d[i - up + 1], d[i - 1]));
    const float e = platform::MaxOf(platform::MaxOf(d[i + 1], d[i + up - 1]),
                                    platform::MaxOf(d[i + up], d[i + up + 1]));
    least = platform::MinOf(least, platform::MinOf(a, b));
    most = platform::MaxOf(most, platform::MaxOf(c, e));
}

[[gnu::always_inline]] inline float MedianAround(const float* d, size_t i, size_t up) {
    return Median9(d[i - up - 1], d[i - up], d[i - up + 1], d[i - 1], d[i], d[i + 1], d[i + up - 1],
                   d[i + up], d[i + up + 1]);
}

// Red less green and blue less green, into the lightness and first chroma
// planes, spent by now.
XTRANS_WIDE_LOOPS
void Differences(const Frame& f, TileScratch& s, const float* r, const float* g, const float* b,
                 int margin) {
    float* __restrict dr = s.plane(kLightness);
    float* __restrict db = s.plane(kChromaA);
    const size_t end = f.at(f.endRow(margin, kScoreReach, 0), 0);
    DEMOSAIC_ROW_LOOP
    for (size_t i = f.at(f.first(margin, kScoreReach, 0), 0); i < end; ++i) {
        dr[i] = r[i] - g[i];
        db[i] = b[i] - g[i];
    }
}

// How far beyond the image's noise (Frame::noise) the step of green to a
// site's own sample must stand for the site's third colour to take it.
constexpr float kThirdNoiseWeight = 16.0f;

// One pixel of MedianColourDifferences, from its medians and the spread of
// its sampled colour's differences. Under noise, green taken from the
// sample carries that one sample's noise; the site's third colour (blue at
// a red site, red at a blue one) builds on the green it had instead where
// the step lies within the noise, so that the noise goes into two colours,
// not all three, and into the colour differences the guided average reads
// there. Green itself follows only where the step stands beyond the noise
// (kMedianNoiseWeight, a weaker gate).
[[gnu::always_inline]] inline void FromMedians(bool red, bool green, bool blue, float medianR,
                                               float medianB, float spread, float lo, float hi,
                                               float noise, float greenNoise, float& r, float& g,
                                               float& b) {
    const float old = g, oldR = r, oldB = b;
    const float sample = red ? oldR : oldB;
    const float refined = platform::MinOf(
        platform::MaxOf(sample - (red ? medianR : medianB), platform::MinOf(lo, old)),
        platform::MaxOf(hi, old));
    const float weight = platform::MaxOf(1.0f - spread / (hi + 1024.0f), 0.0f);
    const bool refine = !green && hi >= 0;
    const float step = Tone(refined) - Tone(old);
    const float taken = weight * BeyondNoise(step, greenNoise);
    const float estimate = refine ? old + taken * (refined - old) : old;
    const float third = weight * BeyondNoise(step, noise);
    const float under = refine ? old + third * (refined - old) : old;
    g = estimate;
    r = !red ? (blue ? under : estimate) + medianR : oldR;
    b = !blue ? (red ? under : estimate) + medianB : oldB;
}

// A 3 × 3 median of red less green and blue less green, written back to the
// colours a pixel did not sample. At a red or blue site green is first taken
// again as the sample less that median of its own colour difference, kept
// within the greens sampled around it and weighed by how alike those
// differences are (fully where they agree, not at all where their spread
// reaches the brightest green sampled around): the blend's green there comes from
// greens along one direction only, and where it crossed an edge or missed
// a fine line, the neighbours' colour differences put it right; across an
// edge between colours, they disagree and leave it. For rows and columns
// [1, size - 1). The plain form: a network of nine at each pixel.
void MedianColourDifferencesReference(const Frame& f, TileScratch& s, const float* greenLo,
                                      const float* greenHi, float* r, float* g, float* b,
                                      int /*margin*/) {
    const uint8_t* __restrict colour = s.colour();
    const float* __restrict dr = s.plane(kLightness);
    const float* __restrict db = s.plane(kChromaA);
    Differences(f, s, r, g, b, 0);
    const float noise = kThirdNoiseWeight * f.noise;
    const float greenNoise = kMedianNoiseWeight * f.sampleNoise;
    const size_t up = size_t(f.stride);
    for (int y = 1; y + 1 < f.height; ++y) {
        const size_t row = f.at(y, 0);
        const uint8_t* __restrict cr = colour + row;
        const float* __restrict drr = dr + row;
        const float* __restrict dbr = db + row;
        const float* __restrict lo = greenLo + row;
        const float* __restrict hi = greenHi + row;
        float* __restrict rr = r + row;
        float* __restrict gr = g + row;
        float* __restrict br = b + row;
        DEMOSAIC_ROW_LOOP
        for (int x = 1; x + 1 < f.width; ++x) {
            const uint8_t code = cr[x];
            const bool red = code == 0;
            const float medianR = MedianAround(drr, size_t(x), up);
            const float medianB = MedianAround(dbr, size_t(x), up);
            float leastR = drr[x], mostR = drr[x], leastB = dbr[x], mostB = dbr[x];
            RangeAround(drr, size_t(x), up, leastR, mostR);
            RangeAround(dbr, size_t(x), up, leastB, mostB);
            const float spread = red ? mostR - leastR : mostB - leastB;
            FromMedians(red, code == kGreen, code == 2, medianR, medianB, spread, lo[x], hi[x],
                        noise, greenNoise, rr[x], gr[x], br[x]);
        }
    }
}

// The same from each column of three sorted once for the three pixels that
// read it: the median of nine is the median of the columns' largest least,
// middle median and least largest, and the range their least and largest.
XTRANS_WIDE_LOOPS
void MedianColourDifferences(const Frame& f, TileScratch& s, const float* greenLo,
                             const float* greenHi, float* r, float* g, float* b, int margin) {
    const uint8_t* __restrict colour = s.colour();
    const float* __restrict dr = s.plane(kLightness);
    const float* __restrict db = s.plane(kChromaA);
    Differences(f, s, r, g, b, margin);
    const float noise = kThirdNoiseWeight * f.noise;
    const float greenNoise = kMedianNoiseWeight * f.sampleNoise;
    // One row of sorted columns for each difference, in a spent plane.
    const size_t up = size_t(f.stride);
    float* __restrict loR = s.plane(kNumerator);
    float* __restrict midR = loR + up;
    float* __restrict hiR = midR + up;
    float* __restrict loB = hiR + up;
    float* __restrict midB = loB + up;
    float* __restrict hiB = midB + up;
    // The colours as floats: bytes among the floats would widen the loop
    // to 32 pixels, more than the registers hold.
    float* __restrict kind = hiB + up;
    for (int y = f.first(margin, kMedianReach, 1); y < f.endRow(margin, kMedianReach, 1); ++y) {
        const size_t row = f.at(y, 0);
        const float* __restrict drAbove = dr + row - up;
        const float* __restrict drr = dr + row;
        const float* __restrict drBelow = dr + row + up;
        const float* __restrict dbAbove = db + row - up;
        const float* __restrict dbr = db + row;
        const float* __restrict dbBelow = db + row + up;
        DEMOSAIC_ROW_LOOP
        for (int x = 0; x < f.width; ++x) {
            float a = drAbove[x], m = drr[x], c = drBelow[x];
            Order(a, m), Order(m, c), Order(a, m);
            loR[x] = a, midR[x] = m, hiR[x] = c;
            float d = dbAbove[x], n = dbr[x], e = dbBelow[x];
            Order(d, n), Order(n, e), Order(d, n);
            loB[x] = d, midB[x] = n, hiB[x] = e;
        }
        const uint8_t* __restrict cr = colour + row;
        DEMOSAIC_ROW_LOOP
        for (int x = 0; x < f.width; ++x) kind[x] = float(cr[x]);
        const float* __restrict lo = greenLo + row;
        const float* __restrict hi = greenHi + row;
        float* __restrict rr = r + row;
        float* __restrict gr = g + row;
        float* __restrict br = b + row;
        DEMOSAIC_ROW_LOOP
        for (int x = 1; x + 1 < f.width; ++x) {
            const float code = kind[x];
            const bool red = code == 0.0f;
            const float medianR = Median3(Most3(loR[x - 1], loR[x], loR[x + 1]),
                                          Median3(midR[x - 1], midR[x], midR[x + 1]),
                                          Least3(hiR[x - 1], hiR[x], hiR[x + 1]));
            const float medianB = Median3(Most3(loB[x - 1], loB[x], loB[x + 1]),
                                          Median3(midB[x - 1], midB[x], midB[x + 1]),
                                          Least3(hiB[x - 1], hiB[x], hiB[x + 1]));
            const float spread =
                red ? Most3(hiR[x - 1], hiR[x], hiR[x + 1]) - Least3(loR[x - 1], loR[x], loR[x + 1])
                    : Most3(hiB[x - 1], hiB[x], hiB[x + 1]) -
                          Least3(loB[x - 1], loB[x], loB[x + 1]);
            FromMedians(red, code == float(kGreen), code == 2.0f, medianR, medianB, spread, lo[x],
                        hi[x], noise, greenNoise, rr[x], gr[x], br[x]);
        }
    }
}

// Red less green and blue less green averaged over the 5 × 5 around each
// pixel, each neighbour weighted by how alike its green is (on the
// square-root tone, falling to nothing at 16 of 256 steps): false colour from the
// sparse red and blue samples of fine texture is averaged out, while colour
// stays on its side of an edge, which green shows. Where green itself is
// busy (fine texture near the layout's aliasing, whose rings come out
// magenta and green) the averaged differences are also damped towards grey:
// by half where the centre's tone stands 24 of 256 steps from the nearer of
// each opposite pair of its eight neighbours, on average, hardly at all below
// that, so that the texture of photographs keeps its colour; further where
// the part is near grey by its samples (GreyDamping). A step edge,
// with one side of each pair alike, is not damped: a saturated colour taken
// to grey there is what drew a dark line along it. Where a red or blue site
// is darker or lighter than both sides (a fine line, a ring), its green,
// estimated from greens off the line, is drawn towards its own sample, so
// that a dark line greyed stays dark instead of turning green. Green is
// written back too. Written back to the colours a pixel did
// not sample; for rows and columns [2, size - 2).
// The tones are kept in units of 16 of 256 steps, the falloff of Alike.
constexpr float kInverseSimilar = 1.0f / 16.0f;
constexpr float kInverseBusy = 16.0f / (24.0f * 4.0f);

// How much of the averaged colour differences is kept, from the sum over
// the four opposite pairs.
[[gnu::always_inline]] inline float Damping(float busy) {
    const float b = busy * kInverseBusy, b2 = b * b;
    return 1.0f / (1.0f + b2 * b2 * b2);
}

[[gnu::always_inline]] inline float NearGrey(float apart, float inverseFar);

// The share of Damping's kept where the part is near grey by the balance of
// its samples (`balanced`, BalancedDistance): busy grey detail has no colour
// of its own, and what the sparse red and blue samples alias there is taken
// down by up to 30 % more, fully at grey, none from 30 % on; in full where
// the tone stands 12 of 256 steps from its neighbours on average (half
// Damping's), in proportion below, so that quiet grey keeps its faint tints.
// Busy or not, by up to 30 % more where the samples balance within 8 %: the
// colour differences averaged there are the faint tint of the part beside
// (a grey border's flat edge took its textured side's tint), which the
// samples do not show; a faint tint of the part's own keeps most of it.
constexpr float kGreyDamping = 0.3f;
constexpr float kInverseGreyDampingFar = 1.0f / 0.3f;
constexpr float kBalancedDamping = 0.3f;
constexpr float kInverseBalancedDampingFar = 1.0f / 0.08f;
[[gnu::always_inline]] inline float GreyDamping(float busy, float balanced) {
    const float active = platform::MinOf(2.0f * busy * kInverseBusy, 1.0f);
    return (1.0f - kGreyDamping * NearGrey(balanced, kInverseGreyDampingFar) * active) *
           (1.0f - kBalancedDamping * NearGrey(balanced, kInverseBalancedDampingFar));
}

// How far a pixel's tone stands from both of two opposite neighbours: the
// nearer of the two, so that a step edge, with one side alike, counts as
// quiet, and only a pixel unlike both sides (rings, fine lines) as busy.
[[gnu::always_inline]] inline float PairBusy(float a, float b, float tone) {
    return platform::MinOf(std::fabs(a - tone), std::fabs(b - tone));
}

// How far a pixel's tone lies beyond both of two opposite neighbours (0 when
// it lies between them): a fine line or ring has it, the edge of an area,
// however sharp, does not.
[[gnu::always_inline]] inline float PairExtremum(float a, float b, float tone) {
    return platform::MaxOf(platform::MinOf(a, b) - tone, 0.0f) +
           platform::MaxOf(tone - platform::MaxOf(a, b), 0.0f);
}

// How far green at a red or blue site is drawn to that site's own sample,
// from the sum over the four opposite pairs of PairExtremum: half way at 12
// of 256 steps on average.
[[gnu::always_inline]] inline float Pull(float extremum) { return 1.0f - Damping(2.0f * extremum); }

[[gnu::always_inline]] inline float Alike(float tone, float around) {
    const float t = around - tone;
    const float u = 1.0f - platform::MinOf(t * t, 1.0f);
    return u * u;
}

XTRANS_WIDE_LOOPS
void PrepareGuided(const Frame& f, TileScratch& s, const float* r, const float* g, const float* b,
                   int margin = 0) {
    float* __restrict dr = s.plane(kLightness);
    float* __restrict db = s.plane(kChromaA);
    float* __restrict tone = s.plane(kChromaB);
    const size_t end = f.at(f.endRow(margin, kMedianReach, 0), 0);
    DEMOSAIC_ROW_LOOP
    for (size_t i = f.at(f.first(margin, kMedianReach, 0), 0); i < end; ++i) {
        dr[i] = r[i] - g[i];
        db[i] = b[i] - g[i];
        tone[i] = Tone(g[i]) * kInverseSimilar;
    }
}

// The plain form, pixel by pixel.
void GuidedColourDifferencesReference(const Frame& f, TileScratch& s, float* r, float* g, float* b,
                                      const float* balanced, int /*margin*/) {
    PrepareGuided(f, s, r, g, b);
    const float* dr = s.plane(kLightness);
    const float* db = s.plane(kChromaA);
    const float* tone = s.plane(kChromaB);
    float* pull = s.plane(kPull);
    const uint8_t* colour = s.colour();
    const float pullNoise = kPullNoiseWeight * f.sampleNoise;
    for (int y = kGuidedRadius; y < f.height - kGuidedRadius; ++y)
        for (int x = kGuidedRadius; x < f.width - kGuidedRadius; ++x) {
            const size_t i = f.at(y, x);
            float total = 0, sumR = 0, sumB = 0;
            for (int dy = -kGuidedRadius; dy <= kGuidedRadius; ++dy)
                for (int dx = -kGuidedRadius; dx <= kGuidedRadius; ++dx) {
                    const size_t j = f.at(y + dy, x + dx);
                    const float w = Alike(tone[i], tone[j]);
                    total += w;
                    sumR += w * dr[j];
                    sumB += w * db[j];
                }
            float busy = 0;
            float extremum = 0;
            for (const auto& [dy, dx] : {std::pair{0, 1}, {1, 0}, {1, 1}, {1, -1}}) {
                busy += PairBusy(tone[f.at(y + dy, x + dx)], tone[f.at(y - dy, x - dx)], tone[i]);
                extremum +=
                    PairExtremum(tone[f.at(y + dy, x + dx)], tone[f.at(y - dy, x - dx)], tone[i]);
            }
            const float keep = Damping(busy) * GreyDamping(busy, balanced[i]);
            pull[i] = Pull(extremum);
            const float own = colour[i] == 0 ? r[i] : colour[i] == 2 ? b[i] : g[i];
            const float pulled = pull[i] * BeyondNoise(Tone(own) - Tone(g[i]), pullNoise);
            if (colour[i] != kGreen) g[i] += pulled * (own - g[i]);
            if (colour[i] != 0) r[i] = g[i] + keep * sumR / total;
            if (colour[i] != 2) b[i] = g[i] + keep * sumB / total;
        }
}

// The same, a row of pixels at a time, each row of five neighbours
// unrolled: few enough pointers to stay in registers across the lanes.
XTRANS_WIDE_LOOPS
void GuidedColourDifferences(const Frame& f, TileScratch& s, float* r, float* g, float* b,
                             const float* balanced, int margin) {
    PrepareGuided(f, s, r, g, b, margin);
    const float* __restrict dr = s.plane(kLightness);
    const float* __restrict db = s.plane(kChromaA);
    const float* __restrict tone = s.plane(kChromaB);
    const uint8_t* __restrict colour = s.colour();
    // The running sums of one row, in planes spent by now.
    float* __restrict totals = s.plane(kNumerator);
    float* __restrict sumsR = s.plane(kDenominator);
    float* __restrict sumsB = s.plane(kDifference);
    // The colours as floats, as in MedianColourDifferences.
    float* __restrict kinds = s.plane(kFull);
    const float pullNoise = kPullNoiseWeight * f.sampleNoise;
    const ptrdiff_t up = f.stride;
    const int x0 = f.first(margin, kGuidedReach, kGuidedRadius),
              x1 = f.endColumn(margin, kGuidedReach, kGuidedRadius);
    for (int y = f.first(margin, kGuidedReach, kGuidedRadius);
         y < f.endRow(margin, kGuidedReach, kGuidedRadius); ++y) {
        const size_t row = f.at(y, 0);
        float* __restrict rr = r + row;
        float* __restrict br = b + row;
        float* __restrict gr = g + row;
        float* __restrict pr = s.plane(kPull) + row;
        const uint8_t* __restrict cr = colour + row;
        const float* __restrict tr = tone + row;
        const float* __restrict drr = dr + row;
        const float* __restrict dbr = db + row;
        const float* __restrict near = balanced + row;
        DEMOSAIC_ROW_LOOP
        for (int x = x0; x < x1; ++x) {
            totals[x] = sumsR[x] = sumsB[x] = 0.0f;
            kinds[x] = float(cr[x]);
        }
        // A row of neighbours at a time, added in the same order as the
        // plain form's.
        for (int dy = -kGuidedRadius; dy <= kGuidedRadius; ++dy) {
            const float* __restrict tn = tr + dy * up;
            const float* __restrict dn = drr + dy * up;
            const float* __restrict bn = dbr + dy * up;
            DEMOSAIC_ROW_LOOP
            for (int x = x0; x < x1; ++x) {
                const float t0 = tr[x];
                float total = totals[x], sumR = sumsR[x], sumB = sumsB[x];
#pragma GCC unroll 5
                for (int dx = -kGuidedRadius; dx <= kGuidedRadius; ++dx) {
                    const float w = Alike(t0, tn[x + dx]);
                    total += w;
                    sumR += w * dn[x + dx];
                    sumB += w * bn[x + dx];
                }
                totals[x] = total;
                sumsR[x] = sumR;
                sumsB[x] = sumB;
            }
        }
        DEMOSAIC_ROW_LOOP
        for (int x = x0; x < x1; ++x) {
            const float t0 = tr[x], total = totals[x], sumR = sumsR[x], sumB = sumsB[x];
            const float busy = PairBusy(tr[x - 1], tr[x + 1], t0) +
                               PairBusy(tr[x - up], tr[x + up], t0) +
                               PairBusy(tr[x - up - 1], tr[x + up + 1], t0) +
                               PairBusy(tr[x - up + 1], tr[x + up - 1], t0);
            const float keep = Damping(busy) * GreyDamping(busy, near[x]), inverse = keep / total;
            const float kind = kinds[x], oldR = rr[x], oldG = gr[x], oldB = br[x];
            const float own = kind == 0.0f ? oldR : kind == 2.0f ? oldB : oldG;
            const float extremum = PairExtremum(tr[x - 1], tr[x + 1], t0) +
                                   PairExtremum(tr[x - up], tr[x + up], t0) +
                                   PairExtremum(tr[x - up - 1], tr[x + up + 1], t0) +
                                   PairExtremum(tr[x - up + 1], tr[x + up - 1], t0);
            const float pulled = Pull(extremum);
            const float green =
                oldG + pulled * BeyondNoise(Tone(own) - Tone(oldG), pullNoise) * (own - oldG);
            pr[x] = pulled;
            gr[x] = green;
            const float red = green + sumR * inverse, blue = green + sumB * inverse;
            rr[x] = kind != 0.0f ? red : oldR;
            br[x] = kind != 2.0f ? blue : oldB;
        }
    }
}

// The least of `lo` and the most of `hi` over the kRadius neighbours either
// side of i, `step` apart.
template <int kRadius>
[[gnu::always_inline]] inline void RangeAlong(const float* lo, const float* hi, size_t i,
                                              size_t step, float& least, float& most) {
    float a = lo[i], b = hi[i];
#pragma GCC unroll 3
    for (size_t j = 1; j <= size_t(kRadius); ++j) {
        a = platform::MinOf(a, platform::MinOf(lo[i - j * step], lo[i + j * step]));
        b = platform::MaxOf(b, platform::MaxOf(hi[i - j * step], hi[i + j * step]));
    }
    least = a;
    most = b;
}

// The range of colour c's samples in the (2 kRadius + 1)^2 around each
// pixel, from separable minima and maxima over a plane of its samples (the
// others set above white for the minima, below black for the maxima); for
// rows and columns [kRadius, size - kRadius), or where read `reach` beyond a
// tile's inside `margin` in.
template <int kRadius>
XTRANS_WIDE_LOOPS void SampleRange(const Frame& f, TileScratch& s, int c, float* lo, float* hi,
                                   int margin, int reach) {
    const float* __restrict m = s.plane(kMosaic);
    const uint8_t* __restrict colour = s.colour();
    float* __restrict ownLo = s.plane(kDifference);
    float* __restrict ownHi = s.plane(kFull);
    float* __restrict rowLo = s.plane(kNumerator);
    float* __restrict rowHi = s.plane(kDenominator);
    const Window inside = Inside(f, margin, reach, kRadius);
    const size_t end = f.at(inside.y1 + kRadius, 0);
    DEMOSAIC_ROW_LOOP
    for (size_t i = f.at(inside.y0 - kRadius, 0); i < end; ++i) {
        const bool own = colour[i] == c;
        ownLo[i] = own ? m[i] : kAboveWhite;
        ownHi[i] = own ? m[i] : -1.0f;
    }
    for (int y = inside.y0 - kRadius; y < inside.y1 + kRadius; ++y) {
        const size_t row = f.at(y, 0);
        DEMOSAIC_ROW_LOOP
        for (int x = inside.x0; x < inside.x1; ++x) {
            const size_t i = row + size_t(x);
            RangeAlong<kRadius>(ownLo, ownHi, i, 1, rowLo[i], rowHi[i]);
        }
    }
    const size_t up = size_t(f.stride);
    for (int y = inside.y0; y < inside.y1; ++y) {
        const size_t row = f.at(y, 0);
        DEMOSAIC_ROW_LOOP
        for (int x = inside.x0; x < inside.x1; ++x) {
            const size_t i = row + size_t(x);
            RangeAlong<kRadius>(rowLo, rowHi, i, up, lo[i], hi[i]);
        }
    }
}

// The ranges, once for both renderings, into the spent candidates' planes:
// of red and blue over 7 x 7 for the clamp, of green over 3 x 3 for the
// median's green; and how far the parts are from grey (NeutralDistance,
// BalancedDistance), in spent scores' planes.
struct SampleRanges {
    const float* lo[3];
    const float* hi[3];
    // Green's over 7 x 7, and how far the part is from grey.
    const float* greenLo;
    const float* greenHi;
    const float* apart;
    // The same, lowered where the samples balance out, for the clamp and
    // the guided average (the fit keeps `apart`).
    const float* balanced;
};

// Where red and blue need no sample near to stand beyond (see
// NeutralDistance): a mirrored edge of a sparse layout.
constexpr float kFarFromGrey = 1.0e9f;

// How far a part is from grey, from the samples alone: the most that the
// least or the most of red's or blue's samples in the 7 x 7 around a pixel
// stands from green's, over green's most. In a grey part the three colours'
// samples span the same tones, however fine its detail; in coloured
// texture (a red knit on a dark ground) or beside a saturated edge they do
// not. Unlike the colour of any rendering, this holds near the layout's
// aliasing, where a rendering's colour is the very fault to be found.
XTRANS_WIDE_LOOPS
void NeutralDistance(const Frame& f, TileScratch& s, SampleRanges& ranges, int margin, int reach,
                     float* apart) {
    float* greenLo = s.plane(kFirstScore);
    float* greenHi = s.plane(kFirstScore + 1);
    SampleRange<kClampRadius>(f, s, kGreen, greenLo, greenHi, margin, reach);
    ranges.greenLo = greenLo;
    ranges.greenHi = greenHi;
    const Window inside = Inside(f, margin, reach, kClampRadius);
    for (int y = inside.y0; y < inside.y1; ++y) {
        const size_t row = f.at(y, 0);
        const float* __restrict gl = greenLo + row;
        const float* __restrict gh = greenHi + row;
        const float* __restrict rl = ranges.lo[0] + row;
        const float* __restrict rh = ranges.hi[0] + row;
        const float* __restrict bl = ranges.lo[2] + row;
        const float* __restrict bh = ranges.hi[2] + row;
        float* __restrict d = apart + row;
        DEMOSAIC_ROW_LOOP
        for (int x = inside.x0; x < inside.x1; ++x) {
            const float most = platform::MaxOf(
                platform::MaxOf(std::fabs(rl[x] - gl[x]), std::fabs(rh[x] - gh[x])),
                platform::MaxOf(std::fabs(bl[x] - gl[x]), std::fabs(bh[x] - gh[x])));
            const bool lacking = rh[x] < 0 || bh[x] < 0 || gh[x] < 0;
            d[x] = lacking ? kFarFromGrey : most / platform::MaxOf(gh[x], 256.0f);
        }
    }
}

// The mean of colour c's samples in the (2 kRadius + 1)^2 around each
// pixel (-1 where it holds none), from separable sums of the samples and of
// their count; where SampleRange writes.
template <int kRadius>
XTRANS_WIDE_LOOPS void SampleMean(const Frame& f, TileScratch& s, int c, float* mean, int margin,
                                  int reach) {
    const float* __restrict m = s.plane(kMosaic);
    const uint8_t* __restrict colour = s.colour();
    float* __restrict own = s.plane(kDifference);
    float* __restrict count = s.plane(kFull);
    float* __restrict rowSum = s.plane(kNumerator);
    float* __restrict rowCount = s.plane(kDenominator);
    const Window inside = Inside(f, margin, reach, kRadius);
    const size_t end = f.at(inside.y1 + kRadius, 0);
    DEMOSAIC_ROW_LOOP
    for (size_t i = f.at(inside.y0 - kRadius, 0); i < end; ++i) {
        const float site = colour[i] == c ? 1.0f : 0.0f;
        own[i] = site * m[i];
        count[i] = site;
    }
    for (int y = inside.y0 - kRadius; y < inside.y1 + kRadius; ++y) {
        const size_t row = f.at(y, 0);
        DEMOSAIC_ROW_LOOP
        for (int x = inside.x0; x < inside.x1; ++x) {
            const size_t i = row + size_t(x);
            float sum = own[i], n = count[i];
#pragma GCC unroll 3
            for (size_t j = 1; j <= size_t(kRadius); ++j) {
                sum += own[i - j] + own[i + j];
                n += count[i - j] + count[i + j];
            }
            rowSum[i] = sum;
            rowCount[i] = n;
        }
    }
    const size_t up = size_t(f.stride);
    for (int y = inside.y0; y < inside.y1; ++y) {
        const size_t row = f.at(y, 0);
        DEMOSAIC_ROW_LOOP
        for (int x = inside.x0; x < inside.x1; ++x) {
            const size_t i = row + size_t(x);
            float sum = rowSum[i], n = rowCount[i];
#pragma GCC unroll 3
            for (size_t j = 1; j <= size_t(kRadius); ++j) {
                sum += rowSum[i - j * up] + rowSum[i + j * up];
                n += rowCount[i - j * up] + rowCount[i + j * up];
            }
            mean[i] = n > 0 ? sum / platform::MaxOf(n, 1.0f) : -1.0f;
        }
    }
}

// How far a part is from grey by the balance of its samples: the most that
// the mean of red's or blue's samples in the 7 x 7 around a pixel stands
// from green's, over green's; lowering NeutralDistance (`apart`) to it, but
// not below kRangeShare of it. Grey detail finer than the sparse red and
// blue samples can follow (grain, fabric, a scanner's border beside an edge)
// has ranges that disagree though the part is grey, and the clamp and the
// guided average then leave it tinted; its samples still balance. Colour texture that averages to
// grey over the window (a colour zone plate's fine rings) does not balance
// in its ranges, and the share keeps it from being taken for grey.
constexpr float kRangeShare = 0.3f;

XTRANS_WIDE_LOOPS
void BalancedDistance(const Frame& f, TileScratch& s, const float* apart, int margin, int reach,
                      float* balanced) {
    float* mean[3] = {s.plane(kLightness), s.plane(kChromaA), s.plane(kChromaB)};
    for (int c : {0, 1, 2}) SampleMean<kClampRadius>(f, s, c, mean[c], margin, reach);
    const Window inside = Inside(f, margin, reach, kClampRadius);
    for (int y = inside.y0; y < inside.y1; ++y) {
        const size_t row = f.at(y, 0);
        const float* __restrict mr = mean[0] + row;
        const float* __restrict mg = mean[1] + row;
        const float* __restrict mb = mean[2] + row;
        const float* __restrict d = apart + row;
        float* __restrict out = balanced + row;
        DEMOSAIC_ROW_LOOP
        for (int x = inside.x0; x < inside.x1; ++x) {
            const float most = platform::MaxOf(std::fabs(mr[x] - mg[x]), std::fabs(mb[x] - mg[x]));
            const float off = most / platform::MaxOf(mg[x], 256.0f);
            const bool lacking = mr[x] < 0 || mg[x] < 0 || mb[x] < 0;
            const float lowered = platform::MinOf(d[x], platform::MaxOf(off, kRangeShare * d[x]));
            out[x] = lacking ? d[x] : lowered;
        }
    }
}

SampleRanges MakeSampleRanges(const Frame& f, TileScratch& s, int margin) {
    SampleRanges ranges{};
    for (int c : {0, 1, 2}) {
        float* lo = s.plane(kFirstCandidate + 2 * c);
        float* hi = s.plane(kFirstCandidate + 2 * c + 1);
        if (c == kGreen)
            SampleRange<1>(f, s, c, lo, hi, margin, kMedianReach);
        else
            SampleRange<kClampRadius>(f, s, c, lo, hi, margin, kScoreReach);
        ranges.lo[c] = lo;
        ranges.hi[c] = hi;
    }
    float* apart = s.plane(kFirstScore + 2);
    NeutralDistance(f, s, ranges, margin, kScoreReach, apart);
    ranges.apart = apart;
    float* balanced = s.plane(kFirstScore + 3);
    BalancedDistance(f, s, apart, margin, kScoreReach, balanced);
    ranges.balanced = balanced;
    return ranges;
}

// How near grey a part is, 1 at grey, falling to 0 as NeutralDistance
// reaches `far`.
[[gnu::always_inline]] inline float NearGrey(float apart, float inverseFar) {
    const float n = platform::MaxOf(1.0f - apart * inverseFar, 0.0f);
    return n * n;
}

// The alternate takes the master's blend where a part is near grey, fully
// at grey, none from 85 % on (NeutralDistance). In grey detail the colour
// differences come only from how each candidate misses green, and the
// alternate's gentle mix takes in the candidates across fine rings and
// lines, whose misses are the largest: magenta and green rings from the
// zone plate's centre out. The master's sharp choice takes the candidate
// along them. In coloured texture the gentle mix stays: there the few
// samples along one line alias, and a red knit turns to speckle.
XTRANS_WIDE_LOOPS
void MasterWhereGrey(const Frame& f, const float* apart, const float* const master[3],
                     float* const alternate[3], int margin) {
    constexpr float kInverseFar = 1.0f / 0.85f;
    const Window inside = Inside(f, margin, kScoreReach, kClampRadius);
    for (int y = inside.y0; y < inside.y1; ++y) {
        const size_t row = f.at(y, 0);
        const float* __restrict d = apart + row;
        const float* __restrict mr = master[0] + row;
        const float* __restrict mg = master[1] + row;
        const float* __restrict mb = master[2] + row;
        float* __restrict ar = alternate[0] + row;
        float* __restrict ag = alternate[1] + row;
        float* __restrict ab = alternate[2] + row;
        DEMOSAIC_ROW_LOOP
        for (int x = inside.x0; x < inside.x1; ++x) {
            const float w = NearGrey(d[x], kInverseFar);
            ar[x] += w * (mr[x] - ar[x]);
            ag[x] += w * (mg[x] - ag[x]);
            ab[x] += w * (mb[x] - ab[x]);
        }
    }
}

// Red and blue, where a pixel did not sample them, held within the range of
// that colour's samples in the 7 x 7 around it. An estimate beyond every
// sample near it is invented: most often a colour difference carried across
// an edge between saturated colours, which draws a dark or coloured dot
// along the edge. Where the guided average found a fine line or ring (a
// pixel's green beyond both of a pair of neighbours) in a near-grey part,
// the range reaches towards the pixel's green by that pull: the sparse
// samples around miss the peaks of fine neutral detail, and holding red and
// blue away from its green there drew colour. Saturated parts keep the
// plain range: there a pixel's green dipping at an edge would take red or
// blue down with it into a dark dot. Near grey by the samples themselves
// (BalancedDistance) the range reaches towards green too, fully at grey,
// none from 40 % on (where a saturated colour meets white, the most of its
// samples alike, the least not, it stands at 47 %): in fine grey detail the
// sparse samples miss the peaks wherever the guided average found no line,
// and there the clamp alone drew coloured rings. Green keeps its
// estimates: its samples are dense enough that its range would flatten fine
// detail. Before the clamp, red and blue are taken towards green by up to
// 30 % where the part is near grey by its samples (fully at grey, none from
// 18 % on) and green varies across the 3 x 3 (fully from 20 % of its most):
// at a step or in texture the colour differences come from the sites on
// one side, and a near-grey mixture between two tones took a tint from them
// that neither its samples nor a flat part's (whose tints stay) show. For
// rows and columns [3, size - 3).
constexpr float kStepGreying = 0.3f;
constexpr float kInverseStepGreyingFar = 1.0f / 0.18f;
constexpr float kInverseStepSpread = 1.0f / 0.2f;
XTRANS_WIDE_LOOPS
void ClampToSamples(const Frame& f, TileScratch& s, const SampleRanges& ranges, float* const out[3],
                    int margin) {
    constexpr float kInverseFar = 1.0f / 0.4f;
    const uint8_t* __restrict colour = s.colour();
    const float* __restrict pull = s.plane(kPull);
    const int x0 = f.first(margin, 0, kClampRadius), x1 = f.endColumn(margin, 0, kClampRadius);
    for (int c : {0, 2}) {
        for (int y = f.first(margin, 0, kClampRadius); y < f.endRow(margin, 0, kClampRadius); ++y) {
            const size_t row = f.at(y, 0);
            float* __restrict v = out[c] + row;
            const float* __restrict l = ranges.lo[c] + row;
            const float* __restrict h = ranges.hi[c] + row;
            const float* __restrict g = out[kGreen] + row;
            const float* __restrict p = pull + row;
            const float* __restrict sv = s.plane(kSmoothR + c) + row;
            const float* __restrict sg = s.plane(kSmoothG) + row;
            const float* __restrict d = ranges.balanced + row;
            const float* __restrict gl = ranges.greenLo + row;
            const float* __restrict gh = ranges.greenHi + row;
            const float* __restrict nearLo = ranges.lo[kGreen] + row;
            const float* __restrict nearHi = ranges.hi[kGreen] + row;
            const uint8_t* __restrict code = colour + row;
            DEMOSAIC_ROW_LOOP
            for (int x = x0; x < x1; ++x) {
                // How far the smooth rendering's colour stands from grey,
                // in quarters of its green: none of the reach at a quarter.
                const float off = std::fabs(sv[x] - sg[x]) * 4.0f / platform::MaxOf(sg[x], 1.0f);
                const float pulled = p[x] * platform::MaxOf(1.0f - off, 0.0f);
                const float grey = platform::MaxOf(1.0f - d[x] * kInverseFar, 0.0f);
                // Near grey, towards green only as far as green's own samples
                // go: at an edge green's estimate may stand beyond them.
                const float bounded = platform::MinOf(platform::MaxOf(g[x], gl[x]), gh[x]);
                const float lo =
                    platform::MinOf(l[x] - pulled * platform::MaxOf(l[x] - g[x], 0.0f),
                                    l[x] - grey * platform::MaxOf(l[x] - bounded, 0.0f));
                const float hi =
                    platform::MaxOf(h[x] + pulled * platform::MaxOf(g[x] - h[x], 0.0f),
                                    h[x] + grey * platform::MaxOf(bounded - h[x], 0.0f));
                // A window with no sample of the colour (a mirrored edge of a
                // sparse layout) leaves the estimate alone.
                const float spread =
                    (nearHi[x] - nearLo[x]) / platform::MaxOf(nearHi[x], 256.0f);
                // None where the 3 x 3 holds no green site (its range is
                // then inverted).
                const float stepped =
                    platform::MinOf(platform::MaxOf(spread * kInverseStepSpread, 0.0f), 1.0f);
                const float greyed =
                    g[x] + (v[x] - g[x]) * (1.0f - kStepGreying * stepped *
                                                       NearGrey(d[x], kInverseStepGreyingFar));
                const float clamped = platform::MinOf(platform::MaxOf(greyed, lo), hi);
                v[x] = code[x] == c || h[x] < 0 ? v[x] : clamped;
            }
        }
    }
}

// Green at red and blue sites, then red and blue where they were not
// sampled, from straight lines fitted to the samples around, on the
// square-root tone. Over the sites of each colour c in the 5 x 5 around a
// pixel (a tent's weights), least squares give c as a line in green and
// green as a line in c, each leaning to slope 1 (the colour difference)
// where the window varies little against the slack. Across an edge between
// two colours a pixel and its mixtures lie near the line through both
// sides, where green plus a colour difference taken from one side drew a
// dark or coloured dot: red and blue there follow green in the ratio the
// edge has, not one for one. Where the samples stand near grey the slack
// grows, so that the colour difference holds in fine neutral detail, whose
// greens at the sparse sites are too aliased to fit a line to. Green at a
// site of c comes from c's own sample; red and blue elsewhere from the
// pixel's green, the new one at the other colour's sites. The lines take
// the rendering's green at the sites, or its mean with `otherGreen` (the
// alternate's soft blend misplaces an edge's greens, the master's is
// sharper). Near grey by the samples' spread (`apart`, NeutralDistance; their
// balance would call a blue-yellow edge grey) the estimates before stand,
// fully at grey, none from 28 % on (nearer grey, with the greying before
// the clamp, the lines hold a step's mixtures better than the blend): there the
// master's blend and the clamp towards green hold fine detail grey, which
// lines fitted to aliased greens would tint. Where c varies less than green
// over the window (the slope of green on c above 1), green at a site of c
// leans by the slope's square to the green it had (the master's, when given):
// every departure of c's sample from the line comes back times the slope,
// and across an edge drawn in sRGB the mixtures lie on a curve, where a dark
// colour's sample drops well before green rises. Written to the tile's inside,
// or rows and columns [kFitRadius, size - kFitRadius); reads green
// kFitRadius beyond.
constexpr float kFitSlack = 30.0f;
constexpr float kGreyFitSlack = 3000.0f;
// How far beyond the image's noise (ImageNoise) red's and blue's samples
// must vary for their lines to be taken: beyond either figure, further
// beyond the one of noise alone than beyond the one that also counts a
// zone plate's aliasing, which the lines would follow into colour too.
constexpr float kFitNoiseWeight = 16.0f;
constexpr float kFitSampleNoiseWeight = 64.0f;
// Beside a step from a flat part (a grey border beside a picture), the
// window's sites across the step pull the flat side's line off its own
// colour: there the sites count by how alike their green is to the pixel's,
// 1 / (1 + (d / s)^4), where s^2 = kFitAlikeScale^2 plus kFitAlikeFlat times
// how much the flattest half of the pixel's eight neighbours varies (tones
// squared), so that texture, whose every half varies, keeps the whole window.
constexpr float kFitAlikeScale = 8.0f;
constexpr float kFitAlikeFlat = 4.0f;
// Where the window's greens stray from the pixel's by less than this (mean
// (d / s)^2), every site weighs about the same and the plain sums stand.
constexpr float kFitAlikeSkip = 0.05f;

// Five rows (or columns, `up` 1) of a plane around i under the tent
// 1 2 3 2 1.
[[gnu::always_inline]] inline float Tent5(const float* p, size_t i, size_t up) {
    return p[i - 2 * up] + 2.0f * p[i - up] + 3.0f * p[i] + 2.0f * p[i + up] + p[i + 2 * up];
}

[[gnu::always_inline]] inline float Untone(float t) {
    const float v = platform::MaxOf(t, 0.0f);
    return v * v;
}

// The sums a fit takes over the sites of one colour.
enum FitSum { kSumW, kSumG, kSumV, kSumGG, kSumVV, kSumGV, kFitSums };

// Both colours' fit sums over the 5 x 5 around each pixel of a row, each
// site weighed by how alike its green is to the pixel's (see
// kFitAlikeScale), `inverseScale` the pixel's 1 / s^2, into `alike`
// (kFitSums rows a colour, red's then blue's), unscaled; `toneG` and `toneV`
// the rows' tones, at -2 .. 2 from the pixel's row. The sites' test is a
// select and a site's weight serves both colours, so that one pass over the
// row vectorises.
XTRANS_WIDE_LOOPS
void AlikeFitSums(const float* const toneG[5], const float* const toneV[5],
                  const float* const kinds[5], int x0, int x1,
                  const float* __restrict inverseScale, float* __restrict alike, size_t stride) {
    constexpr float kTent[5] = {1, 2, 3, 2, 1};
    const float* __restrict g0 = toneG[0];
    const float* __restrict g1 = toneG[1];
    const float* __restrict g2 = toneG[2];
    const float* __restrict g3 = toneG[3];
    const float* __restrict g4 = toneG[4];
    const float* __restrict v0 = toneV[0];
    const float* __restrict v1 = toneV[1];
    const float* __restrict v2 = toneV[2];
    const float* __restrict v3 = toneV[3];
    const float* __restrict v4 = toneV[4];
    const float* __restrict c0 = kinds[0];
    const float* __restrict c1 = kinds[1];
    const float* __restrict c2 = kinds[2];
    const float* __restrict c3 = kinds[3];
    const float* __restrict c4 = kinds[4];
    float* __restrict out[2 * kFitSums];
    for (int q = 0; q < 2 * kFitSums; ++q) out[q] = alike + size_t(q) * stride;
    float* __restrict rw = out[0];
    float* __restrict rg = out[1];
    float* __restrict rv = out[2];
    float* __restrict rgg = out[3];
    float* __restrict rvv = out[4];
    float* __restrict rgv = out[5];
    float* __restrict bw = out[6];
    float* __restrict bg = out[7];
    float* __restrict bv = out[8];
    float* __restrict bgg = out[9];
    float* __restrict bvv = out[10];
    float* __restrict bgv = out[11];
    DEMOSAIC_ROW_LOOP
    for (int x = x0; x < x1; ++x) {
        const float t0 = g2[x], inverse = inverseScale[x];
        float r[kFitSums] = {}, b[kFitSums] = {};
        // In the order of the plain form, row by row: a site of the other
        // colour (or green) adds a weight of 0, which leaves a sum as it was.
        const auto site = [&](const float* __restrict gs, const float* __restrict vs,
                              const float* __restrict cs, int dy, int dx) {
            const int j = x + dx - 2;
            const float tg = gs[j], tv = vs[j];
            const float dd = (tg - t0) * (tg - t0) * inverse;
            const float w = kTent[dy] * kTent[dx] / (1.0f + dd * dd);
            const float wr = cs[j] == 0.0f ? w : 0.0f, wb = cs[j] == 2.0f ? w : 0.0f;
            r[kSumW] += wr;
            r[kSumG] += wr * tg;
            r[kSumV] += wr * tv;
            r[kSumGG] += wr * tg * tg;
            r[kSumVV] += wr * tv * tv;
            r[kSumGV] += wr * tg * tv;
            b[kSumW] += wb;
            b[kSumG] += wb * tg;
            b[kSumV] += wb * tv;
            b[kSumGG] += wb * tg * tg;
            b[kSumVV] += wb * tv * tv;
            b[kSumGV] += wb * tg * tv;
        };
        const auto row = [&](const float* __restrict gs, const float* __restrict vs,
                             const float* __restrict cs, int dy) {
            site(gs, vs, cs, dy, 0);
            site(gs, vs, cs, dy, 1);
            site(gs, vs, cs, dy, 2);
            site(gs, vs, cs, dy, 3);
            site(gs, vs, cs, dy, 4);
        };
        row(g0, v0, c0, 0);
        row(g1, v1, c1, 1);
        row(g2, v2, c2, 2);
        row(g3, v3, c3, 3);
        row(g4, v4, c4, 4);
        rw[x] = r[kSumW];
        rg[x] = r[kSumG];
        rv[x] = r[kSumV];
        rgg[x] = r[kSumGG];
        rvv[x] = r[kSumVV];
        rgv[x] = r[kSumGV];
        bw[x] = b[kSumW];
        bg[x] = b[kSumG];
        bv[x] = b[kSumV];
        bgg[x] = b[kSumGG];
        bvv[x] = b[kSumVV];
        bgv[x] = b[kSumGV];
    }
}

// One row's tones over the sites of red and blue (1 there, 0 elsewhere;
// their products) and their sums under the tent along the row, into
// `sums` (kFitSums rows a colour, red's then blue's); `products` is scratch
// of as many rows. The row's tones of green and of the samples go to `toneG`
// and `toneV`, its colours to `kind`.
XTRANS_WIDE_LOOPS
void FitRowSums(const float* __restrict g, const float* __restrict other, const float* __restrict m,
                const uint8_t* __restrict code, int x0, int x1, size_t stride,
                float* __restrict products, float* __restrict sums, float* __restrict toneG,
                float* __restrict toneV, float* __restrict kind) {
    DEMOSAIC_ROW_LOOP
    for (int x = x0 - kFitRadius; x < x1 + kFitRadius; ++x) {
        kind[x] = float(code[x]);
        toneG[x] = Tone(0.5f * (g[x] + other[x]));
        toneV[x] = Tone(m[x]);
    }
    for (int k = 0; k < 2; ++k) {
        float* __restrict w = products + size_t(k * kFitSums) * stride;
        float* __restrict pg = w + stride;
        float* __restrict pv = pg + stride;
        float* __restrict pgg = pv + stride;
        float* __restrict pvv = pgg + stride;
        float* __restrict pgv = pvv + stride;
        const float c = float(2 * k);
        DEMOSAIC_ROW_LOOP
        for (int x = x0 - kFitRadius; x < x1 + kFitRadius; ++x) {
            const float tg = toneG[x], tv = toneV[x];
            const float site = kind[x] == c ? 1.0f : 0.0f;
            const float kg = site * tg, kv = site * tv;
            w[x] = site;
            pg[x] = kg;
            pv[x] = kv;
            pgg[x] = kg * tg;
            pvv[x] = kv * tv;
            pgv[x] = kg * tv;
        }
    }
    for (size_t q = 0; q < size_t(2 * kFitSums); ++q) {
        const float* __restrict p = products + q * stride;
        float* __restrict out = sums + q * stride;
        DEMOSAIC_ROW_LOOP
        for (int x = x0; x < x1; ++x) out[x] = Tent5(p, size_t(x), 1);
    }
}

XTRANS_WIDE_LOOPS
void FitToSamples(const Frame& f, TileScratch& s, float* const out[3], const float* otherGreen,
                  const float* apart, int margin) {
    constexpr float kInverseFar = 1.0f / 0.28f;
    static_assert(kFitRadius == 2);
    constexpr int kRing = 2 * kFitRadius + 1;
    const Window inside = Inside(f, margin, 0, kFitRadius);
    if (inside.y1 <= inside.y0 || inside.x1 <= inside.x0) return;
    const float* m = s.plane(kMosaic);
    const uint8_t* colour = s.colour();
    float* g = out[kGreen];
    const float* other = otherGreen ? otherGreen : g;
    // The row sums of the last kRing rows, then a row's products, the
    // colours' lines (intercept and slope) and green as fitted: rows of a
    // spent plane. Each row's sums are taken before its green is fitted.
    const size_t stride = size_t(f.stride);
    float* ring = s.plane(kFirstCandidate + 7);
    float* products = ring + size_t(kRing * 2 * kFitSums) * stride;
    float* sums = products + size_t(2 * kFitSums + 3) * stride;
    float* lines = sums + size_t(kFitSums) * stride;
    float* fitted = lines + 6 * stride;
    float* kinds = fitted + stride;
    float* tones = kinds + stride;
    float* trust = tones + stride;
    // 1 / s^2 of the alike weights, a row; the tones of green and of the
    // samples of the last kRing rows, for the weighted sums.
    float* alikeScale = trust + 2 * stride;
    float* stray = alikeScale + stride;
    float* toneRing = stray + stride;
    // Both colours' weighed sums of a row, taken over a span of it once the
    // first colour needs them there.
    float* alike = toneRing + size_t(3 * kRing) * stride;
    const int x0 = inside.x0, x1 = inside.x1;
    constexpr int kAlikeSpan = 32;
    std::vector<uint8_t> alikeTaken(size_t((x1 - x0) / kAlikeSpan + 1));
    // The sums the fit reads where some pixel strays: written whole, as a
    // select, since a select back into `sums` becomes masked stores.
    float* chosen = alike + size_t(2 * kFitSums) * stride;
    auto slot = [&](int y) { return size_t(((y % kRing) + kRing) % kRing); };
    auto sumsOf = [&](int y) { return ring + slot(y) * size_t(2 * kFitSums) * stride; };
    auto toneGOf = [&](int y) { return toneRing + 3 * slot(y) * stride; };
    auto toneVOf = [&](int y) { return toneRing + (3 * slot(y) + 1) * stride; };
    auto kindOf = [&](int y) { return toneRing + (3 * slot(y) + 2) * stride; };
    for (int y = inside.y0 - kFitRadius; y < inside.y0 + kFitRadius; ++y)
        FitRowSums(g + f.at(y, 0), other + f.at(y, 0), m + f.at(y, 0), colour + f.at(y, 0), x0, x1,
                   stride, products, sumsOf(y), toneGOf(y), toneVOf(y), kindOf(y));
    for (int y = inside.y0; y < inside.y1; ++y) {
        const size_t below = f.at(y + kFitRadius, 0);
        FitRowSums(g + below, other + below, m + below, colour + below, x0, x1, stride, products,
                   sumsOf(y + kFitRadius), toneGOf(y + kFitRadius), toneVOf(y + kFitRadius),
                   kindOf(y + kFitRadius));
        const float* toneGRows[5];
        const float* toneVRows[5];
        const float* kindRows[5];
        for (int dy = 0; dy < 5; ++dy) {
            toneGRows[dy] = toneGOf(y + dy - 2);
            toneVRows[dy] = toneVOf(y + dy - 2);
            kindRows[dy] = kindOf(y + dy - 2);
        }
        {
            // How much the flattest half of the eight neighbours varies.
            const float* __restrict up = toneGRows[1];
            const float* __restrict mid = toneGRows[2];
            const float* __restrict down = toneGRows[3];
            float* __restrict inverseScale = alikeScale;
            DEMOSAIC_ROW_LOOP
            for (int x = x0; x < x1; ++x) {
                const float t0 = mid[x];
                const float u = (up[x] - t0) * (up[x] - t0), d = (down[x] - t0) * (down[x] - t0);
                const float l = (mid[x - 1] - t0) * (mid[x - 1] - t0);
                const float r = (mid[x + 1] - t0) * (mid[x + 1] - t0);
                const float ul = (up[x - 1] - t0) * (up[x - 1] - t0);
                const float ur = (up[x + 1] - t0) * (up[x + 1] - t0);
                const float dl = (down[x - 1] - t0) * (down[x - 1] - t0);
                const float dr = (down[x + 1] - t0) * (down[x + 1] - t0);
                const float flat =
                    platform::MinOf(platform::MinOf(l + ul + dl + u + d, r + ur + dr + u + d),
                                    platform::MinOf(u + ul + ur + l + r, d + dl + dr + l + r));
                inverseScale[x] = 1.0f / (kFitAlikeScale * kFitAlikeScale + kFitAlikeFlat * flat);
            }
        }
        std::fill(alikeTaken.begin(), alikeTaken.end(), uint8_t(0));
        const size_t row = f.at(y, 0);
        const uint8_t* __restrict code = colour + row;
        const float* __restrict mr = m + row;
        float* __restrict gr = g + row;
        float* __restrict fg = fitted;
        std::copy(gr + x0, gr + x1, fg + x0);
        float* __restrict kind = kinds;
        float* __restrict toneV = tones;
        const float* __restrict base = other + row;
        DEMOSAIC_ROW_LOOP
        for (int x = x0; x < x1; ++x) {
            kind[x] = float(code[x]);
            toneV[x] = Tone(mr[x]);
        }
        for (int k = 0; k < 2; ++k) {
            // The row sums under the tent down the column.
            for (size_t q = 0; q < size_t(kFitSums); ++q) {
                const size_t at = size_t(k * kFitSums) * stride + q * stride;
                const float* __restrict r0 = sumsOf(y - 2) + at;
                const float* __restrict r1 = sumsOf(y - 1) + at;
                const float* __restrict r2 = sumsOf(y) + at;
                const float* __restrict r3 = sumsOf(y + 1) + at;
                const float* __restrict r4 = sumsOf(y + 2) + at;
                float* __restrict o = sums + q * stride;
                DEMOSAIC_ROW_LOOP
                for (int x = x0; x < x1; ++x)
                    o[x] = r0[x] + 2.0f * r1[x] + 3.0f * r2[x] + 2.0f * r3[x] + r4[x];
            }
            const float* fitSums = sums;
            {
                // Where the window's greens stray from the pixel's, the
                // sums weighed by how alike they are.
                const float* __restrict sw = sums + kSumW * stride;
                const float* __restrict sg = sums + kSumG * stride;
                const float* __restrict sgg = sums + kSumGG * stride;
                const float* __restrict t = toneGRows[2];
                const float* __restrict inverseScale = alikeScale;
                const float* __restrict grey = apart + row;
                float* __restrict strays = stray;
                DEMOSAIC_ROW_LOOP
                for (int x = x0; x < x1; ++x) {
                    const float t0 = t[x];
                    // The tent's mean of (green - t0)^2 over the sites; none
                    // where the fit is not taken (near grey).
                    const float spread = sgg[x] - 2.0f * t0 * sg[x] + t0 * t0 * sw[x];
                    const float taken = NearGrey(grey[x], kInverseFar) < 1.0f ? 1.0f : 0.0f;
                    strays[x] = spread * inverseScale[x] > kFitAlikeSkip * sw[x] ? taken : 0.0f;
                }
                int straying = 0;
                for (int span = 0; span * kAlikeSpan < x1 - x0; ++span) {
                    const int a = x0 + span * kAlikeSpan, e = std::min(a + kAlikeSpan, x1);
                    int any = 0;
                    for (int x = a; x < e; ++x) any += strays[x] > 0 ? 1 : 0;
                    straying += any;
                    if (any == 0 || alikeTaken[size_t(span)]) continue;
                    AlikeFitSums(toneGRows, toneVRows, kindRows, a, e, inverseScale, alike,
                                 stride);
                    alikeTaken[size_t(span)] = 1;
                }
                if (straying > 0) {
                    fitSums = chosen;
                    // The weighed sums scaled to the plain sums' weight, so
                    // that the fit reads them alike.
                    const float* __restrict aw = alike + size_t(k * kFitSums + kSumW) * stride;
                    const float* __restrict ag = alike + size_t(k * kFitSums + kSumG) * stride;
                    const float* __restrict av = alike + size_t(k * kFitSums + kSumV) * stride;
                    const float* __restrict agg = alike + size_t(k * kFitSums + kSumGG) * stride;
                    const float* __restrict avv = alike + size_t(k * kFitSums + kSumVV) * stride;
                    const float* __restrict agv = alike + size_t(k * kFitSums + kSumGV) * stride;
                    const float* __restrict ow = sums + kSumW * stride;
                    float* __restrict cw = chosen + kSumW * stride;
                    const float* __restrict og = sums + kSumG * stride;
                    float* __restrict cg = chosen + kSumG * stride;
                    const float* __restrict ov = sums + kSumV * stride;
                    float* __restrict cv = chosen + kSumV * stride;
                    const float* __restrict ogg = sums + kSumGG * stride;
                    float* __restrict cgg = chosen + kSumGG * stride;
                    const float* __restrict ovv = sums + kSumVV * stride;
                    float* __restrict cvv = chosen + kSumVV * stride;
                    const float* __restrict ogv = sums + kSumGV * stride;
                    float* __restrict cgv = chosen + kSumGV * stride;
                    DEMOSAIC_ROW_LOOP
                    for (int x = x0; x < x1; ++x) {
                        const bool take = (strays[x] > 0) & (aw[x] > 0);
                        const float scale = ow[x] / (take ? aw[x] : 1.0f);
                        cw[x] = take ? aw[x] * scale : ow[x];
                        cg[x] = take ? ag[x] * scale : og[x];
                        cv[x] = take ? av[x] * scale : ov[x];
                        cgg[x] = take ? agg[x] * scale : ogg[x];
                        cvv[x] = take ? avv[x] * scale : ovv[x];
                        cgv[x] = take ? agv[x] * scale : ogv[x];
                    }
                }
            }
            const float* __restrict sumW = fitSums + kSumW * stride;
            const float* __restrict sumG = fitSums + kSumG * stride;
            const float* __restrict sumV = fitSums + kSumV * stride;
            const float* __restrict sumGG = fitSums + kSumGG * stride;
            const float* __restrict sumVV = fitSums + kSumVV * stride;
            const float* __restrict sumGV = fitSums + kSumGV * stride;
            float* __restrict a = lines + size_t(3 * k) * stride;
            float* __restrict b = a + stride;
            float* __restrict none = b + stride;
            const float c = float(2 * k);
            DEMOSAIC_ROW_LOOP
            for (int x = x0; x < x1; ++x) {
                const float sw = sumW[x], sg = sumG[x], sv = sumV[x], sgg = sumGG[x],
                            svv = sumVV[x], sgv = sumGV[x];
                const float inverse = 1.0f / platform::MaxOf(sw, 1.0f);
                const float meanG = sg * inverse, meanV = sv * inverse;
                const float varG = platform::MaxOf(sgg * inverse - meanG * meanG, 0.0f);
                const float varV = platform::MaxOf(svv * inverse - meanV * meanV, 0.0f);
                const float cov = sgv * inverse - meanG * meanV;
                // How far the samples stand from green (squared, in
                // quarters of green): none of the grey slack at a quarter.
                const float apart = (svv - 2.0f * sgv + sgg) * inverse;
                const float off = apart * 16.0f / platform::MaxOf(meanG * meanG, 1.0f);
                const float grey = platform::MaxOf(1.0f - off, 0.0f);
                const float slack = kFitSlack + kGreyFitSlack * grey * grey;
                const float colourSlope = (cov + slack) / (varG + slack);
                const float greenSlope = (cov + slack) / (varV + slack);
                b[x] = colourSlope;
                a[x] = meanV - colourSlope * meanG;
                // No site in the window (a mirrored edge of a sparse
                // layout): the estimates as they stand.
                none[x] = sw <= 0 ? 1.0f : 0.0f;
                // Under noise, red's or blue's line only where its samples
                // vary well beyond the noise: over the window's few sites
                // the line follows noise, a colour blotch, where the blend's
                // colour differences, averaged wider, do not.
                const float noise = platform::MaxOf(kFitNoiseWeight * f.noise,
                                                    kFitSampleNoiseWeight * f.sampleNoise);
                trust[size_t(k) * stride + size_t(x)] = 1.0f - noise / (varV + noise + 1e-6f);
                const float fit = Untone(meanG + greenSlope * (toneV[x] - meanV));
                const float lean = 1.0f / platform::MaxOf(greenSlope * greenSlope, 1.0f);
                const float green = base[x] + lean * (fit - base[x]);
                fg[x] = kind[x] == c && sw > 0 ? green : fg[x];
            }
        }
        float* __restrict rr = out[0] + row;
        float* __restrict br = out[2] + row;
        const float* __restrict ar = lines;
        const float* __restrict sr = ar + stride;
        const float* __restrict nr = sr + stride;
        const float* __restrict ab = nr + stride;
        const float* __restrict sb = ab + stride;
        const float* __restrict nb = sb + stride;
        const float* __restrict d = apart + row;
        DEMOSAIC_ROW_LOOP
        for (int x = x0; x < x1; ++x) {
            const float share = 1.0f - NearGrey(d[x], kInverseFar);
            const float green = gr[x] + share * (fg[x] - gr[x]), tg = Tone(green);
            const float red = Untone(ar[x] + sr[x] * tg), blue = Untone(ab[x] + sb[x] * tg);
            gr[x] = green;
            const float* __restrict tr = trust;
            const float* __restrict tb = trust + stride;
            rr[x] = kind[x] == 0.0f || nr[x] > 0 ? rr[x] : rr[x] + share * tr[x] * (red - rr[x]);
            br[x] = kind[x] == 2.0f || nb[x] > 0 ? br[x] : br[x] + share * tb[x] * (blue - br[x]);
        }
    }
}

// The four directional candidates and the variation of each, and of the
// smooth rendering, the fifth.
void Candidates(const Frame& f, TileScratch& s, int radius, bool reference, int margin) {
    for (int d = 0; d < 4; ++d) {
        float* r = s.plane(kFirstCandidate + 3 * d);
        float* g = s.plane(kFirstCandidate + 3 * d + 1);
        float* b = s.plane(kFirstCandidate + 3 * d + 2);
        if (reference) {
            for (int y = 0; y < f.height; ++y)
                for (int x = 0; x < f.width; ++x) DirectionalGreenAt(f, s, d, y, x, g);
        } else {
            DirectionalGreen(f, s, d, g);
        }
        ColourFromGreen(f, s, g, 0, radius, r, d, margin);
        ColourFromGreen(f, s, g, 2, radius, b, d, margin);
        Variation(f, s, r, g, b, s.plane(kFirstScore + d), margin);
    }
    Variation(f, s, s.plane(kSmoothR), s.plane(kSmoothG), s.plane(kSmoothB),
              s.plane(kFirstScore + 4), margin);
}

// The weight of a candidate whose variation is `ratio` times the least
// (inverted): the master's falls as the 50th power, so that it takes the
// smoothest candidate wherever one stands out; the alternate's as the 4th,
// so that the mix changes gradually from pixel to pixel and never jumps
// between directions, which is what draws a maze.
inline float Weight(float ratio, bool master) {
    const float r2 = ratio * ratio, r4 = r2 * r2;
    if (!master) return r4;
    const float r8 = r4 * r4, r16 = r8 * r8;
    return r16 * r16 * r16 * r2;
}

// Both renderings' blends of the candidates, the plain form: pixel by
// pixel, candidate by candidate.
void BlendCandidatesReference(const Frame& f, TileScratch& s, float* const master[3],
                              float* const alternate[3], int /*margin*/) {
    const float* score[kCandidates];
    for (int d = 0; d < kCandidates; ++d) score[d] = s.plane(kFirstScore + d);
    const float* candidate[kCandidates][3];
    for (int c = 0; c < 3; ++c) {
        for (int d = 0; d < 4; ++d) candidate[d][c] = s.plane(kFirstCandidate + 3 * d + c);
        candidate[4][c] = s.plane(kSmoothR + c);
    }
    const size_t end = f.at(f.height, 0);
    for (int rendering = 0; rendering < 2; ++rendering) {
        const bool isMaster = rendering == 0;
        float* const* out = isMaster ? master : alternate;
        for (size_t i = 0; i < end; ++i) {
            float least = score[0][i];
            for (int d = 1; d < kCandidates; ++d) least = std::min(least, score[d][i]);
            float weights[kCandidates], total = 0;
            for (int d = 0; d < kCandidates; ++d) {
                weights[d] = Weight((least + 1.0f) / (score[d][i] + 1.0f), isMaster);
                total += weights[d];
            }
            float v[3] = {0, 0, 0};
            for (int d = 0; d < kCandidates; ++d)
                for (int c = 0; c < 3; ++c) v[c] += weights[d] * candidate[d][c][i];
            for (int c = 0; c < 3; ++c) out[c][i] = v[c] / total;
        }
    }
}

// The same in one pass for both, each candidate's plane named, so that the
// loop vectorises.
XTRANS_WIDE_LOOPS
void BlendCandidates(const Frame& f, TileScratch& s, float* const master[3],
                     float* const alternate[3], int margin) {
    const float* __restrict s0 = s.plane(kFirstScore);
    const float* __restrict s1 = s.plane(kFirstScore + 1);
    const float* __restrict s2 = s.plane(kFirstScore + 2);
    const float* __restrict s3 = s.plane(kFirstScore + 3);
    const float* __restrict s4 = s.plane(kFirstScore + 4);
    const float* __restrict r0 = s.plane(kFirstCandidate);
    const float* __restrict g0 = s.plane(kFirstCandidate + 1);
    const float* __restrict b0 = s.plane(kFirstCandidate + 2);
    const float* __restrict r1 = s.plane(kFirstCandidate + 3);
    const float* __restrict g1 = s.plane(kFirstCandidate + 4);
    const float* __restrict b1 = s.plane(kFirstCandidate + 5);
    const float* __restrict r2 = s.plane(kFirstCandidate + 6);
    const float* __restrict g2 = s.plane(kFirstCandidate + 7);
    const float* __restrict b2 = s.plane(kFirstCandidate + 8);
    const float* __restrict r3 = s.plane(kFirstCandidate + 9);
    const float* __restrict g3 = s.plane(kFirstCandidate + 10);
    const float* __restrict b3 = s.plane(kFirstCandidate + 11);
    const float* __restrict r4 = s.plane(kSmoothR);
    const float* __restrict g4 = s.plane(kSmoothG);
    const float* __restrict b4 = s.plane(kSmoothB);
    float* __restrict mr = master[0];
    float* __restrict mg = master[1];
    float* __restrict mb = master[2];
    float* __restrict ar = alternate[0];
    float* __restrict ag = alternate[1];
    float* __restrict ab = alternate[2];
    // What the median reads: a row beyond its own.
    const size_t end = f.at(f.endRow(margin, kScoreReach, 0), 0);
    DEMOSAIC_ROW_LOOP
    for (size_t i = f.at(f.first(margin, kScoreReach, 0), 0); i < end; ++i) {
        const float least = platform::MinOf(platform::MinOf(platform::MinOf(s0[i], s1[i]),
                                                            platform::MinOf(s2[i], s3[i])),
                                            s4[i]) +
                            1.0f;
        const float q0 = least / (s0[i] + 1.0f), q1 = least / (s1[i] + 1.0f),
                    q2 = least / (s2[i] + 1.0f), q3 = least / (s3[i] + 1.0f),
                    q4 = least / (s4[i] + 1.0f);
        const float m0 = Weight(q0, true), m1 = Weight(q1, true), m2 = Weight(q2, true),
                    m3 = Weight(q3, true), m4 = Weight(q4, true);
        const float a0 = Weight(q0, false), a1 = Weight(q1, false), a2 = Weight(q2, false),
                    a3 = Weight(q3, false), a4 = Weight(q4, false);
        const float mi = 1.0f / (m0 + m1 + m2 + m3 + m4);
        const float ai = 1.0f / (a0 + a1 + a2 + a3 + a4);
        mr[i] = (m0 * r0[i] + m1 * r1[i] + m2 * r2[i] + m3 * r3[i] + m4 * r4[i]) * mi;
        mg[i] = (m0 * g0[i] + m1 * g1[i] + m2 * g2[i] + m3 * g3[i] + m4 * g4[i]) * mi;
        mb[i] = (m0 * b0[i] + m1 * b1[i] + m2 * b2[i] + m3 * b3[i] + m4 * b4[i]) * mi;
        ar[i] = (a0 * r0[i] + a1 * r1[i] + a2 * r2[i] + a3 * r3[i] + a4 * r4[i]) * ai;
        ag[i] = (a0 * g0[i] + a1 * g1[i] + a2 * g2[i] + a3 * g3[i] + a4 * g4[i]) * ai;
        ab[i] = (a0 * b0[i] + a1 * b1[i] + a2 * b2[i] + a3 * b3[i] + a4 * b4[i]) * ai;
    }
}

// Thin dark lines across the layout's rows and diagonals (mortar, letter
// outlines, spokes at 14 to 71 degrees): at a red or blue site on such a
// line on a saturated ground (blue on yellow says nothing of the line) the
// candidates' greens, three pixels along a row, column or diagonal, step off
// the line onto the ground and the line turns green there. A matched
// detector on the mosaic finds the line: for each of kLineDirections
// directions through or beside the site, the greens within half a pixel of
// the line against those of the two parallel bands either side (the site's
// own colour's where green sees no line, as on red); where one direction is
// clearly darker than both its sides, well beyond the noise, green at the
// site comes from a fit of the greens' profile across the line, blended in
// by that strength.
constexpr int kLineDirections = 16;
// How far along the line each way, and the widest offset across, in pixels.
constexpr int kLineReach = 5;
constexpr float kLineBand = 0.5f;
constexpr float kLineSideNear = 1.5f;
constexpr float kLineSideFar = 2.5f;
// The line's middle is looked for this far to either side of the site too,
// so that a site on a line's edge finds it; on the diagonals also half a
// pixel's diagonal away, where a line one pixel wide may run along greens
// only and no red or blue site lies on it (the pixels' offsets across a
// diagonal are multiples of that, and the band half a pixel away takes in
// the site's own diagonal of ground too).
constexpr int kLineOffsets = 5;
constexpr float kLineOffset[kLineOffsets] = {-0.5f, 0.0f, 0.5f, -0.75f, 0.75f};
constexpr int kLineOffsetsOffDiagonal = 3;
// How many of those offsets direction d tries.
constexpr int LineOffsetsOf(int d) {
    return d % (kLineDirections / 2) == kLineDirections / 4 ? kLineOffsets
                                                            : kLineOffsetsOffDiagonal;
}
// The least step on the square-root tone from both sides of a line down to
// the darkest green beside the site for a line to be looked for: the fast
// form runs the detector only where this holds (DarkLineMayPass).
constexpr float kLinePreGate = 10.0f;
// The line's depth below its sides on the square-root tone, for a first
// share and for all of it; and the noise's weight.
constexpr float kLineDepthLeast = 6.0f;
constexpr float kLineDepthFull = 14.0f;
constexpr float kLineNoiseWeight = 24.0f;
// The same against the sides' tone.
constexpr float kLineContrastLeast = 0.0f;
constexpr float kLineContrastFull = 0.1f;
// How far the range of the site's colour's samples around it stands from
// green's, over green's most, for none of the line to be taken and (twice
// that) for all of it.
constexpr float kLineGrey = 0.2f;
// The widths and the offsets of a line's middle from the site tried by the
// profile's fit.
constexpr int kLineWidths = 11;
constexpr float kLineWidthLeast = 0.5f;
constexpr float kLineWidthStep = 0.25f;
constexpr int kLineShifts = 20;
constexpr float kLineShiftStep = 0.05f;
// The least share of the greens' spread about the ground that the fitted
// line must explain for any of it to be taken, all of it at all.
constexpr float kLineFitLeast = 0.6f;

constexpr int kLineSpan = 2 * kLineReach + 1;
// Where more than kLineBusiest of the (2 r + 1)^2 pixels around a site pass
// the pre-gate, the site lies in fine texture (a knit, a zone plate's rings)
// rather than on a thin line on a ground: the sides the detector compares
// are no ground there, what it gains is little, and on a frame of such
// texture it cost several times the rest of the demosaic. Lines a few
// pixels apart pass at under that.
constexpr int kLineBusyRadius = 4;
constexpr float kLineBusiest = 0.3f;
using LineQuad = float __attribute__((vector_size(16)));

// Each direction's pixels within kLineReach along and kLineSideFar across,
// as indices into the window around the site, by the band they fall in for
// each offset of the line's middle: the line (0) and its two sides (1, 2);
// and the line's pixels well ahead of the site along it and well behind.
// Lists made once, for the plain form.
struct LineBands {
    std::vector<uint8_t> band[kLineOffsets][3];
    std::vector<uint8_t> ahead[kLineOffsets], behind[kLineOffsets];
};

const LineBands& BandsOf(int direction) {
    static const std::vector<LineBands> bands = [] {
        std::vector<LineBands> all(kLineDirections);
        for (int d = 0; d < kLineDirections; ++d) {
            const double angle = M_PI * d / kLineDirections;
            const double ca = std::cos(angle), sa = std::sin(angle);
            for (int dy = -kLineReach; dy <= kLineReach; ++dy)
                for (int dx = -kLineReach; dx <= kLineReach; ++dx) {
                    if (dy == 0 && dx == 0) continue;
                    const double along = dx * ca + dy * sa, across = -dx * sa + dy * ca;
                    if (std::fabs(along) > kLineReach || std::fabs(across) > kLineSideFar + 0.5)
                        continue;
                    const auto at = uint8_t((dy + kLineReach) * kLineSpan + dx + kLineReach);
                    for (int o = 0; o < LineOffsetsOf(d); ++o) {
                        const float off = float(across) - kLineOffset[o], a = std::fabs(off);
                        const int band = a <= kLineBand                            ? 0
                                         : a >= kLineSideNear && a <= kLineSideFar ? (off > 0 ? 1 : 2)
                                                                                   : -1;
                        if (band < 0) continue;
                        LineBands& b = all[size_t(d)];
                        b.band[o][band].push_back(at);
                        if (band == 0 && float(along) >= 1.5f) b.ahead[o].push_back(at);
                        if (band == 0 && float(along) <= -1.5f) b.behind[o].push_back(at);
                    }
                }
        }
        return all;
    }();
    return bands[size_t(direction)];
}

// The same made when compiled, in lists interleaved so that at each step
// one pixel of each band for each offset is summed: the sums run side by
// side rather than one after another, and the window is read at fixed
// places. Each list keeps its order (the tones' sums stay the same to the
// bit); the shorter are padded with the window's empty pixel. The line's
// pixels ahead and behind as bits over the window: only whether any of
// them is green counts.
constexpr int kLineEmpty = kLineSpan * kLineSpan;
constexpr int kLineChains = 3 * kLineOffsets;
// The longest list; more fails to compile.
constexpr int kLineChainMost = 24;
struct LineTable {
    int length[kLineDirections] = {};
    uint8_t at[kLineDirections][kLineChainMost][kLineChains] = {};
    uint64_t ahead[kLineDirections][kLineOffsets][2] = {};
    uint64_t behind[kLineDirections][kLineOffsets][2] = {};
};

constexpr LineTable MakeLineTable() {
    LineTable t;
    for (int d = 0; d < kLineDirections; ++d) {
        const double angle = M_PI * d / kLineDirections;
        const double ca = std::cos(angle), sa = std::sin(angle);
        int n[kLineOffsets][3] = {};
        for (int dy = -kLineReach; dy <= kLineReach; ++dy)
            for (int dx = -kLineReach; dx <= kLineReach; ++dx) {
                if (dy == 0 && dx == 0) continue;
                const double along = dx * ca + dy * sa, across = -dx * sa + dy * ca;
                if ((along < 0 ? -along : along) > kLineReach ||
                    (across < 0 ? -across : across) > kLineSideFar + 0.5)
                    continue;
                const int at = (dy + kLineReach) * kLineSpan + dx + kLineReach;
                const uint64_t bit = uint64_t(1) << (at % 64);
                for (int o = 0; o < LineOffsetsOf(d); ++o) {
                    const float off = float(across) - kLineOffset[o], a = off < 0 ? -off : off;
                    const int band = a <= kLineBand                            ? 0
                                     : a >= kLineSideNear && a <= kLineSideFar ? (off > 0 ? 1 : 2)
                                                                               : -1;
                    if (band < 0) continue;
                    t.at[d][n[o][band]++][3 * o + band] = uint8_t(at);
                    if (band == 0 && float(along) >= 1.5f) t.ahead[d][o][at / 64] |= bit;
                    if (band == 0 && float(along) <= -1.5f) t.behind[d][o][at / 64] |= bit;
                }
            }
        for (int o = 0; o < kLineOffsets; ++o)
            for (int b = 0; b < 3; ++b) {
                t.length[d] = t.length[d] > n[o][b] ? t.length[d] : n[o][b];
                for (int k = n[o][b]; k < kLineChainMost; ++k)
                    t.at[d][k][3 * o + b] = uint8_t(kLineEmpty);
            }
    }
    return t;
}
constexpr LineTable kLineTable = MakeLineTable();

// One direction's band sums over the window: the line's brightest (from
// most's start) and each band's sums, for each offset; held in registers,
// every step's pixels fixed when compiled and the padding left out.
template <int D, int K>
[[gnu::always_inline]] inline void LineBandStep(const LineQuad* window,
                                                LineQuad (&most)[kLineOffsets],
                                                LineQuad (&band)[kLineOffsets][3]) {
    static_assert(kLineOffsets == 5);
#define XTRANS_LINE_STEP(o)                                                            \
    {                                                                                  \
        constexpr int on = kLineTable.at[D][K][3 * o], one = kLineTable.at[D][K][3 * o + 1], \
                      two = kLineTable.at[D][K][3 * o + 2];                            \
        if constexpr (on != kLineEmpty) {                                              \
            most[o] = most[o] > window[on] ? most[o] : window[on];                     \
            band[o][0] += window[on];                                                  \
        }                                                                              \
        if constexpr (one != kLineEmpty) band[o][1] += window[one];                    \
        if constexpr (two != kLineEmpty) band[o][2] += window[two];                    \
    }
    XTRANS_LINE_STEP(0)
    XTRANS_LINE_STEP(1)
    XTRANS_LINE_STEP(2)
    XTRANS_LINE_STEP(3)
    XTRANS_LINE_STEP(4)
#undef XTRANS_LINE_STEP
}

// One direction's depth below its sides and their tone, by green and by the
// site's own colour (see DarkLineAt).
struct LineScore {
    float score = -kAboveWhite, level = 0, ownScore = -kAboveWhite, ownLevel = 0;
};

template <int D, int... K>
LineScore LineDirection(const LineQuad* window, const uint64_t* greens, float site,
                        std::integer_sequence<int, K...>) {
    // The line's brightest green (0 at least) and of the site's colour (its
    // own tone at least), the sides' sums; the other colours' pixels add
    // nothing.
    LineQuad most[kLineOffsets], band[kLineOffsets][3] = {};
    for (int o = 0; o < kLineOffsets; ++o) most[o] = LineQuad{0.0f, 0.0f, site, 0.0f};
    (LineBandStep<D, K>(window, most, band), ...);
    // The brightest of the band against the darker side's mean: a line
    // crossing the band, or ending in it, leaves some of it light. Greens
    // in the band both ahead and behind the site, so that a line ending at
    // it (a corner, a line beside it crossing the band) is not taken.
    LineScore line;
    for (int o = 0; o < kLineOffsets; ++o) {
        const uint64_t* ahead = kLineTable.ahead[D][o];
        const uint64_t* behind = kLineTable.behind[D][o];
        const LineQuad one = band[o][1], two = band[o][2];
        // Green's and the site's colour's sums on each side, and counts.
        const LineQuad sums = __builtin_shufflevector(one, two, 0, 2, 4, 6);
        const LineQuad counts = __builtin_shufflevector(one, two, 1, 3, 5, 7);
        if ((((greens[0] & ahead[0]) | (greens[1] & ahead[1])) == 0) |
            (((greens[0] & behind[0]) | (greens[1] & behind[1])) == 0) | (counts[0] < 2.0f) |
            (counts[2] < 2.0f))
            continue;
        const LineQuad mean = sums / counts;
        const float sides = platform::MinOf(mean[0], mean[2]);
        if (sides - most[o][0] > line.score) line.score = sides - most[o][0], line.level = sides;
        // The site's colour only where green is alike on both sides (an
        // edge between colours has green on one side only), with two of
        // its samples on each.
        const float flat = std::fabs(mean[0] - mean[2]);
        const float ownSides = platform::MinOf(mean[1], mean[3]);
        if (counts[1] > 1.0f && counts[3] > 1.0f && flat <= kLineDepthLeast &&
            ownSides - most[o][2] > line.ownScore)
            line.ownScore = ownSides - most[o][2], line.ownLevel = ownSides;
    }
    return line;
}

template <int D>
LineScore LineDirectionOf(const LineQuad* window, const uint64_t* greens, float site) {
    return LineDirection<D>(window, greens, site,
                            std::make_integer_sequence<int, kLineTable.length[D]>());
}

using LineDirectionFn = LineScore (*)(const LineQuad*, const uint64_t*, float);
template <int... D>
constexpr std::array<LineDirectionFn, sizeof...(D)> MakeLineDirections(
    std::integer_sequence<int, D...>) {
    return {&LineDirectionOf<D>...};
}
constexpr auto kLineDirectionOf =
    MakeLineDirections(std::make_integer_sequence<int, kLineDirections>());

// The same, plainly: each list summed in turn.
LineScore LineDirectionPlain(int d, const LineQuad* window, float site) {
    const LineBands& bands = BandsOf(d);
    LineScore line;
    for (int o = 0; o < kLineOffsets; ++o) {
        LineQuad most{0.0f, 0.0f, site, 0.0f}, one{}, two{}, after{}, before{};
        for (const uint8_t at : bands.band[o][0]) most = most > window[at] ? most : window[at];
        for (const uint8_t at : bands.band[o][1]) one += window[at];
        for (const uint8_t at : bands.band[o][2]) two += window[at];
        for (const uint8_t at : bands.ahead[o]) after += window[at];
        for (const uint8_t at : bands.behind[o]) before += window[at];
        if (after[1] == 0 || before[1] == 0 || one[1] < 2 || two[1] < 2) continue;
        const float sides = platform::MinOf(one[0] / one[1], two[0] / two[1]);
        if (sides - most[0] > line.score) line.score = sides - most[0], line.level = sides;
        const float flat = std::fabs(one[0] / one[1] - two[0] / two[1]);
        const float ownSides = platform::MinOf(one[2] / one[3], two[2] / two[3]);
        if (one[3] > 1 && two[3] > 1 && flat <= kLineDepthLeast &&
            ownSides - most[2] > line.ownScore)
            line.ownScore = ownSides - most[2], line.ownLevel = ownSides;
    }
    return line;
}

// Whether the detector may find a line through red or blue site i (kind:
// the colours as floats; smooth: the smooth rendering's green; the ranges
// of green's samples in the 3 x 3 and of red's and blue's most in the 5 x 5
// around each pixel): the darkest green beside it kLinePreGate below the
// duller of two opposite pixels two steps away, in the brighter pair, on
// the smooth rendering (the two sides of a line across the site are both
// bright); or, where the greens beside it are alike (a red ground, green
// dark on and off a line), its own colour's sample that far below the
// brightest of its colour around it. Both forms take it, so that they
// agree.
struct LinePreGate {
    const float* m;
    // The mosaic's samples on the square-root tone, for the detector: made
    // only where it runs (LineTones).
    const float* tone;
    const float* kind;
    const float* smooth;
    const float* greenLo;
    const float* greenHi;
    const float* redHi;
    const float* blueHi;
};

// The brighter of the pairs of opposite pixels two steps from i, each pair
// by its duller.
[[gnu::always_inline]] inline float BrighterSides(const float* smooth, size_t i, ptrdiff_t row) {
    float sides = 0;
#define XTRANS_LINE_PAIR(dy, dx)                                                          \
    sides = platform::MaxOf(sides, platform::MinOf(smooth[i + size_t((dy) * row + (dx))], \
                                                   smooth[i - size_t((dy) * row + (dx))]))
    XTRANS_LINE_PAIR(0, 2);
    XTRANS_LINE_PAIR(2, 0);
    XTRANS_LINE_PAIR(2, 2);
    XTRANS_LINE_PAIR(2, -2);
    XTRANS_LINE_PAIR(1, 2);
    XTRANS_LINE_PAIR(2, 1);
    XTRANS_LINE_PAIR(2, -1);
    XTRANS_LINE_PAIR(1, -2);
#undef XTRANS_LINE_PAIR
    return sides;
}

[[gnu::always_inline]] inline bool DarkLineMayPass(float sides, float greenLo, float greenHi,
                                                  float ownMost, float own, float kind) {
    const float least = Tone(greenLo);
    const bool line = Tone(sides) - least > kLinePreGate;
    // Bitwise, so that the row's loop has no branch.
    const bool alone = (Tone(greenHi) - least <= kLineDepthLeast) &
                       (Tone(ownMost) - Tone(own) > kLinePreGate);
    return (kind != float(kGreen)) & (line | alone);
}

// The pre-gate's planes, in planes spent by the blend.
LinePreGate MakeLinePreGate(const Frame& f, TileScratch& s, int margin) {
    float* lo = s.plane(kFirstCandidate);
    constexpr int reach = kScoreReach + kLineBusyRadius;
    SampleRange<1>(f, s, kGreen, lo, s.plane(kFirstCandidate + 1), margin, reach);
    SampleRange<2>(f, s, 0, s.plane(kFirstCandidate + 2), s.plane(kFirstCandidate + 3), margin,
                   reach);
    SampleRange<2>(f, s, 2, s.plane(kFirstCandidate + 4), s.plane(kFirstCandidate + 5), margin,
                   reach);
    // After the ranges, whose scratch this plane is.
    float* kind = s.plane(kNumerator);
    const uint8_t* colour = s.colour();
    const size_t end = f.at(f.height, 0);
    DEMOSAIC_ROW_LOOP
    for (size_t i = 0; i < end; ++i) kind[i] = float(colour[i]);
    return {s.plane(kMosaic), nullptr, kind, s.plane(kSmoothG), lo, s.plane(kFirstCandidate + 1),
            s.plane(kFirstCandidate + 3), s.plane(kFirstCandidate + 5)};
}

// The pre-gate's tone plane, in a candidate's plane spent by the blend.
void LineTones(const Frame& f, TileScratch& s, LinePreGate& gate) {
    float* tone = s.plane(kFirstCandidate + 6);
    const size_t end = f.at(f.height, 0);
    DEMOSAIC_ROW_LOOP
    for (size_t i = 0; i < end; ++i) tone[i] = Tone(gate.m[i]);
    gate.tone = tone;
}

struct LineFound {
    float strength = 0;
    float green = 0;
    // Green beside the line and on it where it covers a whole pixel, and
    // red and blue beside it: for red and blue on the line's pixels around
    // the site.
    float ground = 0;
    float dark = 0;
    float sides[3] = {};
    // The line's direction, its middle's offset across from the site and
    // its width, as fitted.
    float along[2] = {};
    float middle = 0, width = 0;
    // Seen far more deeply by the site's own colour than by green (a dark
    // line on red): each colour's ground beside the line and its value on
    // it, by the shape fitted to that colour's samples and green's.
    bool own = false;
    float grounds[3] = {}, lines[3] = {};
};

// A site where a line was found, for taking it again after the later passes.
struct LineSite {
    size_t at;
    LineFound line;
};

// The greens across a line found: their offsets from the site across it and
// samples, the ground beside it and the darkest green within half a pixel.
struct LineProfile {
    static constexpr int kMost = 4 * (2 * kLineReach + 1);
    float offset[kMost];
    float value[kMost];
    int count = 0;
    float ground = 0;
    float darkest = kAboveWhite;
};

// Green at the site from a line of width w and depth A on the ground, its
// middle t0 across from the site, as each pixel's box sees it: the least
// squares' A for each w and t0 on a grid, the pair that fits best. The mean
// along the line stays far too light (the greens beside a line one pixel
// wide are mixed with the ground by their offset), and its darkest green
// too dark at a site on the line's edge.
// How much of a pixel d across from a line's middle a line w wide covers.
[[gnu::always_inline]] inline float LineCover(float d, float w) {
    return platform::MaxOf(0.0f, platform::MinOf(d + 0.5f, 0.5f * w) -
                                     platform::MaxOf(d - 0.5f, -0.5f * w));
}

struct LineShape {
    float middle = 0, width = 0;
};

// The plain form: each shift and width in turn.
float FitLineProfilePlain(const LineProfile& p, float& fit, float& deepest, LineShape& shape) {
    const auto cover = [](float d, float w) { return LineCover(d, w); };
    float best = 0, green = p.ground, total = 0;
    deepest = 0;
    for (int k = 0; k < p.count; ++k) total += (p.ground - p.value[k]) * (p.ground - p.value[k]);
    // The shifts side by side, each summed over the greens in their order,
    // so that the sums vectorise across the shifts.
    constexpr int kShifts = 2 * kLineShifts + 1;
    float shift[kShifts];
    for (int ti = 0; ti < kShifts; ++ti) shift[ti] = kLineShiftStep * float(ti - kLineShifts);
    for (int wi = 0; wi < kLineWidths; ++wi) {
        const float w = kLineWidthLeast + kLineWidthStep * float(wi);
        // The residual falls by cv^2 / cc from the ground's alone.
        float cc[kShifts] = {}, cv[kShifts] = {};
        for (int k = 0; k < p.count; ++k) {
            const float offset = p.offset[k], step = p.ground - p.value[k];
            DEMOSAIC_ROW_LOOP
            for (int ti = 0; ti < kShifts; ++ti) {
                const float c = cover(offset - shift[ti], w);
                cc[ti] += c * c;
                cv[ti] += c * step;
            }
        }
        for (int ti = 0; ti < kShifts; ++ti) {
            if (cc[ti] <= 0 || cv[ti] <= 0) continue;
            // No line darker than black: the depth held to the ground, and
            // the residual's fall with it.
            const float depth = platform::MinOf(cv[ti] / cc[ti], p.ground);
            const float gain = 2.0f * depth * cv[ti] - depth * depth * cc[ti];
            if (gain > best)
                best = gain, green = p.ground - depth * cover(-shift[ti], w), deepest = depth,
                shape = {shift[ti], w};
        }
    }
    // How much of the greens' spread about the ground the line explains:
    // where little, something else (texture, a corner) stands there.
    fit = total > 0 ? best / total : 0.0f;
    return green;
}

// The profile's fit with the shifts side by side in blocks of eight held in
// registers, each summed over the samples in their order: the same sums as
// one shift after another.
constexpr int kLineShiftCount = 2 * kLineShifts + 1;
constexpr int kLineLanes = 8;
constexpr int kLineBlocks = (kLineShiftCount + kLineLanes - 1) / kLineLanes;
using LineLanes = float __attribute__((vector_size(4 * kLineLanes)));

struct LineShifts {
    LineLanes shift[kLineBlocks], valid[kLineBlocks];
    LineShifts() {
        for (int ti = 0; ti < kLineBlocks * kLineLanes; ++ti) {
            shift[ti / kLineLanes][ti % kLineLanes] = kLineShiftStep * float(ti - kLineShifts);
            valid[ti / kLineLanes][ti % kLineLanes] = ti < kLineShiftCount ? 1.0f : 0.0f;
        }
    }
};

// Each sample's pixel's edges from the line's middle at each shift, the
// same for every width, and its step below the ground.
struct LineEdges {
    LineLanes above[LineProfile::kMost][kLineBlocks], below[LineProfile::kMost][kLineBlocks];
    float step[LineProfile::kMost];
    int count;
    [[gnu::always_inline]] LineEdges(const LineProfile& p, const LineShifts& s) : count(p.count) {
        for (int k = 0; k < p.count; ++k) {
            for (int b = 0; b < kLineBlocks; ++b) {
                const LineLanes d = p.offset[k] - s.shift[b];
                above[k][b] = d + 0.5f;
                below[k][b] = d - 0.5f;
            }
            step[k] = p.ground - p.value[k];
        }
    }
    // The sums of the cover's square and of the cover by the step, for a
    // line w wide at each shift.
    [[gnu::always_inline]] void Sums(float w, LineLanes (&cc)[kLineBlocks],
                                     LineLanes (&cv)[kLineBlocks]) const {
        const float half = 0.5f * w;
        for (int b = 0; b < kLineBlocks; ++b) cc[b] = LineLanes{}, cv[b] = LineLanes{};
        for (int k = 0; k < count; ++k) {
#pragma GCC unroll 8
            for (int b = 0; b < kLineBlocks; ++b) {
                const LineLanes hi = above[k][b] < half ? above[k][b] : half;
                const LineLanes lo = below[k][b] > -half ? below[k][b] : -half;
                const LineLanes span = hi - lo;
                const LineLanes c = span > 0.0f ? span : 0.0f;
                cc[b] += c * c;
                cv[b] += c * step[k];
            }
        }
    }
};

// A profile's sums for every width, kept by its fit for the fit of two
// colours together, which would sum green's again.
struct LineWidthSums {
    LineLanes cc[kLineWidths][kLineBlocks], cv[kLineWidths][kLineBlocks];
};

XTRANS_WIDE_LOOPS
float FitLineProfile(const LineProfile& p, float& fit, float& deepest, LineShape& shape,
                            LineWidthSums* keep) {
    float best = 0, green = p.ground, total = 0;
    deepest = 0;
    for (int k = 0; k < p.count; ++k) total += (p.ground - p.value[k]) * (p.ground - p.value[k]);
    static const LineShifts shifts;
    const LineEdges edges(p, shifts);
    LineLanes gains[kLineBlocks] = {}, depths[kLineBlocks] = {}, widths[kLineBlocks] = {};
    for (int wi = 0; wi < kLineWidths; ++wi) {
        // The residual falls by cv^2 / cc from the ground's alone.
        LineLanes cc[kLineBlocks], cv[kLineBlocks];
        edges.Sums(kLineWidthLeast + kLineWidthStep * float(wi), cc, cv);
        if (keep)
            for (int b = 0; b < kLineBlocks; ++b) keep->cc[wi][b] = cc[b], keep->cv[wi][b] = cv[b];
        // Each shift's best gain over the widths so far, and the first width
        // that gave it; the padding lanes never gain.
        for (int b = 0; b < kLineBlocks; ++b) {
            // No line darker than black: the depth held to the ground, and
            // the residual's fall with it.
            const LineLanes q = cv[b] / cc[b];
            const LineLanes depth = p.ground < q ? p.ground : q;
            const LineLanes gain = 2.0f * depth * cv[b] - depth * depth * cc[b];
            const auto take = (cc[b] > 0.0f) & (cv[b] > 0.0f) & (gain > gains[b]) &
                              (shifts.valid[b] > 0.0f);
            gains[b] = take ? gain : gains[b];
            depths[b] = take ? depth : depths[b];
            widths[b] = take ? float(wi) : widths[b];
        }
    }
    // The first shift and width in the widths' order with the greatest gain,
    // as a search over them one by one would keep.
    int at = -1;
    constexpr int kL = kLineLanes;
    for (int ti = 0; ti < kLineShiftCount; ++ti) {
        const float gain = gains[ti / kL][ti % kL];
        if (gain <= 0) continue;
        if (at < 0 || gain > best ||
            (gain == best && widths[ti / kL][ti % kL] < widths[at / kL][at % kL]))
            best = gain, at = ti;
    }
    if (at >= 0) {
        const float shiftAt = kLineShiftStep * float(at - kLineShifts);
        const float w = kLineWidthLeast + kLineWidthStep * float(int(widths[at / kL][at % kL]));
        deepest = depths[at / kL][at % kL];
        green = p.ground - deepest * LineCover(-shiftAt, w);
        shape = {shiftAt, w};
    }
    // How much of the greens' spread about the ground the line explains:
    // where little, something else (texture, a corner) stands there.
    fit = total > 0 ? best / total : 0.0f;
    return green;
}

// How deep a line `depth` below sides of tone `level` is on the square-root
// tone, and against its sides: a line's contrast, not fine texture's.
[[gnu::always_inline]] inline float LineDeep(float depth, float level) {
    const float relative = depth / platform::MaxOf(level, 1.0f);
    return std::clamp((depth - kLineDepthLeast) / (kLineDepthFull - kLineDepthLeast), 0.0f, 1.0f) *
           std::clamp((relative - kLineContrastLeast) / (kLineContrastFull - kLineContrastLeast),
                      0.0f, 1.0f);
}

// The shape that fits two colours' profiles across a line best together,
// each by the share of its spread about its ground it explains (a few
// samples of one colour leave the width loose); the second's share and
// depth at that shape. The first's sums by width where its own fit kept them.
XTRANS_WIDE_LOOPS
void FitLineProfiles(const LineProfile& a, const LineWidthSums* aSums, const LineProfile& b,
                     float& fit, float& deepest, LineShape& shape) {
    static const LineShifts shifts;
    float totals[2] = {};
    const LineProfile* profiles[2] = {&a, &b};
    for (int n = 0; n < 2; ++n)
        for (int k = 0; k < profiles[n]->count; ++k) {
            const float step = profiles[n]->ground - profiles[n]->value[k];
            totals[n] += step * step;
        }
    // The first's pixels' edges only where its sums were not kept.
    std::optional<LineEdges> edgesA;
    if (!aSums) edgesA.emplace(a, shifts);
    const LineEdges edgesB(b, shifts);
    float best = 0;
    fit = 0, deepest = 0;
    constexpr int kL = kLineLanes;
    for (int wi = 0; wi < kLineWidths; ++wi) {
        const float w = kLineWidthLeast + kLineWidthStep * float(wi);
        LineLanes score[kLineBlocks] = {}, gainB[kLineBlocks] = {}, depthB[kLineBlocks] = {};
        for (int n = 0; n < 2; ++n) {
            if (!(totals[n] > 0)) continue;
            const float ground = profiles[n]->ground;
            LineLanes cc[kLineBlocks], cv[kLineBlocks];
            if (n == 1)
                edgesB.Sums(w, cc, cv);
            else if (aSums)
                for (int k = 0; k < kLineBlocks; ++k) cc[k] = aSums->cc[wi][k], cv[k] = aSums->cv[wi][k];
            else
                edgesA->Sums(w, cc, cv);
            for (int k = 0; k < kLineBlocks; ++k) {
                const LineLanes q = cv[k] / cc[k];
                const LineLanes depth = ground < q ? ground : q;
                const LineLanes gain = 2.0f * depth * cv[k] - depth * depth * cc[k];
                const auto take = (cc[k] > 0.0f) & (cv[k] > 0.0f);
                const LineLanes share = gain / totals[n];
                score[k] += take ? share : 0.0f;
                if (n == 1) gainB[k] = take ? share : 0.0f, depthB[k] = take ? depth : 0.0f;
            }
        }
        for (int ti = 0; ti < kLineShiftCount; ++ti)
            if (score[ti / kL][ti % kL] > best)
                best = score[ti / kL][ti % kL], fit = gainB[ti / kL][ti % kL],
                deepest = depthB[ti / kL][ti % kL], shape = {shifts.shift[ti / kL][ti % kL], w};
    }
}

// A line seen more deeply by the site's own colour than by green (a dark
// line on red, where green is dark on and off it): that colour's value on
// the line as fitted (ownLine), each other's the least squares' fit of its
// samples across it by the cover of the line's shape, held towards the
// darkening `ratio` where they are few; never lighter than its ground.
constexpr float kOwnLinePrior = 0.5f;
// How much darker against its ground the site's colour must be than green.
constexpr float kLineOwnDeeper = 0.5f;
// How much brighter the ground must be in the site's colour than in green.
constexpr float kLineOwnGround = 8.0f;

struct LineColours {
    const LineProfile* profile[3];
    float ground[3];
};

LineFound OwnLine(const LineColours& colours, LineShape shape, int own, float ownLine, float ratio,
                  float strength, float ca, float sa) {
    LineFound line;
    line.own = true;
    line.strength = strength;
    line.along[0] = ca, line.along[1] = sa;
    line.middle = shape.middle, line.width = shape.width;
    for (int k = 0; k < 3; ++k) {
        const LineProfile& q = *colours.profile[k];
        const float ground = colours.ground[k];
        float sum = 0, squares = 0;
        for (int n = 0; n < q.count; ++n) {
            const float on = LineCover(q.offset[n] - shape.middle, shape.width);
            sum += on * (q.value[n] - ground * (1.0f - on));
            squares += on * on;
        }
        line.grounds[k] = ground;
        line.lines[k] = std::clamp(
            (sum + kOwnLinePrior * ground * ratio) / (squares + kOwnLinePrior), 0.0f, ground);
    }
    line.lines[own] = ownLine;
    line.ground = line.grounds[kGreen];
    line.dark = line.lines[kGreen];
    line.green = line.ground + LineCover(-shape.middle, shape.width) * (line.dark - line.ground);
    for (int k = 0; k < 3; ++k) line.sides[k] = k == kGreen ? 0.0f : line.grounds[k];
    return line;
}

// The detector at one red or blue site (see above); plain, with the lists
// summed one after another and the fit's grid searched one by one, for the
// plain form to check the fast one against.
LineFound DarkLineAt(const Frame& f, const float* m, const float* tones, const uint8_t* colour,
                     size_t i, bool plain) {
    // Each direction's depth and the tone of its sides.
    float score[kLineDirections], ownScore[kLineDirections];
    float level[kLineDirections], ownLevel[kLineDirections];
    // The window's tones and colours, once for every direction.
    // At each pixel of the window, four lanes summed or maxed together:
    // green's tone and 1 at green's pixels, the site's colour's tone and 1
    // at its pixels; 0 at the others'.
    LineQuad window[kLineSpan * kLineSpan + 1];
    uint64_t greens[2] = {};
    window[kLineEmpty] = LineQuad{};
    // The range of green's and of the site's colour's samples in it.
    float greenLeast = kAboveWhite, greenMost = 0, ownLeast = m[i], ownMost = m[i];
    for (int dy = -kLineReach; dy <= kLineReach; ++dy)
        for (int dx = -kLineReach; dx <= kLineReach; ++dx) {
            const size_t j = i + size_t(ptrdiff_t(dy) * f.stride + dx);
            const int at = (dy + kLineReach) * kLineSpan + dx + kLineReach;
            const float tone = tones[j];
            const float isGreen = colour[j] == kGreen ? 1.0f : 0.0f;
            const float isOwn = colour[j] == colour[i] ? 1.0f : 0.0f;
            window[at] = LineQuad{isGreen * tone, isGreen, isOwn * tone, isOwn};
            greens[at / 64] |= uint64_t(colour[j] == kGreen ? 1 : 0) << (at % 64);
            if (colour[j] == kGreen) greenLeast = platform::MinOf(greenLeast, m[j]);
            if (colour[j] == kGreen) greenMost = platform::MaxOf(greenMost, m[j]);
            if (colour[j] == colour[i]) ownLeast = platform::MinOf(ownLeast, m[j]);
            if (colour[j] == colour[i]) ownMost = platform::MaxOf(ownMost, m[j]);
        }
    // Near grey by the samples' ranges the site's own sample shows the line
    // as green would, and the later passes take it; a line found there is
    // as often a zone plate's ring seen through aliased samples.
    const float apart =
        platform::MaxOf(std::fabs(ownLeast - greenLeast), std::fabs(ownMost - greenMost)) /
        platform::MaxOf(greenMost, 256.0f);
    const float coloured = std::clamp((apart - kLineGrey) / kLineGrey, 0.0f, 1.0f);
    if (coloured <= 0) return {};
    // For each offset of the line's middle from the site, the band along
    // the line and its two sides; the same over the site's own colour (the
    // site itself in the band): on a red ground green barely sees a dark
    // line, red does.
    const float site = tones[i];
    for (int d = 0; d < kLineDirections; ++d) {
        const LineScore line = plain ? LineDirectionPlain(d, window, site)
                                     : kLineDirectionOf[size_t(d)](window, greens, site);
        score[d] = line.score, level[d] = line.level;
        ownScore[d] = line.ownScore, ownLevel[d] = line.ownLevel;
    }
    // Green finds the line where it sees it; else the site's own colour.
    float most = -kAboveWhite;
    for (int d = 0; d < kLineDirections; ++d) most = platform::MaxOf(most, score[d]);
    const bool byGreen = most > kLineDepthLeast;
    if (!byGreen) {
        std::copy(ownScore, ownScore + kLineDirections, score);
        std::copy(ownLevel, ownLevel + kLineDirections, level);
    }
    int best = 0;
    for (int d = 1; d < kLineDirections; ++d)
        if (score[d] > score[best]) best = d;
    const float depth = score[best];
    if (depth <= kLineDepthLeast) return {};
    // One direction clearly best: the one across it shows no line (a dot
    // or a blob is dark every way).
    const float across = platform::MaxOf(score[(best + kLineDirections / 2) % kLineDirections], 0.0f);
    const float clear = std::clamp(1.0f - 2.0f * across / depth, 0.0f, 1.0f);
    // Deep on the square-root tone, and against its sides: a line's
    // contrast, not fine texture's.
    const float strength =
        clear * LineDeep(depth, level[best]) * BeyondNoise(depth, kLineNoiseWeight * f.noise);
    if (strength <= 0) return {};
    // The direction between the best and its neighbours where a parabola
    // through their scores peaks.
    const float lo = score[(best + kLineDirections - 1) % kLineDirections],
                hi = score[(best + 1) % kLineDirections];
    const float bend = lo - 2.0f * depth + hi;
    const float shift = bend < 0 ? std::clamp(0.5f * (lo - hi) / bend, -0.5f, 0.5f) : 0.0f;
    const double angle = M_PI * (best + shift) / kLineDirections;
    const float ca = float(std::cos(angle)), sa = float(std::sin(angle));
    // Across that direction: the greens near the line with their offsets,
    // green's mean on the two sides (the ground), the darkest green and the
    // site's own colour's darkest sample in the band (the line), and its
    // mean on the sides.
    LineProfile p, ownProfile, thirdProfile;
    const int third = 2 - colour[i];
    // The other colours' profiles only where the ground may be far brighter
    // in the site's colour than in green (see below).
    const bool mayOwn = ownMost > kLineOwnGround * greenLeast;
    ownProfile.offset[0] = 0, ownProfile.value[0] = m[i], ownProfile.count = 1;
    float ownDarkest = m[i], ownGround = 0;
    int grounds = 0, ownGrounds = 0;
    float sides[3] = {};
    int sideCount[3] = {};
    for (int dy = -kLineReach; dy <= kLineReach; ++dy)
        for (int dx = -kLineReach; dx <= kLineReach; ++dx) {
            const size_t j = i + size_t(ptrdiff_t(dy) * f.stride + dx);
            const bool green = colour[j] == kGreen, own = colour[j] == colour[i];
            if (dy == 0 && dx == 0) continue;
            const float along = float(dx) * ca + float(dy) * sa,
                        off = -float(dx) * sa + float(dy) * ca, a = std::fabs(off);
            if (std::fabs(along) > float(kLineReach)) continue;
            const bool band = a <= kLineBand, side = a >= kLineSideNear && a <= kLineSideFar;
            if (green && a <= kLineSideNear && p.count < LineProfile::kMost)
                p.offset[p.count] = off, p.value[p.count] = m[j], p.count++;
            if (green && band) p.darkest = platform::MinOf(p.darkest, m[j]);
            if (green && side) p.ground += m[j], grounds++;
            if (mayOwn && !green && a <= kLineSideNear) {
                LineProfile& q = own ? ownProfile : thirdProfile;
                if (q.count < LineProfile::kMost)
                    q.offset[q.count] = off, q.value[q.count] = m[j], q.count++;
            }
            if (own && band) ownDarkest = platform::MinOf(ownDarkest, m[j]);
            if (own && side) ownGround += m[j], ownGrounds++;
            if (!green && side) sides[colour[j]] += m[j], sideCount[colour[j]]++;
        }
    if (p.darkest >= kAboveWhite || grounds == 0 || ownGrounds == 0 || p.count < 3) return {};
    p.ground /= float(grounds);
    ownGround /= float(ownGrounds);
    float fit = 0, deepest = 0;
    LineShape shape;
    // Green's sums by width kept for the fit with the site's own colour's
    // below, where that may follow.
    LineWidthSums greenSums;
    float green = plain ? FitLineProfilePlain(p, fit, deepest, shape)
                        : FitLineProfile(p, fit, deepest, shape, &greenSums);
    // (Found by the site's own colour, green is flat and fits no line.)
    const float explained =
        byGreen ? std::clamp((fit - kLineFitLeast) / (1.0f - kLineFitLeast), 0.0f, 1.0f) : 1.0f;
    // On a ground far brighter in the site's own colour than in green (a
    // dark line on red; on yellow green sees the line as well as red does),
    // where that colour sees the line far more deeply than green: every
    // colour by the shape fitted to that colour's samples across the line
    // and green's together (green's depth alone is held to its dark ground
    // there, which leaves the width loose; the own colour's few samples
    // leave it loose too).
    const int c = colour[i];
    const float thirdGround = sideCount[third] ? sides[third] / float(sideCount[third]) : -1.0f;
    if (p.ground > 0 && thirdGround >= 0 && ownGround > kLineOwnGround * p.ground) {
        ownProfile.ground = ownGround;
        float ownFit = 0, ownDeepest = 0;
        LineShape ownShape;
        FitLineProfiles(p, plain ? nullptr : &greenSums, ownProfile, ownFit, ownDeepest,
                        ownShape);
        const float ownSure =
            std::clamp((ownFit - kLineFitLeast) / (1.0f - kLineFitLeast), 0.0f, 1.0f);
        // As sure as that colour's fitted depth says: green sees a line
        // astride two pixels faintly.
        const float ownDepth = Tone(ownGround) - Tone(ownGround - ownDeepest);
        const float ownStrength = clear * LineDeep(ownDepth, Tone(ownGround)) *
                                  BeyondNoise(ownDepth, kLineNoiseWeight * f.noise);
        LineColours colours{};
        colours.profile[kGreen] = &p, colours.profile[c] = &ownProfile,
        colours.profile[third] = &thirdProfile;
        colours.ground[kGreen] = p.ground, colours.ground[c] = ownGround,
        colours.ground[third] = thirdGround;
        // Green's darkening where it sees the line at all.
        const float ratio = 1.0f - platform::MaxOf(deepest, 0.0f) / p.ground;
        // The line's own colour by its fit; the others held towards green's
        // darkening, or where green sees none, towards the own colour's.
        const float ownLine = ownGround - ownDeepest;
        if (ownDeepest > 0 && ownSure > 0 && ownLine < kLineOwnDeeper * ratio * ownGround)
            return OwnLine(colours, ownShape, c, ownLine, byGreen ? ratio : ownLine / ownGround,
                           platform::MaxOf(strength, ownStrength) * coloured * ownSure, ca, sa);
    }
    // Where the site's own colour sees the line, how much of the site it
    // covers from its sample between its colour's ground and darkest along
    // the line: half way to that where darker (the profile's fit misses the
    // bottom of a line wider than the greens' spacing across it).
    if (Tone(ownGround) - Tone(ownDarkest) > kLineDepthLeast) {
        const float cover = std::clamp((ownGround - m[i]) / (ownGround - ownDarkest), 0.0f, 1.0f);
        const float owns = p.ground - cover * platform::MaxOf(p.ground - p.darkest, 0.0f);
        green = 0.5f * (green + platform::MinOf(green, owns));
    }
    return {strength * coloured * explained,
            green,
            p.ground,
            p.ground - deepest,
            // (None beside it: the colour is not taken from here.)
            {sideCount[0] ? sides[0] / float(sideCount[0]) : -1.0f, 0.0f,
             sideCount[2] ? sides[2] / float(sideCount[2]) : -1.0f},
            {ca, sa},
            shape.middle,
            shape.width};
}

// Green at the sites found taken towards the line's, red and blue where not
// sampled in proportion; only ever darker. Once after the blend, so that the
// later passes build on it, and again after them: at a red site the guided
// average draws green to the site's own sample at a fine line, which on a
// saturated ground stands far from green.
void TakeDarkLines(const std::vector<LineSite>& sites, const uint8_t* colour,
                   float* const out[3]) {
    for (const LineSite& site : sites) {
        const size_t i = site.at;
        const float g = out[kGreen][i];
        if (!(site.line.green < g)) continue;
        const float green = g + site.line.strength * (site.line.green - g);
        const float ratio = green / platform::MaxOf(g, 1.0f);
        out[kGreen][i] = green;
        if (colour[i] != 0) out[0][i] *= ratio;
        if (colour[i] != 2) out[2][i] *= ratio;
    }
}

// Red and blue on a line's pixels around the sites found: interpolated
// from the ground's samples beside a line one pixel wide, they stay near
// the ground's and the line's green sites and the other colour's sites on
// it turn red or purple on yellow. Each pixel the fitted line crosses is
// taken as the ground and the line mixed by its green: the line's own red
// (blue) is the least squares' fit of the red (blue) sites found there to
// that mixture by their fitted covers, held towards green's darkening; the
// ground's is their colour's mean beside the line. Only ever darker, as
// the greens, and no darker against the ground than green.
constexpr int kLineColourReach = 4;
// The least sum of the squared covers of a colour's sites found near a
// pixel for their fit to be taken.
constexpr float kLineColourCover = 0.15f;
// The same where the fit leaves the pixel lighter than green's darkening
// would: the covers of a one-pixel line's sites are read from the fitted
// line, which takes a site mostly on it as wholly on it and so reads the
// line too light, in dots of the ground's colour.
// Not where the colour's ground is at the sensor's white: clipped, it
// stands below the ground's true level, and green's darkening applied to it
// reads the line too dark.
constexpr float kLineColourCoverLighter = 0.4f;
constexpr float kLineColourClipped = 64000.0f;
// How much of a site found the line must cover for its sample to start
// counting towards the line's colour, and the span over which it comes to
// count fully: the colour of a dark line on a light ground is read back from
// a sample the line covers in part by dividing by that share, which the fit
// gets only roughly, and a site beside a line one pixel wide taken as half
// on it reads the line far too light.
constexpr float kLineColourSure = 0.7f;
constexpr float kLineColourSureSpan = 0.2f;
// The strength of the surest line near a pixel from which its colours are
// taken whole: a dark line's red on yellow stands so far below the ground's
// that a tenth of the ground's left shows as a dot.
constexpr float kLineColourSurest = 0.8f;
// Green's darkening on a line, line over ground, above which a colour on a
// ground far from grey is not taken for one far from green, and below which
// it is in full.
constexpr float kLineDeepNone = 0.2f;
constexpr float kLineDeepFull = 0.066f;
// The least share of a pixel the line fitted at a site must cover for the
// site to count there.
constexpr float kLineColourOn = 0.25f;
// The least share of a sample the surest line near a pixel must cover for
// it to bound how dark the pixel may turn in its colour.
constexpr float kLineColourOnSample = 0.8f;
// How many such samples must all lie below green's darkening for them to
// bound the pixel instead.
constexpr int kLineColourOnSamples = 2;

void TakeLineColours(const Frame& f, const std::vector<LineSite>& sites, const float* m,
                     const uint8_t* colour, float* const out[3]) {
    if (sites.empty()) return;
    struct Near {
        size_t at;
        uint32_t site;
        float on;
        int dy, dx;
    };
    // The pixels each site's fitted line crosses.
    const auto crossed = [&](auto&& take) {
        for (size_t k = 0; k < sites.size(); ++k) {
            const LineFound& line = sites[k].line;
            if (line.own || !(Tone(line.ground) - Tone(line.dark) > kLineDepthLeast))
                continue;
            for (int dy = -kLineColourReach; dy <= kLineColourReach; ++dy)
                for (int dx = -kLineColourReach; dx <= kLineColourReach; ++dx) {
                    const float across =
                        -float(dx) * line.along[1] + float(dy) * line.along[0];
                    const float on = LineCover(across - line.middle, line.width);
                    if (on > kLineColourOn)
                        take(Near{sites[k].at + size_t(ptrdiff_t(dy) * f.stride + dx),
                                  uint32_t(k), on, dy, dx});
                }
        }
    };
    // By pixel, and at each by site: counted, then each put in its place,
    // in a list no longer than it needs.
    const size_t reach = size_t(kLineColourReach) * (size_t(f.stride) + 1);
    size_t first = sites[0].at, last = sites[0].at;
    for (const LineSite& site : sites)
        first = std::min(first, site.at), last = std::max(last, site.at);
    first -= reach;
    std::vector<uint32_t> place(last + reach - first + 2, 0);
    crossed([&](const Near& n) { ++place[n.at - first + 1]; });
    for (size_t k = 1; k < place.size(); ++k) place[k] += place[k - 1];
    std::vector<Near> near(place.back());
    crossed([&](const Near& n) { near[place[n.at - first]++] = n; });
    // How much of a pixel the line covers, by its green.
    auto cover = [](float g, float ground, float dark) {
        return std::clamp((ground - g) / platform::MaxOf(ground - dark, 1.0f), 0.0f, 1.0f);
    };
    for (size_t a = 0; a < near.size();) {
        size_t b = a;
        while (b < near.size() && near[b].at == near[a].at) ++b;
        const size_t j = near[a].at;
        float weight = 0, ground = 0, dark = 0, most = 0;
        size_t surest = a;
        for (size_t n = a; n < b; ++n) {
            const LineFound& line = sites[near[n].site].line;
            weight += line.strength;
            ground += line.strength * line.ground;
            dark += line.strength * line.dark;
            if (line.strength * near[n].on > most) most = line.strength * near[n].on, surest = n;
        }
        ground /= weight;
        dark /= weight;
        // At a red or blue site, no lighter in green against its ground than
        // its own sample is against its colour's: a site the detector took
        // as near grey keeps the interpolation's green, too light on a line
        // one pixel wide, and the line's other colour would follow it.
        // Nor lighter than the site's own sample where that is darker than
        // the fitted line's green, on a deep line where the site's colour's
        // ground is at least as bright as green's: a line one pixel wide
        // fits as a wider, shallower one, and a dark line is rarely far
        // darker in green than in the site's colour (beside a colour's
        // edge, or where its ground is dark, the sample says nothing of it).
        if (colour[j] != kGreen) {
            float side = 0, sides = 0;
            for (size_t n = a; n < b; ++n) {
                const LineFound& line = sites[near[n].site].line;
                if (line.sides[colour[j]] < 0) continue;
                side += line.strength * line.sides[colour[j]];
                sides += line.strength;
            }
            if (sides > 0 && side > 0) {
                float lightest = 0;
                for (int ey = -2; ey <= 2; ++ey)
                    for (int ex = -2; ex <= 2; ++ex) {
                        const size_t i = j + size_t(ptrdiff_t(ey) * f.stride + ex);
                        if (colour[i] == colour[j]) lightest = platform::MaxOf(lightest, m[i]);
                    }
                const float bySample =
                    std::clamp(2.0f * lightest / platform::MaxOf(ground, 1.0f) - 1.0f, 0.0f,
                               1.0f) *
                    std::clamp((kLineDeepNone - dark / platform::MaxOf(ground, 1.0f)) /
                                   (kLineDeepNone - kLineDeepFull),
                               0.0f, 1.0f);
                const float bound = platform::MaxOf(
                    ground * m[j] * sides / side,
                    dark + bySample * (platform::MinOf(dark, m[j]) - dark));
                if (bound < out[kGreen][j]) out[kGreen][j] += most * (bound - out[kGreen][j]);
            }
        }
        const float here = cover(out[kGreen][j], ground, dark);
        for (int c = 0; c < 3; c += 2) {
            if (colour[j] == c) continue;
            float sum = 0, squares = 0, own = 0, owns = 0;
            for (size_t n = a; n < b; ++n) {
                const LineSite& site = sites[near[n].site];
                if (colour[site.at] != c || site.line.sides[c] < 0) continue;
                const LineFound& line = site.line;
                // The site's own sample and the fitted line's cover of it
                // (the rendering beyond a tile's inside is not final).
                const float k = cover(line.green, line.ground, line.dark);
                const float w = line.strength *
                                std::clamp((k - kLineColourSure) / kLineColourSureSpan, 0.0f, 1.0f);
                sum += w * k * (m[site.at] - line.sides[c] * (1.0f - k));
                squares += w * k * k;
            }
            // Beside the line, from every site found; on it, where few of
            // the colour's sites were found on the line, as dark against
            // its ground as green is.
            for (size_t n = a; n < b; ++n) {
                const LineFound& line = sites[near[n].site].line;
                if (line.sides[c] < 0) continue;
                own += line.strength * line.sides[c];
                owns += line.strength;
            }
            if (owns <= 0) continue;
            own /= owns;
            // The line's colour from its sites, mixed with the ground's by
            // green's cover of the pixel; where few of the colour's sites
            // were found on the line (a line that runs for many pixels along
            // rows of the layout without a red or a blue site), as dark
            // against its ground as green is at the pixel.
            const float greens = own * out[kGreen][j] / platform::MaxOf(ground, 1.0f);
            const float fitted =
                squares > 0 ? own + here * (std::clamp(sum / squares, 0.0f, own) - own) : greens;
            const float deep = std::clamp((kLineDeepNone - dark / platform::MaxOf(ground, 1.0f)) /
                                              (kLineDeepNone - kLineDeepFull),
                                          0.0f, 1.0f);
            const float least =
                (kLineColourCover +
                 (fitted > greens && own < kLineColourClipped
                      ? deep * (kLineColourCoverLighter - kLineColourCover)
                      : 0.0f)) *
                most;
            const float byFit = (squares * fitted + least * greens) / (squares + least);
            // No darker against its ground than green is against its own:
            // a line the colour's few sites misread stays the ground's hue.
            // Nor darker than the colour's darkest sample on the surest
            // line near the pixel, where two or more lie on it: where they
            // are all light, the line is not dark in that colour (a light
            // blue stroke on yellow); one alone is as often a site the fit
            // takes as wholly on a one-pixel line that only mostly covers
            // it, and it leaves a dot of the ground's colour.
            const LineFound& surer = sites[near[surest].site].line;
            float darkest = 0, lightest = 0;
            int ons = 0;
            for (int ey = -2; ey <= 2; ++ey)
                for (int ex = -2; ex <= 2; ++ex) {
                    const size_t i = j + size_t(ptrdiff_t(ey) * f.stride + ex);
                    const float across = -float(near[surest].dx + ex) * surer.along[1] +
                                         float(near[surest].dy + ey) * surer.along[0];
                    if (colour[i] != c ||
                        LineCover(across - surer.middle, surer.width) < kLineColourOnSample)
                        continue;
                    darkest = darkest > 0 ? platform::MinOf(darkest, m[i]) : m[i];
                    lightest = platform::MaxOf(lightest, m[i]);
                    ++ons;
                }
            // Where every sample of the colour on the line is darker than
            // green's darkening, the line is darker in it than in green (a
            // dark line on red, which green sees only faintly): its samples
            // bound it instead.
            const float bound =
                ons >= kLineColourOnSamples ? platform::MinOf(greens, lightest) : greens;
            const float want = platform::MaxOf(
                byFit, platform::MaxOf(bound, ons >= kLineColourOnSamples ? darkest : 0.0f));
            // Only where the line covers much of the pixel: beside it the
            // interpolation stands.
            // Nor where the pixel is near grey already: the dots stand far
            // from it.
            const float g = out[kGreen][j];
            float off =
                std::fabs(out[c][j] - g) / platform::MaxOf(platform::MaxOf(out[c][j], g), 256.0f);
            // On a ground far from grey (blue on yellow), the line's pixels
            // count as far from it too where green shows the line deep: a
            // colour left at its ground's level on the line can stand as near
            // green there as the line's own would.
            off = platform::MaxOf(off, deep * std::fabs(own - ground) /
                                           platform::MaxOf(platform::MaxOf(own, ground), 256.0f));
            const float take = platform::MinOf(
                most / kLineColourSurest * std::clamp(2.0f * here - 0.5f, 0.0f, 1.0f) *
                    std::clamp((off - kLineGrey) / kLineGrey, 0.0f, 1.0f),
                1.0f);
            if (want < out[c][j]) out[c][j] += take * (want - out[c][j]);
        }
        a = b;
    }
}

// Every colour on the pixels around the sites whose line their own colour
// sees far more deeply than green: each such pixel the ground and the line
// mixed by how much of it the fitted line covers, each site's mixture
// weighted by its strength; only ever darker, and no sample changed.
// How far along the line from a site: no further than the fast form looks
// for sites beyond a tile's inside, or a pixel near a tile's edge would miss
// sites that reach it from the next tile and the picture would depend on the
// tiling (its colour's sites on a line lie up to six rows apart, so a few
// pixels are reached by one site only).
constexpr int kOwnLineReach = kLineReach;
static_assert(kOwnLineReach <= kScoreReach && kLineColourReach <= kScoreReach);
// The least strength of a site that alone reaches a pixel for any of it to
// be taken there (a dark speck in red texture is found by one site).
constexpr float kOwnLineAlone = 0.85f;
// How far beyond the line's edge a site takes the ground's colours: the
// pixels one beside the line lighten the mean where another site sees its
// edge elsewhere; those half a pixel further out take green and the third
// colour to the ground's, which the interpolation leaves high beside a fine
// line (olive dots on red). The site's own colour, whose ground is bright,
// counts there at a lesser weight (it would lighten the line's other sites'
// pixels), and such a pixel does not count as one the line reaches.
constexpr float kOwnLineBeside = 1.0f;
constexpr float kOwnLineRing = 1.5f;
constexpr float kOwnLineRingOwn = 0.5f;

// In order of pixel, those of one pixel in the order given (as a stable sort
// would leave them): counted over the pixels' span, then each put in its
// place; far cheaper than sorting.
template <typename T>
void SortByPixel(std::vector<T>& items) {
    if (items.size() < 2) return;
    size_t first = items[0].at, last = items[0].at;
    for (const T& t : items) first = std::min(first, t.at), last = std::max(last, t.at);
    std::vector<size_t> place(last - first + 2, 0);
    for (const T& t : items) ++place[t.at - first + 1];
    for (size_t k = 1; k < place.size(); ++k) place[k] += place[k - 1];
    std::vector<T> sorted(items.size());
    for (const T& t : items) sorted[place[t.at - first]++] = t;
    items.swap(sorted);
}

void TakeOwnLineColours(const Frame& f, const std::vector<LineSite>& sites, const uint8_t* colour,
                        float* const out[3]) {
    struct Near {
        size_t at;
        float weight[3];
        bool line;
        float want[3];
    };
    std::vector<Near> near;
    for (const LineSite& site : sites) {
        const LineFound& line = site.line;
        if (!line.own) continue;
        const int own = colour[site.at];
        for (int dy = -kOwnLineReach; dy <= kOwnLineReach; ++dy)
            for (int dx = -kOwnLineReach; dx <= kOwnLineReach; ++dx) {
                const float across = -float(dx) * line.along[1] + float(dy) * line.along[0];
                const float along = float(dx) * line.along[0] + float(dy) * line.along[1];
                const float d = across - line.middle;
                if (std::fabs(along) > float(kOwnLineReach)) continue;
                const float beyond = std::fabs(d) - 0.5f * line.width;
                if (beyond > kOwnLineRing) continue;
                const bool reached = beyond <= kOwnLineBeside;
                // (The ring no further than the site's own window.)
                if (!reached && (std::abs(dx) > kLineReach || std::abs(dy) > kLineReach)) continue;
                const float on = LineCover(d, line.width);
                Near n{site.at + size_t(ptrdiff_t(dy) * f.stride + dx),
                       {line.strength, line.strength, line.strength},
                       reached,
                       {}};
                if (!reached) n.weight[own] *= kOwnLineRingOwn;
                for (int c = 0; c < 3; ++c)
                    n.want[c] = line.grounds[c] + on * (line.lines[c] - line.grounds[c]);
                near.push_back(n);
            }
    }
    SortByPixel(near);
    for (size_t a = 0; a < near.size();) {
        size_t b = a;
        float weight[3] = {}, most = 0, want[3] = {};
        int reached = 0;
        for (; b < near.size() && near[b].at == near[a].at; ++b) {
            most = platform::MaxOf(most, near[b].weight[kGreen]);
            reached += near[b].line ? 1 : 0;
            for (int c = 0; c < 3; ++c) {
                weight[c] += near[b].weight[c];
                want[c] += near[b].weight[c] * near[b].want[c];
            }
        }
        const size_t j = near[a].at;
        const float take =
            platform::MinOf(most, 1.0f) *
            (reached > 1 ? 1.0f
                         : std::clamp((most - kOwnLineAlone) / (1.0f - kOwnLineAlone), 0.0f, 1.0f));
        for (int c = 0; c < 3; ++c) {
            const float w = want[c] / weight[c];
            if (colour[j] != c && w < out[c][j]) out[c][j] += take * (w - out[c][j]);
        }
        a = b;
    }
}

// The plain form: the pre-gate at every pixel, and the plain detector where
// it holds and the pixels around are not too busy.
void DarkLinesReference(const Frame& f, TileScratch& s, int /*margin*/,
                        std::vector<LineSite>& sites) {
    LinePreGate gate = MakeLinePreGate(f, s, 0);
    LineTones(f, s, gate);
    const uint8_t* colour = s.colour();
    const auto mayPass = [&](size_t i) {
        const float k = gate.kind[i];
        const float ownMost = k == 0.0f ? gate.redHi[i] : gate.blueHi[i];
        return DarkLineMayPass(BrighterSides(gate.smooth, i, f.stride), gate.greenLo[i],
                               gate.greenHi[i], ownMost, gate.m[i], k);
    };
    const int border = kLineReach + 1;
    constexpr int r = kLineBusyRadius;
    for (int y = border; y < f.height - border; ++y)
        for (int x = border; x < f.width - border; ++x) {
            const size_t i = f.at(y, x);
            if (!mayPass(i)) continue;
            float around = 0;
            for (int dy = -r; dy <= r; ++dy)
                for (int dx = -r; dx <= r; ++dx)
                    around += mayPass(f.at(y + dy, x + dx)) ? 1.0f : 0.0f;
            if (around > kLineBusiest * float((2 * r + 1) * (2 * r + 1))) continue;
            const LineFound line = DarkLineAt(f, gate.m, gate.tone, colour, i, true);
            if (line.strength > 0) sites.push_back({i, line});
        }
}

// The same, the pre-gate and its sums around each site vectorised over the
// tile, the detector only where they hold.
XTRANS_WIDE_LOOPS
void DarkLines(const Frame& f, TileScratch& s, int margin, std::vector<LineSite>& sites) {
    LinePreGate gate = MakeLinePreGate(f, s, margin);
    const uint8_t* colour = s.colour();
    // The pre-gate's outcome, its sums along rows and over the square
    // around each site, in spent planes.
    float* __restrict pass = s.plane(kDenominator);
    float* __restrict rows = s.plane(kDifference);
    float* __restrict busy = s.plane(kFull);
    const size_t up = size_t(f.stride);
    constexpr int r = kLineBusyRadius;
    const Window inside = Inside(f, margin, kScoreReach, kLineReach + 1);
    // Every site's square within this, whose border leaves the pre-gate's
    // reads inside the frame.
    const Window around = Inside(f, margin, kScoreReach + r, 2);
    const float* __restrict m = gate.m;
    const float* __restrict kind = gate.kind;
    const float* __restrict smooth = gate.smooth;
    const float* __restrict greenLo = gate.greenLo;
    const float* __restrict greenHi = gate.greenHi;
    const float* __restrict redHi = gate.redHi;
    const float* __restrict blueHi = gate.blueHi;
    int any = 0;
    for (int y = around.y0; y < around.y1; ++y) {
        const size_t row = f.at(y, 0);
        DEMOSAIC_ROW_LOOP
        for (int x = around.x0; x < around.x1; ++x) {
            const size_t i = row + size_t(x);
            const float k = kind[i], red = redHi[i], blue = blueHi[i];
            const float ownMost = k == 0.0f ? red : blue;
            const bool may = DarkLineMayPass(BrighterSides(smooth, i, ptrdiff_t(up)), greenLo[i],
                                             greenHi[i], ownMost, m[i], k);
            pass[i] = may ? 1.0f : 0.0f;
            any |= may ? 1 : 0;
        }
    }
    if (!any) return;
    LineTones(f, s, gate);
    for (int y = around.y0; y < around.y1; ++y) {
        const size_t row = f.at(y, 0);
        DEMOSAIC_ROW_LOOP
        for (int x = inside.x0; x < inside.x1; ++x) {
            const size_t i = row + size_t(x);
            float sum = 0;
            for (int d = -r; d <= r; ++d) sum += pass[i + size_t(ptrdiff_t(d))];
            rows[i] = sum;
        }
    }
    const float most = kLineBusiest * float((2 * r + 1) * (2 * r + 1));
    for (int y = inside.y0; y < inside.y1; ++y) {
        const size_t row = f.at(y, 0);
        int found = 0;
        DEMOSAIC_ROW_LOOP
        for (int x = inside.x0; x < inside.x1; ++x) {
            const size_t i = row + size_t(x);
            float sum = 0;
            for (int d = -r; d <= r; ++d) sum += rows[i + size_t(ptrdiff_t(d) * ptrdiff_t(up))];
            const bool take = (pass[i] > 0.0f) & (sum <= most);
            busy[i] = take ? 1.0f : 0.0f;
            found |= take ? 1 : 0;
        }
        if (!found) continue;
        for (int x = inside.x0; x < inside.x1; ++x) {
            const size_t i = row + size_t(x);
            if (busy[i] <= 0) continue;
            const LineFound line = DarkLineAt(f, m, gate.tone, colour, i, false);
            if (line.strength > 0) sites.push_back({i, line});
        }
    }
}

// The candidates blended into both renderings, then the median, the
// guided average and the fit of each one that is kept (the other's blend
// costs little beside).
void Blend(const Frame& f, TileScratch& s, bool reference, float* const master[3],
           float* const alternate[3], int margin, bool finishMaster, bool finishAlternate) {
    (reference ? BlendCandidatesReference : BlendCandidates)(f, s, master, alternate, margin);
    std::vector<LineSite> lines;
    (reference ? DarkLinesReference : DarkLines)(f, s, margin, lines);
    TakeDarkLines(lines, s.colour(), master);
    TakeDarkLines(lines, s.colour(), alternate);
    const SampleRanges ranges = MakeSampleRanges(f, s, margin);
    if (finishAlternate) MasterWhereGrey(f, ranges.apart, master, alternate, margin);
    // The alternate first, while the master's green is still the blend's.
    for (float* const* out : {alternate, master}) {
        if (!(out == master ? finishMaster : finishAlternate)) continue;
        (reference ? MedianColourDifferencesReference : MedianColourDifferences)(
            f, s, ranges.lo[kGreen], ranges.hi[kGreen], out[0], out[1], out[2], margin);
        (reference ? GuidedColourDifferencesReference : GuidedColourDifferences)(
            f, s, out[0], out[1], out[2], ranges.balanced, margin);
        FitToSamples(f, s, out, out == alternate ? master[kGreen] : nullptr, ranges.apart,
                     margin);
        ClampToSamples(f, s, ranges, out, margin);
        TakeDarkLines(lines, s.colour(), out);
        TakeLineColours(f, lines, s.plane(kMosaic), s.colour(), out);
        TakeOwnLineColours(f, lines, s.colour(), out);
    }
}

void CheckArguments(const MosaicPlane& mosaic, const uint16_t* rgb) {
    if (mosaic.width == 0 || mosaic.height == 0)
        throw std::invalid_argument("demosaic: empty image");
    if (!mosaic.samples || !rgb) throw std::invalid_argument("demosaic: missing pixel buffer");
    if (mosaic.rowStride < mosaic.width)
        throw std::invalid_argument("demosaic: row stride shorter than the width");
    if (mosaic.width > 0x7fff0000u / 3 || mosaic.height > 0x7fff0000u)
        throw std::invalid_argument("demosaic: image too large");
}

// The noise of the whole mosaic as a variance on the square-root tone, on
// which shot noise is alike at every level: from the squared differences
// between horizontally adjacent greens on some 256 rows, the least 2 % of
// which lie on flat parts even in fine texture, less what a clean
// photograph's fine detail gives there, so that a clean photograph reads 0
// and develops as it would without the gates. The finest rings of a neutral
// zone plate still read as noise in the first figure (held grey there, so
// little changes), not in the second. 0 for a layout without adjacent
// greens. Over the whole mosaic, so that an area develops as its part of
// the whole.
struct NoiseFigures {
    float all = 0;
    // The lesser of that and the same read where smooth detail cancels: 0
    // on the zone plate too.
    float smooth = 0;
};

NoiseFigures ImageNoise(const MosaicPlane& mosaic) {
    // The 2nd percentile of a squared difference of two normal samples, in
    // either's variance, its 0.5th; and the most that clean photographs'
    // detail gives.
    constexpr float kFiftiethOfSquare = 2 * 0.000628f;
    constexpr float kTwoHundredthOfSquare = 2 * 3.927e-5f;
    constexpr float kCleanDetail = 10.0f;
    // Not a multiple of 3, so that the rows sampled meet every row of the
    // 6 x 6 repeat.
    uint32_t step = std::max(1u, mosaic.height / 256);
    if (step % 3 == 0) ++step;
    const auto green = [&](uint32_t y, uint32_t x) { return mosaic.layout.colorAt(y, x) == kGreen; };
    const auto tone = [&](uint32_t y, uint32_t x) {
        return std::sqrt(float(mosaic.samples[size_t(y) * mosaic.rowStride + x]));
    };
    // Beside each difference of adjacent greens, where a 2 x 2 block of
    // greens has it, that difference less the one below it: detail that
    // changes smoothly across rows (the fine rings of a zone plate, which
    // alias but carry no noise) cancels there, noise does not.
    std::vector<float> squares, crosses;
    for (uint32_t y = 0; y < mosaic.height; y += step) {
        for (uint32_t x = 0; x + 1 < mosaic.width; ++x) {
            if (!green(y, x) || !green(y, x + 1)) continue;
            const float d = tone(y, x) - tone(y, x + 1);
            squares.push_back(d * d);
            if (y + 1 < mosaic.height && green(y + 1, x) && green(y + 1, x + 1)) {
                // Four samples' noise: half the square is two samples'.
                const float e = d - (tone(y + 1, x) - tone(y + 1, x + 1));
                crosses.push_back(0.5f * e * e);
            }
        }
    }
    if (squares.empty()) return {};
    const auto least = squares.begin() + ptrdiff_t(squares.size() / 50);
    std::nth_element(squares.begin(), least, squares.end());
    const float noise = *least / kFiftiethOfSquare;
    float smooth = noise;
    // The lower percentile, as curvature (the rings again) leaves the cross
    // differences small only on a few narrow bands.
    if (!crosses.empty()) {
        const auto fewest = crosses.begin() + ptrdiff_t(crosses.size() / 200);
        std::nth_element(crosses.begin(), fewest, crosses.end());
        smooth = std::min(noise, *fewest / kTwoHundredthOfSquare);
    }
    return {std::max(noise - kCleanDetail, 0.0f), std::max(smooth - kCleanDetail, 0.0f)};
}

// Over `area` of the mosaic only.
template <typename Interpolate>
void RunTiles(const MosaicPlane& mosaic, const RawCrop& area, unsigned bands, int pad, int planes,
              const Interpolate& interpolate) {
    const NoiseFigures noise = ImageNoise(mosaic);
    platform::RunInRowBands(area.height, bands, [&](uint32_t first, uint32_t end) {
        const int stride = kTileSize + 2 * pad;
        TileScratch scratch(stride, stride, planes);
        platform::ForEachTile(
            area.left, area.left + area.width, area.top + first, area.top + end, kTileSize,
            kTileSize, pad, [&](const DemosaicTile& tile) {
                const Frame frame{tile.stride, tile.paddedWidth(), tile.paddedHeight(), noise.all,
                                  noise.smooth};
                LoadTile(mosaic, tile, scratch);
                interpolate(tile, frame, scratch);
            });
    });
}

}  // namespace

void DemosaicXTrans(const MosaicPlane& mosaic, uint16_t* rgb, unsigned bands,
                    const RawMatrix3* colour) {
    CheckArguments(mosaic, rgb);
    DemosaicXTransBoth(mosaic, rgb, nullptr, bands, colour);
}

void DemosaicXTransSmooth(const MosaicPlane& mosaic, uint16_t* rgb, unsigned bands,
                          const RawMatrix3* colour) {
    CheckArguments(mosaic, rgb);
    DemosaicXTransBoth(mosaic, nullptr, rgb, bands, colour);
}

namespace {

// Either rendering (null: not stored) over `area`, rows of area.width.
void RunBoth(const MosaicPlane& mosaic, const RawCrop& area, uint16_t* master, uint16_t* alternate,
             unsigned bands, const RawMatrix3* colour, bool reference) {
    CheckArguments(mosaic, master ? master : alternate);
    const int radius = SmoothRadius(mosaic.layout);
    RunTiles(mosaic, area, bands, Halo(mosaic.layout), kPlaneCount,
             [&](const DemosaicTile& tile, const Frame& f, TileScratch& s) {
                 SmoothTile(f, s, radius);
                 // The plain form computes the whole frame, the fast one only
                 // what the tile's inside reads: the tests compare the two.
                 const int margin = reference ? 0 : tile.pad;
                 Candidates(f, s, radius, reference, margin);
                 // The masks are spent once the candidates are made.
                 float* const masterOut[3] = {s.plane(kMaskR), s.plane(kMaskG), s.plane(kMaskB)};
                 float* const alternateOut[3] = {s.plane(kAlternateR), s.plane(kAlternateG),
                                                 s.plane(kAlternateB)};
                 Blend(f, s, reference, masterOut, alternateOut, margin, master != nullptr,
                       alternate != nullptr);
                 DemosaicTile at = tile;
                 at.x0 -= int(area.left);
                 at.y0 -= int(area.top);
                 if (alternate)
                     platform::StoreTileRGB(at, alternateOut[0], alternateOut[1], alternateOut[2],
                                            alternate, area.width, colour);
                 if (master)
                     platform::StoreTileRGB(at, masterOut[0], masterOut[1], masterOut[2], master,
                                            area.width, colour);
             });
}

RawCrop Whole(const MosaicPlane& mosaic) { return {0, 0, mosaic.width, mosaic.height}; }

}  // namespace

void DemosaicXTransArea(const MosaicPlane& mosaic, const RawCrop& area, uint16_t* rgb,
                        unsigned bands) {
    bands = platform::AreaBands(mosaic.width, mosaic.height, area.left, area.top, area.width,
                                area.height, bands, kTileSize);
    RunBoth(mosaic, area, rgb, nullptr, bands, nullptr, false);
}

void DemosaicXTransBoth(const MosaicPlane& mosaic, uint16_t* master, uint16_t* alternate,
                        unsigned bands, const RawMatrix3* colour) {
    RunBoth(mosaic, Whole(mosaic), master, alternate, bands, colour, false);
}

void DemosaicXTransReference(const MosaicPlane& mosaic, uint16_t* master, uint16_t* alternate,
                             unsigned bands) {
    RunBoth(mosaic, Whole(mosaic), master, alternate, bands, nullptr, true);
}
