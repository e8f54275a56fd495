// The tone curve of a proxy negative: maps a linear value (0..1 of the 16-bit
// range) to a gamma-encoded one (0..1 of the 8-bit range). Output-referred
// data gets a square-root-like curve from the plane's black to its white;
// scene-referred data the root of a cubic, odd-symmetric about the stage-3
// black level when that lies above the plane's black, lifted by a code offset
// so that values below the black level survive.
//
// Immutable after construction: Evaluate is safe from several threads.
#pragma once

#include "dng/color/dng_1d_function.h"

class dng_gamma_encode_proxy : public dng_1d_function {
public:
    // offset is a fraction of the 8-bit range (code / 255).
    dng_gamma_encode_proxy(real64 black, real64 white, bool isSceneReferred, real64 blackLevel,
                           real64 offset);

    real64 Evaluate(real64 x) const override;

    // The root in [0, 1] of 0.9921875 y^3 + 0.0078125 y = t, for t in [0, 1].
    static real64 SceneReferredCurve(real64 t);

    // The polynomial that takes the linearized code ((code - offset) scaled
    // to 0..1) back to the linear value: coefficients c0..c3, zero above the
    // returned degree.
    uint32 InversePolynomial(real64 coefficients[4]) const;

private:
    bool UsesBlackLevel() const { return fIsSceneReferred && fBlackLevel > fBlack; }

    real64 fBlack;
    real64 fWhite;
    bool fIsSceneReferred;
    real64 fBlackLevel;
    real64 fOffset;
};
