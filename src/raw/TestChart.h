// The synthetic test chart: a scene of known linear colours and its Bayer
// mosaic as a real camera would record it. The chart tool writes the mosaic
// into a DNG; tests use the same object to know what a decode must return.
//
// Scene values are linear RGB in ProPhoto primaries with a D65 white, where
// 1.0 is full scale (65535 in a master image). The camera is described by
// one colour matrix (XYZ D65 to camera, written as ColorMatrix1 with
// CalibrationIlluminant1 D65); exposure is set so that a scene white of 1.0
// just reaches the white level in the camera's largest channel. Hence a
// decode with the file's own matrix, as-shot neutral and no exposure change
// gives every patch back at its listed value.
//
// Layout, as fractions of the chart's width W and height H (pixel bounds are
// floor(fraction × size)); the background is a neutral 0.18:
//   colour patches  x 0.03–0.55, y 0.04–0.50: 6 columns × 4 rows of cells,
//                   each patch its cell inset by 10% on every side, values in
//                   kTestChartColors (reading order);
//   zone plate      a square of side min(0.39 W, 0.46 H) centred in
//                   x 0.58–0.97, y 0.04–0.50: grey 0.30 ± 0.25 cos(π r² / 2R),
//                   from zero frequency at the centre to half the sampling
//                   rate at its inscribed radius R;
//   grey steps      x 0.03–0.97, y 0.54–0.64: 12 cells, patches inset 10%,
//                   0.9 × 2^(−k/2) for k = 0..11 (half-stop steps);
//   gradients       x 0.03–0.97: grey 0 → 0.9 in y 0.68–0.74, then red, green
//                   and blue ramps (0.15 + 0.7 t in one channel, 0.15 in the
//                   others) in y 0.75–0.78, 0.79–0.82 and 0.83–0.86;
//   fine lines      y 0.88–0.97, six groups across x 0.03–0.97: vertical bars
//                   of 1, 2 and 3 pixels, horizontal bars of 1 and 2 pixels,
//                   and 2-pixel diagonal bars, alternating 0.05 and 0.70.
// For the default 6000 × 4000 chart the first colour patch ("red") covers
// x 232–647, y 206–573 (inclusive), the first grey step x 226–602,
// y 2200–2519, and the zone plate x 3729–5568, y 160–1999.
// Every patch stays inside the camera's range (no channel clips at black or
// white), so all of them are recoverable.
//
// Objects are immutable after construction and safe to share between threads.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct TestChartColor {
    const char* name;
    std::array<double, 3> value;  // linear ProPhoto RGB (D65 white), 1 = full scale
};

// The 24 colour patches in reading order; the last row is neutral.
extern const std::array<TestChartColor, 24> kTestChartColors;

struct TestChartRect {
    uint32_t x = 0;
    uint32_t y = 0;
    uint32_t width = 0;
    uint32_t height = 0;
    bool contains(uint32_t px, uint32_t py) const {
        return px >= x && py >= y && px - x < width && py - y < height;
    }
};

class TestChart {
public:
    struct Patch {
        std::string name;
        TestChartRect rect;
        std::array<double, 3> value;  // linear ProPhoto RGB (D65 white)
        bool neutral;
    };

    static constexpr uint32_t kMinWidth = 120;
    static constexpr uint32_t kMinHeight = 80;

    // Throws std::invalid_argument below the minimum size or above 65535.
    TestChart(uint32_t width, uint32_t height);

    uint32_t width() const { return width_; }
    uint32_t height() const { return height_; }
    // Flat areas with known values: the 24 colour patches, then the 12 grey
    // steps ("grey 0" .. "grey 11").
    const std::vector<Patch>& patches() const { return patches_; }
    const TestChartRect& zonePlate() const { return zonePlate_; }

    // The scene at a pixel's centre, linear ProPhoto RGB (D65 white).
    std::array<double, 3> sceneAt(uint32_t x, uint32_t y) const;

    // XYZ (D65, Y = 1 for white) to camera RGB, row-major.
    static const std::array<double, 9>& colorMatrix();
    // Camera RGB of the D65 white, largest channel 1.
    static std::array<double, 3> asShotNeutral();
    // Linear ProPhoto RGB with a D65 white to XYZ, row-major.
    static const std::array<double, 9>& proPhotoD65ToXYZ();
    // Camera RGB of a scene colour as a fraction of the raw range (before
    // clipping to 0..1): a scene white of 1.0 gives the as-shot neutral.
    static std::array<double, 3> cameraFromScene(const std::array<double, 3>& scene);

    // The RGGB mosaic: black + (white − black) × camera value, rounded and
    // clipped. out holds height rows of rowStride samples. Rows are rendered
    // in `bands` threads.
    void renderMosaic(uint16_t black, uint16_t white, uint16_t* out, size_t rowStride,
                      unsigned bands = 16) const;

private:
    TestChartRect fractionRect(double x0, double y0, double x1, double y1) const;
    void layOut();

    uint32_t width_;
    uint32_t height_;
    std::vector<Patch> patches_;
    TestChartRect zonePlate_;
    TestChartRect greyRamp_;
    std::array<TestChartRect, 3> colourRamps_;
    std::array<TestChartRect, 6> lineGroups_;
};
