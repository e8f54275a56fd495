// A single owned heap buffer for temporary work. Not copyable, no lock; the
// buffer is null when empty and is never zeroed.
#pragma once

#include "dng/core/dng_safe_arithmetic.h"
#include "dng/core/dng_types.h"

class dng_memory_data {
public:
    dng_memory_data() = default;
    explicit dng_memory_data(uint32 size) { Allocate(size); }
    dng_memory_data(uint32 count, std::size_t elementSize) { Allocate(count, elementSize); }
    explicit dng_memory_data(const dng_safe_uint32& size) { Allocate(size); }
    ~dng_memory_data() { Clear(); }
    dng_memory_data(const dng_memory_data&) = delete;
    dng_memory_data& operator=(const dng_memory_data&) = delete;

    // Releases the old buffer first; size 0 leaves it null. dng_error_memory
    // when the heap refuses (the object is then empty).
    void Allocate(uint32 size);
    // count × elementSize, overflow-checked (dng_error_overflow).
    void Allocate(uint32 count, std::size_t elementSize);
    void Allocate(const dng_safe_uint32& size) { Allocate(size.Get()); }
    void Allocate(const dng_safe_uint32& count, std::size_t elementSize) {
        Allocate(count.Get(), elementSize);
    }
    void Clear();

    void* Buffer() { return fBuffer; }
    const void* Buffer() const { return fBuffer; }
    char* Buffer_char() { return fBuffer; }
    const char* Buffer_char() const { return fBuffer; }
    uint8* Buffer_uint8() { return reinterpret_cast<uint8*>(fBuffer); }
    const uint8* Buffer_uint8() const { return reinterpret_cast<const uint8*>(fBuffer); }
    uint16* Buffer_uint16() { return reinterpret_cast<uint16*>(fBuffer); }
    const uint16* Buffer_uint16() const { return reinterpret_cast<const uint16*>(fBuffer); }
    int16* Buffer_int16() { return reinterpret_cast<int16*>(fBuffer); }
    uint32* Buffer_uint32() { return reinterpret_cast<uint32*>(fBuffer); }
    const uint32* Buffer_uint32() const { return reinterpret_cast<const uint32*>(fBuffer); }
    int32* Buffer_int32() { return reinterpret_cast<int32*>(fBuffer); }
    uint64* Buffer_uint64() { return reinterpret_cast<uint64*>(fBuffer); }
    real32* Buffer_real32() { return reinterpret_cast<real32*>(fBuffer); }
    real64* Buffer_real64() { return reinterpret_cast<real64*>(fBuffer); }
    const real64* Buffer_real64() const { return reinterpret_cast<const real64*>(fBuffer); }

private:
    char* fBuffer = nullptr;
};
