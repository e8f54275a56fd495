#include "document/JpegExport.h"

#include <algorithm>
#include <cmath>
#include <map>
#include <optional>

namespace {

using platform::Dictionary;
using platform::Value;

// ---------------------------------------------------------------- EXIF

enum TiffType : uint16_t {
    kAscii = 2,
    kShort = 3,
    kLong = 4,
    kRational = 5,
    kSRational = 10,
    kUndefined = 7
};

struct Entry {
    uint16_t type = 0;
    uint32_t count = 0;
    std::vector<uint8_t> bytes;  // little-endian value bytes
};

using Directory = std::map<uint16_t, Entry>;  // ordered by tag, as TIFF wants

void put16(std::vector<uint8_t>& b, uint16_t v) {
    b.push_back(static_cast<uint8_t>(v));
    b.push_back(static_cast<uint8_t>(v >> 8));
}
void put32(std::vector<uint8_t>& b, uint32_t v) {
    for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
// Texts from a file are cut short (at a NUL, or at 1024 bytes) so the block
// always fits one APP1 segment.
constexpr size_t kMaxText = 1024;

void addAscii(Directory& d, uint16_t tag, const std::string& text) {
    const std::string value = text.substr(0, std::min(text.find('\0'), kMaxText));
    if (value.empty()) return;
    Entry e{kAscii, static_cast<uint32_t>(value.size() + 1), {}};
    e.bytes.assign(value.begin(), value.end());
    e.bytes.push_back(0);
    d[tag] = std::move(e);
}
void addShort(Directory& d, uint16_t tag, uint16_t v) {
    Entry e{kShort, 1, {}};
    put16(e.bytes, v);
    d[tag] = std::move(e);
}
// A number from a file as a SHORT; values it cannot hold are left out.
void addShortNumber(Directory& d, uint16_t tag, double v) {
    if (std::isfinite(v) && v >= 0 && v <= 65535) addShort(d, tag, static_cast<uint16_t>(v));
}
void addLong(Directory& d, uint16_t tag, uint32_t v) {
    Entry e{kLong, 1, {}};
    put32(e.bytes, v);
    d[tag] = std::move(e);
}
void addUndefined(Directory& d, uint16_t tag, const char* bytes, uint32_t n) {
    Entry e{kUndefined, n, std::vector<uint8_t>(bytes, bytes + n)};
    d[tag] = std::move(e);
}

// A positive real as the nearest rational with a denominator that keeps
// short exposure times exact (1/250 stays 1/250).
void addRational(Directory& d, uint16_t tag, double v) {
    if (!std::isfinite(v) || v < 0 || v > 4.0e9) return;
    uint32_t num, den;
    if (v > 0 && v < 1 && std::fabs(1.0 / v - std::round(1.0 / v)) < 1e-6) {
        num = 1;
        den = static_cast<uint32_t>(std::round(1.0 / v));
    } else {
        den = v < 1000 ? 10000 : 1;
        num = static_cast<uint32_t>(std::llround(v * den));
    }
    Entry e{kRational, 1, {}};
    put32(e.bytes, num);
    put32(e.bytes, den);
    d[tag] = std::move(e);
}
void addSRational(Directory& d, uint16_t tag, double v) {
    if (!std::isfinite(v) || std::fabs(v) > 2.0e5) return;
    const int32_t num = static_cast<int32_t>(std::lround(v * 10000));
    Entry e{kSRational, 1, {}};
    put32(e.bytes, static_cast<uint32_t>(num));
    put32(e.bytes, 10000);
    d[tag] = std::move(e);
}

const Dictionary* subDictionary(const Dictionary& properties, std::string_view key) {
    const Value* v = properties.find(key);
    return v && v->isDictionary() ? &v->dictionary() : nullptr;
}

std::string stringOf(const Dictionary* d, std::string_view key) {
    if (!d) return {};
    const Value* v = d->find(key);
    return v && v->isString() ? v->string() : std::string();
}

std::optional<double> numberOf(const Dictionary* d, std::string_view key) {
    if (!d) return std::nullopt;
    const Value* v = d->find(key);
    if (!v) return std::nullopt;
    if (v->isArray() && !v->array().empty() && v->array()[0].isNumber())
        return v->array()[0].realValue();
    if (!v->isNumber()) return std::nullopt;
    return v->realValue();
}

// Writes the directory at the end of `out` (its offset must be even);
// out-of-line values follow it. Returns the offset of its next-IFD field.
size_t writeDirectory(std::vector<uint8_t>& out, const Directory& d) {
    const size_t start = out.size();
    size_t dataOffset = start + 2 + d.size() * 12 + 4;
    std::vector<uint8_t> data;
    put16(out, static_cast<uint16_t>(d.size()));
    for (const auto& [tag, e] : d) {
        put16(out, tag);
        put16(out, e.type);
        put32(out, e.count);
        if (e.bytes.size() <= 4) {
            std::vector<uint8_t> inline4 = e.bytes;
            inline4.resize(4, 0);
            out.insert(out.end(), inline4.begin(), inline4.end());
        } else {
            put32(out, static_cast<uint32_t>(dataOffset + data.size()));
            data.insert(data.end(), e.bytes.begin(), e.bytes.end());
            if (data.size() % 2) data.push_back(0);
        }
    }
    const size_t next = out.size();
    put32(out, 0);
    out.insert(out.end(), data.begin(), data.end());
    return next;
}

size_t directorySize(const Directory& d) {
    size_t n = 2 + d.size() * 12 + 4;
    for (const auto& [tag, e] : d)
        if (e.bytes.size() > 4) n += e.bytes.size() + (e.bytes.size() % 2);
    return n;
}

}  // namespace

std::vector<uint8_t> JpegExport::exifBlock(const Dictionary& properties,
                                           const std::string& software, uint32_t width,
                                           uint32_t height) {
    const Dictionary* tiff = subDictionary(properties, "{TIFF}");
    const Dictionary* exif = subDictionary(properties, "{Exif}");

    Directory ifd0;
    addAscii(ifd0, 0x010F, stringOf(tiff, "Make"));
    addAscii(ifd0, 0x0110, stringOf(tiff, "Model"));
    addShort(ifd0, 0x0112, 1);  // the pixels are already turned
    addRational(ifd0, 0x011A, 72);
    addRational(ifd0, 0x011B, 72);
    addShort(ifd0, 0x0128, 2);  // inches
    addAscii(ifd0, 0x0131, software);
    addAscii(ifd0, 0x0132, stringOf(tiff, "DateTime"));
    addAscii(ifd0, 0x013B, stringOf(tiff, "Artist"));
    addAscii(ifd0, 0x8298, stringOf(tiff, "Copyright"));
    addShort(ifd0, 0x0213, 1);  // centred chroma samples

    Directory exifIFD;
    if (auto v = numberOf(exif, "ExposureTime")) addRational(exifIFD, 0x829A, *v);
    if (auto v = numberOf(exif, "FNumber")) addRational(exifIFD, 0x829D, *v);
    if (auto v = numberOf(exif, "ExposureProgram")) addShortNumber(exifIFD, 0x8822, *v);
    if (auto v = numberOf(exif, "ISOSpeedRatings"))
        addShortNumber(exifIFD, 0x8827, std::min(*v, 65535.0));
    addUndefined(exifIFD, 0x9000, "0231", 4);
    addAscii(exifIFD, 0x9003, stringOf(exif, "DateTimeOriginal"));
    addAscii(exifIFD, 0x9004, stringOf(exif, "DateTimeDigitized"));
    addUndefined(exifIFD, 0x9101, "\1\2\3\0", 4);  // Y, Cb, Cr
    if (auto v = numberOf(exif, "ExposureBiasValue")) addSRational(exifIFD, 0x9204, *v);
    if (auto v = numberOf(exif, "MaxApertureValue")) addRational(exifIFD, 0x9205, *v);
    if (auto v = numberOf(exif, "MeteringMode")) addShortNumber(exifIFD, 0x9207, *v);
    if (auto v = numberOf(exif, "Flash")) addShortNumber(exifIFD, 0x9209, *v);
    if (auto v = numberOf(exif, "FocalLength")) addRational(exifIFD, 0x920A, *v);
    addUndefined(exifIFD, 0xA000, "0100", 4);
    addShort(exifIFD, 0xA001, 1);  // sRGB
    addLong(exifIFD, 0xA002, width);
    addLong(exifIFD, 0xA003, height);
    if (auto v = numberOf(exif, "FocalLenIn35mmFilm")) addShortNumber(exifIFD, 0xA405, *v);
    addAscii(exifIFD, 0xA434, stringOf(exif, "LensModel"));

    // Header, IFD0 (with the link to the EXIF directory), then the EXIF directory.
    addLong(ifd0, 0x8769, 0);
    std::vector<uint8_t> out = {'I', 'I', 42, 0};
    put32(out, 8);
    const size_t exifOffset = 8 + directorySize(ifd0);
    addLong(ifd0, 0x8769, static_cast<uint32_t>(exifOffset));
    writeDirectory(out, ifd0);
    writeDirectory(out, exifIFD);
    return out;
}
