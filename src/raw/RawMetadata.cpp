#include "raw/RawMetadata.h"

#include <cstdio>
#include <string>

#include "dng/color/dng_shared.h"
#include "dng/core/dng_date_time.h"
#include "dng/core/dng_exif.h"
#include "dng/core/dng_ifd.h"
#include "dng/core/dng_rational.h"
#include "dng/core/dng_string.h"

namespace {

using platform::Dictionary;
using platform::Value;

constexpr uint32_t kUnset = 0xFFFFFFFF;

void SetText(Dictionary& d, const char* key, const dng_string& s) {
    if (s.NotEmpty()) d.set(key, std::string(s.Get()));
}

void SetCode(Dictionary& d, const char* key, uint32_t code) {
    if (code != kUnset) d.set(key, int64_t(code));
}

void SetReal(Dictionary& d, const char* key, const dng_urational& r) {
    if (r.IsValid()) d.set(key, r.AsReal64());
}

void SetReal(Dictionary& d, const char* key, const dng_srational& r) {
    if (r.IsValid()) d.set(key, r.AsReal64());
}

void SetDate(Dictionary& d, const char* key, const dng_date_time_info& info) {
    if (info.NotValid()) return;
    const dng_date_time& t = info.DateTime();
    char text[32];
    std::snprintf(text, sizeof text, "%04u:%02u:%02u %02u:%02u:%02u", t.fYear % 10000u,
                  t.fMonth % 100u, t.fDay % 100u, t.fHour % 100u, t.fMinute % 100u,
                  t.fSecond % 100u);
    d.set(key, std::string(text));
}

// A version packed as four bytes, most significant first ({2, 3, 2} for
// EXIF "0232" is stored as ASCII digits; DNG versions as plain bytes).
Value VersionArray(uint32_t packed, bool asciiDigits, size_t parts) {
    Value::Array a;
    for (size_t i = 0; i < parts; i++) {
        int64_t part = (packed >> (24 - 8 * i)) & 0xFF;
        if (asciiDigits) part -= '0';
        a.push_back(part);
    }
    // EXIF "0232" reads 0, 2, 3, 2: the leading zero is padding.
    if (asciiDigits && !a.empty() && a.front().integerValue() == 0) a.erase(a.begin());
    return Value(std::move(a));
}

Value LensInfoArray(const dng_urational (&info)[4]) {
    Value::Array a;
    for (const dng_urational& r : info) a.push_back(r.IsValid() ? r.AsReal64() : 0.0);
    return Value(std::move(a));
}

bool AnyValid(const dng_urational (&info)[4]) {
    for (const dng_urational& r : info)
        if (r.IsValid()) return true;
    return false;
}

// Degrees, minutes and seconds as one decimal number of degrees.
bool Degrees(const dng_urational (&dms)[3], double& out) {
    if (!dms[0].IsValid()) return false;
    out = dms[0].AsReal64() + (dms[1].IsValid() ? dms[1].AsReal64() / 60.0 : 0.0) +
          (dms[2].IsValid() ? dms[2].AsReal64() / 3600.0 : 0.0);
    return true;
}

void SetDegrees(Dictionary& d, const char* key, const dng_urational (&dms)[3]) {
    double deg = 0;
    if (Degrees(dms, deg)) d.set(key, deg);
}

Dictionary TIFFDictionary(const dng_exif& exif, const dng_ifd& ifd, uint32_t orientation) {
    Dictionary d;
    d.set(kCGImagePropertyTIFFCompression, int64_t(ifd.fCompression));
    if (ifd.fPhotometricInterpretation != kUnset)
        d.set(kCGImagePropertyTIFFPhotometricInterpretation,
              int64_t(ifd.fPhotometricInterpretation));
    SetText(d, kCGImagePropertyTIFFImageDescription, exif.fImageDescription);
    SetText(d, kCGImagePropertyTIFFMake, exif.fMake);
    SetText(d, kCGImagePropertyTIFFModel, exif.fModel);
    d.set(kCGImagePropertyTIFFOrientation, int64_t(orientation));
    if (ifd.fXResolution > 0) d.set(kCGImagePropertyTIFFXResolution, ifd.fXResolution);
    if (ifd.fYResolution > 0) d.set(kCGImagePropertyTIFFYResolution, ifd.fYResolution);
    if (ifd.fResolutionUnit != 0)
        d.set(kCGImagePropertyTIFFResolutionUnit, int64_t(ifd.fResolutionUnit));
    SetText(d, kCGImagePropertyTIFFSoftware, exif.fSoftware);
    SetDate(d, kCGImagePropertyTIFFDateTime, exif.fDateTime);
    SetText(d, kCGImagePropertyTIFFArtist, exif.fArtist);
    SetText(d, kCGImagePropertyTIFFCopyright, exif.fCopyright);
    return d;
}

Dictionary ExifDictionary(const dng_exif& exif) {
    Dictionary d;
    SetReal(d, kCGImagePropertyExifExposureTime, exif.fExposureTime);
    SetReal(d, kCGImagePropertyExifFNumber, exif.fFNumber);
    SetCode(d, kCGImagePropertyExifExposureProgram, exif.fExposureProgram);
    Value::Array iso;
    for (uint32_t v : exif.fISOSpeedRatings)
        if (v != 0) iso.push_back(int64_t(v));
    if (!iso.empty()) d.set(kCGImagePropertyExifISOSpeedRatings, Value(std::move(iso)));
    if (exif.fExifVersion != 0)
        d.set(kCGImagePropertyExifVersion, VersionArray(exif.fExifVersion, true, 4));
    SetDate(d, kCGImagePropertyExifDateTimeOriginal, exif.fDateTimeOriginal);
    if (exif.fDateTimeOriginal.IsValid()) {
        SetText(d, kCGImagePropertyExifSubsecTimeOrginal, exif.fDateTimeOriginal.Subseconds());
        if (exif.fDateTimeOriginal.TimeZone().IsValid())
            SetText(d, kCGImagePropertyExifOffsetTimeOriginal,
                    exif.fDateTimeOriginal.TimeZone().EncodeExifOffset());
    }
    SetDate(d, kCGImagePropertyExifDateTimeDigitized, exif.fDateTimeDigitized);
    SetReal(d, kCGImagePropertyExifCompressedBitsPerPixel, exif.fCompresssedBitsPerPixel);
    SetReal(d, kCGImagePropertyExifShutterSpeedValue, exif.fShutterSpeedValue);
    SetReal(d, kCGImagePropertyExifApertureValue, exif.fApertureValue);
    SetReal(d, kCGImagePropertyExifBrightnessValue, exif.fBrightnessValue);
    SetReal(d, kCGImagePropertyExifExposureBiasValue, exif.fExposureBiasValue);
    SetReal(d, kCGImagePropertyExifMaxApertureValue, exif.fMaxApertureValue);
    SetReal(d, kCGImagePropertyExifSubjectDistance, exif.fSubjectDistance);
    SetCode(d, kCGImagePropertyExifMeteringMode, exif.fMeteringMode);
    SetCode(d, kCGImagePropertyExifLightSource, exif.fLightSource);
    SetCode(d, kCGImagePropertyExifFlash, exif.fFlash);
    SetReal(d, kCGImagePropertyExifFocalLength, exif.fFocalLength);
    if (exif.fSubjectAreaCount > 0 && exif.fSubjectAreaCount <= 4) {
        Value::Array area;
        for (uint32_t i = 0; i < exif.fSubjectAreaCount; i++)
            area.push_back(int64_t(exif.fSubjectArea[i]));
        d.set(kCGImagePropertyExifSubjectArea, Value(std::move(area)));
    }
    SetText(d, kCGImagePropertyExifUserComment, exif.fUserComment);
    if (exif.fFlashPixVersion != 0)
        d.set(kCGImagePropertyExifFlashPixVersion, VersionArray(exif.fFlashPixVersion, true, 4));
    SetCode(d, kCGImagePropertyExifColorSpace, exif.fColorSpace);
    if (exif.fPixelXDimension != 0)
        d.set(kCGImagePropertyExifPixelXDimension, int64_t(exif.fPixelXDimension));
    if (exif.fPixelYDimension != 0)
        d.set(kCGImagePropertyExifPixelYDimension, int64_t(exif.fPixelYDimension));
    SetReal(d, kCGImagePropertyExifFocalPlaneXResolution, exif.fFocalPlaneXResolution);
    SetReal(d, kCGImagePropertyExifFocalPlaneYResolution, exif.fFocalPlaneYResolution);
    SetCode(d, kCGImagePropertyExifFocalPlaneResolutionUnit, exif.fFocalPlaneResolutionUnit);
    SetReal(d, kCGImagePropertyExifExposureIndex, exif.fExposureIndex);
    SetCode(d, kCGImagePropertyExifSensingMethod, exif.fSensingMethod);
    SetCode(d, kCGImagePropertyExifFileSource, exif.fFileSource);
    SetCode(d, kCGImagePropertyExifSceneType, exif.fSceneType);
    SetCode(d, kCGImagePropertyExifCustomRendered, exif.fCustomRendered);
    SetCode(d, kCGImagePropertyExifExposureMode, exif.fExposureMode);
    SetCode(d, kCGImagePropertyExifWhiteBalance, exif.fWhiteBalance);
    SetReal(d, kCGImagePropertyExifDigitalZoomRatio, exif.fDigitalZoomRatio);
    if (exif.fFocalLengthIn35mmFilm != 0)
        d.set(kCGImagePropertyExifFocalLenIn35mmFilm, int64_t(exif.fFocalLengthIn35mmFilm));
    SetCode(d, kCGImagePropertyExifSceneCaptureType, exif.fSceneCaptureType);
    SetCode(d, kCGImagePropertyExifGainControl, exif.fGainControl);
    SetCode(d, kCGImagePropertyExifContrast, exif.fContrast);
    SetCode(d, kCGImagePropertyExifSaturation, exif.fSaturation);
    SetCode(d, kCGImagePropertyExifSharpness, exif.fSharpness);
    SetCode(d, kCGImagePropertyExifSubjectDistRange, exif.fSubjectDistanceRange);
    if (exif.fImageUniqueID.IsValid()) {
        char hex[2 * dng_fingerprint::kDNGFingerprintSize + 1];
        exif.fImageUniqueID.ToHexText(hex);
        d.set(kCGImagePropertyExifImageUniqueID, std::string(hex));
    }
    SetReal(d, kCGImagePropertyExifGamma, exif.fGamma);
    SetText(d, kCGImagePropertyExifLensMake, exif.fLensMake);
    return d;
}

Dictionary ExifAuxDictionary(const dng_exif& exif, const dng_shared* shared) {
    Dictionary d;
    if (AnyValid(exif.fLensInfo))
        d.set(kCGImagePropertyExifAuxLensInfo, LensInfoArray(exif.fLensInfo));
    else if (shared && AnyValid(shared->fLensInfo))
        d.set(kCGImagePropertyExifAuxLensInfo, LensInfoArray(shared->fLensInfo));
    SetText(d, kCGImagePropertyExifAuxLensModel, exif.fLensName);
    if (exif.fCameraSerialNumber.NotEmpty())
        SetText(d, kCGImagePropertyExifAuxSerialNumber, exif.fCameraSerialNumber);
    else if (shared)
        SetText(d, kCGImagePropertyExifAuxSerialNumber, shared->fCameraSerialNumber);
    SetText(d, kCGImagePropertyExifAuxLensID, exif.fLensID);
    SetText(d, kCGImagePropertyExifAuxLensSerialNumber, exif.fLensSerialNumber);
    if (exif.fImageNumber != kUnset)
        d.set(kCGImagePropertyExifAuxImageNumber, int64_t(exif.fImageNumber));
    SetReal(d, kCGImagePropertyExifAuxFlashCompensation, exif.fFlashCompensation);
    SetText(d, kCGImagePropertyExifAuxOwnerName, exif.fOwnerName);
    SetText(d, kCGImagePropertyExifAuxFirmware, exif.fFirmware);
    return d;
}

Dictionary DNGDictionary(const dng_shared& shared) {
    Dictionary d;
    if (shared.fDNGVersion != 0)
        d.set(kCGImagePropertyDNGVersion, VersionArray(shared.fDNGVersion, false, 4));
    if (shared.fDNGBackwardVersion != 0)
        d.set(kCGImagePropertyDNGBackwardVersion,
              VersionArray(shared.fDNGBackwardVersion, false, 4));
    // Only what the file holds, not the reader's stand-in name.
    if (!shared.fUniqueCameraModelIsFallback)
        SetText(d, kCGImagePropertyDNGUniqueCameraModel, shared.fUniqueCameraModel);
    SetText(d, kCGImagePropertyDNGLocalizedCameraModel, shared.fLocalizedCameraModel);
    SetText(d, kCGImagePropertyDNGCameraSerialNumber, shared.fCameraSerialNumber);
    if (AnyValid(shared.fLensInfo))
        d.set(kCGImagePropertyDNGLensInfo, LensInfoArray(shared.fLensInfo));
    return d;
}

Dictionary GPSDictionary(const dng_exif& exif) {
    Dictionary d;
    if (exif.fGPSVersionID != 0)
        d.set(kCGImagePropertyGPSVersion, VersionArray(exif.fGPSVersionID, false, 4));
    SetText(d, kCGImagePropertyGPSLatitudeRef, exif.fGPSLatitudeRef);
    SetDegrees(d, kCGImagePropertyGPSLatitude, exif.fGPSLatitude);
    SetText(d, kCGImagePropertyGPSLongitudeRef, exif.fGPSLongitudeRef);
    SetDegrees(d, kCGImagePropertyGPSLongitude, exif.fGPSLongitude);
    SetCode(d, kCGImagePropertyGPSAltitudeRef, exif.fGPSAltitudeRef);
    SetReal(d, kCGImagePropertyGPSAltitude, exif.fGPSAltitude);
    if (exif.fGPSTimeStamp[0].IsValid()) {
        char text[48];
        std::snprintf(text, sizeof text, "%02u:%02u:%05.2f",
                      unsigned(exif.fGPSTimeStamp[0].AsReal64()) % 100u,
                      exif.fGPSTimeStamp[1].IsValid()
                          ? unsigned(exif.fGPSTimeStamp[1].AsReal64()) % 100u
                          : 0u,
                      exif.fGPSTimeStamp[2].IsValid() ? exif.fGPSTimeStamp[2].AsReal64() : 0.0);
        d.set(kCGImagePropertyGPSTimeStamp, std::string(text));
    }
    SetText(d, kCGImagePropertyGPSSatellites, exif.fGPSSatellites);
    SetText(d, kCGImagePropertyGPSStatus, exif.fGPSStatus);
    SetText(d, kCGImagePropertyGPSMeasureMode, exif.fGPSMeasureMode);
    SetReal(d, kCGImagePropertyGPSDOP, exif.fGPSDOP);
    SetText(d, kCGImagePropertyGPSSpeedRef, exif.fGPSSpeedRef);
    SetReal(d, kCGImagePropertyGPSSpeed, exif.fGPSSpeed);
    SetText(d, kCGImagePropertyGPSTrackRef, exif.fGPSTrackRef);
    SetReal(d, kCGImagePropertyGPSTrack, exif.fGPSTrack);
    SetText(d, kCGImagePropertyGPSImgDirectionRef, exif.fGPSImgDirectionRef);
    SetReal(d, kCGImagePropertyGPSImgDirection, exif.fGPSImgDirection);
    SetText(d, kCGImagePropertyGPSMapDatum, exif.fGPSMapDatum);
    SetText(d, kCGImagePropertyGPSDestLatitudeRef, exif.fGPSDestLatitudeRef);
    SetDegrees(d, kCGImagePropertyGPSDestLatitude, exif.fGPSDestLatitude);
    SetText(d, kCGImagePropertyGPSDestLongitudeRef, exif.fGPSDestLongitudeRef);
    SetDegrees(d, kCGImagePropertyGPSDestLongitude, exif.fGPSDestLongitude);
    SetText(d, kCGImagePropertyGPSDestBearingRef, exif.fGPSDestBearingRef);
    SetReal(d, kCGImagePropertyGPSDestBearing, exif.fGPSDestBearing);
    SetText(d, kCGImagePropertyGPSDestDistanceRef, exif.fGPSDestDistanceRef);
    SetReal(d, kCGImagePropertyGPSDestDistance, exif.fGPSDestDistance);
    SetText(d, kCGImagePropertyGPSProcessingMethod, exif.fGPSProcessingMethod);
    SetText(d, kCGImagePropertyGPSAreaInformation, exif.fGPSAreaInformation);
    SetText(d, kCGImagePropertyGPSDateStamp, exif.fGPSDateStamp);
    SetCode(d, kCGImagePropertyGPSDifferental, exif.fGPSDifferential);
    return d;
}

void SetGroup(Dictionary& top, const char* key, Dictionary group) {
    if (!group.empty()) top.set(key, Value(std::move(group)));
}

}  // namespace

platform::Dictionary RawMetadataDictionary(const dng_exif& exif, const dng_shared* shared,
                                           const dng_ifd& rawIFD, uint32_t width, uint32_t height,
                                           uint32_t depth, uint32_t orientation) {
    Dictionary top;
    top.set(kCGImagePropertyPixelWidth, int64_t(width));
    top.set(kCGImagePropertyPixelHeight, int64_t(height));
    top.set(kCGImagePropertyDepth, int64_t(depth));
    SetGroup(top, kCGImagePropertyTIFFDictionary, TIFFDictionary(exif, rawIFD, orientation));
    SetGroup(top, kCGImagePropertyExifDictionary, ExifDictionary(exif));
    SetGroup(top, kCGImagePropertyExifAuxDictionary, ExifAuxDictionary(exif, shared));
    if (shared) SetGroup(top, kCGImagePropertyDNGDictionary, DNGDictionary(*shared));
    SetGroup(top, kCGImagePropertyGPSDictionary, GPSDictionary(exif));
    return top;
}
