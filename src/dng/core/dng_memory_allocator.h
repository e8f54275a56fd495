// Source of every dng_memory_block and of plain heap memory in the DNG code.
// The process-wide default allocator holds no state and may be used from any
// thread at once.
#pragma once

#include <memory>

#include "dng/core/dng_memory_block.h"

class dng_memory_allocator {
public:
    dng_memory_allocator() = default;
    virtual ~dng_memory_allocator();
    dng_memory_allocator(const dng_memory_allocator&) = delete;
    dng_memory_allocator& operator=(const dng_memory_allocator&) = delete;

    // A new block owned by the caller; dng_error_memory when memory runs out.
    virtual std::unique_ptr<dng_memory_block> Allocate(uint32 size);
    // Plain heap memory (null when refused); release it with Free.
    virtual void* Malloc(std::size_t size);
    virtual void Free(void* p);
};

// The one process-wide allocator.
extern dng_memory_allocator gDefaultDNGMemoryAllocator;
