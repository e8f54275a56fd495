#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <numeric>
#include <random>
#include <vector>

#include "dng/color/dng_bottleneck.h"
#include "dng/core/dng_matrix.h"

namespace {

TEST(BottleneckBytes, CopyTakesSourceFirstAndSwapsReverseBytes) {
    const uint8 a[4] = {1, 2, 3, 4};
    uint8 b[4] = {};
    gDNGBottleneck.CopyBytes(a, b, 4);
    EXPECT_EQ(0, std::memcmp(a, b, 4));
    EXPECT_TRUE(gDNGBottleneck.EqualBytes(a, b, 4));
    b[3] = 9;
    EXPECT_FALSE(ReferenceEqualBytes(a, b, 4));
    EXPECT_TRUE(ReferenceEqualBytes(a, b, 0));

    ReferenceZeroBytes(b, 3);
    EXPECT_EQ(0, b[0] | b[1] | b[2]);
    EXPECT_EQ(9, b[3]);

    uint16 w16[2] = {0x1234, 0xABCD};
    ReferenceSwapBytes16(w16, 2);
    EXPECT_EQ(0x3412, w16[0]);
    EXPECT_EQ(0xCDAB, w16[1]);
    uint32 w32[1] = {0x11223344};
    ReferenceSwapBytes32(w32, 1);
    EXPECT_EQ(0x44332211u, w32[0]);
}

TEST(BottleneckConvert, OffsetBinaryConversions) {
    const uint8 s8[3] = {0, 128, 255};
    int16 d16[3];
    ReferenceCopyArea8ToSigned16(s8, d16, 1, 3, 1, 0, 1, 1, 0, 1, 1);
    EXPECT_EQ(0x8000, (uint16)d16[0]);
    EXPECT_EQ(0x8080, (uint16)d16[1]);
    EXPECT_EQ(0x80FF, (uint16)d16[2]);

    const uint16 s16[3] = {0, 0x8000, 0xFFFF};
    ReferenceCopyArea16ToSigned16(s16, d16, 1, 3, 1, 0, 1, 1, 0, 1, 1);
    EXPECT_EQ(0x8000, (uint16)d16[0]);
    EXPECT_EQ(0x0000, (uint16)d16[1]);
    EXPECT_EQ(0x7FFF, (uint16)d16[2]);

    // The stored pattern 0x0000 is the value 32768, 0x8000 is 0.
    const int16 stored[2] = {0, (int16)0x8000};
    real32 f[2];
    ReferenceCopyAreaSigned16ToReal32(stored, f, 1, 2, 1, 0, 1, 1, 0, 1, 1, 65535);
    EXPECT_FLOAT_EQ(32768.0f / 65535.0f, f[0]);
    EXPECT_EQ(0.0f, f[1]);

    const real32 back[2] = {32768.0f / 65535.0f, 0.0f};
    ReferenceCopyAreaReal32ToSigned16(back, d16, 1, 2, 1, 0, 1, 1, 0, 1, 1, 65535);
    EXPECT_EQ(0, d16[0]);
    EXPECT_EQ(0x8000, (uint16)d16[1]);
}

TEST(BottleneckConvert, FloatToIntegerRoundsAndPins) {
    const real32 nan = std::numeric_limits<real32>::quiet_NaN();
    const real32 cases[6] = {0.999f, 0.998f, nan, -1.0f, 2.0f, 0.5f};
    const uint8 want8[6] = {255, 254, 0, 0, 255, 128};
    const uint16 want16[6] = {65469, 65404, 0, 0, 65535, 32768};
    // Long enough that vectorised loops see every case too.
    std::vector<real32> s;
    for (int i = 0; i < 7; ++i) s.insert(s.end(), cases, cases + 6);
    const uint32 n = (uint32)s.size();
    std::vector<uint8> d8(n);
    std::vector<uint16> d16(n);
    std::vector<int16> ds16(n);
    ReferenceCopyAreaReal32To8(s.data(), d8.data(), 1, n, 1, 0, 1, 1, 0, 1, 1, 255);
    ReferenceCopyAreaReal32To16(s.data(), d16.data(), 1, n, 1, 0, 1, 1, 0, 1, 1, 65535);
    ReferenceCopyAreaReal32ToSigned16(s.data(), ds16.data(), 1, n, 1, 0, 1, 1, 0, 1, 1, 65535);
    for (uint32 i = 0; i < n; ++i) {
        ASSERT_EQ(want8[i % 6], d8[i]) << i;
        ASSERT_EQ(want16[i % 6], d16[i]) << i;
        ASSERT_EQ(want16[i % 6], (uint16)ds16[i] ^ 0x8000) << i;
    }

    const uint8 i8[2] = {0, 255};
    real32 f[2];
    ReferenceCopyArea8ToReal32(i8, f, 1, 2, 1, 0, 1, 1, 0, 1, 1, 255);
    EXPECT_EQ(0.0f, f[0]);
    EXPECT_FLOAT_EQ(1.0f, f[1]);
    const uint16 i16[1] = {4095};
    ReferenceCopyArea16ToReal32(i16, f, 1, 1, 1, 0, 1, 1, 0, 1, 1, 4095);
    EXPECT_FLOAT_EQ(1.0f, f[0]);
}

// Planar source to interleaved destination and back exercises the strided
// paths; the contiguous fast paths must give the same samples.
TEST(BottleneckArea, StridedAndContiguousCopiesAgree) {
    const uint32 rows = 5, cols = 7, planes = 3;
    std::vector<uint16> planar(rows * cols * planes);
    std::iota(planar.begin(), planar.end(), 1);
    std::vector<uint16> interleaved(planar.size(), 0);
    // Planar: plane step rows*cols, row step cols, col step 1.
    ReferenceCopyArea16(planar.data(), interleaved.data(), rows, cols, planes, cols, 1, rows * cols,
                        cols * planes, planes, 1);
    for (uint32 r = 0; r < rows; ++r)
        for (uint32 c = 0; c < cols; ++c)
            for (uint32 p = 0; p < planes; ++p)
                ASSERT_EQ(planar[p * rows * cols + r * cols + c],
                          interleaved[(r * cols + c) * planes + p]);

    std::vector<uint32> wide(planar.size(), 0);
    ReferenceCopyArea16To32(interleaved.data(), wide.data(), rows, cols, planes, cols * planes,
                            planes, 1, cols * planes, planes, 1);
    EXPECT_TRUE(std::equal(interleaved.begin(), interleaved.end(), wide.begin()));

    EXPECT_TRUE(ReferenceEqualArea16(planar.data(), interleaved.data(), rows, cols, planes, cols, 1,
                                     rows * cols, cols * planes, planes, 1));
    interleaved[planes * 3 + 1] ^= 1;
    EXPECT_FALSE(ReferenceEqualArea16(planar.data(), interleaved.data(), rows, cols, planes, cols,
                                      1, rows * cols, cols * planes, planes, 1));
    EXPECT_TRUE(ReferenceEqualArea32(wide.data(), wide.data(), 0, 5, 5, 1, 1, 1, 1, 1, 1));
}

TEST(BottleneckArea, SetAreaTouchesOnlyTheArea) {
    std::vector<uint16> buffer(10 * 10, 7);
    // A 3 × 4 window at (2, 3), single plane, row step 10.
    ReferenceSetArea16(&buffer[2 * 10 + 3], 500, 3, 4, 1, 10, 1, 0);
    for (int r = 0; r < 10; ++r)
        for (int c = 0; c < 10; ++c) {
            const bool inside = r >= 2 && r < 5 && c >= 3 && c < 7;
            ASSERT_EQ(inside ? 500 : 7, buffer[r * 10 + c]) << r << "," << c;
        }

    std::vector<uint32> planes(2 * 3 * 2, 0);
    ReferenceSetArea32(planes.data(), 0xDEADBEEF, 2, 3, 2, 6, 2, 1);
    for (uint32 v : planes) EXPECT_EQ(0xDEADBEEFu, v);

    std::vector<uint16> shifted = {0xFFFF, 0x0100};
    ReferenceShiftRight16(shifted.data(), 1, 2, 1, 2, 1, 0, 4);
    EXPECT_EQ(0x0FFF, shifted[0]);
    EXPECT_EQ(0x0010, shifted[1]);
}

TEST(BottleneckArea, RepeatAreaTilesThePatternFromItsPhase) {
    // A 2 × 3 pattern in a buffer with row step 8.
    std::vector<uint8> buffer(6 * 8, 0);
    const uint8 pattern[2][3] = {{1, 2, 3}, {4, 5, 6}};
    for (int r = 0; r < 2; ++r)
        for (int c = 0; c < 3; ++c) buffer[r * 8 + c] = pattern[r][c];
    std::vector<uint8> out(6 * 8, 0);
    ReferenceRepeatArea8(buffer.data(), out.data(), 6, 8, 1, 8, 1, 0, 2, 3, 1, 2);
    for (int r = 0; r < 6; ++r)
        for (int c = 0; c < 8; ++c)
            ASSERT_EQ(pattern[(r + 1) % 2][(c + 2) % 3], out[r * 8 + c]) << r << "," << c;
}

TEST(BottleneckResample, FixedPointFiltersRoundAndClamp) {
    // Two source rows, weights 0.5 and 0.5 in 14-bit fixed point.
    const uint16 s[2][3] = {{100, 65535, 0}, {201, 65535, 0}};
    const int16 w[2] = {8192, 8192};
    uint16 d[3];
    ReferenceResampleDown16(&s[0][0], d, 3, 3, w, 2, 65535);
    EXPECT_EQ(151, d[0]);  // (301 * 8192 + 8192) >> 14 = 150.5 + 0.5
    EXPECT_EQ(65535, d[1]);
    EXPECT_EQ(0, d[2]);
    ReferenceResampleDown16(&s[0][0], d, 3, 3, w, 2, 4095);
    EXPECT_EQ(4095, d[1]);

    const int16 neg[2] = {-16384, 0};
    ReferenceResampleDown16(&s[0][0], d, 1, 3, neg, 2, 65535);
    EXPECT_EQ(0, d[0]);

    // Coordinate 0x81: pixel 1, phase 1 (weights start at 1 × weight step).
    const uint16 row[4] = {10, 20, 30, 40};
    const int16 weights[2 * 2] = {16384, 0, 0, 16384};
    const int32 coord[1] = {0x81};
    ReferenceResampleAcross16(row, d, 1, coord, weights, 2, 2, 65535);
    EXPECT_EQ(30, d[0]);

    const real32 frow[4] = {0.1f, 0.2f, 0.9f, 0.8f};
    const real32 fweights[2 * 2] = {1.0f, 0.0f, 0.5f, 0.7f};
    real32 fd[1];
    ReferenceResampleAcross32(frow, fd, 1, coord, fweights, 2, 2);
    EXPECT_FLOAT_EQ(0.73f, fd[0]);
    const real32 hot[2] = {2.0f, 2.0f};
    ReferenceResampleAcross32(frow, fd, 1, coord, hot, 2, 0);
    EXPECT_EQ(1.0f, fd[0]);
}

TEST(BottleneckResample, FloatDownSumsAllRowsAndPins) {
    const real32 s[3][2] = {{0.2f, 1.0f}, {0.4f, 1.0f}, {0.6f, -1.0f}};
    const real32 w[3] = {0.25f, 0.5f, 0.25f};
    real32 d[2];
    ReferenceResampleDown32(&s[0][0], d, 2, 2, w, 3);
    EXPECT_FLOAT_EQ(0.4f, d[0]);
    EXPECT_FLOAT_EQ(0.5f, d[1]);
    const real32 big[3] = {2.0f, 2.0f, 2.0f};
    ReferenceResampleDown32(&s[0][0], d, 2, 2, big, 3);
    EXPECT_EQ(1.0f, d[0]);
}

TEST(BottleneckBilinear, RowsCycleKernelsAndRound) {
    const uint16 s[4] = {100, 200, 300, 400};
    // Phase 0: copy; phase 1: average of this and the next sample.
    const uint32 counts[2] = {1, 2};
    const int32 off0[1] = {0};
    const int32 off1[2] = {0, 1};
    const int32* offsets[2] = {off0, off1};
    const uint16 w0[1] = {256};
    const uint16 w1[2] = {128, 128};
    const uint16* weights[2] = {w0, w1};
    uint16 d[4];
    ReferenceBilinearRow16(s, d, 4, 0, 2, counts, offsets, weights, 1);
    // Column j reads s + (j >> 1).
    EXPECT_EQ(100, d[0]);
    EXPECT_EQ(150, d[1]);
    EXPECT_EQ(200, d[2]);
    EXPECT_EQ(250, d[3]);

    const real32 fs[4] = {1.0f, 2.0f, 4.0f, 8.0f};
    const real32 fw0[1] = {1.0f};
    const real32 fw1[2] = {0.25f, 0.75f};
    const real32* fweights[2] = {fw0, fw1};
    real32 fd[3];
    ReferenceBilinearRow32(fs, fd, 3, 1, 2, counts, offsets, fweights, 0);
    EXPECT_FLOAT_EQ(1.75f, fd[0]);
    EXPECT_FLOAT_EQ(2.0f, fd[1]);
    EXPECT_FLOAT_EQ(7.0f, fd[2]);
}

TEST(BottleneckColor, MatricesPinAndLimitToCameraWhite) {
    dng_matrix_3by3 swap(0, 1, 0, 1, 0, 0, 0, 0, 2);
    const real32 r[2] = {0.2f, 0.9f}, g[2] = {0.4f, -0.5f}, b[2] = {0.3f, 0.7f};
    real32 dr[2], dg[2], db[2];
    ReferenceRGBToRGB(r, g, b, dr, dg, db, 2, swap);
    EXPECT_FLOAT_EQ(0.4f, dr[0]);
    EXPECT_FLOAT_EQ(0.2f, dg[0]);
    EXPECT_FLOAT_EQ(0.6f, db[0]);
    EXPECT_EQ(0.0f, dr[1]);
    EXPECT_EQ(1.0f, db[1]);

    dng_matrix toGray(1, 3);
    toGray[0][0] = 0.25;
    toGray[0][1] = 0.5;
    toGray[0][2] = 0.25;
    real32 gray[2];
    ReferenceRGBToGray(r, g, b, gray, 2, toGray);
    EXPECT_FLOAT_EQ(0.325f, gray[0]);

    dng_vector_3 white(0.5, 1.0, 1.0);
    dng_matrix_3by3 identity(1, 0, 0, 0, 1, 0, 0, 0, 1);
    ReferenceApplyCameraMatrix3(r, g, b, dr, dg, db, 2, white, identity);
    EXPECT_FLOAT_EQ(0.2f, dr[0]);
    EXPECT_FLOAT_EQ(0.5f, dr[1]);  // limited to the white entry

    dng_matrix m4(3, 4);
    for (uint32 i = 0; i < 3; ++i) m4[i][3] = 0.5;
    dng_vector w4(4);
    for (uint32 i = 0; i < 4; ++i) w4[i] = 1.0;
    const real32 d4[2] = {0.4f, 1.5f};
    ReferenceApplyCameraMatrix4(r, g, b, d4, dr, dg, db, 2, w4, m4);
    EXPECT_FLOAT_EQ(0.2f, dr[0]);
    EXPECT_FLOAT_EQ(0.5f, dg[1]);  // 1.5 limited to 1, times 0.5
}

TEST(BottleneckVignette, MaskStaysInsideItsTable) {
    // Table bits 10: 1025 entries; far corners must read entry 1024, not beyond.
    std::vector<uint16> table(1025);
    for (uint32 i = 0; i < table.size(); ++i) table[i] = (uint16)i;
    std::vector<uint16> mask(4 * 4);
    const int64 one = (int64)1 << 32;  // 1.0 in 32.32
    ReferenceVignetteMask16(mask.data(), 4, 4, 4, -3 * one, -3 * one, 2 * one, 2 * one, 10,
                            table.data());
    for (uint16 m : mask) EXPECT_EQ(1024, m);

    // At the centre the index is the rounding term alone.
    ReferenceVignetteMask16(mask.data(), 1, 1, 1, 0, 0, 0, 0, 10, table.data());
    EXPECT_EQ(0, mask[0]);
    // Radius 0.5: r² × 1024 = 256.
    ReferenceVignetteMask16(mask.data(), 1, 1, 1, one / 2, 0, 0, 0, 10, table.data());
    EXPECT_EQ(256, mask[0]);
}

TEST(BottleneckVignette, SixteenAndThirtyTwoBitGains) {
    // Values 1000 and 65535 in offset binary, three planes, mask 2.0 in 8 bits.
    std::vector<int16> data = {(int16)(1000 ^ 0x8000), (int16)(65535 ^ 0x8000),
                               (int16)(0 ^ 0x8000)};
    const uint16 mask[1] = {512};
    ReferenceVignette16(data.data(), mask, 1, 1, 3, 3, 1, 1, 8);
    EXPECT_EQ(2000, (uint16)data[0] ^ 0x8000);
    EXPECT_EQ(65535, (uint16)data[1] ^ 0x8000);
    EXPECT_EQ(0, (uint16)data[2] ^ 0x8000);

    std::vector<real32> f = {0.25f, 0.75f};
    const uint16 half[2] = {128, 512};
    ReferenceVignette32(f.data(), half, 1, 2, 1, 2, 2, 2, 8, 0);
    EXPECT_FLOAT_EQ(0.125f, f[0]);
    EXPECT_EQ(1.0f, f[1]);

    // With a black level the gain applies above black only.
    const uint16 black = 6553;  // b ≈ 0.1
    const real32 b = black / 65535.0f;
    std::vector<real32> g = {b, 0.55f};
    const uint16 unity[2] = {256, 256};
    ReferenceVignette32(g.data(), unity, 1, 2, 1, 2, 2, 2, 8, black);
    EXPECT_NEAR(b, g[0], 1e-6);
    EXPECT_NEAR(0.55f, g[1], 1e-6);
}

TEST(BottleneckMap, TableAndPolynomial) {
    std::vector<uint16> map(65536);
    for (uint32 i = 0; i < 65536; ++i) map[i] = (uint16)(65535 - i);
    std::vector<uint16> data(2 * 40);
    std::iota(data.begin(), data.end(), 0);
    ReferenceMapArea16(data.data(), 2, 40, 1, 40, 1, 0, map.data());
    for (uint32 i = 0; i < data.size(); ++i) ASSERT_EQ(65535 - i, data[i]);

    // Degree 1 with (0, 2): odd-symmetric and clamped.
    const real32 c[2] = {0.0f, 2.0f};
    std::vector<real32> x = {0.75f, -0.25f, 0.1f, 9.0f};
    ReferenceMapPolynomial32(x.data(), 4, 1, 4, 1, 1, c, 1, 0);
    EXPECT_EQ(1.0f, x[0]);
    EXPECT_FLOAT_EQ(-0.5f, x[1]);
    EXPECT_FLOAT_EQ(0.2f, x[2]);

    // Degree 2 mirrors the square term for negative input; pitches skip samples.
    const real32 c2[3] = {0.1f, 0.0f, 1.0f};
    std::vector<real32> y = {0.5f, 0.5f, -0.5f, 0.5f};
    ReferenceMapPolynomial32(y.data(), 2, 2, 2, 1, 2, c2, 2, 0);
    EXPECT_FLOAT_EQ(0.35f, y[0]);
    EXPECT_EQ(0.5f, y[1]);
    EXPECT_FLOAT_EQ(-0.15f, y[2]);
    EXPECT_EQ(0.5f, y[3]);
}

TEST(BottleneckTable, SlotsHoldTheirRoutines) {
    EXPECT_EQ(&ReferenceZeroBytes, gDNGBottleneck.ZeroBytes);
    EXPECT_EQ(&ReferenceCopyAreaReal32ToSigned16, gDNGBottleneck.CopyAreaReal32ToSigned16);
    EXPECT_EQ(&ReferenceApplyHueSatMap, gDNGBottleneck.ApplyHueSatMap);
    EXPECT_EQ(&ReferenceMapPolynomial32, gDNGBottleneck.MapPolynomial32);
    EXPECT_EQ(47u * sizeof(void*), sizeof(dng_bottleneck_table));
    // Slot numbers are positions in the table.
    const void* const* slots = reinterpret_cast<const void* const*>(&gDNGBottleneck);
    EXPECT_EQ(reinterpret_cast<const void*>(&ReferenceApplyCameraMatrix3), slots[27]);
    EXPECT_EQ(reinterpret_cast<const void*>(&ReferenceEqualBytes), slots[38]);
}

}  // namespace
