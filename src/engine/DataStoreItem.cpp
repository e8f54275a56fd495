#include "engine/DataStoreItem.h"

#include <chrono>
#include <set>
#include <system_error>
#include <thread>

#include "color/SettingsKeys.h"
#include "platform/Log.h"
#include "platform/Paths.h"
#include "platform/PropertyList.h"

namespace fs = std::filesystem;
using platform::Dictionary;
using platform::Value;

namespace {

std::mutex& storesLock() {
    static std::mutex lock;
    return lock;
}

// The folder every store of the process uses, once one has asked.
std::mutex& folderLock() {
    static std::mutex lock;
    return lock;
}
std::optional<fs::path>& storeFolder() {
    static std::optional<fs::path> folder;
    return folder;
}

const Value& identityOf(const Value& entry) { return entry.dictionary()[SettingsKeys::kUUID]; }

bool sameIdentityString(const Value& entry, const Dictionary& item) {
    const Value& a = identityOf(entry);
    const Value& b = item[SettingsKeys::kUUID];
    return entry.isDictionary() && a.isString() && b.isString() && a.string() == b.string();
}

// The user may write to the file again (the nearest thing here to clearing
// an immutable flag).
void makeWritable(const fs::path& file) {
    std::error_code ec;
    if (fs::exists(file, ec))
        fs::permissions(file, fs::perms::owner_write, fs::perm_options::add, ec);
}

// One line per damaged file (as long as it stays the same file), not one per
// image read from it. Call with the stores' lock held.
void reportUnreadable(const fs::path& file, const std::string& reason) {
    static auto* reported = new std::set<std::string>;
    std::error_code ec;
    const auto time = fs::last_write_time(file, ec).time_since_epoch().count();
    const auto size = fs::file_size(file, ec);
    if (!reported->insert(file.string() + "\n" + std::to_string(time) + "\n" + std::to_string(size))
             .second)
        return;
    platform::log(
        "Catalog: ignoring unreadable %s (%s); its settings are not used, and the file is kept "
        "aside at the next change",
        file.c_str(), reason.c_str());
}

// Another program may be rewriting the file in place: one that cannot be
// read is read again, up to three reads within a second, before it counts as
// unreadable. Call with the stores' lock held.
std::optional<Value> readSettledArray(const fs::path& file, platform::Error* error) {
    constexpr int kPausesMs[] = {150, 400};
    for (int attempt = 0;; ++attempt) {
        auto value = platform::readPropertyList(file, error);
        if (value && value->isArray()) {
            if (attempt > 0)
                platform::log("Catalog: %s could be read at the %d. attempt", file.c_str(),
                              attempt + 1);
            return value;
        }
        if (attempt == 2) return value;
        std::this_thread::sleep_for(std::chrono::milliseconds(kPausesMs[attempt]));
    }
}

}  // namespace

DataStoreItem::DataStoreItem(std::string storeName) : dataStoreName_(std::move(storeName)) {}

std::shared_ptr<DataStoreItem> DataStoreItem::initWithStoreName(std::string storeName) {
    return std::make_shared<DataStoreItem>(std::move(storeName));
}

void DataStoreItem::forgetCatalogDirectory() {
    std::lock_guard<std::mutex> guard(folderLock());
    storeFolder().reset();
}

std::optional<fs::path> DataStoreItem::pathToCurrentCatalogDirectory() {
    std::lock_guard<std::mutex> guard(folderLock());
    auto& folder = storeFolder();
    if (!folder) {
        const fs::path support = platform::applicationSupportDirectory(false);
        if (support.empty() || !support.is_absolute()) {
            platform::log("Could not access Library directory\n%s",
                          "no home or data folder is set");
            return std::nullopt;
        }
        folder = support / dataStoreName_;
    }
    std::error_code ec;
    if (!fs::is_directory(*folder, ec)) {
        fs::create_directories(*folder, ec);
        if (ec || !fs::is_directory(*folder)) {
            platform::log("Could not create directory %s\n%s", folder->c_str(),
                          ec ? ec.message().c_str() : "not a folder");
            folder.reset();
            return std::nullopt;
        }
    }
    return folder;
}

std::optional<fs::path> DataStoreItem::storeFilePath() {
    auto folder = pathToCurrentCatalogDirectory();
    if (!folder) return std::nullopt;
    return *folder / ("Quorvex" + dataStoreName_ + ".plist");
}

std::optional<std::string> DataStoreItem::imageDataFile() {
    auto file = storeFilePath();
    if (!file) return std::nullopt;
    std::lock_guard<std::mutex> guard(storesLock());
    makeWritable(*file);
    std::error_code ec;
    const auto size = fs::file_size(*file, ec);
    if (ec || size > platform::kMaxPropertyListFileSize) return std::nullopt;
    std::string bytes;
    if (FILE* f = std::fopen(file->c_str(), "rb")) {
        bytes.resize(size_t(size));
        const size_t got = std::fread(bytes.data(), 1, bytes.size(), f);
        std::fclose(f);
        if (got != bytes.size()) return std::nullopt;
        return bytes;
    }
    return std::nullopt;
}

std::optional<Value::Array> DataStoreItem::imageData(std::string* unreadable) {
    auto file = storeFilePath();
    if (!file) return std::nullopt;
    std::lock_guard<std::mutex> guard(storesLock());
    std::error_code ec;
    if (!fs::exists(*file, ec)) return std::nullopt;
    platform::Error error;
    auto value = readSettledArray(*file, &error);
    if (!value || !value->isArray()) {
        const std::string reason = value ? "the top level is not an array" : error.description();
        reportUnreadable(*file, reason);
        if (unreadable) *unreadable = reason;
        return std::nullopt;
    }
    return value->array();
}

bool DataStoreItem::saveImageData(const Value::Array& array) {
    auto file = storeFilePath();
    if (!file) return false;
    std::lock_guard<std::mutex> guard(storesLock());
    return save(*file, array);
}

bool DataStoreItem::save(const fs::path& file, const Value::Array& array) {
    platform::Error error;
    if (platform::writePropertyList(Value(array), file, &error)) return true;
    platform::log("Could not write %s: %s", file.c_str(), error.description().c_str());
    return false;
}

Value::Array DataStoreItem::loadForChange(const fs::path& file) {
    std::error_code ec;
    if (!fs::exists(file, ec)) return {};
    makeWritable(file);
    auto value = readSettledArray(file, nullptr);
    if (value && value->isArray()) return value->array();
    // Keep what cannot be read; the change starts a new file.
    for (int n = 1; n < 1000; ++n) {
        fs::path backup = file;
        backup += ".unreadable-" + std::to_string(n);
        if (fs::exists(backup, ec)) continue;
        fs::rename(file, backup, ec);
        if (!ec) {
            platform::log("Kept an unreadable store file as %s", backup.c_str());
            return {};
        }
        break;
    }
    platform::log("Could not keep aside the unreadable store file %s", file.c_str());
    return {};
}

bool DataStoreItem::addItem(const Dictionary& item) {
    auto file = storeFilePath();
    if (!file) return false;
    std::lock_guard<std::mutex> guard(storesLock());
    Value::Array entries = loadForChange(*file);
    const Value& identity = item[SettingsKeys::kUUID];
    for (size_t i = entries.size(); i-- > 0;) {
        if (!entries[i].isDictionary() || !(identityOf(entries[i]) == identity)) continue;
        const Value previous = entries[i];
        std::erase(entries, previous);
        break;
    }
    entries.emplace_back(item);
    return save(*file, entries);
}

bool DataStoreItem::updateItem(const Dictionary& item) {
    auto file = storeFilePath();
    if (!file) return false;
    std::lock_guard<std::mutex> guard(storesLock());
    Value::Array entries = loadForChange(*file);
    for (size_t i = entries.size(); i-- > 0;) {
        if (!sameIdentityString(entries[i], item)) continue;
        Dictionary merged = entries[i].dictionary();
        for (const auto& [key, value] : item) merged.set(key, value);
        entries.erase(entries.begin() + std::ptrdiff_t(i));
        entries.emplace_back(std::move(merged));
        break;
    }
    return save(*file, entries);
}

bool DataStoreItem::removeItem(const Dictionary& item) {
    auto file = storeFilePath();
    if (!file) return false;
    std::lock_guard<std::mutex> guard(storesLock());
    Value::Array entries = loadForChange(*file);
    for (size_t i = entries.size(); i-- > 0;) {
        if (!sameIdentityString(entries[i], item)) continue;
        entries.erase(entries.begin() + std::ptrdiff_t(i));
        break;
    }
    return save(*file, entries);
}

std::optional<Dictionary> DataStoreItem::getItemForUUID(const std::string& uuid,
                                                        std::string* unreadable) {
    auto entries = imageData(unreadable);
    if (!entries) return std::nullopt;
    const Value identity(uuid);
    for (const Value& entry : *entries)
        if (entry.isDictionary() && identityOf(entry) == identity) return entry.dictionary();
    return std::nullopt;
}

bool DataStoreItem::deleteCurrentCatalog(platform::Error* error) {
    auto file = storeFilePath();
    if (!file)
        return platform::setError(error, platform::QuorvexErrorDomain, 0,
                                  "The store folder cannot be had.");
    std::lock_guard<std::mutex> guard(storesLock());
    makeWritable(*file);
    std::error_code ec;
    if (fs::remove(*file, ec)) return true;
    return platform::setPosixError(error, ec ? ec.value() : ENOENT,
                                   "Could not remove " + file->string());
}
