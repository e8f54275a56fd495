#include "platform/IccBuiltins.h"

#include <lcms2.h>

#include <array>
#include <cmath>
#include <mutex>
#include <string>

#include "platform/Colorimetry.h"
#include "platform/IccLcms.h"

namespace platform {

namespace {

struct XYZ {
    double X, Y, Z;
};
using Matrix3 = std::array<std::array<double, 3>, 3>;

// Primaries as XYZ colorants; only their chromaticities are used.
struct Primaries {
    XYZ red, green, blue;
};
constexpr Primaries kProPhoto = {
    {0.7977, 0.2880, 0.0}, {0.1352, 0.7119, 0.0}, {0.0315, 0.0001, 0.8284}};
constexpr Primaries kRec709 = {
    {0.4124, 0.2127, 0.0193}, {0.3576, 0.7152, 0.1192}, {0.1805, 0.0722, 0.9505}};
constexpr Primaries kPAL = {
    {0.4306, 0.2220, 0.0202}, {0.3416, 0.7066, 0.1296}, {0.1783, 0.0713, 0.9392}};

constexpr XYZ kD50 = {colorimetry::kD50XYZ[0], colorimetry::kD50XYZ[1], colorimetry::kD50XYZ[2]};
constexpr XYZ kD65 = {colorimetry::kD65XYZ[0], colorimetry::kD65XYZ[1], colorimetry::kD65XYZ[2]};

XYZ whiteOf(const Primaries& p) {
    return {p.red.X + p.green.X + p.blue.X, p.red.Y + p.green.Y + p.blue.Y,
            p.red.Z + p.green.Z + p.blue.Z};
}

cmsCIExyY toXyY(const XYZ& c) {
    const double sum = c.X + c.Y + c.Z;
    return {c.X / sum, c.Y / sum, 1.0};
}

Matrix3 multiply(const Matrix3& a, const Matrix3& b) {
    Matrix3 r{};
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j)
            for (int k = 0; k < 3; ++k) r[i][j] += a[i][k] * b[k][j];
    return r;
}

std::array<double, 3> apply(const Matrix3& m, const std::array<double, 3>& v) {
    return {m[0][0] * v[0] + m[0][1] * v[1] + m[0][2] * v[2],
            m[1][0] * v[0] + m[1][1] * v[1] + m[1][2] * v[2],
            m[2][0] * v[0] + m[2][1] * v[1] + m[2][2] * v[2]};
}

Matrix3 inverse(const Matrix3& m) {
    const double det = m[0][0] * (m[1][1] * m[2][2] - m[1][2] * m[2][1]) -
                       m[0][1] * (m[1][0] * m[2][2] - m[1][2] * m[2][0]) +
                       m[0][2] * (m[1][0] * m[2][1] - m[1][1] * m[2][0]);
    Matrix3 r{};
    r[0][0] = (m[1][1] * m[2][2] - m[1][2] * m[2][1]) / det;
    r[0][1] = (m[0][2] * m[2][1] - m[0][1] * m[2][2]) / det;
    r[0][2] = (m[0][1] * m[1][2] - m[0][2] * m[1][1]) / det;
    r[1][0] = (m[1][2] * m[2][0] - m[1][0] * m[2][2]) / det;
    r[1][1] = (m[0][0] * m[2][2] - m[0][2] * m[2][0]) / det;
    r[1][2] = (m[0][2] * m[1][0] - m[0][0] * m[1][2]) / det;
    r[2][0] = (m[1][0] * m[2][1] - m[1][1] * m[2][0]) / det;
    r[2][1] = (m[0][1] * m[2][0] - m[0][0] * m[2][1]) / det;
    r[2][2] = (m[0][0] * m[1][1] - m[0][1] * m[1][0]) / det;
    return r;
}

// RGB to XYZ for primaries' chromaticities and a white, the usual construction.
Matrix3 rgbToXYZ(const Primaries& p, const XYZ& white) {
    const auto col = [](const XYZ& c) {
        const cmsCIExyY xy = toXyY(c);
        return std::array<double, 3>{xy.x / xy.y, 1.0, (1.0 - xy.x - xy.y) / xy.y};
    };
    const auto r = col(p.red), g = col(p.green), b = col(p.blue);
    const Matrix3 m = {{{r[0], g[0], b[0]}, {r[1], g[1], b[1]}, {r[2], g[2], b[2]}}};
    const auto s = apply(inverse(m), {white.X, white.Y, white.Z});
    Matrix3 out = m;
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) out[i][j] *= s[j];
    return out;
}

Matrix3 bradford(const XYZ& from, const XYZ& to) {
    const Matrix3 cone = {
        {{0.8951, 0.2664, -0.1614}, {-0.7502, 1.7135, 0.0367}, {0.0389, -0.0685, 1.0296}}};
    const auto a = apply(cone, {from.X, from.Y, from.Z});
    const auto b = apply(cone, {to.X, to.Y, to.Z});
    const Matrix3 scale = {{{b[0] / a[0], 0, 0}, {0, b[1] / a[1], 0}, {0, 0, b[2] / a[2]}}};
    return multiply(inverse(cone), multiply(scale, cone));
}

double srgbToLinear(double v) {
    return v <= 0.04045 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4);
}

// A tone-curve set of three references to one curve, freed with the object.
class Curves {
public:
    explicit Curves(cmsToneCurve* curve) : curve_(curve) {}
    ~Curves() {
        if (curve_) cmsFreeToneCurve(curve_);
    }
    Curves(const Curves&) = delete;
    Curves& operator=(const Curves&) = delete;
    bool valid() const { return curve_ != nullptr; }
    cmsToneCurve* three[3] = {nullptr, nullptr, nullptr};
    cmsToneCurve** get() {
        three[0] = three[1] = three[2] = curve_;
        return three;
    }

private:
    cmsToneCurve* curve_;
};

cmsToneCurve* tabulatedCurve(cmsContext ctx, int points, double (*f)(double)) {
    std::vector<cmsUInt16Number> table(static_cast<std::size_t>(points));
    for (int i = 0; i < points; ++i) {
        const double v = std::clamp(f(static_cast<double>(i) / (points - 1)), 0.0, 1.0);
        table[static_cast<std::size_t>(i)] = static_cast<cmsUInt16Number>(std::lround(v * 65535.0));
    }
    return cmsBuildTabulatedToneCurve16(ctx, static_cast<cmsUInt32Number>(points), table.data());
}

enum class Curve { gamma10, gamma18, gamma22, sRGB1024, bt709, photoCD };

cmsToneCurve* makeCurve(cmsContext ctx, Curve curve) {
    switch (curve) {
        case Curve::gamma10:
            return cmsBuildGamma(ctx, 1.0);
        case Curve::gamma18:
            return cmsBuildGamma(ctx, 1.8);
        case Curve::gamma22:
            return cmsBuildGamma(ctx, 2.2);
        case Curve::sRGB1024:
            return tabulatedCurve(ctx, 1024, &srgbToLinear);
        case Curve::bt709: {
            // Y = ((X + 0.099) / 1.099)^(1/0.45) above 0.081, X / 4.5 below, with the constants
            // carried to the digits that make the two pieces meet (the rounded ones leave a step).
            constexpr double alpha = 1.09929682680944, beta = 0.018053968510807;
            const cmsFloat64Number params[5] = {1.0 / 0.45, 1.0 / alpha, (alpha - 1.0) / alpha,
                                                1.0 / 4.5, 4.5 * beta};
            return cmsBuildParametricToneCurve(ctx, 4, params);
        }
        case Curve::photoCD:
            return tabulatedCurve(ctx, 4096, &photoCDEncodedToLinear);
    }
    return nullptr;
}

bool setDescription(cmsHPROFILE h, const char* description) {
    cmsMLU* mlu = cmsMLUalloc(cmsGetProfileContextID(h), 1);
    if (!mlu) return false;
    bool ok = cmsMLUsetASCII(mlu, "en", "US", description) &&
              cmsWriteTag(h, cmsSigProfileDescriptionTag, mlu);
    cmsMLUfree(mlu);
    cmsMLU* copyright = cmsMLUalloc(cmsGetProfileContextID(h), 1);
    if (!copyright) return false;
    ok = ok && cmsMLUsetASCII(copyright, "en", "US", "No copyright, use freely") &&
         cmsWriteTag(h, cmsSigCopyrightTag, copyright);
    cmsMLUfree(copyright);
    return ok;
}

std::vector<std::uint8_t> save(cmsHPROFILE h) {
    std::vector<std::uint8_t> bytes;
    cmsUInt32Number size = 0;
    if (h && cmsSaveProfileToMem(h, nullptr, &size) && size > 0) {
        bytes.resize(size);
        if (!cmsSaveProfileToMem(h, bytes.data(), &size)) bytes.clear();
    }
    if (h) cmsCloseProfile(h);
    stampFixedCreationDate(bytes);
    return bytes;
}

struct MatrixShaper {
    const char* description;
    const Primaries* primaries;
    XYZ white;
    Curve curve;
    double version;
    IccRenderingIntent intent;
    cmsProfileClassSignature profileClass;
};

std::vector<std::uint8_t> makeMatrixShaper(const MatrixShaper& spec) {
    icc::Context context;
    Curves curves(makeCurve(context.get(), spec.curve));
    if (!curves.valid()) return {};
    const cmsCIExyY white = toXyY(spec.white);
    const cmsCIExyYTRIPLE primaries = {toXyY(spec.primaries->red), toXyY(spec.primaries->green),
                                       toXyY(spec.primaries->blue)};
    cmsHPROFILE h = cmsCreateRGBProfileTHR(context.get(), &white, &primaries, curves.get());
    if (!h) return {};
    cmsSetProfileVersion(h, spec.version);
    cmsSetDeviceClass(h, spec.profileClass);
    cmsSetHeaderRenderingIntent(h, static_cast<cmsUInt32Number>(spec.intent));
    bool ok = setDescription(h, spec.description);
    if (spec.version < 4.0) {
        // Version 2 keeps the actual white in the media white point; the colorants and 'chad'
        // are already adapted to D50.
        const cmsCIEXYZ mediaWhite = {spec.white.X, spec.white.Y, spec.white.Z};
        ok = ok && cmsWriteTag(h, cmsSigMediaWhitePointTag, &mediaWhite);
    }
    if (!ok) {
        cmsCloseProfile(h);
        return {};
    }
    return save(h);
}

// The Photo CD scanner profiles' tables are our own: the disc stores every film in one scene
// encoding (Rec. 709 primaries, D65, the 709 transfer curve stretched to 1.402), so each table
// samples that encoding to Lab; the films differ only in their descriptions.
struct ScannerCargo {
    Matrix3 rgbToD50;
};

int sampleScanner(const cmsUInt16Number in[], cmsUInt16Number out[], void* cargo) {
    const auto* c = static_cast<const ScannerCargo*>(cargo);
    const std::array<double, 3> linear = {photoCDEncodedToLinear(in[0] / 65535.0),
                                          photoCDEncodedToLinear(in[1] / 65535.0),
                                          photoCDEncodedToLinear(in[2] / 65535.0)};
    const auto xyz = apply(c->rgbToD50, linear);
    const cmsCIEXYZ pcs = {xyz[0], xyz[1], xyz[2]};
    cmsCIELab lab;
    cmsXYZ2Lab(cmsD50_XYZ(), &lab, &pcs);
    lab.L = std::clamp(lab.L, 0.0, 100.0);
    // Version 2 16-bit Lab encoding, as a version 2 lut16 table holds it.
    cmsFloat2LabEncodedV2(out, &lab);
    return TRUE;
}

std::vector<std::uint8_t> makeScannerTable(const char* description) {
    icc::Context context;
    cmsContext ctx = context.get();
    cmsHPROFILE h = cmsCreateProfilePlaceholder(ctx);
    if (!h) return {};
    cmsSetProfileVersion(h, 2.1);
    cmsSetDeviceClass(h, cmsSigInputClass);
    cmsSetColorSpace(h, cmsSigRgbData);
    cmsSetPCS(h, cmsSigLabData);
    cmsSetHeaderRenderingIntent(h, INTENT_PERCEPTUAL);

    ScannerCargo cargo;
    const XYZ d50 = {cmsD50_XYZ()->X, cmsD50_XYZ()->Y, cmsD50_XYZ()->Z};
    cargo.rgbToD50 = multiply(bradford(whiteOf(kRec709), d50), rgbToXYZ(kRec709, whiteOf(kRec709)));

    bool ok =
        setDescription(h, description) && cmsWriteTag(h, cmsSigMediaWhitePointTag, cmsD50_XYZ());
    cmsPipeline* lut = cmsPipelineAlloc(ctx, 3, 3);
    cmsStage* clut = cmsStageAllocCLut16bit(ctx, 33, 3, 3, nullptr);
    ok = ok && lut && clut &&
         cmsPipelineInsertStage(lut, cmsAT_END, cmsStageAllocToneCurves(ctx, 3, nullptr)) &&
         cmsStageSampleCLut16bit(clut, &sampleScanner, &cargo, 0) &&
         cmsPipelineInsertStage(lut, cmsAT_END, clut);
    if (ok) clut = nullptr;  // now owned by the pipeline
    ok = ok && cmsPipelineInsertStage(lut, cmsAT_END, cmsStageAllocToneCurves(ctx, 3, nullptr)) &&
         cmsWriteTag(h, cmsSigAToB0Tag, lut);
    if (clut) cmsStageFree(clut);
    if (lut) cmsPipelineFree(lut);
    if (!ok) {
        cmsCloseProfile(h);
        return {};
    }
    return save(h);
}

std::vector<std::uint8_t> makeLab() {
    icc::Context context;
    cmsHPROFILE h = cmsCreateLab4ProfileTHR(context.get(), nullptr);
    if (!h) return {};
    if (!setDescription(h, "Generic Lab Profile")) {
        cmsCloseProfile(h);
        return {};
    }
    return save(h);
}

std::vector<std::uint8_t> generate(IccBuiltin which) {
    using I = IccRenderingIntent;
    constexpr auto mntr = cmsSigDisplayClass;
    const XYZ d65of709 = whiteOf(kRec709);
    const XYZ d65ofPAL = whiteOf(kPAL);
    switch (which) {
        case IccBuiltin::proPhotoPerceptual:
            return makeMatrixShaper({"VodiRurar ProPhoto Perceptual", &kProPhoto, kD50,
                                     Curve::gamma18, 2.1, I::perceptual, mntr});
        case IccBuiltin::proPhotoGamma1:
            return makeMatrixShaper({"VodiRurar ProPhoto Gamma 1", &kProPhoto, kD50, Curve::gamma10,
                                     2.1, I::perceptual, mntr});
        case IccBuiltin::proPhotoGamma1D65:
            return makeMatrixShaper({"VodiRurar ProPhoto Gamma 1", &kProPhoto, kD65, Curve::gamma10,
                                     2.1, I::perceptual, mntr});
        case IccBuiltin::swappedSRGB:
            return makeMatrixShaper({"VodiRurar swapped sRGB", &kRec709, d65of709, Curve::gamma22,
                                     2.1, I::perceptual, mntr});
        case IccBuiltin::ccir709Gamma1D50:
            return makeMatrixShaper({"VodiRurar CCIR Rec 709 Gamma 1.0 D50", &kRec709, kD50,
                                     Curve::gamma10, 2.1, I::perceptual, mntr});
        case IccBuiltin::proPhotoRelativeColorimetric:
            return makeMatrixShaper({"VodiRurar ProPhoto cmRelativeColorimetric", &kProPhoto, kD50,
                                     Curve::gamma18, 2.1, I::relativeColorimetric, mntr});
        case IccBuiltin::proPhotoSaturation:
            return makeMatrixShaper({"VodiRurar ProPhoto cmSaturation", &kProPhoto, kD50,
                                     Curve::gamma18, 2.1, I::saturation, mntr});
        case IccBuiltin::proPhotoAbsoluteColorimetric:
            return makeMatrixShaper({"VodiRurar ProPhoto cmAbsoluteColorimetric", &kProPhoto, kD50,
                                     Curve::gamma18, 2.1, I::absoluteColorimetric, mntr});
        case IccBuiltin::palSecamGamma1:
            return makeMatrixShaper({"VodiRurar PAL_SECAM RGB Gamma 1.0", &kPAL, d65ofPAL,
                                     Curve::gamma10, 2.1, I::perceptual, mntr});
        case IccBuiltin::palSecamGamma22:
            return makeMatrixShaper({"VodiRurar PAL_SECAM RGB Gamma 2.2", &kPAL, d65ofPAL,
                                     Curve::gamma22, 2.1, I::perceptual, mntr});
        case IccBuiltin::ccir709Gamma1:
            return makeMatrixShaper({"VodiRurar CCIR Rec 709 Gamma 1.0", &kRec709, d65of709,
                                     Curve::gamma10, 2.1, I::perceptual, mntr});
        case IccBuiltin::itu709:
            return makeMatrixShaper({"Rec. ITU-R BT.709-5", &kRec709, d65of709, Curve::bt709, 4.3,
                                     I::perceptual, mntr});
        case IccBuiltin::rec709Gamma1:
            return makeMatrixShaper(
                {"Rec 709 Gamma 1", &kRec709, d65of709, Curve::gamma10, 2.1, I::perceptual, mntr});
        case IccBuiltin::photoCD4e:
            return makeScannerTable("E-6, 4 Series scanner");
        case IccBuiltin::photoCD4k:
            return makeScannerTable("Kodachrome, 4 Series scanner");
        case IccBuiltin::photoCDXn:
            return makeScannerTable("Negative, all scanners");
        case IccBuiltin::photoCD2e:
            return makeScannerTable("E-6, Pre-4 series scanner");
        case IccBuiltin::photoCD2k:
            return makeScannerTable("Kodachrome, Pre-4 series scanner");
        case IccBuiltin::photoCDXg:
            return makeMatrixShaper({"Generic PCD", &kRec709, d65of709, Curve::photoCD, 2.1,
                                     I::perceptual, cmsSigInputClass});
        case IccBuiltin::linearRGB:
            return makeMatrixShaper({"Linear RGB Profile", &kRec709, d65of709, Curve::gamma10, 2.1,
                                     I::perceptual, mntr});
        case IccBuiltin::sRGB:
            return makeMatrixShaper({"sRGB IEC61966-2.1", &kRec709, d65of709, Curve::sRGB1024, 2.1,
                                     I::perceptual, mntr});
        case IccBuiltin::genericLab:
            return makeLab();
    }
    return {};
}

struct Cache {
    std::array<std::mutex, kIccBuiltinCount> mutexes;
    std::array<std::shared_ptr<const IccProfile>, kIccBuiltinCount> profiles;
};

Cache& cache() {
    static Cache* c = new Cache;  // never destroyed: profiles may be used during exit
    return *c;
}

}  // namespace

double photoCDEncodedToLinear(double encoded) {
    const double e = std::max(encoded, 0.0) * 1.402;
    const double linear = e < 0.081 ? e / 4.5 : std::pow((e + 0.099) / 1.099, 1.0 / 0.45);
    return std::min(linear * 695.0 / 1388.0, 1.0);
}

std::shared_ptr<const IccProfile> iccBuiltinProfile(IccBuiltin which) {
    const auto index = static_cast<std::size_t>(which);
    if (index >= static_cast<std::size_t>(kIccBuiltinCount)) return nullptr;
    Cache& c = cache();
    std::lock_guard lock(c.mutexes[index]);
    if (!c.profiles[index]) {
        const auto bytes = generate(which);
        c.profiles[index] = IccProfile::fromBytes(bytes.data(), bytes.size());
    }
    return c.profiles[index];
}

const char* iccBuiltinDescription(IccBuiltin which) {
    static constexpr std::array<const char*, kIccBuiltinCount> kDescriptions = {
        "VodiRurar ProPhoto Perceptual",
        "VodiRurar ProPhoto Gamma 1",
        "VodiRurar ProPhoto Gamma 1",
        "VodiRurar swapped sRGB",
        "VodiRurar CCIR Rec 709 Gamma 1.0 D50",
        "VodiRurar ProPhoto cmRelativeColorimetric",
        "VodiRurar ProPhoto cmSaturation",
        "VodiRurar ProPhoto cmAbsoluteColorimetric",
        "VodiRurar PAL_SECAM RGB Gamma 1.0",
        "VodiRurar PAL_SECAM RGB Gamma 2.2",
        "VodiRurar CCIR Rec 709 Gamma 1.0",
        "Rec. ITU-R BT.709-5",
        "Rec 709 Gamma 1",
        "E-6, 4 Series scanner",
        "Kodachrome, 4 Series scanner",
        "Negative, all scanners",
        "E-6, Pre-4 series scanner",
        "Kodachrome, Pre-4 series scanner",
        "Generic PCD",
        "Linear RGB Profile",
        "sRGB IEC61966-2.1",
        "Generic Lab Profile",
    };
    const auto index = static_cast<std::size_t>(which);
    return index < kDescriptions.size() ? kDescriptions[index] : "";
}

std::vector<std::uint8_t> iccBuiltinBytes(IccBuiltin which) {
    const auto profile = iccBuiltinProfile(which);
    return profile ? profile->bytes() : std::vector<std::uint8_t>{};
}

void stampFixedCreationDate(std::vector<std::uint8_t>& bytes) {
    constexpr size_t kDate = 24, kId = 84, kIdSize = 16;
    if (bytes.size() < 128) return;
    for (size_t i = kId; i < kId + kIdSize; ++i)
        if (bytes[i] != 0) return;
    const std::uint16_t date[6] = {2000, 1, 1, 0, 0, 0};
    for (int i = 0; i < 6; ++i) {
        bytes[kDate + 2 * i] = static_cast<std::uint8_t>(date[i] >> 8);
        bytes[kDate + 2 * i + 1] = static_cast<std::uint8_t>(date[i]);
    }
}

}  // namespace platform
