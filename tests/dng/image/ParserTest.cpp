// The DNG file parser: files written by libtiff read back exactly (a CFA and
// a linear-raw DNG), and hand-made directory structures that a hostile file
// could contain (cycles, oversized directories, values past the end, newer
// versions) fail with a dng_exception.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <vector>

#include "dng/core/dng_exception.h"
#include "dng/core/dng_file_stream.h"
#include "dng/core/dng_stream.h"
#include "dng/core/dng_tag_codes.h"
#include "dng/core/dng_tag_types.h"
#include "dng/core/dng_tag_values.h"
#include "dng/image/ImageTestSupport.h"
#include "dng/image/NegativeDngWriter.h"
#include "dng/image/dng_image.h"
#include "dng/image/dng_image_host.h"
#include "dng/image/dng_info.h"
#include "dng/image/dng_linearization_info.h"
#include "dng/image/dng_negative.h"
#include "dng/image/dng_negative_reader.h"
#include "dng/image/dng_pixel_buffer.h"
#include "support/TestSupport.h"

namespace {

constexpr auto* ErrorOf = &imagetest::errorCode;

std::vector<uint16_t> ReadPlanes(const dng_image& image) {
    std::vector<uint16_t> v(size_t(image.Width()) * image.Height() * image.Planes());
    dng_pixel_buffer b(image.Bounds(), 0, image.Planes(), ttShort, pcInterleaved, v.data());
    image.Get(b);
    return v;
}

std::unique_ptr<dng_negative> ReadFile(const std::string& path, dng_read_depth depth,
                                       dng_image_host& host, dng_info& info) {
    dng_file_stream stream(path.c_str());
    return ReadDNGNegative(host, stream, info, depth);
}

TEST(ParserLibtiff, CfaFileReadsBackExactly) {
    testsupport::ScratchDir dir;
    for (const bool bigEndian : {false, true}) {
        for (const uint32_t tile : {0u, 32u}) {
            SCOPED_TRACE(testing::Message() << "big " << bigEndian << " tile " << tile);
            negtest::DngSpec spec;
            spec.width = 70;
            spec.height = 45;
            spec.bigEndian = bigEndian;
            spec.tile = tile;
            spec.black = {256};
            spec.white = {16383};
            spec.cropOrigin = {2, 4};
            spec.cropSize = {64, 36};
            spec.orientation = 6;
            std::vector<uint16_t> samples(size_t(spec.width) * spec.height);
            for (size_t i = 0; i < samples.size(); i++) samples[i] = uint16_t((i * 37) % 16384);
            const std::string path = (dir.path() / "cfa.dng").string();
            ASSERT_TRUE(negtest::WriteDng(path, spec, samples));

            dng_image_host host;
            dng_info info;
            auto negative = ReadFile(path, dng_read_depth::kStage1, host, info);
            EXPECT_EQ(info.fBigEndian, bigEndian);
            EXPECT_EQ(ReadPlanes(*negative->Stage1Image()), samples);
            EXPECT_STREQ(negative->ModelName().Get(), "Quorvex Test Camera");
            EXPECT_STREQ(negative->Metadata().GetExif()->fMake.Get(), "Quorvex");
            EXPECT_EQ(negative->WhiteLevel(0), 16383u);
            EXPECT_DOUBLE_EQ(negative->GetLinearizationInfo()->fBlackLevel[0][0][0], 256.0);
            EXPECT_EQ(negative->DefaultCropArea(), dng_rect(4, 2, 40, 66));
            EXPECT_EQ(negative->Metadata().BaseOrientation().GetTIFF(), 6u);
            EXPECT_NEAR(negative->BaselineExposure(), 0.25, 1e-9);
            EXPECT_NEAR(negative->CameraNeutral()[0], 0.5, 1e-6);
            EXPECT_NEAR(negative->CameraNeutral()[2], 0.6, 1e-6);
            ASSERT_EQ(negative->ProfileCount(), 1u);
            EXPECT_NEAR(info.fShared->fCameraProfile.fColorMatrix1[1][1], 1.2, 1e-6);

            negative->BuildStage2Image(host);
            negative->BuildStage3Image(host);
            const dng_image& s3 = *negative->Stage3Image();
            EXPECT_EQ(s3.Bounds(), dng_rect(45, 70));
            EXPECT_EQ(s3.Planes(), 3u);
        }
    }
}

TEST(ParserLibtiff, LinearRawFileReadsBackAndLinearizes) {
    testsupport::ScratchDir dir;
    negtest::DngSpec spec;
    spec.width = 20;
    spec.height = 18;
    spec.samples = 3;
    spec.black = {100, 200, 300};
    spec.white = {4100, 4200, 4300};
    std::vector<uint16_t> samples(size_t(spec.width) * spec.height * 3);
    for (size_t i = 0; i < samples.size(); i++) samples[i] = uint16_t(100 + (i * 53) % 4200);
    const std::string path = (dir.path() / "linear.dng").string();
    ASSERT_TRUE(negtest::WriteDng(path, spec, samples));

    dng_image_host host;
    dng_info info;
    auto negative = ReadFile(path, dng_read_depth::kStage1, host, info);
    EXPECT_EQ(info.MainIFD().fPhotometricInterpretation, uint32_t(piLinearRaw));
    EXPECT_EQ(negative->GetMosaicInfo(), nullptr);
    EXPECT_EQ(ReadPlanes(*negative->Stage1Image()), samples);
    EXPECT_EQ(negative->WhiteLevel(2), 4300u);

    negative->BuildStage2Image(host);
    const dng_image* stage2 = negative->Stage2Image();
    negative->BuildStage3Image(host);
    // Without a mosaic, stage 3 is the stage-2 image itself.
    EXPECT_EQ(negative->Stage3Image(), stage2);
    EXPECT_EQ(negative->Stage2Image(), nullptr);
    const std::vector<uint16_t> out = ReadPlanes(*negative->Stage3Image());
    const double black[3] = {100, 200, 300};
    for (size_t i = 0; i < out.size(); i += 97) {
        const uint32_t p = uint32_t(i % 3);
        const double expected = std::clamp((samples[i] - black[p]) / 4000.0, 0.0, 1.0) * 65535.0;
        EXPECT_NEAR(out[i], expected, 1.0) << i;
    }
}

TEST(ParserLibtiff, OpcodeListTwoRunsOnStageTwo) {
    testsupport::ScratchDir dir;
    negtest::DngSpec spec;
    spec.width = 8;
    spec.height = 8;
    spec.samples = 3;
    spec.black = {0, 0, 0};
    spec.white = {65535, 65535, 65535};
    spec.opcodeList2 = negtest::HalvePlaneOneOpcodeList(8, 8);
    std::vector<uint16_t> samples(8 * 8 * 3, 40000);
    const std::string path = (dir.path() / "opcodes.dng").string();
    ASSERT_TRUE(negtest::WriteDng(path, spec, samples));

    dng_image_host host;
    dng_info info;
    auto negative = ReadFile(path, dng_read_depth::kStage3, host, info);
    const std::vector<uint16_t> out = ReadPlanes(*negative->Stage3Image());
    EXPECT_EQ(out[0], 40000);
    EXPECT_EQ(out[1], 20000);
    EXPECT_EQ(out[2], 40000);
}

TEST(ParserLibtiff, MaskAndEnhancedDirectoriesAreRead) {
    testsupport::ScratchDir dir;
    negtest::DngSpec spec;
    spec.width = 24;
    spec.height = 16;
    std::vector<uint16_t> samples(size_t(spec.width) * spec.height, 1000);
    const std::string path = (dir.path() / "extra.dng").string();

    spec.extraKind = 4;
    ASSERT_TRUE(negtest::WriteDng(path, spec, samples));
    {
        dng_image_host host;
        dng_info info;
        auto negative = ReadFile(path, dng_read_depth::kStage3, host, info);
        EXPECT_EQ(info.fMaskIndex, 1);
        ASSERT_NE(negative->TransparencyMask(), nullptr);
        EXPECT_EQ(negative->TransparencyMask()->Bounds(), negative->Stage3Image()->Bounds());
        EXPECT_EQ(negative->RawTransparencyMaskBitDepth(), 8u);
    }

    spec.extraKind = 16;
    ASSERT_TRUE(negtest::WriteDng(path, spec, samples));
    dng_image_host host;
    dng_info info;
    auto negative = ReadFile(path, dng_read_depth::kMetadata, host, info);
    EXPECT_EQ(info.fEnhancedIndex, 1);
    dng_file_stream stream(path.c_str());
    negative->ReadEnhancedImage(host, stream, info);
    ASSERT_NE(negative->Stage3Image(), nullptr);
    EXPECT_EQ(negative->Stage3Image()->Planes(), 3u);
    EXPECT_EQ(ReadPlanes(*negative->Stage3Image())[7], 12345);
    // Without a raw copy the linearization and mosaic data are dropped.
    EXPECT_EQ(negative->GetLinearizationInfo(), nullptr);
    EXPECT_EQ(negative->GetMosaicInfo(), nullptr);
}

// A little-endian TIFF assembled entry by entry.
class TiffBuilder {
public:
    struct Entry {
        uint16_t tag, type;
        uint32_t count;
        std::vector<uint8_t> value;
    };
    using Ifd = std::vector<Entry>;

    static Entry Short(uint16_t tag, std::vector<uint16_t> v) {
        Entry e{tag, ttShort, uint32_t(v.size()), {}};
        for (uint16_t x : v) e.value.insert(e.value.end(), {uint8_t(x), uint8_t(x >> 8)});
        return e;
    }
    static Entry Long(uint16_t tag, std::vector<uint32_t> v) {
        Entry e{tag, ttLong, uint32_t(v.size()), {}};
        for (uint32_t x : v)
            e.value.insert(e.value.end(),
                           {uint8_t(x), uint8_t(x >> 8), uint8_t(x >> 16), uint8_t(x >> 24)});
        return e;
    }
    static Entry Bytes(uint16_t tag, std::vector<uint8_t> v) {
        return Entry{tag, ttByte, uint32_t(v.size()), v};
    }
    static Entry Ascii(uint16_t tag, const char* s) {
        Entry e{tag, ttAscii, uint32_t(std::strlen(s) + 1), {}};
        e.value.assign(s, s + std::strlen(s) + 1);
        return e;
    }

    // A minimal valid main raw directory of 4 x 4 8-bit CFA samples.
    static Ifd RawIfd(uint32_t dataOffset) {
        return {Long(tcNewSubFileType, {0}),
                Long(tcImageWidth, {4}),
                Long(tcImageLength, {4}),
                Short(tcBitsPerSample, {8}),
                Short(tcCompression, {1}),
                Short(tcPhotometricInterpretation, {32803}),
                Long(tcStripOffsets, {dataOffset}),
                Short(tcSamplesPerPixel, {1}),
                Long(tcRowsPerStrip, {4}),
                Long(tcStripByteCounts, {16}),
                Short(tcCFARepeatPatternDim, {2, 2}),
                Bytes(tcCFAPattern, {0, 1, 1, 2}),
                Bytes(tcDNGVersion, {1, 4, 0, 0})};
    }

    // Writes directories at fixed offsets: ifd i at offsets[i], with its
    // out-of-line values right after it; next-IFD links as given.
    static std::vector<uint8_t> Build(const std::vector<Ifd>& ifds,
                                      const std::vector<uint32_t>& offsets,
                                      const std::vector<uint32_t>& next, size_t size) {
        std::vector<uint8_t> out(size, 0);
        out[0] = out[1] = 'I';
        out[2] = 42;
        put32(out, 4, offsets[0]);
        for (size_t i = 0; i < ifds.size(); i++) {
            uint32_t at = offsets[i];
            uint32_t extra = at + 2 + 12 * uint32_t(ifds[i].size()) + 4;
            put16(out, at, uint16_t(ifds[i].size()));
            for (size_t k = 0; k < ifds[i].size(); k++) {
                const Entry& e = ifds[i][k];
                const uint32_t p = at + 2 + 12 * uint32_t(k);
                put16(out, p, e.tag);
                put16(out, p + 2, e.type);
                put32(out, p + 4, e.count);
                if (e.value.size() <= 4) {
                    std::memcpy(&out[p + 8], e.value.data(), e.value.size());
                } else {
                    put32(out, p + 8, extra);
                    std::memcpy(&out[extra], e.value.data(), e.value.size());
                    extra += uint32_t(e.value.size() + 1) & ~1u;
                }
            }
            put32(out, at + 2 + 12 * uint32_t(ifds[i].size()), next[i]);
        }
        return out;
    }

private:
    static void put16(std::vector<uint8_t>& o, size_t at, uint16_t v) {
        o[at] = uint8_t(v);
        o[at + 1] = uint8_t(v >> 8);
    }
    static void put32(std::vector<uint8_t>& o, size_t at, uint32_t v) {
        for (int i = 0; i < 4; i++) o[at + i] = uint8_t(v >> (8 * i));
    }
};

int32_t ParseError(const std::vector<uint8_t>& file) {
    return ErrorOf([&] {
        dng_stream stream(file.data(), uint32_t(file.size()));
        dng_image_host host;
        dng_info info;
        info.Parse(host, stream);
    });
}

TEST(ParserStructure, MinimalFileParsesAndHostileOnesFail) {
    using T = TiffBuilder;
    const auto good = T::Build({T::RawIfd(900)}, {8}, {0}, 1024);
    EXPECT_EQ(ParseError(good), 0);

    // The chain points back at itself.
    EXPECT_EQ(ParseError(T::Build({T::RawIfd(900)}, {8}, {8}, 1024)), dng_error_bad_format);

    // Not TIFF, big TIFF, and no DNG version.
    std::vector<uint8_t> notTiff = good;
    notTiff[0] = 'X';
    EXPECT_EQ(ParseError(notTiff), dng_error_bad_format);
    std::vector<uint8_t> bigTiff = good;
    bigTiff[2] = 43;
    EXPECT_EQ(ParseError(bigTiff), dng_error_bad_format);
    T::Ifd noVersion = T::RawIfd(900);
    noVersion.pop_back();
    EXPECT_EQ(ParseError(T::Build({noVersion}, {8}, {0}, 1024)), dng_error_bad_format);

    // A reader newer than this one is required.
    T::Ifd newer = T::RawIfd(900);
    newer.push_back(T::Bytes(tcDNGBackwardVersion, {1, 6, 0, 0}));
    EXPECT_EQ(ParseError(T::Build({newer}, {8}, {0}, 1024)), dng_error_unsupported_dng);

    // A value that lies past the end of the file.
    T::Ifd pastEnd = T::RawIfd(900);
    pastEnd.push_back(T::Ascii(tcMake, "abcdefgh"));
    std::vector<uint8_t> file = T::Build({pastEnd}, {8}, {0}, 1024);
    file.resize(8 + 2 + 12 * pastEnd.size() + 4 + 2);  // cut into the out-of-line values
    EXPECT_NE(ParseError(file), 0);

    // The first directory lies beyond the end.
    std::vector<uint8_t> far = good;
    far[4] = 0xF0;
    far[5] = 0xFF;
    EXPECT_NE(ParseError(far), 0);
}

TEST(ParserStructure, DirectoriesWithTooManyEntriesAreRefused) {
    std::vector<uint8_t> file(8 + 2 + 12 * 5000 + 4, 0);
    file[0] = file[1] = 'I';
    file[2] = 42;
    file[4] = 8;
    file[8] = uint8_t(5000 & 0xFF);
    file[9] = uint8_t(5000 >> 8);
    EXPECT_EQ(ParseError(file), dng_error_bad_format);
}

TEST(ParserStructure, MainImageIsChosenAmongSubIfdsAndPreviews) {
    using T = TiffBuilder;
    // IFD 0: a preview with SubIFDs pointing at a small raw and a large raw.
    T::Ifd ifd0 = {T::Long(tcNewSubFileType, {1}),
                   T::Long(tcImageWidth, {2}),
                   T::Long(tcImageLength, {2}),
                   T::Short(tcBitsPerSample, {8}),
                   T::Short(tcPhotometricInterpretation, {2}),
                   T::Long(tcSubIFDs, {300, 600}),
                   T::Bytes(tcDNGVersion, {1, 4, 0, 0}),
                   T::Ascii(tcModel, "Chain")};
    T::Ifd small = T::RawIfd(900);
    small[1] = T::Long(tcImageWidth, {2});
    small[2] = T::Long(tcImageLength, {2});
    T::Ifd large = T::RawIfd(900);
    // SubIFDs are not chained: list them as extra top-level layout only.
    auto file = T::Build({ifd0, small, large}, {8, 300, 600}, {0, 0, 0}, 1024);
    dng_stream stream(file.data(), uint32_t(file.size()));
    dng_image_host host;
    dng_info info;
    info.Parse(host, stream);
    ASSERT_EQ(info.IFDCount(), 3u);
    EXPECT_EQ(info.fMainIndex, 2);
    EXPECT_EQ(info.MainIFD().fImageWidth, 4u);
    ASSERT_EQ(info.fPreviewIndices.size(), 1u);
    EXPECT_STREQ(info.fExif->fModel.Get(), "Chain");

    // A SubIFD pointing back at IFD 0 is a cycle.
    T::Ifd loop = ifd0;
    loop[5] = T::Long(tcSubIFDs, {8});
    EXPECT_EQ(ParseError(T::Build({loop}, {8}, {0}, 1024)), dng_error_bad_format);
}

TEST(ParserStructure, MissingPixelsAreAClearError) {
    using T = TiffBuilder;
    // The strip offset points past the end of the file.
    auto file = T::Build({T::RawIfd(5000)}, {8}, {0}, 1024);
    dng_stream stream(file.data(), uint32_t(file.size()));
    dng_image_host host;
    dng_info info;
    std::unique_ptr<dng_negative> negative;
    EXPECT_NO_THROW(negative = ReadDNGNegative(host, stream, info, dng_read_depth::kMetadata));
    EXPECT_NE(ErrorOf([&] { negative->ReadStage1Image(host, stream, info); }), 0);
}

}  // namespace
