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

// Changed within the last second: another program may still be writing it.
bool beingWritten(const std::optional<FileStamp>& stamp) {
    if (!stamp) return false;
    const auto now = std::chrono::duration_cast<std::chrono::nanoseconds>(
                         std::chrono::system_clock::now().time_since_epoch())
                         .count();
    return std::abs(now - stamp->modifiedNs) < 1'000'000'000;
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
        Value identity;  // "Quorvex_UUID", null when absent
    };
    fs::path file;
    FileStamp stamp;
    bool indexed = false;  // false: not laid out as the store writes; read it whole
    std::vector<Entry> entries;
    std::unordered_map<std::string, std::vector<uint32_t>> byIdentity;  // string identities

    void add(Entry entry) {
        if (entry.identity.isString())
            byIdentity[entry.identity.string()].push_back(uint32_t(entries.size()));
        entries.push_back(std::move(entry));
    }
    // The positions of the dictionaries with that identity, in file order.
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
    if (ec) return std::nullopt;
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
        const std::string reason = value ? "the top level is not an array" : error.description();
        reportUnreadable(file, reason);
        if (unreadable) *unreadable = reason;
        return std::nullopt;
    }
    return std::move(value->array());
}

const DataStoreItem::Layout* DataStoreItem::layoutOf(const fs::path& file, OpenFile& open) {
    open.fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
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
    if (layout_ && layout_->file == file && layout_->stamp == stamp) return layout_.get();
    auto layout = std::make_unique<Layout>();
    layout->file = file;
    layout->stamp = stamp;
    layout->indexed = platform::scanArrayFile(
        open.fd, SettingsKeys::kUUID, [&](platform::ArrayElementInfo&& element) {
            layout->add({element.span, element.isDictionary, std::move(element.key)});
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
    std::lock_guard<std::mutex> guard(storesLock());
    layout_.reset();
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
    if (const auto backup = platform::setFileAside(file, ".unreadable", true))
        platform::log("Kept an unreadable store file as %s", backup->c_str());
    else
        platform::log("Could not keep aside the unreadable store file %s", file.c_str());
    return {};
}

bool DataStoreItem::addItem(const Dictionary& item) { return change(Change::Add, item); }

bool DataStoreItem::updateItem(const Dictionary& item) { return change(Change::Update, item); }

bool DataStoreItem::removeItem(const Dictionary& item) { return change(Change::Remove, item); }

bool DataStoreItem::change(Change change, const Dictionary& item) {
    auto file = storeFilePath();
    if (!file) return false;
    std::lock_guard<std::mutex> guard(storesLock());
    if (auto done = changeIndexed(change, item, *file)) return *done;
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

std::optional<bool> DataStoreItem::changeIndexed(Change change, const Dictionary& item,
                                                 const fs::path& file) {
    OpenFile open;
    const Layout* layout = layoutOf(file, open);
    if (layout && !layout->indexed) return std::nullopt;
    if (layout) makeWritable(file);
    const size_t count = layout ? layout->entries.size() : 0;
    std::vector<bool> dropped(count, false);
    std::optional<Value> appended;

    const Value& identity = item[SettingsKeys::kUUID];
    const bool stringIdentity = identity.isString();
    std::vector<uint32_t> matches;
    if (layout && (change == Change::Add || stringIdentity)) matches = layout->matching(identity);
    if (!matches.empty()) {
        auto last = open.read(layout->entries[matches.back()].span);
        if (!last || !last->isDictionary()) return std::nullopt;  // changed since it was read
        if (change == Change::Add) {
            // Every entry equal to the one replaced goes with it.
            for (uint32_t m : matches) {
                if (m == matches.back()) {
                    dropped[m] = true;
                    continue;
                }
                auto other = open.read(layout->entries[m].span);
                if (!other) return std::nullopt;
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

    // The new file: the kept entries' bytes as they are, then the new entry.
    auto next = std::make_unique<Layout>();
    next->file = file;
    next->indexed = true;
    uint64_t offset = platform::kArrayFileHead.size();
    for (size_t i = 0; i < count; ++i) {
        if (dropped[i]) continue;
        Layout::Entry entry = layout->entries[i];
        entry.span.offset = offset;
        offset += entry.span.size;
        next->add(std::move(entry));
    }
    const std::string appendedBytes = appended ? platform::serializeArrayElement(*appended) : "";
    if (appended) {
        Layout::Entry entry{{offset, appendedBytes.size()}, appended->isDictionary(), {}};
        if (entry.isDictionary) entry.identity = identityOf(*appended);
        next->add(std::move(entry));
    }
    auto fill = [&](int fd) {
        if (next->entries.empty()) {
            if (!platform::writeAll(fd, platform::serializePropertyList(Value(Value::Array{}))))
                return false;
        } else {
            if (!platform::writeAll(fd, platform::kArrayFileHead)) return false;
            // Runs of kept entries that lie together are copied in one go.
            for (size_t i = 0; i < count;) {
                if (dropped[i]) {
                    ++i;
                    continue;
                }
                const uint64_t from = layout->entries[i].span.offset;
                uint64_t to = from;
                while (i < count && !dropped[i] && layout->entries[i].span.offset == to)
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
        layout_.reset();
        return false;
    }
    layout_ = std::move(next);
    return true;
}

std::optional<Dictionary> DataStoreItem::getItemForUUID(const std::string& uuid,
                                                        std::string* unreadable) {
    auto file = storeFilePath();
    if (!file) return std::nullopt;
    std::lock_guard<std::mutex> guard(storesLock());
    OpenFile open;
    const Layout* layout = layoutOf(*file, open);
    if (!layout) return std::nullopt;
    const Value identity(uuid);
    if (layout->indexed) {
        const auto matches = layout->matching(identity);
        if (matches.empty()) return std::nullopt;
        auto entry = open.read(layout->entries[matches.front()].span);
        if (entry && entry->isDictionary()) return std::move(entry->dictionary());
        layout_.reset();  // changed since it was read: read it whole
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
    std::lock_guard<std::mutex> guard(storesLock());
    layout_.reset();
    makeWritable(*file);
    std::error_code ec;
    if (fs::remove(*file, ec)) return true;
    return platform::setPosixError(error, ec ? ec.value() : ENOENT,
                                   "Could not remove " + file->string());
}
