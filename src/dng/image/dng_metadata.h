// The descriptive metadata of one negative: base orientation, the EXIF
// record and a copy of it as first seen, the maker note, the IPTC block, the
// XMP record with the embedded packet's digest and origin flags, and the
// source's MIME type.
//
// The XMP record holds no properties in this system (dng_xmp), so its syncs
// change only the EXIF record and the IPTC block.
//
// Owned by its negative; not locked, one thread at a time. Copies are made
// only with an allocator (Clone).
#pragma once

#include <memory>

#include "dng/core/dng_exif.h"
#include "dng/core/dng_fingerprint.h"
#include "dng/core/dng_memory_block.h"
#include "dng/core/dng_string.h"
#include "dng/core/dng_types.h"
#include "dng/core/dng_xmp.h"
#include "dng/image/dng_orientation.h"

class dng_host;
class dng_memory_allocator;

class dng_metadata {
public:
    explicit dng_metadata(dng_host& host);
    dng_metadata(const dng_metadata& other, dng_memory_allocator& allocator);
    virtual ~dng_metadata();
    dng_metadata& operator=(const dng_metadata&) = delete;

    virtual std::unique_ptr<dng_metadata> Clone(dng_memory_allocator& allocator) const;

    bool HasBaseOrientation() const { return fHasBaseOrientation; }
    const dng_orientation& BaseOrientation() const { return fBaseOrientation; }
    void SetBaseOrientation(const dng_orientation& orientation);
    // Composes the base orientation with the given one.
    void ApplyOrientation(const dng_orientation& orientation);

    dng_exif* GetExif() { return fExif.get(); }
    const dng_exif* GetExif() const { return fExif.get(); }
    const dng_exif* GetOriginalExif() const { return fOriginalExif.get(); }
    void ResetExif(std::unique_ptr<dng_exif> exif) { fExif = std::move(exif); }

    void SetMakerNoteSafety(bool safe) { fMakerNoteSafe = safe; }
    bool IsMakerNoteSafe() const { return fMakerNoteSafe; }
    void SetMakerNote(std::unique_ptr<dng_memory_block> block) { fMakerNote = std::move(block); }
    void ClearMakerNote() {
        fMakerNoteSafe = false;
        fMakerNote.reset();
    }
    const dng_memory_block* MakerNote() const { return fMakerNote.get(); }

    const void* IPTCData() const { return fIPTCBlock ? fIPTCBlock->Buffer() : nullptr; }
    uint32 IPTCLength() const { return fIPTCBlock ? fIPTCBlock->LogicalSize() : 0; }
    uint64 IPTCOffset() const { return fIPTCBlock ? fIPTCOffset : kDNGStreamInvalidOffset; }
    void SetIPTC(std::unique_ptr<dng_memory_block> block);
    void SetIPTCWithOffset(std::unique_ptr<dng_memory_block> block, uint64 offset);
    void ClearIPTC();
    // MD5 of the block; without padding up to three trailing zero bytes are
    // left out. Null without a block or with an empty one.
    dng_fingerprint IPTCDigest(bool includePadding = true) const;

    // A new XMP record from the host parses the packet; false (the old record
    // kept) when parsing fails, except for errors the host says must
    // propagate.
    bool SetXMP(dng_host& host, const void* data, uint32 count, bool xmpInSidecar = false,
                bool xmpIsNewer = false);
    // As SetXMP from the file itself; records the packet's digest (null on
    // failure).
    void SetEmbeddedXMP(dng_host& host, const void* data, uint32 count);
    dng_xmp* GetXMP() { return fXMP.get(); }
    const dng_xmp* GetXMP() const { return fXMP.get(); }
    void ResetXMP(std::unique_ptr<dng_xmp> xmp) { fXMP = std::move(xmp); }
    void ResetXMPSidecarNewer(std::unique_ptr<dng_xmp> xmp, bool inSidecar, bool isNewer) {
        fXMP = std::move(xmp);
        fXMPInSidecar = inSidecar;
        fXMPIsNewer = isNewer;
    }
    // Drops the block and has the XMP record rebuild one from its fields,
    // then records the new block's digest in the XMP record.
    void RebuildIPTC(dng_memory_allocator& allocator, bool padForTIFF);
    const dng_fingerprint& EmbeddedXMPDigest() const { return fEmbeddedXMPDigest; }
    bool XMPInSidecar() const { return fXMPInSidecar; }
    bool XMPIsNewer() const { return fXMPIsNewer; }

    // Keeps the first EXIF record seen as the original one, then reconciles
    // XMP with the IPTC block, the EXIF record and the orientation
    // (dng_error_unknown without an EXIF record).
    void SynchronizeMetadata();

    void UpdateDateTime(const dng_date_time_info& dateTime);
    void UpdateDateTimeToNow();
    // Only the XMP metadata date.
    void UpdateMetadataDateTimeToNow();

    const dng_string& SourceMIME() const { return fSourceMIME; }
    void SetSourceMIME(const char* mime) { fSourceMIME.Set(mime); }

private:
    bool fHasBaseOrientation = false;
    dng_orientation fBaseOrientation;
    bool fMakerNoteSafe = false;
    std::unique_ptr<dng_memory_block> fMakerNote;
    std::unique_ptr<dng_exif> fExif;
    std::unique_ptr<dng_exif> fOriginalExif;
    std::unique_ptr<dng_memory_block> fIPTCBlock;
    uint64 fIPTCOffset = kDNGStreamInvalidOffset;
    std::unique_ptr<dng_xmp> fXMP;
    dng_fingerprint fEmbeddedXMPDigest;
    bool fXMPInSidecar = false;
    bool fXMPIsNewer = false;
    dng_string fSourceMIME;
};
