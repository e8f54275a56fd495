// Raw-data digests and the raw data unique ID: the tiled digest against a
// hand-made MD5 of cell MD5s, thread independence, 8-bit against 16-bit
// samples, and a unique ID that follows the crop and the opcode lists.
#include <gtest/gtest.h>

#include <vector>

#include "dng/core/dng_exception.h"
#include "dng/core/dng_md5_printer.h"
#include "dng/core/dng_memory_allocator.h"
#include "dng/core/dng_tag_types.h"
#include "dng/core/dng_tag_values.h"
#include "dng/image/dng_image_host.h"
#include "dng/image/dng_misc_opcodes.h"
#include "dng/image/dng_negative.h"
#include "dng/image/dng_pixel_buffer.h"
#include "dng/image/dng_simple_image.h"

namespace {

std::unique_ptr<dng_simple_image> Pattern(uint32 width, uint32 height, uint32 planes,
                                          uint32 pixelType) {
    auto image = std::make_unique<dng_simple_image>(dng_rect(int32(height), int32(width)), planes,
                                                    pixelType, gDefaultDNGMemoryAllocator);
    dng_pixel_buffer b = image->Buffer();
    for (int32 r = 0; r < int32(height); r++)
        for (int32 c = 0; c < int32(width); c++)
            for (uint32 p = 0; p < planes; p++) {
                const uint32 v = uint32(r * 31 + c * 7 + p * 101) % 251;
                if (pixelType == ttByte) {
                    *b.DirtyPixel_uint8(r, c, p) = uint8(v);
                } else {
                    *b.DirtyPixel_uint16(r, c, p) = uint16(v * 13);
                }
            }
    return image;
}

std::unique_ptr<dng_negative> NegativeWith(dng_host& host, std::unique_ptr<dng_image> raw) {
    auto negative = dng_negative::Make(host);
    negative->SetModelName("Digest Camera");
    negative->SetStage1Image(std::move(raw));
    return negative;
}

}  // namespace

TEST(RawDigest, TiledDigestIsTheDigestOfSixCellDigests) {
    dng_image_host host;
    // 300 wide, 520 high: 2 cells across, 3 down, the last ones smaller.
    auto negative = NegativeWith(host, Pattern(300, 520, 2, ttShort));
    negative->FindNewRawImageDigest(host);

    const dng_image& raw = negative->RawImage();
    dng_md5_printer outer;
    for (int32 top = 0; top < 520; top += 256) {
        for (int32 left = 0; left < 300; left += 256) {
            const dng_rect cell(top, left, std::min(top + 256, 520), std::min(left + 256, 300));
            std::vector<uint16> samples(size_t(cell.W()) * cell.H() * 2);
            dng_pixel_buffer buffer(cell, 0, 2, ttShort, pcPlanar, samples.data());
            raw.Get(buffer);
            dng_md5_printer inner;
            inner.Process(samples.data(), uint32(samples.size() * 2));
            outer.Process(inner.Result().data, 16);
        }
    }
    EXPECT_EQ(negative->NewRawImageDigest(), outer.Result());

    dng_image_host threaded;
    threaded.SetAreaTaskThreadCount(4);
    auto again = NegativeWith(threaded, Pattern(300, 520, 2, ttShort));
    again->FindNewRawImageDigest(threaded);
    EXPECT_EQ(again->NewRawImageDigest(), negative->NewRawImageDigest());
}

TEST(RawDigest, EightBitSamplesDigestAsSixteenBit) {
    dng_image_host host;
    auto eight = NegativeWith(host, Pattern(40, 37, 1, ttByte));
    auto wide = std::make_unique<dng_simple_image>(dng_rect(37, 40), 1, ttShort,
                                                   gDefaultDNGMemoryAllocator);
    wide->CopyArea(eight->RawImage(), wide->Bounds(), 0, 1);
    auto sixteen = NegativeWith(host, std::move(wide));
    EXPECT_EQ(eight->FindImageDigest(host, eight->RawImage()),
              sixteen->FindImageDigest(host, sixteen->RawImage()));
    eight->FindRawImageDigest(host);
    sixteen->FindRawImageDigest(host);
    EXPECT_EQ(eight->RawImageDigest(), sixteen->RawImageDigest());
    EXPECT_TRUE(eight->RawImageDigest().IsValid());
}

namespace {

class failing_image : public dng_simple_image {
public:
    using dng_simple_image::dng_simple_image;

protected:
    void DoGet(dng_pixel_buffer& buffer) const override {
        if (buffer.fArea.t >= 32) ThrowDNGError(dng_error_read_file);
        dng_simple_image::DoGet(buffer);
    }
};

}  // namespace

TEST(RawDigest, ClassicDigestComputedInTheBackgroundIsTheSerialOne) {
    dng_image_host host;
    host.SetAreaTaskThreadCount(4);
    auto serial = NegativeWith(host, Pattern(301, 203, 3, ttShort));
    serial->FindRawImageDigest(host);
    ASSERT_TRUE(serial->RawImageDigest().IsValid());

    // The unique ID's tiled digest reads the same image meanwhile.
    auto background = NegativeWith(host, Pattern(301, 203, 3, ttShort));
    background->StartRawImageDigest(host);
    background->FindRawDataUniqueID(host);
    background->FindRawImageDigest(host);
    EXPECT_EQ(background->RawImageDigest(), serial->RawImageDigest());

    // Cleared, or the negative gone, while it runs: it is waited for.
    auto cleared = NegativeWith(host, Pattern(301, 203, 3, ttShort));
    cleared->StartRawImageDigest(host);
    cleared->ClearRawImageDigest();
    EXPECT_FALSE(cleared->RawImageDigest().IsValid());
    auto dropped = NegativeWith(host, Pattern(301, 203, 3, ttShort));
    dropped->StartRawImageDigest(host);
    dropped.reset();

    // A read that fails on the other thread fails the digest where it is asked for.
    auto failing = NegativeWith(host, std::make_unique<failing_image>(dng_rect(64, 64), 1, ttShort,
                                                                      gDefaultDNGMemoryAllocator));
    failing->StartRawImageDigest(host);
    try {
        failing->FindRawImageDigest(host);
        ADD_FAILURE() << "no error";
    } catch (const dng_exception& e) {
        EXPECT_EQ(e.ErrorCode(), dng_error_read_file);
    }
    EXPECT_FALSE(failing->RawImageDigest().IsValid());
}

TEST(RawDigest, UniqueIDFollowsCropAndOpcodes) {
    dng_image_host host;
    auto negative = NegativeWith(host, Pattern(64, 48, 1, ttShort));
    negative->SetDefaultCropSize(dng_urational(64, 1), dng_urational(48, 1));
    negative->FindRawDataUniqueID(host);
    const dng_fingerprint first = negative->RawDataUniqueID();
    ASSERT_TRUE(first.IsValid());
    negative->FindRawDataUniqueID(host);
    EXPECT_EQ(negative->RawDataUniqueID(), first);

    negative->SetDefaultCropSize(dng_urational(60, 1), dng_urational(48, 1));
    negative->RecomputeRawDataUniqueID(host);
    const dng_fingerprint cropped = negative->RawDataUniqueID();
    EXPECT_NE(cropped, first);

    negative->OpcodeList3().Append(std::make_unique<dng_opcode_TrimBounds>(dng_rect(2, 2, 40, 50)));
    negative->RecomputeRawDataUniqueID(host);
    EXPECT_NE(negative->RawDataUniqueID(), cropped);
    EXPECT_NE(negative->RawDataUniqueID(), first);
}
