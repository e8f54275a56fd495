#include "raw/RawColor.h"

// The clamps in the pixel loops only if-convert (and so vectorise) when
// comparisons may be assumed not to trap.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC optimize("no-trapping-math")
#endif

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "dng/color/dng_color_spec.h"
#include "dng/color/dng_xy_coord.h"
#include "platform/Colorimetry.h"
#include "platform/RowBands.h"
#include "raw/DemosaicTiles.h"

namespace {

dng_xy_coord toXY(const platform::colorimetry::Chromaticity& c) { return dng_xy_coord(c.x, c.y); }
const dng_xy_coord kD65 = toXY(platform::colorimetry::kD65White);

inline uint16_t ConvertSample(const RawMatrix3& m, int row, float r, float g, float b) {
    return platform::ClampToU16(m[row][0] * r + m[row][1] * g + m[row][2] * b);
}

// src and dst may be the same run: each chunk is read whole before it is
// written. Converting the samples in one flat pass each way and keeping the
// matrix step on floats lets every loop vectorise.
void ConvertRun(const uint16_t* src, uint16_t* dst, size_t pixels, const RawMatrix3& matrix) {
    const float m00 = matrix[0][0], m01 = matrix[0][1], m02 = matrix[0][2];
    const float m10 = matrix[1][0], m11 = matrix[1][1], m12 = matrix[1][2];
    const float m20 = matrix[2][0], m21 = matrix[2][1], m22 = matrix[2][2];
    constexpr size_t kChunk = 256;
    float in[kChunk * 3], out[kChunk * 3];
    for (size_t first = 0; first < pixels; first += kChunk) {
        const size_t n = std::min(kChunk, pixels - first);
        const uint16_t* s = src + first * 3;
        for (size_t j = 0; j < n * 3; j++) in[j] = s[j];
        for (size_t i = 0; i < n; i++) {
            const float r = in[3 * i], g = in[3 * i + 1], b = in[3 * i + 2];
            out[3 * i] = m00 * r + m01 * g + m02 * b;
            out[3 * i + 1] = m10 * r + m11 * g + m12 * b;
            out[3 * i + 2] = m20 * r + m21 * g + m22 * b;
        }
        uint16_t* d = dst + first * 3;
        const platform::ClampBounds u16 = platform::U16Bounds();
        for (size_t j = 0; j < n * 3; j++) d[j] = platform::ClampToU16(out[j], u16);
    }
}

}  // namespace

dng_matrix RawRGBToXYZ(const dng_xy_coord (&primaries)[3], const dng_xy_coord& white) {
    dng_matrix p(3, 3);
    for (uint32 c = 0; c < 3; c++) {
        const dng_vector_3 xyz = XYtoXYZ(primaries[c]);
        for (uint32 r = 0; r < 3; r++) p[r][c] = xyz[r];
    }
    const dng_vector_3 w = XYtoXYZ(white);
    const dng_vector s = Invert(p) * w;
    for (uint32 r = 0; r < 3; r++)
        for (uint32 c = 0; c < 3; c++) p[r][c] *= s[c];
    return p;
}

const dng_matrix& RawProPhotoD65FromXYZ() {
    static const dng_matrix m = [] {
        const auto& p = platform::colorimetry::kProPhotoPrimaries;
        const dng_xy_coord primaries[3] = {toXY(p[0]), toXY(p[1]), toXY(p[2])};
        return Invert(RawRGBToXYZ(primaries, kD65));
    }();
    return m;
}

dng_matrix RawCameraToProPhoto(const dng_color_spec& spec) {
    return RawProPhotoD65FromXYZ() * MapWhiteMatrix(D50_xy_coord(), kD65) * spec.CameraToPCS();
}

dng_matrix RawCameraFromXYZ(const dng_color_spec& spec) {
    // The dng_color_spec's camera-to-PCS matrix adapts the white to D50; undo that
    // adaptation so the matrix speaks of the scene under its own white.
    dng_matrix cameraFromXYZ =
        Invert(MapWhiteMatrix(D50_xy_coord(), spec.WhiteXY()) * spec.CameraToPCS());
    const dng_vector white = cameraFromXYZ * dng_vector(XYtoXYZ(spec.WhiteXY()));
    const real64 largest = white.MaxEntry();
    if (largest > 0) cameraFromXYZ = (1.0 / largest) * cameraFromXYZ;
    return cameraFromXYZ;
}

RawMatrix3 ToRawMatrix3(const dng_matrix& m) {
    RawMatrix3 out{};
    for (uint32 r = 0; r < 3; r++)
        for (uint32 c = 0; c < 3; c++) out[r][c] = static_cast<float>(m[r][c]);
    return out;
}

void RawOrientedSize(uint32_t tiffOrientation, uint32_t width, uint32_t height,
                     uint32_t& orientedWidth, uint32_t& orientedHeight) {
    const bool swap = tiffOrientation >= 5 && tiffOrientation <= 8;
    orientedWidth = swap ? height : width;
    orientedHeight = swap ? width : height;
}

namespace {

// Source pixel of output (ox, oy) = base + ox·dx + oy·dy, counted from the
// crop's top-left pixel in rows of `rowLength`.
struct OrientedSteps {
    int64_t base, dx, dy;
};

OrientedSteps OrientationSteps(uint32_t tiffOrientation, const RawCrop& crop, uint32_t rowLength) {
    const int64_t s = rowLength;
    const int64_t w1 = int64_t(crop.width) - 1;
    const int64_t h1 = (int64_t(crop.height) - 1) * s;
    int64_t base = 0, dx = 1, dy = s;
    switch (tiffOrientation) {
        case 2:
            base = w1, dx = -1, dy = s;
            break;
        case 3:
            base = w1 + h1, dx = -1, dy = -s;
            break;
        case 4:
            base = h1, dx = 1, dy = -s;
            break;
        case 5:
            base = 0, dx = s, dy = 1;
            break;
        case 6:
            base = h1, dx = -s, dy = 1;
            break;
        case 7:
            base = w1 + h1, dx = -s, dy = -1;
            break;
        case 8:
            base = w1, dx = s, dy = -1;
            break;
        default:
            break;
    }
    return {base, dx, dy};
}

}  // namespace

RawCrop RawUnorientedArea(uint32_t tiffOrientation, uint32_t cropWidth, uint32_t cropHeight,
                          const RawCrop& area) {
    const auto [base, dx, dy] =
        OrientationSteps(tiffOrientation, RawCrop{0, 0, cropWidth, cropHeight}, cropWidth);
    int64_t left = INT64_MAX, top = INT64_MAX, right = -1, bottom = -1;
    for (const int64_t ox : {int64_t(area.left), int64_t(area.left) + area.width - 1})
        for (const int64_t oy : {int64_t(area.top), int64_t(area.top) + area.height - 1}) {
            const int64_t at = base + ox * dx + oy * dy;
            const int64_t x = at % cropWidth, y = at / cropWidth;
            left = std::min(left, x), right = std::max(right, x);
            top = std::min(top, y), bottom = std::max(bottom, y);
        }
    return RawCrop{uint32_t(left), uint32_t(top), uint32_t(right - left + 1),
                   uint32_t(bottom - top + 1)};
}

void RawConvertCropOrient(const uint16_t* src, uint32_t srcWidth, const RawCrop& crop,
                          uint32_t tiffOrientation, const RawMatrix3& matrix, uint16_t* dst,
                          unsigned bands) {
    uint32_t outW = 0, outH = 0;
    RawOrientedSize(tiffOrientation, crop.width, crop.height, outW, outH);
    if (outW == 0 || outH == 0) return;
    const OrientedSteps steps = OrientationSteps(tiffOrientation, crop, srcWidth);
    const int64_t base = steps.base, dx = steps.dx, dy = steps.dy;
    const uint16_t* origin = src + (size_t(crop.top) * srcWidth + crop.left) * 3;
    platform::RunInRowBands(outH, bands, [&](uint32_t firstRow, uint32_t endRow) {
        for (uint32_t oy = firstRow; oy < endRow; oy++) {
            uint16_t* out = dst + size_t(oy) * outW * 3;
            int64_t at = base + int64_t(oy) * dy;
            if (dx == 1) {
                // Upright rows: a contiguous run the compiler can vectorise.
                ConvertRun(origin + at * 3, out, outW, matrix);
                continue;
            }
            for (uint32_t ox = 0; ox < outW; ox++, at += dx, out += 3) {
                const uint16_t* p = origin + at * 3;
                const float r = p[0], g = p[1], b = p[2];
                out[0] = ConvertSample(matrix, 0, r, g, b);
                out[1] = ConvertSample(matrix, 1, r, g, b);
                out[2] = ConvertSample(matrix, 2, r, g, b);
            }
        }
    });
}

void RawConvertInPlace(uint16_t* rgb, size_t pixels, const RawMatrix3& matrix, unsigned bands) {
    // Bands of 4096-pixel rows keep the split even for any image shape.
    constexpr size_t kRow = 4096;
    const size_t rows = (pixels + kRow - 1) / kRow;
    if (rows == 0) return;
    platform::RunInRowBands(uint32_t(rows), bands, [&](uint32_t firstRow, uint32_t endRow) {
        const size_t end = std::min(pixels, size_t(endRow) * kRow);
        const size_t first = size_t(firstRow) * kRow;
        ConvertRun(rgb + first * 3, rgb + first * 3, end - first, matrix);
    });
}
