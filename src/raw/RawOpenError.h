// The errors of a raw file that cannot be decoded, shared by the DNG reader
// and the other makers' decoder so that both speak with one voice.
#pragma once

#include <string>

#include "platform/Error.h"

// An error in "RawOpenErrorDomain" with the given reason.
platform::Error RawOpenError(std::string reason);
// The file name's extension without its dot, in upper case ("" for none).
std::string RawUpperExtension(const std::string& path);
// "The raw format of "NAME" (EXT) is not supported: WHY."
platform::Error RawUnsupportedFormat(const std::string& path, const std::string& why);
// "The raw file "NAME" is damaged or cut short: it begins as a FORMAT file,
// but WHY." A file whose structure is whole may instead be of a camera newer
// than the decoder, and says so.
platform::Error RawDamagedFormat(const std::string& path, const std::string& format,
                                 const std::string& why, bool structureWhole = false);
