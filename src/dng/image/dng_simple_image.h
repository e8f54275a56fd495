// The in-memory image: all pixels in one memory block, interleaved planes.
// Tile buffers are views into that block, so Get and Put are single area
// copies and Trim and Rotate only change the descriptor.
//
// Ownership: the image shares ownership of its memory block with nothing
// else by default; Clone copies the pixels. The allocator must outlive it.
// Threads: several threads may read at once and write disjoint areas at once.
#pragma once

#include <memory>

#include "dng/image/dng_image.h"
#include "dng/image/dng_pixel_buffer.h"

class dng_memory_allocator;
class dng_memory_block;

class dng_simple_image : public dng_image {
public:
    dng_simple_image(const dng_rect& bounds, uint32_t planes, uint32_t pixelType,
                     dng_memory_allocator& allocator);
    ~dng_simple_image() override;

    std::unique_ptr<dng_image> Clone() const override;
    void SetPixelType(uint32_t pixelType) override;
    void Trim(const dng_rect& r) override;
    void Rotate(const dng_orientation& orientation) override;

    // The descriptor of all pixels (valid until Trim, Rotate or destruction).
    const dng_pixel_buffer& Buffer() const { return fBuffer; }

protected:
    void AcquireTileBuffer(dng_tile_buffer& buffer, const dng_rect& area,
                           bool dirty) const override;

private:
    dng_pixel_buffer fBuffer;
    std::shared_ptr<dng_memory_block> fMemory;
    dng_memory_allocator& fAllocator;
};
