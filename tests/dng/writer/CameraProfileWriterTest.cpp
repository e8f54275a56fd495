#include <gtest/gtest.h>

#include <filesystem>
#include <memory>

#include "dng/color/dng_camera_profile.h"
#include "dng/core/dng_file_stream.h"
#include "dng/core/dng_tag_codes.h"
#include "dng/writer/WriterTestSupport.h"
#include "dng/writer/dng_camera_profile_tag_set.h"
#include "dng/writer/tiff_dng_extended_color_profile.h"
#include "support/TestSupport.h"

using writertest::Bytes;
using writertest::FindTag;
using writertest::PutBytes;
using writertest::StreamBytes;

namespace {

dng_hue_sat_map MakeMap(uint32 hues, uint32 sats, uint32 vals, real32 seed) {
    dng_hue_sat_map map;
    map.SetDivisions(hues, sats, vals);
    for (uint32 v = 0; v < vals; v++) {
        for (uint32 h = 0; h < hues; h++) {
            for (uint32 s = 0; s < sats; s++) {
                dng_hue_sat_map::HSBModify modify;
                modify.fHueShift = seed + 0.25f * h - 0.5f * s + v;
                modify.fSatScale = 1.0f + 0.01f * s;
                modify.fValScale = 1.0f - 0.02f * v + 0.001f * h;
                map.SetDelta(h, s, v, modify);
            }
        }
    }
    return map;
}

dng_matrix Matrix3(real64 a, real64 b) {
    return dng_matrix_3by3(a, -0.2, -0.1, -0.3, b, 0.15, -0.05, 0.12, 0.6);
}

// A profile with every optional part filled.
dng_camera_profile FullProfile() {
    dng_camera_profile profile;
    profile.SetName("Quorvex Standard \xC3\xA9");
    profile.SetCalibrationIlluminant1(17);
    profile.SetCalibrationIlluminant2(21);
    profile.SetColorMatrix1(Matrix3(0.9, 1.1));
    profile.SetColorMatrix2(Matrix3(0.7, 1.3));
    profile.SetForwardMatrix1(dng_matrix_3by3(0.7, 0.2, 0.05, 0.28, 0.7, 0.02, 0.0, 0.1, 0.72));
    profile.SetForwardMatrix2(dng_matrix_3by3(0.6, 0.3, 0.05, 0.25, 0.72, 0.03, 0.01, 0.09, 0.72));
    profile.SetCopyright("Copyright Quorvex");
    profile.SetProfileCalibrationSignature("sig-1");
    profile.SetEmbedPolicy(3);
    profile.SetHueSatDeltas1(MakeMap(6, 4, 2, 0.5f));
    profile.SetHueSatDeltas2(MakeMap(6, 4, 2, -0.75f));
    profile.SetHueSatMapEncoding(1);
    profile.SetLookTable(MakeMap(5, 3, 4, 2.0f));
    profile.SetLookTableEncoding(1);
    profile.SetBaselineExposureOffset(-0.5);
    profile.SetDefaultBlackRender(1);
    dng_tone_curve curve;
    curve.fCoord = {{0.0, 0.0}, {0.375, 0.25}, {0.75, 0.5}, {1.0, 1.0}};  // exact in floats
    profile.SetToneCurve(curve);
    profile.SetUniqueCameraModelRestriction("Quorvex QTC-1");
    return profile;
}

Bytes WriteProfileStream(const dng_camera_profile& profile, bool bigEndian,
                         bool includeModel = true) {
    dng_memory_stream stream(gDefaultDNGMemoryAllocator);
    stream.SetBigEndian(bigEndian);
    tiff_dng_extended_color_profile writer(profile);
    writer.Put(stream, includeModel);
    stream.Flush();
    return StreamBytes(stream);
}

std::unique_ptr<dng_camera_profile> ParseProfileStream(const Bytes& bytes) {
    dng_stream stream(bytes.data(), static_cast<uint32>(bytes.size()));
    auto profile = std::make_unique<dng_camera_profile>();
    if (!profile->ParseExtended(stream)) return nullptr;
    return profile;
}

void ExpectSameProfile(const dng_camera_profile& a, const dng_camera_profile& b) {
    EXPECT_TRUE(a.EqualData(b));
    EXPECT_EQ(a.ColorMatrix1(), b.ColorMatrix1());
    EXPECT_EQ(a.ColorMatrix2(), b.ColorMatrix2());
    EXPECT_EQ(a.ForwardMatrix1(), b.ForwardMatrix1());
    EXPECT_EQ(a.ForwardMatrix2(), b.ForwardMatrix2());
    EXPECT_EQ(a.ReductionMatrix1(), b.ReductionMatrix1());
    EXPECT_EQ(a.CalibrationIlluminant1(), b.CalibrationIlluminant1());
    EXPECT_EQ(a.CalibrationIlluminant2(), b.CalibrationIlluminant2());
    EXPECT_EQ(a.HueSatDeltas1(), b.HueSatDeltas1());
    EXPECT_EQ(a.HueSatDeltas2(), b.HueSatDeltas2());
    EXPECT_EQ(a.HueSatMapEncoding(), b.HueSatMapEncoding());
    EXPECT_EQ(a.LookTable(), b.LookTable());
    EXPECT_EQ(a.LookTableEncoding(), b.LookTableEncoding());
    EXPECT_EQ(a.ToneCurve(), b.ToneCurve());
    EXPECT_EQ(a.BaselineExposureOffset(), b.BaselineExposureOffset());
    EXPECT_EQ(a.DefaultBlackRender(), b.DefaultBlackRender());
    EXPECT_EQ(a.Name(), b.Name());
    EXPECT_EQ(a.Copyright(), b.Copyright());
    EXPECT_EQ(a.ProfileCalibrationSignature(), b.ProfileCalibrationSignature());
    EXPECT_EQ(a.EmbedPolicy(), b.EmbedPolicy());
    EXPECT_EQ(a.CalculateFingerprint(), b.CalculateFingerprint());
    EXPECT_FALSE(a.CalculateFingerprint().IsNull());
}

}  // namespace

TEST(CameraProfileWriter, FullProfileSurvivesAStreamInBothByteOrders) {
    const dng_camera_profile profile = FullProfile();
    for (bool bigEndian : {false, true}) {
        SCOPED_TRACE(bigEndian ? "big-endian" : "little-endian");
        const Bytes bytes = WriteProfileStream(profile, bigEndian);
        ASSERT_GT(bytes.size(), 8u);
        const Bytes header = bigEndian ? Bytes{'M', 'M', 0x43, 0x52, 0, 0, 0, 8}
                                       : Bytes{'I', 'I', 0x52, 0x43, 8, 0, 0, 0};
        EXPECT_EQ(Bytes(bytes.begin(), bytes.begin() + 8), header);

        auto parsed = ParseProfileStream(bytes);
        ASSERT_TRUE(parsed);
        ExpectSameProfile(profile, *parsed);
        EXPECT_EQ(parsed->UniqueCameraModelRestriction(), profile.UniqueCameraModelRestriction());

        // Written again from what was read, the stream is the same.
        EXPECT_EQ(WriteProfileStream(*parsed, bigEndian), bytes);
    }
    auto withoutModel = ParseProfileStream(WriteProfileStream(profile, false, false));
    ASSERT_TRUE(withoutModel);
    EXPECT_TRUE(withoutModel->UniqueCameraModelRestriction().IsEmpty());
}

TEST(CameraProfileWriter, WhatATagSetLeavesOut) {
    // No first colour matrix: nothing, and a bare header as stream.
    dng_camera_profile empty;
    dng_tiff_directory none;
    dng_camera_profile_tag_set emptySet(none, empty);
    EXPECT_EQ(none.EntryCount(), 0u);
    EXPECT_EQ(WriteProfileStream(empty, false, false), (Bytes{'I', 'I', 0x52, 0x43, 8, 0, 0, 0}));

    dng_camera_profile profile;
    profile.SetCalibrationIlluminant1(21);
    profile.SetColorMatrix1(Matrix3(0.9, 1.1));
    dng_matrix reduction(3, 3);
    reduction.SetIdentity(3);
    profile.SetReductionMatrix1(reduction);
    profile.SetHueSatDeltas2(MakeMap(4, 3, 1, 1.0f));  // no second colour matrix
    profile.SetBaselineExposureOffset(0.0);
    dng_tone_curve curve;  // (0, 0) and (1, 1)
    profile.SetToneCurve(curve);

    dng_tiff_directory dir;
    dng_camera_profile_tag_set set(dir, profile);
    EXPECT_TRUE(FindTag(dir, tcColorMatrix1));
    EXPECT_TRUE(FindTag(dir, tcCalibrationIlluminant1));
    EXPECT_TRUE(FindTag(dir, tcProfileEmbedPolicy));
    EXPECT_FALSE(FindTag(dir, tcReductionMatrix1));
    EXPECT_FALSE(FindTag(dir, tcColorMatrix2));
    EXPECT_FALSE(FindTag(dir, tcProfileHueSatMapDims));
    EXPECT_FALSE(FindTag(dir, tcProfileHueSatMapData2));
    EXPECT_FALSE(FindTag(dir, tcBaselineExposureOffset));
    EXPECT_FALSE(FindTag(dir, tcProfileName));
    const tiff_tag* tone = FindTag(dir, tcProfileToneCurve);
    ASSERT_TRUE(tone);
    EXPECT_EQ(tone->Type(), ttFloat);
    EXPECT_EQ(tone->Count(), 4u);
    EXPECT_EQ(PutBytes(*tone, true),
              (Bytes{0, 0, 0, 0, 0, 0, 0, 0, 0x3F, 0x80, 0, 0, 0x3F, 0x80, 0, 0}));

    curve.fCoord = {{0.0, 0.0}, {0.5, 0.5}, {0.6, 0.5}, {1.0, 1.0}};  // input not increasing
    profile.SetToneCurve(curve);
    dng_tiff_directory flat;
    dng_camera_profile_tag_set flatSet(flat, profile);
    EXPECT_FALSE(FindTag(flat, tcProfileToneCurve));
}

TEST(CameraProfileWriter, FourChannelProfileWritesReductionMatricesAndByteNames) {
    dng_camera_profile profile;
    dng_matrix color(4, 3);
    dng_matrix reduction(3, 4);
    for (uint32 r = 0; r < 4; r++) {
        for (uint32 c = 0; c < 3; c++) {
            color[r][c] = r == c ? 1.0 : 0.1;
            reduction[c][r] = r == c ? 1.0 : 0.0;
        }
    }
    profile.SetColorMatrix1(color);
    profile.SetReductionMatrix1(reduction);
    profile.SetName("Caf\xC3\xA9");
    dng_tiff_directory dir;
    dng_camera_profile_tag_set set(dir, profile);
    ASSERT_TRUE(FindTag(dir, tcReductionMatrix1));
    EXPECT_EQ(FindTag(dir, tcReductionMatrix1)->Count(), 12u);
    EXPECT_EQ(FindTag(dir, tcColorMatrix1)->Count(), 12u);
    EXPECT_EQ(FindTag(dir, tcProfileName)->Type(), ttByte);
}

TEST(CameraProfileWriter, RealProfilesSurviveParseWriteParse) {
    const std::filesystem::path folder = testsupport::testdataDir() / "dcp" / "set-a";
    ASSERT_TRUE(std::filesystem::exists(folder)) << folder;
    for (const char* name : {"NIKON D850.dcp", "Canon EOS RP.dcp", "Canon EOS 5D.dcp"}) {
        SCOPED_TRACE(name);
        const std::string path = (folder / name).string();
        dng_file_stream file(path.c_str());
        dng_camera_profile original;
        ASSERT_TRUE(original.ParseExtended(file));

        for (bool bigEndian : {false, true}) {
            const Bytes bytes = WriteProfileStream(original, bigEndian);
            auto again = ParseProfileStream(bytes);
            ASSERT_TRUE(again);
            ExpectSameProfile(original, *again);
        }
    }
}
