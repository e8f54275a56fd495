// The conversion of display tiles to the screen against the plain three-pass
// version it replaced (scale to 65535, dim, convert, round to 8 bits): the
// same bytes on every 16-bit code, over-range and saturated colours, both
// byte orders, odd widths, padded rows and rows longer than a scratch run.
#include <gtest/gtest.h>

#include <QImage>
#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "platform/BitmapImage.h"
#include "platform/IccBuiltins.h"
#include "platform/IccTransform.h"
#include "support/TestSupport.h"
#include "ui/DisplayColor.h"

namespace {

using platform::BitmapImage;
using platform::IccProfile;

QImage referenceScreenImage(const BitmapImage& tile,
                            const std::shared_ptr<const IccProfile>& screen) {
    const size_t w = tile.width(), h = tile.height(), rowBytes = tile.bytesPerRow();
    const bool little = platform::effectiveBitmapByteOrder(tile.bitmapInfo(), 16) ==
                        platform::kBitmapByteOrder16Little;
    std::vector<uint16_t> pixels(w * h * 4);
    for (size_t y = 0; y < h; ++y) {
        const uint8_t* in = tile.dataProvider()->bytes() + y * rowBytes;
        for (size_t i = 0; i < w * 4; ++i) {
            const uint32_t v = little ? uint32_t(in[2 * i]) | uint32_t(in[2 * i + 1]) << 8
                                      : uint32_t(in[2 * i]) << 8 | uint32_t(in[2 * i + 1]);
            pixels[y * w * 4 + i] =
                uint16_t(std::min<uint32_t>(65535, (v * 65535u + 32662u) / 65325u));
        }
    }
    auto source = tile.colorSpace() ? tile.colorSpace()->profile() : nullptr;
    if (const auto m =
            source && screen ? platform::linearRGBMatrix(*source, *screen) : std::nullopt) {
        float f[9];
        for (int i = 0; i < 9; ++i) f[i] = float((*m)[size_t(i)] / 65535.0);
        for (size_t i = 0; i < w * h; ++i) {
            uint16_t* p = pixels.data() + i * 4;
            const float r = p[0], g = p[1], b = p[2];
            const float top =
                std::max({f[0] * r + f[1] * g + f[2] * b, f[3] * r + f[4] * g + f[5] * b,
                          f[6] * r + f[7] * g + f[8] * b});
            if (top > 1.0f)
                for (int c = 0; c < 3; ++c) p[c] = uint16_t(std::lround(p[c] / top));
        }
    }
    if (source && screen) {
        auto t = platform::IccTransform::shared(source, screen);
        if (!t || !t->convertRGBA16(pixels.data(), w, h, w * 8)) return {};
    }
    QImage image(int(w), int(h), QImage::Format_RGB32);
    for (size_t y = 0; y < h; ++y) {
        const uint16_t* in = pixels.data() + y * w * 4;
        auto* out = reinterpret_cast<QRgb*>(image.scanLine(int(y)));
        for (size_t x = 0; x < w; ++x, in += 4) {
            auto eight = [](uint32_t v) { return int((v * 255u + 32767u) / 65535u); };
            out[x] = qRgb(eight(in[0]), eight(in[1]), eight(in[2]));
        }
    }
    return image;
}

// A w x h tile from a sample generator, rows `pad` bytes longer than needed.
std::shared_ptr<const BitmapImage> makeTile(size_t w, size_t h, size_t pad, bool bigEndian,
                                            const std::shared_ptr<const IccProfile>& profile,
                                            const std::vector<uint16_t>& samples, size_t first) {
    const size_t rowBytes = w * 8 + pad;
    std::vector<uint8_t> bytes(rowBytes * h, 0x5A);
    for (size_t y = 0; y < h; ++y)
        for (size_t i = 0; i < w * 4; ++i) {
            const uint16_t v = samples[(first + y * w * 4 + i) % samples.size()];
            bytes[y * rowBytes + 2 * i + (bigEndian ? 1 : 0)] = uint8_t(v);
            bytes[y * rowBytes + 2 * i + (bigEndian ? 0 : 1)] = uint8_t(v >> 8);
        }
    return BitmapImage::create(
        w, h, 16, 64, rowBytes,
        platform::kBitmapAlphaLast |
            (bigEndian ? platform::kBitmapByteOrder16Big : platform::kBitmapByteOrder16Little),
        profile ? platform::IccColorSpace::withProfile(profile) : nullptr,
        platform::BitmapDataProvider::withData(std::move(bytes)));
}

TEST(DisplayColor, ScreenImageGivesTheThreePassBytes) {
    // Every code in every channel, grey, against the ends and around the
    // engine's white; then saturated and random colours.
    std::vector<uint16_t> samples;
    for (uint32_t v = 0; v < 65536; ++v) {
        const auto c = uint16_t(v), r = uint16_t(65535 - v);
        samples.insert(samples.end(), {c, c, c, 65535, r, c, 0, 1, 65535, r, c, 0});
    }
    for (uint16_t v : {0, 1, 65324, 65325, 65326, 65535})
        samples.insert(samples.end(), {v, 0, 0, 9, 0, v, 0, 9, 0, 0, v, 9, v, v, 65535, 9});
    uint32_t seed = 7;
    for (int i = 0; i < 4 * 30011; ++i) {
        seed = seed * 1664525u + 1013904223u;
        samples.push_back(uint16_t(seed >> (i % 5 == 0 ? 20 : 16)));
    }
    const auto display = platform::iccBuiltinProfile(platform::IccBuiltin::proPhotoGamma1D65);
    const auto srgb = platform::iccBuiltinProfile(platform::IccBuiltin::sRGB);
    const auto prophoto =
        IccProfile::fromFile(testsupport::testdataDir() / "icc" / "ProPhotoRGB_v4.icc");
    const auto lstar =
        IccProfile::fromFile(testsupport::testdataDir() / "icc" / "LStar-RGB_v2.icc");
    ASSERT_TRUE(prophoto && lstar);
    struct Case {
        const char* name;
        std::shared_ptr<const IccProfile> tile, screen;
    } cases[] = {{"display to sRGB", display, srgb},
                 {"display to ProPhoto v4", display, prophoto},
                 {"thumbnail sRGB to L* screen", srgb, lstar},
                 {"untagged", nullptr, srgb}};
    struct Shape {
        size_t w, h, pad;
        bool big;
    } shapes[] = {{512, 392, 0, false}, {251, 9, 24, false}, {7, 13, 2, true},  {1, 5, 0, false},
                  {2, 3, 6, true},      {2500, 3, 8, false}, {4099, 2, 0, true}};
    for (const auto& c : cases) {
        size_t first = 0;
        for (const auto& s : shapes) {
            SCOPED_TRACE(std::string(c.name) + " " + std::to_string(s.w) + " x " +
                         std::to_string(s.h));
            const auto tile = makeTile(s.w, s.h, s.pad, s.big, c.tile, samples, first);
            first += s.w * s.h * 4;
            ASSERT_TRUE(tile);
            const QImage expected = referenceScreenImage(*tile, c.screen);
            const QImage shown = platform::DisplayColor::screenImage(*tile, c.screen);
            ASSERT_FALSE(expected.isNull());
            ASSERT_EQ(shown.size(), expected.size());
            ASSERT_EQ(shown.format(), QImage::Format_RGB32);
            for (int y = 0; y < shown.height(); ++y)
                for (int x = 0; x < shown.width(); ++x)
                    ASSERT_EQ(shown.pixel(x, y), expected.pixel(x, y)) << x << ", " << y;
        }
    }
}

}  // namespace
