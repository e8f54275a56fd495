// A chain of filters over one input image whose parameters come from a
// settings dictionary: filter i's output is filter i + 1's input, and a
// setting "Quorvex_Filter_<attribute>" reaches every filter that has that
// attribute. Applying settings re-runs the chain only from the first filter
// whose attribute changed (an equal number changes nothing); filters keep
// their outputs until an input changes, so the filters before it are not
// redone.
//
// Ownership: owns its filters and holds its input. setInputImage and
// getOutputImage hold the object's (recursive) lock; the rest belongs to one
// thread at a time.
#pragma once

#include <memory>
#include <mutex>
#include <vector>

#include "platform/BitmapImage.h"
#include "platform/CIFilter.h"

class FilteredCIImage {
public:
    FilteredCIImage() = default;
    explicit FilteredCIImage(platform::CIImage::Ptr image) : inputImage_(std::move(image)) {}
    virtual ~FilteredCIImage() = default;
    FilteredCIImage(const FilteredCIImage&) = delete;
    FilteredCIImage& operator=(const FilteredCIImage&) = delete;

    platform::CIImage::Ptr getInputImage() const { return inputImage_; }
    // Sets the filter's defaults and appends it (a null filter is ignored).
    void addFilter(platform::CIFilter::Ptr filter);
    void removeFilter(const platform::CIFilter::Ptr& filter);
    const std::vector<platform::CIFilter::Ptr>& filters() const { return filters_; }

    // Replaces the input and hands it down the chain.
    virtual void setInputImage(platform::CIImage::Ptr image);
    // The last filter's output, or the input when there is no filter or no input.
    virtual platform::CIImage::Ptr getOutputImage();
    virtual void applyAdjustments(const platform::Dictionary& settings);
    // The output as an 8-bit RGBA bitmap of its extent's size; null without output.
    std::shared_ptr<const platform::BitmapImage> resultingNSImage();

    // The value last applied per attribute name.
    const platform::Dictionary& localValues() const { return localValues_; }

protected:
    std::recursive_mutex lock_;
    std::vector<platform::CIFilter::Ptr> filters_;
    platform::CIImage::Ptr inputImage_;
    platform::Dictionary localValues_;
};
