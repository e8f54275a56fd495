// The colour and geometry pass: the ProPhoto (D65) primaries against the
// chart's own definition, every orientation code against a reference
// mapping, crops, clamping, and the in-place form.
#include <gtest/gtest.h>

#include <array>
#include <vector>

#include "raw/RawColor.h"
#include "raw/TestChart.h"

namespace {

// Stored pixel (x, y) of a w × h crop that shows at (ox, oy) for a TIFF
// orientation, from the tag's definition of where row 0 and column 0 go.
void Reference(uint32_t code, uint32_t w, uint32_t h, uint32_t ox, uint32_t oy, uint32_t& x,
               uint32_t& y) {
    switch (code) {
        case 2:
            x = w - 1 - ox, y = oy;
            break;
        case 3:
            x = w - 1 - ox, y = h - 1 - oy;
            break;
        case 4:
            x = ox, y = h - 1 - oy;
            break;
        case 5:
            x = oy, y = ox;
            break;
        case 6:
            x = oy, y = h - 1 - ox;
            break;
        case 7:
            x = w - 1 - oy, y = h - 1 - ox;
            break;
        case 8:
            x = w - 1 - oy, y = ox;
            break;
        default:
            x = ox, y = oy;
            break;
    }
}

TEST(RawColor, ProPhotoD65MatrixInvertsTheChartsDefinition) {
    const dng_matrix& fromXYZ = RawProPhotoD65FromXYZ();
    const auto& toXYZ = TestChart::proPhotoD65ToXYZ();
    for (int r = 0; r < 3; r++)
        for (int c = 0; c < 3; c++) {
            double v = 0;
            for (int k = 0; k < 3; k++) v += fromXYZ[r][k] * toXYZ[k * 3 + c];
            EXPECT_NEAR(v, r == c ? 1.0 : 0.0, 1e-4) << r << c;
        }
}

TEST(RawColor, EveryOrientationAndCropMapsPixelsAsTheTagSays) {
    const uint32_t W = 7, H = 5;
    std::vector<uint16_t> src(W * H * 3);
    for (uint32_t i = 0; i < W * H; i++)
        for (uint32_t c = 0; c < 3; c++) src[i * 3 + c] = uint16_t(i * 10 + c);
    const RawMatrix3 identity{{{1, 0, 0}, {0, 1, 0}, {0, 0, 1}}};
    const RawCrop crop{1, 2, 5, 3};
    for (uint32_t code = 1; code <= 8; code++) {
        SCOPED_TRACE(code);
        uint32_t ow = 0, oh = 0;
        RawOrientedSize(code, crop.width, crop.height, ow, oh);
        std::vector<uint16_t> dst(ow * oh * 3);
        RawConvertCropOrient(src.data(), W, crop, code, identity, dst.data(), 3);
        for (uint32_t oy = 0; oy < oh; oy++)
            for (uint32_t ox = 0; ox < ow; ox++) {
                uint32_t x = 0, y = 0;
                Reference(code, crop.width, crop.height, ox, oy, x, y);
                const size_t s = ((y + crop.top) * W + x + crop.left) * 3;
                for (uint32_t c = 0; c < 3; c++)
                    ASSERT_EQ(dst[(oy * ow + ox) * 3 + c], src[s + c]) << ox << "," << oy;
            }
    }
}

TEST(RawColor, MatrixResultsAreRoundedAndClamped) {
    const RawMatrix3 m{{{2, 0, 0}, {0.5f, 0.5f, 0}, {-1, 0, 1}}};
    std::vector<uint16_t> rgb{40000, 1001, 20000, 100, 200, 50};
    std::vector<uint16_t> out(6);
    RawConvertCropOrient(rgb.data(), 2, RawCrop{0, 0, 2, 1}, 1, m, out.data(), 1);
    EXPECT_EQ(out, (std::vector<uint16_t>{65535, 20501, 0, 200, 150, 0}));
    RawConvertInPlace(rgb.data(), 2, m, 2);
    EXPECT_EQ(rgb, out);
}

}  // namespace
