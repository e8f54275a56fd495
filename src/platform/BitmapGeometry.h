// Plain geometry for bitmaps and tiles: points, sizes, rectangles with a null
// and an infinite value, and 2-D affine transforms. Value types; thread-safe
// as any value is.
#pragma once

#include <cmath>
#include <limits>

namespace platform {

struct Point {
    double x = 0;
    double y = 0;
    bool operator==(const Point&) const = default;
};

struct Size {
    double width = 0;
    double height = 0;
    bool operator==(const Size&) const = default;
};

// Origin and extent in pixels. The null rectangle (no area at all, the result
// of intersecting disjoint rectangles) has an infinite origin; the infinite
// rectangle covers every coordinate.
struct Rect {
    double x = 0;
    double y = 0;
    double width = 0;
    double height = 0;

    static Rect null() {
        const double inf = std::numeric_limits<double>::infinity();
        return {inf, inf, 0, 0};
    }
    static Rect infinite() {
        const double big = std::numeric_limits<double>::max();
        return {-big / 2, -big / 2, big, big};
    }

    bool isNull() const { return std::isinf(x) || std::isinf(y); }
    bool isInfinite() const { return *this == infinite(); }
    bool isEmpty() const { return isNull() || width == 0 || height == 0; }

    // The same area with a non-negative width and height.
    Rect standardized() const {
        Rect r = *this;
        if (r.width < 0) {
            r.x += r.width;
            r.width = -r.width;
        }
        if (r.height < 0) {
            r.y += r.height;
            r.height = -r.height;
        }
        return r;
    }
    double minX() const { return standardized().x; }
    double minY() const { return standardized().y; }
    double maxX() const {
        Rect s = standardized();
        return s.x + s.width;
    }
    double maxY() const {
        Rect s = standardized();
        return s.y + s.height;
    }

    // The common area; null when the rectangles do not meet (touching edges
    // give a rectangle of zero width or height).
    Rect intersection(const Rect& other) const {
        if (isNull() || other.isNull()) return null();
        Rect a = standardized(), b = other.standardized();
        double x0 = std::fmax(a.x, b.x), y0 = std::fmax(a.y, b.y);
        double x1 = std::fmin(a.x + a.width, b.x + b.width);
        double y1 = std::fmin(a.y + a.height, b.y + b.height);
        if (x1 < x0 || y1 < y0) return null();
        return {x0, y0, x1 - x0, y1 - y0};
    }

    Rect integral() const {
        if (isNull()) return *this;
        Rect s = standardized();
        double x0 = std::floor(s.x), y0 = std::floor(s.y);
        return {x0, y0, std::ceil(s.x + s.width) - x0, std::ceil(s.y + s.height) - y0};
    }

    bool operator==(const Rect&) const = default;
};

// x' = a x + c y + tx, y' = b x + d y + ty.
struct AffineTransform {
    double a = 1, b = 0, c = 0, d = 1, tx = 0, ty = 0;

    Point apply(Point p) const { return {a * p.x + c * p.y + tx, b * p.x + d * p.y + ty}; }

    // `this` applied first, then `then`.
    AffineTransform concat(const AffineTransform& then) const {
        return {a * then.a + b * then.c,
                a * then.b + b * then.d,
                c * then.a + d * then.c,
                c * then.b + d * then.d,
                tx * then.a + ty * then.c + then.tx,
                tx * then.b + ty * then.d + then.ty};
    }

    double determinant() const { return a * d - b * c; }

    // The inverse; a singular transform is returned unchanged.
    AffineTransform inverted() const {
        double det = determinant();
        if (det == 0) return *this;
        AffineTransform r{d / det, -b / det, -c / det, a / det, 0, 0};
        r.tx = -(r.a * tx + r.c * ty);
        r.ty = -(r.b * tx + r.d * ty);
        return r;
    }

    bool operator==(const AffineTransform&) const = default;
};

}  // namespace platform
