// The EXIF block a JPEG export carries: the metadata dictionary of image
// properties imported into an EXIF record as the other export formats do,
// plus what this JPEG states of itself (orientation 1, as the pixels are
// already turned; 72 pixels per inch; centred chroma; Y, Cb, Cr components;
// sRGB; its pixel dimensions; the software name). The DNG library's EXIF
// block writer serialises it; the platform's JPEG writer puts it in the APP1
// segment.
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
    // ("{TIFF}", "{Exif}" and "{ExifAux}" sub-dictionaries), for an image of
    // width × height pixels. Texts are cut at 1024 bytes so the block always
    // fits one segment; empty when the block cannot be built.
    static std::vector<uint8_t> exifBlock(const platform::Dictionary& properties,
                                          const std::string& software, uint32_t width,
                                          uint32_t height);
};
