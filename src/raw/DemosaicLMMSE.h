// Directional linear minimum mean-square-error demosaicing. Along rows and
// along columns, the green-minus-colour difference is first estimated with the
// five-tap filter, then refined by an LMMSE estimate whose signal and noise
// statistics come from a nine-sample window of the difference and of its
// Gaussian-smoothed copy (sigma 2); the two directions are fused with weights
// inversely proportional to their estimated error variances; where the colour
// difference changes along both axes (diagonal colour edges), the green leans
// on one-sided estimates instead. Red and blue follow from colour differences:
// diagonally at the opposite colour's sites, then from the four axial
// neighbours at the green sites, each neighbour weighted so that a pixel by
// an edge takes its colours from its own side. Where green is flat and only
// red and blue carry detail, however faint, green keeps near its neighbours,
// red and blue also weigh their own steps, and their differences from green
// are averaged at the end, over 3×3 and then along their own detail.
//
// Input: a Bayer CFA plane (scale 65535, black-subtracted, white-balanced);
// output: packed 16-bit RGB, three samples per pixel, rows of the image's
// width, same scale. Halo: 15 pixels, mirrored at the image's edges. Images
// less than 2 pixels wide or high fall back to bilinear.
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
void DemosaicLMMSE(const CFAPlane& cfa, uint16_t* rgb, unsigned bands = kDemosaicBands);

// The same followed by the colour step of RawConvertInPlace (the camera RGB
// rounded to 16 bits, then the matrix), done as each tile is stored.
void DemosaicLMMSE(const CFAPlane& cfa, uint16_t* rgb, unsigned bands, const RawMatrix3& colour);

// Either of the above (no colour step when `colour` is null), sharing through
// `cells`, when given, where red and blue alone carry detail with a
// DemosaicAHD of the same plane and band count. Its halo is the wider, so
// what it keeps covers every tile of an AHD run after it, not the reverse.
void DemosaicLMMSE(const CFAPlane& cfa, uint16_t* rgb, unsigned bands, const RawMatrix3* colour,
                   platform::ColourOnlyCells* cells);
