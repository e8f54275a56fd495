// A property-list value: null, bool, integer, real, string, data, date, array
// or dictionary. Integer (64-bit signed) and real (double) are distinct types;
// reading a number through integerValue()/realValue() converts between them.
//
// Dictionaries keep their keys in insertion order (and in file order when
// read), and are written in that order. Values are plain copyable data; a
// Value is not synchronised, guard shared ones yourself.
#pragma once

#include <concepts>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace platform {

class Value;

class Dictionary;

// A reference-counted object held in a Value (settings dictionaries carry
// camera-profile and ICC-profile objects next to plain numbers). An object
// cannot go into a property-list file as it is: writers store what
// objectSerializeForPList() returns.
class Object {
public:
    virtual ~Object() = default;
    virtual std::string className() const = 0;
    virtual bool isEqualTo(const Object& other) const { return this == &other; }
    // A dictionary marked with "Class_of_serialized_Object".
    virtual Value objectSerializeForPList() const;
};

namespace detail {
// Owns a T on the heap so that Value can hold containers of itself; copies are
// deep. A moved-from box is empty and reads as an empty T.
template <class T>
class Box {
public:
    Box() = default;
    explicit Box(T value) : p_(new T(std::move(value))) {}
    Box(const Box& other) : p_(other.p_ ? new T(*other.p_) : nullptr) {}
    Box(Box&& other) noexcept = default;
    Box& operator=(const Box& other) {
        if (this != &other) p_.reset(other.p_ ? new T(*other.p_) : nullptr);
        return *this;
    }
    Box& operator=(Box&& other) noexcept = default;
    ~Box() = default;
    T* get() const { return p_.get(); }
    T& make() {
        if (!p_) p_.reset(new T);
        return *p_;
    }
    bool operator==(const Box& other) const {
        if (p_ && other.p_) return *p_ == *other.p_;
        return (!p_ || p_->empty()) && (!other.p_ || other.p_->empty());
    }

private:
    std::unique_ptr<T> p_;
};
}  // namespace detail

class Value {
public:
    enum class Type { Null, Bool, Integer, Real, String, Data, Date, Array, Dictionary, Object };
    using Data = std::vector<uint8_t>;
    using Array = std::vector<Value>;
    // A point in time, seconds since 1970-01-01 00:00:00 UTC (files keep whole seconds).
    struct Date {
        double secondsSince1970 = 0;
        bool operator==(const Date&) const = default;
    };

    Value() = default;
    // Out of line: inlined variant copies trip false maybe-uninitialized warnings.
    Value(const Value& other);
    Value(Value&& other) noexcept;
    Value& operator=(const Value& other);
    Value& operator=(Value&& other) noexcept;
    ~Value();

    Value(bool v) : v_(v) {}
    template <std::integral T>
    requires(!std::same_as<T, bool>) Value(T v) : v_(static_cast<int64_t>(v)) {}
    Value(double v) : v_(v) {}
    Value(float v) : v_(static_cast<double>(v)) {}
    Value(const char* v) : v_(std::string(v)) {}
    Value(std::string v) : v_(std::move(v)) {}
    Value(std::string_view v) : v_(std::string(v)) {}
    Value(Data v) : v_(std::move(v)) {}
    Value(Date v) : v_(v) {}
    Value(Array v);
    Value(platform::Dictionary v);
    Value(std::shared_ptr<const platform::Object> v);
    template <class T>
    requires std::derived_from<T, platform::Object> Value(std::shared_ptr<T> v)
        : Value(std::shared_ptr<const platform::Object>(std::move(v))) {}

    Type type() const { return static_cast<Type>(v_.index()); }
    bool isNull() const { return type() == Type::Null; }
    bool isBool() const { return type() == Type::Bool; }
    bool isInteger() const { return type() == Type::Integer; }
    bool isReal() const { return type() == Type::Real; }
    bool isNumber() const { return isBool() || isInteger() || isReal(); }
    bool isString() const { return type() == Type::String; }
    bool isData() const { return type() == Type::Data; }
    bool isDate() const { return type() == Type::Date; }
    bool isArray() const { return type() == Type::Array; }
    bool isDictionary() const { return type() == Type::Dictionary; }
    bool isObject() const { return type() == Type::Object; }

    // Numbers convert among bool, integer and real (real to integer truncates
    // toward zero, saturating); anything else gives the fallback.
    bool boolValue(bool fallback = false) const;
    int64_t integerValue(int64_t fallback = 0) const;
    double realValue(double fallback = 0) const;
    // Beyond the range of float: ±infinity (a plain conversion is undefined).
    float floatValue(float fallback = 0) const;
    // The string, or the fallback for any other type.
    std::string stringValue(std::string_view fallback = {}) const;

    // Typed access; the const versions return a shared empty value on a type
    // mismatch, the mutable ones turn this value into that type first.
    const std::string& string() const;
    const Data& data() const;
    Date date() const;
    const Array& array() const;
    const platform::Dictionary& dictionary() const;
    Array& array();
    platform::Dictionary& dictionary();
    // The held object, or null for any other type.
    std::shared_ptr<const platform::Object> object() const;
    template <class T>
    std::shared_ptr<const T> objectAs() const {
        return std::dynamic_pointer_cast<const T>(object());
    }

    // Dictionary shortcut: the value under key, or null.
    const Value& operator[](std::string_view key) const;

    bool operator==(const Value& other) const;

private:
    struct ObjectRef {
        std::shared_ptr<const platform::Object> p;
        bool operator==(const ObjectRef& o) const;
    };
    std::variant<std::monostate, bool, int64_t, double, std::string, Data, Date, detail::Box<Array>,
                 detail::Box<platform::Dictionary>, ObjectRef>
        v_;
};

// Ordered string-keyed map. Small ones are searched in order; from a few
// dozen keys on, a hash table of positions keeps lookups constant-time, so a
// file with a million keys reads in linear time, whatever the keys (the
// table's hash is keyed per process: see KeyHash.h).
class Dictionary {
public:
    using Entry = std::pair<std::string, Value>;

    Dictionary() = default;
    Dictionary(std::initializer_list<Entry> entries);

    const Value* find(std::string_view key) const;
    Value* find(std::string_view key);
    bool contains(std::string_view key) const { return find(key) != nullptr; }
    // The stored value, or a null Value when the key is absent.
    const Value& operator[](std::string_view key) const;
    // Replaces an existing key in place, else appends.
    void set(std::string key, Value value);
    bool remove(std::string_view key);
    void clear() {
        entries_.clear();
        index_.clear();
    }

    size_t size() const { return entries_.size(); }
    bool empty() const { return entries_.empty(); }
    std::vector<std::string> keys() const;
    auto begin() const { return entries_.begin(); }
    auto end() const { return entries_.end(); }
    auto begin() { return entries_.begin(); }
    auto end() { return entries_.end(); }

    // Equal when both hold the same keys with equal values, in any order.
    bool operator==(const Dictionary& other) const;

private:
    static constexpr size_t npos = size_t(-1);
    size_t position(std::string_view key) const;
    void indexEntry(size_t position);
    void rebuildIndex();

    std::vector<Entry> entries_;
    // Open addressing over entries_: slot holds position + 1, 0 when free;
    // empty while the dictionary is small.
    std::vector<uint32_t> index_;
};

}  // namespace platform
