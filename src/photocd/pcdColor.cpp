// YCC to RGB output. Input: the luma plane and the two chroma planes at the
// level in use (chroma first doubled to full size unless replication is
// asked). Output: R, G, B (and A) samples of 8 bits, 16 bits or float, in
// colour space 0 (Photo CD RGB as encoded), 1 (linear), 2 (sRGB-encoded) or
// 3 (the YCC values), turned to the stored orientation. Integer maths on a
// scale of 0 to 1388 (255 x 1024 / 188); transfer curves and output scales
// are tables. Runs in eight bands of stored rows.
#include "photocd/pcdColor.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "photocd/pcdDecode.h"

namespace {

double inverse709(double v) {
    return v < 0.081 ? v / 4.5 : std::pow((v + 0.099) / 1.099, 1.0 / 0.45);
}

double encodeSRGB(double v) {
    return v <= 0.0031308 ? 12.92 * v : 1.055 * std::pow(v, 1.0 / 2.4) - 0.055;
}

pcdColorTables buildTables() {
    pcdColorTables t;
    const int n = kPcdColorMax;
    for (int i = 0; i <= n; ++i) {
        const double linear = 695.0 * inverse709(i * 1.402 / n);
        t.T[i] = uint16_t(std::clamp(std::lround(linear), 0l, long(n - 1)));
        t.U[i] = uint16_t(std::min(n - 1, int(std::floor(n * encodeSRGB(double(i) / n)))));
        t.out16[i] = uint16_t(uint64_t(i) * 65535 / n);
        t.out8[i] = uint8_t(i * 255 / n);
        t.outFloat[i] = float(std::round(double(i) / n * 1e6) / 1e6);
    }
    // The curve passes exactly through these points.
    static const int points[][2] = {{0, 0},     {128, 21},   {256, 58},    {512, 193},
                                    {768, 419}, {1024, 744}, {1280, 1174}, {1388, 1387}};
    for (const auto& p : points) t.T[p[0]] = uint16_t(p[1]);
    for (int i = 1; i <= n; ++i) t.T[i] = std::max(t.T[i], t.T[i - 1]);
    return t;
}

template <typename Sample>
struct Output {
    Sample *R, *G, *B, *A;
    const Sample* table;
    Sample opaque;
};

struct Planes {
    const uint8_t *Y, *C1, *C2;
    bool fullChroma;  // chroma at (r, c), else at (r / 2, c / 2)
    unsigned W, H;
};

template <typename Sample>
void convertRows(const pcdColorTables& t, const Planes& p, const Output<Sample>& o, size_t step,
                 int space, int option, unsigned orientation, unsigned r0, unsigned r1) {
    const unsigned W = p.W, H = p.H;
    const bool chroma = p.C1 && p.C2;
    for (unsigned r = r0; r < r1; ++r)
        for (unsigned c = 0; c < W; ++c) {
            const int Y = p.Y[size_t(r) * W + c];
            int C1 = 0, C2 = 0;
            if (chroma) {
                const size_t at =
                    p.fullChroma ? size_t(r) * W + c : size_t(r / 2) * (W / 2) + c / 2;
                C1 = p.C1[at];
                C2 = p.C2[at];
            }
            int R, G, B;
            if (space == 3) {
                R = Y * 1024 / 188;
                G = C1 * 1024 / 188;
                B = C2 * 1024 / 188;
            } else {
                const int y = 5573 * Y;
                const int c1 = chroma ? 9085 * (C1 - 156) : 0;
                const int c2 = chroma ? 7461 * (C2 - 137) : 0;
                R = std::clamp((y + c2) >> 10, 0, kPcdColorMax);
                G = std::clamp((y >> 10) - c1 / 5278 - c2 / 2012, 0, kPcdColorMax);
                B = std::clamp((y + c1) >> 10, 0, kPcdColorMax);
                if (space == 1 || space == 2) {
                    R = t.T[R];
                    G = t.T[G];
                    B = t.T[B];
                    if (option == 1) {
                        const int r2 = (5930 * R - 143 * G + 393 * B) >> 13;
                        const int g2 = (-176 * R + 6268 * G + 131 * B) >> 13;
                        const int b2 = (76 * R - 128 * G + 8256 * B) >> 13;
                        R = r2, G = g2, B = b2;
                    }
                    R = std::clamp(R, 0, kPcdColorMax);
                    G = std::clamp(G, 0, kPcdColorMax);
                    B = std::clamp(B, 0, kPcdColorMax);
                    if (space == 2) {
                        R = t.U[R];
                        G = t.U[G];
                        B = t.U[B];
                    }
                }
            }
            size_t at;
            switch (orientation) {
                case 1:
                    at = size_t(W - 1 - c) * H + r;
                    break;
                case 2:
                    at = size_t(H - 1 - r) * W + (W - 1 - c);
                    break;
                case 3:
                    at = size_t(c) * H + (H - 1 - r);
                    break;
                default:
                    at = size_t(r) * W + c;
                    break;
            }
            at *= step;
            o.R[at] = o.table[R];
            o.G[at] = o.table[G];
            o.B[at] = o.table[B];
            if (o.A) o.A[at] = o.opaque;
        }
}

}  // namespace

const pcdColorTables& pcdColorTables::shared() {
    static const pcdColorTables tables = buildTables();
    return tables;
}

bool pcdDecode::convertBands(void* R, void* G, void* B, void* A, int step, int format) {
    if (!header || !planeY || planeLevel != resolution || !R || !G || !B || step < 1) return false;
    const pcdSize s = pcdLevelSize(resolution);
    const bool withChroma = !lumaOnly && planeC1 && planeC2;
    const int mode = std::clamp(interpolationMode, 0, 2);
    pcdBytes fullC1, fullC2;
    try {
        if (withChroma && mode > 0) {
            const size_t n = size_t(s.width) * s.height;
            fullC1 = pcdAlloc(n);
            fullC2 = pcdAlloc(n);
            if (!fullC1 || !fullC2) throw "Memory Error!";
            pcdUpsample(planeC1.get(), fullC1.get(), planeY.get(), s.width, s.height, mode, false,
                        workers_);
            pcdUpsample(planeC2.get(), fullC2.get(), planeY.get(), s.width, s.height, mode, false,
                        workers_);
        }
    } catch (const char* text) {
        setErrorText(text);
        return false;
    }
    Planes p{planeY.get(), nullptr, nullptr, mode > 0, s.width, s.height};
    if (withChroma) {
        p.C1 = mode > 0 ? fullC1.get() : planeC1.get();
        p.C2 = mode > 0 ? fullC2.get() : planeC2.get();
    }
    const pcdColorTables& t = pcdColorTables::shared();
    const int space = std::clamp(colorSpace, 0, 3);
    const unsigned turn = orientation;
    auto run = [&](auto output) {
        pcdRunBands(workers_, [&](unsigned b) {
            convertRows(t, p, output, size_t(step), space, option, turn, pcdBandStart(b, s.height),
                        pcdBandStart(b + 1, s.height));
        });
    };
    switch (format) {
        case 0:
            run(Output<uint8_t>{static_cast<uint8_t*>(R), static_cast<uint8_t*>(G),
                                static_cast<uint8_t*>(B), static_cast<uint8_t*>(A), t.out8, 255});
            break;
        case 1:
            run(Output<uint16_t>{static_cast<uint16_t*>(R), static_cast<uint16_t*>(G),
                                 static_cast<uint16_t*>(B), static_cast<uint16_t*>(A), t.out16,
                                 65535});
            break;
        case 2:
            run(Output<float>{static_cast<float*>(R), static_cast<float*>(G),
                              static_cast<float*>(B), static_cast<float*>(A), t.outFloat, 1.0f});
            break;
        default:
            return false;
    }
    return true;
}

bool pcdDecode::readImageFloat(float* R, float* G, float* B, float* A, int step) {
    return convertBands(R, G, B, A, step, 2);
}

bool pcdDecode::readImage16(uint16_t* R, uint16_t* G, uint16_t* B, uint16_t* A, int step) {
    return convertBands(R, G, B, A, step, 1);
}

bool pcdDecode::readImage8(uint8_t* R, uint8_t* G, uint8_t* B, uint8_t* A, int step) {
    return convertBands(R, G, B, A, step, 0);
}
