// The 6000 × 4000 test chart as a 14-bit CFA DNG, for benchmarks that need a
// large raw file of known content.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <vector>

#include "../tests/dng/image/NegativeDngWriter.h"
#include "raw/TestChart.h"

// Writes the chart to `path`; aborts the program when it cannot.
inline void WriteChartDng(const std::filesystem::path& path) {
    constexpr uint32_t kWidth = 6000, kHeight = 4000;
    const TestChart chart(kWidth, kHeight);
    std::vector<uint16_t> mosaic(size_t(kWidth) * kHeight);
    chart.renderMosaic(512, 16383, mosaic.data(), kWidth);
    negtest::DngSpec spec;
    spec.width = kWidth;
    spec.height = kHeight;
    spec.black = {512};
    spec.white = {16383};
    if (!negtest::WriteDng(path.string(), spec, mosaic)) std::abort();
}
