// Rectangles {top, left, bottom, right}; bottom and right are exclusive. A
// rectangle is empty when top >= bottom or left >= right. Plain values.
#pragma once

#include "dng/core/dng_point.h"
#include "dng/core/dng_types.h"

class dng_rect {
public:
    int32 t = 0;
    int32 l = 0;
    int32 b = 0;
    int32 r = 0;

    dng_rect() = default;
    // dng_error_unknown when bottom - top or right - left overflows int32.
    dng_rect(int32 top, int32 left, int32 bottom, int32 right);
    // (0, 0, height, width); a size above 2147483647 gives dng_error_unknown.
    dng_rect(uint32 height, uint32 width);
    explicit dng_rect(const dng_point& size);

    bool operator==(const dng_rect& o) const {
        return t == o.t && l == o.l && b == o.b && r == o.r;
    }
    bool operator!=(const dng_rect& o) const { return !(*this == o); }

    bool IsZero() const { return t == 0 && l == 0 && b == 0 && r == 0; }
    bool NotZero() const { return !IsZero(); }
    bool IsEmpty() const { return t >= b || l >= r; }
    bool NotEmpty() const { return !IsEmpty(); }

    // Width and height: 0 when negative, dng_error_unknown on overflow.
    uint32 W() const;
    uint32 H() const;

    dng_point TL() const { return dng_point(t, l); }
    dng_point TR() const { return dng_point(t, r); }
    dng_point BL() const { return dng_point(b, l); }
    dng_point BR() const { return dng_point(b, r); }
    dng_point Size() const;

    // Intersection: an empty result is the zero rectangle.
    static dng_rect Intersect(const dng_rect& a, const dng_rect& b);
    // Union: an empty operand yields the other one.
    static dng_rect Union(const dng_rect& a, const dng_rect& b);

    dng_rect& operator&=(const dng_rect& o) { return *this = Intersect(*this, o); }
    dng_rect& operator|=(const dng_rect& o) { return *this = Union(*this, o); }
};

inline dng_rect operator&(const dng_rect& a, const dng_rect& b) {
    return dng_rect::Intersect(a, b);
}
inline dng_rect operator|(const dng_rect& a, const dng_rect& b) { return dng_rect::Union(a, b); }

// Offsets, overflow-checked (dng_error_overflow).
dng_rect operator+(const dng_rect& a, const dng_point& offset);
dng_rect operator-(const dng_rect& a, const dng_point& offset);

class dng_rect_real64 {
public:
    real64 t = 0.0;
    real64 l = 0.0;
    real64 b = 0.0;
    real64 r = 0.0;

    dng_rect_real64() = default;
    dng_rect_real64(real64 top, real64 left, real64 bottom, real64 right)
        : t(top), l(left), b(bottom), r(right) {}
    explicit dng_rect_real64(const dng_rect& rect) : t(rect.t), l(rect.l), b(rect.b), r(rect.r) {}

    bool operator==(const dng_rect_real64& o) const {
        return t == o.t && l == o.l && b == o.b && r == o.r;
    }
    bool operator!=(const dng_rect_real64& o) const { return !(*this == o); }

    bool IsZero() const { return t == 0.0 && l == 0.0 && b == 0.0 && r == 0.0; }
    bool IsEmpty() const { return !(t < b) || !(l < r); }
    bool NotEmpty() const { return !IsEmpty(); }

    real64 W() const { return r > l ? r - l : 0.0; }
    real64 H() const { return b > t ? b - t : 0.0; }

    dng_point_real64 TL() const { return dng_point_real64(t, l); }
    dng_point_real64 BR() const { return dng_point_real64(b, r); }

    static dng_rect_real64 Intersect(const dng_rect_real64& a, const dng_rect_real64& b);
    static dng_rect_real64 Union(const dng_rect_real64& a, const dng_rect_real64& b);
    // The smallest rectangle holding the four points.
    static dng_rect_real64 FromPoints(const dng_point_real64& p1, const dng_point_real64& p2,
                                      const dng_point_real64& p3, const dng_point_real64& p4);
};

inline dng_rect_real64 operator&(const dng_rect_real64& a, const dng_rect_real64& b) {
    return dng_rect_real64::Intersect(a, b);
}
inline dng_rect_real64 operator|(const dng_rect_real64& a, const dng_rect_real64& b) {
    return dng_rect_real64::Union(a, b);
}
