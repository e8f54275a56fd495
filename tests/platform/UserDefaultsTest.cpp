#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <optional>

#include "platform/Log.h"
#include "platform/Paths.h"
#include "platform/PropertyList.h"
#include "platform/UserDefaults.h"
#include "platform/UserWarning.h"
#include "support/TestSupport.h"

using platform::Dictionary;
using platform::UserDefaults;
using platform::Value;

TEST(UserDefaults, RegisteredValuesSitUnderUserValuesAndPersist) {
    testsupport::ScratchDir scratch;
    auto file = scratch.path() / "prefs" / "Defaults.plist";
    {
        UserDefaults defaults(file);
        defaults.registerDefaults(
            Dictionary{{"ShowSplashScreen", true}, {"ResolutionSelect", 4}, {"Gamma", 2.2}});
        EXPECT_TRUE(defaults.boolForKey("ShowSplashScreen"));
        EXPECT_EQ(defaults.integerForKey("ResolutionSelect"), 4);
        EXPECT_DOUBLE_EQ(defaults.doubleForKey("Gamma"), 2.2);
        EXPECT_FALSE(defaults.boolForKey("Unknown"));
        EXPECT_TRUE(defaults.objectForKey("Unknown").isNull());

        defaults.setBool(false, "ShowSplashScreen");
        defaults.setInteger(7, "ResolutionSelect");
        defaults.setString("/photos", "imageDirectory");
        defaults.setData({1, 2, 3}, "imageDirectoryBookmark");
        EXPECT_FALSE(defaults.boolForKey("ShowSplashScreen"));
        defaults.removeObjectForKey("ResolutionSelect");
        EXPECT_EQ(defaults.integerForKey("ResolutionSelect"), 4);  // back to the registered one
    }
    UserDefaults again(file);
    EXPECT_FALSE(again.boolForKey("ShowSplashScreen"));
    EXPECT_EQ(again.stringForKey("imageDirectory"), "/photos");
    EXPECT_EQ(again.dataForKey("imageDirectoryBookmark"), (Value::Data{1, 2, 3}));
    EXPECT_TRUE(again.objectForKey("ResolutionSelect").isNull());  // removal was saved
}

TEST(UserDefaults, ObserversSeeEveryChangeOfTheirKey) {
    testsupport::ScratchDir scratch;
    UserDefaults defaults(scratch.path() / "d.plist");
    defaults.registerDefaults(Dictionary{{"DisableImageCache", false}});
    std::vector<std::string> seen;
    auto token =
        defaults.addObserver("DisableImageCache", [&](const std::string& key, const Value& v) {
            seen.push_back(key + "=" + std::to_string(v.integerValue(-1)));
        });
    defaults.setBool(true, "DisableImageCache");
    defaults.setBool(true, "SomethingElse");
    defaults.removeObjectForKey("DisableImageCache");
    defaults.removeObserver(token);
    defaults.setBool(true, "DisableImageCache");
    EXPECT_EQ(seen, (std::vector<std::string>{"DisableImageCache=1", "DisableImageCache=0"}));
}

TEST(UserDefaults, ACorruptFileIsIgnoredNotFatal) {
    testsupport::ScratchDir scratch;
    auto file = scratch.path() / "d.plist";
    std::ofstream(file) << "<plist><dict><key>x</key>";
    platform::LogCapture capture;
    std::vector<std::string> told;
    const auto previous = platform::setUserWarningHandler(
        [&](const std::string& warning) { told.push_back(warning); });
    UserDefaults defaults(file);
    EXPECT_TRUE(defaults.objectForKey("x").isNull());
    defaults.setInteger(3, "x");  // and the next write repairs it
    auto back = platform::readPropertyList(file);
    ASSERT_TRUE(back);
    EXPECT_EQ((*back)["x"].integerValue(), 3);
    // What the user had is kept aside, and the user is told once where.
    std::ifstream kept(file.string() + ".damaged");
    EXPECT_EQ(std::string((std::istreambuf_iterator<char>(kept)), {}), "<plist><dict><key>x</key>");
    defaults.reload();
    // Why, in words; the parser's domain, code and report go to the log only.
    ASSERT_EQ(told.size(), 1u);
    EXPECT_EQ(told[0], "The preferences file \"" + file.string() +
                           "\" was damaged (the file is cut short or damaged near line 1); it "
                           "is kept as \"" +
                           file.string() + ".damaged\" and the preferences start afresh.");
    EXPECT_TRUE(capture.contains("the XML parser reports \"")) << told[0];
    platform::setUserWarningHandler(previous);

    // A reason given without parentheses keeps its words, not its code.
    platform::setUserWarningHandler([&](const std::string& warning) { told.push_back(warning); });
    platform::warnUser("It could not be rebuilt: PosixErrorDomain 13: open x: Permission denied.");
    EXPECT_EQ(told.back(), "It could not be rebuilt: open x: Permission denied.");
    platform::setUserWarningHandler(previous);
}

TEST(Paths, FoldersFollowTheEnvironment) {
    testsupport::ScopedHome scratch;
    EXPECT_EQ(platform::configDirectory(false), scratch.path() / "config" / "Quorvex");
    EXPECT_FALSE(std::filesystem::exists(platform::configDirectory(false)));
    EXPECT_EQ(platform::configDirectory(), scratch.path() / "config" / "Quorvex");
    EXPECT_EQ(platform::applicationSupportDirectory(), scratch.path() / "data" / "Quorvex");
    EXPECT_TRUE(std::filesystem::is_directory(platform::applicationSupportDirectory()));

    unsetenv("XDG_CONFIG_HOME");
    unsetenv("XDG_DATA_HOME");
    EXPECT_EQ(platform::configDirectory(false), scratch.path() / ".config" / "Quorvex");
    EXPECT_EQ(platform::applicationSupportDirectory(),
              scratch.path() / ".local" / "share" / "Quorvex");

    UserDefaults::resetStandardForEnvironment();
    EXPECT_FALSE(UserDefaults::standard().boolForKey("QuorvexIsRunning"));
    EXPECT_FALSE(std::filesystem::exists(scratch.path() / ".config"));  // reading made nothing
    UserDefaults::standard().setBool(true, "QuorvexIsRunning");
    EXPECT_TRUE(std::filesystem::exists(scratch.path() / ".config" / "Quorvex" / "Defaults.plist"));
}

TEST(Paths, TemporaryFolderIsPrivateAndFollowsTmpdir) {
    testsupport::ScopedHome scratch;
    auto dir = platform::temporaryDirectory();
    ASSERT_FALSE(dir.empty());
    EXPECT_EQ(dir.parent_path(), scratch.path() / "tmp");
    EXPECT_NE(dir, scratch.path() / "tmp");
    struct stat st {};
    ASSERT_EQ(::stat(dir.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    EXPECT_EQ(platform::temporaryDirectory(), dir);  // stable while it exists

    std::ofstream(dir / "leftover") << "x";
    std::filesystem::create_directory(dir / "sub");
    platform::emptyTemporaryDirectory();
    EXPECT_TRUE(std::filesystem::is_empty(dir));

    // A folder left by an ended process goes too; a live process's stays.
    pid_t child = fork();
    if (child == 0) _exit(0);
    ASSERT_GT(child, 0);
    waitpid(child, nullptr, 0);
    auto tmp = scratch.path() / "tmp";
    auto stale = tmp / ("Quorvex-" + std::to_string(child) + "-abcdef");
    auto live = tmp / ("Quorvex-" + std::to_string(getppid()) + "-abcdef");
    std::filesystem::create_directories(stale / "inner");
    std::filesystem::create_directories(live);
    std::ofstream(stale / "quorvextempfile.123456") << "x";
    platform::emptyTemporaryDirectory();
    EXPECT_FALSE(std::filesystem::exists(stale));
    EXPECT_TRUE(std::filesystem::exists(live));
    EXPECT_TRUE(std::filesystem::exists(dir));

    std::filesystem::remove_all(dir);  // vanished: made again
    auto again = platform::temporaryDirectory();
    EXPECT_TRUE(std::filesystem::is_directory(again));

    EXPECT_TRUE(std::filesystem::is_directory(again));
}

TEST(Paths, AProcessTakesItsTemporaryFoldersAlongWhenItExits) {
    // A fresh process (not a fork, whose other threads' memory would look
    // leaked to the sanitizers) makes two folders and exits normally. It
    // runs this test again from the start: the folders come from here.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const bool child = getenv("QUORVEX_TEST_TMP_FIRST") != nullptr;
    std::optional<testsupport::ScratchDir> scratch;
    std::filesystem::path first, second;
    if (!child) {
        scratch.emplace();
        first = scratch->path() / "first";
        second = scratch->path() / "second";
        std::filesystem::create_directories(first);
        std::filesystem::create_directories(second);
        setenv("QUORVEX_TEST_TMP_FIRST", first.c_str(), 1);
        setenv("QUORVEX_TEST_TMP_SECOND", second.c_str(), 1);
    }
    EXPECT_EXIT(
        {
            setenv("TMPDIR", getenv("QUORVEX_TEST_TMP_FIRST"), 1);
            const bool one = !platform::temporaryDirectory().empty();
            setenv("TMPDIR", getenv("QUORVEX_TEST_TMP_SECOND"), 1);
            const bool two = !platform::temporaryDirectory().empty();
            std::exit(one && two ? 0 : 3);
        },
        ::testing::ExitedWithCode(0), "");
    if (child) return;
    unsetenv("QUORVEX_TEST_TMP_FIRST");
    unsetenv("QUORVEX_TEST_TMP_SECOND");
    EXPECT_TRUE(std::filesystem::is_empty(first));
    EXPECT_TRUE(std::filesystem::is_empty(second));
}
