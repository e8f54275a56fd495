#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <vector>

#include "engine/CoreEngineFilter.h"
#include "engine/CoreTiledEngine.h"
#include "engine/FilteredCIImage.h"
#include "engine/GM24PatchesFilter.h"
#include "engine/HistogramFilteredCIImage.h"
#include "engine/PixelZoomFilter.h"
#include "engine/PixelatedCIImages.h"
#include "platform/Log.h"

namespace {

using platform::CIFilter;
using platform::CIImage;
using platform::Dictionary;
using platform::Point;
using platform::Rect;
using platform::Value;

template <class F>
CIImage::Ptr imageOf(size_t w, size_t h, F f, Point origin = {}) {
    std::vector<float> px(w * h * 4);
    for (size_t row = 0; row < h; ++row)
        for (size_t x = 0; x < w; ++x) {
            float* p = &px[(row * w + x) * 4];
            for (int c = 0; c < 3; ++c) p[c] = f(x, h - 1 - row, c);
            p[3] = 1.0f;
        }
    return CIImage::imageWithPixels(w, h, origin, std::move(px), nullptr);
}

TEST(CoreImageFilters, RegisteredNamesAttributesAndDirtyFlag) {
    CoreEngineFilter::registerFilter();
    HistogramFilter::registerFilter();
    PixelZoomFilter::registerFilter();
    GM24PatchesFilter::registerFilter();
    const struct {
        const char* name;
        const char* className;
        const char* display;
    } filters[] = {{"CoreEngine", "CoreEngineFilter", "Quorvex Core engine"},
                   {"histogram", "HistogramFilter", "Quorvex Histogram"},
                   {"PixelZoom", "PixelZoomFilter", "Pixel Zoom Filter"},
                   {"GM24Patches", "GM24PatchesFilter", "Gretag Macbeth 24 patch generator"}};
    for (const auto& f : filters) {
        auto byName = CIFilter::filterWithName(f.name);
        auto byClass = CIFilter::filterWithName(f.className);
        ASSERT_TRUE(byName && byClass) << f.name;
        EXPECT_NE(byName, byClass);
        EXPECT_EQ(byClass->name(), f.name);
        EXPECT_EQ(byName->attributes()["CIAttributeFilterDisplayName"].stringValue(), f.display);
    }
    auto core = std::dynamic_pointer_cast<CoreEngineFilter>(CIFilter::filterWithName("CoreEngine"));
    auto hist = CIFilter::filterWithName("histogram");
    const Dictionary attributes = core->attributes();
    const Value& ev = attributes["inputEV"];
    EXPECT_EQ(ev["CIAttributeSliderMin"].realValue(), -10);
    EXPECT_EQ(ev["CIAttributeDefault"].realValue(), 0.5);
    EXPECT_EQ(core->attributes()["inputTemperature"]["CIAttributeDefault"].realValue(), 0);
    EXPECT_EQ(hist->attributes()["inputTemperature"]["CIAttributeDefault"].realValue(), 6500);
    EXPECT_EQ(core->attributes()["inputHighLight"]["CIAttributeIdentity"].realValue(), 1);
    EXPECT_EQ(CIFilter::filterWithName("PixelZoom")
                  ->attributes()["CIAttributeFilterCategories"]
                  .array()[0]
                  .stringValue(),
              "CICategoryGeometryAdjustment");
    core->setDefaults();
    EXPECT_EQ(core->valueForKey("inputSaturation").realValue(), 1);
    EXPECT_TRUE(core->isDirty());

    CoreEngineFilter fresh;
    fresh.setValue("INPUTIMAGE", Value());
    EXPECT_FALSE(fresh.isDirty());
    fresh.setValue("inputEV", 1.0);
    EXPECT_TRUE(fresh.isDirty());
    EXPECT_FALSE(fresh.outputImage()) << "no output without an input";
}

Dictionary cameraParams() {
    Dictionary p{{"asShotWhitex", 0.3127}, {"asShotWhitey", 0.3290}};
    const float m[3][3] = {{1.2f, -0.2f, 0.0f}, {-0.3f, 1.3f, 0.0f}, {0.0f, -0.1f, 1.1f}};
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c)
            p.set("cameraFromXYZ" + std::to_string(r) + std::to_string(c), m[r][c]);
    return p;
}

TEST(CoreImageFilters, CoreEngineEqualsTheCoreStageWhereTheTableIndexIsWhole) {
    const Dictionary settings{{"Quorvex_Filter_inputEV", 0.3},
                              {"Quorvex_Filter_inputContrast", 0.4},
                              {"Quorvex_Filter_inputBrightness", 0.5},
                              {"Quorvex_Filter_inputFillLight", 0.3},
                              {"Quorvex_Filter_inputTemperature", 4800.0},
                              {"Quorvex_Filter_inputTint", 5.0},
                              {"Quorvex_Filter_inputSaturation", 1.2}};
    auto stage = CoreTiledEngine::initWithSize(platform::Size{16, 16}, std::nullopt, false);
    stage->setCameraParameters(cameraParams());
    stage->setParameters(std::nullopt, settings);
    float m[4][4];
    stage->getMatrix(m);
    auto lut = stage->LUT();
    const float* table = lut->bufferFloatForRow(0);
    const float offset = stage->outputOffset();

    // The matrix output of a 16-bit colour (its fourth value the luminance
    // index), as both compute it.
    auto matrixOf = [&](const uint16_t rgb[3]) {
        std::array<float, 4> p = {
            rgb[0] * CoreTiledEngine::kInputScale, rgb[1] * CoreTiledEngine::kInputScale,
            rgb[2] * CoreTiledEngine::kInputScale, 65535 * CoreTiledEngine::kInputScale};
        platform::vimage::Buffer b{p.data(), 1, 1, 16};
        platform::coreMatrixRows(b, b, m);
        return p;
    };
    auto indexOf = [&](const uint16_t rgb[3]) { return matrixOf(rgb)[3]; };
    // Colours whose index is whole inside the table, and as many others.
    constexpr int W = 16, H = 8;
    std::vector<std::array<uint16_t, 3>> colours;
    int whole = 0, other = 0;
    uint32_t seed = 12345;
    for (int tries = 0; tries < 10000000 && (whole < W * H / 2 || other < W * H / 2); ++tries) {
        uint16_t rgb[3];
        for (auto& v : rgb) {
            seed = seed * 1664525u + 1013904223u;
            v = uint16_t(seed >> 16);
        }
        const float index = indexOf(rgb);
        const bool isWhole = index == std::floor(index) && index > 0 && index < 4095;
        if (isWhole ? whole++ < W * H / 2 : other++ < W * H / 2)
            colours.push_back({rgb[0], rgb[1], rgb[2]});
    }
    ASSERT_EQ(colours.size(), size_t(W * H));
    auto src = ImageBufferU16::initWithSize(W, H, nullptr, nullptr);
    for (int i = 0; i < W * H; ++i) {
        uint16_t* p = src->bufferU16ForRow(i / W, i % W);
        for (int c = 0; c < 3; ++c) p[c] = colours[size_t(i)][size_t(c)];
        p[3] = 65535;
    }
    auto rendered = ImageBufferF32::initWithSize(W, H, nullptr, nullptr);
    stage->processTile(0, W, 0, H, src.get(), rendered.get(), 0);

    auto input = imageOf(W, H, [&](size_t x, size_t y, int c) {
        return float(src->bufferU16ForRow(int(H - 1 - y), int(x))[c]) *
               CoreTiledEngine::kInputScale;
    });
    CoreEngineFilter filter;
    filter.setCameraParameters(std::make_shared<const Dictionary>(cameraParams()));
    filter.setImageParameters(std::make_shared<const Dictionary>(settings));
    filter.setImage("inputImage", input);
    filter.setWorkerCount(3);
    auto out = filter.outputImage();
    ASSERT_TRUE(out);

    int exact = 0;
    for (int y = 0; y < H; ++y)
        for (int x = 0; x < W; ++x) {
            const uint16_t* s16 = src->bufferU16ForRow(y, x);
            const float index = indexOf(s16);
            const float* got = out->row(size_t(y)) + x * 4;
            const float* want = rendered->bufferFloatForRow(y, x);
            if (index == std::floor(index)) {
                ++exact;
                for (int c = 0; c < 4; ++c) ASSERT_EQ(got[c], want[c]) << x << "," << y;
                continue;
            }
            // Elsewhere: the gain interpolated between the two nearest entries.
            const float i = std::clamp(index, 0.0f, 4095.0f);
            const int j = std::min(int(i), 4094);
            const float g = table[j * 4] + (i - float(j)) * (table[j * 4 + 4] - table[j * 4]);
            const auto p = matrixOf(s16);
            for (int c = 0; c < 3; ++c)
                ASSERT_NEAR(got[c], p[size_t(c)] * g + offset, 1e-5f * (1 + std::fabs(got[c])))
                    << x << "," << y;
            EXPECT_EQ(got[3], 1.0f);
        }
    EXPECT_GE(exact, W * H / 2);
    filter.setWorkerCount(1);
    filter.setImageParameters(std::make_shared<const Dictionary>(settings));  // renders again
    auto single = filter.outputImage();
    ASSERT_NE(single, out);
    for (size_t y = 0; y < H; ++y)
        for (size_t i = 0; i < W * 4; ++i) ASSERT_EQ(single->row(y)[i], out->row(y)[i]);

    filter.setImageParameters(nullptr);
    auto dark = filter.outputImage();
    EXPECT_EQ(dark->pixel(10, 5)[0], 0.0f) << "without settings the table stays zero";
}

TEST(CoreImageFilters, PixelZoomMagnifiesByNearestNeighbour) {
    auto in = imageOf(
        2, 2, [](size_t x, size_t y, int c) { return float(x + 2 * y + 10 * c); },
        Point{5.7, -1.2});
    PixelZoomFilter zoom;
    zoom.setDefaults();
    zoom.setImage("inputImage", in);
    zoom.setValue("scaleTest", 3.0);
    auto out = zoom.outputImage();
    ASSERT_TRUE(out);
    EXPECT_EQ(out->extent(), (Rect{5, -1, 6, 6}));
    for (size_t y = 0; y < 6; ++y)
        for (size_t x = 0; x < 6; ++x) {
            EXPECT_EQ(out->pixel(x, y)[0], float(x / 3 + 2 * (y / 3))) << x << "," << y;
            EXPECT_EQ(out->pixel(x, y)[2], in->pixel(x / 3, y / 3)[2]);
        }
    zoom.setValue("scaleTest", 1.5);
    EXPECT_EQ(zoom.outputImage()->width(), 3u);
    EXPECT_EQ(zoom.outputImage()->pixel(0, 0)[0], 0.0f);
    EXPECT_EQ(zoom.outputImage()->pixel(1, 0)[0], 1.0f) << "centre 1.5 ÷ 1.5 lies in pixel 1";
    EXPECT_EQ(zoom.outputImage()->pixel(2, 0)[0], 1.0f);
    zoom.setValue("scaleTest", 0.0);
    EXPECT_FALSE(zoom.outputImage());
    zoom.setValue("scaleTest", 1e9);
    EXPECT_FALSE(zoom.outputImage()) << "oversized output";

    const Value info(Value::Array{4.0});
    EXPECT_EQ(zoom.zoomROI(0, Rect{8, 4, 40, 20}, info), (Rect{2, 1, 10, 5}));
    EXPECT_EQ(zoom.zoomROI(1, Rect{8, 4, 40, 20}, info), (Rect{8, 4, 40, 20}));

    PixelatedCIImages pixelated;
    pixelated.setImage(in, 0);
    EXPECT_EQ(pixelated.getPixelatedImage(0), in) << "factor 1 shows the input";
    pixelated.setPixelScaleFactor(3.0f);
    EXPECT_EQ(pixelated.getPixelatedImage(0)->width(), 6u);
    pixelated.setImage(in, 1);
    EXPECT_EQ(pixelated.getPixelScaleFactor(), 3.0f);
    EXPECT_EQ(pixelated.getPixelatedImage(1)->width(), 6u) << "a later filter takes the factor";
    EXPECT_EQ(pixelated.getInputImage(1), in);
    pixelated.setImage(in, 2);
    EXPECT_FALSE(pixelated.getPixelatedImage(2));
}

TEST(CoreImageFilters, GM24ScalesOffsetsAndClampsARamp) {
    auto ramp = imageOf(11, 1, [](size_t x, size_t, int) { return float(x) / 10; });
    GM24PatchesFilter gm;
    gm.setImage("inputImage", ramp);
    for (size_t x = 0; x < 11; ++x) EXPECT_EQ(gm.outputImage()->pixel(x, 0)[1], float(x) / 10);
    gm.setValue("a", 2.0);
    gm.setValue("b", 0.1);
    gm.setValue("clamp", 1.5);
    for (size_t x = 0; x < 11; ++x) {
        const float v = float(x) / 10;
        EXPECT_FLOAT_EQ(gm.outputImage()->pixel(x, 0)[0], std::min(2 * v + 0.1f, 1.5f)) << x;
        EXPECT_EQ(gm.outputImage()->pixel(x, 0)[3], 1.0f);
    }
}

// A grey image: `counts[i]` pixels of levels[i].
CIImage::Ptr levelsImage(const std::vector<float>& levels, const std::vector<int>& counts) {
    std::vector<float> values;
    for (size_t i = 0; i < levels.size(); ++i)
        values.insert(values.end(), size_t(counts[i]), levels[i]);
    return imageOf(values.size(), 1, [&](size_t x, size_t, int) { return values[x]; });
}

// The grey whose gamma-adjusted value lies in the middle of bin b of 64.
float levelOfBin(int b) { return std::pow((b + 0.5f) / 64, 1 / HistogramFilteredCIImage::kGamma); }

TEST(CoreImageFilters, HistogramChainDrawsTwoLevelsAgainstTheLargestInnerBin) {
    HistogramFilteredCIImage chain;
    chain.setOutputSize(platform::Size{64, 100});
    platform::LogCapture log;
    chain.setInputImage(levelsImage({levelOfBin(16), levelOfBin(40)}, {12, 4}));
    auto bins = chain.areaHistogramFilter()->outputImage();
    ASSERT_TRUE(bins);
    ASSERT_EQ(bins->width(), 64u);
    for (size_t b = 0; b < 64; ++b)
        EXPECT_FLOAT_EQ(bins->pixel(b, 0)[1], b == 16 ? 15.0f : b == 40 ? 5.0f : 0.0f) << b;
    auto picture = chain.getOutputImage();
    ASSERT_TRUE(picture);
    ASSERT_EQ(picture->extent(), (Rect{0, 0, 64, 100}));
    auto barHeight = [&](size_t x, int c) {
        int n = 0;
        for (size_t y = 0; y < 100; ++y) n += picture->pixel(x, y)[c] == 1.0f;
        return n;
    };
    EXPECT_EQ(barHeight(16, 0), 100);
    EXPECT_EQ(barHeight(40, 2), 34) << "a third of the tallest: rows 0 to 33";
    EXPECT_EQ(barHeight(41, 1), 0);
    EXPECT_EQ(picture->pixel(40, 33)[0], 1.0f);
    EXPECT_EQ(picture->pixel(40, 34)[0], 0.0f);
    EXPECT_EQ(picture->pixel(3, 50)[3], 1.0f);
    EXPECT_TRUE(log.contains("16 NSDeviceRGBColorSpace 1 1 1 1"));
    EXPECT_TRUE(log.contains("15 NSDeviceRGBColorSpace 0 0 0 1"));

    // Clipped whites pile up in the last bin, which the maximum leaves out.
    chain.setInputImage(levelsImage({levelOfBin(16), levelOfBin(40), 1.0f}, {12, 4, 20}));
    picture = chain.getOutputImage();
    ASSERT_TRUE(picture);
    EXPECT_FLOAT_EQ(chain.tmpFilter()->outputImage()->pixel(0, 0)[0], 12 * 20.0f / 36);
    EXPECT_EQ(barHeight(16, 0), 100);
    EXPECT_EQ(barHeight(40, 0), 34);
    EXPECT_EQ(barHeight(63, 0), 100);

    auto bitmap = chain.resultingNSImage();
    ASSERT_TRUE(bitmap);
    EXPECT_EQ(bitmap->width(), 64u);
    EXPECT_EQ(bitmap->bitsPerComponent(), 8u);
    EXPECT_EQ(bitmap->dataProvider()->bytes()[99 * 64 * 4 + 40 * 4], 255) << "bottom of bar 40";

    chain.setOutputSize(platform::Size{2, 100});
    EXPECT_FALSE(chain.getOutputImage()) << "no bins between the end bins";
    chain.setOutputSize(platform::Size{64, 100});
    chain.setInputImage(nullptr);
    EXPECT_FALSE(chain.getOutputImage());
    EXPECT_FALSE(chain.hFilter()->image("maxCImage"));
}

// A filter that multiplies by "inputGain" and adds "inputOffset", counting its renders.
class CountingFilter : public CIFilter {
public:
    explicit CountingFilter(bool withExtent)
        : CIFilter(Dictionary{{"CIAttributeFilterName", "Counting"},
                              {"inputImage", imageAttribute()},
                              {"inputGain", scalarAttribute(0, 10, 0, 10, 1, 1)},
                              {"inputOffset", scalarAttribute(-1, 1, -1, 1, 0, 0)}}) {
        if (withExtent) extraAttributes.set("inputExtent", vectorAttribute(vectorValue(Rect{})));
    }
    Dictionary attributes() const override {
        Dictionary d = CIFilter::attributes();
        for (const auto& [k, v] : extraAttributes) d.set(k, v);
        return d;
    }
    int renders = 0;
    Dictionary extraAttributes;

protected:
    CIImage::Ptr makeOutputImage() override {
        auto in = image("inputImage");
        if (!in) return nullptr;
        ++renders;
        const float g = value("inputGain").floatValue(1), o = value("inputOffset").floatValue(0);
        return imageOf(in->width(), in->height(),
                       [&](size_t x, size_t y, int c) { return in->pixel(x, y)[c] * g + o; });
    }
};

TEST(CoreImageFilters, ApplyAdjustmentsRerunsFromTheFirstChangedFilter) {
    auto a = std::make_shared<CountingFilter>(false), b = std::make_shared<CountingFilter>(false),
         c = std::make_shared<CountingFilter>(true);
    FilteredCIImage chain(nullptr);
    EXPECT_FALSE(chain.getOutputImage());
    for (auto& f : {a, b, c}) chain.addFilter(f);
    chain.addFilter(nullptr);
    EXPECT_EQ(chain.filters().size(), 3u);
    chain.setInputImage(imageOf(3, 2, [](size_t, size_t, int) { return 1.0f; }));
    EXPECT_FLOAT_EQ(chain.getOutputImage()->pixel(2, 1)[0], 1.0f);
    auto renders = [&] { return std::vector<int>{a->renders, b->renders, c->renders}; };
    EXPECT_EQ(renders(), (std::vector<int>{1, 1, 1}));

    // Every filter with the attribute gets the value; other keys are ignored.
    chain.applyAdjustments(
        Dictionary{{"Quorvex_Filter_inputGain", 2.0}, {"Quorvex_Filter_inputRadius", 2.0}});
    EXPECT_FLOAT_EQ(chain.getOutputImage()->pixel(0, 0)[0], 8.0f);
    EXPECT_EQ(renders(), (std::vector<int>{2, 2, 2}));
    EXPECT_EQ(CIFilter::rectFromValue(c->valueForKey("inputExtent"), Rect{}), (Rect{0, 0, 3, 2}));

    // An equal number, even as an integer, changes nothing.
    chain.applyAdjustments(Dictionary{{"Quorvex_Filter_inputGain", 2}});
    chain.getOutputImage();
    EXPECT_EQ(renders(), (std::vector<int>{2, 2, 2}));

    // An attribute only the last two have: the first filter is not redone.
    for (auto& f : {b, c})
        f->extraAttributes.set("inputOffset2", CIFilter::scalarAttribute(0, 1, 0, 1, 0, 0));
    chain.applyAdjustments(Dictionary{{"Quorvex_Filter_inputOffset2", 0.5}});
    chain.getOutputImage();
    EXPECT_EQ(renders(), (std::vector<int>{2, 3, 3}));
    EXPECT_EQ(chain.localValues()["inputOffset2"].realValue(), 0.5);

    chain.applyAdjustments(Dictionary{{"Quorvex_Filter_inputOffset", 0.5}});
    EXPECT_FLOAT_EQ(chain.getOutputImage()->pixel(0, 0)[0], ((1 * 2 + 0.5f) * 2 + 0.5f) * 2 + 0.5f);
    EXPECT_EQ(renders(), (std::vector<int>{3, 4, 4}));

    chain.removeFilter(b);
    chain.setInputImage(chain.getInputImage());
    EXPECT_FLOAT_EQ(chain.getOutputImage()->pixel(0, 0)[0], (1 * 2 + 0.5f) * 2 + 0.5f);
}

}  // namespace
