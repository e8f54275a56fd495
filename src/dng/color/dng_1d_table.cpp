#include "dng/color/dng_1d_table.h"

#include <algorithm>
#include <cmath>

#include "dng/color/dng_1d_function.h"
#include "dng/core/dng_exception.h"
#include "dng/core/dng_memory_allocator.h"
#include "dng/core/dng_safe_arithmetic.h"

dng_1d_table::dng_1d_table(uint32 count) : fCount(count) {
    if (count < 512 || (count & (count - 1)) != 0)
        ThrowDNGError(dng_error_unknown, "Bad table count");
}

dng_1d_table::~dng_1d_table() = default;

void dng_1d_table::SubDivide(const dng_1d_function& function, uint32 lower, uint32 upper,
                             real32 maxDelta) {
    const uint32 range = upper - lower;
    if (range <= fCount / 256 && std::fabs(fTable[upper] - fTable[lower]) <= maxDelta) {
        const real64 y0 = fTable[lower];
        const real64 delta = ((real64)fTable[upper] - y0) / (real64)range;
        for (uint32 j = lower + 1; j < upper; ++j) fTable[j] = (real32)(y0 + delta * (j - lower));
        return;
    }
    const uint32 mid = (lower + upper) >> 1;
    fTable[mid] = (real32)function.Evaluate((real64)mid / (real64)fCount);
    if (range > 2) {
        SubDivide(function, lower, mid, maxDelta);
        SubDivide(function, mid, upper, maxDelta);
    }
}

void dng_1d_table::Initialize(dng_memory_allocator& allocator, const dng_1d_function& function,
                              bool subSample) {
    const uint32 bytes = SafeUint32Mult(SafeUint32Add(fCount, 2), (uint32)sizeof(real32));
    fBuffer = allocator.Allocate(bytes);
    fTable = fBuffer->Buffer_real32();

    if (!subSample) {
        for (uint32 j = 0; j <= fCount; ++j)
            fTable[j] = (real32)function.Evaluate((real64)j / (real64)fCount);
    } else {
        fTable[0] = (real32)function.Evaluate(0.0);
        fTable[fCount] = (real32)function.Evaluate(1.0);
        const real32 maxDelta = std::max(std::fabs(fTable[fCount] - fTable[0]), 1.0f) / 256.0f;
        SubDivide(function, 0, fCount, maxDelta);
    }
    fTable[fCount + 1] = fTable[fCount];
}

void dng_1d_table::Expand16(uint16* table16) const {
    if (!fTable) ThrowDNGError(dng_error_unknown, "Table not initialized");
    // Each output position is computed afresh in double precision, so no
    // accumulated step can walk the segment index past the table.
    const real64 step = (real64)fCount / 65535.0;
    for (uint32 i = 0; i <= 65535; ++i) {
        const real64 position = i * step;
        const uint32 index = std::min((uint32)position, fCount - 1);
        const real64 fract = position - index;
        const real64 base = fTable[index] * 65535.0 + 0.5;
        const real64 slope = ((real64)fTable[index + 1] - fTable[index]) * 65535.0;
        const real64 value = base + slope * fract;
        // Functions that leave [0, 1] (or give NaN) must not overflow the cast.
        table16[i] = (uint16)(value > 0.0 ? std::min(value, 65535.0) : 0.0);
    }
}
