#include <gtest/gtest.h>
#include <lcms2.h>

#include <cmath>
#include <string>
#include <vector>

#include "dng/color/dng_color_space.h"
#include "dng/color/dng_xy_coord.h"

namespace {

struct Named {
    const dng_color_space* space;
    const char* description;  // null: no profile
    const dng_1d_function* curve;
};

std::vector<Named> AllSpaces() {
    return {
        {&dng_space_sRGB::Get(), "sRGB IEC61966-2.1", &dng_function_GammaEncode_sRGB::Get()},
        {&dng_space_StudioRGB::Get(), "Studio RGB (1998)", &dng_function_GammaEncode_2_2::Get()},
        {&dng_space_ColorMatch::Get(), "ColorMatch RGB", &dng_function_GammaEncode_1_8::Get()},
        {&dng_space_ProPhoto::Get(), "ProPhoto RGB", &dng_function_GammaEncode_1_8::Get()},
        {&dng_space_GrayGamma18::Get(), "Gray Gamma 1.8", &dng_function_GammaEncode_1_8::Get()},
        {&dng_space_GrayGamma22::Get(), "Gray Gamma 2.2", &dng_function_GammaEncode_2_2::Get()},
        {&dng_space_fakeRGB::Get(), nullptr, &dng_1d_identity::Get()},
    };
}

TEST(ColorSpace, RGBWhiteMapsToThePCSWhite) {
    const dng_vector_3 white = PCStoXYZ();
    for (const Named& n : AllSpaces()) {
        const dng_matrix& to = n.space->MatrixToPCS();
        const dng_matrix& from = n.space->MatrixFromPCS();
        if (n.space->IsMonochrome()) {
            ASSERT_EQ(3u, to.Rows());
            ASSERT_EQ(1u, to.Cols());
            for (uint32 i = 0; i < 3; ++i) EXPECT_DOUBLE_EQ(white[i], to[i][0]);
            ASSERT_EQ(1u, from.Rows());
            EXPECT_EQ(0.0, from[0][0]);
            EXPECT_EQ(1.0, from[0][1]);
            EXPECT_EQ(0.0, from[0][2]);
            continue;
        }
        for (uint32 r = 0; r < 3; ++r) {
            const real64 sum = to[r][0] + to[r][1] + to[r][2];
            EXPECT_NEAR(white[r], sum, 1e-15) << r;
            const real64 back =
                from[r][0] * white[0] + from[r][1] * white[1] + from[r][2] * white[2];
            EXPECT_NEAR(1.0, back, 1e-12) << r;
        }
    }
}

TEST(ColorSpace, CurvesProfilesAndSingletons) {
    for (const Named& n : AllSpaces()) {
        EXPECT_EQ(n.curve, &n.space->GammaFunction());
        uint32 size = 123;
        const uint8* data = reinterpret_cast<const uint8*>(1);
        const bool has = n.space->ICCProfile(size, data);
        if (!n.description) {
            EXPECT_FALSE(has);
            EXPECT_EQ(0u, size);
            EXPECT_EQ(nullptr, data);
            continue;
        }
        ASSERT_TRUE(has);
        ASSERT_NE(nullptr, data);
        cmsHPROFILE profile = cmsOpenProfileFromMem(data, size);
        ASSERT_NE(nullptr, profile) << n.description;
        EXPECT_NEAR(2.1, cmsGetProfileVersion(profile), 1e-6);
        // One fixed date, not the clock: every run writes the same bytes, and
        // the sRGB profile a file carries is recognised as ours.
        struct tm made {};
        ASSERT_TRUE(cmsGetHeaderCreationDateTime(profile, &made));
        EXPECT_EQ(made.tm_year + 1900, 2000) << n.description;
        EXPECT_EQ(made.tm_mon, 0);
        EXPECT_EQ(made.tm_mday, 1);
        EXPECT_EQ(cmsSigDisplayClass, cmsGetDeviceClass(profile));
        EXPECT_EQ(cmsSigXYZData, cmsGetPCS(profile));
        EXPECT_EQ(n.space->IsMonochrome() ? cmsSigGrayData : cmsSigRgbData,
                  cmsGetColorSpace(profile));
        char text[256] = {};
        cmsGetProfileInfoASCII(profile, cmsInfoDescription, "en", "US", text, sizeof(text));
        EXPECT_STREQ(n.description, text);
        const cmsCIEXYZ* wtpt =
            static_cast<const cmsCIEXYZ*>(cmsReadTag(profile, cmsSigMediaWhitePointTag));
        ASSERT_NE(nullptr, wtpt);
        EXPECT_NEAR(0.9643, wtpt->X, 1e-3);
        if (!n.space->IsMonochrome()) {
            const cmsCIEXYZ* red =
                static_cast<const cmsCIEXYZ*>(cmsReadTag(profile, cmsSigRedColorantTag));
            ASSERT_NE(nullptr, red);
            EXPECT_NEAR(n.space->MatrixToPCS()[0][0], red->X, 1e-4);
        }
        // The profile describes the space: mid grey decodes through the
        // space's curve (gamma values are stored to 1/256) and lands on the
        // grey axis of the PCS.
        cmsHPROFILE xyzProfile = cmsCreateXYZProfile();
        const bool grey = n.space->IsMonochrome();
        cmsHTRANSFORM toXYZ =
            cmsCreateTransform(profile, grey ? TYPE_GRAY_DBL : TYPE_RGB_DBL, xyzProfile,
                               TYPE_XYZ_DBL, INTENT_RELATIVE_COLORIMETRIC, cmsFLAGS_NOCACHE);
        ASSERT_NE(nullptr, toXYZ);
        const double device[3] = {0.5, 0.5, 0.5};
        const double greyIn = 0.5;
        cmsCIEXYZ xyz{};
        cmsDoTransform(toXYZ, grey ? &greyIn : device, &xyz, 1);
        const real64 linear = n.curve->EvaluateInverse(0.5);
        EXPECT_NEAR(linear, xyz.Y, 2e-3) << n.description;
        EXPECT_NEAR(linear * 0.9642, xyz.X, 3e-3) << n.description;
        cmsDeleteTransform(toXYZ);
        cmsCloseProfile(xyzProfile);
        cmsCloseProfile(profile);

        // The same bytes every time.
        uint32 size2 = 0;
        const uint8* data2 = nullptr;
        n.space->ICCProfile(size2, data2);
        EXPECT_EQ(data, data2);
    }
    EXPECT_EQ(&dng_space_sRGB::Get(), &dng_space_sRGB::Get());
    EXPECT_EQ(&dng_function_GammaEncode_1_8::Get(), &dng_function_GammaEncode_1_8::Get());

    // Fake RGB has the Studio RGB (1998) primaries.
    for (uint32 r = 0; r < 3; ++r)
        for (uint32 c = 0; c < 3; ++c)
            EXPECT_EQ(dng_space_StudioRGB::Get().MatrixToPCS()[r][c],
                      dng_space_fakeRGB::Get().MatrixToPCS()[r][c]);
}

TEST(GammaCurves, BranchesMeetAtTheirJoins) {
    const dng_1d_function& srgb = dng_function_GammaEncode_sRGB::Get();
    EXPECT_NEAR(0.040449936, srgb.Evaluate(0.0031308), 1e-9);
    EXPECT_NEAR(0.040449936, 1.055 * std::pow(0.0031308, 1 / 2.4) - 0.055, 1e-7);
    EXPECT_DOUBLE_EQ(0.04 / 12.92, srgb.EvaluateInverse(0.04));
    EXPECT_NEAR(0.5, srgb.EvaluateInverse(srgb.Evaluate(0.5)), 1e-12);

    struct Join {
        const dng_1d_function* f;
        real64 x1, y1, gamma;
    };
    const Join joins[] = {
        {&dng_function_GammaEncode_1_8::Get(), 0.00082118790552, 0.019310851, 1.8},
        {&dng_function_GammaEncode_2_2::Get(), 0.0034800731, 0.0763027458, 2.2},
    };
    for (const Join& j : joins) {
        EXPECT_EQ(0.0, j.f->Evaluate(0.0));
        EXPECT_NEAR(j.y1, j.f->Evaluate(j.x1), 1e-9);
        EXPECT_NEAR(j.y1, std::pow(j.x1, 1.0 / j.gamma), 1e-9);
        const real64 h = 1e-9;
        EXPECT_NEAR(j.f->Evaluate(j.x1), j.f->Evaluate(j.x1 + h), 1e-7);
        // The slope at black is 32, not infinite.
        EXPECT_NEAR(32.0, j.f->Evaluate(1e-10) / 1e-10, 1e-3);
        // Slopes agree across the join.
        const real64 left = (j.f->Evaluate(j.x1) - j.f->Evaluate(j.x1 - h)) / h;
        const real64 right = (j.f->Evaluate(j.x1 + h) - j.f->Evaluate(j.x1)) / h;
        EXPECT_NEAR(left, right, 1e-2 * right);
        // Inverse: closed form above the join, iterative below it.
        EXPECT_DOUBLE_EQ(std::pow(0.5, j.gamma), j.f->EvaluateInverse(0.5));
        const real64 low = j.y1 * 0.6;
        EXPECT_NEAR(low, j.f->Evaluate(j.f->EvaluateInverse(low)), 1e-9);
        EXPECT_EQ(0.0, j.f->EvaluateInverse(0.0));
    }
}

}  // namespace
