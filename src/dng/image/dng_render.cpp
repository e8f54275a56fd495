// The render task works on three float rows per source row: camera data to
// linear ProPhoto (white-balanced by the colour spec), the hue/saturation
// map, the exposure ramp, the look table, the tone curve, then the final
// space's matrix and encoding into the destination row. Tables are built
// once in Start and only read afterwards.
#include "dng/image/dng_render.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "dng/color/dng_1d_table.h"
#include "dng/color/dng_bottleneck.h"
#include "dng/color/dng_camera_profile.h"
#include "dng/color/dng_color_space.h"
#include "dng/color/dng_color_spec.h"
#include "dng/color/dng_hue_sat_map.h"
#include "dng/color/dng_spline_solver.h"
#include "dng/color/dng_tone_curve.h"
#include "dng/color/dng_tone_curve_acr3_default.h"
#include "dng/core/dng_exception.h"
#include "dng/core/dng_host.h"
#include "dng/core/dng_memory_allocator.h"
#include "dng/core/dng_safe_arithmetic.h"
#include "dng/core/dng_tag_types.h"
#include "dng/core/dng_tag_values.h"
#include "dng/image/dng_filter_task.h"
#include "dng/image/dng_image.h"
#include "dng/image/dng_negative.h"
#include "dng/image/dng_pixel_buffer.h"
#include "dng/image/dng_resample.h"

// ---------------------------------------------------------------- functions

dng_function_zero_offset::dng_function_zero_offset(real64 offset)
    : fOffset(offset), fScale(1.0 / (1.0 - offset)) {}

real64 dng_function_zero_offset::Evaluate(real64 x) const {
    return std::clamp((x - fOffset) * fScale, 0.0, 1.0);
}

dng_function_exposure_ramp::dng_function_exposure_ramp(real64 white, real64 black, real64 minBlack)
    : fSlope(1.0 / (white - black)), fBlack(black) {
    fRadius = std::min(0.5 * minBlack, 0.0625 / fSlope);
    fQScale = fRadius > 0.0 ? fSlope / (4.0 * fRadius) : 0.0;
}

real64 dng_function_exposure_ramp::Evaluate(real64 x) const {
    if (x <= fBlack - fRadius) return 0.0;
    if (x >= fBlack + fRadius) return std::min((x - fBlack) * fSlope, 1.0);
    const real64 y = x - (fBlack - fRadius);
    return fQScale * y * y;
}

dng_function_exposure_tone::dng_function_exposure_tone(real64 exposure) : fIsNOP(exposure >= 0.0) {
    if (fIsNOP) return;
    fSlope = std::pow(2.0, exposure);
    a = 16.0 / 9.0 * (1.0 - fSlope);
    b = fSlope - 0.5 * a;
    c = 1.0 - a - b;
}

real64 dng_function_exposure_tone::Evaluate(real64 x) const {
    if (fIsNOP) return x;
    if (x <= 0.25) return x * fSlope;
    return (a * x + b) * x + c;
}

// ---------------------------------------------------------------- task

namespace {

constexpr real64 kD55x = 0.3324;
constexpr real64 kD55y = 0.3474;

class dng_render_task : public dng_filter_task {
public:
    dng_render_task(const dng_image& srcImage, const dng_image* srcMask, dng_image& dstImage,
                    const dng_negative& negative, const dng_render& params,
                    const dng_point& srcOffset)
        : dng_filter_task("dng_render_task", srcImage, dstImage),
          fSrcMask(srcMask),
          fNegative(negative),
          fParams(params),
          fSrcOffset(srcOffset) {
        fSrcPixelType = ttFloat;
        fDstPixelType = ttFloat;
    }

    dng_rect SrcArea(const dng_rect& dstArea) override { return dstArea + fSrcOffset; }

    void Start(uint32 threadCount, const dng_rect& dstArea, const dng_point& tileSize,
               dng_memory_allocator* allocator, dng_abort_sniffer* sniffer) override;
    void ProcessArea(uint32 threadIndex, dng_pixel_buffer& srcBuffer,
                     dng_pixel_buffer& dstBuffer) override;

private:
    const dng_image* fSrcMask;
    const dng_negative& fNegative;
    const dng_render& fParams;
    dng_point fSrcOffset;

    dng_1d_table fZeroOffsetRamp;
    dng_vector fCameraWhite;
    dng_matrix fCameraToRGB;
    std::unique_ptr<dng_hue_sat_map> fHueSatMap;
    dng_1d_table fExposureRamp;
    std::unique_ptr<dng_hue_sat_map> fLookTable;
    dng_1d_table fToneCurve;
    dng_matrix fRGBtoFinal;
    dng_1d_table fEncodeGamma;
    std::unique_ptr<dng_1d_table> fHueSatMapEncode, fHueSatMapDecode;
    std::unique_ptr<dng_1d_table> fLookTableEncode, fLookTableDecode;
    std::unique_ptr<dng_memory_block> fTempBuffer[kMaxThreads];
    std::unique_ptr<dng_memory_block> fMaskBuffer[kMaxThreads];
};

void dng_render_task::Start(uint32 threadCount, const dng_rect& dstArea, const dng_point& tileSize,
                            dng_memory_allocator* allocator, dng_abort_sniffer* sniffer) {
    dng_filter_task::Start(threadCount, dstArea, tileSize, allocator, sniffer);
    dng_memory_allocator& memory = allocator ? *allocator : gDefaultDNGMemoryAllocator;

    if (const uint16 level = fNegative.Stage3BlackLevel())
        fZeroOffsetRamp.Initialize(memory, dng_function_zero_offset(level / 65535.0));

    const dng_camera_profile_id defaultID;
    if (fNegative.ColorChannels() > 1) {
        std::unique_ptr<dng_color_spec> spec = fNegative.MakeColorSpec(defaultID);
        dng_xy_coord white = fParams.WhiteXY();
        if (!white.IsValid()) {
            if (fNegative.HasCameraNeutral()) {
                white = spec->NeutralToXY(fNegative.CameraNeutral());
            } else if (fNegative.HasCameraWhiteXY()) {
                fNegative.CameraWhiteXY(white.x, white.y);
            } else {
                white = dng_xy_coord(kD55x, kD55y);
            }
        }
        spec->SetWhiteXY(white);
        fCameraWhite = spec->CameraWhite();
        fCameraToRGB = dng_space_ProPhoto::Get().MatrixFromPCS() * spec->CameraToPCS();

        if (const dng_camera_profile* profile = fNegative.ProfileByID(defaultID, true)) {
            fHueSatMap = profile->HueSatMapForWhite(spec->WhiteXY());
            if (profile->LookTable().IsValid())
                fLookTable = std::make_unique<dng_hue_sat_map>(profile->LookTable());
            if (profile->HueSatMapEncoding() != 0)
                dng_camera_profile::MakeGammaTables(memory, profile->HueSatMapEncoding(), false,
                                                    fHueSatMapEncode, fHueSatMapDecode);
            if (profile->LookTableEncoding() != 0)
                dng_camera_profile::MakeGammaTables(memory, profile->LookTableEncoding(), false,
                                                    fLookTableEncode, fLookTableDecode);
        }
    }

    const real64 exposure = fParams.Exposure() + fNegative.TotalBaselineExposure(defaultID) -
                            std::log2(fNegative.Stage3Gain());
    const real64 white = 1.0 / std::pow(2.0, std::max(0.0, exposure));
    real64 black =
        fParams.Shadows() * fNegative.ShadowScaleR().AsReal64() * fNegative.Stage3Gain() * 0.001;
    black = std::min(black, 0.99 * white);
    fExposureRamp.Initialize(memory, dng_function_exposure_ramp(white, black, black));

    const dng_function_exposure_tone tone(exposure);
    fToneCurve.Initialize(memory, dng_1d_concatenate(tone, fParams.ToneCurve()));

    const dng_color_space& finalSpace = fParams.FinalSpace();
    fRGBtoFinal = finalSpace.MatrixFromPCS() * dng_space_ProPhoto::Get().MatrixToPCS();
    fEncodeGamma.Initialize(memory, finalSpace.GammaFunction());

    const uint32 rowBytes = SafeUint32Mult(uint32(tileSize.h), 4 * 3);
    const uint32 maskBytes =
        fSrcMask ? SafeUint32Mult3(uint32(tileSize.v), uint32(tileSize.h), 4) : 0;
    for (uint32 thread = 0; thread < threadCount; ++thread) {
        fTempBuffer[thread] = memory.Allocate(rowBytes);
        if (fSrcMask) fMaskBuffer[thread] = memory.Allocate(maskBytes);
    }
}

void dng_render_task::ProcessArea(uint32 threadIndex, dng_pixel_buffer& srcBuffer,
                                  dng_pixel_buffer& dstBuffer) {
    const dng_rect srcArea = srcBuffer.Area();
    const dng_rect dstArea = dstBuffer.Area();
    const uint32 cols = srcArea.W();
    const int32 srcPlanes = int32(srcBuffer.Planes());
    real32* tR = fTempBuffer[threadIndex]->Buffer_real32();
    real32* tG = tR + cols;
    real32* tB = tG + cols;

    real32* mask = nullptr;
    if (fSrcMask) {
        mask = fMaskBuffer[threadIndex]->Buffer_real32();
        dng_pixel_buffer maskBuffer(srcArea, 0, 1, ttFloat, pcInterleaved, mask);
        fSrcMask->Get(maskBuffer, dng_image::edge_none, 1, 1);
    }

    const bool zeroOffset = fNegative.Stage3BlackLevel() != 0;
    for (int32 srcRow = srcArea.t; srcRow < srcArea.b; ++srcRow) {
        if (zeroOffset) {
            for (int32 plane = 0; plane < srcPlanes; ++plane) {
                real32* p = srcBuffer.DirtyPixel_real32(srcRow, srcArea.l, uint32(plane));
                gDNGBottleneck.ApplyTable1D(p, p, cols, fZeroOffsetRamp);
            }
        }
        const real32* sA = srcBuffer.ConstPixel_real32(srcRow, srcArea.l, 0);
        if (srcPlanes == 1) {
            gDNGBottleneck.CopyBytes(sA, tR, cols * 4);
            gDNGBottleneck.CopyBytes(sA, tG, cols * 4);
            gDNGBottleneck.CopyBytes(sA, tB, cols * 4);
        } else {
            const real32* sB = sA + srcBuffer.PlaneStep();
            const real32* sC = sB + srcBuffer.PlaneStep();
            if (srcPlanes == 3) {
                gDNGBottleneck.ApplyCameraMatrix3(sA, sB, sC, tR, tG, tB, cols, fCameraWhite,
                                                  fCameraToRGB);
            } else {
                const real32* sD = sC + srcBuffer.PlaneStep();
                gDNGBottleneck.ApplyCameraMatrix4(sA, sB, sC, sD, tR, tG, tB, cols, fCameraWhite,
                                                  fCameraToRGB);
            }
            if (fHueSatMap)
                gDNGBottleneck.ApplyHueSatMap(tR, tG, tB, tR, tG, tB, cols, *fHueSatMap,
                                              fHueSatMapEncode.get(), fHueSatMapDecode.get());
        }
        gDNGBottleneck.ApplyTable1D(tR, tR, cols, fExposureRamp);
        gDNGBottleneck.ApplyTable1D(tG, tG, cols, fExposureRamp);
        gDNGBottleneck.ApplyTable1D(tB, tB, cols, fExposureRamp);
        if (fLookTable)
            gDNGBottleneck.ApplyHueSatMap(tR, tG, tB, tR, tG, tB, cols, *fLookTable,
                                          fLookTableEncode.get(), fLookTableDecode.get());
        gDNGBottleneck.ApplyRGBToneCurve(tR, tG, tB, tR, tG, tB, cols, fToneCurve);

        const int32 dstRow = srcRow + (dstArea.t - srcArea.t);
        const uint32 dstPlanes = dstBuffer.Planes();
        real32* dA = dstBuffer.DirtyPixel_real32(dstRow, dstArea.l, 0);
        if (dstPlanes == 1) {
            gDNGBottleneck.RGBToGray(tR, tG, tB, dA, cols, fRGBtoFinal);
            gDNGBottleneck.ApplyTable1D(dA, dA, cols, fEncodeGamma);
        } else {
            real32* dB = dA + dstBuffer.PlaneStep();
            real32* dC = dB + dstBuffer.PlaneStep();
            gDNGBottleneck.RGBToRGB(tR, tG, tB, dA, dB, dC, cols, fRGBtoFinal);
            gDNGBottleneck.ApplyTable1D(dA, dA, cols, fEncodeGamma);
            gDNGBottleneck.ApplyTable1D(dB, dB, cols, fEncodeGamma);
            gDNGBottleneck.ApplyTable1D(dC, dC, cols, fEncodeGamma);
        }
        if (mask) {
            const real32* m = mask + size_t(srcRow - srcArea.t) * cols;
            for (uint32 plane = 0; plane < dstPlanes; ++plane) {
                real32* d = dA + int32(plane) * dstBuffer.PlaneStep();
                for (uint32 j = 0; j < cols; ++j) d[j] = 1.0f - (1.0f - d[j]) * m[j];
            }
        }
    }
}

uint32 RoundHalfUp(real64 v) {
    if (!(v > 0.0)) return 0;
    const real64 r = std::floor(v + 0.5);
    return r >= real64(std::numeric_limits<uint32>::max()) ? std::numeric_limits<uint32>::max()
                                                           : uint32(r);
}

std::unique_ptr<dng_image> MakeImage(dng_host& host, const dng_rect& bounds, uint32 planes,
                                     uint32 pixelType) {
    return std::unique_ptr<dng_image>(host.MakeImage(bounds, planes, pixelType));
}

}  // namespace

// ---------------------------------------------------------------- renderer

dng_render::dng_render(dng_host& host, const dng_negative& negative)
    : fHost(host),
      fNegative(negative),
      fToneCurve(&dng_tone_curve_acr3_default::Get()),
      fFinalSpace(&dng_space_sRGB::Get()) {
    if (negative.ColorimetricReference() != 0) {
        fShadows = 0.0;
        fToneCurve = &dng_1d_identity::Get();
    }
    const dng_camera_profile* profile = negative.ProfileByID(dng_camera_profile_id(), true);
    if (profile && profile->ToneCurve().IsValid()) {
        fProfileToneCurve = std::make_unique<dng_spline_solver>();
        profile->ToneCurve().Solve(*fProfileToneCurve);
        fToneCurve = fProfileToneCurve.get();
    }
    if (profile && profile->DefaultBlackRender() == 1) fShadows = 0.0;
}

dng_render::~dng_render() = default;

void dng_render::TargetSize(real64 cropWidth, real64 squareHeight, real64 scaleH,
                            uint32 maximumSize, uint32& width, uint32& height) {
    width = RoundHalfUp(cropWidth * scaleH);
    height = RoundHalfUp(squareHeight * scaleH);
    if (maximumSize == 0 || std::max(width, height) <= maximumSize) return;
    const real64 ratio = cropWidth / squareHeight;
    if (ratio >= 1.0) {
        width = maximumSize;
        height = std::max<uint32>(1, RoundHalfUp(maximumSize / ratio));
    } else {
        height = maximumSize;
        width = std::max<uint32>(1, RoundHalfUp(ratio * maximumSize));
    }
}

std::unique_ptr<dng_image> dng_render::Render() {
    const dng_image* srcImage = fNegative.Stage3Image();
    if (!srcImage) ThrowProgramError("No stage 3 image to render");
    const dng_image* srcMask = fNegative.TransparencyMask();
    dng_rect srcBounds = fNegative.DefaultCropArea();

    uint32 width = 0, height = 0;
    TargetSize(fNegative.DefaultCropSizeH().AsReal64(), fNegative.SquareHeight(),
               fNegative.DefaultScaleH().AsReal64(), fMaximumSize, width, height);
    if (width == 0 || height == 0 || width > 0x7FFFFFFF || height > 0x7FFFFFFF)
        ThrowProgramError("Empty or oversized render");

    std::unique_ptr<dng_image> resampled, resampledMask;
    if (srcBounds.H() != height || srcBounds.W() != width) {
        const dng_rect target{height, width};
        resampled = MakeImage(fHost, target, srcImage->Planes(), srcImage->PixelType());
        ResampleImage(fHost, *srcImage, *resampled, srcBounds, target, dng_resample_bicubic::Get());
        if (srcMask) {
            resampledMask = MakeImage(fHost, target, srcMask->Planes(), srcMask->PixelType());
            ResampleImage(fHost, *srcMask, *resampledMask, srcBounds, target,
                          dng_resample_bicubic::Get());
            srcMask = resampledMask.get();
        }
        srcImage = resampled.get();
        srcBounds = target;
    }

    const uint32 planes = fFinalSpace->IsMonochrome() ? 1 : 3;
    std::unique_ptr<dng_image> dstImage =
        MakeImage(fHost, dng_rect{srcBounds.H(), srcBounds.W()}, planes, fFinalPixelType);
    dng_render_task task(*srcImage, srcMask, *dstImage, fNegative, *this, srcBounds.TL());
    fHost.PerformAreaTask(task, dstImage->Bounds());
    return dstImage;
}
