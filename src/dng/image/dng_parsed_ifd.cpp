#include "dng/image/dng_parsed_ifd.h"

#include <algorithm>

#include "dng/core/dng_exception.h"
#include "dng/core/dng_parse_utils.h"
#include "dng/core/dng_stream.h"
#include "dng/core/dng_tag_codes.h"
#include "dng/core/dng_tag_types.h"
#include "dng/core/dng_tag_values.h"

namespace {

constexpr uint32 kTagProfileGainTableMap = 52525;

bool IsUnsigned(uint32 type) { return type == ttByte || type == ttShort || type == ttLong; }

bool IsNumeric(uint32 type) {
    switch (type) {
        case ttByte:
        case ttShort:
        case ttLong:
        case ttRational:
        case ttSByte:
        case ttSShort:
        case ttSLong:
        case ttSRational:
        case ttFloat:
        case ttDouble:
            return true;
        default:
            return false;
    }
}

// The tag's values must lie inside the stream before any of them is read.
void CheckValuesFit(dng_stream& stream, uint32 tagType, uint32 tagCount) {
    const uint64 bytes = static_cast<uint64>(TiffTagTypeSize(tagType)) * tagCount;
    if (bytes > stream.RemainingBytes()) ThrowEndOfFile("Tag data beyond the end of the stream");
}

bool ReadUInt32(dng_stream& stream, uint32 tagType, uint32 tagCount, uint32& value) {
    if (!IsUnsigned(tagType) || tagCount < 1) return false;
    value = stream.ReadTagValueAsUInt32(tagType);
    return true;
}

bool ReadURational(dng_stream& stream, uint32 tagType, uint32 tagCount, dng_urational& value) {
    if (!IsNumeric(tagType) || tagCount < 1) return false;
    value = stream.ReadTagValueAsURational(tagType);
    return true;
}

// Offsets or byte counts of strips and tiles: up to kMaxTileInfo are kept,
// longer lists are read later from their position.
template <typename T>
bool ParseTileInfo(dng_stream& stream, uint32 tagType, uint32 tagCount, uint64 tagOffset,
                   uint32& type, uint32& count, uint64& offset, T* values) {
    if (!IsUnsigned(tagType) || tagCount == 0) return false;
    CheckValuesFit(stream, tagType, tagCount);
    type = tagType;
    count = tagCount;
    offset = tagOffset;
    if (tagCount <= dng_ifd::kMaxTileInfo)
        for (uint32 i = 0; i < tagCount; i++)
            values[i] = static_cast<T>(stream.ReadTagValueAsUInt32(tagType));
    return true;
}

}  // namespace

dng_parsed_ifd::dng_parsed_ifd() = default;

dng_parsed_ifd::~dng_parsed_ifd() = default;

bool dng_parsed_ifd::ParseTag(dng_stream& stream, uint32 parentCode, uint32 tagCode, uint32 tagType,
                              uint32 tagCount, uint64 tagOffset) {
    // EXIF, GPS and interoperability directories carry no image tags (some
    // writers leave stray strip tags there).
    if (parentCode == tcExifIFD || parentCode == tcGPSInfo || parentCode == tcInteroperabilityIFD)
        return false;

    switch (tagCode) {
        case tcNewSubFileType:
            if (!ReadUInt32(stream, tagType, tagCount, fNewSubFileType)) return false;
            fUsesNewSubFileType = true;
            return true;

        case tcImageWidth:
            return ReadUInt32(stream, tagType, tagCount, fImageWidth);
        case tcImageLength:
            return ReadUInt32(stream, tagType, tagCount, fImageLength);

        case tcBitsPerSample: {
            if (!IsUnsigned(tagType) || tagCount < 1) return false;
            CheckValuesFit(stream, tagType, std::min(tagCount, kMaxSamplesPerPixel));
            fBitsPerSampleCount = tagCount;
            for (uint32 i = 0; i < std::min(tagCount, kMaxSamplesPerPixel); i++)
                fBitsPerSample[i] = stream.ReadTagValueAsUInt32(tagType);
            return true;
        }

        case tcCompression:
            return ReadUInt32(stream, tagType, tagCount, fCompression);
        case tcPhotometricInterpretation:
            return ReadUInt32(stream, tagType, tagCount, fPhotometricInterpretation);
        case tcFillOrder:
            return ReadUInt32(stream, tagType, tagCount, fFillOrder);

        case tcOrientation:
            if (!ReadUInt32(stream, tagType, tagCount, fOrientation)) return false;
            fOrientationType = tagType;
            fOrientationOffset = stream.PositionInOriginalFile();
            if (fOrientationOffset != kDNGStreamInvalidOffset)
                fOrientationOffset -= TiffTagTypeSize(tagType);
            fOrientationBigEndian = stream.IsBigEndian();
            return true;

        case tcSamplesPerPixel:
            return ReadUInt32(stream, tagType, tagCount, fSamplesPerPixel);
        case tcPlanarConfiguration:
            return ReadUInt32(stream, tagType, tagCount, fPlanarConfiguration);
        case tcPredictor:
            return ReadUInt32(stream, tagType, tagCount, fPredictor);

        case tcXResolution:
            if (!IsNumeric(tagType) || tagCount < 1) return false;
            fXResolution = stream.ReadTagValueAsReal64(tagType);
            return true;
        case tcYResolution:
            if (!IsNumeric(tagType) || tagCount < 1) return false;
            fYResolution = stream.ReadTagValueAsReal64(tagType);
            return true;
        case tcResolutionUnit:
            return ReadUInt32(stream, tagType, tagCount, fResolutionUnit);

        case tcRowsPerStrip:
            if (!ReadUInt32(stream, tagType, tagCount, fRowsPerStrip)) return false;
            fHasRowsPerStrip = true;
            return true;

        case tcStripOffsets:
        case tcTileOffsets:
            if (!ParseTileInfo(stream, tagType, tagCount, tagOffset, fTileOffsetsType,
                               fTileOffsetsCount, fTileOffsetsOffset, fTileOffset))
                return false;
            (tagCode == tcStripOffsets ? fUsesStrips : fUsesTiles) = true;
            return true;
        case tcStripByteCounts:
        case tcTileByteCounts:
            if (!ParseTileInfo(stream, tagType, tagCount, tagOffset, fTileByteCountsType,
                               fTileByteCountsCount, fTileByteCountsOffset, fTileByteCount))
                return false;
            (tagCode == tcStripByteCounts ? fUsesStrips : fUsesTiles) = true;
            return true;

        case tcTileWidth:
            if (!ReadUInt32(stream, tagType, tagCount, fTileWidth)) return false;
            fUsesTiles = true;
            return true;
        case tcTileLength:
            if (!ReadUInt32(stream, tagType, tagCount, fTileLength)) return false;
            fUsesTiles = true;
            return true;

        case tcSubIFDs:
            if (tagType != ttLong && tagType != ttIFD) return false;
            CheckValuesFit(stream, tagType, tagCount);
            fSubIFDsCount = tagCount;
            fSubIFDsOffset = tagOffset;
            return true;

        case tcExtraSamples: {
            if (!IsUnsigned(tagType) || tagCount < 1) return false;
            fExtraSamplesCount = tagCount;
            const uint32 n = std::min(tagCount, kMaxSamplesPerPixel);
            CheckValuesFit(stream, tagType, n);
            for (uint32 i = 0; i < n; i++) fExtraSamples[i] = stream.ReadTagValueAsUInt32(tagType);
            return true;
        }

        case tcSampleFormat: {
            if (!IsUnsigned(tagType) || tagCount < 1) return false;
            const uint32 n = std::min(tagCount, kMaxSamplesPerPixel);
            CheckValuesFit(stream, tagType, n);
            for (uint32 i = 0; i < n; i++) fSampleFormat[i] = stream.ReadTagValueAsUInt32(tagType);
            for (uint32 i = n; i < kMaxSamplesPerPixel; i++) fSampleFormat[i] = fSampleFormat[0];
            return true;
        }

        case tcJPEGTables:
            if (tagType != ttUndefined && tagType != ttByte) return false;
            CheckValuesFit(stream, tagType, tagCount);
            fJPEGTablesCount = tagCount;
            fJPEGTablesOffset = tagOffset;
            return true;
        case tcJPEGInterchangeFormat: {
            uint32 v = 0;
            if (!ReadUInt32(stream, tagType, tagCount, v)) return false;
            fJPEGInterchangeFormat = v;
            return true;
        }
        case tcJPEGInterchangeFormatLength:
            return ReadUInt32(stream, tagType, tagCount, fJPEGInterchangeFormatLength);

        case tcCFARepeatPatternDim:
            if (!IsUnsigned(tagType) || tagCount != 2) return false;
            fCFARepeatPatternRows = stream.ReadTagValueAsUInt32(tagType);
            fCFARepeatPatternCols = stream.ReadTagValueAsUInt32(tagType);
            return true;

        case tcCFAPattern: {
            // The TIFF/EP form; the dimensions come first in a sorted directory.
            if (tagType != ttByte && tagType != ttUndefined) return false;
            const uint32 rows = fCFARepeatPatternRows;
            const uint32 cols = fCFARepeatPatternCols;
            if (rows < 1 || cols < 1 || rows > kMaxCFAPattern || cols > kMaxCFAPattern ||
                tagCount != rows * cols)
                return false;
            CheckValuesFit(stream, tagType, tagCount);
            for (uint32 r = 0; r < rows; r++)
                for (uint32 c = 0; c < cols; c++) fCFAPattern[r][c] = stream.GetUInt8();
            return true;
        }

        case tcCFAPlaneColor: {
            if (tagType != ttByte || tagCount < 3 || tagCount > 4) return false;
            fCFAPlaneColorCount = tagCount;
            for (uint32 i = 0; i < tagCount; i++) fCFAPlaneColor[i] = stream.GetUInt8();
            return true;
        }
        case tcCFALayout:
            return ReadUInt32(stream, tagType, tagCount, fCFALayout);
        case tcBayerGreenSplit:
            return ReadUInt32(stream, tagType, tagCount, fBayerGreenSplit);

        case tcLinearizationTable:
            if (tagType != ttShort || tagCount < 1 || tagCount > 65536) return false;
            CheckValuesFit(stream, tagType, tagCount);
            fLinearizationTableType = tagType;
            fLinearizationTableCount = tagCount;
            fLinearizationTableOffset = tagOffset;
            return true;

        case tcBlackLevelRepeatDim:
            if (!IsUnsigned(tagType) || tagCount != 2) return false;
            fLinearizationTags.fBlackLevelRepeatRows = stream.ReadTagValueAsUInt32(tagType);
            fLinearizationTags.fBlackLevelRepeatCols = stream.ReadTagValueAsUInt32(tagType);
            return true;

        case tcBlackLevel: {
            if (!IsNumeric(tagType) || tagCount < 1 || tagCount > kMaxBlackLevels) return false;
            CheckValuesFit(stream, tagType, tagCount);
            std::vector<double>& levels = fLinearizationTags.fBlackLevel;
            levels.clear();
            for (uint32 i = 0; i < tagCount; i++)
                levels.push_back(stream.ReadTagValueAsReal64(tagType));
            fHasBlackLevel = true;
            fEnhancedBlackLevel = levels[0];
            return true;
        }

        case tcBlackLevelDeltaH:
        case tcBlackLevelDeltaV: {
            if (tagType != ttSShort && tagType != ttSLong && tagType != ttSRational) return false;
            CheckValuesFit(stream, tagType, tagCount);
            const bool h = tagCode == tcBlackLevelDeltaH;
            (h ? fLinearizationTags.fBlackLevelDeltaHType
               : fLinearizationTags.fBlackLevelDeltaVType) = tagType;
            (h ? fLinearizationTags.fBlackLevelDeltaHCount
               : fLinearizationTags.fBlackLevelDeltaVCount) = tagCount;
            (h ? fLinearizationTags.fBlackLevelDeltaHOffset
               : fLinearizationTags.fBlackLevelDeltaVOffset) = tagOffset;
            return true;
        }

        case tcWhiteLevel: {
            if (!IsNumeric(tagType) || tagCount < 1) return false;
            const uint32 n = std::min(tagCount, kMaxSamplesPerPixel);
            CheckValuesFit(stream, tagType, n);
            for (uint32 i = 0; i < n; i++) fWhiteLevel[i] = stream.ReadTagValueAsReal64(tagType);
            for (uint32 i = n; i < kMaxSamplesPerPixel; i++) fWhiteLevel[i] = fWhiteLevel[0];
            fHasWhiteLevel = true;
            return true;
        }

        case tcDefaultScale:
            if (!IsNumeric(tagType) || tagCount != 2) return false;
            fDefaultScaleH = stream.ReadTagValueAsURational(tagType);
            fDefaultScaleV = stream.ReadTagValueAsURational(tagType);
            return true;
        case tcDefaultCropOrigin:
            if (!IsNumeric(tagType) || tagCount != 2) return false;
            fDefaultCropOriginH = stream.ReadTagValueAsURational(tagType);
            fDefaultCropOriginV = stream.ReadTagValueAsURational(tagType);
            return true;
        case tcDefaultCropSize:
            if (!IsNumeric(tagType) || tagCount != 2) return false;
            fDefaultCropSizeH = stream.ReadTagValueAsURational(tagType);
            fDefaultCropSizeV = stream.ReadTagValueAsURational(tagType);
            fHasDefaultCropSize = true;
            return true;
        case tcBestQualityScale:
            return ReadURational(stream, tagType, tagCount, fBestQualityScale);
        case tcDefaultUserCrop:
            if (!IsNumeric(tagType) || tagCount != 4) return false;
            fDefaultUserCropT = stream.ReadTagValueAsURational(tagType);
            fDefaultUserCropL = stream.ReadTagValueAsURational(tagType);
            fDefaultUserCropB = stream.ReadTagValueAsURational(tagType);
            fDefaultUserCropR = stream.ReadTagValueAsURational(tagType);
            return true;

        case tcChromaBlurRadius:
            return ReadURational(stream, tagType, tagCount, fChromaBlurRadius);
        case tcAntiAliasStrength:
            return ReadURational(stream, tagType, tagCount, fAntiAliasStrength);
        case tcNoiseReductionApplied:
            return ReadURational(stream, tagType, tagCount, fNoiseReductionApplied);
        case tcBaselineSharpness:
            // Only enhanced images carry their own; the file's is a shared tag.
            if (parentCode == 0) return false;
            return ReadURational(stream, tagType, tagCount, fBaselineSharpness);

        case tcNoiseProfile: {
            if (tagType != ttDouble || tagCount < 2 || tagCount % 2 != 0 ||
                tagCount > 2 * dng_noise_profile::kMaxFunctions)
                return false;
            std::vector<dng_noise_function> functions;
            for (uint32 i = 0; i < tagCount / 2; i++) {
                const real64 scale = stream.GetReal64();
                const real64 offset = stream.GetReal64();
                functions.emplace_back(scale, offset);
            }
            fNoiseProfile = dng_noise_profile(functions);
            return true;
        }

        case tcActiveArea: {
            if (!IsUnsigned(tagType) || tagCount != 4) return false;
            const uint32 t = stream.ReadTagValueAsUInt32(tagType);
            const uint32 l = stream.ReadTagValueAsUInt32(tagType);
            const uint32 b = stream.ReadTagValueAsUInt32(tagType);
            const uint32 r = stream.ReadTagValueAsUInt32(tagType);
            if (t > b || l > r || b > 0x7FFFFFFF || r > 0x7FFFFFFF)
                ThrowBadFormat("bad active area");
            fActiveArea = dng_rect(int32(t), int32(l), int32(b), int32(r));
            return true;
        }

        case tcMaskedAreas: {
            if (!IsUnsigned(tagType) || tagCount % 4 != 0 || tagCount > 16) return false;
            CheckValuesFit(stream, tagType, tagCount);
            fLinearizationTags.fMaskedAreaCount = tagCount / 4;
            for (uint32 i = 0; i < tagCount / 4; i++) {
                uint32 v[4];
                for (uint32& x : v)
                    x = std::min<uint32>(stream.ReadTagValueAsUInt32(tagType), 0x7FFFFFFF);
                if (v[0] > v[2] || v[1] > v[3]) ThrowBadFormat("bad masked area");
                fLinearizationTags.fMaskedArea[i] =
                    dng_rect(int32(v[0]), int32(v[1]), int32(v[2]), int32(v[3]));
            }
            return true;
        }

        case tcSubTileBlockSize:
            if (!IsUnsigned(tagType) || tagCount != 2) return false;
            fSubTileBlockRows = stream.ReadTagValueAsUInt32(tagType);
            fSubTileBlockCols = stream.ReadTagValueAsUInt32(tagType);
            return true;
        case tcRowInterleaveFactor:
            return ReadUInt32(stream, tagType, tagCount, fRowInterleaveFactor);

        case tcOpcodeList1:
        case tcOpcodeList2:
        case tcOpcodeList3: {
            if (tagType != ttUndefined && tagType != ttByte) return false;
            CheckValuesFit(stream, tagType, tagCount);
            uint32& count = tagCode == tcOpcodeList1   ? fOpcodeList1Count
                            : tagCode == tcOpcodeList2 ? fOpcodeList2Count
                                                       : fOpcodeList3Count;
            uint64& offset = tagCode == tcOpcodeList1   ? fOpcodeList1Offset
                             : tagCode == tcOpcodeList2 ? fOpcodeList2Offset
                                                        : fOpcodeList3Offset;
            count = tagCount;
            offset = tagOffset;
            return true;
        }

        case tcPreviewColorSpace:
            return ReadUInt32(stream, tagType, tagCount, fPreviewColorSpace);

        case tcEnhanceParams:
            ParseStringTag(stream, parentCode, tagCode, tagCount, fEnhanceParams, false);
            return true;

        case kTagProfileGainTableMap:
            // A later addition to the format that this system does not apply.
            return true;

        default:
            return false;
    }
}

void dng_parsed_ifd::PostParse() {
    if (fBitsPerSampleCount == 1 || fBitsPerSampleCount > kMaxSamplesPerPixel) {
        for (uint32 i = 1; i < kMaxSamplesPerPixel; i++) fBitsPerSample[i] = fBitsPerSample[0];
    }
    if (fBitsPerSampleCount == 0) {
        // TIFF's default of one bit is of no use to a raw reader; a missing tag
        // is caught by the main-image check.
        for (uint32& b : fBitsPerSample) b = 0;
    }

    if (fUsesTiles && fTileOffsetsCount && fTileWidth) {
        fUsesStrips = false;
    } else if (fUsesStrips || fTileOffsetsCount) {
        fUsesStrips = true;
        fUsesTiles = false;
        fTileWidth = fImageWidth;
        fTileLength = fHasRowsPerStrip ? std::min(fRowsPerStrip, fImageLength) : fImageLength;
        if (fTileLength == 0) fTileLength = fImageLength;
    }

    if (!fHasDefaultCropSize || fDefaultCropSizeH.d == 0 || fDefaultCropSizeV.d == 0) {
        const dng_rect area =
            fActiveArea.IsEmpty()
                ? dng_rect(0, 0, int32(std::min<uint32>(fImageLength, 0x7FFFFFFF)),
                           int32(std::min<uint32>(fImageWidth, 0x7FFFFFFF)))
                : fActiveArea;
        fDefaultCropSizeH = dng_urational(area.W(), 1);
        fDefaultCropSizeV = dng_urational(area.H(), 1);
    }
}

void dng_parsed_ifd::ValidateMainIFD(uint32 colorPlanes) const {
    if (fImageWidth < 1 || fImageLength < 1) ThrowBadFormat("image has no size");
    if (fImageWidth > 0x7FFFFFFF || fImageLength > 0x7FFFFFFF) ThrowBadFormat("image too large");
    if (fSamplesPerPixel < 1 || fSamplesPerPixel > kMaxSamplesPerPixel)
        ThrowBadFormat("unsupported samples per pixel");
    for (uint32 i = 0; i < fSamplesPerPixel; i++) {
        if (fBitsPerSample[i] < 1 || fBitsPerSample[i] > 32)
            ThrowBadFormat("unsupported bits per sample");
        if (fBitsPerSample[i] != fBitsPerSample[0]) ThrowBadFormat("mixed bits per sample");
    }
    if (fSampleFormat[0] == sfFloatingPoint && fBitsPerSample[0] != 16 && fBitsPerSample[0] != 24 &&
        fBitsPerSample[0] != 32)
        ThrowBadFormat("unsupported float sample size");
    if (fPhotometricInterpretation == piCFA) {
        if (fSamplesPerPixel != 1) ThrowBadFormat("CFA image with several samples");
        if (fCFARepeatPatternRows < 1 || fCFARepeatPatternCols < 1 ||
            fCFARepeatPatternRows > kMaxCFAPattern || fCFARepeatPatternCols > kMaxCFAPattern)
            ThrowBadFormat("its colour filter pattern is missing or does not repeat within 1 to 8 pixels");
        const uint32 planes = colorPlanes ? colorPlanes : fCFAPlaneColorCount;
        for (uint32 r = 0; r < fCFARepeatPatternRows; r++)
            for (uint32 c = 0; c < fCFARepeatPatternCols; c++) {
                bool found = false;
                for (uint32 p = 0; p < planes && p < 4; p++)
                    found = found || fCFAPattern[r][c] == fCFAPlaneColor[p];
                if (!found) ThrowBadFormat("its colour filter pattern names a colour that none of its colour planes has");
            }
    } else if (fPhotometricInterpretation != piLinearRaw) {
        ThrowBadFormat("main image is neither CFA nor linear raw");
    }
    if (!fActiveArea.IsEmpty() &&
        (fActiveArea.b > int64(fImageLength) || fActiveArea.r > int64(fImageWidth)))
        ThrowBadFormat("active area outside the image");
    if (fDefaultScaleH.n == 0 || fDefaultScaleH.d == 0 || fDefaultScaleV.n == 0 ||
        fDefaultScaleV.d == 0)
        ThrowBadFormat("bad default scale");
    if (fBestQualityScale.n == 0 || fBestQualityScale.d == 0)
        ThrowBadFormat("bad best quality scale");
    if (fDefaultCropSizeH.n == 0 || fDefaultCropSizeV.n == 0)
        ThrowBadFormat("bad default crop size");
    if (fDefaultCropOriginH.d == 0 || fDefaultCropOriginV.d == 0)
        ThrowBadFormat("bad default crop origin");
    const uint32 blackSamples = fLinearizationTags.fBlackLevelRepeatRows *
                                fLinearizationTags.fBlackLevelRepeatCols * fSamplesPerPixel;
    if (fLinearizationTags.fBlackLevelRepeatRows < 1 ||
        fLinearizationTags.fBlackLevelRepeatRows > 8 ||
        fLinearizationTags.fBlackLevelRepeatCols < 1 ||
        fLinearizationTags.fBlackLevelRepeatCols > 8)
        ThrowBadFormat("bad black level repeat");
    if (!fLinearizationTags.fBlackLevel.empty() &&
        fLinearizationTags.fBlackLevel.size() != blackSamples)
        ThrowBadFormat("black level count does not match its pattern");
    if (fTileWidth < 1 || fTileLength < 1) ThrowBadFormat("no strips or tiles");
}
