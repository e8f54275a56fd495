// The XMP record of a negative's metadata: property access by namespace and
// path, the text forms of numbers, rationals, versions, GPS values and
// fingerprints, and the synchronisation of XMP with the EXIF record, the IPTC
// block, the orientation and the dates.
//
// This system links no XMP toolkit: a record may hold a meta object but never
// a property. Every read reports the property absent, every write formats
// its value, makes sure a meta exists and drops the value, and serialising
// gives no packet, so files carry no XMP. What remains observable are the
// formatters and the changes the syncs make to the EXIF record and to the
// metadata's IPTC block.
//
// The syncs that take a dng_metadata are templates over it (the metadata
// lives in a higher layer). Formatters and parsers ignore the C locale. One thread at a
// time per record.
#pragma once

#include <memory>

#include "dng/core/dng_fingerprint.h"
#include "dng/core/dng_iptc.h"
#include "dng/core/dng_memory_block.h"
#include "dng/core/dng_rational.h"
#include "dng/core/dng_string.h"
#include "dng/core/dng_types.h"

class dng_date_time_info;
class dng_exif;
class dng_memory_allocator;
class dng_string_list;

// The namespaces, in table order. Our own opaque identifiers: nothing is
// ever stored, so none reaches a file.
extern const char* const XMP_NS_TIFF;
extern const char* const XMP_NS_EXIF;
extern const char* const XMP_NS_EXIFEX;
extern const char* const XMP_NS_EDITOR;
extern const char* const XMP_NS_XAP;
extern const char* const XMP_NS_XAP_RIGHTS;
extern const char* const XMP_NS_DC;
extern const char* const XMP_NS_XMP_NOTE;
extern const char* const XMP_NS_MM;
extern const char* const XMP_NS_RAW_SETTINGS;
extern const char* const XMP_NS_RAW_SAVED_SETTINGS;
extern const char* const XMP_NS_RAW_DEFAULTS;
extern const char* const XMP_NS_CAMERA_PROFILE;
extern const char* const XMP_NS_AUX;
extern const char* const XMP_NS_IPTC;
extern const char* const XMP_NS_IPTC_EXT;
extern const char* const XMP_NS_DEV_EXPERIMENTAL;
extern const char* const XMP_NS_DNG;
extern const char* const XMP_NS_PANO;
constexpr uint32 kXMPNamespaceCount = 19;
extern const char* const kXMPNamespaceTable[kXMPNamespaceCount];

// The toolkit wrapper: a meta object or none.
class dng_xmp_sdk {
public:
    dng_xmp_sdk();
    virtual ~dng_xmp_sdk();
    dng_xmp_sdk(const dng_xmp_sdk&) = delete;
    dng_xmp_sdk& operator=(const dng_xmp_sdk&) = delete;

    bool HasMeta() const { return fHasMeta; }
    void ClearMeta() { fHasMeta = false; }
    void NeedMeta();

    // Whether the (empty) toolkit was ever initialised; process-wide.
    static bool Initialized();

private:
    bool fHasMeta = false;
};

class dng_xmp {
public:
    // Sync options.
    enum : uint32 { ignoreXMP = 1, preferXMP = 2, preferNonXMP = 4, removeXMP = 8 };

    explicit dng_xmp(dng_memory_allocator& allocator);
    dng_xmp(const dng_xmp& other);
    virtual ~dng_xmp();
    dng_xmp& operator=(const dng_xmp&) = delete;

    virtual std::unique_ptr<dng_xmp> Clone() const;

    // ---- packets and the meta object ------------------------------------
    // Starts over with an empty meta; the packet is not read.
    void ParseBlock(const void* data, uint32 count);
    // No toolkit, no packet: always null.
    std::unique_ptr<dng_memory_block> SerializeToBlock() const;
    void AppendXMP(const dng_xmp& other);
    void ReplaceXMP(dng_xmp& other);
    bool HasMeta() const { return fSDK->HasMeta(); }
    void ClearMeta() { fSDK->ClearMeta(); }
    void NeedMeta() { fSDK->NeedMeta(); }

    // ---- reading: nothing is ever found ---------------------------------
    bool HasProperty(const char* ns, const char* path) const;
    bool GetString(const char* ns, const char* path, dng_string& s) const;
    bool GetStringList(const char* ns, const char* path, dng_string_list& list) const;
    bool GetStructField(const char* ns, const char* path, const char* fieldNS,
                        const char* fieldName, dng_string& s) const;
    bool GetAltLangDefault(const char* ns, const char* path, dng_string& s) const;
    bool GetBoolean(const char* ns, const char* path, bool& x) const;
    bool Get_int32(const char* ns, const char* path, int32& x) const;
    bool Get_uint32(const char* ns, const char* path, uint32& x) const;
    bool Get_real64(const char* ns, const char* path, real64& x) const;
    bool Get_urational(const char* ns, const char* path, dng_urational& r) const;
    bool Get_srational(const char* ns, const char* path, dng_srational& r) const;
    bool GetFingerprint(const char* ns, const char* path, dng_fingerprint& print) const;
    bool GetOrientation(uint32& tiffCode) const;

    // ---- removal: nothing to remove -------------------------------------
    void RemoveProperty(const char* ns, const char* path);
    void RemoveAllProperties();
    void RemoveProperties(const char* ns);
    void RemoveEmptyProperty(const char* ns, const char* path);
    void RemoveEmptyProperties(const char* ns);
    void RemoveCreatorKeywordLists();
    void ClearIPTCDigest();
    void RemoveOrientation();
    void ClearImageInfo();

    // ---- writing: formatted, then dropped -------------------------------
    void SetString(const char* ns, const char* path, const dng_string& s);
    void SetNormalizedString(const char* ns, const char* path, const dng_string& s);
    void SetStringList(const char* ns, const char* path, const dng_string_list& list);
    void SetStructField(const char* ns, const char* path, const char* fieldNS,
                        const char* fieldName, const dng_string& s);
    void SetAltLangDefault(const char* ns, const char* path, const dng_string& s);
    void SetBoolean(const char* ns, const char* path, bool x);
    void Set_int32(const char* ns, const char* path, int32 x, bool usePlus = false);
    void Set_uint32(const char* ns, const char* path, uint32 x);
    void Set_real64(const char* ns, const char* path, real64 x, uint32 places = 6, bool trim = true,
                    bool usePlus = false);
    void Set_urational(const char* ns, const char* path, const dng_urational& r);
    void Set_srational(const char* ns, const char* path, const dng_srational& r);
    void SetVersion(const char* ns, const char* path, uint32 version);
    // A null fingerprint removes the property.
    void SetFingerprint(const char* ns, const char* path, const dng_fingerprint& print,
                        bool allowInvalid = false);
    void SetIPTCDigest(const dng_fingerprint& digest);
    void SetOrientation(uint32 tiffCode);
    void UpdateDateTime(const dng_date_time_info& dt);
    void UpdateMetadataDate(const dng_date_time_info& dt);
    void SetImageSize(uint32 width, uint32 height);
    void SetSampleInfo(uint32 samplesPerPixel, uint32 bitsPerSample);
    void SetPhotometricInterpretation(uint32 pi);
    void SetResolution(const dng_urational& x, const dng_urational& y, uint32 unit);

    // ---- text forms -----------------------------------------------------
    static dng_string EncodeVersion(uint32 version);
    static dng_string EncodeExifVersion(uint32 version);
    static uint32 DecodeExifVersion(const dng_string& s);
    static dng_string EncodeGPSVersion(uint32 version);
    static uint32 DecodeGPSVersion(const dng_string& s);
    static dng_string EncodeFingerprint(const dng_fingerprint& f, bool allowInvalid = false);
    static dng_fingerprint DecodeFingerprint(const dng_string& s);
    static dng_string FormatInt32(int32 x, bool usePlus = false);
    static dng_string FormatUint32(uint32 x);
    static dng_string FormatReal64(real64 x, uint32 places, bool trim, bool usePlus = false);
    static dng_string FormatURational(const dng_urational& r);
    static dng_string FormatSRational(const dng_srational& r);
    static dng_string EncodeLensInfo(const dng_urational info[4]);
    static bool DecodeLensInfo(const dng_string& s, dng_urational info[4]);
    static dng_string EncodeLensDistortInfo(const dng_srational info[4]);
    static bool DecodeLensDistortInfo(const dng_string& s, dng_srational info[4]);
    static dng_string EncodeGPSCoordinate(const dng_string& ref, const dng_urational* coord);
    static void DecodeGPSCoordinate(const dng_string& s, dng_string& ref, dng_urational* coord);
    static dng_string EncodeGPSDateTime(const dng_string& dateStamp,
                                        const dng_urational* timeStamp);
    static void DecodeGPSDateTime(const dng_string& s, dng_string& dateStamp,
                                  dng_urational* timeStamp);

    // ---- synchronisation ------------------------------------------------
    // doingUpdateFromXMP: the record is authoritative (originalExif must be
    // given); removeFromXMP: the synced properties are removed from XMP.
    virtual void SyncExif(dng_exif& exif, const dng_exif* originalExif = nullptr,
                          bool doingUpdateFromXMP = false, bool removeFromXMP = false);
    virtual void SyncFocusDistance(dng_exif& exif, uint32 options);
    virtual void SyncLensName(dng_exif& exif);
    virtual void MakeLensName(dng_exif& exif);

    // The IPTC block is kept only while XMP records its digest, which never
    // happens here, so a source block is dropped; rebuilding it from XMP
    // finds nothing.
    template <class Metadata>
    void SyncIPTC(Metadata& metadata, uint32 options);
    template <class Metadata>
    void RebuildIPTC(Metadata& metadata, dng_memory_allocator& allocator, bool padForTIFF);
    template <class Metadata>
    void SyncOrientation(Metadata& metadata, bool xmpIsMaster);

    // The per-value sync rule; true when XMP supplied the value.
    bool SyncString(const char* ns, const char* path, dng_string& s, uint32 options);
    bool SyncAltLangDefault(const char* ns, const char* path, dng_string& s, uint32 options);
    bool SyncUint32(const char* ns, const char* path, uint32& x, bool isDefault, uint32 options);
    bool SyncUint32Array(const char* ns, const char* path, uint32* data, uint32& count,
                         uint32 maxCount, uint32 options);
    bool SyncURational(const char* ns, const char* path, dng_urational& r, uint32 options);
    bool SyncSRational(const char* ns, const char* path, dng_srational& r, uint32 options);

private:
    dng_memory_allocator* fAllocator;
    std::unique_ptr<dng_xmp_sdk> fSDK;
};

template <class Metadata>
void dng_xmp::SyncIPTC(Metadata& metadata, uint32 options) {
    if (metadata.IPTCLength() == 0) {
        metadata.ClearIPTC();
        return;
    }
    dng_iptc iptc;
    iptc.Parse(metadata.IPTCData(), metadata.IPTCLength(), metadata.IPTCOffset());
    const dng_fingerprint digestNoPadding = metadata.IPTCDigest(false);
    const dng_fingerprint digestWithPadding = metadata.IPTCDigest(true);

    dng_fingerprint stored;
    GetFingerprint(XMP_NS_EDITOR, "LegacyIPTCDigest", stored);
    if (stored.IsValid() && stored == digestNoPadding) return;
    if (stored.IsValid() && stored == digestWithPadding) {
        SetIPTCDigest(digestNoPadding);
        return;
    }
    // A null digest prefers XMP only under preferXMP, a different one the
    // block under preferNonXMP; either way the fields move into XMP (which
    // keeps nothing here) and the block is not kept.
    (void)options;
    SetIPTCDigest(digestNoPadding);
    metadata.ClearIPTC();
}

template <class Metadata>
void dng_xmp::RebuildIPTC(Metadata& metadata, dng_memory_allocator& allocator, bool padForTIFF) {
    if (!HasMeta()) return;
    dng_iptc iptc;
    // Filled from XMP with preferXMP: nothing is found.
    if (iptc.NotEmpty()) metadata.SetIPTC(iptc.Spool(allocator, padForTIFF));
}

template <class Metadata>
void dng_xmp::SyncOrientation(Metadata& metadata, bool xmpIsMaster) {
    uint32 tiff = 0;
    if (xmpIsMaster && GetOrientation(tiff)) {
        auto orientation = metadata.BaseOrientation();
        orientation.SetTIFF(tiff);
        metadata.SetBaseOrientation(orientation);
        return;
    }
    SetOrientation(metadata.BaseOrientation().GetTIFF());
}
