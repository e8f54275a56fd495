// The colour filter array of a mosaic negative: the repeating pattern (up to
// 8 x 8 colour codes), the colour of each plane, the layout (rectangular or
// staggered), the Bayer green split and the sizes used to choose a down
// scale. Turns the one-plane mosaic into one plane per colour, at full size
// (bilinear interpolator) or reduced (fast interpolator), both as host area
// tasks over destination tiles.
//
// Ownership: a plain record owned by the negative.
// Threads: read-only use from several threads is safe; the interpolations
// run on the caller's thread or as host area tasks.
#pragma once

#include <cstdint>

#include "dng/core/dng_point.h"

class dng_host;
class dng_image;
class dng_ifd;
class dng_negative;
class dng_stream;

class dng_mosaic_info {
public:
    static constexpr uint32_t kMaxCFAPattern = 8;
    static constexpr uint32_t kMaxColorPlanes = 4;
    static constexpr uint32_t kMaxDownScale = 64;

    dng_point fCFAPatternSize{0, 0};
    uint8_t fCFAPattern[kMaxCFAPattern][kMaxCFAPattern] = {};
    uint32_t fColorPlanes = 0;
    uint8_t fCFAPlaneColor[kMaxColorPlanes] = {};
    uint32_t fCFALayout = 1;
    uint32_t fBayerGreenSplit = 0;
    dng_point fSrcSize{0, 0};
    dng_point fCroppedSize{0, 0};
    double fAspectRatio = 1.0;

    dng_mosaic_info();
    virtual ~dng_mosaic_info();

    // Takes the CFA description of a main IFD whose photometric
    // interpretation is 32803, with the file's plane colours (colorPlanes
    // codes) and the Bayer green split; any other IFD leaves the record
    // unchanged.
    virtual void Parse(dng_host& host, dng_stream& stream, const dng_ifd& mainIFD,
                       uint32_t colorPlanes, const uint8_t* planeColors, uint32_t bayerGreenSplit);

    // Sizes from the negative once its stage-1 image and crop are known.
    void SetSizes(const dng_point& srcSize, const dng_point& croppedSize, double aspectRatio);

    bool IsColorFilterArray() const { return fCFAPatternSize.v != 0 && fCFAPatternSize.h != 0; }

    // Splits the green of a 2 x 2 three-colour Bayer pattern into two planes.
    virtual bool SetFourColorBayer();

    // Destination rows and columns per source pixel at full size.
    virtual dng_point FullScale() const;

    virtual dng_point DownScale(uint32_t minSize, uint32_t prefSize, double cropFactor) const;
    virtual dng_point DstSize(const dng_point& downScale) const;

    virtual void InterpolateGeneric(dng_host& host, dng_negative* negative,
                                    const dng_image& srcImage, dng_image& dstImage,
                                    uint32_t srcPlane = 0) const;
    virtual void InterpolateFast(dng_host& host, dng_negative* negative, const dng_image& srcImage,
                                 dng_image& dstImage, const dng_point& downScale,
                                 uint32_t srcPlane = 0) const;

    // Full size for a 1 x 1 down scale, else the fast interpolator. When
    // scales is given it receives, for each destination plane, the
    // (1 / down rows, 1 / down columns) scale of that plane.
    virtual void Interpolate(dng_host& host, dng_negative* negative, const dng_image& srcImage,
                             dng_image& dstImage, const dng_point& downScale, uint32_t srcPlane = 0,
                             dng_point_real64* scales = nullptr) const;

    virtual bool SupportsPreservedBlackLevels() const { return false; }

    virtual bool IsSafeDownScale(const dng_point& downScale) const;
    virtual bool ValidSizeDownScale(const dng_point& downScale, uint32_t minSize) const;
    uint32_t SizeForDownScale(const dng_point& downScale) const;
};
