// A shared, copy-on-write byte block. Copies share the bytes; a writer calls
// EnsureWriteable first so that it owns them alone. The share count is
// thread-safe, the bytes are not: one writer at a time per copy.
#pragma once

#include <memory>

#include "dng/core/dng_types.h"

class dng_ref_counted_block {
public:
    dng_ref_counted_block() = default;
    explicit dng_ref_counted_block(uint32 size) { Allocate(size); }

    // Replaces the content with a new block of size bytes (zeroed);
    // dng_error_memory when memory is refused. Size 0 clears.
    void Allocate(uint32 size);
    void Clear() { fBlock.reset(); }
    // Gives this copy its own bytes when they are shared.
    void EnsureWriteable();

    uint32 LogicalSize() const { return fBlock ? fBlock->fSize : 0; }

    void* Buffer() { return fBlock ? fBlock->fData.get() : nullptr; }
    const void* Buffer() const { return fBlock ? fBlock->fData.get() : nullptr; }
    uint8* Buffer_uint8() { return static_cast<uint8*>(Buffer()); }
    const uint8* Buffer_uint8() const { return static_cast<const uint8*>(Buffer()); }
    char* Buffer_char() { return static_cast<char*>(Buffer()); }
    const char* Buffer_char() const { return static_cast<const char*>(Buffer()); }
    uint16* Buffer_uint16() { return static_cast<uint16*>(Buffer()); }
    const uint16* Buffer_uint16() const { return static_cast<const uint16*>(Buffer()); }
    uint32* Buffer_uint32() { return static_cast<uint32*>(Buffer()); }
    const uint32* Buffer_uint32() const { return static_cast<const uint32*>(Buffer()); }
    real32* Buffer_real32() { return static_cast<real32*>(Buffer()); }
    const real32* Buffer_real32() const { return static_cast<const real32*>(Buffer()); }
    real64* Buffer_real64() { return static_cast<real64*>(Buffer()); }
    const real64* Buffer_real64() const { return static_cast<const real64*>(Buffer()); }

    bool IsShared() const { return fBlock && fBlock.use_count() > 1; }

private:
    struct Block {
        uint32 fSize = 0;
        std::unique_ptr<uint8[]> fData;
    };
    static std::shared_ptr<Block> MakeBlock(uint32 size);

    std::shared_ptr<Block> fBlock;
};
