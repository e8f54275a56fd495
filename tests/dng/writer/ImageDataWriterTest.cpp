// The image-data path of the writer: LZW codes, the narrow float encoders,
// predictors, buffer sizes, and TIFF files that libtiff reads back with
// identical pixels for each compression, predictor and byte order.
#include <gtest/gtest.h>
#define TIFF_DISABLE_DEPRECATED
#include <tiffio.h>

#include <atomic>
#include <cmath>
#include <cstring>
#include <random>

#include "dng/color/dng_color_space.h"
#include "dng/core/dng_abort_sniffer.h"
#include "dng/core/dng_exception.h"
#include "dng/core/dng_file_stream.h"
#include "dng/core/dng_ifd.h"
#include "dng/image/dng_lzw.h"
#include "dng/writer/ImageWriterTestSupport.h"
#include "dng/writer/LzwEncoder.h"
#include "dng/writer/dng_basic_tag_set.h"
#include "dng/writer/dng_preview.h"
#include "dng/writer/dng_tiff_directory.h"
#include "support/DngErrorCode.h"
#include "support/TestSupport.h"

using namespace writertest;

namespace {

uint32 Bits(float f) {
    uint32 b;
    std::memcpy(&b, &f, 4);
    return b;
}

std::vector<uint8> Lzw(const std::vector<uint8>& input) {
    std::vector<uint8> out(LzwEncoder::MaxOutputBytes(uint32(input.size())));
    uint32 length = 0;
    LzwEncoder encoder;
    encoder.Encode(input.data(), out.data(), uint32(input.size()), length);
    out.resize(length);
    return out;
}

}  // namespace

TEST(LzwEncoder, EmptyInputIsClearThenEndAtNineBits) {
    // 256 = 100000000, 257 = 100000001: 18 bits in 3 bytes.
    EXPECT_EQ(Lzw({}), (std::vector<uint8>{0x80, 0x40, 0x40}));
}

TEST(LzwEncoder, RoundTripsThroughTheReadersDecoderIncludingTableResets) {
    std::mt19937 random(5);
    for (size_t size : {size_t(1), size_t(2), size_t(300), size_t(70000)}) {
        std::vector<uint8> input(size);
        // Few symbols make long strings; random ones fill the table quickly.
        for (auto& b : input) b = uint8(size > 1000 ? random() : random() % 3);
        const auto coded = Lzw(input);
        std::vector<uint8> decoded(size);
        dng_lzw_decoder decoder;
        ASSERT_TRUE(decoder.Decode(coded.data(), uint32(coded.size()), decoded.data(),
                                   uint32(decoded.size())))
            << size;
        EXPECT_EQ(decoded, input) << size;
    }
    // Random bytes overflow the 4093-entry table: the coder must have
    // emitted a clear code after the first one; the second one is found
    // right where the codes are 12 bits wide.
    std::vector<uint8> input(20000);
    for (auto& b : input) b = uint8(random());
    const auto coded = Lzw(input);
    uint32 clears = 0;
    uint32 bit = 0, width = 9, next = 258;
    // Walk the codes, tracking the width as a decoder does.
    while (bit + width <= coded.size() * 8) {
        uint32 code = 0;
        for (uint32 i = 0; i < width; i++, bit++) {
            code = code << 1 | ((coded[bit / 8] >> (7 - bit % 8)) & 1);
        }
        if (code == 257) break;
        if (code == 256) {
            clears++;
            width = 9;
            next = 258;
            continue;
        }
        if (next > 258 || clears) next++;
        if (next + 1 >= (1u << width) && width < 12) width++;
    }
    EXPECT_GE(clears, 2u);
}

TEST(FloatEncoders, HalfFloatVectors) {
    EXPECT_EQ(DNG_FloatToHalf(Bits(1.0f)), 0x3C00);
    EXPECT_EQ(DNG_FloatToHalf(Bits(-2.0f)), 0xC000);
    EXPECT_EQ(DNG_FloatToHalf(Bits(65504.0f)), 0x7BFF);
    EXPECT_EQ(DNG_FloatToHalf(Bits(65520.0f)), 0x7C00);
    EXPECT_EQ(DNG_FloatToHalf(Bits(1.0e9f)), 0x7C00);
    EXPECT_EQ(DNG_FloatToHalf(Bits(std::ldexp(1.0f, -25))), 0x0001);
    EXPECT_EQ(DNG_FloatToHalf(Bits(std::ldexp(1.0f, -26))), 0x0000);
    EXPECT_EQ(DNG_FloatToHalf(Bits(-INFINITY)), 0xFC00);
    // A NaN whose payload sits below the half's mantissa stays NaN.
    const uint16 nan = DNG_FloatToHalf(0x7F800001u);
    EXPECT_EQ(nan & 0x7C00, 0x7C00);
    EXPECT_NE(nan & 0x03FF, 0);
}

TEST(FloatEncoders, TwentyFourBitVectors) {
    uint8 out[3];
    DNG_FloatToFP24(Bits(1.0f), out);  // field 127: code 63, mantissa 0
    EXPECT_EQ(std::vector<uint8>(out, out + 3), (std::vector<uint8>{0x3F, 0, 0}));
    DNG_FloatToFP24(Bits(-1.5f), out);
    EXPECT_EQ(std::vector<uint8>(out, out + 3), (std::vector<uint8>{0xBF, 0x80, 0}));
    // Beyond the range: infinity (code 127, mantissa 0), not a NaN pattern.
    DNG_FloatToFP24(Bits(1.0e30f), out);
    EXPECT_EQ(std::vector<uint8>(out, out + 3), (std::vector<uint8>{0x7F, 0, 0}));
    DNG_FloatToFP24(Bits(-INFINITY), out);
    EXPECT_EQ(std::vector<uint8>(out, out + 3), (std::vector<uint8>{0xFF, 0, 0}));
    // NaN keeps its sign and a non-zero mantissa even with a tiny payload.
    DNG_FloatToFP24(0xFF800001u, out);
    EXPECT_EQ(out[0], 0xFF);
    EXPECT_NE(out[1] | out[2], 0);
    // Below the range: code 0 and a denormal mantissa (2^-64 = 0.25 x 2^-62).
    DNG_FloatToFP24(Bits(std::ldexp(1.0f, -64)), out);
    EXPECT_EQ(std::vector<uint8>(out, out + 3), (std::vector<uint8>{0, 0x40, 0}));
}

TEST(ImageWriterBuffers, CompressedSizesAndPredictorErrors) {
    dng_image_writer writer;
    dng_ifd ifd;
    ifd.fCompression = ccDeflate;
    EXPECT_EQ(writer.CompressedBufferBytes(ifd, 2560), 2560u + 10 + 64);
    ifd.fCompression = ccJPEG;
    ifd.fBitsPerSample[0] = 16;
    EXPECT_EQ(writer.CompressedBufferBytes(ifd, 1000), 0u);
    ifd.fBitsPerSample[0] = 8;
    EXPECT_EQ(writer.CompressedBufferBytes(ifd, 1000), 2000u);
    ifd.fCompression = ccLZW;
    EXPECT_EQ(writer.CompressedBufferBytes(ifd, 1000), 3024u);
    ifd.fCompression = ccUncompressed;
    EXPECT_EQ(writer.CompressedBufferBytes(ifd, 1000), 0u);
    ifd.fCompression = ccDeflate;
    EXPECT_EQ(testsupport::CodeOf([&] { writer.CompressedBufferBytes(ifd, 0xFFFFFF00u); }),
              dng_error_overflow);

    dng_host host;
    std::unique_ptr<dng_memory_block> temp;
    float samples[4] = {};
    dng_pixel_buffer buffer(dng_rect(1, 4), 0, 1, ttFloat, pcInterleaved, samples);
    ifd.fPredictor = cpHorizontalDifference;
    EXPECT_EQ(testsupport::CodeOf([&] { writer.ApplyPredictor(host, ifd, buffer, temp); }),
              dng_error_unknown);
    ifd.fPredictor = 7;
    EXPECT_EQ(testsupport::CodeOf([&] { writer.ApplyPredictor(host, ifd, buffer, temp); }),
              dng_error_unknown);
    ifd.fPredictor = cpFloatingPoint;
    buffer.fRowStep = -4;
    EXPECT_EQ(testsupport::CodeOf([&] { writer.ApplyPredictor(host, ifd, buffer, temp); }),
              dng_error_unknown);
}

TEST(ImageWriterBuffers, IntegerPredictorDifferencesUnitsOfTheFactor) {
    dng_image_writer writer;
    dng_host host;
    std::unique_ptr<dng_memory_block> temp;
    dng_ifd ifd;
    uint16 samples[8] = {10, 20, 13, 25, 17, 29, 100, 7};
    dng_pixel_buffer buffer(dng_rect(1, 8), 0, 1, ttShort, pcInterleaved, samples);
    ifd.fPredictor = cpHorizontalDifferenceX2;
    writer.ApplyPredictor(host, ifd, buffer, temp);
    EXPECT_EQ(std::vector<uint16>(samples, samples + 8),
              (std::vector<uint16>{10, 20, 3, 5, 4, 4, 83, uint16(7 - 29)}));
}

TEST(ImageWriterBuffers, SubTileGroupingNeedsWholeBlocks) {
    dng_image_writer writer;
    dng_host host;
    dng_ifd ifd;
    ifd.fSubTileBlockRows = 2;
    ifd.fSubTileBlockCols = 2;
    auto uncompressed = host.Allocate(16);
    auto subTile = host.Allocate(16);
    for (uint32 i = 0; i < 16; i++) uncompressed->Buffer_uint8()[i] = uint8(i);
    dng_pixel_buffer buffer(dng_rect(4, 4), 0, 1, ttByte, pcInterleaved, uncompressed->Buffer());
    writer.GroupSubTileBlocks(ifd, buffer, uncompressed.get(), subTile.get());
    const uint8* b = uncompressed->Buffer_uint8();
    EXPECT_EQ(std::vector<uint8>(b, b + 8), (std::vector<uint8>{0, 1, 4, 5, 2, 3, 6, 7}));
    dng_pixel_buffer odd(dng_rect(3, 4), 0, 1, ttByte, pcInterleaved, uncompressed->Buffer());
    EXPECT_EQ(testsupport::CodeOf(
                  [&] { writer.GroupSubTileBlocks(ifd, odd, uncompressed.get(), subTile.get()); }),
              dng_error_unknown);
}

// ---- strips and tiles --------------------------------------------------------

TEST(ImageDataWriter, UncompressedStripIsWrittenInChunksYetRecordedOnce) {
    dng_host host;
    auto image = MakePatternImage(1000, 50, 3, ttShort);
    dng_ifd ifd;
    ifd.fImageWidth = 1000;
    ifd.fImageLength = 50;
    ifd.fSamplesPerPixel = 3;
    for (uint32 i = 0; i < 3; i++) ifd.fBitsPerSample[i] = 16;
    ifd.fPhotometricInterpretation = piRGB;
    ifd.SetSingleStrip();
    dng_tiff_directory dir;
    dng_basic_tag_set basic(dir, ifd);
    dng_memory_stream stream(host.Allocator());
    stream.SetWritePosition(10);
    dng_image_writer writer;
    writer.WriteImageData(host, ifd, basic, stream, *image);
    EXPECT_EQ(basic.TileCount(), 1u);
    EXPECT_EQ(basic.TileOffset(0), 10u);
    EXPECT_EQ(basic.TileByteCount(0), 1000u * 50 * 6);
    const Bytes bytes = StreamBytes(stream);
    EXPECT_EQ(std::vector<uint8>(bytes.begin() + 10, bytes.end()), ImageBytes(*image));
}

namespace {

// Writes the image with 1, 2 and 4 threads: the tiles must follow each other
// (padded to even offsets) and the bytes must not depend on the thread count.
void ExpectTilesInOrderOnAnyThreadCount(const dng_image& image, const dng_ifd& ifd,
                                        uint32 tileCount) {
    Bytes reference;
    for (uint32 threads : {1u, 2u, 4u}) {
        dng_host host;
        host.SetAreaTaskThreadCount(threads);
        dng_tiff_directory dir;
        dng_basic_tag_set basic(dir, ifd);
        dng_memory_stream stream(host.Allocator());
        dng_image_writer writer;
        writer.WriteImageData(host, ifd, basic, stream, image);
        ASSERT_EQ(basic.TileCount(), tileCount);
        for (uint32 t = 0; t + 1 < tileCount; t++) {
            const uint32 padded = basic.TileByteCount(t) + (basic.TileByteCount(t) & 1);
            ASSERT_EQ(basic.TileOffset(t + 1), basic.TileOffset(t) + padded) << threads << " " << t;
        }
        const Bytes bytes = StreamBytes(stream);
        if (reference.empty()) {
            reference = bytes;
        } else {
            EXPECT_EQ(bytes, reference) << threads;
        }
    }
}

// A linear-raw directory of square tiles: `samples` planes of `bits` bits.
dng_ifd TiledLinearRaw(uint32 width, uint32 height, uint32 samples, uint32 bits, uint32 compression,
                       uint32 tile) {
    dng_ifd ifd;
    ifd.fImageWidth = width;
    ifd.fImageLength = height;
    ifd.fSamplesPerPixel = samples;
    for (uint32 i = 0; i < samples; i++) ifd.fBitsPerSample[i] = bits;
    ifd.fPhotometricInterpretation = piLinearRaw;
    ifd.fCompression = compression;
    ifd.fTileWidth = tile;
    ifd.fTileLength = tile;
    ifd.fUsesTiles = true;
    return ifd;
}

}  // namespace

TEST(ImageDataWriter, OddTilesArePaddedAndThreadsGiveIdenticalBytes) {
    auto image = MakePatternImage(200, 130, 1, ttShort, 3, 4095);
    const dng_ifd ifd = TiledLinearRaw(200, 130, 1, 12, ccJPEG, 64);
    ExpectTilesInOrderOnAnyThreadCount(*image, ifd, 12);
}

TEST(ImageDataWriter, TilesFarAheadOfTheFileAreHeldBackAndStayInOrder) {
    // 256 tiles for at most 4 threads: encoders run ahead of the appended
    // tiles by a bounded window, which this many tiles fills.
    auto image = MakePatternImage(512, 512, 3, ttShort, 5, 65535);
    const dng_ifd ifd = TiledLinearRaw(512, 512, 3, 16, ccJPEG, 32);
    ExpectTilesInOrderOnAnyThreadCount(*image, ifd, 256);
}

namespace {

class failing_image : public dng_simple_image {
public:
    using dng_simple_image::dng_simple_image;
    mutable std::atomic<int> fReads{0};

protected:
    void DoGet(dng_pixel_buffer& buffer) const override {
        if (buffer.fArea.t >= 64) ThrowDNGError(dng_error_read_file);
        fReads++;
        dng_simple_image::DoGet(buffer);
    }
};

}  // namespace

TEST(ImageDataWriter, AFailingWorkerStopsTheOthersAndTheErrorPropagates) {
    failing_image image(dng_rect(512, 512), 1, ttShort, gDefaultDNGMemoryAllocator);
    const dng_ifd ifd = TiledLinearRaw(512, 512, 1, 16, ccDeflate, 32);
    dng_host host;
    host.SetAreaTaskThreadCount(4);
    dng_tiff_directory dir;
    dng_basic_tag_set basic(dir, ifd);
    dng_memory_stream stream(host.Allocator());
    dng_image_writer writer;
    EXPECT_EQ(testsupport::CodeOf([&] { writer.WriteImageData(host, ifd, basic, stream, image); }),
              dng_error_read_file);
    // Only the first rows of tiles (32 tiles) can have been read, plus at
    // most one tile in flight per worker.
    EXPECT_LE(image.fReads.load(), 32 + 4);
}

// ---- TIFF files read back by libtiff -----------------------------------------

namespace {

struct TiffCase {
    uint32 pixelType;
    uint32 planes;
    uint32 compression;
    bool bigEndian;
};

std::vector<uint8> ReadWithLibtiff(const std::string& path, uint32& predictor) {
    TIFF* tiff = TIFFOpen(path.c_str(), "r");
    if (!tiff) return {};
    std::vector<uint8> out;
    const tmsize_t stripSize = TIFFStripSize(tiff);
    std::vector<uint8> strip(size_t(stripSize) + 16);
    for (tstrip_t s = 0; s < TIFFNumberOfStrips(tiff); s++) {
        const tmsize_t n = TIFFReadEncodedStrip(tiff, s, strip.data(), stripSize);
        if (n < 0) {
            TIFFClose(tiff);
            return {};
        }
        out.insert(out.end(), strip.begin(), strip.begin() + n);
    }
    uint16 compression = 1, p = 1;
    TIFFGetField(tiff, TIFFTAG_COMPRESSION, &compression);
    if (compression != COMPRESSION_NONE) TIFFGetFieldDefaulted(tiff, TIFFTAG_PREDICTOR, &p);
    predictor = p;
    TIFFClose(tiff);
    return out;
}

}  // namespace

TEST(TiffWriter, LibtiffReadsIdenticalPixelsForEveryCompressionAndByteOrder) {
    testsupport::ScratchDir scratch;
    const TiffCase cases[] = {
        {ttByte, 3, ccUncompressed, false}, {ttByte, 3, ccLZW, false},
        {ttByte, 4, ccDeflate, true},       {ttShort, 3, ccUncompressed, true},
        {ttShort, 3, ccLZW, true},          {ttShort, 3, ccDeflate, false},
        {ttShort, 1, ccDeflate, false},     {ttFloat, 3, ccUncompressed, false},
        {ttFloat, 3, ccDeflate, false},     {ttFloat, 3, ccLZW, true},
    };
    for (const TiffCase& c : cases) {
        SCOPED_TRACE(testing::Message() << c.pixelType << "/" << c.planes << "/" << c.compression
                                        << (c.bigEndian ? " MM" : " II"));
        auto image = MakePatternImage(301, 77, c.planes, c.pixelType, c.compression);
        const std::string path = (scratch.path() / "out.tif").string();
        {
            dng_file_stream stream(path.c_str(), true);
            stream.SetBigEndian(c.bigEndian);
            dng_host host;
            dng_image_writer writer;
            writer.WriteTIFFFile(host, stream, *image, c.planes == 1 ? piBlackIsZero : piRGB,
                                 c.compression, nullptr, nullptr, 0, nullptr, nullptr, nullptr,
                                 kMetadataSubset_All, c.planes == 4);
        }
        uint32 predictor = 0;
        const auto pixels = ReadWithLibtiff(path, predictor);
        EXPECT_EQ(predictor, c.compression == ccUncompressed ? 1u
                             : c.pixelType == ttFloat        ? 3u
                                                             : 2u);
        EXPECT_EQ(pixels, ImageBytes(*image));
        if (ToolAvailable("tiffdump")) {
            EXPECT_NE(RunCommand("tiffdump '" + path + "' 2>&1").find("Magic"), std::string::npos);
        }
    }
}

namespace {

// ExtraSamples of a written TIFF as libtiff sees them.
std::vector<uint16> ExtraSamples(const std::string& path) {
    TIFF* tiff = TIFFOpen(path.c_str(), "r");
    if (!tiff) return {9999};
    uint16 count = 0;
    uint16* values = nullptr;
    std::vector<uint16> result;
    if (TIFFGetField(tiff, TIFFTAG_EXTRASAMPLES, &count, &values)) {
        result.assign(values, values + count);
    }
    TIFFClose(tiff);
    return result;
}

}  // namespace

TEST(TiffWriter, ExtraSamplesFollowThePhotometricInterpretation) {
    testsupport::ScratchDir scratch;
    const std::string path = (scratch.path() / "x.tif").string();
    dng_host host;
    dng_image_writer writer;
    auto write = [&](uint32 planes, bool transparency) {
        auto image = MakePatternImage(8, 4, planes, ttByte);
        dng_file_stream stream(path.c_str(), true);
        writer.WriteTIFFFile(host, stream, *image, piRGB, ccUncompressed, nullptr, nullptr, 0,
                             nullptr, nullptr, nullptr, kMetadataSubset_All, transparency);
    };
    write(4, true);
    EXPECT_EQ(ExtraSamples(path), (std::vector<uint16>{1}));
    write(4, false);
    EXPECT_EQ(ExtraSamples(path), (std::vector<uint16>{0}));
    write(3, true);
    EXPECT_EQ(ExtraSamples(path), (std::vector<uint16>{}));
    // Too few planes for RGB is refused rather than wrapping the count.
    EXPECT_EQ(testsupport::CodeOf([&] { write(2, false); }), dng_error_unknown);
}

namespace {

// Stops the run after a number of checks.
class counting_sniffer : public dng_abort_sniffer {
public:
    explicit counting_sniffer(int limit) : fLimit(limit) {}
    std::atomic<int> fCalls{0};

protected:
    void Sniff() override {
        if (++fCalls > fLimit) ThrowUserCanceled();
    }

private:
    int fLimit;
};

}  // namespace

TEST(ImageDataWriter, AnAbortRequestStopsEveryWorker) {
    auto image = MakePatternImage(512, 512, 1, ttShort, 8);
    dng_ifd ifd = TiledLinearRaw(512, 512, 1, 16, ccDeflate, 32);
    ifd.fCompressionQuality = 12;  // out of range: the library's default level
    for (uint32 threads : {1u, 4u}) {
        counting_sniffer sniffer(40);
        dng_host host(nullptr, &sniffer);
        host.SetAreaTaskThreadCount(threads);
        dng_tiff_directory dir;
        dng_basic_tag_set basic(dir, ifd);
        dng_memory_stream stream(host.Allocator());
        dng_image_writer writer;
        EXPECT_EQ(
            testsupport::CodeOf([&] { writer.WriteImageData(host, ifd, basic, stream, *image); }),
            dng_error_user_canceled)
            << threads;
        // 256 tiles would need far more checks than the run was allowed.
        EXPECT_LT(sniffer.fCalls.load(), 120) << threads;
    }
}

TEST(TiffWriter, ProfileResolutionThumbnailAndExifColorSpace) {
    testsupport::ScratchDir scratch;
    const std::string path = (scratch.path() / "meta.tif").string();
    dng_image_host host;
    auto negative = dng_negative::Make(host);
    negative->Metadata().GetExif()->fMake.Set("Maker");
    auto iptc = host.Allocate(4);
    std::fill(iptc->Buffer_uint8(), iptc->Buffer_uint8() + 4, uint8(1));
    negative->Metadata().SetIPTC(std::move(iptc));
    dng_resolution_info resolution;
    resolution.fXResolution = dng_urational(300, 1);
    resolution.fYResolution = dng_urational(300, 1);
    resolution.fResolutionUnit = 2;
    dng_jpeg_preview thumbnail;
    thumbnail.fPreviewSize = dng_point(8, 8);
    thumbnail.fCompressedData = host.Allocate(11);
    auto image = MakePatternImage(40, 30, 3, ttShort);
    {
        dng_file_stream stream(path.c_str(), true);
        dng_image_writer writer;
        writer.WriteTIFFWithSpaceForNegative(host, stream, *image, piRGB, ccDeflate, negative.get(),
                                             &dng_space_sRGB::Get(), &resolution, &thumbnail,
                                             nullptr);
    }
    uint32 srgbSize = 0;
    const uint8* srgbData = nullptr;
    ASSERT_TRUE(dng_space_sRGB::Get().ICCProfile(srgbSize, srgbData));
    TIFF* tiff = TIFFOpen(path.c_str(), "r");
    ASSERT_NE(tiff, nullptr);
    uint32 iccSize = 0;
    void* icc = nullptr;
    EXPECT_TRUE(TIFFGetField(tiff, TIFFTAG_ICCPROFILE, &iccSize, &icc));
    EXPECT_EQ(iccSize, srgbSize);
    float x = 0;
    EXPECT_TRUE(TIFFGetField(tiff, TIFFTAG_XRESOLUTION, &x));
    EXPECT_EQ(x, 300.0f);
    uint32 resourceSize = 0;
    void* resources = nullptr;
    ASSERT_TRUE(TIFFGetField(tiff, TIFFTAG_PHOTOSHOP, &resourceSize, &resources));
    // Only the thumbnail: the IPTC block is rebuilt from XMP, which has none.
    EXPECT_EQ(resourceSize, 40u + 12u);
    EXPECT_EQ(std::memcmp(resources, "8BIM\x04\x0C", 6), 0);
    uint32 iptcCount = 0;
    void* iptcData = nullptr;
    EXPECT_FALSE(TIFFGetField(tiff, TIFFTAG_RICHTIFFIPTC, &iptcCount, &iptcData));
    TIFFClose(tiff);
    ASSERT_TRUE(ToolAvailable("exiftool"));
    EXPECT_EQ(ExifToolValue(path, "ColorSpace", "-n"), "1");
    EXPECT_EQ(ExifToolValue(path, "Make"), "Maker");
    // The negative's own metadata is not changed by writing.
    EXPECT_EQ(negative->Metadata().IPTCLength(), 4u);
}

TEST(ImageDataWriter, RowInterleavedDirectoriesStoreRowsByPhase) {
    auto image = MakePatternImage(4, 6, 1, ttByte, 9);
    dng_ifd ifd;
    ifd.fImageWidth = 4;
    ifd.fImageLength = 6;
    ifd.fBitsPerSample[0] = 8;
    ifd.fPhotometricInterpretation = piBlackIsZero;
    ifd.fRowInterleaveFactor = 2;
    ifd.SetSingleStrip();
    dng_host host;
    dng_tiff_directory dir;
    dng_basic_tag_set basic(dir, ifd);
    dng_memory_stream stream(host.Allocator());
    dng_image_writer writer;
    writer.WriteImageData(host, ifd, basic, stream, *image);
    const Bytes bytes = StreamBytes(stream);
    const auto rows = ImageBytes(*image);
    Bytes expected;
    for (uint32 r : {0u, 2u, 4u, 1u, 3u, 5u}) {
        expected.insert(expected.end(), rows.begin() + r * 4, rows.begin() + r * 4 + 4);
    }
    EXPECT_EQ(bytes, expected);
}
