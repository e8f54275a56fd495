// The EXIF block a JPEG carries in its APP1 segment: a small TIFF structure
// (header, IFD 0 with the TIFF-level fields, the EXIF and GPS directories and,
// with a thumbnail, IFD 1 followed by the thumbnail's JPEG bytes) built from an
// EXIF record and the few things beside it.
//
// Stateless; the inputs are only read, so calls may run on several threads at
// once with their own records.
#pragma once

#include <memory>

#include "dng/core/dng_memory_block.h"
#include "dng/core/dng_types.h"

class dng_exif;
class dng_memory_allocator;
class dng_metadata;
class dng_resolution_info;

struct dng_exif_block_options {
    // XResolution, YResolution and ResolutionUnit of the main image.
    const dng_resolution_info* resolution = nullptr;
    // Orientation and YCbCrPositioning of the main image; 0 leaves them out.
    uint16 orientation = 0;
    uint16 yCbCrPositioning = 0;
    // The IPTC-NAA block, written only when includeIPTC is set.
    bool includeIPTC = false;
    const void* iptcData = nullptr;
    uint32 iptcLength = 0;
    // The maker note is written only when flagged safe.
    bool makerNoteSafe = false;
    const void* makerNoteData = nullptr;
    uint32 makerNoteLength = 0;
    // A baseline JPEG thumbnail for IFD 1.
    const void* thumbnailData = nullptr;
    uint32 thumbnailLength = 0;
    bool bigEndian = false;
};

// The whole block, offsets counted from its first byte. When IFD 0 would be
// empty the block is empty (logical size 0). Blocks beyond 4 GB fail with
// dng_error_overflow.
std::unique_ptr<dng_memory_block> BuildExifBlock(dng_memory_allocator& allocator,
                                                 const dng_exif& exif,
                                                 const dng_exif_block_options& options = {});

// The block for a negative's metadata: its EXIF record (an empty one when it
// has none), its maker note with the safe flag and, when includeIPTC is set,
// its IPTC block.
std::unique_ptr<dng_memory_block> BuildExifBlock(
    dng_memory_allocator& allocator, const dng_metadata& metadata,
    const dng_resolution_info* resolution = nullptr, bool includeIPTC = false,
    const void* thumbnailData = nullptr, uint32 thumbnailLength = 0, bool bigEndian = false);
