// Opcode lists and the opcodes this system applies: parsing with its size
// checks, spooling back, application through the in-place and filter tasks,
// areas they name, and the skip and refuse rules.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "dng/core/dng_exception.h"
#include "dng/core/dng_memory_stream.h"
#include "dng/core/dng_stream.h"
#include "dng/core/dng_tag_types.h"
#include "dng/core/dng_tag_values.h"
#include "dng/image/ImageTestSupport.h"
#include "dng/image/dng_area_spec.h"
#include "dng/image/dng_bad_pixel_list.h"
#include "dng/image/dng_bad_pixels.h"
#include "dng/image/dng_gain_map.h"
#include "dng/image/dng_image.h"
#include "dng/image/dng_image_host.h"
#include "dng/image/dng_misc_opcodes.h"
#include "dng/image/dng_negative.h"
#include "dng/image/dng_opcode_list.h"
#include "dng/image/dng_pixel_buffer.h"
#include "dng/image/dng_vignette_opcode.h"
#include "dng/image/dng_warp.h"

namespace {

// Big-endian bytes of an opcode list.
struct Bytes {
    std::vector<uint8_t> data;
    Bytes& u32(uint32_t v) {
        for (int s = 24; s >= 0; s -= 8) data.push_back(uint8_t(v >> s));
        return *this;
    }
    Bytes& u16(uint16_t v) {
        data.push_back(uint8_t(v >> 8));
        data.push_back(uint8_t(v));
        return *this;
    }
    Bytes& f32(float f) {
        uint32_t v;
        std::memcpy(&v, &f, 4);
        return u32(v);
    }
    Bytes& f64(double d) {
        uint64_t v;
        std::memcpy(&v, &d, 8);
        return u32(uint32_t(v >> 32)).u32(uint32_t(v));
    }
    Bytes& area(int32_t t, int32_t l, int32_t b, int32_t r, uint32_t plane = 0, uint32_t planes = 1,
                uint32_t rowPitch = 1, uint32_t colPitch = 1) {
        return u32(uint32_t(t))
            .u32(uint32_t(l))
            .u32(uint32_t(b))
            .u32(uint32_t(r))
            .u32(plane)
            .u32(planes)
            .u32(rowPitch)
            .u32(colPitch);
    }
    // Opcode header: id, version, flags; the parameters follow.
    Bytes& op(uint32_t id, uint32_t flags = 0, uint32_t version = 0x01030000) {
        return u32(id).u32(version).u32(flags);
    }
};

struct Fixture {
    dng_image_host host;
    std::unique_ptr<dng_negative> negative = dng_negative::Make(host);

    void Parse(dng_opcode_list& list, const Bytes& b) {
        dng_stream stream(b.data.data(), uint32_t(b.data.size()));
        list.Parse(host, stream, uint32_t(b.data.size()), 0);
    }

    std::unique_ptr<dng_image> Image16(uint32_t rows, uint32_t cols, uint32_t planes,
                                       uint16_t value) {
        std::unique_ptr<dng_image> image(
            host.MakeImage(dng_rect(int32_t(rows), int32_t(cols)), planes, ttShort));
        image->SetConstant(value);
        return image;
    }
};

uint16_t At(const dng_image& image, int32_t row, int32_t col, uint32_t plane = 0) {
    uint16_t v = 0;
    dng_pixel_buffer b(dng_rect(row, col, row + 1, col + 1), plane, 1, ttShort, pcInterleaved, &v);
    image.Get(b);
    return v;
}

void Set(dng_image& image, int32_t row, int32_t col, uint16_t value, uint32_t plane = 0) {
    dng_pixel_buffer b(dng_rect(row, col, row + 1, col + 1), plane, 1, ttShort, pcInterleaved,
                       &value);
    image.Put(b);
}

constexpr auto* ErrorOf = &imagetest::errorCode;

TEST(OpcodeAreaSpec, OverlapFollowsThePitchGrid) {
    const dng_area_spec spec(dng_rect(0, 0, 10, 10), 0, 1, 3, 1);
    EXPECT_EQ(spec.Overlap(dng_rect(0, 0, 10, 10)), dng_rect(0, 0, 10, 10));
    EXPECT_EQ(spec.Overlap(dng_rect(1, 0, 8, 10)), dng_rect(3, 0, 7, 10));
    EXPECT_TRUE(spec.Overlap(dng_rect(20, 20, 30, 30)).IsEmpty());
    EXPECT_EQ(dng_area_spec().Overlap(dng_rect(5, 6, 7, 8)), dng_rect(5, 6, 7, 8));
}

TEST(OpcodeAreaSpec, ReadingClampsPitchesAndRefusesBadAreas) {
    auto read = [](const Bytes& b) {
        dng_stream s(b.data.data(), uint32_t(b.data.size()));
        s.SetBigEndian(true);
        dng_area_spec spec;
        spec.GetData(s);
        return spec;
    };
    const dng_area_spec clamped = read(Bytes().area(0, 0, 10, 10, 0, 1, 20, 1));
    EXPECT_EQ(clamped.RowPitch(), 10u);
    EXPECT_EQ(clamped.ColPitch(), 1u);
    EXPECT_NO_THROW(read(Bytes().area(0, 0, 0, 0, 0, 1, 1, 1)));
    EXPECT_EQ(ErrorOf([&] { read(Bytes().area(0, 0, 0, 0, 0, 1, 2, 1)); }), dng_error_bad_format);
    EXPECT_EQ(ErrorOf([&] { read(Bytes().area(0, 0, 10, 10, 0, 0, 1, 1)); }), dng_error_bad_format);
    // bottom - top overflows int32.
    EXPECT_EQ(ErrorOf([&] { read(Bytes().area(-2000000000, 0, 2000000000, 10)); }),
              dng_error_bad_format);
}

TEST(OpcodeList, EmptyListSpoolsToNothingAndLeavesTheImage) {
    Fixture f;
    dng_opcode_list list(1);
    EXPECT_EQ(list.Spool(f.host), nullptr);
    dng_memory_stream fp(f.host.Allocator());
    list.FingerprintToStream(fp);
    EXPECT_EQ(fp.Length(), 0u);
    auto image = f.Image16(4, 4, 1, 77);
    const dng_image* before = image.get();
    f.host.ApplyOpcodeList(list, *f.negative, image);
    EXPECT_EQ(image.get(), before);
    EXPECT_EQ(At(*image, 2, 2), 77);
}

TEST(OpcodeList, UnknownOptionalOpcodeRoundTripsAndIsSkipped) {
    Fixture f;
    Bytes b;
    b.u32(1).op(99, dng_opcode::kFlag_Optional).u32(12);
    for (uint8_t i = 0; i < 12; i++) b.data.push_back(uint8_t(i * 7));
    dng_opcode_list list(2);
    f.Parse(list, b);
    ASSERT_EQ(list.Count(), 1u);
    std::unique_ptr<dng_memory_block> spooled = list.Spool(f.host);
    ASSERT_NE(spooled, nullptr);
    ASSERT_EQ(spooled->LogicalSize(), b.data.size());
    EXPECT_EQ(std::memcmp(spooled->Buffer(), b.data.data(), b.data.size()), 0);
    auto image = f.Image16(4, 4, 1, 5);
    EXPECT_NO_THROW(list.Apply(f.host, *f.negative, image));

    // The same opcode without the optional flag refuses the image.
    Bytes required;
    required.u32(1).op(99).u32(0);
    f.Parse(list, required);
    EXPECT_EQ(ErrorOf([&] { list.Apply(f.host, *f.negative, image); }), dng_error_bad_format);
}

TEST(OpcodeList, ParseFailuresLeaveTheListEmpty) {
    Fixture f;
    dng_opcode_list list(1);
    // A good TrimBounds followed by one byte the list claims but no opcode uses.
    Bytes b;
    b.u32(1).op(6).u32(16).u32(1).u32(1).u32(3).u32(3);
    b.data.push_back(0);
    EXPECT_EQ(ErrorOf([&] { f.Parse(list, b); }), dng_error_bad_format);
    EXPECT_TRUE(list.IsEmpty());

    // Two opcodes, the second damaged: nothing of the first survives.
    Bytes two;
    two.u32(2).op(6).u32(16).u32(1).u32(1).u32(3).u32(3).op(6).u32(20);
    EXPECT_NE(ErrorOf([&] { f.Parse(list, two); }), 0);
    EXPECT_TRUE(list.IsEmpty());

    // A count that the bytes cannot hold is refused before anything is made.
    Bytes huge;
    huge.u32(0xFFFFFFFF).op(99).u32(0);
    EXPECT_EQ(ErrorOf([&] { f.Parse(list, huge); }), dng_error_bad_format);
    // An unknown opcode whose byte count runs past the list.
    Bytes longer;
    longer.u32(1).op(99).u32(0x7FFFFFFF);
    EXPECT_NE(ErrorOf([&] { f.Parse(list, longer); }), 0);
    EXPECT_TRUE(list.IsEmpty());
}

TEST(OpcodeList, PreviewSkipsFlaggedOpcodesAndMarksTheNegative) {
    Fixture f;
    f.host.SetForPreview(true);
    const uint16_t table[2] = {0, 1000};
    dng_opcode_list list(1);
    Bytes b;
    b.u32(2)
        .op(7, dng_opcode::kFlag_SkipIfPreview)
        .u32(40)
        .area(0, 0, 0, 0)
        .u32(2)
        .u16(0)
        .u16(65535);
    b.op(7).u32(40).area(0, 0, 0, 0).u32(2).u16(table[0]).u16(table[1]);
    f.Parse(list, b);
    auto image = f.Image16(3, 3, 1, 9);
    list.Apply(f.host, *f.negative, image);
    EXPECT_TRUE(f.negative->IsPreview());
    EXPECT_EQ(At(*image, 1, 1), 1000);  // only the second table ran
}

TEST(OpcodeList, NewerOpcodesFromFilesAreSkippedOrRefused) {
    Fixture f;
    auto image = f.Image16(4, 4, 1, 10);
    dng_opcode_list list(1);
    Bytes optional;
    optional.u32(1)
        .op(6, dng_opcode::kFlag_Optional, 0x01050001)
        .u32(16)
        .u32(1)
        .u32(1)
        .u32(3)
        .u32(3);
    f.Parse(list, optional);
    list.Apply(f.host, *f.negative, image);
    EXPECT_EQ(image->Bounds(), dng_rect(4, 4));

    Bytes required;
    required.u32(1).op(6, 0, 0x01050001).u32(16).u32(1).u32(1).u32(3).u32(3);
    f.Parse(list, required);
    EXPECT_EQ(ErrorOf([&] { list.Apply(f.host, *f.negative, image); }), dng_error_bad_format);
    EXPECT_EQ(list.MinVersion(false), 0x01050001u);

    // Made from values, the same version is applied.
    dng_opcode_list values(1);
    const uint16_t t[1] = {5};
    values.Append(std::make_unique<dng_opcode_MapTable>(f.host, dng_area_spec(), t, 1));
    EXPECT_EQ(values.MinVersion(true), 0x01030000u);
}

TEST(OpcodeTrimBounds, TrimsInsideAndRefusesOutside) {
    Fixture f;
    auto image = f.Image16(100, 100, 1, 1);
    dng_opcode_TrimBounds trim(dng_rect(10, 10, 20, 30));
    trim.Apply(f.host, *f.negative, image);
    EXPECT_EQ(image->Height(), 10u);
    EXPECT_EQ(image->Width(), 20u);
    dng_opcode_TrimBounds outside(dng_rect(90, 90, 110, 110));
    auto other = f.Image16(100, 100, 1, 1);
    EXPECT_EQ(ErrorOf([&] { outside.Apply(f.host, *f.negative, other); }), dng_error_bad_format);

    dng_opcode_list list(1);
    Bytes b;
    b.u32(1).op(6).u32(20).u32(1).u32(1).u32(3).u32(3).u32(0);
    EXPECT_EQ(ErrorOf([&] { f.Parse(list, b); }), dng_error_bad_format);
}

TEST(OpcodeMapTable, ShortTablesRepeatTheirLastEntry) {
    Fixture f;
    const uint16_t table[2] = {0, 65535};
    dng_opcode_list list(1);
    list.Append(std::make_unique<dng_opcode_MapTable>(f.host, dng_area_spec(), table, 2));
    auto image = f.Image16(2, 3, 1, 0);
    Set(*image, 0, 1, 1);
    Set(*image, 0, 2, 2);
    Set(*image, 1, 0, 40000);
    list.Apply(f.host, *f.negative, image);
    EXPECT_EQ(At(*image, 0, 0), 0);
    EXPECT_EQ(At(*image, 0, 1), 65535);
    EXPECT_EQ(At(*image, 0, 2), 65535);
    EXPECT_EQ(At(*image, 1, 0), 65535);

    std::unique_ptr<dng_memory_block> spooled = list.Spool(f.host);
    // count, id, version, flags, byte count 40, area, table count, 2 entries.
    ASSERT_EQ(spooled->LogicalSize(), 4u + 12 + 4 + 40);
    const uint8_t* p = static_cast<const uint8_t*>(spooled->Buffer());
    EXPECT_EQ(p[19], 40);

    EXPECT_EQ(ErrorOf([&] { dng_opcode_MapTable(f.host, dng_area_spec(), table, 0); }),
              dng_error_unknown);
}

TEST(OpcodeMapTable, PitchTouchesOnlyTheGrid) {
    Fixture f;
    const uint16_t table[1] = {500};
    dng_opcode_list list(1);
    list.Append(std::make_unique<dng_opcode_MapTable>(
        f.host, dng_area_spec(dng_rect(1, 1, 6, 6), 0, 1, 2, 2), table, 1));
    auto image = f.Image16(8, 8, 1, 7);
    list.Apply(f.host, *f.negative, image);
    for (int32_t r = 0; r < 8; r++)
        for (int32_t c = 0; c < 8; c++) {
            const bool onGrid =
                r >= 1 && r < 6 && c >= 1 && c < 6 && (r - 1) % 2 == 0 && (c - 1) % 2 == 0;
            EXPECT_EQ(At(*image, r, c), onGrid ? 500 : 7) << r << "," << c;
        }
}

TEST(OpcodeMapPolynomial, StageOneCoefficientsAreInImageUnits) {
    Fixture f;
    auto image = f.Image16(2, 2, 1, 0);
    Set(*image, 0, 0, 4096);
    Set(*image, 0, 1, 65535);
    Set(*image, 1, 0, 40000);
    // c2 = 1/65535 in 16-bit units: y = x * x / 65535.
    const double square[3] = {0, 0, 1.0 / 65535.0};
    dng_opcode_list list(1);
    list.Append(std::make_unique<dng_opcode_MapPolynomial>(dng_area_spec(), 2, square));
    list.Apply(f.host, *f.negative, image);
    EXPECT_EQ(At(*image, 0, 0), 256);
    EXPECT_EQ(At(*image, 0, 1), 65535);
    EXPECT_NEAR(At(*image, 1, 0), 24414.6, 1);

    const double identity[2] = {0, 1};
    dng_opcode_list same(1);
    same.Append(std::make_unique<dng_opcode_MapPolynomial>(dng_area_spec(), 1, identity));
    same.Apply(f.host, *f.negative, image);
    EXPECT_EQ(At(*image, 0, 0), 256);

    const double trailing[4] = {0.1, 1, 0, 0};
    EXPECT_EQ(dng_opcode_MapPolynomial(dng_area_spec(), 3, trailing).Degree(), 1u);
}

TEST(OpcodeMapPolynomial, ByteCountMustMatchTheDegree) {
    Fixture f;
    dng_opcode_list list(2);
    Bytes bad;
    bad.u32(1).op(8).u32(44 + 8 * 2).area(0, 0, 0, 0).u32(1).f64(0).f64(1).f64(0);
    EXPECT_EQ(ErrorOf([&] { f.Parse(list, bad); }), dng_error_bad_format);
    Bytes tooHigh;
    tooHigh.u32(1).op(8).u32(44 + 8 * 9).area(0, 0, 0, 0).u32(9);
    for (int i = 0; i < 10; i++) tooHigh.f64(0);
    EXPECT_EQ(ErrorOf([&] { f.Parse(list, tooHigh); }), dng_error_bad_format);
}

TEST(OpcodeDeltaScale, CountsMustMatchTheArea) {
    Fixture f;
    dng_opcode_list list(1);
    for (uint32_t n : {4u, 5u, 6u}) {
        Bytes b;
        b.u32(1).op(10).u32(36 + 4 * n).area(0, 0, 10, 4, 0, 1, 2, 1).u32(n);
        for (uint32_t i = 0; i < n; i++) b.f32(1.0f);
        const int32_t error = ErrorOf([&] { f.Parse(list, b); });
        EXPECT_EQ(error, n == 5 ? 0 : dng_error_bad_format) << n;
    }
}

TEST(OpcodeDeltaScale, DeltasAreInImageUnitsAndClip) {
    Fixture f;
    auto image = f.Image16(4, 2, 1, 1000);
    Set(*image, 3, 0, 65500);
    Bytes b;
    b.u32(1).op(10).u32(36 + 16).area(0, 0, 4, 2).u32(4).f32(655.35f).f32(0).f32(-2000).f32(1000);
    dng_opcode_list list(1);
    f.Parse(list, b);
    list.Apply(f.host, *f.negative, image);
    EXPECT_NEAR(At(*image, 0, 0), 1655, 1);
    EXPECT_EQ(At(*image, 1, 1), 1000);
    EXPECT_EQ(At(*image, 2, 0), 0);
    EXPECT_EQ(At(*image, 3, 0), 65535);

    auto scaled = f.Image16(2, 3, 1, 1000);
    Bytes s;
    s.u32(1).op(13).u32(36 + 12).area(0, 0, 2, 3).u32(3).f32(1.0f).f32(2.0f).f32(0.5f);
    f.Parse(list, s);
    list.Apply(f.host, *f.negative, scaled);
    EXPECT_EQ(At(*scaled, 0, 0), 1000);
    EXPECT_EQ(At(*scaled, 1, 1), 2000);
    EXPECT_EQ(At(*scaled, 1, 2), 500);
}

// Every sample of the ramp is distinct, so a delta that lands on the wrong
// column, row or plane shows.
uint16_t RampValue(int32_t r, int32_t c) { return uint16_t(1000 + 100 * c + 10 * r); }

TEST(OpcodeDeltaScale, DeltaPerColumnWalksTheAreaGrid) {
    // Area rows 1..5 every 2nd, columns 2..280 every 3rd, plane 1 only; the
    // image is wider than one 256-column tile. Column 2 + 3i takes 10i + 7
    // (16-bit units), except column 5, which takes -59000.3 from a sample of
    // 60000 and up: a value scale of 1/65536 instead of 1/65535 would leave
    // 1000.6 there instead of 999.7.
    constexpr int32_t kCols = 300;
    constexpr uint32_t kCount = 93;  // ceil((281 - 2) / 3)
    auto delta = [](uint32_t i) { return i == 1 ? -59000.3f : float(10 * i + 7); };
    Bytes b;
    b.u32(1).op(11).u32(36 + 4 * kCount).area(1, 2, 6, 281, 1, 1, 2, 3).u32(kCount);
    for (uint32_t i = 0; i < kCount; i++) b.f32(delta(i));
    auto plane1 = [](int32_t r, int32_t c) {
        return c == 5 ? uint16_t(60000 + 10 * r) : RampValue(r, c);
    };

    for (uint32_t stage : {1u, 2u}) {
        SCOPED_TRACE(stage);
        Fixture f;
        // 0.2 of full scale: from stage 2 on a delta counts for 0.8 of itself.
        f.negative->SetStage3BlackLevel(13107);
        auto image = f.Image16(7, kCols, 2, 0);
        for (int32_t r = 0; r < 7; r++)
            for (int32_t c = 0; c < kCols; c++) {
                Set(*image, r, c, RampValue(r, c), 0);
                Set(*image, r, c, plane1(r, c), 1);
            }
        Set(*image, 3, 278, 65000, 1);  // clips at full scale
        dng_opcode_list list(stage);
        f.Parse(list, b);
        list.Apply(f.host, *f.negative, image);

        for (int32_t r = 0; r < 7; r++)
            for (int32_t c = 0; c < kCols; c++) {
                ASSERT_EQ(At(*image, r, c, 0), RampValue(r, c)) << r << "," << c;
                const bool onGrid =
                    r >= 1 && r < 6 && (r - 1) % 2 == 0 && c >= 2 && c < 281 && (c - 2) % 3 == 0;
                int want = plane1(r, c);
                if (onGrid) {
                    const int i = (c - 2) / 3;
                    // By hand: stage 1 adds 10i + 7 and takes 59000.3 from
                    // 60000 + 10r (999.7 + 10r); stage 2 adds 8i + 5.6 and
                    // takes 47200.24 (12799.76 + 10r).
                    if (c == 5)
                        want = stage == 1 ? 1000 + 10 * r : 12800 + 10 * r;
                    else
                        want += stage == 1 ? 10 * i + 7 : 8 * i + 6;
                }
                if (r == 3 && c == 278) want = 65535;
                ASSERT_EQ(At(*image, r, c, 1), want) << r << "," << c;
            }
    }
}

TEST(OpcodeDeltaScale, InPlaceFloatBuffersSeeNormalisedSamples) {
    // A scale of 1 on a full-scale 16-bit sample must come back unchanged,
    // so the sample reached the opcode as 1.0.
    Fixture f;
    auto image = f.Image16(1, 1, 1, 65535);
    Bytes s;
    s.u32(1).op(12).u32(40).area(0, 0, 1, 1).u32(1).f32(1.0f);
    dng_opcode_list list(3);
    f.Parse(list, s);
    list.Apply(f.host, *f.negative, image);
    EXPECT_EQ(At(*image, 0, 0), 65535);
}

TEST(OpcodeWarp, BlocksRoundTripAndIdentitiesAreSkipped) {
    Fixture f;
    EXPECT_EQ(dng_opcode_WarpRectilinear::ParamBytes(3), 164u);
    EXPECT_EQ(dng_opcode_WarpRectilinear::ParamBytes(1), 68u);
    EXPECT_EQ(dng_opcode_WarpFisheye::ParamBytes(3), 116u);
    EXPECT_EQ(dng_opcode_WarpFisheye::ParamBytes(1), 52u);

    Bytes warp;
    warp.u32(1).op(1).u32(68).u32(1);
    for (double v : {0.9, 0.05, 0.02, 0.01, 0.001, -0.002, 0.45, 0.55}) warp.f64(v);
    dng_opcode_list list(3);
    f.Parse(list, warp);
    std::unique_ptr<dng_memory_block> spooled = list.Spool(f.host);
    ASSERT_EQ(spooled->LogicalSize(), warp.data.size());
    EXPECT_EQ(std::memcmp(spooled->Buffer(), warp.data.data(), warp.data.size()), 0);

    // A constant image stays constant through any warp.
    auto image = f.Image16(40, 60, 3, 30000);
    list.Apply(f.host, *f.negative, image);
    EXPECT_NEAR(At(*image, 0, 0, 2), 30000, 2);
    EXPECT_NEAR(At(*image, 20, 30, 1), 30000, 2);

    Bytes identity;
    identity.u32(1).op(1).u32(68).u32(1);
    for (double v : {1.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.5, 0.5}) identity.f64(v);
    f.Parse(list, identity);
    EXPECT_TRUE(list.Entry(0).IsNOP());
    EXPECT_NO_THROW(list.Apply(f.host, *f.negative, image));
    EXPECT_EQ(ErrorOf([&] { list.Entry(0).Apply(f.host, *f.negative, image); }), dng_error_unknown);

    Bytes fisheye;
    fisheye.u32(1).op(2).u32(52).u32(1);
    for (double v : {1.0, 0.0, 0.0, 0.0, 0.5, 0.5}) fisheye.f64(v);
    f.Parse(list, fisheye);
    EXPECT_FALSE(list.Entry(0).IsNOP());

    Bytes badPlanes;
    badPlanes.u32(1).op(1).u32(68).u32(5);
    EXPECT_EQ(ErrorOf([&] { f.Parse(list, badPlanes); }), dng_error_bad_format);
    Bytes badCentre;
    badCentre.u32(1).op(2).u32(52).u32(1);
    for (double v : {1.0, 0.0, 0.0, 0.0, 1.5, 0.5}) badCentre.f64(v);
    EXPECT_EQ(ErrorOf([&] { f.Parse(list, badCentre); }), dng_error_bad_format);
}

TEST(OpcodeBadPixels, ListSizeMustMatchItsCounts) {
    Fixture f;
    dng_opcode_list list(1);
    Bytes badList;
    badList.u32(1).op(5).u32(12).u32(0).u32(5).u32(0);  // claims 5 points, holds none
    EXPECT_EQ(ErrorOf([&] { f.Parse(list, badList); }), dng_error_bad_format);
}

TEST(OpcodeWarp, RadialScaleMagnifiesAboutTheCentre) {
    Fixture f;
    // kr0 = 0.5: every destination pixel samples halfway towards the centre.
    dng_vector radial[4];
    dng_vector tangential[4];
    radial[0] = dng_vector(4);
    radial[0][0] = 0.5;
    tangential[0] = dng_vector(2);
    dng_warp_params_rectilinear params(1, radial, tangential, dng_point_real64(0.5, 0.5));
    dng_opcode_WarpRectilinear op(params, 0);
    auto image = f.Image16(21, 101, 1, 0);
    for (int32_t r = 0; r < 21; r++)
        for (int32_t c = 0; c < 101; c++) Set(*image, r, c, uint16_t(c * 600));
    op.Apply(f.host, *f.negative, image);
    // Centre column 50.5 - 0.5 = 50 in pixel centres: destination column x
    // samples 50.5 + (x - 50.5) / 2, whose value is 600 times that minus 0.5.
    for (int32_t x : {10, 30, 70, 90}) {
        const double src = 50.5 + (x - 50.5) * 0.5;
        EXPECT_NEAR(At(*image, 10, x), 600 * src, 600) << x;
    }

    // Two planes for a three-channel negative do not fit.
    f.negative->SetColorChannels(3);
    radial[1] = radial[0];
    tangential[1] = tangential[0];
    dng_warp_params_rectilinear twoPlanes(2, radial, tangential, dng_point_real64(0.5, 0.5));
    dng_opcode_WarpRectilinear wrong(twoPlanes, 0);
    EXPECT_FALSE(wrong.IsValidForNegative(*f.negative));
}

// Warps checked pixel by pixel on two ramps: plane 0 rises with the column,
// plane 1 with the row, so each output sample tells where along its axis the
// warp sampled the source. The source position is worked out here from the
// model's formulas.
struct WarpGeometry {
    static constexpr int32_t kRows = 96, kCols = 128;
    static constexpr double kColSlope = 450, kRowSlope = 600, kBase = 500;
    // Centre fractions (v 0.5, h 0.375) of the 96 x 128 bounds.
    static constexpr double kCentreV = 48, kCentreH = 48;
    // The farthest corner, (96, 128), from the centre.
    static double Radius() { return std::hypot(96.0 - 48.0, 128.0 - 48.0); }
};

std::unique_ptr<dng_image> WarpRamps(Fixture& f) {
    auto image = f.Image16(WarpGeometry::kRows, WarpGeometry::kCols, 2, 0);
    for (int32_t r = 0; r < WarpGeometry::kRows; r++)
        for (int32_t c = 0; c < WarpGeometry::kCols; c++) {
            Set(*image, r, c, uint16_t(WarpGeometry::kBase + WarpGeometry::kColSlope * c), 0);
            Set(*image, r, c, uint16_t(WarpGeometry::kBase + WarpGeometry::kRowSlope * r), 1);
        }
    return image;
}

// Compares every output pixel whose source lies well inside the image with
// the ramps' values there. The bicubic kernel and its 1/32-pixel phases
// place a sample within 0.1 pixel.
template <typename SourceOf>
void ExpectWarpedRamps(const dng_image& image, SourceOf sourceOf) {
    int checked = 0;
    for (int32_t y = 0; y < WarpGeometry::kRows; y++)
        for (int32_t x = 0; x < WarpGeometry::kCols; x++) {
            double sv, sh;
            sourceOf(y - WarpGeometry::kCentreV, x - WarpGeometry::kCentreH, &sv, &sh);
            sv += WarpGeometry::kCentreV;
            sh += WarpGeometry::kCentreH;
            if (sv < 3 || sh < 3 || sv > WarpGeometry::kRows - 4 || sh > WarpGeometry::kCols - 4)
                continue;
            ASSERT_NEAR(At(image, y, x, 0), WarpGeometry::kBase + WarpGeometry::kColSlope * sh,
                        0.1 * WarpGeometry::kColSlope)
                << y << "," << x;
            ASSERT_NEAR(At(image, y, x, 1), WarpGeometry::kBase + WarpGeometry::kRowSlope * sv,
                        0.1 * WarpGeometry::kRowSlope)
                << y << "," << x;
            ++checked;
        }
    EXPECT_GT(checked, WarpGeometry::kRows * WarpGeometry::kCols / 2);
}

TEST(OpcodeWarp, FisheyePixelsFollowTheAngleOfIncidence) {
    Fixture f;
    dng_vector radial[4];
    radial[0] = dng_vector(4);
    const double k[4] = {0.95, 0.3, -0.2, 0.4};
    for (int i = 0; i < 4; i++) radial[0][i] = k[i];
    dng_warp_params_fisheye params(1, radial, dng_point_real64(0.5, 0.375));
    dng_opcode_WarpFisheye op(params, 0);
    auto image = WarpRamps(f);
    op.Apply(f.host, *f.negative, image);

    const double radius = WarpGeometry::Radius();
    ExpectWarpedRamps(*image, [&](double dv, double dh, double* sv, double* sh) {
        const double r = std::hypot(dv, dh) / radius;
        const double theta = std::atan(r), t2 = theta * theta;
        const double ratio =
            r < 1e-6 ? 1.0 : theta * (k[0] + t2 * (k[1] + t2 * (k[2] + t2 * k[3]))) / r;
        *sv = dv * ratio;
        *sh = dh * ratio;
    });
}

// The tangential terms in normalised units n = offset / radius, with
// r2 = |n|^2: dv += kt0 (r2 + 2 nv^2) + 2 kt1 nv nh, dh += kt1 (r2 + 2 nh^2)
// + 2 kt0 nv nh, each back in pixels.
void TangentialShift(double kt0, double kt1, double nv, double nh, double* tv, double* th) {
    const double r2 = nv * nv + nh * nh;
    *tv = kt0 * (r2 + 2 * nv * nv) + 2 * kt1 * nv * nh;
    *th = kt1 * (r2 + 2 * nh * nh) + 2 * kt0 * nv * nh;
}

TEST(OpcodeWarp, TangentialTermsMovePixelsAcrossTheRadius) {
    for (int variant = 0; variant < 4; variant++) {
        const bool withRadial = variant % 2 == 1;
        // Pixels twice as tall as wide (default scale 1 : 2): the model works
        // on a square image of twice the height, so offsets are normalised
        // by the farthest corner of that square and vertical offsets count
        // double inside the model; its vertical result is halved back.
        const double pixelScale = variant < 2 ? 1.0 : 2.0;
        SCOPED_TRACE(variant);
        Fixture f;
        f.negative->SetDefaultScale(dng_urational(1, 1), dng_urational(uint32_t(pixelScale), 1));
        const double kr[4] = {withRadial ? 0.97 : 1.0, withRadial ? 0.05 : 0.0, 0, 0};
        const double kt0 = withRadial ? 0.012 : 0.03, kt1 = withRadial ? 0.02 : -0.025;
        dng_vector radial[4], tangential[4];
        radial[0] = dng_vector(4);
        tangential[0] = dng_vector(2);
        for (int i = 0; i < 4; i++) radial[0][i] = kr[i];
        tangential[0][0] = kt0;
        tangential[0][1] = kt1;
        dng_warp_params_rectilinear params(1, radial, tangential, dng_point_real64(0.5, 0.375));
        dng_opcode_WarpRectilinear op(params, 0);
        auto image = WarpRamps(f);
        op.Apply(f.host, *f.negative, image);

        // The square's centre (48 pixel scale, 48) to its corner (96 pixel
        // scale, 128).
        const double radius = std::hypot(48.0 * pixelScale, 128.0 - 48.0);
        ExpectWarpedRamps(*image, [&](double dv, double dh, double* sv, double* sh) {
            const double nv = dv / radius, nh = dh / radius;
            const double mv = nv * pixelScale, r2 = mv * mv + nh * nh;
            const double ratio = kr[0] + r2 * (kr[1] + r2 * (kr[2] + r2 * kr[3]));
            double tv, th;
            TangentialShift(kt0, kt1, mv, nh, &tv, &th);
            *sv = (nv * ratio + tv / pixelScale) * radius;
            *sh = (nh * ratio + th) * radius;
        });
    }
}

// A gain-map opcode over the whole image with the given grid of gains
// (rows x cols, one plane), spacing and origin.
Bytes GainMapList(uint32_t flags, uint32_t rows, uint32_t cols, double spacingV, double spacingH,
                  double originV, double originH, const std::vector<float>& gains,
                  uint32_t rowPitch = 1, uint32_t planes = 1) {
    Bytes b;
    b.u32(1).op(9, flags).u32(76 + 4 * uint32_t(gains.size()));
    b.area(0, 0, 0, 0, 0, 1, 1, 1);
    if (rowPitch != 1) {
        b.data.resize(b.data.size() - 32);
        b.area(0, 0, 1000, 1000, 0, planes, rowPitch, 1);
    } else if (planes != 1) {
        b.data.resize(b.data.size() - 32);
        b.area(0, 0, 0, 0, 0, planes, 1, 1);
    }
    b.u32(rows).u32(cols).f64(spacingV).f64(spacingH).f64(originV).f64(originH).u32(1);
    for (float g : gains) b.f32(g);
    return b;
}

TEST(OpcodeGainMap, SinglePointMapsScaleEverySampleAndClip) {
    Fixture f;
    auto image = f.Image16(4, 6, 1, 10000);
    Set(*image, 0, 0, 49151);  // 0.75 of full scale
    dng_opcode_list list(1);
    // One point: spacing and origin are ignored.
    f.Parse(list, GainMapList(0, 1, 1, -5, 0, 7, 7, {2.0f}));
    list.Apply(f.host, *f.negative, image);
    EXPECT_EQ(At(*image, 0, 0), 65535);
    EXPECT_EQ(At(*image, 3, 5), 20000);
    std::unique_ptr<dng_memory_block> spooled = list.Spool(f.host);
    EXPECT_EQ(spooled->LogicalSize(), 4u + 16 + 80);
}

TEST(OpcodeGainMap, InterpolatesBetweenColumnsAndHoldsBeyondThem) {
    Fixture f;
    auto image = f.Image16(1, 10, 1, 10000);
    dng_opcode_list list(1);
    // Grid columns at x = 0.25 and 0.75 of the width with gains 1 and 2.
    f.Parse(list, GainMapList(0, 1, 2, 1, 0.5, 0, 0.25, {1.0f, 2.0f}));
    list.Apply(f.host, *f.negative, image);
    // Pixel centres at (c + 0.5) / 10: columns 0..1 hold gain 1, 8..9 gain 2.
    EXPECT_EQ(At(*image, 0, 0), 10000);
    EXPECT_EQ(At(*image, 0, 1), 10000);
    EXPECT_NEAR(At(*image, 0, 5), 10000 * (1 + (0.55 - 0.25) / 0.5), 2);
    EXPECT_EQ(At(*image, 0, 9), 20000);
}

TEST(OpcodeGainMap, BlackLevelIsHeldOutAfterStageOne) {
    Fixture f;
    f.negative->SetStage3BlackLevel(1000);
    const Bytes gain = GainMapList(0, 1, 1, 1, 1, 0, 0, {2.0f});
    for (uint32_t stage : {1u, 2u}) {
        auto image = f.Image16(2, 2, 1, 3000);
        dng_opcode_list list(stage);
        f.Parse(list, gain);
        list.Apply(f.host, *f.negative, image);
        // Stage 1 doubles the code; later stages double what lies above black.
        EXPECT_NEAR(At(*image, 0, 0), stage == 1 ? 6000 : 5000, 1) << stage;
    }
}

TEST(OpcodeGainMap, DegenerateMapsAreRefused) {
    Fixture f;
    dng_opcode_list list(1);
    EXPECT_EQ(ErrorOf([&] {
                  f.Parse(list, GainMapList(0, 2, 2, 0, 1, 0, 0, {1, 1, 1, 1}));
              }),
              dng_error_bad_format);
    Bytes lying = GainMapList(0, 1, 1, 1, 1, 0, 0, {1.0f});
    lying.data[19] = 84;  // byte count 84 for an 80-byte block
    lying.f32(1.0f);
    EXPECT_EQ(ErrorOf([&] { f.Parse(list, lying); }), dng_error_bad_format);
}

TEST(OpcodeBadPixels, ConstantMarkedPixelsTakeTheirNeighboursAverage) {
    Fixture f;
    auto image = f.Image16(8, 8, 1, 100);
    // Phase 0: (r + c) even is green.
    Set(*image, 2, 2, 100);
    Set(*image, 1, 1, 200);
    Set(*image, 3, 3, 0);  // green site marked bad; diagonals 100 except (2,2)
    Set(*image, 4, 3, 0);  // red/blue site; axial neighbours at distance 2
    Set(*image, 2, 3, 300);
    Set(*image, 6, 3, 500);
    dng_opcode_FixBadPixelsConstant op(0, 0);
    op.Apply(f.host, *f.negative, image);
    EXPECT_EQ(At(*image, 3, 3), 100);
    // (300 + 500 + 100 + 100 + 2) / 4
    EXPECT_EQ(At(*image, 4, 3), 250);
    EXPECT_EQ(At(*image, 1, 1), 200);

    auto untouched = f.Image16(4, 4, 1, 7);
    dng_opcode_FixBadPixelsConstant none(12345, 1);
    none.Apply(f.host, *f.negative, untouched);
    EXPECT_EQ(At(*untouched, 2, 2), 7);

    auto twoPlanes = f.Image16(4, 4, 2, 0);
    EXPECT_EQ(ErrorOf([&] { none.Apply(f.host, *f.negative, twoPlanes); }), dng_error_bad_format);
}

std::unique_ptr<dng_opcode_FixBadPixelsList> BadList(std::vector<dng_point> points,
                                                     std::vector<dng_rect> rects) {
    auto list = std::make_unique<dng_bad_pixel_list>();
    for (const dng_point& p : points) list->AddPoint(p);
    for (const dng_rect& r : rects) list->AddRect(r);
    return std::make_unique<dng_opcode_FixBadPixelsList>(std::move(list), 0);
}

TEST(OpcodeBadPixels, ListedPointsFollowTheFlattestDirection) {
    Fixture f;
    // Flat surroundings: every direction agrees.
    auto flat = f.Image16(12, 12, 1, 800);
    Set(*flat, 6, 6, 60000);
    BadList({{6, 6}}, {})->Apply(f.host, *f.negative, flat);
    EXPECT_EQ(At(*flat, 6, 6), 800);

    // A vertical edge between columns 5 and 6 (red/blue site at (6, 5)):
    // only the vertical direction is flat.
    auto edge = f.Image16(12, 12, 1, 0);
    for (int32_t r = 0; r < 12; r++)
        for (int32_t c = 0; c < 12; c++) Set(*edge, r, c, c <= 5 ? 1000 : 9000);
    Set(*edge, 6, 5, 0);
    BadList({{6, 5}}, {})->Apply(f.host, *f.negative, edge);
    EXPECT_EQ(At(*edge, 6, 5), 1000);

    // Two points two pixels apart are clustered: the nearest valid ring is used.
    auto pair = f.Image16(12, 12, 1, 500);
    Set(*pair, 5, 5, 1);
    Set(*pair, 5, 7, 1);
    BadList({{5, 5}, {5, 7}}, {})->Apply(f.host, *f.negative, pair);
    EXPECT_EQ(At(*pair, 5, 5), 500);
    EXPECT_EQ(At(*pair, 5, 7), 500);
}

TEST(OpcodeBadPixels, ColumnsRowsAndRectanglesAreRepaired) {
    Fixture f;
    auto column = f.Image16(16, 16, 1, 2000);
    auto row = f.Image16(16, 16, 1, 2000);
    for (int32_t i = 0; i < 16; i++) {
        Set(*column, i, 7, 65535);
        Set(*row, 7, i, 65535);
    }
    BadList({}, {dng_rect(0, 7, 16, 8)})->Apply(f.host, *f.negative, column);
    BadList({}, {dng_rect(7, 0, 8, 16)})->Apply(f.host, *f.negative, row);
    for (int32_t i = 0; i < 16; i++) {
        EXPECT_EQ(At(*column, i, 7), 2000) << i;
        EXPECT_EQ(At(*row, 7, i), 2000) << i;
    }

    auto block = f.Image16(16, 16, 1, 300);
    for (int32_t r = 4; r < 7; r++)
        for (int32_t c = 4; c < 7; c++) Set(*block, r, c, 9);
    BadList({}, {dng_rect(4, 4, 7, 7)})->Apply(f.host, *f.negative, block);
    EXPECT_EQ(At(*block, 5, 5), 300);

    // Written back in sorted order, byte for byte what a reader expects.
    dng_opcode_list list(1);
    list.Append(BadList({{9, 1}, {2, 3}}, {dng_rect(4, 4, 7, 7)}));
    std::unique_ptr<dng_memory_block> spooled = list.Spool(f.host);
    dng_opcode_list back(1);
    dng_stream s(spooled->Buffer(), spooled->LogicalSize());
    back.Parse(f.host, s, spooled->LogicalSize(), 0);
    const auto& op = dynamic_cast<const dng_opcode_FixBadPixelsList&>(back.Entry(0));
    ASSERT_EQ(op.List().PointCount(), 2u);
    EXPECT_EQ(op.List().Point(0), dng_point(2, 3));
    EXPECT_EQ(op.List().RectCount(), 1u);
}

// A bad column (rows 4 to 4 + n - 1 of column 7) in an (n + 8) x 16 mosaic
// drawn from f(row, column), or the same data transposed with a bad row;
// gives the repaired samples in order along the defect.
template <typename F>
std::vector<int32_t> RepairLine(bool asRow, F f, int32_t n = 8) {
    Fixture fx;
    const int32_t rows = asRow ? 16 : n + 8, cols = asRow ? n + 8 : 16;
    auto image = fx.Image16(uint32_t(rows), uint32_t(cols), 1, 0);
    for (int32_t r = 0; r < rows; r++)
        for (int32_t c = 0; c < cols; c++) Set(*image, r, c, uint16_t(asRow ? f(c, r) : f(r, c)));
    for (int32_t i = 4; i < 4 + n; i++) Set(*image, asRow ? 7 : i, asRow ? i : 7, 65535);
    const dng_rect defect = asRow ? dng_rect(7, 4, 8, 4 + n) : dng_rect(4, 7, 4 + n, 8);
    BadList({}, {defect})->Apply(fx.host, *fx.negative, image);
    std::vector<int32_t> out;
    for (int32_t i = 4; i < 4 + n; i++) out.push_back(At(*image, asRow ? 7 : i, asRow ? i : 7));
    return out;
}

TEST(OpcodeBadPixels, BadColumnsAndRowsFollowRampsAndEdges) {
    using Line = std::vector<int32_t>;
    for (bool asRow : {false, true}) {
        SCOPED_TRACE(asRow ? "bad row" : "bad column");
        // A ramp across the defect: every direction's estimate is a pair
        // placed symmetrically about the defect, and the green correction
        // k is 0, so each sample gets the ramp's own value.
        EXPECT_EQ(RepairLine(asRow, [](int32_t, int32_t c) { return 1000 + 300 * c; }),
                  Line(8, 3100));

        // A hard diagonal edge: only the direction along it is flat, so a
        // sample near it takes the value of its own side (row 7 lies on it).
        // Green sites two rows away (5 and 11) see the edge in their
        // correction, k = (16 -+ 4010) >> 5 = -125 and +125, and their four
        // diagonal neighbours, all on one side, hold them at that side's
        // value plus k.
        EXPECT_EQ(RepairLine(asRow, [](int32_t r, int32_t c) { return r - c > 0 ? 5010 : 1000; }),
                  (Line{1000, 875, 1000, 1000, 5010, 5010, 5010, 5135}));

        // A valley 10000 + 200 (c - 7)^2. Green sites (odd rows): k = (16 -
        // 32 * 200) >> 5 = -200 moves the diagonal neighbours' 10200 down to
        // the valley floor, and the result is held there. Red and blue sites
        // are held to P(0, -2) = P(0, +2) = 10800.
        EXPECT_EQ(
            RepairLine(asRow, [](int32_t, int32_t c) { return 10000 + 200 * (c - 7) * (c - 7); }),
            (Line{10800, 10000, 10800, 10000, 10800, 10000, 10800, 10000}));

        // A ramp whose slope grows with the row, 20000 + 400 c + 15 r c.
        // Row 4 (red/blue) by hand: the steep rising direction has the
        // smallest gradient, 3500; rising (4970) is within 1.5 times it,
        // horizontal (7360) and falling (7910) are not: (46320 + 46200 + 2)
        // / 4 = 23130. Row 5 (green): steep rising alone (1600; the next is
        // rising at 5920), 46560 / 2.
        EXPECT_EQ(
            RepairLine(asRow, [](int32_t r, int32_t c) { return 20000 + 400 * c + 15 * r * c; }),
            (Line{23130, 23280, 23340, 23490, 23550, 23700, 23760, 23910}));

        // Texture, worked through the direction tables one sample at a time.
        // Row 4 (red/blue): shallow falling 6002, horizontal 5387 and steep
        // rising 7826 lie within 8080 of the smallest gradient; their
        // estimates average to (132737 + 3) / 6 = 22123, which is raised to
        // the smaller of P(0, -2) and P(0, +2), 23110. Row 9 (green, k =
        // -1500) averages four directions to 20478.
        const auto texture = [](int32_t r, int32_t c) {
            return 20000 + (r * 7919 + c * 104729 + r * c * 31) % 4001;
        };
        EXPECT_EQ(RepairLine(asRow, texture, 32),
                  (Line{23110, 23044, 23502, 21640, 22240, 20478, 20285, 20394, 20677, 20483, 21069,
                        20774, 21461, 20946, 21456, 21402, 21600, 21983, 21930, 21887, 22198, 22288,
                        21386, 22241, 21530, 21579, 21187, 21698, 21455, 21902, 21723, 22766}));
    }
}

TEST(OpcodeVignette, GainTableAndApplication) {
    Fixture f;
    dng_opcode_FixVignetteRadial zero(dng_vignette_radial_params(), 0);
    EXPECT_TRUE(zero.IsNOP());

    dng_vignette_radial_params params({1, 0, 0, 0, 0}, dng_point_real64(0.5, 0.5));
    dng_opcode_list list(3);
    list.Append(std::make_unique<dng_opcode_FixVignetteRadial>(params, 0));
    auto image = f.Image16(101, 101, 1, 10000);
    list.Apply(f.host, *f.negative, image);
    const auto& op = dynamic_cast<const dng_opcode_FixVignetteRadial&>(list.Entry(0));
    // Gain 2 at the corner: 2^15 * 2 exceeds 16 bits, so 14 fraction bits.
    EXPECT_EQ(op.TableOutputBits(), 14u);
    EXPECT_EQ(op.GainTable()[0], 1 << 14);
    EXPECT_EQ(op.GainTable()[65536], 1 << 15);
    EXPECT_NEAR(At(*image, 50, 50), 10000, 2);
    EXPECT_NEAR(At(*image, 0, 0), 20000, 300);   // r^2 close to 1 at the corner pixel
    EXPECT_NEAR(At(*image, 50, 0), 15000, 200);  // r^2 = 1/2 at an edge midpoint

    dng_opcode_list read(1);
    Bytes b;
    b.u32(1).op(3).u32(56);
    for (double v : {0.0, 0.0, 0.0, 0.0, 0.5, 1.5, 0.5}) b.f64(v);
    EXPECT_EQ(ErrorOf([&] { f.Parse(read, b); }), dng_error_bad_format);  // centre outside
}

// A filter opcode that inverts samples inside a part of the image.
class InvertPart : public dng_filter_opcode {
public:
    explicit InvertPart(const dng_rect& part)
        : dng_filter_opcode(200, 0x01030000, 0), fPart(part) {}
    dng_rect ModifiedBounds(const dng_rect& bounds) override { return fPart & bounds; }
    void ProcessArea(dng_negative&, uint32, dng_pixel_buffer& src, dng_pixel_buffer& dst,
                     const dng_rect& area, const dng_rect&) override {
        for (int32_t r = area.t; r < area.b; r++)
            for (int32_t c = area.l; c < area.r; c++)
                *dst.DirtyPixel_uint16(r, c) = uint16_t(65535 - *src.ConstPixel_uint16(r, c));
    }

private:
    dng_rect fPart;
};

TEST(OpcodeFilter, PixelsOutsideTheModifiedPartKeepTheirValues) {
    Fixture f;
    auto image = f.Image16(6, 6, 1, 100);
    InvertPart op(dng_rect(2, 2, 4, 4));
    op.Apply(f.host, *f.negative, image);
    EXPECT_EQ(At(*image, 0, 0), 100);
    EXPECT_EQ(At(*image, 5, 5), 100);
    EXPECT_EQ(At(*image, 2, 3), 65435);
}

}  // namespace
