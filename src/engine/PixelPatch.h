// A rectangle of 16-bit RGBA pixels held apart from any image buffer: a
// stage's input or output over an area, copied out of a buffer or computed.
// Columns colStart to colEnd - 1 and rows rowStart to rowEnd - 1, in image
// coordinates; samples row by row, four per pixel.
//
// A plain value; not shared between threads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

class ImageBuffer;

struct PixelPatch {
    int colStart = 0, colEnd = 0, rowStart = 0, rowEnd = 0;
    std::vector<uint16_t> rgba;

    PixelPatch() = default;
    // An area of zeroed pixels (an empty one when an end precedes its start).
    PixelPatch(int colStart, int colEnd, int rowStart, int rowEnd);

    int width() const { return colEnd > colStart ? colEnd - colStart : 0; }
    int height() const { return rowEnd > rowStart ? rowEnd - rowStart : 0; }
    bool empty() const { return width() == 0 || height() == 0; }
    uint16_t* at(int col, int row) {
        return rgba.data() +
               (std::size_t(row - rowStart) * std::size_t(width()) + std::size_t(col - colStart)) *
                   4;
    }
    const uint16_t* at(int col, int row) const {
        return const_cast<PixelPatch*>(this)->at(col, row);
    }

    // Copies the pixels both patches cover.
    void copyFrom(const PixelPatch& other);
    // Copies the pixels of a 16-bit buffer that lie in this patch and in the
    // given columns and rows; false when the buffer holds no 16-bit pixels.
    bool copyFrom(const ImageBuffer& buffer, int colStart, int colEnd, int rowStart, int rowEnd);
};
