// Presets: named, partial settings dictionaries kept as one XML property-list
// file each ("<Quorvex_PresetUUID>.plist") in the "presets" folder of the
// Application Support folder. The folder is made, and filled with the four
// factory presets, on first use in a process. Every change posts
// "TARNWisp_PresetsChanged" with the manager as object.
//
// A preset's identifier must have the form of a UUID before it becomes a file
// name, so a preset read from elsewhere cannot name a path outside the folder.
//
// Ownership: the process-wide manager holds the list last read; callers get
// copies. Thread safety: every method may be called from any thread (the
// batch export looks presets up on its own thread); notifications and
// list observers are called on the calling thread, outside the lock.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/Error.h"
#include "platform/Value.h"

class PresetManager {
public:
    using ObserverToken = uint64_t;
    // Called with false before the list changes and with true after.
    using ListObserver = std::function<void(bool didChange)>;

    static PresetManager& sharedPresetManager();
    PresetManager(const PresetManager&) = delete;
    PresetManager& operator=(const PresetManager&) = delete;

    // The presets folder, made (with the factory presets) on first use;
    // nullopt when it cannot be made.
    std::optional<std::filesystem::path> presetDirectory();
    // A new random UUID in its upper-case string form.
    static std::string uuidString();
    static bool isUUIDString(const std::string& text);
    static std::string profileUUID(const platform::Dictionary& preset);

    // Reads the folder again; unreadable files are set aside. The first
    // reading in a process, and any that finds a damaged file, rebuilds the
    // factory presets that are missing.
    void iteratePresets();
    // The presets in folder order; for a menu, {"displayName": "Select
    // preset...."} comes first.
    std::vector<platform::Dictionary> presetList(bool forMenu);
    std::vector<platform::Dictionary> presetListForMenu() { return presetList(true); }
    // The first preset whose "displayName" is exactly `name`.
    std::optional<platform::Dictionary> presetNamed(const std::string& name);

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
    void writeFactoryPresetsLocked(const std::filesystem::path& folder);
    struct DamagedPreset {
        std::optional<std::string> name;  // when it could still be read
        std::filesystem::path file;
        std::string reason;
        std::filesystem::path keptAs;
    };
    // Lists the folder into presetList_; unreadable files are moved aside
    // (never deleted) and noted in `damaged`.
    void readFolderLocked(const std::filesystem::path& folder, std::vector<DamagedPreset>& damaged);
    // Writes every factory preset the list lacks from its factory values and
    // tells the user once about each, and about each damaged file; true when
    // any was written. `keptEarlier` is a damaged copy an earlier run set aside.
    bool restoreFactoryPresetsLocked(const std::vector<DamagedPreset>& damaged,
                                     const std::optional<std::filesystem::path>& keptEarlier);
    bool writePresetLocked(platform::Dictionary& preset, platform::Error* error);
    void tellObservers(bool didChange);

    std::recursive_mutex mutex_;
    std::optional<std::filesystem::path> directory_;
    std::vector<platform::Dictionary> presetList_;
    // A new process (or a damaged file) restores missing factory presets: a
    // plain export must not change look because the "Default" file is gone.
    bool checkFactoryPresets_ = true;
    std::mutex observerMutex_;
    std::map<ObserverToken, ListObserver> observers_;
    ObserverToken nextToken_ = 1;
};
