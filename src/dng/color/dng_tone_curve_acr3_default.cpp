// The inverse table keeps the published rows exactly; the rows between them
// invert the forward table by linear interpolation, adjusted to meet those
// rows, and are rounded to the same 5 decimals.
#include "dng/color/dng_tone_curve_acr3_default.h"

#include <cmath>

#include "dng/color/DefaultToneCurveTable.h"

namespace {

struct FixedRow {
    int index;
    float value;
};

constexpr FixedRow kInverseRows[] = {
    {0, 0.00000f},   {1, 0.00121f},    {2, 0.00237f},   {4, 0.00496f},   {8, 0.00951f},
    {16, 0.01620f},  {32, 0.02631f},   {64, 0.04292f},  {128, 0.07152f}, {256, 0.12122f},
    {384, 0.17393f}, {512, 0.23787f},  {640, 0.32053f}, {768, 0.43434f}, {896, 0.60748f},
    {960, 0.74360f}, {1023, 0.99291f}, {1024, 1.00000f}};

float Lookup(const float* table, real64 x) {
    const float y = float(x) * 1024.0f;
    int32 i = int32(y);
    if (!(y >= 0.0f)) i = 0;  // also NaN
    if (i < 0) i = 0;
    if (i > 1023) i = 1023;
    const float f = y - float(i);
    return table[i] * (1.0f - f) + table[i + 1] * f;
}

}  // namespace

dng_tone_curve_acr3_default::dng_tone_curve_acr3_default() {
    const float* forward = DefaultToneCurveTable::values();
    double inverted[kTableSize];
    int segment = 0;
    for (int k = 0; k < kTableSize; ++k) {
        const double target = double(k) / 1024.0;
        while (segment < kTableSize - 2 && forward[segment + 1] < target) ++segment;
        const double y0 = forward[segment], y1 = forward[segment + 1];
        const double f = y1 > y0 ? std::fmin(std::fmax((target - y0) / (y1 - y0), 0.0), 1.0) : 0.0;
        const double x = (segment + f) / 1024.0;
        inverted[k] = x;
    }
    // The published rows are not exactly the inverse of the interpolated
    // forward table: between two of them the inverted values are shifted by
    // the linearly blended differences at both ends, which keeps the table
    // rising and the published rows exact.
    constexpr int kRows = int(sizeof kInverseRows / sizeof kInverseRows[0]);
    for (int r = 0; r + 1 < kRows; ++r) {
        const int a = kInverseRows[r].index, b = kInverseRows[r + 1].index;
        const double da = kInverseRows[r].value - inverted[a];
        const double db = kInverseRows[r + 1].value - inverted[b];
        for (int k = a; k <= b; ++k) {
            const double t = double(k - a) / double(b - a);
            const double x = inverted[k] + da + (db - da) * t;
            fInverse[k] = float(std::round(x * 100000.0) / 100000.0);
        }
    }
    for (const FixedRow& row : kInverseRows) fInverse[row.index] = row.value;
}

const float* dng_tone_curve_acr3_default::ForwardTable() const {
    return DefaultToneCurveTable::values();
}

real64 dng_tone_curve_acr3_default::Evaluate(real64 x) const { return Lookup(ForwardTable(), x); }

real64 dng_tone_curve_acr3_default::EvaluateInverse(real64 y) const { return Lookup(fInverse, y); }

const dng_1d_function& dng_tone_curve_acr3_default::Get() {
    static const dng_tone_curve_acr3_default* curve = new dng_tone_curve_acr3_default();
    return *curve;
}
