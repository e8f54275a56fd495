// The base class of every pipeline stage.
//
// A stage owns a TileMap of 512-pixel tiles over its output, pulls its source
// stage before it works, marks the tiles its source redid (and, when asked,
// their clean neighbours) dirty, chooses an output buffer (its source's,
// worked on in place, or one of its own), and lets one worker block per
// processor claim tiles with try-locks and call the per-tile routine, pass
// after pass.
//
// Neighbours (reprocessEdgeTiles): clean tiles of the region next to a tile
// that is not clean are redone; clean tiles outside the region next to a tile
// the source redid become edge-dirty and wait for a region that holds them.
// A stage working in place behind a source that does this itself does not
// widen again: its input exists only where the source redid tiles, and that
// already covers every tile whose output can change.
//
// Contract for subclasses
// -----------------------
// Override:
//   engineName()             unique name; with idForCache it keys the stage's
//                            buffer in the IntermediateProductCache.
//   processTile(...)         the work on one tile: columns colStart..colEnd-1,
//                            rows rowStart..rowEnd-1 (already trimmed by the
//                            border bands), from srcBuffer into destBuffer
//                            (the same buffer when working in place; srcBuffer
//                            may be null for a first stage). Called once per
//                            tile and pass, from several threads at once for
//                            different tiles; must not throw (an exception is
//                            caught, recorded as the run's error and the tile
//                            stays dirty).
//   processEdge(...)         the same for the border bands (verticalBorder
//                            rows at top and bottom, horizontalBorder columns
//                            left and right) when ignoreEdges is NO; run once
//                            after creation and after each markAllDirty.
//   processTileInPhase(...)  for filters that read across tile edges while
//                            neighbours are written: with tilePhases() == 2
//                            every pass runs phase 0 over all tiles, waits
//                            (a barrier), then phase 1. The default forwards
//                            phase 0 to processTile.
//   renderArea(...)          for filters whose output a later stage working
//                            in place overwrites: the output over an area
//                            computed again from the source, so that such a
//                            stage can redo a tile whose neighbours it does
//                            not redo (see sourceOutputInRun).
//   setParameters(...)       read the keys the stage cares about, call
//                            markAllDirty when they changed, and call the base
//                            version (which forwards to the source).
//   runProcessToCompletion() only to wrap (or, for the output stage, replace)
//                            the base run.
//   getPixelValues / imageTile / getThumbnail: optional capabilities.
// Set in the constructor or by the owner before a run: borders, ignoreEdges,
// reprocessEdgeTiles, numberOfPasses, tilePhases (and workerCount in tests
// and benchmarks).
//
// Ownership: a stage owns its source stage (until released with
// shouldReleasePrecursors), its map and, without an idForCache, its own
// output buffer; with an idForCache the buffer lives in the intermediate
// cache and may be evicted, which makes the next run redo every tile. The
// delegate is held weakly.
//
// Threads and locks: runs are driven from one thread at a time (the
// engine's serial queue). Lock order within a run: source stages first, then
// the source buffer's lock, this map's tileLock (preparation only), the
// destination buffer's lock (both buffer locks held for the whole run), and
// per-tile locks taken with try-lock only. A TileProcess's lock is a leaf:
// taken under none of these (a source's dirty list is read before the
// tileLock) and holding none. markAllDirty, setParameters, the
// flag setters and the accessors are safe from any thread during a run.
#pragma once

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "color/ColorSyncProfileWrap.h"
#include "engine/CGImageBitMap.h"
#include "engine/ImageBuffer.h"
#include "engine/PixelPatch.h"
#include "engine/ReadWriteLock.h"
#include "engine/TileMap.h"
#include "engine/TileProcess.h"
#include "platform/Locks.h"
#include "platform/Value.h"

class TiledEngine;

class QuorvexTiledEngineDelegate {
public:
    virtual ~QuorvexTiledEngineDelegate() = default;
    virtual void engineActiveRectDirty(TiledEngine& stage) = 0;
};

class TiledEngine {
public:
    using Ptr = std::shared_ptr<TiledEngine>;

    // The reason of every run or render that failed for want of memory.
    static constexpr const char* kNoMemoryForOutput =
        "There is not enough memory to develop the image.";

    // A first stage of the given size (whole pixels up to 65535 on each side;
    // a stage of another size makes no buffer and processes nothing).
    TiledEngine(platform::Size size, std::optional<std::string> imageID, bool releasePrecursors);
    // A stage fed by `source`, of the source's size.
    TiledEngine(Ptr source, std::optional<std::string> imageID, bool releasePrecursors);
    virtual ~TiledEngine();
    TiledEngine(const TiledEngine&) = delete;
    TiledEngine& operator=(const TiledEngine&) = delete;

    // Null for a size that does not fit a buffer.
    static Ptr initWithSize(platform::Size size, std::optional<std::string> imageID,
                            bool releasePrecursors);
    static Ptr initWithImage(Ptr source, std::optional<std::string> imageID,
                             bool releasePrecursors);

    virtual std::string engineName() const;
    virtual void setParameters(const std::optional<std::string>& key,
                               const platform::Dictionary& parameters);

    // Runs the source chain and then this stage over the region; the
    // returned process's buffer holds the output.
    virtual std::shared_ptr<TileProcess> runProcessToCompletion(const TileRegion& region);
    std::shared_ptr<TileProcess> prepareBuffers(const TileRegion& region,
                                                const std::shared_ptr<TileProcess>& prevProcess);

    virtual void processTile(int colStart, int colEnd, int rowStart, int rowEnd,
                             ImageBuffer* srcBuffer, ImageBuffer* destBuffer, int pass);
    virtual void processEdge(int colStart, int colEnd, int rowStart, int rowEnd,
                             ImageBuffer* srcBuffer, ImageBuffer* destBuffer, int pass);
    virtual void processTileInPhase(int phase, int colStart, int colEnd, int rowStart, int rowEnd,
                                    ImageBuffer* srcBuffer, ImageBuffer* destBuffer, int pass);

    void markAllDirty();

    // Whether the last run chose tile (x, y) to process.
    bool tileRanInLastRun(int x, int y) const;
    // This stage's output over the patch's area, computed anew from its
    // source instead of read from a buffer that later stages may have
    // changed in place since. False when the stage cannot (the base class
    // cannot). Safe from several threads at once while the stage is not
    // running.
    virtual bool renderArea(PixelPatch& out);
    // The source's output over columns c0..c1-1 and rows r0..r1-1 (clipped
    // to the patch) as it stood when this run began, for a tile routine
    // given `src` and `dest`: read from `src` where it still holds that,
    // computed by the source stage where this stage works in place and the
    // source did not redo the tile in its last run (the buffer then holds
    // this stage's own earlier output). Call it only for pixels no tile of
    // this run has written yet.
    void sourceOutputInRun(PixelPatch& patch, int c0, int c1, int r0, int r1, ImageBuffer* src,
                           ImageBuffer* dest);
    // The same between runs (for renderArea): from the buffer the last run
    // read when it did not work in place, else from the source stage. False
    // when neither can give it.
    bool sourceOutputBetweenRuns(PixelPatch& patch, int c0, int c1, int r0, int r1);

    bool getPixelValues(int col, int row, double* values);
    virtual bool getPixelValues(int col, int row, int patchSize, double* values);
    virtual std::shared_ptr<CGImageBitMap> imageTile(int resolution, double scale,
                                                     const platform::Rect& rect,
                                                     const ColorSyncProfileWrap::Ptr& destProfile,
                                                     bool* tileIsThumbnail, bool createFloat,
                                                     int orientation);
    virtual std::shared_ptr<ImageBuffer> getThumbnail(bool highQuality);
    std::shared_ptr<const platform::BitmapImage> createThumbnailCGImage(bool highQuality);

    std::shared_ptr<ImageBuffer> localOutputBuffer();
    void setLocalOutputBuffer(std::shared_ptr<ImageBuffer> buffer);
    void flushCache();
    // Lets go of the output buffers of this stage and of its sources (cached
    // ones are evicted, own ones dropped): their next run redoes every tile.
    // For a caller that no longer reads them, so that they need not stay
    // resident.
    virtual void releaseOutputs();

    static void copyTile(int colStart, int colEnd, int rowStart, int rowEnd,
                         ImageBuffer* fromBuffer, ImageBuffer* toBuffer);
    // YES when the number differs from b by less than three float epsilons.
    static bool compareFloat(const platform::Value& number, float b);

    platform::Rect extent() const;

    // Stable identity of this stage (never reused within the process).
    StageId stageId() const { return stageId_; }
    Ptr sourceBuf() const;
    std::shared_ptr<QuorvexTiledEngineDelegate> delegate() const;
    void setDelegate(std::weak_ptr<QuorvexTiledEngineDelegate> delegate);
    int verticalBorder() const { return verticalBorder_; }
    void setVerticalBorder(int v) { verticalBorder_ = v; }
    int horizontalBorder() const { return horizontalBorder_; }
    void setHorizontalBorder(int v) { horizontalBorder_ = v; }
    bool ignoreEdges() const { return ignoreEdges_; }
    void setIgnoreEdges(bool v) { ignoreEdges_ = v; }
    bool reprocessEdgeTiles() const { return reprocessEdgeTiles_; }
    void setReprocessEdgeTiles(bool v) { reprocessEdgeTiles_ = v; }
    bool isCanceled() const { return isCanceled_; }
    void setIsCanceled(bool v) { isCanceled_ = v; }
    bool edgesDone() const { return edgesDone_; }
    bool allTilesDirty() const { return allTilesDirty_; }
    platform::Size outputSize() const { return outputSize_; }
    int engineMode() const { return engineMode_; }
    void setEngineMode(int v) { engineMode_ = v; }
    int numberOfPasses() const { return numberOfPasses_; }
    void setNumberOfPasses(int v) { numberOfPasses_ = v < 1 ? 1 : v; }
    int tilePhases() const { return tilePhases_; }
    void setTilePhases(int v) { tilePhases_ = v < 1 ? 1 : (v > 2 ? 2 : v); }
    // Worker blocks per pass; 0 (the default) means one per processor.
    // Results must not depend on it.
    int workerCount() const { return workerCount_; }
    void setWorkerCount(int n) { workerCount_ = n < 0 ? 0 : n; }
    // After a run that succeeded out of place, release the sources' outputs
    // (releaseOutputs): for a chain whose earlier outputs no later run needs.
    // A stage whose run only hands its source's pixels on takes the source's
    // buffer over instead, when it covers every tile and the source's
    // outputs go after the run anyway: no copy of the picture is made.
    bool releasesSourceOutputs() const { return releasesSourceOutputs_; }
    void setReleasesSourceOutputs(bool release) { releasesSourceOutputs_ = release; }
    // Whether a run leaves its output equal to its input (a filter set to no
    // passes). False in the base class.
    virtual bool passesSourceThrough() const { return false; }
    // For a chain whose runs cover the whole image (a batch): a fresh output
    // buffer is then written in full before anything reads it, so a run over
    // every tile takes it uncleared.
    void setClearsFreshBuffers(bool clear) { clearsFreshBuffers_ = clear; }
    // Called on the running thread at the end of every run, with whether the
    // run succeeded and left every tile clean: for what nothing but this
    // stage reads (a batch's decoded renderings once they are combined).
    void setRunFinishedHandler(std::function<void(bool wholeImageClean)> handler);
    bool cachedImageIsDirty() const { return cachedImageIsDirty_; }
    void setCachedImageIsDirty(bool v) { cachedImageIsDirty_ = v; }
    const std::shared_ptr<TileMap>& mainMap() const { return mainMap_; }
    std::optional<std::string> idForCache() const;
    void setIdForCache(std::optional<std::string> id);
    bool shouldReleasePrecursors() const { return shouldReleasePrecursors_; }
    ReadWriteLock& cacheLock();
    // Rendered images kept by subclasses; guard with cacheLock().
    std::map<std::string, std::shared_ptr<void>>& cachedImages() { return cachedImages_; }
    // Keys for subclasses' use.
    platform::Dictionary& stageToKey() { return stageToKey_; }
    // The first error of the last run: its source's, else the first one a
    // worker reported; empty when none. The run's TileProcess carries it too,
    // and its buffer is then valid nowhere.
    std::string lastRunError() const;
    // Tiles (times passes and phases) handed to processTile since creation.
    uint64_t processedTileCount() const { return processedTiles_; }

protected:
    // One phase of one pass of worker blocks over the tiles, joined before it
    // returns; tiles become clean after the last step.
    void runTileStep(const TileRegion& region, const std::shared_ptr<TileProcess>& dest,
                     ImageBuffer* src, int pass, int phase, int phases, bool lastStep);
    void runEdgePasses(const std::shared_ptr<TileProcess>& dest, ImageBuffer* src);
    // Replaces the last run's error (for stages that run their own way).
    void setRunError(const std::string& what);

private:
    void setupObject(std::optional<std::string> imageID, bool releasePrecursors);
    std::string cacheKey() const;
    // `step` (pass x phases + phase) marks a tile as taken in this step.
    void workOnTiles(const TileRegion& region, ImageBuffer* src, ImageBuffer* dest, int pass,
                     int phase, int step, bool lastStep);
    // Keeps the run's first error; never throws (it reports from catch
    // handlers): short of memory it keeps "not enough memory" instead.
    void recordError(const char* what) noexcept;
    bool regionIsClean(const TileRegion& region) const;
    bool coversEveryTile(const TileRegion& region) const;
    // Clean tiles of the region next to a not-clean one (any of the eight
    // neighbours, judged before any marking) become edge-dirty.
    void markEdgeTiles(const TileRegion& region);
    // Clean tiles outside the region next to a tile the source redid become
    // edge-dirty: they were made from what the source had there before.
    void markNeighboursOutside(const TileRegion& region,
                               const std::vector<std::pair<int, int>>& redone);

    const StageId stageId_;
    mutable std::mutex mutex_;  // guards source_, delegate_, idForCache_, ownBuffer_, lastError_
    Ptr source_;
    std::weak_ptr<QuorvexTiledEngineDelegate> delegate_;
    std::shared_ptr<ImageBuffer> localOutputBuffer_;
    std::atomic<int> verticalBorder_{0};
    std::atomic<int> horizontalBorder_{0};
    std::atomic<bool> ignoreEdges_{true};
    std::atomic<bool> reprocessEdgeTiles_{false};
    std::atomic<bool> isCanceled_{false};
    std::atomic<bool> edgesDone_{false};
    std::atomic<bool> allTilesDirty_{false};
    platform::Size outputSize_;
    platform::Dictionary stageToKey_;
    std::atomic<int> engineMode_{0};
    std::atomic<int> numberOfPasses_{1};
    std::atomic<int> tilePhases_{1};
    std::atomic<int> workerCount_{0};
    std::atomic<bool> releasesSourceOutputs_{false};
    bool tookOverSourceBuffer_ = false;      // by the run in progress (its thread only)
    std::function<void(bool)> runFinished_;  // guarded by mutex_
    std::atomic<bool> clearsFreshBuffers_{true};
    std::map<std::string, std::shared_ptr<void>> cachedImages_;
    platform::OnceFlag cacheLockOnce_;
    std::unique_ptr<ReadWriteLock> cacheLock_;
    std::atomic<bool> cachedImageIsDirty_{false};
    std::atomic<uint64_t> processedTiles_{0};
    std::shared_ptr<TileMap> mainMap_;
    std::optional<std::string> idForCache_;
    bool shouldReleasePrecursors_ = false;
    std::string lastError_;
    bool lastErrorIsNoMemory_ = false;  // a first error that could not be copied
    // Guarded by mutex_: what the last run did, for tileRanInLastRun and
    // sourceOutputBetweenRuns.
    std::shared_ptr<const std::vector<uint8_t>> ranTiles_;
    bool lastRunInPlace_ = false;
    std::weak_ptr<ImageBuffer> lastSourceBuffer_;
};
