// A range of tile indices of a TileMap: inclusive bounds, where a negative
// xMin stands for every tile of the map.
#pragma once

#include <cstdint>

struct TileRegion {
    int32_t resolution = 0;
    int32_t xMin = 0;
    int32_t yMin = 0;
    int32_t xMax = 0;
    int32_t yMax = 0;

    bool allTiles() const { return xMin < 0; }
    bool contains(int x, int y) const {
        return allTiles() || (x >= xMin && x <= xMax && y >= yMin && y <= yMax);
    }
    bool operator==(const TileRegion&) const = default;
};
