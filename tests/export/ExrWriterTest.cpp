// The OpenEXR writer's own chunks, read back by the library's reader: every
// sample of an image whose rows all differ and whose last chunk is short, the
// header as the writer's model has it, chunks that do not compress stored as
// they are, and write failures reported with a text.
#include <ImfChannelList.h>
#include <ImfChromaticitiesAttribute.h>
#include <ImfFloatAttribute.h>
#include <ImfFrameBuffer.h>
#include <ImfHeader.h>
#include <ImfInputFile.h>
#include <ImfPreviewImage.h>
#include <ImfStringAttribute.h>
#include <gtest/gtest.h>
#include <half.h>
#include <openexr.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <limits>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "export/ExrReadBack.h"
#include "export/exrWriter.h"
#include "support/TestSupport.h"

namespace {

namespace fs = std::filesystem;

// Samples unique to their row, column and channel, with values a half
// cannot hold (too large, too small) among them.
std::vector<float> DistinctPixels(int w, int h) {
    std::vector<float> px(size_t(w) * h * 4);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            for (int c = 0; c < 4; ++c)
                px[(size_t(y) * w + x) * 4 + c] =
                    c == 3 ? float(y) / float(h) : float(y * 1000 + x * 10 + c) * 0.0137f - 3.0f;
    px[4] = 70000.0f;
    px[5] = 1e-7f;
    px[6] = -std::numeric_limits<float>::infinity();
    return px;
}

using exporttest::ReadBack;

bool SameBits(float a, float b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// Packed and unpacked size of the chunk holding row y, by the core reader.
std::pair<uint64_t, uint64_t> ChunkSizes(const fs::path& file, int y) {
    exr_context_t c = nullptr;
    EXPECT_EQ(exr_start_read(&c, file.c_str(), nullptr), EXR_ERR_SUCCESS);
    exr_chunk_info_t info{};
    EXPECT_EQ(exr_read_scanline_chunk_info(c, 0, y, &info), EXR_ERR_SUCCESS);
    exr_finish(&c);
    return {info.packed_size, info.unpacked_size};
}

}  // namespace

TEST(ExrWriter, EverySampleAndTheHeaderReadBack) {
    testsupport::ScratchDir scratch;
    constexpr int kW = 29, kH = 53;  // three full chunks and one of five rows
    const auto px = DistinctPixels(kW, kH);
    for (const bool isFloat : {false, true})
        for (const bool alpha : {true, false}) {
            SCOPED_TRACE(std::string(isFloat ? "float" : "half") + (alpha ? " RGBA" : " RGB"));
            exrWriter writer(kW, kH);
            writer.setFloat(isFloat);
            writer.setNoAlpha(!alpha);
            writer.setChromaticities(true);
            writer.addAttribute("lensMake", "Maker");
            writer.addAttribute("altitude", 12.5);
            const fs::path out = scratch.path() / "e.exr";
            ASSERT_EQ(writer.write(px.data(), 0, out.c_str()), 0) << writer.errorString();

            const auto back = ReadBack(out, kW, kH);
            for (size_t i = 0; i < px.size(); ++i) {
                const float want = i % 4 == 3 && !alpha ? -99.0f
                                   : isFloat            ? px[i]
                                                        : float(half(px[i]));
                ASSERT_TRUE(SameBits(back[i], want))
                    << "row " << i / 4 / kW << " column " << i / 4 % kW << " channel " << i % 4
                    << ": " << back[i] << " instead of " << want;
            }

            // The file's attributes are the model's, no more and no fewer.
            const Imf::Header file = Imf::InputFile(out.c_str()).header();
            const Imf::Header& model = writer.header();
            std::set<std::string> fileNames, modelNames;
            for (auto it = file.begin(); it != file.end(); ++it) fileNames.insert(it.name());
            for (auto it = model.begin(); it != model.end(); ++it) modelNames.insert(it.name());
            EXPECT_EQ(fileNames, modelNames);
            EXPECT_EQ(file.typedAttribute<Imf::StringAttribute>("lensMake").value(), "Maker");
            EXPECT_EQ(file.typedAttribute<Imf::FloatAttribute>("altitude").value(), 12.5f);
            EXPECT_EQ(file.typedAttribute<Imf::ChromaticitiesAttribute>("chromaticities").value(),
                      model.typedAttribute<Imf::ChromaticitiesAttribute>("chromaticities").value());
            EXPECT_EQ(file.compression(), Imf::ZIP_COMPRESSION);
            EXPECT_EQ(file.dataWindow(), Imath::Box2i({0, 0}, {kW - 1, kH - 1}));
            EXPECT_EQ(file.displayWindow(), file.dataWindow());
            EXPECT_EQ(file.lineOrder(), Imf::INCREASING_Y);
            EXPECT_EQ(file.channels(), model.channels());

            // The preview: every eighth pixel of every eighth row.
            const Imf::PreviewImage& preview = file.previewImage();
            ASSERT_EQ(preview.width(), unsigned(kW / 8));
            ASSERT_EQ(preview.height(), unsigned(kH / 8));
            for (unsigned y = 0; y < preview.height(); ++y)
                for (unsigned x = 0; x < preview.width(); ++x) {
                    const float* p = &px[(size_t(y) * 8 * kW + x * 8) * 4];
                    const Imf::PreviewRgba& got = preview.pixel(x, y);
                    EXPECT_EQ(got.r, exrWriter::previewValue(p[0]));
                    EXPECT_EQ(got.g, exrWriter::previewValue(p[1]));
                    EXPECT_EQ(got.b, exrWriter::previewValue(p[2]));
                    EXPECT_EQ(got.a, exrWriter::previewAlpha(p[3]));
                }
        }
}

// Random floats do not deflate: their chunks are stored as they are, beside
// deflated ones of a flat area, and the file reads back exactly.
TEST(ExrWriter, ChunksThatDoNotCompressAreStoredRaw) {
    testsupport::ScratchDir scratch;
    constexpr int kW = 64, kH = 40;
    std::vector<float> px(size_t(kW) * kH * 4, 0.25f);
    std::mt19937 random(7);
    for (size_t i = 0; i < size_t(kW) * 16 * 4; ++i) {
        uint32_t bits = random();
        if ((bits & 0x7f800000u) == 0x7f800000u) bits &= ~0x00800000u;  // no NaN or infinity
        std::memcpy(&px[i], &bits, sizeof bits);
    }
    exrWriter writer(kW, kH);
    writer.setFloat(true);
    const fs::path out = scratch.path() / "r.exr";
    ASSERT_EQ(writer.write(px.data(), 0, out.c_str()), 0) << writer.errorString();

    const auto [rawPacked, rawSize] = ChunkSizes(out, 0);
    EXPECT_EQ(rawPacked, rawSize);
    EXPECT_EQ(rawSize, uint64_t(kW) * 16 * 16);
    const auto [flatPacked, flatSize] = ChunkSizes(out, 16);
    EXPECT_LT(flatPacked * 10, flatSize);

    const auto back = ReadBack(out, kW, kH);
    for (size_t i = 0; i < px.size(); ++i) ASSERT_TRUE(SameBits(back[i], px[i])) << i;
}

TEST(ExrWriter, WriteFailuresGiveATextAndNoCrash) {
    testsupport::ScratchDir scratch;
    std::vector<float> px(size_t(32) * 40 * 4, 0.5f);
    exrWriter writer(32, 40);
    EXPECT_EQ(writer.write(px.data(), 0, scratch.path().c_str()), 1);
    EXPECT_NE(std::string(writer.errorString()).find("directory"), std::string::npos)
        << writer.errorString();

    // A full disk: the device takes the file's name but none of its bytes.
    ASSERT_TRUE(fs::exists("/dev/full"));
    exrWriter full(32, 40);
    EXPECT_EQ(full.write(px.data(), 0, "/dev/full"), 1);
    EXPECT_NE(std::string(full.errorString()).find("No space"), std::string::npos)
        << full.errorString();
}
