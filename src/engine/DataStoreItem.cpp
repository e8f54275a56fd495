#include "engine/DataStoreItem.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <limits>
#include <set>
#include <system_error>
#include <thread>
#include <unordered_map>

#include "color/SettingsKeys.h"
#include "platform/FileLock.h"
#include "platform/KeyHash.h"
#include "platform/Log.h"
#include "platform/Paths.h"
#include "platform/PropertyList.h"

namespace fs = std::filesystem;
using platform::Dictionary;
using platform::Value;

namespace {

// Guards the stores' state and their files' bytes within the process. Taken
// only once the catalog's lock is had, never while waiting for it: a read
// never waits behind a change that waits for another program.
std::mutex& storesLock() {
    static auto* lock = new std::mutex;
    return *lock;
}

// Why the last change of this thread failed: changes of other threads
// (the batch's, a closing window's) keep theirs.
thread_local platform::Error lastWriteErrorOfThread;

// The folder every store of the process uses, once one has asked.
std::mutex& folderLock() {
    static auto* lock = new std::mutex;
    return *lock;
}
// Never destroyed: a save on a thread of its own may still use it at exit.
std::optional<fs::path>& storeFolder() {
    static auto* folder = new std::optional<fs::path>;
    return *folder;
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

// What tells one version of a file from another.
struct FileStamp {
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = -1;
    int64_t modifiedNs = 0;
    bool operator==(const FileStamp&) const = default;
};

FileStamp stampOf(const struct stat& st) {
    return {st.st_dev, st.st_ino, st.st_size,
            int64_t(st.st_mtim.tv_sec) * 1'000'000'000 + st.st_mtim.tv_nsec};
}

std::optional<FileStamp> stampOf(const fs::path& file) {
    struct stat st {};
    if (::stat(file.c_str(), &st) != 0) return std::nullopt;
    return stampOf(st);
}

int64_t nowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// Changed within the last second: another program may still be writing it.
bool beingWritten(const std::optional<FileStamp>& stamp) {
    return stamp && std::abs(nowNs() - stamp->modifiedNs) < 1'000'000'000;
}

// How far apart two writes must be for the file system to give them
// different times: whole seconds (or two, on some) where times come without
// their fraction, else a few clock ticks.
int64_t timeResolutionNs(const FileStamp& stamp) {
    return stamp.modifiedNs % 1'000'000'000 == 0 ? 2'000'000'000 : 50'000'000;
}

// A rewrite in the same stretch of time as the one seen can leave the file
// with the same stamp (the same size, and the inode of a file two rewrites
// back): a stamp seen that close to its time proves nothing later.
bool racy(const FileStamp& stamp, int64_t seenAtNs) {
    return seenAtNs - stamp.modifiedNs < timeResolutionNs(stamp);
}

// Settings changes are a read-modify-write under this lock, taken by every
// process of the user. It belongs to the file really written, beside it,
// whichever links lead there.
fs::path lockFileFor(const fs::path& file) {
    const fs::path target = platform::linkTarget(file);
    return target.parent_path() / ("." + target.filename().string() + ".lock");
}

// The catalog's lock, waited for a bounded time; a change must not go on
// when another program kept it.
class CatalogLock {
public:
    explicit CatalogLock(const fs::path& file)
        : file_(lockFileFor(file)),
          lock_(file_, platform::FileLock::Mode::Exclusive,
                "the catalog \"" + file.string() + "\"") {}
    bool held() const { return lock_.held(); }
    // False, with `error` saying why, when the change must not be made.
    bool mayChange(platform::Error& error) const {
        if (!lock_.timedOut()) return true;
        const std::string who = lock_.keptBy().empty() ? "another program" : lock_.keptBy();
        return platform::setError(&error, platform::PosixErrorDomain, EWOULDBLOCK,
                                  "not saved: " + who + " kept the catalog's lock \"" +
                                      file_.string() + "\" for " +
                                      platform::FileLock::waitLimitText());
    }
    const fs::path& file() const { return file_; }

private:
    fs::path file_;
    platform::FileLock lock_;
};

// The lock file also counts the changes made under it: a writer counts one
// before it puts its file in place, so a reader that sees the new file (and
// then reads the count) sees the count move. -1 when it cannot be read.
int64_t changeCount(const fs::path& lockFile) {
    const int fd = ::open(lockFile.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW);
    if (fd < 0) return -1;
    int64_t count = 0;
    const ssize_t n = ::pread(fd, &count, sizeof count, 0);
    ::close(fd);
    return n == 0 ? 0 : n == ssize_t(sizeof count) ? count : -1;
}

// Call with the lock held exclusively.
int64_t countChange(const fs::path& lockFile) {
    const int fd = ::open(lockFile.c_str(), O_RDWR | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW);
    if (fd < 0) return -1;
    int64_t count = 0;
    const ssize_t n = ::pread(fd, &count, sizeof count, 0);
    if (n != 0 && n != ssize_t(sizeof count)) count = 0;
    ++count;
    const bool written = ::pwrite(fd, &count, sizeof count, 0) == ssize_t(sizeof count);
    ::close(fd);
    return written ? count : -1;
}

// Another program may be rewriting the file in place: one that cannot be
// read, and that changed while it was read or moments before, is read again,
// up to three reads within a second, before it counts as unreadable. Call
// with the stores' lock held.
std::optional<Value> readSettledArray(const fs::path& file, platform::Error* error) {
    constexpr int kPausesMs[] = {150, 400};
    for (int attempt = 0;; ++attempt) {
        const auto before = stampOf(file);
        auto value = platform::readPropertyList(file, error, std::numeric_limits<uintmax_t>::max());
        if (value && value->isArray()) {
            if (attempt > 0)
                platform::log("Catalog: %s could be read at the %d. attempt", file.c_str(),
                              attempt + 1);
            return value;
        }
        const auto after = stampOf(file);
        if (attempt == 2 || (before == after && !beingWritten(after))) return value;
        std::this_thread::sleep_for(std::chrono::milliseconds(kPausesMs[attempt]));
    }
}

bool copyRange(int from, uint64_t offset, uint64_t size, int to) {
    loff_t in = loff_t(offset);
    while (size > 0) {
        const ssize_t n = ::copy_file_range(from, &in, to, nullptr, size, 0);
        if (n > 0) {
            size -= uint64_t(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n == 0 || errno == EXDEV || errno == ENOSYS || errno == EINVAL || errno == EOPNOTSUPP)
            break;
        return false;
    }
    std::string block;
    while (size > 0) {
        block.resize(size_t(std::min<uint64_t>(size, 1 << 20)));
        const ssize_t n = ::pread(from, block.data(), block.size(), in);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (n == 0) errno = EIO;  // the file is shorter than its layout said
            return false;
        }
        block.resize(size_t(n));
        if (!platform::writeAll(to, block)) return false;
        in += n;
        size -= uint64_t(n);
    }
    return true;
}

}  // namespace

// Where each entry of a file written by the store lies, and the entries by
// identity.
struct DataStoreItem::Layout {
    struct Entry {
        platform::ArrayElementSpan span;
        bool isDictionary = false;
        // Whether its value can be read, and whether its bytes are what
        // writing its value gives (then they are copied as they are).
        bool readable = true;
        bool canonical = true;
        Value identity;  // "Quorvex_UUID", null when absent
        std::string problem;
    };
    fs::path file;
    FileStamp stamp;
    // Seen too close to the file's time to tell it from a later rewrite.
    bool racy = true;
    // The count of changes when the file was written by this store (-1 for
    // a file it read).
    int64_t changes = -1;
    bool indexed = false;  // false: not an array property list; read it whole
    std::vector<Entry> entries;
    // Identities come from the file, so they are hashed with the per-process key.
    struct IdentityHash {
        size_t operator()(const std::string& s) const noexcept { return platform::keyHash(s); }
    };
    std::unordered_map<std::string, std::vector<uint32_t>, IdentityHash> byIdentity;

    void add(Entry entry) {
        if (entry.identity.isString())
            byIdentity[entry.identity.string()].push_back(uint32_t(entries.size()));
        entries.push_back(std::move(entry));
    }
    // The positions of the dictionaries with that identity, in file order
    // (those that cannot be read too).
    std::vector<uint32_t> matching(const Value& identity) const {
        if (identity.isString()) {
            auto it = byIdentity.find(identity.string());
            return it == byIdentity.end() ? std::vector<uint32_t>{} : it->second;
        }
        std::vector<uint32_t> found;
        for (size_t i = 0; i < entries.size(); ++i)
            if (entries[i].isDictionary && entries[i].identity == identity)
                found.push_back(uint32_t(i));
        return found;
    }
};

// The store file open for reading, so that its layout and its bytes are of
// the same version.
class DataStoreItem::OpenFile {
public:
    OpenFile() = default;
    OpenFile(const OpenFile&) = delete;
    OpenFile& operator=(const OpenFile&) = delete;
    ~OpenFile() {
        if (fd >= 0) ::close(fd);
    }
    std::optional<Value> read(const platform::ArrayElementSpan& span) const {
        std::string bytes(size_t(span.size), '\0');
        size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n =
                ::pread(fd, bytes.data() + done, bytes.size() - done, off_t(span.offset + done));
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return std::nullopt;
            done += size_t(n);
        }
        return platform::parseArrayElement(bytes);
    }
    // The entry at `span`, when it is a dictionary of that identity: a
    // layout that no longer fits the file shows as a mismatch.
    std::optional<Value> readEntry(const platform::ArrayElementSpan& span,
                                   const Value& identity) const {
        auto entry = read(span);
        if (!entry || !entry->isDictionary() || !(identityOf(*entry) == identity))
            return std::nullopt;
        return entry;
    }
    int fd = -1;
};

DataStoreItem::DataStoreItem(std::string storeName) : dataStoreName_(std::move(storeName)) {}

DataStoreItem::~DataStoreItem() = default;

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
    if (ec || !fs::is_regular_file(*file, ec)) return std::nullopt;
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
    return readWhole(*file, unreadable);
}

std::optional<Value::Array> DataStoreItem::readWhole(const fs::path& file,
                                                     std::string* unreadable) {
    std::error_code ec;
    if (!fs::exists(file, ec)) return std::nullopt;
    platform::Error error;
    auto value = readSettledArray(file, &error);
    if (!value || !value->isArray()) {
        // In the user's words (the log has the parser's own).
        const std::string reason =
            value ? "the file holds no list of photo settings" : error.failureReason;
        reportUnreadable(file, reason);
        if (unreadable) *unreadable = reason;
        return std::nullopt;
    }
    return std::move(value->array());
}

const DataStoreItem::Layout* DataStoreItem::layoutOf(const fs::path& file, OpenFile& open) {
    if (!cleaned_) {
        cleaned_ = true;
        platform::removeStaleTemporaryFiles(file);
    }
    const int64_t seenAt = nowNs();
    const fs::path lockFile = lockFileFor(file);
    // Not blocking: a FIFO in the file's place is refused, not waited on.
    open.fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    struct stat st {};
    if (open.fd < 0 || ::fstat(open.fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        layout_.reset();
        if (open.fd < 0 && errno == ENOENT) return nullptr;
        // Unreadable: the whole read says why.
        layout_ = std::make_unique<Layout>();
        layout_->file = file;
        return layout_.get();
    }
    const FileStamp stamp = stampOf(st);
    // Read after the file was opened: a change counted before it was put in
    // place shows.
    const int64_t changes = changeCount(lockFile);
    // The file this store wrote, when no change was counted since: only a
    // program that does not count its changes could have rewritten it, and
    // on a file system that keeps the fraction of times only moments after.
    const auto ours = [&](const Layout& layout) {
        return layout.changes >= 0 && layout.changes == changes &&
               layout.stamp.modifiedNs % 1'000'000'000 != 0;
    };
    if (layout_ && layout_->file == file && layout_->stamp == stamp &&
        (!layout_->racy || ours(*layout_)))
        return layout_.get();
    auto layout = std::make_unique<Layout>();
    layout->file = file;
    layout->stamp = stamp;
    layout->racy = racy(stamp, seenAt);
    layout->indexed = platform::scanArrayFile(
        open.fd, SettingsKeys::kUUID, [&](platform::ArrayElementInfo&& element) {
            layout->add({element.span, element.isDictionary, element.readable, element.canonical,
                         std::move(element.key), std::move(element.problem)});
            return true;
        });
    // Changed while it was read: neither the layout nor the verdict holds.
    if (::fstat(open.fd, &st) != 0 || !(stampOf(st) == stamp) || stampOf(file) != stamp) {
        layout->indexed = false;
        layout->stamp = {};
    }
    if (!layout->indexed) {
        layout->entries.clear();
        layout->byIdentity.clear();
    }
    layout_ = std::move(layout);
    return layout_.get();
}

bool DataStoreItem::saveImageData(const Value::Array& array) {
    auto file = storeFilePath();
    if (!file) return false;
    CatalogLock lock(*file);
    std::lock_guard<std::mutex> guard(storesLock());
    layout_.reset();
    if (!lock.mayChange(lastWriteErrorOfThread)) return false;
    return save(*file, array);
}

bool DataStoreItem::save(const fs::path& file, const Value::Array& array) {
    platform::Error error;
    if (platform::writePropertyList(Value(array), file, &error)) return true;
    platform::log("Could not write %s: %s", file.c_str(), error.description().c_str());
    lastWriteErrorOfThread = error;
    return false;
}

Value::Array DataStoreItem::loadForChange(const fs::path& file) {
    std::error_code ec;
    if (!fs::exists(file, ec)) return {};
    makeWritable(file);
    auto value = readSettledArray(file, nullptr);
    if (value && value->isArray()) return value->array();
    // Keep what cannot be read; the change starts a new file.
    if (const auto backup = platform::setFileAside(file, ".unreadable", true))
        platform::log("Kept an unreadable store file as %s", backup->c_str());
    else
        platform::log("Could not keep aside the unreadable store file %s", file.c_str());
    return {};
}

bool DataStoreItem::addItem(const Dictionary& item) { return change(Change::Add, item); }

bool DataStoreItem::addItemIf(const Dictionary& item,
                              const std::function<bool(const std::optional<Dictionary>&)>& wanted,
                              bool* declined) {
    return change(Change::Add, item, wanted, declined);
}

bool DataStoreItem::updateItem(const Dictionary& item) { return change(Change::Update, item); }

bool DataStoreItem::removeItem(const Dictionary& item) { return change(Change::Remove, item); }

platform::Error DataStoreItem::lastWriteError() const { return lastWriteErrorOfThread; }

bool DataStoreItem::change(Change change, const Dictionary& item,
                           const std::function<bool(const std::optional<Dictionary>&)>& wanted,
                           bool* declined) {
    if (declined) *declined = false;
    auto file = storeFilePath();
    if (!file) {
        platform::setError(&lastWriteErrorOfThread, platform::PosixErrorDomain, ENOENT,
                           "The catalog folder cannot be made in " +
                               platform::applicationSupportDirectory(false).string() + ".");
        return false;
    }
    CatalogLock lock(*file);
    if (!lock.mayChange(lastWriteErrorOfThread)) {
        platform::log("Catalog: %s not changed: %s", file->c_str(),
                      lastWriteErrorOfThread.failureReason.c_str());
        return false;
    }
    // Read before the stores' lock is taken (the read takes it too); the
    // file's lock keeps every other change out meanwhile.
    if (wanted) {
        const Value& identity = item[SettingsKeys::kUUID];
        const auto current = identity.isString() ? getItemForUUID(identity.string()) : std::nullopt;
        if (!wanted(current)) {
            if (declined) *declined = true;
            return true;
        }
    }
    std::lock_guard<std::mutex> guard(storesLock());
    changesCounted_ = lock.held() ? countChange(lock.file()) : -1;
    // A layout found not to fit is made again once.
    for (int attempt = 0; attempt < 2; ++attempt) {
        const auto done = changeIndexed(change, item, *file);
        if (done == Indexed::Done) return true;
        if (done == Indexed::Failed) return false;
        if (done == Indexed::WholeFile) break;
        layout_.reset();
    }
    layout_.reset();
    Value::Array entries = loadForChange(*file);
    const Value& identity = item[SettingsKeys::kUUID];
    for (size_t i = entries.size(); i-- > 0;) {
        if (change == Change::Add) {
            if (!entries[i].isDictionary() || !(identityOf(entries[i]) == identity)) continue;
            const Value previous = entries[i];
            std::erase(entries, previous);
            break;
        }
        if (!sameIdentityString(entries[i], item)) continue;
        if (change == Change::Update) {
            Dictionary merged = entries[i].dictionary();
            for (const auto& [key, value] : item) merged.set(key, value);
            entries.emplace_back(std::move(merged));
        }
        entries.erase(entries.begin() + std::ptrdiff_t(i));
        break;
    }
    if (change == Change::Add) entries.emplace_back(item);
    return save(*file, entries);
}

DataStoreItem::Indexed DataStoreItem::changeIndexed(Change change, const Dictionary& item,
                                                    const fs::path& file) {
    OpenFile open;
    const Layout* layout = layoutOf(file, open);
    if (layout && !layout->indexed) return Indexed::WholeFile;
    if (layout) makeWritable(file);
    const size_t count = layout ? layout->entries.size() : 0;
    std::vector<bool> dropped(count, false);
    std::optional<Value> appended;

    const Value& identity = item[SettingsKeys::kUUID];
    const bool stringIdentity = identity.isString();
    // An entry that cannot be read is passed over, and kept as it is.
    std::vector<uint32_t> matches;
    if (layout && (change == Change::Add || stringIdentity))
        for (uint32_t m : layout->matching(identity))
            if (layout->entries[m].readable) matches.push_back(m);
    if (!matches.empty()) {
        auto last = open.readEntry(layout->entries[matches.back()].span, identity);
        if (!last) return Indexed::Stale;
        if (change == Change::Add) {
            // Every entry equal to the one replaced goes with it.
            for (uint32_t m : matches) {
                if (m == matches.back()) {
                    dropped[m] = true;
                    continue;
                }
                auto other = open.readEntry(layout->entries[m].span, identity);
                if (!other) return Indexed::Stale;
                if (*other == *last) dropped[m] = true;
            }
        } else {
            dropped[matches.back()] = true;
            if (change == Change::Update) {
                Dictionary merged = last->dictionary();
                for (const auto& [key, value] : item) merged.set(key, value);
                appended = Value(std::move(merged));
            }
        }
    }
    if (change == Change::Add) appended = Value(item);

    // The new file: the kept entries' bytes where they are what writing them
    // gives (or cannot be read), the others written anew, then the new entry.
    auto next = std::make_unique<Layout>();
    next->file = file;
    next->indexed = true;
    next->changes = changesCounted_;
    std::vector<std::string> rewritten(count);
    uint64_t offset = platform::kArrayFileHead.size();
    for (size_t i = 0; i < count; ++i) {
        if (dropped[i]) continue;
        Layout::Entry entry = layout->entries[i];
        if (entry.readable && !entry.canonical) {
            auto value = open.read(entry.span);
            if (!value) return Indexed::Stale;
            if (value->isDictionary() != entry.isDictionary ||
                (entry.isDictionary && !(identityOf(*value) == entry.identity)))
                return Indexed::Stale;
            rewritten[i] = platform::serializeArrayElement(*value);
            entry.span.size = rewritten[i].size();
            entry.canonical = true;
        }
        entry.span.offset = offset;
        offset += entry.span.size;
        next->add(std::move(entry));
    }
    const std::string appendedBytes = appended ? platform::serializeArrayElement(*appended) : "";
    if (appended) {
        Layout::Entry entry{
            {offset, appendedBytes.size()}, appended->isDictionary(), true, true, {}, {}};
        if (entry.isDictionary) entry.identity = identityOf(*appended);
        next->add(std::move(entry));
    }
    auto copied = [&](size_t i) { return !dropped[i] && rewritten[i].empty(); };
    auto fill = [&](int fd) {
        if (next->entries.empty()) {
            if (!platform::writeAll(fd, platform::serializePropertyList(Value(Value::Array{}))))
                return false;
        } else {
            if (!platform::writeAll(fd, platform::kArrayFileHead)) return false;
            for (size_t i = 0; i < count;) {
                if (dropped[i]) {
                    ++i;
                    continue;
                }
                if (!copied(i)) {
                    if (!platform::writeAll(fd, rewritten[i++])) return false;
                    continue;
                }
                // Runs of kept entries that lie together are copied in one go.
                const uint64_t from = layout->entries[i].span.offset;
                uint64_t to = from;
                while (i < count && copied(i) && layout->entries[i].span.offset == to)
                    to += layout->entries[i++].span.size;
                if (!copyRange(open.fd, from, to - from, fd)) return false;
            }
            if (!platform::writeAll(fd, appendedBytes) ||
                !platform::writeAll(fd, platform::kArrayFileTail))
                return false;
        }
        struct stat st {};
        if (::fstat(fd, &st) != 0) return false;
        next->stamp = stampOf(st);
        return true;
    };
    platform::Error error;
    if (!platform::writeFileAtomically(file, fill, &error)) {
        platform::log("Could not write %s: %s", file.c_str(), error.description().c_str());
        lastWriteErrorOfThread = error;
        layout_.reset();
        return Indexed::Failed;
    }
    layout_ = std::move(next);
    return Indexed::Done;
}

std::optional<Dictionary> DataStoreItem::getItemForUUID(const std::string& uuid,
                                                        std::string* unreadable,
                                                        bool* onlyThisEntry) {
    auto file = storeFilePath();
    if (!file) return std::nullopt;
    std::lock_guard<std::mutex> guard(storesLock());
    const Value identity(uuid);
    // A layout found not to fit is made again once.
    for (int attempt = 0; attempt < 2; ++attempt) {
        OpenFile open;
        const Layout* layout = layoutOf(*file, open);
        if (!layout) return std::nullopt;
        if (!layout->indexed) break;
        const Layout::Entry* passedOver = nullptr;
        bool stale = false;
        for (uint32_t m : layout->matching(identity)) {
            const Layout::Entry& found = layout->entries[m];
            if (!found.readable) {
                if (!passedOver) passedOver = &found;
                continue;
            }
            auto entry = open.readEntry(found.span, identity);
            if (!entry) {
                stale = true;
                break;
            }
            return std::move(entry->dictionary());
        }
        if (stale) {
            layout_.reset();
            continue;
        }
        if (passedOver) {
            platform::log("Catalog: the entry of %s in %s cannot be read (%s); it is passed over",
                          uuid.c_str(), file->c_str(), passedOver->problem.c_str());
            if (unreadable) *unreadable = passedOver->problem;
            if (onlyThisEntry) *onlyThisEntry = true;
        }
        return std::nullopt;
    }
    auto entries = readWhole(*file, unreadable);
    if (!entries) return std::nullopt;
    for (Value& entry : *entries)
        if (entry.isDictionary() && identityOf(entry) == identity)
            return std::move(entry.dictionary());
    return std::nullopt;
}

bool DataStoreItem::deleteCurrentCatalog(platform::Error* error) {
    auto file = storeFilePath();
    if (!file)
        return platform::setError(error, platform::QuorvexErrorDomain, 0,
                                  "The store folder cannot be had.");
    CatalogLock lock(*file);
    std::lock_guard<std::mutex> guard(storesLock());
    layout_.reset();
    if (platform::Error why; !lock.mayChange(why)) {
        if (error) *error = why;
        return false;
    }
    makeWritable(*file);
    std::error_code ec;
    if (fs::remove(*file, ec)) return true;
    return platform::setPosixError(error, ec ? ec.value() : ENOENT,
                                   "Could not remove " + file->string());
}
