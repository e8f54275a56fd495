#include <gtest/gtest.h>

#include <array>
#include <bit>
#include <cstring>

#include "engine/CGImageBitMap.h"
#include "support/ExifOrientation.h"

using namespace platform;
using testsupport::exifSource;

namespace {

void put32(std::vector<uint8_t>& b, size_t at, uint32_t v, bool big) {
    if (big) v = __builtin_bswap32(v);
    std::memcpy(&b[at], &v, 4);
}

void put16(std::vector<uint8_t>& b, size_t at, uint16_t v, bool big) {
    if (big) v = __builtin_bswap16(v);
    std::memcpy(&b[at], &v, 2);
}

// One pixel of four float components in the given layout.
std::shared_ptr<CGImageBitMap> floatPixel(std::array<float, 4> c, uint32_t alpha, uint32_t order) {
    std::vector<uint8_t> b(16);
    bool big = order != kBitmapByteOrder32Little;
    for (int i = 0; i < 4; ++i) put32(b, size_t(i) * 4, std::bit_cast<uint32_t>(c[i]), big);
    return CGImageBitMap::initWithCGImageRef(
        BitmapImage::create(1, 1, 32, 128, 16, alpha | kBitmapFloatComponents | order, nullptr,
                            BitmapDataProvider::withData(b)));
}

// One pixel of four 16-bit components (values out of 65535).
std::shared_ptr<CGImageBitMap> u16Pixel(std::array<uint16_t, 4> c, uint32_t alpha, uint32_t order) {
    std::vector<uint8_t> b(8);
    bool big = order != kBitmapByteOrder16Little;
    for (int i = 0; i < 4; ++i) put16(b, size_t(i) * 2, c[i], big);
    return CGImageBitMap::initWithCGImageRef(BitmapImage::create(
        1, 1, 16, 64, 8, alpha | order, nullptr, BitmapDataProvider::withData(b)));
}

}  // namespace

TEST(CGImageBitMapTest, FloatPixelsToSixteenBitAndFloat) {
    auto bm = floatPixel({2.0f, 1.0f, 0.5f, 1.0f}, kBitmapAlphaPremultipliedLast,
                         kBitmapByteOrder32Little);
    uint16_t rgb[3];
    ASSERT_TRUE(bm->getLinearBuffer(rgb));
    EXPECT_EQ(rgb[0], 65535);
    EXPECT_EQ(rgb[1], 32767);
    EXPECT_EQ(rgb[2], 16383);
    float f[4];
    ASSERT_TRUE(bm->getFloatRGBABuffer(f));
    EXPECT_EQ(f[0], 2.0f);
    EXPECT_EQ(f[3], 1.0f);
    auto neg = floatPixel({0.5f, 0.25f, -0.1f, 1.0f}, kBitmapAlphaNoneSkipLast, 0);
    ASSERT_TRUE(neg->getLinearBuffer(rgb));
    EXPECT_EQ(rgb[0], 32767);
    EXPECT_EQ(rgb[1], 16383);
    EXPECT_EQ(rgb[2], 0);
    auto pre = floatPixel({0.25f, 0.25f, 0.25f, 0.5f}, kBitmapAlphaPremultipliedLast,
                          kBitmapByteOrder32Little);
    ASSERT_TRUE(pre->getFloatRGBABuffer(f));
    EXPECT_EQ(f[0], 0.5f);
    EXPECT_EQ(f[3], 0.5f);
    ASSERT_TRUE(pre->getLinearBuffer(rgb));
    EXPECT_EQ(rgb[1], 32767);
    // Too small an output buffer is refused rather than overrun.
    EXPECT_FALSE(pre->getLinearBuffer(std::span<uint16_t>(rgb, 2)));
}

// The engine's 16-bit white (65325) is the files' white (65535); an image
// brighter than that keeps its hue; 8-bit white needs no scaling.
TEST(CGImageBitMapTest, SixteenBitEngineWhiteBecomesFullScale) {
    uint16_t rgb[3];
    auto white =
        u16Pixel({65325, 32662, 0, 65535}, kBitmapAlphaNoneSkipLast, kBitmapByteOrder16Little);
    ASSERT_TRUE(white->getLinearBuffer(rgb));
    EXPECT_EQ(rgb[0], 65535);
    EXPECT_NEAR(rgb[1], 32767, 1);
    EXPECT_EQ(rgb[2], 0);
    auto over =
        u16Pixel({65535, 32767, 0, 65535}, kBitmapAlphaNoneSkipLast, kBitmapByteOrder16Little);
    ASSERT_TRUE(over->getLinearBuffer(rgb));
    EXPECT_EQ(rgb[0], 65535);
    EXPECT_NEAR(rgb[1], 32767, 1);
    auto bytes = CGImageBitMap::initWithCGImageRef(
        BitmapImage::create(1, 1, 8, 32, 4, kBitmapAlphaNoneSkipLast, nullptr,
                            BitmapDataProvider::withData({255, 128, 0, 0})));
    ASSERT_TRUE(bytes->getLinearBuffer(rgb));
    EXPECT_EQ(rgb[0], 65535);
    EXPECT_EQ(rgb[1], 128 * 257);
}

TEST(CGImageBitMapTest, EveryAlphaLayoutAndByteOrder) {
    // Components 0..3 hold 0.1, 0.2, 0.3, 0.5 (as 16-bit values).
    const std::array<uint16_t, 4> raw = {6554, 13107, 19661, 32768};
    struct Case {
        uint32_t alpha;
        int64_t rIndex;
        bool premultiplied;
        double r;
    } cases[] = {{kBitmapAlphaNone, 0, false, 6554 / 65535.0},
                 {kBitmapAlphaPremultipliedLast, 0, true, (6554 / 65535.0) / (32768 / 65535.0)},
                 {kBitmapAlphaPremultipliedFirst, 1, true, (13107 / 65535.0) / (6554 / 65535.0)},
                 {kBitmapAlphaLast, 0, false, 6554 / 65535.0},
                 {kBitmapAlphaFirst, 1, false, 13107 / 65535.0},
                 {kBitmapAlphaNoneSkipLast, 0, false, 6554 / 65535.0},
                 {kBitmapAlphaNoneSkipFirst, 1, false, 13107 / 65535.0}};
    for (uint32_t order :
         {kBitmapByteOrderDefault, kBitmapByteOrder16Little, kBitmapByteOrder16Big}) {
        for (const Case& c : cases) {
            auto bm = u16Pixel(raw, c.alpha, order);
            double v[4] = {9, 9, 9, 9};
            ASSERT_TRUE(bm->getPixelValues(0, 0, v)) << c.alpha;
            EXPECT_EQ(bm->rIndex(), c.rIndex);
            EXPECT_EQ(bm->premultipliedAlpha(), c.premultiplied);
            EXPECT_EQ(bm->bufferInc(), 4);
            EXPECT_DOUBLE_EQ(v[0], c.r) << c.alpha << " " << order;
            EXPECT_EQ(v[3], 9);  // untouched
            EXPECT_EQ(bm->byteOrder(),
                      order == kBitmapByteOrderDefault ? uint32_t(kBitmapByteOrder16Big) : order);
        }
        // Alpha-only images are not read.
        auto only = u16Pixel(raw, kBitmapAlphaOnly, order);
        uint16_t rgb[3];
        EXPECT_FALSE(only->getLinearBuffer(rgb));
    }
    // The bytes 0x01 0x00 read as 256 big-endian and 1 little-endian.
    std::vector<uint8_t> b = {1, 0, 1, 0, 1, 0, 0, 0};
    for (auto [order, expect] :
         {std::pair<uint32_t, double>{kBitmapByteOrder16Big, 256}, {kBitmapByteOrder16Little, 1}}) {
        auto bm = CGImageBitMap::initWithCGImageRef(
            BitmapImage::create(1, 1, 16, 64, 8, order, nullptr, BitmapDataProvider::withData(b)));
        double v[4];
        ASSERT_TRUE(bm->getPixelValues(0, 0, v));
        EXPECT_DOUBLE_EQ(v[0], expect / 65535.0);
    }
    // Float big-endian (the default for floats) and 8-bit.
    auto bigFloat = floatPixel({0.75f, 0, 0, 1}, kBitmapAlphaNone, 0);
    double v[4];
    ASSERT_TRUE(bigFloat->getPixelValues(0, 0, v));
    EXPECT_EQ(v[0], 0.75);
    auto bytes8 = CGImageBitMap::initWithCGImageRef(
        BitmapImage::create(1, 1, 8, 32, 4, kBitmapAlphaNoneSkipFirst, nullptr,
                            BitmapDataProvider::withData({0, 51, 102, 255})));
    ASSERT_TRUE(bytes8->getPixelValues(0, 0, v));
    EXPECT_DOUBLE_EQ(v[0], 0.2);
    EXPECT_DOUBLE_EQ(v[2], 1.0);
    // 32-bit integers, little-endian.
    std::vector<uint8_t> i32(12);
    put32(i32, 0, 0x80000000u, false);
    auto ints = CGImageBitMap::initWithCGImageRef(BitmapImage::create(
        1, 1, 32, 96, 12, kBitmapByteOrder32Little, nullptr, BitmapDataProvider::withData(i32)));
    ASSERT_TRUE(ints->getPixelValues(0, 0, v));
    EXPECT_DOUBLE_EQ(v[0], 0.5);
}

// Whole images are converted in bands on the pool and 16-bit and float
// pixels take their own readers: every band split, and the general reader
// (8-bit samples hold the same fractions as 16-bit ones times 257), give the
// same samples.
TEST(CGImageBitMapTest, BandsAndReadersGiveTheSameSamples) {
    constexpr size_t kW = 37, kH = 150;
    std::vector<uint8_t> eight(kW * kH * 4), sixteen(kW * kH * 8);
    for (size_t i = 0; i < kW * kH; ++i) {
        const uint8_t a = uint8_t(128 + i % 128);
        for (size_t k = 0; k < 4; ++k) {
            const uint8_t v = k == 3 ? a : uint8_t((i * 7 + k * 31) % (a + 1u));
            eight[i * 4 + k] = v;
            put16(sixteen, (i * 4 + k) * 2, uint16_t(v * 257), false);
        }
    }
    auto make = [&](std::vector<uint8_t> bytes, size_t bits, uint32_t order) {
        return CGImageBitMap::initWithCGImageRef(BitmapImage::create(
            kW, kH, bits, bits * 4, kW * bits / 2, kBitmapAlphaPremultipliedLast | order, nullptr,
            BitmapDataProvider::withData(std::move(bytes))));
    };
    auto general = make(eight, 8, 0);
    auto fast = make(sixteen, 16, kBitmapByteOrder16Little);
    std::vector<float> a(kW * kH * 4), b(a.size()), rows(a.size());
    ASSERT_TRUE(general->getFloatRGBABuffer(a));
    ASSERT_TRUE(fast->getFloatRGBABuffer(b));
    EXPECT_EQ(a, b);
    for (size_t y = 0; y < kH; y += 13)
        ASSERT_TRUE(fast->getFloatRGBARows(y, std::min<size_t>(13, kH - y), &rows[y * kW * 4]));
    EXPECT_EQ(rows, b);

    std::vector<uint16_t> whole(kW * kH * 3), banded(whole.size());
    ASSERT_TRUE(fast->getLinearBuffer(whole));
    for (size_t y = 0; y < kH; ++y) ASSERT_TRUE(fast->getLinearRows(y, 1, &banded[y * kW * 3]));
    EXPECT_EQ(whole, banded);
    EXPECT_FALSE(fast->getLinearRows(kH - 1, 2, banded.data()));
}

TEST(CGImageBitMapTest, FailuresAnswerNo) {
    EXPECT_FALSE(CGImageBitMap::initWithCGImageRef(nullptr));
    auto bm = u16Pixel({1, 2, 3, 4}, kBitmapAlphaNone, 0);
    double v[4] = {5, 5, 5, 5};
    EXPECT_FALSE(bm->getPixelValues(-1, 0, v));
    EXPECT_EQ(v[0], 0);
    EXPECT_EQ(v[3], 1);
    EXPECT_FALSE(bm->getPixelValues(0, 1, v));
    // No bytes at all.
    auto noBytes = CGImageBitMap::initWithCGImageRef(
        BitmapImage::create(1, 1, 16, 64, 8, 0, nullptr, nullptr));
    uint16_t rgb[3];
    EXPECT_FALSE(noBytes->getLinearBuffer(rgb));
    v[0] = 5;
    EXPECT_FALSE(noBytes->getPixelValues(0, 0, v));
    EXPECT_EQ(v[0], 5);
    // Descriptors that put the alpha outside the pixel are not read.
    auto narrow = CGImageBitMap::initWithCGImageRef(
        BitmapImage::create(2, 1, 16, 48, 12, kBitmapAlphaPremultipliedLast, nullptr,
                            BitmapDataProvider::withData(std::vector<uint8_t>(12))));
    EXPECT_FALSE(narrow->getLinearBuffer(rgb));
    // Unsupported component size.
    auto odd = CGImageBitMap::initWithCGImageRef(BitmapImage::create(
        1, 1, 4, 16, 2, 0, nullptr, BitmapDataProvider::withData(std::vector<uint8_t>(2))));
    EXPECT_FALSE(odd->getLinearBuffer(rgb));
    // Height 0 with bytes: nothing to write, YES.
    auto empty = CGImageBitMap::initWithCGImageRef(BitmapImage::create(
        4, 0, 16, 64, 32, 0, nullptr, BitmapDataProvider::withData(std::vector<uint8_t>(32))));
    EXPECT_TRUE(empty->getLinearBuffer(std::span<uint16_t>()));
    EXPECT_EQ(empty->extent(), (Rect{0, 0, 4, 0}));
}

TEST(CGImageBitMapTest, OrientationsAreExactRemaps) {
    const size_t w = 7, h = 4;
    for (bool isFloat : {false, true}) {
        const size_t bpc = isFloat ? 32 : 16, pixel = bpc / 2;
        std::vector<uint8_t> bytes(w * h * pixel);
        for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = uint8_t(i * 13 + 1);
        uint32_t info = kBitmapAlphaPremultipliedLast |
                        (isFloat ? kBitmapFloatComponents | kBitmapByteOrder32Little
                                 : kBitmapByteOrder16Little);
        auto image = BitmapImage::create(w, h, bpc, bpc * 4, w * pixel, info, nullptr,
                                         BitmapDataProvider::withData(bytes));
        for (int o = 1; o <= 8; ++o) {
            auto ctx = CGImageBitMap::createResizedImageBitmap(*image, Size{}, false, o,
                                                               BitmapInterpolation::High);
            ASSERT_TRUE(ctx);
            const bool swapped = o >= 5;
            ASSERT_EQ(ctx->width(), swapped ? h : w);
            ASSERT_EQ(ctx->height(), swapped ? w : h);
            for (size_t y = 0; y < ctx->height(); ++y)
                for (size_t x = 0; x < ctx->width(); ++x) {
                    auto [sx, sy] = exifSource(o, x, y, w, h);
                    ASSERT_EQ(std::memcmp(ctx->data() + y * ctx->bytesPerRow() + x * pixel,
                                          bytes.data() + sy * w * pixel + sx * pixel, pixel),
                              0)
                        << "orientation " << o << " at " << x << "," << y;
                }
        }
    }
}

TEST(CGImageBitMapTest, CroppedAndScaled) {
    std::vector<uint8_t> bytes(8 * 6 * 8);
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = uint8_t(i);
    auto bm = CGImageBitMap::initWithCGImageRef(BitmapImage::create(
        8, 6, 16, 64, 64, kBitmapByteOrder16Little, nullptr, BitmapDataProvider::withData(bytes)));
    auto same = bm->croppedAndScaledImage(Rect{2, 1, 3, 2}, Size{3, 2}, 1);
    ASSERT_TRUE(same);
    EXPECT_EQ(same->getWidth(), 3);
    EXPECT_EQ(same->getImageRef()->dataProvider()->bytes()[0], bytes[64 + 16]);
    auto turned = bm->croppedAndScaledImage(Rect{2, 1, 3, 2}, Size{3, 2}, 6);
    ASSERT_TRUE(turned);
    EXPECT_EQ(turned->getWidth(), 2);
    EXPECT_EQ(turned->getHeight(), 3);
    auto bigger = bm->croppedAndScaledImage(Rect{0, 0, 0, 0}, Size{16, 12}, 1);
    ASSERT_TRUE(bigger);
    EXPECT_EQ(bigger->getWidth(), 16);
    EXPECT_FALSE(bm->croppedAndScaledImage(Rect{20, 20, 3, 3}, Size{3, 3}, 1));
}

TEST(CGImageBitMapTest, RenderingAFloatImageIntoASpace) {
    // One float pixel (0.5, 0.5, 0.5, alpha 1) in sRGB, rendered into linear RGB.
    std::vector<uint8_t> b(16);
    const float px[4] = {0.5f, 0.5f, 0.5f, 1.0f};
    std::memcpy(b.data(), px, 16);
    auto image = BitmapImage::create(
        1, 1, 32, 128, 16,
        kBitmapAlphaPremultipliedLast | kBitmapFloatComponents | kBitmapByteOrder32Little,
        sRGBColorSpace(), BitmapDataProvider::withData(b));
    auto linear = ColorSyncProfileWrap::initWithLinearRGB();
    auto floats =
        CGImageBitMap::initWithCIImageUsingSpace(image, nullptr, nullptr, linear, 1, false, false);
    ASSERT_TRUE(floats);
    double v[4];
    ASSERT_TRUE(floats->getPixelValues(0, 0, v));
    EXPECT_NEAR(v[0], 0.214, 2e-3);
    EXPECT_EQ(floats->getImageRef()->renderingIntent(), 1);
    auto bytes =
        CGImageBitMap::initWithCIImageUsingSpace(image, nullptr, nullptr, nullptr, 0, true, true);
    ASSERT_TRUE(bytes);
    EXPECT_EQ(bytes->getImageRef()->alphaInfo(), uint32_t(kBitmapAlphaPremultipliedFirst));
    ASSERT_TRUE(bytes->getPixelValues(0, 0, v));
    EXPECT_NEAR(v[1], 128 / 255.0, 1e-9);
    EXPECT_FALSE(CGImageBitMap::initWithCIImageUsingSpace(nullptr, nullptr, nullptr, nullptr, 0,
                                                          false, false));
}
