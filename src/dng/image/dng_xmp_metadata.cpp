// The XMP syncs that reach into a negative's metadata: the IPTC block (kept
// only while XMP records its digest, which never happens here, so a source
// block is dropped), its rebuilding from XMP (nothing to rebuild from), and
// the orientation.
#include "dng/core/dng_iptc.h"
#include "dng/core/dng_xmp.h"
#include "dng/image/dng_metadata.h"

void dng_xmp::SyncIPTC(dng_metadata& metadata, uint32 options) {
    if (metadata.IPTCLength() == 0) {
        metadata.ClearIPTC();
        return;
    }
    dng_iptc iptc;
    iptc.Parse(metadata.IPTCData(), metadata.IPTCLength(), metadata.IPTCOffset());
    const dng_fingerprint digestNoPadding = metadata.IPTCDigest(false);
    const dng_fingerprint digestWithPadding = metadata.IPTCDigest(true);

    dng_fingerprint stored;
    GetFingerprint(XMP_NS_EDITOR, "LegacyIPTCDigest", stored);
    if (stored.IsValid() && stored == digestNoPadding) return;
    if (stored.IsValid() && stored == digestWithPadding) {
        SetIPTCDigest(digestNoPadding);
        return;
    }
    // A null digest prefers XMP only under preferXMP, a different one the
    // block under preferNonXMP; either way the fields move into XMP (which
    // keeps nothing here) and the block is not kept.
    (void)options;
    SetIPTCDigest(digestNoPadding);
    metadata.ClearIPTC();
}

void dng_xmp::RebuildIPTC(dng_metadata& metadata, dng_memory_allocator& allocator,
                          bool padForTIFF) {
    if (!HasMeta()) return;
    dng_iptc iptc;
    // Filled from XMP with preferXMP: nothing is found.
    if (iptc.NotEmpty()) metadata.SetIPTC(iptc.Spool(allocator, padForTIFF));
}

void dng_xmp::SyncOrientation(dng_metadata& metadata, bool xmpIsMaster) {
    uint32 tiff = 0;
    if (xmpIsMaster && GetOrientation(tiff)) {
        dng_orientation orientation;
        orientation.SetTIFF(tiff);
        metadata.SetBaseOrientation(orientation);
        return;
    }
    SetOrientation(metadata.BaseOrientation().GetTIFF());
}
