#include <gtest/gtest.h>

#include <limits>

#include "dng/core/dng_exception.h"
#include "dng/core/dng_safe_arithmetic.h"
#include "support/DngErrorCode.h"

namespace {

using testsupport::CodeOf;

constexpr uint32 kU32Max = std::numeric_limits<uint32>::max();
constexpr int32 kI32Max = std::numeric_limits<int32>::max();
constexpr int32 kI32Min = std::numeric_limits<int32>::min();
constexpr int64 kI64Max = std::numeric_limits<int64>::max();
constexpr int64 kI64Min = std::numeric_limits<int64>::min();

TEST(SafeArithmetic, UnsignedAddAndMultiplyEdges) {
    EXPECT_EQ(SafeUint32Add(kU32Max, 0), kU32Max);
    EXPECT_EQ(CodeOf([] { SafeUint32Add(kU32Max, 1); }), dng_error_overflow);
    EXPECT_EQ(SafeUint32Mult(0, kU32Max), 0u);
    EXPECT_EQ(SafeUint32Mult(65535, 65537), kU32Max);
    EXPECT_EQ(CodeOf([] { SafeUint32Mult(65536, 65536); }), dng_error_overflow);
    EXPECT_EQ(CodeOf([] { SafeUint32Mult3(2048, 2048, 1024); }), dng_error_overflow);
    EXPECT_EQ(SafeUint32Mult3(2048, 2048, 1023), 2048u * 2048u * 1023u);
    EXPECT_EQ(CodeOf([] { SafeUint32Mult4(256, 256, 256, 256); }), dng_error_overflow);
    EXPECT_EQ(CodeOf([] { SafeSizeMult(std::size_t(1) << 32, std::size_t(1) << 32); }),
              dng_error_overflow);
}

TEST(SafeArithmetic, SignedAddSubtractEdges) {
    EXPECT_EQ(SafeInt32Add(kI32Max, 0), kI32Max);
    EXPECT_EQ(CodeOf([] { SafeInt32Add(kI32Max, 1); }), dng_error_overflow);
    EXPECT_EQ(CodeOf([] { SafeInt32Add(kI32Min, -1); }), dng_error_overflow);
    EXPECT_EQ(SafeInt32Add(kI32Min, kI32Max), -1);
    EXPECT_EQ(SafeInt32Sub(0, kI32Max), -kI32Max);
    EXPECT_EQ(CodeOf([] { SafeInt32Sub(-2, kI32Max); }), dng_error_overflow);
    EXPECT_EQ(CodeOf([] { SafeInt32Sub(0, kI32Min); }), dng_error_overflow);
    EXPECT_EQ(CodeOf([] { SafeInt64Add(kI64Max, 1); }), dng_error_overflow);
    int32 out = 7;
    EXPECT_FALSE(SafeInt32SubChecked(kI32Min, 1, &out));
    EXPECT_EQ(out, 7);
    EXPECT_TRUE(SafeInt32SubChecked(kI32Min, -1, &out));
    EXPECT_EQ(out, kI32Min + 1);
}

TEST(SafeArithmetic, SignedMultiply64) {
    EXPECT_EQ(CodeOf([] { SafeInt64Mult(kI64Min, -1); }), dng_error_overflow);
    EXPECT_EQ(CodeOf([] { SafeInt64Mult(-1, kI64Min); }), dng_error_overflow);
    EXPECT_EQ(SafeInt64Mult(0, kI64Min), 0);
    EXPECT_EQ(SafeInt64Mult(kI64Min, 1), kI64Min);
    EXPECT_EQ(SafeInt64Mult(-3, -4), 12);
    EXPECT_EQ(CodeOf([] { SafeInt64Mult(int64(1) << 32, int64(1) << 31); }), dng_error_overflow);
    EXPECT_EQ(SafeInt64Mult(int64(1) << 31, -(int64(1) << 32)), kI64Min);
}

TEST(SafeArithmetic, DivideUpAndRoundUp) {
    EXPECT_EQ(SafeUint32DivideUp(0, 7), 0u);
    EXPECT_EQ(SafeUint32DivideUp(7, 7), 1u);
    EXPECT_EQ(SafeUint32DivideUp(8, 7), 2u);
    EXPECT_EQ(SafeUint32DivideUp(kU32Max, 1), kU32Max);
    EXPECT_EQ(CodeOf([] { SafeUint32DivideUp(1, 0); }), dng_error_unknown);

    uint32 r = 99;
    EXPECT_FALSE(RoundUpUint32ToMultiple(10, 0, &r));
    EXPECT_FALSE(RoundUpUint32ToMultiple(kU32Max, 2, &r));
    EXPECT_EQ(r, 99u);
    ASSERT_TRUE(RoundUpUint32ToMultiple(12, 4, &r));
    EXPECT_EQ(r, 12u);
    ASSERT_TRUE(RoundUpUint32ToMultiple(13, 4, &r));
    EXPECT_EQ(r, 16u);
    EXPECT_EQ(RoundUpUint32ToMultiple(13, 4), 16u);
    EXPECT_EQ(CodeOf([] { RoundUpUint32ToMultiple(kU32Max, 2); }), dng_error_overflow);
}

TEST(SafeArithmetic, ConversionsAndSafeValues) {
    uint32 u = 5;
    EXPECT_FALSE(ConvertInt32ToUint32(-1, &u));
    EXPECT_EQ(u, 5u);
    EXPECT_TRUE(ConvertInt32ToUint32(kI32Max, &u));
    int32 s = 0;
    EXPECT_FALSE(ConvertUint32ToInt32(0x80000000u, &s));
    EXPECT_EQ(CodeOf([] { dng_safe_uint32 x(int32(-1)); }), dng_error_overflow);
    EXPECT_EQ(CodeOf([] {
                  dng_safe_int32 x;
                  x.Set(0x80000000u);
              }),
              dng_error_unknown);
    EXPECT_EQ(CodeOf([] { dng_safe_uint32(65536u) * dng_safe_uint32(65536u); }),
              dng_error_overflow);
    EXPECT_EQ(CodeOf([] { ConvertDoubleToInt32(3e9); }), dng_error_overflow);
    EXPECT_EQ(ConvertDoubleToUint32(3e9), 3000000000u);
}

}  // namespace
