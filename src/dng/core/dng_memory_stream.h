// A growable in-memory stream made of equal pages from an allocator. Owns its
// pages; one thread at a time. Shrinking keeps the pages; an optional length
// limit makes growth beyond it fail with dng_error_end_of_file.
#pragma once

#include <memory>
#include <vector>

#include "dng/core/dng_stream.h"

class dng_memory_stream : public dng_stream {
public:
    static constexpr uint32 kDefaultPageSize = 65536;

    explicit dng_memory_stream(dng_memory_allocator& allocator,
                               dng_abort_sniffer* sniffer = nullptr,
                               uint32 pageSize = kDefaultPageSize);
    ~dng_memory_stream() override;

    // 0 means no limit.
    void SetLengthLimit(uint64 limit) { fLengthLimit = limit; }
    uint64 LengthLimit() const { return fLengthLimit; }
    uint32 PageCount() const { return static_cast<uint32>(fPages.size()); }
    uint32 PageSize() const { return fPageSize; }

    void CopyBytesTo(dng_stream& dstStream, uint64 count) override;

protected:
    uint64 BackEndLength() override;
    void BackEndRead(void* data, uint32 count, uint64 offset) override;
    void BackEndSetLength(uint64 length) override;
    void BackEndWrite(const void* data, uint32 count, uint64 offset) override;

private:
    dng_memory_allocator& fAllocator;
    uint32 fPageSize;
    std::vector<std::unique_ptr<dng_memory_block>> fPages;
    uint64 fMemoryStreamLength = 0;
    uint64 fLengthLimit = 0;
};
