// The application's image named "QuorvexIcon", drawn in code at any size so
// it needs no bitmap file: a dark rounded square holding a six-bladed
// aperture. QImage only, so it may be made on any thread.
#pragma once

#include <QImage>

namespace platform {

QImage quorvexIcon(int size);

}  // namespace platform
