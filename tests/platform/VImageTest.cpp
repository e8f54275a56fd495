#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "platform/VImage.h"

using namespace platform::vimage;

namespace {

template <typename T>
Buffer view(std::vector<T>& v, size_t width, size_t height, size_t elementsPerRow) {
    return Buffer{v.data(), height, width, elementsPerRow * sizeof(T)};
}

std::vector<float> randomFloats(size_t n, unsigned seed, float lo = -0.2f, float hi = 1.3f) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> d(lo, hi);
    std::vector<float> v(n);
    for (auto& x : v) x = d(rng);
    return v;
}

bool sameBits(const std::vector<float>& a, const std::vector<float>& b) {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * 4) == 0;
}

}  // namespace

TEST(VImageTest, SixteenBitConversionsRoundTripAndClamp) {
    // Every 16-bit value survives 16 -> float -> 16 at the 65325 scale.
    std::vector<uint16_t> all(65536);
    for (size_t i = 0; i < all.size(); ++i) all[i] = uint16_t(i);
    std::vector<float> f(65536);
    std::vector<uint16_t> back(65536);
    const float scale = 1.0f / 65325.0f;
    ASSERT_EQ(convertPlanar16UToF(view(all, 65536, 1, 65536), view(f, 65536, 1, 65536), 0, scale,
                                  kNoFlags),
              kNoError);
    EXPECT_EQ(f[65325], 1.0f);
    ASSERT_EQ(convertPlanarFTo16U(view(f, 65536, 1, 65536), view(back, 65536, 1, 65536), 0, scale,
                                  kNoFlags),
              kNoError);
    EXPECT_EQ(back, all);

    // Rounding to nearest, clamping both ends, NaN to 0, offset honoured.
    std::vector<float> odd = {0.4f, 0.6f, -5.0f, 70000.0f, NAN, 65535.4f, 12.0f};
    std::vector<uint16_t> out(odd.size());
    ASSERT_EQ(convertPlanarFTo16U(view(odd, odd.size(), 1, odd.size()),
                                  view(out, odd.size(), 1, odd.size()), 2.0f, 1.0f, kNoFlags),
              kNoError);
    EXPECT_EQ(out, (std::vector<uint16_t>{0, 0, 0, 65535, 0, 65533, 10}));
}

TEST(VImageTest, ConversionsHonourRowStepsAndMatchTheReference) {
    // 37 x 29 elements with padded rows, threaded: same bits as the scalar loop.
    const size_t w = 37, h = 29, step = 41;
    std::vector<uint16_t> src(step * h);
    std::mt19937 rng(5);
    for (auto& v : src) v = uint16_t(rng());
    std::vector<float> fast(step * h, -1.0f), ref(step * h, -1.0f);
    convertPlanar16UToF(view(src, w, h, step), view(fast, w, h, step), 0.25f, 3e-5f, kNoFlags);
    reference::convertPlanar16UToF(view(src, w, h, step), view(ref, w, h, step), 0.25f, 3e-5f);
    EXPECT_TRUE(sameBits(fast, ref));
    EXPECT_EQ(fast[w], -1.0f);  // padding untouched
    std::vector<uint16_t> a(step * h, 7), b(step * h, 7);
    auto f = randomFloats(step * h, 3, -0.5f, 1.5f);
    convertPlanarFTo16U(view(f, w, h, step), view(a, w, h, step), 0, 1.0f / 65325.0f, kNoFlags);
    reference::convertPlanarFTo16U(view(f, w, h, step), view(b, w, h, step), 0, 1.0f / 65325.0f);
    EXPECT_EQ(a, b);
    EXPECT_EQ(a[w], 7);

    std::vector<float> small(4);
    EXPECT_EQ(convertPlanar16UToF(view(src, w, h, step), view(small, 2, 2, 2), 0, 1, kNoFlags),
              kBufferSizeMismatch);
    EXPECT_EQ(convertPlanarFTo16U(view(f, w, h, step), view(a, w, h, step), 0, 0.0f, kNoFlags),
              kInvalidParameter);
}

TEST(VImageTest, MatrixMultipliesRowVectorsInPlace) {
    const float m[16] = {1,    0, 0, 0.3f,  //
                         0,    2, 0, 0.6f,  //
                         0,    0, 3, 0.1f,  //
                         0.5f, 0, 0, 0};    // alpha feeds red
    std::vector<float> px = {0.2f, 0.4f, 0.6f, 1.0f};
    const float post[4] = {0, 0, 0, 0.5f};
    ASSERT_EQ(
        matrixMultiplyARGBFFFF(view(px, 1, 1, 4), view(px, 1, 1, 4), m, nullptr, post, kNoFlags),
        kNoError);
    EXPECT_FLOAT_EQ(px[0], 0.2f + 0.5f);
    EXPECT_FLOAT_EQ(px[1], 0.8f);
    EXPECT_FLOAT_EQ(px[2], 1.8f);
    EXPECT_FLOAT_EQ(px[3], 0.3f * 0.2f + 0.6f * 0.4f + 0.1f * 0.6f + 0.5f);

    const size_t w = 53, h = 17, step = 60 * 4;
    auto src = randomFloats(step * h, 9);
    auto inPlace = src, ref = src;
    float mm[16];
    auto r = randomFloats(16, 11, -1, 1);
    std::copy(r.begin(), r.end(), mm);
    const float pre[4] = {0.1f, -0.2f, 0.3f, 0};
    matrixMultiplyARGBFFFF(view(inPlace, w, h, step), view(inPlace, w, h, step), mm, pre, post,
                           kNoFlags);
    reference::matrixMultiplyARGBFFFF(view(src, w, h, step), view(ref, w, h, step), mm, pre, post);
    EXPECT_TRUE(sameBits(inPlace, ref));
}

TEST(VImageTest, ConvolutionWithRegionOfInterestAndEdges) {
    // 9 x 7 source, 5 x 3 kernel, destination 6 x 4 at offset (2, 1).
    const size_t sw = 9, sh = 7;
    auto src = randomFloats(sw * sh * 4, 21);
    auto kernel = randomFloats(15, 22, -0.3f, 0.6f);
    const float bg[4] = {0.5f, 0.25f, 0, 1};
    for (uint32_t edge : {kCopyInPlace, kBackgroundColorFill, kEdgeExtend}) {
        for (uint32_t tile : {kNoFlags, kDoNotTile}) {
            std::vector<float> fast(6 * 4 * 4), ref(6 * 4 * 4);
            ASSERT_EQ(convolveARGBFFFF(view(src, sw, sh, sw * 4), view(fast, 6, 4, 24), 2, 1,
                                       kernel.data(), 3, 5, bg, edge | tile),
                      kNoError);
            reference::convolveARGBFFFF(view(src, sw, sh, sw * 4), view(ref, 6, 4, 24), 2, 1,
                                        kernel.data(), 3, 5, bg, edge);
            EXPECT_TRUE(sameBits(fast, ref)) << edge;
        }
    }
    // One pixel against the formula: destination (2, 1) is source (4, 2), inside.
    std::vector<float> out(6 * 4 * 4);
    convolveARGBFFFF(view(src, sw, sh, sw * 4), view(out, 6, 4, 24), 2, 1, kernel.data(), 3, 5, bg,
                     kCopyInPlace);
    for (int c = 0; c < 4; ++c) {
        double sum = 0;
        for (int i = 0; i < 3; ++i)
            for (int j = 0; j < 5; ++j)
                sum += kernel[i * 5 + j] * src[((2 - 1 + i) * sw + (4 - 2 + j)) * 4 + c];
        EXPECT_NEAR(out[(1 * 6 + 2) * 4 + c], sum, 1e-5);
    }
    // Copy-in-place keeps a pixel whose kernel leaves the source: destination
    // (5, 0) is source (7, 1), whose kernel reaches column 9.
    EXPECT_EQ(out[(0 * 6 + 5) * 4], src[(1 * sw + 7) * 4]);

    // Planar matches the first channel of an equivalent four-channel run.
    std::vector<float> plane(sw * sh), planeOut(6 * 4);
    for (size_t i = 0; i < sw * sh; ++i) plane[i] = src[i * 4];
    ASSERT_EQ(convolvePlanarF(view(plane, sw, sh, sw), view(planeOut, 6, 4, 6), 2, 1, kernel.data(),
                              3, 5, 0.5f, kBackgroundColorFill),
              kNoError);
    std::vector<float> four(6 * 4 * 4);
    convolveARGBFFFF(view(src, sw, sh, sw * 4), view(four, 6, 4, 24), 2, 1, kernel.data(), 3, 5, bg,
                     kBackgroundColorFill);
    for (size_t i = 0; i < 24; ++i) EXPECT_EQ(planeOut[i], four[i * 4]);

    std::vector<float> big(8 * 8 * 4);
    EXPECT_EQ(convolveARGBFFFF(view(src, sw, sh, sw * 4), view(big, 8, 8, 32), 2, 1, kernel.data(),
                               3, 5, bg, kCopyInPlace),
              kRoiLargerThanInputBuffer);
    EXPECT_EQ(convolveARGBFFFF(view(src, sw, sh, sw * 4), view(out, 6, 4, 24), 2, 1, kernel.data(),
                               3, 4, bg, kCopyInPlace),
              kInvalidKernelSize);
    EXPECT_EQ(convolveARGBFFFF(view(src, sw, sh, sw * 4), view(out, 6, 4, 24), 2, 1, kernel.data(),
                               3, 5, bg, kCopyInPlace | kEdgeExtend),
              kInvalidEdgeStyle);
}

TEST(VImageTest, ScalingIsDeterministicAndKeepsFlatImagesFlat) {
    const size_t sw = 301, sh = 203;
    auto src = randomFloats(sw * sh * 4, 31, 0, 1);
    for (auto [dw, dh] : {std::pair<size_t, size_t>{150, 101}, {640, 411}, {301, 50}}) {
        std::vector<float> threaded(dw * dh * 4), single(dw * dh * 4), ref(dw * dh * 4);
        ASSERT_EQ(scaleARGBFFFF(view(src, sw, sh, sw * 4), view(threaded, dw, dh, dw * 4),
                                kHighQualityResampling),
                  kNoError);
        scaleARGBFFFF(view(src, sw, sh, sw * 4), view(single, dw, dh, dw * 4),
                      kHighQualityResampling | kDoNotTile);
        reference::scaleARGBFFFF(view(src, sw, sh, sw * 4), view(ref, dw, dh, dw * 4),
                                 kHighQualityResampling);
        EXPECT_TRUE(sameBits(threaded, single));
        EXPECT_TRUE(sameBits(threaded, ref));
    }
    // A flat 16-bit image stays flat; 16-bit and float paths agree after rounding.
    std::vector<uint16_t> flat(64 * 48 * 4, 40000), out(30 * 20 * 4);
    ASSERT_EQ(scaleARGB16U(view(flat, 64, 48, 256), view(out, 30, 20, 120), kHighQualityResampling),
              kNoError);
    for (uint16_t v : out) ASSERT_NEAR(v, 40000, 1);
    std::vector<uint16_t> ramp(64 * 48 * 4);
    for (size_t i = 0; i < ramp.size(); ++i) ramp[i] = uint16_t((i * 37) % 65536);
    std::vector<float> rampF(ramp.begin(), ramp.end()), outF(97 * 71 * 4);
    std::vector<uint16_t> out16(97 * 71 * 4);
    scaleARGB16U(view(ramp, 64, 48, 256), view(out16, 97, 71, 388), kNoFlags);
    scaleARGBFFFF(view(rampF, 64, 48, 256), view(outF, 97, 71, 388), kNoFlags);
    for (size_t i = 0; i < out16.size(); ++i) {
        float expect = std::fmin(std::fmax(outF[i], 0.0f), 65535.0f);
        ASSERT_NEAR(out16[i], expect, 0.51f) << i;
    }
    EXPECT_EQ(scaleARGBFFFF(view(src, sw, sh, sw * 4), Buffer{nullptr, 1, 1, 16}, kNoFlags),
              kNullPointerArgument);
}

TEST(VImageTest, GammaAndFourChannelHistogram) {
    float samples[] = {0.25f, 0.0f, -1.0f, 1.0f};
    platform::vimage::gammaPlanarF(samples, 4, 0.5f);
    EXPECT_FLOAT_EQ(samples[0], 0.5f);
    EXPECT_EQ(samples[1], 0.0f);
    EXPECT_EQ(samples[2], 0.0f);
    EXPECT_FLOAT_EQ(samples[3], 1.0f);

    // Out-of-range values go to the end bins; NaN and negatives to the first.
    const float nan = std::nanf("");
    const float pixels[] = {0.5f, 2.0f, -3.0f, nan, 0.0f, 1.0f, 0.99f, 0.26f};
    std::vector<uint64_t> h[4];
    for (auto& v : h) v.assign(4, 99);
    uint64_t* const out[4] = {h[0].data(), h[1].data(), h[2].data(), h[3].data()};
    ASSERT_EQ(platform::vimage::histogramFFFF(pixels, 2, 4, 0.0f, 1.0f, out),
              platform::vimage::kNoError);
    EXPECT_EQ(h[0], (std::vector<uint64_t>{1, 0, 1, 0}));
    EXPECT_EQ(h[1], (std::vector<uint64_t>{0, 0, 0, 2}));
    EXPECT_EQ(h[2], (std::vector<uint64_t>{1, 0, 0, 1}));
    EXPECT_EQ(h[3], (std::vector<uint64_t>{1, 1, 0, 0}));
    EXPECT_EQ(platform::vimage::histogramFFFF(pixels, 2, 0, 0.0f, 1.0f, out),
              platform::vimage::kInvalidParameter);
}
