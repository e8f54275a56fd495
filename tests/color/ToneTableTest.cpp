#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "color/DNGCameraProfileAbstract.h"

namespace {

using Profile = DNGCameraProfileAbstract;

struct Row {
    int k;
    float value;
};
// The fixed rows of the default curve.
constexpr Row kGivenRows[] = {
    {0, 0.0f},       {1, 0.00078f},    {2, 0.0016f},    {4, 0.00314f},   {8, 0.00623f},
    {16, 0.01485f},  {32, 0.04002f},   {64, 0.10433f},  {128, 0.25961f}, {256, 0.52069f},
    {384, 0.69035f}, {512, 0.80486f},  {640, 0.88453f}, {768, 0.93986f}, {896, 0.97702f},
    {960, 0.99009f}, {1023, 0.99987f}, {1024, 1.0f},
};

TEST(DefaultToneCurve, HoldsItsGivenRowsAndNeverFalls) {
    const float* T = Profile::defaultToneCurveTable();
    for (const Row& row : kGivenRows) {
        EXPECT_FLOAT_EQ(T[row.k], row.value) << row.k;
        if (row.k < 1024) {
            EXPECT_FLOAT_EQ(Profile::dng_tone_curve_acr3_default(row.k / 1024.0f), row.value);
        }
    }
    for (int k = 0; k < Profile::kDefaultCurveEntries - 1; ++k) EXPECT_LE(T[k], T[k + 1]) << k;
}

TEST(DefaultToneCurve, InterpolatesEverySegmentWithoutSteps) {
    const float* T = Profile::defaultToneCurveTable();
    // Halfway between two samples is their mean, the first segment included.
    EXPECT_FLOAT_EQ(Profile::dng_tone_curve_acr3_default(0.5f / 1024.0f), T[1] / 2.0f);
    EXPECT_FLOAT_EQ(Profile::dng_tone_curve_acr3_default(300.5f / 1024.0f), (T[300] + T[301]) / 2);
    // No jump where the first segment meets the second.
    const float below = Profile::dng_tone_curve_acr3_default(std::nextafter(1.0f / 1024, 0.0f));
    EXPECT_NEAR(below, T[1], 1e-6f);
    // Outside [0, 1) the input comes back.
    EXPECT_FLOAT_EQ(Profile::dng_tone_curve_acr3_default(1.0f), 1.0f);
    EXPECT_FLOAT_EQ(Profile::dng_tone_curve_acr3_default(1.5f), 1.5f);
    EXPECT_FLOAT_EQ(Profile::dng_tone_curve_acr3_default(-0.25f), -0.25f);
    EXPECT_TRUE(std::isnan(Profile::dng_tone_curve_acr3_default(NAN)));
}

TEST(DefaultToneCurve, RangedForms) {
    // Normalised: the curve of the position in the range, not mapped back.
    EXPECT_FLOAT_EQ(Profile::dng_tone_curve_acr3_defaultForNormalizedRange(0.25f, 0.25f, 1.0f),
                    0.0f);
    EXPECT_FLOAT_EQ(Profile::dng_tone_curve_acr3_defaultForNormalizedRange(0.625f, 0.25f, 1.0f),
                    Profile::dng_tone_curve_acr3_default(0.5f));
    EXPECT_FLOAT_EQ(Profile::dng_tone_curve_acr3_defaultForNormalizedRange(0.2f, 0.25f, 1.0f),
                    0.2f);
    EXPECT_FLOAT_EQ(Profile::dng_tone_curve_acr3_defaultForNormalizedRange(0.5f, 1.0f, 1.0f), 0.5f);
    // In range: the curve stretched over the range.
    for (float x : {0.0f, 0.1f, 0.5f, 0.9f})
        EXPECT_FLOAT_EQ(Profile::dng_tone_curve_acr3_defaultInRange(x, 0.0f, 1.0f),
                        Profile::dng_tone_curve_acr3_default(x));
    EXPECT_FLOAT_EQ(Profile::dng_tone_curve_acr3_defaultInRange(0.75f, 0.5f, 1.0f),
                    0.5f + Profile::dng_tone_curve_acr3_default(0.5f) * 0.5f);
    EXPECT_FLOAT_EQ(Profile::dng_tone_curve_acr3_defaultInRange(1.2f, 0.0f, 1.0f), 1.2f);
}

TEST(CurveAdjust, DarkensLinearlyThenJoinsOneSmoothly) {
    const auto profile = Profile::initAsAutoProfile();
    profile->computecurveAdjust(-1.0f);
    EXPECT_FLOAT_EQ(profile->curveAdjust(0.2f), 0.1f);
    EXPECT_FLOAT_EQ(profile->curveAdjust(0.25f), 0.125f);
    EXPECT_NEAR(profile->curveAdjust(1.0f), 1.0f, 1e-6f);
    // Same value and slope where the line hands over to the quadratic.
    const float e = 1e-3f;
    EXPECT_NEAR(profile->curveAdjust(0.25f + e), 0.125f + 0.5f * e, 1e-5f);
    // EV ≥ 0: the slope is 2^EV everywhere.
    profile->computecurveAdjust(1.0f);
    EXPECT_FLOAT_EQ(profile->curveAdjust(0.2f), 0.4f);
    EXPECT_FLOAT_EQ(profile->curveAdjust(0.5f), 1.0f);
}

class ToneTable : public ::testing::Test {
protected:
    static constexpr uint32_t kN = Profile::kLUT16Size;
    Profile::Ptr profile = Profile::initAsAutoProfile();
    std::vector<uint16_t> lut = std::vector<uint16_t>(kN, 0xBEEF);
    std::vector<float> gains = std::vector<float>(kN, -1.0f);
    static float x(uint32_t i) { return static_cast<float>(i) / (kN - 1); }
};

TEST_F(ToneTable, MinusOneEVDarkensBeforeTheCurve) {
    profile->generateLUT16(lut.data(), gains.data(), -1.0f, false, false, 1.0f);
    for (uint32_t i : {100u, 8000u, 16383u, 30000u, 50000u, 65535u}) {
        const float darkened = i <= 16383 ? 0.5f * x(i) : profile->curveAdjust(x(i));
        const float F = Profile::dng_tone_curve_acr3_default(darkened);
        EXPECT_NEAR(gains[i], F / x(i), 1e-4f) << i;
        EXPECT_NEAR(lut[i], F * 65535.0f, 1.0f) << i;
    }
    // Output-referred: only the darkening.
    profile->generateLUT16(lut.data(), gains.data(), -1.0f, true, false, 1.0f);
    EXPECT_NEAR(gains[10000], 0.5f, 1e-5f);
    EXPECT_EQ(lut[65535], 65535);
    EXPECT_NEAR(lut[40000], profile->curveAdjust(x(40000)) * 65535.0f, 1.0f);
}

TEST_F(ToneTable, PositiveExposureLiftsKeepingWhiteAndClipWhitesIgnoresTheExposure) {
    std::vector<float> reference(kN), other(kN);
    profile->generateLUT16(nullptr, reference.data(), 0.0f, false, false, 1.0f);
    profile->generateLUT16(nullptr, other.data(), 1.5f, false, true, 1.0f);
    EXPECT_EQ(reference, other);
    profile->generateLUT16(nullptr, other.data(), -2.0f, false, true, 1.0f);
    EXPECT_EQ(reference, other);

    // +1 EV with whites kept, output-referred (no profile curve): 2x ÷ (1 + x)
    // up to 0.45, so slope 2 at black, 0.3051 at mid grey; above, nearly
    // even up to white: from 18/29 with slope 800/841 (1.379 of the rise
    // over the rest), slope 0.6592 at white where the lift alone has ½.
    std::vector<uint16_t> lut(kN);
    profile->generateLUT16(lut.data(), other.data(), 1.0f, true, false, 1.0f);
    EXPECT_NEAR(other[1], 2.0f, 1e-3f);
    const uint32_t grey = uint32_t(0.18 * 65535 + 0.5);
    EXPECT_NEAR(other[grey] * x(grey), 2 * x(grey) / (1 + x(grey)), 1e-5f);
    EXPECT_NEAR(other[grey] * x(grey), 0.3051f, 1e-3f);
    EXPECT_NEAR(other[19661] * x(19661), 0.6f / 1.3f, 1e-4f);  // 0.3
    EXPECT_EQ(lut[65535], 65535);
    EXPECT_FLOAT_EQ(other[65535], 1.0f);
    EXPECT_NEAR((lut[65535] - lut[65535 - 655]) / 655.0, 0.6592, 0.01) << "slope at white";
    EXPECT_NEAR(other[32768] * x(32768), 0.6622f, 1e-3f);  // 0.5, below the lift's 2/3
    // Scene-referred, the profile curve follows the lift.
    profile->generateLUT16(nullptr, other.data(), 1.0f, false, false, 1.0f);
    EXPECT_NEAR(other[16384] * x(16384), Profile::dng_tone_curve_acr3_default(0.4f), 1e-4f);
    EXPECT_NEAR(other[65535], 1.0f, 1e-6f);
    // Scene-referred with the full curve weight is the default curve.
    EXPECT_NEAR(reference[32768] * x(32768), Profile::dng_tone_curve_acr3_default(x(32768)), 1e-6f);
    // Zero weight leaves the identity.
    profile->generateLUT16(nullptr, other.data(), 0.0f, false, false, 0.0f);
    EXPECT_FLOAT_EQ(other[12345], 1.0f);
}

TEST_F(ToneTable, OutputReferredWithoutDarkeningIsTheIdentity) {
    profile->generateLUT16(lut.data(), gains.data(), 0.0f, true, false, 1.0f);
    EXPECT_EQ(lut[0], 0);  // entry 0 is written too
    EXPECT_FLOAT_EQ(gains[0], 0.0f);
    for (uint32_t i = 1; i < kN; ++i) {
        ASSERT_NEAR(gains[i], 1.0f, 1e-6f) << i;
        ASSERT_EQ(lut[i], i) << i;
    }
}

TEST_F(ToneTable, SixteenBitEntriesAreClampedNeverWrapped) {
    // A curve weight of 3 lifts the middle above full scale.
    profile->generateLUT16(lut.data(), nullptr, 0.0f, false, false, 3.0f);
    EXPECT_EQ(lut[32768], 65535);
    for (uint32_t i = 1; i < kN; ++i) ASSERT_GE(lut[i], lut[i - 1] > 60000 ? 60000 : 0) << i;
    // A negative weight pushes the dark end below zero.
    profile->generateLUT16(lut.data(), nullptr, 0.0f, false, false, -3.0f);
    EXPECT_EQ(lut[5000], 0);
}

TEST_F(ToneTable, SmallAndEmptySizes) {
    profile->generateLUT(lut.data(), gains.data(), 2, 0.0f, false, false, 1.0f);
    EXPECT_EQ(lut[0], 0);
    EXPECT_EQ(lut[1], 1);
    EXPECT_FLOAT_EQ(gains[1], 1.0f);
    EXPECT_EQ(lut[2], 0xBEEF);  // nothing past the size
    profile->generateLUT(lut.data(), gains.data(), 1, 0.0f, false, false, 1.0f);
    EXPECT_FLOAT_EQ(gains[0], 0.0f);
    profile->generateLUT(nullptr, nullptr, kN, 0.0f, false, false, 1.0f);  // nothing to fill
}

}  // namespace
