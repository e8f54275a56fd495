#include "engine/MultiDataStore.h"

#include <algorithm>
#include <cctype>

#include "color/ColorSyncProfileWrap.h"
#include "color/DNGCameraProfileAbstract.h"
#include "platform/AsciiCase.h"

using platform::Dictionary;
using platform::Value;

namespace {

const char* const kClassKey = "Class_of_serialized_Object";
const char* const kCameraProfileClass = "DNGCameraProfileAbstract";
const char* const kIccProfileClass = "ColorSyncProfileWrap";

}  // namespace

MultiDataStore::MultiDataStore() = default;

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

std::shared_ptr<const platform::Object> MultiDataStore::objectFromPList(const Dictionary& plist) {
    const std::string name = plist[kClassKey].stringValue();
    if (platform::equalsIgnoringAsciiCase(name, kCameraProfileClass))
        return DNGCameraProfileAbstract::initFromPList(plist);
    if (platform::equalsIgnoringAsciiCase(name, kIccProfileClass))
        return ColorSyncProfileWrap::initFromPList(plist);
    return nullptr;
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
            // Another class, or an object that cannot be made, leaves its key
            // out: a settings reader treats a missing key as the default.
            if (auto object = objectFromPList(value.dictionary())) out.set(key, Value(object));
            continue;
        }
        if (toDepth > 0 && value.isDictionary())
            out.set(key, deserializeFromPList(value.dictionary(), toDepth - 1));
        else
            out.set(key, value);
    }
    return out;
}
