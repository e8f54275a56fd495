// The DNG opcodes that crop, tone-map and correct fixed patterns:
// TrimBounds (crop to a rectangle), MapTable (16-bit look-up table),
// MapPolynomial (polynomial of degree up to 8), and DeltaPerRow/Column and
// ScalePerRow/Column (one offset or gain per row or column). The mapping
// and per-row/column opcodes work in place within an area (`dng_area_spec`).
//
// Each opcode owns its tables. After Prepare and BufferPixelType, ProcessArea
// only reads them, so tiles may run on several threads.
#pragma once

#include <memory>

#include "dng/core/dng_memory_block.h"
#include "dng/image/dng_area_spec.h"
#include "dng/image/dng_opcodes.h"

class dng_opcode_TrimBounds : public dng_opcode {
public:
    explicit dng_opcode_TrimBounds(const dng_rect& bounds);
    explicit dng_opcode_TrimBounds(dng_stream& stream);

    void PutData(dng_stream& stream) const override;
    void Apply(dng_host& host, dng_negative& negative, std::unique_ptr<dng_image>& image) override;

private:
    dng_rect fBounds;
};

class dng_opcode_MapTable : public dng_inplace_opcode {
public:
    static constexpr uint32 kTableEntries = 65536;

    dng_opcode_MapTable(dng_host& host, const dng_area_spec& areaSpec, const uint16* table,
                        uint32 count);
    dng_opcode_MapTable(dng_host& host, dng_stream& stream);

    void PutData(dng_stream& stream) const override;
    uint32 BufferPixelType(uint32 imagePixelType) override;
    dng_rect ModifiedBounds(const dng_rect& imageBounds) override;
    void Prepare(dng_negative& negative, uint32 threadCount, const dng_point& tileSize,
                 const dng_rect& imageBounds, uint32 imagePlanes, uint32 bufferPixelType,
                 dng_memory_allocator& allocator) override;
    void ProcessArea(dng_negative& negative, uint32 threadIndex, dng_pixel_buffer& buffer,
                     const dng_rect& dstArea, const dng_rect& imageBounds) override;

private:
    void ReplicateLastEntry();

    dng_area_spec fAreaSpec;
    std::unique_ptr<dng_memory_block> fTable;
    uint32 fCount = 0;
    std::unique_ptr<dng_memory_block> fBlackAdjustedTable;
};

class dng_opcode_MapPolynomial : public dng_inplace_opcode {
public:
    static constexpr uint32 kMaxDegree = 8;

    dng_opcode_MapPolynomial(const dng_area_spec& areaSpec, uint32 degree,
                             const real64* coefficients);
    explicit dng_opcode_MapPolynomial(dng_stream& stream);

    void PutData(dng_stream& stream) const override;
    uint32 BufferPixelType(uint32 imagePixelType) override;
    dng_rect ModifiedBounds(const dng_rect& imageBounds) override;
    void ProcessArea(dng_negative& negative, uint32 threadIndex, dng_pixel_buffer& buffer,
                     const dng_rect& dstArea, const dng_rect& imageBounds) override;

    uint32 Degree() const { return fDegree; }
    real64 Coefficient(uint32 i) const { return fCoefficient[i]; }

protected:
    virtual void DoProcess(dng_pixel_buffer& buffer, const dng_rect& area, uint32 plane,
                           uint32 rowPitch, uint32 colPitch, const real32* coefficients,
                           uint32 degree, uint16 blackLevel) const;

private:
    dng_area_spec fAreaSpec;
    uint32 fDegree = 0;
    real64 fCoefficient[kMaxDegree + 1] = {};
    real32 fCoefficient32[kMaxDegree + 1] = {};
};

// The four per-row and per-column opcodes share everything but the axis and
// the operation.
class dng_opcode_RowColumnBase : public dng_inplace_opcode {
public:
    void PutData(dng_stream& stream) const override;
    uint32 BufferPixelType(uint32 imagePixelType) override;
    dng_rect ModifiedBounds(const dng_rect& imageBounds) override;
    void ProcessArea(dng_negative& negative, uint32 threadIndex, dng_pixel_buffer& buffer,
                     const dng_rect& dstArea, const dng_rect& imageBounds) override;

    uint32 TableCount() const;
    const real32* Table() const { return fTable ? fTable->Buffer_real32() : nullptr; }

protected:
    dng_opcode_RowColumnBase(uint32 opcodeID, bool perRow, bool isDelta,
                             const dng_area_spec& areaSpec,
                             std::unique_ptr<dng_memory_block> table);
    dng_opcode_RowColumnBase(uint32 opcodeID, bool perRow, bool isDelta, dng_host& host,
                             dng_stream& stream, const char* name);

private:
    bool fPerRow;
    bool fIsDelta;
    dng_area_spec fAreaSpec;
    std::unique_ptr<dng_memory_block> fTable;
    real32 fValueScale = 1.0f;
};

class dng_opcode_DeltaPerRow : public dng_opcode_RowColumnBase {
public:
    dng_opcode_DeltaPerRow(const dng_area_spec& areaSpec, std::unique_ptr<dng_memory_block> table);
    dng_opcode_DeltaPerRow(dng_host& host, dng_stream& stream);
};

class dng_opcode_DeltaPerColumn : public dng_opcode_RowColumnBase {
public:
    dng_opcode_DeltaPerColumn(const dng_area_spec& areaSpec,
                              std::unique_ptr<dng_memory_block> table);
    dng_opcode_DeltaPerColumn(dng_host& host, dng_stream& stream);
};

class dng_opcode_ScalePerRow : public dng_opcode_RowColumnBase {
public:
    dng_opcode_ScalePerRow(const dng_area_spec& areaSpec, std::unique_ptr<dng_memory_block> table);
    dng_opcode_ScalePerRow(dng_host& host, dng_stream& stream);
};

class dng_opcode_ScalePerColumn : public dng_opcode_RowColumnBase {
public:
    dng_opcode_ScalePerColumn(const dng_area_spec& areaSpec,
                              std::unique_ptr<dng_memory_block> table);
    dng_opcode_ScalePerColumn(dng_host& host, dng_stream& stream);
};
