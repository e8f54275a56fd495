#include "dng/image/dng_orientation.h"

#include "dng/core/dng_matrix.h"

namespace {

constexpr uint32_t kMirrorBit = 4;

uint32_t turns(uint32_t code) { return code & 3u; }
bool mirrored(uint32_t code) { return (code & kMirrorBit) != 0; }

// Row r of the identity of size n, with a flip of coordinate k (u -> 1 - u)
// when asked; the translation sits in the last column.
dng_matrix flipMatrix(uint32_t n, uint32_t k) {
    dng_matrix f(n, n);
    f.SetIdentity(n);
    f[k][k] = -1.0;
    f[k][n - 1] = 1.0;
    return f;
}

dng_matrix swapMatrix(uint32_t n) {
    dng_matrix f(n, n);
    f.SetIdentity(n);
    f[0][0] = 0.0;
    f[1][1] = 0.0;
    f[0][1] = 1.0;
    f[1][0] = 1.0;
    return f;
}

}  // namespace

void dng_orientation::SetTIFF(uint32_t tiff) {
    static const uint32_t kFromTIFF[10] = {kNormal,      kNormal,      kMirror,     kRotate180,
                                           kMirror180,   kMirror90CCW, kRotate90CW, kMirror90CW,
                                           kRotate90CCW, kUnknown};
    fCode = tiff <= 9 ? kFromTIFF[tiff] : kNormal;
}

uint32_t dng_orientation::GetTIFF() const {
    static const uint32_t kToTIFF[9] = {1, 6, 3, 8, 2, 7, 4, 5, 9};
    return fCode <= kUnknown ? kToTIFF[fCode] : 1;
}

bool dng_orientation::FlipD() const { return (fCode & 1u) != 0; }

bool dng_orientation::FlipH() const {
    if (mirrored(fCode)) return (fCode & 2u) == 0;
    return (fCode & 2u) != 0;
}

bool dng_orientation::FlipV() const {
    if (mirrored(fCode)) return FlipD() == FlipH();
    return FlipD() != FlipH();
}

dng_orientation dng_orientation::operator-() const {
    uint32_t x = fCode;
    if ((fCode & 1u) && (fCode & kMirrorBit)) x ^= 2u;
    return dng_orientation((fCode & kMirrorBit) | ((0u - x) & 3u));
}

dng_orientation dng_orientation::operator+(const dng_orientation& b) const {
    if (!mirrored(b.fCode)) {
        return dng_orientation((fCode & kMirrorBit) | ((turns(fCode) + turns(b.fCode)) & 3u));
    }
    return dng_orientation(((fCode & kMirrorBit) ^ kMirrorBit) |
                           ((turns(b.fCode) - turns(fCode)) & 3u));
}

bool dng_orientation::ForwardMatrix3(dng_matrix& m, bool horizontalFirstRow) const {
    m = dng_matrix(3, 3);
    m.SetIdentity(3);
    // Coordinate 0 is horizontal when horizontalFirstRow, else vertical.
    const uint32_t hIndex = horizontalFirstRow ? 0 : 1;
    const uint32_t vIndex = horizontalFirstRow ? 1 : 0;
    if (FlipH()) m = flipMatrix(3, hIndex) * m;
    if (FlipV()) m = flipMatrix(3, vIndex) * m;
    if (FlipD()) m = swapMatrix(3) * m;
    return FlipH() || FlipV() || FlipD();
}

bool dng_orientation::ForwardMatrix4(dng_matrix& m, bool horizontalFirstRow) const {
    m = dng_matrix(4, 4);
    m.SetIdentity(4);
    const uint32_t hIndex = horizontalFirstRow ? 0 : 1;
    const uint32_t vIndex = horizontalFirstRow ? 1 : 0;
    if (FlipH()) m = flipMatrix(4, hIndex) * m;
    if (FlipV()) m = flipMatrix(4, vIndex) * m;
    if (FlipD()) m = swapMatrix(4) * m;
    return FlipH() || FlipV() || FlipD();
}
