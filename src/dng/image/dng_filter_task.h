// An area task that carries an image filter tile by tile: each tile's source
// pixels (possibly a larger area, for neighbourhood filters) are read from
// the source image into a per-thread buffer with the edges repeated, the
// subclass computes the destination tile into a second per-thread buffer,
// and that buffer is stored into the destination image.
//
// Ownership: the task owns its per-thread buffers (allocated in Start, kept
// until replaced or the task dies); the images must outlive the task.
// Threads: Process may run on several threads at once, each with its own
// index and buffers; nothing but those buffers is written after Start.
#pragma once

#include <cstdint>
#include <memory>

#include "dng/core/dng_area_task.h"
#include "dng/core/dng_point.h"
#include "dng/core/dng_rect.h"

class dng_image;
class dng_memory_block;
class dng_pixel_buffer;

class dng_filter_task : public dng_area_task {
public:
    dng_filter_task(const char* name, const dng_image& srcImage, dng_image& dstImage);
    ~dng_filter_task() override;

    // Per-thread buffers exist for thread indices 0 .. kMaxThreads - 1.
    static constexpr uint32_t kMaxThreads = 128;

    // The source pixels needed for the destination area; default the area.
    virtual dng_rect SrcArea(const dng_rect& dstArea);

    // Size of SrcArea of a tile of the given size at the origin.
    virtual dng_point SrcTileSize(const dng_point& dstTileSize);

    // Computes the destination tile; must write every pixel it owns.
    virtual void ProcessArea(uint32_t threadIndex, dng_pixel_buffer& srcBuffer,
                             dng_pixel_buffer& dstBuffer) = 0;

    void Start(uint32_t threadCount, const dng_rect& dstArea, const dng_point& tileSize,
               dng_memory_allocator* allocator, dng_abort_sniffer* sniffer) override;
    void Process(uint32_t threadIndex, const dng_rect& area, dng_abort_sniffer* sniffer) override;

protected:
    const dng_image& fSrcImage;
    dng_image& fDstImage;

    uint32_t fSrcPlane = 0;
    uint32_t fSrcPlanes;
    uint32_t fSrcPixelType;

    uint32_t fDstPlane = 0;
    uint32_t fDstPlanes;
    uint32_t fDstPixelType;

    dng_point fSrcRepeat{1, 1};
    dng_point fSrcTileSize{0, 0};

private:
    dng_point fDstTileSize{0, 0};

protected:
    std::unique_ptr<dng_memory_block> fSrcBuffer[kMaxThreads];
    std::unique_ptr<dng_memory_block> fDstBuffer[kMaxThreads];
};
