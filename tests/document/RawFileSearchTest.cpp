#include <gtest/gtest.h>

#include <fstream>

#include "document/FSNodeInfo.h"
#include "document/QuorvexErrors.h"
#include "document/RawFileSearch.h"
#include "platform/Log.h"
#include "support/TestSupport.h"

namespace fs = std::filesystem;

namespace {

void touch(const fs::path& p) {
    fs::create_directories(p.parent_path());
    std::ofstream(p) << "x";
}

TEST(RawFileSearchTest, BaseNameRule) {
    const std::pair<const char*, const char*> cases[] = {
        {"IMG_0001-edit", "IMG_0001"},
        {"IMG_0001-edit-2", "IMG_0001"},
        {"IMG_0001.edit_3", "IMG_0001"},
        {"IMG_0001 copy", nullptr},
        {"IMG_0001-V12", nullptr},
        {"DSC01234", nullptr},
        {"A_1", nullptr},
        {"AB_1", "AB"},
        {"IMG-HDR2X", nullptr},
        {"", nullptr},
        {"IMG_0001-2", "IMG_0001"},
        {"IMG_0001-HDR", "IMG_0001"},
        {"IMG_0001_V12", "IMG_0001"},
        {"IMG_0001", "IMG"},
        {"IMG_0001 12", "IMG_0001"},
        {"IMG_0001_v", nullptr},
        {"photo.EDIT", "photo"},
        {"IMG_0001-edit_4.Edit", "IMG_0001-edit_4"},
    };
    for (const auto& [name, expected] : cases) {
        auto base = RawFileSearch::parseToBaseName(name);
        if (expected) {
            ASSERT_TRUE(base.has_value()) << name;
            EXPECT_EQ(*base, expected) << name;
        } else {
            EXPECT_FALSE(base.has_value()) << name << " gave " << base.value_or("");
        }
    }
}

TEST(RawFileSearchTest, PriorityTable) {
    auto table = RawFileSearch::extensionPriorityTable();
    EXPECT_EQ(table.at("tif"), 98);
    EXPECT_EQ(table.at("jpg"), 99);
    // Every raw extension ranks as a raw file, the DNG next to it.
    for (const std::string& ext : FSNodeInfo::rawExts())
        EXPECT_EQ(table.at(ext), ext == "dng" ? 1 : 0) << ext;
}

class RawSearchTree : public ::testing::Test {
protected:
    testsupport::ScopedHome home;
    fs::path root = home.path() / "raws";
    RawFileSearch::ExtensionPriorities table = RawFileSearch::extensionPriorityTable();
    platform::LogCapture quiet;
};

TEST_F(RawSearchTree, RawBeatsDngAndCaseIsIgnored) {
    touch(root / "sub" / "IMG_0001.dng");
    touch(root / "a" / "b" / "img_0001.NEF");
    touch(root / "IMG_0001.tif");
    auto hit = RawFileSearch::searchDirectory(root, "IMG_0001", table);
    ASSERT_TRUE(hit);
    EXPECT_EQ(*hit, root / "a" / "b" / "img_0001.NEF");
}

TEST_F(RawSearchTree, RankingAmongNonRawFiles) {
    touch(root / "IMG_0001.jpg");
    EXPECT_FALSE(RawFileSearch::searchDirectory(root, "IMG_0001", table));
    touch(root / "x" / "IMG_0001.tif");
    EXPECT_EQ(RawFileSearch::searchDirectory(root, "IMG_0001", table), root / "x" / "IMG_0001.tif");
    // An extension the table does not know ranks between DNG and TIFF.
    touch(root / "IMG_0001.psd");
    EXPECT_EQ(RawFileSearch::searchDirectory(root, "IMG_0001", table), root / "IMG_0001.psd");
    touch(root / "deep" / "er" / "IMG_0001.DNG");
    EXPECT_EQ(RawFileSearch::searchDirectory(root, "IMG_0001", table),
              root / "deep" / "er" / "IMG_0001.DNG");
}

TEST_F(RawSearchTree, HiddenFoldersFoldersAndMissingRoot) {
    touch(root / ".hidden" / "IMG_0002.CR2");
    fs::create_directories(root / "IMG_0002.nef");  // a folder, not a file
    EXPECT_FALSE(RawFileSearch::searchDirectory(root, "IMG_0002", table));
    EXPECT_FALSE(RawFileSearch::searchDirectory(root / "missing", "IMG_0002", table));
    touch(root / "plain.txt");
    EXPECT_FALSE(RawFileSearch::searchDirectory(root / "plain.txt", "plain", table));
}

TEST_F(RawSearchTree, EditedFileFindsItsRawButNeverItself) {
    touch(root / "IMG_0003.tif");
    touch(root / "2026" / "IMG_0003.CR2");
    touch(root / "2026" / "IMG_0003.dng");
    platform::Error error;
    auto hit = RawFileSearch::findRawFileForEditedFile(root / "IMG_0003-edit.tif", root, &error);
    ASSERT_TRUE(hit);
    EXPECT_EQ(*hit, root / "2026" / "IMG_0003.CR2");

    // The editor wrote IMG_0004.tif into the search folder; only the raw file may answer.
    touch(root / "IMG_0004.tif");
    EXPECT_FALSE(RawFileSearch::findRawFileForEditedFile(root / "IMG_0004.tif", root, &error));
    EXPECT_EQ(error.code, kQuorvexErrorRawFileNotFound);
    EXPECT_EQ(error.failureReason,
              "Could not find the raw file corresponding to IMG in search location " +
                  root.string() +
                  ". Set the search location in Preferences to the folder containing your raw "
                  "image files.");
    touch(root / "IMG_0004.orf");
    EXPECT_EQ(RawFileSearch::findRawFileForEditedFile(root / "IMG_0004.tif", root, &error),
              root / "IMG_0004.orf");
}

TEST_F(RawSearchTree, NoSearchFolderAndUnparsableNames) {
    platform::Error error;
    EXPECT_FALSE(
        RawFileSearch::findRawFileForEditedFile(root / "IMG_1234.JPG", std::nullopt, &error));
    EXPECT_EQ(error.domain, platform::QuorvexErrorDomain);
    EXPECT_EQ(error.code, -15);
    EXPECT_EQ(error.failureReason, *quorvexErrorText(-15));
    // One that cannot be read is said to be so (this link reads as an input/output error).
    fs::create_directories(root);
    fs::create_symlink("/proc/self/mem", root / "IMG_1235.jpg");
    EXPECT_FALSE(
        RawFileSearch::findRawFileForEditedFile(root / "IMG_1235.jpg", std::nullopt, &error));
    EXPECT_TRUE(
        error.failureReason.starts_with("It cannot be read: the device reports an "
                                        "input/output error"))
        << error.failureReason;
    // No base name: the whole name is searched, and the text names it.
    touch(root / "DSC01234.ARW");
    EXPECT_EQ(RawFileSearch::findRawFileForEditedFile(root / "DSC01234.jpeg", root, &error),
              root / "DSC01234.ARW");
    EXPECT_FALSE(RawFileSearch::findRawFileForEditedFile(root / "DSC09999.jpg", root, &error));
    EXPECT_NE(error.failureReason.find("corresponding to DSC09999 in"), std::string::npos)
        << error.failureReason;
    EXPECT_TRUE(RawFileSearch::isExternalEditorFile("a/b.TIFF"));
    EXPECT_FALSE(RawFileSearch::isExternalEditorFile("a/b.png"));
}

// A DNG named .jpg is no editor's file: with or without a search folder
// (even its own), the failure says what it is and how to develop it.
TEST_F(RawSearchTree, ARawFileNamedAsAnEditedOneIsCalledSo) {
    const fs::path disguised = root / "photo.jpg";
    fs::create_directories(root);
    fs::copy_file(testsupport::testdataDir() / "raw/dng/rpi-1920x1200_10bit-packed_single-tile.dng",
                  disguised);
    for (const auto& folder : {std::optional<fs::path>(), std::optional<fs::path>(root)}) {
        platform::Error error;
        EXPECT_FALSE(RawFileSearch::findRawFileForEditedFile(disguised, folder, &error));
        EXPECT_EQ(error.code, folder ? -17 : -15);
        EXPECT_EQ(error.failureReason,
                  "Its contents are a DNG raw file but its name says it is a JPEG file; give it "
                  "the extension .dng to develop it.");
    }
}

TEST_F(RawSearchTree, BookmarkIsThePathAndMustStillExist) {
    platform::UserDefaults defaults(home.path() / "d.plist");
    EXPECT_FALSE(RawFileSearch::rawSearch(defaults));
    defaults.setString(root.string(), "rawSearchDirectoryBookmark");  // not data
    EXPECT_FALSE(RawFileSearch::rawSearch(defaults));
    fs::create_directories(root);
    ASSERT_TRUE(RawFileSearch::setRawSearch(root, defaults));
    EXPECT_EQ(RawFileSearch::rawSearch(defaults), root);
    platform::UserDefaults reread(home.path() / "d.plist");
    EXPECT_EQ(RawFileSearch::rawSearch(reread), root);
    fs::remove_all(root);
    EXPECT_FALSE(RawFileSearch::rawSearch(defaults));
}

TEST(RawFileSearchPaths, Containment) {
    EXPECT_TRUE(RawFileSearch::containsOrIsURL("/a/b", "/a/b"));
    EXPECT_FALSE(RawFileSearch::containsURL("/a/b", "/a/b"));
    EXPECT_TRUE(RawFileSearch::containsURL("/Volumes/Disk", "/volumes/disk/a"));
    EXPECT_FALSE(RawFileSearch::containsURL("/a/b", "/a/bc/d"));
    EXPECT_FALSE(RawFileSearch::containsURL("/a/b/c", "/a/b"));
    EXPECT_TRUE(RawFileSearch::containsURL("", "/x"));
    EXPECT_TRUE(RawFileSearch::containsURL("/a/b/", "/a/b/c"));
}

TEST(RawFileSearchPaths, CleanDirectoryEmptiesOnlyFolders) {
    testsupport::ScratchDir scratch;
    touch(scratch.path() / "f" / "x" / "y.txt");
    touch(scratch.path() / "f" / "z.txt");
    touch(scratch.path() / "file.txt");
    RawFileSearch::cleanDirectory(scratch.path() / "f");
    EXPECT_TRUE(fs::is_directory(scratch.path() / "f"));
    EXPECT_TRUE(fs::is_empty(scratch.path() / "f"));
    RawFileSearch::cleanDirectory(scratch.path() / "file.txt");
    EXPECT_TRUE(fs::exists(scratch.path() / "file.txt"));
}

}  // namespace
