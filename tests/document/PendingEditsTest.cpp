// Edits kept when the program had to end: a kept record never replaces a
// newer catalog entry, a save settles it, opening and merging read it, the
// merge keeps its bound, a damaged file is said, and a data folder that
// cannot take the record sends it to the state folder.
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <thread>

#include "document/DocumentTestHome.h"
#include "document/MyDocument.h"
#include "document/PendingEdits.h"
#include "engine/MultiDataStore.h"
#include "platform/Paths.h"
#include "platform/PropertyList.h"
#include "platform/UserWarning.h"
#include "support/ShortLockWait.h"
#include "support/TestSupport.h"

namespace {

namespace fs = std::filesystem;
using platform::Dictionary;
using platform::Value;

class PendingEditsTest : public ::testing::Test {
protected:
    fs::path photo(const std::string& name) {
        const fs::path p = home_.path() / name;
        std::ofstream(p) << "settings only";
        return p;
    }
    // A shown document of the photo with its exposure set.
    MyDocument::Ptr edited(const fs::path& photo, float ev) {
        auto doc = MyDocument::init();
        platform::Error error;
        EXPECT_TRUE(doc->readFromURL(photo.string(), &error)) << error.failureReason;
        doc->documentIsForDisplay(true);
        doc->setValueForKey(Value(ev), "Quorvex_Filter_inputEV");
        return doc;
    }
    float openedEv(const fs::path& photo) {
        auto doc = MyDocument::init();
        platform::Error error;
        EXPECT_TRUE(doc->readFromURL(photo.string(), &error));
        return doc->valueForKey("Quorvex_Filter_inputEV").floatValue(-99);
    }
    std::optional<float> catalogEv(const fs::path& photo) {
        const auto entry = catalog_->getItemForUUID(photo.string());
        if (!entry) return std::nullopt;
        return (*entry)["Quorvex_Filter_inputEV"].floatValue();
    }
    Dictionary entryOf(const fs::path& photo, float ev) {
        return Dictionary{{"Quorvex_UUID", Value(photo.string())},
                          {"Quorvex_Filter_inputEV", Value(ev)}};
    }

    DocumentTestHome home_;
    const testsupport::ShortLockWait shortWait_;
    std::shared_ptr<DataStoreItem> catalog_ =
        MultiDataStore::sharedMultiDataStore().dataStoreForStore("Catalog");
    testsupport::LockHolder holder_{catalog_->storeFilePath()->parent_path() /
                                    ".QuorvexCatalog.plist.lock"};
};

// A logout behind a holder keeps A at 0.70; a start while it still holds
// cannot merge, yet A opens with 0.70; once free the person saves 1.50,
// which settles the record: no later merge brings 0.70 back.
TEST_F(PendingEditsTest, AKeptEditNeverRollsBackANewerSave) {
    const fs::path a = photo("a.dng");
    ASSERT_TRUE(catalog_->addItem(entryOf(a, 0.0f)));
    auto first = edited(a, 0.7f);
    ASSERT_TRUE(holder_.hold("burn"));
    ASSERT_TRUE(first->keepSettingsPending());
    first->discardSettingsOnClose();
    first->close();

    const auto refused = PendingEdits::merge(std::chrono::milliseconds(300));
    EXPECT_EQ(refused.left, 1u);
    EXPECT_NE(refused.told.find("yet (not saved: another program"), std::string::npos)
        << refused.told;
    EXPECT_FLOAT_EQ(openedEv(a), 0.7f);  // from where it is kept

    holder_.letGo();
    auto second = edited(a, 1.5f);
    second->close();
    EXPECT_FLOAT_EQ(*catalogEv(a), 1.5f);
    EXPECT_FALSE(PendingEdits::anyKept());
    EXPECT_TRUE(PendingEdits::merge(std::chrono::seconds(2)).told.empty());
    EXPECT_FLOAT_EQ(*catalogEv(a), 1.5f);
}

// The entry's own save mark decides where it can: a record that started
// from the entry as it still is merges even when that entry's clock ran
// ahead of ours; one saved since the record started is weighed by time, and
// the newer of the two stays. A second keep of a photo replaces the first.
TEST_F(PendingEditsTest, TheCatalogEntrysMarkDecidesBeforeAnyClock) {
    const fs::path ahead = photo("ahead.dng"), since = photo("since.dng"),
                   later = photo("later.dng"), twice = photo("twice.dng");
    // Another machine, its clock an hour ahead, saved this entry.
    Dictionary fromAhead = entryOf(ahead, 0.1f);
    const double hourAhead = PendingEdits::now() + 3600;
    fromAhead.set(PendingEdits::kSavedAtKey, Value(hourAhead));
    ASSERT_TRUE(catalog_->addItem(fromAhead));
    ASSERT_TRUE(PendingEdits::keep(entryOf(ahead, 0.8f), hourAhead, nullptr));

    // Saved after the record started from nothing, by a process that did not
    // settle it: first one saved before the keep, then one after it.
    Dictionary early = entryOf(since, 0.2f);
    early.set(PendingEdits::kSavedAtKey, Value(PendingEdits::now() - 60));
    ASSERT_TRUE(catalog_->addItem(early));
    ASSERT_TRUE(PendingEdits::keep(entryOf(since, 0.9f), std::nullopt, nullptr));
    ASSERT_TRUE(PendingEdits::keep(entryOf(later, 0.4f), std::nullopt, nullptr));
    Dictionary newer = entryOf(later, 1.1f);
    newer.set(PendingEdits::kSavedAtKey, Value(PendingEdits::now() + 1));
    ASSERT_TRUE(catalog_->addItem(newer));

    ASSERT_TRUE(PendingEdits::keep(entryOf(twice, 0.5f), std::nullopt, nullptr));
    ASSERT_TRUE(PendingEdits::keep(entryOf(twice, 0.6f), std::nullopt, nullptr));
    EXPECT_FLOAT_EQ(openedEv(later), 1.1f);
    EXPECT_FLOAT_EQ(openedEv(twice), 0.6f);

    const auto merged = PendingEdits::merge(std::chrono::seconds(2));
    EXPECT_EQ(merged.merged, 3u) << merged.told;
    EXPECT_EQ(merged.older, 1u) << merged.told;
    EXPECT_EQ(merged.left, 0u);
    EXPECT_NE(merged.told.find("newer edits of them were saved since"), std::string::npos);
    EXPECT_FLOAT_EQ(*catalogEv(ahead), 0.8f);
    EXPECT_FLOAT_EQ(*catalogEv(since), 0.9f);
    EXPECT_FLOAT_EQ(*catalogEv(later), 1.1f);
    EXPECT_FLOAT_EQ(*catalogEv(twice), 0.6f);
    EXPECT_FALSE(PendingEdits::anyKept());
    // Another of our processes merged a record just before this one could:
    // the catalog bears the record's own time, and this merge says nothing.
    const fs::path both = photo("both.dng");
    ASSERT_TRUE(PendingEdits::keep(entryOf(both, 0.7f), std::nullopt, nullptr));
    const auto file = platform::readPropertyList(PendingEdits::pendingFile());
    ASSERT_TRUE(file && file->isArray());
    Dictionary mergedElsewhere = entryOf(both, 0.7f);
    mergedElsewhere.set(PendingEdits::kSavedAtKey, file->array()[0].dictionary()["KeptAt"]);
    ASSERT_TRUE(catalog_->addItem(mergedElsewhere));
    const auto again = PendingEdits::merge(std::chrono::seconds(2));
    EXPECT_EQ(again.merged + again.older + again.left, 0u) << again.told;
    EXPECT_FALSE(PendingEdits::anyKept());

    // The mark stays the catalog's: a document's settings never carry it.
    EXPECT_FALSE(MyDocument::init()->getSettingsDictionary().contains(PendingEdits::kSavedAtKey));
    auto doc = edited(ahead, 0.3f);
    EXPECT_FALSE(doc->getSettingsDictionary().contains(PendingEdits::kSavedAtKey));
}

// Three records behind a holder that never lets go: the merge ends within
// its bound in all, not one bound per record, and keeps all three.
TEST_F(PendingEditsTest, TheMergeKeepsItsBoundInAll) {
    for (const char* name : {"1.dng", "2.dng", "3.dng"})
        ASSERT_TRUE(PendingEdits::keep(entryOf(photo(name), 0.5f), std::nullopt, nullptr));
    ASSERT_TRUE(holder_.hold("burn"));
    const auto start = std::chrono::steady_clock::now();
    const auto merged = PendingEdits::merge(std::chrono::milliseconds(800));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1800));
    EXPECT_EQ(merged.left, 3u);

    // A later try during a run waits for no holder and tells nothing.
    std::vector<std::string> told;
    const auto previous =
        platform::setUserWarningHandler([&](auto& text) { told.push_back(text); });
    const auto quietAt = std::chrono::steady_clock::now();
    const auto quiet = PendingEdits::merge(std::chrono::seconds(30), nullptr, true);
    EXPECT_LT(std::chrono::steady_clock::now() - quietAt, std::chrono::milliseconds(500));
    platform::setUserWarningHandler(previous);
    EXPECT_EQ(quiet.left, 3u);
    EXPECT_TRUE(quiet.told.empty() && told.empty()) << quiet.told;

    // Stopped from outside, it ends as soon.
    std::atomic<bool> stop{false};
    std::thread stopper([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        stop = true;
    });
    const auto stopAt = std::chrono::steady_clock::now();
    EXPECT_EQ(PendingEdits::merge(std::chrono::seconds(30), &stop).left, 3u);
    EXPECT_LT(std::chrono::steady_clock::now() - stopAt, std::chrono::milliseconds(1200));
    stopper.join();
}

// Cut, random or empty: the file is set aside and the person told where,
// in one warning; a later keep starts a new file.
TEST_F(PendingEditsTest, ADamagedFileIsSetAsideAndSaid) {
    const fs::path a = photo("a.dng");
    ASSERT_TRUE(PendingEdits::keep(entryOf(a, 0.7f), std::nullopt, nullptr));
    std::string whole;
    {
        std::ifstream in(PendingEdits::pendingFile());
        whole.assign(std::istreambuf_iterator<char>(in), {});
    }
    for (const std::string& damaged : {whole.substr(0, whole.size() / 2),
                                       std::string("\x93\x07\xff\x10garbage", 11), std::string()}) {
        std::ofstream(PendingEdits::pendingFile(), std::ios::trunc) << damaged;
        std::vector<std::string> told;
        const auto previous =
            platform::setUserWarningHandler([&](auto& text) { told.push_back(text); });
        const auto merged = PendingEdits::merge(std::chrono::seconds(1));
        platform::setUserWarningHandler(previous);
        EXPECT_EQ(merged.merged + merged.left, 0u);
        ASSERT_EQ(told.size(), 1u);
        const fs::path aside = PendingEdits::pendingFile().string() + ".damaged";
        EXPECT_NE(told[0].find("cannot be read"), std::string::npos) << told[0];
        EXPECT_NE(told[0].find("kept as \"" + aside.string()), std::string::npos) << told[0];
        EXPECT_TRUE(fs::exists(aside));
        EXPECT_FALSE(fs::exists(PendingEdits::pendingFile()));
        fs::remove(aside);
    }
    ASSERT_TRUE(PendingEdits::keep(entryOf(a, 0.9f), std::nullopt, nullptr));
    EXPECT_FLOAT_EQ(openedEv(a), 0.9f);
}

// A data folder that cannot take the record (here a file stands where it
// should be): the record goes to the state folder, opening reads it there,
// and the merge, the folder mended, takes it from there.
TEST_F(PendingEditsTest, TheStateFolderKeepsWhatTheDataFolderCannot) {
    const fs::path a = photo("a.dng");
    const fs::path data = PendingEdits::pendingFile().parent_path();
    auto doc = edited(a, 0.6f);
    fs::rename(data, home_.path() / "moved");
    std::ofstream(data) << "a file in the way";
    platform::Error error;
    ASSERT_TRUE(doc->keepSettingsPending(&error)) << error.failureReason;
    const fs::path second = PendingEdits::pendingFiles().back();
    EXPECT_EQ(second.parent_path(), platform::stateDirectory(false));
    EXPECT_TRUE(fs::exists(second));
    fs::remove(data);
    fs::rename(home_.path() / "moved", data);
    EXPECT_FLOAT_EQ(openedEv(a), 0.6f);
    EXPECT_EQ(PendingEdits::merge(std::chrono::seconds(2)).merged, 1u);
    EXPECT_FLOAT_EQ(*catalogEv(a), 0.6f);
    EXPECT_FALSE(fs::exists(second));

    // Neither folder can: the keep fails and says why, nothing pretends.
    auto again = edited(a, 0.2f);
    testsupport::FileSizeLimit full(16);
    EXPECT_FALSE(again->keepSettingsPending(&error));
    EXPECT_NE(error.failureReason.find("cannot be kept"), std::string::npos);
}

}  // namespace
