// The process-wide cache that keeps stage output buffers between runs, keyed
// by image id followed by the stage's engineName. Holds at most two entries
// and drops the least recently used; a stage whose buffer was dropped makes a
// new one and redoes all its tiles. Also answers host memory questions.
//
// Every method is thread-safe. Stored objects are shared: the cache keeps one
// reference, and an evicted object lives on while a stage still holds it.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "platform/EvictingCache.h"

class IntermediateProductCache {
public:
    static IntermediateProductCache& sharedIntermediateProductCache();

    // A null item removes the key. Makes the cache on first call.
    void cacheItem(std::shared_ptr<void> item, const std::string& key);
    // The stored object, or null (also before anything was ever stored).
    std::shared_ptr<void> retrieveItem(const std::string& key);
    template <class T>
    std::shared_ptr<T> retrieveItemAs(const std::string& key) {
        return std::static_pointer_cast<T>(retrieveItem(key));
    }
    void removeItem(const std::string& key);
    void removeAllObjects();
    // Entries held now (0 while no cache exists).
    size_t count();

    uint64_t get_pagesize();
    // Free bytes; 0 after logging "Failed to fetch vm statistics" when unreadable.
    uint64_t get_free_memory();
    // Pages the kernel can reclaim; 0 (and the same message) when unreadable.
    uint64_t get_purgeable_count();
    uint64_t get_purgeable_size();

    static constexpr size_t kCountLimit = 2;

    IntermediateProductCache(const IntermediateProductCache&) = delete;
    IntermediateProductCache& operator=(const IntermediateProductCache&) = delete;

private:
    IntermediateProductCache();

    std::mutex mutex_;
    std::unique_ptr<platform::EvictingCache> theCache;
    std::atomic<uint64_t> pagesize{0};
};
