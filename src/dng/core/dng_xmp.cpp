#include "dng/core/dng_xmp.h"

#include <atomic>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "dng/core/dng_date_time.h"
#include "dng/core/dng_exception.h"
#include "dng/core/dng_exif.h"
#include "dng/core/dng_memory_allocator.h"
#include "dng/core/dng_string_list.h"

// ---- namespaces ------------------------------------------------------------

const char* const XMP_NS_TIFF = "urn:quorvex:xmp:tiff";
const char* const XMP_NS_EXIF = "urn:quorvex:xmp:exif";
const char* const XMP_NS_EXIFEX = "urn:quorvex:xmp:exifEX";
const char* const XMP_NS_EDITOR = "urn:quorvex:xmp:editor";
const char* const XMP_NS_XAP = "urn:quorvex:xmp:xmp";
const char* const XMP_NS_XAP_RIGHTS = "urn:quorvex:xmp:xmpRights";
const char* const XMP_NS_DC = "urn:quorvex:xmp:dc";
const char* const XMP_NS_XMP_NOTE = "urn:quorvex:xmp:xmpNote";
const char* const XMP_NS_MM = "urn:quorvex:xmp:xmpMM";
const char* const XMP_NS_RAW_SETTINGS = "urn:quorvex:xmp:rawSettings";
const char* const XMP_NS_RAW_SAVED_SETTINGS = "urn:quorvex:xmp:rawSavedSettings";
const char* const XMP_NS_RAW_DEFAULTS = "urn:quorvex:xmp:rawDefaults";
const char* const XMP_NS_CAMERA_PROFILE = "urn:quorvex:xmp:cameraProfile";
const char* const XMP_NS_AUX = "urn:quorvex:xmp:aux";
const char* const XMP_NS_IPTC = "urn:quorvex:xmp:Iptc4xmpCore";
const char* const XMP_NS_IPTC_EXT = "urn:quorvex:xmp:Iptc4xmpExt";
const char* const XMP_NS_DEV_EXPERIMENTAL = "urn:quorvex:xmp:devExperimental";
const char* const XMP_NS_DNG = "urn:quorvex:xmp:dng";
const char* const XMP_NS_PANO = "urn:quorvex:xmp:pano";

const char* const kXMPNamespaceTable[kXMPNamespaceCount] = {XMP_NS_TIFF,
                                                            XMP_NS_EXIF,
                                                            XMP_NS_EXIFEX,
                                                            XMP_NS_EDITOR,
                                                            XMP_NS_XAP,
                                                            XMP_NS_XAP_RIGHTS,
                                                            XMP_NS_DC,
                                                            XMP_NS_XMP_NOTE,
                                                            XMP_NS_MM,
                                                            XMP_NS_RAW_SETTINGS,
                                                            XMP_NS_RAW_SAVED_SETTINGS,
                                                            XMP_NS_RAW_DEFAULTS,
                                                            XMP_NS_CAMERA_PROFILE,
                                                            XMP_NS_AUX,
                                                            XMP_NS_IPTC,
                                                            XMP_NS_IPTC_EXT,
                                                            XMP_NS_DEV_EXPERIMENTAL,
                                                            XMP_NS_DNG,
                                                            XMP_NS_PANO};

namespace {

std::atomic<bool> gXMPInitialized{false};

// ---- locale-free text helpers ---------------------------------------------

std::string Fixed(real64 x, uint32 places) {
    char buffer[512];
    const auto result =
        std::to_chars(buffer, buffer + sizeof(buffer), x, std::chars_format::fixed, int(places));
    if (result.ec != std::errc()) return std::string();
    return std::string(buffer, result.ptr);
}

void TrimZeros(std::string& s) {
    if (s.find('.') == std::string::npos) return;
    while (!s.empty() && s.back() == '0') s.pop_back();
    if (!s.empty() && s.back() == '.') s.pop_back();
}

// Reads an unsigned decimal at p; false when none.
bool ReadUnsigned(const char*& p, const char* end, uint32& x) {
    const auto result = std::from_chars(p, end, x);
    if (result.ec != std::errc()) return false;
    p = result.ptr;
    return true;
}

bool ReadSigned(const char*& p, const char* end, int32& x) {
    if (p < end && *p == '+') p++;
    const auto result = std::from_chars(p, end, x);
    if (result.ec != std::errc()) return false;
    p = result.ptr;
    return true;
}

bool ReadReal(const char*& p, const char* end, real64& x) {
    if (p < end && *p == '+') p++;
    const auto result = std::from_chars(p, end, x);
    if (result.ec != std::errc()) return false;
    p = result.ptr;
    return true;
}

bool Expect(const char*& p, const char* end, char c) {
    if (p >= end || *p != c) return false;
    p++;
    return true;
}

std::string Unsigned(uint32 x) { return std::to_string(x); }

std::string TwoDigits(uint32 x) {
    std::string s = std::to_string(x);
    return s.size() < 2 ? "0" + s : s;
}

std::string IsoDate(const dng_date_time_info& info) {
    const dng_date_time& dt = info.DateTime();
    char buffer[64];
    std::snprintf(buffer, sizeof(buffer), "%04u-%02u-%02uT%02u:%02u:%02u", dt.fYear, dt.fMonth,
                  dt.fDay, dt.fHour, dt.fMinute, dt.fSecond);
    return buffer;
}

dng_string Text(const std::string& s) {
    dng_string result;
    result.Set(s.c_str());
    return result;
}

}  // namespace

// ---- toolkit wrapper -------------------------------------------------------

dng_xmp_sdk::dng_xmp_sdk() = default;
dng_xmp_sdk::~dng_xmp_sdk() = default;

void dng_xmp_sdk::NeedMeta() {
    gXMPInitialized.store(true);
    fHasMeta = true;
}

bool dng_xmp_sdk::Initialized() { return gXMPInitialized.load(); }

// ---- lifecycle ---------------------------------------------------------------

dng_xmp::dng_xmp(dng_memory_allocator& allocator)
    : fAllocator(&allocator), fSDK(std::make_unique<dng_xmp_sdk>()) {}

dng_xmp::dng_xmp(const dng_xmp& other)
    : fAllocator(other.fAllocator), fSDK(std::make_unique<dng_xmp_sdk>()) {
    if (other.HasMeta()) fSDK->NeedMeta();
}

dng_xmp::~dng_xmp() = default;

std::unique_ptr<dng_xmp> dng_xmp::Clone() const { return std::make_unique<dng_xmp>(*this); }

void dng_xmp::ParseBlock(const void*, uint32) {
    fSDK->ClearMeta();
    fSDK->NeedMeta();
}

std::unique_ptr<dng_memory_block> dng_xmp::SerializeToBlock() const { return nullptr; }

void dng_xmp::AppendXMP(const dng_xmp& other) {
    if (other.HasMeta() && !HasMeta()) fSDK->NeedMeta();
}

void dng_xmp::ReplaceXMP(dng_xmp& other) {
    fSDK = std::move(other.fSDK);
    other.fSDK = std::make_unique<dng_xmp_sdk>();
}

// ---- reading -----------------------------------------------------------------

bool dng_xmp::HasProperty(const char*, const char*) const { return false; }
bool dng_xmp::GetString(const char*, const char*, dng_string&) const { return false; }
bool dng_xmp::GetStringList(const char*, const char*, dng_string_list&) const { return false; }
bool dng_xmp::GetStructField(const char*, const char*, const char*, const char*,
                             dng_string&) const {
    return false;
}
bool dng_xmp::GetAltLangDefault(const char*, const char*, dng_string&) const { return false; }

bool dng_xmp::GetBoolean(const char* ns, const char* path, bool& x) const {
    dng_string s;
    if (!GetString(ns, path, s)) return false;
    if (s.Matches("True")) {
        x = true;
        return true;
    }
    if (s.Matches("False")) {
        x = false;
        return true;
    }
    return false;
}

bool dng_xmp::Get_int32(const char* ns, const char* path, int32& x) const {
    dng_string s;
    if (!GetString(ns, path, s)) return false;
    const char* p = s.Get();
    return ReadSigned(p, p + s.Length(), x);
}

bool dng_xmp::Get_uint32(const char* ns, const char* path, uint32& x) const {
    dng_string s;
    if (!GetString(ns, path, s)) return false;
    const char* p = s.Get();
    return ReadUnsigned(p, p + s.Length(), x);
}

bool dng_xmp::Get_real64(const char* ns, const char* path, real64& x) const {
    dng_string s;
    if (!GetString(ns, path, s)) return false;
    const char* p = s.Get();
    return ReadReal(p, p + s.Length(), x);
}

bool dng_xmp::Get_urational(const char* ns, const char* path, dng_urational& r) const {
    dng_string s;
    if (!GetString(ns, path, s)) return false;
    const char* p = s.Get();
    const char* end = p + s.Length();
    uint32 n = 0, d = 0;
    if (!ReadUnsigned(p, end, n) || !Expect(p, end, '/') || !ReadUnsigned(p, end, d) || d == 0) {
        return false;
    }
    r = dng_urational(n, d);
    return true;
}

bool dng_xmp::Get_srational(const char* ns, const char* path, dng_srational& r) const {
    dng_string s;
    if (!GetString(ns, path, s)) return false;
    const char* p = s.Get();
    const char* end = p + s.Length();
    int32 n = 0, d = 0;
    if (!ReadSigned(p, end, n) || !Expect(p, end, '/') || !ReadSigned(p, end, d) || d == 0) {
        return false;
    }
    r = dng_srational(n, d);
    return true;
}

bool dng_xmp::GetFingerprint(const char* ns, const char* path, dng_fingerprint& print) const {
    dng_string s;
    if (!GetString(ns, path, s)) return false;
    const dng_fingerprint f = DecodeFingerprint(s);
    if (f.IsNull()) return false;
    print = f;
    return true;
}

bool dng_xmp::GetOrientation(uint32& tiffCode) const {
    uint32 x = 0;
    if (!Get_uint32(XMP_NS_TIFF, "Orientation", x) || x < 1 || x > 8) return false;
    tiffCode = x;
    return true;
}

// ---- removal -----------------------------------------------------------------

void dng_xmp::RemoveProperty(const char*, const char*) {}
void dng_xmp::RemoveAllProperties() {}
void dng_xmp::RemoveProperties(const char*) {}
void dng_xmp::RemoveEmptyProperty(const char*, const char*) {}
void dng_xmp::RemoveEmptyProperties(const char*) {}

void dng_xmp::RemoveCreatorKeywordLists() {
    RemoveProperty(XMP_NS_DC, "creator");
    RemoveProperty(XMP_NS_EDITOR, "Keywords");
    RemoveProperty(XMP_NS_EDITOR, "SupplementalCategories");
}

void dng_xmp::ClearIPTCDigest() { RemoveProperty(XMP_NS_EDITOR, "LegacyIPTCDigest"); }

void dng_xmp::RemoveOrientation() { RemoveProperty(XMP_NS_TIFF, "Orientation"); }

void dng_xmp::ClearImageInfo() {
    for (const char* path : {"ImageWidth", "ImageLength", "BitsPerSample", "Compression",
                             "PhotometricInterpretation", "SamplesPerPixel", "PlanarConfiguration",
                             "XResolution", "YResolution", "ResolutionUnit"}) {
        RemoveProperty(XMP_NS_TIFF, path);
    }
    RemoveProperty(XMP_NS_EXIF, "PixelXDimension");
    RemoveProperty(XMP_NS_EXIF, "PixelYDimension");
    RemoveProperty(XMP_NS_EDITOR, "ColorMode");
    RemoveProperty(XMP_NS_EDITOR, "ICCProfile");
}

// ---- writing -----------------------------------------------------------------

void dng_xmp::SetString(const char*, const char*, const dng_string&) { fSDK->NeedMeta(); }

void dng_xmp::SetNormalizedString(const char* ns, const char* path, const dng_string& s) {
    dng_string normal(s);
    normal.SetLineEndingsToNewLines();
    normal.StripLowASCII();
    SetString(ns, path, normal);
}

void dng_xmp::SetStringList(const char*, const char*, const dng_string_list& list) {
    if (list.Count() == 0) return;
    for (uint32 i = 0; i < list.Count(); i++) {
        dng_string normal(list[i]);
        normal.SetLineEndingsToNewLines();
        normal.StripLowASCII();
    }
    fSDK->NeedMeta();
}

void dng_xmp::SetStructField(const char* ns, const char* path, const char*, const char*,
                             const dng_string& s) {
    SetNormalizedString(ns, path, s);
}

void dng_xmp::SetAltLangDefault(const char* ns, const char* path, const dng_string& s) {
    SetNormalizedString(ns, path, s);
}

void dng_xmp::SetBoolean(const char* ns, const char* path, bool x) {
    SetString(ns, path, Text(x ? "True" : "False"));
}

void dng_xmp::Set_int32(const char* ns, const char* path, int32 x, bool usePlus) {
    SetString(ns, path, FormatInt32(x, usePlus));
}

void dng_xmp::Set_uint32(const char* ns, const char* path, uint32 x) {
    SetString(ns, path, FormatUint32(x));
}

void dng_xmp::Set_real64(const char* ns, const char* path, real64 x, uint32 places, bool trim,
                         bool usePlus) {
    SetString(ns, path, FormatReal64(x, places, trim, usePlus));
}

void dng_xmp::Set_urational(const char* ns, const char* path, const dng_urational& r) {
    SetString(ns, path, FormatURational(r));
}

void dng_xmp::Set_srational(const char* ns, const char* path, const dng_srational& r) {
    SetString(ns, path, FormatSRational(r));
}

void dng_xmp::SetVersion(const char* ns, const char* path, uint32 version) {
    SetString(ns, path, EncodeVersion(version));
}

void dng_xmp::SetFingerprint(const char* ns, const char* path, const dng_fingerprint& print,
                             bool allowInvalid) {
    const dng_string s = EncodeFingerprint(print, allowInvalid);
    if (s.IsEmpty()) {
        RemoveProperty(ns, path);
    } else {
        SetString(ns, path, s);
    }
}

void dng_xmp::SetIPTCDigest(const dng_fingerprint& digest) {
    SetFingerprint(XMP_NS_EDITOR, "LegacyIPTCDigest", digest);
}

void dng_xmp::SetOrientation(uint32 tiffCode) { Set_uint32(XMP_NS_TIFF, "Orientation", tiffCode); }

void dng_xmp::UpdateDateTime(const dng_date_time_info& dt) {
    SetString(XMP_NS_TIFF, "DateTime", Text(IsoDate(dt)));
}

void dng_xmp::UpdateMetadataDate(const dng_date_time_info& dt) {
    SetString(XMP_NS_XAP, "MetadataDate", Text(IsoDate(dt)));
}

void dng_xmp::SetImageSize(uint32 width, uint32 height) {
    Set_uint32(XMP_NS_TIFF, "ImageWidth", width);
    Set_uint32(XMP_NS_TIFF, "ImageLength", height);
    Set_uint32(XMP_NS_EXIF, "PixelXDimension", width);
    Set_uint32(XMP_NS_EXIF, "PixelYDimension", height);
}

void dng_xmp::SetSampleInfo(uint32 samplesPerPixel, uint32 bitsPerSample) {
    Set_uint32(XMP_NS_TIFF, "SamplesPerPixel", samplesPerPixel);
    Set_uint32(XMP_NS_TIFF, "BitsPerSample", bitsPerSample);
}

void dng_xmp::SetPhotometricInterpretation(uint32 pi) {
    Set_uint32(XMP_NS_TIFF, "PhotometricInterpretation", pi);
}

void dng_xmp::SetResolution(const dng_urational& x, const dng_urational& y, uint32 unit) {
    Set_urational(XMP_NS_TIFF, "XResolution", x);
    Set_urational(XMP_NS_TIFF, "YResolution", y);
    Set_uint32(XMP_NS_TIFF, "ResolutionUnit", unit);
}

// ---- text forms ----------------------------------------------------------------

dng_string dng_xmp::EncodeVersion(uint32 v) {
    const uint32 b[4] = {v >> 24, (v >> 16) & 0xFF, (v >> 8) & 0xFF, v & 0xFF};
    std::string s = Unsigned(b[0]) + "." + Unsigned(b[1]);
    if (b[3] != 0) {
        s += "." + Unsigned(b[2]) + "." + Unsigned(b[3]);
    } else if (b[2] != 0) {
        s += "." + Unsigned(b[2]);
    }
    return Text(s);
}

dng_string dng_xmp::EncodeExifVersion(uint32 version) {
    std::string s;
    for (int32 shift = 24; shift >= 0; shift -= 8) {
        const uint32 digit = ((version >> shift) & 0xFF) - '0';
        if (digit > 9) return dng_string();
        s += char('0' + digit);
    }
    return Text(s);
}

uint32 dng_xmp::DecodeExifVersion(const dng_string& s) {
    if (s.Length() != 4) return 0;
    uint32 version = 0;
    for (uint32 i = 0; i < 4; i++) {
        const char c = s.Get()[i];
        if (c < '0' || c > '9') return 0;
        version = version << 8 | uint32(c);
    }
    return version;
}

dng_string dng_xmp::EncodeGPSVersion(uint32 version) {
    if (version == 0 || version >= 0x0A000000) return dng_string();
    const uint32 b[4] = {version >> 24, (version >> 16) & 0xFF, (version >> 8) & 0xFF,
                         version & 0xFF};
    for (uint32 x : b)
        if (x >= 10) return dng_string();
    return Text(Unsigned(b[0]) + "." + Unsigned(b[1]) + "." + Unsigned(b[2]) + "." +
                Unsigned(b[3]));
}

uint32 dng_xmp::DecodeGPSVersion(const dng_string& s) {
    if (s.Length() != 7) return 0;
    const char* p = s.Get();
    const char* end = p + 7;
    uint32 b[4];
    for (uint32 i = 0; i < 4; i++) {
        if (i && !Expect(p, end, '.')) return 0;
        if (!ReadUnsigned(p, end, b[i]) || b[i] > 255) return 0;
    }
    return b[0] << 24 | b[1] << 16 | b[2] << 8 | b[3];
}

dng_string dng_xmp::EncodeFingerprint(const dng_fingerprint& f, bool allowInvalid) {
    if (f.IsNull() && !allowInvalid) return dng_string();
    char text[2 * dng_fingerprint::kDNGFingerprintSize + 1];
    f.ToHexText(text);
    return Text(text);
}

dng_fingerprint dng_xmp::DecodeFingerprint(const dng_string& s) {
    dng_fingerprint f;
    if (s.Length() == 2 * dng_fingerprint::kDNGFingerprintSize) f.FromHexText(s.Get());
    return f;
}

dng_string dng_xmp::FormatInt32(int32 x, bool usePlus) {
    return Text((usePlus && x > 0 ? "+" : "") + std::to_string(x));
}

dng_string dng_xmp::FormatUint32(uint32 x) { return Text(Unsigned(x)); }

dng_string dng_xmp::FormatReal64(real64 x, uint32 places, bool trim, bool usePlus) {
    std::string s = Fixed(x, places);
    if (trim) TrimZeros(s);
    if (usePlus && x > 0.0) s = "+" + s;
    return Text(s);
}

dng_string dng_xmp::FormatURational(const dng_urational& r) {
    return Text(Unsigned(r.n) + "/" + Unsigned(r.d));
}

dng_string dng_xmp::FormatSRational(const dng_srational& r) {
    return Text(std::to_string(r.n) + "/" + std::to_string(r.d));
}

dng_string dng_xmp::EncodeLensInfo(const dng_urational info[4]) {
    std::string s;
    for (uint32 i = 0; i < 4; i++) {
        if (i) s += " ";
        s += Unsigned(info[i].n) + "/" + Unsigned(info[i].d);
    }
    return Text(s);
}

bool dng_xmp::DecodeLensInfo(const dng_string& s, dng_urational info[4]) {
    const char* p = s.Get();
    const char* end = p + s.Length();
    dng_urational values[4];
    for (uint32 i = 0; i < 4; i++) {
        if (i && !Expect(p, end, ' ')) return false;
        if (!ReadUnsigned(p, end, values[i].n) || !Expect(p, end, '/') ||
            !ReadUnsigned(p, end, values[i].d)) {
            return false;
        }
    }
    for (uint32 i = 0; i < 4; i++) info[i] = values[i];
    return true;
}

dng_string dng_xmp::EncodeLensDistortInfo(const dng_srational info[4]) {
    std::string s;
    for (uint32 i = 0; i < 4; i++) {
        if (i) s += " ";
        s += std::to_string(info[i].n) + "/" + std::to_string(info[i].d);
    }
    return Text(s);
}

bool dng_xmp::DecodeLensDistortInfo(const dng_string& s, dng_srational info[4]) {
    const char* p = s.Get();
    const char* end = p + s.Length();
    dng_srational values[4];
    for (uint32 i = 0; i < 4; i++) {
        if (i && !Expect(p, end, ' ')) return false;
        if (!ReadSigned(p, end, values[i].n) || !Expect(p, end, '/') ||
            !ReadSigned(p, end, values[i].d)) {
            return false;
        }
    }
    for (uint32 i = 0; i < 4; i++) info[i] = values[i];
    return true;
}

dng_string dng_xmp::EncodeGPSCoordinate(const dng_string& ref, const dng_urational* coord) {
    if (ref.Length() != 1 || coord[0].d == 0 || coord[1].d == 0) return dng_string();
    char letter = ref.Get()[0];
    if (letter >= 'a' && letter <= 'z') letter = char(letter - 'a' + 'A');
    if (letter != 'E' && letter != 'N' && letter != 'S' && letter != 'W') return dng_string();
    if (coord[0].d == 1 && coord[1].d == 1 && coord[2].d == 1) {
        return Text(Unsigned(coord[0].n) + "," + Unsigned(coord[1].n) + "," + Unsigned(coord[2].n) +
                    letter);
    }
    const real64 seconds = coord[2].d ? coord[2].AsReal64() : 0.0;
    const real64 minutes = seconds / 60.0 + coord[0].AsReal64() * 60.0 + coord[1].AsReal64();
    const real64 scaled = minutes * 10000000.0;
    const uint64 t = uint64(scaled >= 0 ? scaled + 0.5 : scaled - 0.5);
    const uint32 degrees = uint32(t / 600000000ull);
    std::string m = Fixed(real64(t % 600000000ull) * 1.0e-7, 7);
    TrimZeros(m);
    return Text(Unsigned(degrees) + "," + m + letter);
}

void dng_xmp::DecodeGPSCoordinate(const dng_string& s, dng_string& ref, dng_urational* coord) {
    if (s.Length() < 2) return;
    char letter = s.Get()[s.Length() - 1];
    if (letter >= 'a' && letter <= 'z') letter = char(letter - 'a' + 'A');
    if (letter != 'E' && letter != 'N' && letter != 'S' && letter != 'W') return;
    dng_string body;
    body.Set(std::string(s.Get(), s.Length() - 1).c_str());
    body.NormalizeNumberList();
    const char* p = body.Get();
    const char* end = p + body.Length();
    int32 degrees = 0;
    real64 minutes = 0.0, seconds = 0.0;
    if (!ReadSigned(p, end, degrees)) return;
    uint32 count = 1;
    if (Expect(p, end, ',') && ReadReal(p, end, minutes)) {
        count = 2;
        if (Expect(p, end, ',') && ReadReal(p, end, seconds)) count = 3;
    }
    if (degrees < 0 || minutes < 0.0 || seconds < 0.0) return;
    coord[0] = dng_urational(uint32(degrees), 1);
    if (count == 3) {
        coord[1] = dng_urational(uint32(minutes + 0.5), 1);
        coord[2] = dng_urational(uint32(seconds * 100000.0 + 0.5), 100000);
    } else if (count == 1) {
        coord[1] = dng_urational(0, 1);
        coord[2] = dng_urational(0, 1);
    } else {
        coord[1] = dng_urational(uint32(minutes * 10000000.0 + 0.5), 10000000);
        coord[2] = dng_urational(0, 1);
    }
    ref.Set(std::string(1, letter).c_str());
}

dng_string dng_xmp::EncodeGPSDateTime(const dng_string& dateStamp, const dng_urational* timeStamp) {
    if (timeStamp[0].d == 0 || timeStamp[1].d == 0 || timeStamp[2].d == 0) return dng_string();
    std::string sec = Fixed(timeStamp[2].AsReal64(), 6);
    if (sec.size() < 9) sec.insert(0, 9 - sec.size(), '0');
    TrimZeros(sec);
    const real64 h = timeStamp[0].AsReal64() + 0.5;
    const real64 m = timeStamp[1].AsReal64() + 0.5;
    const uint32 hours = h > 0.0 ? uint32(h) : 0;
    const uint32 minutes = m > 0.0 ? uint32(m) : 0;
    const std::string time = TwoDigits(hours) + ":" + TwoDigits(minutes) + ":" + sec + "Z";

    const char* p = dateStamp.Get();
    const char* end = p + dateStamp.Length();
    int32 year = 0, month = 0, day = 0;
    if (ReadSigned(p, end, year) && Expect(p, end, ':') && ReadSigned(p, end, month) &&
        Expect(p, end, ':') && ReadSigned(p, end, day) && year >= 1 && year <= 9999 && month >= 1 &&
        month <= 12 && day >= 1 && day <= 31) {
        char date[32];
        std::snprintf(date, sizeof(date), "%04d-%02d-%02dT", year, month, day);
        return Text(date + time);
    }
    return Text(time);
}

void dng_xmp::DecodeGPSDateTime(const dng_string& s, dng_string& dateStamp,
                                dng_urational* timeStamp) {
    const char* begin = s.Get();
    const char* end = begin + s.Length();
    uint32 year = 0, month = 0, day = 0, hours = 0, minutes = 0;
    real64 seconds = 0.0;
    const char* p = begin;
    bool parsed = false;
    if (ReadUnsigned(p, end, year) && Expect(p, end, '-') && ReadUnsigned(p, end, month) &&
        Expect(p, end, '-') && ReadUnsigned(p, end, day) && Expect(p, end, 'T') &&
        ReadUnsigned(p, end, hours) && Expect(p, end, ':') && ReadUnsigned(p, end, minutes) &&
        Expect(p, end, ':') && ReadReal(p, end, seconds)) {
        parsed = true;
        if (day >= 1 && day <= 31 && year >= 1 && year <= 9999 && month >= 1 && month <= 12) {
            char date[32];
            std::snprintf(date, sizeof(date), "%04u:%02u:%02u", year, month, day);
            dateStamp.Set(date);
        }
    } else {
        p = begin;
        parsed = ReadUnsigned(p, end, hours) && Expect(p, end, ':') &&
                 ReadUnsigned(p, end, minutes) && Expect(p, end, ':') && ReadReal(p, end, seconds);
    }
    if (!parsed) return;
    timeStamp[0] = dng_urational(hours, 1);
    timeStamp[1] = dng_urational(minutes, 1);
    timeStamp[2].SetReal64(seconds, 1000);
}

// ---- the sync rule -------------------------------------------------------------

bool dng_xmp::SyncString(const char* ns, const char* path, dng_string& s, uint32 options) {
    if (options & ignoreXMP) {
        if ((options & removeXMP) || s.IsEmpty()) {
            RemoveProperty(ns, path);
        } else {
            SetString(ns, path, s);
        }
        return false;
    }
    if ((options & preferNonXMP) && s.NotEmpty()) {
        if (options & removeXMP) {
            RemoveProperty(ns, path);
        } else {
            SetString(ns, path, s);
        }
        return false;
    }
    if ((options & preferXMP) || s.IsEmpty()) {
        dng_string found;
        if (GetString(ns, path, found)) {
            s = found;
            if (options & removeXMP) RemoveProperty(ns, path);
            return true;
        }
    }
    if (options & removeXMP) {
        RemoveProperty(ns, path);
    } else if (s.NotEmpty()) {
        SetString(ns, path, s);
    }
    return false;
}

bool dng_xmp::SyncAltLangDefault(const char* ns, const char* path, dng_string& s, uint32 options) {
    dng_string found;
    const bool read = !(options & ignoreXMP) && !((options & preferNonXMP) && s.NotEmpty()) &&
                      ((options & preferXMP) || s.IsEmpty()) && GetAltLangDefault(ns, path, found);
    if (read) {
        s = found;
        if (options & removeXMP) RemoveProperty(ns, path);
        return true;
    }
    if ((options & removeXMP) || s.IsEmpty()) {
        RemoveProperty(ns, path);
    } else {
        SetAltLangDefault(ns, path, s);
    }
    return false;
}

bool dng_xmp::SyncUint32(const char* ns, const char* path, uint32& x, bool isDefault,
                         uint32 options) {
    const bool unset = isDefault || x == 0xFFFFFFFF;
    if (!(options & ignoreXMP) && !((options & preferNonXMP) && !unset) &&
        ((options & preferXMP) || unset)) {
        uint32 found = 0;
        if (Get_uint32(ns, path, found)) {
            x = found;
            if (options & removeXMP) RemoveProperty(ns, path);
            return true;
        }
    }
    if ((options & removeXMP) || unset) {
        RemoveProperty(ns, path);
    } else {
        Set_uint32(ns, path, x);
    }
    return false;
}

bool dng_xmp::SyncUint32Array(const char* ns, const char* path, uint32* data, uint32& count,
                              uint32 maxCount, uint32 options) {
    for (uint32 i = count; i < maxCount; i++) data[i] = 0;
    dng_string_list found;
    if (!(options & ignoreXMP) && ((options & preferXMP) || count == 0) &&
        GetStringList(ns, path, found)) {
        return true;
    }
    if ((options & removeXMP) || count == 0) {
        RemoveProperty(ns, path);
    } else {
        fSDK->NeedMeta();
    }
    return false;
}

namespace {

// The rule both rational syncs share: take the XMP value when asked to (or
// when ours is unset), else write ours back, or remove it when told to.
template <typename R>
bool SyncRational(dng_xmp& xmp, const char* ns, const char* path, R& r, uint32 options,
                  bool (dng_xmp::*get)(const char*, const char*, R&) const,
                  void (dng_xmp::*set)(const char*, const char*, const R&)) {
    const bool unset = r.d == 0;
    if (!(options & dng_xmp::ignoreXMP) && !((options & dng_xmp::preferNonXMP) && !unset) &&
        ((options & dng_xmp::preferXMP) || unset)) {
        R found;
        if ((xmp.*get)(ns, path, found)) {
            r = found;
            if (options & dng_xmp::removeXMP) xmp.RemoveProperty(ns, path);
            return true;
        }
    }
    if ((options & dng_xmp::removeXMP) || unset) {
        xmp.RemoveProperty(ns, path);
    } else {
        (xmp.*set)(ns, path, r);
    }
    return false;
}

}  // namespace

bool dng_xmp::SyncURational(const char* ns, const char* path, dng_urational& r, uint32 options) {
    return SyncRational(*this, ns, path, r, options, &dng_xmp::Get_urational,
                        &dng_xmp::Set_urational);
}

bool dng_xmp::SyncSRational(const char* ns, const char* path, dng_srational& r, uint32 options) {
    return SyncRational(*this, ns, path, r, options, &dng_xmp::Get_srational,
                        &dng_xmp::Set_srational);
}

// ---- EXIF ----------------------------------------------------------------------

void dng_xmp::MakeLensName(dng_exif& exif) {
    if (exif.fLensName.NotEmpty() && !exif.fLensName.EndsWith("f/0.0", false)) return;
    if (exif.fLensInfo[0].d == 0) return;
    const real64 f1 = exif.fLensInfo[0].AsReal64();
    const real64 f2 = exif.fLensInfo[1].AsReal64();
    const bool hasApertures = exif.fLensInfo[2].d != 0;
    const real64 a1 = hasApertures ? exif.fLensInfo[2].AsReal64() : 0.0;
    const real64 a2 = hasApertures && exif.fLensInfo[3].d ? exif.fLensInfo[3].AsReal64() : 0.0;
    // NaN compares unequal, so it counts as a range.
    const bool focalRange = !(f1 == f2);
    std::string name = Fixed(f1, 1);
    if (focalRange) name += "-" + Fixed(f2, 1);
    name += " mm";
    if (hasApertures) {
        name += " f/" + Fixed(a1, 1);
        if (focalRange && !(a1 == a2)) name += "-" + Fixed(a2, 1);
    }
    exif.fLensName.Set(name.c_str());
    SetString(XMP_NS_AUX, "Lens", exif.fLensName);
}

void dng_xmp::SyncLensName(dng_exif& exif) {
    dng_string name;
    if (GetString(XMP_NS_AUX, "Lens", name) || GetString(XMP_NS_EXIFEX, "LensModel", name)) {
        exif.fLensName = name;
    }
    MakeLensName(exif);
}

void dng_xmp::SyncFocusDistance(dng_exif& exif, uint32 options) {
    SyncURational(XMP_NS_AUX, "ApproximateFocusDistance", exif.fApproxFocusDistance, options);
}

void dng_xmp::SyncExif(dng_exif& exif, const dng_exif* originalExif, bool doingUpdateFromXMP,
                       bool removeFromXMP) {
    if (doingUpdateFromXMP && !originalExif) {
        ThrowProgramError("Original EXIF needed when updating from XMP");
    }
    const uint32 options = uint32(doingUpdateFromXMP ? ignoreXMP : preferNonXMP) |
                           (removeFromXMP ? uint32(removeXMP) : 0u);

    SyncString(XMP_NS_TIFF, "Make", exif.fMake, options);
    SyncString(XMP_NS_TIFF, "Model", exif.fModel, options);

    if (exif.fExifVersion == 0) exif.SetVersion0231();
    SetString(XMP_NS_EXIF, "ExifVersion", EncodeExifVersion(exif.fExifVersion));

    // Each pair derives one value from the other; twice settles both.
    for (uint32 pass = 0; pass < 2; pass++) {
        if (exif.fExposureTime.d) exif.SetExposureTime(exif.fExposureTime.AsReal64(), false);
        if (exif.fShutterSpeedValue.d) {
            exif.SetShutterSpeedValue(exif.fShutterSpeedValue.AsReal64());
        }
    }
    SyncURational(XMP_NS_EXIF, "ExposureTime", exif.fExposureTime, options);
    SyncSRational(XMP_NS_EXIF, "ShutterSpeedValue", exif.fShutterSpeedValue, options);
    for (uint32 pass = 0; pass < 2; pass++) {
        if (exif.fFNumber.d) exif.SetFNumber(exif.fFNumber.AsReal64());
        if (exif.fApertureValue.d) exif.SetApertureValue(exif.fApertureValue.AsReal64());
    }
    SyncURational(XMP_NS_EXIF, "FNumber", exif.fFNumber, options);
    SyncURational(XMP_NS_EXIF, "ApertureValue", exif.fApertureValue, options);
    SyncUint32(XMP_NS_EXIF, "ExposureProgram", exif.fExposureProgram, false, options);

    // ISO speed ratings: a list ending at its first 0.
    bool anyUnset = false;
    for (uint32 i = 0; i < 3; i++) anyUnset = anyUnset || exif.fISOSpeedRatings[i] == 65535;
    if (!anyUnset) {
        uint32 count = 0;
        while (count < 3 && exif.fISOSpeedRatings[count] != 0) count++;
        SyncUint32Array(XMP_NS_EXIF, "ISOSpeedRatings", exif.fISOSpeedRatings, count, 3, options);
    }
    SyncUint32(XMP_NS_EXIFEX, "SensitivityType", exif.fSensitivityType, exif.fSensitivityType == 0,
               options);
    SyncUint32(XMP_NS_EXIFEX, "StandardOutputSensitivity", exif.fStandardOutputSensitivity,
               exif.fStandardOutputSensitivity == 0, options);
    SyncUint32(XMP_NS_EXIFEX, "RecommendedExposureIndex", exif.fRecommendedExposureIndex,
               exif.fRecommendedExposureIndex == 0, options);
    SyncUint32(XMP_NS_EXIFEX, "ISOSpeed", exif.fISOSpeed, exif.fISOSpeed == 0, options);
    SyncUint32(XMP_NS_EXIFEX, "ISOSpeedLatitudeyyy", exif.fISOSpeedLatitudeyyy,
               exif.fISOSpeedLatitudeyyy == 0, options);
    SyncUint32(XMP_NS_EXIFEX, "ISOSpeedLatitudezzz", exif.fISOSpeedLatitudezzz,
               exif.fISOSpeedLatitudezzz == 0, options);

    SyncURational(XMP_NS_EXIF, "ExposureIndex", exif.fExposureIndex, options);
    SyncSRational(XMP_NS_EXIF, "BrightnessValue", exif.fBrightnessValue, options);
    SyncSRational(XMP_NS_EXIF, "ExposureBiasValue", exif.fExposureBiasValue, options);
    SyncURational(XMP_NS_EXIF, "MaxApertureValue", exif.fMaxApertureValue, options);
    SyncURational(XMP_NS_EXIF, "SubjectDistance", exif.fSubjectDistance, options);
    SyncUint32(XMP_NS_EXIF, "MeteringMode", exif.fMeteringMode, false, options);
    SyncUint32(XMP_NS_EXIF, "LightSource", exif.fLightSource, false, options);
    if (exif.fFlash != 0xFFFFFFFF) {
        // The flash struct's fields, formatted and dropped.
        SetBoolean(XMP_NS_EXIF, "Flash/Fired", (exif.fFlash & 1) != 0);
        if ((exif.fFlashMask & 0x06) == 0x06) {
            Set_uint32(XMP_NS_EXIF, "Flash/Return", (exif.fFlash >> 1) & 3);
        }
        if ((exif.fFlashMask & 0x18) == 0x18) {
            Set_uint32(XMP_NS_EXIF, "Flash/Mode", (exif.fFlash >> 3) & 3);
        }
        if (exif.fFlashMask & 0x20)
            SetBoolean(XMP_NS_EXIF, "Flash/Function", (exif.fFlash & 0x20) != 0);
        if (exif.fFlashMask & 0x40)
            SetBoolean(XMP_NS_EXIF, "Flash/RedEyeMode", (exif.fFlash & 0x40) != 0);
    }
    SyncURational(XMP_NS_EXIF, "FocalLength", exif.fFocalLength, options);
    SyncUint32(XMP_NS_EXIF, "SensingMethod", exif.fSensingMethod, false, options);
    SyncUint32(XMP_NS_EXIF, "FileSource", exif.fFileSource, false, options);
    SyncUint32(XMP_NS_EXIF, "SceneType", exif.fSceneType, false, options);
    SyncUint32(XMP_NS_EXIF, "FocalLengthIn35mmFilm", exif.fFocalLengthIn35mmFilm,
               exif.fFocalLengthIn35mmFilm == 0, options);
    SyncUint32(XMP_NS_EXIF, "CustomRendered", exif.fCustomRendered, false, options);
    SyncUint32(XMP_NS_EXIF, "ExposureMode", exif.fExposureMode, false, options);
    SyncUint32(XMP_NS_EXIF, "WhiteBalance", exif.fWhiteBalance, false, options);
    SyncUint32(XMP_NS_EXIF, "SceneCaptureType", exif.fSceneCaptureType, false, options);
    SyncUint32(XMP_NS_EXIF, "GainControl", exif.fGainControl, false, options);
    SyncUint32(XMP_NS_EXIF, "Contrast", exif.fContrast, false, options);
    SyncUint32(XMP_NS_EXIF, "Saturation", exif.fSaturation, false, options);
    SyncUint32(XMP_NS_EXIF, "Sharpness", exif.fSharpness, false, options);
    SyncUint32(XMP_NS_EXIF, "SubjectDistanceRange", exif.fSubjectDistanceRange, false, options);
    SyncUint32Array(XMP_NS_EXIF, "SubjectArea", exif.fSubjectArea, exif.fSubjectAreaCount, 4,
                    options);
    SyncURational(XMP_NS_EXIF, "DigitalZoomRatio", exif.fDigitalZoomRatio, options);
    SyncURational(XMP_NS_EXIF, "FocalPlaneXResolution", exif.fFocalPlaneXResolution, options);
    SyncURational(XMP_NS_EXIF, "FocalPlaneYResolution", exif.fFocalPlaneYResolution, options);
    SyncUint32(XMP_NS_EXIF, "FocalPlaneResolutionUnit", exif.fFocalPlaneResolutionUnit, false,
               options);

    // Texts the XMP side would hold; as authority it holds none here.
    if (doingUpdateFromXMP) {
        exif.fImageDescription.Clear();
        exif.fArtist.Clear();
        exif.fSoftware.Clear();
        exif.fCopyright.Clear();
    }
    SyncAltLangDefault(XMP_NS_DC, "description", exif.fImageDescription, options);
    if (exif.fArtist.NotEmpty() && !(options & removeXMP)) fSDK->NeedMeta();
    SyncString(XMP_NS_XAP, "CreatorTool", exif.fSoftware, options);
    SyncAltLangDefault(XMP_NS_DC, "rights", exif.fCopyright, options);

    SyncString(XMP_NS_AUX, "SerialNumber", exif.fCameraSerialNumber, options);
    if (exif.fLensInfo[0].d && !(options & removeXMP)) {
        SetString(XMP_NS_AUX, "LensInfo", EncodeLensInfo(exif.fLensInfo));
    }
    SyncLensName(exif);
    SyncString(XMP_NS_AUX, "LensID", exif.fLensID, options);
    SyncString(XMP_NS_EXIF, "LensMake", exif.fLensMake, options);
    SyncString(XMP_NS_AUX, "LensSerialNumber", exif.fLensSerialNumber, options);
    SyncUint32(XMP_NS_AUX, "ImageNumber", exif.fImageNumber, false, options);
    SyncAltLangDefault(XMP_NS_EXIF, "UserComment", exif.fUserComment, options);
    SyncFocusDistance(exif, options);
    if (exif.fLensDistortInfo[0].d && !(options & removeXMP)) {
        SetString(XMP_NS_AUX, "LensDistortInfo", EncodeLensDistortInfo(exif.fLensDistortInfo));
    }
    SyncSRational(XMP_NS_AUX, "FlashCompensation", exif.fFlashCompensation, options);
    SyncString(XMP_NS_AUX, "OwnerName", exif.fOwnerName, options);
    SyncString(XMP_NS_AUX, "Firmware", exif.fFirmware, options);
    if (exif.fImageUniqueID.IsValid() && !(options & removeXMP)) {
        SetString(XMP_NS_EXIF, "ImageUniqueID", EncodeFingerprint(exif.fImageUniqueID));
    }

    // GPS: no property is ever found, so only the altitude's sign moves.
    if (exif.fGPSVersionID && !(options & removeXMP)) {
        SetString(XMP_NS_EXIF, "GPSVersionID", EncodeGPSVersion(exif.fGPSVersionID));
    }
    if (!(options & removeXMP)) {
        SetString(XMP_NS_EXIF, "GPSLatitude",
                  EncodeGPSCoordinate(exif.fGPSLatitudeRef, exif.fGPSLatitude));
        SetString(XMP_NS_EXIF, "GPSLongitude",
                  EncodeGPSCoordinate(exif.fGPSLongitudeRef, exif.fGPSLongitude));
        SetString(XMP_NS_EXIF, "GPSTimeStamp",
                  EncodeGPSDateTime(exif.fGPSDateStamp, exif.fGPSTimeStamp));
    }
    if (exif.fGPSAltitude.d >= 1 && exif.fGPSAltitude.d <= 6 && int32(exif.fGPSAltitude.n) < 0 &&
        (exif.fGPSAltitudeRef == 0 || exif.fGPSAltitudeRef == 0xFFFFFFFF)) {
        exif.fGPSAltitude.n = uint32(-int32(exif.fGPSAltitude.n));
        exif.fGPSAltitudeRef = 1;
    }
    SyncUint32(XMP_NS_EXIF, "GPSAltitudeRef", exif.fGPSAltitudeRef, false, options);
    SyncURational(XMP_NS_EXIF, "GPSAltitude", exif.fGPSAltitude, options);

    // Dates: written from the record (or removed), the record unchanged.
    const struct {
        const char* ns;
        const char* path;
        const dng_date_time_info* dt;
    } dates[] = {{XMP_NS_TIFF, "DateTime", &exif.fDateTime},
                 {XMP_NS_EXIF, "DateTimeOriginal", &exif.fDateTimeOriginal},
                 {XMP_NS_EXIF, "DateTimeDigitized", &exif.fDateTimeDigitized}};
    for (const auto& d : dates) {
        if (d.dt->IsValid() && !(options & removeXMP)) {
            SetString(d.ns, d.path, Text(IsoDate(*d.dt)));
        } else {
            RemoveProperty(d.ns, d.path);
        }
    }
    if (exif.fDateTimeOriginal.IsValid()) {
        SetString(XMP_NS_EDITOR, "DateCreated", Text(IsoDate(exif.fDateTimeOriginal)));
    }
    SyncSRational(XMP_NS_EXIFEX, "Temperature", exif.fTemperature, options);
    SyncURational(XMP_NS_EXIFEX, "Humidity", exif.fHumidity, options);
    SyncURational(XMP_NS_EXIFEX, "Pressure", exif.fPressure, options);
    SyncSRational(XMP_NS_EXIFEX, "WaterDepth", exif.fWaterDepth, options);
    SyncURational(XMP_NS_EXIFEX, "Acceleration", exif.fAcceleration, options);
    SyncSRational(XMP_NS_EXIFEX, "CameraElevationAngle", exif.fCameraElevationAngle, options);

    RemoveProperty(XMP_NS_EXIF, "NativeDigest");
    RemoveProperty(XMP_NS_TIFF, "NativeDigest");
    dng_string title;
    SyncAltLangDefault(XMP_NS_DC, "title", title, options);
}
