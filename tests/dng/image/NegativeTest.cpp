// The negative's settings and their normalisation, its profile list, crop
// arithmetic and stage slots, with the noise profile and metadata records.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "dng/color/dng_camera_profile.h"
#include "dng/core/dng_exception.h"
#include "dng/core/dng_md5_printer.h"
#include "dng/core/dng_tag_types.h"
#include "dng/image/dng_image.h"
#include "dng/image/dng_image_host.h"
#include "dng/image/dng_linearization_info.h"
#include "dng/image/dng_metadata.h"
#include "dng/image/dng_mosaic_info.h"
#include "dng/image/dng_negative.h"
#include "dng/image/dng_noise_profile.h"

namespace {

dng_vector Vec(std::vector<double> v) {
    dng_vector out(uint32_t(v.size()));
    for (uint32_t i = 0; i < v.size(); i++) out[i] = v[i];
    return out;
}

std::unique_ptr<dng_camera_profile> Profile(const char* name, double k = 1.0) {
    auto p = std::make_unique<dng_camera_profile>();
    p->SetName(name);
    dng_matrix m(3, 3);
    const double values[9] = {0.8 * k, -0.2, -0.1, -0.3, 1.2, 0.1, -0.05, 0.2, 0.6};
    for (uint32_t r = 0; r < 3; r++)
        for (uint32_t c = 0; c < 3; c++) m[r][c] = values[3 * r + c];
    p->SetColorMatrix1(m);
    p->SetCalibrationIlluminant1(21);
    return p;
}

struct NegativeFixture : ::testing::Test {
    dng_image_host host;
    std::unique_ptr<dng_negative> negative = dng_negative::Make(host);
};

TEST_F(NegativeFixture, BalanceNeutralAndWhiteAreNormalised) {
    negative->SetAnalogBalance(Vec({2, 1, 4}));
    EXPECT_DOUBLE_EQ(negative->AnalogBalance(2), 4.0);
    negative->SetAnalogBalance(Vec({0.5, 1, 1}));
    EXPECT_DOUBLE_EQ(negative->AnalogBalance(0), 1.0);
    EXPECT_DOUBLE_EQ(negative->AnalogBalance(1), 2.0);
    EXPECT_EQ(negative->AnalogBalanceR(1), dng_urational(2000000, 1000000));
    negative->SetAnalogBalance(Vec({1, 0, 1}));
    EXPECT_TRUE(negative->AnalogBalanceVector().IsEmpty());
    EXPECT_DOUBLE_EQ(negative->AnalogBalance(3), 1.0);

    negative->SetCameraNeutral(Vec({0.25, 0.5, 0.125}));
    EXPECT_DOUBLE_EQ(negative->CameraNeutral()[0], 0.5);
    EXPECT_DOUBLE_EQ(negative->CameraNeutral()[1], 1.0);
    negative->SetCameraNeutral(Vec({0, 0, 0}));
    EXPECT_FALSE(negative->HasCameraNeutral());

    negative->SetCameraWhiteXY(0.3457, 0.3585);
    double x = 0, y = 0;
    negative->CameraWhiteXY(x, y);
    EXPECT_DOUBLE_EQ(x, 0.3457);
    EXPECT_DOUBLE_EQ(y, 0.3585);
    negative->SetCameraWhiteXY(0, 0.3);
    EXPECT_FALSE(negative->HasCameraWhiteXY());

    negative->SetShadowScale(dng_urational(0, 1));
    negative->SetShadowScale(dng_urational(3, 2));
    EXPECT_EQ(negative->ShadowScaleR(), dng_urational(1, 1));
    negative->SetShadowScale(dng_urational(1, 2));
    EXPECT_EQ(negative->ShadowScaleR(), dng_urational(1, 2));
}

TEST_F(NegativeFixture, DefaultCropAreaStaysInsideStageThree) {
    negative->SetDefaultCropOrigin(dng_urational(10, 1), dng_urational(10, 1));
    negative->SetDefaultCropSize(dng_urational(100, 1), dng_urational(100, 1));
    EXPECT_EQ(negative->DefaultCropArea(), dng_rect(10, 10, 110, 110));
    negative->SetStage3Image(
        std::unique_ptr<dng_image>(host.MakeImage(dng_rect(200, 105), 3, ttShort)));
    EXPECT_EQ(negative->DefaultCropArea(), dng_rect(10, 5, 110, 105));

    negative->SetDefaultScale(dng_urational(2, 1), dng_urational(1, 1));
    EXPECT_DOUBLE_EQ(negative->SquareHeight(), 50.0);
    EXPECT_EQ(negative->FullQualityWidth(), 200u);
    negative->SetDefaultOriginalSizes();
    EXPECT_EQ(negative->OriginalDefaultFinalSize(), dng_point(100, 200));
    EXPECT_FALSE(negative->OriginalCropSizeDiffers());
}

TEST_F(NegativeFixture, ProfilesAreMergedAndFoundByName) {
    negative->AddProfile(Profile(""));
    negative->AddProfile(Profile(""));
    ASSERT_EQ(negative->ProfileCount(), 1u);
    EXPECT_STREQ(negative->ProfileByIndex(0).Name().Get(), "Embedded");

    negative->DeleteAllProfiles();
    negative->AddProfile(Profile("Base v1", 1.0));
    negative->AddProfile(Profile("Base v3", 1.01));
    negative->AddProfile(Profile("Base v3", 1.02));
    const dng_camera_profile* found = negative->ProfileByID(dng_camera_profile_id("Base v2"));
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(found, &negative->ProfileByIndex(1));
    EXPECT_EQ(negative->ProfileByID(dng_camera_profile_id("Other"), false), nullptr);
    EXPECT_EQ(negative->ProfileByID(dng_camera_profile_id("Other"), true),
              &negative->ProfileByIndex(0));
    EXPECT_EQ(negative->ProfileByID(dng_camera_profile_id("Base v1")),
              &negative->ProfileByIndex(0));
}

TEST_F(NegativeFixture, StageThreeWithoutMosaicIsStageTwoItself) {
    auto stage1 = std::unique_ptr<dng_image>(host.MakeImage(dng_rect(6, 8), 3, ttShort));
    stage1->SetConstant(1000);
    negative->SetStage1Image(std::move(stage1));
    negative->SetColorChannels(3);
    negative->SetWhiteLevel(2000);
    negative->BuildStage2Image(host);
    EXPECT_EQ(negative->RawImageStage(), uint32_t(dng_negative::kRawImageStageNone));
    EXPECT_EQ(negative->Stage1Image(), nullptr);
    const dng_image* stage2 = negative->Stage2Image();
    ASSERT_NE(stage2, nullptr);
    negative->BuildStage3Image(host);
    EXPECT_EQ(negative->Stage3Image(), stage2);
    EXPECT_EQ(negative->Stage2Image(), nullptr);
    // No copy of the raw data is kept when no DNG is saved.
    EXPECT_EQ(&negative->RawImage(), negative->Stage3Image());
}

TEST_F(NegativeFixture, MosaicPatternsAndBlackPatterns) {
    negative->SetColorKeys(0, 1, 2);
    negative->SetBayerMosaic(1);
    const dng_mosaic_info& m = *negative->GetMosaicInfo();
    EXPECT_EQ(m.fCFAPattern[0][0], 0);
    EXPECT_EQ(m.fCFAPattern[1][1], 2);

    negative->SetFujiMosaic(1);
    EXPECT_EQ(m.fCFAPatternSize, dng_point(2, 4));
    EXPECT_EQ(m.fCFAPattern[0][0], 2);
    EXPECT_EQ(m.fCFAPattern[1][0], 0);
    EXPECT_EQ(m.fCFALayout, 2u);

    negative->SetFujiMosaic6x6(7);  // shifted one row and one column
    EXPECT_EQ(m.fCFAPattern[0][0], 1);
    EXPECT_EQ(m.fCFAPattern[0][1], 0);
    EXPECT_EQ(m.fCFAPattern[0][2], 2);
    EXPECT_THROW(negative->SetFujiMosaic6x6(36), dng_exception);

    negative->SetQuadMosaic(0x1B1B1B1B);  // equal halves and low bytes: 2 x 2
    EXPECT_EQ(m.fCFAPatternSize, dng_point(2, 2));
    EXPECT_EQ(m.fColorPlanes, 4u);

    real64 blacks[36];
    for (int i = 0; i < 36; i++) blacks[i] = i;
    negative->SetBlackLevel6x6(blacks);
    const dng_linearization_info& info = *negative->GetLinearizationInfo();
    EXPECT_EQ(info.fBlackLevelRepeatRows, 6u);
    EXPECT_DOUBLE_EQ(info.fBlackLevel[5][4][2], 34.0);
}

TEST_F(NegativeFixture, RawImageWithoutAnyImageIsAnError) {
    EXPECT_THROW(negative->RawImage(), dng_exception);
}

TEST(NegativeNoiseProfile, ValidityAndPlanes) {
    dng_noise_profile one(std::vector<dng_noise_function>{{2e-5, 1e-7}});
    EXPECT_TRUE(one.IsValid());
    EXPECT_DOUBLE_EQ(one.NoiseFunction(3).Scale(), 2e-5);
    dng_noise_profile three(std::vector<dng_noise_function>{{1, 0}, {1, 0}, {1e-9, 0}});
    EXPECT_TRUE(three.IsValid());
    EXPECT_THROW(three.NoiseFunction(3), dng_exception);
    dng_noise_profile five(std::vector<dng_noise_function>(5, dng_noise_function(1, 0)));
    EXPECT_FALSE(five.IsValid());
    dng_noise_profile negativeOffset(std::vector<dng_noise_function>{{1, -1}});
    EXPECT_FALSE(negativeOffset.IsValid());
    EXPECT_TRUE(five == negativeOffset);  // both invalid
    EXPECT_FALSE(one == three);
}

TEST(NegativeMetadata, IptcDigestAndOffsets) {
    dng_image_host host;
    dng_metadata metadata(host);
    EXPECT_TRUE(metadata.IPTCDigest().IsNull());
    auto block = host.Allocate(5);
    const uint8_t bytes[5] = {1, 0, 0, 0, 0};
    std::memcpy(block->Buffer(), bytes, 5);
    metadata.SetIPTCWithOffset(std::move(block), 1234);
    EXPECT_EQ(metadata.IPTCOffset(), 1234u);
    dng_md5_printer two;
    two.Process(bytes, 2);
    EXPECT_EQ(metadata.IPTCDigest(false), two.Result());
    dng_md5_printer all;
    all.Process(bytes, 5);
    EXPECT_EQ(metadata.IPTCDigest(true), all.Result());

    auto zeros = host.Allocate(2);
    std::memset(zeros->Buffer(), 0, 2);
    metadata.SetIPTC(std::move(zeros));
    EXPECT_EQ(metadata.IPTCOffset(), kDNGStreamInvalidOffset);
    dng_md5_printer empty;
    EXPECT_EQ(metadata.IPTCDigest(false), empty.Result());
    metadata.ClearIPTC();
    EXPECT_EQ(metadata.IPTCOffset(), kDNGStreamInvalidOffset);
}

TEST(NegativeMetadata, SynchronizeKeepsTheFirstExifAndClonesShareNothing) {
    dng_image_host host;
    dng_metadata metadata(host);
    metadata.GetExif()->fMake.Set("First");
    metadata.SynchronizeMetadata();
    metadata.GetExif()->fMake.Set("Second");
    metadata.SynchronizeMetadata();
    EXPECT_STREQ(metadata.GetOriginalExif()->fMake.Get(), "First");

    const char packet[] = "<x:xmpmeta/>";
    metadata.SetEmbeddedXMP(host, packet, sizeof(packet));
    EXPECT_TRUE(metadata.EmbeddedXMPDigest().IsValid());
    std::unique_ptr<dng_metadata> clone = metadata.Clone(host.Allocator());
    EXPECT_NE(clone->GetExif(), metadata.GetExif());
    EXPECT_NE(clone->GetXMP(), metadata.GetXMP());
    EXPECT_TRUE(clone->GetXMP()->HasMeta());
    EXPECT_STREQ(clone->GetExif()->fMake.Get(), "Second");

    dng_metadata empty(host);
    empty.ResetExif(nullptr);
    EXPECT_THROW(empty.SynchronizeMetadata(), dng_exception);
}

}  // namespace
