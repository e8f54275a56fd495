// The errors of a raw file that cannot be decoded, shared by the DNG reader
// and the other makers' decoder so that both speak with one voice, and the
// raw formats' extensions both they and the browser go by.
#pragma once

#include <cstdint>
#include <set>
#include <string>

#include "dng/core/dng_errors.h"
#include "platform/Error.h"

class dng_exception;

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
// "1 byte", "N bytes".
std::string RawByteCount(uint64_t bytes);
// The file name without its folder.
std::string RawFileName(const std::string& path);
// "There is not enough memory to decode "NAME"." Made before a decode, it
// logs nothing: only a failure that happens is logged.
platform::Error RawNotEnoughMemory(const std::string& path);
// "The file "NAME" is not developed: CLAUSE" (a file that cannot be read).
platform::Error RawUnreadable(const std::string& path, const std::string& clause);
// Every extension of the raw formats the decoders take, lower case: the
// browser's list is made from it. Made once and never freed.
const std::set<std::string>& RawFormatExtensions();
// Whether the file's extension, in any letter case, is one of those.
bool RawNamesKnownFormat(const std::string& path);
// A file that no decoder takes: under a raw format's name it does not begin
// as that format and may be damaged; under any other name its format is
// not supported.
platform::Error RawUnknownFormat(const std::string& path);

// The DNG reader's errors. What an error code means when its thrower gave
// no text.
const char* CodeMeaning(dng_error_code code);
// ": what failed" from the thrower's text, or from the error's code when it
// gave none or its text is the reader's own. The code and the text go to
// the log.
std::string WhatFailed(const dng_exception& e);
// The reader's error as the person reads it, naming the file.
platform::Error DngError(const std::string& path, const dng_exception& e);
