// The application's own ICC profiles, generated with lcms2 from their primaries, white point,
// tone curves and descriptions the first time each is asked for.
//
// Ownership: the bytes and profiles live for the whole process. Every function is safe from
// several threads; each profile is generated exactly once.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "platform/IccProfile.h"

namespace platform {

enum class IccBuiltin {
    proPhotoPerceptual,            // "VodiRurar ProPhoto Perceptual", gamma 1.8, D50
    proPhotoGamma1,                // "VodiRurar ProPhoto Gamma 1", D50
    proPhotoGamma1D65,             // "VodiRurar ProPhoto Gamma 1", D65 white
    swappedSRGB,                   // "VodiRurar swapped sRGB", Rec. 709 primaries, gamma 2.2
    ccir709Gamma1D50,              // "VodiRurar CCIR Rec 709 Gamma 1.0 D50"
    proPhotoRelativeColorimetric,  // "VodiRurar ProPhoto cmRelativeColorimetric"
    proPhotoSaturation,            // "VodiRurar ProPhoto cmSaturation"
    proPhotoAbsoluteColorimetric,  // "VodiRurar ProPhoto cmAbsoluteColorimetric"
    palSecamGamma1,                // "VodiRurar PAL_SECAM RGB Gamma 1.0"
    palSecamGamma22,               // "VodiRurar PAL_SECAM RGB Gamma 2.2"
    ccir709Gamma1,                 // "VodiRurar CCIR Rec 709 Gamma 1.0"
    itu709,                        // "Rec. ITU-R BT.709-5", ICC version 4
    rec709Gamma1,                  // "Rec 709 Gamma 1"
    photoCD4e,                     // "E-6, 4 Series scanner"
    photoCD4k,                     // "Kodachrome, 4 Series scanner"
    photoCDXn,                     // "Negative, all scanners"
    photoCD2e,                     // "E-6, Pre-4 series scanner"
    photoCD2k,                     // "Kodachrome, Pre-4 series scanner"
    photoCDXg,                     // "Generic PCD"
    linearRGB,                     // "Linear RGB Profile"
    sRGB,                          // "sRGB IEC61966-2.1"
    genericLab,                    // "Generic Lab Profile", Lab identity (abstract class)
};
inline constexpr int kIccBuiltinCount = static_cast<int>(IccBuiltin::genericLab) + 1;

// The profile's ICC bytes; empty when lcms2 could not make them (then tried again next call).
std::vector<std::uint8_t> iccBuiltinBytes(IccBuiltin which);

// The profile made from those bytes, shared; null when they could not be made.
std::shared_ptr<const IccProfile> iccBuiltinProfile(IccBuiltin which);

// The description the profile carries, known without making it ("" for an unknown value).
const char* iccBuiltinDescription(IccBuiltin which);

// lcms2 stamps a profile with the time of making; profiles the program makes
// carry one fixed date instead, so the same image exported twice gives the
// same bytes. Left alone once the header has a profile ID, which covers the date.
void stampFixedCreationDate(std::vector<std::uint8_t>& bytes);

// Photo CD RGB as stored on the disc (0..1, where 1.0 is code 1388) to linear Rec. 709 light on
// the same scale as the decoder's linear output: reference white (encoded 1.0 of 1.402) lands
// at about 0.5, the brightest code at 1.0.
double photoCDEncodedToLinear(double encoded);

}  // namespace platform
