#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <tuple>
#include <vector>

#include "color/ColorHelper.h"
#include "color/ComputeMatrixAndLUT.h"

namespace {

using platform::Dictionary;

// ColorMatrix1 and AsShotNeutral of raw/dng/rpi-imx296_10bit-packed_strip.dng,
// as `exiftool -ColorMatrix1 -AsShotNeutral` prints them.
constexpr float kImx296ColorMatrix[3][3] = {
    {0.6142f, -0.169f, -0.0226f}, {-0.0721f, 0.8248f, 0.2238f}, {0.0526f, 0.064f, 0.3363f}};
constexpr float kImx296AsShotNeutral[3] = {0.390076455f, 1.0f, 0.4802612621f};

struct Output {
    std::vector<float> lut;
    float matrix[4][4];
    float offset = -7, kneeLow = -7, kneeF = -7;
    bool ok = false;

    explicit Output(uint16_t width = 4096) : lut(4u * width, -7.0f) {
        for (auto& row : matrix)
            for (float& v : row) v = -7;
    }
    // The stage's transform of a pixel: row vector times the matrix.
    void apply(const float in[3], float out[3]) const {
        for (int c = 0; c < 3; ++c)
            out[c] = in[0] * matrix[0][c] + in[1] * matrix[1][c] + in[2] * matrix[2][c];
    }
    float gain(int i) const { return lut[4 * i]; }
};

Output run(ComputeMatrixAndLUT& compute, uint16_t width = 4096) {
    Output out(width);
    out.ok = compute.populateFloatLUTAndMatrix(out.lut.data(), width, out.matrix, &out.offset,
                                               &out.kneeLow, &out.kneeF);
    return out;
}

Output run(Dictionary settings, Dictionary camera, bool cinematic = false) {
    ComputeMatrixAndLUT compute;
    compute.setImageParameters(std::move(settings));
    compute.setCameraParameters(std::move(camera));
    compute.setEnableCinematic(cinematic);
    return run(compute);
}

void addCameraMatrix(Dictionary& camera, const float m[3][3]) {
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c)
            camera.set("cameraFromXYZ" + std::to_string(r) + std::to_string(c), m[r][c]);
}

// The raw decoder's as-shot white: XYZ of the camera neutral, as xy.
Dictionary imx296Camera() {
    float xyzFromCamera[3][3], XYZ[3], xy[2];
    EXPECT_EQ(Matrix3x3Invert(kImx296ColorMatrix, xyzFromCamera), 1);
    Matrix3x3MultiplyVector(xyzFromCamera, kImx296AsShotNeutral, XYZ);
    ColorHelper::XYZtoXY(XYZ, xy);
    Dictionary camera{{"asShotWhitex", xy[0]}, {"asShotWhitey", xy[1]}};
    addCameraMatrix(camera, kImx296ColorMatrix);
    return camera;
}

void expectNeutral(const Output& out, float level, float tolerance) {
    const float grey[3] = {1, 1, 1};
    float o[3];
    out.apply(grey, o);
    for (float v : o) EXPECT_NEAR(v, level, tolerance);
}

TEST(ComputeMatrixAndLUT, MissingInputsWriteNothing) {
    ComputeMatrixAndLUT compute;
    Output out = run(compute);
    EXPECT_FALSE(out.ok);
    compute.setImageParameters(Dictionary{});
    out = run(compute);
    EXPECT_FALSE(out.ok);
    compute.setCameraParameters(Dictionary{});
    EXPECT_FALSE(run(compute, 1).ok);  // no table to speak of
    out = Output();
    EXPECT_FALSE(compute.populateFloatLUTAndMatrix(nullptr, 4096, out.matrix, &out.offset,
                                                   &out.kneeLow, &out.kneeF));
    EXPECT_FLOAT_EQ(out.matrix[0][0], -7);
    EXPECT_FLOAT_EQ(out.kneeF, -7);
    EXPECT_TRUE(run(compute).ok);
}

TEST(ComputeMatrixAndLUT, DefaultsKeepNeutralsAndUnitGains) {
    const Output out = run({}, {{"cameraBaselineExposure", 0.5f}});
    ASSERT_TRUE(out.ok);
    // The positive baseline rolls off from 0.75 of white (in mid-grey units).
    EXPECT_FLOAT_EQ(out.kneeLow, 0.75f * 5.5555553f);
    EXPECT_GT(out.kneeF, 0.0f);
    EXPECT_FLOAT_EQ(out.matrix[0][3], 1228.8f);
    EXPECT_FLOAT_EQ(out.matrix[1][3], 2457.6f);
    EXPECT_FLOAT_EQ(out.matrix[2][3], 409.6f);
    for (int c = 0; c < 4; ++c) EXPECT_EQ(out.matrix[3][c], 0.0f);
    // Exposure 2^B on grey; the rounded YIQ pair is close to the identity.
    expectNeutral(out, std::pow(2.0f, 0.5f), 2e-3f);
    const float red[3] = {1, 0, 0};
    float o[3];
    out.apply(red, o);
    EXPECT_NEAR(o[0], std::pow(2.0f, 0.5f), 2e-3f);
    EXPECT_NEAR(o[1], 0.0f, 2e-3f);

    EXPECT_FLOAT_EQ(out.offset, 0.0f);
    EXPECT_FLOAT_EQ(out.gain(0), 1.0f);
    // The repair around an eighth of the range raises the entry below it to its level.
    EXPECT_FLOAT_EQ(out.gain(511) * 511.0f, out.gain(512) * 512.0f);
    for (int i = 1; i < 4096; ++i) {
        if (i != 511) {
            ASSERT_NEAR(out.gain(i), 1.0f, 1e-4f) << i;
        }
        ASSERT_EQ(out.lut[4 * i + 1], out.lut[4 * i]);
        ASSERT_EQ(out.lut[4 * i + 3], 1.0f);
    }
}

TEST(ComputeMatrixAndLUT, SaturationAndHueWorkOnChromaOnly) {
    const Output grey = run({{"Quorvex_Filter_inputSaturation", 0.0f}}, {});
    const float red[3] = {1, 0, 0};
    float o[3];
    grey.apply(red, o);
    EXPECT_NEAR(o[0], o[1], 2e-3f);
    EXPECT_NEAR(o[1], o[2], 2e-3f);
    EXPECT_NEAR(o[0], 0.299f, 2e-3f);

    const Output turned = run({{"Quorvex_Filter_inputAngle", 0.7f}}, {});
    expectNeutral(turned, 1.0f, 2e-3f);
    turned.apply(red, o);
    EXPECT_GT(std::fabs(o[1]) + std::fabs(o[2]), 0.1f);
}

TEST(ComputeMatrixAndLUT, BaselineExposureAndMaintainWhites) {
    expectNeutral(run({}, {{"cameraBaselineExposure", -1.0f}}), 0.5f, 2e-3f);
    expectNeutral(run({{"Quorvex_MaintainWhites", true}}, {{"cameraBaselineExposure", -1.0f}}),
                  1.0f, 2e-3f);
    expectNeutral(run({{"Quorvex_MaintainWhites", true}}, {{"cameraBaselineExposure", 1.0f}}), 2.0f,
                  4e-3f);
    expectNeutral(run({{"Quorvex_Filter_inputEV", 1.0f}}, {{"cameraBaselineExposure", 1.0f}}), 4.0f,
                  8e-3f);

    // A profile curve that carries a positive baseline takes it out of the
    // matrix when whites are kept; a negative one or clipped whites are as before.
    auto inCurve = [](Dictionary settings, float baseline) {
        ComputeMatrixAndLUT c;
        c.setImageParameters(std::move(settings));
        c.setCameraParameters(Dictionary{{"cameraBaselineExposure", baseline}});
        c.setPositiveBaselineInCurve(true);
        return run(c);
    };
    expectNeutral(inCurve({{"Quorvex_MaintainWhites", true}}, 1.0f), 1.0f, 2e-3f);
    expectNeutral(
        inCurve({{"Quorvex_MaintainWhites", true}, {"Quorvex_Filter_inputEV", 1.0f}}, 2.0f), 2.0f,
        4e-3f);
    expectNeutral(inCurve({{"Quorvex_MaintainWhites", false}}, 1.0f), 2.0f, 4e-3f);
    expectNeutral(inCurve({}, -1.0f), 0.5f, 2e-3f);

    // The first baseline stays for the object's life.
    ComputeMatrixAndLUT compute;
    compute.setImageParameters(Dictionary{});
    compute.setCameraParameters(Dictionary{{"cameraBaselineExposure", 1.0f}});
    run(compute);
    compute.setCameraParameters(Dictionary{{"cameraBaselineExposure", 3.0f}});
    expectNeutral(run(compute), 2.0f, 4e-3f);
}

// One pixel through the outputs: matrix, gain by luminance, and the roll-off
// on the top channel: from the start (or the luminance), 0.8 of the rise to
// the end's white even, the rest through the rational lift.
std::array<float, 3> Render(const Output& out, const ComputeMatrixAndLUT& c,
                            std::array<float, 3> in) {
    std::array<float, 3> v{};
    out.apply(in.data(), v.data());
    const float g =
        out.gain(std::clamp(int(4096.0f * (0.3f * in[0] + 0.6f * in[1] + 0.1f * in[2])), 0, 4095));
    for (float& x : v) x = x * g + out.offset;
    const float z = std::max({v[0], v[1], v[2]}) * 5.5555553f;
    float low = out.kneeLow;
    if (c.kneeStartsAtLuminance())
        low = std::max(low, (0.3f * v[0] + 0.6f * v[1] + 0.1f * v[2]) * 5.5555553f);
    if (out.kneeF < 0.0001f || !(z > low)) return v;
    const float room = 5.5555553f - low, span = c.kneeEnd() - low, u = (z - low) / span;
    const float p = (span / room - 0.8f) / 0.2f;
    const float f = (low + room * (0.8f * u + 0.2f * p * u / (1 + (p - 1) * u))) / z;
    for (float& x : v) x *= f;
    return v;
}

// A positive baseline lifts mid-grey (or leaves it to the automatic curve) and
// rolls tones off towards white keeping channel ratios; otherwise no knee.
TEST(ComputeMatrixAndLUT, APositiveBaselineRollsOffTowardsWhiteInsteadOfClipping) {
    constexpr float kInputWhite = 65535.0f / 65325.0f;
    const Dictionary kept{{"Quorvex_MaintainWhites", true}}, ev{{"Quorvex_Filter_inputEV", -1.5f}};
    // Baseline, settings, lift in the curve, lifted colours rolled off, knee.
    for (const auto& [baseline, settings, inCurve, automatic, knee] :
         std::vector<std::tuple<float, Dictionary, bool, bool, bool>>{
             {1, kept, false, false, true},
             {1, kept, true, true, true},
             {0, {}, false, false, false},
             {-1, kept, false, false, false},
             {1, ev, false, false, false},
             {1, kept, true, false, false}}) {
        SCOPED_TRACE(::testing::Message() << baseline << " " << inCurve << automatic);
        ComputeMatrixAndLUT compute;
        compute.setImageParameters(settings);
        compute.setCameraParameters(Dictionary{{"cameraBaselineExposure", baseline}});
        compute.setPositiveBaselineInCurve(inCurve);
        compute.setRollOffLiftedColours(automatic);
        const Output out = run(compute);
        ASSERT_EQ(compute.kneeOnWholePixel(), knee);
        if (!knee) {
            EXPECT_FLOAT_EQ(out.kneeF, -1.0f);
            continue;
        }
        EXPECT_NEAR(Render(out, compute, {0.18f, 0.18f, 0.18f})[1], inCurve ? 0.18f : 0.36f,
                    0.0036f);
        if (inCurve)  // neutrals pass: the curve has brought them below white
            EXPECT_FLOAT_EQ(Render(out, compute, {0.99f, 0.99f, 0.99f})[1], 0.99f);
        else
            for (float v : Render(out, compute, {kInputWhite, kInputWhite, kInputWhite}))
                EXPECT_NEAR(v, 1.0f, 2e-3f);
        for (float x = 0.05f, last = 0; x <= kInputWhite;
             last = Render(out, compute, {x, x, x})[1], x += 0.01f)
            EXPECT_GT(Render(out, compute, {x, x, x})[1], last) << x;
        const auto amber = Render(out, compute, {0.95f, 0.6f, 0.1f});
        EXPECT_NEAR(amber[1] / amber[0], 0.6f / 0.95f, 0.01f);
    }
}

TEST(ComputeMatrixAndLUT, NeutralStaysNeutralAtTheAsShotWhiteOfARealCamera) {
    const Dictionary camera = imx296Camera();
    ColorHelper asShot;
    asShot.setFromxyCoord(camera["asShotWhitex"].floatValue(), camera["asShotWhitey"].floatValue());

    ComputeMatrixAndLUT compute;
    compute.setCameraParameters(camera);
    compute.setImageParameters(
        Dictionary{{"Quorvex_Filter_inputTemperature", asShot.fTemperature()},
                   {"Quorvex_Filter_inputTint", asShot.fTint()}});
    const Output out = run(compute);
    ASSERT_TRUE(compute.haveTemperature());
    for (int c = 0; c < 3; ++c) EXPECT_NEAR(compute.wbMultiplier(c), 1.0f, 2e-3f);
    expectNeutral(out, 1.0f, 4e-3f);

    // A lower temperature setting compensates warmer light: blue gains on red.
    compute.setImageParameters(Dictionary{{"Quorvex_Filter_inputTemperature", 3000.0f}});
    run(compute);
    EXPECT_GT(compute.wbMultiplier(2), compute.wbMultiplier(0) * 1.2f);
    // And the other way round.
    compute.setImageParameters(Dictionary{{"Quorvex_Filter_inputTemperature", 10000.0f}});
    run(compute);
    EXPECT_LT(compute.wbMultiplier(2), compute.wbMultiplier(0));
}

TEST(ComputeMatrixAndLUT, WhenTheCustomWhiteBalanceApplies) {
    const Dictionary camera = imx296Camera();
    auto wbIsIdentity = [&](Dictionary settings, Dictionary cam) {
        ComputeMatrixAndLUT compute;
        compute.setImageParameters(std::move(settings));
        compute.setCameraParameters(std::move(cam));
        EXPECT_TRUE(run(compute).ok);
        return compute.wbMultiplier(0) == 1.0f && compute.wbMultiplier(1) == 1.0f &&
               compute.wbMultiplier(2) == 1.0f;
    };
    EXPECT_TRUE(wbIsIdentity({{"Quorvex_Filter_inputTemperature", 1.0f}}, camera));
    EXPECT_FALSE(wbIsIdentity({{"Quorvex_Filter_inputTemperature", 1.01f}}, camera));
    EXPECT_TRUE(wbIsIdentity({}, camera));
    EXPECT_TRUE(wbIsIdentity({{"Quorvex_Filter_inputTint", 20.0f}}, camera));  // temperature 0
    EXPECT_TRUE(wbIsIdentity(
        {{"Quorvex_Filter_inputTemperature", 3000.0f}, {"Quorvex_UseAsShotWB", true}}, camera));

    // No as-shot white, or one that is not a chromaticity.
    Dictionary noWhite = camera;
    noWhite.remove("asShotWhitex");
    EXPECT_TRUE(wbIsIdentity({{"Quorvex_Filter_inputTemperature", 3000.0f}}, noWhite));
    Dictionary zeroY = camera;
    zeroY.set("asShotWhitey", 0.0f);
    EXPECT_TRUE(wbIsIdentity({{"Quorvex_Filter_inputTemperature", 3000.0f}}, zeroY));

    // A singular camera matrix gives the identity, not a matrix used as its own inverse.
    Dictionary singular = camera;
    const float flat[3][3] = {{1, 1, 1}, {1, 1, 1}, {0.5f, 0.2f, 0.1f}};
    addCameraMatrix(singular, flat);
    EXPECT_TRUE(wbIsIdentity({{"Quorvex_Filter_inputTemperature", 3000.0f}}, singular));
    // A camera that does not see ProPhoto white at all.
    Dictionary blind = camera;
    const float zero[3][3] = {};
    addCameraMatrix(blind, zero);
    EXPECT_TRUE(wbIsIdentity({{"Quorvex_Filter_inputTemperature", 3000.0f}}, blind));
}

TEST(ComputeMatrixAndLUT, AZeroAsShotWhiteIsPickedUpLater) {
    Dictionary camera = imx296Camera();
    Dictionary zero = camera;
    zero.set("asShotWhitex", 0.0f);
    ComputeMatrixAndLUT compute;
    compute.setImageParameters(Dictionary{{"Quorvex_Filter_inputTemperature", 3000.0f}});
    compute.setCameraParameters(zero);
    ASSERT_TRUE(run(compute).ok);
    EXPECT_FALSE(compute.haveTemperature());
    EXPECT_EQ(compute.wbMultiplier(0), 1.0f);

    compute.setCameraParameters(camera);
    run(compute);
    EXPECT_TRUE(compute.haveTemperature());
    EXPECT_NE(compute.wbMultiplier(0), 1.0f);
}

TEST(ComputeMatrixAndLUT, TheKnee) {
    const Dictionary wide{{"Quorvex_Filter_inputKneeLow", 0.0f},
                          {"Quorvex_Filter_inputKneeHigh", 20.0f}};
    Output out = run(wide, {}, true);
    EXPECT_FLOAT_EQ(out.kneeLow, 1.0f);
    // Solved: the knee's end lands on 2^3.5.
    const float x = std::pow(2.0f, 20.0f) - 1.0f, t = 11.3137085f - 1.0f;
    ASSERT_GT(out.kneeF, 1.0f);
    EXPECT_NEAR(std::log(1.0f + out.kneeF * x) / out.kneeF, t, 1e-3f);

    // ln(1 + x) ≤ t: bisection between 0 and 1.
    out = run({{"Quorvex_Filter_inputKneeLow", 1.0f}, {"Quorvex_Filter_inputKneeHigh", 2.0f}}, {},
              true);
    EXPECT_FLOAT_EQ(out.kneeLow, 2.0f);
    EXPECT_GT(out.kneeF, 0.0f);
    EXPECT_LT(out.kneeF, 1.0f);
    const float k = ComputeMatrixAndLUT::solveKnee(4.0f, 2.0f);
    EXPECT_NEAR(std::log(1.0f + k * 4.0f) / k, 2.0f, 1e-4f);
    EXPECT_LT(k, 1.0f);

    // Off: without the switch, with a key missing, an inverted or a too-high knee.
    for (const Dictionary& settings :
         {Dictionary{{"Quorvex_Filter_inputKneeLow", 1.0f}},
          Dictionary{{"Quorvex_Filter_inputKneeLow", 2.0f}, {"Quorvex_Filter_inputKneeHigh", 1.0f}},
          Dictionary{{"Quorvex_Filter_inputKneeLow", 2.0f}, {"Quorvex_Filter_inputKneeHigh", 2.0f}},
          Dictionary{{"Quorvex_Filter_inputKneeLow", 3.5f}, {"Quorvex_Filter_inputKneeHigh", 5.0f}},
          Dictionary{{"Quorvex_Filter_inputKneeLow", NAN},
                     {"Quorvex_Filter_inputKneeHigh", 5.0f}}}) {
        out = run(settings, {}, true);
        EXPECT_FLOAT_EQ(out.kneeLow, 0.0f);
        EXPECT_FLOAT_EQ(out.kneeF, -1.0f);
    }
    out = run(wide, {}, false);
    EXPECT_FLOAT_EQ(out.kneeF, -1.0f);
}

TEST(ComputeMatrixAndLUT, TableAdjustmentsStayMonotone) {
    for (const Dictionary& settings : {Dictionary{{"Quorvex_Filter_inputContrast", -1.0f}},
                                       Dictionary{{"Quorvex_Filter_inputContrast", 1.5f}},
                                       Dictionary{{"Quorvex_Filter_inputBrightness", 1.0f}},
                                       Dictionary{{"Quorvex_Filter_inputFillLight", 1.0f}},
                                       Dictionary{{"Quorvex_Filter_inputHighLight", 1.0f}},
                                       Dictionary{{"Quorvex_Filter_inputFillLight", -2.0f},
                                                  {"Quorvex_Filter_inputBrightness", -1.0f}}}) {
        const Output out = run(settings, {});
        ASSERT_TRUE(out.ok);
        float previous = out.offset;
        for (int i = 1; i < 4096; ++i) {
            const float level = out.gain(i) * (i / 4095.0f) + out.offset;
            ASSERT_TRUE(std::isfinite(level)) << i;
            ASSERT_GE(level, previous - 1e-6f) << i;
            previous = level;
        }
    }
    // Lower contrast lifts the blacks: an output offset.
    EXPECT_GT(run({{"Quorvex_Filter_inputContrast", -1.0f}}, {}).offset, 0.0f);
    // Brightness raises the middle, fill light the shadows.
    EXPECT_GT(run({{"Quorvex_Filter_inputBrightness", 1.0f}}, {}).gain(1024), 1.05f);
    EXPECT_GT(run({{"Quorvex_Filter_inputFillLight", 1.0f}}, {}).gain(100), 1.2f);
    // Highlight recovery reshapes the levels above a quarter, keeping white.
    const Output highLight = run({{"Quorvex_Filter_inputHighLight", 1.0f}}, {});
    EXPECT_LT(highLight.gain(368), 0.95f);
    EXPECT_NEAR(highLight.gain(4095), 1.0f, 1e-5f);
}

// A table of 4097 entries puts x = i / 4096 on exact binary fractions, so
// that s = sqrt(x) lands on the default curve's own sample points:
// D(0.25) = 0.52069, D(0.5) = 0.80486, D(0.75) = 0.93986. Every expected
// gain below is worked out by hand from those three values.
Output table4097(Dictionary settings) {
    ComputeMatrixAndLUT compute;
    compute.setImageParameters(std::move(settings));
    compute.setCameraParameters(Dictionary{});
    Output out = run(compute, 4097);
    EXPECT_TRUE(out.ok);
    return out;
}

TEST(ComputeMatrixAndLUT, GainTableMatchesHandWorkedLevels) {
    constexpr float kTol = 2e-5f;
    // Contrast +1 EV doubles the slope about the pivot 1/16:
    // x = 1/4: v = (0.25 - 0.0625) * 2 + 0.0625 = 0.4375.
    Output out = table4097({{"Quorvex_Filter_inputContrast", 1.0f}});
    EXPECT_FLOAT_EQ(out.offset, 0.0f);
    EXPECT_NEAR(out.gain(1024), 1.75f, kTol);
    // x = 1/32 sits where the line crosses 0; below it the level is clamped.
    EXPECT_NEAR(out.gain(128), 0.0f, kTol);
    EXPECT_NEAR(out.gain(64), 0.0f, kTol);

    // Contrast -1 EV lifts black to 0.0625 / 2 and leaves a gain of 1/2.
    out = table4097({{"Quorvex_Filter_inputContrast", -1.0f}});
    EXPECT_NEAR(out.offset, 0.03125f, 1e-7f);
    EXPECT_NEAR(out.gain(1024), 0.5f, kTol);
    EXPECT_NEAR(out.gain(3000), 0.5f, kTol);

    // Brightness 1: u = s + (D(s) - s) * s.
    out = table4097({{"Quorvex_Filter_inputBrightness", 1.0f}});
    // s = 0.5: u = 0.5 + 0.30486 * 0.5 = 0.65243; u^2 / 0.25.
    EXPECT_NEAR(out.gain(1024), 1.7026596f, kTol);
    // s = 0.75: u = 0.75 + 0.18986 * 0.75 = 0.892395; u^2 / 0.5625.
    EXPECT_NEAR(out.gain(2304), 1.4157668f, kTol);
    // s = 0.25: u = 0.25 + 0.27069 * 0.25 = 0.3176725; u^2 * 16.
    EXPECT_NEAR(out.gain(256), 1.6146531f, kTol);

    // Brightness works on the contrast-adjusted level: x = 5/32 gives
    // v = 0.25, s = 0.5, u = 0.65243 as above; u^2 / (5/32).
    out = table4097(
        {{"Quorvex_Filter_inputContrast", 1.0f}, {"Quorvex_Filter_inputBrightness", 1.0f}});
    EXPECT_NEAR(out.gain(640), 2.7242554f, kTol);

    // Fill light +1 EV (f = 2) below the knee at 0.353: u = s * (2 - s / 0.353).
    out = table4097({{"Quorvex_Filter_inputFillLight", 1.0f}});
    // s = 0.25: u = 0.25 * 1.2917847 = 0.3229462; u^2 * 16.
    EXPECT_NEAR(out.gain(256), 1.6687077f, kTol);
    // s = 22/64 = 0.34375: u = 0.3527576; u^2 / (484/4096).
    EXPECT_NEAR(out.gain(484), 1.0530946f, kTol);
    // s = 0.3514757, just below the knee: u = 0.3529934.
    EXPECT_NEAR(out.gain(506), 1.0086550f, kTol);
    // s = 0.3549, just above the knee, and s = 0.375: untouched.
    EXPECT_NEAR(out.gain(516), 1.0f, kTol);
    EXPECT_NEAR(out.gain(576), 1.0f, kTol);

    // Highlight 1 maps u in [0.25, 1] through D((u - 0.25) / 0.75):
    // u' = u + (h - u) * u.
    out = table4097({{"Quorvex_Filter_inputHighLight", 1.0f}});
    // u = 0.4375, h = D(0.25): u' = 0.4738956; u'^2 / (49/256).
    EXPECT_NEAR(out.gain(784), 1.1733006f, kTol);
    // u = 0.625, h = D(0.5): u' = 0.7374125; u'^2 / (25/64).
    EXPECT_NEAR(out.gain(1600), 1.3920696f, kTol);
    // u = 0.8125, h = D(0.75): u' = 0.91598; u'^2 / (169/256).
    EXPECT_NEAR(out.gain(2704), 1.2709406f, kTol);
    // u = 0.25 drops to 0.1875 (h = D(0) = 0). The downward repair then
    // caps every level below it at 0.1875^2 = 9/256, down to x = 9/256
    // itself (i = 144); levels under that keep their identity gain.
    EXPECT_NEAR(out.gain(256), 0.5625f, kTol);
    EXPECT_NEAR(out.gain(200), 0.72f, kTol);
    EXPECT_NEAR(out.gain(144), 1.0f, kTol);
    EXPECT_NEAR(out.gain(64), 1.0f, kTol);
}

TEST(ComputeMatrixAndLUT, SmallTablesSkipTheDownwardRepair) {
    ComputeMatrixAndLUT compute;
    compute.setImageParameters(Dictionary{{"Quorvex_Filter_inputContrast", -1.0f}});
    compute.setCameraParameters(Dictionary{});
    for (uint16_t width : {2, 7, 8, 15, 16}) {
        const Output out = run(compute, width);
        ASSERT_TRUE(out.ok) << width;
        EXPECT_FLOAT_EQ(out.gain(0), 1.0f);
        for (int i = 0; i < width; ++i) EXPECT_TRUE(std::isfinite(out.gain(i))) << width << i;
    }
}

}  // namespace
