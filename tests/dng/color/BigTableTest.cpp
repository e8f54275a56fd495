// Big tables: the base-85 text form, the look-table and RGB-table stream
// versions and limits, decoding limits, and the shared, reference-counted
// caches with their five recent tables.
#include <gtest/gtest.h>
#include <zlib.h>

#include <array>
#include <cstring>

#include "dng/color/dng_big_table.h"
#include "dng/core/dng_memory_allocator.h"
#include "dng/core/dng_memory_stream.h"
#include "support/DngErrorCode.h"

namespace {

dng_hue_sat_map Map(uint32 hues, uint32 sats, uint32 vals, float seed) {
    dng_hue_sat_map map;
    map.SetDivisions(hues, sats, vals);
    auto* d = map.SafeGetDeltas();
    for (uint32 i = 0; i < hues * sats * vals; ++i)
        d[i] = {seed + float(i), 1.0f + 0.01f * float(i % 7), 1.0f};
    return map;
}

std::vector<uint8> LookStream(uint32 hues, uint32 sats, uint32 vals) {
    dng_memory_stream s(gDefaultDNGMemoryAllocator);
    for (uint32 v : {0u, 1u, hues, sats, vals}) s.PutUInt32(v);
    for (uint64 i = 0; i < uint64(hues) * sats * vals * 3; ++i) s.PutReal32(1.0f);
    s.PutUInt32(0);
    s.Flush();
    std::vector<uint8> bytes(static_cast<size_t>(s.Length()));
    s.SetReadPosition(0);
    s.ReadBytes(bytes.data(), uint32(bytes.size()));
    return bytes;
}

uint32 StreamLength(const dng_big_table& t) {
    dng_memory_stream s(gDefaultDNGMemoryAllocator);
    t.PutStream(s, false);
    s.Flush();
    return uint32(s.Length());
}

}  // namespace

TEST(BigTable, Base85TextForm) {
    const uint8 zeros[4] = {0, 0, 0, 0};
    EXPECT_EQ(dng_big_table::Base85Encode(zeros, 4), "00000");
    const uint8 one[1] = {1};
    EXPECT_EQ(dng_big_table::Base85Encode(one, 1), "10");
    std::vector<uint8> bytes(1003);
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = uint8(i * 151 + 7);
    std::string text = dng_big_table::Base85Encode(bytes.data(), uint32(bytes.size()));
    text.insert(10, " \n");
    text.insert(300, "\r\n\t ");
    EXPECT_EQ(dng_big_table::Base85Decode(text), bytes);
    EXPECT_TRUE(dng_big_table::Base85Decode("7").empty());
}

TEST(BigTable, LookTableVersionsRoundTripAndLimits) {
    dng_look_table table;
    table.Set(Map(6, 3, 2, 0.5f), 1);
    ASSERT_TRUE(table.IsValid());
    ASSERT_FALSE(table.Fingerprint().IsNull());
    const uint32 v1 = StreamLength(table);
    EXPECT_EQ(v1, 4 * 5 + 36 * 12 + 4);
    table.SetAmountRange(0.5, 2.0);
    EXPECT_EQ(StreamLength(table), v1 + 16);

    const std::string text = table.EncodeAsString(gDefaultDNGMemoryAllocator);
    dng_look_table back;
    ASSERT_TRUE(back.DecodeFromString(text, gDefaultDNGMemoryAllocator));
    EXPECT_EQ(back.Fingerprint(), table.Fingerprint());
    EXPECT_EQ(back.Table(), table.Table());
    EXPECT_EQ(back.Encoding(), 1u);
    EXPECT_EQ(back.Data().fMaxAmount, 2.0);

    dng_look_table mono;
    dng_hue_sat_map grey = Map(4, 2, 1, 0.0f);
    for (uint32 i = 0; i < grey.DeltasCount(); ++i) grey.SafeGetDeltas()[i].fSatScale = 0.0f;
    mono.Set(grey, 0);
    EXPECT_TRUE(mono.IsMonochrome());
    EXPECT_FALSE(table.IsMonochrome());

    for (auto dims : {std::array<uint32, 3>{361, 2, 1}, std::array<uint32, 3>{20, 30, 40}}) {
        const auto bytes = LookStream(dims[0], dims[1], dims[2]);
        dng_stream s(bytes.data(), uint32(bytes.size()));
        dng_look_table bad;
        EXPECT_EQ(testsupport::CodeOf([&] { bad.GetStream(s); }), 100006);
    }
}

TEST(BigTable, RgbTablesRoundTripAndTheStreamLimit) {
    std::vector<uint16> samples(33 * 33 * 33 * 4);
    for (size_t i = 0; i < samples.size(); ++i) samples[i] = uint16(i * 40503u);
    dng_rgb_table big;
    big.Set(3, 33, samples);  // the setter takes up to 128
    ASSERT_FALSE(big.Fingerprint().IsNull());
    dng_memory_stream s(gDefaultDNGMemoryAllocator);
    big.PutStream(s, false);
    s.SetReadPosition(0);
    dng_rgb_table fromStream;
    EXPECT_EQ(testsupport::CodeOf([&] { fromStream.GetStream(s); }), 100006);
    EXPECT_EQ(testsupport::CodeOf([&] { big.Set(2, 8, std::vector<uint16>(32)); }), 100000);

    std::vector<uint16> line(17 * 4);
    for (uint32 k = 0; k < 17; ++k)
        for (uint32 c = 0; c < 3; ++c) line[k * 4 + c] = uint16(dng_rgb_table::Nominal(k, 17) ^ c);
    dng_rgb_table curve;
    curve.Set(1, 17, line);
    dng_rgb_table back;
    ASSERT_TRUE(back.DecodeFromString(curve.EncodeAsString(gDefaultDNGMemoryAllocator),
                                      gDefaultDNGMemoryAllocator));
    EXPECT_EQ(back.Fingerprint(), curve.Fingerprint());
    EXPECT_EQ(*back.Data().fSamples, line);
}

TEST(BigTable, BinaryFormRefusesBadLengths) {
    dng_look_table table;
    table.Set(Map(4, 2, 1, 1.0f), 0);
    uint32 size = 0;
    auto block = table.EncodeAsBinary(gDefaultDNGMemoryAllocator, size);
    std::vector<uint8> good(block->Buffer_uint8(), block->Buffer_uint8() + size);
    dng_look_table back;
    EXPECT_TRUE(back.DecodeFromBinary(good.data(), size, gDefaultDNGMemoryAllocator));
    auto withLength = [&](uint32 n) {
        std::vector<uint8> b = good;
        for (int i = 0; i < 4; ++i) b[i] = uint8(n >> (8 * i));
        dng_look_table t;
        return t.DecodeFromBinary(b.data(), uint32(b.size()), gDefaultDNGMemoryAllocator);
    };
    const uint32 real = good[0] | good[1] << 8 | good[2] << 16 | uint32(good[3]) << 24;
    EXPECT_FALSE(withLength(real + 1));
    EXPECT_FALSE(withLength(0x7FFFFFFF));
    EXPECT_FALSE(withLength(dng_big_table::kMaxBinarySize + 1));
    EXPECT_FALSE(back.DecodeFromBinary(good.data(), 4, gDefaultDNGMemoryAllocator));
}

TEST(BigTable, EqualTablesShareOneEntryAndTheRecentListHoldsFive) {
    dng_big_table_cache::FlushBoth();
    dng_big_table_cache& cache = dng_look_table::Cache();
    dng_fingerprint first;
    {
        dng_look_table a, b;
        a.Set(Map(5, 2, 1, 100.0f), 0);
        b.Set(Map(5, 2, 1, 100.0f), 0);
        first = a.Fingerprint();
        EXPECT_EQ(a.Fingerprint(), b.Fingerprint());
        // a, b and the recent list.
        EXPECT_EQ(cache.CountFor(first), 3u);
        dng_look_table c = a;
        EXPECT_EQ(cache.CountFor(first), 4u);
    }
    EXPECT_EQ(cache.CountFor(first), 1u);  // only the recent list keeps it
    dng_look_table extracted;
    EXPECT_TRUE(extracted.ExtractFromCache(first));
    EXPECT_EQ(extracted.Table(), Map(5, 2, 1, 100.0f));
    extracted = dng_look_table();
    for (int k = 1; k <= 5; ++k) {
        dng_look_table t;
        t.Set(Map(5, 2, 1, 200.0f + float(k)), 0);
    }
    // The sixth distinct table pushed the first out.
    EXPECT_EQ(cache.CountFor(first), 0u);
    dng_look_table gone;
    EXPECT_FALSE(gone.ExtractFromCache(first));
    dng_big_table_cache::FlushBoth();
}
