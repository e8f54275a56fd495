// The colour and geometry of a decoded rendering: camera RGB to linear
// ProPhoto primaries with a D65 white, the default crop and the file's
// orientation, all applied in one pass over packed 16-bit RGB.
//
// Input: packed camera RGB (three samples per pixel, scale 65535, white
// balanced or not as the matrix says). Output: packed ProPhoto RGB (D65),
// full scale 65535, clamped, turned to the orientation. No halo: each output
// pixel reads exactly one input pixel.
//
// Everything here is stateless or immutable; safe from several threads.
#pragma once

#include <array>
#include <cstdint>

#include "dng/core/dng_matrix.h"

class dng_color_spec;
class dng_xy_coord;

using RawMatrix3 = std::array<std::array<float, 3>, 3>;

// Linear RGB to XYZ for the primaries' chromaticities, scaled so that RGB
// 1, 1, 1 is the white with Y = 1.
dng_matrix RawRGBToXYZ(const dng_xy_coord (&primaries)[3], const dng_xy_coord& white);

// Linear ProPhoto RGB with a D65 white from XYZ (D65, white Y = 1).
const dng_matrix& RawProPhotoD65FromXYZ();

// Camera RGB (as the dng_color_spec's camera sees it, not white balanced) to
// linear ProPhoto (D65): the dng_color_spec's camera-to-PCS matrix, the PCS white (D50)
// carried to D65 by Bradford, then the primaries. The dng_color_spec's white must be set.
dng_matrix RawCameraToProPhoto(const dng_color_spec& spec);

// XYZ (seen under the dng_color_spec's white) to camera RGB, scaled so that the white
// with Y = 1 gives the camera neutral (largest entry 1).
dng_matrix RawCameraFromXYZ(const dng_color_spec& spec);

RawMatrix3 ToRawMatrix3(const dng_matrix& m);

// A rectangle of the source in pixels.
struct RawCrop {
    uint32_t left = 0;
    uint32_t top = 0;
    uint32_t width = 0;
    uint32_t height = 0;
};

// Oriented size of a crop for a TIFF orientation code (1..8; other codes
// count as 1): codes 5 to 8 swap width and height.
void RawOrientedSize(uint32_t tiffOrientation, uint32_t width, uint32_t height,
                     uint32_t& orientedWidth, uint32_t& orientedHeight);

// The rectangle of a cropWidth × cropHeight crop that `area` of its image
// turned to the orientation shows (both counted from their top-left pixel).
RawCrop RawUnorientedArea(uint32_t tiffOrientation, uint32_t cropWidth, uint32_t cropHeight,
                          const RawCrop& area);

// dst (orientedWidth × orientedHeight × 3) = clamp(matrix × src) over the
// crop of src (srcWidth pixels per row), turned to the orientation. Runs in
// `bands` row bands of the output. dst must not overlap src.
void RawConvertCropOrient(const uint16_t* src, uint32_t srcWidth, const RawCrop& crop,
                          uint32_t tiffOrientation, const RawMatrix3& matrix, uint16_t* dst,
                          unsigned bands);

// The same in place, for a whole image with orientation 1.
void RawConvertInPlace(uint16_t* rgb, size_t pixels, const RawMatrix3& matrix, unsigned bands);
