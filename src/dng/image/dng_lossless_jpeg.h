// Lossless JPEG (ITU-T T.81 process 14, Huffman-coded, one interleaved scan)
// for 16-bit sample data: the encoder used for compressed raw tiles and the
// decoder used by the image data reader.
//
// Both entry points are plain functions over caller-owned memory and streams;
// their whole state lives on the caller's stack, so distinct calls may run on
// distinct threads at once (each with its own stream and spooler).
#pragma once

#include <cstdint>

#include "dng/core/dng_exception.h"

class dng_stream;

// Byte sink of the decoder: receives each finished row of 16-bit samples.
class dng_spooler {
public:
    virtual ~dng_spooler() = default;
    virtual void Spool(const void* data, uint32_t count) = 0;
};

// A stream the decoder cannot take: error 100006 with a short reason.
class dng_ljpeg_error : public dng_exception {
public:
    explicit dng_ljpeg_error(const char* reason)
        : dng_exception(dng_error_bad_format, reason), fReason(reason) {}
    const char* Reason() const { return fReason; }

private:
    const char* fReason;  // static text
};

// The reason of a decoder error, or a generic text for other exceptions.
const char* dng_ljpeg_failure_reason(const dng_exception& e);

// One Huffman table: the DHT counts and values plus everything derived from
// them for encoding (code and size by symbol) and decoding (T.81 F.2.2.3
// minimum/maximum codes and an 8-bit look-ahead table).
struct HuffmanTable {
    uint8_t bits[17] = {};      // bits[l]: number of codes of length l (1..16)
    uint8_t huffval[256] = {};  // symbol values in code order

    // Encoder side, by symbol value.
    uint16_t ehufco[256] = {};
    int8_t ehufsi[256] = {};

    // Decoder side, by code length.
    uint16_t mincode[17] = {};
    int32_t maxcode[18] = {};
    int16_t valptr[17] = {};

    // Look-ahead by the next 8 bits: code length (0 = longer code) and value.
    int32_t numbits[256] = {};
    int32_t value[256] = {};
};

// Derives codes, sizes and decoder tables from bits/huffval (T.81 Annex C).
// Throws 100006 when the counts describe an over-full code.
void dng_ljpeg_fix_table(HuffmanTable* table);

// Writes one complete lossless JPEG stream (SOI .. EOI) of a tile of unsigned
// 16-bit samples. Steps are in samples.
void dng_ljpeg_encode(const uint16_t* src, uint32_t rows, uint32_t cols, uint32_t channels,
                      uint32_t bitDepth, int32_t rowStep, int32_t colStep, dng_stream& stream);

// Decodes one lossless JPEG stream from the stream's position, handing each
// row (width x components 16-bit samples) to the spooler. The decoded size in
// bytes must lie within [minDecodedSize, maxDecodedSize]; endOfData is the
// stream offset where the compressed data ends.
void dng_ljpeg_decode(dng_stream& stream, dng_spooler& spooler, uint64_t minDecodedSize,
                      uint64_t maxDecodedSize, bool fullCategory16, uint64_t endOfData);
