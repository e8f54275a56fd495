#include <gtest/gtest.h>

#include <cstring>
#include <numeric>
#include <vector>

#include "dng/core/dng_abort_sniffer.h"
#include "dng/core/dng_exception.h"
#include "dng/core/dng_file_stream.h"
#include "dng/core/dng_memory_allocator.h"
#include "dng/core/dng_memory_stream.h"
#include "dng/core/dng_tag_types.h"
#include "support/DngErrorCode.h"
#include "support/TestSupport.h"

namespace {

using testsupport::CodeOf;

// A vector-backed stream that records every back-end transfer.
class RecordingStream : public dng_stream {
public:
    struct Transfer {
        uint64 offset;
        uint32 count;
    };
    std::vector<uint8> medium;
    std::vector<Transfer> reads, writes;

    RecordingStream() : dng_stream(static_cast<dng_abort_sniffer*>(nullptr), 8192) {}

    using dng_stream::BufferDirty;
    using dng_stream::BufferEnd;
    using dng_stream::BufferLimit;
    using dng_stream::BufferStart;

protected:
    uint64 BackEndLength() override { return medium.size(); }
    void BackEndRead(void* data, uint32 count, uint64 offset) override {
        reads.push_back({offset, count});
        ASSERT_LE(offset + count, medium.size());
        std::memcpy(data, medium.data() + offset, count);
    }
    void BackEndSetLength(uint64 length) override { medium.resize(length); }
    void BackEndWrite(const void* data, uint32 count, uint64 offset) override {
        writes.push_back({offset, count});
        if (medium.size() < offset + count) medium.resize(offset + count);
        std::memcpy(medium.data() + offset, data, count);
    }
};

std::vector<uint8> Pattern(size_t n) {
    std::vector<uint8> v(n);
    for (size_t i = 0; i < n; i++) v[i] = static_cast<uint8>(i * 7 + (i >> 8));
    return v;
}

TEST(Stream, LargeWriteGoesStraightToBackEndUpToBlockBoundary) {
    RecordingStream s;
    const std::vector<uint8> data = Pattern(10000);
    s.SetWritePosition(100);
    s.WriteBytes(data.data(), 10000);
    ASSERT_EQ(s.writes.size(), 1u);
    EXPECT_EQ(s.writes[0].offset, 100u);
    EXPECT_EQ(s.writes[0].count, 8092u);
    EXPECT_TRUE(s.BufferDirty());
    EXPECT_EQ(s.BufferStart(), 8192u);
    EXPECT_EQ(s.BufferEnd(), 10100u);
    EXPECT_EQ(s.BufferLimit(), 16384u);
    EXPECT_EQ(s.Length(), 10100u);
    s.Flush();
    ASSERT_EQ(s.medium.size(), 10100u);
    EXPECT_EQ(0, std::memcmp(s.medium.data() + 100, data.data(), data.size()));
}

TEST(Stream, BothByteOrdersRoundTripAcrossWindowRefills) {
    for (bool big : {false, true}) {
        dng_memory_stream s(gDefaultDNGMemoryAllocator, nullptr, 1000);
        s.SetBigEndian(big);
        // Enough values to cross many 4096-byte blocks and 1000-byte pages.
        for (uint32 i = 0; i < 3000; i++) {
            s.PutUInt8(static_cast<uint8>(i));
            s.PutUInt16(static_cast<uint16>(i * 3));
            s.PutUInt32(i * 0x01020305u);
            s.PutUInt64((uint64(i) << 40) | 0x1234);
            s.PutReal32(i * 0.5f);
            s.PutReal64(i * -0.25);
        }
        s.Flush();
        EXPECT_EQ(s.Length(), 3000u * 27);
        s.SetReadPosition(0);
        for (uint32 i = 0; i < 3000; i++) {
            ASSERT_EQ(s.GetUInt8(), static_cast<uint8>(i));
            ASSERT_EQ(s.GetUInt16(), static_cast<uint16>(i * 3));
            ASSERT_EQ(s.GetUInt32(), i * 0x01020305u);
            ASSERT_EQ(s.GetUInt64(), (uint64(i) << 40) | 0x1234);
            ASSERT_EQ(s.GetReal32(), i * 0.5f);
            ASSERT_EQ(s.GetReal64(), i * -0.25);
        }
    }
}

TEST(Stream, ByteLayoutOfEachOrder) {
    const uint8 bytes[] = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08};
    dng_stream le(bytes, sizeof(bytes));
    EXPECT_EQ(le.GetUInt16(), 0x0201);
    EXPECT_EQ(le.GetUInt16(), 0x0403);
    le.SetReadPosition(0);
    EXPECT_EQ(le.GetUInt64(), 0x0807060504030201ull);
    dng_stream be(bytes, sizeof(bytes));
    be.SetBigEndian();
    EXPECT_EQ(be.GetUInt32(), 0x01020304u);
    be.SetReadPosition(0);
    EXPECT_EQ(be.GetUInt64(), 0x0102030405060708ull);

    dng_memory_stream out(gDefaultDNGMemoryAllocator);
    out.SetBigEndian();
    out.PutUInt32(0x0A0B0C0D);
    {
        TempBigEndian little(out, false);
        out.PutUInt16(0x0102);
    }
    EXPECT_TRUE(out.IsBigEndian());
    out.PutUInt16(0x0102);
    auto block = out.CopyToMemoryBlock(gDefaultDNGMemoryAllocator);
    const uint8 expect[] = {0x0A, 0x0B, 0x0C, 0x0D, 0x02, 0x01, 0x01, 0x02};
    ASSERT_EQ(block->LogicalSize(), sizeof(expect));
    EXPECT_EQ(0, std::memcmp(block->Buffer(), expect, sizeof(expect)));
}

TEST(Stream, ReadsPastTheEndFail) {
    const uint8 bytes[] = {1, 2, 3, 4};
    dng_stream s(bytes, sizeof(bytes));
    EXPECT_EQ(s.Data(), bytes);
    s.SetReadPosition(3);
    uint8 out[2] = {0, 0};
    EXPECT_EQ(CodeOf([&] { s.ReadBytes(out, 2); }), dng_error_end_of_file);
    EXPECT_EQ(out[0], 4);
    EXPECT_EQ(CodeOf([&] { s.SetReadPosition(5); }), dng_error_end_of_file);
    EXPECT_EQ(CodeOf([&] { s.GetUInt8(); }), dng_error_end_of_file);
    EXPECT_EQ(CodeOf([&] { s.WriteBytes(out, 1); }), dng_error_unknown);

    RecordingStream r;
    r.medium = Pattern(20000);
    r.SetReadPosition(19999);
    EXPECT_EQ(CodeOf([&] { r.ReadBytes(out, 2); }), dng_error_end_of_file);
    EXPECT_EQ(out[0], r.medium[19999]);
    std::vector<uint8> big(9000);
    r.SetReadPosition(12000);
    EXPECT_EQ(CodeOf([&] { r.ReadBytes(big.data(), 9000); }), dng_error_end_of_file);
}

TEST(Stream, WindowReadsAreBlockAlignedAndReused) {
    RecordingStream r;
    r.medium = Pattern(30000);
    r.SetReadPosition(5000);
    uint8 b[16];
    r.ReadBytes(b, 16);
    ASSERT_EQ(r.reads.size(), 1u);
    EXPECT_EQ(r.reads[0].offset, 4096u);
    EXPECT_EQ(r.reads[0].count, 8192u);
    r.SetReadPosition(4096);
    r.ReadBytes(b, 16);
    EXPECT_EQ(r.reads.size(), 1u);
    // Larger than the window: straight from the back end.
    std::vector<uint8> big(10000);
    r.SetReadPosition(100);
    r.ReadBytes(big.data(), 10000);
    EXPECT_EQ(0, std::memcmp(big.data(), r.medium.data() + 100, 10000));
}

TEST(Stream, OverReadAllowanceReturnsWithoutMoving) {
    RecordingStream r;
    r.medium = Pattern(9000);
    r.SetReadPosition(8990);
    uint8 out[16];
    std::memset(out, 0xAA, sizeof(out));
    r.ReadBytes(out, 16, 100);
    EXPECT_EQ(r.Position(), 8990u);
    EXPECT_EQ(out[0], 0xAA);
    // Without an allowance the same read is an error.
    EXPECT_EQ(CodeOf([&] { r.ReadBytes(out, 16); }), dng_error_end_of_file);
    // The window dropped by the early return is not served as data.
    r.SetReadPosition(8990);
    EXPECT_EQ(r.GetUInt8(), r.medium[8990]);
}

TEST(Stream, WriteAfterReadDoesNotServeStaleWindow) {
    RecordingStream r;
    r.medium = Pattern(20000);
    r.SetReadPosition(0);
    EXPECT_EQ(r.GetUInt8(), r.medium[0]);
    std::vector<uint8> zeros(12288, 0);
    r.SetWritePosition(0);
    r.WriteBytes(zeros.data(), 12288);
    r.SetReadPosition(10);
    EXPECT_EQ(r.GetUInt8(), 0);
}

TEST(Stream, SetBufferSizeAndReadAhead) {
    RecordingStream r;
    r.SetBufferSize(gDefaultDNGMemoryAllocator, 4096);
    EXPECT_EQ(r.BufferSize(), 8192u);
    r.medium = Pattern(1 << 20);
    {
        ScopedStreamReadAhead ahead(r, gDefaultDNGMemoryAllocator, 100, 300000);
        EXPECT_EQ(r.BufferSize(), 303104u);
    }
    EXPECT_EQ(r.BufferSize(), 8192u);
}

TEST(Stream, StringsZerosAndPadding) {
    const char text[] = "hello\0world";
    dng_stream s(text, sizeof(text));
    char buf[4];
    s.ReadCString(buf, 4);
    EXPECT_STREQ(buf, "hel");
    EXPECT_EQ(s.Position(), 6u);

    const uint8 units[] = {'A', 0, 'B', 1, 0, 0x33};
    dng_stream u(units, sizeof(units));
    char b16[8];
    u.ReadCString16(b16, 8);
    EXPECT_STREQ(b16, "AB");

    dng_memory_stream m(gDefaultDNGMemoryAllocator);
    m.PutUInt8(1);
    m.PadToEven();
    EXPECT_EQ(m.Position(), 2u);
    m.PutUInt8(1);
    m.PadToMultipleOf4();
    EXPECT_EQ(m.Position(), 4u);
    m.WriteZeros(5000);
    EXPECT_EQ(m.Length(), 5004u);
    m.SetReadPosition(4);
    for (int i = 0; i < 5000; i++) ASSERT_EQ(m.GetUInt8(), 0);
}

TEST(Stream, TagTypeSizes) {
    const uint32 expected[] = {0, 1, 1, 2, 4, 8, 1, 1, 2, 4, 8, 4, 8, 4, 2, 8, 0};
    for (uint32 t = 0; t <= 16; t++) EXPECT_EQ(TiffTagTypeSize(t), expected[t]) << t;
    EXPECT_EQ(TiffTagTypeSize(0xFFFFFFFF), 0u);
}

// One value of each TIFF type, written big-endian, read back through all readers.
class TagValueTest : public ::testing::Test {
protected:
    dng_memory_stream s{gDefaultDNGMemoryAllocator};
    void SetUp() override { s.SetBigEndian(); }
    void Rewind() {
        s.Flush();
        s.SetReadPosition(0);
    }
};

TEST_F(TagValueTest, UnsignedReader) {
    s.PutUInt8(200);
    s.PutUInt16(60000);
    s.PutUInt32(4000000000u);
    s.PutUInt32(7);  // IFD
    s.PutUInt32(7);  // RATIONAL 7/2
    s.PutUInt32(2);
    s.PutUInt8(0xFB);     // SBYTE -5
    s.PutUInt16(0xFFFE);  // SSHORT -2
    s.PutReal32(2.5f);
    s.PutReal64(1e12);
    Rewind();
    EXPECT_EQ(s.ReadTagValueAsUInt32(ttByte), 200u);
    EXPECT_EQ(s.ReadTagValueAsUInt32(ttShort), 60000u);
    EXPECT_EQ(s.ReadTagValueAsUInt32(ttLong), 4000000000u);
    EXPECT_EQ(s.ReadTagValueAsUInt32(ttIFD), 7u);
    EXPECT_EQ(s.ReadTagValueAsUInt32(ttRational), 4u);
    EXPECT_EQ(s.ReadTagValueAsUInt32(ttSByte), 0u);
    EXPECT_EQ(s.ReadTagValueAsUInt32(ttSShort), 0u);
    EXPECT_EQ(s.ReadTagValueAsUInt32(ttFloat), 3u);
    EXPECT_EQ(s.ReadTagValueAsUInt32(ttDouble), 4294967295u);
    const uint64 pos = s.Position();
    EXPECT_EQ(s.ReadTagValueAsUInt32(ttAscii), 0u);
    EXPECT_EQ(s.ReadTagValueAsUInt32(ttUndefined), 0u);
    EXPECT_EQ(s.ReadTagValueAsUInt32(99), 0u);
    EXPECT_EQ(s.Position(), pos);
}

TEST_F(TagValueTest, SignedAndRealReaders) {
    s.PutUInt32(0xFFFFFFFF);  // SLONG -1
    s.PutUInt16(0x8000);      // SSHORT
    s.PutUInt8(0x80);         // SBYTE
    s.PutReal64(-2.5);
    s.PutReal64(1e12);
    s.PutUInt32(0xFFFFFFFD);  // SRATIONAL -3/4
    s.PutUInt32(4);
    s.PutUInt32(1);  // RATIONAL 1/0
    s.PutUInt32(0);
    s.PutUInt16(5);  // type 14 is not read as a real
    Rewind();
    EXPECT_EQ(s.ReadTagValueAsInt32(ttSLong), -1);
    EXPECT_EQ(s.ReadTagValueAsInt32(ttSShort), -32768);
    EXPECT_EQ(s.ReadTagValueAsInt32(ttSByte), -128);
    EXPECT_EQ(s.ReadTagValueAsInt32(ttDouble), -3);
    EXPECT_EQ(s.ReadTagValueAsInt32(ttDouble), 2147483647);
    EXPECT_DOUBLE_EQ(s.ReadTagValueAsReal64(ttSRational), -0.75);
    EXPECT_EQ(s.ReadTagValueAsReal64(ttRational), 0.0);
    const uint64 pos = s.Position();
    EXPECT_EQ(s.ReadTagValueAsReal64(ttUnicode), 0.0);
    EXPECT_EQ(s.Position(), pos);
}

TEST_F(TagValueTest, RationalReaders) {
    s.PutReal32(0.5f);
    s.PutReal64(2000000.0);
    s.PutUInt32(0xFFFFFFFD);  // -3/-4
    s.PutUInt32(0xFFFFFFFC);
    s.PutUInt32(0xFFFFFFFD);  // -3/4
    s.PutUInt32(4);
    s.PutUInt16(0xFFF6);  // SSHORT -10
    s.PutReal64(0.0);
    s.PutReal64(-1.5);
    s.PutUInt8(9);
    Rewind();
    EXPECT_EQ(s.ReadTagValueAsURational(ttFloat), dng_urational(5000, 10000));
    EXPECT_EQ(s.ReadTagValueAsURational(ttDouble), dng_urational(2000000, 1));
    EXPECT_EQ(s.ReadTagValueAsURational(ttSRational), dng_urational(3, 4));
    EXPECT_EQ(s.ReadTagValueAsURational(ttSRational), dng_urational(0, 1));
    EXPECT_EQ(s.ReadTagValueAsURational(ttSShort), dng_urational(0, 1));
    EXPECT_EQ(s.ReadTagValueAsSRational(ttDouble), dng_srational(0, 10000));
    EXPECT_EQ(s.ReadTagValueAsSRational(ttDouble), dng_srational(-15000, 10000));
    EXPECT_EQ(s.ReadTagValueAsSRational(ttByte), dng_srational(90000, 10000));
}

TEST(MemoryStream, PagesGrowAndShrinkingKeepsThem) {
    dng_memory_stream m(gDefaultDNGMemoryAllocator, nullptr, 65536);
    const std::vector<uint8> data = Pattern(70000);
    m.WriteBytes(data.data(), 70000);
    m.Flush();
    EXPECT_EQ(m.PageCount(), 2u);
    m.SetLength(10);
    EXPECT_EQ(m.PageCount(), 2u);
    m.SetReadPosition(8);
    uint8 b[4];
    EXPECT_EQ(CodeOf([&] { m.ReadBytes(b, 4); }), dng_error_end_of_file);

    dng_memory_stream limited(gDefaultDNGMemoryAllocator, nullptr, 2048);
    limited.SetLengthLimit(4096);
    limited.WriteBytes(data.data(), 4096);
    limited.Flush();
    EXPECT_EQ(CodeOf([&] {
                  limited.PutUInt8(1);
                  limited.Flush();
              }),
              dng_error_end_of_file);
}

TEST(MemoryStream, GapsAndRegrownBytesReadAsZeros) {
    dng_memory_stream m(gDefaultDNGMemoryAllocator, nullptr, 4096);
    const std::vector<uint8> data = Pattern(100);
    m.SetWritePosition(20000);
    m.WriteBytes(data.data(), 100);
    m.Flush();
    m.SetReadPosition(0);
    std::vector<uint8> gap(20000);
    m.ReadBytes(gap.data(), 20000);
    EXPECT_EQ(gap, std::vector<uint8>(20000, 0));
    m.SetLength(20010);
    m.SetLength(20100);
    m.SetReadPosition(20010);
    for (int i = 0; i < 90; i++) ASSERT_EQ(m.GetUInt8(), 0);
}

TEST(MemoryStream, CopiesAcrossPageBoundaries) {
    const std::vector<uint8> data = Pattern(200000);
    dng_memory_stream src(gDefaultDNGMemoryAllocator, nullptr, 2048);
    src.WriteBytes(data.data(), 200000);
    dng_memory_stream dst(gDefaultDNGMemoryAllocator, nullptr, 3000);
    src.CopyWholeStreamTo(dst);
    EXPECT_EQ(dst.Length(), 200000u);
    std::vector<uint8> back(200000);
    dst.SetReadPosition(0);
    dst.ReadBytes(back.data(), 200000);
    EXPECT_EQ(back, data);

    dng_memory_stream part(gDefaultDNGMemoryAllocator);
    src.SetReadPosition(1000);
    src.CopyBytesTo(part, 70000);
    EXPECT_EQ(src.Position(), 71000u);
    part.SetReadPosition(0);
    std::vector<uint8> p(70000);
    part.ReadBytes(p.data(), 70000);
    EXPECT_EQ(0, std::memcmp(p.data(), data.data() + 1000, 70000));
}

class CountingSniffer : public dng_abort_sniffer {
public:
    int calls = 0;
    int abortAfter = -1;

protected:
    void Sniff() override {
        if (++calls == abortAfter) ThrowUserCanceled();
    }
};

TEST(Stream, SnifferIsAskedBeforeBackEndTransfers) {
    CountingSniffer sniffer;
    sniffer.abortAfter = 2;
    dng_memory_stream m(gDefaultDNGMemoryAllocator, &sniffer);
    const std::vector<uint8> data = Pattern(30000);
    EXPECT_EQ(CodeOf([&] {
                  m.WriteBytes(data.data(), 30000);
                  m.Flush();
              }),
              dng_error_user_canceled);
    EXPECT_EQ(sniffer.calls, 2);
    {
        ScopedStreamSniffer none(m, nullptr);
        EXPECT_EQ(m.Sniffer(), nullptr);
    }
    EXPECT_EQ(m.Sniffer(), &sniffer);
}

TEST(FileStream, WritesFlushOnDestructionAndReadsBack) {
    testsupport::ScratchDir dir;
    const std::string path = (dir.path() / "stream.bin").string();
    const std::vector<uint8> data = Pattern(100000);
    {
        dng_file_stream out(path.c_str(), true);
        out.SetBigEndian();
        out.PutUInt32(0xDEADBEEF);
        out.WriteBytes(data.data(), 100000);
    }
    dng_file_stream in(path.c_str());
    in.SetBigEndian();
    EXPECT_EQ(in.Length(), 100004u);
    EXPECT_EQ(in.GetUInt32(), 0xDEADBEEFu);
    std::vector<uint8> back(100000);
    in.ReadBytes(back.data(), 100000);
    EXPECT_EQ(back, data);
    EXPECT_EQ(CodeOf([&] { in.GetUInt8(); }), dng_error_end_of_file);
    EXPECT_EQ(CodeOf([&] { dng_file_stream missing((dir.path() / "no/such").c_str()); }),
              dng_error_open_file);
}

}  // namespace
