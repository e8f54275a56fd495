#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <map>
#include <set>
#include <stdexcept>
#include <thread>
#include <tuple>
#include <vector>

#include "engine/FileBackedFactoryNSData.h"
#include "engine/IntermediateProductCache.h"
#include "engine/TiledEngine.h"
#include "platform/Log.h"

using platform::Rect;
using platform::Size;

namespace {

struct Call {
    int c0, c1, r0, r1, pass;
    bool operator==(const Call&) const = default;
};

// Records every tile and edge call and writes `stamp` into the red channel
// of the pixels it is given.
class ProbeStage : public TiledEngine {
public:
    using TiledEngine::TiledEngine;

    std::string engineName() const override { return "ProbeStage" + std::to_string(stageId()); }

    void processTile(int c0, int c1, int r0, int r1, ImageBuffer*, ImageBuffer* dest,
                     int pass) override {
        {
            std::lock_guard<std::mutex> g(m);
            tiles.push_back({c0, c1, r0, r1, pass});
        }
        if (throwAt && c0 <= throwAt->first && throwAt->first < c1 && r0 <= throwAt->second &&
            throwAt->second < r1)
            throw std::runtime_error("tile refused");
        for (int y = r0; y < r1; ++y) {
            uint16_t* row = dest->bufferU16ForRow(y);
            if (!row) continue;
            for (int x = c0; x < c1; ++x) row[x * 4] = stamp;
            if (slow) std::this_thread::yield();
        }
    }
    void processEdge(int c0, int c1, int r0, int r1, ImageBuffer*, ImageBuffer*,
                     int pass) override {
        std::lock_guard<std::mutex> g(m);
        edges.push_back({c0, c1, r0, r1, pass});
    }

    // Calls per (tile column, tile row, pass).
    std::map<std::tuple<int, int, int>, int> perTile() {
        std::lock_guard<std::mutex> g(m);
        std::map<std::tuple<int, int, int>, int> n;
        for (const Call& c : tiles) ++n[{c.c0 / 512, c.r0 / 512, c.pass}];
        return n;
    }
    void forget() {
        std::lock_guard<std::mutex> g(m);
        tiles.clear();
        edges.clear();
    }

    std::mutex m;
    std::vector<Call> tiles, edges;
    std::atomic<uint16_t> stamp{1};
    std::optional<std::pair<int, int>> throwAt;
    bool slow = false;
};

const TileRegion kAll{0, -1, -1, -1, -1};

std::shared_ptr<ProbeStage> first(Size size, std::optional<std::string> id = std::nullopt,
                                  bool release = false) {
    return std::make_shared<ProbeStage>(size, std::move(id), release);
}

std::shared_ptr<ProbeStage> after(TiledEngine::Ptr source,
                                  std::optional<std::string> id = std::nullopt,
                                  bool release = false) {
    return std::make_shared<ProbeStage>(std::move(source), std::move(id), release);
}

}  // namespace

TEST(TiledEngineTest, EveryNotCleanTileOncePerPass) {
    auto s = first(Size{2000, 1000});  // 4 x 2 tiles
    EXPECT_EQ(s->engineName().rfind("ProbeStage", 0), 0u);
    s->setNumberOfPasses(3);
    auto process = s->runProcessToCompletion(kAll);
    ASSERT_TRUE(process && process->buffer());
    EXPECT_EQ(process->dirtyList().size(), 8u);
    auto n = s->perTile();
    EXPECT_EQ(n.size(), 8u * 3);
    for (const auto& [key, count] : n) EXPECT_EQ(count, 1);
    EXPECT_TRUE(s->mainMap()->isClean());
    EXPECT_TRUE(s->cachedImageIsDirty());
    EXPECT_TRUE(process->buffer()->validRegion().isNull());
    // Nothing is left to do.
    s->forget();
    s->runProcessToCompletion(kAll);
    EXPECT_TRUE(s->tiles.empty());
}

TEST(TiledEngineTest, AnyNumberOfWorkersDoesEachTileOnce) {
    for (int workers : {1, 2, 3, 0}) {
        auto s = first(Size{2600, 1100});  // 6 x 3
        s->setWorkerCount(workers);
        s->setNumberOfPasses(2);
        auto out = s->runProcessToCompletion(kAll)->buffer();
        auto n = s->perTile();
        EXPECT_EQ(n.size(), 18u * 2) << workers;
        for (const auto& [key, count] : n) EXPECT_EQ(count, 1) << workers;
        EXPECT_EQ(out->bufferU16ForRow(1099, 2599)[0], 1);
    }
}

TEST(TiledEngineTest, ARegionTouchesOnlyItsTiles) {
    auto s = first(Size{2000, 1000});
    TileRegion one = s->mainMap()->regionForRect(Rect{600, 0, 100, 100}, 0);
    auto process = s->runProcessToCompletion(one);
    ASSERT_EQ(s->tiles.size(), 1u);
    EXPECT_EQ(s->tiles[0], (Call{512, 1024, 0, 512, 0}));
    EXPECT_EQ(process->buffer()->validRegion(), (Rect{512, 0, 512, 512}));
    EXPECT_EQ(s->mainMap()->getTileTracker(1, 0)->state(), tileIsClean);
    EXPECT_EQ(s->mainMap()->getTileTracker(0, 0)->state(), tileIsDirty);
    s->forget();
    s->runProcessToCompletion(kAll);
    EXPECT_EQ(s->tiles.size(), 7u);
}

// The end-of-run handler learns whether everything is now clean: a partial
// run, a failed one or one in a chain whose source failed says no.
TEST(TiledEngineTest, TheRunFinishedHandlerSaysWhetherTheWholeImageIsClean) {
    auto s = first(Size{2000, 1000});
    std::vector<bool> calls;
    s->setRunFinishedHandler([&](bool whole) { calls.push_back(whole); });
    s->runProcessToCompletion(s->mainMap()->regionForRect(Rect{600, 0, 100, 100}, 0));
    s->throwAt = std::pair{1500, 700};
    s->runProcessToCompletion(kAll);
    s->throwAt.reset();
    s->runProcessToCompletion(kAll);
    EXPECT_EQ(calls, (std::vector<bool>{false, false, true}));
    s->setRunFinishedHandler(nullptr);
    s->runProcessToCompletion(kAll);
    EXPECT_EQ(calls.size(), 3u);
}

// A stage told its runs cover the whole image takes fresh buffers uncleared
// only for such runs: a partial run still leaves the other tiles zero.
TEST(TiledEngineTest, FreshBuffersGoUnclearedOnlyForRunsOverEveryTile) {
    const Size size{1500, 1100};  // 3 x 3 tiles, 1500 x 1100 x 8 bytes
    // Leave a former user's bytes in memory the next buffer may be given.
    for (int i = 0; i < 2; ++i) {
        auto used = FileBackedFactoryNSData::initWithSize(uint64_t(1500) * 1100 * 8, false);
        ASSERT_TRUE(used);
        std::memset(used->mutableBytes(), 0xEE, used->length());
    }
    auto partial = first(size);
    partial->setClearsFreshBuffers(false);
    auto out =
        partial->runProcessToCompletion(partial->mainMap()->regionForRect(Rect{0, 0, 100, 100}, 0))
            ->buffer();
    ASSERT_TRUE(out);
    EXPECT_EQ(out->bufferU16ForRow(0, 0)[0], 1);
    for (int c = 0; c < 4; ++c) EXPECT_EQ(out->bufferU16ForRow(1099, 1499)[c], 0) << c;

    auto whole = first(size);
    whole->setClearsFreshBuffers(false);
    whole->stamp = 7;
    auto all = whole->runProcessToCompletion(kAll)->buffer();
    ASSERT_TRUE(all);
    bool stamped = true;
    for (int y = 0; y < 1100; ++y)
        for (int x = 0; x < 1500; ++x) stamped = stamped && all->bufferU16ForRow(y, x)[0] == 7;
    EXPECT_TRUE(stamped);
}

TEST(TiledEngineTest, BordersAndTheEdgePass) {
    auto s = first(Size{1000, 700});
    s->setHorizontalBorder(8);
    s->setVerticalBorder(8);
    s->setIgnoreEdges(false);
    s->runProcessToCompletion(kAll);
    std::vector<Call> tiles = s->tiles, edges = s->edges;
    auto byStart = [](const Call& a, const Call& b) {
        return std::tie(a.r0, a.c0, a.c1, a.r1) < std::tie(b.r0, b.c0, b.c1, b.r1);
    };
    std::sort(tiles.begin(), tiles.end(), byStart);
    std::sort(edges.begin(), edges.end(), byStart);
    EXPECT_EQ(tiles, (std::vector<Call>{{8, 512, 8, 512, 0},
                                        {512, 992, 8, 512, 0},
                                        {8, 512, 512, 692, 0},
                                        {512, 992, 512, 692, 0}}));
    EXPECT_EQ(edges, (std::vector<Call>{{0, 1000, 0, 8, 0},
                                        {0, 8, 8, 692, 0},
                                        {992, 1000, 8, 692, 0},
                                        {0, 1000, 692, 700, 0}}));
    EXPECT_TRUE(s->edgesDone());
    s->forget();
    s->runProcessToCompletion(kAll);
    EXPECT_TRUE(s->edges.empty());
    EXPECT_TRUE(s->tiles.empty());
    // markAllDirty brings back the edge pass and every tile.
    s->markAllDirty();
    EXPECT_FALSE(s->edgesDone());
    s->runProcessToCompletion(kAll);
    EXPECT_EQ(s->edges.size(), 4u);
    EXPECT_EQ(s->tiles.size(), 4u);
}

TEST(TiledEngineTest, MarkAllDirtyIgnoresTheSourceList) {
    auto a = first(Size{1536, 1024});  // 3 x 2
    auto b = after(a);
    b->runProcessToCompletion(kAll);
    a->mainMap()->getTileTracker(2, 1)->setState(tileIsDirty);
    b->markAllDirty();
    b->forget();
    b->runProcessToCompletion(kAll);
    EXPECT_EQ(b->tiles.size(), 6u);
    EXPECT_TRUE(b->mainMap()->isClean());
}

TEST(TiledEngineTest, NeighboursOfRedoneTilesAreRedone) {
    auto a = first(Size{1536, 1536});  // 3 x 3
    auto b = after(a);
    b->setReprocessEdgeTiles(true);
    b->runProcessToCompletion(kAll);
    ASSERT_TRUE(b->mainMap()->isClean());
    // The source redoes tile (1, 0): b redoes it and all its eight neighbours
    // (five inside the map), the one directly below included.
    a->mainMap()->getTileTracker(1, 0)->setState(tileIsDirty);
    b->forget();
    a->forget();
    b->runProcessToCompletion(b->mainMap()->regionForRect(Rect{0, 0, 1536, 1536}, 0));
    EXPECT_EQ(a->tiles.size(), 1u);
    std::set<std::pair<int, int>> done;
    for (const Call& c : b->tiles) done.insert({c.c0 / 512, c.r0 / 512});
    EXPECT_EQ(done,
              (std::set<std::pair<int, int>>{{0, 0}, {1, 0}, {2, 0}, {0, 1}, {1, 1}, {2, 1}}));
    // Without the flag only the redone tile itself.
    auto c = after(a);
    c->runProcessToCompletion(kAll);
    a->mainMap()->getTileTracker(2, 2)->setState(tileIsDirty);
    c->forget();
    c->runProcessToCompletion(kAll);
    ASSERT_EQ(c->tiles.size(), 1u);
    EXPECT_EQ(c->tiles[0].c0, 1024);
    EXPECT_EQ(c->tiles[0].r0, 1024);
}

TEST(TiledEngineTest, NeighboursOutsideTheRegionWaitAndInPlaceFollowersDoNotWiden) {
    // a (own buffer) -> b (in place, redoes neighbours) -> c (in place on
    // the same buffer, also asked to redo neighbours).
    auto a = first(Size{2560, 512});  // 5 x 1
    auto b = after(a);
    auto c = after(b);
    b->setReprocessEdgeTiles(true);
    c->setReprocessEdgeTiles(true);
    auto& map = *a->mainMap();
    c->runProcessToCompletion(map.regionForRect(Rect{0, 0, 100, 100}, 0));  // tile 0 only
    // Tiles 1 and 2 are new to the source and make the region.
    c->runProcessToCompletion(map.regionForRect(Rect{600, 0, 700, 100}, 0));
    for (auto* s : {b.get(), c.get()}) {
        // Tile 0 was made from what the source had at tile 1 before: it
        // waits, edge-dirty, for a run whose region holds it.
        EXPECT_NE(s->mainMap()->getTileTracker(0, 0)->state(), tileIsClean);
        EXPECT_EQ(s->mainMap()->getTileTracker(1, 0)->state(), tileIsClean);
        EXPECT_EQ(s->mainMap()->getTileTracker(2, 0)->state(), tileIsClean);
    }
    c->runProcessToCompletion(kAll);
    ASSERT_TRUE(c->mainMap()->isClean());

    // The source redoes tile 3: b redoes it and its neighbours; c, working
    // in place behind b, has its input only there and does not widen again.
    a->forget();
    b->forget();
    c->forget();
    a->mainMap()->getTileTracker(3, 0)->setState(tileIsDirty);
    c->runProcessToCompletion(kAll);
    auto columns = [](ProbeStage& s) {
        std::set<int> done;
        for (const Call& call : s.tiles) done.insert(call.c0 / 512);
        return done;
    };
    EXPECT_EQ(columns(*a), (std::set<int>{3}));
    EXPECT_EQ(columns(*b), (std::set<int>{2, 3, 4}));
    EXPECT_EQ(columns(*c), (std::set<int>{2, 3, 4}));
}

TEST(TiledEngineTest, InPlaceSharingAndOwnedBuffers) {
    // 33 stages behind a first one: 32 work in place on its buffer, the 33rd
    // gets a buffer of its own.
    auto head = first(Size{600, 300});
    std::vector<std::shared_ptr<ProbeStage>> chain{head};
    for (int i = 0; i < 33; ++i) chain.push_back(after(chain.back()));
    auto out = chain.back()->runProcessToCompletion(kAll);
    auto shared = head->localOutputBuffer();
    ASSERT_TRUE(shared && out->buffer());
    EXPECT_NE(out->buffer(), shared);
    EXPECT_EQ(chain.back()->localOutputBuffer(), out->buffer());
    EXPECT_FALSE(chain[32]->localOutputBuffer());
    auto listed = shared->engineList();
    for (int i = 1; i <= 32; ++i)
        EXPECT_NE(std::find(listed.begin(), listed.end(), chain[i]->stageId()), listed.end());

    // An owned float source buffer: the next stage gets a float buffer of its
    // own and redoes every tile, whatever the source redid.
    auto a = first(Size{1100, 600});
    auto fbuf = ImageBufferF32::initWithSize(1100, 600, nullptr, nullptr);
    a->setLocalOutputBuffer(fbuf);
    a->runProcessToCompletion(kAll);
    fbuf->setBufferOwner(a->stageId());
    auto b = after(a);
    auto p = b->runProcessToCompletion(kAll);
    ASSERT_TRUE(p->buffer());
    EXPECT_NE(p->buffer(), fbuf);
    EXPECT_TRUE(p->buffer()->isFloat());
    EXPECT_EQ(b->tiles.size(), 6u);
}

TEST(TiledEngineTest, EvictionFromTheCacheRedoesEverything) {
    auto& cache = IntermediateProductCache::sharedIntermediateProductCache();
    cache.removeAllObjects();
    auto a = first(Size{1100, 600}, std::string("img-"));  // 3 x 2
    auto b = after(a);
    b->runProcessToCompletion(kAll);
    auto buffer = a->localOutputBuffer();
    ASSERT_TRUE(buffer);
    EXPECT_EQ(cache.retrieveItemAs<ImageBuffer>("img-" + a->engineName()), buffer);
    a->forget();
    b->forget();
    b->runProcessToCompletion(kAll);
    EXPECT_TRUE(a->tiles.empty());
    EXPECT_TRUE(b->tiles.empty());
    // Two other entries push the buffer out of the two-entry cache.
    cache.cacheItem(std::make_shared<int>(1), "other-1");
    cache.cacheItem(std::make_shared<int>(2), "other-2");
    buffer.reset();
    EXPECT_FALSE(a->localOutputBuffer());
    b->runProcessToCompletion(kAll);
    EXPECT_EQ(a->tiles.size(), 6u);
    EXPECT_EQ(b->tiles.size(), 6u);  // in place on the new buffer: everything again
    auto fresh = a->localOutputBuffer();
    ASSERT_TRUE(fresh);
    // flushCache drops the entry and the id.
    a->flushCache();
    EXPECT_FALSE(a->idForCache());
    EXPECT_FALSE(cache.retrieveItem("img-" + a->engineName()));
}

TEST(TiledEngineTest, ReleasedPrecursorsKeepServingTheOwnBuffer) {
    auto a = first(Size{700, 700}, std::nullopt, true);
    auto b = after(a, std::string("rel-"), true);
    auto owned = ImageBufferU16::initWithSize(700, 700, nullptr, nullptr);
    owned->setBufferOwner(a->stageId());
    a->setLocalOutputBuffer(owned);
    auto p1 = b->runProcessToCompletion(kAll);
    EXPECT_FALSE(b->sourceBuf());
    ASSERT_TRUE(p1->buffer());
    b->forget();
    auto p2 = b->runProcessToCompletion(kAll);
    EXPECT_EQ(p2->buffer(), p1->buffer());
    EXPECT_TRUE(b->tiles.empty());
}

TEST(TiledEngineTest, WorkersOnlyTryTileLocks) {
    auto s = first(Size{1024, 512});  // 2 x 1
    s->runProcessToCompletion(kAll);  // makes the buffer (and fresh trackers)
    s->markAllDirty();
    s->forget();
    auto held = s->mainMap()->getTileTracker(1, 0);
    std::atomic<bool> locked{false}, release{false};
    std::thread holder([&] {
        held->lock().lock();
        locked = true;
        while (!release) std::this_thread::yield();
        held->lock().unlock();
    });
    while (!locked) std::this_thread::yield();
    s->runProcessToCompletion(kAll);  // must not wait for the held tile
    EXPECT_EQ(s->tiles.size(), 1u);
    EXPECT_EQ(held->state(), tileIsDirty);
    release = true;
    holder.join();
    s->runProcessToCompletion(kAll);
    EXPECT_EQ(s->tiles.size(), 2u);
    EXPECT_TRUE(s->mainMap()->isClean());
}

TEST(TiledEngineTest, CancelAndFailuresLeaveTilesDirty) {
    auto s = first(Size{1024, 1024});
    s->setIsCanceled(true);
    s->runProcessToCompletion(kAll);
    EXPECT_TRUE(s->tiles.empty());
    EXPECT_EQ(s->mainMap()->dirtyList().size(), 4u);
    s->setIsCanceled(false);
    s->throwAt = std::make_pair(600, 10);
    // The next stage works on what it gets but passes the failure on, and
    // neither buffer claims to be valid anywhere.
    auto next = std::make_shared<ProbeStage>(s, std::nullopt, false);
    const TileRegion topLeft{0, 0, 0, 0, 0};
    auto p = next->runProcessToCompletion(topLeft);
    EXPECT_EQ(p->error(), "");
    EXPECT_EQ(p->buffer()->validRegion(), (Rect{0, 0, 512, 512}));
    p = next->runProcessToCompletion(TileRegion{0, 0, 0, 1, 1});
    EXPECT_EQ(s->lastRunError(), "tile refused");
    EXPECT_EQ(next->lastRunError(), "tile refused");
    EXPECT_EQ(p->error(), "tile refused");
    EXPECT_TRUE(p->buffer()->validRegion().isNull());
    EXPECT_EQ(s->mainMap()->dirtyList().size(), 1u);
    EXPECT_EQ(s->mainMap()->getTileTracker(1, 0)->state(), tileIsDirty);
    s->throwAt.reset();
    p = next->runProcessToCompletion(TileRegion{0, 0, 0, 1, 1});
    EXPECT_EQ(s->lastRunError(), "");
    EXPECT_EQ(p->error(), "");
    EXPECT_EQ(p->buffer()->validRegion(), (Rect{0, 0, 1024, 1024}));
    EXPECT_TRUE(s->mainMap()->isClean());
}

TEST(TiledEngineTest, SizesBeyondSixteenBitsAreRefused) {
    EXPECT_FALSE(TiledEngine::initWithSize(Size{70000, 10}, std::nullopt, false));
    EXPECT_TRUE(TiledEngine::initWithSize(Size{65535, 1}, std::nullopt, false));
    platform::LogCapture capture;
    auto s = first(Size{70000, 10});
    auto p = s->runProcessToCompletion(kAll);
    ASSERT_TRUE(p);
    EXPECT_FALSE(p->buffer());
    EXPECT_TRUE(s->tiles.empty());
    EXPECT_TRUE(capture.contains("does not fit a buffer"));
}

namespace {

// Phase 0 reads the tile and its neighbours' first pixels; phase 1 writes
// the tile. With a barrier no write happens before every read.
class TwoPhaseStage : public TiledEngine {
public:
    using TiledEngine::TiledEngine;
    void processTileInPhase(int phase, int c0, int, int r0, int, ImageBuffer*, ImageBuffer* dest,
                            int) override {
        if (phase == 0) {
            for (int y = std::max(0, r0 - 512); y < dest->imageHeight() && y <= r0 + 512; y += 512)
                for (int x = std::max(0, c0 - 512); x < dest->imageWidth() && x <= c0 + 512;
                     x += 512)
                    if (dest->bufferU16ForRow(y, x)[0] != 0) sawWrite = true;
            ++reads;
        } else {
            if (reads != tiles) writeBeforeRead = true;
            dest->bufferU16ForRow(r0, c0)[0] = 1;
        }
    }
    std::atomic<int> reads{0};
    int tiles = 0;
    std::atomic<bool> sawWrite{false}, writeBeforeRead{false};
};

}  // namespace

TEST(TiledEngineTest, TwoPhasesWithABarrier) {
    auto s = std::make_shared<TwoPhaseStage>(Size{2560, 2048}, std::nullopt, false);  // 5 x 4
    s->tiles = 20;
    s->setTilePhases(2);
    s->runProcessToCompletion(kAll);
    EXPECT_EQ(s->reads, 20);
    EXPECT_FALSE(s->sawWrite);
    EXPECT_FALSE(s->writeBeforeRead);
    EXPECT_TRUE(s->mainMap()->isClean());
}

TEST(TiledEngineTest, ConcurrentReadersSeeWholeTiles) {
    // 64 readers look at the output while runs rewrite every tile; a reader
    // that gets the buffer lock must find each tile of one run only.
    auto s = first(Size{2048, 1536});  // 4 x 3
    s->slow = true;
    s->runProcessToCompletion(kAll);
    auto buffer = s->localOutputBuffer();
    ASSERT_TRUE(buffer);
    std::atomic<bool> done{false};
    std::atomic<int> reads{0}, torn{0};
    std::vector<std::thread> readers;
    for (int i = 0; i < 64; ++i)
        readers.emplace_back([&, i] {
            while (!done) {
                if (!buffer->lockWithinSeconds(1000 + i, 0.01)) continue;
                for (int ty = 0; ty < 3; ++ty)
                    for (int tx = 0; tx < 4; ++tx) {
                        const uint16_t first = buffer->bufferU16ForRow(ty * 512, tx * 512)[0];
                        for (int y = ty * 512; y < ty * 512 + 512; y += 37)
                            for (int x = tx * 512; x < tx * 512 + 512; x += 41)
                                if (buffer->bufferU16ForRow(y, x)[0] != first) ++torn;
                    }
                buffer->unlock(1000 + i);
                ++reads;
                std::this_thread::yield();
            }
        });
    for (uint16_t run = 2; run < 8; ++run) {
        s->stamp = run;
        s->markAllDirty();
        s->runProcessToCompletion(kAll);
    }
    done = true;
    for (auto& r : readers) r.join();
    EXPECT_EQ(torn, 0);
    EXPECT_GT(reads, 0);
    EXPECT_EQ(buffer->bufferU16ForRow(1535, 2047)[0], 7);
}

namespace {
struct Listener : QuorvexTiledEngineDelegate {
    int calls = 0;
    void engineActiveRectDirty(TiledEngine&) override { ++calls; }
};
}  // namespace

TEST(TiledEngineTest, SmallParts) {
    auto s = first(Size{300, 200});
    {
        auto listener = std::make_shared<Listener>();
        s->setDelegate(listener);
        ASSERT_TRUE(s->delegate());
        s->delegate()->engineActiveRectDirty(*s);
        EXPECT_EQ(listener->calls, 1);
    }
    EXPECT_FALSE(s->delegate());  // not kept alive by the stage
    EXPECT_EQ(s->extent(), (Rect{0, 0, 300, 200}));
    EXPECT_TRUE(TiledEngine::compareFloat(platform::Value(1.0), 1.0000002f));
    EXPECT_FALSE(TiledEngine::compareFloat(platform::Value(1.0), 1.000001f));
    EXPECT_NE(first(Size{1, 1})->stageId(), s->stageId());

    platform::LogCapture capture;
    double v[4];
    EXPECT_FALSE(s->getPixelValues(1, 1, v));
    EXPECT_TRUE(capture.contains("engine not getPixelValues capable"));
    bool thumb = false;
    EXPECT_FALSE(s->imageTile(0, 1.0, Rect{0, 0, 10, 10}, nullptr, &thumb, false, 1));
    EXPECT_TRUE(capture.contains("engine not tile capable"));
    EXPECT_FALSE(s->getThumbnail(false));
    EXPECT_FALSE(s->createThumbnailCGImage(false));

    // copyTile: same format copies the rectangle (clipped), formats differ do nothing.
    auto from = ImageBufferU16::initWithSize(8, 8, nullptr, nullptr);
    auto to = ImageBufferU16::initWithSize(6, 6, nullptr, nullptr);
    for (int y = 0; y < 8; ++y)
        for (int x = 0; x < 8; ++x) from->bufferU16ForRow(y, x)[1] = uint16_t(y * 8 + x + 1);
    TiledEngine::copyTile(2, 10, 1, 10, from.get(), to.get());
    EXPECT_EQ(to->bufferU16ForRow(1, 2)[1], 11);
    EXPECT_EQ(to->bufferU16ForRow(5, 5)[1], 46);
    EXPECT_EQ(to->bufferU16ForRow(0, 2)[1], 0);
    EXPECT_EQ(to->bufferU16ForRow(1, 1)[1], 0);
    auto f = ImageBufferF32::initWithSize(8, 8, nullptr, nullptr);
    TiledEngine::copyTile(0, 8, 0, 8, f.get(), to.get());
    EXPECT_EQ(to->bufferU16ForRow(1, 2)[1], 11);
    TiledEngine::copyTile(0, 8, 3, 3, from.get(), nullptr);
}
