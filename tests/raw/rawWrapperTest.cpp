// The DNG image source end to end: the synthetic test chart decoded to known
// colours, both renderings, orientation and crop; real camera files (decoded,
// refused with clear errors, neutral where the scene is neutral); decoding
// again after a change of profile or monochrome flag; thumbnails; and the
// camera parameters. With QUORVEX_SCREENSHOTS set, PNGs of the real files'
// master images go to its raw-previews/ folder for a person to look at.
#include <gtest/gtest.h>
#include <png.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "color/DNGCameraProfileAbstract.h"
#include "dng/image/NegativeDngWriter.h"
#include "platform/Log.h"
#include "raw/RawMetadata.h"
#include "raw/TestChart.h"
#include "raw/rawWrapper.h"
#include "support/TestSupport.h"

namespace {

namespace fs = std::filesystem;
using Vec = std::array<double, 3>;

fs::path MakeChart(const testsupport::ScratchDir& dir, uint32_t w, uint32_t h,
                   uint32_t orientation = 1) {
    const fs::path out = dir.path() / ("chart-" + std::to_string(orientation) + ".dng");
    const std::string command = std::string(QUORVEX_MAKE_TEST_CHART) + " --size " +
                                std::to_string(w) + "x" + std::to_string(h) + " --orientation " +
                                std::to_string(orientation) + " --output " + out.string() +
                                " > /dev/null";
    EXPECT_EQ(std::system(command.c_str()), 0);
    return out;
}

fs::path RealDng(const char* name) { return testsupport::testdataDir() / "raw" / "dng" / name; }

rawWrapper::Ptr Open(const fs::path& path, bool thumb = false) {
    return rawWrapper::initWithFile(path.string(), path.string(), thumb);
}

// Mean of a rectangle of a packed RGB image, as fractions of full scale.
Vec Mean(const uint16_t* rgb, uint32_t width, uint32_t x0, uint32_t y0, uint32_t w, uint32_t h) {
    Vec sum{};
    for (uint32_t y = y0; y < y0 + h; y++)
        for (uint32_t x = x0; x < x0 + w; x++)
            for (int c = 0; c < 3; c++) sum[c] += rgb[(size_t(y) * width + x) * 3 + c];
    for (double& s : sum) s /= double(w) * h * 65535.0;
    return sum;
}

// The chart tool crops this many pixels on every side.
constexpr uint32_t kCrop = 8;

// The inner half of a chart rectangle, away from its edges, in the cropped
// image's coordinates.
TestChartRect Inner(const TestChartRect& r) {
    return {r.x + r.width / 4 - kCrop, r.y + r.height / 4 - kCrop, std::max(1u, r.width / 2),
            std::max(1u, r.height / 2)};
}

double MaxChannelSpread(const Vec& v) {
    const double mx = std::max({v[0], v[1], v[2]}), mn = std::min({v[0], v[1], v[2]});
    return (mx - mn) / std::max(mx, 1e-9);
}

// ProPhoto (D65) to sRGB-encoded bytes, scaled so that the 99th percentile
// of the brightest channel reaches white, for looking at.
// Only on request: a test run writes nothing outside its scratch folders.
void WriteViewingPNG(const uint16_t* rgb, uint32_t w, uint32_t h, const std::string& name) {
    const char* folder = std::getenv("QUORVEX_SCREENSHOTS");
    if (!folder || !*folder) return;
    const fs::path path = fs::path(folder) / "raw-previews" / name;
    static const double m[3][3] = {
        {2.0365, -0.7376, -0.2993}, {-0.2257, 1.2232, 0.0027}, {-0.0105, -0.1349, 1.1452}};
    std::vector<uint16_t> maxima;
    for (size_t i = 0; i < size_t(w) * h; i += 7)
        maxima.push_back(std::max({rgb[3 * i], rgb[3 * i + 1], rgb[3 * i + 2]}));
    std::nth_element(maxima.begin(), maxima.begin() + maxima.size() * 99 / 100, maxima.end());
    const double scale = 1.0 / std::max<double>(1.0, maxima[maxima.size() * 99 / 100]);
    std::vector<uint8_t> out(size_t(w) * h * 3);
    for (size_t i = 0; i < size_t(w) * h; i++)
        for (int r = 0; r < 3; r++) {
            double v = 0;
            for (int c = 0; c < 3; c++) v += m[r][c] * rgb[3 * i + c] * scale;
            v = std::clamp(v, 0.0, 1.0);
            v = v <= 0.0031308 ? 12.92 * v : 1.055 * std::pow(v, 1 / 2.4) - 0.055;
            out[3 * i + r] = uint8_t(v * 255 + 0.5);
        }
    fs::create_directories(path.parent_path());
    std::FILE* f = std::fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    png_init_io(png, f);
    png_set_IHDR(png, info, w, h, 8, PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    for (uint32_t y = 0; y < h; y++) png_write_row(png, out.data() + size_t(y) * w * 3);
    png_write_end(png, info);
    png_destroy_write_struct(&png, &info);
    std::fclose(f);
}

class rawWrapperChart : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        scratch = new testsupport::ScratchDir;
        chartPath = new fs::path(MakeChart(*scratch, kChartW, kChartH));
    }
    static void TearDownTestSuite() {
        delete chartPath;
        delete scratch;
    }
    static constexpr uint32_t kChartW = 900, kChartH = 600;
    static constexpr uint32_t kW = kChartW - 2 * kCrop, kH = kChartH - 2 * kCrop;
    static inline testsupport::ScratchDir* scratch = nullptr;
    static inline fs::path* chartPath = nullptr;
};

TEST_F(rawWrapperChart, MasterMatchesTheChartsKnownColours) {
    auto raw = Open(*chartPath);
    const uint16_t* master = raw->masterImageBytes();
    ASSERT_NE(master, nullptr) << raw->error()->description();
    ASSERT_EQ(raw->imageWidth(), kW);
    ASSERT_EQ(raw->imageHeight(), kH);
    const TestChart chart(kChartW, kChartH);
    for (const TestChart::Patch& patch : chart.patches()) {
        SCOPED_TRACE(patch.name);
        const TestChartRect r = Inner(patch.rect);
        const Vec got = Mean(master, kW, r.x, r.y, r.width, r.height);
        if (patch.neutral) {
            EXPECT_LT(MaxChannelSpread(got), 0.01);
        }
        for (int c = 0; c < 3; c++)
            EXPECT_NEAR(got[c], patch.value[c], 0.02 * std::max(patch.value[c], 0.05)) << c;
    }
}

TEST_F(rawWrapperChart, RenderingsAgreeOnFlatAreasAndDifferAtEdges) {
    auto raw = Open(*chartPath);
    const uint16_t* master = raw->masterImageBytes();
    const uint16_t* alternate = raw->alternateImageBytes();
    ASSERT_NE(master, nullptr);
    ASSERT_NE(alternate, nullptr);
    ASSERT_NE(master, alternate);
    const TestChart chart(kChartW, kChartH);
    double flat = 0, flatCount = 0;
    for (const TestChart::Patch& patch : chart.patches()) {
        const TestChartRect r = Inner(patch.rect);
        for (uint32_t y = r.y; y < r.y + r.height; y++)
            for (uint32_t x = r.x; x < r.x + r.width; x++)
                for (int c = 0; c < 3; c++) {
                    const size_t i = (size_t(y) * kW + x) * 3 + c;
                    flat += std::abs(double(master[i]) - alternate[i]);
                    flatCount++;
                }
    }
    EXPECT_LT(flat / flatCount / 65535.0, 0.01);
    // The outer ring of the zone plate is all edges.
    const TestChartRect z = chart.zonePlate();
    double edge = 0, edgeCount = 0;
    for (uint32_t y = z.y - kCrop; y < z.y - kCrop + z.height / 8; y++)
        for (uint32_t x = z.x - kCrop; x < z.x - kCrop + z.width; x++)
            for (int c = 0; c < 3; c++) {
                const size_t i = (size_t(y) * kW + x) * 3 + c;
                edge += std::abs(double(master[i]) - alternate[i]);
                edgeCount++;
            }
    EXPECT_GT(edge / edgeCount, 4 * flat / flatCount);
}

TEST_F(rawWrapperChart, OrientationTurnsTheImage) {
    const fs::path turned = MakeChart(*scratch, kChartW, kChartH, 6);
    auto upright = Open(*chartPath);
    auto rotated = Open(turned);
    const uint16_t* a = upright->masterImageBytes();
    const uint16_t* b = rotated->masterImageBytes();
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    ASSERT_EQ(rotated->imageWidth(), kH);
    ASSERT_EQ(rotated->imageHeight(), kW);
    // Orientation 6: stored pixel (x, y) shows at (H - 1 - y, x).
    for (uint32_t y : {0u, 17u, 300u, kH - 1})
        for (uint32_t x : {0u, 5u, 450u, kW - 1})
            for (int c = 0; c < 3; c++)
                ASSERT_EQ(a[(size_t(y) * kW + x) * 3 + c],
                          b[(size_t(x) * kH + (kH - 1 - y)) * 3 + c])
                    << x << "," << y;
}

TEST_F(rawWrapperChart, ProfileAndMonochromeChangesDecodeAgain) {
    auto raw = Open(*chartPath);
    auto autoProfile = DNGCameraProfileAbstract::initAsAutoProfile();
    raw->setCameraProfile(autoProfile);
    ASSERT_NE(raw->masterImageBytes(), nullptr);
    EXPECT_EQ(raw->decodeCount(), 1u);
    EXPECT_FALSE(raw->bitmapIsDirty());
    raw->setCameraProfile(autoProfile);  // the same profile: nothing happens
    raw->setProcessAsMonochromeSensor(false);
    EXPECT_FALSE(raw->bitmapIsDirty());
    ASSERT_NE(raw->masterImageBytes(), nullptr);
    EXPECT_EQ(raw->decodeCount(), 1u);

    raw->setProcessAsMonochromeSensor(true);
    EXPECT_TRUE(raw->bitmapIsDirty());
    const uint16_t* mono = raw->masterImageBytes();
    ASSERT_NE(mono, nullptr);
    EXPECT_EQ(raw->decodeCount(), 2u);
    EXPECT_EQ(raw->alternateImageBytes(), nullptr);
    for (size_t i = 0; i < size_t(kW) * kH; i += 997) {
        EXPECT_EQ(mono[3 * i], mono[3 * i + 1]);
        EXPECT_EQ(mono[3 * i], mono[3 * i + 2]);
    }

    raw->setProcessAsMonochromeSensor(false);
    raw->setCameraProfile(DNGCameraProfileAbstract::initAsAutoProfile());  // another object
    ASSERT_NE(raw->masterImageBytes(), nullptr);
    EXPECT_NE(raw->alternateImageBytes(), nullptr);
    EXPECT_EQ(raw->decodeCount(), 3u);
}

TEST_F(rawWrapperChart, ParametersCarryTheCameraValues) {
    auto raw = Open(*chartPath);
    ASSERT_NE(raw->masterImageBytes(), nullptr);
    const platform::Dictionary p = raw->getParameters();
    EXPECT_EQ(p["UUID"].stringValue(), chartPath->string());
    EXPECT_EQ(p["width"].integerValue(), kW);
    EXPECT_EQ(p["height"].integerValue(), kH);
    EXPECT_EQ(p["status"].stringValue(), "Ok");
    EXPECT_FALSE(p["isOutputReferred"].boolValue(true));
    EXPECT_TRUE(p.contains("make"));
    EXPECT_TRUE(p.contains("model"));
    EXPECT_TRUE(p.contains("cameraBaselineExposure"));
    EXPECT_TRUE(p["cameraMetadata"].isDictionary());
    // The chart is lit by D65 and its matrix is the chart's own.
    EXPECT_NEAR(p["asShotWhitex"].realValue(), 0.3127, 0.002);
    EXPECT_NEAR(p["asShotWhitey"].realValue(), 0.3290, 0.002);
    const auto& m = TestChart::colorMatrix();
    const Vec neutral = TestChart::asShotNeutral();
    const double scale = std::max({neutral[0], neutral[1], neutral[2]});
    // Scaled so that the white (Y = 1) gives the neutral with largest entry 1.
    const Vec xyzWhite{0.3127 / 0.3290, 1.0, (1 - 0.3127 - 0.3290) / 0.3290};
    double whiteLargest = 0;
    for (int r = 0; r < 3; r++)
        whiteLargest = std::max(whiteLargest,
                                m[r * 3] * xyzWhite[0] + m[r * 3 + 1] + m[r * 3 + 2] * xyzWhite[2]);
    for (int r = 0; r < 3; r++)
        for (int c = 0; c < 3; c++)
            EXPECT_NEAR(p["cameraFromXYZ" + std::to_string(r) + std::to_string(c)].realValue(),
                        m[r * 3 + c] / whiteLargest * scale, 2e-3)
                << r << c;
}

TEST(rawWrapper, RealCaptureFilesDecodeAndStayNeutral) {
    struct Case {
        const char* file;
        uint32_t width, height;
        // A region (x, y, w, h) that is grey in the file's white-balanced
        // camera values (none in the blue-sky scene; the 16-bit file's own
        // neutral, 1 1 1, does not balance its raw data).
        uint32_t x, y, w, h;
    };
    const Case cases[] = {
        {"rpi-imx296_10bit-packed_strip.dng", 1456, 1088, 0, 0, 0, 0},
        {"rpi-imx296_16bit_thumb-ifd0_raw-subifd.dng", 1456, 1088, 0, 0, 0, 0},
        {"rpi-1920x1200_10bit-packed_single-tile.dng", 1920, 1200, 1320, 1100, 120, 100},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        auto raw = Open(RealDng(c.file));
        // A decode that went well logs no reader's error.
        platform::LogCapture log;
        const uint16_t* master = raw->masterImageBytes();
        EXPECT_FALSE(log.contains("DNG reader: error")) << log.lines().front();
        ASSERT_NE(master, nullptr) << raw->error()->description();
        ASSERT_NE(raw->alternateImageBytes(), nullptr);
        EXPECT_EQ(raw->imageWidth(), c.width);
        EXPECT_EQ(raw->imageHeight(), c.height);
        WriteViewingPNG(master, c.width, c.height, fs::path(c.file).stem().string() + ".png");
        if (c.w > 0) {
            const Vec mean = Mean(master, c.width, c.x, c.y, c.w, c.h);
            EXPECT_LT(MaxChannelSpread(mean), 0.02) << mean[0] << " " << mean[1] << " " << mean[2];
        }
    }
}

}  // namespace

namespace {

TEST(rawWrapper, ThumbnailsComeFromThePreviewOrAHalfSizeDecode) {
    // An 8-bit RGB preview of 91 x 68 in the first directory.
    auto withPreview = Open(RealDng("rpi-imx296_16bit_thumb-ifd0_raw-subifd.dng"), true);
    const uint16_t* thumb = withPreview->masterImageBytes();
    ASSERT_NE(thumb, nullptr) << withPreview->error()->description();
    EXPECT_EQ(withPreview->imageWidth(), 91);
    EXPECT_EQ(withPreview->imageHeight(), 68);
    EXPECT_TRUE(withPreview->isOutputReferred());
    EXPECT_EQ(withPreview->alternateImageBytes(), nullptr);
    WriteViewingPNG(thumb, 91, 68, "thumb-preview.png");

    // No preview: half the mosaic's size.
    auto withoutPreview = Open(RealDng("rpi-imx296_10bit-packed_strip.dng"), true);
    ASSERT_NE(withoutPreview->masterImageBytes(), nullptr);
    EXPECT_EQ(withoutPreview->imageWidth(), 728);
    EXPECT_EQ(withoutPreview->imageHeight(), 544);
    EXPECT_FALSE(withoutPreview->isOutputReferred());
}

}  // namespace

namespace {

std::string ErrorOf(const fs::path& path, bool thumb = false) {
    auto raw = Open(path, thumb);
    if (raw->masterImageBytes() != nullptr) return "";
    EXPECT_EQ(raw->alternateImageBytes(), nullptr);
    const auto error = raw->error();
    if (!error) return "(no error)";
    EXPECT_EQ(error->domain, "RawOpenErrorDomain");
    EXPECT_EQ(error->code, -5);
    EXPECT_EQ(raw->getParameters()["status"].stringValue(), error->description());
    return error->failureReason;
}

void WriteBytes(const fs::path& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

TEST(rawWrapper, FilesItCannotDecodeGiveClearErrors) {
    // Lossy JPEG data, whether its compression says so (34892) or claims lossless (7).
    for (const char* name : {"lg-h815_linearraw-8bit-lossyjpeg_2tiles_opcodelist2.dng",
                             "bmpcc4k_cfa-12bit-dctjpeg_4tiles_linearization.dng"}) {
        EXPECT_EQ(ErrorOf(RealDng(name)),
                  std::string("The DNG file \"") + name +
                      "\" cannot be opened: this DNG holds lossy-compressed (JPEG) image data, "
                      "which Quorvex does not develop (a thumbnail shown for it is the file's "
                      "own preview).");
    }
    // No colour matrix and no chosen profile: nothing says what its colours are.
    EXPECT_NE(ErrorOf(RealDng("rpi-640x480_10bit_minimal_malformed.dng")).find("colour matrix"),
              std::string::npos);

    testsupport::ScratchDir dir;
    EXPECT_NE(ErrorOf(dir.path() / "missing.dng").find("could not be opened"), std::string::npos);
    // A read that fails is said to, not taken for damage (this link reads as one).
    fs::create_symlink("/proc/self/mem", dir.path() / "eio.dng");
    EXPECT_EQ(ErrorOf(dir.path() / "eio.dng"),
              "The file \"eio.dng\" is not developed: it cannot be read: the device reports an "
              "input/output error (the disk or card may be failing).");
    // Under another maker's name too: no decoder takes the failed read for a format.
    fs::create_symlink("/proc/self/mem", dir.path() / "eio.NEF");
    EXPECT_NE(ErrorOf(dir.path() / "eio.NEF").find("it cannot be read: the device reports"),
              std::string::npos);
    // A TIFF start under another maker's name that then fails is a damaged
    // raw file; what starts as no raw format is unsupported.
    WriteBytes(dir.path() / "photo.NEF", {'M', 'M', 0, 42, 0, 0, 0, 8, 0, 0});
    EXPECT_NE(ErrorOf(dir.path() / "photo.NEF").find("is damaged or cut short"), std::string::npos);
    WriteBytes(dir.path() / "photo.crw", {'H', 'H', 'C', 'R', 'W', 0, 0, 0});
    EXPECT_NE(ErrorOf(dir.path() / "photo.crw")
                  .find("does not begin as the CRW file its name says, or as any raw file"),
              std::string::npos);
    WriteBytes(dir.path() / "photo.xyz", {'H', 'H', 'C', 'R', 'W', 0, 0, 0});
    EXPECT_NE(ErrorOf(dir.path() / "photo.xyz").find("(XYZ) is not supported"), std::string::npos);

    // Truncated and corrupted copies of a real file: an error or an image,
    // never a crash.
    std::ifstream in(RealDng("rpi-imx296_16bit_thumb-ifd0_raw-subifd.dng"), std::ios::binary);
    const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), {});
    for (size_t keep : {size_t(8), size_t(20000), bytes.size() / 2}) {
        SCOPED_TRACE(keep);
        const fs::path cut = dir.path() / ("cut" + std::to_string(keep) + ".dng");
        WriteBytes(cut, std::vector<uint8_t>(bytes.begin(), bytes.begin() + long(keep)));
        EXPECT_FALSE(ErrorOf(cut).empty());
    }
    // Random damage to the directories, the preview and the first raw rows.
    std::mt19937 rng(7);
    for (int round = 0; round < 12; round++) {
        std::vector<uint8_t> damaged = bytes;
        std::uniform_int_distribution<size_t> where(4, 40000);
        for (int k = 0; k < 24; k++) damaged[where(rng)] = uint8_t(rng());
        const fs::path path = dir.path() / ("damaged" + std::to_string(round) + ".dng");
        WriteBytes(path, damaged);
        ErrorOf(path);
        ErrorOf(path, true);
    }
}

TEST(rawWrapper, MetadataHoldsTheFilesTags) {
    auto raw = Open(RealDng("rpi-imx296_10bit-packed_strip.dng"));
    EXPECT_EQ(raw->metaData(), nullptr);
    ASSERT_NE(raw->masterImageBytes(), nullptr);
    const auto meta = raw->metaData();
    ASSERT_NE(meta, nullptr);
    const platform::Dictionary& m = *meta;
    EXPECT_EQ(m[kCGImagePropertyPixelWidth].integerValue(), 1456);
    EXPECT_EQ(m[kCGImagePropertyPixelHeight].integerValue(), 1088);
    const platform::Value& tiff = m[kCGImagePropertyTIFFDictionary];
    EXPECT_EQ(tiff[kCGImagePropertyTIFFMake].stringValue(), "RaspberryPi");
    EXPECT_EQ(tiff[kCGImagePropertyTIFFModel].stringValue(), "PiDNG / PiCamera2");
    EXPECT_EQ(tiff[kCGImagePropertyTIFFPhotometricInterpretation].integerValue(), 32803);
    const platform::Value& exif = m[kCGImagePropertyExifDictionary];
    ASSERT_TRUE(exif[kCGImagePropertyExifISOSpeedRatings].isArray());
    EXPECT_EQ(exif[kCGImagePropertyExifISOSpeedRatings].array().at(0).integerValue(), 100);
    const platform::Value& dng = m[kCGImagePropertyDNGDictionary];
    ASSERT_TRUE(dng[kCGImagePropertyDNGVersion].isArray());
    const platform::Value::Array& version = dng[kCGImagePropertyDNGVersion].array();
    ASSERT_EQ(version.size(), 4u);
    EXPECT_EQ(version[0].integerValue(), 1);
    EXPECT_EQ(version[1].integerValue(), 4);
    const platform::Dictionary p = raw->getParameters();
    EXPECT_EQ(p["make"].stringValue(), "RaspberryPi");
    EXPECT_EQ(p["cameraMetadata"].dictionary()[kCGImagePropertyPixelWidth].integerValue(), 1456);

    // The LG file's pixels are lossy tiles, but its preview decodes: a
    // thumbnail wrapper carries its EXIF and GPS records (exiftool: ISO 800,
    // 1/250 s, f/1.8, 4.4 mm; a GPS position in the northern hemisphere).
    auto lg = Open(RealDng("lg-h815_linearraw-8bit-lossyjpeg_2tiles_opcodelist2.dng"), true);
    ASSERT_NE(lg->masterImageBytes(), nullptr) << lg->error()->description();
    EXPECT_EQ(lg->imageWidth(), 256);
    EXPECT_EQ(lg->imageHeight(), 144);
    const platform::Dictionary& lm = *lg->metaData();
    const platform::Value& lexif = lm[kCGImagePropertyExifDictionary];
    EXPECT_EQ(lexif[kCGImagePropertyExifISOSpeedRatings].array().at(0).integerValue(), 800);
    EXPECT_NEAR(lexif[kCGImagePropertyExifExposureTime].realValue(), 1.0 / 250, 1e-6);
    EXPECT_NEAR(lexif[kCGImagePropertyExifFNumber].realValue(), 1.8, 1e-6);
    EXPECT_NEAR(lexif[kCGImagePropertyExifFocalLength].realValue(), 4.4, 0.03);
    EXPECT_TRUE(
        lexif[kCGImagePropertyExifDateTimeOriginal].stringValue().starts_with("2015:11:12"));
    const platform::Value& gps = lm[kCGImagePropertyGPSDictionary];
    EXPECT_EQ(gps[kCGImagePropertyGPSLatitudeRef].stringValue(), "N");
    EXPECT_GT(gps[kCGImagePropertyGPSLatitude].realValue(), 0.0);
    EXPECT_EQ(lm[kCGImagePropertyTIFFDictionary][kCGImagePropertyTIFFMake].stringValue(), "LGE");
    WriteViewingPNG(lg->masterImageBytes(), 256, 144, "thumb-lg-preview.png");
}

}  // namespace

namespace {

TEST_F(rawWrapperChart, AFileProfilesMatricesReplaceTheFilesOwn) {
    fs::path dcp;
    for (const auto& entry : fs::recursive_directory_iterator(testsupport::testdataDir() / "dcp"))
        if (entry.path().extension() == ".dcp") {
            dcp = entry.path();
            break;
        }
    ASSERT_FALSE(dcp.empty());
    auto profile = DNGCameraProfileAbstract::initFromFile(dcp);
    ASSERT_NE(profile, nullptr);
    auto own = Open(*chartPath);
    auto other = Open(*chartPath);
    other->setCameraProfile(profile);
    const uint16_t* a = own->masterImageBytes();
    const uint16_t* b = other->masterImageBytes();
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr) << other->error()->description();
    const TestChart chart(kChartW, kChartH);
    double colourDifference = 0;
    for (const TestChart::Patch& patch : chart.patches()) {
        const TestChartRect r = Inner(patch.rect);
        const Vec va = Mean(a, kW, r.x, r.y, r.width, r.height);
        const Vec vb = Mean(b, kW, r.x, r.y, r.width, r.height);
        // Another camera's matrices change colours but keep the white grey.
        if (patch.neutral) {
            EXPECT_LT(MaxChannelSpread(vb), 0.02) << patch.name;
        }
        for (int c = 0; c < 3; c++)
            colourDifference = std::max(colourDifference, std::abs(va[c] - vb[c]));
    }
    EXPECT_GT(colourDifference, 0.01);
    // The same profile again keeps the images.
    other->setCameraProfile(profile);
    EXPECT_EQ(other->masterImageBytes(), b);
    EXPECT_EQ(other->decodeCount(), 1u);
}

}  // namespace

namespace {

TEST_F(rawWrapperChart, WrappersDecodeFromSeveralThreadsAlike) {
    auto reference = Open(*chartPath);
    const uint16_t* expected = reference->masterImageBytes();
    ASSERT_NE(expected, nullptr);
    std::vector<rawWrapper::Ptr> wrappers;
    for (int i = 0; i < 3; i++) wrappers.push_back(Open(*chartPath));
    // One wrapper asked from two threads at once decodes once.
    wrappers.push_back(wrappers.back());
    std::vector<std::thread> threads;
    std::vector<const uint16_t*> results(wrappers.size());
    for (size_t i = 0; i < wrappers.size(); i++)
        threads.emplace_back([&, i] {
            wrappers[i]->setDecodeBands(unsigned(i + 1));
            results[i] = wrappers[i]->masterImageBytes();
        });
    for (auto& t : threads) t.join();
    for (size_t i = 0; i < wrappers.size(); i++) {
        ASSERT_NE(results[i], nullptr);
        EXPECT_TRUE(std::equal(expected, expected + size_t(kW) * kH * 3, results[i])) << i;
    }
    EXPECT_EQ(wrappers.back()->decodeCount(), 1u);
}

}  // namespace

namespace {

TEST(rawWrapper, LinearRawFilesGiveTheMasterOnly) {
    testsupport::ScratchDir dir;
    negtest::DngSpec spec;
    spec.samples = 3;
    spec.black = {0, 0, 0};
    spec.white = {65535, 65535, 65535};
    spec.cropOrigin = {4, 2};
    spec.cropSize = {56, 40};
    // Left half a grey (the neutral at 40%), right half a pure camera red.
    std::vector<uint16_t> samples(size_t(spec.width) * spec.height * 3);
    for (uint32_t y = 0; y < spec.height; y++)
        for (uint32_t x = 0; x < spec.width; x++)
            for (int c = 0; c < 3; c++)
                samples[(size_t(y) * spec.width + x) * 3 + c] =
                    x < spec.width / 2 ? uint16_t(0.4 * spec.neutral[c] * 65535 + 0.5)
                                       : uint16_t(c == 0 ? 30000 : 0);
    const fs::path path = dir.path() / "linear.dng";
    ASSERT_TRUE(negtest::WriteDng(path.string(), spec, samples));
    auto raw = Open(path);
    const uint16_t* master = raw->masterImageBytes();
    ASSERT_NE(master, nullptr) << raw->error()->description();
    EXPECT_EQ(raw->alternateImageBytes(), nullptr);
    ASSERT_EQ(raw->imageWidth(), 56);
    ASSERT_EQ(raw->imageHeight(), 40);
    EXPECT_NEAR(raw->cameraBaselineExposure(), 0.25, 1e-3);
    const Vec grey = Mean(master, 56, 4, 4, 16, 30);
    for (int c = 0; c < 3; c++) EXPECT_NEAR(grey[c], 0.4, 0.004) << c;
    const Vec red = Mean(master, 56, 36, 4, 16, 30);
    EXPECT_GT(red[0], 2 * std::max(red[1], red[2]));
}

}  // namespace

namespace {

// A linear file states camera white as a D65 matrix with neutral 1 1 1 (our export) or a D50
// one with AsShotWhiteXY or alone, either referred: 1 1 1 is white in each, 40 % renders grey.
TEST(rawWrapper, LinearFilesRenderTheWhiteTheyStateAsGrey) {
    // XYZ to linear ProPhoto, under D65 (adapted to D50 first) and under D50.
    const std::vector<double> d65{1.3411, -0.2132, -0.097, -0.5028, 1.4158,
                                  0.0162, -0.0107, 0.0174, 0.8711};
    const std::vector<double> d50{1.3459, -0.2556, -0.051, -0.5445, 1.5081, 0.0205, 0, 0, 1.2123};
    testsupport::ScratchDir dir;
    int n = 0;
    for (const auto& [isD65, statesXY, reference] :
         {std::tuple{true, false, 1}, {true, false, 0}, {false, true, 1}, {false, false, 1}}) {
        SCOPED_TRACE(n);
        negtest::DngSpec spec;
        spec.samples = 3, spec.black = {0, 0, 0}, spec.white = {65535, 65535, 65535};
        spec.colorMatrix = isD65 ? d65 : d50, spec.illuminant = isD65 ? 21 : 23;
        spec.neutral = isD65 ? std::vector<double>{1, 1, 1} : std::vector<double>{};
        if (statesXY) spec.whiteXY = {0.3457, 0.3585};
        spec.colorimetricReference = uint16_t(reference);
        const fs::path path = dir.path() / (std::to_string(n++) + ".dng");
        const std::vector<uint16_t> pixels(size_t(spec.width) * spec.height * 3, 26214);  // 40 %
        ASSERT_TRUE(negtest::WriteDng(path.string(), spec, pixels));
        auto raw = Open(path);
        ASSERT_NE(raw->masterImageBytes(), nullptr) << raw->error()->description();
        const Vec grey = Mean(raw->masterImageBytes(), spec.width, 0, 0, spec.width, spec.height);
        for (int c = 0; c < 3; c++) EXPECT_NEAR(grey[c], 0.4, 0.002) << c;
        const platform::Dictionary p = raw->getParameters();
        EXPECT_NEAR(p.find("asShotWhitex")->realValue(), isD65 ? 0.3127 : 0.3457, 0.001);
        EXPECT_NEAR(p.find("asShotWhitey")->realValue(), isD65 ? 0.3290 : 0.3585, 0.001);
    }
}

TEST(rawWrapper, ImagesWiderThanSixteenBitsAreRefusedBeforeDecoding) {
    testsupport::ScratchDir dir;
    negtest::DngSpec spec;
    spec.width = 66000;
    spec.height = 4;
    const fs::path path = dir.path() / "wide.dng";
    ASSERT_TRUE(negtest::WriteDng(path.string(), spec,
                                  std::vector<uint16_t>(size_t(spec.width) * spec.height, 1000)));
    EXPECT_NE(ErrorOf(path).find("66000 x 4"), std::string::npos);
}

}  // namespace

namespace {

// A CFA file of a flat grey whose third opcode list halves the green plane
// of the demosaiced image (MapPolynomial y = 0.5 x). The writer knows only
// opcode list 2, so its tag is renamed in the written directory.
fs::path WriteGreyWithOpcodeList3(const testsupport::ScratchDir& dir, bool withList) {
    negtest::DngSpec spec;
    if (withList) spec.opcodeList2 = negtest::HalvePlaneOneOpcodeList(spec.height, spec.width);
    std::vector<uint16_t> samples(size_t(spec.width) * spec.height);
    const uint8_t cfa[4] = {0, 1, 1, 2};
    for (uint32_t y = 0; y < spec.height; y++)
        for (uint32_t x = 0; x < spec.width; x++)
            samples[size_t(y) * spec.width + x] =
                uint16_t(0.4 * spec.neutral[cfa[(y & 1) * 2 + (x & 1)]] * 65535 + 0.5);
    const fs::path path = dir.path() / (withList ? "list3.dng" : "plain.dng");
    EXPECT_TRUE(negtest::WriteDng(path.string(), spec, samples));
    std::fstream f(path, std::ios::in | std::ios::out | std::ios::binary);
    std::vector<char> bytes((std::istreambuf_iterator<char>(f)), {});
    const char from[4] = {0x41, char(0xC7), 7, 0};  // tag 51009, UNDEFINED
    auto at = std::search(bytes.begin(), bytes.end(), from, from + 4);
    if (withList) {
        EXPECT_NE(at, bytes.end());
        if (at == bytes.end()) return path;
        f.seekp(at - bytes.begin());
        f.put(0x4E);  // tag 51022
    }
    return path;
}

TEST(rawWrapper, OpcodeListThreeRunsOnTheDemosaicedImages) {
    testsupport::ScratchDir dir;
    auto plain = Open(WriteGreyWithOpcodeList3(dir, false));
    auto listed = Open(WriteGreyWithOpcodeList3(dir, true));
    ASSERT_NE(plain->masterImageBytes(), nullptr) << plain->error()->description();
    ASSERT_NE(listed->masterImageBytes(), nullptr) << listed->error()->description();
    const Vec grey = Mean(plain->masterImageBytes(), 64, 8, 8, 48, 32);
    for (int c = 0; c < 3; c++) EXPECT_NEAR(grey[c], 0.4, 0.004) << c;
    for (const uint16_t* image : {listed->masterImageBytes(), listed->alternateImageBytes()}) {
        const Vec tinted = Mean(image, 64, 8, 8, 48, 32);
        EXPECT_LT(tinted[1], 0.8 * std::min(tinted[0], tinted[2]));
    }
}

}  // namespace
