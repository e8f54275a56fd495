#include <gtest/gtest.h>

#include <string>

#include "platform/Log.h"

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
