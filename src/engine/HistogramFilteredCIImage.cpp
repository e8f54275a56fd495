#include "engine/HistogramFilteredCIImage.h"

#include <algorithm>

#include "platform/Log.h"

using platform::CIFilter;
using platform::CIImage;
using platform::Rect;

HistogramFilteredCIImage::HistogramFilteredCIImage() {
    HistogramFilter::registerFilter();
    gammaFilter_ = CIFilter::filterWithName("CIGammaAdjust");
    addFilter(gammaFilter_);
    areaHistogramFilter_ = CIFilter::filterWithName("CIAreaHistogram");
    addFilter(areaHistogramFilter_);
    const CIImage::Ptr bins = areaHistogramFilter_->outputImage();
    maxFilter_ = CIFilter::filterWithName("CIAreaMaximum");
    maxFilter_->setImage("inputImage", bins);
    maxFilter_->setValue("inputExtent", CIFilter::vectorValue(bins ? bins->extent() : Rect{}));
    tmpFilter_ = CIFilter::filterWithName("CICrop");
    hFilter_ =
        std::dynamic_pointer_cast<HistogramFilter>(CIFilter::filterWithName("HistogramFilter"));
    addFilter(hFilter_);
    hFilter_->setImage("inputImage", bins);
    hFilter_->setImage("maxCImage", maxFilter_->outputImage());
}

void HistogramFilteredCIImage::configureFilters() {
    std::lock_guard lock(lock_);
    if (!inputImage_ || !hasBins()) {
        gammaFilter_->setImage("inputImage", nullptr);
        areaHistogramFilter_->setImage("inputImage", nullptr);
        hFilter_->setImage("inputImage", nullptr);
        hFilter_->setImage("maxCImage", nullptr);
        return;
    }
    gammaFilter_->setImage("inputImage", inputImage_);
    gammaFilter_->setValue("inputPower", kGamma);
    areaHistogramFilter_->setImage("inputImage", gammaFilter_->outputImage());
    areaHistogramFilter_->setValue("inputExtent", CIFilter::vectorValue(inputImage_->extent()));
    areaHistogramFilter_->setValue("inputScale", kHistogramScale);
    areaHistogramFilter_->setValue("inputCount", outputSize_.width);
    const CIImage::Ptr bins = areaHistogramFilter_->outputImage();
    const Rect all = bins ? bins->extent() : Rect{};
    const Rect inner{all.x + 1, all.y, all.width - 2, all.height};
    maxFilter_->setImage("inputImage", bins);
    maxFilter_->setValue("inputExtent", CIFilter::vectorValue(inner));
    tmpFilter_->setImage("inputImage", maxFilter_->outputImage());
    tmpFilter_->setValue("inputRectangle", CIFilter::vectorValue(inner));
    hFilter_->setOutputSize(outputSize_);
    hFilter_->setImage("inputImage", bins);
    hFilter_->setImage("maxCImage", tmpFilter_->outputImage());

    const CIImage::Ptr picture = hFilter_->outputImage();
    if (!picture || !picture->height()) return;
    const float* row = picture->row(0);
    for (size_t x = 0; x < std::min(kLoggedPixels, picture->width()); ++x) {
        const float* p = row + x * 4;
        auto byte = [](float v) { return !(v > 0) ? 0 : v >= 1 ? 255 : int(v * 255.0f + 0.5f); };
        platform::log("%i NSDeviceRGBColorSpace %g %g %g %g", int(x), byte(p[0]) / 255.0,
                      byte(p[1]) / 255.0, byte(p[2]) / 255.0, byte(p[3]) / 255.0);
    }
}

void HistogramFilteredCIImage::setInputImage(CIImage::Ptr image) {
    std::lock_guard lock(lock_);
    inputImage_ = image;
    configureFilters();
    if (hasBins()) FilteredCIImage::setInputImage(std::move(image));
}

CIImage::Ptr HistogramFilteredCIImage::getOutputImage() {
    std::lock_guard lock(lock_);
    configureFilters();
    if (!hasBins()) return nullptr;
    return FilteredCIImage::getOutputImage();
}
