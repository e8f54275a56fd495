// The makers' formats in detail: the words of each refusal, image data short
// by a byte, capture times under a zone far from UTC, make and model as the
// file states them, each orientation a file can state, the time limit of a
// decode, levels against LibRaw's own rendering, black and white levels per
// colour, and a preview's black bars.
#include <gtest/gtest.h>
#include <libraw/libraw.h>

#include <array>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <future>
#include <initializer_list>
#include <iterator>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "TestJpeg.h"
#include "dng/image/HandMadeDng.h"
#include "platform/Log.h"
#include "raw/LibRawSource.h"
#include "raw/PreviewBars.h"
#include "raw/RawFileFacts.h"
#include "raw/RawMetadata.h"
#include "raw/rawWrapper.h"
#include "support/TestSupport.h"

namespace {

namespace fs = std::filesystem;

fs::path Other(const char* name) { return testsupport::testdataDir() / "raw" / "other" / name; }

constexpr const char* kG2 = "canon-powershot-g2_colorchart.CRW";
constexpr const char* kDC120 = "kodak-dc120_compressed_colorchart.KDC";
constexpr const char* kDC50 = "kodak-dc50_colorchart-sg.KDC";

std::vector<uint8_t> Bytes(const fs::path& path) { return testsupport::fileBytes(path); }

void Write(const fs::path& path, const std::vector<uint8_t>& bytes) {
    testsupport::writeFileBytes(path, bytes);
}

rawWrapper::Ptr Open(const fs::path& path, bool thumb = false) {
    return rawWrapper::initWithFile(path.string(), path.string(), thumb);
}

std::string ErrorOf(const fs::path& path) {
    auto raw = Open(path);
    if (raw->masterImageBytes()) return "decoded";
    const auto error = raw->error();
    return error ? error->failureReason : "(no error)";
}

bool Says(const std::string& text, const std::string& words) {
    return text.find(words) != std::string::npos;
}

// A TIFF of one strip of width x height RGB samples of `bits` each, with a
// camera's make: a picture, not raw data, unless what only a camera's raw
// file carries (TIFF/EP's version, 37398; a maker's note in its Exif
// directory) marks it as one. A map's or an analysis program's private tag
// (33550, 42112, 50839) leaves it a picture.
std::vector<uint8_t> PictureTiff(uint32_t w, uint32_t h, uint16_t bits, uint16_t privateTag = 0,
                                 bool makerNote = false) {
    std::vector<uint8_t> tiff = {'I', 'I', 42, 0, 8, 0, 0, 0};
    const auto entry = [&](uint16_t tag, uint16_t type, uint32_t count, uint32_t value) {
        for (uint32_t v : {uint32_t(tag), uint32_t(type)}) {
            tiff.push_back(uint8_t(v));
            tiff.push_back(uint8_t(v >> 8));
        }
        for (uint32_t v : {count, value})
            for (int i = 0; i < 4; i++) tiff.push_back(uint8_t(v >> (8 * i)));
    };
    const uint32_t entries = 10 + (privateTag ? 1 : 0) + (makerNote ? 1 : 0);
    const uint32_t bytes = w * h * 3 * bits / 8, data = 8 + 2 + entries * 12 + 4,
                   make = data + bytes, exif = make + 6;
    tiff.push_back(uint8_t(entries));
    tiff.push_back(0);
    entry(256, 3, 1, w);
    entry(257, 3, 1, h);
    entry(258, 3, 1, bits);
    entry(259, 3, 1, 1);
    entry(262, 3, 1, 2);
    entry(271, 2, 6, make);
    entry(273, 4, 1, data);
    entry(277, 3, 1, 3);
    entry(278, 3, 1, h);
    entry(279, 4, 1, bytes);
    if (privateTag) entry(privateTag, 1, 4, 1);
    if (makerNote) entry(34665, 4, 1, exif);
    tiff.resize(tiff.size() + 4, 0);  // no next directory
    tiff.resize(tiff.size() + bytes, 128);
    for (char c : std::string("Canon", 6)) tiff.push_back(uint8_t(c));
    if (makerNote) {
        tiff.insert(tiff.end(), {1, 0});
        entry(37500, 7, 4, 0);
        tiff.resize(tiff.size() + 4, 0);
    }
    return tiff;
}

// A JPEG whose first segment is an Exif block, as cameras and phones write.
std::vector<uint8_t> ExifJpeg() {
    std::vector<uint8_t> jpeg =
        testjpeg::Encode(64, 48, 3, [](int x, int y, int c) { return uint8_t(x + y + c); });
    const std::vector<uint8_t> exif = {0xff, 0xe1, 0,   16, 'E', 'x', 'i', 'f', 0,
                                       0,    'I',  'I', 42, 0,   8,   0,   0,   0};
    jpeg.insert(jpeg.begin() + 2, exif.begin(), exif.end());
    return jpeg;
}

TEST(LibRawDetails, EachRefusalNamesWhatTheFileIs) {
    testsupport::ScratchDir dir;
    const auto crw = Bytes(Other(kG2));
    const auto kdc = Bytes(Other(kDC120));
    struct Case {
        const char* name;
        std::vector<uint8_t> bytes;
        const char* words;
    };
    std::vector<uint8_t> qktn(100, 0);
    std::copy_n("qktn", 4, qktn.begin());
    std::vector<uint8_t> noise(5000);
    std::mt19937 rng(12);
    for (uint8_t& b : noise) b = uint8_t(rng());
    std::vector<uint8_t> flippedTable = crw;
    flippedTable[flippedTable.size() - 2] ^= 0x40;  // the root heap's table offset
    const std::vector<Case> cases = {
        {"short1.CRW",
         {crw.begin(), crw.end() - 1},
         "is damaged or cut short: it begins as a Canon CRW file"},
        {"head.CRW", {crw.begin(), crw.begin() + 100}, "are missing or cut short"},
        {"eight.CRW",
         {crw.begin(), crw.begin() + 8},
         "is damaged or cut short: it begins as a camera raw file, but it ends after 8 bytes"},
        {"table.CRW", flippedTable, "is damaged or cut short: it begins as a Canon CRW file"},
        {"head.KDC", {kdc.begin(), kdc.begin() + 26}, "is damaged or cut short: it begins as a"},
        // A QuickTake 150's start, cut.
        {"cut.QTK", qktn, "is damaged or cut short: it begins as a QuickTake file"},
        {"picture16.NEF", PictureTiff(64, 48, 16), "holds a TIFF picture, not a camera's raw data"},
        {"picture8.CRW", PictureTiff(64, 48, 8), "holds a TIFF picture, not a camera's raw data"},
        {"exif.NEF", ExifJpeg(), "holds a JPEG picture, not a camera's raw data"},
        {"tagged.NEF", PictureTiff(64, 48, 8, 37398),
         "is damaged, or of a camera newer than Quorvex's decoder: it begins as a Canon raw "
         "(TIFF-based) file"},
        {"noted.NEF", PictureTiff(64, 48, 8, 0, true),
         "it begins as a Canon raw (TIFF-based) file"},
        {"geotiff.NEF", PictureTiff(64, 48, 8, 33550), "holds a TIFF picture, not a camera's"},
        {"gdal.NEF", PictureTiff(64, 48, 8, 42112), "holds a TIFF picture, not a camera's"},
        {"imagej.NEF", PictureTiff(64, 48, 8, 50839), "holds a TIFF picture, not a camera's"},
        {"image.KDC",
         {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n', 0, 0, 0, 13, 'I', 'H', 'D', 'R'},
         "holds a PNG picture, not a camera's raw data"},
        {"notes.TXT",
         {'s', 'h', 'o', 'p', 'p', 'i', 'n', 'g', ' ', 'l', 'i', 's', 't', '\n'},
         "(TXT) is not supported: it is no camera raw format that Quorvex decodes"},
        // What a damaged card leaves under a raw name.
        {"IMG_0012.CRW", std::vector<uint8_t>(5000, 0),
         "does not begin as the CRW file its name says, or as any raw file Quorvex reads: it may "
         "be damaged"},
        {"IMG_0013.CRW", noise,
         "does not begin as the CRW file its name says, or as any raw file Quorvex reads"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Write(dir.path() / c.name, c.bytes);
        const std::string error = ErrorOf(dir.path() / c.name);
        EXPECT_TRUE(Says(error, c.words)) << error;
        EXPECT_TRUE(Says(error, std::string("\"") + c.name + "\"")) << error;
    }
}

// Structures that point at themselves end their reading: a CRW whose heap
// lists itself as its own sub-heap a thousand times is read once, not a
// thousand to the fourth power times; a 30-byte TIFF whose directory names
// itself as the next one is read within a second, and refused.
TEST(LibRawDetails, SelfReferringStructuresEndTheirReading) {
    testsupport::ScratchDir dir;
    std::vector<uint8_t> crw(26, 0);
    const char head[] = {'I', 'I', 26, 0, 0, 0, 'H', 'E', 'A', 'P', 'C', 'C', 'D', 'R'};
    std::copy(std::begin(head), std::end(head), crw.begin());
    const uint32_t entries = 1024, heap = 2 + entries * 10 + 4;
    crw.push_back(uint8_t(entries));
    crw.push_back(uint8_t(entries >> 8));
    for (uint32_t i = 0; i < entries; i++)
        for (uint8_t b : std::initializer_list<uint8_t>{0x0a, 0x30, uint8_t(heap),
                                                        uint8_t(heap >> 8), 0, 0, 0, 0, 0, 0})
            crw.push_back(b);
    crw.insert(crw.end(), {0, 0, 0, 0});  // the table at the heap's start
    Write(dir.path() / "nested.CRW", crw);
    // One entry (a width of 1), then the next directory: itself.
    Write(dir.path() / "loop.NEF", {'I', 'I', 42, 0, 8, 0, 0, 0, 1, 0, 0, 1, 3, 0, 1,
                                    0,   0,   0,  1, 0, 0, 0, 8, 0, 0, 0, 0, 0, 0, 0});
    fs::copy_file(dir.path() / "loop.NEF", dir.path() / "loop.dng");
    // A reading caught in the loop never returns: the test says so and ends.
    const auto within = [](std::chrono::seconds limit, auto work) {
        auto done = std::async(std::launch::async, work);
        if (done.wait_for(limit) == std::future_status::ready) return done.get();
        ADD_FAILURE() << "still reading after " << limit.count() << " s";
        std::_Exit(1);
    };
    EXPECT_EQ(within(std::chrono::seconds(5),
                     [&] { return RawFileFacts::read((dir.path() / "nested.CRW").string()); })
                  .format,
              "Canon CRW");
    EXPECT_TRUE(within(std::chrono::seconds(1), [&] {
                    return RawFileFacts::read((dir.path() / "loop.NEF").string());
                }).tiff);
    for (const char* name : {"loop.NEF", "loop.dng"}) {
        SCOPED_TRACE(name);
        const std::string error =
            within(std::chrono::seconds(5), [&] { return ErrorOf(dir.path() / name); });
        EXPECT_TRUE(Says(error, std::string("\"") + name + "\"")) << error;
    }
}

// libjpeg inside LibRaw warns of the damaged DC120's data in the log, not on
// the terminal.
TEST(LibRawDetails, LibraryMessagesGoToTheLog) {
    testsupport::ScratchDir dir;
    auto bytes = Bytes(Other(kDC120));
    // Bytes of its JPEG-coded image data (from 15680 on) turned to markers.
    for (size_t at = 40000; at < 140000; at += 5000) bytes[at] = 0xff;
    const fs::path path = dir.path() / "damaged.KDC";
    Write(path, bytes);
    platform::LogCapture log;
    testing::internal::CaptureStderr();
    (void)ErrorOf(path);
    const std::string terminal = testing::internal::GetCapturedStderr();
    EXPECT_EQ(terminal, "");
    EXPECT_TRUE(log.contains("libjpeg: Corrupt JPEG data")) << log.lines().size();
}

// LibRaw reads a CRW's clock as a count of seconds and a TIFF's as a date
// text in the machine's zone: both come out as the camera stated them,
// under any zone, with make and model as the file states them (and
// LibRaw's names, for profiles to match).
TEST(LibRawDetails, CaptureTimeMakeAndModelAreTheFilesOwnUnderAnyZone) {
    struct Facts {
        const char* file;
        const char* when;
        const char* make;
        const char* model;
        const char* unique;
    };
    const Facts files[] = {
        {kG2, "2022:01:20 08:13:24", "Canon", "Canon PowerShot G2", "Canon PowerShot G2"},
        {kDC120, "1994:01:02 15:56:14", "Eastman Kodak Company", "Kodak DC120 ZOOM Digital Camera",
         "Kodak DC120"}};
    const char* before = std::getenv("TZ");
    const std::optional<std::string> saved =
        before ? std::optional<std::string>(before) : std::nullopt;
    for (const char* zone : {"Asia/Tokyo", "America/New_York", "UTC"}) {
        setenv("TZ", zone, 1);
        tzset();
        for (const Facts& f : files) {
            SCOPED_TRACE(std::string(zone) + " " + f.file);
            auto raw = Open(Other(f.file), true);
            ASSERT_NE(raw->masterImageBytes(), nullptr);
            const auto& meta = *raw->metaData();
            const auto& tiff = meta[kCGImagePropertyTIFFDictionary];
            EXPECT_EQ(meta[kCGImagePropertyExifDictionary][kCGImagePropertyExifDateTimeOriginal]
                          .stringValue(),
                      f.when);
            EXPECT_EQ(tiff[kCGImagePropertyTIFFDateTime].stringValue(), f.when);
            EXPECT_EQ(tiff[kCGImagePropertyTIFFMake].stringValue(), f.make);
            EXPECT_EQ(tiff[kCGImagePropertyTIFFModel].stringValue(), f.model);
            EXPECT_EQ(meta[kCGImagePropertyDNGDictionary][kCGImagePropertyDNGUniqueCameraModel]
                          .stringValue(),
                      f.unique);
        }
    }
    if (saved)
        setenv("TZ", saved->c_str(), 1);
    else
        unsetenv("TZ");
    tzset();
}

// The mean of a block of packed RGB, scale 0 to 1.
std::array<double, 3> Block(const uint16_t* rgb, uint32_t width, uint32_t x0, uint32_t y0,
                            uint32_t side) {
    std::array<double, 3> sum{};
    for (uint32_t y = y0; y < y0 + side; y++)
        for (uint32_t x = x0; x < x0 + side; x++)
            for (size_t c = 0; c < 3; c++) sum[c] += rgb[3 * (size_t(y) * width + x) + c];
    for (double& s : sum) s /= double(side) * side * 65535;
    return sum;
}

// The DC50's orientation field set to 3, 6 and 8: the picture turns the way
// the field says, the metadata keep the field's value.
TEST(LibRawDetails, EachOrientationTurnsThePictureItsWay) {
    testsupport::ScratchDir dir;
    const auto bytes = Bytes(Other(kDC50));
    auto upright = Open(Other(kDC50), true);
    const uint16_t* o = upright->masterImageBytes();
    ASSERT_NE(o, nullptr);
    const uint32_t W = upright->imageWidth(), H = upright->imageHeight();
    // The orientation entry of the first directory (big-endian TIFF).
    const auto u16 = [&](size_t at) { return uint32_t(bytes[at]) << 8 | bytes[at + 1]; };
    const size_t ifd = size_t(u16(4)) << 16 | u16(6);
    size_t entry = 0;
    for (size_t i = 0; i < u16(ifd); i++)
        if (u16(ifd + 2 + 12 * i) == 274) entry = ifd + 2 + 12 * i;
    ASSERT_NE(entry, 0u);
    constexpr uint32_t kSide = 8;
    for (uint32_t orientation : {3u, 6u, 8u}) {
        SCOPED_TRACE(orientation);
        std::vector<uint8_t> turned = bytes;
        turned[entry + 9] = uint8_t(orientation);
        const fs::path path = dir.path() / ("turned" + std::to_string(orientation) + ".KDC");
        Write(path, turned);
        auto raw = Open(path, true);
        const uint16_t* d = raw->masterImageBytes();
        ASSERT_NE(d, nullptr);
        const bool quarter = orientation != 3;
        ASSERT_EQ(raw->imageWidth(), quarter ? H : W);
        ASSERT_EQ(raw->imageHeight(), quarter ? W : H);
        EXPECT_EQ(
            (*raw->metaData())[kCGImagePropertyTIFFDictionary][kCGImagePropertyTIFFOrientation]
                .integerValue(),
            orientation);
        const uint32_t dw = raw->imageWidth();
        // Blocks of the shown picture against where they lie in the upright one.
        for (auto [x, y] : {std::pair{16u, 40u}, std::pair{100u, 20u}, std::pair{40u, 120u}}) {
            uint32_t ox = 0, oy = 0;
            if (orientation == 3) {
                ox = W - x - kSide;
                oy = H - y - kSide;
            } else if (orientation == 6) {
                ox = y;
                oy = H - x - kSide;
            } else {
                ox = W - y - kSide;
                oy = x;
            }
            const auto shown = Block(d, dw, x, y, kSide), source = Block(o, W, ox, oy, kSide);
            for (size_t c = 0; c < 3; c++) EXPECT_NEAR(shown[c], source[c], 0.01) << x << "," << y;
        }
    }
}

// A decode past its time limit stops, even where LibRaw's parser never
// reaches a progress callback: the stream it reads is what stops it.
TEST(LibRawDetails, TheTimeLimitStopsTheParser) {
    LibRawSource::setTimeLimit(std::chrono::milliseconds(0));
    std::string error;
    try {
        LibRawSource source(Other(kDC120).string());
    } catch (const platform::Error& e) {
        error = e.failureReason;
    }
    LibRawSource::setTimeLimit(std::chrono::seconds(30));
    EXPECT_TRUE(Says(error, "was stopped: it took longer than")) << error;
}

// Per-channel means of the visible mosaic over a block, by CFA colour.
std::array<double, 3> MosaicMeans(const RawSamples& plane, uint32_t width, const CFAPattern& cfa,
                                  uint32_t x0, uint32_t y0, uint32_t side) {
    std::array<double, 3> sum{}, count{};
    for (uint32_t y = y0; y < y0 + side; y++)
        for (uint32_t x = x0; x < x0 + side; x++) {
            const auto c = size_t(cfa.colorAt(y, x));
            sum[c] += plane[size_t(y) * width + x];
            count[c]++;
        }
    for (size_t c = 0; c < 3; c++) sum[c] /= count[c];
    return sum;
}

// The G2's grey patches at the levels LibRaw's own rendering gives them
// (black taken off per colour, white at the range's top, no balance): a
// gain, black or white-scale error does not cancel out here.
TEST(LibRawDetails, GreyLevelsMatchLibRawsOwnRendering) {
    const std::string path = Other(kG2).string();
    LibRawSource source(path);
    source.unpack();
    ASSERT_EQ(source.layout(), LibRawSource::Layout::Bayer);
    const RawSamples plane = source.readPlane(2);

    LibRaw reference;
    ASSERT_EQ(reference.open_file(path.c_str()), LIBRAW_SUCCESS);
    ASSERT_EQ(reference.unpack(), LIBRAW_SUCCESS);
    auto& p = reference.imgdata.params;
    p.half_size = 1;
    p.output_color = 0;
    p.output_bps = 16;
    p.gamm[0] = p.gamm[1] = 1;
    p.no_auto_bright = 1;
    p.use_camera_wb = 0;
    p.highlight = 0;
    p.adjust_maximum_thr = 0;
    for (float& m : p.user_mul) m = 1;
    ASSERT_EQ(reference.dcraw_process(), LIBRAW_SUCCESS);
    int code = 0;
    libraw_processed_image_t* image = reference.dcraw_make_mem_image(&code);
    ASSERT_NE(image, nullptr);
    const auto* rgb = reinterpret_cast<const uint16_t*>(image->data);
    // The chart's light, middle and dark greys.
    for (auto [x, y] : {std::pair{594u, 1246u}, std::pair{1100u, 1246u}, std::pair{1599u, 1246u}}) {
        SCOPED_TRACE(x);
        const auto ours = MosaicMeans(plane, source.width(), *source.pattern(), x, y, 96);
        std::array<double, 3> theirs{};
        for (uint32_t yy = y / 2; yy < (y + 96) / 2; yy++)
            for (uint32_t xx = x / 2; xx < (x + 96) / 2; xx++)
                for (size_t c = 0; c < 3; c++)
                    theirs[c] += rgb[3 * (size_t(yy) * image->width + xx) + c] / (48.0 * 48.0);
        for (size_t c = 0; c < 3; c++) EXPECT_NEAR(ours[c], theirs[c], theirs[c] * 0.01 + 8) << c;
    }
    LibRaw::dcraw_clear_mem(image);
}

// A mosaic whose black differs at each of the four positions, over a CFA
// that does not start with red: half way from black to white is half of
// full scale everywhere.
TEST(LibRawDetails, BlackAndWhitePerColourGiveAbsoluteLevels) {
    testsupport::ScratchDir dir;
    constexpr uint32_t kSide = 32, kWhite = 4000;
    const std::array<uint32_t, 4> black = {100, 300, 500, 700};
    std::vector<uint8_t> samples;
    for (uint32_t y = 0; y < kSide; y++)
        for (uint32_t x = 0; x < kSide; x++) {
            const uint32_t b = black[(y & 1) * 2 + (x & 1)];
            const uint32_t v = b + (kWhite - b) / 2;
            samples.push_back(uint8_t(v));
            samples.push_back(uint8_t(v >> 8));
        }
    handdng::Layout l;
    l.width = l.height = l.tileLength = kSide;
    l.compression = 1;
    l.blobs = {samples};
    l.blobOf = {0};
    l.extra = {{33422, 1, {1, 0, 2, 1}},  // GRBG
               {50713, 3, {2, 2}},
               {50714, 4, {black[0], black[1], black[2], black[3]}},
               {50717, 4, {kWhite}}};
    const fs::path path = dir.path() / "blacks.dng";
    handdng::Write(path.string(), handdng::Build(l));
    LibRawSource source(path.string());
    source.unpack();
    const RawSamples plane = source.readPlane(1);
    ASSERT_EQ(plane.size(), size_t(kSide) * kSide);
    for (uint32_t i = 0; i < 4; i++) {
        const uint32_t y = i / 2, x = i % 2;
        EXPECT_NEAR(plane[y * kSide + x], 32768, 24) << "position " << i;
    }
}

// A 3:2 picture of mid grey in a 160 x 120 frame, 6 rows of bars above and
// 7 below at a JPEG's dark noise (level 16); the camera held upright, so
// the picture is 2000 x 3000 once turned (orientation 6), the preview
// stored unturned.
TEST(LibRawDetails, PreviewBarsAreCut) {
    constexpr uint32_t kTop = 6, kPicture = 107;
    const auto frame = [&](uint8_t edge) {
        std::vector<uint8_t> rgb(160 * 120 * 3, 16);
        for (uint32_t y = kTop; y < kTop + kPicture; y++)
            for (uint32_t x = 0; x < 160; x++)
                for (uint32_t c = 0; c < 3; c++)
                    rgb[3 * (y * 160 + x) + c] = (y == kTop || x == 0) ? edge : 128;
        return rgb;
    };
    std::vector<uint8_t> rgb = frame(90);
    uint32_t w = 160, h = 120;
    EXPECT_TRUE(RawCutPreviewBars(rgb, w, h, 2000, 3000, 6));
    EXPECT_EQ(w, 160u);
    EXPECT_EQ(h, kPicture);
    EXPECT_EQ(rgb.size(), size_t(160) * kPicture * 3);
    EXPECT_EQ(rgb[0], 90);  // the picture's first row is kept
    EXPECT_EQ(rgb[3 * 161], 128);
    // A frame of the sensor's aspect, or dark edges that leave another
    // aspect, stay as they are.
    rgb = frame(90);
    w = 160;
    h = 120;
    EXPECT_FALSE(RawCutPreviewBars(rgb, w, h, 3000, 4000, 6));
    EXPECT_FALSE(RawCutPreviewBars(rgb, w, h, 2500, 1000, 1));
    EXPECT_EQ(h, 120u);
}

}  // namespace
