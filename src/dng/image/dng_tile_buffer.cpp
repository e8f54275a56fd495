#include "dng/image/dng_tile_buffer.h"

#include "dng/image/dng_image.h"

dng_tile_buffer::dng_tile_buffer(const dng_image& image, const dng_rect& area, bool dirty)
    : fImage(image) {
    fImage.AcquireTileBuffer(*this, area, dirty);
}

dng_tile_buffer::~dng_tile_buffer() { fImage.ReleaseTileBuffer(*this); }

dng_const_tile_buffer::dng_const_tile_buffer(const dng_image& image, const dng_rect& area)
    : dng_tile_buffer(image, area, false) {}

dng_dirty_tile_buffer::dng_dirty_tile_buffer(dng_image& image, const dng_rect& area)
    : dng_tile_buffer(image, area, true) {}
