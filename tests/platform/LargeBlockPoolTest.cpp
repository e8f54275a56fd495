#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "platform/LargeBlockPool.h"
#include "platform/SystemInfo.h"

using platform::LargeBlockPool;
using namespace std::chrono_literals;

namespace {

const size_t kPage = size_t(platform::pageSize());

bool allBytesAre(const void* p, size_t n, uint8_t v) {
    const auto* b = static_cast<const uint8_t*>(p);
    return std::all_of(b, b + n, [v](uint8_t x) { return x == v; });
}

}  // namespace

TEST(LargeBlockPool, ReleasedBlockServesTheNextRequestZeroedWhenAsked) {
    LargeBlockPool pool(64 * kPage, 1h);
    const size_t n = 10 * kPage + 5;
    void* a = pool.allocate(n, true);
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(a) % kPage, 0u);
    EXPECT_TRUE(allBytesAre(a, n, 0));
    std::memset(a, 0xAB, n);
    pool.release(a, n);
    EXPECT_EQ(pool.keptBlocks(), 1u);
    EXPECT_EQ(pool.keptBytes(), 11 * kPage);

    void* b = pool.allocate(n, true);
    EXPECT_EQ(b, a);
    EXPECT_EQ(pool.keptBlocks(), 0u);
    EXPECT_EQ(pool.reusedBytes(), 11 * kPage);
    // The former user's bytes are gone, to the page's end.
    EXPECT_TRUE(allBytesAre(b, 11 * kPage, 0));
    pool.release(b, n);

    EXPECT_EQ(pool.allocate(0, true), nullptr);
    pool.release(nullptr, 0);
    EXPECT_EQ(pool.keptBlocks(), 1u);
}

// Large reused blocks are zeroed in parallel chunks, the last one partial.
TEST(LargeBlockPool, LargeReusedBlocksAreZeroedToTheirEnd) {
    LargeBlockPool pool(size_t(64) << 20, 1h);
    const size_t n = (size_t(21) << 20) + 3 * kPage;
    void* a = pool.allocate(n, false);
    ASSERT_NE(a, nullptr);
    std::memset(a, 0xC3, n);
    pool.release(a, n);
    void* b = pool.allocate(n + (size_t(2) << 20), true);
    ASSERT_NE(b, nullptr);
    EXPECT_TRUE(allBytesAre(b, n + (size_t(2) << 20), 0));
    pool.release(b, n + (size_t(2) << 20));
}

TEST(LargeBlockPool, OtherSizesAreCutOrGrownFromTheBestKeptBlock) {
    LargeBlockPool pool(256 * kPage, 1h);
    void* small = pool.allocate(4 * kPage, false);
    void* large = pool.allocate(16 * kPage, false);
    void* middle = pool.allocate(8 * kPage, false);
    for (auto [p, n] : {std::pair{small, 4}, {large, 16}, {middle, 8}}) {
        std::memset(p, 0x5A, n * kPage);
        pool.release(p, n * kPage);
    }
    // Six pages come from the eight-page block, cut in place.
    void* six = pool.allocate(6 * kPage, true);
    EXPECT_EQ(six, middle);
    EXPECT_TRUE(allBytesAre(six, 6 * kPage, 0));
    EXPECT_EQ(pool.keptBytes(), 20 * kPage);
    // Twenty pages: no kept block is that large, so the largest grows (or,
    // where the build does not grow blocks, gives way to a fresh one); the
    // added pages read zero like the reused ones.
    void* twenty = pool.allocate(20 * kPage, true);
    ASSERT_NE(twenty, nullptr);
    EXPECT_TRUE(allBytesAre(twenty, 20 * kPage, 0));
    EXPECT_EQ(pool.keptBytes(), 4 * kPage);
#if defined(__SANITIZE_THREAD__)
    EXPECT_EQ(pool.reusedBytes(), 6 * kPage);
#else
    EXPECT_EQ(pool.reusedBytes(), (6 + 16) * kPage);
#endif
    std::memset(twenty, 1, 20 * kPage);
    // An exact fit wins over a larger block.
    pool.release(twenty, 20 * kPage);
    EXPECT_EQ(pool.allocate(4 * kPage, false), small);
    pool.release(small, 4 * kPage);
    pool.release(six, 6 * kPage);
    pool.trim();
    EXPECT_EQ(pool.keptBytes(), 0u);
    EXPECT_EQ(pool.keptBlocks(), 0u);
    // Given back in the background: none serves the next request.
    void* again = pool.allocate(6 * kPage, true);
    pool.release(again, 6 * kPage);
    const uint64_t reused = pool.reusedBytes();
    pool.trimLater();
    EXPECT_EQ(pool.keptBlocks(), 0u);
    void* fresh = pool.allocate(6 * kPage, true);
    ASSERT_NE(fresh, nullptr);
    EXPECT_TRUE(allBytesAre(fresh, 6 * kPage, 0));
    EXPECT_EQ(pool.reusedBytes(), reused);
    pool.release(fresh, 6 * kPage);
    pool.trim();
}

TEST(LargeBlockPool, KeepsNoMoreThanItsBudgetAndGivesIdleBlocksBack) {
    LargeBlockPool pool(10 * kPage, 1h);
    void* a = pool.allocate(6 * kPage, false);
    void* b = pool.allocate(6 * kPage, false);
    void* huge = pool.allocate(11 * kPage, false);
    pool.release(a, 6 * kPage);
    pool.release(b, 6 * kPage);
    // The older block went back to the kernel.
    EXPECT_EQ(pool.keptBytes(), 6 * kPage);
    EXPECT_EQ(pool.allocate(6 * kPage, false), b);
    pool.release(b, 6 * kPage);
    pool.release(huge, 11 * kPage);
    EXPECT_EQ(pool.keptBytes(), 6 * kPage);

    LargeBlockPool quick(64 * kPage, 20ms);
    quick.release(quick.allocate(3 * kPage, false), 3 * kPage);
    EXPECT_EQ(quick.keptBlocks(), 1u);
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (quick.keptBlocks() != 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(5ms);
    EXPECT_EQ(quick.keptBlocks(), 0u);
}

TEST(LargeBlockPool, ThreadsNeverShareABlock) {
    LargeBlockPool pool(64 * kPage, 1h);
    std::vector<std::thread> threads;
    std::vector<int> failures(6, 0);
    for (int t = 0; t < 6; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < 200; ++i) {
                const size_t n = size_t(1 + (i + t) % 5) * kPage;
                auto* p = static_cast<uint8_t*>(pool.allocate(n, i % 2 == 0));
                if (!p) {
                    ++failures[t];
                    continue;
                }
                std::memset(p, t + 1, n);
                std::this_thread::yield();
                if (!allBytesAre(p, n, uint8_t(t + 1))) ++failures[t];
                pool.release(p, n);
            }
        });
    for (auto& th : threads) th.join();
    for (int f : failures) EXPECT_EQ(f, 0);
    EXPECT_LE(pool.keptBytes(), 64 * kPage);
}

TEST(LargeBlockPool, AllocatorGivesWorkingStorageOfAnySize) {
    using Samples = std::vector<uint16_t, platform::LargeBlockAllocator<uint16_t>>;
    for (size_t n : {size_t(0), size_t(3), platform::kLargeBlockBytes / 2 + 1,
                     platform::kLargeBlockBytes * 3}) {
        Samples s(n);
        for (size_t i = 0; i < n; ++i) s[i] = uint16_t(i * 7);
        Samples moved = std::move(s);
        bool same = true;
        for (size_t i = 0; i < n; ++i) same = same && moved[i] == uint16_t(i * 7);
        EXPECT_TRUE(same) << n;
        moved.resize(n + 1000);
        EXPECT_EQ(moved[n ? n - 1 : 0], n ? uint16_t((n - 1) * 7) : moved[0]);
    }
    void* zero = platform::allocateLargeBlock(platform::kLargeBlockBytes, true);
    ASSERT_NE(zero, nullptr);
    EXPECT_TRUE(allBytesAre(zero, platform::kLargeBlockBytes, 0));
    platform::releaseLargeBlock(zero, platform::kLargeBlockBytes);
}
