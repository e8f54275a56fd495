#include "engine/PixelZoomFilter.h"

#include <algorithm>
#include <cmath>
#include <mutex>
#include <vector>

#include "platform/Locks.h"

using platform::CIImage;
using platform::Dictionary;
using platform::Rect;
using platform::Value;

PixelZoomFilter::PixelZoomFilter()
    : CIFilter(Dictionary{{"CIAttributeFilterName", "PixelZoom"},
                          {"CIAttributeFilterDisplayName", "Pixel Zoom Filter"},
                          {"CIAttributeFilterCategories",
                           Value(Value::Array{"CICategoryGeometryAdjustment", "CICategoryVideo",
                                              "CICategoryStillImage", "CICategoryInterlaced",
                                              "CICategoryNonSquarePixels"})},
                          {"inputImage", imageAttribute()},
                          {"scaleTest", scalarAttribute(1, 4, 1, 4, 1, 0)}}) {
    registerFilter();
}

void PixelZoomFilter::registerFilter() {
    static platform::OnceFlag once;
    platform::callOnce(once, [] {
        registerFilterName("PixelZoom", "PixelZoomFilter",
                           [] { return std::make_shared<PixelZoomFilter>(); });
    });
}

Rect PixelZoomFilter::zoomROI(int sampler, const Rect& rect, const Value& userInfo) const {
    const double scale =
        userInfo.isArray() && !userInfo.array().empty() ? userInfo.array()[0].realValue() : 0;
    if (sampler != 0 || !(scale > 0)) return rect;
    return Rect{rect.x / scale, rect.y / scale, rect.width / scale, rect.height / scale};
}

CIImage::Ptr PixelZoomFilter::makeOutputImage() {
    auto in = image("inputImage");
    const double scale = value("scaleTest").realValue(0);
    if (!in || !(scale > 0)) return nullptr;
    const double wd = std::ceil(double(in->width()) * scale);
    const double hd = std::ceil(double(in->height()) * scale);
    if (!(wd <= double(CIImage::kMaxSide) && hd <= double(CIImage::kMaxSide))) return nullptr;
    const size_t w = size_t(wd), h = size_t(hd);
    // Output column (or row from the bottom) i shows input pixel floor((i + 0.5) ÷ scale).
    auto source = [scale](size_t i, size_t n) {
        return std::min(size_t((double(i) + 0.5) / scale), n - 1);
    };
    std::vector<size_t> columns(w);
    for (size_t x = 0; x < w; ++x) columns[x] = source(x, in->width());
    auto out = CIImage::allocatePixels(w, h);
    if (!out) return nullptr;
    forEachRowBand(h, [&](size_t first, size_t end) {
        for (size_t row = first; row < end; ++row) {
            const float* s = in->pixel(0, source(h - 1 - row, in->height()));
            float* o = out.get() + row * w * 4;
            for (size_t x = 0; x < w; ++x) std::copy_n(s + columns[x] * 4, 4, o + x * 4);
        }
    });
    const platform::Point o = in->origin();
    return CIImage::imageWithPixels(w, h, platform::Point{std::trunc(o.x), std::trunc(o.y)},
                                    std::move(out), in->colorSpace());
}
