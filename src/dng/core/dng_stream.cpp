#include "dng/core/dng_stream.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <vector>

#include "dng/core/dng_abort_sniffer.h"
#include "dng/core/dng_exception.h"
#include "dng/core/dng_memory_allocator.h"
#include "dng/core/dng_safe_arithmetic.h"
#include "dng/core/dng_tag_types.h"

static_assert(std::endian::native == std::endian::little,
              "the stream's swap flag assumes a little-endian host");

namespace {

constexpr uint64 kBlockMask = ~static_cast<uint64>(dng_stream::kBlockSize - 1);

uint64 RoundDownToBlock(uint64 x) { return x & kBlockMask; }

// Restores two streams' sniffers however a whole-stream copy ends.
class SnifferPause {
public:
    SnifferPause(dng_stream& a, dng_stream& b)
        : fA(a), fB(b), fOldA(a.Sniffer()), fOldB(b.Sniffer()) {
        fA.SetSniffer(nullptr);
        fB.SetSniffer(nullptr);
    }
    ~SnifferPause() {
        fA.SetSniffer(fOldA);
        fB.SetSniffer(fOldB);
    }

private:
    dng_stream& fA;
    dng_stream& fB;
    dng_abort_sniffer* fOldA;
    dng_abort_sniffer* fOldB;
};

}  // namespace

dng_stream::dng_stream(dng_abort_sniffer* sniffer, uint32 bufferSize, uint64 offsetInOriginalFile)
    : fOffsetInOriginalFile(offsetInOriginalFile),
      fBufferSize(std::max(bufferSize, kMinBufferSize)),
      fSniffer(sniffer) {
    fMemBlock = gDefaultDNGMemoryAllocator.Allocate(fBufferSize);
    fBuffer = fMemBlock->Buffer_uint8();
    fBufferLimit = fBufferSize;
}

dng_stream::dng_stream(const void* data, uint32 count, uint64 offsetInOriginalFile)
    : fHaveLength(true),
      fLength(count),
      fOffsetInOriginalFile(offsetInOriginalFile),
      fBuffer(const_cast<uint8*>(static_cast<const uint8*>(data))),
      fBufferSize(count),
      fBufferEnd(count),
      fBufferLimit(count) {}

dng_stream::~dng_stream() = default;

uint64 dng_stream::BackEndLength() { ThrowProgramError("Stream has no length"); }

void dng_stream::BackEndRead(void*, uint32, uint64) { ThrowProgramError("Stream cannot read"); }

void dng_stream::BackEndSetLength(uint64) { ThrowProgramError("Stream cannot set its length"); }

void dng_stream::BackEndWrite(const void*, uint32, uint64) {
    ThrowProgramError("Stream cannot write");
}

const void* dng_stream::Data() const {
    if (fBufferStart == 0 && fHaveLength && fBufferEnd == fLength) return fBuffer;
    return nullptr;
}

void dng_stream::SetBufferSize(dng_memory_allocator& allocator, uint32 newBufferSize) {
    if (newBufferSize == fBufferSize || newBufferSize < kMinBufferSize || !fMemBlock || Data() ||
        fBufferDirty)
        return;
    std::unique_ptr<dng_memory_block> block;
    try {
        block = allocator.Allocate(newBufferSize);
    } catch (...) {
        // A larger window only speeds reading up; keep the old one.
        return;
    }
    fMemBlock = std::move(block);
    fBuffer = fMemBlock->Buffer_uint8();
    fBufferStart = fBufferEnd = 0;
    fBufferSize = newBufferSize;
    fBufferLimit = newBufferSize;
}

uint64 dng_stream::Length() {
    if (!fHaveLength) {
        fLength = BackEndLength();
        fHaveLength = true;
    }
    return fLength;
}

uint64 dng_stream::PositionInOriginalFile() const {
    if (fOffsetInOriginalFile == kDNGStreamInvalidOffset) return kDNGStreamInvalidOffset;
    return fOffsetInOriginalFile + fPosition;
}

void dng_stream::SetReadPosition(uint64 offset) {
    fPosition = offset;
    if (offset > Length()) ThrowEndOfFile("Read position beyond the end of the stream");
}

void dng_stream::Skip(uint64 delta) { SetReadPosition(SafeUint64Add(fPosition, delta)); }

uint64 dng_stream::RemainingBytes() {
    const uint64 length = Length();
    return fPosition < length ? length - fPosition : 0;
}

void dng_stream::ReadBytes(void* data, uint32 count, uint32 allowance) {
    uint8* dst = static_cast<uint8*>(data);
    while (count) {
        if (fPosition >= fBufferStart && fPosition < fBufferEnd) {
            const uint32 n = static_cast<uint32>(std::min<uint64>(fBufferEnd - fPosition, count));
            std::memcpy(dst, fBuffer + (fPosition - fBufferStart), n);
            fPosition += n;
            dst += n;
            count -= n;
            if (!count) return;
        }
        // Caller memory is the whole stream: anything outside it is past the end.
        if (!fMemBlock) ThrowEndOfFile("Read beyond the end of a memory stream");

        Flush();
        const uint64 length = Length();

        if (count > fBufferSize) {
            if (count > length || fPosition > length - count)
                ThrowEndOfFile("Read beyond the end of the stream");
            dng_abort_sniffer::SniffForAbort(fSniffer);
            BackEndRead(dst, count, fPosition);
            fPosition += count;
            return;
        }

        uint64 start = fPosition;
        if (fBufferSize >= kBlockSize) start = RoundDownToBlock(start);
        const uint64 end = std::min<uint64>(start + fBufferSize, length);
        // The window is refilled below; until then it holds nothing valid.
        fBufferStart = fBufferEnd = 0;
        if (end - fPosition < allowance) return;
        if (end <= fPosition) ThrowEndOfFile("Read beyond the end of the stream");

        dng_abort_sniffer::SniffForAbort(fSniffer);
        BackEndRead(fBuffer, static_cast<uint32>(end - start), start);
        fBufferStart = start;
        fBufferEnd = end;
    }
}

void dng_stream::WriteBytes(const void* data, uint32 count) {
    if (!fMemBlock) ThrowProgramError("Write to a read-only memory stream");
    if (count == 0) return;

    const uint8* src = static_cast<const uint8*>(data);
    const uint64 end = SafeUint64Add(fPosition, count);

    if (fBufferDirty && fPosition >= fBufferStart) {
        if (fPosition <= fBufferEnd && end <= fBufferLimit) {
            std::memcpy(fBuffer + (fPosition - fBufferStart), src, count);
            fBufferEnd = std::max(fBufferEnd, end);
            fPosition = end;
            fLength = std::max(Length(), end);
            return;
        }
        if (fPosition <= fBufferEnd && fBufferLimit > fPosition) {
            const uint32 part = static_cast<uint32>(fBufferLimit - fPosition);
            std::memcpy(fBuffer + (fPosition - fBufferStart), src, part);
            src += part;
            count -= part;
            fPosition = fBufferLimit;
            fBufferEnd = fBufferLimit;
        }
    }

    Flush();
    // A clean window may hold bytes this write replaces.
    fBufferStart = fBufferEnd = 0;

    const uint32 room = static_cast<uint32>(RoundDownToBlock(fPosition + fBufferSize) - fPosition);
    if (count > room) {
        const uint32 direct = static_cast<uint32>(RoundDownToBlock(fPosition + count) - fPosition);
        dng_abort_sniffer::SniffForAbort(fSniffer);
        BackEndWrite(src, direct, fPosition);
        fPosition += direct;
        src += direct;
        count -= direct;
    }

    if (count) {
        fBufferDirty = true;
        fBufferStart = fPosition;
        fBufferEnd = fPosition + count;
        fBufferLimit = RoundDownToBlock(fPosition + fBufferSize);
        std::memcpy(fBuffer, src, count);
    }

    fPosition = end;
    fLength = std::max(Length(), end);
}

void dng_stream::Flush() {
    if (!fBufferDirty) return;
    dng_abort_sniffer::SniffForAbort(fSniffer);
    BackEndWrite(fBuffer, static_cast<uint32>(fBufferEnd - fBufferStart), fBufferStart);
    fBufferStart = 0;
    fBufferEnd = 0;
    fBufferLimit = fBufferSize;
    fBufferDirty = false;
}

void dng_stream::SetLength(uint64 length) {
    Flush();
    if (length != Length()) {
        BackEndSetLength(length);
        fLength = length;
        if (fMemBlock) fBufferStart = fBufferEnd = 0;
    }
}

uint8 dng_stream::GetUInt8() {
    if (fPosition >= fBufferStart && fPosition < fBufferEnd)
        return fBuffer[fPosition++ - fBufferStart];
    uint8 x;
    ReadBytes(&x, 1);
    return x;
}

uint16 dng_stream::GetUInt16() {
    uint16 x;
    ReadBytes(&x, 2);
    return fSwapBytes ? __builtin_bswap16(x) : x;
}

uint32 dng_stream::GetUInt32() {
    uint32 x;
    ReadBytes(&x, 4);
    return fSwapBytes ? __builtin_bswap32(x) : x;
}

uint64 dng_stream::GetUInt64() {
    uint64 x;
    ReadBytes(&x, 8);
    return fSwapBytes ? __builtin_bswap64(x) : x;
}

real32 dng_stream::GetReal32() { return std::bit_cast<real32>(GetUInt32()); }

real64 dng_stream::GetReal64() { return std::bit_cast<real64>(GetUInt64()); }

void dng_stream::PutUInt8(uint8 x) { WriteBytes(&x, 1); }

void dng_stream::PutUInt16(uint16 x) {
    if (fSwapBytes) x = __builtin_bswap16(x);
    WriteBytes(&x, 2);
}

void dng_stream::PutUInt32(uint32 x) {
    if (fSwapBytes) x = __builtin_bswap32(x);
    WriteBytes(&x, 4);
}

void dng_stream::PutUInt64(uint64 x) {
    if (fSwapBytes) x = __builtin_bswap64(x);
    WriteBytes(&x, 8);
}

void dng_stream::PutReal32(real32 x) { PutUInt32(std::bit_cast<uint32>(x)); }

void dng_stream::PutReal64(real64 x) { PutUInt64(std::bit_cast<uint64>(x)); }

void dng_stream::ReadCString(char* buffer, uint32 maxLength) {
    if (maxLength) std::memset(buffer, 0, maxLength);
    uint32 stored = 0;
    for (;;) {
        const uint8 c = GetUInt8();
        if (c == 0) break;
        if (stored + 1 < maxLength) buffer[stored++] = static_cast<char>(c);
    }
}

void dng_stream::ReadCString16(char* buffer, uint32 maxLength) {
    if (maxLength) std::memset(buffer, 0, maxLength);
    uint32 stored = 0;
    for (;;) {
        const uint8 c = static_cast<uint8>(GetUInt16() & 0xFF);
        if (c == 0) break;
        if (stored + 1 < maxLength) buffer[stored++] = static_cast<char>(c);
    }
}

void dng_stream::WriteZeros(uint64 count) {
    if (count < kBlockSize) {
        while (count--) PutUInt8(0);
        return;
    }
    uint8 zeros[kBlockSize];
    std::memset(zeros, 0, sizeof(zeros));
    while (count) {
        const uint32 n = static_cast<uint32>(std::min<uint64>(count, kBlockSize));
        WriteBytes(zeros, n);
        count -= n;
    }
}

void dng_stream::PadToEven() {
    if (fPosition & 1) PutUInt8(0);
}

void dng_stream::PadToMultipleOf4() {
    uint32 n = static_cast<uint32>((0 - fPosition) & 3);
    while (n--) PutUInt8(0);
}

uint32 dng_stream::ReadTagValueAsUInt32(uint32 tagType) {
    switch (tagType) {
        case ttByte:
            return GetUInt8();
        case ttShort:
            return GetUInt16();
        case ttLong:
        case ttIFD:
            return GetUInt32();
        default: {
            const real64 x = ReadTagValueAsReal64(tagType);
            if (!(x > 0.0)) return 0;
            if (x >= 4294967295.0) return 4294967295u;
            return static_cast<uint32>(x + 0.5);
        }
    }
}

int32 dng_stream::ReadTagValueAsInt32(uint32 tagType) {
    switch (tagType) {
        case ttSLong:
            return static_cast<int32>(GetUInt32());
        case ttSShort:
            return static_cast<int16>(GetUInt16());
        case ttSByte:
            return static_cast<int8>(GetUInt8());
        default: {
            real64 x = ReadTagValueAsReal64(tagType);
            if (x != x) return 0;
            x = std::clamp(x, -2147483648.0, 2147483647.0);
            x += x > 0.0 ? 0.5 : -0.5;
            if (x >= 2147483647.0) return 2147483647;
            if (x <= -2147483648.0) return -2147483647 - 1;
            return static_cast<int32>(x);
        }
    }
}

real64 dng_stream::ReadTagValueAsReal64(uint32 tagType) {
    switch (tagType) {
        case ttByte:
        case ttShort:
        case ttLong:
        case ttIFD:
            return ReadTagValueAsUInt32(tagType);
        case ttSByte:
        case ttSShort:
        case ttSLong:
            return ReadTagValueAsInt32(tagType);
        case ttRational: {
            const uint32 n = GetUInt32();
            const uint32 d = GetUInt32();
            return d ? static_cast<real64>(n) / d : 0.0;
        }
        case ttSRational: {
            const int32 n = static_cast<int32>(GetUInt32());
            const int32 d = static_cast<int32>(GetUInt32());
            return d ? static_cast<real64>(n) / d : 0.0;
        }
        case ttFloat:
            return GetReal32();
        case ttDouble:
            return GetReal64();
        default:
            return 0.0;
    }
}

dng_urational dng_stream::ReadTagValueAsURational(uint32 tagType) {
    switch (tagType) {
        case ttByte:
        case ttShort:
        case ttLong:
        case ttIFD:
            return dng_urational(ReadTagValueAsUInt32(tagType), 1);
        case ttSByte:
        case ttSShort:
        case ttSLong: {
            const int32 v = ReadTagValueAsInt32(tagType);
            return v < 0 ? dng_urational(0, 1) : dng_urational(static_cast<uint32>(v), 1);
        }
        case ttRational: {
            const uint32 n = GetUInt32();
            const uint32 d = GetUInt32();
            return dng_urational(n, d);
        }
        case ttSRational: {
            int32 n = static_cast<int32>(GetUInt32());
            int32 d = static_cast<int32>(GetUInt32());
            if ((n < 0) != (d < 0)) return dng_urational(0, 1);
            if (n < 0) {
                // -(-2^31) does not fit in int32; the magnitude fits in uint32.
                return dng_urational(0u - static_cast<uint32>(n), 0u - static_cast<uint32>(d));
            }
            return dng_urational(static_cast<uint32>(n), static_cast<uint32>(d));
        }
        default: {
            real64 x = ReadTagValueAsReal64(tagType);
            if (!(x > 0.0)) return dng_urational(0, 1);
            uint32 d = 1;
            while (x < 1000000.0 && d < 10000) {
                x *= 10.0;
                d *= 10;
            }
            x += 0.5;
            return dng_urational(x >= 4294967295.0 ? 4294967295u : static_cast<uint32>(x), d);
        }
    }
}

dng_srational dng_stream::ReadTagValueAsSRational(uint32 tagType) {
    if (tagType == ttSRational) {
        const int32 n = static_cast<int32>(GetUInt32());
        const int32 d = static_cast<int32>(GetUInt32());
        return dng_srational(n, d);
    }
    real64 x = ReadTagValueAsReal64(tagType);
    if (x != x) return dng_srational(0, 1);
    int32 d = 1;
    if (x > 0.0) {
        while (x < 1000000.0 && d < 10000) {
            x *= 10.0;
            d *= 10;
        }
        x += 0.5;
    } else {
        while (x > -1000000.0 && d < 10000) {
            x *= 10.0;
            d *= 10;
        }
        x -= 0.5;
    }
    int32 n;
    if (x >= 2147483647.0)
        n = 2147483647;
    else if (x <= -2147483648.0)
        n = -2147483647 - 1;
    else
        n = static_cast<int32>(x);
    return dng_srational(n, d);
}

std::unique_ptr<dng_memory_block> dng_stream::CopyToMemoryBlock(dng_memory_allocator& allocator) {
    Flush();
    const uint64 length = Length();
    if (length > 0xFFFFFFFFull) ThrowProgramError("Stream too large for a memory block");
    std::unique_ptr<dng_memory_block> block = allocator.Allocate(static_cast<uint32>(length));
    if (length) {
        SetReadPosition(0);
        ReadBytes(block->Buffer(), static_cast<uint32>(length));
    }
    return block;
}

void dng_stream::CopyBytesTo(dng_stream& dstStream, uint64 count) {
    if (count <= 1024) {
        uint8 local[1024];
        ReadBytes(local, static_cast<uint32>(count));
        dstStream.WriteBytes(local, static_cast<uint32>(count));
        return;
    }
    const uint32 pieceSize = static_cast<uint32>(std::min<uint64>(count, 65536));
    std::vector<uint8> buffer(pieceSize);
    while (count) {
        const uint32 n = static_cast<uint32>(std::min<uint64>(count, pieceSize));
        ReadBytes(buffer.data(), n);
        dstStream.WriteBytes(buffer.data(), n);
        count -= n;
    }
}

void dng_stream::CopyWholeStreamTo(dng_stream& dstStream) {
    SnifferPause pause(*this, dstStream);
    const uint64 length = Length();
    if (dstStream.Length() < length) dstStream.SetLength(length);
    SetReadPosition(0);
    dstStream.SetWritePosition(0);
    CopyBytesTo(dstStream, length);
    dstStream.Flush();
    dstStream.SetLength(length);
}

TempBigEndian::TempBigEndian(dng_stream& stream, bool bigEndian)
    : fStream(stream), fOldSwap(stream.IsBigEndian()) {
    fStream.SetBigEndian(bigEndian);
}

TempBigEndian::~TempBigEndian() { fStream.SetBigEndian(fOldSwap); }

ScopedStreamSniffer::ScopedStreamSniffer(dng_stream& stream, dng_abort_sniffer* sniffer)
    : fStream(stream), fOldSniffer(stream.Sniffer()) {
    fStream.SetSniffer(sniffer);
}

ScopedStreamSniffer::~ScopedStreamSniffer() { fStream.SetSniffer(fOldSniffer); }

ScopedStreamReadAhead::ScopedStreamReadAhead(dng_stream& stream, dng_memory_allocator& allocator,
                                             uint64 offset, uint64 count)
    : fStream(stream), fAllocator(allocator), fOldBufferSize(stream.BufferSize()) {
    fStream.Flush();
    if (count <= 4 * static_cast<uint64>(fOldBufferSize)) return;
    // Very long reads are served in pieces of at most kMaxReadAhead bytes.
    count = std::min<uint64>(count, static_cast<uint64>(1) << 48);
    const uint64 span =
        RoundDownToBlock(count + (dng_stream::kBlockSize - 1) + (offset % dng_stream::kBlockSize));
    const uint64 pieceCap = std::min<uint64>(span, dng_stream::kMaxReadAhead);
    const uint64 pieces = (span + pieceCap - 1) / pieceCap;
    const uint64 perPiece = (span + pieces - 1) / pieces;
    const uint64 newSize = RoundDownToBlock(perPiece + dng_stream::kBlockSize - 1);
    fStream.SetBufferSize(fAllocator, static_cast<uint32>(newSize));
}

ScopedStreamReadAhead::~ScopedStreamReadAhead() {
    fStream.SetBufferSize(fAllocator, fOldBufferSize);
}
