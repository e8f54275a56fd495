// The GainMap opcode: multiplies the samples of an area by gains from a
// coarse grid (lens shading), interpolated bilinearly to every pixel, with
// the stage-3 black level held out of the multiplication after stage 1.
// Grid positions are fractions of the image size (origin and spacing).
//
// The map is read once and only read during application; interpolators are
// per row and local, so tiles may run on several threads.
#pragma once

#include <memory>

#include "dng/core/dng_memory_block.h"
#include "dng/core/dng_point.h"
#include "dng/core/dng_rect.h"
#include "dng/image/dng_area_spec.h"
#include "dng/image/dng_opcodes.h"

class dng_memory_allocator;

class dng_gain_map {
public:
    dng_gain_map(dng_memory_allocator& allocator, const dng_point& points,
                 const dng_point_real64& spacing, const dng_point_real64& origin, uint32 planes);

    const dng_point& Points() const { return fPoints; }
    const dng_point_real64& Spacing() const { return fSpacing; }
    const dng_point_real64& Origin() const { return fOrigin; }
    uint32 Planes() const { return fPlanes; }

    real32& Entry(uint32 row, uint32 col, uint32 plane) {
        return fBuffer->Buffer_real32()[row * fRowStep + col * fPlanes + plane];
    }
    const real32& Entry(uint32 row, uint32 col, uint32 plane) const {
        return fBuffer->Buffer_real32()[row * fRowStep + col * fPlanes + plane];
    }

    // The gain at one pixel.
    real32 Interpolate(int32 row, int32 col, uint32 plane, const dng_rect& bounds) const;

    uint32 PutStreamSize() const;
    void PutStream(dng_stream& stream) const;
    // dng_error_bad_format for an empty or degenerate grid.
    static std::unique_ptr<dng_gain_map> GetStream(dng_host& host, dng_stream& stream);

private:
    dng_point fPoints;
    dng_point_real64 fSpacing;
    dng_point_real64 fOrigin;
    uint32 fPlanes;
    uint32 fRowStep;
    std::unique_ptr<dng_memory_block> fBuffer;
};

// Walks one image row of a gain map, recomputing only where a grid column
// is crossed.
class dng_gain_map_interpolator {
public:
    dng_gain_map_interpolator(const dng_gain_map& map, const dng_rect& bounds, int32 row,
                              int32 column, uint32 plane);

    real32 Interpolate() const { return fBaseValue + fBaseStep * real32(fBaseIndex); }
    void Increment();

private:
    real32 InterpolateEntry(uint32 colIndex) const;
    void ResetColumn();

    const dng_gain_map& fMap;
    real64 fScaleV;
    real64 fScaleH;
    real64 fOffsetV;
    real64 fOffsetH;
    int32 fColumn;
    uint32 fPlane;
    uint32 fRowIndex1 = 0;
    uint32 fRowIndex2 = 0;
    real32 fRowFract = 0.0f;
    int32 fResetColumn = 0;
    real32 fBaseValue = 0.0f;
    real32 fBaseStep = 0.0f;
    uint32 fBaseIndex = 0;
};

class dng_opcode_GainMap : public dng_inplace_opcode {
public:
    dng_opcode_GainMap(const dng_area_spec& areaSpec, std::unique_ptr<dng_gain_map> gainMap);
    dng_opcode_GainMap(dng_host& host, dng_stream& stream);

    void PutData(dng_stream& stream) const override;
    uint32 BufferPixelType(uint32) override { return 11; }
    dng_rect ModifiedBounds(const dng_rect& imageBounds) override;
    void ProcessArea(dng_negative& negative, uint32 threadIndex, dng_pixel_buffer& buffer,
                     const dng_rect& dstArea, const dng_rect& imageBounds) override;

    const dng_gain_map& GainMap() const { return *fGainMap; }

private:
    dng_area_spec fAreaSpec;
    std::unique_ptr<dng_gain_map> fGainMap;
};
