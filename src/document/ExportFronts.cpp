#include "document/ExportFronts.h"

#include <filesystem>
#include <string>

#include "dng/core/dng_errors.h"
#include "document/DocumentExport.h"
#include "document/QuorvexErrors.h"
#include "engine/CGImageBitMap.h"
#include "export/dngWrapper.h"
#include "export/exrWrapper.h"

namespace {

bool fail(platform::Error* error, const platform::Error& e) {
    if (error) *error = e;
    return false;
}

// The OpenEXR library names the file it was given, which is the hidden
// file being written, not the destination the message goes with.
std::string withoutPath(std::string text, const std::filesystem::path& writerPath) {
    for (const std::string& name : {" \"" + writerPath.string() + "\"", writerPath.string()})
        for (size_t at; (at = text.find(name)) != std::string::npos;) text.erase(at, name.size());
    return text;
}

}  // namespace

bool ExportFronts::handles(const std::string& type) {
    return type == DocumentExport::kTypeTIFF || type == DocumentExport::kTypeDNG ||
           type == DocumentExport::kTypeEXR;
}

bool ExportFronts::write(std::shared_ptr<CGImageBitMap> image, const std::string& type,
                         const platform::Dictionary& settings,
                         const platform::Dictionary& properties, const std::filesystem::path& url,
                         const platform::OutputFile::Policy& policy, std::filesystem::path* written,
                         platform::Error* error) {
    const int32_t w = image ? image->getWidth() : 0, h = image ? image->getHeight() : 0;
    if (w <= 0 || h <= 0) return fail(error, quorvexError(kQuorvexErrorNoLinearBuffer));
    // The rows are read from several threads once the layout is known.
    if (!image->getDataProvider()) return fail(error, quorvexError(kQuorvexErrorNoLinearBuffer));
    const bool exr = type == DocumentExport::kTypeEXR;

    platform::Error cause;
    auto out = platform::OutputFile::create(url, &cause, policy.folderNames);
    if (!out)
        return fail(error,
                    DocumentExport::destinationError(kQuorvexErrorCreateDestination, url, cause));
    int status = 0;
    std::string text;
    if (exr) {
        auto front = exrWrapper::initWithSize(w, h);
        if (!front) return fail(error, DocumentExport::noMemoryError());
        status = front->writeToFile(
            [&image](int first, int count, float* rgba) {
                return image->getFloatRGBARows(size_t(first), size_t(count), rgba);
            },
            DocumentExport::exrFormatCode(settings), out->writerPath(), &properties, type);
        if (status == exrWrapper::kNoMemory) return fail(error, DocumentExport::noMemoryError());
        if (status != 0) text = withoutPath(front->errorStringForCode(status), out->writerPath());
    } else {
        auto front = dngWrapper::initWithSize(w, h);
        if (!front) return fail(error, DocumentExport::noMemoryError());
        // The negative copies the pixels: the rendering goes once they are in.
        status = front->writeToFile(
            [source = std::move(image)](uint32_t first, uint32_t count, uint16_t* rows) {
                return source->getLinearRows(first, count, rows);
            },
            0, out->writerPath(), nullptr, &properties, type);
        if (status == dng_error_memory) return fail(error, DocumentExport::noMemoryError());
        if (status != 0) {
            text = front->writeFailure();
            if (text.empty()) text = front->errorStringForCode(status);
        }
    }
    if (status != 0) return fail(error, DocumentExport::writeError(url, text));
    auto placed = out->publish(policy, &cause);
    if (!placed)
        return fail(error,
                    DocumentExport::destinationError(kQuorvexErrorFinalizeDestination, url, cause));
    // Moved, not copied: once the file is in place nothing may fail.
    if (written) *written = std::move(*placed);
    return true;
}
