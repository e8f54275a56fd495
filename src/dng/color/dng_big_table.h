// Big tables: large colour tables (a hue/saturation/value look table, or a
// 1-D or 3-D RGB table) that travel in XMP by reference. The metadata holds
// the table's MD5 fingerprint; the table itself is stored zlib-compressed and
// base-85 encoded under "Table_<fingerprint>", or in an external store.
// Tables with equal content share one copy through a process-wide,
// reference-counted cache per kind, which also keeps the five most recently
// used tables alive.
//
// Ownership: a table holds one cache reference while it has a fingerprint.
// Threads: each cache serialises its operations with its own mutex; table
// objects are not shared between threads.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "dng/color/dng_hue_sat_map.h"
#include "dng/core/dng_fingerprint.h"
#include "dng/core/dng_memory_block.h"
#include "dng/core/dng_types.h"

class dng_big_table;
class dng_memory_allocator;
class dng_stream;
class dng_xmp;

struct dng_fingerprint_less {
    bool operator()(const dng_fingerprint& a, const dng_fingerprint& b) const;
};

class dng_big_table_cache {
public:
    static constexpr size_t kRecentLimit = 5;
    virtual ~dng_big_table_cache() = default;

    // Each is a no-op for a null cache or a null fingerprint.
    static void Increment(dng_big_table_cache* cache, const dng_fingerprint& fingerprint);
    static void Decrement(dng_big_table_cache* cache, const dng_fingerprint& fingerprint);
    static void Add(dng_big_table_cache* cache, const dng_big_table& table);
    static bool Extract(dng_big_table_cache* cache, const dng_fingerprint& fingerprint,
                        dng_big_table& table);
    // Drops the references of the recently-used lists of both caches.
    static void FlushBoth();

    // For tests: the reference count of a fingerprint (0 when absent).
    uint32 CountFor(const dng_fingerprint& fingerprint);

protected:
    virtual void InsertTableData(const dng_big_table& table) = 0;
    virtual void EraseTableData(const dng_fingerprint& fingerprint) = 0;
    virtual void ExtractTableData(const dng_fingerprint& fingerprint, dng_big_table& table) = 0;

private:
    void UseLocked(const dng_fingerprint& fingerprint);
    void DecrementLocked(const dng_fingerprint& fingerprint);
    void Flush();

    std::mutex fMutex;
    std::map<dng_fingerprint, uint32, dng_fingerprint_less> fRefCounts;
    std::vector<dng_fingerprint> fRecentlyUsed;
};

// An external store of tables; the base stores nothing.
class dng_big_table_storage {
public:
    virtual ~dng_big_table_storage() = default;
    virtual bool ReadTable(dng_big_table& table, const dng_fingerprint& fingerprint,
                           dng_memory_allocator& allocator);
    virtual bool WriteTable(const dng_big_table& table, const dng_fingerprint& fingerprint,
                            dng_memory_allocator& allocator);
    virtual void MissingTable(const dng_fingerprint& fingerprint);
};

class dng_big_table {
public:
    virtual ~dng_big_table();

    virtual bool IsValid() const = 0;
    virtual void GetStream(dng_stream& stream) = 0;
    virtual void PutStream(dng_stream& stream, bool forFingerprint) const = 0;

    const dng_fingerprint& Fingerprint() const { return fFingerprint; }
    bool IsMissing() const { return fIsMissing; }

    void RecomputeFingerprint();
    // At most kMaxBinarySize uncompressed bytes, exactly as stated.
    bool DecodeFromBinary(const uint8* bytes, uint32 size, dng_memory_allocator& allocator);
    std::unique_ptr<dng_memory_block> EncodeAsBinary(dng_memory_allocator& allocator,
                                                     uint32& size) const;
    bool DecodeFromString(const std::string& text, dng_memory_allocator& allocator);
    std::string EncodeAsString(dng_memory_allocator& allocator) const;
    bool ExtractFromCache(const dng_fingerprint& fingerprint);
    bool ReadFromXMP(const dng_xmp& xmp, const char* ns, const char* path,
                     dng_big_table_storage& storage);
    void WriteToXMP(dng_xmp& xmp, const char* ns, const char* path,
                    dng_big_table_storage& storage) const;

    // The largest binary form of a valid table (a look table of 18,432
    // entries or a 32³ RGB table fit).
    static constexpr uint32 kMaxBinarySize = 256 * 1024;

    static std::string Base85Encode(const uint8* bytes, uint32 size);
    static std::vector<uint8> Base85Decode(const std::string& text);

protected:
    explicit dng_big_table(dng_big_table_cache* cache);
    dng_big_table(const dng_big_table& other);
    dng_big_table& operator=(const dng_big_table& other);

    dng_fingerprint fFingerprint;
    dng_big_table_cache* fCache;
    bool fIsMissing = false;

    friend class dng_big_table_cache;
};

class dng_look_table : public dng_big_table {
public:
    struct table_data {
        dng_hue_sat_map fMap;
        uint32 fEncoding = 0;
        real64 fMinAmount = 1.0;
        real64 fMaxAmount = 1.0;
        bool fMonochrome = false;
    };

    dng_look_table();
    dng_look_table(const dng_look_table& other) = default;
    dng_look_table& operator=(const dng_look_table& other) = default;

    bool IsValid() const override;
    void GetStream(dng_stream& stream) override;
    void PutStream(dng_stream& stream, bool forFingerprint) const override;

    void Set(const dng_hue_sat_map& map, uint32 encoding);
    void SetAmountRange(real64 minAmount, real64 maxAmount);
    const dng_hue_sat_map& Table() const { return fData.fMap; }
    uint32 Encoding() const { return fData.fEncoding; }
    bool IsMonochrome() const { return fData.fMonochrome; }
    const table_data& Data() const { return fData; }
    void SetData(const table_data& data) { fData = data; }

    static dng_big_table_cache& Cache();

private:
    table_data fData;
};

class dng_rgb_table : public dng_big_table {
public:
    struct table_data {
        uint32 fDimensions = 0;
        uint32 fDivisions = 0;
        std::shared_ptr<const std::vector<uint16>> fSamples;  // R, G, B, 0 per entry
        uint32 fPrimaries = 0;
        uint32 fGamma = 0;
        uint32 fGamut = 0;
        real64 fMinAmount = 1.0;
        real64 fMaxAmount = 1.0;
        bool fMonochrome = false;
    };

    dng_rgb_table();
    dng_rgb_table(const dng_rgb_table& other) = default;
    dng_rgb_table& operator=(const dng_rgb_table& other) = default;

    bool IsValid() const override;
    void GetStream(dng_stream& stream) override;
    void PutStream(dng_stream& stream, bool forFingerprint) const override;

    // 1-D: 2..4096 divisions; 3-D: 2..128; else dng_error_unknown.
    void Set(uint32 dimensions, uint32 divisions, std::vector<uint16> samples);
    void SetOptions(uint32 primaries, uint32 gamma, uint32 gamut);
    void SetAmountRange(real64 minAmount, real64 maxAmount);
    void SetAmount(real64 amount) { fAmount = amount; }
    const table_data& Data() const { return fData; }
    void SetData(const table_data& data) { fData = data; }
    bool IsMonochrome() const { return fData.fMonochrome; }

    static uint16 Nominal(uint32 index, uint32 divisions);
    static dng_big_table_cache& Cache();

private:
    void RecomputeMonochrome();
    table_data fData;
    real64 fAmount = 1.0;
};
