// ICC profile bytes from anywhere: reading the header and description, and joining the profile
// with a working space for every pixel layout, must refuse bad data without crashing.
#include <cstddef>
#include <cstdint>

#include "FuzzSupport.h"
#include "platform/IccBuiltins.h"
#include "platform/IccTransform.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzzsupport::quietLog();
    const auto profile = platform::IccProfile::fromBytes(data, size);
    if (!profile) return 0;
    (void)profile->description();
    (void)profile->channelCount();
    static const auto working =
        platform::iccBuiltinProfile(platform::IccBuiltin::proPhotoGamma1D65);
    for (const auto& [from, to] : {std::pair{profile, working}, std::pair{working, profile}}) {
        const auto t = platform::IccTransform::create(from, to);
        if (!t) continue;
        std::uint16_t rgba16[4 * 4] = {0,     1000, 65535, 7, 30000, 30000, 30000, 1,
                                       65535, 0,    0,     2, 5,     5,     5,     3};
        float rgba[4 * 4] = {0.f,   0.5f, 1.f, 1.f, 2.f,  -1.f, 0.25f, 0.f,
                             1e30f, 0.f,  0.f, 1.f, 0.1f, 0.2f, 0.3f,  0.4f};
        float rgb[3 * 4] = {0.f, 0.5f, 1.f, 0.3f, 0.3f, 0.3f, 1.f, 1.f, 1.f, 0.9f, 0.1f, 0.1f};
        t->convertRGBA16(rgba16, 2, 2, 16);
        t->convertRGBAFloat(rgba, 2, 2, 32);
        t->convertRGBFloat(rgb, 2, 2, 24);
    }
    return 0;
}
