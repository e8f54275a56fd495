#include "engine/CoreEngineFilter.h"

#include <cstring>
#include <mutex>
#include <vector>

#include "engine/CorePixelRule.h"
#include "platform/AsciiCase.h"
#include "platform/Locks.h"

using platform::CIImage;
using platform::Dictionary;
using platform::Value;

Dictionary CoreEngineFilter::filterAttributes(const char* name, const char* displayName,
                                              double temperatureDefault) {
    Dictionary d{
        {"CIAttributeFilterName", name},
        {"CIAttributeFilterDisplayName", displayName},
        {"CIAttributeFilterCategories",
         Value(Value::Array{"CICategoryColorAdjustment", "CICategoryVideo", "CICategoryStillImage",
                            "CICategoryInterlaced", "CICategoryNonSquarePixels"})},
        {"inputImage", platform::CIFilter::imageAttribute()}};
    for (const auto& [key, value] : sliderAttributes(temperatureDefault)) d.set(key, value);
    return d;
}

CoreEngineFilter::CoreEngineFilter()
    : CIFilter(filterAttributes("CoreEngine", "Quorvex Core engine", 0)) {
    registerFilter();
}

void CoreEngineFilter::registerFilter() {
    static platform::OnceFlag once;
    platform::callOnce(once, [] {
        registerFilterName("CoreEngine", "CoreEngineFilter",
                           [] { return std::make_shared<CoreEngineFilter>(); });
    });
}

Dictionary CoreEngineFilter::sliderAttributes(double temperatureDefault) {
    return Dictionary{
        {"inputEV", scalarAttribute(0, 0, -10, 10, 0.5, 0)},
        {"inputSaturation", scalarAttribute(0, 2, 0, 2, 1, 1)},
        {"inputBrightness", scalarAttribute(0, 4, 0, 4, 0, 0)},
        {"inputContrast", scalarAttribute(0, 4, 0, 4, 1, 1)},
        {"inputAngle", scalarAttribute(0, 0, -3.14, 3.14, 0, 0)},
        {"inputTemperature", scalarAttribute(1000, 14000, 1000, 14000, temperatureDefault, 0)},
        {"inputTint", scalarAttribute(-150, 150, -150, 150, 0, 0)},
        {"inputFillLight", scalarAttribute(-2, 2, 0, 2, 0, 1)},
        {"inputHighLight", scalarAttribute(-2, 2, 0, 2, 0, 1)},
    };
}

void CoreEngineFilter::setValue(const std::string& key, const Value& value) {
    if (!platform::equalsIgnoringAsciiCase(key, "inputImage")) isDirty_ = true;
    CIFilter::setValue(key, value);
}

void CoreEngineFilter::setCameraParameters(ComputeMatrixAndLUT::DictionaryPtr parameters) {
    cameraParameters_ = std::move(parameters);
    invalidateOutput();
}

void CoreEngineFilter::setImageParameters(ComputeMatrixAndLUT::DictionaryPtr parameters) {
    imageParameters_ = std::move(parameters);
    invalidateOutput();
}

CIImage::Ptr CoreEngineFilter::makeOutputImage() {
    auto in = image("inputImage");
    if (!in) return nullptr;
    std::vector<float> table(size_t(kLUTSize) * 4, 0.0f);
    float matrix[4][4] = {{1, 0, 0, 1228.8f}, {0, 1, 0, 2457.6f}, {0, 0, 1, 409.6f}, {0, 0, 0, 0}};
    float offset = 0, kneeLow = 0, kneeF = -1;
    ComputeMatrixAndLUT compute;
    compute.setCameraParameters(cameraParameters_);
    compute.setImageParameters(imageParameters_);
    compute.populateFloatLUTAndMatrix(table.data(), kLUTSize, matrix, &offset, &kneeLow, &kneeF);
    // The kernel takes the colour rows of the matrix only.
    std::memset(matrix[3], 0, sizeof matrix[3]);

    platform::CoreTone tone;
    tone.table = table.data();
    tone.tableSize = kLUTSize;
    tone.outputOffset = offset;

    const size_t w = in->width(), h = in->height();
    auto out = CIImage::allocatePixels(w, h);
    if (!out) return nullptr;
    const size_t inRowBytes = in->bitmap()->bytesPerRow();
    forEachRowBand(h, [&](size_t first, size_t end) {
        namespace vimage = platform::vimage;
        float* rows = out.get() + first * w * 4;
        const vimage::Buffer src{const_cast<float*>(in->row(first)), end - first, w, inRowBytes};
        const vimage::Buffer dst{rows, end - first, w, w * 16};
        if (platform::coreMatrixRows(src, dst, matrix)) return;
        for (size_t y = first; y < end; ++y)
            platform::coreToneFloatRow<false, platform::CoreLookup::linear>(out.get() + y * w * 4,
                                                                            int(w), tone);
    });
    return CIImage::imageWithPixels(w, h, in->origin(), std::move(out), in->colorSpace());
}
