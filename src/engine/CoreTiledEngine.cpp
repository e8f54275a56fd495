#include "engine/CoreTiledEngine.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <new>

#include "color/ComputeMatrixAndLUT.h"
#include "color/DNGCameraProfileAbstract.h"
#include "color/ProfileManager.h"
#include "color/SettingsKeys.h"
#include "engine/CGImageBitMap.h"
#include "engine/ColorMatchTiledEngine.h"
#include "engine/CorePixelRule.h"
#include "engine/CoreRowRender.h"
#include "platform/Dispatch.h"
#include "platform/IccTransform.h"
#include "platform/Log.h"
#include "platform/UserDefaults.h"
#include "platform/VImage.h"

using platform::Rect;
namespace vimage = platform::vimage;

namespace {

constexpr int kBlock = 512;
static_assert(CoreTiledEngine::kProfileLUTSize == platform::kCoreProfileGainSize);
constexpr size_t kParallelPixels = size_t(1) << 20;
constexpr int kBandRows = 64;

// The rows from the raw working space to linear sRGB: the white a colour's
// roll-off keeps below when a render has no destination of its own (the
// window's tiles, whose screen is taken to be sRGB like the JPEG they should
// match); the identity when there is none to be had.
const float (&screenKneeTop())[3][3] {
    struct Rows {
        float m[3][3] = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}};
    };
    static const Rows rows = [] {
        Rows r;
        auto& manager = ProfileManager::sharedManager();
        const auto range = CoreTiledEngine::outputRangeFor(manager.getProPhotoGamma1_D65Profile(),
                                                           manager.getSRGBProfile());
        if (range.hasMatrix) std::memcpy(r.m, range.matrix, sizeof r.m);
        return r;
    }();
    return rows.m;
}

constexpr const char* kCoreKeys[] = {
    SettingsKeys::kInputEV,         SettingsKeys::kInputContrast,
    SettingsKeys::kInputBrightness, SettingsKeys::kInputFillLight,
    SettingsKeys::kInputHighLight,  SettingsKeys::kInputKneeHigh,
    SettingsKeys::kInputKneeLow,    SettingsKeys::kInputSaturation,
    SettingsKeys::kInputAngle,      SettingsKeys::kEttrAdjust,
    SettingsKeys::kSceneReferred,   SettingsKeys::kMaintainWhites,
    SettingsKeys::kToneCurveAdjust, SettingsKeys::kCameraProfile,
    SettingsKeys::kMonochromeRed,   SettingsKeys::kMonochromeYellow,
    SettingsKeys::kMonochromeGreen, SettingsKeys::kMonochromeCyan,
    SettingsKeys::kMonochromeBlue,  SettingsKeys::kInputTemperature,
    SettingsKeys::kInputTint,
};

// Whether `inner` lies wholly inside `outer`.
bool containsRect(const Rect& outer, const Rect& inner) {
    if (outer.isNull() || inner.isNull()) return false;
    return inner.minX() >= outer.minX() && inner.minY() >= outer.minY() &&
           inner.maxX() <= outer.maxX() && inner.maxY() <= outer.maxY();
}

}  // namespace

CoreTiledEngine::CoreTiledEngine(platform::Size size, std::optional<std::string> imageID,
                                 bool releasePrecursors)
    : TiledEngine(size, std::move(imageID), releasePrecursors) {
    setUpStage();
}

CoreTiledEngine::CoreTiledEngine(Ptr source, std::optional<std::string> imageID,
                                 bool releasePrecursors)
    : TiledEngine(std::move(source), std::move(imageID), releasePrecursors) {
    setUpStage();
}

CoreTiledEngine::~CoreTiledEngine() {
    // Queued recomputations refer to this stage.
    platform::BlockingScope blocking;
    std::unique_lock lock(generationLock_);
    generationDone_.wait(lock, [this] { return outstanding_ == 0; });
}

void CoreTiledEngine::setUpStage() {
    // A default registered as the text "YES"; read once, when the stage is made.
    auto& defaults = platform::UserDefaults::standard();
    enableCinematic_ =
        defaults.objectForKey("enableCinematic").isNull() || defaults.boolForKey("enableCinematic");
}

std::shared_ptr<CoreTiledEngine> CoreTiledEngine::initWithSize(platform::Size size,
                                                               std::optional<std::string> imageID,
                                                               bool releasePrecursors) {
    if (!ImageBuffer::sizeFits(size)) return nullptr;
    return std::make_shared<CoreTiledEngine>(size, std::move(imageID), releasePrecursors);
}

std::shared_ptr<CoreTiledEngine> CoreTiledEngine::initWithImage(Ptr source,
                                                                std::optional<std::string> imageID,
                                                                bool releasePrecursors) {
    if (!source) return nullptr;
    return std::make_shared<CoreTiledEngine>(std::move(source), std::move(imageID),
                                             releasePrecursors);
}

std::string CoreTiledEngine::engineName() const {
    char name[64];
    std::snprintf(name, sizeof name, "QuorvexCoreEngine_%p", static_cast<const void*>(this));
    return name;
}

void CoreTiledEngine::buildKeyTable() {
    for (const char* key : kCoreKeys) stageToKey().set(key, 4);
}

// ---------------------------------------------------------------------------
// Settings

void CoreTiledEngine::setParameters(const std::optional<std::string>& key,
                                    const platform::Dictionary& parameters) {
    uint64_t generation = 0;
    bool first = false;
    {
        std::lock_guard lock(generationLock_);
        if (!keyTableBuilt_) {
            buildKeyTable();
            keyTableBuilt_ = true;
        }
        if (key && !stageToKey().contains(*key)) {
            generation = 0;
        } else {
            generation = ++requestedGeneration_;
            first = appliedGeneration_ == 0 && outstanding_ == 0;
            if (!first) ++outstanding_;
        }
    }
    if (generation == 0) {
        TiledEngine::setParameters(key, parameters);
        return;
    }
    {
        std::lock_guard lock(thumbLock_);
        processsedThumbBuf_.reset();
    }
    if (first) {
        // The stage must be usable when the engine's first call returns.
        recompute(generation, parameters);
    } else {
        auto copy = std::make_shared<const platform::Dictionary>(parameters);
        platform::DispatchQueue::global(platform::QueuePriority::High)
            ->async([this, generation, copy] {
                recompute(generation, *copy);
                std::lock_guard lock(generationLock_);
                --outstanding_;
                generationDone_.notify_all();
            });
    }
    TiledEngine::setParameters(key, parameters);
}

void CoreTiledEngine::waitForRecomputation() {
    platform::BlockingScope blocking;
    std::unique_lock lock(generationLock_);
    generationDone_.wait(lock, [this] { return appliedGeneration_ >= requestedGeneration_; });
}

uint64_t CoreTiledEngine::recomputationCount() {
    std::lock_guard lock(generationLock_);
    return recomputations_;
}

void CoreTiledEngine::recompute(uint64_t generation, const platform::Dictionary& settings) {
    {
        WriteLocker hold(settingsLock_);
        bool stale;
        {
            std::lock_guard lock(generationLock_);
            stale = generation <= appliedGeneration_;
        }
        if (!stale) {
            bool ready = false;
            try {
                ready = computeTables(settings);
            } catch (const std::bad_alloc&) {
            }
            // Rendering without every table would give another picture: none renders until
            // the next settings make them.
            tablesReady_ = ready;
            if (!ready) {
                fLut_.clear();
                fLut_.shrink_to_fit();
            }
            std::lock_guard lock(generationLock_);
            appliedGeneration_ = generation;
            ++recomputations_;
        }
    }
    std::lock_guard lock(generationLock_);
    generationDone_.notify_all();
}

bool CoreTiledEngine::computeTables(const platform::Dictionary& settings) {
    const float identity[4][4] = {
        {1, 0, 0, 1228.8f}, {0, 1, 0, 2457.6f}, {0, 0, 1, 409.6f}, {0, 0, 0, 0}};
    std::memcpy(matrix_, identity, sizeof matrix_);
    ettrMul_ = std::pow(2.0f, settings[SettingsKeys::kEttrAdjust].floatValue(0));
    lut_ = ImageBufferF32::initWithSize(kLUTSize, 1, nullptr, nullptr);
    if (lut_) std::fill_n(lut_->bufferFloatForRow(0), kLUTSize * 4, 0.0f);
    outputOffset_ = 0;
    kneeWhole_ = false;
    kneeFromLuma_ = false;
    kneeEnd_ = 0;

    const bool maintainWhites = settings[SettingsKeys::kMaintainWhites].boolValue();
    const auto profile =
        settings[SettingsKeys::kCameraProfile].objectAs<DNGCameraProfileAbstract>();
    const bool hasProfile = profile != nullptr;
    if (lut_) {
        ComputeMatrixAndLUT compute;
        compute.setEnableCinematic(enableCinematic_);
        // The profile's curve carries a positive baseline when whites are maintained.
        compute.setPositiveBaselineInCurve(maintainWhites && hasProfile);
        compute.setRollOffLiftedColours(hasProfile && profile->isAutoProfile());
        compute.setCameraParameters(cameraParameters_
                                        ? cameraParameters_
                                        : ComputeMatrixAndLUT::DictionaryPtr(
                                              std::make_shared<const platform::Dictionary>()));
        compute.setImageParameters(platform::Dictionary(settings));
        compute.populateFloatLUTAndMatrix(lut_->bufferFloatForRow(0), kLUTSize, matrix_,
                                          &outputOffset_, &kneeLow_, &kneeF_);
        kneeWhole_ = compute.kneeOnWholePixel();
        kneeFromLuma_ = compute.kneeStartsAtLuminance();
        kneeEnd_ = compute.kneeEnd();
    }

    const platform::Value& tone = settings[SettingsKeys::kToneCurveAdjust];
    toneCurve_ = tone.isNumber() ? tone : platform::Value();
    cameraProfile_ = profile;
    processAsOutputReferred_ = !settings[SettingsKeys::kSceneReferred].boolValue();
    clipWhites_ = !settings[SettingsKeys::kMaintainWhites].boolValue();

    if (!cameraProfile_) {
        // Without a profile there is no profile gain: a table kept from
        // an earlier profile would apply a curve the user removed.
        fLut_.clear();
        fLut_.shrink_to_fit();
    } else {
        if (fLut_.empty()) fLut_.assign(kProfileLUTSize, 0.0f);
        const float base = cameraBaselineExposure_;
        const float b = clipWhites_ ? 0.0f : base;
        const float t = toneCurve_.isNull() ? 1.0f : toneCurve_.floatValue(1.0f);
        cameraProfile_->generateLUT16(nullptr, fLut_.data(), b, processAsOutputReferred_,
                                      clipWhites_, t);
    }
    return lut_ != nullptr;
}

// ---------------------------------------------------------------------------
// Pixels

platform::CoreTone CoreTiledEngine::tone() const {
    platform::CoreTone t;
    t.table = lut_ ? lut_->bufferFloatForRow(0) : nullptr;
    t.tableSize = kLUTSize;
    t.outputOffset = outputOffset_;
    t.kneeLow = kneeLow_;
    t.kneeF = kneeF_;
    t.kneeWhole = kneeWhole_;
    t.kneeFromLuma = kneeFromLuma_;
    t.kneeEnd = kneeEnd_;
    return t;
}

float CoreTiledEngine::processKnee(float x, float m) const {
    return platform::coreKnee(x, m, tone());
}

CoreTiledEngine::OutputRange CoreTiledEngine::outputRangeFor(const ColorSyncProfileWrap::Ptr& from,
                                                             const ColorSyncProfileWrap::Ptr& to) {
    OutputRange range;
    if (!to || to == from || (from && from->isEqualTo(*to))) return range;
    auto src = from ? from->csRef() : nullptr;
    auto dst = to->csRef();
    const auto m = src && dst ? platform::linearRGBMatrix(*src, *dst) : std::nullopt;
    if (!m) {
        range.scaleWhole = false;
        return range;
    }
    range.hasMatrix = true;
    for (size_t r = 0; r < 3; ++r)
        for (size_t c = 0; c < 3; ++c) range.matrix[r][c] = float((*m)[r * 3 + c]);
    return range;
}

void CoreTiledEngine::processTile(int colStart, int colEnd, int rowStart, int rowEnd,
                                  ImageBuffer* srcBuffer, ImageBuffer* destBuffer, int) {
    renderArea(colStart, colEnd, rowStart, rowEnd, srcBuffer, destBuffer, OutputRange{});
}

bool CoreTiledEngine::renderArea(int colStart, int colEnd, int rowStart, int rowEnd,
                                 ImageBuffer* srcBuffer, ImageBuffer* destBuffer,
                                 const OutputRange& range) {
    ReadLocker hold(settingsLock_);
    if (!lut_ || !tablesReady_) {
        platform::log("%s the colour tables are missing", "-[CoreTiledEngine processTile:]");
        return false;
    }
    if (srcBuffer && destBuffer && colStart < colEnd && rowStart < rowEnd &&
        !srcBuffer->isFloat()) {
        for (int x = colStart; x < colEnd; x += kBlock)
            for (int y = rowStart; y < rowEnd; y += kBlock)
                renderBlock(x, y, std::min(kBlock, colEnd - x), std::min(kBlock, rowEnd - y),
                            *srcBuffer, *destBuffer, range);
    }
    return true;
}

platform::CoreRowRule CoreTiledEngine::rowRule(const OutputRange& range) const {
    platform::CoreRowRule rule;
    rule.inputScale = ettrMul_ * kInputScale;
    rule.profileGain = fLut_.empty() ? nullptr : fLut_.data();
    std::memcpy(rule.matrix, matrix_, sizeof rule.matrix);
    rule.tone = tone();
    // A colour rolls off against the white of the space it is rendered for.
    if (rule.tone.kneeFromLuma)
        std::memcpy(rule.tone.kneeTopRows, range.hasMatrix ? range.matrix : screenKneeTop(),
                    sizeof rule.tone.kneeTopRows);
    rule.scaleWhole = range.scaleWhole;
    rule.rangeMatrix = range.hasMatrix;
    std::memcpy(rule.range, range.matrix, sizeof rule.range);
    return rule;
}

void CoreTiledEngine::renderBlock(int x0, int y0, int w, int h, ImageBuffer& src, ImageBuffer& dest,
                                  const OutputRange& range) {
    if (!src.bufferU16ForRow(y0, x0) || !src.bufferU16ForRow(y0 + h - 1, x0 + w - 1)) return;
    const bool floatOut = dest.isFloat();
    if (floatOut ? !dest.bufferFloatForRow(y0 + h - 1, x0 + w - 1)
                 : !dest.bufferU16ForRow(y0 + h - 1, x0 + w - 1))
        return;

    const platform::CoreRowRule rule = rowRule(range);
    for (int row = 0; row < h; ++row) {
        if (isCanceled()) break;
        const uint16_t* s = src.bufferU16ForRow(y0 + row, x0);
        if (floatOut)
            platform::coreRenderRowFloat(s, w, rule, dest.bufferFloatForRow(y0 + row, x0));
        else
            platform::coreRenderRowU16(s, w, rule, dest.bufferU16ForRow(y0 + row, x0));
    }
}

std::shared_ptr<ImageBuffer> CoreTiledEngine::renderBuffer(ImageBuffer& crop, bool createFloat,
                                                           const OutputRange& range) {
    std::shared_ptr<ImageBuffer> out;
    if (createFloat)
        out = ImageBufferF32::initWithSize(crop.imageWidth(), crop.imageHeight(), nullptr,
                                           crop.bufferProfile());
    else
        out = ImageBufferU16::initWithSize(crop.imageWidth(), crop.imageHeight(), nullptr,
                                           crop.bufferProfile());
    if (!out) return nullptr;
    const int w = out->imageWidth(), h = out->imageHeight();
    if (size_t(w) * size_t(h) < kParallelPixels)
        return renderArea(0, w, 0, h, &crop, out.get(), range) ? out : nullptr;
    // Full-size renders (exports) are split into row bands over the processors.
    const size_t bands = (size_t(h) + kBandRows - 1) / kBandRows;
    std::atomic<bool> rendered{true};
    platform::apply(bands, platform::DispatchQueue::global(), [&](size_t i) {
        const int r0 = int(i) * kBandRows;
        if (!renderArea(0, w, r0, std::min(h, r0 + kBandRows), &crop, out.get(), range))
            rendered = false;
    });
    return rendered ? out : nullptr;
}

bool CoreTiledEngine::matchProfile(ImageBuffer& output, const ColorSyncProfileWrap::Ptr& from,
                                   const ColorSyncProfileWrap::Ptr& to,
                                   std::string* failureReason) {
    if (!to || to == from || (from && from->isEqualTo(*to))) return true;
    auto match = ColorMatchTiledEngine::initWithSize(
        platform::Size{double(output.imageWidth()), double(output.imageHeight())});
    if (!match) {
        *failureReason = "the image is too large";
        return false;
    }
    match->setSrcProfile(from);
    match->setDestProfile(to);
    return match->convertBuffer(output, failureReason);
}

// ---------------------------------------------------------------------------
// Runs

std::shared_ptr<TileProcess> CoreTiledEngine::runProcessToCompletion(const TileRegion& region) {
    return prepareBuffers(region);
}

std::shared_ptr<TileProcess> CoreTiledEngine::prepareBuffers(const TileRegion& region) {
    std::shared_ptr<ImageBuffer> buffer;
    std::string failure;
    if (auto source = sourceBuf()) {
        auto process = source->runProcessToCompletion(region);
        if (process) {
            if (!process->dirtyList().empty()) setCachedImageIsDirty(true);
            buffer = process->buffer();
            failure = process->error();
        }
    }
    setTileSourceBuffer(buffer);
    setRunError(failure);
    auto result = std::make_shared<TileProcess>();
    result->setError(failure);
    return result;
}

// ---------------------------------------------------------------------------
// Requests

std::shared_ptr<ImageBuffer> CoreTiledEngine::getThumbnail(bool highQuality) {
    auto source = sourceBuf();
    std::lock_guard lock(thumbLock_);
    auto s = source ? source->getThumbnail(highQuality) : nullptr;
    if (s != thumbBuf_) {
        thumbBuf_ = s;
        processsedThumbBuf_.reset();
    }
    if (s && !processsedThumbBuf_) {
        std::shared_ptr<ImageBuffer> in = s;
        if (s->isFloat()) in = ImageBufferU16::initWithCopyFrom(*s);
        auto out = in ? ImageBufferU16::initWithSize(in->imageWidth(), in->imageHeight(), nullptr,
                                                     in->bufferProfile())
                      : nullptr;
        if (out && renderArea(0, out->imageWidth(), 0, out->imageHeight(), in.get(), out.get(),
                              OutputRange{}))
            processsedThumbBuf_ = out;
    }
    return processsedThumbBuf_;
}

namespace {

const char* const kImageTileName =
    "-[CoreTiledEngine imageTile:scale:rect:destProfile:tileIsThumbnail:createFloat:"
    "orientation:]";

// The cache key of a scale: the percentage of full size, rounded down.
std::string scaleKey(double divisor) {
    return std::to_string(int(std::floor(float((1.0 / divisor) * 100.0))));
}

}  // namespace

void CoreTiledEngine::refreshScaledCopy(ImageBuffer& source, const std::string& key, const Rect& r,
                                        double divisor) {
    WriteLocker hold(cacheLock());
    auto& images = cachedImages();
    auto found = images.find(key);
    bool usable = !images.empty() && !cachedImageIsDirty() && found != images.end();
    // A scaled copy made before the source covered this rectangle is stale
    // once the source does: make it again rather than answer with the
    // thumbnail for ever.
    if (usable) {
        auto img = std::static_pointer_cast<ImageBuffer>(found->second);
        if (!containsRect(img->validRegion(), r) && containsRect(source.validRegion(), r))
            usable = false;
    }
    if (usable || !source.tryLock(stageId())) return;
    if (images.empty() || cachedImageIsDirty()) {
        images.clear();
        setCachedImageIsDirty(false);
    }
    const double W = source.imageWidth(), H = source.imageHeight();
    auto scaled = source.resizedImageFromBuffer(uint16_t(W / divisor), uint16_t(H / divisor));
    if (scaled) {
        images[key] = scaled;
        Rect v = scaled->validRegion();
        if (v.isNull() || v.width < 1 || v.height < 1)
            platform::log("%s warning validRegion in scaledImage invalid %f %f", kImageTileName,
                          v.isNull() ? 0.0 : v.width, v.isNull() ? 0.0 : v.height);
    }
    source.unlock(stageId());
}

CoreTiledEngine::TileImage CoreTiledEngine::chooseTileImage(const std::string& key, const Rect& r,
                                                            double divisor, double sourceWidth) {
    TileImage choice;
    choice.divisor = divisor;
    auto& images = cachedImages();
    auto found = images.find(key);
    std::shared_ptr<ImageBuffer> img =
        found != images.end() ? std::static_pointer_cast<ImageBuffer>(found->second) : nullptr;
    if (img && containsRect(img->validRegion(), r)) {
        choice.buffer = img;
        return choice;
    }
    // After a failed run, asking again would only fail again.
    choice.askAgain = img != nullptr && lastRunError().empty();
    choice.buffer = getThumbnail(false);
    choice.fromThumbnail = true;
    if (choice.buffer) choice.divisor = sourceWidth / choice.buffer->imageWidth();
    return choice;
}

std::shared_ptr<CGImageBitMap> CoreTiledEngine::renderTile(
    const TileImage& chosen, const Rect& r, const ColorSyncProfileWrap::Ptr& destProfile,
    bool createFloat, int orientation) {
    if (!chosen.buffer) {
        platform::log("%s No cached or thumbnail image available", kImageTileName);
        return nullptr;
    }
    if (r.isNull()) return nullptr;
    const double divisor = chosen.divisor;
    const Rect cropRect{std::round(r.x / divisor), std::round(r.y / divisor),
                        std::round(r.width / divisor), std::round(r.height / divisor)};
    auto crop = chosen.buffer->croppedImageFromBuffer(cropRect);
    if (!crop) return nullptr;
    const auto& profile = chosen.buffer->bufferProfile();
    std::shared_ptr<ImageBuffer> output =
        chosen.fromThumbnail
            ? crop
            : renderBuffer(*crop, createFloat, outputRangeFor(profile, destProfile));
    std::string why;
    // A tile left in the wrong profile would show wrong colours: none is better.
    if (!output || !matchProfile(*output, profile, destProfile, &why)) return nullptr;
    return output->getCGImageBitMapWithOrientation(orientation);
}

std::shared_ptr<CGImageBitMap> CoreTiledEngine::imageTile(
    int, double scale, const Rect& rect, const ColorSyncProfileWrap::Ptr& destProfile,
    bool* tileIsThumbnail, bool createFloat, int orientation) {
    auto source = tileSourceBuffer();
    if (!source || !(scale > 0)) return nullptr;
    const double W = source->imageWidth(), H = source->imageHeight();
    Rect r = rect.standardized();
    r.y = H - r.height - r.y;
    r = r.intersection(Rect{0, 0, W, H});
    if (r.isNull() || r.width < 1 || r.height < 1)
        platform::log("%s ERROR zero width", kImageTileName);

    const double d = std::max(1.0, 1.0 / scale);
    const std::string key = scaleKey(d);
    refreshScaledCopy(*source, key, r, d);

    bool askAgain = false;
    std::shared_ptr<CGImageBitMap> result;
    {
        ReadLocker hold(cacheLock());
        const TileImage chosen = chooseTileImage(key, r, d, W);
        if (tileIsThumbnail) *tileIsThumbnail = chosen.fromThumbnail;
        askAgain = chosen.askAgain;
        result = renderTile(chosen, r, destProfile, createFloat, orientation);
    }
    if (askAgain)
        if (auto delegate = this->delegate()) delegate->engineActiveRectDirty(*this);
    return result;
}

bool CoreTiledEngine::withFullSizeCrop(const Rect& rect, platform::Error* error,
                                       const std::function<void(ImageBuffer& crop)>& use) {
    auto source = tileSourceBuffer();
    if (!source) {
        platform::setError(error, platform::QuorvexErrorDomain, -7,
                           "The image has not been processed.");
        return false;
    }
    const double W = source->imageWidth(), H = source->imageHeight();
    Rect r = rect.standardized();
    if (r.isNull() || r.width < 1 || r.height < 1) {
        r = Rect{0, 0, W, H};
    } else {
        r.y = H - r.height - r.y;
        r = r.intersection(Rect{0, 0, W, H}).integral();
    }
    if (r.isNull() || r.width < 1 || r.height < 1) {
        platform::setError(error, platform::QuorvexErrorDomain, -9,
                           "The crop rectangle lies outside the image.");
        return false;
    }
    source->lock(stageId());
    struct Unlock {
        ImageBuffer& buffer;
        StageId stage;
        ~Unlock() { buffer.unlock(stage); }
    } unlock{*source, stageId()};
    if (!containsRect(source->validRegion(), r)) {
        platform::setError(error, platform::QuorvexErrorDomain, -9,
                           "The image has not been processed at full size.");
        return false;
    }
    std::shared_ptr<ImageBuffer> crop;
    try {
        crop = source->croppedImageFromBuffer(r);
    } catch (const std::bad_alloc&) {
    }
    if (!crop) {
        platform::setError(error, platform::QuorvexErrorDomain, -10, kNoMemoryForOutput);
        return false;
    }
    use(*crop);
    return true;
}

namespace {

platform::Error outputProfileError(const std::string& why) {
    return {platform::QuorvexErrorDomain, -10,
            why.empty()
                ? std::string(TiledEngine::kNoMemoryForOutput)
                : "The image could not be converted into the output profile (" + why + ")."};
}

}  // namespace

std::shared_ptr<CGImageBitMap> CoreTiledEngine::fullSizeImage(
    const Rect& rect, const ColorSyncProfileWrap::Ptr& destProfile, bool createFloat,
    int orientation, platform::Error* error, const ColorSyncProfileWrap::Ptr& rangeProfile) {
    std::shared_ptr<CGImageBitMap> result;
    withFullSizeCrop(rect, error, [&](ImageBuffer& crop) {
        std::string why;
        try {
            const OutputRange range =
                outputRangeFor(crop.bufferProfile(), rangeProfile ? rangeProfile : destProfile);
            auto output = renderBuffer(crop, createFloat, range);
            if (output && matchProfile(*output, crop.bufferProfile(), destProfile, &why))
                result = output->getCGImageBitMapWithOrientation(orientation);
        } catch (const std::bad_alloc&) {
        }
        if (!result && error) *error = outputProfileError(why);
    });
    return result;
}

bool CoreTiledEngine::streamFullSize(const Rect& rect, const ColorSyncProfileWrap::Ptr& destProfile,
                                     const FullSizeConsumer& consume, platform::Error* error,
                                     const ColorSyncProfileWrap::Ptr& rangeProfile) {
    bool consumed = false;
    withFullSizeCrop(rect, error, [&](ImageBuffer& crop) {
        consumed = stream(crop, destProfile, consume, error, rangeProfile);
    });
    return consumed;
}

bool CoreTiledEngine::stream(ImageBuffer& crop, const ColorSyncProfileWrap::Ptr& destProfile,
                             const FullSizeConsumer& consume, platform::Error* error,
                             const ColorSyncProfileWrap::Ptr& rangeProfile) {
    const ColorSyncProfileWrap::Ptr& from = crop.bufferProfile();
    // The conversion matchProfile would make, found before any row is.
    std::shared_ptr<const platform::IccTransform> transform;
    if (destProfile && destProfile != from && !(from && from->isEqualTo(*destProfile))) {
        std::string why;
        if (from && from->csRef() && destProfile->csRef())
            transform = platform::IccTransform::shared(from->csRef(), destProfile->csRef(), &why);
        // One pixel prepares the conversion, or tells why it cannot be.
        uint16_t probe[4] = {0, 0, 0, 65535};
        if (!transform || !transform->convert(probe, 1, 1, sizeof probe,
                                              platform::IccPixelLayout::rgba16, &why)) {
            if (why == platform::IccTransform::kNoMemoryReason) why.clear();
            if (error) *error = outputProfileError(why);
            return false;
        }
    }
    const OutputRange range = outputRangeFor(from, rangeProfile ? rangeProfile : destProfile);
    const uint32_t width = uint32_t(crop.imageWidth()), height = uint32_t(crop.imageHeight());
    consume(
        width, height,
        [&](uint32_t first, uint32_t count, uint16_t* rgba, size_t rowSamples, std::string* why) {
            if (first > height || count > height - first) return false;
            if (!renderRows(crop, int(first), int(count), range, rgba, rowSamples)) {
                if (why) *why = kNoMemoryForOutput;
                return false;
            }
            if (!transform) return true;
            std::string reason;
            if (transform->convert(rgba, width, count, rowSamples * 2,
                                   platform::IccPixelLayout::rgba16, &reason))
                return true;
            if (why) *why = outputProfileError(reason).failureReason;
            return false;
        });
    return true;
}

bool CoreTiledEngine::renderRows(ImageBuffer& crop, int first, int count, const OutputRange& range,
                                 uint16_t* out, size_t rowSamples) {
    ReadLocker hold(settingsLock_);
    if (!lut_ || !tablesReady_ || crop.isFloat()) return false;
    const platform::CoreRowRule rule = rowRule(range);
    const int w = crop.imageWidth();
    for (int row = 0; row < count; ++row) {
        const uint16_t* s = crop.bufferU16ForRow(first + row, 0);
        if (!s) return false;
        platform::coreRenderRowU16(s, w, rule, out + size_t(row) * rowSamples);
    }
    return true;
}

void CoreTiledEngine::dropScaledImages() {
    cacheLock().lockForWrite();
    cachedImages().clear();
    cacheLock().unlock();
}

void CoreTiledEngine::releaseOutputs() {
    dropScaledImages();
    setTileSourceBuffer(nullptr);
    TiledEngine::releaseOutputs();
}

bool CoreTiledEngine::getPixelValues(int col, int row, int patchSize, double* values) {
    auto buffer = tileSourceBuffer();
    auto source = sourceBuf();
    if (!buffer || !source || !values || !source->mainMap()) return false;
    const int half = patchSize / 2;
    const Rect r =
        Rect{double(col - half), double(row - half), double(patchSize), double(patchSize)}
            .intersection(extent());
    if (r.isNull() || r.width < 1 || r.height < 1) return false;
    if (!source->mainMap()->isCleanInRect(r)) return false;
    auto crop = buffer->croppedImageFromBuffer(r);
    if (!crop) return false;
    auto rendered = renderBuffer(*crop, false, OutputRange());
    if (!rendered) return false;
    return rendered->sampleValues(half, half, patchSize, &values[0], &values[1], &values[2],
                                  &values[3]);
}

// ---------------------------------------------------------------------------
// Accessors

void CoreTiledEngine::setMatrix(const float m[4][4]) {
    settingsLock_.lockForWrite();
    std::memcpy(matrix_, m, sizeof matrix_);
    settingsLock_.unlock();
}

void CoreTiledEngine::getMatrix(float m[4][4]) {
    settingsLock_.lockForRead();
    std::memcpy(m, matrix_, sizeof matrix_);
    settingsLock_.unlock();
}

std::shared_ptr<ImageBufferF32> CoreTiledEngine::LUT() {
    settingsLock_.lockForRead();
    auto lut = lut_;
    settingsLock_.unlock();
    return lut;
}

void CoreTiledEngine::setLUT(std::shared_ptr<ImageBufferF32> lut) {
    settingsLock_.lockForWrite();
    lut_ = std::move(lut);
    tablesReady_ = lut_ != nullptr;
    settingsLock_.unlock();
}

platform::Dictionary CoreTiledEngine::cameraParameters() const {
    settingsLock_.lockForRead();
    platform::Dictionary d = cameraParameters_ ? *cameraParameters_ : platform::Dictionary{};
    settingsLock_.unlock();
    return d;
}

void CoreTiledEngine::setCameraParameters(platform::Dictionary parameters) {
    auto p = std::make_shared<const platform::Dictionary>(std::move(parameters));
    settingsLock_.lockForWrite();
    cameraParameters_ = std::move(p);
    settingsLock_.unlock();
}

std::shared_ptr<const DNGCameraProfileAbstract> CoreTiledEngine::cameraProfile() const {
    settingsLock_.lockForRead();
    auto p = cameraProfile_;
    settingsLock_.unlock();
    return p;
}

platform::Value CoreTiledEngine::toneCurve() const {
    settingsLock_.lockForRead();
    platform::Value v = toneCurve_;
    settingsLock_.unlock();
    return v;
}

std::shared_ptr<ImageBuffer> CoreTiledEngine::thumbBuf() {
    std::lock_guard lock(thumbLock_);
    return thumbBuf_;
}

std::shared_ptr<ImageBufferU16> CoreTiledEngine::processsedThumbBuf() {
    std::lock_guard lock(thumbLock_);
    return processsedThumbBuf_;
}

std::shared_ptr<ImageBuffer> CoreTiledEngine::tileSourceBuffer() const {
    std::lock_guard lock(fieldsLock_);
    return tileSourceBuffer_;
}

void CoreTiledEngine::setTileSourceBuffer(std::shared_ptr<ImageBuffer> buffer) {
    std::lock_guard lock(fieldsLock_);
    tileSourceBuffer_ = std::move(buffer);
}
