#include "dng/color/dng_xy_coord.h"

#include <algorithm>

#include "dng/core/dng_matrix.h"

dng_xy_coord XYZtoXY(const dng_vector_3& coord) {
    const real64 X = coord[0];
    const real64 Y = coord[1];
    const real64 Z = coord[2];
    const real64 total = X + Y + Z;
    if (total > 0.0) return dng_xy_coord(X / total, Y / total);
    return D50_xy_coord();
}

dng_vector_3 XYtoXYZ(const dng_xy_coord& coord) {
    dng_xy_coord temp = coord;
    temp.x = std::clamp(temp.x, 0.000001, 0.999999);
    temp.y = std::clamp(temp.y, 0.000001, 0.999999);
    if (temp.x + temp.y > 0.999999) {
        const real64 scale = 0.999999 / (temp.x + temp.y);
        temp.x *= scale;
        temp.y *= scale;
    }
    return dng_vector_3(temp.x / temp.y, 1.0, (1.0 - temp.x - temp.y) / temp.y);
}

dng_vector_3 PCStoXYZ() { return XYtoXYZ(D50_xy_coord()); }
