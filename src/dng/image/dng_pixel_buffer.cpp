// Pixel-buffer area operations. Each one addresses its first sample, puts the
// three loop dimensions into the cheapest order and hands the inner loop to a
// sample-type specific routine.
#include "dng/image/dng_pixel_buffer.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>

#include "dng/color/dng_bottleneck.h"
#include "dng/core/dng_exception.h"
#include "dng/core/dng_safe_arithmetic.h"
#include "dng/core/dng_tag_types.h"
#include "dng/core/dng_utils.h"

namespace {

// A rectangle edge offset from another; overflow is a rectangle overflow.
int32_t rectEdge(int64_t v) {
    if (v < INT32_MIN || v > INT32_MAX) ThrowProgramError("Overflow in dng_rect constructor");
    return int32_t(v);
}

int32_t checkedStep(uint32_t v) {
    if (v > uint32_t(std::numeric_limits<int32_t>::max()))
        ThrowDNGError(dng_error_overflow, "Arithmetic overflow in pixel buffer setup");
    return int32_t(v);
}

int32_t scaleStep(int32_t step, int32_t factor) {
    int32_t r;
    if (__builtin_mul_overflow(step, factor, &r))
        ThrowDNGError(dng_error_overflow, "Arithmetic overflow in pixel buffer step");
    return r;
}

uint32_t absStep(int32_t s) { return s < 0 ? uint32_t(0) - uint32_t(s) : uint32_t(s); }

// Largest |a - b| over an area, each sample read in its own type.
template <typename T>
double maxDifference(const T* a, const T* b, uint32_t rows, uint32_t cols, uint32_t planes,
                     int32_t aRow, int32_t aCol, int32_t aPlane, int32_t bRow, int32_t bCol,
                     int32_t bPlane) {
    double result = 0.0;
    for (uint32_t r = 0; r < rows; ++r) {
        const T* ar = a + int64_t(r) * aRow;
        const T* br = b + int64_t(r) * bRow;
        if (aCol == 1 && bCol == 1) {
            for (uint32_t p = 0; p < planes; ++p) {
                const T* ap = ar + int64_t(p) * aPlane;
                const T* bp = br + int64_t(p) * bPlane;
                for (uint32_t c = 0; c < cols; ++c) {
                    double d = std::fabs(double(ap[c]) - double(bp[c]));
                    if (d > result) result = d;
                }
            }
            continue;
        }
        for (uint32_t c = 0; c < cols; ++c) {
            const T* ac = ar + int64_t(c) * aCol;
            const T* bc = br + int64_t(c) * bCol;
            for (uint32_t p = 0; p < planes; ++p) {
                double d =
                    std::fabs(double(ac[int64_t(p) * aPlane]) - double(bc[int64_t(p) * bPlane]));
                if (d > result) result = d;
            }
        }
    }
    return result;
}

}  // namespace

dng_pixel_buffer::dng_pixel_buffer(const dng_rect& area, uint32_t plane, uint32_t planes,
                                   uint32_t pixelType, uint32_t planarConfiguration, void* data)
    : fArea(area),
      fPlane(plane),
      fPlanes(planes),
      fPixelType(pixelType),
      fPixelSize(TiffTagTypeSize(pixelType)),
      fData(data),
      fDirty(true) {
    const uint32_t width = area.W();
    const uint32_t height = area.H();
    switch (planarConfiguration) {
        case pcInterleaved:
            fColStep = checkedStep(planes);
            fPlaneStep = 1;
            fRowStep = checkedStep(SafeUint32Mult(width, planes));
            break;
        case pcPlanar:
            fColStep = 1;
            fPlaneStep = checkedStep(SafeUint32Mult(height, width));
            fRowStep = checkedStep(width);
            break;
        case pcRowInterleaved:
            fColStep = 1;
            fPlaneStep = checkedStep(width);
            fRowStep = checkedStep(SafeUint32Mult(width, planes));
            break;
        case pcRowInterleavedAlignSIMD: {
            const uint32_t padded = PadWidthForSIMD(width, fPixelSize);
            fColStep = 1;
            fPlaneStep = checkedStep(padded);
            fRowStep = checkedStep(SafeUint32Mult(padded, planes));
            break;
        }
        default:
            ThrowDNGError(dng_error_unknown, "Invalid value for 'planarConfiguration'");
    }
}

uint32_t dng_pixel_buffer::PixelRange() const {
    switch (fPixelType) {
        case 1:
        case 6:
            return 0xFF;
        case 3:
        case 8:
            return 0xFFFF;
        case 4:
        case 9:
            return 0xFFFFFFFF;
        default:
            return 0;
    }
}

// ---------------------------------------------------------------------------
// Loop order

namespace {

// The ordering works on addresses as integers so that the one-buffer forms can
// run it beside a stand-in buffer that is never dereferenced.
void optimizeOrder(uintptr_t& sAddr, uintptr_t& dAddr, uint32_t sPixelSize, uint32_t dPixelSize,
                   uint32_t& count0, uint32_t& count1, uint32_t& count2, int32_t& sStep0,
                   int32_t& sStep1, int32_t& sStep2, int32_t& dStep0, int32_t& dStep1,
                   int32_t& dStep2) {
    // Unsigned 32-bit spans as the ordering rule defines them; wrap-around only
    // changes which buffer leads, never which samples are visited.
    const uint32_t sRange = absStep(sStep0) * (count0 - 1) + absStep(sStep1) * (count1 - 1) +
                            absStep(sStep2) * (count2 - 1);
    const uint32_t dRange = absStep(dStep0) * (count0 - 1) + absStep(dStep1) * (count1 - 1) +
                            absStep(dStep2) * (count2 - 1);

    uint32_t* counts[3] = {&count0, &count1, &count2};
    int32_t* sSteps[3] = {&sStep0, &sStep1, &sStep2};
    int32_t* dSteps[3] = {&dStep0, &dStep1, &dStep2};
    int32_t** lead = dRange >= sRange ? dSteps : sSteps;

    for (int k = 0; k < 3; ++k) {
        if (*lead[k] < 0) {
            const int64_t n = int64_t(*counts[k]) - 1;
            sAddr += uintptr_t(n * *sSteps[k] * int64_t(sPixelSize));
            dAddr += uintptr_t(n * *dSteps[k] * int64_t(dPixelSize));
            *sSteps[k] = -*sSteps[k];
            *dSteps[k] = -*dSteps[k];
        }
    }

    uint32_t key[3];
    for (int k = 0; k < 3; ++k) key[k] = *counts[k] == 1 ? 0xFFFFFFFFu : uint32_t(*lead[k]);

    int order[3];
    if (key[0] >= key[1]) {
        if (key[1] >= key[2]) {
            order[0] = 0, order[1] = 1, order[2] = 2;
        } else if (key[2] >= key[0]) {
            order[0] = 2, order[1] = 0, order[2] = 1;
        } else {
            order[0] = 0, order[1] = 2, order[2] = 1;
        }
    } else {
        if (key[0] >= key[2]) {
            order[0] = 1, order[1] = 0, order[2] = 2;
        } else if (key[2] >= key[1]) {
            order[0] = 2, order[1] = 1, order[2] = 0;
        } else {
            order[0] = 1, order[1] = 2, order[2] = 0;
        }
    }

    const uint32_t c[3] = {count0, count1, count2};
    const int32_t s[3] = {sStep0, sStep1, sStep2};
    const int32_t d[3] = {dStep0, dStep1, dStep2};
    count0 = c[order[0]], count1 = c[order[1]], count2 = c[order[2]];
    sStep0 = s[order[0]], sStep1 = s[order[1]], sStep2 = s[order[2]];
    dStep0 = d[order[0]], dStep1 = d[order[1]], dStep2 = d[order[2]];

    if (int64_t(sStep0) == int64_t(count1) * sStep1 &&
        int64_t(dStep0) == int64_t(count1) * dStep1) {
        count1 *= count0;
        count0 = 1;
    }
    if (int64_t(sStep1) == int64_t(count2) * sStep2 &&
        int64_t(dStep1) == int64_t(count2) * dStep2) {
        count2 *= count1;
        count1 = 1;
    }
}

}  // namespace

void dng_pixel_buffer::OptimizeOrder(const void*& sPtr, void*& dPtr, uint32_t sPixelSize,
                                     uint32_t dPixelSize, uint32_t& count0, uint32_t& count1,
                                     uint32_t& count2, int32_t& sStep0, int32_t& sStep1,
                                     int32_t& sStep2, int32_t& dStep0, int32_t& dStep1,
                                     int32_t& dStep2) {
    uintptr_t sAddr = reinterpret_cast<uintptr_t>(sPtr);
    uintptr_t dAddr = reinterpret_cast<uintptr_t>(dPtr);
    optimizeOrder(sAddr, dAddr, sPixelSize, dPixelSize, count0, count1, count2, sStep0, sStep1,
                  sStep2, dStep0, dStep1, dStep2);
    sPtr = reinterpret_cast<const void*>(sAddr);
    dPtr = reinterpret_cast<void*>(dAddr);
}

void dng_pixel_buffer::OptimizeOrderOneBuffer(const void*& sPtr, uint32_t sPixelSize,
                                              uint32_t& count0, uint32_t& count1, uint32_t& count2,
                                              int32_t& sStep0, int32_t& sStep1, int32_t& sStep2) {
    uintptr_t sAddr = reinterpret_cast<uintptr_t>(sPtr);
    uintptr_t dummy = 0;
    int32_t d0 = sStep0, d1 = sStep1, d2 = sStep2;
    optimizeOrder(sAddr, dummy, sPixelSize, sPixelSize, count0, count1, count2, sStep0, sStep1,
                  sStep2, d0, d1, d2);
    sPtr = reinterpret_cast<const void*>(sAddr);
}

void dng_pixel_buffer::OptimizeOrderOneBuffer(void*& dPtr, uint32_t dPixelSize, uint32_t& count0,
                                              uint32_t& count1, uint32_t& count2, int32_t& dStep0,
                                              int32_t& dStep1, int32_t& dStep2) {
    uintptr_t dAddr = reinterpret_cast<uintptr_t>(dPtr);
    uintptr_t dummy = 0;
    int32_t s0 = dStep0, s1 = dStep1, s2 = dStep2;
    optimizeOrder(dummy, dAddr, dPixelSize, dPixelSize, count0, count1, count2, s0, s1, s2, dStep0,
                  dStep1, dStep2);
    dPtr = reinterpret_cast<void*>(dAddr);
}

// ---------------------------------------------------------------------------
// Fill

void dng_pixel_buffer::SetConstant(const dng_rect& area, uint32_t plane, uint32_t planes,
                                   uint32_t value) {
    uint32_t rows = area.H();
    uint32_t cols = area.W();
    if (rows == 0 || cols == 0 || planes == 0) return;
    void* dPtr = DirtyPixel(area.t, area.l, plane);
    int32_t step0 = fRowStep, step1 = fColStep, step2 = fPlaneStep;
    OptimizeOrderOneBuffer(dPtr, fPixelSize, rows, cols, planes, step0, step1, step2);

    if (value == 0 && rows == 1 && cols == 1 && step2 == 1) {
        gDNGBottleneck.ZeroBytes(dPtr, SafeUint32Mult(planes, fPixelSize));
        return;
    }
    switch (fPixelSize) {
        case 1:
            gDNGBottleneck.SetArea8(static_cast<uint8_t*>(dPtr), uint8_t(value), rows, cols, planes,
                                    step0, step1, step2);
            break;
        case 2:
            gDNGBottleneck.SetArea16(static_cast<uint16_t*>(dPtr), uint16_t(value), rows, cols,
                                     planes, step0, step1, step2);
            break;
        case 4:
            gDNGBottleneck.SetArea32(static_cast<uint32_t*>(dPtr), value, rows, cols, planes, step0,
                                     step1, step2);
            break;
        default:
            ThrowDNGError(dng_error_not_yet_implemented, nullptr);
    }
}

void dng_pixel_buffer::SetZero(const dng_rect& area, uint32_t plane, uint32_t planes) {
    uint32_t value = 0;
    switch (fPixelType) {
        case 1:
        case 3:
        case 4:
        case 11:
            break;
        case 8:
            value = 0x8000;
            break;
        default:
            ThrowDNGError(dng_error_not_yet_implemented, nullptr);
    }
    SetConstant(area, plane, planes, value);
}

// ---------------------------------------------------------------------------
// Copy

void dng_pixel_buffer::CopyArea(const dng_pixel_buffer& src, const dng_rect& area,
                                uint32_t srcPlane, uint32_t dstPlane, uint32_t planes) {
    uint32_t rows = area.H();
    uint32_t cols = area.W();
    if (rows == 0 || cols == 0 || planes == 0) return;

    const void* sPtr = src.ConstPixel(area.t, area.l, srcPlane);
    void* dPtr = DirtyPixel(area.t, area.l, dstPlane);
    int32_t s0 = src.fRowStep, s1 = src.fColStep, s2 = src.fPlaneStep;
    int32_t d0 = fRowStep, d1 = fColStep, d2 = fPlaneStep;
    OptimizeOrder(sPtr, dPtr, src.fPixelSize, fPixelSize, rows, cols, planes, s0, s1, s2, d0, d1,
                  d2);

    const dng_bottleneck_table& bt = gDNGBottleneck;
    if (fPixelType == src.fPixelType) {
        if (rows == 1 && cols == 1 && s2 == 1 && d2 == 1) {
            bt.CopyBytes(sPtr, dPtr, SafeUint32Mult(planes, fPixelSize));
            return;
        }
        switch (fPixelSize) {
            case 1:
                bt.CopyArea8(static_cast<const uint8_t*>(sPtr), static_cast<uint8_t*>(dPtr), rows,
                             cols, planes, s0, s1, s2, d0, d1, d2);
                return;
            case 2:
                bt.CopyArea16(static_cast<const uint16_t*>(sPtr), static_cast<uint16_t*>(dPtr),
                              rows, cols, planes, s0, s1, s2, d0, d1, d2);
                return;
            case 4:
                bt.CopyArea32(static_cast<const uint32_t*>(sPtr), static_cast<uint32_t*>(dPtr),
                              rows, cols, planes, s0, s1, s2, d0, d1, d2);
                return;
            default:
                ThrowDNGError(dng_error_not_yet_implemented, nullptr);
        }
    }

    if (src.fPixelType < 1 || src.fPixelType > 11)
        ThrowDNGError(dng_error_not_yet_implemented, nullptr);

    const auto* s8 = static_cast<const uint8_t*>(sPtr);
    const auto* s16 = static_cast<const uint16_t*>(sPtr);
    const auto* sSigned = static_cast<const int16_t*>(sPtr);
    const auto* sReal = static_cast<const float*>(sPtr);
    auto* d8 = static_cast<uint8_t*>(dPtr);
    auto* d16 = static_cast<uint16_t*>(dPtr);
    auto* dSigned = static_cast<int16_t*>(dPtr);
    auto* d32 = static_cast<uint32_t*>(dPtr);
    auto* dReal = static_cast<float*>(dPtr);

    // Narrowing to the low byte or half reads the integer samples as smaller
    // units of this little-endian machine: the steps grow by the size ratio.
    auto narrow = [&](int32_t factor) {
        s0 = scaleStep(s0, factor);
        s1 = scaleStep(s1, factor);
        s2 = scaleStep(s2, factor);
    };
#define COUNTS_AND_STEPS rows, cols, planes, s0, s1, s2, d0, d1, d2
    switch (src.fPixelType * 100 + fPixelType) {
        case 103:
            bt.CopyArea8To16(s8, d16, COUNTS_AND_STEPS);
            return;
        case 104:
            bt.CopyArea8To32(s8, d32, COUNTS_AND_STEPS);
            return;
        case 108:
            bt.CopyArea8ToSigned16(s8, dSigned, COUNTS_AND_STEPS);
            return;
        case 111:
            bt.CopyArea8ToReal32(s8, dReal, COUNTS_AND_STEPS, 255);
            return;
        case 301:
            narrow(2);
            bt.CopyArea8(s8, d8, COUNTS_AND_STEPS);
            return;
        case 304:
            bt.CopyArea16To32(s16, d32, COUNTS_AND_STEPS);
            return;
        case 308:
            bt.CopyArea16ToSigned16(s16, dSigned, COUNTS_AND_STEPS);
            return;
        case 311:
            bt.CopyArea16ToReal32(s16, dReal, COUNTS_AND_STEPS, 65535);
            return;
        case 401:
            narrow(4);
            bt.CopyArea8(s8, d8, COUNTS_AND_STEPS);
            return;
        case 403:
            narrow(2);
            bt.CopyArea16(s16, d16, COUNTS_AND_STEPS);
            return;
        case 801:
            narrow(2);
            bt.CopyArea8(s8, d8, COUNTS_AND_STEPS);
            return;
        case 803:
            // Toggling bit 15 converts in both directions.
            bt.CopyArea16ToSigned16(s16, dSigned, COUNTS_AND_STEPS);
            return;
        case 811:
            bt.CopyAreaSigned16ToReal32(sSigned, dReal, COUNTS_AND_STEPS, 65535);
            return;
        case 1101:
            bt.CopyAreaReal32To8(sReal, d8, COUNTS_AND_STEPS, 255);
            return;
        case 1103:
            bt.CopyAreaReal32To16(sReal, d16, COUNTS_AND_STEPS, 65535);
            return;
        case 1108:
            bt.CopyAreaReal32ToSigned16(sReal, dSigned, COUNTS_AND_STEPS, 65535);
            return;
        default:
            break;
    }
#undef COUNTS_AND_STEPS
    ThrowDNGError(dng_error_not_yet_implemented, nullptr);
}

// ---------------------------------------------------------------------------
// Repeat

dng_point dng_pixel_buffer::RepeatPhase(const dng_rect& srcArea, const dng_rect& dstArea) {
    const int64_t repeatV = int64_t(srcArea.b) - srcArea.t;
    const int64_t repeatH = int64_t(srcArea.r) - srcArea.l;
    if (repeatV <= 0 || repeatH <= 0) return dng_point(0, 0);
    auto phase = [](int64_t src, int64_t dst, int64_t size) -> int32_t {
        if (src >= dst) return int32_t((size - (src - dst) % size) % size);
        return int32_t((dst - src) % size);
    };
    return dng_point(phase(srcArea.t, dstArea.t, repeatV), phase(srcArea.l, dstArea.l, repeatH));
}

void dng_pixel_buffer::RepeatArea(const dng_rect& srcArea, const dng_rect& dstArea) {
    const uint32_t repeatV = srcArea.H();
    const uint32_t repeatH = srcArea.W();
    const uint32_t rows = dstArea.H();
    const uint32_t cols = dstArea.W();
    if (repeatV == 0 || repeatH == 0 || rows == 0 || cols == 0) return;
    const dng_point phase = RepeatPhase(srcArea, dstArea);
    const void* sPtr = ConstPixel(srcArea.t, srcArea.l, fPlane);
    void* dPtr = DirtyPixel(dstArea.t, dstArea.l, fPlane);
    switch (fPixelSize) {
        case 1:
            gDNGBottleneck.RepeatArea8(static_cast<const uint8_t*>(sPtr),
                                       static_cast<uint8_t*>(dPtr), rows, cols, fPlanes, fRowStep,
                                       fColStep, fPlaneStep, repeatV, repeatH, phase.v, phase.h);
            break;
        case 2:
            gDNGBottleneck.RepeatArea16(static_cast<const uint16_t*>(sPtr),
                                        static_cast<uint16_t*>(dPtr), rows, cols, fPlanes, fRowStep,
                                        fColStep, fPlaneStep, repeatV, repeatH, phase.v, phase.h);
            break;
        case 4:
            gDNGBottleneck.RepeatArea32(static_cast<const uint32_t*>(sPtr),
                                        static_cast<uint32_t*>(dPtr), rows, cols, fPlanes, fRowStep,
                                        fColStep, fPlaneStep, repeatV, repeatH, phase.v, phase.h);
            break;
        default:
            ThrowDNGError(dng_error_not_yet_implemented, nullptr);
    }
}

void dng_pixel_buffer::RepeatSubArea(const dng_rect& subArea, uint32_t repeatV, uint32_t repeatH) {
    const int32_t rv = checkedStep(repeatV);
    const int32_t rh = checkedStep(repeatH);
    const dng_rect a = fArea;
    if (a.t < subArea.t) {
        RepeatArea(dng_rect(subArea.t, a.l, rectEdge(int64_t(subArea.t) + rv), a.r),
                   dng_rect(a.t, a.l, subArea.t, a.r));
    }
    if (a.b > subArea.b) {
        RepeatArea(dng_rect(rectEdge(int64_t(subArea.b) - rv), a.l, subArea.b, a.r),
                   dng_rect(subArea.b, a.l, a.b, a.r));
    }
    if (a.l < subArea.l) {
        RepeatArea(dng_rect(a.t, subArea.l, a.b, rectEdge(int64_t(subArea.l) + rh)),
                   dng_rect(a.t, a.l, a.b, subArea.l));
    }
    if (a.r > subArea.r) {
        RepeatArea(dng_rect(a.t, rectEdge(int64_t(subArea.r) - rh), a.b, subArea.r),
                   dng_rect(a.t, subArea.r, a.b, a.r));
    }
}

// ---------------------------------------------------------------------------
// Shift, flips

void dng_pixel_buffer::ShiftRight(uint32_t shift) {
    if (fPixelType != 3) ThrowDNGError(dng_error_not_yet_implemented, nullptr);
    uint32_t rows = fArea.H();
    uint32_t cols = fArea.W();
    uint32_t planes = fPlanes;
    if (rows == 0 || cols == 0 || planes == 0) return;
    void* dPtr = fData;
    int32_t s0 = fRowStep, s1 = fColStep, s2 = fPlaneStep;
    OptimizeOrderOneBuffer(dPtr, fPixelSize, rows, cols, planes, s0, s1, s2);
    gDNGBottleneck.ShiftRight16(static_cast<uint16_t*>(dPtr), rows, cols, planes, s0, s1, s2,
                                shift);
}

void dng_pixel_buffer::FlipH() {
    fData = DirtyPixel(fArea.t, fArea.r - 1, fPlane);
    fColStep = -fColStep;
}

void dng_pixel_buffer::FlipV() {
    fData = DirtyPixel(fArea.b - 1, fArea.l, fPlane);
    fRowStep = -fRowStep;
}

void dng_pixel_buffer::FlipZ() {
    fData = DirtyPixel(fArea.t, fArea.l, fPlane + fPlanes - 1);
    fPlaneStep = -fPlaneStep;
}

// ---------------------------------------------------------------------------
// Compare

bool dng_pixel_buffer::EqualArea(const dng_pixel_buffer& src, const dng_rect& area, uint32_t plane,
                                 uint32_t planes) const {
    if (fPixelType != src.fPixelType) return false;
    const uint32_t rows = area.H();
    const uint32_t cols = area.W();
    if (rows == 0 || cols == 0 || planes == 0) return true;
    const void* sPtr = src.ConstPixel(area.t, area.l, plane);
    const void* dPtr = ConstPixel(area.t, area.l, plane);
    const dng_bottleneck_table& bt = gDNGBottleneck;
    if (rows == 1 && cols == 1 && src.fPlaneStep == 1 && fPlaneStep == 1)
        return bt.EqualBytes(sPtr, dPtr, SafeUint32Mult(planes, fPixelSize));
    switch (fPixelSize) {
        case 1:
            return bt.EqualArea8(
                static_cast<const uint8_t*>(sPtr), static_cast<const uint8_t*>(dPtr), rows, cols,
                planes, src.fRowStep, src.fColStep, src.fPlaneStep, fRowStep, fColStep, fPlaneStep);
        case 2:
            return bt.EqualArea16(
                static_cast<const uint16_t*>(sPtr), static_cast<const uint16_t*>(dPtr), rows, cols,
                planes, src.fRowStep, src.fColStep, src.fPlaneStep, fRowStep, fColStep, fPlaneStep);
        case 4:
            return bt.EqualArea32(
                static_cast<const uint32_t*>(sPtr), static_cast<const uint32_t*>(dPtr), rows, cols,
                planes, src.fRowStep, src.fColStep, src.fPlaneStep, fRowStep, fColStep, fPlaneStep);
        default:
            ThrowDNGError(dng_error_not_yet_implemented, nullptr);
    }
    return false;
}

double dng_pixel_buffer::MaximumDifference(const dng_pixel_buffer& rhs, const dng_rect& area,
                                           uint32_t plane, uint32_t planes) const {
    if (fPixelType != rhs.fPixelType)
        ThrowDNGError(dng_error_unknown,
                      "attempt to difference pixel buffers of different formats.");
    const uint32_t rows = area.H();
    const uint32_t cols = area.W();
    if (rows == 0 || cols == 0 || planes == 0) {
        switch (fPixelType) {
            case 1:
            case 3:
            case 4:
            case 6:
            case 8:
            case 9:
            case 11:
            case 12:
                return 0.0;
            default:
                ThrowDNGError(dng_error_not_yet_implemented, nullptr);
        }
    }
    const void* a = ConstPixel(area.t, area.l, plane);
    const void* b = rhs.ConstPixel(area.t, area.l, plane);
    auto run = [&](auto tag) {
        using T = decltype(tag);
        return maxDifference(static_cast<const T*>(a), static_cast<const T*>(b), rows, cols, planes,
                             fRowStep, fColStep, fPlaneStep, rhs.fRowStep, rhs.fColStep,
                             rhs.fPlaneStep);
    };
    switch (fPixelType) {
        case 1:
            return run(uint8_t{});
        case 3:
            return run(uint16_t{});
        case 4:
            return run(uint32_t{});
        case 6:
            return run(int8_t{});
        case 8:
            return run(int16_t{});
        case 9:
            return run(int32_t{});
        case 11:
            return run(float{});
        case 12:
            return run(double{});
        default:
            ThrowDNGError(dng_error_not_yet_implemented, nullptr);
    }
    return 0.0;
}
