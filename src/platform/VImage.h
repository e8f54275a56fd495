// Image routines on plain buffers: 16-bit/float conversion, a 4x4 float
// colour matrix, 2-D convolution with a region of interest and
// high-quality 4-channel resampling.
//
// Buffers are described, never owned: `data` points at the first element,
// `width` counts elements (planar) or pixels (four-channel), `rowBytes` is the
// byte step between rows. Every routine is safe to call from several threads
// on distinct buffers. Without kDoNotTile a routine may split its rows over
// several threads; results never depend on that split.
//
// Each routine has a plain scalar twin in `vimage::reference`, kept as the
// definition of the result; the fast versions must match it bit for bit.
#pragma once

#include <cstddef>
#include <cstdint>

namespace platform::vimage {

struct Buffer {
    void* data = nullptr;
    size_t height = 0;
    size_t width = 0;
    size_t rowBytes = 0;
};

enum Error : long {
    kNoError = 0,
    kRoiLargerThanInputBuffer = -1,
    kInvalidKernelSize = -2,
    kInvalidEdgeStyle = -3,
    kInvalidOffsetX = -4,
    kInvalidOffsetY = -5,
    kMemoryAllocationError = -6,
    kNullPointerArgument = -7,
    kInvalidParameter = -8,
    kBufferSizeMismatch = -9,
};

enum Flags : uint32_t {
    kNoFlags = 0,
    // Convolution edges (exactly one): a pixel whose kernel reaches outside
    // the source keeps its source value / outside samples take the background
    // colour / outside samples repeat the nearest edge sample.
    kCopyInPlace = 1u << 1,
    kBackgroundColorFill = 1u << 2,
    kEdgeExtend = 1u << 3,
    // Run on the calling thread only.
    kDoNotTile = 1u << 4,
    // Resampling with a three-lobe windowed sinc instead of two lobes.
    kHighQualityResampling = 1u << 5,
    // Failures are also written to the log.
    kPrintDiagnosticsToConsole = 1u << 7,
};

// dest = offset + scale * src, element by element (width elements per row).
Error convertPlanar16UToF(const Buffer& src, const Buffer& dest, float offset, float scale,
                          uint32_t flags);

// dest = (src - offset) / scale rounded to the nearest integer; values below 0
// (and NaN) give 0, values of 65535 or more give 65535.
Error convertPlanarFTo16U(const Buffer& src, const Buffer& dest, float offset, float scale,
                          uint32_t flags);

// Each pixel of four floats is a row vector p; dest = (p + preBias) * M +
// postBias with M row-major, so dest[j] = sum_i (p[i] + pre[i]) * M[i*4+j].
// Bias pointers may be null. src and dest may be the same buffer.
Error matrixMultiplyARGBFFFF(const Buffer& src, const Buffer& dest, const float matrix[16],
                             const float* preBias, const float* postBias, uint32_t flags);

// dest(x, y) = sum over the kernel (kernelHeight x kernelWidth, odd sizes,
// rows top to bottom) of k(i, j) * src(x + offsetX - kw/2 + j, y + offsetY -
// kh/2 + i); the kernel is not mirrored. dest must fit inside src at the
// offset. One edge flag must be given.
Error convolvePlanarF(const Buffer& src, const Buffer& dest, size_t srcOffsetToROI_X,
                      size_t srcOffsetToROI_Y, const float* kernel, uint32_t kernelHeight,
                      uint32_t kernelWidth, float backgroundColor, uint32_t flags);
Error convolveARGBFFFF(const Buffer& src, const Buffer& dest, size_t srcOffsetToROI_X,
                       size_t srcOffsetToROI_Y, const float* kernel, uint32_t kernelHeight,
                       uint32_t kernelWidth, const float backgroundColor[4], uint32_t flags);

// Resamples src into dest's size (four interleaved channels) with a windowed
// sinc filter, separable, edges repeated. 16-bit results are rounded and
// clamped to 0..65535.
Error scaleARGB16U(const Buffer& src, const Buffer& dest, uint32_t flags);
Error scaleARGBFFFF(const Buffer& src, const Buffer& dest, uint32_t flags);

// Raises `count` floats to the power `gamma` in place (planar, any layout);
// zero and negative values become 0, NaN stays NaN.
void gammaPlanarF(float* data, size_t count, float gamma);

// Four histograms of `bins` bins, one per channel of `pixels` RGBA floats, over
// minValue..maxValue: values outside go to the end bins, NaN to bin 0. Each
// of histograms[0..3] must hold `bins` counts.
Error histogramFFFF(const float* pixels, size_t pixelCount, uint32_t bins, float minValue,
                    float maxValue, uint64_t* const histograms[4]);

namespace reference {
Error convertPlanar16UToF(const Buffer& src, const Buffer& dest, float offset, float scale);
Error convertPlanarFTo16U(const Buffer& src, const Buffer& dest, float offset, float scale);
Error matrixMultiplyARGBFFFF(const Buffer& src, const Buffer& dest, const float matrix[16],
                             const float* preBias, const float* postBias);
Error convolveARGBFFFF(const Buffer& src, const Buffer& dest, size_t srcOffsetToROI_X,
                       size_t srcOffsetToROI_Y, const float* kernel, uint32_t kernelHeight,
                       uint32_t kernelWidth, const float backgroundColor[4], uint32_t flags);
Error scaleARGBFFFF(const Buffer& src, const Buffer& dest, uint32_t flags);
}  // namespace reference

}  // namespace platform::vimage
