// Lossless JPEG: encoder/decoder round trips over shapes, depths and data
// kinds, byte stuffing, a hand-assembled stream, and malformed streams.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <vector>

#include "dng/image/CodecTestStreams.h"
#include "dng/image/dng_lossless_jpeg.h"

namespace {

using dngtest::ReadStream;

class CollectSpooler : public dng_spooler {
public:
    void Spool(const void* data, uint32_t count) override {
        const auto* p = static_cast<const uint16_t*>(data);
        samples.insert(samples.end(), p, p + count / 2);
        ++rows;
    }
    std::vector<uint16_t> samples;
    uint32_t rows = 0;
};

std::vector<uint8_t> Encode(const std::vector<uint16_t>& src, uint32_t rows, uint32_t cols,
                            uint32_t channels, uint32_t depth) {
    return dngtest::WriteToBytes([&](dng_stream& s) {
        dng_ljpeg_encode(src.data(), rows, cols, channels, depth, int32_t(cols * channels),
                         int32_t(channels), s);
    });
}

std::vector<uint16_t> Decode(const std::vector<uint8_t>& bytes, uint64_t expected,
                             uint32_t* rowsOut = nullptr) {
    ReadStream rs(bytes);
    CollectSpooler spooler;
    dng_ljpeg_decode(rs.stream(), spooler, expected, expected, false, bytes.size());
    if (rowsOut) *rowsOut = spooler.rows;
    return spooler.samples;
}

int32_t DecodeError(const std::vector<uint8_t>& bytes, uint64_t minSize = 0,
                    uint64_t maxSize = ~uint64_t(0)) {
    ReadStream rs(bytes);
    CollectSpooler spooler;
    try {
        dng_ljpeg_decode(rs.stream(), spooler, minSize, maxSize, false, bytes.size());
    } catch (const dng_exception& e) {
        return e.ErrorCode();
    }
    return 0;
}

// Offset of the first entropy-coded byte (after the SOS segment).
size_t ScanDataStart(const std::vector<uint8_t>& b) {
    for (size_t i = 0; i + 3 < b.size(); ++i) {
        if (b[i] == 0xFF && b[i + 1] == 0xDA) return i + 2 + (size_t(b[i + 2]) << 8 | b[i + 3]);
    }
    return b.size();
}

// Every 0xFF inside the entropy-coded data is followed by a stuffed 0x00.
bool StuffingIsValid(const std::vector<uint8_t>& b) {
    const size_t start = ScanDataStart(b);
    if (b.size() < start + 2) return false;
    const size_t end = b.size() - 2;  // EOI
    if (b[end] != 0xFF || b[end + 1] != 0xD9) return false;
    for (size_t i = start; i < end; ++i) {
        if (b[i] == 0xFF) {
            if (i + 1 >= end || b[i + 1] != 0x00) return false;
            ++i;
        }
    }
    return true;
}

enum class Pattern { Constant, Ramp, Noise, Alternating, Skewed };

std::vector<uint16_t> Make(Pattern p, uint32_t rows, uint32_t cols, uint32_t channels,
                           uint32_t depth, uint32_t seed) {
    const uint32_t mask = (1u << depth) - 1;
    std::vector<uint16_t> v(size_t(rows) * cols * channels);
    std::mt19937 rng(seed);
    for (size_t i = 0; i < v.size(); ++i) {
        uint32_t x = 0;
        switch (p) {
            case Pattern::Constant:
                x = 0x1234 + 77 * uint32_t(i % channels);
                break;
            case Pattern::Ramp:
                x = uint32_t(i * 37);
                break;
            case Pattern::Noise:
                x = rng();
                break;
            case Pattern::Alternating:
                x = ((i / channels) % 2) ? 65535 : 0;
                break;
            case Pattern::Skewed:
                x = (rng() % 64) == 0 ? rng() : 1000;
                break;
        }
        v[i] = uint16_t(x & mask);
    }
    return v;
}

TEST(LosslessJpeg, RoundTripIsBitExactOverShapesDepthsAndData) {
    struct Shape {
        uint32_t rows, cols;
    };
    const Shape shapes[] = {{1, 1}, {1, 37}, {29, 1}, {17, 13}, {3, 250}};
    const uint32_t depths[] = {2, 3, 7, 8, 12, 14, 15, 16};
    const Pattern patterns[] = {Pattern::Constant, Pattern::Ramp, Pattern::Noise,
                                Pattern::Alternating, Pattern::Skewed};
    uint32_t seed = 1;
    for (uint32_t channels = 1; channels <= 4; ++channels) {
        for (uint32_t depth : depths) {
            for (const Shape& s : shapes) {
                for (Pattern p : patterns) {
                    SCOPED_TRACE(testing::Message()
                                 << "channels " << channels << " depth " << depth << " shape "
                                 << s.rows << "x" << s.cols << " pattern " << int(p));
                    const auto src = Make(p, s.rows, s.cols, channels, depth, seed++);
                    const auto bytes = Encode(src, s.rows, s.cols, channels, depth);
                    ASSERT_TRUE(StuffingIsValid(bytes));
                    ASSERT_EQ(Decode(bytes, src.size() * 2), src);
                }
            }
        }
    }
}

TEST(LosslessJpeg, LargeTilesRoundTripForEveryChannelCount) {
    for (uint32_t channels = 1; channels <= 4; ++channels) {
        for (Pattern p : {Pattern::Noise, Pattern::Ramp, Pattern::Alternating}) {
            const auto src = Make(p, 256, 256, channels, 16, 99 + channels);
            const auto bytes = Encode(src, 256, 256, channels, 16);
            ASSERT_TRUE(StuffingIsValid(bytes));
            uint32_t rows = 0;
            ASSERT_EQ(Decode(bytes, src.size() * 2, &rows), src);
            EXPECT_EQ(rows, 256u);
        }
    }
}

TEST(LosslessJpeg, StridedSourceIsReadThroughItsSteps) {
    // A 3-channel tile taken as channel pairs out of a 4-channel buffer with
    // a padded row: only the described samples reach the stream.
    const uint32_t rows = 9, cols = 11, rowStep = 4 * cols + 5;
    std::vector<uint16_t> buffer(size_t(rows) * rowStep);
    for (size_t i = 0; i < buffer.size(); ++i) buffer[i] = uint16_t(i * 7919);
    const auto bytes = dngtest::WriteToBytes([&](dng_stream& s) {
        dng_ljpeg_encode(buffer.data() + 1, rows, cols, 2, 16, int32_t(rowStep), 4, s);
    });
    std::vector<uint16_t> expected;
    for (uint32_t r = 0; r < rows; ++r) {
        for (uint32_t c = 0; c < cols; ++c) {
            expected.push_back(buffer[r * rowStep + c * 4 + 1]);
            expected.push_back(buffer[r * rowStep + c * 4 + 2]);
        }
    }
    EXPECT_EQ(Decode(bytes, expected.size() * 2), expected);
}

// Counts of the first DHT segment: index 0 is the table byte, 1..16 counts.
std::vector<uint8_t> FirstTableCounts(const std::vector<uint8_t>& b) {
    for (size_t i = 0; i + 20 < b.size(); ++i) {
        if (b[i] == 0xFF && b[i + 1] == 0xC4) return {b.begin() + i + 4, b.begin() + i + 21};
    }
    return {};
}

TEST(LosslessJpeg, HeaderValuesAndOneBitCodeForConstantTile) {
    const auto src = Make(Pattern::Constant, 8, 8, 1, 12, 0);
    const auto b = Encode(src, 8, 8, 1, 12);
    const std::vector<uint8_t> head = {0xFF, 0xD8, 0xFF, 0xC3, 0x00, 11,   12, 0,
                                       8,    0,    8,    1,    0,    0x11, 0};
    ASSERT_GE(b.size(), head.size());
    EXPECT_TRUE(std::equal(head.begin(), head.end(), b.begin()));
    // Two categories are used (the first sample's and 0): two one-bit codes
    // would make "1" a code, so with the reserved point they are 1 and 2 bits.
    const auto counts = FirstTableCounts(b);
    ASSERT_EQ(counts.size(), 17u);
    EXPECT_EQ(counts[1], 1);
    EXPECT_EQ(counts[2], 1);
    const size_t sos = ScanDataStart(b) - 10;
    const std::vector<uint8_t> scan = {0xFF, 0xDA, 0, 8, 1, 0, 0x00, 1, 0, 0};
    EXPECT_TRUE(std::equal(scan.begin(), scan.end(), b.begin() + sos));
}

TEST(LosslessJpeg, FibonacciSkewFallsBackToFlatTableAndStillRoundTrips) {
    // Category k appears Fib(17 - k) times: an optimal code would need more
    // than 16 bits for the rare categories, so the encoder must use the
    // flat 17-symbol table.
    std::vector<uint32_t> fib(18);
    fib[0] = 1;
    fib[1] = 1;
    for (int i = 2; i < 18; ++i) fib[i] = fib[i - 1] + fib[i - 2];
    std::vector<uint16_t> row;
    uint16_t v = 32768;
    row.push_back(v);  // difference 0 from the initial prediction
    for (int k = 0; k <= 16; ++k) {
        const uint32_t count = fib[16 - k];
        for (uint32_t n = 0; n < count; ++n) {
            int32_t d = k == 0 ? 0 : (k == 16 ? -32768 : (1 << (k - 1)));
            v = uint16_t(v + d);
            row.push_back(v);
        }
    }
    const auto bytes = Encode(row, 1, uint32_t(row.size()), 1, 16);
    const auto counts = FirstTableCounts(bytes);
    ASSERT_EQ(counts.size(), 17u);
    uint32_t total = 0, longest = 0;
    for (int l = 1; l <= 16; ++l) {
        total += counts[l];
        if (counts[l]) longest = l;
    }
    EXPECT_EQ(total, 17u);
    EXPECT_LE(longest, 5u);
    EXPECT_TRUE(StuffingIsValid(bytes));
    EXPECT_EQ(Decode(bytes, row.size() * 2), row);
}

TEST(LosslessJpeg, DifferenceOfMinus32768IsCategory16WithoutExtraBits) {
    // Samples 32768 (first, difference 0) then 0: difference -32768.
    const std::vector<uint16_t> src = {32768, 0, 32768, 0};
    const auto bytes = Encode(src, 1, 4, 1, 16);
    EXPECT_EQ(Decode(bytes, 8), src);
}

// Predictor 4, a restart interval of two rows and a stuffed 0xFF made by the
// pad bits before the restart marker. One component, 8 bits, 2 x 4 pixels;
// every category s has the 4-bit code s.
std::vector<uint8_t> HandStream(uint8_t restartMarker) {
    std::vector<uint8_t> b = {0xFF, 0xD8,
                              // DHT: table 0, nine codes of length 4 for symbols 0..8
                              0xFF, 0xC4, 0x00, 28, 0x00, 0, 0, 0, 9, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                              0, 0, 0, 1, 2, 3, 4, 5, 6, 7, 8,
                              // SOF3: P 8, 4 rows, 2 columns, 1 component
                              0xFF, 0xC3, 0x00, 11, 8, 0, 4, 0, 2, 1, 1, 0x11, 0,
                              // DRI: 4 units = 2 rows
                              0xFF, 0xDD, 0x00, 4, 0x00, 4,
                              // SOS: predictor 4
                              0xFF, 0xDA, 0x00, 8, 1, 1, 0x00, 4, 0, 0,
                              // rows 0-1: 200 201 / 70 86
                              0x79, 0x03, 0x87, 0xD4, 0xFF, 0x00, 0xFF, restartMarker,
                              // rows 2-3: 100 103 / 102 104
                              0x51, 0x96, 0x50, 0xBF, 0xFF, 0xD9};
    return b;
}

TEST(LosslessJpeg, HandAssembledStreamWithPredictor4RestartAndStuffing) {
    const auto b = HandStream(0xD0);
    const std::vector<uint16_t> expected = {200, 201, 70, 86, 100, 103, 102, 104};
    EXPECT_EQ(Decode(b, 16), expected);
}

TEST(LosslessJpeg, SelectionValue8RowsAreIndependentAndReadAsWords) {
    // P 16, 2 x 2, one component, every row starts from 32768 with left
    // prediction. Codes: 0001 1 (+1), 0000 (0), 0001 0 (-1), 0010 10 (+2)
    // = 0x1808A000 as one 32-bit word, stored least significant byte first.
    auto b = HandStream(0xD0);
    b.resize(45);  // up to the restart interval
    b[36] = 16;    // precision
    b[38] = 2;     // two rows
    const std::vector<uint8_t> rest = {0xFF, 0xDA, 0x00, 8,    1,    1,    0x00, 8,
                                       0,    0,    0x00, 0xA0, 0x08, 0x18, 0xFF, 0xD9};
    b.insert(b.end(), rest.begin(), rest.end());
    const std::vector<uint16_t> expected = {32769, 32769, 32767, 32769};
    EXPECT_EQ(Decode(b, 8), expected);
}

TEST(LosslessJpeg, MalformedStreamsFailWithBadFormat) {
    EXPECT_EQ(DecodeError(HandStream(0xD1)), 100006) << "restart out of sequence";

    auto sof2 = HandStream(0xD0);
    sof2[33] = 0xC2;
    ASSERT_EQ(sof2[32], 0xFF);
    EXPECT_EQ(DecodeError(sof2), 100006) << "progressive frame";

    auto noPredictor = HandStream(0xD0);
    ASSERT_EQ(noPredictor[52], 0xDA);
    noPredictor[58] = 0;  // Ss = 0: a DCT scan
    EXPECT_EQ(DecodeError(noPredictor), 100006);

    auto predictor9 = HandStream(0xD0);
    predictor9[58] = 9;
    EXPECT_EQ(DecodeError(predictor9), 100006);

    auto notJpeg = HandStream(0xD0);
    notJpeg[1] = 0xD9;
    EXPECT_EQ(DecodeError(notJpeg), 100006);

    EXPECT_EQ(DecodeError(HandStream(0xD0), 18, 100), 100006) << "size below the minimum";
    EXPECT_EQ(DecodeError(HandStream(0xD0), 0, 14), 100006) << "size above the maximum";

    // A bit pattern that matches no code of the table (all ones).
    auto corrupt = HandStream(0xD0);
    const size_t data = ScanDataStart(corrupt);
    corrupt[data] = 0xFF;
    corrupt.insert(corrupt.begin() + long(data) + 1, {0x00, 0xFF, 0x00, 0xFF, 0x00});
    EXPECT_EQ(DecodeError(corrupt), 100006);

    auto overfull = HandStream(0xD0);
    overfull[10] = 0;
    overfull[9] = 9;  // nine codes of length 3
    EXPECT_EQ(DecodeError(overfull), 100006);

    // A frame followed by EOI decodes nothing: an error when rows are expected.
    const auto hand = HandStream(0xD0);
    std::vector<uint8_t> noScan(47);
    std::copy_n(hand.begin(), 45, noScan.begin());
    noScan[45] = 0xFF;
    noScan[46] = 0xD9;
    EXPECT_EQ(DecodeError(noScan, 16, 16), 100006);
    EXPECT_EQ(DecodeError(noScan, 0, 16), 0);

    auto badTable = HandStream(0xD0);
    badTable[6] = 0x10;  // an AC table index
    EXPECT_EQ(DecodeError(badTable), 100006);
}

TEST(LosslessJpeg, TruncatedStreamsFailInsteadOfReadingOn) {
    const auto src = Make(Pattern::Noise, 20, 20, 2, 14, 5);
    const auto full = Encode(src, 20, 20, 2, 14);
    for (size_t cut = 0; cut < full.size(); cut += 7) {
        std::vector<uint8_t> part(full.begin(), full.begin() + long(cut));
        EXPECT_NE(DecodeError(part), 0) << "cut at " << cut;
    }
}

// Writes a stream the encoder does not make: any predictor, restart markers
// every few rows, and a fixed table with codes of 2 to 12 bits.
class StreamWriter {
public:
    StreamWriter() {
        // Category s -> code: lengths 2, 3 x3, 4 x4, 6 x4, 9 x3, 12 x2.
        const int lengths[17] = {2, 3, 3, 3, 4, 4, 4, 4, 6, 6, 6, 6, 9, 9, 9, 12, 12};
        uint32_t code = 0;
        int length = 1;
        for (int s = 0; s < 17; ++s) {
            while (length < lengths[s]) code <<= 1, ++length;
            codes_[s] = code++;
            lengths_[s] = length;
        }
    }

    std::vector<uint8_t> Write(const std::vector<uint16_t>& samples, uint32_t rows, uint32_t cols,
                               uint32_t comps, uint32_t predictor, uint32_t restartRows) {
        const uint32_t precision = 14;
        out_ = {0xFF, 0xD8, 0xFF, 0xC4, 0, 36, 0};
        const uint8_t counts[16] = {0, 1, 3, 4, 0, 4, 0, 0, 3, 0, 0, 2, 0, 0, 0, 0};
        out_.insert(out_.end(), counts, counts + 16);
        for (uint8_t v = 0; v <= 16; ++v) out_.push_back(v);
        if (restartRows) {
            const uint32_t interval = restartRows * cols;
            out_.insert(out_.end(), {0xFF, 0xDD, 0, 4, uint8_t(interval >> 8), uint8_t(interval)});
        }
        out_.insert(out_.end(),
                    {0xFF, 0xC3, 0, uint8_t(8 + 3 * comps), uint8_t(precision), uint8_t(rows >> 8),
                     uint8_t(rows), uint8_t(cols >> 8), uint8_t(cols), uint8_t(comps)});
        for (uint32_t c = 0; c < comps; ++c) out_.insert(out_.end(), {uint8_t(c), 0x11, 0});
        out_.insert(out_.end(), {0xFF, 0xDA, 0, uint8_t(6 + 2 * comps), uint8_t(comps)});
        for (uint32_t c = 0; c < comps; ++c) out_.insert(out_.end(), {uint8_t(c), 0x00});
        out_.insert(out_.end(), {uint8_t(predictor), 0, 0});

        auto at = [&](uint32_t r, uint32_t x, uint32_t c) -> int32_t {
            return samples[(size_t(r) * cols + x) * comps + c];
        };
        uint32_t marker = 0;
        for (uint32_t r = 0; r < rows; ++r) {
            const bool first = restartRows ? r % restartRows == 0 : r == 0;
            if (first && r > 0) {
                Flush();
                out_.insert(out_.end(), {0xFF, uint8_t(0xD0 + marker)});
                marker = (marker + 1) & 7;
            }
            for (uint32_t x = 0; x < cols; ++x) {
                for (uint32_t c = 0; c < comps; ++c) {
                    int32_t pred;
                    if (first) {
                        pred = x == 0 ? 1 << (precision - 1) : at(r, x - 1, c);
                    } else if (x == 0) {
                        pred = at(r - 1, 0, c);
                    } else {
                        const int32_t ra = at(r, x - 1, c), rb = at(r - 1, x, c),
                                      rc = at(r - 1, x - 1, c);
                        const int32_t preds[8] = {0,
                                                  ra,
                                                  rb,
                                                  rc,
                                                  ra + rb - rc,
                                                  ra + ((rb - rc) >> 1),
                                                  rb + ((ra - rc) >> 1),
                                                  (ra + rb) >> 1};
                        pred = preds[predictor];
                    }
                    PutDifference(at(r, x, c) - pred);
                }
            }
        }
        Flush();
        out_.insert(out_.end(), {0xFF, 0xD9});
        return out_;
    }

private:
    void PutDifference(int32_t d) {
        const uint32_t magnitude = uint32_t(d < 0 ? -d : d);
        int s = 0;
        while ((magnitude >> s) != 0) ++s;
        PutBits(codes_[s], lengths_[s]);
        if (s) PutBits(uint32_t(d < 0 ? d - 1 : d) & ((1u << s) - 1), s);
    }
    void PutBits(uint32_t bits, int n) {
        for (int i = n - 1; i >= 0; --i) {
            byte_ = uint8_t(byte_ << 1 | ((bits >> i) & 1));
            if (++used_ == 8) Emit();
        }
    }
    void Emit() {
        out_.push_back(byte_);
        if (byte_ == 0xFF) out_.push_back(0x00);
        byte_ = 0;
        used_ = 0;
    }
    void Flush() {  // pads with ones
        while (used_) PutBits(1, 1);
    }

    uint32_t codes_[17];
    int lengths_[17];
    std::vector<uint8_t> out_;
    uint8_t byte_ = 0;
    int used_ = 0;
};

TEST(LosslessJpeg, EveryPredictorWithRestartsAndLongCodesRoundTrips) {
    // Smooth data with noise, and some jumps to any value: short and long
    // codes, stuffed bytes, streams longer than the decoder reads at once.
    std::mt19937 rng(11);
    StreamWriter writer;
    struct Shape {
        uint32_t rows, cols;
    };
    for (const Shape shape : {Shape{23, 37}, Shape{40, 301}}) {
        for (uint32_t comps = 1; comps <= 3; ++comps) {
            std::vector<uint16_t> src(size_t(shape.rows) * shape.cols * comps);
            for (size_t i = 0; i < src.size(); ++i) {
                src[i] = rng() % 16 == 0 ? uint16_t(rng() % 16384)
                                         : uint16_t(8000 + (i / comps) % 700 + rng() % 40);
            }
            for (uint32_t predictor = 1; predictor <= 7; ++predictor) {
                for (uint32_t restartRows : {0u, 1u, 3u}) {
                    const auto bytes =
                        writer.Write(src, shape.rows, shape.cols, comps, predictor, restartRows);
                    EXPECT_EQ(Decode(bytes, src.size() * 2), src)
                        << shape.cols << " x " << shape.rows << " x " << comps << ", predictor "
                        << predictor << ", restart every " << restartRows << " rows";
                }
            }
        }
    }
}

TEST(LosslessJpeg, SubsampledColourSpoolsFullPixels) {
    // 2x1 luma sampling, P 15, predictor 1: units Y0 Y1 Cb Cr; every
    // category s has the 4-bit code s in all three tables.
    std::vector<uint8_t> b = {0xFF, 0xD8};
    for (uint8_t t = 0; t < 3; ++t) {
        std::vector<uint8_t> dht = {0xFF, 0xC4, 0x00, 28, t, 0, 0, 0, 9};
        dht.resize(dht.size() + 12, 0);
        for (uint8_t v = 0; v <= 8; ++v) dht.push_back(v);
        b.insert(b.end(), dht.begin(), dht.end());
    }
    const std::vector<uint8_t> rest = {
        0xFF, 0xC3, 0x00, 17, 15, 0, 1, 0, 2, 3, 1, 0x21, 0, 2, 0x11, 0, 3, 0x11, 0, 0xFF, 0xDA,
        0x00, 12, 3, 1, 0x00, 2, 0x10, 3, 0x20, 1, 0, 0,
        // Y0 = 16384+1 (cat 1 "1"), Y1 = Y0+0, Cb = 16384-1 (cat 1 "0"), Cr = 16384:
        // 0001 1 | 0000 | 0001 0 | 0000 -> 00011000 00001000 00 + pad
        0x18, 0x08, 0x3F, 0xFF, 0xD9};
    b.insert(b.end(), rest.begin(), rest.end());
    const std::vector<uint16_t> expected = {16385, 16383, 16384, 16385, 16383, 16384};
    EXPECT_EQ(Decode(b, 12), expected);
}

}  // namespace
