// Throughput of the CoreEngine filter (the core stage's matrix, interpolated
// gain table and offset over a float RGBA image) on 24 megapixels, on one
// thread and on one per processor. Each iteration changes the exposure, so
// the table is recomputed and every pixel rendered again.
#include <benchmark/benchmark.h>

#include <cmath>
#include <vector>

#include "color/SettingsKeys.h"
#include "engine/CoreEngineFilter.h"
#include "platform/Dispatch.h"

namespace {

constexpr size_t kW = 6000, kH = 4000;  // 24 megapixels

platform::CIImage::Ptr input() {
    static const platform::CIImage::Ptr image = [] {
        std::vector<float> px(kW * kH * 4);
        for (size_t y = 0; y < kH; ++y)
            for (size_t x = 0; x < kW; ++x) {
                float* p = &px[(y * kW + x) * 4];
                p[0] = float(x) / kW;
                p[1] = float(y) / kH;
                p[2] = 0.5f + 0.4f * std::sin(float(x + y) * 0.01f);
                p[3] = 1.0f;
            }
        return platform::CIImage::imageWithPixels(kW, kH, {}, std::move(px), nullptr);
    }();
    return image;
}

platform::Dictionary camera() {
    const float m[3][3] = {
        {0.6142f, -0.169f, -0.0226f}, {-0.0721f, 0.8248f, 0.2238f}, {0.0526f, 0.064f, 0.3363f}};
    platform::Dictionary d{{"asShotWhitex", 0.3312}, {"asShotWhitey", 0.3457}};
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c)
            d.set("cameraFromXYZ" + std::to_string(r) + std::to_string(c), m[r][c]);
    return d;
}

void BM_CoreEngineFilter24MP(benchmark::State& state) {
    CoreEngineFilter filter;
    const int workers =
        state.range(0) ? int(state.range(0)) : int(std::max(1u, platform::processorCount()));
    filter.setWorkerCount(workers);
    filter.setCameraParameters(std::make_shared<const platform::Dictionary>(camera()));
    filter.setImage("inputImage", input());
    double ev = 0;
    for (auto _ : state) {
        ev = ev > 1 ? -1 : ev + 0.1;
        filter.setImageParameters(std::make_shared<const platform::Dictionary>(
            platform::Dictionary{{SettingsKeys::kInputEV, ev},
                                 {SettingsKeys::kInputContrast, 0.3},
                                 {SettingsKeys::kInputTemperature, 5200.0}}));
        auto out = filter.outputImage();
        benchmark::DoNotOptimize(out.get());
    }
    state.counters["workers"] = workers;
    state.counters["MP/s"] = benchmark::Counter(double(kW * kH) / 1e6 * double(state.iterations()),
                                                benchmark::Counter::kIsRate);
}
BENCHMARK(BM_CoreEngineFilter24MP)->Arg(1)->Arg(0)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace
