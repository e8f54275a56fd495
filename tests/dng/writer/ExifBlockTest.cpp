#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <span>

#include "dng/core/dng_exception.h"
#include "dng/core/dng_host.h"
#include "dng/core/dng_tag_codes.h"
#include "dng/image/dng_metadata.h"
#include "dng/writer/ExifTestRecord.h"
#include "dng/writer/WriterTestSupport.h"
#include "dng/writer/dng_exif_block.h"
#include "platform/JpegWriter.h"
#include "support/TestSupport.h"

using writertest::Bytes;
using writertest::ExifToolValue;
using writertest::RunCommand;
using writertest::ToolAvailable;

namespace {

Bytes ToBytes(const dng_memory_block& block) {
    return Bytes(block.Buffer_uint8(), block.Buffer_uint8() + block.LogicalSize());
}

uint32 Get32(const Bytes& b, size_t at, bool big) {
    return big ? (uint32(b[at]) << 24 | uint32(b[at + 1]) << 16 | uint32(b[at + 2]) << 8 |
                  b[at + 3])
               : (uint32(b[at + 3]) << 24 | uint32(b[at + 2]) << 16 | uint32(b[at + 1]) << 8 |
                  b[at]);
}

uint16 Get16(const Bytes& b, size_t at, bool big) {
    return static_cast<uint16>(big ? (b[at] << 8 | b[at + 1]) : (b[at + 1] << 8 | b[at]));
}

// The value or offset field of the entry with the given tag in the
// directory at offset.
bool FindEntry(const Bytes& b, uint32 offset, uint16 code, bool big, uint32& value) {
    const uint16 count = Get16(b, offset, big);
    for (uint32 i = 0; i < count; i++) {
        const size_t entry = offset + 2 + 12 * i;
        if (Get16(b, entry, big) == code) {
            value = Get32(b, entry + 8, big);
            return true;
        }
    }
    return false;
}

Bytes SmallJPEG(const std::string& path) {
    const uint8 rgb[16 * 8 * 3] = {};
    EXPECT_TRUE(platform::writeJPEG(rgb, 16, 8, 80, {}, {}, path));
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

}  // namespace

TEST(ExifBlock, EmptyMainDirectoryGivesAnEmptyBlock) {
    auto block = BuildExifBlock(gDefaultDNGMemoryAllocator, dng_exif());
    ASSERT_TRUE(block);
    EXPECT_EQ(block->LogicalSize(), 0u);

    // A record with only EXIF-directory fields still has the link in IFD 0.
    dng_exif exif;
    exif.fExposureTime = dng_urational(1, 100);
    auto linked = BuildExifBlock(gDefaultDNGMemoryAllocator, exif);
    const Bytes b = ToBytes(*linked);
    uint32 exifOffset = 0;
    ASSERT_GT(b.size(), 8u);
    ASSERT_TRUE(FindEntry(b, 8, tcExifIFD, false, exifOffset));
    uint32 value = 0;
    EXPECT_TRUE(FindEntry(b, exifOffset, tcExposureTime, false, value));
}

TEST(ExifBlock, LayoutInBothByteOrders) {
    const dng_exif exif = writertest::FullExifRecord();
    dng_resolution_info resolution;
    resolution.fXResolution = dng_urational(300, 1);
    resolution.fYResolution = dng_urational(300, 1);
    resolution.fResolutionUnit = 2;
    const uint8 iptc[5] = {0x1C, 2, 0, 0, 0};
    const uint8 thumbnail[7] = {0xFF, 0xD8, 1, 2, 3, 0xFF, 0xD9};

    for (bool big : {false, true}) {
        SCOPED_TRACE(big ? "big-endian" : "little-endian");
        dng_exif_block_options options;
        options.resolution = &resolution;
        options.includeIPTC = true;
        options.iptcData = iptc;
        options.iptcLength = 5;
        options.thumbnailData = thumbnail;
        options.thumbnailLength = 7;
        options.bigEndian = big;
        options.orientation = 6;
        options.yCbCrPositioning = 2;
        const Bytes b = ToBytes(*BuildExifBlock(gDefaultDNGMemoryAllocator, exif, options));
        ASSERT_GT(b.size(), 8u);
        EXPECT_EQ(Bytes(b.begin(), b.begin() + 4),
                  big ? (Bytes{'M', 'M', 0, 42}) : (Bytes{'I', 'I', 42, 0}));
        ASSERT_EQ(Get32(b, 4, big), 8u);

        uint32 value = 0;
        EXPECT_TRUE(FindEntry(b, 8, tcXResolution, big, value));
        EXPECT_TRUE(FindEntry(b, 8, tcResolutionUnit, big, value));
        EXPECT_TRUE(FindEntry(b, 8, tcIPTC_NAA, big, value));
        // SHORT values sit in the first half of the value field.
        ASSERT_TRUE(FindEntry(b, 8, tcOrientation, big, value));
        EXPECT_EQ(big ? value >> 16 : value & 0xFFFF, 6u);
        ASSERT_TRUE(FindEntry(b, 8, tcYCbCrPositioning, big, value));
        EXPECT_EQ(big ? value >> 16 : value & 0xFFFF, 2u);
        ASSERT_TRUE(FindEntry(b, 8, tcExifIFD, big, value));
        const uint32 exifOffset = value;
        ASSERT_TRUE(FindEntry(b, 8, tcGPSInfo, big, value));
        const uint32 gpsOffset = value;
        EXPECT_TRUE(FindEntry(b, exifOffset, tcExposureTime, big, value));
        EXPECT_TRUE(FindEntry(b, gpsOffset, tcGPSLatitude, big, value));
        EXPECT_LT(exifOffset, gpsOffset);

        // IFD 0 chains to IFD 1, which points at the thumbnail at the end.
        const uint32 ifd0Entries = Get16(b, 8, big);
        const uint32 ifd1 = Get32(b, 8 + 2 + 12 * ifd0Entries, big);
        ASSERT_GT(ifd1, gpsOffset);
        ASSERT_TRUE(FindEntry(b, ifd1, tcCompression, big, value));
        EXPECT_EQ(big ? value >> 16 : value & 0xFFFF, 6u);
        ASSERT_TRUE(FindEntry(b, ifd1, tcJPEGInterchangeFormat, big, value));
        EXPECT_EQ(value, b.size() - 7);
        ASSERT_TRUE(FindEntry(b, ifd1, tcJPEGInterchangeFormatLength, big, value));
        EXPECT_EQ(value, 7u);
        EXPECT_EQ(Bytes(b.end() - 7, b.end()), Bytes(thumbnail, thumbnail + 7));
    }
}

TEST(ExifBlock, JpegWithTheBlockReadsBackInExifTool) {
    if (!ToolAvailable("exiftool")) GTEST_SKIP() << "exiftool not installed";
    testsupport::ScratchDir scratch;
    const std::string thumbPath = (scratch.path() / "thumb.jpg").string();
    const Bytes thumbnail = SmallJPEG(thumbPath);
    ASSERT_FALSE(thumbnail.empty());

    dng_exif exif = writertest::FullExifRecord();
    exif.fComponentsConfiguration = 0x01020300;
    exif.fPixelXDimension = 64;
    exif.fPixelYDimension = 48;
    dng_resolution_info resolution;
    resolution.fXResolution = dng_urational(240, 1);
    resolution.fYResolution = dng_urational(240, 1);
    resolution.fResolutionUnit = 2;

    for (bool big : {false, true}) {
        SCOPED_TRACE(big ? "big-endian" : "little-endian");
        dng_exif_block_options options;
        options.resolution = &resolution;
        options.thumbnailData = thumbnail.data();
        options.thumbnailLength = static_cast<uint32>(thumbnail.size());
        options.bigEndian = big;
        options.orientation = 8;
        options.yCbCrPositioning = 1;
        auto block = BuildExifBlock(gDefaultDNGMemoryAllocator, exif, options);

        const std::string path = (scratch.path() / (big ? "mm.jpg" : "ii.jpg")).string();
        std::vector<uint8> rgb(64 * 48 * 3, 90);
        platform::Error error;
        ASSERT_TRUE(platform::writeJPEG(
            rgb.data(), 64, 48, 90,
            std::span<const uint8>(block->Buffer_uint8(), block->LogicalSize()), {}, path, &error))
            << error.description();

        const std::string validate =
            RunCommand("exiftool -validate -warning -a -s3 '" + path + "' 2>&1");
        EXPECT_EQ(validate.find("rror"), std::string::npos) << validate;

        EXPECT_EQ(ExifToolValue(path, "ExifByteOrder", "-n"), big ? "MM" : "II");
        EXPECT_EQ(ExifToolValue(path, "ExposureTime"), "1/250");
        EXPECT_EQ(ExifToolValue(path, "FNumber"), "5.6");
        EXPECT_EQ(ExifToolValue(path, "ISO"), "400");
        EXPECT_EQ(ExifToolValue(path, "DateTimeOriginal"), "2023:06:15 14:30:45");
        EXPECT_EQ(ExifToolValue(path, "CreateDate"), "2023:06:15 15:30:45");
        EXPECT_EQ(ExifToolValue(path, "Model"), "QTC-1");
        EXPECT_EQ(ExifToolValue(path, "LensModel"), "QO 24-70mm F2.8");
        EXPECT_EQ(ExifToolValue(path, "XResolution"), "240");
        EXPECT_EQ(ExifToolValue(path, "Orientation", "-n"), "8");
        EXPECT_EQ(ExifToolValue(path, "YCbCrPositioning", "-n"), "1");
        EXPECT_EQ(ExifToolValue(path, "ComponentsConfiguration", "-n"), "1 2 3 0");
        EXPECT_EQ(ExifToolValue(path, "ExifImageWidth"), "64");
        EXPECT_EQ(ExifToolValue(path, "ExifImageHeight"), "48");
        EXPECT_EQ(ExifToolValue(path, "GPSLatitude", "-n"), "48.8582111111111");
        EXPECT_EQ(ExifToolValue(path, "GPSLongitude", "-n"), "-2.29444444444444");
        EXPECT_EQ(ExifToolValue(path, "GPS:GPSAltitudeRef", "-n"), "1");
        EXPECT_EQ(ExifToolValue(path, "ThumbnailLength"), std::to_string(thumbnail.size()));
        const std::string extracted =
            RunCommand("exiftool -b -ThumbnailImage '" + path + "' 2>/dev/null");
        EXPECT_EQ(Bytes(extracted.begin(), extracted.end()), thumbnail);
    }
}

TEST(ExifBlock, FromMetadataTakesMakerNoteAndIPTCOnlyWhenAllowed) {
    dng_host host;
    dng_metadata metadata(host);
    *metadata.GetExif() = writertest::FullExifRecord();
    auto makerNote = gDefaultDNGMemoryAllocator.Allocate(6);
    std::memset(makerNote->Buffer(), 7, 6);
    metadata.SetMakerNote(std::move(makerNote));
    auto iptc = gDefaultDNGMemoryAllocator.Allocate(5);
    std::memset(iptc->Buffer(), 0x1C, 5);
    metadata.SetIPTC(std::move(iptc));

    for (bool safe : {false, true}) {
        metadata.SetMakerNoteSafety(safe);
        for (bool includeIPTC : {false, true}) {
            const Bytes b = ToBytes(
                *BuildExifBlock(gDefaultDNGMemoryAllocator, metadata, nullptr, includeIPTC));
            uint32 value = 0;
            EXPECT_EQ(FindEntry(b, 8, tcIPTC_NAA, false, value), includeIPTC);
            EXPECT_EQ(FindEntry(b, 8, tcMakerNoteSafety, false, value), safe);
            ASSERT_TRUE(FindEntry(b, 8, tcExifIFD, false, value));
            uint32 note = 0;
            EXPECT_EQ(FindEntry(b, value, tcMakerNote, false, note), safe);
        }
    }
}
