// Bitmap descriptors and bytes from the fuzzer: every conversion, readout,
// crop and orientation must answer or refuse, never read outside the bytes.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "FuzzSupport.h"
#include "engine/CGImageBitMap.h"
#include "platform/BitmapImage.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzzsupport::quietLog();
    if (size < 8) return 0;
    const size_t width = data[0] % 17, height = data[1] % 17;
    static const size_t components[] = {1, 2, 4, 5, 8, 16, 32, 3};
    const size_t bpc = components[data[2] % 8];
    const size_t bpp = bpc * (1 + data[3] % 5);
    const size_t rowBytes = (width * bpp + 7) / 8 + data[4] % 9;
    const uint32_t info = uint32_t(data[5]) | (uint32_t(data[6]) << 8);
    const int orientation = data[7] % 10;
    std::vector<uint8_t> bytes(data + 8, data + size);
    auto image =
        platform::BitmapImage::create(width, height, bpc, bpp, rowBytes, info, nullptr,
                                      platform::BitmapDataProvider::withData(std::move(bytes)));
    if (!image) return 0;
    auto bm = CGImageBitMap::initWithCGImageRef(image);
    std::vector<uint16_t> rgb(width * height * 3);
    std::vector<float> rgba(width * height * 4);
    bm->getLinearBuffer(rgb);
    bm->getFloatRGBABuffer(rgba);
    double v[4];
    bm->getPixelValues(int(width) - 1, int(height) - 1, v);
    bm->getPixelValues(int(width), 0, v);
    bm->dumpCGImageInfo(0);
    CGImageBitMap::createResizedImageBitmap(*image, platform::Size{}, false, orientation,
                                            platform::BitmapInterpolation::High);
    bm->croppedAndScaledImage(platform::Rect{1, 1, 3, 2}, platform::Size{5, 4}, orientation);
    return 0;
}
