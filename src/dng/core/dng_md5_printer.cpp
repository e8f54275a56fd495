#include "dng/core/dng_md5_printer.h"

#include <algorithm>
#include <cstring>

#include "dng/core/dng_exception.h"

namespace {

constexpr uint32 kSine[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391};

constexpr uint32 kShift[64] = {7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22,
                               5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20,
                               4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23,
                               6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21};

uint32 RotateLeft(uint32 x, uint32 n) { return (x << n) | (x >> (32 - n)); }

}  // namespace

void dng_md5_printer::Reset() {
    fState[0] = 0x67452301;
    fState[1] = 0xefcdab89;
    fState[2] = 0x98badcfe;
    fState[3] = 0x10325476;
    fBitCount = 0;
    fFinal = false;
    fResult.Clear();
}

void dng_md5_printer::Transform(const uint8 block[64]) {
    uint32 x[16];
    for (uint32 i = 0; i < 16; i++)
        x[i] = static_cast<uint32>(block[4 * i]) | (static_cast<uint32>(block[4 * i + 1]) << 8) |
               (static_cast<uint32>(block[4 * i + 2]) << 16) |
               (static_cast<uint32>(block[4 * i + 3]) << 24);
    uint32 a = fState[0], b = fState[1], c = fState[2], d = fState[3];
    for (uint32 i = 0; i < 64; i++) {
        uint32 f, g;
        if (i < 16) {
            f = (b & c) | (~b & d);
            g = i;
        } else if (i < 32) {
            f = (d & b) | (~d & c);
            g = (5 * i + 1) % 16;
        } else if (i < 48) {
            f = b ^ c ^ d;
            g = (3 * i + 5) % 16;
        } else {
            f = c ^ (b | ~d);
            g = (7 * i) % 16;
        }
        const uint32 next = b + RotateLeft(a + f + kSine[i] + x[g], kShift[i]);
        a = d;
        d = c;
        c = b;
        b = next;
    }
    fState[0] += a;
    fState[1] += b;
    fState[2] += c;
    fState[3] += d;
}

void dng_md5_printer::Process(const void* data, uint32 length) {
    if (fFinal) ThrowProgramError("MD5 digest already finished");
    if (length == 0) return;
    const uint8* p = static_cast<const uint8*>(data);
    uint32 used = static_cast<uint32>((fBitCount >> 3) & 63);
    fBitCount += static_cast<uint64>(length) << 3;
    if (used) {
        const uint32 take = std::min<uint32>(64 - used, length);
        std::memcpy(fBuffer + used, p, take);
        used += take;
        p += take;
        length -= take;
        if (used < 64) return;
        Transform(fBuffer);
    }
    while (length >= 64) {
        Transform(p);
        p += 64;
        length -= 64;
    }
    if (length) std::memcpy(fBuffer, p, length);
}

const dng_fingerprint& dng_md5_printer::Result() {
    if (fFinal) return fResult;
    const uint64 bits = fBitCount;
    uint8 tail[72] = {0x80};
    const uint32 used = static_cast<uint32>((bits >> 3) & 63);
    const uint32 padding = used < 56 ? 56 - used : 120 - used;
    Process(tail, padding);
    uint8 length[8];
    for (uint32 i = 0; i < 8; i++) length[i] = static_cast<uint8>(bits >> (8 * i));
    Process(length, 8);
    for (uint32 i = 0; i < 4; i++)
        for (uint32 j = 0; j < 4; j++)
            fResult.data[4 * i + j] = static_cast<uint8>(fState[i] >> (8 * j));
    fFinal = true;
    return fResult;
}

void dng_md5_printer_stream::BackEndWrite(const void* data, uint32 count, uint64 offset) {
    if (offset != fNextOffset) ThrowProgramError("MD5 stream written out of order");
    fPrinter.Process(data, count);
    fNextOffset += count;
}

const dng_fingerprint& dng_md5_printer_stream::Result() {
    Flush();
    return fPrinter.Result();
}
