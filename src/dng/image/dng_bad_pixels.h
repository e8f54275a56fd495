// Repair of defective sensor pixels in a one-plane 16-bit Bayer mosaic:
// FixBadPixelsConstant replaces every sample equal to a marker constant by
// the average of its same-colour neighbours (diagonal ones for green sites,
// those two pixels away along the axes for red and blue sites). The Bayer
// phase alone decides which sites are green.
//
// Reads only the source buffer, so repaired pixels never feed each other and
// tiles may run on several threads.
#pragma once

#include "dng/image/dng_opcodes.h"

class dng_opcode_FixBadPixelsConstant : public dng_filter_opcode {
public:
    dng_opcode_FixBadPixelsConstant(uint32 constant, uint32 bayerPhase);
    explicit dng_opcode_FixBadPixelsConstant(dng_stream& stream);

    void PutData(dng_stream& stream) const override;
    dng_point SrcRepeat() override { return dng_point(2, 2); }
    dng_rect SrcArea(const dng_rect& dstArea, const dng_rect& imageBounds) override;
    void Prepare(dng_negative& negative, uint32 threadCount, const dng_point& tileSize,
                 const dng_rect& imageBounds, uint32 imagePlanes, uint32 bufferPixelType,
                 dng_memory_allocator& allocator) override;
    void ProcessArea(dng_negative& negative, uint32 threadIndex, dng_pixel_buffer& srcBuffer,
                     dng_pixel_buffer& dstBuffer, const dng_rect& dstArea,
                     const dng_rect& imageBounds) override;

private:
    bool IsGreen(int32 row, int32 col) const {
        return ((int64(row) + col + fBayerPhase + (fBayerPhase >> 1)) & 1) == 0;
    }

    uint32 fConstant;
    uint32 fBayerPhase;
};
