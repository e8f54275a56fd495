// Row bands on the dispatch pool: an image's rows cut into contiguous ranges
// that run as one apply on the global concurrent queue, the caller taking
// part. Safe to call from several threads at once and from inside a pool
// task (the caller runs whatever bands no pool thread has taken).
#pragma once

#include <cstdint>
#include <functional>

namespace platform {

// Calls work(firstRow, endRow) for min(bands, height) contiguous row ranges
// that cover [0, height); band b is rows [height*b/bands, height*(b+1)/bands).
// An exception thrown by any band is rethrown on the caller after all have
// finished (the first one caught when several throw).
void RunInRowBands(uint32_t height, unsigned bands,
                   const std::function<void(uint32_t, uint32_t)>& work);

}  // namespace platform
