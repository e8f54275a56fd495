#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <functional>
#include <limits>
#include <map>
#include <random>
#include <unordered_map>
#include <vector>

#include "engine/RawCombineTiledEngine.h"
#include "raw/CFALayout.h"
#include "raw/CFAPattern.h"
#include "raw/DemosaicAHD.h"
#include "raw/DemosaicLMMSE.h"
#include "raw/DemosaicXTrans.h"
#include "raw/TestChart.h"
#include "raw/rawWrapper.h"
#include "support/TestSupport.h"

namespace {

// An image source with fixed master and alternate renderings.
struct FakeRaw : ImageWrapper {
    int width = 0, height = 0;
    std::vector<uint16_t> master, alternate;
    bool hasAlternate = true;

    FakeRaw(int w, int h)
        : ImageWrapper("/nowhere/fake.dng", "/nowhere/fake.dng", false),
          width(w),
          height(h),
          master(size_t(w) * h * 3),
          alternate(master) {
        setImageSize(uint16_t(w), uint16_t(h));
    }
    const uint16_t* masterImageBytes() override { return master.data(); }
    const uint16_t* alternateImageBytes() override {
        return hasAlternate ? alternate.data() : nullptr;
    }
    void fill(std::vector<uint16_t>& img, float r, float g, float b) {
        for (size_t i = 0; i < img.size(); i += 3) {
            img[i] = uint16_t(r * 65535.0f);
            img[i + 1] = uint16_t(g * 65535.0f);
            img[i + 2] = uint16_t(b * 65535.0f);
        }
    }
};

struct Stage {
    std::shared_ptr<FakeRaw> raw;
    std::shared_ptr<RawCombineTiledEngine> stage;

    Stage(int w, int h) : raw(std::make_shared<FakeRaw>(w, h)) {
        stage = RawCombineTiledEngine::initWithSize(platform::Size{double(w), double(h)},
                                                    std::nullopt, false);
        stage->setIgnoreEdges(false);
        stage->setHorizontalBorder(8);
        stage->setVerticalBorder(8);
        stage->setRawImage(raw);
    }
    std::shared_ptr<ImageBuffer> run(float artifact, float chroma) {
        stage->setParameters(std::nullopt,
                             platform::Dictionary{{"Quorvex_ArtifactSuppression", artifact},
                                                  {"Quorvex_ChromaArtifactSuppression", chroma}});
        auto process = stage->runProcessToCompletion(TileRegion{0, -1, -1, -1, -1});
        return process ? process->buffer() : nullptr;
    }
};

void expectPixel(const ImageBuffer& b, int x, int y, int r, int g, int bl, int tolerance = 1) {
    const uint16_t* p = b.bufferU16ForRow(y, x);
    ASSERT_NE(p, nullptr);
    EXPECT_NEAR(p[0], r, tolerance) << "at " << x << "," << y;
    EXPECT_NEAR(p[1], g, tolerance) << "at " << x << "," << y;
    EXPECT_NEAR(p[2], bl, tolerance) << "at " << x << "," << y;
    EXPECT_EQ(p[3], 65535);
}

// The per-pixel mix written plainly, branch by branch: the reference for
// the stage's vectorised kernel, which must match it to the bit.
namespace reference {

void rgbToHsv(float* h, float* s, float* v, float r, float g, float b) {
    const float mx = std::max(r, std::max(g, b));
    const float mn = std::min(r, std::min(g, b));
    const float delta = mx - mn;
    *v = mx;
    if (!(delta > 0.0f)) {
        *h = 0.0f;
        *s = 0.0f;
        return;
    }
    *s = delta / mx;
    if (mx == r) {
        *h = (g - b) / delta;
        if (*h < 0.0f) *h += 6.0f;
    } else if (mx == g) {
        *h = (b - r) / delta + 2.0f;
    } else {
        *h = (r - g) / delta + 4.0f;
    }
}

void hsvToRgb(float* r, float* g, float* b, float h, float s, float v) {
    if (!(s > 0.0f)) {
        *r = *g = *b = v;
        return;
    }
    if (h < 0.0f) h += 6.0f;
    if (h >= 6.0f) h -= 6.0f;
    if (!(h >= 0.0f && h < 6.0f)) return;
    const int i = int(h);
    const float f = h - float(i);
    const float p = (1.0f - s) * v;
    const float q = (1.0f - f * s) * v;
    const float t = (1.0f - (1.0f - f) * s) * v;
    switch (i) {
        case 0:
            *r = v, *g = t, *b = p;
            break;
        case 1:
            *r = q, *g = v, *b = p;
            break;
        case 2:
            *r = p, *g = v, *b = t;
            break;
        case 3:
            *r = p, *g = q, *b = v;
            break;
        case 4:
            *r = t, *g = p, *b = v;
            break;
        default:
            *r = v, *g = p, *b = q;
            break;
    }
}

uint16_t toSample(float channel) {
    const double d = double(channel) * 65535.0;
    if (!(d > 0.0)) return 0;
    if (d >= 65535.0) return 65535;
    return uint16_t(d);
}

void mix(const uint16_t* m, const uint16_t* a, uint16_t* d, float x, float c, float mul) {
    const float k = 1.0f / 65535.0f;
    float hm, sm, vm, h, s, v;
    rgbToHsv(&hm, &sm, &vm, m[0] * k, m[1] * k, m[2] * k);
    if (!a) {
        h = hm, s = sm, v = std::min(vm * mul, 1.0f);
    } else {
        float ha, sa, va;
        rgbToHsv(&ha, &sa, &va, a[0] * k, a[1] * k, a[2] * k);
        if (ha > hm && ha - hm > 3.0f)
            hm += 6.0f;
        else if (ha <= hm && hm - ha > 3.0f)
            ha += 6.0f;
        h = hm * (1.0f - c) + ha * c;
        s = sm * (1.0f - c) + sa * c;
        v = std::min((vm * (1.0f - x) + va * x) * mul, 1.0f);
    }
    float r = 0, g = 0, b = 0;
    hsvToRgb(&r, &g, &b, h, s, v);
    d[0] = toSample(r), d[1] = toSample(g), d[2] = toSample(b), d[3] = 65535;
}

}  // namespace reference

// Pixels that take every branch of the mix: random ones, the extremes, greys,
// ties between channels, each channel the largest, hues either side of red
// (the 0/6 wrap) and pairs whose hues lie about half the circle apart.
void fillAdversarial(std::vector<uint16_t>& master, std::vector<uint16_t>& alternate,
                     uint32_t seed) {
    std::mt19937 rng(seed);
    auto any = [&] { return uint16_t(rng()); };
    auto near = [&](int v) { return uint16_t(std::clamp(v + int(rng() % 5) - 2, 0, 65535)); };
    const uint16_t extremes[] = {0, 1, 2, 255, 32767, 32768, 65534, 65535};
    auto pick = [&](uint16_t* p, int kind) {
        const uint16_t hi = any(), lo = uint16_t(rng() % (hi + 1u));
        switch (kind) {
            case 0:
                p[0] = any(), p[1] = any(), p[2] = any();
                break;
            case 1:
                for (int i = 0; i < 3; ++i) p[i] = extremes[rng() % 8];
                break;
            case 2:
                p[0] = p[1] = p[2] = (rng() & 1) ? any() : extremes[rng() % 8];
                break;
            case 3: {  // two channels tie, either as the largest or the smallest
                const int odd = int(rng() % 3);
                for (int i = 0; i < 3; ++i) p[i] = i == odd ? lo : hi;
                if (rng() & 1) std::swap(p[odd], p[(odd + 1) % 3]);
                break;
            }
            case 4: {  // one channel largest, the other two random below it
                const int top = int(rng() % 3);
                for (int i = 0; i < 3; ++i) p[i] = i == top ? hi : uint16_t(rng() % (hi + 1u));
                break;
            }
            default:  // red with green and blue a hair apart: hue by 0 or by 6
                p[0] = hi, p[1] = near(lo), p[2] = near(lo);
                break;
        }
    };
    for (size_t i = 0; i < master.size(); i += 3) {
        pick(&master[i], int(rng() % 6));
        if (rng() % 4 == 0) {  // hues apart by about three sextants
            const uint16_t hi = any(), lo = uint16_t(rng() % (hi + 1u));
            master[i] = hi, master[i + 1] = near(lo), master[i + 2] = lo;
            alternate[i] = lo, alternate[i + 1] = near(hi), alternate[i + 2] = near(hi);
            if (rng() & 1) std::swap(master[i + 1], master[i + 2]);
        } else {
            pick(&alternate[i], int(rng() % 6));
        }
    }
}

}  // namespace

TEST(RawCombineHSV, PrimariesGreyAndRoundTrip) {
    float h, s, v;
    RGBToHSV(&h, &s, &v, 0.0f, 1.0f, 0.0f);
    EXPECT_FLOAT_EQ(h, 2.0f);
    RGBToHSV(&h, &s, &v, 0.0f, 0.0f, 0.5f);
    EXPECT_FLOAT_EQ(h, 4.0f);
    EXPECT_FLOAT_EQ(s, 1.0f);
    EXPECT_FLOAT_EQ(v, 0.5f);
    RGBToHSV(&h, &s, &v, 1.0f, 0.0f, 0.2f);  // just below red: wraps to 5.8
    EXPECT_NEAR(h, 5.8f, 1e-6);
    RGBToHSV(&h, &s, &v, 0.4f, 0.4f, 0.4f);
    EXPECT_EQ(h, 0.0f);
    EXPECT_EQ(s, 0.0f);
    EXPECT_FLOAT_EQ(v, 0.4f);

    for (float r : {0.0f, 0.1f, 0.7f, 1.0f})
        for (float g : {0.05f, 0.5f, 0.9f})
            for (float b : {0.0f, 0.3f, 1.0f}) {
                float rr = -1, gg = -1, bb = -1;
                RGBToHSV(&h, &s, &v, r, g, b);
                HSVToRGB(&rr, &gg, &bb, h, s, v);
                EXPECT_NEAR(rr, r, 1e-5);
                EXPECT_NEAR(gg, g, 1e-5);
                EXPECT_NEAR(bb, b, 1e-5);
            }

    uint16_t H, S, V, r, g, b;
    RGB16ToHSV16(0, 65535, 0, &H, &S, &V);
    EXPECT_EQ(H, 21845);  // a third of the way round
    EXPECT_EQ(S, 65535);
    HSV16ToRGB16(H, S, V, &r, &g, &b);
    EXPECT_EQ(g, 65535);
    EXPECT_LE(r, 1);
    EXPECT_EQ(b, 0);
}

TEST(RawCombineTiledEngine, AmountsChooseBetweenRenderings) {
    Stage s(40, 30);
    s.raw->fill(s.raw->master, 0.8f, 0.4f, 0.2f);
    s.raw->fill(s.raw->alternate, 0.1f, 0.3f, 0.6f);
    const int mr = s.raw->master[0], mg = s.raw->master[1], mb = s.raw->master[2];
    const int ar = s.raw->alternate[0], ag = s.raw->alternate[1], ab = s.raw->alternate[2];

    auto out = s.run(0.0f, 0.0f);
    ASSERT_TRUE(out);
    expectPixel(*out, 20, 15, mr, mg, mb);

    out = s.run(1.0f, 1.0f);
    expectPixel(*out, 20, 15, ar, ag, ab);
    // The border bands always show the master.
    expectPixel(*out, 3, 15, mr, mg, mb);
    expectPixel(*out, 20, 29, mr, mg, mb);

    // Out-of-range settings are clamped: 1.7 acts as 1, -0.3 as 0.
    out = s.run(1.7f, -0.3f);
    EXPECT_EQ(s.stage->artifactSuppression(), 1.0f);
    EXPECT_EQ(s.stage->chromaArtifactSuppression(), 0.0f);
    float h, sat, v;
    RGBToHSV(&h, &sat, &v, mr / 65535.0f, mg / 65535.0f, mb / 65535.0f);
    float er, eg, eb;
    HSVToRGB(&er, &eg, &eb, h, sat, ab / 65535.0f);  // master hue, alternate value
    expectPixel(*out, 20, 15, int(er * 65535), int(eg * 65535), int(eb * 65535));
}

TEST(RawCombineTiledEngine, HueMixesTheShortWayRound) {
    Stage s(20, 20);
    s.raw->fill(s.raw->master, 1.0f, 0.2f, 0.0f);     // hue 0.2
    s.raw->fill(s.raw->alternate, 1.0f, 0.0f, 0.2f);  // hue 5.8
    auto out = s.run(0.0f, 0.5f);
    expectPixel(*out, 10, 10, 65535, 0, 0);  // red (hue 6 = 0), not cyan (hue 3)
}

TEST(RawCombineTiledEngine, MonochromeAndGreyIgnoreTheAmounts) {
    Stage s(20, 20);
    s.raw->fill(s.raw->master, 0.3f, 0.3f, 0.3f);
    s.raw->fill(s.raw->alternate, 0.9f, 0.1f, 0.1f);
    s.raw->hasAlternate = false;
    const int grey = s.raw->master[0];
    expectPixel(*s.run(1.0f, 1.0f), 10, 10, grey, grey, grey, 0);
}

TEST(RawCombineTiledEngine, SettingsOnlyForItsKeys) {
    Stage s(20, 20);
    s.run(0.5f, 0.5f);
    EXPECT_TRUE(s.stage->mainMap()->isClean());
    s.stage->setParameters(std::string("Quorvex_Filter_inputRadius"),
                           platform::Dictionary{{"Quorvex_ArtifactSuppression", 0.1f}});
    EXPECT_FALSE(s.stage->allTilesDirty());
    EXPECT_EQ(s.stage->artifactSuppression(), 0.5f);
    s.stage->setParameters(std::string("Quorvex_MonochromeSensor"), platform::Dictionary{});
    EXPECT_TRUE(s.stage->allTilesDirty());
    EXPECT_EQ(s.stage->artifactSuppression(), 0.0f);  // missing reads 0
    EXPECT_EQ(s.stage->stageToKey()["Quorvex_ChromaArtifactSuppression"].integerValue(), 1);
}

TEST(RawCombineTiledEngine, ThumbnailAndReadouts) {
    Stage s(1100, 600);
    double values[4];
    EXPECT_FALSE(s.stage->getPixelValues(5, 5, 3, values));  // before the first run
    EXPECT_EQ(s.stage->getThumbnail(false), nullptr);
    for (int y = 0; y < 600; ++y)
        for (int x = 0; x < 1100; ++x) {
            uint16_t* p = &s.raw->master[(size_t(y) * 1100 + x) * 3];
            p[0] = p[1] = p[2] = uint16_t(x < 550 ? 10000 : 50000);
        }
    auto out = s.run(0.0f, 0.0f);
    auto thumb = s.stage->getThumbnail(false);
    ASSERT_TRUE(thumb);
    EXPECT_EQ(thumb->imageWidth(), 512);
    EXPECT_EQ(thumb->imageHeight(), 279);
    EXPECT_EQ(s.stage->pixelValueBuffer(), out);
    // A run with nothing to redo keeps the thumbnail; a redone image gets a new one.
    s.stage->runProcessToCompletion(TileRegion{0, -1, -1, -1, -1});
    EXPECT_EQ(s.stage->getThumbnail(false), thumb);
    s.stage->markAllDirty();
    s.stage->runProcessToCompletion(TileRegion{0, -1, -1, -1, -1});
    EXPECT_NE(s.stage->getThumbnail(false), thumb);
    EXPECT_EQ(out->bufferOwner(), s.stage->stageId());

    ASSERT_TRUE(s.stage->getPixelValues(100, 100, 5, values));
    EXPECT_NEAR(values[0] * 65535, 10000, 2);  // readouts are on the 0..1 scale
    EXPECT_DOUBLE_EQ(values[3], 1.0);
    // A patch across the step averages both sides.
    ASSERT_TRUE(s.stage->getPixelValues(550, 100, 2, values));
    EXPECT_NEAR(values[1] * 65535, 30000, 2);
}

TEST(RawCombineTiledEngine, SourceOfAnotherSizeIsNotRead) {
    Stage s(64, 64);
    auto small = std::make_shared<FakeRaw>(32, 32);  // rows too short for the stage
    s.stage->setRawImage(small);
    auto out = s.run(0.5f, 0.5f);
    ASSERT_TRUE(out);
    EXPECT_EQ(out->bufferU16ForRow(40, 40)[3], 0);  // nothing written
}

TEST(RawCombineTiledEngine, KernelMatchesThePlainMixToTheBit) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    const float amounts[] = {0.0f, 1.0f, 0.5f, 0.3f, 0.999f, 1e-7f, -0.5f, 2.0f, -3.0f, 4.0f, nan};
    const float muls[] = {1.0f, 0.5f, 1.37f, 4.0f, 0.0f, -1.0f, inf, nan};
    uint32_t seed = 1;
    for (int width : {1, 3, 5, 7, 13, 64}) {
        const int height = 9;
        Stage s(width, height);
        auto dest =
            ImageBufferU16::initWithSize(uint16_t(width), uint16_t(height), nullptr, nullptr);
        ASSERT_TRUE(dest);
        for (bool withAlternate : {true, false}) {
            s.raw->hasAlternate = withAlternate;
            fillAdversarial(s.raw->master, s.raw->alternate, seed++);
            for (float x : amounts)
                for (float c : amounts)
                    for (float mul : muls) {
                        if (x != c && mul != 1.0f && mul != 1.37f) continue;  // keep it quick
                        s.stage->setEttrMul(mul);
                        // Start and end off any lane boundary.
                        const int c0 = width > 2 ? 1 : 0, c1 = width > 4 ? width - 1 : width;
                        s.stage->processArea(c0, c1, 1, height, x, c, dest.get());
                        for (int y = 1; y < height; ++y)
                            for (int col = c0; col < c1; ++col) {
                                const size_t i = (size_t(y) * width + col) * 3;
                                uint16_t want[4];
                                reference::mix(&s.raw->master[i],
                                               withAlternate ? &s.raw->alternate[i] : nullptr, want,
                                               x, c, mul);
                                const uint16_t* got = dest->bufferU16ForRow(y, col);
                                for (int k = 0; k < 4; ++k)
                                    ASSERT_EQ(got[k], want[k])
                                        << "x " << x << " c " << c << " mul " << mul << " at "
                                        << col << "," << y << " channel " << k << " master "
                                        << s.raw->master[i] << "," << s.raw->master[i + 1] << ","
                                        << s.raw->master[i + 2];
                            }
                    }
        }
    }
}

TEST(RawCombineTiledEngine, OneRenderingWrapsWhereTheOtherHueSaysSo) {
    // Whole rows of one pair: one rendering just below red the long way
    // (hue nearly 6), the other just below cyan (hue nearly 3), about half
    // the circle apart. At amounts 1 and 1 only the alternate counts, at 0
    // and 0 only the master, each with its hue wrapped or not as the other
    // rendering's hue says.
    const int width = 24;
    Stage s(width, 1);
    auto dest = ImageBufferU16::initWithSize(uint16_t(width), 1, nullptr, nullptr);
    ASSERT_TRUE(dest);
    for (bool alternateCounts : {true, false})
        for (int hi : {65535, 60000, 30000, 5000})
            for (int lo : {0, 1000, 2000})
                for (int gap : {1, 2, 5, 10, 40, 300}) {
                    for (int x = 0; x < width; ++x) {
                        uint16_t* nearSix = &s.raw->master[size_t(x) * 3];
                        uint16_t* nearThree = &s.raw->alternate[size_t(x) * 3];
                        if (!alternateCounts) std::swap(nearSix, nearThree);
                        nearSix[0] = uint16_t(hi), nearSix[1] = uint16_t(lo);
                        nearSix[2] = uint16_t(lo + 1 + x % 3);
                        nearThree[0] = uint16_t(lo), nearThree[1] = uint16_t(hi);
                        nearThree[2] = uint16_t(hi - gap - x % 2);
                    }
                    const float amount = alternateCounts ? 1.0f : 0.0f;
                    s.stage->processArea(0, width, 0, 1, amount, amount, dest.get());
                    for (int x = 0; x < width; ++x) {
                        uint16_t want[4];
                        reference::mix(&s.raw->master[size_t(x) * 3],
                                       &s.raw->alternate[size_t(x) * 3], want, amount, amount,
                                       1.0f);
                        const uint16_t* got = dest->bufferU16ForRow(0, x);
                        for (int k = 0; k < 3; ++k)
                            ASSERT_EQ(got[k], want[k]) << "amounts " << amount << ", " << hi << " "
                                                       << lo << " " << gap << " at " << x;
                    }
                }
}

TEST(RawCombineHSV, SamplesTruncateTheExactProduct) {
    // Floats either side of every sample boundary k / 65535, where a product
    // rounded in float would truncate the wrong way, and the special values.
    std::vector<float> in = {0.0f,
                             -0.0f,
                             -1.0f,
                             1.0f,
                             std::nextafter(1.0f, 0.0f),
                             1.0f + 1e-7f,
                             1e30f,
                             std::numeric_limits<float>::denorm_min(),
                             std::numeric_limits<float>::min(),
                             std::numeric_limits<float>::infinity(),
                             -std::numeric_limits<float>::infinity(),
                             std::numeric_limits<float>::quiet_NaN()};
    for (int k = 0; k <= 65535; ++k) {
        float f = float(k / 65535.0);
        for (int step = 0; step < 3; ++step) f = std::nextafter(f, 0.0f);
        for (int step = 0; step < 6; ++step, f = std::nextafter(f, 2.0f)) in.push_back(f);
    }
    std::vector<uint16_t> out(in.size());
    ChannelsToSamples16(in.data(), out.data(), in.size());
    for (size_t i = 0; i < in.size(); ++i)
        ASSERT_EQ(out[i], reference::toSample(in[i])) << "channel " << in[i];
}

// Straight edges through the whole raw path: flat patches on grey, their
// Bayer mosaic as the test chart's camera records it (white-balanced, as the
// decoder hands it to the interpolators), both renderings with the camera's
// colour matrix, this stage's mix, and 8-bit sRGB as an export with the
// look switched off shows it.
namespace edges {

using Scene = std::function<std::array<double, 3>(int, int)>;
constexpr int kW = 256, kH = 176;
const std::array<double, 3> kGrey{0.18, 0.18, 0.18};

// Balanced camera RGB to ProPhoto: the inverse of the chart's camera matrix
// with the as-shot neutral put back.
RawMatrix3 CameraToProPhoto() {
    double m[3][3];
    for (int c = 0; c < 3; ++c) {
        std::array<double, 3> unit{};
        unit[size_t(c)] = 1.0;
        const auto column = TestChart::cameraFromScene(unit);
        for (int r = 0; r < 3; ++r) m[r][c] = column[size_t(r)];
    }
    const double det = m[0][0] * (m[1][1] * m[2][2] - m[1][2] * m[2][1]) -
                       m[0][1] * (m[1][0] * m[2][2] - m[1][2] * m[2][0]) +
                       m[0][2] * (m[1][0] * m[2][1] - m[1][1] * m[2][0]);
    const auto neutral = TestChart::asShotNeutral();
    RawMatrix3 out{};
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c) {
            const int c1 = (c + 1) % 3, c2 = (c + 2) % 3, r1 = (r + 1) % 3, r2 = (r + 2) % 3;
            const double inverse = (m[c1][r1] * m[c2][r2] - m[c1][r2] * m[c2][r1]) / det;
            out[size_t(r)][size_t(c)] = float(inverse * neutral[size_t(c)]);
        }
    return out;
}

// Linear ProPhoto (D65) to 8-bit sRGB; a colour beyond sRGB's white is
// dimmed as a whole.
std::array<double, 3> ToSRGB8(const std::array<double, 3>& pp, bool rounded = true) {
    // ProPhoto's primaries to XYZ, then XYZ to linear sRGB (both D65).
    constexpr double kToSRGB[3][3] = {{2.0735007, -0.6646403, -0.4090195},
                                      {-0.2253406, 1.2200011, 0.0053626},
                                      {-0.0139219, -0.1394967, 1.1536586}};
    double lin[3];
    for (int r = 0; r < 3; ++r)
        lin[r] = kToSRGB[r][0] * pp[0] + kToSRGB[r][1] * pp[1] + kToSRGB[r][2] * pp[2];
    const double top = std::max({lin[0], lin[1], lin[2]});
    std::array<double, 3> out{};
    for (int c = 0; c < 3; ++c) {
        const double v = std::clamp(top > 1.0 ? lin[c] / top : lin[c], 0.0, 1.0);
        const double level =
            255.0 * (v <= 0.0031308 ? 12.92 * v : 1.055 * std::pow(v, 1 / 2.4) - 0.055);
        out[size_t(c)] = rounded ? std::round(level) : level;
    }
    return out;
}

// CIELab a*, b* of an 8-bit sRGB colour.
std::array<double, 2> Chroma(const std::array<double, 3>& srgb) {
    double lin[3];
    for (int c = 0; c < 3; ++c) {
        const double v = srgb[size_t(c)] / 255.0;
        lin[c] = v <= 0.04045 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4);
    }
    auto f = [](double t) { return t > 0.008856 ? std::cbrt(t) : 7.787 * t + 16.0 / 116.0; };
    const double fx = f((0.4124 * lin[0] + 0.3576 * lin[1] + 0.1805 * lin[2]) / 0.95047);
    const double fy = f(0.2126 * lin[0] + 0.7152 * lin[1] + 0.0722 * lin[2]);
    const double fz = f((0.0193 * lin[0] + 0.1192 * lin[1] + 0.9505 * lin[2]) / 1.08883);
    return {500.0 * (fx - fy), 200.0 * (fy - fz)};
}

struct Developed {
    std::vector<std::array<double, 3>> pixels;  // 8-bit sRGB levels
    int width = kW;
    const std::array<double, 3>& at(int x, int y) const { return pixels[size_t(y) * width + x]; }
};

// The master alone, the alternate alone and the half blend of a scene.
std::array<Developed, 3> Develop(const Scene& scene, int width = kW, int height = kH,
                                 const char* layout = "RGGB", bool rounded = true) {
    const CFAPattern pattern = *CFAPattern::fromName(layout);
    const auto neutral = TestChart::asShotNeutral();
    std::vector<uint16_t> mosaic(size_t(width) * height);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            const auto c = static_cast<size_t>(pattern.colorAt(uint32_t(y), uint32_t(x)));
            const double v = TestChart::cameraFromScene(scene(x, y))[c] / neutral[c];
            mosaic[size_t(y) * width + x] =
                uint16_t(std::lround(std::clamp(v, 0.0, 1.0) * 65535.0));
        }
    const CFAPlane cfa{mosaic.data(), uint32_t(width), uint32_t(height), uint32_t(width), pattern};
    Stage stage(width, height);
    DemosaicAHD(cfa, stage.raw->master.data(), 4, CameraToProPhoto());
    DemosaicLMMSE(cfa, stage.raw->alternate.data(), 4, CameraToProPhoto());
    std::array<Developed, 3> out;
    const float amounts[3] = {0.0f, 1.0f, 0.5f};
    // Scenes of few colours repeat most pixels.
    std::unordered_map<uint64_t, std::array<double, 3>> converted;
    for (size_t i = 0; i < 3; ++i) {
        out[i].width = width;
        auto buffer = stage.run(amounts[i], amounts[i]);
        EXPECT_NE(buffer, nullptr);
        if (!buffer) return out;
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x) {
                const uint16_t* p = buffer->bufferU16ForRow(y, x);
                const uint64_t key = uint64_t(p[0]) << 32 | uint64_t(p[1]) << 16 | p[2];
                auto [at, added] = converted.try_emplace(key);
                if (added)
                    at->second = ToSRGB8({p[0] / 65535.0, p[1] / 65535.0, p[2] / 65535.0}, rounded);
                out[i].pixels.push_back(at->second);
            }
    }
    return out;
}

// A straight edge: which line parallel to it a pixel lies on (0 the first
// line of the patch, negative outside), the step along it, and the region
// (away from corners) where it is measured.
struct Edge {
    std::function<int(int, int)> line;
    int stepX, stepY;
    int x0, y0, x1, y1;
};

// Two squares (their sides at either Bayer phase) and a diamond.
bool InSquareA(int x, int y) { return x >= 20 && x < 76 && y >= 20 && y < 76; }
bool InSquareB(int x, int y) { return x >= 97 && x < 152 && y >= 21 && y < 76; }
bool InDiamond(int x, int y) { return std::abs(x - 200) + std::abs(y - 110) <= 44; }

std::vector<Edge> Sides(bool vertical) {
    std::vector<Edge> out;
    for (auto [l, t, r, b] : {std::array{20, 20, 76, 76}, std::array{97, 21, 152, 76}}) {
        if (vertical) {
            out.push_back(
                {[l = l](int x, int) { return x - l; }, 0, 1, l - 5, t + 6, l + 5, b - 6});
            out.push_back(
                {[r = r](int x, int) { return r - 1 - x; }, 0, 1, r - 5, t + 6, r + 5, b - 6});
        } else {
            out.push_back(
                {[t = t](int, int y) { return y - t; }, 1, 0, l + 6, t - 5, r - 6, t + 5});
            out.push_back(
                {[b = b](int, int y) { return b - 1 - y; }, 1, 0, l + 6, b - 5, r - 6, b + 5});
        }
    }
    return out;
}

std::vector<Edge> DiamondSides() {
    std::vector<Edge> out;
    for (int sx : {-1, 1})
        for (int sy : {-1, 1}) {
            const int x0 = sx < 0 ? 200 - 38 : 200 + 6, y0 = sy < 0 ? 110 - 38 : 110 + 6;
            out.push_back(
                {[sx, sy](int x, int y) { return 44 - (sx * (x - 200) + sy * (y - 110)); }, 1,
                 -sx * sy, x0, y0, x0 + 32, y0 + 32});
        }
    return out;
}

// Calls f(x, y, line) for the pixels of an edge within three lines of it.
void ForBand(const Edge& e, const std::function<void(int, int, int)>& f) {
    for (int y = e.y0; y < e.y1; ++y)
        for (int x = e.x0; x < e.x1; ++x) {
            const int line = e.line(x, y);
            if (line >= -3 && line < 3) f(x, y, line);
        }
}

// The zipper of an edge: along each line near it, the mean of
// |p(i) - (p(i-1) + p(i+1)) / 2| per channel; the largest of these.
double Zipper(const Developed& img, const Edge& e, const Developed* truth = nullptr,
              int fewest = 1) {
    std::array<std::array<double, 3>, 6> sum{};
    std::array<int, 6> count{};
    auto error = [&](int x, int y, size_t c) {
        return img.at(x, y)[c] - (truth ? truth->at(x, y)[c] : 0.0);
    };
    ForBand(e, [&](int x, int y, int line) {
        const int xp = x - e.stepX, yp = y - e.stepY, xn = x + e.stepX, yn = y + e.stepY;
        if (std::min(xp, xn) < e.x0 || std::max(xp, xn) >= e.x1 || std::min(yp, yn) < e.y0 ||
            std::max(yp, yn) >= e.y1)
            return;
        for (size_t c = 0; c < 3; ++c)
            sum[size_t(line + 3)][c] +=
                std::fabs(error(x, y, c) - 0.5 * (error(xp, yp, c) + error(xn, yn, c)));
        ++count[size_t(line + 3)];
    });
    double worst = 0.0;
    for (size_t i = 0; i < 6; ++i)
        for (size_t c = 0; c < 3; ++c)
            if (count[i] >= fewest) worst = std::max(worst, sum[i][c] / count[i]);
    return worst;
}

double MeanZipper(const Developed& img, const std::vector<Edge>& sides) {
    double sum = 0.0;
    for (const Edge& e : sides) sum += Zipper(img, e);
    return sum / double(sides.size());
}

const std::array<std::array<double, 3>, 3> kSaturated = {{
    {0.55, 0.50, 0.08},  // yellow
    {0.14, 0.35, 0.45},  // cyan
    {0.45, 0.12, 0.08},  // red
}};

Scene PatchesOn(const std::array<double, 3>& colour) {
    return [colour](int x, int y) {
        return InSquareA(x, y) || InSquareB(x, y) || InDiamond(x, y) ? colour : kGrey;
    };
}

const char* kNames[3] = {"master", "alternate", "half blend"};

}  // namespace edges

TEST(RawCombineEdges, NeitherRenderingNorTheBlendZippersAlongStraightEdges) {
    using namespace edges;
    for (const auto& colour : kSaturated) {
        const auto developed = Develop(PatchesOn(colour));
        const std::pair<const char*, std::vector<Edge>> orientations[] = {
            {"vertical", Sides(true)}, {"horizontal", Sides(false)}, {"diagonal", DiamondSides()}};
        for (const auto& [name, sides] : orientations) {
            const double master = MeanZipper(developed[0], sides);
            for (size_t i = 1; i < 3; ++i)
                EXPECT_LE(MeanZipper(developed[i], sides), master + 1.0)
                    << kNames[i] << ", " << name << " edges of " << colour[0] << " " << colour[1]
                    << " " << colour[2] << " (master " << master << ")";
        }
    }
}

TEST(RawCombineEdges, EdgesStayWithinTheirTwoSidesAndAddNoFalseColour) {
    using namespace edges;
    const auto grey = ToSRGB8(kGrey);
    for (const auto& colour : kSaturated) {
        const auto developed = Develop(PatchesOn(colour));
        const auto patch = ToSRGB8(colour);
        std::vector<Edge> all = Sides(true), horizontal = Sides(false), diagonal = DiamondSides();
        all.insert(all.end(), horizontal.begin(), horizontal.end());
        std::array<double, 3> percentile{};
        for (size_t i = 0; i < 3; ++i) {
            // Overshoot: beyond the per-channel range of the two sides.
            double overshoot = 0.0;
            for (const Edge& e : all)
                ForBand(e, [&](int x, int y, int) {
                    for (size_t c = 0; c < 3; ++c) {
                        const double v = developed[i].at(x, y)[c];
                        overshoot = std::max({overshoot, std::min(grey[c], patch[c]) - v,
                                              v - std::max(grey[c], patch[c])});
                    }
                });
            EXPECT_LE(overshoot, 2.0)
                << kNames[i] << " on " << colour[0] << " " << colour[1] << " " << colour[2];
            // False colour: distance in a*b* from the mixes of the two sides.
            const auto a = Chroma(grey), b = Chroma(patch);
            std::vector<double> off;
            std::vector<Edge> every = all;
            every.insert(every.end(), diagonal.begin(), diagonal.end());
            for (const Edge& e : every)
                ForBand(e, [&](int x, int y, int) {
                    const auto q = Chroma(developed[i].at(x, y));
                    const double dx = b[0] - a[0], dy = b[1] - a[1];
                    const double t = std::clamp(
                        ((q[0] - a[0]) * dx + (q[1] - a[1]) * dy) / (dx * dx + dy * dy), 0.0, 1.0);
                    off.push_back(std::hypot(q[0] - a[0] - t * dx, q[1] - a[1] - t * dy));
                });
            std::sort(off.begin(), off.end());
            percentile[i] = off[size_t(0.99 * double(off.size() - 1))];
        }
        EXPECT_LE(percentile[2], percentile[0])
            << "99th-percentile false colour of the blend against the master's on " << colour[0]
            << " " << colour[1] << " " << colour[2];
    }
}

TEST(RawCombineEdges, TheBlendHasLessFalseColourThanTheMasterOnAZonePlate) {
    using namespace edges;
    const double cx = kW / 2.0, cy = kH / 2.0, k = M_PI / (2.0 * std::hypot(cx, cy));
    const auto developed = Develop([&](int x, int y) {
        const double v = 0.30 + 0.25 * std::cos(k * ((x - cx) * (x - cx) + (y - cy) * (y - cy)));
        return std::array<double, 3>{v, v, v};
    });
    std::array<double, 3> mean{};
    for (size_t i = 0; i < 3; ++i) {
        int n = 0;
        for (int y = 12; y < kH - 12; ++y)
            for (int x = 12; x < kW - 12; ++x, ++n) {
                const auto ab = Chroma(developed[i].at(x, y));
                mean[i] += std::hypot(ab[0], ab[1]);
            }
        mean[i] /= n;
    }
    EXPECT_LT(mean[1], 0.5 * mean[0]) << "alternate " << mean[1] << ", master " << mean[0];
    EXPECT_LT(mean[2], mean[0]) << "blend " << mean[2] << ", master " << mean[0];
}

// Edges where only red and blue change: green cannot tell which side a pixel is on.
namespace equalGreen {

using namespace edges;

// A white-balanced camera colour as a scene.
std::array<double, 3> FromCamera(const std::array<double, 3>& camera) {
    const RawMatrix3 m = CameraToProPhoto();
    std::array<double, 3> out{};
    for (size_t r = 0; r < 3; ++r)
        for (size_t c = 0; c < 3; ++c) out[r] += m[r][c] * camera[c];
    return out;
}

const std::array<double, 3> kCameraGrey{0.18, 0.18, 0.18};
// Orange, blue and red of the grey's raw green.
const std::array<std::array<double, 3>, 3> kColours = {
    {{0.40, 0.18, 0.05}, {0.07, 0.18, 0.42}, {0.42, 0.18, 0.18}}};

// The along-edge zipper of the error against the scene where the edge runs
// straight, on lines with at least `fewest` such pixels.
double ErrorZipper(const Developed& img, const Developed& truth, const Edge& e, int fewest = 1) {
    auto straight = [&](int x, int y) {
        for (int k = -5; k <= 5; ++k)
            for (int j = -2; j <= 2; ++j) {
                const int u = x - k * e.stepY, v = y + k * e.stepX;
                if (truth.at(u, v) != truth.at(u + j * e.stepX, v + j * e.stepY)) return false;
            }
        return true;
    };
    Edge kept = e;
    kept.line = [&](int x, int y) { return straight(x, y) ? e.line(x, y) : 99; };
    return Zipper(img, kept, &truth, fewest);
}

}  // namespace equalGreen

TEST(RawCombineEdges, EdgesOfEqualGreenDoNotZipper) {
    using namespace equalGreen;
    // The circle's edge where it runs nearly along an axis, stepping along it.
    auto arc = [](int x, int y) { return int(std::floor(36.0 - std::hypot(x - 75, y - 128))); };
    std::vector<Edge> sides{{arc, 1, 0, 57, 88, 93, 102},
                            {arc, 1, 0, 57, 154, 93, 168},
                            {arc, 0, 1, 35, 110, 49, 146},
                            {arc, 0, 1, 101, 110, 115, 146}};
    for (const auto& part : {Sides(true), Sides(false), DiamondSides()})
        sides.insert(sides.end(), part.begin(), part.end());
    for (const auto& camera : kColours) {
        const std::array<double, 3> colour = FromCamera(camera), grey = FromCamera(kCameraGrey);
        const Scene scene = [&](int x, int y) {
            const bool circle = std::hypot(x - 75, y - 128) <= 36.0;
            return InSquareA(x, y) || InSquareB(x, y) || InDiamond(x, y) || circle ? colour : grey;
        };
        Developed truth;
        for (int i = 0; i < kW * kH; ++i) truth.pixels.push_back(ToSRGB8(scene(i % kW, i / kW)));
        const auto developed = Develop(scene);
        for (size_t i = 0; i < 3; ++i)
            for (size_t k = 0; k < sides.size(); ++k)
                EXPECT_LE(ErrorZipper(developed[i], truth, sides[k]), 2.0)
                    << kNames[i] << ", edge " << k << ", colour " << camera[0] << " " << camera[2];
    }
}

// Grey–orange rings at constant green: the second difference along them rises with a maze.
TEST(RawCombineEdges, AZonePlateOfEqualGreenDoesNotMaze) {
    using namespace equalGreen;
    const double cx = kW / 2.0, cy = kH / 2.0, k = M_PI / (2.0 * std::hypot(cx, cy));
    const auto developed = Develop([&](int x, int y) {
        const double t = 0.5 + 0.5 * std::cos(k * ((x - cx) * (x - cx) + (y - cy) * (y - cy)));
        std::array<double, 3> camera{};
        for (size_t c = 0; c < 3; ++c) camera[c] = kCameraGrey[c] + t * (kColours[0][c] - 0.18);
        return FromCamera(camera);
    });
    const int sx[4] = {1, 1, 0, -1}, sy[4] = {0, 1, 1, 1};
    for (size_t i = 0; i < 3; ++i) {
        const Developed& img = developed[i];
        std::array<std::array<double, 3>, 6> sum{};
        std::array<int, 6> count{};
        for (int y = 12; y < kH - 12; ++y)
            for (int x = 12; x < kW - 12; ++x) {
                const double f = k * std::hypot(x - cx, y - cy) / M_PI;
                const double angle = std::atan2(x - cx, -(y - cy)) * 4.0 / M_PI;
                const int band = int((f - 0.15) / 0.05), d = (int(std::round(angle)) % 4 + 4) % 4;
                if (f < 0.15 || band > 5 || std::fabs(angle - std::round(angle)) > 10.0 / 45.0)
                    continue;
                for (size_t c = 0; c < 3; ++c)
                    sum[size_t(band)][c] +=
                        std::fabs(img.at(x, y)[c] - 0.5 * (img.at(x - sx[d], y - sy[d])[c] +
                                                           img.at(x + sx[d], y + sy[d])[c]));
                ++count[size_t(band)];
            }
        for (size_t b = 0; b < 6; ++b) {
            // From 0.30 cycles per pixel up, the alternate's rings must stay
            // clean too, where the master's may not.
            if (b >= 3 && i != 1) continue;
            EXPECT_LE(std::max({sum[b][0], sum[b][1], sum[b][2]}) / std::max(count[b], 1),
                      b == 2 ? 10.0 : 5.0)
                << kNames[i] << " at " << 0.15 + 0.05 * b << " cycles per pixel and up";
        }
    }
}

// Red and blue scaled against the grey, at every strength from half to
// double, together and each alone: squares, diamonds and circles in every
// CFA phase; the zipper of the error, with master, alternate and blend.
TEST(RawCombineEdges, EdgesOfEqualGreenDoNotZipperAtAnyStrength) {
    using namespace equalGreen;
    constexpr int kCellW = 168, kCellH = 80, kScales = 30;
    // Per column of cells: which of red and blue are scaled.
    const std::array<std::array<double, 2>, 3> kModes = {{{1, 1}, {1, 0}, {0, 1}}};
    auto scaleOf = [](int row) { return 0.5 + 0.05 * (row < 10 ? row : row + 1); };  // not 1
    auto shapes = [](int x, int y) {  // whether a shape of its cell covers a point
        const int u = x % kCellW, v = y % kCellH;
        return (u >= 10 && u < 46 && v >= 22 && v < 58) ||
               std::abs(u - 76) + std::abs(v - 40) <= 22 || std::hypot(u - 130, v - 40) <= 28.0;
    };
    const int width = kCellW * 3, height = kCellH * kScales;
    std::array<std::array<std::array<double, 3>, 3>, kScales> colours{};
    for (int row = 0; row < kScales; ++row)
        for (size_t column = 0; column < 3; ++column) {
            std::array<double, 3> camera = kCameraGrey;
            camera[0] *= kModes[column][0] != 0 ? scaleOf(row) : 1.0;
            camera[2] *= kModes[column][1] != 0 ? scaleOf(row) : 1.0;
            colours[size_t(row)][column] = FromCamera(camera);
        }
    const std::array<double, 3> grey = FromCamera(kCameraGrey);
    const Scene scene = [&](int x, int y) {
        return shapes(x, y) ? colours[size_t(y / kCellH)][size_t(x / kCellW)] : grey;
    };
    Developed truth;
    truth.width = width;
    std::map<std::array<double, 3>, std::array<double, 3>> inSRGB;
    for (int i = 0; i < width * height; ++i) {
        const auto colour = scene(i % width, i / width);
        auto [at, added] = inSRGB.try_emplace(colour);
        if (added) at->second = ToSRGB8(colour, false);
        truth.pixels.push_back(at->second);
    }
    // Per rendering, scale and mode: the worst zipper over the edges and layouts.
    std::array<std::array<std::array<double, 3>, kScales>, 3> worst{};
    for (const char* layout : {"RGGB", "GRBG", "GBRG", "BGGR"}) {
        const auto developed = Develop(scene, width, height, layout, false);
        for (int row = 0; row < kScales; ++row)
            for (int column = 0; column < 3; ++column) {
                const int ox = column * kCellW, oy = row * kCellH;
                std::vector<Edge> sides;
                const int l = ox + 10, t = oy + 22, r = l + 36, b = t + 36;
                sides.push_back(
                    {[l](int x, int) { return x - l; }, 0, 1, l - 5, t + 6, l + 5, b - 6});
                sides.push_back(
                    {[r](int x, int) { return r - 1 - x; }, 0, 1, r - 5, t + 6, r + 5, b - 6});
                sides.push_back(
                    {[t](int, int y) { return y - t; }, 1, 0, l + 6, t - 5, r - 6, t + 5});
                sides.push_back(
                    {[b](int, int y) { return b - 1 - y; }, 1, 0, l + 6, b - 5, r - 6, b + 5});
                const int dx = ox + 76, dy = oy + 40;
                for (int sx : {-1, 1})
                    for (int sy : {-1, 1}) {
                        const int x0 = sx < 0 ? dx - 17 : dx + 5, y0 = sy < 0 ? dy - 17 : dy + 5;
                        sides.push_back(
                            {[=](int x, int y) { return 22 - (sx * (x - dx) + sy * (y - dy)); }, 1,
                             -sx * sy, x0, y0, x0 + 12, y0 + 12});
                    }
                const int cx = ox + 130, cy = oy + 40;
                auto arc = [=](int x, int y) {
                    return int(std::floor(28.0 - std::hypot(x - cx, y - cy)));
                };
                sides.push_back({arc, 1, 0, cx - 16, cy - 33, cx + 16, cy - 19});
                sides.push_back({arc, 1, 0, cx - 16, cy + 19, cx + 16, cy + 33});
                sides.push_back({arc, 0, 1, cx - 33, cy - 16, cx - 19, cy + 16});
                sides.push_back({arc, 0, 1, cx + 19, cy - 16, cx + 33, cy + 16});
                for (size_t i = 0; i < 3; ++i)
                    for (const Edge& e : sides)
                        worst[i][size_t(row)][size_t(column)] =
                            std::max(worst[i][size_t(row)][size_t(column)],
                                     ErrorZipper(developed[i], truth, e, 4));
            }
    }
    const char* modes[3] = {"red and blue", "red", "blue"};
    for (size_t i = 0; i < 3; ++i)
        for (int row = 0; row < kScales; ++row)
            for (size_t column = 0; column < 3; ++column)
                EXPECT_LE(worst[i][size_t(row)][column], 1.5)
                    << kNames[i] << ", " << modes[column] << " at "
                    << std::lround(100 * scaleOf(row)) << "%";
}

// An X-Trans mosaic's two renderings reach the artifact settings as a Bayer
// one's do: at 0 the master shows, at 1 the picture changes.
TEST(RawCombineTiledEngine, XTransRenderingsFollowTheAmounts) {
    constexpr int kSize = 96;
    const uint8_t phase0[36] = {1, 2, 1, 1, 0, 1, 0, 1, 0, 2, 1, 2, 1, 2, 1, 1, 0, 1,
                                1, 0, 1, 1, 2, 1, 2, 1, 2, 0, 1, 0, 1, 0, 1, 1, 2, 1};
    const CFALayout layout = *CFALayout::fromColors(6, 6, phase0);
    std::vector<uint16_t> mosaic(size_t(kSize) * kSize);
    for (int y = 0; y < kSize; ++y)
        for (int x = 0; x < kSize; ++x) {
            // Fine rings of a neutral zone plate, as a camera would see them.
            const double r2 = (x - 47.5) * (x - 47.5) + (y - 47.5) * (y - 47.5);
            mosaic[size_t(y) * kSize + x] =
                uint16_t(65535 * (0.3 + 0.25 * std::cos(M_PI * r2 / kSize)));
        }
    Stage s(kSize, kSize);
    DemosaicXTransBoth({mosaic.data(), kSize, kSize, kSize, layout}, s.raw->master.data(),
                       s.raw->alternate.data(), 2);
    auto master = s.run(0.0f, 0.0f);
    ASSERT_TRUE(master);
    expectPixel(*master, 40, 40, s.raw->master[(40 * kSize + 40) * 3],
                s.raw->master[(40 * kSize + 40) * 3 + 1], s.raw->master[(40 * kSize + 40) * 3 + 2]);
    std::vector<uint16_t> before;
    for (int y = 8; y < kSize - 8; ++y)
        before.insert(before.end(), master->bufferU16ForRow(y, 8),
                      master->bufferU16ForRow(y, 8) + (kSize - 16) * 4);
    auto mixed = s.run(1.0f, 1.0f);
    ASSERT_TRUE(mixed);
    size_t changed = 0;
    for (int y = 8; y < kSize - 8; ++y)
        for (int x = 8; x < kSize - 8; ++x)
            for (int c = 0; c < 3; ++c)
                changed +=
                    std::abs(int(mixed->bufferU16ForRow(y, x)[c]) -
                             int(before[(size_t(y - 8) * (kSize - 16) + (x - 8)) * 4 + c])) > 64;
    EXPECT_GT(changed, size_t(kSize) * kSize / 10);
}

// An export at amounts 1 and 1 decodes the master only in the border
// bands. On real files of both decoding roads, with their crops and
// orientations: the bands are the whole master's to the bit, the alternate
// is the same, and the blend is the whole path's along the borders to the
// bit and within one level inside (the master no longer says which way the
// alternate's hue goes round). Asked for other amounts, the stage has the
// whole master decoded and blends as the whole path does, to the bit.
TEST(RawCombineTiledEngine, AMasterKeptInTheBordersOnlyBlendsAsTheWholeOne) {
    const auto raw = testsupport::testdataDir() / "raw";
    for (const auto& file : {raw / "dng" / "rpi-1920x1200_10bit-packed_single-tile.dng",
                             raw / "dng" / "rpi-imx296_16bit_thumb-ifd0_raw-subifd.dng",
                             raw / "other" / "canon-powershot-g2_colorchart.CRW"}) {
        SCOPED_TRACE(file.filename().string());
        ASSERT_TRUE(std::filesystem::exists(file));
        auto whole = rawWrapper::initWithFile(file.string(), file.string(), false);
        auto banded = rawWrapper::initWithFile(file.string(), file.string(), false);
        banded->setMasterEdgeBands(RawCombineTiledEngine::kBorder);
        ASSERT_TRUE(whole->masterImageBytes() && banded->masterImageBytes());
        ASSERT_EQ(banded->masterEdgeBands(), uint32_t(RawCombineTiledEngine::kBorder));
        EXPECT_EQ(whole->masterEdgeBands(), 0u);
        const uint32_t W = whole->imageWidth(), H = whole->imageHeight();
        ASSERT_EQ(banded->imageWidth(), W);
        const size_t samples = size_t(W) * H * 3;
        EXPECT_TRUE(std::equal(whole->alternateImageBytes(), whole->alternateImageBytes() + samples,
                               banded->alternateImageBytes()));
        const EdgeBands bands{W, H, uint32_t(RawCombineTiledEngine::kBorder)};
        size_t bandMismatch = 0;
        for (uint32_t y = 0; y < H; ++y)
            for (uint32_t x = 0; x < W; ++x)
                if (const auto run = bands.at(x, y); run.pixels > 0)
                    bandMismatch +=
                        !std::equal(banded->masterImageBytes() + run.sample,
                                    banded->masterImageBytes() + run.sample + 3,
                                    whole->masterImageBytes() + (size_t(y) * W + x) * 3);
        EXPECT_EQ(bandMismatch, 0u);

        auto blend = [&](const ImageWrapper::Ptr& source, float amount) {
            auto stage = RawCombineTiledEngine::initWithSize(platform::Size{double(W), double(H)},
                                                             std::nullopt, false);
            stage->setIgnoreEdges(false);
            stage->setHorizontalBorder(RawCombineTiledEngine::kBorder);
            stage->setVerticalBorder(RawCombineTiledEngine::kBorder);
            stage->setRawImage(source);
            stage->setParameters(
                std::nullopt, platform::Dictionary{{"Quorvex_ArtifactSuppression", amount},
                                                   {"Quorvex_ChromaArtifactSuppression", amount}});
            auto process = stage->runProcessToCompletion(TileRegion{0, -1, -1, -1, -1});
            EXPECT_EQ(stage->lastRunError(), "");
            std::vector<uint16_t> out(size_t(W) * H * 4);
            if (auto buffer = process ? process->buffer() : nullptr)
                for (uint32_t y = 0; y < H; ++y)
                    std::copy_n(buffer->bufferU16ForRow(int(y), 0), size_t(W) * 4,
                                out.begin() + ptrdiff_t(y) * W * 4);
            return out;
        };
        const auto expected = blend(whole, 1.0f), got = blend(banded, 1.0f);
        int worst = 0;
        size_t borderMismatch = 0, differing = 0;
        for (size_t i = 0; i < expected.size(); ++i) {
            const uint32_t x = uint32_t(i / 4 % W), y = uint32_t(i / 4 / W);
            const int d = std::abs(int(expected[i]) - int(got[i]));
            worst = std::max(worst, d);
            differing += d != 0;
            if (bands.at(x, y).pixels > 0) borderMismatch += d != 0;
        }
        EXPECT_EQ(borderMismatch, 0u);
        EXPECT_LE(worst, 1) << differing << " samples differ";
        EXPECT_EQ(banded->decodeCount(), 1u);

        EXPECT_EQ(blend(banded, 0.5f), blend(whole, 0.5f));
        EXPECT_EQ(banded->masterEdgeBands(), 0u);
        EXPECT_EQ(banded->decodeCount(), 2u);
    }
}
