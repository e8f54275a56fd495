// From a DNG file to its stage-3 image: parse, read the raw image, linearize
// and demosaic, on one area-task thread and on all of them. Two inputs: the
// largest real test DNG whose pixels this system decodes (1920 x 1200, 10-bit
// packed), and a 24-megapixel synthetic test chart (16-bit strips) written
// once with libtiff into a temporary file. Throughput in raw megapixels per
// second.
#include "dng/image/dng_negative.h"

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "ChartDng.h"
#include "dng/core/dng_file_stream.h"
#include "dng/image/dng_image.h"
#include "dng/image/dng_image_host.h"
#include "dng/image/dng_info.h"
#include "dng/image/dng_negative_reader.h"
#include "support/TestSupport.h"

namespace {

uint32_t AllThreads() { return std::max(1u, std::thread::hardware_concurrency()); }

std::string RealDngPath() {
    const std::filesystem::path root = testsupport::testdataDir();
    return (root / "raw" / "dng" / "rpi-1920x1200_10bit-packed_single-tile.dng").string();
}

// The 6000 x 4000 chart, written on first use and removed at exit.
const std::string& ChartPath() {
    static const std::string path = [] {
        const std::filesystem::path p =
            std::filesystem::temp_directory_path() /
            ("quorvex_bench_chart_" + std::to_string(::getpid()) + ".dng");
        WriteChartDng(p);
        std::atexit([] { std::filesystem::remove(ChartPath()); });
        return p.string();
    }();
    return path;
}

void OpenToStage3(benchmark::State& state, const std::string& path) {
    dng_image_host host;
    host.SetAreaTaskThreadCount(uint32_t(state.range(0)));
    double pixels = 0;
    for (auto _ : state) {
        dng_file_stream stream(path.c_str());
        dng_info info;
        std::unique_ptr<dng_negative> negative =
            ReadDNGNegative(host, stream, info, dng_read_depth::kStage3);
        pixels = double(info.MainIFD().fImageWidth) * info.MainIFD().fImageLength;
        benchmark::DoNotOptimize(negative->Stage3Image());
    }
    state.counters["MP/s"] =
        benchmark::Counter(pixels * 1e-6 * double(state.iterations()), benchmark::Counter::kIsRate);
}

void BM_RealDngToStage3(benchmark::State& state) { OpenToStage3(state, RealDngPath()); }
void BM_ChartDngToStage3(benchmark::State& state) { OpenToStage3(state, ChartPath()); }

}  // namespace

BENCHMARK(BM_RealDngToStage3)
    ->Arg(1)
    ->Arg(AllThreads())
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_ChartDngToStage3)
    ->Arg(1)
    ->Arg(AllThreads())
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
