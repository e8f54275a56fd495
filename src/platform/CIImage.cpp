#include "platform/CIImage.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <new>

namespace platform {

namespace {

constexpr uint32_t kFloatRGBA =
    kBitmapAlphaPremultipliedLast | kBitmapFloatComponents | kBitmapByteOrder32Little;

bool holdsFloatRGBA(const BitmapImage& b) {
    return std::endian::native == std::endian::little && b.bitmapInfo() == kFloatRGBA &&
           b.bitsPerComponent() == 32 && b.bitsPerPixel() == 128 && b.bytesPerRow() % 4 == 0 &&
           reinterpret_cast<uintptr_t>(b.dataProvider()->bytes()) % alignof(float) == 0;
}

// Float RGBA (premultiplied) of any readable bitmap; empty on failure.
std::vector<float> floatCopy(const BitmapImage& b) {
    const size_t bpc = b.bitsPerComponent();
    const size_t comps = bpc ? b.bitsPerPixel() / bpc : 0;
    const uint32_t alpha = b.alphaInfo();
    const bool hasAlpha = alpha >= kBitmapAlphaPremultipliedLast && alpha <= kBitmapAlphaFirst;
    const bool first = alpha == kBitmapAlphaPremultipliedFirst || alpha == kBitmapAlphaFirst ||
                       alpha == kBitmapAlphaNoneSkipFirst;
    const bool straight = alpha == kBitmapAlphaLast || alpha == kBitmapAlphaFirst;
    if (bpc % 8 || comps < 3 + (first ? 1u : 0u) || alpha >= kBitmapAlphaOnly) return {};
    if (hasAlpha && comps < 4) return {};
    const bool isFloat = b.isFloat();
    if (isFloat && bpc != 32) return {};
    const double top = isFloat ? 1.0 : std::ldexp(1.0, int(bpc)) - 1.0;
    const uint32_t order = effectiveBitmapByteOrder(b.bitmapInfo(), bpc);
    const size_t cb = bpc / 8, rIndex = first ? 1 : 0, aIndex = first ? 0 : 3;
    std::vector<float> out;
    try {
        out.resize(b.width() * b.height() * 4);
    } catch (const std::bad_alloc&) {
        return {};
    }
    const uint8_t* bytes = b.dataProvider()->bytes();
    for (size_t y = 0; y < b.height(); ++y) {
        const uint8_t* row = bytes + y * b.bytesPerRow();
        for (size_t x = 0; x < b.width(); ++x) {
            const uint8_t* p = row + x * comps * cb;
            auto at = [&](size_t c) {
                return float(loadBitmapComponent(p + c * cb, bpc, isFloat, order) / top);
            };
            float* o = &out[(y * b.width() + x) * 4];
            const float a = hasAlpha ? at(aIndex) : 1.0f;
            for (size_t c = 0; c < 3; ++c) o[c] = straight ? at(rIndex + c) * a : at(rIndex + c);
            o[3] = a;
        }
    }
    return out;
}

}  // namespace

CIImage::Ptr CIImage::imageWithBitmap(std::shared_ptr<const BitmapImage> bitmap, Point origin) {
    if (!bitmap || !bitmap->dataProvider() || !bitmap->dataProvider()->bytes()) return nullptr;
    if (!holdsFloatRGBA(*bitmap)) {
        std::vector<float> pixels = floatCopy(*bitmap);
        if (pixels.empty() && bitmap->width() && bitmap->height()) return nullptr;
        return imageWithPixels(bitmap->width(), bitmap->height(), origin, std::move(pixels),
                               bitmap->colorSpace());
    }
    auto image = std::shared_ptr<CIImage>(new CIImage());
    image->data_ = reinterpret_cast<const float*>(bitmap->dataProvider()->bytes());
    image->rowFloats_ = bitmap->bytesPerRow() / 4;
    image->width_ = bitmap->width();
    image->height_ = bitmap->height();
    image->origin_ = origin;
    image->bitmap_ = std::move(bitmap);
    return image;
}

CIImage::Ptr CIImage::imageWithPixels(size_t width, size_t height, Point origin,
                                      std::vector<float> pixels,
                                      std::shared_ptr<const IccColorSpace> space) {
    if (width > kMaxSide || height > kMaxSide || pixels.size() != width * height * 4)
        return nullptr;
    auto owned = std::make_shared<const std::vector<float>>(std::move(pixels));
    return make(width, height, origin, owned, owned->data(), std::move(space));
}

std::unique_ptr<float[]> CIImage::allocatePixels(size_t width, size_t height) {
    if (width > kMaxSide || height > kMaxSide) return nullptr;
    return std::unique_ptr<float[]>(
        new (std::nothrow) float[std::max<size_t>(1, width * height * 4)]);
}

CIImage::Ptr CIImage::imageWithPixels(size_t width, size_t height, Point origin,
                                      std::unique_ptr<float[]> pixels,
                                      std::shared_ptr<const IccColorSpace> space) {
    if (!pixels || width > kMaxSide || height > kMaxSide) return nullptr;
    const float* data = pixels.get();
    std::shared_ptr<const float[]> owned(std::move(pixels));
    return make(width, height, origin, std::move(owned), data, std::move(space));
}

CIImage::Ptr CIImage::make(size_t width, size_t height, Point origin,
                           std::shared_ptr<const void> owner, const float* data,
                           std::shared_ptr<const IccColorSpace> space) {
    auto provider = std::make_shared<const BitmapDataProvider>(
        std::move(owner), reinterpret_cast<const uint8_t*>(data),
        width * height * 4 * sizeof(float));
    auto bitmap = BitmapImage::create(width, height, 32, 128, width * 16, kFloatRGBA,
                                      std::move(space), std::move(provider));
    if (!bitmap) return nullptr;
    auto image = std::shared_ptr<CIImage>(new CIImage());
    image->data_ = data;
    image->rowFloats_ = width * 4;
    image->width_ = width;
    image->height_ = height;
    image->origin_ = origin;
    image->bitmap_ = std::move(bitmap);
    return image;
}

void CIImage::sample(double x, double y, bool linear, float out[4]) const {
    if (!width_ || !height_) {
        std::fill_n(out, 4, 0.0f);
        return;
    }
    // Local coordinates of pixel centres: pixel i covers [i, i + 1).
    const double maxX = double(width_ - 1), maxY = double(height_ - 1);
    double lx = x - origin_.x - 0.5, ly = y - origin_.y - 0.5;
    lx = std::isnan(lx) ? 0 : std::clamp(lx, 0.0, maxX);
    ly = std::isnan(ly) ? 0 : std::clamp(ly, 0.0, maxY);
    if (!linear) {
        const float* p = pixel(size_t(std::floor(lx + 0.5)), size_t(std::floor(ly + 0.5)));
        std::copy_n(p, 4, out);
        return;
    }
    const size_t x0 = size_t(lx), y0 = size_t(ly);
    const size_t x1 = std::min(x0 + 1, width_ - 1), y1 = std::min(y0 + 1, height_ - 1);
    const float fx = float(lx - double(x0)), fy = float(ly - double(y0));
    const float *a = pixel(x0, y0), *b = pixel(x1, y0), *c = pixel(x0, y1), *d = pixel(x1, y1);
    for (int k = 0; k < 4; ++k) {
        const float bottom = a[k] + fx * (b[k] - a[k]);
        const float top = c[k] + fx * (d[k] - c[k]);
        out[k] = bottom + fy * (top - bottom);
    }
}

}  // namespace platform
