// dng_image's Get/Put/edge rules and tile loops, and dng_simple_image's views.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "dng/image/ImageTestSupport.h"
#include "dng/image/dng_tile_buffer.h"

using imagetest::errorCode;
using imagetest::makeImage;
using imagetest::sample;

namespace {

// An image whose storage is cut into small tiles anchored away from the
// origin; each lent tile buffer must stay inside one storage tile.
class TiledImage : public dng_image {
public:
    TiledImage(const dng_rect& bounds, uint32_t planes, const dng_rect& tile)
        : dng_image(bounds, planes, 3),
          fTile(tile),
          fData(size_t(bounds.H()) * bounds.W() * planes) {}

    dng_rect RepeatingTile() const override { return fTile; }
    mutable int fAcquired = 0;
    mutable int fReleased = 0;

protected:
    void AcquireTileBuffer(dng_tile_buffer& buffer, const dng_rect& area,
                           bool dirty) const override {
        const int32_t th = int32_t(fTile.H()), tw = int32_t(fTile.W());
        auto cell = [](int32_t x, int32_t origin, int32_t size) {
            const int32_t d = x - origin;
            return d >= 0 ? d / size : -((-d + size - 1) / size);
        };
        EXPECT_EQ(cell(area.t, fTile.t, th), cell(area.b - 1, fTile.t, th));
        EXPECT_EQ(cell(area.l, fTile.l, tw), cell(area.r - 1, fTile.l, tw));
        EXPECT_TRUE((area & fBounds) == area);
        ++fAcquired;
        dng_pixel_buffer whole(fBounds, 0, fPlanes, 3, pcPlanar,
                               const_cast<uint16_t*>(fData.data()));
        buffer.fArea = area;
        buffer.fPlane = 0;
        buffer.fPlanes = fPlanes;
        buffer.fRowStep = whole.fRowStep;
        buffer.fColStep = whole.fColStep;
        buffer.fPlaneStep = whole.fPlaneStep;
        buffer.fPixelType = 3;
        buffer.fPixelSize = 2;
        buffer.fData = whole.DirtyPixel(area.t, area.l, 0);
        buffer.fDirty = dirty;
    }
    void ReleaseTileBuffer(dng_tile_buffer&) const override { ++fReleased; }

private:
    dng_rect fTile;
    std::vector<uint16_t> fData;
};

// A one-plane 16-bit buffer over its own storage, pre-filled with 999.
struct Grid {
    std::vector<uint16_t> data;
    dng_pixel_buffer buffer;
    Grid(const dng_rect& area, uint32_t planes = 1)
        : data(size_t(area.H()) * area.W() * planes, 999),
          buffer(area, 0, planes, 3, pcInterleaved, data.data()) {}
    uint16_t at(int32_t r, int32_t c, uint32_t p = 0) const {
        return *buffer.ConstPixel_uint16(r, c, p);
    }
};

}  // namespace

TEST(Image, ConstructionChecksBoundsPlanesAndType) {
    dng_host host;
    EXPECT_EQ(
        errorCode([&] { dng_simple_image(dng_rect(0, 0, 1, 130000), 1, 1, host.Allocator()); }), 0);
    EXPECT_EQ(
        errorCode([&] { dng_simple_image(dng_rect(0, 0, 1, 130001), 1, 1, host.Allocator()); }),
        100006);
    EXPECT_EQ(
        errorCode([&] { dng_simple_image(dng_rect(0, 0, 130001, 1), 1, 1, host.Allocator()); }),
        100006);
    EXPECT_EQ(errorCode([&] { dng_simple_image(dng_rect(0, 0, 4, 4), 0, 1, host.Allocator()); }),
              100006);
    EXPECT_EQ(errorCode([&] { dng_simple_image(dng_rect(0, 0, 0, 4), 1, 1, host.Allocator()); }),
              100006);
    EXPECT_EQ(errorCode([&] { dng_simple_image(dng_rect(0, 0, 4, 4), 1, 0, host.Allocator()); }),
              100006);

    dng_simple_image image(dng_rect(0, 0, 2, 2), 1, 3, host.Allocator());
    image.SetPixelType(8);
    EXPECT_EQ(image.PixelType(), 8u);
    EXPECT_EQ(image.Buffer().fPixelType, 8u);
    EXPECT_EQ(errorCode([&] { image.SetPixelType(4); }), 100000);
    EXPECT_EQ(image.PixelRange(), 65535u);
}

TEST(Image, GetEdgeOptionsMatchHandDrawnGrids) {
    dng_host host;
    // 1  2  3
    // 11 12 13
    auto image = makeImage(host, dng_rect(0, 0, 2, 3), 1, 3,
                           [](int32_t r, int32_t c, uint32_t) { return 10 * r + c + 1; });
    const dng_rect around(-1, -1, 3, 4);

    Grid none(around);
    image->Get(none.buffer, dng_image::edge_none);
    const uint16_t kNone[4][5] = {{999, 999, 999, 999, 999},
                                  {999, 1, 2, 3, 999},
                                  {999, 11, 12, 13, 999},
                                  {999, 999, 999, 999, 999}};
    Grid zero(around);
    image->Get(zero.buffer, dng_image::edge_zero);
    const uint16_t kZero[4][5] = {
        {0, 0, 0, 0, 0}, {0, 1, 2, 3, 0}, {0, 11, 12, 13, 0}, {0, 0, 0, 0, 0}};
    Grid repeat(around);
    image->Get(repeat.buffer, dng_image::edge_repeat, 1, 1);
    const uint16_t kRepeat[4][5] = {
        {1, 1, 2, 3, 3}, {1, 1, 2, 3, 3}, {11, 11, 12, 13, 13}, {11, 11, 12, 13, 13}};
    for (int32_t r = 0; r < 4; ++r)
        for (int32_t c = 0; c < 5; ++c) {
            EXPECT_EQ(none.at(r - 1, c - 1), kNone[r][c]);
            EXPECT_EQ(zero.at(r - 1, c - 1), kZero[r][c]);
            EXPECT_EQ(repeat.at(r - 1, c - 1), kRepeat[r][c]) << r << "," << c;
        }
}

TEST(Image, TwoByTwoRepeatKeepsThePatternPhase) {
    dng_host host;
    // Rows and columns -2..5 of an even-sized and -2..6 of an odd-sized image.
    const int32_t kEven[8] = {0, 1, 0, 1, 2, 3, 2, 3};
    const int32_t kOdd[9] = {0, 1, 0, 1, 2, 3, 4, 3, 4};
    for (int32_t size : {4, 5}) {
        auto image = makeImage(host, dng_rect(0, 0, size, size), 1, 3,
                               [](int32_t r, int32_t c, uint32_t) { return 10 * r + c; });
        const dng_rect around(-2, -2, size + 2, size + 2);
        Grid grid(around);
        image->Get(grid.buffer, dng_image::edge_repeat, 2, 2);
        const int32_t* map = size == 4 ? kEven : kOdd;
        for (int32_t r = around.t; r < around.b; ++r)
            for (int32_t c = around.l; c < around.r; ++c)
                EXPECT_EQ(grid.at(r, c), 10 * map[r + 2] + map[c + 2])
                    << size << ": " << r << "," << c;
    }
}

TEST(Image, RepeatIntoBuffersThatMissTheImage) {
    dng_host host;
    auto image = makeImage(host, dng_rect(0, 0, 4, 4), 1, 3,
                           [](int32_t r, int32_t c, uint32_t) { return 10 * r + c; });
    // Wholly below and to the right: the pattern comes from the image itself.
    Grid below(dng_rect(6, 5, 9, 8));
    image->Get(below.buffer, dng_image::edge_repeat, 2, 2);
    for (int32_t r = 6; r < 9; ++r)
        for (int32_t c = 5; c < 8; ++c) EXPECT_EQ(below.at(r, c), 10 * (2 + r % 2) + (2 + c % 2));

    Grid outside(dng_rect(10, 10, 12, 12));
    image->Get(outside.buffer, dng_image::edge_none);
    EXPECT_EQ(outside.data, std::vector<uint16_t>(4, 999));
    image->Get(outside.buffer, dng_image::edge_zero);
    EXPECT_EQ(outside.data, std::vector<uint16_t>(4, 0));

    // An image smaller than the pattern repeats what it has.
    auto tiny =
        makeImage(host, dng_rect(0, 0, 1, 1), 1, 3, [](int32_t, int32_t, uint32_t) { return 42; });
    Grid around(dng_rect(-3, -3, 4, 4));
    tiny->Get(around.buffer, dng_image::edge_repeat, 2, 2);
    EXPECT_EQ(around.data, std::vector<uint16_t>(49, 42));

    EXPECT_EQ(errorCode([&] { image->Get(around.buffer, dng_image::edge_repeat, 0, 1); }), 100000);
}

TEST(Image, RepeatZeroLastZeroesOnlyTheLastPlane) {
    dng_host host;
    auto image = makeImage(host, dng_rect(0, 0, 2, 2), 3, 3, [](int32_t r, int32_t c, uint32_t p) {
        return 100 * p + 10 * r + c + 1;
    });
    Grid grid(dng_rect(-1, -1, 3, 3), 3);
    image->Get(grid.buffer, dng_image::edge_repeat_zero_last, 1, 1);
    for (int32_t r = -1; r < 3; ++r)
        for (int32_t c = -1; c < 3; ++c) {
            const int32_t rr = std::clamp(r, 0, 1), cc = std::clamp(c, 0, 1);
            const bool inside = r == rr && c == cc;
            EXPECT_EQ(grid.at(r, c, 0), 10 * rr + cc + 1);
            EXPECT_EQ(grid.at(r, c, 1), 100 + 10 * rr + cc + 1);
            EXPECT_EQ(grid.at(r, c, 2), inside ? 200 + 10 * rr + cc + 1 : 0);
        }
}

TEST(Image, PutClipsToBoundsAndPlanes) {
    dng_host host;
    auto image =
        makeImage(host, dng_rect(0, 0, 3, 3), 2, 3, [](int32_t, int32_t, uint32_t) { return 5; });
    Grid grid(dng_rect(1, 1, 5, 5), 3);
    for (auto& v : grid.data) v = 7;
    image->Put(grid.buffer);
    for (int32_t r = 0; r < 3; ++r)
        for (int32_t c = 0; c < 3; ++c)
            for (uint32_t p = 0; p < 2; ++p)
                EXPECT_EQ(sample(*image, r, c, p), (r >= 1 && c >= 1) ? 7 : 5);

    Grid beyond(dng_rect(0, 0, 3, 3), 1);
    beyond.buffer.fPlane = 2;
    for (auto& v : beyond.data) v = 1;
    image->Put(beyond.buffer);
    EXPECT_EQ(sample(*image, 0, 0, 1), 5);
}

TEST(Image, TrimAndRotateAreViewsOfTheSamePixels) {
    dng_host host;
    auto image = makeImage(host, dng_rect(0, 0, 2, 3), 1, 3,
                           [](int32_t r, int32_t c, uint32_t) { return 10 * r + c; });
    image->Rotate(dng_orientation::Rotate90CW());
    EXPECT_EQ(image->Bounds(), dng_rect(0, 0, 3, 2));
    // Top row is the original left column read upwards.
    EXPECT_EQ(sample(*image, 0, 0), 10);
    EXPECT_EQ(sample(*image, 0, 1), 0);
    EXPECT_EQ(sample(*image, 2, 0), 12);
    auto clone = image->Clone();
    image->Rotate(-dng_orientation::Rotate90CW());
    EXPECT_EQ(image->Bounds(), dng_rect(0, 0, 2, 3));
    for (int32_t r = 0; r < 2; ++r)
        for (int32_t c = 0; c < 3; ++c) EXPECT_EQ(sample(*image, r, c), 10 * r + c);
    EXPECT_EQ(clone->Bounds(), dng_rect(0, 0, 3, 2));
    EXPECT_EQ(sample(static_cast<dng_simple_image&>(*clone), 0, 0), 10);

    auto big = makeImage(host, dng_rect(0, 0, 5, 6), 1, 3,
                         [](int32_t r, int32_t c, uint32_t) { return 10 * r + c; });
    big->Trim(dng_rect(1, 2, 4, 5));
    EXPECT_EQ(big->Bounds(), dng_rect(0, 0, 3, 3));
    for (int32_t r = 0; r < 3; ++r)
        for (int32_t c = 0; c < 3; ++c) EXPECT_EQ(sample(*big, r, c), 10 * (r + 1) + c + 2);
    EXPECT_EQ(errorCode([&] { big->Trim(dng_rect(0, 0, 4, 4)); }), 100000);
}

TEST(Image, TileLoopsCopyCompareAndFillAcrossStorageTiles) {
    dng_host host;
    const dng_rect bounds(-3, -2, 9, 11);
    TiledImage tiled(bounds, 2, dng_rect(-5, -7, -1, -2));  // 4 x 5 tiles, anchored off the image
    auto reference = makeImage(host, bounds, 2, 3, [](int32_t r, int32_t c, uint32_t p) {
        return 1000 * p + 50 * (r + 3) + c + 2;
    });
    tiled.CopyArea(*reference, bounds, 0, 0, 2);
    EXPECT_TRUE(tiled.EqualArea(*reference, bounds, 0, 2));
    EXPECT_TRUE(reference->EqualArea(tiled, bounds, 0, 2));
    EXPECT_GT(tiled.fAcquired, 12);
    EXPECT_EQ(tiled.fAcquired, tiled.fReleased);

    Grid grid(dng_rect(-4, -3, 10, 12), 2);
    tiled.Get(grid.buffer, dng_image::edge_repeat, 1, 1);
    Grid expected(dng_rect(-4, -3, 10, 12), 2);
    reference->Get(expected.buffer, dng_image::edge_repeat, 1, 1);
    EXPECT_EQ(grid.data, expected.data);

    tiled.SetConstant(77, dng_rect(0, 0, 5, 5));
    EXPECT_FALSE(tiled.EqualArea(*reference, bounds, 0, 2));
    EXPECT_TRUE(tiled.EqualArea(*reference, dng_rect(5, 5, 9, 11), 0, 2));
    reference->SetConstant(77, dng_rect(0, 0, 5, 5));
    EXPECT_TRUE(tiled.EqualArea(*reference, bounds, 0, 2));

    for (auto& v : grid.data) v = 3;
    tiled.Put(grid.buffer);
    EXPECT_FALSE(tiled.EqualArea(*reference, bounds, 1, 1));
    reference->Put(grid.buffer);
    EXPECT_TRUE(tiled.EqualArea(*reference, bounds, 0, 2));

    EXPECT_TRUE(tiled.EqualArea(tiled, bounds, 0, 2));
    tiled.CopyArea(tiled, bounds, 0, 1, 1);
    EXPECT_TRUE(tiled.EqualArea(*reference, bounds, 0, 2));
    EXPECT_EQ(errorCode([&] { tiled.Clone(); }), 100000);
    EXPECT_EQ(errorCode([&] { tiled.Trim(dng_rect(0, 0, 1, 1)); }), 100000);
    EXPECT_EQ(errorCode([&] { tiled.Trim(bounds); }), 0);
    EXPECT_EQ(errorCode([&] { tiled.Rotate(dng_orientation::Mirror()); }), 100000);
}

TEST(Image, CopyAreaConvertsBetweenImageTypes) {
    dng_host host;
    auto src = makeImage(host, dng_rect(0, 0, 3, 4), 1, 1,
                         [](int32_t r, int32_t c, uint32_t) { return 20 * r + c; });
    dng_simple_image dst(dng_rect(0, 0, 3, 4), 1, 11, host.Allocator());
    dst.CopyArea(*src, dst.Bounds(), 0, 1);
    for (int32_t r = 0; r < 3; ++r)
        for (int32_t c = 0; c < 4; ++c)
            EXPECT_FLOAT_EQ(float(sample(dst, r, c)), float(20 * r + c) / 255.0f);
}

TEST(Image, PlanesAndAreasBeyondTheImageAreNeverRead) {
    dng_host host;
    auto image =
        makeImage(host, dng_rect(0, 0, 2, 2), 1, 3, [](int32_t, int32_t, uint32_t) { return 8; });
    // A three-plane buffer gets the one plane the image has; the others stay.
    Grid grid(dng_rect(0, 0, 2, 2), 3);
    image->Get(grid.buffer, dng_image::edge_repeat, 1, 1);
    for (int32_t r = 0; r < 2; ++r)
        for (int32_t c = 0; c < 2; ++c) {
            EXPECT_EQ(grid.at(r, c, 0), 8);
            EXPECT_EQ(grid.at(r, c, 1), 999);
        }
    auto other =
        makeImage(host, dng_rect(0, 0, 2, 2), 3, 3, [](int32_t, int32_t, uint32_t) { return 1; });
    EXPECT_EQ(errorCode([&] { other->CopyArea(*image, other->Bounds(), 0, 0, 3); }), 100000);
    EXPECT_EQ(errorCode([&] { other->EqualArea(*image, other->Bounds(), 1, 1); }), 100000);
    EXPECT_EQ(errorCode([&] { dng_const_tile_buffer(*image, dng_rect(0, 0, 3, 2)); }), 100000);
}
