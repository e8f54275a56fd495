#include "document/BrowserDataSource.h"

#include <cstdlib>

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

void BrowserDataSource::setReloadHandler(std::function<void()> handler) {
    reloadHandler_ = std::move(handler);
}

void BrowserDataSource::iconDidChange(const std::shared_ptr<FSNodeInfo>&) {
    if (reloadHandler_) reloadHandler_();
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

std::vector<std::filesystem::path> BrowserDataSource::picturesFolders() {
    const char* home = std::getenv("HOME");
    std::filesystem::path base = home && *home ? home : "/";
    return {base / "Pictures"};
}
