#include "raw/DemosaicXTrans.h"

#include <algorithm>
#include <cmath>
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
// How sharply the master prefers the smoother of its candidates.
constexpr float kPreference = 50.0f;
// Four directions and the smooth rendering.
constexpr int kCandidates = 5;

// The radius of the isotropic interpolations: the least at which every
// window holds every colour (1 for X-Trans); wider ones blur colour edges.
int SmoothRadius(const CFALayout& layout) { return std::max(1, layout.coverRadius()); }
// The alternate's last red and blue average their colour differences a
// little wider, which takes out more false colour than detail.
int AlternateFinalRadius(const CFALayout& layout) { return SmoothRadius(layout) + 1; }
int SmoothHalo(const CFALayout& layout, int finalRadius) {
    return 3 * SmoothRadius(layout) + finalRadius;
}
int MasterHalo(const CFALayout& layout) {
    // The smooth rendering, the search, the candidates' red and blue, the
    // variation, its window and the median.
    const int radius = SmoothRadius(layout);
    return SmoothHalo(layout, radius) + kSearch + radius + 1 + 2 + 1;
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
    kPlaneCount
};

struct Frame {
    int stride;  // floats per row
    int width;   // padded columns in use
    int height;  // padded rows in use
    size_t at(int y, int x) const { return size_t(y) * size_t(stride) + size_t(x); }
};

void LoadTile(const MosaicPlane& mosaic, const DemosaicTile& tile, float* m, uint8_t* colour) {
    const int w = int(mosaic.width), h = int(mosaic.height);
    for (int r = 0; r < tile.paddedHeight(); ++r) {
        const int y = Mirror(tile.y0 - tile.pad + r, h);
        const uint16_t* src = mosaic.samples + size_t(y) * mosaic.rowStride;
        const size_t row = size_t(r) * size_t(tile.stride);
        for (int c = 0; c < tile.paddedWidth(); ++c) {
            const int x = Mirror(tile.x0 - tile.pad + c, w);
            m[row + size_t(c)] = src[x];
            colour[row + size_t(c)] = mosaic.layout.colorAt(uint32_t(y), uint32_t(x));
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
// sites of colour c (all sites when c < 0): the weighted mean of `values`
// there, or `empty` where the window holds none. Reads are clamped to the
// frame; what that spoils lies in the halo.
void SiteMean(const Frame& f, const float* values, const uint8_t* colour, int c, int radius,
              float* out, float empty, float* num, float* den) {
    for (int y = 0; y < f.height; ++y)
        for (int x = 0; x < f.width; ++x) {
            float n = 0, d = 0;
            for (int k = -radius; k <= radius; ++k) {
                const size_t i = f.at(y, std::clamp(x + k, 0, f.width - 1));
                if (c >= 0 && colour[i] != c) continue;
                const float wk = float(radius + 1 - std::abs(k));
                n += wk * values[i];
                d += wk;
            }
            num[f.at(y, x)] = n;
            den[f.at(y, x)] = d;
        }
    for (int y = 0; y < f.height; ++y)
        for (int x = 0; x < f.width; ++x) {
            float n = 0, d = 0;
            for (int k = -radius; k <= radius; ++k) {
                const size_t i = f.at(std::clamp(y + k, 0, f.height - 1), x);
                const float wk = float(radius + 1 - std::abs(k));
                n += wk * num[i];
                d += wk * den[i];
            }
            out[f.at(y, x)] = d > 0 ? n / d : WiderMean(f, values, colour, c, radius, y, x, empty);
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
    SiteMean(f, diff, colour, c, radius, full, 0.0f, s.plane(kNumerator), s.plane(kDenominator));
    for (int y = 0; y < f.height; ++y)
        for (int x = 0; x < f.width; ++x) {
            const size_t i = f.at(y, x);
            out[i] = colour[i] == c ? m[i] : green[i] + full[i];
        }
}

// The alternate's rendering into the smooth planes.
void SmoothTile(const Frame& f, TileScratch& s, int radius, int finalRadius) {
    const float* m = s.plane(kMosaic);
    const uint8_t* colour = s.colour();
    float* green = s.plane(kSmoothG);
    float* red = s.plane(kSmoothR);
    float* blue = s.plane(kSmoothB);
    // Green from green's neighbours; where none are near, the sample as grey.
    constexpr float kNone = -1.0f;
    SiteMean(f, m, colour, kGreen, radius, green, kNone, s.plane(kNumerator),
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
        SiteMean(f, diff, colour, kGreen, radius, full, 0.0f, s.plane(kNumerator),
                 s.plane(kDenominator));
        for (int y = 0; y < f.height; ++y)
            for (int x = 0; x < f.width; ++x) {
                const size_t i = f.at(y, x);
                if (colour[i] == c) refined[i] = m[i] - full[i];
            }
    }
    std::copy(refined, refined + f.at(f.height, 0), green);
    ColourFromGreen(f, s, green, 0, finalRadius, red);
    ColourFromGreen(f, s, green, 2, finalRadius, blue);
}

constexpr int kDirections[4][2] = {{0, 1}, {1, 0}, {1, 1}, {1, -1}};  // (dy, dx)

// Green at red and blue sites along one direction: the sample less the
// colour difference at the nearest greens before and after it, weighted by
// nearness.
void DirectionalGreen(const Frame& f, TileScratch& s, int direction, float* out) {
    const float* m = s.plane(kMosaic);
    const uint8_t* colour = s.colour();
    const int dy = kDirections[direction][0], dx = kDirections[direction][1];
    for (int y = 0; y < f.height; ++y)
        for (int x = 0; x < f.width; ++x) {
            const size_t i = f.at(y, x);
            const int c = colour[i];
            if (c == kGreen) {
                out[i] = m[i];
                continue;
            }
            const float* estimate = s.plane(c == 0 ? kSmoothR : kSmoothB);
            float diff[2] = {0, 0};
            int steps[2] = {0, 0};
            for (int side = 0; side < 2; ++side) {
                const int sign = side == 0 ? 1 : -1;
                for (int k = 1; k <= kSearch; ++k) {
                    const int yy = y + sign * k * dy, xx = x + sign * k * dx;
                    if (yy < 0 || yy >= f.height || xx < 0 || xx >= f.width) break;
                    const size_t j = f.at(yy, xx);
                    if (colour[j] != kGreen) continue;
                    diff[side] = estimate[j] - m[j];
                    steps[side] = k;
                    break;
                }
            }
            if (steps[0] && steps[1])
                out[i] = m[i] - (float(steps[1]) * diff[0] + float(steps[0]) * diff[1]) /
                                    float(steps[0] + steps[1]);
            else if (steps[0] || steps[1])
                out[i] = m[i] - (steps[0] ? diff[0] : diff[1]);
            else
                out[i] = s.plane(kSmoothG)[i];
        }
}

float Tone(float v) { return std::sqrt(std::max(v, 0.0f)); }

// How much a candidate rendering varies around each pixel, in lightness and
// two colour differences on a square-root tone, summed over a 5 × 5 window.
void Variation(const Frame& f, TileScratch& s, const float* r, const float* g, const float* b,
               float* score) {
    float* L = s.plane(kLightness);
    float* A = s.plane(kChromaA);
    float* B = s.plane(kChromaB);
    for (int y = 0; y < f.height; ++y)
        for (int x = 0; x < f.width; ++x) {
            const size_t i = f.at(y, x);
            const float tg = Tone(g[i]);
            L[i] = Tone(0.25f * r[i] + 0.5f * g[i] + 0.25f * b[i]);
            A[i] = Tone(r[i]) - tg;
            B[i] = Tone(b[i]) - tg;
        }
    float* local = s.plane(kNumerator);
    for (int y = 0; y < f.height; ++y)
        for (int x = 0; x < f.width; ++x) {
            const size_t i = f.at(y, x);
            float v = 0;
            const size_t around[4] = {f.at(y, std::max(x - 1, 0)),
                                      f.at(y, std::min(x + 1, f.width - 1)),
                                      f.at(std::max(y - 1, 0), x),
                                      f.at(std::min(y + 1, f.height - 1), x)};
            for (size_t j : around)
                v += std::fabs(L[i] - L[j]) + std::fabs(A[i] - A[j]) + std::fabs(B[i] - B[j]);
            local[i] = v;
        }
    float* rows = s.plane(kDenominator);
    for (int y = 0; y < f.height; ++y)
        for (int x = 0; x < f.width; ++x) {
            float v = 0;
            for (int k = -2; k <= 2; ++k) v += local[f.at(y, std::clamp(x + k, 0, f.width - 1))];
            rows[f.at(y, x)] = v;
        }
    for (int y = 0; y < f.height; ++y)
        for (int x = 0; x < f.width; ++x) {
            float v = 0;
            for (int k = -2; k <= 2; ++k) v += rows[f.at(std::clamp(y + k, 0, f.height - 1), x)];
            score[f.at(y, x)] = v;
        }
}

float Median9(float* v) {
    // Partial selection: the fifth smallest of nine.
    std::nth_element(v, v + 4, v + 9);
    return v[4];
}

// A 3 × 3 median of red less green and blue less green, written back to the
// colours a pixel did not sample.
void MedianColourDifferences(const Frame& f, TileScratch& s, float* r, const float* g, float* b) {
    const uint8_t* colour = s.colour();
    float* dr = s.plane(kLightness);
    float* db = s.plane(kChromaA);
    for (int y = 0; y < f.height; ++y)
        for (int x = 0; x < f.width; ++x) {
            const size_t i = f.at(y, x);
            dr[i] = r[i] - g[i];
            db[i] = b[i] - g[i];
        }
    for (int y = 1; y + 1 < f.height; ++y)
        for (int x = 1; x + 1 < f.width; ++x) {
            const size_t i = f.at(y, x);
            float wr[9], wb[9];
            int n = 0;
            for (int yy = y - 1; yy <= y + 1; ++yy)
                for (int xx = x - 1; xx <= x + 1; ++xx, ++n) {
                    wr[n] = dr[f.at(yy, xx)];
                    wb[n] = db[f.at(yy, xx)];
                }
            if (colour[i] != 0) r[i] = g[i] + Median9(wr);
            if (colour[i] != 2) b[i] = g[i] + Median9(wb);
        }
}

void MasterTile(const Frame& f, TileScratch& s, int radius) {
    SmoothTile(f, s, radius, radius);
    for (int d = 0; d < 4; ++d) {
        float* r = s.plane(kFirstCandidate + 3 * d);
        float* g = r + (s.plane(1) - s.plane(0));
        float* b = g + (s.plane(1) - s.plane(0));
        DirectionalGreen(f, s, d, g);
        ColourFromGreen(f, s, g, 0, radius, r);
        ColourFromGreen(f, s, g, 2, radius, b);
        Variation(f, s, r, g, b, s.plane(kFirstScore + d));
    }
    Variation(f, s, s.plane(kSmoothR), s.plane(kSmoothG), s.plane(kSmoothB),
              s.plane(kFirstScore + 4));
    // The blend goes into the smooth planes, the fifth candidate.
    float* out[3] = {s.plane(kSmoothR), s.plane(kSmoothG), s.plane(kSmoothB)};
    for (int y = 0; y < f.height; ++y)
        for (int x = 0; x < f.width; ++x) {
            const size_t i = f.at(y, x);
            float least = s.plane(kFirstScore)[i];
            for (int d = 1; d < kCandidates; ++d) least = std::min(least, s.plane(kFirstScore + d)[i]);
            float weights[kCandidates], total = 0;
            for (int d = 0; d < kCandidates; ++d) {
                const float ratio = (least + 1.0f) / (s.plane(kFirstScore + d)[i] + 1.0f);
                weights[d] = std::pow(ratio, kPreference);
                total += weights[d];
            }
            for (int c = 0; c < 3; ++c) {
                float v = 0;
                for (int d = 0; d < kCandidates; ++d)
                    v += weights[d] * (d < 4 ? s.plane(kFirstCandidate + 3 * d + c)[i] : out[c][i]);
                out[c][i] = v / total;
            }
        }
    MedianColourDifferences(f, s, out[0], out[1], out[2]);
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
void RunTiles(const MosaicPlane& mosaic, uint16_t* rgb, unsigned bands, const RawMatrix3* colour,
              int pad, int planes, const Interpolate& interpolate) {
    CheckArguments(mosaic, rgb);
    platform::RunInRowBands(mosaic.height, bands, [&](uint32_t first, uint32_t end) {
        const int stride = kTileSize + 2 * pad;
        TileScratch scratch(stride, stride, planes);
        platform::ForEachTile(
            mosaic.width, first, end, kTileSize, kTileSize, pad, [&](const DemosaicTile& tile) {
                const Frame frame{tile.stride, tile.paddedWidth(), tile.paddedHeight()};
                LoadTile(mosaic, tile, scratch.plane(kMosaic), scratch.colour());
                interpolate(frame, scratch);
                platform::StoreTileRGB(tile, scratch.plane(kSmoothR), scratch.plane(kSmoothG),
                                       scratch.plane(kSmoothB), rgb, mosaic.width, colour);
            });
    });
}

}  // namespace

void DemosaicXTrans(const MosaicPlane& mosaic, uint16_t* rgb, unsigned bands,
                    const RawMatrix3* colour) {
    const int radius = SmoothRadius(mosaic.layout);
    RunTiles(mosaic, rgb, bands, colour, MasterHalo(mosaic.layout), kPlaneCount,
             [&](const Frame& f, TileScratch& s) { MasterTile(f, s, radius); });
}

void DemosaicXTransSmooth(const MosaicPlane& mosaic, uint16_t* rgb, unsigned bands,
                          const RawMatrix3* colour) {
    const int radius = SmoothRadius(mosaic.layout);
    const int finalRadius = AlternateFinalRadius(mosaic.layout);
    RunTiles(mosaic, rgb, bands, colour, SmoothHalo(mosaic.layout, finalRadius), kFirstCandidate,
             [&](const Frame& f, TileScratch& s) { SmoothTile(f, s, radius, finalRadius); });
}
