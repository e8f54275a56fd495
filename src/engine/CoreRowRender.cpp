// No trapping math: lets the compiler turn selects into blends; the results
// are the same.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC optimize("no-trapping-math")
#endif

#include "engine/CoreRowRender.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>

#include "platform/WideLoops.h"

namespace platform {

namespace {

constexpr int kChunk = 64;

// One chunk of pixels, a plane per channel.
struct Chunk {
    alignas(16) float c[4][kChunk];
    alignas(16) float gain[kChunk];
    alignas(16) int index[kChunk];
};

[[gnu::always_inline]] inline void load(const uint16_t* __restrict s, int n, float scale,
                                        Chunk& k) {
    // Converted as they lie, then split into planes: both loops vectorise
    // better than one that converts and splits at once.
    alignas(16) float flat[4 * kChunk];
    for (int i = 0; i < 4 * n; ++i) flat[i] = 0.0f + scale * float(s[i]);
    float* __restrict c0 = k.c[0];
    float* __restrict c1 = k.c[1];
    float* __restrict c2 = k.c[2];
    float* __restrict c3 = k.c[3];
    for (int i = 0; i < n; ++i) {
        c0[i] = flat[4 * i];
        c1[i] = flat[4 * i + 1];
        c2[i] = flat[4 * i + 2];
        c3[i] = flat[4 * i + 3];
    }
}

// Whether every |value × 65535| of a row at this scale stays below 2^31, so
// the profile index can be truncated through 32-bit integers and summed in
// doubles exactly.
bool profileIndexFits(float scale) {
    return std::fabs(double(scale)) * 65535.0 * 65535.0 * 1.001 < 2147483647.0;
}

// The profile gain's index: (Σ trunc(c·65535)·weight) >> 14 clamped to the
// table. Every product and sum is exact in doubles, and for a non-negative
// sum the shift is the truncated quotient.
[[gnu::always_inline]] inline void profileIndexFast(int n, Chunk& k) {
    const float* __restrict c0 = k.c[0];
    const float* __restrict c1 = k.c[1];
    const float* __restrict c2 = k.c[2];
    int* __restrict idx = k.index;
    for (int i = 0; i < n; ++i) {
        const double a = double(int(double(c0[i]) * 65535.0));
        const double b = double(int(double(c1[i]) * 65535.0));
        const double c = double(int(double(c2[i]) * 65535.0));
        double q = (a * 4899.0 + b * 9618.0 + c * 1867.0) * (1.0 / 16384.0);
        q = q > 0.0 ? q : 0.0;
        q = q < double(kCoreProfileGainSize - 1) ? q : double(kCoreProfileGainSize - 1);
        idx[i] = int(q);
    }
}

// trunc(c·65535) held to ±2^47 (NaN as 0), so that the weighted sum of
// three fits in 64 bits. The channels are 16-bit samples times a positive
// exposure here, never negative: any that reaches the bound puts the index
// at the table's end, as the exact sum would.
[[gnu::always_inline]] inline int64_t profileChannel(float c) {
    constexpr double kBound = 140737488355328.0;  // 2^47
    const double v = double(c) * 65535.0;
    if (v != v) return 0;
    return int64_t(std::clamp(v, -kBound, kBound));
}

// The same index for scales where the fast one could overflow (a large
// ETTR adjustment).
[[gnu::always_inline]] inline void profileIndexWide(int n, Chunk& k) {
    for (int i = 0; i < n; ++i) {
        const int64_t sum = profileChannel(k.c[0][i]) * 4899 + profileChannel(k.c[1][i]) * 9618 +
                            profileChannel(k.c[2][i]) * 1867;
        k.index[i] = int(std::clamp<int64_t>(sum >> 14, 0, kCoreProfileGainSize - 1));
    }
}

[[gnu::always_inline]] inline void applyProfileGain(int n, const float* table, Chunk& k) {
    for (int i = 0; i < n; ++i) k.gain[i] = table[k.index[i]];
    float* __restrict c0 = k.c[0];
    float* __restrict c1 = k.c[1];
    float* __restrict c2 = k.c[2];
    const float* __restrict g = k.gain;
    for (int i = 0; i < n; ++i) {
        c0[i] *= g[i];
        c1[i] *= g[i];
        c2[i] *= g[i];
    }
}

[[gnu::always_inline]] inline void applyMatrix(int n, const float (&matrix)[4][4], Chunk& k) {
    float m[4][4];  // a local copy the loop can keep in registers
    std::copy(&matrix[0][0], &matrix[0][0] + 16, &m[0][0]);
    float* __restrict c0 = k.c[0];
    float* __restrict c1 = k.c[1];
    float* __restrict c2 = k.c[2];
    float* __restrict c3 = k.c[3];
    for (int i = 0; i < n; ++i) {
        // The zero biases of the matrix step stay: they turn -0 into +0.
        const float p0 = c0[i] + 0.0f, p1 = c1[i] + 0.0f;
        const float p2 = c2[i] + 0.0f, p3 = c3[i] + 0.0f;
        c0[i] = p0 * m[0][0] + p1 * m[1][0] + p2 * m[2][0] + p3 * m[3][0] + 0.0f;
        c1[i] = p0 * m[0][1] + p1 * m[1][1] + p2 * m[2][1] + p3 * m[3][1] + 0.0f;
        c2[i] = p0 * m[0][2] + p1 * m[1][2] + p2 * m[2][2] + p3 * m[3][2] + 0.0f;
        c3[i] = p0 * m[0][3] + p1 * m[1][3] + p2 * m[2][3] + p3 * m[3][3] + 0.0f;
    }
}

// Gain table by the whole part of the luminance index, then gain and offset
// (or the knee) on each colour channel, in place.
[[gnu::always_inline]] inline void applyTone(int n, const CoreTone& t, Chunk& k) {
    const float last = float(t.tableSize - 1);
    const float* __restrict c3 = k.c[3];
    int* __restrict idx = k.index;
    for (int i = 0; i < n; ++i) {
        const float x = c3[i];
        idx[i] = int(x >= last ? last : (x > 0 ? x : 0.0f));
    }
    for (int i = 0; i < n; ++i) k.gain[i] = t.table[k.index[i] * 4];
    float* __restrict c0 = k.c[0];
    float* __restrict c1 = k.c[1];
    float* __restrict c2 = k.c[2];
    const float* __restrict g = k.gain;
    if (t.kneeOn() && t.kneeWhole) {
        const float offset = t.outputOffset;
        for (int i = 0; i < n; ++i) {
            float v[3] = {c0[i] * g[i] + offset, c1[i] * g[i] + offset, c2[i] * g[i] + offset};
            coreKneeWhole(v, t);
            c0[i] = v[0];
            c1[i] = v[1];
            c2[i] = v[2];
        }
        return;
    }
    if (t.kneeOn()) {
        for (int i = 0; i < n; ++i) {
            c0[i] = coreKnee(c0[i], g[i], t);
            c1[i] = coreKnee(c1[i], g[i], t);
            c2[i] = coreKnee(c2[i], g[i], t);
        }
        return;
    }
    const float offset = t.outputOffset;
    for (int i = 0; i < n; ++i) {
        c0[i] = c0[i] * g[i] + offset;
        c1[i] = c1[i] * g[i] + offset;
        c2[i] = c2[i] * g[i] + offset;
    }
}

[[gnu::always_inline]] inline void render(const uint16_t* s, int n, const CoreRowRule& rule,
                                          bool fastIndex, Chunk& k) {
    load(s, n, rule.inputScale, k);
    if (rule.profileGain) {
        fastIndex ? profileIndexFast(n, k) : profileIndexWide(n, k);
        applyProfileGain(n, rule.profileGain, k);
    }
    applyMatrix(n, rule.matrix, k);
    applyTone(n, rule.tone, k);
}

// Beyond full scale the top channel lands on full scale and the others keep
// their ratios to it. The top is taken as std::max over a list takes it.
template <bool HasMatrix>
[[gnu::always_inline]] inline void scaleWhole(int n, const float (&range)[3][3], Chunk& k) {
    float m[3][3];
    std::copy(&range[0][0], &range[0][0] + 9, &m[0][0]);
    float* __restrict c0 = k.c[0];
    float* __restrict c1 = k.c[1];
    float* __restrict c2 = k.c[2];
    for (int i = 0; i < n; ++i) {
        const float v0 = c0[i], v1 = c1[i], v2 = c2[i];
        float r0 = v0, r1 = v1, r2 = v2;
        if constexpr (HasMatrix) {
            r0 = m[0][0] * v0 + m[0][1] * v1 + m[0][2] * v2;
            r1 = m[1][0] * v0 + m[1][1] * v1 + m[1][2] * v2;
            r2 = m[2][0] * v0 + m[2][1] * v1 + m[2][2] * v2;
        }
        float top = r0 < r1 ? r1 : r0;
        top = top < r2 ? r2 : top;
        // Unchanged pixels are multiplied by exactly 1: a select, no branch.
        const float f = top > 1.0f ? 1.0f / top : 1.0f;
        c0[i] = v0 * f;
        c1[i] = v1 * f;
        c2[i] = v2 * f;
    }
}

// 16-bit output is trunc(v × 65325 in doubles), 0 below 1 (and for NaN),
// 65535 from 65535 on. Both bounds are decided on the float itself, against
// the least floats whose products reach 1 and 65535: then only the product
// and the truncation need doubles.
struct U16Bounds {
    float low, high;
};

float leastFloatReaching(double bound) {
    float v = float(bound / 65325.0);
    while (double(v) * 65325.0 < bound) v = std::nextafter(v, 2.0f);
    while (double(std::nextafter(v, 0.0f)) * 65325.0 >= bound) v = std::nextafter(v, 0.0f);
    return v;
}

const U16Bounds& u16Bounds() {
    static const U16Bounds bounds{leastFloatReaching(1.0), leastFloatReaching(65535.0)};
    return bounds;
}

[[gnu::always_inline]] inline uint16_t toU16(float v, float low, float high) {
    float c = v >= low ? v : 0.0f;
    c = c >= high ? high : c;
    return uint16_t(int(double(c) * 65325.0));
}

// Written as two 32-bit words a pixel (R and G, B and A), which vectorises
// far better than four 16-bit stores.
[[gnu::always_inline]] inline void store(int n, const Chunk& k, const U16Bounds& bounds,
                                         uint16_t* out) {
    const float* __restrict c0 = k.c[0];
    const float* __restrict c1 = k.c[1];
    const float* __restrict c2 = k.c[2];
    const float low = bounds.low, high = bounds.high;
    alignas(16) uint32_t words[2 * kChunk];
    for (int i = 0; i < n; ++i) {
        const uint32_t r = toU16(c0[i], low, high), g = toU16(c1[i], low, high);
        const uint32_t b = toU16(c2[i], low, high);
        if constexpr (std::endian::native == std::endian::little) {
            words[2 * i] = r | (g << 16);
            words[2 * i + 1] = b | 0xFFFF0000u;
        } else {
            words[2 * i] = (r << 16) | g;
            words[2 * i + 1] = (b << 16) | 0xFFFFu;
        }
    }
    // A whole chunk as a copy of known size: no call for it.
    if (n == kChunk)
        std::memcpy(out, words, sizeof words);
    else
        std::memcpy(out, words, size_t(n) * 8);
}

[[gnu::always_inline]] inline void store(int n, const Chunk& k, float* __restrict o) {
    const float* __restrict c0 = k.c[0];
    const float* __restrict c1 = k.c[1];
    const float* __restrict c2 = k.c[2];
    for (int i = 0; i < n; ++i) {
        o[4 * i] = c0[i];
        o[4 * i + 1] = c1[i];
        o[4 * i + 2] = c2[i];
        o[4 * i + 3] = 1.0f;
    }
}

}  // namespace

QUORVEX_WIDE_LOOPS
void coreRenderRowU16(const uint16_t* src, int w, const CoreRowRule& rule, uint16_t* out) {
    const bool fastIndex = profileIndexFits(rule.inputScale);
    const U16Bounds& bounds = u16Bounds();
    Chunk k;
    for (int x = 0; x < w; x += kChunk) {
        const int n = std::min(kChunk, w - x);
        render(src + size_t(x) * 4, n, rule, fastIndex, k);
        if (rule.scaleWhole)
            rule.rangeMatrix ? scaleWhole<true>(n, rule.range, k)
                             : scaleWhole<false>(n, rule.range, k);
        store(n, k, bounds, out + size_t(x) * 4);
    }
}

QUORVEX_WIDE_LOOPS
void coreRenderRowFloat(const uint16_t* src, int w, const CoreRowRule& rule, float* out) {
    const bool fastIndex = profileIndexFits(rule.inputScale);
    Chunk k;
    for (int x = 0; x < w; x += kChunk) {
        const int n = std::min(kChunk, w - x);
        render(src + size_t(x) * 4, n, rule, fastIndex, k);
        store(n, k, out + size_t(x) * 4);
    }
}

}  // namespace platform
