// Batch export: names, overwriting, stopping at the first error or going on,
// folders, and the command line's exit codes, output, types and log.
#include <ImfChannelList.h>
#include <ImfHeader.h>
#include <ImfInputFile.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <string_view>
#include <thread>

#include "color/CameraProfileManager.h"
#include "color/DNGCameraProfileAbstract.h"
#include "dng/image/HandMadeDng.h"
#include "document/ApplicationDefaults.h"
#include "document/BatchExport.h"
#include "document/DocumentTestHome.h"
#include "document/PendingEdits.h"
#include "document/PresetManager.h"
#include "engine/DataStoreItem.h"
#include "engine/MultiDataStore.h"
#include "platform/CaselessNames.h"
#include "platform/FileLock.h"
#include "platform/ImageReader.h"
#include "platform/OutputFile.h"
#include "platform/UserDefaults.h"
#include "platform/Version.h"
#include "support/JpegFile.h"
#include "support/TestSupport.h"

namespace {

namespace fs = std::filesystem;
using platform::Dictionary;
using platform::Value;

class BatchExportTest : public ::testing::Test {
protected:
    fs::path touch(const std::string& name, const std::string& bytes = "x") {
        auto p = scratch_.path() / name;
        fs::create_directories(p.parent_path());
        std::ofstream(p, std::ios::binary) << bytes;
        return p;
    }
    DocumentTestHome scratch_;
};

TEST_F(BatchExportTest, TakenNamesAreNumberedUnlessOverwriting) {
    const auto src = touch("a.NEF");
    platform::Error error;
    auto dest = BatchExport::destinationFor(src, std::nullopt, "public.jpeg", false, &error);
    EXPECT_EQ(dest, scratch_.path() / "a.jpg");
    touch("a.jpg");
    touch("a_1.jpg");
    touch("a_2.jpg");
    EXPECT_EQ(BatchExport::destinationFor(src, std::nullopt, "public.jpeg", false, &error),
              scratch_.path() / "a_3.jpg");
    // Overwriting takes the first name that is free or holds an export of ours.
    EXPECT_EQ(BatchExport::destinationFor(src, std::nullopt, "public.jpeg", true, &error),
              scratch_.path() / "a_3.jpg");
    // Into the export folder, with the type's extension.
    const auto out = scratch_.path() / "out";
    fs::create_directories(out);
    EXPECT_EQ(BatchExport::destinationFor(src, out, "com.ilm.openexr-image", false, &error),
              out / "a.exr");
}

TEST_F(BatchExportTest, PresetTypeChoosesTheExtension) {
    EXPECT_EQ(BatchExport::exportTypeForPreset(std::nullopt), "public.jpeg");
    EXPECT_EQ(BatchExport::exportTypeForPreset(Dictionary{}), "public.jpeg");
    EXPECT_EQ(BatchExport::exportTypeForPreset(Dictionary{{"Quorvex_ExportFileType", Value(5)}}),
              "com.ilm.openexr-image");
    EXPECT_EQ(BatchExport::exportTypeForPreset(Dictionary{{"Quorvex_ExportFileType", Value(7)}}),
              "public.jpeg");
    EXPECT_EQ(BatchExport::exportTypeForPreset(Dictionary{{"Quorvex_ExportFileType", Value(1)}}),
              "public.tiff");
}

TEST_F(BatchExportTest, EveryNumberedNameTakenFailsInsteadOfReplacing) {
    const auto dir = scratch_.path() / "full";
    fs::create_directories(dir);
    touch("full/b.jpg");
    for (int i = 1; i <= platform::OutputFile::kMaxNumberedName; ++i)
        std::ofstream(dir / ("b_" + std::to_string(i) + ".jpg"));
    platform::Error error;
    EXPECT_FALSE(
        BatchExport::destinationFor(dir / "b.dng", std::nullopt, "public.jpeg", false, &error));
    EXPECT_EQ(error.code, -1);
    EXPECT_EQ(error.failureReason,
              "Quorvex could not create the export file - may be a permissions problem: " +
                  (dir / "b").string());
    EXPECT_EQ(fs::file_size(dir / "b_99999.jpg"), 0u);
}

TEST_F(BatchExportTest, StopsAtTheFirstErrorAndKeepsOnlyItsReason) {
    const auto pcd = touch("first.pcd");
    const auto second = touch("second.dng", "junk");
    BatchExport::Options options;
    options.files = {"", pcd, second};
    std::vector<fs::path> started, written;
    options.progressUpdate = [&](const fs::path& p) { started.push_back(p); };
    options.didExport = [&](const fs::path& p) { written.push_back(p); };
    auto error = BatchExport::run(options);
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(error->domain, "QuorvexErrorDomain");
    EXPECT_EQ(error->code, -18);
    EXPECT_EQ(started, std::vector<fs::path>{pcd});
    EXPECT_TRUE(written.empty());
    EXPECT_FALSE(fs::exists(scratch_.path() / "first.jpg"));

    // An undecodable file fails with the decoder's own error.
    options.files = {second};
    error = BatchExport::run(options);
    ASSERT_TRUE(error.has_value());
    EXPECT_NE(error->domain, "QuorvexErrorDomain");
    EXPECT_FALSE(fs::exists(scratch_.path() / "second.jpg"));

    std::atomic<bool> cancel{true};
    options.userDidCancel = &cancel;
    started.clear();
    EXPECT_FALSE(BatchExport::run(options).has_value());
    EXPECT_TRUE(started.empty());
}

// Cancel reaches the batch's own waits for another program's lock (the
// presets read as each photo opens): the batch ends at once, not when the
// wait's bound runs out.
TEST_F(BatchExportTest, CancelEndsTheBatchsOwnLockWaitsAtOnce) {
    auto& presets = PresetManager::sharedPresetManager();
    presets.forgetPresetDirectory();
    const fs::path folder = *presets.presetDirectory();
    presets.forgetPresetDirectory();
    const auto photo = scratch_.path() / "held.dng";
    fs::copy_file(testsupport::testdataDir() / "raw" / "dng" / "rpi-imx296_10bit-packed_strip.dng",
                  photo);
    testsupport::LockHolder holder(folder.parent_path() / ".presets.lock");
    ASSERT_TRUE(holder.hold("sleep"));
    platform::FileLock::setWaitLimit(std::chrono::seconds(30));
    std::atomic<bool> cancel{false}, started{false};
    BatchExport::Options options;
    options.files = {photo};
    options.userDidCancel = &cancel;
    options.progressUpdate = [&](const fs::path&) { started = true; };
    std::thread user([&] {
        while (!started) std::this_thread::sleep_for(std::chrono::milliseconds(5));
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        cancel = true;
    });
    const auto start = std::chrono::steady_clock::now();
    const auto error = BatchExport::run(options);
    const auto took = std::chrono::steady_clock::now() - start;
    user.join();
    platform::FileLock::setWaitLimit(platform::FileLock::kWaitLimit);
    EXPECT_FALSE(error.has_value()) << error->failureReason;
    EXPECT_LT(took, std::chrono::seconds(15));
    EXPECT_FALSE(fs::exists(scratch_.path() / "held.jpg"));
    presets.forgetPresetDirectory();
}

TEST_F(BatchExportTest, ReportsEachFailureAndGoesOnWhenAsked) {
    const auto pcd = touch("first.pcd");
    const auto junk = touch("second.dng", "junk");
    const auto missing = scratch_.path() / "third.dng";
    BatchExport::Options options;
    options.files = {pcd, junk, missing};
    std::vector<fs::path> started, failed;
    std::vector<long> codes;
    options.progressUpdate = [&](const fs::path& p) { started.push_back(p); };
    options.didFail = [&](const fs::path& p, const platform::Error& e) {
        failed.push_back(p);
        codes.push_back(e.code);
        EXPECT_FALSE(e.failureReason.empty()) << p;
    };
    const auto error = BatchExport::run(options);
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(error->code, -18) << "the first failure is the one returned";
    EXPECT_EQ(started, options.files);
    EXPECT_EQ(failed, options.files);
    EXPECT_EQ(codes.front(), -18);
}

TEST_F(BatchExportTest, FolderMeansItsVisibleImageFilesInNameOrder) {
    ApplicationDefaults::registerDefaults(platform::UserDefaults::standard());
    const auto dir = scratch_.path() / "shoot";
    for (const char* name :
         {"b.dng", "a.DNG", ".hidden.dng", "notes.txt", "c.jpg", "z.pcd", "sub/inside.dng"})
        touch(std::string("shoot/") + name);
    EXPECT_EQ(BatchExport::imageFilesInFolder(dir),
              (std::vector<fs::path>{dir / "a.DNG", dir / "b.dng", dir / "c.jpg", dir / "z.pcd"}));
    // The browser's filter decides: raw files only.
    platform::UserDefaults::standard().setInteger(0, "BrowserFileSelect");
    EXPECT_EQ(BatchExport::imageFilesInFolder(dir),
              (std::vector<fs::path>{dir / "a.DNG", dir / "b.dng", dir / "z.pcd"}));
    EXPECT_TRUE(BatchExport::imageFilesInFolder(scratch_.path() / "none").empty());
}

// A folder's pass over its companions and own exports indexes the names
// once: the comparisons grow as n log n in its files, and only files that
// may be its own exports are opened (these names lead to no files).
TEST_F(BatchExportTest, AFoldersPassOverComparesNamesAsNLogNAndOpensFewFiles) {
    const fs::path card = "/card";
    std::vector<fs::path> files;
    for (int i = 1; i <= 4000; ++i) {
        char name[16];
        std::snprintf(name, sizeof name, "IMG_%04d", i);
        files.push_back(card / (std::string(name) + ".CR2"));
        files.push_back(card / (std::string(name) + ".JPG"));
    }
    files.push_back(card / "a.dng");
    for (int i = 1; i <= 1000; ++i) files.push_back(card / ("a_" + std::to_string(i) + ".jpg"));
    BatchExport::PassOverWork work;
    const auto kept = BatchExport::filesToDevelop(files, &work);
    EXPECT_EQ(kept.size(), 5001u);
    const double n = double(files.size());
    EXPECT_LT(double(work.nameComparisons), 8 * n * std::log2(n));
    EXPECT_EQ(work.filesOpened, 1000u);
}

// The command-line program, as the build names it.
fs::path programPath() {
#ifdef QUORVEX_PROGRAM
    return QUORVEX_PROGRAM;
#else
    return {};
#endif
}

struct RunResult {
    int status;
    std::string out;      // standard output, then standard error
    std::string outText;  // each alone
    std::string errText;
};

std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
        lines.push_back(text.substr(start, end - start));
    if (start < text.size()) lines.push_back(text.substr(start));
    return lines;
}

// `prefix` goes before the program (a time limit).
RunResult runProgram(const std::string& args, const std::string& prefix = "") {
    static int count = 0;
    const fs::path errors =
        fs::temp_directory_path() / ("quorvex-stderr-" + std::to_string(++count) + ".txt");
    const std::string cmd =
        prefix + programPath().string() + " " + args + " 2>'" + errors.string() + "'";
    FILE* p = popen(cmd.c_str(), "r");
    RunResult r{-1, {}, {}, {}};
    if (!p) return r;
    char buf[512];
    while (fgets(buf, sizeof buf, p)) r.outText += buf;
    const int status = pclose(p);
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    std::ifstream in(errors);
    r.errText.assign(std::istreambuf_iterator<char>(in), {});
    fs::remove(errors);
    r.out = r.outText + r.errText;
    return r;
}

TEST_F(BatchExportTest, CommandLineExitCodesAndMessages) {
    if (!fs::exists(programPath())) GTEST_SKIP() << "quorvex is not built";
    auto help = runProgram("--help");
    EXPECT_EQ(help.status, 0);
    for (const char* told : {"--preset NAME", "SilentlyOverwrite", "--type TYPE", "exr-float-rgba",
                             "\"Default TIFF export\" exports 16-bit TIFF", "--verbose",
                             "Quorvex/quorvex.log", "the run goes on with the next"})
        EXPECT_NE(help.out.find(told), std::string::npos) << told;
    EXPECT_EQ(help.out.find("stops at the first failure"), std::string::npos);

    EXPECT_EQ(runProgram("--bogus").status, 2);
    EXPECT_EQ(runProgram("--out").status, 2);
    EXPECT_EQ(runProgram("--type").status, 2);
    EXPECT_EQ(runProgram("--type png x.dng").status, 2);
    const auto version = runProgram("--version");
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.outText, std::string("Quorvex ") + platform::kProgramVersion + "\n");

    // A missing output folder is made with its parents; a file in its place is refused.
    const auto made = scratch_.path() / "missing" / "deep";
    EXPECT_EQ(runProgram("--export --out " + made.string() + " x.dng").status, 1);
    EXPECT_TRUE(fs::is_directory(made));
    const auto taken = touch("taken");
    const auto notAFolder = runProgram("--out " + taken.string() + " x.dng");
    EXPECT_EQ(notAFolder.status, 2);
    EXPECT_EQ(notAFolder.errText, "quorvex: " + taken.string() + " exists and is not a folder\n");
    EXPECT_EQ(runProgram("--preset \"No Such Preset\" x.dng").status, 2);

    // Without a place for the log, one warning says so; the log stays off the terminal.
    const auto blocker = touch("not-a-folder");
    ASSERT_EQ(setenv("XDG_STATE_HOME", blocker.c_str(), 1), 0);  // the fixture restores it
    const auto pcd = touch("disc.pcd");
    auto failed = runProgram("--export " + pcd.string());
    EXPECT_EQ(failed.status, 1);
    EXPECT_NE(failed.out.find("Photo CD images can be viewed in the browser but not opened for "
                              "editing."),
              std::string::npos);
    const auto lines = linesOf(failed.errText);
    ASSERT_EQ(lines.size(), 2u) << failed.errText;
    EXPECT_EQ(lines[0], "quorvex: warning: the log cannot be kept: the folder " +
                            (blocker / "Quorvex").string() +
                            " cannot be made: " + blocker.string() +
                            " is a file, not a folder; this run's log is "
                            "dropped");
}

// A DNG without colour matrix is refused with advice this program can follow;
// a damaged preset set aside while --preset looks for the named one is told.
TEST_F(BatchExportTest, CommandLineDevelopsAFileWithoutColourMatrixWithAPresetsCameraProfile) {
    const auto dng = testsupport::testdataDir() / "raw/dng/rpi-640x480_10bit_minimal_malformed.dng";
    const auto out = scratch_.path() / "out";
    const auto refused = runProgram("--out " + out.string() + " " + dng.string());
    EXPECT_EQ(refused.status, 1);
    EXPECT_NE(refused.errText.find("exported with a preset that sets a camera profile"),
              std::string::npos);

    auto& presets = PresetManager::sharedPresetManager();
    presets.forgetPresetDirectory();
    const fs::path dcp = CameraProfileManager::profileDirectory() / "made.dcp";
    fs::create_directories(dcp.parent_path());
    fs::copy_file(testsupport::testdataDir() / "dcp/set-a/NIKON D850.dcp", dcp);
    Dictionary preset{
        {"displayName", Value("Camera colour")},
        {"Quorvex_CameraProfile", Value(DNGCameraProfileAbstract::initFromFile(dcp))}};
    platform::Error error;
    ASSERT_TRUE(presets.addPreset(preset, &error)) << error.description();
    std::ofstream(*presets.presetDirectory() / "damaged.plist") << "not a property list";
    const auto developed =
        runProgram("--preset \"Camera colour\" --out " + out.string() + " " + dng.string());
    EXPECT_EQ(developed.status, 0) << developed.out;
    EXPECT_TRUE(fs::exists(out / "rpi-640x480_10bit_minimal_malformed.jpg"));
    EXPECT_EQ(linesOf(developed.errText).size(), 1u) << developed.errText;
    EXPECT_EQ(developed.errText.rfind("quorvex: warning: ", 0), 0u);
    EXPECT_NE(developed.errText.find("damaged.plist"), std::string::npos);
    presets.forgetPresetDirectory();
}

TEST_F(BatchExportTest, CommandLineDevelopsEachDecodableTestFile) {
    if (!fs::exists(programPath())) GTEST_SKIP() << "quorvex is not built";
    const auto dir = testsupport::testdataDir() / "raw/dng";
    ASSERT_TRUE(fs::exists(dir)) << dir;
    const auto out = scratch_.path() / "out";
    fs::create_directories(out);
    int written = 0;
    for (const auto& entry : fs::directory_iterator(dir)) {
        const auto r = runProgram("--export --out " + out.string() + " " + entry.path().string());
        const auto jpg = out / entry.path().filename().replace_extension("jpg");
        if (r.status == 0) {
            ++written;
            EXPECT_NE(r.out.find(jpg.string()), std::string::npos) << r.out;
            EXPECT_TRUE(fs::exists(jpg)) << entry.path();
        } else {
            EXPECT_EQ(r.status, 1) << entry.path() << r.out;
            EXPECT_FALSE(fs::exists(jpg));
            EXPECT_NE(r.out.find("quorvex: "), std::string::npos);
        }
    }
    EXPECT_GE(written, 3) << "the three complete Raspberry Pi captures decode";
    // Nothing half-written is left behind.
    for (const auto& entry : fs::directory_iterator(out))
        EXPECT_EQ(entry.path().extension(), ".jpg") << entry.path();
}

}  // namespace

namespace {

std::string firstBytes(const fs::path& p, size_t n) {
    std::ifstream in(p, std::ios::binary);
    std::string s(n, '\0');
    in.read(s.data(), static_cast<std::streamsize>(n));
    s.resize(static_cast<size_t>(in.gcount()));
    return s;
}

// The exposure time in a JPEG's EXIF segment as numerator/denominator, or ""
// when there is none. Either byte order; out-of-range offsets throw.
std::string exifExposureTime(const fs::path& jpeg) {
    std::ifstream in(jpeg, std::ios::binary);
    const std::string file((std::istreambuf_iterator<char>(in)), {});
    const size_t start = file.find(std::string("Exif\0\0", 6));
    if (start == std::string::npos) return {};
    const std::string_view t = std::string_view(file).substr(start + 6);
    const bool little = t.substr(0, 2) == "II";
    auto u = [&](size_t at, int n) {
        uint32_t v = 0;
        for (int i = 0; i < n; ++i) {
            const uint32_t byte = static_cast<uint8_t>(t.at(at + size_t(i)));
            v |= little ? byte << (8 * i) : byte << (8 * (n - 1 - i));
        }
        return v;
    };
    auto value = [&](size_t ifd, uint32_t tag) -> size_t {
        for (uint32_t i = 0, n = u(ifd, 2); i < n; ++i)
            if (u(ifd + 2 + 12 * i, 2) == tag) return u(ifd + 2 + 12 * i + 8, 4);
        return 0;
    };
    const size_t exif = value(u(4, 4), 0x8769);
    const size_t rational = exif ? value(exif, 0x829A) : 0;
    if (!rational) return {};
    return std::to_string(u(rational, 4)) + "/" + std::to_string(u(rational + 4, 4));
}

}  // namespace

TEST_F(BatchExportTest, CommandLineNumbersOrOverwritesAsTheUserDefaultSays) {
#ifndef QUORVEX_MAKE_TEST_CHART
    GTEST_SKIP() << "no chart tool";
#else
    if (!fs::exists(programPath())) GTEST_SKIP() << "quorvex is not built";
    const auto dng = scratch_.path() / "c.dng";
    const std::string make =
        std::string(QUORVEX_MAKE_TEST_CHART) + " --size 240x160 --output " + dng.string();
    ASSERT_EQ(std::system(make.c_str()), 0);
    touch("c.jpg", "old");

    auto numbered = runProgram("--export " + dng.string());
    EXPECT_EQ(numbered.status, 0) << numbered.out;
    EXPECT_NE(numbered.out.find((scratch_.path() / "c_1.jpg").string()), std::string::npos);
    EXPECT_EQ(firstBytes(scratch_.path() / "c.jpg", 3), "old");
    EXPECT_EQ(firstBytes(scratch_.path() / "c_1.jpg", 2), "\xFF\xD8");
    // The chart's shot facts reach the exported copy.
    EXPECT_EQ(exifExposureTime(scratch_.path() / "c_1.jpg"), "1/125");

    // The program reads the same defaults file as this process.
    platform::UserDefaults::standard().setBool(true, "SilentlyOverwrite");
    ASSERT_TRUE(platform::UserDefaults::standard().synchronize());
    // Only an earlier export of ours is replaced: c.jpg is someone else's.
    const auto ours = scratch_.path() / "c_1.jpg";
    std::ofstream(ours, std::ios::binary | std::ios::app) << "mark";
    auto replaced = runProgram("--export " + dng.string());
    EXPECT_EQ(replaced.status, 0) << replaced.out;
    EXPECT_EQ(replaced.outText, (scratch_.path() / "c_1.jpg").string() + "\n");
    EXPECT_EQ(firstBytes(scratch_.path() / "c.jpg", 3), "old");
    const auto bytes = testsupport::fileBytes(ours);
    ASSERT_GE(bytes.size(), 4u);
    EXPECT_NE(std::string(bytes.end() - 4, bytes.end()), "mark");
    EXPECT_FALSE(fs::exists(scratch_.path() / "c_2.jpg"));

    // Two sources of one name into one folder: the run keeps its first file.
    const auto twin = touch("twin/c.dng"), out = scratch_.path() / "out";
    fs::copy_file(dng, twin, fs::copy_options::overwrite_existing);
    auto both = runProgram("--out " + out.string() + " " + dng.string() + " " + twin.string());
    EXPECT_EQ(both.status, 0) << both.out;
    EXPECT_EQ(linesOf(both.outText),
              (std::vector<std::string>{(out / "c.jpg").string(), (out / "c_1.jpg").string()}));
#endif
}

namespace {

// Mean of the RGB samples of a small decoded copy of an image file.
double meanLevel(const fs::path& file) {
    auto image = platform::readImageThumbnail(file, 128);
    if (!image || !image->dataProvider()) return -1;
    const uint8_t* p = image->dataProvider()->bytes();
    double sum = 0;
    size_t n = 0;
    for (size_t y = 0; y < image->height(); ++y)
        for (size_t x = 0; x < image->width(); ++x, n += 3) {
            const uint8_t* px = p + y * image->bytesPerRow() + x * 4;
            sum += px[0] + px[1] + px[2];
        }
    return n ? sum / double(n) : -1;
}

std::string fileBytes(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), {});
}

}  // namespace

// A document that is never shown renders with the settings it read: the
// "Default" preset on a fresh home, the catalog's entry when there is one,
// whatever a preset of export keys alone adds.
TEST_F(BatchExportTest, SavedSettingsReachTheCommandLinesExport) {
#ifndef QUORVEX_MAKE_TEST_CHART
    GTEST_SKIP() << "no chart tool";
#else
    ASSERT_TRUE(fs::exists(programPath()));
    PresetManager::sharedPresetManager().forgetPresetDirectory();
    const auto dng = scratch_.path() / "s.dng";
    const std::string make =
        std::string(QUORVEX_MAKE_TEST_CHART) + " --size 240x160 --output " + dng.string();
    ASSERT_EQ(std::system(make.c_str()), 0);
    auto exportInto = [&](const std::string& folder, const std::string& args) {
        const auto out = scratch_.path() / folder;
        fs::create_directories(out);
        const auto r = runProgram(args + " --out " + out.string() + " " + dng.string());
        EXPECT_EQ(r.status, 0) << r.out;
        return out / "s.jpg";
    };
    const auto plain = exportInto("plain", "");
    const auto withDefault = exportInto("default", "--preset Default");
    ASSERT_FALSE(fileBytes(plain).empty());
    EXPECT_TRUE(fileBytes(plain) == fileBytes(withDefault)) << "no preset and \"Default\" differ";

    auto catalog = MultiDataStore::sharedMultiDataStore().dataStoreForStore("Catalog");
    ASSERT_TRUE(catalog);
    ASSERT_TRUE(catalog->addItem(MultiDataStore::sharedMultiDataStore().serializeToPList(
        Dictionary{{"Quorvex_UUID", Value(fs::absolute(dng).string())},
                   {"Quorvex_Filter_inputEV", Value(-2.0f)}})));
    const auto darker = exportInto("catalog", "");
    EXPECT_LT(meanLevel(darker), 0.7 * meanLevel(plain));

    // Edits a window kept when it had to end go into the catalog before the
    // run reads it.
    ASSERT_TRUE(
        PendingEdits::keep(MultiDataStore::sharedMultiDataStore().serializeToPList(
                               Dictionary{{"Quorvex_UUID", Value(fs::absolute(dng).string())},
                                          {"Quorvex_Filter_inputEV", Value(-4.0f)}}),
                           std::nullopt, nullptr));
    const auto pending = exportInto("pending", "");
    EXPECT_LT(meanLevel(pending), 0.7 * meanLevel(darker));
    EXPECT_FALSE(fs::exists(PendingEdits::pendingFile()));
    EXPECT_FLOAT_EQ((*catalog->getItemForUUID(fs::absolute(dng).string()))["Quorvex_Filter_inputEV"]
                        .floatValue(),
                    -4.0f);
    {
        // Behind another program's lock the kept edit cannot go in, yet the
        // export has it, and one line says so.
        ASSERT_TRUE(
            PendingEdits::keep(MultiDataStore::sharedMultiDataStore().serializeToPList(
                                   Dictionary{{"Quorvex_UUID", Value(fs::absolute(dng).string())},
                                              {"Quorvex_Filter_inputEV", Value(-1.0f)}}),
                               std::nullopt, nullptr));
        testsupport::LockHolder holder(catalog->storeFilePath()->parent_path() /
                                       ".QuorvexCatalog.plist.lock");
        ASSERT_TRUE(holder.hold("burn"));
        const auto out = scratch_.path() / "held";
        const auto r = runProgram("--out " + out.string() + " " + dng.string());
        EXPECT_EQ(r.status, 0) << r.out;
        // Between the catalog's -2 and none, far from the catalog's -4.
        EXPECT_GT(meanLevel(out / "s.jpg"), 1.2 * meanLevel(darker));
        EXPECT_LT(meanLevel(out / "s.jpg"), 0.9 * meanLevel(plain));
        const auto lines = linesOf(r.errText);
        // Besides the word of what the run waits for.
        ASSERT_EQ(std::count_if(lines.begin(), lines.end(),
                                [](auto& l) { return l.find("last ended") != l.npos; }),
                  1)
            << r.errText;
        EXPECT_NE(r.errText.find("cannot be put in the catalog yet"), std::string::npos);
        EXPECT_NE(r.errText.find("This run exports with those edits."), std::string::npos);
        EXPECT_FLOAT_EQ(
            (*catalog->getItemForUUID(fs::absolute(dng).string()))["Quorvex_Filter_inputEV"]
                .floatValue(),
            -4.0f);
    }
    {
        // A damaged file of kept edits is said in a warning naming where it is kept.
        std::ofstream(PendingEdits::pendingFile(), std::ios::trunc)
            << "<?xml version=\"1.0\"?><pli";
        const auto r =
            runProgram("--out " + (scratch_.path() / "damaged").string() + " " + dng.string());
        EXPECT_EQ(r.status, 0) << r.out;
        EXPECT_NE(r.errText.find("quorvex: warning: The edits kept when Quorvex last ended"),
                  std::string::npos)
            << r.errText;
        EXPECT_NE(r.errText.find(PendingEdits::pendingFile().string() + ".damaged"),
                  std::string::npos);
        EXPECT_TRUE(fs::exists(PendingEdits::pendingFile().string() + ".damaged"));
        EXPECT_NEAR(meanLevel(scratch_.path() / "damaged" / "s.jpg"), meanLevel(pending), 3.0);
    }

    Dictionary small{{"displayName", Value("Small files")},
                     {"Quorvex_ExportFileType", Value(0)},
                     {"Quorvex_JPEGQuality", Value(2.0f)}};
    platform::Error error;
    ASSERT_TRUE(PresetManager::sharedPresetManager().addPreset(small, &error));
    const auto smallDarker = exportInto("small", "--preset \"Small files\"");
    EXPECT_NEAR(meanLevel(smallDarker), meanLevel(pending), 3.0);
    EXPECT_LT(fs::file_size(smallDarker), fs::file_size(pending));
    PresetManager::sharedPresetManager().forgetPresetDirectory();
#endif
}

#ifdef QUORVEX_MAKE_TEST_CHART
namespace {

void makeChart(const fs::path& dng) {
    fs::create_directories(dng.parent_path());
    const std::string make =
        std::string(QUORVEX_MAKE_TEST_CHART) + " --size 240x160 --output " + dng.string();
    ASSERT_EQ(std::system(make.c_str()), 0);
}

std::string exrChannels(const fs::path& exr) {
    Imf::InputFile in(exr.c_str());
    std::string channels;
    for (auto it = in.header().channels().begin(); it != in.header().channels().end(); ++it)
        channels += std::string(it.name()) + (it.channel().type == Imf::HALF ? "h" : "f");
    return channels;
}

}  // namespace

// Every file is tried; each failure is one line on stderr, said once; the
// log lines go to the log file unless asked for.
TEST_F(BatchExportTest, CommandLinePrintsAWarningThatChangesTheResultOnOneLine) {
    ASSERT_TRUE(fs::exists(programPath()));
    handdng::Layout l;
    l.width = l.height = 32;
    l.tileLength = 32;
    l.compression = 1;
    std::vector<uint8_t> data;
    for (uint32_t i = 0; i < 32 * 32; ++i) {
        const uint32_t v = 3000 + 40 * i;
        data.push_back(uint8_t(v));
        data.push_back(uint8_t(v >> 8));
    }
    l.blobs = {data};
    l.blobOf = {0};
    l.extra.push_back(handdng::Entry{50730, 10, {256, 1}});  // BaselineExposure 256 EV
    const auto dng = scratch_.path() / "bright.dng";
    handdng::Write(dng.string(), handdng::Build(l));
    const auto out = scratch_.path() / "out";
    fs::create_directories(out);

    const auto r = runProgram("--out " + out.string() + " " + dng.string());
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(linesOf(r.outText), std::vector<std::string>{(out / "bright.jpg").string()});
    const auto lines = linesOf(r.errText);
    ASSERT_EQ(lines.size(), 1u) << r.errText;
    EXPECT_EQ(lines[0].rfind("quorvex: warning: \"bright.dng\": BaselineExposure", 0), 0u)
        << lines[0];
}

TEST_F(BatchExportTest, CommandLineGoesOnAfterAFailureAndSaysEachErrorOnce) {
    ASSERT_TRUE(fs::exists(programPath()));
    makeChart(scratch_.path() / "a.dng");
    const auto bad = touch("bad.dng", "junk");
    const auto pcd = touch("x.pcd", "junk");
    const auto twoLines = touch("two\nlines.dng", "junk");
    // Named as JPEGs: a raw file (the window's Preferences would find it) and text.
    const auto renamed = scratch_.path() / "renamed.jpg", text = touch("notes.jpg", "hello");
    fs::copy_file(scratch_.path() / "a.dng", renamed);
    fs::copy_file(scratch_.path() / "a.dng", scratch_.path() / "c.dng");
    const auto out = scratch_.path() / "out";
    fs::create_directories(out);
    const std::string files = (scratch_.path() / "a.dng").string() + " " + bad.string() + " '" +
                              twoLines.string() + "' " + pcd.string() + " " + renamed.string() +
                              " " + text.string() + " " + (scratch_.path() / "c.dng").string();

    const auto r = runProgram("--out " + out.string() + " " + files);
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_EQ(linesOf(r.outText),
              (std::vector<std::string>{(out / "a.jpg").string(), (out / "c.jpg").string()}));
    EXPECT_EQ(linesOf(r.errText),
              (std::vector<std::string>{
                  "quorvex: " + bad.string() +
                      ": The DNG file \"bad.dng\" is malformed or lacks "
                      "what a decode needs: it does not start like a TIFF file.",
                  "quorvex: " + (scratch_.path() / "two\\nlines.dng").string() +
                      ": The DNG file \"two lines.dng\" is malformed or lacks "
                      "what a decode needs: it does not start like a TIFF file.",
                  "quorvex: " + pcd.string() +
                      ": Photo CD images can be viewed in the browser but not opened for "
                      "editing.",
                  "quorvex: " + renamed.string() +
                      ": its contents are a DNG raw file but its name says it is a JPEG file; "
                      "give it the extension .dng to develop it.",
                  "quorvex: " + text.string() +
                      ": its name says it is a JPEG file, but it is not one."}));
    const fs::path logFile = scratch_.path() / "state" / "Quorvex" / "quorvex.log";
    const std::string log = fileBytes(logFile);
    EXPECT_NE(log.find("Cache enabled"), std::string::npos) << log;
    EXPECT_NE(log.find("bad.dng"), std::string::npos) << log;

    const auto verbose = runProgram("--verbose --out " + out.string() + " " + bad.string());
    EXPECT_EQ(verbose.status, 1);
    EXPECT_NE(verbose.errText.find("Cache enabled"), std::string::npos) << verbose.errText;
    EXPECT_EQ(fileBytes(logFile), log) << "--verbose leaves the log file alone";
}

TEST_F(BatchExportTest, CommandLineTakesAFoldersImageFilesInNameOrder) {
    ASSERT_TRUE(fs::exists(programPath()));
    const auto dir = scratch_.path() / "shoot";
    makeChart(dir / "b.dng");
    fs::copy_file(dir / "b.dng", dir / "a.dng");
    makeChart(dir / "sub" / "inside.dng");
    touch("shoot/notes.txt");
    const auto out = scratch_.path() / "out";
    fs::create_directories(out);
    const auto r = runProgram("--out " + out.string() + " " + dir.string());
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(linesOf(r.outText),
              (std::vector<std::string>{(out / "a.jpg").string(), (out / "b.jpg").string()}));
    EXPECT_FALSE(fs::exists(out / "inside.jpg"));

    // Run twice in the folder itself: the second passes over the first's
    // exports and numbers its own; a JPEG another program wrote under an
    // export's name is still tried.
    ASSERT_EQ(runProgram(dir.string()).status, 0);
    const auto again = runProgram(dir.string());
    EXPECT_EQ(again.status, 0) << again.out;
    EXPECT_EQ(again.errText, "");
    EXPECT_EQ(linesOf(again.outText),
              (std::vector<std::string>{(dir / "a_1.jpg").string(), (dir / "b_1.jpg").string()}));
    std::string edited = fileBytes(dir / "b.jpg");
    edited.replace(edited.find("Quorvex V"), 9, "Another V");
    std::ofstream(dir / "b_7.jpg", std::ios::binary) << edited;
    const auto third = runProgram(dir.string());
    EXPECT_EQ(third.status, 1);
    ASSERT_EQ(linesOf(third.errText).size(), 1u) << third.errText;
    EXPECT_NE(third.errText.find("b_7.jpg: a JPEG file is developed"), std::string::npos);

    // A DNG export is a raw file too: later runs develop only the camera's
    // files, the export numbered also where its name differs from the raw
    // file's only in letter case ("D_1.dng" for "D.DNG").
    const auto dngs = scratch_.path() / "dngs";
    makeChart(dngs / "c.dng");
    fs::copy_file(dngs / "c.dng", dngs / "D.DNG");
    for (const char* numbered : {"_1", "_2", "_3"}) {
        const auto r = runProgram("--type dng " + dngs.string());
        EXPECT_EQ(r.status, 0) << r.out;
        EXPECT_EQ(
            linesOf(r.outText),
            (std::vector<std::string>{(dngs / ("c" + std::string(numbered) + ".dng")).string(),
                                      (dngs / ("D" + std::string(numbered) + ".dng")).string()}));
    }

    fs::create_directories(scratch_.path() / "empty");
    const auto empty =
        runProgram("--out " + out.string() + " " + (scratch_.path() / "empty").string());
    EXPECT_EQ(empty.status, 1);
    EXPECT_EQ(linesOf(empty.errText).size(), 1u) << empty.errText;
}

// A camera's card: raw files, the camera's JPEG and TIFF files beside them
// (any case) and an editor's copy develop cleanly run after run, the
// camera's files untouched; a JPEG or TIFF file whose own raw file is not
// there is tried, whatever shorter name a raw file has. Named on the command
// line each file is tried.
TEST_F(BatchExportTest, CommandLineDevelopsACardOfRawAndJpegFilesRunAfterRun) {
    ASSERT_TRUE(fs::exists(programPath()));
    const auto card = scratch_.path() / "card";
    makeChart(card / "IMG_0001.dng");
    for (const char* raw : {"IMG_0002.dng", "DSC_1234.DNG", "DSC.dng"})
        fs::copy_file(card / "IMG_0001.dng", card / raw);
    const auto made = scratch_.path() / "made";
    const std::string source = (card / "IMG_0001.dng").string();
    ASSERT_EQ(runProgram("--out " + made.string() + " " + source).status, 0);
    ASSERT_EQ(runProgram("--type tiff --out " + made.string() + " " + source).status, 0);
    auto byTheCamera = [](std::string bytes) {
        const size_t software = bytes.find("Quorvex V");
        if (software != std::string::npos) bytes.replace(software, 9, "Camera  V");
        return bytes;
    };
    const std::string camera = byTheCamera(fileBytes(made / "IMG_0001.jpg"));
    const std::string cameraTiff = byTheCamera(fileBytes(made / "IMG_0001.tif"));
    ASSERT_EQ(cameraTiff.find("Quorvex V"), std::string::npos);
    for (const char* name :
         {"IMG_0001.jpg", "IMG_0002-edit.jpg", "DSC_1234.JPG", "DSC_0009.jpg", "SCAN_0007.jpg"})
        std::ofstream(card / name, std::ios::binary) << camera;
    for (const char* name : {"IMG_0001.tif", "IMG.tif", "SCAN_0007.tif"})
        std::ofstream(card / name, std::ios::binary) << cameraTiff;
    auto sorted = [](std::vector<std::string> lines) {
        std::sort(lines.begin(), lines.end());
        return lines;
    };
    // Their own raw files are not there: "DSC.dng" is not "DSC_0009"'s.
    std::vector<std::string> alone;
    for (const char* name : {"DSC_0009.jpg", "IMG.tif", "SCAN_0007.jpg", "SCAN_0007.tif"})
        alone.push_back((card / name).string());
    for (const char* n : {"", "_1"}) {
        const auto r = runProgram(card.string());
        EXPECT_EQ(r.status, 1) << r.out;
        std::vector<std::string> failed;
        for (const auto& line : linesOf(r.errText))
            failed.push_back(line.substr(9, line.find(": ", 9) - 9));
        EXPECT_EQ(sorted(failed), alone) << r.errText;
        const std::string second = *n ? "_2" : "_1";
        EXPECT_EQ(sorted(linesOf(r.outText)),
                  sorted({(card / ("DSC" + std::string(n) + ".jpg")).string(),
                          (card / ("DSC_1234" + second + ".jpg")).string(),
                          (card / ("IMG_0001" + second + ".jpg")).string(),
                          (card / ("IMG_0002" + std::string(n) + ".jpg")).string()}));
    }
    EXPECT_TRUE(fileBytes(card / "IMG_0001.jpg") == camera);
    EXPECT_TRUE(fileBytes(card / "IMG_0001.tif") == cameraTiff);

    const auto named = runProgram(source + " " + (card / "IMG_0001.jpg").string() + " " +
                                  (card / "IMG_0001_1.jpg").string());
    EXPECT_EQ(named.status, 1);
    EXPECT_EQ(linesOf(named.outText), std::vector<std::string>{(card / "IMG_0001_3.jpg").string()});
    const auto lines = linesOf(named.errText);
    ASSERT_EQ(lines.size(), 2u) << named.errText;
    for (const auto& line : lines)
        EXPECT_NE(line.find(".jpg: a JPEG file is developed from the raw file"), std::string::npos)
            << line;
}

// A card whose camera JPEGs are upper case, real raw files beside them: no
// export takes a name one letter case or normalisation away from a file
// there (one name on the card itself), run after run, for each type, and
// replacing with "SilentlyOverwrite" replaces only an exact name.
TEST_F(BatchExportTest, CommandLineNeverNamesAnExportLikeAnotherFileButForLetterCase) {
    ASSERT_TRUE(fs::exists(programPath()));
    const auto card = scratch_.path() / "card";
    fs::create_directories(card);
    const auto dng =
        testsupport::testdataDir() / "raw" / "dng" / "rpi-imx296_10bit-packed_strip.dng";
    const std::string nfc = "Caf\xC3\xA9", nfd = "CAFE\xCC\x81";  // é; E + acute
    for (const std::string& raw :
         {std::string("IMG_0001.DNG"), std::string("IMG_0002.dng"), nfc + ".dng"})
        fs::copy_file(dng, card / raw);
    for (const std::string& camera :
         std::vector<std::string>{"IMG_0001.JPG", "IMG_0002.JPG", nfd + ".JPG", "IMG_0002.TIF"})
        std::ofstream(card / camera) << "camera";
    auto run = [&](const std::string& args) {
        const auto r = runProgram(args + " " + card.string());
        EXPECT_EQ(r.status, 0) << r.out;
        auto lines = linesOf(r.outText);
        std::sort(lines.begin(), lines.end());
        return lines;
    };
    auto in = [&](std::vector<std::string> names) {
        for (auto& name : names) name = (card / name).string();
        std::sort(names.begin(), names.end());
        return names;
    };
    EXPECT_EQ(run(""), in({"IMG_0001_1.jpg", "IMG_0002_1.jpg", nfc + "_1.jpg"}));
    EXPECT_EQ(run("--type tiff"), in({"IMG_0001.tif", "IMG_0002_1.tif", nfc + ".tif"}));
    EXPECT_EQ(run("--type dng"), in({"IMG_0001_1.dng", "IMG_0002_1.dng", nfc + "_1.dng"}));
    EXPECT_EQ(run(""), in({"IMG_0001_2.jpg", "IMG_0002_2.jpg", nfc + "_2.jpg"}));
    platform::UserDefaults::standard().setBool(true, "SilentlyOverwrite");
    ASSERT_TRUE(platform::UserDefaults::standard().synchronize());
    EXPECT_EQ(run(""), in({"IMG_0001_1.jpg", "IMG_0002_1.jpg", nfc + "_1.jpg"}));
    EXPECT_EQ(run("--type exr"), in({"IMG_0001.exr", "IMG_0002.exr", nfc + ".exr"}));
    // No two names in the folder are one name on the card; its files are the camera's.
    std::set<std::string> keys;
    size_t files = 0;
    for (const auto& entry : fs::directory_iterator(card)) {
        ++files;
        keys.insert(platform::CaselessNames::key(entry.path().filename().string()));
    }
    EXPECT_EQ(keys.size(), files);
    for (const std::string& camera :
         std::vector<std::string>{"IMG_0001.JPG", "IMG_0002.JPG", nfd + ".JPG", "IMG_0002.TIF"})
        EXPECT_EQ(fileBytes(card / camera), "camera") << camera;
}

// Other makers' raw files: each shared camera file develops to a JPEG of its
// picture's size (the DC120's non-square pixels at their aspect), and a
// card of raw files with the camera's JPEG files beside them develops as a
// DNG card does, run after run, the camera's JPEG files untouched.
TEST_F(BatchExportTest, CommandLineDevelopsOtherMakersRawFilesAndTheirCards) {
    ASSERT_TRUE(fs::exists(programPath()));
    const auto other = testsupport::testdataDir() / "raw/other";
    const auto made = scratch_.path() / "made";
    const std::pair<const char*, std::pair<uint32_t, uint32_t>> files[] = {
        {"canon-powershot-g2_colorchart.CRW", {2312, 1720}},
        {"kodak-dc120_compressed_colorchart.KDC", {1301, 976}},
        {"kodak-dc120_uncompressed_colorchart-close.KDC", {1301, 976}},
        {"kodak-dc50_colorchart-sg.KDC", {768, 512}}};
    for (const auto& [name, size] : files) {
        const auto r = runProgram("--out " + made.string() + " " + (other / name).string());
        EXPECT_EQ(r.status, 0) << r.out;
        const auto jpg = made / fs::path(name).replace_extension("jpg");
        EXPECT_EQ(r.outText, jpg.string() + "\n");
        std::vector<uint8_t> rgb;
        uint32_t w = 0, h = 0;
        ASSERT_TRUE(testsupport::decodeJpegFile(jpg, rgb, w, h)) << jpg;
        EXPECT_EQ(std::make_pair(w, h), size) << name;
    }

    const auto card = scratch_.path() / "card";
    fs::create_directories(card);
    fs::copy_file(other / "canon-powershot-g2_colorchart.CRW", card / "CRW_0304.CRW");
    fs::copy_file(other / "kodak-dc120_compressed_colorchart.KDC", card / "P0003911.KDC");
    std::string camera = fileBytes(made / "canon-powershot-g2_colorchart.jpg");
    camera.replace(camera.find("Quorvex V"), 9, "Camera  V");
    std::ofstream(card / "CRW_0304.jpg", std::ios::binary) << camera;
    for (const char* n : {"_1", "_2"}) {
        const auto r = runProgram(card.string());
        EXPECT_EQ(r.status, 0) << r.out;
        EXPECT_EQ(r.errText, "");
        const std::string kodak = std::string(n) == "_1" ? "" : "_1";
        EXPECT_EQ(linesOf(r.outText), (std::vector<std::string>{
                                          (card / ("CRW_0304" + std::string(n) + ".jpg")).string(),
                                          (card / ("P0003911" + kodak + ".jpg")).string()}));
    }
    EXPECT_TRUE(fileBytes(card / "CRW_0304.jpg") == camera);
}

// A damaged preset asked for by name: a factory one serves from its factory
// values behind another program's lock, with a warning; a user's one is said
// to be damaged, with its file, and the run fails.
TEST_F(BatchExportTest, CommandLineUsesADamagedFactoryPresetAndRefusesADamagedOwnOne) {
    ASSERT_TRUE(fs::exists(programPath()));
    auto& presets = PresetManager::sharedPresetManager();
    presets.forgetPresetDirectory();
    const fs::path folder = *presets.presetDirectory();
    const fs::path mono =
        folder / (PresetManager::profileUUID(*presets.presetNamed("Monochrome")) + ".plist");
    presets.forgetPresetDirectory();
    fs::resize_file(mono, fs::file_size(mono) / 2);
    const auto dng = scratch_.path() / "p.dng";
    makeChart(dng);
    const auto out = scratch_.path() / "out";
    {
        testsupport::LockHolder holder(folder.parent_path() / ".presets.lock");
        ASSERT_TRUE(holder.hold("sleep"));
        const auto held =
            runProgram("--preset Monochrome --out " + out.string() + " " + dng.string());
        EXPECT_EQ(held.status, 0) << held.out;
        EXPECT_EQ(linesOf(held.outText), std::vector<std::string>{(out / "p.jpg").string()});
        EXPECT_NE(held.errText.find("quorvex: warning: The preset \"Monochrome\" cannot be read ("),
                  std::string::npos)
            << held.errText;
        EXPECT_NE(held.errText.find("its factory values are used meanwhile"), std::string::npos);
    }
    const fs::path mine = folder / "CD8D9985-1111-4222-8333-444455556666.plist";
    std::ofstream(mine) << "<plist><dict><key>displayName</key><string>Evening</string>";
    const auto evening = runProgram("--preset Evening --out " + out.string() + " " + dng.string());
    EXPECT_EQ(evening.status, 1);
    EXPECT_TRUE(linesOf(evening.outText).empty());
    const std::string said = "quorvex: the preset \"Evening\" was damaged (";
    const auto at = evening.errText.find(said);
    ASSERT_NE(at, std::string::npos) << evening.errText;
    EXPECT_NE(evening.errText.find("); it is set aside as \"" + mine.string() + ".damaged\".", at),
              std::string::npos)
        << evening.errText;
    // A file whose name cannot be read is set aside at the first run; then
    // no preset has the name asked for, and every run names the kept file.
    const fs::path lost = folder / "CD8D9985-7777-4222-8333-444455556666.plist";
    std::ofstream(lost) << std::string(4096, '\0');
    for (int run = 0; run < 2; ++run) {
        const auto night = runProgram("--preset Night --out " + out.string() + " " + dng.string());
        EXPECT_EQ(night.status, 2) << run;
        EXPECT_NE(night.errText.find("quorvex: there is no preset named \"Night\"; damaged preset "
                                     "files whose names cannot be read are kept"),
                  std::string::npos)
            << night.errText;
        EXPECT_NE(night.errText.find("\"" + lost.string() + ".damaged\""), std::string::npos)
            << night.errText;
    }
    // A name no preset file could have is told at once, not after waiting
    // for another program that keeps the folder.
    testsupport::LockHolder holder(folder.parent_path() / ".presets.lock");
    ASSERT_TRUE(holder.hold("sleep"));
    const auto start = std::chrono::steady_clock::now();
    const auto held = runProgram("--preset Night --out " + out.string() + " " + dng.string());
    EXPECT_LT(std::chrono::steady_clock::now() - start, platform::FileLock::kWaitLimit);
    EXPECT_EQ(held.status, 2);
    EXPECT_EQ(held.errText.find("Waiting for"), std::string::npos) << held.errText;
    EXPECT_EQ(held.errText.find("quorvex: there is no preset named \"Night\""), 0u) << held.errText;
    presets.forgetPresetDirectory();
}

// Past a file-size limit (ulimit -f) the file that would pass it fails with
// one line of its own, its partial file removed, and the run goes on.
TEST_F(BatchExportTest, CommandLineGoesOnPastAFileSizeLimit) {
    ASSERT_TRUE(fs::exists(programPath()));
    const auto dir = scratch_.path() / "limited";
    fs::create_directories(dir);
    fs::copy_file(testsupport::testdataDir() / "raw" / "dng" / "rpi-imx296_10bit-packed_strip.dng",
                  dir / "large.dng");
    makeChart(dir / "small.dng");
    // 2000 blocks of 512 bytes: the chart's JPEG fits, the large photo's does not.
    const auto r = runProgram((dir / "large.dng").string() + " " + (dir / "small.dng").string(),
                              "ulimit -f 2000; ");
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_EQ(linesOf(r.outText), std::vector<std::string>{(dir / "small.jpg").string()});
    const auto lines = linesOf(r.errText);
    ASSERT_EQ(lines.size(), 1u) << r.errText;
    EXPECT_EQ(lines[0].find("quorvex: " + (dir / "large.dng").string() + ": "), 0u) << lines[0];
    EXPECT_NE(lines[0].find("too large for this file system or limit"), std::string::npos)
        << lines[0];
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"large.dng", "small.dng", "small.jpg"}));
    // The other writers say it in the same words.
    for (const std::string type : {"tiff", "dng", "exr"}) {
        const auto other =
            runProgram("--type " + type + " " + (dir / "large.dng").string(), "ulimit -f 2000; ");
        EXPECT_EQ(other.status, 1) << type;
        EXPECT_NE(other.errText.find("too large for this file system or limit"), std::string::npos)
            << type << ": " << other.errText;
        EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 3) << type;
    }
}

// A named file that is no regular file is said to be what it is, and a FIFO
// is not waited on.
TEST_F(BatchExportTest, CommandLineSaysWhatANamedFileIsWhenItIsNoRegularFile) {
    ASSERT_TRUE(fs::exists(programPath()));
    const auto dir = scratch_.path() / "odd";
    fs::create_directories(dir);
    fs::create_symlink("nowhere.jpg", dir / "dangling.jpg");
    fs::create_symlink("loop.tif", dir / "loop.tif");
    fs::create_symlink("/dev/zero", dir / "zero.jpg");
    ASSERT_TRUE(testsupport::makeFifo(dir / "fifo.jpg"));
    ASSERT_TRUE(testsupport::makeFifo(dir / "fifo.tif"));
    fs::create_symlink("nowhere.dng", dir / "dangling.dng");
    fs::create_symlink("loop.dng", dir / "loop.dng");
    ASSERT_TRUE(testsupport::makeFifo(dir / "fifo.dng"));
    std::string args;
    for (const char* name : {"dangling.jpg", "loop.tif", "zero.jpg", "fifo.jpg", "fifo.tif",
                             "dangling.dng", "loop.dng", "fifo.dng"})
        args += " " + (dir / name).string();
    const auto r = runProgram(args, "timeout 60 ");
    EXPECT_EQ(r.status, 1) << r.out;
    const std::string at = "quorvex: " + dir.string() + "/";
    EXPECT_EQ(linesOf(r.errText),
              (std::vector<std::string>{
                  at + "dangling.jpg: it is a link to nothing: its target \"nowhere.jpg\" does "
                       "not exist.",
                  at + "loop.tif: it is a link in a loop of links, which leads to no file.",
                  at + "zero.jpg: it is a link to \"/dev/zero\", a device, not a regular file.",
                  at + "fifo.jpg: it is a FIFO (a named pipe), not a regular file.",
                  at + "fifo.tif: it is a FIFO (a named pipe), not a regular file.",
                  at + "dangling.dng: it is a link to nothing: its target \"nowhere.dng\" does "
                       "not exist.",
                  at + "loop.dng: it is a link in a loop of links, which leads to no file.",
                  at + "fifo.dng: it is a FIFO (a named pipe), not a regular file."}));
    // A file of the system reports no size, yet is read for what it holds.
    const auto cpuinfo = runProgram("--out " + dir.string() + " /proc/cpuinfo");
    EXPECT_EQ(cpuinfo.status, 1);
    EXPECT_EQ(cpuinfo.errText.find("empty"), std::string::npos) << cpuinfo.errText;
    EXPECT_NE(cpuinfo.errText.find("no camera raw format"), std::string::npos) << cpuinfo.errText;
}

// A file that cannot be read is said to be so, never damaged: a read error
// (a link to /proc/self/mem reads as one) and a file the user may not read.
TEST_F(BatchExportTest, CommandLineSaysAFileThatCannotBeReadCannotBeRead) {
    ASSERT_TRUE(fs::exists(programPath()));
    const auto dir = scratch_.path() / "unreadable";
    fs::create_directories(dir);
    for (const char* name : {"eio.dng", "eio.jpg"})
        fs::create_symlink("/proc/self/mem", dir / name);
    const auto eio = runProgram((dir / "eio.dng").string() + " " + (dir / "eio.jpg").string());
    EXPECT_EQ(eio.status, 1);
    const std::string said =
        ": it cannot be read: the device reports an input/output error (the "
        "disk or card may be failing).";
    EXPECT_EQ(linesOf(eio.errText),
              (std::vector<std::string>{"quorvex: " + (dir / "eio.dng").string() + said,
                                        "quorvex: " + (dir / "eio.jpg").string() + said}));

    // As an ordinary user: root reads any file.
    std::string asUser;
    const fs::path home =
        fs::path("/tmp") / ("quorvex-user-" + std::to_string(::getpid()));  // not ours alone
    if (::geteuid() == 0) {
        const std::string drop = "setpriv --reuid=65534 --regid=65534 --clear-groups ";
        if (std::system((drop + "test -x '" + programPath().string() + "' 2>/dev/null").c_str()) !=
            0)
            GTEST_SKIP()
                << "run as root, and no other user can run the program to be refused a file";
        fs::create_directories(home);
        fs::permissions(home, fs::perms::all);
        asUser = drop + "env HOME=" + home.string() + " TMPDIR=" + home.string() +
                 " XDG_CONFIG_HOME=" + home.string() + "/config XDG_DATA_HOME=" + home.string() +
                 "/data XDG_STATE_HOME=" + home.string() + "/state ";
    }
    const fs::path shut = ::geteuid() == 0 ? home : dir;
    makeChart(shut / "locked.dng");
    std::ofstream(shut / "locked.jpg") << "not read";
    for (const char* name : {"locked.dng", "locked.jpg"})
        fs::permissions(shut / name, fs::perms::none);
    const auto denied = runProgram("--out " + shut.string() + " " + (shut / "locked.dng").string() +
                                       " " + (shut / "locked.jpg").string(),
                                   asUser);
    EXPECT_EQ(denied.status, 1);
    const std::string refused = ": it cannot be read: permission to read it is denied.";
    EXPECT_EQ(linesOf(denied.errText),
              (std::vector<std::string>{"quorvex: " + (shut / "locked.dng").string() + refused,
                                        "quorvex: " + (shut / "locked.jpg").string() + refused}));
    // A folder the user may not search hides its files: permission, not absence.
    const fs::path closed = shut / "closed";
    makeChart(closed / "inside.dng");
    fs::permissions(closed, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
    const auto hidden =
        runProgram("--out " + shut.string() + " " + (closed / "inside.dng").string(), asUser);
    EXPECT_EQ(hidden.status, 1);
    EXPECT_EQ(linesOf(hidden.errText),
              std::vector<std::string>{"quorvex: " + (closed / "inside.dng").string() +
                                       ": it cannot be reached: permission to search a folder on "
                                       "its path is denied."});
    // A folder given that may be entered but not listed; an export folder
    // that may not be searched: each said to be a matter of permission,
    // naming the folder.
    const fs::path unlisted = shut / "unlisted", unsearched = shut / "unsearched";
    makeChart(unlisted / "inside.dng");
    fs::create_directories(unsearched);
    fs::permissions(unlisted, fs::perms(0311));
    fs::permissions(unsearched, fs::perms(0666));
    const auto folders = runProgram(unlisted.string(), asUser);
    EXPECT_EQ(folders.status, 1);
    EXPECT_EQ(linesOf(folders.errText),
              std::vector<std::string>{"quorvex: " + unlisted.string() +
                                       ": it cannot be read: permission to read it is denied."});
    const auto out = runProgram(
        "--out " + unsearched.string() + " " + (unlisted / "inside.dng").string(), asUser);
    EXPECT_EQ(out.status, 1);
    EXPECT_NE(out.errText.find(" in " + unsearched.string() + ": " + std::strerror(EACCES)),
              std::string::npos)
        << out.errText;
    fs::permissions(unlisted, fs::perms::owner_all);
    fs::permissions(closed, fs::perms::owner_all);
    fs::remove_all(home);
}

// --type reaches each format and EXR variant, whatever the preset says.
TEST_F(BatchExportTest, CommandLineTypeOverridesThePresetsExportType) {
    ASSERT_TRUE(fs::exists(programPath()));
    const auto dng = scratch_.path() / "t.dng";
    makeChart(dng);
    struct Case {
        const char* type;
        const char* file;
        const char* channels;  // EXR only
    };
    for (const Case& c :
         {Case{"exr", "t.exr", "BhGhRh"}, Case{"exr-rgba", "t.exr", "AhBhGhRh"},
          Case{"exr-float", "t.exr", "BfGfRf"}, Case{"exr-float-rgba", "t.exr", "AfBfGfRf"},
          Case{"dng", "t.dng", ""}, Case{"tiff", "t.tif", ""}, Case{"jpeg", "t.jpg", ""}}) {
        const auto out = scratch_.path() / c.type;
        fs::create_directories(out);
        const auto r = runProgram("--preset \"Default TIFF export\" --type " + std::string(c.type) +
                                  " --out " + out.string() + " " + dng.string());
        ASSERT_EQ(r.status, 0) << c.type << r.out;
        EXPECT_EQ(linesOf(r.outText), std::vector<std::string>{(out / c.file).string()}) << c.type;
        if (*c.channels) {
            EXPECT_EQ(exrChannels(out / c.file), c.channels) << c.type;
        }
    }
    EXPECT_EQ(firstBytes(scratch_.path() / "dng" / "t.dng", 4), std::string("II*\0", 4));
}
#endif
