// Reduced-size demosaicing: each destination pixel averages, per colour
// plane, the mosaic samples of its down rows x down columns source cell.
// Input: one plane of 16-bit samples; output: one 16-bit plane per colour.
// Halo: none beyond the cell; cells past the image edge repeat the edge with
// the pattern's phase.
//
// Ownership: refers to the mosaic information and images, which must outlive
// it. Threads: each thread sums into private variables; safe to run as an
// area task on several threads.
#pragma once

#include <cstdint>

#include "dng/image/dng_filter_task.h"
#include "dng/image/dng_mosaic_info.h"

class dng_fast_interpolator : public dng_filter_task {
public:
    dng_fast_interpolator(const dng_mosaic_info& info, const dng_image& srcImage,
                          dng_image& dstImage, const dng_point& downScale, uint32_t srcPlane);
    ~dng_fast_interpolator() override;

    dng_rect SrcArea(const dng_rect& dstArea) override;
    dng_point SrcTileSize(const dng_point& dstTileSize) override;
    void ProcessArea(uint32_t threadIndex, dng_pixel_buffer& srcBuffer,
                     dng_pixel_buffer& dstBuffer) override;

private:
    static constexpr uint8_t kNoPlane = 0xFF;

    const dng_mosaic_info& fInfo;
    dng_point fDownScale;
    // Plane index of each pattern cell's colour (kNoPlane when no plane has it).
    uint8_t fFilterColor[dng_mosaic_info::kMaxCFAPattern][dng_mosaic_info::kMaxCFAPattern];
};
