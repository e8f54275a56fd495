#include "document/PhotoCDThumbnailProvider.h"

#include <mutex>

#include "photocd/PhotoCDImageSource.h"
#include "platform/AsciiCase.h"
#include "platform/Locks.h"

std::shared_ptr<const platform::BitmapImage> PhotoCDThumbnailProvider::thumbnailForFile(
    const std::filesystem::path& file, platform::Size, bool) {
    if (platform::lowercaseExtension(file) != "pcd") return nullptr;
    auto source = PhotoCDImageSource::initWithFile(file.string(), file.string(), true);
    if (!source || !source->fileExists()) return nullptr;
    return source->getImageRep(nullptr);
}

void PhotoCDThumbnailProvider::registerOnce() {
    static platform::OnceFlag once;
    platform::callOnce(once, [] {
        ThumbnailProvider::registerProvider(std::make_shared<PhotoCDThumbnailProvider>());
    });
}
