// The Photo CD image source: thumbnails, the resolution the user defaults
// choose, the 64Base index status, scanner profiles, metadata, and the
// engine rendering a real pack through it.
#include <gtest/gtest.h>
#include <png.h>

#include <cmath>
#include <filesystem>
#include <string>
#include <vector>

#include "color/ColorTestHome.h"
#include "color/ProfileManager.h"
#include "engine/CGImageBitMap.h"
#include "engine/ThreadedImageEngine.h"
#include "photocd/PcdPackWriter.h"
#include "photocd/PhotoCDImageSource.h"
#include "platform/ImageReader.h"
#include "platform/Log.h"
#include "platform/UserDefaults.h"
#include "platform/Version.h"
#include "raw/RawMetadata.h"
#include "support/TestSupport.h"

namespace {

namespace fs = std::filesystem;

std::string pack(const char* name) { return (testsupport::testdataDir() / "pcd" / name).string(); }

class PhotoCDImageSourceTest : public ::testing::Test {
protected:
    void SetUp() override {
        platform::UserDefaults::resetStandardForEnvironment();
        setDefaults(4, true, true);
    }
    void TearDown() override { platform::UserDefaults::resetStandardForEnvironment(); }
    void setDefaults(int resolution, bool advanced, bool automatic) {
        auto& d = platform::UserDefaults::standard();
        d.setInteger(resolution, "ResolutionSelect");
        d.setBool(advanced, "UseAdvancedInterpolation");
        d.setBool(automatic, "AutomaticColorProfile");
    }
    testsupport::ScopedHome home;
};

void savePNG(const std::shared_ptr<const platform::BitmapImage>& image, const fs::path& path) {
    std::vector<uint8_t> rgba(image->width() * image->height() * 4);
    const auto* p = reinterpret_cast<const uint16_t*>(image->dataProvider()->bytes());
    for (size_t i = 0; i < rgba.size(); ++i) rgba[i] = uint8_t(p[i] >> 8);
    png_image png{};
    png.version = PNG_IMAGE_VERSION;
    png.width = png_uint_32(image->width());
    png.height = png_uint_32(image->height());
    png.format = PNG_FORMAT_RGBA;
    fs::create_directories(path.parent_path());
    png_image_write_to_file(&png, path.c_str(), 0, rgba.data(), 0, nullptr);
}

TEST_F(PhotoCDImageSourceTest, ThumbnailsAreBase16WhateverTheDefaultsSay) {
    setDefaults(5, true, true);
    const struct {
        const char* file;
        bool portrait;
    } packs[] = {{"IMG0003.PCD", false}, {"IMG0004.PCD", true}, {"IMG0010.PCD", true},
                 {"IMG0015.PCD", false}, {"IMG0019.PCD", true}, {"IMG0023.PCD", false}};
    for (const auto& p : packs) {
        auto w = PhotoCDImageSource::initWithFile(pack(p.file), pack(p.file), true);
        ASSERT_TRUE(w);
        auto image = w->getImageRep(nullptr);
        ASSERT_TRUE(image) << p.file;
        EXPECT_EQ(image->width(), p.portrait ? 128u : 192u);
        EXPECT_EQ(image->height(), p.portrait ? 192u : 128u);
        EXPECT_EQ(image->bitsPerComponent(), 16u);
        EXPECT_EQ(image->bitsPerPixel(), 64u);
        EXPECT_EQ(w->resolutionInUse(), 0u);
        EXPECT_EQ(w->ipeStatus(), 0u);
        EXPECT_TRUE(w->ipePath().empty());  // the index is never looked for
        const auto* px = reinterpret_cast<const uint16_t*>(image->dataProvider()->bytes());
        EXPECT_EQ(px[3], 65535);
        savePNG(image, fs::path(QUORVEX_BUILD_DIR) / "screenshots" /
                           (std::string("photocd-thumbnail-") + p.file + ".png"));
        // The float picture converted to ProPhoto, of the same size.
        auto table = w->getImageTable(nullptr);
        ASSERT_TRUE(table) << p.file;
        EXPECT_EQ(table->width(), image->width());
        EXPECT_EQ(table->bitsPerComponent(), 32u);
        platform::LogCapture log;
        EXPECT_EQ(w->masterImageBytes(), nullptr);
        EXPECT_TRUE(
            log.contains("Error - -[PhotoCDImageSource masterImageBytes] call on thumbnail image"));
    }
}

TEST_F(PhotoCDImageSourceTest, ResolutionAndExtensionStatus) {
    setDefaults(7, false, true);
    auto w = PhotoCDImageSource::initWithFile(pack("IMG0015.PCD"), "u", false);
    ASSERT_TRUE(w->preProcess());
    EXPECT_EQ(w->resolutionInUse(), 4u);
    EXPECT_EQ(w->imageWidth(), 3072);
    EXPECT_EQ(w->imageHeight(), 2048);
    EXPECT_TRUE(w->isOutputReferred());
    auto params = w->getParameters();
    EXPECT_EQ(params["ipeStatus"].integerValue(), 1);
    EXPECT_EQ(params["status"].stringValue(), "Ok");
    EXPECT_EQ(params["UUID"].stringValue(), "u");
    EXPECT_NEAR(params["asShotWhitex"].realValue(), 0.3127, 1e-4);
    EXPECT_DOUBLE_EQ(params["cameraFromXYZ11"].realValue(), 0.7151522);
    platform::LogCapture log;
    EXPECT_EQ(w->genCIImage(nullptr), nullptr);
    EXPECT_TRUE(log.contains("call on non-thumbnail image"));

    // A generated disc with its extension folder written in lower case.
    pcdtest::Pack p = pcdtest::makePack({});
    const fs::path image = home.path() / "DISC" / "PHOTOS" / "IMG0001.PCD";
    pcdtest::writeFile(image, p.bytes);
    pcdtest::ExtensionLayout layout;
    layout.lowerCaseFolder = true;
    const fs::path index = pcdtest::writeExtension(p, image, layout);
    setDefaults(5, false, true);
    auto full = PhotoCDImageSource::initWithFile(image.string(), image.string(), false);
    ASSERT_TRUE(full->preProcess());
    EXPECT_EQ(full->ipePath(), index.string());
    EXPECT_EQ(full->ipeStatus(), 3u);
    EXPECT_EQ(full->resolutionInUse(), 5u);
    EXPECT_EQ(full->imageWidth(), 6144);
    EXPECT_FALSE(full->getErrorString());

    setDefaults(2, false, true);
    auto missing =
        PhotoCDImageSource::initWithFile((home.path() / "none.pcd").string(), "x", false);
    EXPECT_FALSE(missing->preProcess());
    EXPECT_EQ(missing->masterImageBytes(), nullptr);
    ASSERT_TRUE(missing->error());
    EXPECT_EQ(missing->error()->domain, platform::RawOpenErrorDomain);
    EXPECT_EQ(missing->error()->code, -15);
    EXPECT_EQ(missing->error()->failureReason,
              "Could not open PCD file - may be a file permissions problem");
    EXPECT_NE(missing->getParameters()["status"].stringValue(), "Ok");
}

TEST_F(PhotoCDImageSourceTest, ScannerProfilesAndMetadata) {
    auto& pm = ProfileManager::sharedManager();
    auto negative = PhotoCDImageSource::initWithFile(pack("IMG0019.PCD"), "n", false);
    auto early = PhotoCDImageSource::initWithFile(pack("IMG0003.PCD"), "e", false);
    ASSERT_TRUE(negative->preProcess());
    ASSERT_TRUE(early->preProcess());
    EXPECT_EQ(negative->detectScannerProfile(), pm.getPhotoCDXnProfile());
    EXPECT_EQ(early->detectScannerProfile(), pm.getPhotoCDXgProfile());
    setDefaults(4, true, false);
    EXPECT_EQ(negative->detectScannerProfile(), pm.getPhotoCDXgProfile());

    auto meta = negative->metaData();
    ASSERT_TRUE(meta);
    const auto& tiff = (*meta)[kCGImagePropertyTIFFDictionary];
    EXPECT_EQ(tiff[kCGImagePropertyTIFFMake].stringValue(), "*KODAK*");
    EXPECT_EQ(tiff[kCGImagePropertyTIFFModel].stringValue(), "FilmScanner 2000");
    EXPECT_EQ(
        tiff[kCGImagePropertyTIFFSoftware].stringValue(),
        std::string("Converted from Photo CD format by Quorvex V") + platform::kProgramVersion);
    EXPECT_EQ(tiff[kCGImagePropertyTIFFImageDescription].stringValue(),
              "color negative: -. SBA settings -");
    EXPECT_EQ((*meta)[kCGImagePropertyExifDictionary][kCGImagePropertyExifFileSource].stringValue(),
              "IMG0019.PCD");
    EXPECT_EQ(negative->getEXIFDateTime().size(), 19u);
    auto items = negative->metaDataArray();
    ASSERT_EQ(items.size(), 22u);
    EXPECT_EQ(items[0].dictionary()["Name"].stringValue(), "Image Width");
    EXPECT_EQ(items[0].dictionary()["Value"].stringValue(), "2048");
    EXPECT_EQ(items[9].dictionary()["Value"].stringValue(), "FilmScanner 2000");
}

double correlation(const std::vector<double>& a, const std::vector<double>& b) {
    double ma = 0, mb = 0;
    for (size_t i = 0; i < a.size(); ++i) ma += a[i], mb += b[i];
    ma /= double(a.size());
    mb /= double(b.size());
    double sab = 0, saa = 0, sbb = 0;
    for (size_t i = 0; i < a.size(); ++i) {
        sab += (a[i] - ma) * (b[i] - mb);
        saa += (a[i] - ma) * (a[i] - ma);
        sbb += (b[i] - mb) * (b[i] - mb);
    }
    return sab / std::sqrt(saa * sbb);
}

TEST_F(PhotoCDImageSourceTest, EngineRendersAFullWrapper) {
    setDefaults(2, true, true);
    auto source = PhotoCDImageSource::initWithFile(pack("IMG0023.PCD"), "macaws", false);
    auto engine = ThreadedImageEngine::initWithRawImage(source, true);
    engine->configureRenderingSpaceForType(std::string("public.jpeg"), false);
    const platform::Dictionary settings{{"Quorvex_Filter_inputEV", 0.0},
                                        {"Quorvex_Filter_inputTemperature", 6500.0},
                                        {"Quorvex_Filter_inputTint", 0.0},
                                        {"Quorvex_Filter_inputRadius", 1.0},
                                        {"Quorvex_Filter_inputIntensity", 0.0},
                                        {"Quorvex_ArtifactSuppression", 0.0},
                                        {"Quorvex_ChromaArtifactSuppression", 0.0},
                                        {"Quorvex_ArtifactFilter", 0.0},
                                        {"Quorvex_SceneReferred", false}};
    engine->invalidateImageStage(std::nullopt, settings, platform::Rect::null());
    platform::Error error;
    auto image = engine->renderExportImage(platform::Rect::null(), false, 1, &error);
    ASSERT_TRUE(image) << error.failureReason;
    ASSERT_EQ(image->getWidth(), 768);
    ASSERT_EQ(image->getHeight(), 512);
    std::vector<uint16_t> rendered(768 * 512 * 3);
    ASSERT_TRUE(image->getLinearBuffer(rendered));
    auto ref = platform::readImageThumbnail(
        testsupport::testdataDir() / "pcd" / "reference" / "kodim23.png", 1024);
    ASSERT_TRUE(ref);
    const uint8_t* px = ref->dataProvider()->bytes();
    for (int c = 0; c < 3; ++c) {
        std::vector<double> ours, theirs;
        for (size_t y = 0; y < 512; ++y)
            for (size_t x = 0; x < 768; ++x) {
                ours.push_back(rendered[(y * 768 + x) * 3 + c]);
                theirs.push_back(px[y * ref->bytesPerRow() + x * 4 + c]);
            }
        EXPECT_GE(correlation(ours, theirs), 0.95) << "channel " << c;
    }
    EXPECT_EQ(engine->cameraParameters()["ipeStatus"].integerValue(), 0);
}

TEST_F(PhotoCDImageSourceTest, NewScannerProfileDecodesAgain) {
    setDefaults(0, false, true);
    auto w = PhotoCDImageSource::initWithFile(pack("IMG0019.PCD"), "s", false);
    auto& pm = ProfileManager::sharedManager();
    const uint16_t* first = w->masterImageBytes();
    ASSERT_TRUE(first);
    const std::vector<uint16_t> negative(first, first + 128 * 192 * 3);
    w->setScannerProfile(pm.getPhotoCDXgProfile());
    const uint16_t* second = w->masterImageBytes();
    ASSERT_TRUE(second);
    const std::vector<uint16_t> generic(second, second + 128 * 192 * 3);
    EXPECT_NE(negative, generic);
    // Samples are packed R, G, B: no alpha of 65535 every fourth sample.
    size_t opaque = 0;
    for (size_t i = 3; i < generic.size(); i += 4) opaque += generic[i] == 65535;
    EXPECT_LT(opaque, generic.size() / 8);
    w->setScannerProfile(nullptr);
    EXPECT_EQ(std::vector<uint16_t>(w->masterImageBytes(), w->masterImageBytes() + negative.size()),
              negative);
}

}  // namespace
