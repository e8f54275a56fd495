// Two images (numbers 0 and 1) shown magnified by one pixel scale factor
// through "PixelZoom" filters, each made when its image is first set. A
// filter made after the factor was changed starts at that factor, so both
// images always share it.
//
// Ownership: owns the two filters. One thread at a time.
#pragma once

#include <array>

#include "platform/CIFilter.h"

class PixelatedCIImages {
public:
    PixelatedCIImages();

    // Numbers other than 0 and 1 are ignored (null for the getters).
    void setImage(platform::CIImage::Ptr image, int imageNum);
    platform::CIImage::Ptr getInputImage(int imageNum) const;
    // The input itself at a factor of 1.0 or less, else the magnified image.
    platform::CIImage::Ptr getPixelatedImage(int imageNum);
    void setPixelScaleFactor(float factor);
    float getPixelScaleFactor() const { return pixelScaleFactor_; }

private:
    std::array<platform::CIFilter::Ptr, 2> pixelZoomFilter_;
    float pixelScaleFactor_ = 1.0f;
};
