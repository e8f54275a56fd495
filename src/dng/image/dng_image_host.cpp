#include "dng/image/dng_image_host.h"

#include "dng/core/dng_stream.h"
#include "dng/image/dng_bad_pixel_list.h"
#include "dng/image/dng_bad_pixels.h"
#include "dng/image/dng_gain_map.h"
#include "dng/image/dng_misc_opcodes.h"
#include "dng/image/dng_negative.h"
#include "dng/image/dng_opcode_list.h"
#include "dng/image/dng_resample.h"
#include "dng/image/dng_simple_image.h"
#include "dng/image/dng_vignette_opcode.h"
#include "dng/image/dng_warp.h"

dng_image* dng_image_host::MakeImage(const dng_rect& bounds, uint32 planes, uint32 pixelType) {
    return new dng_simple_image(bounds, planes, pixelType, Allocator());
}

dng_negative* dng_image_host::MakeNegative() { return dng_negative::Make(*this).release(); }

dng_opcode* dng_image_host::MakeOpcode(uint32 opcodeID, dng_stream& stream) {
    switch (opcodeID) {
        case dngOpcode_WarpRectilinear:
            return new dng_opcode_WarpRectilinear(stream);
        case dngOpcode_WarpFisheye:
            return new dng_opcode_WarpFisheye(stream);
        case dngOpcode_FixVignetteRadial:
            return new dng_opcode_FixVignetteRadial(stream);
        case dngOpcode_FixBadPixelsConstant:
            return new dng_opcode_FixBadPixelsConstant(stream);
        case dngOpcode_FixBadPixelsList:
            return new dng_opcode_FixBadPixelsList(*this, stream);
        case dngOpcode_TrimBounds:
            return new dng_opcode_TrimBounds(stream);
        case dngOpcode_MapTable:
            return new dng_opcode_MapTable(*this, stream);
        case dngOpcode_MapPolynomial:
            return new dng_opcode_MapPolynomial(stream);
        case dngOpcode_GainMap:
            return new dng_opcode_GainMap(*this, stream);
        case dngOpcode_DeltaPerRow:
            return new dng_opcode_DeltaPerRow(*this, stream);
        case dngOpcode_DeltaPerColumn:
            return new dng_opcode_DeltaPerColumn(*this, stream);
        case dngOpcode_ScalePerRow:
            return new dng_opcode_ScalePerRow(*this, stream);
        case dngOpcode_ScalePerColumn:
            return new dng_opcode_ScalePerColumn(*this, stream);
        default:
            return new dng_opcode_Unknown(*this, opcodeID, stream);
    }
}

void dng_image_host::ApplyOpcodeList(dng_opcode_list& list, dng_negative& negative,
                                     std::unique_ptr<dng_image>& image) {
    if (list.NotEmpty()) list.Apply(*this, negative, image);
}

void dng_image_host::ResampleImage(const dng_image& srcImage, dng_image& dstImage) {
    ::ResampleImage(*this, srcImage, dstImage, srcImage.Bounds(), dstImage.Bounds(),
                    dng_resample_bicubic::Get());
}
