// A thread-safe key/object cache that drops the least recently used entry
// when it holds more than its count limit (0: no limit). Objects are shared:
// an evicted object lives on while someone else still holds it.
#pragma once

#include <cstddef>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

namespace platform {

class EvictingCache {
public:
    explicit EvictingCache(size_t countLimit = 0) : limit_(countLimit) {}

    // A null object removes the key.
    void setObject(const std::string& key, std::shared_ptr<void> object);
    // The object (and marks it recently used), or null.
    std::shared_ptr<void> object(const std::string& key);
    template <class T>
    std::shared_ptr<T> objectAs(const std::string& key) {
        return std::static_pointer_cast<T>(object(key));
    }
    void removeObject(const std::string& key);
    void removeAllObjects();

    size_t count() const;
    size_t countLimit() const;
    void setCountLimit(size_t limit);

private:
    using Entry = std::pair<std::string, std::shared_ptr<void>>;
    void evictLocked(std::list<Entry>& evicted);

    mutable std::mutex mutex_;
    size_t limit_;
    std::list<Entry> order_;  // most recently used first
    std::unordered_map<std::string, std::list<Entry>::iterator> index_;
};

}  // namespace platform
