#include "dng/core/dng_ref_counted_block.h"

#include <cstring>
#include <new>

#include "dng/core/dng_exception.h"

std::shared_ptr<dng_ref_counted_block::Block> dng_ref_counted_block::MakeBlock(uint32 size) {
    try {
        auto block = std::make_shared<Block>();
        block->fSize = size;
        block->fData.reset(new uint8[size]());
        return block;
    } catch (const std::bad_alloc&) {
        ThrowMemoryFull("dng_ref_counted_block");
    }
}

void dng_ref_counted_block::Allocate(uint32 size) {
    if (size == 0) {
        Clear();
        return;
    }
    fBlock = MakeBlock(size);
}

void dng_ref_counted_block::EnsureWriteable() {
    if (!IsShared()) return;
    std::shared_ptr<Block> copy = MakeBlock(fBlock->fSize);
    std::memcpy(copy->fData.get(), fBlock->fData.get(), fBlock->fSize);
    fBlock = std::move(copy);
}
