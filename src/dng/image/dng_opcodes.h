// DNG opcodes: processing steps a file carries in three lists, applied to
// the raw image at three stages. dng_opcode is the record every opcode
// shares (id, minimum reader version, flags, stage); dng_filter_opcode
// computes a new image from the old one tile by tile, with a margin of source
// pixels; dng_inplace_opcode changes the pixels of each tile in place.
// Opcodes of an id this system does not know are kept as raw bytes
// (dng_opcode_Unknown) so that they can be written back unchanged.
//
// Ownership: a list owns its opcodes; the tasks below borrow the opcode, the
// negative and the images for one application.
// Threads: ProcessArea may be called from several threads at once during an
// application; opcodes only read state there that Prepare or BufferPixelType
// set up beforehand.
#pragma once

#include <memory>

#include "dng/core/dng_area_task.h"
#include "dng/core/dng_memory_block.h"
#include "dng/core/dng_point.h"
#include "dng/core/dng_rect.h"
#include "dng/core/dng_types.h"
#include "dng/image/dng_filter_task.h"

class dng_host;
class dng_image;
class dng_memory_allocator;
class dng_negative;
class dng_pixel_buffer;
class dng_stream;

enum : uint32 {
    dngOpcode_WarpRectilinear = 1,
    dngOpcode_WarpFisheye = 2,
    dngOpcode_FixVignetteRadial = 3,
    dngOpcode_FixBadPixelsConstant = 4,
    dngOpcode_FixBadPixelsList = 5,
    dngOpcode_TrimBounds = 6,
    dngOpcode_MapTable = 7,
    dngOpcode_MapPolynomial = 8,
    dngOpcode_GainMap = 9,
    dngOpcode_DeltaPerRow = 10,
    dngOpcode_DeltaPerColumn = 11,
    dngOpcode_ScalePerRow = 12,
    dngOpcode_ScalePerColumn = 13
};

// Version 1.3.0.0, the first that knows opcodes.
constexpr uint32 dngVersion_1_3_0_0 = 0x01030000;
// Opcodes read from a file that need a reader newer than this are skipped
// (optional) or refused.
constexpr uint32 dngVersion_1_5_0_0 = 0x01050000;

class dng_opcode {
public:
    enum : uint32 { kFlag_None = 0, kFlag_Optional = 1, kFlag_SkipIfPreview = 2 };

    virtual void BeforeApply(dng_host& host, dng_negative& negative, const dng_rect& imageBounds,
                             uint32 imagePlanes);
    virtual ~dng_opcode();

    // True when applying would change nothing.
    virtual bool IsNOP() const { return false; }
    virtual bool IsValidForNegative(const dng_negative& negative) const;
    // Byte count and parameter block; the base writes a byte count of 0.
    virtual void PutData(dng_stream& stream) const;
    // The holder owns the current image; an opcode may replace it.
    virtual void Apply(dng_host& host, dng_negative& negative,
                       std::unique_ptr<dng_image>& image) = 0;

    uint32 OpcodeID() const { return fOpcodeID; }
    uint32 MinVersion() const { return fMinVersion; }
    uint32 Flags() const { return fFlags; }
    bool Optional() const { return (fFlags & kFlag_Optional) != 0; }
    bool SkipIfPreview() const { return (fFlags & kFlag_SkipIfPreview) != 0; }
    bool WasReadFromStream() const { return fWasReadFromStream; }
    uint32 Stage() const { return fStage; }
    void SetStage(uint32 stage) { fStage = stage; }

    // Decides whether this opcode runs now: skipped for previews when so
    // flagged, refused or skipped when it needs a newer reader, refused when
    // not valid for the negative, skipped when it changes nothing.
    bool AboutToApply(dng_host& host, dng_negative& negative, const dng_rect& imageBounds,
                      uint32 imagePlanes);

protected:
    dng_opcode(uint32 opcodeID, uint32 minVersion, uint32 flags);
    // The list has read the id; this reads the minimum version and the flags.
    dng_opcode(uint32 opcodeID, dng_stream& stream, const char* name);

    // Reads a parameter block's byte count and checks that it lies within
    // the stream before anything is allocated for it.
    static uint32 ReadByteCount(dng_stream& stream);

private:
    uint32 fOpcodeID;
    uint32 fMinVersion;
    uint32 fFlags;
    bool fWasReadFromStream;
    uint32 fStage = 0;
};

// An opcode of an id this system does not know, kept byte for byte.
class dng_opcode_Unknown : public dng_opcode {
public:
    dng_opcode_Unknown(dng_host& host, uint32 opcodeID, dng_stream& stream);

    void PutData(dng_stream& stream) const override;
    // dng_error_bad_format unless the opcode is optional.
    void Apply(dng_host& host, dng_negative& negative, std::unique_ptr<dng_image>& image) override;

    const dng_memory_block* Data() const { return fData.get(); }

private:
    std::unique_ptr<dng_memory_block> fData;
};

class dng_filter_opcode : public dng_opcode {
public:
    void Apply(dng_host& host, dng_negative& negative, std::unique_ptr<dng_image>& image) override;

    virtual uint32 BufferPixelType(uint32 imagePixelType) { return imagePixelType; }
    virtual dng_rect ModifiedBounds(const dng_rect& imageBounds) { return imageBounds; }
    virtual dng_point SrcRepeat() { return dng_point(1, 1); }
    virtual dng_rect SrcArea(const dng_rect& dstArea, const dng_rect& imageBounds);
    virtual dng_point SrcTileSize(const dng_point& dstTileSize, const dng_rect& imageBounds);
    virtual void Prepare(dng_negative& negative, uint32 threadCount, const dng_point& tileSize,
                         const dng_rect& imageBounds, uint32 imagePlanes, uint32 bufferPixelType,
                         dng_memory_allocator& allocator);
    virtual void ProcessArea(dng_negative& negative, uint32 threadIndex,
                             dng_pixel_buffer& srcBuffer, dng_pixel_buffer& dstBuffer,
                             const dng_rect& dstArea, const dng_rect& imageBounds) = 0;

protected:
    using dng_opcode::dng_opcode;
};

class dng_inplace_opcode : public dng_opcode {
public:
    void Apply(dng_host& host, dng_negative& negative, std::unique_ptr<dng_image>& image) override;

    virtual uint32 BufferPixelType(uint32 imagePixelType) { return imagePixelType; }
    virtual dng_rect ModifiedBounds(const dng_rect& imageBounds) { return imageBounds; }
    virtual void Prepare(dng_negative& negative, uint32 threadCount, const dng_point& tileSize,
                         const dng_rect& imageBounds, uint32 imagePlanes, uint32 bufferPixelType,
                         dng_memory_allocator& allocator);
    virtual void ProcessArea(dng_negative& negative, uint32 threadIndex, dng_pixel_buffer& buffer,
                             const dng_rect& dstArea, const dng_rect& imageBounds) = 0;

protected:
    using dng_opcode::dng_opcode;
};

// Drives one filter opcode over an image.
class dng_filter_opcode_task : public dng_filter_task {
public:
    dng_filter_opcode_task(dng_filter_opcode& opcode, dng_negative& negative,
                           const dng_image& srcImage, dng_image& dstImage);

    dng_rect SrcArea(const dng_rect& dstArea) override;
    dng_point SrcTileSize(const dng_point& dstTileSize) override;
    void ProcessArea(uint32 threadIndex, dng_pixel_buffer& srcBuffer,
                     dng_pixel_buffer& dstBuffer) override;
    void Start(uint32 threadCount, const dng_rect& dstArea, const dng_point& tileSize,
               dng_memory_allocator* allocator, dng_abort_sniffer* sniffer) override;

private:
    dng_filter_opcode& fOpcode;
    dng_negative& fNegative;
};

// Drives one in-place opcode: reads a tile, lets the opcode change it and
// writes it back into the same image.
class dng_inplace_opcode_task : public dng_area_task {
public:
    static constexpr uint32 kMaxThreads = 128;

    dng_inplace_opcode_task(dng_inplace_opcode& opcode, dng_negative& negative, dng_image& image);
    ~dng_inplace_opcode_task() override;

    void Start(uint32 threadCount, const dng_rect& area, const dng_point& tileSize,
               dng_memory_allocator* allocator, dng_abort_sniffer* sniffer) override;
    void Process(uint32 threadIndex, const dng_rect& area, dng_abort_sniffer* sniffer) override;

private:
    dng_inplace_opcode& fOpcode;
    dng_negative& fNegative;
    dng_image& fImage;
    uint32 fPixelType;
    std::unique_ptr<dng_memory_block> fBuffer[kMaxThreads];
};
