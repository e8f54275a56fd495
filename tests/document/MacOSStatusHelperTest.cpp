#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

#include "document/MacOSStatusHelper.h"
#include "platform/Log.h"

TEST(MacOSStatusHelper, TextsFromTheTableTheCLibraryOrUnknown) {
    EXPECT_EQ(MacOSStatusHelper::getErrorString(-25296), "Keychain already exists");
    EXPECT_EQ(MacOSStatusHelper::getErrorString(-25296, std::string("KC: ")),
              "KC: Keychain already exists");
    EXPECT_EQ(MacOSStatusHelper::getErrorString(ENOENT), std::strerror(ENOENT));
    EXPECT_EQ(MacOSStatusHelper::getErrorString(-1), "Unknown Error");
    EXPECT_EQ(MacOSStatusHelper::getErrorString(1L << 40), "Unknown Error");
    EXPECT_EQ(MacOSStatusHelper::getErrorDescription(-12345), "Unknown Error");
    EXPECT_EQ(MacOSStatusHelper::getErrorDescription(-25296).front(), 'A');

    EXPECT_EQ(MacOSStatusHelper::getLogString(-1, "f "),
              "Application Error f Unknown Error: Unknown Error");
    platform::LogCapture log;
    MacOSStatusHelper::outputLogString(0, "quiet ");
    EXPECT_TRUE(log.lines().empty());
    MacOSStatusHelper::outputLogString(-25296, "open ");
    EXPECT_TRUE(log.contains("Application Error open Keychain already exists: "));
}
