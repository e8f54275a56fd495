// A 16-byte digest; all zero is the null fingerprint. Plain value.
#pragma once

#include "dng/core/dng_types.h"

class dng_fingerprint {
public:
    static constexpr uint32 kDNGFingerprintSize = 16;
    uint8 data[kDNGFingerprintSize] = {};

    dng_fingerprint() = default;

    bool IsNull() const;
    bool IsValid() const { return !IsNull(); }
    void Clear() { *this = dng_fingerprint(); }

    bool operator==(const dng_fingerprint& o) const;
    bool operator!=(const dng_fingerprint& o) const { return !(*this == o); }

    // 32 upper-case hexadecimal digits and a NUL.
    void ToHexText(char resultText[2 * kDNGFingerprintSize + 1]) const;
    // 32 hexadecimal digits of either case; false (and no change) otherwise.
    bool FromHexText(const char inputText[2 * kDNGFingerprintSize]);
};
