#include "dng/image/dng_row_interleaved_image.h"

#include "dng/core/dng_exception.h"
#include "dng/image/dng_pixel_buffer.h"

dng_row_interleaved_image::dng_row_interleaved_image(dng_image& image, uint32_t factor)
    : dng_image(image.Bounds(), image.Planes(), image.PixelType()), fImage(image), fFactor(factor) {
    if (factor == 0) ThrowProgramError("row interleave factor 0");
}

dng_row_interleaved_image::~dng_row_interleaved_image() = default;

int32_t dng_row_interleaved_image::MapRow(int32_t row) const {
    const int64_t top = Bounds().t;
    const int64_t height = Bounds().H();
    int64_t s = row - top;
    for (int64_t phase = 0; phase < int64_t(fFactor); ++phase) {
        const int64_t rows = (height - phase + fFactor - 1) / fFactor;
        if (s < rows) return int32_t(top + phase + s * fFactor);
        s -= rows;
    }
    ThrowProgramError("row outside a row-interleaved image");
}

void dng_row_interleaved_image::DoGet(dng_pixel_buffer& buffer) const {
    const dng_rect area = buffer.Area();
    for (int32_t row = area.t; row < area.b; ++row) {
        dng_pixel_buffer line(buffer);
        line.fArea = dng_rect(row, area.l, row + 1, area.r);
        line.fData = buffer.DirtyPixel(row, area.l, buffer.Plane());
        const int32_t mapped = MapRow(row);
        line.fArea.t = mapped;
        line.fArea.b = mapped + 1;
        fImage.Get(line);
    }
}

void dng_row_interleaved_image::DoPut(const dng_pixel_buffer& buffer) {
    const dng_rect area = buffer.Area();
    for (int32_t row = area.t; row < area.b; ++row) {
        dng_pixel_buffer line(buffer);
        line.fData = const_cast<void*>(buffer.ConstPixel(row, area.l, buffer.Plane()));
        const int32_t mapped = MapRow(row);
        line.fArea = dng_rect(mapped, area.l, mapped + 1, area.r);
        fImage.Put(line);
    }
}
