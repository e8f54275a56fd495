#include "export/ImagePropertyImport.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>

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
