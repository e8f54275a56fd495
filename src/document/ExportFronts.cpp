#include "document/ExportFronts.h"

#include <filesystem>
#include <new>
#include <string>
#include <vector>

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

template <class T>
bool samples(std::vector<T>& out, size_t count, platform::Error* error) {
    try {
        out.resize(count);
        return true;
    } catch (const std::bad_alloc&) {
        return fail(error, quorvexError(kQuorvexErrorNoMemory));
    }
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

bool ExportFronts::write(CGImageBitMap& image, const std::string& type,
                         const platform::Dictionary& settings,
                         const platform::Dictionary& properties, const std::filesystem::path& url,
                         const platform::OutputFile::Policy& policy, std::filesystem::path* written,
                         platform::Error* error) {
    const int32_t w = image.getWidth(), h = image.getHeight();
    if (w <= 0 || h <= 0) return fail(error, quorvexError(kQuorvexErrorNoLinearBuffer));
    const size_t pixels = size_t(w) * size_t(h);
    const bool exr = type == DocumentExport::kTypeEXR;

    std::vector<float> rgba;
    std::vector<uint16_t> rgb;
    if (exr) {
        if (!samples(rgba, pixels * 4, error)) return false;
        if (!image.getFloatRGBABuffer(rgba))
            return fail(error, quorvexError(kQuorvexErrorNoLinearBuffer));
    } else {
        if (!samples(rgb, pixels * 3, error)) return false;
        if (!image.getLinearBuffer(rgb))
            return fail(error, quorvexError(kQuorvexErrorNoLinearBuffer));
    }

    platform::Error cause;
    auto out = platform::OutputFile::create(url, &cause);
    if (!out)
        return fail(error, DocumentExport::destinationError(kQuorvexErrorCreateDestination, cause));
    int status = 0;
    std::string text;
    if (exr) {
        auto front = exrWrapper::initWithSize(w, h);
        if (!front) return fail(error, quorvexError(kQuorvexErrorNoMemory));
        status = front->writeToFile(rgba.data(), DocumentExport::exrFormatCode(settings),
                                    out->writerPath(), &properties, type);
        if (status != 0) text = withoutPath(front->errorStringForCode(status), out->writerPath());
    } else {
        auto front = dngWrapper::initWithSize(w, h);
        if (!front) return fail(error, quorvexError(kQuorvexErrorNoMemory));
        status = front->writeToFile(rgb.data(), 0, out->writerPath(), nullptr, &properties, type);
        if (status != 0) {
            text = front->writeFailure();
            if (text.empty()) text = front->errorStringForCode(status);
        }
    }
    if (status != 0) return fail(error, DocumentExport::writeError(url, text));
    auto placed = out->publish(policy, &cause);
    if (!placed)
        return fail(error,
                    DocumentExport::destinationError(kQuorvexErrorFinalizeDestination, cause));
    if (written) *written = *placed;
    return true;
}
