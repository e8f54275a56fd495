// Binary form: 4 bytes of the uncompressed length (little-endian) and the
// zlib stream of the table's stream form. Text form: base-85 of the binary
// form, little-endian 32-bit words, least significant digit first.
#include "dng/color/dng_big_table.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>

#include "dng/core/dng_exception.h"
#include "dng/core/dng_md5_printer.h"
#include "dng/core/dng_memory_allocator.h"
#include "dng/core/dng_memory_stream.h"
#include "dng/core/dng_string.h"
#include "dng/core/dng_xmp.h"

namespace {

constexpr char kBase85[] =
    "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ.-:+=^!/*?`'|()[]{}@%$#";

constexpr uint32 kLookTableKind = 0;
constexpr uint32 kRGBTableKind = 1;
constexpr uint32 kMaxLookEntries = 18432;

std::vector<uint8> StreamBytes(dng_memory_stream& stream) {
    stream.Flush();
    const uint64 length = stream.Length();
    if (length > 0xFFFFFFFFu) ThrowMemoryFull();
    std::vector<uint8> bytes(static_cast<size_t>(length));
    stream.SetReadPosition(0);
    if (length) stream.ReadBytes(bytes.data(), uint32(length));
    return bytes;
}

std::string PropertyName(const dng_fingerprint& fingerprint) {
    char hex[2 * dng_fingerprint::kDNGFingerprintSize + 1];
    fingerprint.ToHexText(hex);
    return std::string("Table_") + hex;
}

template <class Data>
class data_cache : public dng_big_table_cache {
public:
    using Getter = Data (*)(const dng_big_table&);
    using Setter = void (*)(dng_big_table&, const Data&);
    data_cache(Getter get, Setter set) : fGet(get), fSet(set) {}

protected:
    void InsertTableData(const dng_big_table& table) override {
        fData[table.Fingerprint()] = fGet(table);
    }
    void EraseTableData(const dng_fingerprint& fingerprint) override { fData.erase(fingerprint); }
    void ExtractTableData(const dng_fingerprint& fingerprint, dng_big_table& table) override {
        auto it = fData.find(fingerprint);
        if (it != fData.end()) fSet(table, it->second);
    }

private:
    Getter fGet;
    Setter fSet;
    std::map<dng_fingerprint, Data, dng_fingerprint_less> fData;
};

}  // namespace

bool dng_fingerprint_less::operator()(const dng_fingerprint& a, const dng_fingerprint& b) const {
    return std::memcmp(a.data, b.data, sizeof a.data) < 0;
}

// ---------------------------------------------------------------- cache

void dng_big_table_cache::UseLocked(const dng_fingerprint& fingerprint) {
    auto it = std::find(fRecentlyUsed.begin(), fRecentlyUsed.end(), fingerprint);
    if (it != fRecentlyUsed.end()) {
        fRecentlyUsed.erase(it);
        fRecentlyUsed.push_back(fingerprint);
        return;
    }
    if (fRecentlyUsed.size() >= kRecentLimit) {
        const dng_fingerprint oldest = fRecentlyUsed.front();
        fRecentlyUsed.erase(fRecentlyUsed.begin());
        DecrementLocked(oldest);
    }
    fRecentlyUsed.push_back(fingerprint);
    if (auto c = fRefCounts.find(fingerprint); c != fRefCounts.end()) ++c->second;
}

void dng_big_table_cache::DecrementLocked(const dng_fingerprint& fingerprint) {
    auto it = fRefCounts.find(fingerprint);
    if (it == fRefCounts.end()) return;
    if (--it->second == 0) {
        fRefCounts.erase(it);
        EraseTableData(fingerprint);
    }
}

void dng_big_table_cache::Increment(dng_big_table_cache* cache,
                                    const dng_fingerprint& fingerprint) {
    if (!cache || fingerprint.IsNull()) return;
    std::lock_guard lock(cache->fMutex);
    auto it = cache->fRefCounts.find(fingerprint);
    if (it == cache->fRefCounts.end()) return;
    ++it->second;
    cache->UseLocked(fingerprint);
}

void dng_big_table_cache::Decrement(dng_big_table_cache* cache,
                                    const dng_fingerprint& fingerprint) {
    if (!cache || fingerprint.IsNull()) return;
    std::lock_guard lock(cache->fMutex);
    cache->DecrementLocked(fingerprint);
}

void dng_big_table_cache::Add(dng_big_table_cache* cache, const dng_big_table& table) {
    const dng_fingerprint& fingerprint = table.Fingerprint();
    if (!cache || fingerprint.IsNull()) return;
    std::lock_guard lock(cache->fMutex);
    auto it = cache->fRefCounts.find(fingerprint);
    if (it == cache->fRefCounts.end()) {
        cache->fRefCounts[fingerprint] = 1;
        cache->InsertTableData(table);
    } else {
        ++it->second;
    }
    cache->UseLocked(fingerprint);
}

bool dng_big_table_cache::Extract(dng_big_table_cache* cache, const dng_fingerprint& fingerprint,
                                  dng_big_table& table) {
    if (!cache || fingerprint.IsNull()) return false;
    std::lock_guard lock(cache->fMutex);
    auto it = cache->fRefCounts.find(fingerprint);
    if (it == cache->fRefCounts.end()) return false;
    ++it->second;
    cache->ExtractTableData(fingerprint, table);
    cache->UseLocked(fingerprint);
    return true;
}

void dng_big_table_cache::Flush() {
    std::lock_guard lock(fMutex);
    while (!fRecentlyUsed.empty()) {
        const dng_fingerprint newest = fRecentlyUsed.back();
        fRecentlyUsed.pop_back();
        DecrementLocked(newest);
    }
}

void dng_big_table_cache::FlushBoth() {
    dng_look_table::Cache().Flush();
    dng_rgb_table::Cache().Flush();
}

uint32 dng_big_table_cache::CountFor(const dng_fingerprint& fingerprint) {
    std::lock_guard lock(fMutex);
    auto it = fRefCounts.find(fingerprint);
    return it == fRefCounts.end() ? 0 : it->second;
}

bool dng_big_table_storage::ReadTable(dng_big_table&, const dng_fingerprint&,
                                      dng_memory_allocator&) {
    return false;
}

bool dng_big_table_storage::WriteTable(const dng_big_table&, const dng_fingerprint&,
                                       dng_memory_allocator&) {
    return false;
}

void dng_big_table_storage::MissingTable(const dng_fingerprint&) {}

// ---------------------------------------------------------------- big table

dng_big_table::dng_big_table(dng_big_table_cache* cache) : fCache(cache) {}

dng_big_table::dng_big_table(const dng_big_table& other)
    : fFingerprint(other.fFingerprint), fCache(other.fCache), fIsMissing(other.fIsMissing) {
    dng_big_table_cache::Increment(fCache, fFingerprint);
}

dng_big_table& dng_big_table::operator=(const dng_big_table& other) {
    if (fFingerprint == other.fFingerprint && fCache == other.fCache) return *this;
    dng_big_table_cache::Decrement(fCache, fFingerprint);
    fFingerprint = other.fFingerprint;
    fCache = other.fCache;
    fIsMissing = other.fIsMissing;
    dng_big_table_cache::Increment(fCache, fFingerprint);
    return *this;
}

dng_big_table::~dng_big_table() { dng_big_table_cache::Decrement(fCache, fFingerprint); }

void dng_big_table::RecomputeFingerprint() {
    dng_big_table_cache::Decrement(fCache, fFingerprint);
    fFingerprint.Clear();
    if (!IsValid()) return;
    dng_memory_stream stream(gDefaultDNGMemoryAllocator);
    PutStream(stream, true);
    const std::vector<uint8> bytes = StreamBytes(stream);
    dng_md5_printer printer;
    printer.Process(bytes.data(), uint32(bytes.size()));
    fFingerprint = printer.Result();
    if (!dng_big_table_cache::Extract(fCache, fFingerprint, *this))
        dng_big_table_cache::Add(fCache, *this);
}

bool dng_big_table::DecodeFromBinary(const uint8* bytes, uint32 size,
                                     dng_memory_allocator& allocator) {
    if (!bytes || size < 5) return false;
    const uint32 length =
        uint32(bytes[0]) | uint32(bytes[1]) << 8 | uint32(bytes[2]) << 16 | uint32(bytes[3]) << 24;
    if (length == 0 || length > kMaxBinarySize) return false;
    std::unique_ptr<dng_memory_block> block = allocator.Allocate(length);
    uLongf produced = length;
    if (uncompress(block->Buffer_uint8(), &produced, bytes + 4, size - 4) != Z_OK ||
        produced != length)
        return false;
    dng_stream stream(block->Buffer(), length);
    GetStream(stream);
    RecomputeFingerprint();
    return true;
}

std::unique_ptr<dng_memory_block> dng_big_table::EncodeAsBinary(dng_memory_allocator& allocator,
                                                                uint32& size) const {
    dng_memory_stream stream(allocator);
    PutStream(stream, false);
    const std::vector<uint8> bytes = StreamBytes(stream);
    const uint32 n = uint32(bytes.size());
    auto block = allocator.Allocate(n + n / 256 + 68);
    uint8* out = block->Buffer_uint8();
    for (int i = 0; i < 4; ++i) out[i] = uint8(n >> (8 * i));
    uLongf packed = block->LogicalSize() - 4;
    if (compress2(out + 4, &packed, bytes.data(), n, Z_DEFAULT_COMPRESSION) != Z_OK)
        ThrowMemoryFull();
    size = uint32(packed) + 4;
    return block;
}

std::string dng_big_table::Base85Encode(const uint8* bytes, uint32 size) {
    std::string text;
    text.reserve(size_t(size) + size / 4 + size / 64 + 16);
    for (uint32 at = 0; at < size; at += 4) {
        const uint32 k = std::min<uint32>(4, size - at);
        uint32 v = 0;
        for (uint32 i = 0; i < k; ++i) v |= uint32(bytes[at + i]) << (8 * i);
        for (uint32 digit = 0; digit < (k == 4 ? 5 : k + 1); ++digit) {
            text.push_back(kBase85[v % 85]);
            v /= 85;
        }
    }
    return text;
}

std::vector<uint8> dng_big_table::Base85Decode(const std::string& text) {
    int8 value[256];
    std::memset(value, -1, sizeof value);
    for (int i = 0; i < 85; ++i) value[uint8(kBase85[i])] = int8(i);
    std::vector<uint8> out;
    uint64 word = 0, scale = 1;
    uint32 digits = 0;
    auto flush = [&](uint32 bytes) {
        for (uint32 i = 0; i < bytes; ++i) out.push_back(uint8(word >> (8 * i)));
    };
    for (unsigned char c : text) {
        if (c < 32 || c > 127 || value[c] < 0) continue;
        word += uint64(value[c]) * scale;
        scale *= 85;
        if (++digits == 5) {
            flush(4);
            word = 0;
            scale = 1;
            digits = 0;
        }
    }
    if (digits >= 2) flush(digits - 1);
    return out;
}

bool dng_big_table::DecodeFromString(const std::string& text, dng_memory_allocator& allocator) {
    const std::vector<uint8> bytes = Base85Decode(text);
    return DecodeFromBinary(bytes.data(), uint32(std::min<size_t>(bytes.size(), 0xFFFFFFFFu)),
                            allocator);
}

std::string dng_big_table::EncodeAsString(dng_memory_allocator& allocator) const {
    uint32 size = 0;
    auto block = EncodeAsBinary(allocator, size);
    return Base85Encode(block->Buffer_uint8(), size);
}

bool dng_big_table::ExtractFromCache(const dng_fingerprint& fingerprint) {
    if (!dng_big_table_cache::Extract(fCache, fingerprint, *this)) return false;
    dng_big_table_cache::Decrement(fCache, fFingerprint);
    fFingerprint = fingerprint;
    fIsMissing = false;
    return true;
}

bool dng_big_table::ReadFromXMP(const dng_xmp& xmp, const char* ns, const char* path,
                                dng_big_table_storage& storage) {
    dng_fingerprint fingerprint;
    if (!xmp.GetFingerprint(ns, path, fingerprint) || fingerprint.IsNull()) return false;
    if (ExtractFromCache(fingerprint)) return true;
    if (storage.ReadTable(*this, fingerprint, gDefaultDNGMemoryAllocator)) return true;
    dng_string text;
    if (xmp.GetString(ns, PropertyName(fingerprint).c_str(), text) &&
        DecodeFromString(text.Get(), gDefaultDNGMemoryAllocator))
        return true;
    storage.MissingTable(fingerprint);
    fIsMissing = true;
    return false;
}

void dng_big_table::WriteToXMP(dng_xmp& xmp, const char* ns, const char* path,
                               dng_big_table_storage& storage) const {
    if (fFingerprint.IsNull() || fIsMissing) {
        xmp.RemoveProperty(ns, path);
        return;
    }
    xmp.SetFingerprint(ns, path, fFingerprint);
    if (storage.WriteTable(*this, fFingerprint, gDefaultDNGMemoryAllocator)) return;
    const std::string name = PropertyName(fFingerprint);
    if (xmp.HasProperty(ns, name.c_str())) return;
    dng_string text;
    text.Set(EncodeAsString(gDefaultDNGMemoryAllocator).c_str());
    xmp.SetString(ns, name.c_str(), text);
}

// ---------------------------------------------------------------- look table

dng_look_table::dng_look_table() : dng_big_table(&Cache()) {}

dng_big_table_cache& dng_look_table::Cache() {
    static auto* cache = new data_cache<table_data>(
        [](const dng_big_table& t) { return static_cast<const dng_look_table&>(t).fData; },
        [](dng_big_table& t, const table_data& d) { static_cast<dng_look_table&>(t).fData = d; });
    return *cache;
}

bool dng_look_table::IsValid() const {
    uint32 h = 0, s = 0, v = 0;
    fData.fMap.GetDivisions(h, s, v);
    return !fIsMissing && h != 0 && s >= 2 && v != 0 && fData.fMap.GetConstDeltas() != nullptr;
}

namespace {

bool MonochromeMap(const dng_hue_sat_map& map) {
    const auto* deltas = map.GetConstDeltas();
    if (!deltas) return false;
    for (uint32 i = 0; i < map.DeltasCount(); ++i)
        if (deltas[i].fSatScale != 0.0f) return false;
    return true;
}

}  // namespace

void dng_look_table::Set(const dng_hue_sat_map& map, uint32 encoding) {
    fData.fMap = map;
    fData.fEncoding = encoding;
    fData.fMonochrome = MonochromeMap(map);
    RecomputeFingerprint();
}

void dng_look_table::SetAmountRange(real64 minAmount, real64 maxAmount) {
    fData.fMinAmount = minAmount;
    fData.fMaxAmount = maxAmount;
    RecomputeFingerprint();
}

void dng_look_table::GetStream(dng_stream& stream) {
    table_data data;
    if (stream.GetUInt32() != kLookTableKind) ThrowBadFormat("Not a look table");
    const uint32 version = stream.GetUInt32();
    if (version != 1 && version != 2) ThrowBadFormat("Unknown look table version");
    const uint32 hues = stream.GetUInt32();
    const uint32 sats = stream.GetUInt32();
    const uint32 vals = stream.GetUInt32();
    if (hues < 1 || hues > 360 || sats < 1 || sats > 256 || vals < 1 || vals > 256 ||
        uint64(hues) * sats * vals > kMaxLookEntries)
        ThrowBadFormat();
    data.fMap.SetDivisions(hues, sats, vals);
    dng_hue_sat_map::HSBModify* deltas = data.fMap.SafeGetDeltas();
    for (uint32 i = 0; i < hues * sats * vals; ++i) {
        deltas[i].fHueShift = stream.GetReal32();
        deltas[i].fSatScale = stream.GetReal32();
        deltas[i].fValScale = stream.GetReal32();
    }
    data.fEncoding = stream.GetUInt32();
    if (data.fEncoding > 1) ThrowBadFormat("Unknown look table encoding");
    if (version == 2) {
        data.fMinAmount = stream.GetReal64();
        data.fMaxAmount = stream.GetReal64();
        if (!(data.fMinAmount >= 0.0 && data.fMinAmount <= 1.0 && data.fMaxAmount >= 1.0))
            ThrowBadFormat("Invalid min/max amount for look table");
    }
    data.fMonochrome = MonochromeMap(data.fMap);
    fData = std::move(data);
}

void dng_look_table::PutStream(dng_stream& stream, bool) const {
    uint32 hues = 0, sats = 0, vals = 0;
    fData.fMap.GetDivisions(hues, sats, vals);
    const bool version1 = fData.fMinAmount == 1.0 && fData.fMaxAmount == 1.0;
    stream.PutUInt32(kLookTableKind);
    stream.PutUInt32(version1 ? 1 : 2);
    stream.PutUInt32(hues);
    stream.PutUInt32(sats);
    stream.PutUInt32(vals);
    const auto* deltas = fData.fMap.GetConstDeltas();
    for (uint32 i = 0; deltas && i < hues * sats * vals; ++i) {
        stream.PutReal32(deltas[i].fHueShift);
        stream.PutReal32(deltas[i].fSatScale);
        stream.PutReal32(deltas[i].fValScale);
    }
    stream.PutUInt32(fData.fEncoding);
    if (!version1) {
        stream.PutReal64(fData.fMinAmount);
        stream.PutReal64(fData.fMaxAmount);
    }
}

// ---------------------------------------------------------------- RGB table

dng_rgb_table::dng_rgb_table() : dng_big_table(&Cache()) {}

dng_big_table_cache& dng_rgb_table::Cache() {
    static auto* cache = new data_cache<table_data>(
        [](const dng_big_table& t) { return static_cast<const dng_rgb_table&>(t).fData; },
        [](dng_big_table& t, const table_data& d) { static_cast<dng_rgb_table&>(t).fData = d; });
    return *cache;
}

uint16 dng_rgb_table::Nominal(uint32 index, uint32 divisions) {
    return uint16((index * 65535u + divisions / 2) / (divisions - 1));
}

bool dng_rgb_table::IsValid() const {
    return !fIsMissing && fData.fDimensions != 0 &&
           (fAmount > 0.0 || (fData.fPrimaries != 2 && fData.fGamut != 1));
}

void dng_rgb_table::RecomputeMonochrome() {
    fData.fMonochrome = false;
    if ((fData.fPrimaries != 2 && fData.fGamut != 0) || fData.fDimensions != 3 || !fData.fSamples)
        return;
    const std::vector<uint16>& s = *fData.fSamples;
    for (size_t i = 0; i + 3 < s.size(); i += 4)
        if (s[i] != s[i + 1] || s[i] != s[i + 2]) return;
    fData.fMonochrome = true;
}

void dng_rgb_table::Set(uint32 dimensions, uint32 divisions, std::vector<uint16> samples) {
    size_t entries = 0;
    if (dimensions == 3 && divisions >= 2 && divisions <= 128)
        entries = size_t(divisions) * divisions * divisions;
    else if (dimensions == 1 && divisions >= 2 && divisions <= 4096)
        entries = divisions;
    if (entries == 0 || samples.size() != entries * 4) ThrowProgramError("Bad RGB table");
    fData.fDimensions = dimensions;
    fData.fDivisions = divisions;
    fData.fSamples = std::make_shared<const std::vector<uint16>>(std::move(samples));
    RecomputeMonochrome();
    RecomputeFingerprint();
}

void dng_rgb_table::SetOptions(uint32 primaries, uint32 gamma, uint32 gamut) {
    fData.fPrimaries = primaries;
    fData.fGamma = gamma;
    fData.fGamut = gamut;
    RecomputeMonochrome();
    RecomputeFingerprint();
}

void dng_rgb_table::SetAmountRange(real64 minAmount, real64 maxAmount) {
    fData.fMinAmount = minAmount;
    fData.fMaxAmount = maxAmount;
    RecomputeFingerprint();
}

void dng_rgb_table::GetStream(dng_stream& stream) {
    table_data data;
    if (stream.GetUInt32() != kRGBTableKind) ThrowBadFormat("Not a RGB table");
    if (stream.GetUInt32() != 1) ThrowBadFormat("Unknown RGB table version");
    data.fDimensions = stream.GetUInt32();
    if (data.fDimensions != 1 && data.fDimensions != 3) ThrowBadFormat("Invalid dimensions");
    data.fDivisions = stream.GetUInt32();
    const uint32 d = data.fDivisions;
    if (data.fDimensions == 1 ? (d < 2 || d > 4096) : (d < 2 || d > 32))
        ThrowBadFormat("Invalid divisions");
    const size_t entries = data.fDimensions == 1 ? d : size_t(d) * d * d;
    auto samples = std::make_shared<std::vector<uint16>>(entries * 4, 0);
    size_t at = 0;
    auto read = [&](uint32 r, uint32 g, uint32 b) {
        (*samples)[at++] = uint16(stream.GetUInt16() + Nominal(r, d));
        (*samples)[at++] = uint16(stream.GetUInt16() + Nominal(g, d));
        (*samples)[at++] = uint16(stream.GetUInt16() + Nominal(b, d));
        (*samples)[at++] = 0;
    };
    if (data.fDimensions == 1) {
        for (uint32 k = 0; k < d; ++k) read(k, k, k);
    } else {
        for (uint32 r = 0; r < d; ++r)
            for (uint32 g = 0; g < d; ++g)
                for (uint32 b = 0; b < d; ++b) read(r, g, b);
    }
    data.fSamples = samples;
    data.fPrimaries = stream.GetUInt32();
    if (data.fPrimaries > 4) ThrowBadFormat("Unknown RGB table primaries");
    data.fGamma = stream.GetUInt32();
    if (data.fGamma > 4) ThrowBadFormat("Unknown RGB table gamma");
    data.fGamut = stream.GetUInt32();
    if (data.fGamut > 1) ThrowBadFormat("Unknown RGB table gamut processing option");
    data.fMinAmount = stream.GetReal64();
    data.fMaxAmount = stream.GetReal64();
    if (!(data.fMinAmount >= 0.0 && data.fMinAmount <= 1.0 && data.fMaxAmount >= 1.0))
        ThrowBadFormat("Invalid min/max amount for RGB table");
    fData = std::move(data);
    RecomputeMonochrome();
}

void dng_rgb_table::PutStream(dng_stream& stream, bool) const {
    const uint32 d = fData.fDivisions;
    stream.PutUInt32(kRGBTableKind);
    stream.PutUInt32(1);
    stream.PutUInt32(fData.fDimensions);
    stream.PutUInt32(d);
    const std::vector<uint16> none;
    const std::vector<uint16>& s = fData.fSamples ? *fData.fSamples : none;
    size_t at = 0;
    auto write = [&](uint32 r, uint32 g, uint32 b) {
        if (at + 3 >= s.size() + 1) return;
        stream.PutUInt16(uint16(s[at] - Nominal(r, d)));
        stream.PutUInt16(uint16(s[at + 1] - Nominal(g, d)));
        stream.PutUInt16(uint16(s[at + 2] - Nominal(b, d)));
        at += 4;
    };
    if (fData.fDimensions == 1) {
        for (uint32 k = 0; k < d; ++k) write(k, k, k);
    } else {
        for (uint32 r = 0; r < d; ++r)
            for (uint32 g = 0; g < d; ++g)
                for (uint32 b = 0; b < d; ++b) write(r, g, b);
    }
    stream.PutUInt32(fData.fPrimaries);
    stream.PutUInt32(fData.fGamma);
    stream.PutUInt32(fData.fGamut);
    stream.PutReal64(fData.fMinAmount);
    stream.PutReal64(fData.fMaxAmount);
}
