// A tone curve as a list of control points on [0, 1] × [0, 1]. A plain value
// type; not synchronised.
#pragma once

#include <vector>

#include "dng/core/dng_types.h"

class dng_spline_solver;

class dng_tone_curve {
public:
    struct point {
        real64 v;  // y
        real64 h;  // x
        bool operator==(const point& other) const { return v == other.v && h == other.h; }
    };

    std::vector<point> fCoord;

    // The null curve: (0, 0) and (1, 1).
    dng_tone_curve();

    bool operator==(const dng_tone_curve& curve) const;
    bool operator!=(const dng_tone_curve& curve) const { return !(*this == curve); }

    void SetNull();
    bool IsNull() const;

    void SetInvalid();
    bool IsValid() const;

    // Loads the points into the solver and solves it; an invalid curve
    // (fewer than two points) is refused with 100000.
    void Solve(dng_spline_solver& solver) const;
};
