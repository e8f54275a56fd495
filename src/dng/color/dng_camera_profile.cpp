#include "dng/color/dng_camera_profile.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <initializer_list>
#include <string>

#include "dng/color/dng_1d_function.h"
#include "dng/color/dng_1d_table.h"
#include "dng/color/dng_camera_profile_info.h"
#include "dng/color/dng_color_space.h"
#include "dng/color/dng_temperature.h"
#include "dng/core/dng_exception.h"
#include "dng/core/dng_md5_printer.h"
#include "dng/core/dng_stream.h"

namespace {

constexpr real64 kMatrixPrecision = 10000.0;

// Matrix data as a TIFF SRATIONAL field holds it: row by row, every entry
// over the denominator 10000, rounded half away from zero.
void PutSRationalMatrix(dng_stream& stream, const dng_matrix& m) {
    for (uint32 r = 0; r < m.Rows(); r++) {
        for (uint32 c = 0; c < m.Cols(); c++) {
            real64 scaled = m[r][c] * kMatrixPrecision;
            scaled += scaled > 0.0 ? 0.5 : -0.5;
            int32 n;
            if (!(scaled == scaled))
                n = 0;
            else if (scaled >= 2147483647.0)
                n = 2147483647;
            else if (scaled <= -2147483648.0)
                n = -2147483647 - 1;
            else
                n = static_cast<int32>(scaled);
            stream.PutUInt32(static_cast<uint32>(n));
            stream.PutUInt32(static_cast<uint32>(static_cast<int32>(kMatrixPrecision)));
        }
    }
}

void PutString(dng_stream& stream, const dng_string& s) { stream.WriteBytes(s.Get(), s.Length()); }

void PutHueSatMap(dng_stream& stream, const dng_hue_sat_map& map) {
    uint32 hues, sats, vals;
    map.GetDivisions(hues, sats, vals);
    stream.PutUInt32(hues);
    stream.PutUInt32(sats);
    stream.PutUInt32(vals);
    const dng_hue_sat_map::HSBModify* deltas = map.GetConstDeltas();
    const uint32 count = map.DeltasCount();
    for (uint32 i = 0; i < count; i++) {
        stream.PutReal32(deltas[i].fHueShift);
        stream.PutReal32(deltas[i].fSatScale);
        stream.PutReal32(deltas[i].fValScale);
    }
}

bool HasShape(const dng_matrix& m, uint32 rows, uint32 cols) {
    return m.Rows() == rows && m.Cols() == cols;
}

// Matrix tags of a floating type can carry NaN or infinity.
bool AllFinite(const dng_matrix& m) {
    for (uint32 r = 0; r < m.Rows(); r++)
        for (uint32 c = 0; c < m.Cols(); c++)
            if (!std::isfinite(m[r][c])) return false;
    return true;
}

dng_matrix Rounded(const dng_matrix& m) {
    dng_matrix r = m;
    r.Round(kMatrixPrecision);
    return r;
}

// Camera white (all ones) must reach the PCS white.
bool ForwardMatrixValid(const dng_matrix& m, uint32 channels) {
    if (m.IsEmpty()) return true;
    if (!HasShape(m, 3, channels)) return false;
    dng_vector ones;
    ones.SetIdentity(channels);
    const dng_vector xyz = m * ones;
    const dng_vector_3 pcs = PCStoXYZ();
    for (uint32 i = 0; i < 3; i++)
        if (!(std::fabs(xyz[i] - pcs[i]) <= 0.01)) return false;
    return true;
}

bool IsUpper(char c) { return c >= 'A' && c <= 'Z'; }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

// A profile has no tone curve until one is given: the curve type's own
// default (the identity) would read as a linear curve the profile never had.
dng_camera_profile::dng_camera_profile() { fToneCurve.SetInvalid(); }

dng_camera_profile::~dng_camera_profile() = default;

real64 dng_camera_profile::IlluminantToTemperature(uint32 light) {
    switch (light) {
        case 1:   // daylight
        case 4:   // flash
        case 9:   // fine weather
        case 18:  // standard light B
        case 20:  // D55
            return 5500.0;
        case 2:   // fluorescent
        case 14:  // cool white fluorescent
            return 4150.0;
        case 3:   // tungsten
        case 17:  // standard light A
            return 2850.0;
        case 10:  // cloudy
        case 19:  // standard light C
        case 21:  // D65
            return 6500.0;
        case 11:  // shade
        case 22:  // D75
            return 7500.0;
        case 12:
            return 6400.0;
        case 13:
            return 5050.0;
        case 15:
            return 3525.0;
        case 16:
            return 2925.0;
        case 23:  // D50
            return 5000.0;
        case 24:  // studio tungsten
            return 3200.0;
        default:
            return 0.0;
    }
}

void dng_camera_profile::SetName(const char* name) {
    fName.Set(name);
    ClearFingerprint();
}

void dng_camera_profile::SetCalibrationIlluminant1(uint32 light) {
    fCalibrationIlluminant1 = light;
    ClearFingerprint();
}

void dng_camera_profile::SetCalibrationIlluminant2(uint32 light) {
    fCalibrationIlluminant2 = light;
    ClearFingerprint();
}

void dng_camera_profile::NormalizeColorMatrix(dng_matrix& m) {
    if (m.IsEmpty()) return;
    // A shape that cannot take an XYZ vector is kept as given; IsValid refuses it.
    if (m.Cols() == 3) {
        const dng_vector coord = m * PCStoXYZ();
        const real64 maxCoord = coord.MaxEntry();
        if (maxCoord > 0.0 && (maxCoord < 0.99 || maxCoord > 1.01)) m.Scale(1.0 / maxCoord);
    }
    m.Round(kMatrixPrecision);
}

void dng_camera_profile::SetColorMatrix1(const dng_matrix& m) {
    fColorMatrix1 = m;
    NormalizeColorMatrix(fColorMatrix1);
    ClearFingerprint();
}

void dng_camera_profile::SetColorMatrix2(const dng_matrix& m) {
    fColorMatrix2 = m;
    NormalizeColorMatrix(fColorMatrix2);
    ClearFingerprint();
}

bool dng_camera_profile::HasColorMatrix1() const {
    return fColorMatrix1.Cols() == 3 && fColorMatrix1.Rows() > 1;
}

bool dng_camera_profile::HasColorMatrix2() const {
    return fColorMatrix2.Cols() == 3 && fColorMatrix2.Rows() == fColorMatrix1.Rows();
}

void dng_camera_profile::SetForwardMatrix1(const dng_matrix& m) {
    fForwardMatrix1 = Rounded(m);
    ClearFingerprint();
}

void dng_camera_profile::SetForwardMatrix2(const dng_matrix& m) {
    fForwardMatrix2 = Rounded(m);
    ClearFingerprint();
}

void dng_camera_profile::SetReductionMatrix1(const dng_matrix& m) {
    fReductionMatrix1 = Rounded(m);
    ClearFingerprint();
}

void dng_camera_profile::SetReductionMatrix2(const dng_matrix& m) {
    fReductionMatrix2 = Rounded(m);
    ClearFingerprint();
}

void dng_camera_profile::SetCopyright(const char* copyright) {
    fCopyright.Set(copyright);
    ClearFingerprint();
}

void dng_camera_profile::SetEmbedPolicy(uint32 policy) {
    fEmbedPolicy = policy;
    ClearFingerprint();
}

void dng_camera_profile::SetHueSatDeltas1(const dng_hue_sat_map& deltas) {
    fHueSatDeltas1 = deltas;
    ClearFingerprint();
}

void dng_camera_profile::SetHueSatDeltas2(const dng_hue_sat_map& deltas) {
    fHueSatDeltas2 = deltas;
    ClearFingerprint();
}

void dng_camera_profile::SetHueSatMapEncoding(uint32 encoding) {
    fHueSatMapEncoding = encoding;
    ClearFingerprint();
}

void dng_camera_profile::SetLookTable(const dng_hue_sat_map& table) {
    fLookTable = table;
    ClearFingerprint();
}

void dng_camera_profile::SetLookTableEncoding(uint32 encoding) {
    fLookTableEncoding = encoding;
    ClearFingerprint();
}

void dng_camera_profile::SetBaselineExposureOffset(real64 exposureOffset) {
    fBaselineExposureOffset.Set_real64(exposureOffset, 100);
    ClearFingerprint();
}

void dng_camera_profile::SetDefaultBlackRender(uint32 defaultBlackRender) {
    fDefaultBlackRender = defaultBlackRender;
    ClearFingerprint();
}

void dng_camera_profile::SetToneCurve(const dng_tone_curve& curve) {
    fToneCurve = curve;
    ClearFingerprint();
}

void dng_camera_profile::SetProfileCalibrationSignature(const char* signature) {
    fProfileCalibrationSignature.Set(signature);
    ClearFingerprint();
}

void dng_camera_profile::SetUniqueCameraModelRestriction(const char* model) {
    fUniqueCameraModelRestriction.Set(model);
    ClearFingerprint();
}

bool dng_camera_profile::IsValid(uint32 channels) const {
    if (channels == 1) return true;

    if (!HasShape(fColorMatrix1, channels, 3)) return false;
    if (fColorMatrix2.NotEmpty() && !HasShape(fColorMatrix2, channels, 3)) return false;

    if (!ForwardMatrixValid(fForwardMatrix1, channels)) return false;
    if (!ForwardMatrixValid(fForwardMatrix2, channels)) return false;

    if (fReductionMatrix1.NotEmpty() && !HasShape(fReductionMatrix1, 3, channels)) return false;
    if (fReductionMatrix2.NotEmpty() && !HasShape(fReductionMatrix2, 3, channels)) return false;

    for (const dng_matrix* m : {&fColorMatrix1, &fColorMatrix2, &fForwardMatrix1, &fForwardMatrix2,
                                &fReductionMatrix1, &fReductionMatrix2})
        if (!AllFinite(*m)) return false;

    try {
        Invert(fColorMatrix1, fReductionMatrix1);
        if (fColorMatrix2.NotEmpty()) Invert(fColorMatrix2, fReductionMatrix2);
    } catch (const dng_exception&) {
        return false;
    }
    return true;
}

bool dng_camera_profile::EqualData(const dng_camera_profile& profile) const {
    return fCalibrationIlluminant1 == profile.fCalibrationIlluminant1 &&
           fCalibrationIlluminant2 == profile.fCalibrationIlluminant2 &&
           fColorMatrix1 == profile.fColorMatrix1 && fColorMatrix2 == profile.fColorMatrix2 &&
           fForwardMatrix1 == profile.fForwardMatrix1 &&
           fForwardMatrix2 == profile.fForwardMatrix2 &&
           fReductionMatrix1 == profile.fReductionMatrix1 &&
           fReductionMatrix2 == profile.fReductionMatrix2 &&
           fHueSatDeltas1 == profile.fHueSatDeltas1 && fHueSatDeltas2 == profile.fHueSatDeltas2 &&
           fHueSatMapEncoding == profile.fHueSatMapEncoding && fLookTable == profile.fLookTable &&
           fLookTableEncoding == profile.fLookTableEncoding &&
           fDefaultBlackRender == profile.fDefaultBlackRender && fToneCurve == profile.fToneCurve &&
           fBaselineExposureOffset.AsReal64() == profile.fBaselineExposureOffset.AsReal64() &&
           fProfileCalibrationSignature == profile.fProfileCalibrationSignature;
}

dng_fingerprint dng_camera_profile::CalculateFingerprint() const {
    dng_md5_printer_stream printer;
    printer.SetLittleEndian();

    if (HasColorMatrix1()) {
        const uint32 channels = fColorMatrix1.Rows();

        auto putSet = [&](uint32 illuminant, const dng_matrix& color, const dng_matrix& forward,
                          const dng_matrix& reduction) {
            printer.PutUInt16(static_cast<uint16>(illuminant));
            PutSRationalMatrix(printer, color);
            if (HasShape(forward, 3, channels)) PutSRationalMatrix(printer, forward);
            if (channels > 3 && HasShape(reduction, 3, channels))
                PutSRationalMatrix(printer, reduction);
        };

        putSet(fCalibrationIlluminant1, fColorMatrix1, fForwardMatrix1, fReductionMatrix1);
        if (HasColorMatrix2())
            putSet(fCalibrationIlluminant2, fColorMatrix2, fForwardMatrix2, fReductionMatrix2);

        PutString(printer, fName);
        PutString(printer, fProfileCalibrationSignature);
        printer.PutUInt32(fEmbedPolicy);
        PutString(printer, fCopyright);

        const bool haveHueSat1 = fHueSatDeltas1.IsValid();
        const bool haveHueSat2 = fHueSatDeltas2.IsValid() && HasColorMatrix2();
        if (haveHueSat1) PutHueSatMap(printer, fHueSatDeltas1);
        if (haveHueSat2) PutHueSatMap(printer, fHueSatDeltas2);
        if ((haveHueSat1 || haveHueSat2) && fHueSatMapEncoding != 0)
            printer.PutUInt32(fHueSatMapEncoding);

        if (fLookTable.IsValid()) {
            PutHueSatMap(printer, fLookTable);
            if (fLookTableEncoding != 0) printer.PutUInt32(fLookTableEncoding);
        }

        if (fBaselineExposureOffset.AsReal64() != 0.0)
            printer.PutReal64(fBaselineExposureOffset.AsReal64());

        if (fDefaultBlackRender != 0) printer.PutUInt32(fDefaultBlackRender);

        if (fToneCurve.IsValid()) {
            for (const dng_tone_curve::point& p : fToneCurve.fCoord) {
                printer.PutReal32(static_cast<real32>(p.h));
                printer.PutReal32(static_cast<real32>(p.v));
            }
        }
    }
    return printer.Result();
}

const dng_fingerprint& dng_camera_profile::Fingerprint() const {
    if (fFingerprint.IsNull()) fFingerprint = CalculateFingerprint();
    return fFingerprint;
}

dng_fingerprint dng_camera_profile::UniqueID() const {
    dng_md5_printer printer;
    printer.Process(Fingerprint().data, dng_fingerprint::kDNGFingerprintSize);
    printer.Process(fUniqueCameraModelRestriction.Get(), fUniqueCameraModelRestriction.Length());
    return printer.Result();
}

void dng_camera_profile::ReadHueSatMap(dng_stream& stream, uint64 offset, uint32 count, uint32 hues,
                                       uint32 sats, uint32 vals, dng_hue_sat_map& map) {
    // The record may have been filled by hand or its dimensions changed after
    // the data tag: check everything again before allocating.
    const bool full = count == dng_camera_profile_info::TableCount(hues, sats, vals);
    const bool reduced = count == dng_camera_profile_info::ReducedTableCount(hues, sats, vals);
    if (!full && !reduced) ThrowBadFormat("Hue/sat table size does not match its dimensions");
    stream.SetReadPosition(offset);
    if (static_cast<uint64>(count) * 4 > stream.RemainingBytes())
        ThrowEndOfFile("Hue/sat table beyond the end of the stream");

    map.SetDivisions(hues, sats, vals);
    if (vals == 0) vals = 1;
    const uint32 firstSat = full ? 0 : 1;
    for (uint32 val = 0; val < vals; val++) {
        for (uint32 hue = 0; hue < hues; hue++) {
            for (uint32 sat = firstSat; sat < sats; sat++) {
                dng_hue_sat_map::HSBModify modify;
                modify.fHueShift = stream.GetReal32();
                modify.fSatScale = stream.GetReal32();
                modify.fValScale = stream.GetReal32();
                map.SetDelta(hue, sat, val, modify);
            }
        }
    }
    map.AssignNewUniqueRuntimeFingerprint();
}

void dng_camera_profile::ReadToneCurve(dng_stream& stream, uint64 offset, uint32 count) {
    stream.SetReadPosition(offset);
    if (count > kMaxToneCurveValues) ThrowProgramError("Too many tone curve points");
    if (static_cast<uint64>(count) * 4 > stream.RemainingBytes())
        ThrowEndOfFile("Tone curve beyond the end of the stream");
    fToneCurve.fCoord.resize(count / 2);
    for (dng_tone_curve::point& p : fToneCurve.fCoord) {
        p.h = stream.GetReal32();
        p.v = stream.GetReal32();
    }
    ClearFingerprint();
}

void dng_camera_profile::Parse(dng_stream& stream, const dng_camera_profile_info& info) {
    SetUniqueCameraModelRestriction(info.fUniqueCameraModel.Get());
    if (info.fProfileName.NotEmpty()) SetName(info.fProfileName.Get());
    SetCopyright(info.fProfileCopyright.Get());
    SetEmbedPolicy(info.fEmbedPolicy);
    SetCalibrationIlluminant1(info.fCalibrationIlluminant1);

    SetColorMatrix1(info.fColorMatrix1);
    if (info.fForwardMatrix1.NotEmpty()) SetForwardMatrix1(info.fForwardMatrix1);
    if (info.fReductionMatrix1.NotEmpty()) SetReductionMatrix1(info.fReductionMatrix1);

    if (info.fColorMatrix2.NotEmpty()) {
        SetCalibrationIlluminant2(info.fCalibrationIlluminant2);
        SetColorMatrix2(info.fColorMatrix2);
        if (info.fForwardMatrix2.NotEmpty()) SetForwardMatrix2(info.fForwardMatrix2);
        if (info.fReductionMatrix2.NotEmpty()) SetReductionMatrix2(info.fReductionMatrix2);
    }

    SetProfileCalibrationSignature(info.fProfileCalibrationSignature.Get());
    SetBaselineExposureOffset(info.fBaselineExposureOffset.AsReal64());

    {
        TempBigEndian order(stream, info.fBigEndian);

        if (info.fHueSatDeltas1Offset != 0 && info.fHueSatDeltas1Count != 0) {
            ReadHueSatMap(stream, info.fHueSatDeltas1Offset, info.fHueSatDeltas1Count,
                          info.fProfileHues, info.fProfileSats, info.fProfileVals, fHueSatDeltas1);
            ClearFingerprint();
        }
        if (info.fHueSatDeltas2Offset != 0 && info.fHueSatDeltas2Count != 0) {
            ReadHueSatMap(stream, info.fHueSatDeltas2Offset, info.fHueSatDeltas2Count,
                          info.fProfileHues, info.fProfileSats, info.fProfileVals, fHueSatDeltas2);
            ClearFingerprint();
        }
        if (info.fLookTableOffset != 0 && info.fLookTableCount != 0) {
            ReadHueSatMap(stream, info.fLookTableOffset, info.fLookTableCount, info.fLookTableHues,
                          info.fLookTableSats, info.fLookTableVals, fLookTable);
            ClearFingerprint();
        }
        if ((info.fToneCurveCount & 1) == 0)
            ReadToneCurve(stream, info.fToneCurveOffset, info.fToneCurveCount);
    }

    SetHueSatMapEncoding(info.fHueSatMapEncoding);
    SetLookTableEncoding(info.fLookTableEncoding);
    SetDefaultBlackRender(info.fDefaultBlackRender);
}

bool dng_camera_profile::ParseExtended(dng_stream& stream) {
    try {
        dng_camera_profile_info info;
        if (!info.ParseProfileStream(stream)) return false;
        Parse(stream, info);
        return true;
    } catch (...) {
        return false;
    }
}

void dng_camera_profile::SetFourColorBayer() {
    if (!IsValid(3)) return;

    auto widen = [](dng_matrix& m) {
        if (m.IsEmpty()) return;
        dng_matrix wide(4, 3);
        for (uint32 r = 0; r < 3; r++)
            for (uint32 c = 0; c < 3; c++) wide[r][c] = m[r][c];
        for (uint32 c = 0; c < 3; c++) wide[3][c] = m[1][c];
        m = wide;
    };
    widen(fColorMatrix1);
    widen(fColorMatrix2);
    fForwardMatrix1.Clear();
    fForwardMatrix2.Clear();
    fReductionMatrix1.Clear();
    fReductionMatrix2.Clear();
    ClearFingerprint();
}

std::unique_ptr<dng_hue_sat_map> dng_camera_profile::HueSatMapForWhite(
    const dng_xy_coord& white) const {
    if (!fHueSatDeltas1.IsValid()) return nullptr;

    const real64 t1 = CalibrationTemperature1();
    const real64 t2 = CalibrationTemperature2();
    if (!fHueSatDeltas2.IsValid() || t1 == t2 || t1 <= 0.0 || t2 <= 0.0)
        return std::make_unique<dng_hue_sat_map>(fHueSatDeltas1);

    const real64 lo = std::min(t1, t2);
    const real64 hi = std::max(t1, t2);
    const real64 t = dng_temperature(white).Temperature();
    real64 g;
    if (t <= lo)
        g = 1.0;
    else if (t >= hi)
        g = 0.0;
    else
        g = (1.0 / t - 1.0 / hi) / (1.0 / lo - 1.0 / hi);

    // g weighs the map of the lower temperature.
    const bool firstIsLow = t1 < t2;
    const real64 weight1 = firstIsLow ? g : 1.0 - g;
    return std::unique_ptr<dng_hue_sat_map>(
        dng_hue_sat_map::Interpolate(fHueSatDeltas1, fHueSatDeltas2, weight1));
}

void dng_camera_profile::SplitCameraProfileName(const dng_string& name, dng_string& baseName,
                                                int32& version) {
    baseName = name;
    version = 0;

    const char* text = name.Get();
    uint32 len = name.Length();

    // Three capitals, a blank and "d.d": a short versioned name.
    if (len == 7 && IsUpper(text[0]) && IsUpper(text[1]) && IsUpper(text[2]) && text[3] == ' ' &&
        IsDigit(text[4]) && text[5] == '.' && IsDigit(text[6])) {
        const char base[4] = {text[0], text[1], text[2], 0};
        baseName.Set(base);
        version = 10 * (text[4] - '0') + (text[6] - '0');
        return;
    }

    std::string base(text, len);
    if (base.size() >= 6) {
        const size_t n = base.size();
        if (base.compare(n - 5, 5, " beta") == 0) {
            base.erase(n - 5);
            version -= 10;
        } else if (n >= 8 && IsDigit(base[n - 1]) && base.compare(n - 7, 6, " beta ") == 0) {
            version += (base[n - 1] - '0') - 10;
            base.erase(n - 7);
        }
    }

    const size_t n = base.size();
    if (n >= 4 && IsDigit(base[n - 1]) && base[n - 2] == 'v' && base[n - 3] == ' ') {
        version += 100 * (base[n - 1] - '0');
        base.erase(n - 3);
    }

    baseName.Set(base.c_str());
}

void dng_camera_profile::MakeGammaTables(dng_memory_allocator& allocator, uint32 channels,
                                         bool subSample, std::unique_ptr<dng_1d_table>& encodeTable,
                                         std::unique_ptr<dng_1d_table>& decodeTable) {
    if (channels != 1) return;
    const dng_1d_function& gamma = dng_function_GammaEncode_2_2::Get();
    const dng_1d_inverse inverse(gamma);

    auto encode = std::make_unique<dng_1d_table>(4096);
    encode->Initialize(allocator, gamma, subSample);
    auto decode = std::make_unique<dng_1d_table>(4096);
    decode->Initialize(allocator, inverse, subSample);
    encodeTable = std::move(encode);
    decodeTable = std::move(decode);
}
