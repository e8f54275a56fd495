#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "platform/EvictingCache.h"

using platform::EvictingCache;

TEST(EvictingCache, DropsTheLeastRecentlyUsedBeyondItsLimit) {
    EvictingCache cache(3);
    for (int i = 0; i < 3; ++i) cache.setObject("k" + std::to_string(i), std::make_shared<int>(i));
    ASSERT_TRUE(cache.object("k0"));                   // k1 is now the oldest
    cache.setObject("k1", std::make_shared<int>(11));  // replacing refreshes too: k2 oldest
    cache.setObject("k3", std::make_shared<int>(3));
    EXPECT_EQ(cache.count(), 3u);
    EXPECT_FALSE(cache.object("k2"));
    EXPECT_EQ(*cache.objectAs<int>("k1"), 11);
    cache.setCountLimit(1);
    EXPECT_EQ(cache.count(), 1u);
    EXPECT_TRUE(cache.object("k1"));  // the most recent one stays
    cache.setObject("k1", nullptr);
    EXPECT_EQ(cache.count(), 0u);

    EvictingCache unlimited;
    for (int i = 0; i < 100; ++i) unlimited.setObject(std::to_string(i), std::make_shared<int>(i));
    EXPECT_EQ(unlimited.count(), 100u);
}

// An evicted object's destructor may use the cache again; eviction must not
// hold the cache's lock while releasing it.
TEST(EvictingCache, ReleasesEvictedObjectsOutsideItsLock) {
    EvictingCache cache(1);
    struct Reentrant {
        EvictingCache* cache;
        ~Reentrant() { cache->object("anything"); }
    };
    cache.setObject("a", std::make_shared<Reentrant>(Reentrant{&cache}));
    cache.setObject("b", std::make_shared<int>(1));  // evicts a: would self-deadlock
    cache.setObject("b", std::make_shared<Reentrant>(Reentrant{&cache}));
    cache.setObject("b", std::make_shared<int>(2));  // replacement
    cache.setObject("c", std::make_shared<Reentrant>(Reentrant{&cache}));
    cache.removeAllObjects();
    EXPECT_EQ(cache.count(), 0u);
}

TEST(EvictingCache, StaysConsistentUnderConcurrentUse) {
    EvictingCache cache(4);
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 5000; ++i) {
                std::string key = std::to_string((i * 7 + t) % 10);
                cache.setObject(key, std::make_shared<std::string>(key));
                if (auto v = cache.objectAs<std::string>(key); v && *v != key) wrong++;
                if (i % 100 == 0) cache.removeObject(key);
            }
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_LE(cache.count(), 4u);
}
