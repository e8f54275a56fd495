// A pixel buffer borrowed from an image for one tile of one loop iteration:
// construction asks the image to describe the area (AcquireTileBuffer),
// destruction hands it back (ReleaseTileBuffer). Read-only and writable forms.
//
// Ownership: the image owns the pixels and must outlive the tile buffer.
// Threads: one tile buffer per thread; the image decides what may overlap.
#pragma once

#include "dng/image/dng_pixel_buffer.h"

class dng_image;

class dng_tile_buffer : public dng_pixel_buffer {
public:
    dng_tile_buffer(const dng_tile_buffer&) = delete;
    dng_tile_buffer& operator=(const dng_tile_buffer&) = delete;
    ~dng_tile_buffer() override;

    // Bookkeeping slot for the lending image (unused by in-memory images).
    void* fRefData = nullptr;

protected:
    dng_tile_buffer(const dng_image& image, const dng_rect& area, bool dirty);

    const dng_image& fImage;
};

class dng_const_tile_buffer : public dng_tile_buffer {
public:
    dng_const_tile_buffer(const dng_image& image, const dng_rect& area);
};

class dng_dirty_tile_buffer : public dng_tile_buffer {
public:
    dng_dirty_tile_buffer(dng_image& image, const dng_rect& area);
};
