// One TIFF image directory record: the layout and format of one image's data
// (size, samples, compression, strips or tiles and where they lie) plus the
// DNG per-image fields. A plain copyable value; made with the TIFF defaults.
#pragma once

#include "dng/core/dng_rational.h"
#include "dng/core/dng_rect.h"
#include "dng/core/dng_types.h"

class dng_ifd {
public:
    static constexpr uint32 kMaxSamplesPerPixel = 4;
    static constexpr uint32 kMaxTileInfo = 32;
    static constexpr uint32 kMaxCFAPattern = 8;

    dng_ifd();
    virtual ~dng_ifd();
    dng_ifd(const dng_ifd&) = default;
    dng_ifd& operator=(const dng_ifd&) = default;

    // Tile grid; 0 when the tile dimension is 0.
    uint32 TilesAcross() const;
    uint32 TilesDown() const;
    // Across × down, times the samples per pixel for planar data.
    uint32 TilesPerImage() const;
    // One tile's rectangle; strips are clipped to the image length.
    dng_rect TileArea(uint32 rowIndex, uint32 colIndex) const;

    // Bytes of an uncompressed tile area; 0 when the data is compressed.
    uint32 TileByteCount(const dng_rect& tile) const { return UncompressedTileSize(tile); }
    uint32 UncompressedTileSize(const dng_rect& tile) const;

    bool IsBaselineJPEG() const;

    // One strip covering the whole image.
    void SetSingleStrip();
    // Square-ish tiles of at most bytesPerTile (rounded to whole cells).
    void FindTileSize(uint32 bytesPerTile = 128 * 1024, uint32 cellV = 16, uint32 cellH = 16);
    // Full-width strips of at most bytesPerStrip (whole cells of rows).
    void FindStripSize(uint32 bytesPerStrip = 128 * 1024, uint32 cellV = 16);

    // Bytes of one pixel (all samples of an interleaved pixel), rounded up.
    uint32 PixelBytes() const;

    bool fUsesNewSubFileType = false;
    uint32 fNewSubFileType = 0;

    uint32 fImageWidth = 0;
    uint32 fImageLength = 0;

    uint32 fBitsPerSample[kMaxSamplesPerPixel] = {0, 0, 0, 0};
    uint32 fCompression = 1;
    uint32 fPredictor = 1;
    uint32 fPhotometricInterpretation = 0xFFFFFFFF;
    uint32 fFillOrder = 1;
    uint32 fOrientation = 0;
    uint32 fOrientationType = 0;
    uint64 fOrientationOffset = kDNGStreamInvalidOffset;
    bool fOrientationBigEndian = false;

    uint32 fSamplesPerPixel = 1;
    uint32 fPlanarConfiguration = 1;

    real64 fXResolution = 0.0;
    real64 fYResolution = 0.0;
    uint32 fResolutionUnit = 0;

    bool fUsesStrips = false;
    bool fUsesTiles = false;

    uint32 fTileWidth = 0;
    uint32 fTileLength = 0;

    uint32 fTileOffsetsType = 0;
    uint32 fTileOffsetsCount = 0;
    uint64 fTileOffsetsOffset = 0;
    uint64 fTileOffset[kMaxTileInfo] = {};

    uint32 fTileByteCountsType = 0;
    uint32 fTileByteCountsCount = 0;
    uint64 fTileByteCountsOffset = 0;
    uint32 fTileByteCount[kMaxTileInfo] = {};

    uint32 fSubIFDsCount = 0;
    uint64 fSubIFDsOffset = 0;

    uint32 fExtraSamplesCount = 0;
    uint32 fExtraSamples[kMaxSamplesPerPixel] = {0, 0, 0, 0};

    uint32 fSampleFormat[kMaxSamplesPerPixel] = {1, 1, 1, 1};
    uint32 fSampleBitShift = 0;

    uint32 fJPEGTablesCount = 0;
    uint64 fJPEGTablesOffset = 0;
    uint64 fJPEGInterchangeFormat = 0;
    uint32 fJPEGInterchangeFormatLength = 0;

    // Repairs a first JPEG byte that some writers leave wrong.
    bool fPatchFirstJPEGByte = false;
    // Lossless JPEG written with the 16-bit Huffman fault.
    bool fLosslessJPEGBug16 = false;
    // 0 = default quality.
    uint32 fCompressionQuality = 0;

    uint32 fCFARepeatPatternRows = 0;
    uint32 fCFARepeatPatternCols = 0;
    uint8 fCFAPattern[kMaxCFAPattern][kMaxCFAPattern] = {};
    uint32 fCFALayout = 1;

    uint32 fLinearizationTableType = 0;
    uint32 fLinearizationTableCount = 0;
    uint64 fLinearizationTableOffset = 0;

    real64 fWhiteLevel[kMaxSamplesPerPixel] = {-1.0, -1.0, -1.0, -1.0};

    dng_urational fDefaultScaleH = dng_urational(1, 1);
    dng_urational fDefaultScaleV = dng_urational(1, 1);
    dng_urational fBestQualityScale = dng_urational(1, 1);
    dng_urational fDefaultCropOriginH = dng_urational(0, 1);
    dng_urational fDefaultCropOriginV = dng_urational(0, 1);
    dng_urational fDefaultCropSizeH;
    dng_urational fDefaultCropSizeV;

    dng_rect fActiveArea;

    uint32 fRowInterleaveFactor = 1;
    uint32 fSubTileBlockRows = 1;
    uint32 fSubTileBlockCols = 1;

    uint32 fOpcodeList1Count = 0;
    uint64 fOpcodeList1Offset = 0;
    uint32 fOpcodeList2Count = 0;
    uint64 fOpcodeList2Offset = 0;
    uint32 fOpcodeList3Count = 0;
    uint64 fOpcodeList3Offset = 0;

    uint32 fPreviewColorSpace = 0xFFFFFFFF;
};
