#include "dng/core/dng_utils.h"

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>

#include "dng/core/dng_exception.h"
#include "dng/core/dng_memory_allocator.h"
#include "dng/core/dng_safe_arithmetic.h"
#include "platform/Locks.h"

uint32 PadWidthForSIMD(uint32 width, uint32 pixelSize) {
    uint32 multiple = 32;
    switch (pixelSize) {
        case 2:
            multiple = 16;
            break;
        case 4:
            multiple = 8;
            break;
        case 8:
            multiple = 4;
            break;
        default:
            break;
    }
    if (!RoundUpUint32ToMultiple(width, multiple, &width))
        ThrowDNGError(dng_error_overflow, "Arithmetic overflow computing buffer size");
    return width;
}

uint32 ComputeTileBufferSize(uint32 pixelType, const dng_point& tileSize, uint32 numPlanes,
                             uint32 paddingOption) {
    if (tileSize.v < 0 || tileSize.h < 0) ThrowDNGError(dng_error_memory, "Negative tile size");

    static const uint32 kTypeSize[] = {0, 1, 1, 2, 4, 8, 1, 1, 2, 4, 8, 4, 8, 4, 2, 8};
    const uint32 pixelSize = pixelType < 16 ? kTypeSize[pixelType] : 0;

    uint32 width = (uint32)tileSize.h;
    if (paddingOption == 1) {
        width = PadWidthForSIMD(width, pixelSize);
    }

    uint32 bytes = 0;
    if (!SafeUint32Mult4Checked(width, (uint32)tileSize.v, pixelSize, numPlanes, &bytes))
        ThrowDNGError(dng_error_overflow, "Arithmetic overflow computing buffer size");
    return bytes;
}

real64 TickTimeInSeconds() {
    using namespace std::chrono;
    return duration<real64>(steady_clock::now().time_since_epoch()).count();
}

real64 TickCountInSeconds() { return TickTimeInSeconds(); }

namespace {
std::atomic<int32> gTimerLevel{0};
std::atomic<bool> gShowTimers{true};
}  // namespace

dng_timer::dng_timer(const char* message)
    : fMessage(message ? message : ""), fStartTime(TickTimeInSeconds()) {
    ++gTimerLevel;
}

dng_timer::~dng_timer() {
    const int32 level = --gTimerLevel;
    const int32 indent = level < 0 ? 0 : (level > 10 ? 10 : level);
    if (gShowTimers.load())
        std::fprintf(stderr, "%*s%s: %0.3f sec\n", indent * 2, "", fMessage,
                     TickTimeInSeconds() - fStartTime);
}

real64 MaxSquaredDistanceToRectCorners(const dng_point_real64& point, const dng_rect_real64& rect) {
    auto sq = [](real64 a) { return a * a; };
    const real64 distT = sq(point.v - rect.t);
    const real64 distB = sq(point.v - rect.b);
    const real64 distL = sq(point.h - rect.l);
    const real64 distR = sq(point.h - rect.r);
    return std::max(std::max(distT + distL, distB + distL), std::max(distB + distR, distT + distR));
}

real64 MaxDistanceToRectCorners(const dng_point_real64& point, const dng_rect_real64& rect) {
    return std::sqrt(MaxSquaredDistanceToRectCorners(point, rect));
}

const uint16* dng_dither_table::Get() {
    static platform::OnceFlag once;
    static dng_memory_block* block = nullptr;  // never freed: read by workers at exit
    platform::callOnce(once, [] {
        block = gDefaultDNGMemoryAllocator.Allocate(kRNGSize2D * sizeof(uint16)).release();
        uint16* table = block->Buffer_uint16();

        // Park–Miller minimal standard generator, with Schrage's method so
        // that nothing overflows 32 bits.
        const int32 kModulus = 2147483647;
        const int32 kQ = 127773;
        const int32 kR = 2836;
        int32 x = 1;
        uint32 count = 0;
        while (count < kRNGSize2D) {
            x = 16807 * (x % kQ) - kR * (x / kQ);
            if (x < 0) x += kModulus;
            const uint32 value = (uint32)x & 0xFFFF;
            // Low values are skipped so that dithering never adds almost nothing.
            if (value >= 255) table[count++] = (uint16)value;
        }
    });
    return block->Buffer_uint16();
}

namespace {

uint32 FloatBits(real32 x) {
    uint32 bits;
    std::memcpy(&bits, &x, sizeof(bits));
    return bits;
}

real32 BitsFloat(uint32 bits) {
    real32 x;
    std::memcpy(&x, &bits, sizeof(x));
    return x;
}

uint16 FloatToHalf(uint32 bits) {
    const uint32 sign = (bits >> 16) & 0x8000;
    const int32 exponent = (int32)((bits >> 23) & 0xFF);
    uint32 mantissa = bits & 0x007FFFFF;

    if (exponent == 0xFF) {
        if (mantissa != 0) return 0;     // NaN gives +0
        return (uint16)(sign | 0x7BFF);  // infinity gives the largest finite
    }

    int32 halfExp = exponent - 127 + 15;
    if (halfExp <= 0) {
        // Below 2^-25 nothing survives.
        if (halfExp < -10) return (uint16)sign;
        mantissa |= 0x00800000;
        const uint32 shift = (uint32)(14 - halfExp);
        uint32 half = mantissa >> shift;
        if ((mantissa >> (shift - 1)) & 1) ++half;  // round half up
        return (uint16)(sign | half);
    }

    if (mantissa & 0x00001000) {
        mantissa += 0x00002000;
        if (mantissa & 0x00800000) {
            mantissa = 0;
            ++halfExp;
        }
    }
    if (halfExp > 30) return (uint16)(sign | 0x7BFF);
    return (uint16)(sign | ((uint32)halfExp << 10) | (mantissa >> 13));
}

uint32 HalfToFloat(uint16 half) {
    const uint32 sign = (uint32)(half & 0x8000) << 16;
    int32 exponent = (half >> 10) & 0x1F;
    uint32 mantissa = half & 0x03FF;
    if (exponent == 0) {
        if (mantissa == 0) return sign;
        // Normalise a subnormal.
        while (!(mantissa & 0x0400)) {
            mantissa <<= 1;
            --exponent;
        }
        ++exponent;
        mantissa &= 0x03FF;
    } else if (exponent == 31) {
        return sign | 0x7F800000 | (mantissa << 13);
    }
    return sign | ((uint32)(exponent + 127 - 15) << 23) | (mantissa << 13);
}

real32 RoundTrip24(uint32 bits) {
    const uint32 sign = bits & 0x80000000;
    const uint32 exponent = (bits >> 23) & 0xFF;
    const uint32 mantissa = bits & 0x007FFFFF;
    if (exponent == 0xFF && mantissa != 0) return 0.0f;  // NaN
    if (exponent >= 191) {
        // Beyond the format's range (and infinities): the largest finite value.
        return BitsFloat(sign | (190u << 23) | 0x007FFF80);
    }
    if (exponent >= 65) return BitsFloat(bits & 0xFFFFFF80);
    if (exponent >= 49) {
        const uint32 m16 = ((mantissa | 0x00800000) >> (65 - exponent)) >> 7;
        const real32 value = std::ldexp((real32)m16, -78);
        return sign ? -value : value;
    }
    return BitsFloat(sign);
}

}  // namespace

namespace platform {

real32 RoundTripFloatBitDepth(real32 value, uint32 bitDepth) {
    if (bitDepth == 16) return BitsFloat(HalfToFloat(FloatToHalf(FloatBits(value))));
    if (bitDepth == 24) return RoundTrip24(FloatBits(value));
    return value;
}

}  // namespace platform
