// Sets a numeric libtiff tag from doubles, in whatever calling convention
// libtiff's definition of the tag asks for (fixed count or passed count,
// scalar or array, float or double storage for rationals). Shared by the test
// chart tool and the tests that write small DNG files.
#pragma once

#define TIFF_DISABLE_DEPRECATED
#include <tiffio.h>

#include <cstdint>
#include <vector>

namespace tifftags {

inline bool SetTiffNumbers(TIFF* tif, uint32_t tag, const std::vector<double>& values) {
    const TIFFField* field = TIFFFindField(tif, tag, TIFF_ANY);
    if (!field || values.empty()) return false;
    const TIFFDataType type = TIFFFieldDataType(field);
    const int storage = TIFFFieldSetGetSize(field);
    const bool passCount = TIFFFieldPassCount(field) != 0;
    const bool wideCount = TIFFFieldReadCount(field) == TIFF_VARIABLE2;
    const auto count = static_cast<uint32_t>(values.size());

    std::vector<uint8_t> bytes;
    std::vector<uint16_t> shorts;
    std::vector<uint32_t> longs;
    std::vector<float> floats;
    std::vector<double> doubles;
    const void* array = nullptr;
    switch (type) {
        case TIFF_BYTE:
        case TIFF_UNDEFINED:
            for (double v : values) bytes.push_back(static_cast<uint8_t>(v));
            array = bytes.data();
            break;
        case TIFF_SHORT:
            for (double v : values) shorts.push_back(static_cast<uint16_t>(v));
            array = shorts.data();
            break;
        case TIFF_LONG:
            for (double v : values) longs.push_back(static_cast<uint32_t>(v));
            array = longs.data();
            break;
        case TIFF_RATIONAL:
        case TIFF_SRATIONAL:
        case TIFF_FLOAT:
        case TIFF_DOUBLE:
            if (storage == 8) {
                doubles = values;
                array = doubles.data();
            } else {
                for (double v : values) floats.push_back(static_cast<float>(v));
                array = floats.data();
            }
            break;
        default:
            return false;
    }
    if (passCount) {
        return wideCount ? TIFFSetField(tif, tag, count, array) == 1
                         : TIFFSetField(tif, tag, static_cast<int>(count), array) == 1;
    }
    if (TIFFFieldWriteCount(field) == 1) {
        switch (type) {
            case TIFF_BYTE:
            case TIFF_SHORT:
                return TIFFSetField(tif, tag, static_cast<int>(values[0])) == 1;
            case TIFF_LONG:
                return TIFFSetField(tif, tag, static_cast<uint32_t>(values[0])) == 1;
            default:
                return TIFFSetField(tif, tag, values[0]) == 1;
        }
    }
    return TIFFSetField(tif, tag, array) == 1;
}

}  // namespace tifftags
