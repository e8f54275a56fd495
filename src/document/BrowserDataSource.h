// The browser grid's item source over one root folder, and the owner of the
// thumbnail work and the thumbnail cache (at most 1000 entries, by absolute
// path; the nodes do not keep thumbnails alive, so this bounds their memory).
//
// Thumbnails are made on the shared concurrent queue by up to one worker per
// processor, in the order the cells asked for them. The view says which cells
// it shows (setVisibleItems): work still waiting for any other cell is
// dropped, so the page on screen never waits behind pages scrolled past; a
// dropped cell asks again when it is shown again.
//
// Ownership: owns its root node, its pending work and its cache; nodes reach
// it through a weak delegate pointer; running work outlives the source.
// Threads: call it on the main thread; the cache may be read, and work queued,
// from any thread. The view's reload comes through the reload handler, on
// the main queue.
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
    ~BrowserDataSource() override;

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
    void queueThumbnail(const std::shared_ptr<FSNodeInfo>& node, platform::Task make,
                        platform::Task dropped) override;
    platform::EvictingCache& masterIconCache() override;

    // The cells on screen now: waiting work of every other node is dropped.
    void setVisibleItems(const std::vector<std::shared_ptr<FSNodeInfo>>& nodes);
    // Returns once no thumbnail work waits or runs; what it made reaches the
    // cache and the view on the main queue.
    void waitForThumbnails();

    // The user's Pictures folder, whose sub-folders the browser does not
    // list and where it starts: the XDG pictures folder (XDG_PICTURES_DIR of
    // user-dirs.dirs in $XDG_CONFIG_HOME), else $HOME/Pictures.
    static std::vector<std::filesystem::path> picturesFolders();

private:
    BrowserDataSource();

    struct ThumbnailWork;
    std::shared_ptr<FSNodeInfo> rootNodeInfo_;
    std::shared_ptr<ThumbnailWork> work_;
    std::mutex mutex_;  // guards the lazily made cache
    std::unique_ptr<platform::EvictingCache> masterCache_;
    ReloadHandler reloadHandler_;
};
