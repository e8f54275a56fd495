// What both export fronts share of the image-property import: the numeric
// property index (84 keys of the TIFF, Exif and ExifAux dictionaries; 60 is
// unused), the decoding of one value into text, integer and real, storing one
// indexed property in an EXIF record, and the walk of a whole dictionary into
// a record (the DNG front's import, which the JPEG export shares).
// Stateless; safe from any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "dng/core/dng_date_time.h"
#include "platform/Value.h"

class dng_exif;

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

    // An EXIF date text ("YYYY:MM:DD HH:MM:SS"); a text that does not parse
    // gives the all-zero date (absent in a file).
    static dng_date_time_info parsedDate(const char* text);

    // Stores the property with the given index in the record; indices below
    // 3 and those the record has no field for are ignored, and so is a
    // number no field can hold.
    static void setExifProperty(dng_exif& exif, int index, const char* text, int32_t intValue,
                                double realValue);

    // The properties without an exposure the camera did not know: an
    // ExposureTime or FNumber of 0 (or less, or not a number) is "unknown",
    // so it goes, and with it the APEX value that would otherwise stand in
    // for it (ShutterSpeedValue, ApertureValue).
    static platform::Dictionary withoutUnknownExposure(const platform::Dictionary& metaData);

    // Every property of the "{TIFF}", "{Exif}" and "{ExifAux}" dictionaries
    // into the record: the dates by their own keys (TIFF DateTime only for a
    // capture date the Exif dictionary lacks), the user comment, the rest by
    // index; then the lens make, the original time's SubsecTimeOriginal and
    // OffsetTimeOriginal, and the "{GPS}" dictionary. An unknown exposure
    // brings nothing (see above).
    static void importProperties(const platform::Dictionary& metaData, dng_exif& exif);

    // An EXIF time offset text ("+02:00", "-05:30") as minutes east of UTC.
    static std::optional<int32_t> offsetMinutes(const platform::Dictionary& exif, const char* key);
};
