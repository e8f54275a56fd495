#include <gtest/gtest.h>

#include <thread>

#include "engine/TileMap.h"

using platform::Rect;
using platform::Size;

TEST(TileMapTest, TileCountsAndClippedLocations) {
    EXPECT_EQ(TileMap(Size{1, 1}).xTiles(), 1);
    EXPECT_EQ(TileMap(Size{512, 1}).xTiles(), 1);
    EXPECT_EQ(TileMap(Size{513, 1}).xTiles(), 2);
    EXPECT_EQ(TileMap(Size{0, 0}).xTiles(), 0);
    TileMap map(Size{1000, 700});
    ASSERT_EQ(map.xTiles(), 2);
    ASSERT_EQ(map.yTiles(), 2);
    EXPECT_EQ(map.getTileTracker(1, 0)->location(), (Rect{512, 0, 488, 512}));
    EXPECT_EQ(map.getTileTracker(1, 1)->location(), (Rect{512, 512, 488, 188}));
    EXPECT_FALSE(map.getTileTracker(-1, 0));
    EXPECT_FALSE(map.getTileTracker(2, 0));
    EXPECT_FALSE(map.getTileTracker(0, 2));
    // Row-major, and the same tracker on every ask.
    auto trackers = map.tileMap();
    EXPECT_EQ((*trackers)[3], map.getTileTracker(1, 1));
    EXPECT_TRUE(map.getTileTracker(1, 0)->isEqual(*(*trackers)[1]));
    EXPECT_EQ(map.getTileTracker(1, 1)->hash(), size_t((512 << 12) | 512));
}

TEST(TileMapTest, RegionsAndRectangles) {
    TileMap map(Size{2000, 1000});
    EXPECT_EQ(map.regionForRect(Rect{600, 0, 100, 100}, 0), (TileRegion{0, 1, 0, 1, 0}));
    EXPECT_EQ(map.regionForRect(Rect{0, 0, 2000, 1000}, 0), (TileRegion{0, 0, 0, 3, 1}));
    // A rectangle ending on a tile boundary takes the next tile too.
    EXPECT_EQ(map.regionForRect(Rect{0, 0, 512, 512}, 0), (TileRegion{0, 0, 0, 1, 1}));
    EXPECT_EQ(map.regionForRect(Rect{-100, -100, 50, 50}, 0), (TileRegion{0, 0, 0, 0, 0}));
    for (Rect r : {Rect::null(), Rect{5, 5, 0, 10}, Rect::infinite()})
        EXPECT_EQ(map.regionForRect(r, 3), (TileRegion{3, -1, -1, -1, -1}));
    EXPECT_TRUE(map.rectForRegion(TileRegion{0, -1, -1, -1, -1}).isNull());
    EXPECT_EQ(map.rectForRegion(TileRegion{0, 1, 0, 3, 1}), (Rect{512, 0, 1488, 1000}));
    EXPECT_EQ(map.rectForRegion(TileRegion{0, 0, 0, 0, 0}), (Rect{0, 0, 512, 512}));
}

TEST(TileMapTest, CleanlinessAndDirtyLists) {
    TileMap map(Size{1100, 600});  // 3 x 2 tiles
    EXPECT_FALSE(map._tileMap());
    EXPECT_FALSE(map.isClean());  // makes the trackers, all dirty
    ASSERT_TRUE(map._tileMap());
    EXPECT_EQ(map.dirtyList().size(), 6u);
    for (const auto& t : *map.tileMap()) t->setState(tileIsClean);
    EXPECT_TRUE(map.isClean());
    EXPECT_TRUE(map.isCleanInRect(Rect{0, 0, 100, 100}));
    EXPECT_FALSE(map.isCleanInRect(Rect::null()));  // the tile (-1, -1) does not exist
    map.getTileTracker(2, 1)->setState(tileIsEdgeDirty);
    EXPECT_TRUE(map.isCleanInRect(Rect{0, 0, 100, 100}));
    EXPECT_FALSE(map.isCleanInRect(Rect{1030, 520, 10, 10}));
    auto dirty = map.dirtyList();
    ASSERT_EQ(dirty.size(), 1u);
    EXPECT_EQ(dirty[0], map.getTileTracker(2, 1));
    EXPECT_EQ(map.dirtyCount(), 1);
    map.getTileTracker(0, 0)->setState(7);
    EXPECT_EQ(map.dirtyCount(), 1001);

    // A copy has trackers of its own with the same states.
    auto copy = TileMap::initWithMap(map);
    EXPECT_NE(copy->getTileTracker(2, 1), map.getTileTracker(2, 1));
    EXPECT_EQ(copy->getTileTracker(2, 1)->state(), tileIsEdgeDirty);

    // A reset makes fresh dirty trackers; an old snapshot stays usable.
    auto old = map.tileMap();
    map.resetTiles();
    EXPECT_EQ(map.dirtyList().size(), 6u);
    EXPECT_EQ((*old)[5]->state(), tileIsEdgeDirty);
    EXPECT_EQ(map.getTileTracker(0, 0)->passTrack(), -1);
}

TEST(TileMapTest, ConcurrentFirstUsersShareOneArray) {
    TileMap map(Size{5000, 5000});
    std::vector<std::shared_ptr<const TileMap::Trackers>> seen(8);
    std::vector<std::thread> threads;
    for (size_t i = 0; i < seen.size(); ++i)
        threads.emplace_back([&, i] { seen[i] = map.tileMap(); });
    for (auto& t : threads) t.join();
    for (const auto& s : seen) EXPECT_EQ(s, seen[0]);
    EXPECT_EQ(seen[0]->size(), 100u);
}
