#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "engine/CoreRowRender.h"

namespace {

using platform::CoreRowRule;

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr float kScale = 1.5308075e-5f;  // 1 / 65325

// The core stage's pixel, one step after the other as the stage first did
// it: the float channels after the matrix and the table (R, G, B).
void referenceValues(const uint16_t* s, const CoreRowRule& r, float v[3]) {
    float a[4];
    for (int c = 0; c < 4; ++c) a[c] = 0.0f + r.inputScale * float(s[c]);
    if (r.profileGain) {
        // Each channel's part held to 2^47 (NaN as 0), so that the sum fits.
        const auto part = [](float c) {
            const double v = double(c) * 65535.0;
            return std::isnan(v) ? 0 : int64_t(std::clamp(v, -0x1p47, 0x1p47));
        };
        int64_t idx = (part(a[0]) * 4899 + part(a[1]) * 9618 + part(a[2]) * 1867) >> 14;
        idx = std::clamp<int64_t>(idx, 0, platform::kCoreProfileGainSize - 1);
        for (int c = 0; c < 3; ++c) a[c] *= r.profileGain[idx];
    }
    float o[4];
    for (int j = 0; j < 4; ++j)
        o[j] = (a[0] + 0.0f) * r.matrix[0][j] + (a[1] + 0.0f) * r.matrix[1][j] +
               (a[2] + 0.0f) * r.matrix[2][j] + (a[3] + 0.0f) * r.matrix[3][j] + 0.0f;
    const int last = r.tone.tableSize - 1;
    const int j = o[3] >= float(last) ? last : (o[3] > 0 ? int(o[3]) : 0);
    const float g = r.tone.table[j * 4];
    if (r.tone.kneeOn() && r.tone.kneeWhole) {
        for (int c = 0; c < 3; ++c) v[c] = o[c] * g + r.tone.outputOffset;
        platform::coreKneeWhole(v, r.tone);
        return;
    }
    for (int c = 0; c < 3; ++c)
        v[c] =
            r.tone.kneeOn() ? platform::coreKnee(o[c], g, r.tone) : o[c] * g + r.tone.outputOffset;
}

uint16_t referenceU16(float v) {
    const double x = double(v) * 65325.0;
    if (!(x >= 1.0)) return 0;
    if (x >= 65535.0) return 65535;
    return uint16_t(x);
}

void referenceRowU16(const uint16_t* src, int w, const CoreRowRule& r, uint16_t* out) {
    for (int x = 0; x < w; ++x) {
        float v[3];
        referenceValues(src + 4 * x, r, v);
        if (r.scaleWhole) {
            const auto& m = r.range;
            const float top = r.rangeMatrix
                                  ? std::max({m[0][0] * v[0] + m[0][1] * v[1] + m[0][2] * v[2],
                                              m[1][0] * v[0] + m[1][1] * v[1] + m[1][2] * v[2],
                                              m[2][0] * v[0] + m[2][1] * v[1] + m[2][2] * v[2]})
                                  : std::max({v[0], v[1], v[2]});
            if (top > 1.0f) {
                const float s = 1.0f / top;
                for (float& c : v) c *= s;
            }
        }
        for (int c = 0; c < 3; ++c) out[4 * x + c] = referenceU16(v[c]);
        out[4 * x + 3] = 65535;
    }
}

void referenceRowFloat(const uint16_t* src, int w, const CoreRowRule& r, float* out) {
    for (int x = 0; x < w; ++x) {
        referenceValues(src + 4 * x, r, out + 4 * x);
        out[4 * x + 3] = 1.0f;
    }
}

struct RowSetup {
    std::vector<float> table, profile;
    CoreRowRule rule;
};

// Random settings with a share of hostile values: zero, negative, NaN and
// infinite gains and matrix entries, offsets beyond the range.
RowSetup randomSetup(std::mt19937& rng, bool hostile) {
    std::uniform_real_distribution<float> u(-0.5f, 2.0f);
    auto pick = [&](float usual) {
        if (!hostile) return usual;
        const float odd[] = {0.0f, -0.0f, -1.0f, 1e9f, kNaN, kInf, -kInf, usual};
        return odd[rng() % 16 < 8 ? rng() % 8 : 7];
    };
    RowSetup s;
    s.table.resize(4096 * 4);
    for (float& g : s.table) g = pick(u(rng));
    s.profile.resize(platform::kCoreProfileGainSize);
    for (float& g : s.profile) g = pick(u(rng));
    CoreRowRule& r = s.rule;
    const float ev[] = {1.0f, 0.7f, 4.0f, 40000.0f, 1e6f, -1.0f};
    r.inputScale = kScale * ev[rng() % 6];
    r.profileGain = rng() % 2 ? s.profile.data() : nullptr;
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 3; ++j) r.matrix[i][j] = pick(u(rng));
    for (int i = 0; i < 4; ++i) r.matrix[i][3] = pick(u(rng) * 2000.0f);
    r.tone.table = s.table.data();
    r.tone.tableSize = 4096;
    r.tone.outputOffset = rng() % 2 ? 0.0f : pick(u(rng) * 0.01f);
    r.tone.kneeLow = 1.0f + u(rng);
    r.tone.kneeF = rng() % 3 == 0 ? 2.0f * u(rng) : -1.0f;
    r.tone.kneeWhole = rng() % 2;
    r.tone.kneeFromLuma = rng() % 2;
    r.tone.kneeEnd = r.tone.kneeLow + 8.0f * u(rng);
    if (rng() % 2)
        for (auto& row : r.tone.kneeTopRows)
            for (float& m : row) m = pick(u(rng));
    r.scaleWhole = rng() % 3 != 0;
    r.rangeMatrix = rng() % 2;
    for (auto& row : r.range)
        for (float& m : row) m = pick(u(rng));
    return s;
}

std::vector<uint16_t> randomRow(std::mt19937& rng, int w) {
    std::vector<uint16_t> row(size_t(w) * 4);
    for (uint16_t& v : row) {
        const uint32_t k = rng() % 8;
        v = k == 0 ? 0 : k == 1 ? 65535 : uint16_t(rng());
    }
    return row;
}

// Equal bits, or both NaN: which of two NaN operands an operation passes on
// depends on the operand order the compiler picks, for vector and scalar code
// alike, and means nothing.
bool sameBits(const std::vector<float>& a, const std::vector<float>& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (std::memcmp(&a[i], &b[i], sizeof(float)) != 0 &&
            !(std::isnan(a[i]) && std::isnan(b[i]))) {
            ADD_FAILURE() << "at " << i << ": " << a[i] << " vs " << b[i];
            return false;
        }
    return true;
}

}  // namespace

TEST(CoreRowRender, MatchesThePixelFormulaBitForBit) {
    std::mt19937 rng(28);
    for (int trial = 0; trial < 300; ++trial) {
        const RowSetup s = randomSetup(rng, trial % 2 == 1);
        const int widths[] = {1, 3, 63, 64, 65, 130, 517};
        const int w = widths[trial % 7];
        const auto src = randomRow(rng, w);
        std::vector<uint16_t> fast(src.size(), 7), ref(src.size(), 9);
        platform::coreRenderRowU16(src.data(), w, s.rule, fast.data());
        referenceRowU16(src.data(), w, s.rule, ref.data());
        ASSERT_EQ(fast, ref) << "trial " << trial << " width " << w;
        std::vector<float> fastF(src.size(), 7), refF(src.size(), 9);
        platform::coreRenderRowFloat(src.data(), w, s.rule, fastF.data());
        referenceRowFloat(src.data(), w, s.rule, refF.data());
        ASSERT_TRUE(sameBits(fastF, refF)) << "trial " << trial << " width " << w;
    }
}

TEST(CoreRowRender, SixteenBitEdgesAndEqualChannels) {
    // Zero gain and the value as the offset put any float straight into the
    // 16-bit step: the floats on either side of whole 16-bit values (the
    // ends of the range among them) after scaling, zeros of both signs, NaN
    // and the infinities.
    std::vector<float> values = {0.0f, -0.0f, kNaN, kInf, -kInf, -1e-30f, 1.0f, 1.5f};
    for (double bound : {1.0, 2.0, 255.0, 4097.0, 32768.0, 65534.0, 65535.0, 65536.0}) {
        float f = float(bound / 65325.0);
        for (int k = 0; k < 3; ++k) f = std::nextafter(f, 0.0f);
        for (int k = 0; k < 7; ++k, f = std::nextafter(f, 2.0f)) values.push_back(f);
    }
    std::vector<float> table(4096 * 4, 0.0f);
    const std::vector<uint16_t> grey = {30000, 30000, 30000, 65535};
    for (bool whole : {false, true})
        for (float v : values) {
            CoreRowRule r;
            r.inputScale = kScale;
            for (int i = 0; i < 4; ++i) r.matrix[i][i] = 1.0f;
            r.tone.table = table.data();
            r.tone.tableSize = 4096;
            r.tone.outputOffset = v;
            r.scaleWhole = whole;
            uint16_t fast[4], ref[4];
            platform::coreRenderRowU16(grey.data(), 1, r, fast);
            referenceRowU16(grey.data(), 1, r, ref);
            EXPECT_EQ(std::vector<uint16_t>(fast, fast + 4), std::vector<uint16_t>(ref, ref + 4))
                << v;
        }
}

// An exposure of 2^40 and up once overflowed the sum of the camera-profile
// index, which then pointed below the table: bright pixels take the last
// entry, and NaN the first, whatever the exposure.
TEST(CoreRowRender, HugeExposuresKeepTheProfileIndexInTheTable) {
    std::vector<float> profile(platform::kCoreProfileGainSize, 0.0f);
    profile.back() = 1.0f;
    std::vector<float> table(4096 * 4, 1.0f);
    const std::vector<uint16_t> src = {1000, 1000, 1000, 65535, 0, 0, 0, 65535};
    for (float ettr : {40.0f, 63.0f, 100.0f, 127.0f, kNaN}) {
        SCOPED_TRACE(ettr);
        CoreRowRule r;
        r.inputScale = std::exp2(ettr) * kScale;
        r.profileGain = profile.data();
        for (int i = 0; i < 3; ++i) r.matrix[i][i] = 1.0f;
        r.tone.table = table.data();
        r.tone.tableSize = 4096;
        uint16_t out[8];
        platform::coreRenderRowU16(src.data(), 2, r, out);
        const uint16_t bright = std::isnan(ettr) ? 0 : 65535;
        EXPECT_EQ(std::vector<uint16_t>(out, out + 3), std::vector<uint16_t>(3, bright));
    }
}

// The roll-off of a positive baseline against values worked by hand: the top
// channel, whichever it is, follows the shoulder and the others keep their
// ratios to it; started at the luminance, or measured in another space, it
// still lets a neutral pass.
TEST(CoreRowRender, TheWholePixelRollOffFollowsItsTopChannelWhicheverItIs) {
    platform::CoreTone t;
    t.kneeWhole = true;
    t.kneeF = 1.0f;
    t.kneeLow = 0.75f * platform::CoreTone::kMidGreyFactor;
    t.kneeEnd = 2.0f * platform::CoreTone::kMidGreyFactor;
    const auto rolls = [&](std::array<float, 3> v, std::array<float, 3> expect) {
        platform::coreKneeWhole(v.data(), t);
        for (int c = 0; c < 3; ++c) EXPECT_NEAR(v[c], expect[c], 2e-5f) << c;
    };
    rolls({1.5f, 0.75f, 0.3f}, {0.918462f, 0.459231f, 0.183692f});
    rolls({0.3f, 1.5f, 0.75f}, {0.183692f, 0.918462f, 0.459231f});
    rolls({0.75f, 0.3f, 1.5f}, {0.459231f, 0.183692f, 0.918462f});
    rolls({0.3f, 0.75f, 1.5f}, {0.183692f, 0.459231f, 0.918462f});
    rolls({0.7f, 0.2f, 0.74f}, {0.7f, 0.2f, 0.74f});  // below the start

    t.kneeFromLuma = true;
    rolls({0.9f, 0.9f, 0.9f}, {0.9f, 0.9f, 0.9f});
    // Luminance 0.3 × 0.6 + 0.6 × 0.9 + 0.1 × 1.2 = 0.84 is the start.
    rolls({0.6f, 0.9f, 1.2f}, {0.454831f, 0.682246f, 0.909661f});

    // Under a start of 0.9: saturated (lowest 0.11 of top) from 0.9, near-white
    // (0.79) from 0.8 raised to its luminance 0.84, between (0.63) from 0.834.
    t.kneeLow = 0.9f * platform::CoreTone::kMidGreyFactor;
    rolls({0.95f, 0.2f, 0.1f}, {0.917803f, 0.193222f, 0.096611f});
    rolls({0.95f, 0.8f, 0.75f}, {0.876830f, 0.738383f, 0.692234f});
    rolls({0.95f, 0.7f, 0.6f}, {0.873067f, 0.643313f, 0.551411f});
    rolls({0.78f, 0.7f, 0.6f}, {0.78f, 0.7f, 0.6f});  // below 0.8
    t.kneeLow = 0.75f * platform::CoreTone::kMidGreyFactor;

    // Red 2R - G there: the pixel's top is 0.9 instead of 0.8.
    const float rows[3][3] = {{2, -1, 0}, {0, 1, 0}, {0, 0, 1}};
    std::memcpy(t.kneeTopRows, rows, sizeof rows);
    rolls({0.8f, 0.7f, 0.3f}, {0.720941f, 0.630824f, 0.270353f});
    rolls({0.9f, 0.9f, 0.9f}, {0.9f, 0.9f, 0.9f});
}
