#include "dng/image/dng_opcodes.h"

#include "dng/core/dng_exception.h"
#include "dng/core/dng_host.h"
#include "dng/core/dng_memory_allocator.h"
#include "dng/core/dng_stream.h"
#include "dng/core/dng_utils.h"
#include "dng/image/dng_image.h"
#include "dng/image/dng_negative.h"
#include "dng/image/dng_pixel_buffer.h"

dng_opcode::dng_opcode(uint32 opcodeID, uint32 minVersion, uint32 flags)
    : fOpcodeID(opcodeID), fMinVersion(minVersion), fFlags(flags), fWasReadFromStream(false) {}

dng_opcode::dng_opcode(uint32 opcodeID, dng_stream& stream, const char*)
    : fOpcodeID(opcodeID), fMinVersion(0), fFlags(0), fWasReadFromStream(true) {
    fMinVersion = stream.GetUInt32();
    fFlags = stream.GetUInt32();
}

dng_opcode::~dng_opcode() = default;

void dng_opcode::BeforeApply(dng_host&, dng_negative&, const dng_rect&, uint32) {}

bool dng_opcode::IsValidForNegative(const dng_negative&) const { return true; }

void dng_opcode::PutData(dng_stream& stream) const { stream.PutUInt32(0); }

uint32 dng_opcode::ReadByteCount(dng_stream& stream) {
    const uint32 byteCount = stream.GetUInt32();
    if (byteCount > stream.RemainingBytes()) ThrowBadFormat("opcode parameters beyond the list");
    return byteCount;
}

bool dng_opcode::AboutToApply(dng_host& host, dng_negative& negative, const dng_rect& imageBounds,
                              uint32 imagePlanes) {
    if (SkipIfPreview() && host.ForPreview()) {
        negative.SetIsPreview(true);
        return false;
    }
    if (MinVersion() > dngVersion_1_5_0_0 && WasReadFromStream()) {
        if (Optional()) return false;
        ThrowBadFormat("opcode needs a newer reader");
    }
    if (!IsValidForNegative(negative)) ThrowBadFormat("opcode not valid for this negative");
    if (IsNOP()) return false;
    BeforeApply(host, negative, imageBounds, imagePlanes);
    return true;
}

dng_opcode_Unknown::dng_opcode_Unknown(dng_host& host, uint32 opcodeID, dng_stream& stream)
    : dng_opcode(opcodeID, stream, nullptr) {
    const uint32 size = ReadByteCount(stream);
    if (size) {
        fData = host.Allocate(size);
        stream.ReadBytes(fData->Buffer(), size);
    }
}

void dng_opcode_Unknown::PutData(dng_stream& stream) const {
    if (!fData) {
        stream.PutUInt32(0);
        return;
    }
    stream.PutUInt32(fData->LogicalSize());
    stream.WriteBytes(fData->Buffer(), fData->LogicalSize());
}

void dng_opcode_Unknown::Apply(dng_host&, dng_negative&, std::unique_ptr<dng_image>&) {
    if (!Optional()) ThrowBadFormat("unknown opcode");
}

dng_rect dng_filter_opcode::SrcArea(const dng_rect& dstArea, const dng_rect&) { return dstArea; }

dng_point dng_filter_opcode::SrcTileSize(const dng_point& dstTileSize,
                                         const dng_rect& imageBounds) {
    const dng_rect src = SrcArea(dng_rect(0, 0, dstTileSize.v, dstTileSize.h), imageBounds);
    return dng_point(int32(src.H()), int32(src.W()));
}

void dng_filter_opcode::Prepare(dng_negative&, uint32, const dng_point&, const dng_rect&, uint32,
                                uint32, dng_memory_allocator&) {}

void dng_filter_opcode::Apply(dng_host& host, dng_negative& negative,
                              std::unique_ptr<dng_image>& image) {
    const dng_rect modified = ModifiedBounds(image->Bounds());
    if (modified.IsEmpty()) return;

    std::unique_ptr<dng_image> dst;
    if (modified == image->Bounds())
        dst.reset(host.MakeImage(image->Bounds(), image->Planes(), image->PixelType()));
    else
        dst = image->Clone();

    dng_filter_opcode_task task(*this, negative, *image, *dst);
    host.PerformAreaTask(task, modified);
    image = std::move(dst);
}

void dng_inplace_opcode::Prepare(dng_negative&, uint32, const dng_point&, const dng_rect&, uint32,
                                 uint32, dng_memory_allocator&) {}

void dng_inplace_opcode::Apply(dng_host& host, dng_negative& negative,
                               std::unique_ptr<dng_image>& image) {
    const dng_rect modified = ModifiedBounds(image->Bounds());
    if (modified.IsEmpty()) return;
    dng_inplace_opcode_task task(*this, negative, *image);
    host.PerformAreaTask(task, modified);
}

dng_filter_opcode_task::dng_filter_opcode_task(dng_filter_opcode& opcode, dng_negative& negative,
                                               const dng_image& srcImage, dng_image& dstImage)
    : dng_filter_task("dng_filter_opcode_task", srcImage, dstImage),
      fOpcode(opcode),
      fNegative(negative) {
    fSrcPixelType = opcode.BufferPixelType(srcImage.PixelType());
    fDstPixelType = fSrcPixelType;
    fSrcRepeat = opcode.SrcRepeat();
}

dng_rect dng_filter_opcode_task::SrcArea(const dng_rect& dstArea) {
    return fOpcode.SrcArea(dstArea, fDstImage.Bounds());
}

dng_point dng_filter_opcode_task::SrcTileSize(const dng_point& dstTileSize) {
    return fOpcode.SrcTileSize(dstTileSize, fDstImage.Bounds());
}

void dng_filter_opcode_task::ProcessArea(uint32 threadIndex, dng_pixel_buffer& srcBuffer,
                                         dng_pixel_buffer& dstBuffer) {
    fOpcode.ProcessArea(fNegative, threadIndex, srcBuffer, dstBuffer, dstBuffer.Area(),
                        fDstImage.Bounds());
}

void dng_filter_opcode_task::Start(uint32 threadCount, const dng_rect& dstArea,
                                   const dng_point& tileSize, dng_memory_allocator* allocator,
                                   dng_abort_sniffer* sniffer) {
    dng_filter_task::Start(threadCount, dstArea, tileSize, allocator, sniffer);
    fOpcode.Prepare(fNegative, threadCount, tileSize, fDstImage.Bounds(), fDstImage.Planes(),
                    fDstPixelType, allocator ? *allocator : gDefaultDNGMemoryAllocator);
}

dng_inplace_opcode_task::dng_inplace_opcode_task(dng_inplace_opcode& opcode, dng_negative& negative,
                                                 dng_image& image)
    : dng_area_task("dng_inplace_opcode_task"),
      fOpcode(opcode),
      fNegative(negative),
      fImage(image),
      fPixelType(opcode.BufferPixelType(image.PixelType())) {}

dng_inplace_opcode_task::~dng_inplace_opcode_task() = default;

void dng_inplace_opcode_task::Start(uint32 threadCount, const dng_rect&, const dng_point& tileSize,
                                    dng_memory_allocator* allocator, dng_abort_sniffer*) {
    if (threadCount > kMaxThreads) ThrowProgramError("Too many threads");
    dng_memory_allocator& memory = allocator ? *allocator : gDefaultDNGMemoryAllocator;
    const uint32 bytes = ComputeTileBufferSize(fPixelType, tileSize, fImage.Planes(), true);
    for (uint32 t = 0; t < threadCount; t++) {
        fBuffer[t].reset();
        fBuffer[t] = memory.Allocate(bytes);
    }
    fOpcode.Prepare(fNegative, threadCount, tileSize, fImage.Bounds(), fImage.Planes(), fPixelType,
                    memory);
}

void dng_inplace_opcode_task::Process(uint32 threadIndex, const dng_rect& area,
                                      dng_abort_sniffer*) {
    if (threadIndex >= kMaxThreads || !fBuffer[threadIndex])
        ThrowProgramError("In-place task not started for this thread");
    dng_pixel_buffer buffer(area, 0, fImage.Planes(), fPixelType, pcRowInterleavedAlignSIMD,
                            fBuffer[threadIndex]->Buffer());
    fImage.Get(buffer, dng_image::edge_none, 1, 1);
    fOpcode.ProcessArea(fNegative, threadIndex, buffer, area, fImage.Bounds());
    fImage.Put(buffer);
}
