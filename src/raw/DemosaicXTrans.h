// Demosaicing of the 6 × 6 X-Trans layout, and of any other three-colour
// layout of a repeat up to 8 × 8, in two renderings:
//
// - DemosaicXTransSmooth (the alternate): colour differences interpolated
//   with isotropic kernels. Green first comes from its neighbours, then red
//   and blue as green plus the mean of the nearby colour differences, then
//   green again as each red or blue sample less the colour difference the
//   greens around it show, then red and blue once more from a slightly wider
//   window. Nothing in it chooses a direction, so it draws no maze; colours
//   it cannot tell apart it smooths, never sharpens.
// - DemosaicXTrans (the master): homogeneity-directed. Green at each red or
//   blue site is estimated along four directions (rows, columns, both
//   diagonals) from the nearest greens on either side, weighted by nearness;
//   red and blue follow each candidate green as green plus the nearby colour
//   differences. Each candidate, and the smooth rendering itself, goes to a
//   perceptual space (square-root tone: lightness and two colour
//   differences); its variation around each pixel is summed over a 5 x 5
//   window, and each pixel blends the candidates with weights that fall
//   steeply with their variation (the ratio of the least to theirs, to the
//   power 50). A 3 x 3 median of the colour differences then removes
//   isolated false colours.
//
// Input: a mosaic of 16-bit samples (scale 65535, black-subtracted,
// white-balanced) and its layout; output: packed 16-bit RGB, three samples a
// pixel, rows of the image's width, same scale, or (with `colour`) the same
// multiplied by that matrix as each tile is stored. The image's edges are
// mirrored. With r the layout's cover radius (at least 1; 1 for X-Trans)
// the halo is 3 r + r + 1 for the alternate and 5 r + 7 for the master
// (5 and 12 for X-Trans), read from the image itself.
//
// Runs in `bands` row bands, one thread each (the caller takes the first),
// each band holding the scratch of one tile; the result does not depend on the
// band count. Safe to call from several threads on different outputs.
#pragma once

#include <cstddef>
#include <cstdint>

#include "raw/CFALayout.h"
#include "raw/RawColor.h"

struct MosaicPlane {
    const uint16_t* samples = nullptr;
    uint32_t width = 0;
    uint32_t height = 0;
    size_t rowStride = 0;  // in samples
    CFALayout layout;
};

// rgb must hold width × height × 3 samples. Throws std::invalid_argument for
// an empty or inconsistent plane, std::bad_alloc when scratch is refused.
void DemosaicXTrans(const MosaicPlane& mosaic, uint16_t* rgb, unsigned bands,
                    const RawMatrix3* colour = nullptr);
void DemosaicXTransSmooth(const MosaicPlane& mosaic, uint16_t* rgb, unsigned bands,
                          const RawMatrix3* colour = nullptr);
// Both in one pass, the master's first steps being the alternate's: the
// same samples as the two calls above, in less time. `alternate` may be
// null (then this is DemosaicXTrans).
void DemosaicXTransBoth(const MosaicPlane& mosaic, uint16_t* master, uint16_t* alternate,
                        unsigned bands, const RawMatrix3* colour = nullptr);
