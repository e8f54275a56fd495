#include "platform/EvictingCache.h"

#include <iterator>

namespace platform {

void EvictingCache::setObject(const std::string& key, std::shared_ptr<void> object) {
    if (!object) {
        removeObject(key);
        return;
    }
    // Dropped objects are released after the lock: their destructors may use the cache.
    std::shared_ptr<void> replaced;
    std::list<Entry> evicted;
    std::lock_guard lock(mutex_);
    auto it = index_.find(key);
    if (it != index_.end()) {
        replaced = std::move(it->second->second);
        it->second->second = std::move(object);
        order_.splice(order_.begin(), order_, it->second);
        return;
    }
    order_.emplace_front(key, std::move(object));
    index_[key] = order_.begin();
    evictLocked(evicted);
}

std::shared_ptr<void> EvictingCache::object(const std::string& key) {
    std::lock_guard lock(mutex_);
    auto it = index_.find(key);
    if (it == index_.end()) return nullptr;
    order_.splice(order_.begin(), order_, it->second);
    return it->second->second;
}

void EvictingCache::removeObject(const std::string& key) {
    std::shared_ptr<void> removed;
    std::lock_guard lock(mutex_);
    auto it = index_.find(key);
    if (it == index_.end()) return;
    removed = std::move(it->second->second);
    order_.erase(it->second);
    index_.erase(it);
}

void EvictingCache::removeAllObjects() {
    std::list<Entry> removed;
    std::lock_guard lock(mutex_);
    removed.swap(order_);
    index_.clear();
}

size_t EvictingCache::count() const {
    std::lock_guard lock(mutex_);
    return order_.size();
}

size_t EvictingCache::countLimit() const {
    std::lock_guard lock(mutex_);
    return limit_;
}

void EvictingCache::setCountLimit(size_t limit) {
    std::list<Entry> evicted;
    std::lock_guard lock(mutex_);
    limit_ = limit;
    evictLocked(evicted);
}

void EvictingCache::evictLocked(std::list<Entry>& evicted) {
    while (limit_ > 0 && order_.size() > limit_) {
        index_.erase(order_.back().first);
        evicted.splice(evicted.begin(), order_, std::prev(order_.end()));
    }
}

}  // namespace platform
