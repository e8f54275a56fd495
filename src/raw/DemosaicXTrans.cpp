// The pixel loops only vectorise when asked to at any level, with square
// roots that need not set errno and comparisons that may be assumed not to
// trap.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC optimize("tree-vectorize", "vect-cost-model=dynamic", "no-math-errno", "no-trapping-math")
#endif

#include "raw/DemosaicXTrans.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <stdexcept>
#include <vector>

#include "platform/RowBands.h"
#include "raw/DemosaicTiles.h"

namespace {

using platform::DemosaicTile;

constexpr int kTileSize = 128;
constexpr int kGreen = 1;
// How far along a direction the master looks for the nearest green.
constexpr int kSearch = 3;
// Four directions and the smooth rendering.
constexpr int kCandidates = 5;

// The radius of the isotropic interpolations: the least at which every
// window holds every colour (1 for X-Trans); wider ones blur colour edges.
int SmoothRadius(const CFALayout& layout) { return std::max(1, layout.coverRadius()); }
int SmoothHalo(const CFALayout& layout) { return 4 * SmoothRadius(layout); }
int Halo(const CFALayout& layout) {
    // The candidates' greens (from the mosaic, else the smooth rendering),
    // their red and blue, the variation, its window, the median and the
    // guided average.
    const int radius = SmoothRadius(layout);
    return std::max(SmoothHalo(layout), kSearch) + radius + 1 + 2 + 1 + 2;
}

int Mirror(int i, int n) { return n == 1 ? 0 : platform::Reflect101(i, n); }

// A tile's planes, each tile.stride × paddedHeight floats, and its colours.
class TileScratch {
public:
    TileScratch(int stride, int rows, int planes)
        : size_(size_t(stride) * size_t(rows)),
          store_(size_ * size_t(planes)),
          colour_(size_) {}
    float* plane(int i) { return store_.data() + size_ * size_t(i); }
    uint8_t* colour() { return colour_.data(); }

private:
    size_t size_;
    std::vector<float> store_;
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
    kLightness = kFirstScore + 5,
    kChromaA,
    kChromaB,
    kAlternateR,
    kAlternateG,
    kAlternateB,
    kPlaneCount
};

struct Frame {
    int stride;  // floats per row
    int width;   // padded columns in use
    int height;  // padded rows in use
    size_t at(int y, int x) const { return size_t(y) * size_t(stride) + size_t(x); }
};

void LoadTile(const MosaicPlane& mosaic, const DemosaicTile& tile, TileScratch& s) {
    const int w = int(mosaic.width), h = int(mosaic.height);
    float* m = s.plane(kMosaic);
    uint8_t* colour = s.colour();
    float* masks[3] = {s.plane(kMaskR), s.plane(kMaskG), s.plane(kMaskB)};
    for (int r = 0; r < tile.paddedHeight(); ++r) {
        const int y = Mirror(tile.y0 - tile.pad + r, h);
        const uint16_t* src = mosaic.samples + size_t(y) * mosaic.rowStride;
        const size_t row = size_t(r) * size_t(tile.stride);
        for (int c = 0; c < tile.paddedWidth(); ++c) {
            const int x = Mirror(tile.x0 - tile.pad + c, w);
            const uint8_t code = mosaic.layout.colorAt(uint32_t(y), uint32_t(x));
            m[row + size_t(c)] = src[x];
            colour[row + size_t(c)] = code;
            for (int k = 0; k < 3; ++k) masks[k][row + size_t(c)] = code == k ? 1.0f : 0.0f;
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

// Normalised convolution with a separable tent of the given radius over the
// sites of colour c (mask 1 there, else 0): the weighted mean of `values`
// there, or the plain mean of a wider window where this one holds none, or
// `empty` where that holds none either. Written for rows and columns
// [radius, size - radius); what lies outside keeps older values, in the
// halo that no output depends on.
template <int kRadius>
void SiteMeanOf(const Frame& f, const float* values, const float* mask, const uint8_t* colour,
                int c, int runtimeRadius, float* out, float empty, float* num, float* den) {
    // kRadius 0: the radius known only at run time.
    const int radius = kRadius > 0 ? kRadius : runtimeRadius;
    const int x0 = radius, x1 = f.width - radius;
    if (x1 <= x0) return;
    for (int y = 0; y < f.height; ++y) {
        const float* __restrict v = values + f.at(y, 0);
        const float* __restrict k = mask + f.at(y, 0);
        float* __restrict n = num + f.at(y, 0);
        float* __restrict d = den + f.at(y, 0);
        DEMOSAIC_ROW_LOOP
        for (int x = x0; x < x1; ++x) {
            float sn = 0, sd = 0;
            for (int j = -radius; j <= radius; ++j) {
                const float wj = float(radius + 1 - std::abs(j));
                sn += wj * v[x + j] * k[x + j];
                sd += wj * k[x + j];
            }
            n[x] = sn;
            d[x] = sd;
        }
    }
    for (int y = radius; y < f.height - radius; ++y) {
        float* __restrict o = out + f.at(y, 0);
        int lacking = 0;
        DEMOSAIC_ROW_LOOP
        for (int x = x0; x < x1; ++x) {
            float sn = 0, sd = 0;
            for (int j = -radius; j <= radius; ++j) {
                const float wj = float(radius + 1 - std::abs(j));
                sn += wj * num[f.at(y + j, x)];
                sd += wj * den[f.at(y + j, x)];
            }
            o[x] = sn / (sd > 0 ? sd : 1.0f);
            lacking |= sd <= 0;
        }
        if (!lacking) continue;
        // Rare: only where a mirrored edge leaves a colour out.
        for (int x = x0; x < x1; ++x) {
            float sd = 0;
            for (int j = -radius; j <= radius; ++j) sd += den[f.at(y + j, x)];
            if (sd <= 0) o[x] = WiderMean(f, values, colour, c, radius, y, x, empty);
        }
    }
}

void SiteMean(const Frame& f, const float* values, const float* mask, const uint8_t* colour,
              int c, int radius, float* out, float empty, float* num, float* den) {
    switch (radius) {
        case 1:
            return SiteMeanOf<1>(f, values, mask, colour, c, 1, out, empty, num, den);
        case 2:
            return SiteMeanOf<2>(f, values, mask, colour, c, 2, out, empty, num, den);
        default:
            return SiteMeanOf<0>(f, values, mask, colour, c, radius, out, empty, num, den);
    }
}

// Red (c 0) or blue (c 2) everywhere as green plus the mean colour
// difference at the sites of c; the samples themselves where they are.
void ColourFromGreen(const Frame& f, TileScratch& s, const float* green, int c, int radius,
                     float* out) {
    const float* m = s.plane(kMosaic);
    const uint8_t* colour = s.colour();
    float* diff = s.plane(kDifference);
    float* full = s.plane(kFull);
    for (int y = 0; y < f.height; ++y)
        for (int x = 0; x < f.width; ++x) {
            const size_t i = f.at(y, x);
            diff[i] = colour[i] == c ? m[i] - green[i] : 0.0f;
        }
    SiteMean(f, diff, s.plane(kMaskR + c), colour, c, radius, full, 0.0f, s.plane(kNumerator), s.plane(kDenominator));
    for (int y = 0; y < f.height; ++y)
        for (int x = 0; x < f.width; ++x) {
            const size_t i = f.at(y, x);
            out[i] = colour[i] == c ? m[i] : green[i] + full[i];
        }
}

// The alternate's rendering into the smooth planes.
void SmoothTile(const Frame& f, TileScratch& s, int radius) {
    const float* m = s.plane(kMosaic);
    const uint8_t* colour = s.colour();
    float* green = s.plane(kSmoothG);
    float* red = s.plane(kSmoothR);
    float* blue = s.plane(kSmoothB);
    // Green from green's neighbours; where none are near, the sample as grey.
    constexpr float kNone = -1.0f;
    SiteMean(f, m, s.plane(kMaskG), colour, kGreen, radius, green, kNone, s.plane(kNumerator),
             s.plane(kDenominator));
    for (int y = 0; y < f.height; ++y)
        for (int x = 0; x < f.width; ++x) {
            const size_t i = f.at(y, x);
            if (colour[i] == kGreen || green[i] == kNone) green[i] = m[i];
        }
    ColourFromGreen(f, s, green, 0, radius, red);
    ColourFromGreen(f, s, green, 2, radius, blue);
    // Green again at red and blue sites: the sample less the colour
    // difference the green sites around it show.
    float* refined = s.plane(kRefined);
    std::copy(green, green + f.at(f.height, 0), refined);
    for (int c : {0, 2}) {
        const float* estimate = c == 0 ? red : blue;
        float* diff = s.plane(kDifference);
        float* full = s.plane(kFull);
        for (int y = 0; y < f.height; ++y)
            for (int x = 0; x < f.width; ++x) {
                const size_t i = f.at(y, x);
                diff[i] = colour[i] == kGreen ? estimate[i] - m[i] : 0.0f;
            }
        SiteMean(f, diff, s.plane(kMaskG), colour, kGreen, radius, full, 0.0f, s.plane(kNumerator),
                 s.plane(kDenominator));
        for (int y = 0; y < f.height; ++y)
            for (int x = 0; x < f.width; ++x) {
                const size_t i = f.at(y, x);
                if (colour[i] == c) refined[i] = m[i] - full[i];
            }
    }
    std::copy(refined, refined + f.at(f.height, 0), green);
    ColourFromGreen(f, s, green, 0, radius, red);
    ColourFromGreen(f, s, green, 2, radius, blue);
}

constexpr int kDirections[4][2] = {{0, 1}, {1, 0}, {1, 1}, {1, -1}};  // (dy, dx)

// Green at red and blue sites along one direction: the nearest greens before
// and after it, weighted by nearness. Along an edge this is the green of the
// pixel's own side, which a colour-difference estimate from the smooth
// rendering (blurred across the edge) is not.
void DirectionalGreen(const Frame& f, TileScratch& s, int direction, float* out) {
    const float* m = s.plane(kMosaic);
    const uint8_t* colour = s.colour();
    const int dy = kDirections[direction][0], dx = kDirections[direction][1];
    for (int y = 0; y < f.height; ++y)
        for (int x = 0; x < f.width; ++x) {
            const size_t i = f.at(y, x);
            if (colour[i] == kGreen) {
                out[i] = m[i];
                continue;
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
                out[i] = (float(steps[1]) * green[0] + float(steps[0]) * green[1]) /
                         float(steps[0] + steps[1]);
            else if (steps[0] || steps[1])
                out[i] = steps[0] ? green[0] : green[1];
            else
                out[i] = s.plane(kSmoothG)[i];
        }
}

float Tone(float v) { return std::sqrt(std::max(v, 0.0f)); }

// How much a candidate rendering varies around each pixel, in lightness and
// two colour differences on a square-root tone, summed over a 5 × 5 window;
// for rows and columns [3, size - 3).
void Variation(const Frame& f, TileScratch& s, const float* r, const float* g, const float* b,
               float* score) {
    float* L = s.plane(kLightness);
    float* A = s.plane(kChromaA);
    float* B = s.plane(kChromaB);
    for (int y = 0; y < f.height; ++y) {
        const size_t row = f.at(y, 0);
        DEMOSAIC_ROW_LOOP
        for (int x = 0; x < f.width; ++x) {
            const size_t i = row + size_t(x);
            const float tg = Tone(g[i]);
            L[i] = Tone(0.25f * r[i] + 0.5f * g[i] + 0.25f * b[i]);
            A[i] = Tone(r[i]) - tg;
            B[i] = Tone(b[i]) - tg;
        }
    }
    float* local = s.plane(kNumerator);
    const size_t up = size_t(f.stride);
    for (int y = 1; y < f.height - 1; ++y) {
        const size_t row = f.at(y, 0);
        DEMOSAIC_ROW_LOOP
        for (int x = 1; x < f.width - 1; ++x) {
            const size_t i = row + size_t(x);
            const float l = L[i], a = A[i], bb = B[i];
            local[i] = std::fabs(l - L[i - 1]) + std::fabs(l - L[i + 1]) + std::fabs(l - L[i - up]) +
                       std::fabs(l - L[i + up]) + std::fabs(a - A[i - 1]) + std::fabs(a - A[i + 1]) +
                       std::fabs(a - A[i - up]) + std::fabs(a - A[i + up]) +
                       std::fabs(bb - B[i - 1]) + std::fabs(bb - B[i + 1]) +
                       std::fabs(bb - B[i - up]) + std::fabs(bb - B[i + up]);
        }
    }
    float* rows = s.plane(kDenominator);
    for (int y = 1; y < f.height - 1; ++y) {
        const size_t row = f.at(y, 0);
        DEMOSAIC_ROW_LOOP
        for (int x = 3; x < f.width - 3; ++x) {
            const size_t i = row + size_t(x);
            rows[i] = local[i - 2] + local[i - 1] + local[i] + local[i + 1] + local[i + 2];
        }
    }
    for (int y = 3; y < f.height - 3; ++y) {
        const size_t row = f.at(y, 0);
        DEMOSAIC_ROW_LOOP
        for (int x = 3; x < f.width - 3; ++x) {
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
[[gnu::always_inline]] inline float Median9(float p0, float p1, float p2, float p3, float p4, float p5, float p6,
                     float p7, float p8) {
    Order(p1, p2), Order(p4, p5), Order(p7, p8);
    Order(p0, p1), Order(p3, p4), Order(p6, p7);
    Order(p1, p2), Order(p4, p5), Order(p7, p8);
    Order(p0, p3), Order(p5, p8), Order(p4, p7);
    Order(p3, p6), Order(p1, p4), Order(p2, p5);
    Order(p4, p7), Order(p4, p2), Order(p6, p4);
    Order(p4, p2);
    return p4;
}

[[gnu::always_inline]] inline float MedianAround(const float* d, size_t i, size_t up) {
    return Median9(d[i - up - 1], d[i - up], d[i - up + 1], d[i - 1], d[i], d[i + 1],
                   d[i + up - 1], d[i + up], d[i + up + 1]);
}

// A 3 × 3 median of red less green and blue less green, written back to the
// colours a pixel did not sample; for rows and columns [1, size - 1).
void MedianColourDifferences(const Frame& f, TileScratch& s, float* r, const float* g, float* b) {
    const uint8_t* colour = s.colour();
    float* dr = s.plane(kLightness);
    float* db = s.plane(kChromaA);
    const size_t end = f.at(f.height, 0);
    for (size_t i = 0; i < end; ++i) {
        dr[i] = r[i] - g[i];
        db[i] = b[i] - g[i];
    }
    const size_t up = size_t(f.stride);
    for (int y = 1; y + 1 < f.height; ++y) {
        const size_t row = f.at(y, 0);
        DEMOSAIC_ROW_LOOP
        for (int x = 1; x + 1 < f.width; ++x) {
            const size_t i = row + size_t(x);
            const float red = g[i] + MedianAround(dr, i, up);
            const float blue = g[i] + MedianAround(db, i, up);
            r[i] = colour[i] != 0 ? red : r[i];
            b[i] = colour[i] != 2 ? blue : b[i];
        }
    }
}

// Red less green and blue less green averaged over the 5 × 5 around each
// pixel, each neighbour weighted by how alike its green is (on the
// square-root tone, falling to nothing at 16 of 256 steps): false colour from the
// sparse red and blue samples of fine texture is averaged out, while colour
// stays on its side of an edge, which green shows. Written back to the
// colours a pixel did not sample; for rows and columns [2, size - 2).
void GuidedColourDifferences(const Frame& f, TileScratch& s, float* r, const float* g, float* b) {
    constexpr int kRadius = 2;
    constexpr float kInverseSimilar = 1.0f / 16.0f;
    const uint8_t* colour = s.colour();
    float* dr = s.plane(kLightness);
    float* db = s.plane(kChromaA);
    float* tone = s.plane(kChromaB);
    const size_t end = f.at(f.height, 0);
    DEMOSAIC_ROW_LOOP
    for (size_t i = 0; i < end; ++i) {
        dr[i] = r[i] - g[i];
        db[i] = b[i] - g[i];
        tone[i] = Tone(g[i]);
    }
    // Row by row, one neighbour offset at a time across the row, so that the
    // sums run along contiguous samples.
    float* __restrict total = s.plane(kNumerator);
    float* __restrict sumR = s.plane(kDenominator);
    float* __restrict sumB = s.plane(kDifference);
    const int x0 = kRadius, x1 = f.width - kRadius;
    for (int y = kRadius; y < f.height - kRadius; ++y) {
        const size_t row = f.at(y, 0);
        for (int x = x0; x < x1; ++x) total[x] = sumR[x] = sumB[x] = 0.0f;
        for (int dy = -kRadius; dy <= kRadius; ++dy)
            for (int dx = -kRadius; dx <= kRadius; ++dx) {
                const ptrdiff_t offset = ptrdiff_t(dy) * f.stride + dx;
                const float* __restrict t0 = tone + row;
                const float* __restrict tj = tone + ptrdiff_t(row) + offset;
                const float* __restrict rj = dr + ptrdiff_t(row) + offset;
                const float* __restrict bj = db + ptrdiff_t(row) + offset;
                DEMOSAIC_ROW_LOOP
                for (int x = x0; x < x1; ++x) {
                    const float t = (tj[x] - t0[x]) * kInverseSimilar;
                    const float u = 1.0f - platform::MinOf(t * t, 1.0f);
                    const float w = u * u;
                    total[x] += w;
                    sumR[x] += w * rj[x];
                    sumB[x] += w * bj[x];
                }
            }
        DEMOSAIC_ROW_LOOP
        for (int x = x0; x < x1; ++x) {
            const size_t i = row + size_t(x);
            const float red = g[i] + sumR[x] / total[x], blue = g[i] + sumB[x] / total[x];
            r[i] = colour[i] != 0 ? red : r[i];
            b[i] = colour[i] != 2 ? blue : b[i];
        }
    }
}

// The four directional candidates and the variation of each, and of the
// smooth rendering, the fifth.
void Candidates(const Frame& f, TileScratch& s, int radius) {
    for (int d = 0; d < 4; ++d) {
        float* r = s.plane(kFirstCandidate + 3 * d);
        float* g = s.plane(kFirstCandidate + 3 * d + 1);
        float* b = s.plane(kFirstCandidate + 3 * d + 2);
        DirectionalGreen(f, s, d, g);
        ColourFromGreen(f, s, g, 0, radius, r);
        ColourFromGreen(f, s, g, 2, radius, b);
        Variation(f, s, r, g, b, s.plane(kFirstScore + d));
    }
    Variation(f, s, s.plane(kSmoothR), s.plane(kSmoothG), s.plane(kSmoothB),
              s.plane(kFirstScore + 4));
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

// The candidates blended into `out` (which may be the smooth planes), then
// the median of the colour differences.
void Blend(const Frame& f, TileScratch& s, bool master, float* const out[3]) {
    const float* score[kCandidates];
    for (int d = 0; d < kCandidates; ++d) score[d] = s.plane(kFirstScore + d);
    const float* candidate[kCandidates][3];
    for (int c = 0; c < 3; ++c) {
        for (int d = 0; d < 4; ++d) candidate[d][c] = s.plane(kFirstCandidate + 3 * d + c);
        candidate[4][c] = s.plane(kSmoothR + c);
    }
    const size_t end = f.at(f.height, 0);
    DEMOSAIC_ROW_LOOP
    for (size_t i = 0; i < end; ++i) {
        float least = score[0][i];
        for (int d = 1; d < kCandidates; ++d) least = platform::MinOf(least, score[d][i]);
        float weights[kCandidates], total = 0;
        for (int d = 0; d < kCandidates; ++d) {
            weights[d] = Weight((least + 1.0f) / (score[d][i] + 1.0f), master);
            total += weights[d];
        }
        float v[3] = {0, 0, 0};
        for (int d = 0; d < kCandidates; ++d)
            for (int c = 0; c < 3; ++c) v[c] += weights[d] * candidate[d][c][i];
        for (int c = 0; c < 3; ++c) out[c][i] = v[c] / total;
    }
    MedianColourDifferences(f, s, out[0], out[1], out[2]);
    GuidedColourDifferences(f, s, out[0], out[1], out[2]);
}

void CheckArguments(const MosaicPlane& mosaic, const uint16_t* rgb) {
    if (mosaic.width == 0 || mosaic.height == 0) throw std::invalid_argument("demosaic: empty image");
    if (!mosaic.samples || !rgb) throw std::invalid_argument("demosaic: missing pixel buffer");
    if (mosaic.rowStride < mosaic.width)
        throw std::invalid_argument("demosaic: row stride shorter than the width");
    if (mosaic.width > 0x7fff0000u / 3 || mosaic.height > 0x7fff0000u)
        throw std::invalid_argument("demosaic: image too large");
}

template <typename Interpolate>
void RunTiles(const MosaicPlane& mosaic, unsigned bands, int pad, int planes,
              const Interpolate& interpolate) {
    platform::RunInRowBands(mosaic.height, bands, [&](uint32_t first, uint32_t end) {
        const int stride = kTileSize + 2 * pad;
        TileScratch scratch(stride, stride, planes);
        platform::ForEachTile(
            mosaic.width, first, end, kTileSize, kTileSize, pad, [&](const DemosaicTile& tile) {
                const Frame frame{tile.stride, tile.paddedWidth(), tile.paddedHeight()};
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

void DemosaicXTransBoth(const MosaicPlane& mosaic, uint16_t* master, uint16_t* alternate,
                        unsigned bands, const RawMatrix3* colour) {
    CheckArguments(mosaic, master ? master : alternate);
    const int radius = SmoothRadius(mosaic.layout);
    RunTiles(mosaic, bands, Halo(mosaic.layout), kPlaneCount,
             [&](const DemosaicTile& tile, const Frame& f, TileScratch& s) {
                 SmoothTile(f, s, radius);
                 Candidates(f, s, radius);
                 if (alternate) {
                     float* const out[3] = {s.plane(kAlternateR), s.plane(kAlternateG),
                                            s.plane(kAlternateB)};
                     Blend(f, s, false, out);
                     platform::StoreTileRGB(tile, out[0], out[1], out[2], alternate,
                                            mosaic.width, colour);
                 }
                 if (master) {
                     float* const out[3] = {s.plane(kSmoothR), s.plane(kSmoothG),
                                            s.plane(kSmoothB)};
                     Blend(f, s, true, out);
                     platform::StoreTileRGB(tile, out[0], out[1], out[2], master, mosaic.width,
                                            colour);
                 }
             });
}
