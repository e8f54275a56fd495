#include "dng/image/dng_bad_pixels.h"

#include "dng/core/dng_exception.h"
#include "dng/core/dng_stream.h"
#include "dng/image/dng_pixel_buffer.h"

dng_opcode_FixBadPixelsConstant::dng_opcode_FixBadPixelsConstant(uint32 constant, uint32 bayerPhase)
    : dng_filter_opcode(dngOpcode_FixBadPixelsConstant, dngVersion_1_3_0_0, kFlag_None),
      fConstant(constant),
      fBayerPhase(bayerPhase) {}

dng_opcode_FixBadPixelsConstant::dng_opcode_FixBadPixelsConstant(dng_stream& stream)
    : dng_filter_opcode(dngOpcode_FixBadPixelsConstant, stream, "FixBadPixelsConstant") {
    if (ReadByteCount(stream) != 8) ThrowBadFormat("bad FixBadPixelsConstant size");
    fConstant = stream.GetUInt32();
    fBayerPhase = stream.GetUInt32();
}

void dng_opcode_FixBadPixelsConstant::PutData(dng_stream& stream) const {
    stream.PutUInt32(8);
    stream.PutUInt32(fConstant);
    stream.PutUInt32(fBayerPhase);
}

dng_rect dng_opcode_FixBadPixelsConstant::SrcArea(const dng_rect& dstArea, const dng_rect&) {
    return dng_rect(dstArea.t - 2, dstArea.l - 2, dstArea.b + 2, dstArea.r + 2);
}

void dng_opcode_FixBadPixelsConstant::Prepare(dng_negative&, uint32, const dng_point&,
                                              const dng_rect&, uint32 imagePlanes,
                                              uint32 bufferPixelType, dng_memory_allocator&) {
    if (imagePlanes != 1 || bufferPixelType != 3)
        ThrowBadFormat("bad pixels are repaired only in 16-bit mosaics");
}

void dng_opcode_FixBadPixelsConstant::ProcessArea(dng_negative&, uint32, dng_pixel_buffer& src,
                                                  dng_pixel_buffer& dst, const dng_rect& dstArea,
                                                  const dng_rect&) {
    dst.CopyArea(src, dstArea, 0, 0, dst.Planes());
    const uint16 marker = uint16(fConstant);
    static const int32 kGreen[4][2] = {{-1, -1}, {-1, 1}, {1, -1}, {1, 1}};
    static const int32 kOther[4][2] = {{-2, 0}, {2, 0}, {0, -2}, {0, 2}};
    for (int32 r = dstArea.t; r < dstArea.b; r++) {
        for (int32 c = dstArea.l; c < dstArea.r; c++) {
            if (*src.ConstPixel_uint16(r, c) != marker) continue;
            const int32(*offsets)[2] = IsGreen(r, c) ? kGreen : kOther;
            uint32 sum = 0;
            uint32 n = 0;
            for (int i = 0; i < 4; i++) {
                const uint16 v = *src.ConstPixel_uint16(r + offsets[i][0], c + offsets[i][1]);
                if (v == marker) continue;
                sum += v;
                n++;
            }
            if (n == 0) continue;
            *dst.DirtyPixel_uint16(r, c) = uint16(n == 4 ? (sum + 2) >> 2 : (sum + (n >> 1)) / n);
        }
    }
}
