#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <fstream>
#include <vector>

#include "engine/PatchPixelIterator.h"
#include "engine/PatchesTable.h"
#include "platform/IccBuiltins.h"
#include "platform/IccProfile.h"
#include "platform/Log.h"
#include "support/TestSupport.h"

namespace {

// The patch of every pixel along an axis.
std::vector<int> walk(uint64_t length, int patches) {
    std::vector<int> out;
    PatchPixelIterator it(length, patches);
    do {
        if (it.thisPixel() < length) out.push_back(it.thisPatch());
    } while (it.nextPixel() && out.size() <= length);
    return out;
}

struct Run {
    int patch;
    int first, end;
};

void expectRuns(uint64_t length, int patches, const std::vector<Run>& runs) {
    const auto seen = walk(length, patches);
    ASSERT_EQ(seen.size(), length);
    std::vector<int> expected(length, patches);
    for (const Run& r : runs)
        for (int i = r.first; i < r.end; ++i) expected[size_t(i)] = r.patch;
    for (size_t i = 0; i < length; ++i)
        ASSERT_EQ(seen[i], expected[i]) << "pixel " << i << " of " << length;
}

TEST(PatchPixelIterator, BoundariesOfTheDefaultGrid) {
    // Borders of 4 %, gaps of 2 %, six shares of (0.92 - 0.10) / 6 of 480 pixels.
    expectRuns(
        480, 6,
        {{0, 19, 84}, {1, 94, 160}, {2, 169, 235}, {3, 244, 310}, {4, 320, 385}, {5, 395, 460}});
    // Four shares of (0.92 - 0.06) / 4 of 320 pixels.
    expectRuns(320, 4, {{0, 13, 81}, {1, 88, 156}, {2, 163, 232}, {3, 238, 307}});
}

TEST(PatchPixelIterator, EmptyRunsArePassedOverAndPatchesStayInRange) {
    // Five pixels for 24 patches: most patches are narrower than a pixel.
    for (uint64_t length : {0u, 1u, 5u, 12u, 2000u}) {
        for (int patches : {1, 24, 60}) {
            const auto seen = walk(length, patches);
            EXPECT_EQ(seen.size(), length) << length << " " << patches;
            for (int p : seen) ASSERT_TRUE(p >= 0 && p <= patches) << length << " " << patches;
        }
    }
    // Past the last patch of a long axis the background runs to the end.
    const auto seen = walk(2000, 24);
    for (size_t i = 1960; i < 2000; ++i) ASSERT_EQ(seen[i], 24) << i;
    EXPECT_EQ(walk(10, 0), std::vector<int>(10, 0)) << "no patches: background";
}

TEST(PatchesTable, GridLimits) {
    PatchesTable table;
    EXPECT_EQ(table.patchesRows(), 4);
    EXPECT_EQ(table.patchesCols(), 6);
    EXPECT_EQ(table.imageTable()->getSize(), (platform::Size{480, 320}));
    EXPECT_FALSE(table.setNumPatches(0, 6));
    EXPECT_FALSE(table.setNumPatches(5, 5)) << "more patches than colours";
    EXPECT_FALSE(table.setNumPatches(-4, -6));
    EXPECT_EQ(table.patchesRows() * table.patchesCols(), 24);
    EXPECT_TRUE(table.setNumPatches(2, 12));
    EXPECT_EQ(table.patchesCols(), 12);
}

// Lab (D50) → XYZ → ProPhoto from its primaries → gamma 1.8, computed here.
std::array<double, 3> proPhotoOf(const std::array<float, 3>& lab, double gamma) {
    const double white[3] = {0.9642, 1.0, 0.8249};
    const double fy = (lab[0] + 16) / 116, fx = fy + lab[1] / 500, fz = fy - lab[2] / 200;
    auto inv = [](double t) {
        const double d = 6.0 / 29;
        return t > d ? t * t * t : 3 * d * d * (t - 4.0 / 29);
    };
    const double xyz[3] = {white[0] * inv(fx), white[1] * inv(fy), white[2] * inv(fz)};
    // RGB → XYZ columns: each primary's XYZ scaled so that RGB (1,1,1) gives the white.
    const double prim[3][2] = {{0.7347, 0.2653}, {0.1596, 0.8404}, {0.0366, 0.0001}};
    double m[3][3];
    for (int c = 0; c < 3; ++c) {
        m[0][c] = prim[c][0] / prim[c][1];
        m[1][c] = 1;
        m[2][c] = (1 - prim[c][0] - prim[c][1]) / prim[c][1];
    }
    auto solve = [](double a[3][3], const double b[3], double x[3]) {
        const double det = a[0][0] * (a[1][1] * a[2][2] - a[1][2] * a[2][1]) -
                           a[0][1] * (a[1][0] * a[2][2] - a[1][2] * a[2][0]) +
                           a[0][2] * (a[1][0] * a[2][1] - a[1][1] * a[2][0]);
        for (int k = 0; k < 3; ++k) {
            double t[3][3];
            for (int r = 0; r < 3; ++r)
                for (int c = 0; c < 3; ++c) t[r][c] = c == k ? b[r] : a[r][c];
            x[k] = (t[0][0] * (t[1][1] * t[2][2] - t[1][2] * t[2][1]) -
                    t[0][1] * (t[1][0] * t[2][2] - t[1][2] * t[2][0]) +
                    t[0][2] * (t[1][0] * t[2][1] - t[1][1] * t[2][0])) /
                   det;
        }
    };
    double s[3];
    solve(m, white, s);
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c) m[r][c] *= s[c];
    double rgb[3];
    solve(m, xyz, rgb);
    std::array<double, 3> out;
    for (int c = 0; c < 3; ++c) out[size_t(c)] = std::pow(std::max(rgb[c], 0.0), 1 / gamma);
    return out;
}

class PatchesTableColours : public ::testing::Test {
protected:
    void SetUp() override { platform::setIccProfileFolders(std::vector{scratch.path()}); }
    void TearDown() override { platform::setIccProfileFolders(std::nullopt); }
    testsupport::ScratchDir scratch;
};

TEST_F(PatchesTableColours, PatchesEqualAnIndependentLabToProPhotoComputation) {
    PatchesTable table;
    platform::LogCapture log;
    table.populateGretag(nullptr, 1.0f);
    EXPECT_TRUE(log.lines().empty());
    auto image = table.genImage();
    ASSERT_TRUE(image);
    ASSERT_EQ(image->width(), 480u);
    // Patch centres: columns of the 480/6 runs, rows (from the top) of the 320/4 runs.
    const int cx[6] = {51, 127, 202, 277, 352, 427}, cy[4] = {47, 122, 197, 272};
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 6; ++c) {
            const auto want = proPhotoOf(PatchesTable::kGretagLab[size_t(r * 6 + c)], 1.8);
            const float* p = image->row(size_t(cy[r])) + cx[c] * 4;
            for (int k = 0; k < 3; ++k)
                EXPECT_NEAR(p[k], want[size_t(k)], 0.002) << "patch " << r * 6 + c;
            EXPECT_EQ(p[3], 1.0f);
        }
    const auto background = proPhotoOf(PatchesTable::kGretagLab[24], 1.8);
    for (size_t row : {0u, 12u, 85u, 319u})
        EXPECT_NEAR(image->row(row)[0], background[0], 0.002) << row;
    EXPECT_NEAR(image->row(100)[4 * 90], background[0], 0.002) << "a gap between patches";

    table.populateGretag(nullptr, 1.2f);
    EXPECT_TRUE(log.contains("ERROR: attempt populateGretag eith non-unity sturation value"));
}

TEST_F(PatchesTableColours, AnInstalledProPhotoProfileIsPreferred) {
    const auto bytes = platform::iccBuiltinBytes(platform::IccBuiltin::proPhotoGamma1);
    std::ofstream(scratch.path() / "ProPhoto.icc", std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    PatchesTable table;
    table.populateGretag(nullptr, 1.0f);
    auto image = table.genImage();
    ASSERT_TRUE(image);
    const auto want = proPhotoOf(PatchesTable::kGretagLab[0], 1.0);
    EXPECT_NEAR(image->row(47)[51 * 4], want[0], 0.002) << "linear values";
}

TEST(ClampedXYToXYZ, Clamps) {
    auto xyz = ClampedXYToXYZ(0.3457, 0.3585);
    EXPECT_DOUBLE_EQ(xyz[0], 0.3457 / 0.3585);
    EXPECT_DOUBLE_EQ(xyz[1], 1.0);
    EXPECT_DOUBLE_EQ(xyz[2], (1 - 0.3457 - 0.3585) / 0.3585);
    xyz = ClampedXYToXYZ(0.0, -1.0);  // both up to 0.05
    EXPECT_DOUBLE_EQ(xyz[0], 1.0);
    EXPECT_DOUBLE_EQ(xyz[2], 0.9 / 0.05);
    xyz = ClampedXYToXYZ(0.7, 2.0);  // y down to 0.99, then both scaled to x + y = 0.99
    const double s = 0.99 / (0.7 + 0.99);
    EXPECT_NEAR(xyz[0], 0.7 / 0.99, 1e-12);
    EXPECT_NEAR(xyz[2], (1 - 0.99) / (0.99 * s), 1e-12);
    xyz = ClampedXYToXYZ(std::nan(""), 0.5);
    EXPECT_DOUBLE_EQ(xyz[0], 0.1);
}

}  // namespace
