// The browser grid's item source over one root folder, and the owner of the
// thumbnail queue (serial: previews are made one at a time) and the thumbnail
// cache (at most 1000 entries, by absolute path).
//
// Ownership: owns its root node, queue and cache; nodes reach it through a
// weak delegate pointer. Threads: call it on the main thread; the cache may
// be read from any thread. The view's reload comes through the reload handler,
// on the main queue.
#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "document/FSNodeInfo.h"

class BrowserDataSource : public FSNodeInfoDelegate,
                          public std::enable_shared_from_this<BrowserDataSource> {
public:
    static constexpr size_t kThumbnailCacheLimit = 1000;

    static std::shared_ptr<BrowserDataSource> create();

    // A new root for the folder; its nodes serve their thumbnails through this source.
    void setPath(const std::filesystem::path& url, std::vector<std::filesystem::path> noRecurse);
    std::shared_ptr<FSNodeInfo> getRoot() const { return rootNodeInfo_; }
    void invalidateFolder();

    size_t numberOfItemsInImageBrowser();
    std::shared_ptr<FSNodeInfo> itemAtIndex(size_t index);

    // What the view does when a node's thumbnail arrived: it redraws that
    // node's cell only (a full reload per thumbnail would lose the selection).
    using ReloadHandler = std::function<void(const std::shared_ptr<FSNodeInfo>& node)>;
    void setReloadHandler(ReloadHandler handler);

    void iconDidChange(const std::shared_ptr<FSNodeInfo>& node) override;
    platform::QueuePtr iconProcessingQueue() override;
    platform::EvictingCache& masterIconCache() override;

    // The user's Pictures folder, whose sub-folders the browser does not
    // list and where it starts: the XDG pictures folder (XDG_PICTURES_DIR of
    // user-dirs.dirs in $XDG_CONFIG_HOME), else $HOME/Pictures.
    static std::vector<std::filesystem::path> picturesFolders();

private:
    BrowserDataSource() = default;

    std::shared_ptr<FSNodeInfo> rootNodeInfo_;
    std::mutex mutex_;  // guards the lazily made queue and cache
    platform::QueuePtr sQueue_;
    std::unique_ptr<platform::EvictingCache> masterCache_;
    ReloadHandler reloadHandler_;
};
