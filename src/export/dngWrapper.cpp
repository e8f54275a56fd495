#include "export/dngWrapper.h"

#include <exception>
#include <new>

#include "dng/core/dng_exception.h"
#include "dng/image/dng_metadata.h"
#include "dng/image/dng_negative.h"
#include "export/DngTiffWriter.h"
#include "export/ImagePropertyImport.h"
#include "platform/Log.h"
#include "platform/Version.h"
#include "raw/RawMetadata.h"

std::shared_ptr<dngWrapper> dngWrapper::initWithSize(int width, int height) {
    try {
        std::shared_ptr<dngWrapper> wrapper(new dngWrapper());
        wrapper->dngWriter_ = std::make_unique<DngTiffWriter>(width, height);
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
    return writeBuiltNegative(
        dngWriter_->BuildNegative(reinterpret_cast<const uint8_t*>(buffer), 0), fileName, embedFile,
        metaData, type);
}

int dngWrapper::writeToFile(std::function<bool(uint32_t, uint32_t, uint16_t*)> rows,
                            int outputFormat, const std::filesystem::path& fileName,
                            const std::filesystem::path* embedFile,
                            const platform::Dictionary* metaData, const std::string& type) {
    if (!dngWriter_) return -1;
    if (outputFormat == 1) dngWriter_->SetCFAPattern(0xB4B4B4B4);
    return writeBuiltNegative(dngWriter_->BuildNegative(std::move(rows), 0), fileName, embedFile,
                              metaData, type);
}

int dngWrapper::writeBuiltNegative(int status, const std::filesystem::path& fileName,
                                   const std::filesystem::path* embedFile,
                                   const platform::Dictionary* metaData, const std::string& type) {
    dngWriter_->SetMake("Quorvex app");
    dngWriter_->SetModel("Virtual camera");
    dngWriter_->SetSoftware(platform::kProgramName);
    const bool described = addMetaData(metaData);
    if (status != 0) return status;
    // A file without the source's metadata would pass for a complete one.
    if (!described) return dng_error_memory;
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
    return DngTiffWriter::errorStringForCode(code);
}

std::string dngWrapper::writeFailure() const {
    return dngWriter_ ? dngWriter_->writeFailure() : std::string();
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

bool dngWrapper::addMetaData(const platform::Dictionary* metaData) {
    if (!metaData || !dngWriter_) return true;
    dng_negative* negative = dngWriter_->Negative();
    if (!negative || !negative->Metadata().GetExif()) return true;
    try {
        ImagePropertyImport::importProperties(*metaData, *negative->Metadata().GetExif());
        // The document name also names the original raw file.
        const platform::Value* tiff = metaData->find(kCGImagePropertyTIFFDictionary);
        if (tiff && tiff->isDictionary()) {
            if (const auto name = decodeObject(tiff->dictionary(), kCGImagePropertyTIFFDocumentName,
                                               nullptr, nullptr))
                negative->SetOriginalRawFileName(name->c_str());
        }
        // The camera's name as profiles match it, where the source states one.
        const platform::Value* dng = metaData->find(kCGImagePropertyDNGDictionary);
        if (dng && dng->isDictionary())
            if (const auto unique = decodeObject(
                    dng->dictionary(), kCGImagePropertyDNGUniqueCameraModel, nullptr, nullptr);
                unique && !unique->empty())
                negative->SetModelName(unique->c_str());
    } catch (const std::bad_alloc&) {
        platform::log("%s: not enough memory", "dngWrapper::addMetaData");
        return false;
    } catch (const dng_exception& e) {
        if (e.ErrorCode() == dng_error_memory) return false;
        platform::log("Exception %d in %s", int(e.ErrorCode()), "dngWrapper::addMetaData");
    } catch (const std::exception& e) {
        platform::log("Exception %s in %s\n", e.what(), "dngWrapper::addMetaData");
    }
    return true;
}
