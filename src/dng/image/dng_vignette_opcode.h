// The FixVignetteRadial opcode: brightens an image by the radial gain
// g(r) = 1 + k0 r^2 + k1 r^4 + k2 r^6 + k3 r^8 + k4 r^10 around an optical
// centre, r being 1 at the farthest image corner. The gain becomes a 16-bit
// fixed-point table indexed by r^2 once; each tile gets a fixed-point gain
// mask that multiplies its float samples (black level held out after
// stage 1).
//
// The gain table is built in the first Prepare and only read afterwards;
// each thread uses its own mask buffer, so tiles may run on several threads.
#pragma once

#include <memory>
#include <vector>

#include "dng/color/dng_1d_function.h"
#include "dng/core/dng_memory_block.h"
#include "dng/core/dng_point.h"
#include "dng/image/dng_opcodes.h"

class dng_vignette_radial_params {
public:
    dng_vignette_radial_params() : fParams(5, 0.0), fCenter(0.5, 0.5) {}
    dng_vignette_radial_params(const std::vector<real64>& params, const dng_point_real64& center)
        : fParams(params), fCenter(center) {}

    // Every coefficient 0.
    bool IsNOP() const;
    // Five coefficients and a centre within the image.
    bool IsValid() const;

    std::vector<real64> fParams;
    dng_point_real64 fCenter;
};

class dng_vignette_radial_function : public dng_1d_function {
public:
    explicit dng_vignette_radial_function(const dng_vignette_radial_params& params)
        : fParams(params) {}
    // x is r^2 in [0, 1].
    real64 Evaluate(real64 x) const override;

private:
    dng_vignette_radial_params fParams;
};

class dng_opcode_FixVignetteRadial : public dng_inplace_opcode {
public:
    static constexpr uint32 kMaxThreads = 128;

    dng_opcode_FixVignetteRadial(const dng_vignette_radial_params& params, uint32 flags);
    explicit dng_opcode_FixVignetteRadial(dng_stream& stream);

    static uint32 ParamBytes() { return 56; }

    bool IsNOP() const override { return fParams.IsNOP(); }
    bool IsValidForNegative(const dng_negative&) const override { return fParams.IsValid(); }
    void PutData(dng_stream& stream) const override;
    uint32 BufferPixelType(uint32) override { return 11; }
    void Prepare(dng_negative& negative, uint32 threadCount, const dng_point& tileSize,
                 const dng_rect& imageBounds, uint32 imagePlanes, uint32 bufferPixelType,
                 dng_memory_allocator& allocator) override;
    void ProcessArea(dng_negative& negative, uint32 threadIndex, dng_pixel_buffer& buffer,
                     const dng_rect& dstArea, const dng_rect& imageBounds) override;

    virtual dng_vignette_radial_params Params() const { return fParams; }

    uint32 TableOutputBits() const { return fTableOutputBits; }
    const uint16* GainTable() const { return fGainTable ? fGainTable->Buffer_uint16() : nullptr; }
    int64 SrcStepH() const { return fSrcStepH; }

private:
    dng_vignette_radial_params fParams;
    uint32 fImagePlanes = 1;
    int64 fSrcOriginH = 0;
    int64 fSrcOriginV = 0;
    int64 fSrcStepH = 0;
    int64 fSrcStepV = 0;
    uint32 fTableInputBits = 0;
    uint32 fTableOutputBits = 0;
    std::unique_ptr<dng_memory_block> fGainTable;
    std::unique_ptr<dng_memory_block> fMaskBuffers[kMaxThreads];
};
