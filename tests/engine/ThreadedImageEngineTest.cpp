#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include "color/ProfileManager.h"
#include "engine/IntermediateProductCache.h"
#include "engine/MeanTiledEngine.h"
#include "engine/MedianTiledEngine.h"
#include "engine/RawCombineTiledEngine.h"
#include "engine/SharpeningTiledEngine.h"
#include "engine/ThreadedImageEngine.h"
#include "platform/NotificationCenter.h"
#include "raw/rawWrapper.h"
#include "support/TestSupport.h"

#if defined(__SANITIZE_ADDRESS__)
// Let an allocation the address-space limit refuses fail instead of aborting.
extern "C" const char* __asan_default_options() { return "allocator_may_return_null=1"; }
#endif

namespace {

using platform::Rect;
using Keys = std::vector<std::string>;

// A decoded source with known images and camera parameters, or a failure.
class SyntheticSource : public ImageWrapper {
public:
    enum class Mode { Good, Error, NoImage };

    static std::shared_ptr<SyntheticSource> make(int w, int h, Mode mode = Mode::Good) {
        auto s =
            std::shared_ptr<SyntheticSource>(new SyntheticSource("/synthetic.dng", "u", false));
        s->width = w;
        s->height = h;
        s->mode = mode;
        return s;
    }
    const uint16_t* masterImageBytes() override {
        if (++calls == throwAtCall) throw std::runtime_error("tile refused");
        std::lock_guard lock(imagesLock);
        if (mode == Mode::Error) {
            setError(platform::Error{platform::RawOpenErrorDomain, -3, "corrupt"});
            return nullptr;
        }
        if (mode == Mode::NoImage) return nullptr;
        if (master.empty()) decode();
        return master.data();
    }
    const uint16_t* alternateImageBytes() override {
        std::lock_guard lock(imagesLock);
        return alternate.empty() ? nullptr : alternate.data();
    }
    void setCameraProfile(std::shared_ptr<const DNGCameraProfileAbstract> profile) override {
        if (profile != cameraProfile()) {
            std::lock_guard lock(imagesLock);
            master.clear();
            alternate.clear();
        }
        ImageWrapper::setCameraProfile(std::move(profile));
    }
    void setProcessAsMonochromeSensor(bool monochrome) override {
        if (monochrome != processAsMonochromeSensor()) {
            std::lock_guard lock(imagesLock);
            master.clear();
            alternate.clear();
        }
        ImageWrapper::setProcessAsMonochromeSensor(monochrome);
    }
    platform::Dictionary getParameters() override {
        platform::Dictionary p = ImageWrapper::getParameters();
        p.set("asShotWhitex", 0.3127);
        p.set("asShotWhitey", 0.3290);
        const double m[3][3] = {{1.1, -0.1, 0.0}, {-0.2, 1.2, 0.0}, {0.0, -0.1, 1.1}};
        for (int r = 0; r < 3; ++r)
            for (int c = 0; c < 3; ++c)
                p.set("cameraFromXYZ" + std::to_string(r) + std::to_string(c), m[r][c]);
        return p;
    }
    ColorSyncProfileWrap::Ptr bufferProfile() override {
        return ProfileManager::sharedManager().getProPhotoGamma1_D65Profile(false);
    }

    std::atomic<int> decodes{0};
    // The stage-1 tile that makes call number throwAtCall fails.
    std::atomic<int> calls{0}, throwAtCall{0};
    int width = 0, height = 0;
    Mode mode = Mode::Good;

private:
    using ImageWrapper::ImageWrapper;
    void decode() {
        ++decodes;
        const int bright = processAsMonochromeSensor() ? 0 : 1;
        master.resize(size_t(width) * height * 3);
        alternate.resize(master.size());
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x) {
                uint16_t* p = &master[(size_t(y) * width + x) * 3];
                const bool edge = (x / 37 + y / 23) % 2 == 0;
                p[0] = uint16_t(4000 + (x * 13) % 30000 + bright * 500);
                p[1] = uint16_t(6000 + (y * 17) % 30000);
                p[2] = uint16_t(edge ? 20000 : 9000);
                uint16_t* a = &alternate[(size_t(y) * width + x) * 3];
                a[0] = uint16_t(p[0] + 300);
                a[1] = p[1];
                a[2] = uint16_t(p[2] / 2 + 3000);
            }
        setImageSize(uint16_t(width), uint16_t(height));
        setCameraBaselineExposure(0.25f);
        setMetaData(std::make_shared<platform::Dictionary>(
            platform::Dictionary{{"PixelWidth", width}, {"PixelHeight", height}}));
    }
    std::mutex imagesLock;
    std::vector<uint16_t> master, alternate;
};

platform::Dictionary settings() {
    return platform::Dictionary{{"Quorvex_Filter_inputEV", 0.0},
                                {"Quorvex_Filter_inputTemperature", 6500.0},
                                {"Quorvex_Filter_inputTint", 0.0},
                                {"Quorvex_Filter_inputRadius", 1.0},
                                {"Quorvex_Filter_inputIntensity", 0.5},
                                {"Quorvex_ArtifactSuppression", 0.5},
                                {"Quorvex_ChromaArtifactSuppression", 0.5},
                                {"Quorvex_ArtifactFilter", 0.0},
                                {"Quorvex_SceneReferred", true}};
}

class RecordingDelegate : public ThreadedImageEngineDelegate {
public:
    void CIImageEngineDidStart(ThreadedImageEngine& engine) override {
        ++starts;
        if (onStart) {
            auto f = std::move(onStart);
            onStart = nullptr;
            f(engine);
        }
    }
    void CIImageEngineDidFinish(ThreadedImageEngine& engine) override {
        auto core = engine.coreEngine();
        std::lock_guard lock(m);
        recomputationsAtFinish = core ? core->recomputationCount() : 0;
        ++finishes;
        cv.notify_all();
    }
    void CIImageEngineNewMetaData(ThreadedImageEngine&) override { ++metadata; }
    // Waits until `n` finishes were seen and the engine has gone quiet.
    bool waitFinishes(int n, ThreadedImageEngine& engine) {
        std::unique_lock lock(m);
        bool ok = cv.wait_for(lock, std::chrono::seconds(20), [&] { return finishes >= n; });
        lock.unlock();
        for (int i = 0; i < 2000 && engine.isRunning(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        return ok;
    }
    std::atomic<int> starts{0}, metadata{0};
    int finishes = 0;
    uint64_t recomputationsAtFinish = 0;
    std::function<void(ThreadedImageEngine&)> onStart;
    std::mutex m;
    std::condition_variable cv;
};

struct TileCounts {
    uint64_t s1, m0, m2, mean, sharp;
    static TileCounts of(ThreadedImageEngine& e) {
        return {e.demosaicedImage()->processedTileCount(), e.medianEngine0()->processedTileCount(),
                e.medianEngine2()->processedTileCount(), e.meanEngine()->processedTileCount(),
                e.sharpEngine()->processedTileCount()};
    }
};

std::vector<uint16_t> render(ThreadedImageEngine& engine, const Rect& rect = Rect::null()) {
    platform::Error error;
    auto image = engine.renderExportImage(rect, false, 1, &error);
    EXPECT_TRUE(image) << error.failureReason;
    if (!image) return {};
    std::vector<uint16_t> v(size_t(image->getWidth()) * image->getHeight() * 3);
    EXPECT_TRUE(image->getLinearBuffer(v));
    return v;
}

TEST(ThreadedImageEngine, KeyTable) {
    auto engine = ThreadedImageEngine::init();
    EXPECT_EQ(engine->invalidatedStageForKey(std::nullopt), 0);
    EXPECT_EQ(engine->invalidatedStageForKey(std::string("Quorvex_NoSuchKey")), 0);
    EXPECT_EQ(engine->invalidatedStageForKey(std::string("Quorvex_CameraProfile")), 0);
    EXPECT_EQ(engine->invalidatedStageForKey(std::string("Quorvex_ArtifactSuppression")), 1);
    EXPECT_EQ(engine->invalidatedStageForKey(std::string("Quorvex_ArtifactFilter")), 2);
    EXPECT_EQ(engine->invalidatedStageForKey(std::string("Quorvex_Filter_inputRadius")), 3);
    EXPECT_EQ(engine->invalidatedStageForKey(std::string("Quorvex_Filter_inputTint")), 4);
    EXPECT_EQ(engine->invalidatedStageForKey(std::string("displayName")), -1);

    // A key of no stage neither stores the settings nor sets a flag (and
    // with a delegate starts nothing).
    auto source = SyntheticSource::make(64, 64);
    auto e2 = ThreadedImageEngine::initWithRawImage(source, false);
    auto delegate = std::make_shared<RecordingDelegate>();
    e2->setDelegate(delegate);
    e2->invalidateImageStage(Keys{"displayName"}, settings(), Rect::null());
    EXPECT_TRUE(e2->imageParameters().empty());
    EXPECT_EQ(source->decodes, 0);
    EXPECT_TRUE(e2->stage0IsDirty());
}

TEST(ThreadedImageEngine, EachKeyRerunsOnlyItsStages) {
    auto source = SyntheticSource::make(1100, 700);
    auto engine = ThreadedImageEngine::initWithRawImage(source, false);
    engine->configureRenderingSpaceForType(std::nullopt, false);
    auto s = settings();
    // Without a delegate, decode, build and run happen inside the call.
    engine->invalidateImageStage(std::nullopt, s, Rect::null());
    ASSERT_TRUE(engine->coreEngine());
    EXPECT_EQ(engine->outputImage(), engine->coreEngine());
    EXPECT_EQ(source->decodes, 1);
    EXPECT_EQ(engine->cameraParameters()["asShotWhitex"].realValue(), 0.3127);
    const auto before = render(*engine);
    auto c0 = TileCounts::of(*engine);
    EXPECT_EQ(c0.s1, 6u);
    EXPECT_GE(c0.sharp, 6u);
    const uint64_t recomputations = engine->coreEngine()->recomputationCount();

    // Stage 4 only: no tile work upstream, one recomputation, new pixels.
    s.set("Quorvex_Filter_inputEV", 1.0);
    engine->invalidateImageStage(Keys{"Quorvex_Filter_inputEV"}, s, Rect::null());
    auto c1 = TileCounts::of(*engine);
    EXPECT_EQ(c1.s1, c0.s1);
    EXPECT_EQ(c1.mean, c0.mean);
    EXPECT_EQ(c1.sharp, c0.sharp);
    EXPECT_EQ(engine->coreEngine()->recomputationCount(), recomputations + 1);
    const auto brighter = render(*engine);
    ASSERT_EQ(brighter.size(), before.size());
    EXPECT_GT(brighter[3000], before[3000]);
    c1 = TileCounts::of(*engine);

    // Stage 3: sharpening alone.
    s.set("Quorvex_Filter_inputRadius", 2.0);
    engine->invalidateImageStage(Keys{"Quorvex_Filter_inputRadius"}, s, Rect::null());
    auto c2 = TileCounts::of(*engine);
    EXPECT_EQ(c2.s1, c1.s1);
    EXPECT_EQ(c2.m0, c1.m0);
    EXPECT_EQ(c2.mean, c1.mean);
    // Sharpening visits each tile in several passes: count per tile.
    const uint64_t perTile = (c2.sharp - c1.sharp) / 6;
    EXPECT_GT(perTile, 0u);
    EXPECT_EQ(c2.sharp, c1.sharp + 6 * perTile);

    // Stage 1: stages 1 to 3.
    s.set("Quorvex_ArtifactSuppression", 0.25);
    engine->invalidateImageStage(Keys{"Quorvex_ArtifactSuppression"}, s, Rect::null());
    auto c3 = TileCounts::of(*engine);
    EXPECT_EQ(c3.s1, c2.s1 + 6);
    EXPECT_GT(c3.mean, c2.mean);
    EXPECT_EQ(c3.sharp, c2.sharp + 6 * perTile);
    EXPECT_EQ(source->decodes, 1);

    // Stage 0: a new decode, the same stage objects, everything redone.
    auto stage1 = engine->demosaicedImage();
    s.set("Quorvex_MonochromeSensor", true);
    engine->invalidateImageStage(Keys{"Quorvex_MonochromeSensor"}, s, Rect::null());
    EXPECT_EQ(source->decodes, 2);
    EXPECT_EQ(engine->demosaicedImage(), stage1);
    EXPECT_EQ(TileCounts::of(*engine).s1, c3.s1 + 6);

    // A visible area touches only the tiles that cover it.
    auto c4 = TileCounts::of(*engine);
    s.set("Quorvex_Filter_inputRadius", 1.5);
    engine->invalidateImageStage(Keys{"Quorvex_Filter_inputRadius"}, s, Rect{600, 100, 50, 50});
    EXPECT_EQ(TileCounts::of(*engine).sharp, c4.sharp + perTile);
    EXPECT_FALSE(engine->sharpEngine()->mainMap()->isClean());
}

TEST(ThreadedImageEngine, DecodeFailuresStopEveryRun) {
    for (auto mode : {SyntheticSource::Mode::Error, SyntheticSource::Mode::NoImage}) {
        auto source = SyntheticSource::make(300, 200, mode);
        auto engine = ThreadedImageEngine::initWithRawImage(source, false);
        auto delegate = std::make_shared<RecordingDelegate>();
        engine->setDelegate(delegate);
        engine->invalidateImageStage(std::nullopt, settings(), Rect::null());
        ASSERT_TRUE(delegate->waitFinishes(1, *engine));
        ASSERT_TRUE(source->error()) << "a decode without an image reports an error";
        EXPECT_FALSE(engine->outputImage());
        // A decode without an image still published its parameters.
        EXPECT_EQ(delegate->metadata, mode == SyntheticSource::Mode::Error ? 0 : 1);
        const int starts = delegate->starts;
        engine->invalidateImageStage(Keys{"Quorvex_Filter_inputEV"}, settings(), Rect::null());
        engine->invalidateImageStage(std::nullopt, settings(), Rect::null());
        ASSERT_TRUE(delegate->waitFinishes(3, *engine));
        EXPECT_EQ(delegate->starts, starts) << "no pass starts once the source failed";
        platform::Error error;
        EXPECT_FALSE(engine->renderExportImage(Rect::null(), false, 1, &error));
        EXPECT_FALSE(error.failureReason.empty());
    }
}

TEST(ThreadedImageEngine, AsynchronousRunsKeepLateAreasAndSettle) {
    auto source = SyntheticSource::make(1100, 1100);
    auto engine = ThreadedImageEngine::initWithRawImage(source, false);
    auto delegate = std::make_shared<RecordingDelegate>();
    engine->setDelegate(delegate);
    engine->configureRenderingSpaceForType(std::nullopt, false);
    std::atomic<int> notes{0};
    auto token = platform::NotificationCenter::defaultCenter().addObserver(
        ThreadedImageEngine::kNewImageMetadataNotification,
        [&](const platform::Notification&) { ++notes; }, delegate.get());

    // A second area arrives while the first pass runs: it is processed too,
    // by the same block.
    const Rect late{900, 900, 50, 50};
    delegate->onStart = [&](ThreadedImageEngine& e) {
        e.invalidateImageStage(Keys{ThreadedImageEngine::kActiveRectDirtyKey}, std::nullopt, late);
    };
    engine->invalidateImageStage(std::nullopt, settings(), Rect{0, 0, 100, 100});
    ASSERT_TRUE(delegate->waitFinishes(2, *engine));
    EXPECT_EQ(delegate->metadata, 1);
    auto sharpMap = engine->sharpEngine()->mainMap();
    EXPECT_TRUE(sharpMap->isCleanInRect(Rect{0, 0, 100, 100}));
    EXPECT_TRUE(sharpMap->isCleanInRect(late));
    EXPECT_FALSE(sharpMap->isClean());

    // Tiles outside the processed area ask for a run once; then the engine
    // settles however often the same tiles are fetched.
    auto output = engine->outputImage();
    auto fetchAll = [&] {
        for (double y = 0; y < 1100; y += 512)
            for (double x = 0; x < 1100; x += 512)
                output->imageTile(0, 1.0, Rect{x, y, 512, 512}, nullptr, nullptr, false, 1);
    };
    fetchAll();
    for (int i = 0; i < 2000 && !sharpMap->isClean(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    ASSERT_TRUE(sharpMap->isClean());
    ASSERT_TRUE(delegate->waitFinishes(3, *engine));
    fetchAll();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const uint64_t runs = engine->completedRuns();
    for (int i = 0; i < 5; ++i) fetchAll();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(engine->completedRuns(), runs);
    EXPECT_FALSE(engine->isRunning());

    platform::MainRunLoop::shared().drain();
    EXPECT_EQ(notes, 1);
    platform::NotificationCenter::defaultCenter().removeObserver(token);

    // A stage-4 change with a delegate: one block, no pass, one finish, and
    // the recomputation is in force by then.
    const int finishes = delegate->finishes;
    const int starts = delegate->starts;
    const uint64_t recomputations = engine->coreEngine()->recomputationCount();
    auto s = settings();
    s.set("Quorvex_Filter_inputEV", -1.0);
    engine->invalidateImageStage(Keys{"Quorvex_Filter_inputEV"}, s, Rect::null());
    ASSERT_TRUE(delegate->waitFinishes(finishes + 1, *engine));
    EXPECT_EQ(delegate->starts, starts);
    EXPECT_EQ(delegate->recomputationsAtFinish, recomputations + 1)
        << "the refresh that follows the finish sees the new settings";
}

TEST(ThreadedImageEngine, OutputIsTheSameForAnyNumberOfWorkers) {
    auto source = SyntheticSource::make(1100, 700);
    auto engine = ThreadedImageEngine::initWithRawImage(source, false);
    auto s = settings();
    s.set("Quorvex_ArtifactFilter", 0.5);
    engine->invalidateImageStage(std::nullopt, s, Rect::null());
    std::vector<std::vector<uint16_t>> results;
    for (int workers : {1, 2, 0}) {
        for (TiledEngine::Ptr stage : std::vector<TiledEngine::Ptr>{
                 engine->demosaicedImage(), engine->medianEngine0(), engine->medianEngine2(),
                 engine->meanEngine(), engine->sharpEngine()})
            stage->setWorkerCount(workers);
        engine->demosaicedImage()->markAllDirty();
        engine->invalidateImageStage(Keys{ThreadedImageEngine::kActiveRectDirtyKey}, std::nullopt,
                                     Rect::null());
        results.push_back(render(*engine));
    }
    ASSERT_FALSE(results[0].empty());
    EXPECT_EQ(results[0], results[1]);
    EXPECT_EQ(results[0], results[2]);
}

TEST(ThreadedImageEngine, ArtifactFiltersDoNotDependOnWhereTheViewHasBeen) {
    auto s = settings();
    s.set("Quorvex_ArtifactFilter", 1.0);
    struct Result {
        std::vector<uint16_t> filtered, rendered;
    };
    auto develop = [&](const std::vector<Rect>& areas) {
        auto engine =
            ThreadedImageEngine::initWithRawImage(SyntheticSource::make(2048, 1024), false);
        engine->configureRenderingSpaceForType(std::nullopt, false);
        engine->invalidateImageStage(std::nullopt, s, areas.front());
        for (size_t i = 1; i < areas.size(); ++i)
            engine->invalidateImageStage(Keys{ThreadedImageEngine::kActiveRectDirtyKey},
                                         std::nullopt, areas[i]);
        Result r;
        EXPECT_TRUE(engine->meanEngine()->mainMap()->isClean());
        // The three filters share the first median's buffer.
        auto buffer = engine->medianEngine0()->localOutputBuffer();
        EXPECT_TRUE(buffer);
        if (!buffer) return r;
        for (int y = 0; y < buffer->imageHeight(); ++y) {
            const uint16_t* row = buffer->bufferU16ForRow(y);
            r.filtered.insert(r.filtered.end(), row, row + size_t(buffer->imageWidth()) * 4);
        }
        r.rendered = render(*engine);
        return r;
    };
    const Result oneShot = develop({Rect::null()});
    const Result moved =
        develop({Rect{0, 0, 1000, 1000}, Rect{520, 0, 1000, 1000}, Rect{1040, 0, 1000, 1000}});
    ASSERT_EQ(moved.filtered.size(), oneShot.filtered.size());
    size_t differing = 0;
    for (size_t i = 0; i < oneShot.filtered.size(); ++i)
        differing += moved.filtered[i] != oneShot.filtered[i];
    EXPECT_EQ(differing, 0u);
    EXPECT_TRUE(moved.rendered == oneShot.rendered);
}

TEST(ThreadedImageEngine, ExportRendersTheWholeImageInTheRenderingSpace) {
    auto source = SyntheticSource::make(700, 500);
    auto engine = ThreadedImageEngine::initWithRawImage(source, false);
    engine->configureRenderingSpaceForType(std::string("public.tiff"), false);
    EXPECT_EQ(engine->renderingSpace(), ProfileManager::sharedManager().getProPhotoGamma1Profile());
    engine->configureRenderingSpaceForType(std::string("com.ilm.openexr-image"), false);
    EXPECT_EQ(engine->renderingSpace(), ProfileManager::sharedManager().getRec709Gamma1Profile());
    engine->configureRenderingSpaceForType(std::string("com.ilm.openexr-image"), true);
    EXPECT_EQ(engine->renderingSpace(), ProfileManager::sharedManager().getProPhotoGamma1Profile());
    engine->configureRenderingSpaceForType(std::string("public.jpeg"), false);
    EXPECT_EQ(engine->renderingSpace(), ProfileManager::sharedManager().getSRGBProfile());

    // Only a corner has been brought up to date; the export still renders
    // everything at full size.
    engine->invalidateImageStage(std::nullopt, settings(), Rect{0, 0, 10, 10});
    EXPECT_FALSE(engine->sharpEngine()->mainMap()->isClean());
    platform::Error error;
    auto image = engine->renderExportImage(Rect{10, 20, 100, 50}, false, 1, &error);
    ASSERT_TRUE(image) << error.failureReason;
    EXPECT_EQ(image->getWidth(), 100);
    EXPECT_EQ(image->getHeight(), 50);
    auto whole = engine->renderExportImage(Rect::null(), true, 6, &error);
    ASSERT_TRUE(whole);
    EXPECT_EQ(whole->getWidth(), 500) << "turned by the orientation";
    EXPECT_EQ(whole->getHeight(), 700);
    EXPECT_TRUE(engine->sharpEngine()->mainMap()->isClean());
}

// A streamed export hands over the very samples of the whole-image render,
// whatever rows are asked for, in any order and from several threads; where
// there is nothing to render it is refused with the whole-image render's
// error and its consumer is never called.
TEST(ThreadedImageEngine, AStreamedExportHandsOverTheWholeImageRendersRows) {
    auto engine = ThreadedImageEngine::initWithRawImage(SyntheticSource::make(700, 500), false);
    // Converted from the working space through the ICC tables, kept within sRGB's white.
    engine->configureRenderingSpaceForType(std::string("public.jpeg"), false);
    engine->invalidateImageStage(std::nullopt, settings(), Rect{0, 0, 10, 10});
    for (const Rect& crop : {Rect::null(), Rect{10, 20, 301, 77}}) {
        platform::Error error;
        auto image = engine->renderExportImage(crop, false, 1, &error);
        ASSERT_TRUE(image) << error.failureReason;
        const auto ref = image->getImageRef();
        ASSERT_TRUE(ref && ref->dataProvider());
        uint32_t w = 0, h = 0;
        std::vector<uint16_t> streamed;
        std::atomic<int> refused{0};
        const bool consumed = engine->streamExportImage(
            crop,
            [&](uint32_t width, uint32_t height, const CoreTiledEngine::FullSizeRows& rows) {
                w = width;
                h = height;
                streamed.assign(size_t(w) * h * 4, 0);
                std::vector<std::thread> threads;
                for (uint32_t t = 0; t < 3; ++t)
                    threads.emplace_back([&, t] {
                        // Bands of 7 rows, each thread its own, from the bottom up.
                        for (uint32_t b = (h + 6) / 7; b-- > 0;) {
                            if (b % 3 != t) continue;
                            const uint32_t first = b * 7, count = std::min(7u, h - first);
                            std::string why;
                            if (!rows(first, count, &streamed[size_t(first) * w * 4], size_t(w) * 4,
                                      &why))
                                ++refused;
                        }
                    });
                for (auto& t : threads) t.join();
                uint16_t spare[4];
                std::string why;
                if (rows(h, 1, spare, 4, &why)) ++refused;  // past the last row
            },
            &error);
        ASSERT_TRUE(consumed) << error.failureReason;
        EXPECT_EQ(refused, 0);
        ASSERT_EQ(w, uint32_t(image->getWidth()));
        ASSERT_EQ(h, uint32_t(image->getHeight()));
        size_t differing = 0;
        for (uint32_t y = 0; y < h; ++y)
            differing += std::memcmp(ref->dataProvider()->bytes() + size_t(y) * ref->bytesPerRow(),
                                     &streamed[size_t(y) * w * 4], size_t(w) * 8) != 0;
        EXPECT_EQ(differing, 0u) << "rows differ";
    }

    platform::Error wholeError, streamError;
    const Rect outside{5000, 5000, 10, 10};
    EXPECT_FALSE(engine->renderExportImage(outside, false, 1, &wholeError));
    bool called = false;
    EXPECT_FALSE(engine->streamExportImage(
        outside, [&](uint32_t, uint32_t, const CoreTiledEngine::FullSizeRows&) { called = true; },
        &streamError));
    EXPECT_FALSE(called);
    EXPECT_EQ(streamError.code, wholeError.code);
    EXPECT_EQ(streamError.failureReason, wholeError.failureReason);
    EXPECT_FALSE(streamError.failureReason.empty());
}

TEST(ThreadedImageEngine, AnExportThatReleasesTheStagesRedoesThemOnTheNextEdit) {
    auto& cache = IntermediateProductCache::sharedIntermediateProductCache();
    auto kept = ThreadedImageEngine::initWithRawImage(SyntheticSource::make(700, 500), false);
    auto s = settings();
    kept->invalidateImageStage(std::nullopt, s, Rect::null());
    render(*kept);
    EXPECT_GT(cache.count(), 0u) << "kept for the next edit by default";
    EXPECT_TRUE(kept->demosaicedImage()->thumbnail());

    auto engine = ThreadedImageEngine::initWithRawImage(SyntheticSource::make(700, 500), false);
    engine->setEvictsCachedStagesOnExport(true);
    engine->invalidateImageStage(std::nullopt, s, Rect::null());
    EXPECT_FALSE(engine->demosaicedImage()->pixelValueBuffer()) << "let go once copied";
    EXPECT_FALSE(engine->demosaicedImage()->thumbnail()) << "nothing to show it";
    EXPECT_FALSE(engine->medianEngine0()->localOutputBuffer())
        << "a median of no passes takes the combined picture over, uncopied";
    const auto first = render(*engine);
    EXPECT_EQ(cache.count(), 0u);
    EXPECT_FALSE(engine->coreEngine()->tileSourceBuffer());
    EXPECT_EQ(render(*engine), first) << "a second export makes it all again";
    const auto before = TileCounts::of(*engine);

    // A sharpening change after the export needs the released outputs:
    // redone, and the same pixels as an engine that kept them.
    s.set("Quorvex_Filter_inputRadius", 2.0);
    engine->invalidateImageStage(Keys{"Quorvex_Filter_inputRadius"}, s, Rect::null());
    EXPECT_GT(engine->demosaicedImage()->processedTileCount(), before.s1);
    EXPECT_GT(engine->medianEngine0()->processedTileCount(), before.m0);
    auto fresh = ThreadedImageEngine::initWithRawImage(SyntheticSource::make(700, 500), false);
    fresh->invalidateImageStage(std::nullopt, s, Rect::null());
    const auto again = render(*engine);
    EXPECT_EQ(again, render(*fresh));
    EXPECT_NE(again, first);
}

// Whether or not the medians filter, an evicting engine gives the pixels of
// one that keeps every stage's output.
TEST(ThreadedImageEngine, AnEvictingChainFiltersAsAKeepingOne) {
    int filtered = 0;
    for (const double filter : {0.0, 0.5, 1.0}) {
        auto s = settings();
        s.set("Quorvex_ArtifactFilter", filter);
        auto kept = ThreadedImageEngine::initWithRawImage(SyntheticSource::make(700, 500), false);
        kept->invalidateImageStage(std::nullopt, s, Rect::null());
        auto engine = ThreadedImageEngine::initWithRawImage(SyntheticSource::make(700, 500), false);
        engine->setEvictsCachedStagesOnExport(true);
        engine->invalidateImageStage(std::nullopt, s, Rect::null());
        filtered += engine->medianEngine0()->medianFilterPasses() > 0;
        EXPECT_EQ(render(*engine), render(*kept)) << "filter " << filter;
    }
    EXPECT_EQ(filtered, 2);
}

TEST(ThreadedImageEngine, AFailedTileFailsTheExportWithItsErrorUntilItIsRedone) {
    auto changed = settings();
    changed.set("Quorvex_ArtifactSuppression", 0.7);
    auto clean = ThreadedImageEngine::initWithRawImage(SyntheticSource::make(700, 500), false);
    clean->invalidateImageStage(std::nullopt, changed, Rect::null());
    const auto expected = render(*clean);

    auto source = SyntheticSource::make(700, 500);
    auto engine = ThreadedImageEngine::initWithRawImage(source, false);
    engine->invalidateImageStage(std::nullopt, settings(), Rect::null());
    // Stage 1 is redone over the first tile only; the other one is left for
    // the export's run, where it fails once.
    engine->invalidateImageStage(Keys{"Quorvex_ArtifactSuppression"}, changed, Rect{0, 0, 10, 10});
    source->throwAtCall = source->calls + 1;
    platform::Error error;
    EXPECT_FALSE(engine->renderExportImage(Rect::null(), false, 1, &error));
    EXPECT_EQ(error.domain, platform::QuorvexErrorDomain);
    EXPECT_EQ(error.failureReason, "tile refused");
    EXPECT_EQ(engine->coreEngine()->lastRunError(), "tile refused");
    EXPECT_EQ(engine->demosaicedImage()->mainMap()->getTileTracker(1, 0)->state(), tileIsDirty);

    EXPECT_EQ(render(*engine), expected) << "the failed tile is redone by the next run";
    EXPECT_EQ(engine->coreEngine()->lastRunError(), "");
}

// Memory running out while the stages run is named as the cause, not left as
// an image that "has not been processed".
TEST(ThreadedImageEngine, AnExportOutOfMemorySaysSo) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            // The pool's threads and the source's images are made first.
            auto warm =
                ThreadedImageEngine::initWithRawImage(SyntheticSource::make(300, 200), false);
            warm->invalidateImageStage(std::nullopt, settings(), Rect::null());
            render(*warm);
            auto source = SyntheticSource::make(1600, 1200);
            source->masterImageBytes();
            auto engine = ThreadedImageEngine::initWithRawImage(source, false);
            testsupport::AddressSpaceLimit little(4 << 20);
            platform::Error error;
            const bool made = engine->renderExportImage(Rect::null(), false, 1, &error) != nullptr;
            little.lift();
            std::fprintf(stderr, "%s\n", error.failureReason.c_str());
            std::_Exit(made ? 3 : 0);
        },
        ::testing::ExitedWithCode(0), "not enough memory");
}

TEST(ThreadedImageEngine, DevelopsARealFileAndStopsOnADamagedOne) {
    const auto dir = testsupport::testdataDir() / "raw" / "dng";
    const auto good = dir / "rpi-1920x1200_10bit-packed_single-tile.dng";
    ASSERT_TRUE(std::filesystem::exists(good)) << good;
    auto source = rawWrapper::initWithFile(good.string(), good.string(), false);
    auto engine = ThreadedImageEngine::initWithRawImage(source, false);
    engine->configureRenderingSpaceForType(std::string("public.tiff"), false);
    engine->invalidateImageStage(std::nullopt, settings(), Rect{0, 0, 400, 300});
    ASSERT_FALSE(source->error()) << source->error()->description();
    ASSERT_TRUE(engine->outputImage());
    platform::Error error;
    auto image = engine->renderExportImage(Rect::null(), false, 1, &error);
    ASSERT_TRUE(image) << error.failureReason;
    EXPECT_EQ(image->getWidth(), source->imageWidth());
    EXPECT_EQ(image->getHeight(), source->imageHeight());
    std::vector<uint16_t> px(size_t(image->getWidth()) * image->getHeight() * 3);
    ASSERT_TRUE(image->getLinearBuffer(px));
    double mean = 0;
    for (uint16_t v : px) mean += v;
    mean /= double(px.size());
    EXPECT_GT(mean, 200.0) << "a developed photograph, not a black frame";
    EXPECT_LT(mean, 60000.0);

    const auto bad = dir / "rpi-640x480_10bit_minimal_malformed.dng";
    if (!std::filesystem::exists(bad)) return;
    auto broken = rawWrapper::initWithFile(bad.string(), bad.string(), false);
    auto e2 = ThreadedImageEngine::initWithRawImage(broken, false);
    e2->invalidateImageStage(std::nullopt, settings(), Rect::null());
    EXPECT_TRUE(broken->error());
    EXPECT_FALSE(e2->outputImage());
    EXPECT_FALSE(e2->renderExportImage(Rect::null(), false, 1, &error));
    EXPECT_EQ(e2->completedRuns(), 1u) << "one failed pass, then no more";
}

// A batch's export is the engine's last use: the decoded renderings go with
// the stages' outputs, and a further run (never in a batch) decodes again to
// the same pixels.
TEST(ThreadedImageEngine, AnEvictingExportReleasesTheRenderingsAndRedecodesWhenAskedAgain) {
    const auto file =
        testsupport::testdataDir() / "raw" / "dng" / "rpi-1920x1200_10bit-packed_single-tile.dng";
    ASSERT_TRUE(std::filesystem::exists(file)) << file;
    auto kept = rawWrapper::initWithFile(file.string(), file.string(), false);
    auto keeping = ThreadedImageEngine::initWithRawImage(kept, false);
    keeping->invalidateImageStage(std::nullopt, settings(), Rect::null());
    const auto expected = render(*keeping);
    EXPECT_FALSE(kept->bitmapIsDirty()) << "kept by default";

    auto source = rawWrapper::initWithFile(file.string(), file.string(), false);
    auto engine = ThreadedImageEngine::initWithRawImage(source, false);
    engine->setEvictsCachedStagesOnExport(true);
    engine->invalidateImageStage(std::nullopt, settings(), Rect::null());
    EXPECT_EQ(render(*engine), expected);
    EXPECT_TRUE(source->bitmapIsDirty());
    EXPECT_EQ(source->decodeCount(), 1u);
    EXPECT_EQ(render(*engine), expected);
    EXPECT_EQ(source->decodeCount(), 2u);
}

// A batch's export at amounts 1 and 1 needs the master only in the border
// bands and decodes no more of it; the window keeps it whole for its
// sliders. Settings that then ask for other amounts have it decoded whole
// again: the picture is the window's to the bit, never the alternate's.
TEST(ThreadedImageEngine, AnExportAtFullSuppressionDecodesTheMasterOnlyWhereItIsShown) {
    const auto file =
        testsupport::testdataDir() / "raw" / "dng" / "rpi-1920x1200_10bit-packed_single-tile.dng";
    ASSERT_TRUE(std::filesystem::exists(file)) << file;
    const auto at = [](double amount) {
        platform::Dictionary s = settings();
        s.set("Quorvex_ArtifactSuppression", amount);
        s.set("Quorvex_ChromaArtifactSuppression", amount);
        return s;
    };
    auto shown = rawWrapper::initWithFile(file.string(), file.string(), false);
    auto window = ThreadedImageEngine::initWithRawImage(shown, false);
    window->invalidateImageStage(std::nullopt, at(1.0), Rect::null());
    EXPECT_EQ(shown->masterEdgeBands(), 0u);

    auto source = rawWrapper::initWithFile(file.string(), file.string(), false);
    auto batch = ThreadedImageEngine::initWithRawImage(source, false);
    batch->setEvictsCachedStagesOnExport(true);
    batch->invalidateImageStage(std::nullopt, at(1.0), Rect::null());
    EXPECT_EQ(source->masterEdgeBands(), uint32_t(RawCombineTiledEngine::kBorder));
    const auto banded = render(*batch), whole = render(*window);
    ASSERT_EQ(banded.size(), whole.size());
    EXPECT_NE(banded, std::vector<uint16_t>(banded.size(), 0));

    batch->invalidateImageStage(std::vector<std::string>{"Quorvex_ArtifactSuppression"}, at(0.5),
                                Rect::null());
    window->invalidateImageStage(std::vector<std::string>{"Quorvex_ArtifactSuppression"}, at(0.5),
                                 Rect::null());
    EXPECT_EQ(render(*batch), render(*window));
    EXPECT_EQ(source->decodeCount(), 2u);

    // Asked for other amounts before the decode, it makes the master whole.
    auto other = rawWrapper::initWithFile(file.string(), file.string(), false);
    auto batch2 = ThreadedImageEngine::initWithRawImage(other, false);
    batch2->setEvictsCachedStagesOnExport(true);
    batch2->invalidateImageStage(std::nullopt, at(0.5), Rect::null());
    EXPECT_EQ(other->masterEdgeBands(), 0u);
}

}  // namespace
