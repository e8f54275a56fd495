#include "dng/core/dng_memory_allocator.h"

#include <cstdlib>

dng_memory_allocator gDefaultDNGMemoryAllocator;

dng_memory_allocator::~dng_memory_allocator() = default;

std::unique_ptr<dng_memory_block> dng_memory_allocator::Allocate(uint32 size) {
    return std::make_unique<dng_malloc_block>(size);
}

void* dng_memory_allocator::Malloc(std::size_t size) { return std::malloc(size); }

void dng_memory_allocator::Free(void* p) { std::free(p); }
