#include "platform/Value.h"

#include <cmath>
#include <limits>

#include "platform/KeyHash.h"

namespace platform {

namespace {

// Below this size a search in order is as fast as hashing.
constexpr size_t kIndexedFrom = 16;

const Value& nullValue() {
    static const Value* v = new Value;
    return *v;
}

}  // namespace

Dictionary::Dictionary(std::initializer_list<Entry> entries) {
    for (const Entry& e : entries) set(e.first, e.second);
}

size_t Dictionary::position(std::string_view key) const {
    if (index_.empty()) {
        for (size_t i = 0; i < entries_.size(); ++i)
            if (entries_[i].first == key) return i;
        return npos;
    }
    const size_t mask = index_.size() - 1;
    const size_t hash = keyHash(key);
    for (size_t slot = hash & mask;; slot = (slot + 1) & mask) {
        const uint32_t p = index_[slot];
        if (p == 0) return npos;
        if (entries_[p - 1].first == key) return p - 1;
    }
}

void Dictionary::indexEntry(size_t position) {
    const size_t mask = index_.size() - 1;
    size_t slot = keyHash(entries_[position].first) & mask;
    while (index_[slot] != 0) slot = (slot + 1) & mask;
    index_[slot] = static_cast<uint32_t>(position + 1);
}

void Dictionary::rebuildIndex() {
    index_.clear();
    if (entries_.size() < kIndexedFrom) return;
    size_t slots = 64;
    while (slots < entries_.size() * 2) slots *= 2;
    index_.assign(slots, 0);
    for (size_t i = 0; i < entries_.size(); ++i) indexEntry(i);
}

const Value* Dictionary::find(std::string_view key) const {
    const size_t p = position(key);
    return p == npos ? nullptr : &entries_[p].second;
}

Value* Dictionary::find(std::string_view key) {
    const size_t p = position(key);
    return p == npos ? nullptr : &entries_[p].second;
}

const Value& Dictionary::operator[](std::string_view key) const {
    const Value* v = find(key);
    return v ? *v : nullValue();
}

void Dictionary::set(std::string key, Value value) {
    if (Value* existing = find(key)) {
        *existing = std::move(value);
        return;
    }
    entries_.emplace_back(std::move(key), std::move(value));
    if (entries_.size() < kIndexedFrom) return;
    // At most half full, so that probes stay short.
    if (index_.size() < entries_.size() * 2)
        rebuildIndex();
    else
        indexEntry(entries_.size() - 1);
}

bool Dictionary::remove(std::string_view key) {
    const size_t p = position(key);
    if (p == npos) return false;
    entries_.erase(entries_.begin() + std::ptrdiff_t(p));
    rebuildIndex();
    return true;
}

std::vector<std::string> Dictionary::keys() const {
    std::vector<std::string> out;
    out.reserve(entries_.size());
    for (const Entry& e : entries_) out.push_back(e.first);
    return out;
}

bool Dictionary::operator==(const Dictionary& other) const {
    if (entries_.size() != other.entries_.size()) return false;
    for (const Entry& e : entries_) {
        const Value* v = other.find(e.first);
        if (!v || !(*v == e.second)) return false;
    }
    return true;
}

Value::Value(Array v) : v_(detail::Box<Array>(std::move(v))) {}
Value::Value(Dictionary v) : v_(detail::Box<Dictionary>(std::move(v))) {}
Value::Value(std::shared_ptr<const Object> v) {
    if (v) v_ = ObjectRef{std::move(v)};
}
Value::Value(const Value& other) = default;
Value::Value(Value&& other) noexcept = default;
Value& Value::operator=(const Value& other) = default;
Value& Value::operator=(Value&& other) noexcept = default;
Value::~Value() = default;

bool Value::operator==(const Value& other) const { return v_ == other.v_; }

bool Value::ObjectRef::operator==(const ObjectRef& o) const {
    if (p == o.p) return true;
    return p && o.p && p->isEqualTo(*o.p);
}

std::shared_ptr<const Object> Value::object() const {
    if (auto* r = std::get_if<ObjectRef>(&v_)) return r->p;
    return nullptr;
}

Value Object::objectSerializeForPList() const {
    return Dictionary{{"Class_of_serialized_Object", className()}};
}

bool Value::boolValue(bool fallback) const {
    switch (type()) {
        case Type::Bool:
            return std::get<bool>(v_);
        case Type::Integer:
            return std::get<int64_t>(v_) != 0;
        case Type::Real:
            return std::get<double>(v_) != 0.0;
        default:
            return fallback;
    }
}

int64_t Value::integerValue(int64_t fallback) const {
    switch (type()) {
        case Type::Bool:
            return std::get<bool>(v_) ? 1 : 0;
        case Type::Integer:
            return std::get<int64_t>(v_);
        case Type::Real: {
            double d = std::get<double>(v_);
            if (std::isnan(d)) return 0;
            if (d >= 9223372036854775807.0) return std::numeric_limits<int64_t>::max();
            if (d <= -9223372036854775808.0) return std::numeric_limits<int64_t>::min();
            return static_cast<int64_t>(d);
        }
        default:
            return fallback;
    }
}

double Value::realValue(double fallback) const {
    switch (type()) {
        case Type::Bool:
            return std::get<bool>(v_) ? 1.0 : 0.0;
        case Type::Integer:
            return static_cast<double>(std::get<int64_t>(v_));
        case Type::Real:
            return std::get<double>(v_);
        default:
            return fallback;
    }
}

float Value::floatValue(float fallback) const {
    const double d = realValue(fallback);
    constexpr double kMax = std::numeric_limits<float>::max();
    if (d > kMax) return std::numeric_limits<float>::infinity();
    if (d < -kMax) return -std::numeric_limits<float>::infinity();
    return static_cast<float>(d);
}

std::string Value::stringValue(std::string_view fallback) const {
    if (const auto* s = std::get_if<std::string>(&v_)) return *s;
    return std::string(fallback);
}

const std::string& Value::string() const {
    static const std::string* empty = new std::string;
    const auto* s = std::get_if<std::string>(&v_);
    return s ? *s : *empty;
}

const Value::Data& Value::data() const {
    static const Data* empty = new Data;
    const auto* d = std::get_if<Data>(&v_);
    return d ? *d : *empty;
}

Value::Date Value::date() const {
    const auto* d = std::get_if<Date>(&v_);
    return d ? *d : Date{};
}

const Value::Array& Value::array() const {
    static const Array* empty = new Array;
    const auto* a = std::get_if<detail::Box<Array>>(&v_);
    return a && a->get() ? *a->get() : *empty;
}

const Dictionary& Value::dictionary() const {
    static const Dictionary* empty = new Dictionary;
    const auto* d = std::get_if<detail::Box<Dictionary>>(&v_);
    return d && d->get() ? *d->get() : *empty;
}

Value::Array& Value::array() {
    if (!isArray()) v_ = detail::Box<Array>(Array{});
    return std::get<detail::Box<Array>>(v_).make();
}

Dictionary& Value::dictionary() {
    if (!isDictionary()) v_ = detail::Box<Dictionary>(Dictionary{});
    return std::get<detail::Box<Dictionary>>(v_).make();
}

const Value& Value::operator[](std::string_view key) const { return dictionary()[key]; }

}  // namespace platform
