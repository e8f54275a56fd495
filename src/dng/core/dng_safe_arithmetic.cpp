#include "dng/core/dng_safe_arithmetic.h"

#include <cmath>
#include <limits>

#include "dng/core/dng_exception.h"

namespace {
constexpr int32 kInt32Max = std::numeric_limits<int32>::max();
constexpr int32 kInt32Min = std::numeric_limits<int32>::min();
constexpr int64 kInt64Max = std::numeric_limits<int64>::max();
constexpr int64 kInt64Min = std::numeric_limits<int64>::min();
constexpr uint32 kUint32Max = std::numeric_limits<uint32>::max();
}  // namespace

int32 SafeInt32Add(int32 a, int32 b) {
    if ((a >= 0 && b > kInt32Max - a) || (a < 0 && b < kInt32Min - a))
        ThrowOverflow("Arithmetic overflow in SafeInt32Add");
    return a + b;
}

int64 SafeInt64Add(int64 a, int64 b) {
    if ((a >= 0 && b > kInt64Max - a) || (a < 0 && b < kInt64Min - a))
        ThrowOverflow("Arithmetic overflow in SafeInt64Add");
    return a + b;
}

uint32 SafeUint32Add(uint32 a, uint32 b) {
    if (b > kUint32Max - a) ThrowOverflow("Arithmetic overflow in SafeUint32Add");
    return a + b;
}

uint64 SafeUint64Add(uint64 a, uint64 b) {
    if (b > std::numeric_limits<uint64>::max() - a)
        ThrowOverflow("Arithmetic overflow in SafeUint64Add");
    return a + b;
}

int32 SafeInt32Sub(int32 a, int32 b) {
    if ((b >= 0 && a < kInt32Min + b) || (b < 0 && a > kInt32Max + b))
        ThrowOverflow("Arithmetic overflow in SafeInt32Sub");
    return a - b;
}

uint32 SafeUint32Sub(uint32 a, uint32 b) {
    if (b > a) ThrowOverflow("Arithmetic overflow in SafeUint32Sub");
    return a - b;
}

uint32 SafeUint32Mult(uint32 a, uint32 b) {
    if (a != 0 && b > kUint32Max / a) ThrowOverflow("Arithmetic overflow in SafeUint32Mult");
    return a * b;
}

uint32 SafeUint32Mult3(uint32 a, uint32 b, uint32 c) {
    return SafeUint32Mult(SafeUint32Mult(a, b), c);
}

uint32 SafeUint32Mult4(uint32 a, uint32 b, uint32 c, uint32 d) {
    return SafeUint32Mult(SafeUint32Mult3(a, b, c), d);
}

uint64 SafeUint64Mult(uint64 a, uint64 b) {
    if (a != 0 && b > std::numeric_limits<uint64>::max() / a)
        ThrowOverflow("Arithmetic overflow in SafeUint64Mult");
    return a * b;
}

std::size_t SafeSizeMult(std::size_t a, std::size_t b) {
    if (a != 0 && b > std::numeric_limits<std::size_t>::max() / a)
        ThrowOverflow("Arithmetic overflow in SafeSizeMult");
    return a * b;
}

int64 SafeInt64Mult(int64 a, int64 b) {
    bool overflow = false;
    if (a > 0) {
        if (b > 0)
            overflow = a > kInt64Max / b;
        else
            overflow = b < kInt64Min / a;
    } else if (a < 0) {
        if (b > 0)
            overflow = a < kInt64Min / b;
        else
            overflow = b < kInt64Max / a;
    }
    if (overflow) ThrowOverflow("Arithmetic overflow in SafeInt64Mult");
    return a * b;
}

uint32 SafeUint32DivideUp(uint32 a, uint32 b) {
    if (b == 0) ThrowProgramError("Division by zero in SafeUint32DivideUp");
    if (a == 0) return 0;
    return (a - 1) / b + 1;
}

bool SafeInt32AddChecked(int32 a, int32 b, int32* result) {
    if ((a >= 0 && b > kInt32Max - a) || (a < 0 && b < kInt32Min - a)) return false;
    *result = a + b;
    return true;
}

bool SafeUint32AddChecked(uint32 a, uint32 b, uint32* result) {
    if (b > kUint32Max - a) return false;
    *result = a + b;
    return true;
}

bool SafeInt32SubChecked(int32 a, int32 b, int32* result) {
    if ((b >= 0 && a < kInt32Min + b) || (b < 0 && a > kInt32Max + b)) return false;
    *result = a - b;
    return true;
}

bool SafeUint32MultChecked(uint32 a, uint32 b, uint32* result) {
    if (a != 0 && b > kUint32Max / a) return false;
    *result = a * b;
    return true;
}

bool SafeUint32Mult3Checked(uint32 a, uint32 b, uint32 c, uint32* result) {
    uint32 ab;
    if (!SafeUint32MultChecked(a, b, &ab)) return false;
    return SafeUint32MultChecked(ab, c, result);
}

bool SafeUint32Mult4Checked(uint32 a, uint32 b, uint32 c, uint32 d, uint32* result) {
    uint32 abc;
    if (!SafeUint32Mult3Checked(a, b, c, &abc)) return false;
    return SafeUint32MultChecked(abc, d, result);
}

bool RoundUpUint32ToMultiple(uint32 value, uint32 multiple, uint32* result) {
    if (multiple == 0) return false;
    const uint32 remainder = value % multiple;
    if (remainder == 0) {
        *result = value;
        return true;
    }
    return SafeUint32AddChecked(value, multiple - remainder, result);
}

uint32 RoundUpUint32ToMultiple(uint32 value, uint32 multiple) {
    if (multiple == 0) ThrowProgramError("Zero multiple in RoundUpUint32ToMultiple");
    uint32 result;
    if (!RoundUpUint32ToMultiple(value, multiple, &result))
        ThrowOverflow("Arithmetic overflow in RoundUpUint32ToMultiple");
    return result;
}

bool ConvertInt32ToUint32(int32 value, uint32* result) {
    if (value < 0) return false;
    *result = static_cast<uint32>(value);
    return true;
}

bool ConvertUint32ToInt32(uint32 value, int32* result) {
    if (value > static_cast<uint32>(kInt32Max)) return false;
    *result = static_cast<int32>(value);
    return true;
}

int32 ConvertDoubleToInt32(real64 value) {
    if (!(value > -2147483649.0 && value < 2147483648.0))
        ThrowOverflow("Overflow converting real to int32");
    return static_cast<int32>(value);
}

uint32 ConvertDoubleToUint32(real64 value) {
    if (!(value > -1.0 && value < 4294967296.0))
        ThrowOverflow("Overflow converting real to uint32");
    return static_cast<uint32>(value);
}

dng_safe_uint32::dng_safe_uint32(int32 value) {
    if (value < 0) ThrowOverflow("Negative value in dng_safe_uint32");
    fValue = static_cast<uint32>(value);
}

void dng_safe_int32::Set(uint32 value) {
    if (!ConvertUint32ToInt32(value, &fValue))
        ThrowProgramError("Value out of range in dng_safe_int32");
}
