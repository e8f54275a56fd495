#include "document/PendingEdits.h"

#include <sys/stat.h>

#include <algorithm>
#include <condition_variable>
#include <map>
#include <mutex>
#include <set>
#include <system_error>
#include <thread>

#include "color/SettingsKeys.h"
#include "engine/MultiDataStore.h"
#include "platform/FileLock.h"
#include "platform/Log.h"
#include "platform/Paths.h"
#include "platform/PropertyList.h"
#include "platform/UserWarning.h"

namespace fs = std::filesystem;
using platform::Dictionary;
using platform::Value;

namespace {

constexpr const char* kCatalogStoreName = "Catalog";
constexpr const char* kFileName = "PendingEdits.plist";
// A record's keys.
constexpr const char* kEntryKey = "Entry";
constexpr const char* kKeptAtKey = "KeptAt";
constexpr const char* kBaseKey = "Base";

struct Record {
    Dictionary entry;
    std::string uuid;
    double keptAt = 0;
    std::optional<double> base;
};

// Only our own processes take it, each for a moment.
platform::FileLock lockPending(const fs::path& file) {
    return platform::FileLock(file.parent_path() / ("." + file.filename().string() + ".lock"),
                              platform::FileLock::Mode::Exclusive,
                              "the pending edits \"" + file.string() + "\"");
}

std::string uuidOf(const Dictionary& entry) {
    const Value* uuid = entry.find(SettingsKeys::kUUID);
    return uuid && uuid->isString() ? uuid->string() : std::string();
}

std::optional<double> realOf(const Dictionary& d, const char* key) {
    const Value* v = d.find(key);
    if (!v || !(v->isReal() || v->isInteger())) return std::nullopt;
    return v->realValue();
}

double fileTime(const fs::path& file) {
    struct stat st;
    if (::stat(file.c_str(), &st) != 0) return 0;
    return double(st.st_mtim.tv_sec) + double(st.st_mtim.tv_nsec) * 1e-9;
}

// A record as kept; an entry kept bare (by the build before records had
// dates) counts as kept when its file was last written.
std::optional<Record> recordOf(const Value& kept, const fs::path& file) {
    if (!kept.isDictionary()) return std::nullopt;
    Record record;
    const Value* entry = kept.dictionary().find(kEntryKey);
    if (entry && entry->isDictionary()) {
        record.entry = entry->dictionary();
        record.keptAt = realOf(kept.dictionary(), kKeptAtKey).value_or(0);
        record.base = realOf(kept.dictionary(), kBaseKey);
    } else {
        record.entry = kept.dictionary();
        record.keptAt = fileTime(file);
    }
    record.uuid = uuidOf(record.entry);
    if (record.uuid.empty()) return std::nullopt;  // nothing a catalog could take
    return record;
}

Value valueOf(const Record& record) {
    Dictionary kept{{kEntryKey, Value(record.entry)}, {kKeptAtKey, Value(record.keptAt)}};
    if (record.base) kept.set(kBaseKey, Value(*record.base));
    return Value(std::move(kept));
}

// The records of a file. Under its lock, an unreadable file is set aside
// (never overwritten) and the person told where it is; without the lock
// (a reader) it only reads as none.
std::vector<Record> readRecords(const fs::path& file, bool locked) {
    std::error_code ec;
    if (!fs::exists(file, ec)) return {};
    platform::Error error;
    const auto kept = platform::readPropertyList(file, &error);
    if (!kept || !kept->isArray()) {
        if (!locked) return {};
        if (kept) error.failureReason = "its top level is no list";
        const auto aside = platform::setAsideDamagedFile(file);
        platform::warnUser("The edits kept when Quorvex last ended, \"" + file.string() +
                           "\", cannot be read (" + error.failureReason + ")" +
                           (aside ? "; the file is kept as \"" + aside->string() + "\"."
                                  : "; the file stays where it is."));
        return {};
    }
    std::vector<Record> records;
    for (const Value& value : kept->array())
        if (auto record = recordOf(value, file)) records.push_back(std::move(*record));
    return records;
}

bool writeRecords(const fs::path& file, const std::vector<Record>& records,
                  platform::Error* error) {
    if (records.empty()) {
        std::error_code ec;
        fs::remove(file, ec);
        return !ec || platform::setError(error, platform::PosixErrorDomain, ec.value(),
                                         "\"" + file.string() + "\": " + ec.message());
    }
    Value::Array values;
    for (const Record& record : records) values.push_back(valueOf(record));
    return platform::writePropertyList(Value(std::move(values)), file, error);
}

// Rewrites a file's records as `change` leaves them, under its lock.
template <class Change>
bool changeRecords(const fs::path& file, Change change, platform::Error* error = nullptr) {
    const auto lock = lockPending(file);
    std::vector<Record> records = readRecords(file, true);
    const size_t before = records.size();
    if (!change(records) && records.size() == before) return true;
    if (writeRecords(file, records, error)) return true;
    platform::Error why = error ? *error : platform::Error{};
    platform::log("The pending edits %s cannot be rewritten: %s", file.c_str(),
                  why.description().c_str());
    return false;
}

// Every record kept, the newest of each photo only.
std::vector<std::pair<fs::path, Record>> newestRecords(bool locked) {
    std::vector<std::pair<fs::path, Record>> newest;
    for (const fs::path& file : PendingEdits::pendingFiles()) {
        std::error_code ec;
        if (!fs::exists(file, ec)) continue;
        std::vector<Record> records;
        if (locked) {
            const auto lock = lockPending(file);
            records = readRecords(file, true);
        } else {
            records = readRecords(file, false);
        }
        for (Record& record : records) {
            auto same = std::find_if(newest.begin(), newest.end(),
                                     [&](const auto& n) { return n.second.uuid == record.uuid; });
            if (same == newest.end())
                newest.emplace_back(file, std::move(record));
            else if (record.keptAt > same->second.keptAt)
                *same = {file, std::move(record)};
        }
    }
    return newest;
}

// Whether the record holds newer settings than the catalog's entry. The
// entry's own mark decides where it can, whatever the clocks of the
// machines sharing the folder say: the mark the record started from means
// nobody saved the photo since. Only an entry saved since (by a process that
// could not see the record) is weighed by time.
bool newerThanEntry(const Record& record, const std::optional<Dictionary>& entry) {
    if (!entry || entry->empty()) return true;
    const auto mark = PendingEdits::savedAt(*entry);
    if (!mark || (record.base && *record.base == *mark)) return true;
    return record.keptAt > *mark;
}

// Sets `stop` once `limit` has passed or `outer` is set, unless ended first.
class Deadline {
public:
    Deadline(std::atomic<bool>& stop, std::chrono::milliseconds limit,
             const std::atomic<bool>* outer) {
        try {
            timer_ = std::thread([this, &stop, limit, outer] {
                const auto end = std::chrono::steady_clock::now() + limit;
                std::unique_lock lock(mutex_);
                while (!over_ && !(outer && *outer) && std::chrono::steady_clock::now() < end)
                    ended_.wait_until(lock, std::min(end, std::chrono::steady_clock::now() +
                                                              std::chrono::milliseconds(50)));
                if (!over_) stop = true;
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

// Tried without a wait, and let go at once.
bool catalogHeldByAnother(DataStoreItem& catalog) {
    const auto file = catalog.storeFilePath();
    if (!file) return false;
    const fs::path target = platform::linkTarget(*file);
    const platform::FileLock probe(
        target.parent_path() / ("." + target.filename().string() + ".lock"),
        platform::FileLock::Mode::Exclusive, {}, platform::FileLock::Wait::Never);
    return probe.timedOut();
}

std::string photos(size_t n) { return std::to_string(n) + (n == 1 ? " photo" : " photos"); }

}  // namespace

std::vector<fs::path> PendingEdits::pendingFiles() {
    return {platform::applicationSupportDirectory(false) / kFileName,
            platform::stateDirectory(false) / kFileName};
}

double PendingEdits::now() {
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::optional<double> PendingEdits::savedAt(const Dictionary& catalogEntry) {
    return realOf(catalogEntry, kSavedAtKey);
}

bool PendingEdits::keep(const Dictionary& entry, std::optional<double> base,
                        platform::Error* error) {
    Record record{entry, uuidOf(entry), now(), base};
    record.entry.remove(kSavedAtKey);
    std::string reasons;
    const auto files = pendingFiles();
    for (const fs::path& file : files) {
        std::error_code ec;
        fs::create_directories(file.parent_path(), ec);
        platform::Error why;
        const bool kept = changeRecords(
            file,
            [&](std::vector<Record>& records) {
                std::erase_if(records, [&](const Record& r) { return r.uuid == record.uuid; });
                records.push_back(record);
                return true;
            },
            &why);
        if (!kept) {
            reasons += (reasons.empty() ? "" : "; ") + why.failureReason;
            continue;
        }
        platform::log("The edits of %s are kept in %s for the catalog", record.uuid.c_str(),
                      file.c_str());
        // An older record elsewhere must not stand beside this one.
        for (const fs::path& other : files)
            if (other != file) settleIn(other, record.uuid);
        return true;
    }
    return platform::setError(
        error, platform::PosixErrorDomain, EIO,
        "the edits cannot be kept in any folder of Quorvex (" + reasons + ")");
}

void PendingEdits::settle(const std::string& uuid) {
    for (const fs::path& file : pendingFiles()) settleIn(file, uuid);
}

void PendingEdits::settleIn(const fs::path& file, const std::string& uuid) {
    std::error_code ec;
    if (uuid.empty() || !fs::exists(file, ec)) return;
    changeRecords(file, [&](std::vector<Record>& records) {
        return std::erase_if(records, [&](const Record& r) { return r.uuid == uuid; }) > 0;
    });
}

std::optional<Dictionary> PendingEdits::newerThan(const std::string& uuid,
                                                  const std::optional<Dictionary>& catalogEntry) {
    for (auto& [file, record] : newestRecords(false))
        if (record.uuid == uuid)
            return newerThanEntry(record, catalogEntry) ? std::optional(std::move(record.entry))
                                                        : std::nullopt;
    return std::nullopt;
}

bool PendingEdits::anyKept() {
    std::error_code ec;
    for (const fs::path& file : pendingFiles())
        if (fs::exists(file, ec)) return true;
    return false;
}

PendingEdits::Merged PendingEdits::merge(std::chrono::milliseconds limit,
                                         const std::atomic<bool>* outerStop, bool quietly) {
    Merged result;
    if (!anyKept()) return result;
    // Read under each file's lock, which is let go before the catalog is
    // waited for: a keep or a save meanwhile goes on.
    const auto kept = newestRecords(true);
    if (kept.empty()) return result;
    auto catalog = MultiDataStore::sharedMultiDataStore().dataStoreForStore(kCatalogStoreName);
    if (quietly && catalog && catalogHeldByAnother(*catalog)) {
        result.left = kept.size();
        return result;
    }
    std::atomic<bool> stop{false};
    std::map<std::string, double> done;  // merged, or older than the catalog's: up to when kept
    std::set<fs::path> leftIn;
    std::string reason = catalog ? std::string() : "no catalog";
    {
        const Deadline deadline(stop, limit, outerStop);
        const platform::FileLock::StopWhen stopWhen(stop);
        for (const auto& [file, record] : kept) {
            Dictionary entry = record.entry;
            entry.set(kSavedAtKey, Value(record.keptAt));
            bool declined = false;
            bool alreadyIn = false;  // another of our processes merged it just now
            const bool tried = !stop && catalog;
            const bool written =
                tried &&
                catalog->addItemIf(
                    entry,
                    [&, &file = file, &record = record](const std::optional<Dictionary>& current) {
                        // A save settled it meanwhile: that save is newer.
                        const auto now = readRecords(file, false);
                        const bool stillKept = std::any_of(now.begin(), now.end(), [&](auto& r) {
                            return r.uuid == record.uuid && r.keptAt == record.keptAt;
                        });
                        const auto mark = current ? savedAt(*current) : std::nullopt;
                        alreadyIn = mark && *mark == record.keptAt;
                        return stillKept && !alreadyIn && newerThanEntry(record, current);
                    },
                    &declined);
            if (written) {
                if (!alreadyIn) ++(declined ? result.older : result.merged);
                done[record.uuid] = record.keptAt;
                continue;
            }
            ++result.left;
            leftIn.insert(file);
            if (tried && !catalog->lastWriteError().failureReason.empty())
                reason = catalog->lastWriteError().failureReason;
        }
    }
    if (result.left > 0 && reason.empty()) reason = "the wait for the catalog's lock ran out";
    for (const fs::path& file : pendingFiles())
        if (std::error_code ec; fs::exists(file, ec))
            changeRecords(file, [&](std::vector<Record>& records) {
                return std::erase_if(records, [&](const Record& r) {
                           const auto handled = done.find(r.uuid);
                           return handled != done.end() && r.keptAt <= handled->second;
                       }) > 0;
            });

    std::string& told = result.told;
    const auto add = [&told](const std::string& sentence) {
        told += (told.empty() ? "" : " ") + sentence;
    };
    if (result.merged > 0)
        add("The edits of " + photos(result.merged) +
            " that could not be saved when Quorvex last ended are now in the catalog.");
    if (result.older > 0)
        add("The edits of " + photos(result.older) +
            " kept when Quorvex last ended were left out: newer edits of them were saved since.");
    if (result.left > 0) {
        std::string where;
        for (const fs::path& file : leftIn)
            where += (where.empty() ? "\"" : ", \"") + file.string() + "\"";
        add("The edits of " + photos(result.left) +
            " that could not be saved when Quorvex last ended cannot be put in the catalog yet (" +
            reason + "); they are kept in " + where + " until it can take them.");
    }
    platform::log("%s", told.c_str());
    return result;
}
