#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <thread>
#include <vector>

#include "dng/core/dng_exception.h"
#include "dng/core/dng_utils.h"
#include "support/DngErrorCode.h"

namespace {

int32 ErrorCode(const std::function<void()>& f) { return testsupport::CodeOf(f); }

TEST(UtilsTileBuffer, SizesPaddingAndFailures) {
    // TIFF type 3 = 16-bit.
    EXPECT_EQ(67200u, ComputeTileBufferSize(3, dng_point(100, 100), 3, 1));
    EXPECT_EQ(60000u, ComputeTileBufferSize(3, dng_point(100, 100), 3, 0));
    // 1-byte samples pad to 32, 4-byte to 8, 8-byte to 4, unknown sizes to 32 (size 0).
    EXPECT_EQ(32u * 2, ComputeTileBufferSize(1, dng_point(2, 1), 1, 1));
    EXPECT_EQ(8u * 4, ComputeTileBufferSize(11, dng_point(1, 3), 1, 1));
    EXPECT_EQ(4u * 8, ComputeTileBufferSize(12, dng_point(1, 3), 1, 1));
    EXPECT_EQ(0u, ComputeTileBufferSize(99, dng_point(10, 10), 1, 1));

    EXPECT_EQ(100005, ErrorCode([] { ComputeTileBufferSize(3, dng_point(-1, 10), 1, 0); }));
    EXPECT_EQ(100005, ErrorCode([] { ComputeTileBufferSize(3, dng_point(10, -1), 1, 0); }));
    EXPECT_EQ(100016, ErrorCode([] { ComputeTileBufferSize(12, dng_point(65536, 65536), 1, 0); }));
    EXPECT_EQ(100016, ErrorCode([] { ComputeTileBufferSize(1, dng_point(2, 0x7FFFFFF0), 1, 1); }));
}

TEST(UtilsSIMDPadding, RowsFillWholeVectors) {
    EXPECT_EQ(PadWidthForSIMD(1, 1), 32u);
    EXPECT_EQ(PadWidthForSIMD(17, 2), 32u);
    EXPECT_EQ(PadWidthForSIMD(16, 2), 16u);
    EXPECT_EQ(PadWidthForSIMD(9, 4), 16u);
    EXPECT_EQ(PadWidthForSIMD(5, 8), 8u);
    EXPECT_EQ(PadWidthForSIMD(33, 3), 64u);
    EXPECT_EQ(PadWidthForSIMD(0, 2), 0u);
    EXPECT_EQ(ErrorCode([] { PadWidthForSIMD(0xFFFFFFF1u, 2); }), 100016);
}

TEST(UtilsFloor, RoundsTowardMinusInfinityOnBothSidesOfZero) {
    EXPECT_EQ(FloorDiv(7, 2), 3);
    EXPECT_EQ(FloorDiv(-7, 2), -4);
    EXPECT_EQ(FloorDiv(-8, 2), -4);
    EXPECT_EQ(FloorDiv(7, -2), -4);
    EXPECT_EQ(FloorDiv(-7, -2), 3);
    EXPECT_EQ(FloorDiv(int64(-1), 0x100000000LL), -1);
    EXPECT_EQ(FloorMod(-1, 4u), 3u);
    EXPECT_EQ(FloorMod(-8, 4u), 0u);
    EXPECT_EQ(FloorMod(9, 4u), 1u);
    EXPECT_EQ(FloorMod(std::numeric_limits<int32>::min(), 3u), 1u);  // -2^31 = 3 * -715827883 + 1
}

TEST(UtilsDither, TableIsTheSkippingParkMillerSequence) {
    const uint16* table = dng_dither_table::Get();
    ASSERT_NE(nullptr, table);
    const uint16 first[] = {16807, 15089, 44249, 3114, 46978, 56008};
    for (size_t i = 0; i < std::size(first); ++i) EXPECT_EQ(first[i], table[i]) << i;
    for (uint32 i = 0; i < dng_dither_table::kRNGSize2D; ++i) ASSERT_GE(table[i], 255);

    // Built once, also when asked from several threads at once.
    std::vector<const uint16*> seen(4);
    std::vector<std::thread> threads;
    for (size_t i = 0; i < seen.size(); ++i)
        threads.emplace_back([&seen, i] { seen[i] = dng_dither_table::Get(); });
    for (auto& t : threads) t.join();
    for (const uint16* p : seen) EXPECT_EQ(table, p);
}

TEST(UtilsDistance, FarthestCorner) {
    const dng_rect_real64 rect(0.0, 0.0, 3.0, 4.0);
    EXPECT_DOUBLE_EQ(25.0, MaxSquaredDistanceToRectCorners(dng_point_real64(0.0, 0.0), rect));
    EXPECT_DOUBLE_EQ(5.0, MaxDistanceToRectCorners(dng_point_real64(3.0, 4.0), rect));
    EXPECT_DOUBLE_EQ(std::sqrt(1.5 * 1.5 + 2.0 * 2.0),
                     MaxDistanceToRectCorners(dng_point_real64(1.5, 2.0), rect));
}

TEST(UtilsFloatDepth, SixteenBitRoundTrip) {
    using platform::RoundTripFloatBitDepth;
    const real32 inf = std::numeric_limits<real32>::infinity();
    EXPECT_EQ(1.0f + std::ldexp(1.0f, -10),
              RoundTripFloatBitDepth(1.0f + std::ldexp(1.0f, -11), 16));
    EXPECT_EQ(1.0f, RoundTripFloatBitDepth(1.0f + std::ldexp(1.0f, -12), 16));
    EXPECT_EQ(65504.0f, RoundTripFloatBitDepth(70000.0f, 16));
    EXPECT_EQ(65504.0f, RoundTripFloatBitDepth(65520.0f, 16));  // carry past the top
    EXPECT_EQ(-65504.0f, RoundTripFloatBitDepth(-inf, 16));
    EXPECT_EQ(0.0f, RoundTripFloatBitDepth(std::numeric_limits<real32>::quiet_NaN(), 16));
    EXPECT_FALSE(
        std::signbit(RoundTripFloatBitDepth(-std::numeric_limits<real32>::quiet_NaN(), 16)));
    // Subnormal halves keep their precision: 2^-24 is the smallest.
    EXPECT_EQ(std::ldexp(1.0f, -24), RoundTripFloatBitDepth(std::ldexp(1.0f, -24), 16));
    EXPECT_EQ(std::ldexp(3.0f, -24), RoundTripFloatBitDepth(std::ldexp(2.5f, -24), 16));
    EXPECT_EQ(std::ldexp(1.0f, -24), RoundTripFloatBitDepth(std::ldexp(1.0f, -25), 16));
    const real32 tiny = RoundTripFloatBitDepth(-std::ldexp(1.0f, -26), 16);
    EXPECT_EQ(0.0f, tiny);
    EXPECT_TRUE(std::signbit(tiny));
    // Every half value survives unchanged.
    for (real32 v : {0.5f, -2.0f, 1024.0f, 0.333251953125f})
        EXPECT_EQ(v, RoundTripFloatBitDepth(v, 16));
}

TEST(UtilsFloatDepth, TwentyFourBitRoundTrip) {
    using platform::RoundTripFloatBitDepth;
    EXPECT_EQ(1.0f, RoundTripFloatBitDepth(1.0f + std::ldexp(1.0f, -20), 24));
    EXPECT_EQ(1.0f + std::ldexp(1.0f, -16),
              RoundTripFloatBitDepth(1.0f + std::ldexp(1.0f, -16), 24));
    EXPECT_EQ(-3.5f, RoundTripFloatBitDepth(-3.5f, 24));
    // Below 2^-62 the format is subnormal, down to 2^-78.
    EXPECT_EQ(std::ldexp(1.0f, -63), RoundTripFloatBitDepth(std::ldexp(1.0f, -63), 24));
    EXPECT_EQ(std::ldexp(1.0f, -78), RoundTripFloatBitDepth(std::ldexp(1.0f, -78), 24));
    EXPECT_EQ(std::ldexp(1.0f, -70),
              RoundTripFloatBitDepth(std::ldexp(1.0f, -70) * (1.0f + std::ldexp(1.0f, -12)), 24));
    EXPECT_EQ(0.0f, RoundTripFloatBitDepth(std::ldexp(1.0f, -80), 24));
    EXPECT_TRUE(std::isfinite(RoundTripFloatBitDepth(std::numeric_limits<real32>::infinity(), 24)));
    EXPECT_EQ(0.0f, RoundTripFloatBitDepth(std::numeric_limits<real32>::quiet_NaN(), 24));
    EXPECT_EQ(0.7f, RoundTripFloatBitDepth(0.7f, 32));
}

}  // namespace
