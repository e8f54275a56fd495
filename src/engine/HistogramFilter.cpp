#include "engine/HistogramFilter.h"

#include <cmath>
#include <mutex>
#include <vector>

#include "engine/CoreEngineFilter.h"
#include "platform/AsciiCase.h"
#include "platform/Locks.h"

using platform::CIImage;
using platform::Dictionary;
using platform::Value;

HistogramFilter::HistogramFilter()
    : CIFilter(CoreEngineFilter::filterAttributes("histogram", "Quorvex Histogram", 6500)) {
    registerFilter();
}

void HistogramFilter::registerFilter() {
    static platform::OnceFlag once;
    platform::callOnce(once, [] {
        registerFilterName("histogram", "HistogramFilter",
                           [] { return std::make_shared<HistogramFilter>(); });
    });
}

void HistogramFilter::setValue(const std::string& key, const Value& value) {
    if (!platform::equalsIgnoringAsciiCase(key, "inputImage")) isDirty_ = true;
    CIFilter::setValue(key, value);
}

void HistogramFilter::setOutputSize(platform::Size size) {
    outputSize_ = size;
    invalidateOutput();
}

CIImage::Ptr HistogramFilter::makeOutputImage() {
    auto bins = image("inputImage");
    auto maxima = image("maxCImage");
    if (!bins || !maxima) return nullptr;
    const double wd = std::trunc(outputSize_.width), hd = std::trunc(outputSize_.height);
    if (!(wd >= 1 && hd >= 1 && wd <= double(CIImage::kMaxSide) && hd <= double(CIImage::kMaxSide)))
        return nullptr;
    const size_t w = size_t(wd), h = size_t(hd);
    const float height = float(outputSize_.height);
    auto out = CIImage::allocatePixels(w, h);
    if (!out) return nullptr;
    forEachRowBand(h, [&](size_t first, size_t end) {
        for (size_t row = first; row < end; ++row) {
            const size_t y = h - 1 - row;  // counted from the bottom
            float* o = out.get() + row * w * 4;
            for (size_t x = 0; x < w; ++x, o += 4) {
                float bin[4], top[4];
                bins->sample(double(x) + 0.5, double(y) + 0.5, true, bin);
                maxima->sample(double(x) + 0.5, double(y) + 0.5, true, top);
                for (int c = 0; c < 3; ++c)
                    o[c] = float(y) < height * bin[c] / top[c] ? 1.0f : 0.0f;
                o[3] = 1.0f;
            }
        }
    });
    return CIImage::imageWithPixels(w, h, platform::Point{}, std::move(out), bins->colorSpace());
}
