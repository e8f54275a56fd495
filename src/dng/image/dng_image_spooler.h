// dng_image_spooler: receives the rows that the lossless JPEG decoder
// produces (16-bit samples) and stores them into an image area in strips.
// It owns nothing: the host, directory, image, strip block and sub-tile
// scratch block belong to the caller and must outlive it. One thread only.
#pragma once

#include <cstdint>
#include <memory>

#include "dng/core/dng_memory_block.h"
#include "dng/core/dng_rect.h"
#include "dng/image/dng_lossless_jpeg.h"

class dng_host;
class dng_ifd;
class dng_image;

class dng_image_spooler : public dng_spooler {
public:
    dng_image_spooler(dng_host& host, const dng_ifd& ifd, dng_image& image,
                      const dng_rect& tileArea, uint32_t plane, uint32_t planes,
                      dng_memory_block& block, std::unique_ptr<dng_memory_block>& subTileBuffer);
    ~dng_image_spooler() override;

    dng_image_spooler(const dng_image_spooler&) = delete;
    dng_image_spooler& operator=(const dng_image_spooler&) = delete;

    void Spool(const void* data, uint32_t count) override;

    // Rows per strip, for callers that size the strip block.
    uint32_t StripRows() const { return fStripRows; }

private:
    void FlushStrip();

    dng_host& fHost;
    const dng_ifd& fIFD;
    dng_image& fImage;
    dng_rect fTileArea;
    uint32_t fPlane;
    uint32_t fPlanes;
    std::unique_ptr<dng_memory_block>& fSubTileBuffer;
    uint32_t fRowBytes = 0;
    uint32_t fStripRows = 0;
    dng_rect fTileStrip;
    uint8_t* fBuffer = nullptr;
    uint32_t fBufferCount = 0;
    uint32_t fBufferSize = 0;
};
