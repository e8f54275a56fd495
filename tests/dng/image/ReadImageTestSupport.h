// Test helpers for the image data reader: TIFF files written by libtiff, a
// small directory walker that fills a dng_ifd from such a file, and reading
// through dng_read_image into a dng_simple_image.
#pragma once

#define TIFF_DISABLE_DEPRECATED
#include <tiffio.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "dng/core/dng_file_stream.h"
#include "dng/core/dng_host.h"
#include "dng/core/dng_ifd.h"
#include "dng/core/dng_memory_allocator.h"
#include "dng/core/dng_tag_values.h"
#include "dng/image/dng_read_image.h"
#include "dng/image/dng_simple_image.h"

namespace dngtest {

struct TiffSpec {
    uint32_t width = 1;
    uint32_t height = 1;
    uint16_t samples = 1;
    uint16_t bits = 8;
    uint16_t sampleFormat = SAMPLEFORMAT_UINT;
    uint16_t compression = COMPRESSION_NONE;
    uint16_t predictor = PREDICTOR_NONE;
    uint16_t planar = PLANARCONFIG_CONTIG;
    uint32_t tileWidth = 0;  // 0: strips
    uint32_t tileLength = 0;
    uint32_t rowsPerStrip = 0;  // 0: whole image
    bool bigEndian = false;
};

// Writes samples (rows of width x samples, contiguous; for planar files the
// same data split by plane) as raw bytes of bits/8 each.
inline void WriteTiff(const std::string& path, const TiffSpec& s,
                      const std::vector<uint8_t>& data) {
    TIFF* t = TIFFOpen(path.c_str(), s.bigEndian ? "wb" : "wl");
    TIFFSetField(t, TIFFTAG_IMAGEWIDTH, s.width);
    TIFFSetField(t, TIFFTAG_IMAGELENGTH, s.height);
    TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, s.samples);
    TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, s.bits);
    TIFFSetField(t, TIFFTAG_SAMPLEFORMAT, s.sampleFormat);
    TIFFSetField(t, TIFFTAG_COMPRESSION, s.compression);
    if (s.predictor != PREDICTOR_NONE) TIFFSetField(t, TIFFTAG_PREDICTOR, s.predictor);
    TIFFSetField(t, TIFFTAG_PLANARCONFIG, s.planar);
    TIFFSetField(t, TIFFTAG_PHOTOMETRIC, s.samples == 3 ? PHOTOMETRIC_RGB : PHOTOMETRIC_MINISBLACK);
    const uint32_t bytes = s.bits / 8;
    const bool planar = s.planar == PLANARCONFIG_SEPARATE;
    const uint32_t inner = planar ? 1 : s.samples;
    const uint32_t outer = planar ? s.samples : 1;
    // Sample (row, col, plane) of the contiguous source.
    auto at = [&](uint32_t row, uint32_t col, uint32_t plane) {
        return data.data() + ((size_t(row) * s.width + col) * s.samples + plane) * bytes;
    };
    if (s.tileWidth) {
        TIFFSetField(t, TIFFTAG_TILEWIDTH, s.tileWidth);
        TIFFSetField(t, TIFFTAG_TILELENGTH, s.tileLength);
        std::vector<uint8_t> tile(size_t(s.tileWidth) * s.tileLength * inner * bytes);
        for (uint32_t p = 0; p < outer; ++p) {
            for (uint32_t y = 0; y < s.height; y += s.tileLength) {
                for (uint32_t x = 0; x < s.width; x += s.tileWidth) {
                    std::fill(tile.begin(), tile.end(), 0);
                    for (uint32_t r = 0; r < s.tileLength && y + r < s.height; ++r) {
                        for (uint32_t c = 0; c < s.tileWidth && x + c < s.width; ++c) {
                            for (uint32_t i = 0; i < inner; ++i) {
                                std::memcpy(
                                    &tile[((size_t(r) * s.tileWidth + c) * inner + i) * bytes],
                                    at(y + r, x + c, planar ? p : i), bytes);
                            }
                        }
                    }
                    TIFFWriteTile(t, tile.data(), x, y, 0, uint16_t(p));
                }
            }
        }
    } else {
        TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, s.rowsPerStrip ? s.rowsPerStrip : s.height);
        std::vector<uint8_t> row(size_t(s.width) * inner * bytes);
        for (uint32_t p = 0; p < outer; ++p) {
            for (uint32_t y = 0; y < s.height; ++y) {
                for (uint32_t c = 0; c < s.width; ++c) {
                    for (uint32_t i = 0; i < inner; ++i) {
                        std::memcpy(&row[(size_t(c) * inner + i) * bytes], at(y, c, planar ? p : i),
                                    bytes);
                    }
                }
                TIFFWriteScanline(t, row.data(), y, uint16_t(p));
            }
        }
    }
    TIFFClose(t);
}

// Fills a dng_ifd from the first directory of a classic TIFF file.
inline dng_ifd IfdFromTiff(const std::string& path, bool* bigEndian) {
    dng_file_stream stream(path.c_str());
    const uint16_t order = stream.GetUInt16();
    *bigEndian = order == 0x4D4D;
    stream.SetBigEndian(*bigEndian);
    stream.GetUInt16();
    stream.SetReadPosition(stream.GetUInt32());
    const uint32_t entries = stream.GetUInt16();
    dng_ifd ifd;
    ifd.fPlanarConfiguration = pcInterleaved;
    const uint64_t first = stream.Position();
    for (uint32_t e = 0; e < entries; ++e) {
        stream.SetReadPosition(first + uint64_t(e) * 12);
        const uint32_t tag = stream.GetUInt16();
        const uint32_t type = stream.GetUInt16();
        const uint32_t count = stream.GetUInt32();
        const uint32_t size = TiffTagTypeSize(type) * count;
        const uint64_t valuePos = size <= 4 ? stream.Position() : stream.GetUInt32();
        stream.SetReadPosition(valuePos);
        auto value = [&]() { return stream.ReadTagValueAsUInt32(type); };
        switch (tag) {
            case 256:
                ifd.fImageWidth = value();
                break;
            case 257:
                ifd.fImageLength = value();
                break;
            case 258:
                for (uint32_t i = 0; i < count && i < 4; ++i) ifd.fBitsPerSample[i] = value();
                break;
            case 259:
                ifd.fCompression = value();
                break;
            case 262:
                ifd.fPhotometricInterpretation = value();
                break;
            case 277:
                ifd.fSamplesPerPixel = value();
                break;
            case 278:
                ifd.fTileLength = value();
                ifd.fUsesStrips = true;
                break;
            case 284:
                ifd.fPlanarConfiguration = value();
                break;
            case 317:
                ifd.fPredictor = value();
                break;
            case 322:
                ifd.fTileWidth = value();
                ifd.fUsesTiles = true;
                break;
            case 323:
                ifd.fTileLength = value();
                break;
            case 339:
                for (uint32_t i = 0; i < count && i < 4; ++i) ifd.fSampleFormat[i] = value();
                break;
            case 273:
            case 324:
                ifd.fTileOffsetsType = type;
                ifd.fTileOffsetsCount = count;
                ifd.fTileOffsetsOffset = valuePos;
                for (uint32_t i = 0; i < count && i < dng_ifd::kMaxTileInfo; ++i) {
                    ifd.fTileOffset[i] = value();
                }
                if (tag == 273) ifd.fUsesStrips = true;
                break;
            case 279:
            case 325:
                ifd.fTileByteCountsType = type;
                ifd.fTileByteCountsCount = count;
                ifd.fTileByteCountsOffset = valuePos;
                for (uint32_t i = 0; i < count && i < dng_ifd::kMaxTileInfo; ++i) {
                    ifd.fTileByteCount[i] = value();
                }
                break;
            default:
                break;
        }
    }
    if (ifd.fUsesStrips) {
        ifd.fUsesTiles = false;
        ifd.fTileWidth = ifd.fImageWidth;
        if (ifd.fTileLength == 0 || ifd.fTileLength > ifd.fImageLength) {
            ifd.fTileLength = ifd.fImageLength;
        }
    }
    return ifd;
}

// Reads the image data of a directory from a file into a new image.
inline std::unique_ptr<dng_simple_image> ReadFile(const std::string& path, const dng_ifd& ifd,
                                                  bool bigEndian, uint32_t pixelType,
                                                  uint32_t threads = 1) {
    dng_host host;
    host.SetAreaTaskThreadCount(threads);
    dng_file_stream stream(path.c_str());
    stream.SetBigEndian(bigEndian);
    auto image = std::make_unique<dng_simple_image>(dng_rect(ifd.fImageLength, ifd.fImageWidth),
                                                    ifd.fSamplesPerPixel, pixelType,
                                                    gDefaultDNGMemoryAllocator);
    image->SetConstant(0xA5A5A5A5u);
    dng_read_image reader;
    reader.Read(host, ifd, stream, *image, nullptr, nullptr);
    return image;
}

// Sample (row, col, plane) of an interleaved simple image, as raw bytes.
inline const uint8_t* Sample(const dng_simple_image& image, uint32_t row, uint32_t col,
                             uint32_t plane) {
    return static_cast<const uint8_t*>(
        image.Buffer().ConstPixel(int32_t(row), int32_t(col), plane));
}

}  // namespace dngtest
