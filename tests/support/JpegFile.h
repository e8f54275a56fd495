// Decodes a JPEG file for tests that look at what an export wrote.
#pragma once

#include <jpeglib.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <vector>

namespace testsupport {

// The file's pixels as packed 8-bit RGB; false when it cannot be opened.
inline bool decodeJpegFile(const std::filesystem::path& file, std::vector<uint8_t>& rgb,
                           uint32_t& w, uint32_t& h) {
    FILE* f = std::fopen(file.c_str(), "rb");
    if (!f) return false;
    jpeg_decompress_struct cinfo;
    jpeg_error_mgr err;
    cinfo.err = jpeg_std_error(&err);
    jpeg_create_decompress(&cinfo);
    jpeg_stdio_src(&cinfo, f);
    jpeg_read_header(&cinfo, TRUE);
    cinfo.out_color_space = JCS_RGB;
    jpeg_start_decompress(&cinfo);
    w = cinfo.output_width;
    h = cinfo.output_height;
    rgb.resize(size_t(w) * h * 3);
    while (cinfo.output_scanline < h) {
        JSAMPROW row = rgb.data() + size_t(cinfo.output_scanline) * w * 3;
        jpeg_read_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_decompress(&cinfo);
    jpeg_destroy_decompress(&cinfo);
    std::fclose(f);
    return true;
}

}  // namespace testsupport
