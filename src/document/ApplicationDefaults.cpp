#include "document/ApplicationDefaults.h"

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
}

void ApplicationDefaults::cleanTemporaryFolder() { platform::emptyTemporaryDirectory(); }

bool ApplicationDefaults::applyCrashGuard(platform::UserDefaults& defaults) {
    if (!defaults.boolForKey(kRunning) || defaults.boolForKey(kDisableFrameBuffer)) return false;
    defaults.setBool(true, kDisableFrameBuffer);
    defaults.setBool(true, kDisableImageCache);
    return true;
}

void ApplicationDefaults::applicationDidFinishLaunching(platform::UserDefaults& defaults) {
    cleanTemporaryFolder();
    applyCrashGuard(defaults);
    defaults.setBool(true, kRunning);
}

void ApplicationDefaults::applicationWillTerminate(platform::UserDefaults& defaults) {
    defaults.setBool(false, kRunning);
}
