// Reading an image pack's raw material: the three uncompressed base images
// (luma rows in pairs followed by one row of each chroma plane) and the
// Huffman-coded residual records of the higher levels. A residual record is
// a 24-bit sync mark (23 ones and a zero), a short header naming its plane
// and row (and at 64Base its column segment), then one code per sample.
#include "photocd/pcdCodec.h"

#include <algorithm>
#include <cstring>
#include <vector>

pcdBytes pcdAlloc(size_t count) { return pcdBytes(static_cast<uint8_t*>(std::malloc(count))); }

pcdBytes pcdAllocZeroed(size_t count) {
    return pcdBytes(static_cast<uint8_t*>(std::calloc(count, 1)));
}

pcdSize pcdLevelSize(unsigned level) {
    static const pcdSize sizes[6] = {{192, 128},   {384, 256},   {768, 512},
                                     {1536, 1024}, {3072, 2048}, {6144, 4096}};
    return sizes[std::min(level, 5u)];
}

size_t pcdReadBytes(std::FILE* file, void* buffer, size_t n) {
    return file ? std::fread(buffer, 1, n, file) : 0;
}

void pcdTrimCopy(char* to, const uint8_t* from, size_t n) {
    std::memcpy(to, from, n);
    to[n] = 0;
    for (size_t i = n; i > 0 && to[i - 1] == ' '; --i) to[i - 1] = 0;
}

bool pcdStartsWith(const char* text, const char* prefix) {
    return std::strncmp(text, prefix, std::strlen(prefix)) == 0;
}

// ---------------------------------------------------------------------------
// Bit reader

void pcdFillSector(pcdBitReader& r) {
    r.valid = 0;
    r.position = 0;
    while (r.valid < kPcdSector) {
        const size_t n = pcdReadBytes(r.file, r.sector + r.valid, kPcdSector - r.valid);
        if (n == 0) break;
        r.valid += n;
    }
    if (r.valid == 0) throw "Unexpected end of file in Huffman sequence";
    if (r.budget) {
        if (*r.budget < r.valid) throw "Extension data read more than once";
        *r.budget -= r.valid;
    }
}

void pcdSkipBits(pcdBitReader& r, int n) {
    // A skip longer than the refill guarantee is split so that no bit of the
    // stream is lost.
    while (n > 24) {
        pcdSkipBits(r, 24);
        n -= 24;
    }
    r.window = n >= 32 ? 0 : uint32_t(uint64_t(r.window) << n);
    r.bits -= n;
    while (r.bits <= 24) {
        if (r.position >= r.valid) pcdFillSector(r);
        r.window |= uint32_t(r.sector[r.position++]) << (24 - r.bits);
        r.bits += 8;
    }
}

void pcdSync(pcdBitReader& r) {
    while ((r.window & 0x00FFF000u) != 0x00FFF000u) pcdSkipBits(r, 8);
    while ((r.window & 0xFFFFFF00u) != 0xFFFFFE00u) pcdSkipBits(r, 1);
}

void pcdDecodeRun(pcdBitReader& r, const uint8_t* table, uint8_t* destination, size_t n) {
    const uint8_t* lengths = table + 65536;
    for (size_t i = 0; i < n; ++i) {
        const uint32_t pattern = r.window >> 16;
        const uint8_t length = lengths[pattern];
        if (length == kPcdNoCode) {
            std::memset(destination, 0, n);
            pcdSync(r);
            return;
        }
        destination[i] = table[pattern];
        pcdSkipBits(r, length);
    }
}

// ---------------------------------------------------------------------------
// Huffman tables

void pcdParseHuffmanTables(const uint8_t* data, size_t size, uint8_t* store, int count) {
    size_t at = 0;
    for (int t = 0; t < count; ++t) {
        uint8_t* values = store + size_t(t) * kPcdTableBytes;
        uint8_t* lengths = values + 65536;
        std::memset(values, 127, 65536);
        std::memset(lengths, kPcdNoCode, 65536);
        if (at >= size) throw "Huffman table definition is incomplete";
        const size_t entries = size_t(data[at]) + 1;
        if (entries * 4 + 1 > size - at) throw "Huffman table definition is incomplete";
        if (t > 0 && entries <= 3) {
            std::memcpy(values, values - kPcdTableBytes, kPcdTableBytes);
        } else {
            for (size_t e = 0; e < entries; ++e) {
                const uint8_t* entry = data + at + 1 + e * 4;
                if (entry[0] > 15) throw "Huffman code error!!";
                const unsigned length = entry[0] + 1u;
                const unsigned span = 1u << (16 - length);
                // Only the code's own bits count; stray low bits would run
                // the fill past the table.
                const unsigned code = pcdBig16(entry + 1) & ~(span - 1) & 0xFFFFu;
                std::memset(values + code, entry[3], span);
                std::memset(lengths + code, int(length), span);
            }
        }
        at += entries * 4 + 1;
    }
}

void pcdBuildHuffmanTables(std::FILE* file, long offset, uint8_t* store, int count) {
    const size_t size = count == 1 ? kPcdSector : 2 * kPcdSector;
    std::vector<uint8_t> block;
    try {
        block.resize(size);
    } catch (...) {
        throw "memory allocation error";
    }
    if (std::fseek(file, offset, SEEK_SET) != 0 || pcdReadBytes(file, block.data(), size) != size)
        throw "Could not read the huffman tables";
    pcdParseHuffmanTables(block.data(), size, store, count);
}

// ---------------------------------------------------------------------------
// Residual records

void pcdDecodeResiduals(pcdBitReader& r, const uint8_t* store, unsigned level,
                        uint32_t segmentWidth, uint32_t recordCount, uint8_t* const planes[3],
                        uint32_t offset) {
    const pcdSize size = pcdLevelSize(level);
    const uint64_t W = size.width, H = size.height;
    const uint64_t chromaW = W / 2, chromaH = H / 2;
    unsigned expected = 0;
    for (int p = 0; p < 3; ++p)
        if (planes[p]) expected |= 1u << p;
    if (recordCount == 0) recordCount = level == 3 ? 1536 : level == 4 ? 4096 : 1;

    if (r.bits == 0) pcdSkipBits(r, 0);
    uint32_t used = 0;
    uint64_t previousRow = 0;
    for (;;) {
        if (used >= recordCount) break;
        if (expected == 0 && previousRow >= H) break;
        ++used;
        pcdSync(r);
        pcdSkipBits(r, 16);
        unsigned field;
        uint64_t row;
        uint64_t segment = 0;
        int plane;
        if (level < 5) {
            field = (r.window >> 22) & 3;
            row = (r.window >> 9) & 0x1FFF;
            pcdSkipBits(r, 24);
            plane = field == 0 ? 0 : field == 2 ? 1 : field == 3 ? 2 : -1;
        } else {
            field = (r.window >> 20) & 3;
            row = (r.window >> 6) & 0x3FFF;
            segment = (r.window >> 1) & 0xF;
            pcdSkipBits(r, 32);
            plane = field < 3 ? int(field) : -1;
            if (plane > 0) row *= 2;
        }
        previousRow = row;
        if (row >= H) continue;
        if (plane < 0) throw "Corrupt Image";
        if (!planes[plane]) continue;
        uint64_t start, length, planeSize;
        if (plane == 0) {
            start = uint64_t(offset) + row * W + segment * segmentWidth;
            length = segmentWidth ? segmentWidth : W;
            planeSize = W * H;
        } else {
            start = uint64_t(offset / 2) + (row / 2) * chromaW + segment * segmentWidth;
            length = segmentWidth ? segmentWidth : chromaW;
            planeSize = chromaW * chromaH;
        }
        if (start > planeSize || length > planeSize - start) continue;
        pcdDecodeRun(r, store + size_t(plane) * kPcdTableBytes, planes[plane] + start,
                     size_t(length));
        expected &= ~(1u << plane);
    }
}

// ---------------------------------------------------------------------------
// Base images

namespace {

const char* readBaseLevel(std::FILE* file, unsigned level, pcdBytes planes[3]) {
    static const long sectors[3] = {4, 23, 96};
    const pcdSize s = pcdLevelSize(level);
    const size_t W = s.width, H = s.height;
    planes[0] = pcdAlloc(W * H + 1);
    planes[1] = pcdAlloc((W * H + 1) / 4);
    planes[2] = pcdAlloc((W * H + 1) / 4);
    if (!planes[0] || !planes[1] || !planes[2]) return "Memory allocation error";
    if (std::fseek(file, sectors[level] * long(kPcdSector), SEEK_SET) != 0)
        return "File ended unexpectedly";
    size_t total = 0;
    for (size_t pair = 0; pair < H / 2; ++pair) {
        total += pcdReadBytes(file, planes[0].get() + 2 * pair * W, 2 * W);
        total += pcdReadBytes(file, planes[1].get() + pair * (W / 2), W / 2);
        total += pcdReadBytes(file, planes[2].get() + pair * (W / 2), W / 2);
    }
    return total == 3 * W * H / 2 ? nullptr : "File ended unexpectedly";
}

}  // namespace

int pcdReadBaseImage(std::FILE* file, unsigned level, pcdBytes planes[3], const char** why) {
    if (why) *why = nullptr;
    for (int L = int(std::min(level, 2u)); L >= 0; --L) {
        const char* failure = readBaseLevel(file, unsigned(L), planes);
        if (!failure) return L;
        if (why && !*why) *why = failure;
        for (int p = 0; p < 3; ++p) planes[p].reset();
    }
    return -1;
}
