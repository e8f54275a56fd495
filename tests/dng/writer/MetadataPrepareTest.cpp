// Metadata prepared for a file: the subsets, the date stamp, the EXIF
// version, IPTC handling and the EXIF colour space from an embedded profile.
#include <gtest/gtest.h>

#include <vector>

#include "dng/color/dng_color_space.h"
#include "dng/core/dng_date_time.h"
#include "dng/core/dng_exif.h"
#include "dng/image/dng_image_host.h"
#include "dng/image/dng_metadata.h"
#include "dng/writer/dng_image_writer.h"

namespace {

std::unique_ptr<dng_metadata> FullMetadata(dng_host& host) {
    auto metadata = std::make_unique<dng_metadata>(host);
    dng_exif& exif = *metadata->GetExif();
    exif.fMake.Set("Maker");
    exif.fModel.Set("Model 1");
    exif.fArtist.Set("Someone");
    exif.fCopyright.Set("(c) Someone");
    exif.fFNumber = dng_urational(28, 10);
    exif.fGPSVersionID = 0x02020000;
    exif.fGPSLatitudeRef.Set("N");
    metadata->SetMakerNoteSafety(true);
    metadata->SetMakerNote(host.Allocate(8));
    auto iptc = host.Allocate(12);
    std::fill(iptc->Buffer_uint8(), iptc->Buffer_uint8() + 12, uint8(7));
    metadata->SetIPTC(std::move(iptc));
    return metadata;
}

struct Prepared {
    std::unique_ptr<dng_metadata> metadata;
    const dng_exif& exif() const { return *metadata->GetExif(); }
};

Prepared Prepare(uint32 subset, const char* mime = "image/dng") {
    static dng_image_host host;
    Prepared p{FullMetadata(host)};
    dng_image_writer writer;
    writer.PrepareMetadataForFile(host, *p.metadata, subset, mime, "Quorvex 1");
    return p;
}

}  // namespace

TEST(PrepareMetadata, SubsetsRemoveWhatTheyName) {
    {
        const Prepared all = Prepare(kMetadataSubset_All);
        EXPECT_STREQ(all.exif().fModel.Get(), "Model 1");
        EXPECT_STREQ(all.exif().fSoftware.Get(), "Quorvex 1");
        EXPECT_TRUE(all.exif().AtLeastVersion0231());
        EXPECT_TRUE(all.exif().fDateTime.IsValid());
        EXPECT_NE(all.metadata->MakerNote(), nullptr);
        // A DNG never keeps the IPTC block.
        EXPECT_EQ(all.metadata->IPTCLength(), 0u);
    }
    {
        const Prepared noRaw = Prepare(kMetadataSubset_AllExceptCameraRawInfo);
        EXPECT_STREQ(noRaw.exif().fModel.Get(), "Model 1");
        EXPECT_EQ(noRaw.exif().fGPSVersionID, 0x02020000u);
    }
    {
        const Prepared noPlace = Prepare(kMetadataSubset_AllExceptLocationInfo);
        EXPECT_STREQ(noPlace.exif().fModel.Get(), "Model 1");
        EXPECT_EQ(noPlace.exif().fGPSVersionID, 0u);
        EXPECT_EQ(noPlace.metadata->MakerNote(), nullptr);
    }
    {
        const Prepared noCamera = Prepare(kMetadataSubset_AllExceptCameraInfo);
        EXPECT_STREQ(noCamera.exif().fModel.Get(), "");
        EXPECT_EQ(noCamera.exif().fFNumber.d, 0u);
        EXPECT_STREQ(noCamera.exif().fArtist.Get(), "Someone");
        EXPECT_EQ(noCamera.exif().fGPSVersionID, 0x02020000u);
        EXPECT_EQ(noCamera.metadata->MakerNote(), nullptr);
    }
    {
        const Prepared copyright = Prepare(kMetadataSubset_CopyrightOnly);
        EXPECT_STREQ(copyright.exif().fMake.Get(), "");
        EXPECT_STREQ(copyright.exif().fArtist.Get(), "");
        EXPECT_TRUE(copyright.exif().AtLeastVersion0231());
        EXPECT_EQ(copyright.exif().fGPSVersionID, 0u);
        // Without XMP rights the record's own copyright is what stays.
        EXPECT_STREQ(copyright.exif().fCopyright.Get(), "(c) Someone");
        const Prepared contact = Prepare(kMetadataSubset_CopyrightAndContact);
        EXPECT_STREQ(contact.exif().fArtist.Get(), "Someone");
        EXPECT_STREQ(contact.exif().fCopyright.Get(), "(c) Someone");
    }
    // Values above 7 keep everything; a TIFF has its IPTC rebuilt (from an
    // empty XMP record: nothing).
    EXPECT_STREQ(Prepare(12, "image/tiff").exif().fModel.Get(), "Model 1");
}

TEST(PrepareMetadata, FixedClockStampsTheGivenDate) {
    dng_date_time_info fixed;
    fixed.SetDateTime(dng_date_time(2026, 12, 7, 10, 30, 0));
    dng_image_writer::SetFixedDateTimeForTesting(&fixed);
    const Prepared p = Prepare(kMetadataSubset_All);
    dng_image_writer::SetFixedDateTimeForTesting(nullptr);
    EXPECT_EQ(p.exif().fDateTime.DateTime().fYear, 2026u);
    EXPECT_EQ(p.exif().fDateTime.DateTime().fMinute, 30u);
}

TEST(ExifColorSpace, OneOnlyForTheExactSRGBProfile) {
    dng_image_host host;
    dng_metadata metadata(host);
    dng_image_writer writer;
    uint32 size = 0;
    const uint8* data = nullptr;
    ASSERT_TRUE(dng_space_sRGB::Get().ICCProfile(size, data));
    writer.SetExifColorSpaceFromProfile(metadata, data, size);
    EXPECT_EQ(metadata.GetExif()->fColorSpace, 1u);
    std::vector<uint8> longer(data, data + size);
    longer.push_back(0);
    writer.SetExifColorSpaceFromProfile(metadata, longer.data(), uint32(longer.size()));
    EXPECT_EQ(metadata.GetExif()->fColorSpace, 0xFFFFu);
    writer.SetExifColorSpaceFromProfile(metadata, nullptr, 0);
    EXPECT_EQ(metadata.GetExif()->fColorSpace, 0xFFFFu);
}
