#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>

#include "document/ApplicationDefaults.h"
#include "document/PendingEdits.h"
#include "document/PresetManager.h"
#include "engine/DataStoreItem.h"
#include "engine/MultiDataStore.h"
#include "platform/Log.h"
#include "platform/Paths.h"
#include "support/TestSupport.h"

namespace fs = std::filesystem;

namespace {

TEST(ApplicationDefaultsTest, RegisteredDefaults) {
    testsupport::ScopedHome home;
    platform::UserDefaults defaults(home.path() / "d.plist");
    ApplicationDefaults::registerDefaults(defaults);
    EXPECT_EQ(ApplicationDefaults::registeredDefaults().size(), 15u);
    for (const char* yes : {"ShowSplashScreen", "ShowPopoverHelp", "AutomaticColorProfile",
                            "UseAdvancedInterpolation", "ShowExternalProfiles", "enableNewPV",
                            "EnableHighQualityDisplay", "enableCinematic"})
        EXPECT_TRUE(defaults.boolForKey(yes)) << yes;
    for (const char* no : {"ShowOnlyPCDFiles", "DisableFrameBuffer", "DisableImageCache",
                           "DisableFastScreenUpdates", "SilentlyOverwrite"})
        EXPECT_FALSE(defaults.boolForKey(no)) << no;
    EXPECT_EQ(defaults.objectForKey("ShowSplashScreen"), platform::Value("YES"));
    EXPECT_EQ(defaults.objectForKey("ResolutionSelect"), platform::Value(4));
    EXPECT_EQ(defaults.integerForKey("BrowserFileSelect"), 1);
}

TEST(ApplicationDefaultsTest, CrashGuardActsOnceAfterAnUncleanEnd) {
    testsupport::ScopedHome home;
    platform::UserDefaults defaults(home.path() / "d.plist");
    ApplicationDefaults::registerDefaults(defaults);

    ApplicationDefaults::applicationDidFinishLaunching(defaults);  // first launch
    EXPECT_TRUE(defaults.boolForKey("QuorvexIsRunning"));
    EXPECT_FALSE(defaults.boolForKey("DisableFrameBuffer"));
    ApplicationDefaults::applicationWillTerminate(defaults);
    ApplicationDefaults::applicationDidFinishLaunching(defaults);  // after a clean end
    EXPECT_FALSE(defaults.boolForKey("DisableImageCache"));

    // The run "crashes": the next launch turns both off, on disk too.
    ApplicationDefaults::applicationDidFinishLaunching(defaults);
    EXPECT_TRUE(defaults.boolForKey("DisableFrameBuffer"));
    EXPECT_TRUE(defaults.boolForKey("DisableImageCache"));
    platform::UserDefaults reread(home.path() / "d.plist");
    EXPECT_TRUE(reread.boolForKey("DisableImageCache"));
    EXPECT_TRUE(reread.boolForKey("QuorvexIsRunning"));

    // The user turns the cache back on; a second unclean end changes nothing more.
    defaults.setBool(false, "DisableImageCache");
    EXPECT_FALSE(ApplicationDefaults::applyCrashGuard(defaults));
    EXPECT_FALSE(defaults.boolForKey("DisableImageCache"));
}

TEST(ApplicationDefaultsTest, CleanUpSparesFoldersOfRunningInstances) {
    testsupport::ScopedHome home;
    fs::path own = platform::temporaryDirectory();
    ASSERT_FALSE(own.empty());
    std::ofstream(own / "quorvextempfile.abc123") << "x";
    fs::path tmp = own.parent_path();

    pid_t running = fork();
    if (running == 0) {
        pause();
        _exit(0);
    }
    pid_t ended = fork();
    if (ended == 0) _exit(0);
    waitpid(ended, nullptr, 0);
    fs::path held = tmp / ("Quorvex-" + std::to_string(running) + "-aaaaaa");
    fs::path left = tmp / ("Quorvex-" + std::to_string(ended) + "-bbbbbb");
    fs::path other = tmp / "unrelated";
    for (const auto& d : {held, left, other}) {
        fs::create_directories(d);
        std::ofstream(d / "file") << "x";
    }

    ApplicationDefaults::cleanTemporaryFolder();
    kill(running, SIGKILL);
    waitpid(running, nullptr, 0);

    EXPECT_TRUE(fs::exists(own));
    EXPECT_TRUE(fs::is_empty(own));
    EXPECT_TRUE(fs::exists(held / "file"));
    EXPECT_FALSE(fs::exists(left));
    EXPECT_TRUE(fs::exists(other / "file"));
}

TEST(ApplicationDefaultsTest, ResetRemovesCatalogAndPresets) {
    testsupport::ScopedHome home;
    platform::LogCapture quiet;
    auto& presets = PresetManager::sharedPresetManager();
    presets.forgetPresetDirectory();
    DataStoreItem::forgetCatalogDirectory();
    auto catalog = MultiDataStore::sharedMultiDataStore().dataStoreForStore("Catalog");
    ASSERT_TRUE(
        catalog->addItem({{"Quorvex_UUID", "/raw/a.nef"}, {"Quorvex_Filter_inputEV", 1.0}}));
    auto file = catalog->storeFilePath();
    ASSERT_TRUE(file && fs::exists(*file));
    fs::path folder = *presets.presetDirectory();
    ASSERT_EQ(presets.presetList(false).size(), 4u);

    // Kept edits would come back into the emptied catalog.
    ASSERT_TRUE(
        PendingEdits::keep(platform::Dictionary{{"Quorvex_UUID", platform::Value("/raw/a.nef")}},
                           std::nullopt, nullptr));

    std::vector<platform::Error> errors;
    EXPECT_TRUE(ApplicationDefaults::resetQuorvex(&errors));
    EXPECT_TRUE(errors.empty());
    EXPECT_FALSE(PendingEdits::anyKept());
    EXPECT_FALSE(fs::exists(*file));
    EXPECT_FALSE(fs::exists(folder));
    EXPECT_FALSE(catalog->getItemForUUID("/raw/a.nef"));
    EXPECT_FALSE(presets.presetNamed("Default"));
    // Nothing left to delete is no failure.
    EXPECT_TRUE(ApplicationDefaults::resetQuorvex(&errors));
    EXPECT_TRUE(errors.empty());

    presets.forgetPresetDirectory();
    DataStoreItem::forgetCatalogDirectory();
}

}  // namespace
