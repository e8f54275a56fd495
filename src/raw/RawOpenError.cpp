#include "raw/RawOpenError.h"

#include <cctype>
#include <filesystem>
#include <utility>

#include "dng/core/dng_exception.h"
#include "platform/AsciiCase.h"
#include "platform/Log.h"

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

std::string RawByteCount(uint64_t bytes) {
    return std::to_string(bytes) + (bytes == 1 ? " byte" : " bytes");
}

std::string RawFileName(const std::string& path) {
    return std::filesystem::path(path).filename().string();
}

const char* CodeMeaning(dng_error_code code) {
    switch (code) {
        case dng_error_not_yet_implemented:
            return "it uses a feature this system does not implement";
        case dng_error_unsupported_dng:
            return "its DNG version is newer than this reader";
        case dng_error_memory:
            return "memory ran out";
        case dng_error_open_file:
            return "it cannot be opened";
        case dng_error_read_file:
            return "reading it failed";
        case dng_error_end_of_file:
            return "it ends before its data does";
        case dng_error_file_is_damaged:
            return "its data does not match its checksum";
        case dng_error_bad_format:
            return "its structure is not that of a DNG file";
        case dng_error_matrix_math:
            return "its colour tags give no usable colour";
        default:
            return "an unexpected failure in the DNG reader";
    }
}

namespace {

// Codes whose throwers' texts speak of the reader's own parts (a memory
// block's class, a matrix step, a broken assumption) rather than the file.
bool TextIsInternal(dng_error_code code) {
    return code == dng_error_unknown || code == dng_error_memory || code == dng_error_matrix_math ||
           code == dng_error_host_insufficient;
}

}  // namespace

std::string WhatFailed(const dng_exception& e) {
    std::string what = e.Message();
    while (!what.empty() && (what.back() == '.' || what.back() == ' ')) what.pop_back();
    platform::log("DNG reader: error %ld: %s", long(e.ErrorCode()), what.c_str());
    if (!what.empty() && !TextIsInternal(e.ErrorCode())) return ": " + what;
    return std::string(": ") + CodeMeaning(e.ErrorCode());
}

platform::Error DngError(const std::string& path, const dng_exception& e) {
    const std::string name = "\"" + RawFileName(path) + "\"";
    const std::string why = WhatFailed(e) + ".";
    switch (e.ErrorCode()) {
        case dng_error_not_yet_implemented:
            return RawOpenError("The DNG file " + name +
                                " stores its image in a compression this system does not decode" +
                                why);
        case dng_error_unsupported_dng:
            return RawOpenError("The DNG file " + name + " needs a newer DNG reader" + why);
        case dng_error_memory:
            return RawNotEnoughMemory(path);
        case dng_error_open_file:
            return RawOpenError("The file " + name + " could not be opened" + why);
        case dng_error_read_file:
            return RawOpenError("The file " + name + " is not developed" + why);
        case dng_error_end_of_file:
        case dng_error_file_is_damaged:
            return RawOpenError("The DNG file " + name + " is truncated or damaged" + why);
        case dng_error_bad_format:
            return RawOpenError("The DNG file " + name +
                                " is malformed or lacks what a decode needs" + why);
        case dng_error_matrix_math:
            return RawOpenError("The DNG file " + name +
                                " cannot be rendered: its colour matrices do not turn the camera's "
                                "colours into any real colour, so its colour tags are damaged.");
        default:
            return RawOpenError("The DNG file " + name + " could not be decoded" + why);
    }
}

platform::Error RawNotEnoughMemory(const std::string& path) {
    return RawOpenError("There is not enough memory to decode \"" + RawFileName(path) + "\".");
}

platform::Error RawUnreadable(const std::string& path, const std::string& clause) {
    return RawOpenError("The file \"" + RawFileName(path) + "\" is not developed: " + clause);
}

const std::set<std::string>& RawFormatExtensions() {
    static const std::set<std::string>* exts = new std::set<std::string>{
        "3fr", "ari", "arw", "srf", "sr2", "arq", "bay", "crw", "cr2", "cr3", "cap",
        "iiq", "eip", "dcs", "dcr", "drf", "k25", "kdc", "dng", "erf", "fff", "mef",
        "mos", "mrw", "nef", "nrw", "orf", "pef", "ptx", "pxn", "r3d", "raf", "raw",
        "rw2", "rwl", "rwz", "srw", "x3f", "qtk", "mdc", "ori", "sti"};
    return *exts;
}

bool RawNamesKnownFormat(const std::string& path) {
    return RawFormatExtensions().count(platform::lowercaseExtension(path)) > 0;
}

platform::Error RawUnknownFormat(const std::string& path) {
    if (!RawNamesKnownFormat(path))
        return RawUnsupportedFormat(path, "it is no camera raw format that Quorvex decodes");
    return RawOpenError(
        "The file \"" + RawFileName(path) + "\" does not begin as the " + RawUpperExtension(path) +
        " file its name says, or as any raw file Quorvex reads: it may be damaged.");
}
