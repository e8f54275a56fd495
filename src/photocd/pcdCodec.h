// The pieces of a Photo CD image pack that the decoder shares between its
// files: plane memory, level sizes, the sector-wise bit reader, the Huffman
// table store and the residual-record decoder.
//
// Failures inside these routines are thrown as plain texts (const char*);
// pcdDecode catches them and turns them into its warning or error text.
//
// Thread safety: none of these objects is shared between threads; the
// tables are read-only once built.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>

struct pcdFree {
    void operator()(void* p) const noexcept { std::free(p); }
};
// A malloc'd byte plane (null when the memory could not be had).
using pcdBytes = std::unique_ptr<uint8_t[], pcdFree>;
pcdBytes pcdAlloc(size_t count);
pcdBytes pcdAllocZeroed(size_t count);

inline constexpr size_t kPcdSector = 2048;
inline constexpr size_t kPcdHeaderBytes = 6144;
// Three tables of 65,536 values then 65,536 code lengths each.
inline constexpr size_t kPcdTableBytes = 2 * 65536;
inline constexpr size_t kPcdTableStoreBytes = 3 * kPcdTableBytes;
// The code length of a bit pattern that starts no code.
inline constexpr uint8_t kPcdNoCode = 31;

struct pcdSize {
    unsigned width;
    unsigned height;
};
// Landscape luma size of a level 0 (Base/16) to 5 (64Base).
pcdSize pcdLevelSize(unsigned level);

// Reads the stream a sector at a time; `window` holds the next bits with the
// next one in its most significant bit.
struct pcdBitReader {
    std::FILE* file = nullptr;
    uint8_t sector[kPcdSector];
    size_t valid = 0;     // bytes read into `sector`
    size_t position = 0;  // next byte of `sector`
    uint32_t window = 0;
    int bits = 0;  // valid bits in `window`
    // Bytes that readers sharing this budget may still read (null: no
    // limit); an index that sends runs over the same data again and again
    // ends with an error instead of reading without end.
    uint64_t* budget = nullptr;

    // Starts on the file's current position with an empty window; the first
    // skip reads a sector.
    void start(std::FILE* f) {
        file = f;
        valid = position = 0;
        window = 0;
        bits = 0;
    }
};

void pcdFillSector(pcdBitReader& reader);
void pcdSkipBits(pcdBitReader& reader, int n);
void pcdSync(pcdBitReader& reader);
// Decodes n samples with `table` (values then lengths); an invalid code
// zeroes the whole run and re-synchronises.
void pcdDecodeRun(pcdBitReader& reader, const uint8_t* table, uint8_t* destination, size_t n);

// Builds `count` tables (1 or 3) from definitions read at `offset` of the file.
void pcdBuildHuffmanTables(std::FILE* file, long offset, uint8_t* store, int count);
// The same from definitions already in memory.
void pcdParseHuffmanTables(const uint8_t* data, size_t size, uint8_t* store, int count);

// Decodes residual records of a level (3, 4 or 5) into the present planes
// (Y, C1, C2; null for an absent one). recordCount 0 means the level's usual
// count. Runs that would leave their plane are passed over.
void pcdDecodeResiduals(pcdBitReader& reader, const uint8_t* store, unsigned level,
                        uint32_t segmentWidth, uint32_t recordCount, uint8_t* const planes[3],
                        uint32_t offset);

// Reads the base image of `level` (at most 2) or, failing that, of a smaller
// level; the level delivered, or -1 when none could be read. `why` (may be
// null) receives the reason the asked level failed.
int pcdReadBaseImage(std::FILE* file, unsigned level, pcdBytes planes[3],
                     const char** why = nullptr);

inline uint16_t pcdSwap16(uint16_t v) { return uint16_t((v >> 8) | (v << 8)); }
inline uint32_t pcdSwap32(uint32_t v) {
    return (v >> 24) | ((v >> 8) & 0xFF00u) | ((v << 8) & 0xFF0000u) | (v << 24);
}
inline uint16_t pcdBig16(const uint8_t* p) { return uint16_t((p[0] << 8) | p[1]); }
inline uint32_t pcdBig32(const uint8_t* p) {
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
}
// The entry of `folder` whose name equals `name` without regard to ASCII
// case (the exact name first); folder / name when there is none.
std::filesystem::path pcdFindEntry(const std::filesystem::path& folder, const std::string& name);

size_t pcdReadBytes(std::FILE* file, void* buffer, size_t n);
// Copies n bytes, turns trailing spaces into NULs and terminates at n
// (`to` has room for n + 1 bytes).
void pcdTrimCopy(char* to, const uint8_t* from, size_t n);
bool pcdStartsWith(const char* text, const char* prefix);

// The row bands of the heavy per-pixel steps.
inline constexpr unsigned kPcdBands = 8;
// Runs body(0) .. body(kPcdBands - 1): on the caller alone for 1 worker,
// else spread over the concurrent queue with the caller taking part.
void pcdRunBands(unsigned workers, const std::function<void(unsigned band)>& body);
// First row of a band of `rows` rows.
inline unsigned pcdBandStart(unsigned band, unsigned rows) {
    return unsigned(uint64_t(band) * rows / kPcdBands);
}

// Doubles a (width/2) x (height/2) plane into width x height: mode 0
// replication, 1 bilinear, 2 guided by `guide` (the luma plane at the
// destination size; bilinear without one or with addResidual). With
// addResidual the destination holds signed residuals that are added.
void pcdUpsample(const uint8_t* source, uint8_t* destination, const uint8_t* guide, unsigned width,
                 unsigned height, int mode, bool addResidual, unsigned workers);
