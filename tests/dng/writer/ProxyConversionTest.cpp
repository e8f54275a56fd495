// Proxy conversion of whole negatives: the real 16-bit DNG of the test data
// reduced to 1024 pixels, written, validated, opened by two raw developers
// and read back within one code step; float data; crops, masks and code
// offsets; refusals that leave the negative untouched; a second conversion
// that changes nothing.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>

#include "dng/core/dng_file_stream.h"
#include "dng/core/dng_utils.h"
#include "dng/image/dng_linearization_info.h"
#include "dng/image/dng_misc_opcodes.h"
#include "dng/image/dng_parsed_ifd.h"
#include "dng/writer/ImageWriterTestSupport.h"
#include "support/DngErrorCode.h"
#include "support/TestSupport.h"

using namespace writertest;

namespace {

const dng_opcode_MapPolynomial& PlaneOpcode(const dng_negative& negative, uint32 plane) {
    return dynamic_cast<const dng_opcode_MapPolynomial&>(negative.OpcodeList2().Entry(plane));
}

// The linear value (0..65535) a reader gives a code of a plane.
real64 Decode(const dng_negative& negative, uint32 plane, real64 code) {
    const dng_opcode_MapPolynomial& op = PlaneOpcode(negative, plane);
    const real64 offset = negative.GetLinearizationInfo()->fBlackLevel[0][0][plane];
    const real64 y = std::max(code - offset, 0.0) / (255.0 - offset);
    real64 sum = 0.0;
    for (int32 i = int32(op.Degree()); i >= 0; i--) sum = sum * y + op.Coefficient(uint32(i));
    return std::clamp(sum, 0.0, 1.0) * 65535.0;
}

real64 Sample(const std::vector<uint8>& bytes, const dng_image& image, uint32 index) {
    switch (image.PixelType()) {
        case ttByte:
            return bytes[index];
        case ttShort:
            return reinterpret_cast<const uint16*>(bytes.data())[index];
        default:
            return reinterpret_cast<const real32*>(bytes.data())[index];
    }
}

// A negative built up to stage 3 from the given image, as a writer needs it.
std::unique_ptr<dng_negative> Stage3Negative(dng_host& host, std::unique_ptr<dng_image> stage3) {
    auto negative = dng_negative::Make(host);
    negative->SetModelName("Quorvex Proxy Camera");
    negative->SetColorChannels(3);
    negative->AddProfile(TestProfile());
    negative->SetDefaultCropSize(dng_urational(stage3->Width(), 1),
                                 dng_urational(stage3->Height(), 1));
    negative->SetStage3Image(std::move(stage3));
    return negative;
}

struct Snapshot {
    std::vector<uint8> raw, stage3;
    dng_fingerprint id;
    dng_rect crop;
    uint32 opcodes2 = 0;
    bool makerNote = false;
};

Snapshot Take(const dng_negative& n) {
    Snapshot s;
    s.raw = ImageBytes(n.RawImage());
    s.stage3 = ImageBytes(*n.Stage3Image());
    s.id = n.RawDataUniqueID();
    s.crop = n.DefaultCropArea();
    s.opcodes2 = n.OpcodeList2().Count();
    s.makerNote = n.Metadata().MakerNote() != nullptr;
    return s;
}

void ExpectSame(const Snapshot& a, const Snapshot& b) {
    EXPECT_EQ(a.raw, b.raw);
    EXPECT_EQ(a.stage3, b.stage3);
    EXPECT_EQ(a.id, b.id);
    EXPECT_EQ(a.crop, b.crop);
    EXPECT_EQ(a.opcodes2, b.opcodes2);
    EXPECT_EQ(a.makerNote, b.makerNote);
}

std::unique_ptr<dng_memory_block> Block(const char* text) {
    auto block = gDefaultDNGMemoryAllocator.Allocate(uint32(std::strlen(text)));
    std::memcpy(block->Buffer(), text, block->LogicalSize());
    return block;
}

}  // namespace

TEST(ProxyConversion, RealSixteenBitDngBecomesAnEightBitProxyThatReadsBack) {
    const std::string path =
        (testsupport::testdataDir() / "raw" / "dng" / "rpi-imx296_16bit_thumb-ifd0_raw-subifd.dng")
            .string();
    ReadBack source;
    {
        dng_file_stream stream(path.c_str());
        source.negative =
            ReadDNGNegative(source.host, stream, source.info, dng_read_depth::kStage3);
    }
    dng_negative& negative = *source.negative;
    ASSERT_NE(negative.Stage3Image(), nullptr);
    ASSERT_EQ(negative.Stage3Image()->PixelType(), uint32(ttShort));
    negative.FindRawDataUniqueID(source.host);
    const dng_fingerprint oldID = negative.RawDataUniqueID();

    // What the conversion resamples: stage 3 within the default crop.
    std::unique_ptr<dng_image> original = negative.Stage3Image()->Clone();
    original->Trim(negative.DefaultCropArea());
    const uint32 planes = original->Planes();

    dng_image_writer writer;
    negative.ConvertToProxy(source.host, writer, 1024);

    const dng_image& raw = negative.RawImage();
    EXPECT_EQ(raw.PixelType(), uint32(ttByte));
    EXPECT_EQ(std::max(raw.Width(), raw.Height()), 1024u);
    EXPECT_NEAR(real64(raw.Width()) / raw.Height(), real64(original->Width()) / original->Height(),
                0.01);
    EXPECT_EQ(raw.Bounds(), negative.DefaultCropArea());
    EXPECT_EQ(negative.GetMosaicInfo(), nullptr);
    EXPECT_EQ(negative.RawJPEGImage(), nullptr);
    ASSERT_EQ(negative.OpcodeList2().Count(), planes);
    EXPECT_EQ(negative.OpcodeList1().Count() + negative.OpcodeList3().Count(), 0u);
    for (uint32 p = 0; p < 4; p++) {
        EXPECT_EQ(negative.WhiteLevel(p), 255u);
        // No stage-3 black level, so no offsets.
        EXPECT_EQ(negative.GetLinearizationInfo()->fBlackLevel[0][0][p], 0.0);
    }
    for (uint32 p = 0; p < planes; p++) EXPECT_EQ(PlaneOpcode(negative, p).Degree(), 3u);
    EXPECT_TRUE(negative.RawDataUniqueID().IsValid());
    EXPECT_NE(negative.RawDataUniqueID(), oldID);

    // Converting a proxy again changes nothing.
    const Snapshot before = Take(negative);
    negative.ConvertToProxy(source.host, writer, 1024);
    ExpectSame(before, Take(negative));

    testsupport::ScratchDir scratch;
    const std::string out = (scratch.path() / "proxy.dng").string();
    {
        dng_file_stream stream(out.c_str(), true);
        writer.WriteDNGForNegative(source.host, stream, negative, nullptr);
    }
    ReadBack back;
    {
        dng_file_stream stream(out.c_str());
        back.negative = ReadDNGNegative(back.host, stream, back.info, dng_read_depth::kStage3);
    }
    EXPECT_EQ(back.info.MainIFD().fBitsPerSample[0], 8u);
    EXPECT_EQ(back.info.MainIFD().fCompression, uint32(ccJPEG));
    EXPECT_EQ(back.info.fShared->fRawDataUniqueID, negative.RawDataUniqueID());
    const dng_image& readStage3 = *back.negative->Stage3Image();
    ASSERT_EQ(readStage3.Bounds(), raw.Bounds());
    ASSERT_EQ(readStage3.Planes(), planes);

    std::unique_ptr<dng_image> resampled(source.host.MakeImage(raw.Bounds(), planes, ttShort));
    source.host.ResampleImage(*original, *resampled);
    const std::vector<uint8> expectedBytes = ImageBytes(*resampled);
    const std::vector<uint8> readBytes = ImageBytes(readStage3);
    const std::vector<uint8> codes = ImageBytes(raw);
    uint32 worst = 0;
    for (uint32 i = 0; i < codes.size(); i++) {
        const uint32 p = i % planes;
        const real64 code = codes[i];
        const real64 black = Decode(negative, p, 0), white = Decode(negative, p, 255);
        const real64 x = std::clamp(Sample(expectedBytes, *resampled, i), black, white);
        const real64 step =
            std::max(Decode(negative, p, std::min(code + 1, 255.0)) - Decode(negative, p, code),
                     Decode(negative, p, code) - Decode(negative, p, std::max(code - 1, 0.0)));
        if (std::fabs(Sample(readBytes, readStage3, i) - x) > step + 2.0) worst++;
    }
    EXPECT_EQ(worst, 0u) << "samples beyond one code step";

    if (!ToolAvailable("exiftool")) {
        ADD_FAILURE() << "exiftool is needed (scripts/deps.sh)";
    } else {
        const std::string validate =
            RunCommand("exiftool -validate -warning -a '" + out + "' 2>&1");
        EXPECT_NE(validate.find("Validate                        : OK"), std::string::npos)
            << validate;
    }
    DevelopWithPeers(scratch, {out});
}

TEST(ProxyConversion, FloatStageThreeGivesSixteenBitFloatData) {
    dng_image_host host;
    auto stage3 = MakePatternImage(90, 60, 3, ttFloat, 4);
    auto negative = Stage3Negative(host, stage3->Clone());
    dng_image_writer writer;
    negative->ConvertToProxy(host, writer, 512);

    const dng_image& raw = negative->RawImage();
    ASSERT_EQ(raw.PixelType(), uint32(ttFloat));
    EXPECT_EQ(raw.Bounds(), stage3->Bounds());
    EXPECT_EQ(negative->RawFloatBitDepth(), 16u);
    EXPECT_EQ(negative->WhiteLevel(0), 32768u);
    EXPECT_EQ(negative->OpcodeList2().Count(), 0u);
    const std::vector<uint8> in = ImageBytes(*stage3), got = ImageBytes(raw);
    for (uint32 i = 0; i < in.size() / 4; i++) {
        const real32 x = reinterpret_cast<const real32*>(in.data())[i];
        ASSERT_EQ(reinterpret_cast<const real32*>(got.data())[i],
                  platform::RoundTripFloatBitDepth(x * 32768.0f, 16))
            << i;
    }

    const Snapshot before = Take(*negative);
    negative->ConvertToProxy(host, writer, 512);
    ExpectSame(before, Take(*negative));

    auto back = ReadDNG(WriteDNG(host, *negative));
    EXPECT_EQ(back->info.MainIFD().fBitsPerSample[0], 16u);
    EXPECT_EQ(back->info.MainIFD().fSampleFormat[0], uint32(sfFloatingPoint));
    EXPECT_TRUE(SameSamples(raw, *back->negative->Stage1Image()));
}

TEST(ProxyConversion, CropMaskAndBlackLevelOffsets) {
    dng_image_host host;
    auto stage3 = MakePatternImage(120, 80, 3, ttShort, 9, 50000);
    auto negative = Stage3Negative(host, stage3->Clone());
    negative->SetDefaultCropOrigin(dng_urational(10, 1), dng_urational(6, 1));
    negative->SetDefaultCropSize(dng_urational(100, 1), dng_urational(70, 1));
    negative->SetStage3BlackLevel(3000);
    negative->SetTransparencyMask(MakePatternImage(120, 80, 1, ttShort, 3), 16);
    negative->Metadata().SetMakerNoteSafety(true);
    negative->Metadata().SetMakerNote(Block("maker"));
    dng_image_writer writer;

    // Nothing larger than the crop: no resampling, so the raw image is the
    // cropped stage 3 encoded.
    negative->ConvertToProxy(host, writer, 400);
    const dng_rect crop(6, 10, 76, 110);
    std::unique_ptr<dng_image> cropped = stage3->Clone();
    cropped->Trim(crop);
    dng_opcode_list list(2);
    real64 offsets[4];
    auto expected = negative->EncodeRawProxy(host, *cropped, list, offsets);
    EXPECT_TRUE(SameSamples(*expected, negative->RawImage()));
    for (uint32 p = 0; p < 3; p++) {
        EXPECT_GT(offsets[p], 0.0);
        EXPECT_EQ(negative->GetLinearizationInfo()->fBlackLevel[0][0][p], offsets[p]);
        EXPECT_EQ(PlaneOpcode(*negative, p).Coefficient(0), 3000.0 / 65535.0);
    }
    EXPECT_EQ(negative->DefaultCropOriginH(), dng_urational(0, 1));
    EXPECT_EQ(negative->DefaultCropArea(), dng_rect(70, 100));
    ASSERT_NE(negative->TransparencyMask(), nullptr);
    EXPECT_EQ(negative->TransparencyMask()->PixelType(), uint32(ttByte));
    EXPECT_EQ(negative->TransparencyMask()->Bounds(), dng_rect(70, 100));
    EXPECT_NE(negative->RawTransparencyMask(), negative->TransparencyMask());
    EXPECT_EQ(negative->RawTransparencyMaskBitDepth(), 8u);
    // A proxy below full size drops the maker note.
    EXPECT_EQ(negative->Metadata().MakerNote(), nullptr);
    EXPECT_FALSE(negative->Metadata().IsMakerNoteSafe());

    // Written and read back with its mask.
    auto back = ReadDNG(WriteDNG(host, *negative));
    EXPECT_TRUE(SameSamples(negative->RawImage(), *back->negative->Stage1Image()));
    ASSERT_NE(back->negative->TransparencyMask(), nullptr);
    EXPECT_EQ(back->negative->OpcodeList2().Count(), 3u);
}

TEST(ProxyConversion, ShrinksToTheSizeAndCountLimits) {
    dng_image_host host;
    dng_image_writer writer;
    {
        auto negative = Stage3Negative(host, MakePatternImage(300, 100, 3, ttShort, 2));
        negative->Metadata().SetMakerNote(Block("kept"));
        negative->ConvertToProxy(host, writer, 0, 0);  // full size: only re-encoded
        EXPECT_EQ(negative->RawImage().Bounds(), dng_rect(100, 300));
        EXPECT_NE(negative->Metadata().MakerNote(), nullptr);
    }
    {
        auto negative = Stage3Negative(host, MakePatternImage(300, 100, 3, ttShort, 2));
        negative->ConvertToProxy(host, writer, 90);
        EXPECT_EQ(negative->RawImage().Bounds(), dng_rect(30, 90));
        EXPECT_EQ(negative->DefaultCropSizeH(), dng_urational(90, 1));
        EXPECT_EQ(negative->DefaultCropSizeV(), dng_urational(30, 1));
    }
    {
        // 1200 pixels at most: width truncate(sqrt(1200 * 3)) = 60.
        auto negative = Stage3Negative(host, MakePatternImage(300, 100, 3, ttShort, 2));
        negative->ConvertToProxy(host, writer, 200, 1200);
        EXPECT_EQ(negative->RawImage().Bounds(), dng_rect(20, 60));
    }
    {
        // Non-square pixels are resampled to square ones at the scaled size.
        auto negative = Stage3Negative(host, MakePatternImage(100, 100, 3, ttShort, 2));
        negative->SetDefaultScale(dng_urational(2, 1), dng_urational(1, 1));
        negative->ConvertToProxy(host, writer, 1000);
        EXPECT_EQ(negative->RawImage().Bounds(), dng_rect(100, 200));
        EXPECT_EQ(negative->DefaultScaleH(), dng_urational(1, 1));
    }
}

TEST(ProxyConversion, RefusalsLeaveTheNegativeUntouched) {
    dng_image_host host;
    dng_image_writer writer;
    auto negative = Stage3Negative(host, MakePatternImage(40, 30, 3, ttShort, 2));
    negative->OpcodeList2().Append(std::make_unique<dng_opcode_TrimBounds>(dng_rect(20, 30)));
    negative->Metadata().SetMakerNote(Block("kept"));
    negative->SetWhiteLevel(4000);
    const dng_image* stage3 = negative->Stage3Image();

    auto expectUntouched = [&] {
        EXPECT_EQ(negative->Stage3Image(), stage3);
        EXPECT_EQ(negative->OpcodeList2().Count(), 1u);
        EXPECT_NE(negative->Metadata().MakerNote(), nullptr);
        EXPECT_EQ(negative->WhiteLevel(0), 4000u);
    };
    negative->SetDefaultCropSize(dng_urational(0, 1), dng_urational(30, 1));
    EXPECT_EQ(testsupport::CodeOf([&] { negative->ConvertToProxy(host, writer, 16); }),
              dng_error_unknown);
    expectUntouched();
    negative->SetDefaultCropSize(dng_urational(40, 1), dng_urational(0, 1));
    EXPECT_EQ(testsupport::CodeOf([&] { negative->ConvertToProxy(host, writer, 16); }),
              dng_error_unknown);
    expectUntouched();

    auto empty = dng_negative::Make(host);
    empty->SetDefaultCropSize(dng_urational(10, 1), dng_urational(10, 1));
    EXPECT_EQ(testsupport::CodeOf([&] { empty->ConvertToProxy(host, writer, 16); }),
              dng_error_unknown);
}
