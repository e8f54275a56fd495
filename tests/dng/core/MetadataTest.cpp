#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>

#include "dng/core/dng_date_time.h"
#include "dng/core/dng_exif.h"
#include "dng/core/dng_fingerprint.h"
#include "dng/core/dng_host.h"
#include "dng/core/dng_iptc.h"
#include "dng/core/dng_md5_printer.h"
#include "dng/core/dng_memory_allocator.h"

namespace {

std::string Md5Hex(const std::string& text) {
    dng_md5_printer printer;
    printer.Process(text.data(), static_cast<uint32>(text.size()));
    char hex[33];
    printer.Result().ToHexText(hex);
    return hex;
}

TEST(MD5, RFC1321TestSuite) {
    EXPECT_EQ(Md5Hex(""), "D41D8CD98F00B204E9800998ECF8427E");
    EXPECT_EQ(Md5Hex("a"), "0CC175B9C0F1B6A831C399E269772661");
    EXPECT_EQ(Md5Hex("abc"), "900150983CD24FB0D6963F7D28E17F72");
    EXPECT_EQ(Md5Hex("message digest"), "F96B697D7CB7938D525A2F31AAF161D0");
    EXPECT_EQ(Md5Hex("abcdefghijklmnopqrstuvwxyz"), "C3FCD3D76192E4007DFB496CCA67E13B");
    EXPECT_EQ(Md5Hex("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"),
              "D174AB98D277D9F5A5611C2C9F419D9F");
    EXPECT_EQ(Md5Hex("1234567890123456789012345678901234567890123456789012345678901234567890123"
                     "4567890"),
              "57EDF4A22BE3C955AC49DA2E2107B67A");
}

TEST(MD5, PiecewiseInputAndStreamMatchOneShot) {
    std::string data(100000, '\0');
    for (size_t i = 0; i < data.size(); i++) data[i] = static_cast<char>(i * 31 + 7);
    dng_md5_printer whole;
    whole.Process(data.data(), static_cast<uint32>(data.size()));
    const dng_fingerprint expected = whole.Result();
    EXPECT_EQ(whole.Result(), expected);

    dng_md5_printer pieces;
    pieces.Process(nullptr, 0);
    size_t at = 0;
    for (uint32 n = 1; at < data.size(); n = n * 3 % 97 + 1) {
        const uint32 take = static_cast<uint32>(std::min<size_t>(n, data.size() - at));
        pieces.Process(data.data() + at, take);
        at += take;
    }
    EXPECT_EQ(pieces.Result(), expected);

    dng_md5_printer_stream stream;
    stream.WriteBytes(data.data(), 5000);
    stream.WriteBytes(data.data() + 5000, 95000);
    EXPECT_EQ(stream.Result(), expected);
}

TEST(Fingerprint, HexText) {
    dng_fingerprint f;
    EXPECT_TRUE(f.IsNull());
    ASSERT_TRUE(f.FromHexText("00112233445566778899aabbccddeeFF"));
    EXPECT_FALSE(f.IsNull());
    EXPECT_EQ(f.data[15], 0xFF);
    char hex[33];
    f.ToHexText(hex);
    EXPECT_STREQ(hex, "00112233445566778899AABBCCDDEEFF");
    dng_fingerprint g = f;
    EXPECT_FALSE(g.FromHexText("00112233445566778899AABBCCDDEEFG"));
    EXPECT_EQ(g, f);
    EXPECT_FALSE(g.FromHexText("0011"));
}

TEST(DateTime, ParseAndValidity) {
    dng_date_time dt;
    EXPECT_FALSE(dt.IsValid());
    EXPECT_TRUE(dt.Parse("2024:02:29 13:45:09"));
    EXPECT_EQ(dt, dng_date_time(2024, 2, 29, 13, 45, 9));
    EXPECT_FALSE(dt.Parse("2024:13:01 00:00:00"));
    EXPECT_EQ(dt.fMonth, 13u);
    EXPECT_FALSE(dt.Parse("    :  :     :  :  "));
    EXPECT_FALSE(dt.Parse("2024:01:01 24:00:00"));
    EXPECT_FALSE(dt.Parse("99999999999999:01:01 00:00:00"));
}

TEST(DateTime, ISO8601RoundTrips) {
    dng_date_time_info info;
    info.SetDateTime(dng_date_time(2021, 7, 4, 14, 5, 3));
    dng_time_zone zone;
    zone.SetOffsetMinutes(-330);
    info.SetZone(zone);
    info.SetSubseconds(dng_string("25"));
    EXPECT_STREQ(info.EncodeISO8601().Get(), "2021-07-04T14:05:03.25-05:30");
    dng_date_time_info back;
    back.DecodeISO8601(info.EncodeISO8601().Get());
    EXPECT_EQ(back, info);

    back.DecodeISO8601("2021-07-04");
    EXPECT_TRUE(back.IsDateOnly());
    EXPECT_TRUE(back.IsValid());
    EXPECT_STREQ(back.EncodeISO8601().Get(), "2021-07-04");

    back.DecodeISO8601("2021-07-04T14:05Z");
    EXPECT_EQ(back.DateTime(), dng_date_time(2021, 7, 4, 14, 5, 0));
    EXPECT_EQ(back.TimeZone().OffsetMinutes(), 0);
    EXPECT_STREQ(back.EncodeISO8601().Get(), "2021-07-04T14:05:00Z");

    back.DecodeISO8601("2021-07-04T14:05:03+0200");
    EXPECT_EQ(back.TimeZone().OffsetMinutes(), 120);
    back.DecodeISO8601("garbage");
    EXPECT_FALSE(back.IsValid());
    EXPECT_STREQ(back.EncodeISO8601().Get(), "");
    EXPECT_STREQ(info.Encode_EXIF().Get(), "2021:07:04 14:05:03");
}

TEST(DateTime, ZoneOffsets) {
    dng_time_zone zone;
    EXPECT_FALSE(zone.IsValid());
    EXPECT_STREQ(zone.EncodeExifOffset().Get(), "   :  ");
    zone.SetOffsetMinutes(-900);
    EXPECT_TRUE(zone.IsValid());
    EXPECT_STREQ(zone.EncodeExifOffset().Get(), "-15:00");
    zone.SetOffsetMinutes(901);
    EXPECT_FALSE(zone.IsValid());
    zone.SetOffsetSeconds(19800);
    EXPECT_STREQ(zone.EncodeExifOffset().Get(), "+05:30");
    dng_date_time_info now;
    CurrentDateTimeAndZone(now);
    EXPECT_TRUE(now.IsValid());
    EXPECT_TRUE(now.TimeZone().IsValid());
}

TEST(Exif, EmptyRecordUsesAbsentMarkers) {
    dng_exif exif;
    EXPECT_EQ(exif.fExifVersion, 0u);
    EXPECT_EQ(exif.fImageNumber, 0xFFFFFFFFu);
    EXPECT_EQ(exif.fFlash, 0xFFFFFFFFu);
    EXPECT_EQ(exif.fGPSAltitudeRef, 0xFFFFFFFFu);
    EXPECT_EQ(exif.fISOSpeedRatings[0], 0u);
    EXPECT_TRUE(exif.fExposureTime.NotValid());
    EXPECT_TRUE(exif.fImageUniqueID.IsNull());
    EXPECT_TRUE(exif.fDateTimeOriginal.NotValid());
    EXPECT_FALSE(exif.HasLensDistortInfo());
    exif.fMake.Set("X");
    exif.fGPSLatitudeRef.Set("N");
    exif.SetEmpty();
    EXPECT_TRUE(exif.fMake.IsEmpty());
    dng_host host;
    std::unique_ptr<dng_exif> made(host.MakeExif());
    EXPECT_EQ(made->fColorSpace, 0xFFFFFFFFu);
}

TEST(Exif, VersionsAndGPSCopy) {
    dng_exif exif;
    exif.fExifVersion = 0x30323330;
    EXPECT_TRUE(exif.AtLeastVersion0230());
    EXPECT_FALSE(exif.AtLeastVersion0231());
    exif.SetVersion0231();
    EXPECT_TRUE(exif.AtLeastVersion0231());

    dng_exif other;
    other.fGPSLatitudeRef.Set("S");
    other.fGPSLatitude[2] = dng_urational(30, 1);
    other.fGPSAltitudeRef = 1;
    other.fGPSHPositioningError = dng_urational(5, 1);
    other.fMake.Set("not copied");
    exif.CopyGPSFrom(other);
    EXPECT_STREQ(exif.fGPSLatitudeRef.Get(), "S");
    EXPECT_EQ(exif.fGPSLatitude[2], dng_urational(30, 1));
    EXPECT_EQ(exif.fGPSAltitudeRef, 1u);
    EXPECT_EQ(exif.fGPSHPositioningError, dng_urational(5, 1));
    EXPECT_TRUE(exif.fMake.IsEmpty());
    auto clone = other.Clone();
    EXPECT_STREQ(clone->fMake.Get(), "not copied");
}

TEST(Exif, ExposureAndApertureDerivations) {
    dng_exif exif;
    exif.SetExposureTime(1.0 / 250.0);
    EXPECT_EQ(exif.fExposureTime, dng_urational(1, 250));
    EXPECT_NEAR(exif.fShutterSpeedValue.AsReal64(), std::log2(250.0), 1e-5);
    exif.SetExposureTime(0.00398, true);
    EXPECT_EQ(exif.fExposureTime, dng_urational(1, 250));
    exif.SetExposureTime(2.5);
    EXPECT_NEAR(exif.fExposureTime.AsReal64(), 2.5, 1e-9);
    exif.SetExposureTime(0.0);
    EXPECT_TRUE(exif.fExposureTime.NotValid());

    // A shutter speed value fills the time only when none is stored.
    exif.SetShutterSpeedValue(std::log2(60.0));
    EXPECT_EQ(exif.fExposureTime, dng_urational(1, 60));
    exif.SetShutterSpeedValue(1.0);
    EXPECT_EQ(exif.fExposureTime, dng_urational(1, 60));

    exif.SetFNumber(2.8);
    EXPECT_EQ(exif.fFNumber, dng_urational(28, 10));
    EXPECT_NEAR(exif.fApertureValue.AsReal64(), 2.0 * std::log2(2.8), 1e-5);
    exif.SetFNumber(40000);
    EXPECT_TRUE(exif.fFNumber.NotValid());
    EXPECT_TRUE(exif.fApertureValue.NotValid());
    exif.SetApertureValue(6.0);
    EXPECT_NEAR(exif.fFNumber.AsReal64(), 8.0, 1e-9);
    exif.SetApertureValue(2.0);
    EXPECT_NEAR(exif.fFNumber.AsReal64(), 8.0, 1e-9);

    for (auto& r : exif.fLensDistortInfo) r = dng_srational(0, 1);
    EXPECT_TRUE(exif.HasLensDistortInfo());
}

TEST(Iptc, SpoolAndParseRoundTrip) {
    dng_iptc iptc;
    EXPECT_TRUE(iptc.IsEmpty());
    iptc.fTitle.Set("Title");
    iptc.fUrgency = 3;
    iptc.fKeywords.Append(dng_string("one"));
    iptc.fKeywords.Append(dng_string("caf\xC3\xA9"));
    iptc.fAuthors.Append(dng_string("Someone"));
    iptc.fCity.Set("City");
    iptc.fDescription.Set(std::string(3000, 'd').c_str());
    dng_date_time_info created;
    created.SetDateTime(dng_date_time(2020, 1, 2, 3, 4, 5));
    dng_time_zone zone;
    zone.SetOffsetMinutes(60);
    created.SetZone(zone);
    iptc.fDateTimeCreated = created;
    EXPECT_FALSE(iptc.IsEmpty());

    auto block = iptc.Spool(gDefaultDNGMemoryAllocator, true);
    ASSERT_TRUE(block);
    EXPECT_EQ(block->LogicalSize() % 4, 0u);
    EXPECT_EQ(block->Buffer_uint8()[0], 0x1C);

    dng_iptc back;
    back.Parse(block->Buffer(), block->LogicalSize(), 0);
    EXPECT_EQ(back.fTitle, iptc.fTitle);
    EXPECT_EQ(back.fUrgency, 3);
    EXPECT_EQ(back.fKeywords, iptc.fKeywords);
    EXPECT_EQ(back.fAuthors, iptc.fAuthors);
    EXPECT_EQ(back.fCity, iptc.fCity);
    EXPECT_EQ(back.fDescription.Length(), 2000u);
    EXPECT_EQ(back.fDateTimeCreated.DateTime(), created.DateTime());
    EXPECT_EQ(back.fDateTimeCreated.TimeZone().OffsetMinutes(), 60);
}

TEST(Iptc, MalformedBlocksStopQuietly) {
    // A dataset claiming more bytes than the block holds, then an extended
    // length with too many length bytes.
    const uint8 truncated[] = {0x1C, 2, 5, 0x00, 0x03, 'A', 'B', 'C', 0x1C, 2, 90, 0x10, 0x00, 'x'};
    dng_iptc a;
    a.Parse(truncated, sizeof(truncated), 0);
    EXPECT_STREQ(a.fTitle.Get(), "ABC");
    EXPECT_TRUE(a.fCity.IsEmpty());
    const uint8 extended[] = {0x1C, 2, 5, 0x80, 0x09, 1, 2, 3, 4, 5, 6, 7, 8, 9};
    dng_iptc b;
    b.Parse(extended, sizeof(extended), 0);
    EXPECT_TRUE(b.IsEmpty());
    const uint8 ext2[] = {0x1C, 2, 5, 0x80, 0x02, 0x00, 0x02, 'O', 'K'};
    dng_iptc c;
    c.Parse(ext2, sizeof(ext2), 0);
    EXPECT_STREQ(c.fTitle.Get(), "OK");
}

}  // namespace
