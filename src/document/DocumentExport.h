// The pure rules of a document's export: which file type and extension an
// export-type setting gives, the OpenEXR format code, the JPEG quality, the
// stage rectangle of a crop, the orientation handed to the output stage, and
// the image properties written with the file. MyDocument::exportToURL (in
// DocumentExport.cpp) uses them; the batch export and the command line use
// the type rules. Stateless and thread-safe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

#include "platform/BitmapGeometry.h"
#include "platform/BitmapImage.h"
#include "platform/Error.h"
#include "platform/Value.h"

class DocumentExport {
public:
    static constexpr const char* kTypeJPEG = "public.jpeg";
    static constexpr const char* kTypeTIFF = "public.tiff";
    static constexpr const char* kTypeDNG = "public.dng";
    static constexpr const char* kTypeEXR = "com.ilm.openexr-image";

    // "Quorvex_ExportFileType" (as an integer) to a type: 1 TIFF, 2 DNG, 3..6
    // OpenEXR, anything else or none JPEG.
    static std::string typeForExportFileType(const platform::Value& setting);
    // "jpg", "tif", "dng" or "exr".
    static std::string extensionForType(const std::string& type);
    // The OpenEXR writer's format: type 4 gives 2, 5 gives 1, 6 gives 3, else 0.
    static int exrFormatCode(const platform::Dictionary& settings);
    // "Quorvex_JPEGQuality" / 10 (1.0 without the key), kept within 0..1.
    static double compressionQuality(const platform::Dictionary& settings);
    // The rectangle the output stage renders (origin bottom left) for a crop
    // (origin top left). A crop narrower or lower than one pixel means the
    // whole extent; any other crop is clamped to the extent (an empty result
    // also means the whole extent).
    static platform::Rect stageRectForCrop(const platform::Rect& crop,
                                           const platform::Rect& extent);
    // The stored "Quorvex_ImageOrientation" as handed to the output stage:
    // 0 (absent), 1, 3, 6 and 8 as they are; mirrored codes (logged, naming
    // `source`) and anything else give 1.
    static int exportOrientation(const platform::Dictionary& settings, const std::string& source);
    // A copy of the source's metadata with orientation 1, no alpha, the
    // quality and the software name in its TIFF dictionary.
    static platform::Dictionary imageProperties(const platform::Dictionary* metaData,
                                                double quality, const std::string& software);
    // Whether eightBitRows takes the image: 16-bit little-endian RGBA (alpha
    // last) whose bytes are at hand. For any other layout the caller goes
    // through CGImageBitMap.
    static bool packsEightBit(const platform::BitmapImage& image);
    // Rows [first, first + count) of such an image as packed 8-bit RGB (white
    // = the 16-bit output scale 65325) at out (count × width × 3 bytes). False
    // for other layouts and rows outside the image. Safe from several threads
    // at once.
    static bool eightBitRows(const platform::BitmapImage& image, size_t first, size_t count,
                             uint8_t* out);
    // The same from `count` rows of premultiplied 16-bit RGBA in native byte
    // order, `rowSamples` samples apart: the engine's rows handed over as
    // they are rendered.
    static void eightBitRows(const uint16_t* rgba, size_t rowSamples, size_t width, size_t count,
                             uint8_t* out);
    // A failure of `code` (-11 or -12) to write `destination`: the fixed text,
    // the file's name and its folder (unless the system's reason names it),
    // then the system's reason.
    static platform::Error destinationError(long code, const std::filesystem::path& destination,
                                            const platform::Error& cause);
    // A file that could not be written (-13): "Could not write DESTINATION:
    // REASON", the reason being the system's where there is one.
    static platform::Error writeError(const std::filesystem::path& destination,
                                      const std::string& reason);
    // A failure for want of memory (-10), in the words the rendering uses.
    static platform::Error noMemoryError();
    // Whether two paths name the same file (also when one does not exist yet).
    static bool sameFile(const std::filesystem::path& a, const std::filesystem::path& b);
};
