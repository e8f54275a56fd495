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

}  // namespace
