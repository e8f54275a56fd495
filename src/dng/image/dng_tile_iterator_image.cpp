// The image forms of the tile iterators. Kept in their own file so that code
// iterating plain rectangles does not pull in the image classes.
#include "dng/core/dng_tile_iterator.h"
#include "dng/image/dng_image.h"

dng_tile_iterator::dng_tile_iterator(const dng_image& image, const dng_rect& area) {
    const dng_rect clipped = area & image.Bounds();
    const dng_rect grid = image.RepeatingTile();
    // An image without a storage grid is one tile.
    Initialize(grid.IsEmpty() ? image.Bounds() : grid, clipped);
}

dng_tile_reverse_iterator::dng_tile_reverse_iterator(const dng_image& image, const dng_rect& area) {
    dng_tile_iterator iterator(image, area);
    Collect(iterator);
}
