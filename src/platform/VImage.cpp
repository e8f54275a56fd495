// Fast versions of the image routines. Loops are written so that the
// compiler vectorises them (unit stride, no aliasing across rows, branch-free
// clamps); the scalar twins in VImageReference.cpp define the results.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC optimize("O3", "no-trapping-math")
#endif

#include "platform/VImage.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <new>
#include <type_traits>
#include <vector>

#include "platform/Dispatch.h"
#include "platform/Log.h"
#include "platform/VImageInternal.h"

namespace platform::vimage {

using namespace detail;

namespace {

// Splits [0, rows) into contiguous bands run on separate threads. Each
// element's result depends only on its own inputs, so the split never shows.
template <typename F>
void forRows(size_t rows, uint32_t flags, size_t minRowsPerTask, F&& fn) {
    size_t tasks = 1;
    if (!(flags & kDoNotTile)) {
        tasks = std::min<size_t>(processorCount(),
                                 std::max<size_t>(1, rows / std::max<size_t>(1, minRowsPerTask)));
    }
    if (tasks <= 1) {
        fn(size_t{0}, rows);
        return;
    }
    apply(tasks, DispatchQueue::global(QueuePriority::Default),
          [&](size_t t) { fn(rows * t / tasks, rows * (t + 1) / tasks); });
}

Error report(Error e, uint32_t flags, const char* what) {
    if (e != kNoError && (flags & kPrintDiagnosticsToConsole))
        log("%s failed with error %ld", what, static_cast<long>(e));
    return e;
}

size_t rowsPerTask(size_t elementsPerRow) {
    return std::max<size_t>(1, (size_t{1} << 18) / std::max<size_t>(1, elementsPerRow));
}

}  // namespace

Error convertPlanar16UToF(const Buffer& src, const Buffer& dest, float offset, float scale,
                          uint32_t flags) {
    if (Error e = checkSameSize(src, dest, 2, 4)) return report(e, flags, "convertPlanar16UToF");
    const size_t n = src.width;
    forRows(src.height, flags, rowsPerTask(n), [&](size_t y0, size_t y1) {
        for (size_t y = y0; y < y1; ++y) {
            const uint16_t* __restrict s = rowOf<const uint16_t>(src, y);
            float* __restrict d = rowOf<float>(dest, y);
            for (size_t i = 0; i < n; ++i) d[i] = offset + scale * float(s[i]);
        }
    });
    return kNoError;
}

Error convertPlanarFTo16U(const Buffer& src, const Buffer& dest, float offset, float scale,
                          uint32_t flags) {
    if (Error e = checkSameSize(src, dest, 4, 2)) return report(e, flags, "convertPlanarFTo16U");
    if (!(scale != 0.0f)) return report(kInvalidParameter, flags, "convertPlanarFTo16U");
    const float mul = inverseScale(scale);
    const size_t n = src.width;
    forRows(src.height, flags, rowsPerTask(n), [&](size_t y0, size_t y1) {
        for (size_t y = y0; y < y1; ++y) {
            const float* __restrict s = rowOf<const float>(src, y);
            uint16_t* __restrict d = rowOf<uint16_t>(dest, y);
            for (size_t i = 0; i < n; ++i)
                d[i] = static_cast<uint16_t>(static_cast<int32_t>(to16U((s[i] - offset) * mul)));
        }
    });
    return kNoError;
}

Error matrixMultiplyARGBFFFF(const Buffer& src, const Buffer& dest, const float matrix[16],
                             const float* preBias, const float* postBias, uint32_t flags) {
    if (!matrix) return report(kNullPointerArgument, flags, "matrixMultiplyARGBFFFF");
    if (Error e = checkSameSize(src, dest, 16, 16))
        return report(e, flags, "matrixMultiplyARGBFFFF");
    float m[16], pre[4] = {0, 0, 0, 0}, post[4] = {0, 0, 0, 0};
    std::copy(matrix, matrix + 16, m);
    if (preBias) std::copy(preBias, preBias + 4, pre);
    if (postBias) std::copy(postBias, postBias + 4, post);
    const size_t n = src.width;
    forRows(src.height, flags, rowsPerTask(n * 4), [&](size_t y0, size_t y1) {
        for (size_t y = y0; y < y1; ++y) {
            const float* s = rowOf<const float>(src, y);
            float* d = rowOf<float>(dest, y);
            for (size_t i = 0; i < n; ++i) {
                const float p0 = s[4 * i] + pre[0], p1 = s[4 * i + 1] + pre[1];
                const float p2 = s[4 * i + 2] + pre[2], p3 = s[4 * i + 3] + pre[3];
                float o[4];
                for (int j = 0; j < 4; ++j)
                    o[j] = p0 * m[j] + p1 * m[4 + j] + p2 * m[8 + j] + p3 * m[12 + j] + post[j];
                d[4 * i] = o[0];
                d[4 * i + 1] = o[1];
                d[4 * i + 2] = o[2];
                d[4 * i + 3] = o[3];
            }
        }
    });
    return kNoError;
}

namespace {

template <int C>
Error convolve(const Buffer& src, const Buffer& dest, size_t offX, size_t offY, const float* kernel,
               uint32_t kh, uint32_t kw, const float* background, uint32_t flags,
               const char* what) {
    Edge edge;
    if (Error e =
            checkConvolution(src, dest, offX, offY, kernel, kh, kw, sizeof(float) * C, flags, edge))
        return report(e, flags, what);
    if (dest.width == 0 || dest.height == 0) return kNoError;
    if (src.data == dest.data) return report(kInvalidParameter, flags, what);
    const size_t hw = kw / 2, hh = kh / 2;
    // Destination columns whose kernel stays inside the source.
    size_t ix0 = offX >= hw ? 0 : hw - offX;
    size_t ix1 = src.width > hw + offX ? std::min(dest.width, src.width - hw - offX) : 0;
    if (ix1 < ix0) ix1 = ix0;
    const size_t taps = size_t(kh) * kw;
    std::atomic<bool> failed{false};
    forRows(dest.height, flags, 8, [&](size_t y0, size_t y1) {
        std::vector<float> acc;
        try {
            acc.resize((ix1 - ix0) * C);
        } catch (const std::bad_alloc&) {
            failed = true;
            return;
        }
        for (size_t y = y0; y < y1; ++y) {
            const size_t sy = y + offY;
            float* d = rowOf<float>(dest, y);
            const bool rowInside = sy >= hh && sy + hh < src.height;
            for (size_t x = 0; x < dest.width; ++x) {
                if (rowInside && x >= ix0 && x < ix1) {
                    x = ix1 - 1;
                    continue;
                }
                convolvePixel<C>(src, x + offX, sy, kernel, kh, kw, background, edge, d + x * C);
            }
            if (!rowInside || ix1 == ix0) continue;
            const size_t n = (ix1 - ix0) * C;
            float* __restrict a = acc.data();
            std::fill(a, a + n, 0.0f);
            for (size_t t = 0; t < taps; ++t) {
                const size_t i = t / kw, j = t % kw;
                const float k = kernel[t];
                const float* __restrict s =
                    rowOf<const float>(src, sy - hh + i) + (ix0 + offX - hw + j) * C;
                for (size_t e = 0; e < n; ++e) a[e] += k * s[e];
            }
            std::copy(a, a + n, d + ix0 * C);
        }
    });
    return failed ? report(kMemoryAllocationError, flags, what) : kNoError;
}

}  // namespace

Error convolvePlanarF(const Buffer& src, const Buffer& dest, size_t srcOffsetToROI_X,
                      size_t srcOffsetToROI_Y, const float* kernel, uint32_t kernelHeight,
                      uint32_t kernelWidth, float backgroundColor, uint32_t flags) {
    return convolve<1>(src, dest, srcOffsetToROI_X, srcOffsetToROI_Y, kernel, kernelHeight,
                       kernelWidth, &backgroundColor, flags, "convolvePlanarF");
}

Error convolveARGBFFFF(const Buffer& src, const Buffer& dest, size_t srcOffsetToROI_X,
                       size_t srcOffsetToROI_Y, const float* kernel, uint32_t kernelHeight,
                       uint32_t kernelWidth, const float backgroundColor[4], uint32_t flags) {
    const float zero[4] = {0, 0, 0, 0};
    return convolve<4>(src, dest, srcOffsetToROI_X, srcOffsetToROI_Y, kernel, kernelHeight,
                       kernelWidth, backgroundColor ? backgroundColor : zero, flags,
                       "convolveARGBFFFF");
}

namespace {

using Float4 = float __attribute__((vector_size(16)));

inline Float4 loadPixel(const float* p) {
    Float4 v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// Across: one source row (as floats) into `width` pixels. One pixel's four
// channels are one vector, lane by lane the same operations as the scalar
// loop; four pixels run side by side so their sums overlap in time.
void resampleRow(const float* s, const ResampleWeights& wx, size_t width, float* t) {
    size_t x = 0;
    for (; x + 4 <= width; x += 4) {
        const uint32_t n = wx.count[x];
        if (wx.count[x + 1] != n || wx.count[x + 2] != n || wx.count[x + 3] != n) break;
        Float4 a0 = {0, 0, 0, 0}, a1 = a0, a2 = a0, a3 = a0;
        const uint32_t f0 = wx.first[x], f1 = wx.first[x + 1], f2 = wx.first[x + 2],
                       f3 = wx.first[x + 3];
        for (uint32_t k = 0; k < n; ++k) {
            a0 += wx.weight[f0 + k] * loadPixel(s + size_t(wx.index[f0 + k]) * 4);
            a1 += wx.weight[f1 + k] * loadPixel(s + size_t(wx.index[f1 + k]) * 4);
            a2 += wx.weight[f2 + k] * loadPixel(s + size_t(wx.index[f2 + k]) * 4);
            a3 += wx.weight[f3 + k] * loadPixel(s + size_t(wx.index[f3 + k]) * 4);
        }
        std::memcpy(t + x * 4, &a0, sizeof a0);
        std::memcpy(t + x * 4 + 4, &a1, sizeof a1);
        std::memcpy(t + x * 4 + 8, &a2, sizeof a2);
        std::memcpy(t + x * 4 + 12, &a3, sizeof a3);
    }
    for (; x < width; ++x) {
        Float4 acc = {0, 0, 0, 0};
        const uint32_t f = wx.first[x], n = wx.count[x];
        for (uint32_t k = 0; k < n; ++k)
            acc += wx.weight[f + k] * loadPixel(s + size_t(wx.index[f + k]) * 4);
        std::memcpy(t + x * 4, &acc, sizeof acc);
    }
}

// Destination rows are made in chunks: the source rows a chunk needs are
// resampled across into a small scratch, then summed down. Rows shared by
// two chunks are resampled twice, identically, so neither the chunking nor
// the thread split changes a result.
template <typename T>
Error scale(const Buffer& src, const Buffer& dest, uint32_t flags, const char* what) {
    if (Error e = checkScale(src, dest, 4 * sizeof(T))) return report(e, flags, what);
    const double lobes = lobesFor(flags);
    ResampleWeights wx, wy;
    try {
        wx = resampleWeights(src.width, dest.width, lobes);
        wy = resampleWeights(src.height, dest.height, lobes);
    } catch (const std::bad_alloc&) {
        return report(kMemoryAllocationError, flags, what);
    }
    const size_t tmpRow = dest.width * 4;
    constexpr size_t kChunk = 32;
    std::atomic<bool> failed{false};
    forRows(dest.height, flags, kChunk, [&](size_t y0, size_t y1) {
        std::vector<float> tmp, acc, wide;
        try {
            acc.resize(tmpRow);
            if constexpr (!std::is_same_v<T, float>) wide.resize(src.width * 4);
        } catch (const std::bad_alloc&) {
            failed = true;
            return;
        }
        for (size_t c0 = y0; c0 < y1; c0 += kChunk) {
            const size_t c1 = std::min(c0 + kChunk, y1);
            uint32_t lo = UINT32_MAX, hi = 0;
            for (size_t y = c0; y < c1; ++y)
                for (uint32_t k = 0; k < wy.count[y]; ++k) {
                    lo = std::min(lo, wy.index[wy.first[y] + k]);
                    hi = std::max(hi, wy.index[wy.first[y] + k]);
                }
            if (lo > hi) continue;
            try {
                tmp.resize(size_t(hi - lo + 1) * tmpRow);
            } catch (const std::bad_alloc&) {
                failed = true;
                return;
            }
            for (uint32_t r = lo; r <= hi; ++r) {
                const float* row;
                if constexpr (std::is_same_v<T, float>) {
                    row = rowOf<const float>(src, r);
                } else {
                    const uint16_t* __restrict in = rowOf<const uint16_t>(src, r);
                    float* __restrict out = wide.data();
                    for (size_t e = 0; e < src.width * 4; ++e) out[e] = float(in[e]);
                    row = out;
                }
                resampleRow(row, wx, dest.width, tmp.data() + size_t(r - lo) * tmpRow);
            }
            for (size_t y = c0; y < c1; ++y) {
                float* __restrict a = acc.data();
                std::fill(a, a + tmpRow, 0.0f);
                const uint32_t f = wy.first[y], n = wy.count[y];
                for (uint32_t k = 0; k < n; ++k) {
                    const float w = wy.weight[f + k];
                    const float* __restrict t = tmp.data() + size_t(wy.index[f + k] - lo) * tmpRow;
                    for (size_t e = 0; e < tmpRow; ++e) a[e] += w * t[e];
                }
                T* __restrict d = rowOf<T>(dest, y);
                if constexpr (std::is_same_v<T, float>) {
                    std::copy(a, a + tmpRow, d);
                } else {
                    for (size_t e = 0; e < tmpRow; ++e)
                        d[e] = static_cast<uint16_t>(static_cast<int32_t>(to16U(a[e])));
                }
            }
        }
    });
    return failed ? report(kMemoryAllocationError, flags, what) : kNoError;
}

}  // namespace

Error scaleARGB16U(const Buffer& src, const Buffer& dest, uint32_t flags) {
    return scale<uint16_t>(src, dest, flags, "scaleARGB16U");
}

Error scaleARGBFFFF(const Buffer& src, const Buffer& dest, uint32_t flags) {
    return scale<float>(src, dest, flags, "scaleARGBFFFF");
}

void gammaPlanarF(float* data, size_t count, float gamma) {
    if (!data) return;
    for (size_t i = 0; i < count; ++i) {
        const float v = data[i];
        data[i] = v > 0 ? std::pow(v, gamma) : (v == v ? 0.0f : v);
    }
}

Error histogramFFFF(const float* pixels, size_t pixelCount, uint32_t bins, float minValue,
                    float maxValue, uint64_t* const histograms[4]) {
    if (!pixels || !histograms) return kNullPointerArgument;
    if (bins == 0 || !(maxValue > minValue)) return kInvalidParameter;
    for (int c = 0; c < 4; ++c) {
        if (!histograms[c]) return kNullPointerArgument;
        std::fill(histograms[c], histograms[c] + bins, uint64_t(0));
    }
    const float scale = float(bins) / (maxValue - minValue);
    for (size_t i = 0; i < pixelCount; ++i) {
        for (int c = 0; c < 4; ++c) {
            const float v = (pixels[i * 4 + c] - minValue) * scale;
            // NaN and anything below the range count in the first bin.
            uint32_t b = 0;
            if (v >= float(bins))
                b = bins - 1;
            else if (v > 0)
                b = uint32_t(v);
            ++histograms[c][b];
        }
    }
    return kNoError;
}

}  // namespace platform::vimage
