#include "platform/BitmapImage.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <new>

namespace platform {

namespace {

bool mulOverflows(size_t a, size_t b, size_t& out) { return __builtin_mul_overflow(a, b, &out); }
bool addOverflows(size_t a, size_t b, size_t& out) { return __builtin_add_overflow(a, b, &out); }

// Bytes that `height` rows of a bitmap really touch; false on overflow.
bool bytesNeeded(size_t width, size_t height, size_t bitsPerPixel, size_t bytesPerRow,
                 size_t& out) {
    out = 0;
    if (width == 0 || height == 0) return true;
    size_t bits, rowBytes, rows;
    if (mulOverflows(width, bitsPerPixel, bits)) return false;
    rowBytes = bits / 8 + (bits % 8 ? 1 : 0);
    if (mulOverflows(height - 1, bytesPerRow, rows)) return false;
    return !addOverflows(rows, rowBytes, out);
}

bool validFormat(size_t width, size_t bitsPerComponent, size_t bitsPerPixel, size_t bytesPerRow,
                 uint32_t bitmapInfo) {
    if (bitsPerComponent == 0 || bitsPerComponent > 32) return false;
    if (bitsPerPixel < bitsPerComponent || bitsPerPixel > 256) return false;
    if ((bitmapInfo & kBitmapFloatComponents) && bitsPerComponent != 32 && bitsPerComponent != 16)
        return false;
    size_t bits;
    if (mulOverflows(width, bitsPerPixel, bits)) return false;
    return bytesPerRow >= bits / 8 + (bits % 8 ? 1 : 0);
}

bool isLittle(uint32_t order) {
    return order == kBitmapByteOrder16Little || order == kBitmapByteOrder32Little;
}

}  // namespace

std::shared_ptr<const IccColorSpace> genericLinearRGBColorSpace() {
    // Never destroyed, as the other spaces below: workers may use them at exit.
    static const auto& space = *new std::shared_ptr<const IccColorSpace>(
        IccColorSpace::withProfile(IccProfile::named(IccNamedProfile::linearRGB)));
    return space;
}

std::shared_ptr<const IccColorSpace> genericRGBColorSpace() {
    static const auto& space = *new std::shared_ptr<const IccColorSpace>(
        IccColorSpace::withProfile(IccProfile::named(IccNamedProfile::sRGB)));
    return space;
}

std::shared_ptr<const IccColorSpace> sRGBColorSpace() {
    static const auto& space = *new std::shared_ptr<const IccColorSpace>(
        IccColorSpace::withProfile(IccProfile::named(IccNamedProfile::sRGB)));
    return space;
}

BitmapDataProvider::BitmapDataProvider(std::shared_ptr<const void> owner, const uint8_t* bytes,
                                       size_t length)
    : owner_(std::move(owner)), bytes_(bytes), length_(bytes ? length : 0) {}

std::shared_ptr<const BitmapDataProvider> BitmapDataProvider::withData(std::vector<uint8_t> data) {
    auto owned = std::make_shared<const std::vector<uint8_t>>(std::move(data));
    return std::make_shared<const BitmapDataProvider>(owned, owned->data(), owned->size());
}

std::shared_ptr<const std::vector<uint8_t>> BitmapDataProvider::copyData() const {
    if (!bytes_) return std::make_shared<const std::vector<uint8_t>>();
    return std::make_shared<const std::vector<uint8_t>>(bytes_, bytes_ + length_);
}

std::shared_ptr<const BitmapDataProvider> BitmapDataProvider::subrange(size_t offset,
                                                                       size_t length) const {
    size_t end;
    if (addOverflows(offset, length, end) || end > length_) return nullptr;
    return std::make_shared<const BitmapDataProvider>(owner_, bytes_ + offset, length);
}

std::shared_ptr<const BitmapImage> BitmapImage::create(
    size_t width, size_t height, size_t bitsPerComponent, size_t bitsPerPixel, size_t bytesPerRow,
    uint32_t bitmapInfo, std::shared_ptr<const IccColorSpace> space,
    std::shared_ptr<const BitmapDataProvider> provider, bool shouldInterpolate,
    int renderingIntent) {
    if (!validFormat(width, bitsPerComponent, bitsPerPixel, bytesPerRow, bitmapInfo))
        return nullptr;
    size_t needed;
    if (!bytesNeeded(width, height, bitsPerPixel, bytesPerRow, needed)) return nullptr;
    if (provider && provider->length() < needed) return nullptr;
    auto image = std::shared_ptr<BitmapImage>(new BitmapImage());
    image->width_ = width;
    image->height_ = height;
    image->bitsPerComponent_ = bitsPerComponent;
    image->bitsPerPixel_ = bitsPerPixel;
    image->bytesPerRow_ = bytesPerRow;
    image->bitmapInfo_ = bitmapInfo;
    image->shouldInterpolate_ = shouldInterpolate;
    image->renderingIntent_ = renderingIntent;
    image->space_ = std::move(space);
    image->provider_ = std::move(provider);
    return image;
}

std::shared_ptr<const BitmapImage> BitmapImage::cropped(const Rect& rect) const {
    if (!provider_ || bitsPerPixel_ % 8) return nullptr;
    Rect r = rect.integral().intersection(
        Rect{0, 0, static_cast<double>(width_), static_cast<double>(height_)});
    if (r.isEmpty()) return nullptr;
    size_t x = static_cast<size_t>(r.x), y = static_cast<size_t>(r.y);
    size_t w = static_cast<size_t>(r.width), h = static_cast<size_t>(r.height);
    size_t offset = y * bytesPerRow_ + x * (bitsPerPixel_ / 8);
    size_t length = (h - 1) * bytesPerRow_ + w * (bitsPerPixel_ / 8);
    auto sub = provider_->subrange(offset, length);
    if (!sub) return nullptr;
    return create(w, h, bitsPerComponent_, bitsPerPixel_, bytesPerRow_, bitmapInfo_, space_, sub,
                  shouldInterpolate_, renderingIntent_);
}

uint32_t effectiveBitmapByteOrder(uint32_t bitmapInfo, size_t bitsPerComponent) {
    uint32_t order = bitmapInfo & kBitmapByteOrderMask;
    if (order != kBitmapByteOrderDefault) return order;
    if ((bitmapInfo & kBitmapFloatComponents) || bitsPerComponent == 32)
        return kBitmapByteOrder32Big;
    if (bitsPerComponent == 16) return kBitmapByteOrder16Big;
    return kBitmapByteOrderDefault;
}

double loadBitmapComponent(const uint8_t* p, size_t bitsPerComponent, bool isFloat,
                           uint32_t byteOrder) {
    const bool swap = isLittle(byteOrder) != (std::endian::native == std::endian::little);
    if (bitsPerComponent == 32) {
        uint32_t v;
        std::memcpy(&v, p, 4);
        if (swap) v = __builtin_bswap32(v);
        return isFloat ? static_cast<double>(std::bit_cast<float>(v)) : static_cast<double>(v);
    }
    if (bitsPerComponent == 16 && !isFloat) {
        uint16_t v;
        std::memcpy(&v, p, 2);
        if (swap) v = __builtin_bswap16(v);
        return v;
    }
    if (bitsPerComponent == 8 && !isFloat) return p[0];
    return std::nan("");
}

void storeBitmapComponent(uint8_t* p, size_t bitsPerComponent, bool isFloat, uint32_t byteOrder,
                          double value) {
    const bool swap = isLittle(byteOrder) != (std::endian::native == std::endian::little);
    auto clampRound = [](double v, double top) {
        if (!(v > 0)) return 0.0;
        return v >= top ? top : std::floor(v + 0.5);
    };
    if (bitsPerComponent == 32) {
        uint32_t v = isFloat ? std::bit_cast<uint32_t>(static_cast<float>(value))
                             : static_cast<uint32_t>(clampRound(value, 4294967295.0));
        if (swap) v = __builtin_bswap32(v);
        std::memcpy(p, &v, 4);
    } else if (bitsPerComponent == 16 && !isFloat) {
        uint16_t v = static_cast<uint16_t>(clampRound(value, 65535.0));
        if (swap) v = __builtin_bswap16(v);
        std::memcpy(p, &v, 2);
    } else if (bitsPerComponent == 8 && !isFloat) {
        p[0] = static_cast<uint8_t>(clampRound(value, 255.0));
    }
}

std::unique_ptr<BitmapContext> BitmapContext::create(size_t width, size_t height,
                                                     size_t bitsPerComponent, size_t bitsPerPixel,
                                                     size_t bytesPerRow,
                                                     std::shared_ptr<const IccColorSpace> space,
                                                     uint32_t bitmapInfo) {
    if (bytesPerRow == 0) {
        size_t bits;
        if (mulOverflows(width, bitsPerPixel, bits)) return nullptr;
        bytesPerRow = bits / 8 + (bits % 8 ? 1 : 0);
    }
    if (!validFormat(width, bitsPerComponent, bitsPerPixel, bytesPerRow, bitmapInfo))
        return nullptr;
    size_t total;
    if (mulOverflows(bytesPerRow, height, total)) return nullptr;
    auto ctx = std::unique_ptr<BitmapContext>(new BitmapContext());
    try {
        ctx->data_.assign(total, 0);
    } catch (const std::bad_alloc&) {
        return nullptr;
    } catch (const std::length_error&) {
        return nullptr;
    }
    ctx->width_ = width;
    ctx->height_ = height;
    ctx->bitsPerComponent_ = bitsPerComponent;
    ctx->bitsPerPixel_ = bitsPerPixel;
    ctx->bytesPerRow_ = bytesPerRow;
    ctx->bitmapInfo_ = bitmapInfo;
    ctx->space_ = std::move(space);
    return ctx;
}

namespace {

bool isUnitOrZero(double v) { return v == 0 || v == 1 || v == -1; }
bool isWhole(double v) { return std::floor(v) == v; }

}  // namespace

bool BitmapContext::drawImage(const Rect& rect, const BitmapImage& image) {
    if (image.bitsPerComponent() != bitsPerComponent_ || image.bitsPerPixel() != bitsPerPixel_ ||
        image.bitmapInfo() != bitmapInfo_ || bitsPerPixel_ % 8)
        return false;
    const auto& provider = image.dataProvider();
    if (!provider) return false;
    const size_t iw = image.width(), ih = image.height();
    if (iw == 0 || ih == 0 || rect.isEmpty() || width_ == 0 || height_ == 0) return true;

    // Image pixel space (u right, v up from the bottom row) to device space.
    Rect r = rect.standardized();
    AffineTransform toUser{r.width / iw, 0, 0, r.height / ih, r.x, r.y};
    AffineTransform toDevice = toUser.concat(ctm_);
    if (toDevice.determinant() == 0) return true;
    AffineTransform toImage = toDevice.inverted();

    const size_t pixelBytes = bitsPerPixel_ / 8;
    const bool wholePixels = isUnitOrZero(toDevice.a) && isUnitOrZero(toDevice.b) &&
                             isUnitOrZero(toDevice.c) && isUnitOrZero(toDevice.d) &&
                             isWhole(toDevice.tx) && isWhole(toDevice.ty);
    const bool nearest =
        wholePixels || quality_ == BitmapInterpolation::None || bitsPerComponent_ % 8;
    const uint8_t* src = provider->bytes();
    const size_t srcRow = image.bytesPerRow();
    const size_t components = bitsPerPixel_ / bitsPerComponent_;
    const size_t componentBytes = bitsPerComponent_ / 8;
    const bool isFloat = image.isFloat();
    const uint32_t order = effectiveBitmapByteOrder(bitmapInfo_, bitsPerComponent_);

    for (size_t row = 0; row < height_; ++row) {
        uint8_t* out = data_.data() + row * bytesPerRow_;
        for (size_t col = 0; col < width_; ++col) {
            Point q = toImage.apply({col + 0.5, height_ - row - 0.5});
            if (!(q.x >= 0 && q.y >= 0 && q.x < double(iw) && q.y < double(ih))) continue;
            if (nearest) {
                size_t ix = static_cast<size_t>(q.x), iv = static_cast<size_t>(q.y);
                const uint8_t* s = src + (ih - 1 - iv) * srcRow + ix * pixelBytes;
                std::memcpy(out + col * pixelBytes, s, pixelBytes);
                continue;
            }
            double fx = std::clamp(q.x - 0.5, 0.0, double(iw - 1));
            double fv = std::clamp(q.y - 0.5, 0.0, double(ih - 1));
            size_t x0 = static_cast<size_t>(fx), v0 = static_cast<size_t>(fv);
            size_t x1 = std::min(x0 + 1, iw - 1), v1 = std::min(v0 + 1, ih - 1);
            double wx = fx - x0, wv = fv - v0;
            const uint8_t* r0 = src + (ih - 1 - v0) * srcRow;
            const uint8_t* r1 = src + (ih - 1 - v1) * srcRow;
            for (size_t c = 0; c < components; ++c) {
                auto at = [&](const uint8_t* rowp, size_t x) {
                    return loadBitmapComponent(rowp + x * pixelBytes + c * componentBytes,
                                               bitsPerComponent_, isFloat, order);
                };
                double top = at(r0, x0) * (1 - wx) + at(r0, x1) * wx;
                double bottom = at(r1, x0) * (1 - wx) + at(r1, x1) * wx;
                storeBitmapComponent(out + col * pixelBytes + c * componentBytes, bitsPerComponent_,
                                     isFloat, order, top * (1 - wv) + bottom * wv);
            }
        }
    }
    return true;
}

std::shared_ptr<const BitmapImage> BitmapContext::makeImage() const {
    return BitmapImage::create(width_, height_, bitsPerComponent_, bitsPerPixel_, bytesPerRow_,
                               bitmapInfo_, space_, BitmapDataProvider::withData(data_));
}

}  // namespace platform
