#include "document/ThumbnailProvider.h"

#include <algorithm>
#include <cmath>
#include <mutex>
#include <vector>

#include "platform/ImageReader.h"

namespace {

struct Registry {
    std::mutex mutex;
    std::vector<std::shared_ptr<ThumbnailProvider>> providers;  // newest first
};

Registry& registry() {
    static Registry* r = new Registry;
    return *r;
}

}  // namespace

void ThumbnailProvider::registerProvider(std::shared_ptr<ThumbnailProvider> provider) {
    if (!provider) return;
    std::lock_guard lock(registry().mutex);
    auto& list = registry().providers;
    list.insert(list.begin(), std::move(provider));
}

void ThumbnailProvider::unregisterProvider(const std::shared_ptr<ThumbnailProvider>& provider) {
    std::lock_guard lock(registry().mutex);
    auto& list = registry().providers;
    list.erase(std::remove(list.begin(), list.end(), provider), list.end());
}

std::shared_ptr<const platform::BitmapImage> ThumbnailProvider::thumbnail(
    const std::filesystem::path& file, platform::Size size, bool asIcon) {
    std::vector<std::shared_ptr<ThumbnailProvider>> providers;
    {
        std::lock_guard lock(registry().mutex);
        providers = registry().providers;
    }
    for (const auto& provider : providers)
        if (auto image = provider->thumbnailForFile(file, size, asIcon)) return image;
    double side = std::max(size.width, size.height);
    if (!(side >= 1)) side = 128;
    return platform::readImageThumbnail(file, uint32_t(std::min(side, 4096.0)));
}
