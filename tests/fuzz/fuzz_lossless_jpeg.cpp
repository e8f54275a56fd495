// Fuzz target: the lossless JPEG decoder on raw input, and the image data
// reader on a small directory chosen by the first bytes, with the rest of
// the input as the file.

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "FuzzSupport.h"
#include "dng/core/dng_exception.h"
#include "dng/core/dng_host.h"
#include "dng/core/dng_ifd.h"
#include "dng/core/dng_memory_allocator.h"
#include "dng/core/dng_stream.h"
#include "dng/core/dng_tag_types.h"
#include "dng/core/dng_tag_values.h"
#include "dng/image/dng_lossless_jpeg.h"
#include "dng/image/dng_read_image.h"
#include "dng/image/dng_simple_image.h"

namespace {

class CountingSpooler : public dng_spooler {
public:
    void Spool(const void* data, uint32_t count) override {
        const uint8_t* p = static_cast<const uint8_t*>(data);
        for (uint32_t i = 0; i < count; i += 64) sum += p[i];
    }
    uint32_t sum = 0;
};

void FuzzDecoder(const uint8_t* data, size_t size) {
    dng_stream stream(data, uint32_t(size));
    CountingSpooler spooler;
    try {
        // At most 4 MB of output keeps each run short.
        dng_ljpeg_decode(stream, spooler, 0, 4u << 20, (size & 1) != 0, size);
    } catch (const dng_exception&) {
    }
}

void FuzzReader(const uint8_t* data, size_t size) {
    if (size < 12) return;
    static const uint32_t kCompressions[] = {ccUncompressed, ccLZW,       ccJPEG,       ccDeflate,
                                             ccPackBits,     ccLossyJPEG, ccOldDeflate, ccJPEG};
    static const uint32_t kBits[] = {8, 10, 12, 16, 16, 24, 32, 14};
    static const uint32_t kPredictors[] = {1, 2, 3, 34892, 34893, 34894, 34895, 1};
    dng_ifd ifd;
    ifd.fImageWidth = 1 + data[0] % 64;
    ifd.fImageLength = 1 + data[1] % 64;
    ifd.fSamplesPerPixel = 1 + data[2] % 4;
    for (uint32_t i = 0; i < 4; ++i) {
        ifd.fBitsPerSample[i] = kBits[data[3] % 8];
        ifd.fSampleFormat[i] = (data[3] & 0x80) ? sfFloatingPoint : sfUnsignedInteger;
    }
    ifd.fCompression = kCompressions[data[4] % 8];
    ifd.fPredictor = kPredictors[data[5] % 8];
    ifd.fPlanarConfiguration = (data[5] & 0x80) ? pcPlanar : pcInterleaved;
    if (data[6] & 1) {
        ifd.fUsesTiles = true;
        ifd.fTileWidth = 16 * (1 + data[6] % 4);
        ifd.fTileLength = 16 * (1 + (data[6] >> 2) % 4);
    } else {
        ifd.fUsesStrips = true;
        ifd.fTileWidth = ifd.fImageWidth;
        ifd.fTileLength = 1 + data[6] % ifd.fImageLength;
    }
    ifd.fRowInterleaveFactor = 1 + data[7] % 3;
    ifd.fSubTileBlockRows = (data[7] & 0x80) ? 2 : 1;
    ifd.fSubTileBlockCols = ifd.fSubTileBlockRows;
    ifd.fSampleBitShift = data[8] % 3;
    ifd.fLosslessJPEGBug16 = (data[8] & 0x80) != 0;
    const bool bigEndian = (data[9] & 1) != 0;
    const uint8_t* file = data + 12;
    const uint32_t fileSize = uint32_t(size - 12);

    uint32_t tiles = 0;
    try {
        tiles = ifd.TilesPerImage();
    } catch (const dng_exception&) {
        return;
    }
    if (tiles == 0 || tiles > 4096) return;
    // Tiles follow each other in the file, sizes from the byte pair at 10.
    const uint32_t each = fileSize / tiles;
    ifd.fTileOffsetsCount = ifd.fTileByteCountsCount = tiles;
    ifd.fTileOffsetsType = ttLong;
    ifd.fTileByteCountsType = ttLong;
    if (tiles <= dng_ifd::kMaxTileInfo) {
        for (uint32_t i = 0; i < tiles; ++i) {
            ifd.fTileOffset[i] = uint64_t(i) * each;
            ifd.fTileByteCount[i] = each ? each : 1;
        }
    } else {
        // Offsets and counts as stream arrays at positions from the input.
        ifd.fTileOffsetsOffset = data[10] * 4u;
        ifd.fTileByteCountsOffset = data[11] * 4u;
    }

    dng_host host;
    host.SetAreaTaskThreadCount((data[9] & 2) ? 3 : 1);
    const uint32_t pixelType = ifd.fSampleFormat[0] == sfFloatingPoint ? ttFloat
                               : ifd.fBitsPerSample[0] <= 8            ? ttByte
                               : ifd.fBitsPerSample[0] <= 16           ? ttShort
                                                                       : ttLong;
    try {
        dng_simple_image image(dng_rect(ifd.fImageLength, ifd.fImageWidth), ifd.fSamplesPerPixel,
                               pixelType, gDefaultDNGMemoryAllocator);
        dng_stream stream(file, fileSize);
        stream.SetBigEndian(bigEndian);
        dng_read_image reader;
        reader.CanRead(ifd);
        reader.Read(host, ifd, stream, image, nullptr, nullptr);
    } catch (const dng_exception&) {
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzzsupport::quietLog();
    if (size == 0 || size > (1u << 20)) return 0;
    if (data[0] & 1) {
        FuzzDecoder(data + 1, size - 1);
    } else {
        FuzzReader(data + 1, size - 1);
    }
    return 0;
}
