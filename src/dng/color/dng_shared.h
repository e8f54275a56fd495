// The tags of a DNG file that describe the file as a whole rather than one
// image directory: versions, camera model, the embedded camera profile's tags
// (a dng_camera_profile_info), calibration and white data, baseline values,
// the data of the raw file the DNG was made from, and where the EXIF, GPS,
// IPTC, maker-note and private blocks lie. A file parser feeds it tag by tag
// through ParseTag, then calls PostParse and IsValidDNG.
//
// Owned by whoever parses the file; no lock, one thread at a time.
#pragma once

#include <vector>

#include "dng/color/dng_camera_profile_info.h"
#include "dng/color/dng_xy_coord.h"
#include "dng/core/dng_fingerprint.h"
#include "dng/core/dng_matrix.h"
#include "dng/core/dng_point.h"
#include "dng/core/dng_rational.h"
#include "dng/core/dng_string.h"
#include "dng/core/dng_types.h"
#include "dng/core/dng_vector.h"

class dng_stream;

class dng_shared {
public:
    static constexpr uint32 kVersion1_0 = 0x01000000;
    // Files that need a reader newer than this are refused.
    static constexpr uint32 kFirstUnsupportedBackwardVersion = 0x01050001;

    dng_shared();
    virtual ~dng_shared();
    dng_shared(const dng_shared&) = delete;
    dng_shared& operator=(const dng_shared&) = delete;

    // Main-directory tags (parent 0) and EXIF-directory tags (parent 34665);
    // true when the tag was taken. The stream stands at the tag's value.
    virtual bool ParseTag(dng_stream& stream, uint32 parentCode, uint32 tagCode, uint32 tagType,
                          uint32 tagCount, uint64 tagOffset);

    // Raises a version below 1.0 to 1.0, names an anonymous camera and drops
    // colour data whose shape does not fit the colour planes.
    virtual void PostParse();

    // False below version 1.0 or when the colour data cannot describe the
    // camera; dng_error_unsupported_dng when a newer reader is required.
    virtual bool IsValidDNG();

protected:
    virtual bool ParseMainTag(dng_stream& stream, uint32 parentCode, uint32 tagCode, uint32 tagType,
                              uint32 tagCount, uint64 tagOffset);
    virtual bool ParseExifTag(dng_stream& stream, uint32 parentCode, uint32 tagCode, uint32 tagType,
                              uint32 tagCount, uint64 tagOffset);

public:
    // Vendor private directories (tags 33424 and 65024).
    uint64 fPrivateIFD33424 = 0;
    uint64 fPrivateIFD65024 = 0;

    uint64 fExifIFD = 0;
    uint64 fGPSInfo = 0;
    uint64 fInteroperabilityIFD = 0;

    uint32 fIPTC_NAA_Count = 0;
    uint64 fIPTC_NAA_Offset = 0;

    uint32 fMakerNoteCount = 0;
    uint64 fMakerNoteOffset = 0;
    uint32 fMakerNoteSafety = 0;

    // Four bytes, major first: 0x01040000 is 1.4.0.0.
    uint32 fDNGVersion = 0;
    uint32 fDNGBackwardVersion = 0;

    dng_string fUniqueCameraModel;
    // The file held no UniqueCameraModel: PostParse put in "Digital Negative".
    bool fUniqueCameraModelIsFallback = false;
    dng_string fLocalizedCameraModel;

    dng_camera_profile_info fCameraProfile;

    // Where further standalone profiles lie, and those parsed from there.
    std::vector<uint64> fExtraCameraProfileOffsets;
    std::vector<dng_camera_profile_info> fExtraCameraProfiles;

    dng_matrix fCameraCalibration1;
    dng_matrix fCameraCalibration2;
    dng_string fCameraCalibrationSignature;

    dng_string fAsShotProfileName;

    dng_vector fAnalogBalance;
    dng_vector fAsShotNeutral;
    dng_xy_coord fAsShotWhiteXY;
    // Whether the tag was there, even with values that mean no white (0/0).
    bool fHasAsShotWhiteXY = false;

    dng_srational fBaselineExposure{0, 1};
    dng_urational fBaselineNoise{1, 1};
    dng_urational fBaselineSharpness{1, 1};
    dng_urational fLinearResponseLimit{1, 1};
    dng_urational fShadowScale{1, 1};

    dng_string fCameraSerialNumber;
    dng_urational fLensInfo[4];

    uint32 fDNGPrivateDataCount = 0;
    uint64 fDNGPrivateDataOffset = 0;

    dng_fingerprint fRawImageDigest;
    dng_fingerprint fNewRawImageDigest;
    dng_fingerprint fRawDataUniqueID;

    dng_string fOriginalRawFileName;
    uint32 fOriginalRawFileDataCount = 0;
    uint64 fOriginalRawFileDataOffset = 0;
    dng_fingerprint fOriginalRawFileDigest;

    uint32 fAsShotICCProfileCount = 0;
    uint64 fAsShotICCProfileOffset = 0;
    dng_matrix fAsShotPreProfileMatrix;

    uint32 fCurrentICCProfileCount = 0;
    uint64 fCurrentICCProfileOffset = 0;
    dng_matrix fCurrentPreProfileMatrix;

    // 0 = scene-referred.
    uint32 fColorimetricReference = 0;

    dng_point fOriginalDefaultFinalSize;
    dng_point fOriginalBestQualityFinalSize;
    dng_urational fOriginalDefaultCropSizeH;
    dng_urational fOriginalDefaultCropSizeV;

    uint32 fDepthFormat = 0;
    dng_urational fDepthNear;
    dng_urational fDepthFar;
    uint32 fDepthUnits = 0;
    uint32 fDepthMeasureType = 0;

private:
    uint32 ColorPlanes() const { return fCameraProfile.fColorPlanes; }
    bool ParseDigest(dng_stream& stream, uint32 tagType, uint32 tagCount, dng_fingerprint& digest);
    bool ParsePreProfileMatrix(dng_stream& stream, uint32 parentCode, uint32 tagCode,
                               uint32 tagType, uint32 tagCount, dng_matrix& m);
};
