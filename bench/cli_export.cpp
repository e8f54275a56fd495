// The command line's whole job on the bundled 24-megapixel sample (open,
// decode, develop, render, encode, write), and its parts: the decode alone
// and the JPEG encode alone. Develop and render are the remainder.
// Run from the build folder (the sample is build/sample/QuorvexTestChart.dng).
#include <benchmark/benchmark.h>

#include <filesystem>
#include <optional>
#include <vector>

#include "document/BatchExport.h"
#include "platform/JpegWriter.h"
#include "platform/Paths.h"
#include "raw/rawWrapper.h"

namespace {

namespace fs = std::filesystem;

std::optional<fs::path> samplePath() {
    std::error_code ec;
    const auto exe = fs::read_symlink("/proc/self/exe", ec);
    for (const auto& p : {exe.parent_path().parent_path() / "sample/QuorvexTestChart.dng",
                          exe.parent_path() / "sample/QuorvexTestChart.dng",
                          fs::path("sample/QuorvexTestChart.dng")})
        if (fs::exists(p, ec)) return p;
    return std::nullopt;
}

void BM_WholeExport(benchmark::State& state) {
    const auto sample = samplePath();
    if (!sample) return state.SkipWithError("no sample; build the quorvex target");
    const fs::path out = platform::temporaryDirectory() / "bench-export";
    fs::create_directories(out);
    BatchExport::Options options;
    options.files = {*sample};
    options.exportLocation = out;
    options.silentlyOverwrite = true;
    for (auto _ : state) {
        auto error = BatchExport::run(options);
        if (error) return state.SkipWithError(error->failureReason.c_str());
    }
    state.counters["MP/s"] =
        benchmark::Counter(24.0, benchmark::Counter::kIsIterationInvariantRate);
    fs::remove_all(out);
}
BENCHMARK(BM_WholeExport)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

void BM_DecodeOnly(benchmark::State& state) {
    const auto sample = samplePath();
    if (!sample) return state.SkipWithError("no sample; build the quorvex target");
    for (auto _ : state) {
        auto wrapper = rawWrapper::initWithFile(sample->string(), sample->string(), false);
        if (!wrapper || !wrapper->masterImageBytes()) return state.SkipWithError("decode failed");
    }
    state.counters["MP/s"] =
        benchmark::Counter(24.0, benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_DecodeOnly)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

void BM_EncodeOnly(benchmark::State& state) {
    constexpr uint32_t kW = 6000, kH = 4000;
    std::vector<uint8_t> rgb(size_t(kW) * kH * 3);
    // Smooth gradients, closer to a photograph than noise.
    for (uint32_t y = 0; y < kH; ++y)
        for (uint32_t x = 0; x < kW; ++x) {
            uint8_t* p = &rgb[(size_t(y) * kW + x) * 3];
            p[0] = static_cast<uint8_t>(x * 255 / kW);
            p[1] = static_cast<uint8_t>(y * 255 / kH);
            p[2] = static_cast<uint8_t>((x + y) / 40);
        }
    const fs::path file = platform::temporaryDirectory() / "bench-encode.jpg";
    for (auto _ : state) {
        if (!platform::writeJPEG(rgb.data(), kW, kH, 100, {}, {}, file.string()))
            return state.SkipWithError("encode failed");
    }
    state.counters["MP/s"] =
        benchmark::Counter(24.0, benchmark::Counter::kIsIterationInvariantRate);
    fs::remove(file);
}
BENCHMARK(BM_EncodeOnly)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

}  // namespace
