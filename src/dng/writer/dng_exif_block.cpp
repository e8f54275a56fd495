#include "dng/writer/dng_exif_block.h"

#include "dng/core/dng_exif.h"
#include "dng/core/dng_memory_allocator.h"
#include "dng/core/dng_memory_stream.h"
#include "dng/core/dng_safe_arithmetic.h"
#include "dng/core/dng_tag_codes.h"
#include "dng/image/dng_metadata.h"
#include "dng/writer/dng_exif_tag_set.h"
#include "dng/writer/dng_tiff_directory.h"
#include "dng/writer/tiff_tag.h"

namespace {

constexpr uint32 kHeaderSize = 8;
constexpr uint32 kGrowth = 64 * 1024;

}  // namespace

std::unique_ptr<dng_memory_block> BuildExifBlock(dng_memory_allocator& allocator,
                                                 const dng_exif& exif,
                                                 const dng_exif_block_options& options) {
    dng_tiff_directory mainIFD;

    dng_urational xResolution, yResolution;
    uint16 resolutionUnit = 0;
    if (options.resolution != nullptr) {
        xResolution = options.resolution->fXResolution;
        yResolution = options.resolution->fYResolution;
        resolutionUnit = static_cast<uint16>(options.resolution->fResolutionUnit);
    }
    tag_urational xResolutionTag(tcXResolution, xResolution);
    tag_urational yResolutionTag(tcYResolution, yResolution);
    tag_uint16 resolutionUnitTag(tcResolutionUnit, resolutionUnit);
    if (options.resolution != nullptr) {
        mainIFD.Add(&xResolutionTag);
        mainIFD.Add(&yResolutionTag);
        mainIFD.Add(&resolutionUnitTag);
    }

    tag_uint16 orientationTag(tcOrientation, options.orientation);
    if (options.orientation != 0) mainIFD.Add(&orientationTag);
    tag_uint16 yCbCrPositioningTag(tcYCbCrPositioning, options.yCbCrPositioning);
    if (options.yCbCrPositioning != 0) mainIFD.Add(&yCbCrPositioningTag);

    tag_iptc iptcTag(options.iptcData, options.iptcLength);
    if (options.includeIPTC && iptcTag.Count() != 0) mainIFD.Add(&iptcTag);

    dng_exif_tag_set exifSet(mainIFD, exif, options.makerNoteSafe, options.makerNoteData,
                             options.makerNoteLength, false);

    if (mainIFD.IsEmpty()) return allocator.Allocate(0);

    const bool hasThumbnail = options.thumbnailData != nullptr && options.thumbnailLength != 0;

    const uint32 exifOffset = SafeUint32Add(kHeaderSize, mainIFD.Size());
    exifSet.Locate(exifOffset);
    const uint32 thumbnailIFDOffset = SafeUint32Add(exifOffset, exifSet.Size());

    dng_tiff_directory thumbnailIFD;
    tag_uint16 compressionTag(tcCompression, 6);
    tag_urational thumbXResolutionTag(tcXResolution, dng_urational(72, 1));
    tag_urational thumbYResolutionTag(tcYResolution, dng_urational(72, 1));
    tag_uint16 thumbResolutionUnitTag(tcResolutionUnit, 2);
    tag_uint32 jpegOffsetTag(tcJPEGInterchangeFormat, 0);
    tag_uint32 jpegLengthTag(tcJPEGInterchangeFormatLength, options.thumbnailLength);
    if (hasThumbnail) {
        thumbnailIFD.Add(&compressionTag);
        thumbnailIFD.Add(&thumbXResolutionTag);
        thumbnailIFD.Add(&thumbYResolutionTag);
        thumbnailIFD.Add(&thumbResolutionUnitTag);
        thumbnailIFD.Add(&jpegOffsetTag);
        thumbnailIFD.Add(&jpegLengthTag);
        const uint32 jpegOffset = SafeUint32Add(thumbnailIFDOffset, thumbnailIFD.Size());
        SafeUint32Add(jpegOffset, options.thumbnailLength);
        jpegOffsetTag.Set(jpegOffset);
        mainIFD.SetChained(thumbnailIFDOffset);
    }

    dng_memory_stream stream(allocator, nullptr, kGrowth);
    stream.SetBigEndian(options.bigEndian);
    stream.PutUInt16(options.bigEndian ? 0x4D4D : 0x4949);
    stream.PutUInt16(42);
    stream.PutUInt32(kHeaderSize);

    // The stream starts at the block's first byte, so stream positions are
    // the offsets a reader of the block expects.
    mainIFD.Put(stream);
    exifSet.ExifIFD().Put(stream);
    exifSet.GPSIFD().Put(stream);
    if (hasThumbnail) {
        thumbnailIFD.Put(stream);
        stream.WriteBytes(options.thumbnailData, options.thumbnailLength);
    }

    stream.Flush();
    stream.SetLength(stream.Position());
    return stream.CopyToMemoryBlock(allocator);
}

std::unique_ptr<dng_memory_block> BuildExifBlock(dng_memory_allocator& allocator,
                                                 const dng_metadata& metadata,
                                                 const dng_resolution_info* resolution,
                                                 bool includeIPTC, const void* thumbnailData,
                                                 uint32 thumbnailLength, bool bigEndian) {
    dng_exif_block_options options;
    options.resolution = resolution;
    options.includeIPTC = includeIPTC;
    options.iptcData = metadata.IPTCData();
    options.iptcLength = metadata.IPTCLength();
    options.makerNoteSafe = metadata.IsMakerNoteSafe();
    if (const dng_memory_block* makerNote = metadata.MakerNote()) {
        options.makerNoteData = makerNote->Buffer();
        options.makerNoteLength = makerNote->LogicalSize();
    }
    options.thumbnailData = thumbnailData;
    options.thumbnailLength = thumbnailLength;
    options.bigEndian = bigEndian;
    const dng_exif empty;
    const dng_exif* exif = metadata.GetExif();
    return BuildExifBlock(allocator, exif != nullptr ? *exif : empty, options);
}
