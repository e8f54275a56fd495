// The colour and tone rule of the core stage for float pixels that already
// carry the exposure: the 4×4 matrix (out[c] = Σk in[k]·m[k][c], its fourth
// output the luminance index 4096·Y), then per colour channel v = p × gain +
// output offset, the gain read from the table at that index, or the
// highlight knee instead of the plain sum when it is on (on each channel, or
// the roll-off of a positive baseline on the top channel for the whole
// pixel). Alpha becomes 1.
//
// CoreTiledEngine reads the table at the whole part of the index;
// CoreEngineFilter interpolates linearly between entries. Both run these
// same functions, so where the index is whole their results are equal.
// Everything here is pure: safe from any thread.
#pragma once

#include <cmath>

#include "color/ComputeMatrixAndLUT.h"
#include "platform/VImage.h"

namespace platform {

struct CoreTone {
    static constexpr float kMidGreyFactor = ComputeMatrixAndLUT::kMidGreyUnits;  // 1 / 0.18
    static constexpr float kKneeThreshold = ComputeMatrixAndLUT::kKneeOff;

    const float* table = nullptr;  // tableSize entries of four floats; the first is the gain
    int tableSize = 0;
    float outputOffset = 0;
    float kneeLow = 0;
    float kneeF = -1;  // below kKneeThreshold the knee is off
    // The knee on each pixel's top channel, the pixel scaled as a whole by
    // what it does there, so that a colour keeps its hue; else on each
    // channel alone. The whole-pixel knee is the roll-off of a positive
    // baseline (ComputeMatrixAndLUT::kneeOnWholePixel): it takes kneeEnd
    // to white and, with kneeFromLuma, starts no lower than the pixel's
    // luminance. Its top channel is the largest of kneeTopRows × pixel: the
    // pixel in the space whose white it keeps below (the output's).
    bool kneeWhole = false;
    bool kneeFromLuma = false;
    float kneeEnd = 0;
    float kneeTopRows[3][3] = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}};

    bool kneeOn() const { return !(kneeF < kKneeThreshold); }
};

enum class CoreLookup { whole, linear };

// The matrix step over rows of four floats, on the calling thread; `in` and
// `out` may be the same rows.
inline vimage::Error coreMatrixRows(const vimage::Buffer& in, const vimage::Buffer& out,
                                    const float matrix[4][4]) {
    return vimage::matrixMultiplyARGBFFFF(in, out, &matrix[0][0], nullptr, nullptr,
                                          vimage::kDoNotTile);
}

// The knee's curve above kneeLow, in units of mid grey.
inline float coreKneeCurve(float z, const CoreTone& t) {
    return std::log((z - t.kneeLow) * t.kneeF + 1.0f) / t.kneeF + t.kneeLow;
}

// The knee of one channel value x with gain m: linear up to kneeLow (in
// units of mid grey), logarithmic above.
inline float coreKnee(float x, float m, const CoreTone& t) {
    const float y = x * m + t.outputOffset;
    float z = y * CoreTone::kMidGreyFactor;
    if (z > t.kneeLow) z = coreKneeCurve(z, t);
    return z / CoreTone::kMidGreyFactor;
}

// The roll-off of a whole pixel's toned values: the top channel (of the
// pixel through kneeTopRows, in units of mid grey) from the start along the
// shoulder that takes kneeEnd to white, the others by the same factor. A
// start raised to the luminance leaves neutrals as they are and rolls off
// only how far a colour's top channel stands above its luminance; a
// near-white's start is lowered towards kNearWhiteKneeStart.
inline void coreKneeWhole(float v[3], const CoreTone& t) {
    constexpr float kWhite = CoreTone::kMidGreyFactor;
    const auto& m = t.kneeTopRows;
    const float r0 = m[0][0] * v[0] + m[0][1] * v[1] + m[0][2] * v[2];
    const float r1 = m[1][0] * v[0] + m[1][1] * v[1] + m[1][2] * v[2];
    const float r2 = m[2][0] * v[0] + m[2][1] * v[1] + m[2][2] * v[2];
    float top = r0 < r1 ? r1 : r0;
    top = top < r2 ? r2 : top;
    const float z = top * kWhite;
    float low = t.kneeLow;
    if (t.kneeFromLuma) {
        const float luma = (0.3f * v[0] + 0.6f * v[1] + 0.1f * v[2]) * kWhite;
        if (!(z > luma)) return;
        // The lifted curve brings a near-white's luminance up ever more
        // slowly near white; rolled off from knee low, its top would hold
        // still under white. It starts lower, from kNearWhiteKneeStart while
        // its lowest channel is at least kNearWhiteShare of its top, rising
        // to knee low where that falls to half of it, so that saturated
        // colours keep their lightness.
        const float near = ComputeMatrixAndLUT::kNearWhiteKneeStart * kWhite;
        if (near < low) {
            float bottom = r0 < r1 ? r0 : r1;
            bottom = bottom < r2 ? bottom : r2;
            constexpr float kFrom = ComputeMatrixAndLUT::kNearWhiteShare, kTo = 0.5f;
            if (bottom >= kFrom * top)
                low = near;
            else if (bottom > kTo * top)
                low -= (low - near) * (bottom / top - kTo) / (kFrom - kTo);
        }
        low = low < luma ? luma : low;
    }
    if (!(z > low)) return;
    const float room = kWhite - low, span = t.kneeEnd - low;
    if (!(room > 0.0f) || !(span > room)) return;
    const float shoulder = ComputeMatrixAndLUT::shoulderCurve(
        (z - low) / span, span / room, ComputeMatrixAndLUT::kRollOffEvenShare);
    const float f = (low + room * shoulder) / z;
    v[0] *= f;
    v[1] *= f;
    v[2] *= f;
}

// The gain at a luminance index, clamped to the table (NaN reads entry 0).
template <CoreLookup L>
inline float coreGain(const CoreTone& t, float index) {
    const int last = t.tableSize - 1;
    const int j = index >= float(last) ? last : (index > 0 ? int(index) : 0);
    if constexpr (L == CoreLookup::whole) {
        return t.table[j * 4];
    } else {
        if (j == last || !(index > 0)) return t.table[j * 4];
        const float f = index - float(j);
        const float g0 = t.table[j * 4];
        return g0 + f * (t.table[(j + 1) * 4] - g0);
    }
}

// The three output values of one matrix-output pixel p (R, G, B, index).
template <bool Knee, CoreLookup L>
inline void coreToneValues(const float* p, const CoreTone& t, float v[3]) {
    const float g = coreGain<L>(t, p[3]);
    if (Knee && t.kneeWhole) {
        for (int c = 0; c < 3; ++c) v[c] = p[c] * g + t.outputOffset;
        coreKneeWhole(v, t);
        return;
    }
    for (int c = 0; c < 3; ++c) v[c] = Knee ? coreKnee(p[c], g, t) : p[c] * g + t.outputOffset;
}

// One row of w matrix-output pixels toned in place, alpha set to 1. The
// settings come by value so the loop keeps them in registers.
template <bool Knee, CoreLookup L>
inline void coreToneFloatRow(float* p, int w, const CoreTone t) {
    for (int x = 0; x < w; ++x, p += 4) {
        float v[3];
        coreToneValues<Knee, L>(p, t, v);
        p[0] = v[0];
        p[1] = v[1];
        p[2] = v[2];
        p[3] = 1.0f;
    }
}

}  // namespace platform
