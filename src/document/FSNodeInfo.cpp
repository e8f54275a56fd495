#include "document/FSNodeInfo.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <ctime>

#include "document/ThumbnailProvider.h"
#include "platform/AsciiCase.h"
#include "platform/ImageReader.h"
#include "platform/UserDefaults.h"
#include "raw/RawOpenError.h"

namespace {

constexpr double kThumbnailSide = 128;

// ---- generic icons, drawn rather than loaded ----

using Pixels = std::vector<uint8_t>;
constexpr int kIconSide = 64;

void fill(Pixels& px, int x0, int y0, int x1, int y1, uint32_t rgba) {
    for (int y = std::max(0, y0); y < std::min(kIconSide, y1); ++y)
        for (int x = std::max(0, x0); x < std::min(kIconSide, x1); ++x) {
            uint8_t* p = &px[(size_t(y) * kIconSide + x) * 4];
            p[0] = uint8_t(rgba >> 24);
            p[1] = uint8_t(rgba >> 16);
            p[2] = uint8_t(rgba >> 8);
            p[3] = uint8_t(rgba);
        }
}

std::shared_ptr<const platform::BitmapImage> makeIcon(const Pixels& px) {
    return platform::BitmapImage::create(kIconSide, kIconSide, 8, 32, kIconSide * 4,
                                         platform::kBitmapAlphaLast, platform::sRGBColorSpace(),
                                         platform::BitmapDataProvider::withData(px));
}

std::shared_ptr<const platform::BitmapImage> genericFileIcon() {
    static const auto& icon = *new std::shared_ptr<const platform::BitmapImage>([] {
        Pixels px(kIconSide * kIconSide * 4, 0);
        fill(px, 12, 4, 52, 60, 0x606060FF);  // outline
        fill(px, 14, 6, 50, 58, 0xF4F4F4FF);  // page
        fill(px, 40, 6, 50, 16, 0xC8C8C8FF);  // folded corner
        return makeIcon(px);
    }());
    return icon;
}

std::shared_ptr<const platform::BitmapImage> genericFolderIcon() {
    static const auto& icon = *new std::shared_ptr<const platform::BitmapImage>([] {
        Pixels px(kIconSide * kIconSide * 4, 0);
        fill(px, 6, 12, 28, 20, 0x4A86C8FF);  // tab
        fill(px, 6, 18, 58, 54, 0x4A86C8FF);
        fill(px, 8, 22, 56, 52, 0x7FB2E5FF);
        return makeIcon(px);
    }());
    return icon;
}

// The picture with the link badge (a white square with a dark arrow) drawn
// into its lower-left corner.
std::shared_ptr<const platform::BitmapImage> withLinkBadge(
    const std::shared_ptr<const platform::BitmapImage>& image) {
    if (!image || image->bitsPerComponent() != 8 || image->bitsPerPixel() != 32 ||
        image->alphaInfo() != platform::kBitmapAlphaLast || !image->dataProvider())
        return image;
    size_t w = image->width(), h = image->height();
    Pixels px(image->dataProvider()->bytes(),
              image->dataProvider()->bytes() +
                  std::min(image->dataProvider()->length(), image->bytesPerRow() * h));
    px.resize(image->bytesPerRow() * h, 0);
    size_t side = std::max<size_t>(4, std::min(w, h) / 3);
    auto put = [&](size_t x, size_t y, uint8_t v) {
        if (x >= w || y >= h) return;
        uint8_t* p = &px[y * image->bytesPerRow() + x * 4];
        p[0] = p[1] = p[2] = v;
        p[3] = 255;
    };
    for (size_t y = h - std::min(h, side); y < h; ++y)
        for (size_t x = 0; x < std::min(w, side); ++x) put(x, y, 255);
    // A diagonal arrow pointing up and right.
    size_t top = h - std::min(h, side);
    for (size_t i = side / 5; i + side / 5 < side; ++i) {
        put(i, top + side - 1 - i, 40);
        if (i + 1 < side) put(i + 1, top + side - 1 - i, 40);
    }
    for (size_t i = side / 5; i < side - side / 5; ++i) {
        put(i, top + side / 5, 40);
        put(side - 1 - side / 5, top + i, 40);
    }
    return platform::BitmapImage::create(w, h, 8, 32, image->bytesPerRow(),
                                         platform::kBitmapAlphaLast, image->colorSpace(),
                                         platform::BitmapDataProvider::withData(std::move(px)));
}

// The generic icons with the link badge, made once; any other picture as it is.
std::shared_ptr<const platform::BitmapImage> badgedGenericIcon(
    const std::shared_ptr<const platform::BitmapImage>& image) {
    // Never destroyed: thumbnail workers may use them at exit.
    static const auto& file = *new auto(withLinkBadge(genericFileIcon()));
    static const auto& folder = *new auto(withLinkBadge(genericFolderIcon()));
    if (image == genericFileIcon()) return file;
    if (image == genericFolderIcon()) return folder;
    return image;
}

}  // namespace

const std::set<std::string>& FSNodeInfo::rawExts() {
    // The decoders' formats, and Photo CD, which has a decoder of its own.
    static const std::set<std::string>* exts = [] {
        auto* all = new std::set<std::string>(RawFormatExtensions());
        all->insert("pcd");
        return all;
    }();
    return *exts;
}

FSNodeInfo::FSNodeInfo(std::filesystem::path url, std::vector<std::filesystem::path> noRecurse)
    : fullURL_(std::move(url)), noRecurse_(std::move(noRecurse)) {
    struct stat lst {};
    if (::lstat(fullURL_.c_str(), &lst) == 0) isLink_ = S_ISLNK(lst.st_mode);
    struct stat st {};
    if (::stat(fullURL_.c_str(), &st) == 0) {
        isDirectory_ = S_ISDIR(st.st_mode);
        fileSize_ = platform::Value(int64_t(st.st_size));
        modificationDate_ = platform::Value(platform::Value::Date{double(st.st_mtim.tv_sec)});
    }
    thumbnailKey_ = fullURL_.string() + '\n' + std::to_string(int64_t(st.st_size)) + '\n' +
                    std::to_string(int64_t(st.st_mtim.tv_sec)) + '.' +
                    std::to_string(int64_t(st.st_mtim.tv_nsec));
    isReadable_ = ::access(fullURL_.c_str(), R_OK) == 0;
}

std::shared_ptr<FSNodeInfo> FSNodeInfo::initWithURL(const std::filesystem::path& url,
                                                    std::vector<std::filesystem::path> noRecurse) {
    return std::make_shared<FSNodeInfo>(url, std::move(noRecurse));
}

std::shared_ptr<FSNodeInfo> FSNodeInfo::initWithParent(const std::shared_ptr<FSNodeInfo>& parent,
                                                       const std::string& relativePath) {
    std::filesystem::path url =
        parent ? parent->fullURL_ / relativePath : std::filesystem::path(relativePath);
    auto node = std::make_shared<FSNodeInfo>(
        url, parent ? parent->noRecurse_ : std::vector<std::filesystem::path>{});
    node->parentNode_ = parent;
    return node;
}

bool FSNodeInfo::isImageFile() const {
    int64_t level = platform::UserDefaults::standard().integerForKey("BrowserFileSelect");
    if (level > 1 || isDirectory_) return true;
    std::string ext = platform::lowercaseExtension(fullURL_);
    if (rawExts().count(ext)) return true;
    if (level == 0) return false;
    // Every image type conforms to "public.image"; the file passes when the
    // reader decodes its type.
    auto type = platform::imageTypeForExtension(ext);
    if (!type) return false;
    const auto& readable = platform::imageReaderTypeIdentifiers();
    return std::find(readable.begin(), readable.end(), *type) != readable.end();
}

bool FSNodeInfo::isVisible() const {
    std::string name = lastPathComponent();
    if (name.empty() || name[0] == '.') return false;
    return isImageFile();
}

bool FSNodeInfo::doNotRecurse() const {
    std::error_code ec;
    auto self = std::filesystem::weakly_canonical(fullURL_, ec);
    if (ec) self = fullURL_;
    for (const auto& p : noRecurse_) {
        auto other = std::filesystem::weakly_canonical(p, ec);
        if (ec) other = p;
        if (other == self) return true;
    }
    return false;
}

std::vector<std::shared_ptr<FSNodeInfo>> FSNodeInfo::subNodes() {
    if (subNodes_) return *subNodes_;
    std::vector<std::shared_ptr<FSNodeInfo>> children;
    bool listFolders = !doNotRecurse();
    std::error_code ec;
    auto self = shared_from_this();
    std::filesystem::directory_iterator it(fullURL_, ec), end;
    for (; !ec && it != end; it.increment(ec)) {
        auto child = initWithParent(self, it->path().filename().string());
        child->setDelegate(delegate_);
        if (!child->isVisible()) continue;
        if (child->isDirectory() && !listFolders) continue;
        children.push_back(std::move(child));
    }
    // Each name made once: a card holds tens of thousands of files.
    std::vector<std::pair<std::string, std::shared_ptr<FSNodeInfo>>> named;
    named.reserve(children.size());
    for (auto& child : children) named.emplace_back(child->lastPathComponent(), std::move(child));
    std::sort(named.begin(), named.end(),
              [](const auto& a, const auto& b) { return naturalNameLess(a.first, b.first); });
    for (size_t i = 0; i < named.size(); ++i) children[i] = std::move(named[i].second);
    subNodes_ = std::move(children);
    return *subNodes_;
}

void FSNodeInfo::invalidateChildren() { subNodes_.reset(); }

std::weak_ptr<FSNodeInfoDelegate> FSNodeInfo::delegate() const {
    std::lock_guard lock(imageMutex_);
    return delegate_;
}

void FSNodeInfo::setDelegate(std::weak_ptr<FSNodeInfoDelegate> delegate) {
    std::lock_guard lock(imageMutex_);
    delegate_ = std::move(delegate);
}

BrowserImage FSNodeInfo::cachedImage() const {
    std::lock_guard lock(imageMutex_);
    if (auto thumbnail = thumbnail_.lock()) return *thumbnail;
    return cachedImage_;
}

void FSNodeInfo::setCachedImage(BrowserImage image) {
    std::lock_guard lock(imageMutex_);
    cachedImage_ = std::move(image);
}

int FSNodeInfo::imageVersion() const {
    auto d = delegate().lock();
    return d && d->masterIconCache().object(thumbnailKey_) ? 1 : 0;
}

std::string FSNodeInfo::imageSubtitle() const {
    std::string ext = fullURL_.extension().string();
    return ext.empty() ? ext : ext.substr(1);
}

BrowserImage FSNodeInfo::iconImageOfSize(platform::Size size) {
    // With a delegate the picture is looked up each time instead of kept, so
    // that the cache alone decides how long a thumbnail lives; a link's
    // thumbnail is cached with its badge.
    const bool served = !delegate().expired();
    if (!served) {
        std::lock_guard lock(imageMutex_);
        if (nodeImage_) return nodeImage_;
    }
    BrowserImage image =
        imageWithPreviewOfFileAtPath(fullURL_, {kThumbnailSide, kThumbnailSide}, false);
    if (!image) image = GetFinderThumbnailImage(fullURL_, {kThumbnailSide, kThumbnailSide}, false);
    if (size.width != 0) image.size = size;
    if (isLink_ && !served) image.bitmap = withLinkBadge(image.bitmap);
    if (isLink_ && served) image.bitmap = badgedGenericIcon(image.bitmap);
    if (!served) {
        std::lock_guard lock(imageMutex_);
        nodeImage_ = image;
    }
    return image;
}

BrowserImage FSNodeInfo::imageWithPreviewOfFileAtPath(const std::filesystem::path& url,
                                                      platform::Size size, bool asIcon) {
    if (url.empty()) return cachedImage();
    auto d = delegate().lock();
    std::unique_lock lock(imageMutex_);
    if (!d) {
        if (cachedImage_) return cachedImage_;
        lock.unlock();
        BrowserImage image = GetQLThumbnailImage(url, size, asIcon);
        if (!image) image = GetFinderThumbnailImage(url, size, asIcon);
        lock.lock();
        cachedImage_ = image;
        return cachedImage_;
    }
    if (auto thumbnail = thumbnail_.lock()) return *thumbnail;
    const std::string key = thumbnailKey_;
    if (auto hit = d->masterIconCache().objectAs<BrowserImage>(key)) {
        thumbnail_ = hit;
        thumbnailState_ = Thumbnail::made;
        return *hit;
    }
    // Asked for at every paint of the cell: the node's own file is known to
    // be a folder or not without asking the disk.
    const BrowserImage placeholder =
        url == fullURL_ ? BrowserImage{isDirectory_ ? genericFolderIcon() : genericFileIcon(), size}
                        : GetFinderThumbnailImage(url, size, asIcon);
    if (thumbnailState_ == Thumbnail::queued || thumbnailState_ == Thumbnail::none)
        return placeholder;
    thumbnailState_ = Thumbnail::queued;
    lock.unlock();
    std::weak_ptr<FSNodeInfoDelegate> weakDelegate = d;
    std::weak_ptr<FSNodeInfo> weakNode = weak_from_this();
    const bool link = isLink_;
    auto make = [weakNode, weakDelegate, url, size, asIcon, key, link] {
        if (weakNode.expired() || weakDelegate.expired()) return;  // its tree or view went
        BrowserImage image = GetQLThumbnailImage(url, size, asIcon);
        if (!image) {
            if (auto node = weakNode.lock()) {
                std::lock_guard relock(node->imageMutex_);
                node->thumbnailState_ = Thumbnail::none;
            }
            return;
        }
        if (link) image.bitmap = withLinkBadge(image.bitmap);
        auto entry = std::make_shared<BrowserImage>(std::move(image));
        // Cached and announced in one main-queue task: whoever sees the
        // thumbnail in the cache (imageVersion 1) has its cell's change too.
        platform::DispatchQueue::main()->async([weakNode, weakDelegate, key, entry] {
            auto node = weakNode.lock();
            auto delegate = weakDelegate.lock();
            if (!node || !delegate) return;
            delegate->masterIconCache().setObject(key, entry);
            {
                std::lock_guard relock(node->imageMutex_);
                node->thumbnail_ = entry;
                node->thumbnailState_ = Thumbnail::made;
            }
            delegate->iconDidChange(node);
        });
    };
    auto dropped = [weakNode] {
        auto node = weakNode.lock();
        if (!node) return;
        std::lock_guard relock(node->imageMutex_);
        if (node->thumbnailState_ == Thumbnail::queued) node->thumbnailState_ = Thumbnail::notAsked;
    };
    d->queueThumbnail(shared_from_this(), std::move(make), std::move(dropped));
    return placeholder;
}

BrowserImage FSNodeInfo::GetQLThumbnailImage(const std::filesystem::path& url, platform::Size size,
                                             bool asIcon) {
    auto bitmap = ThumbnailProvider::thumbnail(url, size, asIcon);
    if (!bitmap) return {};
    return {bitmap, {double(bitmap->width()), double(bitmap->height())}};
}

BrowserImage FSNodeInfo::GetFinderThumbnailImage(const std::filesystem::path& url,
                                                 platform::Size size, bool) {
    std::error_code ec;
    bool folder = std::filesystem::is_directory(url, ec);
    return {folder ? genericFolderIcon() : genericFileIcon(), size};
}

std::string formatFileSize(double s) {
    char text[64];
    const char* units[] = {"KB", "MB", "GB"};
    if (s < 1023) {
        std::snprintf(text, sizeof text, "%1.0f B", s);
        return text;
    }
    double v = s;
    for (const char* unit : units) {
        v /= 1024;
        if (v < 1023) {
            std::snprintf(text, sizeof text, "%1.1f %s", v, unit);
            return text;
        }
    }
    std::snprintf(text, sizeof text, "%1.1f TB", v / 1024);
    return text;
}

std::string FSNodeInfo::attributedInspectorStringForFSNodeSize() const {
    return formatFileSize(double(fileSize_.integerValue()));
}

std::string FSNodeInfo::attributedInspectorStringForFSNodeDate() const {
    return modificationDate_.isDate()
               ? formatMediumDateShortTime(modificationDate_.date().secondsSince1970)
               : std::string();
}

std::string formatMediumDateShortTime(double secondsSince1970) {
    static const char* const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    const time_t t = time_t(std::floor(secondsSince1970));
    struct tm local {};
    if (!localtime_r(&t, &local)) return {};
    char text[64];
    std::snprintf(text, sizeof text, "%s %d, %d, %02d:%02d", months[local.tm_mon % 12],
                  local.tm_mday, local.tm_year + 1900, local.tm_hour, local.tm_min);
    return text;
}

bool naturalNameLess(const std::string& a, const std::string& b) {
    auto digit = [](char c) { return c >= '0' && c <= '9'; };
    size_t i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        if (digit(a[i]) && digit(b[j])) {
            // Compare the runs' values: skip leading zeros, then length, then digits.
            size_t i0 = i, j0 = j;
            while (i0 < a.size() && a[i0] == '0') ++i0;
            while (j0 < b.size() && b[j0] == '0') ++j0;
            size_t i1 = i0, j1 = j0;
            while (i1 < a.size() && digit(a[i1])) ++i1;
            while (j1 < b.size() && digit(b[j1])) ++j1;
            if (i1 - i0 != j1 - j0) return i1 - i0 < j1 - j0;
            const int c = a.compare(i0, i1 - i0, b, j0, j1 - j0);
            if (c != 0) return c < 0;
            i = i1;
            j = j1;
            continue;
        }
        const int x = std::tolower(static_cast<unsigned char>(a[i]));
        const int y = std::tolower(static_cast<unsigned char>(b[j]));
        if (x != y) return x < y;
        ++i;
        ++j;
    }
    if (a.size() - i != b.size() - j) return a.size() - i < b.size() - j;
    return a < b;
}
