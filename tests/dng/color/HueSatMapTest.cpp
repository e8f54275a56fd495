#include <gtest/gtest.h>

#include <memory>

#include "dng/color/dng_hue_sat_map.h"
#include "dng/core/dng_exception.h"

namespace {

using HSB = dng_hue_sat_map::HSBModify;

void Fill(dng_hue_sat_map& map, const HSB& entry) {
    uint32 h, s, v;
    map.GetDivisions(h, s, v);
    for (uint32 vi = 0; vi < v; ++vi)
        for (uint32 hi = 0; hi < h; ++hi)
            for (uint32 si = 0; si < s; ++si) map.SetDelta(hi, si, vi, entry);
}

TEST(HueSatMap, DivisionsAndUsability) {
    dng_hue_sat_map map;
    EXPECT_FALSE(map.IsValid());
    map.SetDivisions(8, 1, 0);
    uint32 h, s, v;
    map.GetDivisions(h, s, v);
    EXPECT_EQ(8u, h);
    EXPECT_EQ(1u, s);
    EXPECT_EQ(1u, v);
    EXPECT_FALSE(map.IsValid());

    map.SetDivisions(6, 2, 1);
    EXPECT_TRUE(map.IsValid());
    HSB e{};
    map.GetDelta(5, 1, 0, e);
    EXPECT_EQ(0.0f, e.fSatScale);
    EXPECT_THROW(map.GetDelta(6, 0, 0, e), dng_exception);
    EXPECT_THROW(map.SetDelta(0, 2, 0, e), dng_exception);
    EXPECT_THROW(map.GetDelta(0, 0, 1, e), dng_exception);
    EXPECT_THROW(dng_hue_sat_map().GetDelta(0, 0, 0, e), dng_exception);

    // An overflowing size is refused before anything is allocated.
    try {
        map.SetDivisions(0x10000, 0x10000, 2);
        FAIL();
    } catch (const dng_exception& ex) {
        EXPECT_EQ(100016, ex.ErrorCode());
    }
    // ... and leaves the map as it was.
    map.GetDivisions(h, s, v);
    EXPECT_EQ(6u, h);
    EXPECT_TRUE(map.IsValid());
    map.GetDelta(5, 1, 0, e);
}

TEST(HueSatMap, GreyEntriesKeepUnitValueScale) {
    dng_hue_sat_map map;
    map.SetDivisions(4, 3, 1);
    map.SetDelta(1, 1, 0, HSB{10.0f, 1.5f, 0.8f});
    HSB grey{};
    map.GetDelta(1, 0, 0, grey);
    EXPECT_EQ(10.0f, grey.fHueShift);
    EXPECT_EQ(1.5f, grey.fSatScale);
    EXPECT_EQ(1.0f, grey.fValScale);

    map.SetDelta(2, 0, 0, HSB{5.0f, 2.0f, 0.5f});
    map.GetDelta(2, 0, 0, grey);
    EXPECT_EQ(5.0f, grey.fHueShift);
    EXPECT_EQ(1.0f, grey.fValScale);
    // A grey entry already at 1.0 is left alone by saturation 1.
    map.SetDelta(2, 1, 0, HSB{7.0f, 3.0f, 0.9f});
    map.GetDelta(2, 0, 0, grey);
    EXPECT_EQ(5.0f, grey.fHueShift);
}

TEST(HueSatMap, CopiesShareUntilWrittenAndCompare) {
    dng_hue_sat_map a;
    a.SetDivisions(3, 2, 2);
    Fill(a, HSB{1.0f, 1.0f, 1.0f});
    a.AssignNewUniqueRuntimeFingerprint();
    dng_hue_sat_map b(a);
    EXPECT_EQ(a, b);
    EXPECT_EQ(a.GetConstDeltas(), b.GetConstDeltas());
    EXPECT_EQ(a.RuntimeFingerprint(), b.RuntimeFingerprint());

    b.SetDelta(0, 1, 1, HSB{2.0f, 1.0f, 1.0f});
    EXPECT_NE(a.GetConstDeltas(), b.GetConstDeltas());
    EXPECT_NE(a, b);
    HSB e{};
    a.GetDelta(0, 1, 1, e);
    EXPECT_EQ(1.0f, e.fHueShift);

    dng_hue_sat_map other;
    other.SetDivisions(4, 2, 2);
    EXPECT_NE(a, other);
    dng_hue_sat_map u1, u2;
    u1.SetDivisions(8, 1, 1);
    u2.SetDivisions(8, 1, 1);
    EXPECT_EQ(u1, u2);
    // Copying an unusable map gives an empty one.
    dng_hue_sat_map copy(u1);
    uint32 h, s, v;
    copy.GetDivisions(h, s, v);
    EXPECT_EQ(0u, h);

    dng_hue_sat_map c;
    c.AssignNewUniqueRuntimeFingerprint();
    EXPECT_FALSE(c.RuntimeFingerprint().IsNull());
    EXPECT_NE(a.RuntimeFingerprint(), c.RuntimeFingerprint());
}

TEST(HueSatMap, InterpolateBlendsEveryFloat) {
    dng_hue_sat_map m1, m2;
    m1.SetDivisions(2, 2, 1);
    m2.SetDivisions(2, 2, 1);
    Fill(m1, HSB{40.0f, 2.0f, 1.0f});
    Fill(m2, HSB{0.0f, 1.0f, 1.0f});
    m1.AssignNewUniqueRuntimeFingerprint();
    m2.AssignNewUniqueRuntimeFingerprint();

    std::unique_ptr<dng_hue_sat_map> mix(dng_hue_sat_map::Interpolate(m1, m2, 0.25));
    HSB e{};
    mix->GetDelta(1, 1, 0, e);
    EXPECT_FLOAT_EQ(10.0f, e.fHueShift);
    EXPECT_FLOAT_EQ(1.25f, e.fSatScale);
    EXPECT_FALSE(mix->RuntimeFingerprint().IsNull());
    std::unique_ptr<dng_hue_sat_map> again(dng_hue_sat_map::Interpolate(m1, m2, 0.25));
    EXPECT_EQ(mix->RuntimeFingerprint(), again->RuntimeFingerprint());
    std::unique_ptr<dng_hue_sat_map> other(dng_hue_sat_map::Interpolate(m1, m2, 0.5));
    EXPECT_NE(mix->RuntimeFingerprint(), other->RuntimeFingerprint());

    std::unique_ptr<dng_hue_sat_map> first(dng_hue_sat_map::Interpolate(m1, m2, 1.5));
    EXPECT_EQ(m1, *first);
    std::unique_ptr<dng_hue_sat_map> second(dng_hue_sat_map::Interpolate(m1, m2, -1.0));
    EXPECT_EQ(m2, *second);

    dng_hue_sat_map different;
    different.SetDivisions(3, 2, 1);
    EXPECT_THROW(dng_hue_sat_map::Interpolate(m1, different, 0.5), dng_exception);
    EXPECT_THROW(dng_hue_sat_map::Interpolate(m1, dng_hue_sat_map(), 0.5), dng_exception);
}

}  // namespace
