// Linearization: identity, tables, black patterns with row and column deltas
// on the integer and float paths, black rounding, the kept stage-3 black and
// the parsing of tables and deltas from a stream.

#include <gtest/gtest.h>

#include <cmath>

#include "dng/core/dng_exception.h"
#include "dng/core/dng_host.h"
#include "dng/core/dng_ifd.h"
#include "dng/core/dng_memory_allocator.h"
#include "dng/core/dng_tag_types.h"
#include "dng/image/CodecTestStreams.h"
#include "dng/image/dng_linearization_info.h"
#include "dng/image/dng_simple_image.h"

namespace {

class StubNegative : public dng_linearization_source {
public:
    bool Stage2KeepsBlackLevel(dng_host&, const dng_image&, const dng_image&) const override {
        return keeps;
    }
    bool Stage3BlackLevelDisabled() const override { return disabled; }
    bool Stage3BlackLevelAtLeast1028() const override { return atLeast1028; }
    void SetStage3BlackLevel(uint16_t level) override { stage3Black = int32_t(level); }

    bool keeps = false;
    bool disabled = false;
    bool atLeast1028 = false;
    int32_t stage3Black = -1;
};

std::unique_ptr<dng_simple_image> Image(uint32_t rows, uint32_t cols, uint32_t type,
                                        uint32_t planes = 1) {
    auto image = std::make_unique<dng_simple_image>(dng_rect(rows, cols), planes, type,
                                                    gDefaultDNGMemoryAllocator);
    image->SetConstant(0);
    return image;
}

template <typename T>
T& At(dng_simple_image& image, uint32_t row, uint32_t col, uint32_t plane = 0) {
    return *static_cast<T*>(
        const_cast<void*>(image.Buffer().ConstPixel(int32_t(row), int32_t(col), plane)));
}

std::unique_ptr<dng_memory_block> Reals(std::initializer_list<double> values) {
    auto block = gDefaultDNGMemoryAllocator.Allocate(uint32_t(values.size() * 8));
    std::copy(values.begin(), values.end(), block->Buffer_real64());
    return block;
}

void Linearize(dng_linearization_info& info, const dng_image& src, dng_image& dst,
               StubNegative* negative = nullptr, uint32_t threads = 1) {
    dng_host host;
    host.SetAreaTaskThreadCount(threads);
    StubNegative plain;
    info.FixActiveArea(src.Bounds());
    info.Linearize(host, negative ? *negative : plain, src, dst);
}

TEST(Linearization, BlackZeroWhiteFullScaleIsAnExactIdentity) {
    auto src = Image(256, 256, ttShort);
    for (uint32_t i = 0; i < 65536; ++i) At<uint16_t>(*src, i / 256, i % 256) = uint16_t(i);
    auto dst = Image(256, 256, ttShort);
    dng_linearization_info info;
    Linearize(info, *src, *dst, nullptr, 4);
    for (uint32_t i = 0; i < 65536; ++i) {
        ASSERT_EQ(At<uint16_t>(*dst, i / 256, i % 256), i);
    }
}

TEST(Linearization, OnlyAnExactIdentityPassesThrough) {
    dng_host host;
    StubNegative negative;
    auto image = Image(4, 6, ttShort, 3);
    auto passes = [&](dng_linearization_info& info, const dng_image& src) {
        info.FixActiveArea(src.Bounds());
        return info.PassesThrough(host, negative, src);
    };
    dng_linearization_info plain;
    EXPECT_TRUE(passes(plain, *image));

    dng_linearization_info lowWhite;
    lowWhite.fWhiteLevel[2] = 65534;
    EXPECT_FALSE(passes(lowWhite, *image));
    dng_linearization_info black;
    black.fBlackLevel[0][0][1] = 1;
    EXPECT_FALSE(passes(black, *image));
    dng_linearization_info rowBlacks;
    rowBlacks.fBlackDeltaV = Reals({0, 0, 0.5, 0});
    EXPECT_FALSE(passes(rowBlacks, *image));
    dng_linearization_info table;
    table.fLinearizationTable = gDefaultDNGMemoryAllocator.Allocate(65536 * 2);
    for (uint32_t i = 0; i < 65536; ++i)
        table.fLinearizationTable->Buffer_uint16()[i] = uint16_t(i);
    EXPECT_TRUE(passes(table, *image));
    table.fLinearizationTable->Buffer_uint16()[40000] = 40001;
    EXPECT_FALSE(passes(table, *image));

    dng_linearization_info cropped;
    cropped.fActiveArea = dng_rect(1, 0, 4, 6);
    EXPECT_FALSE(cropped.PassesThrough(host, negative, *image));
    dng_linearization_info eightBit;
    EXPECT_FALSE(passes(eightBit, *Image(4, 6, ttByte)));
    negative.keeps = true;
    dng_linearization_info kept;
    EXPECT_FALSE(passes(kept, *image));
}

TEST(Linearization, TableMapsThroughItsLastEntryAndClips) {
    auto src = Image(1, 6, ttShort);
    const uint16_t in[] = {0, 1, 2, 3, 4, 60000};
    for (int i = 0; i < 6; ++i) At<uint16_t>(*src, 0, i) = in[i];
    auto dst = Image(1, 6, ttShort);
    dng_linearization_info info;
    info.fLinearizationTable = gDefaultDNGMemoryAllocator.Allocate(8);
    const uint16_t table[] = {100, 1100, 2100, 4100};
    std::copy(table, table + 4, info.fLinearizationTable->Buffer_uint16());
    info.fBlackLevel[0][0][0] = 100;
    info.fWhiteLevel[0] = 4100;
    Linearize(info, *src, *dst);
    // (table - 100) / 4000 x 65535, rounded; indices past the table use its end.
    const uint16_t expected[] = {0, 16384, 32768, 65535, 65535, 65535};
    for (int i = 0; i < 6; ++i) EXPECT_EQ(At<uint16_t>(*dst, 0, i), expected[i]) << i;

    // Below black clips to 0 and above white to 65535 when blacks are not kept.
    auto src8 = Image(1, 3, ttByte);
    At<uint8_t>(*src8, 0, 0) = 5;
    At<uint8_t>(*src8, 0, 1) = 30;
    At<uint8_t>(*src8, 0, 2) = 250;
    dng_linearization_info clip;
    clip.fBlackLevel[0][0][0] = 10;
    clip.fWhiteLevel[0] = 200;
    auto dst8 = Image(1, 3, ttShort);
    Linearize(clip, *src8, *dst8);
    EXPECT_EQ(At<uint16_t>(*dst8, 0, 0), 0);
    EXPECT_EQ(At<uint16_t>(*dst8, 0, 1), uint16_t(std::lround(20.0 / 190.0 * 65535.0)));
    EXPECT_EQ(At<uint16_t>(*dst8, 0, 2), 65535);
}

// A 2 x 2 black pattern 100 200 / 300 400 with column deltas 0 0 16 16 and
// row deltas 0 8 0 8: the largest black is 400 + 16 + 8 = 424, and a white
// level of 424 + 65535 makes one stored step one output step, so every
// output is the input minus its black.
void SetPattern(dng_linearization_info& info) {
    info.fBlackLevelRepeatRows = 2;
    info.fBlackLevelRepeatCols = 2;
    info.fBlackLevel[0][0][0] = 100;
    info.fBlackLevel[0][1][0] = 200;
    info.fBlackLevel[1][0][0] = 300;
    info.fBlackLevel[1][1][0] = 400;
    info.fBlackDeltaH = Reals({0, 0, 16, 16});
    info.fBlackDeltaV = Reals({0, 8, 0, 8});
    info.fWhiteLevel[0] = 424 + 65535;
    info.RoundBlacks();
}

uint16_t PatternInput(uint32_t r, uint32_t c) { return uint16_t(1000 + 37 * r + 5 * c); }

double PatternBlack(uint32_t r, uint32_t c) {
    const double black[2][2] = {{100, 200}, {300, 400}};
    const double h[4] = {0, 0, 16, 16};
    const double v[4] = {0, 8, 0, 8};
    return black[r % 2][c % 2] + h[c] + v[r];
}

TEST(Linearization, BlackPatternWithDeltasOnTheIntegerPath) {
    dng_linearization_info info;
    SetPattern(info);
    EXPECT_EQ(info.MaxBlackLevel(0), 424.0);
    auto src = Image(4, 4, ttShort);
    for (uint32_t r = 0; r < 4; ++r) {
        for (uint32_t c = 0; c < 4; ++c) At<uint16_t>(*src, r, c) = PatternInput(r, c);
    }
    At<uint16_t>(*src, 3, 3) = 50;  // below its black: 0
    auto dst = Image(4, 4, ttShort);
    Linearize(info, *src, *dst);
    // Pixel (1, 3): 1000 + 37 + 15 - (400 + 16 + 8) = 628.
    EXPECT_EQ(At<uint16_t>(*dst, 1, 3), 628);
    for (uint32_t r = 0; r < 4; ++r) {
        for (uint32_t c = 0; c < 4; ++c) {
            const double expected =
                (r == 3 && c == 3) ? 0.0 : PatternInput(r, c) - PatternBlack(r, c);
            EXPECT_EQ(At<uint16_t>(*dst, r, c), expected) << r << "," << c;
        }
    }
}

// A three-column black pattern on a row longer than a work tile: the second
// tile starts within the pattern, and rows end at odd lengths.
TEST(Linearization, BlackPatternAcrossTilesOnTheIntegerPath) {
    dng_linearization_info info;
    info.fBlackLevelRepeatRows = 2;
    info.fBlackLevelRepeatCols = 3;
    const double black[2][3] = {{10, 20, 30}, {40, 50, 60}};
    for (uint32_t r = 0; r < 2; ++r)
        for (uint32_t c = 0; c < 3; ++c) info.fBlackLevel[r][c][0] = black[r][c];
    info.fWhiteLevel[0] = 60 + 65535;
    info.RoundBlacks();
    const uint32_t rows = 3, cols = 1031;
    auto src = Image(rows, cols, ttShort);
    for (uint32_t r = 0; r < rows; ++r)
        for (uint32_t c = 0; c < cols; ++c) At<uint16_t>(*src, r, c) = uint16_t(c * 61 + r);
    auto dst = Image(rows, cols, ttShort);
    Linearize(info, *src, *dst, nullptr, 2);
    for (uint32_t r = 0; r < rows; ++r)
        for (uint32_t c = 0; c < cols; ++c) {
            const double expected = std::max(0.0, c * 61 + r - black[r % 2][c % 3]);
            ASSERT_EQ(At<uint16_t>(*dst, r, c), expected) << r << "," << c;
        }
}

TEST(Linearization, BlackPatternWithDeltasOnTheFloatPaths) {
    for (uint32_t srcType : {ttShort, ttLong, ttFloat}) {
        SCOPED_TRACE(srcType);
        dng_linearization_info info;
        SetPattern(info);
        auto src = Image(4, 4, srcType);
        for (uint32_t r = 0; r < 4; ++r) {
            for (uint32_t c = 0; c < 4; ++c) {
                const uint16_t x = PatternInput(r, c);
                if (srcType == ttShort) At<uint16_t>(*src, r, c) = x;
                if (srcType == ttLong) At<uint32_t>(*src, r, c) = x;
                if (srcType == ttFloat) At<float>(*src, r, c) = x;
            }
        }
        auto dst = Image(4, 4, ttFloat);
        Linearize(info, *src, *dst);
        for (uint32_t r = 0; r < 4; ++r) {
            for (uint32_t c = 0; c < 4; ++c) {
                const double expected = (PatternInput(r, c) - PatternBlack(r, c)) / 65535.0;
                EXPECT_NEAR(At<float>(*dst, r, c), expected, 2e-7) << r << "," << c;
            }
        }
        // The 32-bit integer source on a 16-bit stage 2 takes the float path too.
        if (srcType == ttLong) {
            dng_linearization_info again;
            SetPattern(again);
            auto dst16 = Image(4, 4, ttShort);
            Linearize(again, *src, *dst16);
            EXPECT_EQ(At<uint16_t>(*dst16, 1, 3), 628);
        }
    }
}

TEST(Linearization, ActiveAreaMovesToTheOriginAndPlanesAreIndependent) {
    auto src = Image(6, 7, ttShort, 2);
    for (uint32_t r = 0; r < 6; ++r) {
        for (uint32_t c = 0; c < 7; ++c) {
            At<uint16_t>(*src, r, c, 0) = uint16_t(r * 100 + c);
            At<uint16_t>(*src, r, c, 1) = uint16_t(60000 - r * 100 - c);
        }
    }
    dng_linearization_info info;
    info.fActiveArea = dng_rect(1, 2, 5, 6);
    info.fBlackLevel[0][0][1] = 1000;
    info.fWhiteLevel[0] = 65535;
    info.fWhiteLevel[1] = 61000;
    auto dst = Image(4, 4, ttShort, 2);
    Linearize(info, *src, *dst);
    EXPECT_EQ(At<uint16_t>(*dst, 0, 0, 0), 102);
    EXPECT_EQ(At<uint16_t>(*dst, 3, 3, 0), 405);
    EXPECT_EQ(At<uint16_t>(*dst, 0, 0, 1), std::lround((59898.0 - 1000) / 60000 * 65535));

    dng_linearization_info outside;
    outside.fActiveArea = dng_rect(1, 2, 7, 6);
    EXPECT_THROW(Linearize(outside, *src, *dst), dng_exception);
}

TEST(Linearization, BlacksAreRoundedToTheirDenominator) {
    dng_linearization_info info;
    info.fBlackLevel[0][0][0] = 4095.7;
    info.RoundBlacks();
    EXPECT_EQ(info.fBlackDenom, 256u);
    EXPECT_EQ(info.fBlackLevel[0][0][0], 1048499.0 / 256.0);
    EXPECT_EQ(info.BlackLevel(0, 0, 0).n, 1048499);
    EXPECT_EQ(info.RowBlack(0).d, 1);

    info.fBlackLevel[0][0][0] = 10000000.3;  // 256 x 1e7 is too large: halve once
    info.RoundBlacks();
    EXPECT_EQ(info.fBlackDenom, 128u);
    EXPECT_EQ(info.fBlackLevel[0][0][0], 1280000038.0 / 128.0);
}

TEST(Linearization, WhiteAtTheLargestBlackFails) {
    dng_linearization_info info;
    info.fBlackLevel[0][0][0] = 500;
    info.fBlackDeltaH = Reals({0, 100});
    info.fWhiteLevel[0] = 600;
    auto src = Image(1, 2, ttShort);
    auto dst = Image(1, 2, ttShort);
    try {
        Linearize(info, *src, *dst);
        ADD_FAILURE();
    } catch (const dng_exception& e) {
        EXPECT_EQ(e.ErrorCode(), 100006);
    }
}

TEST(Linearization, KeptBlackLevelForStage3) {
    struct Case {
        double black, white;
        bool atLeast1028;
        int32_t expected;
    };
    const Case cases[] = {{200, 1000, false, 13107},
                          {500, 1000, false, 13107},
                          {10, 1000, false, 655},
                          {10, 1000, true, 1028}};
    for (const Case& c : cases) {
        dng_linearization_info info;
        info.fBlackLevel[0][0][0] = c.black;
        info.fWhiteLevel[0] = c.white;
        auto src = Image(1, 3, ttShort);
        At<uint16_t>(*src, 0, 0) = uint16_t(c.black);
        At<uint16_t>(*src, 0, 1) = uint16_t(c.white);
        At<uint16_t>(*src, 0, 2) = 0;
        auto dst = Image(1, 3, ttShort);
        StubNegative negative;
        negative.keeps = true;
        negative.atLeast1028 = c.atLeast1028;
        Linearize(info, *src, *dst, &negative);
        EXPECT_EQ(negative.stage3Black, c.expected);
        // Black maps to D, white to 65535; below black is not clipped to 0
        // but limited to the 16-bit range.
        EXPECT_EQ(At<uint16_t>(*dst, 0, 0), c.expected);
        EXPECT_EQ(At<uint16_t>(*dst, 0, 1), 65535);
    }
    // A disabled kept black or a float stage 2 leaves the negative alone.
    dng_linearization_info info;
    info.fBlackLevel[0][0][0] = 200;
    info.fWhiteLevel[0] = 1000;
    auto src = Image(1, 1, ttShort);
    StubNegative disabled;
    disabled.keeps = true;
    disabled.disabled = true;
    auto dst = Image(1, 1, ttShort);
    Linearize(info, *src, *dst, &disabled);
    EXPECT_EQ(disabled.stage3Black, -1);
}

TEST(Linearization, ParseReadsTableAndDeltasFromTheStream) {
    // Big-endian file: 3 SHORT table entries at 4, 2 RATIONAL column deltas
    // at 10, 2 FLOAT row deltas at 26.
    std::vector<uint8_t> bytes = {0,    0,    0,    0,    0x00, 0x0A, 0x01, 0x00, 0xFF,
                                  0xFF, 0,    0,    0,    3,    0,    0,    0,    2,  // 1.5
                                  0,    0,    0,    1,    0,    0,    0,    4,        // 0.25
                                  0x40, 0x00, 0x00, 0x00,                             // 2.0
                                  0xC0, 0x80, 0x00, 0x00};                            // -4.0
    dngtest::ReadStream rs(bytes, true);
    dng_ifd ifd;
    ifd.fSamplesPerPixel = 1;
    ifd.fBitsPerSample[0] = 12;
    ifd.fActiveArea = dng_rect(0, 0, 2, 2);
    ifd.fLinearizationTableType = ttShort;
    ifd.fLinearizationTableCount = 3;
    ifd.fLinearizationTableOffset = 4;
    dng_linearization_tags tags;
    tags.fBlackLevelRepeatCols = 2;
    tags.fBlackLevel = {64.3, 65.0};
    tags.fBlackLevelDeltaHType = ttRational;
    tags.fBlackLevelDeltaHCount = 2;
    tags.fBlackLevelDeltaHOffset = 10;
    tags.fBlackLevelDeltaVType = ttFloat;
    tags.fBlackLevelDeltaVCount = 2;
    tags.fBlackLevelDeltaVOffset = 26;
    dng_host host;
    dng_linearization_info info;
    info.Parse(host, rs.stream(), ifd, tags);
    ASSERT_TRUE(info.fLinearizationTable);
    EXPECT_EQ(info.fLinearizationTable->Buffer_uint16()[1], 256);
    EXPECT_EQ(info.fLinearizationTable->Buffer_uint16()[2], 65535);
    EXPECT_EQ(info.ColumnBlackCount(), 2u);
    EXPECT_EQ(info.ColumnBlacks()[0], 1.5);
    EXPECT_EQ(info.RowBlacks()[1], -4.0);
    EXPECT_EQ(info.fBlackLevel[0][0][0], std::round(64.3 * 256) / 256);
    EXPECT_EQ(info.fWhiteLevel[0], 4095.0) << "no white level: 2^bits - 1";
    EXPECT_EQ(info.MaxBlackLevel(0), std::round(64.3 * 256) / 256 + 1.5 + 2.0);

    tags.fBlackLevelDeltaVOffset = 30;  // runs past the end
    dng_linearization_info bad;
    EXPECT_THROW(bad.Parse(host, rs.stream(), ifd, tags), dng_exception);
}

}  // namespace
