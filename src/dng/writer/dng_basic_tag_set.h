// The image-structure tags of one image directory (size, samples, layout,
// compression, strip or tile offsets and byte counts), built from a dng_ifd.
// The offset and byte-count values are filled by the image-data writer before
// the directory is written.
//
// Ownership: the set owns its tags and the arrays they point to and must
// outlive the directory's Put. One thread at a time, except that distinct
// tiles' offsets may be set from the thread that appends each tile.
#pragma once

#include <vector>

#include "dng/core/dng_ifd.h"
#include "dng/core/dng_tag_codes.h"
#include "dng/writer/tiff_tag.h"

class dng_tiff_directory;

class dng_basic_tag_set {
public:
    // Adds the tags to the directory; an IFD with more than four samples per
    // pixel fails with dng_error_unknown.
    dng_basic_tag_set(dng_tiff_directory& directory, const dng_ifd& info);
    virtual ~dng_basic_tag_set();
    dng_basic_tag_set(const dng_basic_tag_set&) = delete;
    dng_basic_tag_set& operator=(const dng_basic_tag_set&) = delete;

    bool WritingStrips() const { return fStrips; }
    uint32 TileCount() const { return fTileCount; }

    void SetTileOffset(uint32 index, uint32 offset) { fTileInfo[index] = offset; }
    void SetTileByteCount(uint32 index, uint32 count) { fTileInfo[fTileCount + index] = count; }
    uint32 TileOffset(uint32 index) const { return fTileInfo[index]; }
    uint32 TileByteCount(uint32 index) const { return fTileInfo[fTileCount + index]; }

private:
    bool fStrips;
    uint32 fTileCount;
    std::vector<uint32> fTileInfo;  // offsets, then byte counts

    uint16 fBitsPerSampleData[dng_ifd::kMaxSamplesPerPixel] = {};
    uint16 fExtraSamplesData[dng_ifd::kMaxSamplesPerPixel] = {};
    uint16 fSampleFormatData[dng_ifd::kMaxSamplesPerPixel] = {};
    uint16 fSubTileBlockSizeData[2] = {};

    tag_uint32 fNewSubFileType;
    tag_uint32 fImageWidth;
    tag_uint32 fImageLength;
    tag_uint16 fPhotoInterpretation;
    tag_uint16 fSamplesPerPixel;
    tag_uint16_ptr fBitsPerSample;
    tag_uint16 fFillOrder;
    tag_uint32 fTileWidth;
    tag_uint32 fTileLength;
    tag_uint32_ptr fTileOffsets;
    tag_uint32_ptr fTileByteCounts;
    tag_uint16 fPlanarConfiguration;
    tag_uint16 fCompression;
    tag_uint16 fPredictor;
    tag_uint16_ptr fExtraSamples;
    tag_uint16_ptr fSampleFormat;
    tag_uint16 fRowInterleaveFactor;
    tag_uint16_ptr fSubTileBlockSize;
};
