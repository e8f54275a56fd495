// Separable resampling of one image area into another of a different size:
// coordinates with 7 fraction bits (128 phases), per-phase kernel weights in
// float and in 14-bit fixed point (each phase sums to exactly 16384), and a
// filter task that filters down (vertically into a row) then across. Images
// of 8- or 16-bit samples with equal ranges go through the 16-bit path,
// everything else through float. Also the 32 x 32-phase two-dimensional
// weight tables used by the warp filters.
//
// Ownership: coordinate and weight objects own their tables; the task owns
// its per-thread rows. The shared bicubic kernel lives for the process.
// Threads: tables are built in Start and only read afterwards; each thread
// has its own temporary row. The bicubic kernel is immutable.
#pragma once

#include <cstdint>
#include <memory>

#include "dng/image/dng_filter_task.h"

class dng_host;
class dng_image;
class dng_memory_allocator;
class dng_memory_block;

class dng_resample_function {
public:
    virtual ~dng_resample_function() = default;
    // Half width of the kernel's support.
    virtual double Extent() const = 0;
    virtual double Evaluate(double x) const = 0;
};

// Cubic convolution with a = -0.75.
class dng_resample_bicubic : public dng_resample_function {
public:
    double Extent() const override;
    double Evaluate(double x) const override;
    static const dng_resample_function& Get();
};

constexpr uint32_t kResampleSubsampleBits = 7;
constexpr uint32_t kResampleSubsampleCount = 1u << kResampleSubsampleBits;
constexpr uint32_t kResampleSubsampleMask = kResampleSubsampleCount - 1;
constexpr uint32_t kResampleSubsampleBits2D = 5;
constexpr uint32_t kResampleSubsampleCount2D = 1u << kResampleSubsampleBits2D;

class dng_resample_coords {
public:
    dng_resample_coords();
    virtual ~dng_resample_coords();

    void Initialize(int32_t srcOrigin, int32_t dstOrigin, uint32_t srcCount, uint32_t dstCount,
                    dng_memory_allocator& allocator);

    // Source position times 128 of destination index; pointer for runs.
    const int32_t* Coords(int32_t index) const;
    int32_t Pixel(int32_t index) const { return *Coords(index) >> kResampleSubsampleBits; }

private:
    int32_t fOrigin = 0;
    uint32_t fCount = 0;
    std::unique_ptr<dng_memory_block> fCoords;
};

class dng_resample_weights {
public:
    dng_resample_weights();
    virtual ~dng_resample_weights();

    void Initialize(double scale, const dng_resample_function& kernel,
                    dng_memory_allocator& allocator);

    uint32_t Radius() const { return fRadius; }
    uint32_t Width() const { return fRadius * 2; }
    uint32_t Step() const { return fWeightStep; }

    const float* Weights32(uint32_t phase) const;
    const int16_t* Weights16(uint32_t phase) const;

private:
    uint32_t fRadius = 0;
    uint32_t fWeightStep = 0;
    std::unique_ptr<dng_memory_block> fWeights32;
    std::unique_ptr<dng_memory_block> fWeights16;
};

class dng_resample_weights_2d {
public:
    dng_resample_weights_2d();
    virtual ~dng_resample_weights_2d();

    void Initialize(const dng_resample_function& kernel, dng_memory_allocator& allocator);

    uint32_t Radius() const { return fRadius; }
    uint32_t Width() const { return fRadius * 2; }
    uint32_t RowStep() const { return fRowStep; }
    uint32_t ColStep() const { return fColStep; }

    // (2 * radius)^2 taps in row order for phase (v, h), each 0..31.
    const float* Weights32(const dng_point& phase) const;
    const int16_t* Weights16(const dng_point& phase) const;

private:
    uint32_t fRadius = 0;
    uint32_t fRowStep = 0;
    uint32_t fColStep = 0;
    std::unique_ptr<dng_memory_block> fWeights32;
    std::unique_ptr<dng_memory_block> fWeights16;
};

class dng_resample_task : public dng_filter_task {
public:
    dng_resample_task(const dng_image& srcImage, dng_image& dstImage, const dng_rect& srcBounds,
                      const dng_rect& dstBounds, const dng_resample_function& kernel);
    ~dng_resample_task() override;

    dng_rect SrcArea(const dng_rect& dstArea) override;
    dng_point SrcTileSize(const dng_point& dstTileSize) override;
    void Start(uint32_t threadCount, const dng_rect& dstArea, const dng_point& tileSize,
               dng_memory_allocator* allocator, dng_abort_sniffer* sniffer) override;
    void ProcessArea(uint32_t threadIndex, dng_pixel_buffer& srcBuffer,
                     dng_pixel_buffer& dstBuffer) override;

private:
    void ProcessArea16(uint32_t threadIndex, dng_pixel_buffer& srcBuffer,
                       dng_pixel_buffer& dstBuffer);
    void ProcessArea32(uint32_t threadIndex, dng_pixel_buffer& srcBuffer,
                       dng_pixel_buffer& dstBuffer);

    dng_rect fSrcBounds;
    dng_rect fDstBounds;
    const dng_resample_function& fKernel;
    double fRowScale;
    double fColScale;
    dng_resample_coords fRowCoords;
    dng_resample_coords fColCoords;
    dng_resample_weights fWeightsV;
    dng_resample_weights fWeightsH;
    dng_point fResampleSrcTileSize;
    uint32_t fTempEntries = 0;
    std::unique_ptr<dng_memory_block> fTempBuffer[kMaxThreads];
};

// The vertical 16-bit filter of the bottleneck table (ResampleDown16) with
// the same integer sums, gathered source row by source row into acc (count
// entries rounded up to 8) so that every row is read sequentially. Rows of s
// must be readable up to count rounded up to 8 samples (padded tile rows).
void ResampleDown16Rows(const uint16_t* s, uint16_t* d, int32_t* acc, uint32_t count,
                        int32_t rowStep, const int16_t* w, uint32_t weightCount, uint32_t range);

// Resamples srcArea of srcImage into dstArea of dstImage through the host's
// area-task runner.
void ResampleImage(dng_host& host, const dng_image& srcImage, dng_image& dstImage,
                   const dng_rect& srcArea, const dng_rect& dstArea,
                   const dng_resample_function& kernel);
