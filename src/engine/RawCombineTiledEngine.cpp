#include "engine/RawCombineTiledEngine.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "color/SettingsKeys.h"
#include "platform/Log.h"
#include "platform/WideLoops.h"

namespace {

float clampUnit(float v) {
    if (!(v > 0.0f)) return 0.0f;  // NaN reads as no suppression
    return v > 1.0f ? 1.0f : v;
}

uint16_t toSample(float channel) {
    const double d = double(channel) * 65535.0;
    if (!(d > 0.0)) return 0;
    if (d >= 65535.0) return 65535;
    return uint16_t(d);
}

}  // namespace

// ---------------------------------------------------------------------------
// HSV

namespace {

[[gnu::always_inline]] inline void rgbToHsv(float* h, float* s, float* v, float r, float g,
                                            float b) {
    const float mx = std::max(r, std::max(g, b));
    const float mn = std::min(r, std::min(g, b));
    const float delta = mx - mn;
    *v = mx;
    if (!(delta > 0.0f)) {
        *h = 0.0f;
        *s = 0.0f;
        return;
    }
    *s = delta / mx;
    if (mx == r) {
        *h = (g - b) / delta;
        if (*h < 0.0f) *h += 6.0f;
    } else if (mx == g) {
        *h = (b - r) / delta + 2.0f;
    } else {
        *h = (r - g) / delta + 4.0f;
    }
}

[[gnu::always_inline]] inline void hsvToRgb(float* r, float* g, float* b, float h, float s,
                                            float v) {
    if (!(s > 0.0f)) {
        *r = *g = *b = v;
        return;
    }
    if (h < 0.0f) h += 6.0f;
    if (h >= 6.0f) h -= 6.0f;
    if (!(h >= 0.0f && h < 6.0f)) return;  // out of range (or NaN): nothing written
    const int i = int(h);
    const float f = h - float(i);
    const float p = (1.0f - s) * v;
    const float q = (1.0f - f * s) * v;
    const float t = (1.0f - (1.0f - f) * s) * v;
    switch (i) {
        case 0:
            *r = v, *g = t, *b = p;
            break;
        case 1:
            *r = q, *g = v, *b = p;
            break;
        case 2:
            *r = p, *g = v, *b = t;
            break;
        case 3:
            *r = p, *g = q, *b = v;
            break;
        case 4:
            *r = t, *g = p, *b = v;
            break;
        default:
            *r = v, *g = p, *b = q;
            break;
    }
}

}  // namespace

// The reference forms of the mixing kernel below.
void RGBToHSV(float* h, float* s, float* v, float r, float g, float b) {
    rgbToHsv(h, s, v, r, g, b);
}

void HSVToRGB(float* r, float* g, float* b, float h, float s, float v) {
    hsvToRgb(r, g, b, h, s, v);
}

void RGB16ToHSV16(int r, int g, int b, uint16_t* H, uint16_t* S, uint16_t* V) {
    float h = 0, s = 0, v = 0;
    RGBToHSV(&h, &s, &v, float(r / 65535.0), float(g / 65535.0), float(b / 65535.0));
    auto to16 = [](double x) -> uint16_t {
        if (!(x > 0.0)) return 0;
        return x >= 65535.0 ? 65535 : uint16_t(x);
    };
    *H = to16(double(h) * 65535.0 / 6.0);
    *S = to16(double(s) * 65535.0);
    *V = to16(double(v) * 65535.0);
}

void HSV16ToRGB16(int H, int S, int V, uint16_t* r, uint16_t* g, uint16_t* b) {
    const float h = float(H / 65535.0 * 6.0);
    float rf = 0, gf = 0, bf = 0;
    HSVToRGB(&rf, &gf, &bf, h, float(S / 65535.0), float(V / 65535.0));
    *r = toSample(rf);
    *g = toSample(gf);
    *b = toSample(bf);
}

// ---------------------------------------------------------------------------

RawCombineTiledEngine::RawCombineTiledEngine(platform::Size size,
                                             std::optional<std::string> imageID,
                                             bool releasePrecursors)
    : TiledEngine(size, std::move(imageID), releasePrecursors) {
    buildKeyTable();
}

RawCombineTiledEngine::RawCombineTiledEngine(Ptr source, std::optional<std::string> imageID,
                                             bool releasePrecursors)
    : TiledEngine(std::move(source), std::move(imageID), releasePrecursors) {
    buildKeyTable();
}

RawCombineTiledEngine::~RawCombineTiledEngine() = default;

std::shared_ptr<RawCombineTiledEngine> RawCombineTiledEngine::initWithSize(
    platform::Size size, std::optional<std::string> imageID, bool releasePrecursors) {
    if (!ImageBuffer::sizeFits(size)) return nullptr;
    return std::make_shared<RawCombineTiledEngine>(size, std::move(imageID), releasePrecursors);
}

std::shared_ptr<RawCombineTiledEngine> RawCombineTiledEngine::initWithImage(
    Ptr source, std::optional<std::string> imageID, bool releasePrecursors) {
    return std::make_shared<RawCombineTiledEngine>(std::move(source), std::move(imageID),
                                                   releasePrecursors);
}

void RawCombineTiledEngine::buildKeyTable() {
    for (const char* key :
         {SettingsKeys::kArtifactSuppression, SettingsKeys::kChromaArtifactSuppression,
          SettingsKeys::kMonochromeSensor})
        stageToKey().set(key, 1);
}

std::string RawCombineTiledEngine::engineName() const {
    char name[96];
    std::snprintf(name, sizeof name, "QuorvexRawCombineEngine_%p", static_cast<const void*>(this));
    return name;
}

void RawCombineTiledEngine::setParameters(const std::optional<std::string>& key,
                                          const platform::Dictionary& parameters) {
    if (key && !stageToKey().contains(*key)) {
        TiledEngine::setParameters(key, parameters);
        return;
    }
    ettrMul_ = 1.0f;
    artifactSuppression_ = clampUnit(parameters[SettingsKeys::kArtifactSuppression].floatValue(0));
    chromaArtifactSuppression_ =
        clampUnit(parameters[SettingsKeys::kChromaArtifactSuppression].floatValue(0));
    markAllDirty();
    TiledEngine::setParameters(key, parameters);
}

// ---------------------------------------------------------------------------
// The run

bool RawCombineTiledEngine::takesAlternateAlone(const platform::Dictionary& settings) {
    return clampUnit(settings[SettingsKeys::kArtifactSuppression].floatValue(0)) == 1.0f &&
           clampUnit(settings[SettingsKeys::kChromaArtifactSuppression].floatValue(0)) == 1.0f;
}

std::shared_ptr<TileProcess> RawCombineTiledEngine::runProcessToCompletion(
    const TileRegion& region) {
    // Amounts other than 1 and 1 show the master beyond the border bands:
    // a source asked for less decodes it whole, now rather than in a tile.
    if (auto raw = rawImage();
        raw && !(artifactSuppression_ == 1.0f && chromaArtifactSuppression_ == 1.0f)) {
        const bool banded = raw->masterEdgeBands() != 0;
        raw->setMasterEdgeBands(0);
        if (banded) raw->masterImageBytes();
    }
    auto result = TiledEngine::runProcessToCompletion(region);
    auto buffer = result ? result->buffer() : nullptr;
    if (!buffer) {
        thumbnailIsDirty_ = true;
        return result;
    }
    // A run that redid no tile leaves the thumbnail as it is: rebuilding it
    // would resample the whole image to the same result.
    if (!result->dirtyList().empty() || buffer != pixelValueBuffer()) thumbnailIsDirty_ = true;
    auto raw = rawImage();
    buffer->setBufferProfile(raw ? raw->bufferProfile() : nullptr);
    buffer->setBufferOwner(stageId());
    if (!shouldReleasePrecursors() && keepsReadouts_) {
        setPixelValueBuffer(buffer);
        buildThumbnail();
    }
    return result;
}

void RawCombineTiledEngine::processTile(int colStart, int colEnd, int rowStart, int rowEnd,
                                        ImageBuffer*, ImageBuffer* destBuffer, int) {
    processArea(colStart, colEnd, rowStart, rowEnd, artifactSuppression_,
                chromaArtifactSuppression_, destBuffer);
}

void RawCombineTiledEngine::processEdge(int colStart, int colEnd, int rowStart, int rowEnd,
                                        ImageBuffer*, ImageBuffer* destBuffer, int) {
    processArea(colStart, colEnd, rowStart, rowEnd, 0.0f, 0.0f, destBuffer);
}

// ---------------------------------------------------------------------------
// The mixing kernel: the scalar helpers above, eight pixels at a time. Every
// lane does the same float operations in the same order as the scalar code
// (branches become selects), so the output is the same to the bit.

namespace {

// Eight pixels a vector (one 256-bit register in the build for processors
// that have them, QUORVEX_WIDE_LOOPS); rows go sixteen pixels (96 bytes of
// packed RGB) at a time. Only inlined helpers take or return vectors, so no
// call passes one between the two builds.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wpsabi"
#endif
constexpr int kLanes = 8, kStep = 16;
typedef float VF __attribute__((vector_size(32)));
typedef int32_t VI __attribute__((vector_size(32)));
typedef float VF4 __attribute__((vector_size(16)));
typedef int32_t VI4 __attribute__((vector_size(16)));
typedef uint16_t VU16 __attribute__((vector_size(16)));

struct MixAmounts {
    float x, c, mul;
};

struct RGB {
    VF r, g, b;
};

[[gnu::always_inline]] inline VF splat(float v) { return VF{} + v; }

// Eight pixels of packed 16-bit RGB as planar floats on the 0..1 scale.
[[gnu::always_inline]] inline void loadRGB(const uint16_t* p, RGB& out) {
    const float k = 1.0f / 65535.0f;
    VU16 w[3];
    std::memcpy(w, p, sizeof w);
    VF4 f[6];
    for (int i = 0; i < 3; ++i) {
        const VU16 zero{};
        const VU16 lo = __builtin_shufflevector(w[i], zero, 0, 8, 1, 9, 2, 10, 3, 11);
        const VU16 hi = __builtin_shufflevector(w[i], zero, 4, 12, 5, 13, 6, 14, 7, 15);
        f[2 * i] = __builtin_convertvector((VI4)lo, VF4) * k;
        f[2 * i + 1] = __builtin_convertvector((VI4)hi, VF4) * k;
    }
    // f[0..2]: r0 g0 b0 r1 | g1 b1 r2 g2 | b2 r3 g3 b3, and f[3..5] likewise;
    // each shuffle takes two lanes of one vector and two of another.
    VF4 planar[2][3];
    for (int i = 0; i < 2; ++i) {
        const VF4 a = f[3 * i], b = f[3 * i + 1], c = f[3 * i + 2];
        const VF4 x = __builtin_shufflevector(b, c, 2, 3, 4, 5);  // r2 g2 b2 r3
        const VF4 y = __builtin_shufflevector(b, c, 0, 1, 6, 7);  // g1 b1 g3 b3
        const VF4 gb01 = __builtin_shufflevector(a, y, 1, 2, 4, 5);
        const VF4 gb23 = __builtin_shufflevector(x, y, 1, 2, 6, 7);
        planar[i][0] = __builtin_shufflevector(a, x, 0, 3, 4, 7);
        planar[i][1] = __builtin_shufflevector(gb01, gb23, 0, 2, 4, 6);
        planar[i][2] = __builtin_shufflevector(gb01, gb23, 1, 3, 5, 7);
    }
    VF* channels[3] = {&out.r, &out.g, &out.b};
    for (int c = 0; c < 3; ++c)
        *channels[c] = __builtin_shufflevector(planar[0][c], planar[1][c], 0, 1, 2, 3, 4, 5, 6, 7);
}

[[gnu::always_inline]] inline VF keep(VF x, VI mask) { return (VF)((VI)x & mask); }

// Hue terms are never -0 (a difference of equal channels is +0), so adding
// a masked-off +0 leaves them as they are.
[[gnu::always_inline]] inline void rgbToHsvV(VF& h, VF& s, VF& v, VF r, VF g, VF b) {
    const VF zero{};
    const VF maxGB = g < b ? b : g;  // std::max and std::min as they pick
    const VF mx = r < maxGB ? maxGB : r;
    const VF minGB = b < g ? b : g;
    const VF mn = minGB < r ? minGB : r;
    const VF delta = mx - mn;
    const VI isR = mx == r;
    const VI isG = (mx == g) & ~isR;
    const VF num = isR ? g - b : (isG ? b - r : r - g);
    const VF q = num / delta;
    const VF offset = isR ? keep(splat(6.0f), q < zero) : splat(4.0f) - keep(splat(2.0f), isG);
    const VI chromatic = delta > zero;
    h = keep(q + offset, chromatic);
    s = keep(delta / mx, chromatic);
    v = mx;
}

// toSample on four channels without doubles. For 0 < f < 1 the exact
// product f * 65535 is A - f with A = f * 65536 (exact in float); with
// n = trunc(A) and the exact fraction A - n, trunc(A - f) is n, or n - 1
// when the fraction is below f. f = 1 gives 65536 - 1, f = 0 gives 0.
template <bool inUnitRange = false>  // channels known to be 0..1: no clamping
[[gnu::always_inline]] inline VI toSampleV(VF f) {
    if constexpr (!inUnitRange) {
        f = f > 0.0f ? f : VF{};  // NaN too
        f = f < 1.0f ? f : splat(1.0f);
    }
    const VF a = f * 65536.0f;
    const VI n = __builtin_convertvector(a, VI);
    return n + (a - __builtin_convertvector(n, VF) < f);  // a true compare is -1
}

enum class Mix {
    masterOnly,  // no alternate rendering
    both,        // any amounts
    alternate,   // amounts 1 and 1: the alternate, its hue wrapped as the master's says
    master,      // amounts 0 and 0: the master, its hue wrapped as the alternate's says
};

// One rendering's HSV for two groups of four pixels, each hue taken once
// round the circle where the other rendering's lies more than 3 above it
// (the mix's short way round; with the amounts at 0 or 1, hm * 0 + ha * 1
// is ha and so on). That needs the other's hue above 3, which a rendering
// with green >= blue never has (red largest: 0..1, green largest: 1..3,
// grey: 0), and this one's below 3 (no hue exceeds 6): the other's hue is
// wanted only where both hold, in either group.
[[gnu::always_inline]] inline void oneRendering(VF (&h)[2], VF (&s)[2], VF (&v)[2],
                                                const RGB (&own)[2], const RGB (&other)[2],
                                                float mul, bool unitGain) {
    VI wanted[2];
    for (int g = 0; g < 2; ++g) {
        rgbToHsvV(h[g], s[g], v[g], own[g].r, own[g].g, own[g].b);
        if (!unitGain) v[g] = v[g] * mul;
        wanted[g] = (other[g].g < other[g].b) & (h[g] < 3.0f);
    }
    const VI any = wanted[0] | wanted[1];
    uint64_t quarters[4];
    std::memcpy(quarters, &any, sizeof quarters);
    if (quarters[0] | quarters[1] | quarters[2] | quarters[3]) {
        for (int g = 0; g < 2; ++g) {
            VF ho, so, vo;
            rgbToHsvV(ho, so, vo, other[g].r, other[g].g, other[g].b);
            h[g] = h[g] + keep(splat(6.0f), ho - h[g] > 3.0f);
        }
    }
}

// Mixes four pixels of master `m` and alternate `a` into their HSV.
template <Mix mix>
[[gnu::always_inline]] inline void mixHsv(VF& h, VF& s, VF& v, const RGB& m, const RGB& a,
                                          const MixAmounts& amounts) {
    const VF six = splat(6.0f), mul = splat(amounts.mul);
    rgbToHsvV(h, s, v, m.r, m.g, m.b);
    if constexpr (mix == Mix::masterOnly) {
        v = v * mul;
    } else {
        VF ha, sa, va;
        rgbToHsvV(ha, sa, va, a.r, a.g, a.b);
        // Mix the hues the short way round the circle. Hues are finite, so
        // a difference above 3 also orders them.
        const VI up = ha - h > 3.0f;
        const VI down = h - ha > 3.0f;
        ha = ha + keep(six, down);
        h = h + keep(six, up);
        const float c = amounts.c, x = amounts.x;
        const VF keepC = splat(1.0f - c), keepX = splat(1.0f - x);
        h = h * keepC + ha * c;
        s = s * keepC + sa * c;
        v = (v * keepX + va * x) * mul;
    }
}

// HSV of four pixels into four RGBA pixels at `d`; `unitGain`: the gain
// is 1.
template <Mix mix, bool unitGain>
[[gnu::always_inline]] inline void finishLanes(VF h, VF s, VF v, uint16_t* d) {
    const VF zero{}, one = splat(1.0f), six = splat(6.0f);
    v = one < v ? one : v;

    // HSV back to RGB. Unsaturated lanes take s = 0, which makes p, q and t
    // equal to v; a hue out of range writes nothing (r = g = b = 0).
    const VI saturated = s > zero;
    VF hh = h;
    VI inRange;
    constexpr bool single = mix != Mix::both;
    if constexpr (single) {
        // One rendering's s is +0 where not above 0 already, and its hue
        // (0..6, or 6..12 wrapped) is not below 0.
        hh = hh - keep(six, hh >= 6.0f);
        inRange = hh < 6.0f;
    } else {
        s = keep(s, saturated);
        hh = hh + keep(six, hh < zero);
        hh = hh - keep(six, hh >= 6.0f);
        inRange = (hh >= zero) & (hh < 6.0f);
    }
    const VI written = inRange | ~saturated;
    hh = keep(hh, inRange);
    const VI i = __builtin_convertvector(hh, VI);
    const VF f = hh - __builtin_convertvector(i, VF);
    const VF p = (one - s) * v;
    const VF q = (one - f * s) * v;
    const VF t = (one - (one - f) * s) * v;
    // Each channel is v, p, or q (odd sextants) / t (even ones).
    const VF mid = (i & 1) ? q : t;
    const VI i0 = i == 0, i1 = i == 1, i2 = i == 2, i3 = i == 3, i4 = i == 4, i5 = i == 5;
    const VF R = keep((i0 | i5) ? v : ((i1 | i4) ? mid : p), written);
    const VF G = keep((i1 | i2) ? v : ((i0 | i3) ? mid : p), written);
    const VF B = keep((i3 | i4) ? v : ((i2 | i5) ? mid : p), written);

    // Samples are 0..65535: RG and BA pairs in 32-bit lanes, then interleaved.
    // One rendering at gain 1 has v in 0..1 (clamped), s in 0..1 (delta /
    // mx) and f in 0..1, so p, q and t lie between 0 and v.
    constexpr bool inUnitRange = single && unitGain;
    const VI rg = toSampleV<inUnitRange>(R) | (toSampleV<inUnitRange>(G) << 16);
    const VI ba = toSampleV<inUnitRange>(B) | int32_t(0xffff0000u);
    const VI lo = __builtin_shufflevector(rg, ba, 0, 8, 1, 9, 2, 10, 3, 11);
    const VI hi = __builtin_shufflevector(rg, ba, 4, 12, 5, 13, 6, 14, 7, 15);
    std::memcpy(d, &lo, sizeof lo);
    std::memcpy(d + 16, &hi, sizeof hi);
}

// Sixteen pixels: both groups' HSV, then both back to RGB, which leaves the
// processor more independent work at a time.
template <Mix mix, bool unitGain>
[[gnu::always_inline]] inline void mixStep(const uint16_t* m, const uint16_t* a, uint16_t* d,
                                           const MixAmounts& amounts) {
    RGB ms[2], as[2] = {};
    for (int g = 0; g < 2; ++g) {
        loadRGB(m + 3 * kLanes * g, ms[g]);
        if constexpr (mix != Mix::masterOnly) loadRGB(a + 3 * kLanes * g, as[g]);
    }
    VF h[2], s[2], v[2];
    if constexpr (mix == Mix::alternate) {
        oneRendering(h, s, v, as, ms, amounts.mul, unitGain);
    } else if constexpr (mix == Mix::master) {
        oneRendering(h, s, v, ms, as, amounts.mul, unitGain);
    } else {
        for (int g = 0; g < 2; ++g) mixHsv<mix>(h[g], s[g], v[g], ms[g], as[g], amounts);
    }
    finishLanes<mix, unitGain>(h[0], s[0], v[0], d);
    finishLanes<mix, unitGain>(h[1], s[1], v[1], d + 4 * kLanes);
}

template <Mix mix, bool unitGain>
QUORVEX_WIDE_LOOPS void mixRow(const uint16_t* m, const uint16_t* a, uint16_t* d, int n,
                               const MixAmounts& amounts) {
    int done = 0;
    for (; done + kStep <= n; done += kStep)
        mixStep<mix, unitGain>(m + 3 * done, mix == Mix::masterOnly ? nullptr : a + 3 * done,
                               d + 4 * done, amounts);
    const int rest = n - done;
    if (rest == 0) return;
    // The tail goes through the same kernel, padded.
    uint16_t mt[3 * kStep] = {}, at[3 * kStep] = {}, dt[4 * kStep];
    std::copy_n(m + 3 * done, 3 * rest, mt);
    if constexpr (mix != Mix::masterOnly) std::copy_n(a + 3 * done, 3 * rest, at);
    mixStep<mix, unitGain>(mt, at, dt, amounts);
    std::copy_n(dt, 4 * rest, d + 4 * done);
}

}  // namespace

void ChannelsToSamples16(const float* channels, uint16_t* samples, size_t count) {
    for (size_t i = 0; i < count; i += kLanes) {
        float in[kLanes] = {};
        std::copy_n(channels + i, std::min<size_t>(kLanes, count - i), in);
        VF f;
        std::memcpy(&f, in, sizeof f);
        const VI out = toSampleV(f);
        for (size_t j = 0; j < kLanes && i + j < count; ++j) samples[i + j] = uint16_t(out[j]);
    }
}

void RawCombineTiledEngine::processArea(int colStart, int colEnd, int rowStart, int rowEnd,
                                        float artifactSup, float cArtifactSup,
                                        ImageBuffer* destBuffer) {
    auto raw = rawImage();
    if (!raw || !destBuffer || destBuffer->isFloat()) return;
    const int W = destBuffer->imageWidth(), H = destBuffer->imageHeight();
    // The source is addressed with the destination's width: any other size
    // would read past its rows.
    if (raw->imageWidth() != W || raw->imageHeight() < H) return;
    const uint16_t* master = raw->masterImageBytes();
    if (!master) return;
    const uint16_t* alternate = raw->alternateImageBytes();
    colStart = std::max(colStart, 0);
    rowStart = std::max(rowStart, 0);
    colEnd = std::min(colEnd, W);
    rowEnd = std::min(rowEnd, H);
    if (colStart >= colEnd) return;
    const MixAmounts amounts{artifactSup, cArtifactSup, ettrMul_};
    const bool unit = amounts.mul == 1.0f;
    const bool x1c1 = amounts.x == 1.0f && amounts.c == 1.0f;
    const bool x0c0 = amounts.x == 0.0f && amounts.c == 0.0f;
    const uint32_t border = alternate ? raw->masterEdgeBands() : 0;
    const EdgeBands bands{uint32_t(W), raw->imageHeight(), border};
    const int n = colEnd - colStart;
    auto mixRows = [&](auto row) {
        for (int y = rowStart; y < rowEnd; ++y) {
            const size_t first = (size_t(y) * size_t(W) + size_t(colStart)) * 3;
            const uint16_t* a = alternate ? alternate + first : nullptr;
            uint16_t* d = destBuffer->bufferU16ForRow(y, colStart);
            if (border == 0) {
                row(master + first, a, d, n, amounts);
                continue;
            }
            const EdgeBands::Run run = bands.at(uint32_t(colStart), uint32_t(y));
            if (run.pixels >= uint32_t(n)) {
                row(master + run.sample, a, d, n, amounts);
            } else if (run.pixels == 0 && x1c1) {
                // The alternate alone: its hue as it is.
                unit ? mixRow<Mix::masterOnly, true>(a, nullptr, d, n, amounts)
                     : mixRow<Mix::masterOnly, false>(a, nullptr, d, n, amounts);
            } else {
                throw std::logic_error("the master rendering was not kept there");
            }
        }
    };
    if (!alternate)
        unit ? mixRows(mixRow<Mix::masterOnly, true>) : mixRows(mixRow<Mix::masterOnly, false>);
    else if (x1c1)
        unit ? mixRows(mixRow<Mix::alternate, true>) : mixRows(mixRow<Mix::alternate, false>);
    else if (x0c0)
        unit ? mixRows(mixRow<Mix::master, true>) : mixRows(mixRow<Mix::master, false>);
    else
        mixRows(mixRow<Mix::both, false>);
}

// ---------------------------------------------------------------------------
// Thumbnail and readouts

void RawCombineTiledEngine::buildThumbnail() {
    auto source = pixelValueBuffer();
    if (!source || !mainMap() || !mainMap()->isClean()) {
        thumbnailIsDirty_ = true;
        return;
    }
    std::lock_guard<std::mutex> guard(thumbLock_);
    if (!thumbnailIsDirty_ && thumbnail()) return;
    const int w = source->imageWidth(), h = source->imageHeight();
    if (w == 0 || h == 0) return;
    const float f = 512.5f / float(std::max(w, h));
    thumbnailIsDirty_ = false;
    source->lock(stageId());
    auto small = source->resizedImageFromBuffer(uint16_t(std::max(1.0f, float(w) * f)),
                                                uint16_t(std::max(1.0f, float(h) * f)));
    source->unlock(stageId());
    setThumbnail(std::move(small));
}

void RawCombineTiledEngine::releaseOutputs() {
    setPixelValueBuffer(nullptr);
    TiledEngine::releaseOutputs();
}

std::shared_ptr<ImageBuffer> RawCombineTiledEngine::getThumbnail(bool) {
    auto current = thumbnail();
    if (!current) thumbnailIsDirty_ = true;
    return current;
}

bool RawCombineTiledEngine::getPixelValues(int col, int row, int patchSize, double* values) {
    auto buffer = pixelValueBuffer();
    if (!buffer || !values) return false;
    const int half = patchSize / 2;
    const platform::Rect r =
        platform::Rect{double(col - half), double(row - half), double(patchSize), double(patchSize)}
            .intersection(extent());
    buffer->lock(stageId());
    auto crop = buffer->croppedImageFromBuffer(r);
    if (crop)
        crop->sampleValues(half, half, patchSize, &values[0], &values[1], &values[2], &values[3]);
    buffer->unlock(stageId());
    return crop != nullptr;
}

// ---------------------------------------------------------------------------
// Fields

void RawCombineTiledEngine::setRawImage(ImageWrapper::Ptr rawImage) {
    std::lock_guard<std::mutex> guard(fieldsLock_);
    rawImage_ = std::move(rawImage);
}

ImageWrapper::Ptr RawCombineTiledEngine::rawImage() const {
    std::lock_guard<std::mutex> guard(fieldsLock_);
    return rawImage_;
}

std::shared_ptr<ImageBuffer> RawCombineTiledEngine::thumbnail() const {
    std::lock_guard<std::mutex> guard(fieldsLock_);
    return thumbnail_;
}

void RawCombineTiledEngine::setThumbnail(std::shared_ptr<ImageBuffer> thumbnail) {
    std::lock_guard<std::mutex> guard(fieldsLock_);
    thumbnail_ = std::move(thumbnail);
}

std::shared_ptr<ImageBuffer> RawCombineTiledEngine::pixelValueBuffer() const {
    std::lock_guard<std::mutex> guard(fieldsLock_);
    return pixelValueBuffer_;
}

void RawCombineTiledEngine::setPixelValueBuffer(std::shared_ptr<ImageBuffer> buffer) {
    std::lock_guard<std::mutex> guard(fieldsLock_);
    pixelValueBuffer_ = std::move(buffer);
}

std::shared_ptr<const DNGCameraProfileAbstract> RawCombineTiledEngine::cameraProfile() const {
    std::lock_guard<std::mutex> guard(fieldsLock_);
    return cameraProfile_;
}

void RawCombineTiledEngine::setCameraProfile(
    std::shared_ptr<const DNGCameraProfileAbstract> profile) {
    std::lock_guard<std::mutex> guard(fieldsLock_);
    cameraProfile_ = std::move(profile);
}

std::shared_ptr<const platform::Object> RawCombineTiledEngine::toneCurve() const {
    std::lock_guard<std::mutex> guard(fieldsLock_);
    return toneCurve_;
}

void RawCombineTiledEngine::setToneCurve(std::shared_ptr<const platform::Object> curve) {
    std::lock_guard<std::mutex> guard(fieldsLock_);
    toneCurve_ = std::move(curve);
}
