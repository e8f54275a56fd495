// Where destination pixel (x, y) of an image shown in EXIF orientation o
// comes from, by the EXIF definitions; w x h is the oriented image's size.
#pragma once

#include <utility>

namespace testsupport {

template <typename T>
std::pair<T, T> exifSource(int o, T x, T y, T w, T h) {
    switch (o) {
        case 2:
            return {w - 1 - x, y};
        case 3:
            return {w - 1 - x, h - 1 - y};
        case 4:
            return {x, h - 1 - y};
        case 5:
            return {y, x};
        case 6:
            return {y, h - 1 - x};
        case 7:
            return {w - 1 - y, h - 1 - x};
        case 8:
            return {w - 1 - y, x};
        default:
            return {x, y};
    }
}

}  // namespace testsupport
