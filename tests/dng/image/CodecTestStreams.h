// Stream helpers shared by the codec and reader tests: read-only streams
// over byte vectors and capture of what a writer puts into a stream.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "dng/core/dng_memory_allocator.h"
#include "dng/core/dng_memory_block.h"
#include "dng/core/dng_memory_stream.h"
#include "dng/core/dng_stream.h"

namespace dngtest {

class ReadStream {
public:
    explicit ReadStream(const std::vector<uint8_t>& bytes, bool bigEndian = false)
        : stream_(bytes.data(), uint32_t(bytes.size())) {
        stream_.SetBigEndian(bigEndian);
    }
    dng_stream& stream() { return stream_; }

private:
    dng_stream stream_;
};

inline std::vector<uint8_t> WriteToBytes(const std::function<void(dng_stream&)>& write) {
    dng_memory_stream s(gDefaultDNGMemoryAllocator);
    write(s);
    s.Flush();
    std::unique_ptr<dng_memory_block> block = s.CopyToMemoryBlock(gDefaultDNGMemoryAllocator);
    const uint8_t* p = block->Buffer_uint8();
    return std::vector<uint8_t>(p, p + block->LogicalSize());
}

}  // namespace dngtest
