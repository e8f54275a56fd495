// Where the browser's thumbnails come from. A provider makes a small picture
// of one file; the raw decoder's and the Photo CD source's thumbnail modes
// register providers of their own, and plain JPEG, PNG and TIFF files are
// read by the platform's image reader, which is always tried last.
//
// Providers are called on the browser's thumbnail queue: they must be safe to
// call from any thread. The registry itself is thread-safe.
#pragma once

#include <filesystem>
#include <memory>

#include "platform/BitmapGeometry.h"
#include "platform/BitmapImage.h"

class ThumbnailProvider {
public:
    virtual ~ThumbnailProvider() = default;
    // A picture of the file fitting `size`, or null when this provider cannot
    // make one (the next provider is asked then). asIcon asks for a picture
    // meant to be shown as the file's icon.
    virtual std::shared_ptr<const platform::BitmapImage> thumbnailForFile(
        const std::filesystem::path& file, platform::Size size, bool asIcon) = 0;

    // Adds a provider, asked before those registered earlier.
    static void registerProvider(std::shared_ptr<ThumbnailProvider> provider);
    static void unregisterProvider(const std::shared_ptr<ThumbnailProvider>& provider);
    // The first picture a provider makes, or null.
    static std::shared_ptr<const platform::BitmapImage> thumbnail(const std::filesystem::path& file,
                                                                  platform::Size size, bool asIcon);
};
