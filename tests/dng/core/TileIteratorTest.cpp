#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <vector>

#include "dng/core/dng_exception.h"
#include "dng/core/dng_memory_allocator.h"
#include "dng/core/dng_tile_iterator.h"
#include "dng/image/dng_simple_image.h"

namespace {

std::vector<dng_rect> Tiles(dng_base_tile_iterator& iterator) {
    std::vector<dng_rect> tiles;
    dng_rect tile;
    while (iterator.NextTile(tile)) tiles.push_back(tile);
    return tiles;
}

// Every pixel of the area lies in exactly one tile, nothing outside it, and
// every tile lies inside one cell of the grid.
void ExpectExactCover(const std::vector<dng_rect>& tiles, const dng_rect& area,
                      const dng_rect& gridTile) {
    const int64 h = gridTile.b - gridTile.t;
    const int64 w = gridTile.r - gridTile.l;
    std::map<std::pair<int32, int32>, int> hits;
    for (const dng_rect& t : tiles) {
        ASSERT_LT(t.t, t.b);
        ASSERT_LT(t.l, t.r);
        ASSERT_GE(t.t, area.t);
        ASSERT_GE(t.l, area.l);
        ASSERT_LE(t.b, area.b);
        ASSERT_LE(t.r, area.r);
        // Same grid cell for the first and last pixel.
        auto cell = [](int64 x, int64 origin, int64 size) {
            int64 d = x - origin;
            return d >= 0 ? d / size : -((-d + size - 1) / size);
        };
        EXPECT_EQ(cell(t.t, gridTile.t, h), cell(t.b - 1, gridTile.t, h));
        EXPECT_EQ(cell(t.l, gridTile.l, w), cell(t.r - 1, gridTile.l, w));
        for (int32 y = t.t; y < t.b; ++y)
            for (int32 x = t.l; x < t.r; ++x) ++hits[{y, x}];
    }
    EXPECT_EQ((size_t)(area.b - area.t) * (size_t)(area.r - area.l), hits.size());
    for (const auto& [pixel, count] : hits) ASSERT_EQ(1, count);
    // Row-major: tops never decrease, and within a row lefts increase.
    for (size_t i = 1; i < tiles.size(); ++i) {
        ASSERT_GE(tiles[i].t, tiles[i - 1].t);
        if (tiles[i].t == tiles[i - 1].t) {
            ASSERT_GT(tiles[i].l, tiles[i - 1].l);
        }
    }
}

dng_rect Rect(int32 t, int32 l, int32 b, int32 r) { return dng_rect(t, l, b, r); }

TEST(TileIterator, SizedTilesAnchorAtTheAreaCorner) {
    const dng_rect area = Rect(0, 0, 600, 600);
    dng_tile_iterator iterator(dng_point(256, 256), area);
    const std::vector<dng_rect> tiles = Tiles(iterator);
    ASSERT_EQ(9u, tiles.size());
    EXPECT_EQ(Rect(0, 0, 256, 256), tiles[0]);
    EXPECT_EQ(Rect(0, 256, 256, 512), tiles[1]);
    EXPECT_EQ(Rect(512, 512, 600, 600), tiles[8]);
    ExpectExactCover(tiles, area, Rect(0, 0, 256, 256));

    const dng_rect offset = Rect(7, 11, 300, 100);
    dng_tile_iterator sized(dng_point(64, 50), offset);
    const std::vector<dng_rect> more = Tiles(sized);
    EXPECT_EQ(Rect(7, 11, 71, 61), more.front());
    ExpectExactCover(more, offset, Rect(7, 11, 71, 61));
}

TEST(TileIterator, GridTilesClipToTheArea) {
    dng_tile_iterator iterator(Rect(0, 0, 256, 256), Rect(100, 300, 200, 700));
    const std::vector<dng_rect> tiles = Tiles(iterator);
    ASSERT_EQ(2u, tiles.size());
    EXPECT_EQ(Rect(100, 300, 200, 512), tiles[0]);
    EXPECT_EQ(Rect(100, 512, 200, 700), tiles[1]);
}

TEST(TileIterator, AreasBeforeTheGridOriginAreCoveredOnce) {
    struct Case {
        dng_rect tile, area;
    };
    const Case cases[] = {
        {Rect(0, 0, 256, 256), Rect(-600, -300, -10, 20)},
        {Rect(0, 0, 100, 100), Rect(-100, -100, 0, 0)},
        {Rect(0, 0, 100, 100), Rect(-101, -1, 1, 101)},
        {Rect(5, 7, 20, 30), Rect(-37, -41, 43, 13)},
        {Rect(-50, -50, -10, -20), Rect(-1000, 3, -900, 200)},
        {Rect(0, 0, 1, 1), Rect(-3, -3, 3, 3)},
    };
    for (const Case& c : cases) {
        dng_tile_iterator iterator(c.tile, c.area);
        const std::vector<dng_rect> tiles = Tiles(iterator);
        ExpectExactCover(tiles, c.area, c.tile);
    }

    // The first tile of an area starting one pixel before a tile boundary is
    // that single row.
    dng_tile_iterator iterator(Rect(0, 0, 100, 100), Rect(-1, -1, 1, 1));
    const std::vector<dng_rect> tiles = Tiles(iterator);
    ASSERT_EQ(4u, tiles.size());
    EXPECT_EQ(Rect(-1, -1, 0, 0), tiles[0]);
    EXPECT_EQ(Rect(0, 0, 1, 1), tiles[3]);
}

TEST(TileIterator, EmptyAreasAndReverseOrder) {
    dng_tile_iterator empty(dng_point(16, 16), Rect(10, 10, 10, 50));
    EXPECT_TRUE(Tiles(empty).empty());
    dng_tile_reverse_iterator emptyReverse(dng_point(16, 16), Rect(10, 10, 10, 50));
    EXPECT_TRUE(Tiles(emptyReverse).empty());

    const dng_rect area = Rect(-5, 3, 70, 90);
    dng_tile_iterator forward(Rect(0, 0, 32, 32), area);
    dng_tile_reverse_iterator reverse(Rect(0, 0, 32, 32), area);
    std::vector<dng_rect> f = Tiles(forward);
    const std::vector<dng_rect> r = Tiles(reverse);
    ASSERT_FALSE(f.empty());
    std::reverse(f.begin(), f.end());
    EXPECT_EQ(f, r);
}

TEST(TileIterator, DegenerateTileIsRefused) {
    EXPECT_THROW(dng_tile_iterator(Rect(0, 0, 0, 10), Rect(0, 0, 5, 5)), dng_exception);
}

class GridImage : public dng_simple_image {
public:
    GridImage(const dng_rect& bounds, const dng_rect& grid)
        : dng_simple_image(bounds, 1, 3, gDefaultDNGMemoryAllocator), fGrid(grid) {}
    dng_rect RepeatingTile() const override { return fGrid; }

private:
    dng_rect fGrid;
};

TEST(TileIterator, ImagesUseTheirStorageGridWithinTheirBounds) {
    const GridImage image(Rect(-100, -70, 50, 90), Rect(0, 0, 32, 32));
    dng_tile_iterator iterator(image, Rect(-200, -50, 10, 300));
    const std::vector<dng_rect> tiles = Tiles(iterator);
    ExpectExactCover(tiles, Rect(-100, -50, 10, 90), Rect(0, 0, 32, 32));
    EXPECT_EQ(Rect(-100, -50, -96, -32), tiles.front());

    dng_tile_reverse_iterator reverse(image, Rect(-200, -50, 10, 300));
    std::vector<dng_rect> backwards = Tiles(reverse);
    std::reverse(backwards.begin(), backwards.end());
    EXPECT_EQ(tiles, backwards);

    // Without a grid the whole image is one tile.
    const GridImage plain(Rect(0, 0, 40, 40), dng_rect());
    dng_tile_iterator single(plain, Rect(5, 5, 100, 100));
    const std::vector<dng_rect> one = Tiles(single);
    ASSERT_EQ(1u, one.size());
    EXPECT_EQ(Rect(5, 5, 40, 40), one[0]);

    // An area outside the image yields nothing.
    dng_tile_iterator outside(image, Rect(500, 500, 600, 600));
    EXPECT_TRUE(Tiles(outside).empty());
}

}  // namespace
