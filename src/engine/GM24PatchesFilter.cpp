#include "engine/GM24PatchesFilter.h"

#include <algorithm>
#include <mutex>
#include <vector>

#include "platform/Locks.h"

using platform::CIImage;
using platform::Dictionary;
using platform::Value;

GM24PatchesFilter::GM24PatchesFilter()
    : CIFilter(Dictionary{{"CIAttributeFilterName", "GM24Patches"},
                          {"CIAttributeFilterDisplayName", "Gretag Macbeth 24 patch generator"},
                          {"CIAttributeFilterCategories",
                           Value(Value::Array{"CICategoryColorAdjustment", "CICategoryVideo",
                                              "CICategoryStillImage", "CICategoryInterlaced",
                                              "CICategoryNonSquarePixels"})},
                          {"inputImage", imageAttribute()},
                          {"a", scalarAttribute(-5, 5, -5, 5, 0, 0)},
                          {"b", scalarAttribute(-5, 5, -5, 5, 0, 0)},
                          {"clamp", scalarAttribute(-5, 5, -5, 5, 0, 0)}}) {
    registerFilter();
}

void GM24PatchesFilter::registerFilter() {
    static platform::OnceFlag once;
    platform::callOnce(once, [] {
        registerFilterName("GM24Patches", "GM24PatchesFilter",
                           [] { return std::make_shared<GM24PatchesFilter>(); });
    });
}

CIImage::Ptr GM24PatchesFilter::makeOutputImage() {
    auto in = image("inputImage");
    if (!in) return nullptr;
    const float a = value("a").isNull() ? 1.0f : value("a").floatValue();
    const float b = value("b").isNull() ? 0.0f : value("b").floatValue();
    const float clamp = value("clamp").isNull() ? 100.0f : value("clamp").floatValue();
    return mapColourSamples(*in, [=](float v) { return std::min(a * v + b, clamp); });
}
