// The sensor-noise model of a negative: per colour plane (or one for all
// planes) a noise function whose variance at signal x is scale * x + offset.
// A plain copyable value without a lock.
#pragma once

#include <vector>

#include "dng/color/dng_1d_function.h"
#include "dng/core/dng_types.h"

class dng_negative;

class dng_noise_function : public dng_1d_function {
public:
    dng_noise_function() = default;
    dng_noise_function(real64 scale, real64 offset) : fScale(scale), fOffset(offset) {}

    // The standard deviation of the noise at signal x.
    real64 Evaluate(real64 x) const override;

    real64 Scale() const { return fScale; }
    real64 Offset() const { return fOffset; }
    void SetScale(real64 scale) { fScale = scale; }
    void SetOffset(real64 offset) { fOffset = offset; }

    bool IsValid() const { return fScale > 0.0 && fOffset >= 0.0; }

private:
    real64 fScale = 1.0;
    real64 fOffset = 0.0;
};

class dng_noise_profile {
public:
    static constexpr uint32 kMaxFunctions = 4;

    dng_noise_profile() = default;
    explicit dng_noise_profile(const std::vector<dng_noise_function>& functions)
        : fNoiseFunctions(functions) {}

    // 1 to 4 functions, each with scale > 0 and offset >= 0.
    bool IsValid() const;
    // Valid, and one function or one per colour channel of the negative.
    bool IsValidForNegative(const dng_negative& negative) const;

    uint32 NumFunctions() const { return static_cast<uint32>(fNoiseFunctions.size()); }

    // A single function serves every plane; otherwise the plane's own
    // (dng_error_unknown beyond the last).
    const dng_noise_function& NoiseFunction(uint32 plane) const;

    template <typename It>
    void AssignNoiseFunctions(It first, It last) {
        fNoiseFunctions.assign(first, last);
    }
    void Clear() { fNoiseFunctions.clear(); }

    // Two invalid profiles are equal; otherwise every value must compare
    // equal (a NaN never does).
    bool operator==(const dng_noise_profile& other) const;
    bool operator!=(const dng_noise_profile& other) const { return !(*this == other); }

private:
    std::vector<dng_noise_function> fNoiseFunctions;
};
