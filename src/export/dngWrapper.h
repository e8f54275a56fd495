// The document's front for DNG and 16-bit TIFF files: one DngTiffWriter writer
// per exported file, fed a packed 16-bit RGB buffer, the source's
// image-property dictionary (its TIFF, Exif and ExifAux dictionaries go into
// the negative's EXIF record) and the destination path. Errors come back as
// codes with texts for the document's alerts.
//
// Ownership: owns its writer. One thread at a time.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/Value.h"

class DngTiffWriter;

class dngWrapper {
public:
    // Null when the writer cannot be made.
    static std::shared_ptr<dngWrapper> initWithSize(int width, int height);
    ~dngWrapper();
    dngWrapper(const dngWrapper&) = delete;
    dngWrapper& operator=(const dngWrapper&) = delete;

    // 0 on success, -1 without a writer, else a DNG error code. `buffer`:
    // width × height × 3 little-endian 16-bit samples, linear ProPhoto;
    // `outputFormat` 1 writes a Bayer mosaic, anything else RGB; `type`
    // containing "dng" or "tif" picks the format. `fileName` is opened
    // created-or-truncated (the caller hands a path to a fresh file).
    int writeToFile(const uint16_t* buffer, int outputFormat, const std::filesystem::path& fileName,
                    const std::filesystem::path* embedFile, const platform::Dictionary* metaData,
                    const std::string& type);
    // The same from rows read band by band (see DngTiffWriter::RowSource);
    // the source is released once the negative holds the pixels.
    int writeToFile(std::function<bool(uint32_t first, uint32_t count, uint16_t* rows)> rows,
                    int outputFormat, const std::filesystem::path& fileName,
                    const std::filesystem::path* embedFile, const platform::Dictionary* metaData,
                    const std::string& type);
    std::string errorStringForCode(int code) const;
    // The system's reason for the last failed write, or empty.
    std::string writeFailure() const;

    // False when memory ran short (the file would lack the metadata).
    bool addMetaData(const platform::Dictionary* metaData);
    void setEXIFFromMacImageProperty(std::string_view dictionaryKey, std::string_view property,
                                     const platform::Dictionary& dict);
    static std::optional<std::string> decodeObject(const platform::Dictionary& dict,
                                                   std::string_view key, int32_t* iValue,
                                                   double* fValue);

    DngTiffWriter* writer() const { return dngWriter_.get(); }

private:
    dngWrapper() = default;
    // The rest of writeToFile once the negative is built (`status` is the
    // build's result).
    int writeBuiltNegative(int status, const std::filesystem::path& fileName,
                           const std::filesystem::path* embedFile,
                           const platform::Dictionary* metaData, const std::string& type);
    std::unique_ptr<DngTiffWriter> dngWriter_;
};
