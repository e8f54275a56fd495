// PackBits: a signed control byte n; 0..127 copies n + 1 literal bytes,
// -127..-1 repeats the next byte 1 - n times, -128 is a no-op.

#include "dng/image/dng_packbits.h"

#include <cstring>

#include "dng/core/dng_stream.h"

bool DecodePackBits(dng_stream& stream, uint8_t* dst, uint32_t dstCount) {
    uint32_t done = 0;
    while (done < dstCount) {
        const int32_t n = int8_t(stream.GetUInt8());
        if (n >= 0) {
            const uint32_t count = uint32_t(n) + 1;
            if (count > dstCount - done) return false;
            stream.ReadBytes(dst + done, count);
            done += count;
        } else if (n != -128) {
            const uint32_t count = uint32_t(1 - n);
            if (count > dstCount - done) return false;
            std::memset(dst + done, stream.GetUInt8(), count);
            done += count;
        }
    }
    return true;
}
