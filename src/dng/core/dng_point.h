// Integer and real points {v, h}: vertical first. Plain values.
#pragma once

#include "dng/core/dng_types.h"

class dng_point {
public:
    int32 v = 0;
    int32 h = 0;

    dng_point() = default;
    dng_point(int32 vv, int32 hh) : v(vv), h(hh) {}

    bool operator==(const dng_point& p) const { return v == p.v && h == p.h; }
    bool operator!=(const dng_point& p) const { return !(*this == p); }
};

// Overflow-checked sums and differences (dng_error_overflow).
dng_point operator+(const dng_point& a, const dng_point& b);
dng_point operator-(const dng_point& a, const dng_point& b);

class dng_point_real64 {
public:
    real64 v = 0.0;
    real64 h = 0.0;

    dng_point_real64() = default;
    dng_point_real64(real64 vv, real64 hh) : v(vv), h(hh) {}
    explicit dng_point_real64(const dng_point& p) : v(p.v), h(p.h) {}

    bool operator==(const dng_point_real64& p) const { return v == p.v && h == p.h; }
    bool operator!=(const dng_point_real64& p) const { return !(*this == p); }
};

inline dng_point_real64 operator+(const dng_point_real64& a, const dng_point_real64& b) {
    return dng_point_real64(a.v + b.v, a.h + b.h);
}
inline dng_point_real64 operator-(const dng_point_real64& a, const dng_point_real64& b) {
    return dng_point_real64(a.v - b.v, a.h - b.h);
}
