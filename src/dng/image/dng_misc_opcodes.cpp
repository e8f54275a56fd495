#include "dng/image/dng_misc_opcodes.h"

#include <algorithm>
#include <cmath>

#include "dng/color/dng_bottleneck.h"
#include "dng/core/dng_exception.h"
#include "dng/core/dng_host.h"
#include "dng/core/dng_memory_allocator.h"
#include "dng/core/dng_safe_arithmetic.h"
#include "dng/core/dng_stream.h"
#include "dng/core/dng_tag_types.h"
#include "dng/image/dng_image.h"
#include "dng/image/dng_negative.h"
#include "dng/image/dng_pixel_buffer.h"

namespace {

// Planes of the area that the buffer holds.
template <typename F>
void ForEachPlane(const dng_area_spec& spec, const dng_pixel_buffer& buffer, F&& f) {
    const uint64 end = uint64(spec.Plane()) + spec.Planes();
    const uint64 bufferEnd = uint64(buffer.Plane()) + buffer.Planes();
    for (uint64 p = std::max<uint64>(spec.Plane(), buffer.Plane()); p < end && p < bufferEnd; p++)
        f(uint32(p));
}

uint16 Stage3Black(const dng_negative& negative, uint32 stage) {
    return stage >= 2 ? negative.Stage3BlackLevel() : 0;
}

}  // namespace

// ---------------------------------------------------------------------------

dng_opcode_TrimBounds::dng_opcode_TrimBounds(const dng_rect& bounds)
    : dng_opcode(dngOpcode_TrimBounds, dngVersion_1_3_0_0, kFlag_None), fBounds(bounds) {}

dng_opcode_TrimBounds::dng_opcode_TrimBounds(dng_stream& stream)
    : dng_opcode(dngOpcode_TrimBounds, stream, "TrimBounds") {
    if (ReadByteCount(stream) != 16) ThrowBadFormat("bad TrimBounds size");
    fBounds.t = stream.Get_int32();
    fBounds.l = stream.Get_int32();
    fBounds.b = stream.Get_int32();
    fBounds.r = stream.Get_int32();
    if (fBounds.IsEmpty()) ThrowBadFormat("bad TrimBounds rectangle");
}

void dng_opcode_TrimBounds::PutData(dng_stream& stream) const {
    stream.PutUInt32(16);
    stream.PutUInt32(uint32(fBounds.t));
    stream.PutUInt32(uint32(fBounds.l));
    stream.PutUInt32(uint32(fBounds.b));
    stream.PutUInt32(uint32(fBounds.r));
}

void dng_opcode_TrimBounds::Apply(dng_host&, dng_negative&, std::unique_ptr<dng_image>& image) {
    if (fBounds.IsEmpty()) ThrowBadFormat("bad TrimBounds rectangle");
    if ((fBounds & image->Bounds()) != fBounds) ThrowBadFormat("TrimBounds outside the image");
    image->Trim(fBounds);
}

// ---------------------------------------------------------------------------

dng_opcode_MapTable::dng_opcode_MapTable(dng_host& host, const dng_area_spec& areaSpec,
                                         const uint16* table, uint32 count)
    : dng_inplace_opcode(dngOpcode_MapTable, dngVersion_1_3_0_0, kFlag_None),
      fAreaSpec(areaSpec),
      fCount(count) {
    if (count == 0 || count > kTableEntries) ThrowProgramError("bad MapTable count");
    fTable = host.Allocate(kTableEntries * 2);
    gDNGBottleneck.CopyBytes(table, fTable->Buffer(), count * 2);
    ReplicateLastEntry();
}

dng_opcode_MapTable::dng_opcode_MapTable(dng_host& host, dng_stream& stream)
    : dng_inplace_opcode(dngOpcode_MapTable, stream, "MapTable") {
    const uint32 byteCount = ReadByteCount(stream);
    fAreaSpec.GetData(stream);
    fCount = stream.GetUInt32();
    if (uint64(byteCount) != 2 * uint64(fCount) + 36) ThrowBadFormat("bad MapTable size");
    if (fCount == 0 || fCount > kTableEntries) ThrowBadFormat("bad MapTable count");
    fTable = host.Allocate(kTableEntries * 2);
    uint16* table = fTable->Buffer_uint16();
    for (uint32 i = 0; i < fCount; i++) table[i] = stream.GetUInt16();
    ReplicateLastEntry();
}

void dng_opcode_MapTable::ReplicateLastEntry() {
    uint16* table = fTable->Buffer_uint16();
    std::fill(table + fCount, table + kTableEntries, table[fCount - 1]);
}

void dng_opcode_MapTable::PutData(dng_stream& stream) const {
    stream.PutUInt32(2 * fCount + 36);
    fAreaSpec.PutData(stream);
    stream.PutUInt32(fCount);
    const uint16* table = fTable->Buffer_uint16();
    for (uint32 i = 0; i < fCount; i++) stream.PutUInt16(table[i]);
}

uint32 dng_opcode_MapTable::BufferPixelType(uint32) { return ttShort; }

dng_rect dng_opcode_MapTable::ModifiedBounds(const dng_rect& imageBounds) {
    return fAreaSpec.Overlap(imageBounds);
}

void dng_opcode_MapTable::Prepare(dng_negative& negative, uint32, const dng_point&, const dng_rect&,
                                  uint32, uint32, dng_memory_allocator& allocator) {
    fBlackAdjustedTable.reset();
    const uint16 black = Stage3Black(negative, Stage());
    if (black == 0) return;

    // The table maps black-subtracted, rescaled values; re-express it for
    // data that still carries the black level.
    fBlackAdjustedTable = allocator.Allocate(kTableEntries * 2);
    const uint16* t = fTable->Buffer_uint16();
    uint16* adjusted = fBlackAdjustedTable->Buffer_uint16();
    const real64 range = 65535.0 - black;
    const real64 s = 65535.0 / range;
    const auto entry = [t](real64 index) {
        return real64(t[uint32(std::min(std::max(index, 0.0), 65535.0))]);
    };
    for (uint32 x = 0; x < kTableEntries; x++) {
        const real64 y = (real64(x) - black) * s;
        const real64 v = y < 0.0 ? 2.0 * t[0] - entry(0.5 - y) : entry(y + 0.5);
        const real64 scaled = v * range / 65535.0;
        const real64 rounded = scaled < 0.0 ? std::trunc(scaled - 0.5) : std::trunc(scaled + 0.5);
        adjusted[x] = uint16(std::clamp(rounded + black, 0.0, 65535.0));
    }
}

void dng_opcode_MapTable::ProcessArea(dng_negative&, uint32, dng_pixel_buffer& buffer,
                                      const dng_rect& dstArea, const dng_rect&) {
    const dng_rect o = fAreaSpec.Overlap(dstArea);
    if (o.IsEmpty()) return;
    const uint16* table =
        fBlackAdjustedTable ? fBlackAdjustedTable->Buffer_uint16() : fTable->Buffer_uint16();
    const uint32 rows = (o.H() + fAreaSpec.RowPitch() - 1) / fAreaSpec.RowPitch();
    const uint32 cols = (o.W() + fAreaSpec.ColPitch() - 1) / fAreaSpec.ColPitch();
    ForEachPlane(fAreaSpec, buffer, [&](uint32 p) {
        gDNGBottleneck.MapArea16(buffer.DirtyPixel_uint16(o.t, o.l, p), 1, rows, cols, 0,
                                 buffer.RowStep() * int32(fAreaSpec.RowPitch()),
                                 buffer.ColStep() * int32(fAreaSpec.ColPitch()), table);
    });
}

// ---------------------------------------------------------------------------

dng_opcode_MapPolynomial::dng_opcode_MapPolynomial(const dng_area_spec& areaSpec, uint32 degree,
                                                   const real64* coefficients)
    : dng_inplace_opcode(dngOpcode_MapPolynomial, dngVersion_1_3_0_0, kFlag_None),
      fAreaSpec(areaSpec),
      fDegree(std::min(degree, kMaxDegree)) {
    for (uint32 i = 0; i <= fDegree; i++) fCoefficient[i] = coefficients[i];
    while (fDegree > 0 && fCoefficient[fDegree] == 0.0) fDegree--;
}

dng_opcode_MapPolynomial::dng_opcode_MapPolynomial(dng_stream& stream)
    : dng_inplace_opcode(dngOpcode_MapPolynomial, stream, "MapPolynomial") {
    const uint32 byteCount = ReadByteCount(stream);
    fAreaSpec.GetData(stream);
    fDegree = stream.GetUInt32();
    if (uint64(byteCount) != 8 * uint64(fDegree) + 44) ThrowBadFormat("bad MapPolynomial size");
    if (fDegree > kMaxDegree) ThrowBadFormat("bad MapPolynomial degree");
    for (uint32 i = 0; i <= fDegree; i++) fCoefficient[i] = stream.GetReal64();
}

void dng_opcode_MapPolynomial::PutData(dng_stream& stream) const {
    stream.PutUInt32(8 * fDegree + 44);
    fAreaSpec.PutData(stream);
    stream.PutUInt32(fDegree);
    for (uint32 i = 0; i <= fDegree; i++) stream.PutReal64(fCoefficient[i]);
}

uint32 dng_opcode_MapPolynomial::BufferPixelType(uint32 imagePixelType) {
    // Stage-1 coefficients are in the image's integer units; the float
    // buffer holds values divided by that range.
    real64 s = 1.0;
    if (Stage() == 1) {
        switch (imagePixelType) {
            case ttFloat:
                s = 1.0;
                break;
            case ttLong:
                s = 4294967295.0;
                break;
            case ttShort:
                s = 65535.0;
                break;
            default:
                ThrowBadFormat("MapPolynomial on an unsupported pixel type");
        }
    }
    for (uint32 i = 0; i <= kMaxDegree; i++)
        fCoefficient32[i] = real32(fCoefficient[i] * std::pow(s, real64(i) - 1.0));
    return ttFloat;
}

dng_rect dng_opcode_MapPolynomial::ModifiedBounds(const dng_rect& imageBounds) {
    return fAreaSpec.Overlap(imageBounds);
}

void dng_opcode_MapPolynomial::ProcessArea(dng_negative& negative, uint32, dng_pixel_buffer& buffer,
                                           const dng_rect& dstArea, const dng_rect&) {
    const dng_rect o = fAreaSpec.Overlap(dstArea);
    if (o.IsEmpty()) return;
    const uint16 black = Stage3Black(negative, Stage());
    ForEachPlane(fAreaSpec, buffer, [&](uint32 p) {
        DoProcess(buffer, o, p, fAreaSpec.RowPitch(), fAreaSpec.ColPitch(), fCoefficient32, fDegree,
                  black);
    });
}

void dng_opcode_MapPolynomial::DoProcess(dng_pixel_buffer& buffer, const dng_rect& area,
                                         uint32 plane, uint32 rowPitch, uint32 colPitch,
                                         const real32* coefficients, uint32 degree,
                                         uint16 blackLevel) const {
    gDNGBottleneck.MapPolynomial32(buffer.DirtyPixel_real32(area.t, area.l, plane),
                                   buffer.RowStep() * int32(rowPitch), area.H(), area.W(), rowPitch,
                                   colPitch, coefficients, degree, blackLevel);
}

// ---------------------------------------------------------------------------

dng_opcode_RowColumnBase::dng_opcode_RowColumnBase(uint32 opcodeID, bool perRow, bool isDelta,
                                                   const dng_area_spec& areaSpec,
                                                   std::unique_ptr<dng_memory_block> table)
    : dng_inplace_opcode(opcodeID, dngVersion_1_3_0_0, kFlag_None),
      fPerRow(perRow),
      fIsDelta(isDelta),
      fAreaSpec(areaSpec),
      fTable(std::move(table)) {}

dng_opcode_RowColumnBase::dng_opcode_RowColumnBase(uint32 opcodeID, bool perRow, bool isDelta,
                                                   dng_host& host, dng_stream& stream,
                                                   const char* name)
    : dng_inplace_opcode(opcodeID, stream, name), fPerRow(perRow), fIsDelta(isDelta) {
    const uint32 byteCount = ReadByteCount(stream);
    fAreaSpec.GetData(stream);
    const uint32 expected = TableCount();
    const uint32 count = stream.GetUInt32();
    if (count != expected) ThrowBadFormat("bad row or column count");
    if (uint64(byteCount) != 4 * uint64(count) + 36)
        ThrowBadFormat("bad row or column opcode size");
    if (count) {
        fTable = host.Allocate(SafeUint32Mult(count, 4));
        real32* table = fTable->Buffer_real32();
        for (uint32 i = 0; i < count; i++) table[i] = stream.GetReal32();
    }
}

uint32 dng_opcode_RowColumnBase::TableCount() const {
    const dng_rect& a = fAreaSpec.Area();
    return fPerRow ? SafeUint32DivideUp(a.H(), fAreaSpec.RowPitch())
                   : SafeUint32DivideUp(a.W(), fAreaSpec.ColPitch());
}

void dng_opcode_RowColumnBase::PutData(dng_stream& stream) const {
    const uint32 count = TableCount();
    stream.PutUInt32(4 * count + 36);
    fAreaSpec.PutData(stream);
    stream.PutUInt32(count);
    const real32* table = Table();
    const uint32 stored = fTable ? fTable->LogicalSize() / 4 : 0;
    for (uint32 i = 0; i < count; i++) stream.PutReal32(i < stored ? table[i] : 0.0f);
}

uint32 dng_opcode_RowColumnBase::BufferPixelType(uint32 imagePixelType) {
    if (fIsDelta) {
        switch (imagePixelType) {
            case ttFloat:
                fValueScale = 1.0f;
                break;
            case ttLong:
                fValueScale = real32(1.0 / 4294967295.0);
                break;
            case ttShort:
                fValueScale = real32(1.0 / 65535.0);
                break;
            default:
                ThrowBadFormat("delta opcode on an unsupported pixel type");
        }
    }
    return ttFloat;
}

dng_rect dng_opcode_RowColumnBase::ModifiedBounds(const dng_rect& imageBounds) {
    return fAreaSpec.Overlap(imageBounds);
}

void dng_opcode_RowColumnBase::ProcessArea(dng_negative& negative, uint32, dng_pixel_buffer& buffer,
                                           const dng_rect& dstArea, const dng_rect&) {
    const dng_rect o = fAreaSpec.Overlap(dstArea);
    if (o.IsEmpty() || !fTable) return;

    const uint16 black = Stage3Black(negative, Stage());
    real32 d = fValueScale;
    real32 b = 0.0f;
    if (black != 0) {
        d = real32(real64(d) * (black * -1.5259021896696422e-5 + 1.0));
        b = real32(black * 1.5259021896696422e-5);
    }

    // The table has one entry per grid row (column) of the area; an area
    // without a rectangle has none, so nothing is indexed beyond it.
    const uint32 tableCount = fTable->LogicalSize() / 4;
    const real32* table = Table();
    const dng_rect& area = fAreaSpec.Area();
    const uint32 rowPitch = fAreaSpec.RowPitch();
    const uint32 colPitch = fAreaSpec.ColPitch();

    const auto apply = [&](real32 x, real32 t) {
        const real32 y = fIsDelta ? x + t * d : (x - b) * t + b;
        return std::max(std::min(y, 1.0f), -1.0f);
    };

    ForEachPlane(fAreaSpec, buffer, [&](uint32 p) {
        for (int64 y = o.t; y < o.b; y += rowPitch) {
            for (int64 x = o.l; x < o.r; x += colPitch) {
                const uint64 index =
                    fPerRow ? uint64(y - area.t) / rowPitch : uint64(x - area.l) / colPitch;
                if (index >= tableCount) continue;
                real32* sample = buffer.DirtyPixel_real32(int32(y), int32(x), p);
                *sample = apply(*sample, table[index]);
            }
        }
    });
}

dng_opcode_DeltaPerRow::dng_opcode_DeltaPerRow(const dng_area_spec& areaSpec,
                                               std::unique_ptr<dng_memory_block> table)
    : dng_opcode_RowColumnBase(dngOpcode_DeltaPerRow, true, true, areaSpec, std::move(table)) {}
dng_opcode_DeltaPerRow::dng_opcode_DeltaPerRow(dng_host& host, dng_stream& stream)
    : dng_opcode_RowColumnBase(dngOpcode_DeltaPerRow, true, true, host, stream, "DeltaPerRow") {}

dng_opcode_DeltaPerColumn::dng_opcode_DeltaPerColumn(const dng_area_spec& areaSpec,
                                                     std::unique_ptr<dng_memory_block> table)
    : dng_opcode_RowColumnBase(dngOpcode_DeltaPerColumn, false, true, areaSpec, std::move(table)) {}
dng_opcode_DeltaPerColumn::dng_opcode_DeltaPerColumn(dng_host& host, dng_stream& stream)
    : dng_opcode_RowColumnBase(dngOpcode_DeltaPerColumn, false, true, host, stream,
                               "DeltaPerColumn") {}

dng_opcode_ScalePerRow::dng_opcode_ScalePerRow(const dng_area_spec& areaSpec,
                                               std::unique_ptr<dng_memory_block> table)
    : dng_opcode_RowColumnBase(dngOpcode_ScalePerRow, true, false, areaSpec, std::move(table)) {}
dng_opcode_ScalePerRow::dng_opcode_ScalePerRow(dng_host& host, dng_stream& stream)
    : dng_opcode_RowColumnBase(dngOpcode_ScalePerRow, true, false, host, stream, "ScalePerRow") {}

dng_opcode_ScalePerColumn::dng_opcode_ScalePerColumn(const dng_area_spec& areaSpec,
                                                     std::unique_ptr<dng_memory_block> table)
    : dng_opcode_RowColumnBase(dngOpcode_ScalePerColumn, false, false, areaSpec, std::move(table)) {
}
dng_opcode_ScalePerColumn::dng_opcode_ScalePerColumn(dng_host& host, dng_stream& stream)
    : dng_opcode_RowColumnBase(dngOpcode_ScalePerColumn, false, false, host, stream,
                               "ScalePerColumn") {}
