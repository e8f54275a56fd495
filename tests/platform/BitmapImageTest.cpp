#include <gtest/gtest.h>

#include <cstring>

#include "platform/BitmapImage.h"

using namespace platform;

namespace {

std::shared_ptr<const BitmapImage> rgba16(size_t w, size_t h, size_t rowBytes,
                                          std::vector<uint8_t> bytes) {
    return BitmapImage::create(
        w, h, 16, 64, rowBytes, kBitmapAlphaPremultipliedLast | kBitmapByteOrder16Little,
        genericLinearRGBColorSpace(), BitmapDataProvider::withData(std::move(bytes)));
}

std::vector<uint8_t> numbered16(size_t w, size_t h) {
    std::vector<uint8_t> bytes(w * h * 8);
    for (size_t i = 0; i < w * h * 4; ++i) {
        uint16_t v = static_cast<uint16_t>(i * 7 + 3);
        std::memcpy(&bytes[i * 2], &v, 2);
    }
    return bytes;
}

uint16_t sample16(const uint8_t* base, size_t rowBytes, size_t x, size_t y, size_t c) {
    uint16_t v;
    std::memcpy(&v, base + y * rowBytes + x * 8 + c * 2, 2);
    return v;
}

}  // namespace

TEST(BitmapImageTest, CreationChecksDescriptorsAgainstTheBytes) {
    EXPECT_TRUE(rgba16(4, 3, 32, std::vector<uint8_t>(96)));
    // The last row need not be padded.
    EXPECT_TRUE(rgba16(4, 3, 40, std::vector<uint8_t>(2 * 40 + 32)));
    EXPECT_FALSE(rgba16(4, 3, 32, std::vector<uint8_t>(95)));
    EXPECT_FALSE(rgba16(4, 3, 31, std::vector<uint8_t>(96)));  // row shorter than its pixels
    EXPECT_FALSE(BitmapImage::create(4, 1, 16, 8, 32, 0, nullptr, nullptr));  // pixel < component
    EXPECT_FALSE(BitmapImage::create(4, 1, 8, 32, 16, kBitmapFloatComponents, nullptr, nullptr));
    // Sizes whose product overflows are refused, not wrapped.
    EXPECT_FALSE(BitmapImage::create(SIZE_MAX / 8, 2, 16, 64, SIZE_MAX, 0, nullptr,
                                     BitmapDataProvider::withData(std::vector<uint8_t>(16))));
    // Zero height and a missing provider are legal descriptions.
    EXPECT_TRUE(rgba16(4, 0, 32, {}));
    EXPECT_TRUE(BitmapImage::create(4, 4, 16, 64, 32, 0, nullptr, nullptr));
}

TEST(BitmapImageTest, CropSharesBytesAndRefusesRectanglesOutside) {
    auto image = rgba16(6, 5, 48, numbered16(6, 5));
    auto crop = image->cropped(Rect{2, 1, 3, 2});
    ASSERT_TRUE(crop);
    EXPECT_EQ(crop->width(), 3u);
    EXPECT_EQ(crop->height(), 2u);
    EXPECT_EQ(crop->bytesPerRow(), 48u);
    EXPECT_EQ(crop->dataProvider()->bytes(), image->dataProvider()->bytes() + 48 + 16);
    // Partly outside is clipped; wholly outside or empty gives nothing.
    auto clipped = image->cropped(Rect{4, 3, 10, 10});
    ASSERT_TRUE(clipped);
    EXPECT_EQ(clipped->width(), 2u);
    EXPECT_EQ(clipped->height(), 2u);
    EXPECT_FALSE(image->cropped(Rect{7, 0, 2, 2}));
    EXPECT_FALSE(image->cropped(Rect{-5, -5, 2, 2}));
    EXPECT_FALSE(image->cropped(Rect::null()));
}

TEST(BitmapImageTest, ComponentsFollowTheByteOrder) {
    const uint8_t two[2] = {0x01, 0x00};
    EXPECT_EQ(loadBitmapComponent(two, 16, false, kBitmapByteOrder16Big), 256.0);
    EXPECT_EQ(loadBitmapComponent(two, 16, false, kBitmapByteOrder16Little), 1.0);
    uint8_t four[4];
    storeBitmapComponent(four, 32, true, kBitmapByteOrder32Big, 1.5);
    EXPECT_EQ(four[0], 0x3F);  // 1.5f is 0x3FC00000
    EXPECT_EQ(loadBitmapComponent(four, 32, true, kBitmapByteOrder32Big), 1.5);
    storeBitmapComponent(four, 16, false, kBitmapByteOrder16Little, 70000.0);
    EXPECT_EQ(loadBitmapComponent(four, 16, false, kBitmapByteOrder16Little), 65535.0);
    storeBitmapComponent(four, 16, false, kBitmapByteOrder16Little, -3.0);
    EXPECT_EQ(loadBitmapComponent(four, 16, false, kBitmapByteOrder16Little), 0.0);
    EXPECT_EQ(effectiveBitmapByteOrder(0, 16), uint32_t(kBitmapByteOrder16Big));
    EXPECT_EQ(effectiveBitmapByteOrder(kBitmapFloatComponents, 32),
              uint32_t(kBitmapByteOrder32Big));
    EXPECT_EQ(effectiveBitmapByteOrder(0, 8), uint32_t(kBitmapByteOrderDefault));
    EXPECT_EQ(effectiveBitmapByteOrder(kBitmapByteOrder16Little, 16),
              uint32_t(kBitmapByteOrder16Little));
}

TEST(BitmapImageTest, DrawingMovesWholePixelsExactly) {
    // A shift by whole pixels inside a larger context copies samples bit for bit;
    // what the image does not cover stays zero.
    auto image = rgba16(3, 2, 24, numbered16(3, 2));
    auto ctx = BitmapContext::create(5, 4, 16, 64, 0, nullptr, image->bitmapInfo());
    ASSERT_TRUE(ctx);
    ASSERT_TRUE(ctx->drawImage(Rect{1, 1, 3, 2}, *image));  // user space: y up from the bottom
    const uint8_t* src = image->dataProvider()->bytes();
    for (size_t y = 0; y < 4; ++y)
        for (size_t x = 0; x < 5; ++x)
            for (size_t c = 0; c < 4; ++c) {
                bool inside = x >= 1 && x <= 3 && y >= 1 && y <= 2;
                uint16_t expect = inside ? sample16(src, 24, x - 1, y - 1, c) : 0;
                ASSERT_EQ(sample16(ctx->data(), ctx->bytesPerRow(), x, y, c), expect)
                    << x << "," << y;
            }
}

TEST(BitmapImageTest, ScaledDrawingInterpolates) {
    // Two columns 0 and 1000 stretched to four: the outer pixels keep the
    // edge values, the inner ones lie between, rising left to right.
    std::vector<uint8_t> bytes(16, 0);
    uint16_t right = 1000;
    for (int c = 0; c < 4; ++c) std::memcpy(&bytes[8 + c * 2], &right, 2);
    auto image = rgba16(2, 1, 16, bytes);
    auto ctx = BitmapContext::create(4, 1, 16, 64, 0, nullptr, image->bitmapInfo());
    ASSERT_TRUE(ctx->drawImage(Rect{0, 0, 4, 1}, *image));
    std::vector<uint16_t> row;
    for (size_t x = 0; x < 4; ++x) row.push_back(sample16(ctx->data(), 32, x, 0, 0));
    EXPECT_EQ(row[0], 0);
    EXPECT_EQ(row[3], 1000);
    EXPECT_GT(row[1], 0);
    EXPECT_LT(row[1], row[2]);
    EXPECT_LT(row[2], 1000);
    auto snapshot = ctx->makeImage();
    ASSERT_TRUE(snapshot);
    EXPECT_EQ(sample16(snapshot->dataProvider()->bytes(), 32, 3, 0, 0), 1000);
    // Formats must match.
    auto floatCtx = BitmapContext::create(4, 1, 32, 128, 0, nullptr, kBitmapFloatComponents);
    EXPECT_FALSE(floatCtx->drawImage(Rect{0, 0, 4, 1}, *image));
}
