#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "dng/core/dng_exception.h"
#include "dng/core/dng_ifd.h"
#include "dng/core/dng_tag_codes.h"
#include "dng/image/dng_mosaic_info.h"
#include "dng/writer/WriterTestSupport.h"
#include "dng/writer/dng_basic_tag_set.h"
#include "dng/writer/dng_cfa_tag_set.h"
#include "dng/writer/dng_tiff_directory.h"

using writertest::Bytes;
using writertest::FindTag;
using writertest::StreamBytes;

namespace {

Bytes PutDirectory(const dng_tiff_directory& dir, bool bigEndian, uint32 startPosition = 0,
                   dng_tiff_directory::OffsetsBase base = dng_tiff_directory::offsetsRelativeToIFD,
                   uint32 explicitBase = 0) {
    dng_memory_stream stream(gDefaultDNGMemoryAllocator);
    stream.SetBigEndian(bigEndian);
    stream.WriteZeros(startPosition);
    dir.Put(stream, base, explicitBase);
    Bytes all = StreamBytes(stream);
    return Bytes(all.begin() + startPosition, all.end());
}

std::vector<uint32> Codes(const dng_tiff_directory& dir) {
    std::vector<uint32> codes;
    for (uint32 i = 0; i < dir.EntryCount(); i++) codes.push_back(dir.Entry(i)->Code());
    return codes;
}

}  // namespace

TEST(TiffDirectory, KeepsEntriesSortedAndEqualCodesInOrderOfAddition) {
    tag_uint16 a(258), b(256), c(257);
    tag_uint16 xmpA(700, 1), xmpB(700, 2);
    dng_tiff_directory dir;
    dir.Add(&a);
    dir.Add(&xmpA);
    dir.Add(&b);
    dir.Add(&xmpB);
    EXPECT_EQ(dir.Add(&c), 5u);
    EXPECT_EQ(Codes(dir), (std::vector<uint32>{256, 257, 258, 700, 700}));
    EXPECT_EQ(dir.Entry(3), &xmpA);
    EXPECT_EQ(dir.Entry(4), &xmpB);
}

TEST(TiffDirectory, RefusesTheHundredAndFirstEntry) {
    std::vector<std::unique_ptr<tag_uint16>> tags;
    dng_tiff_directory dir;
    for (uint32 i = 0; i < 100; i++) {
        tags.push_back(std::make_unique<tag_uint16>(static_cast<uint16>(i)));
        dir.Add(tags.back().get());
    }
    tag_uint16 extra(5);
    try {
        dir.Add(&extra);
        FAIL() << "no exception";
    } catch (const dng_exception& e) {
        EXPECT_EQ(e.ErrorCode(), dng_error_unknown);
    }
    EXPECT_EQ(dir.EntryCount(), 100u);
}

TEST(TiffDirectory, EmptyDirectoryHasNoSizeAndWritesNothing) {
    dng_tiff_directory dir;
    EXPECT_EQ(dir.Size(), 0u);
    EXPECT_TRUE(PutDirectory(dir, false).empty());
}

TEST(TiffDirectory, WritesEntriesInPlaceOrOutOfLineInBothByteOrders) {
    const uint32 longs[3] = {1, 2, 0x01020304};
    tag_uint16 shortTag(256, 0x0102);
    tag_uint32_ptr longTag(257, longs, 3);
    dng_tiff_directory dir;
    dir.Add(&longTag);
    dir.Add(&shortTag);
    dir.SetChained(0x11223344);
    ASSERT_EQ(dir.Size(), 42u);

    const Bytes little = {2,    0,                                               // count
                          0x00, 0x01, 3,    0,    1, 0, 0, 0, 0x02, 0x01, 0, 0,  // in place, padded
                          0x01, 0x01, 4,    0,    3, 0, 0, 0, 30,   0,    0, 0,  // offset 30
                          0x44, 0x33, 0x22, 0x11,                                // next directory
                          1,    0,    0,    0,    2, 0, 0, 0, 4,    3,    2, 1};
    const Bytes big = {0,    2,                                                //
                       0x01, 0x00, 0,    3,    0, 0, 0, 1, 0x01, 0x02, 0, 0,   //
                       0x01, 0x01, 0,    4,    0, 0, 0, 3, 0,    0,    0, 30,  //
                       0x11, 0x22, 0x33, 0x44,                                 //
                       0,    0,    0,    1,    0, 0, 0, 2, 1,    2,    3, 4};
    EXPECT_EQ(PutDirectory(dir, false), little);
    EXPECT_EQ(PutDirectory(dir, true), big);
}

TEST(TiffDirectory, OddValuesArePaddedAndOffsetsFollowTheBaseMode) {
    tag_string five(270, dng_string("abcd"));  // 5 bytes: out of line
    tag_string three(271, dng_string("ab"));   // 3 bytes: in place
    tag_uint16 after(272, 7);
    tag_string seven(273, dng_string("abcdef"));
    dng_tiff_directory dir;
    dir.Add(&five);
    dir.Add(&three);
    dir.Add(&after);
    dir.Add(&seven);
    EXPECT_EQ(dir.Size(), 2u + 48 + 4 + 6 + 8);

    const Bytes bytes = PutDirectory(dir, false);
    ASSERT_EQ(bytes.size(), dir.Size());
    // In-place three-byte string with one zero pad byte.
    EXPECT_EQ(Bytes(bytes.begin() + 2 + 12 + 8, bytes.begin() + 2 + 12 + 12),
              (Bytes{'a', 'b', 0, 0}));
    // Out of line: "abcd\0" + pad, then "abcdef\0" + pad.
    EXPECT_EQ(Bytes(bytes.begin() + 54, bytes.end()),
              (Bytes{'a', 'b', 'c', 'd', 0, 0, 'a', 'b', 'c', 'd', 'e', 'f', 0, 0}));
    // First value at 54, the second 6 bytes later.
    EXPECT_EQ(bytes[2 + 8], 54);
    EXPECT_EQ(bytes[2 + 36 + 8], 60);

    // Mode 0 adds the stream position, mode 1 the caller's base.
    const Bytes atStream =
        PutDirectory(dir, false, 100, dng_tiff_directory::offsetsRelativeToStream);
    EXPECT_EQ(atStream[2 + 8], 154);
    const Bytes atBase =
        PutDirectory(dir, false, 100, dng_tiff_directory::offsetsRelativeToExplicitBase, 8);
    EXPECT_EQ(atBase[2 + 8], 62);
}

namespace {

dng_ifd StripIFD(uint32 bits) {
    dng_ifd ifd;
    ifd.fImageWidth = 10;
    ifd.fImageLength = 4;
    ifd.fSamplesPerPixel = 3;
    ifd.fBitsPerSample[0] = bits;
    ifd.fPhotometricInterpretation = 2;
    ifd.SetSingleStrip();
    return ifd;
}

}  // namespace

TEST(BasicTagSet, StripLayoutAndFillOrder) {
    for (uint32 bits : {8u, 16u, 12u}) {
        dng_tiff_directory dir;
        dng_basic_tag_set set(dir, StripIFD(bits));
        EXPECT_EQ(FindTag(dir, tcFillOrder) != nullptr, bits == 12) << bits;
        EXPECT_TRUE(FindTag(dir, tcRowsPerStrip));
        EXPECT_TRUE(FindTag(dir, tcStripOffsets));
        EXPECT_TRUE(FindTag(dir, tcStripByteCounts));
        EXPECT_FALSE(FindTag(dir, tcTileWidth));
        EXPECT_FALSE(FindTag(dir, tcTileOffsets));
        EXPECT_FALSE(FindTag(dir, tcPredictor));
        EXPECT_FALSE(FindTag(dir, tcExtraSamples));
        EXPECT_FALSE(FindTag(dir, tcSampleFormat));
        ASSERT_TRUE(FindTag(dir, tcBitsPerSample));
        EXPECT_EQ(FindTag(dir, tcBitsPerSample)->Count(), 3u);
        EXPECT_EQ(set.TileCount(), 1u);
        EXPECT_TRUE(set.WritingStrips());
    }
}

TEST(BasicTagSet, TilesOffsetsAndOptionalTags) {
    dng_ifd ifd;
    ifd.fImageWidth = 40;
    ifd.fImageLength = 20;
    ifd.fSamplesPerPixel = 4;
    ifd.fBitsPerSample[0] = 16;
    ifd.fPhotometricInterpretation = 2;
    ifd.fCompression = 8;
    ifd.fPredictor = 3;
    ifd.fSampleFormat[0] = ifd.fSampleFormat[1] = ifd.fSampleFormat[2] = ifd.fSampleFormat[3] = 3;
    ifd.fExtraSamplesCount = 7;  // more than the planes: clamped to four
    ifd.fExtraSamples[0] = 1;
    ifd.fUsesTiles = true;
    ifd.fTileWidth = 16;
    ifd.fTileLength = 16;
    ifd.fSubTileBlockRows = 2;

    dng_tiff_directory dir;
    dng_basic_tag_set set(dir, ifd);
    ASSERT_EQ(set.TileCount(), 6u);
    for (uint32 i = 0; i < 6; i++) {
        set.SetTileOffset(i, 1000 + i);
        set.SetTileByteCount(i, 10 * i);
    }
    EXPECT_TRUE(FindTag(dir, tcTileWidth));
    EXPECT_TRUE(FindTag(dir, tcTileLength));
    EXPECT_FALSE(FindTag(dir, tcRowsPerStrip));
    EXPECT_EQ(FindTag(dir, tcTileOffsets)->Count(), 6u);
    EXPECT_EQ(FindTag(dir, tcExtraSamples)->Count(), 4u);
    EXPECT_EQ(FindTag(dir, tcSampleFormat)->Count(), 4u);
    EXPECT_TRUE(FindTag(dir, tcPredictor));
    EXPECT_TRUE(FindTag(dir, tcSubTileBlockSize));
    EXPECT_FALSE(FindTag(dir, tcRowInterleaveFactor));

    const Bytes counts = writertest::PutBytes(*FindTag(dir, tcTileByteCounts), true);
    EXPECT_EQ(counts,
              (Bytes{0, 0, 0, 0, 0, 0, 0, 10, 0, 0, 0, 20, 0, 0, 0, 30, 0, 0, 0, 40, 0, 0, 0, 50}));

    ifd.fSamplesPerPixel = 5;
    dng_tiff_directory other;
    EXPECT_THROW(dng_basic_tag_set(other, ifd), dng_exception);
}

TEST(CFATagSet, BayerPatternRowByRowWithGreenSplit) {
    dng_mosaic_info info;
    dng_tiff_directory none;
    dng_cfa_tag_set empty(none, info);
    EXPECT_EQ(none.EntryCount(), 0u);

    info.fCFAPatternSize = dng_point(2, 2);
    info.fCFAPattern[0][0] = 1;
    info.fCFAPattern[0][1] = 0;
    info.fCFAPattern[1][0] = 2;
    info.fCFAPattern[1][1] = 1;
    info.fColorPlanes = 3;
    info.fCFAPlaneColor[0] = 0;
    info.fCFAPlaneColor[1] = 1;
    info.fCFAPlaneColor[2] = 2;
    info.fBayerGreenSplit = 300;
    dng_tiff_directory dir;
    dng_cfa_tag_set set(dir, info);
    EXPECT_EQ(writertest::PutBytes(*FindTag(dir, tcCFAPattern), true), (Bytes{1, 0, 2, 1}));
    EXPECT_EQ(writertest::PutBytes(*FindTag(dir, tcCFARepeatPatternDim), true),
              (Bytes{0, 2, 0, 2}));
    EXPECT_EQ(FindTag(dir, tcCFAPlaneColor)->Count(), 3u);
    EXPECT_TRUE(FindTag(dir, tcCFALayout));
    EXPECT_TRUE(FindTag(dir, tcBayerGreenSplit));

    info.fCFAPatternSize = dng_point(2, 4);
    info.fColorPlanes = 4;
    dng_tiff_directory four;
    dng_cfa_tag_set fourColours(four, info);
    EXPECT_FALSE(FindTag(four, tcBayerGreenSplit));
    EXPECT_EQ(FindTag(four, tcCFAPattern)->Count(), 8u);
}
