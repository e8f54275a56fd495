#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <vector>

#include "engine/SharpeningTiledEngine.h"
#include "platform/Dispatch.h"

namespace {

using Painter = std::function<uint16_t(int x, int y)>;

// A grey picture in a buffer of its own that the next stage may not write.
class GreyStage : public TiledEngine {
public:
    GreyStage(int w, int h, Painter paint)
        : TiledEngine(platform::Size{double(w), double(h)}, std::nullopt, false),
          paint_(std::move(paint)) {}
    std::shared_ptr<TileProcess> runProcessToCompletion(const TileRegion& region) override {
        auto p = TiledEngine::runProcessToCompletion(region);
        if (p && p->buffer()) p->buffer()->setBufferOwner(stageId());
        return p;
    }
    void processTile(int c0, int c1, int r0, int r1, ImageBuffer*, ImageBuffer* dest,
                     int) override {
        for (int y = r0; y < r1; ++y)
            for (int x = c0; x < c1; ++x) {
                uint16_t* p = dest->bufferU16ForRow(y, x);
                p[0] = p[1] = p[2] = paint_(x, y);
                p[3] = 123;
            }
    }

private:
    Painter paint_;
};

const TileRegion kAll{0, -1, -1, -1, -1};

std::shared_ptr<SharpeningTiledEngine> sharpenerOver(int w, int h, Painter paint, float radius,
                                                     float intensity, int workers = 0) {
    auto source = std::make_shared<GreyStage>(w, h, std::move(paint));
    source->setWorkerCount(workers);
    auto s = SharpeningTiledEngine::initWithImage(source, std::nullopt, false);
    s->setWorkerCount(workers);
    s->setParameters(std::nullopt,
                     platform::Dictionary{{"Quorvex_Filter_inputRadius", radius},
                                          {"Quorvex_Filter_inputIntensity", intensity}});
    return s;
}

// Colour noise with flat black and white patches, in a buffer of its own.
class NoiseStage : public TiledEngine {
public:
    NoiseStage(int w, int h)
        : TiledEngine(platform::Size{double(w), double(h)}, std::nullopt, false) {}
    std::shared_ptr<TileProcess> runProcessToCompletion(const TileRegion& region) override {
        auto p = TiledEngine::runProcessToCompletion(region);
        if (p && p->buffer()) p->buffer()->setBufferOwner(stageId());
        return p;
    }
    static uint16_t sample(int x, int y, int c) {
        if ((x / 9 + y / 7) % 5 == 0) return (x / 9) % 2 ? 65535 : 0;
        uint32_t v = uint32_t(x) * 2654435761u ^ uint32_t(y) * 40503u ^ uint32_t(c) * 97u;
        v ^= v >> 13;
        return uint16_t(v * 2246822519u >> 16);
    }
    void processTile(int c0, int c1, int r0, int r1, ImageBuffer*, ImageBuffer* dest,
                     int) override {
        for (int y = r0; y < r1; ++y)
            for (int x = c0; x < c1; ++x) {
                uint16_t* p = dest->bufferU16ForRow(y, x);
                for (int c = 0; c < 3; ++c) p[c] = sample(x, y, c);
                p[3] = uint16_t(x);
            }
    }
};

// The stage's pixel step by step: square roots as floats, the kernel's
// taps summed row by row from 0 where the kernel lies inside the image,
// squared, scaled to 65325 by the float routine's factor, rounded and clamped.
uint16_t referenceSharpened(const SharpeningTiledEngine& s, int W, int H, int x, int y, int c) {
    auto root = [](uint16_t v) { return float(std::sqrt(double(v) / 65535.0)); };
    const int n = s.length(), h = n / 2;
    float v = root(NoiseStage::sample(x, y, c));
    if (c == 3) {
        v = 1.0f;
    } else if (x >= h && x + h < W && y >= h && y + h < H) {
        float a = 0.0f;
        for (int i = 0; i < n; ++i)
            for (int j = 0; j < n; ++j)
                a += s.kernel()[size_t(i * n + j)] *
                     root(NoiseStage::sample(x - h + j, y - h + i, c));
        v = a;
    }
    const float mul = float(1.0 / double(1.0f / 65325.0f));
    float f = (v * v) * mul;
    f = f > 0.0f ? f : 0.0f;
    f = f < 65535.0f ? f : 65535.0f;
    return uint16_t(int32_t(f + 0.5f));
}

uint16_t scaled(double linear65535) {  // the stage's change of scale without sharpening
    return uint16_t(std::lround(linear65535 / 65535.0 * 65325.0));
}

}  // namespace

TEST(SharpeningTiledEngine, KernelLengths) {
    struct Case {
        float radius;
        int length;
    };
    for (Case c : {Case{0, 3}, Case{-2, 3}, Case{0.9f, 3}, Case{4, 5}, Case{6.25f, 7}, Case{9, 7},
                   Case{100, 21}, Case{std::nanf(""), 3}, Case{1e30f, 1023}})
        EXPECT_EQ(SharpeningTiledEngine::kernelLengthForRadius(c.radius), c.length) << c.radius;

    auto s = SharpeningTiledEngine::initWithSize(platform::Size{8, 8}, std::nullopt, false);
    s->setRadius(0);
    s->setIntensity(0);
    ASSERT_TRUE(s->buildKernel());
    EXPECT_FLOAT_EQ(s->radius(), 0.05f);  // raised and stored back
    EXPECT_EQ(s->kernel(), (std::vector<float>{0, 0, 0, 0, 1, 0, 0, 0, 0}));

    s->setRadius(4);
    s->setIntensity(0.8f);
    ASSERT_TRUE(s->buildKernel());
    ASSERT_EQ(s->length(), 5);
    const auto& k = s->kernel();
    float sum = 0;
    for (float v : k) sum += v;
    EXPECT_NEAR(sum, 1.0f, 1e-5);
    // Off-centre: -amount x Gaussian; centre: 1 + amount x (sum of the Gaussian);
    // all divided by the sum, 1 + amount x (the Gaussian at the centre).
    const double sigma = 2, g0 = 1 / (2 * M_PI * sigma * sigma), norm = 1 + 0.8 * g0;
    double gsum = 0;
    for (int y = -2; y <= 2; ++y)
        for (int x = -2; x <= 2; ++x) gsum += std::exp(-(x * x + y * y) / (2 * sigma * sigma)) * g0;
    EXPECT_NEAR(k[12], (1 + 0.8 * gsum) / norm, 1e-5);
    EXPECT_NEAR(k[0], -0.8 * std::exp(-8 / (2 * sigma * sigma)) * g0 / norm, 1e-6);
    EXPECT_LT(k[13], 0);
}

TEST(SharpeningTiledEngine, IntensityZeroOnlyChangesTheScale) {
    auto s = sharpenerOver(
        700, 600, [](int x, int y) { return uint16_t((x * 97 + y * 31) % 65536); }, 3, 0);
    auto out = s->runProcessToCompletion(kAll)->buffer();
    ASSERT_TRUE(out);
    EXPECT_EQ(out->bufferOwner(), s->stageId());
    EXPECT_NE(out, s->sourceBuf()->localOutputBuffer());
    for (int y = 0; y < 600; y += 7)
        for (int x = 0; x < 700; x += 5) {
            const uint16_t v = uint16_t((x * 97 + y * 31) % 65536);
            const uint16_t* p = out->bufferU16ForRow(y, x);
            ASSERT_NEAR(p[0], scaled(v), 1) << x << "," << y;
            ASSERT_EQ(p[3], 65325);
        }
    auto full = sharpenerOver(
        30, 30, [](int, int) { return uint16_t(65535); }, 0, 0);
    EXPECT_EQ(full->runProcessToCompletion(kAll)->buffer()->bufferU16ForRow(15, 15)[1], 65325);
    auto black = sharpenerOver(
        30, 30, [](int, int) { return uint16_t(0); }, 0, 0);
    EXPECT_EQ(black->runProcessToCompletion(kAll)->buffer()->bufferU16ForRow(15, 15)[1], 0);
}

TEST(SharpeningTiledEngine, SharpensAnEdgeByTheKernelAndLeavesTheBorder) {
    // A vertical step at x = 20 and one at the left border.
    auto paint = [](int x, int) { return uint16_t(x >= 20 || x == 0 ? 40000 : 10000); };
    auto s = sharpenerOver(40, 40, paint, 4, 1.5f);
    auto out = s->runProcessToCompletion(kAll)->buffer();
    const auto& k = s->kernel();
    const int n = s->length(), h = n / 2;
    // One pixel by the formula: square of the convolved square roots.
    for (int x : {18, 19, 20, 21, 25}) {
        double acc = 0;
        for (int i = 0; i < n; ++i)
            for (int j = 0; j < n; ++j)
                acc += k[size_t(i) * n + j] * std::sqrt(paint(x - h + j, 0) / 65535.0);
        const double expected = std::clamp(acc * acc * 65325.0, 0.0, 65535.0);
        EXPECT_NEAR(out->bufferU16ForRow(10, x)[0], expected, 1.5) << x;
    }
    EXPECT_GT(out->bufferU16ForRow(10, 20)[0], scaled(40000));  // overshoot on the bright side
    EXPECT_LT(out->bufferU16ForRow(10, 19)[0], scaled(10000));
    // Within half a kernel of the border: copied through the round trip.
    EXPECT_NEAR(out->bufferU16ForRow(10, 0)[0], scaled(40000), 1);
    EXPECT_NEAR(out->bufferU16ForRow(10, 1)[0], scaled(10000), 1);
    EXPECT_NEAR(out->bufferU16ForRow(39, 25)[0], scaled(40000), 1);
}

TEST(SharpeningTiledEngine, CornerTileOfOnePixel) {
    auto s = sharpenerOver(
        513, 513, [](int x, int y) { return uint16_t(x == 512 && y == 512 ? 30000 : 500); }, 2, 1);
    auto out = s->runProcessToCompletion(kAll)->buffer();
    EXPECT_NEAR(out->bufferU16ForRow(512, 512)[0], scaled(30000), 1);
    EXPECT_EQ(out->bufferU16ForRow(512, 512)[3], 65325);
}

TEST(SharpeningTiledEngine, SettingsAndSameOutputForAnyNumberOfWorkers) {
    auto paint = [](int x, int y) {
        return uint16_t((uint32_t(x) * 2654435761u ^ uint32_t(y) * 40503u) % 60000);
    };
    auto run = [&](int workers) {
        auto s = sharpenerOver(1100, 700, paint, 6.25f, 2.0f, workers);
        auto out = s->runProcessToCompletion(kAll)->buffer();
        std::vector<uint16_t> px;
        for (int y = 0; y < 700; ++y) {
            const uint16_t* row = out->bufferU16ForRow(y);
            px.insert(px.end(), row, row + 1100 * 4);
        }
        return px;
    };
    const auto one = run(1);
    EXPECT_EQ(run(2), one);
    EXPECT_EQ(run(int(platform::processorCount())), one);

    auto s = sharpenerOver(40, 40, paint, 1, 1);
    s->runProcessToCompletion(kAll);
    EXPECT_TRUE(s->mainMap()->isClean());
    s->setParameters(std::string("Quorvex_ArtifactFilter"), platform::Dictionary{});
    EXPECT_FALSE(s->allTilesDirty());
    EXPECT_FLOAT_EQ(s->radius(), 1);
    s->setParameters(std::string("Quorvex_Filter_inputIntensity"),
                     platform::Dictionary{{"Quorvex_Filter_inputIntensity", 0.25}});
    EXPECT_TRUE(s->allTilesDirty());
    EXPECT_FLOAT_EQ(s->intensity(), 0.25f);
    EXPECT_FLOAT_EQ(s->radius(), 0);  // missing reads 0
}

TEST(SharpeningTiledEngine, MatchesTheScalarFormulaOnNoiseAndExtremes) {
    // Odd sizes, a tile edge inside the image, kernels of 3, 5 and 9 taps a
    // side, strengths that clip both ways and one that makes the kernel NaN.
    const struct {
        int w, h;
        float radius, intensity;
    } cases[] = {{37, 29, 0.8f, 0.5f},   {600, 517, 4.0f, 1.5f},
                 {53, 530, 16.0f, 3.0f}, {520, 40, 0.8f, 1e6f},
                 {31, 33, 4.0f, -1e6f},  {25, 27, 4.0f, std::numeric_limits<float>::infinity()}};
    for (const auto& k : cases) {
        auto source = std::make_shared<NoiseStage>(k.w, k.h);
        auto s = SharpeningTiledEngine::initWithImage(source, std::nullopt, false);
        s->setParameters(std::nullopt,
                         platform::Dictionary{{"Quorvex_Filter_inputRadius", k.radius},
                                              {"Quorvex_Filter_inputIntensity", k.intensity}});
        auto out = s->runProcessToCompletion(kAll)->buffer();
        ASSERT_TRUE(out);
        int mismatches = 0;
        for (int y = 0; y < k.h; ++y)
            for (int x = 0; x < k.w; ++x)
                for (int c = 0; c < 4; ++c)
                    if (out->bufferU16ForRow(y, x)[c] !=
                            referenceSharpened(*s, k.w, k.h, x, y, c) &&
                        ++mismatches < 5)
                        ADD_FAILURE() << k.w << "x" << k.h << " radius " << k.radius << " at " << x
                                      << "," << y << " channel " << c;
        EXPECT_EQ(mismatches, 0);
    }
}
