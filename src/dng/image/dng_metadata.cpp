#include "dng/image/dng_metadata.h"

#include <cstring>

#include "dng/core/dng_date_time.h"
#include "dng/core/dng_exception.h"
#include "dng/core/dng_host.h"
#include "dng/core/dng_md5_printer.h"
#include "dng/core/dng_memory_allocator.h"

dng_metadata::dng_metadata(dng_host& host) : fExif(host.MakeExif()), fXMP(host.MakeXmp()) {}

dng_metadata::dng_metadata(const dng_metadata& o, dng_memory_allocator& allocator)
    : fHasBaseOrientation(o.fHasBaseOrientation),
      fBaseOrientation(o.fBaseOrientation),
      fMakerNoteSafe(o.fMakerNoteSafe),
      fMakerNote(o.fMakerNote ? o.fMakerNote->Clone(allocator) : nullptr),
      fExif(o.fExif ? o.fExif->Clone(&allocator) : nullptr),
      fOriginalExif(o.fOriginalExif ? o.fOriginalExif->Clone(&allocator) : nullptr),
      fIPTCBlock(o.fIPTCBlock ? o.fIPTCBlock->Clone(allocator) : nullptr),
      fIPTCOffset(o.fIPTCOffset),
      fXMP(o.fXMP ? o.fXMP->Clone() : nullptr),
      fEmbeddedXMPDigest(o.fEmbeddedXMPDigest),
      fXMPInSidecar(o.fXMPInSidecar),
      fXMPIsNewer(o.fXMPIsNewer),
      fSourceMIME(o.fSourceMIME) {}

dng_metadata::~dng_metadata() = default;

std::unique_ptr<dng_metadata> dng_metadata::Clone(dng_memory_allocator& allocator) const {
    return std::make_unique<dng_metadata>(*this, allocator);
}

void dng_metadata::SetBaseOrientation(const dng_orientation& orientation) {
    fHasBaseOrientation = true;
    fBaseOrientation = orientation;
}

void dng_metadata::ApplyOrientation(const dng_orientation& orientation) {
    fBaseOrientation += orientation;
    if (fXMP) fXMP->SetOrientation(fBaseOrientation.GetTIFF());
}

void dng_metadata::SetIPTC(std::unique_ptr<dng_memory_block> block) {
    fIPTCBlock = std::move(block);
    fIPTCOffset = kDNGStreamInvalidOffset;
}

void dng_metadata::SetIPTCWithOffset(std::unique_ptr<dng_memory_block> block, uint64 offset) {
    fIPTCBlock = std::move(block);
    fIPTCOffset = offset;
}

void dng_metadata::ClearIPTC() {
    fIPTCBlock.reset();
    fIPTCOffset = kDNGStreamInvalidOffset;
}

dng_fingerprint dng_metadata::IPTCDigest(bool includePadding) const {
    const uint32 length = IPTCLength();
    if (length == 0) return dng_fingerprint();
    const uint8* data = static_cast<const uint8*>(IPTCData());
    uint32 count = length;
    if (!includePadding) {
        // Writers pad the block to a multiple of four with zeros.
        for (uint32 i = 0; i < 3 && count > 0 && data[count - 1] == 0; i++) count--;
    }
    dng_md5_printer printer;
    printer.Process(data, count);
    return printer.Result();
}

bool dng_metadata::SetXMP(dng_host& host, const void* data, uint32 count, bool xmpInSidecar,
                          bool xmpIsNewer) {
    std::unique_ptr<dng_xmp> xmp;
    try {
        xmp.reset(host.MakeXmp());
        xmp->ParseBlock(data, count);
    } catch (const dng_exception& e) {
        if (host.IsTransientError(e.ErrorCode())) throw;
        return false;
    } catch (...) {
        return false;
    }
    fXMP = std::move(xmp);
    fXMPInSidecar = xmpInSidecar;
    fXMPIsNewer = xmpIsNewer;
    return true;
}

void dng_metadata::SetEmbeddedXMP(dng_host& host, const void* data, uint32 count) {
    if (SetXMP(host, data, count, false, false)) {
        dng_md5_printer printer;
        printer.Process(data, count);
        fEmbeddedXMPDigest = printer.Result();
        fXMP->RemoveProperty(XMP_NS_EDITOR, "SidecarForExtension");
        fXMP->RemoveProperty(XMP_NS_EDITOR, "EmbeddedXMPDigest");
    } else {
        fEmbeddedXMPDigest.Clear();
    }
}

void dng_metadata::SynchronizeMetadata() {
    if (!fExif)
        ThrowProgramError("Expected valid fExif field in dng_metadata::SynchronizeMetadata");
    if (!fOriginalExif) fOriginalExif = fExif->Clone();
    if (!fXMP) return;
    fXMP->RemoveCreatorKeywordLists();
    fXMP->SyncIPTC(*this, fXMPIsNewer ? dng_xmp::preferXMP : dng_xmp::preferNonXMP);
    fXMP->SyncExif(*fExif, nullptr, false, false);
    fXMP->SyncOrientation(*this, fXMPInSidecar);
}

void dng_metadata::UpdateDateTime(const dng_date_time_info& dateTime) {
    if (fExif) fExif->UpdateDateTime(dateTime);
    if (fXMP) fXMP->UpdateDateTime(dateTime);
}

void dng_metadata::UpdateDateTimeToNow() {
    dng_date_time_info now;
    CurrentDateTimeAndZone(now);
    UpdateDateTime(now);
    if (fXMP) fXMP->UpdateMetadataDate(now);
}

void dng_metadata::UpdateMetadataDateTimeToNow() {
    dng_date_time_info now;
    CurrentDateTimeAndZone(now);
    if (fXMP) fXMP->UpdateMetadataDate(now);
}

void dng_metadata::RebuildIPTC(dng_memory_allocator& allocator, bool padForTIFF) {
    ClearIPTC();
    if (fXMP) {
        fXMP->RebuildIPTC(*this, allocator, padForTIFF);
        fXMP->SetIPTCDigest(IPTCDigest(true));
    }
}
