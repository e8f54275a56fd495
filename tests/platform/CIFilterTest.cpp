#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "platform/CIFilter.h"

namespace {

using platform::CIFilter;
using platform::CIImage;
using platform::Point;
using platform::Rect;
using platform::Value;

// w × h pixels, pixel (x, y from the bottom) = f(x, y) in every channel but alpha.
template <class F>
CIImage::Ptr imageOf(size_t w, size_t h, F f, Point origin = {}, float alpha = 1.0f) {
    std::vector<float> px(w * h * 4);
    for (size_t row = 0; row < h; ++row)
        for (size_t x = 0; x < w; ++x) {
            float* p = &px[(row * w + x) * 4];
            p[0] = p[1] = p[2] = f(x, h - 1 - row);
            p[3] = alpha;
        }
    return CIImage::imageWithPixels(w, h, origin, std::move(px), nullptr);
}

CIFilter::Ptr made(const char* name, CIImage::Ptr in) {
    auto f = CIFilter::filterWithName(name);
    EXPECT_TRUE(f) << name;
    if (!f) return nullptr;
    f->setDefaults();
    f->setImage("inputImage", std::move(in));
    return f;
}

TEST(CIImage, ConvertsIntegerBitmapsAndSamplesClampedToTheExtent) {
    // 16-bit little-endian RGBA with straight alpha: colours come out premultiplied.
    std::vector<uint8_t> bytes;
    for (uint16_t v : {uint16_t(65535), uint16_t(0), uint16_t(13107), uint16_t(32768), uint16_t(0),
                       uint16_t(65535), uint16_t(0), uint16_t(65535)}) {
        bytes.push_back(uint8_t(v & 0xFF));
        bytes.push_back(uint8_t(v >> 8));
    }
    auto bitmap = platform::BitmapImage::create(
        2, 1, 16, 64, 16, platform::kBitmapAlphaLast | platform::kBitmapByteOrder16Little, nullptr,
        platform::BitmapDataProvider::withData(bytes));
    auto image = CIImage::imageWithBitmap(bitmap, Point{10, 20});
    ASSERT_TRUE(image);
    EXPECT_EQ(image->extent(), (Rect{10, 20, 2, 1}));
    const float a = 32768 / 65535.0f;
    EXPECT_NEAR(image->pixel(0, 0)[0], a, 1e-6);
    EXPECT_NEAR(image->pixel(0, 0)[2], 0.2f * a, 1e-6);
    EXPECT_NEAR(image->pixel(0, 0)[3], a, 1e-6);

    float s[4];
    image->sample(0, -100, false, s);  // left of and below the extent: the first pixel
    EXPECT_NEAR(s[0], a, 1e-6);
    image->sample(11, 20.5, true, s);  // halfway between the two pixel centres
    EXPECT_NEAR(s[0], a / 2, 1e-6);
    EXPECT_NEAR(s[1], 0.5f, 1e-6);
    image->sample(500, 20.5, true, s);
    EXPECT_NEAR(s[1], 1.0f, 1e-6);

    // A float RGBA bitmap is used as it is.
    auto f = imageOf(3, 2, [](size_t x, size_t y) { return float(x + 10 * y); });
    EXPECT_EQ(CIImage::imageWithBitmap(f->bitmap())->row(0), f->row(0));
    EXPECT_FALSE(CIImage::imageWithPixels(2, 2, {}, std::vector<float>(15), nullptr));
}

TEST(CIFilter, RegistryDefaultsAndOutputKeptUntilAValueChanges) {
    EXPECT_FALSE(CIFilter::filterWithName("NoSuchFilter"));
    for (const char* name : {"CIGammaAdjust", "CIAreaHistogram", "CIAreaMaximum", "CICrop"}) {
        auto a = CIFilter::filterWithName(name), b = CIFilter::filterWithName(name);
        ASSERT_TRUE(a && b) << name;
        EXPECT_NE(a, b);
        EXPECT_EQ(a->name(), name);
        EXPECT_EQ(a->attributes()["inputImage"]["CIAttributeClass"].stringValue(), "CIImage");
    }
    auto hist = CIFilter::filterWithName("CIAreaHistogram");
    EXPECT_TRUE(hist->valueForKey("inputCount").isNull());
    hist->setDefaults();
    EXPECT_EQ(hist->valueForKey("inputCount").realValue(), 64);
    EXPECT_EQ(CIFilter::rectFromValue(hist->valueForKey("inputExtent"), Rect{}),
              (Rect{0, 0, 640, 80}));

    auto gamma = made("CIGammaAdjust", imageOf(2, 2, [](size_t, size_t) { return 0.25f; }));
    auto first = gamma->outputImage();
    ASSERT_TRUE(first);
    EXPECT_EQ(gamma->outputImage(), first);
    gamma->setValue("inputPower", 1.0);  // the default again: nothing changes
    EXPECT_EQ(gamma->outputImage(), first);
    gamma->setValue("inputPower", 0.5);
    EXPECT_NE(gamma->outputImage(), first);
    EXPECT_FLOAT_EQ(gamma->outputImage()->pixel(1, 1)[0], 0.5f);
    gamma->setValue("inputImage", Value());
    EXPECT_FALSE(gamma->outputImage());
}

TEST(CIFilter, GammaKeepsSignAndAlpha) {
    auto in = imageOf(
        3, 1,
        [](size_t x, size_t) {
            return std::vector<float>{0.25f, -0.25f, 4.0f}[x];
        },
        {}, 0.5f);
    auto gamma = made("CIGammaAdjust", in);
    gamma->setValue("inputPower", 0.5);
    auto out = gamma->outputImage();
    EXPECT_FLOAT_EQ(out->pixel(0, 0)[1], 0.5f);
    EXPECT_FLOAT_EQ(out->pixel(1, 0)[1], -0.5f);
    EXPECT_FLOAT_EQ(out->pixel(2, 0)[2], 2.0f);
    EXPECT_EQ(out->pixel(2, 0)[3], 0.5f);
}

TEST(CIFilter, AreaHistogramCountsTheExtentWithClippedValuesInTheEndBins) {
    // Columns 0..7 of the bottom row hold -1, 0.1, 0.1, 0.3, 0.99, 1.0, 7, 0.3;
    // the row above holds 0.5 everywhere and lies outside the extent.
    const float row0[] = {-1, 0.1f, 0.1f, 0.3f, 0.99f, 1.0f, 7, 0.3f};
    auto in = imageOf(
        8, 2, [&](size_t x, size_t y) { return y == 0 ? row0[x] : 0.5f; }, Point{100, 50});
    auto hist = made("CIAreaHistogram", in);
    hist->setValue("inputExtent", CIFilter::vectorValue(Rect{100, 50, 8, 1}));
    hist->setValue("inputCount", 10);
    hist->setValue("inputScale", 2.0);
    auto out = hist->outputImage();
    ASSERT_TRUE(out);
    EXPECT_EQ(out->extent(), (Rect{0, 0, 10, 1}));
    const float unit = 2.0f / 8;  // scale ÷ pixels counted
    const float expected[10] = {unit, 2 * unit, 0, 2 * unit, 0, 0, 0, 0, 0, 3 * unit};
    for (size_t b = 0; b < 10; ++b) {
        EXPECT_FLOAT_EQ(out->pixel(b, 0)[0], expected[b]) << "bin " << b;
        EXPECT_FLOAT_EQ(out->pixel(b, 0)[3], b == 9 ? 8 * unit : 0) << "alpha 1 in the last bin";
    }
    hist->setValue("inputCount", 100000);
    EXPECT_EQ(hist->outputImage()->width(), 2048u) << "the count is bounded";
}

TEST(CIFilter, AreaMaximumAndCropKeepTheirPlaceInThePlane) {
    auto in = imageOf(
        6, 3, [](size_t x, size_t y) { return float(x + 10 * y); }, Point{-2, 4});
    auto max = made("CIAreaMaximum", in);
    max->setValue("inputExtent", CIFilter::vectorValue(Rect{-1, 4, 3, 2}));  // x 1..3, y 0..1
    auto m = max->outputImage();
    ASSERT_TRUE(m);
    EXPECT_EQ(m->extent(), (Rect{-1, 4, 1, 1}));
    EXPECT_EQ(m->pixel(0, 0)[0], 13.0f);
    max->setValue("inputExtent", CIFilter::vectorValue(Rect{50, 50, 3, 2}));
    EXPECT_FALSE(max->outputImage());

    auto crop = made("CICrop", in);
    EXPECT_EQ(crop->outputImage()->extent(), in->extent()) << "the default keeps everything";
    crop->setValue("inputRectangle", CIFilter::vectorValue(Rect{0, 5, 2.5, 10}));
    auto c = crop->outputImage();
    ASSERT_TRUE(c);
    EXPECT_EQ(c->extent(), (Rect{0, 5, 2, 2}));
    EXPECT_EQ(c->pixel(0, 0)[0], 12.0f);
    EXPECT_EQ(c->pixel(1, 1)[0], 23.0f);
    float s[4];
    c->sample(0.5, 5.5, false, s);
    EXPECT_EQ(s[0], 12.0f);
    crop->setValue("inputRectangle", CIFilter::vectorValue(Rect{20, 5, 2, 2}));
    EXPECT_FALSE(crop->outputImage());
}

}  // namespace
