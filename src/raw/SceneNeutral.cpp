#include "raw/SceneNeutral.h"

#include <algorithm>

namespace {

constexpr uint32_t kBlock = 8;
constexpr uint16_t kClipped = 62258;  // 95 % of full scale
constexpr double kDarkest = 655.0;    // a block's mean below 1 % of full scale
constexpr uint64_t kFewestBlocks = 16;

}  // namespace

std::optional<std::array<double, 3>> SceneNeutral(const RawSamples& mosaic, uint32_t width,
                                                  uint32_t height, const CFAPattern& pattern) {
    if (mosaic.size() < size_t(width) * height) return std::nullopt;
    std::array<double, 3> sum{};
    std::array<uint64_t, 3> sites{};
    uint64_t blocks = 0;
    for (uint32_t y0 = 0; y0 + kBlock <= height; y0 += kBlock)
        for (uint32_t x0 = 0; x0 + kBlock <= width; x0 += kBlock) {
            std::array<double, 3> s{};
            std::array<uint32_t, 3> n{};
            bool clipped = false;
            for (uint32_t y = y0; y < y0 + kBlock && !clipped; y++)
                for (uint32_t x = x0; x < x0 + kBlock; x++) {
                    const uint16_t v = mosaic[size_t(y) * width + x];
                    if (v > kClipped) {
                        clipped = true;
                        break;
                    }
                    const auto c = size_t(pattern.colorAt(y, x));
                    s[c] += v;
                    n[c]++;
                }
            if (clipped) continue;
            if ((s[0] + s[1] + s[2]) / double(kBlock * kBlock) < kDarkest) continue;
            for (size_t c = 0; c < 3; c++) {
                sum[c] += s[c];
                sites[c] += n[c];
            }
            blocks++;
        }
    if (blocks < kFewestBlocks) return std::nullopt;
    std::array<double, 3> mean{};
    for (size_t c = 0; c < 3; c++) {
        if (sites[c] == 0 || !(sum[c] > 0)) return std::nullopt;
        mean[c] = sum[c] / double(sites[c]);
    }
    const double largest = std::max({mean[0], mean[1], mean[2]});
    for (double& v : mean) v /= largest;
    return mean;
}
