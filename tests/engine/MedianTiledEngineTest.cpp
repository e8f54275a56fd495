// The median and mean artifact filters, alone and as the engine chains them.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <random>
#include <vector>

#include "engine/MeanTiledEngine.h"
#include "engine/MedianTiledEngine.h"
#include "platform/Dispatch.h"

namespace {

using platform::Rect;
using Pixel = std::array<uint16_t, 4>;
using Painter = std::function<Pixel(int x, int y)>;

// A first stage that paints a picture into its own buffer; with `owned` the
// buffer is read-only for the next stage, which then makes its own.
class PictureStage : public TiledEngine {
public:
    PictureStage(int w, int h, Painter paint, bool owned)
        : TiledEngine(platform::Size{double(w), double(h)}, std::nullopt, false),
          paint_(std::move(paint)),
          owned_(owned) {}
    std::shared_ptr<TileProcess> runProcessToCompletion(const TileRegion& region) override {
        auto p = TiledEngine::runProcessToCompletion(region);
        if (owned_ && p && p->buffer()) p->buffer()->setBufferOwner(stageId());
        return p;
    }
    void processTile(int c0, int c1, int r0, int r1, ImageBuffer*, ImageBuffer* dest,
                     int) override {
        for (int y = r0; y < r1; ++y)
            for (int x = c0; x < c1; ++x) {
                const Pixel p = paint_(x, y);
                std::memcpy(dest->bufferU16ForRow(y, x), p.data(), 8);
            }
    }

private:
    Painter paint_;
    bool owned_;
};

const TileRegion kAll{0, -1, -1, -1, -1};

platform::Dictionary filterSetting(double v) { return {{"Quorvex_ArtifactFilter", v}}; }

std::shared_ptr<MedianTiledEngine> medianOver(TiledEngine::Ptr source, int colour) {
    auto m = MedianTiledEngine::initWithImage(std::move(source), std::nullopt, false);
    m->setColorToProcess(colour);
    m->setIgnoreEdges(true);
    m->setReprocessEdgeTiles(true);
    m->setHorizontalBorder(2);
    m->setVerticalBorder(2);
    return m;
}

std::shared_ptr<MeanTiledEngine> meanOver(TiledEngine::Ptr source) {
    auto m = MeanTiledEngine::initWithImage(std::move(source), std::nullopt, false);
    m->setHorizontalBorder(2);
    m->setVerticalBorder(2);
    return m;
}

std::vector<uint16_t> pixels(const ImageBuffer& b) {
    std::vector<uint16_t> out;
    for (int y = 0; y < b.imageHeight(); ++y) {
        const uint16_t* row = b.bufferU16ForRow(y);
        out.insert(out.end(), row, row + size_t(b.imageWidth()) * 4);
    }
    return out;
}

Pixel at(const ImageBuffer& b, int x, int y) {
    Pixel p;
    std::memcpy(p.data(), b.bufferU16ForRow(y, x), 8);
    return p;
}

// A busy picture: every pixel differs, with strong colour noise.
Pixel noisy(int x, int y) {
    const uint32_t h = uint32_t(x) * 2654435761u ^ uint32_t(y) * 40503u;
    const uint16_t g = uint16_t(20000 + (x * 7 + y * 13) % 20000);
    return {uint16_t(g + int(h % 9000) - 4500), g, uint16_t(g + int((h >> 8) % 12000) - 6000),
            uint16_t(h)};
}

}  // namespace

TEST(MedianTiledEngine, PassTable) {
    auto source = std::make_shared<PictureStage>(16, 16, noisy, true);
    auto median = medianOver(source, 0);
    auto mean = meanOver(median);
    struct Row {
        double setting;
        int medianPasses, basePasses, meanPasses;
    };
    for (Row r : {Row{0.1, 0, 1, 0}, Row{0.2, 2, 2, 0}, Row{0.4, 4, 4, 0}, Row{0.5, 6, 6, 0},
                  Row{0.7, 6, 6, 2}, Row{0.9, 6, 6, 4}, Row{1.0, 6, 6, 6}, Row{1.5, 0, 1, 6},
                  Row{-0.5, 0, 1, 6}}) {
        mean->setParameters(std::nullopt, filterSetting(r.setting));  // forwarded upstream
        EXPECT_EQ(median->medianFilterPasses(), r.medianPasses) << r.setting;
        EXPECT_EQ(median->numberOfPasses(), r.basePasses) << r.setting;
        EXPECT_EQ(mean->numberOfFilterPasses(), r.meanPasses) << r.setting;
    }
    EXPECT_EQ(MedianTiledEngine::artifactFilterStep(platform::Value(std::nan(""))), -1);
    EXPECT_EQ(MedianTiledEngine::artifactFilterStep(platform::Value()), 0);  // missing reads 0
    // A key of another stage changes nothing here.
    mean->setParameters(std::string("Quorvex_Filter_inputRadius"), filterSetting(0.2));
    EXPECT_EQ(median->medianFilterPasses(), 0);
}

TEST(MedianTiledEngine, RemovesAnOutlierAndKeepsFlatColour) {
    const Pixel flat{30000, 20000, 25000, 0};
    auto paint = [&](int x, int y) -> Pixel {
        if (x == 10 && y == 10) return {60000, 20000, 25000, 0};  // red outlier
        if (x == 1 && y == 1) return {60000, 20000, 25000, 0};    // in the border band
        return flat;
    };
    auto median = medianOver(std::make_shared<PictureStage>(40, 30, paint, true), 0);
    median->setParameters(std::nullopt, filterSetting(0.2));  // two passes
    auto out = median->runProcessToCompletion(kAll)->buffer();
    EXPECT_EQ(at(*out, 10, 10)[0], 30000);
    EXPECT_EQ(at(*out, 10, 10)[1], 20000);  // green untouched
    EXPECT_EQ(at(*out, 1, 1)[0], 60000);    // the border is never filtered
    for (int y = 0; y < 30; ++y)
        for (int x = 0; x < 40; ++x) {
            if (x == 1 && y == 1) continue;
            const Pixel p = at(*out, x, y);
            ASSERT_EQ(p[0], flat[0]) << x << "," << y;
            ASSERT_EQ(p[2], flat[2]) << x << "," << y;
            ASSERT_EQ(p[3], flat[0]) << x << "," << y;  // A keeps the copy of red
        }
}

TEST(MedianTiledEngine, MatchesASortedWindowOnNoise) {
    const int w = 300, h = 200, passes = 4;
    auto median = medianOver(std::make_shared<PictureStage>(w, h, noisy, true), 2);
    median->setParameters(std::nullopt, filterSetting(0.4));
    auto out = pixels(*median->runProcessToCompletion(kAll)->buffer());

    std::vector<uint16_t> px;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const Pixel p = noisy(x, y);
            px.insert(px.end(), p.begin(), p.end());
        }
    for (int p = 0; p < passes; ++p) {
        for (size_t i = 0; i < px.size(); i += 4) px[i + 3] = px[i + 2];
        for (int y = 2; y < h - 2; ++y)
            for (int x = 2; x < w - 2; ++x) {
                std::vector<int> window;
                for (int dy = -1; dy <= 1; ++dy)
                    for (int dx = -1; dx <= 1; ++dx) {
                        const uint16_t* q = &px[(size_t(y + dy) * w + x + dx) * 4];
                        window.push_back(int(q[3]) - int(q[1]));
                    }
                std::nth_element(window.begin(), window.begin() + 4, window.end());
                uint16_t* q = &px[(size_t(y) * w + x) * 4];
                q[2] = uint16_t(std::clamp(q[1] + window[4], 0, 65535));
            }
    }
    EXPECT_EQ(out, px);
}

TEST(MedianTiledEngine, BelowOneStepCopiesTheWholeImage) {
    // A separate output buffer gets every pixel, border bands included.
    auto median = medianOver(std::make_shared<PictureStage>(600, 520, noisy, true), 2);
    median->setParameters(std::nullopt, filterSetting(0.1));
    auto out = median->runProcessToCompletion(kAll)->buffer();
    for (int y = 0; y < 520; ++y)
        for (int x = 0; x < 600; ++x) ASSERT_EQ(at(*out, x, y), noisy(x, y)) << x << "," << y;
}

// The filter as a plain sequential loop over the whole image, in place.
void referenceMean(std::vector<uint16_t>& px, int w, int h, int passes) {
    for (int p = 0; p < passes; ++p)
        for (int c : {0, 2})
            for (int y = 2; y < h - 2; ++y)
                for (int x = 2; x < w - 2; ++x) {
                    int s = 0;
                    for (int dy = -2; dy <= 2; ++dy)
                        for (int dx = -2; dx <= 2; ++dx) {
                            const uint16_t* q = &px[(size_t(y + dy) * w + x + dx) * 4];
                            s += int(q[c]) - int(q[1]);
                        }
                    uint16_t* q = &px[(size_t(y) * w + x) * 4];
                    const int v = q[1] + s / 25;
                    q[c] = uint16_t(v <= 0 ? 0 : (v >= 65535 ? 65535 : v));
                }
}

std::vector<uint16_t> painted(int w, int h, const Painter& paint) {
    std::vector<uint16_t> out;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const Pixel p = paint(x, y);
            out.insert(out.end(), p.begin(), p.end());
        }
    return out;
}

TEST(MeanTiledEngine, FlatColourStaysAndResultsClamp) {
    const Painter flat = [](int, int) -> Pixel { return {1000, 30000, 64000, 7}; };
    auto mean = meanOver(std::make_shared<PictureStage>(40, 30, flat, false));
    mean->setParameters(std::nullopt, filterSetting(1.0));
    auto out = mean->runProcessToCompletion(kAll)->buffer();
    EXPECT_EQ(out->bufferOwner(), mean->stageId());
    EXPECT_EQ(pixels(*out), painted(40, 30, flat));

    // Green alternating 0 / full scale by column: in the top half red is 0
    // (sums far below zero where green is 0), below it is full scale.
    const Painter stripes = [](int x, int y) -> Pixel {
        const uint16_t g = x % 2 ? 65535 : 0;
        return {uint16_t(y < 15 ? 0 : 65535), g, 30000, 0};
    };
    mean = meanOver(std::make_shared<PictureStage>(40, 30, stripes, false));
    mean->setParameters(std::nullopt, filterSetting(0.7));
    out = mean->runProcessToCompletion(kAll)->buffer();
    auto expected = painted(40, 30, stripes);
    referenceMean(expected, 40, 30, 2);
    EXPECT_EQ(pixels(*out), expected);
    EXPECT_EQ(at(*out, 10, 5)[0], 0);       // green 0 plus a negative mean
    EXPECT_EQ(at(*out, 11, 25)[0], 65535);  // full-scale green plus a positive mean
    EXPECT_EQ(at(*out, 11, 25)[1], 65535);  // green untouched
}

TEST(MeanTiledEngine, OneTileMatchesTheSequentialFilter) {
    const int w = 300, h = 200;
    auto mean = meanOver(std::make_shared<PictureStage>(w, h, noisy, false));
    mean->setParameters(std::nullopt, filterSetting(0.9));  // four passes
    auto out = mean->runProcessToCompletion(kAll)->buffer();
    auto expected = painted(w, h, noisy);
    referenceMean(expected, w, h, 4);
    EXPECT_EQ(pixels(*out), expected);
}

// The engine's chain of the three filters on one picture.
struct Chain {
    std::shared_ptr<PictureStage> source;
    std::shared_ptr<MedianTiledEngine> red, blue;
    std::shared_ptr<MeanTiledEngine> mean;

    Chain(int w, int h, const Painter& paint, double setting, int workers = 0)
        : source(std::make_shared<PictureStage>(w, h, paint, true)),
          red(medianOver(source, 0)),
          blue(medianOver(red, 2)),
          mean(meanOver(blue)) {
        for (auto* s :
             std::initializer_list<TiledEngine*>{source.get(), red.get(), blue.get(), mean.get()})
            s->setWorkerCount(workers);
        mean->setParameters(std::nullopt, filterSetting(setting));
    }
    std::vector<uint16_t> run(const TileRegion& region) {
        return pixels(*mean->runProcessToCompletion(region)->buffer());
    }
};

std::vector<uint16_t> runChain(int workers, double setting) {
    return Chain(1100, 700, noisy, setting, workers).run(kAll);
}

TEST(MeanTiledEngine, ChainIsTheSameForAnyNumberOfWorkers) {
    const int all = int(std::max<uint64_t>(3, platform::processorCount()));
    for (double setting : {0.5, 1.0}) {
        const auto one = runChain(1, setting);
        EXPECT_EQ(runChain(2, setting), one) << setting;
        EXPECT_EQ(runChain(all, setting), one) << setting;
    }
}

uint64_t fnv1a(const std::vector<uint16_t>& samples) {
    uint64_t h = 14695981039346656037ull;
    for (uint16_t s : samples)
        for (int b = 0; b < 2; ++b) {
            h ^= (s >> (8 * b)) & 0xff;
            h *= 1099511628211ull;
        }
    return h;
}

// Full-range values that clip both ways, on green that switches between
// near black and near white.
Pixel harsh(int x, int y) {
    const uint32_t h = (uint32_t(x) * 73856093u ^ uint32_t(y) * 19349663u) * 2654435761u;
    const bool bright = (x / 40 + y / 30) % 2 != 0;
    const uint16_t g = uint16_t(bright ? 65535 - (h & 0x3ff) : (h & 0x3ff));
    return {uint16_t(h >> 16), g, uint16_t(h >> 3), uint16_t(h)};
}

TEST(MeanTiledEngine, OneShotResultIsPinned) {
    // Hashes of the whole output (A included) of a run over every tile,
    // taken before tiles learnt to be redone on their own; any change to
    // the filters' arithmetic or order shows here.
    struct Case {
        Painter paint;
        double setting;
        uint64_t hash;
    };
    for (const Case& c :
         {Case{noisy, 0.2, 7411519397730901943u}, Case{noisy, 0.5, 1808322930388241267u},
          Case{noisy, 0.7, 3843588926531391248u}, Case{noisy, 1.0, 4993154616418639425u},
          Case{harsh, 0.4, 12801306872476522659u}, Case{harsh, 1.0, 15502843104105865046u}}) {
        const auto out = Chain(1100, 700, c.paint, c.setting).run(kAll);
        EXPECT_EQ(fnv1a(out), c.hash) << c.setting;
    }
}

// Tiles the last run left clean, whose own and neighbouring source tiles
// are clean too, hold the one-shot result.
void expectSettledTilesMatch(Chain& chain, const std::vector<uint16_t>& out,
                             const std::vector<uint16_t>& oneShot, int w, int h) {
    auto& map = *chain.mean->mainMap();
    auto& sourceMap = *chain.source->mainMap();
    for (int ty = 0; ty < map.yTiles(); ++ty)
        for (int tx = 0; tx < map.xTiles(); ++tx) {
            bool settled = map.getTileTracker(tx, ty)->state() == tileIsClean;
            for (int dy = -1; dy <= 1; ++dy)
                for (int dx = -1; dx <= 1; ++dx)
                    if (auto t = sourceMap.getTileTracker(tx + dx, ty + dy))
                        settled = settled && t->state() == tileIsClean;
            if (!settled) continue;
            for (int y = ty * 512; y < std::min(h, ty * 512 + 512); ++y) {
                const size_t from = (size_t(y) * w + tx * 512) * 4;
                const size_t n = size_t(std::min(w, tx * 512 + 512) - tx * 512) * 4;
                ASSERT_TRUE(
                    std::equal(out.begin() + from, out.begin() + from + n, oneShot.begin() + from))
                    << "tile " << tx << "," << ty << " row " << y;
            }
        }
}

TEST(MeanTiledEngine, PartialRunsReachTheOneShotResult) {
    const int w = 1200, h = 1030;  // 3 x 3 tiles, the last row 6 pixels high
    const Painter paint = [](int x, int y) {
        return (x / 300 + y / 200) % 2 ? harsh(x, y) : noisy(x, y);
    };
    const std::vector<uint16_t> oneShot[2] = {Chain(w, h, paint, 1.0).run(kAll),
                                              Chain(w, h, paint, 0.5).run(kAll)};
    std::mt19937 random(20261207);
    for (int sequence = 0; sequence < 3; ++sequence) {
        Chain chain(w, h, paint, 1.0);
        int current = 0;
        for (int step = 0; step < 6; ++step) {
            if (sequence == 2 && (step == 2 || step == 4)) {
                // A change of strength and back in the middle of it.
                current = 1 - current;
                chain.mean->setParameters(std::nullopt, filterSetting(current ? 0.5 : 1.0));
            }
            const int x = int(random() % w), y = int(random() % h);
            const Rect area{double(x), double(y), double(1 + random() % (w - x)),
                            double(1 + random() % (h - y))};
            const auto out = chain.run(chain.mean->mainMap()->regionForRect(area, 0));
            expectSettledTilesMatch(chain, out, oneShot[current], w, h);
        }
        EXPECT_TRUE(chain.run(kAll) == oneShot[current]) << "sequence " << sequence;
    }
}
