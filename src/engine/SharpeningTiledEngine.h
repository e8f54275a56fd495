// Stage 3: unsharp masking as one square 2-D convolution in a square-root
// (perceptual) float domain. Input: 16-bit RGBA at full scale 65535; each
// sample is taken as sqrt(v / 65535), convolved with the kernel, squared and
// written at full scale 65325 (the core stage's scale), alpha 65325.
// Settings: "Quorvex_Filter_inputRadius" (blur radius) and
// "Quorvex_Filter_inputIntensity" (strength). Halo: half the kernel side;
// pixels closer than that to the image border keep their value (only the
// square-root round trip and the change of scale).
//
// The kernel is the identity plus the amount times (the Gaussian's centre
// value minus the Gaussian), normalised to a sum of 1; it is built at the
// start of every run, before any worker starts.
//
// Ownership: owns the kernel and, once a run has made it so, its output
// buffer. Thread safety: setParameters and the accessors may be called from
// any thread; a run must not overlap another run of the same stage.
#pragma once

#include <atomic>
#include <memory>
#include <vector>

#include "engine/TiledEngine.h"

class FileBackedFactoryNSData;

class SharpeningTiledEngine : public TiledEngine {
public:
    // Kernels are capped at this side (a radius far beyond any sensible
    // setting would otherwise ask for gigabytes).
    static constexpr int kMaxKernelLength = 1023;

    SharpeningTiledEngine(platform::Size size, std::optional<std::string> imageID,
                          bool releasePrecursors);
    SharpeningTiledEngine(Ptr source, std::optional<std::string> imageID, bool releasePrecursors);

    static std::shared_ptr<SharpeningTiledEngine> initWithSize(platform::Size size,
                                                               std::optional<std::string> imageID,
                                                               bool releasePrecursors);
    static std::shared_ptr<SharpeningTiledEngine> initWithImage(Ptr source,
                                                                std::optional<std::string> imageID,
                                                                bool releasePrecursors);

    std::string engineName() const override;
    void setParameters(const std::optional<std::string>& key,
                       const platform::Dictionary& parameters) override;
    // Builds the kernel and runs the base; without a kernel (memory short)
    // no run, the process carries the reason and no buffer.
    std::shared_ptr<TileProcess> runProcessToCompletion(const TileRegion& region) override;
    void processTile(int colStart, int colEnd, int rowStart, int rowEnd, ImageBuffer* srcBuffer,
                     ImageBuffer* destBuffer, int pass) override;
    void processEdge(int, int, int, int, ImageBuffer*, ImageBuffer*, int) override {}

    // Kernel side for a radius (at least 0.05 is used): odd, at least 3.
    static int kernelLengthForRadius(float radius);
    // Builds kernel and length from radius and intensity; false when no
    // memory (logged).
    bool buildKernel();
    // `array` holds length() x length() floats.
    void fill2DGaussian(float* array, float sigma, float ammount) const;
    // A 1-D Gaussian of length() entries.
    void fillGaussian(float* array, float sigma) const;

    // A tile's work step by step over whole float images (processTile does
    // the same per pixel in one pass over rows). Float images hold four
    // floats per pixel in rows of the area's width.
    void convertToFloat(int colStart, int colEnd, int rowStart, int rowEnd,
                        const ImageBuffer& srcBuffer, FileBackedFactoryNSData& finputImage) const;
    void twoDConvolve(int colStart, int colEnd, int rowStart, int rowEnd,
                      FileBackedFactoryNSData& finputImage, FileBackedFactoryNSData& foutputImage,
                      int colStartAdj, int colEndAdj, int rowStartAdj, int rowEndAdj) const;
    void convertToInt(FileBackedFactoryNSData& foutputImage, int colStart, int colEnd, int rowStart,
                      int rowEnd, ImageBuffer& destBuffer, int colStartAdj, int colEndAdj,
                      int rowStartAdj, int rowEndAdj) const;
    // A row (dir 0) or column (dir 1) convolution with the kernel's first
    // length() entries over whole float images of the given size.
    void oneDConvolve(int width, int height, int dir, FileBackedFactoryNSData& finputImage,
                      FileBackedFactoryNSData& foutputImage) const;

    float radius() const { return radius_; }
    void setRadius(float r) { radius_ = r; }
    float intensity() const { return intensity_; }
    void setIntensity(float v) { intensity_ = v; }
    int length() const { return length_; }
    const std::vector<float>& kernel() const { return kernel_; }

private:
    std::atomic<float> radius_{0};
    std::atomic<float> intensity_{0};
    // Counts setParameters calls: a run whose kernel predates a change marks
    // the tiles dirty again, since the change's dirty mark may have been
    // spent by that run.
    std::atomic<uint64_t> parameterGeneration_{0};
    int length_ = 3;
    std::vector<float> kernel_;  // written only before workers start
};
