#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "engine/AlphaSetTiledEngine.h"
#include "engine/ColorMatchTiledEngine.h"
#include "engine/CopyTiledEngine.h"
#include "platform/Log.h"

using platform::Size;

namespace {

const TileRegion kAll{0, -1, -1, -1, -1};

template <typename B>
void fill(B& buffer, double scale) {
    for (int y = 0; y < buffer.imageHeight(); ++y)
        for (int x = 0; x < buffer.imageWidth(); ++x) {
            const double v[4] = {0.1 + 0.8 * x / buffer.imageWidth(), 0.5,
                                 0.9 - 0.8 * y / buffer.imageHeight(), 0.75};
            for (int c = 0; c < 4; ++c) {
                if constexpr (std::is_same_v<B, ImageBufferF32>)
                    buffer.bufferFloatForRow(y, x)[c] = float(v[c] * scale);
                else
                    buffer.bufferU16ForRow(y, x)[c] = uint16_t(v[c] * scale);
            }
        }
}

// Linear Rec. 709 to XYZ (D65), for checking a conversion's direction.
double luminance(double r, double g, double b) { return 0.2126 * r + 0.7152 * g + 0.0722 * b; }

}  // namespace

TEST(ColorMatchTiledEngineTest, SameProfileKeepsValues) {
    auto linear = ColorSyncProfileWrap::initWithLinearRGB();
    ASSERT_TRUE(linear);
    auto u = ImageBufferU16::initWithSize(37, 11, nullptr, nullptr);
    fill(*u, 65535);
    auto before = ImageBufferU16::initWithCopyFrom(*u);
    auto f = ImageBufferF32::initWithCopyFrom(*u);
    auto fbefore = ImageBufferF32::initWithCopyFrom(*f);
    auto stage = ColorMatchTiledEngine::initWithSize(Size{37, 11});
    ASSERT_TRUE(stage);
    EXPECT_EQ(stage->engineName().rfind("QuorvexRawColorMatchEngine_0x", 0), 0u);
    EXPECT_TRUE(stage->shouldReleasePrecursors());
    stage->setSrcProfile(linear);
    stage->setDestProfile(ColorSyncProfileWrap::initWithLinearRGB());
    ASSERT_TRUE(stage->convertBuffer(*u));
    ASSERT_TRUE(stage->convertBuffer(*f));
    EXPECT_EQ(u->bufferProfile(), stage->destProfile());
    for (int y = 0; y < 11; ++y)
        for (int x = 0; x < 37; ++x)
            for (int c = 0; c < 4; ++c) {
                ASSERT_NEAR(u->bufferU16ForRow(y, x)[c], before->bufferU16ForRow(y, x)[c], 2);
                ASSERT_NEAR(f->bufferFloatForRow(y, x)[c], fbefore->bufferFloatForRow(y, x)[c],
                            1e-4);
            }
}

TEST(ColorMatchTiledEngineTest, ConvertsInPlaceOrReportsFailure) {
    auto srgb = ColorSyncProfileWrap::initWithSRGB();
    auto linear = ColorSyncProfileWrap::initWithLinearRGB();
    auto f = ImageBufferF32::initWithSize(8, 4, nullptr, srgb);
    fill(*f, 1.0);
    auto crop = f->croppedImageFromBuffer(platform::Rect{2, 1, 4, 2});
    const float px[4] = {crop->bufferFloatForRow(0, 0)[0], crop->bufferFloatForRow(0, 0)[1],
                         crop->bufferFloatForRow(0, 0)[2], crop->bufferFloatForRow(0, 0)[3]};
    const float outside = f->bufferFloatForRow(0, 0)[0];
    ColorMatchTiledEngine stage(Size{4, 2});
    stage.setSrcProfile(srgb);
    stage.setDestProfile(linear);
    ASSERT_TRUE(stage.convertBuffer(*crop));
    // sRGB to linear darkens mid-tones; alpha passes; pixels outside the crop stay.
    const float* out = crop->bufferFloatForRow(0, 0);
    EXPECT_LT(luminance(out[0], out[1], out[2]), luminance(px[0], px[1], px[2]));
    EXPECT_NEAR(out[1], std::pow((0.5 + 0.055) / 1.055, 2.4), 2e-3);
    EXPECT_EQ(out[3], px[3]);
    EXPECT_EQ(f->bufferFloatForRow(0, 0)[0], outside);
    EXPECT_EQ(crop->bufferProfile(), linear);
    ASSERT_TRUE(stage.transform());

    // No profile to convert from: logged, pixels and label kept.
    platform::LogCapture capture;
    auto u = ImageBufferU16::initWithSize(3, 3, nullptr, srgb);
    fill(*u, 65535);
    const uint16_t kept = u->bufferU16ForRow(1, 1)[0];
    ColorMatchTiledEngine broken(Size{3, 3});
    broken.setSrcProfile(ColorSyncProfileWrap::initAsAutoProfile());
    broken.setDestProfile(linear);
    EXPECT_FALSE(broken.convertBuffer(*u));
    EXPECT_EQ(u->bufferProfile(), srgb);
    EXPECT_EQ(u->bufferU16ForRow(1, 1)[0], kept);
    EXPECT_TRUE(capture.contains("error in ColorSyncTransformConvert"));
}

TEST(ColorMatchTiledEngineTest, ConvertsAStageOutput) {
    auto srgb = ColorSyncProfileWrap::initWithSRGB();
    auto linear = ColorSyncProfileWrap::initWithLinearRGB();
    auto source = std::make_shared<AlphaSetTiledEngine>(Size{600, 40}, std::nullopt, false);
    auto buffer = ImageBufferU16::initWithSize(600, 40, nullptr, srgb);
    fill(*buffer, 65535);
    source->setLocalOutputBuffer(buffer);
    ColorMatchTiledEngine stage(Size{600, 40});
    EXPECT_FALSE(stage.runProcessToCompletion(kAll));  // made without a source
    stage.setSrcProfile(srgb);
    stage.setDestProfile(linear);
    auto process = source->runProcessToCompletion(kAll);
    ASSERT_TRUE(process && process->buffer() == buffer);
    EXPECT_EQ(buffer->bufferU16ForRow(5, 5)[3], 65535);  // the alpha stage ran
    const uint16_t green = buffer->bufferU16ForRow(5, 5)[1];
    ASSERT_TRUE(stage.convertBuffer(*process->buffer()));
    EXPECT_LT(buffer->bufferU16ForRow(5, 5)[1], green);
    EXPECT_EQ(buffer->bufferU16ForRow(5, 5)[3], 65535);
    EXPECT_EQ(buffer->bufferProfile(), linear);
}

TEST(ColorMatchTiledEngineTest, AlphaAndCopyStages) {
    auto u = ImageBufferU16::initWithSize(10, 10, nullptr, nullptr);
    AlphaSetTiledEngine alpha(Size{10, 10}, std::nullopt, false);
    EXPECT_EQ(alpha.engineName().rfind("QuorvexAlphaSetEngine_0x", 0), 0u);
    alpha.processTile(2, 2, 0, 10, nullptr, u.get(), 0);  // no columns
    alpha.processTile(0, 10, 4, 4, nullptr, u.get(), 0);  // no rows
    for (int y = 0; y < 10; ++y)
        for (int x = 0; x < 10; ++x) ASSERT_EQ(u->bufferU16ForRow(y, x)[3], 0);
    alpha.processTile(2, 5, 3, 4, nullptr, u.get(), 0);
    EXPECT_EQ(u->bufferU16ForRow(3, 2)[3], 65535);
    EXPECT_EQ(u->bufferU16ForRow(3, 4)[3], 65535);
    EXPECT_EQ(u->bufferU16ForRow(3, 5)[3], 0);
    EXPECT_EQ(u->bufferU16ForRow(2, 2)[3], 0);
    EXPECT_EQ(u->bufferU16ForRow(3, 2)[0], 0);
    auto f = ImageBufferF32::initWithSize(4, 4, nullptr, nullptr);
    alpha.processTile(0, 4, 0, 4, nullptr, f.get(), 0);
    EXPECT_EQ(f->bufferFloatForRow(3, 3)[3], 1.0f);

    // A copy stage behind an owned buffer copies every tile into its own.
    auto head = std::make_shared<AlphaSetTiledEngine>(Size{700, 600}, std::nullopt, false);
    auto headBuffer = ImageBufferU16::initWithSize(700, 600, nullptr, nullptr);
    fill(*headBuffer, 65535);
    headBuffer->setBufferOwner(head->stageId());
    head->setLocalOutputBuffer(headBuffer);
    auto copy = std::make_shared<CopyTiledEngine>(head, std::nullopt, false);
    EXPECT_EQ(copy->engineName().rfind("QuorvexCopyTiledEngine_0x", 0), 0u);
    auto out = copy->runProcessToCompletion(kAll)->buffer();
    ASSERT_TRUE(out);
    ASSERT_NE(out, headBuffer);
    for (int y = 0; y < 600; y += 7)
        for (int x = 0; x < 700; x += 3)
            ASSERT_EQ(std::memcmp(out->bufferU16ForRow(y, x), headBuffer->bufferU16ForRow(y, x), 8),
                      0);
}
