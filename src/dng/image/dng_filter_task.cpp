#include "dng/image/dng_filter_task.h"

#include <limits>

#include "dng/color/dng_bottleneck.h"
#include "dng/core/dng_exception.h"
#include "dng/core/dng_memory_allocator.h"
#include "dng/core/dng_utils.h"
#include "dng/image/dng_image.h"
#include "dng/image/dng_pixel_buffer.h"

dng_filter_task::dng_filter_task(const char* name, const dng_image& srcImage, dng_image& dstImage)
    : dng_area_task(name),
      fSrcImage(srcImage),
      fDstImage(dstImage),
      fSrcPlanes(srcImage.Planes()),
      fSrcPixelType(srcImage.PixelType()),
      fDstPlanes(dstImage.Planes()),
      fDstPixelType(dstImage.PixelType()) {}

dng_filter_task::~dng_filter_task() = default;

dng_rect dng_filter_task::SrcArea(const dng_rect& dstArea) { return dstArea; }

dng_point dng_filter_task::SrcTileSize(const dng_point& dstTileSize) {
    const dng_rect srcArea = SrcArea(dng_rect(0, 0, dstTileSize.v, dstTileSize.h));
    return dng_point(int32_t(srcArea.H()), int32_t(srcArea.W()));
}

void dng_filter_task::Start(uint32_t threadCount, const dng_rect&, const dng_point& tileSize,
                            dng_memory_allocator* allocator, dng_abort_sniffer*) {
    fSrcTileSize = SrcTileSize(tileSize);
    fDstTileSize = tileSize;
    const uint32_t srcBytes = ComputeTileBufferSize(fSrcPixelType, fSrcTileSize, fSrcPlanes, 1);
    const uint32_t dstBytes = ComputeTileBufferSize(fDstPixelType, tileSize, fDstPlanes, 1);
    if (threadCount > kMaxThreads) ThrowProgramError("Too many threads");
    dng_memory_allocator& memory = allocator ? *allocator : gDefaultDNGMemoryAllocator;
    for (uint32_t thread = 0; thread < threadCount; ++thread) {
        fSrcBuffer[thread].reset();
        fDstBuffer[thread].reset();
        fSrcBuffer[thread] = memory.Allocate(srcBytes);
        fDstBuffer[thread] = memory.Allocate(dstBytes);
        gDNGBottleneck.ZeroBytes(fSrcBuffer[thread]->Buffer(), fSrcBuffer[thread]->LogicalSize());
        gDNGBottleneck.ZeroBytes(fDstBuffer[thread]->Buffer(), fDstBuffer[thread]->LogicalSize());
    }
}

void dng_filter_task::Process(uint32_t threadIndex, const dng_rect& area, dng_abort_sniffer*) {
    const dng_rect srcArea = SrcArea(area);
    const uint32_t width = srcArea.W();
    const uint32_t height = srcArea.H();
    if (width > uint32_t(std::numeric_limits<int32_t>::max()) ||
        height > uint32_t(std::numeric_limits<int32_t>::max()) || int32_t(width) > fSrcTileSize.h ||
        int32_t(height) > fSrcTileSize.v) {
        ThrowDNGError(dng_error_memory, "Area exceeds tile size.");
    }
    // The destination buffer was sized for the tile size given to Start.
    if (area.W() > uint32_t(fDstTileSize.h) || area.H() > uint32_t(fDstTileSize.v))
        ThrowDNGError(dng_error_memory, "Area exceeds tile size.");
    if (threadIndex >= kMaxThreads || !fSrcBuffer[threadIndex] || !fDstBuffer[threadIndex])
        ThrowDNGError(dng_error_unknown, "Filter task not started for this thread");

    dng_pixel_buffer srcBuffer(srcArea, fSrcPlane, fSrcPlanes, fSrcPixelType,
                               pcRowInterleavedAlignSIMD, fSrcBuffer[threadIndex]->Buffer());
    dng_pixel_buffer dstBuffer(area, fDstPlane, fDstPlanes, fDstPixelType,
                               pcRowInterleavedAlignSIMD, fDstBuffer[threadIndex]->Buffer());

    fSrcImage.Get(srcBuffer, dng_image::edge_repeat, uint32_t(fSrcRepeat.v),
                  uint32_t(fSrcRepeat.h));
    ProcessArea(threadIndex, srcBuffer, dstBuffer);
    fDstImage.Put(dstBuffer);
}
