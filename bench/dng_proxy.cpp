// Proxy conversion of a 24-megapixel negative to 1024 pixels: crop,
// resample, histogram, 8-bit encoding and the new raw data unique ID, on one
// area-task thread and on all of them. The stage 3 comes from the 6000 x 4000
// synthetic test chart (16-bit mosaic written once with libtiff, read and
// demosaiced once); each run converts a fresh copy of it. Throughput in
// source megapixels per second.
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
#include "dng/image/dng_negative.h"
#include "dng/image/dng_negative_reader.h"
#include "dng/writer/dng_image_writer.h"

namespace {

uint32_t AllThreads() { return std::max(1u, std::thread::hardware_concurrency()); }

// The chart's stage 3, built on first use.
const dng_image& ChartStage3() {
    static const std::unique_ptr<dng_image> stage3 = [] {
        const std::filesystem::path path =
            std::filesystem::temp_directory_path() /
            ("quorvex_bench_proxy_" + std::to_string(::getpid()) + ".dng");
        WriteChartDng(path);
        dng_image_host host;
        host.SetAreaTaskThreadCount(AllThreads());
        dng_file_stream stream(path.string().c_str());
        dng_info info;
        std::unique_ptr<dng_negative> negative =
            ReadDNGNegative(host, stream, info, dng_read_depth::kStage3);
        std::filesystem::remove(path);
        return negative->TakeStage3Image();
    }();
    return *stage3;
}

void BM_ProxyConversion(benchmark::State& state) {
    const dng_image& source = ChartStage3();
    dng_image_host host;
    host.SetAreaTaskThreadCount(uint32_t(state.range(0)));
    dng_image_writer writer;
    for (auto _ : state) {
        state.PauseTiming();
        std::unique_ptr<dng_negative> negative = dng_negative::Make(host);
        negative->SetModelName("Quorvex Chart");
        negative->SetDefaultCropSize(dng_urational(source.Width(), 1),
                                     dng_urational(source.Height(), 1));
        negative->SetStage3Image(source.Clone());
        state.ResumeTiming();
        negative->ConvertToProxy(host, writer, 1024);
        benchmark::DoNotOptimize(negative->RawImage().Width());
        state.PauseTiming();
        negative.reset();
        state.ResumeTiming();
    }
    state.counters["MP/s"] = benchmark::Counter(
        double(source.Width()) * source.Height() * 1e-6 * double(state.iterations()),
        benchmark::Counter::kIsRate);
}

}  // namespace

BENCHMARK(BM_ProxyConversion)
    ->Arg(1)
    ->Arg(AllThreads())
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
