#include <gtest/gtest.h>
#include <lcms2.h>

#include <array>
#include <cmath>
#include <cstring>
#include <thread>
#include <vector>

#include "platform/IccBuiltins.h"
#include "platform/IccTransform.h"
#include "support/TestSupport.h"

namespace {

using platform::IccBuiltin;
using platform::IccPixelLayout;
using platform::IccTransform;
using Matrix = std::array<std::array<double, 3>, 3>;
using ProfilePair = std::pair<std::shared_ptr<const platform::IccProfile>,
                              std::shared_ptr<const platform::IccProfile>>;

std::shared_ptr<const platform::IccProfile> TestdataProfile(const char* name) {
    return platform::IccProfile::fromFile(testsupport::testdataDir() / "icc" / name);
}

// RGB to XYZ from chromaticities and a white, written out independently of the profiles.
Matrix rgbToXYZ(const double xy[3][2], double wx, double wy) {
    Matrix m{};
    for (int c = 0; c < 3; ++c) {
        m[0][c] = xy[c][0] / xy[c][1];
        m[1][c] = 1.0;
        m[2][c] = (1.0 - xy[c][0] - xy[c][1]) / xy[c][1];
    }
    const double W[3] = {wx / wy, 1.0, (1.0 - wx - wy) / wy};
    const double det = m[0][0] * (m[1][1] * m[2][2] - m[1][2] * m[2][1]) -
                       m[0][1] * (m[1][0] * m[2][2] - m[1][2] * m[2][0]) +
                       m[0][2] * (m[1][0] * m[2][1] - m[1][1] * m[2][0]);
    // Cramer's rule for the channel scales.
    double s[3];
    for (int c = 0; c < 3; ++c) {
        Matrix t = m;
        for (int r = 0; r < 3; ++r) t[r][c] = W[r];
        s[c] = (t[0][0] * (t[1][1] * t[2][2] - t[1][2] * t[2][1]) -
                t[0][1] * (t[1][0] * t[2][2] - t[1][2] * t[2][0]) +
                t[0][2] * (t[1][0] * t[2][1] - t[1][1] * t[2][0])) /
               det;
    }
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c) m[r][c] *= s[c];
    return m;
}

Matrix invert(const Matrix& m) {
    const double det = m[0][0] * (m[1][1] * m[2][2] - m[1][2] * m[2][1]) -
                       m[0][1] * (m[1][0] * m[2][2] - m[1][2] * m[2][0]) +
                       m[0][2] * (m[1][0] * m[2][1] - m[1][1] * m[2][0]);
    Matrix r{};
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) {
            const int a = (j + 1) % 3, b = (j + 2) % 3, c = (i + 1) % 3, d = (i + 2) % 3;
            r[i][j] = (m[a][c] * m[b][d] - m[a][d] * m[b][c]) / det;
        }
    return r;
}

Matrix multiply(const Matrix& a, const Matrix& b) {
    Matrix r{};
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j)
            for (int k = 0; k < 3; ++k) r[i][j] += a[i][k] * b[k][j];
    return r;
}

// Linear ProPhoto with a D65 white to linear Rec. 709: both whites are D65, so the adaptation
// to the connection space cancels and the whole conversion is one matrix.
Matrix proPhotoD65To709() {
    const double pp[3][2] = {{0.7347, 0.2653}, {0.1596, 0.8404}, {0.0366, 0.0001}};
    // Chromaticities of the table's XYZ colorants.
    const double r709[3][2] = {
        {0.4124 / (0.4124 + 0.2127 + 0.0193), 0.2127 / (0.4124 + 0.2127 + 0.0193)},
        {0.3576 / (0.3576 + 0.7152 + 0.1192), 0.7152 / (0.3576 + 0.7152 + 0.1192)},
        {0.1805 / (0.1805 + 0.0722 + 0.9505), 0.0722 / (0.1805 + 0.0722 + 0.9505)}};
    const double wx = 0.9504 / (0.9504 + 1.0 + 1.0888), wy = 1.0 / (0.9504 + 1.0 + 1.0888);
    const double w709x =
        (0.4124 + 0.3576 + 0.1805) / (0.4124 + 0.3576 + 0.1805 + 1.0001 + 0.0193 + 0.1192 + 0.9505);
    const double w709y = 1.0001 / (0.4124 + 0.3576 + 0.1805 + 1.0001 + 0.0193 + 0.1192 + 0.9505);
    return multiply(invert(rgbToXYZ(r709, w709x, w709y)), rgbToXYZ(pp, wx, wy));
}

std::shared_ptr<const IccTransform> proPhotoTo709() {
    return IccTransform::create(platform::iccBuiltinProfile(IccBuiltin::proPhotoGamma1D65),
                                platform::iccBuiltinProfile(IccBuiltin::rec709Gamma1));
}

// In-gamut linear ProPhoto colours (their Rec. 709 values lie inside 0..1).
std::vector<std::array<double, 3>> testColours() {
    const Matrix m = proPhotoD65To709();
    const Matrix back = invert(m);
    std::vector<std::array<double, 3>> out;
    for (double r = 0.05; r < 1.0; r += 0.15)
        for (double g = 0.05; g < 1.0; g += 0.2)
            for (double b = 0.05; b < 1.0; b += 0.25) {
                std::array<double, 3> p{};
                for (int i = 0; i < 3; ++i) p[i] = back[i][0] * r + back[i][1] * g + back[i][2] * b;
                out.push_back(p);
            }
    return out;
}

TEST(IccTransform, LinearProPhotoD65ToRec709MatchesTheMatrixInEveryLayout) {
    const auto t = proPhotoTo709();
    ASSERT_TRUE(t);
    const Matrix m = proPhotoD65To709();
    const auto colours = testColours();
    const std::size_t width = colours.size();
    const std::size_t height = 3;
    for (auto layout :
         {IccPixelLayout::rgba16, IccPixelLayout::rgbaFloat, IccPixelLayout::rgbFloat}) {
        SCOPED_TRACE(static_cast<int>(layout));
        const bool is16 = layout == IccPixelLayout::rgba16;
        const int channels = layout == IccPixelLayout::rgbFloat ? 3 : 4;
        const std::size_t pixelBytes = platform::iccPixelBytes(layout);
        const std::size_t rowBytes = width * pixelBytes + 24;  // padded rows
        std::vector<std::uint8_t> buffer(rowBytes * height, 0xA5);
        auto at = [&](std::size_t row, std::size_t col, int c) -> std::uint8_t* {
            return buffer.data() + row * rowBytes + col * pixelBytes +
                   static_cast<std::size_t>(c) * (is16 ? 2 : 4);
        };
        for (std::size_t y = 0; y < height; ++y)
            for (std::size_t x = 0; x < width; ++x)
                for (int c = 0; c < channels; ++c) {
                    const double v = c < 3 ? colours[x][c] : 0.25 + 0.01 * static_cast<double>(x);
                    if (is16) {
                        const auto q = static_cast<std::uint16_t>(std::lround(v * 65535.0));
                        std::memcpy(at(y, x, c), &q, 2);
                    } else {
                        const auto f = static_cast<float>(v);
                        std::memcpy(at(y, x, c), &f, 4);
                    }
                }
        const auto before = buffer;
        std::string reason;
        ASSERT_TRUE(t->convert(buffer.data(), width, height, rowBytes, layout, &reason)) << reason;
        auto read = [&](const std::vector<std::uint8_t>& b, std::size_t y, std::size_t x, int c) {
            const std::uint8_t* p = b.data() + (at(y, x, c) - buffer.data());
            if (is16) {
                std::uint16_t q;
                std::memcpy(&q, p, 2);
                return q / 65535.0;
            }
            float f;
            std::memcpy(&f, p, 4);
            return static_cast<double>(f);
        };
        for (std::size_t y = 0; y < height; ++y) {
            for (std::size_t x = 0; x < width; ++x) {
                for (int c = 0; c < 3; ++c) {
                    const double in0 = read(before, y, x, 0), in1 = read(before, y, x, 1),
                                 in2 = read(before, y, x, 2);
                    const double expected = m[c][0] * in0 + m[c][1] * in1 + m[c][2] * in2;
                    EXPECT_NEAR(read(buffer, y, x, c), expected, 1e-4) << x << "," << c;
                }
                if (channels == 4) {
                    EXPECT_EQ(read(buffer, y, x, 3),
                              read(before, y, x, 3));  // alpha passes through
                }
            }
            // Row padding is never touched.
            EXPECT_EQ(0, std::memcmp(buffer.data() + y * rowBytes + width * pixelBytes,
                                     before.data() + y * rowBytes + width * pixelBytes, 24));
        }
    }
}

TEST(IccTransform, SeparateBuffersAndSameProfileRoundTrip) {
    const auto there = proPhotoTo709();
    const auto back =
        IccTransform::create(platform::iccBuiltinProfile(IccBuiltin::rec709Gamma1),
                             platform::iccBuiltinProfile(IccBuiltin::proPhotoGamma1D65));
    ASSERT_TRUE(there && back);
    std::vector<float> src = {0.2f, 0.3f, 0.4f, 0.6f, 0.5f, 0.1f};
    std::vector<float> mid(src.size()), out(src.size());
    ASSERT_TRUE(there->convert(src.data(), 24, mid.data(), 24, 2, 1, IccPixelLayout::rgbFloat));
    ASSERT_TRUE(back->convert(mid.data(), 12, out.data(), 12, 1, 2, IccPixelLayout::rgbFloat));
    for (std::size_t i = 0; i < src.size(); ++i) EXPECT_NEAR(out[i], src[i], 1e-5);
    // sRGB from the real v2 and v4 files agree with our own sRGB on mid grey and a red.
    const auto ours = platform::iccBuiltinProfile(IccBuiltin::sRGB);
    for (const char* file : {"sRGB_v2.icc", "sRGB_v4_a.icc", "sRGB_v4_b.icc"}) {
        const auto theirs =
            platform::IccProfile::fromFile(testsupport::testdataDir() / "icc" / file);
        ASSERT_TRUE(theirs) << file;
        const auto t = IccTransform::create(theirs, ours);
        std::vector<float> px = {0.5f, 0.5f, 0.5f, 0.8f, 0.2f, 0.1f};
        const auto orig = px;
        ASSERT_TRUE(t->convertRGBFloat(px.data(), 2, 1, 24));
        for (std::size_t i = 0; i < px.size(); ++i) EXPECT_NEAR(px[i], orig[i], 2e-3) << file;
    }
}

TEST(IccTransform, MatrixShortcutAgreesWithLcms2) {
    // The matrix applied directly must give what lcms2 gives on the same pixels.
    const auto src = platform::iccBuiltinProfile(IccBuiltin::proPhotoGamma1D65);
    const auto dst = platform::iccBuiltinProfile(IccBuiltin::ccir709Gamma1D50);
    const auto t = IccTransform::create(src, dst);
    cmsHPROFILE a = cmsOpenProfileFromMem(src->bytes().data(),
                                          static_cast<cmsUInt32Number>(src->bytes().size()));
    cmsHPROFILE b = cmsOpenProfileFromMem(dst->bytes().data(),
                                          static_cast<cmsUInt32Number>(dst->bytes().size()));
    cmsHTRANSFORM ref16 = cmsCreateTransform(a, TYPE_RGBA_16, b, TYPE_RGBA_16, INTENT_PERCEPTUAL,
                                             cmsFLAGS_COPY_ALPHA);
    cmsHTRANSFORM refF = cmsCreateTransform(a, TYPE_RGB_FLT, b, TYPE_RGB_FLT, INTENT_PERCEPTUAL, 0);
    ASSERT_TRUE(t && ref16 && refF);
    EXPECT_EQ(t->path(IccPixelLayout::rgba16), IccTransform::Path::matrix);
    EXPECT_EQ(t->path(IccPixelLayout::rgbFloat), IccTransform::Path::matrix);
    const std::size_t n = 4096;
    std::vector<std::uint16_t> mine16(n * 4);
    std::vector<float> mineF(n * 3);
    for (std::size_t i = 0; i < mine16.size(); ++i)
        mine16[i] = static_cast<std::uint16_t>((i * 2654435761u) >> 16);
    for (std::size_t i = 0; i < mineF.size(); ++i)
        mineF[i] = static_cast<float>((i * 40503u) % 1000) / 999.0f;
    auto theirs16 = mine16;
    auto theirsF = mineF;
    ASSERT_TRUE(t->convertRGBA16(mine16.data(), n, 1, n * 8));
    ASSERT_TRUE(t->convertRGBFloat(mineF.data(), n, 1, n * 12));
    cmsDoTransform(ref16, theirs16.data(), theirs16.data(), n);
    cmsDoTransform(refF, theirsF.data(), theirsF.data(), n);
    for (std::size_t i = 0; i < mine16.size(); ++i) ASSERT_NEAR(mine16[i], theirs16[i], 2) << i;
    for (std::size_t i = 0; i < mineF.size(); ++i) {
        if (theirsF[i] > 0.0f && theirsF[i] < 1.0f) {
            ASSERT_NEAR(mineF[i], theirsF[i], 1e-5) << i;
        }
    }
    cmsDeleteTransform(ref16);
    cmsDeleteTransform(refF);
    cmsCloseProfile(a);
    cmsCloseProfile(b);
}

TEST(IccTransform, LabToALinearProfileIsNotTakenForAMatrix) {
    // Greys of lightness 50 and 96.539 in a linear D50 ProPhoto: Y = ((L + 16) / 116)^3.
    const auto t = IccTransform::create(platform::iccBuiltinProfile(IccBuiltin::genericLab),
                                        platform::iccBuiltinProfile(IccBuiltin::proPhotoGamma1));
    ASSERT_TRUE(t);
    EXPECT_EQ(t->path(IccPixelLayout::rgbFloat), IccTransform::Path::lcms2);
    float px[6] = {50.0f, 0, 0, 96.539f, 0, 0};
    ASSERT_TRUE(t->convertRGBFloat(px, 2, 1, sizeof px));
    for (int c = 0; c < 3; ++c) {
        EXPECT_NEAR(px[c], std::pow(66.0 / 116, 3), 1e-4);
        EXPECT_NEAR(px[3 + c], std::pow(112.539 / 116, 3), 1e-4);
    }
}

TEST(IccTransform, Curved16BitConversionsAgreeWithLcms2Float) {
    // 16-bit conversions into and out of curved profiles, against lcms2's float result.
    const auto linear = platform::iccBuiltinProfile(IccBuiltin::proPhotoGamma1D65);
    const auto real = TestdataProfile("sRGB_v2.icc");
    const auto lstar = TestdataProfile("LStar-RGB_v2.icc");
    ASSERT_TRUE(real && lstar);
    const ProfilePair pairs[] = {
        {linear, platform::iccBuiltinProfile(IccBuiltin::sRGB)},
        {linear, platform::iccBuiltinProfile(IccBuiltin::itu709)},
        {linear, platform::iccBuiltinProfile(IccBuiltin::proPhotoPerceptual)},
        {real, platform::iccBuiltinProfile(IccBuiltin::proPhotoPerceptual)},
        {real, linear},
        {lstar, platform::iccBuiltinProfile(IccBuiltin::palSecamGamma22)}};
    for (const auto& [src, dst] : pairs) {
        SCOPED_TRACE(src->description() + " to " + dst->description());
        const auto t = IccTransform::create(src, dst);
        ASSERT_TRUE(t);
        if (src == linear) {
            EXPECT_EQ(t->path(IccPixelLayout::rgba16), IccTransform::Path::tables);
        }
        const std::size_t n = 20000;
        std::vector<std::uint16_t> mine(n * 4);
        for (std::size_t i = 0; i < mine.size(); ++i) {
            // Many dark values: the shadows are where curves bend most.
            const auto r = static_cast<std::uint32_t>((i * 2654435761u) >> 8) % 65536;
            mine[i] = static_cast<std::uint16_t>(i % 3 == 0 ? r / 64 : r);
        }
        std::vector<float> exact(n * 3);
        for (std::size_t p = 0; p < n; ++p)
            for (std::size_t c = 0; c < 3; ++c) exact[p * 3 + c] = mine[p * 4 + c] / 65535.f;
        const auto alpha = mine;
        ASSERT_TRUE(t->convertRGBA16(mine.data(), n, 1, n * 8));
        // A row goes through four pixels at a time; a single pixel, padded, must give the
        // same codes.
        for (std::size_t p = 0; p < 1000; ++p) {
            std::uint16_t one[4];
            std::memcpy(one, &alpha[p * 4], sizeof one);
            ASSERT_TRUE(t->convertRGBA16(one, 1, 1, 8));
            ASSERT_EQ(0, std::memcmp(one, &mine[p * 4], sizeof one)) << "pixel " << p;
        }
        cmsHPROFILE a = cmsOpenProfileFromMem(src->bytes().data(),
                                              static_cast<cmsUInt32Number>(src->bytes().size()));
        // lcms2 reads a table curve on the output side only at 16-bit steps, so our sRGB (a
        // 1,024-point table) is checked against its formula applied to the linear result.
        const bool toSRGB = dst == platform::iccBuiltinProfile(IccBuiltin::sRGB);
        const auto& out = toSRGB ? platform::iccBuiltinProfile(IccBuiltin::rec709Gamma1) : dst;
        cmsHPROFILE b = cmsOpenProfileFromMem(out->bytes().data(),
                                              static_cast<cmsUInt32Number>(out->bytes().size()));
        cmsHTRANSFORM ref =
            cmsCreateTransform(a, TYPE_RGB_FLT, b, TYPE_RGB_FLT, INTENT_PERCEPTUAL, 0);
        cmsDoTransform(ref, exact.data(), exact.data(), static_cast<cmsUInt32Number>(n));
        if (toSRGB) {
            for (float& v : exact) {
                const double l = std::clamp(static_cast<double>(v), 0.0, 1.0);
                v = static_cast<float>(l <= 0.0031308 ? 12.92 * l
                                                      : 1.055 * std::pow(l, 1 / 2.4) - 0.055);
            }
        }
        cmsDeleteTransform(ref);
        cmsCloseProfile(a);
        cmsCloseProfile(b);
        double worst = 0;
        for (std::size_t p = 0; p < n; ++p) {
            for (std::size_t c = 0; c < 3; ++c)
                worst = std::max(
                    worst,
                    std::fabs(mine[p * 4 + c] - std::clamp(exact[p * 3 + c], 0.f, 1.f) * 65535.0));
            ASSERT_EQ(mine[p * 4 + 3], alpha[p * 4 + 3]);
        }
        // The sRGB table holds 16-bit linear values: one step of those, through the inverse
        // curve's steepest part (12.92), is 6.5 output codes.
        EXPECT_LE(worst, toSRGB ? 7.0 : 2.0);
    }
}

TEST(IccTransform, AProfileWithOneStraightCurveAmongCurvedOnesConverts) {
    // Red linear, green and blue gamma 2.2: the tables must cover every channel.
    cmsToneCurve* straight = cmsBuildGamma(nullptr, 1.0);
    cmsToneCurve* bent = cmsBuildGamma(nullptr, 2.2);
    cmsToneCurve* curves[3] = {straight, bent, bent};
    const cmsCIExyY white{0.3127, 0.3290, 1.0};
    const cmsCIExyYTRIPLE primaries{{0.64, 0.33, 1.0}, {0.30, 0.60, 1.0}, {0.15, 0.06, 1.0}};
    cmsHPROFILE made = cmsCreateRGBProfile(&white, &primaries, curves);
    cmsUInt32Number size = 0;
    cmsSaveProfileToMem(made, nullptr, &size);
    std::vector<std::uint8_t> bytes(size);
    cmsSaveProfileToMem(made, bytes.data(), &size);
    cmsCloseProfile(made);
    cmsFreeToneCurve(straight);
    cmsFreeToneCurve(bent);
    const auto mixed = platform::IccProfile::fromBytes(bytes.data(), bytes.size());
    ASSERT_TRUE(mixed);
    const auto linear = platform::iccBuiltinProfile(IccBuiltin::proPhotoGamma1D65);
    const auto t = IccTransform::create(mixed, linear);
    ASSERT_TRUE(t);
    ASSERT_EQ(t->path(IccPixelLayout::rgba16), IccTransform::Path::tables);
    std::vector<std::uint16_t> pixels(16 * 4);
    for (std::size_t i = 0; i < pixels.size(); ++i)
        pixels[i] = static_cast<std::uint16_t>((i * 40503u) % 65536);
    std::vector<std::uint16_t> one = pixels;
    ASSERT_TRUE(t->convertRGBA16(pixels.data(), 16, 1, 16 * 8));
    // Each pixel alone takes the per-pixel path: the same codes.
    for (std::size_t p = 0; p < 16; ++p) {
        ASSERT_TRUE(t->convertRGBA16(&one[p * 4], 1, 1, 8));
        EXPECT_EQ(0, std::memcmp(&one[p * 4], &pixels[p * 4], 8)) << "pixel " << p;
    }
}

TEST(IccTransform, VectorisedTablesGiveThePerPixelCodesOnEveryInput) {
    // The lanes must reproduce the plain per-pixel arithmetic bit for bit: every code of every
    // channel, the ends and 65325 (the engine's white), over-range colours, odd widths, padded
    // rows, separate buffers and in place.
    const auto linear = platform::iccBuiltinProfile(IccBuiltin::proPhotoGamma1);
    const auto real = TestdataProfile("sRGB_v2.icc");
    const auto lstar = TestdataProfile("LStar-RGB_v2.icc");
    ASSERT_TRUE(real && lstar);
    const ProfilePair pairs[] = {
        {linear, platform::iccBuiltinProfile(IccBuiltin::sRGB)},
        {platform::iccBuiltinProfile(IccBuiltin::proPhotoGamma1D65),
         platform::iccBuiltinProfile(IccBuiltin::itu709)},
        {real, platform::iccBuiltinProfile(IccBuiltin::proPhotoPerceptual)},
        {lstar, platform::iccBuiltinProfile(IccBuiltin::palSecamGamma22)}};
    // Every code on every channel, grey and against the ends; then random colours.
    std::vector<std::uint16_t> pixels;
    for (std::uint32_t v = 0; v < 65536; ++v) {
        const auto c = static_cast<std::uint16_t>(v), r = static_cast<std::uint16_t>(65535 - v);
        pixels.insert(pixels.end(), {c, c, c, r, c, 0, 65535, 1, r, 65535, c, 7});
    }
    for (std::uint16_t v : {0, 1, 65324, 65325, 65326, 65534, 65535})
        pixels.insert(pixels.end(), {v, 0, 0, 0, 0, v, 0, 0, 0, 0, v, 0, 65535, 65535, v, v});
    std::uint32_t seed = 12345;
    for (int i = 0; i < 4 * 20011; ++i) {
        seed = seed * 1664525u + 1013904223u;
        pixels.push_back(static_cast<std::uint16_t>(seed >> (i % 3 == 0 ? 20 : 16)));
    }
    const std::size_t count = pixels.size() / 4;
    for (const auto& [src, dst] : pairs) {
        SCOPED_TRACE(src->description() + " to " + dst->description());
        const auto t = IccTransform::create(src, dst);
        ASSERT_TRUE(t);
        ASSERT_EQ(t->path(IccPixelLayout::rgba16), IccTransform::Path::tables);
        std::vector<std::uint16_t> expected(pixels.size());
        ASSERT_TRUE(t->convertRGBA16Reference(pixels.data(), count * 8, expected.data(), count * 8,
                                              count, 1));
        auto fast = pixels;
        ASSERT_TRUE(t->convertRGBA16(fast.data(), count, 1, count * 8));
        for (std::size_t i = 0; i < fast.size(); ++i)
            ASSERT_EQ(fast[i], expected[i]) << "pixel " << i / 4 << " channel " << i % 4;
        // Rows of 1 to 9 pixels and either side of the 8- and 16-pixel steps, 5 padding
        // samples apart, into another buffer; the padding stays as it was.
        for (std::size_t width : {1, 2, 3, 4, 5, 6, 7, 8, 9, 15, 16, 17, 23, 31, 33}) {
            const std::size_t stride = width * 4 + 5, height = 7;
            std::vector<std::uint16_t> in(stride * height), out(stride * height, 0xBEEF);
            for (std::size_t y = 0; y < height; ++y)
                std::memcpy(&in[y * stride], &pixels[(y * 977 + width * 31) * 4], width * 8);
            ASSERT_TRUE(t->convert(in.data(), stride * 2, out.data(), stride * 2, width, height,
                                   IccPixelLayout::rgba16));
            for (std::size_t y = 0; y < height; ++y) {
                ASSERT_EQ(0, std::memcmp(&out[y * stride], &expected[(y * 977 + width * 31) * 4],
                                         width * 8))
                    << width << " x " << y;
                for (std::size_t k = width * 4; k < stride; ++k)
                    ASSERT_EQ(out[y * stride + k], 0xBEEF);
            }
        }
    }
}

TEST(IccTransform, SharedTransformsAreMadeOncePerPairOfProfiles) {
    const auto a = platform::iccBuiltinProfile(IccBuiltin::proPhotoGamma1D65);
    const auto bytes = platform::iccBuiltinBytes(IccBuiltin::sRGB);
    const auto b1 = platform::IccProfile::fromBytes(bytes.data(), bytes.size());
    const auto b2 = platform::IccProfile::fromBytes(bytes.data(), bytes.size());
    const auto t1 = IccTransform::shared(a, b1);
    EXPECT_EQ(t1, IccTransform::shared(a, b2));  // same data, other object
    EXPECT_NE(t1, IccTransform::shared(b1, a));
    EXPECT_NE(t1, IccTransform::create(a, b1));
    EXPECT_FALSE(IccTransform::shared(nullptr, a));
}

TEST(IccTransform, CurvedProfilesKeepTheirToneCurves) {
    // Gamma 1.8 to gamma 1.0 on the same primaries and white is x^1.8 per channel, so no
    // matrix shortcut may stand in for it.
    const auto t = IccTransform::create(platform::iccBuiltinProfile(IccBuiltin::proPhotoPerceptual),
                                        platform::iccBuiltinProfile(IccBuiltin::proPhotoGamma1));
    ASSERT_TRUE(t);
    std::vector<float> px = {0.1f, 0.5f, 0.9f, 1.0f, 0.3f, 0.7f, 0.2f, 0.5f};
    const auto orig = px;
    ASSERT_TRUE(t->convertRGBAFloat(px.data(), 2, 1, 32));
    for (std::size_t i = 0; i < px.size(); ++i) {
        // A version 2 curve stores the gamma in 8.8 fixed point.
        const double expected = i % 4 == 3 ? orig[i] : std::pow(orig[i], 461.0 / 256.0);
        EXPECT_NEAR(px[i], expected, 1e-3) << i;
    }
}

TEST(IccTransform, RefusesWhatCannotBeConvertedInPlaceAndLeavesPixels) {
    const auto gray =
        platform::IccProfile::fromFile(testsupport::testdataDir() / "icc" / "Gray_v2.icc");
    ASSERT_TRUE(gray);
    const auto t = IccTransform::create(gray, platform::iccBuiltinProfile(IccBuiltin::sRGB));
    ASSERT_TRUE(t);
    std::vector<std::uint16_t> px = {1000, 2000, 3000, 4000};
    std::string reason;
    EXPECT_FALSE(t->convertRGBA16(px.data(), 1, 1, 8, &reason));
    EXPECT_NE(reason.find("GRAY"), std::string::npos);
    EXPECT_EQ(t->path(IccPixelLayout::rgba16), IccTransform::Path::unavailable);
    EXPECT_EQ(px, (std::vector<std::uint16_t>{1000, 2000, 3000, 4000}));

    EXPECT_FALSE(IccTransform::create(nullptr, gray));
    const auto ok = proPhotoTo709();
    reason.clear();
    EXPECT_FALSE(ok->convertRGBA16(px.data(), 1, 1, 7, &reason));  // row shorter than a pixel
    EXPECT_FALSE(reason.empty());
    EXPECT_FALSE(ok->convertRGBA16(nullptr, 1, 1, 8));
    EXPECT_TRUE(ok->convertRGBA16(px.data(), 0, 5, 0));  // nothing to do
    EXPECT_FALSE(ok->convertRGBA16(px.data(), SIZE_MAX / 4, 1, SIZE_MAX));
}

TEST(IccTransform, ThreadsSharingOneTransformGetTheSingleThreadResult) {
    const auto t = proPhotoTo709();
    const std::size_t width = 640, height = 300;
    std::vector<float> image(width * height * 4);
    for (std::size_t i = 0; i < image.size(); ++i)
        image[i] = static_cast<float>((i * 7919) % 1000) / 1000.0f;
    auto reference = image;
    ASSERT_TRUE(t->convertRGBAFloat(reference.data(), width, height, width * 16));

    auto banded = image;
    ASSERT_TRUE(t->convertConcurrently(banded.data(), width, height, width * 16,
                                       IccPixelLayout::rgbaFloat));
    EXPECT_EQ(banded, reference);

    // Independent callers on disjoint rows at the same time.
    auto shared = image;
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < 6; ++i)
        threads.emplace_back([&, i] {
            const std::size_t rows = height / 6;
            t->convertRGBAFloat(shared.data() + i * rows * width * 4, width, rows, width * 16);
        });
    for (auto& th : threads) th.join();
    EXPECT_EQ(shared, reference);
}

}  // namespace
