#include "dng/image/dng_exif_parser.h"

#include <algorithm>
#include <cstring>

#include "dng/core/dng_date_time.h"
#include "dng/core/dng_exif.h"
#include "dng/core/dng_parse_utils.h"
#include "dng/core/dng_stream.h"
#include "dng/core/dng_tag_codes.h"
#include "dng/core/dng_tag_types.h"

namespace {

bool IsInteger(uint32 type) {
    return type == ttByte || type == ttShort || type == ttLong || type == ttSByte ||
           type == ttSShort || type == ttSLong || type == ttUndefined;
}

bool IsReal(uint32 type) {
    return IsInteger(type) || type == ttRational || type == ttSRational || type == ttFloat ||
           type == ttDouble;
}

bool ReadUInt(dng_stream& stream, uint32 type, uint32 count, uint32& value) {
    if (!IsInteger(type) || count < 1) return false;
    value = stream.ReadTagValueAsUInt32(type);
    return true;
}

bool ReadURational(dng_stream& stream, uint32 type, uint32 count, dng_urational& value) {
    if (!IsReal(type) || count < 1) return false;
    value = stream.ReadTagValueAsURational(type);
    return true;
}

bool ReadSRational(dng_stream& stream, uint32 type, uint32 count, dng_srational& value) {
    if (!IsReal(type) || count < 1) return false;
    value = stream.ReadTagValueAsSRational(type);
    return true;
}

bool ReadURationals(dng_stream& stream, uint32 type, uint32 count, dng_urational* values,
                    uint32 n) {
    if (!IsReal(type) || count < n) return false;
    for (uint32 i = 0; i < n; i++) values[i] = stream.ReadTagValueAsURational(type);
    return true;
}

bool ReadString(dng_stream& stream, uint32 parentCode, uint32 tagCode, uint32 type, uint32 count,
                dng_string& s) {
    if (type != ttAscii && type != ttByte && type != ttUndefined) return false;
    ParseStringTag(stream, parentCode, tagCode, count, s, true);
    return true;
}

// Four ASCII digits held as a big-endian number ("0232").
bool ReadVersion(dng_stream& stream, uint32 type, uint32 count, uint32& value) {
    if ((type != ttUndefined && type != ttByte && type != ttAscii) || count != 4) return false;
    value = 0;
    for (int i = 0; i < 4; i++) value = (value << 8) | stream.GetUInt8();
    return true;
}

bool ReadDateTime(dng_stream& stream, uint32 parentCode, uint32 tagCode, uint32 type, uint32 count,
                  dng_date_time_info& info) {
    dng_date_time dt;
    if (!ParseDateTimeTag(stream, parentCode, tagCode, type, count, dt)) return false;
    const dng_string subseconds = info.Subseconds();
    const dng_time_zone zone = info.TimeZone();
    info.SetDateTime(dt);
    info.SetSubseconds(subseconds);
    info.SetZone(zone);
    return true;
}

bool ReadSubseconds(dng_stream& stream, uint32 parentCode, uint32 tagCode, uint32 type,
                    uint32 count, dng_date_time_info& info) {
    dng_string s;
    if (!ReadString(stream, parentCode, tagCode, type, count, s)) return false;
    info.SetSubseconds(s);
    return true;
}

// "+HH:MM" or "-HH:MM".
bool ReadOffsetTime(dng_stream& stream, uint32 parentCode, uint32 tagCode, uint32 type,
                    uint32 count, dng_date_time_info& info) {
    dng_string s;
    if (!ReadString(stream, parentCode, tagCode, type, count, s)) return false;
    const char* t = s.Get();
    if (std::strlen(t) == 6 && (t[0] == '+' || t[0] == '-') && t[3] == ':') {
        const auto digit = [](char c) { return c >= '0' && c <= '9'; };
        if (digit(t[1]) && digit(t[2]) && digit(t[4]) && digit(t[5])) {
            const int32 minutes =
                ((t[1] - '0') * 10 + (t[2] - '0')) * 60 + (t[4] - '0') * 10 + (t[5] - '0');
            dng_time_zone zone;
            zone.SetOffsetMinutes(t[0] == '-' ? -minutes : minutes);
            info.SetZone(zone);
        }
    }
    return true;
}

}  // namespace

bool ParseExifTag(dng_exif& exif, dng_stream& stream, uint32 parentCode, uint32 tagCode,
                  uint32 tagType, uint32 tagCount) {
    if (parentCode != 0 && parentCode != tcExifIFD) return false;

    switch (tagCode) {
        // TIFF descriptive tags: IFD 0 only.
        case tcImageDescription:
        case tcMake:
        case tcModel:
        case tcSoftware:
        case tcArtist:
        case tcDateTime:
            if (parentCode != 0) return false;
            break;
        default:
            break;
    }

    switch (tagCode) {
        case tcImageDescription:
            return ReadString(stream, parentCode, tagCode, tagType, tagCount,
                              exif.fImageDescription);
        case tcMake:
            return ReadString(stream, parentCode, tagCode, tagType, tagCount, exif.fMake);
        case tcModel:
            return ReadString(stream, parentCode, tagCode, tagType, tagCount, exif.fModel);
        case tcSoftware:
            return ReadString(stream, parentCode, tagCode, tagType, tagCount, exif.fSoftware);
        case tcArtist:
            return ReadString(stream, parentCode, tagCode, tagType, tagCount, exif.fArtist);
        case tcCopyright:
            if (tagType != ttAscii) return false;
            ParseDualStringTag(stream, parentCode, tagCode, tagCount, exif.fCopyright,
                               exif.fCopyright2);
            return true;
        case tcDateTime:
            return ReadDateTime(stream, parentCode, tagCode, tagType, tagCount, exif.fDateTime);
        case tcDateTimeOriginal:
            return ReadDateTime(stream, parentCode, tagCode, tagType, tagCount,
                                exif.fDateTimeOriginal);
        case tcDateTimeDigitized:
            return ReadDateTime(stream, parentCode, tagCode, tagType, tagCount,
                                exif.fDateTimeDigitized);
        case tcSubsecTime:
            return ReadSubseconds(stream, parentCode, tagCode, tagType, tagCount, exif.fDateTime);
        case tcSubsecTimeOriginal:
            return ReadSubseconds(stream, parentCode, tagCode, tagType, tagCount,
                                  exif.fDateTimeOriginal);
        case tcSubsecTimeDigitized:
            return ReadSubseconds(stream, parentCode, tagCode, tagType, tagCount,
                                  exif.fDateTimeDigitized);
        case tcOffsetTime:
            return ReadOffsetTime(stream, parentCode, tagCode, tagType, tagCount, exif.fDateTime);
        case tcOffsetTimeOriginal:
            return ReadOffsetTime(stream, parentCode, tagCode, tagType, tagCount,
                                  exif.fDateTimeOriginal);
        case tcOffsetTimeDigitized:
            return ReadOffsetTime(stream, parentCode, tagCode, tagType, tagCount,
                                  exif.fDateTimeDigitized);

        case tcExposureTime:
            return ReadURational(stream, tagType, tagCount, exif.fExposureTime);
        case tcFNumber:
            return ReadURational(stream, tagType, tagCount, exif.fFNumber);
        case tcExposureProgram:
            return ReadUInt(stream, tagType, tagCount, exif.fExposureProgram);
        case tcISOSpeedRatings: {
            if (!IsInteger(tagType) || tagCount < 1) return false;
            const uint32 n = std::min<uint32>(tagCount, 3);
            for (uint32 i = 0; i < n; i++)
                exif.fISOSpeedRatings[i] = stream.ReadTagValueAsUInt32(tagType);
            return true;
        }
        case tcSensitivityType:
            return ReadUInt(stream, tagType, tagCount, exif.fSensitivityType);
        case tcStandardOutputSensitivity:
            return ReadUInt(stream, tagType, tagCount, exif.fStandardOutputSensitivity);
        case tcRecommendedExposureIndex:
            return ReadUInt(stream, tagType, tagCount, exif.fRecommendedExposureIndex);
        case tcISOSpeed:
            return ReadUInt(stream, tagType, tagCount, exif.fISOSpeed);
        case tcExifVersion:
            return ReadVersion(stream, tagType, tagCount, exif.fExifVersion);
        case tcFlashPixVersion:
            return ReadVersion(stream, tagType, tagCount, exif.fFlashPixVersion);
        case tcTIFF_EP_StandardID:
            return ReadVersion(stream, tagType, tagCount, exif.fTIFF_EP_StandardID);
        case tcShutterSpeedValue:
            return ReadSRational(stream, tagType, tagCount, exif.fShutterSpeedValue);
        case tcApertureValue:
            return ReadURational(stream, tagType, tagCount, exif.fApertureValue);
        case tcBrightnessValue:
            return ReadSRational(stream, tagType, tagCount, exif.fBrightnessValue);
        case tcExposureBiasValue:
            return ReadSRational(stream, tagType, tagCount, exif.fExposureBiasValue);
        case tcMaxApertureValue:
            return ReadURational(stream, tagType, tagCount, exif.fMaxApertureValue);
        case tcSubjectDistance:
            return ReadURational(stream, tagType, tagCount, exif.fSubjectDistance);
        case tcMeteringMode:
            return ReadUInt(stream, tagType, tagCount, exif.fMeteringMode);
        case tcLightSource:
            return ReadUInt(stream, tagType, tagCount, exif.fLightSource);
        case tcFlash:
            return ReadUInt(stream, tagType, tagCount, exif.fFlash);
        case tcFocalLength:
            return ReadURational(stream, tagType, tagCount, exif.fFocalLength);
        case tcImageNumber:
            return ReadUInt(stream, tagType, tagCount, exif.fImageNumber);
        case tcSubjectArea: {
            if (!IsInteger(tagType) || tagCount < 2 || tagCount > 4) return false;
            exif.fSubjectAreaCount = tagCount;
            for (uint32 i = 0; i < tagCount; i++)
                exif.fSubjectArea[i] = stream.ReadTagValueAsUInt32(tagType);
            return true;
        }
        case tcUserComment:
            if (tagType != ttUndefined && tagType != ttAscii && tagType != ttByte) return false;
            ParseEncodedStringTag(stream, parentCode, tagCode, tagCount, exif.fUserComment);
            return true;
        case tcColorSpace:
            return ReadUInt(stream, tagType, tagCount, exif.fColorSpace);
        case tcPixelXDimension:
            return ReadUInt(stream, tagType, tagCount, exif.fPixelXDimension);
        case tcPixelYDimension:
            return ReadUInt(stream, tagType, tagCount, exif.fPixelYDimension);
        case tcFocalPlaneXResolution:
        case tcFocalPlaneXResolutionExif:
            return ReadURational(stream, tagType, tagCount, exif.fFocalPlaneXResolution);
        case tcFocalPlaneYResolution:
        case tcFocalPlaneYResolutionExif:
            return ReadURational(stream, tagType, tagCount, exif.fFocalPlaneYResolution);
        case tcFocalPlaneResolutionUnit:
        case tcFocalPlaneResolutionUnitExif:
            return ReadUInt(stream, tagType, tagCount, exif.fFocalPlaneResolutionUnit);
        case tcExposureIndex:
        case tcExposureIndexExif:
            return ReadURational(stream, tagType, tagCount, exif.fExposureIndex);
        case tcSensingMethod:
        case tcSensingMethodExif:
            return ReadUInt(stream, tagType, tagCount, exif.fSensingMethod);
        case tcFileSource:
            return ReadUInt(stream, tagType, tagCount, exif.fFileSource);
        case tcSceneType:
            return ReadUInt(stream, tagType, tagCount, exif.fSceneType);
        case tcCFAPatternExif: {
            // Two 16-bit dimensions in the block's own (often foreign) order,
            // then the pattern bytes.
            if (tagType != ttUndefined || tagCount < 4) return false;
            uint32 cols = stream.GetUInt16();
            uint32 rows = stream.GetUInt16();
            if (uint64(rows) * cols + 4 != tagCount) std::swap(rows, cols);
            if (rows < 1 || cols < 1 || rows > dng_exif::kMaxCFAPattern ||
                cols > dng_exif::kMaxCFAPattern || uint64(rows) * cols + 4 != tagCount) {
                // Either order is wrong: byte-swapped dimensions.
                rows = (rows >> 8) | ((rows & 0xFF) << 8);
                cols = (cols >> 8) | ((cols & 0xFF) << 8);
                if (rows < 1 || cols < 1 || rows > dng_exif::kMaxCFAPattern ||
                    cols > dng_exif::kMaxCFAPattern || uint64(rows) * cols + 4 != tagCount)
                    return false;
            }
            exif.fCFARepeatPatternRows = rows;
            exif.fCFARepeatPatternCols = cols;
            for (uint32 r = 0; r < rows; r++)
                for (uint32 c = 0; c < cols; c++) exif.fCFAPattern[r][c] = stream.GetUInt8();
            return true;
        }
        case tcCustomRendered:
            return ReadUInt(stream, tagType, tagCount, exif.fCustomRendered);
        case tcExposureMode:
            return ReadUInt(stream, tagType, tagCount, exif.fExposureMode);
        case tcWhiteBalance:
            return ReadUInt(stream, tagType, tagCount, exif.fWhiteBalance);
        case tcDigitalZoomRatio:
            return ReadURational(stream, tagType, tagCount, exif.fDigitalZoomRatio);
        case tcFocalLengthIn35mmFilm:
            return ReadUInt(stream, tagType, tagCount, exif.fFocalLengthIn35mmFilm);
        case tcSceneCaptureType:
            return ReadUInt(stream, tagType, tagCount, exif.fSceneCaptureType);
        case tcGainControl:
            return ReadUInt(stream, tagType, tagCount, exif.fGainControl);
        case tcContrast:
            return ReadUInt(stream, tagType, tagCount, exif.fContrast);
        case tcSaturation:
            return ReadUInt(stream, tagType, tagCount, exif.fSaturation);
        case tcSharpness:
            return ReadUInt(stream, tagType, tagCount, exif.fSharpness);
        case tcSubjectDistanceRange:
            return ReadUInt(stream, tagType, tagCount, exif.fSubjectDistanceRange);
        case tcImageUniqueID: {
            // 32 hexadecimal digits.
            if (tagType != ttAscii || tagCount < 32) return false;
            char text[33] = {};
            stream.ReadBytes(text, 32);
            dng_fingerprint id;
            for (uint32 i = 0; i < 16; i++) {
                uint32 byte = 0;
                for (uint32 j = 0; j < 2; j++) {
                    const char c = text[2 * i + j];
                    uint32 v = 0;
                    if (c >= '0' && c <= '9')
                        v = uint32(c - '0');
                    else if (c >= 'a' && c <= 'f')
                        v = uint32(c - 'a' + 10);
                    else if (c >= 'A' && c <= 'F')
                        v = uint32(c - 'A' + 10);
                    else
                        return true;
                    byte = byte * 16 + v;
                }
                id.data[i] = uint8(byte);
            }
            exif.fImageUniqueID = id;
            return true;
        }
        case tcCameraOwnerNameExif:
            return ReadString(stream, parentCode, tagCode, tagType, tagCount, exif.fOwnerName);
        case tcCameraSerialNumberExif:
            return ReadString(stream, parentCode, tagCode, tagType, tagCount,
                              exif.fCameraSerialNumber);
        case tcLensSpecificationExif:
            return ReadURationals(stream, tagType, tagCount, exif.fLensInfo, 4);
        case tcLensMakeExif:
            return ReadString(stream, parentCode, tagCode, tagType, tagCount, exif.fLensMake);
        case tcLensModelExif:
            if (!ReadString(stream, parentCode, tagCode, tagType, tagCount, exif.fLensName))
                return false;
            exif.fLensNameWasReadFromExif = exif.fLensName.NotEmpty();
            return true;
        case tcLensSerialNumberExif:
            return ReadString(stream, parentCode, tagCode, tagType, tagCount,
                              exif.fLensSerialNumber);
        case tcGamma:
            return ReadURational(stream, tagType, tagCount, exif.fGamma);
        case tcTemperature:
            return ReadSRational(stream, tagType, tagCount, exif.fTemperature);
        case tcHumidity:
            return ReadURational(stream, tagType, tagCount, exif.fHumidity);
        case tcPressure:
            return ReadURational(stream, tagType, tagCount, exif.fPressure);
        case tcWaterDepth:
            return ReadSRational(stream, tagType, tagCount, exif.fWaterDepth);
        case tcAcceleration:
            return ReadURational(stream, tagType, tagCount, exif.fAcceleration);
        case tcCameraElevationAngle:
            return ReadSRational(stream, tagType, tagCount, exif.fCameraElevationAngle);
        case tcCompressedBitsPerPixel:
            return ReadURational(stream, tagType, tagCount, exif.fCompresssedBitsPerPixel);
        default:
            return false;
    }
}

bool ParseGPSTag(dng_exif& exif, dng_stream& stream, uint32 tagCode, uint32 tagType,
                 uint32 tagCount) {
    const uint32 parent = tcGPSInfo;
    switch (tagCode) {
        case tcGPSVersionID:
            if (tagType != ttByte || tagCount != 4) return false;
            exif.fGPSVersionID = 0;
            for (int i = 0; i < 4; i++)
                exif.fGPSVersionID = (exif.fGPSVersionID << 8) | stream.GetUInt8();
            return true;
        case tcGPSLatitudeRef:
            return ReadString(stream, parent, tagCode, tagType, tagCount, exif.fGPSLatitudeRef);
        case tcGPSLatitude:
            return ReadURationals(stream, tagType, tagCount, exif.fGPSLatitude, 3);
        case tcGPSLongitudeRef:
            return ReadString(stream, parent, tagCode, tagType, tagCount, exif.fGPSLongitudeRef);
        case tcGPSLongitude:
            return ReadURationals(stream, tagType, tagCount, exif.fGPSLongitude, 3);
        case tcGPSAltitudeRef:
            return ReadUInt(stream, tagType, tagCount, exif.fGPSAltitudeRef);
        case tcGPSAltitude:
            return ReadURational(stream, tagType, tagCount, exif.fGPSAltitude);
        case tcGPSTimeStamp:
            return ReadURationals(stream, tagType, tagCount, exif.fGPSTimeStamp, 3);
        case tcGPSSatellites:
            return ReadString(stream, parent, tagCode, tagType, tagCount, exif.fGPSSatellites);
        case tcGPSStatus:
            return ReadString(stream, parent, tagCode, tagType, tagCount, exif.fGPSStatus);
        case tcGPSMeasureMode:
            return ReadString(stream, parent, tagCode, tagType, tagCount, exif.fGPSMeasureMode);
        case tcGPSDOP:
            return ReadURational(stream, tagType, tagCount, exif.fGPSDOP);
        case tcGPSSpeedRef:
            return ReadString(stream, parent, tagCode, tagType, tagCount, exif.fGPSSpeedRef);
        case tcGPSSpeed:
            return ReadURational(stream, tagType, tagCount, exif.fGPSSpeed);
        case tcGPSTrackRef:
            return ReadString(stream, parent, tagCode, tagType, tagCount, exif.fGPSTrackRef);
        case tcGPSTrack:
            return ReadURational(stream, tagType, tagCount, exif.fGPSTrack);
        case tcGPSImgDirectionRef:
            return ReadString(stream, parent, tagCode, tagType, tagCount, exif.fGPSImgDirectionRef);
        case tcGPSImgDirection:
            return ReadURational(stream, tagType, tagCount, exif.fGPSImgDirection);
        case tcGPSMapDatum:
            return ReadString(stream, parent, tagCode, tagType, tagCount, exif.fGPSMapDatum);
        case tcGPSDestLatitudeRef:
            return ReadString(stream, parent, tagCode, tagType, tagCount, exif.fGPSDestLatitudeRef);
        case tcGPSDestLatitude:
            return ReadURationals(stream, tagType, tagCount, exif.fGPSDestLatitude, 3);
        case tcGPSDestLongitudeRef:
            return ReadString(stream, parent, tagCode, tagType, tagCount,
                              exif.fGPSDestLongitudeRef);
        case tcGPSDestLongitude:
            return ReadURationals(stream, tagType, tagCount, exif.fGPSDestLongitude, 3);
        case tcGPSDestBearingRef:
            return ReadString(stream, parent, tagCode, tagType, tagCount, exif.fGPSDestBearingRef);
        case tcGPSDestBearing:
            return ReadURational(stream, tagType, tagCount, exif.fGPSDestBearing);
        case tcGPSDestDistanceRef:
            return ReadString(stream, parent, tagCode, tagType, tagCount, exif.fGPSDestDistanceRef);
        case tcGPSDestDistance:
            return ReadURational(stream, tagType, tagCount, exif.fGPSDestDistance);
        case tcGPSProcessingMethod:
            if (tagType != ttUndefined && tagType != ttAscii) return false;
            ParseEncodedStringTag(stream, parent, tagCode, tagCount, exif.fGPSProcessingMethod);
            return true;
        case tcGPSAreaInformation:
            if (tagType != ttUndefined && tagType != ttAscii) return false;
            ParseEncodedStringTag(stream, parent, tagCode, tagCount, exif.fGPSAreaInformation);
            return true;
        case tcGPSDateStamp:
            return ReadString(stream, parent, tagCode, tagType, tagCount, exif.fGPSDateStamp);
        case tcGPSDifferential:
            return ReadUInt(stream, tagType, tagCount, exif.fGPSDifferential);
        case tcGPSHPositioningError:
            return ReadURational(stream, tagType, tagCount, exif.fGPSHPositioningError);
        default:
            return false;
    }
}
