// Small shared pieces of the DNG image code: the tile-buffer size rule, floor
// division for grids that extend left of the origin, a monotonic clock with a
// nesting timer, corner distances of a rectangle, the process-wide dither
// table, an area histogram and the limiting of float image data to 16- or
// 24-bit float precision.
//
// Thread safety: the free functions are pure apart from the ones that take an
// image; the dither table is built once under a one-time guard and read-only
// afterwards; the timer nesting level is atomic.
#pragma once

#include <type_traits>

#include "dng/core/dng_area_task.h"
#include "dng/core/dng_point.h"
#include "dng/core/dng_rect.h"
#include "dng/core/dng_types.h"

// Bytes of a tile buffer of the given TIFF pixel type; paddingOption 1 rounds
// the width up to a SIMD-friendly multiple. 100005 for a negative size,
// 100016 on overflow.
uint32 ComputeTileBufferSize(uint32 pixelType, const dng_point& tileSize, uint32 numPlanes,
                             uint32 paddingOption);

// width rounded up so that a row of pixelSize-byte samples fills whole
// 32-byte vectors (a multiple of 32 pixels for unusual sizes). 100016 on
// overflow.
uint32 PadWidthForSIMD(uint32 width, uint32 pixelSize);

// Quotient rounded toward minus infinity: the grid cell or pattern phase of
// a position left of or above the origin.
template <typename T>
T FloorDiv(T a, std::type_identity_t<T> b) {
    T q = a / b;
    if ((a % b != 0) && ((a < 0) != (b < 0))) --q;
    return q;
}

// a modulo m in [0, m), negative a included.
inline uint32 FloorMod(int32 a, uint32 m) {
    const int64 r = int64(a) % int64(m);
    return uint32(r < 0 ? r + m : r);
}

// Seconds of a monotonic clock.
real64 TickTimeInSeconds();
real64 TickCountInSeconds();

// Reports its lifetime on stderr, indented by nesting depth.
class dng_timer {
public:
    explicit dng_timer(const char* message);
    ~dng_timer();

    dng_timer(const dng_timer&) = delete;
    dng_timer& operator=(const dng_timer&) = delete;

private:
    const char* fMessage;
    real64 fStartTime;
};

real64 MaxSquaredDistanceToRectCorners(const dng_point_real64& point, const dng_rect_real64& rect);

real64 MaxDistanceToRectCorners(const dng_point_real64& point, const dng_rect_real64& rect);

// 128 × 128 uint16 dither values, made once on first request.
class dng_dither_table {
public:
    static const uint32 kRNGBits = 7;
    static const uint32 kRNGSize = 1 << kRNGBits;
    static const uint32 kRNGMask = kRNGSize - 1;
    static const uint32 kRNGSize2D = kRNGSize * kRNGSize;

    static const uint16* Get();
};

namespace platform {
// One float value after a round trip through a narrower float format:
// bitDepth 16 (IEEE binary16) or 24 (1 sign, 7 exponent, 16 mantissa bits);
// other depths return the value unchanged.
real32 RoundTripFloatBitDepth(real32 value, uint32 bitDepth);
}  // namespace platform
