#include "document/BrowserDataSource.h"

#include <cstdlib>
#include <fstream>
#include <string>

std::shared_ptr<BrowserDataSource> BrowserDataSource::create() {
    return std::shared_ptr<BrowserDataSource>(new BrowserDataSource);
}

void BrowserDataSource::setPath(const std::filesystem::path& url,
                                std::vector<std::filesystem::path> noRecurse) {
    rootNodeInfo_ = FSNodeInfo::initWithURL(url, std::move(noRecurse));
    rootNodeInfo_->setDelegate(weak_from_this());
}

void BrowserDataSource::invalidateFolder() {
    if (rootNodeInfo_) rootNodeInfo_->invalidateChildren();
}

size_t BrowserDataSource::numberOfItemsInImageBrowser() {
    return rootNodeInfo_ ? rootNodeInfo_->subNodes().size() : 0;
}

std::shared_ptr<FSNodeInfo> BrowserDataSource::itemAtIndex(size_t index) {
    if (!rootNodeInfo_) return nullptr;
    auto children = rootNodeInfo_->subNodes();
    return index < children.size() ? children[index] : nullptr;
}

void BrowserDataSource::setReloadHandler(ReloadHandler handler) {
    reloadHandler_ = std::move(handler);
}

void BrowserDataSource::iconDidChange(const std::shared_ptr<FSNodeInfo>& node) {
    if (reloadHandler_) reloadHandler_(node);
}

platform::QueuePtr BrowserDataSource::iconProcessingQueue() {
    std::lock_guard lock(mutex_);
    if (!sQueue_) sQueue_ = platform::DispatchQueue::createSerial("org.quorvex.Quorvex.iconQueue");
    return sQueue_;
}

platform::EvictingCache& BrowserDataSource::masterIconCache() {
    std::lock_guard lock(mutex_);
    if (!masterCache_)
        masterCache_ = std::make_unique<platform::EvictingCache>(kThumbnailCacheLimit);
    return *masterCache_;
}

namespace {

// XDG_PICTURES_DIR="$HOME/Bilder" from user-dirs.dirs; empty when absent.
std::filesystem::path xdgPicturesDir(const std::filesystem::path& home) {
    const char* config = std::getenv("XDG_CONFIG_HOME");
    std::filesystem::path dirs =
        config && *config ? std::filesystem::path(config) : home / ".config";
    std::ifstream in(dirs / "user-dirs.dirs");
    std::string line;
    const std::string key = "XDG_PICTURES_DIR=";
    while (std::getline(in, line)) {
        if (line.rfind(key, 0) != 0) continue;
        std::string value = line.substr(key.size());
        if (value.size() >= 2 && value.front() == '"' && value.back() == '"')
            value = value.substr(1, value.size() - 2);
        if (value.rfind("$HOME", 0) == 0) return home.string() + value.substr(5);
        if (!value.empty() && value[0] == '/') return value;
        return {};
    }
    return {};
}

}  // namespace

std::vector<std::filesystem::path> BrowserDataSource::picturesFolders() {
    const char* home = std::getenv("HOME");
    std::filesystem::path base = home && *home ? home : "/";
    std::filesystem::path xdg = xdgPicturesDir(base);
    // "$HOME/" alone means the user has no pictures folder of its own.
    if (!xdg.empty() && xdg.lexically_normal() != base.lexically_normal()) return {xdg};
    return {base / "Pictures"};
}
