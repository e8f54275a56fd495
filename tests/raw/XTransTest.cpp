// Mosaics other than Bayer: the 6 x 6 X-Trans layout in every phase, a
// photograph's X-Trans mosaic against its LinearRaw twin, the two renderings
// on a zone plate, a 2 x 4 layout, the LibRaw road on the same mosaic, and
// layouts that cannot be right refused with a line naming the file, and the
// master kept only along the edges, X-Trans and Bayer.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "dng/image/NegativeDngWriter.h"
#include "photocd/pcdDecode.h"
#include "raw/CFALayout.h"
#include "raw/DemosaicXTrans.h"
#include "raw/rawWrapper.h"
#include "support/TestSupport.h"

namespace {

namespace fs = std::filesystem;

// The layout at phase 0, as the DNG library's 6 x 6 mosaic states it.
constexpr uint8_t kXTrans[6][6] = {{1, 2, 1, 1, 0, 1}, {0, 1, 0, 2, 1, 2}, {1, 2, 1, 1, 0, 1},
                                   {1, 0, 1, 1, 2, 1}, {2, 1, 2, 0, 1, 0}, {1, 0, 1, 1, 2, 1}};

// Phase p = 6 dy + dx: the layout seen from row dy, column dx; `swapped`
// trades red and blue.
std::vector<uint8_t> XTransColours(int phase, bool swapped = false) {
    std::vector<uint8_t> colours(36);
    for (int r = 0; r < 6; r++)
        for (int c = 0; c < 6; c++) {
            uint8_t v = kXTrans[(r + phase / 6) % 6][(c + phase % 6) % 6];
            colours[size_t(r * 6 + c)] = swapped && v != 1 ? uint8_t(2 - v) : v;
        }
    return colours;
}

CFALayout Layout(const std::vector<uint8_t>& colours, uint32_t rows = 6, uint32_t cols = 6) {
    return *CFALayout::fromColors(rows, cols, colours.data());
}

// A picture: packed RGB, scale 65535.
struct Picture {
    uint32_t width = 0, height = 0;
    std::vector<uint16_t> rgb;
    uint16_t at(uint32_t y, uint32_t x, int c) const {
        return rgb[(size_t(y) * width + x) * 3 + c];
    }
};

std::vector<uint16_t> Mosaic(const Picture& p, const CFALayout& layout) {
    std::vector<uint16_t> m(size_t(p.width) * p.height);
    for (uint32_t y = 0; y < p.height; y++)
        for (uint32_t x = 0; x < p.width; x++)
            m[size_t(y) * p.width + x] = p.at(y, x, layout.colorAt(y, x));
    return m;
}

std::vector<uint16_t> Demosaic(const std::vector<uint16_t>& mosaic, uint32_t w, uint32_t h,
                               const CFALayout& layout, bool master, unsigned bands = 4) {
    std::vector<uint16_t> rgb(size_t(w) * h * 3);
    const MosaicPlane plane{mosaic.data(), w, h, w, layout};
    if (master)
        DemosaicXTrans(plane, rgb.data(), bands);
    else
        DemosaicXTransSmooth(plane, rgb.data(), bands);
    return rgb;
}

// A neutral zone plate: grey 0.3 +- 0.25 cos(pi r^2 / 2R), from zero
// frequency at the centre to half the sampling rate at radius R.
Picture ZonePlate(uint32_t size) {
    Picture p{size, size, std::vector<uint16_t>(size_t(size) * size * 3)};
    const double R = size / 2.0;
    for (uint32_t y = 0; y < size; y++)
        for (uint32_t x = 0; x < size; x++) {
            const double dx = x - R + 0.5, dy = y - R + 0.5;
            const double v = 0.3 + 0.25 * std::cos(M_PI * (dx * dx + dy * dy) / (2 * R));
            for (int c = 0; c < 3; c++) p.rgb[(size_t(y) * size + x) * 3 + c] = uint16_t(v * 65535);
        }
    return p;
}

// Dark lines one pixel wide, 8 apart, on saturated yellow (top) and red
// (bottom), slanting from a row's direction to a column's from left to
// right: each pixel's share of line from 4 x 4 sub-samples.
Picture ThinLines(uint32_t size) {
    Picture p{size, size, std::vector<uint16_t>(size_t(size) * size * 3)};
    const std::array<std::array<double, 3>, 2> grounds = {{{0.8, 0.65, 0.02}, {0.4, 0.01, 0.01}}};
    for (uint32_t y = 0; y < size; y++)
        for (uint32_t x = 0; x < size; x++) {
            const double angle = M_PI / 2 * (x * 8 / size) / 7;
            int on = 0;
            for (int j = 0; j < 4; j++)
                for (int i = 0; i < 4; i++) {
                    const double u = x + (i + 0.5) / 4, v = y + (j + 0.5) / 4;
                    on += std::fmod(u * std::cos(angle) + v * std::sin(angle) + 1000, 8.0) < 1;
                }
            for (size_t c = 0; c < 3; c++) {
                const double ground = grounds[y * 2 / size][c];
                p.rgb[(size_t(y) * size + x) * 3 + c] =
                    uint16_t(65535 * (ground + (0.005 - ground) * on / 16.0));
            }
        }
    return p;
}

// Colour peak signal-to-noise ratio of two packed RGB images on a 1/2.2
// tone, leaving out `border` pixels on every side.
double CPSNR(const uint16_t* a, const uint16_t* b, uint32_t w, uint32_t h, uint32_t border) {
    double sum = 0;
    size_t n = 0;
    for (uint32_t y = border; y + border < h; y++)
        for (uint32_t x = border; x + border < w; x++)
            for (int c = 0; c < 3; c++) {
                const size_t i = (size_t(y) * w + x) * 3 + size_t(c);
                const double d =
                    std::pow(a[i] / 65535.0, 1 / 2.2) - std::pow(b[i] / 65535.0, 1 / 2.2);
                sum += d * d;
                n++;
            }
    return 10 * std::log10(double(n) / sum);
}

struct Mosaicked {
    negtest::DngSpec spec;
    std::vector<uint16_t> samples;
};

// A CFA DNG of the picture through the given layout, and its LinearRaw twin
// with the very same values.
fs::path WriteCFA(const fs::path& path, const Picture& p, const CFALayout& layout,
                  uint32_t tile = 0) {
    negtest::DngSpec spec;
    spec.width = p.width;
    spec.height = p.height;
    spec.tile = tile;
    spec.cfaRepeat = {double(layout.rows()), double(layout.cols())};
    spec.cfaPattern.clear();
    for (uint32_t r = 0; r < layout.rows(); r++)
        for (uint32_t c = 0; c < layout.cols(); c++)
            spec.cfaPattern.push_back(layout.colorAt(r, c));
    EXPECT_TRUE(negtest::WriteDng(path.string(), spec, Mosaic(p, layout)));
    return path;
}

fs::path WriteLinear(const fs::path& path, const Picture& p) {
    negtest::DngSpec spec;
    spec.width = p.width;
    spec.height = p.height;
    spec.samples = 3;
    spec.black = {0, 0, 0};
    spec.white = {65535, 65535, 65535};
    EXPECT_TRUE(negtest::WriteDng(path.string(), spec, p.rgb));
    return path;
}

rawWrapper::Ptr Open(const fs::path& path) {
    return rawWrapper::initWithFile(path.string(), path.string(), false);
}

// A flat field of a colour in the camera's values.
Picture Flat(uint32_t w, uint32_t h, std::array<uint16_t, 3> colour) {
    Picture p{w, h, std::vector<uint16_t>(size_t(w) * h * 3)};
    for (size_t i = 0; i < size_t(w) * h; i++)
        for (int c = 0; c < 3; c++) p.rgb[i * 3 + size_t(c)] = colour[size_t(c)];
    return p;
}

// The Base image of a Photo CD as linear values (its 16-bit output taken to
// the power 2.2).
Picture PhotoCD(const char* name) {
    pcdDecode decoder;
    const std::string path = (testsupport::testdataDir() / "pcd" / name).string();
    EXPECT_TRUE(decoder.parseFile(path.c_str(), "INFO.IC", 2)) << decoder.getErrorString();
    decoder.postProcess();
    Picture p{decoder.getWidth(), decoder.getHeight(), {}};
    p.rgb.resize(size_t(p.width) * p.height * 3);
    EXPECT_TRUE(decoder.readImage16(p.rgb.data(), p.rgb.data() + 1, p.rgb.data() + 2, nullptr, 3));
    // As a camera sees daylight: red and blue weaker by the test files'
    // as-shot neutral (0.5, 1, 0.6), so that nothing clips once balanced.
    const double neutral[3] = {0.5, 1.0, 0.6};
    for (size_t i = 0; i < p.rgb.size(); i++)
        p.rgb[i] =
            uint16_t(std::lround(65535 * neutral[i % 3] * std::pow(p.rgb[i] / 65535.0, 2.2)));
    return p;
}

}  // namespace

TEST(XTransDemosaic, EveryPhaseGivesTheSamePictureShiftedAndAFlatFieldStaysRight) {
    const Picture flat = Flat(40, 30, {21000, 34000, 9000});
    // A picture with edges and colour: crops of it at (dy, dx) carry the
    // phase-0 layout's colours as phase 6 dy + dx.
    const Picture zone = ZonePlate(96);
    Picture coloured = zone;
    for (size_t i = 0; i < coloured.rgb.size(); i += 3) coloured.rgb[i] /= 2;
    const uint32_t crop = 84;
    // Another layout of no Bayer kind, 2 x 4, takes the same road.
    const CFALayout twoByFour = Layout({0, 1, 2, 1, 2, 1, 0, 1}, 2, 4);
    ASSERT_FALSE(twoByFour.bayer());
    for (bool master : {true, false}) {
        const std::vector<uint16_t> out =
            Demosaic(Mosaic(flat, twoByFour), flat.width, flat.height, twoByFour, master, 3);
        for (size_t i = 0; i < out.size(); i++)
            ASSERT_NEAR(out[i], flat.rgb[i], 1) << "2 x 4 " << i;
        const CFALayout base = Layout(XTransColours(0));
        const std::vector<uint16_t> reference =
            Demosaic(Mosaic(coloured, base), coloured.width, coloured.height, base, master);
        for (bool swapped : {false, true})
            for (int phase = 0; phase < 36; phase++) {
                const CFALayout layout = Layout(XTransColours(phase, swapped));
                ASSERT_TRUE(layout.isXTrans());
                const std::vector<uint16_t> out =
                    Demosaic(Mosaic(flat, layout), flat.width, flat.height, layout, master, 3);
                for (size_t i = 0; i < out.size(); i++)
                    ASSERT_NEAR(out[i], flat.rgb[i], 1) << phase << " " << swapped << " " << i;
                if (swapped) continue;
                const uint32_t dy = uint32_t(phase / 6), dx = uint32_t(phase % 6);
                Picture shifted{crop, crop, std::vector<uint16_t>(size_t(crop) * crop * 3)};
                for (uint32_t y = 0; y < crop; y++)
                    for (uint32_t x = 0; x < crop; x++)
                        for (int c = 0; c < 3; c++)
                            shifted.rgb[(size_t(y) * crop + x) * 3 + c] =
                                coloured.at(y + dy, x + dx, c);
                const std::vector<uint16_t> got =
                    Demosaic(Mosaic(shifted, layout), crop, crop, layout, master, 2);
                // Away from the mirrored edges, the same pixels.
                const uint32_t halo = 16;
                for (uint32_t y = halo; y + halo < crop; y++)
                    for (uint32_t x = halo; x + halo < crop; x++)
                        for (int c = 0; c < 3; c++)
                            ASSERT_EQ(got[(size_t(y) * crop + x) * 3 + c],
                                      reference[(size_t(y + dy) * coloured.width + x + dx) * 3 + c])
                                << "phase " << phase << " at " << x << "," << y;
            }
    }
}

// A photograph under shot and read noise (SNR about 8 at 18 % grey, on the
// sensor's side of the white balance) comes out closer to the clean one,
// in colour above all, than with red and blue fitted to every window's few
// samples, noise and all: 23.20 dB CPSNR on a 1/2.2 tone and 0.0535 of
// colour error then, 23.27 and 0.0530 with the lines taken only where the
// samples vary beyond the image's noise (23.26 and 0.0530 since; 23.28 and
// 0.0529 with a red or blue site's third colour off its sample's noise).
// Green taken from a red or blue site's own sample only where the step
// stands beyond the noise: 23.56 dB, where the sample's noise moves from
// lightness into colour, 0.0569; 0.0558 with the smooth rendering's gate
// looser and the fitted lines' firmer.
TEST(XTransDemosaic, NoiseIsNotFollowedIntoColour) {
    const Picture clean = PhotoCD("IMG0003.PCD");
    Picture noisy = clean;
    std::mt19937 random(8);
    const auto uniform = [&] { return (double(random()) + 0.5) / 4294967296.0; };
    // On the sensor red and blue take in less light than green, by the
    // white balance's gains, which then raise their noise with them.
    const double gain[3] = {2.0, 1.0, 1.6};
    for (size_t i = 0; i < noisy.rgb.size(); i++) {
        const double n = std::sqrt(-2 * std::log(uniform())) * std::cos(2 * M_PI * uniform());
        const double v = noisy.rgb[i] / gain[i % 3];
        noisy.rgb[i] = uint16_t(
            std::clamp((v + std::sqrt(92.0 * v + 1.09e6) * n) * gain[i % 3], 0.0, 65535.0));
    }
    const CFALayout layout = Layout(XTransColours(0));
    const uint32_t w = clean.width, h = clean.height;
    const std::vector<uint16_t> out = Demosaic(Mosaic(noisy, layout), w, h, layout, true);
    const double score = CPSNR(out.data(), clean.rgb.data(), w, h, 8);
    // The colour's error alone: red's and blue's difference from green, on
    // the same tone.
    double colourError = 0;
    size_t n = 0;
    for (uint32_t y = 8; y + 8 < h; y++)
        for (uint32_t x = 8; x + 8 < w; x++) {
            const size_t i = (size_t(y) * w + x) * 3;
            double tone[2][3];
            for (int c = 0; c < 3; c++) {
                tone[0][c] = std::pow(out[i + size_t(c)] / 65535.0, 1 / 2.2);
                tone[1][c] = std::pow(clean.rgb[i + size_t(c)] / 65535.0, 1 / 2.2);
            }
            for (int c : {0, 2}) {
                const double d = (tone[0][c] - tone[0][1]) - (tone[1][c] - tone[1][1]);
                colourError += d * d;
                n++;
            }
        }
    EXPECT_GT(score, 23.45);
    EXPECT_LT(std::sqrt(colourError / double(n)), 0.0565);
    // Green at a red or blue site may follow the site's noisy sample, which
    // stays; the third colour there (blue at a red site, red at a blue one)
    // follows it less when built on the green the site had before: the share
    // of the sample's noise each takes on, 0.384 and 0.469 (0.474 with the
    // third colour on the green that followed the sample); 0.244 and 0.293
    // with green gated on the noise too; 0.272 and 0.314 with the smooth
    // rendering's gate looser.
    double alongGreen = 0, alongThird = 0, noiseSquared = 0;
    for (uint32_t y = 8; y + 8 < h; y++)
        for (uint32_t x = 8; x + 8 < w; x++) {
            const int sampled = layout.colorAt(y, x);
            if (sampled == 1) continue;
            const size_t i = (size_t(y) * w + x) * 3;
            const auto error = [&](const uint16_t* rgb, int c) {
                return std::pow(rgb[i + size_t(c)] / 65535.0, 1 / 2.2) -
                       std::pow(clean.rgb[i + size_t(c)] / 65535.0, 1 / 2.2);
            };
            const double noise = error(noisy.rgb.data(), sampled);
            alongGreen += noise * error(out.data(), 1);
            alongThird += noise * error(out.data(), 2 - sampled);
            noiseSquared += noise * noise;
        }
    EXPECT_LT(alongThird / noiseSquared, 0.4716);
    EXPECT_LT(alongGreen / noiseSquared, 0.39);
}

// A scanner's flat grey border beside a picture of coloured texture: the
// border's pixels next to the picture stay grey, whether the picture lies
// beside the border or below it.
TEST(XTransDemosaic, AGreyBorderBesideAPictureTakesNoColourFromIt) {
    const uint32_t size = 96, edge = 48;
    const CFALayout layout = Layout(XTransColours(0));
    std::mt19937 random(5);
    const auto uniform = [&] { return (double(random()) + 0.5) / 4294967296.0; };
    for (bool below : {false, true}) {
        // Dark grey, as a scan's border; the picture yellowish, its colour
        // varying from pixel to pixel.
        Picture p = Flat(size, size, {3200, 3200, 3200});
        for (uint32_t y = 0; y < size; y++)
            for (uint32_t x = 0; x < size; x++) {
                if ((below ? y : x) < edge) continue;
                const double g = 6000 + 14000 * uniform();
                const double colour[3] = {g * (0.85 + 0.3 * uniform()), g,
                                          g * (0.45 + 0.3 * uniform())};
                for (int c = 0; c < 3; c++)
                    p.rgb[(size_t(y) * size + x) * 3 + size_t(c)] = uint16_t(colour[c]);
            }
        for (bool master : {true, false}) {
            const std::vector<uint16_t> out =
                Demosaic(Mosaic(p, layout), size, size, layout, master);
            // The mean departure from grey of the two rows or columns next
            // to the picture, in 8-bit levels on a 1/2.2 tone (before the
            // fit kept to the border's side: 1.5 and 1.1 in the master).
            double sum = 0;
            int n = 0;
            for (uint32_t along = 8; along + 8 < size; along++)
                for (uint32_t across = edge - 2; across < edge; across++) {
                    const uint32_t y = below ? across : along, x = below ? along : across;
                    const uint16_t* px = &out[(size_t(y) * size + x) * 3];
                    auto tone = [](double v) { return 255 * std::pow(v / 65535.0, 1 / 2.2); };
                    for (int c : {0, 2}) {
                        sum += std::fabs(tone(px[c]) - tone(px[1]));
                        n++;
                    }
                }
            EXPECT_LT(sum / n, below ? 0.95 : 1.35)
                << (below ? "below" : "beside") << (master ? " master" : " alternate");
        }
    }
}

// A flat grey part beside faintly tinted grey texture (a scan's border): the
// grey side's two columns at the step take little of the texture's tint
// (0.30 of 8-bit levels on a 1/2.2 tone before near-grey parts were greyed
// by their samples' balance), and the texture keeps most of its own.
TEST(XTransDemosaic, NearGreyPartsTakeNoTintFromTheirNeighbours) {
    const uint32_t size = 96, edge = 48;
    const CFALayout layout = Layout(XTransColours(0));
    std::mt19937 random(11);
    const auto uniform = [&] { return (double(random()) + 0.5) / 4294967296.0; };
    auto tone = [](double v) { return 255 * std::pow(v / 65535.0, 1 / 2.2); };
    // The mean of (red or blue) less green on the tone over columns [x0, x1).
    const auto tint = [&](const std::vector<uint16_t>& out, uint32_t x0, uint32_t x1, int c) {
        double sum = 0;
        int n = 0;
        for (uint32_t y = 8; y + 8 < size; y++)
            for (uint32_t x = x0; x < x1; x++) {
                const uint16_t* px = &out[(size_t(y) * size + x) * 3];
                sum += tone(px[c]) - tone(px[1]);
                n++;
            }
        return sum / n;
    };
    Picture p = Flat(size, size, {7000, 7000, 7000});
    for (uint32_t y = 0; y < size; y++)
        for (uint32_t x = edge; x < size; x++) {
            const double g = 7000 * (0.96 + 0.08 * uniform());
            const double colour[3] = {g * 1.03, g, g * 1.03};
            for (int c = 0; c < 3; c++)
                p.rgb[(size_t(y) * size + x) * 3 + size_t(c)] = uint16_t(colour[c]);
        }
    const std::vector<uint16_t> out = Demosaic(Mosaic(p, layout), size, size, layout, false);
    const std::vector<uint16_t> truth = p.rgb;
    for (int c : {0, 2}) {
        EXPECT_LT(std::fabs(tint(out, edge - 2, edge, c)), 0.28) << "colour " << c;
        const double own = tint(truth, edge + 4, size - 8, c);
        EXPECT_NEAR(tint(out, edge + 4, size - 8, c), own, 0.2 * own) << "colour " << c;
    }
}

// The whole DNG road: a photograph's X-Trans mosaic, at another phase and in
// tiles, develops to within 37.5 dB CPSNR (on a 1/2.2 tone) of its LinearRaw
// twin, which differ; through LibRaw the same mosaic
// reaches our own demosaic.
TEST(XTransDecode, APhotographDevelopsCloseToItsLinearRawTwinOnBothRoads) {
    testsupport::ScratchDir dir;
    const Picture photo = PhotoCD("IMG0023.PCD");
    ASSERT_EQ(photo.width, 768u);
    auto twin = Open(WriteLinear(dir.path() / "linear.dng", photo));
    const uint16_t* truth = twin->masterImageBytes();
    ASSERT_NE(truth, nullptr) << twin->error()->description();
    const CFALayout layout = Layout(XTransColours(15));
    auto xtrans = Open(WriteCFA(dir.path() / "xtrans.dng", photo, layout, 256));
    const uint16_t* master = xtrans->masterImageBytes();
    ASSERT_NE(master, nullptr) << xtrans->error()->description();
    const uint16_t* alternate = xtrans->alternateImageBytes();
    ASSERT_NE(alternate, nullptr);
    ASSERT_EQ(xtrans->imageWidth(), photo.width);
    const double masterScore = CPSNR(master, truth, photo.width, photo.height, 8);
    const double alternateScore = CPSNR(alternate, truth, photo.width, photo.height, 8);
    EXPECT_GT(masterScore, 37.5);
    EXPECT_GT(alternateScore, 37.5);
    // Two renderings, not one twice.
    const double apart = CPSNR(master, alternate, photo.width, photo.height, 8);
    EXPECT_LT(apart, 50.0);

    rawWrapper::setDecodesDNGThroughLibRaw(true);
    auto viaLibRaw = Open(WriteCFA(dir.path() / "xtrans-strips.dng", photo, layout));
    const uint16_t* libRawMaster = viaLibRaw->masterImageBytes();
    rawWrapper::setDecodesDNGThroughLibRaw(false);
    ASSERT_NE(libRawMaster, nullptr) << viaLibRaw->error()->description();
    // Only our demosaic gives two renderings.
    EXPECT_NE(viaLibRaw->alternateImageBytes(), nullptr);
    ASSERT_EQ(viaLibRaw->imageWidth(), photo.width);
    EXPECT_GT(CPSNR(libRawMaster, master, photo.width, photo.height, 8), 45.0);
}

// On a neutral zone plate the alternate stays near grey and close to the
// plate half way out (to a quarter of the sampling rate), and near grey out
// to 0.8 of the way; the master keeps more of the fine rings. Made in one
// pass, both are the same. Further out, where the rings near the layout's
// aliasing (about a third of the sampling rate) make green busy, the
// master's colour is damped towards grey rather than drawn as magenta and
// green rings.
TEST(XTransDemosaic, AlternateDrawsNoMazeOnAZonePlate) {
    const Picture zone = ZonePlate(192);
    const CFALayout layout = Layout(XTransColours(0));
    const std::vector<uint16_t> mosaic = Mosaic(zone, layout);
    const std::vector<uint16_t> alternate = Demosaic(mosaic, 192, 192, layout, false);
    const std::vector<uint16_t> master = Demosaic(mosaic, 192, 192, layout, true);
    // The one pass that makes both gives the very same samples.
    std::vector<uint16_t> both[2] = {std::vector<uint16_t>(master.size()),
                                     std::vector<uint16_t>(master.size())};
    DemosaicXTransBoth({mosaic.data(), 192, 192, 192, layout}, both[0].data(), both[1].data(), 5);
    EXPECT_EQ(both[0], master);
    EXPECT_EQ(both[1], alternate);
    double worstChroma = 0, alternateError = 0, masterError = 0, fineChroma = 0;
    double alternateChroma = 0;
    size_t n = 0, fine = 0, inner = 0;
    for (uint32_t y = 0; y < 192; y++)
        for (uint32_t x = 0; x < 192; x++) {
            const double r = std::hypot(x - 95.5, y - 95.5);
            const size_t i = (size_t(y) * 192 + x) * 3;
            if (r <= 0.8 * 96) {
                const auto [lo, hi] =
                    std::minmax({alternate[i], alternate[i + 1], alternate[i + 2]});
                alternateChroma += double(hi - lo) / 65535;
                inner++;
            }
            if (r >= 0.6 * 96 && r <= 0.8 * 96) {
                const auto [lo, hi] = std::minmax({master[i], master[i + 1], master[i + 2]});
                fineChroma += double(hi - lo) / 65535;
                fine++;
            }
            if (r > 0.5 * 96) continue;
            const auto [lo, hi] = std::minmax({alternate[i], alternate[i + 1], alternate[i + 2]});
            worstChroma = std::max(worstChroma, double(hi - lo) / 65535);
            alternateError += std::fabs(double(alternate[i + 1]) - zone.rgb[i + 1]) / 65535;
            masterError += std::fabs(double(master[i + 1]) - zone.rgb[i + 1]) / 65535;
            n++;
        }
    // Grey by its samples, the plate takes the master's blend and a clamp
    // that reaches towards green: at most 0.055 and 0.0075 on the mean out
    // to 0.8 R; the alternate's own gentle blend, or the plain clamp, drew
    // magenta and green rings (0.11 and 0.013), and a clamp and fit that
    // judged grey by the samples' ranges alone left 0.065 half way out.
    EXPECT_LT(worstChroma, 0.06);
    EXPECT_LT(alternateChroma / double(inner), 0.009);
    EXPECT_LT(alternateError / double(n), 0.004);
    EXPECT_LT(masterError, alternateError);
    EXPECT_LT(fineChroma / double(fine), 0.022);
}

// The vectorised steps against their plain pixel-by-pixel form, on a
// photograph (X-Trans, and the 2 x 4 layout's wider search), a zone plate,
// noise (every order of the median's nine, over the whole range) and thin
// dark lines on saturated grounds at every slant, where the line detector
// runs at most sites: the same samples but for rounding, and the mosaic's
// own samples unchanged.
TEST(XTransDemosaic, TheFastBlendMatchesItsPlainForm) {
    const Picture photo = PhotoCD("IMG0003.PCD");
    const Picture zone = ZonePlate(160);
    const Picture lines = ThinLines(192);
    // Strips of the lines across the grounds' border, narrower and lower
    // than the detector's window: what it reads near a picture's edge is
    // mirrored, never beyond the tile.
    auto strip = [&](uint32_t x0, uint32_t y0, uint32_t w, uint32_t h) {
        Picture p{w, h, std::vector<uint16_t>(size_t(w) * h * 3)};
        for (uint32_t y = 0; y < h; y++)
            for (uint32_t x = 0; x < w; x++)
                for (size_t c = 0; c < 3; c++)
                    p.rgb[(size_t(y) * w + x) * 3 + c] =
                        lines.rgb[((size_t(y) + y0) * lines.width + x + x0) * 3 + c];
        return p;
    };
    const Picture narrow = strip(101, 0, 7, 192), low = strip(0, 93, 192, 5),
                  small = strip(60, 90, 13, 11);
    Picture noise{301, 203, std::vector<uint16_t>(size_t(301) * 203 * 3)};
    std::mt19937 random(89);
    for (uint16_t& v : noise.rgb) v = uint16_t(random() >> 16);
    const std::vector<uint8_t> twoByFour = {0, 1, 2, 1, 1, 2, 1, 0};
    const struct {
        const Picture* picture;
        CFALayout layout;
    } cases[] = {{&photo, Layout(XTransColours(7))},
                 {&zone, Layout(XTransColours(0))},
                 {&noise, Layout(XTransColours(20))},
                 {&lines, Layout(XTransColours(3))},
                 {&narrow, Layout(XTransColours(5))},
                 {&low, Layout(XTransColours(14))},
                 {&small, Layout(XTransColours(31))},
                 {&photo, Layout(twoByFour, 2, 4)}};
    for (const auto& c : cases) {
        const Picture& p = *c.picture;
        const std::vector<uint16_t> mosaic = Mosaic(p, c.layout);
        const MosaicPlane plane{mosaic.data(), p.width, p.height, p.width, c.layout};
        std::vector<std::vector<uint16_t>> out(4, std::vector<uint16_t>(p.rgb.size()));
        DemosaicXTransBoth(plane, out[0].data(), out[1].data(), 3);
        DemosaicXTransReference(plane, out[2].data(), out[3].data(), 2);
        // Each pixel keeps the sample it has: only the other two colours
        // are estimated, in every form and rendering.
        for (const std::vector<uint16_t>& rgb : out)
            for (uint32_t y = 0; y < p.height; y++)
                for (uint32_t x = 0; x < p.width; x++) {
                    const size_t i = size_t(y) * p.width + x;
                    ASSERT_EQ(rgb[i * 3 + c.layout.colorAt(y, x)], mosaic[i])
                        << p.width << " at " << x << "," << y;
                }
        for (int r = 0; r < 2; r++) {
            int worst = 0;
            size_t differing = 0;
            for (size_t i = 0; i < p.rgb.size(); i++) {
                const int d = std::abs(int(out[r][i]) - int(out[r + 2][i]));
                worst = std::max(worst, d);
                differing += d > 0;
            }
            // Lines fitted to noise over the whole range carry a rounding
            // of the steps before a few levels further.
            EXPECT_LE(worst, c.picture == &noise ? 12 : 2)
                << p.width << (r ? " alternate" : " master");
            EXPECT_LT(differing, p.rgb.size() / 100) << p.width << (r ? " alternate" : " master");
        }
        EXPECT_NE(out[0], out[1]);
    }
}

// Thin lines on yellow and red over several tiles, where the line detector
// and the colours it sets reach furthest from a site: the picture must not
// depend on where tiles and bands fall. Any number of bands, and any area
// developed alone (its tiles start at its corner), give the same samples as
// the whole in one band, in both renderings.
TEST(XTransDemosaic, TilesAndBandsLeaveNoSeamOnThinLines) {
    const Picture p = ThinLines(400);
    for (int phase : {0, 9, 22}) {
        const CFALayout layout = Layout(XTransColours(phase));
        const std::vector<uint16_t> mosaic = Mosaic(p, layout);
        const MosaicPlane plane{mosaic.data(), p.width, p.height, p.width, layout};
        std::vector<uint16_t> master(p.rgb.size()), alternate(p.rgb.size());
        DemosaicXTransBoth(plane, master.data(), alternate.data(), 1);
        for (unsigned bands : {2u, 3u, 7u}) {
            std::vector<uint16_t> m(p.rgb.size()), a(p.rgb.size());
            DemosaicXTransBoth(plane, m.data(), a.data(), bands);
            EXPECT_EQ(m, master) << "phase " << phase << ", " << bands << " bands";
            EXPECT_EQ(a, alternate) << "phase " << phase << ", " << bands << " bands";
        }
        // Three pixels and more from any line the ground stays the ground
        // (in 16-bit samples; what a line's colours took wrongly beside it
        // stood thousands off on red).
        for (const std::vector<uint16_t>* out : {&master, &alternate}) {
            int worst[2] = {};
            for (uint32_t y = 3; y + 3 < p.height; y++)
                for (uint32_t x = 3; x + 3 < p.width; x++) {
                    const size_t k = size_t(y) * p.width + x;
                    const bool red = y >= p.height / 2;
                    bool ground = y + 3 < p.height / 2 || y >= p.height / 2 + 3;
                    for (int dy = -3; dy <= 3 && ground; dy++)
                        for (int dx = -3; dx <= 3 && ground; dx++)
                            ground = p.rgb[(k + size_t(dy * int(p.width) + dx)) * 3 + 1] ==
                                     p.rgb[k * 3 + 1];
                    for (size_t c = 0; c < 3 && ground; c++)
                        worst[red] = std::max(worst[red], std::abs(int((*out)[k * 3 + c]) -
                                                                   int(p.rgb[k * 3 + c])));
                }
            EXPECT_LE(worst[0], 2500) << "yellow, phase " << phase;
            EXPECT_LE(worst[1], 1000) << "red, phase " << phase;
        }
        for (const RawCrop area : {RawCrop{37, 53, 300, 250}, RawCrop{131, 0, 269, 400},
                                   RawCrop{0, 199, 400, 77}}) {
            std::vector<uint16_t> part(size_t(area.width) * area.height * 3);
            DemosaicXTransArea(plane, area, part.data(), 3);
            size_t differing = 0;
            for (uint32_t y = 0; y < area.height; y++)
                for (uint32_t x = 0; x < area.width; x++)
                    for (size_t c = 0; c < 3; c++)
                        differing +=
                            part[(size_t(y) * area.width + x) * 3 + c] !=
                            master[((size_t(y) + area.top) * p.width + x + area.left) * 3 + c];
            EXPECT_EQ(differing, 0u) << "phase " << phase << ", area at " << area.left << ","
                                     << area.top;
        }
    }
}

// Slanted edges between saturated colours (and black and white), 11 degrees
// off the vertical, each pixel's share of 8 x 8 sub-samples of the far side
// mixing the sides' 8-bit sRGB values. Once with the sides' linear values as
// the camera's (the picture mixed in linear light): no estimate of red or
// blue beyond both sides' values, and no pixel more than 4 levels (as an
// 8-bit grey) darker than the darker side, which is what drew a dotted line
// along such edges. Once through a camera's matrix (white balanced) and back
// to sRGB, as a raw developer sees such a picture: no channel of any pixel
// further from the picture's than each edge's limit, where colour
// differences carried across the edge stood 55 to 82 levels off (33 on
// black and white). Blue against yellow, whose blue varies far less than its
// green, reaches 40 (56 while green at its blue sites trusted the blue sample).
TEST(XTransDemosaic, SaturatedEdgesGainNoDarkOrColouredDots) {
    const struct {
        std::array<std::array<int, 3>, 2> sides;
        double limit;
    } edges[] = {{{{{150, 20, 30}, {235, 200, 20}}}, 45},
                 {{{{170, 20, 20}, {235, 235, 235}}}, 45},
                 {{{{30, 40, 160}, {230, 210, 40}}}, 42},
                 {{{{180, 30, 30}, {40, 150, 40}}}, 45},
                 {{{{30, 30, 30}, {230, 230, 230}}}, 30}};
    const uint32_t size = 96;
    const CFALayout layout = Layout(XTransColours(0));
    auto linear = [](double v) {
        const double e = v / 255.0;
        return e <= 0.04045 ? e / 12.92 : std::pow((e + 0.055) / 1.055, 2.4);
    };
    auto encoded = [](double v) {
        const double e = std::clamp(v, 0.0, 1.0);
        return 255 * (e <= 0.0031308 ? 12.92 * e : 1.055 * std::pow(e, 1 / 2.4) - 0.055);
    };
    // Linear Rec. 709 to a plausible camera's balanced values: XYZ to
    // camera, each channel over white's.
    const double toXYZ[3][3] = {
        {0.4124, 0.3576, 0.1805}, {0.2126, 0.7152, 0.0722}, {0.0193, 0.1192, 0.9505}};
    const double toCamera[3][3] = {
        {0.9366, -0.2761, -0.1179}, {-0.6076, 1.3955, 0.2370}, {-0.1839, 0.2809, 0.7750}};
    double forward[3][3] = {};
    for (int i = 0; i < 3; i++)
        for (int j = 0; j < 3; j++)
            for (int k = 0; k < 3; k++) forward[i][j] += toCamera[i][k] * toXYZ[k][j];
    for (auto& row : forward) {
        const double white = row[0] + row[1] + row[2];
        for (double& v : row) v *= 0.9 / white;
    }
    // Its inverse, by cofactors.
    double back[3][3];
    const double det =
        forward[0][0] * (forward[1][1] * forward[2][2] - forward[1][2] * forward[2][1]) -
        forward[0][1] * (forward[1][0] * forward[2][2] - forward[1][2] * forward[2][0]) +
        forward[0][2] * (forward[1][0] * forward[2][1] - forward[1][1] * forward[2][0]);
    for (int i = 0; i < 3; i++)
        for (int j = 0; j < 3; j++) {
            const int r0 = (j + 1) % 3, r1 = (j + 2) % 3, c0 = (i + 1) % 3, c1 = (i + 2) % 3;
            back[i][j] =
                (forward[r0][c0] * forward[r1][c1] - forward[r0][c1] * forward[r1][c0]) / det;
        }
    for (const auto& [edge, limit] : edges) {
        // Each pixel's share of the far side, and its sRGB values mixed as
        // an 8-bit picture's are.
        std::vector<double> share(size_t(size) * size);
        std::vector<std::array<double, 3>> srgb(share.size());
        const double nx = std::cos(11 * M_PI / 180), ny = std::sin(11 * M_PI / 180);
        for (uint32_t y = 0; y < size; y++)
            for (uint32_t x = 0; x < size; x++) {
                int far = 0;
                for (int j = 0; j < 8; j++)
                    for (int i = 0; i < 8; i++)
                        far += (x + (i + 0.5) / 8 - size / 2.0) * nx +
                                   (y + (j + 0.5) / 8 - size / 2.0) * ny >
                               0;
                const size_t i = size_t(y) * size + x;
                share[i] = far / 64.0;
                for (int c = 0; c < 3; c++)
                    srgb[i][size_t(c)] =
                        edge[0][size_t(c)] + (edge[1][size_t(c)] - edge[0][size_t(c)]) * share[i];
            }
        const std::string name = std::to_string(edge[0][0]) + "," + std::to_string(edge[0][1]) +
                                 "," + std::to_string(edge[0][2]);
        // In camera values: linear light mixed, no dark dots.
        {
            Picture p{size, size, std::vector<uint16_t>(size_t(size) * size * 3)};
            double side[2][3];
            for (int k = 0; k < 2; k++)
                for (int c = 0; c < 3; c++) side[k][c] = 65535 * linear(edge[size_t(k)][size_t(c)]);
            for (size_t i = 0; i < share.size(); i++)
                for (int c = 0; c < 3; c++)
                    p.rgb[i * 3 + size_t(c)] =
                        uint16_t(std::lround(side[0][c] + (side[1][c] - side[0][c]) * share[i]));
            auto level = [&](double r, double g, double b) {
                return encoded((0.2126 * r + 0.7152 * g + 0.0722 * b) / 65535);
            };
            const double darker = std::min(level(side[0][0], side[0][1], side[0][2]),
                                           level(side[1][0], side[1][1], side[1][2]));
            for (bool master : {true, false}) {
                const std::vector<uint16_t> out =
                    Demosaic(Mosaic(p, layout), size, size, layout, master);
                double overshoot = 0, below = 0;
                for (uint32_t y = 8; y + 8 < size; y++)
                    for (uint32_t x = 8; x + 8 < size; x++) {
                        const uint16_t* px = &out[(size_t(y) * size + x) * 3];
                        for (int c : {0, 2}) {
                            const auto [lo, hi] = std::minmax(side[0][c], side[1][c]);
                            overshoot = std::max({overshoot, lo - px[c], px[c] - hi});
                        }
                        below = std::max(below, darker - level(px[0], px[1], px[2]));
                    }
                EXPECT_LE(overshoot, 2.0) << name << (master ? " master" : " alternate");
                EXPECT_LE(below, 4.0) << name << (master ? " master" : " alternate");
            }
        }
        // Through the camera's matrix and back.
        Picture p{size, size, std::vector<uint16_t>(size_t(size) * size * 3)};
        for (size_t i = 0; i < srgb.size(); i++)
            for (int c = 0; c < 3; c++) {
                double v = 0;
                for (int k = 0; k < 3; k++) v += forward[c][k] * linear(srgb[i][size_t(k)]);
                p.rgb[i * 3 + size_t(c)] = uint16_t(std::lround(65535 * std::clamp(v, 0.0, 1.0)));
            }
        for (bool master : {true, false}) {
            const std::vector<uint16_t> out =
                Demosaic(Mosaic(p, layout), size, size, layout, master);
            double worst = 0;
            for (uint32_t y = 8; y + 8 < size; y++)
                for (uint32_t x = 8; x + 8 < size; x++) {
                    const size_t i = size_t(y) * size + x;
                    for (int c = 0; c < 3; c++) {
                        double v = 0;
                        for (int k = 0; k < 3; k++)
                            v += back[c][k] * out[i * 3 + size_t(k)] / 65535.0;
                        worst = std::max(worst, std::fabs(encoded(v) - srgb[i][size_t(c)]));
                    }
                }
            EXPECT_LE(worst, limit) << name << (master ? " master" : " alternate");
        }
    }
}

// Layouts that cannot be right, and a cut file: a line naming the file.
TEST(XTransDecode, BadPatternsFailClearly) {
    testsupport::ScratchDir dir;
    const Picture flat = Flat(36, 24, {20000, 30000, 12000});
    struct Case {
        const char* file;
        std::vector<double> repeat;
        std::vector<double> pattern;
        const char* says;
        std::vector<double> planeColours = {};
    };
    std::vector<double> noBlue(36), beyond(36), fourColour(36);
    for (size_t i = 0; i < 36; i++) {
        const uint8_t v = XTransColours(0)[i];
        noBlue[i] = v == 2 ? 0 : v;
        beyond[i] = i == 7 ? 5 : v;
        fourColour[i] = v == 2 && i % 2 ? 3 : v;
    }
    const std::vector<Case> cases = {
        {"no-blue.dng", {6, 6}, noBlue, "no blue filter"},
        {"beyond.dng", {6, 6}, beyond, "names a colour that none"},
        {"none.dng", {0, 0}, {1}, "does not repeat within 1 to 8"},
        {"nine.dng", {9, 9}, std::vector<double>(81, 1), "does not repeat within 1 to 8"},
        {"four.dng", {6, 6}, fourColour, "red, green, blue and cyan filters", {0, 1, 2, 3}},
    };
    for (const Case& c : cases) {
        negtest::DngSpec spec;
        spec.width = flat.width;
        spec.height = flat.height;
        spec.cfaRepeat = c.repeat;
        spec.cfaPattern = c.pattern;
        spec.cfaPlaneColor = c.planeColours;
        if (!c.planeColours.empty())
            spec.colorMatrix = {0.8, -0.2, -0.1, -0.3, 1.2, 0.1, -0.05, 0.2, 0.6, 0.1, 0.3, 0.1};
        const fs::path path = dir.path() / c.file;
        ASSERT_TRUE(negtest::WriteDng(path.string(), spec, std::vector<uint16_t>(36 * 24, 1000)));
        auto raw = Open(path);
        EXPECT_EQ(raw->masterImageBytes(), nullptr) << c.file;
        ASSERT_TRUE(raw->error()) << c.file;
        const std::string line = raw->error()->description();
        EXPECT_NE(line.find(c.file), std::string::npos) << line;
        EXPECT_NE(line.find(c.says), std::string::npos) << line;
        EXPECT_EQ(line.find('\n'), std::string::npos) << line;
    }
    // A cut file.
    const fs::path whole = WriteCFA(dir.path() / "whole.dng", Flat(96, 64, {20000, 30000, 12000}),
                                    Layout(XTransColours(0)));
    std::vector<char> bytes(fs::file_size(whole));
    std::ifstream(whole, std::ios::binary).read(bytes.data(), std::streamsize(bytes.size()));
    const fs::path cut = dir.path() / "cut.dng";
    std::ofstream(cut, std::ios::binary).write(bytes.data(), std::streamsize(bytes.size() / 2));
    auto cutRaw = Open(cut);
    EXPECT_EQ(cutRaw->masterImageBytes(), nullptr);
    ASSERT_TRUE(cutRaw->error());
    EXPECT_NE(cutRaw->error()->description().find("\"cut.dng\""), std::string::npos)
        << cutRaw->error()->description();
    // A width that is no multiple of the repeat is a crop any camera may make.
    auto odd = Open(WriteCFA(dir.path() / "odd.dng", Flat(37, 23, {20000, 30000, 12000}),
                             Layout(XTransColours(4))));
    EXPECT_NE(odd->masterImageBytes(), nullptr) << odd->error()->description();
}

// Asked for the master only in bands along the edges, a decode makes the
// same alternate and, in those bands of the cropped and turned picture, the
// master's very pixels; both layouts, a few turns.
TEST(XTransDecode, AMasterKeptAlongTheEdgesIsTheWholeOnesThere) {
    testsupport::ScratchDir dir;
    const Picture photo = PhotoCD("IMG0003.PCD");
    const std::vector<uint8_t> bayer = {0, 1, 1, 2};
    const struct {
        CFALayout layout;
        uint16_t orientation;
    } cases[] = {{Layout(XTransColours(15)), 6},
                 {Layout(XTransColours(4)), 1},
                 {Layout(bayer, 2, 2), 8},
                 {Layout(bayer, 2, 2), 3}};
    constexpr uint32_t kBorder = 8;
    int n = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(n);
        negtest::DngSpec spec;
        spec.width = photo.width;
        spec.height = photo.height;
        spec.tile = 256;
        spec.orientation = c.orientation;
        spec.cropOrigin = {10, 6};
        spec.cropSize = {double(photo.width - 23), double(photo.height - 17)};
        spec.cfaRepeat = {double(c.layout.rows()), double(c.layout.cols())};
        spec.cfaPattern.clear();
        for (uint32_t r = 0; r < c.layout.rows(); r++)
            for (uint32_t col = 0; col < c.layout.cols(); col++)
                spec.cfaPattern.push_back(c.layout.colorAt(r, col));
        const fs::path file = dir.path() / ("edges" + std::to_string(n++) + ".dng");
        ASSERT_TRUE(negtest::WriteDng(file.string(), spec, Mosaic(photo, c.layout)));
        auto whole = Open(file), banded = Open(file);
        banded->setMasterEdgeBands(kBorder);
        ASSERT_TRUE(whole->masterImageBytes() && banded->masterImageBytes());
        ASSERT_EQ(banded->masterEdgeBands(), kBorder);
        const uint32_t W = whole->imageWidth(), H = whole->imageHeight();
        ASSERT_EQ(c.orientation >= 5 ? H : W, photo.width - 23);
        EXPECT_TRUE(std::equal(whole->alternateImageBytes(),
                               whole->alternateImageBytes() + size_t(W) * H * 3,
                               banded->alternateImageBytes()));
        const EdgeBands bands{W, H, kBorder};
        size_t inBands = 0, differing = 0;
        for (uint32_t y = 0; y < H; y++)
            for (uint32_t x = 0; x < W; x++)
                if (const auto run = bands.at(x, y); run.pixels > 0) {
                    ++inBands;
                    differing += !std::equal(banded->masterImageBytes() + run.sample,
                                             banded->masterImageBytes() + run.sample + 3,
                                             whole->masterImageBytes() + (size_t(y) * W + x) * 3);
                }
        EXPECT_EQ(inBands, bands.pixels());
        EXPECT_EQ(differing, 0u);
    }
}

// Thin dark lines (mortar, letter outlines, spokes), one and two pixels wide,
// on saturated yellow and red at six angles: the X-Trans render's green on
// the lines stays within a few levels of the LinearRaw render's, and so do
// red and blue. Lines between a row or column and a diagonal turned green at
// their blue and red sites, whose green came from the ground beside them;
// then red and blue at their green sites, from the yellow beside them, left
// them dotted red and purple.
TEST(XTransDecode, ThinDarkLinesStayDarkAtEveryAngle) {
    testsupport::ScratchDir dir;
    auto linear = [](double v) {
        const double e = v / 255.0;
        return e <= 0.04045 ? e / 12.92 : std::pow((e + 0.055) / 1.055, 2.4);
    };
    auto encoded = [](double v) {
        const double e = std::clamp(v / 65535, 0.0, 1.0);
        return 255 * (e <= 0.0031308 ? 12.92 * e : 1.055 * std::pow(e, 1 / 2.4) - 0.055);
    };
    // Yellow; red, where green is lighter on the line than off it; red with
    // a little green, which the line darkens far less than red (as a
    // camera's green sees a red ground).
    const std::array<std::array<double, 3>, 3> grounds = {
        {{230, 210, 40}, {170, 20, 20}, {170, 50, 20}}};
    const char* const names[] = {"yellow", "red", "scarlet"};
    const double angles[] = {0, 14, 33, 45, 71, 90};
    constexpr uint32_t kCell = 48;
    const uint32_t width = kCell * 6, height = kCell * 6;
    // Each pixel's share of line, from 4 x 4 sub-samples; cells of lines 10
    // pixels apart, rows: ground, then width.
    Picture p{width, height, std::vector<uint16_t>(size_t(width) * height * 3)};
    std::vector<double> share(size_t(width) * height);
    for (uint32_t y = 0; y < height; y++)
        for (uint32_t x = 0; x < width; x++) {
            const uint32_t row = y / kCell, column = x / kCell;
            const double lineWidth = 1.0 + row % 2, angle = angles[column] * M_PI / 180;
            int on = 0;
            for (int j = 0; j < 4; j++)
                for (int i = 0; i < 4; i++) {
                    const double u = x % kCell + (i + 0.5) / 4, v = y % kCell + (j + 0.5) / 4;
                    on += std::fmod(u * std::cos(angle) + v * std::sin(angle) + 1000, 10.0) <
                          lineWidth;
                }
            const size_t k = size_t(y) * width + x;
            share[k] = on / 16.0;
            for (int c = 0; c < 3; c++) {
                const double ground = linear(grounds[row / 2][size_t(c)]), dark = linear(25);
                p.rgb[k * 3 + size_t(c)] =
                    uint16_t(std::lround(65535 * (ground + (dark - ground) * share[k])));
            }
        }
    auto truth = Open(WriteLinear(dir.path() / "lines-linear.dng", p));
    auto xtrans = Open(WriteCFA(dir.path() / "lines-xtrans.dng", p, Layout(XTransColours(0))));
    ASSERT_NE(truth->masterImageBytes(), nullptr);
    ASSERT_NE(xtrans->masterImageBytes(), nullptr);
    const uint16_t* ours = xtrans->masterImageBytes();
    {
        for (uint32_t row = 0; row < 6; row++)
            for (uint32_t column = 0; column < 6; column++) {
                // Green too high on the pixels mostly line, in 8-bit levels;
                // red's and blue's mean.
                std::vector<double> excess;
                std::array<double, 3> colours{};
                for (uint32_t y = row * kCell + 6; y < (row + 1) * kCell - 6; y++)
                    for (uint32_t x = column * kCell + 6; x < (column + 1) * kCell - 6; x++) {
                        const size_t k = size_t(y) * width + x;
                        if (share[k] < 0.5) continue;
                        for (size_t c = 0; c < 3; c += 2)
                            colours[c] += encoded(ours[k * 3 + c]) -
                                          encoded(truth->masterImageBytes()[k * 3 + c]);
                        excess.push_back(encoded(ours[k * 3 + 1]) -
                                         encoded(truth->masterImageBytes()[k * 3 + 1]));
                    }
                ASSERT_FALSE(excess.empty());
                std::sort(excess.begin(), excess.end());
                double mean = 0;
                for (double e : excess) mean += e / double(excess.size());
                const double p95 = excess[excess.size() * 95 / 100];
                const std::string cell = std::string(names[row / 2]) + " width " +
                                         std::to_string(1 + row % 2) + " at " +
                                         std::to_string(int(angles[column]));
                EXPECT_LE(mean, 8.0) << cell;
                EXPECT_LE(p95, row / 2 == 2 ? 30.0 : 24.0) << cell;
                // Red and blue near the truth's on yellow, and not above it
                // enough to show as dots along the line. On red the line's
                // red is seen by the red sites alone, a few to a line, and
                // stays above the truth's, but taken down by the shape they
                // fit, with green's help where green sees the line at all.
                for (size_t c = 0; c < 3; c += 2) {
                    const double bias = colours[c] / double(excess.size());
                    const uint32_t ground = row / 2;
                    if (ground == 0) {
                        EXPECT_LE(std::fabs(bias), 18.0) << cell << (c ? " blue" : " red");
                        EXPECT_LE(bias, 10.0) << cell << (c ? " blue" : " red");
                    } else if (c == 0) {
                        const double most =
                            ground == 1 ? (row % 2 ? 40.0 : 64.0) : (row % 2 ? 18.0 : 36.0);
                        EXPECT_LE(bias, most) << cell << " red";
                        EXPECT_GE(bias, -18.0) << cell << " red";
                    }
                }
            }
    }
    // Lines one pixel wide on a yellow whose red stands above green, in the
    // values a camera gives it: at a red site the line covers wholly, green
    // comes down as far as the site's own sample does, not only to the
    // shallower line that a one-pixel line's partly covered greens fit (the
    // smooth rendering, where nothing takes the site's sample back later).
    {
        constexpr uint32_t kWide = 192, kHigh = 256;
        const CFALayout layout = Layout(XTransColours(0));
        const std::array<double, 3> yellow = {41007, 31031, 9999}, dark = {585, 611, 720};
        for (double degrees : {14.0, 33.0, 71.0}) {
            const double angle = degrees * M_PI / 180;
            Picture q{kWide, kHigh, std::vector<uint16_t>(size_t(kWide) * kHigh * 3)};
            std::vector<double> on(size_t(kWide) * kHigh);
            for (uint32_t y = 0; y < kHigh; y++)
                for (uint32_t x = 0; x < kWide; x++) {
                    int n = 0;
                    for (int j = 0; j < 4; j++)
                        for (int i = 0; i < 4; i++)
                            n += std::fmod((x + (i + 0.5) / 4 - 96.0) * std::cos(angle) +
                                               (y + (j + 0.5) / 4 - 32.0) * std::sin(angle) +
                                               1000,
                                           10.0) < 1.0;
                    const size_t k = size_t(y) * kWide + x;
                    on[k] = n / 16.0;
                    for (size_t c = 0; c < 3; c++)
                        q.rgb[k * 3 + c] =
                            uint16_t(std::lround(yellow[c] + (dark[c] - yellow[c]) * on[k]));
                }
            const std::vector<uint16_t> out =
                Demosaic(Mosaic(q, layout), kWide, kHigh, layout, /*master=*/false, 8);
            double most = 0;
            int sites = 0;
            for (uint32_t y = 8; y < kHigh - 8; y++)
                for (uint32_t x = 72; x < 120; x++) {
                    const size_t k = size_t(y) * kWide + x;
                    if (on[k] < 0.9 || layout.colorAt(y, x) != 0) continue;
                    most = std::max(most, encoded(out[k * 3 + 1]) - encoded(q.rgb[k * 3 + 1]));
                    sites++;
                }
            ASSERT_GT(sites, 4) << degrees;
            // At 71 degrees a few sites keep more of the interpolation's green.
            EXPECT_LE(most, degrees > 45 ? 30.0 : 6.0) << degrees;
        }
    }
    // On the red grounds the ground beside the lines stays the ground: no
    // dark or olive dots where the truth is flat around a pixel.
    for (uint32_t ground : {1u, 2u}) {
        int flat = 0, off = 0;
        for (uint32_t y = ground * 2 * kCell + 6; y < (ground + 1) * 2 * kCell - 6; y++)
            for (uint32_t x = 6; x < width - 6; x++) {
                if (x % kCell < 6 || x % kCell >= kCell - 6) continue;
                bool still = true;
                for (int dy = -1; dy <= 1; dy++)
                    for (int dx = -1; dx <= 1; dx++)
                        still =
                            still && share[size_t(int(y) + dy) * width + size_t(int(x) + dx)] == 0;
                if (!still) continue;
                const size_t k = size_t(y) * width + x;
                double most = 0;
                for (size_t c = 0; c < 3; c++)
                    most = std::max(most, std::fabs(encoded(ours[k * 3 + c]) -
                                                    encoded(truth->masterImageBytes()[k * 3 + c])));
                flat++;
                off += most > 10;
            }
        ASSERT_GT(flat, 1000);
        // (On red the blend leaves green high beside the lines here and
        // there; with a little green in the ground hardly anywhere.)
        EXPECT_LE(100.0 * off / flat, ground == 1 ? 10.0 : 1.0) << names[ground];
    }
    // Lines one pixel wide along a diagonal and an anti-diagonal of greens
    // only: no red or blue site lies on them, and their red and blue must
    // still follow green down rather than stay the yellow ground's.
    {
        constexpr uint32_t kWide = 192, kHigh = 96;
        const CFALayout layout = Layout(XTransColours(0));
        auto onLine = [](uint32_t y, uint32_t x) { return x + y == 98 || x == y + 120; };
        Picture q{kWide, kHigh, std::vector<uint16_t>(size_t(kWide) * kHigh * 3)};
        for (uint32_t y = 0; y < kHigh; y++)
            for (uint32_t x = 0; x < kWide; x++) {
                for (int c = 0; c < 3; c++)
                    q.rgb[(size_t(y) * kWide + x) * 3 + size_t(c)] = uint16_t(
                        std::lround(65535 * linear(onLine(y, x) ? 25 : grounds[0][size_t(c)])));
                if (onLine(y, x)) {
                    ASSERT_EQ(layout.colorAt(y, x), 1u) << y << " " << x;
                }
            }
        const std::vector<uint16_t> out =
            Demosaic(Mosaic(q, layout), kWide, kHigh, layout, /*master=*/true);
        for (uint32_t x0 : {0u, 120u}) {
            std::array<double, 3> above{}, most{};
            int n = 0;
            for (uint32_t y = 8; y < kHigh - 8; y++)
                for (uint32_t x = x0 + 8; x < x0 + 64; x++) {
                    if (!onLine(y, x)) continue;
                    const size_t k = (size_t(y) * kWide + x) * 3;
                    for (size_t c = 0; c < 3; c++) {
                        const double e = encoded(out[k + c]) - encoded(q.rgb[k + c]);
                        above[c] += e;
                        most[c] = std::max(most[c], e);
                    }
                    n++;
                }
            ASSERT_GT(n, 40);
            for (size_t c = 0; c < 3; c++) {
                EXPECT_LE(above[c] / n, 8.0) << (x0 ? "diagonal " : "anti-diagonal ") << c;
                EXPECT_LE(most[c], 24.0) << (x0 ? "diagonal " : "anti-diagonal ") << c;
            }
        }
    }
}
