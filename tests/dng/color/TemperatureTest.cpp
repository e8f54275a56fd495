#include <gtest/gtest.h>

#include <cmath>

#include "dng/color/dng_temperature.h"
#include "dng/color/dng_xy_coord.h"
#include "dng/core/dng_matrix.h"

namespace {

TEST(XYCoord, ConversionsClampAndFallBackToD50) {
    const dng_xy_coord zero = XYZtoXY(dng_vector_3(0, 0, 0));
    EXPECT_DOUBLE_EQ(0.3457, zero.x);
    EXPECT_DOUBLE_EQ(0.3585, zero.y);
    const dng_xy_coord negative = XYZtoXY(dng_vector_3(-1, 0.2, 0.1));
    EXPECT_DOUBLE_EQ(0.3457, negative.x);
    const dng_xy_coord nan = XYZtoXY(dng_vector_3(std::nan(""), 1, 1));
    EXPECT_DOUBLE_EQ(0.3585, nan.y);

    const dng_vector_3 tiny = XYtoXYZ(dng_xy_coord(0, 0));
    EXPECT_DOUBLE_EQ(1.0, tiny[0]);
    EXPECT_DOUBLE_EQ(1.0, tiny[1]);
    EXPECT_NEAR(999998.0, tiny[2], 1e-6);

    // (0.7, 0.5) is first scaled to sum 0.999999.
    const dng_vector_3 outside = XYtoXYZ(dng_xy_coord(0.7, 0.5));
    const real64 s = 0.999999 / 1.2;
    EXPECT_NEAR(0.7 / 0.5, outside[0], 1e-12);
    EXPECT_NEAR((1.0 - 0.7 * s - 0.5 * s) / (0.5 * s), outside[2], 1e-9);

    const dng_vector_3 pcs = PCStoXYZ();
    EXPECT_NEAR(0.964296, pcs[0], 1e-6);
    EXPECT_DOUBLE_EQ(1.0, pcs[1]);
    EXPECT_NEAR(0.825105, pcs[2], 1e-6);

    const dng_xy_coord back = XYZtoXY(pcs);
    EXPECT_NEAR(0.3457, back.x, 1e-12);
    EXPECT_NEAR(0.3585, back.y, 1e-12);
    EXPECT_FALSE(dng_xy_coord().IsValid());
    EXPECT_FALSE(dng_xy_coord(0.3, 0).IsValid());
    EXPECT_TRUE(D50_xy_coord().IsValid());
}

TEST(Temperature, KnownWhites) {
    struct Case {
        real64 x, y, kelvin, tint;
    };
    const Case cases[] = {
        {0.3457, 0.3585, 5000.7, 9.56},   // D50
        {0.3127, 0.3290, 6503.7, 9.77},   // D65
        {0.4476, 0.4074, 2854.9, -0.06},  // illuminant A
    };
    for (const Case& c : cases) {
        const dng_temperature t(dng_xy_coord(c.x, c.y));
        EXPECT_NEAR(c.kelvin, t.Temperature(), 0.1) << c.x;
        EXPECT_NEAR(c.tint, t.Tint(), 0.01) << c.x;
    }
}

TEST(Temperature, BeyondTheFirstLineIsOneHundredThousandKelvin) {
    // Far on the blue side the distance from row 1 is already not positive.
    dng_temperature t;
    t.Set_xy_coord(dng_xy_coord(0.2, 0.2));
    EXPECT_DOUBLE_EQ(100000.0, t.Temperature());
}

TEST(Temperature, GetInvertsSetAcrossTheTable) {
    for (real64 kelvin = 1667.0; kelvin <= 100000.0; kelvin *= 1.01) {
        for (real64 tint : {-50.0, 0.0, 30.0}) {
            const dng_xy_coord xy = dng_temperature(kelvin, tint).Get_xy_coord();
            const dng_temperature t(xy);
            const dng_xy_coord again = t.Get_xy_coord();
            ASSERT_NEAR(xy.x, again.x, 1e-6) << kelvin << " " << tint;
            ASSERT_NEAR(xy.y, again.y, 1e-6) << kelvin << " " << tint;
            EXPECT_NEAR(kelvin, t.Temperature(), kelvin * 2e-5) << tint;
            EXPECT_NEAR(tint, t.Tint(), 1e-2) << kelvin;
        }
    }
}

}  // namespace
