// TIFF, DNG and OpenEXR exports of the bundled 24-megapixel sample: the
// command line's whole job per format, and each writer's share on a
// 6000 × 4000 buffer (the DNG writer on one thread and on all of them).
// Run from the build folder (the sample is build/sample/QuorvexTestChart.dng).
#include <benchmark/benchmark.h>

#include <filesystem>
#include <optional>
#include <vector>

#include "BenchSample.h"
#include "color/SettingsKeys.h"
#include "document/BatchExport.h"
#include "export/DngTiffWriter.h"
#include "export/exrWrapper.h"
#include "platform/Dispatch.h"
#include "platform/Paths.h"

namespace {

namespace fs = std::filesystem;

constexpr int kW = 6000, kH = 4000;

void setRate(benchmark::State& state) {
    state.counters["MP/s"] =
        benchmark::Counter(24.0, benchmark::Counter::kIsIterationInvariantRate);
}

// 1 TIFF, 2 DNG, 3 OpenEXR (half RGBA).
void BM_WholeExport(benchmark::State& state) {
    const fs::path sample = benchSample();
    if (sample.empty()) return state.SkipWithError("no sample; build the quorvex target");
    const fs::path out = platform::temporaryDirectory() / "bench-front-export";
    fs::create_directories(out);
    BatchExport::Options options;
    options.files = {sample};
    options.exportLocation = out;
    options.silentlyOverwrite = true;
    options.preset =
        platform::Dictionary{{SettingsKeys::kExportFileType, platform::Value(int(state.range(0)))}};
    for (auto _ : state) {
        auto error = BatchExport::run(options);
        if (error) return state.SkipWithError(error->failureReason.c_str());
    }
    setRate(state);
    fs::remove_all(out);
}
BENCHMARK(BM_WholeExport)
    ->Arg(1)
    ->Arg(2)
    ->Arg(3)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(2);

std::vector<uint16_t> gradient16() {
    std::vector<uint16_t> px(size_t(kW) * kH * 3);
    for (size_t i = 0; i < px.size(); ++i) px[i] = uint16_t((i * 2654435761u) >> 16);
    return px;
}

// 0 TIFF, 1 DNG on one thread, 2 DNG on all threads.
void BM_DngWriter(benchmark::State& state) {
    static const std::vector<uint16_t> px = gradient16();
    const fs::path out = platform::temporaryDirectory() / "bench-front.out";
    const bool tiff = state.range(0) == 0;
    for (auto _ : state) {
        DngTiffWriter writer(kW, kH);
        writer.Host().SetAreaTaskThreadCount(state.range(0) == 1 ? 1 : platform::processorCount());
        if (writer.BuildNegative(reinterpret_cast<const uint8_t*>(px.data()), 0) != 0 ||
            writer.writeFile(out.c_str(), nullptr, tiff ? "public.tiff" : "public.dng") != 0)
            return state.SkipWithError("write failed");
    }
    setRate(state);
    fs::remove(out);
}
BENCHMARK(BM_DngWriter)
    ->Arg(0)
    ->Arg(1)
    ->Arg(2)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(2);

// OpenEXR output formats 0 (half RGBA) and 1 (float RGBA).
void BM_ExrWriter(benchmark::State& state) {
    static const std::vector<float> px = [] {
        std::vector<float> v(size_t(kW) * kH * 4);
        for (size_t i = 0; i < v.size(); ++i) v[i] = float((i * 2654435761u) >> 20) / 4096.0f;
        return v;
    }();
    const fs::path out = platform::temporaryDirectory() / "bench-front.exr";
    for (auto _ : state) {
        auto front = exrWrapper::initWithSize(kW, kH);
        if (front->writeToFile(px.data(), int(state.range(0)), out, nullptr, "") != 0)
            return state.SkipWithError("write failed");
    }
    setRate(state);
    fs::remove(out);
}
BENCHMARK(BM_ExrWriter)
    ->Arg(0)
    ->Arg(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(2);

}  // namespace
