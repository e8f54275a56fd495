#include "engine/IntermediateProductCache.h"

#include "platform/Locks.h"
#include "platform/Log.h"
#include "platform/SystemInfo.h"
#include "platform/UserDefaults.h"

IntermediateProductCache::IntermediateProductCache() {
    auto stats = platform::memoryStatistics();
    double physical = stats ? static_cast<double>(stats->physical) : 0.0;
    // Both settings are only reported: a cache that stored nothing would make
    // every cached stage redo all its tiles on each run.
    if (platform::UserDefaults::standard().boolForKey("DisableImageCache"))
        platform::log("Cache disabled in preferences");
    else if (physical > 8589934591.0)
        platform::log("Cache enabled - Physical memory %.2fMB", physical / 1024 / 1024);
    else
        platform::log("Cache disabled - Physical memory %.2fMB", physical / 1024 / 1024);
}

IntermediateProductCache& IntermediateProductCache::sharedIntermediateProductCache() {
    static platform::LazySingleton<IntermediateProductCache> instance;
    return instance.get([] { return new IntermediateProductCache; });
}

void IntermediateProductCache::cacheItem(std::shared_ptr<void> item, const std::string& key) {
    platform::EvictingCache* cache;
    {
        std::lock_guard lock(mutex_);
        if (!theCache) theCache = std::make_unique<platform::EvictingCache>(kCountLimit);
        cache = theCache.get();
    }
    cache->setObject(key, std::move(item));
}

std::shared_ptr<void> IntermediateProductCache::retrieveItem(const std::string& key) {
    platform::EvictingCache* cache;
    {
        std::lock_guard lock(mutex_);
        cache = theCache.get();
    }
    return cache ? cache->object(key) : nullptr;
}

void IntermediateProductCache::removeItem(const std::string& key) {
    platform::EvictingCache* cache;
    {
        std::lock_guard lock(mutex_);
        cache = theCache.get();
    }
    if (cache) cache->removeObject(key);
}

void IntermediateProductCache::removeAllObjects() {
    platform::EvictingCache* cache;
    {
        std::lock_guard lock(mutex_);
        cache = theCache.get();
    }
    if (cache) cache->removeAllObjects();
}

size_t IntermediateProductCache::count() {
    std::lock_guard lock(mutex_);
    return theCache ? theCache->count() : 0;
}

uint64_t IntermediateProductCache::get_pagesize() {
    uint64_t size = pagesize.load();
    if (size == 0) {
        size = platform::pageSize();
        pagesize.store(size);
    }
    return size;
}

uint64_t IntermediateProductCache::get_free_memory() {
    auto stats = platform::memoryStatistics();
    if (!stats) {
        platform::log("Failed to fetch vm statistics");
        return 0;
    }
    // Whole pages, as the host reports free memory in pages.
    return stats->free / get_pagesize() * get_pagesize();
}

uint64_t IntermediateProductCache::get_purgeable_count() {
    auto stats = platform::memoryStatistics();
    if (!stats) {
        platform::log("Failed to fetch vm statistics");
        return 0;
    }
    return stats->purgeable / get_pagesize();
}

uint64_t IntermediateProductCache::get_purgeable_size() {
    return get_purgeable_count() * get_pagesize();
}
