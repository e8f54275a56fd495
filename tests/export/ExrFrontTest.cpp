// OpenEXR files from the front: channels and sample types per output
// format, the exact floats (halves as Imath converts them), the preview, the
// attributes from the image properties, no chromaticities, and failures
// caught with their text.
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

#include <atomic>
#include <cmath>
#include <cstring>
#include <filesystem>

#include "dng/core/dng_exif.h"
#include "export/ExportTestSupport.h"
#include "export/ExrReadBack.h"
#include "export/ImagePropertyImport.h"
#include "export/exrWrapper.h"
#include "export/exrWriter.h"
#include "support/TestSupport.h"

using namespace exporttest;
using platform::Dictionary;
using platform::Value;

namespace {

namespace fs = std::filesystem;

std::vector<float> Pixels(int w, int h) {
    std::vector<float> px(size_t(w) * h * 4);
    for (size_t i = 0; i < px.size(); ++i)
        px[i] = i % 4 == 3 ? float(i % 7) / 6.0f : float(i % 1013) * 0.00731f - 0.5f;
    return px;
}

}  // namespace

TEST(ExrFront, EachOutputFormatReadsBackExactly) {
    testsupport::ScratchDir scratch;
    constexpr int kW = 40, kH = 24;
    const auto px = Pixels(kW, kH);
    struct Case {
        int format;
        Imf::PixelType type;
        bool alpha;
    };
    for (const Case c : {Case{0, Imf::HALF, true}, Case{1, Imf::FLOAT, true},
                         Case{2, Imf::HALF, false}, Case{3, Imf::FLOAT, false}}) {
        SCOPED_TRACE(c.format);
        const fs::path out = scratch.path() / ("f" + std::to_string(c.format) + ".exr");
        auto front = exrWrapper::initWithSize(kW, kH);
        ASSERT_EQ(front->writeToFile(px.data(), c.format, out, nullptr, "com.ilm.openexr-image"),
                  0);
        Imf::InputFile in(out.c_str());
        const Imf::Header& h = in.header();
        EXPECT_EQ(h.compression(), Imf::ZIP_COMPRESSION);
        EXPECT_EQ(h.findTypedAttribute<Imf::ChromaticitiesAttribute>("chromaticities"), nullptr);
        int channels = 0;
        for (auto it = h.channels().begin(); it != h.channels().end(); ++it, ++channels)
            EXPECT_EQ(it.channel().type, c.type) << it.name();
        EXPECT_EQ(channels, c.alpha ? 4 : 3);
        EXPECT_EQ(h.channels().findChannel("A") != nullptr, c.alpha);
        ASSERT_TRUE(h.hasPreviewImage());
        EXPECT_EQ(h.previewImage().width(), unsigned(kW / 8));
        EXPECT_EQ(h.previewImage().height(), unsigned(kH / 8));

        const std::vector<float> back = ReadBack(out, kW, kH);
        for (size_t i = 0; i < px.size(); ++i) {
            if (i % 4 == 3 && !c.alpha) {
                EXPECT_EQ(back[i], -99.0f);
                continue;
            }
            const float want = c.type == Imf::HALF ? float(half(px[i])) : px[i];
            ASSERT_EQ(back[i], want) << i;
        }
    }
    RequireTool("exrheader");
    const std::string header = RunTool("exrheader '" + (scratch.path() / "f2.exr").string() + "'");
    EXPECT_NE(header.find("R, 16-bit floating-point"), std::string::npos) << header;
    EXPECT_EQ(header.find("A, "), std::string::npos) << header;
    EXPECT_NE(header.find("preview (type preview): 5 by 3 pixels"), std::string::npos) << header;
}

// An image of several bands, written from rows read band by band, reads back
// exactly and has the bytes of the same image handed over whole; every row is
// read once for the pixels (and once more for each preview row).
TEST(ExrFront, RowsReadInBandsWriteTheFileTheWholeImageWrites) {
    testsupport::ScratchDir scratch;
    constexpr int kW = 24, kH = 600;  // bands of 256 rows, the last one short
    const auto px = Pixels(kW, kH);
    for (int format : {0, 1, 2, 3}) {
        SCOPED_TRACE(format);
        const fs::path whole = scratch.path() / ("w" + std::to_string(format) + ".exr");
        const fs::path banded = scratch.path() / ("b" + std::to_string(format) + ".exr");
        ASSERT_EQ(exrWrapper::initWithSize(kW, kH)->writeToFile(px.data(), format, whole, nullptr,
                                                                "com.ilm.openexr-image"),
                  0);
        std::vector<std::atomic<int>> reads(kH);
        auto rows = [&](int first, int count, float* rgba) {
            for (int y = first; y < first + count; ++y) ++reads[size_t(y)];
            std::memcpy(rgba, px.data() + size_t(first) * kW * 4, size_t(count) * kW * 16);
            return true;
        };
        ASSERT_EQ(exrWrapper::initWithSize(kW, kH)->writeToFile(rows, format, banded, nullptr,
                                                                "com.ilm.openexr-image"),
                  0);
        for (int y = 0; y < kH; ++y) ASSERT_EQ(reads[size_t(y)], y % 8 == 0 ? 2 : 1) << y;
        EXPECT_EQ(FileBytes(whole), FileBytes(banded));

        const std::vector<float> back = ReadBack(banded, kW, kH);
        const bool isHalf = format == 0 || format == 2, alpha = format < 2;
        for (size_t i = 0; i < px.size(); ++i) {
            const float want = i % 4 == 3 && !alpha ? -99.0f : isHalf ? float(half(px[i])) : px[i];
            ASSERT_EQ(back[i], want) << i;
        }
    }
    // A source that fails ends the write with a text.
    exrWriter writer(kW, kH);
    EXPECT_EQ(writer.write([](int first, int, float*) { return first < 300; },
                           (scratch.path() / "f.exr").c_str()),
              1);
    EXPECT_NE(std::string(writer.errorString()), "");
}

TEST(ExrFront, PreviewCurveAndSampling) {
    EXPECT_EQ(exrWriter::previewValue(1.0f), 184);
    EXPECT_EQ(exrWriter::previewValue(0.0f), 0);
    EXPECT_EQ(exrWriter::previewValue(-3.0f), 0);
    EXPECT_EQ(exrWriter::previewValue(2.5f), 255);
    EXPECT_EQ(exrWriter::previewAlpha(1.0f), 255);
    EXPECT_EQ(exrWriter::previewAlpha(0.5f), 128);
    EXPECT_EQ(exrWriter::previewAlpha(-1.0f), 0);
    EXPECT_EQ(exrWriter::previewValue(std::nanf("")), 0);

    testsupport::ScratchDir scratch;
    std::vector<float> px(16 * 16 * 4, 0.0f);
    for (int y : {0, 8})
        for (int x : {0, 8}) {
            float* p = &px[(size_t(y) * 16 + x) * 4];
            p[0] = 1.0f;
            p[1] = float(x) / 8.0f;
            p[2] = float(y) / 8.0f;
            p[3] = 0.5f;
        }
    exrWriter writer(16, 16);
    ASSERT_EQ(writer.write(px.data(), 0, (scratch.path() / "p.exr").c_str()), 0);
    const Imf::PreviewImage& preview = writer.header().previewImage();
    ASSERT_EQ(preview.width(), 2u);
    ASSERT_EQ(preview.height(), 2u);
    EXPECT_EQ(preview.pixel(1, 0).r, 184);
    EXPECT_EQ(preview.pixel(1, 0).g, 184);
    EXPECT_EQ(preview.pixel(1, 0).b, 0);
    EXPECT_EQ(preview.pixel(0, 1).b, 184);
    EXPECT_EQ(preview.pixel(0, 1).a, 128);

    exrWriter narrow(7, 100);
    std::vector<float> n(7 * 100 * 4, 0.25f);
    ASSERT_EQ(narrow.write(n.data(), 0, (scratch.path() / "n.exr").c_str()), 0);
    EXPECT_EQ(narrow.header().previewImage().width(), 0u);
    EXPECT_EQ(narrow.header().previewImage().height(), 12u);
}

TEST(ExrFront, AttributesFromTheImageProperties) {
    testsupport::ScratchDir scratch;
    std::vector<float> px(8 * 8 * 4, 0.5f);
    auto attrs = [&](const Dictionary& meta) {
        auto front = exrWrapper::initWithSize(8, 8);
        const fs::path out = scratch.path() / "m.exr";
        EXPECT_EQ(front->writeToFile(px.data(), 0, out, &meta, ""), 0);
        return Imf::InputFile(out.c_str()).header();
    };
    const Imf::Header h =
        attrs({{"{TIFF}", Value(Dictionary{{"Make", Value("X")},
                                           {"Artist", Value("A")},
                                           {"DateTime", Value("2003:03:03 03:03:03")}})},
               {"{Exif}",
                Value(Dictionary{{"ExposureTime", Value(0.01)},
                                 {"ISOSpeedRatings", Value(Value::Array{Value(100), Value(200)})},
                                 {"DateTimeDigitized", Value("2002:02:02 02:02:02")},
                                 {"ApertureValue", Value(4.0)}})},
               {"{ExifAux}", Value(Dictionary{{"LensModel", Value("L")}})}});
    EXPECT_EQ(h.typedAttribute<Imf::StringAttribute>("make").value(), "X");
    EXPECT_FLOAT_EQ(h.typedAttribute<Imf::FloatAttribute>("expTime").value(), 0.01f);
    EXPECT_FLOAT_EQ(h.typedAttribute<Imf::FloatAttribute>("isoSpeed").value(), 100.0f);
    EXPECT_FLOAT_EQ(h.typedAttribute<Imf::FloatAttribute>("aperture").value(), 4.0f);
    EXPECT_EQ(h.typedAttribute<Imf::StringAttribute>("lensModel").value(), "L");
    // The digitized date beats the modification date; Artist alone is no owner.
    EXPECT_EQ(h.typedAttribute<Imf::StringAttribute>("capDate").value(), "2002:02:02 02:02:02");
    EXPECT_EQ(h.findTypedAttribute<Imf::StringAttribute>("owner"), nullptr);

    const Imf::Header o =
        attrs({{"{TIFF}", Value(Dictionary{{"Copyright", Value("C")}, {"Artist", Value("A")}})},
               {"{Exif}", Value(Dictionary{{"DateTimeOriginal", Value("2001:01:01 01:01:01")},
                                           {"DateTimeDigitized", Value("2002:02:02 02:02:02")}})}});
    EXPECT_EQ(o.typedAttribute<Imf::StringAttribute>("owner").value(), "A");
    EXPECT_EQ(o.typedAttribute<Imf::StringAttribute>("capDate").value(), "2001:01:01 01:01:01");
}

// A camera that knew neither exposure time nor aperture writes zeros; no
// "1 s" or "f/1" is made of them, in the EXR or the EXIF record of the other
// formats, while a known time keeps its APEX partner.
TEST(ExrFront, UnknownExposureInventsNothing) {
    testsupport::ScratchDir scratch;
    std::vector<float> px(8 * 8 * 4, 0.5f);
    const Dictionary unknown{
        {"{Exif}", Value(Dictionary{{"ApertureValue", Value(0.0)},
                                    {"ExposureTime", Value(0.0)},
                                    {"FNumber", Value(0)},
                                    {"ShutterSpeedValue", Value(0.0)},
                                    {"ISOSpeedRatings", Value(Value::Array{Value(100)})}})}};
    auto front = exrWrapper::initWithSize(8, 8);
    const fs::path out = scratch.path() / "u.exr";
    ASSERT_EQ(front->writeToFile(px.data(), 0, out, &unknown, ""), 0);
    const Imf::Header h = Imf::InputFile(out.c_str()).header();
    EXPECT_EQ(h.findTypedAttribute<Imf::FloatAttribute>("expTime"), nullptr);
    EXPECT_EQ(h.findTypedAttribute<Imf::FloatAttribute>("aperture"), nullptr);
    EXPECT_NE(h.findTypedAttribute<Imf::FloatAttribute>("isoSpeed"), nullptr);

    dng_exif exif;
    ImagePropertyImport::importProperties(unknown, exif);
    EXPECT_FALSE(exif.fExposureTime.IsValid());
    EXPECT_FALSE(exif.fShutterSpeedValue.IsValid());
    EXPECT_FALSE(exif.fFNumber.IsValid());
    EXPECT_FALSE(exif.fApertureValue.IsValid());
    EXPECT_EQ(exif.fISOSpeedRatings[0], 100u);

    // APEX values alone still stand for the time and aperture they encode.
    dng_exif apex;
    ImagePropertyImport::importProperties(
        {{"{Exif}",
          Value(Dictionary{{"ShutterSpeedValue", Value(8.0)}, {"ApertureValue", Value(4.0)}})}},
        apex);
    EXPECT_NEAR(apex.fExposureTime.AsReal64(), 1.0 / 256, 1e-6);
    EXPECT_NEAR(apex.fFNumber.AsReal64(), 4.0, 1e-6);
}

TEST(ExrFront, FailuresAreCaughtWithTheirText) {
    testsupport::ScratchDir scratch;
    std::vector<float> px(8 * 8 * 4, 0.5f);
    auto front = exrWrapper::initWithSize(8, 8);
    EXPECT_EQ(front->writeToFile(px.data(), 0, scratch.path() / "none" / "x.exr", nullptr, ""), 1);
    EXPECT_FALSE(front->errorStringForCode(1).empty());
    exrWriter writer(8, 8);
    EXPECT_EQ(writer.write(nullptr, 0, (scratch.path() / "y.exr").c_str()), 1);
    EXPECT_STRNE(writer.errorString(), "");
    EXPECT_FALSE(fs::exists(scratch.path() / "y.exr"));
}
