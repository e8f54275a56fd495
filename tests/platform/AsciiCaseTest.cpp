#include <gtest/gtest.h>

#include "platform/AsciiCase.h"

using namespace platform;

TEST(AsciiCaseTest, FoldsOnlySingleByteLetters) {
    EXPECT_EQ(asciiLowercase("Mixed-Case_09.DNG"), "mixed-case_09.dng");
    // UTF-8 bytes (high bit set) pass through; a signed char must not index
    // outside tolower's domain.
    EXPECT_EQ(asciiLowercase("\xC3\x84Z"), "\xC3\x84z");
    EXPECT_TRUE(equalsIgnoringAsciiCase("FILE", "file"));
    EXPECT_TRUE(equalsIgnoringAsciiCase("", ""));
    EXPECT_FALSE(equalsIgnoringAsciiCase("file", "files"));
    EXPECT_FALSE(equalsIgnoringAsciiCase("files", "file"));
    EXPECT_FALSE(equalsIgnoringAsciiCase("\xC3\xA4", "\xC3\x84"));
}

TEST(AsciiCaseTest, ExtensionIsTheLastSuffixWithoutItsDot) {
    EXPECT_EQ(lowercaseExtension("/photos/IMG_0001.CR2"), "cr2");
    EXPECT_EQ(lowercaseExtension("archive.tar.GZ"), "gz");
    EXPECT_EQ(lowercaseExtension("/photos.d/README"), "");
    EXPECT_EQ(lowercaseExtension("/photos/.hidden"), "");
    EXPECT_EQ(lowercaseExtension("trailing."), "");
}
