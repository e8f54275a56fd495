// One named settings store: an XML property-list file whose top level is an
// array of settings dictionaries, one per image, told apart by
// "Quorvex_UUID". The file is "Quorvex" + name + ".plist" in the store
// folder: the Application Support folder followed by a folder named after
// the first store of the process that asked (that folder then serves every
// store).
//
// Each change reads the whole file and rewrites it whole, atomically (a
// reader sees the old or the new file). A file that exists but cannot be read
// as such an array is moved aside to "<file>.unreadable-N" before a change
// writes a new one, so nothing the user had is overwritten.
//
// Ownership: made and kept by MultiDataStore. Thread safety: every method may
// be called from any thread; the operations of all stores are serialised by
// one process-wide lock (batch export uses the catalog from its own thread).
#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "platform/Error.h"
#include "platform/Value.h"

class DataStoreItem {
public:
    explicit DataStoreItem(std::string storeName);
    static std::shared_ptr<DataStoreItem> initWithStoreName(std::string storeName);

    const std::string& dataStoreName() const { return dataStoreName_; }

    // The store folder, created when missing; nullopt (logged) when it
    // cannot be had.
    std::optional<std::filesystem::path> pathToCurrentCatalogDirectory();
    // The store file's path; nullopt without a folder.
    std::optional<std::filesystem::path> storeFilePath();
    // The file's bytes, or nullopt.
    std::optional<std::string> imageDataFile();
    // The file parsed as an array of settings, or nullopt when it is missing
    // or unreadable (then `unreadable`, when given, says why). A file that
    // cannot be parsed is read up to three times within a second first: it
    // may be caught while another program rewrites it.
    std::optional<platform::Value::Array> imageData(std::string* unreadable = nullptr);
    bool saveImageData(const platform::Value::Array& array);

    // Replaces the last entry of the same identity (and every entry equal to
    // it) by the item, appended at the end.
    bool addItem(const platform::Dictionary& item);
    // Merges the item's keys into the last entry of the same identity, which
    // moves to the end; no entry, no change. The file is written either way.
    bool updateItem(const platform::Dictionary& item);
    // Removes the last entry of the same identity.
    bool removeItem(const platform::Dictionary& item);
    // The first entry with that identity.
    std::optional<platform::Dictionary> getItemForUUID(const std::string& uuid,
                                                       std::string* unreadable = nullptr);
    // Removes the store file.
    bool deleteCurrentCatalog(platform::Error* error);

    // The next store that asks fixes the folder again.
    static void forgetCatalogDirectory();

    bool logThisObject() const { return false; }

private:
    // The stored entries for a change: an unreadable file is moved aside
    // first. Call with the stores' lock held.
    platform::Value::Array loadForChange(const std::filesystem::path& file);
    bool save(const std::filesystem::path& file, const platform::Value::Array& array);

    const std::string dataStoreName_;
};
