// Stage 1: mixes the decoder's two demosaiced renderings of the same sensor
// data pixel by pixel in HSV. The master (the sharper interpolation) and the
// alternate (fewer colour artifacts; absent for a monochrome sensor) are
// packed 16-bit RGB at full scale 65535; the value comes from them weighted
// by "Quorvex_ArtifactSuppression", hue and saturation by
// "Quorvex_ChromaArtifactSuppression". Output: 16-bit RGBA at full scale
// 65535 with A = 65535, in the decoder's working space. Halo: none (each
// output pixel reads only its own source pixels). The border bands (8 pixels
// as the engine sets them) show the master alone.
//
// A source that keeps its master only in the border bands (an export at
// amounts 1 and 1) gives the alternate's HSV round trip inside them, without
// the master's say in which way the hue goes round: at most one level from
// the blend with the whole master. Before a run at other amounts such a
// source is made to decode the whole master.
//
// The stage also keeps a thumbnail of its whole output (longest side 512) and
// answers pixel readouts for white-balance picking.
//
// Ownership: holds the raw image source (shared), its own output buffer
// (also kept as pixelValueBuffer after a full-resolution run) and the
// thumbnail. Thread safety: setParameters and the accessors may be called
// from any thread; the thumbnail is guarded by thumbLock, readouts take the
// pixel-value buffer's lock.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>

#include "engine/TiledEngine.h"
#include "raw/ImageWrapper.h"

// The four HSV helpers: hue in sextants (0 <= h < 6; 0 red, 2 green,
// 4 blue), saturation and value in 0..1.
void RGBToHSV(float* h, float* s, float* v, float r, float g, float b);
void HSVToRGB(float* r, float* g, float* b, float h, float s, float v);
void RGB16ToHSV16(int r, int g, int b, uint16_t* H, uint16_t* S, uint16_t* V);
void HSV16ToRGB16(int H, int S, int V, uint16_t* r, uint16_t* g, uint16_t* b);
// 0..1 channels to 16-bit samples as the stage writes them: the product with
// 65535 truncated, 0 for NaN and below, 65535 from 1 up.
void ChannelsToSamples16(const float* channels, uint16_t* samples, size_t count);

class RawCombineTiledEngine : public TiledEngine {
public:
    // The border bands' width, where the master alone is shown.
    static constexpr int kBorder = 8;
    // Whether settings put both amounts at 1 (as clamped), so that outside
    // the border bands the output is the alternate alone.
    static bool takesAlternateAlone(const platform::Dictionary& settings);

    RawCombineTiledEngine(platform::Size size, std::optional<std::string> imageID,
                          bool releasePrecursors);
    RawCombineTiledEngine(Ptr source, std::optional<std::string> imageID, bool releasePrecursors);
    ~RawCombineTiledEngine() override;

    // Null for a size that does not fit a buffer.
    static std::shared_ptr<RawCombineTiledEngine> initWithSize(platform::Size size,
                                                               std::optional<std::string> imageID,
                                                               bool releasePrecursors);
    static std::shared_ptr<RawCombineTiledEngine> initWithImage(Ptr source,
                                                                std::optional<std::string> imageID,
                                                                bool releasePrecursors);

    std::string engineName() const override;
    void setParameters(const std::optional<std::string>& key,
                       const platform::Dictionary& parameters) override;
    std::shared_ptr<TileProcess> runProcessToCompletion(const TileRegion& region) override;
    void processTile(int colStart, int colEnd, int rowStart, int rowEnd, ImageBuffer* srcBuffer,
                     ImageBuffer* destBuffer, int pass) override;
    void processEdge(int colStart, int colEnd, int rowStart, int rowEnd, ImageBuffer* srcBuffer,
                     ImageBuffer* destBuffer, int pass) override;
    // Mixes the area into a 16-bit destination of the raw image's size;
    // nothing is written when the source is missing or of another size.
    // Throws std::logic_error where the amounts need a master the source
    // does not hold there.
    void processArea(int colStart, int colEnd, int rowStart, int rowEnd, float artifactSup,
                     float cArtifactSup, ImageBuffer* destBuffer);

    void buildThumbnail();
    // Also lets go of the readout buffer; the thumbnail stays.
    void releaseOutputs() override;
    // Whether a run keeps its output as pixelValueBuffer and makes the
    // thumbnail from it (on by default; a batch reads neither).
    bool keepsReadouts() const { return keepsReadouts_; }
    void setKeepsReadouts(bool keep) { keepsReadouts_ = keep; }
    std::shared_ptr<ImageBuffer> getThumbnail(bool highQuality) override;
    using TiledEngine::getPixelValues;
    bool getPixelValues(int col, int row, int patchSize, double* values) override;

    // The decoded source: its master and alternate renderings and profile.
    ImageWrapper::Ptr rawImage() const;
    void setRawImage(ImageWrapper::Ptr rawImage);

    float artifactSuppression() const { return artifactSuppression_; }
    void setArtifactSuppression(float v) { artifactSuppression_ = v; }
    float chromaArtifactSuppression() const { return chromaArtifactSuppression_; }
    void setChromaArtifactSuppression(float v) { chromaArtifactSuppression_ = v; }
    float ettrMul() const { return ettrMul_; }
    void setEttrMul(float v) { ettrMul_ = v; }
    bool thumbnailIsDirty() const { return thumbnailIsDirty_; }
    void setThumbnailIsDirty(bool v) { thumbnailIsDirty_ = v; }
    std::shared_ptr<ImageBuffer> thumbnail() const;
    void setThumbnail(std::shared_ptr<ImageBuffer> thumbnail);
    std::shared_ptr<ImageBuffer> pixelValueBuffer() const;
    void setPixelValueBuffer(std::shared_ptr<ImageBuffer> buffer);

    // Kept for the engine; none of them changes this stage's output.
    std::shared_ptr<const DNGCameraProfileAbstract> cameraProfile() const;
    void setCameraProfile(std::shared_ptr<const DNGCameraProfileAbstract> profile);
    float cameraBaselineExposure() const { return cameraBaselineExposure_; }
    void setCameraBaselineExposure(float v) { cameraBaselineExposure_ = v; }
    bool processAsOutputReferred() const { return processAsOutputReferred_; }
    void setProcessAsOutputReferred(bool v) { processAsOutputReferred_ = v; }
    bool clipWhites() const { return clipWhites_; }
    void setClipWhites(bool v) { clipWhites_ = v; }
    std::shared_ptr<const platform::Object> toneCurve() const;
    void setToneCurve(std::shared_ptr<const platform::Object> curve);

private:
    void buildKeyTable();

    mutable std::mutex fieldsLock_;  // guards the object fields below
    ImageWrapper::Ptr rawImage_;
    std::shared_ptr<ImageBuffer> thumbnail_;  // also under thumbLock_ while building
    std::shared_ptr<ImageBuffer> pixelValueBuffer_;
    std::shared_ptr<const DNGCameraProfileAbstract> cameraProfile_;
    std::shared_ptr<const platform::Object> toneCurve_;
    std::mutex thumbLock_;
    std::atomic<float> artifactSuppression_{0};
    std::atomic<float> chromaArtifactSuppression_{0};
    std::atomic<float> ettrMul_{1.0f};
    std::atomic<bool> keepsReadouts_{true};
    std::atomic<bool> thumbnailIsDirty_{true};
    std::atomic<float> cameraBaselineExposure_{0};
    std::atomic<bool> processAsOutputReferred_{false};
    std::atomic<bool> clipWhites_{false};
};
