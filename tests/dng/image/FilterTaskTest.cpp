// The filter-task protocol: source areas with a margin, edge repetition with
// the source repeat's phase, per-thread buffers, and identical results for
// one and several threads.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>

#include "dng/core/dng_memory_allocator.h"
#include "dng/image/ImageTestSupport.h"
#include "dng/image/dng_filter_task.h"

using imagetest::errorCode;
using imagetest::makeImage;
using imagetest::sample;

namespace {

// Counts live blocks so that tests can see what a task allocates.
class CountingAllocator : public dng_memory_allocator {
public:
    std::atomic<int> live{0};
    std::atomic<int> made{0};

    std::unique_ptr<dng_memory_block> Allocate(uint32_t size) override {
        return std::make_unique<Block>(size, *this);
    }

private:
    class Block : public dng_memory_block {
    public:
        Block(uint32_t size, CountingAllocator& owner) : dng_memory_block(size), fOwner(owner) {
            fMemory = std::malloc(size ? size : 1);
            SetBuffer(fMemory);
            ++fOwner.live;
            ++fOwner.made;
        }
        ~Block() override {
            std::free(fMemory);
            --fOwner.live;
        }

    private:
        CountingAllocator& fOwner;
        void* fMemory;
    };
};

// Weighted 5 x 5 window sum, so that any misplaced source pixel shows.
class WindowTask : public dng_filter_task {
public:
    WindowTask(const dng_image& src, dng_image& dst, const dng_point& repeat)
        : dng_filter_task("WindowTask", src, dst) {
        fSrcRepeat = repeat;
        fMinTaskArea = 64;
        fMaxTileSize = dng_point(37, 29);
    }
    dng_rect SrcArea(const dng_rect& a) override {
        return dng_rect(a.t - 2, a.l - 2, a.b + 2, a.r + 2);
    }
    void ProcessArea(uint32_t, dng_pixel_buffer& src, dng_pixel_buffer& dst) override {
        for (int32_t r = dst.fArea.t; r < dst.fArea.b; ++r)
            for (int32_t c = dst.fArea.l; c < dst.fArea.r; ++c) {
                uint32_t total = 0;
                for (int32_t dy = -2; dy <= 2; ++dy)
                    for (int32_t dx = -2; dx <= 2; ++dx)
                        total += uint32_t((dy + 3) * (dx + 7)) *
                                 *src.ConstPixel_uint16(r + dy, c + dx, 0);
                *dst.DirtyPixel_uint32(r, c, 0) = total;
            }
    }
};

// Image coordinate that an edge-repeated read with a pattern of `repeat`
// pixels shows at x, for an image of n pixels starting at 0.
int32_t repeated(int32_t x, int32_t n, int32_t repeat) {
    if (x < 0) return ((x % repeat) + repeat) % repeat;
    if (x >= n) return n - repeat + (x - (n - repeat)) % repeat;
    return x;
}

}  // namespace

TEST(FilterTask, MarginsRepeatTheEdgeWithThePatternPhaseOnAnyThreadCount) {
    dng_host host;
    const int32_t rows = 101, cols = 87;
    auto src = makeImage(host, dng_rect(0, 0, rows, cols), 1, 3,
                         [](int32_t r, int32_t c, uint32_t) { return (r * 131 + c * 17) % 1000; });
    for (int32_t repeat : {1, 2}) {
        std::vector<std::unique_ptr<dng_simple_image>> results;
        for (uint32_t threads : {1u, 4u}) {
            host.SetAreaTaskThreadCount(threads);
            auto dst = std::make_unique<dng_simple_image>(dng_rect(0, 0, rows, cols), 1, 4,
                                                          host.Allocator());
            WindowTask task(*src, *dst, dng_point(repeat, repeat));
            host.PerformAreaTask(task, dst->Bounds());
            results.push_back(std::move(dst));
        }
        EXPECT_TRUE(results[0]->EqualArea(*results[1], results[0]->Bounds(), 0, 1));
        for (int32_t r = 0; r < rows; ++r)
            for (int32_t c = 0; c < cols; ++c) {
                uint32_t expected = 0;
                for (int32_t dy = -2; dy <= 2; ++dy)
                    for (int32_t dx = -2; dx <= 2; ++dx)
                        expected += uint32_t((dy + 3) * (dx + 7)) *
                                    uint32_t(sample(*src, repeated(r + dy, rows, repeat),
                                                    repeated(c + dx, cols, repeat)));
                ASSERT_EQ(sample(*results[0], r, c), expected) << repeat << ": " << r << "," << c;
            }
    }
}

TEST(FilterTask, BuffersBelongToTheTaskPerThread) {
    dng_host host;
    auto src =
        makeImage(host, dng_rect(0, 0, 50, 50), 1, 3, [](int32_t, int32_t, uint32_t) { return 1; });
    dng_simple_image dst(dng_rect(0, 0, 50, 50), 1, 4, host.Allocator());
    CountingAllocator counting;
    {
        WindowTask task(*src, dst, dng_point(1, 1));
        task.Start(1, dst.Bounds(), dng_point(10, 10), &counting, nullptr);
        EXPECT_EQ(counting.live, 2);
        task.Start(3, dst.Bounds(), dng_point(10, 10), &counting, nullptr);
        EXPECT_EQ(counting.live, 6);
        EXPECT_EQ(counting.made, 8);
        task.Process(2, dng_rect(10, 10, 20, 20), nullptr);
        EXPECT_EQ(sample(dst, 15, 15), 15.0 * 35.0);
        // A tile larger than the one the task was started with is refused.
        EXPECT_EQ(errorCode([&] { task.Process(0, dng_rect(0, 0, 11, 10), nullptr); }), 100005);
    }
    EXPECT_EQ(counting.live, 0);
}

TEST(FilterTask, SourceAreasBeyondTheSourceTileSizeAreRefused) {
    class Uneven : public WindowTask {
    public:
        using WindowTask::WindowTask;
        dng_point SrcTileSize(const dng_point& size) override { return size; }
    };
    dng_host host;
    auto src =
        makeImage(host, dng_rect(0, 0, 20, 20), 1, 3, [](int32_t, int32_t, uint32_t) { return 1; });
    dng_simple_image dst(dng_rect(0, 0, 20, 20), 1, 4, host.Allocator());
    Uneven task(*src, dst, dng_point(1, 1));
    EXPECT_EQ(errorCode([&] { host.PerformAreaTask(task, dst.Bounds()); }), 100005);
}
