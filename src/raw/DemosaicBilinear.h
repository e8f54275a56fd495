// Bilinear demosaicing: each missing colour is the mean of the samples of that
// colour in the pixel's 3×3 neighbourhood. Input: a CFA plane (scale 65535);
// output: packed 16-bit RGB, three samples per pixel, rows of the image's
// width. Reads one pixel beyond each output pixel, clipped at the image's
// edges. The simple reference the other interpolators are measured against,
// and the fallback for images less than two pixels wide or high.
//
// Stateless; safe to call from several threads on different outputs.
#pragma once

#include <cstdint>

#include "raw/CFAPattern.h"

// rgb must hold width × height × 3 samples. Throws std::invalid_argument for
// an empty or inconsistent plane.
void DemosaicBilinear(const CFAPlane& cfa, uint16_t* rgb);
