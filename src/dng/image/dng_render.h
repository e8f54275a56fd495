// Renders a negative's stage-3 image (linear camera data, 16-bit or float)
// into an output image in a final colour space: camera to linear ProPhoto
// through the colour spec, the profile's hue/saturation map, an exposure ramp
// with shadow lift, the look table, the tone curve (carrying negative
// exposure), conversion to the final space with its encoding curve, and
// compositing over white where the negative has a transparency mask. The
// output is resampled first (bicubic) when a maximum size asks for it.
//
// Ownership: the renderer references the host and negative (both must outlive
// it) and owns the profile tone curve it builds; Render returns a new image
// the caller owns. The per-pixel task runs on the host's area-task threads
// with per-thread buffers, so the result is the same for any thread count.
#pragma once

#include <memory>

#include "dng/color/dng_1d_function.h"
#include "dng/color/dng_xy_coord.h"
#include "dng/core/dng_types.h"

class dng_color_space;
class dng_host;
class dng_image;
class dng_negative;
class dng_spline_solver;

// clamp((x − offset) / (1 − offset), 0, 1): removes the stage-3 black level.
class dng_function_zero_offset : public dng_1d_function {
public:
    explicit dng_function_zero_offset(real64 offset);
    real64 Evaluate(real64 x) const override;

private:
    real64 fOffset;
    real64 fScale;
};

// The exposure ramp: linear from black to white, with a quadratic toe of the
// given radius around black (the shadow lift).
class dng_function_exposure_ramp : public dng_1d_function {
public:
    dng_function_exposure_ramp(real64 white, real64 black, real64 minBlack);
    real64 Evaluate(real64 x) const override;

    real64 fSlope;
    real64 fBlack;
    real64 fRadius;
    real64 fQScale;
};

// Negative exposure: linear darkening below 0.25 and a quadratic above that
// still maps 1 to 1; no change for exposure >= 0.
class dng_function_exposure_tone : public dng_1d_function {
public:
    explicit dng_function_exposure_tone(real64 exposure);
    real64 Evaluate(real64 x) const override;

    bool fIsNOP;
    real64 fSlope = 0.0;
    real64 a = 0.0;
    real64 b = 0.0;
    real64 c = 0.0;
};

class dng_render {
public:
    dng_render(dng_host& host, const dng_negative& negative);
    virtual ~dng_render();
    dng_render(const dng_render&) = delete;
    dng_render& operator=(const dng_render&) = delete;

    void SetWhiteXY(const dng_xy_coord& white) { fWhiteXY = white; }
    const dng_xy_coord& WhiteXY() const { return fWhiteXY; }
    void SetExposure(real64 exposure) { fExposure = exposure; }
    real64 Exposure() const { return fExposure; }
    void SetShadows(real64 shadows) { fShadows = shadows; }
    real64 Shadows() const { return fShadows; }
    void SetToneCurve(const dng_1d_function& curve) { fToneCurve = &curve; }
    const dng_1d_function& ToneCurve() const { return *fToneCurve; }
    void SetFinalSpace(const dng_color_space& space) { fFinalSpace = &space; }
    const dng_color_space& FinalSpace() const { return *fFinalSpace; }
    void SetFinalPixelType(uint32 pixelType) { fFinalPixelType = pixelType; }
    uint32 FinalPixelType() const { return fFinalPixelType; }
    void SetMaximumSize(uint32 size) { fMaximumSize = size; }
    uint32 MaximumSize() const { return fMaximumSize; }

    // The target size (width, height) of a render of a crop of the given
    // width and square height under a maximum size (0: none).
    static void TargetSize(real64 cropWidth, real64 squareHeight, real64 scaleH, uint32 maximumSize,
                           uint32& width, uint32& height);

    virtual std::unique_ptr<dng_image> Render();

    dng_host& Host() const { return fHost; }
    const dng_negative& Negative() const { return fNegative; }

private:
    dng_host& fHost;
    const dng_negative& fNegative;
    dng_xy_coord fWhiteXY;
    real64 fExposure = 0.0;
    real64 fShadows = 5.0;
    const dng_1d_function* fToneCurve;
    const dng_color_space* fFinalSpace;
    uint32 fFinalPixelType = 1;
    uint32 fMaximumSize = 0;
    std::unique_ptr<dng_spline_solver> fProfileToneCurve;
};
