// Lossless JPEG decoder: one scan of up to four interleaved components,
// predictors 1..7 of T.81 Table H.1, restart intervals in whole rows, the
// 2x1 / 2x2 subsampled colour arrangement, and selection value 8 (rows coded
// independently, entropy data read 32 bits at a time without byte stuffing).
//
// Anything the decoder cannot take, including DCT-coded streams that carry a
// lossless-looking frame marker, is error 100006; a corrupt Huffman code is
// never silently read as a zero difference.

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "dng/core/dng_exception.h"
#include "dng/core/dng_stream.h"
#include "dng/image/dng_lossless_jpeg.h"

namespace {

enum : uint8_t {
    M_SOF0 = 0xC0,
    M_SOF1 = 0xC1,
    M_SOF3 = 0xC3,
    M_DHT = 0xC4,
    M_JPG = 0xC8,
    M_DAC = 0xCC,
    M_RST0 = 0xD0,
    M_RST7 = 0xD7,
    M_SOI = 0xD8,
    M_EOI = 0xD9,
    M_SOS = 0xDA,
    M_DQT = 0xDB,
    M_DRI = 0xDD,
    M_TEM = 0x01,
};

bool IsFrameMarker(uint8_t c) {
    return c >= 0xC0 && c <= 0xCF && c != M_DHT && c != M_JPG && c != M_DAC;
}

struct FrameComponent {
    uint32_t id = 0;
    uint32_t hSamp = 1;
    uint32_t vSamp = 1;
    uint32_t dcTable = 0;
};

class dng_ljpeg_decoder {
public:
    dng_ljpeg_decoder(dng_stream& stream, dng_spooler& spooler, bool fullCategory16)
        : stream_(stream), spooler_(spooler), fullCategory16_(fullCategory16) {}

    void Decode(uint64_t minDecodedSize, uint64_t maxDecodedSize, uint64_t endOfData) {
        const bool hasScan = ReadHeaders();
        const uint64_t decodedSize = uint64_t(width_) * height_ * numComps_ * 2;
        if (decodedSize < minDecodedSize || decodedSize > maxDecodedSize) {
            throw dng_ljpeg_error("lossless JPEG size does not match the tile");
        }
        // A frame without a scan would leave its caller's rows unwritten.
        if (!hasScan) {
            if (minDecodedSize > 0) throw dng_ljpeg_error("lossless JPEG stream has no scan");
            return;
        }
        DecodeImage();
        const uint64_t end = stream_.Position();
        if (end > endOfData && !(fastFill_ && end <= endOfData + 4)) {
            throw dng_ljpeg_error("lossless JPEG data runs past its end");
        }
    }

private:
    // ---- headers -------------------------------------------------------

    uint8_t GetByte() { return stream_.GetUInt8(); }

    uint32_t Get2Bytes() {
        const uint32_t hi = GetByte();
        return (hi << 8) | GetByte();
    }

    void SkipBytes(uint32_t count) { stream_.SetReadPosition(stream_.Position() + count); }

    void SkipVariable() {
        const uint32_t length = Get2Bytes();
        if (length < 2) throw dng_ljpeg_error("bad JPEG marker length");
        SkipBytes(length - 2);
    }

    uint8_t NextMarker() {
        uint8_t c;
        do {
            do {
                c = GetByte();
            } while (c != 0xFF);
            do {
                c = GetByte();
            } while (c == 0xFF);
        } while (c == 0);
        return c;
    }

    void GetDht() {
        int32_t length = int32_t(Get2Bytes()) - 2;
        while (length > 0) {
            const uint32_t index = GetByte();
            if (index >= 4) {
                throw dng_ljpeg_error(index >= 0x10 ? "AC Huffman table: the stream is DCT-coded"
                                                    : "bad Huffman table index");
            }
            HuffmanTable& table = tables_[index];
            table = HuffmanTable{};
            uint32_t count = 0;
            for (int l = 1; l <= 16; ++l) {
                table.bits[l] = GetByte();
                count += table.bits[l];
            }
            if (count > 256) throw dng_ljpeg_error("Huffman table has more than 256 codes");
            for (uint32_t i = 0; i < count; ++i) table.huffval[i] = GetByte();
            tableDefined_[index] = true;
            length -= int32_t(1 + 16 + count);
        }
        if (length != 0) throw dng_ljpeg_error("bad DHT length");
    }

    void GetDri() {
        if (Get2Bytes() != 4) throw dng_ljpeg_error("bad DRI length");
        restartInterval_ = Get2Bytes();
    }

    // Reads table segments until a frame, scan, SOI or EOI marker.
    uint8_t ProcessTables() {
        for (;;) {
            const uint8_t c = NextMarker();
            if (IsFrameMarker(c) || c == M_SOI || c == M_EOI || c == M_SOS) return c;
            if (c == M_DHT) {
                GetDht();
            } else if (c == M_DRI) {
                GetDri();
            } else if ((c >= M_RST0 && c <= M_RST7) || c == M_TEM) {
                // Stand-alone markers: nothing to skip.
            } else {
                SkipVariable();
            }
        }
    }

    void GetSof() {
        const uint32_t length = Get2Bytes();
        precision_ = GetByte();
        height_ = Get2Bytes();
        width_ = Get2Bytes();
        numComps_ = GetByte();
        if (length != numComps_ * 3 + 8 || precision_ < 2 || precision_ > 16 || height_ < 1 ||
            width_ < 1 || numComps_ < 1 || numComps_ > 4) {
            throw dng_ljpeg_error("bad lossless JPEG frame header");
        }
        for (uint32_t i = 0; i < numComps_; ++i) {
            comps_[i].id = GetByte();
            const uint32_t sampling = GetByte();
            comps_[i].hSamp = sampling >> 4;
            comps_[i].vSamp = sampling & 0x0F;
            GetByte();  // quantisation table: unused by lossless coding
        }
    }

    void GetSos() {
        const uint32_t length = Get2Bytes();
        const uint32_t n = GetByte();
        if (n < 1 || n > 4 || length != n * 2 + 6) throw dng_ljpeg_error("bad scan header");
        // This decoder reads one scan, so that scan must hold every component.
        if (n != numComps_) throw dng_ljpeg_error("scan does not hold every component");
        bool seen[4] = {};
        for (uint32_t i = 0; i < n; ++i) {
            const uint32_t id = GetByte();
            const uint32_t table = GetByte();
            uint32_t ci = 0;
            while (ci < numComps_ && comps_[ci].id != id) ++ci;
            if (ci == numComps_ || seen[ci])
                throw dng_ljpeg_error("scan names an unknown component");
            seen[ci] = true;
            comps_[ci].dcTable = table >> 4;
            scanOrder_[i] = ci;
        }
        ss_ = GetByte();
        GetByte();
        pt_ = GetByte() & 0x0F;
    }

    bool ReadHeaders() {
        if (GetByte() != 0xFF || GetByte() != M_SOI) throw dng_ljpeg_error("not a JPEG stream");
        const uint8_t frame = ProcessTables();
        if (frame != M_SOF0 && frame != M_SOF1 && frame != M_SOF3) {
            throw dng_ljpeg_error("unsupported JPEG frame type");
        }
        GetSof();
        const uint8_t scan = ProcessTables();
        if (scan == M_EOI) return false;
        if (scan != M_SOS) throw dng_ljpeg_error("expected a scan header");
        GetSos();

        // A DCT scan read through a baseline/extended frame marker has Ss = 0:
        // there is no lossless predictor to decode it with.
        if (ss_ < 1 || ss_ > 8)
            throw dng_ljpeg_error("scan has no lossless predictor: the stream is DCT-coded");
        if (pt_ >= precision_) throw dng_ljpeg_error("bad point transform");

        CheckSampling();

        for (uint32_t i = 0; i < numComps_; ++i) {
            const uint32_t t = comps_[i].dcTable;
            if (t >= 4 || !tableDefined_[t]) throw dng_ljpeg_error("missing Huffman table");
        }
        for (uint32_t t = 0; t < 4; ++t) {
            if (tableDefined_[t]) dng_ljpeg_fix_table(&tables_[t]);
        }
        // Only the scan's tables get a look-up; the others are never read.
        quick_.reset(new int32_t[size_t(4) * kPeekSize]);
        bool built[4] = {};
        for (uint32_t i = 0; i < numComps_; ++i) {
            const uint32_t t = comps_[i].dcTable;
            if (!built[t]) BuildQuickTable(tables_[t], quick_.get() + size_t(t) * kPeekSize);
            built[t] = true;
        }

        const uint32_t mcusPerRow = subsampleH_ ? width_ / 2 : width_;
        if (restartInterval_) {
            if (restartInterval_ % mcusPerRow != 0) {
                throw dng_ljpeg_error("restart interval is not a whole number of rows");
            }
            restartInRows_ = restartInterval_ / mcusPerRow;
        }
        return true;
    }

    void CheckSampling() {
        bool allOnes = true;
        for (uint32_t i = 0; i < numComps_; ++i) {
            allOnes = allOnes && comps_[i].hSamp == 1 && comps_[i].vSamp == 1;
        }
        if (allOnes) return;
        const bool chromaOnes = numComps_ == 3 && comps_[1].hSamp == 1 && comps_[1].vSamp == 1 &&
                                comps_[2].hSamp == 1 && comps_[2].vSamp == 1;
        const bool luma21 = comps_[0].hSamp == 2 && comps_[0].vSamp == 1;
        const bool luma22 = comps_[0].hSamp == 2 && comps_[0].vSamp == 2;
        if (chromaOnes && (luma21 || luma22) && precision_ == 15 && ss_ == 1 && (width_ % 2) == 0 &&
            (!luma22 || (height_ % 2) == 0) && scanOrder_[0] == 0) {
            subsampleH_ = true;
            subsampleV_ = luma22;
            return;
        }
        throw dng_ljpeg_error("unsupported sampling factors");
    }

    // ---- bit input -----------------------------------------------------
    //
    // Entropy-coded bytes come through a window of the stream read a block
    // at a time; the stream is put back at the window's logical position
    // (the next byte the bit reader would take) before anything else reads
    // it. A refill takes whole bytes up to 49..56 buffered bits, eight at a
    // time where no 0xFF is among them; a marker stops the reading and zeros
    // follow. A refill that reaches the end of the stream fails, as a byte
    // read past the end always has: whole data ends with a marker.

    void BeginEntropyData() {
        windowStart_ = stream_.Position();
        next_ = limit_ = 0;
    }

    void EndEntropyData() {
        stream_.SetReadPosition(windowStart_ + next_);
        BeginEntropyData();
    }

    [[gnu::noinline]] void RefillWindow() {
        const uint64_t position = windowStart_ + next_;
        stream_.SetReadPosition(position);
        const uint64_t length = stream_.Length();
        uint32_t n = 1;
        if (position >= length) {
            window_[0] = stream_.GetUInt8();  // fails at the end as a byte read always has
        } else {
            n = uint32_t(std::min<uint64_t>(length - position, kWindowBytes));
            stream_.ReadBytes(window_, n);
        }
        windowStart_ = position;
        next_ = 0;
        limit_ = n;
    }

    uint8_t EntropyByte() {
        if (next_ == limit_) RefillWindow();
        return window_[next_++];
    }

    [[gnu::noinline]] void FillBitBuffer() {
        if (fastFill_) {
            FillBitBufferFast();
            return;
        }
        // Eight window bytes without 0xFF among them: the bytes needed go in
        // at once.
        if (!markerSeen_ && limit_ - next_ >= 8 && bitsLeft_ <= 48) {
            uint64_t word;
            std::memcpy(&word, window_ + next_, 8);
            const uint64_t inverted = ~word;  // a 0xFF byte is a zero byte here
            if (((inverted - 0x0101010101010101ull) & ~inverted & 0x8080808080808080ull) == 0) {
                const uint32_t bytes = uint32_t(56 - bitsLeft_) >> 3;  // 1..7
                bitBuffer_ =
                    (bitBuffer_ << (8 * bytes)) | (__builtin_bswap64(word) >> (64 - 8 * bytes));
                bitsLeft_ += int32_t(8 * bytes);
                next_ += bytes;
                return;
            }
        }
        while (bitsLeft_ <= 48) {
            uint32_t c = 0;
            if (!markerSeen_) {
                c = EntropyByte();
                if (c == 0xFF) {
                    const uint32_t c2 = EntropyByte();
                    if (c2 != 0) {
                        // A marker ends the entropy-coded segment: leave the
                        // stream on it and supply zeros from here on.
                        windowStart_ = windowStart_ + next_ - 2;
                        next_ = limit_ = 0;
                        markerSeen_ = true;
                        c = 0;
                    }
                }
            }
            bitBuffer_ = (bitBuffer_ << 8) | c;
            bitsLeft_ += 8;
        }
    }

    void FillBitBufferFast() {
        uint8_t b[4] = {0, 0, 0, 0};
        const uint64_t pos = stream_.Position();
        const uint64_t length = stream_.Length();
        if (pos + 4 <= length) {
            stream_.ReadBytes(b, 4);
        } else {
            const uint32_t have = uint32_t(length - pos);
            if (have >= 2) stream_.ReadBytes(b, have);
            if (have < 2 || b[have - 2] != 0xFF || b[have - 1] != M_EOI) {
                ThrowEndOfFile("lossless JPEG data ends early");
            }
            for (uint32_t i = have; i < 4; ++i) b[i] = 0;
        }
        const uint64_t word = uint64_t(b[0]) | (uint64_t(b[1]) << 8) | (uint64_t(b[2]) << 16) |
                              (uint64_t(b[3]) << 24);
        bitBuffer_ = (bitBuffer_ << 32) | word;
        bitsLeft_ += 32;
    }

    int32_t GetBits(int32_t n) {
        if (bitsLeft_ < n) FillBitBuffer();
        bitsLeft_ -= n;
        return int32_t((bitBuffer_ >> bitsLeft_) & ((1u << n) - 1));
    }

    int32_t GetBit() { return GetBits(1); }

    // A code longer than the 8-bit look-ahead, read a bit at a time.
    [[gnu::noinline]] int32_t HuffDecodeLong(const HuffmanTable& table, int32_t code8) {
        bitsLeft_ -= 8;
        int32_t l = 8;
        int32_t code = code8;
        while (code > table.maxcode[l]) {
            code = (code << 1) | GetBit();
            ++l;
            if (l > 16) throw dng_ljpeg_error("corrupt Huffman code in lossless JPEG data");
        }
        const int32_t index = table.valptr[l] + (code - int32_t(table.mincode[l]));
        if (index < 0 || index > 255) throw dng_ljpeg_error("corrupt Huffman code");
        return table.huffval[index];
    }

    // A difference read through the members, one step at a time: codes
    // longer than the look-up, large categories, and too few bits.
    [[gnu::noinline]] int32_t SlowDifference(const HuffmanTable& table) {
        if (bitsLeft_ < 8) FillBitBuffer();
        const int32_t code8 = int32_t((bitBuffer_ >> (bitsLeft_ - 8)) & 0xFF);
        int32_t s;
        if (table.numbits[code8]) {
            bitsLeft_ -= table.numbits[code8];
            s = table.value[code8];
        } else {
            s = HuffDecodeLong(table, code8);
        }
        if (s == 0) return 0;
        if (s > 16) throw dng_ljpeg_error("bad difference category");
        if (s == 16 && !fullCategory16_) return 32768;
        return Extend(GetBits(s), s);
    }

    // The bit reader's state copied into a loop's locals, where it can live
    // in registers, with the next bit at the top of the word; it goes back
    // to the decoder around every refill and slow step, and when the loop's
    // scope ends.
    class RowBits {
    public:
        explicit RowBits(dng_ljpeg_decoder& decoder) : d_(decoder) { Load(); }
        ~RowBits() { Store(); }
        RowBits(const RowBits&) = delete;
        RowBits& operator=(const RowBits&) = delete;

        // One difference with its table's whole-difference look-up: a code
        // and its extra bits within the next kPeekBits bits resolve in one
        // step. Bytes come in before the buffer runs that low, except for
        // selection value 8, whose refills stay where they were due.
        [[gnu::always_inline]] int32_t Difference(const HuffmanTable& table, const int32_t* quick) {
            if (left_ < kPeekBits && !d_.fastFill_) [[unlikely]] {
                Store();
                d_.FillBitBuffer();
                Load();
            }
            if (left_ >= kPeekBits) [[likely]] {
                const int32_t entry = quick[top_ >> (64 - kPeekBits)];
                const int32_t length = entry & kLengthMask;
                if (length) [[likely]] {
                    top_ <<= length;
                    left_ -= length;
                    return entry >> kLengthBits;
                }
            }
            Store();
            const int32_t v = d_.SlowDifference(table);
            Load();
            return v;
        }

    private:
        void Store() {
            d_.bitBuffer_ = left_ ? top_ >> (64 - left_) : 0;
            d_.bitsLeft_ = left_;
        }
        void Load() {
            left_ = d_.bitsLeft_;
            top_ = left_ ? d_.bitBuffer_ << (64 - left_) : 0;
        }

        dng_ljpeg_decoder& d_;
        uint64_t top_ = 0;  // the buffered bits, left-aligned
        int32_t left_ = 0;
    };

    // The difference coded by s extra bits v (T.81 F.2.2.1, EXTEND).
    static int32_t Extend(int32_t v, int32_t s) {
        if (v < (1 << (s - 1))) v += (-1 << s) + 1;
        return v;
    }

    // Whole-difference look-up of a table by its next kPeekBits bits: the
    // difference << kLengthBits | bits used, or 0 where the slow path must
    // decide (codes over 8 bits, categories over 16, too few bits).
    static constexpr int32_t kPeekBits = 12;
    static constexpr uint32_t kPeekSize = 1u << kPeekBits;
    static constexpr int32_t kLengthBits = 5;
    static constexpr int32_t kLengthMask = (1 << kLengthBits) - 1;

    void BuildQuickTable(const HuffmanTable& table, int32_t* quick) const {
        for (uint32_t bits = 0; bits < kPeekSize; ++bits) {
            const uint32_t code8 = bits >> (kPeekBits - 8);
            const int32_t length = table.numbits[code8];
            const int32_t s = table.value[code8];
            int32_t entry = 0;
            if (length == 0 || s > 16) {
                entry = 0;
            } else if (s == 0) {
                entry = length;
            } else if (s == 16 && !fullCategory16_) {
                entry = (32768 << kLengthBits) | length;
            } else if (length + s <= kPeekBits) {
                const int32_t v = int32_t(bits >> (kPeekBits - length - s)) & ((1 << s) - 1);
                entry = int32_t(uint32_t(Extend(v, s)) << kLengthBits) | (length + s);
            }
            quick[bits] = entry;
        }
    }

    void ProcessRestart() {
        EndEntropyData();
        if (!markerSeen_) {
            // Bytes read ahead into the bit buffer go back to the stream so
            // that the marker search starts no later than the marker itself.
            stream_.SetReadPosition(stream_.Position() - uint32_t(bitsLeft_ / 8));
        }
        bitsLeft_ = 0;
        bitBuffer_ = 0;
        markerSeen_ = false;
        const uint8_t c = NextMarker();
        if (c != M_RST0 + nextRestartNum_) throw dng_ljpeg_error("restart marker out of sequence");
        nextRestartNum_ = (nextRestartNum_ + 1) & 7;
        BeginEntropyData();
    }

    // ---- rows ----------------------------------------------------------

    // Samples of a pixel come in scan order, each with its component's table.
    const HuffmanTable& TableOf(uint32_t scanIndex) const {
        return tables_[comps_[scanOrder_[scanIndex]].dcTable];
    }

    struct ScanTables {
        const HuffmanTable* of[4];
        const int32_t* quick[4];
    };
    ScanTables Tables() const {
        ScanTables t{};
        for (uint32_t c = 0; c < numComps_; ++c) {
            const uint32_t index = comps_[scanOrder_[c]].dcTable;
            t.of[c] = &tables_[index];
            t.quick[c] = quick_.get() + size_t(index) * kPeekSize;
        }
        return t;
    }

    // Left prediction along the row from `initial` (the first row, and every
    // row of selection value 8).
    void DecodeLeftPredictedRow(uint16_t* cur, uint16_t initial) {
        const uint32_t comps = numComps_;
        const ScanTables t = Tables();
        RowBits bits(*this);
        for (uint32_t c = 0; c < comps; ++c) {
            cur[c] = uint16_t(initial + bits.Difference(*t.of[c], t.quick[c]));
        }
        for (uint32_t col = 1; col < width_; ++col) {
            uint16_t* px = cur + col * comps;
            for (uint32_t c = 0; c < comps; ++c) {
                px[c] = uint16_t(px[int32_t(c) - int32_t(comps)] +
                                 bits.Difference(*t.of[c], t.quick[c]));
            }
        }
    }

    void DecodeFirstRow(uint16_t* cur) {
        DecodeLeftPredictedRow(cur, uint16_t(1u << (precision_ - pt_ - 1)));
    }

    // Predictor 1 with one or two components, the usual raw tile: the left
    // samples stay in registers.
    template <uint32_t comps>
    void DecodeLeftRow(const uint16_t* prev, uint16_t* cur) {
        const ScanTables t = Tables();
        RowBits bits(*this);
        uint16_t left[comps];
        for (uint32_t c = 0; c < comps; ++c) {
            left[c] = cur[c] = uint16_t(prev[c] + bits.Difference(*t.of[c], t.quick[c]));
        }
        for (uint32_t col = 1; col < width_; ++col) {
            uint16_t* px = cur + col * comps;
            for (uint32_t c = 0; c < comps; ++c) {
                left[c] = px[c] = uint16_t(left[c] + bits.Difference(*t.of[c], t.quick[c]));
            }
        }
    }

    template <uint32_t predictor>
    void DecodeRowWith(const uint16_t* prev, uint16_t* cur) {
        if constexpr (predictor == 1) {
            if (numComps_ == 1) return DecodeLeftRow<1>(prev, cur);
            if (numComps_ == 2) return DecodeLeftRow<2>(prev, cur);
        }
        const uint32_t comps = numComps_;
        const ScanTables t = Tables();
        RowBits bits(*this);
        for (uint32_t c = 0; c < comps; ++c) {
            cur[c] = uint16_t(prev[c] + bits.Difference(*t.of[c], t.quick[c]));
        }
        for (uint32_t col = 1; col < width_; ++col) {
            const uint32_t i = col * comps;
            for (uint32_t c = 0; c < comps; ++c) {
                const int32_t ra = cur[i + c - comps];
                const int32_t rb = prev[i + c];
                const int32_t rc = prev[i + c - comps];
                int32_t pred;
                switch (predictor) {
                    case 1:
                        pred = ra;
                        break;
                    case 2:
                        pred = rb;
                        break;
                    case 3:
                        pred = rc;
                        break;
                    case 4:
                        pred = ra + rb - rc;
                        break;
                    case 5:
                        pred = ra + ((rb - rc) >> 1);
                        break;
                    case 6:
                        pred = rb + ((ra - rc) >> 1);
                        break;
                    default:
                        pred = (ra + rb) >> 1;
                        break;
                }
                cur[i + c] = uint16_t(pred + bits.Difference(*t.of[c], t.quick[c]));
            }
        }
    }

    void DecodeRow(const uint16_t* prev, uint16_t* cur) {
        switch (ss_) {
            case 1:
                return DecodeRowWith<1>(prev, cur);
            case 2:
                return DecodeRowWith<2>(prev, cur);
            case 3:
                return DecodeRowWith<3>(prev, cur);
            case 4:
                return DecodeRowWith<4>(prev, cur);
            case 5:
                return DecodeRowWith<5>(prev, cur);
            case 6:
                return DecodeRowWith<6>(prev, cur);
            default:
                return DecodeRowWith<7>(prev, cur);
        }
    }

    // Selection value 8: every row starts again from 32768, left prediction.
    void DecodeIndependentRow(uint16_t* cur) { DecodeLeftPredictedRow(cur, 32768); }

    // Subsampled colour: each unit holds 2 (2x1) or 4 (2x2) luma samples and
    // one Cb and one Cr. Rows are spooled as full pixels Y, Cb, Cr with the
    // unit's chroma repeated; each component is predicted from its previous
    // sample in coding order, the first unit of a unit row from the first
    // unit of the unit row above.
    void DecodeSubsampledImage() {
        const uint32_t rowSamples = width_ * 3;
        const uint32_t unitRows = subsampleV_ ? height_ / 2 : height_;
        const uint32_t lumaPerUnit = subsampleV_ ? 4 : 2;
        const uint32_t units = width_ / 2;
        std::vector<uint16_t> out(size_t(rowSamples) * (subsampleV_ ? 2 : 1));
        const uint16_t initial = uint16_t(1u << (precision_ - pt_ - 1));
        uint16_t firstY = initial, firstCb = initial, firstCr = initial;
        uint32_t rowsToGo = restartInRows_;
        for (uint32_t ur = 0; ur < unitRows; ++ur) {
            bool restart = ur == 0;
            if (restartInRows_ && ur > 0) {
                if (rowsToGo == 0) {
                    ProcessRestart();
                    rowsToGo = restartInRows_;
                    restart = true;
                }
            }
            if (restartInRows_) --rowsToGo;
            if (restart) firstY = firstCb = firstCr = initial;
            uint16_t y = firstY, cb = firstCb, cr = firstCr;
            const ScanTables t = Tables();
            RowBits bits(*this);
            for (uint32_t u = 0; u < units; ++u) {
                uint16_t luma[4];
                for (uint32_t k = 0; k < lumaPerUnit; ++k) {
                    y = uint16_t(y + bits.Difference(*t.of[0], t.quick[0]));
                    luma[k] = y;
                }
                cb = uint16_t(cb + bits.Difference(*t.of[1], t.quick[1]));
                cr = uint16_t(cr + bits.Difference(*t.of[2], t.quick[2]));
                if (u == 0) {
                    firstY = luma[0];
                    firstCb = cb;
                    firstCr = cr;
                }
                for (uint32_t k = 0; k < lumaPerUnit; ++k) {
                    const uint32_t r = k / 2;
                    const uint32_t col = u * 2 + (k % 2);
                    uint16_t* px = out.data() + size_t(r) * rowSamples + size_t(col) * 3;
                    px[0] = luma[k];
                    px[1] = cb;
                    px[2] = cr;
                }
            }
            spooler_.Spool(out.data(), uint32_t(out.size() * 2));
        }
    }

    void DecodeImage() {
        if (subsampleH_) {
            BeginEntropyData();
            DecodeSubsampledImage();
            EndEntropyData();
            return;
        }
        const uint32_t rowSamples = width_ * numComps_;
        const uint32_t rowBytes = rowSamples * 2;
        std::vector<uint16_t> rows(size_t(rowSamples) * 2);
        uint16_t* prev = rows.data();
        uint16_t* cur = prev + rowSamples;

        if (ss_ == 8) {
            fastFill_ = true;
            for (uint32_t row = 0; row < height_; ++row) {
                DecodeIndependentRow(cur);
                spooler_.Spool(cur, rowBytes);
            }
            return;
        }

        BeginEntropyData();
        uint32_t rowsToGo = restartInRows_;
        for (uint32_t row = 0; row < height_; ++row) {
            bool first = row == 0;
            if (restartInRows_ && row > 0 && rowsToGo == 0) {
                ProcessRestart();
                rowsToGo = restartInRows_;
                first = true;
            }
            if (restartInRows_) --rowsToGo;
            if (first) {
                DecodeFirstRow(cur);
            } else {
                DecodeRow(prev, cur);
            }
            spooler_.Spool(cur, rowBytes);
            std::swap(prev, cur);
        }
        EndEntropyData();
    }

    dng_stream& stream_;
    dng_spooler& spooler_;
    bool fullCategory16_;

    HuffmanTable tables_[4];
    bool tableDefined_[4] = {};

    uint32_t width_ = 0;
    uint32_t height_ = 0;
    uint32_t precision_ = 0;
    uint32_t numComps_ = 0;
    FrameComponent comps_[4];
    uint32_t scanOrder_[4] = {0, 1, 2, 3};
    uint32_t ss_ = 0;
    uint32_t pt_ = 0;
    bool subsampleH_ = false;
    bool subsampleV_ = false;

    uint32_t restartInterval_ = 0;
    uint32_t restartInRows_ = 0;
    uint32_t nextRestartNum_ = 0;

    static constexpr uint32_t kWindowBytes = 4096;
    uint8_t window_[kWindowBytes];
    uint64_t windowStart_ = 0;  // stream offset of window_[0]
    uint32_t next_ = 0;         // window bytes taken
    uint32_t limit_ = 0;        // window bytes held

    std::unique_ptr<int32_t[]> quick_;  // kPeekSize entries per table index

    uint64_t bitBuffer_ = 0;
    int32_t bitsLeft_ = 0;
    bool markerSeen_ = false;
    bool fastFill_ = false;
};

}  // namespace

void dng_ljpeg_decode(dng_stream& stream, dng_spooler& spooler, uint64_t minDecodedSize,
                      uint64_t maxDecodedSize, bool fullCategory16, uint64_t endOfData) {
    dng_ljpeg_decoder decoder(stream, spooler, fullCategory16);
    decoder.Decode(minDecodedSize, maxDecodedSize, endOfData);
}
