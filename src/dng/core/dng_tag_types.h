// TIFF field types and their byte sizes.
#pragma once

#include "dng/core/dng_types.h"

enum : uint32 {
    ttByte = 1,
    ttAscii = 2,
    ttShort = 3,
    ttLong = 4,
    ttRational = 5,
    ttSByte = 6,
    ttUndefined = 7,
    ttSShort = 8,
    ttSLong = 9,
    ttSRational = 10,
    ttFloat = 11,
    ttDouble = 12,
    ttIFD = 13,
    ttUnicode = 14,
    ttComplex = 15
};

// Bytes of one value of a TIFF field type; 0 for an unknown type.
uint32 TiffTagTypeSize(uint32 tagType);
