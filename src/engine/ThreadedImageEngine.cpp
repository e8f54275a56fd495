#include "engine/ThreadedImageEngine.h"

#include <strings.h>

#include <cstdio>
#include <new>

#include "color/DNGCameraProfileAbstract.h"
#include "color/ProfileManager.h"
#include "color/SettingsKeys.h"
#include "engine/IntermediateProductCache.h"
#include "engine/MeanTiledEngine.h"
#include "engine/MedianTiledEngine.h"
#include "engine/RawCombineTiledEngine.h"
#include "engine/SharpeningTiledEngine.h"
#include "platform/LargeBlockPool.h"
#include "platform/Log.h"
#include "platform/NotificationCenter.h"

using platform::Rect;

namespace {

struct KeyStage {
    const char* key;
    int stage;
};

constexpr KeyStage kKeyTable[] = {
    {SettingsKeys::kInputRadius, 3},
    {SettingsKeys::kInputIntensity, 3},
    {SettingsKeys::kInputEV, 4},
    {SettingsKeys::kInputContrast, 4},
    {SettingsKeys::kInputBrightness, 4},
    {SettingsKeys::kInputFillLight, 4},
    {SettingsKeys::kInputHighLight, 4},
    {SettingsKeys::kInputKneeLow, 4},
    {SettingsKeys::kInputKneeHigh, 4},
    {SettingsKeys::kInputSaturation, 4},
    {SettingsKeys::kInputAngle, 4},
    {SettingsKeys::kMonochromeRed, 4},
    {SettingsKeys::kMonochromeYellow, 4},
    {SettingsKeys::kMonochromeGreen, 4},
    {SettingsKeys::kMonochromeCyan, 4},
    {SettingsKeys::kMonochromeBlue, 4},
    {SettingsKeys::kCameraProfile, 0},
    {SettingsKeys::kIccProfile, 0},
    {SettingsKeys::kMonochromeSensor, 0},
    {SettingsKeys::kIRUVSensor, 4},
    {SettingsKeys::kArtifactSuppression, 1},
    {SettingsKeys::kChromaArtifactSuppression, 1},
    {SettingsKeys::kEttrAdjust, 4},
    {SettingsKeys::kSceneReferred, 4},
    {SettingsKeys::kMaintainWhites, 4},
    {SettingsKeys::kToneCurveAdjust, 4},
    {SettingsKeys::kArtifactFilter, 2},
    {SettingsKeys::kInputTemperature, 4},
    {SettingsKeys::kInputTint, 4},
    {SettingsKeys::kExportFileType, -1},
    {SettingsKeys::kJPEGQuality, -1},
    {SettingsKeys::kPresetUUID, -1},
    {"displayName", -1},
};

// The smallest rectangle holding both; a null one stands for the whole image
// and absorbs the other.
Rect unionArea(const Rect& a, const Rect& b) {
    if (a.isNull() || b.isNull()) return Rect::null();
    const double x0 = std::min(a.minX(), b.minX()), y0 = std::min(a.minY(), b.minY());
    const double x1 = std::max(a.maxX(), b.maxX()), y1 = std::max(a.maxY(), b.maxY());
    return Rect{x0, y0, x1 - x0, y1 - y0};
}

}  // namespace

ThreadedImageEngine::ThreadedImageEngine() = default;

ThreadedImageEngine::~ThreadedImageEngine() {
    if (demosaicedImage_) demosaicedImage_->flushCache();
    if (outputImage_) outputImage_->flushCache();
}

ThreadedImageEngine::Ptr ThreadedImageEngine::init() {
    return std::make_shared<ThreadedImageEngine>();
}

ThreadedImageEngine::Ptr ThreadedImageEngine::initWithRawImage(ImageWrapper::Ptr source,
                                                               bool renderForExport) {
    auto engine = std::make_shared<ThreadedImageEngine>();
    engine->rawFileWrapper_ = std::move(source);
    engine->highRes_ = renderForExport;
    IntermediateProductCache::sharedIntermediateProductCache().removeAllObjects();
    engine->stage0IsDirty_ = true;
    return engine;
}

// ---------------------------------------------------------------------------
// Invalidation

int ThreadedImageEngine::invalidatedStageForKey(const std::optional<std::string>& key) {
    std::lock_guard lock(syncLock_);
    if (stageToKey_.empty())
        for (const auto& e : kKeyTable) stageToKey_.set(e.key, e.stage);
    if (!key) return 0;
    const platform::Value* v = stageToKey_.find(*key);
    return v ? int(v->integerValue()) : 0;
}

void ThreadedImageEngine::invalidateImageStage(const KeyList& keys,
                                               const std::optional<platform::Dictionary>& settings,
                                               const Rect& area) {
    startProcessing(markStages(keys, settings, area));
}

void ThreadedImageEngine::takeSettingsChange(const KeyList& keys,
                                             const platform::Dictionary& settings) {
    markStages(keys, settings, Rect::null());
}

bool ThreadedImageEngine::markStages(const KeyList& keys,
                                     const std::optional<platform::Dictionary>& settings,
                                     const Rect& area) {
    std::vector<std::optional<std::string>> list;
    if (keys)
        list.assign(keys->begin(), keys->end());
    else
        list.emplace_back(std::nullopt);
    std::vector<int> stages;
    for (const auto& key : list) stages.push_back(invalidatedStageForKey(key));

    bool start = false;
    {
        std::lock_guard lock(syncLock_);
        pendingArea_ = pendingArea_ ? unionArea(*pendingArea_, area) : area;
        for (size_t i = 0; i < list.size(); ++i) {
            const auto& key = list[i];
            if (!key || strcasecmp(key->c_str(), kActiveRectDirtyKey) == 0) {
                activeAreaIsDirty_ = true;
                start = !isRunning_;
            }
            if (!settings || stages[i] < 0) continue;
            imageParameters_ = *settings;
            start = !isRunning_;
            if (stages[i] == 0) {
                stage0IsDirty_ = true;
                continue;
            }
            if (stages[i] <= 3) stagenIsDirty_ = true;
            // Under the lock, so a pass that clears the flags cannot run
            // before the stage has seen the change.
            if (outputImage_) outputImage_->setParameters(key, *settings);
        }
    }
    return start;
}

void ThreadedImageEngine::setImageParameters(const platform::Dictionary& settings) {
    std::lock_guard lock(syncLock_);
    imageParameters_ = settings;
}

void ThreadedImageEngine::engineActiveRectDirty(TiledEngine&) {
    invalidateImageStage(std::vector<std::string>{kActiveRectDirtyKey}, std::nullopt, Rect::null());
}

platform::QueuePtr ThreadedImageEngine::queue() {
    if (!serialQueue_)
        serialQueue_ = platform::DispatchQueue::createSerial("org.quorvex.tovrelink.quorvex");
    return serialQueue_;
}

void ThreadedImageEngine::startProcessing(bool start) {
    static const char* kName =
        "-[ThreadedImageEngine invalidateImageStage:newParameters:activeArea:]";
    auto owner = weak_from_this().lock();
    const bool async = delegate() && owner;
    if (async && !start) return;
    platform::QueuePtr q;
    {
        std::lock_guard lock(syncLock_);
        q = queue();
        if (q && async) {
            q->async([owner] { owner->processingBlock(); });
            return;
        }
    }
    if (!q) {
        platform::log("%s warning - no serial queue", kName);
        processingBlock();
        return;
    }
    // Without a delegate the caller waits, but the run still goes through the
    // queue so that it never overlaps a queued one.
    q->sync([this] { processingBlock(); });
}

// ---------------------------------------------------------------------------
// The processing loop

void ThreadedImageEngine::processingBlock() {
    bool completedAny = false;
    for (;;) {
        ImageWrapper::Ptr source;
        {
            std::lock_guard lock(syncLock_);
            if (!(stage0IsDirty_ || stagenIsDirty_ || activeAreaIsDirty_)) break;
            source = rawFileWrapper_;
        }
        if (source && source->error()) break;
        auto delegate = this->delegate();
        if (delegate) delegate->CIImageEngineDidStart(*this);

        bool rebuild;
        {
            std::lock_guard lock(syncLock_);
            isRunning_ = true;
            rebuild = stage0IsDirty_;
            stage0IsDirty_ = false;
        }
        bool chainMissing = false;
        if (rebuild) {
            processStage0();
            auto s1 = processStage1();
            auto s2 = processStage2(s1);
            auto s3 = processStage3(s2);
            auto s4 = processStage4NoCIFilter(s3);
            std::lock_guard lock(syncLock_);
            if (!s4) {
                stage0IsDirty_ = true;
                chainMissing = true;
            } else {
                outputImage_ = s4;
            }
            stagenIsDirty_ = true;
        }

        TiledEngine::Ptr output;
        TileRegion region{0, 0, 0, -1, -1};
        bool run = false;
        if (!chainMissing) {
            std::lock_guard lock(syncLock_);
            const double W = source ? source->imageWidth() : 0;
            const double H = source ? source->imageHeight() : 0;
            const Rect image{0, 0, W, H};
            if (activeAreaIsDirty_ && outputImage_ && outputImage_->mainMap() &&
                outputImage_->mainMap()->isClean())
                activeAreaIsDirty_ = false;
            run = (stagenIsDirty_ || activeAreaIsDirty_) && !stage0IsDirty_;
            if (run) {
                stagenIsDirty_ = false;
                activeAreaIsDirty_ = false;
                const Rect area = pendingArea_.value_or(lastArea_);
                pendingArea_.reset();
                lastArea_ = area;
                const Rect r = area.isNull() ? image : area.intersection(image);
                output = outputImage_;
                if (output && output->mainMap() && !r.isEmpty())
                    region = output->mainMap()->regionForRect(r, 0);
                if (highRes_) demosaicedImage_.reset();
            }
        }
        if (run && output && region.xMin <= region.xMax) {
            auto process = output->runProcessToCompletion(region);
            if (process && !process->error().empty())
                platform::log("Processing error: %s", process->error().c_str());
        }

        // The display refresh that follows must see the latest settings.
        if (auto core = coreEngine()) core->waitForRecomputation();
        {
            std::lock_guard lock(syncLock_);
            ++completedRuns_;
        }
        completedAny = true;
        if (delegate) delegate->CIImageEngineDidFinish(*this);
        if (chainMissing) break;  // retried on the next invalidation, never spun
    }
    {
        std::lock_guard lock(syncLock_);
        isRunning_ = false;
    }
    if (!completedAny) {
        if (auto core = coreEngine()) core->waitForRecomputation();
        if (auto delegate = this->delegate()) delegate->CIImageEngineDidFinish(*this);
    }
}

// ---------------------------------------------------------------------------
// Chain builders

void ThreadedImageEngine::processStage0() {
    auto source = rawFileWrapper();
    if (!source) {
        platform::log("Error: rawFileWrapper nil in %s", "-[ThreadedImageEngine processStage0]");
        return;
    }
    const platform::Dictionary params = imageParameters();
    source->setScannerProfile(std::const_pointer_cast<ColorSyncProfileWrap>(
        params[SettingsKeys::kIccProfile].objectAs<ColorSyncProfileWrap>()));
    source->setCameraProfile(
        params[SettingsKeys::kCameraProfile].objectAs<DNGCameraProfileAbstract>());
    source->setProcessAsMonochromeSensor(params[SettingsKeys::kMonochromeSensor].boolValue());
    bool lastUse;
    {
        std::lock_guard lock(syncLock_);
        lastUse = evictsCachedStagesOnExport_;
    }
    // An export that blends the alternate alone shows the master only in
    // the border bands; the window's sliders may want it anywhere.
    source->setMasterEdgeBands(lastUse && RawCombineTiledEngine::takesAlternateAlone(params)
                                   ? uint32_t(RawCombineTiledEngine::kBorder)
                                   : 0);
    source->masterImageBytes();
    if (auto error = source->error()) {
        platform::log("Raw file error: %s", error->failureReason.c_str());
        return;
    }
    platform::Dictionary parameters = source->getParameters();
    std::shared_ptr<ThreadedImageEngineDelegate> delegate;
    {
        std::lock_guard lock(syncLock_);
        cameraParameters_ = std::move(parameters);
        decodedSinceBuild_ = true;
        delegate = delegate_.lock();
    }
    if (delegate) {
        delegate->CIImageEngineNewMetaData(*this);
        platform::NotificationCenter::defaultCenter().postOnMainQueue(
            platform::Notification{kNewImageMetadataNotification, delegate, {}});
    }
}

std::shared_ptr<RawCombineTiledEngine> ThreadedImageEngine::processStage1() {
    auto source = rawFileWrapper();
    auto stage = demosaicedImage();
    if (!source) return stage;
    if (source->error()) return stage;
    if (!source->masterImageBytes()) {
        platform::log(" No master image in %s", "-[ThreadedImageEngine processStage1]");
        // Without an error the loop would decode again for ever.
        if (!source->error())
            source->setError(platform::Error{platform::RawOpenErrorDomain, -1,
                                             "The file could not be decoded into an image."});
        return stage;
    }
    bool redecoded;
    {
        std::lock_guard lock(syncLock_);
        redecoded = decodedSinceBuild_;
        decodedSinceBuild_ = false;
    }
    if (!stage) {
        stage = RawCombineTiledEngine::initWithSize(
            platform::Size{double(source->imageWidth()), double(source->imageHeight())},
            std::nullopt, highRes_);
        if (!stage) return nullptr;
        std::lock_guard lock(syncLock_);
        demosaicedImage_ = stage;
    } else if (redecoded) {
        // The same stage object over new decoded images.
        stage->markAllDirty();
        stage->setThumbnailIsDirty(true);
    }
    bool evict;
    {
        std::lock_guard lock(syncLock_);
        evict = evictsCachedStagesOnExport_;
    }
    stage->setKeepsReadouts(!evict);
    // With no edit to follow, nothing reads the renderings once the export's
    // run has combined them all: their memory serves the stages after this.
    if (evict)
        stage->setRunFinishedHandler(
            [engine = weak_from_this(), wrapper = std::weak_ptr<ImageWrapper>(source)](bool whole) {
                auto self = engine.lock();
                auto s = wrapper.lock();
                if (self && s && whole && self->exportRunning_) s->releaseImages();
            });
    else
        stage->setRunFinishedHandler(nullptr);
    stage->setClearsFreshBuffers(!evict);
    stage->setIgnoreEdges(false);
    stage->setReprocessEdgeTiles(false);
    stage->setHorizontalBorder(RawCombineTiledEngine::kBorder);
    stage->setVerticalBorder(RawCombineTiledEngine::kBorder);
    stage->setRawImage(source);
    stage->setCameraBaselineExposure(source->cameraBaselineExposure());
    return stage;
}

TiledEngine::Ptr ThreadedImageEngine::processStage2(const TiledEngine::Ptr& source) {
    if (!source) return nullptr;
    std::shared_ptr<MedianTiledEngine> m0, m2;
    {
        std::lock_guard lock(syncLock_);
        if (!medianEngine0_)
            medianEngine0_ = MedianTiledEngine::initWithImage(source, cacheEngine(), highRes_);
        if (medianEngine0_ && !medianEngine2_)
            medianEngine2_ =
                MedianTiledEngine::initWithImage(medianEngine0_, cacheEngine(), highRes_);
        m0 = medianEngine0_;
        m2 = medianEngine2_;
    }
    if (!m0 || !m2) return nullptr;
    for (auto& m : {m0, m2}) {
        m->setIgnoreEdges(true);
        m->setReprocessEdgeTiles(true);
        m->setHorizontalBorder(2);
        m->setVerticalBorder(2);
    }
    m0->setColorToProcess(0);
    m2->setColorToProcess(2);
    {
        // The first median stage works from a copy: with no edit to follow,
        // the raw-combine output need not outlive it.
        std::lock_guard lock(syncLock_);
        m0->setReleasesSourceOutputs(evictsCachedStagesOnExport_);
        // A batch's runs cover the whole image: fresh buffers need no clearing.
        for (auto& m : {m0, m2}) m->setClearsFreshBuffers(!evictsCachedStagesOnExport_);
    }
    if (m2->isCanceled()) return m2;
    std::shared_ptr<MeanTiledEngine> mean;
    {
        std::lock_guard lock(syncLock_);
        if (!meanEngine_) meanEngine_ = MeanTiledEngine::initWithImage(m2, cacheEngine(), highRes_);
        mean = meanEngine_;
    }
    if (!mean) return nullptr;
    mean->setIgnoreEdges(true);
    mean->setReprocessEdgeTiles(true);
    mean->setHorizontalBorder(2);
    mean->setVerticalBorder(2);
    return mean;
}

TiledEngine::Ptr ThreadedImageEngine::processStage3(const TiledEngine::Ptr& source) {
    if (!source) return nullptr;
    std::shared_ptr<SharpeningTiledEngine> sharp;
    {
        std::lock_guard lock(syncLock_);
        if (!sharpEngine_)
            sharpEngine_ = SharpeningTiledEngine::initWithImage(source, std::nullopt, highRes_);
        sharp = sharpEngine_;
    }
    if (!sharp) return nullptr;
    {
        std::lock_guard lock(syncLock_);
        sharp->setClearsFreshBuffers(!evictsCachedStagesOnExport_);
    }
    sharp->setIgnoreEdges(true);
    sharp->setReprocessEdgeTiles(true);
    sharp->setHorizontalBorder(0);
    sharp->setVerticalBorder(0);
    return sharp;
}

TiledEngine::Ptr ThreadedImageEngine::processStage4NoCIFilter(const TiledEngine::Ptr& source) {
    if (!source) return nullptr;
    std::shared_ptr<CoreTiledEngine> core;
    platform::Dictionary camera, settings;
    {
        std::lock_guard lock(syncLock_);
        if (!coreEngine_)
            coreEngine_ = CoreTiledEngine::initWithImage(source, std::nullopt, highRes_);
        core = coreEngine_;
        camera = cameraParameters_;
        settings = imageParameters_;
    }
    if (!core) return nullptr;
    auto wrapper = rawFileWrapper();
    core->setCameraParameters(std::move(camera));
    core->setIgnoreEdges(true);
    core->setReprocessEdgeTiles(false);
    core->setHorizontalBorder(0);
    core->setVerticalBorder(0);
    core->setDelegate(std::weak_ptr<QuorvexTiledEngineDelegate>(weak_from_this()));
    core->setCameraBaselineExposure(wrapper ? wrapper->cameraBaselineExposure() : 0.0f);
    core->setParameters(std::nullopt, settings);
    return core;
}

// ---------------------------------------------------------------------------
// Requests

void ThreadedImageEngine::configureRenderingSpaceForType(const std::optional<std::string>& type,
                                                         bool useWideGamutExports) {
    auto& manager = ProfileManager::sharedManager();
    ColorSyncProfileWrap::Ptr space, range;
    if (type && *type == "public.dng") range = manager.getSRGBProfile(false);
    if (!type)
        space = manager.getProPhotoGamma1_D65Profile(false);
    else if (*type == "public.dng" || *type == "public.tiff")
        space = manager.getProPhotoGamma1Profile(false);
    else if (*type == "com.ilm.openexr-image")
        space = useWideGamutExports ? manager.getProPhotoGamma1Profile(false)
                                    : manager.getRec709Gamma1Profile();
    else
        space = manager.getSRGBProfile(false);
    std::lock_guard lock(syncLock_);
    renderingSpace_ = std::move(space);
    rangeSpace_ = std::move(range);
}

std::shared_ptr<CGImageBitMap> ThreadedImageEngine::renderExportImage(const Rect& rect,
                                                                      bool createFloat,
                                                                      int orientation,
                                                                      platform::Error* error) {
    std::shared_ptr<CGImageBitMap> image;
    runExport(
        [&](CoreTiledEngine& core, const ColorSyncProfileWrap::Ptr& range) {
            image =
                core.fullSizeImage(rect, renderingSpace(), createFloat, orientation, error, range);
        },
        [&] { image.reset(); }, error);
    return image;
}

bool ThreadedImageEngine::streamExportImage(const Rect& rect,
                                            const CoreTiledEngine::FullSizeConsumer& consume,
                                            platform::Error* error) {
    bool consumed = false;
    bool evict;
    {
        std::lock_guard lock(syncLock_);
        evict = evictsCachedStagesOnExport_;
    }
    runExport(
        [&](CoreTiledEngine& core, const ColorSyncProfileWrap::Ptr& range) {
            // Nothing large is made from here on: the blocks let go of for
            // reuse go back to the system in the background instead of
            // lying beside the encoder's output.
            if (evict) platform::LargeBlockPool::shared().trimLater();
            consumed = core.streamFullSize(rect, renderingSpace(), consume, error, range);
        },
        [] {}, error);
    return consumed;
}

void ThreadedImageEngine::runExport(const ExportRender& render, const std::function<void()>& failed,
                                    platform::Error* error) {
    {
        std::lock_guard lock(syncLock_);
        activeAreaIsDirty_ = true;
        pendingArea_ = Rect::null();
    }
    platform::QueuePtr q;
    {
        std::lock_guard lock(syncLock_);
        q = queue();
    }
    // Bringing the image up to date and rendering it in one task of the
    // serial queue: no other run can touch the buffers in between.
    q->sync([&] {
        // Nothing may escape into the queue, which would only log it: the
        // export must hear why it has no image.
        try {
            try {
                runExportNow(render, error);
            } catch (const std::bad_alloc&) {
                exportRunning_ = false;
                failed();
                platform::setError(error, platform::QuorvexErrorDomain, -10,
                                   "There is not enough memory to develop the image.");
            } catch (const std::exception& e) {
                exportRunning_ = false;
                failed();
                platform::setError(error, platform::QuorvexErrorDomain, -8, e.what());
            }
        } catch (const std::bad_alloc&) {
            // The reason's text did not fit either: the caller reports the
            // missing image as a shortage (code -10 with no text).
            if (error) error->code = -10;
        }
    });
}

void ThreadedImageEngine::runExportNow(const ExportRender& render, platform::Error* error) {
    exportRunning_ = true;
    processingBlock();
    exportRunning_ = false;
    auto source = rawFileWrapper();
    if (source && source->error()) {
        if (error) *error = *source->error();
        return;
    }
    auto core = coreEngine();
    if (!core || outputImage() != core) {
        platform::setError(error, platform::QuorvexErrorDomain, -7,
                           "The image could not be processed.");
        return;
    }
    // Tiles that failed hold stale pixels: no image rather than a wrong one.
    if (const std::string failure = core->lastRunError(); !failure.empty()) {
        platform::setError(error, platform::QuorvexErrorDomain, -8, failure);
        return;
    }
    // The display's scaled copies need not live through the full-size
    // render; the stages' buffers stay for the next display run unless
    // none follows.
    core->dropScaledImages();
    bool evict;
    {
        std::lock_guard lock(syncLock_);
        evict = evictsCachedStagesOnExport_;
    }
    if (evict)
        if (auto read = core->sourceBuf())
            if (auto behind = read->sourceBuf()) behind->releaseOutputs();
    ColorSyncProfileWrap::Ptr range;
    {
        std::lock_guard lock(syncLock_);
        range = rangeSpace_;
    }
    render(*core, range);
    // Nor, once it is made, does anything else of the chain, the
    // renderings included: their memory goes to the export's copies
    // and back to the system while the file is encoded.
    if (evict) {
        core->releaseOutputs();
        if (source) source->releaseImages();
    }
}

void ThreadedImageEngine::setEvictsCachedStagesOnExport(bool evict) {
    std::lock_guard lock(syncLock_);
    evictsCachedStagesOnExport_ = evict;
}

bool ThreadedImageEngine::getPixelValues(int x, int y, double* values) {
    std::lock_guard lock(syncLock_);
    return outputImage_ && outputImage_->getPixelValues(x, y, 1, values);
}

std::string ThreadedImageEngine::cacheEngine() const {
    char id[32];
    std::snprintf(id, sizeof id, "%p", static_cast<const void*>(this));
    return id;
}

// ---------------------------------------------------------------------------
// Accessors

TiledEngine::Ptr ThreadedImageEngine::outputImage() const {
    std::lock_guard lock(syncLock_);
    return outputImage_;
}

std::shared_ptr<RawCombineTiledEngine> ThreadedImageEngine::demosaicedImage() const {
    std::lock_guard lock(syncLock_);
    return demosaicedImage_;
}

ImageWrapper::Ptr ThreadedImageEngine::rawFileWrapper() const {
    std::lock_guard lock(syncLock_);
    return rawFileWrapper_;
}

platform::Dictionary ThreadedImageEngine::cameraParameters() const {
    std::lock_guard lock(syncLock_);
    return cameraParameters_;
}

platform::Dictionary ThreadedImageEngine::imageParameters() const {
    std::lock_guard lock(syncLock_);
    return imageParameters_;
}

std::shared_ptr<ThreadedImageEngineDelegate> ThreadedImageEngine::delegate() const {
    std::lock_guard lock(syncLock_);
    return delegate_.lock();
}

void ThreadedImageEngine::setDelegate(std::weak_ptr<ThreadedImageEngineDelegate> delegate) {
    std::lock_guard lock(syncLock_);
    delegate_ = std::move(delegate);
}

ColorSyncProfileWrap::Ptr ThreadedImageEngine::renderingSpace() const {
    std::lock_guard lock(syncLock_);
    return renderingSpace_;
}

bool ThreadedImageEngine::isRunning() const {
    std::lock_guard lock(syncLock_);
    return isRunning_;
}

bool ThreadedImageEngine::stage0IsDirty() const {
    std::lock_guard lock(syncLock_);
    return stage0IsDirty_;
}

bool ThreadedImageEngine::stagenIsDirty() const {
    std::lock_guard lock(syncLock_);
    return stagenIsDirty_;
}

bool ThreadedImageEngine::activeAreaIsDirty() const {
    std::lock_guard lock(syncLock_);
    return activeAreaIsDirty_;
}

std::shared_ptr<MedianTiledEngine> ThreadedImageEngine::medianEngine0() const {
    std::lock_guard lock(syncLock_);
    return medianEngine0_;
}

std::shared_ptr<MedianTiledEngine> ThreadedImageEngine::medianEngine2() const {
    std::lock_guard lock(syncLock_);
    return medianEngine2_;
}

std::shared_ptr<MeanTiledEngine> ThreadedImageEngine::meanEngine() const {
    std::lock_guard lock(syncLock_);
    return meanEngine_;
}

std::shared_ptr<SharpeningTiledEngine> ThreadedImageEngine::sharpEngine() const {
    std::lock_guard lock(syncLock_);
    return sharpEngine_;
}

std::shared_ptr<CoreTiledEngine> ThreadedImageEngine::coreEngine() const {
    std::lock_guard lock(syncLock_);
    return coreEngine_;
}

uint64_t ThreadedImageEngine::completedRuns() const {
    std::lock_guard lock(syncLock_);
    return completedRuns_;
}
