#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "dng/color/dng_1d_function.h"
#include "dng/color/dng_1d_table.h"
#include "dng/color/dng_spline_solver.h"
#include "dng/color/dng_tone_curve.h"
#include "dng/core/dng_exception.h"
#include "dng/core/dng_memory_allocator.h"

namespace {

class Constant : public dng_1d_function {
public:
    real64 Evaluate(real64) const override { return 0.25; }
};

class Square : public dng_1d_function {
public:
    real64 Evaluate(real64 x) const override { return x * x; }
};

// Counts evaluations to show how much sub-sampling saves.
class CountingIdentity : public dng_1d_function {
public:
    mutable int calls = 0;
    real64 Evaluate(real64 x) const override {
        ++calls;
        return x;
    }
};

class OutOfRange : public dng_1d_function {
public:
    real64 Evaluate(real64 x) const override { return 3.0 * x - 1.0; }
};

TEST(Function1D, DefaultInverseAndWrappers) {
    EXPECT_DOUBLE_EQ(1.0, Constant().EvaluateInverse(0.7));
    Square square;
    EXPECT_NEAR(0.5, square.EvaluateInverse(0.25), 1e-9);
    EXPECT_NEAR(0.9, square.EvaluateInverse(0.81), 1e-9);

    const dng_1d_function& identity = dng_1d_identity::Get();
    EXPECT_TRUE(identity.IsIdentity());
    EXPECT_EQ(&identity, &dng_1d_identity::Get());

    dng_1d_concatenate both(square, square);
    EXPECT_FALSE(both.IsIdentity());
    EXPECT_NEAR(0.0625, both.Evaluate(0.5), 1e-12);
    EXPECT_NEAR(0.5, both.EvaluateInverse(0.0625), 1e-7);
    // The first result is clamped before the second function sees it.
    OutOfRange wide;
    dng_1d_concatenate clamped(wide, square);
    EXPECT_DOUBLE_EQ(1.0, clamped.Evaluate(1.0));
    EXPECT_DOUBLE_EQ(0.0, clamped.Evaluate(0.0));
    EXPECT_TRUE(dng_1d_concatenate(identity, identity).IsIdentity());

    dng_1d_inverse inverse(square);
    EXPECT_NEAR(0.5, inverse.Evaluate(0.25), 1e-9);
    EXPECT_DOUBLE_EQ(0.25, inverse.EvaluateInverse(0.5));
    EXPECT_TRUE(dng_1d_inverse(identity).IsIdentity());
}

TEST(Spline, TwoPointsGiveTheChord) {
    dng_spline_solver spline;
    spline.Add(0.2, 0.1);
    spline.Add(0.8, 0.7);
    spline.Solve();
    for (real64 x = 0.2; x <= 0.8; x += 0.05) EXPECT_NEAR(x - 0.1, spline.Evaluate(x), 1e-12);
    EXPECT_DOUBLE_EQ(0.1, spline.Evaluate(0.0));
    EXPECT_DOUBLE_EQ(0.7, spline.Evaluate(1.0));
    EXPECT_FALSE(spline.IsIdentity());

    spline.Reset();
    spline.Add(0.0, 0.0);
    spline.Add(1.0, 1.0);
    spline.Solve();
    EXPECT_TRUE(spline.IsIdentity());
}

TEST(Spline, PassesThroughItsPointsSmoothly) {
    const real64 xs[] = {0.0, 0.1, 0.3, 0.6, 1.0};
    const real64 ys[] = {0.0, 0.2, 0.45, 0.8, 1.0};
    dng_spline_solver spline;
    for (int i = 0; i < 5; ++i) spline.Add(xs[i], ys[i]);
    spline.Solve();
    for (int i = 0; i < 5; ++i) EXPECT_NEAR(ys[i], spline.Evaluate(xs[i]), 1e-12);
    // Continuous first derivative at an inner knot.
    const real64 h = 1e-6;
    const real64 left = (spline.Evaluate(0.3) - spline.Evaluate(0.3 - h)) / h;
    const real64 right = (spline.Evaluate(0.3 + h) - spline.Evaluate(0.3)) / h;
    EXPECT_NEAR(left, right, 1e-4);

    // A spline through points of a line reproduces the line.
    dng_spline_solver line;
    for (real64 x : {0.0, 0.25, 0.4, 1.0}) line.Add(x, 0.5 * x + 0.1);
    line.Solve();
    EXPECT_NEAR(0.5 * 0.7 + 0.1, line.Evaluate(0.7), 1e-12);

    dng_spline_solver lonely;
    lonely.Add(0.5, 0.5);
    EXPECT_THROW(lonely.Solve(), dng_exception);
}

TEST(ToneCurve, ValidityAndSolving) {
    dng_tone_curve curve;
    EXPECT_TRUE(curve.IsNull());
    EXPECT_TRUE(curve.IsValid());

    curve.fCoord = {{0, 0}, {0.5, 0.5}, {0.6, 0.5}, {1, 1}};  // {y, x}: x repeats
    EXPECT_FALSE(curve.IsValid());
    curve.fCoord = {{0, 0}, {1, 1.2}};
    EXPECT_FALSE(curve.IsValid());
    curve.fCoord = {{0, 0}, {std::nan(""), 0.5}, {1, 1}};
    EXPECT_FALSE(curve.IsValid());

    curve.fCoord = {{0, 0}, {0.6, 0.4}, {1, 1}};
    EXPECT_TRUE(curve.IsValid());
    EXPECT_FALSE(curve.IsNull());
    dng_spline_solver spline;
    curve.Solve(spline);
    EXPECT_NEAR(0.6, spline.Evaluate(0.4), 1e-12);

    dng_tone_curve other;
    EXPECT_NE(curve, other);
    other.fCoord = curve.fCoord;
    EXPECT_EQ(curve, other);

    // An invalid (empty) curve is refused instead of being indexed.
    curve.SetInvalid();
    EXPECT_FALSE(curve.IsValid());
    EXPECT_THROW(curve.Solve(spline), dng_exception);
    curve.SetNull();
    EXPECT_TRUE(curve.IsNull());
}

TEST(Table1D, CountsLookupsAndExpansion) {
    EXPECT_THROW(dng_1d_table(256), dng_exception);
    EXPECT_THROW(dng_1d_table(1000), dng_exception);

    dng_memory_allocator& allocator = gDefaultDNGMemoryAllocator;
    dng_1d_table table(1024);
    table.Initialize(allocator, dng_1d_identity::Get());
    EXPECT_EQ(1024u, table.Count());
    EXPECT_FLOAT_EQ(0.5f, table.Interpolate(0.5f));
    EXPECT_FLOAT_EQ(1.0f, table.Interpolate(1.0f));  // reads entries count and count + 1
    EXPECT_EQ(table.Table()[1024], table.Table()[1025]);

    std::vector<uint16> expanded(65536);
    table.Expand16(expanded.data());
    for (uint32 i = 0; i < 65536; ++i) ASSERT_EQ(i, expanded[i]);

    // Values outside [0, 1] saturate instead of wrapping.
    dng_1d_table wide(512);
    wide.Initialize(allocator, OutOfRange());
    wide.Expand16(expanded.data());
    EXPECT_EQ(0, expanded[0]);
    EXPECT_EQ(65535, expanded[65535]);
    EXPECT_NEAR(32769, expanded[32768], 1);
}

TEST(Table1D, SubSamplingEvaluatesOnlyWhatItNeeds) {
    CountingIdentity identity;
    dng_1d_table table(1024);
    table.Initialize(gDefaultDNGMemoryAllocator, identity, true);
    // Both ends and the mid-points down to spans of 4 entries.
    EXPECT_EQ(257, identity.calls);
    for (uint32 i = 0; i <= 1024; ++i) ASSERT_NEAR(i / 1024.0, table.Table()[i], 1e-7);

    Square square;
    dng_1d_table curved(4096);
    curved.Initialize(gDefaultDNGMemoryAllocator, square, true);
    for (uint32 i = 0; i <= 4096; i += 7) {
        const real64 x = i / 4096.0;
        ASSERT_NEAR(x * x, curved.Table()[i], 1.0 / 256.0);
    }
}

}  // namespace
