#include "color/ColorHelper.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>

#include "platform/Colorimetry.h"
#include "platform/Log.h"

namespace {

struct IsoTemperatureRow {
    float r;  // reciprocal temperature, mireds
    float u;
    float v;
    float t;  // slope of the isotemperature line
};

// Robertson's isotemperature lines in CIE 1960 uv.
constexpr IsoTemperatureRow kIsoTemperature[31] = {
    {0, 0.18006f, 0.26352f, -0.24341f},   {10, 0.18066f, 0.26589f, -0.25479f},
    {20, 0.18133f, 0.26846f, -0.26876f},  {30, 0.18208f, 0.27119f, -0.28539f},
    {40, 0.18293f, 0.27407f, -0.30470f},  {50, 0.18388f, 0.27709f, -0.32675f},
    {60, 0.18494f, 0.28021f, -0.35156f},  {70, 0.18611f, 0.28342f, -0.37915f},
    {80, 0.18740f, 0.28668f, -0.40955f},  {90, 0.18880f, 0.28997f, -0.44278f},
    {100, 0.19032f, 0.29326f, -0.47888f}, {125, 0.19462f, 0.30141f, -0.58204f},
    {150, 0.19962f, 0.30921f, -0.70471f}, {175, 0.20525f, 0.31647f, -0.84901f},
    {200, 0.21142f, 0.32312f, -1.0182f},  {225, 0.21807f, 0.32909f, -1.2168f},
    {250, 0.22511f, 0.33439f, -1.4512f},  {275, 0.23247f, 0.33904f, -1.7298f},
    {300, 0.24010f, 0.34308f, -2.0637f},  {325, 0.24792f, 0.34655f, -2.4681f},
    {350, 0.25591f, 0.34951f, -2.9641f},  {375, 0.26400f, 0.35200f, -3.5814f},
    {400, 0.27218f, 0.35407f, -4.3633f},  {425, 0.28039f, 0.35577f, -5.3762f},
    {450, 0.28863f, 0.35714f, -6.7262f},  {475, 0.29685f, 0.35823f, -8.5955f},
    {500, 0.30505f, 0.35907f, -11.324f},  {525, 0.31320f, 0.35968f, -15.628f},
    {550, 0.32129f, 0.36011f, -23.325f},  {575, 0.32931f, 0.36038f, -40.770f},
    {600, 0.33724f, 0.36051f, -116.45f},
};
constexpr int kLastIsoRow = 30;

constexpr float kTintScale = -3000.0f;
constexpr float kMinTemperature = 1000.0f, kMaxTemperature = 14000.0f;
constexpr float kMaxTint = 150.0f;

template <typename T>
constexpr std::array<std::array<float, 3>, 3> toFloat(const T& m) {
    std::array<std::array<float, 3>, 3> f{};
    for (int r = 0; r < 3; r++)
        for (int c = 0; c < 3; c++) f[r][c] = float(m[r][c]);
    return f;
}
constexpr auto kXYZFromsRGB_D65 = toFloat(platform::colorimetry::kXYZFromSRGB);
constexpr auto kXYZFromProPhoto = toFloat(platform::colorimetry::kXYZFromProPhoto);
constexpr float kBradford[3][3] = {
    {0.8951f, 0.2664f, -0.1614f}, {-0.7502f, 1.7135f, 0.0367f}, {0.0389f, -0.0685f, 1.0296f}};

void copy3x3(const float from[3][3], float to[3][3]) { std::memcpy(to, from, sizeof(float) * 9); }
void copy3x3(const std::array<std::array<float, 3>, 3>& from, float to[3][3]) {
    for (int r = 0; r < 3; r++)
        for (int c = 0; c < 3; c++) to[r][c] = from[r][c];
}

void setXY(float xy[2], float x, float y) {
    xy[0] = x;
    xy[1] = y;
}

// The unit normal of an isotemperature line.
void unitNormal(float slope, float* du, float* dv) {
    const float len = std::sqrt(1.0f + slope * slope);
    *du = 1.0f / len;
    *dv = slope / len;
}

}  // namespace

void ColorHelper::XYZFromsRGB_D65(float matrix[3][3]) { copy3x3(kXYZFromsRGB_D65, matrix); }
void ColorHelper::XYZFromProPhoto(float matrix[3][3]) { copy3x3(kXYZFromProPhoto, matrix); }

void ColorHelper::StdA_xy_coord(float xy[2]) { setXY(xy, 0.4476f, 0.4074f); }
void ColorHelper::D50_xy_coord(float xy[2]) {
    setXY(xy, float(platform::colorimetry::kD50White.x), float(platform::colorimetry::kD50White.y));
}
void ColorHelper::D55_xy_coord(float xy[2]) { setXY(xy, 0.3324f, 0.3474f); }
void ColorHelper::D65_xy_coord(float xy[2]) {
    setXY(xy, float(platform::colorimetry::kD65White.x), float(platform::colorimetry::kD65White.y));
}
void ColorHelper::D75_xy_coord(float xy[2]) { setXY(xy, 0.2990f, 0.3149f); }

void ColorHelper::XYZtoXY(const float XYZ[3], float xy[2]) {
    const float sum = XYZ[0] + XYZ[1] + XYZ[2];
    if (sum > 0.0f) {
        setXY(xy, XYZ[0] / sum, XYZ[1] / sum);
    } else {
        D50_xy_coord(xy);
    }
}

void ColorHelper::XYtoXYZ(const float xy[2], float xyz[3]) {
    constexpr float kLow = 1e-6f, kHigh = 0.999999f;
    // Written so that NaN ends at the low clamp instead of passing through.
    float x = xy[0] > kLow ? std::min(xy[0], kHigh) : kLow;
    float y = xy[1] > kLow ? std::min(xy[1], kHigh) : kLow;
    if (x + y > kHigh) {
        const float scale = kHigh / (x + y);
        x *= scale;
        y *= scale;
    }
    xyz[0] = x / y;
    xyz[1] = 1.0f;
    xyz[2] = (1.0f - x - y) / y;
}

void ColorHelper::ProPhotoRGBtoXYZ(float r, float g, float b, float XYZ[3]) {
    const float rgb[3] = {r, g, b};
    float toXYZ[3][3];
    copy3x3(kXYZFromProPhoto, toXYZ);
    Matrix3x3MultiplyVector(toXYZ, rgb, XYZ);
}

void ColorHelper::MapWhiteMatrix(const float white1[2], const float toWhite[2],
                                 float whiteMatrix[3][3]) {
    float xyz1[3], xyz2[3], w1[3], w2[3];
    XYtoXYZ(white1, xyz1);
    XYtoXYZ(toWhite, xyz2);
    Matrix3x3MultiplyVector(kBradford, xyz1, w1);
    Matrix3x3MultiplyVector(kBradford, xyz2, w2);

    float scale[3][3] = {};
    for (int i = 0; i < 3; ++i) {
        const float c1 = std::max(w1[i], 0.0f);
        const float c2 = std::max(w2[i], 0.0f);
        const float ratio = c1 > 0.0f ? c2 / c1 : 10.0f;
        scale[i][i] = std::clamp(ratio, 0.1f, 10.0f);
    }

    float inverse[3][3];
    if (!Matrix3x3Invert(kBradford, inverse))
        platform::log("%s - could not invert matrix; dterminant not found",
                      "+[ColorHelper MapWhiteMatrix:toWhite:whiteMatrix:]");
    float scaled[3][3];
    Matrix3x3Multiply(scale, kBradford, scaled);
    Matrix3x3Multiply(inverse, scaled, whiteMatrix);
}

void ColorHelper::dumpMatrix(const float matrix[3][3]) {
    for (int r = 0; r < 3; ++r)
        platform::log("%0.4f %0.4f %0.4f", matrix[r][0], matrix[r][1], matrix[r][2]);
    platform::log("%s", "");
}

void ColorHelper::setFromxyCoord(float x, float y) {
    const double denominator = 1.5 - x + 6.0 * y;
    const float u = static_cast<float>(2.0 * x / denominator);
    const float v = static_cast<float>(3.0 * y / denominator);

    float lastD = 0, lastDu = 0, lastDv = 0;
    for (int i = 1; i <= kLastIsoRow; ++i) {
        const IsoTemperatureRow& row = kIsoTemperature[i];
        float du, dv;
        unitNormal(row.t, &du, &dv);
        float d = (v - row.v) * du - (u - row.u) * dv;
        if (d <= 0.0f || i == kLastIsoRow) {
            d = -std::min(d, 0.0f);
            const float f = i == 1 ? 0.0f : d / (lastD + d);
            const IsoTemperatureRow& prev = kIsoTemperature[i - 1];

            const float temperature = 1.0e6f / (prev.r * f + row.r * (1.0f - f));

            const float uu = u - (prev.u * f + row.u * (1.0f - f));
            const float vv = v - (prev.v * f + row.v * (1.0f - f));
            float nu = du * (1.0f - f) + lastDu * f;
            float nv = dv * (1.0f - f) + lastDv * f;
            const float len = std::sqrt(nu * nu + nv * nv);
            nu /= len;
            nv /= len;
            const float tint = (uu * nu + vv * nv) * kTintScale;

            // NaN (from a degenerate white) lands on the low clamp.
            temperature_ = temperature > kMinTemperature ? std::min(temperature, kMaxTemperature)
                                                         : kMinTemperature;
            tint_ = tint > -kMaxTint ? std::min(tint, kMaxTint) : -kMaxTint;
            return;
        }
        lastD = d;
        lastDu = du;
        lastDv = dv;
    }
}

void ColorHelper::setFromXYZCoord(const float XYZ[3]) {
    float xy[2];
    XYZtoXY(XYZ, xy);
    setFromxyCoord(xy[0], xy[1]);
}

void ColorHelper::setFromProPhotoRGB(float r, float g, float b) {
    float XYZ[3];
    ProPhotoRGBtoXYZ(r, g, b, XYZ);
    setFromXYZCoord(XYZ);
}

void ColorHelper::getxyCoord(float* x, float* y) const {
    const float r = 1.0e6f / temperature_;
    const float offset = tint_ / kTintScale;

    int i = 1;
    while (i < kLastIsoRow && !(kIsoTemperature[i].r > r)) ++i;
    const IsoTemperatureRow& prev = kIsoTemperature[i - 1];
    const IsoTemperatureRow& row = kIsoTemperature[i];

    const float f = (row.r - r) / (row.r - prev.r);
    float u = prev.u * f + row.u * (1.0f - f);
    float v = prev.v * f + row.v * (1.0f - f);

    float du0, dv0, du1, dv1;
    unitNormal(prev.t, &du0, &dv0);
    unitNormal(row.t, &du1, &dv1);
    float nu = du0 * f + du1 * (1.0f - f);
    float nv = dv0 * f + dv1 * (1.0f - f);
    const float len = std::sqrt(nu * nu + nv * nv);
    nu /= len;
    nv /= len;

    u += nu * offset;
    v += nv * offset;

    const float denominator = u - 4.0f * v + 2.0f;
    *x = 1.5f * u / denominator;
    *y = v / denominator;
}

void ColorHelper::getXYZCoord(float XYZ[3]) const {
    float xy[2];
    getxyCoord(&xy[0], &xy[1]);
    XYtoXYZ(xy, XYZ);
}

void Matrix3x3Multiply(const float A[3][3], const float B[3][3], float P[3][3]) {
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c)
            P[r][c] = A[r][0] * B[0][c] + A[r][1] * B[1][c] + A[r][2] * B[2][c];
}

void Matrix3x3MultiplyVector(const float M[3][3], const float v[3], float r[3]) {
    for (int i = 0; i < 3; ++i) r[i] = M[i][0] * v[0] + M[i][1] * v[1] + M[i][2] * v[2];
}

int Matrix3x3Invert(const float M[3][3], float R[3][3]) {
    const float c00 = M[1][1] * M[2][2] - M[1][2] * M[2][1];
    const float c01 = M[1][2] * M[2][0] - M[1][0] * M[2][2];
    const float c02 = M[1][0] * M[2][1] - M[1][1] * M[2][0];
    const float det = M[0][0] * c00 + M[0][1] * c01 + M[0][2] * c02;
    // Negated so that a NaN determinant counts as singular.
    if (!(std::fabs(det) >= 1e-10f)) {
        copy3x3(M, R);
        return 0;
    }
    const float inv = 1.0f / det;
    float out[3][3];
    out[0][0] = c00 * inv;
    out[1][0] = c01 * inv;
    out[2][0] = c02 * inv;
    out[0][1] = (M[0][2] * M[2][1] - M[0][1] * M[2][2]) * inv;
    out[1][1] = (M[0][0] * M[2][2] - M[0][2] * M[2][0]) * inv;
    out[2][1] = (M[0][1] * M[2][0] - M[0][0] * M[2][1]) * inv;
    out[0][2] = (M[0][1] * M[1][2] - M[0][2] * M[1][1]) * inv;
    out[1][2] = (M[0][2] * M[1][0] - M[0][0] * M[1][2]) * inv;
    out[2][2] = (M[0][0] * M[1][1] - M[0][1] * M[1][0]) * inv;
    copy3x3(out, R);
    return 1;
}
