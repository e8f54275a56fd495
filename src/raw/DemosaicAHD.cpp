#include "raw/DemosaicAHD.h"

// The inner loops are written to vectorise; ask for it at any -O level.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC optimize("tree-vectorize", "vect-cost-model=dynamic", "no-trapping-math")
#endif

#include <algorithm>
#include <array>
#include <cmath>
#include <memory>
#include <type_traits>
#include <vector>

#include "platform/Colorimetry.h"
#include "raw/DemosaicTiles.h"

namespace {

// Tiles are as wide as this and at most as high; wide tiles keep the share
// of halo small while a tile's planes still stay near the core's caches.
constexpr int kTileWidth = 192;
constexpr int kTileHeight = 144;
// Exactly the halo: the last median pass writes rows and columns from 7 on.
constexpr int kPad = 7;
constexpr int kMedianPasses = 2;

// f(t) of CIELab for t = value / 65535, over twice full scale for headroom.
constexpr int kLabTableSize = 2 * 65536;

struct LabTable {
    std::vector<float> curve;
    // The index range, kept as data: clamps to bounds the compiler cannot
    // fold become single min and max instructions.
    float lowest = 0.0f;
    float highest = 0.0f;
};

// Never destroyed: a band thread may still read it while the program exits.
const LabTable& LabCurve() {
    static const LabTable& table = *[] {
        auto* t = new LabTable;
        t->curve.resize(kLabTableSize);
        for (int i = 0; i < kLabTableSize; ++i) {
            const double v = i / 65535.0;
            t->curve[static_cast<size_t>(i)] =
                static_cast<float>(v > 0.008856 ? std::cbrt(v) : 7.787 * v + 16.0 / 116.0);
        }
        t->highest = static_cast<float>(kLabTableSize - 1);
        return t;
    }();
    return table;
}

// Linear RGB with Rec. 709 primaries to XYZ, each row divided by the D65 white
// so that equal RGB lands on the Lab neutral axis. The camera data is not in
// these primaries, but homogeneity only needs a perceptually even space.
constexpr float toXYZEntry(int r, int c) {
    return float(platform::colorimetry::kXYZFromSRGB[r][c]) /
           float(platform::colorimetry::kD65XYZFiveDigits[r]);
}
constexpr float kToXYZ[3][3] = {
    {toXYZEntry(0, 0), toXYZEntry(0, 1), toXYZEntry(0, 2)},
    {toXYZEntry(1, 0), toXYZEntry(1, 1), toXYZEntry(1, 2)},
    {toXYZEntry(2, 0), toXYZEntry(2, 1), toXYZEntry(2, 2)},
};

// Later stages write over planes whose contents are no longer needed, which
// keeps a tile's memory, and so what the caches must hold, small.
enum Plane {
    kMosaic,
    kGreenH,
    kRedH,
    kBlueH,
    kGreenV,
    kRedV,
    kBlueV,
    kLH,
    kAH,
    kBH,
    kLV,
    kAV,
    kBV,
    kHomH,
    kHomV,
    kColourOnly,  // see ColourOnlyDetail
    kPlaneCount,
    // Once the homogeneity is counted, the Lab planes are free.
    kRed = kLV,
    kGreen = kAV,
    kBlue = kBV,
    // The artefact passes need only the selected image and the masks.
    kDiffRG = kMosaic,
    kDiffBG = kBH,
    kMedRG = kHomH,
    kMedBG = kHomV,
};

class AHDScratch {
public:
    AHDScratch()
        : stride_(kTileWidth + 2 * kPad),
          rows_(kTileHeight + 2 * kPad),
          storage_(new float[static_cast<size_t>(kPlaneCount) * stride_ * rows_]),
          index_(static_cast<size_t>(3 * stride_)),
          columns_(static_cast<size_t>(3 * stride_)),
          flags_(static_cast<size_t>(rows_)) {}

    float* plane(Plane p) { return storage_.get() + static_cast<size_t>(p) * planeSize(); }
    float* row(Plane p, int r) { return plane(p) + static_cast<size_t>(r) * stride_; }
    int* indexRow() { return index_.data(); }
    // Three rows for the sorted columns of the median filter.
    float* columnRow(int i) { return columns_.data() + static_cast<size_t>(i) * stride_; }
    // Per row: whether it has detail in red and blue alone.
    uint8_t* rowFlags() { return flags_.data(); }
    size_t planeSize() const { return static_cast<size_t>(stride_) * rows_; }

private:
    int stride_;
    int rows_;
    // Not zeroed: every stage writes what a later one reads.
    std::unique_ptr<float[]> storage_;
    std::vector<int> index_;
    std::vector<float> columns_;
    std::vector<uint8_t> flags_;
};

// Median of three by exchanges: the middle of the sorted triple.
inline float Median3(float a, float b, float c) {
    using platform::MaxOf;
    using platform::MinOf;
    return MaxOf(MinOf(a, b), MinOf(MaxOf(a, b), c));
}

class AHDTile {
public:
    AHDTile(AHDScratch& scratch, const CFAPattern& pattern, const platform::DemosaicTile& tile)
        : s_(scratch),
          tile_(tile),
          masks_(pattern, tile),
          greenParity_(platform::GreenParity(pattern)),
          w_(tile.paddedWidth()),
          h_(tile.paddedHeight()),
          stride_(tile.stride) {}

    // The tile's pixels go to `rgb`, rows of rgbWidth pixels from image
    // pixel (originX, originY).
    QUORVEX_WIDE_LOOPS
    void run(const CFAPlane& cfa, uint16_t* rgb, uint32_t rgbWidth, int originX, int originY,
             const RawMatrix3* colour, platform::ColourOnlyCells* cells) {
        platform::LoadPaddedMosaic(cfa, tile_, s_.plane(kMosaic));
        // The Lab planes are free until the candidates are converted.
        platform::SharedColourOnlyDetailPlane(s_.plane(kMosaic), tile_, 3, greenParity_,
                                              s_.plane(kColourOnly), s_.plane(kLH), s_.rowFlags(),
                                              cells);
        interpolateGreen(2);
        interpolateRedBlue<true>(kGreenH, kRedH, kBlueH, 3);
        interpolateRedBlue<false>(kGreenV, kRedV, kBlueV, 3);
        toLab(kRedH, kGreenH, kBlueH, kLH, kAH, kBH, 3);
        toLab(kRedV, kGreenV, kBlueV, kLV, kAV, kBV, 3);
        homogeneity(4);
        select(5);
        for (int pass = 0; pass < kMedianPasses; ++pass) reduceArtefacts(6 + pass, pass == 0);
        platform::DemosaicTile at = tile_;
        at.x0 -= originX;
        at.y0 -= originY;
        platform::StoreTileRGB(at, s_.row(kRed, 0), s_.row(kGreen, 0), s_.row(kBlue, 0), rgb,
                               rgbWidth, colour);
    }

private:
    // Green along rows and along columns; rows and columns [m, size - m).
    QUORVEX_WIDE_LOOPS
    void interpolateGreen(int m) {
        for (int r = m; r < h_ - m; ++r) {
            const float* __restrict c0 = s_.row(kMosaic, r);
            const float* __restrict u1 = s_.row(kMosaic, r - 1);
            const float* __restrict u2 = s_.row(kMosaic, r - 2);
            const float* __restrict d1 = s_.row(kMosaic, r + 1);
            const float* __restrict d2 = s_.row(kMosaic, r + 2);
            const float* __restrict green = masks_.forRow(r).green;
            float* __restrict gh = s_.row(kGreenH, r);
            float* __restrict gv = s_.row(kGreenV, r);
            using platform::ClampTo;
            using platform::MaxOf;
            using platform::MinOf;
            DEMOSAIC_ROW_LOOP
            for (int x = m; x < w_ - m; ++x) {
                const float c = c0[x], left = c0[x - 1], right = c0[x + 1];
                const float up = u1[x], down = d1[x];
                const float eh = 0.5f * (left + right) + 0.25f * (2.0f * c - c0[x - 2] - c0[x + 2]);
                const float ev = 0.5f * (up + down) + 0.25f * (2.0f * c - u2[x] - d2[x]);
                // Kept within the two greens it lies between: no overshoot at edges.
                const float ch = ClampTo(eh, MinOf(left, right), MaxOf(left, right));
                const float cv = ClampTo(ev, MinOf(up, down), MaxOf(up, down));
                const bool atGreen = green[x] != 0.0f;
                gh[x] = atGreen ? c : ch;
                gv[x] = atGreen ? c : cv;
            }
        }
    }

    // Red and blue from the colour differences against one direction's green.
    // Pairs of neighbours across the direction (and the diagonal four) are
    // weighted by how much the image changes on the way to each (green to
    // the neighbour, the site's own sample to the next one of its colour
    // beyond), so that a pixel by an edge takes its colour from its own side:
    // a row without blue samples next to a blue-poor patch would otherwise
    // take half that patch's blue deficit. The pair along the direction is
    // averaged plainly, as the direction's green was interpolated, except
    // where the detail is red and blue's alone (see below).
    template <bool AlongRows>
    QUORVEX_WIDE_LOOPS void interpolateRedBlue(Plane g, Plane red, Plane blue, int m) {
        using platform::EdgeAverage;
        using platform::EdgeSpread;
        using platform::MinOf;
        const uint8_t* flags = s_.rowFlags();
        for (int r = m; r < h_ - m; ++r) {
            // Inlined so that it is built for the vector width of its caller.
            auto row = [&](auto colourOnly) __attribute__((always_inline)) {
                constexpr bool kColour = decltype(colourOnly)::value;
                const bool redRow = masks_.isRedRow(r);
                const platform::CFARowMasks mk = masks_.forRow(r);
                const float* __restrict site = redRow ? mk.red : mk.blue;
                const float* __restrict c0 = s_.row(kMosaic, r);
                const float* __restrict cu = s_.row(kMosaic, r - 1);
                const float* __restrict cd = s_.row(kMosaic, r + 1);
                const float* __restrict cuu = s_.row(kMosaic, r - 2);
                const float* __restrict cdd = s_.row(kMosaic, r + 2);
                const float* __restrict g0 = s_.row(g, r);
                const float* __restrict gu = s_.row(g, r - 1);
                const float* __restrict gd = s_.row(g, r + 1);
                const float* __restrict only = s_.row(kColourOnly, r);
                float* __restrict own = s_.row(redRow ? red : blue, r);
                float* __restrict other = s_.row(redRow ? blue : red, r);
                // Where green is flat and red and blue are not, green tells
                // nothing of an edge's side or direction; so, in proportion:
                // at the row's own sites, a diagonal pair that disagrees more
                // than the other lies across an edge of the missing colour
                // (only the excess counts: where both straddle an edge, its
                // sides are told apart by the rest); at green sites, a
                // neighbour lies across an edge when the colour sampled beside
                // this site steps between here and beyond it. Both site kinds
                // then decide alike, so that the pixels along such an edge
                // agree, and both directions do, so that they agree too.
                // The row alternates sites of its own colour, which need the
                // other colour from the diagonals, and green sites, which need
                // both from the axial neighbours. Taken in pairs, one of each,
                // so that loads and stores stay contiguous.
                auto ownSite = [&](int x) {
                    const float gc = g0[x];
                    own[x] = c0[x];
                    other[x] =
                        gc + platform::DiagonalDifference<kColour>(cuu, cu, c0, cd, cdd, gu, gc, gd,
                                                                   kColour ? only[x] : 0.0f, x);
                };
                auto greenSite = [&](int x) {
                    const float c = c0[x], gc = g0[x];
                    const float dl = c0[x - 1] - g0[x - 1], dr = c0[x + 1] - g0[x + 1];
                    const float du = cu[x] - gu[x], dd = cd[x] - gd[x];
                    float al = 0.0f, ar = 0.0f, au = 0.0f, ad = 0.0f;
                    if constexpr (kColour)
                        platform::WeighAxialsAcross(cuu, cu, c0, cd, cdd, only[x], x, al, ar, au,
                                                    ad);
                    if (AlongRows) {
                        au += std::fabs(gc - gu[x]) + std::fabs(c - cuu[x]);
                        ad += std::fabs(gc - gd[x]) + std::fabs(c - cdd[x]);
                    } else {
                        al += std::fabs(gc - g0[x - 1]) + std::fabs(c - c0[x - 2]);
                        ar += std::fabs(gc - g0[x + 1]) + std::fabs(c - c0[x + 2]);
                    }
                    const float leastH = MinOf(al, ar), leastV = MinOf(au, ad);
                    own[x] =
                        gc + EdgeAverage(dl, EdgeSpread(al, leastH), dr, EdgeSpread(ar, leastH));
                    other[x] =
                        gc + EdgeAverage(du, EdgeSpread(au, leastV), dd, EdgeSpread(ad, leastV));
                };
                const int end = w_ - m;
                const int firstOwn = site[m] != 0.0f ? m : m + 1;
                if (firstOwn > m) greenSite(m);
                int x = firstOwn;
                DEMOSAIC_ROW_LOOP
                for (; x + 1 < end; x += 2) {
                    ownSite(x);
                    greenSite(x + 1);
                }
                if (x < end) ownSite(x);
            };
            // Rows without such detail skip its terms, which are 0 there.
            flags[r] != 0 ? row(std::true_type{}) : row(std::false_type{});
        }
    }

    QUORVEX_WIDE_LOOPS
    void toLab(Plane rp, Plane gp, Plane bp, Plane lp, Plane ap, Plane bbp, int m) {
        const LabTable& table = LabCurve();
        const float* curve = table.curve.data();
        const float lowest = table.lowest, highest = table.highest;
        int* __restrict idx = s_.indexRow();
        for (int r = m; r < h_ - m; ++r) {
            const float* __restrict rr = s_.row(rp, r);
            const float* __restrict gg = s_.row(gp, r);
            const float* __restrict bb = s_.row(bp, r);
            float* __restrict L = s_.row(lp, r);
            float* __restrict A = s_.row(ap, r);
            float* __restrict B = s_.row(bbp, r);
            const int n = w_ - 2 * m;
            // Table indices first so that the arithmetic vectorises and only
            // the look-ups stay scalar.
            int* __restrict ix = idx;
            int* __restrict iy = idx + stride_;
            int* __restrict iz = idx + 2 * stride_;
            DEMOSAIC_ROW_LOOP
            for (int i = 0; i < n; ++i) {
                const float r0 = rr[m + i], g0 = gg[m + i], b0 = bb[m + i];
                const float x = kToXYZ[0][0] * r0 + kToXYZ[0][1] * g0 + kToXYZ[0][2] * b0;
                const float y = kToXYZ[1][0] * r0 + kToXYZ[1][1] * g0 + kToXYZ[1][2] * b0;
                const float z = kToXYZ[2][0] * r0 + kToXYZ[2][1] * g0 + kToXYZ[2][2] * b0;
                ix[i] = static_cast<int>(platform::ClampTo(x, lowest, highest));
                iy[i] = static_cast<int>(platform::ClampTo(y, lowest, highest));
                iz[i] = static_cast<int>(platform::ClampTo(z, lowest, highest));
            }
            DEMOSAIC_ROW_LOOP
            for (int i = 0; i < n; ++i) {
                const int x = m + i;
                const float fx = curve[idx[i]];
                const float fy = curve[idx[stride_ + i]];
                const float fz = curve[idx[2 * stride_ + i]];
                L[x] = 116.0f * fy - 16.0f;
                A[x] = 500.0f * (fx - fy);
                B[x] = 200.0f * (fy - fz);
            }
        }
    }

    // Counts, for each direction, the 4-neighbours whose luminance and
    // chrominance stay within the tolerances set by the smaller of the two
    // directions' own along-the-axis differences.
    QUORVEX_WIDE_LOOPS
    void homogeneity(int m) {
        for (int r = m; r < h_ - m; ++r) {
            const float* __restrict lh = s_.row(kLH, r);
            const float* __restrict ah = s_.row(kAH, r);
            const float* __restrict bh = s_.row(kBH, r);
            const float* __restrict lhu = s_.row(kLH, r - 1);
            const float* __restrict ahu = s_.row(kAH, r - 1);
            const float* __restrict bhu = s_.row(kBH, r - 1);
            const float* __restrict lhd = s_.row(kLH, r + 1);
            const float* __restrict ahd = s_.row(kAH, r + 1);
            const float* __restrict bhd = s_.row(kBH, r + 1);
            const float* __restrict lv = s_.row(kLV, r);
            const float* __restrict av = s_.row(kAV, r);
            const float* __restrict bv = s_.row(kBV, r);
            const float* __restrict lvu = s_.row(kLV, r - 1);
            const float* __restrict avu = s_.row(kAV, r - 1);
            const float* __restrict bvu = s_.row(kBV, r - 1);
            const float* __restrict lvd = s_.row(kLV, r + 1);
            const float* __restrict avd = s_.row(kAV, r + 1);
            const float* __restrict bvd = s_.row(kBV, r + 1);
            float* __restrict homH = s_.row(kHomH, r);
            float* __restrict homV = s_.row(kHomV, r);
            auto sq = [](float a, float b) { return a * a + b * b; };
            DEMOSAIC_ROW_LOOP
            for (int x = m; x < w_ - m; ++x) {
                // Differences to left, right, up, down in each direction's image.
                const float dlh0 = std::fabs(lh[x] - lh[x - 1]);
                const float dlh1 = std::fabs(lh[x] - lh[x + 1]);
                const float dlh2 = std::fabs(lh[x] - lhu[x]);
                const float dlh3 = std::fabs(lh[x] - lhd[x]);
                const float dlv0 = std::fabs(lv[x] - lv[x - 1]);
                const float dlv1 = std::fabs(lv[x] - lv[x + 1]);
                const float dlv2 = std::fabs(lv[x] - lvu[x]);
                const float dlv3 = std::fabs(lv[x] - lvd[x]);
                const float dch0 = sq(ah[x] - ah[x - 1], bh[x] - bh[x - 1]);
                const float dch1 = sq(ah[x] - ah[x + 1], bh[x] - bh[x + 1]);
                const float dch2 = sq(ah[x] - ahu[x], bh[x] - bhu[x]);
                const float dch3 = sq(ah[x] - ahd[x], bh[x] - bhd[x]);
                const float dcv0 = sq(av[x] - av[x - 1], bv[x] - bv[x - 1]);
                const float dcv1 = sq(av[x] - av[x + 1], bv[x] - bv[x + 1]);
                const float dcv2 = sq(av[x] - avu[x], bv[x] - bvu[x]);
                const float dcv3 = sq(av[x] - avd[x], bv[x] - bvd[x]);
                using platform::MaxOf;
                using platform::MinOf;
                const float epsL = MinOf(MaxOf(dlh0, dlh1), MaxOf(dlv2, dlv3));
                const float epsC = MinOf(MaxOf(dch0, dch1), MaxOf(dcv2, dcv3));
                auto near = [&](float dl, float dc) {
                    return ((dl <= epsL) & (dc <= epsC)) ? 1.0f : 0.0f;
                };
                homH[x] = near(dlh0, dch0) + near(dlh1, dch1) + near(dlh2, dch2) + near(dlh3, dch3);
                homV[x] = near(dlv0, dcv0) + near(dlv1, dcv1) + near(dlv2, dcv2) + near(dlv3, dcv3);
            }
        }
    }

    // Each pixel takes the direction whose homogeneity counts, summed over
    // 3×3 (by columns of three first), are the larger; equal sums average the
    // two. The counts are small whole numbers, so every sum is exact whatever
    // its order. The sums stay in registers: the row is picked as it is summed.
    QUORVEX_WIDE_LOOPS
    void select(int m) {
        float* __restrict columnH = s_.columnRow(0);
        float* __restrict columnV = s_.columnRow(1);
        for (int r = m; r < h_ - m; ++r) {
            const float* __restrict hu = s_.row(kHomH, r - 1);
            const float* __restrict h0 = s_.row(kHomH, r);
            const float* __restrict hd = s_.row(kHomH, r + 1);
            const float* __restrict vu = s_.row(kHomV, r - 1);
            const float* __restrict v0 = s_.row(kHomV, r);
            const float* __restrict vd = s_.row(kHomV, r + 1);
            DEMOSAIC_ROW_LOOP
            for (int x = m - 1; x < w_ - m + 1; ++x) {
                columnH[x] = hu[x] + h0[x] + hd[x];
                columnV[x] = vu[x] + v0[x] + vd[x];
            }
            const float* __restrict rh = s_.row(kRedH, r);
            const float* __restrict rv = s_.row(kRedV, r);
            const float* __restrict gh = s_.row(kGreenH, r);
            const float* __restrict gv = s_.row(kGreenV, r);
            const float* __restrict bh = s_.row(kBlueH, r);
            const float* __restrict bv = s_.row(kBlueV, r);
            float* __restrict ro = s_.row(kRed, r);
            float* __restrict go = s_.row(kGreen, r);
            float* __restrict bo = s_.row(kBlue, r);
            DEMOSAIC_ROW_LOOP
            for (int x = m; x < w_ - m; ++x) {
                const float ha = columnH[x - 1] + columnH[x] + columnH[x + 1];
                const float hb = columnV[x - 1] + columnV[x] + columnV[x + 1];
                // Both candidates and their mean made, then one kept: picked
                // in branches, the compiler would load them under masks.
                const bool tie = ha == hb, horizontal = ha > hb;
                auto pick = [&](float a, float b) {
                    const float mean = 0.5f * (a + b);
                    const float either = horizontal ? a : b;
                    return tie ? mean : either;
                };
                const float r = pick(rh[x], rv[x]), g = pick(gh[x], gv[x]),
                            b = pick(bh[x], bv[x]);
                ro[x] = r;
                go[x] = g;
                bo[x] = b;
            }
        }
    }

    // Median-filters R−G and B−G over 3×3 and rebuilds the interpolated
    // samples from them; the sensor's own samples are kept. Where the detail
    // is red and blue's alone, the medians would turn it into a maze: there,
    // in proportion to ColourOnlyDetail, the first pass averages R−G and B−G
    // over 3×3 with weights 1, 2, 1 each way instead, the sensor's samples
    // included, as the alternate rendering does (see DemosaicLMMSE), and the
    // second keeps what the first made.
    QUORVEX_WIDE_LOOPS
    void reduceArtefacts(int m, bool first) {
        for (int r = m - 1; r < h_ - m + 1; ++r) {
            const float* __restrict rr = s_.row(kRed, r);
            const float* __restrict gg = s_.row(kGreen, r);
            const float* __restrict bb = s_.row(kBlue, r);
            float* __restrict drg = s_.row(kDiffRG, r);
            float* __restrict dbg = s_.row(kDiffBG, r);
            DEMOSAIC_ROW_LOOP
            for (int x = m - 1; x < w_ - m + 1; ++x) {
                drg[x] = rr[x] - gg[x];
                dbg[x] = bb[x] - gg[x];
            }
        }
        median3x3(kDiffRG, kMedRG, m);
        median3x3(kDiffBG, kMedBG, m);
        for (int r = m; r < h_ - m; ++r) {
            // A row holds green and one other colour: only that one's
            // samples, at the sites the mask marks, are the sensor's.
            const bool redRow = masks_.isRedRow(r);
            const platform::CFARowMasks mk = masks_.forRow(r);
            const float* __restrict isOwn = redRow ? mk.red : mk.blue;
            const float* __restrict mOwn = s_.row(redRow ? kMedRG : kMedBG, r);
            const float* __restrict mOther = s_.row(redRow ? kMedBG : kMedRG, r);
            float* __restrict own = s_.row(redRow ? kRed : kBlue, r);
            float* __restrict gg = s_.row(kGreen, r);
            float* __restrict other = s_.row(redRow ? kBlue : kRed, r);
            const float* __restrict only = s_.row(kColourOnly, r);
            const Plane diffOwn = redRow ? kDiffRG : kDiffBG,
                        diffOther = redRow ? kDiffBG : kDiffRG;
            const float* __restrict ou = s_.row(diffOwn, r - 1);
            const float* __restrict o1 = s_.row(diffOwn, r);
            const float* __restrict od = s_.row(diffOwn, r + 1);
            const float* __restrict tu = s_.row(diffOther, r - 1);
            const float* __restrict t1 = s_.row(diffOther, r);
            const float* __restrict td = s_.row(diffOther, r + 1);
            auto row = [&](auto colourOnly) {
                constexpr bool kColour = decltype(colourOnly)::value;
                DEMOSAIC_ROW_LOOP
                for (int x = m; x < w_ - m; ++x) {
                    const bool sampled = isOwn[x] != 0.0f;
                    const float o0 = own[x], g0 = gg[x], b0 = other[x];
                    const float dOwn = mOwn[x], dOther = mOther[x];
                    const float g = sampled ? o0 - dOwn : g0;
                    const float o = sampled ? o0 : g + dOwn, b = g + dOther;
                    if constexpr (kColour) {
                        const float k = only[x];
                        const float meanOwn =
                            (Weigh121(ou, x) + 2.0f * Weigh121(o1, x) + Weigh121(od, x)) *
                            (1.0f / 16.0f);
                        const float meanOther =
                            (Weigh121(tu, x) + 2.0f * Weigh121(t1, x) + Weigh121(td, x)) *
                            (1.0f / 16.0f);
                        // The first pass's averages, or what it made.
                        const float ownKept = first ? g0 + meanOwn : o0;
                        const float otherKept = first ? g0 + meanOther : b0;
                        own[x] = o + k * (ownKept - o);
                        gg[x] = g + k * (g0 - g);
                        other[x] = b + k * (otherKept - b);
                    } else {
                        own[x] = o;
                        gg[x] = g;
                        other[x] = b;
                    }
                }
            };
            s_.rowFlags()[r] != 0 ? row(std::true_type{}) : row(std::false_type{});
        }
    }

    // A row's values at x - 1, x and x + 1 weighted 1, 2, 1.
    static float Weigh121(const float* v, int x) { return v[x - 1] + 2.0f * v[x] + v[x + 1]; }

    // The median of nine is the median of the largest column minimum, the
    // median of the column medians and the smallest column maximum once each
    // column of three is sorted; each column's sort serves three outputs.
    QUORVEX_WIDE_LOOPS
    void median3x3(Plane in, Plane out, int m) {
        using platform::MaxOf;
        using platform::MinOf;
        float* __restrict lo = s_.columnRow(0);
        float* __restrict mid = s_.columnRow(1);
        float* __restrict hi = s_.columnRow(2);
        for (int r = m; r < h_ - m; ++r) {
            const float* __restrict a = s_.row(in, r - 1);
            const float* __restrict b = s_.row(in, r);
            const float* __restrict c = s_.row(in, r + 1);
            float* __restrict o = s_.row(out, r);
            DEMOSAIC_ROW_LOOP
            for (int x = m - 1; x < w_ - m + 1; ++x) {
                const float a0 = MinOf(a[x], b[x]), b0 = MaxOf(a[x], b[x]);
                const float b1 = MinOf(b0, c[x]), c1 = MaxOf(b0, c[x]);
                lo[x] = MinOf(a0, b1);
                mid[x] = MaxOf(a0, b1);
                hi[x] = c1;
            }
            DEMOSAIC_ROW_LOOP
            for (int x = m; x < w_ - m; ++x) {
                const float low = MaxOf(MaxOf(lo[x - 1], lo[x]), lo[x + 1]);
                const float high = MinOf(MinOf(hi[x - 1], hi[x]), hi[x + 1]);
                o[x] = Median3(low, Median3(mid[x - 1], mid[x], mid[x + 1]), high);
            }
        }
    }

    AHDScratch& s_;
    const platform::DemosaicTile& tile_;
    platform::CFAMaskSet masks_;
    int greenParity_;
    int w_;
    int h_;
    int stride_;
};

}  // namespace

void DemosaicAHD(const CFAPlane& cfa, uint16_t* rgb, unsigned bands, const RawMatrix3* colour,
                 platform::ColourOnlyCells* cells) {
    LabCurve();  // built once, before the bands share it
    platform::DemosaicInTiles(cfa, rgb, bands, colour, kTileWidth, kTileHeight, kPad, [&] {
        return [&, scratch = std::make_shared<AHDScratch>()](const platform::DemosaicTile& tile) {
            AHDTile(*scratch, cfa.pattern, tile).run(cfa, rgb, cfa.width, 0, 0, colour, cells);
        };
    });
}

void DemosaicAHDArea(const CFAPlane& cfa, const RawCrop& area, uint16_t* rgb, unsigned bands) {
    platform::CheckDemosaicArguments(cfa, rgb);
    LabCurve();
    platform::DemosaicAreaInTiles(
        cfa, area.left, area.top, area.width, area.height, bands, kTileWidth, kTileHeight, kPad,
        [&] {
            return
                [&, scratch = std::make_shared<AHDScratch>()](const platform::DemosaicTile& tile) {
                    AHDTile(*scratch, cfa.pattern, tile)
                        .run(cfa, rgb, area.width, int(area.left), int(area.top), nullptr, nullptr);
                };
        });
}

void DemosaicAHD(const CFAPlane& cfa, uint16_t* rgb, unsigned bands) {
    DemosaicAHD(cfa, rgb, bands, nullptr, nullptr);
}

void DemosaicAHD(const CFAPlane& cfa, uint16_t* rgb, unsigned bands, const RawMatrix3& colour) {
    DemosaicAHD(cfa, rgb, bands, &colour, nullptr);
}
