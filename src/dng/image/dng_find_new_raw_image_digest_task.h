// The tiled raw-image digest: the image is cut into a fixed grid of cells of
// up to 256 x 256 pixels anchored at its top-left corner; each cell's samples
// (plane after plane, rows packed, in the task's pixel type, 16-bit values
// little-endian) get their own MD5, and the result is the MD5 of the cell
// digests in raster order. Cells are independent, so the result is the same
// for any thread count and tile order.
//
// Ownership: reads the caller's image, which must outlive the task. Process
// is safe from several threads (each uses only its own buffer and the
// digest slots of its tiles).
#pragma once

#include <memory>
#include <vector>

#include "dng/core/dng_area_task.h"
#include "dng/core/dng_fingerprint.h"
#include "dng/core/dng_memory_block.h"

class dng_image;

class dng_find_new_raw_image_digest_task : public dng_area_task {
public:
    static constexpr uint32 kMaxThreads = 128;

    dng_find_new_raw_image_digest_task(const dng_image& image, uint32 pixelType);

    void Start(uint32 threadCount, const dng_rect& area, const dng_point& tileSize,
               dng_memory_allocator* allocator, dng_abort_sniffer* sniffer) override;
    void Process(uint32 threadIndex, const dng_rect& tile, dng_abort_sniffer* sniffer) override;

    dng_fingerprint Result() const;

private:
    const dng_image& fImage;
    uint32 fPixelType;
    uint32 fPixelSize;
    uint32 fTilesAcross = 0;
    uint32 fTilesDown = 0;
    uint32 fTileCount = 0;
    std::vector<dng_fingerprint> fTileHash;
    std::unique_ptr<dng_memory_block> fBufferData[kMaxThreads];
};
