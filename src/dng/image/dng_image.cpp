// Get, Put and the tile loops of dng_image. Pixels are always moved tile by
// tile of the image's storage grid (RepeatingTile), so a subclass only has to
// lend tile buffers.
#include "dng/image/dng_image.h"

#include <algorithm>
#include <cstdint>

#include "dng/core/dng_exception.h"
#include "dng/core/dng_safe_arithmetic.h"
#include "dng/core/dng_tag_types.h"
#include "dng/core/dng_tile_iterator.h"
#include "dng/image/dng_pixel_buffer.h"
#include "dng/image/dng_tile_buffer.h"

namespace {

// A rectangle edge offset from another; overflow is a rectangle overflow.
int32_t rectEdge(int64_t v) {
    if (v < INT32_MIN || v > INT32_MAX) ThrowProgramError("Overflow in dng_rect constructor");
    return int32_t(v);
}

constexpr uint32_t kMaxImageSide = 130000;

// Calls f(tile) for every tile of the image's storage grid that meets the
// area (clipped to the area and the bounds), row by row.
template <typename F>
void forEachTile(const dng_image& image, const dng_rect& area, F&& f) {
    const dng_rect clipped = area & image.Bounds();
    if (clipped.IsEmpty()) return;
    const dng_rect grid = image.RepeatingTile();
    dng_tile_iterator iterator(grid.IsEmpty() ? clipped : grid, clipped);
    dng_rect tile;
    while (iterator.NextTile(tile)) f(tile);
}

}  // namespace

dng_image::dng_image(const dng_rect& bounds, uint32_t planes, uint32_t pixelType)
    : fBounds(bounds), fPlanes(planes), fPixelType(pixelType) {
    if (bounds.t >= bounds.b || bounds.l >= bounds.r || planes == 0 ||
        TiffTagTypeSize(pixelType) == 0 || bounds.W() > kMaxImageSide ||
        bounds.H() > kMaxImageSide) {
        ThrowDNGError(dng_error_bad_format, "dng_image bounds too large");
    }
}

dng_image::~dng_image() = default;

std::unique_ptr<dng_image> dng_image::Clone() const {
    ThrowDNGError(dng_error_unknown, "Clone is not supported by this dng_image subclass");
    return nullptr;
}

dng_point dng_image::Size() const { return dng_point(int32_t(Height()), int32_t(Width())); }
uint32_t dng_image::Width() const { return fBounds.W(); }
uint32_t dng_image::Height() const { return fBounds.H(); }
uint32_t dng_image::PixelSize() const { return TiffTagTypeSize(fPixelType); }

uint32_t dng_image::PixelRange() const {
    switch (fPixelType) {
        case 1:
        case 6:
            return 0xFF;
        case 3:
        case 8:
            return 0xFFFF;
        case 4:
        case 9:
            return 0xFFFFFFFF;
        default:
            return 0;
    }
}

void dng_image::SetPixelType(uint32_t pixelType) {
    if (TiffTagTypeSize(pixelType) != PixelSize())
        ThrowDNGError(dng_error_unknown, "Cannot change pixel size for existing image");
    fPixelType = pixelType;
}

dng_rect dng_image::RepeatingTile() const { return fBounds; }

void dng_image::Trim(const dng_rect& r) {
    if (!(r == fBounds))
        ThrowDNGError(dng_error_unknown, "Trim is not support by this dng_image subclass");
}

void dng_image::Rotate(const dng_orientation& orientation) {
    if (orientation.GetInternal() != dng_orientation::kNormal)
        ThrowDNGError(dng_error_unknown, "Rotate is not support by this dng_image subclass");
}

void dng_image::AcquireTileBuffer(dng_tile_buffer&, const dng_rect&, bool) const {
    ThrowDNGError(dng_error_unknown, nullptr);
}

void dng_image::ReleaseTileBuffer(dng_tile_buffer&) const {}

void dng_image::DoGet(dng_pixel_buffer& buffer) const {
    forEachTile(*this, buffer.fArea, [&](const dng_rect& tile) {
        dng_const_tile_buffer tileBuffer(*this, tile);
        buffer.CopyArea(tileBuffer, tile, buffer.fPlane, buffer.fPlane, buffer.fPlanes);
    });
}

void dng_image::DoPut(const dng_pixel_buffer& buffer) {
    forEachTile(*this, buffer.fArea, [&](const dng_rect& tile) {
        dng_dirty_tile_buffer tileBuffer(*this, tile);
        tileBuffer.CopyArea(buffer, tile, buffer.fPlane, buffer.fPlane, buffer.fPlanes);
    });
}

bool dng_image::ClipPlanes(dng_pixel_buffer& buffer) const {
    // Planes the image does not have are left as they are rather than read
    // from beyond the image's samples.
    if (buffer.fPlane >= fPlanes) return false;
    buffer.fPlanes = std::min(buffer.fPlanes, fPlanes - buffer.fPlane);
    return buffer.fPlanes > 0;
}

void dng_image::CheckPlanes(uint32_t plane, uint32_t planes) const {
    if (plane > fPlanes || planes > fPlanes - plane) ThrowProgramError("Planes beyond the image");
}

void dng_image::Get(dng_pixel_buffer& buffer, edge_option edgeOption, uint32_t repeatV,
                    uint32_t repeatH) const {
    const dng_rect& a = buffer.fArea;
    const dng_rect& b = fBounds;
    const dng_rect overlap = a & b;
    if (!overlap.IsEmpty()) {
        dng_pixel_buffer inside(buffer);
        inside.fArea = overlap;
        inside.fData = buffer.DirtyPixel(overlap.t, overlap.l, buffer.fPlane);
        if (ClipPlanes(inside)) DoGet(inside);
    }
    if (edgeOption == edge_none || overlap == a) return;

    // A pattern must hold at least one pixel and fit a rectangle.
    if (repeatV == 0 || repeatH == 0 || repeatV > kMaxImageSide || repeatH > kMaxImageSide)
        ThrowDNGError(dng_error_unknown, "Invalid repeat size");
    const int32_t rv = int32_t(repeatV);
    const int32_t rh = int32_t(repeatH);

    dng_rect top = a;
    top.b = std::min(a.b, b.t);
    dng_rect bottom = a;
    bottom.t = std::max(a.t, b.b);
    dng_rect left = a;
    left.r = std::min(a.r, b.l);
    dng_rect right = a;
    right.l = std::max(a.l, b.r);
    dng_rect midH = a;
    midH.l = std::max(a.l, b.l);
    midH.r = std::min(a.r, b.r);
    dng_rect midV = a;
    midV.t = std::max(a.t, b.t);
    midV.b = std::min(a.b, b.b);

    auto edge = [&](const dng_rect& band1, const dng_rect& band2, auto makeSource) {
        if (band1.IsEmpty() || band2.IsEmpty()) return;
        const dng_rect d = band1 & band2;
        if (d.IsEmpty()) return;
        GetEdge(buffer, edgeOption, makeSource(d), d);
    };
    const int32_t bTopEnd = rectEdge(int64_t(b.t) + rv);
    const int32_t bLeftEnd = rectEdge(int64_t(b.l) + rh);
    const int32_t bBottomStart = rectEdge(int64_t(b.b) - rv);
    const int32_t bRightStart = rectEdge(int64_t(b.r) - rh);
    edge(top, left, [&](const dng_rect&) { return dng_rect(b.t, b.l, bTopEnd, bLeftEnd); });
    edge(top, midH, [&](const dng_rect& d) { return dng_rect(b.t, d.l, bTopEnd, d.r); });
    edge(top, right, [&](const dng_rect&) { return dng_rect(b.t, bRightStart, bTopEnd, b.r); });
    edge(left, midV, [&](const dng_rect& d) { return dng_rect(d.t, b.l, d.b, bLeftEnd); });
    edge(right, midV, [&](const dng_rect& d) { return dng_rect(d.t, bRightStart, d.b, b.r); });
    edge(bottom, left, [&](const dng_rect&) { return dng_rect(bBottomStart, b.l, b.b, bLeftEnd); });
    edge(bottom, midH, [&](const dng_rect& d) { return dng_rect(bBottomStart, d.l, b.b, d.r); });
    edge(bottom, right,
         [&](const dng_rect&) { return dng_rect(bBottomStart, bRightStart, b.b, b.r); });
}

void dng_image::GetEdge(dng_pixel_buffer& buffer, edge_option edgeOption, const dng_rect& srcArea,
                        const dng_rect& dstArea) const {
    switch (edgeOption) {
        case edge_zero:
            buffer.SetZero(dstArea, buffer.fPlane, buffer.fPlanes);
            break;
        case edge_repeat:
            GetRepeat(buffer, srcArea, dstArea);
            break;
        case edge_repeat_zero_last: {
            if (buffer.fPlanes >= 2) {
                dng_pixel_buffer allButLast(buffer);
                allButLast.fPlanes--;
                GetRepeat(allButLast, srcArea, dstArea);
            }
            dng_pixel_buffer last(buffer);
            last.fPlane = buffer.fPlane + buffer.fPlanes - 1;
            last.fPlanes = 1;
            last.fData = buffer.DirtyPixel(buffer.fArea.t, buffer.fArea.l, last.fPlane);
            last.SetZero(dstArea, last.fPlane, 1);
            break;
        }
        default:
            ThrowDNGError(dng_error_unknown, nullptr);
    }
}

void dng_image::GetRepeat(dng_pixel_buffer& buffer, const dng_rect& srcArea,
                          const dng_rect& dstArea) const {
    // An image smaller than the pattern cannot supply all of it: repeat what it
    // has rather than read outside the bounds.
    const dng_rect s = srcArea & fBounds;
    if (s.IsEmpty() || dstArea.IsEmpty()) return;

    if ((s & buffer.fArea) == s) {
        buffer.RepeatArea(s, dstArea);
        return;
    }

    const int32_t rv = int32_t(s.H());
    const int32_t rh = int32_t(s.W());
    const dng_point phase = dng_pixel_buffer::RepeatPhase(s, dstArea);
    const dng_rect n(dstArea.t, dstArea.l, rectEdge(int64_t(dstArea.t) + rv),
                     rectEdge(int64_t(dstArea.l) + rh));
    const int32_t splitV = n.t + rv - phase.v;
    const int32_t splitH = n.l + rh - phase.h;

    // Top quadrants show pattern rows from phase.v, bottom ones from 0; left
    // quadrants columns from phase.h, right ones from 0.
    auto read = [&](const dng_rect& q, int32_t firstRow, int32_t qTop, int32_t firstCol,
                    int32_t qLeft) {
        const dng_rect part = q & dstArea;
        if (part.IsEmpty()) return;
        dng_pixel_buffer temp(buffer);
        temp.fData = buffer.DirtyPixel(part.t, part.l, buffer.fPlane);
        const int32_t t = firstRow + (part.t - qTop);
        const int32_t l = firstCol + (part.l - qLeft);
        temp.fArea = dng_rect(t, l, t + int32_t(part.H()), l + int32_t(part.W()));
        if (ClipPlanes(temp)) DoGet(temp);
    };
    read(dng_rect(n.t, n.l, splitV, splitH), s.t + phase.v, n.t, s.l + phase.h, n.l);
    read(dng_rect(n.t, splitH, splitV, n.r), s.t + phase.v, n.t, s.l, splitH);
    read(dng_rect(splitV, n.l, n.b, splitH), s.t, splitV, s.l + phase.h, n.l);
    read(dng_rect(splitV, splitH, n.b, n.r), s.t, splitV, s.l, splitH);

    buffer.RepeatArea(n, dstArea);
}

void dng_image::Put(const dng_pixel_buffer& buffer) {
    const dng_rect overlap = buffer.fArea & fBounds;
    if (overlap.IsEmpty()) return;
    if (fPlanes <= buffer.fPlane) return;
    dng_pixel_buffer temp(buffer);
    temp.fArea = overlap;
    temp.fData = const_cast<void*>(buffer.ConstPixel(overlap.t, overlap.l, buffer.fPlane));
    temp.fPlanes = std::min(fPlanes - buffer.fPlane, buffer.fPlanes);
    DoPut(temp);
}

void dng_image::CopyArea(const dng_image& src, const dng_rect& area, uint32_t srcPlane,
                         uint32_t dstPlane, uint32_t planes) {
    if (&src == this) return;
    CheckPlanes(dstPlane, planes);
    src.CheckPlanes(srcPlane, planes);
    forEachTile(*this, area, [&](const dng_rect& dstTile) {
        forEachTile(src, dstTile, [&](const dng_rect& tile) {
            dng_dirty_tile_buffer dstBuffer(*this, tile);
            dng_const_tile_buffer srcBuffer(src, tile);
            dstBuffer.CopyArea(srcBuffer, tile, srcPlane, dstPlane, planes);
        });
    });
}

bool dng_image::EqualArea(const dng_image& other, const dng_rect& area, uint32_t plane,
                          uint32_t planes) const {
    if (&other == this) return true;
    CheckPlanes(plane, planes);
    other.CheckPlanes(plane, planes);
    bool equal = true;
    forEachTile(*this, area, [&](const dng_rect& outer) {
        if (!equal) return;
        forEachTile(other, outer, [&](const dng_rect& tile) {
            if (!equal) return;
            dng_const_tile_buffer a(*this, tile);
            dng_const_tile_buffer b(other, tile);
            equal = a.EqualArea(b, tile, plane, planes);
        });
    });
    return equal;
}

void dng_image::SetConstant(uint32_t value, const dng_rect& area) {
    forEachTile(*this, area, [&](const dng_rect& tile) {
        dng_dirty_tile_buffer buffer(*this, tile);
        buffer.SetConstant(tile, 0, fPlanes, value);
    });
}
