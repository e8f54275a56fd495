#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "dng/color/dng_camera_profile.h"
#include "dng/color/dng_color_spec.h"
#include "dng/color/dng_negative_color_data.h"
#include "dng/color/dng_temperature.h"
#include "dng/core/dng_exception.h"

namespace {

class TestNegative : public dng_negative_color_data {
public:
    explicit TestNegative(uint32 channels) : fChannels(channels) {}
    uint32 ColorChannels() const override { return fChannels; }
    const dng_string& CameraCalibrationSignature() const override { return fSignature; }
    const dng_matrix& CameraCalibration1() const override { return fCalibration1; }
    const dng_matrix& CameraCalibration2() const override { return fCalibration2; }
    real64 AnalogBalance(uint32 channel) const override {
        return channel < fBalance.size() ? fBalance[channel] : 1.0;
    }

    uint32 fChannels;
    dng_string fSignature;
    dng_matrix fCalibration1;
    dng_matrix fCalibration2;
    std::vector<real64> fBalance;
};

const dng_matrix_3by3 kWarmMatrix(0.8, -0.2, -0.1, -0.5, 1.4, 0.1, -0.1, 0.3, 0.5);
const dng_matrix_3by3 kColdMatrix(0.6, -0.1, -0.05, -0.4, 1.25, 0.2, -0.08, 0.2, 0.65);
// Rows sum to the PCS white.
const dng_matrix_3by3 kForward(0.7, 0.1, 0.1643, 0.3, 0.6, 0.1, 0.0, 0.1, 0.7251);

dng_camera_profile TwoIlluminantProfile(uint32 first, uint32 second) {
    dng_camera_profile p;
    p.SetCalibrationIlluminant1(first);
    p.SetCalibrationIlluminant2(second);
    const bool warmFirst = dng_camera_profile::IlluminantToTemperature(first) <
                           dng_camera_profile::IlluminantToTemperature(second);
    p.SetColorMatrix1(warmFirst ? kWarmMatrix : kColdMatrix);
    p.SetColorMatrix2(warmFirst ? kColdMatrix : kWarmMatrix);
    return p;
}

dng_xy_coord WhiteAt(real64 kelvin) { return dng_temperature(kelvin, 0).Get_xy_coord(); }

void ExpectNear(const dng_matrix& a, const dng_matrix& b, real64 tolerance) {
    ASSERT_EQ(a.Rows(), b.Rows());
    ASSERT_EQ(a.Cols(), b.Cols());
    for (uint32 r = 0; r < a.Rows(); r++)
        for (uint32 c = 0; c < a.Cols(); c++) EXPECT_NEAR(a[r][c], b[r][c], tolerance);
}

dng_error_code CodeOfSpec(const TestNegative& negative, const dng_camera_profile* profile) {
    try {
        dng_color_spec spec(negative, profile);
    } catch (const dng_exception& e) {
        return e.ErrorCode();
    }
    return dng_error_none;
}

}  // namespace

TEST(ColorSpec, InterpolatesInInverseTemperatureAfterSortingIlluminants) {
    // Cold illuminant (D65) first: the usual order puts the warm set first.
    const dng_camera_profile profile = TwoIlluminantProfile(21, 17);
    TestNegative negative(3);
    dng_color_spec spec(negative, &profile);
    EXPECT_EQ(spec.Temperature1(), 2850.0);
    EXPECT_EQ(spec.Temperature2(), 6500.0);

    const dng_matrix warm = profile.ColorMatrix2();
    const dng_matrix cold = profile.ColorMatrix1();
    EXPECT_EQ(spec.FindXYZtoCamera(WhiteAt(2000)), warm);
    EXPECT_EQ(spec.FindXYZtoCamera(WhiteAt(12000)), cold);

    const real64 middle = 2.0 / (1.0 / 2850.0 + 1.0 / 6500.0);
    const dng_xy_coord white = WhiteAt(middle);
    const real64 t = dng_temperature(white).Temperature();
    const real64 g = (1.0 / t - 1.0 / 6500.0) / (1.0 / 2850.0 - 1.0 / 6500.0);
    EXPECT_NEAR(g, 0.5, 1e-3);
    ExpectNear(spec.FindXYZtoCamera(white), g * warm + (1.0 - g) * cold, 1e-12);
}

TEST(ColorSpec, SingleSetCases) {
    TestNegative negative(3);

    dng_camera_profile one;
    one.SetColorMatrix1(kWarmMatrix);
    one.SetCalibrationIlluminant1(17);
    dng_color_spec spec(negative, &one);
    EXPECT_EQ(spec.Temperature1(), 5000.0);
    EXPECT_EQ(spec.Temperature2(), 5000.0);
    EXPECT_EQ(spec.FindXYZtoCamera(WhiteAt(2500)), one.ColorMatrix1());
    EXPECT_EQ(spec.FindXYZtoCamera(WhiteAt(9000)), one.ColorMatrix1());

    // Tungsten and standard light A are both 2850 K: one set.
    const dng_camera_profile same = TwoIlluminantProfile(3, 17);
    dng_color_spec sameSpec(negative, &same);
    EXPECT_EQ(sameSpec.Temperature1(), 5000.0);
    EXPECT_EQ(sameSpec.FindXYZtoCamera(WhiteAt(9000)), same.ColorMatrix1());

    // An unknown illuminant also collapses to one set.
    const dng_camera_profile unknown = TwoIlluminantProfile(0, 21);
    dng_color_spec unknownSpec(negative, &unknown);
    EXPECT_EQ(unknownSpec.Temperature2(), 5000.0);
}

TEST(ColorSpec, CalibrationAndBalanceFollowTheSignature) {
    dng_camera_profile profile;
    profile.SetColorMatrix1(kWarmMatrix);
    profile.SetProfileCalibrationSignature("cal A");

    TestNegative negative(3);
    negative.fCalibration1 = dng_matrix_3by3(1.1, 1.0, 0.9);
    negative.fBalance = {2.0, 1.0, 1.0};
    negative.fSignature.Set("cal B");

    dng_matrix calibration;
    {
        dng_color_spec mismatch(negative, &profile);
        const dng_matrix m =
            mismatch.FindXYZtoCamera(D50_xy_coord(), nullptr, nullptr, &calibration);
        EXPECT_TRUE(calibration.IsIdentity());
        EXPECT_DOUBLE_EQ(m[0][0], 2.0 * profile.ColorMatrix1()[0][0]);
        EXPECT_DOUBLE_EQ(m[1][1], profile.ColorMatrix1()[1][1]);
    }

    negative.fSignature.Set("cal A");
    dng_color_spec match(negative, &profile);
    const dng_matrix m = match.FindXYZtoCamera(D50_xy_coord(), nullptr, nullptr, &calibration);
    EXPECT_EQ(calibration, negative.fCalibration1);
    EXPECT_DOUBLE_EQ(m[2][2], 0.9 * profile.ColorMatrix1()[2][2]);
}

TEST(ColorSpec, CameraWhiteAndMatricesForAWhite) {
    const dng_camera_profile profile = TwoIlluminantProfile(17, 21);
    TestNegative negative(3);
    dng_color_spec spec(negative, &profile);

    const dng_xy_coord white = WhiteAt(4300);
    spec.SetWhiteXY(white);
    EXPECT_EQ(spec.WhiteXY(), white);

    const dng_vector& cw = spec.CameraWhite();
    EXPECT_DOUBLE_EQ(cw.MaxEntry(), 1.0);
    EXPECT_GE(cw.MinEntry(), 0.001);
    dng_vector expected = spec.FindXYZtoCamera(white) * XYtoXYZ(white);
    expected.Scale(1.0 / expected.MaxEntry());
    for (uint32 j = 0; j < 3; j++) EXPECT_NEAR(cw[j], expected[j], 1e-12);

    // The PCS white reaches exactly 1.0 in its largest channel.
    EXPECT_NEAR((spec.PCStoCamera() * PCStoXYZ()).MaxEntry(), 1.0, 1e-12);
    dng_matrix identity;
    identity.SetIdentity(3);
    ExpectNear(spec.CameraToPCS() * spec.PCStoCamera(), identity, 1e-9);

    // The camera white is the white: NeutralToXY finds it again.
    const dng_xy_coord found = spec.NeutralToXY(cw);
    EXPECT_NEAR(found.x, white.x, 1e-6);
    EXPECT_NEAR(found.y, white.y, 1e-6);
}

TEST(ColorSpec, ForwardMatrixMapsCameraWhiteToD50) {
    dng_camera_profile profile = TwoIlluminantProfile(17, 21);
    profile.SetForwardMatrix1(kForward);
    profile.SetForwardMatrix2(kForward);
    TestNegative negative(3);
    negative.fBalance = {1.0, 1.2, 1.0};
    dng_color_spec spec(negative, &profile);
    spec.SetWhiteXY(WhiteAt(5200));
    const dng_vector pcs = spec.CameraToPCS() * spec.CameraWhite();
    const dng_vector_3 d50 = PCStoXYZ();
    for (uint32 i = 0; i < 3; i++) EXPECT_NEAR(pcs[i], d50[i], 1e-9);

    dng_matrix forward;
    spec.FindXYZtoCamera(WhiteAt(5200), &forward);
    EXPECT_FALSE(forward.IsEmpty());
}

TEST(ColorSpec, FourColoursAndMonochrome) {
    dng_camera_profile profile = TwoIlluminantProfile(17, 21);
    profile.SetFourColorBayer();
    TestNegative four(4);
    dng_color_spec spec(four, &profile);
    const dng_xy_coord white = WhiteAt(3800);
    spec.SetWhiteXY(white);
    EXPECT_EQ(spec.CameraWhite().Count(), 4u);
    EXPECT_EQ(spec.CameraToPCS().Cols(), 4u);
    const dng_xy_coord found = spec.NeutralToXY(spec.CameraWhite());
    EXPECT_NEAR(found.x, white.x, 1e-6);
    EXPECT_NEAR(found.y, white.y, 1e-6);

    TestNegative mono(1);
    dng_color_spec gray(mono, nullptr);
    gray.SetWhiteXY(WhiteAt(3000));
    EXPECT_EQ(gray.CameraWhite().Count(), 1u);
    EXPECT_EQ(gray.CameraWhite()[0], 1.0);
    EXPECT_EQ(gray.CameraToPCS().Cols(), 1u);
    EXPECT_DOUBLE_EQ(gray.CameraToPCS()[1][0], 1.0);
    EXPECT_EQ(gray.NeutralToXY(dng_vector_3(1, 1, 1)), D50_xy_coord());
}

TEST(ColorSpec, RefusesMissingUnfitOrStubbedProfiles) {
    TestNegative negative(3);
    EXPECT_EQ(CodeOfSpec(negative, nullptr), dng_error_bad_format);

    dng_camera_profile empty;
    EXPECT_EQ(CodeOfSpec(negative, &empty), dng_error_bad_format);

    dng_camera_profile three = TwoIlluminantProfile(17, 21);
    EXPECT_EQ(CodeOfSpec(TestNegative(4), &three), dng_error_bad_format);

    three.SetWasStubbed();
    EXPECT_EQ(CodeOfSpec(negative, &three), dng_error_unknown);
}

TEST(ColorSpec, MapWhiteMatrixAdaptsWhites) {
    const dng_xy_coord d50 = D50_xy_coord();
    dng_matrix identity;
    identity.SetIdentity(3);
    ExpectNear(MapWhiteMatrix(d50, d50), identity, 1e-12);

    const dng_xy_coord d65(0.3127, 0.3290);
    const dng_vector mapped = MapWhiteMatrix(d65, d50) * XYtoXYZ(d65);
    const dng_vector_3 target = XYtoXYZ(d50);
    for (uint32 i = 0; i < 3; i++) EXPECT_NEAR(mapped[i], target[i], 1e-9);
}
