// The EXIF block a JPEG export carries, made straight from the metadata
// dictionary of image properties: the camera's make, model, exposure, date
// and lens facts, orientation 1 (the pixels are already turned) and the
// software name. The platform's JPEG writer puts it in the APP1 segment.
//
// Stateless; every function may be called from any thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/Value.h"

class JpegExport {
public:
    // The TIFF structure of an EXIF APP1 segment (without the "Exif\0\0"
    // prefix), little-endian, from a metadata dictionary of image properties
    // ("{TIFF}" and "{Exif}" sub-dictionaries), for an image of width ×
    // height pixels. Orientation is always 1.
    static std::vector<uint8_t> exifBlock(const platform::Dictionary& properties,
                                          const std::string& software, uint32_t width,
                                          uint32_t height);
};
