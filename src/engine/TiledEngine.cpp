#include "engine/TiledEngine.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <exception>
#include <new>
#include <vector>

#include "engine/IntermediateProductCache.h"
#include "engine/QueueEngine.h"
#include "platform/Locks.h"
#include "platform/Log.h"

using platform::Rect;
using platform::Size;

namespace {

std::atomic<StageId> nextStageId{1};

}  // namespace

TiledEngine::TiledEngine(Size size, std::optional<std::string> imageID, bool releasePrecursors)
    : stageId_(nextStageId.fetch_add(1)), outputSize_(size) {
    setupObject(std::move(imageID), releasePrecursors);
}

TiledEngine::TiledEngine(Ptr source, std::optional<std::string> imageID, bool releasePrecursors)
    : stageId_(nextStageId.fetch_add(1)), source_(std::move(source)) {
    if (source_) outputSize_ = source_->outputSize();
    setupObject(std::move(imageID), releasePrecursors);
}

TiledEngine::~TiledEngine() = default;

TiledEngine::Ptr TiledEngine::initWithSize(Size size, std::optional<std::string> imageID,
                                           bool releasePrecursors) {
    if (!ImageBuffer::sizeFits(size)) return nullptr;
    return std::make_shared<TiledEngine>(size, std::move(imageID), releasePrecursors);
}

TiledEngine::Ptr TiledEngine::initWithImage(Ptr source, std::optional<std::string> imageID,
                                            bool releasePrecursors) {
    return std::make_shared<TiledEngine>(std::move(source), std::move(imageID), releasePrecursors);
}

void TiledEngine::setupObject(std::optional<std::string> imageID, bool releasePrecursors) {
    // A size no buffer can hold gets an empty map rather than a huge one.
    mainMap_ = std::make_shared<TileMap>(ImageBuffer::sizeFits(outputSize_) ? outputSize_ : Size{});
    verticalBorder_ = 0;
    horizontalBorder_ = 0;
    ignoreEdges_ = true;
    reprocessEdgeTiles_ = false;
    edgesDone_ = false;
    numberOfPasses_ = 1;
    cacheLock();
    idForCache_ = std::move(imageID);
    shouldReleasePrecursors_ = releasePrecursors;
}

std::string TiledEngine::engineName() const { return "QuorvexDefaultEngine"; }

void TiledEngine::setParameters(const std::optional<std::string>& key,
                                const platform::Dictionary& parameters) {
    if (auto source = sourceBuf()) source->setParameters(key, parameters);
}

// ---------------------------------------------------------------------------
// The run

std::shared_ptr<TileProcess> TiledEngine::runProcessToCompletion(const TileRegion& region) {
    std::shared_ptr<TileProcess> src;
    if (auto source = sourceBuf()) src = source->runProcessToCompletion(region);
    auto dest = prepareBuffers(region, src);
    auto srcBuffer = src ? src->buffer() : nullptr;
    auto destBuffer = dest->buffer();
    if (srcBuffer) srcBuffer->lock(stageId_);
    if (destBuffer) destBuffer->lock(stageId_);
    if (!dest->dispatchGroup()) dest->setDispatchGroup(std::make_shared<platform::DispatchGroup>());
    {
        auto ran = std::make_shared<std::vector<uint8_t>>();
        if (destBuffer && mainMap_) {
            const auto trackers = mainMap_->tileMap();
            const int xTiles = mainMap_->xTiles();
            ran->resize(trackers->size());
            for (size_t i = 0; i < trackers->size(); ++i)
                (*ran)[i] = region.contains(int(i % size_t(xTiles)), int(i / size_t(xTiles))) &&
                            (*trackers)[i]->state() != tileIsClean;
        }
        std::lock_guard<std::mutex> guard(mutex_);
        // Without its output buffer the stage has nothing to show for the run.
        lastError_ = destBuffer ? std::string() : dest->error();
        lastErrorIsNoMemory_ = false;
        ranTiles_ = std::move(ran);
        lastRunInPlace_ = srcBuffer && srcBuffer == destBuffer;
        lastSourceBuffer_ = srcBuffer;
    }
    if (destBuffer) {
        if (!ignoreEdges_ && !edgesDone_) runEdgePasses(dest, srcBuffer.get());
        const int passes = numberOfPasses_, phases = tilePhases_;
        for (int p = 0; p < passes; ++p)
            for (int phase = 0; phase < phases; ++phase)
                runTileStep(region, dest, srcBuffer.get(), p, phase, phases,
                            p == passes - 1 && phase == phases - 1);
    }
    if (!dest->dirtyList().empty()) cachedImageIsDirty_ = true;
    // A source's failure came first; what this stage made from its stale
    // tiles is no better.
    const std::string sourceError = src ? src->error() : std::string();
    if (!sourceError.empty()) setRunError(sourceError);
    const std::string failure = lastRunError();
    dest->setError(failure);
    if (destBuffer)
        destBuffer->setValidRegion(mainMap_ && failure.empty() && regionIsClean(region)
                                       ? mainMap_->rectForRegion(region)
                                       : Rect::null());
    if (srcBuffer) srcBuffer->unlock(stageId_);
    if (src) src->setBuffer(nullptr);
    if (destBuffer) destBuffer->unlock(stageId_);
    if (releasesSourceOutputs_ && failure.empty() && srcBuffer && destBuffer &&
        (srcBuffer != destBuffer || tookOverSourceBuffer_)) {
        srcBuffer.reset();
        if (auto source = sourceBuf()) source->releaseOutputs();
    }
    if (shouldReleasePrecursors_) {
        std::lock_guard<std::mutex> guard(mutex_);
        source_.reset();
    }
    std::function<void(bool)> finished;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        finished = runFinished_;
    }
    if (finished) finished(destBuffer && failure.empty() && mainMap_ && mainMap_->isClean());
    return dest;
}

void TiledEngine::setRunFinishedHandler(std::function<void(bool)> handler) {
    std::lock_guard<std::mutex> guard(mutex_);
    runFinished_ = std::move(handler);
}

namespace {

// Work that cannot be queued (memory short) runs here: the run must not go
// on, or end, while queued work still uses its buffers.
template <class Work>
void runOrQueue(platform::DispatchGroup* group, const platform::QueuePtr& queue, const Work& work) {
    if (group) {
        try {
            group->async(queue, platform::Task(work));
            return;
        } catch (const std::bad_alloc&) {
        }
    }
    work();
}

}  // namespace

void TiledEngine::runTileStep(const TileRegion& region, const std::shared_ptr<TileProcess>& dest,
                              ImageBuffer* src, int pass, int phase, int phases, bool lastStep) {
    auto group = dest->dispatchGroup();
    ImageBuffer* out = dest->buffer().get();
    auto& queues = QueueEngine::sharedQueueEngine();
    const uint64_t workers = workerCount_ > 0
                                 ? uint64_t(workerCount_)
                                 : std::max<uint64_t>(1, queues.optimalNumberOfTasks());
    auto queue = queues.sharedQueue();
    for (uint64_t w = 0; w < workers; ++w) {
        auto work = [this, region, src, out, pass, phase, phases, lastStep] {
            workOnTiles(region, src, out, pass, phase, pass * phases + phase, lastStep);
        };
        runOrQueue(group.get(), queue, work);
    }
    if (group) group->wait();
}

void TiledEngine::workOnTiles(const TileRegion& region, ImageBuffer* src, ImageBuffer* dest,
                              int pass, int phase, int step, bool lastStep) {
    if (!mainMap_ || !dest) return;
    const auto trackers = mainMap_->tileMap();
    const int xTiles = mainMap_->xTiles(), yTiles = mainMap_->yTiles();
    const double W = dest->imageWidth(), H = dest->imageHeight();
    const double hb = horizontalBorder_, vb = verticalBorder_;
    for (int y = 0; y < yTiles; ++y)
        for (int x = 0; x < xTiles; ++x) {
            const size_t index = size_t(y) * size_t(xTiles) + size_t(x);
            if (index >= trackers->size()) return;
            TileTracker& t = *(*trackers)[index];
            if (!t.lock().try_lock()) continue;  // another worker has it
            std::lock_guard<std::recursive_mutex> held(t.lock(), std::adopt_lock);
            if (!region.contains(x, y) || t.state() == tileIsClean || t.passTrack() == step)
                continue;
            t.setPassTrack(step);
            const Rect L = t.location();
            const int c0 = int(std::max(hb, L.x)), c1 = int(std::min(L.x + L.width, W - hb));
            const int r0 = int(std::max(vb, L.y)), r1 = int(std::min(L.y + L.height, H - vb));
            if (isCanceled_) continue;
            bool ok = true;
            try {
                processTileInPhase(phase, c0, c1, r0, r1, src, dest, pass);
                ++processedTiles_;
            } catch (const std::bad_alloc&) {
                recordError(kNoMemoryForOutput);
                ok = false;
            } catch (const std::exception& e) {
                recordError(e.what());
                ok = false;
            } catch (...) {
                recordError("unknown exception in processTile");
                ok = false;
            }
            if (isCanceled_ || !ok)
                t.setState(tileIsDirty);
            else if (lastStep)
                t.setState(tileIsClean);
        }
}

void TiledEngine::runEdgePasses(const std::shared_ptr<TileProcess>& dest, ImageBuffer* src) {
    ImageBuffer* out = dest->buffer().get();
    if (!out) return;
    auto group = dest->dispatchGroup();
    auto queue = QueueEngine::sharedQueueEngine().sharedQueue();
    const int W = out->imageWidth(), H = out->imageHeight();
    const int vb = std::clamp(int(verticalBorder_), 0, H),
              hb = std::clamp(int(horizontalBorder_), 0, W);
    struct Band {
        int c0, c1, r0, r1;
    };
    std::vector<Band> bands;
    if (vb > 0) {
        bands.push_back({0, W, 0, vb});
        bands.push_back({0, W, std::max(vb, H - vb), H});
    }
    if (hb > 0 && H - vb > vb) {
        bands.push_back({0, hb, vb, H - vb});
        bands.push_back({std::max(hb, W - hb), W, vb, H - vb});
    }
    const int passes = numberOfPasses_;
    for (int p = 0; p < passes; ++p) {
        for (const Band& b : bands) {
            auto work = [this, b, src, out, p] {
                try {
                    processEdge(b.c0, b.c1, b.r0, b.r1, src, out, p);
                } catch (const std::bad_alloc&) {
                    recordError(kNoMemoryForOutput);
                } catch (const std::exception& e) {
                    recordError(e.what());
                } catch (...) {
                    recordError("unknown exception in processEdge");
                }
            };
            runOrQueue(group.get(), queue, work);
        }
        if (group) group->wait();
    }
    // A failed band is tried again on the next run.
    edgesDone_ = lastRunError().empty();
}

std::shared_ptr<TileProcess> TiledEngine::prepareBuffers(
    const TileRegion& region, const std::shared_ptr<TileProcess>& prevProcess) {
    auto srcBuffer = prevProcess ? prevProcess->buffer() : nullptr;
    if (srcBuffer) srcBuffer->lock(stageId_);
    auto dest = std::make_shared<TileProcess>();
    bool inPlace = srcBuffer && !srcBuffer->testReadOnlyAndAddtoEngineList(stageId_);
    tookOverSourceBuffer_ = false;
    if (srcBuffer && !inPlace && releasesSourceOutputs_ && passesSourceThrough() &&
        coversEveryTile(region)) {
        // Its owner lets it go after this run: the stages after this one may
        // work on it in place as on a buffer of this stage's own.
        srcBuffer->setBufferOwner(kNoStage);
        inPlace = tookOverSourceBuffer_ = !srcBuffer->testReadOnlyAndAddtoEngineList(stageId_);
    }
    // Working in place, a stage has its input only where its source redid
    // tiles. Behind a source that redoes neighbours itself, that already
    // covers every tile whose output can change: the halos of such filters
    // together stay far within one tile.
    const auto source = sourceBuf();
    const bool markNeighbours =
        reprocessEdgeTiles_ && !(inPlace && source && source->reprocessEdgeTiles());
    // Read before the tile lock: a process's lock is never taken under it.
    const TileMap::Trackers sourceRedid =
        prevProcess ? prevProcess->dirtyList() : TileMap::Trackers();
    {
        std::lock_guard<std::recursive_mutex> guard(mainMap_->tileLock());
        const auto trackers = mainMap_->tileMap();
        if (allTilesDirty_.exchange(false)) {
            for (const auto& t : *trackers) {
                t->setState(tileIsDirty);
                t->setPassTrack(-1);
            }
        } else {
            // What the source redid first, so that their neighbours see it.
            std::vector<std::pair<int, int>> redone;
            for (const auto& s : sourceRedid) {
                const Rect L = s->location();
                const int x = int(std::max(0.0, L.x / TileMap::kTileSize));
                const int y = int(std::max(0.0, L.y / TileMap::kTileSize));
                auto own = mainMap_->getTileTracker(x, y);
                if (!own) continue;
                own->setState(tileIsDirty);
                own->setPassTrack(-1);
                if (s->state() == tileIsClean) redone.emplace_back(x, y);
            }
            if (markNeighbours) {
                markEdgeTiles(region);
                markNeighboursOutside(region, redone);
            }
        }
        // Nothing is taken yet in this run.
        for (const auto& t : *trackers)
            if (t->state() != tileIsClean) t->setPassTrack(-1);
    }

    std::shared_ptr<ImageBuffer> out;
    if (inPlace) {
        out = srcBuffer;
    } else {
        out = localOutputBuffer();
        if (!out) {
            if (!ImageBuffer::sizeFits(outputSize_)) {
                platform::log("%s image size %g x %g does not fit a buffer", engineName().c_str(),
                              outputSize_.width, outputSize_.height);
            } else {
                const auto w = uint16_t(outputSize_.width), h = uint16_t(outputSize_.height);
                auto profile = srcBuffer ? srcBuffer->bufferProfile() : nullptr;
                const bool isFloat = srcBuffer && srcBuffer->isFloat();
                std::shared_ptr<FileBackedFactoryNSData> block;
                if (!clearsFreshBuffers_ && coversEveryTile(region))
                    block = FileBackedFactoryNSData::initUnclearedWithSize(uint64_t(w) * h *
                                                                           (isFloat ? 16 : 8));
                if (isFloat)
                    out = ImageBufferF32::initWithSize(w, h, block, profile);
                else
                    out = ImageBufferU16::initWithSize(w, h, block, profile);
            }
            if (!out) dest->setError(kNoMemoryForOutput);
            if (out) {
                // A fresh buffer has neither tiles nor edge bands.
                mainMap_->resetTiles();
                edgesDone_ = false;
                setLocalOutputBuffer(out);
            }
        }
    }
    dest->setBuffer(out);
    // Taken after any reset, so a fresh buffer hands on every tile.
    dest->setDirtyList(mainMap_->dirtyList());
    if (srcBuffer) srcBuffer->unlock(stageId_);
    return dest;
}

bool TiledEngine::coversEveryTile(const TileRegion& region) const {
    return region.allTiles() ||
           (region.xMin <= 0 && region.yMin <= 0 && region.xMax >= mainMap_->xTiles() - 1 &&
            region.yMax >= mainMap_->yTiles() - 1);
}

void TiledEngine::markEdgeTiles(const TileRegion& region) {
    const int X = mainMap_->xTiles(), Y = mainMap_->yTiles();
    const int x0 = region.allTiles() ? 0 : std::max(region.xMin, 0);
    const int x1 = region.allTiles() ? X - 1 : std::min(region.xMax, X - 1);
    const int y0 = region.allTiles() ? 0 : std::max(region.yMin, 0);
    const int y1 = region.allTiles() ? Y - 1 : std::min(region.yMax, Y - 1);
    if (x1 < x0 || y1 < y0) return;
    std::vector<int> before(size_t(X) * size_t(Y), tileIsClean);
    for (int y = y0; y <= y1; ++y)
        for (int x = x0; x <= x1; ++x)
            if (auto t = mainMap_->getTileTracker(x, y)) before[size_t(y) * X + x] = t->state();
    for (int y = y0; y <= y1; ++y)
        for (int x = x0; x <= x1; ++x) {
            if (before[size_t(y) * X + x] != tileIsClean) continue;
            bool nextToWork = false;
            for (int dy = -1; dy <= 1 && !nextToWork; ++dy)
                for (int dx = -1; dx <= 1 && !nextToWork; ++dx) {
                    const int nx = x + dx, ny = y + dy;
                    if ((dx || dy) && nx >= x0 && nx <= x1 && ny >= y0 && ny <= y1)
                        nextToWork = before[size_t(ny) * X + nx] != tileIsClean;
                }
            if (!nextToWork) continue;
            auto t = mainMap_->getTileTracker(x, y);
            t->setState(tileIsEdgeDirty);
            t->setPassTrack(-1);
        }
}

void TiledEngine::markNeighboursOutside(const TileRegion& region,
                                        const std::vector<std::pair<int, int>>& redone) {
    for (const auto& [x, y] : redone)
        for (int dy = -1; dy <= 1; ++dy)
            for (int dx = -1; dx <= 1; ++dx) {
                if (region.contains(x + dx, y + dy)) continue;
                auto t = mainMap_->getTileTracker(x + dx, y + dy);
                if (!t || t->state() != tileIsClean) continue;
                t->setState(tileIsEdgeDirty);
                t->setPassTrack(-1);
            }
}

// ---------------------------------------------------------------------------
// Input of filters that work in place

bool TiledEngine::tileRanInLastRun(int x, int y) const {
    std::shared_ptr<const std::vector<uint8_t>> ran;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        ran = ranTiles_;
    }
    if (!ran || x < 0 || y < 0 || x >= mainMap_->xTiles()) return false;
    const size_t i = size_t(y) * size_t(mainMap_->xTiles()) + size_t(x);
    return i < ran->size() && (*ran)[i];
}

bool TiledEngine::renderArea(PixelPatch&) { return false; }

void TiledEngine::sourceOutputInRun(PixelPatch& patch, int c0, int c1, int r0, int r1,
                                    ImageBuffer* src, ImageBuffer* dest) {
    c0 = std::max(c0, patch.colStart);
    c1 = std::min(c1, patch.colEnd);
    r0 = std::max(r0, patch.rowStart);
    r1 = std::min(r1, patch.rowEnd);
    if (!src || c0 >= c1 || r0 >= r1) return;
    const auto source = sourceBuf();
    if (src != dest || !source) {
        patch.copyFrom(*src, c0, c1, r0, r1);
        return;
    }
    constexpr int T = TileMap::kTileSize;
    for (int ty = r0 / T; ty * T < r1; ++ty)
        for (int tx = c0 / T; tx * T < c1; ++tx) {
            const int pc0 = std::max(c0, tx * T), pc1 = std::min(c1, tx * T + T);
            const int pr0 = std::max(r0, ty * T), pr1 = std::min(r1, ty * T + T);
            if (!source->tileRanInLastRun(tx, ty)) {
                PixelPatch part(pc0, pc1, pr0, pr1);
                if (source->renderArea(part)) {
                    patch.copyFrom(part);
                    continue;
                }
            }
            // Redone by the source in this run (or nothing better to be had).
            patch.copyFrom(*src, pc0, pc1, pr0, pr1);
        }
}

bool TiledEngine::sourceOutputBetweenRuns(PixelPatch& patch, int c0, int c1, int r0, int r1) {
    bool inPlace;
    std::shared_ptr<ImageBuffer> buffer;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        if (!ranTiles_) return false;  // never ran
        inPlace = lastRunInPlace_;
        buffer = lastSourceBuffer_.lock();
    }
    if (!inPlace) return buffer && patch.copyFrom(*buffer, c0, c1, r0, r1);
    const auto source = sourceBuf();
    if (!source) return false;
    PixelPatch part(std::max(c0, patch.colStart), std::min(c1, patch.colEnd),
                    std::max(r0, patch.rowStart), std::min(r1, patch.rowEnd));
    if (!part.empty() && !source->renderArea(part)) return false;
    patch.copyFrom(part);
    return true;
}

// ---------------------------------------------------------------------------
// Per-tile work of the base class: nothing but a trace.

void TiledEngine::processTile(int colStart, int colEnd, int rowStart, int rowEnd, ImageBuffer*,
                              ImageBuffer*, int) {
    platform::log("%s %i %i %i %i",
                  "-[TiledEngine processTile:colEnd:rowStart:rowEnd:srcBuffer:"
                  "destBuffer:pass:]",
                  colStart, colEnd, rowStart, rowEnd);
}

void TiledEngine::processEdge(int colStart, int colEnd, int rowStart, int rowEnd, ImageBuffer*,
                              ImageBuffer*, int) {
    platform::log("%s %i %i %i %i",
                  "-[TiledEngine processEdge:colEnd:rowStart:rowEnd:srcBuffer:"
                  "destBuffer:pass:]",
                  colStart, colEnd, rowStart, rowEnd);
}

void TiledEngine::processTileInPhase(int phase, int colStart, int colEnd, int rowStart, int rowEnd,
                                     ImageBuffer* srcBuffer, ImageBuffer* destBuffer, int pass) {
    if (phase == 0) processTile(colStart, colEnd, rowStart, rowEnd, srcBuffer, destBuffer, pass);
}

void TiledEngine::markAllDirty() {
    std::lock_guard<std::recursive_mutex> guard(mainMap_->tileLock());
    cachedImageIsDirty_ = true;
    edgesDone_ = false;
    allTilesDirty_ = true;
}

// ---------------------------------------------------------------------------
// Capabilities subclasses may add

bool TiledEngine::getPixelValues(int col, int row, double* values) {
    return getPixelValues(col, row, 1, values);
}

bool TiledEngine::getPixelValues(int, int, int, double*) {
    platform::log(">>>>>>>>>> ERROR %s engine not getPixelValues capable", engineName().c_str());
    return false;
}

std::shared_ptr<CGImageBitMap> TiledEngine::imageTile(int, double, const Rect&,
                                                      const ColorSyncProfileWrap::Ptr&, bool*, bool,
                                                      int) {
    platform::log(">>>>>>>>>> ERROR %s engine not tile capable", engineName().c_str());
    return nullptr;
}

std::shared_ptr<ImageBuffer> TiledEngine::getThumbnail(bool highQuality) {
    auto source = sourceBuf();
    return source ? source->getThumbnail(highQuality) : nullptr;
}

std::shared_ptr<const platform::BitmapImage> TiledEngine::createThumbnailCGImage(bool highQuality) {
    auto thumbnail = getThumbnail(highQuality);
    if (!thumbnail) return nullptr;
    auto bitmap = thumbnail->getCGImageBitMapWithOrientation(0);
    return bitmap ? bitmap->getImageRef() : nullptr;
}

// ---------------------------------------------------------------------------
// Own buffer and the intermediate cache

std::string TiledEngine::cacheKey() const { return idForCache_.value_or("") + engineName(); }

std::shared_ptr<ImageBuffer> TiledEngine::localOutputBuffer() {
    std::lock_guard<std::mutex> guard(mutex_);
    // A released chain cannot refill a buffer, so one kept here wins.
    if (localOutputBuffer_ || !idForCache_) return localOutputBuffer_;
    return IntermediateProductCache::sharedIntermediateProductCache().retrieveItemAs<ImageBuffer>(
        cacheKey());
}

void TiledEngine::setLocalOutputBuffer(std::shared_ptr<ImageBuffer> buffer) {
    std::lock_guard<std::mutex> guard(mutex_);
    if (idForCache_ && !shouldReleasePrecursors_)
        IntermediateProductCache::sharedIntermediateProductCache().cacheItem(buffer, cacheKey());
    else
        localOutputBuffer_ = std::move(buffer);
}

void TiledEngine::flushCache() {
    if (auto source = sourceBuf()) source->flushCache();
    std::lock_guard<std::mutex> guard(mutex_);
    if (!idForCache_) return;
    IntermediateProductCache::sharedIntermediateProductCache().cacheItem(nullptr, cacheKey());
    idForCache_.reset();
}

void TiledEngine::releaseOutputs() {
    if (auto source = sourceBuf()) source->releaseOutputs();
    // Whatever this stage made lived in the buffers let go of here.
    mainMap_->resetTiles();
    std::lock_guard<std::mutex> guard(mutex_);
    localOutputBuffer_.reset();
    if (idForCache_)
        IntermediateProductCache::sharedIntermediateProductCache().removeItem(cacheKey());
}

// ---------------------------------------------------------------------------

void TiledEngine::copyTile(int colStart, int colEnd, int rowStart, int rowEnd,
                           ImageBuffer* fromBuffer, ImageBuffer* toBuffer) {
    if (!fromBuffer || !toBuffer || rowStart >= rowEnd) return;
    // Copying between formats would overrun the smaller pixels.
    if (fromBuffer->isFloat() != toBuffer->isFloat()) return;
    uint8_t* from = fromBuffer->pixelBase();
    uint8_t* to = toBuffer->pixelBase();
    if (!from || !to) return;
    const int maxCol = std::min<int>(fromBuffer->imageWidth(), toBuffer->imageWidth());
    const int maxRow = std::min<int>(fromBuffer->imageHeight(), toBuffer->imageHeight());
    colStart = std::max(colStart, 0);
    colEnd = std::min(colEnd, maxCol);
    rowStart = std::max(rowStart, 0);
    rowEnd = std::min(rowEnd, maxRow);
    if (colEnd <= colStart) return;
    const size_t pixel = fromBuffer->bytesPerPixel();
    const size_t bytes = size_t(colEnd - colStart) * pixel;
    if (from == to && fromBuffer->rowStepInBytes() == toBuffer->rowStepInBytes()) return;
    for (int row = rowStart; row < rowEnd; ++row)
        std::memmove(to + uint64_t(row) * toBuffer->rowStepInBytes() + colStart * pixel,
                     from + uint64_t(row) * fromBuffer->rowStepInBytes() + colStart * pixel, bytes);
}

bool TiledEngine::compareFloat(const platform::Value& number, float b) {
    return std::fabs(number.floatValue() - b) < 3.5762787e-07f;
}

Rect TiledEngine::extent() const { return Rect{0, 0, outputSize_.width, outputSize_.height}; }

TiledEngine::Ptr TiledEngine::sourceBuf() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return source_;
}

std::shared_ptr<QuorvexTiledEngineDelegate> TiledEngine::delegate() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return delegate_.lock();
}

void TiledEngine::setDelegate(std::weak_ptr<QuorvexTiledEngineDelegate> delegate) {
    std::lock_guard<std::mutex> guard(mutex_);
    delegate_ = std::move(delegate);
}

std::optional<std::string> TiledEngine::idForCache() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return idForCache_;
}

void TiledEngine::setIdForCache(std::optional<std::string> id) {
    std::lock_guard<std::mutex> guard(mutex_);
    idForCache_ = std::move(id);
}

ReadWriteLock& TiledEngine::cacheLock() {
    platform::callOnce(cacheLockOnce_, [this] { cacheLock_ = std::make_unique<ReadWriteLock>(); });
    return *cacheLock_;
}

std::string TiledEngine::lastRunError() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return lastError_.empty() && lastErrorIsNoMemory_ ? kNoMemoryForOutput : lastError_;
}

void TiledEngine::setRunError(const std::string& what) {
    std::lock_guard<std::mutex> guard(mutex_);
    lastError_ = what;
    lastErrorIsNoMemory_ = false;
}

bool TiledEngine::regionIsClean(const TileRegion& region) const {
    const auto trackers = mainMap_->tileMap();
    const int xTiles = mainMap_->xTiles();
    if (xTiles <= 0) return true;
    for (size_t i = 0; i < trackers->size(); ++i)
        if (region.contains(int(i % size_t(xTiles)), int(i / size_t(xTiles))) &&
            (*trackers)[i]->state() != tileIsClean)
            return false;
    return true;
}

void TiledEngine::recordError(const char* what) noexcept {
    std::lock_guard<std::mutex> guard(mutex_);
    if (!lastError_.empty() || lastErrorIsNoMemory_) return;
    try {
        lastError_ = what && *what ? what : "error";
    } catch (const std::bad_alloc&) {
        lastErrorIsNoMemory_ = true;
    }
}
