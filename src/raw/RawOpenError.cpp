#include "raw/RawOpenError.h"

#include <cctype>
#include <filesystem>
#include <utility>

namespace {
constexpr long kRawOpenErrorCode = -5;
}

platform::Error RawOpenError(std::string reason) {
    return platform::Error{platform::RawOpenErrorDomain, kRawOpenErrorCode, std::move(reason)};
}

std::string RawUpperExtension(const std::string& path) {
    std::string ext = std::filesystem::path(path).extension().string();
    if (!ext.empty() && ext[0] == '.') ext.erase(0, 1);
    for (char& c : ext) c = char(std::toupper(static_cast<unsigned char>(c)));
    return ext;
}

platform::Error RawUnsupportedFormat(const std::string& path, const std::string& why) {
    const std::string ext = RawUpperExtension(path);
    return RawOpenError("The raw format of \"" + std::filesystem::path(path).filename().string() +
                        "\" (" + (ext.empty() ? std::string("no extension") : ext) +
                        ") is not supported: " + why + ".");
}

platform::Error RawDamagedFormat(const std::string& path, const std::string& format,
                                 const std::string& why, bool structureWhole) {
    return RawOpenError("The raw file \"" + std::filesystem::path(path).filename().string() +
                        (structureWhole
                             ? "\" is damaged, or of a camera newer than Quorvex's decoder: "
                             : "\" is damaged or cut short: ") +
                        "it begins as a " + format + " file, but " + why + ".");
}
