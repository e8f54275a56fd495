// The image-data half of dng_image_writer: tiles or strips of one directory
// read from the image, narrowed (8-bit stored from 16-bit samples, 16- and
// 24-bit floats from 32-bit floats), predicted, compressed and appended with
// their offsets and byte counts. Tiles may be encoded on several area-task
// threads; each tile is encoded into a memory stream of its own and the
// tiles are appended in strict order, so the bytes do not depend on the
// thread count.
#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>

#include "dng/color/dng_bottleneck.h"
#include "dng/core/dng_abort_sniffer.h"
#include "dng/core/dng_area_task.h"
#include "dng/core/dng_exception.h"
#include "dng/core/dng_host.h"
#include "dng/core/dng_ifd.h"
#include "dng/core/dng_memory_stream.h"
#include "dng/core/dng_safe_arithmetic.h"
#include "dng/core/dng_stream.h"
#include "dng/core/dng_tag_types.h"
#include "dng/core/dng_tag_values.h"
#include "dng/image/dng_image.h"
#include "dng/image/dng_lossless_jpeg.h"
#include "dng/image/dng_pixel_buffer.h"
#include "dng/image/dng_row_interleaved_image.h"
#include "dng/writer/LzwEncoder.h"
#include "dng/writer/dng_basic_tag_set.h"
#include "dng/writer/dng_image_writer.h"

namespace {

constexpr uint32 kUncompressedChunkBytes = 128 * 1024;

std::unique_ptr<dng_memory_block> AllocateIf(dng_host& host, uint32 size) {
    return size ? host.Allocate(size) : nullptr;
}

uint32 PredictorFactor(uint32 predictor) {
    switch (predictor) {
        case cpHorizontalDifferenceX2:
        case cpFloatingPointX2:
            return 2;
        case cpHorizontalDifferenceX4:
        case cpFloatingPointX4:
            return 4;
        default:
            return 1;
    }
}

template <typename T>
void DifferenceRows(dng_pixel_buffer& buffer, uint32 factor) {
    const dng_rect& area = buffer.fArea;
    const uint32 rowSamples = SafeUint32Mult(area.W(), buffer.fPlanes);
    const uint32 unit = factor * buffer.fPlanes;
    const uint32 units = area.W() / factor;
    T* row = static_cast<T*>(buffer.fData);
    for (uint32 r = 0; r < area.H(); r++, row += rowSamples) {
        for (uint32 i = units * unit; i-- > unit;) row[i] = static_cast<T>(row[i] - row[i - unit]);
    }
}

void FloatPredictRows(dng_host& host, dng_pixel_buffer& buffer, uint32 factor,
                      std::unique_ptr<dng_memory_block>& tempBuffer) {
    if (buffer.fRowStep < 0) ThrowProgramError("Row step may not be negative");
    const uint32 pixelSize = buffer.fPixelSize;
    const uint32 rowBytes = SafeUint32Mult(pixelSize, static_cast<uint32>(buffer.fRowStep));
    if (!tempBuffer || tempBuffer->LogicalSize() < rowBytes) {
        tempBuffer.reset();
        tempBuffer = host.Allocate(rowBytes);
    }
    uint8* temp = tempBuffer->Buffer_uint8();
    const dng_rect& area = buffer.fArea;
    const uint32 planes = buffer.fPlanes;
    const uint32 count = (area.W() / factor) * planes * factor;
    const uint32 stride = planes * factor;
    for (uint32 r = 0; r < area.H(); r++) {
        uint8* row = static_cast<uint8*>(buffer.fData) + size_t(r) * rowBytes;
        // Byte planes, most significant first (samples sit little-endian in
        // memory except the 24-bit ones, which are already in stored order).
        for (uint32 i = 0; i < count; i++) {
            const uint8* sample = row + size_t(i) * pixelSize;
            for (uint32 k = 0; k < pixelSize; k++) {
                const uint32 byte = pixelSize == 3 ? k : pixelSize - 1 - k;
                temp[size_t(k) * count + i] = sample[byte];
            }
        }
        const uint32 total = count * pixelSize;
        for (uint32 i = total; i-- > stride;)
            temp[i] = static_cast<uint8>(temp[i] - temp[i - stride]);
        std::memcpy(row, temp, total);
    }
}

void ConvertToHalf(dng_pixel_buffer& buffer) {
    const uint32 count = buffer.fArea.H() * static_cast<uint32>(buffer.fRowStep);
    const uint32* src = static_cast<const uint32*>(buffer.fData);
    uint16* dst = static_cast<uint16*>(buffer.fData);
    for (uint32 i = 0; i < count; i++) dst[i] = DNG_FloatToHalf(src[i]);
    buffer.fPixelSize = 2;
}

void ConvertToFP24(dng_pixel_buffer& buffer, bool msbFirst) {
    const uint32 count = buffer.fArea.H() * static_cast<uint32>(buffer.fRowStep);
    const uint32* src = static_cast<const uint32*>(buffer.fData);
    uint8* dst = static_cast<uint8*>(buffer.fData);
    for (uint32 i = 0; i < count; i++) {
        uint8 bytes[3];
        DNG_FloatToFP24(src[i], bytes);
        uint8* out = dst + size_t(i) * 3;
        out[0] = msbFirst ? bytes[0] : bytes[2];
        out[1] = bytes[1];
        out[2] = msbFirst ? bytes[2] : bytes[0];
    }
    buffer.fPixelSize = 3;
}

}  // namespace

// ---- sample conversions ------------------------------------------------------

uint16 DNG_FloatToHalf(uint32 i) {
    const int32 sign = static_cast<int32>((i >> 16) & 0x00008000);
    const int32 field = static_cast<int32>((i >> 23) & 0xFF);
    int32 expo = field - (127 - 15);
    int32 mant = static_cast<int32>(i & 0x007FFFFF);

    if (field <= 112) {
        if (expo < -10) return static_cast<uint16>(sign);
        mant = (mant | 0x00800000) >> (1 - expo);
        if (mant & 0x00001000) mant += 0x00001000;
        return static_cast<uint16>(sign | (mant >> 13));
    }
    if (field == 0xFF) {
        int32 half = mant >> 13;
        // A NaN whose payload lies below the half's mantissa stays NaN.
        if (mant != 0 && half == 0) half = 0x200;
        return static_cast<uint16>(sign | 0x7C00 | half);
    }
    if (mant & 0x00001000) {
        mant += 0x00002000;
        if (mant & 0x00800000) {
            mant = 0;
            expo += 1;
        }
    }
    if (expo >= 31) return static_cast<uint16>(sign | 0x7C00);
    return static_cast<uint16>(sign | (expo << 10) | (mant >> 13));
}

void DNG_FloatToFP24(uint32 input, uint8* output) {
    const uint32 sign = (input >> 24) & 0x80;
    const int32 field = static_cast<int32>((input >> 23) & 0xFF);
    uint32 mant = input & 0x007FFFFF;
    uint32 code;

    if (field == 0xFF) {
        // Infinity and NaN keep their sign under the top code; a NaN keeps a
        // non-zero stored mantissa so that it does not turn into infinity.
        code = 127;
        if (mant != 0x007FFFFF && (mant & 0x007FFF80) == 0x007FFF80) mant &= ~0x00400000u;
        if (mant != 0 && (mant >> 7) == 0) mant |= 0x80;
    } else {
        const int32 e = field - 128;
        if (e > 63) {
            // Beyond the range: infinity, not the all-ones NaN pattern.
            code = 127;
            mant = 0;
        } else if (e < -63) {
            code = 0;
            mant = e >= -79 ? (mant | 0x00800000) >> (65 - field) : 0;
        } else {
            code = static_cast<uint32>(e + 64);
        }
    }
    output[0] = static_cast<uint8>(sign | code);
    output[1] = static_cast<uint8>(mant >> 15);
    output[2] = static_cast<uint8>(mant >> 7);
}

// ---- buffers, predictors, compression ----------------------------------------

uint32 dng_image_writer::CompressedBufferBytes(const dng_ifd& ifd, uint32 uncompressedSize) {
    switch (ifd.fCompression) {
        case ccDeflate:
            return SafeUint32Add(SafeUint32Add(uncompressedSize, uncompressedSize / 256), 64);
        case ccJPEG:
            return ifd.fBitsPerSample[0] <= 8 ? SafeUint32Mult(uncompressedSize, 2) : 0;
        case ccLZW:
            return LzwEncoder::MaxOutputBytes(uncompressedSize);
        default:
            return 0;
    }
}

void dng_image_writer::ApplyPredictor(dng_host& host, const dng_ifd& ifd, dng_pixel_buffer& buffer,
                                      std::unique_ptr<dng_memory_block>& tempBuffer) {
    switch (ifd.fPredictor) {
        case cpNullPredictor:
            return;
        case cpHorizontalDifference:
        case cpHorizontalDifferenceX2:
        case cpHorizontalDifferenceX4: {
            const uint32 factor = PredictorFactor(ifd.fPredictor);
            switch (buffer.fPixelType) {
                case ttByte:
                    DifferenceRows<uint8>(buffer, factor);
                    return;
                case ttShort:
                    DifferenceRows<uint16>(buffer, factor);
                    return;
                case ttLong:
                    DifferenceRows<uint32>(buffer, factor);
                    return;
                default:
                    ThrowProgramError("Unsupported pixel type for predictor");
            }
        }
        case cpFloatingPoint:
        case cpFloatingPointX2:
        case cpFloatingPointX4:
            FloatPredictRows(host, buffer, PredictorFactor(ifd.fPredictor), tempBuffer);
            return;
        default:
            ThrowProgramError("Unknown predictor");
    }
}

void dng_image_writer::SwapBufferBytes(dng_host&, const dng_ifd&, dng_pixel_buffer& buffer) {
    const uint32 count = SafeUint32Mult(buffer.fArea.H(), static_cast<uint32>(buffer.fRowStep));
    if (buffer.fPixelSize == 4) {
        gDNGBottleneck.SwapBytes32(static_cast<uint32*>(buffer.fData), count);
    } else if (buffer.fPixelSize == 2) {
        gDNGBottleneck.SwapBytes16(static_cast<uint16*>(buffer.fData), count);
    }
}

void dng_image_writer::WriteBufferData(dng_host& host, const dng_ifd& ifd, dng_stream& stream,
                                       dng_pixel_buffer& buffer, dng_memory_block* compressedBuffer,
                                       bool /*usingMultipleThreads*/) {
    const uint32 rows = buffer.fArea.H();
    switch (ifd.fCompression) {
        case ccUncompressed: {
            const uint32 samples = SafeUint32Mult(rows, static_cast<uint32>(buffer.fRowStep));
            if (ifd.fBitsPerSample[0] == 8 && buffer.fPixelType == ttShort) {
                const uint16* src = static_cast<const uint16*>(buffer.fData);
                for (uint32 i = 0; i < samples; i++) stream.PutUInt8(static_cast<uint8>(src[i]));
                return;
            }
            if (stream.SwapBytes()) SwapBufferBytes(host, ifd, buffer);
            stream.WriteBytes(buffer.fData, SafeUint32Mult(samples, buffer.fPixelSize));
            return;
        }
        case ccLZW:
        case ccDeflate: {
            if (stream.SwapBytes() && ifd.fPredictor != cpFloatingPoint &&
                ifd.fPredictor != cpFloatingPointX2 && ifd.fPredictor != cpFloatingPointX4) {
                SwapBufferBytes(host, ifd, buffer);
            }
            const uint32 srcBytes =
                SafeUint32Mult3(rows, static_cast<uint32>(buffer.fRowStep), buffer.fPixelSize);
            if (!compressedBuffer) ThrowProgramError("No compressed buffer");
            const uint32 capacity = compressedBuffer->LogicalSize();
            uint32 dstBytes = 0;
            if (ifd.fCompression == ccDeflate) {
                uLongf length = capacity;
                const int level = (ifd.fCompressionQuality >= 1 && ifd.fCompressionQuality <= 9)
                                      ? static_cast<int>(ifd.fCompressionQuality)
                                      : Z_DEFAULT_COMPRESSION;
                const int result =
                    compress2(compressedBuffer->Buffer_uint8(), &length,
                              static_cast<const Bytef*>(buffer.fData), srcBytes, level);
                if (result != Z_OK) ThrowMemoryFull("zlib compression failed");
                dstBytes = static_cast<uint32>(length);
            } else {
                if (capacity < LzwEncoder::MaxOutputBytes(srcBytes)) {
                    ThrowOverflow("Compression output buffer overflow");
                }
                LzwEncoder encoder;
                encoder.Encode(static_cast<const uint8*>(buffer.fData),
                               compressedBuffer->Buffer_uint8(), srcBytes, dstBytes);
            }
            if (dstBytes > capacity) ThrowOverflow("Compression output buffer overflow");
            stream.WriteBytes(compressedBuffer->Buffer(), dstBytes);
            return;
        }
        case ccJPEG: {
            dng_pixel_buffer temp(buffer);
            if (buffer.fPixelType == ttByte) {
                // The encoder takes 16-bit samples.
                const uint32 samples = SafeUint32Mult(rows, static_cast<uint32>(buffer.fRowStep));
                if (!compressedBuffer || compressedBuffer->LogicalSize() < samples * 2u) {
                    ThrowProgramError("Compressed buffer too small");
                }
                const uint8* src = static_cast<const uint8*>(buffer.fData);
                uint16* dst = compressedBuffer->Buffer_uint16();
                for (uint32 i = 0; i < samples; i++) dst[i] = src[i];
                temp.fPixelType = ttShort;
                temp.fPixelSize = 2;
                temp.fData = dst;
            }
            dng_ljpeg_encode(static_cast<const uint16*>(temp.fData), temp.fArea.H(), temp.fArea.W(),
                             temp.fPlanes, ifd.fBitsPerSample[0], temp.fRowStep, temp.fColStep,
                             stream);
            return;
        }
        default:
            ThrowProgramError("Unsupported compression");
    }
}

void dng_image_writer::GroupSubTileBlocks(const dng_ifd& ifd, dng_pixel_buffer& buffer,
                                          dng_memory_block* uncompressedBuffer,
                                          dng_memory_block* subTileBlockBuffer) {
    const uint32 blockRows = ifd.fSubTileBlockRows;
    const uint32 blockCols = ifd.fSubTileBlockCols;
    const uint32 height = buffer.fArea.H();
    const uint32 width = buffer.fArea.W();
    if (blockRows == 0 || blockCols == 0 || height % blockRows != 0 || width % blockCols != 0) {
        ThrowProgramError("Tile is not a whole number of sub-tile blocks");
    }
    if (!uncompressedBuffer || !subTileBlockBuffer ||
        subTileBlockBuffer->LogicalSize() < uncompressedBuffer->LogicalSize()) {
        ThrowProgramError("Missing sub-tile buffer");
    }
    const uint32 rowBytes = SafeUint32Mult3(width, buffer.fPlanes, buffer.fPixelSize);
    const uint32 blockRowBytes = SafeUint32Mult3(blockCols, buffer.fPlanes, buffer.fPixelSize);
    const uint8* src = uncompressedBuffer->Buffer_uint8();
    uint8* dst = subTileBlockBuffer->Buffer_uint8();
    for (uint32 by = 0; by < height / blockRows; by++) {
        for (uint32 bx = 0; bx < width / blockCols; bx++) {
            for (uint32 r = 0; r < blockRows; r++) {
                const uint8* s =
                    src + size_t(by * blockRows + r) * rowBytes + size_t(bx) * blockRowBytes;
                std::memcpy(dst, s, blockRowBytes);
                dst += blockRowBytes;
            }
        }
    }
    std::memcpy(uncompressedBuffer->Buffer(), subTileBlockBuffer->Buffer(),
                uncompressedBuffer->LogicalSize());
}

void dng_image_writer::EncodeAndWriteTile(dng_host& host, const dng_ifd& ifd, dng_stream& stream,
                                          const dng_image& image, const dng_rect& tileArea,
                                          uint32 fakeChannels, dng_memory_block* compressedBuffer,
                                          dng_memory_block* uncompressedBuffer,
                                          dng_memory_block* subTileBlockBuffer,
                                          std::unique_ptr<dng_memory_block>& tempBuffer,
                                          bool usingMultipleThreads) {
    if (!uncompressedBuffer) ThrowProgramError("No uncompressed buffer");
    dng_pixel_buffer buffer(tileArea, 0, ifd.fSamplesPerPixel, image.PixelType(), pcInterleaved,
                            uncompressedBuffer->Buffer());
    const uint32 needed =
        SafeUint32Mult3(tileArea.H(), static_cast<uint32>(buffer.fRowStep), buffer.fPixelSize);
    if (needed > uncompressedBuffer->LogicalSize()) ThrowProgramError("Tile buffer too small");
    image.Get(buffer, dng_image::edge_zero);

    if (ifd.fSubTileBlockRows > 1) {
        GroupSubTileBlocks(ifd, buffer, uncompressedBuffer, subTileBlockBuffer);
    }

    if (ifd.fSampleFormat[0] == sfFloatingPoint) {
        if (ifd.fBitsPerSample[0] == 16) {
            ConvertToHalf(buffer);
        } else if (ifd.fBitsPerSample[0] == 24) {
            const bool msbFirst = stream.IsBigEndian() || ifd.fPredictor == cpFloatingPoint ||
                                  ifd.fPredictor == cpFloatingPointX2 ||
                                  ifd.fPredictor == cpFloatingPointX4;
            ConvertToFP24(buffer, msbFirst);
        }
    }

    ApplyPredictor(host, ifd, buffer, tempBuffer);

    if (fakeChannels > 1) {
        buffer.fPlanes *= fakeChannels;
        buffer.fColStep *= static_cast<int32>(fakeChannels);
        buffer.fArea.r = buffer.fArea.l + static_cast<int32>(buffer.fArea.W() / fakeChannels);
    }

    WriteBufferData(host, ifd, stream, buffer, compressedBuffer, usingMultipleThreads);
}

// ---- tiles, one thread or many -----------------------------------------------

namespace {

class dng_write_tiles_task : public dng_area_task {
public:
    dng_write_tiles_task(dng_image_writer& writer, dng_host& host, const dng_ifd& ifd,
                         dng_basic_tag_set& basic, dng_stream& stream, const dng_image& image,
                         uint32 fakeChannels, uint32 tilesDown, uint32 tilesAcross,
                         uint32 compressedSize, uint32 uncompressedSize)
        : dng_area_task("dng_write_tiles_task"),
          fWriter(writer),
          fHost(host),
          fIFD(ifd),
          fBasic(basic),
          fStream(stream),
          fImage(image),
          fFakeChannels(fakeChannels),
          fTilesDown(tilesDown),
          fTilesAcross(tilesAcross),
          fCompressedSize(compressedSize),
          fUncompressedSize(uncompressedSize) {
        fMinTaskArea = 16 * 16;
        fUnitCell = dng_point(16, 16);
        fMaxTileSize = dng_point(16, 16);
    }

    void Process(uint32, const dng_rect&, dng_abort_sniffer* sniffer) override {
        try {
            ProcessTiles(sniffer);
        } catch (...) {
            {
                std::lock_guard<std::mutex> lock(fMutex);
                fAbort = true;
            }
            fCondition.notify_all();
            throw;
        }
    }

private:
    // Workers encode tiles ahead of the file and never wait for their turn
    // to write: whoever finds the next tile in line appends every finished
    // one in order, while the others go on encoding. A window of tiles ahead
    // of the file bounds the memory the encoded tiles hold.
    void ProcessTiles(dng_abort_sniffer* sniffer) {
        auto compressed = AllocateIf(fHost, fCompressedSize);
        auto uncompressed = AllocateIf(fHost, fUncompressedSize);
        std::unique_ptr<dng_memory_block> subTile;
        if (fIFD.fSubTileBlockRows > 1 && fUncompressedSize) {
            subTile = fHost.Allocate(fUncompressedSize);
        }
        std::unique_ptr<dng_memory_block> temp;
        const uint32 tileCount = fTilesDown * fTilesAcross;

        while (true) {
            const uint32 t = fNextTileToEncode.fetch_add(1);
            if (t >= tileCount) return;
            {
                std::unique_lock<std::mutex> lock(fMutex);
                fCondition.wait(lock, [&] { return fAbort || t < fNextTileToAppend + fWindow; });
                if (fAbort) return;
            }

            auto tileStream =
                std::make_unique<dng_memory_stream>(fHost.Allocator(), sniffer, 65536);
            tileStream->SetBigEndian(fStream.IsBigEndian());
            dng_abort_sniffer::SniffForAbort(sniffer);
            const dng_rect area = fIFD.TileArea(t / fTilesAcross, t % fTilesAcross);
            dng_host tileHost(&fHost.Allocator(), sniffer);
            fWriter.EncodeAndWriteTile(tileHost, fIFD, *tileStream, fImage, area, fFakeChannels,
                                       compressed.get(), uncompressed.get(), subTile.get(), temp,
                                       true);
            tileStream->Flush();

            std::unique_lock<std::mutex> lock(fMutex);
            if (fAbort) return;
            fEncoded[t] = std::move(tileStream);
            if (fAppending) continue;
            fAppending = true;
            for (auto next = fEncoded.find(fNextTileToAppend); next != fEncoded.end();
                 next = fEncoded.find(fNextTileToAppend)) {
                std::unique_ptr<dng_memory_stream> ready = std::move(next->second);
                fEncoded.erase(next);
                const uint32 index = fNextTileToAppend;
                lock.unlock();
                try {
                    Append(index, *ready, sniffer);
                } catch (...) {
                    lock.lock();
                    fAppending = false;
                    throw;
                }
                ready.reset();
                lock.lock();
                fNextTileToAppend++;
                fCondition.notify_all();
            }
            fAppending = false;
        }
    }

    void Append(uint32 t, dng_memory_stream& tileStream, dng_abort_sniffer* sniffer) {
        dng_abort_sniffer::SniffForAbort(sniffer);
        const uint64 byteCount = tileStream.Length();
        tileStream.SetReadPosition(0);
        const uint64 offset = fStream.Position();
        if (offset > 0xFFFFFFFFull || byteCount > 0xFFFFFFFFull) {
            ThrowOverflow("Tile offset beyond 4 GB");
        }
        fBasic.SetTileOffset(t, static_cast<uint32>(offset));
        tileStream.CopyBytesTo(fStream, byteCount);
        fBasic.SetTileByteCount(t, static_cast<uint32>(byteCount));
        if (byteCount & 1) fStream.PutUInt8(0);
    }

    dng_image_writer& fWriter;
    dng_host& fHost;
    const dng_ifd& fIFD;
    dng_basic_tag_set& fBasic;
    dng_stream& fStream;
    const dng_image& fImage;
    uint32 fFakeChannels;
    uint32 fTilesDown;
    uint32 fTilesAcross;
    uint32 fCompressedSize;
    uint32 fUncompressedSize;
    std::atomic<uint32> fNextTileToEncode{0};
    std::mutex fMutex;
    std::condition_variable fCondition;
    bool fAbort = false;
    bool fAppending = false;
    uint32 fNextTileToAppend = 0;
    const uint32 fWindow = 4 * std::max<uint32>(fHost.AreaTaskThreadCount(), 1);
    std::map<uint32, std::unique_ptr<dng_memory_stream>> fEncoded;
};

}  // namespace

void dng_image_writer::WriteTilesThreaded(dng_host& host, const dng_ifd& ifd,
                                          dng_basic_tag_set& basic, dng_stream& stream,
                                          const dng_image& image, uint32 fakeChannels,
                                          uint32 tilesDown, uint32 tilesAcross,
                                          uint32 compressedSize, uint32 uncompressedSize) {
    const uint32 threads = host.AreaTaskThreadCount();
    dng_write_tiles_task task(*this, host, ifd, basic, stream, image, fakeChannels, tilesDown,
                              tilesAcross, compressedSize, uncompressedSize);
    const uint32 workers = std::min(SafeUint32Mult(tilesAcross, tilesDown), threads);
    host.PerformAreaTask(task, dng_rect(0, 0, 16, static_cast<int32>(16 * workers)));
}

void dng_image_writer::WriteImageData(dng_host& host, const dng_ifd& ifd, dng_basic_tag_set& basic,
                                      dng_stream& stream, const dng_image& image,
                                      uint32 fakeChannels) {
    if (ifd.fRowInterleaveFactor > 1 && ifd.fRowInterleaveFactor < ifd.fImageLength) {
        dng_ifd flat(ifd);
        flat.fRowInterleaveFactor = 1;
        // The view only reads the image.
        dng_row_interleaved_image view(const_cast<dng_image&>(image), ifd.fRowInterleaveFactor);
        WriteImageData(host, flat, basic, stream, view, fakeChannels);
        return;
    }

    const uint32 tilesAcross = ifd.TilesAcross();
    const uint32 tilesDown = ifd.TilesDown();
    const uint32 subRows = std::max<uint32>(ifd.fSubTileBlockRows, 1);
    const uint32 rowBytes =
        SafeUint32Mult3(TiffTagTypeSize(image.PixelType()), ifd.fSamplesPerPixel, ifd.fTileWidth);
    if (rowBytes == 0) ThrowProgramError("Empty tile rows");
    uint32 rowsPerChunk = ifd.fTileLength;
    if (ifd.UncompressedTileSize(ifd.TileArea(0, 0)) != 0) {
        rowsPerChunk =
            std::max(std::min(kUncompressedChunkBytes / rowBytes, ifd.fTileLength), subRows);
        rowsPerChunk -= rowsPerChunk % subRows;
    }
    const uint32 uncompressedSize = SafeUint32Mult(rowBytes, rowsPerChunk);
    const uint32 compressedSize = CompressedBufferBytes(ifd, uncompressedSize);

    if (SafeUint32Mult(tilesAcross, tilesDown) >= 2 && host.AreaTaskThreadCount() >= 2 &&
        rowsPerChunk == ifd.fTileLength && ifd.fCompression != ccUncompressed) {
        WriteTilesThreaded(host, ifd, basic, stream, image, fakeChannels, tilesDown, tilesAcross,
                           compressedSize, uncompressedSize);
        return;
    }

    auto compressed = AllocateIf(host, compressedSize);
    auto uncompressed = AllocateIf(host, uncompressedSize);
    std::unique_ptr<dng_memory_block> subTile;
    if (subRows > 1) subTile = AllocateIf(host, uncompressedSize);
    std::unique_ptr<dng_memory_block> temp;

    uint32 tileIndex = 0;
    for (uint32 row = 0; row < tilesDown; row++) {
        for (uint32 col = 0; col < tilesAcross; col++, tileIndex++) {
            const uint64 start = stream.Position();
            if (start > 0xFFFFFFFFull) ThrowOverflow("Tile offset beyond 4 GB");
            basic.SetTileOffset(tileIndex, static_cast<uint32>(start));
            const dng_rect tileArea = ifd.TileArea(row, col);
            for (int32 top = tileArea.t; top < tileArea.b;
                 top += static_cast<int32>(rowsPerChunk)) {
                host.SniffForAbort();
                dng_rect chunk = tileArea;
                chunk.t = top;
                chunk.b = static_cast<int32>(
                    std::min<int64>(int64(top) + rowsPerChunk, int64(tileArea.b)));
                EncodeAndWriteTile(host, ifd, stream, image, chunk, fakeChannels, compressed.get(),
                                   uncompressed.get(), subTile.get(), temp, false);
            }
            const uint64 count = stream.Position() - start;
            if (count > 0xFFFFFFFFull) ThrowOverflow("Tile beyond 4 GB");
            basic.SetTileByteCount(tileIndex, static_cast<uint32>(count));
            if (count & 1) stream.PutUInt8(0);
        }
    }
}
