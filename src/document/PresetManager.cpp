#include "document/PresetManager.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <mutex>
#include <random>
#include <set>
#include <system_error>
#include <thread>

#include "color/SettingsKeys.h"
#include "document/FSNodeInfo.h"
#include "document/SettingRanges.h"
#include "engine/MultiDataStore.h"
#include "platform/FileLock.h"
#include "platform/Log.h"
#include "platform/NotificationCenter.h"
#include "platform/Paths.h"
#include "platform/PropertyList.h"
#include "platform/UserWarning.h"

namespace fs = std::filesystem;

namespace {

constexpr const char* kNameKey = "displayName";
constexpr const char* kPresetsChanged = "TARNWisp_PresetsChanged";

// Every list of presets in one order, whatever order the folder gives: by
// name as the browser orders files (numbers by value, letters in any case),
// one name by identifier.
void sortByName(std::vector<platform::Dictionary>& presets) {
    auto nameOf = [](const platform::Dictionary& preset) {
        const platform::Value& name = preset[kNameKey];
        return name.isString() ? name.string() : std::string();
    };
    std::sort(presets.begin(), presets.end(), [&](const auto& a, const auto& b) {
        const std::string x = nameOf(a), y = nameOf(b);
        if (naturalNameLess(x, y)) return true;
        if (naturalNameLess(y, x)) return false;
        return PresetManager::profileUUID(a) < PresetManager::profileUUID(b);
    });
}

bool hasPlistExtension(const fs::path& p) {
    std::string ext = p.extension().string();
    if (ext.size() != 6) return false;
    for (char& c : ext) c = char(std::tolower(static_cast<unsigned char>(c)));
    return ext == ".plist";
}

void zeroedKeys(platform::Dictionary& d) {
    d.set(SettingsKeys::kInputSaturation, 1.0f);
    d.set(SettingsKeys::kInputRadius, 0.8f);
    d.set(SettingsKeys::kInputIntensity, 0.0f);
    for (const char* key :
         {SettingsKeys::kInputEV, SettingsKeys::kInputContrast, SettingsKeys::kInputBrightness,
          SettingsKeys::kInputFillLight, SettingsKeys::kInputHighLight})
        d.set(key, 0.0f);
    d.set(SettingsKeys::kInputKneeHigh, 3.5f);
    d.set(SettingsKeys::kInputKneeLow, 0.0f);
    d.set(SettingsKeys::kInputAngle, 0.0f);
    for (const char* key : {SettingsKeys::kSceneReferred, SettingsKeys::kMaintainWhites,
                            SettingsKeys::kMonochromeSensor, SettingsKeys::kIRUVSensor})
        d.set(key, false);
    d.set(SettingsKeys::kArtifactSuppression, 1.0f);
    d.set(SettingsKeys::kChromaArtifactSuppression, 1.0f);
    d.set(SettingsKeys::kEttrAdjust, 0.0f);
    d.set(SettingsKeys::kToneCurveAdjust, 1.0f);
    d.set(SettingsKeys::kArtifactFilter, 0.0f);
    for (const char* key : {SettingsKeys::kMonochromeRed, SettingsKeys::kMonochromeYellow,
                            SettingsKeys::kMonochromeGreen, SettingsKeys::kMonochromeCyan,
                            SettingsKeys::kMonochromeBlue})
        d.set(key, 1.0f);
}

// How the person knows a preset: by its name; by its file only when it has none.
std::string presetCalled(const std::optional<std::string>& name, const fs::path& file) {
    return name ? "the preset \"" + *name + "\"" : "the preset file \"" + file.string() + "\"";
}

std::string capitalized(std::string text) {
    if (!text.empty()) text[0] = char(std::toupper(static_cast<unsigned char>(text[0])));
    return text;
}

// One line per damaged file (as long as it stays the same file), not one per
// listing: menus list the presets often.
void reportUnreadable(
    const fs::path& file, const std::optional<std::string>& name, const std::string& reason,
    const std::string& outcome = "it is left out, and the file is left as it is") {
    static std::mutex mutex;
    static auto* reported = new std::set<std::string>;
    std::error_code ec;
    const auto time = fs::last_write_time(file, ec).time_since_epoch().count();
    const auto size = fs::file_size(file, ec);
    const std::string key =
        file.string() + "\n" + std::to_string(time) + "\n" + std::to_string(size);
    {
        std::lock_guard lock(mutex);
        if (!reported->insert(key).second) return;
    }
    platform::warnUser(capitalized(presetCalled(name, file)) + " cannot be read (" + reason +
                       "); " + outcome + ".");
}

// The factory presets in the order they are written, by name; each builds
// on the keys of the one before.
std::vector<std::pair<std::string, platform::Dictionary>> factoryPresets() {
    std::vector<std::pair<std::string, platform::Dictionary>> presets;
    platform::Dictionary preset;
    auto add = [&](const char* name) {
        preset.set(kNameKey, name);
        presets.emplace_back(name, preset);
    };
    preset.set(SettingsKeys::kInputSaturation, 0.0f);
    add("Monochrome");
    zeroedKeys(preset);
    add("Zero'd");
    preset.set(SettingsKeys::kInputIntensity, 1.0f);
    preset.set(SettingsKeys::kSceneReferred, true);
    preset.set(SettingsKeys::kMaintainWhites, true);
    preset.set(SettingsKeys::kExportFileType, 0);
    preset.set(SettingsKeys::kJPEGQuality, 10.0f);
    add("Default");
    preset.set(SettingsKeys::kExportFileType, 1);
    add("Default TIFF export");
    return presets;
}

// The name a damaged preset file still shows, when its name entry survived
// near its start (only so much is read: the file may be anything).
std::optional<std::string> nameInDamagedFile(const fs::path& file) {
    constexpr size_t kLooked = 64 << 10;
    std::ifstream in(file, std::ios::binary);
    std::string bytes(kLooked, '\0');
    in.read(bytes.data(), std::streamsize(bytes.size()));
    bytes.resize(size_t(std::max<std::streamsize>(in.gcount(), 0)));
    const std::string key = "<key>displayName</key>", open = "<string>";
    size_t at = bytes.find(key);
    if (at == std::string::npos) return std::nullopt;
    at = bytes.find_first_not_of(" \t\r\n", at + key.size());
    if (at == std::string::npos || bytes.compare(at, open.size(), open) != 0) return std::nullopt;
    at += open.size();
    const size_t end = bytes.find('<', at);
    if (end == std::string::npos || end == at || end - at > 200) return std::nullopt;
    return bytes.substr(at, end - at);
}

// Which identifier each factory preset got when the folder was filled, one
// "<identifier>\t<name>" a line: a damaged file cut short before its name
// is still known for the preset it was.
constexpr const char* kFactoryRecord = ".factory-presets";

std::optional<std::string> factoryNameOf(const fs::path& folder, const std::string& id) {
    std::ifstream in(folder / kFactoryRecord);
    for (std::string line; std::getline(in, line);)
        if (line.size() > id.size() && line.starts_with(id) && line[id.size()] == '\t')
            return line.substr(id.size() + 1);
    return std::nullopt;
}

// The name a damaged file still shows, else the factory preset it was.
std::optional<std::string> nameOfDamaged(const fs::path& file, const std::string& id) {
    std::error_code ec;
    if (fs::file_size(file, ec) <= platform::kMaxPropertyListFileSize)
        if (auto name = nameInDamagedFile(file)) return name;
    return factoryNameOf(file.parent_path(), id);
}

// Keeps a damaged file's bytes as "<file>.damaged" (or "-<n>") by a second
// name, so the file itself can then be replaced in one step; nullopt where
// the file system has no such names.
std::optional<fs::path> keepLinkedCopy(const fs::path& file) {
    for (int n = 0; n < 1000; ++n) {
        fs::path aside = file;
        aside += n == 0 ? ".damaged" : ".damaged-" + std::to_string(n);
        if (::link(file.c_str(), aside.c_str()) == 0) return aside;
        if (errno != EEXIST) return std::nullopt;
    }
    return std::nullopt;
}

// Kept damaged copies that have brought back what they were (or had nothing
// to bring back), one a line by name, inode, size and time: each does so
// once.
constexpr const char* kUsedCopies = ".damaged-copies-used";

std::string copyKey(const fs::path& copy) {
    struct stat st {};
    if (::lstat(copy.c_str(), &st) != 0) return copy.filename().string();
    return copy.filename().string() + "\t" + std::to_string(st.st_ino) + "\t" +
           std::to_string(st.st_size) + "\t" + std::to_string(st.st_mtim.tv_sec) + "." +
           std::to_string(st.st_mtim.tv_nsec);
}

std::set<std::string> usedCopies(const fs::path& folder) {
    std::set<std::string> used;
    std::ifstream in(folder / kUsedCopies);
    for (std::string line; std::getline(in, line);) used.insert(line);
    return used;
}

void noteUsedCopy(const fs::path& folder, const fs::path& copy) {
    std::ofstream(folder / kUsedCopies, std::ios::app) << copyKey(copy) << '\n';
}

// The identifier of the preset a kept copy "<identifier>.plist.damaged[-n]"
// was, when the name has that form.
std::optional<std::string> presetOfCopy(const fs::path& copy) {
    const std::string name = copy.filename().string();
    const size_t mark = name.find(".plist.damaged");
    if (mark == std::string::npos) return std::nullopt;
    const std::string rest = name.substr(mark + 14);
    if (!rest.empty() && (rest[0] != '-' || rest.size() < 2 ||
                          rest.find_first_not_of("0123456789", 1) != std::string::npos))
        return std::nullopt;
    return name.substr(0, mark);
}

// Set on threads that never wait for the presets.
thread_local bool answersAtOnce = false;

// The folder's lock: changes hold it exclusively, listings shared, so no
// run lists a folder another is filling or mending.
fs::path lockFileFor(const fs::path& folder) {
    return folder.parent_path() / ("." + folder.filename().string() + ".lock");
}

}  // namespace

PresetManager& PresetManager::sharedPresetManager() {
    static PresetManager* manager = new PresetManager;
    return *manager;
}

std::string PresetManager::uuidString() {
    static std::mutex mutex;
    static std::random_device* device = new std::random_device;
    uint8_t b[16];
    {
        std::lock_guard lock(mutex);
        for (int i = 0; i < 16; i += 4) {
            uint32_t r = (*device)();
            for (int k = 0; k < 4; ++k) b[i + k] = uint8_t(r >> (8 * k));
        }
    }
    b[6] = uint8_t((b[6] & 0x0F) | 0x40);  // version 4
    b[8] = uint8_t((b[8] & 0x3F) | 0x80);  // variant 1
    char text[37];
    std::snprintf(text, sizeof text,
                  "%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X", b[0],
                  b[1], b[2], b[3], b[4], b[5], b[6], b[7], b[8], b[9], b[10], b[11], b[12], b[13],
                  b[14], b[15]);
    return text;
}

bool PresetManager::isUUIDString(const std::string& text) {
    if (text.size() != 36) return false;
    for (size_t i = 0; i < text.size(); ++i) {
        bool dash = i == 8 || i == 13 || i == 18 || i == 23;
        if (dash ? text[i] != '-' : !std::isxdigit(static_cast<unsigned char>(text[i])))
            return false;
    }
    return true;
}

std::string PresetManager::profileUUID(const platform::Dictionary& preset) {
    return preset[SettingsKeys::kPresetUUID].stringValue();
}

std::optional<fs::path> PresetManager::presetDirectory() {
    std::lock_guard lock(mutex_);
    return presetDirectoryLocked();
}

// Holds the folder's lock for one operation; operations nested in it use the
// outer one.
class PresetManager::FolderLock {
public:
    FolderLock(PresetManager& manager, const fs::path& folder, platform::FileLock::Mode mode,
               platform::FileLock::Wait wait = platform::FileLock::Wait::ForMode)
        : manager_(manager) {
        if (manager_.folderLock_) {
            if (mode == platform::FileLock::Mode::Exclusive) {
                manager_.folderLock_->makeExclusive();
                if (manager_.atOnce_ && manager_.folderLock_->timedOut())
                    manager_.lockMissed_ = true;
            }
            return;
        }
        owner_ = true;
        if (manager_.atOnce_) wait = platform::FileLock::Wait::Never;
        manager_.folderLock_ = std::make_unique<platform::FileLock>(
            lockFileFor(folder), mode, "the presets folder \"" + folder.string() + "\"", wait);
        if (manager_.atOnce_ && manager_.folderLock_->timedOut()) manager_.lockMissed_ = true;
    }
    // Another program kept the lock past the wait: read, but change nothing.
    bool keptByAnother() const { return manager_.folderLock_ && manager_.folderLock_->timedOut(); }
    ~FolderLock() {
        if (owner_) manager_.folderLock_.reset();
    }
    FolderLock(const FolderLock&) = delete;
    FolderLock& operator=(const FolderLock&) = delete;

private:
    PresetManager& manager_;
    bool owner_ = false;
};

std::optional<fs::path> PresetManager::presetDirectoryLocked() {
    if (directory_) return directory_;
    fs::path support = platform::applicationSupportDirectory(true);
    const fs::path folder = support / "presets";
    std::error_code ec;
    if (support.empty() || !fs::is_directory(support, ec)) {
        platform::log("Could not access Library directory\n%s", support.c_str());
        // Told as a full disk is: the factory values serve meanwhile.
        std::error_code made;
        if (!support.empty()) fs::create_directories(support, made);
        factoryPresetsUnwritten(folder, made ? made.message() : "it is not a folder");
        return std::nullopt;
    }
    if (fs::exists(folder, ec)) return directory_ = folder;
    // Made once, whatever the number of runs starting at once: the first to
    // hold the lock fills a new folder and puts it in place whole. A run
    // behind another holder uses the factory values, as a read would.
    FolderLock lock(*this, folder, platform::FileLock::Mode::Exclusive,
                    platform::FileLock::Wait::AsARead);
    if (fs::exists(folder, ec)) return directory_ = folder;
    // Another run may be filling it: the factory values serve meanwhile.
    if (lock.keptByAnother()) return std::nullopt;
    for (const fs::path& entry : platform::folderEntries(support, ec))
        if (entry.filename().string().starts_with(".presets-"))
            fs::remove_all(entry, ec);  // left by a run that ended while filling one
    std::string made = (support / ".presets-XXXXXX").string();
    if (!::mkdtemp(made.data())) {
        factoryPresetsUnwritten(folder, std::strerror(errno));
        return std::nullopt;
    }
    ::chmod(made.c_str(), 0755);
    // Only a whole folder goes in place: one left empty by a full disk would
    // read as a user's choice to have no presets, for good.
    if (std::string reason = writeFactoryPresetsLocked(made); !reason.empty()) {
        fs::remove_all(made, ec);
        factoryPresetsUnwritten(folder, reason);
        return std::nullopt;
    }
    fs::rename(made, folder, ec);
    if (ec) {
        const std::string reason = ec.message();
        fs::remove_all(made, ec);
        if (!fs::is_directory(folder, ec)) {
            factoryPresetsUnwritten(folder, reason);
            return std::nullopt;
        }
    }
    return directory_ = folder;
}

std::string PresetManager::writeFactoryPresetsLocked(const fs::path& folder) {
    auto reasonOf = [](const platform::Error& error) {
        return error.domain == platform::PosixErrorDomain ? std::strerror(int(error.code))
                                                          : error.failureReason;
    };
    std::string record;
    for (auto& [name, preset] : factoryPresets()) {
        platform::Error error;
        if (writePresetLocked(preset, &error, &folder)) {
            record += profileUUID(preset) + "\t" + name + "\n";
            continue;
        }
        platform::log("%s could not write %s: %s", __func__, name.c_str(),
                      error.description().c_str());
        return reasonOf(error);
    }
    platform::Error error;
    if (!platform::writeFileAtomically(folder / kFactoryRecord, record, &error))
        return reasonOf(error);
    return {};
}

void PresetManager::factoryPresetsUnwritten(const fs::path& folder, const std::string& reason) {
    platform::log("Could not create the presets folder %s: %s", folder.c_str(), reason.c_str());
    if (toldUnwritten_) return;
    toldUnwritten_ = true;
    platform::warnUser("The factory presets cannot be written in \"" + folder.string() + "\" (" +
                       reason +
                       "); their factory values are used, and they are written once the folder "
                       "can be.");
}

void PresetManager::iteratePresets() {
    std::lock_guard lock(mutex_);
    iteratePresetsLocked();
}

void PresetManager::iteratePresetsLocked() {
    presetList_.clear();
    damagedClaims_.clear();
    auto folder = presetDirectoryLocked();
    if (!folder) {
        for (auto& [name, preset] : factoryPresets()) presetList_.push_back(std::move(preset));
        sortByName(presetList_);
        return;
    }
    std::vector<DamagedPreset> damaged;
    bool kept = false;
    {
        FolderLock lock(*this, *folder, platform::FileLock::Mode::Shared);
        kept = lock.keptByAnother();
        // A thread that never waits answers from the list last read instead.
        if (kept && atOnce_) return;
        readFolderLocked(*folder, damaged);
    }
    // Kept copies are looked at once per process.
    const bool lookAtCopies = checkKeptCopies_ && hasUnusedCopy(*folder);
    checkKeptCopies_ = false;
    if (damaged.empty() && !lookAtCopies) return;
    // Mended once: another run may have done it meanwhile. A lock kept
    // through the listing is not waited for a second time in it. The run
    // may not need what it mends, and a later listing mends it again: the
    // repair waits as a read does, not for a holder's whole work.
    std::optional<FolderLock> lock;
    if (!kept)
        lock.emplace(*this, *folder, platform::FileLock::Mode::Exclusive,
                     platform::FileLock::Wait::AsARead);
    if (kept || lock->keptByAnother()) {
        // Nothing is set aside or rebuilt without the lock.
        standInForDamagedLocked(damaged);
        checkKeptCopies_ = lookAtCopies;
        return;
    }
    damaged.clear();
    readFolderLocked(*folder, damaged);
    if (!damaged.empty()) mendDamagedLocked(damaged);
    if (lookAtCopies) restoreFromCopiesLocked(*folder);
    damaged.clear();
    readFolderLocked(*folder, damaged);
    standInForDamagedLocked(damaged);
}

std::vector<std::optional<std::pair<std::string, platform::Dictionary>>>
PresetManager::factoryPresetsOf(const std::vector<DamagedPreset>& damaged) const {
    std::vector<std::pair<std::string, platform::Dictionary>> missing;
    for (auto& [name, preset] : factoryPresets()) {
        bool present = false;
        for (const auto& p : presetList_)
            present = present || (p[kNameKey].isString() && p[kNameKey].string() == name);
        if (!present) missing.emplace_back(name, preset);
    }
    std::vector<const DamagedPreset*> unnamed;
    for (const auto& d : damaged)
        if (!d.name && isUUIDString(d.file.stem().string())) unnamed.push_back(&d);
    // A lone file of ours whose name is gone and a lone missing factory
    // preset are taken to be the same preset.
    const bool pairUnnamed = unnamed.size() == 1 && missing.size() == 1;
    std::vector<std::optional<std::pair<std::string, platform::Dictionary>>> factory;
    for (const auto& d : damaged) {
        factory.emplace_back();
        for (auto& m : missing)
            if (d.name == m.first || (pairUnnamed && &d == unnamed.front())) factory.back() = m;
    }
    return factory;
}

void PresetManager::standInForDamagedLocked(const std::vector<DamagedPreset>& damaged) {
    const auto factory = factoryPresetsOf(damaged);
    std::set<std::string> added;
    for (size_t i = 0; i < damaged.size(); ++i) {
        const DamagedPreset& d = damaged[i];
        if (!factory[i]) {
            reportUnreadable(d.file, d.name, d.reason);
            if (d.name)
                damagedClaims_[*d.name] =
                    " is damaged (" + d.reason + "); its file is \"" + d.file.string() + "\".";
            continue;
        }
        // What the run asks for by name still serves; the file is mended
        // by a listing that can take the lock.
        auto [name, preset] = *factory[i];
        if (!added.insert(name).second) continue;
        if (isUUIDString(d.file.stem().string()))
            preset.set(SettingsKeys::kPresetUUID, d.file.stem().string());
        presetList_.push_back(std::move(preset));
        reportUnreadable(d.file, name, d.reason,
                         "its factory values are used meanwhile, and the file is mended at a "
                         "later run");
    }
    sortByName(presetList_);
}

std::optional<std::string> PresetManager::damagedPresetNamedLocked(const std::string& name) {
    if (const auto claim = damagedClaims_.find(name); claim != damagedClaims_.end())
        return "The preset \"" + name + "\"" + claim->second;
    // Set aside by an earlier run: the kept copy still claims the name.
    const auto folder = presetDirectoryLocked();
    if (!folder) return std::nullopt;
    std::error_code ec;
    for (const fs::path& entry : platform::folderEntries(*folder, ec))
        if (const auto id = presetOfCopy(entry); id && nameOfDamaged(entry, *id) == name)
            return "The preset \"" + name + "\" was found damaged and is set aside as \"" +
                   entry.string() + "\".";
    return std::nullopt;
}

std::vector<fs::path> PresetManager::damagedCopiesWithoutName() {
    const std::optional<fs::path> folder = presetDirectory();
    std::vector<fs::path> copies;
    std::error_code ec;
    if (!folder) return copies;
    for (const fs::path& entry : platform::folderEntries(*folder, ec))
        if (const auto id = presetOfCopy(entry); id && !nameOfDamaged(entry, *id))
            copies.push_back(entry);
    std::sort(copies.begin(), copies.end());
    return copies;
}

bool PresetManager::couldHavePresetNamed(const std::string& name) {
    // A name written with XML escapes is not looked for in the raw text.
    if (name.find_first_of("&<>\"'") != std::string::npos) return true;
    for (const auto& [factoryName, preset] : factoryPresets())
        if (factoryName == name) return true;
    const std::optional<fs::path> folder = presetDirectory();
    if (!folder) return true;
    std::error_code ec;
    for (const fs::path& entry : platform::folderEntries(*folder, ec)) {
        // A kept damaged copy of that name is said to be one.
        if (const auto id = presetOfCopy(entry)) {
            if (nameOfDamaged(entry, *id) == name) return true;
            continue;
        }
        const std::string file = entry.filename().string();
        if (file.starts_with('.') || entry.extension() != ".plist") continue;
        const auto named = nameInDamagedFile(entry);
        if (!named || *named == name) return true;
    }
    return bool(ec);
}

bool PresetManager::hasUnusedCopy(const fs::path& folder) {
    const std::set<std::string> used = usedCopies(folder);
    std::error_code ec;
    for (const fs::path& entry : platform::folderEntries(folder, ec))
        if (presetOfCopy(entry) && !used.contains(copyKey(entry))) return true;
    return false;
}

void PresetManager::restoreFromCopiesLocked(const fs::path& folder) {
    const std::set<std::string> used = usedCopies(folder);
    auto factory = factoryPresets();
    std::error_code ec;
    for (const fs::path& entry : platform::folderEntries(folder, ec)) {
        const auto id = presetOfCopy(entry);
        if (!id || used.contains(copyKey(entry))) continue;
        noteUsedCopy(folder, entry);
        // An earlier run kept the copy and ended before it rebuilt the
        // preset: the copy brings back what it was, and only that.
        std::error_code existsError;
        if (!isUUIDString(*id) || fs::exists(folder / (*id + ".plist"), existsError)) continue;
        const auto name = nameOfDamaged(entry, *id);
        for (auto& [factoryName, preset] : factory) {
            if (name != factoryName) continue;
            bool present = false;
            for (const auto& p : presetList_)
                present = present || (p[kNameKey].isString() && p[kNameKey].string() == *name);
            if (present) break;
            preset.set(SettingsKeys::kPresetUUID, *id);
            platform::Error error;
            const bool rebuilt = writePresetLocked(preset, &error);
            platform::warnUser("The preset \"" + *name +
                               "\" was missing (a damaged copy is kept as \"" + entry.string() +
                               "\")" +
                               (rebuilt ? " and the preset is rebuilt from its factory values."
                                        : ", and it could not be rebuilt: " + error.description()));
            break;
        }
    }
}

void PresetManager::readFolderLocked(const fs::path& folder, std::vector<DamagedPreset>& damaged) {
    presetList_.clear();
    std::error_code ec;
    for (const fs::path& entry : platform::folderEntries(folder, ec)) {
        if (!hasPlistExtension(entry)) continue;
        std::error_code typeError;
        if (!fs::is_regular_file(entry, typeError)) continue;
        platform::Error readError;
        // Refused by its size before it is read. A number that cannot be
        // read is one bad value, mended below like any other.
        auto value =
            platform::readPropertyList(entry, &readError, platform::kMaxPropertyListFileSize, true);
        if (!value || !value->isDictionary()) {
            const std::string reason =
                value ? "the file holds no preset settings" : readError.failureReason;
            damaged.push_back({nameOfDamaged(entry, entry.stem().string()), entry, reason, {}});
            continue;
        }
        // A preset is chosen by its name: one whose name is no text cannot be.
        if (const platform::Value* name = value->dictionary().find(kNameKey);
            !name || !name->isString()) {
            damaged.push_back({nameOfDamaged(entry, entry.stem().string()),
                               entry,
                               name ? "its name is not text" : "it has no name",
                               {}});
            continue;
        }
        presetList_.push_back(
            MultiDataStore::sharedMultiDataStore().deserializeFromPList(value->dictionary()));
        const platform::Value& name = presetList_.back()[kNameKey];
        SettingRanges::checkSettings(
            presetList_.back(),
            presetCalled(name.isString() && !name.string().empty() ? std::optional(name.string())
                                                                   : std::nullopt,
                         entry));
    }
    sortByName(presetList_);
}

void PresetManager::mendDamagedLocked(std::vector<DamagedPreset>& damaged) {
    auto factoryOf = factoryPresetsOf(damaged);
    for (size_t i = 0; i < damaged.size(); ++i) {
        const DamagedPreset& d = damaged[i];
        // A damaged file brings back what it was, and only that: a factory
        // preset the user deleted stays deleted.
        platform::Dictionary* factory = factoryOf[i] ? &factoryOf[i]->second : nullptr;
        const std::string name = factoryOf[i] ? factoryOf[i]->first : std::string();
        const bool ours = isUUIDString(d.file.stem().string());
        std::optional<fs::path> kept;
        if (factory && ours) kept = keepLinkedCopy(d.file);
        if (!kept) kept = platform::setAsideDamagedFile(d.file);
        if (!kept) continue;  // still in place: told as the list is made
        noteUsedCopy(d.file.parent_path(), *kept);
        if (!factory) {
            platform::warnUser(capitalized(presetCalled(d.name, d.file)) + " was damaged (" +
                               d.reason + "); it is kept as \"" + kept->string() +
                               "\" and the preset is left out.");
            if (d.name)
                damagedClaims_[*d.name] = " was damaged (" + d.reason + "); it is set aside as \"" +
                                          kept->string() + "\".";
            continue;
        }
        // The same identifier, so that whatever names it finds it again; the
        // damaged file is replaced in one step.
        if (ours) factory->set(SettingsKeys::kPresetUUID, d.file.stem().string());
        platform::Error error;
        const bool rebuilt = writePresetLocked(*factory, &error);
        if (!rebuilt && fs::exists(d.file)) {
            std::error_code ec;
            fs::remove(*kept, ec);  // the damaged file is still where it was
            kept = d.file;
        }
        platform::warnUser("The preset \"" + name + "\" was damaged (" + d.reason +
                           "); it is kept as \"" + kept->string() + "\"" +
                           (rebuilt ? " and the preset is rebuilt from its factory values."
                                    : ", and it could not be rebuilt: " + error.description()));
    }
}

std::vector<platform::Dictionary> PresetManager::currentList() {
    if (answersAtOnce) return listAtOnce();
    std::unique_lock lock(mutex_, std::try_to_lock);
    if (!lock.owns_lock()) {
        // Another thread's operation may wait for another program's lock:
        // what was last read serves meanwhile.
        {
            std::lock_guard listed(listedMutex_);
            if (lastListed_) return *lastListed_;
        }
        lock.lock();
    }
    iteratePresetsLocked();
    std::lock_guard listed(listedMutex_);
    lastListed_ = presetList_;
    return presetList_;
}

std::vector<platform::Dictionary> PresetManager::listAtOnce() {
    {
        std::unique_lock lock(mutex_, std::try_to_lock);
        if (lock.owns_lock()) {
            atOnce_ = true;
            lockMissed_ = false;
            iteratePresetsLocked();
            atOnce_ = false;
            if (!lockMissed_) {
                std::lock_guard listed(listedMutex_);
                lastListed_ = presetList_;
                return presetList_;
            }
        }
    }
    readAgainElsewhere();
    {
        std::lock_guard listed(listedMutex_);
        if (lastListed_) return *lastListed_;
    }
    std::vector<platform::Dictionary> factory;
    for (auto& [name, preset] : factoryPresets()) factory.push_back(std::move(preset));
    sortByName(factory);
    return factory;
}

void PresetManager::readAgainElsewhere() {
    if (readingAgain_.exchange(true)) return;
    const auto read = [this] {
        std::optional<std::vector<platform::Dictionary>> before;
        {
            std::lock_guard listed(listedMutex_);
            before = lastListed_;
        }
        const std::vector<platform::Dictionary> now = currentList();
        // Those told read the list just read.
        if (before != now) notifyPresetsChanged();
        readingAgain_ = false;
    };
    try {
        std::thread(read).detach();
    } catch (const std::system_error&) {
        readingAgain_ = false;  // no thread to spare: read again at the next use
    }
}

void PresetManager::neverWaitOnThisThread() { answersAtOnce = true; }

std::vector<platform::Dictionary> PresetManager::presetList(bool forMenu) {
    std::vector<platform::Dictionary> list;
    if (forMenu) list.push_back(platform::Dictionary{{kNameKey, "Select preset...."}});
    std::vector<platform::Dictionary> presets = currentList();
    list.insert(list.end(), std::make_move_iterator(presets.begin()),
                std::make_move_iterator(presets.end()));
    return list;
}

std::optional<platform::Dictionary> PresetManager::presetNamed(const std::string& name,
                                                               platform::Error* damaged) {
    for (auto& preset : currentList())
        if (preset[kNameKey].isString() && preset[kNameKey].string() == name)
            return std::move(preset);
    if (damaged) {
        // Only the command line asks which damaged file claims a name; it has
        // no other thread whose operation this could wait behind.
        std::lock_guard lock(mutex_);
        if (auto why = damagedPresetNamedLocked(name))
            platform::setError(damaged, platform::PosixErrorDomain, EILSEQ, *why);
    }
    return std::nullopt;
}

bool PresetManager::writePresetLocked(platform::Dictionary& preset, platform::Error* error,
                                      const fs::path* into) {
    auto folder = into ? std::optional<fs::path>(*into) : presetDirectoryLocked();
    if (!folder)
        return platform::setError(error, platform::PosixErrorDomain, ENOENT,
                                  "The presets folder cannot be made.");
    std::string id = profileUUID(preset);
    if (!isUUIDString(id)) {
        if (preset.contains(SettingsKeys::kPresetUUID))
            platform::log("%s replacing the identifier \"%s\", which is not a UUID", __func__,
                          id.c_str());
        id = uuidString();
        preset.set(SettingsKeys::kPresetUUID, id);
    }
    platform::Dictionary plist = MultiDataStore::sharedMultiDataStore().serializeToPList(preset);
    return platform::writePropertyList(platform::Value(std::move(plist)), *folder / (id + ".plist"),
                                       error);
}

bool PresetManager::addPreset(platform::Dictionary& preset, platform::Error* error) {
    tellObservers(false);
    bool ok;
    {
        std::lock_guard lock(mutex_);
        auto folder = presetDirectoryLocked();
        std::optional<FolderLock> held;
        if (folder) held.emplace(*this, *folder, platform::FileLock::Mode::Exclusive);
        if (held && held->keptByAnother()) {
            ok = notSaved(error, *folder);
        } else {
            iteratePresetsLocked();
            const platform::Value& name = preset[kNameKey];
            for (const auto& existing : presetList_) {
                std::string id = profileUUID(existing);
                if (name.isString() && existing[kNameKey] == name && isUUIDString(id)) {
                    preset.set(SettingsKeys::kPresetUUID, id);
                    break;
                }
            }
            ok = writePresetLocked(preset, error);
        }
    }
    tellObservers(true);
    notifyPresetsChanged();
    return ok;
}

bool PresetManager::removePreset(const platform::Dictionary* preset, platform::Error* error) {
    if (!preset) return true;
    tellObservers(false);
    bool ok = true;
    {
        std::lock_guard lock(mutex_);
        std::string id = profileUUID(*preset);
        auto folder = presetDirectoryLocked();
        if (!isUUIDString(id)) {
            ok = platform::setError(error, platform::PosixErrorDomain, EINVAL,
                                    "Not a preset identifier: \"" + id + "\"");
        } else if (!folder) {
            ok = platform::setError(error, platform::PosixErrorDomain, ENOENT,
                                    "The presets folder cannot be made.");
        } else {
            FolderLock held(*this, *folder, platform::FileLock::Mode::Exclusive);
            std::error_code ec;
            fs::path file = *folder / (id + ".plist");
            if (held.keptByAnother())
                ok = notSaved(error, *folder);
            else if (!fs::remove(file, ec))
                ok = platform::setPosixError(error, ec ? ec.value() : ENOENT,
                                             "Could not remove " + file.string());
        }
    }
    tellObservers(true);
    notifyPresetsChanged();
    return ok;
}

bool PresetManager::deleteAllPresets(platform::Error* error) {
    tellObservers(false);
    bool ok = true;
    {
        std::lock_guard lock(mutex_);
        fs::path folder =
            directory_ ? *directory_ : platform::applicationSupportDirectory(false) / "presets";
        FolderLock held(*this, folder, platform::FileLock::Mode::Exclusive);
        std::error_code ec;
        if (held.keptByAnother())
            ok = notSaved(error, folder);
        else
            fs::remove_all(folder, ec);
        if (ec)
            ok = platform::setPosixError(error, ec.value(), "Could not remove " + folder.string());
        // The folder stays this process's answer, so it is not filled again.
        directory_ = folder;
        presetList_.clear();
        std::lock_guard listed(listedMutex_);
        lastListed_.reset();
    }
    tellObservers(true);
    notifyPresetsChanged();
    return ok;
}

bool PresetManager::notSaved(platform::Error* error, const fs::path& folder) {
    return platform::setError(
        error, platform::PosixErrorDomain, EWOULDBLOCK,
        "The change is not saved: another program kept the lock of the presets folder \"" +
            folder.string() + "\" for " + platform::FileLock::waitLimitText() + ".");
}

void PresetManager::notifyPresetsChanged() {
    platform::NotificationCenter::defaultCenter().post(
        kPresetsChanged, std::shared_ptr<void>(static_cast<void*>(this), [](void*) {}));
}

PresetManager::ObserverToken PresetManager::addListObserver(ListObserver observer) {
    std::lock_guard lock(observerMutex_);
    ObserverToken token = nextToken_++;
    observers_[token] = std::move(observer);
    return token;
}

void PresetManager::removeListObserver(ObserverToken token) {
    std::lock_guard lock(observerMutex_);
    observers_.erase(token);
}

void PresetManager::tellObservers(bool didChange) {
    std::vector<ListObserver> observers;
    {
        std::lock_guard lock(observerMutex_);
        for (const auto& [token, observer] : observers_) observers.push_back(observer);
    }
    for (const auto& observer : observers) observer(didChange);
}

void PresetManager::forgetPresetDirectory() {
    std::lock_guard lock(mutex_);
    directory_.reset();
    presetList_.clear();
    {
        std::lock_guard listed(listedMutex_);
        lastListed_.reset();
    }
    checkKeptCopies_ = true;
    toldUnwritten_ = false;
}
