#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <complex>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "raw/CFAPattern.h"
#include "raw/DemosaicAHD.h"
#include "raw/DemosaicBilinear.h"
#include "raw/DemosaicLMMSE.h"
#include "support/TestSupport.h"

namespace {

// A known RGB image (three floats per pixel, scale 65535) and its mosaic.
struct Image {
    uint32_t width = 0;
    uint32_t height = 0;
    std::vector<float> rgb;
    float at(uint32_t x, uint32_t y, int c) const { return rgb[(size_t(y) * width + x) * 3 + c]; }
};

Image MakeImage(uint32_t w, uint32_t h, const std::function<void(double, double, float*)>& f) {
    Image img{w, h, std::vector<float>(size_t(w) * h * 3)};
    for (uint32_t y = 0; y < h; ++y)
        for (uint32_t x = 0; x < w; ++x) f(x, y, &img.rgb[(size_t(y) * w + x) * 3]);
    return img;
}

std::vector<uint16_t> Mosaic(const Image& img, const CFAPattern& pattern, size_t stride = 0) {
    if (stride == 0) stride = img.width;
    std::vector<uint16_t> out(stride * img.height, 0xBEEF);
    for (uint32_t y = 0; y < img.height; ++y)
        for (uint32_t x = 0; x < img.width; ++x) {
            const float v = img.at(x, y, static_cast<int>(pattern.colorAt(y, x)));
            out[y * stride + x] = static_cast<uint16_t>(std::lround(std::clamp(v, 0.0f, 65535.0f)));
        }
    return out;
}

using Demosaic = std::function<void(const CFAPlane&, uint16_t*)>;

struct Named {
    std::string name;
    Demosaic run;
};

std::vector<Named> AllInterpolators() {
    return {{"bilinear", [](const CFAPlane& c, uint16_t* o) { DemosaicBilinear(c, o); }},
            {"AHD", [](const CFAPlane& c, uint16_t* o) { DemosaicAHD(c, o); }},
            {"LMMSE", [](const CFAPlane& c, uint16_t* o) { DemosaicLMMSE(c, o); }}};
}

std::vector<uint16_t> Interpolate(const Demosaic& run, const Image& img,
                                  const CFAPattern& pattern) {
    const std::vector<uint16_t> mosaic = Mosaic(img, pattern);
    std::vector<uint16_t> out(size_t(img.width) * img.height * 3);
    run(CFAPlane{mosaic.data(), img.width, img.height, img.width, pattern}, out.data());
    return out;
}

CFAPattern Pattern(const char* name) { return *CFAPattern::fromName(name); }

const char* kPatterns[] = {"RGGB", "BGGR", "GRBG", "GBRG"};

// Largest absolute error over pixels at least `margin` from every edge.
double MaxInteriorError(const Image& ref, const std::vector<uint16_t>& out, uint32_t margin) {
    double worst = 0.0;
    for (uint32_t y = margin; y + margin < ref.height; ++y)
        for (uint32_t x = margin; x + margin < ref.width; ++x)
            for (int c = 0; c < 3; ++c)
                worst = std::max(worst, std::fabs(out[(size_t(y) * ref.width + x) * 3 + c] -
                                                  double(ref.at(x, y, c))));
    return worst;
}

// A grey zone plate whose local frequency grows with the distance from the
// centre, up to about half the sampling rate in the corners.
Image ZonePlate(uint32_t w, uint32_t h) {
    const double cx = w / 2.0;
    const double cy = h / 2.0;
    const double k = M_PI / (2.0 * std::hypot(cx, cy));
    return MakeImage(w, h, [&](double x, double y, float* p) {
        const double r2 = (x - cx) * (x - cx) + (y - cy) * (y - cy);
        const float v = static_cast<float>(32768.0 + 24000.0 * std::cos(k * r2));
        p[0] = p[1] = p[2] = v;
    });
}

// AHD on a zone plate's mosaic, as one band on this thread.
std::vector<uint16_t> ZonePlateAHD() {
    return Interpolate([](const CFAPlane& c, uint16_t* o) { DemosaicAHD(c, o, 1); },
                       ZonePlate(48, 40), Pattern("RGGB"));
}

// A helper run demosaics, then exits; a handler registered before the
// demosaic's first use (and so run after its tables' destructors would
// have run) demosaics again and must get the same pixels. Band threads of
// a picture still rendering read those tables while the program exits.
int demosaicAtExit(const std::vector<std::string>& arguments) {
    if (arguments[0] != "demosaic-at-exit") return 2;
    static std::vector<uint16_t> first;
    std::atexit([] {
        if (ZonePlateAHD() != first) std::_Exit(3);
    });
    first = ZonePlateAHD();
    std::exit(0);
}

}  // namespace

QUORVEX_TEST_HELPER(demosaicAtExit)

TEST(Demosaic, TablesOutliveTheProgramsExit) {
    EXPECT_EQ(testsupport::waitForHelper(testsupport::spawnHelper({"demosaic-at-exit"})), 0);
}

TEST(CFAPattern, AcceptsOnlyBayerLayouts) {
    for (const char* name : kPatterns) EXPECT_TRUE(CFAPattern::fromName(name).has_value()) << name;
    for (const char* name : {"RGBG", "RRGB", "GGRB", "RGB", "RGGBX", "rggb", "CMYG"})
        EXPECT_FALSE(CFAPattern::fromName(name).has_value()) << name;

    const CFAPattern grbg = Pattern("GRBG");
    EXPECT_EQ(grbg.colorAt(0, 0), CFAColor::Green);
    EXPECT_EQ(grbg.colorAt(0, 1), CFAColor::Red);
    EXPECT_EQ(grbg.colorAt(1, 0), CFAColor::Blue);
    EXPECT_EQ(grbg.colorAt(3, 5), CFAColor::Green);
    EXPECT_EQ(grbg.colorAt(4, 7), CFAColor::Red);
    EXPECT_EQ(grbg.redRow(), 0u);
    EXPECT_EQ(grbg.redCol(), 1u);
    EXPECT_EQ(Pattern("BGGR").redRow(), 1u);
    EXPECT_EQ(Pattern("BGGR").redCol(), 1u);
}

TEST(Demosaic, FlatFieldsStayExactForEveryLayoutAndOddSizes) {
    const float colour[3] = {1234.0f, 40000.0f, 65535.0f};
    const Image flat =
        MakeImage(41, 27, [&](double, double, float* p) { std::copy(colour, colour + 3, p); });
    for (const auto& interp : AllInterpolators()) {
        for (const char* name : kPatterns) {
            const std::vector<uint16_t> out = Interpolate(interp.run, flat, Pattern(name));
            EXPECT_EQ(MaxInteriorError(flat, out, 0), 0.0) << interp.name << " " << name;
        }
    }
}

TEST(Demosaic, LinearRampsReconstructInTheInterior) {
    const Image ramp = MakeImage(64, 48, [](double x, double y, float* p) {
        p[0] = static_cast<float>(2000 + 600 * x + 150 * y);
        p[1] = static_cast<float>(30000 + 300 * x - 200 * y);
        p[2] = static_cast<float>(50000 - 400 * x + 250 * y);
    });
    for (const auto& interp : AllInterpolators())
        for (const char* name : kPatterns)
            EXPECT_LE(MaxInteriorError(ramp, Interpolate(interp.run, ramp, Pattern(name)), 12), 1.0)
                << interp.name << " " << name;
}

TEST(Demosaic, SmoothColourFieldsReconstructNearlyExactly) {
    // Slow waves of different phase in each channel: the directional
    // interpolators must stay within a fraction of a percent.
    const Image smooth = MakeImage(96, 80, [](double x, double y, float* p) {
        p[0] = static_cast<float>(30000 + 20000 * std::sin(x / 37.0 + y / 43.0));
        p[1] = static_cast<float>(32000 + 18000 * std::sin(x / 39.0 - y / 41.0 + 1.0));
        p[2] = static_cast<float>(28000 + 22000 * std::cos(x / 45.0 + y / 35.0));
    });
    for (const auto& interp : AllInterpolators()) {
        if (interp.name == "bilinear") continue;
        EXPECT_LE(MaxInteriorError(smooth, Interpolate(interp.run, smooth, Pattern("RGGB")), 12),
                  0.002 * 65535)
            << interp.name;
    }
}

TEST(Demosaic, SensorSamplesArePassedThrough) {
    std::mt19937 rng(7);
    std::uniform_real_distribution<float> dist(0.0f, 65535.0f);
    const Image noise = MakeImage(53, 37, [&](double, double, float* p) {
        p[0] = dist(rng);
        p[1] = dist(rng);
        p[2] = dist(rng);
    });
    for (const auto& interp : AllInterpolators()) {
        const CFAPattern pattern = Pattern("GBRG");
        const std::vector<uint16_t> mosaic = Mosaic(noise, pattern);
        const std::vector<uint16_t> out = Interpolate(interp.run, noise, pattern);
        size_t mismatches = 0;
        for (uint32_t y = 0; y < noise.height; ++y)
            for (uint32_t x = 0; x < noise.width; ++x) {
                const int c = static_cast<int>(pattern.colorAt(y, x));
                mismatches +=
                    out[(size_t(y) * noise.width + x) * 3 + c] != mosaic[y * noise.width + x];
            }
        EXPECT_EQ(mismatches, 0u) << interp.name;
    }
}

TEST(Demosaic, AHDBeatsBilinearOnAZonePlate) {
    const Image plate = ZonePlate(256, 192);
    struct Errors {
        double rms = 0, fringe = 0, zipper = 0;
    };
    auto measure = [&](const std::vector<uint16_t>& out) {
        Errors e;
        size_t n = 0;
        auto err = [&](uint32_t x, uint32_t y, int c) {
            return out[(size_t(y) * plate.width + x) * 3 + c] - double(plate.at(x, y, c));
        };
        for (uint32_t y = 8; y + 8 < plate.height; ++y)
            for (uint32_t x = 8; x + 8 < plate.width; ++x) {
                const double er = err(x, y, 0), eg = err(x, y, 1), eb = err(x, y, 2);
                e.rms += er * er + eg * eg + eb * eb;
                // The true image is grey: any difference between channels is fringing.
                e.fringe += std::fabs(er - eg) + std::fabs(eb - eg);
                // Zipper: error that flips sign from one pixel to the next.
                e.zipper += std::fabs(eg - 0.5 * (err(x - 1, y, 1) + err(x + 1, y, 1))) +
                            std::fabs(eg - 0.5 * (err(x, y - 1, 1) + err(x, y + 1, 1)));
                ++n;
            }
        e.rms = std::sqrt(e.rms / (3.0 * n));
        e.fringe /= n;
        e.zipper /= n;
        return e;
    };
    const Errors bilinear = measure(Interpolate(DemosaicBilinear, plate, Pattern("RGGB")));
    const Errors ahd = measure(Interpolate(
        [](const CFAPlane& c, uint16_t* o) { DemosaicAHD(c, o); }, plate, Pattern("RGGB")));
    EXPECT_LT(ahd.rms, 0.6 * bilinear.rms);
    EXPECT_LT(ahd.fringe, 0.5 * bilinear.fringe);
    EXPECT_LT(ahd.zipper, 0.6 * bilinear.zipper);
    std::printf("zone plate rms/fringe/zipper: bilinear %.0f %.0f %.0f, AHD %.0f %.0f %.0f\n",
                bilinear.rms, bilinear.fringe, bilinear.zipper, ahd.rms, ahd.fringe, ahd.zipper);
}

TEST(Demosaic, AHDAndLMMSEAgreeAwayFromEdgesAndDifferAtThem) {
    // A smooth coloured background with a sharp-edged bright square.
    const uint32_t w = 160, h = 120;
    auto inSquare = [](double x, double y) { return x >= 60 && x < 110 && y >= 40 && y < 85; };
    const Image scene = MakeImage(w, h, [&](double x, double y, float* p) {
        p[0] = static_cast<float>(20000 + 8000 * std::sin(x / 30.0));
        p[1] = static_cast<float>(25000 + 6000 * std::cos(y / 26.0));
        p[2] = static_cast<float>(15000 + 5000 * std::sin((x + y) / 40.0));
        if (inSquare(x, y)) {
            p[0] = 60000.0f;
            p[1] = 9000.0f;
            p[2] = 50000.0f;
        }
    });
    const CFAPattern pattern = Pattern("RGGB");
    const std::vector<uint16_t> ahd =
        Interpolate([](const CFAPlane& c, uint16_t* o) { DemosaicAHD(c, o); }, scene, pattern);
    const std::vector<uint16_t> lmmse =
        Interpolate([](const CFAPlane& c, uint16_t* o) { DemosaicLMMSE(c, o); }, scene, pattern);
    double smoothSum = 0, edgeSum = 0;
    size_t smoothCount = 0, edgeCount = 0;
    for (uint32_t y = 12; y + 12 < h; ++y)
        for (uint32_t x = 12; x + 12 < w; ++x) {
            bool nearEdge = false;
            for (int dy = -4; dy <= 4; ++dy)
                for (int dx = -4; dx <= 4; ++dx)
                    nearEdge |= inSquare(x + dx, y + dy) != inSquare(x, y);
            for (int c = 0; c < 3; ++c) {
                const size_t i = (size_t(y) * w + x) * 3 + c;
                const double d = std::fabs(double(ahd[i]) - lmmse[i]);
                (nearEdge ? edgeSum : smoothSum) += d;
                ++(nearEdge ? edgeCount : smoothCount);
            }
        }
    EXPECT_LT(smoothSum / smoothCount, 0.01 * 65535);
    EXPECT_GT(edgeSum / edgeCount, 4.0 * smoothSum / smoothCount);
    std::printf("AHD vs LMMSE mean |diff|: smooth %.1f, edges %.1f\n", smoothSum / smoothCount,
                edgeSum / edgeCount);
}

// A saturated patch whose green steps by a third of its red's step: only
// partly taken for detail of red and blue alone, and so smoothed along their
// rings only that far; smoothed fully, its corners round (red's and blue's
// mean error over 4 × 4 pixels at each corner 1127 against 841).
TEST(Demosaic, PartlyColourOnlyPatchesKeepSquareCorners) {
    constexpr uint32_t kSize = 64, kLow = 16, kHigh = 48;
    const Image img = MakeImage(kSize, kSize, [&](double x, double y, float* p) {
        const bool inside = x >= kLow && x < kHigh && y >= kLow && y < kHigh;
        p[0] = inside ? 30000.0f : 12000.0f;
        p[1] = inside ? 10000.0f : 12000.0f;
        p[2] = inside ? 6000.0f : 12000.0f;
    });
    for (const char* layout : kPatterns) {
        const std::vector<uint16_t> out = Interpolate(
            [](const CFAPlane& c, uint16_t* o) { DemosaicLMMSE(c, o); }, img, Pattern(layout));
        double sum = 0.0;
        for (uint32_t cy : {kLow, kHigh})
            for (uint32_t cx : {kLow, kHigh})
                for (uint32_t y = cy - 2; y < cy + 2; ++y)
                    for (uint32_t x = cx - 2; x < cx + 2; ++x)
                        for (int c : {0, 2})
                            sum += std::fabs(out[(size_t(y) * kSize + x) * 3 + c] -
                                             double(img.at(x, y, c)));
        EXPECT_LE(sum / 128, 950.0) << layout;
    }
}

// Where a checkerboard of 3-pixel cells of grey and a colour of the same
// green (red and blue halved or doubled) ends, in slivers a pixel wide, no
// colour may swing past the pattern's by more than 100 levels.
TEST(Demosaic, FineDetailOfRedAndBlueAloneEndsWithoutOvershoot) {
    constexpr uint32_t kSize = 96, kLow = 16, kHigh = 80;
    constexpr float kGrey = 12000.0f;
    for (float scale : {0.5f, 2.0f}) {
        const Image img = MakeImage(kSize, kSize, [&](double x, double y, float* p) {
            const bool inside = x >= kLow && x < kHigh && y >= kLow && y < kHigh;
            const bool coloured = inside && (uint32_t(x) / 3 + uint32_t(y) / 3) % 2;
            p[0] = p[2] = coloured ? kGrey * scale : kGrey;
            p[1] = kGrey;
        });
        const float full = kGrey * scale - kGrey;
        for (const char* layout : kPatterns)
            for (const Named& d : AllInterpolators()) {
                if (d.name == "bilinear") continue;
                const std::vector<uint16_t> out = Interpolate(d.run, img, Pattern(layout));
                double worst = 0.0;
                for (size_t i = 0; i < out.size(); i += 3)
                    for (int c : {0, 2}) {
                        const double diff = double(out[i + c]) - out[i + 1];
                        worst = std::max(worst, scale > 1.0f ? diff - full : full - diff);
                    }
                EXPECT_LE(worst, 100.0) << d.name << ", " << layout << ", x" << scale;
            }
    }
}

// CIELab of linear RGB at scale 65535, taken as sRGB's primaries.
std::array<double, 3> Lab(const float* rgb) {
    static const double m[3][3] = {{0.4124 / 0.95047, 0.3576 / 0.95047, 0.1805 / 0.95047},
                                   {0.2126, 0.7152, 0.0722},
                                   {0.0193 / 1.08883, 0.1192 / 1.08883, 0.9505 / 1.08883}};
    double f[3];
    for (int i = 0; i < 3; ++i) {
        const double t = (m[i][0] * rgb[0] + m[i][1] * rgb[1] + m[i][2] * rgb[2]) / 65535.0;
        f[i] = t > 216.0 / 24389.0 ? std::cbrt(t) : (24389.0 / 27.0 * t + 16.0) / 116.0;
    }
    return {116.0 * f[1] - 16.0, 500.0 * (f[0] - f[1]), 200.0 * (f[1] - f[2])};
}

// Patterns of two colours of one green (red against blue, purple against
// grey-green) in 48-pixel squares on grey, and a zone plate of red against
// blue. Per square (5 pixels in from its sides) and per band of the plate's
// rings, each image's mean a*b* taken away: the share of the scene's a*b*
// pattern that the demosaiced one keeps, the colour left besides it
// (invented, in delta E) and the difference of the mean colours in linear
// light, where a softened pattern keeps its mean (cast). A joint estimate of
// red and blue invented 13-23 on 2-pixel checkers (cast 8), 9-19 on stripes.
TEST(Demosaic, FineDetailOfRedAndBlueAloneIsKeptOrSoftenedButNotInvented) {
    constexpr int kCell = 56, kCols = 6, kRadius = 72;
    constexpr float kG = 12000.0f;
    const float pairs[2][2][2] = {{{1.67f, 0.44f}, {0.44f, 1.67f}}, {{1.67f, 1.67f}, {0.5f, 0.5f}}};
    using Pick = std::function<double(int, int)>;  // 0 the pair's first colour, 1 the second
    auto checker = [](int cell, int phase) -> Pick {
        return [=](int u, int v) { return double(((u + phase) / cell + (v + phase) / cell) % 2); };
    };
    auto stripes = [](double period, double degrees) -> Pick {
        const double c = std::cos(degrees * M_PI / 180), s = std::sin(degrees * M_PI / 180);
        return
            [=](int u, int v) { return 0.5 + 0.5 * std::sin(2 * M_PI * (u * c + v * s) / period); };
    };
    std::mt19937 rng(5);
    std::vector<float> noise(48 * 48);
    for (float& v : noise) v = std::uniform_real_distribution<float>(0.0f, 1.0f)(rng);
    // Limits a little over what softening leaves. A 3-pixel checker's sites see
    // its colours in unequal shares, so its mean moves with any demosaic.
    const struct {
        std::string name;
        Pick t;
        double mostInvented, leastKept, mostCast;
    } kinds[] = {{"2-px checker", checker(2, 0), 4.0, 0.0, 1.0},
                 {"2-px checker at 1", checker(2, 1), 4.0, 0.0, 1.0},
                 {"3-px checker", checker(3, 0), 5.0, 0.0, 99.0},
                 {"4-px checker", checker(4, 1), 9.0, 0.15, 1.0},
                 {"stripes of 3 at 45", stripes(3, 45), 2.5, 0.0, 1.0},
                 {"stripes of 4 at 30", stripes(4, 30), 3.5, 0.1, 1.0},
                 {"noise", [&](int u, int v) { return double(noise[size_t(v) * 48 + size_t(u)]); },
                  8.5, 0.05, 1.0}};
    const double bands[][3] = {{0.1, 2.5, 0.5}, {0.2, 4.0, 0.15}, {0.3, 7.5, 0.0}};
    constexpr int kKinds = int(std::size(kinds)), rows = (2 * kKinds + kCols - 1) / kCols;
    const int width = kCols * kCell, height = rows * kCell + 2 * kRadius + 16;
    const double cx = width / 2.0, cy = rows * kCell + 8 + kRadius, k = M_PI / (2.0 * kRadius);
    // What each pixel is measured in: a square, then a band of the plate; -1 none.
    std::vector<int> region(size_t(width) * size_t(height), -1);
    const Image img =
        MakeImage(uint32_t(width), uint32_t(height), [&](double x, double y, float* p) {
            p[0] = p[1] = p[2] = kG;
            int& in = region[size_t(y) * size_t(width) + size_t(x)];
            const int i = int(x) / kCell + kCols * (int(y) / kCell);
            const int u = int(x) % kCell - 4, v = int(y) % kCell - 4;
            if (i < 2 * kKinds && u >= 0 && u < 48 && v >= 0 && v < 48) {
                const float(*pair)[2] = pairs[i / kKinds];
                const double t = kinds[i % kKinds].t(u, v);
                p[0] = kG * float(pair[0][0] + t * (pair[1][0] - pair[0][0]));
                p[2] = kG * float(pair[0][1] + t * (pair[1][1] - pair[0][1]));
                if (std::min(u, v) >= 5 && std::max(u, v) < 43) in = i;
            }
            const double r2 = (x + 0.5 - cx) * (x + 0.5 - cx) + (y + 0.5 - cy) * (y + 0.5 - cy);
            if (r2 < kRadius * kRadius) {
                const double s = 0.5 * std::cos(k * r2);
                p[0] = kG * float(1.0 + s);
                p[2] = kG * float(1.0 - s);
                const double f = k * std::sqrt(r2) / M_PI;
                for (int b = 0; b < 3; ++b)
                    if (f >= bands[b][0] && f < bands[b][0] + 0.1) in = 2 * kKinds + b;
            }
        });
    for (const char* layout : {"RGGB", "GRBG"})
        for (const Named& d : AllInterpolators()) {
            if (d.name == "bilinear") continue;
            const std::vector<uint16_t> out = Interpolate(d.run, img, Pattern(layout));
            // Per region, sums of the demosaiced (a) and scene's (b) a*b* as complex
            // numbers and of their products, and of the colours in linear light.
            struct Sums {
                double n = 0, aa = 0, bb = 0;
                std::complex<double> a, b, ab;
                float rgb[2][3] = {};
            } sums[2 * kKinds + 3];
            for (size_t i = 0; i < region.size(); ++i) {
                if (region[i] < 0) continue;
                Sums& s = sums[region[i]];
                const float rgb[3] = {float(out[3 * i]), float(out[3 * i + 1]),
                                      float(out[3 * i + 2])};
                const auto la = Lab(rgb), lb = Lab(&img.rgb[3 * i]);
                const std::complex<double> a(la[1], la[2]), b(lb[1], lb[2]);
                s.n += 1;
                s.a += a;
                s.b += b;
                s.ab += a * std::conj(b);
                s.aa += std::norm(a);
                s.bb += std::norm(b);
                for (int c = 0; c < 3; ++c) {
                    s.rgb[0][c] += rgb[c];
                    s.rgb[1][c] += img.rgb[3 * i + size_t(c)];
                }
            }
            for (int r = 0; r < 2 * kKinds + 3; ++r) {
                Sums& s = sums[r];
                const double along = (s.ab - s.a * std::conj(s.b) / s.n).real();
                const double swing = s.bb - std::norm(s.b) / s.n,
                             spread = s.aa - std::norm(s.a) / s.n;
                for (auto& m : s.rgb)
                    for (float& v : m) v /= float(s.n);
                const auto la = Lab(s.rgb[0]), lb = Lab(s.rgb[1]);
                const double kept = along / swing;
                // What is left of the demosaiced pattern past the kept share.
                const double invented = std::sqrt((spread - kept * along) / s.n);
                const double cast = std::hypot(la[0] - lb[0], la[1] - lb[1], la[2] - lb[2]);
                const auto& q = kinds[r % kKinds];
                const bool square = r < 2 * kKinds;
                const std::string where =
                    d.name + ", " + layout + ", " +
                    (square ? (r < kKinds ? "red/blue " : "purple/green ") + q.name
                            : "zone plate from " + std::to_string(bands[r - 2 * kKinds][0]));
                EXPECT_LE(invented, square ? q.mostInvented : bands[r - 2 * kKinds][1]) << where;
                EXPECT_GE(kept, square ? q.leastKept : bands[r - 2 * kKinds][2]) << where;
                EXPECT_LE(cast, square ? q.mostCast : 1.0) << where;
            }
        }
}

// Square patches on grey whose red and blue alone are scaled (together, one
// alone or apart, at every CFA phase): along the last line inside each side
// and the first outside, away from the corners, the mean of
// |p(i) - (p(i - 1) + p(i + 1)) / 2| per channel: a joint estimate of red and
// blue zippered the lines inside by 9 levels, softening leaves 0.2.
TEST(Demosaic, EdgesOfRedAndBlueAlonePatchesDoNotZipper) {
    constexpr int kCell = 56, kSide = 40;
    constexpr float kG = 12000.0f;
    const float kModes[][2] = {{1, 1}, {1, 0}, {0, 1}, {1, -1}};
    for (float scale : {0.5f, 2.0f}) {
        const Image img = MakeImage(4 * 4 * kCell, kCell, [&](double x, double y, float* p) {
            const int cell = int(x) / kCell, phase = cell % 4;
            const int u = int(x) % kCell - 8 - (phase & 1), v = int(y) - 8 - (phase >> 1);
            const bool inside = u >= 0 && u < kSide && v >= 0 && v < kSide;
            p[1] = kG;
            p[0] = inside ? kG * std::pow(scale, kModes[cell / 4][0]) : kG;
            p[2] = inside ? kG * std::pow(scale, kModes[cell / 4][1]) : kG;
        });
        for (const char* layout : {"RGGB", "GRBG"})
            for (const Named& d : AllInterpolators()) {
                if (d.name == "bilinear") continue;
                const std::vector<uint16_t> out = Interpolate(d.run, img, Pattern(layout));
                double worst = 0.0;
                for (int cell = 0; cell < 16; ++cell) {
                    const int x0 = cell * kCell + 8 + (cell & 1), y0 = 8 + ((cell % 4) >> 1);
                    // Lines from (x, y), down the columns when across is 0, else along the rows.
                    for (int in : {0, 1})
                        for (const auto& l :
                             {std::array{x0 - 1 + in, y0, 0}, std::array{x0 + kSide - in, y0, 0},
                              std::array{x0, y0 - 1 + in, 1}, std::array{x0, y0 + kSide - in, 1}})
                            for (int c = 0; c < 3; ++c) {
                                auto at = [&](int i) {
                                    const size_t x = size_t(l[0] + i * l[2]),
                                                 y = size_t(l[1] + i * (1 - l[2]));
                                    return double(out[3 * (y * img.width + x) + size_t(c)]);
                                };
                                double sum = 0.0;
                                for (int i = 7; i < kSide - 7; ++i)
                                    sum += std::fabs(at(i) - 0.5 * (at(i - 1) + at(i + 1)));
                                worst = std::max(worst, sum / (kSide - 14));
                            }
                }
                EXPECT_LE(worst, 2.0) << d.name << ", " << layout << ", x" << scale;
            }
    }
}

TEST(Demosaic, OutputDoesNotDependOnTheBandCount) {
    // Texture plus noise over an odd size whose bands are thinner than the halo.
    std::mt19937 rng(3);
    std::normal_distribution<float> noise(0.0f, 900.0f);
    const Image plate = ZonePlate(301, 203);
    Image img = plate;
    for (float& v : img.rgb) v = std::clamp(v + noise(rng), 0.0f, 65535.0f);
    const CFAPattern pattern = Pattern("BGGR");
    const std::vector<uint16_t> mosaic = Mosaic(img, pattern);
    const CFAPlane plane{mosaic.data(), img.width, img.height, img.width, pattern};
    using Banded = void (*)(const CFAPlane&, uint16_t*, unsigned);
    for (Banded run : {static_cast<Banded>(DemosaicAHD), static_cast<Banded>(DemosaicLMMSE)}) {
        std::vector<uint16_t> reference(size_t(img.width) * img.height * 3);
        run(plane, reference.data(), 1);
        for (unsigned bands : {2u, 7u, 16u, 500u}) {
            std::vector<uint16_t> out(reference.size());
            run(plane, out.data(), bands);
            EXPECT_TRUE(out == reference) << bands << " bands";
        }
    }
}

TEST(Demosaic, PaddedRowsAndTinyImages) {
    // Row stride beyond the width: the padding (0xBEEF) must never be read.
    const Image ramp = MakeImage(33, 21, [](double x, double y, float* p) {
        p[0] = static_cast<float>(1000 + 900 * x);
        p[1] = static_cast<float>(2000 + 700 * y);
        p[2] = static_cast<float>(3000 + 400 * (x + y));
    });
    const CFAPattern pattern = Pattern("GRBG");
    const std::vector<uint16_t> packed = Mosaic(ramp, pattern);
    const std::vector<uint16_t> padded = Mosaic(ramp, pattern, 40);
    for (const auto& interp : AllInterpolators()) {
        std::vector<uint16_t> a(size_t(33) * 21 * 3), b(a.size());
        interp.run(CFAPlane{packed.data(), 33, 21, 33, pattern}, a.data());
        interp.run(CFAPlane{padded.data(), 33, 21, 40, pattern}, b.data());
        EXPECT_TRUE(a == b) << interp.name;
    }

    // Every size from 1×1 upwards gives a full, in-range result; a flat grey
    // stays grey even where the strip lacks a colour.
    for (uint32_t w : {1u, 2u, 3u, 5u})
        for (uint32_t h : {1u, 2u, 3u, 4u}) {
            const Image grey =
                MakeImage(w, h, [](double, double, float* p) { p[0] = p[1] = p[2] = 777.0f; });
            for (const auto& interp : AllInterpolators())
                EXPECT_EQ(MaxInteriorError(grey, Interpolate(interp.run, grey, pattern), 0), 0.0)
                    << interp.name << " " << w << "x" << h;
        }
}

TEST(Demosaic, RejectsInconsistentPlanes) {
    const CFAPattern pattern = Pattern("RGGB");
    std::vector<uint16_t> samples(16, 100), out(48);
    for (const auto& interp : AllInterpolators()) {
        EXPECT_THROW(interp.run(CFAPlane{nullptr, 4, 4, 4, pattern}, out.data()),
                     std::invalid_argument);
        EXPECT_THROW(interp.run(CFAPlane{samples.data(), 4, 4, 3, pattern}, out.data()),
                     std::invalid_argument);
        EXPECT_THROW(interp.run(CFAPlane{samples.data(), 0, 4, 4, pattern}, out.data()),
                     std::invalid_argument);
        EXPECT_THROW(interp.run(CFAPlane{samples.data(), 4, 4, 4, pattern}, nullptr),
                     std::invalid_argument);
    }
}
