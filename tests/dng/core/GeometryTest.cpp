#include <gtest/gtest.h>

#include <limits>
#include <map>
#include <mutex>

#include "dng/core/dng_area_task.h"
#include "dng/core/dng_exception.h"
#include "dng/core/dng_host.h"
#include "dng/core/dng_ifd.h"
#include "dng/core/dng_rational.h"
#include "dng/core/dng_rect.h"
#include "support/DngErrorCode.h"

namespace {

using testsupport::CodeOf;

TEST(Rect, IntersectionUnionAndOverflow) {
    EXPECT_EQ(dng_rect(0, 0, 10, 10) & dng_rect(10, 0, 20, 10), dng_rect());
    EXPECT_EQ(dng_rect(0, 0, 10, 10) & dng_rect(5, -5, 20, 7), dng_rect(5, 0, 10, 7));
    EXPECT_EQ(dng_rect() | dng_rect(1, 2, 3, 4), dng_rect(1, 2, 3, 4));
    EXPECT_EQ(dng_rect(1, 2, 3, 4) | dng_rect(5, 5, 5, 9), dng_rect(1, 2, 3, 4));
    EXPECT_EQ(dng_rect(1, 2, 3, 4) | dng_rect(-1, 5, 2, 9), dng_rect(-1, 2, 3, 9));
    EXPECT_EQ(dng_rect(uint32(20), uint32(30)), dng_rect(0, 0, 20, 30));
    EXPECT_EQ(CodeOf([] { dng_rect(uint32(0x80000000u), uint32(1)); }), dng_error_unknown);
    const int32 lo = std::numeric_limits<int32>::min();
    EXPECT_EQ(CodeOf([&] { dng_rect(lo, 0, 1, 1); }), dng_error_unknown);
    dng_rect wide;
    wide.l = lo;
    wide.r = 1;
    EXPECT_EQ(CodeOf([&] { wide.W(); }), dng_error_unknown);
    EXPECT_EQ(dng_rect(0, 5, 0, 2).W(), 0u);
    EXPECT_EQ(dng_rect(3, 0, 1, 0).H(), 0u);

    const dng_rect_real64 a(0, 0, 1, 1), b(0.5, 0.5, 2, 2);
    EXPECT_EQ(a & b, dng_rect_real64(0.5, 0.5, 1, 1));
    EXPECT_EQ(a & dng_rect_real64(1, 1, 2, 2), dng_rect_real64());
    EXPECT_EQ(dng_rect_real64::FromPoints({3, 1}, {-1, 4}, {2, -2}, {0, 0}),
              dng_rect_real64(-1, -2, 3, 4));
}

TEST(Rational, SetReal64Vectors) {
    dng_srational s;
    s.SetReal64(1.5);
    EXPECT_EQ(s, dng_srational(49152, 32768));
    s.SetReal64(0.5);
    EXPECT_EQ(s, dng_srational(536870912, 1073741824));
    s.SetReal64(-40000.4);
    EXPECT_EQ(s, dng_srational(-40000, 1));
    s.SetReal64(0.0);
    EXPECT_EQ(s, dng_srational(0, 1));
    s.SetReal64(0.0, 100);
    EXPECT_EQ(s, dng_srational(0, 1));
    s.SetReal64(-2.25, 4);
    EXPECT_EQ(s, dng_srational(-9, 4));
    // Out of range clamps instead of wrapping.
    s.SetReal64(1e30);
    EXPECT_EQ(s.n, std::numeric_limits<int32>::max());
    s.SetReal64(-1e30);
    EXPECT_EQ(s.n, std::numeric_limits<int32>::min());

    dng_urational u;
    u.SetReal64(-1);
    EXPECT_EQ(u, dng_urational(0, 1));
    u.SetReal64(1e-6);
    EXPECT_EQ(u, dng_urational(1074, 1073741824));
    u.SetReal64(1e30);
    EXPECT_EQ(u.n, std::numeric_limits<uint32>::max());
    u = dng_urational(1500, 1000);
    u.ReduceByFactor(10);
    EXPECT_EQ(u, dng_urational(15, 10));
    u = dng_urational(3, 0);
    u.ReduceByFactor(10);
    EXPECT_EQ(u, dng_urational(3, 0));
    u = dng_urational(4, 8);
    u.ReduceByFactor(1);
    EXPECT_EQ(u, dng_urational(4, 8));
    EXPECT_EQ(dng_urational(1, 0).AsReal64(), 0.0);
}

// Records every tile it is handed, from any thread.
class RecordingTask : public dng_area_task {
public:
    std::mutex mutex;
    std::map<std::pair<int32, int32>, int> visits;  // pixel -> count
    int starts = 0, finishes = 0;
    dng_rect repeating;

    RecordingTask() { fMaxTileSize = dng_point(64, 48); }
    dng_rect RepeatingTile1() const override { return repeating; }
    void Start(uint32, const dng_rect&, const dng_point&, dng_memory_allocator*,
               dng_abort_sniffer*) override {
        starts++;
    }
    void Process(uint32, const dng_rect& tile, dng_abort_sniffer*) override {
        std::lock_guard<std::mutex> lock(mutex);
        if (!repeating.IsEmpty()) {
            const int32 h = repeating.H(), w = repeating.W();
            EXPECT_EQ((tile.t - repeating.t) / h, (tile.b - 1 - repeating.t) / h);
            EXPECT_EQ((tile.l - repeating.l) / w, (tile.r - 1 - repeating.l) / w);
        }
        for (int32 v = tile.t; v < tile.b; v++)
            for (int32 h = tile.l; h < tile.r; h++) visits[{v, h}]++;
    }
    void Finish(uint32) override { finishes++; }
};

TEST(AreaTask, EveryPixelOfTheAreaExactlyOnce) {
    const dng_rect area(3, 7, 203, 150);
    for (uint32 threads : {1u, 3u}) {
        for (bool withGrid : {false, true}) {
            RecordingTask task;
            if (withGrid) task.repeating = dng_rect(0, 0, 50, 40);
            dng_host host;
            host.SetAreaTaskThreadCount(threads);
            host.PerformAreaTask(task, area);
            EXPECT_EQ(task.starts, 1);
            EXPECT_EQ(task.finishes, 1);
            ASSERT_EQ(task.visits.size(), size_t(area.H()) * area.W());
            for (const auto& [pixel, count] : task.visits) {
                ASSERT_EQ(count, 1);
                ASSERT_TRUE(pixel.first >= area.t && pixel.first < area.b);
                ASSERT_TRUE(pixel.second >= area.l && pixel.second < area.r);
            }
        }
    }
}

TEST(AreaTask, WorkerErrorReachesTheCaller) {
    class FailingTask : public dng_area_task {
    public:
        void Process(uint32, const dng_rect& tile, dng_abort_sniffer*) override {
            if (tile.t > 100) ThrowBadFormat();
        }
    } task;
    EXPECT_EQ(CodeOf([&] {
                  dng_area_task::Perform(task, dng_rect(0, 0, 600, 600), nullptr, nullptr, 4);
              }),
              dng_error_bad_format);
}

TEST(Host, TransientErrorsAndDefaults) {
    dng_host host;
    EXPECT_TRUE(host.IsTransientError(dng_error_user_canceled));
    EXPECT_TRUE(host.IsTransientError(dng_error_memory));
    EXPECT_FALSE(host.IsTransientError(dng_error_bad_format));
    EXPECT_EQ(host.AreaTaskThreadCount(), 1u);
    EXPECT_TRUE(host.NeedsMeta());
    EXPECT_TRUE(host.NeedsImage());
    auto block = host.Allocate(100);
    EXPECT_EQ(block->LogicalSize(), 100u);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(block->Buffer()) % 32, 0u);
    host.ValidateSizes();
    EXPECT_EQ(host.MinimumSize(), 0u);
    host.SetMaximumSize(500);
    host.SetPreferredSize(800);
    host.ValidateSizes();
    EXPECT_EQ(host.PreferredSize(), 500u);
    EXPECT_LE(host.MinimumSize(), 500u);
    EXPECT_GT(host.MinimumSize(), 0u);
}

TEST(Ifd, TileLayoutArithmetic) {
    dng_ifd ifd;
    EXPECT_EQ(ifd.fCompression, 1u);
    EXPECT_EQ(ifd.TilesAcross(), 0u);
    ifd.fImageWidth = 1000;
    ifd.fImageLength = 601;
    ifd.fSamplesPerPixel = 3;
    ifd.fBitsPerSample[0] = 16;
    ifd.fTileWidth = 256;
    ifd.fTileLength = 256;
    ifd.fUsesTiles = true;
    EXPECT_EQ(ifd.TilesAcross(), 4u);
    EXPECT_EQ(ifd.TilesDown(), 3u);
    EXPECT_EQ(ifd.TilesPerImage(), 12u);
    ifd.fPlanarConfiguration = 2;
    EXPECT_EQ(ifd.TilesPerImage(), 36u);
    EXPECT_EQ(ifd.TileArea(2, 3), dng_rect(512, 768, 768, 1024));
    EXPECT_EQ(ifd.UncompressedTileSize(dng_rect(0, 0, 2, 3)), 2u * 6u);
    ifd.fPlanarConfiguration = 1;
    EXPECT_EQ(ifd.UncompressedTileSize(dng_rect(0, 0, 2, 3)), 2u * 18u);
    ifd.fPlanarConfiguration = 100000;
    ifd.fBitsPerSample[0] = 12;
    EXPECT_EQ(ifd.UncompressedTileSize(dng_rect(0, 0, 2, 3)), 2u * 5u * 3u);
    ifd.fCompression = 7;
    EXPECT_EQ(ifd.UncompressedTileSize(dng_rect(0, 0, 2, 3)), 0u);

    ifd.SetSingleStrip();
    EXPECT_TRUE(ifd.fUsesStrips);
    EXPECT_EQ(ifd.TilesPerImage(), 1u);
    EXPECT_EQ(ifd.TileArea(0, 0), dng_rect(0, 0, 601, 1000));

    ifd.fTileLength = 256;
    EXPECT_EQ(ifd.TileArea(2, 0), dng_rect(512, 0, 601, 1000));
    ifd.fTileWidth = 0x80000000u;
    EXPECT_NE(CodeOf([&] { ifd.TileArea(0, 1); }), dng_error_none);
}

TEST(Ifd, FoundTilesAndStripsCoverTheImageWithinBudget) {
    dng_ifd ifd;
    ifd.fImageWidth = 3001;
    ifd.fImageLength = 2000;
    ifd.fSamplesPerPixel = 3;
    ifd.fBitsPerSample[0] = 16;
    ifd.FindTileSize(131072, 16, 16);
    EXPECT_TRUE(ifd.fUsesTiles);
    EXPECT_EQ(ifd.fTileWidth % 16, 0u);
    EXPECT_EQ(ifd.fTileLength % 16, 0u);
    EXPECT_GE(ifd.TilesAcross() * ifd.fTileWidth, 3001u);
    EXPECT_LE(ifd.fTileWidth * ifd.fTileLength * 6, 131072u * 2);
    ifd.FindStripSize(131072, 16);
    EXPECT_TRUE(ifd.fUsesStrips);
    EXPECT_EQ(ifd.fTileWidth, 3001u);
    EXPECT_GE(ifd.TilesDown() * ifd.fTileLength, 2000u);
    EXPECT_LE(ifd.fTileLength, 2000u);
}

}  // namespace
