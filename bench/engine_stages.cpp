// Time and throughput of the pipeline's first three stages on a 24-megapixel
// picture of the test chart: raw combine (and its mixing kernel alone), the
// two median filters, the mean filter and sharpening (radius 4 and the
// default look's 0.8), each alone and at 1, 2, 4 and all workers (with the
// parallel efficiency against one worker), and the three stages from cold
// with the strongest and with the default artifact filter; and the run after
// the view moves onto a part of the image not processed yet.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cmath>
#include <map>
#include <thread>
#include <vector>

#include "color/SettingsKeys.h"
#include "engine/MeanTiledEngine.h"
#include "engine/MedianTiledEngine.h"
#include "engine/RawCombineTiledEngine.h"
#include "engine/SharpeningTiledEngine.h"
#include "platform/Dispatch.h"
#include "raw/TestChart.h"

namespace {

constexpr uint32_t kW = 6000, kH = 4000;  // 24 megapixels
const TileRegion kAll{0, -1, -1, -1, -1};

// The chart as a master rendering, and an alternate that differs in colour
// by a small per-pixel amount.
struct ChartImages : ImageWrapper {
    std::vector<uint16_t> master, alternate;
    const uint16_t* masterImageBytes() override { return master.data(); }
    const uint16_t* alternateImageBytes() override { return alternate.data(); }

    ChartImages()
        : ImageWrapper("chart.dng", "chart.dng", false),
          master(size_t(kW) * kH * 3),
          alternate(master.size()) {
        setImageSize(uint16_t(kW), uint16_t(kH));
        const TestChart chart(kW, kH);
        const unsigned bands = std::max(1u, platform::processorCount());
        std::vector<std::thread> threads;
        for (unsigned b = 0; b < bands; ++b)
            threads.emplace_back([&, b] {
                for (uint32_t y = kH * b / bands; y < kH * (b + 1) / bands; ++y)
                    for (uint32_t x = 0; x < kW; ++x) {
                        const auto rgb = chart.sceneAt(x, y);
                        const size_t i = (size_t(y) * kW + x) * 3;
                        for (int c = 0; c < 3; ++c) {
                            const double v = std::clamp(rgb[size_t(c)], 0.0, 1.0) * 65535.0;
                            master[i + size_t(c)] = uint16_t(v);
                            const double wobble = ((x * 7 + y * 3 + uint32_t(c)) % 17) * 40.0;
                            alternate[i + size_t(c)] = uint16_t(std::min(65535.0, v + wobble));
                        }
                    }
            });
        for (auto& t : threads) t.join();
    }
};

std::shared_ptr<ChartImages> chartImages() {
    static auto images = std::make_shared<ChartImages>();
    return images;
}

// The engine's chain of stages 1 to 3, set up as the engine sets it up.
struct Chain {
    std::shared_ptr<RawCombineTiledEngine> combine;
    std::shared_ptr<MedianTiledEngine> red, blue;
    std::shared_ptr<MeanTiledEngine> mean;
    std::shared_ptr<SharpeningTiledEngine> sharpen;

    explicit Chain(double artifactFilter, double radius = 4.0) {
        combine = RawCombineTiledEngine::initWithSize(platform::Size{double(kW), double(kH)},
                                                      std::nullopt, false);
        combine->setIgnoreEdges(false);
        combine->setHorizontalBorder(8);
        combine->setVerticalBorder(8);
        combine->setRawImage(chartImages());
        red = median(combine, 0);
        blue = median(red, 2);
        mean = MeanTiledEngine::initWithImage(blue, std::nullopt, false);
        mean->setHorizontalBorder(2);
        mean->setVerticalBorder(2);
        sharpen = SharpeningTiledEngine::initWithImage(mean, std::nullopt, false);
        sharpen->setReprocessEdgeTiles(true);
        sharpen->setParameters(std::nullopt,
                               platform::Dictionary{{SettingsKeys::kArtifactSuppression, 0.5},
                                                    {SettingsKeys::kChromaArtifactSuppression, 0.5},
                                                    {SettingsKeys::kArtifactFilter, artifactFilter},
                                                    {SettingsKeys::kInputRadius, radius},
                                                    {SettingsKeys::kInputIntensity, 0.8}});
        sharpen->runProcessToCompletion(kAll);  // makes every buffer
    }
    static std::shared_ptr<MedianTiledEngine> median(TiledEngine::Ptr source, int colour) {
        auto m = MedianTiledEngine::initWithImage(std::move(source), std::nullopt, false);
        m->setColorToProcess(colour);
        m->setReprocessEdgeTiles(true);
        m->setHorizontalBorder(2);
        m->setVerticalBorder(2);
        return m;
    }
    void setWorkers(int n) {
        for (TiledEngine* s : std::initializer_list<TiledEngine*>{
                 combine.get(), red.get(), blue.get(), mean.get(), sharpen.get()})
            s->setWorkerCount(n);
    }
};

// The strongest artifact filter (six median and six mean passes).
Chain& chain() {
    static Chain c(1.0);
    return c;
}
// The default setting: the filters only copy.
Chain& defaultChain() {
    static Chain c(0.0);
    return c;
}

// Redoes every tile of `stage` only (its sources are clean) and times the
// run of the last stage, which pulls it.
double runSeconds(TiledEngine& stage, TiledEngine& last) {
    stage.markAllDirty();
    const auto t0 = std::chrono::steady_clock::now();
    last.runProcessToCompletion(kAll);
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

void timeStage(benchmark::State& state, const char* name, TiledEngine& stage, TiledEngine& last,
               Chain& c = chain()) {
    static std::map<std::string, double> oneWorker;
    int workers = int(state.range(0));
    if (workers == 0) workers = int(std::max(1u, platform::processorCount()));
    c.setWorkers(workers);
    runSeconds(stage, last);  // warm
    double total = 0;
    for (auto _ : state) {
        const double s = runSeconds(stage, last);
        state.SetIterationTime(s);
        total += s;
    }
    const double mean = total / double(state.iterations());
    if (workers == 1) oneWorker[name] = mean;
    state.counters["workers"] = workers;
    state.counters["MP/s"] = double(kW) * kH / 1e6 / mean;
    if (oneWorker.count(name)) state.counters["efficiency"] = oneWorker[name] / (workers * mean);
}

void BM_RawCombine24MP(benchmark::State& state) {
    timeStage(state, "combine", *chain().combine, *chain().combine);
}
// The mixing kernel alone on one thread, straight into a buffer: at the
// default amounts (1, 1) and at 0.5, 0.5.
void BM_RawCombineKernel24MP(benchmark::State& state) {
    static auto out = ImageBufferU16::initWithSize(uint16_t(kW), uint16_t(kH), nullptr, nullptr);
    static auto stage = [] {
        auto s = RawCombineTiledEngine::initWithSize(platform::Size{double(kW), double(kH)},
                                                     std::nullopt, false);
        s->setRawImage(chartImages());
        return s;
    }();
    const float amount = state.range(0) ? 0.5f : 1.0f;
    for (auto _ : state) stage->processArea(0, kW, 0, kH, amount, amount, out.get());
    state.counters["MP/s"] = benchmark::Counter(double(kW) * kH / 1e6 * double(state.iterations()),
                                                benchmark::Counter::kIsRate);
}
BENCHMARK(BM_RawCombineKernel24MP)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

void BM_MedianRed6Passes24MP(benchmark::State& state) {
    timeStage(state, "median", *chain().red, *chain().red);
}
// The mean works in place: redone alone, it has its input only by having
// both medians compute it again for every tile, which this includes.
void BM_Mean6Passes24MP(benchmark::State& state) {
    timeStage(state, "mean", *chain().mean, *chain().mean);
}
void BM_SharpenRadius4_24MP(benchmark::State& state) {
    timeStage(state, "sharpen", *chain().sharpen, *chain().sharpen);
}
// The default look's sharpening radius (0.8: a kernel of 3 × 3).
void BM_SharpenDefaultRadius24MP(benchmark::State& state) {
    static Chain c(0.0, 0.8);
    timeStage(state, "sharpen default", *c.sharpen, *c.sharpen, c);
}
// Every tile of stages 1 to 3, as after a stage-1 setting changed.
void BM_Stages1to3Cold24MP(benchmark::State& state) {
    timeStage(state, "chain", *chain().combine, *chain().sharpen);
}

void BM_Stages1to3ColdDefaultFilter24MP(benchmark::State& state) {
    timeStage(state, "chain default", *defaultChain().combine, *defaultChain().sharpen,
              defaultChain());
}

// The view (3000 x 2000 pixels) moves one tile to the right onto a part not
// processed yet: stage 1 redoes a column of tiles, the filters that column
// and the one before it, the part of the image they share with the old view
// read as it is. Timed: the run after the move.
void BM_Stages1to3ViewMove24MP(benchmark::State& state) {
    Chain& c = chain();
    int workers = int(state.range(0));
    if (workers == 0) workers = int(std::max(1u, platform::processorCount()));
    c.setWorkers(workers);
    auto& map = *c.sharpen->mainMap();
    const TileRegion before = map.regionForRect(platform::Rect{0, 0, 3000, 2000}, 0);
    const TileRegion after = map.regionForRect(platform::Rect{512, 0, 3000, 2000}, 0);
    double total = 0;
    for (auto _ : state) {
        c.combine->markAllDirty();
        c.sharpen->runProcessToCompletion(before);
        const auto t0 = std::chrono::steady_clock::now();
        c.sharpen->runProcessToCompletion(after);
        const double s =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        state.SetIterationTime(s);
        total += s;
    }
    state.counters["workers"] = workers;
    state.counters["ms"] = 1000.0 * total / double(state.iterations());
}

#define STAGE_BENCHMARK(fn)                                                              \
    BENCHMARK(fn)->Arg(1)->Arg(2)->Arg(4)->Arg(0)->UseManualTime()->Iterations(3)->Unit( \
        benchmark::kMillisecond)

STAGE_BENCHMARK(BM_RawCombine24MP);
STAGE_BENCHMARK(BM_MedianRed6Passes24MP);
STAGE_BENCHMARK(BM_Mean6Passes24MP);
STAGE_BENCHMARK(BM_SharpenRadius4_24MP);
STAGE_BENCHMARK(BM_SharpenDefaultRadius24MP);
STAGE_BENCHMARK(BM_Stages1to3Cold24MP);
STAGE_BENCHMARK(BM_Stages1to3ColdDefaultFilter24MP);
STAGE_BENCHMARK(BM_Stages1to3ViewMove24MP);

}  // namespace
