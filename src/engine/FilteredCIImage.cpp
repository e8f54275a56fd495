#include "engine/FilteredCIImage.h"

#include <algorithm>
#include <cmath>
#include <optional>

#include "color/SettingsKeys.h"

using platform::CIFilter;
using platform::CIImage;
using platform::Value;

namespace {

bool sameNumber(const Value& a, const Value& b) {
    if (!a.isNumber() || !b.isNumber()) return false;
    if (a.isReal() || b.isReal()) return a.realValue() == b.realValue();
    return a.integerValue() == b.integerValue();
}

}  // namespace

void FilteredCIImage::addFilter(CIFilter::Ptr filter) {
    if (!filter) return;
    filter->setDefaults();
    filters_.push_back(std::move(filter));
}

void FilteredCIImage::removeFilter(const CIFilter::Ptr& filter) {
    filters_.erase(std::remove(filters_.begin(), filters_.end(), filter), filters_.end());
}

void FilteredCIImage::setInputImage(CIImage::Ptr image) {
    std::lock_guard lock(lock_);
    inputImage_ = std::move(image);
    CIImage::Ptr current = inputImage_;
    for (size_t i = 0; i < filters_.size(); ++i) {
        filters_[i]->setImage("inputImage", current);
        if (current && i + 1 < filters_.size()) current = filters_[i]->outputImage();
    }
}

CIImage::Ptr FilteredCIImage::getOutputImage() {
    std::lock_guard lock(lock_);
    if (!filters_.empty() && inputImage_) return filters_.back()->outputImage();
    return inputImage_;
}

void FilteredCIImage::applyAdjustments(const platform::Dictionary& settings) {
    // Every filter with a changed attribute gets the value before any is
    // remembered, so two filters sharing an attribute name both receive it.
    std::optional<size_t> first;
    platform::Dictionary applied;
    for (size_t i = 0; i < filters_.size(); ++i) {
        for (const auto& [key, description] : filters_[i]->attributes()) {
            const Value& v = settings[SettingsKeys::kFilterPrefix + key];
            if (v.isNull()) continue;
            const Value* last = localValues_.find(key);
            if (last && sameNumber(v, *last)) continue;
            filters_[i]->setValue(key, v);
            applied.set(key, v);
            if (!first) first = i;
        }
    }
    for (const auto& [key, v] : applied) localValues_.set(key, v);
    if (!first) return;
    for (size_t i = *first; i < filters_.size(); ++i) {
        const CIImage::Ptr input = i == 0 ? inputImage_ : filters_[i - 1]->outputImage();
        if (filters_[i]->hasAttribute("inputExtent"))
            filters_[i]->setValue(
                "inputExtent", CIFilter::vectorValue(input ? input->extent() : platform::Rect{}));
        if (input) filters_[i]->setImage("inputImage", input);
    }
}

std::shared_ptr<const platform::BitmapImage> FilteredCIImage::resultingNSImage() {
    const CIImage::Ptr out = getOutputImage();
    if (!out) return nullptr;
    const size_t w = out->width(), h = out->height();
    std::vector<uint8_t> bytes(w * h * 4);
    for (size_t y = 0; y < h; ++y) {
        const float* p = out->row(y);
        for (size_t i = 0; i < w * 4; ++i) {
            const float v = p[i];
            bytes[y * w * 4 + i] = !(v > 0) ? 0 : v >= 1 ? 255 : uint8_t(std::lround(v * 255.0f));
        }
    }
    return platform::BitmapImage::create(
        w, h, 8, 32, w * 4, platform::kBitmapAlphaPremultipliedLast,
        platform::genericRGBColorSpace(), platform::BitmapDataProvider::withData(std::move(bytes)));
}
