#include "dng/core/dng_rational.h"

#include <cmath>

namespace {

// The automatic denominator keeps about 15 significant bits for large values
// and 30 fractional bits for small ones.
real64 AutoDenominator(real64 magnitude) {
    if (magnitude >= 32768.0) return 1.0;
    if (magnitude >= 1.0) return 32768.0;
    return 1073741824.0;
}

}  // namespace

void dng_srational::SetReal64(real64 x, int32 dd) {
    if (x == 0.0 || std::isnan(x)) {
        *this = dng_srational(0, 1);
        return;
    }
    if (dd == 0) dd = static_cast<int32>(AutoDenominator(std::fabs(x)));
    real64 scaled = x * dd;
    scaled += scaled > 0 ? 0.5 : -0.5;
    // Out-of-range values are clamped rather than converted with undefined results.
    if (scaled >= 2147483647.0)
        n = 2147483647;
    else if (scaled <= -2147483648.0)
        n = -2147483647 - 1;
    else
        n = static_cast<int32>(scaled);
    d = dd;
}

void dng_srational::ReduceByFactor(int32 factor) {
    // Factors of 1 or less would never stop dividing.
    if (factor <= 1) return;
    while (n % factor == 0 && d % factor == 0 && d >= factor) {
        n /= factor;
        d /= factor;
    }
}

void dng_urational::SetReal64(real64 x, uint32 dd) {
    if (!(x > 0.0)) {
        *this = dng_urational(0, 1);
        return;
    }
    if (dd == 0) dd = static_cast<uint32>(AutoDenominator(x));
    const real64 scaled = x * dd + 0.5;
    n = scaled >= 4294967295.0 ? 4294967295u : static_cast<uint32>(scaled);
    d = dd;
}

void dng_urational::ReduceByFactor(uint32 factor) {
    if (factor <= 1) return;
    while (n % factor == 0 && d % factor == 0 && d >= factor) {
        n /= factor;
        d /= factor;
    }
}
