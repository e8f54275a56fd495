// Small helpers shared by the image-model tests: images filled from a
// formula and sample access by image coordinates.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "dng/core/dng_exception.h"
#include "dng/core/dng_host.h"
#include "dng/image/dng_pixel_buffer.h"
#include "dng/image/dng_simple_image.h"
#include "support/DngErrorCode.h"

namespace imagetest {

inline int32_t errorCode(const std::function<void()>& f) { return testsupport::CodeOf(f); }

inline std::unique_ptr<dng_simple_image> makeImage(
    dng_host& host, const dng_rect& bounds, uint32_t planes, uint32_t type,
    const std::function<double(int32_t, int32_t, uint32_t)>& value) {
    auto image = std::make_unique<dng_simple_image>(bounds, planes, type, host.Allocator());
    const dng_pixel_buffer& b = image->Buffer();
    dng_pixel_buffer w = b;
    for (int32_t r = bounds.t; r < bounds.b; ++r)
        for (int32_t c = bounds.l; c < bounds.r; ++c)
            for (uint32_t p = 0; p < planes; ++p) {
                const double v = value(r, c, p);
                switch (type) {
                    case 1:
                        *w.DirtyPixel_uint8(r, c, p) = uint8_t(v);
                        break;
                    case 3:
                        *w.DirtyPixel_uint16(r, c, p) = uint16_t(v);
                        break;
                    case 11:
                        *w.DirtyPixel_real32(r, c, p) = float(v);
                        break;
                    default:
                        *w.DirtyPixel_uint32(r, c, p) = uint32_t(v);
                        break;
                }
            }
    return image;
}

inline double sample(const dng_pixel_buffer& b, int32_t r, int32_t c, uint32_t p) {
    switch (b.fPixelType) {
        case 1:
            return *b.ConstPixel_uint8(r, c, p);
        case 3:
            return *b.ConstPixel_uint16(r, c, p);
        case 11:
            return *b.ConstPixel_real32(r, c, p);
        default:
            return *b.ConstPixel_uint32(r, c, p);
    }
}

inline double sample(const dng_simple_image& image, int32_t r, int32_t c, uint32_t p = 0) {
    return sample(image.Buffer(), r, c, p);
}

}  // namespace imagetest
