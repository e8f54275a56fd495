// Resampling: coordinates, weights and the filter task. The vertical pass
// filters 2 * radius source rows into one temporary row per destination row
// and plane; the horizontal pass filters that row into the destination.
// Halo: the source area of a destination tile reaches radius - 1 pixels
// before and radius pixels after the tile's mapped extent; the filter task
// repeats the image's edge pixels for taps outside the source image.
#include "dng/image/dng_resample.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "dng/color/dng_bottleneck.h"
#include "dng/core/dng_exception.h"
#include "dng/core/dng_host.h"
#include "dng/core/dng_memory_allocator.h"
#include "dng/image/dng_image.h"
#include "dng/image/dng_pixel_buffer.h"

namespace {

int32_t roundToInt32(double x) {
    const double r = x >= 0.0 ? std::floor(x + 0.5) : std::ceil(x - 0.5);
    if (!(r >= double(std::numeric_limits<int32_t>::min()) &&
          r <= double(std::numeric_limits<int32_t>::max())))
        ThrowDNGError(dng_error_overflow, "Resampling coordinate out of range");
    return int32_t(r);
}

uint32_t mul(uint32_t a, uint32_t b, const char* message) {
    uint32_t r;
    if (__builtin_mul_overflow(a, b, &r)) ThrowDNGError(dng_error_overflow, message);
    return r;
}

uint32_t roundUp8(uint32_t a, const char* message) {
    uint32_t r;
    if (__builtin_add_overflow(a, 7u, &r)) ThrowDNGError(dng_error_overflow, message);
    return r & ~7u;
}

// The horizontal routines index the temporary row by absolute source
// column: the row's address is shifted by its area's left edge (computed on
// integers, the shifted address is never dereferenced on its own).
template <typename T>
const T* shifted(const T* row, int64_t base) {
    return reinterpret_cast<const T*>(reinterpret_cast<uintptr_t>(row) +
                                      uintptr_t(base * int64_t(sizeof(T))));
}

}  // namespace

void ResampleDown16Rows(const uint16_t* s, uint16_t* d, int32_t* acc, uint32_t count,
                        int32_t rowStep, const int16_t* w, uint32_t weightCount, uint32_t range) {
    const int32_t top = int32_t(std::min<uint32_t>(range, 0x7FFFFFFF));
    // Whole blocks of 8 (the caller's rows are padded to 16 samples) so that
    // the compiler turns each block into vector operations.
    const uint32_t blocks = (count + 7) / 8;
    for (uint32_t j = 0; j < blocks * 8; ++j) acc[j] = 8192;
    for (uint32_t k = 0; k < weightCount; ++k) {
        const int32_t wk = w[k];
        if (wk == 0) continue;
        const uint16_t* row = s + int64_t(k) * rowStep;
        for (uint32_t b = 0; b < blocks; ++b) {
            int32_t* a = acc + 8 * b;
            const uint16_t* r = row + 8 * b;
            for (uint32_t q = 0; q < 8; ++q) a[q] += int32_t(r[q]) * wk;
        }
    }
    for (uint32_t j = 0; j < count; ++j) d[j] = uint16_t(std::clamp(acc[j] >> 14, 0, top));
}

// ---------------------------------------------------------------------------

double dng_resample_bicubic::Extent() const { return 2.0; }

double dng_resample_bicubic::Evaluate(double x) const {
    const double a = -0.75;
    const double t = std::fabs(x);
    if (t >= 2.0) return 0.0;
    if (t >= 1.0) return ((a * t - 5.0 * a) * t + 8.0 * a) * t - 4.0 * a;
    return ((a + 2.0) * t - (a + 3.0)) * t * t + 1.0;
}

const dng_resample_function& dng_resample_bicubic::Get() {
    static const auto& kernel = *new dng_resample_bicubic;
    return kernel;
}

// ---------------------------------------------------------------------------

dng_resample_coords::dng_resample_coords() = default;
dng_resample_coords::~dng_resample_coords() = default;

void dng_resample_coords::Initialize(int32_t srcOrigin, int32_t dstOrigin, uint32_t srcCount,
                                     uint32_t dstCount, dng_memory_allocator& allocator) {
    const char* message = "Arithmetic overflow computing size for coordinate buffer";
    if (dstCount == 0) ThrowDNGError(dng_error_unknown, "Empty resampling destination");
    const uint32_t entries = roundUp8(dstCount, message);
    fCoords = (allocator.Allocate(mul(entries, sizeof(int32_t), message)));
    fOrigin = dstOrigin;
    fCount = entries;
    int32_t* coords = static_cast<int32_t*>(fCoords->Buffer());
    const double scale = double(srcCount) / double(dstCount);
    for (uint32_t j = 0; j < dstCount; ++j) {
        const double x = (double(j) + 0.5) * scale - 0.5 + double(srcOrigin);
        coords[j] = roundToInt32(x * double(kResampleSubsampleCount));
    }
    for (uint32_t j = dstCount; j < entries; ++j) coords[j] = coords[dstCount - 1];
}

const int32_t* dng_resample_coords::Coords(int32_t index) const {
    const int64_t offset = int64_t(index) - fOrigin;
    if (!fCoords || offset < 0 || offset >= int64_t(fCount))
        ThrowDNGError(dng_error_unknown, "Resampling coordinate index out of range");
    return static_cast<const int32_t*>(fCoords->Buffer()) + offset;
}

// ---------------------------------------------------------------------------

dng_resample_weights::dng_resample_weights() = default;
dng_resample_weights::~dng_resample_weights() = default;

void dng_resample_weights::Initialize(double scale, const dng_resample_function& kernel,
                                      dng_memory_allocator& allocator) {
    scale = std::min(scale, 1.0);
    if (!(scale > 0.0)) ThrowDNGError(dng_error_unknown, "Invalid resampling scale");
    const double radius = kernel.Extent() / scale + 0.9999;
    if (!(radius >= 1.0 && radius < 65536.0))
        ThrowDNGError(dng_error_overflow, "Resampling radius too large");
    fRadius = uint32_t(radius);
    const uint32_t width = fRadius * 2;
    fWeightStep = roundUp8(width, "Arithmetic overflow computing fWeightStep");

    const char* message = "Arithmetic overflow computing buffer size.";
    const uint32_t entries = mul(fWeightStep, kResampleSubsampleCount, message);
    fWeights32 = (allocator.Allocate(mul(entries, sizeof(float), message)));
    fWeights16 = (allocator.Allocate(mul(entries, sizeof(int16_t), message)));
    float* w32 = static_cast<float*>(fWeights32->Buffer());
    int16_t* w16 = static_cast<int16_t*>(fWeights16->Buffer());
    std::fill(w32, w32 + entries, 0.0f);
    std::fill(w16, w16 + entries, int16_t(0));

    for (uint32_t phase = 0; phase < kResampleSubsampleCount; ++phase) {
        const double fract = double(phase) / double(kResampleSubsampleCount);
        float* w = w32 + phase * fWeightStep;
        double sum = 0.0;
        for (uint32_t j = 0; j < width; ++j) {
            const double x = (double(int32_t(j) - int32_t(fRadius) + 1) - fract) * scale;
            w[j] = float(kernel.Evaluate(x));
            sum += w[j];
        }
        const float normalise = float(1.0 / sum);
        for (uint32_t j = 0; j < width; ++j) w[j] *= normalise;

        int16_t* q = w16 + phase * fWeightStep;
        int32_t total = 0;
        for (uint32_t j = 0; j < width; ++j) {
            q[j] = int16_t(roundToInt32(double(w[j]) * 16384.0));
            total += q[j];
        }
        const uint32_t centre = fract >= 0.5 ? fRadius : fRadius - 1;
        q[centre] = int16_t(q[centre] + (16384 - total));
    }
}

const float* dng_resample_weights::Weights32(uint32_t phase) const {
    return static_cast<const float*>(fWeights32->Buffer()) + phase * fWeightStep;
}

const int16_t* dng_resample_weights::Weights16(uint32_t phase) const {
    return static_cast<const int16_t*>(fWeights16->Buffer()) + phase * fWeightStep;
}

// ---------------------------------------------------------------------------

dng_resample_weights_2d::dng_resample_weights_2d() = default;
dng_resample_weights_2d::~dng_resample_weights_2d() = default;

void dng_resample_weights_2d::Initialize(const dng_resample_function& kernel,
                                         dng_memory_allocator& allocator) {
    const double radius = kernel.Extent() + 0.9999;
    if (!(radius >= 1.0 && radius < 65536.0))
        ThrowDNGError(dng_error_overflow, "Resampling radius too large");
    fRadius = uint32_t(radius);
    const uint32_t width = fRadius * 2;
    const char* message = "Arithmetic overflow computing buffer size.";
    fColStep = roundUp8(mul(width, width, message), message);
    fRowStep = mul(fColStep, kResampleSubsampleCount2D, message);
    const uint32_t entries = mul(fRowStep, kResampleSubsampleCount2D, message);
    fWeights32 = (allocator.Allocate(mul(entries, sizeof(float), message)));
    fWeights16 = (allocator.Allocate(mul(entries, sizeof(int16_t), message)));
    float* w32 = static_cast<float*>(fWeights32->Buffer());
    int16_t* w16 = static_cast<int16_t*>(fWeights16->Buffer());
    std::fill(w32, w32 + entries, 0.0f);
    std::fill(w16, w16 + entries, int16_t(0));

    const int32_t r0 = int32_t(fRadius);
    for (uint32_t y = 0; y < kResampleSubsampleCount2D; ++y) {
        const double fy = double(y) / double(kResampleSubsampleCount2D);
        for (uint32_t x = 0; x < kResampleSubsampleCount2D; ++x) {
            const double fx = double(x) / double(kResampleSubsampleCount2D);
            float* w = w32 + fRowStep * y + fColStep * x;
            double sum = 0.0;
            for (int32_t r = 1; r <= int32_t(width); ++r) {
                const double wy = kernel.Evaluate(double(r - r0) - fy);
                for (int32_t c = 1; c <= int32_t(width); ++c) {
                    const float value = float(wy * kernel.Evaluate(double(c - r0) - fx));
                    w[(r - 1) * width + (c - 1)] = value;
                    sum += value;
                }
            }
            const float normalise = float(1.0 / sum);
            const uint32_t taps = width * width;
            for (uint32_t j = 0; j < taps; ++j) w[j] *= normalise;

            int16_t* q = w16 + fRowStep * y + fColStep * x;
            int32_t total = 0;
            for (uint32_t j = 0; j < taps; ++j) {
                q[j] = int16_t(roundToInt32(double(w[j]) * 16384.0));
                total += q[j];
            }
            const uint32_t row = fRadius - (fy >= 0.5 ? 0 : 1);
            const uint32_t col = fRadius - (fx >= 0.5 ? 0 : 1);
            q[row * width + col] = int16_t(q[row * width + col] + (16384 - total));
        }
    }
}

const float* dng_resample_weights_2d::Weights32(const dng_point& phase) const {
    return static_cast<const float*>(fWeights32->Buffer()) + fRowStep * uint32_t(phase.v) +
           fColStep * uint32_t(phase.h);
}

const int16_t* dng_resample_weights_2d::Weights16(const dng_point& phase) const {
    return static_cast<const int16_t*>(fWeights16->Buffer()) + fRowStep * uint32_t(phase.v) +
           fColStep * uint32_t(phase.h);
}

// ---------------------------------------------------------------------------

dng_resample_task::dng_resample_task(const dng_image& srcImage, dng_image& dstImage,
                                     const dng_rect& srcBounds, const dng_rect& dstBounds,
                                     const dng_resample_function& kernel)
    : dng_filter_task("dng_resample_task", srcImage, dstImage),
      fSrcBounds(srcBounds),
      fDstBounds(dstBounds),
      fKernel(kernel),
      fRowScale(double(dstBounds.H()) / double(srcBounds.H())),
      fColScale(double(dstBounds.W()) / double(srcBounds.W())) {
    if (srcBounds.IsEmpty() || dstBounds.IsEmpty())
        ThrowDNGError(dng_error_unknown, "Empty resampling area");
    const bool narrow = (srcImage.PixelSize() == 1 || srcImage.PixelSize() == 2) &&
                        (dstImage.PixelSize() == 1 || dstImage.PixelSize() == 2) &&
                        srcImage.PixelRange() == dstImage.PixelRange();
    fSrcPixelType = narrow ? 3 : 11;
    fDstPixelType = fSrcPixelType;

    fUnitCell = dng_point(8, 8);
    auto limit = [](int32_t current, double scale) {
        const int32_t scaled = roundToInt32(double(current) * scale);
        return std::max(std::min(scaled, current), 8);
    };
    fMaxTileSize.v = limit(fMaxTileSize.v, fRowScale);
    fMaxTileSize.h = limit(fMaxTileSize.h, fColScale);
}

dng_resample_task::~dng_resample_task() = default;

dng_rect dng_resample_task::SrcArea(const dng_rect& dstArea) {
    const int32_t radiusV = int32_t(fWeightsV.Radius());
    const int32_t radiusH = int32_t(fWeightsH.Radius());
    const int64_t top = int64_t(fRowCoords.Pixel(dstArea.t)) + (1 - radiusV);
    const int64_t left = int64_t(fColCoords.Pixel(dstArea.l)) + (1 - radiusH);
    const int64_t bottom = int64_t(fRowCoords.Pixel(dstArea.b - 1)) + (1 - radiusV) + 2 * radiusV;
    const int64_t right = int64_t(fColCoords.Pixel(dstArea.r - 1)) + (1 - radiusH) + 2 * radiusH;
    auto fit = [](int64_t v) {
        if (v < std::numeric_limits<int32_t>::min() || v > std::numeric_limits<int32_t>::max())
            ThrowDNGError(dng_error_unknown, "Overflow in dng_rect constructor");
        return int32_t(v);
    };
    return dng_rect(fit(top), fit(left), fit(bottom), fit(right));
}

dng_point dng_resample_task::SrcTileSize(const dng_point&) { return fResampleSrcTileSize; }

void dng_resample_task::Start(uint32_t threadCount, const dng_rect& dstArea,
                              const dng_point& tileSize, dng_memory_allocator* allocator,
                              dng_abort_sniffer* sniffer) {
    dng_memory_allocator& memory = allocator ? *allocator : gDefaultDNGMemoryAllocator;
    fRowCoords.Initialize(fSrcBounds.t, fDstBounds.t, fSrcBounds.H(), fDstBounds.H(), memory);
    fColCoords.Initialize(fSrcBounds.l, fDstBounds.l, fSrcBounds.W(), fDstBounds.W(), memory);
    fWeightsV.Initialize(fRowScale, fKernel, memory);
    fWeightsH.Initialize(fColScale, fKernel, memory);

    const int64_t rows =
        int64_t(roundToInt32(double(tileSize.v) / fRowScale)) + 2 * int64_t(fWeightsV.Radius()) + 2;
    const int64_t cols =
        int64_t(roundToInt32(double(tileSize.h) / fColScale)) + 2 * int64_t(fWeightsH.Radius()) + 2;
    if (rows > std::numeric_limits<int32_t>::max() || cols > std::numeric_limits<int32_t>::max())
        ThrowDNGError(dng_error_overflow, "Arithmetic overflow computing source tile size");
    fResampleSrcTileSize = dng_point(int32_t(rows), int32_t(cols));

    // One row of 32-bit values: a float row, or a 16-bit row plus the
    // integer sums it is made from.
    const char* message = "Arithmetic overflow computing buffer size.";
    fTempEntries = roundUp8(uint32_t(cols), message);
    const uint32_t tempBytes = mul(fTempEntries, 4 + 2, message);
    if (threadCount > kMaxThreads) ThrowProgramError("Too many threads");
    for (uint32_t thread = 0; thread < threadCount; ++thread) {
        fTempBuffer[thread].reset();
        fTempBuffer[thread] = memory.Allocate(tempBytes);
    }

    dng_filter_task::Start(threadCount, dstArea, tileSize, allocator, sniffer);
}

void dng_resample_task::ProcessArea(uint32_t threadIndex, dng_pixel_buffer& srcBuffer,
                                    dng_pixel_buffer& dstBuffer) {
    if (fSrcPixelType == 3) {
        ProcessArea16(threadIndex, srcBuffer, dstBuffer);
    } else {
        ProcessArea32(threadIndex, srcBuffer, dstBuffer);
    }
}

void dng_resample_task::ProcessArea16(uint32_t threadIndex, dng_pixel_buffer& srcBuffer,
                                      dng_pixel_buffer& dstBuffer) {
    const dng_rect srcArea = srcBuffer.fArea;
    const dng_rect dstArea = dstBuffer.fArea;
    const int32_t radiusV = int32_t(fWeightsV.Radius());
    const int32_t radiusH = int32_t(fWeightsH.Radius());
    const uint32_t srcWidth = srcArea.W();
    const uint32_t dstWidth = dstArea.W();
    const uint32_t range = fDstImage.PixelRange();
    int32_t* sums = static_cast<int32_t*>(fTempBuffer[threadIndex]->Buffer());
    uint16_t* temp = reinterpret_cast<uint16_t*>(sums + fTempEntries);
    const int32_t* colCoords = fColCoords.Coords(dstArea.l);
    const int64_t base = int64_t(1 - radiusH) - srcArea.l;

    for (int32_t row = dstArea.t; row < dstArea.b; ++row) {
        const int32_t coord = *fRowCoords.Coords(row);
        const int32_t srcRow = (coord >> kResampleSubsampleBits) + 1 - radiusV;
        const int16_t* weightsV = fWeightsV.Weights16(uint32_t(coord) & kResampleSubsampleMask);
        for (uint32_t plane = 0; plane < dstBuffer.fPlanes; ++plane) {
            ResampleDown16Rows(
                srcBuffer.ConstPixel_uint16(srcRow, srcArea.l, srcBuffer.fPlane + plane), temp,
                sums, srcWidth, srcBuffer.fRowStep, weightsV, 2 * uint32_t(radiusV), range);
            gDNGBottleneck.ResampleAcross16(
                shifted(temp, base),
                dstBuffer.DirtyPixel_uint16(row, dstArea.l, dstBuffer.fPlane + plane), dstWidth,
                colCoords, fWeightsH.Weights16(0), 2 * uint32_t(radiusH), fWeightsH.Step(), range);
        }
    }
}

void dng_resample_task::ProcessArea32(uint32_t threadIndex, dng_pixel_buffer& srcBuffer,
                                      dng_pixel_buffer& dstBuffer) {
    const dng_rect srcArea = srcBuffer.fArea;
    const dng_rect dstArea = dstBuffer.fArea;
    const int32_t radiusV = int32_t(fWeightsV.Radius());
    const int32_t radiusH = int32_t(fWeightsH.Radius());
    const uint32_t srcWidth = srcArea.W();
    const uint32_t dstWidth = dstArea.W();
    float* temp = static_cast<float*>(fTempBuffer[threadIndex]->Buffer());
    const int32_t* colCoords = fColCoords.Coords(dstArea.l);
    const int64_t base = int64_t(1 - radiusH) - srcArea.l;

    for (int32_t row = dstArea.t; row < dstArea.b; ++row) {
        const int32_t coord = *fRowCoords.Coords(row);
        const int32_t srcRow = (coord >> kResampleSubsampleBits) + 1 - radiusV;
        const float* weightsV = fWeightsV.Weights32(uint32_t(coord) & kResampleSubsampleMask);
        for (uint32_t plane = 0; plane < dstBuffer.fPlanes; ++plane) {
            gDNGBottleneck.ResampleDown32(
                srcBuffer.ConstPixel_real32(srcRow, srcArea.l, srcBuffer.fPlane + plane), temp,
                srcWidth, srcBuffer.fRowStep, weightsV, 2 * uint32_t(radiusV));
            gDNGBottleneck.ResampleAcross32(
                shifted(temp, base),
                dstBuffer.DirtyPixel_real32(row, dstArea.l, dstBuffer.fPlane + plane), dstWidth,
                colCoords, fWeightsH.Weights32(0), 2 * uint32_t(radiusH), fWeightsH.Step());
        }
    }
}

void ResampleImage(dng_host& host, const dng_image& srcImage, dng_image& dstImage,
                   const dng_rect& srcArea, const dng_rect& dstArea,
                   const dng_resample_function& kernel) {
    dng_resample_task task(srcImage, dstImage, srcArea, dstArea, kernel);
    host.PerformAreaTask(task, dstArea);
}
