#include <gtest/gtest.h>

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

    const ColorHelper h65 = fromXY(d65[0], d65[1]);
    EXPECT_NEAR(h65.fTemperature(), 6500.0f, 30.0f);
    EXPECT_NEAR(h65.fTint(), 0.0f, 12.0f);
    EXPECT_NEAR(fromXY(d50[0], d50[1]).fTemperature(), 5000.0f, 30.0f);
    EXPECT_NEAR(fromXY(d75[0], d75[1]).fTemperature(), 7500.0f, 50.0f);
    EXPECT_NEAR(fromXY(a[0], a[1]).fTemperature(), 2856.0f, 20.0f);
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
