// Overflow-checked arithmetic for every size, offset and count that may come
// from a file. The throwing forms fail with dng_error_overflow (division by
// zero and the unsigned-to-signed setter with dng_error_unknown); the Checked
// forms return false and leave their output untouched. Tests happen before the
// operation, so no intermediate result ever wraps. All functions are pure and
// safe from any thread.
#pragma once

#include "dng/core/dng_types.h"

int32 SafeInt32Add(int32 a, int32 b);
int64 SafeInt64Add(int64 a, int64 b);
uint32 SafeUint32Add(uint32 a, uint32 b);
uint64 SafeUint64Add(uint64 a, uint64 b);
int32 SafeInt32Sub(int32 a, int32 b);
uint32 SafeUint32Sub(uint32 a, uint32 b);
uint32 SafeUint32Mult(uint32 a, uint32 b);
uint32 SafeUint32Mult3(uint32 a, uint32 b, uint32 c);
uint32 SafeUint32Mult4(uint32 a, uint32 b, uint32 c, uint32 d);
uint64 SafeUint64Mult(uint64 a, uint64 b);
std::size_t SafeSizeMult(std::size_t a, std::size_t b);
int64 SafeInt64Mult(int64 a, int64 b);
uint32 SafeUint32DivideUp(uint32 a, uint32 b);

bool SafeInt32AddChecked(int32 a, int32 b, int32* result);
bool SafeUint32AddChecked(uint32 a, uint32 b, uint32* result);
bool SafeInt32SubChecked(int32 a, int32 b, int32* result);
bool SafeUint32MultChecked(uint32 a, uint32 b, uint32* result);
bool SafeUint32Mult3Checked(uint32 a, uint32 b, uint32 c, uint32* result);
bool SafeUint32Mult4Checked(uint32 a, uint32 b, uint32 c, uint32 d, uint32* result);

// Rounds value up to a multiple; false when multiple is 0 or on overflow.
bool RoundUpUint32ToMultiple(uint32 value, uint32 multiple, uint32* result);
// Throwing form of the above (dng_error_overflow, or dng_error_unknown for 0).
uint32 RoundUpUint32ToMultiple(uint32 value, uint32 multiple);

// False for a negative value.
bool ConvertInt32ToUint32(int32 value, uint32* result);
// False for a value above 2147483647.
bool ConvertUint32ToInt32(uint32 value, int32* result);

// Converts a real to an integer type, failing (dng_error_overflow) when the
// value is out of range or not a number; rounds toward zero.
int32 ConvertDoubleToInt32(real64 value);
uint32 ConvertDoubleToUint32(real64 value);

// An unsigned 32-bit value whose arithmetic throws on overflow.
class dng_safe_uint32 {
public:
    dng_safe_uint32() = default;
    explicit dng_safe_uint32(uint32 value) : fValue(value) {}
    // A negative value fails with dng_error_overflow.
    explicit dng_safe_uint32(int32 value);

    uint32 Get() const { return fValue; }

    dng_safe_uint32 operator+(const dng_safe_uint32& other) const {
        return dng_safe_uint32(SafeUint32Add(fValue, other.fValue));
    }
    dng_safe_uint32 operator*(const dng_safe_uint32& other) const {
        return dng_safe_uint32(SafeUint32Mult(fValue, other.fValue));
    }

private:
    uint32 fValue = 0;
};

// A signed 32-bit value whose arithmetic throws on overflow.
class dng_safe_int32 {
public:
    dng_safe_int32() = default;
    explicit dng_safe_int32(int32 value) : fValue(value) {}

    int32 Get() const { return fValue; }
    // A value above 2147483647 fails with dng_error_unknown.
    void Set(uint32 value);

    dng_safe_int32 operator+(const dng_safe_int32& other) const {
        return dng_safe_int32(SafeInt32Add(fValue, other.fValue));
    }
    dng_safe_int32 operator-(const dng_safe_int32& other) const {
        return dng_safe_int32(SafeInt32Sub(fValue, other.fValue));
    }

private:
    int32 fValue = 0;
};
