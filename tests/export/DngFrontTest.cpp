// DNG and TIFF files from the front: the stage-1 image reads back exactly,
// the preview, raw directory and colour tags are what the export promises,
// the TIFF holds the gamma-1.8 ProPhoto encoding of the buffer with a profile
// lcms2 loads, the metadata import lands in the right fields, failures leave
// no file, and the outside checkers accept the files.
#include <gtest/gtest.h>
#include <lcms2.h>
#define TIFF_DISABLE_DEPRECATED
#include <tiffio.h>
#include <zlib.h>

#include <atomic>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "dng/color/dng_color_spec.h"
#include "dng/core/dng_exif.h"
#include "dng/core/dng_memory_stream.h"
#include "dng/image/dng_image_host.h"
#include "dng/image/dng_metadata.h"
#include "dng/image/dng_mosaic_info.h"
#include "dng/image/dng_negative.h"
#include "dng/writer/ImageWriterTestSupport.h"
#include "export/DngTiffWriter.h"
#include "export/ExportTestSupport.h"
#include "export/dngWrapper.h"
#include "support/TestSupport.h"

using namespace exporttest;
using platform::Dictionary;
using platform::Value;

namespace {

namespace fs = std::filesystem;

Dictionary CameraProperties() {
    return {{"{TIFF}", Value(Dictionary{{"Make", Value("Maker Co")},
                                        {"Model", Value("Model 7")},
                                        {"DateTime", Value("2021:05:06 07:08:09")}})},
            {"{Exif}", Value(Dictionary{{"ExposureTime", Value(0.004)},
                                        {"FNumber", Value(5.6)},
                                        {"ISOSpeedRatings", Value(Value::Array{Value(400)})},
                                        {"DateTimeOriginal", Value("2020:01:02 03:04:05")}})}};
}

dng_exif& ExifOf(DngTiffWriter& writer) { return *writer.Negative()->Metadata().GetExif(); }

}  // namespace

TEST(DngFront, GradientDngReadsBackExactlyWithThePromisedTags) {
    testsupport::ScratchDir scratch;
    constexpr int kW = 1000, kH = 667;
    const auto pixels = Gradient(kW, kH);
    auto front = dngWrapper::initWithSize(kW, kH);
    ASSERT_NE(front, nullptr);
    const Dictionary props = CameraProperties();
    const fs::path out = scratch.path() / "g.dng";
    ASSERT_EQ(front->writeToFile(pixels.data(), 0, out, nullptr, &props, "public.dng"), 0);

    auto back = writertest::ReadDNG(FileBytes(out));
    const dng_image* stage1 = back->negative->Stage1Image();
    ASSERT_NE(stage1, nullptr);
    ASSERT_EQ(stage1->Width(), uint32(kW));
    ASSERT_EQ(stage1->Height(), uint32(kH));
    const auto bytes = writertest::ImageBytes(*stage1, ttShort);
    EXPECT_EQ(std::memcmp(bytes.data(), pixels.data(), bytes.size()), 0);

    const dng_info& info = back->info;
    EXPECT_EQ(info.MainIFD().fPhotometricInterpretation, piLinearRaw);
    EXPECT_EQ(info.MainIFD().fCompression, ccJPEG);
    const dng_parsed_ifd& ifd0 = info.IFD(0);
    EXPECT_EQ(ifd0.fNewSubFileType, 1u);
    EXPECT_EQ(ifd0.fBitsPerSample[0], 8u);
    EXPECT_EQ(ifd0.fSamplesPerPixel, 3u);
    EXPECT_EQ(std::max(ifd0.fImageWidth, ifd0.fImageLength), 256u);
    EXPECT_EQ(ifd0.fImageLength, 171u);
    EXPECT_EQ(info.fShared->fDNGVersion, 0x01040000u);
    // ColorimetricReference (output-referred) needs a 1.2 reader.
    EXPECT_EQ(back->negative->ColorimetricReference(), 1u);
    EXPECT_EQ(info.fShared->fDNGBackwardVersion, 0x01020000u);
    EXPECT_FALSE(info.fShared->fRawImageDigest.IsNull());
    // The digest written is that of the raw data written.
    back->negative->ValidateRawImageDigest(back->host);
    EXPECT_FALSE(back->negative->IsDamaged());
    // The buffer's white is stated as a neutral (AsShotWhiteXY is not read
    // by every developer), and the matrix for D65, which such developers
    // take a single matrix to be.
    EXPECT_EQ(info.fShared->fCameraProfile.fCalibrationIlluminant1, 21u);
    EXPECT_FALSE(info.fShared->fAsShotWhiteXY.IsValid());
    ASSERT_EQ(info.fShared->fAsShotNeutral.Count(), 3u);
    for (uint32 c = 0; c < 3; ++c) EXPECT_DOUBLE_EQ(info.fShared->fAsShotNeutral[c], 1.0);
    // ColorMatrix1 maps XYZ (D65) to linear ProPhoto: XYZ of ProPhoto red
    // (0.7977, 0.2880, 0 under D50) adapted to D65 comes back as red, and the
    // D65 white as equal channels.
    const dng_matrix& cm = info.fShared->fCameraProfile.fColorMatrix1;
    ASSERT_EQ(cm.Rows(), 3u);
    const dng_matrix toD65 = MapWhiteMatrix(D50_xy_coord(), dng_xy_coord(0.3127, 0.3290));
    const dng_vector red = cm * (toD65 * dng_vector_3(0.7977, 0.2880, 0.0));
    EXPECT_NEAR(red[1] / red[0], 0.0, 2e-3);
    EXPECT_NEAR(red[2] / red[0], 0.0, 2e-3);
    const dng_vector white = cm * dng_vector_3(0.9504, 1.0, 1.0888);
    EXPECT_NEAR(white[1] / white[0], 1.0, 2e-3);
    EXPECT_NEAR(white[2] / white[0], 1.0, 2e-3);

    RequireTool("exiftool");
    const std::string tags = RunTool(
        "exiftool -s -s -s -Make -Model -ExposureTime -ISO "
        "-DateTimeOriginal -CreateDate -UniqueCameraModel '" +
        out.string() + "'");
    EXPECT_EQ(tags,
              "Maker Co\nModel 7\n1/250\n400\n2020:01:02 03:04:05\n2021:05:06 07:08:09\n"
              "Maker Co Model 7\n");
    EXPECT_EQ(RunTool("exiftool -validate -warning -a -s -s -s '" + out.string() + "'"), "OK\n");
    // The file is its own original: no Original… size tags.
    EXPECT_EQ(RunTool("exiftool -s -OriginalDefaultFinalSize -OriginalBestQualityFinalSize "
                      "-OriginalDefaultCropSize -DNGBackwardVersion '" +
                      out.string() + "'"),
              "DNGBackwardVersion              : 1.2.0.0\n");
}

TEST(DngFront, TiffHoldsTheGammaEncodedBufferWithAProPhotoProfile) {
    testsupport::ScratchDir scratch;
    constexpr int kW = 300, kH = 200;
    const auto pixels = Gradient(kW, kH);
    auto front = dngWrapper::initWithSize(kW, kH);
    const fs::path out = scratch.path() / "g.tif";
    ASSERT_EQ(front->writeToFile(pixels.data(), 0, out, nullptr, nullptr, "public.tiff"), 0);

    TIFF* tif = TIFFOpen(out.c_str(), "r");
    ASSERT_NE(tif, nullptr);
    uint32_t w = 0, h = 0, profileSize = 0;
    uint16_t bits = 0, spp = 0, photometric = 0, unit = 0;
    float xres = 0;
    void* profile = nullptr;
    TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &w);
    TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &h);
    TIFFGetField(tif, TIFFTAG_BITSPERSAMPLE, &bits);
    TIFFGetField(tif, TIFFTAG_SAMPLESPERPIXEL, &spp);
    TIFFGetField(tif, TIFFTAG_PHOTOMETRIC, &photometric);
    TIFFGetField(tif, TIFFTAG_XRESOLUTION, &xres);
    TIFFGetField(tif, TIFFTAG_RESOLUTIONUNIT, &unit);
    ASSERT_TRUE(TIFFGetField(tif, TIFFTAG_ICCPROFILE, &profileSize, &profile));
    EXPECT_EQ(w, uint32_t(kW));
    EXPECT_EQ(h, uint32_t(kH));
    EXPECT_EQ(bits, 16);
    EXPECT_EQ(spp, 3);
    EXPECT_EQ(photometric, PHOTOMETRIC_RGB);
    EXPECT_EQ(xres, 72.0f);
    EXPECT_EQ(unit, RESUNIT_INCH);
    // Without metadata the front's own names stand.
    const char* make = nullptr;
    const char* model = nullptr;
    const char* software = nullptr;
    TIFFGetField(tif, TIFFTAG_MAKE, &make);
    TIFFGetField(tif, TIFFTAG_MODEL, &model);
    TIFFGetField(tif, TIFFTAG_SOFTWARE, &software);
    EXPECT_STREQ(make, "Quorvex app");
    EXPECT_STREQ(model, "Virtual camera");
    EXPECT_STREQ(software, "Quorvex");
    cmsHPROFILE icc = cmsOpenProfileFromMem(profile, profileSize);
    ASSERT_NE(icc, nullptr);
    EXPECT_EQ(cmsGetColorSpace(icc), cmsSigRgbData);
    cmsCloseProfile(icc);

    std::vector<uint16_t> row(size_t(kW) * 3);
    double worst = 0;
    for (uint32_t y = 0; y < h; ++y) {
        ASSERT_EQ(TIFFReadScanline(tif, row.data(), y), 1);
        for (size_t i = 0; i < row.size(); ++i) {
            const double linear = pixels[size_t(y) * kW * 3 + i] / 65535.0;
            const double want = std::pow(linear, 1.0 / 1.8) * 65535.0;
            worst = std::max(worst, std::fabs(row[i] - want));
        }
    }
    TIFFClose(tif);
    EXPECT_LT(worst, 0.003 * 65535) << "largest difference " << worst;

    RequireTool("exiftool");
    RequireTool("tiffinfo");
    EXPECT_EQ(RunTool("exiftool -validate -warning -a -s -s -s '" + out.string() + "'"), "OK\n");
    int status = 0;
    const std::string info = RunTool("tiffinfo '" + out.string() + "'", &status);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(info.find("Warning"), std::string::npos) << info;
}

TEST(DngFront, UnknownTypesAndBadImagesCreateNoFile) {
    testsupport::ScratchDir scratch;
    const auto pixels = Gradient(16, 16);
    auto front = dngWrapper::initWithSize(16, 16);
    const fs::path out = scratch.path() / "x.exr";
    EXPECT_EQ(front->writeToFile(pixels.data(), 0, out, nullptr, nullptr, "com.ilm.openexr-image"),
              100000);
    EXPECT_FALSE(fs::exists(out));
    // Upper case still picks DNG.
    EXPECT_EQ(front->writeToFile(pixels.data(), 2, scratch.path() / "u.dng", nullptr, nullptr,
                                 "PUBLIC.DNG"),
              0);
    // A mosaic under 5 pixels a side has no crop left.
    auto tiny = dngWrapper::initWithSize(4, 4);
    EXPECT_EQ(tiny->writeToFile(pixels.data(), 1, scratch.path() / "t.dng", nullptr, nullptr,
                                "public.dng"),
              100000);
    EXPECT_FALSE(fs::exists(scratch.path() / "t.dng"));
    // An unwritable destination is the writer's open error.
    const int code = front->writeToFile(pixels.data(), 0, scratch.path() / "none" / "a.dng",
                                        nullptr, nullptr, "public.dng");
    EXPECT_EQ(code, 100008);
    EXPECT_EQ(front->errorStringForCode(code), "Could not open file.");
}

TEST(DngFront, ErrorTextsAndTheNegativeBuilderSettings) {
    EXPECT_STREQ(DngTiffWriter::errorStringForCode(0), "No error. Success.");
    EXPECT_STREQ(DngTiffWriter::errorStringForCode(-1),
                 "Logic or program error or other unclassifiable error.");
    EXPECT_STREQ(DngTiffWriter::errorStringForCode(100015),
                 "Logic or program error or other unclassifiable error.");
    EXPECT_STREQ(DngTiffWriter::errorStringForCode(100014), "Image is too big to save as TIFF.");

    const auto pixels = Gradient(20, 10);
    DngTiffWriter rgb(20, 10);
    ASSERT_EQ(rgb.BuildNegative(reinterpret_cast<const uint8_t*>(pixels.data()), 0), 0);
    const dng_negative& n = *rgb.Negative();
    EXPECT_EQ(n.DefaultCropSizeH().AsReal64(), 20.0);
    EXPECT_EQ(n.DefaultCropOriginH().AsReal64(), 0.0);
    EXPECT_EQ(n.ColorimetricReference(), 1u);
    EXPECT_STREQ(ExifOf(rgb).fModel.Get(), "Generic PCD scanner");

    DngTiffWriter cfa(20, 10);
    cfa.SetCFAPattern(0xB4B4B4B4);
    ASSERT_EQ(cfa.BuildNegative(reinterpret_cast<const uint8_t*>(pixels.data()), 0), 0);
    EXPECT_EQ(cfa.Negative()->DefaultCropOriginH().AsReal64(), 2.0);
    EXPECT_EQ(cfa.Negative()->DefaultCropSizeH().AsReal64(), 16.0);
    EXPECT_EQ(cfa.Negative()->DefaultCropSizeV().AsReal64(), 6.0);
    EXPECT_EQ(cfa.Negative()->ColorimetricReference(), 0u);
    ASSERT_NE(cfa.Negative()->GetMosaicInfo(), nullptr);
    EXPECT_TRUE(cfa.Negative()->GetMosaicInfo()->IsColorFilterArray());

    DngTiffWriter odd(20, 10);
    odd.SetCFAPattern(0x94949494);
    ASSERT_EQ(odd.BuildNegative(reinterpret_cast<const uint8_t*>(pixels.data()), 0), 0);
    EXPECT_EQ(odd.Negative()->Stage1Image()->Planes(), 1u);
    EXPECT_FALSE(odd.Host().SaveLinearDNG());
    const dng_mosaic_info* noPattern = odd.Negative()->GetMosaicInfo();
    EXPECT_TRUE(noPattern == nullptr || !noPattern->IsColorFilterArray());

    // A singular matrix falls back to the inverse of sRGB D65.
    rgb.SetColorMatrix(true, 1, 1, 1, 1, 1, 1, 1, 1, 1);
    const dng_matrix& m = rgb.ColorMatrix();
    EXPECT_NEAR(m[0][0] * 0.4124 + m[0][1] * 0.2126 + m[0][2] * 0.0193, 1.0, 1e-6);
}

TEST(DngFront, MetadataImportFillsTheExifRecord) {
    const auto pixels = Gradient(8, 8);
    auto front = dngWrapper::initWithSize(8, 8);
    DngTiffWriter& w = *front->writer();
    ASSERT_EQ(w.BuildNegative(reinterpret_cast<const uint8_t*>(pixels.data()), 0), 0);
    const Dictionary meta{
        {"{TIFF}",
         Value(Dictionary{{"Make", Value(42)}, {"DateTime", Value("2020:01:02 03:04:05")}})},
        {"{Exif}",
         Value(Dictionary{{"ExposureMode", Value(1)},
                          {"ExposureProgram", Value(2)},
                          {"ISOSpeedRatings", Value(Value::Array{Value(100), Value(200)})},
                          {"DateTimeDigitized", Value("2019:12:11 10:09:08")},
                          {"ImageUniqueID", Value("00112233445566778899AABBCCDDEEFF")},
                          {"ExposureTime", Value("0.5")},
                          {"FNumber", Value(Value::Array{})}})},
        {"{ExifAux}", Value(Dictionary{{"ImageNumber", Value(17)}, {"LensModel", Value("L 50")}})}};
    front->addMetaData(&meta);
    const dng_exif& e = ExifOf(w);
    EXPECT_STREQ(e.fMake.Get(), "42");
    EXPECT_EQ(e.fExposureMode, 1u);
    EXPECT_EQ(e.fExposureProgram, 2u);
    EXPECT_EQ(e.fISOSpeedRatings[0], 100u);
    // The TIFF date stands in for the missing original only.
    EXPECT_EQ(e.fDateTimeOriginal.DateTime().fYear, 2020u);
    EXPECT_EQ(e.fDateTimeDigitized.DateTime().fYear, 2019u);
    EXPECT_EQ(e.fImageUniqueID.data[0], 0x00);
    EXPECT_EQ(e.fImageUniqueID.data[15], 0xFF);
    EXPECT_EQ(e.fImageNumber, 17u);
    EXPECT_STREQ(e.fLensName.Get(), "L 50");
    // A text for a numeric field stores 0; an empty array stores nothing.
    EXPECT_EQ(e.fExposureTime.n, 0u);
    EXPECT_FALSE(e.fFNumber.IsValid());

    // Dates from the Exif dictionary win over the TIFF one; a bad id is ignored.
    const Dictionary both{
        {"{TIFF}", Value(Dictionary{{"DateTime", Value("2001:01:01 01:01:01")}})},
        {"{Exif}", Value(Dictionary{{"DateTimeOriginal", Value("2002:02:02 02:02:02")},
                                    {"DateTimeDigitized", Value(Value::Array{})},
                                    {"ImageUniqueID", Value("xyz")}})}};
    front->addMetaData(&both);
    EXPECT_EQ(e.fDateTimeOriginal.DateTime().fYear, 2002u);
    EXPECT_EQ(e.fDateTimeDigitized.DateTime().fYear, 2001u);
    EXPECT_EQ(e.fImageUniqueID.data[15], 0xFF);

    EXPECT_EQ(dngWrapper::decodeObject(meta["{TIFF}"].dictionary(), "Make", nullptr, nullptr),
              "42");

    // A number no field can hold sets nothing, not a zero with a meaning;
    // the document name also names the original.
    const Dictionary odd{{"{TIFF}", Value(Dictionary{{"DocumentName", Value("IMG_1.dng")}})},
                         {"{Exif}", Value(Dictionary{{"Flash", Value(std::nan(""))},
                                                     {"MeteringMode", Value(1e300)},
                                                     {"LightSource", Value(-HUGE_VAL)}})}};
    front->addMetaData(&odd);
    EXPECT_EQ(e.fFlash, 0xFFFFFFFFu);
    EXPECT_EQ(e.fMeteringMode, 0xFFFFFFFFu);
    EXPECT_EQ(e.fLightSource, 0xFFFFFFFFu);
    EXPECT_STREQ(e.fImageDescription.Get(), "IMG_1.dng");
    EXPECT_STREQ(w.Negative()->OriginalRawFileName().Get(), "IMG_1.dng");
}

// UniqueCameraModel names the make once.
TEST(DngFront, UniqueCameraModelDoesNotRepeatTheMake) {
    testsupport::ScratchDir scratch;
    const auto pixels = Gradient(8, 8);
    struct Case {
        const char *make, *model, *unique;
    } cases[] = {{"Canon", "Canon EOS Kiss X4", "Canon EOS Kiss X4"},
                 {"NIKON", "Nikon D1", "Nikon D1"},
                 {"Pentax", "PentaxK", "Pentax PentaxK"},
                 {"Maker Co", "Model 7", "Maker Co Model 7"}};
    for (const Case& c : cases) {
        DngTiffWriter w(8, 8);
        ASSERT_EQ(w.BuildNegative(reinterpret_cast<const uint8_t*>(pixels.data()), 0), 0);
        w.SetMake(c.make);
        w.SetModel(c.model);
        const fs::path out = scratch.path() / "u.dng";
        ASSERT_EQ(w.writeFile(out.c_str(), nullptr, "public.dng"), 0);
        auto back = writertest::ReadDNG(FileBytes(out));
        EXPECT_STREQ(back->negative->ModelName().Get(), c.unique) << c.make << "|" << c.model;
    }
}

TEST(DngFront, EmbeddedOriginalBlocks) {
    dng_image_host host;
    auto compress = [&](size_t size) {
        std::vector<uint8_t> data(size);
        for (size_t i = 0; i < size; ++i) data[i] = uint8_t(i * 7 + i / 300);
        dng_stream in(data.data(), uint32_t(size));
        std::unique_ptr<dng_memory_block> block;
        EXPECT_EQ(DngTiffWriter::CompressOriginal(in, host, block), 0);
        const uint8_t* b = block->Buffer_uint8();
        auto be = [&](size_t at) {
            return uint32_t(b[at]) << 24 | uint32_t(b[at + 1]) << 16 | uint32_t(b[at + 2]) << 8 |
                   b[at + 3];
        };
        EXPECT_EQ(be(0), size);
        const uint32_t n = uint32_t((size + 65535) / 65536);
        EXPECT_EQ(be(4), 8 + 4 * n);
        // Every block inflates back to its part of the file.
        std::vector<uint8_t> back;
        uint32_t start = be(4);
        for (uint32_t k = 0; k < n; ++k) {
            const uint32_t end = be(8 + 4 * k);
            std::vector<uint8_t> part(65536);
            uLongf len = part.size();
            EXPECT_EQ(uncompress(part.data(), &len, b + start, end - start), Z_OK);
            back.insert(back.end(), part.begin(), part.begin() + len);
            start = end;
        }
        EXPECT_EQ(back, data);
        EXPECT_EQ(block->LogicalSize(), start + 28);
        return n;
    };
    EXPECT_EQ(compress(0), 0u);
    EXPECT_EQ(compress(65536), 1u);
    EXPECT_EQ(compress(65537), 2u);
}

TEST(DngFront, AnyThreadCountWritesTheSameFile) {
    testsupport::ScratchDir scratch;
    constexpr int kW = 700, kH = 500;
    const auto pixels = Gradient(kW, kH);
    std::vector<std::vector<uint8_t>> files;
    for (uint32 threads : {1u, 8u}) {
        DngTiffWriter writer(kW, kH);
        writer.Host().SetAreaTaskThreadCount(threads);
        ASSERT_EQ(writer.BuildNegative(reinterpret_cast<const uint8_t*>(pixels.data()), 0), 0);
        const fs::path out = scratch.path() / (std::to_string(threads) + ".dng");
        ASSERT_EQ(writer.writeFile(out.c_str(), nullptr, "public.dng"), 0);
        files.push_back(FileBytes(out));
    }
    ASSERT_EQ(files[0].size(), files[1].size());
    // Only the clock's texts (preview and file dates) may differ.
    size_t differing = 0;
    for (size_t i = 0; i < files[0].size(); ++i) differing += files[0][i] != files[1][i];
    EXPECT_LE(differing, 40u);
}

// A negative filled band by band from a row source writes the file the whole
// buffer writes; the source is let go once read, and a source that fails
// fails the build with a code.
TEST(DngFront, RowsReadInBandsWriteTheFileTheBufferWrites) {
    testsupport::ScratchDir scratch;
    constexpr int kW = 300, kH = 333;  // several bands, the last one short
    const auto pixels = Gradient(kW, kH);
    std::vector<std::vector<uint8_t>> files;
    for (const char* type : {"public.dng", "public.tiff"}) {
        SCOPED_TRACE(type);
        DngTiffWriter whole(kW, kH);
        ASSERT_EQ(whole.BuildNegative(reinterpret_cast<const uint8_t*>(pixels.data()), 0), 0);
        const fs::path a = scratch.path() / (std::string("whole.") + type);
        ASSERT_EQ(whole.writeFile(a.c_str(), nullptr, type), 0);

        auto held = std::make_shared<int>(0);
        std::weak_ptr<int> watch = held;
        std::vector<std::atomic<int>> reads(kH);
        DngTiffWriter banded(kW, kH);
        ASSERT_EQ(banded.BuildNegative(
                      [&pixels, &reads, held = std::move(held)](uint32_t first, uint32_t count,
                                                                uint16_t* rows) {
                          for (uint32_t y = first; y < first + count; ++y) ++reads[y];
                          std::memcpy(rows, pixels.data() + size_t(first) * kW * 3,
                                      size_t(count) * kW * 3 * 2);
                          return true;
                      },
                      0),
                  0);
        EXPECT_TRUE(watch.expired());
        for (int y = 0; y < kH; ++y) ASSERT_EQ(reads[y], 1) << y;
        const fs::path b = scratch.path() / (std::string("banded.") + type);
        ASSERT_EQ(banded.writeFile(b.c_str(), nullptr, type), 0);
        const auto x = FileBytes(a), y = FileBytes(b);
        ASSERT_EQ(x.size(), y.size());
        size_t differing = 0;  // the clock's texts only
        for (size_t i = 0; i < x.size(); ++i) differing += x[i] != y[i];
        EXPECT_LE(differing, 40u);
    }
    DngTiffWriter failing(kW, kH);
    EXPECT_NE(
        failing.BuildNegative([](uint32_t first, uint32_t, uint16_t*) { return first < 128; }, 0),
        0);
    EXPECT_NE(failing.BuildNegative(DngTiffWriter::RowSource(), 0), 0);
}
