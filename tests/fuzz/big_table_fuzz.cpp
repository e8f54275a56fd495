// Big-table bytes and texts from the fuzzer: the binary and base-85 forms of
// look and RGB tables must decode or refuse, never allocate past the largest
// table or read outside the bytes.
#include <cstddef>
#include <cstdint>
#include <string>

#include "FuzzSupport.h"
#include "dng/color/dng_big_table.h"
#include "dng/core/dng_exception.h"
#include "dng/core/dng_memory_allocator.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzzsupport::quietLog();
    if (size > (1u << 20)) return 0;
    dng_memory_allocator& memory = gDefaultDNGMemoryAllocator;
    try {
        dng_look_table look;
        look.DecodeFromBinary(data, uint32_t(size), memory);
    } catch (const dng_exception&) {
    }
    try {
        dng_rgb_table rgb;
        rgb.DecodeFromBinary(data, uint32_t(size), memory);
    } catch (const dng_exception&) {
    }
    try {
        dng_look_table look;
        look.DecodeFromString(std::string(reinterpret_cast<const char*>(data), size), memory);
    } catch (const dng_exception&) {
    }
    return 0;
}
