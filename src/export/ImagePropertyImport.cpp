#include "export/ImagePropertyImport.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "dng/core/dng_date_time.h"
#include "dng/core/dng_exif.h"
#include "raw/RawMetadata.h"

namespace {

struct IndexedKey {
    const char* key;
    int index;
};

constexpr IndexedKey kTIFFKeys[] = {
    {kCGImagePropertyTIFFCompression, 0},   {kCGImagePropertyTIFFPhotometricInterpretation, 1},
    {kCGImagePropertyTIFFDocumentName, 2},  {kCGImagePropertyTIFFImageDescription, 3},
    {kCGImagePropertyTIFFMake, 4},          {kCGImagePropertyTIFFModel, 5},
    {kCGImagePropertyTIFFOrientation, 6},   {kCGImagePropertyTIFFXResolution, 7},
    {kCGImagePropertyTIFFYResolution, 8},   {kCGImagePropertyTIFFResolutionUnit, 9},
    {kCGImagePropertyTIFFSoftware, 10},     {kCGImagePropertyTIFFTransferFunction, 11},
    {kCGImagePropertyTIFFDateTime, 12},     {kCGImagePropertyTIFFArtist, 13},
    {kCGImagePropertyTIFFHostComputer, 14}, {kCGImagePropertyTIFFCopyright, 15},
    {kCGImagePropertyTIFFWhitePoint, 16},   {kCGImagePropertyTIFFPrimaryChromaticities, 17},
};

constexpr IndexedKey kExifKeys[] = {
    {kCGImagePropertyExifExposureTime, 18},
    {kCGImagePropertyExifFNumber, 19},
    {kCGImagePropertyExifExposureProgram, 20},
    {kCGImagePropertyExifSpectralSensitivity, 21},
    {kCGImagePropertyExifISOSpeedRatings, 22},
    {kCGImagePropertyExifOECF, 23},
    {kCGImagePropertyExifVersion, 24},
    {kCGImagePropertyExifDateTimeOriginal, 25},
    {kCGImagePropertyExifDateTimeDigitized, 26},
    {kCGImagePropertyExifComponentsConfiguration, 27},
    {kCGImagePropertyExifCompressedBitsPerPixel, 28},
    {kCGImagePropertyExifShutterSpeedValue, 29},
    {kCGImagePropertyExifApertureValue, 30},
    {kCGImagePropertyExifBrightnessValue, 31},
    {kCGImagePropertyExifExposureBiasValue, 32},
    {kCGImagePropertyExifMaxApertureValue, 33},
    {kCGImagePropertyExifSubjectDistance, 34},
    {kCGImagePropertyExifMeteringMode, 35},
    {kCGImagePropertyExifLightSource, 36},
    {kCGImagePropertyExifFlash, 37},
    {kCGImagePropertyExifFocalLength, 38},
    {kCGImagePropertyExifSubjectArea, 39},
    {kCGImagePropertyExifMakerNote, 40},
    {kCGImagePropertyExifUserComment, 41},
    {kCGImagePropertyExifSubsecTime, 42},
    {kCGImagePropertyExifSubsecTimeOrginal, 43},
    {kCGImagePropertyExifSubsecTimeDigitized, 44},
    {kCGImagePropertyExifFlashPixVersion, 45},
    {kCGImagePropertyExifColorSpace, 46},
    {kCGImagePropertyExifPixelXDimension, 47},
    {kCGImagePropertyExifPixelYDimension, 48},
    {kCGImagePropertyExifRelatedSoundFile, 49},
    {kCGImagePropertyExifFlashEnergy, 50},
    {kCGImagePropertyExifSpatialFrequencyResponse, 51},
    {kCGImagePropertyExifFocalPlaneXResolution, 52},
    {kCGImagePropertyExifFocalPlaneYResolution, 53},
    {kCGImagePropertyExifFocalPlaneResolutionUnit, 54},
    {kCGImagePropertyExifSubjectLocation, 55},
    {kCGImagePropertyExifExposureIndex, 56},
    {kCGImagePropertyExifSensingMethod, 57},
    {kCGImagePropertyExifFileSource, 58},
    {kCGImagePropertyExifSceneType, 59},
    {kCGImagePropertyExifCustomRendered, 61},
    {kCGImagePropertyExifExposureMode, 62},
    {kCGImagePropertyExifWhiteBalance, 63},
    {kCGImagePropertyExifDigitalZoomRatio, 64},
    {kCGImagePropertyExifFocalLenIn35mmFilm, 65},
    {kCGImagePropertyExifSceneCaptureType, 66},
    {kCGImagePropertyExifGainControl, 67},
    {kCGImagePropertyExifContrast, 68},
    {kCGImagePropertyExifSaturation, 69},
    {kCGImagePropertyExifSharpness, 70},
    {kCGImagePropertyExifDeviceSettingDescription, 71},
    {kCGImagePropertyExifSubjectDistRange, 72},
    {kCGImagePropertyExifImageUniqueID, 73},
    {kCGImagePropertyExifGamma, 74},
};

constexpr IndexedKey kExifAuxKeys[] = {
    {kCGImagePropertyExifAuxLensInfo, 75},          {kCGImagePropertyExifAuxLensModel, 76},
    {kCGImagePropertyExifAuxSerialNumber, 77},      {kCGImagePropertyExifAuxLensID, 78},
    {kCGImagePropertyExifAuxLensSerialNumber, 79},  {kCGImagePropertyExifAuxImageNumber, 80},
    {kCGImagePropertyExifAuxFlashCompensation, 81}, {kCGImagePropertyExifAuxOwnerName, 82},
    {kCGImagePropertyExifAuxFirmware, 83},
};

template <size_t N>
int find(const IndexedKey (&keys)[N], std::string_view key) {
    for (const IndexedKey& k : keys)
        if (key == k.key) return k.index;
    return -1;
}

std::string numberText(const platform::Value& v) {
    if (v.isBool()) return v.boolValue() ? "1" : "0";
    if (v.isInteger()) return std::to_string(v.integerValue());
    // The shortest text that reads back as the same double.
    char text[64];
    for (int digits = 15; digits <= 17; ++digits) {
        std::snprintf(text, sizeof text, "%.*g", digits, v.realValue());
        if (std::strtod(text, nullptr) == v.realValue()) break;
    }
    return text;
}

int32_t narrowed(const platform::Value& v) {
    if (v.isInteger() || v.isBool()) return static_cast<int32_t>(v.integerValue());
    const double d = v.realValue();
    if (!std::isfinite(d)) return 0;
    const double t = std::trunc(d);
    if (t >= 9.2e18 || t <= -9.2e18) return 0;
    return static_cast<int32_t>(static_cast<int64_t>(t));
}

const platform::Dictionary* subDictionary(const platform::Dictionary& metaData, const char* key) {
    const platform::Value* v = metaData.find(key);
    return v && v->isDictionary() ? &v->dictionary() : nullptr;
}

const std::string* textOf(const platform::Dictionary& d, const char* key) {
    const platform::Value* v = d.find(key);
    return v && v->isString() && !v->string().empty() ? &v->string() : nullptr;
}

bool realOf(const platform::Dictionary& d, const char* key, double& out) {
    const platform::Value* v = d.find(key);
    if (!v || !v->isNumber() || !std::isfinite(v->realValue())) return false;
    out = v->realValue();
    return true;
}

void setText(dng_string& field, const platform::Dictionary& d, const char* key) {
    if (const std::string* t = textOf(d, key)) field.Set(t->c_str());
}

void setURational(dng_urational& field, const platform::Dictionary& d, const char* key) {
    double v = 0;
    if (realOf(d, key, v) && v >= 0 && v < 4294967.0) field.Set_real64(v, 10000);
}

void setCode(uint32& field, const platform::Dictionary& d, const char* key) {
    double v = 0;
    if (realOf(d, key, v) && v >= 0 && v < 4294967295.0) field = uint32(v);
}

// Decimal degrees as degrees, minutes and seconds (to 1/10000 s).
void setDegrees(dng_urational (&dms)[3], const platform::Dictionary& d, const char* key) {
    double deg = 0;
    if (!realOf(d, key, deg) || deg < 0 || deg > 360) return;
    const uint64_t total = uint64_t(std::llround(deg * 3600.0 * 10000.0));
    dms[0] = dng_urational(uint32(total / 36000000u), 1);
    dms[1] = dng_urational(uint32(total % 36000000u / 600000u), 1);
    dms[2] = dng_urational(uint32(total % 600000u), 10000);
}

// The "{GPS}" dictionary (as the raw reader makes it) into the record.
void importGPS(const platform::Dictionary& gps, dng_exif& exif) {
    if (const platform::Value* v = gps.find(kCGImagePropertyGPSVersion);
        v && v->isArray() && v->array().size() == 4) {
        uint32 packed = 0;
        for (const platform::Value& part : v->array())
            packed = packed << 8 | uint32(part.isNumber() ? part.integerValue() & 0xFF : 0);
        exif.fGPSVersionID = packed;
    }
    setText(exif.fGPSLatitudeRef, gps, kCGImagePropertyGPSLatitudeRef);
    setDegrees(exif.fGPSLatitude, gps, kCGImagePropertyGPSLatitude);
    setText(exif.fGPSLongitudeRef, gps, kCGImagePropertyGPSLongitudeRef);
    setDegrees(exif.fGPSLongitude, gps, kCGImagePropertyGPSLongitude);
    setCode(exif.fGPSAltitudeRef, gps, kCGImagePropertyGPSAltitudeRef);
    setURational(exif.fGPSAltitude, gps, kCGImagePropertyGPSAltitude);
    if (const std::string* t = textOf(gps, kCGImagePropertyGPSTimeStamp)) {
        unsigned h = 0, m = 0;
        double sec = 0;
        if (std::sscanf(t->c_str(), "%u:%u:%lf", &h, &m, &sec) == 3 && h < 24 && m < 60 &&
            sec >= 0 && sec < 61) {
            exif.fGPSTimeStamp[0] = dng_urational(h, 1);
            exif.fGPSTimeStamp[1] = dng_urational(m, 1);
            exif.fGPSTimeStamp[2].Set_real64(sec, 1000);
        }
    }
    setText(exif.fGPSSatellites, gps, kCGImagePropertyGPSSatellites);
    setText(exif.fGPSStatus, gps, kCGImagePropertyGPSStatus);
    setText(exif.fGPSMeasureMode, gps, kCGImagePropertyGPSMeasureMode);
    setURational(exif.fGPSDOP, gps, kCGImagePropertyGPSDOP);
    setText(exif.fGPSSpeedRef, gps, kCGImagePropertyGPSSpeedRef);
    setURational(exif.fGPSSpeed, gps, kCGImagePropertyGPSSpeed);
    setText(exif.fGPSTrackRef, gps, kCGImagePropertyGPSTrackRef);
    setURational(exif.fGPSTrack, gps, kCGImagePropertyGPSTrack);
    setText(exif.fGPSImgDirectionRef, gps, kCGImagePropertyGPSImgDirectionRef);
    setURational(exif.fGPSImgDirection, gps, kCGImagePropertyGPSImgDirection);
    setText(exif.fGPSMapDatum, gps, kCGImagePropertyGPSMapDatum);
    setText(exif.fGPSDestLatitudeRef, gps, kCGImagePropertyGPSDestLatitudeRef);
    setDegrees(exif.fGPSDestLatitude, gps, kCGImagePropertyGPSDestLatitude);
    setText(exif.fGPSDestLongitudeRef, gps, kCGImagePropertyGPSDestLongitudeRef);
    setDegrees(exif.fGPSDestLongitude, gps, kCGImagePropertyGPSDestLongitude);
    setText(exif.fGPSDestBearingRef, gps, kCGImagePropertyGPSDestBearingRef);
    setURational(exif.fGPSDestBearing, gps, kCGImagePropertyGPSDestBearing);
    setText(exif.fGPSDestDistanceRef, gps, kCGImagePropertyGPSDestDistanceRef);
    setURational(exif.fGPSDestDistance, gps, kCGImagePropertyGPSDestDistance);
    setText(exif.fGPSProcessingMethod, gps, kCGImagePropertyGPSProcessingMethod);
    setText(exif.fGPSAreaInformation, gps, kCGImagePropertyGPSAreaInformation);
    setText(exif.fGPSDateStamp, gps, kCGImagePropertyGPSDateStamp);
    setCode(exif.fGPSDifferential, gps, kCGImagePropertyGPSDifferental);
    // A position needs the version tag that says how to read it.
    if (exif.fGPSVersionID == 0 && (exif.fGPSLatitude[0].IsValid() || exif.fGPSAltitude.IsValid()))
        exif.fGPSVersionID = 0x02020000;
}

}  // namespace

int ImagePropertyImport::indexOf(std::string_view dictionaryKey, std::string_view key) {
    if (dictionaryKey == kCGImagePropertyTIFFDictionary) return find(kTIFFKeys, key);
    if (dictionaryKey == kCGImagePropertyExifDictionary) return find(kExifKeys, key);
    if (dictionaryKey == kCGImagePropertyExifAuxDictionary) return find(kExifAuxKeys, key);
    return -1;
}

std::optional<std::string> ImagePropertyImport::decodeObject(const platform::Dictionary& dict,
                                                             std::string_view key, int32_t* iValue,
                                                             double* fValue) {
    const platform::Value* value = dict.find(key);
    if (!value) return std::nullopt;
    if (value->isArray()) {
        if (value->array().empty()) return std::nullopt;
        value = &value->array().front();
    }
    if (value->isString()) return value->string();
    if (value->isNumber()) {
        if (iValue) *iValue = narrowed(*value);
        if (fValue) *fValue = value->realValue();
        return numberText(*value);
    }
    return std::nullopt;
}

bool ImagePropertyImport::parseUniqueID(const std::string& text, uint8_t out[16]) {
    if (text.size() != 32) return false;
    for (size_t i = 0; i < 16; ++i) {
        int byte = 0;
        for (size_t k = 0; k < 2; ++k) {
            const char c = text[2 * i + k];
            int d;
            if (c >= '0' && c <= '9')
                d = c - '0';
            else if (c >= 'a' && c <= 'f')
                d = c - 'a' + 10;
            else if (c >= 'A' && c <= 'F')
                d = c - 'A' + 10;
            else
                return false;
            byte = byte * 16 + d;
        }
        out[i] = uint8_t(byte);
    }
    return true;
}

dng_date_time_info ImagePropertyImport::parsedDate(const char* text) {
    dng_date_time dt;
    dt.Parse(text ? text : "");
    dng_date_time_info info;
    info.SetDateTime(dt);
    return info;
}

void ImagePropertyImport::setExifProperty(dng_exif& record, int index, const char* text,
                                          int32_t intValue, double realValue) {
    if (index < 3 || index > kMaxIndex) return;
    // A number no field can hold sets nothing, rather than a zero that means
    // something ("no flash", "unknown program").
    if (!std::isfinite(realValue) || std::fabs(realValue) >= 4294967296.0) return;
    dng_exif* exif = &record;
    const char* t = text ? text : "";
    const uint32 u = uint32(intValue);
    switch (index) {
        case 3:
            exif->fImageDescription.SetASCII(t);
            break;
        case 4:
            exif->fMake.SetASCII(t);
            break;
        case 5:
            exif->fModel.SetASCII(t);
            break;
        case 10:
            exif->fSoftware.SetASCII(t);
            break;
        case 12:
        case 25:
            exif->fDateTimeOriginal = parsedDate(t);
            break;
        case 26:
            exif->fDateTimeDigitized = parsedDate(t);
            break;
        case 13:
            exif->fArtist.SetASCII(t);
            break;
        case 15:
            exif->fCopyright.SetASCII(t);
            break;
        case 18:
            exif->SetExposureTime(realValue, false);
            break;
        case 19:
            exif->SetFNumber(realValue);
            break;
        case 20:
            exif->fExposureProgram = u;
            break;
        case 22:
            exif->fISOSpeedRatings[0] = u;
            break;
        case 29:
            exif->SetShutterSpeedValue(realValue);
            break;
        case 30:
            exif->SetApertureValue(realValue);
            break;
        case 31:
            exif->fBrightnessValue.SetReal64(realValue);
            break;
        case 32:
            exif->fExposureBiasValue.SetReal64(realValue);
            break;
        case 33:
            exif->fMaxApertureValue.SetReal64(realValue);
            break;
        case 34:
            exif->fSubjectDistance.SetReal64(realValue);
            break;
        case 35:
            exif->fMeteringMode = u;
            break;
        case 36:
            exif->fLightSource = u;
            break;
        case 37:
            exif->fFlash = u;
            break;
        case 38:
            exif->fFocalLength.SetReal64(realValue);
            break;
        case 41:
            exif->fUserComment.SetASCII(t);
            break;
        case 56:
            exif->fExposureIndex.SetReal64(realValue);
            break;
        case 57:
            exif->fSensingMethod = u;
            break;
        case 58:
            exif->fFileSource = u;
            break;
        case 59:
            exif->fSceneType = u;
            break;
        case 61:
            exif->fCustomRendered = u;
            break;
        case 62:
            exif->fExposureMode = u;
            break;
        case 63:
            exif->fWhiteBalance = u;
            break;
        case 64:
            exif->fDigitalZoomRatio.SetReal64(realValue);
            break;
        case 65:
            exif->fFocalLengthIn35mmFilm = u;
            break;
        case 66:
            exif->fSceneCaptureType = u;
            break;
        case 67:
            exif->fGainControl = u;
            break;
        case 68:
            exif->fContrast = u;
            break;
        case 69:
            exif->fSaturation = u;
            break;
        case 70:
            exif->fSharpness = u;
            break;
        case 72:
            exif->fSubjectDistanceRange = u;
            break;
        case 73: {
            uint8_t id[16];
            if (parseUniqueID(t, id)) std::memcpy(exif->fImageUniqueID.data, id, 16);
            break;
        }
        case 76:
            exif->fLensName.SetASCII(t);
            break;
        case 77:
            exif->fCameraSerialNumber.SetASCII(t);
            break;
        case 78:
            exif->fLensID.SetASCII(t);
            break;
        case 79:
            exif->fLensSerialNumber.SetASCII(t);
            break;
        case 80:
            exif->fImageNumber = u;
            break;
        case 81:
            exif->fFlashCompensation.SetReal64(realValue);
            break;
        case 82:
            exif->fOwnerName.SetASCII(t);
            break;
        case 83:
            exif->fFirmware.SetASCII(t);
            break;
        default:
            break;
    }
}

platform::Dictionary ImagePropertyImport::withoutUnknownExposure(
    const platform::Dictionary& metaData) {
    platform::Dictionary out = metaData;
    platform::Value* exif = out.find(kCGImagePropertyExifDictionary);
    if (!exif || !exif->isDictionary()) return out;
    platform::Dictionary& dict = exif->dictionary();
    auto unknown = [&](const char* key) {
        double value = 0.0;
        return decodeObject(dict, key, nullptr, &value) && !(value > 0.0);
    };
    const bool noTime = unknown(kCGImagePropertyExifExposureTime);
    const bool noAperture = unknown(kCGImagePropertyExifFNumber);
    if (noTime) {
        dict.remove(kCGImagePropertyExifExposureTime);
        dict.remove(kCGImagePropertyExifShutterSpeedValue);
    }
    if (noAperture) {
        dict.remove(kCGImagePropertyExifFNumber);
        dict.remove(kCGImagePropertyExifApertureValue);
    }
    return out;
}

void ImagePropertyImport::importProperties(const platform::Dictionary& source, dng_exif& exif) {
    const platform::Dictionary metaData = withoutUnknownExposure(source);
    const platform::Dictionary empty;
    const platform::Value* exifValue = metaData.find(kCGImagePropertyExifDictionary);
    const platform::Dictionary& exifDict =
        exifValue && exifValue->isDictionary() ? exifValue->dictionary() : empty;
    auto exifHasDate = [&](const char* key) {
        return decodeObject(exifDict, key, nullptr, nullptr).has_value();
    };
    auto setIndexed = [&](std::string_view top, std::string_view key,
                          const platform::Dictionary& dict) {
        const int index = indexOf(top, key);
        if (index < 0) return;
        int32_t integer = 0;
        double real = 0.0;
        if (const auto text = decodeObject(dict, key, &integer, &real))
            setExifProperty(exif, index, text->c_str(), integer, real);
    };
    for (const auto& [top, value] : metaData) {
        if (!value.isDictionary()) continue;
        const platform::Dictionary& dict = value.dictionary();
        for (const auto& entry : dict) {
            const std::string& key = entry.first;
            const auto text = decodeObject(dict, key, nullptr, nullptr);
            if (top == kCGImagePropertyTIFFDictionary) {
                if (key == kCGImagePropertyTIFFImageDescription ||
                    key == kCGImagePropertyTIFFDocumentName) {
                    if (text) exif.fImageDescription.SetASCII(text->c_str());
                } else if (key == kCGImagePropertyTIFFDateTime) {
                    // The modification time stands in only for the capture
                    // dates the Exif dictionary lacks.
                    if (!text) continue;
                    if (!exifHasDate(kCGImagePropertyExifDateTimeOriginal))
                        exif.fDateTimeOriginal = parsedDate(text->c_str());
                    if (!exifHasDate(kCGImagePropertyExifDateTimeDigitized))
                        exif.fDateTimeDigitized = parsedDate(text->c_str());
                } else {
                    setIndexed(top, key, dict);
                }
            } else if (top == kCGImagePropertyExifDictionary) {
                if (key == kCGImagePropertyExifDateTimeOriginal) {
                    if (text) exif.fDateTimeOriginal = parsedDate(text->c_str());
                } else if (key == kCGImagePropertyExifDateTimeDigitized) {
                    if (text) exif.fDateTimeDigitized = parsedDate(text->c_str());
                } else if (key == kCGImagePropertyExifUserComment) {
                    if (text) exif.fUserComment.SetASCII(text->c_str());
                } else {
                    setIndexed(top, key, dict);
                }
            } else if (top == kCGImagePropertyExifAuxDictionary) {
                setIndexed(top, key, dict);
            }
        }
    }
    // The fields without an index: lens make, the original time's fraction
    // and zone, and the position.
    setText(exif.fLensMake, exifDict, kCGImagePropertyExifLensMake);
    if (exif.fDateTimeOriginal.IsValid()) {
        if (const std::string* t = textOf(exifDict, kCGImagePropertyExifSubsecTimeOrginal)) {
            dng_string fraction;
            fraction.Set(t->c_str());
            exif.fDateTimeOriginal.SetSubseconds(fraction);
        }
        if (const auto minutes = offsetMinutes(exifDict, kCGImagePropertyExifOffsetTimeOriginal)) {
            dng_time_zone zone;
            zone.SetOffsetMinutes(*minutes);
            exif.fDateTimeOriginal.SetZone(zone);
        }
    }
    if (const platform::Dictionary* gps = subDictionary(metaData, kCGImagePropertyGPSDictionary))
        importGPS(*gps, exif);
}

std::optional<int32_t> ImagePropertyImport::offsetMinutes(const platform::Dictionary& exif,
                                                          const char* key) {
    const std::string* t = textOf(exif, key);
    if (!t || t->size() != 6 || ((*t)[0] != '+' && (*t)[0] != '-') || (*t)[3] != ':')
        return std::nullopt;
    for (size_t i : {1, 2, 4, 5})
        if ((*t)[i] < '0' || (*t)[i] > '9') return std::nullopt;
    const int32_t hours = ((*t)[1] - '0') * 10 + ((*t)[2] - '0');
    const int32_t minutes = ((*t)[4] - '0') * 10 + ((*t)[5] - '0');
    if (hours > 14 || minutes > 59) return std::nullopt;
    const int32_t total = hours * 60 + minutes;
    return (*t)[0] == '-' ? -total : total;
}
