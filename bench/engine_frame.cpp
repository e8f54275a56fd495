// Throughput of the engine's pixel frame: 16-bit/float conversion and the
// colour matrix per core, 24-megapixel resampling, and how a stage with a
// fixed cost per tile scales over the workers.
#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <vector>

#include "engine/TiledEngine.h"
#include "platform/Dispatch.h"
#include "platform/VImage.h"

using namespace platform::vimage;

namespace {

constexpr size_t kW = 6000, kH = 4000;  // 24 megapixels

void BM_Convert16UToF(benchmark::State& state) {
    const size_t w = 2048 * 4, h = 256;  // one core, a cache-unfriendly block
    std::vector<uint16_t> src(w * h, 1234);
    std::vector<float> dst(w * h);
    Buffer s{src.data(), h, w, w * 2}, d{dst.data(), h, w, w * 4};
    for (auto _ : state) {
        convertPlanar16UToF(s, d, 0, 1.0f / 65325.0f, kDoNotTile);
        benchmark::DoNotOptimize(dst.data());
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(w * h * 6));
}
BENCHMARK(BM_Convert16UToF);

void BM_ConvertFTo16U(benchmark::State& state) {
    const size_t w = 2048 * 4, h = 256;
    std::vector<float> src(w * h, 0.37f);
    std::vector<uint16_t> dst(w * h);
    Buffer s{src.data(), h, w, w * 4}, d{dst.data(), h, w, w * 2};
    for (auto _ : state) {
        convertPlanarFTo16U(s, d, 0, 1.0f / 65325.0f, kDoNotTile);
        benchmark::DoNotOptimize(dst.data());
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(w * h * 6));
}
BENCHMARK(BM_ConvertFTo16U);

void BM_MatrixInPlace(benchmark::State& state) {
    const size_t w = 2048, h = 256;
    std::vector<float> px(w * h * 4, 0.5f);
    Buffer b{px.data(), h, w, w * 16};
    const float m[16] = {1.1f, 0, 0, 0.3f, 0, 0.9f, 0, 0.6f, 0, 0, 1.2f, 0.1f, 0, 0, 0, 0};
    for (auto _ : state) {
        matrixMultiplyARGBFFFF(b, b, m, nullptr, nullptr, kDoNotTile);
        benchmark::DoNotOptimize(px.data());
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(w * h * 32));
}
BENCHMARK(BM_MatrixInPlace);

template <typename T>
void resize24MP(benchmark::State& state, uint32_t extra) {
    const size_t dw = size_t(state.range(0)), dh = dw * kH / kW;
    std::vector<T> src(kW * kH * 4, T(1));
    std::vector<T> dst(dw * dh * 4);
    Buffer s{src.data(), kH, kW, kW * 4 * sizeof(T)}, d{dst.data(), dh, dw, dw * 4 * sizeof(T)};
    for (auto _ : state) {
        if constexpr (sizeof(T) == 2)
            scaleARGB16U(s, d, kHighQualityResampling | extra);
        else
            scaleARGBFFFF(s, d, kHighQualityResampling | extra);
        benchmark::DoNotOptimize(dst.data());
    }
    state.counters["MP/s"] = benchmark::Counter(double(kW * kH) / 1e6 * double(state.iterations()),
                                                benchmark::Counter::kIsRate);
}

void BM_Resize24MP_16U(benchmark::State& state) { resize24MP<uint16_t>(state, 0); }
void BM_Resize24MP_Float(benchmark::State& state) { resize24MP<float>(state, 0); }
void BM_Resize24MP_16U_OneCore(benchmark::State& state) { resize24MP<uint16_t>(state, kDoNotTile); }
BENCHMARK(BM_Resize24MP_16U)->Arg(3000)->Arg(1024)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Resize24MP_Float)->Arg(3000)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Resize24MP_16U_OneCore)->Arg(3000)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

// ---------------------------------------------------------------------------
// A 24-megapixel stage whose every tile costs the same fixed amount of work.

namespace {

class FixedCostStage : public TiledEngine {
public:
    using TiledEngine::TiledEngine;
    void processTile(int c0, int, int r0, int, ImageBuffer*, ImageBuffer* dest, int) override {
        auto t0 = std::chrono::steady_clock::now();
        // About two milliseconds of arithmetic, whatever the tile's size.
        float x = float(c0 + r0) * 1e-6f;
        for (int i = 0; i < 1200000; ++i) x = x * 0.999999f + 1e-7f;
        dest->bufferU16ForRow(r0, c0)[0] = uint16_t(x);
        busyNanos += std::chrono::duration_cast<std::chrono::nanoseconds>(
                         std::chrono::steady_clock::now() - t0)
                         .count();
    }
    // Time spent inside tiles, summed over the workers.
    std::atomic<int64_t> busyNanos{0};
};

double runSeconds(FixedCostStage& stage) {
    stage.markAllDirty();
    auto t0 = std::chrono::steady_clock::now();
    stage.runProcessToCompletion(TileRegion{0, -1, -1, -1, -1});
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

std::shared_ptr<FixedCostStage> makeStage(int workers) {
    auto stage = std::make_shared<FixedCostStage>(platform::Size{double(kW), double(kH)},
                                                  std::nullopt, false);
    stage->setWorkerCount(workers);
    runSeconds(*stage);  // makes the buffer
    return stage;
}

double oneWorkerSeconds() {
    static double seconds = [] {
        auto stage = makeStage(1);
        double best = 1e9;
        for (int i = 0; i < 2; ++i) best = std::min(best, runSeconds(*stage));
        return best;
    }();
    return seconds;
}

void BM_FixedCostStage24MP(benchmark::State& state) {
    int workers = int(state.range(0));
    if (workers == 0) workers = int(platform::processorCount());
    auto stage = makeStage(workers);
    const double single = oneWorkerSeconds();
    double total = 0;
    stage->busyNanos = 0;
    for (auto _ : state) {
        double s = runSeconds(*stage);
        state.SetIterationTime(s);
        total += s;
    }
    const double mean = total / double(state.iterations());
    state.counters["workers"] = workers;
    state.counters["efficiency"] = single / (workers * mean);
    state.counters["MP/s"] = double(kW * kH) / 1e6 / mean;
    // Share of the workers' time spent inside tiles: what the frame itself
    // costs (or a machine busy with other work) shows up as less than 1.
    state.counters["busy"] = double(stage->busyNanos) * 1e-9 / (workers * total);
    state.counters["ms/tile"] =
        double(stage->busyNanos) * 1e-6 / (double(state.iterations()) * 96.0);
}
BENCHMARK(BM_FixedCostStage24MP)
    ->Arg(1)
    ->Arg(2)
    ->Arg(4)
    ->Arg(0)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(5);

}  // namespace
