// Immutable bitmap images, their byte providers and colour spaces, and a
// mutable bitmap context that draws images through an affine transform.
//
// Ownership: a BitmapImage holds its provider and colour space by shared
// pointer; a provider keeps whatever owns its bytes alive (a pixel buffer's
// memory block, or its own vector). Images, providers and colour spaces never
// change after creation, so they may be shared and read from any thread.
// A BitmapContext belongs to one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/BitmapGeometry.h"
#include "platform/IccColorSpace.h"

namespace platform {

// The bitmap-information word: alpha layout in bits 0 to 4, a float flag and
// a byte order in bits 12 to 14.
enum : uint32_t {
    kBitmapAlphaNone = 0,
    kBitmapAlphaPremultipliedLast = 1,
    kBitmapAlphaPremultipliedFirst = 2,
    kBitmapAlphaLast = 3,
    kBitmapAlphaFirst = 4,
    kBitmapAlphaNoneSkipLast = 5,
    kBitmapAlphaNoneSkipFirst = 6,
    kBitmapAlphaOnly = 7,
    kBitmapAlphaInfoMask = 0x1F,
    kBitmapFloatComponents = 0x100,
    kBitmapByteOrderMask = 0x7000,
    kBitmapByteOrderDefault = 0x0000,
    kBitmapByteOrder16Little = 0x1000,
    kBitmapByteOrder32Little = 0x2000,
    kBitmapByteOrder16Big = 0x3000,
    kBitmapByteOrder32Big = 0x4000,
};

// Colour spaces of bitmaps are ICC colour spaces; these are the platform's
// generic ones, made once.
std::shared_ptr<const IccColorSpace> genericLinearRGBColorSpace();
std::shared_ptr<const IccColorSpace> genericRGBColorSpace();
std::shared_ptr<const IccColorSpace> sRGBColorSpace();

// Read-only bytes of an image.
class BitmapDataProvider {
public:
    // `bytes` .. `bytes + length` stay valid while `owner` lives.
    BitmapDataProvider(std::shared_ptr<const void> owner, const uint8_t* bytes, size_t length);
    static std::shared_ptr<const BitmapDataProvider> withData(std::vector<uint8_t> data);

    const uint8_t* bytes() const { return bytes_; }
    size_t length() const { return length_; }
    // An independent copy of the bytes (empty vector for an empty provider).
    std::shared_ptr<const std::vector<uint8_t>> copyData() const;
    // A provider over part of this one's bytes, sharing the owner; null when
    // the range lies outside.
    std::shared_ptr<const BitmapDataProvider> subrange(size_t offset, size_t length) const;

private:
    std::shared_ptr<const void> owner_;
    const uint8_t* bytes_;
    size_t length_;
};

class BitmapImage {
public:
    // Null when the descriptors contradict each other or the provider is too
    // short for height rows of bytesPerRow. A null provider makes an image
    // whose pixels cannot be had (readers must cope).
    static std::shared_ptr<const BitmapImage> create(
        size_t width, size_t height, size_t bitsPerComponent, size_t bitsPerPixel,
        size_t bytesPerRow, uint32_t bitmapInfo, std::shared_ptr<const IccColorSpace> space,
        std::shared_ptr<const BitmapDataProvider> provider, bool shouldInterpolate = false,
        int renderingIntent = 0);

    size_t width() const { return width_; }
    size_t height() const { return height_; }
    size_t bitsPerComponent() const { return bitsPerComponent_; }
    size_t bitsPerPixel() const { return bitsPerPixel_; }
    size_t bytesPerRow() const { return bytesPerRow_; }
    uint32_t bitmapInfo() const { return bitmapInfo_; }
    uint32_t alphaInfo() const { return bitmapInfo_ & kBitmapAlphaInfoMask; }
    uint32_t byteOrderInfo() const { return bitmapInfo_ & kBitmapByteOrderMask; }
    bool isFloat() const { return (bitmapInfo_ & kBitmapFloatComponents) != 0; }
    bool shouldInterpolate() const { return shouldInterpolate_; }
    int renderingIntent() const { return renderingIntent_; }
    const std::shared_ptr<const IccColorSpace>& colorSpace() const { return space_; }
    const std::shared_ptr<const BitmapDataProvider>& dataProvider() const { return provider_; }

    // The part of the image inside `rect` (pixels, origin top-left), sharing
    // the bytes; null when the rectangle misses the image or the image has
    // no bytes.
    std::shared_ptr<const BitmapImage> cropped(const Rect& rect) const;

private:
    BitmapImage() = default;
    size_t width_ = 0, height_ = 0, bitsPerComponent_ = 0, bitsPerPixel_ = 0, bytesPerRow_ = 0;
    uint32_t bitmapInfo_ = 0;
    bool shouldInterpolate_ = false;
    int renderingIntent_ = 0;
    std::shared_ptr<const IccColorSpace> space_;
    std::shared_ptr<const BitmapDataProvider> provider_;
};

// Interpolation qualities of a context.
enum class BitmapInterpolation { Default = 0, None = 1, Low = 2, High = 3, Medium = 4 };

// A zero-filled pixel grid that images are drawn into. User space has its
// origin at the bottom-left with y upward; memory row 0 is the top row.
class BitmapContext {
public:
    // Null for an unusable format or when memory cannot be had. bytesPerRow 0
    // means the tightest row.
    static std::unique_ptr<BitmapContext> create(size_t width, size_t height,
                                                 size_t bitsPerComponent, size_t bitsPerPixel,
                                                 size_t bytesPerRow,
                                                 std::shared_ptr<const IccColorSpace> space,
                                                 uint32_t bitmapInfo);

    size_t width() const { return width_; }
    size_t height() const { return height_; }
    size_t bytesPerRow() const { return bytesPerRow_; }
    size_t bitsPerComponent() const { return bitsPerComponent_; }
    size_t bitsPerPixel() const { return bitsPerPixel_; }
    uint32_t bitmapInfo() const { return bitmapInfo_; }
    uint8_t* data() { return data_.data(); }
    const uint8_t* data() const { return data_.data(); }

    void concatCTM(const AffineTransform& t) { ctm_ = t.concat(ctm_); }
    const AffineTransform& ctm() const { return ctm_; }
    void setInterpolationQuality(BitmapInterpolation q) { quality_ = q; }

    // Draws `image` so that it fills `rect` in user space. The image must
    // share the context's sample format. A mapping that moves whole pixels
    // onto whole pixels copies them exactly; anything else is sampled
    // bilinearly unless interpolation is None. False when the formats differ
    // or the image has no bytes.
    bool drawImage(const Rect& rect, const BitmapImage& image);

    // A snapshot of the pixels as an image.
    std::shared_ptr<const BitmapImage> makeImage() const;

private:
    BitmapContext() = default;
    size_t width_ = 0, height_ = 0, bitsPerComponent_ = 0, bitsPerPixel_ = 0, bytesPerRow_ = 0;
    uint32_t bitmapInfo_ = 0;
    std::shared_ptr<const IccColorSpace> space_;
    std::vector<uint8_t> data_;
    AffineTransform ctm_;
    BitmapInterpolation quality_ = BitmapInterpolation::Default;
};

// The byte order a reader should assume: the stored one, or for the default
// the big-endian order of the component size (16 or 32 bit, and floats).
uint32_t effectiveBitmapByteOrder(uint32_t bitmapInfo, size_t bitsPerComponent);

// One component as a number (integers unscaled), honouring the byte order.
double loadBitmapComponent(const uint8_t* p, size_t bitsPerComponent, bool isFloat,
                           uint32_t byteOrder);
void storeBitmapComponent(uint8_t* p, size_t bitsPerComponent, bool isFloat, uint32_t byteOrder,
                          double value);

}  // namespace platform
