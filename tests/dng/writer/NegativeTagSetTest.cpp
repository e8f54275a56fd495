#include <gtest/gtest.h>

#include <memory>

#include "dng/core/dng_exception.h"
#include "dng/core/dng_host.h"
#include "dng/core/dng_tag_codes.h"
#include "dng/image/dng_linearization_info.h"
#include "dng/image/dng_negative.h"
#include "dng/image/dng_noise_profile.h"
#include "dng/image/dng_simple_image.h"
#include "dng/writer/WriterTestSupport.h"
#include "dng/writer/dng_camera_color_tag_set.h"
#include "dng/writer/dng_raw_levels_tag_set.h"

using writertest::Bytes;
using writertest::FindTag;
using writertest::PutBytes;

namespace {

std::unique_ptr<dng_negative> NegativeWithRaw(dng_host& host, uint32 planes) {
    auto negative = dng_negative::Make(host);
    negative->SetStage1Image(std::make_unique<dng_simple_image>(
        dng_rect(0, 0, 8, 12), planes, ttShort, gDefaultDNGMemoryAllocator));
    return negative;
}

}  // namespace

TEST(RawLevelsTagSet, WhiteLevelIsShortUnlessALevelNeedsALong) {
    dng_host host;
    auto negative = NegativeWithRaw(host, 3);
    negative->SetWhiteLevel(4095);
    {
        dng_tiff_directory dir;
        dng_raw_levels_tag_set set(dir, *negative);
        const tiff_tag* white = FindTag(dir, tcWhiteLevel);
        ASSERT_TRUE(white);
        EXPECT_EQ(white->Type(), ttShort);
        EXPECT_EQ(PutBytes(*white, true), (Bytes{0x0F, 0xFF, 0x0F, 0xFF, 0x0F, 0xFF}));
    }
    negative->SetWhiteLevel(65535);
    negative->SetWhiteLevel(65536, 2);
    dng_tiff_directory dir;
    dng_raw_levels_tag_set set(dir, *negative);
    uint32 whiteTags = 0;
    for (uint32 i = 0; i < dir.EntryCount(); i++) whiteTags += dir.Entry(i)->Code() == tcWhiteLevel;
    EXPECT_EQ(whiteTags, 1u);
    EXPECT_EQ(FindTag(dir, tcWhiteLevel)->Type(), ttLong);
    EXPECT_EQ(PutBytes(*FindTag(dir, tcWhiteLevel), false),
              (Bytes{0xFF, 0xFF, 0, 0, 0xFF, 0xFF, 0, 0, 0, 0, 1, 0}));
}

TEST(RawLevelsTagSet, BlackPatternAreasTableAndDeltas) {
    dng_host host;
    auto negative = NegativeWithRaw(host, 1);
    negative->SetActiveArea(dng_rect(1, 2, 7, 10));
    const dng_rect masked[2] = {dng_rect(0, 0, 1, 12), dng_rect(1, 0, 7, 2)};
    negative->SetMaskedAreas(2, masked);
    negative->SetQuadBlacks(64.0, 65.0, 66.0, 67.5);
    const real64 columns[8] = {0.5, -0.25, 0, 0, 0, 0, 0, 1};
    negative->SetColumnBlacks(columns, 8);
    auto table = gDefaultDNGMemoryAllocator.Allocate(6);
    table->Buffer_uint16()[0] = 0;
    table->Buffer_uint16()[1] = 100;
    table->Buffer_uint16()[2] = 4000;
    negative->SetLinearization(std::move(table));
    negative->SetWhiteLevel(4000);
    const uint32 denominator = negative->GetLinearizationInfo()->fBlackDenom;

    dng_tiff_directory dir;
    dng_raw_levels_tag_set set(dir, *negative);
    EXPECT_EQ(PutBytes(*FindTag(dir, tcActiveArea), true),
              (Bytes{0, 0, 0, 1, 0, 0, 0, 2, 0, 0, 0, 7, 0, 0, 0, 10}));
    EXPECT_EQ(FindTag(dir, tcMaskedAreas)->Count(), 8u);
    EXPECT_EQ(FindTag(dir, tcLinearizationTable)->Count(), 3u);
    EXPECT_EQ(PutBytes(*FindTag(dir, tcBlackLevelRepeatDim), true), (Bytes{0, 2, 0, 2}));

    const tiff_tag* black = FindTag(dir, tcBlackLevel);
    ASSERT_TRUE(black);
    ASSERT_EQ(black->Count(), 4u);
    const auto* blacks =
        static_cast<const dng_urational*>(static_cast<const tag_data_ptr*>(black)->Data());
    EXPECT_EQ(blacks[0], dng_urational(64 * denominator, denominator));
    EXPECT_EQ(blacks[3].AsReal64(), 67.5);

    const tiff_tag* deltaH = FindTag(dir, tcBlackLevelDeltaH);
    ASSERT_TRUE(deltaH);
    EXPECT_EQ(deltaH->Type(), ttSRational);
    EXPECT_EQ(deltaH->Count(), 8u);
    const auto* deltas =
        static_cast<const dng_srational*>(static_cast<const tag_data_ptr*>(deltaH)->Data());
    EXPECT_EQ(deltas[1].AsReal64(), -0.25);
    EXPECT_FALSE(FindTag(dir, tcBlackLevelDeltaV));
}

TEST(RawLevelsTagSet, WithoutLinearizationOnlyLevelsAreWritten) {
    dng_host host;
    auto negative = NegativeWithRaw(host, 3);
    negative->ClearLinearizationInfo();
    dng_tiff_directory dir;
    dng_raw_levels_tag_set set(dir, *negative);
    EXPECT_FALSE(FindTag(dir, tcBlackLevel));
    EXPECT_FALSE(FindTag(dir, tcBlackLevelRepeatDim));
    ASSERT_TRUE(FindTag(dir, tcWhiteLevel));
    EXPECT_EQ(FindTag(dir, tcWhiteLevel)->Count(), 3u);
}

TEST(CameraColorTagSet, ChannelsDecideWhatIsWritten) {
    dng_host host;
    auto negative = NegativeWithRaw(host, 3);
    negative->SetColorChannels(1);
    {
        dng_tiff_directory dir;
        dng_camera_color_tag_set set(dir, *negative);
        EXPECT_EQ(dir.EntryCount(), 0u);
    }

    negative->SetColorChannels(3);
    dng_matrix calibration;
    calibration.SetIdentity(3);
    negative->SetCameraCalibration1(calibration);
    dng_matrix wrong;
    wrong.SetIdentity(4);
    negative->SetCameraCalibration2(wrong);
    negative->SetCameraCalibrationSignature("cal");
    negative->SetAsShotProfileName("Standard");
    negative->SetCameraNeutral(dng_vector_3(0.5, 1.0, 0.75));
    {
        dng_tiff_directory dir;
        dng_camera_color_tag_set set(dir, *negative);
        EXPECT_TRUE(FindTag(dir, tcCameraCalibration1));
        EXPECT_FALSE(FindTag(dir, tcCameraCalibration2));
        EXPECT_TRUE(FindTag(dir, tcCameraCalibrationSignature));
        EXPECT_TRUE(FindTag(dir, tcAsShotProfileName));
        EXPECT_EQ(FindTag(dir, tcAnalogBalance)->Count(), 3u);
        EXPECT_EQ(FindTag(dir, tcAsShotNeutral)->Count(), 3u);
        EXPECT_FALSE(FindTag(dir, tcAsShotWhiteXY));
        EXPECT_TRUE(FindTag(dir, tcLinearResponseLimit));
    }

    negative->ClearCameraNeutral();
    negative->SetCameraWhiteXY(0.3457, 0.3585);
    dng_tiff_directory dir;
    dng_camera_color_tag_set set(dir, *negative);
    EXPECT_FALSE(FindTag(dir, tcAsShotNeutral));
    ASSERT_TRUE(FindTag(dir, tcAsShotWhiteXY));
    EXPECT_EQ(PutBytes(*FindTag(dir, tcAsShotWhiteXY), true),
              (Bytes{0, 0x05, 0x46, 0x64, 0, 0x0F, 0x42, 0x40, 0, 0x05, 0x78, 0x64, 0, 0x0F, 0x42,
                     0x40}));
}

TEST(NoiseProfileTag, PairsPerFunctionAndAtMostFour) {
    std::vector<dng_noise_function> functions = {{2e-5, 1e-6}, {3e-5, 2e-6}, {4e-5, 3e-6}};
    tag_dng_noise_profile three{dng_noise_profile(functions)};
    EXPECT_EQ(three.Code(), tcNoiseProfile);
    EXPECT_EQ(three.Type(), ttDouble);
    EXPECT_EQ(three.Count(), 6u);
    const auto* values = static_cast<const real64*>(three.Data());
    EXPECT_EQ(values[4], 4e-5);
    EXPECT_EQ(values[5], 3e-6);

    functions.resize(5, dng_noise_function(1e-5, 0.0));
    try {
        tag_dng_noise_profile five{dng_noise_profile(functions)};
        FAIL() << "five functions accepted";
    } catch (const dng_exception& e) {
        EXPECT_EQ(e.ErrorCode(), dng_error_unknown);
    }
}
