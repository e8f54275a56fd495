// TIFF LZW decoding (compression 5): codes packed most significant bit first,
// 9 to 12 bits wide with the early width change, clear 256, end 257.
#pragma once

#include <cstdint>
#include <vector>

// Decodes one LZW-coded block. One decoder may be reused for several blocks
// but not shared between threads.
class dng_lzw_decoder {
public:
    dng_lzw_decoder();

    // Decodes src into exactly dstCount bytes of dst. Reads no byte at or past
    // src + srcCount. False on a malformed code or when the source runs out
    // before dstCount bytes (or the end code) arrive.
    bool Decode(const uint8_t* src, uint32_t srcCount, uint8_t* dst, uint32_t dstCount);

private:
    struct Entry {
        int16_t prefix;
        uint16_t final;
        uint16_t length;
    };

    static constexpr int32_t kTableSize = 4097;
    static constexpr int32_t kClearCode = 256;
    static constexpr int32_t kEndCode = 257;

    void Reset();
    bool GetCode(int32_t& code);
    // Writes the string of code (optionally followed by extra) at the output
    // position; returns false on a broken table. Sets full when the output
    // is complete.
    bool WriteString(int32_t code, bool appendFirst, bool& full);

    std::vector<Entry> table_;
    int32_t nextCode_ = 0;
    int32_t codeWidth_ = 0;

    const uint8_t* src_ = nullptr;
    uint32_t srcCount_ = 0;
    uint32_t srcOffset_ = 0;
    uint32_t bitBuffer_ = 0;
    int32_t bitsLeft_ = 0;

    uint8_t* dst_ = nullptr;
    uint32_t dstCount_ = 0;
    uint32_t dstOffset_ = 0;
};
