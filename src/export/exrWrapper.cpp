#include "export/exrWrapper.h"

#include <cmath>
#include <exception>
#include <new>

#include "export/ImagePropertyImport.h"
#include "export/exrWriter.h"
#include "platform/Log.h"
#include "raw/RawMetadata.h"

static_assert(exrWrapper::kNoMemory == exrWriter::kNoMemory);

std::shared_ptr<exrWrapper> exrWrapper::initWithSize(int width, int height) {
    try {
        std::shared_ptr<exrWrapper> wrapper(new exrWrapper());
        wrapper->exrWriter_ = std::make_unique<exrWriter>(width, height);
        return wrapper;
    } catch (const std::exception&) {
        return nullptr;
    }
}

exrWrapper::~exrWrapper() = default;

int exrWrapper::writeToFile(const float* pixels, int outputFormat,
                            const std::filesystem::path& fileName,
                            const platform::Dictionary* metaData, const std::string& /*type*/) {
    if (!exrWriter_) return -1;
    try {
        prepare(outputFormat, metaData);
    } catch (const std::bad_alloc&) {
        return kNoMemory;
    }
    return exrWriter_->write(pixels, 0, fileName.c_str());
}

int exrWrapper::writeToFile(const std::function<bool(int, int, float*)>& rows, int outputFormat,
                            const std::filesystem::path& fileName,
                            const platform::Dictionary* metaData, const std::string& /*type*/) {
    if (!exrWriter_) return -1;
    try {
        prepare(outputFormat, metaData);
    } catch (const std::bad_alloc&) {
        return kNoMemory;
    }
    return exrWriter_->write(rows, fileName.c_str());
}

void exrWrapper::prepare(int outputFormat, const platform::Dictionary* metaData) {
    exrWriter_->setChromaticities(false);
    if (outputFormat >= 0 && outputFormat <= 3) {
        exrWriter_->setFloat(outputFormat == 1 || outputFormat == 3);
        exrWriter_->setNoAlpha(outputFormat >= 2);
    }
    addMetaData(metaData);
}

std::string exrWrapper::errorStringForCode(int /*code*/) const {
    if (!exrWriter_) return "No exrWriter object";
    return exrWriter_->errorString();
}

std::optional<std::string> exrWrapper::decodeObject(const platform::Dictionary& dict,
                                                    std::string_view key, int32_t* iValue,
                                                    double* fValue) {
    return ImagePropertyImport::decodeObject(dict, key, iValue, fValue);
}

void exrWrapper::setEXIFFromMacImageProperty(std::string_view dictionaryKey,
                                             std::string_view property,
                                             const platform::Dictionary& dict) {
    const int index = ImagePropertyImport::indexOf(dictionaryKey, property);
    if (index < 0 || !exrWriter_) return;
    int32_t integer = 0;
    double real = 0.0;
    const auto text = decodeObject(dict, property, &integer, &real);
    if (!text) return;
    exrWriter_->addMetadata(index, text->c_str(), integer, real);
}

void exrWrapper::addMetaData(const platform::Dictionary* source) {
    if (!source || !exrWriter_) return;
    exrWriter& w = *exrWriter_;
    const platform::Dictionary known = ImagePropertyImport::withoutUnknownExposure(*source);
    const platform::Dictionary* metaData = &known;
    // "capDate" is the capture date: the original, else the digitized, else
    // the file's modification date.
    std::optional<std::string> original, digitized, modified;
    try {
        for (const auto& [top, value] : *metaData) {
            if (!value.isDictionary()) continue;
            const platform::Dictionary& dict = value.dictionary();
            const bool tiff = top == kCGImagePropertyTIFFDictionary;
            const bool exif = top == kCGImagePropertyExifDictionary;
            if (!tiff && !exif && top != kCGImagePropertyExifAuxDictionary) continue;
            for (const auto& entry : dict) {
                const std::string& key = entry.first;
                auto text = [&] { return decodeObject(dict, key, nullptr, nullptr); };
                if (tiff && key == kCGImagePropertyTIFFDateTime) {
                    if (auto t = text()) modified = t;
                } else if (exif && key == kCGImagePropertyExifDateTimeOriginal) {
                    if (auto t = text()) original = t;
                } else if (exif && key == kCGImagePropertyExifDateTimeDigitized) {
                    if (auto t = text()) digitized = t;
                } else if (tiff && (key == kCGImagePropertyTIFFImageDescription ||
                                    key == kCGImagePropertyTIFFDocumentName)) {
                    // No attribute for these.
                } else {
                    setEXIFFromMacImageProperty(top, key, dict);
                }
            }
        }
    } catch (const std::bad_alloc&) {
        throw;  // a file without the source's metadata would pass for a complete one
    } catch (const std::exception& e) {
        platform::log("Exception %s in %s\n", e.what(), "exrWrapper::addMetaData");
    }
    const std::optional<std::string>& date = original ? original : digitized ? digitized : modified;
    if (date) w.addMetadata(26, date->c_str(), 0, 0.0);
    addUnindexed(*metaData, original.has_value());
}

// The lens make, the capture's UTC offset and the position: attributes the
// shared index has no number for.
void exrWrapper::addUnindexed(const platform::Dictionary& metaData, bool originalDate) {
    exrWriter& w = *exrWriter_;
    const platform::Value* exifValue = metaData.find(kCGImagePropertyExifDictionary);
    if (exifValue && exifValue->isDictionary()) {
        const platform::Dictionary& exif = exifValue->dictionary();
        if (auto make = decodeObject(exif, kCGImagePropertyExifLensMake, nullptr, nullptr))
            w.addAttribute("lensMake", make->c_str());
        // utcOffset is UTC less local time, in seconds.
        if (originalDate)
            if (auto minutes = ImagePropertyImport::offsetMinutes(
                    exif, kCGImagePropertyExifOffsetTimeOriginal))
                w.addAttribute("utcOffset", -60.0 * *minutes);
    }
    const platform::Value* gpsValue = metaData.find(kCGImagePropertyGPSDictionary);
    if (!gpsValue || !gpsValue->isDictionary()) return;
    const platform::Dictionary& gps = gpsValue->dictionary();
    // Degrees north and east, metres above sea level: negative the other way.
    auto signedValue = [&](const char* key, const char* refKey, const char* negativeRef,
                           double& out) {
        double v = 0;
        if (!decodeObject(gps, key, nullptr, &v) || !std::isfinite(v)) return false;
        const auto ref = decodeObject(gps, refKey, nullptr, nullptr);
        out = ref && *ref == negativeRef ? -v : v;
        return true;
    };
    double latitude = 0, longitude = 0, altitude = 0;
    if (signedValue(kCGImagePropertyGPSLatitude, kCGImagePropertyGPSLatitudeRef, "S", latitude) &&
        signedValue(kCGImagePropertyGPSLongitude, kCGImagePropertyGPSLongitudeRef, "W",
                    longitude)) {
        w.addAttribute("latitude", latitude);
        w.addAttribute("longitude", longitude);
    }
    if (signedValue(kCGImagePropertyGPSAltitude, kCGImagePropertyGPSAltitudeRef, "1", altitude))
        w.addAttribute("altitude", altitude);
}
