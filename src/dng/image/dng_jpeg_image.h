// An 8-bit image held as a grid of separately compressed lossy-JPEG tiles
// (with optional shared JPEG tables), ready to be written as an image of a
// DNG file, and the digest over its compressed tiles.
//
// Ownership: owns the tables and every tile's bytes. FindDigest only reads
// and may run its work on the host's area-task threads. Encode is defined
// with the image writer, which compresses the tiles.
#pragma once

#include <memory>
#include <vector>

#include "dng/core/dng_fingerprint.h"
#include "dng/core/dng_memory_block.h"
#include "dng/core/dng_point.h"

class dng_host;
class dng_image;
class dng_image_writer;
class dng_negative;

class dng_jpeg_image {
public:
    dng_jpeg_image() = default;
    dng_jpeg_image(const dng_jpeg_image&) = delete;
    dng_jpeg_image& operator=(const dng_jpeg_image&) = delete;

    // 0 when the tile dimension is 0.
    uint32 TilesAcross() const;
    uint32 TilesDown() const;
    uint32 TileCount() const;

    // Compresses the 8-bit image into tiles through the writer.
    void Encode(dng_host& host, const dng_negative& negative, dng_image_writer& writer,
                const dng_image& image);

    // MD5 of the tiles' MD5s in tile order, then the tables' MD5.
    dng_fingerprint FindDigest(dng_host& host) const;

    dng_point fImageSize;
    dng_point fTileSize;
    bool fUsesStrips = false;
    std::unique_ptr<dng_memory_block> fJPEGTables;
    std::vector<std::unique_ptr<dng_memory_block>> fJPEGData;
};
