// The histogram picture of an image as a filter chain: the input raised to
// the power 0.45454544 ("CIGammaAdjust"), its histogram of outputSize-width
// bins ("CIAreaHistogram", scale 20), the largest bin of each channel
// leaving out the two end bins where clipped values pile up
// ("CIAreaMaximum" and "CICrop"), drawn as bars of outputSize by the
// "HistogramFilter". Settings do not reach it. An output narrower than three
// bins leaves no bins between the end bins: the chain then has no output.
//
// Ownership: owns its five filters. setInputImage and getOutputImage hold the
// object's lock.
#pragma once

#include <memory>

#include "engine/FilteredCIImage.h"
#include "engine/HistogramFilter.h"
#include "platform/BitmapGeometry.h"

class HistogramFilteredCIImage : public FilteredCIImage {
public:
    static constexpr float kGamma = 0.45454544f;
    static constexpr double kHistogramScale = 20.0;
    // Pixels of the rendered picture's top row that configureFilters logs.
    static constexpr size_t kLoggedPixels = 150;

    HistogramFilteredCIImage();

    // Points the filters at the input (or clears them without one) and logs
    // the colours of the picture's first pixels of row 0.
    void configureFilters();
    void setInputImage(platform::CIImage::Ptr image) override;
    platform::CIImage::Ptr getOutputImage() override;
    void applyAdjustments(const platform::Dictionary&) override {}

    platform::Size outputSize() const { return outputSize_; }
    void setOutputSize(platform::Size size) { outputSize_ = size; }

    // The filters of the chain, for inspection.
    const platform::CIFilter::Ptr& gammaFilter() const { return gammaFilter_; }
    const platform::CIFilter::Ptr& areaHistogramFilter() const { return areaHistogramFilter_; }
    const platform::CIFilter::Ptr& maxFilter() const { return maxFilter_; }
    const platform::CIFilter::Ptr& tmpFilter() const { return tmpFilter_; }
    const std::shared_ptr<HistogramFilter>& hFilter() const { return hFilter_; }

private:
    bool hasBins() const { return outputSize_.width >= 3; }

    platform::CIFilter::Ptr gammaFilter_, areaHistogramFilter_, maxFilter_, tmpFilter_;
    std::shared_ptr<HistogramFilter> hFilter_;
    platform::Size outputSize_;
};
