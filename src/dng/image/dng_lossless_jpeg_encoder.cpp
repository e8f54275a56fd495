// Lossless JPEG encoder: predictor 1 (left neighbour), one interleaved scan of
// all channels, one optimal Huffman table per channel built from a first pass
// over the tile (T.81 K.2), no restart intervals.

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <type_traits>
#include <utility>
#include <vector>

#include "dng/core/dng_exception.h"
#include "dng/core/dng_stream.h"
#include "dng/image/dng_lossless_jpeg.h"

namespace {

constexpr uint8_t M_SOI = 0xD8;
constexpr uint8_t M_EOI = 0xD9;
constexpr uint8_t M_SOF3 = 0xC3;
constexpr uint8_t M_DHT = 0xC4;
constexpr uint8_t M_SOS = 0xDA;

inline int32_t Category(int16_t diff) {
    // -32768 has no positive counterpart in 16 bits: its magnitude 32768
    // lands on category 16.
    const uint32_t mag = diff < 0 ? uint32_t(-int32_t(diff)) : uint32_t(diff);
    return int32_t(std::bit_width(mag));
}

class dng_ljpeg_encoder {
public:
    dng_ljpeg_encoder(const uint16_t* src, uint32_t rows, uint32_t cols, uint32_t channels,
                      uint32_t bitDepth, int32_t rowStep, int32_t colStep, dng_stream& stream)
        : src_(src),
          srcRows_(rows),
          srcCols_(cols),
          srcChannels_(channels),
          srcBitDepth_(bitDepth),
          srcRowStep_(rowStep),
          srcColStep_(colStep),
          stream_(stream) {}

    void Encode() {
        if (srcChannels_ < 1 || srcChannels_ > 4 || srcBitDepth_ < 2 || srcBitDepth_ > 16 ||
            srcRows_ < 1 || srcCols_ < 1 || srcRows_ > 65535 || srcCols_ > 65535) {
            ThrowProgramError("dng_ljpeg_encode: unsupported tile");
        }
        FreqCountSet();
        for (uint32_t c = 0; c < srcChannels_; ++c) {
            try {
                GenHuffCoderTable(c);
            } catch (const dng_exception&) {
                for (int s = 0; s <= 256; ++s) freqCount_[c][s] = s <= 16 ? 1 : 0;
                GenHuffCoderTable(c);
            }
            dng_ljpeg_fix_table(&huffTable_[c]);
        }
        // The tile's bytes are gathered here and handed to the stream once:
        // a stream call per byte cost more than the coding itself.
        WriteFileHeader();
        HuffEncode();
        FlushBits();
        EmitMarker(M_EOI);
        stream_.WriteBytes(out_.data(), uint32_t(used_));
    }

private:
    // Walks the tile in coding order and calls fn(channel, difference), with
    // the channel a constant so that each channel's table stays in place.
    template <typename Fn, typename Row = void (*)()>
    void ForEachDifference(
        Fn&& fn, Row&& beforeRow = [] {}) const {
        switch (srcChannels_) {
            case 1:
                return ForEachDifferenceOf<1>(fn, beforeRow);
            case 2:
                return ForEachDifferenceOf<2>(fn, beforeRow);
            case 3:
                return ForEachDifferenceOf<3>(fn, beforeRow);
            default:
                return ForEachDifferenceOf<4>(fn, beforeRow);
        }
    }

    // Predictor 1: the left neighbour, the sample above in the first column,
    // half the range at the first sample.
    template <uint32_t kChannels, typename Fn, typename Row>
    void ForEachDifferenceOf(Fn& fn, Row& beforeRow) const {
        const uint16_t initial = uint16_t(1u << (srcBitDepth_ - 1));
        for (uint32_t row = 0; row < srcRows_; ++row) {
            beforeRow();
            const uint16_t* pixel = src_ + int64_t(row) * srcRowStep_;
            for (uint32_t c = 0; c < kChannels; ++c) {
                const uint16_t pred = row > 0 ? pixel[int64_t(c) - srcRowStep_] : initial;
                fn(c, int16_t(uint16_t(pixel[c] - pred)));
            }
            for (uint32_t col = 1; col < srcCols_; ++col) {
                const uint16_t* left = pixel;
                pixel += srcColStep_;
                Unrolled<kChannels>([&](auto c) { fn(c, int16_t(uint16_t(pixel[c] - left[c]))); });
            }
        }
    }

    template <uint32_t kCount, typename Fn, uint32_t... kIndex>
    static void UnrolledOf(Fn& fn, std::integer_sequence<uint32_t, kIndex...>) {
        (fn(std::integral_constant<uint32_t, kIndex>()), ...);
    }
    template <uint32_t kCount, typename Fn>
    static void Unrolled(Fn&& fn) {
        UnrolledOf<kCount>(fn, std::make_integer_sequence<uint32_t, kCount>());
    }

    void FreqCountSet() {
        std::memset(freqCount_, 0, sizeof(freqCount_));
        ForEachDifference([this](uint32_t c, int16_t d) { ++freqCount_[c][Category(d)]; });
    }

    // Optimal code lengths from frequencies (T.81 K.2). Lengths above 16
    // throw so that the caller can fall back to a flat distribution.
    void GenHuffCoderTable(uint32_t channel) {
        uint32_t freq[257];
        std::memcpy(freq, freqCount_[channel], sizeof(freq));
        int32_t codesize[257] = {};
        int32_t others[257];
        for (int i = 0; i < 257; ++i) others[i] = -1;
        freq[256] = 1;  // reserved point: no real code is all ones

        for (;;) {
            int32_t c1 = -1;
            uint32_t v = 0xFFFFFFFF;
            for (int i = 0; i <= 256; ++i) {
                if (freq[i] && freq[i] <= v) {
                    v = freq[i];
                    c1 = i;
                }
            }
            int32_t c2 = -1;
            v = 0xFFFFFFFF;
            for (int i = 0; i <= 256; ++i) {
                if (freq[i] && freq[i] <= v && i != c1) {
                    v = freq[i];
                    c2 = i;
                }
            }
            if (c2 < 0) break;

            freq[c1] += freq[c2];
            freq[c2] = 0;
            ++codesize[c1];
            while (others[c1] >= 0) {
                c1 = others[c1];
                ++codesize[c1];
            }
            others[c1] = c2;
            ++codesize[c2];
            while (others[c2] >= 0) {
                c2 = others[c2];
                ++codesize[c2];
            }
        }

        uint32_t bits[33] = {};
        for (int i = 0; i <= 256; ++i) {
            if (codesize[i]) {
                if (codesize[i] > 32) ThrowOverflow("Huffman code size table overflow");
                ++bits[codesize[i]];
            }
        }
        for (int i = 17; i <= 32; ++i) {
            if (bits[i]) ThrowProgramError("Huffman code longer than 16 bits");
        }
        int32_t longest = 16;
        while (longest > 0 && bits[longest] == 0) --longest;
        if (longest > 0) --bits[longest];

        HuffmanTable& table = huffTable_[channel];
        table = HuffmanTable{};
        for (int i = 1; i <= 16; ++i) table.bits[i] = uint8_t(bits[i]);
        int p = 0;
        for (int size = 1; size <= 32; ++size) {
            for (int j = 0; j <= 255; ++j) {
                if (codesize[j] == size) table.huffval[p++] = uint8_t(j);
            }
        }
    }

    // Room for `bytes` more bytes of output.
    void Reserve(size_t bytes) {
        if (out_.size() - used_ >= bytes) return;
        out_.resize(std::max(out_.size() * 2, used_ + bytes));
    }

    void EmitByte(uint8_t b) {
        Reserve(1);
        out_[used_++] = b;
    }

    void EmitMarker(uint8_t mark) {
        EmitByte(0xFF);
        EmitByte(mark);
    }

    void Emit2Bytes(uint32_t v) {
        EmitByte(uint8_t(v >> 8));
        EmitByte(uint8_t(v));
    }

    void WriteFileHeader() {
        EmitMarker(M_SOI);

        EmitMarker(M_SOF3);
        Emit2Bytes(3 * srcChannels_ + 8);
        EmitByte(uint8_t(srcBitDepth_));
        Emit2Bytes(srcRows_);
        Emit2Bytes(srcCols_);
        EmitByte(uint8_t(srcChannels_));
        for (uint32_t i = 0; i < srcChannels_; ++i) {
            EmitByte(uint8_t(i));
            EmitByte(0x11);
            EmitByte(0);
        }

        for (uint32_t i = 0; i < srcChannels_; ++i) {
            const HuffmanTable& table = huffTable_[i];
            uint32_t count = 0;
            for (int l = 1; l <= 16; ++l) count += table.bits[l];
            EmitMarker(M_DHT);
            Emit2Bytes(count + 19);
            EmitByte(uint8_t(i));
            for (int l = 1; l <= 16; ++l) EmitByte(table.bits[l]);
            for (uint32_t j = 0; j < count; ++j) EmitByte(table.huffval[j]);
        }

        EmitMarker(M_SOS);
        Emit2Bytes(2 * srcChannels_ + 6);
        EmitByte(uint8_t(srcChannels_));
        for (uint32_t i = 0; i < srcChannels_; ++i) {
            EmitByte(uint8_t(i));
            EmitByte(uint8_t(i << 4));
        }
        EmitByte(1);  // predictor: left neighbour
        EmitByte(0);
        EmitByte(0);  // no point transform
    }

    // Needs room for 8 bytes (Reserve) when 32 bits or more are pending.
    void EmitBits(uint32_t code, int32_t size) {
        bitBuffer_ = (bitBuffer_ << size) | (code & ((uint64_t(1) << size) - 1));
        bitCount_ += size;
        // Bytes leave 32 bits at a time: at most 31 bits stay behind, so 32
        // more fit in the buffer.
        if (bitCount_ < 32) return;
        bitCount_ -= 32;
        const uint32_t word = uint32_t(bitBuffer_ >> bitCount_);
        uint8_t* out = out_.data() + used_;
        const uint32_t inverse = ~word;
        if (((inverse - 0x01010101u) & ~inverse & 0x80808080u) == 0) {
            // No 0xFF byte, so nothing to stuff.
            out[0] = uint8_t(word >> 24);
            out[1] = uint8_t(word >> 16);
            out[2] = uint8_t(word >> 8);
            out[3] = uint8_t(word);
            used_ += 4;
            return;
        }
        for (int shift = 24; shift >= 0; shift -= 8) {
            const uint8_t b = uint8_t(word >> shift);
            out[0] = b;
            if (b == 0xFF) {
                out[1] = 0;
                ++out;
                ++used_;
            }
            ++out;
            ++used_;
        }
    }

    void DrainBits() {
        while (bitCount_ >= 8) {
            bitCount_ -= 8;
            uint8_t b = uint8_t(bitBuffer_ >> bitCount_);
            EmitByte(b);
            if (b == 0xFF) EmitByte(0);
        }
    }

    void HuffEncode() {
        ForEachDifference(
            [this](uint32_t c, int16_t diff) {
                const HuffmanTable& table = huffTable_[c];
                const int32_t s = Category(diff);
                // The code and its extra bits leave together (at most 31 bits).
                uint32_t code = table.ehufco[s];
                int32_t size = table.ehufsi[s];
                if (s != 0 && s != 16) {
                    const int32_t bits = diff < 0 ? int32_t(diff) - 1 : int32_t(diff);
                    code = (code << s) | (uint32_t(bits) & ((1u << s) - 1));
                    size += s;
                }
                EmitBits(code, size);
            },
            [this] {
                // A sample takes at most 31 bits, twice that with stuffing.
                Reserve(size_t(srcCols_) * srcChannels_ * 8 + 8);
            });
    }

    void FlushBits() {
        DrainBits();
        if (bitCount_ > 0) {
            EmitBits(0x7F, 8 - bitCount_);
            DrainBits();
        }
        bitBuffer_ = 0;
        bitCount_ = 0;
    }

    const uint16_t* src_;
    uint32_t srcRows_;
    uint32_t srcCols_;
    uint32_t srcChannels_;
    uint32_t srcBitDepth_;
    int32_t srcRowStep_;
    int32_t srcColStep_;
    dng_stream& stream_;
    HuffmanTable huffTable_[4];
    uint32_t freqCount_[4][257];
    uint64_t bitBuffer_ = 0;
    int32_t bitCount_ = 0;
    std::vector<uint8_t> out_;
    size_t used_ = 0;
};

}  // namespace

void dng_ljpeg_encode(const uint16_t* src, uint32_t rows, uint32_t cols, uint32_t channels,
                      uint32_t bitDepth, int32_t rowStep, int32_t colStep, dng_stream& stream) {
    dng_ljpeg_encoder encoder(src, rows, cols, channels, bitDepth, rowStep, colStep, stream);
    encoder.Encode();
}
