// The picture of a histogram as a filter: the input is a histogram image
// (one bin per column, a channel per colour) and "maxCImage" an image whose
// pixel holds each channel's largest bin. Output: outputSize pixels at the
// origin; channel c of pixel (x, y), y counted from the bottom, is 1 where
// y < height × bin_c(x) ÷ max_c and 0 elsewhere, alpha 1 (three overlaid bar
// charts). Both images are read clamped to their extents and interpolated
// linearly. No output without either image or for an empty or oversized
// outputSize.
//
// Registered as "histogram" ("Quorvex Histogram"); its class name
// "HistogramFilter" is found too. One thread at a time.
#pragma once

#include <string>

#include "platform/BitmapGeometry.h"
#include "platform/CIFilter.h"

class HistogramFilter : public platform::CIFilter {
public:
    HistogramFilter();
    static void registerFilter();

    // Marks the filter dirty for any key but "inputImage" (in any case).
    void setValue(const std::string& key, const platform::Value& value) override;
    bool isDirty() const { return isDirty_; }

    platform::Size outputSize() const { return outputSize_; }
    void setOutputSize(platform::Size size);

protected:
    platform::CIImage::Ptr makeOutputImage() override;

private:
    platform::Size outputSize_;
    bool isDirty_ = false;
};
