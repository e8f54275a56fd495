#include "dng/image/dng_vignette_opcode.h"

#include <algorithm>
#include <cmath>

#include "dng/color/dng_1d_table.h"
#include "dng/color/dng_bottleneck.h"
#include "dng/core/dng_exception.h"
#include "dng/core/dng_memory_allocator.h"
#include "dng/core/dng_stream.h"
#include "dng/core/dng_utils.h"
#include "dng/image/dng_negative.h"
#include "dng/image/dng_pixel_buffer.h"

namespace {

int64 RoundHalfAway64(real64 x) {
    const real64 r = x < 0.0 ? std::trunc(x - 0.5) : std::trunc(x + 0.5);
    return int64(std::clamp(r, -9.2e18, 9.2e18));
}

real64 TableAt(const dng_1d_table& table, real64 x) {
    const real64 y = x * table.Count();
    const uint32 index = std::min<uint32>(uint32(y), table.Count());
    const real64 fract = y - index;
    const real32* t = table.Table();
    return index >= table.Count() ? t[table.Count()]
                                  : t[index] * (1.0 - fract) + t[index + 1] * fract;
}

}  // namespace

bool dng_vignette_radial_params::IsNOP() const {
    for (real64 k : fParams)
        if (k != 0.0) return false;
    return true;
}

bool dng_vignette_radial_params::IsValid() const {
    return fParams.size() == 5 && fCenter.h >= 0.0 && fCenter.h <= 1.0 && fCenter.v >= 0.0 &&
           fCenter.v <= 1.0;
}

real64 dng_vignette_radial_function::Evaluate(real64 x) const {
    if (fParams.fParams.size() != 5) ThrowProgramError("bad vignette coefficients");
    real64 v = 0.0;
    for (int i = 4; i >= 0; i--) v = (v + fParams.fParams[size_t(i)]) * x;
    return 1.0 + v;
}

dng_opcode_FixVignetteRadial::dng_opcode_FixVignetteRadial(const dng_vignette_radial_params& params,
                                                           uint32 flags)
    : dng_inplace_opcode(dngOpcode_FixVignetteRadial, dngVersion_1_3_0_0, flags), fParams(params) {
    if (!fParams.IsValid()) ThrowBadFormat("bad vignette parameters");
}

dng_opcode_FixVignetteRadial::dng_opcode_FixVignetteRadial(dng_stream& stream)
    : dng_inplace_opcode(dngOpcode_FixVignetteRadial, stream, "FixVignetteRadial") {
    if (ReadByteCount(stream) != ParamBytes()) ThrowBadFormat("bad FixVignetteRadial size");
    for (real64& k : fParams.fParams) k = stream.GetReal64();
    fParams.fCenter.h = stream.GetReal64();
    fParams.fCenter.v = stream.GetReal64();
    if (!fParams.IsValid()) ThrowBadFormat("bad vignette centre");
}

void dng_opcode_FixVignetteRadial::PutData(dng_stream& stream) const {
    stream.PutUInt32(ParamBytes());
    if (fParams.fParams.size() != 5) ThrowProgramError("bad vignette coefficients");
    for (real64 k : fParams.fParams) stream.PutReal64(k);
    stream.PutReal64(fParams.fCenter.h);
    stream.PutReal64(fParams.fCenter.v);
}

void dng_opcode_FixVignetteRadial::Prepare(dng_negative& negative, uint32 threadCount,
                                           const dng_point& tileSize, const dng_rect& imageBounds,
                                           uint32 imagePlanes, uint32 bufferPixelType,
                                           dng_memory_allocator& allocator) {
    if (bufferPixelType != 11) ThrowBadFormat("vignette needs float buffers");
    if (imagePlanes < 1 || imagePlanes > 4) ThrowProgramError("bad plane count");
    if (threadCount > kMaxThreads) ThrowProgramError("too many threads");
    fImagePlanes = imagePlanes;

    const dng_vignette_radial_params p = Params();
    const real64 t = imageBounds.t, l = imageBounds.l, b = imageBounds.b, r = imageBounds.r;
    const real64 cV = t + (b - t) * p.fCenter.v;
    const real64 cH = l + (r - l) * p.fCenter.h;

    // Pixels need not be square: distances are measured in square units.
    const real64 aspect = (negative.DefaultScaleH().AsReal64() / negative.RawToFullScaleH()) /
                          (negative.DefaultScaleV().AsReal64() / negative.RawToFullScaleV());
    const real64 sV = aspect > 0.0 && std::isfinite(aspect) ? 1.0 / aspect : 1.0;
    const real64 dV = std::max(std::fabs(cV - t), std::fabs(cV - b));
    const real64 dH = std::max(std::fabs(cH - l), std::fabs(cH - r));
    const real64 m = std::hypot(dV * sV, dH);
    if (!(m > 0.0)) ThrowBadFormat("empty vignette area");

    const real64 one = 4294967296.0;
    fSrcStepH = RoundHalfAway64(one / m);
    fSrcStepV = RoundHalfAway64(one * sV / m);
    fSrcOriginH = RoundHalfAway64(-cH * one / m) + (fSrcStepH >> 1);
    fSrcOriginV = RoundHalfAway64(-cV * sV * one / m) + (fSrcStepV >> 1);

    if (!fGainTable) {
        const dng_vignette_radial_function function(p);
        dng_1d_table table(4096);
        table.Initialize(allocator, function, false);
        const real64 maxGain = std::max(TableAt(table, 0.0), TableAt(table, 1.0));
        fTableInputBits = 16;
        fTableOutputBits = 15;
        while (fTableOutputBits > 0 && std::ldexp(maxGain, int(fTableOutputBits)) > 65535.0)
            fTableOutputBits--;
        fGainTable = allocator.Allocate(0x20002);
        uint16* gains = fGainTable->Buffer_uint16();
        for (uint32 i = 0; i <= 65536; i++) {
            const real64 g = TableAt(table, i / 65536.0) * real64(1u << fTableOutputBits) + 0.5;
            // A gain that peaks inside the circle must not wrap around.
            gains[i] = uint16(std::clamp(g, 0.0, 65535.0));
        }
    }

    const uint32 bytes = ComputeTileBufferSize(3, tileSize, imagePlanes, 1);
    for (int i = kMaxThreads - 1; i >= 0; i--) fMaskBuffers[i].reset();
    for (uint32 i = 0; i < threadCount; i++) fMaskBuffers[i] = allocator.Allocate(bytes);
}

void dng_opcode_FixVignetteRadial::ProcessArea(dng_negative& negative, uint32 threadIndex,
                                               dng_pixel_buffer& buffer, const dng_rect& dstArea,
                                               const dng_rect&) {
    if (threadIndex >= kMaxThreads || !fMaskBuffers[threadIndex])
        ThrowProgramError("vignette not prepared for this thread");
    dng_pixel_buffer mask(dstArea, 0, fImagePlanes, 3, pcRowInterleavedAlignSIMD,
                          fMaskBuffers[threadIndex]->Buffer());
    const int64 startH = fSrcOriginH + fSrcStepH * dstArea.l;
    const int64 startV = fSrcOriginV + fSrcStepV * dstArea.t;
    gDNGBottleneck.VignetteMask16(mask.DirtyPixel_uint16(dstArea.t, dstArea.l), dstArea.H(),
                                  dstArea.W(), mask.RowStep(), startH, startV, fSrcStepH, fSrcStepV,
                                  fTableInputBits, fGainTable->Buffer_uint16());
    const uint16 black = Stage() >= 2 ? negative.Stage3BlackLevel() : 0;
    gDNGBottleneck.Vignette32(buffer.DirtyPixel_real32(dstArea.t, dstArea.l),
                              mask.ConstPixel_uint16(dstArea.t, dstArea.l), dstArea.H(),
                              dstArea.W(), fImagePlanes, buffer.RowStep(), buffer.PlaneStep(),
                              mask.RowStep(), fTableOutputBits, black);
}
