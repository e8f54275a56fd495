#include <gtest/gtest.h>
#include <libraw/libraw.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "document/ApplicationDefaults.h"
#include "document/BatchExport.h"
#include "document/BrowserDataSource.h"
#include "document/FSNodeInfo.h"
#include "document/ThumbnailProvider.h"
#include "document/myImageObject.h"
#include "platform/UserDefaults.h"
#include "support/TestSupport.h"

namespace fs = std::filesystem;

namespace {

void touch(const fs::path& p) {
    fs::create_directories(p.parent_path());
    std::ofstream(p) << "x";
}

std::set<std::string> names(const std::vector<std::shared_ptr<FSNodeInfo>>& nodes) {
    std::set<std::string> out;
    for (const auto& n : nodes) out.insert(n->lastPathComponent());
    return out;
}

class BrowserItems : public ::testing::Test {
protected:
    void SetUp() override {
        platform::UserDefaults::resetStandardForEnvironment();
        dir = home.path() / "shots";
        for (const char* n : {"a.NEF", "b.dng", "c.jpg", "d.TIFF", "e.png", "f.txt", "g.gif",
                              ".hidden.nef", "noext"})
            touch(dir / n);
        fs::create_directories(dir / "sub");
        fs::create_directories(dir / ".git");
    }
    void TearDown() override { platform::UserDefaults::resetStandardForEnvironment(); }
    void setLevel(int64_t level) {
        platform::UserDefaults::standard().setInteger(level, "BrowserFileSelect");
    }
    std::set<std::string> list() { return names(FSNodeInfo::initWithURL(dir, {})->subNodes()); }

    testsupport::ScopedHome home;
    fs::path dir;
};

// Every maker of LibRaw's camera list has its files' extensions in the one
// table; a maker the list gains must be placed here before this passes.
TEST_F(BrowserItems, RawExtensionSetHoldsEveryFormatLibRawDecodes) {
    const std::map<std::string, std::vector<std::string>> byMaker = {
        {"ARRI", {"ari"}},
        {"Apple", {"qtk", "dng"}},
        {"Canon", {"crw", "cr2", "cr3"}},
        {"Casio", {"bay", "raw"}},
        {"Contax", {"raw"}},
        {"Epson", {"erf"}},
        {"FujiFilm", {"raf"}},
        {"Hasselblad", {"3fr", "fff"}},
        {"Imacon", {"fff"}},
        {"Kodak", {"kdc", "dcr", "dcs", "k25", "drf"}},
        {"Konica", {"mrw"}},
        {"Leaf", {"mos"}},
        {"Leica", {"rwl", "raw", "dng"}},
        {"Logitech", {"pxn"}},
        {"Mamiya", {"mef"}},
        {"Minolta", {"mrw", "mdc"}},
        {"Nikon", {"nef", "nrw"}},
        {"Olympus", {"orf", "ori"}},
        {"Panasonic", {"rw2", "raw"}},
        {"Pentax", {"pef", "ptx", "dng"}},
        {"PhaseOne", {"iiq", "cap", "eip"}},
        {"Samsung", {"srw"}},
        {"Sigma", {"x3f"}},
        {"Sinar", {"sti"}},
        {"Sony", {"arw", "srf", "sr2", "arq"}},
    };
    // Phones, drones, cinema and industrial cameras: DNG, or headless
    // sensor dumps LibRaw knows by their size (".raw").
    const std::set<std::string> dngOrRaw = {
        "ASUS",       "AVT",       "Adobe",       "AgfaPhoto",  "Alcatel", "BQ",      "Baumer",
        "BlackMagic", "CLAUSS",    "Creative",    "DJI",        "DXO",     "Digital", "Eyedeas",
        "Foculus",    "GITUP",     "Gione",       "Google",     "HTC",     "Huawei",  "ISG",
        "Ikonoskop",  "JaiPulnix", "Kinefinity",  "LG",         "Lenovo",  "Matrix",  "Meizy",
        "Micron",     "Motorola",  "Nokia",       "OmniVision", "OnePlus", "PARROT",  "Photron",
        "Pixelink",   "PtGrey",    "RaspberryPi", "Realme",     "Ricoh",   "Rollei",  "RoverShot",
        "SMaL",       "STV680",    "SVS",         "Sarnoff",    "Seitz",   "Xiaomi",  "Xiaoyi",
        "YUNEEC",     "Yi",        "Zenit"};
    const auto& exts = FSNodeInfo::rawExts();
    std::set<std::string> makers;
    for (const char** camera = LibRaw::cameraList(); camera && *camera; camera++) {
        const std::string name = *camera;
        makers.insert(name.substr(0, name.find(' ')));
    }
    EXPECT_GT(makers.size(), 50u);
    for (const std::string& maker : makers) {
        SCOPED_TRACE(maker);
        const auto found = byMaker.find(maker);
        ASSERT_TRUE(found != byMaker.end() || dngOrRaw.count(maker)) << "a maker new to LibRaw";
        const std::vector<std::string> wanted =
            found != byMaker.end() ? found->second : std::vector<std::string>{"dng", "raw"};
        for (const std::string& ext : wanted) EXPECT_TRUE(exts.count(ext)) << ext;
    }
    EXPECT_TRUE(exts.count("pcd"));
    EXPECT_EQ(&exts, &FSNodeInfo::rawExts());
}

// QuickTake files show in the browser and stand in a folder run's list.
TEST_F(BrowserItems, QuickTakeFilesAreListed) {
    setLevel(0);
    touch(dir / "q.QTK");
    touch(dir / "q.jpg");
    EXPECT_TRUE(list().count("q.QTK"));
    const auto files = BatchExport::imageFilesInFolder(dir);
    EXPECT_NE(std::find(files.begin(), files.end(), dir / "q.QTK"), files.end());
    // Its camera JPEG beside it is passed over, as beside any raw file.
    const auto kept = BatchExport::filesToDevelop({dir / "q.QTK", dir / "q.jpg"});
    EXPECT_EQ(kept, std::vector<fs::path>{dir / "q.QTK"});
}

TEST_F(BrowserItems, FilterLevels) {
    setLevel(0);
    EXPECT_EQ(list(), (std::set<std::string>{"a.NEF", "b.dng", "sub"}));
    platform::UserDefaults::standard().removeObjectForKey("BrowserFileSelect");
    ApplicationDefaults::registerDefaults();  // the registered level is 1
    EXPECT_EQ(list(), (std::set<std::string>{"a.NEF", "b.dng", "c.jpg", "d.TIFF", "e.png", "sub"}));
    setLevel(2);
    EXPECT_EQ(list(), (std::set<std::string>{"a.NEF", "b.dng", "c.jpg", "d.TIFF", "e.png", "f.txt",
                                             "g.gif", "noext", "sub"}));
}

TEST_F(BrowserItems, ChildrenAreCachedUntilInvalidated) {
    setLevel(1);
    auto root = FSNodeInfo::initWithURL(dir, {});
    size_t before = root->subNodes().size();
    touch(dir / "z.cr2");
    EXPECT_EQ(root->subNodes().size(), before);
    root->invalidateChildren();
    EXPECT_EQ(root->subNodes().size(), before + 1);
    auto child = root->subNodes().front();
    EXPECT_EQ(child->parentNode(), root);
}

TEST_F(BrowserItems, DoNotRecurseHidesSubFoldersOnlyThere) {
    setLevel(1);
    fs::create_directories(dir / "sub" / "deeper");
    touch(dir / "sub" / "x.nef");
    fs::create_symlink(dir, home.path() / "link-to-shots");
    auto root = FSNodeInfo::initWithURL(dir, {home.path() / "link-to-shots"});
    auto top = names(root->subNodes());
    EXPECT_FALSE(top.count("sub"));
    EXPECT_TRUE(top.count("a.NEF"));
    auto sub = FSNodeInfo::initWithParent(root, "sub");
    EXPECT_EQ(names(sub->subNodes()), (std::set<std::string>{"deeper", "x.nef"}));
}

TEST_F(BrowserItems, ItemAnswersAndSizeText) {
    auto node = FSNodeInfo::initWithURL(dir / "c.jpg", {});
    EXPECT_EQ(node->imageTitle(), "c");
    EXPECT_EQ(node->imageSubtitle(), "jpg");
    EXPECT_EQ(node->fsType(), "Non-Directory");
    EXPECT_EQ(node->returnSize().integerValue(), 1);
    EXPECT_EQ(node->attributedInspectorStringForFSNodeSize(), "1 B");
    EXPECT_EQ(formatFileSize(1022), "1022 B");
    EXPECT_EQ(formatFileSize(1023), "1.0 KB");
    EXPECT_EQ(formatFileSize(5.5 * 1024 * 1024), "5.5 MB");
    EXPECT_EQ(formatFileSize(2.0 * 1024 * 1024 * 1024 * 1024), "2.0 TB");
}

// Listing order is the names' natural order, the same at every relist.
TEST_F(BrowserItems, ChildrenInNaturalNameOrderAcrossRelists) {
    setLevel(2);
    const fs::path folder = home.path() / "order";
    for (const char* n : {"img10.dng", "img2.dng", "IMG1.dng", "img02b.dng", "img2a.dng", "b.dng",
                          "A.dng", "img0010x.dng", "z9", "z10"})
        touch(folder / n);
    const std::vector<std::string> expected{"A.dng",     "b.dng",      "IMG1.dng",  "img2.dng",
                                            "img2a.dng", "img02b.dng", "img10.dng", "img0010x.dng",
                                            "z9",        "z10"};
    auto root = FSNodeInfo::initWithURL(folder, {});
    for (int relist = 0; relist < 3; ++relist) {
        std::vector<std::string> listed;
        for (const auto& node : root->subNodes()) listed.push_back(node->lastPathComponent());
        EXPECT_EQ(listed, expected) << "relist " << relist;
        root->invalidateChildren();
    }
    EXPECT_TRUE(naturalNameLess("a1", "a01b"));
    EXPECT_TRUE(naturalNameLess("a01", "a1"));  // equal values: the bytes decide
    EXPECT_TRUE(naturalNameLess("a01", "a1") != naturalNameLess("a1", "a01"));
    EXPECT_FALSE(naturalNameLess("x", "x"));
}

TEST_F(BrowserItems, InspectorTextsAndPathItems) {
    auto node = FSNodeInfo::initWithURL(dir / "b.dng", {});
    EXPECT_EQ(node->attributedInspectorStringForFSNode(), "b.dng\n");
    EXPECT_TRUE(node->inspectorTextEnabled());
    EXPECT_FALSE(FSNodeInfo::initWithURL(dir / ".hidden.nef", {})->inspectorTextEnabled());
    const std::string date = node->attributedInspectorStringForFSNodeDate();
    EXPECT_EQ(date, formatMediumDateShortTime(node->returnDate().date().secondsSince1970));
    const char* zone = std::getenv("TZ");
    const std::string savedZone = zone ? zone : "";
    setenv("TZ", "UTC", 1);
    tzset();
    EXPECT_EQ(formatMediumDateShortTime(1796653140), "Dec 7, 2026, 14:19");
    EXPECT_EQ(formatMediumDateShortTime(0), "Jan 1, 1970, 00:00");
    if (zone)
        setenv("TZ", savedZone.c_str(), 1);
    else
        unsetenv("TZ");
    tzset();

    myImageObject item;
    item.setPath("/pictures/a.dng");
    EXPECT_EQ(item.imageRepresentation(), "/pictures/a.dng");
    EXPECT_EQ(item.imageUID(), "/pictures/a.dng");
    EXPECT_STREQ(item.imageRepresentationType(), myImageObject::kPathRepresentationType);
}

// Counts its calls and answers a 4 x 2 picture for files named *.thumb.
class CountingProvider : public ThumbnailProvider {
public:
    std::shared_ptr<const platform::BitmapImage> thumbnailForFile(const fs::path& file,
                                                                  platform::Size, bool) override {
        {
            std::lock_guard lock(mutex);
            calls.push_back(file.filename().string());
        }
        if (file.extension() != ".thumb") return nullptr;
        return platform::BitmapImage::create(
            4, 2, 8, 32, 16, platform::kBitmapAlphaLast, platform::sRGBColorSpace(),
            platform::BitmapDataProvider::withData(std::vector<uint8_t>(32, 0x80)));
    }
    size_t count(const std::string& name) {
        std::lock_guard lock(mutex);
        return size_t(std::count(calls.begin(), calls.end(), name));
    }
    std::mutex mutex;
    std::vector<std::string> calls;
};

TEST_F(BrowserItems, ThumbnailQueueDeliversOnceAndCaches) {
    setLevel(2);
    touch(dir / "p.thumb");
    auto provider = std::make_shared<CountingProvider>();
    ThumbnailProvider::registerProvider(provider);
    auto source = BrowserDataSource::create();
    std::atomic<int> reloads{0};
    source->setReloadHandler([&](const std::shared_ptr<FSNodeInfo>&) { ++reloads; });
    source->setPath(dir, {});
    std::shared_ptr<FSNodeInfo> node;
    for (size_t i = 0; i < source->numberOfItemsInImageBrowser(); ++i)
        if (source->itemAtIndex(i)->lastPathComponent() == "p.thumb") node = source->itemAtIndex(i);
    ASSERT_TRUE(node);

    // First asks show the placeholder icon and queue the real thumbnail once.
    BrowserImage first = node->imageRepresentation();
    ASSERT_TRUE(first);
    EXPECT_EQ(first.bitmap->width(), 64u);
    node->imageRepresentation();
    node->imageWithPreviewOfFileAtPath(node->getURL(), {128, 128}, false);
    ASSERT_TRUE(platform::MainRunLoop::shared().runUntil([&] { return reloads > 0; },
                                                         std::chrono::seconds(10)));
    platform::MainRunLoop::shared().drain();
    EXPECT_EQ(reloads, 1);
    EXPECT_EQ(provider->count("p.thumb"), 1u);
    EXPECT_EQ(node->imageVersion(), 1);
    EXPECT_EQ(node->imageRepresentation().bitmap->width(), 4u);

    // A new tree finds it in the cache without asking the provider again.
    source->setPath(dir, {});
    source->invalidateFolder();
    auto again = FSNodeInfo::initWithParent(source->getRoot(), "p.thumb");
    again->setDelegate(source);
    EXPECT_EQ(again->imageRepresentation().bitmap->width(), 4u);
    EXPECT_EQ(provider->count("p.thumb"), 1u);

    // A file no provider can picture keeps its icon and is not retried.
    auto text = FSNodeInfo::initWithParent(source->getRoot(), "f.txt");
    text->setDelegate(source);
    text->imageRepresentation();
    source->waitForThumbnails();
    text->imageRepresentation();
    source->waitForThumbnails();
    EXPECT_EQ(provider->count("f.txt"), 1u);
    EXPECT_EQ(text->imageVersion(), 0);
    ThumbnailProvider::unregisterProvider(provider);
}

// Counts its calls, each held until the gate opens; keeps what it made
// weakly, to count the pictures still alive.
class GatedProvider : public CountingProvider {
public:
    std::shared_ptr<const platform::BitmapImage> thumbnailForFile(const fs::path& file,
                                                                  platform::Size size,
                                                                  bool icon) override {
        auto bitmap = CountingProvider::thumbnailForFile(file, size, icon);
        std::unique_lock lock(mutex);
        made.push_back(bitmap);
        changed.notify_all();
        changed.wait(lock, [&] { return open; });
        return bitmap;
    }
    std::condition_variable changed;
    bool open = false;
    std::vector<std::weak_ptr<const platform::BitmapImage>> made;
};

// Once a page is shown, thumbnails asked for the pages scrolled past are dropped, not
// made first, and the processors work side by side; pictures live only while cached.
TEST_F(BrowserItems, CellsScrolledAwayDoNotDelayTheVisibleOnesNorOutliveTheCache) {
    setLevel(2);
    const fs::path folder = home.path() / "pages";
    const size_t files = BrowserDataSource::kThumbnailCacheLimit + 20;
    for (size_t i = 0; i < files; ++i) touch(folder / ("old" + std::to_string(i) + ".thumb"));
    for (int i = 0; i < 3; ++i) touch(folder / ("shown" + std::to_string(i) + ".thumb"));
    auto provider = std::make_shared<GatedProvider>();
    ThumbnailProvider::registerProvider(provider);
    auto source = BrowserDataSource::create();
    source->setPath(folder, {});
    const auto settle = [&] {
        source->waitForThumbnails();
        platform::MainRunLoop::shared().drain();
    };
    std::vector<std::shared_ptr<FSNodeInfo>> old, shown;
    for (const auto& node : source->getRoot()->subNodes())
        (node->lastPathComponent().rfind("old", 0) == 0 ? old : shown).push_back(node);
    for (const auto& node : old) node->imageRepresentation();
    const size_t atOnce = std::min<size_t>(platform::processorCount(), old.size());
    {
        std::unique_lock lock(provider->mutex);
        EXPECT_TRUE(provider->changed.wait_for(lock, std::chrono::seconds(10),
                                               [&] { return provider->calls.size() >= atOnce; }));
        source->setVisibleItems(shown);
        for (const auto& node : shown) node->imageRepresentation();
        provider->open = true;
        provider->changed.notify_all();
    }
    settle();
    EXPECT_EQ(provider->calls.size(), atOnce + shown.size());
    for (const auto& node : shown) EXPECT_EQ(node->imageVersion(), 1) << node->absolutePath();

    // Each dropped cell asks again when it is shown; the cache lets the first go.
    for (const auto& node : old) {
        source->setVisibleItems({node});
        node->imageRepresentation();
        settle();
        EXPECT_EQ(node->imageVersion(), 1);
    }
    const auto& made = provider->made;
    EXPECT_EQ(std::count_if(made.begin(), made.end(), [](auto& p) { return !p.expired(); }),
              BrowserDataSource::kThumbnailCacheLimit);
    EXPECT_EQ(old.front()->imageVersion(), 0);
    EXPECT_EQ(old.front()->imageRepresentation().bitmap->width(), 64u);  // the icon meanwhile
    settle();
    EXPECT_EQ(old.front()->imageRepresentation().bitmap->width(), 4u);
    ThumbnailProvider::unregisterProvider(provider);
}

TEST_F(BrowserItems, LinksGetTheBadgeAndPlainImagesTheirPicture) {
    auto png = dir / "e.png";
    fs::remove(png);
    // No data source: the thumbnail is made at once through the image reader.
    auto node = FSNodeInfo::initWithURL(dir / "f.txt", {});
    auto icon = node->imageRepresentation();
    ASSERT_TRUE(icon);
    fs::create_symlink(dir / "f.txt", dir / "link.txt");
    auto link = FSNodeInfo::initWithURL(dir / "link.txt", {});
    EXPECT_TRUE(link->isLink());
    auto badged = link->iconImageOfSize({32, 32});
    ASSERT_TRUE(badged);
    EXPECT_EQ(badged.size.width, 32);
    const uint8_t* a = icon.bitmap->dataProvider()->bytes();
    const uint8_t* b = badged.bitmap->dataProvider()->bytes();
    size_t corner = (63 * 64 + 2) * 4;  // lower-left corner
    EXPECT_NE(a[corner + 3], b[corner + 3]);
}

}  // namespace
