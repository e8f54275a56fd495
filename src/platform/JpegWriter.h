// Baseline JPEG files from packed 8-bit RGB through libjpeg-turbo, with an
// optional EXIF block (APP1, "Exif\0\0" then the TIFF-structured block) and
// an optional ICC profile (APP2 "ICC_PROFILE" segments).
//
// Large images are encoded on every core: horizontal bands of whole MCU rows
// are compressed as separate images with the same tables and joined into one
// file with restart markers, one restart interval per band. The bytes are
// exactly those of a one-piece encode with that restart interval. Smaller
// images are written in one piece without restart markers.
//
// Stateless and safe to call from several threads at once.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <span>
#include <string>

#include "platform/Error.h"

namespace platform {

// The largest EXIF block one APP1 segment holds.
inline constexpr std::size_t kMaxJpegExifBlock = 65533 - 6;

// Fills rows [first, first + count) as packed 8-bit RGB at out (count × width
// × 3 bytes). Called from several threads at once for different rows; it must
// not throw. Returning false stops the encode with an error.
using JpegRowSource = std::function<bool(uint32_t first, uint32_t count, uint8_t* out)>;

// From this quality on, colour is stored at full resolution (4:4:4);
// below it at half resolution each way (4:2:0).
inline constexpr int kJpegFullChromaQuality = 90;

// Writes width × height pixels of 3 bytes each, rows packed, at quality 1..100
// (clamped). Fails, leaving no file behind, for an empty image, an EXIF block
// that does not fit one segment, or any file or encoder error.
bool writeJPEG(const uint8_t* rgb, uint32_t width, uint32_t height, int quality,
               std::span<const uint8_t> exifBlock, std::span<const uint8_t> iccProfile,
               const std::string& path, Error* error = nullptr);
// The same into an open stream (left open, flushed), for files whose
// creation and placing the caller controls.
bool writeJPEG(const uint8_t* rgb, uint32_t width, uint32_t height, int quality,
               std::span<const uint8_t> exifBlock, std::span<const uint8_t> iccProfile,
               std::FILE* file, Error* error = nullptr);
// The same with the rows asked for a few at a time, so no packed copy of the
// whole image is needed; the bytes are those of the packed-buffer call.
bool writeJPEG(const JpegRowSource& rows, uint32_t width, uint32_t height, int quality,
               std::span<const uint8_t> exifBlock, std::span<const uint8_t> iccProfile,
               std::FILE* file, Error* error = nullptr);

// The rows of one band when an image of this size is encoded in bands at
// this quality (a multiple of the MCU height; the restart interval is the
// MCUs of one band), or 0 when it is encoded in one piece.
uint32_t jpegBandRows(uint32_t width, uint32_t height, int quality);

}  // namespace platform
