// A QImage copy of an 8-bit RGBA or RGBX platform bitmap (the profile
// previews, thumbnails); a null QImage for any other layout or a bitmap
// without bytes. Thread-safe.
#pragma once

#include <QImage>

#include "platform/BitmapImage.h"

namespace platform {

QImage qImageFromBitmap(const BitmapImage& bitmap);

}  // namespace platform
