// Doubling a plane in both directions. Input: a (W/2) x (H/2) plane of
// 8-bit samples; output: W x H samples, optionally plus the signed residual
// already in the destination, clamped to 0..255. Neighbours beyond the last
// row or column repeat it. The luma-guided mode places each new chroma sample
// along the luma plane's own transitions (halo: one destination row and
// column). Work runs in eight bands of destination rows; every band writes
// only its own rows, so results do not depend on the number of workers.
#include <algorithm>
#include <cstdlib>

#include "photocd/pcdCodec.h"
#include "platform/Dispatch.h"

void pcdRunBands(unsigned workers, const std::function<void(unsigned band)>& body) {
    if (workers == 1) {
        for (unsigned b = 0; b < kPcdBands; ++b) body(b);
        return;
    }
    platform::apply(kPcdBands, platform::DispatchQueue::global(),
                    [&body](size_t b) { body(unsigned(b)); });
}

namespace {

inline uint8_t clamp8(int v) { return uint8_t(std::clamp(v, 0, 255)); }

inline uint8_t withResidual(int value, uint8_t* d, bool add) {
    return add ? clamp8(value + int(int8_t(*d))) : uint8_t(value);
}

// The estimate between a and b at a place whose guide value is gM.
inline int guided(int a, int b, int gA, int gB, int gM) {
    int v;
    if (gA != gB)
        v = a + (gM - gA) * (b - a) / (gB - gA);
    else
        v = (a + b + 1) >> 1;
    return std::clamp(v, std::min(a, b), std::max(a, b));
}

struct Geometry {
    const uint8_t* s;
    uint8_t* d;
    const uint8_t* g;
    unsigned W, H, sw, sh;
    uint8_t src(unsigned i, unsigned j) const {
        return s[size_t(std::min(i, sh - 1)) * sw + std::min(j, sw - 1)];
    }
    const uint8_t* guide(unsigned r, unsigned c) const {
        return &g[size_t(std::min(r, H - 1)) * W + std::min(c, W - 1)];
    }
    uint8_t* dst(unsigned r, unsigned c) const { return &d[size_t(r) * W + c]; }
};

void replicateRows(const Geometry& q, unsigned r0, unsigned r1, bool add) {
    for (unsigned r = r0; r < r1; ++r)
        for (unsigned c = 0; c < q.W; ++c) {
            uint8_t* d = q.dst(r, c);
            *d = withResidual(q.src(r / 2, c / 2), d, add);
        }
}

// Source rows i0..i1 give destination rows 2 i0 .. 2 i1 - 1.
void bilinearRows(const Geometry& q, unsigned i0, unsigned i1, bool add) {
    for (unsigned i = i0; i < i1; ++i)
        for (unsigned j = 0; j < q.sw; ++j) {
            const int a = q.src(i, j), b = q.src(i, j + 1);
            const int c = q.src(i + 1, j), e = q.src(i + 1, j + 1);
            const unsigned r = 2 * i, k = 2 * j;
            uint8_t* d = q.dst(r, k);
            d[0] = withResidual(a, d, add);
            d[1] = withResidual((a + b + 1) >> 1, d + 1, add);
            d = q.dst(r + 1, k);
            d[0] = withResidual((a + c + 1) >> 1, d, add);
            d[1] = withResidual((a + b + c + e + 2) >> 2, d + 1, add);
        }
}

void guidedPass1(const Geometry& q, unsigned i0, unsigned i1) {
    for (unsigned i = i0; i < i1; ++i)
        for (unsigned j = 0; j < q.sw; ++j) {
            const unsigned r = 2 * i, c = 2 * j;
            const int a = q.src(i, j);
            const int gA = *q.guide(r, c);
            *q.dst(r, c) = uint8_t(a);
            *q.dst(r, c + 1) =
                uint8_t(guided(a, q.src(i, j + 1), gA, *q.guide(r, c + 2), *q.guide(r, c + 1)));
            *q.dst(r + 1, c) =
                uint8_t(guided(a, q.src(i + 1, j), gA, *q.guide(r + 2, c), *q.guide(r + 1, c)));
        }
}

void guidedReplicateEdges(const Geometry& q) {
    for (unsigned c = 0; c < q.W; ++c) *q.dst(q.H - 1, c) = q.src((q.H - 1) / 2, c / 2);
    for (unsigned r = 0; r < q.H; ++r) *q.dst(r, q.W - 1) = q.src(r / 2, (q.W - 1) / 2);
}

void guidedPass2(const Geometry& q, unsigned r0, unsigned r1) {
    for (unsigned r = r0 | 1; r < r1; r += 2)
        for (unsigned c = 1; c < q.W; c += 2) {
            const int g = *q.guide(r, c);
            const int gUp = *q.guide(r - 1, c), gDown = *q.guide(r + 1, c);
            const int gLeft = *q.guide(r, c - 1), gRight = *q.guide(r, c + 1);
            const int dv = std::abs(gUp + gDown - 2 * g);
            const int dh = std::abs(gLeft + gRight - 2 * g);
            const unsigned rd = std::min(r + 1, q.H - 1), cr = std::min(c + 1, q.W - 1);
            int v;
            if (dv <= dh)
                v = guided(*q.dst(r - 1, c), *q.dst(rd, c), gUp, gDown, g);
            else
                v = guided(*q.dst(r, c - 1), *q.dst(r, cr), gLeft, gRight, g);
            *q.dst(r, c) = clamp8(v);
        }
}

}  // namespace

void pcdUpsample(const uint8_t* source, uint8_t* destination, const uint8_t* guide, unsigned width,
                 unsigned height, int mode, bool addResidual, unsigned workers) {
    if (!destination || !source || width < 2 || height < 2) return;
    const Geometry q{source, destination, guide, width, height, width / 2, height / 2};
    if (mode <= 0) {
        replicateRows(q, 0, height, addResidual);
        return;
    }
    if (mode == 1 || !guide || addResidual) {
        pcdRunBands(workers, [&](unsigned b) {
            bilinearRows(q, pcdBandStart(b, q.sh), pcdBandStart(b + 1, q.sh), addResidual);
        });
        return;
    }
    pcdRunBands(workers, [&](unsigned b) {
        guidedPass1(q, pcdBandStart(b, q.sh), pcdBandStart(b + 1, q.sh));
    });
    guidedReplicateEdges(q);
    pcdRunBands(workers, [&](unsigned b) {
        guidedPass2(q, pcdBandStart(b, q.H), pcdBandStart(b + 1, q.H));
    });
}
