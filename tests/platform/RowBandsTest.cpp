#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <set>
#include <stdexcept>
#include <thread>
#include <vector>

#include "platform/Dispatch.h"
#include "platform/RowBands.h"

namespace {

TEST(RowBands, BandsCoverEveryRowOnceAtFixedBoundaries) {
    for (uint32_t height : {0u, 1u, 5u, 16u, 17u, 1000u}) {
        for (unsigned bands : {0u, 1u, 3u, 16u, 40u}) {
            std::mutex m;
            std::vector<int> seen(height, 0);
            std::set<std::pair<uint32_t, uint32_t>> ranges;
            platform::RunInRowBands(height, bands, [&](uint32_t first, uint32_t end) {
                std::lock_guard lock(m);
                ranges.insert({first, end});
                for (uint32_t r = first; r < end; ++r) ++seen[r];
            });
            for (uint32_t r = 0; r < height; ++r) EXPECT_EQ(seen[r], 1) << height << " " << bands;
            const unsigned n = height == 0 ? 0 : std::clamp(bands, 1u, height);
            EXPECT_EQ(ranges.size(), n) << height << " " << bands;
            for (unsigned b = 0; b < n; ++b)
                EXPECT_TRUE(ranges.count({uint32_t(uint64_t(height) * b / n),
                                          uint32_t(uint64_t(height) * (b + 1) / n)}));
        }
    }
}

TEST(RowBands, RunOnThePoolAndRethrowAfterEveryBandFinished) {
    std::mutex m;
    std::set<std::thread::id> threads;
    std::atomic<int> finished{0};
    try {
        platform::RunInRowBands(1600, 16, [&](uint32_t first, uint32_t) {
            {
                std::lock_guard lock(m);
                threads.insert(std::this_thread::get_id());
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
            if (first == 500) throw std::runtime_error("band refused");
            ++finished;
        });
        ADD_FAILURE() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "band refused");
    }
    EXPECT_EQ(finished, 15);
    // The caller and at most one pool thread per processor, not a thread per band.
    EXPECT_LE(threads.size(), std::max(1u, platform::processorCount()));
}

TEST(RowBands, NestedCallsFromPoolTasksFinish) {
    std::atomic<uint64_t> rows{0};
    platform::RunInRowBands(64, 16, [&](uint32_t first, uint32_t end) {
        for (uint32_t r = first; r < end; ++r)
            platform::RunInRowBands(100, 16, [&](uint32_t a, uint32_t b) { rows += b - a; });
    });
    EXPECT_EQ(rows, 6400u);
}

}  // namespace
