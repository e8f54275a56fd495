// Colour conversion throughput: a 24-megapixel float RGBA image from linear ProPhoto (D65) to
// linear Rec. 709, the export path of an OpenEXR file, on one thread and on all processors.
#include <benchmark/benchmark.h>

#include <thread>
#include <vector>

#include "platform/IccBuiltins.h"
#include "platform/IccTransform.h"

namespace {

constexpr std::size_t kWidth = 6000;
constexpr std::size_t kHeight = 4000;

std::vector<float>& image() {
    static std::vector<float> pixels = [] {
        std::vector<float> p(kWidth * kHeight * 4);
        for (std::size_t i = 0; i < p.size(); ++i)
            p[i] = static_cast<float>((i * 2654435761u) % 4096) / 4096.0f;
        return p;
    }();
    return pixels;
}

std::shared_ptr<const platform::IccTransform> transform() {
    return platform::IccTransform::create(
        platform::iccBuiltinProfile(platform::IccBuiltin::proPhotoGamma1D65),
        platform::iccBuiltinProfile(platform::IccBuiltin::rec709Gamma1));
}

void setCounters(benchmark::State& state) {
    state.counters["Mpixel/s"] = benchmark::Counter(
        static_cast<double>(kWidth * kHeight) / 1e6 * static_cast<double>(state.iterations()),
        benchmark::Counter::kIsRate);
}

void BM_FloatRGBA24MP_OneThread(benchmark::State& state) {
    const auto t = transform();
    auto& pixels = image();
    for (auto _ : state) {
        t->convertRGBAFloat(pixels.data(), kWidth, kHeight, kWidth * 16);
        benchmark::ClobberMemory();
    }
    setCounters(state);
}

void BM_FloatRGBA24MP_AllThreads(benchmark::State& state) {
    const auto t = transform();
    auto& pixels = image();
    for (auto _ : state) {
        t->convertConcurrently(pixels.data(), kWidth, kHeight, kWidth * 16,
                               platform::IccPixelLayout::rgbaFloat);
        benchmark::ClobberMemory();
    }
    state.counters["threads"] = std::thread::hardware_concurrency();
    setCounters(state);
}

std::vector<std::uint16_t>& image16() {
    static std::vector<std::uint16_t> pixels = [] {
        std::vector<std::uint16_t> p(kWidth * kHeight * 4);
        for (std::size_t i = 0; i < p.size(); ++i)
            p[i] = static_cast<std::uint16_t>((i * 2654435761u) % 65536);
        return p;
    }();
    return pixels;
}

void BM_RGBA16_24MP_OneThread(benchmark::State& state) {
    const auto t = transform();
    auto& pixels = image16();
    for (auto _ : state) {
        t->convertRGBA16(pixels.data(), kWidth, kHeight, kWidth * 8);
        benchmark::ClobberMemory();
    }
    setCounters(state);
}

void BM_RGBA16_24MP_AllThreads(benchmark::State& state) {
    const auto t = transform();
    auto& pixels = image16();
    for (auto _ : state) {
        t->convertConcurrently(pixels.data(), kWidth, kHeight, kWidth * 8,
                               platform::IccPixelLayout::rgba16);
        benchmark::ClobberMemory();
    }
    setCounters(state);
}

}  // namespace

// The display path: linear ProPhoto (D65) to a curved output space, 16-bit.
void BM_RGBA16_LinearToSRGB_24MP_OneThread(benchmark::State& state) {
    const auto t = platform::IccTransform::create(
        platform::iccBuiltinProfile(platform::IccBuiltin::proPhotoGamma1D65),
        platform::iccBuiltinProfile(platform::IccBuiltin::sRGB));
    auto& pixels = image16();
    for (auto _ : state) {
        t->convertRGBA16(pixels.data(), kWidth, kHeight, kWidth * 8);
        benchmark::ClobberMemory();
    }
    setCounters(state);
}

void BM_RGBA16_LinearToSRGB_24MP_AllThreads(benchmark::State& state) {
    const auto t = platform::IccTransform::create(
        platform::iccBuiltinProfile(platform::IccBuiltin::proPhotoGamma1D65),
        platform::iccBuiltinProfile(platform::IccBuiltin::sRGB));
    auto& pixels = image16();
    for (auto _ : state) {
        t->convertConcurrently(pixels.data(), kWidth, kHeight, kWidth * 8,
                               platform::IccPixelLayout::rgba16);
        benchmark::ClobberMemory();
    }
    setCounters(state);
}

BENCHMARK(BM_RGBA16_LinearToSRGB_24MP_OneThread)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_RGBA16_LinearToSRGB_24MP_AllThreads)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_FloatRGBA24MP_OneThread)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_FloatRGBA24MP_AllThreads)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_RGBA16_24MP_OneThread)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_RGBA16_24MP_AllThreads)->Unit(benchmark::kMillisecond)->UseRealTime();
