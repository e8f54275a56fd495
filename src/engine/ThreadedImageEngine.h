// The per-document processing engine: the decoded source (stage 0) and the
// chain of stages built on it (1 raw combine, 2 two median filters and a mean
// filter, 3 sharpening, 4 the colour and tone stage, which is the output).
// A document hands it the settings dictionary and the keys that changed; the
// engine maps each key to the first stage to redo, keeps three dirty flags and
// runs a processing block that rebuilds the chain when the source must be
// decoded again and otherwise brings the output over the visible area up to
// date, telling its delegate when each pass of the loop starts and finishes.
//
// Every run of the chain goes through the engine's serial queue: submitted
// asynchronously when there is a delegate, run synchronously on that queue
// (the caller waits) when there is none, so one chain never runs twice at
// once, an export included. Areas that arrive while a run is going on are
// merged into the next pass, never dropped. A decode error, a decode without
// a master image and a chain that cannot be built stop the loop.
//
// Ownership: the engine owns its source, its stages, the camera parameters
// and a copy of the settings; the delegate is held weakly. The engine must be
// owned by a std::shared_ptr (use init or initWithRawImage) while it has a
// delegate, because queued blocks keep it alive.
//
// Thread safety: every public method may be called from any thread. The
// engine lock guards the flags, the pending area, the settings copy, the
// output-stage swap and the queue's creation; it is never held while a stage
// or the processing block runs, except around getPixelValues.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "color/ColorSyncProfileWrap.h"
#include "color/SettingsKeys.h"
#include "engine/CoreTiledEngine.h"
#include "engine/ThreadedImageEngineDelegate.h"
#include "engine/TiledEngine.h"
#include "platform/Dispatch.h"
#include "platform/Error.h"
#include "platform/Value.h"
#include "raw/ImageWrapper.h"

class RawCombineTiledEngine;
class MedianTiledEngine;
class MeanTiledEngine;
class SharpeningTiledEngine;

class ThreadedImageEngine : public QuorvexTiledEngineDelegate,
                            public std::enable_shared_from_this<ThreadedImageEngine> {
public:
    using Ptr = std::shared_ptr<ThreadedImageEngine>;
    using KeyList = std::optional<std::vector<std::string>>;

    static constexpr const char* kActiveRectDirtyKey = SettingsKeys::kActiveRectDirty;
    static constexpr const char* kNewImageMetadataNotification = "TARNWisp_NewImageMetadata";

    ThreadedImageEngine();
    ~ThreadedImageEngine() override;
    ThreadedImageEngine(const ThreadedImageEngine&) = delete;
    ThreadedImageEngine& operator=(const ThreadedImageEngine&) = delete;

    static Ptr init();
    // Nothing runs yet; the first invalidation decodes and builds the chain.
    static Ptr initWithRawImage(ImageWrapper::Ptr source, bool renderForExport);

    // The single entry point for changes: the changed keys (nullopt counts as
    // one nil key), the whole settings dictionary (nullopt: none), the area
    // to bring up to date in image pixels with the origin at the top left
    // (Rect::null(): the whole image).
    void invalidateImageStage(const KeyList& keys,
                              const std::optional<platform::Dictionary>& settings,
                              const platform::Rect& area);
    // The same marking without starting a run, for an engine whose next run
    // is an export's: that run then does the work once, as an export run.
    // Takes the whole image as the area.
    void takeSettingsChange(const KeyList& keys, const platform::Dictionary& settings);
    // The settings the chain is built from at the next decode, handed over
    // without starting a run (a document read its saved settings before its
    // engine existed). A chain already built takes settings only through
    // invalidateImageStage.
    void setImageParameters(const platform::Dictionary& settings);
    // The first stage a key affects: 0 to 4, or -1 for none. A nil key and a
    // key not in the table give 0.
    int invalidatedStageForKey(const std::optional<std::string>& key);

    // QuorvexTiledEngineDelegate: the output stage asks for the visible area.
    void engineActiveRectDirty(TiledEngine& stage) override;

    // The rendering space for an export type (a uniform type identifier), or
    // the display space for nullopt.
    void configureRenderingSpaceForType(const std::optional<std::string>& type,
                                        bool useWideGamutExports);

    // Brings the whole image up to date through the serial queue and renders
    // `rect` (origin at the bottom left; empty or null means the whole image)
    // at full size in the rendering space. Never falls back to a thumbnail:
    // null with the error set when the image cannot be rendered in full; when
    // a stage's tile failed, the error's text is that failure.
    std::shared_ptr<CGImageBitMap> renderExportImage(const platform::Rect& rect, bool createFloat,
                                                     int orientation, platform::Error* error);
    // renderExportImage's 16-bit upright pixels handed to `consume` a few
    // rows at a time while the engine holds them (CoreTiledEngine::
    // streamFullSize), so that no full-size copy is made: for an encoder
    // that takes rows as they come. Returns whether `consume` was called;
    // when not, the error is the one renderExportImage would give.
    bool streamExportImage(const platform::Rect& rect,
                           const CoreTiledEngine::FullSizeConsumer& consume,
                           platform::Error* error);
    // For an engine whose exports are its last use (a batch): the full-size
    // render then releases the outputs of the stages behind the one it reads,
    // so that they are not resident beside the exported image, and once made
    // the chain's outputs and the source's renderings. Off by default: a
    // later edit would redo those stages (and the decode).
    void setEvictsCachedStagesOnExport(bool evict);

    TiledEngine::Ptr outputImage() const;
    std::shared_ptr<RawCombineTiledEngine> demosaicedImage() const;
    bool getPixelValues(int x, int y, double* values);
    // The engine's address as "%p": the image id of its median and mean stages.
    std::string cacheEngine() const;

    void processStage0();
    std::shared_ptr<RawCombineTiledEngine> processStage1();
    TiledEngine::Ptr processStage2(const TiledEngine::Ptr& source);
    TiledEngine::Ptr processStage3(const TiledEngine::Ptr& source);
    TiledEngine::Ptr processStage4NoCIFilter(const TiledEngine::Ptr& source);
    void newActiveRegion(const TileRegion&) {}

    ImageWrapper::Ptr rawFileWrapper() const;
    platform::Dictionary cameraParameters() const;
    bool highRes() const { return highRes_; }
    platform::Dictionary imageParameters() const;
    std::shared_ptr<ThreadedImageEngineDelegate> delegate() const;
    void setDelegate(std::weak_ptr<ThreadedImageEngineDelegate> delegate);
    ColorSyncProfileWrap::Ptr renderingSpace() const;
    bool isRunning() const;
    bool stage0IsDirty() const;
    bool stagenIsDirty() const;
    bool activeAreaIsDirty() const;
    std::shared_ptr<MedianTiledEngine> medianEngine0() const;
    std::shared_ptr<MedianTiledEngine> medianEngine2() const;
    std::shared_ptr<MeanTiledEngine> meanEngine() const;
    std::shared_ptr<SharpeningTiledEngine> sharpEngine() const;
    std::shared_ptr<CoreTiledEngine> coreEngine() const;
    std::mutex& syncLock() { return syncLock_; }
    // Completed passes of the processing loop since creation (for tests and
    // benchmarks).
    uint64_t completedRuns() const;

private:
    using ExportRender =
        std::function<void(CoreTiledEngine& core, const ColorSyncProfileWrap::Ptr& range)>;
    // Both exports' run, one task of the serial queue: brings the image up
    // to date, hands the output stage to `render` and lets go of what the
    // policy says. What is thrown inside calls `failed` and becomes `error`.
    void runExport(const ExportRender& render, const std::function<void()>& failed,
                   platform::Error* error);
    void runExportNow(const ExportRender& render, platform::Error* error);
    // Runs the loop on the serial queue; with a delegate only when `start`.
    void startProcessing(bool start);
    // invalidateImageStage's bookkeeping: whether a run should start.
    bool markStages(const KeyList& keys, const std::optional<platform::Dictionary>& settings,
                    const platform::Rect& area);
    void processingBlock();
    platform::QueuePtr queue();

    mutable std::mutex syncLock_;
    // Guarded by syncLock_:
    ImageWrapper::Ptr rawFileWrapper_;
    platform::Dictionary cameraParameters_;
    bool highRes_ = false;
    bool evictsCachedStagesOnExport_ = false;
    std::atomic<bool> exportRunning_{false};  // during renderExportImage's run
    platform::Dictionary imageParameters_;
    std::weak_ptr<ThreadedImageEngineDelegate> delegate_;
    ColorSyncProfileWrap::Ptr renderingSpace_;
    // The space whose white an export's colours are kept within, when it is
    // not the rendering space: a DNG holds the picture its JPEG shows, so
    // that developing it again gives that picture.
    ColorSyncProfileWrap::Ptr rangeSpace_;
    bool isRunning_ = false;
    bool stage0IsDirty_ = false;
    bool stagenIsDirty_ = false;
    bool activeAreaIsDirty_ = false;
    // The union of areas handed in since the last pass took them; Rect::null()
    // stands for the whole image.
    std::optional<platform::Rect> pendingArea_;
    platform::Rect lastArea_ = platform::Rect::null();
    TiledEngine::Ptr outputImage_;
    std::shared_ptr<RawCombineTiledEngine> demosaicedImage_;
    std::shared_ptr<MedianTiledEngine> medianEngine0_;
    std::shared_ptr<MedianTiledEngine> medianEngine2_;
    std::shared_ptr<MeanTiledEngine> meanEngine_;
    std::shared_ptr<SharpeningTiledEngine> sharpEngine_;
    std::shared_ptr<CoreTiledEngine> coreEngine_;
    platform::QueuePtr serialQueue_;
    uint64_t completedRuns_ = 0;
    bool decodedSinceBuild_ = false;

    platform::Dictionary stageToKey_;  // built on first use, guarded by syncLock_
};
