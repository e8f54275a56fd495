// The DNG image model's heavy paths on 24-megapixel images: bicubic
// resampling of a 16-bit RGB image to a 256-pixel preview, and full-size
// bilinear demosaicing of a 16-bit Bayer mosaic, on one area-task thread and
// on all of them. Throughput is counted in source megapixels per second.
#include <benchmark/benchmark.h>

#include <memory>
#include <random>
#include <thread>

#include "dng/core/dng_host.h"
#include "dng/core/dng_memory_allocator.h"
#include "dng/image/dng_mosaic_info.h"
#include "dng/image/dng_resample.h"
#include "dng/image/dng_simple_image.h"

namespace {

constexpr int32_t kWidth = 6000;
constexpr int32_t kHeight = 4000;

// Smooth gradients with noise, so that no path can skip work.
void Fill(dng_simple_image& image) {
    dng_pixel_buffer b = image.Buffer();
    std::mt19937 rng(1);
    for (int32_t r = 0; r < kHeight; ++r)
        for (int32_t c = 0; c < kWidth; ++c)
            for (uint32_t p = 0; p < image.Planes(); ++p)
                *b.DirtyPixel_uint16(r, c, p) =
                    uint16_t((r * 7 + c * 5 + int32_t(p) * 9000 + int32_t(rng() % 512)) % 65536);
}

uint32_t AllThreads() { return std::max(1u, std::thread::hardware_concurrency()); }

void BM_ResampleToPreview(benchmark::State& state) {
    dng_host host;
    host.SetAreaTaskThreadCount(uint32_t(state.range(0)));
    static const std::unique_ptr<dng_simple_image> src = [] {
        auto image = std::make_unique<dng_simple_image>(dng_rect(0, 0, kHeight, kWidth), 3, 3,
                                                        gDefaultDNGMemoryAllocator);
        Fill(*image);
        return image;
    }();
    dng_simple_image dst(dng_rect(0, 0, 171, 256), 3, 3, host.Allocator());
    for (auto _ : state) {
        ResampleImage(host, *src, dst, src->Bounds(), dst.Bounds(), dng_resample_bicubic::Get());
        benchmark::ClobberMemory();
    }
    state.counters["MP/s"] = benchmark::Counter(
        double(kWidth) * kHeight * 1e-6 * double(state.iterations()), benchmark::Counter::kIsRate);
}

void BM_BilinearDemosaic(benchmark::State& state) {
    dng_host host;
    host.SetAreaTaskThreadCount(uint32_t(state.range(0)));
    static const std::unique_ptr<dng_simple_image> mosaic = [] {
        auto image = std::make_unique<dng_simple_image>(dng_rect(0, 0, kHeight, kWidth), 1, 3,
                                                        gDefaultDNGMemoryAllocator);
        Fill(*image);
        return image;
    }();
    dng_mosaic_info info;
    info.fCFAPatternSize = dng_point(2, 2);
    info.fCFAPattern[0][1] = info.fCFAPattern[1][0] = 1;
    info.fCFAPattern[1][1] = 2;
    info.fColorPlanes = 3;
    info.fCFAPlaneColor[1] = 1;
    info.fCFAPlaneColor[2] = 2;
    dng_simple_image dst(mosaic->Bounds(), 3, 3, host.Allocator());
    for (auto _ : state) {
        info.Interpolate(host, nullptr, *mosaic, dst, dng_point(1, 1));
        benchmark::ClobberMemory();
    }
    state.counters["MP/s"] = benchmark::Counter(
        double(kWidth) * kHeight * 1e-6 * double(state.iterations()), benchmark::Counter::kIsRate);
}

}  // namespace

BENCHMARK(BM_ResampleToPreview)
    ->Arg(1)
    ->Arg(AllThreads())
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_BilinearDemosaic)
    ->Arg(1)
    ->Arg(AllThreads())
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
