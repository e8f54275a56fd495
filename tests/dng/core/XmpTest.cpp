// The XMP layer without a toolkit: writes are dropped and reads find
// nothing, the text forms follow their exact formats, and the syncs change
// the EXIF record and the IPTC block only as they must.
#include <gtest/gtest.h>

#include "dng/core/dng_exif.h"
#include "dng/core/dng_memory_allocator.h"
#include "dng/core/dng_xmp.h"
#include "dng/image/dng_image_host.h"
#include "dng/image/dng_metadata.h"

namespace {

dng_string S(const char* text) {
    dng_string s;
    s.Set(text);
    return s;
}

}  // namespace

TEST(Xmp, WritesAreDroppedAndNothingIsSerialised) {
    dng_xmp xmp(gDefaultDNGMemoryAllocator);
    EXPECT_FALSE(xmp.HasMeta());
    xmp.SetString(XMP_NS_DC, "title", S("A"));
    EXPECT_TRUE(xmp.HasMeta());
    dng_string out = S("untouched");
    EXPECT_FALSE(xmp.GetString(XMP_NS_DC, "title", out));
    EXPECT_STREQ(out.Get(), "untouched");
    EXPECT_EQ(xmp.SerializeToBlock(), nullptr);
    auto clone = xmp.Clone();
    EXPECT_TRUE(clone->HasMeta());
    EXPECT_TRUE(dng_xmp_sdk::Initialized());
    // The namespace table: 19 distinct identifiers of our own.
    for (uint32 i = 0; i < kXMPNamespaceCount; i++) {
        EXPECT_EQ(std::string(kXMPNamespaceTable[i]).rfind("urn:quorvex:xmp:", 0), 0u);
        for (uint32 j = 0; j < i; j++) {
            EXPECT_STRNE(kXMPNamespaceTable[i], kXMPNamespaceTable[j]);
        }
    }
}

TEST(Xmp, NumberAndVersionTexts) {
    EXPECT_STREQ(dng_xmp::EncodeVersion(0x01040000).Get(), "1.4");
    EXPECT_STREQ(dng_xmp::EncodeVersion(0x01040001).Get(), "1.4.0.1");
    EXPECT_STREQ(dng_xmp::EncodeVersion(0x01040200).Get(), "1.4.2");
    EXPECT_STREQ(dng_xmp::EncodeExifVersion(0x30323331).Get(), "0231");
    EXPECT_EQ(dng_xmp::DecodeExifVersion(S("0230")), 0x30323330u);
    EXPECT_STREQ(dng_xmp::EncodeGPSVersion(0x02030000).Get(), "2.3.0.0");
    EXPECT_STREQ(dng_xmp::EncodeGPSVersion(0x020A0000).Get(), "");
    EXPECT_EQ(dng_xmp::DecodeGPSVersion(S("2.2.0.0")), 0x02020000u);
    EXPECT_EQ(dng_xmp::DecodeGPSVersion(S("2.2.0")), 0u);
    EXPECT_STREQ(dng_xmp::FormatInt32(5, true).Get(), "+5");
    EXPECT_STREQ(dng_xmp::FormatInt32(-5, true).Get(), "-5");
    EXPECT_STREQ(dng_xmp::FormatReal64(1.5, 4, true, true).Get(), "+1.5");
    EXPECT_STREQ(dng_xmp::FormatReal64(2.0, 3, true).Get(), "2");
    EXPECT_STREQ(dng_xmp::FormatReal64(2.0, 3, false).Get(), "2.000");
    EXPECT_STREQ(dng_xmp::FormatSRational(dng_srational(-3, 2)).Get(), "-3/2");
    dng_fingerprint f;
    f.data[0] = 0xAB;
    EXPECT_EQ(dng_xmp::EncodeFingerprint(f).Length(), 32u);
    EXPECT_EQ(dng_xmp::DecodeFingerprint(dng_xmp::EncodeFingerprint(f)), f);
    EXPECT_STREQ(dng_xmp::EncodeFingerprint(dng_fingerprint()).Get(), "");
    dng_urational lens[4] = {{24, 1}, {70, 1}, {28, 10}, {4, 1}};
    EXPECT_STREQ(dng_xmp::EncodeLensInfo(lens).Get(), "24/1 70/1 28/10 4/1");
    dng_urational back[4];
    EXPECT_TRUE(dng_xmp::DecodeLensInfo(S("24/1 70/1 28/10 4/1"), back));
    EXPECT_EQ(back[2], dng_urational(28, 10));
    EXPECT_FALSE(dng_xmp::DecodeLensInfo(S("24/1 70/1 28/10"), back));
}

TEST(Xmp, GPSTexts) {
    dng_urational whole[3] = {{48, 1}, {51, 1}, {30, 1}};
    EXPECT_STREQ(dng_xmp::EncodeGPSCoordinate(S("N"), whole).Get(), "48,51,30N");
    dng_urational fraction[3] = {{48, 1}, {5130, 100}, {0, 1}};
    EXPECT_STREQ(dng_xmp::EncodeGPSCoordinate(S("n"), fraction).Get(), "48,51.3N");
    EXPECT_STREQ(dng_xmp::EncodeGPSCoordinate(S("X"), whole).Get(), "");

    dng_string ref;
    dng_urational coord[3];
    dng_xmp::DecodeGPSCoordinate(S("48,51.3N"), ref, coord);
    EXPECT_STREQ(ref.Get(), "N");
    EXPECT_EQ(coord[0], dng_urational(48, 1));
    EXPECT_EQ(coord[1], dng_urational(513000000, 10000000));
    EXPECT_EQ(coord[2], dng_urational(0, 1));
    dng_xmp::DecodeGPSCoordinate(S("48N"), ref, coord);
    EXPECT_EQ(coord[0], dng_urational(48, 1));
    EXPECT_EQ(coord[1], dng_urational(0, 1));
    EXPECT_EQ(coord[2], dng_urational(0, 1));
    dng_xmp::DecodeGPSCoordinate(S("10,20,30.5W"), ref, coord);
    EXPECT_STREQ(ref.Get(), "W");
    EXPECT_EQ(coord[2], dng_urational(3050000, 100000));

    dng_urational time[3] = {{14, 1}, {5, 1}, {3000, 1000}};
    EXPECT_STREQ(dng_xmp::EncodeGPSDateTime(S("2021:07:04"), time).Get(), "2021-07-04T14:05:03Z");
    EXPECT_STREQ(dng_xmp::EncodeGPSDateTime(S(""), time).Get(), "14:05:03Z");
    dng_string date;
    dng_urational parsed[3];
    dng_xmp::DecodeGPSDateTime(S("2021-07-04T14:05:03.25Z"), date, parsed);
    EXPECT_STREQ(date.Get(), "2021:07:04");
    EXPECT_EQ(parsed[0], dng_urational(14, 1));
    EXPECT_EQ(parsed[2], dng_urational(3250, 1000));
}

TEST(Xmp, LensNames) {
    dng_xmp xmp(gDefaultDNGMemoryAllocator);
    dng_exif exif;
    exif.fLensInfo[0] = dng_urational(24, 1);
    exif.fLensInfo[1] = dng_urational(70, 1);
    exif.fLensInfo[2] = dng_urational(28, 10);
    exif.fLensInfo[3] = dng_urational(28, 10);
    xmp.MakeLensName(exif);
    EXPECT_STREQ(exif.fLensName.Get(), "24.0-70.0 mm f/2.8");

    exif.fLensName.Set("Zoom f/0.0");
    exif.fLensInfo[3] = dng_urational(4, 1);
    xmp.MakeLensName(exif);
    EXPECT_STREQ(exif.fLensName.Get(), "24.0-70.0 mm f/2.8-4.0");
    xmp.MakeLensName(exif);  // a proper name stays
    EXPECT_STREQ(exif.fLensName.Get(), "24.0-70.0 mm f/2.8-4.0");

    dng_exif prime;
    prime.fLensInfo[0] = dng_urational(50, 1);
    prime.fLensInfo[1] = dng_urational(50, 1);
    xmp.MakeLensName(prime);
    EXPECT_STREQ(prime.fLensName.Get(), "50.0 mm");
}

TEST(Xmp, SyncExifChangesOnlyWhatItMust) {
    dng_xmp xmp(gDefaultDNGMemoryAllocator);
    dng_exif exif;
    exif.fMake.Set("Maker");
    exif.fGPSAltitude = dng_urational(uint32(-100), 1);
    exif.fGPSAltitudeRef = 0;
    exif.fISOSpeedRatings[0] = 200;
    exif.fISOSpeedRatings[1] = 0;
    exif.fISOSpeedRatings[2] = 400;
    exif.fExposureTime = dng_urational(1, 125);
    xmp.SyncExif(exif);
    EXPECT_EQ(exif.fExifVersion, 0x30323331u);
    EXPECT_EQ(exif.fGPSAltitude, dng_urational(100, 1));
    EXPECT_EQ(exif.fGPSAltitudeRef, 1u);
    EXPECT_EQ(exif.fISOSpeedRatings[2], 0u);
    EXPECT_EQ(exif.fISOSpeedRatings[0], 200u);
    EXPECT_NE(exif.fShutterSpeedValue.d, 0u);  // derived from the exposure time
    EXPECT_STREQ(exif.fMake.Get(), "Maker");

    dng_exif tenths;
    tenths.fGPSAltitude = dng_urational(uint32(-100), 10);
    tenths.fGPSAltitudeRef = 0;
    xmp.SyncExif(tenths);
    EXPECT_EQ(tenths.fGPSAltitude, dng_urational(uint32(-100), 10));
    EXPECT_EQ(tenths.fGPSAltitudeRef, 0u);

    // As the authority, XMP (empty) clears the texts it would own.
    dng_exif authoritative;
    authoritative.fArtist.Set("Someone");
    authoritative.fCopyright.Set("(c)");
    const dng_exif original;
    xmp.SyncExif(authoritative, &original, true, false);
    EXPECT_STREQ(authoritative.fArtist.Get(), "");
    EXPECT_STREQ(authoritative.fCopyright.Get(), "");
}

TEST(Xmp, MetadataSyncDropsTheIPTCBlockAndKeepsTheOriginalExif) {
    dng_image_host host;
    dng_metadata metadata(host);
    ASSERT_NE(metadata.GetXMP(), nullptr);
    auto block = host.Allocate(8);
    const uint8 iptc[8] = {0x1C, 0x02, 0x00, 0x00, 0x02, 0x00, 0x04, 0x00};
    std::copy(iptc, iptc + 8, block->Buffer_uint8());
    metadata.SetIPTC(std::move(block));
    metadata.GetExif()->fModel.Set("First");
    metadata.SynchronizeMetadata();
    EXPECT_EQ(metadata.IPTCLength(), 0u);
    EXPECT_EQ(metadata.GetExif()->fExifVersion, 0x30323331u);
    metadata.GetExif()->fModel.Set("Second");
    metadata.SynchronizeMetadata();
    EXPECT_STREQ(metadata.GetOriginalExif()->fModel.Get(), "First");

    // A packet makes a fresh record with a meta; the digest is recorded.
    const char packet[] = "<x:xmpmeta/>";
    EXPECT_TRUE(metadata.SetXMP(host, packet, sizeof(packet)));
    EXPECT_TRUE(metadata.GetXMP()->HasMeta());
}
