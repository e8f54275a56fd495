// The utilities that work on images: an area histogram and float-depth
// limiting (the plain utilities are in dng/core/dng_utils.h).
#pragma once

#include "dng/core/dng_area_task.h"
#include "dng/core/dng_rect.h"
#include "dng/core/dng_types.h"

class dng_host;
class dng_image;

// Counts the 16-bit values of one plane of an image area into
// histogram[0 .. maximum]; values above maximum are ignored. The image must
// hold 16-bit samples and have the plane (else 100000).
void BuildAreaHistogram(dng_host& host, const dng_image& image, const dng_rect& area,
                        uint32* histogram, uint32 maximum, uint32 plane);

// Copies float image data from source to destination, scaled, rounded to the
// precision of a 16- or 24-bit float format. Both images hold 32-bit floats;
// the source covers the destination's bounds and has at least its planes
// (else 100000). Source and destination may be the same image.
void LimitFloatImageBitDepth(dng_host& host, const dng_image& srcImage, dng_image& dstImage,
                             uint32 bitDepth, real32 scale = 1.0f);

// The area task behind LimitFloatImageBitDepth. Tiles are independent, so
// Process may run on several threads at once.
class dng_limit_float_depth_task : public dng_area_task {
public:
    dng_limit_float_depth_task(const dng_image& srcImage, dng_image& dstImage, uint32 bitDepth,
                               real32 scale);

    dng_rect RepeatingTile1() const override;
    dng_rect RepeatingTile2() const override;

    void Process(uint32 threadIndex, const dng_rect& tile, dng_abort_sniffer* sniffer) override;

    void ProcessArea(uint32 threadIndex, const dng_rect& tile);

private:
    const dng_image& fSrcImage;
    dng_image& fDstImage;
    uint32 fBitDepth;
    real32 fScale;
};
