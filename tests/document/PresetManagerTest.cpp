#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <iterator>
#include <set>
#include <thread>

#include "document/PresetManager.h"
#include "engine/MultiDataStore.h"
#include "platform/Log.h"
#include "platform/NotificationCenter.h"
#include "platform/Paths.h"
#include "platform/PropertyList.h"
#include "platform/UserWarning.h"
#include "support/ShortLockWait.h"
#include "support/TestSupport.h"

namespace fs = std::filesystem;

namespace {

// Another run of the program: "first-run GO REPORT" waits for the file GO,
// looks up "Default" and writes to REPORT whether it was found and how many
// warnings the user got. "hold ..." holds a lock (testsupport::holdLock).
int presetHelper(const std::vector<std::string>& arguments) {
    if (arguments[0] == "hold") return testsupport::holdLock(arguments);
    if (arguments.size() != 3 || arguments[0] != "first-run") return 2;
    int warnings = 0;
    platform::setUserWarningHandler([&](const std::string&) { ++warnings; });
    while (!fs::exists(arguments[1])) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    const bool found = PresetManager::sharedPresetManager().presetNamed("Default").has_value();
    std::ofstream(arguments[2]) << found << ' ' << warnings;
    return 0;
}

}  // namespace

QUORVEX_TEST_HELPER(presetHelper)

namespace {

std::string contents(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), {});
}

class Presets : public ::testing::Test {
protected:
    void SetUp() override { manager.forgetPresetDirectory(); }
    void TearDown() override { manager.forgetPresetDirectory(); }

    // The presets' files, without the folder's own hidden records.
    std::vector<fs::path> files() {
        std::vector<fs::path> out;
        for (const auto& e : fs::directory_iterator(*manager.presetDirectory()))
            if (!e.path().filename().string().starts_with(".")) out.push_back(e.path());
        return out;
    }

    testsupport::ScopedHome home;
    PresetManager& manager = PresetManager::sharedPresetManager();
    platform::LogCapture quiet;
};

// What the user is told while it lives.
struct Told {
    std::vector<std::string> lines;
    platform::UserWarningHandler previous =
        platform::setUserWarningHandler([this](const std::string& text) { lines.push_back(text); });
    ~Told() { platform::setUserWarningHandler(previous); }
};

double secondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

TEST_F(Presets, FirstUseWritesTheFourFactoryPresets) {
    auto folder = manager.presetDirectory();
    ASSERT_TRUE(folder);
    EXPECT_EQ(*folder, home.path() / "data" / "Quorvex" / "presets");
    ASSERT_EQ(files().size(), 4u);
    std::set<std::string> names, ids;
    for (const auto& preset : manager.presetList(false)) {
        names.insert(preset["displayName"].stringValue());
        std::string id = PresetManager::profileUUID(preset);
        EXPECT_TRUE(PresetManager::isUUIDString(id)) << id;
        EXPECT_TRUE(fs::exists(*folder / (id + ".plist")));
        ids.insert(id);
    }
    EXPECT_EQ(names,
              (std::set<std::string>{"Monochrome", "Zero'd", "Default", "Default TIFF export"}));
    EXPECT_EQ(ids.size(), 4u);

    auto mono = *manager.presetNamed("Monochrome");
    EXPECT_EQ(mono.size(), 3u);  // saturation, name, identifier
    EXPECT_EQ(mono["Quorvex_Filter_inputSaturation"].realValue(), 0.0);
    auto zeroed = *manager.presetNamed("Zero'd");
    EXPECT_EQ(zeroed["Quorvex_Filter_inputIntensity"].realValue(), 0.0);
    EXPECT_EQ(zeroed["Quorvex_MaintainWhites"], platform::Value(false));
    EXPECT_FALSE(zeroed.contains("Quorvex_ExportFileType"));
    auto def = *manager.presetNamed("Default");
    EXPECT_EQ(def["Quorvex_Filter_inputIntensity"].realValue(), 1.0);
    EXPECT_EQ(def["Quorvex_SceneReferred"], platform::Value(true));
    EXPECT_EQ(def["Quorvex_ExportFileType"], platform::Value(0));
    EXPECT_EQ(def["Quorvex_JPEGQuality"].realValue(), 10.0);
    EXPECT_FLOAT_EQ(def["Quorvex_Filter_inputRadius"].floatValue(), 0.8f);
    EXPECT_EQ(def["Quorvex_Filter_monochromeCyan"].realValue(), 1.0);
    EXPECT_EQ(def.size(), zeroed.size() + 2);
    auto tiff = *manager.presetNamed("Default TIFF export");
    EXPECT_EQ(tiff["Quorvex_ExportFileType"], platform::Value(1));
    EXPECT_FALSE(manager.presetNamed("default"));

    // A later process finds the folder and does not add the factory set again.
    manager.forgetPresetDirectory();
    EXPECT_EQ(manager.presetList(false).size(), 4u);
}

TEST_F(Presets, SavingUnderAnExistingNameReplacesThatFile) {
    std::string oldId = PresetManager::profileUUID(*manager.presetNamed("Default"));
    int changes = 0;
    auto token = platform::NotificationCenter::defaultCenter().addObserver(
        "TARNWisp_PresetsChanged", [&](const platform::Notification&) { ++changes; });
    std::vector<bool> notices;
    auto listToken = manager.addListObserver([&](bool did) { notices.push_back(did); });

    platform::Dictionary mine{{"displayName", "Default"}, {"Quorvex_Filter_inputEV", 1.5f}};
    platform::Error error;
    ASSERT_TRUE(manager.addPreset(mine, &error));
    EXPECT_EQ(PresetManager::profileUUID(mine), oldId);
    EXPECT_EQ(files().size(), 4u);
    auto stored = *manager.presetNamed("Default");
    EXPECT_EQ(stored["Quorvex_Filter_inputEV"].realValue(), 1.5);
    EXPECT_FALSE(stored.contains("Quorvex_SceneReferred"));

    platform::Dictionary fresh{{"displayName", "Warm"},
                               {"Quorvex_Filter_inputTemperature", 6500.0f}};
    ASSERT_TRUE(manager.addPreset(fresh, &error));
    EXPECT_EQ(files().size(), 5u);
    EXPECT_NE(PresetManager::profileUUID(fresh), oldId);
    EXPECT_EQ(changes, 2);
    EXPECT_EQ(notices, (std::vector<bool>{false, true, false, true}));

    auto menu = manager.presetListForMenu();
    ASSERT_EQ(menu.size(), manager.presetList(false).size() + 1);
    EXPECT_EQ(menu[0]["displayName"].stringValue(), "Select preset....");

    ASSERT_TRUE(manager.removePreset(&fresh, &error));
    EXPECT_EQ(files().size(), 4u);
    EXPECT_EQ(changes, 3);
    EXPECT_TRUE(manager.removePreset(nullptr, &error));
    platform::NotificationCenter::defaultCenter().removeObserver(token);
    manager.removeListObserver(listToken);
}

// One order by name in every list, whatever order the folder returns.
TEST_F(Presets, ListsAreInNameOrder) {
    platform::Error error;
    for (const char* name : {"preset 10", "Preset 9", "apple"}) {
        platform::Dictionary preset{{"displayName", name}};
        ASSERT_TRUE(manager.addPreset(preset, &error));
    }
    const std::vector<std::string> byName = {
        "apple", "Default", "Default TIFF export", "Monochrome", "Preset 9", "preset 10", "Zero'd"};
    std::vector<std::string> listed, menu;
    for (const auto& preset : manager.presetList(false))
        listed.push_back(preset["displayName"].stringValue());
    for (const auto& preset : manager.presetListForMenu())
        menu.push_back(preset["displayName"].stringValue());
    EXPECT_EQ(listed, byName);
    ASSERT_FALSE(menu.empty());
    EXPECT_EQ(std::vector<std::string>(menu.begin() + 1, menu.end()), byName);
}

TEST_F(Presets, IdentifiersThatAreNotUUIDsNeverBecomePaths) {
    fs::path folder = *manager.presetDirectory();
    std::ofstream(home.path() / "data" / "Quorvex" / "victim.plist") << "keep me";
    platform::Dictionary evil{{"displayName", "Evil"}, {"Quorvex_PresetUUID", "../victim"}};
    platform::Error error;
    ASSERT_TRUE(manager.addPreset(evil, &error));
    std::string id = PresetManager::profileUUID(evil);
    EXPECT_TRUE(PresetManager::isUUIDString(id));
    EXPECT_TRUE(fs::exists(folder / (id + ".plist")));

    platform::Dictionary remove{{"Quorvex_PresetUUID", "../victim"}};
    EXPECT_FALSE(manager.removePreset(&remove, &error));
    EXPECT_TRUE(fs::exists(home.path() / "data" / "Quorvex" / "victim.plist"));

    // A stored file claiming another preset's name with a bad identifier is not taken over.
    platform::Dictionary planted{{"displayName", "Planted"}, {"Quorvex_PresetUUID", "/tmp/x"}};
    ASSERT_TRUE(platform::writePropertyList(platform::Value(planted), folder / "planted.plist"));
    platform::Dictionary mine{{"displayName", "Planted"}};
    ASSERT_TRUE(manager.addPreset(mine, &error));
    EXPECT_TRUE(PresetManager::isUUIDString(PresetManager::profileUUID(mine)));
    EXPECT_FALSE(PresetManager::isUUIDString("6F9619FF-8B86-D011-B42D-00C04FC964F"));
    EXPECT_FALSE(PresetManager::isUUIDString("6F9619FF-8B86-D011-B42D_00C04FC964FF"));
    EXPECT_TRUE(PresetManager::isUUIDString("6f9619ff-8b86-d011-b42d-00c04fc964ff"));
}

TEST_F(Presets, FolderReadingSkipsWhatIsNotAPreset) {
    fs::path folder = *manager.presetDirectory();
    std::ofstream(folder / "notes.txt") << "<plist/>";
    std::ofstream(folder / "broken.plist") << "<plist><dict><key>a</key>";
    std::ofstream(folder / "array.plist")
        << "<?xml version=\"1.0\"?><plist version=\"1.0\"><array/></plist>";
    platform::Dictionary upper{{"displayName", "Upper"}, {"Quorvex_PresetUUID", "X"}};
    ASSERT_TRUE(platform::writePropertyList(platform::Value(upper), folder / "X.PLIST"));
    auto list = manager.presetList(false);
    EXPECT_EQ(list.size(), 5u);
    EXPECT_TRUE(manager.presetNamed("Upper"));
}

TEST_F(Presets, DamagedPresetsAreSetAsideFactoryOnesRebuiltAndTheUserTold) {
    fs::path folder = *manager.presetDirectory();
    std::vector<std::string> told;
    const auto previous = platform::setUserWarningHandler(
        [&](const std::string& warning) { told.push_back(warning); });
    platform::Dictionary mine{{"displayName", "Mine"}, {"Quorvex_Filter_inputEV", 0.7f}};
    ASSERT_TRUE(manager.addPreset(mine, nullptr));
    const std::string defaultId = PresetManager::profileUUID(*manager.presetNamed("Default"));
    const std::string mineId = PresetManager::profileUUID(*manager.presetNamed("Mine"));
    // Both files cut short in the middle, as a full disk or a crash leaves them.
    for (const std::string& id : {defaultId, mineId}) {
        const fs::path file = folder / (id + ".plist");
        const auto size = fs::file_size(file);
        fs::resize_file(file, size * 2 / 3);
    }
    const std::string damagedDefault = [&] {
        std::ifstream in(folder / (defaultId + ".plist"), std::ios::binary);
        return std::string((std::istreambuf_iterator<char>(in)), {});
    }();

    const auto def = manager.presetNamed("Default");
    ASSERT_TRUE(def);
    EXPECT_EQ(PresetManager::profileUUID(*def), defaultId);
    EXPECT_EQ((*def)["Quorvex_Filter_inputIntensity"].realValue(), 1.0);
    EXPECT_EQ((*def)["Quorvex_SceneReferred"], platform::Value(true));
    EXPECT_FALSE(manager.presetNamed("Mine"));
    // Nothing is deleted: both damaged files are kept aside as they were.
    std::ifstream kept(folder / (defaultId + ".plist.damaged"), std::ios::binary);
    EXPECT_EQ(std::string((std::istreambuf_iterator<char>(kept)), {}), damagedDefault);
    EXPECT_TRUE(fs::exists(folder / (mineId + ".plist.damaged")));
    ASSERT_EQ(told.size(), 2u);
    std::string all = told[0] + told[1];
    EXPECT_NE(all.find("\"Default\" was damaged"), std::string::npos) << all;
    EXPECT_NE(all.find("factory values"), std::string::npos) << all;
    EXPECT_NE(all.find("\"Mine\""), std::string::npos) << all;
    EXPECT_NE(all.find(mineId + ".plist.damaged"), std::string::npos) << all;
    // Told once: the next listing finds nothing damaged.
    EXPECT_EQ(manager.presetList(false).size(), 4u);
    EXPECT_EQ(told.size(), 2u);
    // Damaged again: the first kept copy stays beside the second.
    fs::resize_file(folder / (defaultId + ".plist"), 40);
    EXPECT_TRUE(manager.presetNamed("Default"));
    EXPECT_EQ(contents(folder / (defaultId + ".plist.damaged")), damagedDefault);
    EXPECT_TRUE(fs::exists(folder / (defaultId + ".plist.damaged-1")));
    // Copies an earlier run kept without rebuilding from them are tried below.
    for (const auto& kept : {".plist.damaged", ".plist.damaged-1"})
        fs::remove(folder / (defaultId + kept));
    fs::remove(folder / (mineId + ".plist.damaged"));

    // Whatever is left of the file, the factory preset is back at the next start.
    const fs::path file = folder / (defaultId + ".plist");
    for (const std::string& what :
         {std::string(), std::string(300, '\0'), std::string("<?xml ver"), std::string("gone")}) {
        SCOPED_TRACE(what.size());
        told.clear();
        if (what == "gone")  // set aside by an earlier run
            fs::rename(file, file.string() + ".damaged");
        else
            std::ofstream(file, std::ios::binary | std::ios::trunc) << what;
        manager.forgetPresetDirectory();
        const auto rebuilt = manager.presetNamed("Default");
        ASSERT_TRUE(rebuilt);
        EXPECT_EQ((*rebuilt)["Quorvex_SceneReferred"], platform::Value(true));
        ASSERT_EQ(told.size(), 1u);
        EXPECT_NE(told[0].find(file.string() + ".damaged"), std::string::npos) << told[0];
        EXPECT_TRUE(what == "gone" || (contents(file.string() + ".damaged") == what &&
                                       PresetManager::profileUUID(*rebuilt) == defaultId));
        fs::remove(file.string() + ".damaged");
    }
    // A factory preset the user deleted stays deleted at the next start.
    told.clear();
    platform::Error error;
    const auto mono = manager.presetNamed("Monochrome");
    ASSERT_TRUE(mono && manager.removePreset(&*mono, &error));
    manager.forgetPresetDirectory();
    EXPECT_FALSE(manager.presetNamed("Monochrome"));
    EXPECT_TRUE(told.empty());
    platform::setUserWarningHandler(previous);
}

TEST_F(Presets, DeletingAllLeavesNoFolderUntilTheNextLaunch) {
    fs::path folder = *manager.presetDirectory();
    platform::Error error;
    ASSERT_TRUE(manager.deleteAllPresets(&error));
    EXPECT_FALSE(fs::exists(folder));
    EXPECT_TRUE(manager.presetList(false).empty());
    EXPECT_FALSE(manager.presetNamed("Default"));
    platform::Dictionary p{{"displayName", "After"}};
    EXPECT_FALSE(manager.addPreset(p, &error));  // the failure is reported
    EXPECT_FALSE(error.failureReason.empty());
    manager.forgetPresetDirectory();  // a new launch
    EXPECT_EQ(manager.presetList(false).size(), 4u);
}

TEST_F(Presets, SafeFromSeveralThreads) {
    manager.presetDirectory();
    std::vector<std::thread> threads;
    std::atomic<int> found{0};
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < 10; ++i) {
                if (manager.presetNamed("Default")) ++found;
                platform::Dictionary p{{"displayName", "T" + std::to_string(t)}};
                platform::Error error;
                EXPECT_TRUE(manager.addPreset(p, &error)) << error.description();
            }
        });
    for (auto& th : threads) th.join();
    EXPECT_EQ(found, 40);
    EXPECT_EQ(files().size(), 8u);
}

// Runs starting at once on an empty folder make the factory presets once, and
// each develops with "Default"; a damaged "Default" is rebuilt once, told once.
TEST_F(Presets, ParallelFirstRunsMakeTheFactoryPresetsOnce) {
    const fs::path folder = home.path() / "data" / "Quorvex" / "presets";
    for (const bool damaged : {false, true}) {
        SCOPED_TRACE(damaged ? "a damaged Default" : "no folder");
        if (damaged) {
            const auto def = manager.presetNamed("Default");
            ASSERT_TRUE(def);
            fs::resize_file(folder / (PresetManager::profileUUID(*def) + ".plist"), 100);
        }
        const fs::path go = home.path() / ("go" + std::to_string(damaged));
        std::vector<int> runs;
        for (int i = 0; i < 6; ++i)
            runs.push_back(testsupport::spawnHelper(
                {"first-run", go.string(), (home.path() / ("run" + std::to_string(i))).string()}));
        std::ofstream(go) << "";
        int warnings = 0;
        for (int i = 0; i < 6; ++i) {
            EXPECT_EQ(testsupport::waitForHelper(runs[size_t(i)]), 0);
            int found = 0, told = 0;
            std::ifstream(home.path() / ("run" + std::to_string(i))) >> found >> told;
            EXPECT_EQ(found, 1) << "run " << i;
            warnings += told;
        }
        EXPECT_EQ(warnings, damaged ? 1 : 0);
        manager.forgetPresetDirectory();
        std::multiset<std::string> names;
        for (const auto& preset : manager.presetList(false))
            names.insert(preset["displayName"].stringValue());
        EXPECT_EQ(names, (std::multiset<std::string>{"Monochrome", "Zero'd", "Default",
                                                     "Default TIFF export"}));
    }
}

// Factory presets the user deleted stay deleted while damaged copies lie in
// the folder; a copy an earlier run kept without rebuilding from it brings
// back the preset it was, and only once.
TEST_F(Presets, AKeptDamagedCopyBringsBackOnlyWhatItWasOnce) {
    const fs::path folder = *manager.presetDirectory();
    std::vector<std::string> told;
    const auto previous = platform::setUserWarningHandler(
        [&](const std::string& warning) { told.push_back(warning); });
    const auto def = manager.presetNamed("Default");
    ASSERT_TRUE(def);
    fs::resize_file(folder / (PresetManager::profileUUID(*def) + ".plist"), 100);
    ASSERT_TRUE(manager.presetNamed("Default"));  // rebuilt, the damaged copy kept
    platform::Error error;
    for (const char* name : {"Default", "Monochrome"}) {
        const auto preset = manager.presetNamed(name);
        ASSERT_TRUE(preset && manager.removePreset(&*preset, &error));
    }
    told.clear();
    manager.forgetPresetDirectory();
    EXPECT_FALSE(manager.presetNamed("Default"));
    EXPECT_FALSE(manager.presetNamed("Monochrome"));
    EXPECT_TRUE(told.empty());

    // "Zero'd" set aside by a run that ended before it rebuilt it.
    const std::string zeroed = PresetManager::profileUUID(*manager.presetNamed("Zero'd"));
    fs::rename(folder / (zeroed + ".plist"), folder / (zeroed + ".plist.damaged"));
    manager.forgetPresetDirectory();
    EXPECT_TRUE(manager.presetNamed("Zero'd"));
    EXPECT_FALSE(manager.presetNamed("Default"));
    EXPECT_FALSE(manager.presetNamed("Monochrome"));
    EXPECT_EQ(told.size(), 1u);
    const auto again = manager.presetNamed("Zero'd");
    ASSERT_TRUE(again && manager.removePreset(&*again, &error));
    manager.forgetPresetDirectory();
    EXPECT_FALSE(manager.presetNamed("Zero'd"));
    EXPECT_EQ(told.size(), 1u);
    platform::setUserWarningHandler(previous);
}

// Unread, with one warning; the presets go on.
TEST_F(Presets, AHugeJunkFileIsRefusedByItsSize) {
    const fs::path folder = *manager.presetDirectory();
    std::vector<std::string> told;
    const auto previous = platform::setUserWarningHandler(
        [&](const std::string& warning) { told.push_back(warning); });
    const fs::path junk = folder / "junk.plist";
    std::ofstream(junk) << "";
    fs::resize_file(junk, uintmax_t(2) << 30);  // sparse: no disk used
    const auto before = testsupport::bytesReadSoFar();
    EXPECT_TRUE(manager.presetNamed("Default"));
    EXPECT_LT(testsupport::bytesReadSoFar() - before, 16u << 20);
    EXPECT_TRUE(manager.presetNamed("Zero'd"));
    ASSERT_EQ(told.size(), 1u);
    EXPECT_NE(told[0].find("junk.plist"), std::string::npos) << told[0];
    EXPECT_NE(told[0].find("too large"), std::string::npos) << told[0];
    platform::setUserWarningHandler(previous);
}

}  // namespace

// A full disk at the first run: told once where and why, the factory values
// serve, and a later run writes them.
TEST_F(Presets, FactoryPresetsThatCannotBeWrittenAreUsedAndWrittenLater) {
    const fs::path folder = home.path() / "data" / "Quorvex" / "presets";
    Told told;
    {
        testsupport::FileSizeLimit full(16);
        for (int run = 0; run < 2; ++run) {
            const auto def = manager.presetNamed("Default");
            ASSERT_TRUE(def) << "run " << run;
            EXPECT_EQ((*def)["Quorvex_JPEGQuality"].realValue(), 10.0);
            EXPECT_EQ(manager.presetList(false).size(), 4u);
        }
    }
    ASSERT_EQ(told.lines.size(), 1u);
    EXPECT_NE(told.lines[0].find("\"" + folder.string() + "\" (" + std::strerror(EFBIG) + ")"),
              std::string::npos)
        << told.lines[0];
    EXPECT_FALSE(fs::exists(folder));

    const auto def = manager.presetNamed("Default");
    ASSERT_TRUE(def);
    EXPECT_EQ(files().size(), 4u);
    // A preset the user deleted stays deleted.
    ASSERT_TRUE(manager.removePreset(&*def, nullptr));
    manager.forgetPresetDirectory();
    EXPECT_EQ(manager.presetList(false).size(), 3u);
    EXPECT_EQ(told.lines.size(), 1u);
}

// A data folder where the presets' folder cannot be made is told once.
TEST_F(Presets, AnUnwritableDataFolderIsToldAtTheFirstRun) {
    const fs::path blocked = home.path() / "blocked";
    std::ofstream(blocked) << "a file where a folder belongs";
    ::setenv("XDG_DATA_HOME", (blocked / "data").c_str(), 1);
    Told told;
    for (int run = 0; run < 2; ++run) EXPECT_TRUE(manager.presetNamed("Default"));
    ::setenv("XDG_DATA_HOME", (home.path() / "data").c_str(), 1);
    ASSERT_EQ(told.lines.size(), 1u);
    EXPECT_TRUE(told.lines[0].starts_with("The factory presets cannot be written in \"" +
                                          (blocked / "data" / "Quorvex" / "presets").string() +
                                          "\" ("))
        << told.lines[0];
}

// Damage is told in plain words; a factory preset cut short before its name
// is rebuilt under it, though another factory preset was deleted.
TEST_F(Presets, DamageIsToldInPlainWordsAndAFactoryPresetRebuiltByItsName) {
    const fs::path folder = *manager.presetDirectory();
    const auto zeroed = manager.presetNamed("Zero'd");
    ASSERT_TRUE(zeroed && manager.removePreset(&*zeroed, nullptr));
    const fs::path mono =
        folder / (PresetManager::profileUUID(*manager.presetNamed("Monochrome")) + ".plist");
    fs::resize_file(mono, 100);
    ASSERT_EQ(contents(mono).find("Monochrome"), std::string::npos);
    std::ofstream(folder / "odd.plist") << "<plist><dict><key>displayName</key><string>Odd</string>"
                                           "<key>Quorvex_Filter_inputEV</key><number>1</number>"
                                           "</dict></plist>";
    std::ofstream(folder / "bare.plist") << "<dict><key>displayName</key><string>Bare</string>"
                                            "</dict>";
    manager.forgetPresetDirectory();
    Told told;
    const auto rebuilt = manager.presetNamed("Monochrome");
    ASSERT_TRUE(rebuilt);
    EXPECT_EQ((*rebuilt)["Quorvex_Filter_inputSaturation"].realValue(), 0.0);
    EXPECT_FALSE(manager.presetNamed("Zero'd"));
    ASSERT_EQ(told.lines.size(), 3u);
    std::set<std::string> lines;
    for (const auto& line : told.lines) lines.insert(line.substr(0, line.find("; it is kept")));
    EXPECT_EQ(lines, (std::set<std::string>{
                         "The preset \"Bare\" was damaged (the file is not a property list)",
                         "The preset \"Monochrome\" was damaged (the file is cut short or "
                         "damaged near line 4)",
                         "The preset \"Odd\" was damaged (the file holds an entry that cannot "
                         "be read)"}));
    EXPECT_TRUE(quiet.contains("unknown element <number>"));
}

// Another program keeps the presets' lock: a listing waits a bounded time,
// says for what, and reads without it; a change waits again and is refused
// as not saved. Damage is told in words, the parser's report logged only.
TEST_F(Presets, AKeptLockIsWaitedForABoundedTimeAndAChangeIsNotSaved) {
    const fs::path folder = *manager.presetDirectory();
    manager.forgetPresetDirectory();
    const fs::path lock = folder.parent_path() / ".presets.lock";
    const fs::path damaged = folder / "CD8D9985-1111-4222-8333-444455556666.plist";
    std::ofstream(damaged) << "<plist><dict><key>displayName</key><string>Evening</string>";
    platform::Dictionary mine{{"displayName", "Mine"}};
    Told told;
    const testsupport::ShortLockWait shortWait;
    // On a descriptor of its own, as another program would.
    const int other = ::open(lock.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    ASSERT_EQ(::flock(other, LOCK_EX), 0);
    auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(manager.presetNamed("Default"));
    EXPECT_GE(secondsSince(start), 1.9);
    EXPECT_LT(secondsSince(start), 3.9);  // once, though mending the damage needs it too
    // Kept as it was: a listing reads at once, a change waits again.
    start = std::chrono::steady_clock::now();
    EXPECT_TRUE(manager.presetNamed("Default"));
    EXPECT_LT(secondsSince(start), 1.0);
    start = std::chrono::steady_clock::now();
    platform::Error error;
    EXPECT_FALSE(manager.addPreset(mine, &error));
    EXPECT_GE(secondsSince(start), 1.9);
    EXPECT_NE(error.failureReason.find("not saved"), std::string::npos) << error.failureReason;
    EXPECT_EQ(files().size(), 5u);     // the factory four and the damaged one
    EXPECT_TRUE(fs::exists(damaged));  // not set aside without the lock
    ::close(other);
    EXPECT_TRUE(manager.addPreset(mine, nullptr));
    EXPECT_TRUE(fs::exists(damaged.string() + ".damaged"));

    const auto& lines = told.lines;
    ASSERT_EQ(lines.size(), 6u);
    for (size_t wait : {0, 3}) {
        EXPECT_TRUE(lines[wait].starts_with(
            "Waiting for another program to let go of the presets folder \"" + folder.string() +
            "\" (its lock \"" + lock.string() + "\""))
            << lines[wait];
        EXPECT_NE(lines[wait + 1].find("for 2 seconds; going on without it"), std::string::npos)
            << lines[wait + 1];
    }
    const std::string damage = "(the file is cut short or damaged near line 1); it is ";
    EXPECT_TRUE(
        lines[2].starts_with("The preset \"Evening\" cannot be read " + damage + "left out"))
        << lines[2];
    EXPECT_TRUE(lines[5].starts_with("The preset \"Evening\" was damaged " + damage + "kept as \""))
        << lines[5];
    EXPECT_TRUE(quiet.contains("the XML parser reports \""));
}

// A damaged preset behind a holder of the shared lock at work: mending it
// waits as a read, once, and leaves the file as it is; a listing once the
// lock is free mends it.
TEST_F(Presets, AMendBehindASharedHolderAtWorkWaitsAsAReadOnceAndIsMadeLater) {
    const testsupport::ShortLockWait shortWait;
    const auto limit = testsupport::ShortLockWait::kLimit;
    const fs::path folder = *manager.presetDirectory();
    fs::path monochrome;
    for (const auto& file : files())
        if (contents(file).find("<string>Monochrome</string>") != std::string::npos)
            monochrome = file;
    ASSERT_FALSE(monochrome.empty());
    fs::resize_file(monochrome, 100);
    testsupport::LockHolder holder(folder.parent_path() / ".presets.lock");
    ASSERT_TRUE(holder.hold("burn", true));
    for (double most : {limit.count() / 1000.0 + 1.5, 1.0}) {
        const auto start = std::chrono::steady_clock::now();
        EXPECT_TRUE(manager.presetNamed("Default"));
        EXPECT_LT(secondsSince(start), most);
    }
    EXPECT_EQ(fs::file_size(monochrome), 100u);
    holder.letGo();
    EXPECT_TRUE(manager.presetNamed("Monochrome"));
}

// Behind a holder at work a run reads the presets, or uses the factory ones
// while it cannot make the folder, after the bound, and not once more while
// the same holder keeps the lock.
TEST_F(Presets, AHolderAtWorkDelaysReadingByTheBoundOnce) {
    const testsupport::ShortLockWait shortWait;
    const fs::path support = platform::applicationSupportDirectory(true);
    const auto limit = testsupport::ShortLockWait::kLimit;
    for (bool folderMade : {false, true}) {
        if (folderMade) {
            ASSERT_TRUE(manager.presetDirectory());
            manager.forgetPresetDirectory();
        }
        testsupport::LockHolder holder(support / ".presets.lock");
        ASSERT_TRUE(holder.hold("burn"));
        for (double most : {limit.count() / 1000.0 + 1, 0.5}) {
            const auto start = std::chrono::steady_clock::now();
            EXPECT_TRUE(manager.presetNamed("Default"));
            EXPECT_LT(secondsSince(start), most) << "folder made: " << folderMade;
        }
    }
}

// A damaged preset asked for by name, however it is damaged: a factory one
// serves from its factory values behind another program's lock and is
// mended once the lock is free; a user's one is said to be damaged, with its
// file; "no preset" is left for names no file claims.
TEST_F(Presets, ADamagedPresetAskedForByNameIsMendedOrUsedOrSaidToBeDamaged) {
    const testsupport::ShortLockWait shortWait;
    const fs::path folder = *manager.presetDirectory();
    const fs::path mono =
        folder / (PresetManager::profileUUID(*manager.presetNamed("Monochrome")) + ".plist");
    const std::string good = contents(mono);
    std::string wrongType = good;
    const size_t name = wrongType.find("<string>Monochrome</string>");
    ASSERT_NE(name, std::string::npos);
    wrongType.replace(name, 27, "<integer>7</integer>");
    const fs::path mine = folder / "CD8D9985-1111-4222-8333-444455556666.plist";
    testsupport::LockHolder holder(folder.parent_path() / ".presets.lock");
    for (const std::string& damage :
         {good.substr(0, good.size() / 2), std::string(good.size(), '\0'),
          std::string("\x89garbage\x01\x02"), wrongType}) {
        SCOPED_TRACE(damage.size());
        std::ofstream(mono, std::ios::binary | std::ios::trunc) << damage;
        for (bool held : {true, false}) {
            SCOPED_TRACE(held);
            if (held) {
                ASSERT_TRUE(holder.hold("sleep"));
            }
            manager.forgetPresetDirectory();
            Told told;
            const auto found = manager.presetNamed("Monochrome");
            ASSERT_TRUE(found);
            EXPECT_EQ((*found)["Quorvex_Filter_inputSaturation"].realValue(), 0.0);
            EXPECT_EQ(contents(mono) == damage, held);
            const std::string all = told.lines.empty() ? "" : told.lines.back();
            EXPECT_NE(all.find(held ? "factory values are used meanwhile, and the file is mended"
                                    : "rebuilt from its factory values"),
                      std::string::npos)
                << all;
            holder.letGo();
        }
    }

    std::ofstream(mine) << "<plist><dict><key>displayName</key><string>Evening</string>";
    for (bool held : {true, false}) {
        if (held) {
            ASSERT_TRUE(holder.hold("sleep"));
        }
        manager.forgetPresetDirectory();
        Told told;
        platform::Error error;
        EXPECT_FALSE(manager.presetNamed("Evening", &error));
        const std::string where =
            held ? "; its file is \"" + mine.string() : "; it is set aside as \"" + mine.string();
        EXPECT_TRUE(error.failureReason.starts_with("The preset \"Evening\" "));
        EXPECT_NE(error.failureReason.find(where), std::string::npos) << error.failureReason;
        holder.letGo();
    }
    // A later run finds the copy an earlier one set aside; no file claims "Morning".
    manager.forgetPresetDirectory();
    platform::Error error;
    EXPECT_FALSE(manager.presetNamed("Evening", &error));
    EXPECT_NE(error.failureReason.find("set aside as \"" + mine.string() + ".damaged\""),
              std::string::npos)
        << error.failureReason;
    error = {};
    EXPECT_FALSE(manager.presetNamed("Morning", &error));
    EXPECT_EQ(error.failureReason, "");
}

namespace {

// A thread that never waits (a window's) answers at once, whoever holds what:
// the factory presets before the folder exists, the list last read behind
// another program's lock and behind another thread's change waiting for it.
// The folder is then read again on a thread of its own, which tells of a
// preset another program added once the lock is free.
TEST_F(Presets, AThreadThatNeverWaitsAnswersAtOnceAndHearsOfChangesLater) {
    const testsupport::ShortLockWait shortWait;
    const fs::path support = platform::applicationSupportDirectory(true);
    const auto namesAtOnce = [&] {
        std::set<std::string> names;
        double took = 0;
        std::thread([&] {
            PresetManager::neverWaitOnThisThread();
            const auto start = std::chrono::steady_clock::now();
            const auto list = manager.presetList(false);
            took = secondsSince(start);
            for (const auto& preset : list) names.insert(preset["displayName"].string());
        }).join();
        EXPECT_LT(took, 0.5);
        return names;
    };
    const auto readAgainEnds = [&] {
        const auto start = std::chrono::steady_clock::now();
        while (manager.readingAgain() && secondsSince(start) < 20)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        return !manager.readingAgain();
    };
    std::atomic<int> changes{0};
    auto& center = platform::NotificationCenter::defaultCenter();
    const auto token = center.addObserver("TARNWisp_PresetsChanged",
                                          [&](const platform::Notification&) { ++changes; });
    testsupport::LockHolder holder(support / ".presets.lock");

    ASSERT_TRUE(holder.hold("sleep"));
    const std::set<std::string> factory = namesAtOnce();
    EXPECT_EQ(factory.size(), 4u);
    EXPECT_TRUE(factory.count("Default"));
    holder.letGo();
    ASSERT_TRUE(readAgainEnds());

    // Another program adds a preset while it holds the lock.
    platform::Dictionary mine{{"displayName", "Mine"}};
    ASSERT_TRUE(manager.addPreset(mine, nullptr));
    EXPECT_EQ(manager.presetList(false).size(), 5u);
    ASSERT_TRUE(holder.hold("sleep"));
    platform::Dictionary other{{"displayName", "Other"},
                               {"Quorvex_PresetUUID", PresetManager::uuidString()}};
    ASSERT_TRUE(platform::writePropertyList(
        platform::Value(other),
        support / "presets" / (PresetManager::profileUUID(other) + ".plist")));
    changes = 0;
    std::set<std::string> names = namesAtOnce();
    EXPECT_TRUE(names.count("Mine"));
    EXPECT_FALSE(names.count("Other"));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(changes, 0);
    holder.letGo();
    ASSERT_TRUE(readAgainEnds());
    EXPECT_EQ(changes, 1);
    EXPECT_TRUE(namesAtOnce().count("Other"));

    // Behind a change of this process that waits for the holder.
    ASSERT_TRUE(holder.hold("sleep"));
    std::thread change([&] {
        platform::Dictionary late{{"displayName", "Late"}};
        manager.addPreset(late, nullptr);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    names = namesAtOnce();
    EXPECT_TRUE(names.count("Other"));
    EXPECT_FALSE(names.count("Late"));
    change.join();
    ASSERT_TRUE(readAgainEnds());
    center.removeObserver(token);
}

}  // namespace
