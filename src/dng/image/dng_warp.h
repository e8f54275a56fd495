// Lens-geometry correction: the rectilinear (radial polynomial plus
// tangential terms) and fisheye (polynomial of the incidence angle) warp
// models, the filter that resamples an image through one of them with a
// bicubic kernel, and the WarpRectilinear and WarpFisheye opcodes that carry
// them in a DNG file. Radii are normalised to 1 at the image corner farthest
// from the optical centre, after correcting for non-square pixels.
//
// The filter owns its parameter copy and weights; they are only read while
// tiles run, so tiles may run on several threads.
#pragma once

#include <memory>

#include "dng/core/dng_point.h"
#include "dng/core/dng_vector.h"
#include "dng/image/dng_filter_task.h"
#include "dng/image/dng_opcodes.h"
#include "dng/image/dng_resample.h"

class dng_warp_params {
public:
    static constexpr uint32 kMaxPlanes = 4;

    dng_warp_params() = default;
    dng_warp_params(uint32 planes, const dng_point_real64& center)
        : fPlanes(planes), fCenter(center) {}
    virtual ~dng_warp_params();

    virtual bool IsNOPAll() const { return IsRadialNOPAll() && IsTangentialNOPAll(); }
    virtual bool IsNOP(uint32 plane) const { return IsRadialNOP(plane) && IsTangentialNOP(plane); }
    virtual bool IsRadialNOPAll() const;
    virtual bool IsRadialNOP(uint32) const { return false; }
    virtual bool IsTangentialNOPAll() const;
    virtual bool IsTangentialNOP(uint32) const { return false; }
    virtual bool IsValid() const;
    virtual bool IsValidForNegative(const dng_negative& negative) const;
    virtual void SpreadToPlanes(uint32 totalPlanes) = 0;
    virtual real64 Evaluate(uint32 plane, real64 r) const = 0;
    // Secant search for Evaluate(x) = y on [0, 1].
    virtual real64 EvaluateInverse(uint32 plane, real64 y) const;
    virtual real64 EvaluateRatio(uint32 plane, real64 r2) const = 0;
    virtual dng_point_real64 EvaluateTangential(uint32 plane, real64 r2,
                                                const dng_point_real64& diff,
                                                const dng_point_real64& diff2) const = 0;
    virtual real64 MaxSourceRadialGap(real64 gap) const = 0;
    virtual dng_point_real64 MaxSourceTangentialGap(const dng_point_real64& minOffset,
                                                    const dng_point_real64& maxOffset) const = 0;
    virtual real64 RatioLowerLimit() const = 0;
    virtual real64 RatioUpperLimit() const = 0;
    virtual void DebugPrint() const {}
    virtual std::unique_ptr<dng_warp_params> Clone() const = 0;

    dng_point_real64 EvaluateTangentialAt(uint32 plane, const dng_point_real64& diff) const;

    uint32 fPlanes = 1;
    dng_point_real64 fCenter{0.5, 0.5};
};

class dng_warp_params_rectilinear : public dng_warp_params {
public:
    dng_warp_params_rectilinear();
    dng_warp_params_rectilinear(uint32 planes, const dng_vector radial[],
                                const dng_vector tangential[], const dng_point_real64& center);

    bool IsRadialNOP(uint32 plane) const override;
    bool IsTangentialNOP(uint32 plane) const override;
    bool IsValid() const override;
    void SpreadToPlanes(uint32 totalPlanes) override;
    real64 Evaluate(uint32 plane, real64 r) const override;
    real64 EvaluateRatio(uint32 plane, real64 r2) const override;
    dng_point_real64 EvaluateTangential(uint32 plane, real64 r2, const dng_point_real64& diff,
                                        const dng_point_real64& diff2) const override;
    real64 MaxSourceRadialGap(real64 gap) const override;
    dng_point_real64 MaxSourceTangentialGap(const dng_point_real64& minOffset,
                                            const dng_point_real64& maxOffset) const override;
    real64 RatioLowerLimit() const override { return 0.5; }
    real64 RatioUpperLimit() const override { return 2.0; }
    std::unique_ptr<dng_warp_params> Clone() const override;

    dng_vector fRadParams[kMaxPlanes];
    dng_vector fTanParams[kMaxPlanes];
};

class dng_warp_params_fisheye : public dng_warp_params {
public:
    dng_warp_params_fisheye();
    dng_warp_params_fisheye(uint32 planes, const dng_vector radial[],
                            const dng_point_real64& center);

    bool IsTangentialNOP(uint32) const override { return true; }
    bool IsValid() const override;
    void SpreadToPlanes(uint32 totalPlanes) override;
    real64 Evaluate(uint32 plane, real64 r) const override;
    real64 EvaluateRatio(uint32 plane, real64 r2) const override;
    dng_point_real64 EvaluateTangential(uint32 plane, real64 r2, const dng_point_real64& diff,
                                        const dng_point_real64& diff2) const override;
    real64 MaxSourceRadialGap(real64 gap) const override;
    dng_point_real64 MaxSourceTangentialGap(const dng_point_real64&,
                                            const dng_point_real64&) const override {
        return dng_point_real64(0.0, 0.0);
    }
    real64 RatioLowerLimit() const override { return 0.2; }
    real64 RatioUpperLimit() const override { return 5.0; }
    std::unique_ptr<dng_warp_params> Clone() const override;

    dng_vector fRadParams[kMaxPlanes];
};

class dng_filter_warp : public dng_filter_task {
public:
    dng_filter_warp(const dng_image& srcImage, dng_image& dstImage, const dng_negative& negative,
                    std::unique_ptr<dng_warp_params> params);
    ~dng_filter_warp() override;

    virtual void Initialize(dng_host& host);
    virtual dng_point_real64 SourcePosition(const dng_point_real64& dst, uint32 plane) const;

    dng_rect SrcArea(const dng_rect& dstArea) override;
    dng_point SrcTileSize(const dng_point& dstTileSize) override;
    void ProcessArea(uint32 threadIndex, dng_pixel_buffer& srcBuffer,
                     dng_pixel_buffer& dstBuffer) override;

private:
    std::unique_ptr<dng_warp_params> fParams;
    dng_point_real64 fCenter;
    dng_resample_weights_2d fWeights;
    real64 fNormRadius = 1.0;
    real64 fInvNormRadius = 1.0;
    bool fIsRadNOP = false;
    bool fIsTanNOP = false;
    real64 fPixelScaleV = 1.0;
    real64 fPixelScaleVInv = 1.0;
};

class dng_opcode_WarpRectilinear : public dng_opcode {
public:
    dng_opcode_WarpRectilinear(const dng_warp_params_rectilinear& params, uint32 flags);
    explicit dng_opcode_WarpRectilinear(dng_stream& stream);

    static uint32 ParamBytes(uint32 planes) { return 48 * planes + 20; }

    bool IsNOP() const override { return fWarpParams.IsNOPAll(); }
    bool IsValidForNegative(const dng_negative& negative) const override;
    void PutData(dng_stream& stream) const override;
    void Apply(dng_host& host, dng_negative& negative, std::unique_ptr<dng_image>& image) override;

    bool WarpsEveryPlane() const;
    bool HasMultiPlaneWarp() const;
    const dng_warp_params_rectilinear& Params() const { return fWarpParams; }

private:
    dng_warp_params_rectilinear fWarpParams;
};

class dng_opcode_WarpFisheye : public dng_opcode {
public:
    dng_opcode_WarpFisheye(const dng_warp_params_fisheye& params, uint32 flags);
    explicit dng_opcode_WarpFisheye(dng_stream& stream);

    static uint32 ParamBytes(uint32 planes) { return 32 * planes + 20; }

    bool IsNOP() const override { return fWarpParams.IsNOPAll(); }
    bool IsValidForNegative(const dng_negative& negative) const override;
    void PutData(dng_stream& stream) const override;
    void Apply(dng_host& host, dng_negative& negative, std::unique_ptr<dng_image>& image) override;

private:
    dng_warp_params_fisheye fWarpParams;
};
