// Row-major iteration over the tiles of an area. A tile grid is given by one
// tile (its size and its anchor); the tiles handed out are the grid cells that
// meet the area, clipped to it. Iterators are plain values for one thread.
#pragma once

#include <utility>
#include <vector>

#include "dng/core/dng_rect.h"

class dng_base_tile_iterator {
public:
    virtual ~dng_base_tile_iterator();

    // The next tile, or false when every tile has been handed out.
    virtual bool NextTile(dng_rect& tile) = 0;
};

class dng_tile_iterator : public dng_base_tile_iterator {
public:
    // The image's storage tiles over area ∩ image bounds; an image without a
    // storage grid is one tile. A template over the image (dng_image, from a
    // higher layer) so that this layer needs none of its code.
    template <class Image, class = decltype(std::declval<const Image&>().RepeatingTile())>
    dng_tile_iterator(const Image& image, const dng_rect& area) {
        InitializeForImage(image.Bounds(), image.RepeatingTile(), area);
    }

    // Tiles of the given size anchored at the area's top-left corner.
    dng_tile_iterator(const dng_point& tileSize, const dng_rect& area);

    // The grid of the given tile.
    dng_tile_iterator(const dng_rect& tile, const dng_rect& area);

    bool NextTile(dng_rect& tile) override;

private:
    void Initialize(const dng_rect& tile, const dng_rect& area);
    void InitializeForImage(const dng_rect& bounds, const dng_rect& grid, const dng_rect& area);

    dng_rect fArea;
    int32 fTileWidth = 0;
    int32 fTileHeight = 0;
    // Tile positions are kept in 64 bits: a grid cell may start before
    // INT32_MIN or end after INT32_MAX even though the area does not.
    int64 fTileTop = 0;
    int64 fTileLeft = 0;
    int64 fRowLeft = 0;
    int64 fLeftPage = 0;
    int64 fRightPage = 0;
    int64 fTopPage = 0;
    int64 fBottomPage = -1;
    int64 fHorizontalPage = 0;
    int64 fVerticalPage = 0;
};

// The same tiles as dng_tile_iterator, last to first.
class dng_tile_reverse_iterator : public dng_base_tile_iterator {
public:
    template <class Image, class = decltype(std::declval<const Image&>().RepeatingTile())>
    dng_tile_reverse_iterator(const Image& image, const dng_rect& area) {
        dng_tile_iterator iterator(image, area);
        Collect(iterator);
    }
    dng_tile_reverse_iterator(const dng_point& tileSize, const dng_rect& area);
    dng_tile_reverse_iterator(const dng_rect& tile, const dng_rect& area);

    bool NextTile(dng_rect& tile) override;

private:
    void Collect(dng_tile_iterator& iterator);

    std::vector<dng_rect> fTiles;
    size_t fIndex = 0;
};
