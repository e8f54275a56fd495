#include "dng/image/dng_lzw.h"

dng_lzw_decoder::dng_lzw_decoder() : table_(kTableSize) {}

void dng_lzw_decoder::Reset() {
    for (int32_t i = 0; i < kTableSize; ++i) {
        table_[i] = Entry{-1, uint16_t(i), 1};
    }
    nextCode_ = 258;
    codeWidth_ = 9;
}

bool dng_lzw_decoder::GetCode(int32_t& code) {
    while (bitsLeft_ < codeWidth_) {
        if (srcOffset_ >= srcCount_) return false;
        bitBuffer_ = (bitBuffer_ << 8) | src_[srcOffset_++];
        bitsLeft_ += 8;
    }
    bitsLeft_ -= codeWidth_;
    code = int32_t((bitBuffer_ >> bitsLeft_) & ((1u << codeWidth_) - 1));
    return true;
}

bool dng_lzw_decoder::WriteString(int32_t code, bool appendFirst, bool& full) {
    const uint32_t length = uint32_t(table_[code].length) + (appendFirst ? 1 : 0);
    const uint32_t room = dstCount_ - dstOffset_;
    const uint32_t written = length < room ? length : room;
    // Walk from the string's end towards its root; bytes beyond the room are
    // skipped but the walk still reaches the first byte.
    uint32_t pos = length;  // one past the current byte, relative to the string start
    int32_t c = code;
    uint8_t first = 0;
    if (appendFirst) --pos;  // the appended byte is filled in once the first is known
    while (c >= 0) {
        if (c >= kTableSize || pos == 0) return false;
        --pos;
        first = uint8_t(table_[c].final);
        if (pos < written) dst_[dstOffset_ + pos] = first;
        c = table_[c].prefix;
        if (c < -1) return false;
    }
    if (pos != 0) return false;
    if (appendFirst && length - 1 < written) dst_[dstOffset_ + length - 1] = first;
    dstOffset_ += written;
    full = dstOffset_ == dstCount_;
    return true;
}

bool dng_lzw_decoder::Decode(const uint8_t* src, uint32_t srcCount, uint8_t* dst,
                             uint32_t dstCount) {
    src_ = src;
    srcCount_ = srcCount;
    srcOffset_ = 0;
    bitBuffer_ = 0;
    bitsLeft_ = 0;
    dst_ = dst;
    dstCount_ = dstCount;
    dstOffset_ = 0;
    if (dstCount == 0) return true;

    for (;;) {
        Reset();
        int32_t code;
        do {
            if (!GetCode(code)) return false;
        } while (code == kClearCode);
        if (code == kEndCode) return true;
        if (code > kEndCode) return false;

        dst_[dstOffset_++] = uint8_t(code);
        if (dstOffset_ == dstCount_) return true;
        int32_t oldCode = code;

        for (;;) {
            if (!GetCode(code)) return false;
            if (code == kClearCode) break;
            if (code == kEndCode) return true;

            bool full = false;
            const uint32_t start = dstOffset_;
            if (code < nextCode_) {
                if (!WriteString(code, false, full)) return false;
            } else if (code == nextCode_) {
                if (!WriteString(oldCode, true, full)) return false;
            } else {
                return false;
            }
            if (full) return true;

            if (nextCode_ < 4096) {
                table_[nextCode_] = Entry{int16_t(oldCode), uint16_t(dst_[start]),
                                          uint16_t(table_[oldCode].length + 1)};
                ++nextCode_;
                if (nextCode_ == (1 << codeWidth_) - 1 && codeWidth_ < 12) ++codeWidth_;
            }
            oldCode = code;
        }
    }
}
