#include "export/dngWrapper.h"

#include <exception>
#include <new>

#include "export/ImagePropertyImport.h"
#include "export/pcdToDNG.h"
#include "platform/Log.h"
#include "raw/RawMetadata.h"

std::shared_ptr<dngWrapper> dngWrapper::initWithSize(int width, int height) {
    try {
        std::shared_ptr<dngWrapper> wrapper(new dngWrapper());
        wrapper->dngWriter_ = std::make_unique<pcdToDNG>(width, height);
        return wrapper;
    } catch (const std::exception&) {
        return nullptr;
    }
}

dngWrapper::~dngWrapper() = default;

int dngWrapper::writeToFile(const uint16_t* buffer, int outputFormat,
                            const std::filesystem::path& fileName,
                            const std::filesystem::path* embedFile,
                            const platform::Dictionary* metaData, const std::string& type) {
    if (!dngWriter_) return -1;
    if (outputFormat == 1) dngWriter_->SetCFAPattern(0xB4B4B4B4);
    const int status = dngWriter_->BuildNegative(reinterpret_cast<const uint8_t*>(buffer), 0);
    dngWriter_->SetMake("Zazid Ivuz app");
    dngWriter_->SetModel("Virtual camera");
    dngWriter_->SetSoftware("Zazid Ivuz");
    addMetaData(metaData);
    if (status != 0) return status;
    std::string embedded;
    if (embedFile) {
        dngWriter_->SetOriginalFileName(embedFile->filename().string().c_str());
        embedded = embedFile->string();
    }
    return dngWriter_->writeFile(fileName.c_str(), embedFile ? embedded.c_str() : nullptr,
                                 type.c_str());
}

std::string dngWrapper::errorStringForCode(int code) const {
    if (!dngWriter_) return "No dngWriter object";
    return pcdToDNG::errorStringForCode(code);
}

std::optional<std::string> dngWrapper::decodeObject(const platform::Dictionary& dict,
                                                    std::string_view key, int32_t* iValue,
                                                    double* fValue) {
    return ImagePropertyImport::decodeObject(dict, key, iValue, fValue);
}

void dngWrapper::setEXIFFromMacImageProperty(std::string_view dictionaryKey,
                                             std::string_view property,
                                             const platform::Dictionary& dict) {
    const int index = ImagePropertyImport::indexOf(dictionaryKey, property);
    if (index < 0 || !dngWriter_) return;
    int32_t integer = 0;
    double real = 0.0;
    const auto text = decodeObject(dict, property, &integer, &real);
    if (!text) return;
    dngWriter_->SetEXIFProperty(index, text->c_str(), integer, real);
}

void dngWrapper::addMetaData(const platform::Dictionary* metaData) {
    if (!metaData || !dngWriter_) return;
    pcdToDNG& w = *dngWriter_;
    const platform::Dictionary empty;
    const platform::Value* exifValue = metaData->find(kCGImagePropertyExifDictionary);
    const platform::Dictionary& exifDict =
        exifValue && exifValue->isDictionary() ? exifValue->dictionary() : empty;
    auto exifHasDate = [&](const char* key) {
        return decodeObject(exifDict, key, nullptr, nullptr).has_value();
    };
    try {
        for (const auto& [top, value] : *metaData) {
            if (!value.isDictionary()) continue;
            const platform::Dictionary& dict = value.dictionary();
            if (top == kCGImagePropertyTIFFDictionary) {
                for (const auto& entry : dict) {
                    const std::string& key = entry.first;
                    const auto text = decodeObject(dict, key, nullptr, nullptr);
                    if (key == kCGImagePropertyTIFFImageDescription) {
                        if (text) w.SetImageDescription(text->c_str());
                    } else if (key == kCGImagePropertyTIFFDocumentName) {
                        if (text) w.SetOriginalFileName(text->c_str());
                    } else if (key == kCGImagePropertyTIFFSoftware) {
                        if (text) w.SetSoftware(text->c_str());
                    } else if (key == kCGImagePropertyTIFFMake) {
                        if (text) w.SetMake(text->c_str());
                    } else if (key == kCGImagePropertyTIFFModel) {
                        if (text) w.SetModel(text->c_str());
                    } else if (key == kCGImagePropertyTIFFCopyright) {
                        if (text) w.SetCopyright(text->c_str());
                    } else if (key == kCGImagePropertyTIFFDateTime) {
                        // The modification time stands in only for the
                        // capture dates the Exif dictionary lacks.
                        if (!text) continue;
                        if (!exifHasDate(kCGImagePropertyExifDateTimeOriginal))
                            w.SetDateTimeOriginal(text->c_str());
                        if (!exifHasDate(kCGImagePropertyExifDateTimeDigitized))
                            w.SetDateTimeDigitized(text->c_str());
                    } else {
                        setEXIFFromMacImageProperty(top, key, dict);
                    }
                }
            } else if (top == kCGImagePropertyExifDictionary) {
                for (const auto& entry : dict) {
                    const std::string& key = entry.first;
                    const auto text = decodeObject(dict, key, nullptr, nullptr);
                    if (key == kCGImagePropertyExifDateTimeOriginal) {
                        if (text) w.SetDateTimeOriginal(text->c_str());
                    } else if (key == kCGImagePropertyExifDateTimeDigitized) {
                        if (text) w.SetDateTimeDigitized(text->c_str());
                    } else if (key == kCGImagePropertyExifUserComment) {
                        if (text) w.SetUserComment(text->c_str());
                    } else {
                        setEXIFFromMacImageProperty(top, key, dict);
                    }
                }
            } else if (top == kCGImagePropertyExifAuxDictionary) {
                for (const auto& entry : dict) setEXIFFromMacImageProperty(top, entry.first, dict);
            }
        }
    } catch (const std::exception& e) {
        platform::log("Exception %s in %s\n", e.what(), "dngWrapper::addMetaData");
    }
}
