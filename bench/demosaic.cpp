// AHD and LMMSE demosaicing of a 24-megapixel Bayer mosaic, on one row band
// and on the default sixteen (both together also on detail in red and blue
// alone); each also with the colour step done as its tiles are stored (the
// decoder's path for an uncropped, upright image), and the separate in-place
// colour pass used otherwise. Megapixels per second.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "raw/CFAPattern.h"
#include "raw/DemosaicAHD.h"
#include "raw/DemosaicLMMSE.h"
#include "raw/DemosaicTiles.h"
#include "raw/RawColor.h"

namespace {

constexpr uint32_t kWidth = 6000;
constexpr uint32_t kHeight = 4000;

// Texture with edges in every direction plus sensor-like noise, so that the
// direction choices are not all alike.
const std::vector<uint16_t>& Mosaic() {
    static const std::vector<uint16_t> mosaic = [] {
        std::vector<uint16_t> m(size_t(kWidth) * kHeight);
        std::mt19937 rng(1);
        std::normal_distribution<float> noise(0.0f, 300.0f);
        const double k = M_PI / (2.0 * std::hypot(kWidth / 2.0, kHeight / 2.0)) * 40.0;
        for (uint32_t y = 0; y < kHeight; ++y)
            for (uint32_t x = 0; x < kWidth; ++x) {
                const double dx = (x % 1500) - 750.0, dy = (y % 1000) - 500.0;
                const int colour = int((y & 1) + (x & 1));  // 0 red, 1 green, 2 blue
                const double v =
                    30000 + 20000 * std::cos(k * (dx * dx + dy * dy) / 16.0) * (0.6 + 0.2 * colour);
                m[size_t(y) * kWidth + x] =
                    static_cast<uint16_t>(std::clamp(v + noise(rng), 0.0, 65535.0));
            }
        return m;
    }();
    return mosaic;
}

// Red and blue rings on a green that does not change, as where a saturated
// colour meets a grey of the same green: the interpolators' costlier path
// runs on nearly every row.
const std::vector<uint16_t>& ColourOnlyMosaic() {
    static const std::vector<uint16_t> mosaic = [] {
        std::vector<uint16_t> m(size_t(kWidth) * kHeight);
        for (uint32_t y = 0; y < kHeight; ++y)
            for (uint32_t x = 0; x < kWidth; ++x) {
                const double dx = (x % 600) - 300.0, dy = (y % 400) - 200.0;
                const double t = 0.5 + 0.5 * std::cos((dx * dx + dy * dy) / 900.0);
                const int colour = int((y & 1) + (x & 1));  // 0 red, 1 green, 2 blue
                const double v = colour == 1   ? 12000
                                 : colour == 0 ? 12000 + 30000 * t
                                               : 12000 - 9000 * t;
                m[size_t(y) * kWidth + x] = static_cast<uint16_t>(v);
            }
        return m;
    }();
    return mosaic;
}

const RawMatrix3 kCamera{
    {{1.71f, -0.52f, -0.19f}, {-0.23f, 1.38f, -0.15f}, {0.02f, -0.47f, 1.45f}}};

// The forms the decoder uses: the colour step done as tiles are stored.
void AHDConverted(const CFAPlane& cfa, uint16_t* rgb, unsigned bands) {
    DemosaicAHD(cfa, rgb, bands, kCamera);
}
void LMMSEConverted(const CFAPlane& cfa, uint16_t* rgb, unsigned bands) {
    DemosaicLMMSE(cfa, rgb, bands, kCamera);
}

template <void (*Interpolate)(const CFAPlane&, uint16_t*, unsigned)>
void RunDemosaic(benchmark::State& state) {
    const std::vector<uint16_t>& mosaic = Mosaic();
    const CFAPlane plane{mosaic.data(), kWidth, kHeight, kWidth, *CFAPattern::fromName("RGGB")};
    std::vector<uint16_t> rgb(size_t(kWidth) * kHeight * 3);
    const auto bands = static_cast<unsigned>(state.range(0));
    for (auto _ : state) {
        Interpolate(plane, rgb.data(), bands);
        benchmark::DoNotOptimize(rgb.data());
    }
    state.counters["MP/s"] =
        benchmark::Counter(kWidth * kHeight / 1e6, benchmark::Counter::kIsIterationInvariantRate);
}

template <const std::vector<uint16_t>& (*Source)()>
void BothRenderings(benchmark::State& state) {
    const std::vector<uint16_t>& mosaic = Source();
    const CFAPlane plane{mosaic.data(), kWidth, kHeight, kWidth, *CFAPattern::fromName("RGGB")};
    std::vector<uint16_t> master(size_t(kWidth) * kHeight * 3), alternate(master.size());
    const auto bands = static_cast<unsigned>(state.range(0));
    for (auto _ : state) {
        // As the decoder makes them: the master takes what the alternate found.
        platform::ColourOnlyCells colourOnly;
        DemosaicLMMSE(plane, alternate.data(), bands, nullptr, &colourOnly);
        DemosaicAHD(plane, master.data(), bands, nullptr, &colourOnly);
        benchmark::DoNotOptimize(master.data());
        benchmark::DoNotOptimize(alternate.data());
    }
    state.counters["MP/s"] =
        benchmark::Counter(kWidth * kHeight / 1e6, benchmark::Counter::kIsIterationInvariantRate);
}

void ColourInPlace(benchmark::State& state) {
    // Neighbouring mosaic samples as a pixel's three channels: noisy and
    // partly out of range after the matrix, as camera data is.
    const std::vector<uint16_t>& mosaic = Mosaic();
    const std::vector<uint16_t> source(mosaic.begin(), mosaic.begin() + mosaic.size() / 3 * 3);
    std::vector<uint16_t> rgb(source.size());
    const auto bands = static_cast<unsigned>(state.range(0));
    for (auto _ : state) {
        state.PauseTiming();
        std::copy(source.begin(), source.end(), rgb.begin());
        state.ResumeTiming();
        RawConvertInPlace(rgb.data(), rgb.size() / 3, kCamera, bands);
        benchmark::DoNotOptimize(rgb.data());
    }
    state.counters["MP/s"] = benchmark::Counter(double(rgb.size() / 3) / 1e6,
                                                benchmark::Counter::kIsIterationInvariantRate);
}

}  // namespace

BENCHMARK(ColourInPlace)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(RunDemosaic<AHDConverted>)
    ->Name("AHDConverted")
    ->Arg(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(RunDemosaic<LMMSEConverted>)
    ->Name("LMMSEConverted")
    ->Arg(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(RunDemosaic<DemosaicAHD>)
    ->Name("AHD")
    ->Arg(1)
    ->Arg(16)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(RunDemosaic<DemosaicLMMSE>)
    ->Name("LMMSE")
    ->Arg(1)
    ->Arg(16)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BothRenderings<Mosaic>)
    ->Name("AHD+LMMSE")
    ->Arg(16)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BothRenderings<ColourOnlyMosaic>)
    ->Name("AHD+LMMSE/colour-only")
    ->Arg(16)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
