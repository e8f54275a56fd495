// Plain inner loops of the image model's area operations: fill, copy with
// conversion, repeat, shift and compare over three dimensions (count0, count1,
// count2) with signed steps counted in samples. Callers order the dimensions
// (dng_pixel_buffer::OptimizeOrder) so that the last one is the tightest; the
// loops special-case a unit innermost step so that the compiler vectorises it.
//
// Threads: pure functions over caller-owned memory.
#pragma once

#include <cstdint>
#include <cstring>

namespace dng_area_loops {

inline void ZeroBytes(void* d, uint64_t count) { std::memset(d, 0, count); }

inline void CopyBytes(const void* s, void* d, uint64_t count) { std::memmove(d, s, count); }

inline bool EqualBytes(const void* s, const void* d, uint64_t count) {
    return std::memcmp(s, d, count) == 0;
}

template <typename T>
void SetAreaLoop(T* d, T value, uint32_t count0, uint32_t count1, uint32_t count2, int32_t step0,
                 int32_t step1, int32_t step2) {
    for (uint32_t i = 0; i < count0; ++i) {
        T* row = d + int64_t(i) * step0;
        for (uint32_t j = 0; j < count1; ++j) {
            T* p = row + int64_t(j) * step1;
            if (step2 == 1) {
                for (uint32_t k = 0; k < count2; ++k) p[k] = value;
            } else {
                for (uint32_t k = 0; k < count2; ++k) p[int64_t(k) * step2] = value;
            }
        }
    }
}

// Conversions between sample types, one sample at a time.
struct Widen {
    template <typename S>
    S operator()(S s) const {
        return s;
    }
};

// Offset-binary signed 16-bit form of an unsigned 8- or 16-bit sample (and
// back: toggling bit 15 works both ways).
struct ToSigned16 {
    template <typename S>
    uint16_t operator()(S s) const {
        return uint16_t(uint16_t(s) ^ 0x8000u);
    }
};

struct ToReal32 {
    float scale;
    explicit ToReal32(uint32_t range) : scale(1.0f / float(range)) {}
    template <typename S>
    float operator()(S s) const {
        return float(s) * scale;
    }
};

struct Signed16ToReal32 {
    float scale;
    explicit Signed16ToReal32(uint32_t range) : scale(1.0f / float(range)) {}
    float operator()(uint16_t s) const { return float(uint16_t(s ^ 0x8000u)) * scale; }
};

// Pins to [0, 1] (NaN becomes 0), scales and rounds half up.
inline float PinReal32(float x) { return x > 0.0f ? (x > 1.0f ? 1.0f : x) : 0.0f; }

template <typename D>
struct FromReal32 {
    float range;
    explicit FromReal32(uint32_t r) : range(float(r)) {}
    D operator()(float s) const { return D(PinReal32(s) * range + 0.5f); }
};

struct Real32ToSigned16 {
    float range;
    explicit Real32ToSigned16(uint32_t r) : range(float(r)) {}
    uint16_t operator()(float s) const {
        return uint16_t(uint16_t(PinReal32(s) * range + 0.5f) ^ 0x8000u);
    }
};

template <typename S, typename D, typename F>
void CopyAreaLoop(const S* s, D* d, uint32_t count0, uint32_t count1, uint32_t count2,
                  int32_t sStep0, int32_t sStep1, int32_t sStep2, int32_t dStep0, int32_t dStep1,
                  int32_t dStep2, F convert) {
    // A few planes per pixel (interleaved on one side only): walking each
    // plane along the row keeps the long loop innermost. Every sample is
    // still copied once, so the order does not matter.
    if (count2 < 8 && count1 >= 8 * count2 && !(sStep2 == 1 && dStep2 == 1)) {
        for (uint32_t i = 0; i < count0; ++i) {
            const S* sRow = s + int64_t(i) * sStep0;
            D* dRow = d + int64_t(i) * dStep0;
            for (uint32_t k = 0; k < count2; ++k) {
                const S* sp = sRow + int64_t(k) * sStep2;
                D* dp = dRow + int64_t(k) * dStep2;
                if (sStep1 == 1) {
                    for (uint32_t j = 0; j < count1; ++j)
                        dp[int64_t(j) * dStep1] = D(convert(sp[j]));
                } else if (dStep1 == 1) {
                    for (uint32_t j = 0; j < count1; ++j)
                        dp[j] = D(convert(sp[int64_t(j) * sStep1]));
                } else {
                    for (uint32_t j = 0; j < count1; ++j)
                        dp[int64_t(j) * dStep1] = D(convert(sp[int64_t(j) * sStep1]));
                }
            }
        }
        return;
    }
    for (uint32_t i = 0; i < count0; ++i) {
        const S* sRow = s + int64_t(i) * sStep0;
        D* dRow = d + int64_t(i) * dStep0;
        for (uint32_t j = 0; j < count1; ++j) {
            const S* sp = sRow + int64_t(j) * sStep1;
            D* dp = dRow + int64_t(j) * dStep1;
            if (sStep2 == 1 && dStep2 == 1) {
                for (uint32_t k = 0; k < count2; ++k) dp[k] = D(convert(sp[k]));
            } else {
                for (uint32_t k = 0; k < count2; ++k)
                    dp[int64_t(k) * dStep2] = D(convert(sp[int64_t(k) * sStep2]));
            }
        }
    }
}

// Tiles a repeatV x repeatH pattern (per plane) that starts at s over the
// destination; the first destination sample takes pattern (phaseV, phaseH).
// Source and destination share the steps.
template <typename T>
void RepeatAreaLoop(const T* s, T* d, uint32_t rows, uint32_t cols, uint32_t planes,
                    int32_t rowStep, int32_t colStep, int32_t planeStep, uint32_t repeatV,
                    uint32_t repeatH, uint32_t phaseV, uint32_t phaseH) {
    uint32_t pv = phaseV;
    for (uint32_t r = 0; r < rows; ++r) {
        const T* sRow = s + int64_t(pv) * rowStep;
        T* dRow = d + int64_t(r) * rowStep;
        uint32_t ph = phaseH;
        for (uint32_t c = 0; c < cols; ++c) {
            const T* sp = sRow + int64_t(ph) * colStep;
            T* dp = dRow + int64_t(c) * colStep;
            for (uint32_t p = 0; p < planes; ++p)
                dp[int64_t(p) * planeStep] = sp[int64_t(p) * planeStep];
            if (++ph == repeatH) ph = 0;
        }
        if (++pv == repeatV) pv = 0;
    }
}

inline void ShiftRight16(uint16_t* d, uint32_t count0, uint32_t count1, uint32_t count2,
                         int32_t step0, int32_t step1, int32_t step2, uint32_t shift) {
    for (uint32_t i = 0; i < count0; ++i) {
        uint16_t* row = d + int64_t(i) * step0;
        for (uint32_t j = 0; j < count1; ++j) {
            uint16_t* p = row + int64_t(j) * step1;
            for (uint32_t k = 0; k < count2; ++k) {
                uint16_t& v = p[int64_t(k) * step2];
                v = uint16_t(v >> shift);
            }
        }
    }
}

template <typename T>
bool EqualAreaLoop(const T* s, const T* d, uint32_t count0, uint32_t count1, uint32_t count2,
                   int32_t sStep0, int32_t sStep1, int32_t sStep2, int32_t dStep0, int32_t dStep1,
                   int32_t dStep2) {
    for (uint32_t i = 0; i < count0; ++i) {
        const T* sRow = s + int64_t(i) * sStep0;
        const T* dRow = d + int64_t(i) * dStep0;
        for (uint32_t j = 0; j < count1; ++j) {
            const T* sp = sRow + int64_t(j) * sStep1;
            const T* dp = dRow + int64_t(j) * dStep1;
            for (uint32_t k = 0; k < count2; ++k)
                if (sp[int64_t(k) * sStep2] != dp[int64_t(k) * dStep2]) return false;
        }
    }
    return true;
}

}  // namespace dng_area_loops
