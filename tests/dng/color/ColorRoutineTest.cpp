// The colour routines of the pixel-routine table, checked against the
// colour types they read (tables and hue/saturation maps).
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "dng/color/dng_1d_function.h"
#include "dng/color/dng_1d_table.h"
#include "dng/color/dng_bottleneck.h"
#include "dng/color/dng_color_space.h"
#include "dng/color/dng_hue_sat_map.h"
#include "dng/core/dng_memory_allocator.h"

namespace {

class Square : public dng_1d_function {
public:
    real64 Evaluate(real64 x) const override { return x * x; }
};

using HSB = dng_hue_sat_map::HSBModify;

void Fill(dng_hue_sat_map& map, const HSB& entry) {
    uint32 h, s, v;
    map.GetDivisions(h, s, v);
    for (uint32 vi = 0; vi < v; ++vi)
        for (uint32 hi = 0; hi < h; ++hi)
            for (uint32 si = 0; si < s; ++si) map.SetDelta(hi, si, vi, entry);
}

TEST(Table1D, BottleneckLookupsMatchTheTable) {
    Square square;
    dng_1d_table table(4096);
    table.Initialize(gDefaultDNGMemoryAllocator, square);
    const real32 in[4] = {0.0f, 0.5f, 0.3f, 1.0f};
    real32 out[4];
    ReferenceApplyTable1D(in, out, 4, table);
    for (int i = 0; i < 4; ++i) EXPECT_NEAR(in[i] * in[i], out[i], 1e-6);
    EXPECT_EQ(1.0f, out[3]);

    // R = G = B goes through the curve in every channel.
    const real32 grey[1] = {0.5f};
    real32 r[1], g[1], b[1];
    ReferenceApplyRGBToneCurve(grey, grey, grey, r, g, b, 1, table);
    EXPECT_FLOAT_EQ(0.25f, r[0]);
    EXPECT_EQ(r[0], g[0]);
    EXPECT_EQ(r[0], b[0]);

    // Identity curve returns the input for every ordering of the channels.
    dng_1d_table identity(4096);
    identity.Initialize(gDefaultDNGMemoryAllocator, dng_1d_identity::Get());
    const real32 v[3] = {1.0f, 0.5f, 0.0f};
    const int orders[6][3] = {{0, 1, 2}, {0, 2, 1}, {1, 0, 2}, {1, 2, 0}, {2, 0, 1}, {2, 1, 0}};
    for (const auto& o : orders) {
        const real32 sr[1] = {v[o[0]]}, sg[1] = {v[o[1]]}, sb[1] = {v[o[2]]};
        ReferenceApplyRGBToneCurve(sr, sg, sb, r, g, b, 1, identity);
        EXPECT_FLOAT_EQ(sr[0], r[0]);
        EXPECT_FLOAT_EQ(sg[0], g[0]);
        EXPECT_FLOAT_EQ(sb[0], b[0]);
    }

    // Hue is kept: the middle channel stays at its relative place.
    const real32 cr[1] = {0.8f}, cg[1] = {0.2f}, cb[1] = {0.4f};
    ReferenceApplyRGBToneCurve(cr, cg, cb, r, g, b, 1, table);
    EXPECT_NEAR(0.64f, r[0], 1e-6);
    EXPECT_NEAR(0.04f, g[0], 1e-6);
    EXPECT_NEAR(0.04f + (0.64f - 0.04f) * (0.2f / 0.6f), b[0], 1e-6);
}

// Runs the bottleneck routine on one pixel.
void Apply(const dng_hue_sat_map& map, real32 r, real32 g, real32 b, real32 out[3],
           const dng_1d_table* enc = nullptr, const dng_1d_table* dec = nullptr) {
    ReferenceApplyHueSatMap(&r, &g, &b, &out[0], &out[1], &out[2], 1, map, enc, dec);
}

TEST(HueSatMapRoutine, NeutralMapKeepsColours) {
    dng_hue_sat_map map;
    map.SetDivisions(90, 30, 1);
    Fill(map, HSB{0.0f, 1.0f, 1.0f});
    const real32 colours[][3] = {
        {0.8f, 0.2f, 0.1f}, {0.1f, 0.7f, 0.3f}, {0.2f, 0.3f, 0.9f},
        {1.0f, 0.0f, 1.0f}, {0.5f, 0.5f, 0.5f}, {0.0f, 0.0f, 0.0f},
    };
    for (const auto& c : colours) {
        real32 out[3];
        Apply(map, c[0], c[1], c[2], out);
        for (int i = 0; i < 3; ++i) EXPECT_NEAR(c[i], out[i], 1e-6);
    }

    // A three-dimensional neutral map with sRGB encode/decode tables.
    dng_hue_sat_map cube;
    cube.SetDivisions(6, 6, 4);
    Fill(cube, HSB{0.0f, 1.0f, 1.0f});
    dng_1d_table enc, dec;
    enc.Initialize(gDefaultDNGMemoryAllocator, dng_function_GammaEncode_sRGB::Get());
    dng_1d_inverse inverse(dng_function_GammaEncode_sRGB::Get());
    dec.Initialize(gDefaultDNGMemoryAllocator, inverse);
    real32 out[3];
    Apply(cube, 0.6f, 0.3f, 0.2f, out, &enc, &dec);
    EXPECT_NEAR(0.6f, out[0], 1e-3);
    EXPECT_NEAR(0.3f, out[1], 1e-3);
    EXPECT_NEAR(0.2f, out[2], 1e-3);
}

TEST(HueSatMapRoutine, ShiftsScalesAndGrey) {
    dng_hue_sat_map map;
    map.SetDivisions(6, 2, 1);
    // 120 degrees turns red into green; saturation 1 entries only (grey follows).
    Fill(map, HSB{120.0f, 1.0f, 0.5f});
    real32 out[3];
    Apply(map, 1.0f, 0.0f, 0.0f, out);
    EXPECT_NEAR(0.0f, out[0], 1e-6);
    EXPECT_NEAR(0.5f, out[1], 1e-6);
    EXPECT_NEAR(0.0f, out[2], 1e-6);

    // Grey has s = 0: it stays grey at the saturation-0 value scale (1.0).
    Apply(map, 0.4f, 0.4f, 0.4f, out);
    EXPECT_FLOAT_EQ(0.4f, out[0]);
    EXPECT_EQ(out[0], out[1]);
    EXPECT_EQ(out[0], out[2]);

    // Saturation scale is capped at 1.
    dng_hue_sat_map boost;
    boost.SetDivisions(6, 2, 1);
    Fill(boost, HSB{0.0f, 10.0f, 1.0f});
    Apply(boost, 1.0f, 0.5f, 0.5f, out);
    EXPECT_NEAR(1.0f, out[0], 1e-6);
    EXPECT_NEAR(0.0f, out[1], 1e-6);
}

TEST(HueSatMapRoutine, HostileMapsAndInputsStayInRange) {
    // One saturation division and one hue division: no neighbour to read.
    dng_hue_sat_map thin;
    thin.SetDivisions(1, 1, 1);
    thin.SetDelta(0, 0, 0, HSB{0.0f, 1.0f, 1.0f});
    const real32 nan = std::numeric_limits<real32>::quiet_NaN();
    const real32 inf = std::numeric_limits<real32>::infinity();
    const real32 inputs[][3] = {
        {0.5f, 0.2f, 0.1f},    {nan, 0.2f, 0.1f}, {nan, nan, nan},
        {-1.0f, -2.0f, -3.0f}, {inf, 0.0f, 0.0f}, {2.0f, -inf, 0.5f},
    };
    real32 out[3];
    for (const auto& c : inputs) Apply(thin, c[0], c[1], c[2], out);
    Apply(thin, 0.5f, 0.2f, 0.1f, out);
    EXPECT_NEAR(0.5f, out[0], 1e-6);
    EXPECT_NEAR(0.2f, out[1], 1e-6);

    // A huge hue shift from a file must not break the sextant choice.
    dng_hue_sat_map wild;
    wild.SetDivisions(4, 2, 3);
    Fill(wild, HSB{1.0e30f, 1.0f, 1.0f});
    for (const auto& c : inputs) Apply(wild, c[0], c[1], c[2], out);
    Fill(wild, HSB{nan, nan, nan});
    for (const auto& c : inputs) Apply(wild, c[0], c[1], c[2], out);

    // A map without data passes colours through.
    Apply(dng_hue_sat_map(), 0.3f, 0.2f, 0.1f, out);
    EXPECT_EQ(0.3f, out[0]);
}

}  // namespace
