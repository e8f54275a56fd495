#include "dng/color/dng_camera_profile_info.h"

#include <algorithm>

#include "dng/core/dng_exception.h"
#include "dng/core/dng_parse_utils.h"
#include "dng/core/dng_safe_arithmetic.h"
#include "dng/core/dng_stream.h"
#include "dng/core/dng_tag_codes.h"
#include "dng/core/dng_tag_types.h"

namespace {

constexpr uint16 kByteOrderII = 0x4949;
constexpr uint16 kByteOrderMM = 0x4D4D;

}  // namespace

dng_camera_profile_info::dng_camera_profile_info() = default;

dng_camera_profile_info::~dng_camera_profile_info() = default;

uint32 dng_camera_profile_info::TableCount(uint32 hues, uint32 sats, uint32 vals) {
    return SafeUint32Mult4(hues, sats, vals, 3);
}

uint32 dng_camera_profile_info::ReducedTableCount(uint32 hues, uint32 sats, uint32 vals) {
    if (sats == 0) return 0;
    return SafeUint32Mult4(hues, sats - 1, vals, 3);
}

bool dng_camera_profile_info::ParseDims(dng_stream& stream, uint32 tagType, uint32 tagCount,
                                        uint32& hues, uint32& sats, uint32& vals) {
    if (tagCount != 2 && tagCount != 3) return false;
    hues = stream.ReadTagValueAsUInt32(tagType);
    sats = stream.ReadTagValueAsUInt32(tagType);
    vals = tagCount == 3 ? stream.ReadTagValueAsUInt32(tagType) : 1;
    return true;
}

bool dng_camera_profile_info::ParseTableData(dng_stream& stream, uint32 tagType, uint32 tagCount,
                                             uint64 tagOffset, uint32 hues, uint32 sats,
                                             uint32 vals, uint64& offset, uint32& count) {
    if (tagType != ttFloat || sats == 0) return false;
    if (tagCount != TableCount(hues, sats, vals) && tagCount != ReducedTableCount(hues, sats, vals))
        return false;
    // The table is read later; make sure now that it lies inside the stream.
    if (static_cast<uint64>(tagCount) * 4 > stream.RemainingBytes())
        ThrowEndOfFile("Profile table beyond the end of the stream");
    fBigEndian = stream.IsBigEndian();
    offset = tagOffset;
    count = tagCount;
    return true;
}

bool dng_camera_profile_info::ParseColorMatrix(dng_stream& stream, uint32 parentCode,
                                               uint32 tagCode, uint32 tagType, uint32 tagCount,
                                               dng_matrix& m) {
    CheckTagType(parentCode, tagCode, tagType, ttSRational);
    if (fColorPlanes == 0)
        fColorPlanes = std::min<uint32>(tagCount / 3, dng_matrix::kMaxColorPlanes);
    if (!CheckColorImage(parentCode, tagCode, fColorPlanes)) return false;
    return ParseMatrixTag(stream, parentCode, tagCode, tagType, tagCount, fColorPlanes, 3, m);
}

bool dng_camera_profile_info::ParsePlanesByThree(dng_stream& stream, uint32 parentCode,
                                                 uint32 tagCode, uint32 tagType, uint32 tagCount,
                                                 dng_matrix& m) {
    CheckTagType(parentCode, tagCode, tagType, ttSRational);
    if (!CheckColorImage(parentCode, tagCode, fColorPlanes)) return false;
    return ParseMatrixTag(stream, parentCode, tagCode, tagType, tagCount, 3, fColorPlanes, m);
}

bool dng_camera_profile_info::ParseTag(dng_stream& stream, uint32 parentCode, uint32 tagCode,
                                       uint32 tagType, uint32 tagCount, uint64 tagOffset) {
    switch (tagCode) {
        case tcUniqueCameraModel:
            ParseStringTag(stream, parentCode, tagCode, tagCount, fUniqueCameraModel, true);
            return true;

        case tcColorMatrix1:
            return ParseColorMatrix(stream, parentCode, tagCode, tagType, tagCount, fColorMatrix1);

        case tcColorMatrix2: {
            // Without a first matrix before it, the second one is the only one.
            const bool first = fColorPlanes == 0;
            return ParseColorMatrix(stream, parentCode, tagCode, tagType, tagCount,
                                    first ? fColorMatrix1 : fColorMatrix2);
        }

        case tcReductionMatrix1:
            return ParsePlanesByThree(stream, parentCode, tagCode, tagType, tagCount,
                                      fReductionMatrix1);
        case tcReductionMatrix2:
            return ParsePlanesByThree(stream, parentCode, tagCode, tagType, tagCount,
                                      fReductionMatrix2);
        case tcForwardMatrix1:
            return ParsePlanesByThree(stream, parentCode, tagCode, tagType, tagCount,
                                      fForwardMatrix1);
        case tcForwardMatrix2:
            return ParsePlanesByThree(stream, parentCode, tagCode, tagType, tagCount,
                                      fForwardMatrix2);

        case tcCalibrationIlluminant1:
            fCalibrationIlluminant1 = stream.ReadTagValueAsUInt32(tagType);
            return true;
        case tcCalibrationIlluminant2:
            fCalibrationIlluminant2 = stream.ReadTagValueAsUInt32(tagType);
            return true;

        case tcProfileCalibrationSignature:
            ParseStringTag(stream, parentCode, tagCode, tagCount, fProfileCalibrationSignature,
                           false);
            return true;
        case tcProfileName:
            ParseStringTag(stream, parentCode, tagCode, tagCount, fProfileName, false);
            return true;
        case tcProfileCopyright:
            ParseStringTag(stream, parentCode, tagCode, tagCount, fProfileCopyright, false);
            return true;

        case tcProfileEmbedPolicy:
            fEmbedPolicy = stream.ReadTagValueAsUInt32(tagType);
            return true;

        case tcProfileHueSatMapDims:
            return ParseDims(stream, tagType, tagCount, fProfileHues, fProfileSats, fProfileVals);
        case tcProfileHueSatMapData1:
            return ParseTableData(stream, tagType, tagCount, tagOffset, fProfileHues, fProfileSats,
                                  fProfileVals, fHueSatDeltas1Offset, fHueSatDeltas1Count);
        case tcProfileHueSatMapData2:
            return ParseTableData(stream, tagType, tagCount, tagOffset, fProfileHues, fProfileSats,
                                  fProfileVals, fHueSatDeltas2Offset, fHueSatDeltas2Count);
        case tcProfileHueSatMapEncoding:
            fHueSatMapEncoding = stream.ReadTagValueAsUInt32(tagType);
            return true;

        case tcProfileLookTableDims:
            return ParseDims(stream, tagType, tagCount, fLookTableHues, fLookTableSats,
                             fLookTableVals);
        case tcProfileLookTableData:
            return ParseTableData(stream, tagType, tagCount, tagOffset, fLookTableHues,
                                  fLookTableSats, fLookTableVals, fLookTableOffset,
                                  fLookTableCount);
        case tcProfileLookTableEncoding:
            fLookTableEncoding = stream.ReadTagValueAsUInt32(tagType);
            return true;

        case tcProfileToneCurve:
            if (tagType != ttFloat || tagCount < 4 || (tagCount & 1) != 0) return false;
            if (static_cast<uint64>(tagCount) * 4 > stream.RemainingBytes())
                ThrowEndOfFile("Tone curve beyond the end of the stream");
            fBigEndian = stream.IsBigEndian();
            fToneCurveOffset = tagOffset;
            fToneCurveCount = tagCount;
            return true;

        case tcBaselineExposureOffset:
            fBaselineExposureOffset = stream.ReadTagValueAsSRational(tagType);
            return true;

        case tcDefaultBlackRender:
            fDefaultBlackRender = stream.ReadTagValueAsUInt32(tagType);
            return true;

        default:
            return false;
    }
}

bool dng_camera_profile_info::ParseProfileStream(dng_stream& stream) {
    const uint64 start = stream.Position();

    const uint16 mark = stream.GetUInt16();
    if (mark == kByteOrderII)
        fBigEndian = false;
    else if (mark == kByteOrderMM)
        fBigEndian = true;
    else
        return false;

    TempBigEndian order(stream, fBigEndian);

    if (stream.GetUInt16() != kProfileMagic) return false;

    const uint64 directory = SafeUint64Add(start, stream.GetUInt32());
    stream.SetReadPosition(directory);
    const uint32 entries = stream.GetUInt16();
    if (entries == 0) return false;

    for (uint32 index = 0; index < entries; index++) {
        stream.SetReadPosition(directory + 2 + 12 * static_cast<uint64>(index));
        const uint32 tagCode = stream.GetUInt16();
        const uint32 tagType = stream.GetUInt16();
        const uint32 tagCount = stream.GetUInt32();
        const uint64 valueBytes = static_cast<uint64>(TiffTagTypeSize(tagType)) * tagCount;
        if (valueBytes > 4) stream.SetReadPosition(SafeUint64Add(start, stream.GetUInt32()));
        ParseTag(stream, 0, tagCode, tagType, tagCount, stream.Position());
    }
    return true;
}
