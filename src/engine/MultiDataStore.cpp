#include "engine/MultiDataStore.h"

#include <algorithm>
#include <cctype>
#include <type_traits>

#include "color/ColorSyncProfileWrap.h"

#if __has_include("color/DNGCameraProfileAbstract.h")
#include "color/DNGCameraProfileAbstract.h"
#define QUORVEX_HAVE_CAMERA_PROFILE_OBJECT 1
#endif

using platform::Dictionary;
using platform::Value;

namespace {

const char* const kClassKey = "Class_of_serialized_Object";
const char* const kCameraProfileClass = "DNGCameraProfileAbstract";
const char* const kIccProfileClass = "ColorSyncProfileWrap";

bool equalIgnoringCase(const std::string& a, const std::string& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

// Registers a colour class that can live in a settings dictionary; a class
// that is not (yet) such an object is left to register itself.
template <class T>
void registerIfObject(MultiDataStore& store, const char* name) {
    if constexpr (std::is_base_of_v<platform::Object, T> &&
                  requires(const Dictionary& d) { T::initFromPList(d); }) {
        store.registerClass(name,
                            [](const Dictionary& d) -> std::shared_ptr<const platform::Object> {
                                return T::initFromPList(d);
                            });
    }
}

}  // namespace

MultiDataStore::MultiDataStore() {
    registerIfObject<ColorSyncProfileWrap>(*this, kIccProfileClass);
#ifdef QUORVEX_HAVE_CAMERA_PROFILE_OBJECT
    registerIfObject<DNGCameraProfileAbstract>(*this, kCameraProfileClass);
#endif
}

MultiDataStore& MultiDataStore::sharedMultiDataStore() {
    static MultiDataStore* shared = new MultiDataStore;
    return *shared;
}

std::shared_ptr<DataStoreItem> MultiDataStore::dataStoreForStore(const std::string& name) {
    std::lock_guard<std::mutex> guard(mutex_);
    auto& item = dataStoreSet_[name];
    if (!item) item = DataStoreItem::initWithStoreName(name);
    return item;
}

int MultiDataStore::depthToConvert() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return depthToConvert_;
}

void MultiDataStore::setDepthToConvert(int depth) {
    std::lock_guard<std::mutex> guard(mutex_);
    depthToConvert_ = depth;
}

std::string MultiDataStore::serialisableClass(const std::string& name) {
    if (equalIgnoringCase(name, kCameraProfileClass)) return kCameraProfileClass;
    if (equalIgnoringCase(name, kIccProfileClass)) return kIccProfileClass;
    return {};
}

bool MultiDataStore::registerClass(const std::string& className, Factory factory) {
    if (className != kCameraProfileClass && className != kIccProfileClass) return false;
    std::lock_guard<std::mutex> guard(mutex_);
    factories_[className] = std::move(factory);
    return true;
}

Dictionary MultiDataStore::serializeToPList(const Dictionary& dictionary) const {
    return serializeToPList(dictionary, depthToConvert());
}

Dictionary MultiDataStore::deserializeFromPList(const Dictionary& dictionary) const {
    return deserializeFromPList(dictionary, depthToConvert());
}

Dictionary MultiDataStore::serializeToPList(const Dictionary& dictionary, int toDepth) const {
    Dictionary out;
    for (const auto& [key, value] : dictionary) {
        if (auto object = value.object()) {
            const std::string name = object->className();
            if (name == kCameraProfileClass || name == kIccProfileClass) {
                out.set(key, object->objectSerializeForPList());
                continue;
            }
        }
        if (toDepth > 0 && value.isDictionary())
            out.set(key, serializeToPList(value.dictionary(), toDepth - 1));
        else
            out.set(key, value);
    }
    return out;
}

Dictionary MultiDataStore::deserializeFromPList(const Dictionary& dictionary, int toDepth) const {
    Dictionary out;
    for (const auto& [key, value] : dictionary) {
        if (value.isDictionary() && value.dictionary().contains(kClassKey)) {
            const std::string name = serialisableClass(value[kClassKey].stringValue());
            Factory factory;
            if (!name.empty()) {
                std::lock_guard<std::mutex> guard(mutex_);
                auto it = factories_.find(name);
                if (it != factories_.end()) factory = it->second;
            }
            // An object that cannot be made leaves its key out: a settings
            // reader treats a missing key as the default.
            if (factory)
                if (auto object = factory(value.dictionary())) out.set(key, Value(object));
            continue;
        }
        if (toDepth > 0 && value.isDictionary())
            out.set(key, deserializeFromPList(value.dictionary(), toDepth - 1));
        else
            out.set(key, value);
    }
    return out;
}
