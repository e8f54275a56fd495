// Whole DNG files: synthetic negatives of every raw kind written and read
// back through the project's reader (exact samples, the directory choices),
// thread-count independence, and the real DNG files of the test data.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

#include "dng/color/dng_camera_profile.h"
#include "dng/color/dng_shared.h"
#include "dng/core/dng_exception.h"
#include "dng/core/dng_file_stream.h"
#include "dng/core/dng_ifd.h"
#include "dng/core/dng_memory_block.h"
#include "dng/core/dng_utils.h"
#include "dng/image/NegativeDngWriter.h"
#include "dng/image/dng_linearization_info.h"
#include "dng/image/dng_mosaic_info.h"
#include "dng/image/dng_parsed_ifd.h"
#include "dng/image/dng_simple_image.h"
#include "dng/writer/ImageWriterTestSupport.h"
#include "dng/writer/dng_preview.h"
#include "support/DngErrorCode.h"
#include "support/TestSupport.h"

using namespace writertest;

namespace {

// A negative whose stage 1 is the given image, with the values a reader
// needs: model, colour, levels, crop.
std::unique_ptr<dng_negative> MakeNegative(dng_host& host, std::unique_ptr<dng_image> raw,
                                           bool cfa) {
    auto negative = dng_negative::Make(host);
    const uint32 w = raw->Width(), h = raw->Height();
    negative->SetModelName("Quorvex Writer Camera");
    negative->SetColorChannels(3);
    negative->AddProfile(TestProfile());
    negative->SetDefaultCropSize(dng_urational(w, 1), dng_urational(h, 1));
    if (cfa) negative->SetBayerMosaic(1);
    if (raw->PixelType() != ttFloat)
        negative->SetWhiteLevel(raw->PixelType() == ttByte ? 255 : 65535);
    dng_vector neutral(3);
    neutral[0] = 0.5;
    neutral[1] = 1.0;
    neutral[2] = 0.7;
    negative->SetCameraNeutral(neutral);
    negative->SetStage1Image(std::move(raw));
    return negative;
}

const dng_parsed_ifd& RawIFD(const ReadBack& back) { return back.info.MainIFD(); }

void ExpectSameRaw(const dng_negative& written, const ReadBack& back) {
    ASSERT_NE(back.negative->Stage1Image(), nullptr);
    EXPECT_TRUE(SameSamples(written.RawImage(), *back.negative->Stage1Image()));
}

}  // namespace

TEST(DngWriter, LinearRawSixteenBitCompressedReadsBackExactly) {
    dng_image_host host;
    auto negative = MakeNegative(host, MakePatternImage(300, 200, 3, ttShort), false);
    const Bytes bytes = WriteDNG(host, *negative);
    auto back = ReadDNG(bytes);
    const dng_parsed_ifd& ifd = RawIFD(*back);
    EXPECT_EQ(ifd.fPhotometricInterpretation, piLinearRaw);
    EXPECT_EQ(ifd.fCompression, ccJPEG);
    EXPECT_TRUE(ifd.fUsesTiles);
    EXPECT_LE(ifd.fTileWidth * ifd.fTileLength * 6, 131072u * 2);
    EXPECT_EQ(back->info.fShared->fDNGVersion, 0x01040000u);
    EXPECT_EQ(back->info.fShared->fDNGBackwardVersion, 0x01010000u);
    // One directory: no thumbnail, no mask, so no SubIFDs.
    EXPECT_EQ(back->info.IFDCount(), 1u);
    ExpectSameRaw(*negative, *back);
    EXPECT_STREQ(back->negative->ModelName().Get(), "Quorvex Writer Camera");
    EXPECT_EQ(back->info.fShared->fNewRawImageDigest, negative->NewRawImageDigest());
    EXPECT_TRUE(back->info.fShared->fRawImageDigest.IsNull());
    EXPECT_EQ(back->info.fShared->fRawDataUniqueID, negative->RawDataUniqueID());

    // Column and row black deltas come back on their own axes.
    std::vector<real64> columns(300), rows(200);
    for (size_t i = 0; i < columns.size(); i++) columns[i] = real64(i % 7);
    for (size_t i = 0; i < rows.size(); i++) rows[i] = 10 + real64(i % 5);
    negative->SetColumnBlacks(columns.data(), uint32(columns.size()));
    negative->SetRowBlacks(rows.data(), uint32(rows.size()));
    const auto withDeltas = ReadDNG(WriteDNG(host, *negative));
    const dng_linearization_info* deltas = withDeltas->negative->GetLinearizationInfo();
    ASSERT_NE(deltas, nullptr);
    ASSERT_EQ(deltas->ColumnBlackCount(), 300u);
    ASSERT_EQ(deltas->RowBlackCount(), 200u);
    EXPECT_TRUE(std::equal(columns.begin(), columns.end(), deltas->ColumnBlacks()));
    EXPECT_TRUE(std::equal(rows.begin(), rows.end(), deltas->RowBlacks()));

    // Uncompressed and big-endian give the same samples.
    ExpectSameRaw(*negative, *ReadDNG(WriteDNG(host, *negative, true)));
    ExpectSameRaw(*negative, *ReadDNG(WriteDNG(host, *negative, false, true)));
    ExpectSameRaw(*negative, *ReadDNG(WriteDNG(host, *negative, true, true)));
}

TEST(DngWriter, OldBackwardVersionWritesTheClassicDigest) {
    dng_image_host host;
    auto negative = MakeNegative(host, MakePatternImage(64, 32, 3, ttShort), false);
    auto back = ReadDNG(WriteDNG(host, *negative, false, false, nullptr, 0x01030000));
    EXPECT_TRUE(back->info.fShared->fNewRawImageDigest.IsNull());
    EXPECT_EQ(back->info.fShared->fRawImageDigest, negative->RawImageDigest());
    EXPECT_TRUE(negative->RawImageDigest().IsValid());
}

TEST(DngWriter, TwoColumnCFAIsEncodedWithTwoFakeChannels) {
    dng_image_host host;
    auto negative = MakeNegative(host, MakePatternImage(512, 300, 1, ttShort, 7, 4095), true);
    negative->SetWhiteLevel(4095);
    const Bytes bytes = WriteDNG(host, *negative);
    auto back = ReadDNG(bytes);
    const dng_parsed_ifd& ifd = RawIFD(*back);
    EXPECT_EQ(ifd.fPhotometricInterpretation, piCFA);
    EXPECT_EQ(ifd.fCompression, ccJPEG);
    ExpectSameRaw(*negative, *back);
    // The first tile's lossless JPEG frame header (SOF3) says 2 components
    // of half the tile's width.
    const uint32 offset = uint32(ifd.fTileOffset[0]);
    uint32 at = offset + 2;
    while (!(bytes[at] == 0xFF && bytes[at + 1] == 0xC3)) at++;
    const uint32 columns = uint32(bytes[at + 7]) << 8 | bytes[at + 8];
    EXPECT_EQ(columns, ifd.fTileWidth / 2);
    EXPECT_EQ(bytes[at + 9], 2);
    EXPECT_EQ(back->negative->GetMosaicInfo()->fCFAPatternSize, dng_point(2, 2));
}

TEST(DngWriter, SixteenBitWithSmallLinearizationTableIsStoredAsEightBits) {
    dng_image_host host;
    auto negative = MakeNegative(host, MakePatternImage(96, 64, 1, ttShort, 9, 255), true);
    auto table = host.Allocate(256 * 2);
    for (uint32 i = 0; i < 256; i++) table->Buffer_uint16()[i] = uint16(i * 257);
    negative->SetLinearization(std::move(table));
    for (bool uncompressed : {false, true}) {
        negative->ClearRawImageDigest();
        negative->SetRawDataUniqueID(dng_fingerprint());
        auto back = ReadDNG(WriteDNG(host, *negative, uncompressed));
        EXPECT_EQ(RawIFD(*back).fBitsPerSample[0], 8u);
        ASSERT_NE(back->negative->Stage1Image(), nullptr);
        // The reader widens the 8-bit samples back to the same values.
        EXPECT_EQ(ImageBytes(*back->negative->Stage1Image(), ttShort),
                  ImageBytes(negative->RawImage(), ttShort));
    }
}

TEST(DngWriter, FloatRawAtSixteenTwentyFourAndThirtyTwoBits) {
    for (uint32 depth : {16u, 24u, 32u}) {
        SCOPED_TRACE(depth);
        dng_image_host host;
        auto image = MakePatternImage(200, 90, 3, ttFloat, depth);
        // The reference: each sample rounded as the narrow format stores it.
        auto expected = image->Clone();
        dng_pixel_buffer buffer = static_cast<dng_simple_image&>(*expected).Buffer();
        for (int32 r = 0; r < 90; r++)
            for (int32 c = 0; c < 200; c++)
                for (uint32 p = 0; p < 3; p++) {
                    float& f = *buffer.DirtyPixel_real32(r, c, p);
                    f = platform::RoundTripFloatBitDepth(f, depth);
                }
        auto negative = MakeNegative(host, std::move(image), false);
        negative->SetRawFloatBitDepth(depth);
        auto back = ReadDNG(WriteDNG(host, *negative));
        const dng_parsed_ifd& ifd = RawIFD(*back);
        EXPECT_EQ(ifd.fCompression, ccDeflate);
        EXPECT_EQ(ifd.fPredictor, cpFloatingPoint);
        EXPECT_EQ(ifd.fBitsPerSample[0], depth);
        EXPECT_EQ(ifd.fSampleFormat[0], sfFloatingPoint);
        EXPECT_EQ(back->info.fShared->fDNGBackwardVersion, 0x01040000u);
        ASSERT_NE(back->negative->Stage1Image(), nullptr);
        EXPECT_EQ(ImageBytes(*back->negative->Stage1Image()), ImageBytes(*expected));
    }
}

TEST(DngWriter, OneAndFourThreadsWriteIdenticalFiles) {
    Bytes reference;
    for (uint32 threads : {1u, 4u}) {
        dng_image_host host;
        host.SetAreaTaskThreadCount(threads);
        auto negative = MakeNegative(host, MakePatternImage(700, 500, 3, ttShort, 4), false);
        dng_image_writer::SetFixedDateTimeForTesting(nullptr);
        dng_date_time_info fixed;
        dng_date_time dt;
        dt.fYear = 2026;
        dt.fMonth = 12;
        dt.fDay = 7;
        fixed.SetDateTime(dt);
        dng_image_writer::SetFixedDateTimeForTesting(&fixed);
        const Bytes bytes = WriteDNG(host, *negative);
        dng_image_writer::SetFixedDateTimeForTesting(nullptr);
        if (reference.empty()) {
            reference = bytes;
        } else {
            EXPECT_TRUE(bytes == reference);
        }
    }
}

TEST(DngWriter, ThumbnailBecomesIfdZeroAndRawMovesToASubIfd) {
    dng_image_host host;
    auto negative = MakeNegative(host, MakePatternImage(128, 96, 3, ttShort), false);
    dng_preview_list previews;
    for (uint32 size : {32u, 16u, 16u}) {
        auto preview = std::make_unique<dng_image_preview>();
        preview->fImage = MakePatternImage(size, size, 3, ttByte, size);
        preview->fInfo.fApplicationName.Set(size == 16 ? "first" : "big");
        std::unique_ptr<dng_preview> p = std::move(preview);
        previews.Append(p);
    }
    const Bytes bytes = WriteDNG(host, *negative, false, false, &previews);
    auto back = ReadDNG(bytes);
    ASSERT_EQ(back->info.IFDCount(), 4u);
    const dng_parsed_ifd& first = back->info.IFD(0);
    EXPECT_EQ(first.fNewSubFileType, 1u);
    EXPECT_EQ(first.fImageWidth, 16u);
    EXPECT_EQ(back->info.MainIFD().fNewSubFileType, 0u);
    ExpectSameRaw(*negative, *back);
    // The thumbnail is the first of the two smallest previews and its
    // pixels are stored uncompressed in one strip.
    const uint8* strip = bytes.data() + first.fTileOffset[0];
    const auto* thumbnail = static_cast<const dng_image_preview*>(&previews.Preview(1));
    EXPECT_EQ(std::vector<uint8>(strip, strip + 16 * 16 * 3), ImageBytes(*thumbnail->fImage));
}

// ---- the real DNG files of the test data -------------------------------------

namespace {

std::vector<std::string> RealDngs() {
    std::vector<std::string> files;
    for (const auto& entry :
         std::filesystem::directory_iterator(testsupport::testdataDir() / "raw" / "dng")) {
        if (entry.path().extension() == ".dng") files.push_back(entry.path().string());
    }
    std::sort(files.begin(), files.end());
    return files;
}

std::unique_ptr<ReadBack> ReadFile(const std::string& path) {
    auto result = std::make_unique<ReadBack>();
    dng_file_stream stream(path.c_str());
    result->negative = ReadDNGNegative(result->host, stream, result->info, dng_read_depth::kStage1);
    return result;
}

void ExpectSameMetadata(const dng_negative& a, const dng_negative& b) {
    EXPECT_STREQ(a.ModelName().Get(), b.ModelName().Get());
    EXPECT_EQ(a.ColorChannels(), b.ColorChannels());
    for (uint32 p = 0; p < a.RawImage().Planes(); p++) EXPECT_EQ(a.WhiteLevel(p), b.WhiteLevel(p));
    const dng_linearization_info* la = a.GetLinearizationInfo();
    const dng_linearization_info* lb = b.GetLinearizationInfo();
    ASSERT_EQ(la == nullptr, lb == nullptr);
    if (la) {
        EXPECT_EQ(la->fActiveArea, lb->fActiveArea);
        EXPECT_EQ(la->fBlackLevelRepeatRows, lb->fBlackLevelRepeatRows);
        EXPECT_EQ(la->fBlackLevelRepeatCols, lb->fBlackLevelRepeatCols);
        for (uint32 i = 0; i < 4; i++)
            EXPECT_EQ(la->fBlackLevel[0][0][i], lb->fBlackLevel[0][0][i]);
    }
    const dng_mosaic_info* ma = a.GetMosaicInfo();
    const dng_mosaic_info* mb = b.GetMosaicInfo();
    ASSERT_EQ(ma == nullptr, mb == nullptr);
    if (ma) {
        EXPECT_EQ(ma->fCFAPatternSize, mb->fCFAPatternSize);
        for (int32 r = 0; r < ma->fCFAPatternSize.v; r++)
            for (int32 c = 0; c < ma->fCFAPatternSize.h; c++)
                EXPECT_EQ(ma->fCFAPattern[r][c], mb->fCFAPattern[r][c]);
    }
    EXPECT_EQ(a.DefaultCropArea(), b.DefaultCropArea());
    EXPECT_EQ(a.ComputeOrientation(a.Metadata()).GetTIFF(),
              b.ComputeOrientation(b.Metadata()).GetTIFF());
    ASSERT_EQ(a.ProfileCount(), b.ProfileCount());
    for (uint32 i = 0; i < a.ProfileCount(); i++) {
        EXPECT_TRUE(a.ProfileByIndex(i).ColorMatrix1() == b.ProfileByIndex(i).ColorMatrix1());
    }
    EXPECT_TRUE(a.CameraNeutral() == b.CameraNeutral());
    const dng_exif* ea = a.Metadata().GetExif();
    const dng_exif* eb = b.Metadata().GetExif();
    EXPECT_STREQ(ea->fMake.Get(), eb->fMake.Get());
    EXPECT_STREQ(ea->fModel.Get(), eb->fModel.Get());
    EXPECT_EQ(ea->fISOSpeedRatings[0], eb->fISOSpeedRatings[0]);
    // Writing re-encodes the exposure time as a simpler fraction.
    EXPECT_NEAR(ea->fExposureTime.AsReal64(), eb->fExposureTime.AsReal64(),
                1e-3 * ea->fExposureTime.AsReal64());
}

}  // namespace

TEST(DngWriter, RealFilesRoundTripThroughTheReaderAndTheCheckers) {
    testsupport::ScratchDir scratch;
    uint32 decoded = 0;
    std::vector<std::string> forPeers;
    for (const std::string& path : RealDngs()) {
        std::unique_ptr<ReadBack> source;
        try {
            source = ReadFile(path);
        } catch (const dng_exception&) {
            continue;  // raw data this reader cannot decode
        }
        if (!source->negative->Stage1Image()) continue;
        decoded++;
        for (bool uncompressed : {true, false}) {
            SCOPED_TRACE(path + (uncompressed ? " uncompressed" : " lossless JPEG"));
            const std::string out =
                (scratch.path() / (std::to_string(decoded) + (uncompressed ? "u" : "c") + ".dng"))
                    .string();
            {
                dng_file_stream stream(out.c_str(), true);
                dng_image_writer writer;
                writer.WriteDNGForNegative(source->host, stream, *source->negative, nullptr,
                                           dngVersion_1_4_0_0, uncompressed);
            }
            auto back = ReadFile(out);
            ExpectSameRaw(*source->negative, *back);
            ExpectSameMetadata(*source->negative, *back->negative);
            if (!ToolAvailable("exiftool") || !ToolAvailable("tiffdump")) {
                ADD_FAILURE() << "exiftool and tiffdump are needed (scripts/deps.sh)";
                continue;
            }
            const std::string dump = RunCommand("tiffdump '" + out + "' 2>&1");
            EXPECT_EQ(dump.find("rror"), std::string::npos) << dump.substr(0, 2000);
            const std::string validate =
                RunCommand("exiftool -validate -warning -a '" + out + "' 2>&1");
            EXPECT_NE(validate.find("Validate                        : OK"), std::string::npos)
                << validate;
            // The developers read both forms alike; the compressed one is enough.
            if (!uncompressed) forPeers.push_back(out);
        }
    }
    EXPECT_GE(decoded, 3u);
    DevelopWithPeers(scratch, forPeers);
}

TEST(DngWriter, WrittenDigestsValidateAndCatchAChangedSample) {
    for (uint32 maxBackward : {0x01030000u, 0x01040000u}) {
        SCOPED_TRACE(maxBackward);
        dng_image_host host;
        auto negative = MakeNegative(host, MakePatternImage(90, 70, 1, ttShort, 2), true);
        Bytes bytes = WriteDNG(host, *negative, true, false, nullptr, maxBackward);
        {
            auto back = ReadDNG(bytes);
            back->negative->ValidateRawImageDigest(back->host);
            EXPECT_FALSE(back->negative->IsDamaged());
        }
        const uint32 strip = uint32(ReadDNG(bytes)->info.MainIFD().fTileOffset[0]);
        bytes[strip + 2 * (90 * 35 + 40)] ^= 0x10;
        auto back = ReadDNG(bytes);
        back->negative->ValidateRawImageDigest(back->host);
        EXPECT_TRUE(back->negative->IsDamaged());
    }
}

TEST(DngWriter, MaskAndDepthMapGetTheirOwnSubDirectories) {
    for (bool uncompressed : {false, true}) {
        SCOPED_TRACE(uncompressed);
        dng_image_host host;
        auto negative = MakeNegative(host, MakePatternImage(120, 80, 3, ttShort, 5), false);
        negative->SetTransparencyMask(MakePatternImage(120, 80, 1, ttByte, 6), 8);
        negative->SetAuxiliaryImage(MakePatternImage(60, 40, 1, ttShort, 7));
        negative->SetAuxiliaryParameters(1, dng_urational(1, 2), dng_urational(30, 1), 1, 2);
        auto back = ReadDNG(WriteDNG(host, *negative, uncompressed));
        EXPECT_EQ(back->info.fShared->fDNGVersion, 0x01050000u);
        EXPECT_EQ(back->info.fShared->fDNGBackwardVersion, 0x01040000u);
        ASSERT_EQ(back->info.IFDCount(), 3u);
        EXPECT_EQ(back->info.IFD(1).fNewSubFileType, 4u);
        EXPECT_EQ(back->info.IFD(2).fNewSubFileType, 8u);
        EXPECT_EQ(back->info.IFD(2).fCompression, uncompressed ? ccUncompressed : ccDeflate);
        ExpectSameRaw(*negative, *back);
        ASSERT_NE(back->negative->TransparencyMask(), nullptr);
        EXPECT_TRUE(
            SameSamples(*negative->TransparencyMask(), *back->negative->TransparencyMask()));
        ASSERT_NE(back->negative->AuxiliaryImage(), nullptr);
        EXPECT_TRUE(SameSamples(*negative->AuxiliaryImage(), *back->negative->AuxiliaryImage()));
        EXPECT_EQ(back->negative->AuxiliaryFar(), dng_urational(30, 1));
        EXPECT_EQ(back->negative->AuxiliaryMeasureType(), 2u);
        // The new digest folds in the mask.
        EXPECT_EQ(back->info.fShared->fNewRawImageDigest, negative->NewRawImageDigest());
        back->negative->ValidateRawImageDigest(back->host);
        EXPECT_FALSE(back->negative->IsDamaged());
    }
}

TEST(DngWriter, EnhancedImageKeepsItsParametersAndPixels) {
    testsupport::ScratchDir scratch;
    const std::string source = (scratch.path() / "enhanced.dng").string();
    negtest::DngSpec spec;
    spec.extraKind = 16;
    spec.enhanceParams = "Quorvex enhance 1";
    std::vector<uint16_t> samples(size_t(spec.width) * spec.height);
    for (size_t i = 0; i < samples.size(); i++) samples[i] = uint16_t((i * 37) % 16384);
    ASSERT_TRUE(negtest::WriteDng(source, spec, samples));

    auto read = [](const std::string& path, ReadBack& into) {
        into.host.SetSaveDNGVersion(0x01050000);
        dng_file_stream stream(path.c_str());
        into.negative = ReadDNGNegative(into.host, stream, into.info, dng_read_depth::kMetadata);
        into.negative->ReadEnhancedImage(into.host, stream, into.info);
    };
    ReadBack original;
    read(source, original);
    ASSERT_NE(original.negative->Stage3Image(), nullptr);
    ASSERT_NE(&original.negative->RawImage(), original.negative->Stage3Image());

    const std::string out = (scratch.path() / "out.dng").string();
    {
        dng_file_stream stream(out.c_str(), true);
        dng_image_writer writer;
        writer.WriteDNGForNegative(original.host, stream, *original.negative, nullptr);
    }
    ReadBack back;
    read(out, back);
    EXPECT_EQ(back.info.fShared->fDNGVersion, 0x01050000u);
    ASSERT_EQ(back.info.fEnhancedIndex, 1);
    EXPECT_EQ(back.info.IFD(1).fNewSubFileType, 16u);
    EXPECT_EQ(back.info.IFD(1).fCompression, ccJPEG);
    EXPECT_STREQ(back.negative->UniqueIDQualifier().Get(), "Quorvex enhance 1");
    EXPECT_TRUE(SameSamples(*original.negative->Stage3Image(), *back.negative->Stage3Image()));
    EXPECT_TRUE(SameSamples(original.negative->RawImage(), back.negative->RawImage()));
}

TEST(DngWriter, ExtraCameraProfilesAreWrittenAsProfileBlocks) {
    dng_image_host host;
    auto negative = MakeNegative(host, MakePatternImage(64, 48, 3, ttShort), false);
    negative->DeleteAllProfiles();
    for (const char* name : {"First", "Second", "Third"}) {
        auto profile = TestProfile();
        profile->SetName(name);
        profile->SetWasReadFromDNG();
        negative->AddProfile(std::move(profile));
    }
    const Bytes bytes = WriteDNG(host, *negative);
    auto back = ReadDNG(bytes);
    ASSERT_EQ(back->negative->ProfileCount(), 3u);
    EXPECT_STREQ(back->negative->ProfileByIndex(0).Name().Get(), "First");
    EXPECT_STREQ(back->negative->ProfileByIndex(2).Name().Get(), "Third");
    EXPECT_TRUE(back->negative->ProfileByIndex(1).ColorMatrix1() ==
                negative->ProfileByIndex(1).ColorMatrix1());
}

TEST(DngWriter, SyntheticFilesWithEveryDirectoryValidate) {
    ASSERT_TRUE(ToolAvailable("exiftool"));
    testsupport::ScratchDir scratch;
    dng_image_host host;
    auto negative = MakeNegative(host, MakePatternImage(300, 200, 3, ttShort, 5), false);
    negative->SetTransparencyMask(MakePatternImage(300, 200, 1, ttByte, 6), 8);
    negative->Metadata().GetExif()->fMake.Set("Quorvex");
    negative->Metadata().GetExif()->fModel.Set("Writer");
    dng_preview_list previews;
    for (uint32 size : {64u, 32u}) {
        auto preview = std::make_unique<dng_image_preview>();
        preview->fImage = MakePatternImage(size, size * 2 / 3, 3, ttByte, size);
        preview->fInfo.fApplicationName.Set("Quorvex");
        preview->fInfo.fColorSpace = 1;
        std::unique_ptr<dng_preview> p = std::move(preview);
        previews.Append(p);
    }
    for (bool bigEndian : {false, true}) {
        const std::string path = (scratch.path() / (bigEndian ? "mm.dng" : "ii.dng")).string();
        const Bytes bytes = WriteDNG(host, *negative, false, bigEndian, &previews);
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
        const std::string validate =
            RunCommand("exiftool -validate -warning -a '" + path + "' 2>&1");
        EXPECT_NE(validate.find("Validate                        : OK"), std::string::npos)
            << validate;
        EXPECT_EQ(ExifToolValue(path, "Model"), "Writer");
    }
}

TEST(DngWriter, ThirtyTwoBitIntegerRawIsDeflatedWithAWidePredictor) {
    dng_image_host host;
    auto negative = MakeNegative(host, MakePatternImage(130, 66, 1, ttLong, 12), true);
    negative->SetWhiteLevel(0xFFFFFFFF);
    auto back = ReadDNG(WriteDNG(host, *negative));
    const dng_parsed_ifd& ifd = RawIFD(*back);
    EXPECT_EQ(ifd.fCompression, ccDeflate);
    EXPECT_EQ(ifd.fPredictor, cpHorizontalDifferenceX2);
    EXPECT_EQ(ifd.fBitsPerSample[0], 32u);
    EXPECT_EQ(back->info.fShared->fDNGBackwardVersion, 0x01040000u);
    ExpectSameRaw(*negative, *back);
    // Uncompressed it needs no newer reader.
    auto plain = ReadDNG(WriteDNG(host, *negative, true));
    EXPECT_EQ(RawIFD(*plain).fCompression, ccUncompressed);
    EXPECT_EQ(plain->info.fShared->fDNGBackwardVersion, 0x01010000u);
    ExpectSameRaw(*negative, *plain);
}

TEST(DngWriter, FloatRawPreviewIsDeflatedAsHalfFloats) {
    dng_image_host host;
    auto negative = MakeNegative(host, MakePatternImage(64, 48, 3, ttShort, 13), false);
    dng_preview_list previews;
    auto preview = std::make_unique<dng_raw_preview>();
    preview->fImage = MakePatternImage(32, 24, 3, ttFloat, 14);
    std::unique_ptr<dng_preview> p = std::move(preview);
    previews.Append(p);
    auto back = ReadDNG(WriteDNG(host, *negative, false, false, &previews));
    ASSERT_EQ(back->info.IFDCount(), 2u);
    const dng_parsed_ifd& raw = back->info.IFD(1);
    EXPECT_EQ(raw.fNewSubFileType, 1u);
    EXPECT_EQ(raw.fCompression, ccDeflate);
    EXPECT_EQ(raw.fPredictor, cpFloatingPoint);
    EXPECT_EQ(raw.fBitsPerSample[0], 16u);
    ExpectSameRaw(*negative, *back);
}
