#include "document/ApplicationDefaults.h"

#include <filesystem>

#include "document/PendingEdits.h"
#include "document/PresetManager.h"
#include "document/SettingRanges.h"
#include "engine/MultiDataStore.h"
#include "platform/Log.h"
#include "platform/Paths.h"

namespace {
constexpr const char* kRunning = "QuorvexIsRunning";
constexpr const char* kDisableFrameBuffer = "DisableFrameBuffer";
constexpr const char* kDisableImageCache = "DisableImageCache";
}  // namespace

platform::Dictionary ApplicationDefaults::registeredDefaults() {
    return {
        {"ShowSplashScreen", "YES"},
        {"ShowPopoverHelp", "YES"},
        {"ShowOnlyPCDFiles", "NO"},
        {"ResolutionSelect", 4},
        {"AutomaticColorProfile", "YES"},
        {"UseAdvancedInterpolation", "YES"},
        {"ShowExternalProfiles", "YES"},
        {kDisableFrameBuffer, "NO"},
        {kDisableImageCache, "NO"},
        {"DisableFastScreenUpdates", "NO"},
        {"BrowserFileSelect", 1},
        {"enableNewPV", "YES"},
        {"EnableHighQualityDisplay", "YES"},
        {"SilentlyOverwrite", "NO"},
        {"enableCinematic", "YES"},
    };
}

void ApplicationDefaults::registerDefaults(platform::UserDefaults& defaults) {
    defaults.registerDefaults(registeredDefaults());
    SettingRanges::checkPreferences(defaults);
}

void ApplicationDefaults::cleanTemporaryFolder() { platform::emptyTemporaryDirectory(); }

bool ApplicationDefaults::applyCrashGuard(platform::UserDefaults& defaults) {
    if (!defaults.boolForKey(kRunning) || defaults.boolForKey(kDisableFrameBuffer)) return false;
    defaults.setBool(true, kDisableFrameBuffer);
    defaults.setBool(true, kDisableImageCache);
    return true;
}

bool ApplicationDefaults::applicationDidFinishLaunching(platform::UserDefaults& defaults) {
    cleanTemporaryFolder();
    const bool guarded = applyCrashGuard(defaults);
    defaults.setBool(true, kRunning);
    return guarded;
}

void ApplicationDefaults::applicationWillTerminate(platform::UserDefaults& defaults) {
    defaults.setBool(false, kRunning);
    platform::removeTemporaryDirectory();
}

bool ApplicationDefaults::resetQuorvex(std::vector<platform::Error>* errors) {
    platform::log("Quorvex reset.");
    bool ok = true;
    platform::Error error;
    if (!PresetManager::sharedPresetManager().deleteAllPresets(&error)) {
        ok = false;
        if (errors) errors->push_back(error);
    }
    auto catalog = MultiDataStore::sharedMultiDataStore().dataStoreForStore("Catalog");
    auto file = catalog->storeFilePath();
    std::error_code ec;
    bool present = !file || std::filesystem::exists(std::filesystem::symlink_status(*file, ec));
    if (present && !catalog->deleteCurrentCatalog(&error)) {
        ok = false;
        if (errors) errors->push_back(error);
    }
    // Kept edits would come back into the catalog just emptied.
    for (const auto& pending : PendingEdits::pendingFiles()) std::filesystem::remove(pending, ec);
    return ok;
}
