#include <gtest/gtest.h>

#include "dng/core/dng_exception.h"
#include "dng/core/dng_tag_codes.h"
#include "dng/writer/WriterTestSupport.h"
#include "dng/writer/tiff_tag.h"

using writertest::Bytes;
using writertest::PutBytes;

namespace {

struct Golden {
    Bytes little;
    Bytes big;
};

void ExpectBoth(const tiff_tag& tag, const Golden& golden) {
    EXPECT_EQ(PutBytes(tag, false), golden.little);
    EXPECT_EQ(PutBytes(tag, true), golden.big);
    EXPECT_EQ(tag.Size(), golden.little.size());
}

}  // namespace

TEST(TiffTag, NumericValuesAreSwappedPerElementOnlyForBigEndianStreams) {
    ExpectBoth(tag_uint8(1, 0xAB), {{0xAB}, {0xAB}});
    ExpectBoth(tag_uint16(1, 0x1234), {{0x34, 0x12}, {0x12, 0x34}});
    ExpectBoth(tag_uint32(1, 0x01020304), {{4, 3, 2, 1}, {1, 2, 3, 4}});

    const uint16 shorts[3] = {0x0102, 0x0304, 0x0506};
    tag_uint16_ptr shortArray(1, shorts, 3);
    ExpectBoth(shortArray, {{2, 1, 4, 3, 6, 5}, {1, 2, 3, 4, 5, 6}});
    EXPECT_EQ(shortArray.Type(), ttShort);
    EXPECT_EQ(shortArray.Count(), 3u);

    const uint32 longs[2] = {0x01020304, 0x0A0B0C0D};
    ExpectBoth(tag_uint32_ptr(1, longs, 2),
               {{4, 3, 2, 1, 0x0D, 0x0C, 0x0B, 0x0A}, {1, 2, 3, 4, 0x0A, 0x0B, 0x0C, 0x0D}});

    ExpectBoth(tag_real64(1, 1.0),
               {{0, 0, 0, 0, 0, 0, 0xF0, 0x3F}, {0x3F, 0xF0, 0, 0, 0, 0, 0, 0}});

    const real32 floats[1] = {1.0f};
    ExpectBoth(tag_data_ptr(1, ttFloat, 1, floats), {{0, 0, 0x80, 0x3F}, {0x3F, 0x80, 0, 0}});
}

TEST(TiffTag, RationalsAreTwoSeparatelySwappedHalvesNumeratorFirst) {
    ExpectBoth(tag_urational(1, dng_urational(1, 2)),
               {{1, 0, 0, 0, 2, 0, 0, 0}, {0, 0, 0, 1, 0, 0, 0, 2}});
    ExpectBoth(tag_srational(1, dng_srational(-1, 3)),
               {{0xFF, 0xFF, 0xFF, 0xFF, 3, 0, 0, 0}, {0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 3}});

    const dng_urational values[2] = {dng_urational(1, 2), dng_urational(0x01020304, 5)};
    tag_urational_ptr array(1, values, 2);
    EXPECT_EQ(array.Size(), 16u);
    EXPECT_EQ(PutBytes(array, true), (Bytes{0, 0, 0, 1, 0, 0, 0, 2, 1, 2, 3, 4, 0, 0, 0, 5}));
}

TEST(TiffTag, ByteTypesAreNeverSwapped) {
    const uint8 bytes[4] = {1, 2, 3, 4};
    for (uint16 type : {ttByte, ttAscii, ttSByte, ttUndefined}) {
        ExpectBoth(tag_data_ptr(1, type, 4, bytes), {{1, 2, 3, 4}, {1, 2, 3, 4}});
    }
}

TEST(TiffTag, StringsCarryTheirTerminatorAndKeepUTF8Bytes) {
    tag_string abc(tcMake, dng_string("abc"));
    EXPECT_EQ(abc.Type(), ttAscii);
    EXPECT_EQ(abc.Count(), 4u);
    ExpectBoth(abc, {{'a', 'b', 'c', 0}, {'a', 'b', 'c', 0}});

    tag_string empty(tcMake, dng_string());
    EXPECT_EQ(empty.Count(), 1u);
    ExpectBoth(empty, {{0}, {0}});

    const dng_string eAcute("\xC3\xA9");
    tag_string asBytes(tcMake, eAcute, false);
    EXPECT_EQ(asBytes.Type(), ttByte);
    tag_string forced(tcMake, eAcute, true);
    EXPECT_EQ(forced.Type(), ttAscii);
    for (const tag_string* tag : {&asBytes, &forced}) {
        EXPECT_EQ(tag->Count(), 3u);
        ExpectBoth(*tag, {{0xC3, 0xA9, 0}, {0xC3, 0xA9, 0}});
    }
}

TEST(TiffTag, EncodedTextIsASCIIOrUTF16InTheStreamOrder) {
    tag_encoded_text ascii(tcUserComment, dng_string("abc"));
    EXPECT_EQ(ascii.Type(), ttUndefined);
    EXPECT_EQ(ascii.Count(), 11u);
    const Bytes asciiBytes{'A', 'S', 'C', 'I', 'I', 0, 0, 0, 'a', 'b', 'c'};
    ExpectBoth(ascii, {asciiBytes, asciiBytes});

    tag_encoded_text unicode(tcUserComment, dng_string("\xC3\xA9"));
    EXPECT_EQ(unicode.Count(), 10u);
    ExpectBoth(unicode, {{'U', 'N', 'I', 'C', 'O', 'D', 'E', 0, 0xE9, 0x00},
                         {'U', 'N', 'I', 'C', 'O', 'D', 'E', 0, 0x00, 0xE9}});
}

TEST(TiffTag, IPTCIsPaddedToWholeLongsAndNotSwapped) {
    const uint8 data[5] = {1, 2, 3, 4, 5};
    tag_iptc iptc(data, 5);
    EXPECT_EQ(iptc.Code(), 33723);
    EXPECT_EQ(iptc.Type(), ttLong);
    EXPECT_EQ(iptc.Count(), 2u);
    ExpectBoth(iptc, {{1, 2, 3, 4, 5, 0, 0, 0}, {1, 2, 3, 4, 5, 0, 0, 0}});

    tag_iptc none(nullptr, 7);
    EXPECT_EQ(none.Count(), 0u);
}

TEST(TiffTag, MatrixEntriesAreRationalsOverTenThousandRoundedAwayFromZero) {
    dng_matrix identity;
    identity.SetIdentity(3);
    tag_matrix tag(tcColorMatrix1, identity);
    EXPECT_EQ(tag.Type(), ttSRational);
    ASSERT_EQ(tag.Count(), 9u);
    for (uint32 i = 0; i < 9; i++) {
        EXPECT_EQ(tag.Entry(i), dng_srational(i % 4 == 0 ? 10000 : 0, 10000)) << i;
    }

    dng_matrix m(2, 3);
    m[0][0] = -0.00005;
    m[0][1] = 0.00005;
    m[1][2] = -1.23456;
    tag_matrix rounded(tcColorMatrix1, m);
    EXPECT_EQ(rounded.Count(), 6u);
    EXPECT_EQ(rounded.Entry(0), dng_srational(-1, 10000));
    EXPECT_EQ(rounded.Entry(1), dng_srational(1, 10000));
    EXPECT_EQ(rounded.Entry(5), dng_srational(-12346, 10000));
    // Entries beyond the matrix stay zero.
    EXPECT_EQ(rounded.Entry(6), dng_srational(0, 0));
}

TEST(TiffTag, CFAPatternHasRowsThenColumnsThenColoursInRasterOrder) {
    uint8 pattern[8][8] = {};
    pattern[0][0] = 0;
    pattern[0][1] = 1;
    pattern[1][0] = 2;
    pattern[1][1] = 1;
    tag_cfa_pattern square(tcCFAPatternExif, 2, 2, &pattern[0][0]);
    EXPECT_EQ(square.Count(), 8u);
    ExpectBoth(square, {{2, 0, 2, 0, 0, 1, 2, 1}, {0, 2, 0, 2, 0, 1, 2, 1}});

    // Two rows of three columns: the header tells rows from columns.
    uint8 wide[8][8] = {{0, 1, 2}, {1, 2, 0}};
    tag_cfa_pattern rect(tcCFAPatternExif, 2, 3, &wide[0][0]);
    EXPECT_EQ(rect.Count(), 10u);
    EXPECT_EQ(PutBytes(rect, true), (Bytes{0, 2, 0, 3, 0, 1, 2, 1, 2, 0}));

    EXPECT_THROW(tag_cfa_pattern(tcCFAPatternExif, 9, 2, &pattern[0][0]), dng_exception);
    EXPECT_THROW(tag_cfa_pattern(tcCFAPatternExif, 0, 2, &pattern[0][0]), dng_exception);
}

TEST(TiffTag, ICCProfileAndDateTime) {
    tag_icc_profile none(nullptr, 10);
    EXPECT_EQ(none.Count(), 0u);
    EXPECT_EQ(none.Code(), 34675);
    const uint8 profile[3] = {9, 8, 7};
    tag_icc_profile empty(profile, 0);
    EXPECT_EQ(empty.Count(), 0u);
    tag_icc_profile some(profile, 3);
    EXPECT_EQ(some.Type(), ttUndefined);
    ExpectBoth(some, {{9, 8, 7}, {9, 8, 7}});

    tag_exif_date_time dt(tcDateTime, dng_date_time(2024, 2, 29, 7, 5, 9));
    EXPECT_EQ(dt.Count(), 20u);
    const Bytes text = PutBytes(dt, true);
    EXPECT_EQ(std::string(text.begin(), text.end()), std::string("2024:02:29 07:05:09\0", 20));
}

TEST(TiffTag, XMPOwnsItsPacket) {
    tag_xmp none(nullptr);
    EXPECT_EQ(none.Code(), tcXMP);
    EXPECT_EQ(none.Count(), 0u);
    EXPECT_EQ(tag_xmp(gDefaultDNGMemoryAllocator.Allocate(0)).Count(), 0u);

    auto packet = gDefaultDNGMemoryAllocator.Allocate(3);
    packet->Buffer_uint8()[0] = '<';
    packet->Buffer_uint8()[1] = 'x';
    packet->Buffer_uint8()[2] = '>';
    tag_xmp xmp(std::move(packet));
    EXPECT_EQ(xmp.Type(), ttByte);
    ExpectBoth(xmp, {{'<', 'x', '>'}, {'<', 'x', '>'}});
}
