// The DNG library's byte stream: a buffered window over a medium that a
// subclass supplies through four back-end operations, a byte order per stream,
// typed readers and writers, and readers that turn one TIFF tag value of any
// field type into an integer, a real or a rational.
//
// A stream owns its window memory and is used by one thread at a time. Written
// bytes reach the medium on Flush, SetLength, a read that moves the window or a
// write that does not fit; the base destructor does not flush (subclasses that
// write files flush in their own destructor). Every read past the end fails with
// dng_error_end_of_file.
#pragma once

#include <memory>

#include "dng/core/dng_memory_block.h"
#include "dng/core/dng_rational.h"
#include "dng/core/dng_types.h"

class dng_abort_sniffer;
class dng_memory_allocator;

class dng_stream {
public:
    static constexpr uint32 kBlockSize = 4096;
    static constexpr uint32 kMinBufferSize = 2 * kBlockSize;
    static constexpr uint32 kDefaultBufferSize = kMinBufferSize;
    static constexpr uint32 kBigBufferSize = 65536;
    static constexpr uint32 kMaxReadAhead = 1048576;

    // The window is the larger of bufferSize and 8192 bytes.
    explicit dng_stream(dng_abort_sniffer* sniffer = nullptr,
                        uint32 bufferSize = kDefaultBufferSize,
                        uint64 offsetInOriginalFile = kDNGStreamInvalidOffset);
    // A read-only stream over bytes the caller keeps alive.
    dng_stream(const void* data, uint32 count,
               uint64 offsetInOriginalFile = kDNGStreamInvalidOffset);
    virtual ~dng_stream();
    dng_stream(const dng_stream&) = delete;
    dng_stream& operator=(const dng_stream&) = delete;

    bool IsBigEndian() const { return fSwapBytes; }
    void SetBigEndian(bool bigEndian = true) { fSwapBytes = bigEndian; }
    void SetLittleEndian(bool littleEndian = true) { fSwapBytes = !littleEndian; }
    bool SwapBytes() const { return fSwapBytes; }

    // The whole content when the window holds all of it, else null.
    const void* Data() const;

    dng_abort_sniffer* Sniffer() const { return fSniffer; }
    void SetSniffer(dng_abort_sniffer* sniffer) { fSniffer = sniffer; }

    // Resizes the window (not below 8192, not while dirty, not for a stream
    // whose whole content is in memory); an allocation failure keeps the old one.
    void SetBufferSize(dng_memory_allocator& allocator, uint32 newBufferSize);
    uint32 BufferSize() const { return fBufferSize; }

    uint64 Length();
    uint64 Position() const { return fPosition; }
    uint64 PositionInOriginalFile() const;
    uint64 OriginalFilePosition() const { return PositionInOriginalFile(); }
    uint64 OffsetInOriginalFile() const { return fOffsetInOriginalFile; }

    // Moves the position, then fails when it lies beyond the length.
    void SetReadPosition(uint64 offset);
    void SetWritePosition(uint64 offset) { fPosition = offset; }
    // Moves the read position forward (overflow-checked, same end test).
    void Skip(uint64 delta);
    // Bytes between the position and the end (0 when past the end).
    uint64 RemainingBytes();

    // Reads count bytes. When fewer than allowance bytes could be buffered the
    // read returns at once, leaving the destination and position unchanged.
    void ReadBytes(void* data, uint32 count, uint32 allowance = 0);
    void WriteBytes(const void* data, uint32 count);

    void Flush();
    void SetLength(uint64 length);

    uint8 GetUInt8();
    uint16 GetUInt16();
    uint32 GetUInt32();
    uint64 GetUInt64();
    real32 GetReal32();
    real64 GetReal64();
    int8 Get_int8() { return static_cast<int8>(GetUInt8()); }
    int16 Get_int16() { return static_cast<int16>(GetUInt16()); }
    int32 Get_int32() { return static_cast<int32>(GetUInt32()); }

    void PutUInt8(uint8 x);
    void PutUInt16(uint16 x);
    void PutUInt32(uint32 x);
    void PutUInt64(uint64 x);
    void PutReal32(real32 x);
    void PutReal64(real64 x);

    // Reads up to a 0 byte, storing at most maxLength - 1 bytes; always
    // terminated. The 16-bit form keeps the low byte of each unit.
    void ReadCString(char* buffer, uint32 maxLength);
    void ReadCString16(char* buffer, uint32 maxLength);

    void WriteZeros(uint64 count);
    void PadToEven();
    void PadToMultipleOf4();

    // One value of the given TIFF field type, converted.
    uint32 ReadTagValueAsUInt32(uint32 tagType);
    int32 ReadTagValueAsInt32(uint32 tagType);
    real64 ReadTagValueAsReal64(uint32 tagType);
    dng_urational ReadTagValueAsURational(uint32 tagType);
    dng_srational ReadTagValueAsSRational(uint32 tagType);

    // The whole stream in a new block (dng_error_unknown above 4 GB).
    std::unique_ptr<dng_memory_block> CopyToMemoryBlock(dng_memory_allocator& allocator);

    // Copies count bytes from this stream's position to the destination's.
    virtual void CopyBytesTo(dng_stream& dstStream, uint64 count);
    void CopyWholeStreamTo(dng_stream& dstStream);

protected:
    // Back end: the base versions fail with dng_error_unknown.
    virtual uint64 BackEndLength();
    virtual void BackEndRead(void* data, uint32 count, uint64 offset);
    virtual void BackEndSetLength(uint64 length);
    virtual void BackEndWrite(const void* data, uint32 count, uint64 offset);

    // Window state, exposed for subclasses and tests of the buffering.
    uint64 BufferStart() const { return fBufferStart; }
    uint64 BufferEnd() const { return fBufferEnd; }
    uint64 BufferLimit() const { return fBufferLimit; }
    bool BufferDirty() const { return fBufferDirty; }

private:
    bool fSwapBytes = false;
    bool fHaveLength = false;
    uint64 fLength = 0;
    uint64 fOffsetInOriginalFile = kDNGStreamInvalidOffset;
    uint64 fPosition = 0;
    std::unique_ptr<dng_memory_block> fMemBlock;
    uint8* fBuffer = nullptr;
    uint32 fBufferSize = 0;
    uint64 fBufferStart = 0;
    uint64 fBufferEnd = 0;
    uint64 fBufferLimit = 0;
    bool fBufferDirty = false;
    dng_abort_sniffer* fSniffer = nullptr;
};

// Sets a stream's byte order for a scope and restores it after.
class TempBigEndian {
public:
    TempBigEndian(dng_stream& stream, bool bigEndian = true);
    virtual ~TempBigEndian();
    TempBigEndian(const TempBigEndian&) = delete;
    TempBigEndian& operator=(const TempBigEndian&) = delete;

private:
    dng_stream& fStream;
    bool fOldSwap;
};

class TempLittleEndian : public TempBigEndian {
public:
    TempLittleEndian(dng_stream& stream, bool littleEndian = true)
        : TempBigEndian(stream, !littleEndian) {}
};

// Replaces a stream's sniffer for a scope.
class ScopedStreamSniffer {
public:
    ScopedStreamSniffer(dng_stream& stream, dng_abort_sniffer* sniffer);
    ~ScopedStreamSniffer();
    ScopedStreamSniffer(const ScopedStreamSniffer&) = delete;
    ScopedStreamSniffer& operator=(const ScopedStreamSniffer&) = delete;

private:
    dng_stream& fStream;
    dng_abort_sniffer* fOldSniffer;
};

// Widens the window for one long contiguous read and restores it after.
class ScopedStreamReadAhead {
public:
    ScopedStreamReadAhead(dng_stream& stream, dng_memory_allocator& allocator, uint64 offset,
                          uint64 count);
    ~ScopedStreamReadAhead();
    ScopedStreamReadAhead(const ScopedStreamReadAhead&) = delete;
    ScopedStreamReadAhead& operator=(const ScopedStreamReadAhead&) = delete;

private:
    dng_stream& fStream;
    dng_memory_allocator& fAllocator;
    uint32 fOldBufferSize;
};
