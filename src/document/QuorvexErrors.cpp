#include "document/QuorvexErrors.h"

namespace {

struct Entry {
    long code;
    const char* text;
};

constexpr Entry kTable[] = {
    {kQuorvexErrorExportFile,
     "Quorvex could not create the export file - may be a permissions problem: "},
    {kQuorvexErrorNoDecoder,
     "Quorvex could not create a decoder object - may be too little memory."},
    {kQuorvexErrorDirectory, "directory read operation."},
    {kQuorvexErrorNotFileURL, "Quorvex could not resolve the file location."},
    {kQuorvexErrorNoPath, "Quorvex could not obtain path information."},
    {kQuorvexErrorNoOutputStage, "Internal Error - finalCGImage does not exist"},
    {kQuorvexErrorNoLinearBuffer, "Internal Error - could not get linear buffer to export"},
    {kQuorvexErrorNoMemory, "Not enough memory to complete operation"},
    {kQuorvexErrorCreateDestination, "Could not create output destination"},
    {kQuorvexErrorFinalizeDestination, "Could not finalize output destination"},
    {kQuorvexErrorPresetName, "Must have a valid name"},
    {kQuorvexErrorNoRawSearchLocation,
     "No valid raw search location available - Set the search location in Preferences to the "
     "folder containing your raw image files."},
    {kQuorvexErrorPhotoCDNotEditable,
     "Photo CD images can be viewed in the browser but not opened for editing."},
};

const char* kSuffixText = "Could not find a raw file name from %1. Name suffix is not valid.";
const char* kNotFoundText =
    "Could not find the raw file corresponding to %1 in search location %2. Set the search "
    "location in Preferences to the folder containing your raw image files.";
const char* kSomeName = "the file's name";
const char* kSomeSearchFolder = "the raw search folder";

// Placeholders are replaced in one pass so that a name holding "%2" stays as it is.
std::string fill(const std::string& format, const std::string& first, const std::string& second) {
    std::string out;
    for (size_t i = 0; i < format.size(); ++i) {
        if (format[i] == '%' && i + 1 < format.size() &&
            (format[i + 1] == '1' || format[i + 1] == '2')) {
            out += format[i + 1] == '1' ? first : second;
            ++i;
        } else {
            out += format[i];
        }
    }
    return out;
}

}  // namespace

std::optional<std::string> quorvexErrorText(long code) {
    for (const Entry& e : kTable)
        if (e.code == code) return std::string(e.text);
    // Without the names at hand the text says what they stand for.
    if (code == kQuorvexErrorRawNameSuffix) return fill(kSuffixText, kSomeName, {});
    if (code == kQuorvexErrorRawFileNotFound)
        return fill(kNotFoundText, kSomeName, kSomeSearchFolder);
    return std::nullopt;
}

platform::Error quorvexError(long code, const std::string& detail) {
    platform::Error error{platform::QuorvexErrorDomain, code, {}};
    switch (code) {
        case kQuorvexErrorExportFile:
            error.failureReason = *quorvexErrorText(code) + detail;
            break;
        case kQuorvexErrorWriter:
            error.failureReason = detail;
            break;
        case kQuorvexErrorRawNameSuffix:
            error.failureReason = fill(kSuffixText, detail, {});
            break;
        case kQuorvexErrorRawFileNotFound:
            error.failureReason = fill(kNotFoundText, detail, kSomeSearchFolder);
            break;
        default:
            error.failureReason = quorvexErrorText(code).value_or(detail);
            break;
    }
    return error;
}

platform::Error quorvexRawFileNotFoundError(const std::string& name,
                                            const std::string& folderPath) {
    return {platform::QuorvexErrorDomain, kQuorvexErrorRawFileNotFound,
            fill(kNotFoundText, name, folderPath)};
}
