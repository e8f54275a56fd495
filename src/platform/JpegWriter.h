// Baseline JPEG files from packed 8-bit RGB through libjpeg-turbo, with an
// optional EXIF block (APP1, "Exif\0\0" then the TIFF-structured block) and
// an optional ICC profile (APP2 "ICC_PROFILE" segments).
//
// Stateless and safe to call from several threads at once.
#pragma once

#include <cstdint>
#include <cstdio>
#include <span>
#include <string>

#include "platform/Error.h"

namespace platform {

// The largest EXIF block one APP1 segment holds.
inline constexpr std::size_t kMaxJpegExifBlock = 65533 - 6;

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

}  // namespace platform
