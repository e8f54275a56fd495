// Nearest-neighbour magnification by "scaleTest": the output's extent is
// (trunc(x), trunc(y), width × scale, height × scale) of the input's (whole
// pixels, rounded up), and each output pixel repeats the input pixel under
// its centre divided by the scale. No output for a missing, non-positive or
// oversized scale.
//
// Registered as "PixelZoom" ("Pixel Zoom Filter"). One thread at a time.
#pragma once

#include "platform/BitmapGeometry.h"
#include "platform/CIFilter.h"

class PixelZoomFilter : public platform::CIFilter {
public:
    PixelZoomFilter();
    static void registerFilter();

    // The input area that the output area `rect` reads: for sampler 0 the
    // rectangle divided by the scale held first in `userInfo`, for any other
    // sampler the rectangle itself (also when the scale is not positive).
    platform::Rect zoomROI(int sampler, const platform::Rect& rect,
                           const platform::Value& userInfo) const;

protected:
    platform::CIImage::Ptr makeOutputImage() override;
};
