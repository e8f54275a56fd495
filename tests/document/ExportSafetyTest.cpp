// What an export must never do: write through a planted link, replace a file
// that appeared meanwhile or the file it started from, fail on a long name,
// leave partial files behind for ever, hang on a pipe, drop damaged settings
// without a word, or fail without the system's reason.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <future>
#include <iterator>
#include <thread>

#include "document/BatchExport.h"
#include "document/DocumentTestHome.h"
#include "document/MyDocument.h"
#include "document/PresetManager.h"
#include "document/RawFileSearch.h"
#include "engine/MultiDataStore.h"
#include "platform/Log.h"
#include "platform/OutputFile.h"
#include "platform/UserDefaults.h"

namespace {

namespace fs = std::filesystem;
using platform::Dictionary;
using platform::Value;

std::string contents(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), {});
}

class ExportSafetyTest : public ::testing::Test {
protected:
    // A small chart DNG at `path`.
    fs::path chart(const fs::path& path) {
#ifdef QUORVEX_MAKE_TEST_CHART
        fs::create_directories(path.parent_path());
        const std::string cmd = std::string(QUORVEX_MAKE_TEST_CHART) +
                                " --size 240x160 --output \"" + path.string() + "\" >/dev/null";
        EXPECT_EQ(std::system(cmd.c_str()), 0);
#endif
        return path;
    }
    size_t files(const fs::path& folder) {
        return size_t(std::distance(fs::directory_iterator(folder), fs::directory_iterator()));
    }
    DocumentTestHome home_;
};

TEST_F(ExportSafetyTest, ALinkPlantedAtTheTemporaryNameIsNotFollowed) {
    const auto dng = chart(home_.path() / "c.dng");
    const std::string original = contents(dng);
    ASSERT_FALSE(original.empty());
    for (unsigned n = 0; n < 512; ++n)
        fs::create_symlink(dng, home_.path() / platform::OutputFile::temporaryNameFor("c.jpg", n));
    platform::Error error;
    auto doc = MyDocument::init();
    ASSERT_TRUE(doc->readFromURL(dng.string(), &error)) << error.failureReason;
    EXPECT_TRUE(
        doc->exportToURL(home_.path() / "c.jpg", "public.jpeg", {-1, -1, -1, -1}, true, &error))
        << error.failureReason;
    doc->close();
    EXPECT_TRUE(contents(dng) == original) << "the source was written through a link";
    EXPECT_EQ(contents(home_.path() / "c.jpg").substr(0, 2), "\xFF\xD8");
}

// Four batches of one file into one folder at once give four files; the
// partial file a killed export left there is gone afterwards.
TEST_F(ExportSafetyTest, ConcurrentBatchesNeverReplaceEachOther) {
    const auto dng = chart(home_.path() / "src" / "c.dng");
    const auto out = home_.path() / "out";
    fs::create_directories(out);
    const pid_t child = ::fork();
    if (child == 0) ::_exit(0);
    ::waitpid(child, nullptr, 0);
    const auto stale = out / (".c.jpg.partial-" + std::to_string(child) + "-0");
    std::ofstream(stale) << "half";

    std::vector<std::optional<platform::Error>> errors(4);
    std::vector<fs::path> written;
    std::mutex mutex;
    std::vector<std::thread> threads;
    for (size_t i = 0; i < errors.size(); ++i)
        threads.emplace_back([&, i] {
            BatchExport::Options options;
            options.files = {dng};
            options.exportLocation = out;
            options.didExport = [&](const fs::path& p) {
                std::lock_guard lock(mutex);
                written.push_back(p);
            };
            errors[i] = BatchExport::run(options);
        });
    for (auto& t : threads) t.join();
    for (const auto& e : errors) EXPECT_FALSE(e) << e->failureReason;
    std::sort(written.begin(), written.end());
    EXPECT_EQ(written, (std::vector<fs::path>{out / "c.jpg", out / "c_1.jpg", out / "c_2.jpg",
                                              out / "c_3.jpg"}));
    EXPECT_FALSE(fs::exists(stale));
    EXPECT_EQ(files(out), 4u);
}

TEST_F(ExportSafetyTest, ALongSourceNameExports) {
    const std::string stem(236, 'n');
    const auto dng = chart(home_.path() / "long" / (stem + ".dng"));
    BatchExport::Options options;
    options.files = {dng};
    auto error = BatchExport::run(options);
    EXPECT_FALSE(error) << error->failureReason;
    EXPECT_TRUE(fs::exists(dng.parent_path() / (stem + ".jpg")));
    EXPECT_EQ(files(dng.parent_path()), 2u);
}

// "shot.jpg" came back from an editor; its raw is found in the search folder.
// Even with replacing allowed a batch writes over neither: it takes the next
// number.
TEST_F(ExportSafetyTest, ABatchNeverReplacesTheEditedFileOrTheRawFound) {
    const auto raws = home_.path() / "raws";
    const auto dng = chart(raws / "shot.dng");
    const auto edited = home_.path() / "edited" / "shot.jpg";
    fs::create_directories(edited.parent_path());
    std::ofstream(edited) << "edited";
    auto& defaults = platform::UserDefaults::standard();
    ASSERT_TRUE(RawFileSearch::setRawSearch(raws, defaults));

    BatchExport::Options options;
    options.files = {edited};
    options.silentlyOverwrite = true;
    std::vector<fs::path> written;
    options.didExport = [&](const fs::path& p) { written.push_back(p); };
    auto error = BatchExport::run(options);
    EXPECT_FALSE(error) << error->failureReason;
    EXPECT_EQ(contents(edited), "edited");

    // A DNG batch into the raw's own folder would land on the raw itself.
    const std::string raw = contents(dng);
    options.preset = Dictionary{{"Quorvex_ExportFileType", 2}};
    options.exportLocation = raws;
    error = BatchExport::run(options);
    EXPECT_FALSE(error) << error->failureReason;
    EXPECT_TRUE(contents(dng) == raw);
    EXPECT_EQ(written,
              (std::vector<fs::path>{edited.parent_path() / "shot_1.jpg", raws / "shot_1.dng"}));
    written.clear();

    // Without replacing, the copy gets the next free name.
    options.preset.reset();
    options.exportLocation.reset();
    options.silentlyOverwrite = false;
    error = BatchExport::run(options);
    EXPECT_FALSE(error) << error->failureReason;
    EXPECT_EQ(written, std::vector<fs::path>{edited.parent_path() / "shot_2.jpg"});
    EXPECT_EQ(contents(edited), "edited");

    // The window's write-back to the editor's file is meant to replace it.
    platform::Error e;
    auto doc = MyDocument::init();
    ASSERT_TRUE(doc->readFromURL(edited.string(), &e)) << e.failureReason;
    ASSERT_EQ(doc->extEditorURL(), edited);
    EXPECT_TRUE(doc->exportToURL(edited, "public.jpeg", {0, 0, 0, 0}, false, &e))
        << e.failureReason;
    EXPECT_EQ(contents(edited).substr(0, 2), "\xFF\xD8");
    EXPECT_FALSE(doc->exportToURL(dng, "public.jpeg", {0, 0, 0, 0}, false, &e));
    EXPECT_TRUE(contents(dng) == raw);
    doc->close();
}

TEST_F(ExportSafetyTest, APipeIsRefusedBeforeItIsOpened) {
    const auto fifo = home_.path() / "x.dng";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    auto read = std::async(std::launch::async, [&] {
        platform::Error error;
        auto doc = MyDocument::init();
        const bool ok = doc->readFromURL(fifo.string(), &error);
        if (ok)
            doc->exportToURL(home_.path() / "x.jpg", "public.jpeg", {-1, -1, -1, -1}, true, &error);
        return std::make_pair(ok, error);
    });
    const bool finished = read.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
    if (!finished) {
        // Let the blocked reader go so the test ends.
        const int fd = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
        if (fd >= 0) ::close(fd);
    }
    const auto [ok, error] = read.get();
    EXPECT_TRUE(finished) << "the read waited on the pipe";
    EXPECT_FALSE(ok);
    EXPECT_EQ(error.code, -6);
    EXPECT_NE(error.failureReason.find("not a regular file"), std::string::npos);
}

TEST_F(ExportSafetyTest, DamagedSettingsFilesAreNamedInTheLog) {
    const auto dng = chart(home_.path() / "d.dng");
    auto catalog = MultiDataStore::sharedMultiDataStore().dataStoreForStore("Catalog");
    ASSERT_TRUE(catalog);
    const auto catalogFile = *catalog->storeFilePath();
    std::ofstream(catalogFile) << "<plist><array><dict><key>";
    PresetManager::sharedPresetManager().forgetPresetDirectory();
    const auto presets = *PresetManager::sharedPresetManager().presetDirectory();
    const auto badPreset = presets / "00000000-0000-0000-0000-000000000000.plist";
    std::ofstream(badPreset) << "not a property list";

    platform::LogCapture log;
    platform::Error error;
    auto doc = MyDocument::init();
    ASSERT_TRUE(doc->readFromURL(dng.string(), &error)) << error.failureReason;
    EXPECT_TRUE(log.contains(catalogFile.string())) << "the damaged catalog is not named";
    EXPECT_TRUE(log.contains(badPreset.string())) << "the damaged preset is not named";
    // The "Default" preset still applied, and the damaged files are kept
    // (the preset out of the presets' way).
    EXPECT_TRUE(doc->getSettingsDictionary()["Quorvex_SceneReferred"].boolValue(false));
    EXPECT_TRUE(fs::exists(catalogFile));
    EXPECT_TRUE(fs::exists(badPreset.string() + ".damaged"));
    // Once per file, not once per listing.
    const size_t lines = log.lines().size();
    PresetManager::sharedPresetManager().presetList(true);
    EXPECT_EQ(log.lines().size(), lines);
    doc->close();
    PresetManager::sharedPresetManager().forgetPresetDirectory();
}

TEST_F(ExportSafetyTest, FailedExportsSayTheSystemsReason) {
    const auto dir = home_.path() / "failing";
    const auto dng = chart(dir / "e.dng");
    platform::Error error;
    auto doc = MyDocument::init();
    ASSERT_TRUE(doc->readFromURL(dng.string(), &error));
    EXPECT_FALSE(
        doc->exportToURL(dir / "none" / "e.jpg", "public.jpeg", {-1, -1, -1, -1}, true, &error));
    // The file and its folder are named, the folder once.
    EXPECT_EQ(error.failureReason, "Could not create output destination \"e.jpg\" in " +
                                       (dir / "none").string() + ": " + std::strerror(ENOENT));
    // The name is a folder holding something: the finished file cannot go there.
    fs::create_directories(dir / "busy.jpg" / "inside");
    EXPECT_FALSE(doc->exportToURL(dir / "busy.jpg", "public.jpeg", {-1, -1, -1, -1}, true, &error));
    EXPECT_EQ(error.code, -12);
    EXPECT_EQ(error.failureReason.rfind("Could not finalize output destination \"busy.jpg\"", 0),
              0u)
        << error.failureReason;
    EXPECT_NE(error.failureReason.find(dir.string()), std::string::npos) << error.failureReason;
    EXPECT_NE(error.failureReason.find(std::strerror(EISDIR)), std::string::npos)
        << error.failureReason;
    doc->close();
    EXPECT_EQ(files(dir), 2u);
}

}  // namespace
