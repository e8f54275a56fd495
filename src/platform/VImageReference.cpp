// Scalar definitions of the image routines: one element at a time, in the
// order the fast versions must reproduce.
#include <vector>

#include "platform/VImage.h"
#include "platform/VImageInternal.h"

namespace platform::vimage::reference {

using namespace detail;

Error convertPlanar16UToF(const Buffer& src, const Buffer& dest, float offset, float scale) {
    if (Error e = checkSameSize(src, dest, 2, 4)) return e;
    for (size_t y = 0; y < src.height; ++y)
        for (size_t x = 0; x < src.width; ++x)
            rowOf<float>(dest, y)[x] = offset + scale * float(rowOf<const uint16_t>(src, y)[x]);
    return kNoError;
}

Error convertPlanarFTo16U(const Buffer& src, const Buffer& dest, float offset, float scale) {
    if (Error e = checkSameSize(src, dest, 4, 2)) return e;
    if (!(scale != 0.0f)) return kInvalidParameter;
    const float mul = inverseScale(scale);
    for (size_t y = 0; y < src.height; ++y)
        for (size_t x = 0; x < src.width; ++x) {
            float v = (rowOf<const float>(src, y)[x] - offset) * mul;
            rowOf<uint16_t>(dest, y)[x] = static_cast<uint16_t>(static_cast<int32_t>(to16U(v)));
        }
    return kNoError;
}

Error matrixMultiplyARGBFFFF(const Buffer& src, const Buffer& dest, const float matrix[16],
                             const float* preBias, const float* postBias) {
    if (!matrix) return kNullPointerArgument;
    if (Error e = checkSameSize(src, dest, 16, 16)) return e;
    for (size_t y = 0; y < src.height; ++y)
        for (size_t x = 0; x < src.width; ++x) {
            float p[4];
            for (int i = 0; i < 4; ++i)
                p[i] = rowOf<const float>(src, y)[4 * x + i] + (preBias ? preBias[i] : 0.0f);
            for (int j = 0; j < 4; ++j) {
                float v = p[0] * matrix[j];
                v += p[1] * matrix[4 + j];
                v += p[2] * matrix[8 + j];
                v += p[3] * matrix[12 + j];
                v += postBias ? postBias[j] : 0.0f;
                rowOf<float>(dest, y)[4 * x + j] = v;
            }
        }
    return kNoError;
}

Error convolveARGBFFFF(const Buffer& src, const Buffer& dest, size_t offX, size_t offY,
                       const float* kernel, uint32_t kh, uint32_t kw,
                       const float backgroundColor[4], uint32_t flags) {
    Edge edge;
    if (Error e = checkConvolution(src, dest, offX, offY, kernel, kh, kw, 16, flags, edge))
        return e;
    const float zero[4] = {0, 0, 0, 0};
    for (size_t y = 0; y < dest.height; ++y)
        for (size_t x = 0; x < dest.width; ++x)
            convolvePixel<4>(src, x + offX, y + offY, kernel, kh, kw,
                             backgroundColor ? backgroundColor : zero, edge,
                             rowOf<float>(dest, y) + 4 * x);
    return kNoError;
}

Error scaleARGBFFFF(const Buffer& src, const Buffer& dest, uint32_t flags) {
    if (Error e = checkScale(src, dest, 16)) return e;
    const double lobes = lobesFor(flags);
    ResampleWeights wx = resampleWeights(src.width, dest.width, lobes);
    ResampleWeights wy = resampleWeights(src.height, dest.height, lobes);
    std::vector<float> tmp(dest.width * 4 * src.height);
    for (size_t y = 0; y < src.height; ++y)
        for (size_t x = 0; x < dest.width; ++x)
            for (int c = 0; c < 4; ++c) {
                float acc = 0;
                for (uint32_t k = 0; k < wx.count[x]; ++k)
                    acc += wx.weight[wx.first[x] + k] *
                           rowOf<const float>(src, y)[wx.index[wx.first[x] + k] * 4 + c];
                tmp[(y * dest.width + x) * 4 + c] = acc;
            }
    for (size_t y = 0; y < dest.height; ++y)
        for (size_t x = 0; x < dest.width; ++x)
            for (int c = 0; c < 4; ++c) {
                float acc = 0;
                for (uint32_t k = 0; k < wy.count[y]; ++k)
                    acc += wy.weight[wy.first[y] + k] *
                           tmp[(size_t(wy.index[wy.first[y] + k]) * dest.width + x) * 4 + c];
                rowOf<float>(dest, y)[4 * x + c] = acc;
            }
    return kNoError;
}

}  // namespace platform::vimage::reference
