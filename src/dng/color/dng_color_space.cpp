#include "dng/color/dng_color_space.h"

#include <lcms2.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <string>
#include <vector>

#include "dng/color/dng_xy_coord.h"
#include "dng/core/dng_exception.h"
#include "platform/Colorimetry.h"
#include "platform/IccBuiltins.h"

namespace {

// Cubic Hermite from (0, 0) with slope s0 to (x1, y1) with slope s1: replaces
// the infinite slope of a pure power curve near black.
real64 HermiteSegment(real64 x, real64 x1, real64 y1, real64 s0, real64 s1) {
    const real64 a = x1;
    const real64 p = x / a;
    const real64 q = (x1 - x) / a;
    return s0 * a * p * q * q + (y1 * (2.0 - p + q) - s1 * a * q) * p * p;
}

constexpr real64 kGamma18X1 = 0.00082118790552;
constexpr real64 kGamma18Y1 = 0.019310851;
constexpr real64 kGamma18S1 = 13.064306598;
constexpr real64 kGamma22X1 = 0.0034800731;
constexpr real64 kGamma22Y1 = 0.0763027458;
constexpr real64 kGamma22S1 = 9.9661890075;
constexpr real64 kHermiteS0 = 32.0;

enum class Curve { sRGB, Gamma18, Gamma22 };

struct ProfileDeleter {
    void operator()(void* profile) const { cmsCloseProfile(profile); }
};
using ProfilePtr = std::unique_ptr<void, ProfileDeleter>;

struct CurveDeleter {
    void operator()(cmsToneCurve* curve) const { cmsFreeToneCurve(curve); }
};
using CurvePtr = std::unique_ptr<cmsToneCurve, CurveDeleter>;

CurvePtr MakeCurve(Curve curve) {
    if (curve == Curve::sRGB) {
        // The device-to-linear direction, tabulated.
        std::vector<cmsUInt16Number> table(1024);
        const dng_1d_function& encode = dng_function_GammaEncode_sRGB::Get();
        for (size_t i = 0; i < table.size(); ++i) {
            const real64 linear = encode.EvaluateInverse((real64)i / 1023.0);
            table[i] = (cmsUInt16Number)std::lround(std::clamp(linear, 0.0, 1.0) * 65535.0);
        }
        return CurvePtr(
            cmsBuildTabulatedToneCurve16(nullptr, (cmsUInt32Number)table.size(), table.data()));
    }
    const real64 gamma = curve == Curve::Gamma18 ? 461.0 / 256.0 : 563.0 / 256.0;
    return CurvePtr(cmsBuildGamma(nullptr, gamma));
}

void SetDescription(cmsHPROFILE profile, const char* text) {
    cmsMLU* mlu = cmsMLUalloc(nullptr, 1);
    if (!mlu) ThrowDNGError(dng_error_memory, "ICC description");
    cmsMLUsetASCII(mlu, "en", "US", text);
    const bool ok = cmsWriteTag(profile, cmsSigProfileDescriptionTag, mlu);
    cmsMLUfree(mlu);
    if (!ok) ThrowDNGError(dng_error_memory, "ICC description");
}

ProfilePtr MakeProfileHeader(cmsColorSpaceSignature space, const char* description) {
    ProfilePtr profile(cmsCreateProfilePlaceholder(nullptr));
    if (!profile) ThrowDNGError(dng_error_memory, "ICC profile");
    cmsSetProfileVersion(profile.get(), 2.1);
    cmsSetDeviceClass(profile.get(), cmsSigDisplayClass);
    cmsSetColorSpace(profile.get(), space);
    cmsSetPCS(profile.get(), cmsSigXYZData);
    cmsSetHeaderRenderingIntent(profile.get(), INTENT_PERCEPTUAL);
    SetDescription(profile.get(), description);
    const dng_vector_3 white = PCStoXYZ();
    cmsCIEXYZ wtpt = {white[0], white[1], white[2]};
    if (!cmsWriteTag(profile.get(), cmsSigMediaWhitePointTag, &wtpt))
        ThrowDNGError(dng_error_memory, "ICC white");
    return profile;
}

std::vector<uint8> Serialize(cmsHPROFILE profile) {
    cmsUInt32Number size = 0;
    if (!cmsSaveProfileToMem(profile, nullptr, &size) || size == 0)
        ThrowDNGError(dng_error_memory, "ICC profile");
    std::vector<uint8> bytes(size);
    if (!cmsSaveProfileToMem(profile, bytes.data(), &size))
        ThrowDNGError(dng_error_memory, "ICC profile");
    bytes.resize(size);
    platform::stampFixedCreationDate(bytes);
    return bytes;
}

std::vector<uint8> MakeRGBProfile(const char* description, const dng_matrix& toPCS, Curve curve) {
    ProfilePtr profile = MakeProfileHeader(cmsSigRgbData, description);
    const cmsTagSignature colorants[3] = {cmsSigRedColorantTag, cmsSigGreenColorantTag,
                                          cmsSigBlueColorantTag};
    const cmsTagSignature curves[3] = {cmsSigRedTRCTag, cmsSigGreenTRCTag, cmsSigBlueTRCTag};
    CurvePtr trc = MakeCurve(curve);
    if (!trc) ThrowDNGError(dng_error_memory, "ICC curve");
    for (uint32 c = 0; c < 3; ++c) {
        cmsCIEXYZ xyz = {toPCS[0][c], toPCS[1][c], toPCS[2][c]};
        if (!cmsWriteTag(profile.get(), colorants[c], &xyz))
            ThrowDNGError(dng_error_memory, "ICC colorant");
    }
    // One curve shared by the three channels keeps the profile small.
    if (!cmsWriteTag(profile.get(), curves[0], trc.get()) ||
        !cmsLinkTag(profile.get(), curves[1], curves[0]) ||
        !cmsLinkTag(profile.get(), curves[2], curves[0]))
        ThrowDNGError(dng_error_memory, "ICC curve");
    return Serialize(profile.get());
}

std::vector<uint8> MakeGrayProfile(const char* description, Curve curve) {
    ProfilePtr profile = MakeProfileHeader(cmsSigGrayData, description);
    CurvePtr trc = MakeCurve(curve);
    if (!trc || !cmsWriteTag(profile.get(), cmsSigGrayTRCTag, trc.get()))
        ThrowDNGError(dng_error_memory, "ICC curve");
    return Serialize(profile.get());
}

bool HandOut(const std::vector<uint8>& bytes, uint32& size, const uint8*& data) {
    size = (uint32)bytes.size();
    data = bytes.data();
    return true;
}

}  // namespace

// ---- Encoding curves ------------------------------------------------------

real64 dng_function_GammaEncode_sRGB::Evaluate(real64 x) const {
    if (x <= 0.0031308) return x * 12.92;
    return 1.055 * std::pow(x, 1.0 / 2.4) - 0.055;
}

real64 dng_function_GammaEncode_sRGB::EvaluateInverse(real64 y) const {
    // 0.040449936 is where the two branches of the forward curve meet.
    if (y <= 0.040449936) return y / 12.92;
    return std::pow((y + 0.055) / 1.055, 2.4);
}

const dng_1d_function& dng_function_GammaEncode_sRGB::Get() {
    static const auto& function = *new dng_function_GammaEncode_sRGB;
    return function;
}

real64 dng_function_GammaEncode_1_8::Evaluate(real64 x) const {
    if (x <= kGamma18X1) return HermiteSegment(x, kGamma18X1, kGamma18Y1, kHermiteS0, kGamma18S1);
    return std::pow(x, 1.0 / 1.8);
}

real64 dng_function_GammaEncode_1_8::EvaluateInverse(real64 y) const {
    if (y > 0.0 && y < kGamma18Y1) return dng_1d_function::EvaluateInverse(y);
    return std::pow(y, 1.8);
}

const dng_1d_function& dng_function_GammaEncode_1_8::Get() {
    static const dng_function_GammaEncode_1_8 function;
    return function;
}

real64 dng_function_GammaEncode_2_2::Evaluate(real64 x) const {
    if (x <= kGamma22X1) return HermiteSegment(x, kGamma22X1, kGamma22Y1, kHermiteS0, kGamma22S1);
    return std::pow(x, 1.0 / 2.2);
}

real64 dng_function_GammaEncode_2_2::EvaluateInverse(real64 y) const {
    if (y > 0.0 && y < kGamma22Y1) return dng_1d_function::EvaluateInverse(y);
    return std::pow(y, 2.2);
}

const dng_1d_function& dng_function_GammaEncode_2_2::Get() {
    static const dng_function_GammaEncode_2_2 function;
    return function;
}

// ---- Base space -----------------------------------------------------------

dng_color_space::dng_color_space() = default;

dng_color_space::~dng_color_space() = default;

const dng_1d_function& dng_color_space::GammaFunction() const { return dng_1d_identity::Get(); }

bool dng_color_space::ICCProfile(uint32& size, const uint8*& data) const {
    size = 0;
    data = nullptr;
    return false;
}

void dng_color_space::SetMatrixToPCS(const dng_matrix_3by3& M) {
    dng_vector W1 = M * dng_vector_3(1.0, 1.0, 1.0);
    dng_vector W2 = PCStoXYZ();
    dng_matrix_3by3 S(W2[0] / W1[0], 0, 0, 0, W2[1] / W1[1], 0, 0, 0, W2[2] / W1[2]);
    fMatrixToPCS = S * M;
    fMatrixFromPCS = Invert(fMatrixToPCS);
}

void dng_color_space::SetMonochrome() {
    fMatrixToPCS = PCStoXYZ().AsColumn();
    dng_matrix fromPCS(1, 3);
    fromPCS[0][0] = 0.0;
    fromPCS[0][1] = 1.0;
    fromPCS[0][2] = 0.0;
    fMatrixFromPCS = fromPCS;
}

// ---- Built-in spaces ------------------------------------------------------

dng_space_sRGB::dng_space_sRGB() {
    SetMatrixToPCS(
        dng_matrix_3by3(0.4361, 0.3851, 0.1431, 0.2225, 0.7169, 0.0606, 0.0139, 0.0971, 0.7141));
}

const dng_1d_function& dng_space_sRGB::GammaFunction() const {
    return dng_function_GammaEncode_sRGB::Get();
}

bool dng_space_sRGB::ICCProfile(uint32& size, const uint8*& data) const {
    static const std::vector<uint8>& bytes =
        *new std::vector<uint8>(MakeRGBProfile("sRGB IEC61966-2.1", MatrixToPCS(), Curve::sRGB));
    return HandOut(bytes, size, data);
}

const dng_color_space& dng_space_sRGB::Get() {
    static const dng_space_sRGB* space = new dng_space_sRGB;
    return *space;
}

dng_space_StudioRGB::dng_space_StudioRGB() {
    SetMatrixToPCS(
        dng_matrix_3by3(0.6097, 0.2053, 0.1492, 0.3111, 0.6257, 0.0632, 0.0195, 0.0609, 0.7446));
}

const dng_1d_function& dng_space_StudioRGB::GammaFunction() const {
    return dng_function_GammaEncode_2_2::Get();
}

bool dng_space_StudioRGB::ICCProfile(uint32& size, const uint8*& data) const {
    static const std::vector<uint8>& bytes =
        *new std::vector<uint8>(MakeRGBProfile("Studio RGB (1998)", MatrixToPCS(), Curve::Gamma22));
    return HandOut(bytes, size, data);
}

const dng_color_space& dng_space_StudioRGB::Get() {
    static const dng_space_StudioRGB* space = new dng_space_StudioRGB;
    return *space;
}

dng_space_ColorMatch::dng_space_ColorMatch() {
    SetMatrixToPCS(
        dng_matrix_3by3(0.5094, 0.3208, 0.1339, 0.2749, 0.6581, 0.0670, 0.0243, 0.1087, 0.6919));
}

const dng_1d_function& dng_space_ColorMatch::GammaFunction() const {
    return dng_function_GammaEncode_1_8::Get();
}

bool dng_space_ColorMatch::ICCProfile(uint32& size, const uint8*& data) const {
    static const std::vector<uint8>& bytes =
        *new std::vector<uint8>(MakeRGBProfile("ColorMatch RGB", MatrixToPCS(), Curve::Gamma18));
    return HandOut(bytes, size, data);
}

const dng_color_space& dng_space_ColorMatch::Get() {
    static const dng_space_ColorMatch* space = new dng_space_ColorMatch;
    return *space;
}

dng_space_ProPhoto::dng_space_ProPhoto() {
    const auto& m = platform::colorimetry::kXYZFromProPhoto;
    SetMatrixToPCS(dng_matrix_3by3(m[0][0], m[0][1], m[0][2], m[1][0], m[1][1], m[1][2], m[2][0],
                                   m[2][1], m[2][2]));
}

const dng_1d_function& dng_space_ProPhoto::GammaFunction() const {
    return dng_function_GammaEncode_1_8::Get();
}

bool dng_space_ProPhoto::ICCProfile(uint32& size, const uint8*& data) const {
    static const std::vector<uint8>& bytes =
        *new std::vector<uint8>(MakeRGBProfile("ProPhoto RGB", MatrixToPCS(), Curve::Gamma18));
    return HandOut(bytes, size, data);
}

const dng_color_space& dng_space_ProPhoto::Get() {
    static const dng_space_ProPhoto* space = new dng_space_ProPhoto;
    return *space;
}

dng_space_GrayGamma18::dng_space_GrayGamma18() { SetMonochrome(); }

const dng_1d_function& dng_space_GrayGamma18::GammaFunction() const {
    return dng_function_GammaEncode_1_8::Get();
}

bool dng_space_GrayGamma18::ICCProfile(uint32& size, const uint8*& data) const {
    static const std::vector<uint8>& bytes =
        *new std::vector<uint8>(MakeGrayProfile("Gray Gamma 1.8", Curve::Gamma18));
    return HandOut(bytes, size, data);
}

const dng_color_space& dng_space_GrayGamma18::Get() {
    static const dng_space_GrayGamma18* space = new dng_space_GrayGamma18;
    return *space;
}

dng_space_GrayGamma22::dng_space_GrayGamma22() { SetMonochrome(); }

const dng_1d_function& dng_space_GrayGamma22::GammaFunction() const {
    return dng_function_GammaEncode_2_2::Get();
}

bool dng_space_GrayGamma22::ICCProfile(uint32& size, const uint8*& data) const {
    static const std::vector<uint8>& bytes =
        *new std::vector<uint8>(MakeGrayProfile("Gray Gamma 2.2", Curve::Gamma22));
    return HandOut(bytes, size, data);
}

const dng_color_space& dng_space_GrayGamma22::Get() {
    static const dng_space_GrayGamma22* space = new dng_space_GrayGamma22;
    return *space;
}

dng_space_fakeRGB::dng_space_fakeRGB() {
    SetMatrixToPCS(
        dng_matrix_3by3(0.6097, 0.2053, 0.1492, 0.3111, 0.6257, 0.0632, 0.0195, 0.0609, 0.7446));
}

const dng_color_space& dng_space_fakeRGB::Get() {
    static const dng_space_fakeRGB* space = new dng_space_fakeRGB;
    return *space;
}
