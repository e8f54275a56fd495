#include "document/JpegExport.h"

#include <algorithm>
#include <new>

#include "dng/core/dng_exception.h"
#include "dng/core/dng_exif.h"
#include "dng/core/dng_memory_allocator.h"
#include "dng/writer/dng_exif_block.h"
#include "dng/writer/tiff_tag.h"
#include "export/ImagePropertyImport.h"
#include "platform/JpegWriter.h"

namespace {

using platform::Dictionary;
using platform::Value;

// Texts from a file are cut short so that the block, with its few dozen
// text fields at most, always fits one APP1 segment.
constexpr size_t kMaxText = 1024;

Value clipped(const Value& value);

Dictionary clippedTexts(const Dictionary& dict) {
    Dictionary out;
    for (const auto& [key, value] : dict) out.set(key, clipped(value));
    return out;
}

Value clipped(const Value& value) {
    if (value.isString()) {
        const std::string& text = value.string();
        return Value(text.substr(0, std::min(text.find('\0'), kMaxText)));
    }
    if (value.isDictionary()) return Value(clippedTexts(value.dictionary()));
    if (value.isArray() && !value.array().empty() && value.array().front().isString()) {
        Value::Array first{clipped(value.array().front())};
        return Value(std::move(first));
    }
    return value;
}

}  // namespace

std::vector<uint8_t> JpegExport::exifBlock(const Dictionary& properties,
                                           const std::string& software, uint32_t width,
                                           uint32_t height) {
    dng_exif exif;
    ImagePropertyImport::importProperties(clippedTexts(properties), exif);

    exif.fSoftware.Set(software.substr(0, kMaxText).c_str());
    exif.fExifVersion = 0x30323331;              // "0231"
    exif.fFlashPixVersion = 0x30313030;          // "0100"
    exif.fColorSpace = 1;                        // sRGB
    exif.fComponentsConfiguration = 0x01020300;  // Y, Cb, Cr
    exif.fPixelXDimension = width;
    exif.fPixelYDimension = height;

    dng_resolution_info resolution;
    resolution.fXResolution = dng_urational(72, 1);
    resolution.fYResolution = dng_urational(72, 1);
    resolution.fResolutionUnit = 2;  // inches

    dng_exif_block_options options;
    options.resolution = &resolution;
    options.orientation = 1;       // the pixels are already turned
    options.yCbCrPositioning = 1;  // centred chroma samples
    try {
        auto block = BuildExifBlock(gDefaultDNGMemoryAllocator, exif, options);
        const uint8_t* bytes = block->Buffer_uint8();
        std::vector<uint8_t> out(bytes, bytes + block->LogicalSize());
        if (out.size() > platform::kMaxJpegExifBlock) out.clear();
        return out;
    } catch (const std::bad_alloc&) {
        throw;  // short of memory the export fails rather than lose its metadata
    } catch (const dng_exception& e) {
        if (e.ErrorCode() == dng_error_memory) throw std::bad_alloc();
        return {};
    } catch (...) {
        // A record that cannot be laid out (never seen with clipped texts).
        return {};
    }
}
