#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "CameraProfileTestFile.h"
#include "dng/color/dng_1d_table.h"
#include "dng/color/dng_camera_profile.h"
#include "dng/color/dng_camera_profile_info.h"
#include "dng/color/dng_temperature.h"
#include "dng/core/dng_exception.h"
#include "dng/core/dng_file_stream.h"
#include "dng/core/dng_md5_printer.h"
#include "dng/core/dng_memory_allocator.h"
#include "dng/core/dng_stream.h"
#include "dng/core/dng_tag_codes.h"
#include "support/TestSupport.h"

using cameraprofiletest::ProfileFile;

namespace {

const std::vector<double> kColor1 = {0.6722, -0.0635, -0.0963, -0.4287, 1.2460,
                                     0.2028, -0.0908, 0.2162,  0.5668};
const std::vector<double> kColor2 = {0.7, -0.1, -0.05, -0.45, 1.3, 0.15, -0.1, 0.25, 0.6};
// Rows sum to the PCS white.
const std::vector<double> kForward = {0.7, 0.1, 0.1643, 0.3, 0.6, 0.1, 0.0, 0.1, 0.7251};

std::vector<float> Ramp(size_t count, float start) {
    std::vector<float> v(count);
    for (size_t i = 0; i < count; i++) v[i] = start + static_cast<float>(i);
    return v;
}

bool ParseProfile(const std::vector<uint8>& bytes, dng_camera_profile& profile) {
    dng_stream stream(bytes.data(), static_cast<uint32>(bytes.size()));
    return profile.ParseExtended(stream);
}

dng_matrix MatrixOf(const std::vector<double>& v, uint32 rows, uint32 cols) {
    dng_matrix m(rows, cols);
    for (uint32 r = 0; r < rows; r++)
        for (uint32 c = 0; c < cols; c++) m[r][c] = v[r * cols + c];
    return m;
}

dng_hue_sat_map ConstantMap(uint32 hues, uint32 sats, float hueShift) {
    dng_hue_sat_map map;
    map.SetDivisions(hues, sats, 1);
    for (uint32 h = 0; h < hues; h++)
        for (uint32 s = 0; s < sats; s++) map.SetDelta(h, s, 0, {hueShift, 1.0f, 1.0f});
    return map;
}

std::vector<std::filesystem::path> RealProfiles() {
    std::vector<std::filesystem::path> files;
    const auto dir = testsupport::testdataDir() / "dcp" / "set-a";
    if (!std::filesystem::exists(dir)) return files;
    for (const auto& e : std::filesystem::directory_iterator(dir))
        if (e.path().extension() == ".dcp") files.push_back(e.path());
    std::sort(files.begin(), files.end());
    return files;
}

void ParseFile(const std::filesystem::path& path, dng_camera_profile& profile) {
    dng_file_stream stream(path.c_str());
    ASSERT_TRUE(profile.ParseExtended(stream)) << path;
}

class SyntheticProfile : public ::testing::TestWithParam<bool> {};

}  // namespace

TEST(CameraProfile, RealFilesParseValidateAndFingerprintStably) {
    const auto files = RealProfiles();
    ASSERT_FALSE(files.empty()) << "no camera profiles under the test data";
    for (const auto& path : files) {
        SCOPED_TRACE(path.filename().string());
        dng_camera_profile a, b;
        ParseFile(path, a);
        ParseFile(path, b);
        EXPECT_TRUE(a.IsValid(3));
        EXPECT_TRUE(a.IsValid(1));
        EXPECT_FALSE(a.IsValid(4));
        EXPECT_TRUE(a.HueSatDeltas1().IsValid());
        EXPECT_TRUE(a.EqualData(b));
        EXPECT_FALSE(a.Fingerprint().IsNull());
        EXPECT_EQ(a.Fingerprint(), b.Fingerprint());
        EXPECT_EQ(a.UniqueID(), b.UniqueID());

        dng_string renamed(a.Name());
        renamed.Append(" (copy)");
        b.SetName(renamed.Get());
        EXPECT_TRUE(a.EqualData(b));
        EXPECT_NE(a.Fingerprint(), b.Fingerprint());
    }
}

TEST(CameraProfile, RealFilesCarryTheirTables) {
    const auto dir = testsupport::testdataDir() / "dcp" / "set-a";
    ASSERT_TRUE(std::filesystem::exists(dir / "Canon EOS RP.dcp")) << dir;

    dng_camera_profile cube;
    ParseFile(dir / "Canon EOS 5D.dcp", cube);
    uint32 h, s, v;
    cube.HueSatDeltas1().GetDivisions(h, s, v);
    EXPECT_EQ(h * 100 + s * 10 + v, 6u * 100 + 6 * 10 + 3);
    EXPECT_FALSE(cube.HasColorMatrix2());
    EXPECT_EQ(cube.CalibrationIlluminant1(), 23u);

    dng_camera_profile rp;
    ParseFile(dir / "Canon EOS RP.dcp", rp);
    EXPECT_TRUE(rp.HasColorMatrix2());
    EXPECT_TRUE(rp.LookTable().IsValid());
    rp.LookTable().GetDivisions(h, s, v);
    EXPECT_EQ(v, 30u);
    EXPECT_EQ(rp.LookTableEncoding(), 1u);
    EXPECT_TRUE(rp.ToneCurve().IsValid());
    EXPECT_FALSE(rp.ForwardMatrix1().IsEmpty());

    dng_camera_profile sony;
    ParseFile(dir / "Sony SLT-A55V.dcp", sony);
    sony.HueSatDeltas2().GetDivisions(h, s, v);
    EXPECT_EQ(s, 25u);
}

TEST_P(SyntheticProfile, ReadsMatricesMapsAndCurves) {
    const bool big = GetParam();
    ProfileFile f(big);
    f.SRational(tcColorMatrix1, kColor1);
    f.SRational(tcColorMatrix2, kColor2);
    f.Short(tcCalibrationIlluminant1, {17});
    f.Short(tcCalibrationIlluminant2, {21});
    f.Ascii(tcProfileName, "Profil \xC3\xA9t\xC3\xA9", ttByte);
    f.SRational(tcForwardMatrix1, kForward);
    f.SRational(tcForwardMatrix2, kForward);
    // A 3-D map (2 hues, 3 sats, 2 vals) for the first illuminant and the
    // reduced form (no zero-saturation row) for the second.
    f.Long(tcProfileHueSatMapDims, {2, 3, 2});
    f.Float(tcProfileHueSatMapData1, Ramp(2 * 3 * 2 * 3, 1.0f));
    f.Float(tcProfileHueSatMapData2, Ramp(2 * 2 * 2 * 3, 100.0f));
    f.Long(tcProfileLookTableDims, {3, 2});
    f.Float(tcProfileLookTableData, Ramp(3 * 2 * 3, 50.0f));
    f.Float(tcProfileToneCurve, {0, 0, 0.25f, 0.4f, 1, 1});
    f.SRational(tcBaselineExposureOffset, {0.5}, 100);

    dng_camera_profile p;
    ASSERT_TRUE(ParseProfile(f.Build(11, true), p));
    EXPECT_TRUE(p.IsValid(3));
    EXPECT_TRUE(p.HasColorMatrix2());
    EXPECT_STREQ(p.Name().Get(), "Profil \xC3\xA9t\xC3\xA9");
    EXPECT_NEAR(p.ColorMatrix1()[1][1], 1.2460, 1e-12);
    EXPECT_EQ(p.ForwardMatrix2(), MatrixOf(kForward, 3, 3));
    EXPECT_DOUBLE_EQ(p.BaselineExposureOffset().AsReal64(), 0.5);

    dng_hue_sat_map::HSBModify m;
    // [val][hue][sat]: val 1, hue 1, sat 2 is entry 6 + 3 + 2 = 11.
    p.HueSatDeltas1().GetDelta(1, 2, 1, m);
    EXPECT_FLOAT_EQ(m.fHueShift, 1.0f + 33.0f);

    // The reduced form starts at saturation 1; saturation 0 takes its hue
    // shift and saturation scale with a value scale of 1.
    p.HueSatDeltas2().GetDelta(0, 1, 0, m);
    EXPECT_FLOAT_EQ(m.fHueShift, 100.0f);
    p.HueSatDeltas2().GetDelta(0, 0, 0, m);
    EXPECT_FLOAT_EQ(m.fHueShift, 100.0f);
    EXPECT_FLOAT_EQ(m.fSatScale, 101.0f);
    EXPECT_FLOAT_EQ(m.fValScale, 1.0f);

    uint32 h, s, v;
    p.LookTable().GetDivisions(h, s, v);
    EXPECT_EQ(v, 1u);
    p.LookTable().GetDelta(2, 1, 0, m);
    EXPECT_FLOAT_EQ(m.fValScale, 50.0f + 17.0f);

    ASSERT_EQ(p.ToneCurve().fCoord.size(), 3u);
    EXPECT_FLOAT_EQ(static_cast<float>(p.ToneCurve().fCoord[1].h), 0.25f);
    EXPECT_FLOAT_EQ(static_cast<float>(p.ToneCurve().fCoord[1].v), 0.4f);
}

TEST_P(SyntheticProfile, FourColoursNeedTheirReductionShapes) {
    ProfileFile f(GetParam());
    std::vector<double> m4(kColor1);
    m4.insert(m4.end(), {-0.4, 1.2, 0.2});
    f.SRational(tcColorMatrix1, m4);
    f.SRational(tcReductionMatrix1, {0.5, 0, 0, 0.5, 0, 0.5, 0, 0.5, 0, 0, 1, 0});
    f.Short(tcCalibrationIlluminant1, {21});
    dng_camera_profile p;
    ASSERT_TRUE(ParseProfile(f.Build(), p));
    EXPECT_TRUE(p.IsValid(4));
    EXPECT_FALSE(p.IsValid(3));
    EXPECT_TRUE(p.IsValid(1));
    // A four-colour fingerprint covers its reduction matrix.
    const dng_fingerprint before = p.Fingerprint();
    p.SetReductionMatrix1(MatrixOf({0.5, 0, 0, 0.5, 0, 0.5, 0.5, 0, 0, 0, 0, 1}, 3, 4));
    EXPECT_NE(p.Fingerprint(), before);
}

TEST_P(SyntheticProfile, ToneCurveRules) {
    const bool big = GetParam();
    auto withCurve = [big](std::vector<float> curve) {
        ProfileFile f(big);
        f.SRational(tcColorMatrix1, kColor1);
        f.Float(tcProfileToneCurve, std::move(curve));
        return f.Build();
    };
    dng_camera_profile odd;
    ASSERT_TRUE(ParseProfile(withCurve({0, 0, 0.5f, 0.5f, 1}), odd));
    EXPECT_TRUE(odd.ToneCurve().fCoord.empty());  // no curve: the default applies later

    dng_camera_profile none;
    ProfileFile f(big);
    f.SRational(tcColorMatrix1, kColor1);
    ASSERT_TRUE(ParseProfile(f.Build(), none));
    EXPECT_FALSE(none.ToneCurve().IsValid());

    std::vector<float> huge(dng_camera_profile::kMaxToneCurveValues + 3, 0.5f);
    dng_camera_profile oversized;
    EXPECT_FALSE(ParseProfile(withCurve(huge), oversized));

    const std::vector<uint8> bytes = withCurve(std::vector<float>(16, 0.5f));
    dng_camera_profile_info info;
    {
        dng_stream s(bytes.data(), static_cast<uint32>(bytes.size()));
        ASSERT_TRUE(info.ParseProfileStream(s));
    }
    info.fToneCurveCount = dng_camera_profile::kMaxToneCurveValues + 1;
    dng_stream s(bytes.data(), static_cast<uint32>(bytes.size()));
    dng_camera_profile p;
    try {
        p.Parse(s, info);
        ADD_FAILURE() << "an oversized tone curve must be refused";
    } catch (const dng_exception& e) {
        EXPECT_EQ(e.ErrorCode(), dng_error_unknown);
    }
}

TEST_P(SyntheticProfile, TruncatedAndHostileFilesFailCleanly) {
    ProfileFile f(GetParam());
    f.SRational(tcColorMatrix1, kColor1);
    f.Long(tcProfileHueSatMapDims, {4, 3});
    f.Float(tcProfileHueSatMapData1, Ramp(4 * 3 * 3, 0.0f));
    f.Float(tcProfileToneCurve, {0, 0, 1, 1});
    const std::vector<uint8> good = f.Build();
    for (size_t n = 0; n < good.size(); n++) {
        dng_camera_profile p;
        EXPECT_FALSE(ParseProfile(std::vector<uint8>(good.begin(), good.begin() + n), p)) << n;
    }

    // The record is read from a whole file, the tables from a cut one.
    dng_camera_profile_info info;
    {
        dng_stream s(good.data(), static_cast<uint32>(good.size()));
        ASSERT_TRUE(info.ParseProfileStream(s));
    }
    dng_stream cut(good.data(), static_cast<uint32>(good.size() - 20));
    dng_camera_profile p;
    try {
        p.Parse(cut, info);
        ADD_FAILURE() << "a truncated table must be refused";
    } catch (const dng_exception& e) {
        EXPECT_EQ(e.ErrorCode(), dng_error_end_of_file);
    }

    // Dimensions changed after the data was located no longer match it.
    info.fProfileHues = 40000;
    dng_stream whole(good.data(), static_cast<uint32>(good.size()));
    dng_camera_profile q;
    EXPECT_THROW(q.Parse(whole, info), dng_exception);
}

INSTANTIATE_TEST_SUITE_P(ByteOrders, SyntheticProfile, ::testing::Bool());

TEST(CameraProfile, ColorMatrixNormalising) {
    const dng_vector_3 pcs = PCStoXYZ();
    auto matrixPeaking = [&](double peak) {
        return dng_matrix_3by3(peak / pcs[0], 0, 0, 0, 0.5, 0, 0, 0, 0.5 / pcs[2]);
    };
    dng_camera_profile p;
    p.SetColorMatrix1(matrixPeaking(1.005));
    EXPECT_DOUBLE_EQ(p.ColorMatrix1()[0][0], std::round(1.005 / pcs[0] * 10000) / 10000);
    EXPECT_DOUBLE_EQ(p.ColorMatrix1()[1][1], 0.5);

    p.SetColorMatrix2(matrixPeaking(1.02));
    EXPECT_DOUBLE_EQ(p.ColorMatrix2()[0][0], std::round(1.0 / pcs[0] * 10000) / 10000);
    EXPECT_DOUBLE_EQ(p.ColorMatrix2()[1][1], std::round(0.5 / 1.02 * 10000) / 10000);

    p.SetForwardMatrix1(MatrixOf({0.123456, 0, 0, 0, 1, 0, 0, 0, 1}, 3, 3));
    EXPECT_DOUBLE_EQ(p.ForwardMatrix1()[0][0], 0.1235);
}

TEST(CameraProfile, ValidityAndIlluminants) {
    dng_camera_profile p;
    EXPECT_TRUE(p.IsValid(1));
    EXPECT_FALSE(p.IsValid(3));  // no colour matrix

    p.SetColorMatrix1(MatrixOf(kColor1, 3, 3));
    EXPECT_TRUE(p.IsValid(3));
    EXPECT_FALSE(p.IsValid(4));

    dng_camera_profile singular(p);
    singular.SetColorMatrix1(MatrixOf({1, 1, 1, 1, 1, 1, 0, 0, 1}, 3, 3));
    EXPECT_FALSE(singular.IsValid(3));
    dng_matrix withNaN = MatrixOf(kColor1, 3, 3);
    withNaN[2][1] = std::nan("");
    singular.SetColorMatrix1(withNaN);
    EXPECT_FALSE(singular.IsValid(3));

    dng_camera_profile badForward(p);
    badForward.SetForwardMatrix1(MatrixOf({1, 0, 0, 0, 1, 0, 0, 0, 1}, 3, 3));
    EXPECT_FALSE(badForward.IsValid(3));
    badForward.SetForwardMatrix1(MatrixOf(kForward, 3, 3));
    EXPECT_TRUE(badForward.IsValid(3));

    EXPECT_EQ(dng_camera_profile::IlluminantToTemperature(21), 6500.0);
    EXPECT_EQ(dng_camera_profile::IlluminantToTemperature(17), 2850.0);
    EXPECT_EQ(dng_camera_profile::IlluminantToTemperature(24), 3200.0);
    EXPECT_EQ(dng_camera_profile::IlluminantToTemperature(0), 0.0);
    EXPECT_EQ(dng_camera_profile::IlluminantToTemperature(25), 0.0);
    EXPECT_EQ(dng_camera_profile::IlluminantToTemperature(7), 0.0);
}

TEST(CameraProfile, FingerprintFollowsEverySetter) {
    dng_camera_profile empty;
    char hex[33];
    empty.Fingerprint().ToHexText(hex);
    EXPECT_STREQ(hex, "D41D8CD98F00B204E9800998ECF8427E");  // MD5 of nothing

    dng_camera_profile p;
    p.SetColorMatrix1(MatrixOf(kColor1, 3, 3));
    const dng_fingerprint base = p.Fingerprint();
    p.SetCopyright("someone");
    EXPECT_NE(p.Fingerprint(), base);
    p.SetCopyright("");
    EXPECT_EQ(p.Fingerprint(), base);

    // The second set only counts when it has the first set's shape.
    p.SetColorMatrix2(MatrixOf(kColor2, 3, 3));
    EXPECT_NE(p.Fingerprint(), base);

    const dng_fingerprint withTwo = p.Fingerprint();
    const dng_fingerprint id = p.UniqueID();
    p.SetUniqueCameraModelRestriction("Camera X");
    EXPECT_EQ(p.Fingerprint(), withTwo);
    EXPECT_NE(p.UniqueID(), id);
}

// The bytes a fingerprint digests, spelt out by hand: little-endian
// integers, SRATIONAL matrix entries as numerator then denominator 10000.
struct LittleEndianBytes {
    std::vector<uint8> bytes;
    LittleEndianBytes& u16(uint16 v) {
        bytes.push_back(uint8(v));
        bytes.push_back(uint8(v >> 8));
        return *this;
    }
    LittleEndianBytes& u32(uint32 v) {
        for (int s = 0; s < 32; s += 8) bytes.push_back(uint8(v >> s));
        return *this;
    }
    LittleEndianBytes& ratios(std::initializer_list<int32> numerators) {
        for (int32 n : numerators) u32(uint32(n)).u32(10000);
        return *this;
    }
    LittleEndianBytes& f32(float f) {
        uint32 v;
        std::memcpy(&v, &f, 4);
        return u32(v);
    }
    LittleEndianBytes& f64(double d) {
        uint64 v;
        std::memcpy(&v, &d, 8);
        return u32(uint32(v)).u32(uint32(v >> 32));
    }
    LittleEndianBytes& text(const char* s) {
        bytes.insert(bytes.end(), s, s + std::strlen(s));
        return *this;
    }
    dng_fingerprint Digest() const {
        dng_md5_printer md5;
        md5.Process(bytes.data(), uint32(bytes.size()));
        return md5.Result();
    }
};

// Maps of three hues by two saturations whose hue and saturation deltas are
// all different, so that the order of the cells shows. The value scale
// stays 1: a map forces it there for saturation 0.
dng_hue_sat_map CountingMap(float base) {
    dng_hue_sat_map map;
    map.SetDivisions(3, 2, 1);
    for (uint32 h = 0; h < 3; h++)
        for (uint32 s = 0; s < 2; s++) {
            const float cell = base + float(h * 2 + s);
            map.SetDelta(h, s, 0, {cell, 1.0f + cell / 100, 1.0f});
        }
    return map;
}

void PutCountingMap(LittleEndianBytes& b, float base) {
    b.u32(3).u32(2).u32(1);
    for (int cell = 0; cell < 6; cell++)
        b.f32(base + float(cell)).f32(1.0f + (base + float(cell)) / 100).f32(1.0f);
}

// Colour matrices whose D50 response already peaks at 1: stored unscaled.
const std::vector<double> kPinColor1 = {0.5123, 0.1047, -0.2001, 0, 1, 0, -0.0987, 0.2345, 0.6001};
const std::vector<double> kPinColor2 = {0.6, -0.1, -0.05, -0.0421, 1.0421, 0, 0, 0, 1};
const std::vector<double> kPinForward2 = {0.6501, 0.15, 0.1141, 0.28,  0.62,
                                          0.1,    0.01, 0.09,   0.7251};

TEST(CameraProfile, FingerprintDigestsTheDocumentedByteLayout) {
    // Only colour matrix 1: illuminant, matrix, then the empty strings and
    // the embed policy; no tone curve in a profile that never had one.
    dng_camera_profile minimal;
    minimal.SetCalibrationIlluminant1(17);
    minimal.SetColorMatrix1(MatrixOf(kPinColor1, 3, 3));
    LittleEndianBytes expected;
    expected.u16(17).ratios({5123, 1047, -2001, 0, 10000, 0, -987, 2345, 6001}).u32(0);
    EXPECT_EQ(minimal.Fingerprint(), expected.Digest());

    dng_camera_profile p;
    p.SetName("Pinned");
    p.SetCalibrationIlluminant1(17);
    p.SetCalibrationIlluminant2(21);
    p.SetColorMatrix1(MatrixOf(kPinColor1, 3, 3));
    p.SetColorMatrix2(MatrixOf(kPinColor2, 3, 3));
    p.SetForwardMatrix1(MatrixOf(kForward, 3, 3));
    p.SetForwardMatrix2(MatrixOf(kPinForward2, 3, 3));
    p.SetProfileCalibrationSignature("sig");
    p.SetEmbedPolicy(3);
    p.SetCopyright("(c) me");
    p.SetHueSatDeltas1(CountingMap(10));
    p.SetHueSatDeltas2(CountingMap(20));
    p.SetHueSatMapEncoding(1);
    p.SetLookTable(CountingMap(30));
    p.SetLookTableEncoding(1);
    p.SetBaselineExposureOffset(0.25);
    p.SetDefaultBlackRender(1);
    dng_tone_curve curve;
    curve.fCoord = {{0.0, 0.0}, {0.6, 0.5}, {1.0, 1.0}};  // (y, x)
    p.SetToneCurve(curve);
    p.SetUniqueCameraModelRestriction("Cam");

    LittleEndianBytes full;
    full.u16(17)
        .ratios({5123, 1047, -2001, 0, 10000, 0, -987, 2345, 6001})
        .ratios({7000, 1000, 1643, 3000, 6000, 1000, 0, 1000, 7251})
        .u16(21)
        .ratios({6000, -1000, -500, -421, 10421, 0, 0, 0, 10000})
        .ratios({6501, 1500, 1141, 2800, 6200, 1000, 100, 900, 7251})
        .text("Pinned")
        .text("sig")
        .u32(3)
        .text("(c) me");
    PutCountingMap(full, 10);
    PutCountingMap(full, 20);
    full.u32(1);
    PutCountingMap(full, 30);
    full.u32(1).f64(0.25).u32(1);
    full.f32(0).f32(0).f32(0.5f).f32(0.6f).f32(1).f32(1);  // (x, y) pairs
    EXPECT_EQ(p.Fingerprint(), full.Digest());

    // The identity: the fingerprint's 16 bytes and then the restriction.
    LittleEndianBytes id;
    id.bytes.assign(p.Fingerprint().data, p.Fingerprint().data + 16);
    id.text("Cam");
    EXPECT_EQ(p.UniqueID(), id.Digest());

    // Four channels carry their reduction matrices, after the forward one.
    dng_camera_profile four;
    four.SetCalibrationIlluminant1(21);
    four.SetColorMatrix1(MatrixOf({0.5, 0.1, -0.2, 0, 1, 0, -0.1, 0.2, 0.6, 0.3, 0.3, 0.3}, 4, 3));
    four.SetReductionMatrix1(MatrixOf({0.5, 0.5, 0, 0, 0, 0.5, 0.5, 0, 0, 0, 0.5, 0.5}, 3, 4));
    LittleEndianBytes fourBytes;
    fourBytes.u16(21)
        .ratios({5000, 1000, -2000, 0, 10000, 0, -1000, 2000, 6000, 3000, 3000, 3000})
        .ratios({5000, 5000, 0, 0, 0, 5000, 5000, 0, 0, 0, 5000, 5000})
        .u32(0);
    EXPECT_EQ(four.Fingerprint(), fourBytes.Digest());
}

TEST(CameraProfile, SplitsProfileNames) {
    auto split = [](const char* name) {
        dng_string base;
        int32 version = 99;
        dng_camera_profile::SplitCameraProfileName(dng_string(name), base, version);
        return std::make_pair(std::string(base.Get()), version);
    };
    EXPECT_EQ(split("QRX 4.2"), std::make_pair(std::string("QRX"), 42));
    EXPECT_EQ(split("QrX 4.2"), std::make_pair(std::string("QrX 4.2"), 0));
    EXPECT_EQ(split("Vivid beta"), std::make_pair(std::string("Vivid"), -10));
    EXPECT_EQ(split("Vivid beta 3"), std::make_pair(std::string("Vivid"), -7));
    EXPECT_EQ(split("Vivid v2"), std::make_pair(std::string("Vivid"), 200));
    EXPECT_EQ(split("Vivid v2 beta"), std::make_pair(std::string("Vivid"), 190));
    EXPECT_EQ(split("Plain"), std::make_pair(std::string("Plain"), 0));
}

TEST(CameraProfile, FourColorBayerRepeatsGreen) {
    dng_camera_profile p;
    p.SetColorMatrix1(MatrixOf(kColor1, 3, 3));
    p.SetForwardMatrix1(MatrixOf(kForward, 3, 3));
    p.SetFourColorBayer();
    ASSERT_EQ(p.ColorMatrix1().Rows(), 4u);
    for (uint32 c = 0; c < 3; c++) EXPECT_EQ(p.ColorMatrix1()[3][c], p.ColorMatrix1()[1][c]);
    EXPECT_TRUE(p.ForwardMatrix1().IsEmpty());
    EXPECT_TRUE(p.ColorMatrix2().IsEmpty());
    EXPECT_TRUE(p.IsValid(4));

    p.SetFourColorBayer();  // no longer valid for three channels: unchanged
    EXPECT_EQ(p.ColorMatrix1().Rows(), 4u);
}

TEST(CameraProfile, HueSatMapForWhiteBlendsByInverseTemperature) {
    dng_camera_profile p;
    p.SetColorMatrix1(MatrixOf(kColor1, 3, 3));
    p.SetColorMatrix2(MatrixOf(kColor2, 3, 3));
    p.SetCalibrationIlluminant1(21);  // 6500 K first: the order must not matter
    p.SetCalibrationIlluminant2(17);  // 2850 K
    EXPECT_EQ(p.HueSatMapForWhite(D50_xy_coord()), nullptr);

    p.SetHueSatDeltas1(ConstantMap(4, 2, 20.0f));
    auto only = p.HueSatMapForWhite(D50_xy_coord());
    ASSERT_NE(only, nullptr);
    EXPECT_EQ(*only, p.HueSatDeltas1());

    p.SetHueSatDeltas2(ConstantMap(4, 2, 10.0f));
    auto shiftAt = [&](real64 kelvin) {
        auto map = p.HueSatMapForWhite(dng_temperature(kelvin, 0).Get_xy_coord());
        dng_hue_sat_map::HSBModify m;
        map->GetDelta(1, 1, 0, m);
        return m.fHueShift;
    };
    EXPECT_FLOAT_EQ(shiftAt(2000), 10.0f);
    EXPECT_FLOAT_EQ(shiftAt(9000), 20.0f);
    const real64 middle = 2.0 / (1.0 / 2850.0 + 1.0 / 6500.0);
    EXPECT_NEAR(shiftAt(middle), 15.0f, 0.05);
}

TEST(CameraProfile, GammaTablesForOneChannel) {
    std::unique_ptr<dng_1d_table> encode, decode;
    dng_camera_profile::MakeGammaTables(gDefaultDNGMemoryAllocator, 3, false, encode, decode);
    EXPECT_EQ(encode, nullptr);
    dng_camera_profile::MakeGammaTables(gDefaultDNGMemoryAllocator, 1, true, encode, decode);
    ASSERT_NE(encode, nullptr);
    ASSERT_NE(decode, nullptr);
    EXPECT_EQ(encode->Count(), 4096u);
    EXPECT_NEAR(encode->Interpolate(0.5f), std::pow(0.5, 1 / 2.2), 1e-3);
    EXPECT_NEAR(decode->Interpolate(encode->Interpolate(0.3f)), 0.3f, 1e-3);
}
