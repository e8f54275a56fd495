// The document window on the 24-megapixel sample (build/sample): the
// conversion of display tiles to the screen (megapixels per second), a
// change that reaches only the colour stage on a painted 2560 x 1440 view
// (until every visible tile is fetched again and painted), and the longest
// stall of the GUI thread while the window exports the sample as JPEG.
// Runs offscreen unless QT_QPA_PLATFORM says otherwise.
#include <benchmark/benchmark.h>

#include <QApplication>
#include <QDialog>
#include <QElapsedTimer>
#include <QPointer>
#include <chrono>
#include <cstdlib>
#include <filesystem>

#include "../BenchSample.h"
#include "WindowBenchMain.h"
#include "color/ProfileManager.h"
#include "color/SettingsKeys.h"
#include "document/DocumentController.h"
#include "engine/ImageBuffer.h"
#include "ui/DisplayColor.h"
#include "ui/DocumentWindowController.h"
#include "ui/QuorvexApplication.h"

namespace fs = std::filesystem;

namespace {

bool spinUntil(const std::function<bool()>& done, std::chrono::seconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    }
    return true;
}

bool tilesReady(DocumentWindowController* w) {
    const auto& layer = w->imageView()->tiledLayer();
    if (!layer) return false;
    const QRectF active = layer->activeArea();
    bool any = false;
    for (const auto& tile : layer->sublayers()) {
        if (!tile->frame().intersects(active)) continue;
        any = true;
        if (!tile->hasContents() || tile->contentIsDirty()) return false;
    }
    return any;
}

DocumentWindowController* openSample(benchmark::State& state) {
    const fs::path sample = benchSample();
    if (sample.empty()) {
        state.SkipWithError("build/sample/QuorvexTestChart.dng is missing");
        return nullptr;
    }
    DocumentWindowController* window = nullptr;
    DocumentController::sharedDocumentController().openDocumentWithContentsOfURL(
        sample.string(), true,
        [&](const MyDocument::Ptr& document, bool, const std::optional<platform::Error>&) {
            if (document) window = DocumentWindowController::makeWindowForDocument(document);
        });
    if (!window) {
        state.SkipWithError("the sample does not open");
        return nullptr;
    }
    // A view of 2560 x 1440 device pixels beside the controls.
    window->window()->resize(2560 + 360, 1440 + 60);
    if (!spinUntil([&] { return window->imageView()->isVisible() && tilesReady(window); },
                   std::chrono::seconds(120))) {
        state.SkipWithError("no picture");
        return nullptr;
    }
    return window;
}

void closeWindow(DocumentWindowController* w) {
    QPointer<QuorvexDocumentWindow> window = w->window();
    window->close();
    spinUntil([&] { return window.isNull(); }, std::chrono::seconds(30));
}

void BM_DisplayConversion(benchmark::State& state) {
    const int side = int(state.range(0));
    auto profile = ProfileManager::sharedManager().getProPhotoGamma1_D65Profile(false);
    auto buffer = ImageBufferU16::initWithSize(uint16_t(side), uint16_t(side), nullptr, profile);
    for (int y = 0; y < side; ++y) {
        uint16_t* p = buffer->bufferU16ForRow(y);
        for (int x = 0; x < side; ++x, p += 4) {
            p[0] = uint16_t(x * 65325 / side);
            p[1] = uint16_t(y * 65325 / side);
            p[2] = uint16_t((x + y) * 32000 / side);
            p[3] = 65535;
        }
    }
    const auto image = buffer->createCGImage();
    const auto screen = platform::DisplayColor::screenProfile();
    for (auto _ : state)
        benchmark::DoNotOptimize(platform::DisplayColor::screenImage(*image, screen));
    state.counters["MP/s"] = benchmark::Counter(double(side) * side * 1e-6 * state.iterations(),
                                                benchmark::Counter::kIsRate);
}
BENCHMARK(BM_DisplayConversion)->Arg(256)->Arg(1024)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_Stage4ChangeOnPaintedView(benchmark::State& state) {
    auto* w = openSample(state);
    if (!w) return;
    auto document = w->document();
    float ev = 0;
    for (auto _ : state) {
        ev = ev == 0 ? 0.5f : 0.0f;
        document->setValueForKey(platform::Value(ev), SettingsKeys::kInputEV);
        // Done when every visible tile has been fetched again and painted.
        const uint64_t before = w->imageView()->tiledLayer()->fetchCount();
        spinUntil(
            [&] { return w->imageView()->tiledLayer()->fetchCount() > before && tilesReady(w); },
            std::chrono::seconds(30));
        w->imageView()->repaint();
    }
    state.counters["view_MP"] = double(w->imageView()->width()) * w->imageView()->height() * 1e-6;
    closeWindow(w);
}
BENCHMARK(BM_Stage4ChangeOnPaintedView)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(10);

void BM_GuiStallDuringWindowExport(benchmark::State& state) {
    auto* w = openSample(state);
    if (!w) return;
    const QString path =
        QString::fromStdString((fs::temp_directory_path() / "quorvex-bench.jpg").string());
    double worst = 0;
    for (auto _ : state) {
        w->exportToPath(path, QStringLiteral("public.jpeg"), std::nullopt);
        QElapsedTimer gap;
        gap.start();
        while (w->progressSheet()->isVisible()) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 1);
            const double ms = double(gap.nsecsElapsed()) * 1e-6;
            if (std::getenv("QUORVEX_BENCH_TRACE") && ms > 20)
                std::fprintf(stderr, "stall %.1f ms\n", ms);
            worst = std::max(worst, ms);
            gap.restart();
        }
    }
    state.counters["max_stall_ms"] = worst;
    fs::remove(path.toStdString());
    closeWindow(w);
}
BENCHMARK(BM_GuiStallDuringWindowExport)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(2);

}  // namespace

int main(int argc, char** argv) { return runWindowBenchmarks(argc, argv); }
