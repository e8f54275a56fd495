#include <gtest/gtest.h>
#include <lcms2.h>

#include <array>
#include <cmath>
#include <thread>

#include "platform/IccBuiltins.h"
#include "platform/IccTransform.h"

namespace {

using platform::IccBuiltin;
using platform::iccSignature;
namespace sig = platform::iccsig;

struct Expected {
    IccBuiltin which;
    const char* description;
    platform::IccSignature cls, space, pcs;
    int major;
};

const Expected kExpected[] = {
    {IccBuiltin::proPhotoPerceptual, "VodiRurar ProPhoto Perceptual", sig::kDisplayClass, sig::kRGB,
     sig::kXYZ, 2},
    {IccBuiltin::proPhotoGamma1, "VodiRurar ProPhoto Gamma 1", sig::kDisplayClass, sig::kRGB,
     sig::kXYZ, 2},
    {IccBuiltin::proPhotoGamma1D65, "VodiRurar ProPhoto Gamma 1", sig::kDisplayClass, sig::kRGB,
     sig::kXYZ, 2},
    {IccBuiltin::swappedSRGB, "VodiRurar swapped sRGB", sig::kDisplayClass, sig::kRGB, sig::kXYZ,
     2},
    {IccBuiltin::ccir709Gamma1D50, "VodiRurar CCIR Rec 709 Gamma 1.0 D50", sig::kDisplayClass,
     sig::kRGB, sig::kXYZ, 2},
    {IccBuiltin::proPhotoRelativeColorimetric, "VodiRurar ProPhoto cmRelativeColorimetric",
     sig::kDisplayClass, sig::kRGB, sig::kXYZ, 2},
    {IccBuiltin::proPhotoSaturation, "VodiRurar ProPhoto cmSaturation", sig::kDisplayClass,
     sig::kRGB, sig::kXYZ, 2},
    {IccBuiltin::proPhotoAbsoluteColorimetric, "VodiRurar ProPhoto cmAbsoluteColorimetric",
     sig::kDisplayClass, sig::kRGB, sig::kXYZ, 2},
    {IccBuiltin::palSecamGamma1, "VodiRurar PAL_SECAM RGB Gamma 1.0", sig::kDisplayClass, sig::kRGB,
     sig::kXYZ, 2},
    {IccBuiltin::palSecamGamma22, "VodiRurar PAL_SECAM RGB Gamma 2.2", sig::kDisplayClass,
     sig::kRGB, sig::kXYZ, 2},
    {IccBuiltin::ccir709Gamma1, "VodiRurar CCIR Rec 709 Gamma 1.0", sig::kDisplayClass, sig::kRGB,
     sig::kXYZ, 2},
    {IccBuiltin::itu709, "Rec. ITU-R BT.709-5", sig::kDisplayClass, sig::kRGB, sig::kXYZ, 4},
    {IccBuiltin::rec709Gamma1, "Rec 709 Gamma 1", sig::kDisplayClass, sig::kRGB, sig::kXYZ, 2},
    {IccBuiltin::photoCD4e, "E-6, 4 Series scanner", sig::kInputClass, sig::kRGB, sig::kLab, 2},
    {IccBuiltin::photoCD4k, "Kodachrome, 4 Series scanner", sig::kInputClass, sig::kRGB, sig::kLab,
     2},
    {IccBuiltin::photoCDXn, "Negative, all scanners", sig::kInputClass, sig::kRGB, sig::kLab, 2},
    {IccBuiltin::photoCD2e, "E-6, Pre-4 series scanner", sig::kInputClass, sig::kRGB, sig::kLab, 2},
    {IccBuiltin::photoCD2k, "Kodachrome, Pre-4 series scanner", sig::kInputClass, sig::kRGB,
     sig::kLab, 2},
    {IccBuiltin::photoCDXg, "Generic PCD", sig::kInputClass, sig::kRGB, sig::kXYZ, 2},
    {IccBuiltin::linearRGB, "Linear RGB Profile", sig::kDisplayClass, sig::kRGB, sig::kXYZ, 2},
    {IccBuiltin::sRGB, "sRGB IEC61966-2.1", sig::kDisplayClass, sig::kRGB, sig::kXYZ, 2},
    {IccBuiltin::genericLab, "Generic Lab Profile", sig::kAbstractClass, sig::kLab, sig::kLab, 4},
};

// An lcms2 handle on a built-in's bytes, closed at scope end.
struct Handle {
    cmsHPROFILE h;
    explicit Handle(IccBuiltin which) : bytes(platform::iccBuiltinBytes(which)) {
        h = cmsOpenProfileFromMem(bytes.data(), static_cast<cmsUInt32Number>(bytes.size()));
    }
    ~Handle() {
        if (h) cmsCloseProfile(h);
    }
    std::vector<std::uint8_t> bytes;
};

TEST(IccBuiltins, EveryProfileCarriesItsHeaderAndDescription) {
    for (const auto& e : kExpected) {
        SCOPED_TRACE(e.description);
        const auto bytes = platform::iccBuiltinBytes(e.which);
        ASSERT_FALSE(bytes.empty());
        const auto p = platform::IccProfile::fromBytes(bytes.data(), bytes.size());
        ASSERT_TRUE(p);
        EXPECT_EQ(p->description(), e.description);
        // Known beforehand too, for look-ups that must not make the profile.
        EXPECT_STREQ(platform::iccBuiltinDescription(e.which), e.description);
        EXPECT_EQ(p->profileClass(), e.cls);
        EXPECT_EQ(p->colorSpace(), e.space);
        EXPECT_EQ(p->connectionSpace(), e.pcs);
        EXPECT_EQ(static_cast<int>(p->version() >> 24), e.major);
        // lcms2's own reader takes them, with a forward table for every kind.
        Handle h(e.which);
        ASSERT_TRUE(h.h);
        if (e.which != IccBuiltin::genericLab) {
            EXPECT_TRUE(cmsIsIntentSupported(h.h, INTENT_PERCEPTUAL, LCMS_USED_AS_INPUT));
        }
        EXPECT_EQ(cmsGetHeaderRenderingIntent(h.h),
                  static_cast<cmsUInt32Number>(p->renderingIntent()));
    }
}

TEST(IccBuiltins, IntentsFollowTheSoftProofNames) {
    using I = platform::IccRenderingIntent;
    EXPECT_EQ(platform::iccBuiltinProfile(IccBuiltin::proPhotoPerceptual)->renderingIntent(),
              I::perceptual);
    EXPECT_EQ(
        platform::iccBuiltinProfile(IccBuiltin::proPhotoRelativeColorimetric)->renderingIntent(),
        I::relativeColorimetric);
    EXPECT_EQ(platform::iccBuiltinProfile(IccBuiltin::proPhotoSaturation)->renderingIntent(),
              I::saturation);
    EXPECT_EQ(
        platform::iccBuiltinProfile(IccBuiltin::proPhotoAbsoluteColorimetric)->renderingIntent(),
        I::absoluteColorimetric);
}

TEST(IccBuiltins, ToneCurvesHaveTheirGammas) {
    const std::pair<IccBuiltin, double> cases[] = {
        {IccBuiltin::proPhotoPerceptual, 1.8}, {IccBuiltin::proPhotoGamma1, 1.0},
        {IccBuiltin::proPhotoGamma1D65, 1.0},  {IccBuiltin::swappedSRGB, 2.2},
        {IccBuiltin::ccir709Gamma1D50, 1.0},   {IccBuiltin::palSecamGamma1, 1.0},
        {IccBuiltin::palSecamGamma22, 2.2},    {IccBuiltin::ccir709Gamma1, 1.0},
        {IccBuiltin::rec709Gamma1, 1.0},       {IccBuiltin::linearRGB, 1.0},
    };
    for (const auto& [which, gamma] : cases) {
        Handle h(which);
        for (auto tag : {cmsSigRedTRCTag, cmsSigGreenTRCTag, cmsSigBlueTRCTag}) {
            auto* curve = static_cast<cmsToneCurve*>(cmsReadTag(h.h, tag));
            ASSERT_TRUE(curve);
            EXPECT_NEAR(cmsEstimateGamma(curve, 0.01), gamma, 0.01);
        }
    }
    // sRGB is a 1,024-point table following the IEC 61966-2-1 curve.
    Handle srgb(IccBuiltin::sRGB);
    auto* curve = static_cast<cmsToneCurve*>(cmsReadTag(srgb.h, cmsSigRedTRCTag));
    ASSERT_TRUE(curve);
    EXPECT_EQ(cmsGetToneCurveEstimatedTableEntries(curve), 1024u);
    EXPECT_NEAR(cmsEvalToneCurveFloat(curve, 0.5f), std::pow((0.5 + 0.055) / 1.055, 2.4), 2e-4);
    EXPECT_NEAR(cmsEvalToneCurveFloat(curve, 0.02f), 0.02 / 12.92, 2e-4);
}

TEST(IccBuiltins, ColorantsAndWhitePoints) {
    // ProPhoto with a D50 white keeps the table's colorants.
    Handle pp(IccBuiltin::proPhotoGamma1);
    const auto* r = static_cast<const cmsCIEXYZ*>(cmsReadTag(pp.h, cmsSigRedColorantTag));
    const auto* b = static_cast<const cmsCIEXYZ*>(cmsReadTag(pp.h, cmsSigBlueColorantTag));
    ASSERT_TRUE(r && b);
    EXPECT_NEAR(r->X, 0.7977, 2e-3);
    EXPECT_NEAR(r->Y, 0.2880, 2e-3);
    EXPECT_NEAR(b->Z, 0.8249, 5e-3);
    // The D65 variant records its white and the adaptation to D50.
    Handle d65(IccBuiltin::proPhotoGamma1D65);
    const auto* white = static_cast<const cmsCIEXYZ*>(cmsReadTag(d65.h, cmsSigMediaWhitePointTag));
    ASSERT_TRUE(white);
    EXPECT_NEAR(white->X, 0.9504, 1e-3);
    EXPECT_NEAR(white->Z, 1.0888, 1e-3);
    EXPECT_TRUE(cmsIsTag(d65.h, cmsSigChromaticAdaptationTag));
    // Colorants always add up to the D50 connection white.
    for (auto which :
         {IccBuiltin::proPhotoGamma1D65, IccBuiltin::palSecamGamma1, IccBuiltin::ccir709Gamma1,
          IccBuiltin::ccir709Gamma1D50, IccBuiltin::itu709}) {
        Handle h(which);
        double sum[3] = {0, 0, 0};
        for (auto tag : {cmsSigRedColorantTag, cmsSigGreenColorantTag, cmsSigBlueColorantTag}) {
            const auto* c = static_cast<const cmsCIEXYZ*>(cmsReadTag(h.h, tag));
            ASSERT_TRUE(c);
            sum[0] += c->X;
            sum[1] += c->Y;
            sum[2] += c->Z;
        }
        EXPECT_NEAR(sum[0], 0.9642, 1e-3);
        EXPECT_NEAR(sum[1], 1.0, 1e-3);
        EXPECT_NEAR(sum[2], 0.8249, 1e-3);
    }
}

TEST(IccBuiltins, PhotoCDCurveFollowsTheDecoderTable) {
    // Points of the decoder's linearising table on its 0..1388 scale.
    const std::pair<int, int> points[] = {{0, 0},     {128, 21},   {256, 58},    {512, 193},
                                          {768, 419}, {1024, 744}, {1280, 1174}, {1388, 1387}};
    for (const auto& [code, linear] : points)
        EXPECT_NEAR(platform::photoCDEncodedToLinear(code / 1388.0) * 1388.0, linear, 2.0) << code;
}

TEST(IccBuiltins, ScannerTablesAgreeWithTheGenericScannerProfile) {
    // The Lab tables and the matrix profile describe the same disc encoding, so both must bring
    // a colour to the same linear ProPhoto values.
    const auto prophoto = platform::iccBuiltinProfile(IccBuiltin::proPhotoGamma1);
    const auto generic = platform::IccTransform::create(
        platform::iccBuiltinProfile(IccBuiltin::photoCDXg), prophoto);
    ASSERT_TRUE(generic);
    const std::array<float, 3> samples[] = {{0.713f, 0.713f, 0.713f},
                                            {0.5f, 0.3f, 0.2f},
                                            {0.2f, 0.6f, 0.4f},
                                            {0.1f, 0.1f, 0.1f},
                                            {0.9f, 0.8f, 0.85f}};
    for (auto which : {IccBuiltin::photoCD4e, IccBuiltin::photoCD4k, IccBuiltin::photoCDXn,
                       IccBuiltin::photoCD2e, IccBuiltin::photoCD2k}) {
        const auto table =
            platform::IccTransform::create(platform::iccBuiltinProfile(which), prophoto);
        ASSERT_TRUE(table);
        for (const auto& s : samples) {
            auto a = s, b = s;
            ASSERT_TRUE(table->convertRGBFloat(a.data(), 1, 1, 12));
            ASSERT_TRUE(generic->convertRGBFloat(b.data(), 1, 1, 12));
            for (int c = 0; c < 3; ++c)
                EXPECT_NEAR(a[c], b[c], 0.01)
                    << s[0] << " " << s[1] << " " << s[2] << " channel " << c;
        }
    }
    // Reference white on the disc (encoded 1.0 of 1.402) is neutral at half the linear range.
    std::array<float, 3> white = {static_cast<float>(1.0 / 1.402), static_cast<float>(1.0 / 1.402),
                                  static_cast<float>(1.0 / 1.402)};
    ASSERT_TRUE(generic->convertRGBFloat(white.data(), 1, 1, 12));
    for (float v : white) EXPECT_NEAR(v, 695.0 / 1388.0, 2e-3);
}

TEST(IccBuiltins, ConcurrentFirstUseMakesOneProfile) {
    std::vector<std::shared_ptr<const platform::IccProfile>> seen(8);
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < seen.size(); ++i)
        threads.emplace_back(
            [&, i] { seen[i] = platform::iccBuiltinProfile(IccBuiltin::photoCD2k); });
    for (auto& t : threads) t.join();
    for (const auto& p : seen) EXPECT_EQ(p, seen[0]);
}

}  // namespace
