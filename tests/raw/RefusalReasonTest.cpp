// Every refusal of a damaged or unsupported lossless-JPEG DNG names what is
// wrong: structural damage is not blamed on the compression, lossy JPEG data
// is named as such, and no refusal ends without a reason.
#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "dng/image/HandMadeDng.h"
#include "raw/TestJpeg.h"
#include "raw/rawWrapper.h"
#include "support/TestSupport.h"

namespace {

// A baseline (DCT) JPEG of a grey 64 x 64 ramp.
std::vector<uint8_t> LossyJpeg() {
    return testjpeg::Encode(64, 64, 1, [](int x, int y, int) { return uint8_t(x * 4 + y); });
}

handdng::Layout LosslessStrip(std::vector<uint8_t> data) {
    handdng::Layout l;
    l.width = l.height = 64;
    l.tileLength = 64;
    l.compression = 7;
    l.blobs = {std::move(data)};
    l.blobOf = {0};
    return l;
}

std::string Refusal(const testsupport::ScratchDir& dir, const std::string& name,
                    const std::vector<uint8_t>& bytes) {
    const std::string path = (dir.path() / name).string();
    handdng::Write(path, bytes);
    const auto wrapper = rawWrapper::initWithFile(path, path, false);
    if (wrapper->masterImageBytes()) return "decoded";
    const auto error = wrapper->error();
    return error ? error->failureReason : "no error";
}

TEST(RefusalReasons, EachLosslessJpegRefusalSaysWhatIsWrong) {
    testsupport::ScratchDir dir;
    // Structural damage: the strip lies beyond the end of the file.
    auto outside = handdng::Build(LosslessStrip({0xFF, 0xD8, 0xFF, 0xD9}));
    {
        handdng::Layout l = LosslessStrip({0xFF, 0xD8, 0xFF, 0xD9});
        l.extra.push_back(handdng::Entry{273, 4, {0x7FFFFFF0u}});
        outside = handdng::Build(l);
    }
    const std::string offset = Refusal(dir, "offset.dng", outside);
    EXPECT_NE(offset.find("strip offset outside the file"), std::string::npos) << offset;
    EXPECT_EQ(offset.find("compression"), std::string::npos) << offset;

    // Lossy JPEG data where lossless is declared.
    const std::string lossy = Refusal(dir, "lossy.dng", handdng::Build(LosslessStrip(LossyJpeg())));
    EXPECT_NE(lossy.find("lossy-compressed (JPEG)"), std::string::npos) << lossy;
    EXPECT_EQ(lossy.find("damaged"), std::string::npos) << lossy;

    // A lossless stream cut short, and bytes that are no JPEG at all.
    const std::string junk =
        Refusal(dir, "junk.dng", handdng::Build(LosslessStrip(std::vector<uint8_t>(4096, 0x5A))));
    EXPECT_NE(junk.find("damaged: not a JPEG stream"), std::string::npos) << junk;
    EXPECT_EQ(junk.find("compression"), std::string::npos) << junk;

    // A file that does not even start like TIFF still says why.
    const std::string notTiff = Refusal(dir, "text.dng", {'h', 'e', 'l', 'l', 'o'});
    EXPECT_NE(notTiff.find(": "), std::string::npos) << notTiff;
    EXPECT_NE(notTiff.back(), ':');
    for (const std::string& text : {offset, lossy, junk, notTiff}) {
        const size_t colon = text.find(": ");
        ASSERT_NE(colon, std::string::npos) << text;
        EXPECT_GT(text.size(), colon + 4) << text;
    }
}

// Far smaller than its compression could pack the size it claims, a file is
// damaged, not a picture too big for this system.
TEST(RefusalReasons, ACompressedFileTooSmallForItsClaimedSizeIsDamaged) {
    testsupport::ScratchDir dir;
    handdng::Layout jpeg = LosslessStrip({0xFF, 0xD8, 0xFF, 0xD9});
    handdng::Layout deflate = LosslessStrip(handdng::DeflatedZeros(64 * 64 * 2));
    deflate.compression = 8;
    for (auto [layout, packs, floor] :
         {std::tuple{&jpeg, "JPEG", "537 MB"}, std::tuple{&deflate, "Deflate", "266 MB"}}) {
        SCOPED_TRACE(packs);
        layout->height = layout->tileLength = 2147483647;
        const std::string text = Refusal(dir, std::string(packs) + ".dng", handdng::Build(*layout));
        EXPECT_NE(text.find("is damaged: it claims 64 x 2147483647 pixels, at least " +
                            std::string(floor) + " of image data even as tightly as " + packs +
                            " packs it, in a file of "),
                  std::string::npos)
            << text;
    }
}

}  // namespace
