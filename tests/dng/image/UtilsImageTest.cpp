#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "dng/core/dng_exception.h"
#include "dng/core/dng_host.h"
#include "dng/core/dng_memory_allocator.h"
#include "dng/core/dng_utils.h"
#include "dng/image/dng_pixel_buffer.h"
#include "dng/image/dng_simple_image.h"
#include "dng/image/dng_utils_image.h"

namespace {

constexpr uint32 kShort = 3;
constexpr uint32 kFloat = 11;

// A simple image whose storage grid is 64 × 48 tiles anchored at (0, 0), so
// that areas cross tile boundaries.
class GridImage : public dng_simple_image {
public:
    using dng_simple_image::dng_simple_image;
    dng_rect RepeatingTile() const override { return dng_rect(0, 0, 64, 48); }
};

uint16 Sample(int32 row, int32 col, uint32 plane) {
    return (uint16)((row * 131 + col * 17 + plane * 7919) % 6000);
}

TEST(UtilsHistogram, CountsOnePlaneOfAnArea) {
    const dng_rect bounds(-20, -30, 150, 170);
    GridImage image(bounds, 2, kShort, gDefaultDNGMemoryAllocator);
    const dng_pixel_buffer& buffer = image.Buffer();
    for (int32 r = bounds.t; r < bounds.b; ++r)
        for (int32 c = bounds.l; c < bounds.r; ++c)
            for (uint32 p = 0; p < 2; ++p)
                *const_cast<dng_pixel_buffer&>(buffer).DirtyPixel_uint16(r, c, p) = Sample(r, c, p);

    dng_host host;
    const dng_rect area(-5, -25, 140, 100);
    for (uint32 maximum : {4095u, 65535u}) {
        std::vector<uint32> expected(maximum + 1, 0);
        for (int32 r = area.t; r < area.b; ++r)
            for (int32 c = area.l; c < area.r; ++c) {
                const uint16 x = Sample(r, c, 1);
                if (x <= maximum) ++expected[x];
            }
        std::vector<uint32> histogram(maximum + 1, 99);
        BuildAreaHistogram(host, image, area, histogram.data(), maximum, 1);
        EXPECT_EQ(expected, histogram) << maximum;
    }

    std::vector<uint32> histogram(16);
    EXPECT_THROW(BuildAreaHistogram(host, image, area, histogram.data(), 15, 2), dng_exception);
    GridImage floats(bounds, 1, kFloat, gDefaultDNGMemoryAllocator);
    EXPECT_THROW(BuildAreaHistogram(host, floats, area, histogram.data(), 15, 0), dng_exception);
}

TEST(UtilsFloatDepth, LimitsEveryPlaneOfAnImage) {
    const dng_rect bounds(0, 0, 70, 90);
    GridImage src(bounds, 3, kFloat, gDefaultDNGMemoryAllocator);
    dng_pixel_buffer& s = const_cast<dng_pixel_buffer&>(src.Buffer());
    const real32 values[3] = {1.0f + std::ldexp(1.0f, -11), 70000.0f, 1.0f + std::ldexp(1.0f, -20)};
    for (int32 r = 0; r < 70; ++r)
        for (int32 c = 0; c < 90; ++c)
            for (uint32 p = 0; p < 3; ++p) *s.DirtyPixel_real32(r, c, p) = values[p];

    dng_host host;
    GridImage half(bounds, 3, kFloat, gDefaultDNGMemoryAllocator);
    LimitFloatImageBitDepth(host, src, half, 16);
    GridImage fp24(bounds, 3, kFloat, gDefaultDNGMemoryAllocator);
    LimitFloatImageBitDepth(host, src, fp24, 24);
    GridImage doubled(bounds, 3, kFloat, gDefaultDNGMemoryAllocator);
    LimitFloatImageBitDepth(host, src, doubled, 32, 2.0f);
    for (int32 r = 0; r < 70; r += 7)
        for (int32 c = 0; c < 90; c += 11) {
            EXPECT_EQ(1.0f + std::ldexp(1.0f, -10), *half.Buffer().ConstPixel_real32(r, c, 0));
            EXPECT_EQ(65504.0f, *half.Buffer().ConstPixel_real32(r, c, 1));
            EXPECT_EQ(1.0f, *fp24.Buffer().ConstPixel_real32(r, c, 2));
            EXPECT_EQ(2.0f * values[0], *doubled.Buffer().ConstPixel_real32(r, c, 0));
        }

    // In place on one image.
    LimitFloatImageBitDepth(host, src, src, 24);
    EXPECT_EQ(1.0f, *src.Buffer().ConstPixel_real32(69, 89, 2));
    EXPECT_EQ(70000.0f, *src.Buffer().ConstPixel_real32(69, 89, 1));

    GridImage small(dng_rect(0, 0, 10, 10), 3, kFloat, gDefaultDNGMemoryAllocator);
    EXPECT_THROW(LimitFloatImageBitDepth(host, small, half, 16), dng_exception);
    GridImage shorts(bounds, 3, kShort, gDefaultDNGMemoryAllocator);
    EXPECT_THROW(LimitFloatImageBitDepth(host, shorts, half, 16), dng_exception);
}

}  // namespace
