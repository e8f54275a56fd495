// One TIFF image file directory as the writer emits it: up to 100 entries
// kept sorted by tag number (equal numbers keep their order of addition), its
// byte size, and its serialisation with the values that do not fit an entry.
//
// Ownership: the entries are the caller's tags (usually held by tag sets),
// which must outlive Put. One thread at a time.
#pragma once

#include "dng/core/dng_types.h"

class dng_stream;
class tiff_tag;

class dng_tiff_directory {
public:
    static constexpr uint32 kMaxEntries = 100;

    // Where out-of-line value offsets count from.
    enum OffsetsBase : uint32 {
        offsetsRelativeToStream = 0,
        offsetsRelativeToExplicitBase = 1,
        offsetsRelativeToIFD = 2
    };

    dng_tiff_directory() = default;
    virtual ~dng_tiff_directory() = default;
    dng_tiff_directory(const dng_tiff_directory&) = delete;
    dng_tiff_directory& operator=(const dng_tiff_directory&) = delete;

    // Inserts before the first entry with a greater number; returns the new
    // count. A full directory fails with dng_error_unknown and stays as it was.
    uint32 Add(const tiff_tag* tag);

    uint32 EntryCount() const { return fEntries; }
    const tiff_tag* Entry(uint32 index) const { return fTag[index]; }
    bool IsEmpty() const { return fEntries == 0; }
    // Forgets every entry (the tags themselves are the caller's).
    void RemoveAll() { fEntries = 0; }

    // 0 when empty; else 2 + 12 × entries + 4 plus every value longer than
    // 4 bytes, each rounded up to an even length.
    uint32 Size() const;

    void SetChained(uint32 offset) { fChained = offset; }
    uint32 Chained() const { return fChained; }

    // Writes the directory and its long values at the stream's position; an
    // empty directory writes nothing. Offsets that do not fit 32 bits fail
    // with dng_error_overflow before anything is written.
    void Put(dng_stream& stream, OffsetsBase offsetsBase = offsetsRelativeToStream,
             uint32 explicitBase = 0) const;

private:
    uint32 fEntries = 0;
    const tiff_tag* fTag[kMaxEntries] = {};
    uint32 fChained = 0;
};
