#include "dng/core/dng_memory_stream.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "dng/core/dng_exception.h"
#include "dng/core/dng_memory_allocator.h"
#include "dng/core/dng_safe_arithmetic.h"

dng_memory_stream::dng_memory_stream(dng_memory_allocator& allocator, dng_abort_sniffer* sniffer,
                                     uint32 pageSize)
    : dng_stream(sniffer, kMinBufferSize, kDNGStreamInvalidOffset),
      fAllocator(allocator),
      fPageSize(pageSize ? pageSize : kDefaultPageSize) {}

dng_memory_stream::~dng_memory_stream() = default;

uint64 dng_memory_stream::BackEndLength() { return fMemoryStreamLength; }

void dng_memory_stream::BackEndRead(void* data, uint32 count, uint64 offset) {
    if (offset > fMemoryStreamLength || count > fMemoryStreamLength - offset)
        ThrowEndOfFile("Read beyond the end of a memory stream");
    uint8* dst = static_cast<uint8*>(data);
    while (count) {
        const uint64 page = offset / fPageSize;
        const uint32 pageOffset = static_cast<uint32>(offset % fPageSize);
        const uint32 n = std::min(count, fPageSize - pageOffset);
        std::memcpy(dst, fPages[page]->Buffer_uint8() + pageOffset, n);
        dst += n;
        offset += n;
        count -= n;
    }
}

void dng_memory_stream::BackEndSetLength(uint64 length) {
    if (fLengthLimit && length > fLengthLimit)
        ThrowEndOfFile("Memory stream grown beyond its limit");
    const uint64 pagesNeeded = length / fPageSize + (length % fPageSize ? 1 : 0);
    if (pagesNeeded > 0xFFFFFFFFull) ThrowOverflow("Too many memory stream pages");
    while (fPages.size() < pagesNeeded) {
        if (fPages.size() == fPages.capacity()) {
            // The page list grows by at least 32 entries or doubles.
            const uint32 count = static_cast<uint32>(fPages.size());
            const uint32 grown =
                std::max(SafeUint32Add(count, 32),
                         SafeUint32Mult(static_cast<uint32>(fPages.capacity()), 2));
            try {
                fPages.reserve(grown);
            } catch (const std::bad_alloc&) {
                ThrowMemoryFull("Memory stream page list");
            }
        }
        fPages.push_back(fAllocator.Allocate(fPageSize));
    }
    // Bytes between the old and the new end read as zeros, never as stale or
    // uninitialised memory.
    for (uint64 offset = fMemoryStreamLength; offset < length;) {
        const uint64 page = offset / fPageSize;
        const uint32 pageOffset = static_cast<uint32>(offset % fPageSize);
        const uint32 n =
            static_cast<uint32>(std::min<uint64>(length - offset, fPageSize - pageOffset));
        std::memset(fPages[page]->Buffer_uint8() + pageOffset, 0, n);
        offset += n;
    }
    fMemoryStreamLength = length;
}

void dng_memory_stream::BackEndWrite(const void* data, uint32 count, uint64 offset) {
    const uint64 end = SafeUint64Add(offset, count);
    if (end > fMemoryStreamLength) BackEndSetLength(end);
    const uint8* src = static_cast<const uint8*>(data);
    while (count) {
        const uint64 page = offset / fPageSize;
        const uint32 pageOffset = static_cast<uint32>(offset % fPageSize);
        const uint32 n = std::min(count, fPageSize - pageOffset);
        std::memcpy(fPages[page]->Buffer_uint8() + pageOffset, src, n);
        src += n;
        offset += n;
        count -= n;
    }
}

void dng_memory_stream::CopyBytesTo(dng_stream& dstStream, uint64 count) {
    if (count < 65536) {
        dng_stream::CopyBytesTo(dstStream, count);
        return;
    }
    Flush();
    uint64 offset = Position();
    if (offset > Length() || count > Length() - offset)
        ThrowEndOfFile("Copy beyond the end of a memory stream");
    const uint64 end = offset + count;
    while (offset < end) {
        const uint64 page = offset / fPageSize;
        const uint32 pageOffset = static_cast<uint32>(offset % fPageSize);
        const uint32 n =
            static_cast<uint32>(std::min<uint64>(end - offset, fPageSize - pageOffset));
        dstStream.WriteBytes(fPages[page]->Buffer_uint8() + pageOffset, n);
        offset += n;
    }
    SetReadPosition(end);
}
