// dng_read_image: reads the image data that a dng_ifd describes from a stream
// into a dng_image. Uncompressed (bit depths 8..32, 12-bit packed, 16/24-bit
// floats), lossless JPEG, LZW, Deflate and PackBits, horizontal and
// floating-point predictors, strips and tiles, planar layouts and row
// interleaving.
//
// A reader is made for one read and used once. Read may decode several tiles
// at once on worker threads (one per area-task thread of the host); the
// shared stream is only touched under the reader's lock, and every thread
// works on its own buffers and on disjoint areas of the image.
#pragma once

#include <cstdint>
#include <memory>

#include "dng/core/dng_memory_block.h"

class dng_fingerprint;
class dng_host;
class dng_ifd;
class dng_image;
class dng_jpeg_image;
class dng_pixel_buffer;
class dng_rect;
class dng_stream;

class dng_read_image {
public:
    dng_read_image();
    virtual ~dng_read_image();

    dng_read_image(const dng_read_image&) = delete;
    dng_read_image& operator=(const dng_read_image&) = delete;

    virtual bool CanRead(const dng_ifd& ifd);

    // Refuses a layout the stream cannot hold, before the caller takes pixel
    // memory for it: tiles or strips outside the stream, sharing bytes, or
    // claiming more samples than their bytes can decode to. Read checks the
    // same. Throws dng_exception 100006 whose message names the reason.
    static void CheckImageData(const dng_ifd& ifd, dng_stream& stream);

    virtual void Read(dng_host& host, const dng_ifd& ifd, dng_stream& stream, dng_image& image,
                      dng_jpeg_image* jpegImage, dng_fingerprint* jpegDigest);

    virtual bool ReadUncompressed(dng_host& host, const dng_ifd& ifd, dng_stream& stream,
                                  dng_image& image, const dng_rect& tileArea, uint32_t plane,
                                  uint32_t planes,
                                  std::unique_ptr<dng_memory_block>& uncompressedBuffer,
                                  std::unique_ptr<dng_memory_block>& subTileBlockBuffer);

    virtual void DecodeLossyJPEG(dng_host& host, dng_image& image, const dng_rect& tileArea,
                                 uint32_t plane, uint32_t planes, uint32_t photometric,
                                 uint32_t jpegDataSize, const uint8_t* jpegDataInMemory,
                                 bool usingMultipleThreads);

    virtual bool ReadBaselineJPEG(dng_host& host, const dng_ifd& ifd, dng_stream& stream,
                                  dng_image& image, const dng_rect& tileArea, uint32_t plane,
                                  uint32_t planes, uint32_t tileByteCount,
                                  const uint8_t* jpegDataInMemory, bool usingMultipleThreads);

    virtual bool ReadLosslessJPEG(dng_host& host, const dng_ifd& ifd, dng_stream& stream,
                                  dng_image& image, const dng_rect& tileArea, uint32_t plane,
                                  uint32_t planes, uint32_t tileByteCount,
                                  std::unique_ptr<dng_memory_block>& uncompressedBuffer,
                                  std::unique_ptr<dng_memory_block>& subTileBlockBuffer);

    virtual bool CanReadTile(const dng_ifd& ifd);

    virtual bool NeedsCompressedBuffer(const dng_ifd& ifd);

    virtual uint32_t ByteSwapBuffer(dng_host& host, dng_pixel_buffer& buffer);

    virtual void DecodePredictor(dng_host& host, const dng_ifd& ifd, dng_pixel_buffer& buffer);

    virtual void ReadTile(dng_host& host, const dng_ifd& ifd, dng_stream& stream, dng_image& image,
                          const dng_rect& tileArea, uint32_t plane, uint32_t planes,
                          uint32_t tileByteCount,
                          std::unique_ptr<dng_memory_block>& compressedBuffer,
                          std::unique_ptr<dng_memory_block>& uncompressedBuffer,
                          std::unique_ptr<dng_memory_block>& subTileBlockBuffer,
                          bool usingMultipleThreads);

    virtual void DoReadTiles(dng_host& host, const dng_ifd& ifd, dng_stream& stream,
                             dng_image& image, dng_jpeg_image* jpegImage,
                             dng_fingerprint* jpegTileDigest, uint32_t outerSamples,
                             uint32_t innerSamples, uint32_t tilesDown, uint32_t tilesAcross,
                             const uint64_t* tileOffset, const uint32_t* tileByteCount,
                             uint32_t compressedSize, uint32_t uncompressedSize);

protected:
    std::unique_ptr<dng_memory_block> fJPEGTables;
};

// Reorders a tile buffer whose pixels are stored as consecutive blocks of
// fSubTileBlockRows x fSubTileBlockCols pixels into row-major order, using
// (and growing when needed) the scratch block.
void ReorderSubTileBlocks(dng_host& host, const dng_ifd& ifd, dng_pixel_buffer& buffer,
                          std::unique_ptr<dng_memory_block>& scratch);
