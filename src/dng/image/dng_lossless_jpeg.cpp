// Huffman table derivation shared by the lossless JPEG encoder and decoder
// (T.81 Annex C and F.2.2.3).

#include "dng/image/dng_lossless_jpeg.h"

#include "dng/core/dng_exception.h"

const char* dng_ljpeg_failure_reason(const dng_exception& e) {
    if (const auto* ljpeg = dynamic_cast<const dng_ljpeg_error*>(&e)) return ljpeg->Reason();
    return e.what();
}

void dng_ljpeg_fix_table(HuffmanTable* table) {
    uint8_t huffsize[257];
    uint16_t huffcode[257];

    int32_t p = 0;
    for (int32_t l = 1; l <= 16; ++l) {
        for (int32_t i = 1; i <= int32_t(table->bits[l]); ++i) {
            if (p >= 256) throw dng_ljpeg_error("Huffman table has more than 256 codes");
            huffsize[p++] = uint8_t(l);
        }
    }
    huffsize[p] = 0;
    const int32_t lastp = p;

    uint32_t code = 0;
    int32_t si = huffsize[0];
    p = 0;
    while (huffsize[p]) {
        while (huffsize[p] == si) {
            huffcode[p++] = uint16_t(code);
            ++code;
        }
        // An over-full length would need a code of si bits >= 2^si.
        if (code > (1u << si)) throw dng_ljpeg_error("Huffman table is over-full");
        code <<= 1;
        ++si;
    }

    for (int32_t i = 0; i < 256; ++i) {
        table->ehufco[i] = 0;
        table->ehufsi[i] = 0;
    }
    for (p = 0; p < lastp; ++p) {
        table->ehufco[table->huffval[p]] = huffcode[p];
        table->ehufsi[table->huffval[p]] = int8_t(huffsize[p]);
    }

    p = 0;
    for (int32_t l = 1; l <= 16; ++l) {
        if (table->bits[l]) {
            table->valptr[l] = int16_t(p);
            table->mincode[l] = huffcode[p];
            p += table->bits[l];
            table->maxcode[l] = huffcode[p - 1];
        } else {
            table->valptr[l] = 0;
            table->mincode[l] = 0;
            table->maxcode[l] = -1;
        }
    }
    table->maxcode[17] = 0xFFFFF;  // ensures the decoder's code-extension loop ends

    for (int32_t i = 0; i < 256; ++i) {
        table->numbits[i] = 0;
        table->value[i] = 0;
    }
    for (p = 0; p < lastp; ++p) {
        const int32_t size = huffsize[p];
        if (size <= 8) {
            const int32_t ll = int32_t(huffcode[p]) << (8 - size);
            const int32_t ul = ll | ((1 << (8 - size)) - 1);
            if (ul > 255) throw dng_ljpeg_error("Huffman table is over-full");
            for (int32_t i = ll; i <= ul; ++i) {
                table->numbits[i] = size;
                table->value[i] = table->huffval[p];
            }
        }
    }
}
