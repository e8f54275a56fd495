// Raw thumbnails: the box filter against hand sums, a real DNG fitted into
// 128 as 8-bit sRGB, files the decoder refuses left to the next provider, and
// the cache key that changes when a file is replaced.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "document/FSNodeInfo.h"
#include "document/RawThumbnailProvider.h"
#include "support/TestSupport.h"

namespace fs = std::filesystem;

TEST(RawThumbnailProvider, BoxFilterAveragesEachBlock) {
    // 4 x 2 pixels into 2 x 1: each output is the mean of a 2 x 2 block.
    const uint16_t rgb[] = {0,   0,   0,   100, 200, 300,  10, 10, 10, 20, 20, 20,
                            300, 200, 100, 0,   0,   1001, 30, 30, 30, 40, 40, 41};
    auto out = RawThumbnailProvider::fitRGB16(rgb, 4, 2, 2, 1);
    ASSERT_EQ(out.size(), 8u);
    EXPECT_EQ(out[0], 100);  // (0+100+300+0)/4
    EXPECT_EQ(out[1], 100);
    EXPECT_EQ(out[2], 350);  // (0+300+100+1001)/4 = 350.25
    EXPECT_EQ(out[3], 65535);
    EXPECT_EQ(out[4], 25);
    EXPECT_EQ(out[6], 25);  // (10+20+30+41)/4 = 25.25
}

TEST(RawThumbnailProvider, FitsARealDngAndLeavesOtherFiles) {
    RawThumbnailProvider provider;
    const fs::path dng =
        testsupport::testdataDir() / "raw/dng/rpi-1920x1200_10bit-packed_single-tile.dng";
    auto image = provider.thumbnailForFile(dng, {128, 128}, false);
    ASSERT_TRUE(image);
    EXPECT_EQ(image->width(), 128u);
    EXPECT_EQ(image->height(), 80u);
    EXPECT_EQ(image->bitsPerComponent(), 8u);
    EXPECT_EQ(image->alphaInfo(), platform::kBitmapAlphaLast);
    // Not a flat picture: the scene has light and dark parts.
    const uint8_t* p = image->dataProvider()->bytes();
    int lo = 255, hi = 0;
    for (size_t i = 0; i < 128 * 80; ++i) {
        lo = std::min<int>(lo, p[i * 4 + 1]);
        hi = std::max<int>(hi, p[i * 4 + 1]);
        ASSERT_EQ(p[i * 4 + 3], 255);
    }
    EXPECT_GT(hi - lo, 100);

    testsupport::ScratchDir scratch;
    std::ofstream(scratch.path() / "broken.nef") << "not a raw file";
    std::ofstream(scratch.path() / "x.jpg") << "jpeg";
    EXPECT_FALSE(provider.thumbnailForFile(scratch.path() / "broken.nef", {128, 128}, false));
    EXPECT_FALSE(provider.thumbnailForFile(scratch.path() / "x.jpg", {128, 128}, false));
}

TEST(RawThumbnailProvider, ReplacedFileGetsANewCacheKey) {
    testsupport::ScratchDir scratch;
    const fs::path file = scratch.path() / "a.jpg";
    std::ofstream(file) << "first";
    auto before = FSNodeInfo::initWithURL(file, {});
    std::ofstream(file) << "second, longer";
    auto after = FSNodeInfo::initWithURL(file, {});
    EXPECT_EQ(before->imageUID(), after->imageUID());
    EXPECT_NE(before->thumbnailKey(), after->thumbnailKey());
}
