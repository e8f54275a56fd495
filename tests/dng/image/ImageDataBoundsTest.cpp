// A DNG file cannot make the reader take more memory than its bytes can
// hold: tiles or strips that share bytes, and images that claim more samples
// than their compressed bytes can decode to, are refused before any pixel
// memory is taken, with a message that names the reason. Data at the very
// edge of what a codec can expand to still decodes.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <vector>

#include "dng/core/dng_exception.h"
#include "dng/core/dng_memory_allocator.h"
#include "dng/core/dng_memory_stream.h"
#include "dng/core/dng_stream.h"
#include "dng/core/dng_tag_types.h"
#include "dng/core/dng_tag_values.h"
#include "dng/image/CodecTestStreams.h"
#include "dng/image/HandMadeDng.h"
#include "dng/image/dng_image.h"
#include "dng/image/dng_image_host.h"
#include "dng/image/dng_info.h"
#include "dng/image/dng_lossless_jpeg.h"
#include "dng/image/dng_negative.h"
#include "dng/image/dng_negative_reader.h"
#include "dng/image/dng_pixel_buffer.h"

namespace {

// Far below any image the hostile files claim, far above any buffer a
// refusal needs.
constexpr uint32_t kSmallBlock = 1 << 20;

// Refuses blocks above kSmallBlock as out of memory (so a reader that would
// allocate the claimed image fails with 100005, not with the expected
// refusal) and remembers the largest request.
class SmallAllocator : public dng_memory_allocator {
public:
    std::unique_ptr<dng_memory_block> Allocate(uint32 size) override {
        Note(size);
        return dng_memory_allocator::Allocate(size);
    }
    void* Malloc(std::size_t size) override {
        Note(size);
        return dng_memory_allocator::Malloc(size);
    }
    uint64_t largest = 0;

private:
    void Note(uint64_t size) {
        largest = std::max(largest, size);
        if (size > kSmallBlock) ThrowMemoryFull("test allocator refuses large blocks");
    }
};

struct Outcome {
    dng_error_code code = dng_error_none;
    std::string message;
    uint64_t largest = 0;
};

// Reads the file's raw image as the decoder does; keeps the stage-1 image.
Outcome ReadStage1(const std::vector<uint8_t>& file, std::unique_ptr<dng_negative>* keep = nullptr,
                   bool limitMemory = true) {
    SmallAllocator small;
    dng_image_host host(limitMemory ? static_cast<dng_memory_allocator*>(&small) : nullptr);
    dng_stream stream(file.data(), uint32(file.size()));
    dng_info info;
    Outcome out;
    try {
        auto negative = ReadDNGNegative(host, stream, info, dng_read_depth::kStage1);
        if (keep) *keep = std::move(negative);
    } catch (const dng_exception& e) {
        out.code = e.ErrorCode();
        out.message = e.Message();
    }
    out.largest = small.largest;
    return out;
}

void ExpectRefused(const Outcome& o, const char* reason) {
    EXPECT_EQ(o.code, dng_error_bad_format);
    EXPECT_EQ(o.message, reason);
    EXPECT_LE(o.largest, kSmallBlock);
}

TEST(ImageDataBounds, TilesThatShareBytesAreRefusedBeforePixelMemory) {
    // 256 x 256 tiles of zeros; every tile offset points at the one tile.
    for (uint32_t side : {8192u, 16384u}) {
        SCOPED_TRACE(side);
        const auto file = handdng::Build(handdng::SharedDeflateTiles(side, 256));
        EXPECT_LT(file.size(), 40u * 1024);
        ExpectRefused(ReadStage1(file), "tile data overlaps");
    }

    // Uncompressed strips that all point at one strip's bytes.
    handdng::Layout strips;
    strips.width = 4096;
    strips.height = 4096;
    strips.tileLength = 16;
    strips.compression = 1;
    strips.blobs = {std::vector<uint8_t>(4096 * 16 * 2, 7)};
    strips.blobOf.assign(256, 0);
    ExpectRefused(ReadStage1(handdng::Build(strips)), "tile data overlaps");

    // Two Deflate tiles where the second starts inside the first.
    handdng::Layout partly;
    partly.width = 512;
    partly.height = 256;
    partly.tileWidth = partly.tileLength = 256;
    partly.blobs = {handdng::DeflatedZeros(256 * 256 * 2)};
    partly.blobOf = {0, 0};
    partly.skip = {0, 1};
    ExpectRefused(ReadStage1(handdng::Build(partly)), "tile data overlaps");
}

TEST(ImageDataBounds, ClaimsBeyondTheCodecsLargestExpansionAreRefused) {
    // 8192 x 8192 16-bit samples (128 MiB) from 1024 tiles of 16 bytes
    // each: more than any of these codecs can make of 16 KiB.
    for (uint16_t compression : {8, 5, 32773, 7}) {
        SCOPED_TRACE(compression);
        handdng::Layout l;
        l.width = l.height = 8192;
        l.tileWidth = l.tileLength = 256;
        l.compression = compression;
        for (uint32_t i = 0; i < 1024; ++i) {
            l.blobs.push_back(std::vector<uint8_t>(16, uint8_t(i)));
            l.blobOf.push_back(i);
        }
        ExpectRefused(ReadStage1(handdng::Build(l)), "image larger than its data allows");
    }

    // Lossless JPEG cannot spend less than a bit on a sample: 1024 x 1024
    // samples need 128 KiB; 16 tiles of 7 KiB hold 112 KiB.
    handdng::Layout ljpeg;
    ljpeg.width = ljpeg.height = 1024;
    ljpeg.tileWidth = ljpeg.tileLength = 256;
    ljpeg.compression = 7;
    for (uint32_t i = 0; i < 16; ++i) {
        ljpeg.blobs.push_back(std::vector<uint8_t>(7 * 1024, uint8_t(i)));
        ljpeg.blobOf.push_back(i);
    }
    ExpectRefused(ReadStage1(handdng::Build(ljpeg)), "image larger than its data allows");

    // A compression without a decoder is refused before pixel memory too.
    handdng::Layout unknown = ljpeg;
    unknown.compression = 99;
    ExpectRefused(ReadStage1(handdng::Build(unknown)), "unsupported compression");
}

// The stage-1 samples of a decoded negative.
std::vector<uint16_t> Samples(const dng_negative& negative) {
    const dng_image& image = *negative.Stage1Image();
    std::vector<uint16_t> v(size_t(image.Width()) * image.Height());
    dng_pixel_buffer buffer(image.Bounds(), 0, 1, ttShort, pcInterleaved, v.data());
    image.Get(buffer);
    return v;
}

TEST(ImageDataBounds, DataAtTheEdgeOfTheExpansionStillDecodes) {
    // Deflate at its best: a 512 KiB tile of zeros in about 520 bytes.
    handdng::Layout deflate;
    deflate.width = deflate.height = 1024;
    deflate.tileWidth = deflate.tileLength = 512;
    const auto zeros = handdng::DeflatedZeros(512 * 512 * 2);
    EXPECT_GT(512.0 * 512 * 2 / zeros.size(), 980.0) << "not near zlib's limit";
    for (uint32_t i = 0; i < 4; ++i) {
        deflate.blobs.push_back(zeros);
        deflate.blobOf.push_back(i);
    }
    std::unique_ptr<dng_negative> negative;
    Outcome o = ReadStage1(handdng::Build(deflate), &negative, false);
    ASSERT_EQ(o.code, dng_error_none) << o.message;
    const auto decoded = Samples(*negative);
    EXPECT_EQ(std::count(decoded.begin(), decoded.end(), uint16_t(0)), 1024 * 1024);

    // Lossless JPEG at its best: a flat tile costs one bit a sample.
    const std::vector<uint16_t> flat(512 * 512, 1234);
    const std::vector<uint8_t> coded = dngtest::WriteToBytes(
        [&](dng_stream& s) { dng_ljpeg_encode(flat.data(), 512, 512, 1, 16, 512, 1, s); });
    EXPECT_GT(512.0 * 512 * 2 / coded.size(), 15.9) << "not near one bit a sample";
    handdng::Layout ljpeg = deflate;
    ljpeg.compression = 7;
    ljpeg.blobs.assign(4, coded);
    o = ReadStage1(handdng::Build(ljpeg), &negative, false);
    ASSERT_EQ(o.code, dng_error_none) << o.message;
    const auto ljpegDecoded = Samples(*negative);
    EXPECT_EQ(std::count(ljpegDecoded.begin(), ljpegDecoded.end(), uint16_t(1234)), 1024 * 1024);
}

}  // namespace
