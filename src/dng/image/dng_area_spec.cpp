#include "dng/image/dng_area_spec.h"

#include <algorithm>

#include "dng/core/dng_exception.h"
#include "dng/core/dng_safe_arithmetic.h"
#include "dng/core/dng_stream.h"

void dng_area_spec::GetData(dng_stream& stream) {
    fArea.t = stream.Get_int32();
    fArea.l = stream.Get_int32();
    fArea.b = stream.Get_int32();
    fArea.r = stream.Get_int32();
    fPlane = stream.GetUInt32();
    fPlanes = stream.GetUInt32();
    fRowPitch = stream.GetUInt32();
    fColPitch = stream.GetUInt32();

    if (fPlanes < 1 || fRowPitch < 1 || fColPitch < 1) ThrowBadFormat("bad opcode area");

    if (fArea.t < fArea.b && fArea.l < fArea.r) {
        int32 height = 0;
        int32 width = 0;
        if (!SafeInt32SubChecked(fArea.b, fArea.t, &height) ||
            !SafeInt32SubChecked(fArea.r, fArea.l, &width))
            ThrowBadFormat("bad opcode area");
        if (fRowPitch >= uint32(height) || fColPitch >= uint32(width)) {
            fRowPitch = std::min(fRowPitch, uint32(height));
            fColPitch = std::min(fColPitch, uint32(width));
        }
    } else if (fRowPitch != 1 || fColPitch != 1) {
        ThrowBadFormat("bad opcode area");
    }
}

void dng_area_spec::PutData(dng_stream& stream) const {
    stream.PutUInt32(uint32(fArea.t));
    stream.PutUInt32(uint32(fArea.l));
    stream.PutUInt32(uint32(fArea.b));
    stream.PutUInt32(uint32(fArea.r));
    stream.PutUInt32(fPlane);
    stream.PutUInt32(fPlanes);
    stream.PutUInt32(fRowPitch);
    stream.PutUInt32(fColPitch);
}

dng_rect dng_area_spec::Overlap(const dng_rect& tile) const {
    if (fArea.IsEmpty()) return tile;
    const dng_rect o = fArea & tile;
    if (o.IsEmpty()) return dng_rect();

    // Offsets within the area are non-negative and below 2^31, so 64-bit
    // arithmetic cannot overflow here.
    const int64 dt = int64(o.t) - fArea.t;
    const int64 dl = int64(o.l) - fArea.l;
    const int64 top = fArea.t + (dt + fRowPitch - 1) / fRowPitch * fRowPitch;
    const int64 left = fArea.l + (dl + fColPitch - 1) / fColPitch * fColPitch;
    if (top >= o.b || left >= o.r) return dng_rect();

    const int64 h = o.b - top;
    const int64 w = o.r - left;
    const int64 bottom = top + h - (h - 1) % fRowPitch;
    const int64 right = left + w - (w - 1) % fColPitch;
    return dng_rect(int32(top), int32(left), int32(bottom), int32(right));
}
