#include "document/RawThumbnailProvider.h"

#include <algorithm>
#include <cmath>
#include <mutex>

#include "document/FSNodeInfo.h"
#include "platform/AsciiCase.h"
#include "platform/IccTransform.h"
#include "platform/Locks.h"
#include "raw/rawWrapper.h"

std::vector<uint16_t> RawThumbnailProvider::fitRGB16(const uint16_t* rgb, size_t width,
                                                     size_t height, size_t outWidth,
                                                     size_t outHeight) {
    std::vector<uint16_t> out(outWidth * outHeight * 4, 65535);
    for (size_t oy = 0; oy < outHeight; ++oy) {
        const size_t y0 = oy * height / outHeight;
        const size_t y1 = std::max(y0 + 1, (oy + 1) * height / outHeight);
        for (size_t ox = 0; ox < outWidth; ++ox) {
            const size_t x0 = ox * width / outWidth;
            const size_t x1 = std::max(x0 + 1, (ox + 1) * width / outWidth);
            uint64_t sum[3] = {0, 0, 0};
            for (size_t y = y0; y < y1; ++y) {
                const uint16_t* p = rgb + (y * width + x0) * 3;
                for (size_t x = x0; x < x1; ++x, p += 3) {
                    sum[0] += p[0];
                    sum[1] += p[1];
                    sum[2] += p[2];
                }
            }
            const uint64_t n = (y1 - y0) * (x1 - x0);
            uint16_t* o = &out[(oy * outWidth + ox) * 4];
            for (int c = 0; c < 3; ++c) o[c] = uint16_t((sum[c] + n / 2) / n);
        }
    }
    return out;
}

std::shared_ptr<const platform::BitmapImage> RawThumbnailProvider::thumbnailForFile(
    const std::filesystem::path& file, platform::Size size, bool) {
    const std::string ext = platform::lowercaseExtension(file);
    if (ext == "pcd" || !FSNodeInfo::rawExts().count(ext)) return nullptr;
    auto source = rawWrapper::initWithFile(file.string(), file.string(), true);
    if (!source) return nullptr;
    const uint16_t* rgb = source->masterImageBytes();
    const size_t width = source->imageWidth(), height = source->imageHeight();
    if (!rgb || width == 0 || height == 0) return nullptr;

    double side = std::max(size.width, size.height);
    if (!(side >= 1) || side > 4096) side = 128;
    const double scale = std::min({1.0, side / double(width), side / double(height)});
    const size_t outWidth = std::max<size_t>(1, size_t(std::lround(double(width) * scale)));
    const size_t outHeight = std::max<size_t>(1, size_t(std::lround(double(height) * scale)));
    std::vector<uint16_t> pixels = fitRGB16(rgb, width, height, outWidth, outHeight);

    auto profile = source->bufferProfile();
    auto transform = platform::IccTransform::shared(
        profile ? profile->csRef() : nullptr,
        platform::IccProfile::named(platform::IccNamedProfile::sRGB));
    if (!transform || !transform->convert(pixels.data(), outWidth, outHeight, outWidth * 8,
                                          platform::IccPixelLayout::rgba16))
        return nullptr;
    std::vector<uint8_t> bytes(pixels.size());
    for (size_t i = 0; i < pixels.size(); ++i)
        bytes[i] = uint8_t((uint32_t(pixels[i]) * 255 + 32767) / 65535);
    return platform::BitmapImage::create(outWidth, outHeight, 8, 32, outWidth * 4,
                                         platform::kBitmapAlphaLast, platform::sRGBColorSpace(),
                                         platform::BitmapDataProvider::withData(std::move(bytes)));
}

void RawThumbnailProvider::registerOnce() {
    static platform::OnceFlag once;
    platform::callOnce(once, [] {
        ThumbnailProvider::registerProvider(std::make_shared<RawThumbnailProvider>());
    });
}
