#include "dng/core/dng_rect.h"

#include <algorithm>

#include "dng/core/dng_exception.h"
#include "dng/core/dng_safe_arithmetic.h"

dng_point operator+(const dng_point& a, const dng_point& b) {
    return dng_point(SafeInt32Add(a.v, b.v), SafeInt32Add(a.h, b.h));
}

dng_point operator-(const dng_point& a, const dng_point& b) {
    return dng_point(SafeInt32Sub(a.v, b.v), SafeInt32Sub(a.h, b.h));
}

dng_rect::dng_rect(int32 top, int32 left, int32 bottom, int32 right)
    : t(top), l(left), b(bottom), r(right) {
    int32 ignored;
    if (!SafeInt32SubChecked(b, t, &ignored) || !SafeInt32SubChecked(r, l, &ignored))
        ThrowProgramError("Overflow in dng_rect constructor");
}

dng_rect::dng_rect(uint32 height, uint32 width) {
    if (!ConvertUint32ToInt32(height, &b) || !ConvertUint32ToInt32(width, &r))
        ThrowProgramError("Overflow in dng_rect constructor");
}

dng_rect::dng_rect(const dng_point& size) : dng_rect(0, 0, size.v, size.h) {}

uint32 dng_rect::W() const {
    if (r < l) return 0;
    int32 w;
    if (!SafeInt32SubChecked(r, l, &w)) ThrowProgramError("Overflow computing rectangle width");
    return static_cast<uint32>(w);
}

uint32 dng_rect::H() const {
    if (b < t) return 0;
    int32 h;
    if (!SafeInt32SubChecked(b, t, &h)) ThrowProgramError("Overflow computing rectangle height");
    return static_cast<uint32>(h);
}

dng_point dng_rect::Size() const {
    return dng_point(static_cast<int32>(H()), static_cast<int32>(W()));
}

dng_rect dng_rect::Intersect(const dng_rect& x, const dng_rect& y) {
    dng_rect result;
    result.t = std::max(x.t, y.t);
    result.l = std::max(x.l, y.l);
    result.b = std::min(x.b, y.b);
    result.r = std::min(x.r, y.r);
    if (result.IsEmpty()) result = dng_rect();
    return result;
}

dng_rect dng_rect::Union(const dng_rect& x, const dng_rect& y) {
    if (x.IsEmpty()) return y;
    if (y.IsEmpty()) return x;
    dng_rect result;
    result.t = std::min(x.t, y.t);
    result.l = std::min(x.l, y.l);
    result.b = std::max(x.b, y.b);
    result.r = std::max(x.r, y.r);
    return result;
}

dng_rect operator+(const dng_rect& a, const dng_point& offset) {
    return dng_rect(SafeInt32Add(a.t, offset.v), SafeInt32Add(a.l, offset.h),
                    SafeInt32Add(a.b, offset.v), SafeInt32Add(a.r, offset.h));
}

dng_rect operator-(const dng_rect& a, const dng_point& offset) {
    return dng_rect(SafeInt32Sub(a.t, offset.v), SafeInt32Sub(a.l, offset.h),
                    SafeInt32Sub(a.b, offset.v), SafeInt32Sub(a.r, offset.h));
}

dng_rect_real64 dng_rect_real64::Intersect(const dng_rect_real64& x, const dng_rect_real64& y) {
    dng_rect_real64 result(std::max(x.t, y.t), std::max(x.l, y.l), std::min(x.b, y.b),
                           std::min(x.r, y.r));
    if (result.IsEmpty()) result = dng_rect_real64();
    return result;
}

dng_rect_real64 dng_rect_real64::Union(const dng_rect_real64& x, const dng_rect_real64& y) {
    if (x.IsEmpty()) return y;
    if (y.IsEmpty()) return x;
    return dng_rect_real64(std::min(x.t, y.t), std::min(x.l, y.l), std::max(x.b, y.b),
                           std::max(x.r, y.r));
}

dng_rect_real64 dng_rect_real64::FromPoints(const dng_point_real64& p1, const dng_point_real64& p2,
                                            const dng_point_real64& p3,
                                            const dng_point_real64& p4) {
    return dng_rect_real64(std::min({p1.v, p2.v, p3.v, p4.v}), std::min({p1.h, p2.h, p3.h, p4.h}),
                           std::max({p1.v, p2.v, p3.v, p4.v}), std::max({p1.h, p2.h, p3.h, p4.h}));
}
