// One named settings store: an XML property-list file whose top level is an
// array of settings dictionaries, one per image, told apart by
// "Quorvex_UUID". The file is "Quorvex" + name + ".plist" in the store
// folder: the Application Support folder followed by a folder named after
// the first store of the process that asked (that folder then serves every
// store).
//
// Each change rewrites the whole file, atomically (a reader sees the old or
// the new file), as a read-modify-write under an advisory lock on
// ".<file>.lock" beside the file really written (links followed), so that
// changes from any number of processes all survive; readers take no lock. A
// lock another program keeps past the wait limit fails the change, with
// lastWriteError() saying so: nothing is written without it. A file that exists but cannot be read
// as such an array is moved aside to "<file>.unreadable-N" before a change writes a new one, so
// nothing the user had is overwritten. An entry that cannot be read is passed over and kept byte
// for byte. The file has no size limit: it is ours, and may hold a great many photos. A link to the
// file is written through; what is not a regular file is not read.
//
// A well-formed file (in any layout) is indexed once per process while it
// stays the same (device, inode, size, modification time with its
// fraction): the store keeps where each entry lies and an index by
// identity, reads only the entry asked for (and checks that it is the one
// asked for), and rewrites the file from the unchanged entries' bytes (those
// not in its own layout written anew). An index made within the file
// system's time resolution of the file's time is made again at its next use,
// unless no change was counted in the lock file since (every process of ours
// counts its changes there): a rewrite in that time can give another file the
// same stamp. A file that is not well-formed is read whole. Either way the
// results and the bytes written are the same.
//
// Ownership: made and kept by MultiDataStore. Thread safety: every method may
// be called from any thread; the operations of all stores are serialised by
// one process-wide lock (batch export uses the catalog from its own thread),
// which a change takes only once it has the file's lock: a read never waits
// behind a change of this process that waits for another program. Changes
// of this process wait for each other as for another program, each one
// stoppable (FileLock::StopWhen).
#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/Error.h"
#include "platform/Value.h"

class DataStoreItem {
public:
    explicit DataStoreItem(std::string storeName);
    ~DataStoreItem();
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
    // The same, only when `wanted` says so of the entry of that identity
    // stored now (nullopt: none), asked with the file's lock held, so that no
    // other change comes between; a refusal (`declined` set) changes nothing
    // and succeeds.
    bool addItemIf(const platform::Dictionary& item,
                   const std::function<bool(const std::optional<platform::Dictionary>&)>& wanted,
                   bool* declined);
    // Merges the item's keys into the last entry of the same identity, which
    // moves to the end; no entry, no change. The file is written either way.
    bool updateItem(const platform::Dictionary& item);
    // Removes the last entry of the same identity.
    bool removeItem(const platform::Dictionary& item);
    // The first entry with that identity that can be read. When the file
    // cannot be read, or only an entry of that identity that cannot be read
    // is there (then `onlyThisEntry` is set), `unreadable` says why.
    std::optional<platform::Dictionary> getItemForUUID(const std::string& uuid,
                                                       std::string* unreadable = nullptr,
                                                       bool* onlyThisEntry = nullptr);
    // Why the last change made on the calling thread failed (its folder and
    // the system's reason, or who kept the lock).
    platform::Error lastWriteError() const;
    // Removes the store file.
    bool deleteCurrentCatalog(platform::Error* error);

    // The next store that asks fixes the folder again.
    static void forgetCatalogDirectory();

    bool logThisObject() const { return false; }

private:
    struct Layout;
    class OpenFile;
    enum class Change { Add, Update, Remove };
    enum class Indexed { Done, Failed, WholeFile, Stale };

    // The stored entries for a change: an unreadable file is moved aside
    // first. Call with the stores' lock held.
    platform::Value::Array loadForChange(const std::filesystem::path& file);
    bool save(const std::filesystem::path& file, const platform::Value::Array& array);
    std::optional<platform::Value::Array> readWhole(const std::filesystem::path& file,
                                                    std::string* unreadable);
    // The file's layout, scanned again when the file is not the one last
    // seen; null when there is no file. Call with the stores' lock held.
    const Layout* layoutOf(const std::filesystem::path& file, OpenFile& open);
    // A change through the layout: Stale when the layout was found not to
    // fit the file, WholeFile when the file must be read whole.
    Indexed changeIndexed(Change change, const platform::Dictionary& item,
                          const std::filesystem::path& file);
    bool change(Change change, const platform::Dictionary& item,
                const std::function<bool(const std::optional<platform::Dictionary>&)>& wanted = {},
                bool* declined = nullptr);

    const std::string dataStoreName_;
    std::unique_ptr<Layout> layout_;  // guarded by the stores' lock
    bool cleaned_ = false;            // stale temporary files looked for
    int64_t changesCounted_ = -1;     // by the change under way
};
