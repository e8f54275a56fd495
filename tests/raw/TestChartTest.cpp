#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <stdexcept>
#include <vector>

#include "raw/CFAPattern.h"
#include "raw/DemosaicAHD.h"
#include "raw/TestChart.h"

namespace {

using Vec = std::array<double, 3>;
using Mat = std::array<double, 9>;

Vec Apply(const Mat& m, const Vec& v) {
    return {m[0] * v[0] + m[1] * v[1] + m[2] * v[2], m[3] * v[0] + m[4] * v[1] + m[5] * v[2],
            m[6] * v[0] + m[7] * v[1] + m[8] * v[2]};
}

// Solves camera = cameraFromScene(scene) for the scene by Cramer's rule on
// the matrix the chart exposes column by column.
Vec SceneFromCamera(const Vec& camera) {
    Mat m{};
    for (int c = 0; c < 3; ++c) {
        Vec unit{};
        unit[c] = 1.0;
        const Vec col = TestChart::cameraFromScene(unit);
        for (int r = 0; r < 3; ++r) m[r * 3 + c] = col[r];
    }
    auto det = [](const Mat& a) {
        return a[0] * (a[4] * a[8] - a[5] * a[7]) - a[1] * (a[3] * a[8] - a[5] * a[6]) +
               a[2] * (a[3] * a[7] - a[4] * a[6]);
    };
    const double d = det(m);
    Vec out{};
    for (int c = 0; c < 3; ++c) {
        Mat mc = m;
        for (int r = 0; r < 3; ++r) mc[r * 3 + c] = camera[r];
        out[c] = det(mc) / d;
    }
    return out;
}

}  // namespace

TEST(TestChart, CameraModelIsConsistent) {
    // ProPhoto white is the D65 white; its luminance row sums to one.
    const Vec white = Apply(TestChart::proPhotoD65ToXYZ(), {1, 1, 1});
    EXPECT_NEAR(white[0], 0.3127 / 0.3290, 1e-9);
    EXPECT_NEAR(white[1], 1.0, 1e-9);
    EXPECT_NEAR(white[2], (1 - 0.3127 - 0.3290) / 0.3290, 1e-9);

    // A scene white of 1.0 is the as-shot neutral, whose largest channel is 1.
    const Vec neutral = TestChart::asShotNeutral();
    const Vec camera = TestChart::cameraFromScene({1, 1, 1});
    for (int c = 0; c < 3; ++c) EXPECT_NEAR(camera[c], neutral[c], 1e-12);
    EXPECT_DOUBLE_EQ(std::max({neutral[0], neutral[1], neutral[2]}), 1.0);
    EXPECT_GT(std::min({neutral[0], neutral[1], neutral[2]}), 0.1);
}

TEST(TestChart, LayoutIsDisjointAndNothingClips) {
    const TestChart chart(480, 320);
    const auto& patches = chart.patches();
    ASSERT_EQ(patches.size(), 36u);
    for (size_t i = 0; i < patches.size(); ++i) {
        const TestChartRect& a = patches[i].rect;
        EXPECT_GT(a.width, 0u);
        EXPECT_GT(a.height, 0u);
        EXPECT_LE(a.x + a.width, chart.width());
        EXPECT_LE(a.y + a.height, chart.height());
        for (size_t j = i + 1; j < patches.size(); ++j) {
            const TestChartRect& b = patches[j].rect;
            const bool apart = a.x + a.width <= b.x || b.x + b.width <= a.x ||
                               a.y + a.height <= b.y || b.y + b.height <= a.y;
            EXPECT_TRUE(apart) << patches[i].name << " overlaps " << patches[j].name;
        }
        // The patch shows its listed value everywhere inside it.
        const Vec v = chart.sceneAt(a.x + a.width / 2, a.y + a.height / 2);
        EXPECT_EQ(v, patches[i].value) << patches[i].name;
    }
    // No pixel of the scene leaves the camera's range.
    for (uint32_t y = 0; y < chart.height(); ++y)
        for (uint32_t x = 0; x < chart.width(); ++x) {
            const Vec c = TestChart::cameraFromScene(chart.sceneAt(x, y));
            for (double v : c) {
                ASSERT_GE(v, 0.0) << x << "," << y;
                ASSERT_LT(v, 1.0) << x << "," << y;
            }
        }

    // The coordinates documented for the default size.
    const TestChart full(6000, 4000);
    const TestChartRect red = full.patches()[0].rect;
    EXPECT_EQ(red.x, 232u);
    EXPECT_EQ(red.y, 206u);
    EXPECT_EQ(red.x + red.width - 1, 647u);
    EXPECT_EQ(red.y + red.height - 1, 573u);
    EXPECT_EQ(full.zonePlate().x, 3729u);
    EXPECT_EQ(full.zonePlate().width, 1840u);

    EXPECT_THROW(TestChart(119, 80), std::invalid_argument);
    EXPECT_THROW(TestChart(120, 79), std::invalid_argument);
    EXPECT_THROW(TestChart(70000, 4000), std::invalid_argument);
}

TEST(TestChart, MosaicRecordsTheCameraValuesInRGGBOrder) {
    const TestChart chart(240, 160);
    const uint16_t black = 512, white = 16383;
    std::vector<uint16_t> mosaic(size_t(chart.width() + 3) * chart.height(), 0);
    chart.renderMosaic(black, white, mosaic.data(), chart.width() + 3, 4);
    const TestChart::Patch& red = chart.patches()[0];
    const uint32_t x0 = (red.rect.x + red.rect.width / 2) & ~1u;
    const uint32_t y0 = (red.rect.y + red.rect.height / 2) & ~1u;
    const Vec camera = TestChart::cameraFromScene(red.value);
    auto expected = [&](int c) { return std::lround(black + (white - black) * camera[c]); };
    const size_t stride = chart.width() + 3;
    EXPECT_EQ(mosaic[y0 * stride + x0], expected(0));
    EXPECT_EQ(mosaic[y0 * stride + x0 + 1], expected(1));
    EXPECT_EQ(mosaic[(y0 + 1) * stride + x0], expected(1));
    EXPECT_EQ(mosaic[(y0 + 1) * stride + x0 + 1], expected(2));
    EXPECT_EQ(mosaic[y0 * stride + chart.width()], 0) << "row padding written";
}

TEST(TestChart, PatchesSurviveMosaicWhiteBalanceAndDemosaic) {
    // The chain a raw decoder runs: black subtraction, white balance by the
    // as-shot neutral, AHD, then back through the camera matrix.
    const TestChart chart(600, 400);
    const uint16_t black = 512, white = 16383;
    std::vector<uint16_t> mosaic(size_t(chart.width()) * chart.height());
    chart.renderMosaic(black, white, mosaic.data(), chart.width());
    const Vec neutral = TestChart::asShotNeutral();
    for (uint32_t y = 0; y < chart.height(); ++y)
        for (uint32_t x = 0; x < chart.width(); ++x) {
            uint16_t& s = mosaic[size_t(y) * chart.width() + x];
            const double f = (s - black) / double(white - black) / neutral[(y & 1) + (x & 1)];
            s = static_cast<uint16_t>(std::lround(std::clamp(f, 0.0, 1.0) * 65535.0));
        }
    std::vector<uint16_t> rgb(mosaic.size() * 3);
    DemosaicAHD(CFAPlane{mosaic.data(), chart.width(), chart.height(), chart.width(),
                         *CFAPattern::fromName("RGGB")},
                rgb.data());
    for (const TestChart::Patch& p : chart.patches()) {
        Vec mean{};
        size_t n = 0;
        for (uint32_t y = p.rect.y + 3; y + 3 < p.rect.y + p.rect.height; ++y)
            for (uint32_t x = p.rect.x + 3; x + 3 < p.rect.x + p.rect.width; ++x, ++n)
                for (int c = 0; c < 3; ++c)
                    mean[c] += rgb[(size_t(y) * chart.width() + x) * 3 + c] / 65535.0;
        ASSERT_GT(n, 0u) << p.name;
        Vec camera{};
        for (int c = 0; c < 3; ++c) camera[c] = mean[c] / n * neutral[c];
        if (p.neutral) {
            const double g = mean[1] / n;
            EXPECT_NEAR(mean[0] / n, g, 0.01 * g) << p.name;
            EXPECT_NEAR(mean[2] / n, g, 0.01 * g) << p.name;
        }
        const Vec scene = SceneFromCamera(camera);
        for (int c = 0; c < 3; ++c)
            EXPECT_NEAR(scene[c], p.value[c], 0.02 * std::max(p.value[c], 0.05))
                << p.name << " channel " << c;
    }
}
