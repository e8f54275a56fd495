// The processing engine on a 24-megapixel source (the test chart's scene as
// the decoded master, a slightly different alternate): a cold develop of
// stages 1 to 3 and the full-size render of stage 4, a stage-4-only change
// refreshing a 2560 x 1440 visible area tile by tile, and how the stage runs
// scale from one worker to all of them.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <vector>

#include "color/ProfileManager.h"
#include "color/SettingsKeys.h"
#include "engine/CoreRowRender.h"
#include "engine/MeanTiledEngine.h"
#include "engine/MedianTiledEngine.h"
#include "engine/RawCombineTiledEngine.h"
#include "engine/SharpeningTiledEngine.h"
#include "engine/ThreadedImageEngine.h"
#include "platform/Dispatch.h"
#include "raw/TestChart.h"

namespace {

using platform::Rect;
constexpr int kW = 6000, kH = 4000;

// The chart's scene, decoded once and shared by every engine.
class ChartSource : public ImageWrapper {
public:
    static std::shared_ptr<ChartSource> shared() {
        static std::shared_ptr<ChartSource> source = [] {
            auto s = std::shared_ptr<ChartSource>(new ChartSource("/chart.dng", "chart", false));
            s->render();
            return s;
        }();
        return source;
    }
    const uint16_t* masterImageBytes() override { return master_.data(); }
    const uint16_t* alternateImageBytes() override { return alternate_.data(); }
    void setCameraProfile(std::shared_ptr<const DNGCameraProfileAbstract>) override {}
    void setProcessAsMonochromeSensor(bool) override {}
    platform::Dictionary getParameters() override {
        platform::Dictionary p = ImageWrapper::getParameters();
        p.set("asShotWhitex", 0.3127);
        p.set("asShotWhitey", 0.3290);
        const auto& m = TestChart::colorMatrix();
        for (int r = 0; r < 3; ++r)
            for (int c = 0; c < 3; ++c)
                p.set("cameraFromXYZ" + std::to_string(r) + std::to_string(c), m[r * 3 + c]);
        return p;
    }
    ColorSyncProfileWrap::Ptr bufferProfile() override {
        return ProfileManager::sharedManager().getProPhotoGamma1_D65Profile(false);
    }

private:
    using ImageWrapper::ImageWrapper;
    void render() {
        TestChart chart(kW, kH);
        master_.resize(size_t(kW) * kH * 3);
        alternate_.resize(master_.size());
        platform::apply(kH, platform::DispatchQueue::global(), [&](size_t y) {
            for (int x = 0; x < kW; ++x) {
                const auto v = chart.sceneAt(uint32_t(x), uint32_t(y));
                const size_t i = (y * kW + size_t(x)) * 3;
                for (int c = 0; c < 3; ++c) {
                    const double s = std::clamp(v[c], 0.0, 1.0) * 65535.0;
                    master_[i + c] = uint16_t(s + 0.5);
                    alternate_[i + c] = uint16_t(std::min(65535.0, s * 0.98 + 200.0));
                }
            }
        });
        setImageSize(kW, kH);
    }
    std::vector<uint16_t> master_, alternate_;
};

platform::Dictionary settings() {
    return platform::Dictionary{{SettingsKeys::kInputEV, 0.0},
                                {SettingsKeys::kInputTemperature, 6500.0},
                                {SettingsKeys::kInputTint, 0.0},
                                {SettingsKeys::kInputRadius, 1.0},
                                {SettingsKeys::kInputIntensity, 0.5},
                                {SettingsKeys::kArtifactSuppression, 0.5},
                                {SettingsKeys::kChromaArtifactSuppression, 0.5},
                                {SettingsKeys::kSceneReferred, true}};
}

// An engine with its chain built and nothing processed yet.
ThreadedImageEngine::Ptr builtEngine(int workers) {
    auto engine = ThreadedImageEngine::initWithRawImage(ChartSource::shared(), false);
    engine->configureRenderingSpaceForType(std::nullopt, false);
    engine->invalidateImageStage(std::nullopt, settings(), Rect{0, 0, 0, 0});
    for (TiledEngine::Ptr stage : std::vector<TiledEngine::Ptr>{
             engine->demosaicedImage(), engine->medianEngine0(), engine->medianEngine2(),
             engine->meanEngine(), engine->sharpEngine()})
        stage->setWorkerCount(workers);
    return engine;
}

void runWhole(ThreadedImageEngine& engine) {
    engine.invalidateImageStage(std::vector<std::string>{ThreadedImageEngine::kActiveRectDirtyKey},
                                std::nullopt, Rect::null());
}

void BM_ColdDevelopStages1to3(benchmark::State& state) {
    const int workers = int(state.range(0));
    for (auto _ : state) {
        state.PauseTiming();
        auto engine = builtEngine(workers);
        state.ResumeTiming();
        runWhole(*engine);
        state.PauseTiming();
        engine.reset();
        state.ResumeTiming();
    }
    state.counters["MP/s"] = benchmark::Counter(double(kW) * kH / 1e6 * double(state.iterations()),
                                                benchmark::Counter::kIsRate);
}
BENCHMARK(BM_ColdDevelopStages1to3)
    ->Arg(1)
    ->Arg(2)
    ->Arg(4)
    ->Arg(0)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(3);

// Stages 1 to 3 and the full-size stage-4 render, as an export asks for it.
void BM_ColdDevelopFull(benchmark::State& state) {
    for (auto _ : state) {
        state.PauseTiming();
        auto engine = builtEngine(0);
        state.ResumeTiming();
        platform::Error error;
        auto image = engine->renderExportImage(Rect::null(), false, 1, &error);
        if (!image) state.SkipWithError(error.failureReason.c_str());
        state.PauseTiming();
        image.reset();
        engine.reset();
        state.ResumeTiming();
    }
    state.counters["MP/s"] = benchmark::Counter(double(kW) * kH / 1e6 * double(state.iterations()),
                                                benchmark::Counter::kIsRate);
}
BENCHMARK(BM_ColdDevelopFull)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

// A stage-4-only change, then the 2560 x 1440 visible area fetched as display
// tiles of 512, in parallel as the tile layers' queues ask for them.
void BM_Stage4Refresh(benchmark::State& state) {
    auto engine = builtEngine(0);
    runWhole(*engine);
    auto output = engine->outputImage();
    const Rect visible{1000, 1000, 2560, 1440};
    std::vector<Rect> tiles;
    for (double y = visible.y; y < visible.maxY(); y += 512)
        for (double x = visible.x; x < visible.maxX(); x += 512)
            tiles.push_back(Rect{x, y, std::min(512.0, visible.maxX() - x),
                                 std::min(512.0, visible.maxY() - y)});
    auto fetch = [&] {
        platform::apply(tiles.size(), platform::DispatchQueue::global(), [&](size_t i) {
            bool thumb = false;
            auto t = output->imageTile(0, 1.0, tiles[i], nullptr, &thumb, false, 1);
            benchmark::DoNotOptimize(t);
        });
    };
    fetch();  // the scaled copy exists before the change, as on screen
    auto s = settings();
    double ev = 0;
    for (auto _ : state) {
        ev = ev == 0 ? 0.5 : 0;
        s.set(SettingsKeys::kInputEV, ev);
        engine->invalidateImageStage(std::vector<std::string>{SettingsKeys::kInputEV}, s, visible);
        fetch();
    }
    state.counters["MP/s"] = benchmark::Counter(2560.0 * 1440 / 1e6 * double(state.iterations()),
                                                benchmark::Counter::kIsRate);
}
BENCHMARK(BM_Stage4Refresh)->Unit(benchmark::kMillisecond)->UseRealTime();

// One display tile of stage 4 on one core: the per-pixel cost of the
// rendering path.
void BM_CoreTileOneCore(benchmark::State& state) {
    auto core = CoreTiledEngine::initWithSize(platform::Size{512, 512}, std::nullopt, false);
    core->setCameraParameters(ChartSource::shared()->getParameters());
    core->setParameters(std::nullopt, settings());
    auto src = ImageBufferU16::initWithSize(512, 512, nullptr, nullptr);
    auto dst = ImageBufferU16::initWithSize(512, 512, nullptr, nullptr);
    for (int y = 0; y < 512; ++y)
        for (int x = 0; x < 512 * 4; ++x)
            src->bufferU16ForRow(y)[x] = uint16_t((x * 31 + y * 17) % 65536);
    for (auto _ : state) {
        core->processTile(0, 512, 0, 512, src.get(), dst.get(), 0);
        benchmark::DoNotOptimize(dst->bufferU16ForRow(0));
    }
    state.counters["MP/s"] = benchmark::Counter(512.0 * 512 / 1e6 * double(state.iterations()),
                                                benchmark::Counter::kIsRate);
}
BENCHMARK(BM_CoreTileOneCore)->Unit(benchmark::kMillisecond);

// The core stage's pixel rule alone as an export runs it: camera-profile
// gain, matrix, table, and the whole-pixel range rule through a destination
// matrix, over 512 x 512 pixels on one core.
void BM_CoreRowsProfileAndRange(benchmark::State& state) {
    std::vector<float> table(size_t(CoreTiledEngine::kLUTSize) * 4), profile(65536);
    for (size_t i = 0; i < table.size(); ++i) table[i] = 0.6f + float(i % 97) / 200.0f;
    for (size_t i = 0; i < profile.size(); ++i) profile[i] = 0.8f + float(i % 89) / 300.0f;
    platform::CoreRowRule rule;
    rule.inputScale = CoreTiledEngine::kInputScale;
    rule.profileGain = profile.data();
    const float m[4][4] = {
        {0.9f, 0.05f, 0.05f, 1228.8f}, {0.1f, 0.8f, 0.1f, 2457.6f}, {0, 0.1f, 0.9f, 409.6f}, {}};
    std::memcpy(rule.matrix, m, sizeof m);
    rule.tone.table = table.data();
    rule.tone.tableSize = CoreTiledEngine::kLUTSize;
    rule.scaleWhole = rule.rangeMatrix = true;
    const float r[3][3] = {{0.8f, 0.15f, 0.05f}, {0.05f, 0.9f, 0.05f}, {0.02f, 0.08f, 0.9f}};
    std::memcpy(rule.range, r, sizeof r);
    std::vector<uint16_t> src(512 * 512 * 4), dst(src.size());
    for (size_t i = 0; i < src.size(); ++i)
        src[i] = uint16_t((i / 4 % 512 * 31 + i / 2048 * 17 + i % 4 * 4001) % 65536);
    for (auto _ : state) {
        for (int y = 0; y < 512; ++y)
            platform::coreRenderRowU16(src.data() + size_t(y) * 2048, 512, rule,
                                       dst.data() + size_t(y) * 2048);
        benchmark::DoNotOptimize(dst.data());
    }
    state.counters["MP/s"] = benchmark::Counter(512.0 * 512 / 1e6 * double(state.iterations()),
                                                benchmark::Counter::kIsRate);
}
BENCHMARK(BM_CoreRowsProfileAndRange)->Unit(benchmark::kMillisecond);

// The matrix and tables of a stage-4 change alone.
void BM_Stage4Recompute(benchmark::State& state) {
    auto core = CoreTiledEngine::initWithSize(platform::Size{512, 512}, std::nullopt, false);
    core->setCameraParameters(ChartSource::shared()->getParameters());
    auto s = settings();
    core->setParameters(std::nullopt, s);
    double ev = 0;
    for (auto _ : state) {
        ev = ev == 0 ? 0.5 : 0;
        s.set(SettingsKeys::kInputEV, ev);
        core->setParameters(std::string(SettingsKeys::kInputEV), s);
        core->waitForRecomputation();
    }
}
BENCHMARK(BM_Stage4Recompute)->Unit(benchmark::kMillisecond);

}  // namespace
