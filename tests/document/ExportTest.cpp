// Export rules, the EXIF block and whole JPEG exports of real files.
#include <ImfFloatAttribute.h>
#include <ImfHeader.h>
#include <ImfInputFile.h>
#include <ImfStringAttribute.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <thread>

#include "dng/core/dng_exif.h"
#include "dng/core/dng_ifd.h"
#include "document/DocumentExport.h"
#include "document/DocumentTestHome.h"
#include "document/JpegExport.h"
#include "document/MyDocument.h"
#include "engine/CGImageBitMap.h"
#include "engine/DataStoreItem.h"
#include "engine/MultiDataStore.h"
#include "export/dngWrapper.h"
#include "export/exrWrapper.h"
#include "platform/Dispatch.h"
#include "platform/JpegWriter.h"
#include "platform/Log.h"
#include "platform/UserDefaults.h"
#include "raw/RawMetadata.h"
#include "raw/TestChart.h"
#include "support/JpegFile.h"
#include "support/TestSupport.h"

namespace {

using platform::Dictionary;
using platform::Value;

// Settings that leave colour and tone alone: no exposure, contrast or
// brightness change, no highlight or fill, a straight tone curve,
// display-referred, no sharpening.
Dictionary neutralSettings() {
    return {{"Quorvex_Filter_inputEV", Value(0.0f)},
            {"Quorvex_Filter_inputContrast", Value(0.0f)},
            {"Quorvex_Filter_inputBrightness", Value(0.0f)},
            {"Quorvex_Filter_inputFillLight", Value(0.0f)},
            {"Quorvex_Filter_inputHighLight", Value(0.0f)},
            {"Quorvex_Filter_inputSaturation", Value(1.0f)},
            {"Quorvex_Filter_inputIntensity", Value(0.0f)},
            {"Quorvex_SceneReferred", Value(false)},
            {"Quorvex_MaintainWhites", Value(false)},
            {"Quorvex_toneCurveAdjust", Value(0.0f)},
            {"Quorvex_ettrAdjust", Value(0.0f)}};
}

TEST(ExportRules, TypesExtensionsFormatCodesAndQuality) {
    EXPECT_EQ(DocumentExport::typeForExportFileType(Value()), "public.jpeg");
    EXPECT_EQ(DocumentExport::typeForExportFileType(Value(0)), "public.jpeg");
    EXPECT_EQ(DocumentExport::typeForExportFileType(Value(1)), "public.tiff");
    EXPECT_EQ(DocumentExport::typeForExportFileType(Value(2.0)), "public.dng");
    EXPECT_EQ(DocumentExport::typeForExportFileType(Value(5)), "com.ilm.openexr-image");
    EXPECT_EQ(DocumentExport::typeForExportFileType(Value(7)), "public.jpeg");
    EXPECT_EQ(DocumentExport::extensionForType("com.ilm.openexr-image"), "exr");
    EXPECT_EQ(DocumentExport::extensionForType("public.tiff"), "tif");
    EXPECT_EQ(DocumentExport::extensionForType("anything"), "jpg");

    const int expected[] = {0, 0, 0, 0, 2, 1, 3, 0};
    for (int t = 0; t < 8; ++t)
        EXPECT_EQ(DocumentExport::exrFormatCode({{"Quorvex_ExportFileType", Value(t)}}),
                  expected[t]);
    EXPECT_EQ(DocumentExport::exrFormatCode({}), 0);

    EXPECT_DOUBLE_EQ(DocumentExport::compressionQuality({{"Quorvex_JPEGQuality", Value(7.0f)}}),
                     0.7);
    EXPECT_DOUBLE_EQ(DocumentExport::compressionQuality({}), 1.0);
    EXPECT_DOUBLE_EQ(DocumentExport::compressionQuality({{"Quorvex_JPEGQuality", Value(40)}}), 1.0);
}

TEST(ExportRules, CropRectanglesBecomeStageRectanglesClampedToTheImage) {
    const platform::Rect extent{0, 0, 2000, 1000};
    EXPECT_EQ(DocumentExport::stageRectForCrop({-1, -1, -1, -1}, extent), extent);
    EXPECT_EQ(DocumentExport::stageRectForCrop({10, 20, 100, 50}, extent),
              (platform::Rect{10, 930, 100, 50}));
    // Partly outside: clamped; wholly outside: the whole image.
    EXPECT_EQ(DocumentExport::stageRectForCrop({1950, -30, 100, 80}, extent),
              (platform::Rect{1950, 950, 50, 50}));
    EXPECT_EQ(DocumentExport::stageRectForCrop({5000, 5000, 100, 100}, extent), extent);
    EXPECT_EQ(DocumentExport::stageRectForCrop({0, 0, 0.5, 100}, extent), extent);
}

TEST(ExportRules, OnlyRotationsReachTheOutputStage) {
    platform::LogCapture log;
    auto orientation = [](Value v) {
        return DocumentExport::exportOrientation({{"Quorvex_ImageOrientation", v}}, "a.dng");
    };
    EXPECT_EQ(DocumentExport::exportOrientation({}, "a.dng"), 0);
    EXPECT_EQ(orientation(Value(6.0f)), 6);
    EXPECT_EQ(orientation(Value(8)), 8);
    EXPECT_EQ(orientation(Value(3)), 3);
    EXPECT_FALSE(log.contains("Invalid image rotate"));
    EXPECT_EQ(orientation(Value(5.0f)), 1);
    EXPECT_TRUE(log.contains("Invalid image rotate 5 in a.dng"));
    EXPECT_EQ(orientation(Value(9)), 1);
    EXPECT_EQ(orientation(Value(-3)), 1);
    EXPECT_EQ(orientation(Value(1e30)), 1);
}

TEST(ExportRules, PropertiesAreACopyWithTheFourFacts) {
    Dictionary meta{
        {"{TIFF}", Value(Dictionary{{"Make", Value("Maker")}, {"Orientation", Value(6)}})},
        {"Orientation", Value(6)}};
    const Dictionary original = meta;
    Dictionary props = DocumentExport::imageProperties(&meta, 0.7, "Quorvex V1");
    EXPECT_EQ(meta, original);
    EXPECT_EQ(props["Orientation"].integerValue(), 1);
    EXPECT_FALSE(props["HasAlpha"].boolValue(true));
    EXPECT_DOUBLE_EQ(props["kCGImageDestinationLossyCompressionQuality"].realValue(), 0.7);
    EXPECT_EQ(props["{TIFF}"]["Make"].stringValue(), "Maker");
    EXPECT_EQ(props["{TIFF}"]["Software"].stringValue(), "Quorvex V1");
    EXPECT_TRUE(DocumentExport::imageProperties(nullptr, 1, "S")["{TIFF}"].isDictionary());
}

// The direct 8-bit conversion agrees with the bitmap reader's linear buffer
// (white 65325 there, 65535 here).
TEST(ExportRules, EightBitConversionMatchesTheBitmapReader) {
    constexpr size_t kW = 37, kH = 19;
    std::vector<uint8_t> bytes(kW * kH * 8);
    uint32_t seed = 12345;
    for (size_t i = 0; i < kW * kH; ++i) {
        uint16_t px[4];
        // Up to the engine's white, where neither path has to bring a colour down.
        for (int k = 0; k < 3; ++k)
            px[k] = uint16_t(((seed = seed * 1103515245u + 12345u) >> 16) % 65326);
        px[3] = i % 5 == 0 ? 40000 : 65535;
        for (int k = 0; k < 3; ++k) px[k] = uint16_t(uint32_t(px[k]) * px[3] / 65535);
        for (int k = 0; k < 4; ++k) {
            bytes[i * 8 + 2 * k] = uint8_t(px[k]);
            bytes[i * 8 + 2 * k + 1] = uint8_t(px[k] >> 8);
        }
    }
    auto image = platform::BitmapImage::create(
        kW, kH, 16, 64, kW * 8,
        platform::kBitmapAlphaPremultipliedLast | platform::kBitmapByteOrder16Little, nullptr,
        platform::BitmapDataProvider::withData(bytes));
    ASSERT_NE(image, nullptr);
    std::vector<uint8_t> fast(kW * kH * 3);
    ASSERT_TRUE(DocumentExport::eightBitRows(*image, 0, kH, fast.data()));
    std::vector<uint16_t> linear(kW * kH * 3);
    ASSERT_TRUE(CGImageBitMap::initWithCGImageRef(image)->getLinearBuffer(linear));
    for (size_t i = 0; i < linear.size(); ++i) {
        const double want = linear[i] * 255.0 / 65535.0;
        EXPECT_NEAR(fast[i], want, 0.51) << i;
    }
    // Other layouts are left to the reader.
    auto big = platform::BitmapImage::create(
        kW, kH, 16, 64, kW * 8,
        platform::kBitmapAlphaPremultipliedLast | platform::kBitmapByteOrder16Big, nullptr,
        platform::BitmapDataProvider::withData(bytes));
    EXPECT_FALSE(DocumentExport::packsEightBit(*big));
    EXPECT_FALSE(DocumentExport::eightBitRows(*big, 0, 1, fast.data()));
}

// The table-driven rows give exactly the per-pixel formula's bytes: opaque
// and straight-alpha pixels through the table, translucent premultiplied ones
// un-premultiplied, for every 16-bit value and odd widths.
TEST(ExportRules, EightBitRowsAreThePerPixelFormula) {
    auto formula = [](uint16_t c, uint16_t alpha, bool premultiplied) -> uint8_t {
        const float a = premultiplied ? float(alpha) / 65535.0f : 1.0f;
        if (!(a > 0)) return 0;
        float v = std::min(float(c) / a, 65535.0f) * (255.0f / 65325.0f) + 0.5f;
        return uint8_t(v >= 255.0f ? 255.0f : v);
    };
    constexpr size_t kW = 1031, kH = 67;  // every 16-bit value, then adversarial ones
    std::vector<uint16_t> samples(kW * kH * 4);
    uint32_t seed = 99;
    const uint16_t alphas[] = {65535, 65535, 65535, 0, 1, 32768, 65534, 65325};
    for (size_t i = 0; i < kW * kH; ++i) {
        seed = seed * 1103515245u + 12345u;
        uint16_t* p = &samples[i * 4];
        for (int k = 0; k < 3; ++k) p[k] = uint16_t(i * 3 + k);
        if (i * 3 >= 65536) {
            const uint16_t edge[] = {0, 1, 65324, 65325, 65326, 65535, uint16_t(seed >> 16)};
            for (int k = 0; k < 3; ++k) p[k] = edge[(seed >> (4 * k)) % 7];
            if (i % 5 == 0) p[1] = p[2] = p[0];
        }
        p[3] = alphas[(seed >> 24) % 8];
    }
    std::vector<uint8_t> bytes(samples.size() * 2);
    for (size_t i = 0; i < samples.size(); ++i) {
        bytes[2 * i] = uint8_t(samples[i]);
        bytes[2 * i + 1] = uint8_t(samples[i] >> 8);
    }
    for (const uint32_t alpha :
         {platform::kBitmapAlphaPremultipliedLast, platform::kBitmapAlphaNoneSkipLast}) {
        const bool premultiplied = alpha == platform::kBitmapAlphaPremultipliedLast;
        auto image = platform::BitmapImage::create(
            kW, kH, 16, 64, kW * 8, alpha | platform::kBitmapByteOrder16Little, nullptr,
            platform::BitmapDataProvider::withData(bytes));
        ASSERT_NE(image, nullptr);
        ASSERT_TRUE(DocumentExport::packsEightBit(*image));
        std::vector<uint8_t> all(kW * kH * 3), rows(kW * 5 * 3);
        ASSERT_TRUE(DocumentExport::eightBitRows(*image, 0, kH, all.data()));
        ASSERT_TRUE(DocumentExport::eightBitRows(*image, kH - 5, 5, rows.data()));
        size_t wrong = 0;
        for (size_t i = 0; i < kW * kH; ++i)
            for (int k = 0; k < 3; ++k)
                wrong += all[i * 3 + k] !=
                         formula(samples[i * 4 + k], samples[i * 4 + 3], premultiplied);
        EXPECT_EQ(wrong, 0u);
        EXPECT_TRUE(std::equal(rows.begin(), rows.end(), all.end() - rows.size()));
        if (premultiplied) {
            // The engine's native rows as they are streamed: the same bytes.
            std::vector<uint8_t> streamed(all.size());
            DocumentExport::eightBitRows(samples.data(), kW * 4, kW, kH, streamed.data());
            EXPECT_TRUE(streamed == all);
        }
        EXPECT_FALSE(DocumentExport::eightBitRows(*image, kH - 4, 5, rows.data()));
        EXPECT_FALSE(DocumentExport::eightBitRows(*image, kH + 1, 0, rows.data()));
    }
}

// Reads the value of one IFD entry of the little-endian block.
struct TiffReader {
    const std::vector<uint8_t>& b;
    uint32_t u16(size_t at) const { return b.at(at) | (b.at(at + 1) << 8); }
    uint32_t u32(size_t at) const { return u16(at) | (u16(at + 2) << 16); }
    // Offset of the entry's value field, or 0.
    size_t entry(size_t ifd, uint16_t tag) const {
        const uint32_t n = u16(ifd);
        for (uint32_t i = 0; i < n; ++i)
            if (u16(ifd + 2 + 12 * i) == tag) return ifd + 2 + 12 * i;
        return 0;
    }
    std::string ascii(size_t e) const {
        const uint32_t count = u32(e + 4);
        const size_t at = count <= 4 ? e + 8 : u32(e + 8);
        return std::string(reinterpret_cast<const char*>(&b.at(at)), count - 1);
    }
};

TEST(ExifBlock, CarriesCameraFactsOrientationOneAndSoftware) {
    Dictionary props{
        {"{TIFF}", Value(Dictionary{{"Make", Value("Maker")}, {"Model", Value("Cam 1")}})},
        {"{Exif}", Value(Dictionary{{"ExposureTime", Value(0.004)},
                                    {"FNumber", Value(2.8)},
                                    {"ISOSpeedRatings", Value(platform::Value::Array{Value(200)})},
                                    {"DateTimeOriginal", Value("2024:01:02 03:04:05")}})}};
    const auto block = JpegExport::exifBlock(props, "Quorvex V9", 16, 8);
    TiffReader r{block};
    ASSERT_GT(block.size(), 8u);
    ASSERT_EQ(r.u16(0), 0x4949u);
    ASSERT_EQ(r.u16(2), 42u);
    const size_t ifd0 = r.u32(4);
    ASSERT_NE(r.entry(ifd0, 0x010F), 0u);
    EXPECT_EQ(r.ascii(r.entry(ifd0, 0x010F)), "Maker");
    EXPECT_EQ(r.ascii(r.entry(ifd0, 0x0110)), "Cam 1");
    EXPECT_EQ(r.ascii(r.entry(ifd0, 0x0131)), "Quorvex V9");
    EXPECT_EQ(r.u16(r.entry(ifd0, 0x0112) + 8), 1u);
    const size_t exif = r.u32(r.entry(ifd0, 0x8769) + 8);
    const size_t exposure = r.u32(r.entry(exif, 0x829A) + 8);
    EXPECT_EQ(r.u32(exposure), 1u);
    EXPECT_EQ(r.u32(exposure + 4), 250u);
    EXPECT_EQ(r.u16(r.entry(exif, 0x8827) + 8), 200u);
    EXPECT_EQ(r.ascii(r.entry(exif, 0x9003)), "2024:01:02 03:04:05");
    // What the JPEG states of itself: centred chroma, Y Cb Cr, sRGB, its size.
    EXPECT_EQ(r.u16(r.entry(ifd0, 0x0213) + 8), 1u);
    EXPECT_EQ(r.u32(r.entry(exif, 0x9101) + 8), 0x00030201u);
    EXPECT_EQ(r.u32(r.entry(exif, 0x9000) + 8), 0x31333230u);  // "0231"
    EXPECT_EQ(r.u16(r.entry(exif, 0xA001) + 8), 1u);
    EXPECT_EQ(r.u32(r.entry(exif, 0xA002) + 8), 16u);
    EXPECT_EQ(r.u32(r.entry(exif, 0xA003) + 8), 8u);
    // Tags ascend within each directory.
    for (size_t ifd : {ifd0, exif})
        for (uint32_t i = 1; i < r.u16(ifd); ++i)
            EXPECT_LT(r.u16(ifd + 2 + 12 * (i - 1)), r.u16(ifd + 2 + 12 * i));

    // The record comes from the shared metadata import: the TIFF date stands
    // in only for the capture date the Exif dictionary lacks, and the lens
    // comes from the ExifAux dictionary.
    Dictionary dated{
        {"{TIFF}", Value(Dictionary{{"DateTime", Value("2020:05:06 07:08:09")}})},
        {"{Exif}", Value(Dictionary{{"DateTimeOriginal", Value("2024:01:02 03:04:05")}})},
        {"{ExifAux}", Value(Dictionary{{"LensModel", Value("Lens 35")}})}};
    const auto datedBlock = JpegExport::exifBlock(dated, "S", 4, 4);
    TiffReader d{datedBlock};
    ASSERT_GT(datedBlock.size(), 8u);
    const size_t datedExif = d.u32(d.entry(d.u32(4), 0x8769) + 8);
    EXPECT_EQ(d.ascii(d.entry(datedExif, 0x9003)), "2024:01:02 03:04:05");
    EXPECT_EQ(d.ascii(d.entry(datedExif, 0x9004)), "2020:05:06 07:08:09");
    EXPECT_EQ(d.entry(d.u32(4), 0x0132), 0u);
    EXPECT_EQ(d.ascii(d.entry(datedExif, 0xA434)), "Lens 35");

    // Oversized texts from a file never push the block past one segment.
    Dictionary huge{{"{TIFF}", Value(Dictionary{{"Make", Value(std::string(200000, 'M'))},
                                                {"Model", Value(std::string("A\0B", 3))}})},
                    {"{Exif}", Value(Dictionary{{"LensModel", Value(std::string(70000, 'L'))},
                                                {"MeteringMode", Value(1e300)},
                                                {"Flash", Value(std::nan(""))},
                                                {"ISOSpeedRatings", Value(1e9)}})}};
    const auto bounded = JpegExport::exifBlock(huge, "S", 1, 1);
    EXPECT_LE(bounded.size(), platform::kMaxJpegExifBlock);
    TiffReader hb{bounded};
    EXPECT_EQ(hb.ascii(hb.entry(hb.u32(4), 0x0110)), "A");
    EXPECT_EQ(hb.ascii(hb.entry(hb.u32(4), 0x010F)).size(), 1024u);
    const size_t hugeExif = hb.u32(hb.entry(hb.u32(4), 0x8769) + 8);
    EXPECT_EQ(hb.entry(hugeExif, 0x9207), 0u);
    EXPECT_EQ(hb.entry(hugeExif, 0x9209), 0u);
    EXPECT_EQ(hb.u16(hb.entry(hugeExif, 0x8827) + 8), 65535u);

    // An outside reader agrees, when one is installed.
    if (std::system("exiftool -ver >/dev/null 2>&1") != 0) return;
    testsupport::ScratchDir scratch;
    const auto file = scratch.path() / "exif.jpg";
    std::vector<uint8_t> rgb(16 * 8 * 3, 128);
    ASSERT_TRUE(platform::writeJPEG(rgb.data(), 16, 8, 90, block, {}, file.string()));
    const std::string cmd =
        "exiftool -s3 -Make -Model -ExposureTime -Orientation# -Software "
        "-ISO -FNumber " +
        file.string();
    FILE* p = popen(cmd.c_str(), "r");
    ASSERT_NE(p, nullptr);
    std::string out;
    char buf[256];
    while (fgets(buf, sizeof buf, p)) out += buf;
    pclose(p);
    EXPECT_EQ(out, "Maker\nCam 1\n1/250\n1\nQuorvex V9\n200\n2.8\n");
}

// What a camera recorded of place, lens and time goes from the raw file's
// record through the metadata dictionary into every format that has a place
// for it.
TEST(ExifBlock, PositionLensMakeAndCaptureTimeReachEveryFormat) {
    dng_exif source;
    source.fMake.Set("Maker");
    source.fModel.Set("Cam 1");
    source.fLensMake.Set("LensCo");
    source.fFNumber = dng_urational(28, 10);
    source.fDateTimeOriginal.SetDateTime(dng_date_time(2024, 1, 2, 3, 4, 5));
    dng_string fraction;
    fraction.Set("25");
    source.fDateTimeOriginal.SetSubseconds(fraction);
    dng_time_zone zone;
    zone.SetOffsetMinutes(120);
    source.fDateTimeOriginal.SetZone(zone);
    source.fGPSVersionID = 0x02020000;
    source.fGPSLatitudeRef.Set("S");
    source.fGPSLatitude[0] = dng_urational(48, 1);
    source.fGPSLatitude[1] = dng_urational(51, 1);
    source.fGPSLatitude[2] = dng_urational(2376, 100);
    source.fGPSLongitudeRef.Set("E");
    source.fGPSLongitude[0] = dng_urational(2, 1);
    source.fGPSLongitude[1] = dng_urational(21, 1);
    source.fGPSLongitude[2] = dng_urational(792, 100);
    source.fGPSAltitudeRef = 0;
    source.fGPSAltitude = dng_urational(35, 1);
    dng_ifd ifd;
    Dictionary meta = RawMetadataDictionary(source, nullptr, ifd, 16, 8, 16, 1);
    const Dictionary props = DocumentExport::imageProperties(&meta, 0.9, "Q");

    testsupport::ScratchDir scratch;
    const auto jpeg = scratch.path() / "m.jpg", tiff = scratch.path() / "m.tif",
               dng = scratch.path() / "m.dng", exr = scratch.path() / "m.exr";
    std::vector<uint8_t> rgb(16 * 8 * 3, 128);
    ASSERT_TRUE(platform::writeJPEG(rgb.data(), 16, 8, 90, JpegExport::exifBlock(props, "Q", 16, 8),
                                    {}, jpeg.string()));
    std::vector<uint16_t> rgb16(16 * 8 * 3, 30000);
    for (const auto& [path, type] : {std::pair{tiff, "public.tiff"}, std::pair{dng, "public.dng"}})
        ASSERT_EQ(dngWrapper::initWithSize(16, 8)->writeToFile(rgb16.data(), 0, path, nullptr,
                                                               &props, type),
                  0);
    std::vector<float> rgba(16 * 8 * 4, 0.5f);
    ASSERT_EQ(exrWrapper::initWithSize(16, 8)->writeToFile(rgba.data(), 0, exr, &props, ""), 0);

    ASSERT_EQ(std::system("exiftool -ver >/dev/null 2>&1"), 0)
        << "scripts/deps.sh installs exiftool";
    for (const auto& file : {jpeg, tiff, dng}) {
        const std::string cmd =
            "exiftool -s3 -n -GPSLatitude -GPSLongitude -GPSAltitude -LensMake "
            "-SubSecTimeOriginal -OffsetTimeOriginal -FNumber '" +
            file.string() + "'";
        FILE* p = popen(cmd.c_str(), "r");
        ASSERT_NE(p, nullptr);
        std::string out;
        char buf[256];
        while (fgets(buf, sizeof buf, p)) out += buf;
        pclose(p);
        EXPECT_EQ(out, "-48.8566\n2.3522\n35\nLensCo\n25\n+02:00\n2.8\n") << file;
    }
    const Imf::Header h = Imf::InputFile(exr.c_str()).header();
    EXPECT_NEAR(h.typedAttribute<Imf::FloatAttribute>("latitude").value(), -48.8566, 1e-4);
    EXPECT_NEAR(h.typedAttribute<Imf::FloatAttribute>("longitude").value(), 2.3522, 1e-4);
    EXPECT_NEAR(h.typedAttribute<Imf::FloatAttribute>("altitude").value(), 35, 1e-4);
    EXPECT_FLOAT_EQ(h.typedAttribute<Imf::FloatAttribute>("aperture").value(), 2.8f);
    EXPECT_FLOAT_EQ(h.typedAttribute<Imf::FloatAttribute>("utcOffset").value(), -7200.0f);
    EXPECT_EQ(h.typedAttribute<Imf::StringAttribute>("lensMake").value(), "LensCo");
}

class DocumentExportTest : public ::testing::Test {
protected:
    DocumentTestHome scratch_;
};

TEST_F(DocumentExportTest, AnUndecodableSourceFailsInEveryFormatAndLeavesNoFile) {
    const auto src = scratch_.path() / "a.dng";
    std::ofstream(src) << "junk";
    platform::Error error;
    auto doc = MyDocument::init();
    ASSERT_TRUE(doc->readFromURL(src.string(), &error));
    for (const char* type : {"public.tiff", "public.dng", "com.ilm.openexr-image"}) {
        error = {};
        EXPECT_FALSE(
            doc->exportToURL(scratch_.path() / "a.out", type, {-1, -1, -1, -1}, false, &error));
        EXPECT_FALSE(error.failureReason.empty());
    }
    // Never onto the source itself, never into a missing folder.
    EXPECT_FALSE(doc->exportToURL(src, "public.jpeg", {-1, -1, -1, -1}, false, &error));
    EXPECT_EQ(error.code, -11);
    EXPECT_FALSE(doc->exportToURL(scratch_.path() / "none/a.jpg", "public.jpeg", {-1, -1, -1, -1},
                                  false, &error));
    EXPECT_EQ(error.code, -11);
    size_t files = 0;
    for (auto& e : std::filesystem::directory_iterator(scratch_.path()))
        files += e.is_regular_file();
    EXPECT_EQ(files, 1u);
    std::ifstream in(src);
    std::string content;
    in >> content;
    EXPECT_EQ(content, "junk");
}

}  // namespace

namespace {

using testsupport::chartTool;

// Linear RGB in ProPhoto primaries with a D65 white to 8-bit sRGB. Both
// spaces share the white, so this is one matrix: ProPhoto-D65 to XYZ (from
// the primaries), then XYZ to linear sRGB, then the sRGB curve.
std::array<double, 3> proPhotoToSRGB8(const std::array<double, 3>& pp) {
    using M = std::array<std::array<double, 3>, 3>;
    auto toXYZ = [](const double xy[3][2], const double white[2]) {
        M p{};
        for (int c = 0; c < 3; ++c) {
            p[0][c] = xy[c][0] / xy[c][1];
            p[1][c] = 1.0;
            p[2][c] = (1 - xy[c][0] - xy[c][1]) / xy[c][1];
        }
        const double w[3] = {white[0] / white[1], 1.0, (1 - white[0] - white[1]) / white[1]};
        // Solve p * s = w for the channel scales (Cramer's rule).
        auto det = [](const M& m) {
            return m[0][0] * (m[1][1] * m[2][2] - m[1][2] * m[2][1]) -
                   m[0][1] * (m[1][0] * m[2][2] - m[1][2] * m[2][0]) +
                   m[0][2] * (m[1][0] * m[2][1] - m[1][1] * m[2][0]);
        };
        const double d = det(p);
        M out = p;
        for (int c = 0; c < 3; ++c) {
            M q = p;
            for (int r = 0; r < 3; ++r) q[r][c] = w[r];
            const double s = det(q) / d;
            for (int r = 0; r < 3; ++r) out[r][c] = p[r][c] * s;
        }
        return out;
    };
    const double d65[2] = {0.3127, 0.3290};
    const double proPhoto[3][2] = {{0.7347, 0.2653}, {0.1596, 0.8404}, {0.0366, 0.0001}};
    const M m = toXYZ(proPhoto, d65);
    const double toSRGB[3][3] = {{3.2404542, -1.5371385, -0.4985314},
                                 {-0.9692660, 1.8760108, 0.0415560},
                                 {0.0556434, -0.2040259, 1.0572252}};
    double xyz[3];
    for (int r = 0; r < 3; ++r) xyz[r] = m[r][0] * pp[0] + m[r][1] * pp[1] + m[r][2] * pp[2];
    double lin[3];
    for (int r = 0; r < 3; ++r)
        lin[r] = toSRGB[r][0] * xyz[0] + toSRGB[r][1] * xyz[1] + toSRGB[r][2] * xyz[2];
    // A colour beyond sRGB's white is dimmed as a whole, keeping its hue.
    const double top = std::max({lin[0], lin[1], lin[2]});
    if (top > 1.0)
        for (double& v : lin) v /= top;
    std::array<double, 3> out{};
    for (int r = 0; r < 3; ++r) {
        double v = std::clamp(lin[r], 0.0, 1.0);
        v = v <= 0.0031308 ? 12.92 * v : 1.055 * std::pow(v, 1 / 2.4) - 0.055;
        out[r] = v * 255.0;
    }
    return out;
}

}  // namespace

// With tone and look switched off, the chart's patches come out at their
// known sRGB values.
TEST_F(DocumentExportTest, NeutralSettingsGiveTheChartsKnownColours) {
    const auto tool = chartTool();
    if (!std::filesystem::exists(tool)) GTEST_SKIP() << "no chart tool";
    const auto dng = scratch_.path() / "chart.dng";
    const std::string cmd = tool.string() + " --size 600x400 --output " + dng.string();
    ASSERT_EQ(std::system(cmd.c_str()), 0);

    platform::Error error;
    auto doc = MyDocument::init();
    ASSERT_TRUE(doc->readFromURL(dng.string(), &error)) << error.failureReason;
    doc->addSettingValues(neutralSettings());
    const auto jpg = scratch_.path() / "chart.jpg";
    ASSERT_TRUE(doc->exportToURL(jpg, "public.jpeg", {-1, -1, -1, -1}, true, &error))
        << error.failureReason;
    doc->close();

    std::vector<uint8_t> rgb;
    uint32_t w = 0, h = 0;
    ASSERT_TRUE(testsupport::decodeJpegFile(jpg, rgb, w, h));
    const TestChart chart(600, 400);
    // The default crop trims the mosaic's margin; patches sit at chart
    // coordinates less that margin.
    const int dx = int(chart.width() - w) / 2, dy = int(chart.height() - h) / 2;
    double worst = 0;
    for (const auto& patch : chart.patches()) {
        const auto want = proPhotoToSRGB8(patch.value);
        double sum[3] = {0, 0, 0};
        int n = 0;
        const TestChartRect& r = patch.rect;
        for (uint32_t y = r.y + r.height / 4; y < r.y + 3 * r.height / 4; ++y)
            for (uint32_t x = r.x + r.width / 4; x < r.x + 3 * r.width / 4; ++x) {
                const int px = int(x) - dx, py = int(y) - dy;
                if (px < 0 || py < 0 || px >= int(w) || py >= int(h)) continue;
                for (int c = 0; c < 3; ++c) sum[c] += rgb[(size_t(py) * w + px) * 3 + c];
                ++n;
            }
        ASSERT_GT(n, 0) << patch.name;
        for (int c = 0; c < 3; ++c) {
            const double got = sum[c] / n;
            worst = std::max(worst, std::fabs(got - want[c]));
            EXPECT_NEAR(got, want[c], 3.0) << patch.name << " channel " << c;
        }
    }
    RecordProperty("worst_level_difference", std::to_string(worst));
}

using testsupport::makeChart;

TEST_F(DocumentExportTest, CropAndOrientationShapeTheFile) {
    if (!std::filesystem::exists(chartTool())) GTEST_SKIP() << "no chart tool";
    const auto dng = makeChart(scratch_.path(), "600x400");
    ASSERT_FALSE(dng.empty());
    platform::Error error;
    auto doc = MyDocument::init();
    ASSERT_TRUE(doc->readFromURL(dng.string(), &error));
    doc->orientationChanged(6);
    const auto jpg = scratch_.path() / "crop.jpg";
    ASSERT_TRUE(doc->exportToURL(jpg, "public.jpeg", {10, 20, 100, 50}, true, &error))
        << error.failureReason;
    std::vector<uint8_t> rgb;
    uint32_t w = 0, h = 0;
    ASSERT_TRUE(testsupport::decodeJpegFile(jpg, rgb, w, h));
    EXPECT_EQ(w, 50u);
    EXPECT_EQ(h, 100u);
    // A crop reaching past the image is clamped to it.
    doc->orientationChanged(1);
    ASSERT_TRUE(doc->exportToURL(jpg, "public.jpeg", {500, 300, 400, 400}, true, &error));
    ASSERT_TRUE(testsupport::decodeJpegFile(jpg, rgb, w, h));
    EXPECT_LT(w, 100u);
    EXPECT_LT(h, 100u);
    EXPECT_GT(w * h, 0u);

    // An upright JPEG is encoded while the engine renders it: its pixels are
    // those of the whole-image render encoded as before.
    const platform::Rect crop{10, 20, 411, 233};
    ASSERT_TRUE(doc->exportToURL(jpg, "public.jpeg", crop, true, &error)) << error.failureReason;
    auto engine = doc->displayEngine();
    ASSERT_TRUE(engine && engine->outputImage());
    auto image = engine->renderExportImage(
        DocumentExport::stageRectForCrop(crop, engine->outputImage()->extent()), false, 1, &error);
    ASSERT_TRUE(image && image->getImageRef()) << error.failureReason;
    const platform::BitmapImage& pixels = *image->getImageRef();
    const auto whole = scratch_.path() / "whole.jpg";
    const int quality =
        int(std::lround(DocumentExport::compressionQuality(doc->getSettingsDictionary()) * 100));
    std::FILE* f = std::fopen(whole.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    const bool written = platform::writeJPEG(
        [&](uint32_t first, uint32_t count, uint8_t* out) {
            return DocumentExport::eightBitRows(pixels, first, count, out);
        },
        uint32_t(pixels.width()), uint32_t(pixels.height()), quality, {}, {}, f);
    std::fclose(f);
    ASSERT_TRUE(written);
    doc->close();
    std::vector<uint8_t> expected;
    ASSERT_TRUE(testsupport::decodeJpegFile(jpg, rgb, w, h));
    ASSERT_TRUE(testsupport::decodeJpegFile(whole, expected, w, h));
    EXPECT_EQ(w, 411u);
    EXPECT_EQ(h, 233u);
    EXPECT_TRUE(rgb == expected);
}

// Closing a shown document while it exports keeps both the file and the
// document's catalog entry.
TEST_F(DocumentExportTest, ClosingDuringAnExportKeepsTheFileAndTheCatalogEntry) {
    if (!std::filesystem::exists(chartTool())) GTEST_SKIP() << "no chart tool";
    const auto dng = makeChart(scratch_.path(), "1200x800");
    ASSERT_FALSE(dng.empty());
    platform::Error error;
    auto doc = MyDocument::init();
    ASSERT_TRUE(doc->readFromURL(dng.string(), &error));
    doc->documentIsForDisplay(true);
    ASSERT_TRUE(platform::MainRunLoop::shared().runUntil(
        [&] { return !doc->getSettingsDictionary().contains("Quorvex_UseAsShotWB"); },
        std::chrono::seconds(60)));
    doc->setValueForKey(Value(0.25f), "Quorvex_Filter_inputEV");
    const auto jpg = scratch_.path() / "during.jpg";
    bool exported = false;
    auto engine = doc->displayEngine();
    std::thread exporter;
    {
        // The export holds the engine before it renders under this lock.
        std::unique_lock render(doc->exportLock());
        exporter = std::thread([&] {
            exported = doc->exportToURL(jpg, "public.jpeg", {-1, -1, -1, -1}, false, &error);
        });
        while (engine->delegate()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        doc->close();
        EXPECT_EQ(doc->displayEngine(), nullptr);
    }
    exporter.join();
    EXPECT_TRUE(exported) << error.failureReason;
    EXPECT_TRUE(std::filesystem::exists(jpg));
    auto entry =
        MultiDataStore::sharedMultiDataStore().dataStoreForStore("Catalog")->getItemForUUID(
            std::filesystem::absolute(dng).string());
    ASSERT_TRUE(entry.has_value());
    EXPECT_FLOAT_EQ((*entry)["Quorvex_Filter_inputEV"].floatValue(), 0.25f);
}

// A document that is not shown stores some settings without telling its
// engine (no window watches them); its export still renders what it holds.
TEST_F(DocumentExportTest, SettingsStoredQuietlyStillReachTheExport) {
    if (!std::filesystem::exists(chartTool())) GTEST_SKIP() << "no chart tool";
    const auto dng = makeChart(scratch_.path(), "240x160");
    ASSERT_FALSE(dng.empty());
    auto exportPixels = [&](const MyDocument::Ptr& doc, const char* name) {
        platform::Error error;
        const auto jpg = scratch_.path() / name;
        EXPECT_TRUE(doc->exportToURL(jpg, "public.jpeg", {-1, -1, -1, -1}, true, &error))
            << error.failureReason;
        std::vector<uint8_t> rgb;
        uint32_t w = 0, h = 0;
        EXPECT_TRUE(testsupport::decodeJpegFile(jpg, rgb, w, h));
        return rgb;
    };
    platform::Error error;
    auto quiet = MyDocument::init();
    ASSERT_TRUE(quiet->readFromURL(dng.string(), &error));
    quiet->addSettingValues(Dictionary{{"Quorvex_SceneReferred", Value(true)}});
    const auto before = exportPixels(quiet, "before.jpg");
    quiet->setSceneReferred(false);  // stored, no invalidation
    const auto after = exportPixels(quiet, "after.jpg");
    quiet->close();

    auto told = MyDocument::init();
    ASSERT_TRUE(told->readFromURL(dng.string(), &error));
    told->addSettingValues(Dictionary{{"Quorvex_SceneReferred", Value(false)}});
    const auto expected = exportPixels(told, "told.jpg");
    told->close();
    EXPECT_NE(before, after);
    EXPECT_EQ(after, expected);
}

// Settings merged into a document nobody shows (a batch's preset) wait for
// its export: one run of the chain, not one for the merge and another for the
// export, and the same pixels as when the merge ran the chain itself.
TEST_F(DocumentExportTest, SettingsMergedBeforeAnExportCostNoRunOfTheirOwn) {
    if (!std::filesystem::exists(chartTool())) GTEST_SKIP() << "no chart tool";
    const auto dng = makeChart(scratch_.path(), "240x160");
    ASSERT_FALSE(dng.empty());
    const Dictionary preset{{"Quorvex_Filter_inputEV", Value(0.5f)},
                            {"Quorvex_ArtifactSuppression", Value(0.5f)},
                            {"Quorvex_Filter_inputRadius", Value(1.5f)}};
    auto exportPixels = [&](bool runOnMerge, uint64_t* runs) {
        platform::Error error;
        auto doc = MyDocument::init();
        EXPECT_TRUE(doc->readFromURL(dng.string(), &error));
        auto engine = doc->displayEngine();
        engine->setEvictsCachedStagesOnExport(true);
        doc->addSettingValues(preset);
        if (runOnMerge) {
            std::vector<std::string> keys;
            for (const auto& entry : preset) keys.push_back(entry.first);
            engine->invalidateImageStage(keys, doc->getSettingsDictionary(),
                                         platform::Rect::null());
        }
        const auto jpg = scratch_.path() / (runOnMerge ? "ran.jpg" : "merged.jpg");
        EXPECT_TRUE(doc->exportToURL(jpg, "public.jpeg", {-1, -1, -1, -1}, true, &error))
            << error.failureReason;
        *runs = engine->completedRuns();
        doc->close();
        std::vector<uint8_t> rgb;
        uint32_t w = 0, h = 0;
        EXPECT_TRUE(testsupport::decodeJpegFile(jpg, rgb, w, h));
        return rgb;
    };
    uint64_t mergedRuns = 0, ranRuns = 0;
    const auto merged = exportPixels(false, &mergedRuns);
    const auto ran = exportPixels(true, &ranRuns);
    EXPECT_EQ(mergedRuns, 1u);
    EXPECT_EQ(ranRuns, 2u);
    EXPECT_FALSE(merged.empty());
    EXPECT_EQ(merged, ran);
}
