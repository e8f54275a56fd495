#include "dng/writer/LzwEncoder.h"

#include "dng/core/dng_safe_arithmetic.h"

LzwEncoder::LzwEncoder()
    : fBuffer(kTableSize * sizeof(Entry)), fTable(static_cast<Entry*>(fBuffer.Buffer())) {
    Reset();
}

uint32 LzwEncoder::MaxOutputBytes(uint32 count) {
    return SafeUint32Add(SafeUint32Mult(count, 2), 1024);
}

void LzwEncoder::Reset() {
    fNextCode = kFirstFreeCode;
    fCodeLength = 9;
    for (int32 i = 0; i < kTableSize; i++) {
        fTable[i].finalByte = static_cast<int16>(i < 256 ? i : 0);
        fTable[i].sonEven = -1;
        fTable[i].sonOdd = -1;
        fTable[i].brother = -1;
    }
}

void LzwEncoder::AddTable(int32 w, int32 k) {
    Entry& node = fTable[fNextCode];
    node.finalByte = static_cast<int16>(k);
    node.sonEven = -1;
    node.sonOdd = -1;
    int16& firstChild = (k & 1) ? fTable[w].sonOdd : fTable[w].sonEven;
    node.brother = firstChild;
    firstChild = static_cast<int16>(fNextCode);
    const int32 taken = fNextCode++;
    // The width grows one code early, as TIFF readers expect.
    if (taken == (1 << fCodeLength) - 1 && fCodeLength < 12) fCodeLength++;
}

int32 LzwEncoder::FindChild(int32 w, int32 k) const {
    int32 child = (k & 1) ? fTable[w].sonOdd : fTable[w].sonEven;
    while (child >= 0 && fTable[child].finalByte != k) child = fTable[child].brother;
    return child;
}

void LzwEncoder::EmitCode(int32 code) {
    // Place the code's bits at the bit offset, most significant first; the
    // bytes after the partial byte are overwritten, not OR-ed.
    const int32 shift = 24 - fCodeLength - (fBitOffset & 7);
    const uint32 bits = static_cast<uint32>(code) << shift;
    uint8* p = fDstPtr + (fBitOffset >> 3);
    p[0] = static_cast<uint8>(p[0] | (bits >> 16));
    p[1] = static_cast<uint8>(bits >> 8);
    p[2] = static_cast<uint8>(bits);
    fBitOffset += fCodeLength;
}

void LzwEncoder::Encode(const uint8* src, uint8* dst, uint32 count, uint32& dstLength) {
    Reset();
    fDstPtr = dst;
    fBitOffset = 0;
    dst[0] = 0;

    EmitCode(kResetCode);
    if (count == 0) {
        EmitCode(kEndCode);
        dstLength = static_cast<uint32>((fBitOffset + 7) >> 3);
        return;
    }

    int32 w = src[0];
    for (uint32 i = 1; i < count; i++) {
        const int32 k = src[i];
        const int32 child = FindChild(w, k);
        if (child >= 0) {
            w = child;
            continue;
        }
        EmitCode(w);
        if (fNextCode > kMaxCode) {
            EmitCode(kResetCode);
            Reset();
        } else {
            AddTable(w, k);
        }
        w = k;
    }
    EmitCode(w);
    AddTable(w, 0);
    EmitCode(kEndCode);
    dstLength = static_cast<uint32>((fBitOffset + 7) >> 3);
}
