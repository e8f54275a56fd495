// The browser's pictures of Photo CD files come from the Photo CD source
// once the document controller has started.
#include <gtest/gtest.h>

#include "document/DocumentController.h"
#include "document/DocumentTestHome.h"
#include "document/PhotoCDThumbnailProvider.h"
#include "document/ThumbnailProvider.h"
#include "platform/Dispatch.h"
#include "support/TestSupport.h"

namespace {

namespace fs = std::filesystem;

TEST(PhotoCDThumbnails, ProviderAnswersPcdFilesOnly) {
    DocumentTestHome home;
    const fs::path portrait = testsupport::testdataDir() / "pcd" / "IMG0010.PCD";
    PhotoCDThumbnailProvider provider;
    auto image = provider.thumbnailForFile(portrait, {64, 64}, false);
    ASSERT_TRUE(image);
    EXPECT_EQ(image->width(), 128u);
    EXPECT_EQ(image->height(), 192u);
    EXPECT_EQ(image->bitsPerComponent(), 16u);
    EXPECT_FALSE(provider.thumbnailForFile(home.path() / "missing.pcd", {64, 64}, false));
    EXPECT_FALSE(provider.thumbnailForFile(
        testsupport::testdataDir() / "pcd" / "reference" / "kodim10.png", {64, 64}, false));

    // Registered by the document controller, asked before the image reader.
    DocumentController::sharedDocumentController();
    const fs::path landscape = testsupport::testdataDir() / "pcd" / "IMG0023.PCD";
    auto viaRegistry = ThumbnailProvider::thumbnail(landscape, {256, 256}, false);
    ASSERT_TRUE(viaRegistry);
    EXPECT_EQ(viaRegistry->width(), 192u);
    EXPECT_EQ(viaRegistry->height(), 128u);
}

// A pipe named like a pack (or a raw file) gets no picture, and the
// thumbnail queue, which makes one picture at a time, goes on to the next file.
TEST(PhotoCDThumbnails, PipeNamedLikeAPackNeverBlocksTheQueue) {
    DocumentTestHome home;
    DocumentController::sharedDocumentController();
    for (const char* name : {"IMG0001.PCD", "IMG_0001.dng"}) {
        const fs::path pipe = home.path() / "PHOTOS" / name;
        ASSERT_TRUE(testsupport::makeFifo(pipe));
        auto queue = platform::DispatchQueue::createSerial("thumbnails");
        std::shared_ptr<const platform::BitmapImage> fromPipe, next;
        EXPECT_TRUE(testsupport::finishesWithoutBlocking(pipe, [&] {
            queue->sync([&] { fromPipe = ThumbnailProvider::thumbnail(pipe, {128, 128}, false); });
            queue->sync([&] {
                next = ThumbnailProvider::thumbnail(
                    testsupport::testdataDir() / "pcd" / "IMG0023.PCD", {128, 128}, false);
            });
        })) << name;
        EXPECT_FALSE(fromPipe) << name;
        EXPECT_TRUE(next) << name;
    }
}

}  // namespace
