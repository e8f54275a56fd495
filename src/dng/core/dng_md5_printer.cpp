#include "dng/core/dng_md5_printer.h"

#include <algorithm>
#include <cstring>

#include "dng/core/dng_exception.h"

namespace {

uint32 RotateLeft(uint32 x, uint32 n) { return (x << n) | (x >> (32 - n)); }

// The four round functions, written so that the compiler keeps every step in
// registers: the digest is one serial pass over the whole raw image.
inline uint32 F(uint32 x, uint32 y, uint32 z) { return z ^ (x & (y ^ z)); }
inline uint32 G(uint32 x, uint32 y, uint32 z) { return y ^ (z & (x ^ y)); }
inline uint32 H(uint32 x, uint32 y, uint32 z) { return x ^ y ^ z; }
inline uint32 I(uint32 x, uint32 y, uint32 z) { return y ^ (x | ~z); }

template <uint32 (*Fn)(uint32, uint32, uint32)>
inline void Step(uint32& a, uint32 b, uint32 c, uint32 d, uint32 x, uint32 sine, uint32 shift) {
    a = b + RotateLeft(a + Fn(b, c, d) + x + sine, shift);
}

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

    Step<F>(a, b, c, d, x[0], 0xd76aa478, 7);
    Step<F>(d, a, b, c, x[1], 0xe8c7b756, 12);
    Step<F>(c, d, a, b, x[2], 0x242070db, 17);
    Step<F>(b, c, d, a, x[3], 0xc1bdceee, 22);
    Step<F>(a, b, c, d, x[4], 0xf57c0faf, 7);
    Step<F>(d, a, b, c, x[5], 0x4787c62a, 12);
    Step<F>(c, d, a, b, x[6], 0xa8304613, 17);
    Step<F>(b, c, d, a, x[7], 0xfd469501, 22);
    Step<F>(a, b, c, d, x[8], 0x698098d8, 7);
    Step<F>(d, a, b, c, x[9], 0x8b44f7af, 12);
    Step<F>(c, d, a, b, x[10], 0xffff5bb1, 17);
    Step<F>(b, c, d, a, x[11], 0x895cd7be, 22);
    Step<F>(a, b, c, d, x[12], 0x6b901122, 7);
    Step<F>(d, a, b, c, x[13], 0xfd987193, 12);
    Step<F>(c, d, a, b, x[14], 0xa679438e, 17);
    Step<F>(b, c, d, a, x[15], 0x49b40821, 22);

    Step<G>(a, b, c, d, x[1], 0xf61e2562, 5);
    Step<G>(d, a, b, c, x[6], 0xc040b340, 9);
    Step<G>(c, d, a, b, x[11], 0x265e5a51, 14);
    Step<G>(b, c, d, a, x[0], 0xe9b6c7aa, 20);
    Step<G>(a, b, c, d, x[5], 0xd62f105d, 5);
    Step<G>(d, a, b, c, x[10], 0x02441453, 9);
    Step<G>(c, d, a, b, x[15], 0xd8a1e681, 14);
    Step<G>(b, c, d, a, x[4], 0xe7d3fbc8, 20);
    Step<G>(a, b, c, d, x[9], 0x21e1cde6, 5);
    Step<G>(d, a, b, c, x[14], 0xc33707d6, 9);
    Step<G>(c, d, a, b, x[3], 0xf4d50d87, 14);
    Step<G>(b, c, d, a, x[8], 0x455a14ed, 20);
    Step<G>(a, b, c, d, x[13], 0xa9e3e905, 5);
    Step<G>(d, a, b, c, x[2], 0xfcefa3f8, 9);
    Step<G>(c, d, a, b, x[7], 0x676f02d9, 14);
    Step<G>(b, c, d, a, x[12], 0x8d2a4c8a, 20);

    Step<H>(a, b, c, d, x[5], 0xfffa3942, 4);
    Step<H>(d, a, b, c, x[8], 0x8771f681, 11);
    Step<H>(c, d, a, b, x[11], 0x6d9d6122, 16);
    Step<H>(b, c, d, a, x[14], 0xfde5380c, 23);
    Step<H>(a, b, c, d, x[1], 0xa4beea44, 4);
    Step<H>(d, a, b, c, x[4], 0x4bdecfa9, 11);
    Step<H>(c, d, a, b, x[7], 0xf6bb4b60, 16);
    Step<H>(b, c, d, a, x[10], 0xbebfbc70, 23);
    Step<H>(a, b, c, d, x[13], 0x289b7ec6, 4);
    Step<H>(d, a, b, c, x[0], 0xeaa127fa, 11);
    Step<H>(c, d, a, b, x[3], 0xd4ef3085, 16);
    Step<H>(b, c, d, a, x[6], 0x04881d05, 23);
    Step<H>(a, b, c, d, x[9], 0xd9d4d039, 4);
    Step<H>(d, a, b, c, x[12], 0xe6db99e5, 11);
    Step<H>(c, d, a, b, x[15], 0x1fa27cf8, 16);
    Step<H>(b, c, d, a, x[2], 0xc4ac5665, 23);

    Step<I>(a, b, c, d, x[0], 0xf4292244, 6);
    Step<I>(d, a, b, c, x[7], 0x432aff97, 10);
    Step<I>(c, d, a, b, x[14], 0xab9423a7, 15);
    Step<I>(b, c, d, a, x[5], 0xfc93a039, 21);
    Step<I>(a, b, c, d, x[12], 0x655b59c3, 6);
    Step<I>(d, a, b, c, x[3], 0x8f0ccc92, 10);
    Step<I>(c, d, a, b, x[10], 0xffeff47d, 15);
    Step<I>(b, c, d, a, x[1], 0x85845dd1, 21);
    Step<I>(a, b, c, d, x[8], 0x6fa87e4f, 6);
    Step<I>(d, a, b, c, x[15], 0xfe2ce6e0, 10);
    Step<I>(c, d, a, b, x[6], 0xa3014314, 15);
    Step<I>(b, c, d, a, x[13], 0x4e0811a1, 21);
    Step<I>(a, b, c, d, x[4], 0xf7537e82, 6);
    Step<I>(d, a, b, c, x[11], 0xbd3af235, 10);
    Step<I>(c, d, a, b, x[2], 0x2ad7d2bb, 15);
    Step<I>(b, c, d, a, x[9], 0xeb86d391, 21);

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
