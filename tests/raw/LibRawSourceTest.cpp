// The makers' own raw formats through LibRaw: the shared camera files decode
// at their size and aspect with neutral greys, metadata and colour
// parameters; a DNG decoded this way matches our own reader's picture; files
// whose image data were cut out, cut short, bit-flipped or that are pictures
// under a raw name fail alone with one clear sentence naming the file.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "TestJpeg.h"
#include "color/ColorHelper.h"
#include "color/ComputeMatrixAndLUT.h"
#include "dng/image/HandMadeDng.h"
#include "raw/LibRawSource.h"
#include "raw/RawColor.h"
#include "raw/RawMetadata.h"
#include "raw/SceneNeutral.h"
#include "raw/rawWrapper.h"
#include "support/TestSupport.h"

namespace {

namespace fs = std::filesystem;
using Vec = std::array<double, 3>;

fs::path Other(const char* name) { return testsupport::testdataDir() / "raw" / "other" / name; }

rawWrapper::Ptr Open(const fs::path& path, bool thumb = false) {
    return rawWrapper::initWithFile(path.string(), path.string(), thumb);
}

std::vector<uint8_t> Bytes(const fs::path& path) { return testsupport::fileBytes(path); }

void Write(const fs::path& path, const std::vector<uint8_t>& bytes) {
    testsupport::writeFileBytes(path, bytes);
}

std::string ErrorOf(const fs::path& path) {
    auto raw = Open(path);
    if (raw->masterImageBytes()) return "";
    const auto error = raw->error();
    return error ? error->failureReason : "(no error)";
}

// CIELAB (D65 white) of linear ProPhoto (D65) values, white at 1.
Vec Lab(const Vec& rgb) {
    static const dng_matrix xyzFromProPhoto = Invert(RawProPhotoD65FromXYZ());
    static const dng_vector white = xyzFromProPhoto * dng_vector_3(1, 1, 1);
    double f[3];
    for (uint32 r = 0; r < 3; r++) {
        double v = 0;
        for (uint32 c = 0; c < 3; c++) v += xyzFromProPhoto[r][c] * rgb[c];
        v /= white[r];
        f[r] = v > 0.008856 ? std::cbrt(v) : 7.787 * v + 16.0 / 116;
    }
    return {116 * f[1] - 16, 500 * (f[0] - f[1]), 200 * (f[1] - f[2])};
}

Vec Mean(const uint16_t* rgb, uint32_t width, uint32_t x0, uint32_t y0, uint32_t w, uint32_t h) {
    Vec sum{};
    for (uint32_t y = y0; y < y0 + h; y++)
        for (uint32_t x = x0; x < x0 + w; x++)
            for (int c = 0; c < 3; c++)
                sum[size_t(c)] += rgb[(size_t(y) * width + x) * 3 + size_t(c)];
    for (double& s : sum) s /= double(w) * h * 65535.0;
    return sum;
}

// Chroma of a patch, its lightness brought to 50 first so that a dark grey
// and a light one are held to the same standard.
double Chroma(const Vec& patch) {
    const double g = std::max(1e-6, (patch[0] + patch[1] + patch[2]) / 3);
    const double k = 0.184 / g;
    const Vec lab = Lab({patch[0] * k, patch[1] * k, patch[2] * k});
    return std::hypot(lab[1], lab[2]);
}

struct Patch {
    uint32_t x, y, w, h;
};

struct Chart {
    const char* file;
    uint32_t width, height;
    // A light and a dark grey of the chart, inside their edges.
    Patch light, dark;
    // The dark grey's chroma, balanced on the light one (CIELAB at L* 50),
    // is at most this: 2.5 where the data are linear. A wrong black level
    // or channel order gives a cast of 5 or more. The DC120's 8-bit data are
    // not linear: LibRaw's own interpolation of them shows the same cast.
    double chroma;
};

// Sizes are the visible sensor area; the DC120's pixels are 1.535 times as
// wide as high, so 848 become 1301.
const Chart kCharts[] = {
    {"canon-powershot-g2_colorchart.CRW",
     2312,
     1720,
     {594, 1246, 120, 100},
     {1599, 1246, 120, 100},
     2.5},
    {"kodak-dc120_compressed_colorchart.KDC",
     1301,
     976,
     {184, 602, 60, 60},
     {462, 602, 60, 60},
     7.5},
    {"kodak-dc120_uncompressed_colorchart-close.KDC",
     1301,
     976,
     {170, 438, 70, 70},
     {521, 438, 70, 70},
     7.5},
    {"kodak-dc50_colorchart-sg.KDC", 768, 512, {218, 368, 20, 20}, {260, 368, 20, 20}, 2.5},
};

// The greys of a chart share one colour: white balanced on the light grey
// (the CRW's as-shot balance is as warm as the camera left it, LibRaw's own
// rendering shows the same), the dark grey is neutral within the chart's
// chroma.
Vec Balanced(const Vec& patch, const Vec& white) {
    return {patch[0] / white[0], patch[1] / white[1], patch[2] / white[2]};
}

TEST(LibRawSource, CameraFilesDecodeAtTheirSizeWithNeutralGreys) {
    for (const Chart& chart : kCharts) {
        SCOPED_TRACE(chart.file);
        auto raw = Open(Other(chart.file));
        const uint16_t* master = raw->masterImageBytes();
        ASSERT_NE(master, nullptr) << (raw->error() ? raw->error()->failureReason : "");
        EXPECT_NE(raw->alternateImageBytes(), nullptr) << "Bayer sensors get both renderings";
        EXPECT_EQ(raw->imageWidth(), chart.width);
        EXPECT_EQ(raw->imageHeight(), chart.height);
        EXPECT_EQ(raw->plannedImageSize(), std::make_pair(chart.width, chart.height));
        EXPECT_FALSE(raw->isOutputReferred());
        const auto mean = [&](const Patch& p) {
            return Mean(master, chart.width, p.x, p.y, p.w, p.h);
        };
        const Vec light = mean(chart.light), dark = mean(chart.dark);
        EXPECT_LT(dark[1], light[1] * 0.8);
        const Vec balanced = Balanced(dark, light);
        std::printf(
            "[ grey ] %s: light %.4f %.4f %.4f, dark %.4f %.4f %.4f, as shot chroma %.2f, "
            "balanced dark chroma %.2f\n",
            chart.file, light[0], light[1], light[2], dark[0], dark[1], dark[2], Chroma(light),
            Chroma(balanced));
        EXPECT_LE(Chroma(balanced), chart.chroma);
        const auto meta = raw->metaData();
        ASSERT_TRUE(meta);
        EXPECT_EQ((*meta)[kCGImagePropertyPixelWidth].integerValue(), chart.width);
        EXPECT_EQ(
            (*meta)[kCGImagePropertyTIFFDictionary][kCGImagePropertyTIFFOrientation].integerValue(),
            1);
    }
}

TEST(LibRawSource, MetadataAndColourReachTheDictionaryAndParameters) {
    auto raw = Open(Other("canon-powershot-g2_colorchart.CRW"));
    ASSERT_NE(raw->masterImageBytes(), nullptr);
    const platform::Dictionary& meta = *raw->metaData();
    const auto& tiff = meta[kCGImagePropertyTIFFDictionary];
    const auto& exif = meta[kCGImagePropertyExifDictionary];
    EXPECT_EQ(tiff[kCGImagePropertyTIFFMake].stringValue(), "Canon");
    EXPECT_EQ(tiff[kCGImagePropertyTIFFModel].stringValue(), "Canon PowerShot G2");
    EXPECT_NEAR(exif[kCGImagePropertyExifFNumber].realValue(), 4.0, 0.05);
    EXPECT_NEAR(exif[kCGImagePropertyExifFocalLength].realValue(), 7.0, 0.05);
    EXPECT_NEAR(exif[kCGImagePropertyExifExposureTime].realValue(), 1 / 50.0, 0.002);
    EXPECT_EQ(exif[kCGImagePropertyExifISOSpeedRatings].array().at(0).integerValue(), 50);
    EXPECT_EQ(exif[kCGImagePropertyExifDateTimeOriginal].stringValue().size(), 19u);

    platform::Dictionary p = raw->getParameters();
    EXPECT_EQ(p["make"].stringValue(), "Canon");
    EXPECT_EQ(p["model"].stringValue(), "PowerShot G2");
    EXPECT_EQ(p["status"].stringValue(), "Ok");
    // An indoor shot: a white warmer than daylight.
    const double x = p["asShotWhitex"].realValue(), y = p["asShotWhitey"].realValue();
    EXPECT_GT(x, 0.3128);
    EXPECT_LT(x, 0.48);
    EXPECT_GT(y, 0.3);
    EXPECT_LT(y, 0.43);
    // The per-model matrix: green sees the luminance, as every camera's does.
    EXPECT_GT(p["cameraFromXYZ11"].realValue(), 0.5);

    // The browser's picture is the file's own preview.
    auto thumb = Open(Other("canon-powershot-g2_colorchart.CRW"), true);
    ASSERT_NE(thumb->masterImageBytes(), nullptr);
    EXPECT_EQ(thumb->imageWidth(), 640);
    EXPECT_EQ(thumb->imageHeight(), 480);
    EXPECT_TRUE(thumb->isOutputReferred());
    // The Kodak's 80 x 60 bitmap is unrendered: a half-size decode instead,
    // at the pixels' aspect.
    auto kodak = Open(Other("kodak-dc120_compressed_colorchart.KDC"), true);
    ASSERT_NE(kodak->masterImageBytes(), nullptr);
    EXPECT_EQ(kodak->imageWidth(), 650);
    EXPECT_EQ(kodak->imageHeight(), 488);
    EXPECT_FALSE(kodak->isOutputReferred());
}

// A file that states no balance takes the light of the whole picture: the
// mean of each colour over its blocks, the greens' sites weighing as one
// colour, blocks with a clipped sample and the darkest blocks left out. The
// halves of the picture are two colours; a clipped highlight and a shadow of
// colours far from both must not move the result.
TEST(LibRawSource, NoBalanceNeutralIsTheWholePicturesMeanColour) {
    const uint32_t w = 64, h = 64;
    const CFAPattern pattern = *CFAPattern::fromName("GRBG");
    const Vec left{20000, 30000, 12000}, right{30000, 40000, 16000};
    const Vec clipped{60000, 50000, 65535}, shadow{100, 300, 50};
    RawSamples mosaic(size_t(w) * h);
    for (uint32_t y = 0; y < h; y++)
        for (uint32_t x = 0; x < w; x++) {
            const Vec& colour = y < 8 && x >= 24 && x < 40 ? clipped
                                : y >= 56                  ? shadow
                                : x < 32                   ? left
                                                           : right;
            mosaic[size_t(y) * w + x] = uint16_t(colour[size_t(pattern.colorAt(y, x))]);
        }
    const auto neutral = SceneNeutral(mosaic, w, h, pattern);
    ASSERT_TRUE(neutral);
    // Each half holds as many counted blocks: their mean colour, green 1.
    const Vec mean{(left[0] + right[0]) / 2, (left[1] + right[1]) / 2, (left[2] + right[2]) / 2};
    for (size_t c = 0; c < 3; c++) EXPECT_NEAR((*neutral)[c], mean[c] / mean[1], 1e-4) << c;

    // Decoded, a file of that mosaic that states no balance (a DNG without
    // its as-shot neutral, on LibRaw's road) takes that light: the mean of
    // the two halves comes out grey.
    {
        testsupport::ScratchDir dir;
        handdng::Layout l;
        l.width = l.height = l.tileLength = w;
        l.compression = 1;
        std::vector<uint8_t> samples;
        for (uint16_t v : mosaic) samples.insert(samples.end(), {uint8_t(v), uint8_t(v >> 8)});
        l.blobs = {samples};
        l.blobOf = {0};
        l.extra = {{33422, 1, {1, 0, 2, 1}}, {50717, 4, {65535}}, {50728, 5, {}}};
        const fs::path path = dir.path() / "unbalanced.dng";
        handdng::Write(path.string(), handdng::Build(l));
        rawWrapper::setDecodesDNGThroughLibRaw(true);
        auto raw = Open(path);
        const uint16_t* master = raw->masterImageBytes();
        rawWrapper::setDecodesDNGThroughLibRaw(false);
        ASSERT_NE(master, nullptr) << raw->error()->failureReason;
        const Vec l0 = Mean(master, w, 4, 12, 24, 40), r0 = Mean(master, w, 36, 12, 24, 40);
        const Vec grey{(l0[0] + r0[0]) / 2, (l0[1] + r0[1]) / 2, (l0[2] + r0[2]) / 2};
        for (size_t c = 0; c < 3; c++) EXPECT_NEAR(grey[c] / grey[1], 1.0, 0.01) << c;
    }

    // A picture all clipped or all dark says nothing.
    std::fill(mosaic.begin(), mosaic.end(), uint16_t(65535));
    EXPECT_FALSE(SceneNeutral(mosaic, w, h, pattern));
    std::fill(mosaic.begin(), mosaic.end(), uint16_t(200));
    EXPECT_FALSE(SceneNeutral(mosaic, w, h, pattern));
}

// The grey 0.18 of linear ProPhoto through the white balance the settings
// give for a camera's colour: its CIELAB.
Vec GreyUnder(const LibRawSource::Colour& colour, const platform::Dictionary& settings) {
    dng_matrix camFromXYZ(3, 3);
    for (uint32 r = 0; r < 3; r++)
        for (uint32 c = 0; c < 3; c++) camFromXYZ[r][c] = colour.cameraFromXYZ1[r][c];
    const dng_vector n =
        dng_vector_3(colour.asShotNeutral[0], colour.asShotNeutral[1], colour.asShotNeutral[2]);
    const dng_vector xyz = Invert(camFromXYZ) * n;
    platform::Dictionary camera;
    camera.set("asShotWhitex", float(xyz[0] / (xyz[0] + xyz[1] + xyz[2])));
    camera.set("asShotWhitey", float(xyz[1] / (xyz[0] + xyz[1] + xyz[2])));
    for (int r = 0; r < 3; r++)
        for (int c = 0; c < 3; c++)
            camera.set("cameraFromXYZ" + std::to_string(r) + std::to_string(c),
                       float(colour.cameraFromXYZ1[size_t(r)][size_t(c)]));
    ComputeMatrixAndLUT compute;
    compute.setImageParameters(settings);
    compute.setCameraParameters(camera);
    std::vector<float> lut(4 * 4096);
    float matrix[4][4], offset = 0, kneeLow = 0, kneeF = 0;
    EXPECT_TRUE(
        compute.populateFloatLUTAndMatrix(lut.data(), 4096, matrix, &offset, &kneeLow, &kneeF));
    Vec grey{};
    for (size_t c = 0; c < 3; c++) grey[c] = 0.18 * compute.wbMultiplier(int(c));
    return Lab(grey);
}

// The as-shot white of LibRaw's colour values lies where a camera records
// one, typing its temperature and tint back gives the as-shot picture, and
// on data the camera balanced a daylight temperature moves the grey but a
// little. The D1's values (a sunny street): multipliers near 1, the
// per-model matrix and its daylight multipliers the sensor's; read against
// the sensor they gave 2500 K / -108. The QuickTake-like values: multipliers
// near 1 with daylight ones near 1 too (or no per-model matrix at all), so
// that even the daylight-balanced matrix read tints beyond +50. The DC50
// file states multipliers of 1. The G2's values (a lamp-lit chart, data not
// balanced) keep their matrix.
TEST(LibRawSource, AsShotTemperatureOfCameraBalancedDataIsOneACameraRecords) {
    const std::array<std::array<double, 3>, 3> d1Matrix{
        {{0.7637, -0.2199, -0.0974}, {-0.9109, 1.7099, 0.2043}, {-0.2822, 0.3306, 0.8372}}};
    LibRawSource::ColourValues d1;
    d1.asShot = {0.96, 1, 1.04};
    d1.daylight = {2.50049, 0.937589, 1.02675};
    d1.cameraFromXYZ = d1Matrix;
    LibRawSource::ColourValues quickTake;
    quickTake.asShot = {0.91, 1.02, 0.95};
    quickTake.daylight = {1.0, 1.0, 1.0};
    quickTake.cameraFromXYZ = d1Matrix;
    LibRawSource::ColourValues noMatrix = quickTake;
    noMatrix.cameraFromXYZ = {};
    noMatrix.rgbFromCamera = {
        {{1.8125, -0.3365, -0.476}, {-0.435, 1.852, -0.417}, {-0.676, -1.393, 3.069}}};
    LibRawSource::ColourValues g2;
    g2.asShot = {1687, 1036, 1655};
    g2.daylight = {2.08396, 0.925946, 1.093};
    g2.cameraFromXYZ = {
        {{0.9194, -0.2787, -0.1059}, {-0.8098, 1.5657, 0.2608}, {-0.261, 0.3064, 0.7867}}};
    EXPECT_EQ(LibRawSource::colourFrom(g2).cameraFromXYZ1, g2.cameraFromXYZ);
    LibRawSource::ColourValues flagged = g2;
    flagged.balancedInCamera = true;
    EXPECT_NE(LibRawSource::colourFrom(flagged).cameraFromXYZ1, g2.cameraFromXYZ);

    struct Case {
        const char* name;
        LibRawSource::Colour colour;
        bool balanced;
    };
    const Case cases[] = {
        {"D1", LibRawSource::colourFrom(d1), true},
        {"QuickTake-like", LibRawSource::colourFrom(quickTake), true},
        {"no per-model matrix", LibRawSource::colourFrom(noMatrix), true},
        {"DC50 file", LibRawSource(Other("kodak-dc50_colorchart-sg.KDC").string()).colour(), true},
        {"G2", LibRawSource::colourFrom(g2), false}};
    for (const Case& one : cases) {
        SCOPED_TRACE(one.name);
        const LibRawSource::Colour& colour = one.colour;
        const Vec asShot = GreyUnder(colour, {{"Quorvex_UseAsShotWB", platform::Value(true)}});
        // The white the panel shows.
        dng_matrix camFromXYZ(3, 3);
        for (uint32 r = 0; r < 3; r++)
            for (uint32 c = 0; c < 3; c++) camFromXYZ[r][c] = colour.cameraFromXYZ1[r][c];
        const dng_vector xyz =
            Invert(camFromXYZ) *
            dng_vector_3(colour.asShotNeutral[0], colour.asShotNeutral[1], colour.asShotNeutral[2]);
        ColorHelper white;
        white.setFromxyCoord(float(xyz[0] / (xyz[0] + xyz[1] + xyz[2])),
                             float(xyz[1] / (xyz[0] + xyz[1] + xyz[2])));
        std::printf("[ white ] %s: %.0f K, tint %.1f\n", one.name, white.fTemperature(),
                    white.fTint());
        EXPECT_GT(white.fTemperature(), 2500);
        EXPECT_LT(white.fTemperature(), 10000);
        EXPECT_LE(std::fabs(white.fTint()), 30);
        const auto typed = [&](float temperature, float tint) {
            return GreyUnder(colour, {{"Quorvex_Filter_inputTemperature", temperature},
                                      {"Quorvex_Filter_inputTint", tint}});
        };
        const Vec back = typed(white.fTemperature(), white.fTint());
        EXPECT_NEAR(back[1], asShot[1], 0.3);
        EXPECT_NEAR(back[2], asShot[2], 0.3);
        if (one.balanced) {
            const Vec daylight = typed(5500, 0);
            const double moved = std::hypot(daylight[1] - asShot[1], daylight[2] - asShot[2]);
            std::printf("[ 5500 K / 0 ] %s moves %.1f a*b*\n", one.name, moved);
            EXPECT_LE(moved, 8);
        }
    }
}

TEST(LibRawSource, ContentNotNameChoosesTheDecoder) {
    testsupport::ScratchDir dir;
    const auto crw = Bytes(Other("canon-powershot-g2_colorchart.CRW"));
    for (const char* name : {"photo.dat", "photo.NEF", "photo.dng"}) {
        SCOPED_TRACE(name);
        Write(dir.path() / name, crw);
        auto raw = Open(dir.path() / name);
        ASSERT_NE(raw->masterImageBytes(), nullptr);
        EXPECT_EQ(raw->imageWidth(), 2312);
    }
    // Pictures under a raw name are refused as what they are.
    Write(dir.path() / "camera.NEF",
          testjpeg::Encode(64, 48, 3, [](int x, int, int c) { return uint8_t(x * 4 + c); }));
    EXPECT_EQ(ErrorOf(dir.path() / "camera.NEF"),
              "The file \"camera.NEF\" holds a JPEG picture, not a camera's raw data.");
}

// DNG files through LibRaw (a switch for tests) and through our own reader
// give the same picture: size, orientation and colour within a mean CIELAB
// difference of 1.5 and a 99th percentile of 4 over 16 x 16 blocks.
TEST(LibRawSource, DngThroughLibRawMatchesOurReader) {
    for (const char* name :
         {"rpi-1920x1200_10bit-packed_single-tile.dng", "rpi-imx296_10bit-packed_strip.dng",
          "rpi-imx296_16bit_thumb-ifd0_raw-subifd.dng"}) {
        SCOPED_TRACE(name);
        const fs::path path = testsupport::testdataDir() / "raw" / "dng" / name;
        auto ours = Open(path);
        ASSERT_NE(ours->masterImageBytes(), nullptr);
        rawWrapper::setDecodesDNGThroughLibRaw(true);
        auto theirs = Open(path);
        const uint16_t* viaLibRaw = theirs->masterImageBytes();
        rawWrapper::setDecodesDNGThroughLibRaw(false);
        ASSERT_NE(viaLibRaw, nullptr) << theirs->error()->failureReason;
        const uint32_t w = ours->imageWidth(), h = ours->imageHeight();
        ASSERT_EQ(theirs->imageWidth(), w);
        ASSERT_EQ(theirs->imageHeight(), h);
        EXPECT_EQ(
            (*theirs->metaData())[kCGImagePropertyTIFFDictionary][kCGImagePropertyTIFFOrientation]
                .integerValue(),
            (*ours->metaData())[kCGImagePropertyTIFFDictionary][kCGImagePropertyTIFFOrientation]
                .integerValue());
        std::vector<double> differences;
        for (uint32_t y = 0; y + 16 <= h; y += 16)
            for (uint32_t x = 0; x + 16 <= w; x += 16) {
                const Vec a = Lab(Mean(ours->masterImageBytes(), w, x, y, 16, 16));
                const Vec b = Lab(Mean(viaLibRaw, w, x, y, 16, 16));
                differences.push_back(std::hypot(a[0] - b[0], a[1] - b[1], a[2] - b[2]));
            }
        std::sort(differences.begin(), differences.end());
        double mean = 0;
        for (double d : differences) mean += d / double(differences.size());
        const double p99 = differences[differences.size() * 99 / 100];
        std::printf("[ dE76 ] %s: mean %.3f, 99th percentile %.3f, max %.3f\n", name, mean, p99,
                    differences.back());
        EXPECT_LE(mean, 1.5);
        EXPECT_LE(p99, 4.0);
    }
}

// Data that are not a Bayer mosaic take LibRaw's own road: the master only.
TEST(LibRawSource, FullColourDataGiveTheMasterOnly) {
    const fs::path path = testsupport::testdataDir() / "raw" / "dng" /
                          "lg-h815_linearraw-8bit-lossyjpeg_2tiles_opcodelist2.dng";
    rawWrapper::setDecodesDNGThroughLibRaw(true);
    auto raw = Open(path);
    const uint16_t* master = raw->masterImageBytes();
    rawWrapper::setDecodesDNGThroughLibRaw(false);
    ASSERT_NE(master, nullptr) << raw->error()->failureReason;
    EXPECT_EQ(raw->alternateImageBytes(), nullptr);
    EXPECT_EQ(raw->imageWidth(), 600);
    EXPECT_EQ(raw->imageHeight(), 337);
    const Vec mean = Mean(master, 600, 0, 0, 600, 337);
    EXPECT_GT(mean[1], 0.01);
    EXPECT_LT(mean[1], 0.9);
}

// Sets the byte count of the image data's strip in a big-endian TIFF-based
// file (the Kodak files) to `count`: a cut whose structure was made to fit.
void SetStripBytes(std::vector<uint8_t>& tiff, uint32_t count) {
    const auto u16 = [&](size_t at) { return uint32_t(tiff[at]) << 8 | tiff[at + 1]; };
    const auto u32 = [&](size_t at) { return u16(at) << 16 | u16(at + 2); };
    std::vector<size_t> pending{u32(4)};
    for (int visited = 0; !pending.empty() && visited < 8; visited++) {
        const size_t ifd = pending.back();
        pending.pop_back();
        for (size_t i = 0, n = u16(ifd); i < n; i++) {
            const size_t e = ifd + 2 + 12 * i;
            if (u16(e) == 330) pending.push_back(u32(e + 8));
            if (u16(e) == 279 && u32(e + 8) > 20000)
                for (size_t b = 0; b < 4; b++) tiff[e + 8 + b] = uint8_t(count >> (24 - 8 * b));
        }
    }
}

// Cut, fitted and damaged copies of the camera files, and files whose image
// data were cut out, each fail alone with one sentence that names the file
// and no decoder's code (a damaged copy may also decode): a cut file is
// damaged or cut short, never of a format Quorvex does not know, and a
// full-length file whose image data do not decode is damaged, not short.
TEST(LibRawSource, CutAndDamagedCopiesFailAloneAndClearly) {
    testsupport::ScratchDir dir;
    struct Copy {
        std::string name;
        std::vector<uint8_t> bytes;
        std::vector<std::string> says;  // any one of them; none: may decode
    };
    std::vector<Copy> copies;
    const std::vector<std::string> cutWords = {"cut short", "damaged"};
    std::mt19937 rng(75);
    for (const Chart& chart : kCharts) {
        const auto bytes = Bytes(Other(chart.file));
        std::vector<size_t> lengths = {1, 8, 26, 100, 1000, 4096, 20000};
        for (size_t k = 1; k < 12; k++) lengths.push_back(bytes.size() * k / 12);
        for (size_t length : lengths)
            copies.push_back({"cut-" + std::to_string(length) + "-" + chart.file,
                              {bytes.begin(), bytes.begin() + long(length)},
                              cutWords});
        // Short by a byte or a block, whatever the loader: cut short.
        for (size_t shortBy : {size_t(1), size_t(512)})
            copies.push_back({"short-" + std::to_string(shortBy) + "-" + chart.file,
                              {bytes.begin(), bytes.end() - long(shortBy)},
                              {"cut short"}});
        for (int round = 0; round < 6; round++) {
            std::vector<uint8_t> copy = bytes;
            const size_t flips = 1 + rng() % 24;
            for (size_t i = 0; i < flips; i++) {
                // Half of them in the directories at the front.
                const size_t span = i % 2 ? copy.size() : std::min<size_t>(copy.size(), 20000);
                copy[rng() % span] ^= uint8_t(1u << (rng() % 8));
            }
            copies.push_back({"flipped-" + std::to_string(round) + "-" + chart.file, copy, {}});
        }
    }
    // Strips made to fit what is left: the JPEG-coded DC120 cut by a byte
    // ends before its picture; the uncompressed one cut in half, where only
    // the loader's rate tells how much data must follow.
    for (auto [file, cut, words] :
         {std::tuple{"kodak-dc120_compressed_colorchart.KDC", size_t(1),
                     "they end before the picture does"},
          std::tuple{"kodak-dc120_uncompressed_colorchart-close.KDC", size_t(0),
                     "needs at least 828 KB, and the file holds"}}) {
        auto bytes = Bytes(Other(file));
        if (cut == 0) cut = bytes.size() / 2;
        SetStripBytes(bytes, uint32_t(bytes.size() - cut - 15680));
        copies.push_back(
            {std::string("fitted-") + file, {bytes.begin(), bytes.end() - long(cut)}, {words}});
    }
    // The DC50's image data zeroed in the middle, the file at its length.
    auto dc50 = Bytes(Other("kodak-dc50_colorchart-sg.KDC"));
    std::fill(dc50.begin() + 60000, dc50.begin() + 60512, uint8_t(0));
    copies.push_back({"zeroed-dc50.KDC",
                      dc50,
                      {"are damaged: the file holds all of them, but they do not decode"}});
    const fs::path stripped = testsupport::testdataDir() / "raw" / "metadata-only";
    int strippedFiles = 0;
    for (const auto& entry : fs::directory_iterator(stripped)) {
        const std::string ext = entry.path().extension().string();
        if (ext == ".dng" || ext == ".md") continue;
        strippedFiles++;
        copies.push_back(
            {entry.path().filename().string(), Bytes(entry.path()), {"missing or cut short"}});
    }
    EXPECT_EQ(strippedFiles, 11);

    int refused = 0, decoded = 0;
    for (const Copy& copy : copies) {
        SCOPED_TRACE(copy.name);
        Write(dir.path() / copy.name, copy.bytes);
        const std::string error = ErrorOf(dir.path() / copy.name);
        if (error.empty()) {
            EXPECT_TRUE(copy.says.empty()) << "decoded";
            decoded++;
            continue;
        }
        refused++;
        EXPECT_NE(error.find("\"" + copy.name + "\""), std::string::npos) << error;
        EXPECT_EQ(error.find("LibRaw"), std::string::npos) << error;
        EXPECT_EQ(error.find('\n'), std::string::npos) << error;
        EXPECT_EQ(error.back(), '.') << error;
        EXPECT_EQ(error.find("not supported"), std::string::npos) << error;
        EXPECT_EQ(error.find(" 1 bytes"), std::string::npos) << error;
        EXPECT_TRUE(copy.says.empty() || std::any_of(copy.says.begin(), copy.says.end(),
                                                     [&](const std::string& w) {
                                                         return error.find(w) != std::string::npos;
                                                     }))
            << error;
    }
    std::printf("[ sweep ] %zu copies: %d refused, %d decoded\n", copies.size(), refused, decoded);

    // A bit reader may look 8 bytes past data that end with the file; what
    // it reads beyond that was missing. A fixed-rate loader reads nothing
    // past its data.
    EXPECT_EQ(LibRawSource::missingBytes(8, 0, "canon_load_raw()"), 0u);
    EXPECT_EQ(LibRawSource::missingBytes(9, 100, "canon_load_raw()"), 109u);
    EXPECT_EQ(LibRawSource::missingBytes(0, 1, "packed_load_raw()"), 1u);
}

}  // namespace
