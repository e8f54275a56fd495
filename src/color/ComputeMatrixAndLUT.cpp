#include "color/ComputeMatrixAndLUT.h"

#include <algorithm>
#include <cmath>
#include <optional>

#include "color/ColorHelper.h"
#include "color/DNGCameraProfileAbstract.h"
#include "color/SettingsKeys.h"

namespace {

constexpr float kRGBtoYIQ[3][3] = {
    {0.299f, 0.587f, 0.114f}, {0.596f, -0.274f, -0.322f}, {0.212f, -0.523f, 0.311f}};
constexpr float kYIQtoRGB[3][3] = {
    {1.0f, 0.956f, 0.621f}, {1.0f, -0.272f, -0.647f}, {1.0f, -1.105f, 1.702f}};
constexpr float kLumaColumn[3] = {1228.8f, 2457.6f, 409.6f};
// 2^3.5: the level the knee maps its end to.
constexpr float kKneeCeiling = 11.3137085f;
constexpr float kKneeCeilingEV = 3.5f;
// The largest value a 16-bit input channel has on the stage's 65325 scale.
constexpr float kInputWhite = 65535.0f / 65325.0f;
// Where the roll-off of a positive baseline starts: at 0.75 of output white
// (sRGB 225) when the matrix applies it, so that whites the sensor held stay
// near white and the compression goes to the tones that would clip; when a
// curve has lifted the luminance, only colours pushed near white roll off,
// from 0.9 or from their own luminance if that is higher: measured against
// the output's white, a saturated colour's top channel stands well above its
// luminance, and those that fit keep nearly all their lightness.
constexpr float kBaselineKneeStart = 0.75f;
constexpr float kLiftedKneeStart = 0.9f;

std::optional<float> number(const platform::Dictionary& d, const char* key) {
    const platform::Value* v = d.find(key);
    if (!v || !v->isNumber()) return std::nullopt;
    return v->floatValue();
}

float numberOr(const platform::Dictionary& d, const char* key, float fallback) {
    return number(d, key).value_or(fallback);
}

bool flag(const platform::Dictionary& d, const char* key) {
    const platform::Value* v = d.find(key);
    return v && v->boolValue();
}

void setDiagonal(float m[3][3], float a, float b, float c) {
    for (int r = 0; r < 3; ++r)
        for (int col = 0; col < 3; ++col) m[r][col] = 0.0f;
    m[0][0] = a;
    m[1][1] = b;
    m[2][2] = c;
}

}  // namespace

float ComputeMatrixAndLUT::solveKnee(float x, float t) {
    float high = 1.0f, low = 0.0f;
    if (std::log(1.0f + x) > t) {
        float k = 1.0f;
        float k2 = 2.0f * k;
        // ln(1 + kx)/k falls towards 0 as k grows; the bound only guards
        // against inputs that never get there.
        for (int i = 0; i < 128; ++i) {
            k2 = 2.0f * k;
            if (!(std::log(1.0f + k2 * x) / k2 > t)) break;
            k = k2;
        }
        high = k2;
        low = k;
    }
    float mid = (high + low) / 2.0f;
    for (int i = 0; i < 30; ++i) {
        const float q = std::log(1.0f + mid * x) / mid;
        if (q < t)
            high = mid;
        else
            low = mid;
        mid = (high + low) / 2.0f;
    }
    return mid;
}

void ComputeMatrixAndLUT::setBaselineKnee(float exposure, float start, float* kneeLow,
                                          float* kneeF) {
    const float white = exposure * kInputWhite;
    if (!(white > 1.0f)) return;
    const float low = start * kMidGreyUnits;
    *kneeLow = low;
    // The logarithmic knee between the same ends, for whoever applies the
    // knee on each channel; the stage rolls the whole pixel off instead.
    *kneeF = solveKnee(white * kMidGreyUnits - low, kMidGreyUnits - low);
    kneeEnd_ = white * kMidGreyUnits;
}

void ComputeMatrixAndLUT::readAsShotWhite() {
    const platform::Dictionary& camera = *cameraParameters_;
    const float x = numberOr(camera, "asShotWhitex", 0.0f);
    const float y = numberOr(camera, "asShotWhitey", 0.0f);
    // A white without a positive chromaticity carries no white balance;
    // nothing is kept and the next call tries again.
    if (!(x > 0.0f && y > 0.0f)) return;

    ColorHelper helper;
    helper.setFromxyCoord(x, y);
    static const char* const kKeys[3][3] = {
        {"cameraFromXYZ00", "cameraFromXYZ01", "cameraFromXYZ02"},
        {"cameraFromXYZ10", "cameraFromXYZ11", "cameraFromXYZ12"},
        {"cameraFromXYZ20", "cameraFromXYZ21", "cameraFromXYZ22"}};
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c) camFromXYZ_[r][c] = numberOr(camera, kKeys[r][c], 0.0f);

    float white[3], neutral[3], cameraWhite[3];
    helper.getXYZCoord(white);
    Matrix3x3MultiplyVector(camFromXYZ_, white, neutral);
    float xyzFromProPhoto[3][3];
    ColorHelper::XYZFromProPhoto(xyzFromProPhoto);
    Matrix3x3Multiply(camFromXYZ_, xyzFromProPhoto, camFromRGB_);
    const float ones[3] = {1.0f, 1.0f, 1.0f};
    Matrix3x3MultiplyVector(camFromRGB_, ones, cameraWhite);
    for (int i = 0; i < 3; ++i) asShotMultiplier_[i] = neutral[i] / cameraWhite[i];
    setDiagonal(wbMultiplier_, 1.0f, 1.0f, 1.0f);
    haveTemperature_ = true;
}

void ComputeMatrixAndLUT::computeWhiteBalance(bool useAsShot) {
    const platform::Dictionary& settings = *imageParameters_;
    const std::optional<float> temperature = number(settings, SettingsKeys::kInputTemperature);
    const std::optional<float> tint = number(settings, SettingsKeys::kInputTint);
    setDiagonal(wbMultiplier_, 1.0f, 1.0f, 1.0f);
    if (useAsShot || !haveTemperature_ || (!temperature && !tint) ||
        !(temperature.value_or(0.0f) > 1.0f) || !number(*cameraParameters_, "asShotWhitex"))
        return;

    // A singular camera matrix has no way back to RGB: keep the identity.
    float rgbFromCamera[3][3];
    if (!Matrix3x3Invert(camFromRGB_, rgbFromCamera)) return;

    ColorHelper helper;
    helper.setFTemperature(*temperature);
    helper.setFTint(tint.value_or(0.0f));
    float white[3], response[3], rgb[3];
    helper.getXYZCoord(white);
    Matrix3x3MultiplyVector(camFromXYZ_, white, response);
    for (int i = 0; i < 3; ++i) response[i] /= asShotMultiplier_[i];
    Matrix3x3MultiplyVector(rgbFromCamera, response, rgb);
    for (float& v : rgb) v = std::max(v, 0.01f);

    const float luma =
        kRGBtoYIQ[0][0] * rgb[0] + kRGBtoYIQ[0][1] * rgb[1] + kRGBtoYIQ[0][2] * rgb[2];
    const float gains[3] = {luma / rgb[0], luma / rgb[1], luma / rgb[2]};
    // Degenerate camera data (a zero camera white) would spread NaN through
    // the whole image; it gets the identity instead.
    if (!std::isfinite(gains[0]) || !std::isfinite(gains[1]) || !std::isfinite(gains[2])) return;
    setDiagonal(wbMultiplier_, gains[0], gains[1], gains[2]);
}

void ComputeMatrixAndLUT::fillTable(float* lut, uint16_t width, float* outputOffset) const {
    const platform::Dictionary& settings = *imageParameters_;
    const float brightness = numberOr(settings, SettingsKeys::kInputBrightness, 0.0f);
    const float contrast = std::pow(2.0f, numberOr(settings, SettingsKeys::kInputContrast, 0.0f));
    const float fill = std::pow(2.0f, numberOr(settings, SettingsKeys::kInputFillLight, 0.0f));
    const float highLight = numberOr(settings, SettingsKeys::kInputHighLight, 0.0f);

    const float last = static_cast<float>(width - 1);
    for (int i = 0; i < width; ++i) {
        float* entry = lut + 4 * i;
        const float x = static_cast<float>(i) / last;
        entry[1] = x;
        const float v = std::max((x - 0.0625f) * contrast + 0.0625f, 0.0f);
        const float s = std::sqrt(v);
        float u =
            (DNGCameraProfileAbstract::dng_tone_curve_acr3_default(s) - s) * s * brightness + s;
        if (u < 0.353f) u = u * (s * (1.0f - fill) / 0.353f + fill);
        const float h =
            DNGCameraProfileAbstract::dng_tone_curve_acr3_defaultForNormalizedRange(u, 0.25f, 1.0f);
        u = (h - u) * u * highLight + u;
        entry[0] = u * u;
    }

    // Keep the table monotone on both sides of an eighth of the range.
    const int m = width / 8;
    if (width >= 16) {
        float running = lut[4 * m];
        for (int j = m - 1; j >= 1; --j) {
            lut[4 * j] = std::min(lut[4 * j], running);
            running = lut[4 * j];
        }
    }
    float running = lut[4 * m];
    for (int j = std::max(m - 1, 0); j < width; ++j) {
        lut[4 * j] = std::max(lut[4 * j], running);
        running = lut[4 * j];
    }

    const float offset = lut[0];
    *outputOffset = offset;
    for (int i = 0; i < width; ++i) {
        float* entry = lut + 4 * i;
        const float gain = i == 0 ? 1.0f : (entry[0] - offset) / entry[1];
        entry[0] = entry[1] = entry[2] = gain;
        entry[3] = 1.0f;
    }
}

bool ComputeMatrixAndLUT::populateFloatLUTAndMatrix(float* lut, uint16_t lutWidth,
                                                    float matrix[4][4], float* outputOffset,
                                                    float* kneeLow, float* kneeF) {
    if (!imageParameters_ || !cameraParameters_ || !matrix || !lut || lutWidth < 2 ||
        !outputOffset || !kneeLow || !kneeF)
        return false;
    const platform::Dictionary& settings = *imageParameters_;
    const platform::Dictionary& camera = *cameraParameters_;

    const bool maintainWhites = flag(settings, SettingsKeys::kMaintainWhites);
    const float ev = numberOr(settings, SettingsKeys::kInputEV, 0.0f);

    *kneeLow = 0.0f;
    *kneeF = -1.0f;
    if (enableCinematic_) {
        const std::optional<float> low = number(settings, SettingsKeys::kInputKneeLow);
        const std::optional<float> high = number(settings, SettingsKeys::kInputKneeHigh);
        // A knee that ends before it starts, or starts at the ceiling, has no
        // solution: it stays off.
        if (low && high && *high > *low && *low < kKneeCeilingEV) {
            *kneeLow = std::pow(2.0f, *low);
            *kneeF = solveKnee(std::pow(2.0f, *high) - *kneeLow, kKneeCeiling - *kneeLow);
        }
    }

    const bool useAsShot = flag(settings, SettingsKeys::kUseAsShotWB);
    const float saturation = numberOr(settings, SettingsKeys::kInputSaturation, 1.0f);
    const float angle = numberOr(settings, SettingsKeys::kInputAngle, 0.0f);

    if (!haveTemperature_ && camera.find("asShotWhitex")) readAsShotWhite();
    computeWhiteBalance(useAsShot);

    if (!haveBaseline_) {
        if (const std::optional<float> baseline = number(camera, "cameraBaselineExposure")) {
            baselineExposure_ = *baseline;
            haveBaseline_ = true;
        }
    }
    // With whites maintained a negative baseline is the camera-profile curve's
    // business, and so is a positive one when that curve carries it.
    float baseline = maintainWhites ? std::max(baselineExposure_, 0.0f) : baselineExposure_;
    if (maintainWhites && positiveBaselineInCurve_) baseline = 0.0f;
    const float e = std::pow(2.0f, ev + baseline);
    // A positive baseline as a plain gain would clip every tone the sensor
    // recorded above 2^-B of its white. Unless the user's knee is on, the
    // knee rolls them off instead, on each pixel as a whole so that colours
    // keep their hue: mid-tones keep the whole lift and the sensor's white
    // lands on output white. A lift through the automatic profile's curve
    // keeps the luminance below white, but a colour brighter in one channel
    // than its luminance still passes it; those roll off too.
    kneeWhole_ = false;
    kneeFromLuminance_ = false;
    kneeEnd_ = 0.0f;
    if (*kneeF < kKneeOff && baselineExposure_ > 0.0f) {
        const bool lifted = maintainWhites && positiveBaselineInCurve_;
        if (!lifted && baseline > 0.0f)
            setBaselineKnee(e, kBaselineKneeStart, kneeLow, kneeF);
        else if (lifted && rollOffLiftedColours_)
            setBaselineKnee(std::pow(2.0f, ev + baselineExposure_), kLiftedKneeStart, kneeLow,
                            kneeF);
        kneeWhole_ = *kneeF >= kKneeOff;
        // The curve already brings neutrals to white; a knee on them too
        // would squeeze the top a second time.
        kneeFromLuminance_ = kneeWhole_ && lifted;
    }

    const float cs = e * saturation * std::cos(angle);
    const float sn = e * saturation * std::sin(angle);
    const float S[3][3] = {{e, 0.0f, 0.0f}, {0.0f, cs, -sn}, {0.0f, sn, cs}};
    float a[3][3], b[3][3];
    Matrix3x3Multiply(kYIQtoRGB, S, a);
    Matrix3x3Multiply(a, kRGBtoYIQ, b);
    Matrix3x3Multiply(b, wbMultiplier_, xformMatrix_);

    for (int r = 0; r < 3; ++r) {
        for (int c = 0; c < 3; ++c) matrix[r][c] = xformMatrix_[c][r];
        matrix[r][3] = kLumaColumn[r];
    }
    for (int c = 0; c < 4; ++c) matrix[3][c] = 0.0f;

    fillTable(lut, lutWidth, outputOffset);
    return true;
}
