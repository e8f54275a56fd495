// The document's front for OpenEXR files: one exrWriter per exported file,
// fed float RGBA pixels, the export's output format (0 half RGBA, 1 float
// RGBA, 2 half RGB, 3 float RGB) and the source's image properties, which
// become header attributes.
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

class exrWriter;

class exrWrapper {
public:
    static std::shared_ptr<exrWrapper> initWithSize(int width, int height);
    ~exrWrapper();
    exrWrapper(const exrWrapper&) = delete;
    exrWrapper& operator=(const exrWrapper&) = delete;

    // What writeToFile returns when memory ran short.
    static constexpr int kNoMemory = 2;
    // -1 without a writer, else exrWriter::write's result (0, 1 or kNoMemory).
    int writeToFile(const float* pixels, int outputFormat, const std::filesystem::path& fileName,
                    const platform::Dictionary* metaData, const std::string& type);
    // The same from rows read band by band (see exrWriter::RowSource).
    int writeToFile(const std::function<bool(int first, int count, float* rgba)>& rows,
                    int outputFormat, const std::filesystem::path& fileName,
                    const platform::Dictionary* metaData, const std::string& type);
    std::string errorStringForCode(int code) const;

    void addMetaData(const platform::Dictionary* metaData);
    void setEXIFFromMacImageProperty(std::string_view dictionaryKey, std::string_view property,
                                     const platform::Dictionary& dict);
    static std::optional<std::string> decodeObject(const platform::Dictionary& dict,
                                                   std::string_view key, int32_t* iValue,
                                                   double* fValue);

    exrWriter* writer() const { return exrWriter_.get(); }

private:
    exrWrapper() = default;
    void addUnindexed(const platform::Dictionary& metaData, bool originalDate);
    // The sample format and the attributes, before either write.
    void prepare(int outputFormat, const platform::Dictionary* metaData);
    std::unique_ptr<exrWriter> exrWriter_;
};
