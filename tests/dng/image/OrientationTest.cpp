// Orientation codes, flips, composition and inversion, checked against what
// rotating an in-memory image actually does.
#include <gtest/gtest.h>

#include <cmath>

#include "dng/core/dng_matrix.h"
#include "dng/image/ImageTestSupport.h"
#include "dng/image/dng_orientation.h"

using imagetest::makeImage;
using imagetest::sample;

namespace {

dng_orientation fromInternal(uint32_t code) {
    dng_orientation o;
    o.SetInternal(code);
    return o;
}

std::unique_ptr<dng_simple_image> numbered(dng_host& host) {
    return makeImage(host, dng_rect(0, 0, 3, 4), 1, 3,
                     [](int32_t r, int32_t c, uint32_t) { return 10 * r + c; });
}

bool sameView(const dng_simple_image& a, const dng_simple_image& b) {
    if (a.Bounds() != b.Bounds()) return false;
    for (int32_t r = a.Bounds().t; r < a.Bounds().b; ++r)
        for (int32_t c = a.Bounds().l; c < a.Bounds().r; ++c)
            if (sample(a, r, c) != sample(b, r, c)) return false;
    return true;
}

}  // namespace

TEST(Orientation, TIFFCodesRoundTrip) {
    dng_orientation o;
    o.SetTIFF(0);
    EXPECT_EQ(o, dng_orientation::Normal());
    o.SetTIFF(10);
    EXPECT_EQ(o, dng_orientation::Normal());
    o.SetTIFF(9);
    EXPECT_EQ(o, dng_orientation::Unknown());
    EXPECT_EQ(o.GetTIFF(), 9u);
    for (uint32_t code = 0; code < 8; ++code) {
        dng_orientation x = fromInternal(code);
        dng_orientation y;
        y.SetTIFF(x.GetTIFF());
        EXPECT_EQ(y, x) << code;
    }
    EXPECT_EQ(dng_orientation::TIFFtoDNG(6), dng_orientation::Rotate90CW());
    EXPECT_EQ(dng_orientation::TIFFtoDNG(2), dng_orientation::Mirror());
}

TEST(Orientation, FlipsOfTheQuarterTurns) {
    const dng_orientation cw = dng_orientation::TIFFtoDNG(6);
    EXPECT_TRUE(cw.FlipD());
    EXPECT_TRUE(cw.FlipV());
    EXPECT_FALSE(cw.FlipH());
    const dng_orientation ccw = dng_orientation::TIFFtoDNG(8);
    EXPECT_TRUE(ccw.FlipD());
    EXPECT_TRUE(ccw.FlipH());
    EXPECT_FALSE(ccw.FlipV());
    EXPECT_EQ(cw + cw, dng_orientation::Rotate180());
    EXPECT_EQ(cw + (-cw), dng_orientation::Normal());
    EXPECT_EQ(dng_orientation::Mirror() + dng_orientation::Mirror(), dng_orientation::Normal());
    dng_matrix m;
    EXPECT_FALSE(dng_orientation::Normal().ForwardMatrix3(m, true));
    dng_matrix identity(3, 3);
    identity.SetIdentity(3);
    EXPECT_EQ(m, identity);
}

// Each old pixel centre, mapped by the forward matrix in unit coordinates,
// lands on the new pixel that shows it after Rotate.
TEST(Orientation, RotateAgreesWithTheForwardMatrices) {
    dng_host host;
    for (uint32_t code = 0; code < 8; ++code) {
        const dng_orientation o = fromInternal(code);
        auto image = numbered(host);
        const double oldH = 3, oldW = 4;
        image->Rotate(o);
        const double newH = image->Height(), newW = image->Width();
        for (bool hFirst : {true, false}) {
            dng_matrix m3, m4;
            EXPECT_EQ(o.ForwardMatrix3(m3, hFirst), code != 0);
            EXPECT_EQ(o.ForwardMatrix4(m4, hFirst), code != 0);
            for (int32_t r = 0; r < 3; ++r)
                for (int32_t c = 0; c < 4; ++c) {
                    const double u = (c + 0.5) / oldW, v = (r + 0.5) / oldH;
                    const double in[3] = {hFirst ? u : v, hFirst ? v : u, 1.0};
                    double out[3] = {0, 0, 0};
                    for (int i = 0; i < 3; ++i)
                        for (int j = 0; j < 3; ++j) out[i] += m3[i][j] * in[j];
                    const double nu = hFirst ? out[0] : out[1], nv = hFirst ? out[1] : out[0];
                    const int32_t nc = int32_t(std::lround(nu * newW - 0.5));
                    const int32_t nr = int32_t(std::lround(nv * newH - 0.5));
                    EXPECT_EQ(sample(*image, nr, nc), 10 * r + c) << "code " << code;
                    // The 4 x 4 form acts the same on the first two coordinates.
                    const double in4[4] = {in[0], in[1], 0.0, 1.0};
                    for (int i = 0; i < 2; ++i) {
                        double x = 0;
                        for (int j = 0; j < 4; ++j) x += m4[i][j] * in4[j];
                        EXPECT_NEAR(x, out[i], 1e-12);
                    }
                }
        }
    }
}

TEST(Orientation, CompositionAndInverseMatchSuccessiveRotations) {
    dng_host host;
    for (uint32_t a = 0; a < 8; ++a) {
        for (uint32_t b = 0; b < 8; ++b) {
            const dng_orientation oa = fromInternal(a), ob = fromInternal(b);
            auto twice = numbered(host);
            twice->Rotate(oa);
            twice->Rotate(ob);
            auto once = numbered(host);
            once->Rotate(oa + ob);
            EXPECT_TRUE(sameView(*twice, *once)) << a << " + " << b;
        }
        auto back = numbered(host);
        back->Rotate(fromInternal(a));
        back->Rotate(-fromInternal(a));
        EXPECT_TRUE(sameView(*back, *numbered(host))) << a;
    }
}
