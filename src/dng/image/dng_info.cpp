#include "dng/image/dng_info.h"

#include <algorithm>

#include "dng/core/dng_exception.h"
#include "dng/core/dng_host.h"
#include "dng/core/dng_parse_utils.h"
#include "dng/core/dng_stream.h"
#include "dng/core/dng_tag_codes.h"
#include "dng/core/dng_tag_types.h"
#include "dng/core/dng_tag_values.h"
#include "dng/image/dng_exif_parser.h"

namespace {

constexpr uint16 kLittleEndianMark = 0x4949;
constexpr uint16 kBigEndianMark = 0x4D4D;
constexpr uint16 kTIFFMagic = 42;

bool IsRawPhotometric(uint32 pi) { return pi == piCFA || pi == piLinearRaw; }

uint64 PixelCount(const dng_ifd& ifd) { return uint64(ifd.fImageWidth) * ifd.fImageLength; }

// Cameras write 0/0 for a value they do not know. Read as a number it is 0
// (or NaN), which no tag means; only tags of a few values are looked at.
bool HoldsOnlyZeroOverZero(dng_stream& stream, uint32 tagType, uint32 tagCount,
                           uint64 valueOffset) {
    if ((tagType != ttRational && tagType != ttSRational) || tagCount == 0 || tagCount > 256)
        return false;
    stream.SetReadPosition(valueOffset);
    for (uint32 i = 0; i < tagCount; i++) {
        const uint32 n = stream.GetUInt32();
        const uint32 d = stream.GetUInt32();
        if (n != 0 || d != 0) return false;
    }
    return true;
}

}  // namespace

dng_info::dng_info() = default;

dng_info::~dng_info() = default;

void dng_info::EnterDirectory(uint64 offset) {
    if (!fVisited.insert(offset).second) ThrowBadFormat("directory cycle");
    if (fVisited.size() > kMaxIFDs) ThrowBadFormat("too many directories");
}

void dng_info::Parse(dng_host& host, dng_stream& stream) {
    fExif.reset(host.MakeExif());
    fShared = std::make_unique<dng_shared>();
    fIFD.clear();
    fIFDParent.clear();
    fVisited.clear();
    fValuelessTags.clear();

    stream.SetReadPosition(fTIFFBlockOffset);
    const uint16 mark = stream.GetUInt16();
    if (mark == kLittleEndianMark)
        fBigEndian = false;
    else if (mark == kBigEndianMark)
        fBigEndian = true;
    else
        ThrowBadFormat("not a TIFF file");
    stream.SetBigEndian(fBigEndian);

    fMagic = stream.GetUInt16();
    if (fMagic != kTIFFMagic) ThrowBadFormat("not a classic TIFF file");

    uint64 next = stream.GetUInt32();
    if (next == 0) ThrowBadFormat("no image directory");
    while (next != 0) {
        const uint32 parent = fChainedNumber == 0 ? 0 : tcFirstChainedIFD + fChainedNumber;
        fChainedNumber++;
        uint64 following = 0;
        ParseIFD(host, stream, fTIFFBlockOffset + next, parent, 0, &following);
        next = following;
    }

    const dng_shared& shared = *fShared;
    if (shared.fExifIFD) {
        EnterDirectory(fTIFFBlockOffset + shared.fExifIFD);
        ParseTagDirectory(stream, fTIFFBlockOffset + shared.fExifIFD, tcExifIFD, nullptr, nullptr);
    }
    if (shared.fGPSInfo) {
        EnterDirectory(fTIFFBlockOffset + shared.fGPSInfo);
        ParseTagDirectory(stream, fTIFFBlockOffset + shared.fGPSInfo, tcGPSInfo, nullptr, nullptr);
    }
    if (shared.fInteroperabilityIFD) {
        const uint64 offset = fTIFFBlockOffset + shared.fInteroperabilityIFD;
        if (!fVisited.count(offset)) {
            EnterDirectory(offset);
            ParseTagDirectory(stream, offset, tcInteroperabilityIFD, nullptr, nullptr);
        }
    }

    ParseExtraProfiles(stream);
    PostParse(host);
    ValidateDNG();
}

void dng_info::ParseIFD(dng_host& host, dng_stream& stream, uint64 offset, uint32 parentCode,
                        uint32 depth, uint64* nextIFD) {
    host.SniffForAbort();
    EnterDirectory(offset);

    auto ifd = std::make_unique<dng_parsed_ifd>();
    ParseTagDirectory(stream, offset, parentCode, ifd.get(), nextIFD);
    ifd->PostParse();

    const uint32 subCount = ifd->fSubIFDsCount;
    const uint64 subOffset = ifd->fSubIFDsOffset;
    fIFD.push_back(std::move(ifd));
    fIFDParent.push_back(parentCode);

    if (subCount == 0) return;
    if (depth >= kMaxSubIFDDepth) return;
    if (subCount > kMaxSubIFDsPerIFD) ThrowBadFormat("too many SubIFDs");

    std::vector<uint64> offsets;
    stream.SetReadPosition(subOffset);
    for (uint32 i = 0; i < subCount; i++) offsets.push_back(stream.GetUInt32());
    for (uint64 sub : offsets) {
        if (sub == 0) continue;
        const uint32 code = tcFirstSubIFD + fSubIFDNumber++;
        ParseIFD(host, stream, fTIFFBlockOffset + sub, code, depth + 1, nullptr);
    }
}

void dng_info::ParseTagDirectory(dng_stream& stream, uint64 offset, uint32 parentCode,
                                 dng_parsed_ifd* ifd, uint64* nextIFD) {
    const uint64 length = stream.Length();
    if (offset > length || length - offset < 2)
        ThrowBadFormat("directory beyond the end of the file");
    stream.SetReadPosition(offset);
    const uint32 entries = stream.GetUInt16();
    if (entries > kMaxEntries) ThrowBadFormat("too many directory entries");
    const uint64 tableBytes = 2 + 12 * uint64(entries);
    if (length - offset < tableBytes) ThrowBadFormat("directory beyond the end of the file");

    for (uint32 i = 0; i < entries; i++) {
        const uint64 entry = offset + 2 + 12 * uint64(i);
        stream.SetReadPosition(entry);
        const uint32 tagCode = stream.GetUInt16();
        const uint32 tagType = stream.GetUInt16();
        const uint32 tagCount = stream.GetUInt32();

        const uint32 typeSize = TiffTagTypeSize(tagType);
        if (typeSize == 0) continue;  // unknown field type: skipped as TIFF asks
        const uint64 bytes = uint64(typeSize) * tagCount;
        uint64 valueOffset = entry + 8;
        if (bytes > 4) valueOffset = fTIFFBlockOffset + stream.GetUInt32();
        if (valueOffset > length || bytes > length - valueOffset)
            ThrowBadFormat("tag value beyond the end of the file");

        ParseTag(stream, parentCode, tagCode, tagType, tagCount, valueOffset, ifd);
    }

    if (nextIFD) {
        *nextIFD = 0;
        if (length - offset >= tableBytes + 4) {
            stream.SetReadPosition(offset + tableBytes);
            *nextIFD = stream.GetUInt32();
        }
    }
}

void dng_info::ParseTag(dng_stream& stream, uint32 parentCode, uint32 tagCode, uint32 tagType,
                        uint32 tagCount, uint64 valueOffset, dng_parsed_ifd* ifd) {
    if (HoldsOnlyZeroOverZero(stream, tagType, tagCount, valueOffset)) {
        fValuelessTags.push_back(tagCode);
        return;
    }
    if (parentCode == tcGPSInfo) {
        stream.SetReadPosition(valueOffset);
        ParseGPSTag(*fExif, stream, tagCode, tagType, tagCount);
        return;
    }
    if (parentCode == tcInteroperabilityIFD) {
        if (tagCode == tcInteroperabilityIndex && tagType == ttAscii) {
            stream.SetReadPosition(valueOffset);
            ParseStringTag(stream, parentCode, tagCode, tagCount, fExif->fInteroperabilityIndex);
        }
        return;
    }

    if (ifd) {
        stream.SetReadPosition(valueOffset);
        if (ifd->ParseTag(stream, parentCode, tagCode, tagType, tagCount, valueOffset)) return;
    }

    if (parentCode == 0 && tagCode == tcXMP && (tagType == ttByte || tagType == ttUndefined)) {
        fXMPCount = tagCount;
        fXMPOffset = valueOffset;
        return;
    }

    stream.SetReadPosition(valueOffset);
    if (fShared->ParseTag(stream, parentCode, tagCode, tagType, tagCount, valueOffset)) return;

    stream.SetReadPosition(valueOffset);
    ParseExifTag(*fExif, stream, parentCode, tagCode, tagType, tagCount);
}

void dng_info::ParseExtraProfiles(dng_stream& stream) {
    dng_shared& shared = *fShared;
    shared.fExtraCameraProfiles.clear();
    for (uint64 offset : shared.fExtraCameraProfileOffsets) {
        // A damaged extra profile is left out; the main profile still serves.
        try {
            stream.SetReadPosition(fTIFFBlockOffset + offset);
            dng_camera_profile_info info;
            if (info.ParseProfileStream(stream)) shared.fExtraCameraProfiles.push_back(info);
        } catch (const dng_exception& e) {
            if (e.ErrorCode() == dng_error_user_canceled || e.ErrorCode() == dng_error_memory)
                throw;
        }
    }
    stream.SetBigEndian(fBigEndian);
}

void dng_info::PostParse(dng_host&) {
    fShared->PostParse();

    fMainIndex = fMaskIndex = fDepthIndex = fEnhancedIndex = -1;
    fPreviewIndices.clear();
    for (uint32 i = 0; i < IFDCount(); i++) {
        const dng_parsed_ifd& ifd = *fIFD[i];
        switch (ifd.fNewSubFileType) {
            case sfMainImage:
                // Among several raw candidates the largest is the raw data;
                // smaller ones are reduced copies.
                if (IsRawPhotometric(ifd.fPhotometricInterpretation) &&
                    (fMainIndex < 0 || PixelCount(ifd) > PixelCount(*fIFD[fMainIndex])))
                    fMainIndex = int32(i);
                break;
            case sfPreviewImage:
            case sfAltPreviewImage:
                fPreviewIndices.push_back(i);
                break;
            case sfTransparencyMask:
                if (fMaskIndex < 0) fMaskIndex = int32(i);
                break;
            case sfDepthMap:
                if (fDepthIndex < 0) fDepthIndex = int32(i);
                break;
            case sfEnhancedImage:
                if (fEnhancedIndex < 0) fEnhancedIndex = int32(i);
                break;
            default:
                break;
        }
    }
}

void dng_info::ValidateDNG() {
    dng_shared& shared = *fShared;
    if (shared.fDNGVersion == 0) ThrowBadFormat("not a DNG file");
    if (!shared.IsValidDNG()) ThrowBadFormat("inconsistent colour data");
    if (fMainIndex < 0) ThrowBadFormat("no raw image");

    const uint32 planes = shared.fCameraProfile.fColorPlanes;
    const dng_parsed_ifd& main = MainIFD();
    main.ValidateMainIFD(planes);
    if (main.fPhotometricInterpretation == piLinearRaw && planes > 1 &&
        main.fSamplesPerPixel != planes)
        ThrowBadFormat("linear raw samples do not match the colour planes");

    if (fMaskIndex >= 0) {
        const dng_parsed_ifd& mask = IFD(uint32(fMaskIndex));
        if (mask.fImageWidth != main.fImageWidth || mask.fImageLength != main.fImageLength ||
            mask.fSamplesPerPixel != 1)
            fMaskIndex = -1;
    }
}
