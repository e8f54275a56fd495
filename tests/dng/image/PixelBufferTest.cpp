// Pixel-buffer area operations against naive per-sample loops, on buffers
// with random layouts and random positive and negative steps.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <random>
#include <vector>

#include "dng/core/dng_exception.h"
#include "dng/image/ImageTestSupport.h"
#include "dng/image/dng_pixel_buffer.h"

namespace {

using imagetest::errorCode;

uint32_t sizeOf(uint32_t type) {
    switch (type) {
        case 1:
        case 6:
            return 1;
        case 3:
        case 8:
            return 2;
        case 4:
        case 9:
        case 11:
            return 4;
        case 12:
            return 8;
        default:
            return 0;
    }
}

// Backing store plus a descriptor of a random layout inside it.
struct TestBuffer {
    std::vector<uint8_t> store;
    dng_pixel_buffer buffer;
};

TestBuffer makeBuffer(std::mt19937& rng, const dng_rect& area, uint32_t plane, uint32_t planes,
                      uint32_t type) {
    TestBuffer t;
    const uint32_t counts[3] = {area.H(), area.W(), planes};
    int order[3] = {0, 1, 2};
    std::shuffle(order, order + 3, rng);
    int32_t steps[3];
    int64_t span = 1 + int64_t(rng() % 2);  // innermost step 1 or 2
    for (int k = 2; k >= 0; --k) {
        const int dim = order[k];
        steps[dim] = int32_t(span);
        span = span * counts[dim] + int64_t(rng() % 3);
    }
    const uint32_t size = sizeOf(type);
    t.store.resize(size_t(span) * size + 16);
    for (auto& b : t.store) b = uint8_t(rng());
    t.buffer.fArea = area;
    t.buffer.fPlane = plane;
    t.buffer.fPlanes = planes;
    t.buffer.fRowStep = steps[0];
    t.buffer.fColStep = steps[1];
    t.buffer.fPlaneStep = steps[2];
    t.buffer.fPixelType = type;
    t.buffer.fPixelSize = size;
    t.buffer.fData = t.store.data();
    if (rng() & 1) t.buffer.FlipH();
    if (rng() & 1) t.buffer.FlipV();
    if (rng() & 1) t.buffer.FlipZ();
    if (type == 11) {
        // Floats spread over [-0.5, 1.5] with an occasional NaN.
        for (int32_t r = area.t; r < area.b; ++r)
            for (int32_t c = area.l; c < area.r; ++c)
                for (uint32_t p = plane; p < plane + planes; ++p) {
                    float v = float(int(rng() % 2001) - 500) / 1000.0f;
                    if (rng() % 50 == 0) v = std::nanf("");
                    *t.buffer.DirtyPixel_real32(r, c, p) = v;
                }
    }
    return t;
}

// The same descriptor over a copy of the store.
dng_pixel_buffer rebase(const TestBuffer& t, std::vector<uint8_t>& other) {
    dng_pixel_buffer b = t.buffer;
    b.fData = other.data() + (static_cast<const uint8_t*>(t.buffer.fData) - t.store.data());
    return b;
}

uint64_t readRaw(const dng_pixel_buffer& b, int32_t r, int32_t c, uint32_t p) {
    uint64_t v = 0;
    std::memcpy(&v, b.ConstPixel(r, c, p), b.fPixelSize);
    return v;
}

void writeRaw(dng_pixel_buffer& b, int32_t r, int32_t c, uint32_t p, uint64_t v) {
    std::memcpy(b.DirtyPixel(r, c, p), &v, b.fPixelSize);
}

float pin(float x) { return x > 0.0f ? (x > 1.0f ? 1.0f : x) : 0.0f; }

// Expected destination raw bits for one converted sample; false when the
// pair is not supported.
bool convert(uint32_t srcType, uint32_t dstType, uint64_t raw, uint64_t& out) {
    float f;
    std::memcpy(&f, &raw, 4);
    if (srcType == dstType) {
        out = raw;
        return sizeOf(srcType) <= 4;
    }
    switch (srcType * 100 + dstType) {
        case 103:
        case 104:
            out = raw;
            return true;
        case 108:
            out = raw ^ 0x8000u;
            return true;
        case 111: {
            float v = float(raw) * (1.0f / 255.0f);
            uint32_t bits;
            std::memcpy(&bits, &v, 4);
            out = bits;
            return true;
        }
        case 301:
            out = raw & 0xFF;
            return true;
        case 304:
            out = raw;
            return true;
        case 308:
            out = raw ^ 0x8000u;
            return true;
        case 311: {
            float v = float(raw) * (1.0f / 65535.0f);
            uint32_t bits;
            std::memcpy(&bits, &v, 4);
            out = bits;
            return true;
        }
        case 401:
            out = raw & 0xFF;
            return true;
        case 403:
            out = raw & 0xFFFF;
            return true;
        case 801:
            out = raw & 0xFF;
            return true;
        case 803:
            out = raw ^ 0x8000u;
            return true;
        case 811: {
            float v = float(raw ^ 0x8000u) * (1.0f / 65535.0f);
            uint32_t bits;
            std::memcpy(&bits, &v, 4);
            out = bits;
            return true;
        }
        case 1101:
            out = uint8_t(pin(f) * 255.0f + 0.5f);
            return true;
        case 1103:
            out = uint16_t(pin(f) * 65535.0f + 0.5f);
            return true;
        case 1108:
            out = uint16_t(uint16_t(pin(f) * 65535.0f + 0.5f) ^ 0x8000u);
            return true;
        default:
            return false;
    }
}

const uint32_t kTypes[] = {1, 3, 4, 6, 8, 9, 11, 12};

// Small areas, or now and then a long row so that loops over rows of many
// pixels with a few planes are covered too.
dng_rect randomArea(std::mt19937& rng) {
    const int32_t t = int32_t(rng() % 21) - 10;
    const int32_t l = int32_t(rng() % 21) - 10;
    const int32_t width = (rng() % 3 == 0) ? 24 + int32_t(rng() % 40) : 1 + int32_t(rng() % 6);
    return dng_rect(t, l, t + 1 + int32_t(rng() % 6), l + width);
}

}  // namespace

TEST(PixelBuffer, SetUpDerivesStepsFromTheLayout) {
    int dummy = 0;
    dng_pixel_buffer interleaved(dng_rect(0, 0, 5, 7), 0, 3, 3, pcInterleaved, &dummy);
    EXPECT_EQ(interleaved.fColStep, 3);
    EXPECT_EQ(interleaved.fPlaneStep, 1);
    EXPECT_EQ(interleaved.fRowStep, 21);
    dng_pixel_buffer planar(dng_rect(0, 0, 5, 7), 0, 3, 3, pcPlanar, &dummy);
    EXPECT_EQ(planar.fPlaneStep, 35);
    EXPECT_EQ(planar.fRowStep, 7);
    dng_pixel_buffer rows(dng_rect(0, 0, 5, 7), 0, 3, 3, pcRowInterleaved, &dummy);
    EXPECT_EQ(rows.fPlaneStep, 7);
    EXPECT_EQ(rows.fRowStep, 21);
    dng_pixel_buffer padded(dng_rect(0, 0, 5, 17), 0, 3, 3, pcRowInterleavedAlignSIMD, &dummy);
    EXPECT_EQ(padded.fPlaneStep, 32);
    EXPECT_EQ(padded.fRowStep, 96);
    dng_pixel_buffer padded8(dng_rect(0, 0, 5, 17), 0, 2, 1, pcRowInterleavedAlignSIMD, &dummy);
    EXPECT_EQ(padded8.fPlaneStep, 32);
    EXPECT_EQ(padded8.PixelRange(), 255u);

    EXPECT_EQ(errorCode([&] { dng_pixel_buffer(dng_rect(0, 0, 5, 7), 0, 3, 3, 3, &dummy); }),
              100000);
    EXPECT_EQ(errorCode([&] {
                  dng_pixel_buffer(dng_rect(0, 0, 100000, 100000), 0, 1, 3, pcPlanar, &dummy);
              }),
              100016);
    EXPECT_EQ(errorCode([&] {
                  dng_pixel_buffer(dng_rect(0, 0, 1, 2000000000), 0, 2, 3, pcInterleaved, &dummy);
              }),
              100016);
}

TEST(PixelBuffer, OptimizeOrderVisitsTheSameSamplePairs) {
    std::mt19937 rng(7);
    for (int iteration = 0; iteration < 500; ++iteration) {
        uint32_t counts[3] = {uint32_t(1 + rng() % 5), uint32_t(1 + rng() % 5),
                              uint32_t(1 + rng() % 4)};
        int32_t s[3], d[3];
        for (int k = 0; k < 3; ++k) {
            s[k] = int32_t(rng() % 41) - 20;
            d[k] = int32_t(rng() % 41) - 20;
        }
        if (rng() % 3 == 0) {  // a contiguous layout, to exercise loop fusion
            s[2] = 1, s[1] = int32_t(counts[2]), s[0] = int32_t(counts[1] * counts[2]);
            d[2] = 1, d[1] = int32_t(counts[2]), d[0] = int32_t(counts[1] * counts[2]);
            if (rng() & 1) s[0] = -s[0], d[0] = -d[0];
        }
        const uint32_t sSize = 1u << (rng() % 3), dSize = 1u << (rng() % 3);
        static uint8_t sBase[1 << 16], dBase[1 << 16];
        auto pairs = [&](const void* sp, const void* dp, const uint32_t* c, const int32_t* ss,
                         const int32_t* ds) {
            std::vector<std::pair<int64_t, int64_t>> v;
            for (uint32_t i = 0; i < c[0]; ++i)
                for (uint32_t j = 0; j < c[1]; ++j)
                    for (uint32_t k = 0; k < c[2]; ++k)
                        v.emplace_back(
                            (static_cast<const uint8_t*>(sp) - sBase) +
                                (int64_t(i) * ss[0] + int64_t(j) * ss[1] + int64_t(k) * ss[2]) *
                                    sSize,
                            (static_cast<const uint8_t*>(dp) - dBase) +
                                (int64_t(i) * ds[0] + int64_t(j) * ds[1] + int64_t(k) * ds[2]) *
                                    dSize);
            std::sort(v.begin(), v.end());
            return v;
        };
        const void* sPtr = sBase + 30000;
        void* dPtr = dBase + 30000;
        const auto before = pairs(sPtr, dPtr, counts, s, d);
        dng_pixel_buffer::OptimizeOrder(sPtr, dPtr, sSize, dSize, counts[0], counts[1], counts[2],
                                        s[0], s[1], s[2], d[0], d[1], d[2]);
        EXPECT_EQ(pairs(sPtr, dPtr, counts, s, d), before) << "iteration " << iteration;
        if (s[0] != 0 || s[1] != 0 || s[2] != 0) {
            // The leading buffer walks forwards after ordering.
            const bool anyNegative = (counts[0] > 1 && s[0] < 0 && d[0] < 0) ||
                                     (counts[1] > 1 && s[1] < 0 && d[1] < 0) ||
                                     (counts[2] > 1 && s[2] < 0 && d[2] < 0);
            EXPECT_FALSE(anyNegative);
        }
    }
}

TEST(PixelBuffer, OptimizeOrderFusesAContiguousBufferIntoOneRun) {
    uint32_t c0 = 4, c1 = 5, c2 = 3;
    int32_t s0 = -15, s1 = 3, s2 = 1;
    uint8_t block[256];
    const void* p = block + 100;
    dng_pixel_buffer::OptimizeOrderOneBuffer(p, 2, c0, c1, c2, s0, s1, s2);
    EXPECT_EQ(c0, 1u);
    EXPECT_EQ(c1, 1u);
    EXPECT_EQ(c2, 60u);
    EXPECT_EQ(s2, 1);
    EXPECT_EQ(p, static_cast<const void*>(block + 100 - 3 * 15 * 2));
}

TEST(PixelBuffer, CopyAreaMatchesNaiveConversionForEveryTypePair) {
    std::mt19937 rng(11);
    for (uint32_t srcType : kTypes) {
        for (uint32_t dstType : kTypes) {
            for (int iteration = 0; iteration < 12; ++iteration) {
                const dng_rect area = randomArea(rng);
                const uint32_t planes = 1 + rng() % 3;
                TestBuffer src = makeBuffer(rng, area, 1, planes + 1, srcType);
                TestBuffer dst = makeBuffer(rng, area, 0, planes + 1, dstType);
                std::vector<uint8_t> expectedStore = dst.store;
                dng_pixel_buffer expected = rebase(dst, expectedStore);
                bool supported = true;
                for (int32_t r = area.t; r < area.b; ++r)
                    for (int32_t c = area.l; c < area.r; ++c)
                        for (uint32_t p = 0; p < planes; ++p) {
                            uint64_t out = 0;
                            supported = supported && convert(srcType, dstType,
                                                             readRaw(src.buffer, r, c, p + 2), out);
                            writeRaw(expected, r, c, p + 1, out);
                        }
                const int32_t code =
                    errorCode([&] { dst.buffer.CopyArea(src.buffer, area, 2, 1, planes); });
                if (srcType == dstType && sizeOf(srcType) == 8) {
                    // Doubles copy only as one contiguous run.
                    EXPECT_TRUE(code == 0 || code == 100001);
                    continue;
                }
                if (!supported) {
                    EXPECT_EQ(code, 100001) << srcType << " -> " << dstType;
                    continue;
                }
                ASSERT_EQ(code, 0) << srcType << " -> " << dstType;
                ASSERT_EQ(dst.store, expectedStore) << srcType << " -> " << dstType;
            }
        }
    }
}

TEST(PixelBuffer, CopyAreaConversionSpotChecks) {
    uint16_t s16 = 0x1234;
    uint8_t d8 = 0;
    dng_pixel_buffer src(dng_rect(0, 0, 1, 1), 0, 1, 3, pcInterleaved, &s16);
    dng_pixel_buffer dst(dng_rect(0, 0, 1, 1), 0, 1, 1, pcInterleaved, &d8);
    dst.CopyArea(src, dng_rect(0, 0, 1, 1), 0, 0, 1);
    EXPECT_EQ(d8, 0x34);

    float f[3] = {0.5f, 2.0f, -1.0f};
    uint16_t d[3] = {};
    dng_pixel_buffer fsrc(dng_rect(0, 0, 1, 3), 0, 1, 11, pcInterleaved, f);
    dng_pixel_buffer dsts(dng_rect(0, 0, 1, 3), 0, 1, 3, pcInterleaved, d);
    dsts.CopyArea(fsrc, dng_rect(0, 0, 1, 3), 0, 0, 1);
    EXPECT_EQ(d[0], 32768);
    EXPECT_EQ(d[1], 65535);
    EXPECT_EQ(d[2], 0);
}

TEST(PixelBuffer, SetConstantAndSetZeroMatchNaiveFill) {
    std::mt19937 rng(3);
    for (uint32_t type : {1u, 3u, 4u, 8u, 11u}) {
        for (int iteration = 0; iteration < 40; ++iteration) {
            const dng_rect area = randomArea(rng);
            const uint32_t planes = 1 + rng() % 4;
            TestBuffer t = makeBuffer(rng, area, 0, planes + 1, type);
            const dng_rect inner(area.t, area.l, area.t + int32_t(1 + rng() % area.H()),
                                 area.l + int32_t(1 + rng() % area.W()));
            const bool zero = rng() & 1;
            const uint32_t value = zero ? 0 : uint32_t(rng());
            std::vector<uint8_t> expectedStore = t.store;
            dng_pixel_buffer expected = rebase(t, expectedStore);
            const uint64_t fill = zero ? (type == 8 ? 0x8000 : 0) : value;
            for (int32_t r = inner.t; r < inner.b; ++r)
                for (int32_t c = inner.l; c < inner.r; ++c)
                    for (uint32_t p = 1; p <= planes; ++p) writeRaw(expected, r, c, p, fill);
            if (zero) {
                t.buffer.SetZero(inner, 1, planes);
            } else {
                t.buffer.SetConstant(inner, 1, planes, value);
            }
            ASSERT_EQ(t.store, expectedStore) << "type " << type;
        }
    }
    double d = 1.0;
    dng_pixel_buffer doubles(dng_rect(0, 0, 1, 1), 0, 1, 12, pcInterleaved, &d);
    EXPECT_EQ(errorCode([&] { doubles.SetZero(dng_rect(0, 0, 1, 1), 0, 1); }), 100001);
}

TEST(PixelBuffer, RepeatAreaMatchesNaiveTiling) {
    std::mt19937 rng(5);
    for (uint32_t type : {1u, 3u, 4u}) {
        for (int iteration = 0; iteration < 60; ++iteration) {
            const dng_rect area(-6, -5, 10, 9);
            const uint32_t planes = 1 + rng() % 3;
            TestBuffer t = makeBuffer(rng, area, 2, planes, type);
            const int32_t pt = area.t + int32_t(rng() % 8), pl = area.l + int32_t(rng() % 8);
            const dng_rect pattern(pt, pl, pt + 1 + int32_t(rng() % 3),
                                   pl + 1 + int32_t(rng() % 3));
            const int32_t dt = area.t + int32_t(rng() % 10), dl = area.l + int32_t(rng() % 10);
            const dng_rect dstArea(dt, dl, std::min(area.b, dt + 1 + int32_t(rng() % 6)),
                                   std::min(area.r, dl + 1 + int32_t(rng() % 6)));
            if (!(pattern & dstArea).IsEmpty()) continue;
            std::vector<uint8_t> expectedStore = t.store;
            dng_pixel_buffer expected = rebase(t, expectedStore);
            const int32_t rv = int32_t(pattern.H()), rh = int32_t(pattern.W());
            for (int32_t r = dstArea.t; r < dstArea.b; ++r)
                for (int32_t c = dstArea.l; c < dstArea.r; ++c) {
                    // Pattern sample whose position is congruent to (r, c).
                    const int32_t pr = pattern.t + (((r - pattern.t) % rv) + rv) % rv;
                    const int32_t pc = pattern.l + (((c - pattern.l) % rh) + rh) % rh;
                    for (uint32_t p = 2; p < 2 + planes; ++p)
                        writeRaw(expected, r, c, p, readRaw(t.buffer, pr, pc, p));
                }
            t.buffer.RepeatArea(pattern, dstArea);
            ASSERT_EQ(t.store, expectedStore);
        }
    }
}

TEST(PixelBuffer, RepeatPhaseAndSubArea) {
    EXPECT_EQ(dng_pixel_buffer::RepeatPhase(dng_rect(10, 0, 14, 1), dng_rect(8, 0, 9, 1)).v, 2);
    EXPECT_EQ(dng_pixel_buffer::RepeatPhase(dng_rect(10, 0, 14, 1), dng_rect(16, 0, 17, 1)).v, 2);
    EXPECT_EQ(dng_pixel_buffer::RepeatPhase(dng_rect(0, -3, 1, 0), dng_rect(0, -7, 1, 0)).h, 2);

    // A 2 x 2 inner block extended to 6 x 6 keeps its phase on every side.
    uint16_t data[36] = {};
    dng_pixel_buffer b(dng_rect(0, 0, 6, 6), 0, 1, 3, pcInterleaved, data);
    const uint16_t inner[2][2] = {{1, 2}, {3, 4}};
    for (int r = 2; r < 4; ++r)
        for (int c = 2; c < 4; ++c) *b.DirtyPixel_uint16(r, c) = inner[r - 2][c - 2];
    b.RepeatSubArea(dng_rect(2, 2, 4, 4), 2, 2);
    for (int r = 0; r < 6; ++r)
        for (int c = 0; c < 6; ++c) EXPECT_EQ(*b.ConstPixel_uint16(r, c), inner[r % 2][c % 2]);
}

TEST(PixelBuffer, FlipsMirrorTheViewAndUndoThemselves) {
    uint16_t data[2 * 3 * 2];
    for (int i = 0; i < 12; ++i) data[i] = uint16_t(i);
    dng_pixel_buffer b(dng_rect(0, 0, 2, 3), 0, 2, 3, pcInterleaved, data);
    const dng_pixel_buffer original = b;
    b.FlipH();
    EXPECT_EQ(*b.ConstPixel_uint16(0, 0, 0), data[4]);
    b.FlipV();
    EXPECT_EQ(*b.ConstPixel_uint16(0, 0, 0), data[10]);
    b.FlipZ();
    EXPECT_EQ(*b.ConstPixel_uint16(0, 0, 0), data[11]);
    EXPECT_EQ(*b.ConstPixel_uint16(1, 2, 1), data[0]);
    b.FlipZ();
    b.FlipV();
    b.FlipH();
    EXPECT_EQ(b.fData, original.fData);
    EXPECT_EQ(b.fRowStep, original.fRowStep);
    EXPECT_EQ(b.fColStep, original.fColStep);
    EXPECT_EQ(b.fPlaneStep, original.fPlaneStep);
}

TEST(PixelBuffer, ShiftRightMatchesNaiveShift) {
    std::mt19937 rng(9);
    for (int iteration = 0; iteration < 30; ++iteration) {
        const dng_rect area = randomArea(rng);
        TestBuffer t = makeBuffer(rng, area, 0, 1 + rng() % 3, 3);
        const uint32_t shift = rng() % 16;
        std::vector<uint8_t> expectedStore = t.store;
        dng_pixel_buffer expected = rebase(t, expectedStore);
        for (int32_t r = area.t; r < area.b; ++r)
            for (int32_t c = area.l; c < area.r; ++c)
                for (uint32_t p = 0; p < t.buffer.fPlanes; ++p)
                    writeRaw(expected, r, c, p, readRaw(t.buffer, r, c, p) >> shift);
        t.buffer.ShiftRight(shift);
        ASSERT_EQ(t.store, expectedStore);
    }
    uint8_t byte = 0;
    dng_pixel_buffer bytes(dng_rect(0, 0, 1, 1), 0, 1, 1, pcInterleaved, &byte);
    EXPECT_EQ(errorCode([&] { bytes.ShiftRight(1); }), 100001);
}

TEST(PixelBuffer, EqualAreaAndMaximumDifferenceMatchNaiveComparison) {
    std::mt19937 rng(13);
    for (uint32_t type : kTypes) {
        for (int iteration = 0; iteration < 30; ++iteration) {
            const dng_rect area = randomArea(rng);
            const uint32_t planes = 1 + rng() % 3;
            TestBuffer a = makeBuffer(rng, area, 0, planes, type);
            TestBuffer b = makeBuffer(rng, area, 0, planes, type);
            // Start equal, then perturb a few samples.
            for (int32_t r = area.t; r < area.b; ++r)
                for (int32_t c = area.l; c < area.r; ++c)
                    for (uint32_t p = 0; p < planes; ++p) {
                        uint64_t v = readRaw(a.buffer, r, c, p);
                        if (type == 11 || type == 12) {
                            const double x = double(int(rng() % 2000) - 1000) / 7.0;
                            if (type == 11) {
                                float f = float(x);
                                std::memcpy(&v, &f, 4);
                            } else {
                                std::memcpy(&v, &x, 8);
                            }
                            writeRaw(a.buffer, r, c, p, v);
                        }
                        if (rng() % 7 == 0 && type != 11 && type != 12)
                            v ^= uint64_t(1) << (rng() % (8 * sizeOf(type)));
                        if (rng() % 7 == 0 && (type == 11 || type == 12)) {
                            const double x = double(int(rng() % 2000) - 1000) / 3.0;
                            if (type == 11) {
                                float f = float(x);
                                v = 0;
                                std::memcpy(&v, &f, 4);
                            } else {
                                std::memcpy(&v, &x, 8);
                            }
                        }
                        writeRaw(b.buffer, r, c, p, v);
                    }
            auto value = [&](const dng_pixel_buffer& buf, int32_t r, int32_t c, uint32_t p) {
                const void* q = buf.ConstPixel(r, c, p);
                switch (type) {
                    case 1:
                        return double(*static_cast<const uint8_t*>(q));
                    case 3:
                        return double(*static_cast<const uint16_t*>(q));
                    case 4:
                        return double(*static_cast<const uint32_t*>(q));
                    case 6:
                        return double(*static_cast<const int8_t*>(q));
                    case 8:
                        return double(*static_cast<const int16_t*>(q));
                    case 9:
                        return double(*static_cast<const int32_t*>(q));
                    case 11:
                        return double(*static_cast<const float*>(q));
                    default:
                        return *static_cast<const double*>(q);
                }
            };
            double expectedMax = 0.0;
            bool expectedEqual = true;
            for (int32_t r = area.t; r < area.b; ++r)
                for (int32_t c = area.l; c < area.r; ++c)
                    for (uint32_t p = 0; p < planes; ++p) {
                        expectedMax = std::max(expectedMax, std::fabs(value(a.buffer, r, c, p) -
                                                                      value(b.buffer, r, c, p)));
                        expectedEqual = expectedEqual &&
                                        readRaw(a.buffer, r, c, p) == readRaw(b.buffer, r, c, p);
                    }
            EXPECT_EQ(a.buffer.MaximumDifference(b.buffer, area, 0, planes), expectedMax);
            if (sizeOf(type) <= 4) {
                EXPECT_EQ(a.buffer.EqualArea(b.buffer, area, 0, planes), expectedEqual);
            }
        }
    }

    int8_t lo = -128, hi = 127;
    dng_pixel_buffer a(dng_rect(0, 0, 1, 1), 0, 1, 6, pcInterleaved, &lo);
    dng_pixel_buffer b(dng_rect(0, 0, 1, 1), 0, 1, 6, pcInterleaved, &hi);
    EXPECT_EQ(a.MaximumDifference(b, dng_rect(0, 0, 1, 1), 0, 1), 255.0);

    uint16_t same = 7;
    dng_pixel_buffer s3(dng_rect(0, 0, 1, 1), 0, 1, 3, pcInterleaved, &same);
    dng_pixel_buffer s8(dng_rect(0, 0, 1, 1), 0, 1, 8, pcInterleaved, &same);
    EXPECT_FALSE(s3.EqualArea(s8, dng_rect(0, 0, 1, 1), 0, 1));
    EXPECT_EQ(errorCode([&] { s3.MaximumDifference(s8, dng_rect(0, 0, 1, 1), 0, 1); }), 100000);
}
