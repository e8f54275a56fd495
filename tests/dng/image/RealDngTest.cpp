// Reading the real DNG files of the test data: parsed fields against what
// exiftool reports for each file (numbers copied from `exiftool -n`), stage-3
// builds with plausible values, clear errors for pixel data this system
// cannot decode or that was removed, and robustness against truncated and
// corrupted copies.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "dng/color/dng_camera_profile.h"
#include "dng/core/dng_exception.h"
#include "dng/core/dng_file_stream.h"
#include "dng/core/dng_tag_types.h"
#include "dng/core/dng_tag_values.h"
#include "dng/image/dng_image.h"
#include "dng/image/dng_image_host.h"
#include "dng/image/dng_info.h"
#include "dng/image/dng_linearization_info.h"
#include "dng/image/dng_misc_opcodes.h"
#include "dng/image/dng_negative.h"
#include "dng/image/dng_negative_reader.h"
#include "dng/image/dng_pixel_buffer.h"
#include "support/TestSupport.h"

namespace {

std::string DngPath(const char* folder, const char* name) {
    return (testsupport::testdataDir() / "raw" / folder / name).string();
}

struct Expected {
    const char* folder;
    const char* file;
    const char* make;
    const char* model;
    const char* uniqueModel;
    uint32_t width, height;
    uint32_t photometric;
    std::vector<uint8_t> cfa;  // empty for linear raw
    double black;
    double white;
    double colorMatrix1First;  // first entry of ColorMatrix1
    bool hasColorMatrix2;
    uint32_t illuminant1, illuminant2;
    std::vector<double> neutral;
    double baselineExposure;
    double cropOriginH, cropOriginV, cropSizeH, cropSizeV;
    uint32_t orientation;
    uint32_t opcodeList2Count;
};

// Values as `exiftool -n` prints them for each file.
const std::vector<Expected>& AllExpected() {
    static const std::vector<Expected> all = {
        {"dng",
         "bmpcc4k_cfa-12bit-dctjpeg_4tiles_linearization.dng",
         "",
         "",
         "Blackmagic Pocket Cinema Camera 4K",
         4128,
         2176,
         piCFA,
         {0, 1, 1, 2},
         512,
         65535,
         0.94953,
         true,
         17,
         21,
         {0.4533, 1, 0.53},
         2.65412,
         16,
         8,
         4096,
         2160,
         1,
         0},
        {"dng",
         "lg-h815_linearraw-8bit-lossyjpeg_2tiles_opcodelist2.dng",
         "LGE",
         "LG-H815",
         "LG-H815-LGE-lge",
         600,
         337,
         piLinearRaw,
         {},
         0,
         255,
         0.6013,
         true,
         21,
         17,
         {0.625, 1, 0.546875},
         0,
         0,
         0,
         600,
         337,
         1,
         3},
        {"dng",
         "rpi-1920x1200_10bit-packed_single-tile.dng",
         "RaspberryPi",
         "PiDNG / PiCamera2",
         "",
         1920,
         1200,
         piCFA,
         {1, 0, 2, 1},
         32,
         1023,
         1.3384,
         false,
         21,
         0,
         {0.7224911495, 1, 0.7228044814},
         1,
         0,
         0,
         1920,
         1200,
         1,
         0},
        {"dng",
         "rpi-imx296_10bit-packed_strip.dng",
         "RaspberryPi",
         "PiDNG / PiCamera2",
         "",
         1456,
         1088,
         piCFA,
         {2, 1, 1, 0},
         60,
         1023,
         0.6142,
         false,
         21,
         0,
         {0.390076455, 1, 0.4802612621},
         1,
         0,
         0,
         1456,
         1088,
         1,
         0},
        {"dng",
         "rpi-imx296_16bit_thumb-ifd0_raw-subifd.dng",
         "Raspberry Pi",
         "imx296",
         "Raspberry Pi imx296",
         1456,
         1088,
         piCFA,
         {2, 1, 1, 0},
         60,
         1023,
         1.513953567,
         false,
         21,
         0,
         {1, 1, 1},
         0,
         0,
         0,
         1456,
         1088,
         1,
         0},
        {"metadata-only",
         "canon-eos350d_converted-dng_stripped.dng",
         "Canon",
         "Canon EOS 350D DIGITAL",
         "Canon EOS 350D",
         3516,
         2328,
         piCFA,
         {0, 1, 1, 2},
         0,
         4095,
         0.6159,
         true,
         17,
         21,
         {0.592408, 1, 0.501692},
         0.25,
         10,
         5,
         3456,
         2304,
         1,
         0},
        {"metadata-only",
         "apple-iphone12pro_proraw-linear-dng_stripped.dng",
         "Apple",
         "iPhone 12 Pro",
         "iPhone13,3 back camera",
         4032,
         3024,
         piLinearRaw,
         {},
         0,
         65535,
         1.2271626,
         true,
         17,
         21,
         {0.448975116, 1, 0.5408688784},
         -0.3022167683,
         0,
         0,
         4032,
         3024,
         6,
         0},
    };
    return all;
}

class RealDngTest : public ::testing::TestWithParam<size_t> {};

TEST_P(RealDngTest, FieldsMatchTheFile) {
    const Expected& e = AllExpected()[GetParam()];
    SCOPED_TRACE(e.file);
    dng_file_stream stream(DngPath(e.folder, e.file).c_str());
    dng_image_host host;
    dng_info info;
    std::unique_ptr<dng_negative> negative =
        ReadDNGNegative(host, stream, info, dng_read_depth::kMetadata);

    const dng_exif& exif = *negative->Metadata().GetExif();
    EXPECT_STREQ(exif.fMake.Get(), e.make);
    EXPECT_STREQ(exif.fModel.Get(), e.model);
    // Files without a unique camera model get the generic name.
    EXPECT_STREQ(negative->ModelName().Get(), *e.uniqueModel ? e.uniqueModel : "Digital Negative");

    const dng_parsed_ifd& main = info.MainIFD();
    EXPECT_EQ(main.fNewSubFileType, 0u);
    EXPECT_EQ(main.fImageWidth, e.width);
    EXPECT_EQ(main.fImageLength, e.height);
    EXPECT_EQ(main.fPhotometricInterpretation, e.photometric);
    if (!e.cfa.empty()) {
        ASSERT_NE(negative->GetMosaicInfo(), nullptr);
        EXPECT_EQ(main.fCFARepeatPatternRows, 2u);
        EXPECT_EQ(main.fCFARepeatPatternCols, 2u);
        EXPECT_EQ(main.fCFAPattern[0][0], e.cfa[0]);
        EXPECT_EQ(main.fCFAPattern[0][1], e.cfa[1]);
        EXPECT_EQ(main.fCFAPattern[1][0], e.cfa[2]);
        EXPECT_EQ(main.fCFAPattern[1][1], e.cfa[3]);
    } else {
        EXPECT_EQ(negative->GetMosaicInfo(), nullptr);
    }

    ASSERT_NE(negative->GetLinearizationInfo(), nullptr);
    EXPECT_DOUBLE_EQ(
        main.fLinearizationTags.fBlackLevel.empty() ? 0.0 : main.fLinearizationTags.fBlackLevel[0],
        e.black);
    EXPECT_EQ(negative->WhiteLevel(0), uint32_t(e.white));

    const dng_camera_profile_info& profile = info.fShared->fCameraProfile;
    ASSERT_EQ(profile.fColorMatrix1.Rows(), 3u);
    EXPECT_NEAR(profile.fColorMatrix1[0][0], e.colorMatrix1First, 1e-6);
    EXPECT_EQ(profile.fColorMatrix2.NotEmpty(), e.hasColorMatrix2);
    EXPECT_EQ(profile.fCalibrationIlluminant1, e.illuminant1);
    EXPECT_EQ(profile.fCalibrationIlluminant2, e.illuminant2);
    ASSERT_EQ(negative->ProfileCount(), 1u);
    EXPECT_EQ(negative->ColorChannels(), 3u);

    ASSERT_EQ(negative->CameraNeutral().Count(), 3u);
    for (uint32_t i = 0; i < 3; i++)
        EXPECT_NEAR(negative->CameraNeutral()[i], e.neutral[i], 1e-6) << i;
    // Stored with denominator 100.
    EXPECT_NEAR(negative->BaselineExposure(), e.baselineExposure, 0.005);

    EXPECT_DOUBLE_EQ(negative->DefaultCropOriginH().AsReal64(), e.cropOriginH);
    EXPECT_DOUBLE_EQ(negative->DefaultCropOriginV().AsReal64(), e.cropOriginV);
    EXPECT_DOUBLE_EQ(negative->DefaultCropSizeH().AsReal64(), e.cropSizeH);
    EXPECT_DOUBLE_EQ(negative->DefaultCropSizeV().AsReal64(), e.cropSizeV);
    EXPECT_EQ(negative->Metadata().BaseOrientation().GetTIFF(), e.orientation);

    EXPECT_EQ(negative->OpcodeList1().Count(), 0u);
    EXPECT_EQ(negative->OpcodeList2().Count(), e.opcodeList2Count);
    EXPECT_EQ(negative->OpcodeList3().Count(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Files, RealDngTest, ::testing::Range<size_t>(0, 7));

TEST(RealDng, ExifAndGpsRecordsAreRead) {
    dng_file_stream stream(
        DngPath("metadata-only", "apple-iphone12pro_proraw-linear-dng_stripped.dng").c_str());
    dng_image_host host;
    dng_info info;
    auto negative = ReadDNGNegative(host, stream, info, dng_read_depth::kMetadata);
    const dng_exif& exif = *negative->Metadata().GetExif();
    // exiftool: ExposureTime 0.0001799856012, FNumber 1.6, ISO 32, FocalLength 4.2,
    // GPSLatitude 34.0596083333333 N, GPSAltitude 261.0165326, LensModel as below.
    EXPECT_NEAR(exif.fExposureTime.AsReal64(), 0.0001799856012, 1e-9);
    EXPECT_NEAR(exif.fFNumber.AsReal64(), 1.6, 1e-9);
    EXPECT_EQ(exif.fISOSpeedRatings[0], 32u);
    EXPECT_NEAR(exif.fFocalLength.AsReal64(), 4.2, 1e-9);
    EXPECT_STREQ(exif.fLensName.Get(), "iPhone 12 Pro back triple camera 4.2mm f/1.6");
    EXPECT_EQ(exif.fExifVersion, 0x30323332u);
    EXPECT_EQ(exif.fDateTimeOriginal.DateTime().fYear, 2020u);
    EXPECT_STREQ(exif.fGPSLatitudeRef.Get(), "N");
    const double lat = exif.fGPSLatitude[0].AsReal64() + exif.fGPSLatitude[1].AsReal64() / 60 +
                       exif.fGPSLatitude[2].AsReal64() / 3600;
    EXPECT_NEAR(lat, 34.0596083333333, 1e-6);
    EXPECT_NEAR(exif.fGPSAltitude.AsReal64(), 261.0165326, 1e-6);
    // exiftool: NoiseReductionApplied 0.9499999881, BaselineSharpness 1.5.
    EXPECT_NEAR(negative->NoiseReductionApplied().AsReal64(), 0.95, 1e-6);
    EXPECT_NEAR(negative->BaselineSharpnessR().AsReal64(), 1.5, 1e-9);
    // exiftool: SubIFD NoiseProfile 3e-05 3e-08 (one function for all planes).
    ASSERT_EQ(negative->NoiseProfile().NumFunctions(), 1u);
    EXPECT_NEAR(negative->NoiseProfile().NoiseFunction(2).Scale(), 3e-05, 1e-12);
    // The preview, the raw image and the semantic mask are three directories.
    EXPECT_EQ(info.IFDCount(), 3u);
    EXPECT_EQ(info.fPreviewIndices.size(), 1u);
}

TEST(RealDng, ConvertedFileKeepsItsActiveAreaAndPrivateTags) {
    dng_file_stream stream(
        DngPath("metadata-only", "canon-eos350d_converted-dng_stripped.dng").c_str());
    dng_image_host host;
    dng_info info;
    auto negative = ReadDNGNegative(host, stream, info, dng_read_depth::kMetadata);
    // exiftool: ActiveArea 14 42 2328 3516, MaskedAreas 14 0 2328 40, big-endian,
    // CameraCalibration1 1.0069 .. 1.0027, OriginalRawFileName Canon350D.CR2,
    // DNGPrivateData 8360 bytes, BaselineNoise 1.33.
    EXPECT_TRUE(info.fBigEndian);
    EXPECT_EQ(negative->GetLinearizationInfo()->fActiveArea, dng_rect(14, 42, 2328, 3516));
    EXPECT_EQ(negative->GetLinearizationInfo()->fMaskedAreaCount, 1u);
    EXPECT_NEAR(negative->CameraCalibration1()[0][0], 1.0069, 1e-9);
    EXPECT_NEAR(negative->CameraCalibration1()[2][2], 1.0027, 1e-9);
    EXPECT_STREQ(negative->OriginalRawFileName().Get(), "Canon350D.CR2");
    EXPECT_EQ(info.fShared->fDNGPrivateDataCount, 8360u);
    EXPECT_NEAR(negative->BaselineNoiseR().AsReal64(), 1.33, 1e-9);
    EXPECT_STREQ(negative->LocalName().Get(), "Canon EOS 350D Digital");
    EXPECT_TRUE(negative->Metadata().GetXMP()->HasMeta());
    // The raw data was cut out: reading it is a clear error.
    dng_info again;
    EXPECT_THROW(ReadDNGNegative(host, stream, again, dng_read_depth::kStage3), dng_exception);
}

TEST(RealDng, LinearRawWithLossyTilesParsesItsOpcodesButRefusesItsPixels) {
    const std::string path =
        DngPath("dng", "lg-h815_linearraw-8bit-lossyjpeg_2tiles_opcodelist2.dng");
    dng_file_stream stream(path.c_str());
    dng_image_host host;
    dng_info info;
    auto negative = ReadDNGNegative(host, stream, info, dng_read_depth::kMetadata);
    ASSERT_EQ(negative->OpcodeList2().Count(), 3u);
    // From the file's OpcodeList2: plane 0 c1 0.0605793 c3 0.9086891, plane 1
    // 0.0625 / 0.9375, plane 2 0.0391241 / 0.5868620, degree 3, c0 = c2 = 0.
    const double c1[3] = {0.0605793, 0.0625, 0.0391241};
    const double c3[3] = {0.9086891, 0.9375, 0.5868620};
    for (uint32_t p = 0; p < 3; p++) {
        const auto& op =
            dynamic_cast<const dng_opcode_MapPolynomial&>(negative->OpcodeList2().Entry(p));
        EXPECT_EQ(op.OpcodeID(), 8u);
        EXPECT_EQ(op.MinVersion(), 0x01030000u);
        EXPECT_EQ(op.Degree(), 3u);
        EXPECT_NEAR(op.Coefficient(1), c1[p], 1e-6);
        EXPECT_NEAR(op.Coefficient(3), c3[p], 1e-6);
        EXPECT_EQ(op.Coefficient(0), 0.0);
    }
    // exiftool: NoiseProfile of 3 planes in IFD 0, OriginalDefaultFinalSize 5304 2980.
    EXPECT_EQ(negative->NoiseProfile().NumFunctions(), 3u);
    EXPECT_EQ(negative->OriginalDefaultFinalSize(), dng_point(2980, 5304));

    dng_info again;
    try {
        ReadDNGNegative(host, stream, again, dng_read_depth::kStage3);
        FAIL() << "lossy JPEG tiles were read";
    } catch (const dng_exception& e) {
        EXPECT_EQ(e.ErrorCode(), dng_error_not_yet_implemented);
    }
}

TEST(RealDng, DctCodedCompressionSevenTilesAreRefused) {
    dng_file_stream stream(
        DngPath("dng", "bmpcc4k_cfa-12bit-dctjpeg_4tiles_linearization.dng").c_str());
    dng_image_host host;
    dng_info info;
    auto negative = ReadDNGNegative(host, stream, info, dng_read_depth::kMetadata);
    // exiftool: LinearizationTable of 4096 SHORT entries.
    ASSERT_NE(negative->GetLinearizationInfo()->fLinearizationTable, nullptr);
    EXPECT_EQ(negative->GetLinearizationInfo()->fLinearizationTable->LogicalSize(), 4096u * 2);
    dng_info again;
    EXPECT_THROW(ReadDNGNegative(host, stream, again, dng_read_depth::kStage1), dng_exception);
}

TEST(RealDng, MalformedMinimalFileGetsDefaults) {
    dng_file_stream stream(DngPath("dng", "rpi-640x480_10bit_minimal_malformed.dng").c_str());
    dng_image_host host;
    dng_info info;
    auto negative = ReadDNGNegative(host, stream, info, dng_read_depth::kMetadata);
    // No make, model, matrix or levels: black 0, white 2^10 - 1, three colours
    // from the CFA pattern, no profile. The later of two DNGBackwardVersion
    // entries (1.2.0.0) wins.
    EXPECT_STREQ(negative->Metadata().GetExif()->fMake.Get(), "");
    EXPECT_STREQ(negative->ModelName().Get(), "Digital Negative");
    EXPECT_EQ(negative->WhiteLevel(0), 1023u);
    EXPECT_EQ(negative->ColorChannels(), 3u);
    EXPECT_EQ(negative->ProfileCount(), 0u);
    EXPECT_EQ(info.fShared->fDNGBackwardVersion, 0x01020000u);
    negative->ReadStage1Image(host, stream, info);
    negative->BuildStage2Image(host);
    negative->BuildStage3Image(host);
    ASSERT_NE(negative->Stage3Image(), nullptr);
    EXPECT_EQ(negative->Stage3Image()->Width(), 640u);
    EXPECT_EQ(negative->Stage3Image()->Planes(), 3u);
}

// Every sample of the 16-bit file is on disk unpacked, so stage 2 can be
// checked exactly: (raw - black) / (white - black) * 65535, clipped.
TEST(RealDng, SixteenBitFileLinearizesExactlyAndBuildsStageThree) {
    const std::string path = DngPath("dng", "rpi-imx296_16bit_thumb-ifd0_raw-subifd.dng");
    std::ifstream file(path, std::ios::binary);
    const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(file)), {});
    // exiftool: SubIFD StripOffsets 19218, 1456 x 1088, little-endian.
    auto raw = [&](uint32_t row, uint32_t col) {
        const size_t at = 19218 + (size_t(row) * 1456 + col) * 2;
        return uint32_t(bytes[at]) | uint32_t(bytes[at + 1]) << 8;
    };

    dng_file_stream stream(path.c_str());
    dng_image_host host;
    host.SetKeepStage2(true);
    dng_info info;
    auto negative = ReadDNGNegative(host, stream, info, dng_read_depth::kStage3);
    const dng_image* stage2 = negative->Stage2Image();
    ASSERT_NE(stage2, nullptr);
    EXPECT_EQ(stage2->PixelType(), uint32_t(ttShort));

    for (uint32_t row : {0u, 1u, 517u, 1087u}) {
        for (uint32_t col : {0u, 1u, 700u, 1455u}) {
            dng_pixel_buffer buffer;
            uint16_t value = 0;
            buffer = dng_pixel_buffer(
                dng_rect(int32_t(row), int32_t(col), int32_t(row) + 1, int32_t(col) + 1), 0, 1,
                ttShort, pcInterleaved, &value);
            stage2->Get(buffer);
            const double expected =
                std::clamp((double(raw(row, col)) - 60.0) / (1023.0 - 60.0), 0.0, 1.0) * 65535.0;
            EXPECT_NEAR(value, expected, 1.0) << row << "," << col;
        }
    }

    const dng_image* stage3 = negative->Stage3Image();
    ASSERT_NE(stage3, nullptr);
    EXPECT_EQ(stage3->Bounds(), dng_rect(1088, 1456));
    EXPECT_EQ(stage3->Planes(), 3u);
}

// Stage 3 of the uncompressed files: black at or below 0, white 1023 at
// 65535, dim content in range.
TEST(RealDng, StageThreeValuesArePlausible) {
    struct Case {
        const char* file;
        uint16_t minAtMost;
        uint16_t maxAtLeast;
    };
    // The 1920 x 1200 file has samples 28..1023 with black 32: clipped to 0
    // and 65535. The imx296 file runs 62..402 over black 60: (402-60)/963.
    const Case cases[] = {{"rpi-1920x1200_10bit-packed_single-tile.dng", 0, 65535},
                          {"rpi-imx296_10bit-packed_strip.dng", 1000, 20000}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        dng_file_stream stream(DngPath("dng", c.file).c_str());
        dng_image_host host;
        dng_info info;
        auto negative = ReadDNGNegative(host, stream, info, dng_read_depth::kStage3);
        const dng_image& s3 = *negative->Stage3Image();
        ASSERT_EQ(s3.PixelType(), uint32_t(ttShort));
        std::vector<uint16_t> pixels(size_t(s3.Width()) * s3.Height() * 3);
        dng_pixel_buffer buffer(s3.Bounds(), 0, 3, ttShort, pcInterleaved, pixels.data());
        s3.Get(buffer);
        const auto [lo, hi] = std::minmax_element(pixels.begin(), pixels.end());
        EXPECT_LE(*lo, c.minAtMost);
        EXPECT_GE(*hi, c.maxAtLeast);
        if (c.maxAtLeast < 65535) {
            EXPECT_LE(*hi, 24000);
        }
    }
}

std::vector<uint8_t> ReadAll(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return std::vector<uint8_t>((std::istreambuf_iterator<char>(file)), {});
}

// A damaged file ends in a dng_exception or a negative, never a crash.
void ReadDamaged(const std::vector<uint8_t>& data, dng_read_depth depth) {
    dng_stream stream(data.data(), uint32_t(data.size()));
    dng_image_host host;
    dng_info info;
    try {
        ReadDNGNegative(host, stream, info, depth);
    } catch (const dng_exception&) {
    }
}

TEST(RealDng, TruncatedCopiesFailCleanly) {
    for (const Expected& e : AllExpected()) {
        SCOPED_TRACE(e.file);
        const std::vector<uint8_t> data = ReadAll(DngPath(e.folder, e.file));
        for (uint32_t k = 1; k < 64; k++) {
            std::vector<uint8_t> cut(data.begin(), data.begin() + ptrdiff_t(data.size() * k / 64));
            ReadDamaged(cut, dng_read_depth::kStage3);
        }
    }
}

TEST(RealDng, CorruptedCopiesFailCleanly) {
    std::mt19937 random(1234);
    for (const Expected& e : AllExpected()) {
        SCOPED_TRACE(e.file);
        const std::vector<uint8_t> data = ReadAll(DngPath(e.folder, e.file));
        // Most of a file is pixels; flip bytes of the first 64 KiB (the
        // structure) more often than of the rest.
        const size_t head = std::min<size_t>(data.size(), 65536);
        for (int round = 0; round < 48; round++) {
            std::vector<uint8_t> copy = data;
            for (int flips = 0; flips < 8; flips++) {
                const size_t at = flips % 4 == 3 ? random() % copy.size() : random() % head;
                copy[at] ^= uint8_t(1u << (random() % 8));
            }
            ReadDamaged(copy, round % 4 == 0 ? dng_read_depth::kStage3 : dng_read_depth::kStage1);
        }
    }
}

}  // namespace
