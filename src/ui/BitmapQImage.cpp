#include "ui/BitmapQImage.h"

namespace platform {

QImage qImageFromBitmap(const BitmapImage& bitmap) {
    const auto& provider = bitmap.dataProvider();
    if (!provider || bitmap.isFloat() || bitmap.bitsPerComponent() != 8 ||
        bitmap.bitsPerPixel() != 32 || bitmap.byteOrderInfo() != kBitmapByteOrderDefault)
        return {};
    QImage::Format format;
    switch (bitmap.alphaInfo()) {
        case kBitmapAlphaPremultipliedLast:
            format = QImage::Format_RGBA8888_Premultiplied;
            break;
        case kBitmapAlphaLast:
            format = QImage::Format_RGBA8888;
            break;
        case kBitmapAlphaNoneSkipLast:
            format = QImage::Format_RGBX8888;
            break;
        default:
            return {};
    }
    const size_t width = bitmap.width(), height = bitmap.height(), stride = bitmap.bytesPerRow();
    if (width == 0 || height == 0 || width > 65535 || height > 65535 || stride < width * 4 ||
        provider->length() / stride < height)
        return {};
    const QImage view(provider->bytes(), int(width), int(height), qsizetype(stride), format);
    return view.copy();
}

}  // namespace platform
