// The core stage's colour and tone rendering as a filter over a float RGBA
// image: a ComputeMatrixAndLUT made from the filter's camera parameters and
// image parameters gives the matrix, the 4,096-entry gain table and the output
// offset; each pixel goes through the matrix (its alpha left out), the gain
// read from the table by linear interpolation at the luminance index, plus
// the offset (no knee). Output: float RGBA with alpha 1, the input's extent.
// Without either dictionary the matrix stays the plain one and the table all
// zero. The slider attributes describe the settings; they are stored, not
// applied.
//
// Registered as "CoreEngine" ("Quorvex Core engine"). Ownership: holds both
// dictionaries. One thread at a time, like every filter.
#pragma once

#include <memory>
#include <string>

#include "color/ComputeMatrixAndLUT.h"
#include "platform/CIFilter.h"

class CoreEngineFilter : public platform::CIFilter {
public:
    static constexpr int kLUTSize = 4096;

    CoreEngineFilter();
    // Registers the class's filter name, once.
    static void registerFilter();
    // The slider attributes shared with HistogramFilter, which differs only
    // in its default temperature.
    static platform::Dictionary sliderAttributes(double temperatureDefault);
    // A whole attribute set of either filter: its names, categories, input
    // image and the sliders.
    static platform::Dictionary filterAttributes(const char* name, const char* displayName,
                                                 double temperatureDefault);

    // Marks the filter dirty for any key but "inputImage" (in any case).
    void setValue(const std::string& key, const platform::Value& value) override;
    bool isDirty() const { return isDirty_; }

    const ComputeMatrixAndLUT::DictionaryPtr& cameraParameters() const { return cameraParameters_; }
    void setCameraParameters(ComputeMatrixAndLUT::DictionaryPtr parameters);
    const ComputeMatrixAndLUT::DictionaryPtr& imageParameters() const { return imageParameters_; }
    void setImageParameters(ComputeMatrixAndLUT::DictionaryPtr parameters);

protected:
    platform::CIImage::Ptr makeOutputImage() override;

private:
    ComputeMatrixAndLUT::DictionaryPtr cameraParameters_;
    ComputeMatrixAndLUT::DictionaryPtr imageParameters_;
    bool isDirty_ = false;
};
