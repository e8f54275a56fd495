// Blocks of memory handed out by a dng_memory_allocator. A block is owned by
// exactly one owner (normally a std::unique_ptr) and has no lock. Its data is
// at least LogicalSize() bytes, aligned to 32 bytes, contents undefined.
#pragma once

#include <memory>

#include "dng/core/dng_types.h"

class dng_memory_allocator;

class dng_memory_block {
public:
    virtual ~dng_memory_block();
    dng_memory_block(const dng_memory_block&) = delete;
    dng_memory_block& operator=(const dng_memory_block&) = delete;

    uint32 LogicalSize() const { return fLogicalSize; }

    void* Buffer() { return fBuffer; }
    const void* Buffer() const { return fBuffer; }
    char* Buffer_char() { return static_cast<char*>(fBuffer); }
    const char* Buffer_char() const { return static_cast<const char*>(fBuffer); }
    uint8* Buffer_uint8() { return static_cast<uint8*>(fBuffer); }
    const uint8* Buffer_uint8() const { return static_cast<const uint8*>(fBuffer); }
    uint16* Buffer_uint16() { return static_cast<uint16*>(fBuffer); }
    const uint16* Buffer_uint16() const { return static_cast<const uint16*>(fBuffer); }
    int16* Buffer_int16() { return static_cast<int16*>(fBuffer); }
    const int16* Buffer_int16() const { return static_cast<const int16*>(fBuffer); }
    uint32* Buffer_uint32() { return static_cast<uint32*>(fBuffer); }
    const uint32* Buffer_uint32() const { return static_cast<const uint32*>(fBuffer); }
    int32* Buffer_int32() { return static_cast<int32*>(fBuffer); }
    const int32* Buffer_int32() const { return static_cast<const int32*>(fBuffer); }
    real32* Buffer_real32() { return static_cast<real32*>(fBuffer); }
    const real32* Buffer_real32() const { return static_cast<const real32*>(fBuffer); }
    real64* Buffer_real64() { return static_cast<real64*>(fBuffer); }
    const real64* Buffer_real64() const { return static_cast<const real64*>(fBuffer); }

    // A new block of the same logical size from the allocator, bytes copied.
    std::unique_ptr<dng_memory_block> Clone(dng_memory_allocator& allocator) const;

protected:
    explicit dng_memory_block(uint32 logicalSize) : fLogicalSize(logicalSize) {}
    void SetBuffer(void* p) { fBuffer = p; }

private:
    uint32 fLogicalSize;
    void* fBuffer = nullptr;
};

// A heap block: takes logical size + 160 bytes and aligns its data to 32.
// Large blocks are recycled through platform::allocateLargeBlock.
class dng_malloc_block : public dng_memory_block {
public:
    // dng_error_memory when the heap refuses, dng_error_overflow on size overflow.
    explicit dng_malloc_block(uint32 logicalSize);
    ~dng_malloc_block() override;

    static constexpr uint32 kSlack = 160;
    static constexpr uint32 kAlignment = 32;

private:
    void* fMalloc = nullptr;
    uint32 fAllocated = 0;
};
