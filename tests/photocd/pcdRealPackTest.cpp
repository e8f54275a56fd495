// The real image packs of the test data: every level parses, the Base image
// matches third-party renderings, 16Base carries real detail, and the
// header texts read as the disc wrote them.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <ctime>
#include <string>
#include <utility>
#include <vector>

#include "photocd/pcdDecode.h"
#include "platform/ImageReader.h"
#include "support/TestSupport.h"

namespace {

struct Pack {
    const char* file;
    const char* reference;
    bool portrait;
};

const Pack kPacks[] = {
    {"IMG0003.PCD", "kodim03.png", false}, {"IMG0004.PCD", "kodim04.png", true},
    {"IMG0010.PCD", "kodim10.png", true},  {"IMG0015.PCD", "kodim15.png", false},
    {"IMG0019.PCD", "kodim19.png", true},  {"IMG0023.PCD", "kodim23.png", false}};

std::string packPath(const char* name) {
    return (testsupport::testdataDir() / "pcd" / name).string();
}

// Interleaved 8-bit RGB of a decoded pack.
std::vector<uint8_t> decode8(const char* name, int level, int mode, int space, unsigned* w,
                             unsigned* h) {
    pcdDecode d;
    d.setInterpolation(mode);
    d.setColorSpace(space);
    EXPECT_TRUE(d.parseFile(packPath(name).c_str(), "", level)) << d.getErrorString();
    EXPECT_STREQ(d.getErrorString(), "");
    d.postProcess();
    *w = d.getWidth();
    *h = d.getHeight();
    std::vector<uint8_t> rgb(size_t(*w) * *h * 3);
    EXPECT_TRUE(d.readImage8(&rgb[0], &rgb[1], &rgb[2], nullptr, 3));
    return rgb;
}

std::vector<uint8_t> lumaOf(const char* name, int level, unsigned* w, unsigned* h) {
    pcdDecode d;
    d.setInterpolation(0);
    d.setColorSpace(3);
    EXPECT_TRUE(d.parseFile(packPath(name).c_str(), "", level));
    d.postProcess();
    *w = d.getWidth();
    *h = d.getHeight();
    std::vector<uint8_t> rgb(size_t(*w) * *h * 3);
    EXPECT_TRUE(d.readImage8(&rgb[0], &rgb[1], &rgb[2], nullptr, 3));
    std::vector<uint8_t> y(size_t(*w) * *h);
    for (size_t i = 0; i < y.size(); ++i) y[i] = rgb[3 * i];
    return y;
}

double meanReferenceDifference(const Pack& pack, int mode) {
    unsigned w = 0, h = 0;
    auto rgb = decode8(pack.file, 2, mode, 0, &w, &h);
    auto ref = platform::readImageThumbnail(
        testsupport::testdataDir() / "pcd" / "reference" / pack.reference, 1024);
    EXPECT_TRUE(ref);
    if (!ref) return 1e9;
    EXPECT_EQ(ref->width(), size_t(w));
    EXPECT_EQ(ref->height(), size_t(h));
    if (ref->width() != w || ref->height() != h) return 1e9;
    const uint8_t* px = ref->dataProvider()->bytes();
    double sum = 0;
    for (size_t i = 0; i < size_t(w) * h; ++i)
        for (int c = 0; c < 3; ++c) {
            const double ours = std::min(255.0, std::round(rgb[3 * i + c] * 1388.0 / 1024.0));
            sum += std::abs(ours - double(px[(i / w) * ref->bytesPerRow() + (i % w) * 4 + c]));
        }
    return sum / (double(w) * h * 3);
}

TEST(pcdRealPacks, EveryLevelParsesWithoutWarning) {
    for (const Pack& pack : kPacks)
        for (int level = 0; level <= 4; ++level) {
            pcdDecode d;
            ASSERT_TRUE(d.parseFile(packPath(pack.file).c_str(), "", level)) << pack.file;
            EXPECT_STREQ(d.getErrorString(), "") << pack.file << " level " << level;
            EXPECT_EQ(d.resolutionInUse(), unsigned(level));
            const unsigned longSide = 192u << level, shortSide = 128u << level;
            EXPECT_EQ(d.getWidth(), pack.portrait ? shortSide : longSide) << pack.file;
            EXPECT_EQ(d.getHeight(), pack.portrait ? longSide : shortSide) << pack.file;
        }
}

TEST(pcdRealPacks, BaseMatchesReferenceRenderings) {
    for (const Pack& pack : kPacks) {
        EXPECT_LT(meanReferenceDifference(pack, 1), 1.0) << pack.file;
        EXPECT_LT(meanReferenceDifference(pack, 2), 2.0) << pack.file;
    }
}

double meanAbsLaplacian(const std::vector<double>& p, unsigned w, unsigned h) {
    double sum = 0;
    for (unsigned y = 1; y + 1 < h; ++y)
        for (unsigned x = 1; x + 1 < w; ++x) {
            const size_t i = size_t(y) * w + x;
            sum += std::abs(4 * p[i] - p[i - 1] - p[i + 1] - p[i - w] - p[i + w]);
        }
    return sum / (double(w - 2) * (h - 2));
}

TEST(pcdRealPacks, SixteenBaseAddsDetailToFourBase) {
    for (const char* name : {"IMG0003.PCD", "IMG0019.PCD"}) {
        unsigned w4, h4, w16, h16;
        const auto y4 = lumaOf(name, 3, &w4, &h4);
        const auto y16 = lumaOf(name, 4, &w16, &h16);
        ASSERT_EQ(w16, 2 * w4);
        ASSERT_EQ(h16, 2 * h4);
        double difference = 0;
        for (unsigned y = 0; y < h4; ++y)
            for (unsigned x = 0; x < w4; ++x) {
                const size_t i = size_t(2 * y) * w16 + 2 * x;
                const double box = (y16[i] + y16[i + 1] + y16[i + w16] + y16[i + w16 + 1]) / 4.0;
                difference += std::abs(box - y4[size_t(y) * w4 + x]);
            }
        EXPECT_LT(difference / (double(w4) * h4), 4.0) << name;
        // 4Base doubled bilinearly against the real 16Base.
        std::vector<double> up(size_t(w16) * h16), real(up.size());
        for (unsigned y = 0; y < h16; ++y)
            for (unsigned x = 0; x < w16; ++x) {
                const unsigned x0 = x / 2, y0 = y / 2;
                const unsigned x1 = std::min(x0 + (x & 1), w4 - 1);
                const unsigned y1 = std::min(y0 + (y & 1), h4 - 1);
                up[size_t(y) * w16 + x] = (y4[size_t(y0) * w4 + x0] + y4[size_t(y0) * w4 + x1] +
                                           y4[size_t(y1) * w4 + x0] + y4[size_t(y1) * w4 + x1]) /
                                          4.0;
                real[size_t(y) * w16 + x] = y16[size_t(y) * w16 + x];
            }
        EXPECT_GT(meanAbsLaplacian(real, w16, h16), 1.2 * meanAbsLaplacian(up, w16, h16)) << name;
    }
}

TEST(pcdRealPacks, MetadataOfEarlyAndLaterHeaders) {
    setenv("TZ", "UTC", 1);
    tzset();
    const std::string copyright =
        "Copyright restrictions apply - see copyright file on original CD-ROM for details";
    const std::string compression = "class 1 - 35mm film; pictoral hard copy";
    const std::vector<std::string> lighthouse = {"0.6",
                                                 "0.9",
                                                 "Mon Nov 25 13:10:22 1991",
                                                 "-",
                                                 "color negative",
                                                 "80/11, SPD 0100, #00",
                                                 "*KODAK*",
                                                 "FilmScanner 2000",
                                                 "1.65",
                                                 "",
                                                 "0002",
                                                 "11.48",
                                                 "Eastman Kodak",
                                                 "-",
                                                 "-",
                                                 "-",
                                                 "-",
                                                 copyright,
                                                 "RIGHTS.USE",
                                                 compression};
    const std::vector<std::string> hats = {"0.6",
                                           "-",
                                           "Tue Dec 10 14:25:28 1991",
                                           "Tue Dec 10 14:25:28 1991",
                                           "-",
                                           "",
                                           "",
                                           "",
                                           "X.YY",
                                           "MM/DD/YY",
                                           "",
                                           "11.72",
                                           "",
                                           "-",
                                           "-",
                                           "-",
                                           "-",
                                           copyright,
                                           "RIGHTS.USE",
                                           compression};
    for (const auto& [file, want] : {std::pair{"IMG0019.PCD", lighthouse}, {"IMG0003.PCD", hats}}) {
        pcdDecode d;
        ASSERT_TRUE(d.parseFile(packPath(file).c_str(), "", 0));
        for (int i = 0; i < 20; ++i) {
            char name[81], value[81];
            d.getMetadata(i, name, value);
            EXPECT_EQ(std::string(value), want[size_t(i)]) << file << " item " << i << " " << name;
        }
        EXPECT_EQ(d.getFilmTerm(nullptr, nullptr, nullptr), 0);
    }
    unsetenv("TZ");
    tzset();
}

}  // namespace
