#include <gtest/gtest.h>
#include <jpeglib.h>
#include <sys/resource.h>

#include <algorithm>
#include <csetjmp>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <utility>
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

// A gradient with noise and flat patches, so the entropy-coded data holds
// stuffed 0xFF bytes and long zero runs.
std::vector<uint8_t> Scene(uint32_t width, uint32_t height) {
    std::vector<uint8_t> rgb(static_cast<size_t>(width) * height * 3);
    uint32_t seed = width * 7919u + height;
    for (uint32_t y = 0; y < height; y++) {
        for (uint32_t x = 0; x < width; x++) {
            uint8_t* p = &rgb[(static_cast<size_t>(y) * width + x) * 3];
            seed = seed * 1103515245u + 12345u;
            const bool flat = (x / 64 + y / 64) % 3 == 0;
            p[0] = flat ? 255 : static_cast<uint8_t>(x * 255 / width + ((seed >> 16) & 15));
            p[1] = flat ? 0 : static_cast<uint8_t>(y * 255 / height);
            p[2] = flat ? 255 : static_cast<uint8_t>(seed >> 24);
        }
    }
    return rgb;
}

std::vector<uint8_t> ExifApp1(const std::vector<uint8_t>& exif) {
    std::vector<uint8_t> app1 = {'E', 'x', 'i', 'f', 0, 0};
    app1.insert(app1.end(), exif.begin(), exif.end());
    return app1;
}

// What libjpeg-turbo writes by itself for the whole image in one pass, with a
// restart marker every `restartInterval` MCUs (0: none).
std::vector<uint8_t> OnePiece(const std::vector<uint8_t>& rgb, uint32_t width, uint32_t height,
                              int quality, unsigned restartInterval,
                              const std::vector<uint8_t>& exif, const std::vector<uint8_t>& icc) {
    jpeg_compress_struct cinfo;
    jpeg_error_mgr errors;
    cinfo.err = jpeg_std_error(&errors);
    jpeg_create_compress(&cinfo);
    unsigned char* buffer = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&cinfo, &buffer, &size);
    cinfo.image_width = width;
    cinfo.image_height = height;
    cinfo.input_components = 3;
    cinfo.in_color_space = JCS_RGB;
    jpeg_set_defaults(&cinfo);
    jpeg_set_quality(&cinfo, quality, TRUE);
    if (quality >= 90)  // full-resolution colour at high quality
        for (int c = 0; c < cinfo.num_components; ++c)
            cinfo.comp_info[c].h_samp_factor = cinfo.comp_info[c].v_samp_factor = 1;
    cinfo.restart_interval = restartInterval;
    jpeg_start_compress(&cinfo, TRUE);
    if (!exif.empty()) {
        const std::vector<uint8_t> app1 = ExifApp1(exif);
        jpeg_write_marker(&cinfo, JPEG_APP0 + 1, app1.data(), unsigned(app1.size()));
    }
    if (!icc.empty()) jpeg_write_icc_profile(&cinfo, icc.data(), unsigned(icc.size()));
    while (cinfo.next_scanline < height) {
        JSAMPROW row = const_cast<JSAMPROW>(&rgb[size_t(cinfo.next_scanline) * width * 3]);
        jpeg_write_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_compress(&cinfo);
    std::vector<uint8_t> bytes(buffer, buffer + size);
    std::free(buffer);
    jpeg_destroy_compress(&cinfo);
    return bytes;
}

// Runs one of the stream writers into memory; empty on failure.
template <typename Write>
std::vector<uint8_t> IntoMemory(Write write, platform::Error* error = nullptr) {
    char* buffer = nullptr;
    size_t size = 0;
    std::FILE* file = open_memstream(&buffer, &size);
    const bool ok = write(file, error);
    std::fclose(file);
    std::vector<uint8_t> bytes;
    if (ok) bytes.assign(buffer, buffer + size);
    std::free(buffer);
    return bytes;
}

std::vector<uint8_t> Written(const std::vector<uint8_t>& rgb, uint32_t width, uint32_t height,
                             int quality, const std::vector<uint8_t>& exif = {},
                             const std::vector<uint8_t>& icc = {}) {
    return IntoMemory([&](std::FILE* file, platform::Error* error) {
        return platform::writeJPEG(rgb.data(), width, height, quality, exif, icc, file, error);
    });
}

// The same pixels asked for through a row source that checks what it is asked.
std::vector<uint8_t> WrittenFromRows(const std::vector<uint8_t>& rgb, uint32_t width,
                                     uint32_t height, bool* rowsInRange) {
    *rowsInRange = true;
    platform::JpegRowSource rows = [&](uint32_t first, uint32_t count, uint8_t* out) {
        if (count == 0 || first + count > height) *rowsInRange = false;
        if (!*rowsInRange) return false;
        std::memcpy(out, &rgb[size_t(first) * width * 3], size_t(count) * width * 3);
        return true;
    };
    return IntoMemory([&](std::FILE* file, platform::Error* error) {
        return platform::writeJPEG(rows, width, height, 90, {}, {}, file, error);
    });
}

// The decoded pixels; `lumaSampling` gets the luma component's horizontal
// and vertical sampling factors from the frame header.
std::vector<uint8_t> DecodedPixels(const std::vector<uint8_t>& jpeg,
                                   std::pair<int, int>* lumaSampling = nullptr) {
    jpeg_decompress_struct cinfo;
    jpeg_error_mgr errors;
    cinfo.err = jpeg_std_error(&errors);
    jpeg_create_decompress(&cinfo);
    jpeg_mem_src(&cinfo, jpeg.data(), jpeg.size());
    jpeg_read_header(&cinfo, TRUE);
    if (lumaSampling)
        *lumaSampling = {cinfo.comp_info[0].h_samp_factor, cinfo.comp_info[0].v_samp_factor};
    cinfo.out_color_space = JCS_RGB;
    jpeg_start_decompress(&cinfo);
    std::vector<uint8_t> pixels(size_t(cinfo.output_width) * cinfo.output_height * 3);
    while (cinfo.output_scanline < cinfo.output_height) {
        JSAMPROW row = &pixels[size_t(cinfo.output_scanline) * cinfo.output_width * 3];
        jpeg_read_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_decompress(&cinfo);
    // Corrupt entropy data shows up as warnings, not errors.
    if (errors.num_warnings != 0) pixels.clear();
    jpeg_destroy_decompress(&cinfo);
    return pixels;
}

}  // namespace

// Large images are encoded in bands on every core and joined with restart
// markers; the result must be byte for byte libjpeg-turbo's own encode with
// that restart interval, and decode to the pixels of the plain encode.
TEST(JpegWriter, BandedEncodeIsTheOnePieceEncodeWithRestartMarkers) {
    const std::vector<uint8_t> exif = {'I', 'I', 42, 0, 8, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    std::vector<uint8_t> icc(70000);
    for (size_t i = 0; i < icc.size(); i++) icc[i] = static_cast<uint8_t>(i * 13);
    struct Case {
        uint32_t width, height;
        int quality;
        bool markers;
    };
    // Odd sizes (a short last band, partial MCUs on the right), a band count
    // past nine (RST0..7 wrap), and the widest frame libjpeg takes (one MCU row
    // per band).
    uint32_t mostBands = 0;
    for (const Case c :
         {Case{2049, 1957, 100, true}, Case{1000, 5600, 75, false}, Case{65500, 72, 90, false}}) {
        SCOPED_TRACE(std::to_string(c.width) + "x" + std::to_string(c.height));
        const std::vector<uint8_t> rgb = Scene(c.width, c.height);
        const uint32_t bandRows = platform::jpegBandRows(c.width, c.height, c.quality);
        const uint32_t mcu = c.quality >= 90 ? 8 : 16;
        ASSERT_GT(bandRows, 0u);
        ASSERT_EQ(bandRows % mcu, 0u);
        ASSERT_LT(bandRows, c.height);
        mostBands = std::max(mostBands, (c.height + bandRows - 1) / bandRows);
        const uint32_t interval = (c.width + mcu - 1) / mcu * (bandRows / mcu);
        ASSERT_LE(interval, 65535u);
        const std::vector<uint8_t> noMarkers;
        const auto& e = c.markers ? exif : noMarkers;
        const auto& p = c.markers ? icc : noMarkers;

        const std::vector<uint8_t> banded = Written(rgb, c.width, c.height, c.quality, e, p);
        ASSERT_FALSE(banded.empty());
        EXPECT_TRUE(banded == OnePiece(rgb, c.width, c.height, c.quality, interval, e, p));
        const std::vector<uint8_t> decoded = DecodedPixels(banded);
        ASSERT_FALSE(decoded.empty());
        EXPECT_TRUE(decoded == DecodedPixels(OnePiece(rgb, c.width, c.height, c.quality, 0, e, p)));
        if (c.quality == 75) {
            bool rowsInRange = false;
            EXPECT_TRUE(WrittenFromRows(rgb, c.width, c.height, &rowsInRange) ==
                        Written(rgb, c.width, c.height, 90));
            EXPECT_TRUE(rowsInRange);
        }
    }
    EXPECT_GT(mostBands, 9u);
}

// From quality 90 on colour keeps full resolution, so one-pixel stripes of
// saturated red and blue come back nearly as they went in, in one piece and
// in bands alike; below it colour is halved and the stripes blur.
TEST(JpegWriter, HighQualityKeepsFullColourResolution) {
    for (const uint32_t side : {48u, 2048u}) {
        std::vector<uint8_t> rgb(size_t(side) * side * 3);
        for (size_t i = 0; i < size_t(side) * side; ++i) rgb[3 * i + (i % 2 ? 2 : 0)] = 255;
        for (const int quality : {89, 90, 100}) {
            SCOPED_TRACE(std::to_string(side) + " at " + std::to_string(quality));
            const std::vector<uint8_t> jpeg = Written(rgb, side, side, quality);
            ASSERT_FALSE(jpeg.empty());
            std::pair<int, int> sampling;
            const std::vector<uint8_t> decoded = DecodedPixels(jpeg, &sampling);
            const int expected = quality >= 90 ? 1 : 2;
            EXPECT_EQ(sampling, std::make_pair(expected, expected));
            ASSERT_EQ(decoded.size(), rgb.size());
            int worst = 0;
            for (size_t i = 0; i < rgb.size(); ++i)
                worst = std::max(worst, std::abs(int(decoded[i]) - int(rgb[i])));
            if (quality == 100) {
                EXPECT_LE(worst, 8);
            } else if (quality == 89) {
                EXPECT_GT(worst, 60);
            }
        }
    }
}

// Below the banding size the file is exactly the plain one-piece encode.
TEST(JpegWriter, SmallImagesAreWrittenInOnePieceWithoutRestartMarkers) {
    struct Size {
        uint32_t width, height;
    };
    for (const Size size : {Size{1, 1}, Size{17, 9}, Size{3, 700}, Size{1999, 2000}}) {
        SCOPED_TRACE(std::to_string(size.width) + "x" + std::to_string(size.height));
        EXPECT_EQ(platform::jpegBandRows(size.width, size.height, 90), 0u);
        const std::vector<uint8_t> rgb = Scene(size.width, size.height);
        const std::vector<uint8_t> plain = OnePiece(rgb, size.width, size.height, 90, 0, {}, {});
        EXPECT_TRUE(Written(rgb, size.width, size.height, 90) == plain);
        bool rowsInRange = false;
        EXPECT_TRUE(WrittenFromRows(rgb, size.width, size.height, &rowsInRange) == plain);
        EXPECT_TRUE(rowsInRange);
    }
    // A frame one MCU row high cannot be split.
    EXPECT_EQ(platform::jpegBandRows(65500, 16, 75), 0u);
    EXPECT_EQ(platform::jpegBandRows(65500, 8, 90), 0u);
    EXPECT_EQ(platform::jpegBandRows(0, 0, 90), 0u);
}

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

// Failures while encoding in bands and in one piece are reported, and the
// path writer leaves no file behind.
TEST(JpegWriter, ReportsFailingRowsAndWritesInBothWays) {
    const uint32_t bigW = 2048, bigH = 2048, smallW = 64;
    ASSERT_GT(platform::jpegBandRows(bigW, bigH, 90), 0u);
    const std::vector<uint8_t> big = Scene(bigW, bigH);
    for (const uint32_t side : {smallW, bigW}) {
        SCOPED_TRACE(side);
        platform::Error error;
        platform::JpegRowSource failing = [&](uint32_t first, uint32_t count, uint8_t* out) {
            std::memset(out, 0, size_t(count) * side * 3);
            return first + count < side / 2;
        };
        EXPECT_TRUE(IntoMemory(
                        [&](std::FILE* file, platform::Error* e) {
                            return platform::writeJPEG(failing, side, side, 90, {}, {}, file, e);
                        },
                        &error)
                        .empty());
        EXPECT_EQ(error.domain, platform::QuorvexErrorDomain);
        EXPECT_NE(error.failureReason.find("pixels"), std::string::npos) << error.failureReason;

        std::FILE* full = std::fopen("/dev/full", "wb");
        if (full == nullptr) continue;
        error = {};
        EXPECT_FALSE(platform::writeJPEG(big.data(), side, side, 90, {}, {}, full, &error));
        std::fclose(full);
        EXPECT_NE(error.failureReason.find(std::strerror(ENOSPC)), std::string::npos)
            << error.failureReason;
    }

    // A file size limit makes the write fail part way.
    testsupport::ScratchDir scratch;
    const std::string path = (scratch.path() / "limited.jpg").string();
    rlimit before{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &before), 0);
    rlimit limited = before;
    limited.rlim_cur = 100000;
    auto previous = std::signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limited), 0);
    platform::Error error;
    const bool written = platform::writeJPEG(big.data(), bigW, bigH, 90, {}, {}, path, &error);
    setrlimit(RLIMIT_FSIZE, &before);
    std::signal(SIGXFSZ, previous);
    EXPECT_FALSE(written);
    EXPECT_FALSE(std::filesystem::exists(path));
    EXPECT_NE(error.failureReason.find(std::strerror(EFBIG)), std::string::npos)
        << error.failureReason;
    EXPECT_EQ(error.failureReason.find("disk space"), std::string::npos) << error.failureReason;
}
