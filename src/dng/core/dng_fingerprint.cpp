#include "dng/core/dng_fingerprint.h"

#include <cstring>

namespace {
int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}
}  // namespace

bool dng_fingerprint::IsNull() const {
    for (uint8 b : data)
        if (b) return false;
    return true;
}

bool dng_fingerprint::operator==(const dng_fingerprint& o) const {
    return std::memcmp(data, o.data, kDNGFingerprintSize) == 0;
}

void dng_fingerprint::ToHexText(char resultText[2 * kDNGFingerprintSize + 1]) const {
    static const char kDigits[] = "0123456789ABCDEF";
    for (uint32 i = 0; i < kDNGFingerprintSize; i++) {
        resultText[2 * i] = kDigits[data[i] >> 4];
        resultText[2 * i + 1] = kDigits[data[i] & 15];
    }
    resultText[2 * kDNGFingerprintSize] = 0;
}

bool dng_fingerprint::FromHexText(const char inputText[2 * kDNGFingerprintSize]) {
    uint8 bytes[kDNGFingerprintSize];
    for (uint32 i = 0; i < kDNGFingerprintSize; i++) {
        const int hi = HexValue(inputText[2 * i]);
        if (hi < 0) return false;
        const int lo = HexValue(inputText[2 * i + 1]);
        if (lo < 0) return false;
        bytes[i] = static_cast<uint8>(hi * 16 + lo);
    }
    std::memcpy(data, bytes, kDNGFingerprintSize);
    return true;
}
