#include <gtest/gtest.h>

#include <cstring>
#include <sstream>
#include <string>

#include "dng/core/dng_file_stream.h"
#include "dng/core/dng_ifd.h"
#include "dng/core/dng_tag_codes.h"
#include "dng/writer/ExifTestRecord.h"
#include "dng/writer/WriterTestSupport.h"
#include "dng/writer/dng_basic_tag_set.h"
#include "dng/writer/dng_exif_tag_set.h"
#include "support/TestSupport.h"

using writertest::Bytes;
using writertest::ExifToolValue;
using writertest::FindTag;
using writertest::RunCommand;
using writertest::ToolAvailable;

TEST(ExifTagSet, PlainRecordWithMakeAndModelNeedsNoSubDirectories) {
    dng_exif exif;
    exif.fMake.Set("Make");
    exif.fModel.Set("Model");
    dng_tiff_directory main;
    dng_exif_tag_set set(main, exif);
    ASSERT_EQ(main.EntryCount(), 2u);
    EXPECT_TRUE(FindTag(main, tcMake));
    EXPECT_TRUE(FindTag(main, tcModel));
    EXPECT_TRUE(set.ExifIFD().IsEmpty());
    EXPECT_TRUE(set.GPSIFD().IsEmpty());
    EXPECT_FALSE(set.HasExifLink());
    EXPECT_FALSE(set.HasGPSLink());
    EXPECT_EQ(set.Size(), 0u);
}

TEST(ExifTagSet, VersionGatesNewerTags) {
    dng_exif exif = writertest::FullExifRecord();
    exif.fGPSHPositioningError = dng_urational(5, 1);
    exif.fTemperature = dng_srational(-5, 1);

    const uint32 newer[] = {tcSensitivityType,       tcRecommendedExposureIndex,
                            tcCameraOwnerNameExif,   tcCameraSerialNumberExif,
                            tcLensSpecificationExif, tcLensModelExif};
    const uint32 newest[] = {tcOffsetTime, tcOffsetTimeOriginal, tcOffsetTimeDigitized,
                             tcTemperature};
    exif.fOwnerName.Set("Owner");

    exif.fExifVersion = 0x30323231;  // "0221"
    {
        dng_tiff_directory main;
        dng_exif_tag_set set(main, exif);
        for (uint32 code : newer) EXPECT_FALSE(FindTag(set.ExifIFD(), code)) << code;
        for (uint32 code : newest) EXPECT_FALSE(FindTag(set.ExifIFD(), code)) << code;
        EXPECT_FALSE(FindTag(set.GPSIFD(), tcGPSHPositioningError));
        EXPECT_TRUE(FindTag(set.ExifIFD(), tcExposureTime));
    }
    exif.fExifVersion = 0x30323330;  // "0230"
    {
        dng_tiff_directory main;
        dng_exif_tag_set set(main, exif);
        for (uint32 code : newer) EXPECT_TRUE(FindTag(set.ExifIFD(), code)) << code;
        for (uint32 code : newest) EXPECT_FALSE(FindTag(set.ExifIFD(), code)) << code;
        EXPECT_TRUE(FindTag(set.GPSIFD(), tcGPSHPositioningError));
    }
    exif.fExifVersion = 0x30323331;                                   // "0231"
    exif.fDateTimeDigitized = writertest::ExifDateTime(15, "", 901);  // zone out of range
    {
        dng_tiff_directory main;
        dng_exif_tag_set set(main, exif);
        EXPECT_TRUE(FindTag(set.ExifIFD(), tcOffsetTime));
        EXPECT_TRUE(FindTag(set.ExifIFD(), tcOffsetTimeOriginal));
        EXPECT_FALSE(FindTag(set.ExifIFD(), tcOffsetTimeDigitized));
        EXPECT_FALSE(FindTag(set.ExifIFD(), tcSubsecTimeDigitized));
        EXPECT_EQ(writertest::PutBytes(*FindTag(set.ExifIFD(), tcOffsetTime), false),
                  (Bytes{'+', '0', '2', ':', '0', '0', 0}));
    }
}

TEST(ExifTagSet, ValueRulesForColourSpaceISOAndBatteryLevel) {
    dng_exif exif;
    exif.fExifVersion = 0x30323331;
    exif.fISOSpeedRatings[0] = 102400;
    for (uint32 space : {1u, 2u, 65535u}) {
        exif.fColorSpace = space;
        dng_tiff_directory main;
        dng_exif_tag_set set(main, exif);
        EXPECT_EQ(FindTag(set.ExifIFD(), tcColorSpace) != nullptr, space != 2) << space;
        EXPECT_EQ(writertest::PutBytes(*FindTag(set.ExifIFD(), tcISOSpeedRatings), true),
                  (Bytes{0xFF, 0xFF}));
    }

    exif.fBatteryLevelR = dng_urational(1, 2);
    {
        dng_tiff_directory main;
        dng_exif_tag_set set(main, exif, false, nullptr, 0, true);
        ASSERT_TRUE(FindTag(main, tcBatteryLevel));
        EXPECT_EQ(FindTag(main, tcBatteryLevel)->Type(), ttRational);
    }
    exif.fBatteryLevelA.Set("50%");
    {
        dng_tiff_directory main;
        dng_exif_tag_set set(main, exif, false, nullptr, 0, true);
        uint32 count = 0;
        for (uint32 i = 0; i < main.EntryCount(); i++)
            count += main.Entry(i)->Code() == tcBatteryLevel;
        EXPECT_EQ(count, 1u);
        EXPECT_EQ(FindTag(main, tcBatteryLevel)->Type(), ttAscii);
    }
}

TEST(ExifTagSet, DNGOnlyTagsAndMakerNote) {
    dng_exif exif = writertest::FullExifRecord();
    exif.fImageNumber = 17;
    exif.fSelfTimerMode = 2;
    const uint8 makerNote[6] = {1, 2, 3, 4, 5, 6};

    exif.fComponentsConfiguration = 0x01020300;
    exif.fPixelXDimension = 640;
    exif.fPixelYDimension = 480;

    const uint32 dngOnly[] = {tcImageNumber, tcSelfTimerMode, tcLensInfo, tcCameraSerialNumber};
    // What a compressed image states of itself; a DNG has its own layout tags.
    const uint32 outsideOnly[] = {tcComponentsConfiguration, tcPixelXDimension, tcPixelYDimension};
    for (bool insideDNG : {false, true}) {
        dng_tiff_directory main;
        dng_exif_tag_set set(main, exif, true, makerNote, 6, insideDNG);
        for (uint32 code : dngOnly) EXPECT_EQ(FindTag(main, code) != nullptr, insideDNG) << code;
        for (uint32 code : outsideOnly)
            EXPECT_EQ(FindTag(set.ExifIFD(), code) != nullptr, !insideDNG) << code;
        EXPECT_TRUE(FindTag(set.ExifIFD(), tcCameraSerialNumberExif));
        EXPECT_TRUE(FindTag(main, tcMakerNoteSafety));
        ASSERT_TRUE(FindTag(set.ExifIFD(), tcMakerNote));
        EXPECT_EQ(FindTag(set.ExifIFD(), tcMakerNote)->Count(), 6u);
        // The links come last and point at the directories the writer places.
        EXPECT_TRUE(set.HasExifLink());
        EXPECT_TRUE(set.HasGPSLink());
    }

    dng_tiff_directory main;
    dng_exif_tag_set unsafe(main, exif, false, makerNote, 6, true);
    EXPECT_FALSE(FindTag(main, tcMakerNoteSafety));
    EXPECT_FALSE(FindTag(unsafe.ExifIFD(), tcMakerNote));

    // A pattern size beyond the record's array is left out, not read.
    exif.fCFARepeatPatternRows = 9;
    dng_tiff_directory oversized;
    dng_exif_tag_set noPattern(oversized, exif);
    EXPECT_FALSE(FindTag(noPattern.ExifIFD(), tcCFAPatternExif));

    // ImageUniqueID as 32 upper-case hexadecimal digits.
    const Bytes id = writertest::PutBytes(*FindTag(unsafe.ExifIFD(), tcImageUniqueID), false);
    EXPECT_EQ(std::string(id.begin(), id.end()),
              std::string("AB000000000000000000000000000001\0", 33));
}

namespace {

struct Layout {
    uint32 exifOffset = 0;
    uint32 gpsOffset = 0;
};

// A 4 × 2 RGB strip TIFF with the basic tag set, resolution and the EXIF set.
Layout WriteStripTIFF(const std::string& path, const dng_exif& exif, bool bigEndian) {
    dng_ifd ifd;
    ifd.fImageWidth = 4;
    ifd.fImageLength = 2;
    ifd.fSamplesPerPixel = 3;
    ifd.fBitsPerSample[0] = 8;
    ifd.fPhotometricInterpretation = 2;
    ifd.SetSingleStrip();

    dng_tiff_directory main;
    dng_basic_tag_set basic(main, ifd);
    tag_urational xResolution(tcXResolution, dng_urational(300, 1));
    tag_urational yResolution(tcYResolution, dng_urational(300, 1));
    tag_uint16 resolutionUnit(tcResolutionUnit, 2);
    main.Add(&xResolution);
    main.Add(&yResolution);
    main.Add(&resolutionUnit);
    dng_exif_tag_set exifSet(main, exif);

    const uint32 mainOffset = 8;
    exifSet.Locate(mainOffset + main.Size());
    const uint32 dataOffset = mainOffset + main.Size() + exifSet.Size();
    uint8 pixels[4 * 2 * 3];
    for (uint32 i = 0; i < sizeof(pixels); i++) pixels[i] = static_cast<uint8>(i * 10);
    basic.SetTileOffset(0, dataOffset);
    basic.SetTileByteCount(0, sizeof(pixels));

    dng_file_stream stream(path.c_str(), true);
    stream.SetBigEndian(bigEndian);
    stream.PutUInt16(bigEndian ? 0x4D4D : 0x4949);
    stream.PutUInt16(42);
    stream.PutUInt32(mainOffset);
    main.Put(stream);
    exifSet.ExifIFD().Put(stream);
    exifSet.GPSIFD().Put(stream);
    EXPECT_EQ(stream.Position(), dataOffset);
    stream.WriteBytes(pixels, sizeof(pixels));
    stream.Flush();
    return {mainOffset + main.Size(), mainOffset + main.Size() + exifSet.ExifIFD().Size()};
}

}  // namespace

TEST(ExifTagSet, StripTIFFReadsBackInOutsideTools) {
    if (!ToolAvailable("exiftool") || !ToolAvailable("tiffdump")) {
        GTEST_SKIP() << "exiftool or tiffdump not installed";
    }
    testsupport::ScratchDir scratch;
    const dng_exif exif = writertest::FullExifRecord();
    for (bool bigEndian : {false, true}) {
        SCOPED_TRACE(bigEndian ? "big-endian" : "little-endian");
        const std::string path = (scratch.path() / (bigEndian ? "mm.tif" : "ii.tif")).string();
        const Layout layout = WriteStripTIFF(path, exif, bigEndian);

        const std::string dump = RunCommand(
            "tiffdump '" + path + "'; tiffdump -o " + std::to_string(layout.exifOffset) + " '" +
            path + "'; tiffdump -o " + std::to_string(layout.gpsOffset) + " '" + path + "'");
        EXPECT_NE(dump.find("34665 (0x8769) LONG (4) 1<" + std::to_string(layout.exifOffset) + ">"),
                  std::string::npos);
        EXPECT_NE(dump.find("34853 (0x8825) LONG (4) 1<" + std::to_string(layout.gpsOffset) + ">"),
                  std::string::npos);
        EXPECT_NE(dump.find(bigEndian ? "Magic: 0x4d4d" : "Magic: 0x4949"), std::string::npos);
        for (const char* expected :
             {"ImageWidth (256) LONG (4) 1<4>", "BitsPerSample (258) SHORT (3) 3<8 8 8>",
              "StripByteCounts (279) LONG (4) 1<24>",
              "Make (271) ASCII (2) 23<Quorvex Test Camera Co\\0>",
              "33434 (0x829a) RATIONAL (5) 1<0.004>", "34855 (0x8827) SHORT (3) 1<400>",
              "41730 (0xa302) UNDEFINED (7) 8<0x2 00 0x2 00 00 0x1 0x1 0x2>",
              "37510 (0x9286) UNDEFINED (7) 13<0x41 0x53 0x43 0x49 0x49 00 00 00 0x68 0x65 0x6c "
              "0x6c 0x6f>",
              "27 (0x1b) UNDEFINED (7) 11<0x41 0x53 0x43 0x49 0x49 00 00 00 0x47 0x50 0x53>",
              "42034 (0xa432) RATIONAL (5) 4<24 70 2.8 2.8>", "1 (0x1) ASCII (2) 2<N\\0>",
              "36864 (0x9000) UNDEFINED (7) 4<0x30 0x32 0x33 0x31>",
              "2 (0x2) RATIONAL (5) 3<48 51 29.56>", "5 (0x5) BYTE (1) 1<0x1>"}) {
            std::string want = expected;
            if (bigEndian && want.rfind("41730", 0) == 0) {
                want = "41730 (0xa302) UNDEFINED (7) 8<00 0x2 00 0x2 00 0x1 0x1 0x2>";
            }
            EXPECT_NE(dump.find(want), std::string::npos) << want << "\n" << dump;
        }

        // No errors; the only warning allowed is for FlashpixVersion, which
        // the record does not carry.
        const std::string validate =
            RunCommand("exiftool -validate -warning -a -s3 '" + path + "' 2>&1");
        EXPECT_EQ(validate.find("rror"), std::string::npos) << validate;
        std::istringstream lines(validate);
        std::string line;
        std::getline(lines, line);
        EXPECT_TRUE(line == "OK" || line == "1 Warnings" || line == "1 Warning") << validate;
        while (std::getline(lines, line)) {
            EXPECT_NE(line.find("FlashpixVersion"), std::string::npos) << validate;
        }

        EXPECT_EQ(ExifToolValue(path, "ExposureTime"), "1/250");
        EXPECT_EQ(ExifToolValue(path, "FNumber"), "5.6");
        EXPECT_EQ(ExifToolValue(path, "ISO"), "400");
        EXPECT_EQ(ExifToolValue(path, "ExposureCompensation"), "-2/3");
        EXPECT_EQ(ExifToolValue(path, "DateTimeOriginal"), "2023:06:15 14:30:45");
        EXPECT_EQ(ExifToolValue(path, "SubSecTimeOriginal"), "123");
        EXPECT_EQ(ExifToolValue(path, "OffsetTimeOriginal"), "+02:00");
        EXPECT_EQ(ExifToolValue(path, "OffsetTimeDigitized"), "-05:30");
        EXPECT_EQ(ExifToolValue(path, "ModifyDate"), "2023:06:15 16:30:45");
        EXPECT_EQ(ExifToolValue(path, "Make"), "Quorvex Test Camera Co");
        EXPECT_EQ(ExifToolValue(path, "LensModel"), "QO 24-70mm F2.8");
        EXPECT_EQ(ExifToolValue(path, "LensMake"), "Quorvex Optics");
        EXPECT_EQ(ExifToolValue(path, "LensInfo"), "24-70mm f/2.8");
        EXPECT_EQ(ExifToolValue(path, "SerialNumber"), "SN12345");
        EXPECT_EQ(ExifToolValue(path, "UserComment"), "hello");
        EXPECT_EQ(ExifToolValue(path, "CFAPattern"), "[Red,Green][Green,Blue]");
        EXPECT_EQ(ExifToolValue(path, "ImageUniqueID"), "AB000000000000000000000000000001");
        EXPECT_EQ(ExifToolValue(path, "GPSVersionID"), "2.3.0.0");
        EXPECT_EQ(ExifToolValue(path, "GPSLatitude", "-n"), "48.8582111111111");
        EXPECT_EQ(ExifToolValue(path, "GPSLatitudeRef", "-n"), "N");
        EXPECT_EQ(ExifToolValue(path, "GPSLongitude", "-n"), "-2.29444444444444");
        EXPECT_EQ(ExifToolValue(path, "GPS:GPSAltitudeRef", "-n"), "1");
        EXPECT_EQ(ExifToolValue(path, "GPS:GPSAltitude", "-n"), "12.3");
        EXPECT_EQ(ExifToolValue(path, "Composite:GPSAltitude", "-n"), "-12.3");
        EXPECT_EQ(ExifToolValue(path, "GPSTimeStamp"), "12:34:56");
        EXPECT_EQ(ExifToolValue(path, "GPSDateStamp"), "2023:06:15");
    }
}

TEST(ExifTagSet, CFAPatternOrderIsRowsThenColumnsForExifReaders) {
    if (!ToolAvailable("exiftool")) GTEST_SKIP() << "exiftool not installed";
    testsupport::ScratchDir scratch;
    // Two rows of three colours: a transposed pattern would read differently.
    dng_exif exif;
    exif.SetVersion0231();
    exif.fCFARepeatPatternRows = 2;
    exif.fCFARepeatPatternCols = 3;
    const uint8 rows[2][3] = {{0, 1, 2}, {1, 2, 0}};
    for (uint32 r = 0; r < 2; r++) {
        for (uint32 c = 0; c < 3; c++) exif.fCFAPattern[r][c] = rows[r][c];
    }
    const std::string path = (scratch.path() / "cfa.tif").string();
    WriteStripTIFF(path, exif, false);
    EXPECT_EQ(ExifToolValue(path, "CFAPattern"), "[Red,Green,Blue][Green,Blue,Red]");
}

TEST(ExifTagSet, EveryFieldAtOnceFitsTheSet) {
    dng_exif exif = writertest::FullExifRecord();
    const dng_urational r(1, 2);
    const dng_srational sr(-1, 2);
    exif.fImageNumber = 3;
    exif.fSelfTimerMode = 1;
    exif.fBatteryLevelR = r;
    exif.fShutterSpeedValue = sr;
    exif.fBrightnessValue = sr;
    exif.fMaxApertureValue = r;
    exif.fSubjectDistance = r;
    exif.fLightSource = 1;
    exif.fSensingMethod = 2;
    exif.fFileSource = 3;
    exif.fSceneType = 1;
    exif.fCustomRendered = 0;
    exif.fExposureMode = 0;
    exif.fSceneCaptureType = 0;
    exif.fGainControl = 0;
    exif.fContrast = 0;
    exif.fSaturation = 0;
    exif.fSharpness = 0;
    exif.fSubjectDistanceRange = 0;
    exif.fDigitalZoomRatio = r;
    exif.fExposureIndex = r;
    exif.fFocalPlaneXResolution = r;
    exif.fFocalPlaneYResolution = r;
    exif.fFocalPlaneResolutionUnit = 2;
    exif.fSubjectAreaCount = 4;
    exif.fStandardOutputSensitivity = 400;
    exif.fISOSpeed = 400;
    exif.fISOSpeedLatitudeyyy = 1;
    exif.fISOSpeedLatitudezzz = 2;
    exif.fOwnerName.Set("Owner");
    exif.fTemperature = sr;
    exif.fHumidity = r;
    exif.fPressure = r;
    exif.fWaterDepth = sr;
    exif.fAcceleration = r;
    exif.fCameraElevationAngle = sr;
    exif.fGPSSatellites.Set("5");
    exif.fGPSStatus.Set("A");
    exif.fGPSMeasureMode.Set("3");
    exif.fGPSDOP = r;
    exif.fGPSSpeedRef.Set("K");
    exif.fGPSSpeed = r;
    exif.fGPSTrackRef.Set("T");
    exif.fGPSTrack = r;
    exif.fGPSImgDirectionRef.Set("T");
    exif.fGPSImgDirection = r;
    exif.fGPSDestLatitudeRef.Set("S");
    exif.fGPSDestLongitudeRef.Set("E");
    for (uint32 i = 0; i < 3; i++) exif.fGPSDestLatitude[i] = exif.fGPSDestLongitude[i] = r;
    exif.fGPSDestBearingRef.Set("T");
    exif.fGPSDestBearing = r;
    exif.fGPSDestDistanceRef.Set("K");
    exif.fGPSDestDistance = r;
    exif.fGPSAreaInformation.Set("Area");
    exif.fGPSDifferential = 0;
    exif.fGPSHPositioningError = r;
    const uint8 makerNote[2] = {1, 2};

    dng_tiff_directory main;
    dng_exif_tag_set set(main, exif, true, makerNote, 2, true);
    EXPECT_EQ(main.EntryCount(), 15u);
    EXPECT_EQ(set.ExifIFD().EntryCount(), 65u);
    EXPECT_EQ(set.GPSIFD().EntryCount(), 32u);
}
