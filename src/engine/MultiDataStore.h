// The process-wide registry of settings stores by name, and the conversion of
// settings dictionaries that hold objects (camera profiles, ICC profiles)
// into pure property lists and back.
//
// An object is written as the dictionary its objectSerializeForPList gives,
// marked with "Class_of_serialized_Object"; only the classes
// "DNGCameraProfileAbstract" and "ColorSyncProfileWrap" (exactly, not
// subclasses) are converted. Reading one back calls that class's
// initFromPList (the name compared without case); a dictionary marked with
// any other class name, or whose object cannot be made, is left out.
//
// Ownership: the singleton owns its stores (never released). Thread safety:
// every method may be called from any thread.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "engine/DataStoreItem.h"
#include "platform/Value.h"

class MultiDataStore {
public:
    static MultiDataStore& sharedMultiDataStore();
    MultiDataStore(const MultiDataStore&) = delete;
    MultiDataStore& operator=(const MultiDataStore&) = delete;

    // The store of that name, made and registered on first request.
    std::shared_ptr<DataStoreItem> dataStoreForStore(const std::string& name);

    platform::Dictionary serializeToPList(const platform::Dictionary& dictionary) const;
    platform::Dictionary deserializeFromPList(const platform::Dictionary& dictionary) const;
    platform::Dictionary serializeToPList(const platform::Dictionary& dictionary,
                                          int toDepth) const;
    platform::Dictionary deserializeFromPList(const platform::Dictionary& dictionary,
                                              int toDepth) const;

    int depthToConvert() const;
    void setDepthToConvert(int depth);

private:
    MultiDataStore();
    // The object a marked dictionary describes; null for another class.
    static std::shared_ptr<const platform::Object> objectFromPList(
        const platform::Dictionary& plist);

    mutable std::mutex mutex_;  // guards everything below
    std::map<std::string, std::shared_ptr<DataStoreItem>> dataStoreSet_;
    int depthToConvert_ = 2;
};
