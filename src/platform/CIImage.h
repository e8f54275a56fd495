// An image of our Core Image replacement: a bitmap of 32-bit float RGBA
// (premultiplied alpha last, native little-endian) placed in a plane whose y
// axis points up. Its extent is (origin.x, origin.y, width, height); bitmap
// row 0 is the top row of the extent. Filters read these pixels with plain
// C++ kernels and make new images; nothing is rendered lazily.
//
// Ownership: an image holds its bitmap (shared, immutable). Images never
// change once made, so they may be shared and read from any thread.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "platform/BitmapGeometry.h"
#include "platform/BitmapImage.h"
#include "platform/Value.h"

namespace platform {

class CIImage : public Object {
public:
    using Ptr = std::shared_ptr<const CIImage>;

    // Largest side of an image a filter makes.
    static constexpr size_t kMaxSide = 65535;

    // The bitmap itself when it already holds float RGBA, else a float copy
    // (integers normalised to 0…1, straight alpha premultiplied, no alpha read
    // as 1). Null for a missing bitmap, one without bytes, or a layout with
    // fewer than three colour components.
    static Ptr imageWithBitmap(std::shared_ptr<const BitmapImage> bitmap, Point origin = {});
    // An image of width × height pixels from width × height × 4 floats, top
    // row first. Null when the count does not match or a side is beyond
    // kMaxSide.
    static Ptr imageWithPixels(size_t width, size_t height, Point origin, std::vector<float> pixels,
                               std::shared_ptr<const IccColorSpace> space);
    // Room for width × height pixels, not initialised, so that the threads
    // of a kernel are the first to touch their rows; null for a side beyond
    // kMaxSide or when memory cannot be had.
    static std::unique_ptr<float[]> allocatePixels(size_t width, size_t height);
    // An image over pixels from allocatePixels, top row first.
    static Ptr imageWithPixels(size_t width, size_t height, Point origin,
                               std::unique_ptr<float[]> pixels,
                               std::shared_ptr<const IccColorSpace> space);

    size_t width() const { return width_; }
    size_t height() const { return height_; }
    Point origin() const { return origin_; }
    Rect extent() const { return {origin_.x, origin_.y, double(width_), double(height_)}; }
    const std::shared_ptr<const BitmapImage>& bitmap() const { return bitmap_; }
    const std::shared_ptr<const IccColorSpace>& colorSpace() const { return bitmap_->colorSpace(); }

    // Pixels of bitmap row `row` (0 = top), four floats each.
    const float* row(size_t row) const { return data_ + row * rowFloats_; }
    // The pixel at column x and row y of the extent, y counted from the bottom.
    const float* pixel(size_t x, size_t y) const { return row(height_ - 1 - y) + x * 4; }
    // The image sampled at a point of the plane (pixel centres lie on
    // half-integers), with coordinates clamped to the extent: the nearest
    // pixel, or bilinear between the four nearest.
    void sample(double x, double y, bool linear, float out[4]) const;

    std::string className() const override { return "CIImage"; }

private:
    CIImage() = default;
    static Ptr make(size_t width, size_t height, Point origin, std::shared_ptr<const void> owner,
                    const float* data, std::shared_ptr<const IccColorSpace> space);

    std::shared_ptr<const BitmapImage> bitmap_;
    const float* data_ = nullptr;
    size_t rowFloats_ = 0;
    size_t width_ = 0, height_ = 0;
    Point origin_;
};

// An image as a property-list value and back (null for anything else).
inline Value ciImageValue(CIImage::Ptr image) { return image ? Value(std::move(image)) : Value(); }
inline CIImage::Ptr ciImageFromValue(const Value& value) { return value.objectAs<CIImage>(); }

}  // namespace platform
