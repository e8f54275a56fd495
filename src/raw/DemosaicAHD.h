// Adaptive homogeneity-directed demosaicing. Green is interpolated along rows
// and along columns with the optimal five-tap filter, red and blue follow by
// colour-difference interpolation in each direction (neighbours across the
// direction weighted so that a pixel by an edge takes its colours from its
// own side), both candidates go to
// CIELab, and each pixel takes the direction whose neighbourhood is more
// homogeneous (equal counts average the two). Two median passes on R−G and
// B−G then remove the remaining colour artefacts. Where green is flat and
// only red and blue carry detail (a colour against a grey of the same
// green, however faint), red and blue also weigh their own steps, and the
// medians, which would break such detail into a maze, give way to a 3×3
// average of the colour differences.
//
// Input: a Bayer CFA plane (scale 65535, black-subtracted, white-balanced);
// output: packed 16-bit RGB, three samples per pixel, rows of the image's
// width, same scale. Halo: 7 pixels, mirrored at the image's
// edges. Images less than 2 pixels wide or high fall back to bilinear.
//
// Runs in `bands` row bands, one thread each (the caller takes the first);
// each band allocates its scratch once. The result does not depend on the band
// count. Safe to call from several threads on different outputs.
#pragma once

#include <cstdint>

#include "raw/CFAPattern.h"
#include "raw/RawColor.h"

namespace platform {
class ColourOnlyCells;
}

// rgb must hold width × height × 3 samples. Throws std::invalid_argument for
// an empty or inconsistent plane, std::bad_alloc when scratch is refused.
void DemosaicAHD(const CFAPlane& cfa, uint16_t* rgb, unsigned bands = kDemosaicBands);

// The same followed by the colour step of RawConvertInPlace (the camera RGB
// rounded to 16 bits, then the matrix), done as each tile is stored.
void DemosaicAHD(const CFAPlane& cfa, uint16_t* rgb, unsigned bands, const RawMatrix3& colour);

// Either of the above (no colour step when `colour` is null), sharing through
// `cells`, when given, where red and blue alone carry detail with a
// DemosaicLMMSE of the same plane and band count: what that kept is taken,
// what it did not is worked out and kept (see SharedColourOnlyDetailPlane).
void DemosaicAHD(const CFAPlane& cfa, uint16_t* rgb, unsigned bands, const RawMatrix3* colour,
                 platform::ColourOnlyCells* cells);

// The first form over `area` of the plane only, each pixel as the whole
// image's run gives it: rgb holds area.width × area.height × 3 samples.
// For an image whose master is wanted only in places.
void DemosaicAHDArea(const CFAPlane& cfa, const RawCrop& area, uint16_t* rgb, unsigned bands);
