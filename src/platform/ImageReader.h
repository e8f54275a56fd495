// Reading JPEG, PNG and TIFF files into small 8-bit RGBA images for
// thumbnails, the program that wrote one (its Software tag), and the table
// of image content types by file extension.
//
// The file's format is told by its first bytes, never its name. Pictures are
// reduced while they are decoded (rows are folded into the result as they
// arrive), so a large file never becomes a full-size pixel buffer. Malformed
// or oversized files give null and an error. Thread-safe.
#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/BitmapImage.h"
#include "platform/Error.h"

namespace platform {

// Formats whose pixels this reader decodes, by content type.
inline constexpr const char* kImageTypeJPEG = "public.jpeg";
inline constexpr const char* kImageTypePNG = "public.png";
inline constexpr const char* kImageTypeTIFF = "public.tiff";
// A TIFF file that is a DNG raw file (told apart by imageTypeOfContents only).
inline constexpr const char* kImageTypeDNG = "public.dng";

// Sides beyond this are refused as malformed.
inline constexpr uint32_t kImageReaderMaxSide = 1u << 18;

// The picture of `file` reduced to fit maxSide x maxSide (never enlarged), as
// non-premultiplied RGBA, 8 bits per sample, in sRGB. Null with the error
// ("ImageReaderErrorDomain") when it is not a readable JPEG, PNG or TIFF file.
std::shared_ptr<const BitmapImage> readImageThumbnail(const std::filesystem::path& file,
                                                      uint32_t maxSide, Error* error = nullptr);

// What a file holds by its contents, whatever its name: kImageTypeJPEG, PNG,
// TIFF or DNG; nullopt for anything else or a file that cannot be read.
std::optional<std::string> imageTypeOfContents(const std::filesystem::path& file);

// The Software tag of a JPEG file's EXIF block or a TIFF file's first
// directory, or an OpenEXR file's "software" attribute: the program that
// wrote it. Nullopt when there is none or the file is none of these.
std::optional<std::string> imageSoftware(const std::filesystem::path& file);

// The content type of a file extension (any case, without the dot) for
// image formats; nullopt for anything that is not an image type.
std::optional<std::string> imageTypeForExtension(std::string_view extension);
// The content types whose files readImageThumbnail decodes.
const std::vector<std::string>& imageReaderTypeIdentifiers();

}  // namespace platform
