// The decoder's read-only colour tables on the 0..1388 scale: T turns the
// Photo CD encoding into linear light, U encodes linear light as sRGB, and
// three tables scale a value to each output format. Built once, shared by
// every decoder and band.
#pragma once

#include <cstdint>

inline constexpr int kPcdColorMax = 1388;

struct pcdColorTables {
    uint16_t T[kPcdColorMax + 1];
    uint16_t U[kPcdColorMax + 1];
    uint16_t out16[kPcdColorMax + 1];
    uint8_t out8[kPcdColorMax + 1];
    float outFloat[kPcdColorMax + 1];

    static const pcdColorTables& shared();
};
