#include "dng/core/dng_memory_data.h"

#include <cstdlib>
#include <limits>

#include "dng/core/dng_exception.h"

void dng_memory_data::Allocate(uint32 size) {
    Clear();
    if (size == 0) return;
    fBuffer = static_cast<char*>(std::malloc(size));
    if (!fBuffer) ThrowMemoryFull("dng_memory_data");
}

void dng_memory_data::Allocate(uint32 count, std::size_t elementSize) {
    if (elementSize > std::numeric_limits<uint32>::max())
        ThrowOverflow("Element size too large in dng_memory_data");
    Allocate(SafeUint32Mult(count, static_cast<uint32>(elementSize)));
}

void dng_memory_data::Clear() {
    std::free(fBuffer);
    fBuffer = nullptr;
}
