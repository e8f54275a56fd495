// Previews: the list's capacity, the description tags, the JPEG preview's
// data and thumbnail resource, and the raw preview's level tags.
#include <gtest/gtest.h>

#include "dng/core/dng_exception.h"
#include "dng/core/dng_memory_stream.h"
#include "dng/core/dng_tag_codes.h"
#include "dng/writer/ImageWriterTestSupport.h"
#include "dng/writer/dng_preview.h"
#include "dng/writer/dng_tiff_directory.h"

using namespace writertest;

TEST(PreviewList, KeepsTwentyAndLeavesTheTwentyFirstWithItsCreator) {
    dng_preview_list list;
    for (uint32 i = 0; i < 20; i++) {
        std::unique_ptr<dng_preview> p = std::make_unique<dng_jpeg_preview>();
        list.Append(p);
        EXPECT_EQ(p, nullptr);
    }
    std::unique_ptr<dng_preview> extra = std::make_unique<dng_jpeg_preview>();
    list.Append(extra);
    EXPECT_NE(extra, nullptr);
    EXPECT_EQ(list.Count(), 20u);
}

TEST(Preview, DescriptionTagsOnlyWhenSet) {
    dng_image_preview preview;
    preview.fImage = MakePatternImage(10, 8, 1, ttByte);
    {
        dng_tiff_directory dir;
        auto tags = preview.MakeTagSet(dir);
        for (uint32 code : std::vector<uint32>{
                 tcPreviewApplicationName, tcPreviewApplicationVersion, tcPreviewSettingsName,
                 tcPreviewSettingsDigest, tcPreviewColorSpace, tcPreviewDateTime, 51112u, 51114u}) {
            EXPECT_EQ(FindTag(dir, code), nullptr) << code;
        }
    }
    preview.fInfo.fIsPrimary = false;
    preview.fInfo.fApplicationName.Set("Quorvex");
    preview.fInfo.fColorSpace = 2;
    preview.fInfo.fRawToPreviewGain = 2.0;
    preview.fInfo.fCacheVersion = 3;
    dng_tiff_directory dir;
    auto tags = preview.MakeTagSet(dir);
    EXPECT_NE(FindTag(dir, tcPreviewApplicationName), nullptr);
    EXPECT_NE(FindTag(dir, tcPreviewColorSpace), nullptr);
    EXPECT_NE(FindTag(dir, 51112), nullptr);
    EXPECT_NE(FindTag(dir, 51114), nullptr);
    EXPECT_EQ(FindTag(dir, tcPreviewSettingsName), nullptr);
    // Not primary: an alternate preview; one plane: black is zero.
    EXPECT_EQ(PutBytes(*FindTag(dir, tcNewSubFileType), false), (Bytes{0x01, 0, 0x01, 0}));
    EXPECT_EQ(PutBytes(*FindTag(dir, tcPhotometricInterpretation), false), (Bytes{1, 0}));
}

TEST(JpegPreview, OddDataIsPaddedAndTheResourceCountsTheHeader) {
    dng_host host;
    dng_jpeg_preview preview;
    preview.fPreviewSize = dng_point(60, 80);
    preview.fCompressedData = host.Allocate(1001);
    for (uint32 i = 0; i < 1001; i++) preview.fCompressedData->Buffer_uint8()[i] = uint8(i);
    dng_tiff_directory dir;
    auto tags = preview.MakeTagSet(dir);
    // YCbCr: the four colour tags are present.
    EXPECT_NE(FindTag(dir, tcYCbCrCoefficients), nullptr);
    EXPECT_NE(FindTag(dir, tcReferenceBlackWhite), nullptr);

    dng_memory_stream stream(host.Allocator());
    stream.SetWritePosition(6);
    dng_image_writer writer;
    preview.WriteData(host, writer, *tags, stream);
    EXPECT_EQ(stream.Length(), 6u + 1002u);
    EXPECT_EQ(tags->TileOffset(0), 6u);
    EXPECT_EQ(tags->TileByteCount(0), 1001u);

    dng_memory_stream resource(host.Allocator());
    resource.SetBigEndian();
    preview.WriteThumbnailResource(resource);
    const Bytes bytes = StreamBytes(resource);
    ASSERT_EQ(bytes.size(), 40u + 1002u);
    EXPECT_EQ(Bytes(bytes.begin(), bytes.begin() + 12),
              (Bytes{'8', 'B', 'I', 'M', 0x04, 0x0C, 0, 0, 0, 0, 0x04, 0x05}));  // 1029
    // Row bytes of 80 pixels at 24 bits: 240.
    EXPECT_EQ(Bytes(bytes.begin() + 24, bytes.begin() + 28), (Bytes{0, 0, 0, 240}));
}

TEST(RawPreview, BlackLevelTagOnlyWhenALevelIsSet) {
    dng_raw_preview preview;
    preview.fImage = MakePatternImage(16, 16, 3, ttShort);
    {
        dng_tiff_directory dir;
        auto tags = preview.MakeTagSet(dir);
        EXPECT_EQ(FindTag(dir, tcBlackLevel), nullptr);
        EXPECT_EQ(PutBytes(*FindTag(dir, tcCompression), false), (Bytes{0x4C, 0x88}));  // 34892
    }
    preview.fBlackLevel[1] = 0.5;
    dng_tiff_directory dir;
    auto tags = preview.MakeTagSet(dir);
    ASSERT_NE(FindTag(dir, tcBlackLevel), nullptr);
    EXPECT_EQ(FindTag(dir, tcBlackLevel)->Count(), 3u);
    // The lossy JPEG the raw preview asks for is not available here.
    dng_host host;
    dng_memory_stream stream(host.Allocator());
    dng_image_writer writer;
    EXPECT_THROW(preview.WriteData(host, writer, *tags, stream), dng_exception);
}
