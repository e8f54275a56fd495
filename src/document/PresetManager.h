// Presets: named, partial settings dictionaries kept as one XML property-list
// file each ("<Quorvex_PresetUUID>.plist") in the "presets" folder of the
// Application Support folder. The folder is made, and filled with the four
// factory presets, on first use in a process. Every change posts
// "TARNWisp_PresetsChanged" with the manager as object.
//
// A preset's identifier must have the form of a UUID before it becomes a file
// name, so a preset read from elsewhere cannot name a path outside the folder.
//
// Changes take an advisory lock on ".presets.lock" beside the folder, and
// listings take it shared, so that runs starting at once make the factory
// presets once and every run sees them all. A lock another program keeps is waited
// for a bounded time (see FileLock): listings then read without it (and
// leave damage they would mend for a later listing), and changes fail as
// not saved. While the folder cannot be made or filled (a
// full disk, a read-only folder) the lists hold the factory presets.
//
// Ownership: the process-wide manager holds the list last read; callers get
// copies. Thread safety: every method may be called from any thread (the
// batch export looks presets up on its own thread); notifications and
// list observers are called on the calling thread, outside the lock. A list
// or lookup asked while another thread's operation is under way (which may
// wait for another program's lock) answers from the list last read.
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/Error.h"
#include "platform/FileLock.h"
#include "platform/Value.h"

class PresetManager {
public:
    using ObserverToken = uint64_t;
    // Called with false before the list changes and with true after.
    using ListObserver = std::function<void(bool didChange)>;

    static PresetManager& sharedPresetManager();
    // The calling thread (a window's) never waits for the presets: while
    // another program keeps the folder's lock or another thread's operation
    // is under way, lists and lookups answer from the list last read (the
    // factory presets before any), and the folder is read again on a
    // thread of its own, which tells of its wait as usual and posts
    // "TARNWisp_PresetsChanged" when the list it reads differs.
    static void neverWaitOnThisThread();
    // Whether a read of the folder on a thread of its own is under way.
    bool readingAgain() const { return readingAgain_; }
    PresetManager(const PresetManager&) = delete;
    PresetManager& operator=(const PresetManager&) = delete;

    // The presets folder, made (with the factory presets) on first use;
    // nullopt when it cannot be made (asked again at the next use; the
    // user is told once, and the lists hold the factory presets meanwhile).
    std::optional<std::filesystem::path> presetDirectory();
    // A new random UUID in its upper-case string form.
    static std::string uuidString();
    static bool isUUIDString(const std::string& text);
    static std::string profileUUID(const platform::Dictionary& preset);

    // Reads the folder again. A damaged file (one too large is refused by
    // its size, unread) is set aside, with a warning; one that was a factory
    // preset the folder lacks is rebuilt in its place, and only that one.
    void iteratePresets();
    // The presets by name, in the browser's order of file names (numbers by
    // value, letters in any case); for a menu, {"displayName": "Select
    // preset...."} comes first.
    std::vector<platform::Dictionary> presetList(bool forMenu);
    std::vector<platform::Dictionary> presetListForMenu() { return presetList(true); }
    // The first preset in that order whose "displayName" is exactly `name`.
    // A damaged factory preset serves from its factory values until it is
    // mended. When only a damaged file of the user's claims the name,
    // `damaged` says so and where the file is.
    std::optional<platform::Dictionary> presetNamed(const std::string& name,
                                                    platform::Error* damaged = nullptr);
    // The damaged files kept aside in the presets folder whose preset's name
    // cannot be read from them (zero-filled, garbage, empty): any of them
    // may have been a preset asked for by a name no preset has. Reads the
    // folder without its lock, in name order.
    std::vector<std::filesystem::path> damagedCopiesWithoutName();
    // Whether any preset may be named `name`: a factory preset's name, or
    // the name in a preset file, or a file whose name cannot be read. Reads
    // the files without the folder's lock, so a wrong name is told at once
    // while another program keeps it.
    bool couldHavePresetNamed(const std::string& name);

    // Stores the preset, replacing the file of a preset with the same name;
    // the dictionary gets its identifier. False with the error when the file
    // cannot be written.
    bool addPreset(platform::Dictionary& preset, platform::Error* error);
    // Deletes the preset's file. A null preset succeeds.
    bool removePreset(const platform::Dictionary* preset, platform::Error* error);
    // Deletes the whole folder (it stays the folder of this process: adding
    // fails until the next launch makes it again).
    bool deleteAllPresets(platform::Error* error);
    void notifyPresetsChanged();

    ObserverToken addListObserver(ListObserver observer);
    void removeListObserver(ObserverToken token);

    // Forgets the folder and list so the next use resolves them again (the
    // environment moved; for tests).
    void forgetPresetDirectory();

private:
    PresetManager() = default;
    std::optional<std::filesystem::path> presetDirectoryLocked();
    void iteratePresetsLocked();
    // Empty, or why a factory preset could not be written (in the system's words).
    std::string writeFactoryPresetsLocked(const std::filesystem::path& folder);
    // Tells the user once per process that the folder could not be filled.
    void factoryPresetsUnwritten(const std::filesystem::path& folder, const std::string& reason);
    static bool notSaved(platform::Error* error, const std::filesystem::path& folder);
    struct DamagedPreset {
        std::optional<std::string> name;  // when it could still be read
        std::filesystem::path file;
        std::string reason;
        std::filesystem::path keptAs;
    };
    class FolderLock;
    // Lists the folder into presetList_; unreadable files are noted in
    // `damaged`.
    void readFolderLocked(const std::filesystem::path& folder, std::vector<DamagedPreset>& damaged);
    // Sets the damaged files aside (never deleting them), rebuilds those that
    // were missing factory presets, and tells the user once about each.
    // Call with the folder's lock held exclusively.
    void mendDamagedLocked(std::vector<DamagedPreset>& damaged);
    // The factory preset (name and values) each damaged file was, when the
    // list lacks it.
    std::vector<std::optional<std::pair<std::string, platform::Dictionary>>> factoryPresetsOf(
        const std::vector<DamagedPreset>& damaged) const;
    // Damaged files still in place: a factory preset is listed with its
    // factory values, a user's is left out and its name remembered; the
    // user is told once about each.
    void standInForDamagedLocked(const std::vector<DamagedPreset>& damaged);
    // Why no preset named `name` was found when a damaged file claims it.
    std::optional<std::string> damagedPresetNamedLocked(const std::string& name);
    // Whether a kept damaged copy was not looked at yet.
    bool hasUnusedCopy(const std::filesystem::path& folder);
    // A kept copy whose preset is missing brings back the factory preset it
    // was, once (an earlier run kept it and ended before the rebuild).
    void restoreFromCopiesLocked(const std::filesystem::path& folder);
    // Into the presets folder, or `into`.
    bool writePresetLocked(platform::Dictionary& preset, platform::Error* error,
                           const std::filesystem::path* into = nullptr);
    void tellObservers(bool didChange);

    // The list as last read, for readers that find another thread's
    // operation under way; read and answered without waiting for mutex_.
    std::vector<platform::Dictionary> currentList();
    // currentList for a thread that never waits.
    std::vector<platform::Dictionary> listAtOnce();
    void readAgainElsewhere();

    std::recursive_mutex mutex_;
    std::mutex listedMutex_;  // guards lastListed_
    std::optional<std::vector<platform::Dictionary>> lastListed_;
    std::optional<std::filesystem::path> directory_;
    std::vector<platform::Dictionary> presetList_;
    // Names of the user's presets the last listing found damaged, with what
    // follows the name in the words that say so.
    std::map<std::string, std::string> damagedClaims_;
    std::unique_ptr<platform::FileLock> folderLock_;  // of the operation under way
    bool checkKeptCopies_ = true;                     // once per process
    bool toldUnwritten_ = false;
    // While a thread that never waits reads (mutex_ held): the folder's lock
    // is only tried, and lockMissed_ says another holder kept it.
    bool atOnce_ = false;
    bool lockMissed_ = false;
    std::atomic<bool> readingAgain_{false};
    std::mutex observerMutex_;
    std::map<ObserverToken, ListObserver> observers_;
    ObserverToken nextToken_ = 1;
};
