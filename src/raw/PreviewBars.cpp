#include "raw/PreviewBars.h"

#include <algorithm>
#include <cmath>
#include <cstddef>

namespace {

// Darker than any picture's black after a camera's JPEG: the bars' level.
constexpr uint8_t kBarLevel = 24;
// How near the remaining picture must come to the sensor's aspect.
constexpr double kAspectTolerance = 0.03;

bool DarkLine(const std::vector<uint8_t>& rgb, uint32_t width, uint32_t at, bool row,
              uint32_t length) {
    for (uint32_t i = 0; i < length; i++) {
        const size_t pixel = row ? size_t(at) * width + i : size_t(i) * width + at;
        for (size_t c = 0; c < 3; c++)
            if (rgb[3 * pixel + c] > kBarLevel) return false;
    }
    return true;
}

bool Near(double a, double b) { return std::fabs(a - b) <= kAspectTolerance * b; }

}  // namespace

bool RawCutPreviewBars(std::vector<uint8_t>& rgb, uint32_t& width, uint32_t& height,
                       uint32_t pictureWidth, uint32_t pictureHeight, uint32_t orientation) {
    const bool turned = orientation >= 5 && orientation <= 8;
    const double aspect =
        turned ? double(pictureHeight) / pictureWidth : double(pictureWidth) / pictureHeight;
    if (width < 8 || height < 8 || !(aspect > 0) || rgb.size() < size_t(width) * height * 3)
        return false;
    const double own = double(width) / height;
    if (Near(own, aspect)) return false;
    // Too tall a frame has bars above and below; too wide a frame at the sides.
    const bool rows = own < aspect;
    const uint32_t across = rows ? width : height, along = rows ? height : width;
    uint32_t first = 0, end = along;
    while (first < end && DarkLine(rgb, width, first, rows, across)) first++;
    while (end > first && DarkLine(rgb, width, end - 1, rows, across)) end--;
    const uint32_t kept = end - first;
    if (kept == 0 || kept == along) return false;
    const double cut = rows ? double(width) / kept : double(kept) / height;
    if (!Near(cut, aspect)) return false;
    const uint32_t newW = rows ? width : kept, newH = rows ? kept : height;
    std::vector<uint8_t> out(size_t(newW) * newH * 3);
    for (uint32_t y = 0; y < newH; y++) {
        const uint32_t fromY = rows ? y + first : y, fromX = rows ? 0 : first;
        std::copy_n(rgb.begin() + std::ptrdiff_t(3 * (size_t(fromY) * width + fromX)),
                    3 * size_t(newW), out.begin() + std::ptrdiff_t(3 * size_t(y) * newW));
    }
    rgb.swap(out);
    width = newW;
    height = newH;
    return true;
}
