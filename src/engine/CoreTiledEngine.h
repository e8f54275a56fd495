// Stage 4, the colour and tone stage: turns the sharpened linear 16-bit RGBA
// image (input scale 65325) into the developed image. Per pixel: exposure
// (ettrMul), an optional camera-profile gain by 16-bit luminance, the 4×4
// colour matrix whose fourth output is a luminance index, the gain table by
// that index plus the output offset, and an optional highlight knee. Output:
// 16-bit at scale 65325 (A = 65535) or float (A = 1.0).
// Settings: the 21 keys of its key table (exposure, tone, colour, white
// balance, camera profile, scene-referred, maintain whites, tone curve).
// Halo: none.
//
// Unlike the other stages it renders lazily: a run only brings the source up
// to date and remembers its buffer; display tiles, thumbnails, pixel readouts
// and exports render on request, from a scaled copy of that buffer (one per
// scale key, kept in cachedImages) cropped to the asked rectangle.
//
// Ownership: holds the camera parameters, the gain table (LUT), the
// camera-profile gain table (fLut), the source buffer of the last run, the
// source thumbnail last seen and its rendering.
//
// Threads and locks: setParameters may be called from any thread; every
// recomputation after the first runs on the high-priority global queue under
// settingsLock held for writing, and a newer one is never overwritten by an
// older one (generation numbers). waitForRecomputation() returns once the
// latest settings are in force. processTile, imageTile, getThumbnail,
// getPixelValues, fullSizeImage and streamFullSize (and the rows it hands
// over) are safe from several threads at once and hold settingsLock for
// reading while they render. Lock order: cache lock,
// then thumbLock, then settingsLock.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "engine/CorePixelRule.h"
#include "engine/CoreRowRender.h"
#include "engine/TiledEngine.h"
#include "platform/Error.h"

class DNGCameraProfileAbstract;

class CoreTiledEngine : public TiledEngine {
public:
    static constexpr int kLUTSize = 4096;
    static constexpr int kProfileLUTSize = 65536;
    static constexpr float kInputScale = 1.5308075e-5f;  // 1 / 65325
    static constexpr double kOutputScale = 65325.0;
    static constexpr float kMidGreyFactor = platform::CoreTone::kMidGreyFactor;
    static constexpr float kKneeThreshold = platform::CoreTone::kKneeThreshold;

    CoreTiledEngine(platform::Size size, std::optional<std::string> imageID,
                    bool releasePrecursors);
    CoreTiledEngine(Ptr source, std::optional<std::string> imageID, bool releasePrecursors);
    ~CoreTiledEngine() override;

    static std::shared_ptr<CoreTiledEngine> initWithSize(platform::Size size,
                                                         std::optional<std::string> imageID,
                                                         bool releasePrecursors);
    static std::shared_ptr<CoreTiledEngine> initWithImage(Ptr source,
                                                          std::optional<std::string> imageID,
                                                          bool releasePrecursors);

    std::string engineName() const override;
    void setParameters(const std::optional<std::string>& key,
                       const platform::Dictionary& parameters) override;
    // Brings the source up to date; no pixel of this stage is processed.
    std::shared_ptr<TileProcess> runProcessToCompletion(const TileRegion& region) override;
    std::shared_ptr<TileProcess> prepareBuffers(const TileRegion& region);

    void processTile(int colStart, int colEnd, int rowStart, int rowEnd, ImageBuffer* srcBuffer,
                     ImageBuffer* destBuffer, int pass) override;
    float processKnee(float x, float m) const;

    std::shared_ptr<ImageBuffer> getThumbnail(bool highQuality) override;
    using TiledEngine::getPixelValues;
    bool getPixelValues(int col, int row, int patchSize, double* values) override;
    // `rect` has its origin at the bottom left; `resolution` is not used.
    std::shared_ptr<CGImageBitMap> imageTile(int resolution, double scale,
                                             const platform::Rect& rect,
                                             const ColorSyncProfileWrap::Ptr& destProfile,
                                             bool* tileIsThumbnail, bool createFloat,
                                             int orientation) override;
    // The rectangle (origin at the bottom left; a null or empty one means the
    // whole image) rendered at full size straight from the source buffer,
    // waiting for a run in progress. Never a thumbnail: null, with the error
    // set, when the source buffer is missing or not valid over the rectangle.
    // Colours are brought within the white of `rangeProfile` when given (the
    // space the output will be seen in), else within the destination's.
    std::shared_ptr<CGImageBitMap> fullSizeImage(
        const platform::Rect& rect, const ColorSyncProfileWrap::Ptr& destProfile, bool createFloat,
        int orientation, platform::Error* error,
        const ColorSyncProfileWrap::Ptr& rangeProfile = nullptr);

    // Fills `count` rows from `first` (row 0 at the top) of the full-size
    // image as 16-bit RGBA in the destination's profile, rows `rowSamples`
    // samples apart. Safe from several threads at once; false, with `why`
    // set where the reason is known, when a row could not be made.
    using FullSizeRows = std::function<bool(uint32_t first, uint32_t count, uint16_t* rgba,
                                            size_t rowSamples, std::string* why)>;
    using FullSizeConsumer =
        std::function<void(uint32_t width, uint32_t height, const FullSizeRows& rows)>;
    // fullSizeImage's 16-bit upright pixels handed over a few rows at a
    // time rather than as one full-size copy: `consume` is called once, on
    // this thread, while the source is held. Returns whether it was called;
    // when not, the error is the one fullSizeImage would give.
    bool streamFullSize(const platform::Rect& rect, const ColorSyncProfileWrap::Ptr& destProfile,
                        const FullSizeConsumer& consume, platform::Error* error,
                        const ColorSyncProfileWrap::Ptr& rangeProfile = nullptr);

    // Frees the scaled copies of the source kept for display tiles.
    void dropScaledImages();
    // Also lets go of the source buffer it renders from and the scaled copies.
    void releaseOutputs() override;

    // Blocks until the recomputation for the latest settings has finished.
    void waitForRecomputation();
    // Recomputations put in force since creation.
    uint64_t recomputationCount();

    ReadWriteLock& settingsLock() { return settingsLock_; }
    void setMatrix(const float m[4][4]);
    // Copies under the settings lock (for tests and readouts).
    void getMatrix(float m[4][4]);
    std::shared_ptr<ImageBufferF32> LUT();
    void setLUT(std::shared_ptr<ImageBufferF32> lut);
    float outputOffset() const { return outputOffset_; }
    void setOutputOffset(float v) { outputOffset_ = v; }
    float kneeLow() const { return kneeLow_; }
    void setKneeLow(float v) { kneeLow_ = v; }
    float kneeF() const { return kneeF_; }
    void setKneeF(float v) { kneeF_ = v; }
    // Whether the knee works on each pixel's top channel (a positive
    // baseline's roll-off) rather than on each channel.
    bool kneeWhole() const { return kneeWhole_; }
    float ettrMul() const { return ettrMul_; }
    void setEttrMul(float v) { ettrMul_ = v; }
    bool hasProfileLUT() const { return !fLut_.empty(); }

    platform::Dictionary cameraParameters() const;
    void setCameraParameters(platform::Dictionary parameters);
    std::shared_ptr<const DNGCameraProfileAbstract> cameraProfile() const;
    float cameraBaselineExposure() const { return cameraBaselineExposure_; }
    void setCameraBaselineExposure(float v) { cameraBaselineExposure_ = v; }
    bool processAsOutputReferred() const { return processAsOutputReferred_; }
    bool clipWhites() const { return clipWhites_; }
    platform::Value toneCurve() const;
    bool enableCinematic() const { return enableCinematic_; }

    std::shared_ptr<ImageBuffer> thumbBuf();
    std::shared_ptr<ImageBufferU16> processsedThumbBuf();
    std::shared_ptr<ImageBuffer> tileSourceBuffer() const;
    void setTileSourceBuffer(std::shared_ptr<ImageBuffer> buffer);

    // How 16-bit output beyond full scale is brought back into range. A pixel
    // whose largest channel in the destination's linear space would pass full
    // scale (1.0, stored as 65325) is scaled as a whole by 1 ÷ that channel,
    // keeping its hue; a destination converted through tables keeps each
    // channel clamped on its own.
    struct OutputRange {
        bool scaleWhole = true;
        bool hasMatrix = false;  // destination linear = matrix × rendered value
        float matrix[3][3] = {};
    };
    // The range rule for output in `from`'s space later converted to `to`
    // (none, or the same profile: `from` itself).
    static OutputRange outputRangeFor(const ColorSyncProfileWrap::Ptr& from,
                                      const ColorSyncProfileWrap::Ptr& to);

private:
    void setUpStage();
    void buildKeyTable();
    // Replaces matrix, tables, offset and knee from the settings, unless a
    // newer generation is already in force.
    void recompute(uint64_t generation, const platform::Dictionary& settings);
    // Makes the tables of `settings` (settingsLock held for writing); false, or bad_alloc,
    // when one could not be made.
    bool computeTables(const platform::Dictionary& settings);
    // False, rendering nothing, while the tables of the settings in force are missing.
    bool renderArea(int colStart, int colEnd, int rowStart, int rowEnd, ImageBuffer* srcBuffer,
                    ImageBuffer* destBuffer, const OutputRange& range);
    void renderBlock(int x0, int y0, int w, int h, ImageBuffer& src, ImageBuffer& dest,
                     const OutputRange& range);
    // The per-pixel rule in force (settingsLock held).
    platform::CoreRowRule rowRule(const OutputRange& range) const;
    // Calls `use` with the crop to `rect` of fullSizeImage's source, locked
    // for this stage meanwhile; false, with the error set, when there is
    // nothing to render.
    bool withFullSizeCrop(const platform::Rect& rect, platform::Error* error,
                          const std::function<void(ImageBuffer& crop)>& use);
    // streamFullSize on the locked crop.
    bool stream(ImageBuffer& crop, const ColorSyncProfileWrap::Ptr& destProfile,
                const FullSizeConsumer& consume, platform::Error* error,
                const ColorSyncProfileWrap::Ptr& rangeProfile);
    // `count` rows of the crop from `first` rendered as 16-bit RGBA;
    // false while the tables are missing or for a float source.
    bool renderRows(ImageBuffer& crop, int first, int count, const OutputRange& range,
                    uint16_t* out, size_t rowSamples);
    // The table, offset and knee in force (settingsLock held).
    platform::CoreTone tone() const;
    // A new buffer of the crop's size holding the crop rendered.
    std::shared_ptr<ImageBuffer> renderBuffer(ImageBuffer& crop, bool createFloat,
                                              const OutputRange& range);
    // False, with the reason, when the output could not be converted.
    bool matchProfile(ImageBuffer& output, const ColorSyncProfileWrap::Ptr& from,
                      const ColorSyncProfileWrap::Ptr& to, std::string* failureReason);

    // imageTile's steps. The image a tile is cut from: the cached scaled copy
    // when it covers the rectangle, else the thumbnail (then `askAgain` when
    // a scaled copy exists and the last run did not fail).
    struct TileImage {
        std::shared_ptr<ImageBuffer> buffer;
        double divisor = 1;  // source pixels per pixel of `buffer`
        bool fromThumbnail = false;
        bool askAgain = false;
    };
    // Makes the scaled copy under `key` again when it is missing, dirty or
    // stale for `r` (source coordinates); takes the cache lock for writing.
    void refreshScaledCopy(ImageBuffer& source, const std::string& key, const platform::Rect& r,
                           double divisor);
    // Called with the cache lock held for reading.
    TileImage chooseTileImage(const std::string& key, const platform::Rect& r, double divisor,
                              double sourceWidth);
    std::shared_ptr<CGImageBitMap> renderTile(const TileImage& chosen, const platform::Rect& r,
                                              const ColorSyncProfileWrap::Ptr& destProfile,
                                              bool createFloat, int orientation);

    mutable ReadWriteLock settingsLock_;
    // Guarded by settingsLock_:
    float matrix_[4][4] = {};
    std::shared_ptr<ImageBufferF32> lut_;
    float outputOffset_ = 0;
    float kneeLow_ = 0;
    float kneeF_ = -1;
    bool kneeWhole_ = false;
    bool kneeFromLuma_ = false;
    float kneeEnd_ = 0;
    float ettrMul_ = 1;
    std::vector<float> fLut_;
    bool tablesReady_ = false;  // the last recomputation made every table
    std::shared_ptr<const DNGCameraProfileAbstract> cameraProfile_;
    bool processAsOutputReferred_ = false;
    bool clipWhites_ = false;
    platform::Value toneCurve_;
    std::shared_ptr<const platform::Dictionary> cameraParameters_;

    std::atomic<float> cameraBaselineExposure_{0};
    bool enableCinematic_ = true;

    std::mutex generationLock_;
    std::condition_variable generationDone_;
    uint64_t requestedGeneration_ = 0;  // guarded by generationLock_
    uint64_t appliedGeneration_ = 0;    // guarded by generationLock_
    int outstanding_ = 0;               // queued recomputations, guarded by generationLock_
    bool keyTableBuilt_ = false;        // guarded by generationLock_
    uint64_t recomputations_ = 0;       // guarded by generationLock_

    std::mutex thumbLock_;
    std::shared_ptr<ImageBuffer> thumbBuf_;
    std::shared_ptr<ImageBufferU16> processsedThumbBuf_;

    mutable std::mutex fieldsLock_;  // guards tileSourceBuffer_
    std::shared_ptr<ImageBuffer> tileSourceBuffer_;
};
