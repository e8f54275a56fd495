// A grid of hue/saturation/value corrections over hue, saturation and value
// divisions (a camera profile's hue/sat deltas or look table). Copies share
// the delta block; writers make it unique first. A map is not locked: use one
// map from one thread at a time, or only its const methods from several.
#pragma once

#include "dng/core/dng_fingerprint.h"
#include "dng/core/dng_ref_counted_block.h"
#include "dng/core/dng_types.h"

// The pixel routines of the DNG core read these accessors without linking the
// colour library, so the vptr sanitizer must not ask for this type's typeinfo.
#ifndef DNG_NO_VPTR_CHECK
#if defined(__GNUC__)
#define DNG_NO_VPTR_CHECK __attribute__((no_sanitize("vptr")))
#else
#define DNG_NO_VPTR_CHECK
#endif
#endif

class dng_hue_sat_map {
public:
    struct HSBModify {
        real32 fHueShift;  // degrees
        real32 fSatScale;
        real32 fValScale;
    };

    dng_hue_sat_map();
    dng_hue_sat_map(const dng_hue_sat_map& src);
    dng_hue_sat_map& operator=(const dng_hue_sat_map& rhs);
    virtual ~dng_hue_sat_map();

    // Usable: hue divisions, at least two saturation divisions, value
    // divisions and data.
    bool IsValid() const {
        return fHueDivisions > 0 && fSatDivisions > 1 && fValDivisions > 0 &&
               fDeltas.Buffer() != nullptr;
    }

    bool IsNull() const { return !IsValid(); }

    DNG_NO_VPTR_CHECK void GetDivisions(uint32& hueDivisions, uint32& satDivisions,
                                        uint32& valDivisions) const {
        hueDivisions = fHueDivisions;
        satDivisions = fSatDivisions;
        valDivisions = fValDivisions;
    }

    // valDivisions 0 counts as 1. Reallocates zeroed deltas when the
    // divisions change; 100016 when the size overflows.
    void SetDivisions(uint32 hueDivisions, uint32 satDivisions, uint32 valDivisions = 1);

    // 100000 when an index is out of range or there is no data.
    void GetDelta(uint32 hueDiv, uint32 satDiv, uint32 valDiv, HSBModify& modify) const;
    void SetDelta(uint32 hueDiv, uint32 satDiv, uint32 valDiv, const HSBModify& modify);

    uint32 DeltasCount() const { return fValDivisions * fHueDivisions * fSatDivisions; }

    // Entries laid out [value][hue][saturation]; null when there is no data.
    DNG_NO_VPTR_CHECK const HSBModify* GetConstDeltas() const {
        return static_cast<const HSBModify*>(fDeltas.Buffer());
    }

    // Writable entries; makes a shared block unique first.
    HSBModify* SafeGetDeltas();

    bool operator==(const dng_hue_sat_map& rhs) const;
    bool operator!=(const dng_hue_sat_map& rhs) const { return !(*this == rhs); }

    const dng_fingerprint& RuntimeFingerprint() const { return fRuntimeFingerprint; }
    void SetRuntimeFingerprint(const dng_fingerprint& fingerprint) {
        fRuntimeFingerprint = fingerprint;
    }

    // A fingerprint no other map of this process has.
    void AssignNewUniqueRuntimeFingerprint();

    // map2·(1 − w) + map1·w entry by entry, owned by the caller; weights at
    // or beyond 0 and 1 copy one map. 100000 when the maps do not match.
    static dng_hue_sat_map* Interpolate(const dng_hue_sat_map& map1, const dng_hue_sat_map& map2,
                                        real64 weight1);

private:
    uint32 fHueDivisions = 0;
    uint32 fSatDivisions = 0;
    uint32 fValDivisions = 0;
    uint32 fHueStep = 0;
    uint32 fValStep = 0;
    dng_fingerprint fRuntimeFingerprint;
    dng_ref_counted_block fDeltas;
};
