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

// 65325 as 1.0 to lcms2's 65535, and 16-bit to 8-bit, rounded: made once.
const uint16_t* engineToFullScale() {
    static const std::vector<uint16_t> table = [] {
        std::vector<uint16_t> t(65536);
        for (uint32_t v = 0; v < 65536; ++v)
            t[v] = uint16_t(std::min<uint32_t>(65535, (v * 65535u + 32662u) / 65325u));
        return t;
    }();
    return table.data();
}

const uint8_t* sixteenToEight() {
    static const std::vector<uint8_t> table = [] {
        std::vector<uint8_t> t(65536);
        for (uint32_t v = 0; v < 65536; ++v) t[v] = uint8_t((v * 255u + 32767u) / 65535u);
        return t;
    }();
    return table.data();
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
    const bool little = order == kBitmapByteOrder16Little;

    // 65325 is 1.0 in the engine; lcms2 takes 65535 as 1.0.
    const uint16_t* toFull = engineToFullScale();
    std::vector<uint16_t> pixels(w * h * 4);
    for (size_t y = 0; y < h; ++y) {
        const uint8_t* in = provider->bytes() + y * rowBytes;
        uint16_t* out = pixels.data() + y * w * 4;
        for (size_t i = 0; i < w * 4; ++i) {
            const uint32_t v = little ? uint32_t(in[2 * i]) | uint32_t(in[2 * i + 1]) << 8
                                      : uint32_t(in[2 * i]) << 8 | uint32_t(in[2 * i + 1]);
            out[i] = toFull[v];
        }
    }
    std::shared_ptr<const IccProfile> source =
        tile.colorSpace() ? tile.colorSpace()->profile() : nullptr;
    // As the engine's own renderings: a colour beyond the screen's white is
    // dimmed as a whole in the screen's linear space, keeping its hue, rather
    // than clipped channel by channel.
    if (const auto m = source && screen ? linearRGBMatrix(*source, *screen) : std::nullopt) {
        float f[9];
        for (int i = 0; i < 9; ++i) f[i] = float((*m)[size_t(i)] / 65535.0);
        for (size_t i = 0; i < w * h; ++i) {
            uint16_t* p = pixels.data() + i * 4;
            const float r = p[0], g = p[1], b = p[2];
            const float top =
                std::max({f[0] * r + f[1] * g + f[2] * b, f[3] * r + f[4] * g + f[5] * b,
                          f[6] * r + f[7] * g + f[8] * b});
            if (top > 1.0f)
                for (int c = 0; c < 3; ++c) p[c] = uint16_t(std::lround(p[c] / top));
        }
    }
    if (source && screen) {
        auto transform = IccTransform::shared(source, screen);
        if (!transform || !transform->convertRGBA16(pixels.data(), w, h, w * 8)) return {};
    }
    QImage image(int(w), int(h), QImage::Format_RGB32);
    if (image.isNull()) return {};
    const uint8_t* toEight = sixteenToEight();
    for (size_t y = 0; y < h; ++y) {
        const uint16_t* in = pixels.data() + y * w * 4;
        auto* out = reinterpret_cast<QRgb*>(image.scanLine(int(y)));
        for (size_t x = 0; x < w; ++x, in += 4)
            out[x] = qRgb(toEight[in[0]], toEight[in[1]], toEight[in[2]]);
    }
    return image;
}

}  // namespace platform
