#include "dng/image/dng_simple_image.h"

#include <utility>

#include "dng/core/dng_exception.h"
#include "dng/core/dng_memory_allocator.h"
#include "dng/core/dng_utils.h"
#include "dng/image/dng_tile_buffer.h"

dng_simple_image::dng_simple_image(const dng_rect& bounds, uint32_t planes, uint32_t pixelType,
                                   dng_memory_allocator& allocator)
    : dng_image(bounds, planes, pixelType), fAllocator(allocator) {
    const uint32_t bytes = ComputeTileBufferSize(
        pixelType, dng_point(int32_t(bounds.H()), int32_t(bounds.W())), planes, 1);
    fMemory = allocator.Allocate(bytes);
    fBuffer = dng_pixel_buffer(bounds, 0, planes, pixelType, pcInterleaved, fMemory->Buffer());
}

dng_simple_image::~dng_simple_image() = default;

std::unique_ptr<dng_image> dng_simple_image::Clone() const {
    auto result = std::make_unique<dng_simple_image>(fBounds, fPlanes, fPixelType, fAllocator);
    result->fBuffer.CopyArea(fBuffer, fBounds, 0, 0, fPlanes);
    return result;
}

void dng_simple_image::SetPixelType(uint32_t pixelType) {
    dng_image::SetPixelType(pixelType);
    fBuffer.fPixelType = pixelType;
}

void dng_simple_image::Trim(const dng_rect& r) {
    // A view outside the pixels would address foreign memory.
    if (r.IsEmpty() || !((r & fBounds) == r))
        ThrowDNGError(dng_error_unknown, "Trim rectangle outside the image");
    fBounds = dng_rect(0, 0, int32_t(r.H()), int32_t(r.W()));
    fBuffer.fData = fBuffer.DirtyPixel(r.t, r.l, fBuffer.fPlane);
    fBuffer.fArea = fBounds;
}

void dng_simple_image::Rotate(const dng_orientation& orientation) {
    int32_t originRow = fBounds.t;
    int32_t originCol = fBounds.l;
    int32_t colStep = fBuffer.fColStep;
    int32_t rowStep = fBuffer.fRowStep;
    int32_t width = int32_t(fBounds.W());
    int32_t height = int32_t(fBounds.H());
    if (orientation.FlipH()) {
        originCol += width - 1;
        colStep = -colStep;
    }
    if (orientation.FlipV()) {
        originRow += height - 1;
        rowStep = -rowStep;
    }
    if (orientation.FlipD()) {
        std::swap(colStep, rowStep);
        std::swap(width, height);
    }
    fBuffer.fData = fBuffer.DirtyPixel(originRow, originCol, fBuffer.fPlane);
    fBuffer.fColStep = colStep;
    fBuffer.fRowStep = rowStep;
    fBounds.r = fBounds.l + width;
    fBounds.b = fBounds.t + height;
    fBuffer.fArea = fBounds;
}

void dng_simple_image::AcquireTileBuffer(dng_tile_buffer& buffer, const dng_rect& area,
                                         bool dirty) const {
    // A view past the pixels would address foreign memory.
    if (!((area & fBounds) == area) && !area.IsEmpty())
        ThrowProgramError("Tile buffer outside the image");
    buffer.fArea = area;
    buffer.fPlane = fBuffer.fPlane;
    buffer.fPlanes = fBuffer.fPlanes;
    buffer.fRowStep = fBuffer.fRowStep;
    buffer.fColStep = fBuffer.fColStep;
    buffer.fPlaneStep = fBuffer.fPlaneStep;
    buffer.fPixelType = fBuffer.fPixelType;
    buffer.fPixelSize = fBuffer.fPixelSize;
    buffer.fData = const_cast<void*>(fBuffer.ConstPixel(area.t, area.l, fBuffer.fPlane));
    buffer.fDirty = dirty;
}
