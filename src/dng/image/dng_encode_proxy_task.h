// Encodes a 16-bit image into an 8-bit proxy image: each plane goes through
// its own 65,536-entry table of the proxy curve (dng_gamma_encode_proxy) and
// is rounded to 8 bits with the process-wide 128 x 128 dither pattern, which
// is anchored at the image origin so that tiles join without seams.
//
// Ownership: reads the source and writes the destination, both owned by the
// caller; owns its tables, which are filled in the constructor and only read
// afterwards, so Process is safe from several threads for different tiles.
#pragma once

#include <memory>

#include "dng/core/dng_area_task.h"
#include "dng/core/dng_memory_block.h"

class dng_host;
class dng_image;

class dng_encode_proxy_task : public dng_area_task {
public:
    static constexpr uint32 kMaxPlanes = 4;

    // black, white and offsets hold one value per destination plane; black
    // and white on a 0..1 scale, offsets in 8-bit codes; blackLevel is the
    // stage-3 black level on a 0..1 scale.
    dng_encode_proxy_task(dng_host& host, const dng_image& srcImage, dng_image& dstImage,
                          const real64* black, const real64* white, bool isSceneReferred,
                          const real64* offsets, real64 blackLevel);

    dng_rect RepeatingTile1() const override;
    dng_rect RepeatingTile2() const override;
    void Process(uint32 threadIndex, const dng_rect& tile, dng_abort_sniffer* sniffer) override;

    // The 16-bit encoded value of each 16-bit input of a plane.
    const uint16* Table(uint32 plane) const { return fTable[plane]->Buffer_uint16(); }

private:
    const dng_image& fSrcImage;
    dng_image& fDstImage;
    std::unique_ptr<dng_memory_block> fTable[kMaxPlanes];
};
