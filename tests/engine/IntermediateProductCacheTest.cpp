#include <gtest/gtest.h>
#include <unistd.h>

#include "engine/IntermediateProductCache.h"
#include "platform/SystemInfo.h"

namespace {

IntermediateProductCache& cache() {
    auto& c = IntermediateProductCache::sharedIntermediateProductCache();
    c.removeAllObjects();
    return c;
}

}  // namespace

TEST(IntermediateProductCache, NilForAnUnknownKeyLeavesItEmpty) {
    auto& c = cache();
    c.cacheItem(nullptr, "0x1QuorvexMeanEngine_0x2");
    EXPECT_EQ(c.count(), 0u);
    EXPECT_EQ(c.retrieveItem("0x1QuorvexMeanEngine_0x2"), nullptr);
}

TEST(IntermediateProductCache, KeepsTheTwoMostRecentlyUsedBuffers) {
    auto& c = cache();
    auto a = std::make_shared<int>(1), b = std::make_shared<int>(2), d = std::make_shared<int>(3);
    c.cacheItem(a, "a");
    c.cacheItem(b, "b");
    EXPECT_EQ(c.retrieveItemAs<int>("a"), a);  // a is now the most recent
    c.cacheItem(d, "d");
    EXPECT_EQ(c.count(), 2u);
    EXPECT_EQ(c.retrieveItem("b"), nullptr);
    EXPECT_EQ(c.retrieveItemAs<int>("a"), a);
    EXPECT_EQ(c.retrieveItemAs<int>("d"), d);
    EXPECT_EQ(b.use_count(), 1);  // the evicted buffer is released by the cache

    c.cacheItem(nullptr, "a");
    EXPECT_EQ(c.retrieveItem("a"), nullptr);
    c.removeAllObjects();
    EXPECT_EQ(c.count(), 0u);
}

TEST(IntermediateProductCache, MemoryFiguresComeFromTheHost) {
    auto& c = cache();
    EXPECT_EQ(c.get_pagesize(), static_cast<uint64_t>(sysconf(_SC_PAGESIZE)));
    auto stats = platform::memoryStatistics();
    ASSERT_TRUE(stats);
    EXPECT_GT(c.get_free_memory(), 0u);
    EXPECT_LE(c.get_free_memory(), stats->physical);
    EXPECT_EQ(c.get_free_memory() % c.get_pagesize(), 0u);
    EXPECT_EQ(c.get_purgeable_size(), c.get_purgeable_count() * c.get_pagesize());
}
