// The decoder on generated packs: header checks, exact planes at every
// level, fall-backs and their texts, damaged and truncated files, and the
// colour output (formula, tables, orientation, bands).
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "photocd/PcdPackWriter.h"
#include "photocd/pcdColor.h"
#include "photocd/pcdDecode.h"
#include "support/TestSupport.h"

namespace {

namespace fs = std::filesystem;
using pcdtest::makePack;
using pcdtest::Pack;
using pcdtest::PackSpec;

class PcdDecode : public ::testing::Test {
protected:
    fs::path write(const std::vector<uint8_t>& bytes, const std::string& name = "IMG0001.PCD") {
        const fs::path path = scratch.path() / "DISC" / "PHOTOS" / name;
        pcdtest::writeFile(path, bytes);
        return path;
    }
    testsupport::ScratchDir scratch;
};

void expectPlanes(pcdDecode& d, const pcdtest::Planes& want, const char* what) {
    ASSERT_EQ(d.currentPlaneLevel(), d.resolutionInUse()) << what;
    const size_t n = size_t(want.width) * want.height;
    ASSERT_TRUE(d.currentPlane(0)) << what;
    EXPECT_EQ(std::memcmp(d.currentPlane(0), want.y.data(), n), 0) << what << " luma";
    EXPECT_EQ(std::memcmp(d.currentPlane(1), want.c1.data(), n / 4), 0) << what << " C1";
    EXPECT_EQ(std::memcmp(d.currentPlane(2), want.c2.data(), n / 4), 0) << what << " C2";
}

TEST_F(PcdDecode, HeaderChecksFailWithTheirTexts) {
    Pack pack = makePack({});
    struct Case {
        std::vector<uint8_t> bytes;
        const char* text;
    };
    std::vector<uint8_t> shortFile(pack.bytes.begin(), pack.bytes.begin() + 6143);
    std::vector<uint8_t> noSignature = pack.bytes;
    std::memcpy(&noSignature[2048], "PCD_XXX", 7);
    std::vector<uint8_t> audio = pack.bytes;
    audio[3593] = 2;
    std::vector<uint8_t> noBase(pack.bytes.begin(), pack.bytes.begin() + 4 * 2048 + 1000);
    for (const Case& c : {Case{shortFile, "PCD file is too small to be valid"},
                          Case{noSignature, "That is not a valid PCD file"},
                          Case{audio, "The file contains interleaved audio"},
                          Case{noBase, "Could not read a base image from the PCD file"}}) {
        pcdDecode d;
        EXPECT_FALSE(d.parseFile(write(c.bytes).c_str(), "", 4));
        EXPECT_STREQ(d.getErrorString(), c.text);
        EXPECT_EQ(d.getWidth(), 0u);
        char value[81];
        d.getMetadata(0, nullptr, value);
        EXPECT_STREQ(value, "Error");
    }
    pcdDecode d;
    EXPECT_FALSE(d.parseFile((scratch.path() / "none.pcd").c_str(), "", 0));
    EXPECT_STREQ(d.getErrorString(), "Could not open PCD file - may be a file permissions problem");
}

TEST_F(PcdDecode, EveryLevelGivesExactPlanes) {
    for (bool stray : {false, true}) {
        PackSpec spec;
        spec.strayCodeBits = stray;  // junk below each code's length is ignored
        Pack pack = makePack(spec);
        const fs::path path = write(pack.bytes);
        for (int level = 0; level <= 4; ++level) {
            pcdDecode d;
            d.setInterpolation(0);
            ASSERT_TRUE(d.parseFile(path.c_str(), "", level));
            EXPECT_STREQ(d.getErrorString(), "");
            EXPECT_EQ(d.resolutionInUse(), unsigned(level));
            d.postProcess();
            expectPlanes(d, pack.expected[level], "level");
            d.postProcess();  // a second call changes nothing
            expectPlanes(d, pack.expected[level], "again");
        }
    }
}

TEST_F(PcdDecode, DeclaredHighestLevelCapsTheRequest) {
    PackSpec spec;
    spec.highest = 2;
    Pack pack = makePack(spec);
    pcdDecode d;
    ASSERT_TRUE(d.parseFile(write(pack.bytes).c_str(), "", 4));
    EXPECT_EQ(d.resolutionInUse(), 2u);
    EXPECT_STREQ(d.getErrorString(), "");
    EXPECT_EQ(d.getWidth(), 768u);
}

TEST_F(PcdDecode, DamagedLevelsFallBackWithWarnings) {
    {
        PackSpec spec;
        spec.badCodeLength = true;
        Pack pack = makePack(spec);
        pcdDecode d;
        d.setInterpolation(0);
        ASSERT_TRUE(d.parseFile(write(pack.bytes).c_str(), "", 4));
        EXPECT_STREQ(d.getErrorString(), "Huffman code error!! while processing 16Base image");
        EXPECT_EQ(d.resolutionInUse(), 3u);
        d.postProcess();
        expectPlanes(d, pack.expected[3], "4Base after 16Base failed");
    }
    {
        // An invalid code zeroes its own run; the next record decodes.
        PackSpec spec;
        spec.invalidCodeIn16Base = true;
        Pack pack = makePack(spec);
        pcdDecode d;
        d.setInterpolation(0);
        ASSERT_TRUE(d.parseFile(write(pack.bytes).c_str(), "", 4));
        EXPECT_STREQ(d.getErrorString(), "");
        d.postProcess();
        expectPlanes(d, pack.expected[4], "16Base with a spoilt record");
    }
    {
        // Cut inside the 4Base records: Base with the reader's text.
        Pack pack = makePack({});
        pack.bytes.resize(400 * 2048);
        pcdDecode d;
        ASSERT_TRUE(d.parseFile(write(pack.bytes).c_str(), "", 4));
        EXPECT_STREQ(d.getErrorString(),
                     "Unexpected end of file in Huffman sequence while processing 4Base image");
        EXPECT_EQ(d.resolutionInUse(), 2u);
    }
    {
        // Cut inside Base: the Base/4 image is the best one left.
        Pack pack = makePack({});
        pack.bytes.resize(200 * 2048);
        pcdDecode d;
        d.setInterpolation(0);
        ASSERT_TRUE(d.parseFile(write(pack.bytes).c_str(), "", 4));
        EXPECT_STREQ(d.getErrorString(),
                     "File ended unexpectedly in the Base image; falling back to Base/4");
        EXPECT_EQ(d.resolutionInUse(), 1u);
        d.postProcess();
        expectPlanes(d, pack.expected[1], "Base/4 fall-back");
    }
}

TEST_F(PcdDecode, TruncationAtAnySectorNeverCrashes) {
    Pack pack = makePack({});
    const size_t sectors = pack.bytes.size() / 2048;
    for (size_t s = 1; s < sectors; s += 37) {
        std::vector<uint8_t> cut(pack.bytes.begin(), pack.bytes.begin() + long(s * 2048));
        pcdDecode d;
        const bool ok = d.parseFile(write(cut).c_str(), "", 5);
        if (ok) {
            d.postProcess();
            std::vector<uint16_t> rgb(size_t(d.getWidth()) * d.getHeight() * 3);
            EXPECT_TRUE(d.readImage16(&rgb[0], &rgb[1], &rgb[2], nullptr, 3));
        } else {
            EXPECT_STRNE(d.getErrorString(), "");
        }
    }
}

// ---------------------------------------------------------------------------
// Colour output

TEST(pcdColor, TablesFollowTheirCurves) {
    const auto& t = pcdColorTables::shared();
    const int points[][2] = {{0, 0},     {128, 21},   {256, 58},    {512, 193},
                             {768, 419}, {1024, 744}, {1280, 1174}, {1388, 1387}};
    for (const auto& p : points) EXPECT_EQ(t.T[p[0]], p[1]) << p[0];
    for (int i = 1; i <= kPcdColorMax; ++i) {
        EXPECT_GE(t.T[i], t.T[i - 1]);
        const double v = i * 1.402 / 1388;
        const double linear = 695 * (v < 0.081 ? v / 4.5 : std::pow((v + 0.099) / 1.099, 1 / 0.45));
        EXPECT_NEAR(t.T[i], std::min(1387.0, linear), 2.0) << i;
    }
    EXPECT_EQ(t.U[256], 647);
    EXPECT_EQ(t.U[1024], 1213);
    EXPECT_EQ(t.U[1388], 1387);
    EXPECT_EQ(t.out8[1387], 254);
    EXPECT_EQ(t.out16[1388], 65535);
    EXPECT_FLOAT_EQ(t.outFloat[694], 0.5f);
}

// A Base/16 pack of one colour.
Pack flatPack(uint8_t y, uint8_t c1, uint8_t c2, unsigned orientation = 0) {
    PackSpec spec;
    spec.orientation = orientation;
    Pack pack = makePack(spec);
    const size_t at = 4 * 2048;
    for (size_t pair = 0; pair < 64; ++pair) {
        uint8_t* row = &pack.bytes[at + pair * 576];
        std::memset(row, y, 384);
        std::memset(row + 384, c1, 96);
        std::memset(row + 480, c2, 96);
    }
    return pack;
}

TEST_F(PcdDecode, PixelFormulaAndSpaces) {
    struct Case {
        uint8_t y, c1, c2;
        int space, option;
        uint16_t r, g, b;  // on the 0..1388 scale
    };
    // y = 5573 Y; c1 = 9085 (C1 - 156); c2 = 7461 (C2 - 137).
    const int Y = 120, C1 = 100, C2 = 180;
    const int y = 5573 * Y, c1 = 9085 * (C1 - 156), c2 = 7461 * (C2 - 137);
    const int R = (y + c2) >> 10, G = (y >> 10) - c1 / 5278 - c2 / 2012, B = (y + c1) >> 10;
    const auto& t = pcdColorTables::shared();
    const Case cases[] = {
        {255, 156, 137, 0, 0, 1387, 1387, 1387},
        {Y, C1, C2, 0, 0, uint16_t(R), uint16_t(G), uint16_t(B)},
        {Y, C1, C2, 1, 0, t.T[R], t.T[G], t.T[B]},
        {Y, C1, C2, 2, 0, t.U[t.T[R]], t.U[t.T[G]], t.U[t.T[B]]},
        {Y, C1, C2, 3, 0, uint16_t(Y * 1024 / 188), uint16_t(C1 * 1024 / 188),
         uint16_t(C2 * 1024 / 188)},
        {Y, C1, C2, 1, 1, uint16_t((5930 * t.T[R] - 143 * t.T[G] + 393 * t.T[B]) >> 13),
         uint16_t((-176 * t.T[R] + 6268 * t.T[G] + 131 * t.T[B]) >> 13),
         uint16_t((76 * t.T[R] - 128 * t.T[G] + 8256 * t.T[B]) >> 13)},
    };
    for (const Case& c : cases) {
        const fs::path path = write(flatPack(c.y, c.c1, c.c2).bytes);
        pcdDecode d;
        d.setColorSpace(c.space);
        d.setOption(c.option);
        ASSERT_TRUE(d.parseFile(path.c_str(), "", 0));
        d.postProcess();
        std::vector<uint16_t> px(192 * 128 * 4);
        std::vector<float> fx(192 * 128 * 3);
        std::vector<uint8_t> bx(192 * 128 * 3);
        ASSERT_TRUE(d.readImage16(&px[0], &px[1], &px[2], &px[3], 4));
        ASSERT_TRUE(d.readImageFloat(&fx[0], &fx[1], &fx[2], nullptr, 3));
        ASSERT_TRUE(d.readImage8(&bx[0], &bx[1], &bx[2], nullptr, 3));
        const size_t i = 77 * 192 + 31;
        EXPECT_EQ(px[4 * i], t.out16[c.r]) << c.space;
        EXPECT_EQ(px[4 * i + 1], t.out16[c.g]) << c.space;
        EXPECT_EQ(px[4 * i + 2], t.out16[c.b]) << c.space;
        EXPECT_EQ(px[4 * i + 3], 65535);
        EXPECT_FLOAT_EQ(fx[3 * i + 1], t.outFloat[c.g]);
        EXPECT_EQ(bx[3 * i + 2], t.out8[c.b]);
    }
    {
        // Luma only: grey whatever the chroma says.
        pcdDecode d;
        d.setLumaOnly(true);
        d.setLumaOnly(false);  // cannot be cleared
        EXPECT_TRUE(d.isLumaOnly());
        ASSERT_TRUE(d.parseFile(write(flatPack(Y, 20, 240).bytes).c_str(), "", 0));
        d.postProcess();
        std::vector<uint8_t> bx(192 * 128 * 3);
        ASSERT_TRUE(d.readImage8(&bx[0], &bx[1], &bx[2], nullptr, 3));
        EXPECT_EQ(bx[0], bx[1]);
        EXPECT_EQ(bx[1], bx[2]);
        EXPECT_EQ(bx[0], t.out8[y >> 10]);
    }
}

TEST_F(PcdDecode, OrientationTurnsTheOutput) {
    PackSpec spec;
    spec.orientation = 1;
    Pack pack = makePack(spec);
    pcdDecode plain, turned;
    const fs::path upright = write(makePack({}).bytes, "A.PCD");
    const fs::path rotated = write(pack.bytes, "B.PCD");
    for (auto* d : {&plain, &turned}) {
        d->setInterpolation(0);
        d->setColorSpace(3);
    }
    ASSERT_TRUE(plain.parseFile(upright.c_str(), "", 2));
    ASSERT_TRUE(turned.parseFile(rotated.c_str(), "", 2));
    ASSERT_EQ(turned.getWidth(), 512u);
    ASSERT_EQ(turned.getHeight(), 768u);
    turned.postProcess();
    std::vector<uint8_t> out(512 * 768 * 3);
    ASSERT_TRUE(turned.readImage8(&out[0], &out[1], &out[2], nullptr, 3));
    const auto& t = pcdColorTables::shared();
    // Output (row, col) is stored (col, W - 1 - row): row 0 is the last column.
    for (unsigned row : {0u, 1u, 400u, 767u})
        for (unsigned col : {0u, 3u, 511u}) {
            const int Y = pack.base[2].y[size_t(col) * 768 + (767 - row)];
            EXPECT_EQ(out[(size_t(row) * 512 + col) * 3], t.out8[Y * 1024 / 188]);
        }
}

TEST_F(PcdDecode, BandsGiveTheSameImageOnOneOrManyWorkers) {
    const fs::path path = write(makePack({}).bytes);
    std::vector<uint16_t> results[2];
    for (int k = 0; k < 2; ++k) {
        pcdDecode d;
        d.setWorkerCount(k == 0 ? 1 : 8);
        d.setInterpolation(2);
        d.setColorSpace(2);
        ASSERT_TRUE(d.parseFile(path.c_str(), "", 4));
        d.postProcess();
        results[k].resize(size_t(d.getWidth()) * d.getHeight() * 3);
        ASSERT_TRUE(d.readImage16(&results[k][0], &results[k][1], &results[k][2], nullptr, 3));
    }
    EXPECT_TRUE(results[0] == results[1]);
}

TEST(pcdUpsample, ModesFollowTheirRules) {
    // 4 x 2 source into 8 x 4.
    const uint8_t s[8] = {10, 50, 90, 200, 30, 70, 110, 0};
    uint8_t d[32];
    pcdUpsample(s, d, nullptr, 8, 4, 1, false, 1);
    EXPECT_EQ(d[0], 10);
    EXPECT_EQ(d[1], 30);   // (10 + 50 + 1) >> 1
    EXPECT_EQ(d[8], 20);   // (10 + 30 + 1) >> 1
    EXPECT_EQ(d[9], 40);   // (10 + 50 + 30 + 70 + 2) >> 2
    EXPECT_EQ(d[7], 200);  // the last column repeats
    int8_t residual[32];
    std::fill(residual, residual + 32, int8_t(-20));
    std::memcpy(d, residual, 32);
    pcdUpsample(s, d, nullptr, 8, 4, 0, true, 1);
    EXPECT_EQ(d[0], 0);  // 10 - 20 clamped
    EXPECT_EQ(d[6], 200 - 20);

    // Guided: a luma step between columns 1 and 2 keeps the chroma edge sharp.
    const uint8_t g[32] = {0, 0, 255, 255, 255, 255, 255, 255, 0, 0, 255, 255, 255, 255, 255, 255,
                           0, 0, 255, 255, 255, 255, 255, 255, 0, 0, 255, 255, 255, 255, 255, 255};
    const uint8_t flat[8] = {0, 200, 200, 200, 0, 200, 200, 200};
    pcdUpsample(flat, d, g, 8, 4, 2, false, 1);
    EXPECT_EQ(d[1], 0);  // guide equals the left neighbour's
    EXPECT_EQ(d[2], 200);
    pcdUpsample(flat, d, nullptr, 8, 4, 1, false, 1);
    EXPECT_EQ(d[1], 100);  // bilinear blurs it
}

// ---------------------------------------------------------------------------
// Metadata

TEST_F(PcdDecode, MetadataOfGeneratedHeaders) {
    Pack pack = makePack({});
    char name[81], value[81];
    {
        PackSpec spec;
        spec.pcdOpaOnly = true;
        pcdDecode d;
        ASSERT_TRUE(d.parseFile(write(makePack(spec).bytes).c_str(), "", 0));
        for (int i = 0; i < 20; ++i) {
            d.getMetadata(i, name, value);
            EXPECT_STREQ(value, "-") << i;
            EXPECT_STRNE(name, "Error");
        }
        d.getMetadata(20, name, value);
        EXPECT_STREQ(name, "Error");
    }
    {
        std::vector<uint8_t> bytes = pack.bytes;
        bytes[2069] = 10;
        std::memcpy(&bytes[2273], "SBA", 3);
        bytes[2373] = 9999 >> 8;
        bytes[2374] = 9999 & 255;
        pcdDecode d;
        ASSERT_TRUE(d.parseFile(write(bytes).c_str(), "", 0));
        d.getMetadata(4, name, value);
        EXPECT_STREQ(value, "-");
        d.getMetadata(16, name, value);
        EXPECT_STREQ(name, "Scene balance algorithm film identification");
        EXPECT_STREQ(value, "Unknown film");
        int term = -1, c1 = -1, c2 = -1;
        EXPECT_EQ(d.getFilmTerm(&term, &c1, &c2), 0);
        EXPECT_EQ(term, 0);
    }
    {
        // The information sector of a real disc over a generated pack.
        std::ifstream f(
            testsupport::testdataDir() / "pcd" / "metadata-only" / "photocd_header-only.pcd",
            std::ios::binary);
        std::vector<uint8_t> real((std::istreambuf_iterator<char>(f)), {});
        ASSERT_EQ(real.size(), 4116u);
        std::vector<uint8_t> bytes = pack.bytes;
        std::copy(real.begin(), real.end(), bytes.begin());
        pcdDecode d;
        ASSERT_TRUE(d.parseFile(write(bytes).c_str(), "", 0));
        EXPECT_EQ(d.getOrientation(), 1u);
        const char* want[20] = {"0.6",
                                "7.61",
                                nullptr,
                                nullptr,
                                "color negative",
                                "080/11 SPD 0100",
                                "KODAK     /4220",
                                "FilmScanner 2000",
                                "4.17",
                                "",
                                nullptr,
                                nullptr,
                                nullptr,
                                nullptr,
                                "6.7",
                                "neutral SBA on, color SBA on",
                                "KODAK GOLD 100 Gen 2",
                                "Copyright restrictions not specified",
                                "-",
                                "class 1 - 35mm film; pictoral hard copy"};
        for (int i = 0; i < 20; ++i) {
            if (!want[i]) continue;
            d.getMetadata(i, name, value);
            EXPECT_STREQ(value, want[i]) << i;
        }
        int term = 0, c1 = 0, c2 = 0;
        d.getFilmTerm(&term, &c1, &c2);
        EXPECT_EQ(term, 72);
    }
    {
        // Fields never written hold 0xFF bytes; texts of another character
        // set still leave as UTF-8.
        std::vector<uint8_t> bytes = pack.bytes;
        std::fill(bytes.begin() + 2055, bytes.begin() + 2380 + 12, 0xFF);
        std::memcpy(&bytes[2273], "SBA", 3);
        bytes[2180] = 0;
        pcdDecode d;
        ASSERT_TRUE(d.parseFile(write(bytes).c_str(), "", 0));
        for (int i = 0; i < 20; ++i) {
            d.getMetadata(i, name, value);
            if (i == 15 || i == 17 || i == 19) continue;  // fixed texts
            EXPECT_STREQ(value, "-") << i << " " << name;
        }
        std::string finisher = "Caf\xE9 M\xFCller\x01";
        finisher.resize(20, ' ');
        std::memcpy(&bytes[2213], finisher.data(), finisher.size());
        ASSERT_TRUE(d.parseFile(write(bytes).c_str(), "", 0));
        d.getMetadata(13, name, value);
        EXPECT_STREQ(value, "Caf\xC3\xA9 M\xC3\xBCller?");
    }
}

}  // namespace
