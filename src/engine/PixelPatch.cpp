#include "engine/PixelPatch.h"

#include <algorithm>
#include <cstring>

#include "engine/ImageBuffer.h"

PixelPatch::PixelPatch(int c0, int c1, int r0, int r1)
    : colStart(c0), colEnd(std::max(c0, c1)), rowStart(r0), rowEnd(std::max(r0, r1)) {
    rgba.assign(size_t(width()) * size_t(height()) * 4, 0);
}

void PixelPatch::copyFrom(const PixelPatch& other) {
    const int c0 = std::max(colStart, other.colStart), c1 = std::min(colEnd, other.colEnd);
    const int r0 = std::max(rowStart, other.rowStart), r1 = std::min(rowEnd, other.rowEnd);
    if (c0 >= c1) return;
    for (int row = r0; row < r1; ++row)
        std::memcpy(at(c0, row), other.at(c0, row), size_t(c1 - c0) * 8);
}

bool PixelPatch::copyFrom(const ImageBuffer& buffer, int c0, int c1, int r0, int r1) {
    if (buffer.isFloat() || !buffer.pixelBase()) return false;
    c0 = std::max({c0, colStart, 0});
    c1 = std::min({c1, colEnd, int(buffer.imageWidth())});
    r0 = std::max({r0, rowStart, 0});
    r1 = std::min({r1, rowEnd, int(buffer.imageHeight())});
    for (int row = r0; row < r1 && c0 < c1; ++row)
        if (const uint16_t* from = buffer.bufferU16ForRow(row, c0))
            std::memcpy(at(c0, row), from, size_t(c1 - c0) * 8);
    return true;
}
