#include <gtest/gtest.h>
#include <jpeglib.h>

#include <csetjmp>
#include <cstdio>
#include <filesystem>
#include <vector>

#include "platform/JpegWriter.h"
#include "support/TestSupport.h"

namespace {

struct Decoded {
    uint32_t width = 0;
    uint32_t height = 0;
    std::vector<uint8_t> pixels;
    std::vector<uint8_t> app1;
    std::vector<uint8_t> icc;
};

bool Decode(const std::string& path, Decoded& out) {
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) return false;
    jpeg_decompress_struct cinfo;
    jpeg_error_mgr errors;
    cinfo.err = jpeg_std_error(&errors);
    jpeg_create_decompress(&cinfo);
    jpeg_stdio_src(&cinfo, file);
    jpeg_save_markers(&cinfo, JPEG_APP0 + 1, 0xFFFF);
    jpeg_save_markers(&cinfo, JPEG_APP0 + 2, 0xFFFF);
    jpeg_read_header(&cinfo, TRUE);
    for (jpeg_saved_marker_ptr m = cinfo.marker_list; m != nullptr; m = m->next) {
        if (m->marker == JPEG_APP0 + 1) out.app1.assign(m->data, m->data + m->data_length);
    }
    JOCTET* icc = nullptr;
    unsigned int iccLength = 0;
    if (jpeg_read_icc_profile(&cinfo, &icc, &iccLength)) {
        out.icc.assign(icc, icc + iccLength);
        std::free(icc);
    }
    cinfo.out_color_space = JCS_RGB;
    jpeg_start_decompress(&cinfo);
    out.width = cinfo.output_width;
    out.height = cinfo.output_height;
    out.pixels.resize(static_cast<size_t>(out.width) * out.height * 3);
    while (cinfo.output_scanline < cinfo.output_height) {
        JSAMPROW row =
            out.pixels.data() + static_cast<size_t>(cinfo.output_scanline) * out.width * 3;
        jpeg_read_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_decompress(&cinfo);
    jpeg_destroy_decompress(&cinfo);
    std::fclose(file);
    return true;
}

std::vector<uint8_t> Gradient(uint32_t width, uint32_t height) {
    std::vector<uint8_t> rgb(static_cast<size_t>(width) * height * 3);
    for (uint32_t y = 0; y < height; y++) {
        for (uint32_t x = 0; x < width; x++) {
            uint8_t* p = &rgb[(static_cast<size_t>(y) * width + x) * 3];
            p[0] = static_cast<uint8_t>(x * 255 / (width - 1));
            p[1] = static_cast<uint8_t>(y * 255 / (height - 1));
            p[2] = 128;
        }
    }
    return rgb;
}

}  // namespace

TEST(JpegWriter, WritesPixelsExifAndAProfileSplitOverSegments) {
    testsupport::ScratchDir scratch;
    const std::string path = (scratch.path() / "out.jpg").string();
    const uint32_t width = 40, height = 24;
    const std::vector<uint8_t> rgb = Gradient(width, height);
    const std::vector<uint8_t> exif = {'I', 'I', 42, 0, 8, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    // Larger than one APP2 segment, so it must be chunked and reassembled.
    std::vector<uint8_t> icc(100000);
    for (size_t i = 0; i < icc.size(); i++) icc[i] = static_cast<uint8_t>(i * 7);

    platform::Error error;
    ASSERT_TRUE(platform::writeJPEG(rgb.data(), width, height, 95, exif, icc, path, &error))
        << error.description();
    Decoded decoded;
    ASSERT_TRUE(Decode(path, decoded));
    EXPECT_EQ(decoded.width, width);
    EXPECT_EQ(decoded.height, height);
    int worst = 0;
    for (size_t i = 0; i < rgb.size(); i++) {
        worst = std::max(worst, std::abs(int(rgb[i]) - int(decoded.pixels[i])));
    }
    EXPECT_LE(worst, 12);

    std::vector<uint8_t> expectedApp1 = {'E', 'x', 'i', 'f', 0, 0};
    expectedApp1.insert(expectedApp1.end(), exif.begin(), exif.end());
    EXPECT_EQ(decoded.app1, expectedApp1);
    EXPECT_EQ(decoded.icc, icc);
}

TEST(JpegWriter, WithoutExtrasWritesNoMarkers) {
    testsupport::ScratchDir scratch;
    const std::string path = (scratch.path() / "plain.jpg").string();
    const std::vector<uint8_t> rgb = Gradient(8, 8);
    ASSERT_TRUE(platform::writeJPEG(rgb.data(), 8, 8, 0, {}, {}, path));
    Decoded decoded;
    ASSERT_TRUE(Decode(path, decoded));
    EXPECT_TRUE(decoded.app1.empty());
    EXPECT_TRUE(decoded.icc.empty());
}

TEST(JpegWriter, RefusesWhatCannotBeWrittenAndLeavesNoFile) {
    testsupport::ScratchDir scratch;
    const std::string path = (scratch.path() / "bad.jpg").string();
    const std::vector<uint8_t> rgb = Gradient(8, 8);
    platform::Error error;

    const std::vector<uint8_t> hugeExif(platform::kMaxJpegExifBlock + 1, 0);
    EXPECT_FALSE(platform::writeJPEG(rgb.data(), 8, 8, 90, hugeExif, {}, path, &error));
    EXPECT_EQ(error.domain, platform::QuorvexErrorDomain);
    EXPECT_FALSE(platform::writeJPEG(rgb.data(), 0, 8, 90, {}, {}, path, &error));
    EXPECT_FALSE(platform::writeJPEG(nullptr, 8, 8, 90, {}, {}, path, &error));
    EXPECT_FALSE(std::filesystem::exists(path));

    const std::string missing = (scratch.path() / "no" / "such" / "dir.jpg").string();
    EXPECT_FALSE(platform::writeJPEG(rgb.data(), 8, 8, 90, {}, {}, missing, &error));
    EXPECT_EQ(error.domain, platform::PosixErrorDomain);

    const std::vector<uint8_t> fits(platform::kMaxJpegExifBlock, 0);
    EXPECT_TRUE(platform::writeJPEG(rgb.data(), 8, 8, 90, fits, {}, path, &error));
}
