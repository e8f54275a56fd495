// One file or folder of the browser: its attributes taken when it is made,
// its filtered children (listed once, cached until invalidated) and its
// thumbnail. Also the process-wide set of raw file extensions that the
// browser's filter and the raw-file search share.
//
// Ownership: a node owns its children; its parent and its delegate are not
// retained. With a delegate, thumbnails are made by the delegate's workers
// and owned by the delegate's cache alone (the node only refers to its
// entry), so they outlive the node tree and the cache's limit bounds them.
// A node without a delegate keeps the picture it made itself.
//
// Threads: make and list nodes and ask for their images on the main thread;
// the thumbnail work runs on the delegate's workers and reports back through
// the main queue. The image fields are guarded, so reading them from another
// thread is safe.
#pragma once

#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/BitmapGeometry.h"
#include "platform/BitmapImage.h"
#include "platform/Dispatch.h"
#include "platform/EvictingCache.h"
#include "platform/Value.h"

class FSNodeInfo;

// A picture with the size it is to be shown at (which need not be its pixel size).
struct BrowserImage {
    std::shared_ptr<const platform::BitmapImage> bitmap;
    platform::Size size;
    explicit operator bool() const { return bitmap != nullptr; }
};

class FSNodeInfoDelegate {
public:
    virtual ~FSNodeInfoDelegate() = default;
    // On the main queue, after the node's thumbnail arrived.
    virtual void iconDidChange(const std::shared_ptr<FSNodeInfo>& node) = 0;
    // Runs make off the main thread, or dropped instead when the node's cell
    // left the screen before make started.
    virtual void queueThumbnail(const std::shared_ptr<FSNodeInfo>& node, platform::Task make,
                                platform::Task dropped) = 0;
    // Thumbnails (BrowserImage) by FSNodeInfo::thumbnailKey; safe across threads.
    virtual platform::EvictingCache& masterIconCache() = 0;
};

class FSNodeInfo : public std::enable_shared_from_this<FSNodeInfo> {
public:
    // Every extension of the raw formats Quorvex decodes (the raw layer's
    // RawFormatExtensions and "pcd"), lower case: the one table of the
    // browser, folder runs, their pass-over and the raw search. Made once and
    // never freed.
    static const std::set<std::string>& rawExts();

    static std::shared_ptr<FSNodeInfo> initWithURL(const std::filesystem::path& url,
                                                   std::vector<std::filesystem::path> noRecurse);
    // URL = the parent's URL + name (or the name alone without a parent).
    static std::shared_ptr<FSNodeInfo> initWithParent(const std::shared_ptr<FSNodeInfo>& parent,
                                                      const std::string& relativePath);

    // The filter of "BrowserFileSelect": 0 raw files, 1 also image types the
    // image reader supports, 2 or more every file. Folders always pass.
    bool isImageFile() const;
    // Not hidden (no leading ".") and passing the filter.
    bool isVisible() const;
    // The visible children in natural name order (the listing's own order is
    // the file system's and changes from one listing to the next), cached
    // until invalidateChildren.
    std::vector<std::shared_ptr<FSNodeInfo>> subNodes();
    void invalidateChildren();
    // Whether this folder's sub-folders are listed.
    bool doNotRecurse() const;

    const std::filesystem::path& getURL() const { return fullURL_; }
    std::string absolutePath() const { return fullURL_.string(); }
    std::string lastPathComponent() const { return fullURL_.filename().string(); }
    bool isLink() const { return isLink_; }
    bool isDirectory() const { return isDirectory_; }
    bool isReadable() const { return isReadable_; }
    std::string fsType() const { return isDirectory_ ? "Directory" : "Non-Directory"; }
    platform::Value returnSize() const { return fileSize_; }
    platform::Value returnDate() const { return modificationDate_; }
    std::shared_ptr<FSNodeInfo> parentNode() const { return parentNode_.lock(); }

    std::weak_ptr<FSNodeInfoDelegate> delegate() const;
    void setDelegate(std::weak_ptr<FSNodeInfoDelegate> delegate);
    BrowserImage cachedImage() const;
    void setCachedImage(BrowserImage image);

    // Browser item answers.
    BrowserImage imageRepresentation() { return iconImageOfSize({0, 0}); }
    std::string imageUID() const { return absolutePath(); }
    // The thumbnail cache's key: the absolute path with the size and
    // modification time seen when the node was made, so a replaced file
    // gets a new thumbnail instead of its predecessor's.
    const std::string& thumbnailKey() const { return thumbnailKey_; }
    // 1 once the delegate's cache holds the thumbnail, so the cell redraws.
    int imageVersion() const;
    std::string imageTitle() const { return fullURL_.stem().string(); }
    std::string imageSubtitle() const;
    bool isSelectable() const { return true; }
    bool isDraggable() const { return isVisible(); }

    // The cell's picture: the thumbnail when there is one yet, else an icon;
    // links get the link badge.
    BrowserImage iconImageOfSize(platform::Size size);
    // The cached thumbnail; when there is none, a placeholder icon now and the
    // real thumbnail queued with the delegate (again only when the delegate
    // dropped that work or its cache let the thumbnail go).
    BrowserImage imageWithPreviewOfFileAtPath(const std::filesystem::path& url, platform::Size size,
                                              bool asIcon);
    // The real thumbnail, made now (null when none can be made).
    static BrowserImage GetQLThumbnailImage(const std::filesystem::path& url, platform::Size size,
                                            bool asIcon);
    // The generic icon of a file or folder, at the size.
    static BrowserImage GetFinderThumbnailImage(const std::filesystem::path& url,
                                                platform::Size size, bool asIcon);

    // Inspector texts: the name and a line break; "%1.0f B" ... "%1.1f TB" of
    // the file size; the modification date (medium date, short time, local).
    // They show enabled when inspectorTextEnabled (the node is visible).
    std::string attributedInspectorStringForFSNode() const { return lastPathComponent() + "\n"; }
    std::string attributedInspectorStringForFSNodeSize() const;
    std::string attributedInspectorStringForFSNodeDate() const;
    bool inspectorTextEnabled() const { return isVisible(); }

    FSNodeInfo(const FSNodeInfo&) = delete;
    FSNodeInfo& operator=(const FSNodeInfo&) = delete;
    FSNodeInfo(std::filesystem::path url, std::vector<std::filesystem::path> noRecurse);

private:
    std::weak_ptr<FSNodeInfoDelegate> delegate_;
    std::weak_ptr<FSNodeInfo> parentNode_;
    std::filesystem::path fullURL_;
    bool isLink_ = false, isDirectory_ = false, isReadable_ = false;
    std::optional<std::vector<std::shared_ptr<FSNodeInfo>>> subNodes_;
    platform::Value fileSize_, modificationDate_;
    std::vector<std::filesystem::path> noRecurse_;
    std::string thumbnailKey_;

    // Where the thumbnail is in its making with a delegate.
    enum class Thumbnail { notAsked, queued, made, none };

    mutable std::mutex imageMutex_;                // guards the fields below and delegate_
    BrowserImage nodeImage_;                       // without a delegate: the icon last built
    BrowserImage cachedImage_;                     // without a delegate: the picture made
    std::weak_ptr<const BrowserImage> thumbnail_;  // with one: its cache entry
    Thumbnail thumbnailState_ = Thumbnail::notAsked;
};

// The human-readable size text ("%1.0f B", "%1.1f KB", ...) of a byte count.
std::string formatFileSize(double bytes);
// "Dec 7, 2026, 14:39" of a time in seconds since 1970, in local time.
std::string formatMediumDateShortTime(double secondsSince1970);
// File names in the order people count: runs of digits compare by value,
// letters without regard to case; names equal that way fall back to bytes.
bool naturalNameLess(const std::string& a, const std::string& b);
