#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "color/ColorHelper.h"

namespace {

void expectIdentity(const float m[3][3], float tolerance) {
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c) EXPECT_NEAR(m[r][c], r == c ? 1.0f : 0.0f, tolerance) << r << c;
}

ColorHelper fromXY(float x, float y) {
    ColorHelper helper;
    helper.setFromxyCoord(x, y);
    return helper;
}

TEST(ColorHelper, DaylightWhitesGiveTheirTemperatures) {
    float d65[2], d50[2], d75[2], a[2];
    ColorHelper::D65_xy_coord(d65);
    ColorHelper::D50_xy_coord(d50);
    ColorHelper::D75_xy_coord(d75);
    ColorHelper::StdA_xy_coord(a);

    // Worked out by hand through Robertson's lines: D65 lies between the
    // 150 and 175 mired rows, a little on the green side of the locus.
    const ColorHelper h65 = fromXY(d65[0], d65[1]);
    EXPECT_NEAR(h65.fTemperature(), 6503.71f, 0.3f);
    EXPECT_NEAR(h65.fTint(), 9.770f, 0.02f);
    const ColorHelper h50 = fromXY(d50[0], d50[1]);
    EXPECT_NEAR(h50.fTemperature(), 5000.71f, 0.3f);
    EXPECT_NEAR(h50.fTint(), 9.563f, 0.02f);
    EXPECT_NEAR(fromXY(d75[0], d75[1]).fTemperature(), 7506.45f, 0.5f);
    EXPECT_NEAR(fromXY(d75[0], d75[1]).fTint(), 9.751f, 0.02f);
    const ColorHelper hA = fromXY(a[0], a[1]);
    EXPECT_NEAR(hA.fTemperature(), 2854.89f, 0.3f);
    EXPECT_NEAR(hA.fTint(), -0.057f, 0.02f);
}

// Robertson's published isotemperature table: mireds, u, v, slope.
struct RobertsonRow {
    float r, u, v, t;
};
constexpr RobertsonRow kRobertson[31] = {
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

// A point of CIE 1960 uv moved off the locus along a row's isotemperature
// line by `offset`, as xy.
void rowPoint(const RobertsonRow& row, double offset, double* x, double* y) {
    const double len = std::sqrt(1.0 + double(row.t) * row.t);
    const double u = row.u + offset / len, v = row.v + offset * row.t / len;
    *x = 1.5 * u / (u - 4.0 * v + 2.0);
    *y = v / (u - 4.0 * v + 2.0);
}

TEST(ColorHelper, EveryIsotemperatureRowAndTheTintScale) {
    for (int i = 1; i <= 30; ++i) {
        const RobertsonRow& row = kRobertson[i];
        const float kelvin = std::min(1e6f / row.r, 14000.0f);
        // On the locus, and 0.004 to either side of it: the tint is the
        // distance along the line times -3000.
        for (double offset : {0.0, 0.004, -0.004}) {
            double x, y;
            rowPoint(row, offset, &x, &y);
            const ColorHelper h = fromXY(float(x), float(y));
            EXPECT_NEAR(h.fTemperature(), kelvin, kelvin * 2e-5f) << i << " " << offset;
            EXPECT_NEAR(h.fTint(), -3000.0 * offset, 0.01) << i << " " << offset;
        }
        // And back: the row's temperature with tint 30 lands on the line.
        ColorHelper set;
        set.setFTemperature(1e6f / row.r);
        set.setFTint(30.0f);
        float gx, gy;
        set.getxyCoord(&gx, &gy);
        double x, y;
        rowPoint(row, 30.0 / -3000.0, &x, &y);
        EXPECT_NEAR(gx, x, 2e-6) << i;
        EXPECT_NEAR(gy, y, 2e-6) << i;
    }
    // Row 0 is reached only on the way back: 200000 K is 5 mireds, halfway
    // between rows 0 and 1, on the mean of their normals.
    ColorHelper hot;
    hot.setFTemperature(200000.0f);
    hot.setFTint(-60.0f);
    float gx, gy;
    hot.getxyCoord(&gx, &gy);
    const RobertsonRow &r0 = kRobertson[0], &r1 = kRobertson[1];
    double nu = 1 / std::sqrt(1.0 + double(r0.t) * r0.t) + 1 / std::sqrt(1.0 + double(r1.t) * r1.t);
    double nv =
        r0.t / std::sqrt(1.0 + double(r0.t) * r0.t) + r1.t / std::sqrt(1.0 + double(r1.t) * r1.t);
    const double len = std::hypot(nu, nv);
    const double u = (r0.u + r1.u) / 2.0 + nu / len * 0.02;
    const double v = (r0.v + r1.v) / 2.0 + nv / len * 0.02;
    EXPECT_NEAR(gx, 1.5 * u / (u - 4 * v + 2), 2e-6);
    EXPECT_NEAR(gy, v / (u - 4 * v + 2), 2e-6);
}

TEST(ColorHelper, TemperatureAndTintStopAtTheirLimits) {
    // Very blue, very red, far above and far below the locus.
    EXPECT_FLOAT_EQ(fromXY(0.22f, 0.22f).fTemperature(), 14000.0f);
    // The isotemperature lines end at 600 mireds, above the 1000 K limit.
    EXPECT_NEAR(fromXY(0.65f, 0.34f).fTemperature(), 1e6f / 600.0f, 0.1f);
    EXPECT_FLOAT_EQ(std::fabs(fromXY(0.31f, 0.45f).fTint()), 150.0f);
    EXPECT_FLOAT_EQ(std::fabs(fromXY(0.31f, 0.20f).fTint()), 150.0f);
    // Green above the locus and magenta below it lie on opposite sides.
    EXPECT_LT(fromXY(0.31f, 0.45f).fTint() * fromXY(0.31f, 0.20f).fTint(), 0.0f);
    // A degenerate white still gives numbers within the limits.
    const ColorHelper degenerate = fromXY(0.0f, 0.0f);
    EXPECT_GE(degenerate.fTemperature(), 1000.0f);
    EXPECT_LE(degenerate.fTemperature(), 14000.0f);
}

TEST(ColorHelper, SetThenGetRoundTripsInsideTheLimits) {
    for (float temperature : {2000.0f, 2856.0f, 4000.0f, 5500.0f, 6500.0f, 9000.0f, 12000.0f}) {
        for (float tint : {-40.0f, 0.0f, 25.0f}) {
            ColorHelper helper;
            helper.setFTemperature(temperature);
            helper.setFTint(tint);
            float x, y;
            helper.getxyCoord(&x, &y);
            const ColorHelper back = fromXY(x, y);
            EXPECT_NEAR(back.fTemperature(), temperature, temperature * 2e-3f) << temperature;
            EXPECT_NEAR(back.fTint(), tint, 0.3f) << temperature << " " << tint;

            float again[2];
            back.getxyCoord(&again[0], &again[1]);
            EXPECT_NEAR(again[0], x, 2e-4f);
            EXPECT_NEAR(again[1], y, 2e-4f);
        }
    }
}

TEST(ColorHelper, AWhiteOutsideTheLimitsComesBackClamped) {
    const ColorHelper blue = fromXY(0.22f, 0.22f);
    float x, y;
    blue.getxyCoord(&x, &y);
    ColorHelper limit;
    limit.setFTemperature(14000.0f);
    limit.setFTint(blue.fTint());
    float lx, ly;
    limit.getxyCoord(&lx, &ly);
    EXPECT_FLOAT_EQ(x, lx);
    EXPECT_FLOAT_EQ(y, ly);
    EXPECT_GT(std::fabs(x - 0.22f) + std::fabs(y - 0.22f), 0.02f);
}

TEST(ColorHelper, XYZAndChromaticityConversions) {
    const float black[3] = {0, 0, 0};
    float xy[2];
    ColorHelper::XYZtoXY(black, xy);
    EXPECT_FLOAT_EQ(xy[0], 0.3457f);
    EXPECT_FLOAT_EQ(xy[1], 0.3585f);

    const float XYZ[3] = {0.5f, 1.0f, 0.5f};
    ColorHelper::XYZtoXY(XYZ, xy);
    EXPECT_FLOAT_EQ(xy[0], 0.25f);
    EXPECT_FLOAT_EQ(xy[1], 0.5f);
    float back[3];
    ColorHelper::XYtoXYZ(xy, back);
    EXPECT_NEAR(back[0], 0.5f, 1e-6f);
    EXPECT_FLOAT_EQ(back[1], 1.0f);
    EXPECT_NEAR(back[2], 0.5f, 1e-6f);

    // x + y above 1 is scaled to 0.999999 first.
    const float tooBig[2] = {0.6f, 0.6f};
    ColorHelper::XYtoXYZ(tooBig, back);
    EXPECT_NEAR(back[0], 1.0f, 1e-6f);
    EXPECT_NEAR(back[2], 2e-6f, 1e-6f);
    // y of 0 is clamped instead of dividing by zero.
    const float flat[2] = {0.3f, 0.0f};
    ColorHelper::XYtoXYZ(flat, back);
    EXPECT_TRUE(std::isfinite(back[0]) && std::isfinite(back[2]));

    // ProPhoto white is the D50 white.
    float white[3];
    ColorHelper::ProPhotoRGBtoXYZ(1, 1, 1, white);
    ColorHelper::XYZtoXY(white, xy);
    EXPECT_NEAR(xy[0], 0.3457f, 5e-4f);
    EXPECT_NEAR(xy[1], 0.3585f, 5e-4f);
    ColorHelper fromRGB;
    fromRGB.setFromProPhotoRGB(1, 1, 1);
    EXPECT_NEAR(fromRGB.fTemperature(), 5000.0f, 40.0f);
    // sRGB white is D65.
    float srgb[3][3];
    ColorHelper::XYZFromsRGB_D65(srgb);
    const float ones[3] = {1, 1, 1};
    Matrix3x3MultiplyVector(srgb, ones, white);
    ColorHelper::XYZtoXY(white, xy);
    EXPECT_NEAR(xy[0], 0.3127f, 5e-4f);
    EXPECT_NEAR(xy[1], 0.3290f, 5e-4f);
}

TEST(ColorHelper, WhiteMappingAdaptsOneWhiteToTheOther) {
    float d50[2], d65[2], a[2], m[3][3];
    ColorHelper::D50_xy_coord(d50);
    ColorHelper::D65_xy_coord(d65);
    ColorHelper::StdA_xy_coord(a);
    for (const float* w : {d50, d65, a}) {
        ColorHelper::MapWhiteMatrix(w, w, m);
        expectIdentity(m, 1e-5f);
    }

    ColorHelper::MapWhiteMatrix(d50, d65, m);
    float from[3], to[3], mapped[3];
    ColorHelper::XYtoXYZ(d50, from);
    ColorHelper::XYtoXYZ(d65, to);
    Matrix3x3MultiplyVector(m, from, mapped);
    for (int i = 0; i < 3; ++i) EXPECT_NEAR(mapped[i], to[i], 1e-4f);

    // And back again.
    float inverse[3][3], product[3][3];
    ColorHelper::MapWhiteMatrix(d65, d50, inverse);
    Matrix3x3Multiply(inverse, m, product);
    expectIdentity(product, 1e-4f);
}

TEST(ColorHelper, InversionOfRegularAndSingularMatrices) {
    const float m[3][3] = {{2, 1, 0}, {0.5f, 3, 1}, {0, -1, 4}};
    float inverse[3][3], product[3][3];
    EXPECT_EQ(Matrix3x3Invert(m, inverse), 1);
    Matrix3x3Multiply(m, inverse, product);
    expectIdentity(product, 1e-6f);

    const float singular[3][3] = {{1, 2, 3}, {2, 4, 6}, {0, 1, 1}};
    float copy[3][3] = {};
    EXPECT_EQ(Matrix3x3Invert(singular, copy), 0);
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c) EXPECT_EQ(copy[r][c], singular[r][c]);
}

}  // namespace
