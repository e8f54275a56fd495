// TIFF LZW compression (codes most significant bit first, a clear code at the
// start and whenever the table fills, an end code last).
//
// One encoder per thread; its table is reused across Encode calls.
#pragma once

#include "dng/core/dng_memory_data.h"
#include "dng/core/dng_types.h"

class LzwEncoder {
public:
    LzwEncoder();
    LzwEncoder(const LzwEncoder&) = delete;
    LzwEncoder& operator=(const LzwEncoder&) = delete;

    // Bytes needed at dst for count source bytes, with the slack the code
    // writer uses beyond the result.
    static uint32 MaxOutputBytes(uint32 count);

    // Compresses count bytes; dst must hold MaxOutputBytes(count). Returns
    // the result's length in dstLength.
    void Encode(const uint8* src, uint8* dst, uint32 count, uint32& dstLength);

private:
    struct Entry {
        int16 finalByte;
        int16 sonEven;  // first child whose next byte is even, -1 = none
        int16 sonOdd;
        int16 brother;  // next sibling, -1 = none
    };

    static constexpr int32 kTableSize = 4096;
    static constexpr int32 kResetCode = 256;
    static constexpr int32 kEndCode = 257;
    static constexpr int32 kFirstFreeCode = 258;
    static constexpr int32 kMaxCode = 4092;

    void Reset();
    void AddTable(int32 w, int32 k);
    int32 FindChild(int32 w, int32 k) const;
    void EmitCode(int32 code);

    dng_memory_data fBuffer;
    Entry* fTable;
    uint8* fDstPtr = nullptr;
    int32 fBitOffset = 0;
    int32 fNextCode = 0;
    int32 fCodeLength = 0;
};
