// The chart tool's lossless JPEG output read back through the DNG reader:
// the same raw and linearized pixels as the uncompressed chart, whatever the
// tile padding, and a smaller file.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "dng/core/dng_file_stream.h"
#include "dng/core/dng_tag_types.h"
#include "dng/core/dng_tag_values.h"
#include "dng/image/dng_image.h"
#include "dng/image/dng_image_host.h"
#include "dng/image/dng_info.h"
#include "dng/image/dng_negative.h"
#include "dng/image/dng_negative_reader.h"
#include "dng/image/dng_parsed_ifd.h"
#include "dng/image/dng_pixel_buffer.h"
#include "raw/TestChart.h"
#include "support/TestSupport.h"

namespace {

namespace fs = std::filesystem;

// The levels the tool writes.
constexpr uint16_t kBlack = 512;
constexpr uint16_t kWhite = 16383;

int RunTool(const std::string& args) {
    const std::string command =
        std::string(QUORVEX_MAKE_TEST_CHART) + " " + args + " > /dev/null 2>&1";
    return std::system(command.c_str());
}

std::vector<uint16_t> Pixels(const dng_image& image) {
    std::vector<uint16_t> v(size_t(image.Width()) * image.Height() * image.Planes());
    dng_pixel_buffer b(image.Bounds(), 0, image.Planes(), ttShort, pcInterleaved, v.data());
    image.Get(b);
    return v;
}

struct ReadBack {
    uint32_t compression = 0;
    uint32_t tileWidth = 0;
    std::vector<uint16_t> stage1;
    std::vector<uint16_t> stage2;
    uintmax_t fileSize = 0;
};

ReadBack Read(const fs::path& path) {
    ReadBack r;
    r.fileSize = fs::file_size(path);
    dng_file_stream stream(path.c_str());
    dng_image_host host;
    dng_info info;
    std::unique_ptr<dng_negative> negative =
        ReadDNGNegative(host, stream, info, dng_read_depth::kStage1);
    r.compression = info.MainIFD().fCompression;
    r.tileWidth = info.MainIFD().fTileWidth;
    if (!negative->Stage1Image()) return r;
    r.stage1 = Pixels(*negative->Stage1Image());
    negative->BuildStage2Image(host);
    if (negative->Stage2Image()) r.stage2 = Pixels(*negative->Stage2Image());
    return r;
}

}  // namespace

TEST(TestChartLjpeg, CompressedChartReadsBackAsTheUncompressedOne) {
    const testsupport::ScratchDir dir;
    struct Case {
        uint32_t w, h;
        const char* tiles;  // "" for the default tile size
    };
    // Exact tiles, one padded default tile, padded odd edges, and a tile
    // taller than the image.
    const Case cases[] = {{256, 128, "--tiles 64"},
                          {240, 160, ""},
                          {241, 163, "--tiles 48"},
                          {120, 80, "--tiles 128"}};
    for (const Case& c : cases) {
        const std::string size = std::to_string(c.w) + "x" + std::to_string(c.h);
        SCOPED_TRACE(size + " " + c.tiles);
        const fs::path plain = dir.path() / ("plain-" + size + ".dng");
        const fs::path packed = dir.path() / ("ljpeg-" + size + ".dng");
        ASSERT_EQ(RunTool("--size " + size + " --output " + plain.string()), 0);
        ASSERT_EQ(RunTool("--size " + size + " --compression ljpeg " + c.tiles + " --output " +
                          packed.string()),
                  0);

        const ReadBack a = Read(plain);
        const ReadBack b = Read(packed);
        EXPECT_EQ(a.compression, uint32_t(ccUncompressed));
        EXPECT_EQ(b.compression, uint32_t(ccJPEG));
        EXPECT_GT(b.tileWidth, 0u);
        EXPECT_LT(b.fileSize, a.fileSize);

        // Stage 1 holds exactly the mosaic the chart renders.
        std::vector<uint16_t> mosaic(size_t(c.w) * c.h);
        TestChart(c.w, c.h).renderMosaic(kBlack, kWhite, mosaic.data(), c.w);
        ASSERT_EQ(a.stage1.size(), mosaic.size());
        EXPECT_TRUE(a.stage1 == mosaic);
        ASSERT_EQ(b.stage1.size(), mosaic.size());
        for (size_t i = 0; i < mosaic.size(); ++i)
            ASSERT_EQ(b.stage1[i], mosaic[i]) << "x " << i % c.w << " y " << i / c.w;

        ASSERT_FALSE(a.stage2.empty());
        EXPECT_TRUE(a.stage2 == b.stage2);
    }
}

TEST(TestChartLjpeg, FullSizeChartShrinksAndRejectsBadOptions) {
    const testsupport::ScratchDir dir;
    const fs::path plain = dir.path() / "plain.dng";
    const fs::path packed = dir.path() / "ljpeg.dng";
    ASSERT_EQ(RunTool("--size 1200x800 --tiles --output " + plain.string()), 0);
    ASSERT_EQ(RunTool("--size 1200x800 --compression ljpeg --output " + packed.string()), 0);
    const ReadBack a = Read(plain);
    const ReadBack b = Read(packed);
    // The default tile divides both sides, as for uncompressed tiles.
    EXPECT_EQ(b.tileWidth, 400u);
    EXPECT_EQ(a.tileWidth, 400u);
    EXPECT_TRUE(a.stage1 == b.stage1);
    // Smooth 14-bit patches take well under half the space.
    EXPECT_LT(b.fileSize * 2, a.fileSize);

    EXPECT_EQ(WEXITSTATUS(RunTool("--compression jpeg --output " + packed.string())), 2);
    EXPECT_EQ(WEXITSTATUS(RunTool("--compression ljpeg --tiles 24 --output " + packed.string())),
              2);
}
