// The browser's pictures of Photo CD files (extension "pcd" in any case): the
// Base/16 image of a thumbnail PhotoCDImageSource, 16-bit RGBA labelled sRGB,
// 192 x 128 or 128 x 192 whatever size is asked. Other files, and packs
// whose source cannot be made, are left to the next provider.
//
// Thread safety: stateless; safe from any thread.
#pragma once

#include "document/ThumbnailProvider.h"

class PhotoCDThumbnailProvider : public ThumbnailProvider {
public:
    std::shared_ptr<const platform::BitmapImage> thumbnailForFile(const std::filesystem::path& file,
                                                                  platform::Size size,
                                                                  bool asIcon) override;
    // Adds the provider to the registry once per process.
    static void registerOnce();
};
