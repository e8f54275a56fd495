// 64Base from generated extension folders: exact planes with one and three
// layers, extension names in another case, and damaged index files that
// leave the image at 16Base with a warning.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>

#include "photocd/PcdPackWriter.h"
#include "photocd/pcdDecode.h"
#include "support/TestSupport.h"

namespace {

namespace fs = std::filesystem;
using pcdtest::ExtensionLayout;
using pcdtest::Pack;

class Pcd64Base : public ::testing::Test {
protected:
    void SetUp() override {
        pack = pcdtest::makePack({});
        image = scratch.path() / "DISC" / "PHOTOS" / "IMG0001.PCD";
        pcdtest::writeFile(image, pack.bytes);
    }
    // Parses at 64Base with the index of `layout`; the decoder stays for checks.
    bool parse(const ExtensionLayout& layout, bool lumaOnly = false) {
        fs::remove_all(scratch.path() / "DISC" / "IPE");
        fs::remove_all(scratch.path() / "DISC" / "ipe");
        index = pcdtest::writeExtension(pack, image, layout);
        decoder = std::make_unique<pcdDecode>();
        decoder->setInterpolation(0);
        decoder->setLumaOnly(lumaOnly);
        return decoder->parseFile(image.c_str(), index.c_str(), 5);
    }
    testsupport::ScratchDir scratch;
    Pack pack;
    fs::path image, index;
    std::unique_ptr<pcdDecode> decoder;
};

TEST_F(Pcd64Base, OneAndThreeLayersGiveExactPlanes) {
    for (int layers : {1, 3}) {
        ExtensionLayout layout;
        layout.layers = layers;
        layout.filesPerLayer = layers == 1 ? 3 : 2;
        layout.lowerCaseFolder = layers == 3;  // names on disk in lower case
        ASSERT_TRUE(parse(layout));
        EXPECT_STREQ(decoder->getErrorString(), "") << layers;
        ASSERT_EQ(decoder->resolutionInUse(), 5u);
        EXPECT_EQ(decoder->getWidth(), 6144u);
        decoder->postProcess();
        const auto& want = pack.expected[5];
        ASSERT_EQ(decoder->currentPlaneLevel(), 5u);
        EXPECT_EQ(std::memcmp(decoder->currentPlane(0), want.y.data(), want.y.size()), 0);
        EXPECT_EQ(std::memcmp(decoder->currentPlane(1), want.c1.data(), want.c1.size()), 0);
        EXPECT_EQ(std::memcmp(decoder->currentPlane(2), want.c2.data(), want.c2.size()), 0);
    }
}

TEST_F(Pcd64Base, LumaOnlyDecoderReadsTheLumaLayerOnly) {
    ExtensionLayout layout;
    layout.layers = 3;
    ASSERT_TRUE(parse(layout, true));
    EXPECT_STREQ(decoder->getErrorString(), "");
    decoder->postProcess();
    const auto& want = pack.expected[5].y;
    EXPECT_EQ(std::memcmp(decoder->currentPlane(0), want.data(), want.size()), 0);
}

TEST_F(Pcd64Base, DamagedIndexesFallBackTo16Base) {
    struct Case {
        const char* name;
        ExtensionLayout layout;
        const char* text;
    };
    auto with = [](auto change) {
        ExtensionLayout l;
        change(l);
        return l;
    };
    const Case cases[] = {
        {"eleven files", with([](ExtensionLayout& l) { l.declaredFiles = 11; }),
         "Invalid number of IPE files while processing 64Base image"},
        {"segment width 0", with([](ExtensionLayout& l) { l.zeroSegmentWidth = true; }),
         "Invalid segment width while processing 64Base image"},
        {"file beyond the list", with([](ExtensionLayout& l) { l.badFileIndex = true; }),
         "Invalid extension file number while processing 64Base image"},
        {"index above 1 MiB", with([](ExtensionLayout& l) { l.oversizeIndex = true; }),
         "64Base IPE file is too large while processing 64Base image"},
        {"layer table outside", with([](ExtensionLayout& l) { l.layerTableOffset = 1u << 30; }),
         "64Base IPE file is damaged while processing 64Base image"},
        {"runs reading the same data again", with([](ExtensionLayout& l) { l.rereadRuns = 20000; }),
         "Extension data read more than once while processing 64Base image"},
        {"tables past the end", with([](ExtensionLayout& l) { l.tablesRunPastEnd = true; }),
         "Huffman table definition is incomplete while processing 64Base image"},
    };
    for (const Case& c : cases) {
        ASSERT_TRUE(parse(c.layout)) << c.name;
        EXPECT_STREQ(decoder->getErrorString(), c.text) << c.name;
        EXPECT_EQ(decoder->resolutionInUse(), 4u) << c.name;
        decoder->postProcess();
        EXPECT_EQ(std::memcmp(decoder->currentPlane(0), pack.expected[4].y.data(),
                              pack.expected[4].y.size()),
                  0)
            << c.name;
    }

    pcdDecode d;
    ASSERT_TRUE(d.parseFile(image.c_str(), "INFO.IC", 5));
    EXPECT_STREQ(d.getErrorString(), "IPE filename too short to be valid");
    ASSERT_TRUE(d.parseFile(image.c_str(), (scratch.path() / "none" / "INFO.IC").c_str(), 5));
    EXPECT_STREQ(d.getErrorString(), "Could not open 64Base IPE file");
    EXPECT_EQ(d.resolutionInUse(), 4u);
}

TEST_F(Pcd64Base, RunsLeavingTheirPlaneArePassedOver) {
    ExtensionLayout layout;
    layout.layers = 3;
    layout.destinationOffset = 65535;  // the last rows' runs would end past the planes
    ASSERT_TRUE(parse(layout));
    EXPECT_STREQ(decoder->getErrorString(), "");
    EXPECT_EQ(decoder->resolutionInUse(), 5u);
    decoder->postProcess();
    // The first recorded row lands shifted by the offset.
    const auto& r = pack.residual[2];
    const auto& below = pack.expected[4].y;
    const uint8_t* y = decoder->currentPlane(0);
    for (size_t c = 0; c < 6144; c += 101) {
        const size_t at = 65535 + c;
        const int want =
            std::clamp(below[(at / 6144 / 2) * 3072 + (at % 6144) / 2] + r.y[c], 0, 255);
        EXPECT_EQ(y[at], want) << c;
    }
}

TEST_F(Pcd64Base, CutIndexAndExtensionFilesNeverCrash) {
    ExtensionLayout layout;
    layout.layers = 3;
    index = pcdtest::writeExtension(pack, image, layout);
    const fs::path folder = index.parent_path();
    std::vector<std::pair<fs::path, std::vector<uint8_t>>> originals;
    for (const auto& entry : fs::directory_iterator(folder)) {
        std::ifstream f(entry.path(), std::ios::binary);
        originals.push_back({entry.path(), {std::istreambuf_iterator<char>(f), {}}});
    }
    for (const auto& [path, bytes] : originals)
        for (size_t cut : {size_t(0), size_t(30), bytes.size() / 3, bytes.size() - 5}) {
            if (cut >= bytes.size()) continue;
            pcdtest::writeFile(path,
                               std::vector<uint8_t>(bytes.begin(), bytes.begin() + long(cut)));
            pcdDecode d;
            EXPECT_TRUE(d.parseFile(image.c_str(), index.c_str(), 5));
            EXPECT_EQ(d.resolutionInUse(), 4u) << path << " cut at " << cut;
            EXPECT_STRNE(d.getErrorString(), "");
            pcdtest::writeFile(path, bytes);
        }
}

// A pipe under the name of the pack, of INFO.IC or of an extension file is
// refused at once instead of waiting for a writer forever.
TEST_F(Pcd64Base, PipesUnderItsNamesNeverBlock) {
    ASSERT_TRUE(parse(ExtensionLayout{}));
    const fs::path extension = index.parent_path() / "L0F0.IPE";
    ASSERT_TRUE(fs::exists(extension));
    for (const fs::path& pipe : {extension, index}) {
        fs::remove(pipe);
        ASSERT_TRUE(testsupport::makeFifo(pipe));
        pcdDecode d;
        bool ok = false;
        EXPECT_TRUE(testsupport::finishesWithoutBlocking(pipe, [&] {
            ok = d.parseFile(image.c_str(), index.c_str(), 5);
        })) << pipe;
        EXPECT_TRUE(ok) << pipe;
        EXPECT_EQ(d.resolutionInUse(), 4u) << pipe;
        EXPECT_STRNE(d.getErrorString(), "") << pipe;
    }
    const fs::path pack = scratch.path() / "DISC" / "PHOTOS" / "IMG0002.PCD";
    ASSERT_TRUE(testsupport::makeFifo(pack));
    pcdDecode d;
    bool ok = true;
    EXPECT_TRUE(
        testsupport::finishesWithoutBlocking(pack, [&] { ok = d.parseFile(pack.c_str(), "", 0); }));
    EXPECT_FALSE(ok);
    EXPECT_STREQ(d.getErrorString(), "Could not open PCD file - it is not a regular file");
}

}  // namespace
