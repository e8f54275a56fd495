#include "dng/image/dng_fast_interpolator.h"

#include <algorithm>

#include "dng/core/dng_exception.h"
#include "dng/core/dng_utils.h"
#include "dng/image/dng_image.h"
#include "dng/image/dng_pixel_buffer.h"

namespace {

int32_t scaled(int32_t v, int32_t factor) {
    int32_t r;
    if (__builtin_mul_overflow(v, factor, &r))
        ThrowDNGError(dng_error_unknown, "Overflow in dng_rect constructor");
    return r;
}

}  // namespace

dng_fast_interpolator::dng_fast_interpolator(const dng_mosaic_info& info, const dng_image& srcImage,
                                             dng_image& dstImage, const dng_point& downScale,
                                             uint32_t srcPlane)
    : dng_filter_task("dng_fast_interpolator", srcImage, dstImage),
      fInfo(info),
      fDownScale(downScale) {
    const dng_point pattern = info.fCFAPatternSize;
    if (pattern.v < 1 || pattern.v > int32_t(dng_mosaic_info::kMaxCFAPattern) || pattern.h < 1 ||
        pattern.h > int32_t(dng_mosaic_info::kMaxCFAPattern) || downScale.v < 1 ||
        downScale.h < 1 || downScale.v > int32_t(dng_mosaic_info::kMaxDownScale) ||
        downScale.h > int32_t(dng_mosaic_info::kMaxDownScale) || srcPlane >= srcImage.Planes()) {
        ThrowDNGError(dng_error_unknown, "Invalid fast interpolation set-up");
    }

    fSrcPlane = srcPlane;
    fSrcPlanes = 1;
    fSrcPixelType = 3;
    fDstPixelType = 3;
    fSrcRepeat = pattern;
    fUnitCell = pattern;
    fMaxTileSize =
        dng_point(std::max(256 / downScale.v, pattern.v), std::max(256 / downScale.h, pattern.h));

    const uint32_t planes = std::min<uint32_t>(info.fColorPlanes, dng_mosaic_info::kMaxColorPlanes);
    for (int32_t r = 0; r < int32_t(dng_mosaic_info::kMaxCFAPattern); ++r) {
        for (int32_t c = 0; c < int32_t(dng_mosaic_info::kMaxCFAPattern); ++c) {
            fFilterColor[r][c] = kNoPlane;
            for (uint32_t p = 0; p < planes; ++p) {
                if (info.fCFAPattern[r][c] == info.fCFAPlaneColor[p]) {
                    fFilterColor[r][c] = uint8_t(p);
                    break;
                }
            }
        }
    }
}

dng_fast_interpolator::~dng_fast_interpolator() = default;

dng_rect dng_fast_interpolator::SrcArea(const dng_rect& dstArea) {
    return dng_rect(scaled(dstArea.t, fDownScale.v), scaled(dstArea.l, fDownScale.h),
                    scaled(dstArea.b, fDownScale.v), scaled(dstArea.r, fDownScale.h));
}

dng_point dng_fast_interpolator::SrcTileSize(const dng_point& dstTileSize) {
    return dng_point(scaled(dstTileSize.v, fDownScale.v), scaled(dstTileSize.h, fDownScale.h));
}

void dng_fast_interpolator::ProcessArea(uint32_t, dng_pixel_buffer& srcBuffer,
                                        dng_pixel_buffer& dstBuffer) {
    const dng_rect& dstArea = dstBuffer.fArea;
    const uint32_t patRows = uint32_t(fInfo.fCFAPatternSize.v);
    const uint32_t patCols = uint32_t(fInfo.fCFAPatternSize.h);
    const uint32_t planes = std::min<uint32_t>(dstBuffer.fPlanes, dng_mosaic_info::kMaxColorPlanes);

    for (int32_t dstRow = dstArea.t; dstRow < dstArea.b; ++dstRow) {
        const int32_t srcTop = dstRow * fDownScale.v;
        const uint32_t rowPhase0 = FloorMod(srcTop, patRows);
        for (int32_t dstCol = dstArea.l; dstCol < dstArea.r; ++dstCol) {
            const int32_t srcLeft = dstCol * fDownScale.h;
            const uint32_t colPhase0 = FloorMod(srcLeft, patCols);
            uint32_t total[dng_mosaic_info::kMaxColorPlanes] = {};
            uint32_t count[dng_mosaic_info::kMaxColorPlanes] = {};
            uint32_t rowPhase = rowPhase0;
            for (int32_t r = 0; r < fDownScale.v; ++r) {
                const uint16_t* s =
                    srcBuffer.ConstPixel_uint16(srcTop + r, srcLeft, srcBuffer.fPlane);
                uint32_t colPhase = colPhase0;
                for (int32_t c = 0; c < fDownScale.h; ++c) {
                    const uint8_t plane = fFilterColor[rowPhase][colPhase];
                    if (plane != kNoPlane) {
                        total[plane] += s[int64_t(c) * srcBuffer.fColStep];
                        count[plane]++;
                    }
                    if (++colPhase == patCols) colPhase = 0;
                }
                if (++rowPhase == patRows) rowPhase = 0;
            }
            for (uint32_t p = 0; p < planes; ++p) {
                const uint32_t value = count[p] ? (total[p] + (count[p] >> 1)) / count[p] : 0;
                *dstBuffer.DirtyPixel_uint16(dstRow, dstCol, dstBuffer.fPlane + p) =
                    uint16_t(value);
            }
        }
    }
}
