#include "dng/image/dng_image_spooler.h"

#include <algorithm>
#include <cstring>

#include "dng/core/dng_exception.h"
#include "dng/core/dng_host.h"
#include "dng/core/dng_ifd.h"
#include "dng/core/dng_safe_arithmetic.h"
#include "dng/core/dng_tag_types.h"
#include "dng/image/dng_image.h"
#include "dng/image/dng_pixel_buffer.h"
#include "dng/image/dng_read_image.h"

dng_image_spooler::dng_image_spooler(dng_host& host, const dng_ifd& ifd, dng_image& image,
                                     const dng_rect& tileArea, uint32_t plane, uint32_t planes,
                                     dng_memory_block& block,
                                     std::unique_ptr<dng_memory_block>& subTileBuffer)
    : fHost(host),
      fIFD(ifd),
      fImage(image),
      fTileArea(tileArea),
      fPlane(plane),
      fPlanes(planes),
      fSubTileBuffer(subTileBuffer) {
    fRowBytes = SafeUint32Mult3(tileArea.W(), planes, 2);
    if (fRowBytes == 0) ThrowProgramError("dng_image_spooler: empty row");
    const uint32_t blockRows = std::max<uint32_t>(ifd.fSubTileBlockRows, 1);
    uint32_t rows = std::min(tileArea.H(), block.LogicalSize() / fRowBytes);
    rows = std::max(rows, blockRows);
    rows = rows / blockRows * blockRows;
    if (SafeUint32Mult(rows, fRowBytes) > block.LogicalSize()) {
        ThrowProgramError("dng_image_spooler: strip block too small");
    }
    fStripRows = rows;
    fTileStrip = tileArea;
    fTileStrip.b = int32_t(std::min<int64_t>(int64_t(tileArea.t) + rows, tileArea.b));
    fBuffer = block.Buffer_uint8();
    fBufferSize = SafeUint32Mult(fTileStrip.H(), fRowBytes);
}

dng_image_spooler::~dng_image_spooler() = default;

void dng_image_spooler::FlushStrip() {
    fHost.SniffForAbort();
    dng_pixel_buffer buffer(fTileStrip, fPlane, fPlanes, ttShort, pcInterleaved, fBuffer);
    if (fIFD.fSubTileBlockRows > 1) ReorderSubTileBlocks(fHost, fIFD, buffer, fSubTileBuffer);
    fImage.Put(buffer);
    const int32_t top = fTileStrip.b;
    fTileStrip.t = top;
    fTileStrip.b = int32_t(std::min<int64_t>(int64_t(top) + fStripRows, fTileArea.b));
    fBufferCount = 0;
    fBufferSize = fTileStrip.IsEmpty() ? 0 : SafeUint32Mult(fTileStrip.H(), fRowBytes);
}

void dng_image_spooler::Spool(const void* data, uint32_t count) {
    const uint8_t* src = static_cast<const uint8_t*>(data);
    while (count) {
        // Rows beyond the tile area (a decoder handing more than expected)
        // have nowhere to go.
        if (fBufferSize == 0) ThrowBadFormat("lossless JPEG data larger than its tile");
        const uint32_t block = std::min(count, fBufferSize - fBufferCount);
        std::memcpy(fBuffer + fBufferCount, src, block);
        fBufferCount += block;
        src += block;
        count -= block;
        if (fBufferCount == fBufferSize) FlushStrip();
    }
}
