#include "dng/image/dng_noise_profile.h"

#include <cmath>

#include "dng/core/dng_exception.h"
#include "dng/image/dng_negative.h"

real64 dng_noise_function::Evaluate(real64 x) const { return std::sqrt(fScale * x + fOffset); }

bool dng_noise_profile::IsValid() const {
    if (fNoiseFunctions.empty() || fNoiseFunctions.size() > kMaxFunctions) return false;
    for (const dng_noise_function& f : fNoiseFunctions)
        if (!f.IsValid()) return false;
    return true;
}

bool dng_noise_profile::IsValidForNegative(const dng_negative& negative) const {
    const uint32 n = NumFunctions();
    if (n != 1 && n != negative.ColorChannels()) return false;
    return IsValid();
}

const dng_noise_function& dng_noise_profile::NoiseFunction(uint32 plane) const {
    if (fNoiseFunctions.size() == 1) return fNoiseFunctions[0];
    if (plane >= fNoiseFunctions.size())
        ThrowProgramError("Bad plane index argument for NoiseFunction ().");
    return fNoiseFunctions[plane];
}

bool dng_noise_profile::operator==(const dng_noise_profile& other) const {
    const bool valid = IsValid();
    if (valid != other.IsValid()) return false;
    if (!valid) return true;
    if (NumFunctions() != other.NumFunctions()) return false;
    for (size_t i = 0; i < fNoiseFunctions.size(); i++) {
        if (!(fNoiseFunctions[i].Scale() == other.fNoiseFunctions[i].Scale()) ||
            !(fNoiseFunctions[i].Offset() == other.fNoiseFunctions[i].Offset()))
            return false;
    }
    return true;
}
