// The area an opcode touches: a rectangle (empty = no restriction), a range
// of planes and a row and column pitch. Read from and written to the opcode
// parameter block as eight uint32 values. A plain value.
#pragma once

#include "dng/core/dng_rect.h"
#include "dng/core/dng_types.h"

class dng_stream;

class dng_area_spec {
public:
    static constexpr uint32 kDataSize = 32;

    explicit dng_area_spec(const dng_rect& area = dng_rect(), uint32 plane = 0, uint32 planes = 1,
                           uint32 rowPitch = 1, uint32 colPitch = 1)
        : fArea(area), fPlane(plane), fPlanes(planes), fRowPitch(rowPitch), fColPitch(colPitch) {}

    const dng_rect& Area() const { return fArea; }
    uint32 Plane() const { return fPlane; }
    uint32 Planes() const { return fPlanes; }
    uint32 RowPitch() const { return fRowPitch; }
    uint32 ColPitch() const { return fColPitch; }

    // Reads and validates (dng_error_bad_format for a bad area).
    void GetData(dng_stream& stream);
    void PutData(dng_stream& stream) const;

    // The part of the tile on the pitch grid: from the first grid row and
    // column inside the tile to one past the last; empty when none.
    dng_rect Overlap(const dng_rect& tile) const;

private:
    dng_rect fArea;
    uint32 fPlane;
    uint32 fPlanes;
    uint32 fRowPitch;
    uint32 fColPitch;
};
