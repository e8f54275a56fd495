// Wraps one immutable bitmap image and turns its stored samples into the
// plain layouts the writers and readouts need: packed 16-bit RGB, float RGBA
// and single pixel values, whatever the image's component size, alpha layout
// and byte order.
//
// Ownership: holds the image (shared) and reads its provider's bytes in
// place (the image is immutable). Thread safety: none; a wrapper belongs to the
// thread that asked for it.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "color/ColorSyncProfileWrap.h"
#include "platform/BitmapImage.h"

class CGImageBitMap {
public:
    // Null for a null image.
    static std::shared_ptr<CGImageBitMap> initWithCGImageRef(
        std::shared_ptr<const platform::BitmapImage> image);

    // Obsolete (logged): renders a float-RGBA image (as genImage and getImage
    // make them) into the rendering space (generic RGB without one), as
    // premultiplied floats or, with useByte, 8-bit samples. The working and
    // output spaces only label intermediate steps and do not change values.
    static std::shared_ptr<CGImageBitMap> initWithCIImageUsingSpace(
        const std::shared_ptr<const platform::BitmapImage>& image,
        const ColorSyncProfileWrap::Ptr& csWorkingSpace,
        const ColorSyncProfileWrap::Ptr& csOutputSpace,
        const ColorSyncProfileWrap::Ptr& csRenderingSpace, int renderingIntent,
        bool useCreateCGImage, bool useByte);

    const std::shared_ptr<const platform::BitmapImage>& getImageRef() const { return myImage; }
    int32_t getWidth() const;
    int32_t getHeight() const;
    platform::Rect extent() const;

    // Copies the bytes and decodes the descriptors once; false when the
    // image's bytes cannot be had or its layout is unsupported.
    bool getDataProvider();

    // width x height x 3 samples, rows packed, top row first, white 65535
    // (a 16-bit image's 65325 white included). The span must hold them all.
    bool getLinearBuffer(std::span<uint16_t> out);
    // width x height x 4 floats (R, G, B, A), rows packed, top row first.
    bool getFloatRGBABuffer(std::span<float> out);
    // The same for `count` rows from `first` (out holds count x width pixels),
    // so that a writer can take the image band by band. Safe from several
    // threads at once once getDataProvider has succeeded.
    bool getLinearRows(size_t first, size_t count, uint16_t* out);
    bool getFloatRGBARows(size_t first, size_t count, float* out);
    bool getPixelValues(int32_t col, int32_t row, double values[4]);
    void dumpCGImageInfo(int row);

    // The image cropped to `rect` (whole when its width is 0 or less), then
    // redrawn at `newSize` and turned by the EXIF orientation when asked.
    // Null when the rectangle misses the image.
    std::shared_ptr<CGImageBitMap> croppedAndScaledImage(const platform::Rect& rect,
                                                         platform::Size newSize, int orientation);
    static std::unique_ptr<platform::BitmapContext> createResizedImageBitmap(
        const platform::BitmapImage& image, platform::Size newSize, bool drawTransposed,
        int orientation, platform::BitmapInterpolation quality);

    // The EXIF orientation's drawing transform for an image of w x h.
    static platform::AffineTransform orientationTransform(int orientation, double w, double h);

    // Decoded descriptors (valid after getDataProvider succeeded).
    uint32_t bitMap() const { return bitMap_; }
    uint32_t byteOrder() const { return byteOrder_; }
    int64_t rIndex() const { return rIndex_; }
    int64_t bufferInc() const { return bufferInc_; }
    bool premultipliedAlpha() const { return premultipliedAlpha_; }

private:
    explicit CGImageBitMap(std::shared_ptr<const platform::BitmapImage> image);
    bool readable(const char* method);
    bool readComponent(const uint8_t* pixel, int64_t index, double& out) const;
    bool readColour(const uint8_t* pixel, double rgba[4]) const;
    template <class Out, class Store>
    bool convertRows(size_t first, size_t count, Out* out, Store store, size_t outSamples,
                     double scale) const;
    template <class Out>
    bool convertAll(std::span<Out> out, size_t outSamples,
                    bool (CGImageBitMap::*rows)(size_t, size_t, Out*));

    std::shared_ptr<const platform::BitmapImage> myImage;
    uint32_t bitMap_ = 0;
    uint64_t bitsPerComponent_ = 0;
    uint64_t bytesPerRow_ = 0;
    std::shared_ptr<const platform::BitmapDataProvider> dpr;
    const uint8_t* data_ = nullptr;  // the provider's bytes, kept alive by dpr
    size_t dataLength_ = 0;
    uint32_t byteOrder_ = 0;
    int64_t rIndex_ = 0;
    int64_t bufferInc_ = 0;
    bool premultipliedAlpha_ = false;
};
