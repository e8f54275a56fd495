// The whole decode of a 24-megapixel DNG (the 6000 × 4000 test chart):
// directories, raw data, linearization, white balance, the AHD master and
// the LMMSE alternate, colour, crop; on one row band and on sixteen. Reports
// seconds per decode and megapixels per second.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "raw/rawWrapper.h"

namespace {

namespace fs = std::filesystem;

// Written once into a temporary folder that goes when the process ends.
const std::string& ChartPath() {
    static const std::string path = [] {
        const fs::path base = fs::temp_directory_path() / "raw_decode_bench.XXXXXX";
        std::string dir = base.string();
        if (!mkdtemp(dir.data())) return std::string();
        const std::string file = dir + "/chart-24mp.dng";
        const std::string command = std::string(QUORVEX_MAKE_TEST_CHART) +
                                    " --size 6000x4000 --output " + file + " > /dev/null";
        if (std::system(command.c_str()) != 0) return std::string();
        std::atexit([] {
            std::error_code ec;
            fs::remove_all(fs::path(ChartPath()).parent_path(), ec);
        });
        return file;
    }();
    return path;
}

void DecodeBothRenderings(benchmark::State& state) {
    const std::string& path = ChartPath();
    if (path.empty()) {
        state.SkipWithError("the test chart could not be written");
        return;
    }
    double pixels = 0;
    for (auto _ : state) {
        auto raw = rawWrapper::initWithFile(path, path, false);
        raw->setDecodeBands(static_cast<unsigned>(state.range(0)));
        const uint16_t* master = raw->masterImageBytes();
        const uint16_t* alternate = raw->alternateImageBytes();
        if (!master || !alternate) {
            state.SkipWithError("decode failed");
            return;
        }
        benchmark::DoNotOptimize(master);
        benchmark::DoNotOptimize(alternate);
        pixels = double(raw->imageWidth()) * raw->imageHeight();
    }
    state.counters["MP/s"] =
        benchmark::Counter(pixels / 1e6, benchmark::Counter::kIsIterationInvariantRate);
}

void DecodeThumbnail(benchmark::State& state) {
    const std::string& path = ChartPath();
    if (path.empty()) {
        state.SkipWithError("the test chart could not be written");
        return;
    }
    for (auto _ : state) {
        auto raw = rawWrapper::initWithFile(path, path, true);
        benchmark::DoNotOptimize(raw->masterImageBytes());
    }
}

}  // namespace

BENCHMARK(DecodeBothRenderings)->Arg(1)->Arg(16)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(DecodeThumbnail)->Unit(benchmark::kMillisecond)->UseRealTime();
