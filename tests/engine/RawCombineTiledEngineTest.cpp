#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "engine/RawCombineTiledEngine.h"

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
