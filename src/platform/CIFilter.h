// Filters of our Core Image replacement: objects with named attributes
// (property-list values; images travel as CIImage objects) that make an
// output image from them with a C++ kernel, on the processor.
//
// A filter describes itself through attributes(): "CIAttributeFilterName",
// "CIAttributeFilterDisplayName", "CIAttributeFilterCategories" and one
// dictionary per input key ("CIAttributeClass", and for scalars
// "CIAttributeMin", "CIAttributeMax", "CIAttributeSliderMin",
// "CIAttributeSliderMax", "CIAttributeDefault", "CIAttributeIdentity").
// setDefaults() sets every input that has a default.
//
// Registry: filterWithName() makes a new filter of a registered name (or of
// its class name). The platform's own "CIGammaAdjust", "CIAreaHistogram",
// "CIAreaMaximum" and "CICrop" are always there; other filters register
// themselves when their class is first used.
//
// Ownership: a filter owns its attribute values and keeps its last output
// until a value changes. A filter belongs to one thread at a time; the
// registry may be used from any thread.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/CIImage.h"
#include "platform/Value.h"

namespace platform {

class CIFilter {
public:
    using Ptr = std::shared_ptr<CIFilter>;
    using Factory = std::function<Ptr()>;

    virtual ~CIFilter() = default;
    CIFilter(const CIFilter&) = delete;
    CIFilter& operator=(const CIFilter&) = delete;

    // Adds (or replaces) a name; `className` is found by filterWithName too.
    static void registerFilterName(const std::string& name, const std::string& className,
                                   Factory factory);
    // A new filter, or null for a name nobody registered.
    static Ptr filterWithName(std::string_view name);

    std::string name() const { return classAttributes_["CIAttributeFilterName"].stringValue(); }
    virtual Dictionary attributes() const { return classAttributes_; }
    // The attribute names that describe inputs (those holding a dictionary).
    std::vector<std::string> inputKeys() const;
    bool hasAttribute(std::string_view key) const { return attributes().contains(key); }

    // Stores a value (null removes it). "outputImage" cannot be set.
    virtual void setValue(const std::string& key, const Value& value);
    // The stored value; "outputImage" answers the output image.
    Value valueForKey(std::string_view key);
    void setDefaults();

    // The kernel's result for the current values (made once per change of
    // them); null when an input it needs is missing.
    CIImage::Ptr outputImage();

    void setImage(const std::string& key, CIImage::Ptr image) {
        setValue(key, ciImageValue(std::move(image)));
    }
    CIImage::Ptr image(std::string_view key) const { return ciImageFromValue(values_[key]); }

    // Threads a kernel may use: 0 means one per processor.
    void setWorkerCount(int count) { workers_ = count < 0 ? 0 : count; }
    int workerCount() const { return workers_; }

    // Attribute dictionaries for subclasses.
    static Dictionary scalarAttribute(double min, double max, double sliderMin, double sliderMax,
                                      double defaultValue, double identity);
    static Dictionary imageAttribute();
    static Dictionary vectorAttribute(const Value& defaultValue);
    // A vector (x, y, width, height) as a value, and back.
    static Value vectorValue(const Rect& r);
    static Rect rectFromValue(const Value& v, const Rect& fallback);

protected:
    explicit CIFilter(Dictionary classAttributes) : classAttributes_(std::move(classAttributes)) {}

    virtual CIImage::Ptr makeOutputImage() = 0;
    const Value& value(std::string_view key) const { return values_[key]; }
    void invalidateOutput() { outputValid_ = false; }
    // body(first, end) over [0, rows) in contiguous bands, on at most
    // workerCount threads (the caller takes part).
    void forEachRowBand(size_t rows, const std::function<void(size_t, size_t)>& body) const;
    // A new image of in's size and place with f applied to every colour
    // sample; alpha is kept. Null when the pixels cannot be had.
    template <typename F>
    CIImage::Ptr mapColourSamples(const CIImage& in, F f) const {
        const size_t w = in.width(), h = in.height();
        auto out = CIImage::allocatePixels(w, h);
        if (!out) return nullptr;
        forEachRowBand(h, [&](size_t first, size_t end) {
            for (size_t y = first; y < end; ++y) {
                const float* s = in.row(y);
                float* d = out.get() + y * w * 4;
                for (size_t i = 0; i < w * 4; i += 4) {
                    for (int c = 0; c < 3; ++c) d[i + c] = f(s[i + c]);
                    d[i + 3] = s[i + 3];
                }
            }
        });
        return CIImage::imageWithPixels(w, h, in.origin(), std::move(out), in.colorSpace());
    }

private:
    Dictionary classAttributes_;
    Dictionary values_;
    CIImage::Ptr output_;
    bool outputValid_ = false;
    int workers_ = 0;
};

}  // namespace platform
