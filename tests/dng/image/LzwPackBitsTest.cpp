// PackBits and LZW decoders: hand-made code streams for the corner cases and
// streams written by libtiff as an independent encoder.

#include <gtest/gtest.h>
#define TIFF_DISABLE_DEPRECATED
#include <tiffio.h>

#include <random>
#include <vector>

#include "dng/core/dng_exception.h"
#include "dng/image/CodecTestStreams.h"
#include "dng/image/dng_lzw.h"
#include "dng/image/dng_packbits.h"
#include "support/TestSupport.h"

namespace {

// Packs codes of the given widths most significant bit first.
std::vector<uint8_t> PackCodes(const std::vector<std::pair<uint32_t, int>>& codes) {
    std::vector<uint8_t> out;
    uint64_t acc = 0;
    int bits = 0;
    for (auto [code, width] : codes) {
        acc = (acc << width) | code;
        bits += width;
        while (bits >= 8) {
            bits -= 8;
            out.push_back(uint8_t(acc >> bits));
        }
    }
    if (bits) out.push_back(uint8_t(acc << (8 - bits)));
    return out;
}

bool Lzw(const std::vector<uint8_t>& src, std::vector<uint8_t>& dst) {
    dng_lzw_decoder decoder;
    // An exactly sized heap copy lets the address sanitizer see any read past
    // the input.
    std::unique_ptr<uint8_t[]> exact(new uint8_t[src.size() ? src.size() : 1]);
    std::copy(src.begin(), src.end(), exact.get());
    return decoder.Decode(exact.get(), uint32_t(src.size()), dst.data(), uint32_t(dst.size()));
}

TEST(Lzw, HandMadeCodeStreams) {
    std::vector<uint8_t> one(1);
    EXPECT_TRUE(Lzw(PackCodes({{256, 9}, {'a', 9}, {257, 9}}), one));
    EXPECT_EQ(one[0], 'a');

    std::vector<uint8_t> out(4);
    EXPECT_FALSE(Lzw(PackCodes({{300, 9}, {257, 9}}), out)) << "first code above 257";
    EXPECT_FALSE(Lzw(PackCodes({{256, 9}, {'a', 9}, {'b', 9}, {300, 9}}), out))
        << "code above the next free code";

    // KwKwK: 'a', then 258 (not yet defined: "a" + 'a'), then 259 ("aa" + 'a').
    std::vector<uint8_t> run(6);
    EXPECT_TRUE(Lzw(PackCodes({{256, 9}, {'a', 9}, {258, 9}, {259, 9}, {257, 9}}), run));
    EXPECT_EQ(run, std::vector<uint8_t>(6, 'a'));

    // A string longer than the room left is cut and decoding succeeds.
    std::vector<uint8_t> cut(4);
    EXPECT_TRUE(Lzw(PackCodes({{256, 9}, {'a', 9}, {258, 9}, {259, 9}}), cut));
    EXPECT_EQ(cut, std::vector<uint8_t>(4, 'a'));

    // Running out of input before the output is complete fails; so does an
    // empty input.
    std::vector<uint8_t> more(10);
    EXPECT_FALSE(Lzw(PackCodes({{256, 9}, {'a', 9}, {'b', 9}}), more));
    EXPECT_FALSE(Lzw({}, more));
}

TEST(Lzw, CodeWidthGrowsWhenTheNextFreeCodeReaches511) {
    // 253 literal codes define entries 258..510; the next free code is then
    // 511 and the following codes are 10 bits wide.
    std::vector<std::pair<uint32_t, int>> codes = {{256, 9}};
    std::vector<uint8_t> expected;
    for (int i = 0; i < 254; ++i) {
        codes.push_back({uint32_t(i % 200), 9});
        expected.push_back(uint8_t(i % 200));
    }
    // Code 258 is "0 1": written at 10 bits.
    codes.push_back({258, 10});
    expected.push_back(0);
    expected.push_back(1);
    codes.push_back({257, 10});
    std::vector<uint8_t> out(expected.size());
    ASSERT_TRUE(Lzw(PackCodes(codes), out));
    EXPECT_EQ(out, expected);

    // The same stream with the 258 written at 9 bits is misread.
    codes[codes.size() - 2].second = 9;
    std::vector<uint8_t> wrong(expected.size());
    const bool ok = Lzw(PackCodes(codes), wrong);
    EXPECT_FALSE(ok && wrong == expected);
}

// Compresses data with libtiff (one strip) and returns the raw strip bytes.
std::vector<uint8_t> LibtiffCompress(const std::vector<uint8_t>& data, uint32_t width,
                                     uint16_t compression) {
    testsupport::ScratchDir dir;
    const std::string path = (dir.path() / "c.tif").string();
    const uint32_t rows = uint32_t(data.size() / width);
    TIFF* t = TIFFOpen(path.c_str(), "w");
    TIFFSetField(t, TIFFTAG_IMAGEWIDTH, width);
    TIFFSetField(t, TIFFTAG_IMAGELENGTH, rows);
    TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, 8);
    TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, 1);
    TIFFSetField(t, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISBLACK);
    TIFFSetField(t, TIFFTAG_COMPRESSION, compression);
    TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, rows);
    TIFFWriteEncodedStrip(t, 0, const_cast<uint8_t*>(data.data()), tmsize_t(data.size()));
    TIFFClose(t);
    t = TIFFOpen(path.c_str(), "r");
    std::vector<uint8_t> raw(size_t(TIFFRawStripSize(t, 0)));
    TIFFReadRawStrip(t, 0, raw.data(), tmsize_t(raw.size()));
    TIFFClose(t);
    return raw;
}

std::vector<uint8_t> TestData(int kind, size_t size) {
    std::vector<uint8_t> v(size);
    std::mt19937 rng(uint32_t(kind) + 3);
    for (size_t i = 0; i < size; ++i) {
        switch (kind) {
            case 0:
                v[i] = uint8_t(rng());
                break;  // noise: many clears
            case 1:
                v[i] = 7;
                break;  // one long run
            case 2:
                v[i] = uint8_t((i / 3) % 11 + (rng() % 3 == 0));
                break;  // repetitive
            default:
                v[i] = uint8_t(i * i >> 5);
                break;
        }
    }
    return v;
}

TEST(Lzw, DecodesWhatLibtiffEncodes) {
    for (int kind = 0; kind < 4; ++kind) {
        const auto data = TestData(kind, 200 * 331);
        const auto raw = LibtiffCompress(data, 200, COMPRESSION_LZW);
        std::vector<uint8_t> out(data.size());
        ASSERT_TRUE(Lzw(raw, out)) << kind;
        EXPECT_EQ(out, data) << kind;
        // Every proper prefix of the code stream is too short.
        std::vector<uint8_t> half(raw.begin(), raw.begin() + long(raw.size() / 2));
        EXPECT_FALSE(Lzw(half, out)) << kind;
    }
}

bool PackBits(const std::vector<uint8_t>& src, std::vector<uint8_t>& dst) {
    dngtest::ReadStream rs(src);
    return DecodePackBits(rs.stream(), dst.data(), uint32_t(dst.size()));
}

TEST(PackBits, RunsLiteralsAndLimits) {
    const std::vector<uint8_t> src = {0x02, 'a', 'b', 'c', 0xFE, 'x'};
    std::vector<uint8_t> six(6);
    EXPECT_TRUE(PackBits(src, six));
    EXPECT_EQ(std::string(six.begin(), six.end()), "abcxxx");

    std::vector<uint8_t> five(5);
    EXPECT_FALSE(PackBits(src, five)) << "the run of three x passes the end";
    std::vector<uint8_t> two(2);
    EXPECT_FALSE(PackBits(src, two)) << "the literal passes the end";

    // 0x80 is a no-op.
    std::vector<uint8_t> nop(2);
    EXPECT_TRUE(PackBits({0x80, 0x80, 0x01, 'p', 'q'}, nop));
    EXPECT_EQ(std::string(nop.begin(), nop.end()), "pq");

    // Input ending early is an error of the stream, not a silent short read.
    std::vector<uint8_t> big(10);
    EXPECT_THROW(PackBits(src, big), dng_exception);
}

TEST(PackBits, DecodesWhatLibtiffEncodes) {
    for (int kind = 0; kind < 4; ++kind) {
        const auto data = TestData(kind, 100 * 77);
        const auto raw = LibtiffCompress(data, 100, COMPRESSION_PACKBITS);
        std::vector<uint8_t> out(data.size());
        ASSERT_TRUE(PackBits(raw, out)) << kind;
        EXPECT_EQ(out, data) << kind;
    }
}

}  // namespace
