// A 1-D function tabulated at count + 1 evenly spaced points of [0, 1] (plus
// one repeated entry so that x = 1 interpolates safely). Built once by
// Initialize on one thread; lookups are const and safe from several threads.
// The table owns its memory block, which comes from the caller's allocator.
#pragma once

#include <memory>

#include "dng/core/dng_types.h"

// The pixel routines of the DNG core read these accessors without linking the
// colour library, so the vptr sanitizer must not ask for this type's typeinfo.
#ifndef DNG_NO_VPTR_CHECK
#if defined(__GNUC__)
#define DNG_NO_VPTR_CHECK __attribute__((no_sanitize("vptr")))
#else
#define DNG_NO_VPTR_CHECK
#endif
#endif

class dng_1d_function;
class dng_memory_allocator;
class dng_memory_block;

class dng_1d_table {
public:
    // count: a power of two of at least 512, else 100000.
    explicit dng_1d_table(uint32 count = 4096);
    virtual ~dng_1d_table();

    dng_1d_table(const dng_1d_table&) = delete;
    dng_1d_table& operator=(const dng_1d_table&) = delete;

    // With subSample, smooth stretches are filled by linear interpolation
    // between evaluated points instead of evaluating every entry.
    void Initialize(dng_memory_allocator& allocator, const dng_1d_function& function,
                    bool subSample = false);

    // Inputs must lie in [0, 1]; callers pin first.
    DNG_NO_VPTR_CHECK real32 Interpolate(real32 x) const {
        const real32 y = x * (real32)fCount;
        const int32 index = (int32)y;
        const real32 fract = y - (real32)index;
        return fTable[index] * (1.0f - fract) + fTable[index + 1] * fract;
    }

    DNG_NO_VPTR_CHECK const real32* Table() const { return fTable; }

    DNG_NO_VPTR_CHECK uint32 Count() const { return fCount; }

    // Fills 65,536 16-bit values covering [0, 1].
    void Expand16(uint16* table16) const;

private:
    void SubDivide(const dng_1d_function& function, uint32 lower, uint32 upper, real32 maxDelta);

    std::unique_ptr<dng_memory_block> fBuffer;
    real32* fTable = nullptr;
    uint32 fCount;
};
