#include "document/PendingEdits.h"

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>

#include "color/SettingsKeys.h"
#include "engine/MultiDataStore.h"
#include "platform/FileLock.h"
#include "platform/Log.h"
#include "platform/Paths.h"
#include "platform/PropertyList.h"

namespace fs = std::filesystem;

namespace {

constexpr const char* kCatalogStoreName = "Catalog";

// Only our own processes take it, each for a moment.
platform::FileLock lockPending() {
    const fs::path file = PendingEdits::pendingFile();
    return platform::FileLock(file.parent_path() / ("." + file.filename().string() + ".lock"),
                              platform::FileLock::Mode::Exclusive,
                              "the pending edits \"" + file.string() + "\"");
}

std::string uuidOf(const platform::Value& entry) {
    if (!entry.isDictionary()) return {};
    const platform::Value* uuid = entry.dictionary().find(SettingsKeys::kUUID);
    return uuid && uuid->isString() ? uuid->string() : std::string();
}

// The kept entries; an unreadable file is set aside, never overwritten.
platform::Value::Array readKept(const fs::path& file) {
    std::error_code ec;
    if (!fs::exists(file, ec)) return {};
    platform::Error error;
    const auto kept = platform::readPropertyList(file, &error);
    if (kept && kept->isArray()) return kept->array();
    const auto aside = platform::setAsideDamagedFile(file);
    platform::log("The pending edits %s cannot be read (%s); kept as %s", file.c_str(),
                  error.description().c_str(), aside ? aside->c_str() : "nothing");
    return {};
}

bool writeKept(const fs::path& file, const platform::Value::Array& entries,
               platform::Error* error) {
    if (!entries.empty()) return platform::writePropertyList(platform::Value(entries), file, error);
    std::error_code ec;
    fs::remove(file, ec);
    return true;
}

// Sets `stop` once `limit` has passed, unless ended first.
class Deadline {
public:
    Deadline(std::atomic<bool>& stop, std::chrono::milliseconds limit) {
        try {
            timer_ = std::thread([this, &stop, limit] {
                std::unique_lock lock(mutex_);
                if (!ended_.wait_for(lock, limit, [this] { return over_; })) stop = true;
            });
        } catch (const std::system_error&) {
            // No thread to spare: each change waits as a change does.
        }
    }
    ~Deadline() {
        {
            std::lock_guard lock(mutex_);
            over_ = true;
        }
        ended_.notify_all();
        if (timer_.joinable()) timer_.join();
    }

private:
    std::mutex mutex_;
    std::condition_variable ended_;
    bool over_ = false;
    std::thread timer_;
};

}  // namespace

fs::path PendingEdits::pendingFile() {
    return platform::applicationSupportDirectory(false) / "PendingEdits.plist";
}

bool PendingEdits::keep(const platform::Dictionary& entry, platform::Error* error) {
    const fs::path file = pendingFile();
    std::error_code ec;
    fs::create_directories(file.parent_path(), ec);
    const auto lock = lockPending();
    platform::Value::Array entries = readKept(file);
    const std::string uuid = uuidOf(platform::Value(entry));
    std::erase_if(entries, [&](const platform::Value& kept) { return uuidOf(kept) == uuid; });
    entries.emplace_back(entry);
    if (writeKept(file, entries, error)) {
        platform::log("The edits of %s are kept in %s for the catalog", uuid.c_str(), file.c_str());
        return true;
    }
    return false;
}

std::string PendingEdits::mergeIntoCatalog(std::chrono::milliseconds limit) {
    const fs::path file = pendingFile();
    std::error_code ec;
    if (!fs::exists(file, ec)) return {};
    const auto lock = lockPending();
    platform::Value::Array entries = readKept(file);
    if (entries.empty()) return {};
    auto catalog = MultiDataStore::sharedMultiDataStore().dataStoreForStore(kCatalogStoreName);
    std::atomic<bool> stop{false};
    platform::Value::Array left;
    {
        const Deadline deadline(stop, limit);
        const platform::FileLock::StopWhen stopWhen(stop);
        for (const platform::Value& entry : entries)
            if (!entry.isDictionary() || uuidOf(entry).empty())
                continue;  // nothing a catalog could take
            else if (stop || !catalog || !catalog->addItem(entry.dictionary()))
                left.push_back(entry);
    }
    const size_t merged = entries.size() - left.size();
    platform::Error error;
    if (!writeKept(file, left, &error))
        platform::log("The pending edits %s cannot be rewritten: %s", file.c_str(),
                      error.description().c_str());
    std::string told;
    if (merged > 0)
        told = "The edits of " + std::to_string(merged) + (merged == 1 ? " photo" : " photos") +
               " that could not be saved when Quorvex last ended are now in the catalog.";
    if (!left.empty())
        told += std::string(told.empty() ? "" : " ") + "The edits of " +
                std::to_string(left.size()) + (left.size() == 1 ? " photo" : " photos") +
                " that could not be saved when Quorvex last ended cannot be put in the catalog "
                "yet (" +
                (catalog ? catalog->lastWriteError().failureReason : "no catalog") +
                "); they are kept in \"" + file.string() + "\" for the next start.";
    platform::log("%s", told.c_str());
    return told;
}
