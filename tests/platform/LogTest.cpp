#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>

#include "platform/Log.h"
#include "platform/Paths.h"
#include "support/TestSupport.h"

TEST(Log, FormatsWholeLinesAndCapturesThem) {
    platform::LogCapture capture;
    platform::log("%s malloc failed", "-[Stage prepare]");
    platform::log("line with newline %d\n", 3);
    std::string longText(2000, 'x');
    platform::log("%s", longText.c_str());
    auto lines = capture.lines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], "-[Stage prepare] malloc failed");
    EXPECT_EQ(lines[1], "line with newline 3");
    EXPECT_EQ(lines[2], longText);
    capture.clear();
    EXPECT_TRUE(capture.lines().empty());
}

TEST(Log, ProgramsWriteTheirLogIntoTheStateFolder) {
    testsupport::ScopedHome home;
    EXPECT_EQ(platform::stateDirectory(false), home.path() / "state" / "Quorvex");
    const auto file = platform::stateDirectory(false) / "quorvex.log";
    ASSERT_TRUE(platform::logToFile(file));
    platform::log("first %d", 1);
    platform::log("second");
    ASSERT_TRUE(platform::logToFile({}));
    platform::log("back on stderr");
    std::ifstream in(file);
    const std::string text((std::istreambuf_iterator<char>(in)), {});
    EXPECT_NE(text.find("] first 1\n"), std::string::npos) << text;
    EXPECT_NE(text.find("] second\n"), std::string::npos) << text;
    EXPECT_EQ(text.find("back on stderr"), std::string::npos) << text;
    std::ofstream(home.path() / "file") << "x";
    std::string whyNot;
    EXPECT_FALSE(platform::logToFile(home.path() / "file" / "deeper" / "a.log", &whyNot));
    EXPECT_EQ(whyNot, "the folder " + (home.path() / "file" / "deeper").string() +
                          " cannot be made: " + (home.path() / "file").string() +
                          " is a file, not a folder");
    std::filesystem::create_directories(home.path() / "a.log");
    EXPECT_FALSE(platform::logToFile(home.path() / "a.log", &whyNot));
    EXPECT_EQ(whyNot, (home.path() / "a.log").string() + " cannot be opened (Is a directory)");
}
