// Mosaic information and the two demosaicing engines, on synthetic mosaics
// whose every colour plane is a flat field or a linear ramp over the
// interpolation grid.
#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "dng/core/dng_ifd.h"
#include "dng/core/dng_memory_stream.h"
#include "dng/image/ImageTestSupport.h"
#include "dng/image/dng_bilinear_interpolator.h"
#include "dng/image/dng_fast_interpolator.h"
#include "dng/image/dng_mosaic_info.h"

using imagetest::errorCode;
using imagetest::makeImage;
using imagetest::sample;

namespace {

dng_mosaic_info bayer(uint32_t layout = 1) {
    dng_mosaic_info info;
    info.fCFAPatternSize = dng_point(2, 2);
    info.fCFAPattern[0][0] = 0;
    info.fCFAPattern[0][1] = 1;
    info.fCFAPattern[1][0] = 1;
    info.fCFAPattern[1][1] = 2;
    info.fColorPlanes = 3;
    info.fCFAPlaneColor[0] = 0;
    info.fCFAPlaneColor[1] = 1;
    info.fCFAPlaneColor[2] = 2;
    info.fCFALayout = layout;
    return info;
}

// Position on the interpolation grid of source pixel (i, j) for the
// half-pixel staggered layouts.
dng_point gridPosition(uint32_t layout, int32_t i, int32_t j) {
    switch (layout) {
        case 2:
            return dng_point(2 * i + (j & 1), j);
        case 3:
            return dng_point(2 * i + 1 - (j & 1), j);
        case 4:
            return dng_point(i, 2 * j + (i & 1));
        case 5:
            return dng_point(i, 2 * j + 1 - (i & 1));
        case 6:
        case 7:
        case 8:
        case 9: {
            // Quarter-offset layouts: two of every four doubled-grid rows
            // and columns hold the pixels.
            const int32_t rowPhase = layout <= 7 ? 1 : 3,
                          colPhase = (layout == 6 || layout == 8) ? 1 : 3;
            return dng_point(4 * (i / 2) + ((i & 1) ? rowPhase : 0),
                             4 * (j / 2) + ((j & 1) ? colPhase : 0));
        }
        default:
            return dng_point(i, j);
    }
}

// Plane p of the test scene at grid position (r, c).
double ramp(uint32_t p, int32_t r, int32_t c) { return 4000.0 + 1000.0 * p + 8.0 * r + 16.0 * c; }

std::unique_ptr<dng_simple_image> mosaicOf(dng_host& host, const dng_mosaic_info& info,
                                           int32_t rows, int32_t cols, bool flat) {
    return makeImage(host, dng_rect(0, 0, rows, cols), 1, 3, [&](int32_t i, int32_t j, uint32_t) {
        const uint8_t color =
            info.fCFAPattern[i % info.fCFAPatternSize.v][j % info.fCFAPatternSize.h];
        uint32_t plane = 0;
        while (info.fCFAPlaneColor[plane] != color) ++plane;
        if (flat) return 3000.0 + 100.0 * plane;
        const dng_point g = gridPosition(info.fCFALayout, i, j);
        return ramp(plane, g.v, g.h);
    });
}

}  // namespace

TEST(MosaicInfo, FourColorBayerSplitsTheGreenDiagonal) {
    dng_mosaic_info info = bayer();
    EXPECT_TRUE(info.SetFourColorBayer());
    EXPECT_EQ(info.fColorPlanes, 4u);
    EXPECT_EQ(info.fCFAPattern[0][0], 0);
    EXPECT_EQ(info.fCFAPattern[0][1], 1);
    EXPECT_EQ(info.fCFAPattern[1][0], 3);
    EXPECT_EQ(info.fCFAPattern[1][1], 2);
    EXPECT_EQ(info.fCFAPlaneColor[3], 3);

    dng_mosaic_info stripes = bayer();
    stripes.fCFAPattern[1][0] = 2;
    stripes.fCFAPattern[1][1] = 1;
    EXPECT_FALSE(stripes.SetFourColorBayer());
    EXPECT_EQ(stripes.fColorPlanes, 3u);
    EXPECT_EQ(stripes.fCFAPattern[1][0], 2);
}

TEST(MosaicInfo, DownScaleChoiceAndSizes) {
    dng_mosaic_info info = bayer();
    EXPECT_FALSE(info.IsSafeDownScale(dng_point(1, 1)));
    EXPECT_TRUE(info.IsSafeDownScale(dng_point(2, 2)));
    EXPECT_TRUE(info.IsSafeDownScale(dng_point(3, 3)));
    EXPECT_FALSE(info.IsSafeDownScale(dng_point(1, 2)));

    info.SetSizes(dng_point(4000, 6000), dng_point(4000, 6000), 1.0);
    EXPECT_EQ(info.SizeForDownScale(dng_point(7, 7)), 857u);
    EXPECT_EQ(info.DownScale(256, 1024, 1.0), dng_point(6, 6));
    EXPECT_EQ(info.DownScale(256, 0, 1.0), dng_point(1, 1));
    EXPECT_EQ(info.DstSize(dng_point(6, 6)), dng_point(667, 1000));
    EXPECT_EQ(info.DstSize(dng_point(65, 65)), dng_point(0, 0));
    EXPECT_TRUE(info.ValidSizeDownScale(dng_point(64, 64), 1));
    EXPECT_FALSE(info.ValidSizeDownScale(dng_point(65, 2), 1));

    dng_mosaic_info small = bayer();
    small.SetSizes(dng_point(64, 64), dng_point(64, 64), 1.0);
    EXPECT_EQ(small.DownScale(100, 128, 1.0), dng_point(1, 1));

    dng_mosaic_info wide = bayer();
    wide.SetSizes(dng_point(1000, 4000), dng_point(1000, 4000), 3.0);
    EXPECT_EQ(wide.DownScale(0, 100, 1.0).v % 3, 0);

    dng_mosaic_info stagger = bayer(2);
    stagger.SetSizes(dng_point(10, 20), dng_point(10, 20), 1.0);
    EXPECT_EQ(stagger.FullScale(), dng_point(2, 1));
    EXPECT_EQ(stagger.DstSize(dng_point(1, 1)), dng_point(20, 20));
    stagger.fCFALayout = 4;
    EXPECT_EQ(stagger.DstSize(dng_point(1, 1)), dng_point(10, 40));
}

TEST(MosaicInfo, ParseTakesOnlyColorFilterArrays) {
    dng_host host;
    dng_memory_stream stream(host.Allocator());
    dng_ifd ifd;
    ifd.fPhotometricInterpretation = piCFA;
    ifd.fCFARepeatPatternRows = 2;
    ifd.fCFARepeatPatternCols = 2;
    ifd.fCFAPattern[0][1] = 1;
    ifd.fCFAPattern[1][0] = 1;
    ifd.fCFAPattern[1][1] = 2;
    const uint8_t colors[3] = {0, 1, 2};
    dng_mosaic_info info;
    info.Parse(host, stream, ifd, 3, colors, 1);
    EXPECT_TRUE(info.IsColorFilterArray());
    EXPECT_EQ(info.fBayerGreenSplit, 1u);
    EXPECT_EQ(info.fCFAPattern[1][1], 2);

    dng_mosaic_info linear;
    ifd.fPhotometricInterpretation = piLinearRaw;
    linear.Parse(host, stream, ifd, 3, colors, 0);
    EXPECT_FALSE(linear.IsColorFilterArray());

    ifd.fPhotometricInterpretation = piCFA;
    ifd.fCFARepeatPatternRows = 9;
    EXPECT_EQ(errorCode([&] { linear.Parse(host, stream, ifd, 3, colors, 0); }), 100006);
}

TEST(BilinearKernel, AddMergesAndFinalizeSumsTo256) {
    dng_bilinear_kernel k;
    k.Add(dng_point(0, 1), 0.5f);
    k.Add(dng_point(0, 1), 0.5f);
    k.Add(dng_point(1, 1), 0.0f);
    ASSERT_EQ(k.fCount, 1u);
    EXPECT_EQ(k.fWeight32[0], 1.0f);

    dng_bilinear_kernel thirds;
    thirds.Add(dng_point(1, 0), 1.0f / 3);
    thirds.Add(dng_point(-1, 0), 1.0f / 3);
    thirds.Add(dng_point(0, 2), 1.0f / 3);
    thirds.Finalize(dng_point(1, 1), 0, 0, 100, 1);
    EXPECT_EQ(thirds.fDelta[0], dng_point(-1, 0));
    EXPECT_EQ(thirds.fOffset[0], -100);
    EXPECT_EQ(thirds.fOffset[1], 2);
    EXPECT_EQ(thirds.fWeight16[0], 86);
    EXPECT_EQ(thirds.fWeight16[1], 85);
    EXPECT_EQ(thirds.fWeight16[2], 85);
    EXPECT_EQ(thirds.fWeight32[0], 86.0f / 256);

    // A doubled direction maps grid deltas to source rows by the phase.
    dng_bilinear_kernel half;
    half.Add(dng_point(-1, 0), 0.5f);
    half.Add(dng_point(1, 0), 0.5f);
    half.Finalize(dng_point(2, 1), 1, 0, 10, 1);
    EXPECT_EQ(half.fDelta[0], dng_point(0, 0));
    EXPECT_EQ(half.fDelta[1], dng_point(1, 0));
}

TEST(BilinearPattern, BayerKernels) {
    const dng_mosaic_info info = bayer();
    dng_bilinear_pattern red;
    red.Calculate(info, 0, 100, 1);
    // At a blue site: the four diagonals.
    const dng_bilinear_kernel& atBlue = red.fKernel[1][1];
    ASSERT_EQ(atBlue.fCount, 4u);
    for (uint32_t k = 0; k < 4; ++k) EXPECT_EQ(atBlue.fWeight16[k], 64);
    // At a green site in a red row: left and right.
    const dng_bilinear_kernel& atGreen = red.fKernel[0][1];
    ASSERT_EQ(atGreen.fCount, 2u);
    EXPECT_EQ(atGreen.fOffset[0], -1);
    EXPECT_EQ(atGreen.fOffset[1], 1);
    EXPECT_EQ(atGreen.fWeight16[0], 128);
    // At a red site: the sample itself.
    ASSERT_EQ(red.fKernel[0][0].fCount, 1u);
    EXPECT_EQ(red.fKernel[0][0].fWeight16[0], 256);

    dng_mosaic_info bad = bayer(10);
    EXPECT_EQ(errorCode([&] { dng_bilinear_pattern().Calculate(bad, 0, 100, 1); }), 100000);
}

// Full-size demosaic: flat fields exactly everywhere, ramps exactly away
// from the edges, for every layout. Staggered layouts weight some sites by
// thirds, which 8-bit fixed-point weights only approximate: their 16-bit
// output still rounds to the exact ramp, their float output is within a
// fraction of a level.
TEST(BilinearInterpolator, FlatFieldsAndRampsAreReproduced) {
    dng_host host;
    const int32_t rows = 150, cols = 140;
    for (uint32_t layout = 1; layout <= 9; ++layout) {
        const dng_mosaic_info info = bayer(layout);
        const dng_point scale = info.FullScale();
        for (bool flat : {true, false}) {
            auto mosaic = mosaicOf(host, info, rows, cols, flat);
            for (uint32_t type : {3u, 11u}) {
                dng_simple_image dst(dng_rect(0, 0, rows * scale.v, cols * scale.h), 3, type,
                                     host.Allocator());
                info.InterpolateGeneric(host, nullptr, *mosaic, dst);
                const int32_t margin = flat ? 0 : 6;
                for (int32_t r = margin; r < dst.Bounds().b - margin; ++r)
                    for (int32_t c = margin; c < dst.Bounds().r - margin; ++c)
                        for (uint32_t p = 0; p < 3; ++p) {
                            const dng_point g =
                                layout >= 6 ? gridPosition(layout, r, c) : dng_point(r, c);
                            const double expected = flat ? 3000.0 + 100.0 * p : ramp(p, g.v, g.h);
                            // Float results are on the 0..1 scale, within float
                            // rounding (and the weights' 1/256 steps).
                            const double scale = type == 11 ? 65535.0 : 1.0;
                            const double tolerance =
                                type == 3 ? 0.0 : (layout > 1 && !flat ? 0.2 : 0.002);
                            ASSERT_NEAR(sample(dst, r, c, p) * scale, expected, tolerance)
                                << "layout " << layout << " type " << type << " at " << r << ","
                                << c << " plane " << p;
                        }
            }
        }
    }
}

TEST(FastInterpolator, AveragesEachCellPerColour) {
    dng_host host;
    std::mt19937 rng(4);
    const dng_mosaic_info info = bayer();
    auto mosaic = makeImage(host, dng_rect(0, 0, 61, 83), 1, 3,
                            [&](int32_t, int32_t, uint32_t) { return double(rng() % 65536); });
    for (int32_t down : {2, 3}) {
        std::vector<std::unique_ptr<dng_simple_image>> runs;
        for (uint32_t threads : {1u, 4u}) {
            host.SetAreaTaskThreadCount(threads);
            auto dst = std::make_unique<dng_simple_image>(
                dng_rect(0, 0, (61 + down - 1) / down, (83 + down - 1) / down), 3, 3,
                host.Allocator());
            dng_point_real64 scales[3];
            info.Interpolate(host, nullptr, *mosaic, *dst, dng_point(down, down), 0, scales);
            EXPECT_EQ(scales[2], dng_point_real64(1.0 / down, 1.0 / down));
            runs.push_back(std::move(dst));
        }
        EXPECT_TRUE(runs[0]->EqualArea(*runs[1], runs[0]->Bounds(), 0, 3));
        const dng_simple_image& dst = *runs[0];
        for (int32_t r = 0; r < dst.Bounds().b; ++r)
            for (int32_t c = 0; c < dst.Bounds().r; ++c) {
                uint32_t total[3] = {}, count[3] = {};
                for (int32_t i = r * down; i < (r + 1) * down; ++i)
                    for (int32_t j = c * down; j < (c + 1) * down; ++j) {
                        // Past the edge the mosaic repeats with its phase.
                        const int32_t si = i < 61 ? i : 59 + (i - 59) % 2;
                        const int32_t sj = j < 83 ? j : 81 + (j - 81) % 2;
                        const uint32_t p = info.fCFAPattern[i % 2][j % 2];
                        total[p] += uint32_t(sample(*mosaic, si, sj));
                        count[p]++;
                    }
                for (uint32_t p = 0; p < 3; ++p)
                    ASSERT_EQ(sample(dst, r, c, p), (total[p] + count[p] / 2) / count[p])
                        << down << ": " << r << "," << c << " plane " << p;
            }
    }
}

TEST(BilinearInterpolator, ThreadCountDoesNotChangeTheResult) {
    dng_host host;
    std::mt19937 rng(8);
    for (uint32_t layout : {1u, 2u, 5u, 7u}) {
        const dng_mosaic_info info = bayer(layout);
        const dng_point scale = info.FullScale();
        auto mosaic = makeImage(host, dng_rect(0, 0, 141, 259), 1, 3,
                                [&](int32_t, int32_t, uint32_t) { return double(rng() % 65536); });
        std::vector<std::unique_ptr<dng_simple_image>> runs;
        for (uint32_t threads : {1u, 4u}) {
            host.SetAreaTaskThreadCount(threads);
            runs.push_back(std::make_unique<dng_simple_image>(
                dng_rect(0, 0, 141 * scale.v, 259 * scale.h), 3, 3, host.Allocator()));
            info.Interpolate(host, nullptr, *mosaic, *runs.back(), dng_point(1, 1));
        }
        EXPECT_TRUE(runs[0]->EqualArea(*runs[1], runs[0]->Bounds(), 0, 3)) << layout;
    }
}
