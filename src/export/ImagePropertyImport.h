// What both export fronts share of the image-property import: the numeric
// property index (84 keys of the TIFF, Exif and ExifAux dictionaries; 60 is
// unused) and the decoding of one value into text, integer and real. The
// fronts walk the dictionary themselves, as they handle some keys directly.
// Stateless; safe from any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/Value.h"

class ImagePropertyImport {
public:
    static constexpr int kMaxIndex = 83;

    // The index of a key of the given sub-dictionary ("{TIFF}", "{Exif}" or
    // "{ExifAux}"), or -1.
    static int indexOf(std::string_view dictionaryKey, std::string_view key);

    // The value of `key` (the first element of an array): a string's text,
    // or a number's text with its integer (narrowed to 32 bits) and real
    // stored where asked. Anything else, or no value: nullopt.
    static std::optional<std::string> decodeObject(const platform::Dictionary& dict,
                                                   std::string_view key, int32_t* iValue,
                                                   double* fValue);

    // The 16 bytes of a 32-hex-digit text; false for anything else.
    static bool parseUniqueID(const std::string& text, uint8_t out[16]);
};
