#include <gtest/gtest.h>

#include <cstring>
#include <thread>
#include <vector>

#include "dng/core/dng_date_time.h"
#include "dng/core/dng_exception.h"
#include "dng/core/dng_matrix.h"
#include "dng/core/dng_memory_allocator.h"
#include "dng/core/dng_memory_stream.h"
#include "dng/core/dng_mutex.h"
#include "dng/core/dng_parse_utils.h"
#include "dng/core/dng_string.h"
#include "dng/core/dng_tag_types.h"

namespace {

dng_stream* Over(const std::vector<uint8>& bytes) {
    return new dng_stream(bytes.data(), static_cast<uint32>(bytes.size()));
}

std::vector<uint8> Bytes(const char* text, size_t n) { return std::vector<uint8>(text, text + n); }

TEST(ParseUtils, Checks) {
    EXPECT_TRUE(CheckTagCount(0, 0, 3, 3, 0));
    EXPECT_FALSE(CheckTagCount(0, 0, 4, 3, 0));
    EXPECT_TRUE(CheckTagCount(0, 0, 4, 3, 5));
    EXPECT_FALSE(CheckTagCount(0, 0, 2, 3, 5));
    EXPECT_TRUE(CheckTagType(0, 0, ttShort, ttByte, ttShort));
    EXPECT_FALSE(CheckTagType(0, 0, 0, ttByte));
    EXPECT_FALSE(CheckTagType(0, 0, ttLong, ttByte, ttShort));
    EXPECT_TRUE(CheckRawIFD(0, 0, 34892));
    EXPECT_FALSE(CheckCFA(0, 0, 34892));
    EXPECT_TRUE(CheckColorImage(0, 0, 3));
    EXPECT_FALSE(CheckMainIFD(0, 0, 1));
}

TEST(ParseUtils, StringTags) {
    const auto bytes = Bytes("Make  ", 6);
    std::unique_ptr<dng_stream> s(Over(bytes));
    dng_string out;
    ParseStringTag(*s, 0, 0, 6, out);
    EXPECT_STREQ(out.Get(), "Make");

    const auto dual = Bytes("A\0B\0\0\0", 6);
    s.reset(Over(dual));
    dng_string a, b;
    ParseDualStringTag(*s, 0, 0, 6, a, b);
    EXPECT_STREQ(a.Get(), "A");
    EXPECT_STREQ(b.Get(), "B");
    const auto single = Bytes("AB\0", 3);
    s.reset(Over(single));
    ParseDualStringTag(*s, 0, 0, 3, a, b);
    EXPECT_STREQ(a.Get(), "AB");
    EXPECT_TRUE(b.IsEmpty());

    // A count beyond the data fails before anything is allocated.
    s.reset(Over(single));
    try {
        ParseStringTag(*s, 0, 0, 0xFFFFFFF0u, out);
        FAIL();
    } catch (const dng_exception& e) {
        EXPECT_EQ(e.ErrorCode(), dng_error_end_of_file);
    }
}

TEST(ParseUtils, EncodedStringTags) {
    dng_string out;
    const auto undefinedCode = Bytes("\0\0\0\0\0\0\0\0Caf\xE9", 12);
    std::unique_ptr<dng_stream> s(Over(undefinedCode));
    ParseEncodedStringTag(*s, 0, 0, 12, out);
    EXPECT_TRUE(out.IsEmpty());

    const auto blanks = Bytes("ASCII\0\0\0    ", 12);
    s.reset(Over(blanks));
    ParseEncodedStringTag(*s, 0, 0, 12, out);
    EXPECT_TRUE(out.IsEmpty());

    const auto ascii = Bytes("ascii\0\0\0hi", 10);
    s.reset(Over(ascii));
    ParseEncodedStringTag(*s, 0, 0, 10, out);
    EXPECT_STREQ(out.Get(), "hi");

    const auto unicode = Bytes("UNICODE\0\0h\0\xE9", 13);
    s.reset(Over(unicode));
    s->SetBigEndian();
    ParseEncodedStringTag(*s, 0, 0, 13, out);
    EXPECT_STREQ(out.Get(), "h\xC3\xA9");

    const auto shortTag = Bytes("ASCII", 5);
    s.reset(Over(shortTag));
    out.Set("x");
    ParseEncodedStringTag(*s, 0, 0, 5, out);
    EXPECT_TRUE(out.IsEmpty());
}

TEST(ParseUtils, MatrixVectorAndDateTags) {
    dng_memory_stream m(gDefaultDNGMemoryAllocator);
    for (int i = 1; i <= 6; i++) {
        m.PutUInt32(static_cast<uint32>(i));
        m.PutUInt32(2);
    }
    m.Flush();
    m.SetReadPosition(0);
    dng_matrix mat;
    EXPECT_FALSE(ParseMatrixTag(m, 0, 0, ttSRational, 5, 2, 3, mat));
    ASSERT_TRUE(ParseMatrixTag(m, 0, 0, ttSRational, 6, 2, 3, mat));
    EXPECT_EQ(mat.Rows(), 2u);
    EXPECT_DOUBLE_EQ(mat[1][2], 3.0);
    m.SetReadPosition(0);
    dng_vector v;
    ASSERT_TRUE(ParseVectorTag(m, 0, 0, ttRational, 3, 3, v));
    EXPECT_DOUBLE_EQ(v[2], 1.5);

    dng_date_time dt;
    const auto blank = std::vector<uint8>(20, ' ');
    std::unique_ptr<dng_stream> s(Over(blank));
    EXPECT_TRUE(ParseDateTimeTag(*s, 0, 0, ttAscii, 20, dt));
    EXPECT_EQ(dt, dng_date_time());
    const auto bad = Bytes("2024:13:01 00:00:00", 20);
    s.reset(Over(bad));
    EXPECT_FALSE(ParseDateTimeTag(*s, 0, 0, ttAscii, 20, dt));
    const auto good = Bytes("2024:12:01 10:20:30", 20);
    s.reset(Over(good));
    EXPECT_TRUE(ParseDateTimeTag(*s, 0, 0, ttAscii, 20, dt));
    EXPECT_EQ(dt, dng_date_time(2024, 12, 1, 10, 20, 30));
    s.reset(Over(good));
    EXPECT_FALSE(ParseDateTimeTag(*s, 0, 0, ttShort, 20, dt));
}

TEST(Mutex, RecursiveLockAndTimedWait) {
    dng_mutex mutex("test", 3);
    EXPECT_STREQ(mutex.Name(), "test");
    dng_mutex unnamed;
    EXPECT_STREQ(unnamed.Name(), "< unknown >");
    dng_condition condition;
    {
        dng_lock_mutex outer(&mutex);
        {
            dng_lock_mutex inner(&mutex);  // The owner may lock again.
        }
        EXPECT_FALSE(condition.Wait(mutex, 0.0));
        EXPECT_FALSE(condition.Wait(mutex, 0.01));
    }
    bool ready = false;
    std::thread signaller([&] {
        dng_lock_mutex lock(&mutex);
        ready = true;
        condition.Broadcast();
    });
    {
        dng_lock_mutex lock(&mutex);
        while (!ready) condition.Wait(mutex, 5.0);
    }
    signaller.join();
    dng_lock_mutex none(nullptr);
    dng_time_spec spec;
    EXPECT_EQ(GetCurrentTimeSpec(&spec), 0);
    EXPECT_GT(spec.tv_sec, 0);
    EXPECT_EQ(GetCurrentTimeSpec(nullptr), -1);
}

}  // namespace
