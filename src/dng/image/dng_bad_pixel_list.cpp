#include "dng/image/dng_bad_pixel_list.h"

#include <algorithm>
#include <cstdlib>

#include "dng/core/dng_exception.h"
#include "dng/core/dng_stream.h"
#include "dng/image/dng_pixel_buffer.h"

namespace {

// One direction of the edge-directed repair: gradient terms (two offsets
// each, their absolute difference summed) and the two samples it estimates
// from, optionally corrected by 2k.
struct Direction {
    uint32 terms;
    int8 term[8][4];
    int8 estimate[4];
    bool withK;
};

const Direction kIsolatedGreen[4] = {
    {7,
     {{-2, 1, 0, 1},
      {0, -1, -2, -1},
      {1, -1, -1, -1},
      {-1, 1, 1, 1},
      {0, -1, 2, -1},
      {-2, 0, 2, 0},
      {0, 1, 2, 1}},
     {-2, 0, 2, 0},
     false},
    {7,
     {{-1, -2, -1, 0},
      {-1, -1, -1, 1},
      {-1, 0, -1, 2},
      {0, 2, 0, -2},
      {1, -2, 1, 0},
      {1, -1, 1, 1},
      {1, 0, 1, 2}},
     {0, -2, 0, 2},
     false},
    {7,
     {{-2, -1, 0, 1},
      {0, 2, -2, 0},
      {-1, -2, 1, 0},
      {-1, -1, 1, 1},
      {-1, 0, 1, 2},
      {2, 0, 0, -2},
      {0, -1, 2, 1}},
     {-1, -1, 1, 1},
     false},
    {7,
     {{-1, 0, 1, -2},
      {-2, 1, 0, -1},
      {-2, 0, 0, -2},
      {-1, 1, 1, -1},
      {-1, 2, 1, 0},
      {0, 1, 2, -1},
      {0, 2, 2, 0}},
     {-1, 1, 1, -1},
     false},
};

const Direction kIsolatedOther[4] = {
    {8,
     {{-2, 1, 0, 1},
      {0, -1, -2, -1},
      {1, -1, -1, -1},
      {1, 0, -1, 0},
      {-1, 1, 1, 1},
      {2, -1, 0, -1},
      {-2, 0, 2, 0},
      {0, 1, 2, 1}},
     {-2, 0, 2, 0},
     false},
    {8,
     {{-1, -1, -1, 1},
      {-1, -2, -1, 0},
      {-1, 2, -1, 0},
      {0, -1, 0, 1},
      {0, 2, 0, -2},
      {1, -2, 1, 0},
      {1, -1, 1, 1},
      {1, 0, 1, 2}},
     {0, -2, 0, 2},
     false},
    {8,
     {{-2, 0, 0, 2},
      {-2, -1, 0, 1},
      {1, 0, -1, -2},
      {-1, -1, 1, 1},
      {-1, 0, 1, 2},
      {0, -2, 2, 0},
      {0, -1, 2, 1},
      {-2, -2, 2, 2}},
     {-2, -2, 2, 2},
     false},
    {8,
     {{-1, 1, 1, -1},
      {-2, 0, 0, -2},
      {-2, 1, 0, -1},
      {1, -2, -1, 0},
      {1, 0, -1, 2},
      {-2, 2, 2, -2},
      {0, 1, 2, -1},
      {0, 2, 2, 0}},
     {-2, 2, 2, -2},
     false},
};

const Direction kColumnOther[7] = {
    {6,
     {{-4, -1, 0, 1},
      {-3, -1, 1, 1},
      {-4, -2, 4, 2},
      {0, -1, 4, 1},
      {-2, -1, 2, 1},
      {-1, -1, 3, 1}},
     {-4, -2, 4, 2},
     false},
    {6,
     {{0, 1, -2, -1},
      {-3, -1, -1, 1},
      {1, -1, 3, 1},
      {-2, -2, 2, 2},
      {-1, -1, 1, 1},
      {0, -1, 2, 1}},
     {-2, -2, 2, 2},
     false},
    {6,
     {{-2, -1, 0, 3},
      {-1, -3, 1, 1},
      {-2, -4, 2, 4},
      {0, -3, 2, 1},
      {-1, -2, 1, 2},
      {-1, -1, 1, 3}},
     {-2, -4, 2, 4},
     false},
    {5,
     {{-1, -2, -1, 2}, {1, -2, 1, 2}, {1, -1, 1, 1}, {-1, -1, -1, 1}, {0, -2, 0, 2}},
     {0, -2, 0, 2},
     false},
    {6,
     {{0, -3, -2, 1},
      {-1, 1, 1, -3},
      {1, -2, -1, 2},
      {1, -1, -1, 3},
      {-2, 4, 2, -4},
      {0, 3, 2, -1}},
     {2, -4, -2, 4},
     false},
    {6,
     {{0, -1, -2, 1},
      {-1, -1, -3, 1},
      {-1, 1, 1, -1},
      {2, -2, -2, 2},
      {0, 1, 2, -1},
      {1, 1, 3, -1}},
     {2, -2, -2, 2},
     false},
    {6,
     {{-4, 1, 0, -1},
      {1, -1, -3, 1},
      {2, -1, -2, 1},
      {-1, 1, 3, -1},
      {-4, 2, 4, -2},
      {0, 1, 4, -1}},
     {4, -2, -4, 2},
     false},
};

const Direction kColumnGreen[7] = {
    {7,
     {{-2, -2, 1, -1},
      {0, 2, -3, 1},
      {-4, -1, 2, 1},
      {-1, 1, 2, 2},
      {0, -2, 3, -1},
      {-3, -1, 3, 1},
      {-2, -1, 4, 1}},
     {-3, -1, 3, 1},
     true},
    {7,
     {{-2, -1, 0, 1},
      {-3, -1, -1, 1},
      {-2, -2, 1, 1},
      {-1, -1, 1, 1},
      {0, -1, 2, 1},
      {-1, -1, 2, 2},
      {1, -1, 3, 1}},
     {-1, -1, 1, 1},
     true},
    {7,
     {{-1, 1, 0, 4},
      {-1, -1, 0, 2},
      {0, -4, 1, -1},
      {0, -2, 1, 1},
      {-1, -4, 1, 2},
      {-1, -3, 1, 3},
      {-1, -2, 1, 4}},
     {-1, -3, 1, 3},
     true},
    {7,
     {{-1, -1, -1, 1},
      {-2, -1, -2, 1},
      {0, -1, 0, 1},
      {0, -2, 0, 2},
      {0, -2, 0, 2},
      {1, -1, 1, 1},
      {2, -1, 2, 1}},
     {0, -2, 0, 2},
     false},
    {7,
     {{-1, -1, 0, -4},
      {-1, 1, 0, -2},
      {-1, 2, 1, -4},
      {-1, 3, 1, -3},
      {-1, 4, 1, -2},
      {0, 2, 1, -1},
      {1, 1, 0, 4}},
     {1, -3, -1, 3},
     true},
    {7,
     {{-2, 1, 0, -1},
      {-3, 1, -1, -1},
      {-2, 2, 1, -1},
      {-1, 1, 1, -1},
      {-1, 1, 2, -2},
      {2, -1, 0, 1},
      {1, 1, 3, -1}},
     {1, -1, -1, 1},
     true},
    {7,
     {{-2, 2, 1, 1},
      {-3, -1, 0, -2},
      {-1, -1, 2, -2},
      {2, -1, -4, 1},
      {-3, 1, 3, -1},
      {3, 1, 0, 2},
      {-2, 1, 4, -1}},
     {3, -1, -3, 1},
     true},
};

// Ring offsets of the clustered repairs; a ring ends at (0, 0).
struct Ring {
    bool greenOnly;
    int8 offset[8][2];
};

const Ring kRings[8] = {
    {true, {{-1, 1}, {-1, -1}, {1, -1}, {1, 1}}},
    {false, {{-2, 0}, {2, 0}, {0, -2}, {0, 2}}},
    {false, {{-2, -2}, {-2, 2}, {2, -2}, {2, 2}}},
    {true, {{-1, -3}, {-3, -1}, {1, -3}, {3, -1}, {-1, 3}, {-3, 1}, {1, 3}, {3, 1}}},
    {false, {{-4, 0}, {4, 0}, {0, -4}, {0, 4}}},
    {true, {{-3, -3}, {-3, 3}, {3, -3}, {3, 3}}},
    {false, {{-2, -4}, {-4, -2}, {2, -4}, {4, -2}, {-2, 4}, {-4, 2}, {2, 4}, {4, 2}}},
    {false, {{-4, -4}, {-4, 4}, {4, -4}, {4, 4}}},
};

int32 Sample(const dng_pixel_buffer& b, int32 r, int32 c) { return *b.ConstPixel_uint16(r, c); }

// Scores the directions and returns the selected estimates' sum and count.
void Score(const dng_pixel_buffer& b, int32 r, int32 c, const Direction* dirs, uint32 count,
           int32 k, uint32& sum, uint32& n) {
    uint32 gradient[8];
    uint32 smallest = 0xFFFFFFFF;
    for (uint32 d = 0; d < count; d++) {
        uint32 g = 0;
        for (uint32 t = 0; t < dirs[d].terms; t++) {
            const int8* x = dirs[d].term[t];
            g += uint32(std::abs(Sample(b, r + x[0], c + x[1]) - Sample(b, r + x[2], c + x[3])));
        }
        gradient[d] = g;
        smallest = std::min(smallest, g);
    }
    const uint32 threshold = (smallest * 3) >> 1;
    sum = 0;
    n = 0;
    for (uint32 d = 0; d < count; d++) {
        if (gradient[d] > threshold) continue;
        const int8* e = dirs[d].estimate;
        sum += uint32(Sample(b, r + e[0], c + e[1]) + Sample(b, r + e[2], c + e[3]));
        if (dirs[d].withK) sum += uint32(2 * k);
        n += 2;
    }
}

}  // namespace

void dng_bad_pixel_list::Sort() {
    std::sort(fPoints.begin(), fPoints.end(), [](const dng_point& a, const dng_point& b) {
        return a.v != b.v ? a.v < b.v : a.h < b.h;
    });
    std::sort(fRects.begin(), fRects.end(), [](const dng_rect& a, const dng_rect& b) {
        if (a.t != b.t) return a.t < b.t;
        if (a.l != b.l) return a.l < b.l;
        if (a.b != b.b) return a.b < b.b;
        return a.r < b.r;
    });
}

bool dng_bad_pixel_list::IsPointIsolated(uint32 index, uint32 radius) const {
    const dng_point p = fPoints[index];
    const int64 rad = radius;
    for (int64 j = int64(index) - 1; j >= 0 && fPoints[size_t(j)].v >= p.v - rad; j--)
        if (std::abs(int64(fPoints[size_t(j)].h) - p.h) <= rad) return false;
    for (size_t j = size_t(index) + 1; j < fPoints.size() && fPoints[j].v <= p.v + rad; j++)
        if (std::abs(int64(fPoints[j].h) - p.h) <= rad) return false;
    const int64 t = p.v - rad, l = p.h - rad, b = p.v + rad + 1, r = p.h + rad + 1;
    for (const dng_rect& rect : fRects)
        if (rect.t < b && t < rect.b && rect.l < r && l < rect.r) return false;
    return true;
}

bool dng_bad_pixel_list::IsRectIsolated(uint32 index, uint32 radius) const {
    const dng_rect& a = fRects[index];
    const int64 rad = radius;
    const int64 t = a.t - rad, l = a.l - rad, b = int64(a.b) + rad, r = int64(a.r) + rad;
    for (size_t j = 0; j < fRects.size(); j++) {
        if (j == index) continue;
        const dng_rect& o = fRects[j];
        if (o.t < b && t < o.b && o.l < r && l < o.r && !o.IsEmpty()) return false;
    }
    return true;
}

bool dng_bad_pixel_list::IsPointValid(const dng_point& point, const dng_rect& bounds,
                                      uint32 index) const {
    if (point.v < bounds.t || point.v >= bounds.b || point.h < bounds.l || point.h >= bounds.r)
        return false;
    if (index != kNoIndex && index < fPoints.size()) {
        for (int64 j = int64(index) - 1; j >= 0 && fPoints[size_t(j)].v >= point.v; j--)
            if (fPoints[size_t(j)] == point) return false;
        for (size_t j = size_t(index) + 1; j < fPoints.size() && fPoints[j].v <= point.v; j++)
            if (fPoints[j] == point) return false;
    }
    for (const dng_rect& rect : fRects)
        if (point.v >= rect.t && point.v < rect.b && point.h >= rect.l && point.h < rect.r)
            return false;
    return true;
}

dng_opcode_FixBadPixelsList::dng_opcode_FixBadPixelsList(std::unique_ptr<dng_bad_pixel_list> list,
                                                         uint32 bayerPhase)
    : dng_filter_opcode(dngOpcode_FixBadPixelsList, dngVersion_1_3_0_0, kFlag_None),
      fList(std::move(list)),
      fBayerPhase(bayerPhase) {
    fList->Sort();
}

dng_opcode_FixBadPixelsList::dng_opcode_FixBadPixelsList(dng_host&, dng_stream& stream)
    : dng_filter_opcode(dngOpcode_FixBadPixelsList, stream, "FixBadPixelsList"),
      fList(std::make_unique<dng_bad_pixel_list>()) {
    const uint32 byteCount = ReadByteCount(stream);
    if (byteCount < 12) ThrowBadFormat("bad FixBadPixelsList size");
    fBayerPhase = stream.GetUInt32();
    const uint32 points = stream.GetUInt32();
    const uint32 rects = stream.GetUInt32();
    if (uint64(byteCount) != 12 + 8 * uint64(points) + 16 * uint64(rects))
        ThrowBadFormat("bad FixBadPixelsList size");
    for (uint32 i = 0; i < points; i++) {
        const int32 v = stream.Get_int32();
        const int32 h = stream.Get_int32();
        fList->AddPoint(dng_point(v, h));
    }
    for (uint32 i = 0; i < rects; i++) {
        dng_rect r;
        r.t = stream.Get_int32();
        r.l = stream.Get_int32();
        r.b = stream.Get_int32();
        r.r = stream.Get_int32();
        fList->AddRect(r);
    }
    fList->Sort();
}

void dng_opcode_FixBadPixelsList::PutData(dng_stream& stream) const {
    stream.PutUInt32(12 + 8 * fList->PointCount() + 16 * fList->RectCount());
    stream.PutUInt32(fBayerPhase);
    stream.PutUInt32(fList->PointCount());
    stream.PutUInt32(fList->RectCount());
    for (uint32 i = 0; i < fList->PointCount(); i++) {
        stream.PutUInt32(uint32(fList->Point(i).v));
        stream.PutUInt32(uint32(fList->Point(i).h));
    }
    for (uint32 i = 0; i < fList->RectCount(); i++) {
        const dng_rect& r = fList->Rect(i);
        stream.PutUInt32(uint32(r.t));
        stream.PutUInt32(uint32(r.l));
        stream.PutUInt32(uint32(r.b));
        stream.PutUInt32(uint32(r.r));
    }
}

dng_rect dng_opcode_FixBadPixelsList::SrcArea(const dng_rect& dstArea, const dng_rect&) {
    const int32 margin = (fList->PointCount() ? 2 : 0) + (fList->RectCount() ? 4 : 0);
    return dng_rect(dstArea.t - margin, dstArea.l - margin, dstArea.b + margin, dstArea.r + margin);
}

void dng_opcode_FixBadPixelsList::Prepare(dng_negative&, uint32, const dng_point&, const dng_rect&,
                                          uint32 imagePlanes, uint32 bufferPixelType,
                                          dng_memory_allocator&) {
    if (imagePlanes != 1 || bufferPixelType != 3)
        ThrowBadFormat("bad pixels are repaired only in 16-bit mosaics");
}

void dng_opcode_FixBadPixelsList::ProcessArea(dng_negative&, uint32, dng_pixel_buffer& src,
                                              dng_pixel_buffer& dst, const dng_rect& dstArea,
                                              const dng_rect& imageBounds) {
    const bool haveRects = fList->RectCount() > 0;
    const int32 grow = haveRects ? 4 : 0;
    const dng_rect pointArea(dstArea.t - grow, dstArea.l - grow, dstArea.b + grow,
                             dstArea.r + grow);

    bool repaired = false;
    for (uint32 i = 0; i < fList->PointCount(); i++) {
        const dng_point p = fList->Point(i);
        if (p.v < pointArea.t || p.v >= pointArea.b || p.h < pointArea.l || p.h >= pointArea.r)
            continue;
        const bool inside =
            int64(p.v) >= int64(imageBounds.t) + 2 && int64(p.h) >= int64(imageBounds.l) + 2 &&
            int64(p.v) < int64(imageBounds.b) - 2 && int64(p.h) < int64(imageBounds.r) - 2;
        if (fList->IsPointIsolated(i, 2) && inside)
            FixIsolatedPixel(src, p);
        else
            FixClusteredPixel(src, i, imageBounds);
        repaired = true;
    }

    if (haveRects) {
        if (repaired) src.RepeatSubArea(imageBounds & src.Area(), 2, 2);
        for (uint32 i = 0; i < fList->RectCount(); i++) {
            const dng_rect& rect = fList->Rect(i);
            const dng_rect overlap = rect & dstArea;
            if (overlap.IsEmpty()) continue;
            if (fList->IsRectIsolated(i, 4)) {
                if (int64(rect.r) == int64(rect.l) + 1 &&
                    int64(rect.l) >= int64(imageBounds.l) + 2 &&
                    int64(rect.r) <= int64(imageBounds.r) - 2) {
                    FixSingleColumn(src, overlap);
                    continue;
                }
                if (int64(rect.b) == int64(rect.t) + 1 &&
                    int64(rect.t) >= int64(imageBounds.t) + 2 &&
                    int64(rect.b) <= int64(imageBounds.b) - 2) {
                    FixSingleRow(src, overlap);
                    continue;
                }
            }
            FixClusteredRect(src, overlap, imageBounds);
        }
    }

    dst.CopyArea(src, dstArea, 0, 0, dst.Planes());
}

void dng_opcode_FixBadPixelsList::FixIsolatedPixel(dng_pixel_buffer& b, const dng_point& p) {
    uint32 sum = 0, n = 0;
    if (IsGreen(p.v, p.h))
        Score(b, p.v, p.h, kIsolatedGreen, 4, 0, sum, n);
    else
        Score(b, p.v, p.h, kIsolatedOther, 4, 0, sum, n);
    *b.DirtyPixel_uint16(p.v, p.h) = uint16((sum + (n >> 1)) / n);
}

void dng_opcode_FixBadPixelsList::FixClusteredPixel(dng_pixel_buffer& b, uint32 index,
                                                    const dng_rect& imageBounds) {
    const dng_point p = fList->Point(index);
    const bool green = IsGreen(p.v, p.h);
    for (uint32 ring = 0; ring < 3; ring++) {
        if (kRings[ring].greenOnly && !green) continue;
        uint32 sum = 0, n = 0;
        for (const auto& o : kRings[ring].offset) {
            if (o[0] == 0 && o[1] == 0) break;
            const dng_point q(p.v + o[0], p.h + o[1]);
            if (!fList->IsPointValid(q, imageBounds, index)) continue;
            sum += uint32(Sample(b, q.v, q.h));
            n++;
        }
        if (n) {
            *b.DirtyPixel_uint16(p.v, p.h) = uint16((sum + (n >> 1)) / n);
            return;
        }
    }
}

void dng_opcode_FixBadPixelsList::FixSingleColumn(dng_pixel_buffer& b, const dng_rect& rect) {
    const int32 c = rect.l;
    for (int32 r = rect.t; r < rect.b; r++) {
        uint32 sum = 0, n = 0;
        int32 low = 0, high = 0;
        if (IsGreen(r, c)) {
            const auto P = [&](int32 dr, int32 dc) { return Sample(b, r + dr, c + dc); };
            const int32 k =
                (16 + 8 * (P(0, -2) + P(0, 2)) + 4 * (P(-2, -2) + P(-2, 2) + P(2, -2) + P(2, 2)) -
                 3 * (P(-1, -3) + P(-1, -1) + P(-1, 1) + P(-1, 3) + P(1, -3) + P(1, -1) + P(1, 1) +
                      P(1, 3)) -
                 (P(-3, -3) + P(-3, -1) + P(-3, 1) + P(-3, 3) + P(3, -3) + P(3, -1) + P(3, 1) +
                  P(3, 3))) >>
                5;
            const int32 d[4] = {P(-1, -1), P(-1, 1), P(1, -1), P(1, 1)};
            low = std::clamp(*std::min_element(d, d + 4) + k, 0, 65535);
            high = std::clamp(*std::max_element(d, d + 4) + k, 0, 65535);
            Score(b, r, c, kColumnGreen, 7, k, sum, n);
        } else {
            const int32 a = Sample(b, r, c - 2);
            const int32 z = Sample(b, r, c + 2);
            low = std::min(a, z);
            high = std::max(a, z);
            Score(b, r, c, kColumnOther, 7, 0, sum, n);
        }
        int64 value = (sum + (n >> 1)) / n;
        value = std::min<int64>(value, high);
        value = std::max<int64>(value, low);
        *b.DirtyPixel_uint16(r, c) = uint16(value);
    }
}

void dng_opcode_FixBadPixelsList::FixSingleRow(dng_pixel_buffer& b, const dng_rect& rect) {
    dng_pixel_buffer t = b;
    t.fArea = dng_rect(b.fArea.l, b.fArea.t, b.fArea.r, b.fArea.b);
    t.fRowStep = b.fColStep;
    t.fColStep = b.fRowStep;
    FixSingleColumn(t, dng_rect(rect.l, rect.t, rect.r, rect.b));
}

void dng_opcode_FixBadPixelsList::FixClusteredRect(dng_pixel_buffer& b, const dng_rect& rect,
                                                   const dng_rect& imageBounds) {
    for (int32 r = rect.t; r < rect.b; r++) {
        for (int32 c = rect.l; c < rect.r; c++) {
            const bool green = IsGreen(r, c);
            for (const Ring& ring : kRings) {
                if (ring.greenOnly && !green) continue;
                uint32 sum = 0, n = 0;
                for (const auto& o : ring.offset) {
                    if (o[0] == 0 && o[1] == 0) break;
                    const dng_point q(r + o[0], c + o[1]);
                    if (!fList->IsPointValid(q, imageBounds)) continue;
                    sum += uint32(Sample(b, q.v, q.h));
                    n++;
                }
                if (n) {
                    *b.DirtyPixel_uint16(r, c) = uint16((sum + (n >> 1)) / n);
                    break;
                }
            }
        }
    }
}
