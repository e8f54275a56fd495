// Named colorimetric constants: white points and primaries of the working
// spaces, at the precision each use has always had. Some values exist twice at
// different precision on purpose (the ICC header's D50 XYZ against D50 from
// x,y; a five-digit D65 for Lab): each precision is its own constant.
#pragma once

namespace platform::colorimetry {

struct Chromaticity {
    double x, y;
};

inline constexpr Chromaticity kD50White{0.3457, 0.3585};
inline constexpr Chromaticity kD50WhiteFiveDigits{0.34567, 0.3585};
inline constexpr Chromaticity kD65White{0.3127, 0.3290};

// Red, green, blue.
inline constexpr Chromaticity kProPhotoPrimaries[3] = {
    {0.7347, 0.2653}, {0.1596, 0.8404}, {0.0366, 0.0001}};
inline constexpr Chromaticity kSRGBPrimaries[3] = {{0.64, 0.33}, {0.30, 0.60}, {0.15, 0.06}};

// Rows X, Y, Z; columns R, G, B.
inline constexpr double kXYZFromSRGB[3][3] = {
    {0.4124, 0.3576, 0.1805}, {0.2126, 0.7152, 0.0722}, {0.0193, 0.1192, 0.9505}};
inline constexpr double kXYZFromProPhoto[3][3] = {
    {0.7977, 0.1352, 0.0313}, {0.2880, 0.7119, 0.0001}, {0.0, 0.0, 0.8249}};

// White points as XYZ (Y = 1): the ICC header's D50, D65 at four and five digits.
inline constexpr double kD50XYZ[3] = {0.9642, 1.0, 0.8249};
inline constexpr double kD65XYZ[3] = {0.9504, 1.0, 1.0888};
inline constexpr double kD65XYZFiveDigits[3] = {0.95047, 1.0, 1.08883};

}  // namespace platform::colorimetry
