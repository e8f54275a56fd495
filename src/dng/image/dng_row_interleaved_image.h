// dng_row_interleaved_image: a view of an image whose rows are stored phase
// by phase (rows 0, F, 2F, ... then 1, F + 1, ...). Reading or writing the
// view's row s reaches the wrapped image's row that s stands for. The view
// does not own the wrapped image. Disjoint areas may be put from several
// threads as with the wrapped image.
#pragma once

#include "dng/image/dng_image.h"

class dng_row_interleaved_image : public dng_image {
public:
    dng_row_interleaved_image(dng_image& image, uint32_t factor);
    ~dng_row_interleaved_image() override;

    // Image row of stored row (counted from the image's top).
    int32_t MapRow(int32_t row) const;

protected:
    void DoGet(dng_pixel_buffer& buffer) const override;
    void DoPut(const dng_pixel_buffer& buffer) override;

private:
    dng_image& fImage;
    uint32_t fFactor;
};
