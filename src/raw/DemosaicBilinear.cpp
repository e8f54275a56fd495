#include "raw/DemosaicBilinear.h"

#include <algorithm>

#include "raw/DemosaicTiles.h"

void DemosaicBilinear(const CFAPlane& cfa, uint16_t* rgb) {
    platform::CheckDemosaicArguments(cfa, rgb);
    const uint32_t w = cfa.width;
    const uint32_t h = cfa.height;
    for (uint32_t y = 0; y < h; ++y) {
        const uint32_t y0 = y > 0 ? y - 1 : 0;
        const uint32_t y1 = std::min(y + 1, h - 1);
        for (uint32_t x = 0; x < w; ++x) {
            const uint32_t x0 = x > 0 ? x - 1 : 0;
            const uint32_t x1 = std::min(x + 1, w - 1);
            uint32_t sum[3] = {0, 0, 0};
            uint32_t count[3] = {0, 0, 0};
            for (uint32_t yy = y0; yy <= y1; ++yy) {
                for (uint32_t xx = x0; xx <= x1; ++xx) {
                    const auto c = static_cast<unsigned>(cfa.pattern.colorAt(yy, xx));
                    sum[c] += cfa.at(yy, xx);
                    ++count[c];
                }
            }
            const auto own = static_cast<unsigned>(cfa.pattern.colorAt(y, x));
            const uint16_t sample = cfa.at(y, x);
            uint16_t* out = rgb + (static_cast<size_t>(y) * w + x) * 3;
            for (unsigned c = 0; c < 3; ++c) {
                if (c == own)
                    out[c] = sample;
                else if (count[c] > 0)
                    out[c] = static_cast<uint16_t>((sum[c] + count[c] / 2) / count[c]);
                else
                    out[c] = sample;  // a colour the strip never saw: assume grey
            }
        }
    }
}
