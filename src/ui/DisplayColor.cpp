#include "ui/DisplayColor.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <optional>
#include <vector>

#include "platform/IccTransform.h"
#include "platform/Log.h"

#if defined(QUORVEX_HAVE_XCB)
#include <xcb/xcb.h>
#endif

namespace platform {

namespace {

std::mutex gScreenMutex;
std::shared_ptr<const IccProfile> gScreen;  // guarded by gScreenMutex

#if defined(QUORVEX_HAVE_XCB)
// The profile a colour manager publishes on the root window of the X screen.
std::shared_ptr<const IccProfile> xScreenProfile() {
    const char* display = std::getenv("DISPLAY");
    if (!display || !*display) return nullptr;
    int screenNumber = 0;
    xcb_connection_t* c = xcb_connect(nullptr, &screenNumber);
    if (!c || xcb_connection_has_error(c)) {
        if (c) xcb_disconnect(c);
        return nullptr;
    }
    std::shared_ptr<const IccProfile> profile;
    const char name[] = "_ICC_PROFILE";
    xcb_intern_atom_reply_t* atom =
        xcb_intern_atom_reply(c, xcb_intern_atom(c, 1, sizeof name - 1, name), nullptr);
    xcb_screen_iterator_t it = xcb_setup_roots_iterator(xcb_get_setup(c));
    for (int i = 0; i < screenNumber && it.rem; ++i) xcb_screen_next(&it);
    if (atom && atom->atom != XCB_ATOM_NONE && it.rem) {
        // At most the largest profile we accept (the length is in 32-bit units).
        const uint32_t longs = uint32_t(IccProfile::kMaxProfileBytes / 4);
        xcb_get_property_reply_t* reply = xcb_get_property_reply(
            c, xcb_get_property(c, 0, it.data->root, atom->atom, XCB_ATOM_ANY, 0, longs), nullptr);
        if (reply && reply->format == 8) {
            const int length = xcb_get_property_value_length(reply);
            if (length > 128)
                profile = IccProfile::fromBytes(xcb_get_property_value(reply), size_t(length));
        }
        std::free(reply);
    }
    std::free(atom);
    xcb_disconnect(c);
    return profile;
}
#endif

std::shared_ptr<const IccProfile> lookUpScreenProfile() {
    if (const char* path = std::getenv("QUORVEX_SCREEN_ICC"); path && *path) {
        std::string reason;
        if (auto p = IccProfile::fromFile(path, &reason)) return p;
        log("screen profile %s not usable: %s", path, reason.c_str());
    }
#if defined(QUORVEX_HAVE_XCB)
    if (auto p = xScreenProfile()) return p;
#endif
    return IccProfile::named(IccNamedProfile::sRGB);
}

// Four pixels per step in GCC/Clang vector lanes (SSE2 on x86-64, NEON on ARM).
typedef float v4sf __attribute__((vector_size(16)));
typedef int32_t v4si __attribute__((vector_size(16)));
typedef uint32_t v4su __attribute__((vector_size(16)));

// A 32-bit word of 16-bit RGBA holds channels 0 and 1, or 2 and alpha.
constexpr bool kLittleHost = __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__;
constexpr int kFirstShift = kLittleHost ? 0 : 16, kSecondShift = kLittleHost ? 16 : 0;

// mask ? a : b for lanes of all ones or all zeros.
inline v4si select4(v4si mask, v4si a, v4si b) { return (a & mask) | (b & ~mask); }
inline v4sf select4(v4si mask, v4sf a, v4sf b) {
    return reinterpret_cast<v4sf>(
        select4(mask, reinterpret_cast<v4si>(a), reinterpret_cast<v4si>(b)));
}

// What the tile's samples go through before the screen's conversion.
struct Prepass {
    bool swapBytes = false;  // the tile's 16-bit order is not the host's
    bool dim = false;        // colours beyond the screen's white are dimmed
    v4sf m[9];               // source to screen linear RGB, per 65535 (dim only)
};

// One channel of four tile samples on lcms2's scale. 65325 is 1.0 in the engine, 65535 in
// lcms2: min(65535, (v * 65535 + 32662) / 65325), written v + (210 v + 32662) / 65325, whose
// quotient (at most 211) a float product finds exactly for every 16-bit v.
[[gnu::always_inline]] inline v4si fullScale(v4su v) {
    const v4sf y = __builtin_convertvector(reinterpret_cast<v4si>(v * 210u + 32662u), v4sf);
    const v4si sum = reinterpret_cast<v4si>(v) + __builtin_convertvector(y * (1.f / 65325.f), v4si);
    const v4si white = v4si{} + 65535;
    return select4(sum > white, white, sum);
}

// lround(v / divisor) for non-negative lanes: the whole part, plus one from a half up.
[[gnu::always_inline]] inline v4si roundedQuotient(v4si v, v4sf divisor) {
    const v4sf q = __builtin_convertvector(v, v4sf) / divisor;
    const v4si whole = __builtin_convertvector(q, v4si);
    const v4sf fraction = q - __builtin_convertvector(whole, v4sf);
    return whole - (fraction >= v4sf{} + 0.5f);  // a true lane is -1
}

// Four tile pixels to lcms2's scale, dimmed, as 16-bit RGBA words. Dimming divides a colour
// by its largest screen-linear channel when that exceeds 1, rounding as lround does, and so
// keeps the hue.
[[gnu::always_inline]] inline void prepareQuad(const Prepass& k, const uint8_t* src, uint8_t* dst) {
    v4su w0, w1;
    std::memcpy(&w0, src, 16);
    std::memcpy(&w1, src + 16, 16);
    if (k.swapBytes) {
        w0 = ((w0 >> 8) & 0x00ff00ffu) | ((w0 << 8) & 0xff00ff00u);
        w1 = ((w1 >> 8) & 0x00ff00ffu) | ((w1 << 8) & 0xff00ff00u);
    }
    const v4su pair01 = __builtin_shufflevector(w0, w1, 0, 2, 4, 6);
    const v4su pair2a = __builtin_shufflevector(w0, w1, 1, 3, 5, 7);
    const v4su low = v4su{} + 0xffffu;
    v4si r = fullScale((pair01 >> kFirstShift) & low);
    v4si g = fullScale((pair01 >> kSecondShift) & low);
    v4si b = fullScale((pair2a >> kFirstShift) & low);
    if (k.dim) {
        const v4sf fr = __builtin_convertvector(r, v4sf);
        const v4sf fg = __builtin_convertvector(g, v4sf);
        const v4sf fb = __builtin_convertvector(b, v4sf);
        const v4sf l0 = k.m[0] * fr + k.m[1] * fg + k.m[2] * fb;
        const v4sf l1 = k.m[3] * fr + k.m[4] * fg + k.m[5] * fb;
        const v4sf l2 = k.m[6] * fr + k.m[7] * fg + k.m[8] * fb;
        // std::max({l0, l1, l2}).
        v4sf top = select4(l0 < l1, l1, l0);
        top = select4(top < l2, l2, top);
        const v4sf one = v4sf{} + 1.0f;
        const v4si beyond = top > one;
        const v4si any = beyond | __builtin_shufflevector(beyond, beyond, 2, 3, 0, 1);
        if ((any | __builtin_shufflevector(any, any, 1, 0, 3, 2))[0]) {
            // Colours within the white are divided by one, which leaves them as they are.
            const v4sf divisor = select4(beyond, top, one);
            r = roundedQuotient(r, divisor);
            g = roundedQuotient(g, divisor);
            b = roundedQuotient(b, divisor);
        }
    }
    const v4su o01 = reinterpret_cast<v4su>(r) << kFirstShift | reinterpret_cast<v4su>(g)
                                                                    << kSecondShift;
    const v4su o2a = reinterpret_cast<v4su>(b) << kFirstShift | (low << kSecondShift);
    w0 = __builtin_shufflevector(o01, o2a, 0, 4, 1, 5);
    w1 = __builtin_shufflevector(o01, o2a, 2, 6, 3, 7);
    std::memcpy(dst, &w0, 16);
    std::memcpy(dst + 16, &w1, 16);
}

// One channel of four 16-bit samples as 8 bits, (v * 255 + 32767) / 65535: x / 65535 is
// (x + 1 + (x >> 16)) >> 16 for every x up to 65535 * 255 + 32767.
[[gnu::always_inline]] inline v4su eightBits(v4su v) {
    const v4su x = v * 255u + 32767u;
    return (x + 1u + (x >> 16)) >> 16;
}

// Four converted 16-bit pixels as opaque QRgb words.
[[gnu::always_inline]] inline void eightBitQuad(const uint8_t* src, uint8_t* dst) {
    v4su w0, w1;
    std::memcpy(&w0, src, 16);
    std::memcpy(&w1, src + 16, 16);
    const v4su pair01 = __builtin_shufflevector(w0, w1, 0, 2, 4, 6);
    const v4su pair2a = __builtin_shufflevector(w0, w1, 1, 3, 5, 7);
    const v4su low = v4su{} + 0xffffu;
    const v4su out = (v4su{} + 0xff000000u) | eightBits((pair01 >> kFirstShift) & low) << 16 |
                     eightBits((pair01 >> kSecondShift) & low) << 8 |
                     eightBits((pair2a >> kFirstShift) & low);
    std::memcpy(dst, &out, 16);
}

// n pixels through prepareQuad, four at a time; the last one to three through a padded copy,
// so that no byte beyond either run is read or written.
void prepareRun(const Prepass& k, const uint8_t* src, size_t n, uint8_t* dst) {
    size_t x = 0;
    for (; x + 4 <= n; x += 4) prepareQuad(k, src + x * 8, dst + x * 8);
    if (x < n) {
        uint8_t in[32] = {}, out[32];
        std::memcpy(in, src + x * 8, (n - x) * 8);
        prepareQuad(k, in, out);
        std::memcpy(dst + x * 8, out, (n - x) * 8);
    }
}

// The same for eightBitQuad.
void eightBitRun(const uint8_t* src, size_t n, uint8_t* dst) {
    size_t x = 0;
    for (; x + 4 <= n; x += 4) eightBitQuad(src + x * 8, dst + x * 4);
    if (x < n) {
        uint8_t in[32] = {}, out[16];
        std::memcpy(in, src + x * 8, (n - x) * 8);
        eightBitQuad(in, out);
        std::memcpy(dst + x * 4, out, (n - x) * 4);
    }
}

}  // namespace

std::shared_ptr<const IccProfile> DisplayColor::screenProfile() {
    std::lock_guard lock(gScreenMutex);
    if (!gScreen) gScreen = lookUpScreenProfile();
    return gScreen;
}

void DisplayColor::forgetScreenProfile() {
    std::lock_guard lock(gScreenMutex);
    gScreen.reset();
}

QImage DisplayColor::screenImage(const BitmapImage& tile,
                                 const std::shared_ptr<const IccProfile>& screen) {
    const auto& provider = tile.dataProvider();
    if (!provider || tile.isFloat() || tile.bitsPerComponent() != 16 || tile.bitsPerPixel() != 64)
        return {};
    const size_t w = tile.width(), h = tile.height(), rowBytes = tile.bytesPerRow();
    if (w == 0 || h == 0 || rowBytes < w * 8 || provider->length() < (h - 1) * rowBytes + w * 8)
        return {};
    const uint32_t order = effectiveBitmapByteOrder(tile.bitmapInfo(), 16);

    Prepass prepass;
    prepass.swapBytes = (order == kBitmapByteOrder16Little) != kLittleHost;
    std::shared_ptr<const IccProfile> source =
        tile.colorSpace() ? tile.colorSpace()->profile() : nullptr;
    // As the engine's own renderings: a colour beyond the screen's white is
    // dimmed as a whole in the screen's linear space, keeping its hue, rather
    // than clipped channel by channel.
    if (const auto m = source && screen ? linearRGBMatrix(*source, *screen) : std::nullopt) {
        prepass.dim = true;
        for (size_t i = 0; i < 9; ++i) prepass.m[i] = v4sf{} + float((*m)[i] / 65535.0);
    }
    std::shared_ptr<const IccTransform> transform;
    if (source && screen) {
        transform = IccTransform::shared(source, screen);
        if (!transform) return {};
    }
    QImage image(int(w), int(h), QImage::Format_RGB32);
    if (image.isNull()) return {};

    // Runs of whole rows (or pieces of a long row) go through a scratch block
    // that stays in the first-level cache: prepared, converted, written out.
    constexpr size_t kChunk = 2048;
    alignas(16) uint8_t scratch[kChunk * 8];
    const size_t runWidth = std::min(w, kChunk), rowsPerChunk = kChunk / runWidth;
    const uint8_t* tileBytes = provider->bytes();
    for (size_t y0 = 0; y0 < h; y0 += rowsPerChunk) {
        const size_t rows = std::min(rowsPerChunk, h - y0);
        for (size_t x0 = 0; x0 < w; x0 += runWidth) {
            const size_t n = std::min(runWidth, w - x0);
            for (size_t r = 0; r < rows; ++r)
                prepareRun(prepass, tileBytes + (y0 + r) * rowBytes + x0 * 8, n,
                           scratch + r * n * 8);
            if (transform && !transform->convertRGBA16(reinterpret_cast<uint16_t*>(scratch),
                                                       rows * n, 1, rows * n * 8))
                return {};
            for (size_t r = 0; r < rows; ++r)
                eightBitRun(scratch + r * n * 8, n, image.scanLine(int(y0 + r)) + x0 * 4);
        }
    }
    return image;
}

}  // namespace platform
