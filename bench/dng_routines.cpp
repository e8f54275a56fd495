// Throughput of the hot DNG pixel routines on a 24-megapixel (6000 × 4000)
// plane: type conversion, the 3 × 3 colour matrix, the hue/saturation map and
// the 1-D table lookup. Reported as megapixels per second.
#include <benchmark/benchmark.h>

#include <cmath>
#include <memory>
#include <vector>

#include "dng/color/dng_1d_function.h"
#include "dng/color/dng_1d_table.h"
#include "dng/color/dng_bottleneck.h"
#include "dng/color/dng_color_space.h"
#include "dng/color/dng_hue_sat_map.h"
#include "dng/core/dng_matrix.h"
#include "dng/core/dng_memory_allocator.h"

namespace {

constexpr uint32 kCols = 6000;
constexpr uint32 kRows = 4000;
constexpr size_t kPixels = (size_t)kCols * kRows;
constexpr uint32 kBandRows = 64;

void SetRate(benchmark::State& state) {
    state.counters["MP/s"] =
        benchmark::Counter((double)kPixels / 1.0e6, benchmark::Counter::kIsIterationInvariantRate);
}

// Smooth, photo-like test data: neighbouring pixels have similar colours, so
// branch behaviour resembles a real image rather than noise.
const std::vector<real32>& Plane(int channel) {
    static std::vector<real32> planes[3];
    std::vector<real32>& p = planes[channel];
    if (p.empty()) {
        p.resize(kPixels);
        const real32 phase = 2.1f * (real32)channel;
        for (uint32 row = 0; row < kRows; ++row)
            for (uint32 col = 0; col < kCols; ++col)
                p[(size_t)row * kCols + col] =
                    0.5f + 0.45f * std::sin(0.0021f * (real32)col + 0.0013f * (real32)row + phase);
    }
    return p;
}

void BM_CopyArea16ToReal32(benchmark::State& state) {
    std::vector<uint16> src(kPixels);
    for (size_t i = 0; i < kPixels; ++i) src[i] = (uint16)(i * 2654435761u >> 16);
    std::vector<real32> dst(kPixels);
    for (auto _ : state) {
        gDNGBottleneck.CopyArea16ToReal32(src.data(), dst.data(), kRows, kCols, 1, kCols, 1, 0,
                                          kCols, 1, 0, 65535);
        benchmark::DoNotOptimize(dst.data());
    }
    SetRate(state);
}
BENCHMARK(BM_CopyArea16ToReal32)->Unit(benchmark::kMillisecond);

void BM_CopyAreaReal32To16(benchmark::State& state) {
    const std::vector<real32>& src = Plane(0);
    std::vector<uint16> dst(kPixels);
    for (auto _ : state) {
        gDNGBottleneck.CopyAreaReal32To16(src.data(), dst.data(), kRows, kCols, 1, kCols, 1, 0,
                                          kCols, 1, 0, 65535);
        benchmark::DoNotOptimize(dst.data());
    }
    SetRate(state);
}
BENCHMARK(BM_CopyAreaReal32To16)->Unit(benchmark::kMillisecond);

// Three-plane routines write a band at a time so that the output stays small.
template <class Run>
void ForBands(Run run) {
    for (uint32 row = 0; row < kRows; row += kBandRows) {
        const size_t offset = (size_t)row * kCols;
        run(offset, kBandRows * kCols);
    }
}

void BM_RGBToRGB(benchmark::State& state) {
    const real32* r = Plane(0).data();
    const real32* g = Plane(1).data();
    const real32* b = Plane(2).data();
    std::vector<real32> dr(kBandRows * kCols), dg(dr.size()), db(dr.size());
    const dng_matrix_3by3 m(0.8, 0.15, 0.05, 0.1, 0.85, 0.05, 0.02, 0.08, 0.9);
    for (auto _ : state) {
        ForBands([&](size_t offset, uint32 count) {
            gDNGBottleneck.RGBToRGB(r + offset, g + offset, b + offset, dr.data(), dg.data(),
                                    db.data(), count, m);
        });
        benchmark::DoNotOptimize(dr.data());
    }
    SetRate(state);
}
BENCHMARK(BM_RGBToRGB)->Unit(benchmark::kMillisecond);

void BM_ApplyHueSatMap(benchmark::State& state) {
    const bool threeD = state.range(0) != 0;
    dng_hue_sat_map map;
    map.SetDivisions(90, 30, threeD ? 8 : 1);
    uint32 h, s, v;
    map.GetDivisions(h, s, v);
    for (uint32 vi = 0; vi < v; ++vi)
        for (uint32 hi = 0; hi < h; ++hi)
            for (uint32 si = 0; si < s; ++si)
                map.SetDelta(hi, si, vi,
                             {std::sin(hi * 0.1f) * 5.0f, 1.0f + si * 0.01f, 1.0f - vi * 0.01f});
    dng_1d_table encode, decode;
    encode.Initialize(gDefaultDNGMemoryAllocator, dng_function_GammaEncode_sRGB::Get());
    dng_1d_inverse inverse(dng_function_GammaEncode_sRGB::Get());
    decode.Initialize(gDefaultDNGMemoryAllocator, inverse);

    const real32* r = Plane(0).data();
    const real32* g = Plane(1).data();
    const real32* b = Plane(2).data();
    std::vector<real32> dr(kBandRows * kCols), dg(dr.size()), db(dr.size());
    for (auto _ : state) {
        ForBands([&](size_t offset, uint32 count) {
            gDNGBottleneck.ApplyHueSatMap(r + offset, g + offset, b + offset, dr.data(), dg.data(),
                                          db.data(), count, map, threeD ? &encode : nullptr,
                                          threeD ? &decode : nullptr);
        });
        benchmark::DoNotOptimize(dr.data());
    }
    SetRate(state);
}
BENCHMARK(BM_ApplyHueSatMap)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

void BM_ApplyTable1D(benchmark::State& state) {
    dng_1d_table table(4096);
    table.Initialize(gDefaultDNGMemoryAllocator, dng_function_GammaEncode_sRGB::Get());
    const std::vector<real32>& src = Plane(0);
    std::vector<real32> dst(kPixels);
    for (auto _ : state) {
        gDNGBottleneck.ApplyTable1D(src.data(), dst.data(), (uint32)kPixels, table);
        benchmark::DoNotOptimize(dst.data());
    }
    SetRate(state);
}
BENCHMARK(BM_ApplyTable1D)->Unit(benchmark::kMillisecond);

}  // namespace
