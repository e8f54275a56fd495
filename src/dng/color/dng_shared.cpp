#include "dng/color/dng_shared.h"

#include "dng/core/dng_exception.h"
#include "dng/core/dng_parse_utils.h"
#include "dng/core/dng_stream.h"
#include "dng/core/dng_tag_codes.h"
#include "dng/core/dng_tag_types.h"

namespace {

constexpr uint32 kPrivateIFDTag33424 = 33424;
constexpr uint32 kPrivateIFDTag65024 = 65024;

// Reads an offset tag (LONG or IFD, one value); false for anything else.
bool ParseOffsetTag(dng_stream& stream, uint32 parentCode, uint32 tagCode, uint32 tagType,
                    uint32 tagCount, uint64& offset) {
    if (!CheckTagType(parentCode, tagCode, tagType, ttLong, ttIFD)) return false;
    if (!CheckTagCount(parentCode, tagCode, tagCount, 1)) return false;
    offset = stream.GetUInt32();
    return true;
}

// A block described by its own tag: the value's position and byte count.
bool ParseBlockTag(dng_stream& stream, uint32 tagCount, uint64 tagOffset, uint32& count,
                   uint64& offset) {
    if (tagCount > stream.RemainingBytes()) ThrowEndOfFile("Tag data beyond the end of the stream");
    count = tagCount;
    offset = tagOffset;
    return true;
}

bool ParseURationalTag(dng_stream& stream, uint32 parentCode, uint32 tagCode, uint32 tagType,
                       uint32 tagCount, dng_urational& value) {
    if (!CheckTagType(parentCode, tagCode, tagType, ttRational)) return false;
    if (!CheckTagCount(parentCode, tagCode, tagCount, 1)) return false;
    value = stream.ReadTagValueAsURational(tagType);
    return true;
}

bool ParseUInt32Tag(dng_stream& stream, uint32 parentCode, uint32 tagCode, uint32 tagType,
                    uint32 tagCount, uint32& value) {
    if (!CheckTagType(parentCode, tagCode, tagType, ttByte, ttShort, ttLong)) return false;
    if (!CheckTagCount(parentCode, tagCode, tagCount, 1)) return false;
    value = stream.ReadTagValueAsUInt32(tagType);
    return true;
}

bool IsProfileTag(uint32 tagCode) {
    switch (tagCode) {
        case tcColorMatrix1:
        case tcColorMatrix2:
        case tcReductionMatrix1:
        case tcReductionMatrix2:
        case tcForwardMatrix1:
        case tcForwardMatrix2:
        case tcCalibrationIlluminant1:
        case tcCalibrationIlluminant2:
        case tcProfileCalibrationSignature:
        case tcProfileName:
        case tcProfileHueSatMapDims:
        case tcProfileHueSatMapData1:
        case tcProfileHueSatMapData2:
        case tcProfileToneCurve:
        case tcProfileEmbedPolicy:
        case tcProfileCopyright:
        case tcProfileLookTableDims:
        case tcProfileLookTableData:
        case tcProfileHueSatMapEncoding:
        case tcProfileLookTableEncoding:
        case tcBaselineExposureOffset:
        case tcDefaultBlackRender:
            return true;
        default:
            return false;
    }
}

bool IsSquare(const dng_matrix& m, uint32 n) { return m.Rows() == n && m.Cols() == n; }

bool Invertible(const dng_matrix& m, const dng_matrix& hint) {
    try {
        Invert(m, hint);
        return true;
    } catch (const dng_exception&) {
        return false;
    }
}

}  // namespace

dng_shared::dng_shared() = default;

dng_shared::~dng_shared() = default;

bool dng_shared::ParseTag(dng_stream& stream, uint32 parentCode, uint32 tagCode, uint32 tagType,
                          uint32 tagCount, uint64 tagOffset) {
    if (parentCode == 0) {
        if (ParseMainTag(stream, parentCode, tagCode, tagType, tagCount, tagOffset)) return true;
        return ParseExifTag(stream, parentCode, tagCode, tagType, tagCount, tagOffset);
    }
    if (parentCode == tcExifIFD)
        return ParseExifTag(stream, parentCode, tagCode, tagType, tagCount, tagOffset);
    return false;
}

bool dng_shared::ParseDigest(dng_stream& stream, uint32 tagType, uint32 tagCount,
                             dng_fingerprint& digest) {
    if (tagType != ttByte && tagType != ttUndefined) return false;
    if (tagCount != dng_fingerprint::kDNGFingerprintSize) return false;
    stream.ReadBytes(digest.data, dng_fingerprint::kDNGFingerprintSize);
    return true;
}

bool dng_shared::ParsePreProfileMatrix(dng_stream& stream, uint32 parentCode, uint32 tagCode,
                                       uint32 tagType, uint32 tagCount, dng_matrix& m) {
    const uint32 planes = ColorPlanes();
    if (!CheckColorImage(parentCode, tagCode, planes)) return false;
    const uint32 rows = tagCount == 3 * planes ? 3 : planes;
    return ParseMatrixTag(stream, parentCode, tagCode, tagType, tagCount, rows, planes, m);
}

bool dng_shared::ParseMainTag(dng_stream& stream, uint32 parentCode, uint32 tagCode, uint32 tagType,
                              uint32 tagCount, uint64 tagOffset) {
    if (IsProfileTag(tagCode))
        return fCameraProfile.ParseTag(stream, parentCode, tagCode, tagType, tagCount, tagOffset);

    const uint32 planes = ColorPlanes();

    switch (tagCode) {
        case kPrivateIFDTag33424:
            return ParseOffsetTag(stream, parentCode, tagCode, tagType, tagCount, fPrivateIFD33424);
        case kPrivateIFDTag65024:
            return ParseOffsetTag(stream, parentCode, tagCode, tagType, tagCount, fPrivateIFD65024);
        case tcExifIFD:
            return ParseOffsetTag(stream, parentCode, tagCode, tagType, tagCount, fExifIFD);
        case tcGPSInfo:
            return ParseOffsetTag(stream, parentCode, tagCode, tagType, tagCount, fGPSInfo);

        case tcIPTC_NAA: {
            if (!CheckTagType(parentCode, tagCode, tagType, ttLong, ttAscii, ttUndefined))
                return false;
            const uint64 bytes = static_cast<uint64>(TiffTagTypeSize(tagType)) * tagCount;
            if (bytes > 0xFFFFFFFFu) return false;
            return ParseBlockTag(stream, static_cast<uint32>(bytes), tagOffset, fIPTC_NAA_Count,
                                 fIPTC_NAA_Offset);
        }

        case tcDNGVersion:
        case tcDNGBackwardVersion: {
            if (!CheckTagType(parentCode, tagCode, tagType, ttByte)) return false;
            if (!CheckTagCount(parentCode, tagCode, tagCount, 4)) return false;
            uint32 version = 0;
            for (int i = 0; i < 4; i++) version = (version << 8) | stream.GetUInt8();
            (tagCode == tcDNGVersion ? fDNGVersion : fDNGBackwardVersion) = version;
            return true;
        }

        case tcUniqueCameraModel:
            ParseStringTag(stream, parentCode, tagCode, tagCount, fUniqueCameraModel, true);
            fCameraProfile.fUniqueCameraModel = fUniqueCameraModel;
            return true;
        case tcLocalizedCameraModel:
            ParseStringTag(stream, parentCode, tagCode, tagCount, fLocalizedCameraModel, true);
            return true;

        case tcCameraCalibration1:
        case tcCameraCalibration2: {
            if (!CheckTagType(parentCode, tagCode, tagType, ttSRational)) return false;
            if (!CheckColorImage(parentCode, tagCode, planes)) return false;
            dng_matrix& m =
                tagCode == tcCameraCalibration1 ? fCameraCalibration1 : fCameraCalibration2;
            return ParseMatrixTag(stream, parentCode, tagCode, tagType, tagCount, planes, planes,
                                  m);
        }

        case tcAnalogBalance:
        case tcAsShotNeutral: {
            if (!CheckTagType(parentCode, tagCode, tagType, ttRational)) return false;
            if (!CheckColorImage(parentCode, tagCode, planes)) return false;
            dng_vector& v = tagCode == tcAnalogBalance ? fAnalogBalance : fAsShotNeutral;
            return ParseVectorTag(stream, parentCode, tagCode, tagType, tagCount, planes, v);
        }

        case tcAsShotWhiteXY:
            if (!CheckTagType(parentCode, tagCode, tagType, ttRational)) return false;
            if (!CheckTagCount(parentCode, tagCode, tagCount, 2)) return false;
            fAsShotWhiteXY.x = stream.ReadTagValueAsReal64(tagType);
            fAsShotWhiteXY.y = stream.ReadTagValueAsReal64(tagType);
            fHasAsShotWhiteXY = true;
            return true;

        case tcBaselineExposure:
            if (!CheckTagType(parentCode, tagCode, tagType, ttSRational)) return false;
            if (!CheckTagCount(parentCode, tagCode, tagCount, 1)) return false;
            fBaselineExposure = stream.ReadTagValueAsSRational(tagType);
            return true;
        case tcBaselineNoise:
            return ParseURationalTag(stream, parentCode, tagCode, tagType, tagCount,
                                     fBaselineNoise);
        case tcBaselineSharpness:
            return ParseURationalTag(stream, parentCode, tagCode, tagType, tagCount,
                                     fBaselineSharpness);
        case tcLinearResponseLimit:
            return ParseURationalTag(stream, parentCode, tagCode, tagType, tagCount,
                                     fLinearResponseLimit);
        case tcShadowScale:
            return ParseURationalTag(stream, parentCode, tagCode, tagType, tagCount, fShadowScale);

        case tcCameraSerialNumber:
            ParseStringTag(stream, parentCode, tagCode, tagCount, fCameraSerialNumber, true);
            return true;

        case tcLensInfo:
            if (!CheckTagType(parentCode, tagCode, tagType, ttRational)) return false;
            if (!CheckTagCount(parentCode, tagCode, tagCount, 4)) return false;
            for (dng_urational& r : fLensInfo) r = stream.ReadTagValueAsURational(tagType);
            return true;

        case tcDNGPrivateData:
            if (!CheckTagType(parentCode, tagCode, tagType, ttByte)) return false;
            return ParseBlockTag(stream, tagCount, tagOffset, fDNGPrivateDataCount,
                                 fDNGPrivateDataOffset);

        case tcMakerNoteSafety:
            return ParseUInt32Tag(stream, parentCode, tagCode, tagType, tagCount, fMakerNoteSafety);

        case tcRawDataUniqueID:
            return ParseDigest(stream, tagType, tagCount, fRawDataUniqueID);

        case tcOriginalRawFileName:
            ParseStringTag(stream, parentCode, tagCode, tagCount, fOriginalRawFileName, true);
            return true;
        case tcOriginalRawFileData:
            if (!CheckTagType(parentCode, tagCode, tagType, ttUndefined)) return false;
            return ParseBlockTag(stream, tagCount, tagOffset, fOriginalRawFileDataCount,
                                 fOriginalRawFileDataOffset);

        case tcAsShotICCProfile:
            if (!CheckTagType(parentCode, tagCode, tagType, ttUndefined)) return false;
            return ParseBlockTag(stream, tagCount, tagOffset, fAsShotICCProfileCount,
                                 fAsShotICCProfileOffset);
        case tcAsShotPreProfileMatrix:
            return ParsePreProfileMatrix(stream, parentCode, tagCode, tagType, tagCount,
                                         fAsShotPreProfileMatrix);
        case tcCurrentICCProfile:
            if (!CheckTagType(parentCode, tagCode, tagType, ttUndefined)) return false;
            return ParseBlockTag(stream, tagCount, tagOffset, fCurrentICCProfileCount,
                                 fCurrentICCProfileOffset);
        case tcCurrentPreProfileMatrix:
            return ParsePreProfileMatrix(stream, parentCode, tagCode, tagType, tagCount,
                                         fCurrentPreProfileMatrix);

        case tcColorimetricReference:
            return ParseUInt32Tag(stream, parentCode, tagCode, tagType, tagCount,
                                  fColorimetricReference);

        case tcCameraCalibrationSignature:
            ParseStringTag(stream, parentCode, tagCode, tagCount, fCameraCalibrationSignature,
                           false);
            return true;

        case tcExtraCameraProfiles: {
            if (!CheckTagType(parentCode, tagCode, tagType, ttLong)) return false;
            if (static_cast<uint64>(tagCount) * 4 > stream.RemainingBytes())
                ThrowEndOfFile("Tag data beyond the end of the stream");
            fExtraCameraProfileOffsets.clear();
            fExtraCameraProfileOffsets.reserve(tagCount);
            for (uint32 i = 0; i < tagCount; i++)
                fExtraCameraProfileOffsets.push_back(stream.GetUInt32());
            return true;
        }

        case tcAsShotProfileName:
            ParseStringTag(stream, parentCode, tagCode, tagCount, fAsShotProfileName, false);
            return true;

        case tcRawImageDigest:
            return ParseDigest(stream, tagType, tagCount, fRawImageDigest);
        case tcOriginalRawFileDigest:
            return ParseDigest(stream, tagType, tagCount, fOriginalRawFileDigest);
        case tcNewRawImageDigest:
            return ParseDigest(stream, tagType, tagCount, fNewRawImageDigest);

        case tcOriginalDefaultFinalSize:
        case tcOriginalBestQualityFinalSize: {
            if (!CheckTagType(parentCode, tagCode, tagType, ttShort, ttLong)) return false;
            if (!CheckTagCount(parentCode, tagCode, tagCount, 2)) return false;
            dng_point& size = tagCode == tcOriginalDefaultFinalSize ? fOriginalDefaultFinalSize
                                                                    : fOriginalBestQualityFinalSize;
            size.h = static_cast<int32>(stream.ReadTagValueAsUInt32(tagType));
            size.v = static_cast<int32>(stream.ReadTagValueAsUInt32(tagType));
            return true;
        }
        case tcOriginalDefaultCropSize:
            if (!CheckTagType(parentCode, tagCode, tagType, ttShort, ttLong, ttRational))
                return false;
            if (!CheckTagCount(parentCode, tagCode, tagCount, 2)) return false;
            fOriginalDefaultCropSizeH = stream.ReadTagValueAsURational(tagType);
            fOriginalDefaultCropSizeV = stream.ReadTagValueAsURational(tagType);
            return true;

        case tcDepthFormat:
            return ParseUInt32Tag(stream, parentCode, tagCode, tagType, tagCount, fDepthFormat);
        case tcDepthNear:
            return ParseURationalTag(stream, parentCode, tagCode, tagType, tagCount, fDepthNear);
        case tcDepthFar:
            return ParseURationalTag(stream, parentCode, tagCode, tagType, tagCount, fDepthFar);
        case tcDepthUnits:
            return ParseUInt32Tag(stream, parentCode, tagCode, tagType, tagCount, fDepthUnits);
        case tcDepthMeasureType:
            return ParseUInt32Tag(stream, parentCode, tagCode, tagType, tagCount,
                                  fDepthMeasureType);

        default:
            return false;
    }
}

bool dng_shared::ParseExifTag(dng_stream& stream, uint32 parentCode, uint32 tagCode, uint32 tagType,
                              uint32 tagCount, uint64 tagOffset) {
    switch (tagCode) {
        case tcInteroperabilityIFD:
            return ParseOffsetTag(stream, parentCode, tagCode, tagType, tagCount,
                                  fInteroperabilityIFD);
        case tcMakerNote:
            if (!CheckTagType(parentCode, tagCode, tagType, ttUndefined)) return false;
            return ParseBlockTag(stream, tagCount, tagOffset, fMakerNoteCount, fMakerNoteOffset);
        default:
            return false;
    }
}

void dng_shared::PostParse() {
    if (fDNGVersion != 0 && fDNGVersion < kVersion1_0) {
        fDNGVersion = kVersion1_0;
        if (fDNGBackwardVersion > fDNGVersion) fDNGBackwardVersion = fDNGVersion;
    }

    if (fUniqueCameraModel.IsEmpty()) {
        fUniqueCameraModelIsFallback = true;
        fUniqueCameraModel.Set("Digital Negative");
        fCameraProfile.fUniqueCameraModel = fUniqueCameraModel;
    }

    // Colour data that does not fit the colour planes is dropped so that a
    // later consumer never multiplies mismatched shapes.
    const uint32 planes = ColorPlanes();
    if (planes <= 1) return;

    dng_camera_profile_info& p = fCameraProfile;
    if (p.fColorMatrix2.NotEmpty() &&
        (p.fColorMatrix2.Rows() != planes || p.fColorMatrix2.Cols() != 3))
        p.fColorMatrix2.Clear();
    if (p.fColorMatrix2.IsEmpty()) {
        p.fCalibrationIlluminant2 = 0;
        p.fForwardMatrix2.Clear();
        p.fReductionMatrix2.Clear();
        fCameraCalibration2.Clear();
    }
    if (!IsSquare(fCameraCalibration1, planes)) fCameraCalibration1.Clear();
    if (!IsSquare(fCameraCalibration2, planes)) fCameraCalibration2.Clear();
    if (fAnalogBalance.Count() != planes) fAnalogBalance.Clear();
    if (fAsShotNeutral.Count() != planes) fAsShotNeutral.Clear();
    if (fAsShotNeutral.NotEmpty()) {
        fAsShotWhiteXY.Clear();
        fHasAsShotWhiteXY = false;
    }
}

bool dng_shared::IsValidDNG() {
    if (fDNGVersion < kVersion1_0) return false;
    if (fDNGBackwardVersion >= kFirstUnsupportedBackwardVersion)
        ThrowDNGError(dng_error_unsupported_dng, "DNG version too new");

    const uint32 planes = ColorPlanes();
    if (planes <= 1) return true;

    const dng_camera_profile_info& p = fCameraProfile;
    auto planesByThree = [planes](const dng_matrix& m) {
        return m.Rows() == planes && m.Cols() == 3;
    };
    auto threeByPlanes = [planes](const dng_matrix& m) {
        return m.IsEmpty() || (m.Rows() == 3 && m.Cols() == planes);
    };

    if (!planesByThree(p.fColorMatrix1)) return false;
    if (p.fColorMatrix2.NotEmpty() && !planesByThree(p.fColorMatrix2)) return false;
    if (fCameraCalibration1.NotEmpty() && !IsSquare(fCameraCalibration1, planes)) return false;
    if (fCameraCalibration2.NotEmpty() && !IsSquare(fCameraCalibration2, planes)) return false;
    if (fAnalogBalance.NotEmpty() && fAnalogBalance.Count() != planes) return false;
    if (!threeByPlanes(p.fReductionMatrix1) || !threeByPlanes(p.fReductionMatrix2)) return false;

    if (!Invertible(p.fColorMatrix1, p.fReductionMatrix1)) return false;
    if (p.fColorMatrix2.NotEmpty() && !Invertible(p.fColorMatrix2, p.fReductionMatrix2))
        return false;
    if (fCameraCalibration1.NotEmpty() && !Invertible(fCameraCalibration1, dng_matrix()))
        return false;
    if (fCameraCalibration2.NotEmpty() && !Invertible(fCameraCalibration2, dng_matrix()))
        return false;
    if (fAnalogBalance.NotEmpty() && !Invertible(fAnalogBalance.AsDiagonal(), dng_matrix()))
        return false;
    return true;
}
