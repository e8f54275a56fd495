// Per-operation settings and factory of the DNG library: memory, abort checks,
// image sizes, save options and the thread count of area tasks. A host is
// set up by one owner before use; afterwards its getters, Allocate and
// SniffForAbort may be called from area-task threads. The factories of images,
// negatives, opcodes and XMP records are virtual hooks filled in by the code
// that owns those types; here they fail with dng_error_not_yet_implemented
// (MakeExif and MakeXmp make empty records).
#pragma once

#include <memory>

#include "dng/core/dng_errors.h"
#include "dng/core/dng_memory_block.h"
#include "dng/core/dng_rect.h"
#include "dng/core/dng_types.h"

class dng_abort_sniffer;
class dng_area_task;
class dng_exif;
class dng_image;
class dng_memory_allocator;
class dng_negative;
class dng_opcode;
class dng_opcode_list;
class dng_stream;
class dng_xmp;

class dng_host {
public:
    // A null allocator means the process default one.
    explicit dng_host(dng_memory_allocator* allocator = nullptr,
                      dng_abort_sniffer* sniffer = nullptr);
    virtual ~dng_host();
    dng_host(const dng_host&) = delete;
    dng_host& operator=(const dng_host&) = delete;

    dng_memory_allocator& Allocator();
    // dng_error_memory when memory runs out.
    virtual std::unique_ptr<dng_memory_block> Allocate(uint32 logicalSize);

    void SetSniffer(dng_abort_sniffer* sniffer) { fSniffer = sniffer; }
    dng_abort_sniffer* Sniffer() const { return fSniffer; }
    // Returns at once without a sniffer; otherwise may throw to abort.
    virtual void SniffForAbort();

    void SetNeedsMeta(bool needs) { fNeedsMeta = needs; }
    bool NeedsMeta() const { return fNeedsMeta; }
    void SetNeedsImage(bool needs) { fNeedsImage = needs; }
    bool NeedsImage() const { return fNeedsImage; }
    void SetForPreview(bool preview) { fForPreview = preview; }
    bool ForPreview() const { return fForPreview; }

    // Image sizes: 0 means no limit or full size.
    void SetMinimumSize(uint32 size) { fMinimumSize = size; }
    uint32 MinimumSize() const { return fMinimumSize; }
    void SetPreferredSize(uint32 size) { fPreferredSize = size; }
    uint32 PreferredSize() const { return fPreferredSize; }
    void SetMaximumSize(uint32 size) { fMaximumSize = size; }
    uint32 MaximumSize() const { return fMaximumSize; }
    void SetCropFactor(real64 factor) { fCropFactor = factor; }
    real64 CropFactor() const { return fCropFactor; }

    // A size that replaces the preferred size for interpolation while the flag
    // is set and the size is not 0.
    void SetSizeOverride(bool enabled, uint32 size) {
        fSizeOverrideFlag = enabled;
        fSizeOverride = size;
    }
    void ClearSizeOverride() { SetSizeOverride(false, 0); }
    bool SizeOverrideFlag() const { return fSizeOverrideFlag; }
    uint32 SizeOverride() const { return fSizeOverride; }

    // Clamps the minimum and preferred sizes to the maximum and derives a
    // minimum from the preferred size when none is set.
    virtual void ValidateSizes();

    void SetKeepStage2(bool keep) { fKeepStage2 = keep; }
    bool KeepStage2() const { return fKeepStage2; }
    void SetKeepOriginalFile(bool keep) { fKeepOriginalFile = keep; }
    bool KeepOriginalFile() const { return fKeepOriginalFile; }

    // 0 = no DNG is being saved.
    void SetSaveDNGVersion(uint32 version) { fSaveDNGVersion = version; }
    virtual uint32 SaveDNGVersion() const { return fSaveDNGVersion; }
    void SetSaveLinearDNG(bool linear) { fSaveLinearDNG = linear; }
    virtual bool SaveLinearDNG() const { return fSaveLinearDNG; }

    // Threads offered to area tasks (default 1: the calling thread only).
    void SetAreaTaskThreadCount(uint32 count) { fAreaTaskThreadCount = count ? count : 1; }
    virtual uint32 AreaTaskThreadCount() const { return fAreaTaskThreadCount; }

    // Runs the task over the area with the host's allocator, sniffer and
    // thread count.
    virtual void PerformAreaTask(dng_area_task& task, const dng_rect& area);

    // Errors that must propagate even where others are tolerated: stopped by
    // request and out of memory.
    virtual bool IsTransientError(dng_error_code code);

    // Factories; the caller owns the result.
    virtual dng_exif* MakeExif();
    virtual dng_xmp* MakeXmp();
    virtual dng_image* MakeImage(const dng_rect& bounds, uint32 planes, uint32 pixelType);
    virtual dng_negative* MakeNegative();
    virtual dng_opcode* MakeOpcode(uint32 opcodeID, dng_stream& stream);
    virtual void ApplyOpcodeList(dng_opcode_list& list, dng_negative& negative,
                                 std::unique_ptr<dng_image>& image);
    virtual void ResampleImage(const dng_image& srcImage, dng_image& dstImage);

private:
    dng_memory_allocator* fAllocator;
    dng_abort_sniffer* fSniffer;
    bool fNeedsMeta = true;
    bool fNeedsImage = true;
    bool fForPreview = false;
    uint32 fMinimumSize = 0;
    uint32 fPreferredSize = 0;
    uint32 fMaximumSize = 0;
    real64 fCropFactor = 1.0;
    bool fSizeOverrideFlag = false;
    uint32 fSizeOverride = 0;
    bool fKeepStage2 = false;
    bool fKeepOriginalFile = false;
    uint32 fSaveDNGVersion = 0;
    bool fSaveLinearDNG = false;
    uint32 fAreaTaskThreadCount = 1;
};
