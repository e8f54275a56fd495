#include "dng/image/dng_gain_map.h"

#include <algorithm>
#include <cmath>

#include "dng/core/dng_exception.h"
#include "dng/core/dng_host.h"
#include "dng/core/dng_memory_allocator.h"
#include "dng/core/dng_safe_arithmetic.h"
#include "dng/core/dng_stream.h"
#include "dng/core/dng_utils.h"
#include "dng/image/dng_negative.h"
#include "dng/image/dng_pixel_buffer.h"

dng_gain_map::dng_gain_map(dng_memory_allocator& allocator, const dng_point& points,
                           const dng_point_real64& spacing, const dng_point_real64& origin,
                           uint32 planes)
    : fPoints(points),
      fSpacing(spacing),
      fOrigin(origin),
      fPlanes(planes),
      fRowStep(SafeUint32Mult(uint32(points.h), planes)),
      fBuffer(allocator.Allocate(ComputeTileBufferSize(11, points, planes, 1))) {}

real32 dng_gain_map::Interpolate(int32 row, int32 col, uint32 plane, const dng_rect& bounds) const {
    return dng_gain_map_interpolator(*this, bounds, row, col, plane).Interpolate();
}

uint32 dng_gain_map::PutStreamSize() const {
    return 44 + SafeUint32Mult(SafeUint32Mult3(uint32(fPoints.v), uint32(fPoints.h), fPlanes), 4);
}

void dng_gain_map::PutStream(dng_stream& stream) const {
    stream.PutUInt32(uint32(fPoints.v));
    stream.PutUInt32(uint32(fPoints.h));
    stream.PutReal64(fSpacing.v);
    stream.PutReal64(fSpacing.h);
    stream.PutReal64(fOrigin.v);
    stream.PutReal64(fOrigin.h);
    stream.PutUInt32(fPlanes);
    for (int32 r = 0; r < fPoints.v; r++)
        for (int32 c = 0; c < fPoints.h; c++)
            for (uint32 p = 0; p < fPlanes; p++) stream.PutReal32(Entry(uint32(r), uint32(c), p));
}

std::unique_ptr<dng_gain_map> dng_gain_map::GetStream(dng_host& host, dng_stream& stream) {
    const uint32 pointsV = stream.GetUInt32();
    const uint32 pointsH = stream.GetUInt32();
    dng_point_real64 spacing;
    dng_point_real64 origin;
    spacing.v = stream.GetReal64();
    spacing.h = stream.GetReal64();
    origin.v = stream.GetReal64();
    origin.h = stream.GetReal64();
    const uint32 planes = stream.GetUInt32();
    if (pointsV == 1) {
        spacing.v = 1.0;
        origin.v = 0.0;
    }
    if (pointsH == 1) {
        spacing.h = 1.0;
        origin.h = 0.0;
    }
    if (pointsV < 1 || pointsH < 1 || !(spacing.v > 0.0) || !(spacing.h > 0.0) || planes == 0 ||
        pointsV > 0x7FFFFFFF || pointsH > 0x7FFFFFFF)
        ThrowBadFormat("bad gain map");
    // The gains must be in the stream before their block is allocated.
    const uint64 gains = uint64(pointsV) * pointsH * planes;
    if (gains * 4 > stream.RemainingBytes()) ThrowBadFormat("gain map beyond its opcode");
    auto map = std::make_unique<dng_gain_map>(
        host.Allocator(), dng_point(int32(pointsV), int32(pointsH)), spacing, origin, planes);
    for (uint32 r = 0; r < pointsV; r++)
        for (uint32 c = 0; c < pointsH; c++)
            for (uint32 p = 0; p < planes; p++) map->Entry(r, c, p) = stream.GetReal32();
    return map;
}

dng_gain_map_interpolator::dng_gain_map_interpolator(const dng_gain_map& map,
                                                     const dng_rect& bounds, int32 row,
                                                     int32 column, uint32 plane)
    : fMap(map),
      fScaleV(1.0 / real64(bounds.H())),
      fScaleH(1.0 / real64(bounds.W())),
      fOffsetV(0.5 - bounds.t),
      fOffsetH(0.5 - bounds.l),
      fColumn(column),
      fPlane(plane) {
    const real64 y = ((row + fOffsetV) * fScaleV - map.Origin().v) / map.Spacing().v;
    if (y <= 0.0) {
        fRowIndex1 = fRowIndex2 = 0;
        fRowFract = 0.0f;
    } else {
        if (map.Points().v < 1) ThrowProgramError("Empty gain map");
        const uint32 last = uint32(map.Points().v - 1);
        if (y >= real64(last)) {
            fRowIndex1 = fRowIndex2 = last;
            fRowFract = 0.0f;
        } else {
            fRowIndex1 = uint32(y);
            fRowIndex2 = fRowIndex1 + 1;
            fRowFract = real32(y - real64(fRowIndex1));
        }
    }
    ResetColumn();
}

real32 dng_gain_map_interpolator::InterpolateEntry(uint32 colIndex) const {
    return fMap.Entry(fRowIndex1, colIndex, fPlane) * (1.0f - fRowFract) +
           fMap.Entry(fRowIndex2, colIndex, fPlane) * fRowFract;
}

void dng_gain_map_interpolator::ResetColumn() {
    const real64 x = ((fColumn + fOffsetH) * fScaleH - fMap.Origin().h) / fMap.Spacing().h;
    const auto columnAt = [this](real64 position) {
        const real64 c = std::ceil(position / fScaleH - fOffsetH);
        return int32(std::clamp(c, -2147483648.0, 2147483647.0));
    };
    if (x <= 0.0) {
        fBaseValue = InterpolateEntry(0);
        fBaseStep = 0.0f;
        fResetColumn = columnAt(fMap.Origin().h);
    } else {
        if (fMap.Points().h < 1) ThrowProgramError("Empty gain map");
        const uint32 last = uint32(fMap.Points().h - 1);
        if (x >= real64(last)) {
            fBaseValue = InterpolateEntry(last);
            fBaseStep = 0.0f;
            fResetColumn = 0x7FFFFFFF;
        } else {
            const uint32 j = uint32(x);
            const real64 a = InterpolateEntry(j);
            const real64 b = InterpolateEntry(j + 1);
            const real64 d = b - a;
            fBaseValue = real32((x - j) * d + a);
            fBaseStep = real32(d * fScaleH / fMap.Spacing().h);
            fResetColumn = columnAt(fMap.Origin().h + (j + 1) * fMap.Spacing().h);
        }
    }
    fBaseIndex = 0;
}

void dng_gain_map_interpolator::Increment() {
    if (++fColumn >= fResetColumn)
        ResetColumn();
    else
        fBaseIndex++;
}

dng_opcode_GainMap::dng_opcode_GainMap(const dng_area_spec& areaSpec,
                                       std::unique_ptr<dng_gain_map> gainMap)
    : dng_inplace_opcode(dngOpcode_GainMap, dngVersion_1_3_0_0, kFlag_None),
      fAreaSpec(areaSpec),
      fGainMap(std::move(gainMap)) {}

dng_opcode_GainMap::dng_opcode_GainMap(dng_host& host, dng_stream& stream)
    : dng_inplace_opcode(dngOpcode_GainMap, stream, "GainMap") {
    const uint32 byteCount = ReadByteCount(stream);
    const uint64 start = stream.Position();
    fAreaSpec.GetData(stream);
    fGainMap = dng_gain_map::GetStream(host, stream);
    if (stream.Position() != start + byteCount) ThrowBadFormat("bad GainMap size");
}

void dng_opcode_GainMap::PutData(dng_stream& stream) const {
    stream.PutUInt32(dng_area_spec::kDataSize + fGainMap->PutStreamSize());
    fAreaSpec.PutData(stream);
    fGainMap->PutStream(stream);
}

dng_rect dng_opcode_GainMap::ModifiedBounds(const dng_rect& imageBounds) {
    return fAreaSpec.Overlap(imageBounds);
}

void dng_opcode_GainMap::ProcessArea(dng_negative& negative, uint32, dng_pixel_buffer& buffer,
                                     const dng_rect& dstArea, const dng_rect& imageBounds) {
    const dng_rect overlap = fAreaSpec.Overlap(dstArea);
    if (overlap.IsEmpty()) return;

    const uint16 black = Stage() >= 2 ? negative.Stage3BlackLevel() : 0;
    const real32 b = real32(black) / 65535.0f;
    const real32 scale = 1.0f - b;
    const real32 inverse = 1.0f / scale;

    const uint32 rowPitch = fAreaSpec.RowPitch();
    const uint32 colPitch = fAreaSpec.ColPitch();
    const uint32 mapPlanes = fGainMap->Planes();
    const uint64 planeEnd = uint64(fAreaSpec.Plane()) + fAreaSpec.Planes();
    const uint64 bufferEnd = uint64(buffer.Plane()) + buffer.Planes();

    for (uint64 p = fAreaSpec.Plane(); p < planeEnd && p < bufferEnd; p++) {
        const uint32 mapPlane = std::min<uint32>(uint32(p), mapPlanes - 1);
        for (int64 row = overlap.t; row < overlap.b; row += rowPitch) {
            real32* samples = buffer.DirtyPixel_real32(int32(row), overlap.l, uint32(p));
            const int32 colStep = buffer.ColStep();
            dng_gain_map_interpolator interp(*fGainMap, imageBounds, int32(row), overlap.l,
                                             mapPlane);
            for (int64 col = overlap.l; col < overlap.r; col += colPitch) {
                real32& s = samples[(col - overlap.l) * colStep];
                real32 v = black ? s * inverse + (1.0f - inverse) : s;
                v = std::min(v * interp.Interpolate(), 1.0f);
                s = black ? v * scale + b : v;
                for (uint32 k = 0; k < colPitch; k++) interp.Increment();
            }
        }
    }
}
