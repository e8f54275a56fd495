// A locked dictionary that posts chosen notifications (on the default
// notification center, on the changing thread) after each notifying change.
//
// Every method is thread-safe: entries change and are read under the lock;
// notifications are posted outside it, so observers may use the dictionary.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/Value.h"

class MonitoredMutableDictionary {
public:
    MonitoredMutableDictionary() : MonitoredMutableDictionary(0) {}
    explicit MonitoredMutableDictionary(size_t capacity);

    // Change, then post every recorded notification. A null value removes the key.
    void setObject(const platform::Value& object, const std::string& key);
    void setValue(const platform::Value& value, const std::string& key);
    void addEntriesFromDictionary(const platform::Dictionary& other);
    // Change without posting.
    void setObjectNoNotify(const platform::Value& object, const std::string& key);
    void setValueNoNotify(const platform::Value& value, const std::string& key);
    void removeObjectForKey(const std::string& key);

    size_t count() const;
    std::vector<std::string> keyEnumerator() const;
    platform::Value objectForKey(const std::string& key) const;  // null when absent
    platform::Value valueForKey(const std::string& key) const;
    // A mutable copy of the entries.
    platform::Dictionary copy() const;

    // Records that `name` is posted with `object` on change; a null object
    // forgets the name.
    void addObserver(std::shared_ptr<void> object, const std::string& forNotificationName);
    void removeObserver(const std::string& name);
    void doNotify();

    // Text of the entries, indented four blanks per level.
    std::string descriptionWithLocale(const void* locale, unsigned indent) const;

private:
    void changeLocked(const platform::Value& value, const std::string& key);

    platform::Dictionary dictionary;
    std::vector<std::pair<std::string, std::shared_ptr<void>>> notifications;
    mutable std::mutex theLock;
};
