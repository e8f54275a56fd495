#include "dng/image/dng_encode_proxy_task.h"

#include <algorithm>
#include <cmath>

#include "dng/color/dng_1d_table.h"
#include "dng/core/dng_exception.h"
#include "dng/core/dng_host.h"
#include "dng/core/dng_tag_types.h"
#include "dng/core/dng_tag_values.h"
#include "dng/core/dng_utils.h"
#include "dng/image/dng_gamma_encode_proxy.h"
#include "dng/image/dng_image.h"
#include "dng/image/dng_pixel_buffer.h"
#include "dng/image/dng_tile_buffer.h"

namespace {

// Entries this far either side of the black level are evaluated exactly:
// the scene-referred curve is too steep there for a 4096-point table.
constexpr int32 kExactHalfWidth = 1024;

uint16 EncodeExactly(const dng_gamma_encode_proxy& function, uint32 index) {
    const real64 y = function.Evaluate(index / 65535.0) * 65535.0;
    const real64 rounded = y < 0.0 ? std::trunc(y - 0.5) : std::trunc(y + 0.5);
    return uint16(std::clamp(rounded, 0.0, 65535.0));
}

}  // namespace

dng_encode_proxy_task::dng_encode_proxy_task(dng_host& host, const dng_image& srcImage,
                                             dng_image& dstImage, const real64* black,
                                             const real64* white, bool isSceneReferred,
                                             const real64* offsets, real64 blackLevel)
    : dng_area_task("dng_encode_proxy_task"), fSrcImage(srcImage), fDstImage(dstImage) {
    if (srcImage.PixelType() != ttShort || dstImage.PixelType() != ttByte ||
        dstImage.Planes() > kMaxPlanes || srcImage.Planes() < dstImage.Planes() ||
        (srcImage.Bounds() & dstImage.Bounds()) != dstImage.Bounds())
        ThrowProgramError("proxy encoding needs a 16-bit source covering an 8-bit destination");

    const int32 center = int32(std::clamp(std::round(65535.0 * blackLevel), 0.0, 65535.0));
    const uint32 exactFirst = uint32(std::max(center - kExactHalfWidth, 0));
    const uint32 exactEnd = uint32(std::min(center + kExactHalfWidth, 65536));

    for (uint32 p = 0; p < dstImage.Planes(); p++) {
        fTable[p] = host.Allocate(65536 * sizeof(uint16));
        uint16* table = fTable[p]->Buffer_uint16();
        const dng_gamma_encode_proxy function(black[p], white[p], isSceneReferred, blackLevel,
                                              offsets[p] / 255.0);
        dng_1d_table coarse(4096);
        coarse.Initialize(host.Allocator(), function, false);
        coarse.Expand16(table);
        for (uint32 i = exactFirst; i < exactEnd; i++) table[i] = EncodeExactly(function, i);
    }
}

dng_rect dng_encode_proxy_task::RepeatingTile1() const { return fSrcImage.RepeatingTile(); }

dng_rect dng_encode_proxy_task::RepeatingTile2() const { return fDstImage.RepeatingTile(); }

void dng_encode_proxy_task::Process(uint32, const dng_rect& tile, dng_abort_sniffer*) {
    dng_const_tile_buffer srcBuffer(fSrcImage, tile);
    dng_dirty_tile_buffer dstBuffer(fDstImage, tile);
    const uint16* dither = dng_dither_table::Get();
    constexpr uint32 kMask = dng_dither_table::kRNGMask;
    constexpr uint32 kBits = dng_dither_table::kRNGBits;

    for (uint32 p = 0; p < fDstImage.Planes(); p++) {
        const uint16* table = Table(p);
        for (int32 row = tile.t; row < tile.b; row++) {
            const uint16* src = srcBuffer.ConstPixel_uint16(row, tile.l, p);
            uint8* dst = dstBuffer.DirtyPixel_uint8(row, tile.l, p);
            const uint16* ditherRow = dither + ((uint32(row) & kMask) << kBits);
            const int32 srcStep = srcBuffer.ColStep();
            const int32 dstStep = dstBuffer.ColStep();
            for (int32 col = tile.l; col < tile.r; col++, src += srcStep, dst += dstStep) {
                const uint32 value = uint32(table[*src]) * 255 + ditherRow[uint32(col) & kMask];
                *dst = uint8(value >> 16);
            }
        }
    }
}
