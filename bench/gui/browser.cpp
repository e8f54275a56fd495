// The folder browser: listing a folder of 5,000 files on the GUI thread
// (the model's relist, which makes and filters every node) and finding each
// of its rows by path and by node, a batch
// export of eight copies of the 24-megapixel sample (build/sample) through
// the window's batch, as JPEG beside the sources (seconds per file), and a
// folder of 1,000 links to the test DNGs that decode paged to its end one
// page per paint (the seconds until the last page's thumbnails are all
// drawn); and folders of 1,000 and 3,000 such links viewed page by page to
// their end (the memory held afterwards and at its peak; run one alone for
// a clean peak).
// Runs offscreen unless QT_QPA_PLATFORM says otherwise.
#include <benchmark/benchmark.h>

#include <QApplication>
#include <QItemSelectionModel>
#include <QListView>
#include <QScrollBar>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "../BenchSample.h"
#include "WindowBenchMain.h"
#include "document/RawThumbnailProvider.h"
#include "platform/UserDefaults.h"
#include "support/TestSupport.h"
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

// Every row of a 5,000-file listing found by its path and told its
// thumbnail arrived, as a folder's worth of thumbnails and a relist's
// selection do.
void BM_RowLookups5000(benchmark::State& state) {
    const fs::path dir = scratchFolder("lookup5000");
    for (int i = 0; i < 5000; ++i) std::ofstream(dir / ("file" + std::to_string(i) + ".dng")) << i;
    BrowserWindowController browser;
    browser.changeDirectory(dir, 0);
    BrowserItemModel* model = browser.model();
    for (auto _ : state)
        for (int r = 0; r < model->rowCount(); ++r) {
            auto node = model->nodeAt(r);
            benchmark::DoNotOptimize(
                model->rowForPath(QString::fromStdString(node->absolutePath())));
            model->iconDidChange(node);
        }
    state.counters["rows"] = double(model->rowCount());
    fs::remove_all(dir);
}
BENCHMARK(BM_RowLookups5000)->Unit(benchmark::kMillisecond)->UseRealTime();

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

// `count` links named img0000.dng ... cycling over the test DNGs that decode.
fs::path linkedDngs(int count) {
    RawThumbnailProvider provider;
    std::vector<fs::path> sources;
    for (const auto& entry : fs::directory_iterator(testsupport::testdataDir() / "raw/dng"))
        if (provider.thumbnailForFile(entry.path(), {128, 128}, false))
            sources.push_back(entry.path());
    if (sources.empty()) return {};
    const fs::path dir = scratchFolder("dngs");
    for (int i = 0; i < count; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "img%04d.dng", i);
        fs::create_symlink(sources[size_t(i) % sources.size()], dir / name);
    }
    return dir;
}

// The rows the view shows now, and whether each has its thumbnail.
bool visiblePageComplete(BrowserWindowController& browser) {
    QListView* view = browser.imageBrowser();
    const QRect shown = view->viewport()->rect();
    bool any = false;
    for (int r = 0; r < browser.model()->rowCount(); ++r) {
        if (!view->visualRect(browser.model()->index(r)).intersects(shown)) continue;
        any = true;
        if (browser.model()->nodeAt(r)->imageVersion() == 0) return false;
    }
    return any;
}

void paint(BrowserWindowController& browser) {
    browser.imageBrowser()->viewport()->repaint();
    QCoreApplication::processEvents();
}

double statusMB(const char* field) {
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind(field, 0) == 0) return std::stod(line.substr(std::strlen(field))) / 1024;
    return 0;
}

void BM_PageToEndOf1000Dngs(benchmark::State& state) {
    platform::UserDefaults::standard().setInteger(1, "BrowserFileSelect");
    const fs::path dir = linkedDngs(1000);
    if (dir.empty()) return state.SkipWithError("no decodable test DNG");
    double seconds = 0;
    for (auto _ : state) {
        BrowserWindowController browser;
        browser.changeDirectory(dir, 0);
        browser.show();
        paint(browser);
        QScrollBar* bar = browser.imageBrowser()->verticalScrollBar();
        const auto start = std::chrono::steady_clock::now();
        while (bar->value() < bar->maximum()) {
            bar->setValue(bar->value() + bar->pageStep());
            paint(browser);
        }
        const auto atEnd = std::chrono::steady_clock::now();
        while (!visiblePageComplete(browser))
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        const auto done = std::chrono::steady_clock::now();
        seconds = std::chrono::duration<double>(done - atEnd).count();
        state.counters["paging_s"] = std::chrono::duration<double>(atEnd - start).count();
    }
    state.counters["last_page_s"] = seconds;
    fs::remove_all(dir);
}
BENCHMARK(BM_PageToEndOf1000Dngs)->Unit(benchmark::kSecond)->UseRealTime()->Iterations(1);

void BM_ViewAllDngs(benchmark::State& state) {
    platform::UserDefaults::standard().setInteger(1, "BrowserFileSelect");
    const fs::path dir = linkedDngs(int(state.range(0)));
    if (dir.empty()) return state.SkipWithError("no decodable test DNG");
    for (auto _ : state) {
        BrowserWindowController browser;
        browser.changeDirectory(dir, 0);
        browser.show();
        paint(browser);
        state.counters["rss_start_MB"] = statusMB("VmRSS:");
        QScrollBar* bar = browser.imageBrowser()->verticalScrollBar();
        for (;;) {
            while (!visiblePageComplete(browser))
                QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
            if (bar->value() >= bar->maximum()) break;
            bar->setValue(bar->value() + bar->pageStep());
            paint(browser);
        }
        state.counters["rss_MB"] = statusMB("VmRSS:");
        state.counters["peak_MB"] = statusMB("VmHWM:");
    }
    fs::remove_all(dir);
}
BENCHMARK(BM_ViewAllDngs)
    ->Arg(1000)
    ->Arg(3000)
    ->Unit(benchmark::kSecond)
    ->UseRealTime()
    ->Iterations(1);

}  // namespace

int main(int argc, char** argv) { return runWindowBenchmarks(argc, argv); }
