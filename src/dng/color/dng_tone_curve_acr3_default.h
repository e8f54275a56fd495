// The default tone curve as a 1-D function: forward and inverse tables of
// 1,025 single-precision values at k / 1024, looked up with linear
// interpolation in single precision (inputs outside [0, 1] extrapolate the end
// segments). One shared instance, built once and thread-safely; immutable.
#pragma once

#include "dng/color/dng_1d_function.h"

class dng_tone_curve_acr3_default : public dng_1d_function {
public:
    static constexpr int kTableSize = 1025;

    real64 Evaluate(real64 x) const override;
    real64 EvaluateInverse(real64 y) const override;

    static const dng_1d_function& Get();

    const float* ForwardTable() const;
    const float* InverseTable() const { return fInverse; }

private:
    dng_tone_curve_acr3_default();
    float fInverse[kTableSize];
};
