#include "engine/PixelatedCIImages.h"

#include "engine/PixelZoomFilter.h"

using platform::CIImage;

PixelatedCIImages::PixelatedCIImages() { PixelZoomFilter::registerFilter(); }

void PixelatedCIImages::setImage(CIImage::Ptr image, int imageNum) {
    if (imageNum != 0 && imageNum != 1) return;
    auto& filter = pixelZoomFilter_[size_t(imageNum)];
    if (!filter) {
        filter = platform::CIFilter::filterWithName("PixelZoom");
        if (!filter) return;
        filter->setDefaults();
        filter->setValue("scaleTest", double(pixelScaleFactor_));
    }
    filter->setImage("inputImage", std::move(image));
}

CIImage::Ptr PixelatedCIImages::getInputImage(int imageNum) const {
    if ((imageNum != 0 && imageNum != 1) || !pixelZoomFilter_[size_t(imageNum)]) return nullptr;
    return pixelZoomFilter_[size_t(imageNum)]->image("inputImage");
}

CIImage::Ptr PixelatedCIImages::getPixelatedImage(int imageNum) {
    if ((imageNum != 0 && imageNum != 1) || !pixelZoomFilter_[size_t(imageNum)]) return nullptr;
    auto& filter = pixelZoomFilter_[size_t(imageNum)];
    if (pixelScaleFactor_ <= 1.0f) return filter->image("inputImage");
    return filter->outputImage();
}

void PixelatedCIImages::setPixelScaleFactor(float factor) {
    pixelScaleFactor_ = factor;
    for (auto& filter : pixelZoomFilter_)
        if (filter) filter->setValue("scaleTest", double(factor));
}
