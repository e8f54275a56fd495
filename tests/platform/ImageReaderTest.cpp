#include <gtest/gtest.h>
#include <jpeglib.h>
#include <png.h>
#include <tiffio.h>

#include <cstdio>
#include <fstream>
#include <vector>

#include "platform/ImageReader.h"
#include "platform/Log.h"
#include "support/TestSupport.h"

namespace fs = std::filesystem;

namespace {

// A w x h picture: left half red, right half blue.
uint8_t sample(uint32_t x, uint32_t w, int c) {
    bool left = x < w / 2;
    return c == 0 ? (left ? 200 : 10) : c == 1 ? 30 : (left ? 10 : 220);
}

void writeJPEG(const fs::path& p, uint32_t w, uint32_t h) {
    FILE* f = std::fopen(p.c_str(), "wb");
    jpeg_compress_struct c{};
    jpeg_error_mgr err{};
    c.err = jpeg_std_error(&err);
    jpeg_create_compress(&c);
    jpeg_stdio_dest(&c, f);
    c.image_width = w;
    c.image_height = h;
    c.input_components = 3;
    c.in_color_space = JCS_RGB;
    jpeg_set_defaults(&c);
    jpeg_set_quality(&c, 95, TRUE);
    jpeg_start_compress(&c, TRUE);
    std::vector<uint8_t> row(w * 3);
    for (uint32_t x = 0; x < w; ++x)
        for (int k = 0; k < 3; ++k) row[x * 3 + k] = sample(x, w, k);
    while (c.next_scanline < h) {
        JSAMPROW r = row.data();
        jpeg_write_scanlines(&c, &r, 1);
    }
    jpeg_finish_compress(&c);
    jpeg_destroy_compress(&c);
    std::fclose(f);
}

void writePNG(const fs::path& p, uint32_t w, uint32_t h, bool interlaced) {
    FILE* f = std::fopen(p.c_str(), "wb");
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    png_init_io(png, f);
    png_set_IHDR(png, info, w, h, 16, PNG_COLOR_TYPE_RGB,
                 interlaced ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    std::vector<uint8_t> row(w * 6);
    for (uint32_t x = 0; x < w; ++x)
        for (int k = 0; k < 3; ++k) row[x * 6 + k * 2] = row[x * 6 + k * 2 + 1] = sample(x, w, k);
    int passes = png_set_interlace_handling(png);
    for (int pass = 0; pass < passes; ++pass)
        for (uint32_t y = 0; y < h; ++y) png_write_row(png, row.data());
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    std::fclose(f);
}

void writeTIFF(const fs::path& p, uint32_t w, uint32_t h, bool tiled) {
    TIFF* t = TIFFOpen(p.c_str(), "w");
    TIFFSetField(t, TIFFTAG_IMAGEWIDTH, w);
    TIFFSetField(t, TIFFTAG_IMAGELENGTH, h);
    TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, 3);
    TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, 8);
    TIFFSetField(t, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB);
    TIFFSetField(t, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    std::vector<uint8_t> row(w * 3);
    for (uint32_t x = 0; x < w; ++x)
        for (int k = 0; k < 3; ++k) row[x * 3 + k] = sample(x, w, k);
    if (tiled) {
        TIFFSetField(t, TIFFTAG_TILEWIDTH, 16);
        TIFFSetField(t, TIFFTAG_TILELENGTH, 16);
        std::vector<uint8_t> tile(16 * 16 * 3);
        for (uint32_t ty = 0; ty < h; ty += 16)
            for (uint32_t tx = 0; tx < w; tx += 16) {
                for (uint32_t y = 0; y < 16; ++y)
                    for (uint32_t x = 0; x < 16; ++x)
                        for (int k = 0; k < 3; ++k)
                            tile[(y * 16 + x) * 3 + k] = tx + x < w ? sample(tx + x, w, k) : 0;
                TIFFWriteEncodedTile(t, TIFFComputeTile(t, tx, ty, 0, 0), tile.data(),
                                     tmsize_t(tile.size()));
            }
    } else {
        TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, 7);
        for (uint32_t y = 0; y < h; ++y) TIFFWriteScanline(t, row.data(), y, 0);
    }
    TIFFClose(t);
}

void expectHalves(const std::shared_ptr<const platform::BitmapImage>& img, int tolerance) {
    ASSERT_TRUE(img);
    const uint8_t* px = img->dataProvider()->bytes();
    size_t w = img->width();
    size_t y = img->height() / 2;
    const uint8_t* left = px + y * img->bytesPerRow();
    const uint8_t* right = left + (w - 1) * 4;
    EXPECT_NEAR(left[0], 200, tolerance);
    EXPECT_NEAR(left[2], 10, tolerance);
    EXPECT_NEAR(right[0], 10, tolerance);
    EXPECT_NEAR(right[2], 220, tolerance);
    EXPECT_EQ(left[3], 255);
}

TEST(ImageReaderTest, ReadsAndReducesEachFormat) {
    testsupport::ScratchDir dir;
    writeJPEG(dir.path() / "a.jpg", 640, 480);
    writePNG(dir.path() / "b.png", 300, 100, false);
    writePNG(dir.path() / "c.png", 90, 60, true);
    writeTIFF(dir.path() / "d.tif", 256, 512, false);
    writeTIFF(dir.path() / "e.tif", 100, 40, true);

    auto jpg = platform::readImageThumbnail(dir.path() / "a.jpg", 128);
    ASSERT_TRUE(jpg);
    EXPECT_EQ(jpg->width(), 128u);
    EXPECT_EQ(jpg->height(), 96u);
    EXPECT_EQ(jpg->alphaInfo(), platform::kBitmapAlphaLast);
    expectHalves(jpg, 6);

    auto png = platform::readImageThumbnail(dir.path() / "b.png", 128);
    ASSERT_TRUE(png);
    EXPECT_EQ(png->width(), 128u);
    EXPECT_EQ(png->height(), 43u);
    expectHalves(png, 0);
    auto small = platform::readImageThumbnail(dir.path() / "c.png", 128);  // never enlarged
    ASSERT_TRUE(small);
    EXPECT_EQ(small->width(), 90u);
    expectHalves(small, 0);

    auto tif = platform::readImageThumbnail(dir.path() / "d.tif", 64);
    ASSERT_TRUE(tif);
    EXPECT_EQ(tif->width(), 32u);
    EXPECT_EQ(tif->height(), 64u);
    expectHalves(tif, 0);
    expectHalves(platform::readImageThumbnail(dir.path() / "e.tif", 128), 0);
}

TEST(ImageReaderTest, RefusesBrokenAndForeignFiles) {
    testsupport::ScratchDir dir;
    platform::Error error;
    EXPECT_FALSE(platform::readImageThumbnail(dir.path() / "none.jpg", 128, &error));
    EXPECT_EQ(error.domain, platform::PosixErrorDomain);

    std::ofstream(dir.path() / "text.jpg") << "hello, not a picture";
    EXPECT_FALSE(platform::readImageThumbnail(dir.path() / "text.jpg", 128, &error));
    EXPECT_EQ(error.domain, "ImageReaderErrorDomain");

    // Truncated copies of each format fail cleanly or give a picture, never crash.
    writeJPEG(dir.path() / "a.jpg", 200, 100);
    writePNG(dir.path() / "b.png", 200, 100, false);
    writeTIFF(dir.path() / "c.tif", 200, 100, false);
    for (const char* name : {"a.jpg", "b.png", "c.tif"}) {
        std::ifstream in(dir.path() / name, std::ios::binary);
        std::string bytes((std::istreambuf_iterator<char>(in)), {});
        for (size_t keep : {size_t(8), size_t(40), bytes.size() / 2}) {
            auto cut = dir.path() / ("cut_" + std::to_string(keep) + name);
            std::ofstream(cut, std::ios::binary).write(bytes.data(), std::streamsize(keep));
            (void)platform::readImageThumbnail(cut, 64, &error);
        }
    }
}

TEST(ImageReaderTest, RefusesOversizedHeaders) {
    testsupport::ScratchDir dir;
    // A PNG header claiming 2^20 x 2^20 pixels: refused before any allocation.
    std::vector<uint8_t> png = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n', 0, 0, 0,
                                13,   'I', 'H', 'D', 'R',  0,    0x10, 0,    0, 0, 0x10,
                                0,    0,   8,   2,   0,    0,    0,    0,    0, 0, 0};
    std::ofstream(dir.path() / "big.png", std::ios::binary)
        .write(reinterpret_cast<const char*>(png.data()), std::streamsize(png.size()));
    platform::Error error;
    EXPECT_FALSE(platform::readImageThumbnail(dir.path() / "big.png", 128, &error));
    EXPECT_FALSE(error.failureReason.empty());
}

// A 24 x 16 grey picture in one tile 24 pixels wide (libtiff warns below a
// multiple of 16) with a tag libtiff does not know (a profile's name).
TEST(ImageReaderTest, WhatLibtiffSaysGoesToTheLogNotTheTerminal) {
    std::string b = {'I', 'I', 42, 0, 8, 0, 0, 0, 11, 0};
    auto put = [&](uint32_t v, int n) {
        for (int i = 0; i < n; ++i) b.push_back(char(v >> (8 * i)));
    };
    const uint32_t data = 8 + 2 + 11 * 12 + 4;
    const uint32_t entries[][4] = {{256, 3, 1, 24},  {257, 3, 1, 16},   {258, 3, 1, 8},
                                   {259, 3, 1, 1},   {262, 3, 1, 1},    {277, 3, 1, 1},
                                   {322, 3, 1, 24},  {323, 3, 1, 16},   {324, 4, 1, data},
                                   {325, 4, 1, 384}, {50936, 2, 2, 'x'}};
    for (const auto& e : entries) put(e[0], 2), put(e[1], 2), put(e[2], 4), put(e[3], 4);
    put(0, 4);
    b.resize(data + 384, char(128));
    testsupport::ScratchDir dir;
    std::ofstream(dir.path() / "odd.tif", std::ios::binary) << b;
    platform::LogCapture log;
    testing::internal::CaptureStderr();
    const auto image = platform::readImageThumbnail(dir.path() / "odd.tif", 64);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    ASSERT_TRUE(image);
    EXPECT_TRUE(log.contains("Nonstandard tile width 24"));
    EXPECT_TRUE(log.contains("tag 50936"));
}

// An OpenEXR header's "software" names its writer; other attributes are
// stepped over, and a damaged size ends the search without a huge read.
TEST(ImageReaderTest, TheSoftwareOfAnOpenEXRHeader) {
    testsupport::ScratchDir dir;
    auto attribute = [](const std::string& name, const std::string& type, const std::string& value,
                        uint32_t size) {
        std::string a = name + '\0' + type + '\0';
        for (int i = 0; i < 4; ++i) a.push_back(char(size >> (8 * i)));
        return a + value;
    };
    const std::string start("\x76\x2F\x31\x01\x02\0\0\0", 8);
    const std::string owner = attribute("owner", "string", "someone", 7);
    const auto exr = dir.path() / "a.exr", damaged = dir.path() / "b.exr";
    std::ofstream(exr, std::ios::binary)
        << start + owner + attribute("software", "string", "Quorvex V1", 10) + '\0';
    std::ofstream(damaged, std::ios::binary)
        << start + attribute("owner", "string", "x", 0xFFFFFFF0u) +
               attribute("software", "string", "Quorvex V1", 10) + '\0';
    EXPECT_EQ(platform::imageSoftware(exr), "Quorvex V1");
    EXPECT_EQ(platform::imageSoftware(damaged), std::nullopt);
    std::ofstream(dir.path() / "c.exr", std::ios::binary) << start + owner + '\0';
    EXPECT_EQ(platform::imageSoftware(dir.path() / "c.exr"), std::nullopt);
}

TEST(ImageReaderTest, ContentTypes) {
    EXPECT_EQ(platform::imageTypeForExtension("JPG"), "public.jpeg");
    EXPECT_EQ(platform::imageTypeForExtension("tiff"), "public.tiff");
    EXPECT_EQ(platform::imageTypeForExtension("gif"), "com.compuserve.gif");
    EXPECT_FALSE(platform::imageTypeForExtension("txt"));
    EXPECT_EQ(platform::imageReaderTypeIdentifiers().size(), 3u);
}

}  // namespace
