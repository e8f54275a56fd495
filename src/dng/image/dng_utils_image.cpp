#include "dng/image/dng_utils_image.h"

#include <cstring>

#include "dng/color/dng_bottleneck.h"
#include "dng/core/dng_exception.h"
#include "dng/core/dng_host.h"
#include "dng/core/dng_safe_arithmetic.h"
#include "dng/core/dng_tile_iterator.h"
#include "dng/core/dng_utils.h"
#include "dng/image/dng_image.h"
#include "dng/image/dng_pixel_buffer.h"
#include "dng/image/dng_tile_buffer.h"

namespace {

constexpr uint32 kPixelTypeShort = 3;
constexpr uint32 kPixelTypeFloat = 11;

}  // namespace

void BuildAreaHistogram(dng_host& /*host*/, const dng_image& image, const dng_rect& area,
                        uint32* histogram, uint32 maximum, uint32 plane) {
    if (image.PixelType() != kPixelTypeShort || plane >= image.Planes())
        ThrowDNGError(dng_error_unknown, "Histogram needs a 16-bit plane of the image");

    ReferenceZeroBytes(histogram, SafeUint32Mult(SafeUint32Add(maximum, 1), sizeof(uint32)));

    dng_tile_iterator iterator(image, area);
    dng_rect tile;
    while (iterator.NextTile(tile)) {
        dng_const_tile_buffer buffer(image, tile);
        const void* sPtr = buffer.ConstPixel(tile.t, tile.l, plane);
        uint32 count0 = tile.H();
        uint32 count1 = tile.W();
        uint32 count2 = 1;
        int32 step0 = buffer.RowStep();
        int32 step1 = buffer.ColStep();
        int32 step2 = buffer.PlaneStep();
        dng_pixel_buffer::OptimizeOrderOneBuffer(sPtr, buffer.PixelSize(), count0, count1, count2,
                                                 step0, step1, step2);
        // The reordering may move any dimension innermost, so walk all three.
        const uint16* p0 = static_cast<const uint16*>(sPtr);
        for (uint32 i0 = 0; i0 < count0; ++i0, p0 += step0) {
            const uint16* p1 = p0;
            for (uint32 i1 = 0; i1 < count1; ++i1, p1 += step1) {
                if (maximum >= 65535 && step2 == 1) {
                    for (uint32 i2 = 0; i2 < count2; ++i2) ++histogram[p1[i2]];
                } else {
                    const uint16* p = p1;
                    for (uint32 i2 = 0; i2 < count2; ++i2, p += step2) {
                        const uint32 x = *p;
                        if (x <= maximum) ++histogram[x];
                    }
                }
            }
        }
    }
}

dng_limit_float_depth_task::dng_limit_float_depth_task(const dng_image& srcImage,
                                                       dng_image& dstImage, uint32 bitDepth,
                                                       real32 scale)
    : dng_area_task("dng_limit_float_depth_task"),
      fSrcImage(srcImage),
      fDstImage(dstImage),
      fBitDepth(bitDepth),
      fScale(scale) {}

dng_rect dng_limit_float_depth_task::RepeatingTile1() const { return fSrcImage.RepeatingTile(); }

dng_rect dng_limit_float_depth_task::RepeatingTile2() const { return fDstImage.RepeatingTile(); }

void dng_limit_float_depth_task::Process(uint32 threadIndex, const dng_rect& tile,
                                         dng_abort_sniffer* /*sniffer*/) {
    ProcessArea(threadIndex, tile);
}

void dng_limit_float_depth_task::ProcessArea(uint32 /*threadIndex*/, const dng_rect& tile) {
    dng_const_tile_buffer srcBuffer(fSrcImage, tile);
    dng_dirty_tile_buffer dstBuffer(fDstImage, tile);

    uint32 count0 = tile.H();
    uint32 count1 = tile.W();
    uint32 count2 = fDstImage.Planes();
    int32 sStep0 = srcBuffer.RowStep();
    int32 sStep1 = srcBuffer.ColStep();
    int32 sStep2 = srcBuffer.PlaneStep();
    int32 dStep0 = dstBuffer.RowStep();
    int32 dStep1 = dstBuffer.ColStep();
    int32 dStep2 = dstBuffer.PlaneStep();
    const void* sVoid = srcBuffer.ConstPixel(tile.t, tile.l, 0);
    void* dVoid = dstBuffer.DirtyPixel(tile.t, tile.l, 0);
    dng_pixel_buffer::OptimizeOrder(sVoid, dVoid, sizeof(real32), sizeof(real32), count0, count1,
                                    count2, sStep0, sStep1, sStep2, dStep0, dStep1, dStep2);

    const real32* sRow = static_cast<const real32*>(sVoid);
    real32* dRow = static_cast<real32*>(dVoid);
    for (uint32 i0 = 0; i0 < count0; ++i0, sRow += sStep0, dRow += dStep0) {
        const real32* sCol = sRow;
        real32* dCol = dRow;
        for (uint32 i1 = 0; i1 < count1; ++i1, sCol += sStep1, dCol += dStep1) {
            if (fScale == 1.0f && sStep2 == 1 && dStep2 == 1) {
                if (sCol != dCol) std::memmove(dCol, sCol, count2 * sizeof(real32));
            } else {
                const real32* s = sCol;
                real32* d = dCol;
                for (uint32 i2 = 0; i2 < count2; ++i2, s += sStep2, d += dStep2) *d = *s * fScale;
            }
            if (fBitDepth == 16 || fBitDepth == 24) {
                real32* d = dCol;
                for (uint32 i2 = 0; i2 < count2; ++i2, d += dStep2)
                    *d = platform::RoundTripFloatBitDepth(*d, fBitDepth);
            }
        }
    }
}

void LimitFloatImageBitDepth(dng_host& host, const dng_image& srcImage, dng_image& dstImage,
                             uint32 bitDepth, real32 scale) {
    const dng_rect& bounds = dstImage.Bounds();
    if (srcImage.PixelType() != kPixelTypeFloat || dstImage.PixelType() != kPixelTypeFloat ||
        srcImage.Planes() < dstImage.Planes() || (srcImage.Bounds() & bounds) != bounds)
        ThrowDNGError(dng_error_unknown, "Float depth limiting needs matching float images");
    dng_limit_float_depth_task task(srcImage, dstImage, bitDepth, scale);
    host.PerformAreaTask(task, bounds);
}
