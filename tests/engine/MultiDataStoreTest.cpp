// Settings stores: the catalog file and the property-list form of settings
// that hold profile objects.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstring>
#include <ctime>
#include <fstream>
#include <limits>
#include <optional>
#include <sstream>
#include <thread>
#include <vector>

#include "color/ColorSyncProfileWrap.h"
#include "color/DNGCameraProfileAbstract.h"
#include "engine/MultiDataStore.h"
#include "platform/PropertyList.h"
#include "platform/UserWarning.h"
#include "support/ShortLockWait.h"
#include "support/TestSupport.h"

namespace fs = std::filesystem;
using platform::Dictionary;
using platform::Value;

namespace {

Dictionary entry(const std::string& uuid, int exposure) {
    return Dictionary{{"Quorvex_UUID", uuid}, {"Quorvex_Exposure", exposure}};
}

// Photos "/p/00".."/p/39" whose entries all have the same length: even ones
// at exposure 2, odd ones at 0.
std::string photo(int i) { return (i < 10 ? "/p/0" : "/p/") + std::to_string(i); }
int exposureOf(int i) { return i % 2 ? 0 : 2; }

bool setFileTime(const fs::path& path, time_t seconds, long nanoseconds) {
    const timespec times[2] = {{seconds, nanoseconds}, {seconds, nanoseconds}};
    return ::utimensat(AT_FDCWD, path.c_str(), times, 0) == 0;
}

// Another run of the program on the same catalog: "add PREFIX COUNT" adds
// COUNT entries; "lookup CATALOG UUID REPORT" looks a photo up and writes its
// peak memory (KB) to REPORT; "resave SECONDS" closes unchanged photos again
// and again (their entries move to the end, the file keeps its size) and
// leaves the file's time at its whole second, as a file system with 1-second
// times does.
// "addin HOME PREFIX COUNT" adds as "add" does, with HOME as the data folder.
// "hold ..." holds a lock (testsupport::holdLock).
int storeHelper(const std::vector<std::string>& arguments) {
    if (arguments[0] == "addin") {
        ::setenv("XDG_DATA_HOME", arguments[1].c_str(), 1);
        return storeHelper({"add", arguments[2], arguments[3]});
    }
    if (arguments[0] == "hold") return testsupport::holdLock(arguments);
    DataStoreItem store("Catalog");
    if (arguments[0] == "add") {
        for (int i = 0; i < std::stoi(arguments[2]); ++i)
            if (!store.addItem(entry(arguments[1] + std::to_string(i), i))) return 1;
        return 0;
    }
    if (arguments[0] == "lookup") {
        if (store.storeFilePath() != fs::path(arguments[1]) || !store.getItemForUUID(arguments[2]))
            return 1;
        struct rusage usage {};
        ::getrusage(RUSAGE_SELF, &usage);
        std::ofstream(arguments[3]) << usage.ru_maxrss;
        return 0;
    }
    const auto end =
        std::chrono::steady_clock::now() + std::chrono::seconds(std::stoi(arguments[1]));
    for (int i = 0; std::chrono::steady_clock::now() < end; i = (i + 7) % 40) {
        if (!store.addItem(entry(photo(i), exposureOf(i)))) return 1;
        setFileTime(*store.storeFilePath(), std::time(nullptr), 0);
    }
    return 0;
}

// The peak memory of a new process that looks one photo up in `catalog`.
long lookupPeakKb(const fs::path& catalog, const std::string& uuid, const fs::path& report) {
    const int pid = testsupport::spawnHelper({"lookup", catalog.string(), uuid, report.string()});
    if (testsupport::waitForHelper(pid) != 0) return -1;
    long kb = -1;
    std::ifstream(report) >> kb;
    return kb;
}

// The requests for the lock on `file` queued in the kernel, of any process.
int queuedRequests(const fs::path& file) {
    struct stat st {};
    if (::stat(file.c_str(), &st) != 0) return -1;
    const std::string inode = ":" + std::to_string(st.st_ino);
    std::ifstream locks("/proc/locks");
    int queued = 0;
    for (std::string line; std::getline(locks, line);) {
        std::istringstream fields(line);
        std::string number, arrow, kind, advisory, access, pid, device;
        if (fields >> number >> arrow >> kind >> advisory >> access >> pid >> device &&
            arrow == "->" && device.ends_with(inode))
            ++queued;
    }
    return queued;
}

// The document type line standard writers begin a property list with.
constexpr const char* kDoctype =
    "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
    "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n";

}  // namespace

QUORVEX_TEST_HELPER(storeHelper)

namespace {

// An object of another class that writes a path into its property list.
class FakeProfile : public platform::Object {
public:
    FakeProfile(std::string cls, std::string path) : cls_(std::move(cls)), path_(std::move(path)) {}
    std::string className() const override { return cls_; }
    Value objectSerializeForPList() const override {
        return Dictionary{{"Class_of_serialized_Object", cls_}, {"path", path_}};
    }
    const std::string& path() const { return path_; }

private:
    std::string cls_, path_;
};

class Subclassed : public FakeProfile {
public:
    using FakeProfile::FakeProfile;
    std::string className() const override { return "MyColorSyncProfileWrap"; }
};

class DataStoreItemTest : public ::testing::Test {
protected:
    void SetUp() override { DataStoreItem::forgetCatalogDirectory(); }
    void TearDown() override { DataStoreItem::forgetCatalogDirectory(); }
    static std::vector<std::string> identities(DataStoreItem& store) {
        std::vector<std::string> ids;
        for (const Value& v : store.imageData().value_or(Value::Array{}))
            ids.push_back(v["Quorvex_UUID"].stringValue());
        return ids;
    }

    testsupport::ScopedHome scratch;
};

}  // namespace

TEST(MultiDataStore, ObjectsBecomePropertyListsAndBack) {
    auto& store = MultiDataStore::sharedMultiDataStore();
    EXPECT_EQ(store.depthToConvert(), 2);

    const Dictionary settings{
        {"Quorvex_CameraProfile", Value(DNGCameraProfileAbstract::initAsAutoProfile())},
        {"Quorvex_Exposure", 0.5},
        {"Nested",
         Dictionary{{"Quorvex_iccProfile", Value(ColorSyncProfileWrap::initAsAutoProfile())}}},
        {"Sub", Value(std::make_shared<Subclassed>("ColorSyncProfileWrap", "/p/x.icc"))}};

    const Dictionary plist = store.serializeToPList(settings);
    EXPECT_EQ(plist["Quorvex_CameraProfile"]["Class_of_serialized_Object"].stringValue(),
              "DNGCameraProfileAbstract");
    EXPECT_EQ(plist["Nested"]["Quorvex_iccProfile"]["Class_of_serialized_Object"].stringValue(),
              "ColorSyncProfileWrap");
    EXPECT_EQ(plist["Nested"]["Quorvex_iccProfile"],
              ColorSyncProfileWrap::initAsAutoProfile()->objectSerializeForPList());
    EXPECT_TRUE(plist["Sub"].isObject());  // a subclass is not converted
    EXPECT_EQ(plist["Quorvex_Exposure"], Value(0.5));

    // Depth 0: only the top level is converted; the nested one is copied.
    const Dictionary shallow = store.serializeToPList(settings, 0);
    EXPECT_TRUE(shallow["Quorvex_CameraProfile"].isDictionary());
    EXPECT_TRUE(shallow["Nested"]["Quorvex_iccProfile"].isObject());

    // Through a file and back.
    testsupport::ScratchDir dir;
    Dictionary written = plist;
    written.remove("Sub");
    ASSERT_TRUE(platform::writePropertyList(Value(written), dir.path() / "s.plist"));
    const auto read = platform::readPropertyList(dir.path() / "s.plist");
    ASSERT_TRUE(read);
    const Dictionary back = store.deserializeFromPList(read->dictionary());
    auto camera = back["Quorvex_CameraProfile"].objectAs<DNGCameraProfileAbstract>();
    ASSERT_TRUE(camera);
    EXPECT_TRUE(camera->isAutoProfile());
    auto icc = back["Nested"]["Quorvex_iccProfile"].objectAs<ColorSyncProfileWrap>();
    ASSERT_TRUE(icc);
    EXPECT_EQ(icc->description(), ColorSyncProfileWrap::initAsAutoProfile()->description());
    EXPECT_EQ(back["Quorvex_Exposure"], Value(0.5));
}

TEST(MultiDataStore, ClassNamesOnReading) {
    auto& store = MultiDataStore::sharedMultiDataStore();
    const Dictionary plist{
        {"lower", Dictionary{{"Class_of_serialized_Object", "colorsyncprofilewrap"}}},
        {"unknown", Dictionary{{"Class_of_serialized_Object", "NSColor"}, {"path", "/b"}}},
        {"missing", Dictionary{{"Class_of_serialized_Object", "ColorSyncProfileWrap"},
                               {"ScannerProfileDescription", "No profile has this name"}}},
        {"plain", Dictionary{{"a", 1}}},
        {"deep", Dictionary{{"inner", Dictionary{{"Class_of_serialized_Object",
                                                  "DNGCameraProfileAbstract"}}}}}};
    const Dictionary back = store.deserializeFromPList(plist);
    EXPECT_TRUE(back["lower"].objectAs<ColorSyncProfileWrap>());
    EXPECT_FALSE(back.contains("unknown"));
    EXPECT_FALSE(back.contains("missing"));  // an object that cannot be made is left out
    EXPECT_EQ(back["plain"], Value(Dictionary{{"a", 1}}));
    EXPECT_TRUE(back["deep"]["inner"].objectAs<DNGCameraProfileAbstract>());
    // Below the depth, a marked dictionary stays as it is.
    EXPECT_TRUE(store.deserializeFromPList(plist, 0)["deep"]["inner"].isDictionary());
}

TEST_F(DataStoreItemTest, AddUpdateRemoveGet) {
    auto store = MultiDataStore::sharedMultiDataStore().dataStoreForStore("Catalog");
    EXPECT_EQ(store, MultiDataStore::sharedMultiDataStore().dataStoreForStore("Catalog"));
    const fs::path file = scratch.path() / "data/Quorvex/Catalog/QuorvexCatalog.plist";
    EXPECT_EQ(store->storeFilePath(), file);
    EXPECT_FALSE(store->imageData());
    EXPECT_FALSE(store->getItemForUUID("/a.dng"));

    ASSERT_TRUE(store->addItem(entry("/a.dng", 1)));
    ASSERT_TRUE(store->addItem(entry("/b.dng", 2)));
    ASSERT_TRUE(store->addItem(entry("/a.dng", 3)));  // replaces, moves to the end
    EXPECT_EQ(identities(*store), (std::vector<std::string>{"/b.dng", "/a.dng"}));
    EXPECT_EQ(store->getItemForUUID("/a.dng")->find("Quorvex_Exposure")->integerValue(), 3);

    ASSERT_TRUE(store->updateItem(Dictionary{{"Quorvex_UUID", "/b.dng"}, {"Quorvex_Tint", 9}}));
    auto b = store->getItemForUUID("/b.dng");
    ASSERT_TRUE(b);
    EXPECT_EQ((*b)["Quorvex_Exposure"].integerValue(), 2);  // merged, old keys kept
    EXPECT_EQ((*b)["Quorvex_Tint"].integerValue(), 9);
    EXPECT_EQ(identities(*store), (std::vector<std::string>{"/a.dng", "/b.dng"}));

    ASSERT_TRUE(store->updateItem(entry("/c.dng", 5)));  // not stored: nothing added
    EXPECT_EQ(identities(*store), (std::vector<std::string>{"/a.dng", "/b.dng"}));

    ASSERT_TRUE(store->removeItem(Dictionary{{"Quorvex_UUID", "/a.dng"}}));
    EXPECT_EQ(identities(*store), (std::vector<std::string>{"/b.dng"}));
    EXPECT_TRUE(store->imageDataFile()->find("<plist version=\"1.0\">") != std::string::npos);

    platform::Error error;
    EXPECT_TRUE(store->deleteCurrentCatalog(&error));
    EXPECT_FALSE(fs::exists(file));
    EXPECT_FALSE(store->deleteCurrentCatalog(&error));
    ASSERT_TRUE(store->addItem(entry("/d.dng", 1)));  // the next save makes it again
    EXPECT_EQ(identities(*store), (std::vector<std::string>{"/d.dng"}));
}

TEST_F(DataStoreItemTest, StoresShareTheFirstFolder) {
    DataStoreItem presets("Presets");
    DataStoreItem catalog("Catalog");
    const fs::path support = scratch.path() / "data/Quorvex";
    EXPECT_EQ(presets.pathToCurrentCatalogDirectory(), support / "Presets");
    EXPECT_EQ(catalog.storeFilePath(), support / "Presets" / "QuorvexCatalog.plist");
}

TEST_F(DataStoreItemTest, UnreadableCatalogIsKeptAside) {
    DataStoreItem store("Catalog");
    const fs::path file = *store.storeFilePath();
    {
        std::ofstream out(file);
        out << "<plist><array><dict><key>Quorvex_UUID</key>";  // cut short
    }
    EXPECT_FALSE(store.imageData());  // reads as nothing
    ASSERT_TRUE(store.addItem(entry("/a.dng", 1)));
    EXPECT_EQ(identities(store), (std::vector<std::string>{"/a.dng"}));
    fs::path backup = file;
    backup += ".unreadable-1";
    ASSERT_TRUE(fs::exists(backup));
    std::ifstream in(backup);
    std::string kept((std::istreambuf_iterator<char>(in)), {});
    EXPECT_EQ(kept, "<plist><array><dict><key>Quorvex_UUID</key>");

    // A file whose top level is not an array is kept too, under the next name.
    ASSERT_TRUE(platform::writePropertyList(Value(Dictionary{{"x", 1}}), file));
    ASSERT_TRUE(store.removeItem(entry("/a.dng", 0)));
    fs::path second = file;
    second += ".unreadable-2";
    EXPECT_TRUE(fs::exists(second));
    EXPECT_EQ(store.imageData()->size(), 0u);
}

TEST_F(DataStoreItemTest, ACatalogCaughtWhileRewrittenInPlaceIsReadAgain) {
    DataStoreItem store("Catalog");
    ASSERT_TRUE(store.addItem(entry("/a.dng", 7)));
    const fs::path file = *store.storeFilePath();
    const std::string whole = *store.imageDataFile();
    // Another program rewrites the file where it is: for a moment only its
    // first half is there.
    {
        std::ofstream out(file, std::ios::binary | std::ios::trunc);
        out << whole.substr(0, whole.size() / 2);
    }
    // The rest comes once the store has read the half at least once, however
    // late a busy machine runs either thread.
    const int watch = ::inotify_init1(IN_CLOEXEC);
    ASSERT_GE(watch, 0);
    ASSERT_GE(::inotify_add_watch(watch, file.c_str(), IN_CLOSE_NOWRITE), 0);
    std::thread other([&] {
        pollfd read{watch, POLLIN, 0};
        ::poll(&read, 1, 10'000);
        std::ofstream out(file, std::ios::binary | std::ios::app);
        out << whole.substr(whole.size() / 2);
    });
    std::string unreadable;
    const auto a = store.getItemForUUID("/a.dng", &unreadable);
    other.join();
    ::close(watch);
    ASSERT_TRUE(a);
    EXPECT_EQ((*a)["Quorvex_Exposure"].integerValue(), 7);
    EXPECT_TRUE(unreadable.empty());

    // One that stays damaged is given up within about a second, with the reason.
    std::ofstream(file, std::ios::trunc) << whole.substr(0, whole.size() / 2);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(store.getItemForUUID("/a.dng", &unreadable));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
    EXPECT_FALSE(unreadable.empty());
}

TEST_F(DataStoreItemTest, ConcurrentWritersAndReaders) {
    DataStoreItem store("Catalog");
    ASSERT_TRUE(store.addItem(entry("/seed.dng", 0)));
    std::atomic<bool> done{false};
    std::atomic<int> badReads{0};
    std::thread reader([&] {
        while (!done)
            if (!store.imageData()) ++badReads;  // a half-written file would not parse
    });
    std::vector<std::thread> writers;
    for (int t = 0; t < 4; ++t)
        writers.emplace_back([&, t] {
            for (int i = 0; i < 5; ++i)
                store.addItem(entry("/img" + std::to_string(t) + "_" + std::to_string(i), i));
        });
    for (auto& w : writers) w.join();
    done = true;
    reader.join();
    EXPECT_EQ(badReads, 0);
    EXPECT_EQ(identities(store).size(), 21u);  // no change lost
    for (const auto& e : fs::directory_iterator(store.storeFilePath()->parent_path()))
        EXPECT_TRUE(e.path().filename() == "QuorvexCatalog.plist" ||
                    e.path().filename() == ".QuorvexCatalog.plist.lock")
            << e.path();  // no temporary left behind
}

namespace {

// What the store's operations do to the array its file holds.
struct CatalogModel {
    Value::Array entries;

    const Value* last(const Value& id) const {
        for (size_t i = entries.size(); i-- > 0;)
            if (entries[i].isDictionary() && entries[i]["Quorvex_UUID"] == id) return &entries[i];
        return nullptr;
    }
    // The last entry of the item's identity goes, with its equal copies.
    void add(const Dictionary& item, bool keep = true) {
        if (const Value* p = last(item["Quorvex_UUID"])) std::erase(entries, Value(*p));
        if (keep) entries.emplace_back(item);
    }
    std::optional<Dictionary> get(const std::string& uuid) const {
        for (const Value& e : entries)
            if (e.isDictionary() && e["Quorvex_UUID"] == Value(uuid)) return e.dictionary();
        return std::nullopt;
    }
};

}  // namespace

// Indexed reads and changes give the same entries and bytes as rewriting the whole array.
TEST_F(DataStoreItemTest, IndexedAndWholeReadsGiveTheSameEntriesAndBytes) {
    const std::string odd = "/odd <&> \x01.dng";
    CatalogModel start;
    for (int i = 0; i < 40; ++i) start.entries.emplace_back(entry("/p/" + std::to_string(i), i));
    // An equal copy, one that differs, a non-dictionary, no identity, a number as one.
    start.entries.insert(start.entries.end(),
                         {entry("/p/3", 3), entry("/p/5", 50), Value("not a dictionary"),
                          Dictionary{{"Quorvex_Exposure", 1}},
                          Dictionary{{"Quorvex_UUID", 12}, {"n", Dictionary{{"x", 0.1}}}},
                          Dictionary{{"Quorvex_UUID", odd},
                                     {"when", Value(Value::Date{1700000000})},
                                     {"blob", Value(Value::Data{1, 2, 3})},
                                     {"inf", -std::numeric_limits<double>::infinity()},
                                     {"empty", Dictionary{}}}});
    const std::string written = platform::serializePropertyList(Value(start.entries));
    std::string byHand = written;  // another program's layout
    std::erase(byHand, '\t');
    byHand.insert(byHand.find("<plist"), "<!-- written elsewhere -->\n");
    std::string doctype = written;  // as standard writers begin it
    doctype.insert(doctype.find("<plist"), kDoctype);
    // Our layout, but one entry repeats a key: read once, so written once.
    std::string repeated = written;
    const std::string uuid7 = "\t\t\t<key>Quorvex_UUID</key>\n\t\t\t<string>/p/7</string>\n";
    repeated.insert(repeated.find(uuid7), uuid7);

    for (const auto& [initial, label] :
         std::vector<std::pair<std::string, const char*>>{{"", "no file"},
                                                          {written, "ours"},
                                                          {byHand, "by hand"},
                                                          {doctype, "with a document type"},
                                                          {repeated, "a repeated key"}}) {
        SCOPED_TRACE(label);
        DataStoreItem store("Catalog");
        const fs::path file = *store.storeFilePath();
        fs::remove(file);
        CatalogModel model;
        if (!initial.empty()) {
            ASSERT_TRUE(platform::writeFileAtomically(file, initial));
            model = start;
        }
        auto same = [&](const std::string& step) {
            SCOPED_TRACE(step);
            for (const std::string uuid : {"/p/3", "/p/5", "/p/39", "/new", odd.c_str(), "12"})
                EXPECT_EQ(store.getItemForUUID(uuid), model.get(uuid)) << uuid;
            if (step != "read") {
                std::ifstream in(file, std::ios::binary);
                EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}),
                          platform::serializePropertyList(Value(model.entries)));
            }
        };
        same("read");
        // An add of an identity stored twice, differently: the earlier stays.
        for (const Dictionary& item : {entry("/p/3", 33), entry("/new", 1),
                                       Dictionary{{"Quorvex_Exposure", 2}}, entry("/p/5", 55)}) {
            EXPECT_TRUE(store.addItem(item));
            model.add(item);
        }
        const Dictionary change{{"Quorvex_UUID", "/p/5"}, {"Quorvex_Tint", 4}};
        ASSERT_TRUE(store.updateItem(change) && store.updateItem(entry("/missing", 0)));
        if (const Value* p = model.last(Value("/p/5"))) {
            Dictionary merged = p->dictionary();
            merged.set("Quorvex_Tint", 4);
            model.add(merged);
        }
        same("added and updated");
        ASSERT_TRUE(store.removeItem(Dictionary{{"Quorvex_UUID", "/p/39"}}));
        model.add(Dictionary{{"Quorvex_UUID", "/p/39"}}, false);
        same("removed");
        // Another program rewrites the file between two changes.
        model.add(entry("/elsewhere", 9));
        ASSERT_TRUE(platform::writePropertyList(Value(model.entries), file));
        EXPECT_TRUE(store.addItem(entry(odd, 2)));
        model.add(entry(odd, 2));
        same("after a rewrite elsewhere");
    }
}

// However large, the catalog is read and kept, and a lookup reads its entry alone.
TEST_F(DataStoreItemTest, ALargeCatalogIsKeptAndALookupReadsItsEntryAlone) {
    DataStoreItem store("Catalog");
    const fs::path file = *store.storeFilePath();
    int count = 0;
    {
        std::ofstream out(file, std::ios::binary);
        out << platform::kArrayFileHead;
        Dictionary big = entry("", 0);
        big.set("Quorvex_Note", std::string(1 << 20, 'x'));
        for (; uintmax_t(out.tellp()) <= platform::kMaxPropertyListFileSize; ++count) {
            big.set("Quorvex_UUID", "/p/" + std::to_string(count));
            out << platform::serializeArrayElement(Value(big));
        }
        out << platform::kArrayFileTail;
    }
    EXPECT_TRUE(store.getItemForUUID("/p/0"));
    ASSERT_TRUE(store.addItem(entry("/p/1", 5)));
    EXPECT_FALSE(fs::exists(file.string() + ".unreadable-1"));
    // Once the file's time is well past, its index is trusted.
    fs::last_write_time(file, fs::file_time_type::clock::now() - std::chrono::minutes(10));
    EXPECT_TRUE(store.getItemForUUID("/p/2"));
    const auto before = testsupport::bytesReadSoFar();
    EXPECT_EQ(store.getItemForUUID("/p/1")->find("Quorvex_Exposure")->integerValue(), 5);
    EXPECT_TRUE(store.getItemForUUID("/p/" + std::to_string(count - 1)));
    EXPECT_LT(testsupport::bytesReadSoFar() - before, fs::file_size(file));
}

// A damaged catalog untouched for an hour is not waited for, so the later repair is missed.
TEST_F(DataStoreItemTest, ADamagedCatalogNobodyWritesIsNotWaitedFor) {
    DataStoreItem store("Catalog");
    ASSERT_TRUE(store.addItem(entry("/a.dng", 7)));
    const fs::path file = *store.storeFilePath();
    const std::string whole = *store.imageDataFile();
    std::ofstream(file, std::ios::trunc) << whole.substr(0, whole.size() / 2);
    fs::last_write_time(file, fs::file_time_type::clock::now() - std::chrono::hours(1));
    std::thread repair([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(400));
        platform::writeFileAtomically(file, whole);
    });
    std::string unreadable;
    EXPECT_FALSE(store.getItemForUUID("/a.dng", &unreadable));
    repair.join();
    EXPECT_NE(unreadable, "");
}

// With 1-second times, another process's rewrite can give the file the stamp
// of one indexed before (same size, an inode used in turn): no photo may get
// another's entry, and none may be lost or doubled.
TEST_F(DataStoreItemTest, ARewriteWithTheSameStampIsNotTakenForTheIndexedOne) {
    DataStoreItem store("Catalog");
    for (int i = 0; i < 40; ++i) ASSERT_TRUE(store.addItem(entry(photo(i), exposureOf(i))));
    const int other = testsupport::spawnHelper({"resave", "3"});
    ASSERT_GT(other, 0);
    int wrong = 0, lookups = 0;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(2500);
    for (int i = 0; std::chrono::steady_clock::now() < end; i = (i + 1) % 40, ++lookups) {
        const auto found = store.getItemForUUID(photo(i));
        if (!found || (*found)["Quorvex_UUID"].stringValue() != photo(i) ||
            (*found)["Quorvex_Exposure"].integerValue() != exposureOf(i))
            ++wrong;
        ASSERT_TRUE(i % 5 != 0 || store.addItem(entry(photo(i), exposureOf(i))));
        // Long enough for the other process to rewrite the file a few times.
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
    EXPECT_EQ(testsupport::waitForHelper(other), 0);
    EXPECT_EQ(wrong, 0) << "of " << lookups;
    std::vector<std::string> ids = identities(store), expected;
    for (int i = 0; i < 40; ++i) expected.push_back(photo(i));
    std::ranges::sort(ids);
    EXPECT_EQ(ids, expected);
}

// A file rewritten where it is, to the same size, within the same second, is
// told apart by the fraction of its time.
TEST_F(DataStoreItemTest, AnInPlaceRewriteOfTheSameSizeInTheSameSecondIsSeen) {
    DataStoreItem store("Catalog");
    for (int i = 0; i < 40; ++i) ASSERT_TRUE(store.addItem(entry(photo(i), exposureOf(i))));
    const fs::path file = *store.storeFilePath();
    const time_t anHourAgo = std::time(nullptr) - 3600;
    ASSERT_TRUE(setFileTime(file, anHourAgo, 100'000'000));
    EXPECT_TRUE(store.getItemForUUID(photo(1)));
    std::string bytes = *store.imageDataFile();
    bytes.replace(bytes.find("/p/01"), 5, "/p/41");
    {
        std::ofstream out(file, std::ios::binary | std::ios::in | std::ios::out);
        out << bytes;
    }
    ASSERT_TRUE(setFileTime(file, anHourAgo, 600'000'000));
    EXPECT_TRUE(store.getItemForUUID("/p/41"));
    EXPECT_FALSE(store.getItemForUUID(photo(1)));
}

// Rewritten in place to the same size by another process of ours, which
// counts its change, and given back the exact time the store saw.
TEST_F(DataStoreItemTest, AnEqualStampIsNotTrustedWhenTheChangeCountMoved) {
    DataStoreItem store("Catalog");
    for (int i = 0; i < 40; ++i) ASSERT_TRUE(store.addItem(entry(photo(i), exposureOf(i))));
    const fs::path file = *store.storeFilePath();
    struct stat seen {};
    ASSERT_EQ(::stat(file.c_str(), &seen), 0);
    std::string bytes = *store.imageDataFile();
    bytes.replace(bytes.find("/p/01"), 5, "/p/41");
    std::ofstream(file, std::ios::binary | std::ios::in | std::ios::out) << bytes;
    // The count of changes the lock file keeps.
    const int fd = ::open((file.parent_path() / ".QuorvexCatalog.plist.lock").c_str(), O_RDWR);
    int64_t count = 0;
    ASSERT_EQ(::pread(fd, &count, sizeof count, 0), ssize_t(sizeof count));
    ++count;
    ASSERT_EQ(::pwrite(fd, &count, sizeof count, 0), ssize_t(sizeof count));
    ::close(fd);
    ASSERT_TRUE(setFileTime(file, seen.st_mtim.tv_sec, seen.st_mtim.tv_nsec));
    EXPECT_TRUE(store.getItemForUUID("/p/41"));
    EXPECT_FALSE(store.getItemForUUID(photo(1)));
}

TEST_F(DataStoreItemTest, ChangesFromSeveralProcessesAllSurvive) {
    std::vector<int> adders;
    for (const char* prefix : {"/a/", "/b/", "/c/"})
        adders.push_back(testsupport::spawnHelper({"add", prefix, "100"}));
    for (int pid : adders) EXPECT_EQ(testsupport::waitForHelper(pid), 0);
    DataStoreItem store("Catalog");
    EXPECT_EQ(identities(store).size(), 300u);
}

// Two data folders whose catalogs are links to one file: every process locks
// the file really written, whichever way it took to it.
TEST_F(DataStoreItemTest, ChangesThroughDifferentLinksToOneCatalogAllSurvive) {
    const fs::path shared = scratch.path() / "synced" / "catalog.plist";
    fs::create_directories(shared.parent_path());
    ASSERT_TRUE(platform::writePropertyList(Value(Value::Array{}), shared));
    std::vector<int> adders;
    for (const char* home : {"one", "two"}) {
        const fs::path folder = scratch.path() / home / "Quorvex" / "Catalog";
        fs::create_directories(folder);
        fs::create_symlink(shared, folder / "QuorvexCatalog.plist");
        for (const char* prefix : {"/a/", "/b/", "/c/"})
            adders.push_back(testsupport::spawnHelper(
                {"addin", (scratch.path() / home).string(), home + std::string(prefix), "60"}));
    }
    for (int pid : adders) EXPECT_EQ(testsupport::waitForHelper(pid), 0);
    const auto saved = platform::readPropertyList(shared);
    ASSERT_TRUE(saved && saved->isArray());
    EXPECT_EQ(saved->array().size(), 360u);
}

// Another program keeps the catalog's lock: a change is not saved and says
// why; reading goes on without the lock; the next change waits again.
TEST_F(DataStoreItemTest, AKeptLockFailsAChangeAfterABoundedWaitAndReadsGoOn) {
    const testsupport::ShortLockWait shortWait;
    DataStoreItem store("Catalog");
    ASSERT_TRUE(store.addItem(entry("/a.dng", 1)));
    const fs::path file = *store.storeFilePath();
    const std::string before = *store.imageDataFile();
    // On a descriptor of its own, as another program would.
    const int other = ::open((file.parent_path() / ".QuorvexCatalog.plist.lock").c_str(),
                             O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    ASSERT_EQ(::flock(other, LOCK_EX), 0);
    std::vector<std::string> told;
    const auto previous =
        platform::setUserWarningHandler([&](const std::string& text) { told.push_back(text); });
    EXPECT_FALSE(store.addItem(entry("/b.dng", 2)));
    EXPECT_TRUE(store.getItemForUUID("/a.dng"));
    EXPECT_EQ(*store.imageDataFile(), before);
    EXPECT_EQ(store.lastWriteError().failureReason.find("not saved"), 0u)
        << store.lastWriteError().failureReason;
    // A wait that ran out stays queued, and the next one joins it.
    platform::FileLock::setWaitLimit(std::chrono::milliseconds(400));
    EXPECT_FALSE(store.addItem(entry("/b.dng", 2)));
    platform::FileLock::setWaitLimit(testsupport::ShortLockWait::kLimit);
    EXPECT_EQ(queuedRequests(file.parent_path() / ".QuorvexCatalog.plist.lock"), 1);
    ASSERT_EQ(told.size(), 4u);
    EXPECT_NE(told[0].find("the catalog \"" + file.string() + "\""), std::string::npos) << told[0];
    std::thread letGo([other] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        ::close(other);
    });
    EXPECT_TRUE(store.addItem(entry("/b.dng", 2)));
    letGo.join();
    platform::setUserWarningHandler(previous);
    EXPECT_TRUE(store.addItem(entry("/c.dng", 3)));
}

// A holder at work, here through a process it started, is waited for past
// the bound, told within a second and the notice withdrawn when the wait
// ends; one asleep is given up on, and the catalog's reset then refuses and
// keeps the file.
TEST_F(DataStoreItemTest, AHolderAtWorkIsWaitedForPastTheBoundOneAsleepIsNot) {
    const testsupport::ShortLockWait shortWait;
    DataStoreItem store("Catalog");
    ASSERT_TRUE(store.addItem(entry("/a.dng", 1)));
    const fs::path file = *store.storeFilePath();
    const fs::path lock = file.parent_path() / ".QuorvexCatalog.plist.lock";
    const fs::path ready = scratch.path() / "ready";
    const auto limit = testsupport::ShortLockWait::kLimit;
    const int working =
        testsupport::spawnLockHolder(lock, int(limit.count() * 3 / 2), "burn", ready);
    ASSERT_GT(working, 0);
    const auto start = std::chrono::steady_clock::now();
    std::optional<std::chrono::steady_clock::duration> toldAfter;
    std::string notice, withdrawn;
    const auto previous = platform::setUserWarningHandler([&](const std::string& text) {
        if (!toldAfter) toldAfter = std::chrono::steady_clock::now() - start;
        notice = text;
    });
    platform::setWithdrawnWarningHandler([&](const std::string& text) { withdrawn = text; });
    EXPECT_TRUE(store.addItem(entry("/b.dng", 2)));
    EXPECT_GT(std::chrono::steady_clock::now() - start, limit);
    platform::setUserWarningHandler(previous);
    platform::setWithdrawnWarningHandler(nullptr);
    ASSERT_TRUE(toldAfter);
    EXPECT_LT(*toldAfter, std::chrono::seconds(1));
    EXPECT_EQ(withdrawn, notice);
    EXPECT_EQ(testsupport::waitForHelper(working), 0);

    testsupport::LockHolder asleep(lock);
    ASSERT_TRUE(asleep.hold("sleep"));
    platform::Error error;
    EXPECT_FALSE(store.deleteCurrentCatalog(&error));
    asleep.letGo();
    EXPECT_EQ(error.failureReason.find("not saved"), 0u) << error.failureReason;
    EXPECT_TRUE(store.getItemForUUID("/b.dng"));
    EXPECT_TRUE(store.deleteCurrentCatalog(&error));
    EXPECT_FALSE(fs::exists(file));
}

// Under a file-size limit, as on a full disk; then a killed writer's
// temporary file goes at the next run, a living writer's stays.
TEST_F(DataStoreItemTest, AFailedWriteSaysWhereAndWhyAndLeftoversAreRemoved) {
    DataStoreItem store("Catalog");
    ASSERT_TRUE(store.addItem(entry("/a.dng", 1)));
    const fs::path file = *store.storeFilePath();
    const std::string before = *store.imageDataFile();
    {
        testsupport::FileSizeLimit full(before.size());
        EXPECT_FALSE(store.addItem(entry("/b.dng", 2)));
    }
    const platform::Error why = store.lastWriteError();
    EXPECT_NE(why.failureReason.find(file.parent_path().string()), std::string::npos)
        << why.failureReason;
    EXPECT_NE(why.failureReason.find(std::strerror(EFBIG)), std::string::npos) << why.failureReason;
    EXPECT_EQ(*store.imageDataFile(), before);

    const fs::path left = file.parent_path() / ".QuorvexCatalog.plist.Ab12Cd";
    const fs::path held = file.parent_path() / ".QuorvexCatalog.plist.Xy34Zw";
    std::ofstream(left) << "half";
    std::ofstream(held) << "being written";
    const int writer = ::open(held.c_str(), O_RDONLY);
    ASSERT_EQ(::flock(writer, LOCK_EX), 0);
    DataStoreItem later("Catalog");
    EXPECT_TRUE(later.getItemForUUID("/a.dng"));
    EXPECT_FALSE(fs::exists(left));
    EXPECT_TRUE(fs::exists(held));
    ::close(writer);
}

// An entry that cannot be read costs only its own photo's settings, and
// stays in the file as it was.
TEST_F(DataStoreItemTest, AnEntryThatCannotBeReadIsPassedOverAndKept) {
    DataStoreItem store("Catalog");
    const fs::path file = *store.storeFilePath();
    std::string bad = platform::serializeArrayElement(Value(entry("/b.dng", 0)));
    bad.replace(bad.find("<integer>0<") + 9, 1, "12345x");
    std::string bytes = std::string(platform::kArrayFileHead) +
                        platform::serializeArrayElement(Value(entry("/a.dng", 1))) + bad +
                        platform::serializeArrayElement(Value(entry("/c.dng", 3))) +
                        std::string(platform::kArrayFileTail);
    ASSERT_TRUE(platform::writeFileAtomically(file, bytes));
    auto exposure = [&](const std::string& uuid) {
        return store.getItemForUUID(uuid).value_or(Dictionary{})["Quorvex_Exposure"].integerValue();
    };
    EXPECT_EQ(exposure("/a.dng"), 1);
    EXPECT_EQ(exposure("/c.dng"), 3);
    std::string unreadable;
    bool onlyThisEntry = false;
    EXPECT_FALSE(store.getItemForUUID("/b.dng", &unreadable, &onlyThisEntry));
    EXPECT_TRUE(onlyThisEntry);
    EXPECT_NE(unreadable.find("\"12345x\" where a number belongs"), std::string::npos)
        << unreadable;

    ASSERT_TRUE(store.addItem(entry("/c.dng", 4)));
    ASSERT_TRUE(store.addItem(entry("/b.dng", 5)));
    EXPECT_NE(store.imageDataFile()->find(bad), std::string::npos);
    EXPECT_EQ(exposure("/b.dng"), 5);
    EXPECT_EQ(exposure("/c.dng"), 4);
    EXPECT_FALSE(fs::exists(file.string() + ".unreadable-1"));
}

TEST_F(DataStoreItemTest, ALinkIsWrittenThroughAndAFifoIsRefused) {
    DataStoreItem store("Catalog");
    const fs::path file = *store.storeFilePath();
    const fs::path synced = scratch.path() / "synced" / "catalog.plist";
    fs::create_directories(synced.parent_path());
    ASSERT_TRUE(
        platform::writePropertyList(Value(Value::Array{Value(entry("/a.dng", 1))}), synced));
    fs::create_symlink(synced, file);
    ASSERT_TRUE(store.addItem(entry("/b.dng", 2)));
    EXPECT_TRUE(fs::is_symlink(file));
    const auto target = platform::readPropertyList(synced);
    ASSERT_TRUE(target && target->isArray());
    EXPECT_EQ(target->array().size(), 2u);

    fs::remove(file);
    ASSERT_TRUE(testsupport::makeFifo(file));
    std::string unreadable;
    EXPECT_TRUE(testsupport::finishesWithoutBlocking(
        file, [&] { EXPECT_FALSE(store.getItemForUUID("/a.dng", &unreadable)); }));
    EXPECT_NE(unreadable.find("not a regular file"), std::string::npos) << unreadable;
}

// Bounded by a few blocks and the largest entry, not the file's size.
TEST_F(DataStoreItemTest, AForeignLayoutIsLookedUpInBoundedMemory) {
    DataStoreItem store("Catalog");
    const fs::path file = *store.storeFilePath();
    ASSERT_TRUE(store.addItem(entry("/small.dng", 1)));
    const long small = lookupPeakKb(file, "/small.dng", scratch.path() / "small");
    {
        std::ofstream out(file, std::ios::binary);
        out << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
            << kDoctype << "<plist version=\"1.0\">\n<array>\n";
        Dictionary big = entry("", 0);
        big.set("Quorvex_Note", std::string(4000, 'x'));
        for (int i = 0; i < 30000; ++i) {
            big.set("Quorvex_UUID", "/p/" + std::to_string(i));
            std::string element = platform::serializeArrayElement(Value(big));
            std::erase(element, '\t');
            out << element;
        }
        out << "</array>\n</plist>\n";
    }
    ASSERT_GT(fs::file_size(file), 100u << 20);
    const long big = lookupPeakKb(file, "/p/29999", scratch.path() / "big");
    ASSERT_GT(small, 0);
    EXPECT_LT(big - small, 64 << 10) << small << " KB with a small catalog, " << big
                                     << " KB with a " << (fs::file_size(file) >> 20) << " MB one";
}
