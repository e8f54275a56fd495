// Image data reader: TIFF fixtures written by libtiff (compressions,
// predictors, tiles and strips, planar data, floats, both byte orders),
// hand-made fixtures for the layouts libtiff does not write, hostile
// directories, threaded tile reading, and the real DNG files.

#include <gtest/gtest.h>
#include <zlib.h>

#include <cmath>
#include <random>

#include "dng/core/dng_exception.h"
#include "dng/core/dng_memory_stream.h"
#include "dng/core/dng_tag_types.h"
#include "dng/image/CodecTestStreams.h"
#include "dng/image/ReadImageTestSupport.h"
#include "dng/image/dng_image_spooler.h"
#include "dng/image/dng_lossless_jpeg.h"
#include "dng/image/dng_row_interleaved_image.h"
#include "platform/Log.h"
#include "support/TestSupport.h"

namespace {

using dngtest::Sample;
using dngtest::TiffSpec;

// Deflate's number in the TIFF and DNG compression tag, spelt out here so
// that the reader's own constant is checked, not reused.
constexpr uint16_t kDeflateCompression = 8;

std::vector<uint8_t> RandomBytes(size_t count, uint32_t seed, bool smooth) {
    std::vector<uint8_t> v(count);
    std::mt19937 rng(seed);
    for (size_t i = 0; i < count; ++i) v[i] = smooth ? uint8_t((i / 7) * 3 + rng() % 4) : rng();
    return v;
}

// Half float bits to a float, written independently of the reader.
float HalfToFloat(uint16_t h) {
    const int sign = h >> 15 ? -1 : 1;
    const int e = (h >> 10) & 31;
    const int m = h & 1023;
    if (e == 0) return sign * std::ldexp(float(m), -24);
    if (e == 31) return m ? 0.0f : sign * 65504.0f;
    return sign * std::ldexp(float(m + 1024), e - 25);
}

struct Case {
    const char* name;
    TiffSpec spec;
};

// Every libtiff fixture is read back and compared sample by sample with the
// data it was written from.
TEST(ReadImage, LibtiffFixturesReadBitIdentical) {
    auto strips = [](uint16_t bits, uint16_t samples, uint16_t compression, uint16_t predictor) {
        TiffSpec s;
        s.width = 67;
        s.height = 45;
        s.bits = bits;
        s.samples = samples;
        s.compression = compression;
        s.predictor = predictor;
        s.rowsPerStrip = 8;
        return s;
    };
    std::vector<Case> cases;
    cases.push_back({"8-bit RGB uncompressed", strips(8, 3, COMPRESSION_NONE, 1)});
    cases.push_back({"16-bit uncompressed", strips(16, 1, COMPRESSION_NONE, 1)});
    cases.push_back({"32-bit uncompressed", strips(32, 2, COMPRESSION_NONE, 1)});
    cases.push_back({"8-bit LZW", strips(8, 1, COMPRESSION_LZW, 1)});
    cases.push_back({"16-bit LZW predictor 2", strips(16, 3, COMPRESSION_LZW, 2)});
    cases.push_back({"32-bit Deflate predictor 2", strips(32, 1, kDeflateCompression, 2)});
    cases.push_back({"16-bit PackBits", strips(16, 2, COMPRESSION_PACKBITS, 1)});
    cases.push_back({"8-bit PackBits", strips(8, 4, COMPRESSION_PACKBITS, 1)});
    cases.push_back({"16-bit old Deflate", strips(16, 1, COMPRESSION_DEFLATE, 2)});
    {
        Case c{"16-bit LZW tiles predictor 2, big-endian", strips(16, 1, COMPRESSION_LZW, 2)};
        c.spec.tileWidth = 32;
        c.spec.tileLength = 16;
        c.spec.bigEndian = true;
        cases.push_back(c);
    }
    {
        Case c{"8-bit planar Deflate tiles", strips(8, 3, kDeflateCompression, 2)};
        c.spec.tileWidth = 16;
        c.spec.tileLength = 32;
        c.spec.planar = PLANARCONFIG_SEPARATE;
        cases.push_back(c);
    }
    {
        Case c{"16-bit planar PackBits strips", strips(16, 3, COMPRESSION_PACKBITS, 1)};
        c.spec.planar = PLANARCONFIG_SEPARATE;
        cases.push_back(c);
    }
    {
        Case c{"16-bit planar uncompressed, big-endian", strips(16, 2, COMPRESSION_NONE, 1)};
        c.spec.planar = PLANARCONFIG_SEPARATE;
        c.spec.bigEndian = true;
        cases.push_back(c);
    }
    {
        Case c{"8-bit LZW, one row per strip (offsets read from the file)",
               strips(8, 1, COMPRESSION_LZW, 2)};
        c.spec.rowsPerStrip = 1;
        cases.push_back(c);
    }
    {
        Case c{"32-bit float Deflate predictor 3 tiles", strips(32, 1, kDeflateCompression, 3)};
        c.spec.sampleFormat = SAMPLEFORMAT_IEEEFP;
        c.spec.tileWidth = 16;
        c.spec.tileLength = 16;
        cases.push_back(c);
    }
    {
        // libtiff does not write the floating-point predictor correctly into
        // big-endian files (it cannot read them back either), so these
        // fixtures are little-endian only.
        Case c{"32-bit float LZW predictor 3", strips(32, 3, COMPRESSION_LZW, 3)};
        c.spec.sampleFormat = SAMPLEFORMAT_IEEEFP;
        cases.push_back(c);
    }
    {
        Case c{"32-bit float Deflate predictor 3, 3 samples",
               strips(32, 3, kDeflateCompression, 3)};
        c.spec.sampleFormat = SAMPLEFORMAT_IEEEFP;
        cases.push_back(c);
    }
    {
        Case c{"32-bit float uncompressed, big-endian", strips(32, 1, COMPRESSION_NONE, 1)};
        c.spec.sampleFormat = SAMPLEFORMAT_IEEEFP;
        c.spec.bigEndian = true;
        cases.push_back(c);
    }

    testsupport::ScratchDir dir;
    uint32_t seed = 11;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const TiffSpec& s = c.spec;
        const uint32_t bytes = s.bits / 8;
        const size_t count = size_t(s.width) * s.height * s.samples;
        std::vector<uint8_t> data = RandomBytes(count * bytes, seed++, s.compression != 1);
        if (s.sampleFormat == SAMPLEFORMAT_IEEEFP) {
            for (size_t i = 0; i < count; ++i) {
                const float f = float(i % 1000) / 999.0f;
                std::memcpy(&data[i * 4], &f, 4);
            }
        }
        const std::string path = (dir.path() / "f.tif").string();
        dngtest::WriteTiff(path, s, data);
        bool bigEndian = false;
        const dng_ifd ifd = dngtest::IfdFromTiff(path, &bigEndian);
        ASSERT_EQ(bigEndian, s.bigEndian);
        dng_read_image reader;
        EXPECT_TRUE(reader.CanRead(ifd));
        const uint32_t pixelType = s.sampleFormat == SAMPLEFORMAT_IEEEFP ? ttFloat
                                                                         : (bytes == 1   ? ttByte
                                                                            : bytes == 2 ? ttShort
                                                                                         : ttLong);
        const auto image = dngtest::ReadFile(path, ifd, bigEndian, pixelType);
        size_t mismatches = 0;
        for (uint32_t r = 0; r < s.height; ++r) {
            for (uint32_t col = 0; col < s.width; ++col) {
                for (uint32_t p = 0; p < s.samples; ++p) {
                    const size_t i = (size_t(r) * s.width + col) * s.samples + p;
                    if (std::memcmp(Sample(*image, r, col, p), &data[i * bytes], bytes) != 0) {
                        ++mismatches;
                    }
                }
            }
        }
        EXPECT_EQ(mismatches, 0u);
    }
}

TEST(ReadImage, HalfFloatsFromLibtiffBecomeFloats) {
    testsupport::ScratchDir dir;
    const uint16_t specials[] = {0x7C00, 0xFC00, 0x7E00, 0x0001, 0x8000, 0x3C00, 0x3555, 0x0400};
    for (uint16_t compression : {uint16_t(COMPRESSION_NONE), kDeflateCompression}) {
        for (bool bigEndian : {false, true}) {
            if (bigEndian && compression != COMPRESSION_NONE) continue;  // see above
            SCOPED_TRACE(testing::Message()
                         << "compression " << compression << " big-endian " << bigEndian);
            TiffSpec s;
            s.width = 40;
            s.height = 9;
            s.bits = 16;
            s.sampleFormat = SAMPLEFORMAT_IEEEFP;
            s.compression = compression;
            s.predictor = compression == COMPRESSION_NONE ? 1 : 3;
            s.bigEndian = bigEndian;
            std::vector<uint8_t> data(size_t(s.width) * s.height * 2);
            for (size_t i = 0; i < data.size() / 2; ++i) {
                const uint16_t h = i < 8 ? specials[i] : uint16_t((i * 97) & 0x7BFF);
                std::memcpy(&data[i * 2], &h, 2);
            }
            const std::string path = (dir.path() / "h.tif").string();
            dngtest::WriteTiff(path, s, data);
            bool be = false;
            const dng_ifd ifd = dngtest::IfdFromTiff(path, &be);
            const auto image = dngtest::ReadFile(path, ifd, be, ttFloat);
            for (uint32_t i = 0; i < s.width * s.height; ++i) {
                uint16_t h;
                std::memcpy(&h, &data[size_t(i) * 2], 2);
                float got;
                std::memcpy(&got, Sample(*image, i / s.width, i % s.width, 0), 4);
                ASSERT_EQ(got, HalfToFloat(h)) << "sample " << i << " half " << h;
            }
            float inf;
            std::memcpy(&inf, Sample(*image, 0, 0, 0), 4);
            EXPECT_EQ(inf, 65504.0f);
        }
    }
}

// A directory for hand-made data in a memory stream: one strip.
dng_ifd StripIFD(uint32_t width, uint32_t height, uint32_t samples, uint32_t bits, uint32_t count) {
    dng_ifd ifd;
    ifd.fImageWidth = width;
    ifd.fImageLength = height;
    ifd.fSamplesPerPixel = samples;
    for (uint32_t i = 0; i < 4; ++i) ifd.fBitsPerSample[i] = bits;
    ifd.SetSingleStrip();
    ifd.fTileOffsetsCount = 1;
    ifd.fTileOffset[0] = 0;
    ifd.fTileByteCountsCount = 1;
    ifd.fTileByteCount[0] = count;
    return ifd;
}

std::unique_ptr<dng_simple_image> ReadBytes(const dng_ifd& ifd, const std::vector<uint8_t>& bytes,
                                            uint32_t pixelType, bool bigEndian = false,
                                            uint32_t threads = 1) {
    dng_host host;
    host.SetAreaTaskThreadCount(threads);
    dngtest::ReadStream rs(bytes, bigEndian);
    auto image = std::make_unique<dng_simple_image>(dng_rect(ifd.fImageLength, ifd.fImageWidth),
                                                    ifd.fSamplesPerPixel, pixelType,
                                                    gDefaultDNGMemoryAllocator);
    dng_read_image reader;
    reader.Read(host, ifd, rs.stream(), *image, nullptr, nullptr);
    return image;
}

int32_t ReadError(const dng_ifd& ifd, const std::vector<uint8_t>& bytes, uint32_t pixelType) {
    try {
        ReadBytes(ifd, bytes, pixelType);
    } catch (const dng_exception& e) {
        return e.ErrorCode();
    }
    return 0;
}

uint16_t U16(const dng_simple_image& image, uint32_t row, uint32_t col, uint32_t plane = 0) {
    uint16_t v;
    std::memcpy(&v, Sample(image, row, col, plane), 2);
    return v;
}

float F32(const dng_simple_image& image, uint32_t row, uint32_t col) {
    float v;
    std::memcpy(&v, Sample(image, row, col, 0), 4);
    return v;
}

TEST(ReadImage, HandMadePackedAndFloatLayouts) {
    // 12-bit: a row of 3 samples takes 5 bytes (the last sample 2 bytes).
    const std::vector<uint8_t> twelve = {0xAB, 0xCD, 0xEF, 0x12, 0x30,
                                         0x00, 0x10, 0x02, 0xFF, 0xF0};
    auto image = ReadBytes(StripIFD(3, 2, 1, 12, 10), twelve, ttShort);
    EXPECT_EQ(U16(*image, 0, 0), 0xABC);
    EXPECT_EQ(U16(*image, 0, 1), 0xDEF);
    EXPECT_EQ(U16(*image, 0, 2), 0x123);
    EXPECT_EQ(U16(*image, 1, 0), 0x001);
    EXPECT_EQ(U16(*image, 1, 1), 0x002);
    EXPECT_EQ(U16(*image, 1, 2), 0xFFF);

    // 10-bit packed, most significant bit first.
    const std::vector<uint8_t> ten = {0xFF, 0xC0, 0x0F, 0xFC, 0x01};
    image = ReadBytes(StripIFD(4, 1, 1, 10, 5), ten, ttShort);
    EXPECT_EQ(U16(*image, 0, 0), 1023);
    EXPECT_EQ(U16(*image, 0, 1), 0);
    EXPECT_EQ(U16(*image, 0, 2), 1023);
    EXPECT_EQ(U16(*image, 0, 3), 1);

    // 24-bit floats: 1.0 (0x3F0000), -2.5 (0xC04000), the largest finite
    // value for infinity, 0 for NaN; sign byte first when big-endian.
    dng_ifd fp24 = StripIFD(4, 1, 1, 24, 12);
    fp24.fSampleFormat[0] = sfFloatingPoint;
    const std::vector<uint8_t> be = {0x3F, 0x00, 0x00, 0xC0, 0x40, 0x00,
                                     0x7F, 0x00, 0x00, 0x7F, 0x00, 0x01};
    std::vector<uint8_t> le(be.size());
    for (size_t i = 0; i < be.size(); i += 3) {
        le[i] = be[i + 2];
        le[i + 1] = be[i + 1];
        le[i + 2] = be[i];
    }
    for (bool bigEndian : {true, false}) {
        image = ReadBytes(fp24, bigEndian ? be : le, ttFloat, bigEndian);
        EXPECT_EQ(F32(*image, 0, 0), 1.0f);
        EXPECT_EQ(F32(*image, 0, 1), -2.5f);
        uint32_t bits;
        std::memcpy(&bits, Sample(*image, 0, 2, 0), 4);
        EXPECT_EQ(bits, 0x5F7FFF80u);
        EXPECT_EQ(F32(*image, 0, 3), 0.0f);
    }

    // Half floats read uncompressed: infinities and NaN.
    dng_ifd half = StripIFD(3, 1, 1, 16, 6);
    half.fSampleFormat[0] = sfFloatingPoint;
    image = ReadBytes(half, {0x00, 0x7C, 0x00, 0xFC, 0x00, 0x7E}, ttFloat);
    EXPECT_EQ(F32(*image, 0, 0), 65504.0f);
    EXPECT_EQ(F32(*image, 0, 1), -65504.0f);
    EXPECT_EQ(F32(*image, 0, 2), 0.0f);

    // Sample bit shift.
    dng_ifd shifted = StripIFD(2, 1, 1, 16, 4);
    shifted.fSampleBitShift = 4;
    image = ReadBytes(shifted, {0x30, 0x12, 0xF0, 0xFF}, ttShort);
    EXPECT_EQ(U16(*image, 0, 0), 0x0123);
    EXPECT_EQ(U16(*image, 0, 1), 0x0FFF);
}

TEST(ReadImage, RowInterleavedFileAndView) {
    // Stored rows 0..4 are image rows 0, 2, 4, 6, 8; rows 5..9 are 1, 3, ..., 9.
    dng_ifd ifd = StripIFD(2, 10, 1, 8, 20);
    ifd.fRowInterleaveFactor = 2;
    std::vector<uint8_t> bytes;
    const int order[] = {0, 2, 4, 6, 8, 1, 3, 5, 7, 9};
    for (int row : order) {
        bytes.push_back(uint8_t(row * 10));
        bytes.push_back(uint8_t(row * 10 + 1));
    }
    auto image = ReadBytes(ifd, bytes, ttByte);
    for (uint32_t row = 0; row < 10; ++row) {
        EXPECT_EQ(*Sample(*image, row, 0, 0), row * 10);
        EXPECT_EQ(*Sample(*image, row, 1, 0), row * 10 + 1);
    }

    dng_simple_image five(dng_rect(5u, 1u), 1, ttByte, gDefaultDNGMemoryAllocator);
    dng_row_interleaved_image view(five, 2);
    EXPECT_EQ(view.MapRow(3), 1);
    EXPECT_EQ(view.MapRow(2), 4);
}

TEST(ReadImage, SubTileBlocksAreReorderedIntoRows) {
    // A 4 x 4 8-bit tile stored as four 2 x 2 blocks, block rows first.
    dng_ifd ifd = StripIFD(4, 4, 1, 8, 16);
    ifd.fSubTileBlockRows = 2;
    ifd.fSubTileBlockCols = 2;
    const std::vector<uint8_t> blocks = {0, 1, 4, 5, 2, 3, 6, 7, 8, 9, 12, 13, 10, 11, 14, 15};
    auto image = ReadBytes(ifd, blocks, ttByte);
    for (uint32_t i = 0; i < 16; ++i) EXPECT_EQ(*Sample(*image, i / 4, i % 4, 0), i);

    // The same blocks as 16-bit samples through the lossless JPEG spooler.
    std::vector<uint16_t> wide(blocks.begin(), blocks.end());
    const auto coded = dngtest::WriteToBytes(
        [&](dng_stream& s) { dng_ljpeg_encode(wide.data(), 4, 4, 1, 16, 4, 1, s); });
    dng_ifd jpeg = StripIFD(4, 4, 1, 16, uint32_t(coded.size()));
    jpeg.fCompression = ccJPEG;
    jpeg.fSubTileBlockRows = 2;
    jpeg.fSubTileBlockCols = 2;
    image = ReadBytes(jpeg, coded, ttShort);
    for (uint32_t i = 0; i < 16; ++i) EXPECT_EQ(U16(*image, i / 4, i % 4), i);
}

TEST(ReadImage, SpoolerStripsFollowTheBlockSize) {
    dng_host host;
    dng_ifd ifd;
    dng_simple_image image(dng_rect(500u, 1000u), 3, ttShort, gDefaultDNGMemoryAllocator);
    auto block = host.Allocate(600000);
    std::unique_ptr<dng_memory_block> scratch;
    dng_image_spooler spooler(host, ifd, image, dng_rect(500u, 1000u), 0, 3, *block, scratch);
    EXPECT_EQ(spooler.StripRows(), 100u);

    // A 450-row area ends with a strip of 50 rows; every row arrives.
    dng_image_spooler short_(host, ifd, image, dng_rect(450u, 1000u), 0, 3, *block, scratch);
    std::vector<uint16_t> row(3000);
    for (uint32_t r = 0; r < 450; ++r) {
        std::fill(row.begin(), row.end(), uint16_t(r));
        short_.Spool(row.data(), 6000);
    }
    EXPECT_EQ(U16(image, 449, 999, 2), 449);
    EXPECT_EQ(U16(image, 400, 0, 0), 400);
    EXPECT_THROW(short_.Spool(row.data(), 2), dng_exception) << "rows beyond the area";
}

TEST(ReadImage, HorizontalPredictorWrapsInTheSampleWidth) {
    // LZW with a single literal run would need an encoder; Deflate from zlib
    // stands in: samples 100, 5, 65535 decode to 100, 105, 104.
    const uint16_t raw[] = {100, 5, 65535};
    uLongf size = compressBound(sizeof(raw));
    std::vector<uint8_t> packed(size);
    compress(packed.data(), &size, reinterpret_cast<const Bytef*>(raw), sizeof(raw));
    packed.resize(size);
    dng_ifd ifd = StripIFD(3, 1, 1, 16, uint32_t(size));
    ifd.fCompression = kDeflateCompression;
    ifd.fPredictor = cpHorizontalDifference;
    auto image = ReadBytes(ifd, packed, ttShort);
    EXPECT_EQ(U16(*image, 0, 0), 100);
    EXPECT_EQ(U16(*image, 0, 1), 105);
    EXPECT_EQ(U16(*image, 0, 2), 104);
}

TEST(ReadImage, HostileDirectoriesFailCleanly) {
    const std::vector<uint8_t> bytes(64, 0x11);

    dng_ifd wide = StripIFD(130001, 1, 1, 8, 64);
    EXPECT_EQ(ReadError(wide, bytes, ttByte), 100006);

    dng_ifd atEnd = StripIFD(8, 1, 1, 8, 8);
    atEnd.fTileOffset[0] = 64;
    EXPECT_EQ(ReadError(atEnd, bytes, ttByte), 100006) << "offset equal to the stream length";

    dng_ifd pastEnd = StripIFD(8, 8, 1, 8, 64);
    pastEnd.fTileOffset[0] = 1;
    EXPECT_EQ(ReadError(pastEnd, bytes, ttByte), 100006) << "data runs past the end";
    try {
        ReadBytes(pastEnd, bytes, ttByte);
    } catch (const dng_exception& e) {
        EXPECT_STREQ(e.Message(), "strip data runs past the end of the file")
            << "a file of strips cut short speaks of strips, not tiles";
    }

    dng_ifd noCounts = StripIFD(8, 1, 1, 8, 8);
    noCounts.fCompression = ccLZW;
    noCounts.fTileByteCountsCount = 0;
    EXPECT_EQ(ReadError(noCounts, bytes, ttByte), 100006) << "compressed without byte counts";

    dng_ifd hugeCount = StripIFD(8, 1, 1, 8, 1u << 30);
    hugeCount.fCompression = kDeflateCompression;
    EXPECT_EQ(ReadError(hugeCount, bytes, ttByte), 100006) << "byte count above the file";

    dng_ifd countMismatch = StripIFD(8, 8, 1, 8, 8);
    countMismatch.fTileLength = 1;  // eight strips, one offset
    EXPECT_EQ(ReadError(countMismatch, bytes, ttByte), 100006);

    dng_ifd manyOffsets = StripIFD(8, 40, 1, 8, 8);
    manyOffsets.fTileLength = 1;
    manyOffsets.fTileOffsetsCount = 40;
    manyOffsets.fTileOffsetsType = ttLong;
    manyOffsets.fTileOffsetsOffset = 10;  // 160 bytes of offsets: not in the file
    EXPECT_EQ(ReadError(manyOffsets, bytes, ttByte), 100006);

    dng_ifd hugeTile = StripIFD(8, 8, 1, 8, 8);
    hugeTile.fUsesStrips = false;
    hugeTile.fUsesTiles = true;
    hugeTile.fTileWidth = 60000;
    hugeTile.fTileLength = 60000;
    EXPECT_EQ(ReadError(hugeTile, bytes, ttByte), 100006) << "tile far larger than the image";

    dng_ifd badLzw = StripIFD(8, 1, 1, 8, 64);
    badLzw.fCompression = ccLZW;
    EXPECT_EQ(ReadError(badLzw, bytes, ttByte), 100006);

    dng_ifd badJpeg = StripIFD(8, 1, 1, 16, 64);
    badJpeg.fCompression = ccJPEG;
    EXPECT_EQ(ReadError(badJpeg, bytes, ttShort), 100006);

    dng_ifd unknown = StripIFD(8, 1, 1, 8, 64);
    unknown.fCompression = 99;
    EXPECT_EQ(ReadError(unknown, bytes, ttByte), 100006);
    dng_read_image reader;
    EXPECT_FALSE(reader.CanRead(unknown));
}

TEST(ReadImage, CanReadFollowsCompressionDepthAndPredictor) {
    struct Case {
        uint32_t compression, bits, format, predictor;
        bool expected;
    };
    const Case cases[] = {
        {ccUncompressed, 12, sfUnsignedInteger, 1, true},
        {ccUncompressed, 24, sfFloatingPoint, 1, true},
        {ccUncompressed, 8, sfFloatingPoint, 1, false},
        {ccUncompressed, 16, sfSignedInteger, 1, false},
        {ccJPEG, 16, sfUnsignedInteger, 1, true},
        {ccJPEG, 17, sfUnsignedInteger, 1, false},
        {ccJPEG, 16, sfFloatingPoint, 1, false},
        {ccLZW, 16, sfUnsignedInteger, cpHorizontalDifferenceX4, true},
        {ccLZW, 12, sfUnsignedInteger, 1, false},
        {ccLZW, 16, sfUnsignedInteger, cpFloatingPoint, false},
        {kDeflateCompression, 24, sfFloatingPoint, cpFloatingPointX2, true},
        {kDeflateCompression, 32, sfFloatingPoint, cpHorizontalDifference, false},
        {ccPackBits, 32, sfFloatingPoint, 1, false},
        {ccPackBits, 8, sfUnsignedInteger, 1, true},
        {ccLossyJPEG, 8, sfUnsignedInteger, 1, false},
    };
    for (const Case& c : cases) {
        dng_ifd ifd = StripIFD(16, 16, 1, c.bits, 100);
        ifd.fCompression = c.compression;
        ifd.fSampleFormat[0] = c.format;
        ifd.fPredictor = c.predictor;
        dng_read_image reader;
        EXPECT_EQ(reader.CanRead(ifd), c.expected)
            << c.compression << " " << c.bits << " " << c.format << " " << c.predictor;
    }
    // Mixed depths across samples cannot be read.
    dng_ifd mixed = StripIFD(16, 16, 2, 16, 100);
    mixed.fBitsPerSample[1] = 8;
    dng_read_image reader;
    EXPECT_FALSE(reader.CanRead(mixed));
}

TEST(ReadImage, ShortBaselineJpegDataIsAnEndOfFileError) {
    // Baseline JPEG under compression 7: 8-bit, one sample, photometric 1.
    dng_ifd ifd = StripIFD(8, 8, 1, 8, 2);
    ifd.fCompression = ccJPEG;
    ifd.fPhotometricInterpretation = 1;
    EXPECT_EQ(ReadError(ifd, std::vector<uint8_t>(16, 0xFF), ttByte), 100011);
    ifd.fTileByteCount[0] = 16;
    ifd.fJPEGTablesCount = 2;
    ifd.fJPEGTablesOffset = 0;
    EXPECT_EQ(ReadError(ifd, std::vector<uint8_t>(16, 0xFF), ttByte), 100011);
    ifd.fJPEGTablesCount = 0;
    EXPECT_EQ(ReadError(ifd, std::vector<uint8_t>(16, 0xFF), ttByte), 100000)
        << "no lossy decoder in this system";
}

// A tiled lossless JPEG image in memory: tiles of 48 x 40, 2 planes.
struct LjpegFile {
    std::vector<uint8_t> bytes;
    dng_ifd ifd;
    std::vector<uint16_t> pixels;
};

LjpegFile MakeLjpegFile(uint32_t width, uint32_t height, uint32_t tileW, uint32_t tileH) {
    LjpegFile f;
    const uint32_t planes = 2;
    f.pixels.resize(size_t(width) * height * planes);
    std::mt19937 rng(5);
    for (size_t i = 0; i < f.pixels.size(); ++i) f.pixels[i] = uint16_t(i * 13 + rng() % 64);
    dng_ifd& ifd = f.ifd;
    ifd.fImageWidth = width;
    ifd.fImageLength = height;
    ifd.fSamplesPerPixel = planes;
    ifd.fBitsPerSample[0] = ifd.fBitsPerSample[1] = 16;
    ifd.fCompression = ccJPEG;
    ifd.fUsesTiles = true;
    ifd.fTileWidth = tileW;
    ifd.fTileLength = tileH;
    const uint32_t across = ifd.TilesAcross(), down = ifd.TilesDown();
    std::vector<uint64_t> offsets;
    std::vector<uint32_t> counts;
    std::vector<uint16_t> tile(size_t(tileW) * tileH * planes);
    for (uint32_t ty = 0; ty < down; ++ty) {
        for (uint32_t tx = 0; tx < across; ++tx) {
            for (uint32_t r = 0; r < tileH; ++r) {
                for (uint32_t c = 0; c < tileW; ++c) {
                    const uint32_t y = std::min(ty * tileH + r, height - 1);
                    const uint32_t x = std::min(tx * tileW + c, width - 1);
                    for (uint32_t p = 0; p < planes; ++p) {
                        tile[(size_t(r) * tileW + c) * planes + p] =
                            f.pixels[(size_t(y) * width + x) * planes + p];
                    }
                }
            }
            const auto coded = dngtest::WriteToBytes([&](dng_stream& s) {
                dng_ljpeg_encode(tile.data(), tileH, tileW, planes, 16, int32_t(tileW * planes),
                                 int32_t(planes), s);
            });
            offsets.push_back(f.bytes.size());
            counts.push_back(uint32_t(coded.size()));
            f.bytes.insert(f.bytes.end(), coded.begin(), coded.end());
            f.bytes.resize(f.bytes.size() + 3, 0xEE);  // padding between tiles
        }
    }
    // Offsets and counts after the data, read from the stream when > 32.
    ifd.fTileOffsetsCount = ifd.fTileByteCountsCount = uint32_t(offsets.size());
    ifd.fTileOffsetsType = ttLong;
    ifd.fTileByteCountsType = ttShort;
    ifd.fTileOffsetsOffset = f.bytes.size();
    for (uint64_t o : offsets) {
        for (int b = 0; b < 4; ++b) f.bytes.push_back(uint8_t(o >> (8 * b)));
    }
    ifd.fTileByteCountsOffset = f.bytes.size();
    for (uint32_t c : counts) {
        f.bytes.push_back(uint8_t(c));
        f.bytes.push_back(uint8_t(c >> 8));
    }
    for (size_t i = 0; i < offsets.size() && i < dng_ifd::kMaxTileInfo; ++i) {
        ifd.fTileOffset[i] = offsets[i];
        ifd.fTileByteCount[i] = counts[i];
    }
    return f;
}

TEST(ReadImage, LosslessJpegTilesAreIdenticalOnOneAndFourThreads) {
    for (auto [w, h] : {std::pair{200u, 130u}, std::pair{97u, 61u}}) {
        const LjpegFile f = MakeLjpegFile(w, h, 48, 40);
        const auto one = ReadBytes(f.ifd, f.bytes, ttShort, false, 1);
        const auto four = ReadBytes(f.ifd, f.bytes, ttShort, false, 4);
        EXPECT_TRUE(one->EqualArea(*four, one->Bounds(), 0, 2));
        size_t mismatches = 0;
        for (uint32_t y = 0; y < h; ++y) {
            for (uint32_t x = 0; x < w; ++x) {
                for (uint32_t p = 0; p < 2; ++p) {
                    mismatches += U16(*four, y, x, p) != f.pixels[(size_t(y) * w + x) * 2 + p];
                }
            }
        }
        EXPECT_EQ(mismatches, 0u);
    }
}

TEST(ReadImage, DamagedLosslessJpegTileFailsOnAnyThreadCount) {
    LjpegFile f = MakeLjpegFile(200, 130, 48, 40);
    f.bytes[f.ifd.fTileOffset[7] + 1] = 0xC2;  // SOI -> not a JPEG stream
    for (uint32_t threads : {1u, 4u}) {
        try {
            ReadBytes(f.ifd, f.bytes, ttShort, false, threads);
            ADD_FAILURE() << "no error on " << threads << " threads";
        } catch (const dng_exception& e) {
            EXPECT_EQ(e.ErrorCode(), 100006);
        }
    }
}

// ---- real DNG files ---------------------------------------------------------------

std::string DngPath(const char* name) {
    return (testsupport::testdataDir() / "raw" / "dng" / name).string();
}

dng_ifd RawIFD(uint32_t width, uint32_t height, uint32_t bits, uint32_t compression) {
    dng_ifd ifd;
    ifd.fImageWidth = width;
    ifd.fImageLength = height;
    ifd.fBitsPerSample[0] = bits;
    ifd.fCompression = compression;
    ifd.fPhotometricInterpretation = 32803;
    return ifd;
}

void MinMax(const dng_simple_image& image, uint16_t* lo, uint16_t* hi) {
    *lo = 0xFFFF;
    *hi = 0;
    for (uint32_t y = 0; y < image.Height(); ++y) {
        for (uint32_t x = 0; x < image.Width(); ++x) {
            const uint16_t v = U16(image, y, x);
            *lo = std::min(*lo, v);
            *hi = std::max(*hi, v);
        }
    }
}

TEST(ReadImage, RealUncompressedDngsDecode) {
    struct Real {
        const char* file;
        dng_ifd ifd;
        uint16_t lo, hi;
    };
    std::vector<Real> files;
    {
        // tiffdump: IFD0 1456x1088, 10 bits, strip at 748, 1980160 bytes.
        dng_ifd ifd = RawIFD(1456, 1088, 10, 1);
        ifd.SetSingleStrip();
        ifd.fTileOffsetsCount = 1;
        ifd.fTileOffset[0] = 748;
        files.push_back({"rpi-imx296_10bit-packed_strip.dng", ifd, 62, 402});
    }
    {
        // tiffdump -o 19000: SubIFD 1456x1088, 16 bits, strip at 19218, 3168256 bytes.
        dng_ifd ifd = RawIFD(1456, 1088, 16, 1);
        ifd.SetSingleStrip();
        ifd.fTileOffsetsCount = 1;
        ifd.fTileOffset[0] = 19218;
        files.push_back({"rpi-imx296_16bit_thumb-ifd0_raw-subifd.dng", ifd, 60, 176});
    }
    {
        // tiffdump: IFD0 1920x1200, 10 bits, one tile at 760, 2880000 bytes.
        dng_ifd ifd = RawIFD(1920, 1200, 10, 1);
        ifd.fUsesTiles = true;
        ifd.fTileWidth = 1920;
        ifd.fTileLength = 1200;
        ifd.fTileOffsetsCount = 1;
        ifd.fTileOffset[0] = 760;
        files.push_back({"rpi-1920x1200_10bit-packed_single-tile.dng", ifd, 28, 1023});
    }
    {
        // tiffdump: IFD0 640x480, 10 bits, one tile at 252, 384000 bytes.
        dng_ifd ifd = RawIFD(640, 480, 10, 1);
        ifd.fUsesTiles = true;
        ifd.fTileWidth = 640;
        ifd.fTileLength = 480;
        ifd.fTileOffsetsCount = 1;
        ifd.fTileOffset[0] = 252;
        files.push_back({"rpi-640x480_10bit_minimal_malformed.dng", ifd, 70, 1023});
    }
    for (const Real& r : files) {
        SCOPED_TRACE(r.file);
        dng_read_image reader;
        EXPECT_TRUE(reader.CanRead(r.ifd));
        const auto image = dngtest::ReadFile(DngPath(r.file), r.ifd, false, ttShort);
        uint16_t lo, hi;
        MinMax(*image, &lo, &hi);
        EXPECT_EQ(lo, r.lo);
        EXPECT_EQ(hi, r.hi);
    }
}

TEST(ReadImage, RealCompressedDngsWithoutDecoderFailNamingTheCompression) {
    {
        // tiffdump -o 11604: SubIFD 600x337, 3 x 8 bits, compression 34892,
        // tiles 304x352 at 27750 and 79644, 51893 and 49668 bytes.
        dng_ifd ifd = RawIFD(600, 337, 8, ccLossyJPEG);
        ifd.fSamplesPerPixel = 3;
        ifd.fBitsPerSample[1] = ifd.fBitsPerSample[2] = 8;
        ifd.fPhotometricInterpretation = 34892;
        ifd.fUsesTiles = true;
        ifd.fTileWidth = 304;
        ifd.fTileLength = 352;
        ifd.fTileOffsetsCount = ifd.fTileByteCountsCount = 2;
        ifd.fTileOffset[0] = 27750;
        ifd.fTileOffset[1] = 79644;
        ifd.fTileByteCount[0] = 51893;
        ifd.fTileByteCount[1] = 49668;
        platform::LogCapture log;
        try {
            dngtest::ReadFile(DngPath("lg-h815_linearraw-8bit-lossyjpeg_2tiles_opcodelist2.dng"),
                              ifd, false, ttByte);
            ADD_FAILURE() << "lossy JPEG tiles read without a decoder";
        } catch (const dng_exception& e) {
            EXPECT_EQ(e.ErrorCode(), 100000);
        }
        EXPECT_TRUE(log.contains("lossy JPEG"));
        EXPECT_TRUE(log.contains("34892"));
    }
    for (uint32_t threads : {1u, 4u}) {
        // tiffdump: IFD0 4128x2176, 12 bits, compression 7, tiles 1032x2176 at
        // 10240 859264 1699776 2522688, 849001 840481 822891 836870 bytes.
        dng_ifd ifd = RawIFD(4128, 2176, 12, ccJPEG);
        ifd.fUsesTiles = true;
        ifd.fTileWidth = 1032;
        ifd.fTileLength = 2176;
        ifd.fTileOffsetsCount = ifd.fTileByteCountsCount = 4;
        const uint64_t offsets[] = {10240, 859264, 1699776, 2522688};
        const uint32_t counts[] = {849001, 840481, 822891, 836870};
        for (int i = 0; i < 4; ++i) {
            ifd.fTileOffset[i] = offsets[i];
            ifd.fTileByteCount[i] = counts[i];
        }
        platform::LogCapture log;
        try {
            dngtest::ReadFile(DngPath("bmpcc4k_cfa-12bit-dctjpeg_4tiles_linearization.dng"), ifd,
                              false, ttShort, threads);
            ADD_FAILURE() << "DCT-coded tiles read as lossless JPEG";
        } catch (const dng_exception& e) {
            EXPECT_EQ(e.ErrorCode(), 100006);
        }
        EXPECT_TRUE(log.contains("compression 7"));
        EXPECT_TRUE(log.contains("DCT"));
    }
}

}  // namespace
