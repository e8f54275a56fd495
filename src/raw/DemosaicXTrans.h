// Demosaicing of the 6 × 6 X-Trans layout, and of any other three-colour
// layout of a repeat up to 8 × 8, in two renderings:
//
// First a smooth rendering: colour differences interpolated with isotropic
// kernels (green from its neighbours, red and blue as green plus the mean of
// the nearby colour differences, green again as each red or blue sample less
// the colour difference the greens around it show, red and blue once more).
// Then, at each red or blue site, green along four directions (rows,
// columns, both diagonals) from the nearest greens on either side, weighted
// by nearness, and red and blue following each candidate green as green plus
// the nearby colour differences. Each candidate, and the smooth rendering
// itself, goes to a perceptual space (square-root tone: lightness and two
// colour differences); its variation around each pixel is summed over a
// 5 x 5 window, and each pixel blends the candidates with weights that fall
// with their variation (as a power of the ratio of the least to theirs). A
// 3 x 3 median of the colour differences then removes isolated false
// colours (at red and blue sites, green is first taken again as the sample
// less that median, where the differences around agree), and an average of
// them over 5 x 5, each neighbour weighted by
// how alike its green is, the false colour that fine texture leaves in the
// sparse red and blue samples, without carrying colour across an edge; at a
// red or blue site on a fine line or ring the same step draws green towards
// the site's own sample. Then green at red and blue sites, and red and blue
// elsewhere, are taken from straight lines fitted (on a square-root tone) to
// the samples of each colour and the greens at their sites in the 5 x 5
// around, leaning to the colour difference where the samples vary little,
// left as they were where the samples stand near grey: across an edge
// between two colours the pixels lie on the line through both, where a
// colour difference from one side drew a dark or coloured dot. Last, estimated red and blue are held within the
// range of their samples in the 7 x 7 around.
//
// - DemosaicXTrans (the master): the 50th power, so that each pixel takes
//   the smoothest candidate wherever one stands out: the most detail.
// - DemosaicXTransSmooth (the alternate): the 4th power, so that the mix
//   changes gradually from pixel to pixel and never jumps between
//   directions, which is what draws a maze; softer, with less false colour
//   in fine texture.
//
// Input: a mosaic of 16-bit samples (scale 65535, black-subtracted,
// white-balanced) and its layout; output: packed 16-bit RGB, three samples a
// pixel, rows of the image's width, same scale, or (with `colour`) the same
// multiplied by that matrix as each tile is stored. The image's edges are
// mirrored. With r the layout's cover radius (at least 1; 1 for X-Trans)
// the halo is max(4 r, 3) + r + 8 pixels (13 for X-Trans), read from the
// image itself.
//
// Runs in `bands` row bands, one thread each (the caller takes the first),
// each band holding the scratch of one tile: 35 float planes and a byte
// plane of (256 + 2 halo)^2, about 11.2 MB for X-Trans; the result does not
// depend on the band count. Safe to call from several threads on different outputs.
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
// Both in one pass, sharing all but the blend: the same samples as the two
// calls above, in less time. Either output may be null.
void DemosaicXTransBoth(const MosaicPlane& mosaic, uint16_t* master, uint16_t* alternate,
                        unsigned bands, const RawMatrix3* colour = nullptr);
// The master over `area` of the mosaic only, each pixel as the whole
// image's run gives it: rgb holds area.width × area.height × 3 samples.
void DemosaicXTransArea(const MosaicPlane& mosaic, const RawCrop& area, uint16_t* rgb,
                        unsigned bands);
// Both again, with the blend steps in their plain pixel-by-pixel form, which
// the fast form above must match (within rounding): for tests.
void DemosaicXTransReference(const MosaicPlane& mosaic, uint16_t* master, uint16_t* alternate,
                             unsigned bands);
