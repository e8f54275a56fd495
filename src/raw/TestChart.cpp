#include "raw/TestChart.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "platform/RowBands.h"
#include "raw/DemosaicTiles.h"

const std::array<TestChartColor, 24> kTestChartColors = {{
    {"red", {0.45, 0.12, 0.08}},        {"green", {0.15, 0.40, 0.10}},
    {"blue", {0.12, 0.12, 0.45}},       {"cyan", {0.14, 0.35, 0.45}},
    {"magenta", {0.45, 0.12, 0.40}},    {"yellow", {0.55, 0.50, 0.08}},
    {"orange", {0.55, 0.30, 0.06}},     {"purple", {0.20, 0.10, 0.35}},
    {"light skin", {0.45, 0.33, 0.25}}, {"dark skin", {0.16, 0.10, 0.07}},
    {"foliage", {0.10, 0.15, 0.06}},    {"sky", {0.15, 0.20, 0.33}},
    {"deep red", {0.60, 0.08, 0.08}},   {"deep green", {0.14, 0.50, 0.08}},
    {"deep blue", {0.16, 0.12, 0.60}},  {"pink", {0.60, 0.30, 0.35}},
    {"olive", {0.25, 0.25, 0.05}},      {"teal", {0.12, 0.25, 0.22}},
    {"white", {0.90, 0.90, 0.90}},      {"light grey", {0.59, 0.59, 0.59}},
    {"grey", {0.36, 0.36, 0.36}},       {"mid grey", {0.19, 0.19, 0.19}},
    {"dark grey", {0.09, 0.09, 0.09}},  {"black", {0.031, 0.031, 0.031}},
}};

namespace {

constexpr double kBackground = 0.18;
constexpr double kLineDark = 0.05;
constexpr double kLineLight = 0.70;
constexpr int kColourColumns = 6;
constexpr int kColourRows = 4;
constexpr int kGreySteps = 12;
constexpr double kInset = 0.10;

using Matrix = std::array<double, 9>;

Matrix Multiply(const Matrix& a, const Matrix& b) {
    Matrix m{};
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c)
            for (int k = 0; k < 3; ++k) m[r * 3 + c] += a[r * 3 + k] * b[k * 3 + c];
    return m;
}

std::array<double, 3> Apply(const Matrix& m, const std::array<double, 3>& v) {
    return {m[0] * v[0] + m[1] * v[1] + m[2] * v[2], m[3] * v[0] + m[4] * v[1] + m[5] * v[2],
            m[6] * v[0] + m[7] * v[1] + m[8] * v[2]};
}

Matrix Invert(const Matrix& m) {
    const double det = m[0] * (m[4] * m[8] - m[5] * m[7]) - m[1] * (m[3] * m[8] - m[5] * m[6]) +
                       m[2] * (m[3] * m[7] - m[4] * m[6]);
    return {(m[4] * m[8] - m[5] * m[7]) / det, (m[2] * m[7] - m[1] * m[8]) / det,
            (m[1] * m[5] - m[2] * m[4]) / det, (m[5] * m[6] - m[3] * m[8]) / det,
            (m[0] * m[8] - m[2] * m[6]) / det, (m[2] * m[3] - m[0] * m[5]) / det,
            (m[3] * m[7] - m[4] * m[6]) / det, (m[1] * m[6] - m[0] * m[7]) / det,
            (m[0] * m[4] - m[1] * m[3]) / det};
}

std::array<double, 3> WhiteD65() {
    return {0.3127 / 0.3290, 1.0, (1.0 - 0.3127 - 0.3290) / 0.3290};
}

// Camera white at Y = 1 and the scale that puts its largest channel at 1.
double ExposureScale() {
    const std::array<double, 3> white = Apply(TestChart::colorMatrix(), WhiteD65());
    return 1.0 / std::max({white[0], white[1], white[2]});
}

}  // namespace

TestChart::TestChart(uint32_t width, uint32_t height) : width_(width), height_(height) {
    if (width < kMinWidth || height < kMinHeight || width > 65535 || height > 65535)
        throw std::invalid_argument("test chart size out of range");
    layOut();
}

TestChartRect TestChart::fractionRect(double x0, double y0, double x1, double y1) const {
    TestChartRect r;
    r.x = static_cast<uint32_t>(std::floor(x0 * width_));
    r.y = static_cast<uint32_t>(std::floor(y0 * height_));
    r.width = static_cast<uint32_t>(std::floor(x1 * width_)) - r.x;
    r.height = static_cast<uint32_t>(std::floor(y1 * height_)) - r.y;
    return r;
}

void TestChart::layOut() {
    auto insetCell = [&](double x0, double y0, double w, double h) {
        return fractionRect(x0 + kInset * w, y0 + kInset * h, x0 + (1 - kInset) * w,
                            y0 + (1 - kInset) * h);
    };
    const double cw = (0.55 - 0.03) / kColourColumns;
    const double ch = (0.50 - 0.04) / kColourRows;
    for (int i = 0; i < kColourColumns * kColourRows; ++i) {
        const TestChartColor& colour = kTestChartColors[static_cast<size_t>(i)];
        const bool neutral =
            colour.value[0] == colour.value[1] && colour.value[1] == colour.value[2];
        patches_.push_back(
            {colour.name,
             insetCell(0.03 + (i % kColourColumns) * cw, 0.04 + (i / kColourColumns) * ch, cw, ch),
             colour.value, neutral});
    }
    const double gw = (0.97 - 0.03) / kGreySteps;
    for (int k = 0; k < kGreySteps; ++k) {
        const double v = 0.9 * std::pow(2.0, -k / 2.0);
        patches_.push_back({"grey " + std::to_string(k),
                            insetCell(0.03 + k * gw, 0.54, gw, 0.10),
                            {v, v, v},
                            true});
    }
    const auto side = static_cast<uint32_t>(std::min(0.39 * width_, 0.46 * height_));
    const TestChartRect region = fractionRect(0.58, 0.04, 0.97, 0.50);
    zonePlate_ = {region.x + (region.width - std::min(side, region.width)) / 2,
                  region.y + (region.height - std::min(side, region.height)) / 2,
                  std::min(side, region.width), std::min(side, region.height)};
    greyRamp_ = fractionRect(0.03, 0.68, 0.97, 0.74);
    colourRamps_ = {fractionRect(0.03, 0.75, 0.97, 0.78), fractionRect(0.03, 0.79, 0.97, 0.82),
                    fractionRect(0.03, 0.83, 0.97, 0.86)};
    const double lw = (0.97 - 0.03) / static_cast<double>(lineGroups_.size());
    for (size_t i = 0; i < lineGroups_.size(); ++i)
        lineGroups_[i] = fractionRect(0.03 + (i + 0.05) * lw, 0.88, 0.03 + (i + 0.95) * lw, 0.97);
}

std::array<double, 3> TestChart::sceneAt(uint32_t x, uint32_t y) const {
    for (const Patch& p : patches_)
        if (p.rect.contains(x, y)) return p.value;
    if (zonePlate_.contains(x, y)) {
        const double radius = zonePlate_.width / 2.0;
        const double dx = x + 0.5 - (zonePlate_.x + radius);
        const double dy = y + 0.5 - (zonePlate_.y + zonePlate_.height / 2.0);
        const double v = 0.30 + 0.25 * std::cos(M_PI * (dx * dx + dy * dy) / (2.0 * radius));
        return {v, v, v};
    }
    if (greyRamp_.contains(x, y)) {
        const double v = 0.9 * (x - greyRamp_.x) / std::max(1u, greyRamp_.width - 1);
        return {v, v, v};
    }
    for (size_t c = 0; c < colourRamps_.size(); ++c) {
        const TestChartRect& ramp = colourRamps_[c];
        if (ramp.contains(x, y)) {
            std::array<double, 3> v = {0.15, 0.15, 0.15};
            v[c] += 0.7 * (x - ramp.x) / std::max(1u, ramp.width - 1);
            return v;
        }
    }
    for (size_t g = 0; g < lineGroups_.size(); ++g) {
        const TestChartRect& group = lineGroups_[g];
        if (!group.contains(x, y)) continue;
        const uint32_t lx = x - group.x;
        const uint32_t ly = y - group.y;
        static constexpr uint32_t kBarWidth[6] = {1, 2, 3, 1, 2, 2};
        const uint32_t bar = kBarWidth[g];
        const uint32_t along = g < 3 ? lx : (g < 5 ? ly : lx + ly);
        const double v = (along / bar) % 2 == 0 ? kLineDark : kLineLight;
        return {v, v, v};
    }
    return {kBackground, kBackground, kBackground};
}

const std::array<double, 9>& TestChart::colorMatrix() {
    // ColorMatrix2 (calibration illuminant D65) of the camera profile in
    // ../shared/testdata/dcp/set-a for the "D850" model.
    static const Matrix m = {0.9366, -0.2761, -0.1179, -0.6076, 1.3955,
                             0.2370, -0.1839, 0.2809,  0.7750};
    return m;
}

std::array<double, 3> TestChart::asShotNeutral() {
    const std::array<double, 3> white = Apply(colorMatrix(), WhiteD65());
    const double scale = ExposureScale();
    return {white[0] * scale, white[1] * scale, white[2] * scale};
}

const std::array<double, 9>& TestChart::proPhotoD65ToXYZ() {
    static const Matrix m = [] {
        // Columns are the primaries' XYZ, scaled so that RGB 1,1,1 is the white.
        const double xy[3][2] = {{0.7347, 0.2653}, {0.1596, 0.8404}, {0.0366, 0.0001}};
        Matrix p{};
        for (int c = 0; c < 3; ++c) {
            p[0 * 3 + c] = xy[c][0] / xy[c][1];
            p[1 * 3 + c] = 1.0;
            p[2 * 3 + c] = (1.0 - xy[c][0] - xy[c][1]) / xy[c][1];
        }
        const std::array<double, 3> s = Apply(Invert(p), WhiteD65());
        for (int r = 0; r < 3; ++r)
            for (int c = 0; c < 3; ++c) p[r * 3 + c] *= s[static_cast<size_t>(c)];
        return p;
    }();
    return m;
}

std::array<double, 3> TestChart::cameraFromScene(const std::array<double, 3>& scene) {
    static const Matrix toCamera = Multiply(colorMatrix(), proPhotoD65ToXYZ());
    static const double scale = ExposureScale();
    std::array<double, 3> camera = Apply(toCamera, scene);
    for (double& v : camera) v *= scale;
    return camera;
}

void TestChart::renderMosaic(uint16_t black, uint16_t white, uint16_t* out, size_t rowStride,
                             unsigned bands) const {
    if (!out || rowStride < width_ || white <= black)
        throw std::invalid_argument("test chart mosaic: bad buffer or levels");
    const double range = white - black;
    platform::RunInRowBands(height_, bands, [&](uint32_t first, uint32_t end) {
        for (uint32_t y = first; y < end; ++y) {
            uint16_t* row = out + y * rowStride;
            for (uint32_t x = 0; x < width_; ++x) {
                // RGGB: red at even row and column, blue at odd row and column.
                const size_t channel = (y & 1) + (x & 1);
                const double v = cameraFromScene(sceneAt(x, y))[channel];
                row[x] =
                    static_cast<uint16_t>(std::lround(black + range * std::clamp(v, 0.0, 1.0)));
            }
        }
    });
}
