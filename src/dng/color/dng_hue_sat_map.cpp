#include "dng/color/dng_hue_sat_map.h"

#include <atomic>
#include <cstring>
#include <memory>

#include "dng/core/dng_exception.h"
#include "dng/core/dng_md5_printer.h"
#include "dng/core/dng_safe_arithmetic.h"

dng_hue_sat_map::dng_hue_sat_map() = default;

dng_hue_sat_map::dng_hue_sat_map(const dng_hue_sat_map& src) { *this = src; }

dng_hue_sat_map& dng_hue_sat_map::operator=(const dng_hue_sat_map& rhs) {
    if (this == &rhs) return *this;
    if (rhs.IsValid()) {
        fHueDivisions = rhs.fHueDivisions;
        fSatDivisions = rhs.fSatDivisions;
        fValDivisions = rhs.fValDivisions;
        fHueStep = rhs.fHueStep;
        fValStep = rhs.fValStep;
        fRuntimeFingerprint = rhs.fRuntimeFingerprint;
        fDeltas = rhs.fDeltas;
    } else {
        fHueDivisions = fSatDivisions = fValDivisions = 0;
        fHueStep = fValStep = 0;
        fRuntimeFingerprint = dng_fingerprint();
        fDeltas.Clear();
    }
    return *this;
}

dng_hue_sat_map::~dng_hue_sat_map() = default;

void dng_hue_sat_map::SetDivisions(uint32 hueDivisions, uint32 satDivisions, uint32 valDivisions) {
    if (valDivisions == 0) valDivisions = 1;
    if (hueDivisions == fHueDivisions && satDivisions == fSatDivisions &&
        valDivisions == fValDivisions)
        return;

    // Sizes first: a refused size must leave the map as it was.
    const uint32 valStep = SafeUint32Mult(hueDivisions, satDivisions);
    const uint32 bytes =
        SafeUint32Mult(SafeUint32Mult(valDivisions, valStep), (uint32)sizeof(HSBModify));
    dng_ref_counted_block deltas(bytes);

    fHueDivisions = hueDivisions;
    fSatDivisions = satDivisions;
    fValDivisions = valDivisions;
    fHueStep = satDivisions;
    fValStep = valStep;
    fDeltas = deltas;
    fRuntimeFingerprint = dng_fingerprint();
}

void dng_hue_sat_map::GetDelta(uint32 hueDiv, uint32 satDiv, uint32 valDiv,
                               HSBModify& modify) const {
    if (hueDiv >= fHueDivisions || satDiv >= fSatDivisions || valDiv >= fValDivisions ||
        !fDeltas.Buffer())
        ThrowDNGError(dng_error_unknown, "Bad hue/sat map index");
    modify = GetConstDeltas()[valDiv * fValStep + hueDiv * fHueStep + satDiv];
}

dng_hue_sat_map::HSBModify* dng_hue_sat_map::SafeGetDeltas() {
    if (!fDeltas.Buffer()) return nullptr;
    fDeltas.EnsureWriteable();
    return static_cast<HSBModify*>(fDeltas.Buffer());
}

void dng_hue_sat_map::SetDelta(uint32 hueDiv, uint32 satDiv, uint32 valDiv,
                               const HSBModify& modify) {
    if (hueDiv >= fHueDivisions || satDiv >= fSatDivisions || valDiv >= fValDivisions ||
        !fDeltas.Buffer())
        ThrowDNGError(dng_error_unknown, "Bad hue/sat map index");

    HSBModify* deltas = SafeGetDeltas();
    const uint32 offset = valDiv * fValStep + hueDiv * fHueStep;
    deltas[offset + satDiv] = modify;

    // Zero saturation is grey: a value scale there would tint neutrals, so
    // the grey entry keeps a value scale of 1 and follows saturation 1.
    if (satDiv == 0) {
        deltas[offset].fValScale = 1.0f;
    } else if (satDiv == 1) {
        HSBModify& grey = deltas[offset];
        if (grey.fValScale != 1.0f) grey = {modify.fHueShift, modify.fSatScale, 1.0f};
    }
}

bool dng_hue_sat_map::operator==(const dng_hue_sat_map& rhs) const {
    if (fHueDivisions != rhs.fHueDivisions || fSatDivisions != rhs.fSatDivisions ||
        fValDivisions != rhs.fValDivisions)
        return false;
    if (!IsValid() || !rhs.IsValid()) return true;
    const size_t bytes = (size_t)DeltasCount() * sizeof(HSBModify);
    return std::memcmp(fDeltas.Buffer(), rhs.fDeltas.Buffer(), bytes) == 0;
}

void dng_hue_sat_map::AssignNewUniqueRuntimeFingerprint() {
    static std::atomic<uint64> sRuntimeCounter{0};
    const uint64 value = ++sRuntimeCounter;
    uint8 bytes[8];
    for (int i = 0; i < 8; ++i) bytes[i] = (uint8)(value >> (8 * i));
    dng_md5_printer printer;
    printer.Process(bytes, sizeof(bytes));
    fRuntimeFingerprint = printer.Result();
}

dng_hue_sat_map* dng_hue_sat_map::Interpolate(const dng_hue_sat_map& map1,
                                              const dng_hue_sat_map& map2, real64 weight1) {
    if (weight1 >= 1.0) return new dng_hue_sat_map(map1);
    if (weight1 <= 0.0) return new dng_hue_sat_map(map2);

    if (!map1.IsValid() || !map2.IsValid() || map1.fHueDivisions != map2.fHueDivisions ||
        map1.fSatDivisions != map2.fSatDivisions || map1.fValDivisions != map2.fValDivisions)
        ThrowDNGError(dng_error_unknown, "Mismatched hue/sat maps");

    auto result = std::make_unique<dng_hue_sat_map>();
    result->SetDivisions(map1.fHueDivisions, map1.fSatDivisions, map1.fValDivisions);

    const real32 w1 = (real32)weight1;
    const real32 w2 = 1.0f - w1;
    const real32* data1 = reinterpret_cast<const real32*>(map1.GetConstDeltas());
    const real32* data2 = reinterpret_cast<const real32*>(map2.GetConstDeltas());
    real32* out = reinterpret_cast<real32*>(result->SafeGetDeltas());
    const uint32 count = map1.DeltasCount() * 3;
    for (uint32 i = 0; i < count; ++i) out[i] = data2[i] * w2 + data1[i] * w1;

    dng_md5_printer printer;
    printer.Process("Interpolate", 11);
    printer.Process(&weight1, sizeof(weight1));
    printer.Process(map1.fRuntimeFingerprint.data, 16);
    printer.Process(map2.fRuntimeFingerprint.data, 16);
    result->fRuntimeFingerprint = printer.Result();
    return result.release();
}
