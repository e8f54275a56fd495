// Full-size demosaicing by per-phase kernels. For each colour plane the
// interpolation grid (the CFA pattern, scaled by the layout's full-scale
// factors) gets one kernel per phase: a copy where the phase has the colour,
// otherwise a weighted average of the nearest sites of the colour. Kernels
// are linear-exact: a mosaic of any plane-wise linear ramp is reproduced.
// Input: one plane of 16-bit samples for 16-bit output, or of float samples
// (0..1) for float output; output: one plane per colour. Halo: the pattern
// size on every side of the source area.
//
// Ownership: plain values. Threads: an interpolator is read-only after
// construction and may be shared by threads working on separate buffers.
#pragma once

#include <cstdint>

#include "dng/core/dng_point.h"

class dng_mosaic_info;
class dng_pixel_buffer;

class dng_bilinear_kernel {
public:
    static constexpr uint32_t kMaxCount = 8;

    uint32_t fCount = 0;
    dng_point fDelta[kMaxCount];
    float fWeight32[kMaxCount] = {};
    uint16_t fWeight16[kMaxCount] = {};
    int32_t fOffset[kMaxCount] = {};

    // Weights of 0 or less are ignored; equal deltas are merged.
    void Add(const dng_point& delta, float weight);

    // Maps grid deltas to source pixels (for full-scale factors of 2), sorts
    // the entries, computes buffer offsets and 8-bit fixed-point weights
    // summing to exactly 256.
    void Finalize(const dng_point& scale, uint32_t patRow, uint32_t patCol, int32_t rowStep,
                  int32_t colStep);
};

class dng_bilinear_pattern {
public:
    static constexpr uint32_t kMaxPattern = 16;

    dng_point fScale{1, 1};
    uint32_t fPatRows = 0;
    uint32_t fPatCols = 0;
    // Phases of the row tables: the grid's, or for the quarter-offset
    // layouts the source pattern's (one kernel per source pixel's site).
    uint32_t fRowPhases = 0;
    uint32_t fColPhases = 0;
    dng_bilinear_kernel fKernel[kMaxPattern][kMaxPattern];

    uint32_t fCounts[kMaxPattern][kMaxPattern] = {};
    int32_t fOffsets[kMaxPattern][kMaxPattern * dng_bilinear_kernel::kMaxCount] = {};
    uint16_t fWeights16[kMaxPattern][kMaxPattern * dng_bilinear_kernel::kMaxCount] = {};
    float fWeights32[kMaxPattern][kMaxPattern * dng_bilinear_kernel::kMaxCount] = {};

    void Calculate(const dng_mosaic_info& info, uint32_t colorPlane, int32_t rowStep,
                   int32_t colStep);
};

class dng_bilinear_interpolator {
public:
    dng_bilinear_interpolator(const dng_mosaic_info& info, int32_t rowStep, int32_t colStep);

    // Fills every plane of dstBuffer from the one-plane srcBuffer (16-bit for
    // a 16-bit destination, float for a float one),
    // which must cover the destination area (divided by the full scale)
    // plus the pattern size on every side, with the steps given above.
    void Interpolate(const dng_pixel_buffer& srcBuffer, dng_pixel_buffer& dstBuffer) const;

private:
    uint32_t fPlanes;
    dng_bilinear_pattern fPattern[4];
};
