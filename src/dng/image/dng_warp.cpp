#include "dng/image/dng_warp.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "dng/core/dng_exception.h"
#include "dng/core/dng_host.h"
#include "dng/core/dng_safe_arithmetic.h"
#include "dng/core/dng_stream.h"
#include "dng/core/dng_utils.h"
#include "dng/image/dng_image.h"
#include "dng/image/dng_negative.h"
#include "dng/image/dng_pixel_buffer.h"

namespace {

dng_vector Vector(std::initializer_list<real64> values) {
    dng_vector v(uint32(values.size()));
    uint32 i = 0;
    for (real64 x : values) v[i++] = x;
    return v;
}

int32 RoundHalfAway(real64 x) {
    const real64 r = x < 0.0 ? std::trunc(x - 0.5) : std::trunc(x + 0.5);
    return int32(std::clamp(r, -2147483648.0, 2147483647.0));
}

int32 ClampToInt32(real64 x) { return int32(std::clamp(x, -2147483648.0, 2147483647.0)); }

bool CenterValid(const dng_point_real64& c) {
    return c.h >= 0.0 && c.h <= 1.0 && c.v >= 0.0 && c.v <= 1.0;
}

// The ratio of non-square pixels that warps and vignettes correct for.
real64 VerticalPixelScale(const dng_negative& negative) {
    const real64 aspect = (negative.DefaultScaleH().AsReal64() / negative.RawToFullScaleH()) /
                          (negative.DefaultScaleV().AsReal64() / negative.RawToFullScaleV());
    return aspect > 0.0 && std::isfinite(aspect) ? 1.0 / aspect : 1.0;
}

}  // namespace

// ---- parameters ------------------------------------------------------------

dng_warp_params::~dng_warp_params() = default;

bool dng_warp_params::IsRadialNOPAll() const {
    for (uint32 p = 0; p < fPlanes; p++)
        if (!IsRadialNOP(p)) return false;
    return true;
}

bool dng_warp_params::IsTangentialNOPAll() const {
    for (uint32 p = 0; p < fPlanes; p++)
        if (!IsTangentialNOP(p)) return false;
    return true;
}

bool dng_warp_params::IsValid() const {
    return fPlanes >= 1 && fPlanes <= kMaxPlanes && CenterValid(fCenter);
}

bool dng_warp_params::IsValidForNegative(const dng_negative& negative) const {
    return IsValid() && (fPlanes == 1 || fPlanes == negative.ColorChannels());
}

real64 dng_warp_params::EvaluateInverse(uint32 plane, real64 y) const {
    real64 x0 = 0.0, x1 = 1.0;
    real64 y0 = Evaluate(plane, x0), y1 = Evaluate(plane, x1);
    real64 x2 = x1;
    for (int i = 0; i < 30; i++) {
        if (std::fabs(y1 - y0) < 1e-10) return x1;
        x2 = std::clamp(x1 + (x1 - x0) * (y - y1) / (y1 - y0), 0.0, 1.0);
        const real64 y2 = Evaluate(plane, x2);
        x0 = x1;
        y0 = y1;
        x1 = x2;
        y1 = y2;
    }
    return x2;
}

dng_point_real64 dng_warp_params::EvaluateTangentialAt(uint32 plane,
                                                       const dng_point_real64& diff) const {
    const dng_point_real64 diff2(diff.v * diff.v, diff.h * diff.h);
    return EvaluateTangential(plane, diff2.v + diff2.h, diff, diff2);
}

dng_warp_params_rectilinear::dng_warp_params_rectilinear() {
    for (uint32 p = 0; p < kMaxPlanes; p++) {
        fRadParams[p] = Vector({1, 0, 0, 0});
        fTanParams[p] = Vector({0, 0});
    }
}

dng_warp_params_rectilinear::dng_warp_params_rectilinear(uint32 planes, const dng_vector radial[],
                                                         const dng_vector tangential[],
                                                         const dng_point_real64& center)
    : dng_warp_params(planes, center) {
    for (uint32 p = 0; p < std::min(planes, kMaxPlanes); p++) {
        fRadParams[p] = radial[p];
        fTanParams[p] = tangential[p];
    }
}

bool dng_warp_params_rectilinear::IsRadialNOP(uint32 plane) const {
    const dng_vector& r = fRadParams[plane];
    return r.Count() == 4 && r[0] == 1.0 && r[1] == 0.0 && r[2] == 0.0 && r[3] == 0.0;
}

bool dng_warp_params_rectilinear::IsTangentialNOP(uint32 plane) const {
    const dng_vector& t = fTanParams[plane];
    return t.Count() >= 2 && t[0] == 0.0 && t[1] == 0.0;
}

bool dng_warp_params_rectilinear::IsValid() const {
    if (!dng_warp_params::IsValid()) return false;
    for (uint32 p = 0; p < fPlanes; p++)
        if (fRadParams[p].Count() != 4 || fTanParams[p].Count() < 2) return false;
    return true;
}

void dng_warp_params_rectilinear::SpreadToPlanes(uint32 totalPlanes) {
    totalPlanes = std::min(totalPlanes, kMaxPlanes);
    for (uint32 p = fPlanes; p < totalPlanes; p++) {
        fRadParams[p] = fRadParams[0];
        fTanParams[p] = fTanParams[0];
    }
    if (totalPlanes > fPlanes) fPlanes = totalPlanes;
}

real64 dng_warp_params_rectilinear::Evaluate(uint32 plane, real64 r) const {
    const dng_vector& k = fRadParams[plane];
    const real64 r2 = r * r;
    return r * (k[0] + r2 * (k[1] + r2 * (k[2] + r2 * k[3])));
}

real64 dng_warp_params_rectilinear::EvaluateRatio(uint32 plane, real64 r2) const {
    const dng_vector& k = fRadParams[plane];
    return k[0] + r2 * (k[1] + r2 * (k[2] + r2 * k[3]));
}

dng_point_real64 dng_warp_params_rectilinear::EvaluateTangential(
    uint32 plane, real64 r2, const dng_point_real64& diff, const dng_point_real64& diff2) const {
    const real64 kt0 = fTanParams[plane][0];
    const real64 kt1 = fTanParams[plane][1];
    const real64 dvdh = diff.v * diff.h;
    return dng_point_real64(kt0 * (r2 + 2.0 * diff2.v) + 2.0 * kt1 * dvdh,
                            kt1 * (r2 + 2.0 * diff2.h) + 2.0 * kt0 * dvdh);
}

real64 dng_warp_params_rectilinear::MaxSourceRadialGap(real64 d) const {
    real64 maxGap = 0.0;
    for (uint32 p = 0; p < fPlanes; p++) {
        real64 gap = std::max(0.0, Evaluate(p, d));
        gap = std::max(gap, Evaluate(p, 1.0) - Evaluate(p, 1.0 - d));
        real64 candidates[4];
        uint32 n = 0;
        const real64 kr1 = fRadParams[p][1], kr2 = fRadParams[p][2], kr3 = fRadParams[p][3];
        const real64 d2 = d * d;
        if (kr3 != 0.0) {
            const real64 D = kr3 * kr2 * 35.0 * d2 + (25.0 * kr2 * kr2 - 63.0 * kr1 * kr3) +
                             kr3 * kr3 * 49.0 * d2 * d2;
            if (D >= 0.0) {
                const real64 q = 4.0 * kr3 * std::sqrt(D);
                const real64 b = -20.0 * kr2 * kr3 - 35.0 * d2 * kr3 * kr3;
                const real64 s = 4.58257569495584 / (42.0 * kr3);
                for (real64 m : {b - q, b + q}) {
                    if (m < 0.0) continue;
                    candidates[n++] = -d / 2.0 + std::sqrt(m) * s;
                    candidates[n++] = -d / 2.0 - std::sqrt(m) * s;
                }
            }
        } else if (kr2 != 0.0) {
            const real64 D = 25.0 * (-6.0 * kr1 * kr2 - 5.0 * d2 * kr2);
            if (D >= 0.0) {
                candidates[n++] = (-5.0 * d * kr2 + std::sqrt(D)) * (0.1 * kr2);
                candidates[n++] = (-5.0 * d * kr2 - std::sqrt(D)) * (0.1 * kr2);
            }
        }
        for (uint32 i = 0; i < n; i++)
            if (candidates[i] > 0.0 && candidates[i] < 1.0 - d)
                gap = std::max(gap, Evaluate(p, candidates[i] + d) - Evaluate(p, candidates[i]));
        // A regular sampling as well, so that the source tile never comes out
        // smaller than the warp needs.
        for (uint32 i = 0; i < 64 && d < 1.0; i++) {
            const real64 r = i * (1.0 - d) / 63.0;
            gap = std::max(gap, Evaluate(p, r + d) - Evaluate(p, r));
        }
        maxGap = std::max(maxGap, gap);
    }
    return maxGap;
}

dng_point_real64 dng_warp_params_rectilinear::MaxSourceTangentialGap(
    const dng_point_real64& minOffset, const dng_point_real64& maxOffset) const {
    dng_point_real64 result(0.0, 0.0);
    const real64 vs[3] = {minOffset.v, maxOffset.v, 0.0};
    const real64 hs[3] = {minOffset.h, maxOffset.h, 0.0};
    for (uint32 p = 0; p < fPlanes; p++) {
        real64 minV = std::numeric_limits<real32>::max(), maxV = -minV;
        real64 minH = minV, maxH = -minV;
        for (real64 v : vs)
            for (real64 h : hs) {
                const dng_point_real64 t = EvaluateTangential(
                    p, v * v + h * h, dng_point_real64(v, h), dng_point_real64(v * v, h * h));
                minV = std::min(minV, t.v);
                maxV = std::max(maxV, t.v);
                minH = std::min(minH, t.h);
                maxH = std::max(maxH, t.h);
            }
        result.v = std::max(result.v, maxV - minV);
        result.h = std::max(result.h, maxH - minH);
    }
    return result;
}

std::unique_ptr<dng_warp_params> dng_warp_params_rectilinear::Clone() const {
    return std::make_unique<dng_warp_params_rectilinear>(*this);
}

dng_warp_params_fisheye::dng_warp_params_fisheye() {
    for (uint32 p = 0; p < kMaxPlanes; p++) fRadParams[p] = Vector({0, 0, 0, 0});
}

dng_warp_params_fisheye::dng_warp_params_fisheye(uint32 planes, const dng_vector radial[],
                                                 const dng_point_real64& center)
    : dng_warp_params(planes, center) {
    for (uint32 p = 0; p < std::min(planes, kMaxPlanes); p++) fRadParams[p] = radial[p];
}

bool dng_warp_params_fisheye::IsValid() const {
    if (!dng_warp_params::IsValid()) return false;
    for (uint32 p = 0; p < fPlanes; p++)
        if (fRadParams[p].Count() != 4) return false;
    return true;
}

void dng_warp_params_fisheye::SpreadToPlanes(uint32 totalPlanes) {
    totalPlanes = std::min(totalPlanes, kMaxPlanes);
    for (uint32 p = fPlanes; p < totalPlanes; p++) fRadParams[p] = fRadParams[0];
    if (totalPlanes > fPlanes) fPlanes = totalPlanes;
}

real64 dng_warp_params_fisheye::Evaluate(uint32 plane, real64 r) const {
    const dng_vector& k = fRadParams[plane];
    const real64 t = std::atan(r);
    const real64 t2 = t * t;
    return t * (k[0] + t2 * (k[1] + t2 * (k[2] + t2 * k[3])));
}

real64 dng_warp_params_fisheye::EvaluateRatio(uint32 plane, real64 r2) const {
    if (r2 < 1e-12) return 1.0;
    const real64 r = std::sqrt(r2);
    return Evaluate(plane, r) / r;
}

dng_point_real64 dng_warp_params_fisheye::EvaluateTangential(uint32, real64,
                                                             const dng_point_real64&,
                                                             const dng_point_real64&) const {
    ThrowProgramError("fisheye warps have no tangential part");
}

real64 dng_warp_params_fisheye::MaxSourceRadialGap(real64 d) const {
    if (!(d > 0.0)) ThrowProgramError("bad radial gap");
    real64 maxGap = 0.0;
    for (uint32 p = 0; p < fPlanes; p++) {
        real64 gap = 0.0;
        for (uint32 i = 0; i < 128; i++) {
            const real64 r = i * (1.0 - d) / 127.0;
            gap = std::max(gap, Evaluate(p, r + d) - Evaluate(p, r));
        }
        maxGap = std::max(maxGap, gap);
    }
    return maxGap;
}

std::unique_ptr<dng_warp_params> dng_warp_params_fisheye::Clone() const {
    return std::make_unique<dng_warp_params_fisheye>(*this);
}

// ---- the filter --------------------------------------------------------------

dng_filter_warp::dng_filter_warp(const dng_image& srcImage, dng_image& dstImage,
                                 const dng_negative& negative,
                                 std::unique_ptr<dng_warp_params> params)
    : dng_filter_task("dng_filter_warp", srcImage, dstImage), fParams(std::move(params)) {
    fSrcPixelType = 11;
    fDstPixelType = 11;
    fPixelScaleV = VerticalPixelScale(negative);
    fPixelScaleVInv = 1.0 / fPixelScaleV;
    fIsRadNOP = fParams->IsRadialNOPAll();
    fIsTanNOP = fParams->IsTangentialNOPAll();
    if (fIsRadNOP && fIsTanNOP) ThrowProgramError("warp that does nothing");
    if (!fParams->IsValidForNegative(negative)) ThrowBadFormat("warp not valid for the negative");

    const dng_rect& b = srcImage.Bounds();
    fCenter.h = b.l + (b.r - b.l) * fParams->fCenter.h;
    fCenter.v = b.t + (b.b - b.t) * fParams->fCenter.v;

    const dng_rect_real64 square(b.t, b.l, b.t + RoundHalfAway(fPixelScaleV * b.H()), b.r);
    const dng_point_real64 squareCenter(square.t + (square.b - square.t) * fParams->fCenter.v,
                                        square.l + (square.r - square.l) * fParams->fCenter.h);
    fNormRadius = MaxDistanceToRectCorners(squareCenter, square);
    if (!(fNormRadius > 0.0)) ThrowProgramError("empty warp area");
    fInvNormRadius = 1.0 / fNormRadius;

    fParams->SpreadToPlanes(dstImage.Planes());
}

dng_filter_warp::~dng_filter_warp() = default;

void dng_filter_warp::Initialize(dng_host& host) {
    fWeights.Initialize(dng_resample_bicubic::Get(), host.Allocator());
}

dng_point_real64 dng_filter_warp::SourcePosition(const dng_point_real64& dst, uint32 plane) const {
    const dng_point_real64 diff(dst.v - fCenter.v, dst.h - fCenter.h);
    const dng_point_real64 n(diff.v * fInvNormRadius, diff.h * fInvNormRadius);
    const dng_point_real64 ns(n.v * fPixelScaleV, n.h);
    const dng_point_real64 diff2(ns.v * ns.v, ns.h * ns.h);
    const real64 r2 = std::min(diff2.v + diff2.h, 1.0);
    if (fIsTanNOP) {
        const real64 ratio = fParams->EvaluateRatio(plane, r2);
        return dng_point_real64(fCenter.v + diff.v * ratio, fCenter.h + diff.h * ratio);
    }
    if (fIsRadNOP) {
        const dng_point_real64 t = fParams->EvaluateTangential(plane, r2, ns, diff2);
        return dng_point_real64(fCenter.v + diff.v + t.v * fNormRadius * fPixelScaleVInv,
                                fCenter.h + diff.h + t.h * fNormRadius);
    }
    const real64 ratio = fParams->EvaluateRatio(plane, r2);
    const dng_point_real64 t = fParams->EvaluateTangential(plane, r2, ns, diff2);
    return dng_point_real64(fCenter.v + fNormRadius * (n.v * ratio + t.v * fPixelScaleVInv),
                            fCenter.h + fNormRadius * (n.h * ratio + t.h));
}

dng_rect dng_filter_warp::SrcArea(const dng_rect& dstArea) {
    // Positions are clamped as ProcessArea clamps them, so that a tile whose
    // warped source lies outside the image still gets its edge pixels.
    const dng_rect& bounds = fSrcImage.Bounds();
    const auto clamp = [&bounds](dng_point_real64 s) {
        s.h = std::clamp(s.h, real64(bounds.l), real64(bounds.r - 1));
        s.v = std::clamp(s.v, real64(bounds.t), real64(bounds.b - 1));
        return s;
    };
    real64 top = 2147483647.0, left = 2147483647.0, bottom = -2147483648.0, right = -2147483648.0;
    for (uint32 plane = 0; plane < fDstPlanes; plane++) {
        for (int32 c = dstArea.l; c < dstArea.r; c++) {
            for (int32 row : {dstArea.t, dstArea.b - 1}) {
                const dng_point_real64 s = clamp(SourcePosition(dng_point_real64(row, c), plane));
                top = std::min(top, std::floor(s.v));
                bottom = std::max(bottom, std::ceil(s.v));
            }
        }
        for (int32 r = dstArea.t; r < dstArea.b; r++) {
            for (int32 col : {dstArea.l, dstArea.r - 1}) {
                const dng_point_real64 s = clamp(SourcePosition(dng_point_real64(r, col), plane));
                left = std::min(left, std::floor(s.h));
                right = std::max(right, std::ceil(s.h));
            }
        }
    }
    const real64 radius = fWeights.Radius();
    const dng_rect area(ClampToInt32(top - radius), ClampToInt32(left - radius),
                        ClampToInt32(bottom + radius + 1), ClampToInt32(right + radius + 1));
    return area & fSrcImage.Bounds();
}

dng_point dng_filter_warp::SrcTileSize(const dng_point& dstTileSize) {
    if (dstTileSize.v < 1 || dstTileSize.h < 1) ThrowProgramError("bad tile size");
    const real64 d = fInvNormRadius * std::hypot(real64(dstTileSize.h), real64(dstTileSize.v));
    real64 height = 0.0, width = 0.0;
    if (d >= 1.0) {
        const dng_rect whole = SrcArea(fDstImage.Bounds());
        height = whole.H();
        width = whole.W();
    } else {
        height = width = std::ceil(fParams->MaxSourceRadialGap(d) * fNormRadius);
    }
    const real64 radius = fWeights.Radius();
    height += 2 * radius;
    width += 2 * radius;
    const dng_rect& b = fSrcImage.Bounds();
    const dng_point_real64 minOffset((b.t - fCenter.v) * fInvNormRadius,
                                     (b.l - fCenter.h) * fInvNormRadius);
    const dng_point_real64 maxOffset((b.b - 1 - fCenter.v) * fInvNormRadius,
                                     (b.r - 1 - fCenter.h) * fInvNormRadius);
    const dng_point_real64 g = fParams->MaxSourceTangentialGap(minOffset, maxOffset);
    height += std::ceil(g.v * fNormRadius);
    width += std::ceil(g.h * fNormRadius);
    if (!(height > 0.0) || !(width > 0.0) || height > 2147483647.0 || width > 2147483647.0)
        ThrowProgramError("bad warp tile size");
    return dng_point(int32(height), int32(width));
}

void dng_filter_warp::ProcessArea(uint32, dng_pixel_buffer& src, dng_pixel_buffer& dst) {
    const int32 radius = int32(fWeights.Radius());
    const int32 w = 2 * radius;
    const dng_rect& srcArea = src.Area();
    const dng_rect& dstArea = dst.Area();
    const int32 rowLimit = SafeInt32Sub(SafeInt32Sub(srcArea.b, w), 1);
    const int32 colLimit = SafeInt32Sub(SafeInt32Sub(srcArea.r, w), 1);
    if (rowLimit < srcArea.t || colLimit < srcArea.l) ThrowProgramError("empty warp source area");
    const dng_rect& bounds = fSrcImage.Bounds();

    for (uint32 plane = 0; plane < fDstPlanes; plane++) {
        for (int32 y = dstArea.t; y < dstArea.b; y++) {
            real32* out = dst.DirtyPixel_real32(y, dstArea.l, plane);
            for (int32 x = dstArea.l; x < dstArea.r; x++, out += dst.ColStep()) {
                dng_point_real64 s = SourcePosition(dng_point_real64(y, x), plane);
                s.h = std::clamp(s.h, real64(bounds.l), real64(bounds.r - 1));
                s.v = std::clamp(s.v, real64(bounds.t), real64(bounds.b - 1));
                const real64 fv = std::floor(s.v);
                const real64 fh = std::floor(s.h);
                int32 row0 = int32(fv) + 1 - radius;
                int32 col0 = int32(fh) + 1 - radius;
                int32 phaseV = int32((s.v - fv) * 32.0);
                int32 phaseH = int32((s.h - fh) * 32.0);
                if (row0 < srcArea.t) {
                    row0 = srcArea.t;
                    phaseV = 0;
                } else if (row0 > rowLimit) {
                    row0 = rowLimit;
                    phaseV = 0;
                }
                if (col0 < srcArea.l) {
                    col0 = srcArea.l;
                    phaseH = 0;
                } else if (col0 > colLimit) {
                    col0 = colLimit;
                    phaseH = 0;
                }
                if (w < 1) {
                    *out = 0.0f;
                    continue;
                }
                const real32* weights = fWeights.Weights32(dng_point(phaseV, phaseH));
                real32 value = 0.0f;
                for (int32 i = 0; i < w; i++) {
                    const real32* row = src.ConstPixel_real32(row0 + i, col0, plane);
                    for (int32 j = 0; j < w; j++)
                        value += weights[i * w + j] * row[j * src.ColStep()];
                }
                *out = std::clamp(value, 0.0f, 1.0f);
            }
        }
    }
}

// ---- the opcodes -------------------------------------------------------------

namespace {

void ApplyWarp(dng_host& host, dng_negative& negative, std::unique_ptr<dng_image>& image,
               std::unique_ptr<dng_warp_params> params) {
    std::unique_ptr<dng_image> dst(
        host.MakeImage(image->Bounds(), image->Planes(), image->PixelType()));
    dng_filter_warp filter(*image, *dst, negative, std::move(params));
    filter.Initialize(host);
    host.PerformAreaTask(filter, image->Bounds());
    image = std::move(dst);
}

}  // namespace

dng_opcode_WarpRectilinear::dng_opcode_WarpRectilinear(const dng_warp_params_rectilinear& params,
                                                       uint32 flags)
    : dng_opcode(dngOpcode_WarpRectilinear, dngVersion_1_3_0_0, flags), fWarpParams(params) {
    if (!fWarpParams.IsValid()) ThrowBadFormat("bad warp parameters");
}

dng_opcode_WarpRectilinear::dng_opcode_WarpRectilinear(dng_stream& stream)
    : dng_opcode(dngOpcode_WarpRectilinear, stream, "WarpRectilinear") {
    const uint32 byteCount = stream.GetUInt32();
    const uint32 planes = stream.GetUInt32();
    if (planes == 0 || planes > dng_warp_params::kMaxPlanes) ThrowBadFormat("bad warp planes");
    if (byteCount != ParamBytes(planes)) ThrowBadFormat("bad WarpRectilinear size");
    fWarpParams.fPlanes = planes;
    for (uint32 p = 0; p < planes; p++) {
        for (uint32 i = 0; i < 4; i++) fWarpParams.fRadParams[p][i] = stream.GetReal64();
        for (uint32 i = 0; i < 2; i++) fWarpParams.fTanParams[p][i] = stream.GetReal64();
    }
    fWarpParams.fCenter.h = stream.GetReal64();
    fWarpParams.fCenter.v = stream.GetReal64();
    if (!fWarpParams.IsValid()) ThrowBadFormat("bad warp centre");
}

bool dng_opcode_WarpRectilinear::IsValidForNegative(const dng_negative& negative) const {
    return fWarpParams.IsValidForNegative(negative);
}

void dng_opcode_WarpRectilinear::PutData(dng_stream& stream) const {
    stream.PutUInt32(ParamBytes(fWarpParams.fPlanes));
    stream.PutUInt32(fWarpParams.fPlanes);
    for (uint32 p = 0; p < fWarpParams.fPlanes; p++) {
        for (uint32 i = 0; i < 4; i++) stream.PutReal64(fWarpParams.fRadParams[p][i]);
        for (uint32 i = 0; i < 2; i++) stream.PutReal64(fWarpParams.fTanParams[p][i]);
    }
    stream.PutReal64(fWarpParams.fCenter.h);
    stream.PutReal64(fWarpParams.fCenter.v);
}

void dng_opcode_WarpRectilinear::Apply(dng_host& host, dng_negative& negative,
                                       std::unique_ptr<dng_image>& image) {
    ApplyWarp(host, negative, image, fWarpParams.Clone());
}

bool dng_opcode_WarpRectilinear::WarpsEveryPlane() const {
    for (uint32 p = 0; p < fWarpParams.fPlanes; p++)
        if (fWarpParams.IsNOP(p)) return false;
    return true;
}

bool dng_opcode_WarpRectilinear::HasMultiPlaneWarp() const {
    if (fWarpParams.fPlanes < 2) return false;
    for (uint32 p = 0; p < fWarpParams.fPlanes; p++)
        if (!fWarpParams.IsRadialNOP(p) || !fWarpParams.IsTangentialNOP(p)) return true;
    return false;
}

dng_opcode_WarpFisheye::dng_opcode_WarpFisheye(const dng_warp_params_fisheye& params, uint32 flags)
    : dng_opcode(dngOpcode_WarpFisheye, dngVersion_1_3_0_0, flags), fWarpParams(params) {
    if (!fWarpParams.IsValid()) ThrowBadFormat("bad warp parameters");
}

dng_opcode_WarpFisheye::dng_opcode_WarpFisheye(dng_stream& stream)
    : dng_opcode(dngOpcode_WarpFisheye, stream, "WarpFisheye") {
    const uint32 byteCount = stream.GetUInt32();
    const uint32 planes = stream.GetUInt32();
    if (planes == 0 || planes > dng_warp_params::kMaxPlanes) ThrowBadFormat("bad warp planes");
    if (byteCount != ParamBytes(planes)) ThrowBadFormat("bad WarpFisheye size");
    fWarpParams.fPlanes = planes;
    for (uint32 p = 0; p < planes; p++)
        for (uint32 i = 0; i < 4; i++) fWarpParams.fRadParams[p][i] = stream.GetReal64();
    fWarpParams.fCenter.h = stream.GetReal64();
    fWarpParams.fCenter.v = stream.GetReal64();
    if (!fWarpParams.IsValid()) ThrowBadFormat("bad warp centre");
}

bool dng_opcode_WarpFisheye::IsValidForNegative(const dng_negative& negative) const {
    return fWarpParams.IsValidForNegative(negative);
}

void dng_opcode_WarpFisheye::PutData(dng_stream& stream) const {
    stream.PutUInt32(ParamBytes(fWarpParams.fPlanes));
    stream.PutUInt32(fWarpParams.fPlanes);
    for (uint32 p = 0; p < fWarpParams.fPlanes; p++)
        for (uint32 i = 0; i < 4; i++) stream.PutReal64(fWarpParams.fRadParams[p][i]);
    stream.PutReal64(fWarpParams.fCenter.h);
    stream.PutReal64(fWarpParams.fCenter.v);
}

void dng_opcode_WarpFisheye::Apply(dng_host& host, dng_negative& negative,
                                   std::unique_ptr<dng_image>& image) {
    ApplyWarp(host, negative, image, fWarpParams.Clone());
}
