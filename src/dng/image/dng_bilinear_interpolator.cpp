// Kernel construction and the row loops of the bilinear demosaic.
#include "dng/image/dng_bilinear_interpolator.h"

#include <algorithm>

#include "dng/core/dng_exception.h"
#include "dng/core/dng_utils.h"
#include "dng/image/dng_mosaic_info.h"
#include "dng/image/dng_pixel_buffer.h"

namespace {

// Interpolated row: destination column j reads around source column
// (j + startOffset) >> shift with the kernel of its column phase, which
// starts at `phase` and advances by one per column. Columns are visited one
// phase at a time so that each kernel stays in registers; the sums are the
// same as column by column.
template <typename S, typename D, typename W, typename Sum>
void bilinearRow(const S* s, D* d, uint32_t cols, uint32_t phase, uint32_t phaseCount,
                 const uint32_t* counts, const int32_t* offsets, const W* weights, uint32_t shift,
                 uint32_t startOffset, Sum finish) {
    const uint32_t kMax = dng_bilinear_kernel::kMaxCount;
    for (uint32_t q = 0; q < phaseCount && q < cols; ++q) {
        const uint32_t k = (phase + q) % phaseCount;
        const int32_t* off = offsets + k * kMax;
        const W* w = weights + k * kMax;
        const uint32_t n = counts[k];
        if (n == 1) {
            const int32_t o0 = off[0];
            const W w0 = w[0];
            for (uint32_t j = q; j < cols; j += phaseCount) {
                const S* p = s + ((j + startOffset) >> shift);
                d[j] = finish(W(p[o0]) * w0);
            }
        } else if (n == 2) {
            const int32_t o0 = off[0], o1 = off[1];
            const W w0 = w[0], w1 = w[1];
            for (uint32_t j = q; j < cols; j += phaseCount) {
                const S* p = s + ((j + startOffset) >> shift);
                d[j] = finish(W(p[o0]) * w0 + W(p[o1]) * w1);
            }
        } else if (n == 4) {
            const int32_t o0 = off[0], o1 = off[1], o2 = off[2], o3 = off[3];
            const W w0 = w[0], w1 = w[1], w2 = w[2], w3 = w[3];
            for (uint32_t j = q; j < cols; j += phaseCount) {
                const S* p = s + ((j + startOffset) >> shift);
                d[j] = finish(W(p[o0]) * w0 + W(p[o1]) * w1 + W(p[o2]) * w2 + W(p[o3]) * w3);
            }
        } else {
            for (uint32_t j = q; j < cols; j += phaseCount) {
                const S* p = s + ((j + startOffset) >> shift);
                W total = W(0);
                for (uint32_t e = 0; e < n; ++e) total += W(p[off[e]]) * w[e];
                d[j] = finish(total);
            }
        }
    }
}

// 16-bit: 8-bit fixed-point weights summing to 256, rounded.
void bilinearRow16(const uint16_t* s, uint16_t* d, uint32_t cols, uint32_t phase,
                   uint32_t phaseCount, const uint32_t* counts, const int32_t* offsets,
                   const uint16_t* weights, uint32_t shift, uint32_t startOffset) {
    const uint32_t kMax = dng_bilinear_kernel::kMaxCount;
    uint32_t wide[dng_bilinear_pattern::kMaxPattern * kMax];
    for (uint32_t i = 0; i < phaseCount * kMax; ++i) wide[i] = weights[i];
    bilinearRow(s, d, cols, phase, phaseCount, counts, offsets, wide, shift, startOffset,
                [](uint32_t total) { return uint16_t((total + 128) >> 8); });
}

void bilinearRow32(const float* s, float* d, uint32_t cols, uint32_t phase, uint32_t phaseCount,
                   const uint32_t* counts, const int32_t* offsets, const float* weights,
                   uint32_t shift, uint32_t startOffset) {
    bilinearRow(s, d, cols, phase, phaseCount, counts, offsets, weights, shift, startOffset,
                [](float total) { return total; });
}

}  // namespace

// ---------------------------------------------------------------------------

void dng_bilinear_kernel::Add(const dng_point& delta, float weight) {
    if (!(weight > 0.0f)) return;
    for (uint32_t k = 0; k < fCount; ++k) {
        if (fDelta[k] == delta) {
            fWeight32[k] += weight;
            return;
        }
    }
    if (fCount == kMaxCount) ThrowDNGError(dng_error_unknown, "Too many bilinear kernel entries");
    fDelta[fCount] = delta;
    fWeight32[fCount] = weight;
    ++fCount;
}

void dng_bilinear_kernel::Finalize(const dng_point& scale, uint32_t patRow, uint32_t patCol,
                                   int32_t rowStep, int32_t colStep) {
    for (uint32_t k = 0; k < fCount; ++k) {
        if (scale.v == 2) fDelta[k].v = FloorDiv(fDelta[k].v + int32_t(patRow & 1), 2);
        if (scale.h == 2) fDelta[k].h = FloorDiv(fDelta[k].h + int32_t(patCol & 1), 2);
    }

    // Stable insertion sort by row delta, then column delta.
    for (uint32_t i = 1; i < fCount; ++i) {
        const dng_point delta = fDelta[i];
        const float weight = fWeight32[i];
        uint32_t j = i;
        while (j > 0 && (fDelta[j - 1].v > delta.v ||
                         (fDelta[j - 1].v == delta.v && fDelta[j - 1].h > delta.h))) {
            fDelta[j] = fDelta[j - 1];
            fWeight32[j] = fWeight32[j - 1];
            --j;
        }
        fDelta[j] = delta;
        fWeight32[j] = weight;
    }

    int32_t total = 0;
    uint32_t largest = 0;
    for (uint32_t k = 0; k < fCount; ++k) {
        fOffset[k] = fDelta[k].v * rowStep + fDelta[k].h * colStep;
        const float scaled = fWeight32[k] * 256.0f + 0.5f;
        fWeight16[k] = scaled > 0.0f ? uint16_t(std::min(scaled, 65535.0f)) : 0;
        total += fWeight16[k];
        if (fWeight16[k] > fWeight16[largest]) largest = k;
    }
    if (fCount > 0) fWeight16[largest] = uint16_t(fWeight16[largest] + (256 - total));
    for (uint32_t k = 0; k < fCount; ++k) fWeight32[k] = float(fWeight16[k]) * (1.0f / 256.0f);
}

// ---------------------------------------------------------------------------

namespace {

// Which phases of the interpolation grid hold one colour, with wrap-around.
struct ColorMap {
    uint32_t rows = 0;
    uint32_t cols = 0;
    bool site[dng_bilinear_pattern::kMaxPattern][dng_bilinear_pattern::kMaxPattern] = {};
    bool rowHas[dng_bilinear_pattern::kMaxPattern] = {};
    bool colHas[dng_bilinear_pattern::kMaxPattern] = {};

    bool at(int32_t r, int32_t c) const { return site[FloorMod(r, rows)][FloorMod(c, cols)]; }
    bool rowHolds(int32_t r) const { return rowHas[FloorMod(r, rows)]; }
    bool colHolds(int32_t c) const { return colHas[FloorMod(c, cols)]; }
};

// Splits weight between the nearest sites before (distance a) and after
// (distance b) along one line; at(k) says whether offset k holds the colour.
template <typename At, typename AddAt>
void splitNearest(float weight, uint32_t period, At at, AddAt add) {
    int32_t before = -1, after = -1;
    for (int32_t d = 0; d < int32_t(period); ++d) {
        if (before < 0 && at(-d)) before = d;
        if (after < 0 && at(d)) after = d;
    }
    if (before < 0 || after < 0) return;
    if (before + after == 0) {
        add(0, weight);
        return;
    }
    const float sum = float(before + after);
    add(-before, weight * float(after) / sum);
    add(after, weight * float(before) / sum);
}

void buildKernel(const ColorMap& map, int32_t r, int32_t c, dng_bilinear_kernel& kernel) {
    auto has = [&](int32_t dr, int32_t dc) { return map.at(r + dr, c + dc); };
    auto add = [&](int32_t dr, int32_t dc, float w) { kernel.Add(dng_point(dr, dc), w); };

    const bool up = has(-1, 0), down = has(1, 0), left = has(0, -1), right = has(0, 1);
    const bool upLeft = has(-1, -1), upRight = has(-1, 1);
    const bool downLeft = has(1, -1), downRight = has(1, 1);

    if (has(0, 0)) {
        add(0, 0, 1.0f);
    } else if (left && right && up && down) {
        // All four must hold the colour: a neighbour of another colour would
        // leak into this plane.
        add(-1, 0, 0.25f), add(1, 0, 0.25f), add(0, -1, 0.25f), add(0, 1, 0.25f);
    } else if (up && down) {
        add(-1, 0, 0.5f), add(1, 0, 0.5f);
    } else if (left && right) {
        add(0, -1, 0.5f), add(0, 1, 0.5f);
    } else if (up && downLeft && downRight) {
        add(-1, 0, 0.5f), add(1, -1, 0.25f), add(1, 1, 0.25f);
    } else if (upLeft && upRight && down) {
        add(-1, -1, 0.25f), add(-1, 1, 0.25f), add(1, 0, 0.5f);
    } else if (upRight && left && downRight) {
        add(-1, 1, 0.25f), add(0, -1, 0.5f), add(1, 1, 0.25f);
    } else if (upLeft && right && downLeft) {
        add(-1, -1, 0.25f), add(0, 1, 0.5f), add(1, -1, 0.25f);
    } else if (upLeft && upRight && downLeft && downRight) {
        add(-1, -1, 0.25f), add(-1, 1, 0.25f), add(1, -1, 0.25f), add(1, 1, 0.25f);
    } else if (upLeft && downRight) {
        add(-1, -1, 0.5f), add(1, 1, 0.5f);
    } else if (upRight && downLeft) {
        add(-1, 1, 0.5f), add(1, -1, 0.5f);
    } else {
        // Vertical half: nearest rows holding the colour, then nearest sites
        // within each of those rows.
        splitNearest(
            0.5f, map.rows, [&](int32_t d) { return map.rowHolds(r + d); },
            [&](int32_t dr, float w) {
                splitNearest(
                    w, map.cols, [&](int32_t d) { return map.at(r + dr, c + d); },
                    [&](int32_t dc, float w2) { add(dr, dc, w2); });
            });
        // Horizontal half: the same with rows and columns exchanged.
        splitNearest(
            0.5f, map.cols, [&](int32_t d) { return map.colHolds(c + d); },
            [&](int32_t dc, float w) {
                splitNearest(
                    w, map.rows, [&](int32_t d) { return map.at(r + d, c + dc); },
                    [&](int32_t dr, float w2) { add(dr, dc, w2); });
            });
    }
}

}  // namespace

void dng_bilinear_pattern::Calculate(const dng_mosaic_info& info, uint32_t colorPlane,
                                     int32_t rowStep, int32_t colStep) {
    const uint32_t layout = info.fCFALayout;
    if (layout < 1 || layout > 9) ThrowDNGError(dng_error_unknown, "Unsupported CFA layout");
    const int32_t patternRows = info.fCFAPatternSize.v;
    const int32_t patternCols = info.fCFAPatternSize.h;
    if (patternRows < 1 || patternRows > int32_t(dng_mosaic_info::kMaxCFAPattern) ||
        patternCols < 1 || patternCols > int32_t(dng_mosaic_info::kMaxCFAPattern) ||
        colorPlane >= dng_mosaic_info::kMaxColorPlanes) {
        ThrowDNGError(dng_error_unknown, "Invalid CFA pattern");
    }

    const bool quarter = layout >= 6;
    fScale = info.FullScale();
    fPatRows = uint32_t(patternRows * fScale.v) * (quarter ? 2 : 1);
    fPatCols = uint32_t(patternCols * fScale.h) * (quarter ? 2 : 1);

    const uint8_t key = info.fCFAPlaneColor[colorPlane];
    auto pattern = [&](uint32_t r, uint32_t c) {
        return info.fCFAPattern[r % uint32_t(patternRows)][c % uint32_t(patternCols)];
    };

    ColorMap map;
    map.rows = fPatRows;
    map.cols = fPatCols;
    const uint32_t rowPhase = (layout == 6 || layout == 7) ? 1 : 3;
    const uint32_t colPhase = (layout == 6 || layout == 8) ? 1 : 3;
    for (uint32_t r = 0; r < fPatRows; ++r) {
        for (uint32_t c = 0; c < fPatCols; ++c) {
            bool site = false;
            const bool sameParity = (c & 1) == (r & 1);
            switch (layout) {
                case 1:
                    site = pattern(r, c) == key;
                    break;
                case 2:
                    site = sameParity && pattern(r / 2, c) == key;
                    break;
                case 3:
                    site = !sameParity && pattern(r / 2, c) == key;
                    break;
                case 4:
                    site = sameParity && pattern(r, c / 2) == key;
                    break;
                case 5:
                    site = !sameParity && pattern(r, c / 2) == key;
                    break;
                default: {
                    const uint32_t rr = r % 4, cc = c % 4;
                    if ((rr == 0 || rr == rowPhase) && (cc == 0 || cc == colPhase)) {
                        site = pattern(2 * (r / 4) + (rr != 0), 2 * (c / 4) + (cc != 0)) == key;
                    }
                    break;
                }
            }
            map.site[r][c] = site;
            if (site) map.rowHas[r] = map.colHas[c] = true;
        }
    }

    auto store = [&](uint32_t rowPhase, uint32_t colPhase, const dng_bilinear_kernel& kernel) {
        fCounts[rowPhase][colPhase] = kernel.fCount;
        for (uint32_t e = 0; e < kernel.fCount; ++e) {
            const uint32_t slot = colPhase * dng_bilinear_kernel::kMaxCount + e;
            fOffsets[rowPhase][slot] = kernel.fOffset[e];
            fWeights16[rowPhase][slot] = kernel.fWeight16[e];
            fWeights32[rowPhase][slot] = kernel.fWeight32[e];
        }
    };

    if (!quarter) {
        fRowPhases = fPatRows;
        fColPhases = fPatCols;
        for (uint32_t r = 0; r < fPatRows; ++r) {
            for (uint32_t c = 0; c < fPatCols; ++c) {
                dng_bilinear_kernel& kernel = fKernel[r][c];
                kernel = dng_bilinear_kernel();
                buildKernel(map, int32_t(r), int32_t(c), kernel);
                kernel.Finalize(fScale, r, c, rowStep, colStep);
                store(r, c, kernel);
            }
        }
        return;
    }

    // Quarter-offset layouts: each source pixel sits on one site of the
    // doubled grid (two of every four grid rows and columns). The kernel of a
    // source phase is built at its site and its grid deltas are mapped back
    // to source pixels.
    auto siteRow = [&](int32_t i) { return 4 * (i / 2) + ((i & 1) ? int32_t(rowPhase) : 0); };
    auto siteCol = [&](int32_t j) { return 4 * (j / 2) + ((j & 1) ? int32_t(colPhase) : 0); };
    auto sourceOf = [](int32_t g) { return 2 * FloorDiv(g, 4) + (FloorMod(g, 4) != 0 ? 1 : 0); };
    fRowPhases = uint32_t(patternRows);
    fColPhases = uint32_t(patternCols);
    for (int32_t i = 0; i < patternRows; ++i) {
        for (int32_t j = 0; j < patternCols; ++j) {
            dng_bilinear_kernel& kernel = fKernel[i][j];
            kernel = dng_bilinear_kernel();
            const int32_t gr = siteRow(i), gc = siteCol(j);
            buildKernel(map, gr, gc, kernel);
            for (uint32_t e = 0; e < kernel.fCount; ++e) {
                kernel.fDelta[e].v = sourceOf(gr + kernel.fDelta[e].v) - i;
                kernel.fDelta[e].h = sourceOf(gc + kernel.fDelta[e].h) - j;
            }
            kernel.Finalize(fScale, uint32_t(i), uint32_t(j), rowStep, colStep);
            store(uint32_t(i), uint32_t(j), kernel);
        }
    }
}

// ---------------------------------------------------------------------------

dng_bilinear_interpolator::dng_bilinear_interpolator(const dng_mosaic_info& info, int32_t rowStep,
                                                     int32_t colStep)
    : fPlanes(info.fColorPlanes) {
    if (fPlanes < 1 || fPlanes > dng_mosaic_info::kMaxColorPlanes)
        ThrowDNGError(dng_error_unknown, "Invalid colour plane count");
    for (uint32_t plane = 0; plane < fPlanes; ++plane)
        fPattern[plane].Calculate(info, plane, rowStep, colStep);
}

void dng_bilinear_interpolator::Interpolate(const dng_pixel_buffer& srcBuffer,
                                            dng_pixel_buffer& dstBuffer) const {
    // 16-bit samples to 16-bit planes, float samples (0..1) to float planes.
    const bool real = dstBuffer.fPixelType == 11;
    if (srcBuffer.fPixelType != (real ? 11u : 3u) || (dstBuffer.fPixelType != 3 && !real))
        ThrowNotYetImplemented();
    const dng_rect& area = dstBuffer.fArea;
    const uint32_t cols = area.W();
    const uint32_t planes = std::min(fPlanes, dstBuffer.fPlanes);
    for (int32_t row = area.t; row < area.b; ++row) {
        for (uint32_t plane = 0; plane < planes; ++plane) {
            const dng_bilinear_pattern& pattern = fPattern[plane];
            const int32_t srcRow = FloorDiv(row, pattern.fScale.v);
            const int32_t srcCol = FloorDiv(area.l, pattern.fScale.h);
            const uint32_t shift = pattern.fScale.h == 2 ? 1 : 0;
            const uint32_t startOffset = FloorMod(area.l, uint32_t(pattern.fScale.h));
            const uint32_t rowPhase = FloorMod(row, pattern.fRowPhases);
            const uint32_t colPhase = FloorMod(area.l, pattern.fColPhases);
            if (!real) {
                bilinearRow16(srcBuffer.ConstPixel_uint16(srcRow, srcCol, srcBuffer.fPlane),
                              dstBuffer.DirtyPixel_uint16(row, area.l, dstBuffer.fPlane + plane),
                              cols, colPhase, pattern.fColPhases, pattern.fCounts[rowPhase],
                              pattern.fOffsets[rowPhase], pattern.fWeights16[rowPhase], shift,
                              startOffset);
            } else {
                bilinearRow32(srcBuffer.ConstPixel_real32(srcRow, srcCol, srcBuffer.fPlane),
                              dstBuffer.DirtyPixel_real32(row, area.l, dstBuffer.fPlane + plane),
                              cols, colPhase, pattern.fColPhases, pattern.fCounts[rowPhase],
                              pattern.fOffsets[rowPhase], pattern.fWeights32[rowPhase], shift,
                              startOffset);
            }
        }
    }
}
