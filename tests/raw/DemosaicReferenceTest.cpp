// The tiled, vectorised interpolators against plain whole-image scalar
// versions of the same arithmetic: every output sample must be identical, on
// random and adversarial mosaics, every layout, sizes that leave partial tiles
// and images smaller than the halo; the same with the colour step done as
// tiles are stored. Also the in-place colour pass against its per-pixel
// formula.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <random>
#include <string>
#include <vector>

#include "raw/CFAPattern.h"
#include "raw/DemosaicAHD.h"
#include "raw/DemosaicLMMSE.h"
#include "raw/DemosaicTiles.h"
#include "raw/RawColor.h"

namespace {

// Colour differences weighted by the changes towards their neighbours,
// through the interpolators' own weighting helpers.
float EdgeWeighted(const std::vector<float>& d, const std::vector<float>& change) {
    const float least = *std::min_element(change.begin(), change.end());
    std::vector<float> s(change.size());
    for (size_t i = 0; i < s.size(); ++i) s[i] = platform::EdgeSpread(change[i], least);
    if (d.size() == 2) return platform::EdgeAverage(d[0], s[0], d[1], s[1]);
    return platform::EdgeAverage(d[0], s[0], d[1], s[1], d[2], s[2], d[3], s[3]);
}

struct Plane {
    int w = 0;
    int h = 0;
    std::vector<float> v;
    Plane(int width, int height) : w(width), h(height), v(size_t(width) * height, 0.0f) {}
    float& operator()(int x, int y) { return v[size_t(y) * w + x]; }
};

int Mirror(int i, int n) {
    while (i < 0 || i >= n) i = i < 0 ? -i : 2 * (n - 1) - i;
    return i;
}

// The mosaic with `pad` mirrored samples around it.
Plane Padded(const CFAPlane& cfa, int pad) {
    const int w = int(cfa.width), h = int(cfa.height);
    Plane p(w + 2 * pad, h + 2 * pad);
    for (int y = 0; y < p.h; ++y)
        for (int x = 0; x < p.w; ++x)
            p(x, y) = cfa.at(uint32_t(Mirror(y - pad, h)), uint32_t(Mirror(x - pad, w)));
    return p;
}

uint16_t ToU16(float v) { return uint16_t(std::clamp(v, 0.0f, 65535.0f) + 0.5f); }

std::vector<uint16_t> Store(const CFAPlane& cfa, int pad, Plane& r, Plane& g, Plane& b) {
    std::vector<uint16_t> out;
    for (int y = 0; y < int(cfa.height); ++y)
        for (int x = 0; x < int(cfa.width); ++x)
            for (Plane* p : {&r, &g, &b}) out.push_back(ToU16((*p)(x + pad, y + pad)));
    return out;
}

// ColourOnlyDetail from each colour's range over the 6×6 around (x, y)'s cell.
float ColourOnly(Plane& c, const CFAPlane& cfa, int pad, int x, int y) {
    float lo[3] = {1e30f, 1e30f, 1e30f}, hi[3] = {-1e30f, -1e30f, -1e30f};
    const int top = y - ((y - pad) & 1), left = x - ((x - pad) & 1);
    for (int v = top - 2; v <= top + 3; ++v)
        for (int u = left - 2; u <= left + 3; ++u) {
            const int k = int(cfa.pattern.colorAt(uint32_t(v - pad), uint32_t(u - pad)));
            lo[k] = std::min(lo[k], c(u, v));
            hi[k] = std::max(hi[k], c(u, v));
        }
    return platform::ColourOnlyDetail(std::max(hi[0] - lo[0], hi[2] - lo[2]), hi[1] - lo[1]);
}

// Where the detail is red and blue's alone, a diagonal neighbour's pair of
// differences d is trusted less the more it disagrees than the other pair...
float Unpaired(const auto& d, int dx, int dy) {
    return std::max(std::fabs(d(dx, dy) - d(-dx, -dy)) - std::fabs(d(-dx, dy) - d(dx, -dy)), 0.0f);
}

// ...and an axial one the more the colour beside (x, y) steps to the same
// beside the next sample beyond the neighbour.
float Beside(Plane& c, int x, int y, int dx, int dy) {
    const int px = dy != 0, py = dx != 0;
    const float here = c(x - px, y - py) + c(x + px, y + py);
    return std::fabs(here - c(x + 2 * dx - px, y + 2 * dy - py) -
                     c(x + 2 * dx + px, y + 2 * dy + py));
}

// The 3×3 average of d around (x, y) with weights 1, 2, 1 each way.
float Weighted121(Plane& d, int x, int y) {
    float rows[3];
    for (int v = -1; v <= 1; ++v)
        rows[v + 1] = d(x - 1, y + v) + 2.0f * d(x, y + v) + d(x + 1, y + v);
    return (rows[0] + 2.0f * rows[1] + rows[2]) * (1.0f / 16.0f);
}

// Calls f(x, y) for every position at least m from the padded plane's edges.
void Inside(const Plane& p, int m, const std::function<void(int, int)>& f) {
    for (int y = m; y < p.h - m; ++y)
        for (int x = m; x < p.w - m; ++x) f(x, y);
}

std::vector<uint16_t> ReferenceAHD(const CFAPlane& cfa) {
    constexpr int pad = 8;
    Plane c = Padded(cfa, pad);
    auto colour = [&](int x, int y) {
        return cfa.pattern.colorAt(uint32_t(y - pad), uint32_t(x - pad));
    };
    const int W = c.w, H = c.h;
    Plane gh(W, H), gv(W, H);
    Inside(c, 2, [&](int x, int y) {
        const float v = c(x, y), left = c(x - 1, y), right = c(x + 1, y);
        const float up = c(x, y - 1), down = c(x, y + 1);
        const float eh = 0.5f * (left + right) + 0.25f * (2.0f * v - c(x - 2, y) - c(x + 2, y));
        const float ev = 0.5f * (up + down) + 0.25f * (2.0f * v - c(x, y - 2) - c(x, y + 2));
        const bool green = colour(x, y) == CFAColor::Green;
        gh(x, y) = green ? v : std::clamp(eh, std::min(left, right), std::max(left, right));
        gv(x, y) = green ? v : std::clamp(ev, std::min(up, down), std::max(up, down));
    });
    Plane only(W, H);
    Inside(c, 3, [&](int x, int y) { only(x, y) = ColourOnly(c, cfa, pad, x, y); });
    Plane rh(W, H), bh(W, H), rv(W, H), bv(W, H);
    for (auto [g, red, blue, alongRows] :
         {std::tuple{&gh, &rh, &bh, true}, std::tuple{&gv, &rv, &bv, false}}) {
        Inside(c, 3, [&, g = g, red = red, blue = blue, alongRows = alongRows](int x, int y) {
            const bool redRow = ((y - pad) & 1) == int(cfa.pattern.redRow());
            const CFAColor own = redRow ? CFAColor::Red : CFAColor::Blue;
            auto d = [&](int dx, int dy) { return c(x + dx, y + dy) - (*g)(x + dx, y + dy); };
            // How much the image changes towards a neighbour: green to it,
            // then the site's own colour on to the next sample beyond.
            auto base = [&](int dx, int dy) {
                return std::fabs((*g)(x, y) - (*g)(x + dx, y + dy)) +
                       std::fabs(c(x, y) - c(x + 2 * dx, y + 2 * dy));
            };
            auto diagonal = [&](int dx, int dy) {
                return base(dx, dy) + only(x, y) * Unpaired(d, dx, dy);
            };
            auto beside = [&](int dx, int dy) {
                return 0.5f * only(x, y) * Beside(c, x, y, dx, dy);
            };
            auto weighted = [&](std::initializer_list<std::pair<int, int>> around,
                                const std::function<float(int, int)>& change) {
                std::vector<float> ds, changes;
                for (auto [dx, dy] : around)
                    ds.push_back(d(dx, dy)), changes.push_back(change(dx, dy));
                return EdgeWeighted(ds, changes);
            };
            auto across = [&](int dx, int dy) { return beside(dx, dy) + base(dx, dy); };
            const float horiz = weighted(
                {{-1, 0}, {1, 0}}, alongRows ? std::function<float(int, int)>(beside) : across);
            const float vert = weighted(
                {{0, -1}, {0, 1}}, alongRows ? std::function<float(int, int)>(across) : beside);
            const float diag = weighted({{-1, -1}, {1, -1}, {-1, 1}, {1, 1}}, diagonal);
            const float k = colour(x, y) == own ? 1.0f : 0.0f, gg = (*g)(x, y);
            (redRow ? *red : *blue)(x, y) = k * c(x, y) + (1.0f - k) * (gg + horiz);
            (redRow ? *blue : *red)(x, y) = gg + (k * diag + (1.0f - k) * vert);
        });
    }
    std::vector<float> curve(2 * 65536);
    for (size_t i = 0; i < curve.size(); ++i) {
        const double t = double(i) / 65535.0;
        curve[i] = float(t > 0.008856 ? std::cbrt(t) : 7.787 * t + 16.0 / 116.0);
    }
    const float m[3][3] = {{0.4124f / 0.95047f, 0.3576f / 0.95047f, 0.1805f / 0.95047f},
                           {0.2126f, 0.7152f, 0.0722f},
                           {0.0193f / 1.08883f, 0.1192f / 1.08883f, 0.9505f / 1.08883f}};
    auto f = [&](const float* row, float r, float g, float b) {
        const float v = row[0] * r + row[1] * g + row[2] * b;
        return curve[size_t(std::clamp(v, 0.0f, float(curve.size() - 1)))];
    };
    Plane lh(W, H), ah(W, H), bbh(W, H), lv(W, H), av(W, H), bbv(W, H);
    Inside(c, 3, [&](int x, int y) {
        for (auto [r, g, b, L, A, B] : {std::tuple{&rh, &gh, &bh, &lh, &ah, &bbh},
                                        std::tuple{&rv, &gv, &bv, &lv, &av, &bbv}}) {
            const float R = (*r)(x, y), G = (*g)(x, y), Bl = (*b)(x, y);
            const float fx = f(m[0], R, G, Bl), fy = f(m[1], R, G, Bl), fz = f(m[2], R, G, Bl);
            (*L)(x, y) = 116.0f * fy - 16.0f;
            (*A)(x, y) = 500.0f * (fx - fy);
            (*B)(x, y) = 200.0f * (fy - fz);
        }
    });
    Plane homH(W, H), homV(W, H);
    const int dx[4] = {-1, 1, 0, 0}, dy[4] = {0, 0, -1, 1};
    Inside(c, 4, [&](int x, int y) {
        float dl[2][4], dc[2][4];
        Plane* lab[2][3] = {{&lh, &ah, &bbh}, {&lv, &av, &bbv}};
        for (int d = 0; d < 2; ++d)
            for (int n = 0; n < 4; ++n) {
                Plane &L = *lab[d][0], &A = *lab[d][1], &B = *lab[d][2];
                const int u = x + dx[n], v = y + dy[n];
                dl[d][n] = std::fabs(L(x, y) - L(u, v));
                const float da = A(x, y) - A(u, v), db = B(x, y) - B(u, v);
                dc[d][n] = da * da + db * db;
            }
        const float epsL = std::min(std::max(dl[0][0], dl[0][1]), std::max(dl[1][2], dl[1][3]));
        const float epsC = std::min(std::max(dc[0][0], dc[0][1]), std::max(dc[1][2], dc[1][3]));
        for (int d = 0; d < 2; ++d) {
            float count = 0.0f;
            for (int n = 0; n < 4; ++n) count += dl[d][n] <= epsL && dc[d][n] <= epsC ? 1.0f : 0.0f;
            (d == 0 ? homH : homV)(x, y) = count;
        }
    });
    Plane red(W, H), green(W, H), blue(W, H);
    Inside(c, 5, [&](int x, int y) {
        float sh = 0.0f, sv = 0.0f;
        for (int v = -1; v <= 1; ++v)
            for (int u = -1; u <= 1; ++u) sh += homH(x + u, y + v), sv += homV(x + u, y + v);
        Plane* pairs[3][3] = {{&rh, &rv, &red}, {&gh, &gv, &green}, {&bh, &bv, &blue}};
        for (auto& p : pairs) {
            const float a = (*p[0])(x, y), b = (*p[1])(x, y);
            (*p[2])(x, y) = sh > sv ? a : (sh < sv ? b : 0.5f * (a + b));
        }
    });
    for (int m = 6; m <= 7; ++m) {
        Plane drg(W, H), dbg(W, H), mrg(W, H), mbg(W, H);
        Inside(c, m - 1, [&](int x, int y) {
            drg(x, y) = red(x, y) - green(x, y);
            dbg(x, y) = blue(x, y) - green(x, y);
        });
        Inside(c, m, [&](int x, int y) {
            for (auto [in, out] : {std::pair{&drg, &mrg}, std::pair{&dbg, &mbg}}) {
                std::array<float, 9> n{};
                for (int i = 0; i < 9; ++i) n[size_t(i)] = (*in)(x + i % 3 - 1, y + i / 3 - 1);
                std::nth_element(n.begin(), n.begin() + 4, n.end());
                (*out)(x, y) = n[4];
            }
        });
        Inside(c, m, [&](int x, int y) {
            const CFAColor site = colour(x, y);
            const float r0 = red(x, y), g0 = green(x, y), b0 = blue(x, y);
            const float dr = mrg(x, y), db = mbg(x, y);
            const float g = site == CFAColor::Red ? r0 - dr : site == CFAColor::Blue ? b0 - db : g0;
            const float r = site == CFAColor::Red ? r0 : g + dr;
            const float b = site == CFAColor::Blue ? b0 : g + db;
            // Where the detail is red and blue's alone, no medians: the first
            // pass averages the differences with weights 1, 2, 1 each way.
            const float k = only(x, y);
            const float rKept = m == 6 ? g0 + Weighted121(drg, x, y) : r0;
            const float bKept = m == 6 ? g0 + Weighted121(dbg, x, y) : b0;
            red(x, y) = r + k * (rKept - r);
            green(x, y) = g + k * (g0 - g);
            blue(x, y) = b + k * (bKept - b);
        });
    }
    return Store(cfa, pad, red, green, blue);
}

std::vector<uint16_t> ReferenceLMMSE(const CFAPlane& cfa) {
    constexpr int pad = 15;
    constexpr float floor = 1e-3f;
    Plane c = Padded(cfa, pad);
    auto colour = [&](int x, int y) {
        return cfa.pattern.colorAt(uint32_t(y - pad), uint32_t(x - pad));
    };
    const int W = c.w, H = c.h;
    Plane dh(W, H), dv(W, H);
    Inside(c, 2, [&](int x, int y) {
        const float v = c(x, y);
        const float eh =
            0.5f * (c(x - 1, y) + c(x + 1, y)) + 0.25f * (2.0f * v - c(x - 2, y) - c(x + 2, y));
        const float ev =
            0.5f * (c(x, y - 1) + c(x, y + 1)) + 0.25f * (2.0f * v - c(x, y - 2) - c(x, y + 2));
        const bool green = colour(x, y) == CFAColor::Green;
        dh(x, y) = green ? v - eh : eh - v;
        dv(x, y) = green ? v - ev : ev - v;
    });
    double w[9], sum = 0.0;
    for (int k = -4; k <= 4; ++k) sum += w[k + 4] = std::exp(-(k * k) / 8.0);
    float taps[9];
    for (int k = 0; k < 9; ++k) taps[k] = float(w[k] / sum);
    Plane sh(W, H), sv(W, H), eh(W, H), ev(W, H), vh(W, H), vv(W, H);
    Plane signalH(W, H), signalV(W, H);
    struct Axis {
        Plane *diff, *smooth, *est, *var, *signal;
        int dx, dy;
    };
    for (const Axis& a :
         {Axis{&dh, &sh, &eh, &vh, &signalH, 1, 0}, Axis{&dv, &sv, &ev, &vv, &signalV, 0, 1}}) {
        Inside(c, 6, [&](int x, int y) {
            float s = 0.0f;
            for (int k = -4; k <= 4; ++k) s += taps[k + 4] * (*a.diff)(x + k * a.dx, y + k * a.dy);
            (*a.smooth)(x, y) = s;
        });
        Inside(c, 10, [&](int x, int y) {
            auto sm = [&](int k) { return (*a.smooth)(x + k * a.dx, y + k * a.dy); };
            auto d = [&](int k) { return (*a.diff)(x + k * a.dx, y + k * a.dy); };
            float mean = 0.0f, signal = 0.0f, noise = 0.0f;
            for (int k = -4; k <= 4; ++k) mean += sm(k);
            mean *= 1.0f / 9;
            for (int k = -4; k <= 4; ++k) {
                signal += (sm(k) - mean) * (sm(k) - mean);
                noise += (d(k) - sm(k)) * (d(k) - sm(k));
            }
            const float sx = signal * (1.0f / 9), sn = noise * (1.0f / 9);
            const float total = sx + sn + floor;
            (*a.est)(x, y) = mean + sx / total * (d(0) - mean);
            (*a.var)(x, y) = sx * sn / total;
            (*a.signal)(x, y) = sx;
        });
    }
    Plane green(W, H);
    Inside(c, 10, [&](int x, int y) {
        const float wh = (vv(x, y) + floor) / (vh(x, y) + vv(x, y) + 2.0f * floor);
        const float diff = wh * eh(x, y) + (1.0f - wh) * ev(x, y);
        const float estimate = c(x, y) + diff;
        // Where the colour difference changes along both axes, drawn towards
        // the one-sided estimates from the four green neighbours, weighted by
        // how much the image changes on each side and kept in their range.
        std::vector<float> sides, changes;
        for (auto [u, v] : {std::pair{0, -1}, {0, 1}, {-1, 0}, {1, 0}}) {
            sides.push_back(c(x + u, y + v) + 0.5f * (c(x, y) - c(x + 2 * u, y + 2 * v)));
            changes.push_back(std::fabs(c(x, y) - c(x + 2 * u, y + 2 * v)) +
                              std::fabs(c(x + u, y + v) - c(x + 3 * u, y + 3 * v)));
        }
        const float least = *std::min_element(changes.begin(), changes.end());
        auto s = [&](size_t i) { return platform::EdgeSpread(changes[i], least); };
        const float sided =
            platform::EdgeAverage(sides[0], s(0), sides[1], s(1), sides[2], s(2), sides[3], s(3));
        const float lo =
            std::min(std::min(c(x - 1, y), c(x + 1, y)), std::min(c(x, y - 1), c(x, y + 1)));
        const float hi =
            std::max(std::max(c(x - 1, y), c(x + 1, y)), std::max(c(x, y - 1), c(x, y + 1)));
        const float change = std::min(signalH(x, y), signalV(x, y));
        const float pull = change / (change + 1e5f);
        const float bounded = std::min(std::max(sided, lo), hi);
        const float drawn = estimate + pull * (bounded - estimate);
        // Where only the colours have detail, green keeps within its
        // neighbours' range, widened by four times that of the twelve greens
        // around.
        float nearLo = lo, nearHi = hi;
        for (auto [u, v] :
             {std::pair{-1, -2}, {1, -2}, {-1, 2}, {1, 2}, {-2, -1}, {2, -1}, {-2, 1}, {2, 1}}) {
            nearLo = std::min(nearLo, c(x + u, y + v));
            nearHi = std::max(nearHi, c(x + u, y + v));
        }
        const float slack = 4.0f * (nearHi - nearLo);
        const float kept = std::clamp(drawn, lo - slack, hi + slack);
        const float k = ColourOnly(c, cfa, pad, x, y);
        green(x, y) = colour(x, y) == CFAColor::Green ? c(x, y) : drawn + k * (kept - drawn);
    });
    Plane redSites(W, H), blueSites(W, H);
    Inside(c, 11, [&](int x, int y) {
        std::vector<float> ds, changes;
        auto d = [&](int u, int v) { return c(x + u, y + v) - green(x + u, y + v); };
        const float k = ColourOnly(c, cfa, pad, x, y);
        for (auto [u, v] : {std::pair{-1, -1}, {1, -1}, {-1, 1}, {1, 1}}) {
            ds.push_back(d(u, v));
            changes.push_back(std::fabs(green(x, y) - green(x + u, y + v)) +
                              std::fabs(c(x, y) - c(x + 2 * u, y + 2 * v)) + k * Unpaired(d, u, v));
        }
        const float diag = EdgeWeighted(ds, changes);
        redSites(x, y) = colour(x, y) == CFAColor::Red ? c(x, y) : green(x, y) + diag;
        blueSites(x, y) = colour(x, y) == CFAColor::Blue ? c(x, y) : green(x, y) + diag;
    });
    Plane red(W, H), blue(W, H);
    Inside(c, 12, [&](int x, int y) {
        const float k = colour(x, y) == CFAColor::Green ? 1.0f : 0.0f, g = green(x, y);
        // Up, down, left, right; red and blue share the weights, each the
        // product of the other three spreads.
        const int du[4] = {0, 0, -1, 1}, dv[4] = {-1, 1, 0, 0};
        float change[4], spread[4];
        const float only = 0.5f * ColourOnly(c, cfa, pad, x, y);
        for (int i = 0; i < 4; ++i)
            change[i] =
                std::fabs(g - green(x + du[i], y + dv[i])) +
                std::fabs(green(x + du[i], y + dv[i]) - green(x + 2 * du[i], y + 2 * dv[i])) +
                only * Beside(c, x, y, du[i], dv[i]);
        const float least = std::min({change[0], change[1], change[2], change[3]});
        for (int i = 0; i < 4; ++i) spread[i] = platform::EdgeSpread(change[i], least);
        const float ud = spread[0] * spread[1], lr = spread[2] * spread[3];
        const float w[4] = {spread[1] * lr, spread[0] * lr, spread[3] * ud, spread[2] * ud};
        const float norm = 1.0f / (w[0] + w[1] + w[2] + w[3]);
        for (auto [sites, out] : {std::pair{&redSites, &red}, std::pair{&blueSites, &blue}}) {
            float sum = 0.0f;
            for (int i = 0; i < 4; ++i)
                sum += w[i] * ((*sites)(x + du[i], y + dv[i]) - green(x + du[i], y + dv[i]));
            (*out)(x, y) = k * (g + sum * norm) + (1.0f - k) * (*sites)(x, y);
        }
    });
    // Where only the colours carry detail, their differences from green
    // averaged with weights 1, 2, 1 each way.
    Plane dr(W, H), db(W, H);
    Inside(c, 12, [&](int x, int y) {
        dr(x, y) = red(x, y) - green(x, y);
        db(x, y) = blue(x, y) - green(x, y);
    });
    Plane redOut = red, blueOut = blue;
    Inside(c, 13, [&](int x, int y) {
        const float k = ColourOnly(c, cfa, pad, x, y);
        redOut(x, y) = red(x, y) + k * (green(x, y) + Weighted121(dr, x, y) - red(x, y));
        blueOut(x, y) = blue(x, y) + k * (green(x, y) + Weighted121(db, x, y) - blue(x, y));
    });
    // Then twice along the four directions, each weighted by how little the
    // differences change along it.
    for (int m : {14, 15}) {
        Inside(c, m - 1, [&](int x, int y) {
            dr(x, y) = redOut(x, y) - green(x, y);
            db(x, y) = blueOut(x, y) - green(x, y);
        });
        Plane r2 = redOut, b2 = blueOut;
        Inside(c, m, [&](int x, int y) {
            const int du[4] = {1, 0, 1, 1}, dv[4] = {0, 1, 1, -1};
            float norm = 0.0f, sumR = 0.0f, sumB = 0.0f;
            for (int i = 0; i < 4; ++i) {
                const float r1 = dr(x - du[i], y - dv[i]), r3 = dr(x + du[i], y + dv[i]);
                const float b1 = db(x - du[i], y - dv[i]), b3 = db(x + du[i], y + dv[i]);
                const float change = std::fabs(r3 - r1) + std::fabs(b3 - b1) + 1024.0f;
                const float w = 1.0f / (change * change);
                norm += w;
                sumR += w * (r1 + r3);
                sumB += w * (b1 + b3);
            }
            const float k2 = ColourOnly(c, cfa, pad, x, y) * ColourOnly(c, cfa, pad, x, y),
                        k = k2 * k2;
            const float meanR = 0.25f * (sumR / norm + 2.0f * dr(x, y));
            const float meanB = 0.25f * (sumB / norm + 2.0f * db(x, y));
            r2(x, y) = redOut(x, y) + k * (green(x, y) + meanR - redOut(x, y));
            b2(x, y) = blueOut(x, y) + k * (green(x, y) + meanB - blueOut(x, y));
        });
        redOut = r2;
        blueOut = b2;
    }
    return Store(cfa, pad, redOut, green, blueOut);
}

struct Case {
    std::string name;
    uint32_t width, height;
    std::function<uint16_t(uint32_t, uint32_t)> sample;
};

std::vector<Case> Mosaics() {
    auto hash = [](uint32_t x, uint32_t y, uint32_t seed) {
        uint32_t h = x * 0x9E3779B1u ^ (y + seed) * 0x85EBCA77u;
        h ^= h >> 15, h *= 0x2C1B3C6Du, h ^= h >> 13;
        return h;
    };
    return {
        {"random", 263, 139, [=](uint32_t x, uint32_t y) { return uint16_t(hash(x, y, 1)); }},
        {"zeros", 130, 131, [](uint32_t, uint32_t) { return uint16_t(0); }},
        {"full", 129, 70, [](uint32_t, uint32_t) { return uint16_t(65535); }},
        {"flat", 41, 27, [](uint32_t, uint32_t) { return uint16_t(777); }},
        {"hot pixels", 150, 141,
         [=](uint32_t x, uint32_t y) { return uint16_t(hash(x, y, 2) % 97 == 0 ? 65535 : 0); }},
        {"dead pixels", 145, 133,
         [=](uint32_t x, uint32_t y) { return uint16_t(hash(x, y, 3) % 89 == 0 ? 0 : 65535); }},
        {"lines", 137, 129,
         [](uint32_t x, uint32_t y) { return uint16_t((x % 3 == 0) != (y % 5 == 0) ? 65535 : 3); }},
        {"noisy ramp", 301, 203,
         [=](uint32_t x, uint32_t y) {
             return uint16_t(std::min<uint32_t>(65535, 100 * x + 50 * y + hash(x, y, 4) % 4000));
         }},
        // Red and blue rings on a flat green (for RGGB and BGGR), faint on
        // the left, strong on the right.
        {"equal-green rings", 213, 147,
         [](uint32_t x, uint32_t y) {
             const double dx = x - 100.0, dy = y - 70.0;
             const double t =
                 (0.5 + 0.5 * std::cos((dx * dx + dy * dy) / 300.0)) * (x < 106 ? 0.02 : 1.0);
             const int colour = int((y & 1) + (x & 1));
             return uint16_t(colour == 1   ? 12000
                             : colour == 0 ? 12000 + 30000 * t
                                           : 12000 - 9000 * t);
         }},
        // The same rings in one corner of noise: tiles with such detail,
        // tiles with none, and tiles with it in their halo only.
        {"rings in a corner", 397, 301,
         [=](uint32_t x, uint32_t y) {
             const double dx = x - 330.0, dy = y - 240.0;
             if (dx * dx + dy * dy > 70.0 * 70.0) return uint16_t(8000 + hash(x, y, 7) % 3000);
             const double t = 0.5 + 0.5 * std::cos((dx * dx + dy * dy) / 200.0);
             const int colour = int((y & 1) + (x & 1));
             return uint16_t(colour == 1   ? 12000
                             : colour == 0 ? 12000 + 30000 * t
                                           : 12000 - 9000 * t);
         }},
        {"tiny", 3, 5, [=](uint32_t x, uint32_t y) { return uint16_t(hash(x, y, 5)); }},
        {"strip", 19, 2, [=](uint32_t x, uint32_t y) { return uint16_t(hash(x, y, 6)); }},
    };
}

// What the per-pixel formula of the colour pass makes of packed RGB.
std::vector<uint16_t> Converted(const std::vector<uint16_t>& rgb, const RawMatrix3& m) {
    std::vector<uint16_t> out(rgb.size());
    for (size_t i = 0; i + 2 < rgb.size(); i += 3) {
        const float r = rgb[i], g = rgb[i + 1], b = rgb[i + 2];
        for (size_t c = 0; c < 3; ++c) out[i + c] = ToU16(m[c][0] * r + m[c][1] * g + m[c][2] * b);
    }
    return out;
}

void ExpectIdentical(const std::vector<uint16_t>& out, const std::vector<uint16_t>& expected,
                     const std::string& what) {
    size_t first = 0;
    while (first < out.size() && out[first] == expected[first]) ++first;
    EXPECT_EQ(first, out.size()) << what << ": sample " << first << " is " << out[first]
                                 << ", expected " << expected[first];
}

const RawMatrix3 kCamera{{{1.7f, -0.5f, -0.2f}, {-0.31f, 1.43f, -0.12f}, {0.04f, -0.61f, 1.57f}}};

using Interpolator = void (*)(const CFAPlane&, uint16_t*, unsigned);
using Converting = void (*)(const CFAPlane&, uint16_t*, unsigned, const RawMatrix3&);
using Reference = std::vector<uint16_t> (*)(const CFAPlane&);

// The interpolator against the reference, and its converting form against
// the interpolator followed by the colour formula.
void ExpectMatchesReference(Interpolator run, Converting runConverted, Reference reference,
                            const char* name) {
    std::vector<Case> cases = Mosaics();
    // Too narrow to interpolate: the bilinear fallback, converted afterwards.
    cases.push_back({"column", 1, 7, [](uint32_t, uint32_t y) { return uint16_t(9000 * y); }});
    for (const Case& m : cases) {
        // A row stride past the width, so that a read beyond a row shows.
        const uint32_t stride = m.width + 3;
        std::vector<uint16_t> samples(size_t(stride) * m.height, 0xBEEF);
        for (uint32_t y = 0; y < m.height; ++y)
            for (uint32_t x = 0; x < m.width; ++x) samples[y * stride + x] = m.sample(x, y);
        for (const char* layout : {"RGGB", "BGGR", "GRBG", "GBRG"}) {
            const CFAPlane cfa{samples.data(), m.width, m.height, stride,
                               *CFAPattern::fromName(layout)};
            const std::string what = std::string(name) + " " + m.name + " " + layout;
            std::vector<uint16_t> out(size_t(m.width) * m.height * 3);
            run(cfa, out.data(), 3);
            if (m.width >= 2 && m.height >= 2) ExpectIdentical(out, reference(cfa), what);
            std::vector<uint16_t> converted(out.size());
            runConverted(cfa, converted.data(), 3, kCamera);
            ExpectIdentical(converted, Converted(out, kCamera), what + " converted");
        }
    }
}

}  // namespace

TEST(DemosaicReference, AHDMatchesTheScalarArithmetic) {
    ExpectMatchesReference(DemosaicAHD, DemosaicAHD, ReferenceAHD, "AHD");
}

TEST(DemosaicReference, LMMSEMatchesTheScalarArithmetic) {
    ExpectMatchesReference(DemosaicLMMSE, DemosaicLMMSE, ReferenceLMMSE, "LMMSE");
}

TEST(DemosaicReference, InPlaceColourMatchesThePerPixelFormula) {
    const RawMatrix3 matrices[] = {
        kCamera,
        {{{2.0f, 0.0f, 0.0f}, {0.5f, 0.5f, 0.0f}, {-1.0f, 0.0f, 1.0f}}},
        {{{1.0f, 0.0f, 0.0f}, {0.0f, 1.0f, 0.0f}, {0.0f, 0.0f, 1.0f}}},
    };
    std::mt19937 rng(7);
    for (const RawMatrix3& m : matrices) {
        for (size_t pixels : {size_t(1), size_t(7), size_t(4096 * 3 + 37)}) {
            std::vector<uint16_t> rgb(pixels * 3);
            for (size_t i = 0; i < rgb.size(); ++i)
                rgb[i] = i % 5 == 0 ? uint16_t(65535 * (i / 5 % 2)) : uint16_t(rng());
            const std::vector<uint16_t> expected = Converted(rgb, m);
            RawConvertInPlace(rgb.data(), pixels, m, 3);
            EXPECT_TRUE(rgb == expected) << pixels << " pixels";
        }
    }
}

TEST(DemosaicReference, EitherRenderingTakingWhatTheOtherFoundIsUnchanged) {
    // Red and blue rings on a flat green (for RGGB and BGGR): detail in
    // red and blue alone across many tiles and rows of tiles.
    std::vector<Case> cases = Mosaics();
    cases.push_back({"equal-green rings", 521, 397, [](uint32_t x, uint32_t y) {
                         const double dx = x - 260.0, dy = y - 190.0;
                         const double t = 0.5 + 0.5 * std::cos((dx * dx + dy * dy) / 300.0);
                         const int colour = int((y & 1) + (x & 1));
                         return uint16_t(colour == 1   ? 12000
                                         : colour == 0 ? 12000 + 30000 * t
                                                       : 12000 - 9000 * t);
                     }});
    for (const Case& m : cases) {
        std::vector<uint16_t> samples(size_t(m.width) * m.height);
        for (uint32_t y = 0; y < m.height; ++y)
            for (uint32_t x = 0; x < m.width; ++x) samples[y * m.width + x] = m.sample(x, y);
        for (const char* layout : {"RGGB", "BGGR", "GRBG", "GBRG"}) {
            const CFAPlane cfa{samples.data(), m.width, m.height, m.width,
                               *CFAPattern::fromName(layout)};
            const size_t size = size_t(m.width) * m.height * 3;
            std::vector<uint16_t> masterAlone(size), alternateAlone(size);
            DemosaicAHD(cfa, masterAlone.data(), 3);
            DemosaicLMMSE(cfa, alternateAlone.data(), 3);
            // The same bands share every tile; other bands share some.
            for (unsigned firstBands : {3u, 2u}) {
                const std::string name = m.name + " " + layout + " " + std::to_string(firstBands);
                std::vector<uint16_t> first(size), taking(size);
                platform::ColourOnlyCells masterFound;
                DemosaicAHD(cfa, first.data(), firstBands, nullptr, &masterFound);
                DemosaicLMMSE(cfa, taking.data(), 3, nullptr, &masterFound);
                ExpectIdentical(taking, alternateAlone, name + " LMMSE after AHD");
                platform::ColourOnlyCells alternateFound;
                DemosaicLMMSE(cfa, first.data(), firstBands, nullptr, &alternateFound);
                DemosaicAHD(cfa, taking.data(), 3, nullptr, &alternateFound);
                ExpectIdentical(taking, masterAlone, name + " AHD after LMMSE");
            }
        }
    }
}
