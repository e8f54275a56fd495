#include <gtest/gtest.h>

#include <cmath>
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
