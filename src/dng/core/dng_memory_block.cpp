#include "dng/core/dng_memory_block.h"

#include <cstdlib>
#include <cstring>

#include "dng/core/dng_exception.h"
#include "dng/core/dng_memory_allocator.h"
#include "dng/core/dng_safe_arithmetic.h"
#include "platform/LargeBlockPool.h"

dng_memory_block::~dng_memory_block() = default;

std::unique_ptr<dng_memory_block> dng_memory_block::Clone(dng_memory_allocator& allocator) const {
    std::unique_ptr<dng_memory_block> result = allocator.Allocate(fLogicalSize);
    if (fLogicalSize) std::memcpy(result->Buffer(), Buffer(), fLogicalSize);
    return result;
}

dng_malloc_block::dng_malloc_block(uint32 logicalSize) : dng_memory_block(logicalSize) {
    const uint32 total = SafeUint32Add(logicalSize, kSlack);
    fMalloc = platform::allocateLargeBlock(total, true);
    fAllocated = total;
    if (!fMalloc) ThrowMemoryFull("dng_malloc_block");
    const std::uintptr_t raw = reinterpret_cast<std::uintptr_t>(fMalloc);
    const std::uintptr_t aligned =
        (raw + kAlignment - 1) & ~static_cast<std::uintptr_t>(kAlignment - 1);
    SetBuffer(reinterpret_cast<void*>(aligned));
}

dng_malloc_block::~dng_malloc_block() { platform::releaseLargeBlock(fMalloc, fAllocated); }
