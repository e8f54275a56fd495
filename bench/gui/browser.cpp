// The folder browser: listing a folder of 5,000 files on the GUI thread
// (the model's relist, which makes and filters every node), and a batch
// export of eight copies of the 24-megapixel sample (build/sample) through
// the window's batch, as JPEG beside the sources (seconds per file).
// Runs offscreen unless QT_QPA_PLATFORM says otherwise.
#include <benchmark/benchmark.h>

#include <QApplication>
#include <QItemSelectionModel>
#include <QListView>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "../BenchSample.h"
#include "WindowBenchMain.h"
#include "platform/UserDefaults.h"
#include "ui/BrowserItemModel.h"
#include "ui/BrowserWindowController.h"
#include "ui/QuorvexApplication.h"

namespace fs = std::filesystem;

namespace {

fs::path scratchFolder(const char* name) {
    const char* home = std::getenv("HOME");
    fs::path dir = fs::path(home ? home : "/tmp") / name;
    fs::remove_all(dir);
    fs::create_directories(dir);
    return dir;
}

void BM_ListFolder5000(benchmark::State& state) {
    platform::UserDefaults::standard().setInteger(1, "BrowserFileSelect");
    const fs::path dir = scratchFolder("list5000");
    const char* exts[] = {".dng", ".jpg", ".nef", ".txt", ".tif"};
    for (int i = 0; i < 5000; ++i)
        std::ofstream(dir / ("file" + std::to_string(i) + exts[i % 5])) << i;
    BrowserWindowController browser;
    browser.changeDirectory(dir, 0);
    for (auto _ : state) {
        browser.dataSource()->invalidateFolder();
        browser.relist();
        benchmark::DoNotOptimize(browser.model()->rowCount());
    }
    state.counters["files"] = double(browser.model()->rowCount());
    fs::remove_all(dir);
}
BENCHMARK(BM_ListFolder5000)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_BatchEight24MP(benchmark::State& state) {
    const fs::path sample = benchSample();
    if (sample.empty()) return state.SkipWithError("no sample; build the quorvex target");
    const fs::path dir = scratchFolder("batch8");
    for (int i = 0; i < 8; ++i)
        fs::create_symlink(sample, dir / ("s" + std::to_string(i) + ".dng"));
    platform::UserDefaults::standard().setBool(true, "SilentlyOverwrite");
    BrowserWindowController browser;
    browser.changeDirectory(dir, 0);
    for (auto _ : state) {
        auto* selection = browser.imageBrowser()->selectionModel();
        selection->clearSelection();
        for (int r = 0; r < browser.model()->rowCount(); ++r)
            if (browser.model()->nodeAt(r)->imageSubtitle() == "dng")
                selection->select(browser.model()->index(r), QItemSelectionModel::Select);
        platform::Dictionary preset;
        preset.set("Quorvex_ExportFileType", platform::Value(int64_t(0)));
        browser.popAction(preset);
        while (browser.batchRunning()) QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    state.counters["s/file"] = benchmark::Counter(
        8, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
    fs::remove_all(dir);
}
BENCHMARK(BM_BatchEight24MP)->Unit(benchmark::kSecond)->UseRealTime()->Iterations(1);

}  // namespace

int main(int argc, char** argv) { return runWindowBenchmarks(argc, argv); }
