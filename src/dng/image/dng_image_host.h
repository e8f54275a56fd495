// A dng_host whose factories make this library's objects: in-memory images,
// negatives, opcodes from their ids (unknown ids kept as raw bytes), opcode
// list application and bicubic resampling. The plain dng_host of the core
// cannot make them; everything that builds or reads negatives uses this one.
//
// Same ownership and thread rules as dng_host.
#pragma once

#include "dng/core/dng_host.h"

class dng_image_host : public dng_host {
public:
    using dng_host::dng_host;

    dng_image* MakeImage(const dng_rect& bounds, uint32 planes, uint32 pixelType) override;
    dng_negative* MakeNegative() override;
    dng_opcode* MakeOpcode(uint32 opcodeID, dng_stream& stream) override;
    void ApplyOpcodeList(dng_opcode_list& list, dng_negative& negative,
                         std::unique_ptr<dng_image>& image) override;
    void ResampleImage(const dng_image& srcImage, dng_image& dstImage) override;
};
