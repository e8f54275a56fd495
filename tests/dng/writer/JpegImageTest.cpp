// Lossy-JPEG raw data: tiles made by libjpeg-turbo are copied into the DNG
// with their tables and digested; without a lossy encoder, Encode fails.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

#include "dng/color/dng_shared.h"
#include "dng/core/dng_md5_printer.h"
#include "dng/image/dng_jpeg_image.h"
#include "dng/image/dng_parsed_ifd.h"
#include "dng/writer/ImageWriterTestSupport.h"
#include "platform/JpegWriter.h"
#include "support/DngErrorCode.h"
#include "support/TestSupport.h"

using namespace writertest;

namespace {

std::unique_ptr<dng_memory_block> Block(const Bytes& bytes) {
    auto block = gDefaultDNGMemoryAllocator.Allocate(uint32(bytes.size()));
    std::copy(bytes.begin(), bytes.end(), block->Buffer_uint8());
    return block;
}

Bytes JpegTile(const testsupport::ScratchDir& scratch, uint32 seed) {
    std::vector<uint8> rgb(64 * 64 * 3);
    for (size_t i = 0; i < rgb.size(); i++) rgb[i] = uint8(i * seed);
    const std::string path = (scratch.path() / "tile.jpg").string();
    EXPECT_TRUE(platform::writeJPEG(rgb.data(), 64, 64, 90 - seed, {}, {}, path));
    std::ifstream file(path, std::ios::binary);
    return Bytes((std::istreambuf_iterator<char>(file)), {});
}

dng_fingerprint Md5(const Bytes& bytes) {
    dng_md5_printer printer;
    printer.Process(bytes.data(), uint32(bytes.size()));
    return printer.Result();
}

}  // namespace

TEST(JpegImage, DigestCoversTilesThenTables) {
    dng_host host;
    dng_jpeg_image image;
    image.fImageSize = dng_point(64, 128);
    image.fTileSize = dng_point(64, 64);
    image.fJPEGData.push_back(Block({1, 2, 3}));
    image.fJPEGData.push_back(Block({4, 5}));
    Bytes digests;
    for (const Bytes& part : {Bytes{1, 2, 3}, Bytes{4, 5}}) {
        const dng_fingerprint d = Md5(part);
        digests.insert(digests.end(), d.data, d.data + 16);
    }
    EXPECT_EQ(image.FindDigest(host), Md5(digests));
    image.fJPEGTables = Block({9});
    const dng_fingerprint tables = Md5({9});
    digests.insert(digests.end(), tables.data, tables.data + 16);
    EXPECT_EQ(image.FindDigest(host), Md5(digests));

    dng_jpeg_image empty;
    dng_md5_printer nothing;
    EXPECT_EQ(empty.TileCount(), 0u);
    EXPECT_EQ(empty.FindDigest(host), nothing.Result());
}

TEST(JpegImage, EncodingNeedsALossyEncoderThisSystemLacks) {
    dng_image_host host;
    auto negative = dng_negative::Make(host);
    dng_image_writer writer;
    dng_jpeg_image image;
    auto source = MakePatternImage(40, 30, 3, ttByte);
    EXPECT_EQ(testsupport::CodeOf([&] { image.Encode(host, *negative, writer, *source); }),
              dng_error_unknown);
    EXPECT_EQ(image.fTileSize, dng_point(32, 48));
}

TEST(JpegImage, LossyRawTilesAreCopiedWithTablesAndDigest) {
    testsupport::ScratchDir scratch;
    const Bytes tiles[2] = {JpegTile(scratch, 3), JpegTile(scratch, 5)};
    const Bytes tables = {0xFF, 0xD8, 0xFF, 0xD9, 0x00};

    dng_image_host host;
    auto negative = dng_negative::Make(host);
    negative->SetModelName("Lossy Camera");
    negative->SetColorChannels(3);
    negative->SetWhiteLevel(255);
    negative->SetDefaultCropSize(dng_urational(128, 1), dng_urational(64, 1));
    negative->SetStage1Image(MakePatternImage(128, 64, 3, ttByte));
    auto jpeg = std::make_unique<dng_jpeg_image>();
    jpeg->fImageSize = dng_point(64, 128);
    jpeg->fTileSize = dng_point(64, 64);
    for (const Bytes& t : tiles) jpeg->fJPEGData.push_back(Block(t));
    jpeg->fJPEGTables = Block(tables);
    const dng_fingerprint digest = jpeg->FindDigest(host);
    negative->SetRawJPEGImage(std::move(jpeg));

    const Bytes file = WriteDNG(host, *negative);
    dng_info info;
    dng_stream stream(file.data(), uint32(file.size()));
    info.Parse(host, stream);
    const dng_parsed_ifd& raw = info.MainIFD();
    EXPECT_EQ(raw.fCompression, ccLossyJPEG);
    EXPECT_EQ(raw.fTileWidth, 64u);
    EXPECT_EQ(raw.fJPEGTablesCount, tables.size());
    EXPECT_EQ(info.fShared->fDNGBackwardVersion, 0x01040000u);
    EXPECT_EQ(info.fShared->fNewRawImageDigest, digest);
    for (uint32 t = 0; t < 2; t++) {
        ASSERT_EQ(raw.fTileByteCount[t], tiles[t].size());
        EXPECT_TRUE(std::equal(tiles[t].begin(), tiles[t].end(),
                               file.begin() + ptrdiff_t(raw.fTileOffset[t])));
    }
    EXPECT_EQ(raw.fTileOffset[1], raw.fTileOffset[0] + tiles[0].size() + (tiles[0].size() & 1));

    // Written for an older reader the JPEG tiles are dropped and encoded
    // again losslessly; the JPEG digest is forgotten.
    const Bytes old = WriteDNG(host, *negative, false, false, nullptr, 0x01030000);
    dng_info oldInfo;
    dng_stream oldStream(old.data(), uint32(old.size()));
    oldInfo.Parse(host, oldStream);
    EXPECT_EQ(oldInfo.MainIFD().fCompression, ccJPEG);
    EXPECT_TRUE(negative->RawJPEGImageDigest().IsNull());
}
