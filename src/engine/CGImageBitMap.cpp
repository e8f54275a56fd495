#include "engine/CGImageBitMap.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/Dispatch.h"
#include "platform/IccTransform.h"
#include "platform/Log.h"

using platform::AffineTransform;
using platform::BitmapContext;
using platform::BitmapImage;
using platform::Rect;
using platform::Size;

namespace {

bool swapFromLittle(bool dataIsLittle) {
    return dataIsLittle != (std::endian::native == std::endian::little);
}

// One sample of a 16-bit or 32-bit float component.
struct Unsigned16 {
    bool swap;
    double operator()(const uint8_t* pixel, int64_t index) const {
        uint16_t v;
        std::memcpy(&v, pixel + index * 2, 2);
        if (swap) v = __builtin_bswap16(v);
        return double(v) / 65535.0;
    }
};

struct Float32 {
    bool swap;
    double operator()(const uint8_t* pixel, int64_t index) const {
        uint32_t v;
        std::memcpy(&v, pixel + index * 4, 4);
        if (swap) v = __builtin_bswap32(v);
        return std::bit_cast<float>(v);
    }
};

// R, G, B (unpremultiplied) and A (1 without premultiplied alpha).
template <class Read>
inline void colourOf(const Read& read, const uint8_t* pixel, int64_t rIndex, bool premultiplied,
                     double rgba[4]) {
    for (int c = 0; c < 3; ++c) rgba[c] = read(pixel, rIndex + c);
    rgba[3] = 1.0;
    if (premultiplied) {
        rgba[3] = read(pixel, rIndex == 1 ? 0 : 3);
        // Dividing by exactly 1 changes nothing: opaque pixels skip it.
        if (rgba[3] != 1.0)
            for (int c = 0; c < 3; ++c) rgba[c] /= rgba[3];
    }
}

}  // namespace

CGImageBitMap::CGImageBitMap(std::shared_ptr<const BitmapImage> image)
    : myImage(std::move(image)) {}

std::shared_ptr<CGImageBitMap> CGImageBitMap::initWithCGImageRef(
    std::shared_ptr<const BitmapImage> image) {
    if (!image) return nullptr;
    return std::shared_ptr<CGImageBitMap>(new CGImageBitMap(std::move(image)));
}

int32_t CGImageBitMap::getWidth() const {
    return myImage ? static_cast<int32_t>(myImage->width()) : 0;
}

int32_t CGImageBitMap::getHeight() const {
    return myImage ? static_cast<int32_t>(myImage->height()) : 0;
}

Rect CGImageBitMap::extent() const {
    if (!myImage) return Rect{};
    return Rect{0, 0, double(myImage->width()), double(myImage->height())};
}

bool CGImageBitMap::getDataProvider() {
    if (dpr) return true;
    if (!myImage) return false;
    bitMap_ = myImage->bitmapInfo();
    bitsPerComponent_ = myImage->bitsPerComponent();
    bytesPerRow_ = myImage->bytesPerRow();
    bufferInc_ = static_cast<int64_t>(myImage->bitsPerPixel() / myImage->bitsPerComponent());
    auto provider = myImage->dataProvider();
    if (!provider) {
        platform::log("%s: Could not get a CGImageGetDataProvider - no image data is available",
                      "-[CGImageBitMap getDataProvider]");
        return false;
    }
    // The image is immutable: its bytes are read where they are, not copied.
    if (!provider->bytes() || provider->length() == 0) {
        platform::log("%s: Could not get data from the data provider - no image data is available",
                      "-[CGImageBitMap getDataProvider]");
        return false;
    }
    uint32_t alpha = bitMap_ & platform::kBitmapAlphaInfoMask;
    if (alpha >= platform::kBitmapAlphaOnly) return false;  // alpha-only images are unsupported
    rIndex_ = (alpha == platform::kBitmapAlphaPremultipliedFirst ||
               alpha == platform::kBitmapAlphaFirst || alpha == platform::kBitmapAlphaNoneSkipFirst)
                  ? 1
                  : 0;
    premultipliedAlpha_ = alpha == platform::kBitmapAlphaPremultipliedLast ||
                          alpha == platform::kBitmapAlphaPremultipliedFirst;
    // Descriptors that put a colour or the alpha outside the pixel would make
    // every read run past it; such an image is not read at all.
    int64_t needed = premultipliedAlpha_ ? 4 : rIndex_ + 3;
    if (bufferInc_ < needed) {
        platform::log("%s: unsupported pixel layout", "-[CGImageBitMap getDataProvider]");
        return false;
    }
    byteOrder_ = bitMap_ & platform::kBitmapByteOrderMask;
    if (byteOrder_ == platform::kBitmapByteOrderDefault) {
        if ((bitMap_ & platform::kBitmapFloatComponents) || bitsPerComponent_ == 32)
            byteOrder_ = platform::kBitmapByteOrder32Big;
        else if (bitsPerComponent_ == 16)
            byteOrder_ = platform::kBitmapByteOrder16Big;
    }
    // Rows that would run past the bytes are refused here, not read.
    const size_t w = myImage->width(), h = myImage->height();
    const size_t pixelBytes = size_t(bufferInc_) * (bitsPerComponent_ / 8);
    if (w != 0 && h != 0 &&
        (bytesPerRow_ < w * pixelBytes ||
         provider->length() < (h - 1) * bytesPerRow_ + w * pixelBytes)) {
        platform::log("%s: the image's bytes are shorter than its rows",
                      "-[CGImageBitMap getDataProvider]");
        return false;
    }
    data_ = provider->bytes();
    dataLength_ = provider->length();
    dpr = std::move(provider);
    return true;
}

bool CGImageBitMap::readComponent(const uint8_t* pixel, int64_t index, double& out) const {
    if (bitMap_ & platform::kBitmapFloatComponents) {
        if (bitsPerComponent_ != 32) return false;
        out =
            Float32{swapFromLittle(byteOrder_ == platform::kBitmapByteOrder32Little)}(pixel, index);
        return true;
    }
    switch (bitsPerComponent_) {
        case 32: {
            uint32_t v;
            std::memcpy(&v, pixel + index * 4, 4);
            if (swapFromLittle(byteOrder_ != platform::kBitmapByteOrder32Big))
                v = __builtin_bswap32(v);
            out = double(v) / 4294967296.0;
            return true;
        }
        case 16:
            out = Unsigned16{swapFromLittle(byteOrder_ != platform::kBitmapByteOrder16Big)}(pixel,
                                                                                            index);
            return true;
        case 8:
            out = double(pixel[index]) / 255.0;
            return true;
        default:
            return false;
    }
}

// R, G, B (unpremultiplied) and A (1 without premultiplied alpha).
bool CGImageBitMap::readColour(const uint8_t* pixel, double rgba[4]) const {
    bool ok = true;
    colourOf(
        [&](const uint8_t* p, int64_t index) {
            double v = 0;
            ok = readComponent(p, index, v) && ok;
            return v;
        },
        pixel, rIndex_, premultipliedAlpha_, rgba);
    return ok;
}

bool CGImageBitMap::readable(const char* method) {
    if (!myImage) {
        platform::log("%s: myImage NULL", method);
        return false;
    }
    if (!getDataProvider()) {
        platform::log("%s: getDataProvider returned NULL", method);
        return false;
    }
    return true;
}

namespace {

struct StoreLinear {
    void operator()(const double rgba[4], double toFullScale, uint16_t* o) const {
        double c[3] = {rgba[0] * toFullScale, rgba[1] * toFullScale, rgba[2] * toFullScale};
        const double m = std::max({c[0], c[1], c[2], 1.0});
        for (int k = 0; k < 3; ++k) {
            const double v = m == 1.0 ? c[k] : c[k] / m;
            // The nudge keeps an exact white from truncating one below.
            o[k] = (v >= 0 && v <= 1) ? static_cast<uint16_t>(std::min(v * 65535.0 + 1e-7, 65535.0))
                                      : 0;
        }
    }
};

struct StoreFloatRGBA {
    void operator()(const double rgba[4], double, float* o) const {
        for (int k = 0; k < 4; ++k) o[k] = static_cast<float>(rgba[k]);
    }
};

// Rows the whole-image conversions hand to each task: small enough to share
// the work, large enough to amortise the hand-over.
constexpr size_t kConversionBandRows = 64;

}  // namespace

template <class Out, class Store>
bool CGImageBitMap::convertRows(size_t first, size_t count, Out* out, Store store,
                                size_t outSamples, double scale) const {
    const size_t w = myImage->width();
    const size_t pixelBytes = size_t(bufferInc_) * (bitsPerComponent_ / 8);
    const bool isFloat = bitMap_ & platform::kBitmapFloatComponents;
    auto rows = [&](const auto& read) {
        for (size_t y = 0; y < count; ++y) {
            const uint8_t* row = data_ + (first + y) * bytesPerRow_;
            Out* o = out + y * w * outSamples;
            for (size_t x = 0; x < w; ++x, o += outSamples) {
                double c[4];
                colourOf(read, row + x * pixelBytes, rIndex_, premultipliedAlpha_, c);
                store(c, scale, o);
            }
        }
        return true;
    };
    if (isFloat && bitsPerComponent_ == 32)
        return rows(Float32{swapFromLittle(byteOrder_ == platform::kBitmapByteOrder32Little)});
    if (!isFloat && bitsPerComponent_ == 16)
        return rows(Unsigned16{swapFromLittle(byteOrder_ != platform::kBitmapByteOrder16Big)});
    // Other layouts take the general reader.
    for (size_t y = 0; y < count; ++y) {
        const uint8_t* row = data_ + (first + y) * bytesPerRow_;
        Out* o = out + y * w * outSamples;
        for (size_t x = 0; x < w; ++x, o += outSamples) {
            double c[4];
            if (!readColour(row + x * pixelBytes, c)) return false;
            store(c, scale, o);
        }
    }
    return true;
}

bool CGImageBitMap::getLinearRows(size_t first, size_t count, uint16_t* out) {
    if (!readable("-[CGImageBitMap getLinearBuffer:]")) return false;
    if (first > myImage->height() || count > myImage->height() - first) return false;
    // The engine's 16-bit white is 65325 while the files these samples go to
    // declare 65535; float and 8-bit images already have 1.0 as white.
    const double toFullScale =
        !(bitMap_ & platform::kBitmapFloatComponents) && bitsPerComponent_ == 16 ? 65535.0 / 65325.0
                                                                                 : 1.0;
    return convertRows<uint16_t>(first, count, out, StoreLinear(), 3, toFullScale);
}

bool CGImageBitMap::getFloatRGBARows(size_t first, size_t count, float* out) {
    if (!readable("-[CGImageBitMap getFloatRGBABuffer:]")) return false;
    if (first > myImage->height() || count > myImage->height() - first) return false;
    return convertRows<float>(first, count, out, StoreFloatRGBA(), 4, 1.0);
}

template <class Out>
bool CGImageBitMap::convertAll(std::span<Out> out, size_t outSamples,
                               bool (CGImageBitMap::*rows)(size_t, size_t, Out*)) {
    const size_t w = myImage ? myImage->width() : 0, h = myImage ? myImage->height() : 0;
    if (w && h && out.size() / outSamples < w * h) return false;
    if (!w || !h) return (this->*rows)(0, h, out.data());
    // Each pixel is converted on its own: any split gives the same samples.
    const size_t bands = (h + kConversionBandRows - 1) / kConversionBandRows;
    std::atomic<bool> ok{(this->*rows)(0, std::min(h, kConversionBandRows), out.data())};
    if (!ok || bands == 1) return ok;
    platform::apply(bands - 1, platform::DispatchQueue::global(), [&](size_t i) {
        const size_t y0 = (i + 1) * kConversionBandRows;
        const size_t n = std::min(h - y0, kConversionBandRows);
        if (!(this->*rows)(y0, n, out.data() + y0 * w * outSamples)) ok = false;
    });
    return ok;
}

bool CGImageBitMap::getLinearBuffer(std::span<uint16_t> out) {
    return convertAll<uint16_t>(out, 3, &CGImageBitMap::getLinearRows);
}

bool CGImageBitMap::getFloatRGBABuffer(std::span<float> out) {
    return convertAll<float>(out, 4, &CGImageBitMap::getFloatRGBARows);
}

bool CGImageBitMap::getPixelValues(int32_t col, int32_t row, double values[4]) {
    if (!myImage || !getDataProvider()) return false;
    if (col < 0 || row < 0 || size_t(col) >= myImage->width() || size_t(row) >= myImage->height()) {
        values[0] = values[1] = values[2] = 0;
        values[3] = 1;
        return false;
    }
    const size_t pixelBytes = size_t(bufferInc_) * (bitsPerComponent_ / 8);
    double c[4];
    if (!readColour(data_ + size_t(row) * bytesPerRow_ + size_t(col) * pixelBytes, c)) return false;
    values[0] = c[0];
    values[1] = c[1];
    values[2] = c[2];
    return true;
}

void CGImageBitMap::dumpCGImageInfo(int row) {
    if (!myImage) return;
    platform::log("%s image size: %zu x %zu", "-[CGImageBitMap dumpCGImageInfo:]", myImage->width(),
                  myImage->height());
    platform::log("Alpha %d ", int(myImage->alphaInfo()));
    platform::log("bitsPerPixel %ld \n", long(myImage->bitsPerPixel()));
    platform::log("Bitmap 0x%x ", myImage->bitmapInfo());
    platform::log("bitsPerComponent %ld \n", long(myImage->bitsPerComponent()));
    if (!myImage->dataProvider()) {
        platform::log(
            "VodiRurar could not get a CGImageGetDataProvider - no image data is available");
        return;
    }
    if (!getDataProvider()) {
        platform::log(
            "VodiRurar could not get data from CGDataProviderCopyData - no image data is "
            "available");
        return;
    }
    platform::log("byteOrder 0x%x \n", byteOrder_);
    platform::log("Data length: %li", long(dataLength_));
    if (row < 0 || size_t(row) >= myImage->height()) return;
    const size_t componentBytes = bitsPerComponent_ / 8;
    if (componentBytes == 0) return;
    const size_t rowComponents =
        std::min<size_t>(bytesPerRow_, dataLength_ - size_t(row) * bytesPerRow_) / componentBytes;
    const uint8_t* base = data_ + size_t(row) * bytesPerRow_;
    const bool isFloat = bitMap_ & platform::kBitmapFloatComponents;
    for (int line = 0; line < 25; ++line) {
        const size_t first = 256 + size_t(line) * 4;
        if (first + 4 > rowComponents) break;  // never past the row
        std::string text = std::to_string(first) + ": ";
        for (size_t k = 0; k < 4; ++k) {
            double v = 0;
            if (!readComponent(base, int64_t(first + k), v)) return;
            char buffer[64];
            if (isFloat) {
                std::snprintf(buffer, sizeof buffer, "%f ", v);
            } else {
                double raw = std::round(v * (bitsPerComponent_ == 8    ? 255.0
                                             : bitsPerComponent_ == 16 ? 65535.0
                                                                       : 4294967296.0));
                std::snprintf(buffer, sizeof buffer, "%i %f ", int(raw), v);
            }
            text += buffer;
        }
        platform::log("%s", text.c_str());
    }
}

AffineTransform CGImageBitMap::orientationTransform(int orientation, double w, double h) {
    switch (orientation) {
        case 2:
            return {-1, 0, 0, 1, w, 0};
        case 3:
            return {-1, 0, 0, -1, w, h};
        case 4:
            return {1, 0, 0, -1, 0, h};
        case 5:
            return {0, -1, -1, 0, h, w};
        case 6:
            return {0, -1, 1, 0, 0, w};
        case 7:
            return {0, 1, 1, 0, 0, 0};
        case 8:
            return {0, 1, -1, 0, h, 0};
        default:
            return {};
    }
}

std::unique_ptr<BitmapContext> CGImageBitMap::createResizedImageBitmap(
    const BitmapImage& image, Size newSize, bool drawTransposed, int orientation,
    platform::BitmapInterpolation quality) {
    if (newSize.width < 1 || newSize.height < 1)
        newSize = Size{double(image.width()), double(image.height())};
    const double w = std::ceil(newSize.width), h = std::ceil(newSize.height);
    if (w > 65535 * 4 || h > 65535 * 4) return nullptr;
    const bool swap = orientation >= 5 && orientation <= 8;
    // The context keeps the image's own pixel layout (padding components
    // included), so that the image can be drawn into it unchanged.
    auto ctx =
        BitmapContext::create(size_t(swap ? h : w), size_t(swap ? w : h), image.bitsPerComponent(),
                              image.bitsPerPixel(), 0, image.colorSpace(), image.bitmapInfo());
    if (!ctx) return nullptr;
    ctx->concatCTM(orientationTransform(orientation < 1 ? 1 : orientation, w, h));
    ctx->setInterpolationQuality(quality);
    ctx->drawImage(drawTransposed ? Rect{0, 0, h, w} : Rect{0, 0, w, h}, image);
    return ctx;
}

std::shared_ptr<CGImageBitMap> CGImageBitMap::croppedAndScaledImage(const Rect& rect, Size newSize,
                                                                    int orientation) {
    if (!myImage) return nullptr;
    std::shared_ptr<const BitmapImage> image = myImage;
    if (rect.width > 0) {
        image = myImage->cropped(rect);
        if (!image) return nullptr;
    }
    const bool sameSize = newSize.width == rect.width && newSize.height == rect.height;
    if ((newSize.width == 0 && orientation < 2) || (sameSize && orientation <= 1))
        return initWithCGImageRef(image);
    Size size = newSize.width < 1 ? Size{rect.width, rect.height} : newSize;
    auto ctx = createResizedImageBitmap(*image, size, false, orientation,
                                        platform::BitmapInterpolation::High);
    if (!ctx) return nullptr;
    return initWithCGImageRef(ctx->makeImage());
}

std::shared_ptr<CGImageBitMap> CGImageBitMap::initWithCIImageUsingSpace(
    const std::shared_ptr<const BitmapImage>& image, const ColorSyncProfileWrap::Ptr&,
    const ColorSyncProfileWrap::Ptr&, const ColorSyncProfileWrap::Ptr& csRenderingSpace,
    int renderingIntent, bool useCreateCGImage, bool useByte) {
    const char* method =
        "-[CGImageBitMap initWithCIImageUsingSpace:csWorkingSpace:csOutputSpace:csRenderingSpace:"
        "renderingIntent:useCreateCGImage:useByte:]";
    platform::log("%s WARNING - obselete function used", method);
    auto source = initWithCGImageRef(image);
    if (!source) return nullptr;
    const size_t w = image->width(), h = image->height();
    if (w == 0 || h == 0 || w > 65535 || h > 65535) return nullptr;
    std::vector<float> rgba(w * h * 4);
    if (!source->getFloatRGBABuffer(rgba)) return nullptr;

    auto rendering =
        csRenderingSpace ? csRenderingSpace->cgColorSpace() : platform::genericRGBColorSpace();
    auto from = image->colorSpace() ? image->colorSpace() : platform::sRGBColorSpace();
    if (!rendering || !from) {
        platform::log("Context not created!");
        return nullptr;
    }
    if (rendering->profile() && from->profile() && !(*rendering->profile() == *from->profile())) {
        auto transform = platform::IccTransform::create(from->profile(), rendering->profile());
        if (!transform ||
            !transform->convert(rgba.data(), w, h, w * 16, platform::IccPixelLayout::rgbaFloat))
            return nullptr;
    }
    const bool alpha = rendering->numberOfComponents() < 4;
    std::vector<uint8_t> out(w * h * (useByte ? 4 : 16));
    for (size_t i = 0; i < w * h; ++i) {
        const float a = alpha ? rgba[i * 4 + 3] : 1.0f;
        float px[4] = {rgba[i * 4] * a, rgba[i * 4 + 1] * a, rgba[i * 4 + 2] * a, a};
        if (useByte) {
            // ARGB when the picture is made directly, RGBA otherwise.
            const int first = useCreateCGImage ? 1 : 0;
            for (int c = 0; c < 4; ++c) {
                const float v = std::clamp(px[c], 0.0f, 1.0f);
                out[i * 4 + ((c == 3) ? (first ? 0 : 3) : c + first)] = uint8_t(v * 255.0f + 0.5f);
            }
        } else {
            std::memcpy(&out[i * 16], px, 16);
        }
    }
    uint32_t info = alpha ? (useByte && useCreateCGImage ? platform::kBitmapAlphaPremultipliedFirst
                                                         : platform::kBitmapAlphaPremultipliedLast)
                          : platform::kBitmapAlphaNoneSkipLast;
    if (!useByte) info |= platform::kBitmapFloatComponents | platform::kBitmapByteOrder32Little;
    const int intent = renderingIntent >= 1 && renderingIntent <= 4 ? renderingIntent : 0;
    return initWithCGImageRef(BitmapImage::create(
        w, h, useByte ? 8 : 32, useByte ? 32 : 128, w * (useByte ? 4 : 16), info, rendering,
        platform::BitmapDataProvider::withData(std::move(out)), false, intent));
}
