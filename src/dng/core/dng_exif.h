// The EXIF record: every EXIF, TIFF and GPS field the DNG code reads or writes.
// An absent value is marked as the writer expects: a rational with denominator
// 0; 0xFFFFFFFF for a 16-bit or byte field (any value of 65536 / 256 or more);
// 0 for a count or number (0xFFFFFFFF for ImageNumber); an empty text; an
// invalid date-time; a null fingerprint. A plain value with no lock.
#pragma once

#include <memory>

#include "dng/core/dng_date_time.h"
#include "dng/core/dng_fingerprint.h"
#include "dng/core/dng_rational.h"
#include "dng/core/dng_string.h"
#include "dng/core/dng_types.h"

class dng_memory_allocator;

class dng_exif {
public:
    static constexpr uint32 kMaxCFAPattern = 8;

    dng_exif() = default;
    virtual ~dng_exif();
    dng_exif(const dng_exif&) = default;
    dng_exif& operator=(const dng_exif&) = default;

    virtual std::unique_ptr<dng_exif> Clone(dng_memory_allocator* allocator = nullptr) const;

    // Every field absent.
    void SetEmpty();
    void CopyGPSFrom(const dng_exif& other);

    void SetVersion0231();
    bool AtLeastVersion0230() const;
    bool AtLeastVersion0231() const;

    // Stores the exposure time (snapped to the standard shutter steps when
    // asked) and derives the APEX shutter speed value. 0 or less clears both.
    void SetExposureTime(real64 seconds, bool snap = true);
    // Stores the APEX value; sets the exposure time 2^-v only when none is stored.
    void SetShutterSpeedValue(real64 value);
    // Stores 0 < f <= 32768 and the APEX aperture value 2·log2(f); other
    // values clear both.
    void SetFNumber(real64 fNumber);
    // Stores the APEX value; sets the F-number 2^(v/2) only when none is stored.
    void SetApertureValue(real64 value);

    void UpdateDateTime(const dng_date_time_info& dt) { fDateTime = dt; }

    // All four lens distortion denominators are non-zero.
    bool HasLensDistortInfo() const;

    // The standard shutter step within 1/6 stop of the time, else the time.
    static real64 SnapExposureTime(real64 seconds);
    static dng_urational EncodeExposureTime(real64 seconds);
    static real64 ApertureValueToFNumber(real64 value);
    static real64 FNumberToApertureValue(real64 fNumber);

    // Texts.
    dng_string fImageDescription;
    dng_string fMake;
    dng_string fModel;
    dng_string fSoftware;
    dng_string fArtist;
    dng_string fCopyright;
    dng_string fCopyright2;
    dng_string fUserComment;
    dng_string fCameraSerialNumber;  // CameraSerialNumber and BodySerialNumber
    dng_string fLensID;
    dng_string fLensMake;
    dng_string fLensName;  // LensModel
    dng_string fLensSerialNumber;
    dng_string fOwnerName;  // CameraOwnerName
    dng_string fFirmware;
    dng_string fBatteryLevelA;

    // Date-times.
    dng_date_time_info fDateTime;
    dng_date_time_info fDateTimeOriginal;
    dng_date_time_info fDateTimeDigitized;

    // Versions: four ASCII digits held big-endian ("0231" = 0x30323331).
    uint32 fExifVersion = 0;
    uint32 fFlashPixVersion = 0;
    uint32 fTIFF_EP_StandardID = 0;

    // Exposure.
    dng_urational fExposureTime;
    dng_urational fFNumber;
    dng_srational fShutterSpeedValue;
    dng_urational fApertureValue;
    dng_srational fBrightnessValue;
    dng_srational fExposureBiasValue;
    dng_urational fMaxApertureValue;
    dng_urational fFocalLength;
    dng_urational fDigitalZoomRatio;
    dng_urational fExposureIndex;
    dng_urational fSubjectDistance;
    dng_urational fGamma;
    dng_urational fBatteryLevelR;
    dng_urational fFocalPlaneXResolution;
    dng_urational fFocalPlaneYResolution;
    dng_urational fCompresssedBitsPerPixel;
    dng_urational fApproxFocusDistance;
    dng_srational fFlashCompensation;

    // 16-bit and byte fields (0xFFFFFFFF = absent).
    uint32 fExposureProgram = 0xFFFFFFFF;
    uint32 fMeteringMode = 0xFFFFFFFF;
    uint32 fLightSource = 0xFFFFFFFF;
    uint32 fFlash = 0xFFFFFFFF;
    uint32 fFlashMask = 0xFFFFFFFF;
    uint32 fSensingMethod = 0xFFFFFFFF;
    uint32 fColorSpace = 0xFFFFFFFF;
    uint32 fFileSource = 0xFFFFFFFF;
    uint32 fSceneType = 0xFFFFFFFF;
    uint32 fCustomRendered = 0xFFFFFFFF;
    uint32 fExposureMode = 0xFFFFFFFF;
    uint32 fWhiteBalance = 0xFFFFFFFF;
    uint32 fSceneCaptureType = 0xFFFFFFFF;
    uint32 fGainControl = 0xFFFFFFFF;
    uint32 fContrast = 0xFFFFFFFF;
    uint32 fSaturation = 0xFFFFFFFF;
    uint32 fSharpness = 0xFFFFFFFF;
    uint32 fSubjectDistanceRange = 0xFFFFFFFF;
    uint32 fSelfTimerMode = 0xFFFFFFFF;
    uint32 fFocalPlaneResolutionUnit = 0xFFFFFFFF;

    // Counts and numbers (0 = absent, except ImageNumber).
    uint32 fFocalLengthIn35mmFilm = 0;
    uint32 fISOSpeedRatings[3] = {};
    uint32 fSensitivityType = 0;
    uint32 fStandardOutputSensitivity = 0;
    uint32 fRecommendedExposureIndex = 0;
    uint32 fISOSpeed = 0;
    uint32 fISOSpeedLatitudeyyy = 0;
    uint32 fISOSpeedLatitudezzz = 0;
    uint32 fSubjectAreaCount = 0;
    uint32 fSubjectArea[4] = {};
    uint32 fComponentsConfiguration = 0;
    uint32 fPixelXDimension = 0;
    uint32 fPixelYDimension = 0;
    uint32 fImageNumber = 0xFFFFFFFF;

    uint32 fCFARepeatPatternRows = 0;
    uint32 fCFARepeatPatternCols = 0;
    uint8 fCFAPattern[kMaxCFAPattern][kMaxCFAPattern] = {};

    dng_fingerprint fImageUniqueID;

    // Lens: minimum and maximum focal length, then apertures at each.
    dng_urational fLensInfo[4];
    bool fLensNameWasReadFromExif = false;
    dng_srational fLensDistortInfo[4];

    // Environment.
    dng_srational fTemperature;
    dng_urational fHumidity;
    dng_urational fPressure;
    dng_srational fWaterDepth;
    dng_urational fAcceleration;
    dng_srational fCameraElevationAngle;

    // GPS.
    uint32 fGPSVersionID = 0;
    dng_string fGPSLatitudeRef;
    dng_urational fGPSLatitude[3];
    dng_string fGPSLongitudeRef;
    dng_urational fGPSLongitude[3];
    uint32 fGPSAltitudeRef = 0xFFFFFFFF;
    dng_urational fGPSAltitude;
    dng_urational fGPSTimeStamp[3];
    dng_string fGPSSatellites;
    dng_string fGPSStatus;
    dng_string fGPSMeasureMode;
    dng_urational fGPSDOP;
    dng_string fGPSSpeedRef;
    dng_urational fGPSSpeed;
    dng_string fGPSTrackRef;
    dng_urational fGPSTrack;
    dng_string fGPSImgDirectionRef;
    dng_urational fGPSImgDirection;
    dng_string fGPSMapDatum;
    dng_string fGPSDestLatitudeRef;
    dng_urational fGPSDestLatitude[3];
    dng_string fGPSDestLongitudeRef;
    dng_urational fGPSDestLongitude[3];
    dng_string fGPSDestBearingRef;
    dng_urational fGPSDestBearing;
    dng_string fGPSDestDistanceRef;
    dng_urational fGPSDestDistance;
    dng_string fGPSProcessingMethod;
    dng_string fGPSAreaInformation;
    dng_string fGPSDateStamp;
    uint32 fGPSDifferential = 0xFFFFFFFF;
    dng_urational fGPSHPositioningError;

    // Interoperability.
    dng_string fInteroperabilityIndex;
    uint32 fInteroperabilityVersion = 0;
};
