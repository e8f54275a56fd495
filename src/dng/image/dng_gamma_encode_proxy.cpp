#include "dng/image/dng_gamma_encode_proxy.h"

#include <algorithm>
#include <cmath>

namespace {

constexpr real64 kCubic = 0.9921875;
constexpr real64 kLinear = 0.0078125;
constexpr real64 kCubeRootOf2 = 1.2599210498948732;

// The output-referred curve (sqrt(960 t + 1) - 1) / 30 inverted.
constexpr real64 kSquare = 0.9375;
constexpr real64 kSquareLinear = 0.0625;

}  // namespace

dng_gamma_encode_proxy::dng_gamma_encode_proxy(real64 black, real64 white, bool isSceneReferred,
                                               real64 blackLevel, real64 offset)
    : fBlack(black),
      fWhite(white),
      fIsSceneReferred(isSceneReferred),
      fBlackLevel(blackLevel),
      fOffset(offset) {}

real64 dng_gamma_encode_proxy::SceneReferredCurve(real64 t) {
    // Cardano's root of the cubic, written so that it stays exact at t = 0.
    const real64 s = 27.0 * t * kLinear * kLinear + (27.0 * t - 0.421875 * t);
    const real64 c = std::cbrt(std::sqrt(s * s + 5.0300824113946874e-5) + s);
    const real64 y = c / (3.0 * kCubeRootOf2 * kCubic) - kCubeRootOf2 * kLinear / c;
    return std::clamp(y, 0.0, 1.0);
}

real64 dng_gamma_encode_proxy::Evaluate(real64 x) const {
    if (!fIsSceneReferred) {
        const real64 t = std::clamp((x - fBlack) / (fWhite - fBlack), 0.0, 1.0);
        return (std::sqrt(960.0 * t + 1.0) - 1.0) / 30.0;
    }
    if (UsesBlackLevel()) {
        const real64 t = std::clamp((x - fBlackLevel) / (fWhite - fBlackLevel), -1.0, 1.0);
        const real64 y = t >= 0.0 ? SceneReferredCurve(t) : -SceneReferredCurve(-t);
        return std::clamp((1.0 - fOffset) * y + fOffset, 0.0, 1.0);
    }
    const real64 t = std::clamp((x - fBlack) / (fWhite - fBlack), 0.0, 1.0);
    return SceneReferredCurve(t);
}

uint32 dng_gamma_encode_proxy::InversePolynomial(real64 coefficients[4]) const {
    std::fill(coefficients, coefficients + 4, 0.0);
    if (!fIsSceneReferred) {
        const real64 range = fWhite - fBlack;
        coefficients[0] = fBlack;
        coefficients[1] = range * kSquareLinear;
        coefficients[2] = range * kSquare;
        return 2;
    }
    const real64 base = UsesBlackLevel() ? fBlackLevel : fBlack;
    const real64 range = fWhite - base;
    coefficients[0] = base;
    coefficients[1] = range * kLinear;
    coefficients[3] = range * kCubic;
    return 3;
}
