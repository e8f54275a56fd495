// Signed and unsigned rationals as TIFF stores them. A zero denominator means
// "not set" and reads as 0. Plain values.
#pragma once

#include "dng/core/dng_types.h"

class dng_srational {
public:
    int32 n = 0;
    int32 d = 0;

    dng_srational() = default;
    dng_srational(int32 nn, int32 dd) : n(nn), d(dd) {}

    void Clear() { n = d = 0; }
    bool IsValid() const { return d != 0; }
    bool NotValid() const { return !IsValid(); }

    real64 AsReal64() const { return d ? static_cast<real64>(n) / static_cast<real64>(d) : 0.0; }
    // Nearest fraction with the given denominator (0 = chosen from the
    // magnitude); values beyond the int32 range are clamped.
    void Set_real64(real64 x, int32 dd = 0) { SetReal64(x, dd); }
    void SetReal64(real64 x, int32 dd = 0);
    void ReduceByFactor(int32 factor);

    bool operator==(const dng_srational& o) const { return n == o.n && d == o.d; }
    bool operator!=(const dng_srational& o) const { return !(*this == o); }
};

class dng_urational {
public:
    uint32 n = 0;
    uint32 d = 0;

    dng_urational() = default;
    dng_urational(uint32 nn, uint32 dd) : n(nn), d(dd) {}

    void Clear() { n = d = 0; }
    bool IsValid() const { return d != 0; }
    bool NotValid() const { return !IsValid(); }

    real64 AsReal64() const { return d ? static_cast<real64>(n) / static_cast<real64>(d) : 0.0; }
    // As dng_srational; a value of 0 or less gives 0/1.
    void Set_real64(real64 x, uint32 dd = 0) { SetReal64(x, dd); }
    void SetReal64(real64 x, uint32 dd = 0);
    void ReduceByFactor(uint32 factor);

    bool operator==(const dng_urational& o) const { return n == o.n && d == o.d; }
    bool operator!=(const dng_urational& o) const { return !(*this == o); }
};
