// The proxy encoding against its formulas: the two curves, their inverse
// polynomials, the histogram's black and white points, the code offsets and
// the dithered 8-bit result decoded through the appended opcodes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "dng/core/dng_tag_types.h"
#include "dng/core/dng_tag_values.h"
#include "dng/image/ImageTestSupport.h"
#include "dng/image/dng_gamma_encode_proxy.h"
#include "dng/image/dng_image_host.h"
#include "dng/image/dng_misc_opcodes.h"
#include "dng/image/dng_negative.h"
#include "dng/image/dng_opcode_list.h"

namespace {

real64 Polynomial(const real64* c, real64 y) { return c[0] + y * (c[1] + y * (c[2] + y * c[3])); }

const dng_opcode_MapPolynomial& PlaneOpcode(const dng_opcode_list& list, uint32 plane) {
    return dynamic_cast<const dng_opcode_MapPolynomial&>(list.Entry(plane));
}

real64 OpcodeValue(const dng_opcode_MapPolynomial& op, real64 y) {
    real64 c[4] = {};
    for (uint32 i = 0; i <= std::min<uint32>(op.Degree(), 3); i++) c[i] = op.Coefficient(i);
    return Polynomial(c, y);
}

struct Encoded {
    dng_image_host host;
    std::unique_ptr<dng_negative> negative = dng_negative::Make(host);
    dng_opcode_list opcodes{2};
    real64 offsets[4] = {};
    std::unique_ptr<dng_image> image;
};

// Samples spread from lo to hi (inclusive) with a per-plane twist.
std::unique_ptr<Encoded> Encode(uint32 lo, uint32 hi, bool sceneReferred, uint16 stage3Black) {
    auto e = std::make_unique<Encoded>();
    e->negative->SetColorimetricReference(sceneReferred ? 0 : 1);
    e->negative->SetStage3BlackLevel(stage3Black);
    auto source = imagetest::makeImage(
        e->host, dng_rect(150, 200), 3, ttShort, [&](int32 r, int32 c, uint32 p) {
            if (r == 0 && c < 2) return double(c == 0 ? lo : hi);
            const uint32 i = (uint32(r) * 200 + uint32(c)) * 7919u + p * 104729u;
            return double(lo + i % (hi - lo + 1));
        });
    e->image = e->negative->EncodeRawProxy(e->host, *source, e->opcodes, e->offsets);
    const dng_simple_image& src = *source;
    const auto& dst = dynamic_cast<const dng_simple_image&>(*e->image);
    for (uint32 p = 0; p < 3; p++) {
        const auto& op = PlaneOpcode(e->opcodes, p);
        const real64 o = e->offsets[p];
        const real64 black = op.Coefficient(0) * 65535.0;
        const real64 white = OpcodeValue(op, 1.0) * 65535.0;
        auto decode = [&](real64 code) {
            return OpcodeValue(op, std::max(code - o, 0.0) / (255.0 - o)) * 65535.0;
        };
        for (int32 r = 0; r < 150; r += 3) {
            for (int32 c = 0; c < 200; c += 3) {
                const real64 x = imagetest::sample(src, r, c, p);
                const real64 code = imagetest::sample(dst, r, c, p);
                const real64 expected = std::clamp(x, std::min(black, white), white);
                const real64 step = std::max(decode(std::min(code + 1, 255.0)) - decode(code),
                                             decode(code) - decode(std::max(code - 1, 0.0)));
                EXPECT_LE(std::fabs(decode(code) - expected), step + 1.0)
                    << "plane " << p << " x " << x << " code " << code;
            }
        }
    }
    return e;
}

}  // namespace

TEST(ProxyEncoding, CurvesMeetTheirEndsAndMiddle) {
    const dng_gamma_encode_proxy output(0.0, 1.0, false, 0.0, 0.0);
    EXPECT_DOUBLE_EQ(output.Evaluate(0.0), 0.0);
    EXPECT_DOUBLE_EQ(output.Evaluate(1.0), 1.0);
    EXPECT_NEAR(output.Evaluate(0.5), (std::sqrt(481.0) - 1.0) / 30.0, 1e-12);
    EXPECT_DOUBLE_EQ(output.Evaluate(-0.2), 0.0);

    EXPECT_NEAR(dng_gamma_encode_proxy::SceneReferredCurve(0.0), 0.0, 1e-12);
    EXPECT_NEAR(dng_gamma_encode_proxy::SceneReferredCurve(1.0), 1.0, 1e-12);
    // Odd symmetry about the black level, lifted by the offset.
    const dng_gamma_encode_proxy scene(0.0, 0.8, true, 0.1, 0.2);
    EXPECT_NEAR(scene.Evaluate(0.1), 0.2, 1e-12);
    const real64 above = scene.Evaluate(0.1 + 0.002) - 0.2;
    const real64 below = 0.2 - scene.Evaluate(0.1 - 0.002);
    EXPECT_NEAR(above, below, 1e-12);
    EXPECT_GT(above, 0.0);
}

TEST(ProxyEncoding, PolynomialsInvertTheirEncodings) {
    struct Case {
        real64 black, white;
        bool scene;
        real64 blackLevel, offset;
    };
    const Case cases[] = {{0.01, 0.8, false, 0.0, 0.0},
                          {0.0, 1.0, false, 0.3, 0.0},
                          {0.02, 0.9, true, 0.0, 0.0},
                          {0.05, 0.6, true, 0.01, 0.0},  // black level below the black
                          {0.0, 0.7, true, 0.05, 13.0 / 255.0},
                          {0.001, 1.0, true, 0.2, 51.0 / 255.0}};
    for (const Case& k : cases) {
        SCOPED_TRACE(testing::Message()
                     << k.black << " " << k.white << " " << k.scene << " " << k.blackLevel);
        const dng_gamma_encode_proxy f(k.black, k.white, k.scene, k.blackLevel, k.offset);
        real64 c[4];
        const uint32 degree = f.InversePolynomial(c);
        EXPECT_EQ(degree, k.scene ? 3u : 2u);
        const real64 base = k.scene && k.blackLevel > k.black ? k.blackLevel : k.black;
        for (int i = 0; i <= 1000; i++) {
            const real64 x = base + (k.white - base) * i / 1000.0;
            const real64 code = f.Evaluate(x);
            const real64 y = (code - k.offset) / (1.0 - k.offset);
            EXPECT_NEAR(Polynomial(c, y), x, 1e-6);
        }
    }
}

TEST(ProxyEncoding, OutputReferredImageDecodesWithinOneCodeStep) {
    auto e = Encode(1000, 60000, false, 0);
    ASSERT_NE(e->image, nullptr);
    EXPECT_EQ(e->image->PixelType(), uint32(ttByte));
    EXPECT_EQ(e->image->Planes(), 3u);
    ASSERT_EQ(e->opcodes.Count(), 3u);
    for (uint32 p = 0; p < 3; p++) {
        const auto& op = PlaneOpcode(e->opcodes, p);
        EXPECT_EQ(op.Degree(), 2u);
        EXPECT_EQ(e->offsets[p], 0.0);
        // Every sample is seen more than the threshold (0.3) times at the ends.
        EXPECT_NEAR(op.Coefficient(0), 1000.0 / 65535.0, 1e-12);
        EXPECT_NEAR(OpcodeValue(op, 1.0), 60000.0 / 65535.0, 1e-12);
    }
}

TEST(ProxyEncoding, SceneReferredImageWithAndWithoutBlackLevel) {
    auto plain = Encode(500, 40000, true, 0);
    for (uint32 p = 0; p < 3; p++) {
        EXPECT_EQ(PlaneOpcode(plain->opcodes, p).Degree(), 3u);
        EXPECT_EQ(plain->offsets[p], 0.0);
    }
    // A stage-3 black level above the plane's black gives an offset.
    const uint16 level = 700;
    auto lifted = Encode(500, 40000, true, level);
    for (uint32 p = 0; p < 3; p++) {
        const real64 K = level / 65535.0, black = 500 / 65535.0;
        const real64 d = K - black;
        const real64 white = std::max(40000 / 65535.0, K + 4 * d);
        const real64 y = dng_gamma_encode_proxy::SceneReferredCurve(d / (white - K));
        EXPECT_EQ(lifted->offsets[p], std::min(std::ceil(y / (y + 1) * 255), 51.0));
        EXPECT_GT(lifted->offsets[p], 20.0);
        EXPECT_LT(lifted->offsets[p], 51.0);
        EXPECT_NEAR(PlaneOpcode(lifted->opcodes, p).Coefficient(0), K, 1e-12);
    }
    // A black level far above everything is capped at 51 codes, and the
    // white point moves up to leave room below it.
    auto capped = Encode(0, 30000, true, 40000);
    for (uint32 p = 0; p < 3; p++) {
        EXPECT_EQ(capped->offsets[p], 51.0);
        EXPECT_NEAR(OpcodeValue(PlaneOpcode(capped->opcodes, p), 1.0), 1.0, 1e-12);
    }
}

TEST(ProxyEncoding, DimPlaneGetsTheSmallestWhiteAndZeroBlack) {
    auto e = Encode(3, 200, true, 0);
    for (uint32 p = 0; p < 3; p++) {
        const auto& op = PlaneOpcode(e->opcodes, p);
        EXPECT_EQ(op.Coefficient(0), 0.0);
        EXPECT_NEAR(OpcodeValue(op, 1.0), 255.0 / 65535.0, 1e-12);
    }
}

TEST(ProxyEncoding, SameCodesForAnyThreadCount) {
    std::vector<std::vector<uint8>> results;
    for (uint32 threads : {1u, 3u, 8u}) {
        dng_image_host host;
        host.SetAreaTaskThreadCount(threads);
        auto negative = dng_negative::Make(host);
        auto source = imagetest::makeImage(host, dng_rect(500, 700), 3, ttShort,
                                           [](int32 r, int32 c, uint32 p) {
                                               return double((r * 131 + c * 17 + p * 4099) % 65536);
                                           });
        dng_opcode_list list(2);
        real64 offsets[4];
        auto image = negative->EncodeRawProxy(host, *source, list, offsets);
        const auto& buffer = dynamic_cast<const dng_simple_image&>(*image).Buffer();
        std::vector<uint8> bytes;
        for (int32 r = 0; r < 500; r++)
            for (int32 c = 0; c < 700; c++)
                for (uint32 p = 0; p < 3; p++) bytes.push_back(*buffer.ConstPixel_uint8(r, c, p));
        results.push_back(std::move(bytes));
    }
    EXPECT_EQ(results[0], results[1]);
    EXPECT_EQ(results[0], results[2]);
}
