// CIE 1931 chromaticity pairs and their conversions to and from XYZ. Plain
// values; the free functions are pure.
#pragma once

#include "dng/core/dng_types.h"
#include "platform/Colorimetry.h"

class dng_vector_3;

class dng_xy_coord {
public:
    real64 x = 0.0;
    real64 y = 0.0;

    dng_xy_coord() = default;
    dng_xy_coord(real64 xx, real64 yy) : x(xx), y(yy) {}

    void Clear() { x = y = 0.0; }

    bool IsValid() const { return x > 0.0 && y > 0.0; }

    bool NotValid() const { return !IsValid(); }

    bool operator==(const dng_xy_coord& coord) const { return x == coord.x && y == coord.y; }
    bool operator!=(const dng_xy_coord& coord) const { return !(*this == coord); }
};

// The D50 white, also the white of the profile connection space.
inline dng_xy_coord D50_xy_coord() {
    return dng_xy_coord(platform::colorimetry::kD50White.x, platform::colorimetry::kD50White.y);
}

// A sum of X + Y + Z that is not positive (or NaN) gives the D50 white.
dng_xy_coord XYZtoXY(const dng_vector_3& coord);

// Y = 1; x and y are first kept inside the spectral triangle's bounds.
dng_vector_3 XYtoXYZ(const dng_xy_coord& coord);

// The PCS white as XYZ, about (0.964296, 1, 0.825105).
dng_vector_3 PCStoXYZ();
