#include "platform/CIFilter.h"

#include <algorithm>
#include <map>
#include <mutex>

#include "platform/Dispatch.h"
#include "platform/Locks.h"

namespace platform {

namespace detail {
// The platform's own filters (CIBuiltinFilters.cpp).
void registerBuiltinCIFilters();
}  // namespace detail

namespace {

struct Registered {
    std::string className;
    CIFilter::Factory factory;
};

struct Registry {
    std::mutex mutex;
    std::map<std::string, Registered, std::less<>> byName;
};

Registry& registry() {
    static Registry* r = new Registry();  // never destroyed: filters may be made at exit
    return *r;
}

void ensureBuiltins() {
    static platform::OnceFlag once;
    platform::callOnce(once, [] { detail::registerBuiltinCIFilters(); });
}

}  // namespace

void CIFilter::registerFilterName(const std::string& name, const std::string& className,
                                  Factory factory) {
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    r.byName[name] = Registered{className, std::move(factory)};
}

CIFilter::Ptr CIFilter::filterWithName(std::string_view name) {
    ensureBuiltins();
    Factory factory;
    {
        Registry& r = registry();
        std::lock_guard lock(r.mutex);
        auto found = r.byName.find(name);
        if (found == r.byName.end())
            found = std::find_if(r.byName.begin(), r.byName.end(),
                                 [&](const auto& e) { return e.second.className == name; });
        if (found == r.byName.end()) return nullptr;
        factory = found->second.factory;
    }
    return factory ? factory() : nullptr;
}

std::vector<std::string> CIFilter::inputKeys() const {
    std::vector<std::string> keys;
    for (const auto& [key, value] : attributes())
        if (value.isDictionary()) keys.push_back(key);
    return keys;
}

void CIFilter::setValue(const std::string& key, const Value& value) {
    if (key == "outputImage") return;
    const Value* old = values_.find(key);
    if (value.isNull()) {
        if (old) {
            values_.remove(key);
            invalidateOutput();
        }
        return;
    }
    if (old && *old == value) return;
    values_.set(key, value);
    invalidateOutput();
}

Value CIFilter::valueForKey(std::string_view key) {
    if (key == "outputImage") return ciImageValue(outputImage());
    return values_[key];
}

void CIFilter::setDefaults() {
    for (const auto& [key, value] : attributes())
        if (value.isDictionary())
            if (const Value* d = value.dictionary().find("CIAttributeDefault")) setValue(key, *d);
}

CIImage::Ptr CIFilter::outputImage() {
    if (!outputValid_) {
        output_ = makeOutputImage();
        outputValid_ = true;
    }
    return output_;
}

Dictionary CIFilter::scalarAttribute(double min, double max, double sliderMin, double sliderMax,
                                     double defaultValue, double identity) {
    return Dictionary{{"CIAttributeClass", "NSNumber"},
                      {"CIAttributeType", "CIAttributeTypeScalar"},
                      {"CIAttributeMin", min},
                      {"CIAttributeMax", max},
                      {"CIAttributeSliderMin", sliderMin},
                      {"CIAttributeSliderMax", sliderMax},
                      {"CIAttributeDefault", defaultValue},
                      {"CIAttributeIdentity", identity}};
}

Dictionary CIFilter::imageAttribute() { return Dictionary{{"CIAttributeClass", "CIImage"}}; }

Dictionary CIFilter::vectorAttribute(const Value& defaultValue) {
    return Dictionary{{"CIAttributeClass", "CIVector"}, {"CIAttributeDefault", defaultValue}};
}

Value CIFilter::vectorValue(const Rect& r) {
    return Value(Value::Array{r.x, r.y, r.width, r.height});
}

Rect CIFilter::rectFromValue(const Value& v, const Rect& fallback) {
    if (!v.isArray() || v.array().size() < 4) return fallback;
    const auto& a = v.array();
    return Rect{a[0].realValue(), a[1].realValue(), a[2].realValue(), a[3].realValue()};
}

void CIFilter::forEachRowBand(size_t rows, const std::function<void(size_t, size_t)>& body) const {
    size_t bands = workers_ > 0 ? size_t(workers_) : size_t(std::max(1u, processorCount()));
    bands = std::min(bands, rows);
    if (bands <= 1) {
        if (rows) body(0, rows);
        return;
    }
    apply(bands, DispatchQueue::global(),
          [&](size_t i) { body(rows * i / bands, rows * (i + 1) / bands); });
}

}  // namespace platform
