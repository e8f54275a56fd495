// The platform's own filters, kept to what the application's histogram chain
// asks of them:
//  - "CIGammaAdjust": each colour channel x becomes x^inputPower (the sign
//    kept for negative values), alpha unchanged;
//  - "CIAreaHistogram": inputCount bins per channel (alpha included) over the
//    pixels of inputExtent, a value v falling in bin floor(v × count) clamped
//    to the end bins; each bin holds its pixel count × inputScale ÷ the
//    pixels counted. Output: count × 1 pixels at the origin;
//  - "CIAreaMaximum": each channel's maximum over inputExtent, as a 1 × 1
//    image at the extent's origin;
//  - "CICrop": the pixels inside inputRectangle, at their place.
// A pixel belongs to a rectangle when its centre lies inside.
#include <algorithm>
#include <cmath>
#include <limits>

#include "platform/CIFilter.h"

namespace platform {

namespace {

// Pixel columns [x0, x1) and rows [y0, y1) (counted from the bottom) of an
// image whose centres lie in `r`.
struct PixelSpan {
    size_t x0 = 0, x1 = 0, y0 = 0, y1 = 0;
    bool empty() const { return x0 >= x1 || y0 >= y1; }
    size_t count() const { return empty() ? 0 : (x1 - x0) * (y1 - y0); }
};

size_t clampIndex(double v, size_t n) {
    if (!(v > 0)) return 0;
    return v >= double(n) ? n : size_t(v);
}

PixelSpan spanOf(const CIImage& image, Rect r) {
    PixelSpan s;
    r = r.standardized();
    if (r.isNull() || std::isnan(r.x) || std::isnan(r.y) || std::isnan(r.width) ||
        std::isnan(r.height))
        return s;
    const Point o = image.origin();
    s.x0 = clampIndex(std::ceil(r.x - o.x - 0.5), image.width());
    s.x1 = clampIndex(std::ceil(r.x + r.width - o.x - 0.5), image.width());
    s.y0 = clampIndex(std::ceil(r.y - o.y - 0.5), image.height());
    s.y1 = clampIndex(std::ceil(r.y + r.height - o.y - 0.5), image.height());
    return s;
}

Value kDefaultExtent() { return CIFilter::vectorValue(Rect{0, 0, 640, 80}); }

Dictionary classAttributes(const char* name, const char* displayName,
                           std::initializer_list<const char*> categories,
                           std::initializer_list<Dictionary::Entry> inputs) {
    Value::Array cats;
    for (const char* c : categories) cats.emplace_back(c);
    cats.emplace_back("CICategoryBuiltIn");
    Dictionary d{{"CIAttributeFilterName", name},
                 {"CIAttributeFilterDisplayName", displayName},
                 {"CIAttributeFilterCategories", Value(std::move(cats))}};
    for (const auto& [key, value] : inputs) d.set(key, value);
    return d;
}

class GammaAdjust : public CIFilter {
public:
    GammaAdjust()
        : CIFilter(classAttributes(
              "CIGammaAdjust", "Gamma Adjust",
              {"CICategoryColorAdjustment", "CICategoryVideo", "CICategoryStillImage",
               "CICategoryInterlaced", "CICategoryNonSquarePixels"},
              {{"inputImage", imageAttribute()},
               {"inputPower", scalarAttribute(0, 4, 0.25, 4, 1, 1)}})) {}

protected:
    CIImage::Ptr makeOutputImage() override {
        auto in = image("inputImage");
        if (!in) return nullptr;
        const float power = value("inputPower").floatValue(1.0f);
        return mapColourSamples(
            *in, [power](float v) { return std::copysign(std::pow(std::fabs(v), power), v); });
    }
};

class AreaHistogram : public CIFilter {
public:
    static constexpr int kMaxCount = 2048;

    AreaHistogram()
        : CIFilter(classAttributes(
              "CIAreaHistogram", "Area Histogram",
              {"CICategoryReduction", "CICategoryVideo", "CICategoryStillImage"},
              {{"inputImage", imageAttribute()},
               {"inputExtent", vectorAttribute(kDefaultExtent())},
               {"inputScale", scalarAttribute(0, 1e6, 0, 100, 1, 1)},
               {"inputCount", scalarAttribute(1, kMaxCount, 1, kMaxCount, 64, 64)}})) {}

protected:
    CIImage::Ptr makeOutputImage() override {
        auto in = image("inputImage");
        if (!in) return nullptr;
        const double requested = value("inputCount").realValue(64);
        const size_t count =
            size_t(std::clamp(std::isnan(requested) ? 64.0 : requested, 1.0, double(kMaxCount)));
        const double scale = value("inputScale").realValue(1.0);
        const PixelSpan s = spanOf(*in, rectFromValue(value("inputExtent"), Rect{0, 0, 640, 80}));
        std::vector<uint64_t> hits(count * 4, 0);
        for (size_t y = s.y0; y < s.y1; ++y) {
            const float* p = in->pixel(s.x0, y);
            for (size_t x = s.x0; x < s.x1; ++x, p += 4)
                for (size_t c = 0; c < 4; ++c) {
                    const float v = p[c] * float(count);
                    const size_t bin = !(v > 0) ? 0 : v >= float(count) ? count - 1 : size_t(v);
                    ++hits[bin * 4 + c];
                }
        }
        std::vector<float> out(count * 4, 0.0f);
        if (const size_t n = s.count())
            for (size_t i = 0; i < out.size(); ++i)
                out[i] = float(double(hits[i]) * scale / double(n));
        return CIImage::imageWithPixels(count, 1, Point{}, std::move(out), in->colorSpace());
    }
};

class AreaMaximum : public CIFilter {
public:
    AreaMaximum()
        : CIFilter(
              classAttributes("CIAreaMaximum", "Area Maximum",
                              {"CICategoryReduction", "CICategoryVideo", "CICategoryStillImage"},
                              {{"inputImage", imageAttribute()},
                               {"inputExtent", vectorAttribute(kDefaultExtent())}})) {}

protected:
    CIImage::Ptr makeOutputImage() override {
        auto in = image("inputImage");
        if (!in) return nullptr;
        const Rect r = rectFromValue(value("inputExtent"), Rect{0, 0, 640, 80}).standardized();
        const PixelSpan s = spanOf(*in, r);
        if (s.empty()) return nullptr;
        std::vector<float> m(4, -std::numeric_limits<float>::infinity());
        for (size_t y = s.y0; y < s.y1; ++y) {
            const float* p = in->pixel(s.x0, y);
            for (size_t x = s.x0; x < s.x1; ++x, p += 4)
                for (size_t c = 0; c < 4; ++c)
                    if (p[c] > m[c]) m[c] = p[c];
        }
        return CIImage::imageWithPixels(1, 1, Point{r.x, r.y}, std::move(m), in->colorSpace());
    }
};

class Crop : public CIFilter {
public:
    Crop()
        : CIFilter(classAttributes(
              "CICrop", "Crop", {"CICategoryGeometryAdjustment", "CICategoryStillImage"},
              {{"inputImage", imageAttribute()},
               {"inputRectangle", vectorAttribute(vectorValue(Rect::infinite()))}})) {}

protected:
    CIImage::Ptr makeOutputImage() override {
        auto in = image("inputImage");
        if (!in) return nullptr;
        const PixelSpan s = spanOf(*in, rectFromValue(value("inputRectangle"), Rect::infinite()));
        if (s.empty()) return nullptr;
        // Bitmap rows run from the top.
        const Rect pixels{double(s.x0), double(in->height() - s.y1), double(s.x1 - s.x0),
                          double(s.y1 - s.y0)};
        const Point o = in->origin();
        return CIImage::imageWithBitmap(in->bitmap()->cropped(pixels),
                                        Point{o.x + double(s.x0), o.y + double(s.y0)});
    }
};

template <class F>
void add(const char* name, const char* className) {
    CIFilter::registerFilterName(name, className, [] { return std::make_shared<F>(); });
}

}  // namespace

namespace detail {
void registerBuiltinCIFilters() {
    add<GammaAdjust>("CIGammaAdjust", "CIGammaAdjust");
    add<AreaHistogram>("CIAreaHistogram", "CIAreaHistogram");
    add<AreaMaximum>("CIAreaMaximum", "CIAreaMaximum");
    add<Crop>("CICrop", "CICrop");
}
}  // namespace detail

}  // namespace platform
