#include "engine/MonitoredMutableDictionary.h"

#include <charconv>
#include <cstdio>

#include "platform/NotificationCenter.h"

using platform::Dictionary;
using platform::Value;

namespace {

std::string describe(const Value& v, unsigned indent);

std::string indentText(unsigned indent) { return std::string(size_t(indent) * 4, ' '); }

std::string describeDictionary(const Dictionary& d, unsigned indent) {
    std::string pad = indentText(indent);
    std::string text = pad + "{\n";
    for (const auto& [key, value] : d)
        text += pad + "    " + key + " = " + describe(value, indent + 1) + ";\n";
    return text + pad + "}\n";
}

std::string describe(const Value& v, unsigned indent) {
    switch (v.type()) {
        case Value::Type::Null:
            return "<null>";
        case Value::Type::Bool:
            return v.boolValue() ? "1" : "0";
        case Value::Type::Integer:
            return std::to_string(v.integerValue());
        case Value::Type::Real: {
            char buffer[64];
            auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, v.realValue());
            return ec == std::errc() ? std::string(buffer, end) : std::string("nan");
        }
        case Value::Type::String:
            return v.string();
        case Value::Type::Data: {
            std::string text = "<";
            char hex[3];
            for (size_t i = 0; i < v.data().size(); ++i) {
                if (i && i % 4 == 0) text += ' ';
                std::snprintf(hex, sizeof hex, "%02x", v.data()[i]);
                text += hex;
            }
            return text + ">";
        }
        case Value::Type::Date: {
            char buffer[64];
            std::snprintf(buffer, sizeof buffer, "%.0f", v.date().secondsSince1970);
            return buffer;
        }
        case Value::Type::Array: {
            std::string pad = indentText(indent);
            std::string text = "(\n";
            for (size_t i = 0; i < v.array().size(); ++i)
                text += pad + "    " + describe(v.array()[i], indent + 1) +
                        (i + 1 < v.array().size() ? ",\n" : "\n");
            return text + pad + ")";
        }
        case Value::Type::Dictionary:
            return describeDictionary(v.dictionary(), indent);
        case Value::Type::Object:
            return "<" + v.object()->className() + ">";
    }
    return {};
}

}  // namespace

MonitoredMutableDictionary::MonitoredMutableDictionary(size_t capacity) {
    notifications.reserve(capacity);
}

void MonitoredMutableDictionary::changeLocked(const Value& value, const std::string& key) {
    if (value.isNull())
        dictionary.remove(key);
    else
        dictionary.set(key, value);
}

void MonitoredMutableDictionary::setObject(const Value& object, const std::string& key) {
    {
        std::lock_guard lock(theLock);
        changeLocked(object, key);
    }
    doNotify();
}

void MonitoredMutableDictionary::setValue(const Value& value, const std::string& key) {
    setObject(value, key);
}

void MonitoredMutableDictionary::addEntriesFromDictionary(const Dictionary& other) {
    for (const auto& [key, value] : other) setValue(value, key);
}

void MonitoredMutableDictionary::setObjectNoNotify(const Value& object, const std::string& key) {
    std::lock_guard lock(theLock);
    changeLocked(object, key);
}

void MonitoredMutableDictionary::setValueNoNotify(const Value& value, const std::string& key) {
    setObjectNoNotify(value, key);
}

void MonitoredMutableDictionary::removeObjectForKey(const std::string& key) {
    std::lock_guard lock(theLock);
    dictionary.remove(key);
}

size_t MonitoredMutableDictionary::count() const {
    std::lock_guard lock(theLock);
    return dictionary.size();
}

std::vector<std::string> MonitoredMutableDictionary::keyEnumerator() const {
    std::lock_guard lock(theLock);
    return dictionary.keys();
}

Value MonitoredMutableDictionary::objectForKey(const std::string& key) const {
    std::lock_guard lock(theLock);
    return dictionary[key];
}

Value MonitoredMutableDictionary::valueForKey(const std::string& key) const {
    return objectForKey(key);
}

Dictionary MonitoredMutableDictionary::copy() const {
    std::lock_guard lock(theLock);
    return dictionary;
}

void MonitoredMutableDictionary::addObserver(std::shared_ptr<void> object,
                                             const std::string& forNotificationName) {
    std::lock_guard lock(theLock);
    for (auto it = notifications.begin(); it != notifications.end(); ++it) {
        if (it->first == forNotificationName) {
            if (object)
                it->second = std::move(object);
            else
                notifications.erase(it);
            return;
        }
    }
    if (object) notifications.emplace_back(forNotificationName, std::move(object));
}

void MonitoredMutableDictionary::removeObserver(const std::string& name) {
    addObserver(nullptr, name);
}

void MonitoredMutableDictionary::doNotify() {
    std::vector<std::pair<std::string, std::shared_ptr<void>>> toPost;
    {
        std::lock_guard lock(theLock);
        toPost = notifications;
    }
    for (const auto& [name, object] : toPost)
        platform::NotificationCenter::defaultCenter().post(name, object);
}

std::string MonitoredMutableDictionary::descriptionWithLocale(const void* /*locale*/,
                                                              unsigned indent) const {
    std::lock_guard lock(theLock);
    return describeDictionary(dictionary, indent);
}
