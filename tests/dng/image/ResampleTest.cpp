// Resampling: kernel and weight tables, coordinates, bit-exact identity,
// constant images on both paths, an exact replica of the 16-bit arithmetic,
// and thread-count independence.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>

#include "dng/color/dng_bottleneck.h"
#include "dng/image/ImageTestSupport.h"
#include "dng/image/dng_resample.h"

using imagetest::makeImage;
using imagetest::sample;

TEST(Resample, BicubicKernelValues) {
    const dng_resample_function& k = dng_resample_bicubic::Get();
    EXPECT_EQ(&k, &dng_resample_bicubic::Get());
    EXPECT_EQ(k.Extent(), 2.0);
    EXPECT_DOUBLE_EQ(k.Evaluate(0.0), 1.0);
    EXPECT_DOUBLE_EQ(k.Evaluate(0.5), 0.59375);
    EXPECT_DOUBLE_EQ(k.Evaluate(1.0), 0.0);
    EXPECT_DOUBLE_EQ(k.Evaluate(-1.5), -0.09375);
    EXPECT_DOUBLE_EQ(k.Evaluate(2.0), 0.0);
    EXPECT_DOUBLE_EQ(k.Evaluate(7.0), 0.0);
}

TEST(Resample, WeightTablesSumToOneInEveryPhase) {
    dng_host host;
    struct Case {
        double scale;
        uint32_t radius, step;
    } cases[] = {{0.25, 8, 16}, {2.0, 2, 8}, {1.0, 2, 8}, {256.0 / 6000.0, 47, 96}};
    for (const Case& c : cases) {
        dng_resample_weights w;
        w.Initialize(c.scale, dng_resample_bicubic::Get(), host.Allocator());
        EXPECT_EQ(w.Radius(), c.radius);
        EXPECT_EQ(w.Step(), c.step);
        for (uint32_t phase = 0; phase < kResampleSubsampleCount; ++phase) {
            int32_t total16 = 0;
            double total32 = 0;
            for (uint32_t j = 0; j < w.Step(); ++j) {
                total16 += w.Weights16(phase)[j];
                total32 += w.Weights32(phase)[j];
            }
            EXPECT_EQ(total16, 16384) << c.scale << " phase " << phase;
            EXPECT_NEAR(total32, 1.0, 1e-5);
        }
        // Phase 0 at unit scale is the identity: taps 0, 1, 0, 0.
        if (c.scale == 1.0) {
            EXPECT_EQ(w.Weights16(0)[0], 0);
            EXPECT_EQ(w.Weights16(0)[1], 16384);
            EXPECT_EQ(w.Weights16(0)[2], 0);
            EXPECT_EQ(w.Weights32(0)[1], 1.0f);
        }
    }

    dng_resample_weights_2d w2;
    w2.Initialize(dng_resample_bicubic::Get(), host.Allocator());
    EXPECT_EQ(w2.Radius(), 2u);
    EXPECT_EQ(w2.ColStep(), 16u);
    EXPECT_EQ(w2.RowStep(), 512u);
    for (int32_t y = 0; y < 32; ++y)
        for (int32_t x = 0; x < 32; ++x) {
            int32_t total = 0;
            for (uint32_t j = 0; j < 16; ++j) total += w2.Weights16(dng_point(y, x))[j];
            EXPECT_EQ(total, 16384);
        }
    EXPECT_EQ(w2.Weights16(dng_point(0, 0))[1 * 4 + 1], 16384);
    // Separable: phase (0, 16) is the one-dimensional half-phase row.
    EXPECT_NEAR(w2.Weights32(dng_point(0, 16))[4 + 1], 0.59375f, 1e-6);
}

TEST(Resample, CoordinatesCarrySevenFractionBits) {
    dng_host host;
    dng_resample_coords coords;
    coords.Initialize(0, 0, 100, 50, host.Allocator());
    EXPECT_EQ(*coords.Coords(0), 64);
    EXPECT_EQ(*coords.Coords(1), 320);
    EXPECT_EQ(coords.Coords(0)[55], coords.Coords(0)[49]);  // padding repeats the last

    // Enlarging starts before the first source pixel: arithmetic shifts keep
    // the integer part at -1 and the phase positive.
    dng_resample_coords up;
    up.Initialize(0, 10, 3, 6, host.Allocator());
    EXPECT_EQ(*up.Coords(10), -32);
    EXPECT_EQ(up.Pixel(10), -1);
    EXPECT_EQ(*up.Coords(10) & 127, 96);
}

namespace {

std::unique_ptr<dng_simple_image> resample(dng_host& host, const dng_simple_image& src,
                                           const dng_rect& dstBounds, uint32_t dstType,
                                           uint32_t dstPlanes = 0) {
    auto dst = std::make_unique<dng_simple_image>(dstBounds, dstPlanes ? dstPlanes : src.Planes(),
                                                  dstType, host.Allocator());
    ResampleImage(host, src, *dst, src.Bounds(), dst->Bounds(), dng_resample_bicubic::Get());
    return dst;
}

}  // namespace

TEST(Resample, SameSizeIsBitExact) {
    dng_host host;
    std::mt19937 rng(1);
    for (uint32_t type : {1u, 3u, 11u}) {
        auto src =
            makeImage(host, dng_rect(0, 0, 61, 75), 3, type, [&](int32_t, int32_t, uint32_t) {
                return type == 11 ? double(rng() % 100001) / 100000.0
                                  : double(rng() % (type == 1 ? 256 : 65536));
            });
        auto dst = resample(host, *src, src->Bounds(), type);
        EXPECT_TRUE(dst->EqualArea(*src, src->Bounds(), 0, 3)) << "type " << type;
    }
}

TEST(Resample, ConstantImagesStayConstant) {
    dng_host host;
    const dng_rect sizes[] = {dng_rect(0, 0, 37, 23), dng_rect(0, 0, 55, 141),
                              dng_rect(0, 0, 1, 1)};
    for (uint32_t type : {3u, 11u}) {
        const double value = type == 3 ? 12345 : 0.3;
        auto src = makeImage(host, dng_rect(0, 0, 300, 70), 2, type,
                             [&](int32_t, int32_t, uint32_t) { return value; });
        for (const dng_rect& bounds : sizes) {
            auto dst = resample(host, *src, bounds, type);
            double worst = 0;
            for (int32_t r = 0; r < bounds.b; ++r)
                for (int32_t c = 0; c < bounds.r; ++c)
                    for (uint32_t p = 0; p < 2; ++p)
                        worst = std::max(worst,
                                         std::fabs(sample(*dst, r, c, p) - double(float(value))));
            // Float weights are normalised to float precision: a few units in
            // the last place.
            EXPECT_LE(worst, type == 3 ? 0.0 : 1e-6) << "type " << type;
        }
    }
    // 16-bit source, 8-bit destination: different ranges take the float path.
    auto white = makeImage(host, dng_rect(0, 0, 40, 40), 1, 3,
                           [](int32_t, int32_t, uint32_t) { return 65535; });
    auto bytes = resample(host, *white, dng_rect(0, 0, 9, 13), 1);
    for (int32_t r = 0; r < 9; ++r)
        for (int32_t c = 0; c < 13; ++c) EXPECT_EQ(sample(*bytes, r, c), 255);
}

// Reproduces the 16-bit path with the same tables: down into a row, then
// across, each rounded (x + 8192) >> 14 and clipped.
TEST(Resample, SixteenBitPathMatchesAReplicaOfItsArithmetic) {
    dng_host host;
    std::mt19937 rng(2);
    auto src = makeImage(host, dng_rect(0, 0, 90, 70), 1, 3,
                         [&](int32_t, int32_t, uint32_t) { return double(rng() % 65536); });
    for (const dng_rect bounds : {dng_rect(0, 0, 23, 31), dng_rect(0, 0, 170, 95)}) {
        std::vector<std::unique_ptr<dng_simple_image>> runs;
        for (uint32_t threads : {1u, 4u}) {
            host.SetAreaTaskThreadCount(threads);
            runs.push_back(resample(host, *src, bounds, 3));
        }
        EXPECT_TRUE(runs[0]->EqualArea(*runs[1], bounds, 0, 1));

        dng_resample_coords rows, cols;
        rows.Initialize(0, 0, 90, bounds.H(), host.Allocator());
        cols.Initialize(0, 0, 70, bounds.W(), host.Allocator());
        dng_resample_weights wv, wh;
        wv.Initialize(double(bounds.H()) / 90.0, dng_resample_bicubic::Get(), host.Allocator());
        wh.Initialize(double(bounds.W()) / 70.0, dng_resample_bicubic::Get(), host.Allocator());
        auto at = [&](int32_t r, int32_t c) {
            return int32_t(sample(*src, std::clamp(r, 0, 89), std::clamp(c, 0, 69)));
        };
        for (int32_t i = 0; i < bounds.b; ++i) {
            const int32_t rc = *rows.Coords(i);
            const int32_t top = (rc >> 7) + 1 - int32_t(wv.Radius());
            const int16_t* w = wv.Weights16(uint32_t(rc) & 127);
            for (int32_t j = 0; j < bounds.r; ++j) {
                const int32_t cc = *cols.Coords(j);
                const int32_t left = (cc >> 7) + 1 - int32_t(wh.Radius());
                const int16_t* u = wh.Weights16(uint32_t(cc) & 127);
                int32_t across = 0;
                for (uint32_t k = 0; k < wh.Width(); ++k) {
                    int32_t down = 8192;
                    for (uint32_t m = 0; m < wv.Width(); ++m)
                        down += at(top + int32_t(m), left + int32_t(k)) * w[m];
                    across += std::clamp(down >> 14, 0, 65535) * u[k];
                }
                ASSERT_EQ(sample(*runs[0], i, j), std::clamp((across + 8192) >> 14, 0, 65535))
                    << i << "," << j;
            }
        }
    }
}

TEST(Resample, RowWiseVerticalFilterEqualsTheReferenceRoutine) {
    std::mt19937 rng(3);
    for (int iteration = 0; iteration < 50; ++iteration) {
        const uint32_t count = 1 + rng() % 70, taps = 2 + rng() % 9;
        const int32_t rowStep = int32_t((count + 15) / 16 * 16 + rng() % 3 * 16);
        std::vector<uint16_t> src(size_t(rowStep) * taps + 16);
        for (auto& v : src) v = uint16_t(rng());
        std::vector<int16_t> w(taps);
        for (auto& v : w) v = int16_t(int(rng() % 4000) - 1000);  // sums stay in 32 bits
        const uint32_t range = (rng() & 1) ? 65535 : 255;
        std::vector<uint16_t> expected(count), actual(count);
        std::vector<int32_t> sums((count + 7) / 8 * 8);
        gDNGBottleneck.ResampleDown16(src.data(), expected.data(), count, rowStep, w.data(), taps,
                                      range);
        ResampleDown16Rows(src.data(), actual.data(), sums.data(), count, rowStep, w.data(), taps,
                           range);
        ASSERT_EQ(actual, expected) << iteration;
    }
}
