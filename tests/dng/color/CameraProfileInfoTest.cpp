#include <gtest/gtest.h>

#include <tuple>
#include <vector>

#include "CameraProfileTestFile.h"
#include "dng/color/dng_camera_profile_info.h"
#include "dng/core/dng_exception.h"
#include "dng/core/dng_stream.h"
#include "dng/core/dng_tag_codes.h"
#include "support/DngErrorCode.h"

using cameraprofiletest::ProfileFile;

namespace {

using testsupport::CodeOf;

bool ParseBytes(const std::vector<uint8>& bytes, dng_camera_profile_info& info) {
    dng_stream stream(bytes.data(), static_cast<uint32>(bytes.size()));
    return info.ParseProfileStream(stream);
}

const std::vector<double> kMatrix = {0.6, -0.1, -0.05, -0.4, 1.3, 0.1, -0.1, 0.2, 0.6};

ProfileFile FullProfile(bool big) {
    ProfileFile f(big);
    f.Ascii(tcUniqueCameraModel, "Test Cam  ");
    f.SRational(tcColorMatrix1, kMatrix);
    f.SRational(tcColorMatrix2, kMatrix);
    f.Short(tcCalibrationIlluminant1, {17});
    f.Short(tcCalibrationIlluminant2, {21});
    f.Ascii(tcProfileName, "Caf\xC3\xA9 Standard");
    f.Long(tcProfileHueSatMapDims, {4, 3, 2});
    f.Float(tcProfileHueSatMapData1, std::vector<float>(4 * 3 * 2 * 3, 1.0f));
    f.Float(tcProfileHueSatMapData2, std::vector<float>(4 * 2 * 2 * 3, 1.0f));
    f.Float(tcProfileToneCurve, {0, 0, 0.5f, 0.6f, 1, 1});
    f.Long(tcProfileEmbedPolicy, {2});
    f.Ascii(tcProfileCopyright, "nobody");
    f.SRational(tcForwardMatrix1, kMatrix);
    f.Long(tcProfileLookTableDims, {2, 2});
    f.Float(tcProfileLookTableData, std::vector<float>(2 * 2 * 3, 0.5f));
    f.Long(tcProfileHueSatMapEncoding, {1});
    f.Long(tcProfileLookTableEncoding, {1});
    f.SRational(tcBaselineExposureOffset, {-0.25}, 100);
    f.Long(tcDefaultBlackRender, {1});
    return f;
}

class ProfileInfoLayout : public ::testing::TestWithParam<std::tuple<bool, uint32, bool>> {};

}  // namespace

TEST_P(ProfileInfoLayout, ReadsEveryTagInEitherOrderAndPlace) {
    const auto [big, pad, dirLast] = GetParam();
    const std::vector<uint8> bytes = FullProfile(big).Build(pad, dirLast);
    if (big) {
        EXPECT_EQ(bytes[0], 'M');
        EXPECT_EQ(bytes[2], 0x43);
        EXPECT_EQ(bytes[3], 0x52);
    } else {
        EXPECT_EQ(bytes[0], 'I');
        EXPECT_EQ(bytes[2], 0x52);
        EXPECT_EQ(bytes[3], 0x43);
    }

    dng_camera_profile_info info;
    ASSERT_TRUE(ParseBytes(bytes, info));
    EXPECT_EQ(info.fBigEndian, big);
    EXPECT_EQ(info.fColorPlanes, 3u);
    EXPECT_STREQ(info.fUniqueCameraModel.Get(), "Test Cam");
    EXPECT_STREQ(info.fProfileName.Get(), "Caf\xC3\xA9 Standard");
    EXPECT_STREQ(info.fProfileCopyright.Get(), "nobody");
    EXPECT_EQ(info.fCalibrationIlluminant1, 17u);
    EXPECT_EQ(info.fCalibrationIlluminant2, 21u);
    ASSERT_EQ(info.fColorMatrix1.Rows(), 3u);
    EXPECT_DOUBLE_EQ(info.fColorMatrix1[1][1], 1.3);
    EXPECT_EQ(info.fColorMatrix2, info.fColorMatrix1);
    EXPECT_EQ(info.fForwardMatrix1.Rows(), 3u);
    EXPECT_TRUE(info.fForwardMatrix2.IsEmpty());
    EXPECT_EQ(info.fEmbedPolicy, 2u);
    EXPECT_EQ(info.fProfileHues, 4u);
    EXPECT_EQ(info.fProfileSats, 3u);
    EXPECT_EQ(info.fProfileVals, 2u);
    EXPECT_EQ(info.fHueSatDeltas1Count, 72u);
    EXPECT_EQ(info.fHueSatDeltas2Count, 48u);  // without the zero-saturation row
    EXPECT_NE(info.fHueSatDeltas1Offset, 0u);
    EXPECT_EQ(info.fLookTableVals, 1u);
    EXPECT_EQ(info.fLookTableCount, 12u);
    EXPECT_EQ(info.fToneCurveCount, 6u);
    EXPECT_EQ(info.fHueSatMapEncoding, 1u);
    EXPECT_EQ(info.fLookTableEncoding, 1u);
    EXPECT_EQ(info.fBaselineExposureOffset, dng_srational(-25, 100));
    EXPECT_EQ(info.fDefaultBlackRender, 1u);

    // The recorded offset points at the first float of the table.
    dng_stream stream(bytes.data(), static_cast<uint32>(bytes.size()));
    stream.SetBigEndian(big);
    stream.SetReadPosition(info.fToneCurveOffset + 8);
    EXPECT_FLOAT_EQ(stream.GetReal32(), 0.5f);
}

INSTANTIATE_TEST_SUITE_P(Layouts, ProfileInfoLayout,
                         ::testing::Combine(::testing::Bool(), ::testing::Values(0u, 37u),
                                            ::testing::Bool()));

TEST(CameraProfileInfo, TagRulesIgnoreMalformedTags) {
    ProfileFile f(false);
    // Data before its dimensions, tone curves that are odd or too short.
    f.Float(tcProfileHueSatMapData1, std::vector<float>(2 * 2 * 3, 1.0f));
    f.Long(tcProfileHueSatMapDims, {2, 2});
    f.Float(tcProfileHueSatMapData2, std::vector<float>(5, 1.0f));
    f.Float(tcProfileToneCurve, {0, 0, 1});
    f.SRational(tcColorMatrix2, kMatrix);
    f.SRational(tcForwardMatrix1, {1, 0, 0, 0, 1, 0});
    f.Long(tcProfileLookTableDims, {2, 2, 2, 2});
    dng_camera_profile_info info;
    ASSERT_TRUE(ParseBytes(f.Build(), info));
    EXPECT_EQ(info.fHueSatDeltas1Count, 0u);
    EXPECT_EQ(info.fHueSatDeltas2Count, 0u);
    EXPECT_EQ(info.fToneCurveCount, 0u);
    // A second matrix without a first one becomes the first.
    EXPECT_EQ(info.fColorMatrix1.Rows(), 3u);
    EXPECT_TRUE(info.fColorMatrix2.IsEmpty());
    EXPECT_TRUE(info.fForwardMatrix1.IsEmpty());
    EXPECT_EQ(info.fLookTableHues, 0u);

    ProfileFile g(true);
    g.Float(tcProfileToneCurve, {0, 0});
    g.Short(tcProfileEmbedPolicy, {3});  // scalars take any type
    dng_camera_profile_info info2;
    ASSERT_TRUE(ParseBytes(g.Build(), info2));
    EXPECT_EQ(info2.fToneCurveCount, 0u);
    EXPECT_EQ(info2.fEmbedPolicy, 3u);
}

TEST(CameraProfileInfo, FourColourMatricesAndReductions) {
    ProfileFile f(false);
    std::vector<double> m4(kMatrix);
    m4.insert(m4.end(), {-0.4, 1.3, 0.1});
    f.SRational(tcColorMatrix1, m4);
    f.SRational(tcReductionMatrix1, {0.5, 0, 0, 0.5, 0, 0.5, 0.5, 0, 0, 0, 0, 1});
    f.SRational(tcForwardMatrix1, {0.5, 0, 0, 0.5, 0, 0.5, 0.5, 0, 0, 0, 0, 1});
    dng_camera_profile_info info;
    ASSERT_TRUE(ParseBytes(f.Build(), info));
    EXPECT_EQ(info.fColorPlanes, 4u);
    EXPECT_EQ(info.fColorMatrix1.Rows(), 4u);
    EXPECT_EQ(info.fReductionMatrix1.Rows(), 3u);
    EXPECT_EQ(info.fReductionMatrix1.Cols(), 4u);
    EXPECT_EQ(info.fForwardMatrix1.Cols(), 4u);
}

TEST(CameraProfileInfo, RejectsWrongHeadersAndHostileFiles) {
    std::vector<uint8> good = FullProfile(false).Build();
    dng_camera_profile_info info;

    std::vector<uint8> bad = good;
    bad[0] = 'X';
    EXPECT_FALSE(ParseBytes(bad, info));
    bad = good;
    bad[2] = 0x2A;  // an ordinary TIFF
    EXPECT_FALSE(ParseBytes(bad, info));

    ProfileFile empty(false);
    EXPECT_FALSE(ParseBytes(empty.Build(), info));

    // Every truncation either fails cleanly or throws end-of-file.
    for (size_t n = 0; n < good.size(); n++) {
        std::vector<uint8> cut(good.begin(), good.begin() + n);
        dng_camera_profile_info partial;
        const dng_error_code code = CodeOf([&] { ParseBytes(cut, partial); });
        EXPECT_TRUE(code == dng_error_none || code == dng_error_end_of_file) << n;
    }

    // A table that claims more floats than the file holds.
    ProfileFile huge(false);
    huge.Long(tcProfileHueSatMapDims, {1000, 1000, 100});
    huge.Raw(tcProfileHueSatMapData1, ttFloat, 300000000, {0, 0, 0, 0});
    EXPECT_EQ(CodeOf([&] {
                  dng_camera_profile_info i;
                  ParseBytes(huge.Build(), i);
              }),
              dng_error_end_of_file);

    ProfileFile overflow(false);
    overflow.Long(tcProfileHueSatMapDims, {0x10000, 0x10000, 2});
    overflow.Raw(tcProfileHueSatMapData1, ttFloat, 12, {0, 0, 0, 0});
    EXPECT_EQ(CodeOf([&] {
                  dng_camera_profile_info i;
                  ParseBytes(overflow.Build(), i);
              }),
              dng_error_overflow);
}

TEST(CameraProfileInfo, RestoresTheStreamByteOrder) {
    const std::vector<uint8> bytes = FullProfile(true).Build();
    dng_stream stream(bytes.data(), static_cast<uint32>(bytes.size()));
    dng_camera_profile_info info;
    ASSERT_TRUE(info.ParseProfileStream(stream));
    EXPECT_FALSE(stream.IsBigEndian());
}
