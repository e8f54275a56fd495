#include "platform/KeyHash.h"

#include <chrono>
#include <cstdint>
#include <cstring>
#include <random>

namespace platform {

namespace {

struct Secret {
    uint64_t k0, k1;
};

const Secret& secret() {
    static const Secret s = [] {
        try {
            std::random_device device;
            auto word = [&] { return (uint64_t(device()) << 32) ^ device(); };
            return Secret{word(), word()};
        } catch (...) {
            // No entropy source: the clock still differs from run to run.
            const auto t = uint64_t(std::chrono::steady_clock::now().time_since_epoch().count());
            return Secret{t * 0x9E3779B97F4A7C15ull, ~t};
        }
    }();
    return s;
}

constexpr uint64_t rotl(uint64_t x, int b) { return (x << b) | (x >> (64 - b)); }

struct SipState {
    uint64_t v0, v1, v2, v3;
    void round() {
        v0 += v1;
        v1 = rotl(v1, 13);
        v1 ^= v0;
        v0 = rotl(v0, 32);
        v2 += v3;
        v3 = rotl(v3, 16);
        v3 ^= v2;
        v0 += v3;
        v3 = rotl(v3, 21);
        v3 ^= v0;
        v2 += v1;
        v1 = rotl(v1, 17);
        v1 ^= v2;
        v2 = rotl(v2, 32);
    }
    void absorb(uint64_t m) {
        v3 ^= m;
        round();
        v0 ^= m;
    }
};

}  // namespace

size_t keyHash(std::string_view key) noexcept {
    const Secret& k = secret();
    SipState s{k.k0 ^ 0x736f6d6570736575ull, k.k1 ^ 0x646f72616e646f6dull,
               k.k0 ^ 0x6c7967656e657261ull, k.k1 ^ 0x7465646279746573ull};
    const char* p = key.data();
    const size_t n = key.size();
    const size_t whole = n & ~size_t(7);
    for (size_t i = 0; i < whole; i += 8) {
        uint64_t m;
        std::memcpy(&m, p + i, 8);
        s.absorb(m);
    }
    uint64_t last = uint64_t(n) << 56;
    for (size_t i = 0; i < (n & 7); ++i) last |= uint64_t(uint8_t(p[whole + i])) << (8 * i);
    s.absorb(last);
    s.v2 ^= 0xff;
    s.round();
    s.round();
    s.round();
    return size_t(s.v0 ^ s.v1 ^ s.v2 ^ s.v3);
}

}  // namespace platform
