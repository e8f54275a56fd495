// Shared between the fast image routines and their scalar reference: checks,
// resampling weights and the per-pixel convolution used at the edges.
#pragma once

#include <cmath>
#include <cstdint>
#include <vector>

#include "platform/VImage.h"

namespace platform::vimage::detail {

inline bool rowsFit(const Buffer& b, size_t elementBytes) {
    return b.data && b.rowBytes >= b.width * elementBytes;
}

inline Error checkSameSize(const Buffer& src, const Buffer& dest, size_t srcElem, size_t destElem) {
    if (!src.data || !dest.data) return kNullPointerArgument;
    if (src.width != dest.width || src.height != dest.height) return kBufferSizeMismatch;
    if (!rowsFit(src, srcElem) || !rowsFit(dest, destElem)) return kInvalidParameter;
    return kNoError;
}

template <typename T>
inline T* rowOf(const Buffer& b, size_t y) {
    return reinterpret_cast<T*>(static_cast<uint8_t*>(b.data) + y * b.rowBytes);
}

inline float to16U(float v) {
    v = v > 0.0f ? v : 0.0f;  // NaN lands here too
    v = v < 65535.0f ? v : 65535.0f;
    return v + 0.5f;
}

inline float inverseScale(float scale) { return static_cast<float>(1.0 / double(scale)); }

enum class Edge { CopyInPlace, Background, Extend };

inline bool edgeFromFlags(uint32_t flags, Edge& edge) {
    uint32_t e = flags & (kCopyInPlace | kBackgroundColorFill | kEdgeExtend);
    if (e == kCopyInPlace)
        edge = Edge::CopyInPlace;
    else if (e == kBackgroundColorFill)
        edge = Edge::Background;
    else if (e == kEdgeExtend)
        edge = Edge::Extend;
    else
        return false;
    return true;
}

inline Error checkConvolution(const Buffer& src, const Buffer& dest, size_t offX, size_t offY,
                              const float* kernel, uint32_t kh, uint32_t kw, size_t elemBytes,
                              uint32_t flags, Edge& edge) {
    if (!src.data || !dest.data || !kernel) return kNullPointerArgument;
    if (kh == 0 || kw == 0 || kh % 2 == 0 || kw % 2 == 0) return kInvalidKernelSize;
    if (!edgeFromFlags(flags, edge)) return kInvalidEdgeStyle;
    if (!rowsFit(src, elemBytes) || !rowsFit(dest, elemBytes)) return kInvalidParameter;
    if (offX > src.width) return kInvalidOffsetX;
    if (offY > src.height) return kInvalidOffsetY;
    if (dest.width > src.width - offX || dest.height > src.height - offY)
        return kRoiLargerThanInputBuffer;
    return kNoError;
}

// One output pixel of C channels, taps summed row by row, left to right.
template <int C>
inline void convolvePixel(const Buffer& src, size_t sx, size_t sy, const float* kernel, uint32_t kh,
                          uint32_t kw, const float* background, Edge edge, float* out) {
    const long hh = kh / 2, hw = kw / 2;
    const long w = static_cast<long>(src.width), h = static_cast<long>(src.height);
    const long x0 = static_cast<long>(sx) - hw, y0 = static_cast<long>(sy) - hh;
    const bool inside = x0 >= 0 && y0 >= 0 && x0 + long(kw) <= w && y0 + long(kh) <= h;
    if (!inside && edge == Edge::CopyInPlace) {
        const float* s = rowOf<const float>(src, sy) + sx * C;
        for (int c = 0; c < C; ++c) out[c] = s[c];
        return;
    }
    float acc[C] = {};
    for (uint32_t i = 0; i < kh; ++i) {
        long y = y0 + long(i);
        bool rowOut = y < 0 || y >= h;
        if (edge == Edge::Extend) y = y < 0 ? 0 : (y >= h ? h - 1 : y);
        for (uint32_t j = 0; j < kw; ++j) {
            long x = x0 + long(j);
            bool out = rowOut || x < 0 || x >= w;
            const float k = kernel[i * kw + j];
            if (out && edge == Edge::Background) {
                for (int c = 0; c < C; ++c) acc[c] += k * background[c];
                continue;
            }
            if (edge == Edge::Extend) x = x < 0 ? 0 : (x >= w ? w - 1 : x);
            const float* s = rowOf<const float>(src, size_t(y)) + size_t(x) * C;
            for (int c = 0; c < C; ++c) acc[c] += k * s[c];
        }
    }
    for (int c = 0; c < C; ++c) out[c] = acc[c];
}

// Per output coordinate: the source indices (edges repeated) and weights of
// a windowed sinc with `lobes` lobes, stretched when shrinking, normalised.
struct ResampleWeights {
    std::vector<uint32_t> first;  // offset into index/weight per output
    std::vector<uint32_t> count;
    std::vector<uint32_t> index;
    std::vector<float> weight;
};

inline double lanczos(double x, double lobes) {
    x = std::fabs(x);
    if (x < 1e-12) return 1.0;
    if (x >= lobes) return 0.0;
    const double pi = 3.14159265358979323846;
    double px = pi * x;
    return lobes * std::sin(px) * std::sin(px / lobes) / (px * px);
}

inline ResampleWeights resampleWeights(size_t srcN, size_t dstN, double lobes) {
    ResampleWeights w;
    w.first.resize(dstN);
    w.count.resize(dstN);
    const double scale = double(dstN) / double(srcN);
    const double stretch = scale < 1.0 ? 1.0 / scale : 1.0;
    const double support = lobes * stretch;
    std::vector<double> tmp;
    for (size_t i = 0; i < dstN; ++i) {
        double centre = (double(i) + 0.5) / scale - 0.5;
        long lo = static_cast<long>(std::floor(centre - support)) + 1;
        long hi = static_cast<long>(std::floor(centre + support));
        tmp.clear();
        double sum = 0;
        for (long j = lo; j <= hi; ++j) {
            double v = lanczos((double(j) - centre) / stretch, lobes);
            tmp.push_back(v);
            sum += v;
        }
        w.first[i] = static_cast<uint32_t>(w.index.size());
        w.count[i] = static_cast<uint32_t>(tmp.size());
        for (long j = lo; j <= hi; ++j) {
            long c = j < 0 ? 0 : (j >= long(srcN) ? long(srcN) - 1 : j);
            w.index.push_back(static_cast<uint32_t>(c));
            w.weight.push_back(static_cast<float>(tmp[size_t(j - lo)] / sum));
        }
    }
    return w;
}

inline Error checkScale(const Buffer& src, const Buffer& dest, size_t pixelBytes) {
    if (!src.data || !dest.data) return kNullPointerArgument;
    if (src.width == 0 || src.height == 0 || dest.width == 0 || dest.height == 0)
        return kInvalidParameter;
    if (src.width > 0xFFFFFFFFu || src.height > 0xFFFFFFFFu) return kInvalidParameter;
    if (!rowsFit(src, pixelBytes) || !rowsFit(dest, pixelBytes)) return kInvalidParameter;
    return kNoError;
}

inline double lobesFor(uint32_t flags) { return (flags & kHighQualityResampling) ? 3.0 : 2.0; }

}  // namespace platform::vimage::detail
