#include "raw/DemosaicLMMSE.h"

// The inner loops are written to vectorise; ask for it at any -O level.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC optimize("tree-vectorize", "vect-cost-model=dynamic", "no-trapping-math")
#endif

#include <array>
#include <cmath>
#include <cstddef>
#include <memory>
#include <type_traits>
#include <vector>

#include "raw/DemosaicTiles.h"

namespace {

// Tiles are as wide as this and at most as high; wide tiles keep the share
// of halo small while a tile's planes still stay near the core's caches.
constexpr int kTileWidth = 192;
constexpr int kTileHeight = 144;
constexpr int kPad = 15;
// How much the differences from green may change along a direction, over
// two pixels of red and of blue together, before its neighbours count for
// less in smoothAlong: some four levels in eight bits.
constexpr float kAlongSlack = 1024.0f;
// Floats per scratch row.
constexpr int kStride = kTileWidth + 2 * kPad;
constexpr int kRadius = 4;  // the Gaussian and the statistics window span ±4
constexpr int kTaps = 2 * kRadius + 1;
// Keeps the weights defined where both directions are perfectly flat.
constexpr float kVarianceFloor = 1e-3f;
// Signal variance of the colour difference (scale 65535 squared) at which a
// green estimate is drawn halfway to its one-sided estimate.
constexpr float kColourEdgeVariance = 1e5f;

std::array<float, kTaps> GaussianTaps() {
    std::array<double, kTaps> w{};
    double sum = 0.0;
    for (int k = -kRadius; k <= kRadius; ++k) {
        w[static_cast<size_t>(k + kRadius)] = std::exp(-(k * k) / 8.0);  // sigma = 2
        sum += w[static_cast<size_t>(k + kRadius)];
    }
    std::array<float, kTaps> out{};
    for (size_t i = 0; i < w.size(); ++i) out[i] = static_cast<float>(w[i] / sum);
    return out;
}

// Later stages write over planes whose contents are no longer needed, which
// keeps a tile's memory, and so what the caches must hold, small.
enum Plane {
    kMosaic,
    kDiffH,
    kDiffV,  // primary green-minus-colour differences
    kEstH,
    kEstV,  // LMMSE estimates of the difference and their error variances
    kSplitSmooth,
    kSplitNoise,  // one axis's smoothed difference and its squared noise, split
    kGreen,
    kColourChange,  // the smaller signal variance of the two axes
    kColourOnly,    // see ColourOnlyDetail
    kPlaneCount,
    // Once the estimates are done, the mosaic and green split as they are,
    // and then the colour each row of red and blue sites lacks, split.
    kMosaicSplit = kSplitSmooth,
    kGreenSplit = kSplitNoise,
    kMissingSplit = kEstH,
    // Red and blue, once the differences have been estimated: first at the
    // sites of red and blue, then at the green ones too, in place.
    kRed = kDiffH,
    kBlue = kDiffV,
    // Then red and blue again, where only they carry detail: see
    // smoothColourOnly.
    kRedSmoothed = kSplitSmooth,
    kBlueSmoothed = kSplitNoise,
};

// The estimates are needed only at the sites without green, every second
// pixel, and so are computed on rows split by column parity: a split row holds
// the even columns' values in its first half (column x at x / 2) and the odd
// columns' in its second, so that every second pixel lies contiguous. A row of
// estimates keeps the estimate in its first half and the error variance in
// its second, both indexed by x / 2.

class LMMSEScratch {
public:
    LMMSEScratch()
        : storage_(new float[static_cast<size_t>(kPlaneCount) * kStride * kRows]),
          smoothed_(new float[kStride]),
          flags_(static_cast<size_t>(kRows)) {}
    // Every plane and row lies a constant distance from every other, so that
    // a pixel loop reaches all its rows from one register.
    float* row(Plane p, int r) {
        return storage_.get() + (static_cast<size_t>(p) * kRows + static_cast<size_t>(r)) *
                                    static_cast<size_t>(kStride);
    }
    // Per row: whether it has detail in red and blue alone.
    uint8_t* rowFlags() { return flags_.data(); }
    // One row of a smoothed difference.
    float* smoothedRow() { return smoothed_.get(); }

private:
    static constexpr int kRows = kTileHeight + 2 * kPad;
    // Not zeroed: every stage writes what a later one reads.
    std::unique_ptr<float[]> storage_;
    std::unique_ptr<float[]> smoothed_;
    std::vector<uint8_t> flags_;
};

class LMMSETile {
public:
    LMMSETile(LMMSEScratch& scratch, const CFAPattern& pattern, const platform::DemosaicTile& tile)
        : s_(scratch),
          tile_(tile),
          masks_(pattern, tile),
          greenParity_(platform::GreenParity(pattern)),
          w_(tile.paddedWidth()),
          h_(tile.paddedHeight()) {}

    QUORVEX_WIDE_LOOPS
    void run(const CFAPlane& cfa, uint16_t* rgb, const RawMatrix3* colour,
             platform::ColourOnlyCells* cells) {
        platform::LoadPaddedMosaic(cfa, tile_, s_.row(kMosaic, 0));
        // Green is not yet written: its rows lend the scratch.
        platform::SharedColourOnlyDetailPlane(s_.row(kMosaic, 0), tile_, 10, greenParity_,
                                              s_.row(kColourOnly, 0), s_.row(kGreen, 0),
                                              s_.rowFlags(), cells);
        const bool smoothed = hasColourOnlyRows(13);
        // The margins below leave room for smoothing red and blue; a tile
        // without it needs three pixels less around it at every step.
        const int m = smoothed ? 0 : 3;
        primaryDifferences(2 + m);
        estimate<true>(kDiffH, kEstH, 10 + m);
        estimate<false>(kDiffV, kEstV, 10 + m);
        splitMosaic(7 + m);
        fuseGreen(10 + m);
        redBlueAtOppositeSites(11 + m);
        redBlueAtGreenSites(12 + m);
        if (smoothed) {
            smoothColourOnly(13);
            smoothAlong(14, kRedSmoothed, kBlueSmoothed, kRed, kBlue);
            smoothAlong(15, kRed, kBlue, kRedSmoothed, kBlueSmoothed);
        }
        platform::StoreTileRGB(tile_, s_.row(smoothed ? kRedSmoothed : kRed, 0), s_.row(kGreen, 0),
                               s_.row(smoothed ? kBlueSmoothed : kBlue, 0), rgb, cfa.width, colour);
    }

private:
    // Green minus the other colour of the row (or column), with the missing
    // one of the two interpolated by the five-tap filter along the axis.
    QUORVEX_WIDE_LOOPS
    void primaryDifferences(int m) {
        for (int r = m; r < h_ - m; ++r) {
            const float* __restrict c0 = s_.row(kMosaic, r);
            const float* __restrict u1 = s_.row(kMosaic, r - 1);
            const float* __restrict u2 = s_.row(kMosaic, r - 2);
            const float* __restrict d1 = s_.row(kMosaic, r + 1);
            const float* __restrict d2 = s_.row(kMosaic, r + 2);
            const float* __restrict green = masks_.forRow(r).green;
            float* __restrict dh = s_.row(kDiffH, r);
            float* __restrict dv = s_.row(kDiffV, r);
            DEMOSAIC_ROW_LOOP
            for (int x = m; x < w_ - m; ++x) {
                const float eh =
                    0.5f * (c0[x - 1] + c0[x + 1]) + 0.25f * (2.0f * c0[x] - c0[x - 2] - c0[x + 2]);
                const float ev = 0.5f * (u1[x] + d1[x]) + 0.25f * (2.0f * c0[x] - u2[x] - d2[x]);
                const bool atGreen = green[x] != 0.0f;
                const float c = c0[x];
                dh[x] = atGreen ? c - eh : eh - c;
                dv[x] = atGreen ? c - ev : ev - c;
            }
        }
    }

    // Half the split row length: where the odd columns start.
    static constexpr int half() { return kStride / 2; }
    // The first column of parity p at or after column x, as a split index.
    static int splitIndex(int x, int p) { return (x - p + 1) >> 1; }
    // Row r of a split plane, read around sites of parity p (x = 2j + p) so
    // that each sample lies contiguous: column x + 2i at sameSide(...)[j + i],
    // column x - 1 + 2i at otherSide(...)[j + i].
    float* sameSide(Plane plane, int r, int p) { return s_.row(plane, r) + p * half(); }
    float* otherSide(Plane plane, int r, int p) {
        return s_.row(plane, r) + (1 - p) * half() + p - 1;
    }

    // Smooths one axis's difference with the Gaussian along the axis, and
    // splits the result and its squared deviation from the unsmoothed
    // difference, in rows [rowMargin, height - rowMargin) and columns
    // [m, width - m). Each row is smoothed into a row of its own, read back
    // at once from the closest cache.
    template <bool AlongRows>
    QUORVEX_WIDE_LOOPS void smoothAndSplit(Plane diff, int rowMargin, int m) {
        static const std::array<float, kTaps> taps = GaussianTaps();
        float tap[kTaps];
        for (int k = 0; k < kTaps; ++k) tap[k] = taps[static_cast<size_t>(k)];
        constexpr int kStep = AlongRows ? 1 : kStride;
        float* __restrict sm = s_.smoothedRow();
        for (int r = rowMargin; r < h_ - rowMargin; ++r) {
            const float* __restrict d = s_.row(diff, r);
            DEMOSAIC_ROW_LOOP
            for (int x = m; x < w_ - m; ++x) {
                // Begun with the first product rather than 0, which adds
                // nothing: differences are multiples of a quarter, never -0.
                float sum = tap[0] * d[x - kRadius * kStep];
#pragma GCC unroll 8
                for (int k = 1 - kRadius; k <= kRadius; ++k)
                    sum += tap[k + kRadius] * d[x + k * kStep];
                sm[x] = sum;
            }
            for (int p = 0; p < 2; ++p) {
                float* __restrict smSplit = s_.row(kSplitSmooth, r) + p * half();
                float* __restrict noiseSplit = s_.row(kSplitNoise, r) + p * half();
                const float* __restrict smoothed = sm;
                const int jBegin = splitIndex(m, p), jEnd = splitIndex(w_ - m, p);
                DEMOSAIC_ROW_LOOP
                for (int j = jBegin; j < jEnd; ++j) {
                    const int x = 2 * j + p;
                    const float b = d[x] - smoothed[x];
                    smSplit[j] = smoothed[x];
                    noiseSplit[j] = b * b;
                }
            }
        }
    }

    // LMMSE estimate of the difference and its error variance over a window
    // of nine samples along the axis, at the sites without green; also keeps
    // the smaller of the two axes' signal variances (the first call stores
    // its own).
    template <bool AlongRows>
    QUORVEX_WIDE_LOOPS void estimate(Plane diff, Plane est, int m) {
        constexpr float kInvTaps = 1.0f / kTaps;
        // The estimates read the smoothed rows only within their own margin
        // across the axis.
        smoothAndSplit<AlongRows>(diff, AlongRows ? m : m - kRadius, AlongRows ? m - kRadius : m);
        for (int r = m; r < h_ - m; ++r) {
            const int p = masks_.forRow(r).green[m] != 0.0f ? (m + 1) & 1 : m & 1;
            // The window's k-th sample (k from 0) of split index j: along a
            // row, samples of the site's parity at j + (k - 4) / 2 and the
            // others at j + (k - 5) / 2 of the other half, shifted by p; along
            // a column, the same parity in the rows above and below. The
            // offsets are constants once the loops over k are unrolled.
            const float* sameSmooth = s_.row(kSplitSmooth, r) + p * half();
            const float* otherSmooth = s_.row(kSplitSmooth, r) + (1 - p) * half() + p;
            const float* sameNoise = s_.row(kSplitNoise, r) + p * half();
            const float* otherNoise = s_.row(kSplitNoise, r) + (1 - p) * half() + p;
            auto tap = [](const float* same, const float* other, int j, int k) {
                if (!AlongRows) return same[j + (k - kRadius) * kStride];
                return (k & 1) == 0 ? same[j + (k - kRadius) / 2]
                                    : other[j + (k - kRadius - 1) / 2];
            };
            const float* __restrict d = s_.row(diff, r);
            float* __restrict e = s_.row(est, r);
            float* __restrict v = s_.row(est, r) + half();
            float* __restrict change = s_.row(kColourChange, r);
            const int jEnd = splitIndex(w_ - m, p);
            DEMOSAIC_ROW_LOOP
            for (int j = splitIndex(m, p); j < jEnd; ++j) {
                // The sums begin with their first terms: adding them to 0
                // would change nothing, as none is -0 (see smoothAndSplit;
                // squares never are).
                float mean = tap(sameSmooth, otherSmooth, j, 0);
#pragma GCC unroll 8
                for (int k = 1; k < kTaps; ++k) mean += tap(sameSmooth, otherSmooth, j, k);
                mean *= kInvTaps;
                const float a0 = tap(sameSmooth, otherSmooth, j, 0) - mean;
                float signal = a0 * a0, noise = tap(sameNoise, otherNoise, j, 0);
#pragma GCC unroll 8
                for (int k = 1; k < kTaps; ++k) {
                    const float a = tap(sameSmooth, otherSmooth, j, k) - mean;
                    signal += a * a;
                    noise += tap(sameNoise, otherNoise, j, k);
                }
                const float sx = signal * kInvTaps;
                const float sv = noise * kInvTaps;
                const float total = sx + sv + kVarianceFloor;
                e[j] = mean + sx / total * (d[2 * j + p] - mean);
                v[j] = sx * sv / total;
                change[j] = AlongRows ? sx : platform::MinOf(change[j], sx);
            }
        }
    }

    // Splits the mosaic's rows [m, height - m), whole.
    QUORVEX_WIDE_LOOPS
    void splitMosaic(int m) {
        for (int r = m; r < h_ - m; ++r) {
            const float* __restrict c = s_.row(kMosaic, r);
            float* __restrict even = s_.row(kMosaicSplit, r);
            float* __restrict odd = even + half();
            DEMOSAIC_ROW_LOOP
            for (int j = 0; j < w_ / 2; ++j) {
                even[j] = c[2 * j];
                odd[j] = c[2 * j + 1];
            }
            if (w_ % 2 != 0) even[w_ / 2] = c[w_ - 1];
        }
    }

    // Fuses the two axes' estimates by their error variances. Where the
    // colour difference itself changes along both axes (a colour edge that
    // neither axis follows, such as a diagonal one), both estimates mix the
    // two sides; there the green is drawn, the more so the larger the change,
    // towards the one-sided estimates from its four green neighbours, each
    // weighted by how much the image changes on its side, and kept within
    // their range. Fine grey detail, where the difference is flat, keeps its
    // estimate.
    QUORVEX_WIDE_LOOPS
    void fuseGreen(int m) {
        using platform::EdgeAverage;
        using platform::EdgeSpread;
        using platform::MaxOf;
        using platform::MinOf;
        for (int r = m; r < h_ - m; ++r) {
            const float* __restrict c0 = s_.row(kMosaic, r);
            const float* __restrict green = masks_.forRow(r).green;
            const float* __restrict eh = s_.row(kEstH, r);
            const float* __restrict ev = s_.row(kEstV, r);
            const float* __restrict vh = s_.row(kEstH, r) + half();
            const float* __restrict vv = s_.row(kEstV, r) + half();
            const float* __restrict change = s_.row(kColourChange, r);
            const float* __restrict only = s_.row(kColourOnly, r);
            float* __restrict g = s_.row(kGreen, r);
            // Green samples are kept; every second pixel needs an estimate.
            for (int x = m; x < w_ - m; ++x) g[x] = c0[x];
            const int p = green[m] != 0.0f ? (m + 1) & 1 : m & 1;
            const int jBegin = splitIndex(m, p), jEnd = splitIndex(w_ - m, p);
            // Green split too, for redBlueAtGreenSites.
            float* __restrict gSites = s_.row(kGreenSplit, r) + p * half();
            {
                float* __restrict gKept = s_.row(kGreenSplit, r) + (1 - p) * half();
                const float* __restrict kept = s_.row(kMosaicSplit, r) + (1 - p) * half();
                const int end = splitIndex(w_ - m, 1 - p);
                for (int j = splitIndex(m, 1 - p); j < end; ++j) gKept[j] = kept[j];
            }
            // The mosaic read from its split rows (see sameSide).
            const float* __restrict suuu = sameSide(kMosaicSplit, r - 3, p);
            const float* __restrict suu = sameSide(kMosaicSplit, r - 2, p);
            const float* __restrict su = sameSide(kMosaicSplit, r - 1, p);
            const float* __restrict s0 = sameSide(kMosaicSplit, r, p);
            const float* __restrict sd = sameSide(kMosaicSplit, r + 1, p);
            const float* __restrict sdd = sameSide(kMosaicSplit, r + 2, p);
            const float* __restrict sddd = sameSide(kMosaicSplit, r + 3, p);
            const float* __restrict ouu = otherSide(kMosaicSplit, r - 2, p);
            const float* __restrict o0 = otherSide(kMosaicSplit, r, p);
            const float* __restrict odd = otherSide(kMosaicSplit, r + 2, p);
            auto pixels = [&](auto colourOnly) {
                constexpr bool kColour = decltype(colourOnly)::value;
                DEMOSAIC_ROW_LOOP
                for (int j = jBegin; j < jEnd; ++j) {
                    const int x = 2 * j + p;
                    const float wh =
                        (vv[j] + kVarianceFloor) / (vh[j] + vv[j] + 2.0f * kVarianceFloor);
                    const float diff = wh * eh[j] + (1.0f - wh) * ev[j];
                    const float c = s0[j];
                    const float estimate = c + diff;
                    // Along the row: the samples from x - 3 to x + 3.
                    const float left3 = o0[j - 1], left2 = s0[j - 1], left1 = o0[j];
                    const float right1 = o0[j + 1], right2 = s0[j + 1], right3 = o0[j + 2];
                    // From each green neighbour: its green plus half the step of
                    // this site's colour towards the next sample on that side.
                    const float an = std::fabs(c - suu[j]) + std::fabs(su[j] - suuu[j]);
                    const float as = std::fabs(c - sdd[j]) + std::fabs(sd[j] - sddd[j]);
                    const float aw = std::fabs(c - left2) + std::fabs(left1 - left3);
                    const float ae = std::fabs(c - right2) + std::fabs(right1 - right3);
                    const float least = MinOf(MinOf(an, as), MinOf(aw, ae));
                    const float sided =
                        EdgeAverage(su[j] + 0.5f * (c - suu[j]), EdgeSpread(an, least),
                                    sd[j] + 0.5f * (c - sdd[j]), EdgeSpread(as, least),
                                    left1 + 0.5f * (c - left2), EdgeSpread(aw, least),
                                    right1 + 0.5f * (c - right2), EdgeSpread(ae, least));
                    const float lo = MinOf(MinOf(left1, right1), MinOf(su[j], sd[j]));
                    const float hi = MaxOf(MaxOf(left1, right1), MaxOf(su[j], sd[j]));
                    const float pull = change[j] / (change[j] + kColourEdgeVariance);
                    const float bounded = platform::ClampTo(sided, lo, hi);
                    const float drawn = estimate + pull * (bounded - estimate);
                    // Both estimates take green's detail from this site's colour;
                    // where green has none of its own nearby, that detail is the
                    // colour's alone (often too fine for the statistics to see as
                    // a change), and green keeps within its neighbours' range,
                    // widened by four times the range of the twelve greens
                    // around: not at all where green is flat, and enough for
                    // grey detail near green's own limit, which can leave the
                    // twelve nearly alike.
                    if constexpr (kColour) {
                        const float nearLo =
                            MinOf(MinOf(MinOf(ouu[j], ouu[j + 1]), MinOf(odd[j], odd[j + 1])),
                                  MinOf(MinOf(su[j - 1], su[j + 1]), MinOf(sd[j - 1], sd[j + 1])));
                        const float nearHi =
                            MaxOf(MaxOf(MaxOf(ouu[j], ouu[j + 1]), MaxOf(odd[j], odd[j + 1])),
                                  MaxOf(MaxOf(su[j - 1], su[j + 1]), MaxOf(sd[j - 1], sd[j + 1])));
                        const float slack = 4.0f * (MaxOf(hi, nearHi) - MinOf(lo, nearLo));
                        const float kept = platform::ClampTo(drawn, lo - slack, hi + slack);
                        g[x] = gSites[j] = drawn + only[x] * (kept - drawn);
                    } else {
                        g[x] = gSites[j] = drawn;
                    }
                }
            };
            // Rows without such detail skip its terms, which are 0 there.
            s_.rowFlags()[r] != 0 ? pixels(std::true_type{}) : pixels(std::false_type{});
        }
    }

    // Red at blue sites and blue at red sites from the four diagonal
    // colour differences, each weighted by how much the image changes on the
    // way to it (green to the neighbour, the site's own colour to the next
    // sample beyond it), so that a pixel by an edge takes its colour from its
    // own side; sampled values are copied. Where the detail is red and
    // blue's alone, a diagonal pair that disagrees more than the other lies
    // across an edge of the missing colour, which neither green nor this
    // site's colour shows (only the excess counts: where both pairs straddle
    // an edge, its sides are told apart by the rest).
    QUORVEX_WIDE_LOOPS
    void redBlueAtOppositeSites(int m) {
        for (int r = m; r < h_ - m; ++r) {
            const float* __restrict c0 = s_.row(kMosaic, r);
            const float* __restrict only = s_.row(kColourOnly, r);
            const bool redRow = masks_.isRedRow(r);
            float* __restrict own = s_.row(redRow ? kRed : kBlue, r);
            float* __restrict other = s_.row(redRow ? kBlue : kRed, r);
            // The row's sites without green all hold its own colour and need
            // the other, every second pixel. Its green sites are left to the
            // next step, which reads neither plane there.
            for (int x = m; x < w_ - m; ++x) own[x] = c0[x];
            const float* __restrict green = masks_.forRow(r).green;
            // The sites' parity; what they get is kept split too, for
            // redBlueAtGreenSites.
            const int p = green[m] != 0.0f ? (m + 1) & 1 : m & 1;
            float* __restrict missing = s_.row(kMissingSplit, r) + p * half();
            // The mosaic and green read from split rows (see sameSide).
            const float* __restrict cuu = sameSide(kMosaicSplit, r - 2, p);
            const float* __restrict c = sameSide(kMosaicSplit, r, p);
            const float* __restrict cdd = sameSide(kMosaicSplit, r + 2, p);
            const float* __restrict cu = otherSide(kMosaicSplit, r - 1, p);
            const float* __restrict cd = otherSide(kMosaicSplit, r + 1, p);
            const float* __restrict gu = otherSide(kGreenSplit, r - 1, p);
            const float* __restrict g0 = sameSide(kGreenSplit, r, p);
            const float* __restrict gd = otherSide(kGreenSplit, r + 1, p);
            auto pixels = [&](auto colourOnly) {
                constexpr bool kColour = decltype(colourOnly)::value;
                const int jEnd = splitIndex(w_ - m, p);
                DEMOSAIC_ROW_LOOP
                for (int j = splitIndex(m, p); j < jEnd; ++j) {
                    const int x = 2 * j + p;
                    const float g = g0[j];
                    const platform::DiagonalSamples around{
                        c[j],       g,          cu[j],      cu[j + 1], cd[j],
                        cd[j + 1],  gu[j],      gu[j + 1],  gd[j],     gd[j + 1],
                        cuu[j - 1], cuu[j + 1], cdd[j - 1], cdd[j + 1]};
                    other[x] = missing[j] =
                        g + platform::DiagonalDifference<kColour>(around, kColour ? only[x] : 0.0f);
                }
            };
            // Rows without such detail skip its terms, which are 0 there.
            s_.rowFlags()[r] != 0 ? pixels(std::true_type{}) : pixels(std::false_type{});
        }
    }

    // At green sites, red and blue from the four axial neighbours, which now
    // all carry both colours, weighted by how much green changes on the way
    // to each neighbour and on to the next green sample beyond it; where the
    // detail is red and blue's alone, also by how much the colour sampled
    // beside this site steps between here and beyond the neighbour, which
    // tells the side of an edge as the other sites tell it.
    QUORVEX_WIDE_LOOPS
    void redBlueAtGreenSites(int m) {
        using platform::EdgeSpread;
        using platform::MinOf;
        for (int r = m; r < h_ - m; ++r) {
            const float* __restrict green = masks_.forRow(r).green;
            const float* __restrict cuu = s_.row(kMosaic, r - 2);
            const float* __restrict cu = s_.row(kMosaic, r - 1);
            const float* __restrict c0 = s_.row(kMosaic, r);
            const float* __restrict cd = s_.row(kMosaic, r + 1);
            const float* __restrict cdd = s_.row(kMosaic, r + 2);
            const float* __restrict only = s_.row(kColourOnly, r);
            float* __restrict red = s_.row(kRed, r);
            float* __restrict blue = s_.row(kBlue, r);
            // Everything is read from split rows (see sameSide). Red and
            // blue are the mosaic's samples where it has them, else what
            // redBlueAtOppositeSites found.
            const int q = green[m] != 0.0f ? m & 1 : (m + 1) & 1;
            const auto same = [&](Plane plane, int k) { return sameSide(plane, r + k, q); };
            const auto other = [&](Plane plane, int k) { return otherSide(plane, r + k, q); };
            const float* __restrict guu = same(kGreenSplit, -2);
            const float* __restrict gu = same(kGreenSplit, -1);
            const float* __restrict g0 = same(kGreenSplit, 0);
            const float* __restrict gd = same(kGreenSplit, 1);
            const float* __restrict gdd = same(kGreenSplit, 2);
            const float* __restrict gSide = other(kGreenSplit, 0);
            // Red and blue: above and below, and beside.
            const bool redRow = masks_.isRedRow(r);
            const Plane redAcross = redRow ? kMissingSplit : kMosaicSplit;
            const Plane blueAcross = redRow ? kMosaicSplit : kMissingSplit;
            const float* __restrict ru = same(redAcross, -1);
            const float* __restrict rd = same(redAcross, 1);
            const float* __restrict rSide = other(redRow ? kMosaicSplit : kMissingSplit, 0);
            const float* __restrict bu = same(blueAcross, -1);
            const float* __restrict bd = same(blueAcross, 1);
            const float* __restrict bSide = other(redRow ? kMissingSplit : kMosaicSplit, 0);
            const int jBegin = splitIndex(m, q), jEnd = splitIndex(w_ - m, q);
            auto pixels = [&](auto colourOnly) {
                constexpr bool kColour = decltype(colourOnly)::value;
                DEMOSAIC_ROW_LOOP
                for (int j = jBegin; j < jEnd; ++j) {
                    const int x = 2 * j + q;
                    const float g = g0[j];
                    const float gl = gSide[j], gr = gSide[j + 1];
                    float au = std::fabs(g - gu[j]) + std::fabs(gu[j] - guu[j]);
                    float ad = std::fabs(g - gd[j]) + std::fabs(gd[j] - gdd[j]);
                    float al = std::fabs(g - gl) + std::fabs(gl - g0[j - 1]);
                    float ar = std::fabs(g - gr) + std::fabs(gr - g0[j + 1]);
                    if constexpr (kColour)
                        platform::WeighAxialsAcross(cuu, cu, c0, cd, cdd, only[x], x, al, ar, au,
                                                    ad);
                    const float least = MinOf(MinOf(au, ad), MinOf(al, ar));
                    // Both colours share the weights, each the product of the
                    // other three spreads (see EdgeAverage).
                    const float su = EdgeSpread(au, least), sd = EdgeSpread(ad, least);
                    const float sl = EdgeSpread(al, least), sr = EdgeSpread(ar, least);
                    const float pud = su * sd, plr = sl * sr;
                    const float wu = sd * plr, wd = su * plr, wl = sr * pud, wr = sl * pud;
                    const float norm = 1.0f / (wu + wd + wl + wr);
                    const float dr = (wu * (ru[j] - gu[j]) + wd * (rd[j] - gd[j]) +
                                      wl * (rSide[j] - gl) + wr * (rSide[j + 1] - gr)) *
                                     norm;
                    const float db = (wu * (bu[j] - gu[j]) + wd * (bd[j] - gd[j]) +
                                      wl * (bSide[j] - gl) + wr * (bSide[j + 1] - gr)) *
                                     norm;
                    red[x] = g + dr;
                    blue[x] = g + db;
                }
            };
            // Rows without such detail skip its terms, which are 0 there.
            s_.rowFlags()[r] != 0 ? pixels(std::true_type{}) : pixels(std::false_type{});
        }
    }

    // Whether any of rows [m, size - m) has detail in red and blue alone.
    bool hasColourOnlyRows(int m) {
        const uint8_t* flags = s_.rowFlags();
        bool any = false;
        for (int r = m; r < h_ - m; ++r) any |= flags[r] != 0;
        return any;
    }

    // The rows around a row that the smoothing of red and blue reads: both
    // colours from the planes it smooths, green and ColourOnlyDetail.
    struct ColourRows {
        const float *ru, *r0, *rd, *bu, *b0, *bd, *gu, *g0, *gd, *only;
    };

    // Rows and columns [m, size - m) of toRed and toBlue: in rows with
    // detail in red and blue alone, each pixel from smooth(rows, x, red,
    // blue); the other rows copied from fromRed and fromBlue.
    template <typename Smooth>
    QUORVEX_WIDE_LOOPS void smoothRows(int m, Plane fromRed, Plane fromBlue, Plane toRed,
                                       Plane toBlue, Smooth smooth) {
        const uint8_t* flags = s_.rowFlags();
        for (int r = m; r < h_ - m; ++r) {
            const float* __restrict r0 = s_.row(fromRed, r);
            const float* __restrict b0 = s_.row(fromBlue, r);
            float* __restrict red = s_.row(toRed, r);
            float* __restrict blue = s_.row(toBlue, r);
            if (flags[r] == 0) {
                for (int x = m; x < w_ - m; ++x) {
                    red[x] = r0[x];
                    blue[x] = b0[x];
                }
                continue;
            }
            const ColourRows c{s_.row(fromRed, r - 1),
                               r0,
                               s_.row(fromRed, r + 1),
                               s_.row(fromBlue, r - 1),
                               b0,
                               s_.row(fromBlue, r + 1),
                               s_.row(kGreen, r - 1),
                               s_.row(kGreen, r),
                               s_.row(kGreen, r + 1),
                               s_.row(kColourOnly, r)};
            DEMOSAIC_ROW_LOOP
            for (int x = m; x < w_ - m; ++x) smooth(c, x, red[x], blue[x]);
        }
    }

    // Where red and blue alone carry detail, their differences from green
    // are averaged over 3×3 with weights 1, 2, 1 each way (so that every
    // pixel sees both row and column parities alike), in proportion to
    // ColourOnlyDetail, their own samples included: they are sampled at half
    // green's rate, and their finest detail, which green cannot place for
    // them, would otherwise come out as a maze; an edge of them keeps its
    // place. Writes rows and columns [m, size - m) of kRedSmoothed and
    // kBlueSmoothed.
    QUORVEX_WIDE_LOOPS
    void smoothColourOnly(int m) {
        smoothRows(m, kRed, kBlue, kRedSmoothed, kBlueSmoothed,
                   [](const ColourRows& c, int x, float& red, float& blue) {
                       const float meanR = (ColourDifferences(c.ru, c.gu, x) +
                                            2.0f * ColourDifferences(c.r0, c.g0, x) +
                                            ColourDifferences(c.rd, c.gd, x)) *
                                           (1.0f / 16.0f);
                       const float meanB = (ColourDifferences(c.bu, c.gu, x) +
                                            2.0f * ColourDifferences(c.b0, c.g0, x) +
                                            ColourDifferences(c.bd, c.gd, x)) *
                                           (1.0f / 16.0f);
                       red = c.r0[x] + c.only[x] * (c.g0[x] + meanR - c.r0[x]);
                       blue = c.b0[x] + c.only[x] * (c.g0[x] + meanB - c.b0[x]);
                   });
    }

    // Then, twice, each difference with 1, 2, 1 along the four directions
    // through the pixel, weighted by how little red's and blue's differences
    // change along each: the finest rings, which the 3×3 average leaves as a
    // faint maze, are smoothed along themselves, and an edge is not smoothed
    // across. In proportion to ColourOnlyDetail's fourth power, so that where
    // it is only partly sure (the corners of saturated patches, whose
    // neighbours along a diagonal are all ground) corners stay square. Reads
    // rows and columns [m - 1, size - m + 1) of the red and blue planes given
    // and writes [m, size - m) of the others.
    QUORVEX_WIDE_LOOPS
    void smoothAlong(int m, Plane fromRed, Plane fromBlue, Plane toRed, Plane toBlue) {
        smoothRows(m, fromRed, fromBlue, toRed, toBlue,
                   [](const ColourRows& c, int x, float& red, float& blue) {
                       const float *ru = c.ru, *r0 = c.r0, *rd = c.rd;
                       const float *bu = c.bu, *b0 = c.b0, *bd = c.bd;
                       const float *gu = c.gu, *g0 = c.g0, *gd = c.gd;
                       // Pairs of opposite neighbours: left and right, up and
                       // down, and the two diagonals.
                       const float dr[8] = {r0[x - 1] - g0[x - 1], r0[x + 1] - g0[x + 1],
                                            ru[x] - gu[x],         rd[x] - gd[x],
                                            ru[x - 1] - gu[x - 1], rd[x + 1] - gd[x + 1],
                                            ru[x + 1] - gu[x + 1], rd[x - 1] - gd[x - 1]};
                       const float db[8] = {b0[x - 1] - g0[x - 1], b0[x + 1] - g0[x + 1],
                                            bu[x] - gu[x],         bd[x] - gd[x],
                                            bu[x - 1] - gu[x - 1], bd[x + 1] - gd[x + 1],
                                            bu[x + 1] - gu[x + 1], bd[x - 1] - gd[x - 1]};
                       float norm = 0.0f, sumR = 0.0f, sumB = 0.0f;
                       for (int i = 0; i < 8; i += 2) {
                           const float change = std::fabs(dr[i + 1] - dr[i]) +
                                                std::fabs(db[i + 1] - db[i]) + kAlongSlack;
                           const float w = 1.0f / (change * change);
                           norm += w;
                           sumR += w * (dr[i] + dr[i + 1]);
                           sumB += w * (db[i] + db[i + 1]);
                       }
                       const float meanR = 0.25f * (sumR / norm + 2.0f * (r0[x] - g0[x]));
                       const float meanB = 0.25f * (sumB / norm + 2.0f * (b0[x] - g0[x]));
                       const float k2 = c.only[x] * c.only[x], k = k2 * k2;
                       red = r0[x] + k * (g0[x] + meanR - r0[x]);
                       blue = b0[x] + k * (g0[x] + meanB - b0[x]);
                   });
    }

    // A colour's differences from green at x - 1, x and x + 1, weighted 1,
    // 2, 1.
    static float ColourDifferences(const float* c, const float* g, int x) {
        return (c[x - 1] - g[x - 1]) + 2.0f * (c[x] - g[x]) + (c[x + 1] - g[x + 1]);
    }

    LMMSEScratch& s_;
    const platform::DemosaicTile& tile_;
    platform::CFAMaskSet masks_;
    int greenParity_;
    int w_;
    int h_;
};

}  // namespace

void DemosaicLMMSE(const CFAPlane& cfa, uint16_t* rgb, unsigned bands, const RawMatrix3* colour,
                   platform::ColourOnlyCells* cells) {
    platform::DemosaicInTiles(cfa, rgb, bands, colour, kTileWidth, kTileHeight, kPad, [&] {
        return [&, scratch = std::make_shared<LMMSEScratch>()](const platform::DemosaicTile& tile) {
            LMMSETile(*scratch, cfa.pattern, tile).run(cfa, rgb, colour, cells);
        };
    });
}

void DemosaicLMMSE(const CFAPlane& cfa, uint16_t* rgb, unsigned bands) {
    DemosaicLMMSE(cfa, rgb, bands, nullptr, nullptr);
}

void DemosaicLMMSE(const CFAPlane& cfa, uint16_t* rgb, unsigned bands, const RawMatrix3& colour) {
    DemosaicLMMSE(cfa, rgb, bands, &colour, nullptr);
}
