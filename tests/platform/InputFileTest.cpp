// Files opened for reading: only regular files, and a FIFO under an image's
// name never blocks the reader.
#include <gtest/gtest.h>

#include <cerrno>
#include <fstream>

#include "platform/ImageReader.h"
#include "platform/InputFile.h"
#include "support/TestSupport.h"

namespace {

TEST(InputFileTest, OnlyRegularFilesOpenAndNothingBlocks) {
    testsupport::ScratchDir dir;
    const auto fifo = dir.path() / "pipe.jpg";
    ASSERT_TRUE(testsupport::makeFifo(fifo));
    std::ofstream(dir.path() / "plain.jpg") << "bytes";

    std::FILE* file = platform::openRegularFile(dir.path() / "plain.jpg");
    ASSERT_TRUE(file);
    char buf[8] = {};
    EXPECT_EQ(std::fread(buf, 1, sizeof buf, file), 5u);
    std::fclose(file);

    EXPECT_TRUE(testsupport::finishesWithoutBlocking(fifo, [&] {
        errno = 0;
        EXPECT_EQ(platform::openRegularFile(fifo), nullptr);
        EXPECT_EQ(errno, EINVAL);
        platform::Error error;
        EXPECT_FALSE(platform::readImageThumbnail(fifo, 64, &error));
        EXPECT_FALSE(error.failureReason.empty());
    })) << "a read blocked on the FIFO";
    EXPECT_EQ(platform::openRegularFile(dir.path()), nullptr);
    EXPECT_EQ(platform::openRegularFile(dir.path() / "none.jpg"), nullptr);
    EXPECT_EQ(errno, ENOENT);
}

// A read that failed is told from a damaged file: the file another program
// cut, wrote, replaced or removed meanwhile is said to be so; the one left
// alone is not.
TEST(InputFileTest, AFileChangedOrGoneSinceTheReadBeganIsSaidToBeSo) {
    testsupport::ScratchDir dir;
    const auto file = dir.path() / "a.dng";
    auto write = [&](const std::string& bytes) { std::ofstream(file, std::ios::binary) << bytes; };
    write("II*\0 the whole file");
    const platform::FileIdentity untouched(file);
    EXPECT_EQ(untouched.changedSince(file), std::nullopt);
    EXPECT_EQ(platform::whyUnreadable(file), std::nullopt);

    const platform::FileIdentity beforeCut(file);
    std::filesystem::resize_file(file, 4);
    EXPECT_NE(beforeCut.changedSince(file).value_or("").find("it changed while it was being read"),
              std::string::npos);
    const platform::FileIdentity beforeSwap(file);
    std::filesystem::rename(file, dir.path() / "old.dng");
    write("II*\0");
    EXPECT_EQ(beforeSwap.changedSince(file),
              "it was replaced by another file while it was being read.");
    const platform::FileIdentity beforeGone(file);
    std::filesystem::remove(file);
    EXPECT_EQ(beforeGone.changedSince(file),
              "it vanished while it was being read: it was moved or deleted.");
    EXPECT_EQ(platform::FileIdentity(file).changedSince(file), std::nullopt);
}

}  // namespace
