// Plain loops written so that the compiler can vectorise the contiguous cases:
// every area routine checks for unit inner steps and then runs a simple
// indexed loop over restrict-qualified pointers.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC optimize("O3", "no-trapping-math")
#endif

#include "dng/color/dng_bottleneck.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "dng/color/dng_1d_table.h"
#include "dng/color/dng_hue_sat_map.h"
#include "dng/core/dng_matrix.h"

namespace {

inline real32 Pin(real32 x) {
    // NaN compares false and lands on 0.
    return x > 0.0f ? (x < 1.0f ? x : 1.0f) : 0.0f;
}

// Visits every sample of a rows × cols × planes area of one buffer.
template <class T, class Op>
inline void ForArea(T* dPtr, uint32 rows, uint32 cols, uint32 planes, int32 rowStep, int32 colStep,
                    int32 planeStep, Op op) {
    for (uint32 row = 0; row < rows; ++row, dPtr += rowStep) {
        if (planes == 1 && colStep == 1) {
            T* __restrict d = dPtr;
            for (uint32 col = 0; col < cols; ++col) op(d[col]);
            continue;
        }
        T* dCol = dPtr;
        for (uint32 col = 0; col < cols; ++col, dCol += colStep) {
            if (planeStep == 1) {
                T* __restrict d = dCol;
                for (uint32 plane = 0; plane < planes; ++plane) op(d[plane]);
            } else {
                T* d = dCol;
                for (uint32 plane = 0; plane < planes; ++plane, d += planeStep) op(*d);
            }
        }
    }
}

// Visits every sample pair of a source and a destination area.
template <class S, class D, class Op>
inline void ForArea2(const S* sPtr, D* dPtr, uint32 rows, uint32 cols, uint32 planes,
                     int32 sRowStep, int32 sColStep, int32 sPlaneStep, int32 dRowStep,
                     int32 dColStep, int32 dPlaneStep, Op op) {
    for (uint32 row = 0; row < rows; ++row, sPtr += sRowStep, dPtr += dRowStep) {
        if (planes == 1 && sColStep == 1 && dColStep == 1) {
            const S* __restrict s = sPtr;
            D* __restrict d = dPtr;
            for (uint32 col = 0; col < cols; ++col) d[col] = op(s[col]);
            continue;
        }
        const S* sCol = sPtr;
        D* dCol = dPtr;
        for (uint32 col = 0; col < cols; ++col, sCol += sColStep, dCol += dColStep) {
            if (sPlaneStep == 1 && dPlaneStep == 1) {
                const S* __restrict s = sCol;
                D* __restrict d = dCol;
                for (uint32 plane = 0; plane < planes; ++plane) d[plane] = op(s[plane]);
            } else {
                const S* s = sCol;
                D* d = dCol;
                for (uint32 plane = 0; plane < planes; ++plane, s += sPlaneStep, d += dPlaneStep)
                    *d = op(*s);
            }
        }
    }
}

template <class T>
inline bool EqualAreaT(const T* sPtr, const T* dPtr, uint32 rows, uint32 cols, uint32 planes,
                       int32 sRowStep, int32 sColStep, int32 sPlaneStep, int32 dRowStep,
                       int32 dColStep, int32 dPlaneStep) {
    for (uint32 row = 0; row < rows; ++row, sPtr += sRowStep, dPtr += dRowStep) {
        const T* sCol = sPtr;
        const T* dCol = dPtr;
        for (uint32 col = 0; col < cols; ++col, sCol += sColStep, dCol += dColStep) {
            const T* s = sCol;
            const T* d = dCol;
            for (uint32 plane = 0; plane < planes; ++plane, s += sPlaneStep, d += dPlaneStep)
                if (*s != *d) return false;
        }
    }
    return true;
}

template <class T>
inline void RepeatAreaT(const T* sPtr, T* dPtr, uint32 rows, uint32 cols, uint32 planes,
                        int32 rowStep, int32 colStep, int32 planeStep, uint32 repeatV,
                        uint32 repeatH, uint32 phaseV, uint32 phaseH) {
    uint32 patRow = phaseV;
    for (uint32 row = 0; row < rows; ++row, dPtr += rowStep) {
        const T* sRow = sPtr + (intptr_t)patRow * rowStep;
        uint32 patCol = phaseH;
        T* dCol = dPtr;
        for (uint32 col = 0; col < cols; ++col, dCol += colStep) {
            const T* s = sRow + (intptr_t)patCol * colStep;
            T* d = dCol;
            for (uint32 plane = 0; plane < planes; ++plane, s += planeStep, d += planeStep) *d = *s;
            if (++patCol == repeatH) patCol = 0;
        }
        if (++patRow == repeatV) patRow = 0;
    }
}

inline real32 Lookup(const real32* __restrict table, real32 count, real32 x) {
    real32 y = x * count;
    int32 index = (int32)y;
    real32 fract = y - (real32)index;
    return table[index] * (1.0f - fract) + table[index + 1] * fract;
}

// Matrix entries as single precision once per call.
struct Matrix3x4f {
    real32 m[3][4] = {};
};

Matrix3x4f ToFloat(const dng_matrix& matrix, uint32 rows, uint32 cols) {
    Matrix3x4f result;
    for (uint32 r = 0; r < rows; ++r)
        for (uint32 c = 0; c < cols; ++c) result.m[r][c] = (real32)matrix[r][c];
    return result;
}

}  // namespace

void ReferenceZeroBytes(void* dPtr, uint32 count) {
    if (count) std::memset(dPtr, 0, count);
}

void ReferenceCopyBytes(const void* sPtr, void* dPtr, uint32 count) {
    if (count) std::memcpy(dPtr, sPtr, count);
}

void ReferenceSwapBytes16(uint16* __restrict dPtr, uint32 count) {
    for (uint32 i = 0; i < count; ++i) dPtr[i] = (uint16)((dPtr[i] >> 8) | (dPtr[i] << 8));
}

void ReferenceSwapBytes32(uint32* __restrict dPtr, uint32 count) {
    for (uint32 i = 0; i < count; ++i) dPtr[i] = __builtin_bswap32(dPtr[i]);
}

void ReferenceSetArea8(uint8* dPtr, uint8 value, uint32 rows, uint32 cols, uint32 planes,
                       int32 rowStep, int32 colStep, int32 planeStep) {
    ForArea(dPtr, rows, cols, planes, rowStep, colStep, planeStep,
            [value](uint8& d) { d = value; });
}

void ReferenceSetArea16(uint16* dPtr, uint16 value, uint32 rows, uint32 cols, uint32 planes,
                        int32 rowStep, int32 colStep, int32 planeStep) {
    ForArea(dPtr, rows, cols, planes, rowStep, colStep, planeStep,
            [value](uint16& d) { d = value; });
}

void ReferenceSetArea32(uint32* dPtr, uint32 value, uint32 rows, uint32 cols, uint32 planes,
                        int32 rowStep, int32 colStep, int32 planeStep) {
    ForArea(dPtr, rows, cols, planes, rowStep, colStep, planeStep,
            [value](uint32& d) { d = value; });
}

#define DNG_COPY_ARGS                                                                          \
    uint32 rows, uint32 cols, uint32 planes, int32 sRowStep, int32 sColStep, int32 sPlaneStep, \
        int32 dRowStep, int32 dColStep, int32 dPlaneStep
#define DNG_COPY_PASS \
    rows, cols, planes, sRowStep, sColStep, sPlaneStep, dRowStep, dColStep, dPlaneStep

void ReferenceCopyArea8(const uint8* sPtr, uint8* dPtr, DNG_COPY_ARGS) {
    ForArea2(sPtr, dPtr, DNG_COPY_PASS, [](uint8 s) { return s; });
}

void ReferenceCopyArea16(const uint16* sPtr, uint16* dPtr, DNG_COPY_ARGS) {
    ForArea2(sPtr, dPtr, DNG_COPY_PASS, [](uint16 s) { return s; });
}

void ReferenceCopyArea32(const uint32* sPtr, uint32* dPtr, DNG_COPY_ARGS) {
    ForArea2(sPtr, dPtr, DNG_COPY_PASS, [](uint32 s) { return s; });
}

void ReferenceCopyArea8To16(const uint8* sPtr, uint16* dPtr, DNG_COPY_ARGS) {
    ForArea2(sPtr, dPtr, DNG_COPY_PASS, [](uint8 s) { return (uint16)s; });
}

void ReferenceCopyArea8ToSigned16(const uint8* sPtr, int16* dPtr, DNG_COPY_ARGS) {
    ForArea2(sPtr, dPtr, DNG_COPY_PASS, [](uint8 s) { return (int16)(s ^ 0x8000); });
}

void ReferenceCopyArea8To32(const uint8* sPtr, uint32* dPtr, DNG_COPY_ARGS) {
    ForArea2(sPtr, dPtr, DNG_COPY_PASS, [](uint8 s) { return (uint32)s; });
}

void ReferenceCopyArea16ToSigned16(const uint16* sPtr, int16* dPtr, DNG_COPY_ARGS) {
    ForArea2(sPtr, dPtr, DNG_COPY_PASS, [](uint16 s) { return (int16)(s ^ 0x8000); });
}

void ReferenceCopyArea16To32(const uint16* sPtr, uint32* dPtr, DNG_COPY_ARGS) {
    ForArea2(sPtr, dPtr, DNG_COPY_PASS, [](uint16 s) { return (uint32)s; });
}

void ReferenceCopyArea8ToReal32(const uint8* sPtr, real32* dPtr, DNG_COPY_ARGS, uint32 pixelRange) {
    const real32 scale = 1.0f / (real32)pixelRange;
    ForArea2(sPtr, dPtr, DNG_COPY_PASS, [scale](uint8 s) { return (real32)s * scale; });
}

void ReferenceCopyArea16ToReal32(const uint16* sPtr, real32* dPtr, DNG_COPY_ARGS,
                                 uint32 pixelRange) {
    const real32 scale = 1.0f / (real32)pixelRange;
    ForArea2(sPtr, dPtr, DNG_COPY_PASS, [scale](uint16 s) { return (real32)s * scale; });
}

void ReferenceCopyAreaSigned16ToReal32(const int16* sPtr, real32* dPtr, DNG_COPY_ARGS,
                                       uint32 pixelRange) {
    const real32 scale = 1.0f / (real32)pixelRange;
    ForArea2(sPtr, dPtr, DNG_COPY_PASS,
             [scale](int16 s) { return (real32)((uint16)s ^ 0x8000) * scale; });
}

void ReferenceCopyAreaReal32To8(const real32* sPtr, uint8* dPtr, DNG_COPY_ARGS, uint32 pixelRange) {
    const real32 range = (real32)pixelRange;
    ForArea2(sPtr, dPtr, DNG_COPY_PASS,
             [range](real32 s) { return (uint8)(int32)(Pin(s) * range + 0.5f); });
}

void ReferenceCopyAreaReal32To16(const real32* sPtr, uint16* dPtr, DNG_COPY_ARGS,
                                 uint32 pixelRange) {
    const real32 range = (real32)pixelRange;
    ForArea2(sPtr, dPtr, DNG_COPY_PASS,
             [range](real32 s) { return (uint16)(int32)(Pin(s) * range + 0.5f); });
}

void ReferenceCopyAreaReal32ToSigned16(const real32* sPtr, int16* dPtr, DNG_COPY_ARGS,
                                       uint32 pixelRange) {
    const real32 range = (real32)pixelRange;
    ForArea2(sPtr, dPtr, DNG_COPY_PASS, [range](real32 s) {
        return (int16)((uint16)(int32)(Pin(s) * range + 0.5f) ^ 0x8000);
    });
}

void ReferenceRepeatArea8(const uint8* sPtr, uint8* dPtr, uint32 rows, uint32 cols, uint32 planes,
                          int32 rowStep, int32 colStep, int32 planeStep, uint32 repeatV,
                          uint32 repeatH, uint32 phaseV, uint32 phaseH) {
    RepeatAreaT(sPtr, dPtr, rows, cols, planes, rowStep, colStep, planeStep, repeatV, repeatH,
                phaseV, phaseH);
}

void ReferenceRepeatArea16(const uint16* sPtr, uint16* dPtr, uint32 rows, uint32 cols,
                           uint32 planes, int32 rowStep, int32 colStep, int32 planeStep,
                           uint32 repeatV, uint32 repeatH, uint32 phaseV, uint32 phaseH) {
    RepeatAreaT(sPtr, dPtr, rows, cols, planes, rowStep, colStep, planeStep, repeatV, repeatH,
                phaseV, phaseH);
}

void ReferenceRepeatArea32(const uint32* sPtr, uint32* dPtr, uint32 rows, uint32 cols,
                           uint32 planes, int32 rowStep, int32 colStep, int32 planeStep,
                           uint32 repeatV, uint32 repeatH, uint32 phaseV, uint32 phaseH) {
    RepeatAreaT(sPtr, dPtr, rows, cols, planes, rowStep, colStep, planeStep, repeatV, repeatH,
                phaseV, phaseH);
}

void ReferenceShiftRight16(uint16* dPtr, uint32 rows, uint32 cols, uint32 planes, int32 rowStep,
                           int32 colStep, int32 planeStep, uint32 shift) {
    ForArea(dPtr, rows, cols, planes, rowStep, colStep, planeStep,
            [shift](uint16& d) { d = (uint16)(d >> shift); });
}

void ReferenceBilinearRow16(const uint16* sPtr, uint16* dPtr, uint32 cols, uint32 patPhase,
                            uint32 patCount, const uint32* kernCounts,
                            const int32* const* kernOffsets, const uint16* const* kernWeights,
                            uint32 sShift) {
    for (uint32 j = 0; j < cols; ++j) {
        const uint16* p = sPtr + (j >> sShift);
        const uint32 count = kernCounts[patPhase];
        const int32* offsets = kernOffsets[patPhase];
        const uint16* weights = kernWeights[patPhase];
        uint32 total = 128;
        for (uint32 k = 0; k < count; ++k) total += (uint32)p[offsets[k]] * weights[k];
        dPtr[j] = (uint16)(total >> 8);
        if (++patPhase == patCount) patPhase = 0;
    }
}

void ReferenceBilinearRow32(const real32* sPtr, real32* dPtr, uint32 cols, uint32 patPhase,
                            uint32 patCount, const uint32* kernCounts,
                            const int32* const* kernOffsets, const real32* const* kernWeights,
                            uint32 sShift) {
    for (uint32 j = 0; j < cols; ++j) {
        const real32* p = sPtr + (j >> sShift);
        const uint32 count = kernCounts[patPhase];
        const int32* offsets = kernOffsets[patPhase];
        const real32* weights = kernWeights[patPhase];
        real32 total = 0.0f;
        for (uint32 k = 0; k < count; ++k) total += p[offsets[k]] * weights[k];
        dPtr[j] = total;
        if (++patPhase == patCount) patPhase = 0;
    }
}

void ReferenceApplyCameraMatrix3(const real32* __restrict sPtrA, const real32* __restrict sPtrB,
                                 const real32* __restrict sPtrC, real32* __restrict dPtrR,
                                 real32* __restrict dPtrG, real32* __restrict dPtrB, uint32 count,
                                 const dng_vector& cameraWhite, const dng_matrix& cameraToRGB) {
    const real32 w0 = (real32)cameraWhite[0];
    const real32 w1 = (real32)cameraWhite[1];
    const real32 w2 = (real32)cameraWhite[2];
    const Matrix3x4f m = ToFloat(cameraToRGB, 3, 3);
    for (uint32 i = 0; i < count; ++i) {
        const real32 a = std::min(sPtrA[i], w0);
        const real32 b = std::min(sPtrB[i], w1);
        const real32 c = std::min(sPtrC[i], w2);
        dPtrR[i] = Pin(m.m[0][0] * a + m.m[0][1] * b + m.m[0][2] * c);
        dPtrG[i] = Pin(m.m[1][0] * a + m.m[1][1] * b + m.m[1][2] * c);
        dPtrB[i] = Pin(m.m[2][0] * a + m.m[2][1] * b + m.m[2][2] * c);
    }
}

void ReferenceApplyCameraMatrix4(const real32* __restrict sPtrA, const real32* __restrict sPtrB,
                                 const real32* __restrict sPtrC, const real32* __restrict sPtrD,
                                 real32* __restrict dPtrR, real32* __restrict dPtrG,
                                 real32* __restrict dPtrB, uint32 count,
                                 const dng_vector& cameraWhite, const dng_matrix& cameraToRGB) {
    const real32 w0 = (real32)cameraWhite[0];
    const real32 w1 = (real32)cameraWhite[1];
    const real32 w2 = (real32)cameraWhite[2];
    const real32 w3 = (real32)cameraWhite[3];
    const Matrix3x4f m = ToFloat(cameraToRGB, 3, 4);
    for (uint32 i = 0; i < count; ++i) {
        const real32 a = std::min(sPtrA[i], w0);
        const real32 b = std::min(sPtrB[i], w1);
        const real32 c = std::min(sPtrC[i], w2);
        const real32 d = std::min(sPtrD[i], w3);
        dPtrR[i] = Pin(m.m[0][0] * a + m.m[0][1] * b + m.m[0][2] * c + m.m[0][3] * d);
        dPtrG[i] = Pin(m.m[1][0] * a + m.m[1][1] * b + m.m[1][2] * c + m.m[1][3] * d);
        dPtrB[i] = Pin(m.m[2][0] * a + m.m[2][1] * b + m.m[2][2] * c + m.m[2][3] * d);
    }
}

namespace {

using HSBModify = dng_hue_sat_map::HSBModify;

inline HSBModify Mix(const HSBModify& a, const HSBModify& b, real32 f) {
    const real32 g = 1.0f - f;
    return {a.fHueShift * g + b.fHueShift * f, a.fSatScale * g + b.fSatScale * f,
            a.fValScale * g + b.fValScale * f};
}

// Bilinear over one value level: hue first, then saturation.
inline HSBModify Interpolate2(const HSBModify* level, uint32 hueStep, uint32 hi, uint32 hj,
                              uint32 si, uint32 sj, real32 hf, real32 sf) {
    const HSBModify lo = Mix(level[hi * hueStep + si], level[hj * hueStep + si], hf);
    const HSBModify up = Mix(level[hi * hueStep + sj], level[hj * hueStep + sj], hf);
    return Mix(lo, up, sf);
}

inline void HSVtoRGB(real32 h, real32 s, real32 v, real32& r, real32& g, real32& b) {
    if (!(s > 0.0f)) {
        r = g = b = v;
        return;
    }
    if (h < 0.0f) h += 6.0f;
    if (h >= 6.0f) h -= 6.0f;
    // A huge or non-finite hue shift from a file must not reach the integer cast.
    if (!(h >= 0.0f && h < 6.0f)) {
        h = std::fmod(h, 6.0f);
        if (h < 0.0f) h += 6.0f;
        if (!(h >= 0.0f && h < 6.0f)) h = 0.0f;
    }
    const int32 i = std::min((int32)h, 5);
    const real32 f = h - (real32)i;
    const real32 p = v * (1.0f - s);
    const real32 q = v * (1.0f - s * f);
    const real32 t = v * (1.0f - s * (1.0f - f));
    switch (i) {
        case 0:
            r = v;
            g = t;
            b = p;
            break;
        case 1:
            r = q;
            g = v;
            b = p;
            break;
        case 2:
            r = p;
            g = v;
            b = t;
            break;
        case 3:
            r = p;
            g = q;
            b = v;
            break;
        case 4:
            r = t;
            g = p;
            b = v;
            break;
        default:
            r = v;
            g = p;
            b = q;
            break;
    }
}

inline real32 NotNaN(real32 x) { return x == x ? x : 0.0f; }

}  // namespace

DNG_NO_VPTR_CHECK void ReferenceApplyHueSatMap(const real32* sPtrR, const real32* sPtrG,
                                               const real32* sPtrB, real32* dPtrR, real32* dPtrG,
                                               real32* dPtrB, uint32 count,
                                               const dng_hue_sat_map& lut,
                                               const dng_1d_table* encodeTable,
                                               const dng_1d_table* decodeTable) {
    uint32 hueDivs = 0, satDivs = 0, valDivs = 0;
    lut.GetDivisions(hueDivs, satDivs, valDivs);
    const HSBModify* deltas = lut.GetConstDeltas();
    if (!deltas || hueDivs == 0 || satDivs == 0 || valDivs == 0) {
        // Nothing to apply: pass the colour through.
        for (uint32 i = 0; i < count; ++i) {
            dPtrR[i] = sPtrR[i];
            dPtrG[i] = sPtrG[i];
            dPtrB[i] = sPtrB[i];
        }
        return;
    }

    const uint32 hueStep = satDivs;
    const uint32 valStep = hueDivs * satDivs;
    const real32 hScale = hueDivs >= 2 ? (real32)hueDivs * (1.0f / 6.0f) : 0.0f;
    const real32 sScale = (real32)(satDivs - 1);
    const real32 vScale = (real32)(valDivs - 1);
    // One saturation division has no upper neighbour: both corners use index 0.
    const int32 maxSi = satDivs >= 2 ? (int32)satDivs - 2 : 0;
    const uint32 sNext = satDivs >= 2 ? 1 : 0;
    const int32 maxHi = (int32)hueDivs - 1;
    const bool useTables =
        encodeTable && decodeTable && encodeTable->Table() && decodeTable->Table();

    for (uint32 i = 0; i < count; ++i) {
        const real32 r = NotNaN(sPtrR[i]);
        const real32 g = NotNaN(sPtrG[i]);
        const real32 b = NotNaN(sPtrB[i]);

        // RGB to HSV, h in [0, 6).
        const real32 maxV = std::max(r, std::max(g, b));
        const real32 minV = std::min(r, std::min(g, b));
        const real32 gap = maxV - minV;
        real32 h = 0.0f, s = 0.0f, v = maxV;
        if (gap > 0.0f) {
            if (maxV == r) {
                h = (g - b) / gap;
                if (h < 0.0f) h += 6.0f;
            } else if (maxV == g) {
                h = 2.0f + (b - r) / gap;
            } else {
                h = 4.0f + (r - g) / gap;
            }
            s = gap / maxV;
        }

        real32 hScaled = h * hScale;
        if (!(hScaled >= 0.0f)) hScaled = 0.0f;
        int32 hi = hScaled < (real32)maxHi ? (int32)hScaled : maxHi;
        int32 hj = hi + 1;
        if (hi >= maxHi) {
            hi = maxHi;
            hj = 0;
        }
        const real32 hf = hScaled - (real32)hi;

        real32 sScaled = s * sScale;
        if (!(sScaled > 0.0f)) sScaled = 0.0f;
        const int32 si = sScaled < (real32)maxSi ? (int32)sScaled : maxSi;
        const real32 sf = sScaled - (real32)si;

        HSBModify mod;
        real32 vEnc = v;
        if (valDivs < 2) {
            mod = Interpolate2(deltas, hueStep, (uint32)hi, (uint32)hj, (uint32)si, si + sNext, hf,
                               sf);
        } else {
            if (useTables) vEnc = encodeTable->Interpolate(Pin(v));
            real32 vScaled = vEnc * vScale;
            if (!(vScaled > 0.0f)) vScaled = 0.0f;
            const int32 maxVi = (int32)valDivs - 2;
            const int32 vi = vScaled < (real32)maxVi ? (int32)vScaled : maxVi;
            const real32 vf = vScaled - (real32)vi;
            const HSBModify* level0 = deltas + (uint32)vi * valStep;
            const HSBModify lo = Interpolate2(level0, hueStep, (uint32)hi, (uint32)hj, (uint32)si,
                                              si + sNext, hf, sf);
            const HSBModify up = Interpolate2(level0 + valStep, hueStep, (uint32)hi, (uint32)hj,
                                              (uint32)si, si + sNext, hf, sf);
            mod = Mix(lo, up, vf);
        }

        h += mod.fHueShift * (6.0f / 360.0f);
        s = std::min(s * mod.fSatScale, 1.0f);
        vEnc = Pin(vEnc * mod.fValScale);
        v = (valDivs >= 2 && useTables) ? decodeTable->Interpolate(vEnc) : vEnc;

        HSVtoRGB(h, s, v, dPtrR[i], dPtrG[i], dPtrB[i]);
    }
}

void ReferenceRGBToGray(const real32* __restrict sPtrR, const real32* __restrict sPtrG,
                        const real32* __restrict sPtrB, real32* __restrict dPtrG, uint32 count,
                        const dng_matrix& matrix) {
    const Matrix3x4f m = ToFloat(matrix, 1, 3);
    for (uint32 i = 0; i < count; ++i)
        dPtrG[i] = Pin(m.m[0][0] * sPtrR[i] + m.m[0][1] * sPtrG[i] + m.m[0][2] * sPtrB[i]);
}

void ReferenceRGBToRGB(const real32* __restrict sPtrR, const real32* __restrict sPtrG,
                       const real32* __restrict sPtrB, real32* __restrict dPtrR,
                       real32* __restrict dPtrG, real32* __restrict dPtrB, uint32 count,
                       const dng_matrix& matrix) {
    const Matrix3x4f m = ToFloat(matrix, 3, 3);
    for (uint32 i = 0; i < count; ++i) {
        const real32 r = sPtrR[i], g = sPtrG[i], b = sPtrB[i];
        dPtrR[i] = Pin(m.m[0][0] * r + m.m[0][1] * g + m.m[0][2] * b);
        dPtrG[i] = Pin(m.m[1][0] * r + m.m[1][1] * g + m.m[1][2] * b);
        dPtrB[i] = Pin(m.m[2][0] * r + m.m[2][1] * g + m.m[2][2] * b);
    }
}

DNG_NO_VPTR_CHECK void ReferenceApplyTable1D(const real32* __restrict sPtr, real32* __restrict dPtr,
                                             uint32 count, const dng_1d_table& table) {
    const real32* __restrict entries = table.Table();
    const real32 n = (real32)table.Count();
    for (uint32 i = 0; i < count; ++i) dPtr[i] = Lookup(entries, n, sPtr[i]);
}

DNG_NO_VPTR_CHECK void ReferenceApplyRGBToneCurve(const real32* sPtrR, const real32* sPtrG,
                                                  const real32* sPtrB, real32* dPtrR, real32* dPtrG,
                                                  real32* dPtrB, uint32 count,
                                                  const dng_1d_table& table) {
    const real32* entries = table.Table();
    const real32 n = (real32)table.Count();
    auto T = [entries, n](real32 x) { return Lookup(entries, n, x); };
    // The middle channel keeps its relative place between the other two.
    auto mid = [](real32 lo1, real32 hi1, real32 x, real32 lo, real32 hi) {
        return lo1 + (hi1 - lo1) * (x - lo) / (hi - lo);
    };
    for (uint32 i = 0; i < count; ++i) {
        const real32 r = sPtrR[i], g = sPtrG[i], b = sPtrB[i];
        real32 r1, g1, b1;
        if (r >= g) {
            if (g > b) {
                r1 = T(r);
                b1 = T(b);
                g1 = mid(b1, r1, g, b, r);
            } else if (b > r) {
                b1 = T(b);
                g1 = T(g);
                r1 = mid(g1, b1, r, g, b);
            } else if (b > g) {
                r1 = T(r);
                g1 = T(g);
                b1 = mid(g1, r1, b, g, r);
            } else {
                r1 = T(r);
                g1 = T(g);
                b1 = g1;
            }
        } else {
            if (r >= b) {
                g1 = T(g);
                b1 = T(b);
                r1 = mid(b1, g1, r, b, g);
            } else if (b > g) {
                b1 = T(b);
                r1 = T(r);
                g1 = mid(r1, b1, g, r, b);
            } else {
                g1 = T(g);
                r1 = T(r);
                b1 = mid(r1, g1, b, r, g);
            }
        }
        dPtrR[i] = r1;
        dPtrG[i] = g1;
        dPtrB[i] = b1;
    }
}

void ReferenceResampleDown16(const uint16* __restrict sPtr, uint16* __restrict dPtr, uint32 sCount,
                             int32 sRowStep, const int16* wPtr, uint32 wCount, uint32 pixelRange) {
    const int32 range = (int32)pixelRange;
    for (uint32 j = 0; j < sCount; ++j) {
        int32 total = 8192;
        const uint16* s = sPtr + j;
        for (uint32 k = 0; k < wCount; ++k) total += (int32)s[(intptr_t)k * sRowStep] * wPtr[k];
        dPtr[j] = (uint16)std::clamp(total >> 14, 0, range);
    }
}

void ReferenceResampleDown32(const real32* __restrict sPtr, real32* __restrict dPtr, uint32 sCount,
                             int32 sRowStep, const real32* wPtr, uint32 wCount) {
    if (wCount == 0) {
        for (uint32 j = 0; j < sCount; ++j) dPtr[j] = 0.0f;
        return;
    }
    // Row by row so that the inner loop runs over contiguous columns.
    const real32 w0 = wPtr[0];
    for (uint32 j = 0; j < sCount; ++j) dPtr[j] = w0 * sPtr[j];
    for (uint32 k = 1; k < wCount; ++k) {
        const real32* __restrict s = sPtr + (intptr_t)k * sRowStep;
        const real32 w = wPtr[k];
        for (uint32 j = 0; j < sCount; ++j) dPtr[j] += w * s[j];
    }
    for (uint32 j = 0; j < sCount; ++j) dPtr[j] = Pin(dPtr[j]);
}

void ReferenceResampleAcross16(const uint16* __restrict sPtr, uint16* __restrict dPtr,
                               uint32 dCount, const int32* coord, const int16* wPtr, uint32 wCount,
                               uint32 wStep, uint32 pixelRange) {
    const int32 range = (int32)pixelRange;
    for (uint32 j = 0; j < dCount; ++j) {
        const int32 pixel = coord[j] >> 7;
        const int16* w = wPtr + (uintptr_t)(coord[j] & 127) * wStep;
        const uint16* s = sPtr + pixel;
        int32 total = 0;
        for (uint32 k = 0; k < wCount; ++k) total += (int32)s[k] * w[k];
        dPtr[j] = (uint16)std::clamp((total + 8192) >> 14, 0, range);
    }
}

void ReferenceResampleAcross32(const real32* __restrict sPtr, real32* __restrict dPtr,
                               uint32 dCount, const int32* coord, const real32* wPtr, uint32 wCount,
                               uint32 wStep) {
    for (uint32 j = 0; j < dCount; ++j) {
        const int32 pixel = coord[j] >> 7;
        const real32* w = wPtr + (uintptr_t)(coord[j] & 127) * wStep;
        const real32* s = sPtr + pixel;
        real32 total = 0.0f;
        for (uint32 k = 0; k < wCount; ++k) total += s[k] * w[k];
        dPtr[j] = Pin(total);
    }
}

bool ReferenceEqualBytes(const void* sPtr, const void* dPtr, uint32 count) {
    return count == 0 || std::memcmp(sPtr, dPtr, count) == 0;
}

bool ReferenceEqualArea8(const uint8* sPtr, const uint8* dPtr, DNG_COPY_ARGS) {
    return EqualAreaT(sPtr, dPtr, DNG_COPY_PASS);
}

bool ReferenceEqualArea16(const uint16* sPtr, const uint16* dPtr, DNG_COPY_ARGS) {
    return EqualAreaT(sPtr, dPtr, DNG_COPY_PASS);
}

bool ReferenceEqualArea32(const uint32* sPtr, const uint32* dPtr, DNG_COPY_ARGS) {
    return EqualAreaT(sPtr, dPtr, DNG_COPY_PASS);
}

void ReferenceVignetteMask16(uint16* mPtr, uint32 rows, uint32 cols, int32 rowStep, int64 offsetH,
                             int64 offsetV, int64 stepH, int64 stepV, uint32 tBits,
                             const uint16* table) {
    const int64 tableSize = (int64)1 << tBits;
    const int64 round = (int64)1 << (31 - tBits);
    const uint32 shift = 32 - tBits;
    for (uint32 row = 0; row < rows; ++row, mPtr += rowStep, offsetV += stepV) {
        const int64 tv = (offsetV + 32768) >> 16;
        const int64 base = tv * tv + round;
        int64 dh = offsetH + 32768;
        uint16* __restrict m = mPtr;
        for (uint32 col = 0; col < cols; ++col, dh += stepH) {
            const int64 th = dh >> 16;
            const int64 index = std::min((base + th * th) >> shift, tableSize);
            m[col] = table[index];
        }
    }
}

void ReferenceVignette16(int16* sPtr, const uint16* mPtr, uint32 rows, uint32 cols, uint32 planes,
                         int32 sRowStep, int32 sPlaneStep, int32 mRowStep, uint32 mBits) {
    if (mBits <= 16) {
        // 65535 × 65535 + 2^15 still fits 32 bits, which lets the loop vectorise.
        const uint32 round = mBits ? 1u << (mBits - 1) : 0;
        for (uint32 row = 0; row < rows; ++row, sPtr += sRowStep, mPtr += mRowStep) {
            int16* plane = sPtr;
            for (uint32 p = 0; p < planes; ++p, plane += sPlaneStep) {
                int16* __restrict s = plane;
                const uint16* __restrict m = mPtr;
                for (uint32 col = 0; col < cols; ++col) {
                    const uint32 u = (uint32)((uint16)s[col] ^ 0x8000);
                    const uint32 scaled = std::min<uint32>((u * m[col] + round) >> mBits, 65535);
                    s[col] = (int16)((uint16)scaled ^ 0x8000);
                }
            }
        }
        return;
    }
    const uint64 round = (uint64)1 << (std::min(mBits, 63u) - 1);
    const uint32 shift = std::min(mBits, 63u);
    for (uint32 row = 0; row < rows; ++row, sPtr += sRowStep, mPtr += mRowStep) {
        int16* plane = sPtr;
        for (uint32 p = 0; p < planes; ++p, plane += sPlaneStep) {
            int16* s = plane;
            for (uint32 col = 0; col < cols; ++col) {
                const uint64 u = (uint64)((uint16)s[col] ^ 0x8000);
                const uint64 scaled = std::min<uint64>((u * mPtr[col] + round) >> shift, 65535);
                s[col] = (int16)((uint16)scaled ^ 0x8000);
            }
        }
    }
}

void ReferenceVignette32(real32* sPtr, const uint16* mPtr, uint32 rows, uint32 cols, uint32 planes,
                         int32 sRowStep, int32 sPlaneStep, int32 mRowStep, uint32 mBits,
                         uint16 blackLevel) {
    const real32 maskScale = std::ldexp(1.0f, -(int)mBits);
    const real32 black = (real32)blackLevel / 65535.0f;
    const real32 invRange = 1.0f / (1.0f - black);
    const real32 offset = 1.0f - invRange;
    const real32 range = 1.0f - black;
    for (uint32 row = 0; row < rows; ++row, sPtr += sRowStep, mPtr += mRowStep) {
        real32* plane = sPtr;
        for (uint32 p = 0; p < planes; ++p, plane += sPlaneStep) {
            real32* __restrict s = plane;
            const uint16* __restrict m = mPtr;
            if (blackLevel == 0) {
                for (uint32 col = 0; col < cols; ++col)
                    s[col] = std::min(s[col] * ((real32)m[col] * maskScale), 1.0f);
            } else {
                for (uint32 col = 0; col < cols; ++col) {
                    real32 x = s[col] * invRange + offset;
                    x = std::min(x * ((real32)m[col] * maskScale), 1.0f);
                    s[col] = x * range + black;
                }
            }
        }
    }
}

void ReferenceMapArea16(uint16* dPtr, uint32 count0, uint32 count1, uint32 count2, int32 step0,
                        int32 step1, int32 step2, const uint16* map) {
    ForArea(dPtr, count0, count1, count2, step0, step1, step2, [map](uint16& d) { d = map[d]; });
}

void ReferenceMapPolynomial32(real32* dPtr, int32 rowStep, uint32 rows, uint32 cols,
                              uint32 rowPitch, uint32 colPitch, const real32* coefficients,
                              uint32 degree, uint16 blackLevel) {
    if (rowPitch == 0 || colPitch == 0) return;
    const real32 black = (real32)blackLevel / 65535.0f;
    const real32 invRange = 1.0f / (1.0f - black);
    const real32 offset = 1.0f - invRange;
    const real32 range = 1.0f - black;
    const real32 c0 = coefficients[0];
    for (uint32 row = 0; row < rows; row += rowPitch, dPtr += rowStep) {
        for (uint32 col = 0; col < cols; col += colPitch) {
            real32 x = dPtr[col];
            if (blackLevel != 0) x = x * invRange + offset;
            // Odd-symmetric about zero: every term above the constant follows x's sign.
            const real32 ax = std::fabs(x);
            real32 sum = 0.0f;
            real32 power = ax;
            for (uint32 k = 1; k <= degree; ++k, power *= ax) sum += coefficients[k] * power;
            real32 y = c0 + (x < 0.0f ? -sum : sum);
            y = std::clamp(y, -1.0f, 1.0f);
            if (blackLevel != 0) y = y * range + black;
            dPtr[col] = y;
        }
    }
}

const dng_bottleneck_table gDNGBottleneck = {
    ReferenceZeroBytes,
    ReferenceCopyBytes,
    ReferenceSwapBytes16,
    ReferenceSwapBytes32,
    ReferenceSetArea8,
    ReferenceSetArea16,
    ReferenceSetArea32,
    ReferenceCopyArea8,
    ReferenceCopyArea16,
    ReferenceCopyArea32,
    ReferenceCopyArea8To16,
    ReferenceCopyArea8ToSigned16,
    ReferenceCopyArea8To32,
    ReferenceCopyArea16ToSigned16,
    ReferenceCopyArea16To32,
    ReferenceCopyArea8ToReal32,
    ReferenceCopyArea16ToReal32,
    ReferenceCopyAreaSigned16ToReal32,
    ReferenceCopyAreaReal32To8,
    ReferenceCopyAreaReal32To16,
    ReferenceCopyAreaReal32ToSigned16,
    ReferenceRepeatArea8,
    ReferenceRepeatArea16,
    ReferenceRepeatArea32,
    ReferenceShiftRight16,
    ReferenceBilinearRow16,
    ReferenceBilinearRow32,
    ReferenceApplyCameraMatrix3,
    ReferenceApplyCameraMatrix4,
    ReferenceApplyHueSatMap,
    ReferenceRGBToGray,
    ReferenceRGBToRGB,
    ReferenceApplyTable1D,
    ReferenceApplyRGBToneCurve,
    ReferenceResampleDown16,
    ReferenceResampleDown32,
    ReferenceResampleAcross16,
    ReferenceResampleAcross32,
    ReferenceEqualBytes,
    ReferenceEqualArea8,
    ReferenceEqualArea16,
    ReferenceEqualArea32,
    ReferenceVignetteMask16,
    ReferenceVignette16,
    ReferenceVignette32,
    ReferenceMapArea16,
    ReferenceMapPolynomial32,
};
