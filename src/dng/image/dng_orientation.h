// The eight TIFF/EXIF image orientations plus "unknown", held as an internal
// code whose bit 2 is a mirror (applied first) and whose bits 0-1 count
// clockwise quarter turns, so that flips, composition and inversion are bit
// operations.
//
// A plain value type; safe to copy and use from any thread.
#pragma once

#include <cstdint>

class dng_matrix;

class dng_orientation {
public:
    enum : uint32_t {
        kNormal = 0,
        kRotate90CW = 1,
        kRotate180 = 2,
        kRotate90CCW = 3,
        kMirror = 4,
        kMirror90CW = 5,
        kMirror180 = 6,
        kMirror90CCW = 7,
        kUnknown = 8
    };

    dng_orientation() = default;

    static dng_orientation Normal() { return dng_orientation(kNormal); }
    static dng_orientation Rotate90CW() { return dng_orientation(kRotate90CW); }
    static dng_orientation Rotate180() { return dng_orientation(kRotate180); }
    static dng_orientation Rotate90CCW() { return dng_orientation(kRotate90CCW); }
    static dng_orientation Mirror() { return dng_orientation(kMirror); }
    static dng_orientation Mirror90CW() { return dng_orientation(kMirror90CW); }
    static dng_orientation Mirror180() { return dng_orientation(kMirror180); }
    static dng_orientation Mirror90CCW() { return dng_orientation(kMirror90CCW); }
    static dng_orientation Unknown() { return dng_orientation(kUnknown); }

    // Internal code 0..8.
    uint32_t GetInternal() const { return fCode; }
    void SetInternal(uint32_t code) { fCode = code <= kUnknown ? code : kNormal; }

    // TIFF codes 1..9; anything else reads as normal.
    void SetTIFF(uint32_t tiff);
    uint32_t GetTIFF() const;

    static dng_orientation TIFFtoDNG(uint32_t tiff) {
        dng_orientation o;
        o.SetTIFF(tiff);
        return o;
    }

    bool IsValid() const { return fCode < kUnknown; }
    bool NotValid() const { return !IsValid(); }

    // Transposes rows and columns / reverses columns / reverses rows.
    bool FlipD() const;
    bool FlipH() const;
    bool FlipV() const;

    bool operator==(const dng_orientation& b) const { return fCode == b.fCode; }
    bool operator!=(const dng_orientation& b) const { return fCode != b.fCode; }

    // The orientation that undoes this one.
    dng_orientation operator-() const;

    // a + b: apply a, then b.
    dng_orientation operator+(const dng_orientation& b) const;
    dng_orientation& operator+=(const dng_orientation& b) { return *this = *this + b; }
    dng_orientation operator-(const dng_orientation& b) const { return *this + (-b); }

    // Matrices mapping unit-square coordinates (u -> 1 - u for a flip) under
    // this orientation; true when any flip applies.
    bool ForwardMatrix3(dng_matrix& m, bool horizontalFirstRow) const;
    bool ForwardMatrix4(dng_matrix& m, bool horizontalFirstRow) const;

private:
    explicit dng_orientation(uint32_t code) : fCode(code) {}

    uint32_t fCode = kNormal;
};
