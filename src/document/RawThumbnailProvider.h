// The browser's pictures of raw files (the raw extension set less "pcd"):
// a thumbnail rawWrapper's master image (the largest embedded preview that
// decodes, or a half-size decode), box-filtered to fit the asked size
// (128 x 128 when none), converted from linear ProPhoto to 8-bit sRGB with
// the shared colour transform, RGBA with opaque alpha. Files the decoder
// refuses are left to the next provider.
//
// Thread safety: stateless; safe from any thread (the decoder serialises
// its decodes itself).
#pragma once

#include "document/ThumbnailProvider.h"

class RawThumbnailProvider : public ThumbnailProvider {
public:
    std::shared_ptr<const platform::BitmapImage> thumbnailForFile(const std::filesystem::path& file,
                                                                  platform::Size size,
                                                                  bool asIcon) override;
    // Adds the provider to the registry once per process.
    static void registerOnce();

    // 16-bit RGB (3 samples a pixel) box-filtered into width x height RGBA16
    // with opaque alpha; the output size must not exceed the input's.
    static std::vector<uint16_t> fitRGB16(const uint16_t* rgb, size_t width, size_t height,
                                          size_t outWidth, size_t outHeight);
};
