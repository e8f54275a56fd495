#include "dng/core/dng_tile_iterator.h"

#include <algorithm>

#include "dng/core/dng_exception.h"
#include "dng/core/dng_utils.h"

dng_base_tile_iterator::~dng_base_tile_iterator() = default;

dng_tile_iterator::dng_tile_iterator(const dng_point& tileSize, const dng_rect& area) {
    dng_rect tile;
    tile.t = area.t;
    tile.l = area.l;
    tile.b = (int32)std::min<int64>((int64)area.t + tileSize.v, area.b);
    tile.r = (int32)std::min<int64>((int64)area.l + tileSize.h, area.r);
    Initialize(tile, area);
}

dng_tile_iterator::dng_tile_iterator(const dng_rect& tile, const dng_rect& area) {
    Initialize(tile, area);
}

void dng_tile_iterator::Initialize(const dng_rect& tile, const dng_rect& area) {
    fArea = area;
    if (area.t >= area.b || area.l >= area.r) {
        fVerticalPage = 0;
        fBottomPage = -1;
        return;
    }

    const int64 width = (int64)tile.r - tile.l;
    const int64 height = (int64)tile.b - tile.t;
    if (width <= 0 || height <= 0 || width > INT32_MAX || height > INT32_MAX)
        ThrowDNGError(dng_error_unknown, "Bad tile size");
    fTileWidth = (int32)width;
    fTileHeight = (int32)height;

    fLeftPage = FloorDiv((int64)area.l - tile.l, width);
    fRightPage = FloorDiv((int64)area.r - tile.l - 1, width);
    fTopPage = FloorDiv((int64)area.t - tile.t, height);
    fBottomPage = FloorDiv((int64)area.b - tile.t - 1, height);

    fHorizontalPage = fLeftPage;
    fVerticalPage = fTopPage;
    fTileLeft = fLeftPage * width + tile.l;
    fRowLeft = fTileLeft;
    fTileTop = fTopPage * height + tile.t;
}

bool dng_tile_iterator::NextTile(dng_rect& tile) {
    if (fVerticalPage > fBottomPage) return false;

    // Every value below is clipped to the area, so it fits in 32 bits.
    tile.t = fVerticalPage > fTopPage ? (int32)fTileTop : fArea.t;
    tile.b = fVerticalPage < fBottomPage ? (int32)(fTileTop + fTileHeight) : fArea.b;
    tile.l = fHorizontalPage > fLeftPage ? (int32)fTileLeft : fArea.l;

    if (fHorizontalPage < fRightPage) {
        tile.r = (int32)(fTileLeft + fTileWidth);
        ++fHorizontalPage;
        fTileLeft += fTileWidth;
    } else {
        tile.r = fArea.r;
        fHorizontalPage = fLeftPage;
        fTileLeft = fRowLeft;
        ++fVerticalPage;
        fTileTop += fTileHeight;
    }
    return true;
}

dng_tile_reverse_iterator::dng_tile_reverse_iterator(const dng_point& tileSize,
                                                     const dng_rect& area) {
    dng_tile_iterator iterator(tileSize, area);
    Collect(iterator);
}

dng_tile_reverse_iterator::dng_tile_reverse_iterator(const dng_rect& tile, const dng_rect& area) {
    dng_tile_iterator iterator(tile, area);
    Collect(iterator);
}

void dng_tile_reverse_iterator::Collect(dng_tile_iterator& iterator) {
    dng_rect tile;
    while (iterator.NextTile(tile)) fTiles.push_back(tile);
    fIndex = fTiles.size();
}

bool dng_tile_reverse_iterator::NextTile(dng_rect& tile) {
    if (fIndex == 0) return false;
    tile = fTiles[--fIndex];
    return true;
}

void dng_tile_iterator::InitializeForImage(const dng_rect& bounds, const dng_rect& grid,
                                           const dng_rect& area) {
    Initialize(grid.IsEmpty() ? bounds : grid, area & bounds);
}
