#include "dng/color/dng_tone_curve.h"

#include "dng/color/dng_spline_solver.h"
#include "dng/core/dng_exception.h"

dng_tone_curve::dng_tone_curve() { SetNull(); }

bool dng_tone_curve::operator==(const dng_tone_curve& curve) const {
    return fCoord == curve.fCoord;
}

void dng_tone_curve::SetNull() { fCoord = {{0.0, 0.0}, {1.0, 1.0}}; }

bool dng_tone_curve::IsNull() const { return *this == dng_tone_curve(); }

void dng_tone_curve::SetInvalid() { fCoord.clear(); }

bool dng_tone_curve::IsValid() const {
    if (fCoord.size() < 2) return false;
    for (size_t j = 0; j < fCoord.size(); ++j) {
        const point& p = fCoord[j];
        // Written as negated ranges so that NaN coordinates fail.
        if (!(p.h >= 0.0 && p.h <= 1.0 && p.v >= 0.0 && p.v <= 1.0)) return false;
        if (j > 0 && !(p.h > fCoord[j - 1].h)) return false;
    }
    return true;
}

void dng_tone_curve::Solve(dng_spline_solver& solver) const {
    if (fCoord.size() < 2) ThrowDNGError(dng_error_unknown, "Too few points");
    solver.Reset();
    for (const point& p : fCoord) solver.Add(p.h, p.v);
    solver.Solve();
}
