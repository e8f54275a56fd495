#include "dng/image/dng_read_image.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <utility>
#include <vector>

#include "dng/core/dng_abort_sniffer.h"
#include "dng/core/dng_area_task.h"
#include "dng/core/dng_exception.h"
#include "dng/core/dng_host.h"
#include "dng/core/dng_ifd.h"
#include "dng/core/dng_mutex.h"
#include "dng/core/dng_safe_arithmetic.h"
#include "dng/core/dng_stream.h"
#include "dng/core/dng_tag_types.h"
#include "dng/core/dng_tag_values.h"
#include "dng/image/dng_image.h"
#include "dng/image/dng_image_spooler.h"
#include "dng/image/dng_lossless_jpeg.h"
#include "dng/image/dng_lzw.h"
#include "dng/image/dng_packbits.h"
#include "dng/image/dng_pixel_buffer.h"
#include "dng/image/dng_row_interleaved_image.h"
#include "platform/Log.h"

namespace {

constexpr uint32_t kMaxImageSide = 130000;
constexpr uint32_t kStripBytes = 128 * 1024;
constexpr uint32_t kMaxThreadedTileBytes = 1024 * 1024;

// ---- float expansion ---------------------------------------------------------

uint32_t HalfToFloatBits(uint16_t h) {
    const uint32_t sign = uint32_t(h >> 15) << 31;
    int32_t exponent = (h >> 10) & 0x1F;
    uint32_t mantissa = h & 0x3FF;
    if (exponent == 0) {
        if (mantissa == 0) return sign;
        exponent = 1;
        while (!(mantissa & 0x400)) {
            mantissa <<= 1;
            --exponent;
        }
        mantissa &= 0x3FF;
        return sign | (uint32_t(exponent + 112) << 23) | (mantissa << 13);
    }
    if (exponent == 31) {
        // Infinity becomes the largest finite half; NaN becomes 0.
        return mantissa == 0 ? (sign | 0x477FE000) : 0;
    }
    return sign | (uint32_t(exponent + 112) << 23) | (mantissa << 13);
}

uint32_t FP24ToFloatBits(uint32_t v) {
    const uint32_t sign = ((v >> 23) & 1) << 31;
    int32_t exponent = (v >> 16) & 0x7F;
    uint32_t mantissa = v & 0xFFFF;
    if (exponent == 0) {
        if (mantissa == 0) return sign;
        exponent = 1;
        while (!(mantissa & 0x10000)) {
            mantissa <<= 1;
            --exponent;
        }
        mantissa &= 0xFFFF;
        return sign | (uint32_t(exponent + 64) << 23) | (mantissa << 7);
    }
    if (exponent == 127) return mantissa == 0 ? (sign | 0x5F7FFF80) : 0;
    return sign | (uint32_t(exponent + 64) << 23) | (mantissa << 7);
}

// Expands count 16- or 24-bit floats at the start of buffer to 32-bit floats
// in place, last value first. 24-bit values are most significant byte first
// when msbFirst is set.
void ExpandFloats(uint8_t* buffer, uint32_t count, uint32_t bytesPerSample, bool msbFirst) {
    uint32_t* out = reinterpret_cast<uint32_t*>(buffer);
    if (bytesPerSample == 2) {
        for (uint32_t i = count; i-- > 0;) {
            uint16_t h;
            std::memcpy(&h, buffer + size_t(i) * 2, 2);
            const uint32_t bits = HalfToFloatBits(h);
            std::memcpy(out + i, &bits, 4);
        }
    } else if (bytesPerSample == 3) {
        for (uint32_t i = count; i-- > 0;) {
            const uint8_t* p = buffer + size_t(i) * 3;
            const uint32_t v = msbFirst ? (uint32_t(p[0]) << 16 | uint32_t(p[1]) << 8 | p[2])
                                        : (uint32_t(p[2]) << 16 | uint32_t(p[1]) << 8 | p[0]);
            const uint32_t bits = FP24ToFloatBits(v);
            std::memcpy(out + i, &bits, 4);
        }
    }
}

// ---- predictors ----------------------------------------------------------------

template <typename T>
void UndoHorizontalDifference(dng_pixel_buffer& buffer, uint32_t factor) {
    const dng_rect& area = buffer.Area();
    const uint32_t rowSamples = area.W() * buffer.Planes();
    const uint32_t stride = factor * buffer.Planes();
    for (int32_t row = area.t; row < area.b; ++row) {
        T* p = static_cast<T*>(buffer.DirtyPixel(row, area.l, buffer.Plane()));
        for (uint32_t i = stride; i < rowSamples; ++i) p[i] = T(p[i] + p[i - stride]);
    }
}

// Floating-point predictor: byte differencing across the row, then the bytes
// of each value gathered from per-byte planes. Input row r sits one row after
// its output row.
void UndoFloatingPointPredictor(uint8_t* buffer, uint32_t rows, uint32_t rowSamples,
                                uint32_t bytesPerSample, uint32_t stride) {
    const uint32_t rowBytes = rowSamples * bytesPerSample;
    for (uint32_t row = 0; row < rows; ++row) {
        uint8_t* in = buffer + size_t(row + 1) * rowBytes;
        uint8_t* out = buffer + size_t(row) * rowBytes;
        for (uint32_t i = stride; i < rowBytes; ++i) in[i] = uint8_t(in[i] + in[i - stride]);
        for (uint32_t i = 0; i < rowSamples; ++i) {
            uint8_t* o = out + size_t(i) * bytesPerSample;
            switch (bytesPerSample) {
                case 4:
                    o[0] = in[3 * rowSamples + i];
                    o[1] = in[2 * rowSamples + i];
                    o[2] = in[rowSamples + i];
                    o[3] = in[i];
                    break;
                case 3:
                    o[0] = in[i];
                    o[1] = in[rowSamples + i];
                    o[2] = in[2 * rowSamples + i];
                    break;
                default:
                    o[0] = in[rowSamples + i];
                    o[1] = in[i];
                    break;
            }
        }
    }
}

uint32_t FloatPredictorFactor(uint32_t predictor) {
    switch (predictor) {
        case cpFloatingPoint:
            return 1;
        case cpFloatingPointX2:
            return 2;
        case cpFloatingPointX4:
            return 4;
        default:
            return 0;
    }
}

void SwapSamples(uint8_t* data, uint32_t count, uint32_t bytesPerSample) {
    if (bytesPerSample == 2) {
        for (uint32_t i = 0; i < count; ++i) std::swap(data[2 * i], data[2 * i + 1]);
    } else if (bytesPerSample == 4) {
        for (uint32_t i = 0; i < count; ++i) {
            uint32_t v;
            std::memcpy(&v, data + size_t(i) * 4, 4);
            v = __builtin_bswap32(v);
            std::memcpy(data + size_t(i) * 4, &v, 4);
        }
    }
}

// ---- bit unpacking ------------------------------------------------------------

// Unpacks one row of MSB-first packed samples of bits (9..31) each.
template <typename T>
void UnpackRow(const uint8_t* src, T* dst, uint32_t samples, uint32_t bits) {
    uint64_t acc = 0;
    uint32_t have = 0;
    const uint64_t mask = (uint64_t(1) << bits) - 1;
    for (uint32_t i = 0; i < samples; ++i) {
        while (have < bits) {
            acc = (acc << 8) | *src++;
            have += 8;
        }
        have -= bits;
        dst[i] = T((acc >> have) & mask);
    }
}

uint32_t DecodedSampleSize(uint32_t bits, uint32_t sampleFormat) {
    if (sampleFormat == sfFloatingPoint) return 4;
    if (bits <= 8) return 1;
    if (bits <= 16) return 2;
    return 4;
}

// Bytes of the stream from offset on; false when offset + count passes it.
bool FitsInStream(uint64_t offset, uint64_t count, uint64_t length) {
    return offset <= length && count <= length - offset;
}

// Where the tiles (or strips) of an image lie in the stream, in read order
// (plane, then row, then column). Uncompressed byte counts are the IFD's
// computed ones, which are what a read takes.
struct TileTable {
    uint32_t outerSamples = 1;
    uint32_t innerSamples = 1;
    uint32_t tilesAcross = 0;
    uint32_t tilesDown = 0;
    uint32_t count = 0;
    std::vector<uint64_t> offset;
    std::vector<uint32_t> byteCount;
};

// Reads count values of the given tag type from the stream at position; the
// whole array must lie in the stream, which also bounds count before the
// vector is made.
template <typename T>
std::vector<T> ReadTagArray(dng_stream& stream, uint32_t type, uint64_t position, uint32_t count,
                            const char* failure) {
    const uint32_t typeSize = TiffTagTypeSize(type);
    if (typeSize == 0 || !FitsInStream(position, uint64_t(typeSize) * count, stream.Length())) {
        ThrowBadFormat(failure);
    }
    std::vector<T> values(count);
    stream.SetReadPosition(position);
    for (uint32_t i = 0; i < count; ++i) values[i] = T(stream.ReadTagValueAsUInt32(type));
    return values;
}

TileTable LocateTiles(const dng_ifd& ifd, dng_stream& stream) {
    if (ifd.fImageWidth > kMaxImageSide || ifd.fImageLength > kMaxImageSide) {
        ThrowBadFormat("dng_read_image::Read image too large");
    }
    // Layout checks that everything below relies on.
    if (ifd.fImageWidth < 1 || ifd.fImageLength < 1 || ifd.fSamplesPerPixel < 1 ||
        ifd.fSamplesPerPixel > dng_ifd::kMaxSamplesPerPixel || ifd.fBitsPerSample[0] < 1 ||
        ifd.fBitsPerSample[0] > 32 || ifd.fUsesStrips == ifd.fUsesTiles || ifd.fTileWidth < 1 ||
        ifd.fTileLength < 1) {
        ThrowBadFormat("unreadable image layout");
    }
    if (ifd.fPlanarConfiguration != pcInterleaved && ifd.fPlanarConfiguration != pcPlanar &&
        ifd.fPlanarConfiguration != pcRowInterleaved) {
        ThrowBadFormat("bad planar configuration");
    }
    // Tiles may overhang the image, but not by more than a tile can sensibly
    // be padded; strips are clipped to the image.
    if (ifd.fUsesTiles && (ifd.fTileWidth > uint64_t(ifd.fImageWidth) + 1024 ||
                           ifd.fTileLength > uint64_t(ifd.fImageLength) + 1024)) {
        ThrowBadFormat("tile larger than the image");
    }
    if (ifd.fUsesStrips && ifd.fTileWidth != ifd.fImageWidth) {
        ThrowBadFormat("strip width differs from the image width");
    }

    // A file of strips is told of in strips.
    const bool strips = ifd.fUsesStrips;
    auto say = [strips](const char* tiles, const char* stripsMessage) {
        return strips ? stripsMessage : tiles;
    };
    TileTable t;
    t.outerSamples = ifd.fPlanarConfiguration == pcPlanar ? ifd.fSamplesPerPixel : 1;
    t.innerSamples = ifd.fPlanarConfiguration == pcPlanar ? 1 : ifd.fSamplesPerPixel;
    t.tilesAcross = ifd.TilesAcross();
    t.tilesDown = ifd.TilesDown();
    t.count = SafeUint32Mult3(t.tilesAcross, t.tilesDown, t.outerSamples);
    if (ifd.fTileOffsetsCount != t.count)
        ThrowBadFormat(
            say("tile offsets do not match the image", "strip offsets do not match the image"));

    const uint64_t streamLength = stream.Length();
    if (t.count <= dng_ifd::kMaxTileInfo) {
        t.offset.assign(ifd.fTileOffset, ifd.fTileOffset + t.count);
    } else {
        t.offset = ReadTagArray<uint64_t>(
            stream, ifd.fTileOffsetsType, ifd.fTileOffsetsOffset, t.count,
            say("tile offsets outside the file", "strip offsets outside the file"));
    }
    for (uint64_t offset : t.offset) {
        if (offset >= streamLength)
            ThrowBadFormat(say("tile offset outside the file", "strip offset outside the file"));
    }

    if (ifd.fCompression == ccUncompressed) {
        t.byteCount.resize(t.count);
        const uint32_t perPlane = t.tilesAcross * t.tilesDown;
        for (uint32_t i = 0; i < t.count; ++i) {
            const uint32_t rest = i % perPlane;
            t.byteCount[i] =
                ifd.TileByteCount(ifd.TileArea(rest / t.tilesAcross, rest % t.tilesAcross));
        }
    } else {
        if (ifd.fTileByteCountsCount != t.count) {
            ThrowBadFormat(say("tile byte counts missing or do not match the image",
                               "strip byte counts missing or do not match the image"));
        }
        if (t.count <= dng_ifd::kMaxTileInfo) {
            t.byteCount.assign(ifd.fTileByteCount, ifd.fTileByteCount + t.count);
        } else {
            t.byteCount = ReadTagArray<uint32_t>(
                stream, ifd.fTileByteCountsType, ifd.fTileByteCountsOffset, t.count,
                say("tile byte counts outside the file", "strip byte counts outside the file"));
        }
        for (uint32_t count : t.byteCount) {
            if (count < 1 || count > streamLength)
                ThrowBadFormat(say("bad tile byte count", "bad strip byte count"));
        }
    }
    for (uint32_t i = 0; i < t.count; ++i) {
        if (t.byteCount[i] > streamLength - t.offset[i]) {
            ThrowBadFormat(say("tile data runs past the end of the file",
                               "strip data runs past the end of the file"));
        }
    }
    return t;
}

// The most bytes a codec can make of one byte of its input, for the bytes
// ExpandedBytes counts; 0 for a compression this reader does not decode.
uint64_t LargestExpansion(const dng_ifd& ifd) {
    switch (ifd.fCompression) {
        case ccUncompressed:
            return 1;
        case ccDeflate:
        case ccOldDeflate:
            // zlib's limit: a 258-byte match costs at least two bits.
            return 1032;
        case ccLZW:
            // A code of at least 9 bits stands for at most 4096 bytes.
            return 3641;
        case ccPackBits:
            // A two-byte run packet gives 128 bytes.
            return 64;
        case ccJPEG:
            // Lossless JPEG spends at least one bit on every 16-bit sample;
            // the factor is the sample width in bits.
            if (!ifd.IsBaselineJPEG()) return 16;
            [[fallthrough]];
        case ccLossyJPEG:
            // An 8 x 8 block costs at least two bits and, subsampled, may
            // cover sixteen blocks of pixels.
            return 4096;
        default:
            return 0;
    }
}

// The bytes the codec hands on for one tile area of the given samples.
uint64_t ExpandedBytes(const dng_ifd& ifd, const dng_rect& area, uint32_t samples) {
    const uint64_t values = uint64_t(area.W()) * area.H() * samples;
    switch (ifd.fCompression) {
        case ccUncompressed:
            return ifd.TileByteCount(area);
        case ccJPEG:
            if (!ifd.IsBaselineJPEG()) return values * 2;
            return values;
        case ccLossyJPEG:
            return values;
        default:
            return values * ((ifd.fBitsPerSample[0] + 7) / 8);
    }
}

// A file cannot hold more image than its bytes allow: no two tiles may share
// bytes, and the tiles' bytes times the codec's largest expansion must cover
// what the image claims. Checked before any pixel memory is taken, so that a
// small file cannot make the reader allocate gigabytes.
void CheckTileBytes(const dng_ifd& ifd, const TileTable& t) {
    std::vector<std::pair<uint64_t, uint64_t>> spans(t.count);
    for (uint32_t i = 0; i < t.count; ++i) spans[i] = {t.offset[i], t.offset[i] + t.byteCount[i]};
    std::sort(spans.begin(), spans.end());
    for (uint32_t i = 1; i < t.count; ++i) {
        if (spans[i].first < spans[i - 1].second) ThrowBadFormat("tile data overlaps");
    }

    const uint64_t expansion = LargestExpansion(ifd);
    if (expansion == 0) {
        platform::log("dng_read_image: no decoder for compression %u", ifd.fCompression);
        ThrowBadFormat("unsupported compression");
    }
    uint64_t given = 0;
    for (uint32_t count : t.byteCount) given += count;
    // Tiles do not overlap and lie in the file, so given is at most its
    // length and the limit cannot overflow.
    const uint64_t limit = given * expansion;
    const uint32_t perPlane = t.tilesAcross * t.tilesDown;
    uint64_t claimed = 0;
    for (uint32_t i = 0; i < t.count; ++i) {
        const uint32_t rest = i % perPlane;
        claimed += ExpandedBytes(ifd, ifd.TileArea(rest / t.tilesAcross, rest % t.tilesAcross),
                                 t.innerSamples);
        if (claimed > limit) ThrowBadFormat("image larger than its data allows");
    }
}

// ---- threaded tile reading ------------------------------------------------------

class dng_read_tiles_task : public dng_area_task {
public:
    dng_read_tiles_task(dng_read_image& reader, dng_host& host, const dng_ifd& ifd,
                        dng_stream& stream, dng_image& image, uint32_t outerSamples,
                        uint32_t innerSamples, uint32_t tilesDown, uint32_t tilesAcross,
                        const uint64_t* tileOffset, const uint32_t* tileByteCount,
                        uint32_t compressedSize, uint32_t uncompressedSize)
        : dng_area_task("dng_read_tiles_task"),
          fReader(reader),
          fHost(host),
          fIFD(ifd),
          fStream(stream),
          fImage(image),
          fOuterSamples(outerSamples),
          fInnerSamples(innerSamples),
          fTilesDown(tilesDown),
          fTilesAcross(tilesAcross),
          fTileOffset(tileOffset),
          fTileByteCount(tileByteCount),
          fCompressedSize(compressedSize),
          fUncompressedSize(uncompressedSize),
          fMutex("dng_read_tiles_task", 0x70000000) {
        fMaxThreads = 256;
        fMinTaskArea = 16 * 16;
        fUnitCell = dng_point(16, 16);
        fMaxTileSize = dng_point(16, 16);
    }

    void Process(uint32_t /*threadIndex*/, const dng_rect& /*tile*/,
                 dng_abort_sniffer* sniffer) override {
        std::unique_ptr<dng_memory_block> compressedBuffer = fHost.Allocate(fCompressedSize);
        std::unique_ptr<dng_memory_block> uncompressedBuffer;
        std::unique_ptr<dng_memory_block> subTileBlockBuffer;
        if (fUncompressedSize) uncompressedBuffer = fHost.Allocate(fUncompressedSize);

        const uint32_t tilesPerPlane = fTilesDown * fTilesAcross;
        const uint32_t tileCount = fOuterSamples * tilesPerPlane;
        for (;;) {
            uint32_t index;
            uint32_t byteCount;
            {
                dng_lock_mutex lock(&fMutex);
                if (fNextTileIndex == tileCount) return;
                index = fNextTileIndex++;
                byteCount = fTileByteCount[index];
                ScopedStreamSniffer scoped(fStream, sniffer);
                fStream.SetReadPosition(fTileOffset[index]);
                fStream.ReadBytes(compressedBuffer->Buffer(), byteCount);
            }
            dng_abort_sniffer::SniffForAbort(sniffer);

            dng_stream tileStream(compressedBuffer->Buffer(), byteCount);
            tileStream.SetBigEndian(fStream.IsBigEndian());

            const uint32_t plane = index / tilesPerPlane;
            const uint32_t rest = index - plane * tilesPerPlane;
            const uint32_t row = rest / fTilesAcross;
            const uint32_t col = rest - row * fTilesAcross;
            const dng_rect tileArea = fIFD.TileArea(row, col);

            dng_host threadHost(&fHost.Allocator(), sniffer);
            fReader.ReadTile(threadHost, fIFD, tileStream, fImage, tileArea, plane, fInnerSamples,
                             byteCount, compressedBuffer, uncompressedBuffer, subTileBlockBuffer,
                             true);
        }
    }

private:
    dng_read_image& fReader;
    dng_host& fHost;
    const dng_ifd& fIFD;
    dng_stream& fStream;
    dng_image& fImage;
    uint32_t fOuterSamples;
    uint32_t fInnerSamples;
    uint32_t fTilesDown;
    uint32_t fTilesAcross;
    const uint64_t* fTileOffset;
    const uint32_t* fTileByteCount;
    uint32_t fCompressedSize;
    uint32_t fUncompressedSize;
    dng_mutex fMutex;
    uint32_t fNextTileIndex = 0;
};

}  // namespace

// ---- sub-tile blocks --------------------------------------------------------------

void ReorderSubTileBlocks(dng_host& host, const dng_ifd& ifd, dng_pixel_buffer& buffer,
                          std::unique_ptr<dng_memory_block>& scratch) {
    const uint32_t blockRows = ifd.fSubTileBlockRows;
    const uint32_t blockCols = ifd.fSubTileBlockCols;
    const uint32_t rows = buffer.Area().H();
    const uint32_t cols = buffer.Area().W();
    if (blockRows < 2 || blockCols == 0 || rows < blockRows) return;
    if (rows % blockRows || cols % blockCols) ThrowBadFormat("tile is not whole sub-tile blocks");

    const uint32_t pixelBytes = SafeUint32Mult(buffer.Planes(), buffer.PixelSize());
    const uint32_t rowBytes = SafeUint32Mult(cols, pixelBytes);
    const uint32_t totalBytes = SafeUint32Mult(rows, rowBytes);
    if (!scratch || scratch->LogicalSize() < totalBytes) scratch = host.Allocate(totalBytes);

    // The buffer is interleaved with no row padding (row step = width x planes).
    const uint8_t* src = static_cast<const uint8_t*>(buffer.fData);
    uint8_t* dst = scratch->Buffer_uint8();
    const uint32_t blockRowBytes = blockCols * pixelBytes;
    for (uint32_t br = 0; br < rows; br += blockRows) {
        for (uint32_t bc = 0; bc < cols; bc += blockCols) {
            for (uint32_t r = 0; r < blockRows; ++r) {
                std::memcpy(dst + size_t(br + r) * rowBytes + size_t(bc) * pixelBytes, src,
                            blockRowBytes);
                src += blockRowBytes;
            }
        }
    }
    std::memcpy(buffer.fData, dst, totalBytes);
}

// ---- dng_read_image ----------------------------------------------------------------

dng_read_image::dng_read_image() = default;

dng_read_image::~dng_read_image() = default;

bool dng_read_image::CanReadTile(const dng_ifd& ifd) {
    const uint32_t bits = ifd.fBitsPerSample[0];
    const uint32_t format = ifd.fSampleFormat[0];
    if (format != sfUnsignedInteger && format != sfFloatingPoint) return false;
    const bool isFloat = format == sfFloatingPoint;
    switch (ifd.fCompression) {
        case ccUncompressed:
            return isFloat ? (bits == 16 || bits == 24 || bits == 32) : (bits >= 8 && bits <= 32);
        case ccJPEG:
            return !isFloat && (ifd.IsBaselineJPEG() || (bits >= 8 && bits <= 16));
        case ccLZW:
        case ccDeflate:
        case ccPackBits:
        case ccOldDeflate:
            if (!isFloat) {
                const uint32_t p = ifd.fPredictor;
                return (p == cpNullPredictor || p == cpHorizontalDifference ||
                        p == cpHorizontalDifferenceX2 || p == cpHorizontalDifferenceX4) &&
                       (bits == 8 || bits == 16 || bits == 32);
            }
            if (ifd.fCompression == ccPackBits) return false;
            return (ifd.fPredictor == cpNullPredictor || FloatPredictorFactor(ifd.fPredictor)) &&
                   (bits == 16 || bits == 24 || bits == 32);
        default:
            return false;
    }
}

bool dng_read_image::CanRead(const dng_ifd& ifd) {
    if (ifd.fImageWidth < 1 || ifd.fImageLength < 1) return false;
    if (ifd.fSamplesPerPixel < 1 || ifd.fSamplesPerPixel > dng_ifd::kMaxSamplesPerPixel) {
        return false;
    }
    if (ifd.fBitsPerSample[0] < 1) return false;
    for (uint32_t j = 1; j < ifd.fSamplesPerPixel; ++j) {
        if (ifd.fBitsPerSample[j] != ifd.fBitsPerSample[0]) return false;
        if (ifd.fSampleFormat[j] != ifd.fSampleFormat[0]) return false;
    }
    if (ifd.fPlanarConfiguration != pcInterleaved && ifd.fPlanarConfiguration != pcPlanar &&
        ifd.fPlanarConfiguration != pcRowInterleaved) {
        return false;
    }
    if (ifd.fUsesStrips == ifd.fUsesTiles) return false;
    uint32_t tileCount;
    try {
        tileCount = ifd.TilesPerImage();
    } catch (const dng_exception&) {
        return false;
    }
    if (tileCount < 1) return false;
    const bool compressed = ifd.TileByteCount(ifd.TileArea(0, 0)) == 0;
    if (tileCount > 1) {
        if (ifd.fTileOffsetsCount != tileCount) return false;
        if (compressed && ifd.fTileByteCountsCount != tileCount) return false;
    } else if (compressed && (ifd.fTileByteCountsCount < 1 || ifd.fTileByteCount[0] == 0)) {
        return false;
    }
    return CanReadTile(ifd);
}

bool dng_read_image::NeedsCompressedBuffer(const dng_ifd& ifd) {
    switch (ifd.fCompression) {
        case ccLZW:
        case ccDeflate:
        case ccPackBits:
        case ccOldDeflate:
            return true;
        default:
            return false;
    }
}

uint32_t dng_read_image::ByteSwapBuffer(dng_host& /*host*/, dng_pixel_buffer& buffer) {
    const uint32_t count = SafeUint32Mult(buffer.Area().H(), uint32_t(buffer.RowStep()));
    SwapSamples(static_cast<uint8_t*>(buffer.fData), count, buffer.PixelSize());
    return count;
}

void dng_read_image::DecodePredictor(dng_host& /*host*/, const dng_ifd& ifd,
                                     dng_pixel_buffer& buffer) {
    uint32_t factor;
    switch (ifd.fPredictor) {
        case cpNullPredictor:
            return;
        case cpHorizontalDifference:
            factor = 1;
            break;
        case cpHorizontalDifferenceX2:
            factor = 2;
            break;
        case cpHorizontalDifferenceX4:
            factor = 4;
            break;
        default:
            ThrowBadFormat("unsupported predictor");
    }
    switch (buffer.PixelType()) {
        case ttByte:
            UndoHorizontalDifference<uint8_t>(buffer, factor);
            break;
        case ttShort:
            UndoHorizontalDifference<uint16_t>(buffer, factor);
            break;
        case ttLong:
            UndoHorizontalDifference<uint32_t>(buffer, factor);
            break;
        default:
            ThrowBadFormat("predictor on an unsupported pixel type");
    }
}

bool dng_read_image::ReadUncompressed(dng_host& host, const dng_ifd& ifd, dng_stream& stream,
                                      dng_image& image, const dng_rect& tileArea, uint32_t plane,
                                      uint32_t planes,
                                      std::unique_ptr<dng_memory_block>& uncompressedBuffer,
                                      std::unique_ptr<dng_memory_block>& subTileBlockBuffer) {
    const uint32_t width = tileArea.W();
    const uint32_t height = tileArea.H();
    const bool rowInterleaved = ifd.fPlanarConfiguration == pcRowInterleaved;
    const uint32_t rows = rowInterleaved ? SafeUint32Mult(planes, height) : height;
    const uint32_t samplesPerRow = rowInterleaved ? width : SafeUint32Mult(planes, width);
    const uint32_t samples = SafeUint32Mult(rows, samplesPerRow);
    const uint32_t bits = ifd.fBitsPerSample[plane];
    const bool isFloat = ifd.fSampleFormat[plane] == sfFloatingPoint;

    if (!uncompressedBuffer) ThrowBadFormat("no buffer for uncompressed data");

    uint32_t pixelType;
    if (bits == 8) {
        pixelType = ttByte;
    } else if (isFloat && (bits == 16 || bits == 24)) {
        pixelType = ttFloat;
    } else if (bits == 32) {
        pixelType = image.PixelType();
        if (pixelType != ttFloat && pixelType != ttLong) pixelType = isFloat ? ttFloat : ttLong;
    } else if (isFloat || bits < 8) {
        return false;
    } else {
        pixelType = bits <= 16 ? ttShort : ttLong;
    }
    const uint32_t pixelSize = TiffTagTypeSize(pixelType);
    if (SafeUint32Mult(samples, pixelSize) > uncompressedBuffer->LogicalSize()) {
        ThrowProgramError("uncompressed buffer too small");
    }
    uint8_t* data = uncompressedBuffer->Buffer_uint8();

    if (bits == 8 || bits == 32 || (bits == 16 && !isFloat)) {
        const uint32_t bytes = SafeUint32Mult(samples, bits / 8);
        stream.ReadBytes(data, bytes);
        if (stream.IsBigEndian()) SwapSamples(data, samples, bits / 8);
    } else if (bits == 16 || bits == 24) {
        // Floats: 16-bit halves in stream order, 24-bit values sign byte
        // first for big-endian streams.
        const uint32_t bytesPerSample = bits / 8;
        const uint32_t bytes = SafeUint32Mult(samples, bytesPerSample);
        stream.ReadBytes(data, bytes);
        if (bits == 16 && stream.IsBigEndian()) SwapSamples(data, samples, 2);
        ExpandFloats(data, samples, bytesPerSample, stream.IsBigEndian());
    } else {
        const uint32_t rowBytes = SafeUint32DivideUp(SafeUint32Mult(samplesPerRow, bits), 8);
        std::vector<uint8_t> packed(rowBytes);
        for (uint32_t row = 0; row < rows; ++row) {
            stream.ReadBytes(packed.data(), rowBytes);
            if (pixelType == ttShort) {
                UnpackRow(packed.data(),
                          reinterpret_cast<uint16_t*>(data) + size_t(row) * samplesPerRow,
                          samplesPerRow, bits);
            } else {
                UnpackRow(packed.data(),
                          reinterpret_cast<uint32_t*>(data) + size_t(row) * samplesPerRow,
                          samplesPerRow, bits);
            }
        }
    }

    dng_pixel_buffer buffer(tileArea, plane, planes, pixelType,
                            rowInterleaved ? pcRowInterleaved : pcInterleaved, data);
    if (ifd.fSampleBitShift) buffer.ShiftRight(ifd.fSampleBitShift);
    if (ifd.fSubTileBlockRows > 1) ReorderSubTileBlocks(host, ifd, buffer, subTileBlockBuffer);
    image.Put(buffer);
    return true;
}

void dng_read_image::DecodeLossyJPEG(dng_host& /*host*/, dng_image& /*image*/,
                                     const dng_rect& /*tileArea*/, uint32_t /*plane*/,
                                     uint32_t /*planes*/, uint32_t photometric,
                                     uint32_t jpegDataSize, const uint8_t* /*jpegDataInMemory*/,
                                     bool /*usingMultipleThreads*/) {
    platform::log(
        "dng_read_image: no decoder for lossy JPEG image data (compression 34892 or baseline "
        "JPEG under compression 7; photometric %u, %u bytes)",
        photometric, jpegDataSize);
    ThrowProgramError("no lossy JPEG decoder");
}

bool dng_read_image::ReadBaselineJPEG(dng_host& host, const dng_ifd& ifd, dng_stream& stream,
                                      dng_image& image, const dng_rect& tileArea, uint32_t plane,
                                      uint32_t planes, uint32_t tileByteCount,
                                      const uint8_t* jpegDataInMemory, bool usingMultipleThreads) {
    if (jpegDataInMemory && !fJPEGTables) {
        DecodeLossyJPEG(host, image, tileArea, plane, planes, ifd.fPhotometricInterpretation,
                        tileByteCount, jpegDataInMemory, usingMultipleThreads);
        return true;
    }
    if (tileByteCount <= 2) ThrowEndOfFile("JPEG tile too short");
    uint32_t tablesSize = 0;
    if (fJPEGTables) {
        tablesSize = fJPEGTables->LogicalSize();
        if (tablesSize >= 1 && tablesSize <= 3) ThrowEndOfFile("JPEG tables too short");
    }
    const uint32_t tablesPart = tablesSize ? tablesSize - 2 : 0;
    const uint32_t total = SafeUint32Add(tablesPart, tileByteCount - 2);
    std::unique_ptr<dng_memory_block> gathered = host.Allocate(total);
    uint8_t* p = gathered->Buffer_uint8();
    if (tablesPart) std::memcpy(p, fJPEGTables->Buffer(), tablesPart);
    if (jpegDataInMemory) {
        std::memcpy(p + tablesPart, jpegDataInMemory + 2, tileByteCount - 2);
    } else {
        stream.Skip(2);
        stream.ReadBytes(p + tablesPart, tileByteCount - 2);
    }
    DecodeLossyJPEG(host, image, tileArea, plane, planes, ifd.fPhotometricInterpretation, total, p,
                    usingMultipleThreads);
    return true;
}

bool dng_read_image::ReadLosslessJPEG(dng_host& host, const dng_ifd& ifd, dng_stream& stream,
                                      dng_image& image, const dng_rect& tileArea, uint32_t plane,
                                      uint32_t planes, uint32_t tileByteCount,
                                      std::unique_ptr<dng_memory_block>& uncompressedBuffer,
                                      std::unique_ptr<dng_memory_block>& subTileBlockBuffer) {
    if (tileArea.IsEmpty()) return true;
    const uint32_t rowBytes = SafeUint32Mult3(tileArea.W(), planes, 2);
    const uint32_t blockRows = std::max<uint32_t>(ifd.fSubTileBlockRows, 1);
    uint32_t stripRows = std::min(tileArea.H(), kStripBytes / rowBytes);
    stripRows = std::max(stripRows, blockRows) / blockRows * blockRows;
    const uint32_t bufferSize = SafeUint32Mult(stripRows, rowBytes);
    if (!uncompressedBuffer || uncompressedBuffer->LogicalSize() < bufferSize) {
        uncompressedBuffer.reset();
        uncompressedBuffer = host.Allocate(bufferSize);
    }

    dng_image_spooler spooler(host, ifd, image, tileArea, plane, planes, *uncompressedBuffer,
                              subTileBlockBuffer);
    const uint64_t decodedSize = uint64_t(tileArea.W()) * tileArea.H() * planes * 2;
    const uint64_t start = stream.Position();
    try {
        dng_ljpeg_decode(stream, spooler, decodedSize, decodedSize, ifd.fLosslessJPEGBug16,
                         start + tileByteCount);
    } catch (const dng_exception& e) {
        if (e.ErrorCode() == dng_error_bad_format) {
            platform::log(
                "dng_read_image: compression 7 tile (%u x %u, %u bits) is not valid lossless "
                "JPEG: %s",
                tileArea.W(), tileArea.H(), ifd.fBitsPerSample[0], dng_ljpeg_failure_reason(e));
        }
        throw;
    }
    return true;
}

void dng_read_image::ReadTile(dng_host& host, const dng_ifd& ifd, dng_stream& stream,
                              dng_image& image, const dng_rect& tileArea, uint32_t plane,
                              uint32_t planes, uint32_t tileByteCount,
                              std::unique_ptr<dng_memory_block>& compressedBuffer,
                              std::unique_ptr<dng_memory_block>& uncompressedBuffer,
                              std::unique_ptr<dng_memory_block>& subTileBlockBuffer,
                              bool usingMultipleThreads) {
    switch (ifd.fCompression) {
        case ccUncompressed:
            if (!ReadUncompressed(host, ifd, stream, image, tileArea, plane, planes,
                                  uncompressedBuffer, subTileBlockBuffer)) {
                ThrowBadFormat("unreadable uncompressed data");
            }
            return;
        case ccJPEG:
            if (ifd.IsBaselineJPEG()) {
                if (!ReadBaselineJPEG(host, ifd, stream, image, tileArea, plane, planes,
                                      tileByteCount, nullptr, usingMultipleThreads)) {
                    ThrowBadFormat("unreadable JPEG data");
                }
            } else if (!ReadLosslessJPEG(host, ifd, stream, image, tileArea, plane, planes,
                                         tileByteCount, uncompressedBuffer, subTileBlockBuffer)) {
                ThrowBadFormat("unreadable lossless JPEG data");
            }
            return;
        case ccLossyJPEG:
            if (!ReadBaselineJPEG(host, ifd, stream, image, tileArea, plane, planes, tileByteCount,
                                  nullptr, usingMultipleThreads)) {
                ThrowBadFormat("unreadable JPEG data");
            }
            return;
        case ccLZW:
        case ccDeflate:
        case ccOldDeflate:
        case ccPackBits:
            break;
        default:
            platform::log("dng_read_image: no decoder for compression %u", ifd.fCompression);
            ThrowBadFormat("unsupported compression");
    }

    if (!compressedBuffer) ThrowProgramError("no compressed buffer");
    const uint32_t bits = ifd.fBitsPerSample[0];
    if (bits % 8 != 0 || bits == 0 || bits > 32) ThrowBadFormat("bit depth needs whole bytes");
    const uint32_t bytesPerSample = bits / 8;
    const bool isFloat = ifd.fSampleFormat[0] == sfFloatingPoint;
    uint32_t pixelType;
    if (isFloat) {
        pixelType = ttFloat;
    } else if (bits == 8) {
        pixelType = ttByte;
    } else if (bits == 16) {
        pixelType = ttShort;
    } else if (bits == 32) {
        pixelType = ttLong;
    } else {
        ThrowBadFormat("unsupported bit depth for compressed data");
    }

    const uint32_t width = tileArea.W();
    const uint32_t rowSamples = SafeUint32Mult(planes, width);
    const uint32_t samples = SafeUint32Mult(rowSamples, tileArea.H());
    const uint32_t floatFactor = FloatPredictorFactor(ifd.fPredictor);
    const uint32_t rowBytes = SafeUint32Mult(rowSamples, bytesPerSample);
    const uint32_t dataBytes = SafeUint32Mult(samples, bytesPerSample);
    uint32_t bufferSize = floatFactor ? SafeUint32Add(dataBytes, rowBytes) : dataBytes;
    if (isFloat) bufferSize = std::max(bufferSize, SafeUint32Mult(samples, 4));
    if (!uncompressedBuffer || uncompressedBuffer->LogicalSize() < bufferSize) {
        uncompressedBuffer.reset();
        uncompressedBuffer = host.Allocate(bufferSize);
    }
    uint8_t* base = uncompressedBuffer->Buffer_uint8();
    uint8_t* target = base + (floatFactor ? rowBytes : 0);
    const uint8_t* compressed = compressedBuffer->Buffer_uint8();
    if (tileByteCount > compressedBuffer->LogicalSize()) ThrowProgramError("compressed buffer");

    switch (ifd.fCompression) {
        case ccPackBits: {
            dng_stream packed(compressed, tileByteCount);
            if (!DecodePackBits(packed, target, dataBytes)) ThrowBadFormat("bad PackBits data");
            break;
        }
        case ccLZW: {
            dng_lzw_decoder decoder;
            if (!decoder.Decode(compressed, tileByteCount, target, dataBytes)) {
                ThrowBadFormat("bad LZW data");
            }
            break;
        }
        default: {
            uLongf length = dataBytes;
            const int result = uncompress(target, &length, compressed, tileByteCount);
            if (result == Z_MEM_ERROR) ThrowMemoryFull("zlib out of memory");
            const bool acceptable = result == Z_OK || result == Z_DATA_ERROR;
            if (!acceptable || length != dataBytes) ThrowBadFormat("bad Deflate data");
            break;
        }
    }

    if (floatFactor) {
        if (!isFloat) ThrowBadFormat("floating-point predictor on integer data");
        UndoFloatingPointPredictor(base, tileArea.H(), rowSamples, bytesPerSample,
                                   floatFactor * planes);
        ExpandFloats(base, samples, bytesPerSample, true);
    } else {
        if (ifd.fPredictor != cpNullPredictor && isFloat) {
            ThrowBadFormat("integer predictor on float data");
        }
        if (stream.IsBigEndian() && bytesPerSample != 3) {
            SwapSamples(base, samples, bytesPerSample);
        }
        if (!isFloat) {
            dng_pixel_buffer buffer(tileArea, plane, planes, pixelType, pcInterleaved, base);
            DecodePredictor(host, ifd, buffer);
        } else {
            ExpandFloats(base, samples, bytesPerSample, stream.IsBigEndian());
        }
    }

    dng_pixel_buffer buffer(tileArea, plane, planes, pixelType, pcInterleaved, base);
    image.Put(buffer);
}

void dng_read_image::DoReadTiles(dng_host& host, const dng_ifd& ifd, dng_stream& stream,
                                 dng_image& image, dng_jpeg_image* /*jpegImage*/,
                                 dng_fingerprint* /*jpegTileDigest*/, uint32_t outerSamples,
                                 uint32_t innerSamples, uint32_t tilesDown, uint32_t tilesAcross,
                                 const uint64_t* tileOffset, const uint32_t* tileByteCount,
                                 uint32_t compressedSize, uint32_t uncompressedSize) {
    const uint32_t tileCount = SafeUint32Mult3(outerSamples, tilesDown, tilesAcross);
    const uint32_t threads = std::min(tileCount, host.AreaTaskThreadCount());
    dng_read_tiles_task task(*this, host, ifd, stream, image, outerSamples, innerSamples, tilesDown,
                             tilesAcross, tileOffset, tileByteCount, compressedSize,
                             uncompressedSize);
    host.PerformAreaTask(task, dng_rect(0, 0, 16, int32_t(16 * threads)));
}

void dng_read_image::CheckImageData(const dng_ifd& ifd, dng_stream& stream) {
    CheckTileBytes(ifd, LocateTiles(ifd, stream));
}

void dng_read_image::Read(dng_host& host, const dng_ifd& ifd, dng_stream& stream, dng_image& image,
                          dng_jpeg_image* jpegImage, dng_fingerprint* jpegDigest) {
    if (ifd.fRowInterleaveFactor > 1 && ifd.fRowInterleaveFactor < ifd.fImageLength) {
        dng_ifd plainIFD(ifd);
        plainIFD.fRowInterleaveFactor = 1;
        dng_row_interleaved_image interleaved(image, ifd.fRowInterleaveFactor);
        Read(host, plainIFD, stream, interleaved, jpegImage, jpegDigest);
        return;
    }

    // This system keeps no lossy JPEG tile image and no JPEG digests.
    if (jpegImage || jpegDigest) ThrowNotYetImplemented("JPEG image records are not supported");

    const TileTable tiles = LocateTiles(ifd, stream);
    CheckTileBytes(ifd, tiles);
    const uint32_t outerSamples = tiles.outerSamples;
    const uint32_t innerSamples = tiles.innerSamples;
    const uint32_t tilesAcross = tiles.tilesAcross;
    const uint32_t tilesDown = tiles.tilesDown;
    const uint32_t tileCount = tiles.count;
    const std::vector<uint64_t>& tileOffset = tiles.offset;
    const std::vector<uint32_t>& tileByteCount = tiles.byteCount;
    const uint64_t streamLength = stream.Length();

    uint32_t maxByteCount = 0;
    uint32_t stripHeight = ifd.fTileLength;
    uint32_t uncompressedSize = 0;
    const uint32_t blockRows = std::max<uint32_t>(ifd.fSubTileBlockRows, 1);
    const bool uncompressed = ifd.fCompression == ccUncompressed;
    if (uncompressed) {
        const uint32_t decodedSize = std::max(
            image.PixelSize(), DecodedSampleSize(ifd.fBitsPerSample[0], ifd.fSampleFormat[0]));
        const uint32_t rowBytes = SafeUint32Mult3(ifd.fTileWidth, innerSamples, decodedSize);
        stripHeight = std::min(kStripBytes / rowBytes, ifd.fTileLength);
        stripHeight = std::max(stripHeight, blockRows) / blockRows * blockRows;
        uncompressedSize = SafeUint32Mult(stripHeight, rowBytes);
    } else {
        for (uint32_t count : tileByteCount) maxByteCount = std::max(maxByteCount, count);
    }

    const bool needsCompressedBuffer = NeedsCompressedBuffer(ifd);
    const uint32_t compressedSize = needsCompressedBuffer ? maxByteCount : 0;

    if (ifd.fJPEGTablesCount && ifd.IsBaselineJPEG()) {
        if (!FitsInStream(ifd.fJPEGTablesOffset, ifd.fJPEGTablesCount, streamLength)) {
            ThrowBadFormat("JPEG tables outside the file");
        }
        fJPEGTables = host.Allocate(ifd.fJPEGTablesCount);
        stream.SetReadPosition(ifd.fJPEGTablesOffset);
        stream.ReadBytes(fJPEGTables->Buffer(), ifd.fJPEGTablesCount);
    }

    // A dense, ordered layout gets a read-ahead hint.
    bool inOrder = true;
    uint64_t total = 0;
    uint64_t lowest = ~uint64_t(0);
    uint64_t highest = 0;
    uint64_t previousEnd = 0;
    for (uint32_t i = 0; i < tileCount; ++i) {
        const uint64_t end = tileOffset[i] + tileByteCount[i];
        if (i > 0 && tileOffset[i] < previousEnd) inOrder = false;
        previousEnd = end;
        total += tileByteCount[i];
        lowest = std::min(lowest, tileOffset[i]);
        highest = std::max(highest, end);
    }
    std::unique_ptr<ScopedStreamReadAhead> readAhead;
    if (inOrder && highest > lowest && total >= (highest - lowest) * 9 / 10) {
        readAhead = std::make_unique<ScopedStreamReadAhead>(stream, host.Allocator(), lowest,
                                                            highest - lowest);
    }

    if (tileCount >= 2 && maxByteCount >= 1 && maxByteCount <= kMaxThreadedTileBytes &&
        host.AreaTaskThreadCount() >= 2 && stripHeight == ifd.fTileLength && !uncompressed) {
        DoReadTiles(host, ifd, stream, image, nullptr, nullptr, outerSamples, innerSamples,
                    tilesDown, tilesAcross, tileOffset.data(), tileByteCount.data(), maxByteCount,
                    uncompressedSize);
        return;
    }

    std::unique_ptr<dng_memory_block> compressedBuffer;
    std::unique_ptr<dng_memory_block> uncompressedBuffer;
    std::unique_ptr<dng_memory_block> subTileBlockBuffer;
    if (uncompressedSize) uncompressedBuffer = host.Allocate(uncompressedSize);
    if (compressedSize) compressedBuffer = host.Allocate(compressedSize);

    uint32_t tileIndex = 0;
    for (uint32_t plane = 0; plane < outerSamples; ++plane) {
        for (uint32_t rowIndex = 0; rowIndex < tilesDown; ++rowIndex) {
            for (uint32_t colIndex = 0; colIndex < tilesAcross; ++colIndex, ++tileIndex) {
                stream.SetReadPosition(tileOffset[tileIndex]);
                const dng_rect tileArea = ifd.TileArea(rowIndex, colIndex);
                const uint32_t subStrips = SafeUint32DivideUp(tileArea.H(), stripHeight);
                for (uint32_t sub = 0; sub < subStrips; ++sub) {
                    host.SniffForAbort();
                    dng_rect subArea = tileArea;
                    subArea.t = tileArea.t + int32_t(sub * stripHeight);
                    subArea.b =
                        int32_t(std::min<int64_t>(int64_t(subArea.t) + stripHeight, tileArea.b));
                    const uint32_t byteCount =
                        uncompressed ? ifd.TileByteCount(subArea) : tileByteCount[tileIndex];
                    if (compressedBuffer) {
                        stream.ReadBytes(compressedBuffer->Buffer(), byteCount);
                    }
                    ReadTile(host, ifd, stream, image, subArea, plane, innerSamples, byteCount,
                             compressedBuffer, uncompressedBuffer, subTileBlockBuffer, false);
                }
            }
        }
    }
}
