// A camera's small preview often letterboxes a picture of the sensor's
// aspect in a frame of another (a 3:2 picture in a 160 x 120 frame), black
// bars above and below or at the sides. The bars are cut when they are
// black and what remains has the sensor's aspect; any other preview stays
// as it is.
#pragma once

#include <cstdint>
#include <vector>

// `rgb` is packed 8-bit RGB of width x height, stored unturned as the
// sensor's picture is; the picture is pictureWidth x pictureHeight once
// turned to `orientation` (a TIFF code). Returns whether bars were cut
// (rgb, width and height then describe the picture within them).
bool RawCutPreviewBars(std::vector<uint8_t>& rgb, uint32_t& width, uint32_t& height,
                       uint32_t pictureWidth, uint32_t pictureHeight, uint32_t orientation);
