// PackBits decoding (TIFF compression 32773).
#pragma once

#include <cstdint>

class dng_stream;

// Reads PackBits runs from the stream until exactly dstCount bytes are
// written to dst. False when a run or literal would write past dstCount.
bool DecodePackBits(dng_stream& stream, uint8_t* dst, uint32_t dstCount);
