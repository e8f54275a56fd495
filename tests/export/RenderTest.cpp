// The renderer on negatives the DNG front builds: the exposure functions,
// the target size under a maximum, black render "none", the D55 fallback,
// exposure, a monochrome final space, compositing over white, thread-count
// independence, and the default tone curve's tables.
#include <gtest/gtest.h>

#include <cmath>
#include <memory>

#include "dng/color/dng_camera_profile.h"
#include "dng/color/dng_color_space.h"
#include "dng/color/dng_tone_curve_acr3_default.h"
#include "dng/core/dng_tag_types.h"
#include "dng/image/dng_negative.h"
#include "dng/image/dng_pixel_buffer.h"
#include "dng/image/dng_render.h"
#include "dng/image/dng_simple_image.h"
#include "dng/writer/ImageWriterTestSupport.h"
#include "export/DngTiffWriter.h"
#include "export/ExportTestSupport.h"

namespace {

// A front-built negative with stages 2 and 3, RGB or a mosaic.
std::unique_ptr<DngTiffWriter> Built(int w, int h, uint32_t cfa = 0) {
    auto writer = std::make_unique<DngTiffWriter>(w, h);
    writer->SetCFAPattern(cfa);
    std::vector<uint16_t> px = exporttest::Gradient(w, h);
    EXPECT_EQ(writer->BuildNegative(reinterpret_cast<const uint8_t*>(px.data()), 0), 0);
    writer->Negative()->BuildStage2Image(writer->Host());
    writer->Negative()->BuildStage3Image(writer->Host());
    return writer;
}

std::vector<float> Samples(const dng_image& image) {
    const auto bytes = writertest::ImageBytes(image, ttFloat);
    std::vector<float> out(bytes.size() / 4);
    std::memcpy(out.data(), bytes.data(), bytes.size());
    return out;
}

}  // namespace

TEST(Render, ExposureFunctionsAndTargetSizes) {
    const dng_function_exposure_tone up(1.0), down(-1.0);
    EXPECT_TRUE(up.fIsNOP);
    EXPECT_DOUBLE_EQ(up.Evaluate(0.3), 0.3);
    EXPECT_DOUBLE_EQ(down.Evaluate(0.2), 0.1);
    EXPECT_NEAR(down.Evaluate(0.25), 0.125, 1e-12);
    EXPECT_NEAR(down.Evaluate(0.2500001), 0.125, 1e-6);  // the quadratic meets the line
    EXPECT_NEAR(down.Evaluate(1.0), 1.0, 1e-12);

    // +1 EV: white 0.5; the shadow black never passes 0.99 × white.
    const dng_function_exposure_ramp ramp(0.5, 0.0, 0.0);
    EXPECT_DOUBLE_EQ(ramp.Evaluate(0.25), 0.5);
    EXPECT_DOUBLE_EQ(ramp.Evaluate(0.7), 1.0);
    const dng_function_exposure_ramp toe(1.0, 0.005, 0.005);
    EXPECT_DOUBLE_EQ(toe.Evaluate(0.0), 0.0);
    EXPECT_GT(toe.Evaluate(0.005), 0.0);
    EXPECT_NEAR(toe.Evaluate(0.5), (0.5 - 0.005) / 0.995, 1e-12);
    EXPECT_DOUBLE_EQ(dng_function_zero_offset(0.5).Evaluate(0.75), 0.5);

    uint32 w = 0, h = 0;
    dng_render::TargetSize(3000, 2000, 1, 256, w, h);
    EXPECT_EQ(w, 256u);
    EXPECT_EQ(h, 171u);
    dng_render::TargetSize(2000, 3000, 1, 256, w, h);
    EXPECT_EQ(w, 171u);
    EXPECT_EQ(h, 256u);
    dng_render::TargetSize(200, 100, 1, 256, w, h);
    EXPECT_EQ(w, 200u);
    EXPECT_EQ(h, 100u);
}

TEST(Render, ProfileAndReferenceChooseShadowsAndCurve) {
    auto rgb = Built(24, 16);
    dng_render outputReferred(rgb->Host(), *rgb->Negative());
    EXPECT_EQ(outputReferred.Shadows(), 0.0);
    EXPECT_TRUE(outputReferred.ToneCurve().IsIdentity());

    auto cfa = Built(24, 16, 0xB4B4B4B4);
    dng_render scene(cfa->Host(), *cfa->Negative());
    EXPECT_EQ(scene.Shadows(), 5.0);
    EXPECT_EQ(&scene.ToneCurve(), &dng_tone_curve_acr3_default::Get());

    auto profile = std::make_unique<dng_camera_profile>(cfa->Negative()->ProfileByIndex(0));
    profile->SetDefaultBlackRender(1);
    cfa->Negative()->DeleteAllProfiles();
    cfa->Negative()->AddProfile(std::move(profile));
    dng_render none(cfa->Host(), *cfa->Negative());
    EXPECT_EQ(none.Shadows(), 0.0);
}

TEST(Render, WhiteExposureMonochromeMaskAndThreads) {
    auto w = Built(64, 40);
    dng_negative& n = *w->Negative();
    auto render = [&](auto setup) {
        dng_render r(w->Host(), n);
        r.SetFinalSpace(dng_space_ProPhoto::Get());
        r.SetFinalPixelType(ttFloat);
        setup(r);
        return r.Render();
    };
    auto plain = render([](dng_render&) {});
    const auto base = Samples(*plain);

    // No neutral and no as-shot white: D55.
    n.SetCameraWhiteXY(0.0, 0.0);
    const auto fallback = Samples(*render([](dng_render&) {}));
    const auto d55 =
        Samples(*render([](dng_render& r) { r.SetWhiteXY(dng_xy_coord(0.3324, 0.3474)); }));
    EXPECT_EQ(fallback, d55);
    EXPECT_NE(fallback, base);
    n.SetCameraWhiteXY(0.3457, 0.3585);

    // +1 EV doubles the linear value (before the encoding).
    const auto brighter = Samples(*render([](dng_render& r) { r.SetExposure(1.0); }));
    const dng_1d_function& gamma = dng_space_ProPhoto::Get().GammaFunction();
    for (size_t i : {size_t(5), size_t(600), size_t(1234)}) {
        const double linear = gamma.EvaluateInverse(base[i]);
        EXPECT_NEAR(brighter[i], gamma.Evaluate(std::min(1.0, 2 * linear)), 2e-3) << i;
    }

    auto grey = render([](dng_render& r) { r.SetFinalSpace(dng_space_GrayGamma22::Get()); });
    EXPECT_EQ(grey->Planes(), 1u);

    // Any thread count gives the same pixels.
    w->Host().SetAreaTaskThreadCount(1);
    EXPECT_EQ(Samples(*render([](dng_render&) {})), base);
    w->Host().SetAreaTaskThreadCount(8);

    // A mask of 0 gives white, 1 leaves the pixel.
    auto mask = std::make_unique<dng_simple_image>(n.Stage3Image()->Bounds(), 1, ttFloat,
                                                   gDefaultDNGMemoryAllocator);
    mask->SetConstant(0);
    dng_pixel_buffer buffer(dng_rect(0, 32, 40, 64), 0, 1, ttFloat, pcInterleaved, nullptr);
    std::vector<float> ones(32 * 40, 1.0f);
    buffer.fData = ones.data();
    mask->Put(buffer);
    n.SetTransparencyMask(std::move(mask));
    const auto masked = Samples(*render([](dng_render&) {}));
    for (size_t row : {size_t(0), size_t(39)})
        for (size_t col : {size_t(0), size_t(31), size_t(32), size_t(63)})
            for (size_t p = 0; p < 3; ++p) {
                const size_t i = (row * 64 + col) * 3 + p;
                EXPECT_NEAR(masked[i], col < 32 ? 1.0f : base[i], 1e-6) << row << "," << col;
            }
}

TEST(Render, DefaultToneCurveTables) {
    const auto& curve =
        static_cast<const dng_tone_curve_acr3_default&>(dng_tone_curve_acr3_default::Get());
    struct Row {
        int i;
        float forward, inverse;
    };
    for (const Row r :
         {Row{1, 0.00078f, 0.00121f}, Row{64, 0.10433f, 0.04292f}, Row{512, 0.80486f, 0.23787f},
          Row{1023, 0.99987f, 0.99291f}, Row{1024, 1.0f, 1.0f}}) {
        EXPECT_EQ(curve.ForwardTable()[r.i], r.forward) << r.i;
        EXPECT_EQ(curve.InverseTable()[r.i], r.inverse) << r.i;
    }
    for (int k = 0; k <= 100; ++k) {
        const double y = k / 100.0;
        // The published inverse rows are a close, not an exact, inverse.
        EXPECT_NEAR(curve.Evaluate(curve.EvaluateInverse(y)), y, 6e-3) << y;
    }
    for (int i = 1; i < dng_tone_curve_acr3_default::kTableSize; ++i)
        EXPECT_GE(curve.InverseTable()[i], curve.InverseTable()[i - 1]) << i;
    EXPECT_FLOAT_EQ(float(curve.Evaluate(0.5)), 0.80486f);
}
